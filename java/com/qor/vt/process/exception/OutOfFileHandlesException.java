package com.qor.vt.process.exception;

/** The system ran out of file handles. */
public class OutOfFileHandlesException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public OutOfFileHandlesException(String message) {
    super(message);
  }
}

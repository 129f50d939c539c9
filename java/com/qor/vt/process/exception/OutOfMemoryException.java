package com.qor.vt.process.exception;

/** The native side ran out of memory. */
public class OutOfMemoryException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public OutOfMemoryException(String message) {
    super(message);
  }
}

package com.qor.vt.process.exception;

/** The process is still running. */
public class ProcessStillActiveException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public ProcessStillActiveException(String message) {
    super(message);
  }
}

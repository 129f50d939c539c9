package com.qor.vt.process.exception;

/** The process has already ended. */
public class ProcessHasExitedException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public ProcessHasExitedException(String message) {
    super(message);
  }
}

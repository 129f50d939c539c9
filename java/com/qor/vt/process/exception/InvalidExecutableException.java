package com.qor.vt.process.exception;

/** The program cannot be started. */
public class InvalidExecutableException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidExecutableException(String message) {
    super(message);
  }
}

package com.qor.vt.process.exception;

/** The system denied the operation. */
public class AccessDeniedException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public AccessDeniedException(String message) {
    super(message);
  }
}

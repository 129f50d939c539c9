package com.qor.vt.process.exception;

/** The requested priority cannot be applied. */
public class InvalidPriorityException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidPriorityException(String message) {
    super(message);
  }
}

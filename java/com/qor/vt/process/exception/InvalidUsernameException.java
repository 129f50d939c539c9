package com.qor.vt.process.exception;

/** The user does not exist or cannot be taken. */
public class InvalidUsernameException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidUsernameException(String message) {
    super(message);
  }
}

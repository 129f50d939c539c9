package com.qor.vt.process.exception;

/** The group does not exist or cannot be taken. */
public class InvalidGroupException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidGroupException(String message) {
    super(message);
  }
}

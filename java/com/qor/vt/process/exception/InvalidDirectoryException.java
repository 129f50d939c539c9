package com.qor.vt.process.exception;

/** The working directory cannot be used. */
public class InvalidDirectoryException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidDirectoryException(String message) {
    super(message);
  }
}

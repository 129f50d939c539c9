package com.qor.vt.process.exception;

/** A redirection file cannot be opened. */
public class InvalidFileException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidFileException(String message) {
    super(message);
  }
}

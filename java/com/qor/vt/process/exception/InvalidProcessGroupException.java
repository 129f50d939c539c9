package com.qor.vt.process.exception;

/** The process group cannot be joined. */
public class InvalidProcessGroupException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public InvalidProcessGroupException(String message) {
    super(message);
  }
}

package com.qor.vt.process.exception;

/** The child did not reach its program in time. */
public class CreateProcessTimeoutException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public CreateProcessTimeoutException(String message) {
    super(message);
  }
}

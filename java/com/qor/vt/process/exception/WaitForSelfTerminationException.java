package com.qor.vt.process.exception;

/** The server tried to wait for its own end. */
public class WaitForSelfTerminationException extends ProcessOpException {
  private static final long serialVersionUID = 1L;

  public WaitForSelfTerminationException(String message) {
    super(message);
  }
}

package com.qor.vt.process.exception;

/**
 * A process operation failed in the operating system. Every other exception of the process-control
 * natives extends this one, so callers may catch the whole family at once.
 */
public class ProcessOpException extends Exception {
  private static final long serialVersionUID = 1L;

  public ProcessOpException(String message) {
    super(message);
  }
}

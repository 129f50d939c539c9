package com.qor.vt.process;

/** Test-only entry points into the process-control library's internal routines. */
final class ProcctlProbe {
  static {
    System.loadLibrary("procctl");
    System.loadLibrary("procctl_probe");
  }

  private ProcctlProbe() {}

  /** Raises the exception for code; text is passed as raw bytes, or null. */
  static native void throwException(int code, byte[] text, int sysErr);

  /** The C library's own text for an error number. */
  static native String libcStrerror(int errnum);

  /** Converts to a native string array and returns what its consumers would see. */
  static native byte[][] strArray(String[] array);

  static native byte[][] byteArrArray(byte[][] array);

  /** Converts into a native buffer of the given size and returns its contents. */
  static native byte[] nativeString(String str, int size);

  static native byte[] nativeStringFromArray(byte[] array, int size);

  static native void log(String text);

  static native void logEntryExit(String traceName);

  /** Makes the creation time-out this many seconds (0 restores the environment's rule). */
  static native void overrideStartTimeout(int seconds);

  /**
   * Makes the library take the paths of an older kernel: 0 all this one has, 1 pidfds without exit
   * status behind them (before Linux 6.15), 2 no pidfds (before Linux 5.2).
   */
  static native void overrideKernelFeatures(int features);

  /** Whether the library found at load that a pidfd tells the exit status of a reaped process. */
  static native boolean exitInfoAvailable();

  /** Makes this whole JVM run as the user and group from now on: 0, or the error number. */
  static native int becomeUser(int uid, int gid);
}

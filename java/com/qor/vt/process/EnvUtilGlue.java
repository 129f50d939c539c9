package com.qor.vt.process;

import com.qor.vt.natives.NativeLoader;

/** Reads the server process's own environment through the process-control library. */
public final class EnvUtilGlue {
  static {
    NativeLoader.load("procctl");
  }

  private EnvUtilGlue() {}

  /** The value of one variable; the empty string when it is unset or the name is null. */
  public static native String native_getenv(String name);

  /** Every entry of the environment as NAME=value, in the system's order; null when it is empty. */
  public static native String[] native_getentireenv();
}

package com.qor.vt.process;

import com.qor.vt.natives.NativeLoader;
import com.qor.vt.process.exception.ProcessOpException;

/**
 * Starts and controls operating-system processes on Unix. A handle returned by {@link #create},
 * {@link #recreate} or {@link #createSelf} is released with {@link #done}; calls already running on
 * it finish first. A released handle, or any number that is not a handle, raises {@link
 * ProcessOpException}.
 */
public final class UnixProcessGlue {
  static {
    NativeLoader.load("procctl");
  }

  private UnixProcessGlue() {}

  /**
   * Spawns a program.
   *
   * @param stdHandles input, output and error files (null entries keep the default); a file name
   *     starting with "!" is truncated, otherwise appended to
   * @param reserved not read
   */
  public static native long create(String executable, String[] arguments, String[] environment,
      String workingDirectory, int priority, String[] stdHandles, int reserved, int umask,
      String group, String user, int processGroup, String extra, boolean inheritStdHandles,
      boolean detached) throws ProcessOpException;

  public static native long recreate(String pid) throws ProcessOpException;

  public static native long createSelf() throws ProcessOpException;

  public static native String id(long handle) throws ProcessOpException;

  public static native void waitForTermination(long handle) throws ProcessOpException;

  public static native void waitForTerminationWithTimeout(long handle, int seconds)
      throws ProcessOpException;

  public static native boolean ping(long handle) throws ProcessOpException;

  public static native void stop(long handle) throws ProcessOpException;

  public static native void kill(long handle) throws ProcessOpException;

  public static native int getExitCode(long handle) throws ProcessOpException;

  public static native void done(long handle) throws ProcessOpException;

  public static native void pokeVMThreadDump(long handle) throws ProcessOpException;
}

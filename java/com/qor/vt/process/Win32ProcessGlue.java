package com.qor.vt.process;

import com.qor.vt.natives.NativeLoader;
import com.qor.vt.process.exception.ProcessOpException;

/**
 * Starts and controls operating-system processes on Windows. A handle returned by {@link
 * #create}, {@link #recreate} or {@link #createSelf} is released with {@link #done}; calls already
 * running on it finish first. A released handle, or any number that is not a handle, raises {@link
 * ProcessOpException}.
 */
public final class Win32ProcessGlue {
  static {
    NativeLoader.load("procctl");
  }

  private Win32ProcessGlue() {}

  /**
   * Starts a program.
   *
   * @param commandLine the program and its arguments, as one command line
   * @param environment NAME=value entries laid over the server's environment (PATH is put in
   *     front of the inherited one); null to inherit it unchanged
   * @param workingDirectory created when missing (its last level only); null for the server's
   * @param priority below 0 the default class, 0-9 realtime, 10-19 high, 20-99 normal, else idle
   * @param redirections input, output and error files (null entries keep the server's handle);
   *     "!" in front truncates, "/dev/null" is the null device; ignored in a direct launch
   * @param direct true to start the program from this process, false through process_spawner
   */
  public static native long create(String commandLine, String[] environment,
      String workingDirectory, int priority, String[] redirections, boolean direct)
      throws ProcessOpException;

  public static native long recreate(String pid) throws ProcessOpException;

  public static native long createSelf() throws ProcessOpException;

  public static native String id(long handle);

  public static native void waitForTermination(long handle) throws ProcessOpException;

  public static native void waitForTerminationWithTimeout(long handle, int seconds)
      throws ProcessOpException;

  public static native boolean ping(long handle) throws ProcessOpException;

  public static native void stop(long handle) throws ProcessOpException;

  public static native void kill(long handle) throws ProcessOpException;

  public static native int getExitCode(long handle) throws ProcessOpException;

  public static native void done(long handle) throws ProcessOpException;

  public static native void pokeVMThreadDump(long handle);
}

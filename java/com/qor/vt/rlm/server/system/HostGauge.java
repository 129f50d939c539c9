package com.qor.vt.rlm.server.system;

import com.qor.vt.natives.NativeLoader;

/**
 * System CPU utilisation, free physical memory and the CPU utilisation of this process, from the
 * host gauge library. The previous CPU sample lives in the caller's state array (at least 16
 * bytes, zeroed for "no previous sample"). On Windows the state array (at least 20 bytes) holds
 * the performance-counter set that initCpuUtilization builds and finalizeCpuUtilization releases;
 * there the CPU getters answer -1 on failure and the process CPU figures are not capped at 100.
 */
public class HostGauge {
  static {
    NativeLoader.load("HostGauge");
  }

  public native int initStats(int unused);

  public native int finalizeStats(int unused);

  public native int initCpuUtilization(int unused, byte[] state);

  /**
   * Busy percentage since the sample stored in state, which then holds the new sample; -2 on
   * failure.
   */
  public native int getCpuUtilization(int unused, byte[] state);

  public native int finalizeCpuUtilization(int unused, byte[] state);

  public native int initFreeMemory(int unused, byte[] state);

  /** Free physical memory in kilobytes, or -1. */
  public native int getFreeMemory(int unused, byte[] state);

  public native int finalizeFreeMemory(int unused, byte[] state);

  /** Sets the baseline of the two process CPU getters. */
  public native int initProcLoadUtilization();

  /** This process's CPU percentage since the previous call (or the baseline), 0 to 100. */
  public native int getProcLoadUtilization();

  /** This process's CPU percentage since the baseline's reference start, 0 to 100. */
  public native int getAverageProcLoadUtilization();

  // Windows build only.

  /** Does nothing; 0. */
  public native int finalizeProcLoadUtilization();

  /** Stores the flag; no output depends on it. */
  public native void setDebug(int flag);

  /** Does nothing: the processor count always comes from the system. */
  public native void setNumProcessors(int unused);
}

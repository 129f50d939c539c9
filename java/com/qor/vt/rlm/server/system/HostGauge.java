package com.qor.vt.rlm.server.system;

/**
 * System CPU utilisation, free physical memory and the CPU utilisation of this process, from the
 * host gauge library. The previous CPU sample lives in the caller's state array (at least 16
 * bytes, zeroed for "no previous sample").
 */
public class HostGauge {
  static {
    System.loadLibrary("HostGauge");
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
  public native int finalizeProcLoadUtilization();

  public native void setDebug(int flag);

  public native void setNumProcessors(int unused);
}

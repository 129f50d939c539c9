package com.qor.vt.mr.hostscout.process;

import com.qor.vt.natives.NativeLoader;

/** The memory sizes of one process (pid 0: this process). */
public class ProcessDetectorImpl {
  static {
    // The same natives live in NTHostScout.dll on Windows.
    NativeLoader.load(
        System.getProperty("os.name").startsWith("Windows") ? "NTHostScout" : "HostScout");
  }

  /** The process to measure; 0 means this process. */
  public int pid;

  /** Resident set size in kilobytes; 0 when the process could not be read. */
  public long residentSizeKb;

  /**
   * Total size of the process image in kilobytes (on Windows the peak working set); 0 when the
   * process could not be read.
   */
  public long totalSizeKb;

  public ProcessDetectorImpl() {}

  public ProcessDetectorImpl(int pid) {
    this.pid = pid;
  }

  /** Reads pid and sets residentSizeKb and totalSizeKb. */
  public native void _updateProcessStats();
}

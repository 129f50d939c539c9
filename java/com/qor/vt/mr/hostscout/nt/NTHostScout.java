package com.qor.vt.mr.hostscout.nt;

import com.qor.vt.natives.NativeLoader;

/** Facts about this Windows host: processors, clock rate, speed factor and physical memory. */
public class NTHostScout {
  static {
    NativeLoader.load("NTHostScout");
  }

  /** Logical processors; written only when the processor power records can be read. */
  public int cpus;

  /** Mean maximum clock rate of the processors in MHz; written with cpus. */
  public int mhz;

  /** 0.75 when a processor core runs several hardware threads, else 1.0. */
  public float isf;

  /** Physical memory in bytes. */
  public long membytes;

  /** Sets cpus, mhz and isf, each only when its source is available. */
  public native void getCpuInfo();

  /** Sets membytes. */
  public native void getMemInfo();
}

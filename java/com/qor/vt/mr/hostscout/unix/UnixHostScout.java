package com.qor.vt.mr.hostscout.unix;

import com.qor.vt.natives.NativeLoader;

/** Facts about this host: processors, clock rate, platform speed factor and physical memory. */
public class UnixHostScout {
  static {
    NativeLoader.load("HostScout");
  }

  /** Processors that are online. */
  public int cpus;

  /** Mean clock rate of the online processors in MHz; 0 if none. */
  public int mhz;

  /** Platform speed factor; written only when the platform has one. */
  public float isf;

  /** Physical memory in bytes. */
  public long membytes;

  /** Sets cpus, mhz and (when the platform has one) isf. */
  public native void getCpuInfo();

  /** Sets membytes. */
  public native void getMemInfo();
}

package com.qor.vt.mr.vv.hostscout;

import com.qor.vt.natives.NativeLoader;

/** The hardware addresses of network interfaces, as text such as 00-14-4F-A2-3B-1C. */
public final class NetworkInterfaceUtil {
  static {
    // The same natives live in NTHostScout.dll on Windows.
    NativeLoader.load(
        System.getProperty("os.name").startsWith("Windows") ? "NTHostScout" : "HostScout");
  }

  private NetworkInterfaceUtil() {}

  /**
   * The address of each device (a path such as /dev/bge) at its interface number (PPA), one per
   * device; null for arrays that are missing, empty or of different lengths. A device that cannot
   * be opened, attached or bound throws an Exception, and later devices stay unread.
   */
  public static native String[] getMacAddrsSun(String[] devices, int[] ppas);

  /**
   * Windows build only: the address of every adapter that has one, in the system's adapter order;
   * null when none has. Adapter enumeration errors throw an Exception.
   */
  public static native String[] getMacAddrsWin();

  /** Trace lines on standard output while on. */
  public static native void enableNativeTracing(boolean on);
}

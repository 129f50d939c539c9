package com.qor.vt.mr.vv.hostscout;

import java.util.Arrays;

/**
 * Run inside a private network namespace: reads the addresses of the devices named by the
 * arguments (pairs of device path and PPA, groups separated by "--") and prints one line per
 * group, "RESULT [...]" or "EXCEPTION message". "trace" as the first argument switches tracing
 * on for the first group.
 */
public final class MacMain {
  private MacMain() {}

  public static void main(String[] args) {
    int start = 0;
    boolean trace = args.length > 0 && args[0].equals("trace");
    if (trace) {
      start = 1;
    }
    int group = 0;
    for (int i = start; i <= args.length; i++) {
      if (i < args.length && !args[i].equals("--")) {
        continue;
      }
      String[] pairs = Arrays.copyOfRange(args, start, i);
      String[] devices = new String[pairs.length / 2];
      int[] ppas = new int[pairs.length / 2];
      for (int k = 0; k < devices.length; k++) {
        devices[k] = pairs[2 * k];
        ppas[k] = Integer.parseInt(pairs[2 * k + 1]);
      }
      NetworkInterfaceUtil.enableNativeTracing(trace && group == 0);
      try {
        System.out.println(
            "RESULT " + Arrays.toString(NetworkInterfaceUtil.getMacAddrsSun(devices, ppas)));
      } catch (Exception e) {
        System.out.println("EXCEPTION " + e.getMessage());
      }
      group++;
      start = i + 1;
    }
  }
}

package com.qor.vt.mr.vv.hostscout;

import java.util.Arrays;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Run inside a private network namespace: reads the addresses of the devices named by the
 * arguments (pairs of device path and PPA, groups separated by "--") and prints one line per
 * group, "RESULT [...]" or "EXCEPTION message". "trace" as the first argument switches tracing
 * on for the first group. "threads T N" first makes T threads read the one group N times each at
 * once and prints "CONCURRENT f of T*N calls failed", a failure being an exception or an answer
 * other than the one a lone call gives.
 */
public final class MacMain {
  private MacMain() {}

  public static void main(String[] args) throws InterruptedException {
    if (args.length > 0 && args[0].equals("threads")) {
      concurrent(Integer.parseInt(args[1]), Integer.parseInt(args[2]),
          Arrays.copyOfRange(args, 3, args.length));
      return;
    }
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

  private static void concurrent(int threads, int calls, String[] pairs)
      throws InterruptedException {
    String[] devices = new String[pairs.length / 2];
    int[] ppas = new int[pairs.length / 2];
    for (int k = 0; k < devices.length; k++) {
      devices[k] = pairs[2 * k];
      ppas[k] = Integer.parseInt(pairs[2 * k + 1]);
    }
    String expected;
    try {
      expected = Arrays.toString(NetworkInterfaceUtil.getMacAddrsSun(devices, ppas));
    } catch (Exception e) {
      expected = "EXCEPTION " + e.getMessage();
    }
    String lone = expected;
    AtomicInteger failures = new AtomicInteger();
    Thread[] workers = new Thread[threads];
    for (int t = 0; t < threads; t++) {
      workers[t] = new Thread(() -> {
        for (int i = 0; i < calls; i++) {
          try {
            if (!lone.equals(Arrays.toString(NetworkInterfaceUtil.getMacAddrsSun(devices, ppas)))) {
              failures.incrementAndGet();
            }
          } catch (Exception e) {
            failures.incrementAndGet();
          }
        }
      });
      workers[t].start();
    }
    for (Thread worker : workers) {
      worker.join();
    }
    System.out.println("CONCURRENT " + failures.get() + " of " + threads * calls + " calls failed");
  }
}

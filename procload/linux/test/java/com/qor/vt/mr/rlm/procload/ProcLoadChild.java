package com.qor.vt.mr.rlm.procload;

import java.util.concurrent.TimeUnit;

/** Runs in a child JVM so that a test can see everything the library writes to stdout. */
public final class ProcLoadChild {
  private ProcLoadChild() {}

  private static void mark(String text) {
    System.out.println("MARK " + text);
    System.out.flush();
  }

  public static void main(String[] args) throws Exception {
    int self = (int) ProcessHandle.current().pid();
    ProcLoad.initStats(self);
    switch (args[0]) {
      case "debug" -> {
        mark("off");
        ProcLoad.nativeGetProcessId();
        ProcLoad.nativeEnableDebugMode(true);
        mark("on");
        ProcLoad.nativeGetProcessId();
        ProcLoad.nativeGetProcLoad(0L, self);
        ProcLoad.nativeGetProcLoadLast(0L, self);
        ProcLoad.nativeGetProcLoadLast(null, new int[] {self});
        ProcLoad.nativeEnableDebugMode(false);
        mark("off again");
        ProcLoad.nativeGetProcessId();
      }
      case "siblings" -> {
        Process sleeper = new ProcessBuilder("sleep", "30").start();
        mark("pid " + sleeper.pid());
        ProcLoad.getCPUUtilization(-1);
        mark("debug on");
        ProcLoad.nativeEnableDebugMode(true);
        ProcLoad.getCPUUtilization(-1);
        mark("after");
        ProcLoad.nativeGetProcessId();
        sleeper.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
      }
      default -> throw new IllegalArgumentException(args[0]);
    }
    mark("end");
  }
}

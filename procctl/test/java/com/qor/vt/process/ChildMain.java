package com.qor.vt.process;

import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

/** The program a child JVM runs for the tests: one command, its results on stdout in UTF-8. */
public final class ChildMain {
  private ChildMain() {}

  public static void main(String[] args) throws Exception {
    PrintStream out = new PrintStream(System.out, true, StandardCharsets.UTF_8);
    switch (args[0]) {
      case "log" -> ProcctlProbe.log(args[1] + "\n");
      case "log-long" -> ProcctlProbe.log("x".repeat(Integer.parseInt(args[1])) + "\n");
      case "entryexit" -> ProcctlProbe.logEntryExit(args[1]);
      case "getenv" -> out.println("[" + EnvUtilGlue.native_getenv(args[1]) + "]");
      case "getenv-eacute" -> out.println("[" + EnvUtilGlue.native_getenv("N\u00e9") + "]");
      case "entireenv" -> {
        String[] entries = EnvUtilGlue.native_getentireenv();
        for (String entry : entries) {
          out.println("entry " + entry);
        }
        out.println("count=" + entries.length + " javacount=" + System.getenv().size());
    }
      case "throw" -> {
        try {
          ProcctlProbe.throwException(3, "no class".getBytes(StandardCharsets.UTF_8), 0);
          out.println("nothing raised");
        } catch (Throwable t) {
          out.println(t.getClass().getName() + ": " + t.getMessage());
        }
      }
      case "sleep" -> {
        out.println("ready");
        Thread.sleep(Long.parseLong(args[1]));
      }
      case "pid-reuse" -> RecordScenarios.pidReuse(out);
      case "not-permitted" ->
          RecordScenarios.notPermitted(out, Integer.parseInt(args[1]), Integer.parseInt(args[2]));
      case "stalled-detached" -> RecordScenarios.stalledDetached(out, args[1]);
      default -> throw new IllegalArgumentException(args[0]);
    }
    out.println("pid=" + ProcessHandle.current().pid());
  }
}

package com.qor.vt.process;

import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

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
      case "spawn-text" -> {
        // A program and directory named with an emoji, run with an emoji in
        // an argument and in the environment; its output goes to out.txt.
        String emoji = "\uD83D\uDE00";
        Path dir = Files.createDirectory(Path.of(args[2], "d" + emoji));
        Path program = Files.copy(Path.of(args[1]), dir.resolve("p" + emoji));
        long handle = UnixProcessGlue.create(program.toString(),
            new String[] {"args", "x" + emoji + "y", "env", "E", "cwd"}, new String[] {"E=" + emoji},
            dir.toString(), 20, new String[] {null, args[2] + "/out.txt", null}, 0, 022, null, null,
            0, null, false, false);
        UnixProcessGlue.waitForTermination(handle);
        out.println("exit=" + UnixProcessGlue.getExitCode(handle));
        UnixProcessGlue.done(handle);
        out.println("getenv=[" + EnvUtilGlue.native_getenv("RAW") + "]");
        for (String entry : EnvUtilGlue.native_getentireenv()) {
          if (entry.startsWith("RAW=")) {
            out.println("entireenv=[" + entry + "]");
          }
        }
  }
      case "sleep" -> {
        out.println("ready");
        Thread.sleep(Long.parseLong(args[1]));
      }
      case "pid-reuse" -> RecordScenarios.pidReuse(out);
      case "count-exit-codes" -> RecordScenarios.countExitCodes(
          out, Integer.parseInt(args[1]), Integer.parseInt(args[2]));
      case "stranger" -> RecordScenarios.stranger(out, Integer.parseInt(args[1]));
      case "detached-as-init" -> RecordScenarios.detachedAsInit(out);
      case "not-permitted" ->
          RecordScenarios.notPermitted(out, Integer.parseInt(args[1]), Integer.parseInt(args[2]));
      case "stalled" -> RecordScenarios.stalled(
          out, args[1], Boolean.parseBoolean(args[2]), args[3]);
      default -> throw new IllegalArgumentException(args[0]);
    }
    out.println("pid=" + ProcessHandle.current().pid());
  }
}

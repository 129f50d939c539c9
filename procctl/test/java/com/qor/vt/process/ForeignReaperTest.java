package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/**
 * Records in a JVM beside native code that takes its children (SIGCHLD ignored, or a thread
 * reaping with waitpid(-1)), on this kernel and on the paths of older ones: no exit code is lost
 * where the kernel keeps it, a lost one never reads as a number, no stranger is signalled; and a
 * JVM that is pid 1 reaps its detached programs.
 */
class ForeignReaperTest {
  static final String LOST =
      "ProcessOpException: Error getting exitcode.  010: " + Spawn.strerror(10);
  static final List<String> REAPERS = List.of("ignore", "thread");

  /** The child JVM's environment: the reaper preloaded (after what is preloaded already). */
  private static Map<String, String> beside(String reaper) {
    String lib = ChildJvm.BIN_DIR + "/libforeign_reaper.so";
    String preloaded = System.getenv("LD_PRELOAD");
    return Map.of("FOREIGN_REAPER", reaper, "LD_PRELOAD",
        preloaded == null || preloaded.isEmpty() ? lib : preloaded + ":" + lib);
  }

  @Test
  void everyRecordReadsItsExitCodeOrALossNeverAnotherNumber() {
    // Features: all of this kernel's; pidfds without exit status; no pidfds.
    for (int features = 0; features <= 2; features++) {
      int n = features == 0 ? 300 : 100;
      for (String reaper : REAPERS) {
        List<String> lines = ChildJvm.run(beside(reaper), "count-exit-codes",
            String.valueOf(features), String.valueOf(n)).lines();
        String what = reaper + ", features " + features;
        for (String line : lines.subList(0, 2)) {
          if (features == 0) {
            assertTrue(line.matches("(wait|ping) \\{3=" + n + "\\}\n"), what + ": " + line);
            continue;
          }
          // Only 3 or the loss, as many as were spawned.
          String counts = line.substring(6, line.length() - 2);
          int total = 0;
          for (String entry : counts.split(", ")) {
            int eq = entry.lastIndexOf('=');
            assertTrue(List.of("3", LOST).contains(entry.substring(0, eq)), what + ": " + line);
            total += Integer.parseInt(entry.substring(eq + 1));
          }
          assertEquals(n, total, what + ": " + line);
        }
      }
    }
  }

  @Test
  void aRecordWhoseChildWasReapedByOthersNeverReachesTheNextOwnerOfItsPid() {
    assumeTrue("root".equals(System.getProperty("user.name")),
        "skipped: a pid namespace and ns_last_pid need root");
    assumeTrue(PidReuseTest.canMakePidNamespace(),
        "skipped: this system grants no private pid namespace with its own /proc");
    List<String> wrapper =
        List.of("unshare", "--pid", "--fork", "--mount-proc", PidReuseTest.SUBREAPER);
    for (int features : new int[] {0, 2}) {
      for (String reaper : REAPERS) {
        String out = ChildJvm.run(wrapper, ChildJvm.CLASS_PATH, beside(reaper), "stranger",
                                 String.valueOf(features))
                         .out();
        assertTrue(out.startsWith("stranger=true\nafter-stop=true\nafter-kill=true\n"
                       + "ping=false after-ping=true\nexit=" + (features == 0 ? "3" : LOST) + "\n"),
            reaper + ", features " + features + ": " + out);
      }
    }
  }

  @Test
  void aJvmThatIsPidOneReapsItsDetachedProgramAndKeepsItsExitCode() {
    assumeTrue("root".equals(System.getProperty("user.name")), "skipped: a pid namespace needs root");
    assumeTrue(PidReuseTest.canMakePidNamespace(),
        "skipped: this system grants no private pid namespace with its own /proc");
    List<String> wrapper = List.of("unshare", "--pid", "--fork", "--mount-proc");
    String out =
        ChildJvm.run(wrapper, ChildJvm.CLASS_PATH, Map.of(), "detached-as-init").out();
    assertTrue(out.startsWith("exit=5\nzombies=[]\npid=1\n"), out);
  }
}

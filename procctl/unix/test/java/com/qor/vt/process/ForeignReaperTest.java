package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/**
 * Records in child JVMs beside native code that takes their children (SIGCHLD ignored, or a
 * waitpid(-1) thread), on this kernel's paths and on those of older ones (features 1: no exit
 * status behind pidfds, 2: no pidfds); and a JVM that is pid 1.
 */
class ForeignReaperTest {
  static final List<String> REAPERS = List.of("ignore", "thread");

  /** The child JVM's environment: the reaper preloaded, after what is preloaded already. */
  private static Map<String, String> beside(String reaper) {
    String lib = ChildJvm.BIN_DIR + "/libforeign_reaper.so";
    String preloaded = System.getenv("LD_PRELOAD");
    return Map.of("FOREIGN_REAPER", reaper, "LD_PRELOAD",
        preloaded == null || preloaded.isEmpty() ? lib : preloaded + ":" + lib);
  }

  private static void assumeRootAndPidNamespace() {
    assumeTrue("root".equals(System.getProperty("user.name")), "skipped: needs root");
    assumeTrue(PidReuseTest.canMakePidNamespace(), "skipped: no private pid namespace here");
  }

  @Test
  void everyRecordReadsItsExitCodeOrALossNeverAnotherNumber() {
    for (int features = 0; features <= 2; features++) {
      int n = features == 0 ? 300 : 100;
      for (String reaper : REAPERS) {
        String out = ChildJvm.run(beside(reaper), "count-exit-codes", "" + features, "" + n).out();
        String all = " 3=" + n + " lost=0 other=0\n";
        assertTrue(features == 0 ? out.startsWith("wait" + all + "ping" + all)
                                 : out.matches("(?s)wait .* other=0\nping .* other=0\n.*"),
            reaper + ", features " + features + ": " + out);
      }
    }
  }

  @Test
  void aRecordWhoseChildOthersReapedNeverReachesTheNextOwnerOfItsPid() {
    assumeRootAndPidNamespace();
    List<String> wrapper =
        List.of("unshare", "--pid", "--fork", "--mount-proc", PidReuseTest.SUBREAPER);
    for (int features : new int[] {0, 2}) {
      for (String reaper : REAPERS) {
        String out =
            ChildJvm.run(wrapper, ChildJvm.CLASS_PATH, beside(reaper), "stranger", "" + features)
                .out();
        assertTrue(out.startsWith("stranger=true\nafter-stop=true\nafter-kill=true\n"
                       + "ping=false after-ping=true\nexit="
                       + (features == 0 ? "3" : RecordScenarios.LOST) + "\n"),
            reaper + ", features " + features + ": " + out);
      }
    }
  }

  @Test
  void aJvmThatIsPidOneReapsItsDetachedProgramAndKeepsItsExitCode() {
    assumeRootAndPidNamespace();
    List<String> wrapper = List.of("unshare", "--pid", "--fork", "--mount-proc");
    String out = ChildJvm.run(wrapper, ChildJvm.CLASS_PATH, Map.of(), "detached-as-init").out();
    assertTrue(out.startsWith(
                   "exit=5\nfailed: InvalidDirectoryException: Error creating new process. 002: "
                   + Spawn.strerror(2) + "\nzombies=[]\npid=1\n"),
        out);
  }
}

package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/**
 * Records of processes that are not our children, once their pid belongs to a new child of ours:
 * in a pid namespace of our own, where the next pid can be chosen (root only).
 */
class PidReuseTest {
  static final String SUBREAPER = System.getProperty("qor.test.bindir") + "/subreaper";

  static boolean canTrace() {
    return Files.isExecutable(Path.of("/usr/bin/strace"));
  }

  /** Whether this system grants a private pid namespace with its own /proc (a chroot may not). */
  static boolean canMakePidNamespace() {
    try {
      Process probe = new ProcessBuilder("unshare", "--pid", "--fork", "--mount-proc", "true")
                          .redirectErrorStream(true)
                          .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                          .start();
      return probe.waitFor() == 0;
    } catch (java.io.IOException | InterruptedException e) {
      return false;
    }
  }

  @Test
  void aRecordNeverSignalsNorReapsTheNextOwnerOfItsPid() {
    assumeTrue("root".equals(System.getProperty("user.name")),
        "skipped: a pid namespace and ns_last_pid need root");
    assumeTrue(canTrace(), "skipped: needs strace to hold pidfd_open");
    assumeTrue(canMakePidNamespace(),
        "skipped: this system grants no private pid namespace with its own /proc");
    // Each pidfd_open waits 0.3 s, so a detached program that ends at once
    // is gone before its record could pin it, unless it is held until then.
    List<String> wrapper = List.of("unshare", "--pid", "--fork", "--mount-proc", SUBREAPER,
        "strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=pidfd_open", "-e",
        "inject=pidfd_open:delay_enter=300000");
    String out = ChildJvm.run(wrapper, ChildJvm.CLASS_PATH, Map.of(), "pid-reuse").out();
    boolean exitInfo = ProcctlProbe.exitInfoAvailable();
    String expected =
        "detached-ping=false\ndetached-exit=" + (exitInfo ? "3" : RecordScenarios.LOST)
        + "\nreuse-exit=5\nattached-ping=false\nattached-exit="
        + (exitInfo ? "4" : RecordScenarios.LOST) + "\n"
        + "reuse2-exit=6\n";
    assertTrue(out.startsWith(expected), out);
  }
}

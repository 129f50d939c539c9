package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.process.exception.ProcessHasExitedException;
import com.qor.vt.process.exception.ProcessOpException;
import com.qor.vt.process.exception.ProcessStillActiveException;
import com.qor.vt.process.exception.WaitForSelfTerminationException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/**
 * Operations on a handle: waits, exit codes, signals, and handles on processes we did not start.
 */
@ExtendWith(NoChildLeftBehind.class)
class ProcessOperationsTest {
  @TempDir Path dir;
  @Test
  void waitsWithAndWithoutALimit() throws Exception {
    long handle = Spawn.helper("sleep", "3000").create();
    ProcessStillActiveException still = assertThrows(ProcessStillActiveException.class,
        () -> UnixProcessGlue.waitForTerminationWithTimeout(handle, 0));
    assertEquals("Error waiting for process to terminate. ", still.getMessage());
    assertThrows(ProcessStillActiveException.class,
        () -> UnixProcessGlue.waitForTerminationWithTimeout(handle, -5));
    assertThrows(ProcessStillActiveException.class,
        () -> UnixProcessGlue.waitForTerminationWithTimeout(handle, 1));
    ProcessStillActiveException running =
        assertThrows(ProcessStillActiveException.class, () -> UnixProcessGlue.getExitCode(handle));
    assertEquals("Error getting exitcode. ", running.getMessage());
    assertTrue(UnixProcessGlue.ping(handle));
    UnixProcessGlue.kill(handle);
    UnixProcessGlue.waitForTerminationWithTimeout(handle, 10);
    assertEquals(9, UnixProcessGlue.getExitCode(handle));
    UnixProcessGlue.done(handle);

    long quick = Spawn.helper("sleep", "300", "exit", "6").create();
    UnixProcessGlue.waitForTerminationWithTimeout(quick, -1);
    assertEquals(6, UnixProcessGlue.getExitCode(quick));
    // Waits on an ended process return at once.
    UnixProcessGlue.waitForTermination(quick);
    UnixProcessGlue.waitForTerminationWithTimeout(quick, 0);
    assertFalse(UnixProcessGlue.ping(quick));
    UnixProcessGlue.done(quick);
  }

  @Test
  void stopKillAndThreadDumpSignalTheProcess() throws Exception {
    long stopped = Spawn.helper("pause").create();
    UnixProcessGlue.stop(stopped);
    UnixProcessGlue.waitForTermination(stopped);
    assertEquals(15, UnixProcessGlue.getExitCode(stopped));
    // Once reaped, the pid is no longer ours to signal: these do nothing.
    UnixProcessGlue.stop(stopped);
    UnixProcessGlue.kill(stopped);
    UnixProcessGlue.pokeVMThreadDump(stopped);
    UnixProcessGlue.done(stopped);

    // A program that keeps SIGQUIT's default action ends by it: the signal
    // is not blocked in the child although the JVM's threads block it.
    long quit = Spawn.helper("pause").create();
    UnixProcessGlue.pokeVMThreadDump(quit);
    UnixProcessGlue.waitForTermination(quit);
    assertEquals(3, UnixProcessGlue.getExitCode(quit));
    UnixProcessGlue.done(quit);
  }

  @Test
  void threadDumpOfAJavaChild() throws Exception {
    Path out = dir.resolve("jvm.out");
    Spawn jvm = Spawn.helper().files(null, out.toString(), null);
    jvm.executable = ChildJvm.JAVA;
    jvm.arguments = new String[] {"-cp", ChildJvm.CLASS_PATH,
        "-Djava.library.path=" + ChildJvm.LIB_DIR, ChildMain.class.getName(), "sleep", "60000"};
    long handle = jvm.create();
    try {
      long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
      while (!Files.readString(out).contains("ready") && System.nanoTime() < deadline) {
        Thread.sleep(20);
      }
      UnixProcessGlue.pokeVMThreadDump(handle);
      while (!Files.readString(out).contains("Full thread dump") && System.nanoTime() < deadline) {
        Thread.sleep(20);
      }
      assertTrue(Files.readString(out).contains("Full thread dump"));
      assertTrue(UnixProcessGlue.ping(handle), "a JVM survives a thread dump");
    } finally {
      UnixProcessGlue.kill(handle);
      UnixProcessGlue.waitForTermination(handle);
      UnixProcessGlue.done(handle);
    }
  }

  @Test
  void concurrentWaitsAndExitCodeOnOneHandle() throws Exception {
    long handle = Spawn.helper("sleep", "400", "exit", "5").create();
    ExecutorService pool = Executors.newFixedThreadPool(4);
    try {
      List<Future<Void>> waits = new ArrayList<>();
      for (int i = 0; i < 3; i++) {
        boolean limited = i % 2 == 0;
        waits.add(pool.submit(() -> {
          if (limited) {
            UnixProcessGlue.waitForTerminationWithTimeout(handle, 30);
          } else {
            UnixProcessGlue.waitForTermination(handle);
          }
          return null;
        }));
      }
      Future<Integer> code = pool.submit(() -> {
        while (UnixProcessGlue.ping(handle)) {
          Thread.sleep(5);
        }
        return UnixProcessGlue.getExitCode(handle);
      });
      for (Future<Void> wait : waits) {
        wait.get(30, TimeUnit.SECONDS);
      }
      assertEquals(5, code.get(30, TimeUnit.SECONDS));
      assertEquals(5, UnixProcessGlue.getExitCode(handle));
    } finally {
      pool.shutdownNow();
      UnixProcessGlue.done(handle);
    }
  }

  @Test
  void createSelfNamesTheServerAndRefusesToWaitForIt() throws Exception {
    long self = UnixProcessGlue.createSelf();
    assertEquals(String.valueOf(ProcessHandle.current().pid()), UnixProcessGlue.id(self));
    assertTrue(UnixProcessGlue.ping(self));
    WaitForSelfTerminationException plain = assertThrows(
        WaitForSelfTerminationException.class, () -> UnixProcessGlue.waitForTermination(self));
    assertEquals("Attempt to wait for self to terminate", plain.getMessage());
    WaitForSelfTerminationException limited = assertThrows(WaitForSelfTerminationException.class,
        () -> UnixProcessGlue.waitForTerminationWithTimeout(self, 1));
    assertEquals("Attempt to wait for self to terminate. ", limited.getMessage());
    assertThrows(ProcessStillActiveException.class, () -> UnixProcessGlue.getExitCode(self));
    UnixProcessGlue.done(self);
  }

  @Test
  void recreateAttachesToARunningProcessOnly() throws Exception {
    Process other = new ProcessBuilder(Spawn.HELPER, "pause").start();
    long handle = UnixProcessGlue.recreate(String.valueOf(other.pid()));
    assertEquals(String.valueOf(other.pid()), UnixProcessGlue.id(handle));
    assertTrue(UnixProcessGlue.ping(handle));
    UnixProcessGlue.stop(handle);
    assertTrue(other.waitFor(10, TimeUnit.SECONDS));
    UnixProcessGlue.waitForTerminationWithTimeout(handle, 10);
    assertFalse(UnixProcessGlue.ping(handle));
    // Not our child: its exit code is learnt from its pidfd, once reaped,
    // where the kernel keeps it.
    assertEquals(ProcctlProbe.exitInfoAvailable() ? "15" : RecordScenarios.LOST,
        RecordScenarios.exitCodeOf(handle));
    UnixProcessGlue.done(handle);

    ProcessHasExitedException gone = assertThrows(ProcessHasExitedException.class,
        () -> UnixProcessGlue.recreate(String.valueOf(other.pid())));
    assertEquals("Error recreating process object. ", gone.getMessage());

    // Pids that would address process groups or every process are refused,
    // and so is any text but digits, or digits too long to be taken whole.
    Process live = new ProcessBuilder(Spawn.HELPER, "pause").start();
    String pid = String.valueOf(live.pid());
    String[] bads = {"0", "-1", "-5", "abc", "", "12abc", "99999999999", " " + pid, "+" + pid,
        pid + " ", pid + "\n", "0".repeat(127 - pid.length()) + pid + "9",
        "0".repeat(127 - pid.length()) + pid + "x"};
    try {
      for (String bad : bads) {
        ProcessOpException refused =
            assertThrows(ProcessOpException.class, () -> UnixProcessGlue.recreate(bad), bad);
        assertEquals(ProcessOpException.class, refused.getClass(), bad);
      }
    } finally {
      live.destroyForcibly().waitFor();
    }
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.recreate(null));
  }

  @Test
  void aZombieIsNotARunningProcess() throws Exception {
    // The shell's background child ends at once, but its parent (the
    // exec'd sleep) never reaps it: a zombie that kill(pid, 0) still reaches.
    Path pidFile = dir.resolve("pid");
    Process parent =
        new ProcessBuilder("/bin/sh", "-c", "sleep 0.05 & echo $! > " + pidFile + "; exec sleep 20")
            .start();
    try {
      long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
      String pid = "";
      while (System.nanoTime() < deadline) {
        pid = Files.exists(pidFile) ? Files.readString(pidFile).trim() : "";
        if (!pid.isEmpty() && Files.readString(Path.of("/proc", pid, "stat")).contains(") Z ")) {
          break;
        }
        Thread.sleep(10);
      }
      String zombie = pid;
      assertThrows(ProcessHasExitedException.class, () -> UnixProcessGlue.recreate(zombie));
    } finally {
      parent.destroyForcibly().waitFor();
    }
  }

  @Test
  void aProcessThatEndsInsideTheLimitIsNotReportedRunning() throws Exception {
    // It ends half-way through the only sleep of the wait; the wait looks
    // once more before it answers.
    long handle = Spawn.helper("sleep", "500", "exit", "2").create();
    UnixProcessGlue.waitForTerminationWithTimeout(handle, 1);
    assertEquals(2, UnixProcessGlue.getExitCode(handle));
    UnixProcessGlue.done(handle);
  }

  @Test
  void aZeroHandleRaisesInsteadOfCrashing() throws Exception {
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.id(0));
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.ping(0));
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.kill(0));
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.stop(0));
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.getExitCode(0));
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.waitForTermination(0));
    assertThrows(
        ProcessOpException.class, () -> UnixProcessGlue.waitForTerminationWithTimeout(0, 1));
    assertThrows(ProcessOpException.class, () -> UnixProcessGlue.pokeVMThreadDump(0));
    // Releasing no handle (what a failed create answers) does nothing.
    UnixProcessGlue.done(0);
  }
}

package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.qor.vt.process.exception.CreateProcessTimeoutException;
import com.qor.vt.process.exception.InvalidExecutableException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/** Detached spawns, and children that never reach their program. */
@ExtendWith(NoChildLeftBehind.class)
class DetachedAndTimeoutTest {
  @TempDir Path dir;
  private static String waitForContent(Path file) throws Exception {
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
    while (System.nanoTime() < deadline) {
      if (Files.exists(file) && !Files.readString(file).isEmpty()) {
        return Files.readString(file);
      }
      Thread.sleep(10);
    }
    throw new AssertionError("nothing written to " + file);
  }

  @Test
  void detachedProgramIsNotOurChildAndHasItsOwnPid() throws Exception {
    Path out = dir.resolve("pid.txt");
    Spawn s = Spawn.helper("pgid", "sleep", "300", "exit", "9").files(null, out.toString(), null);
    s.detached = true;
    Set<Long> childrenBefore = Spawn.children();
    long handle = s.create();
    String pid = UnixProcessGlue.id(handle);
    assertTrue(waitForContent(out).startsWith("pid=" + pid + " "), Files.readString(out));
    assertFalse(Spawn.children().contains(Long.parseLong(pid)), "adopted by init, not ours");
    assertEquals(childrenBefore, Spawn.children(), "the intermediate child was reaped");
    UnixProcessGlue.waitForTermination(handle);
    assertFalse(UnixProcessGlue.ping(handle));
    // Its code is known once init has reaped it, where the kernel keeps it.
    while (Files.exists(Path.of("/proc", pid))) {
      Thread.sleep(5);
    }
    assertEquals(ProcctlProbe.exitInfoAvailable() ? "9" : RecordScenarios.LOST,
        RecordScenarios.exitCodeOf(handle));
    UnixProcessGlue.done(handle);

    Spawn missing = Spawn.helper();
    missing.executable = dir.resolve("absent").toString();
    missing.detached = true;
    missing.fails(
        InvalidExecutableException.class, "Error creating new process. 002: " + Spawn.strerror(2));
  }

  private Path fifo() throws Exception {
    Path fifo = dir.resolve("fifo");
    assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
    return fifo;
  }

  @Test
  void aChildBlockedBeforeItsExecIsKilledAfterTheTimeOut() throws Exception {
    // Opening a FIFO for reading blocks until a writer comes: the child never
    // reaches its program.
    Path fifo = fifo();
    ProcctlProbe.overrideStartTimeout(1);
    String timedOut = "Error creating new process. 110: " + Spawn.strerror(110);
    long start = System.nanoTime();
    Spawn.helper()
        .files(fifo.toString(), null, null)
        .fails(CreateProcessTimeoutException.class, timedOut);
    assertTrue(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(900));

    Spawn detached = Spawn.helper().files(fifo.toString(), null, null);
    detached.detached = true;
    detached.fails(CreateProcessTimeoutException.class, timedOut);
    // No child is left blocked on the FIFO.  Before its exec a child runs in
    // this JVM's memory, so its command line reads as this JVM's own.
    byte[] own = Files.readAllBytes(Path.of("/proc/self/cmdline"));
    long self = ProcessHandle.current().pid();
    try (var procs = Files.list(Path.of("/proc"))) {
      List<String> clones =
          procs.filter(p -> p.getFileName().toString().matches("\\d+"))
              .filter(p -> !p.getFileName().toString().equals(String.valueOf(self)))
              .filter(p -> {
                try {
                  return Arrays.equals(own, Files.readAllBytes(p.resolve("cmdline")));
                } catch (Exception gone) {
                  return false;
                }
              })
              .map(p -> p.getFileName().toString())
              .toList();
      assertEquals(List.of(), clones);
    }
  }

  /**
   * A program stuck in the kernel (on a file system that holds its request), where even SIGKILL
   * cannot end it before the file system answers; started as nobody, detached or as our child.
   */
  @Test
  void aChildThatCannotBeKilledHoldsCreateNoLongerThanABoundedWhile() throws Exception {
    assumeTrue("root".equals(System.getProperty("user.name")) && Files.exists(Path.of("/dev/fuse")),
        "skipped: mounting a file system that holds requests needs root and /dev/fuse");
    Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx--x--x"));
    Path mount = Files.createDirectory(dir.resolve("held"));
    String stall = System.getProperty("qor.test.bindir") + "/fuse_stall";
    // Never answered: create comes back after the time-out and a bounded wait for the end, and
    // the program, which still shares this JVM's memory, gives its user no way into it.
    for (String detached : List.of("true", "false")) {
      String out = stalled(mount, List.of(stall, mount.toString()), List.of(), detached, "nobody");
      assertTrue(out.startsWith("create: CreateProcessTimeoutException: "), out);
      assertTrue(Integer.parseInt(out.replaceAll("(?s).*ms=(\\d+)\n.*", "$1")) < 6000, out);
      assertTrue(out.contains("live-clones=1\n") && !out.matches("(?s).*clone-owner=[1-9].*"), out);
    }
    // Answered after 1.5 s, and without pidfds: create comes back once the
    // program has ended, not while it may still run in this JVM's memory.
    assumeTrue(PidReuseTest.canTrace(), "skipped: needs strace to fail pidfd_open");
    String out = stalled(mount, List.of(stall, mount.toString(), "1500"),
        List.of("strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=pidfd_open",
            "-e", "inject=pidfd_open:error=ENOSYS"),
        "true", "-");
    assertTrue(out.startsWith("create: CreateProcessTimeoutException: "), out);
    assertTrue(out.contains("live-clones=0\n"), out);
  }

  private static String stalled(Path mount, List<String> stall, List<String> wrapper,
      String detached, String user) throws Exception {
    Process server = new ProcessBuilder(stall).redirectErrorStream(true).start();
    try {
      assertEquals("ready\n", new String(server.getInputStream().readNBytes(6)));
      List<String> command = new ArrayList<>(wrapper);
      command.addAll(List.of(ChildJvm.JAVA, "-cp", ChildJvm.CLASS_PATH,
          "-Djava.library.path=" + ChildJvm.LIB_DIR, "-Dqor.test.bindir=" + ChildJvm.BIN_DIR,
          ChildMain.class.getName(), "stalled", mount.toString(), detached, user));
      // To a file: the held program keeps the JVM's output open.
      Path out = mount.resolveSibling("out.txt");
      Process jvm = new ProcessBuilder(command)
                        .redirectErrorStream(true)
                        .redirectOutput(out.toFile())
                        .start();
      boolean ended = jvm.waitFor(30, TimeUnit.SECONDS);
      if (!ended) {
        jvm.destroyForcibly().waitFor();
      }
      String text = Files.readString(out);
      assertTrue(ended, "create did not come back: " + text);
      assertEquals(0, jvm.exitValue(), text);
      return text;
    } finally {
      server.getOutputStream().close();
      assertTrue(server.waitFor(10, TimeUnit.SECONDS));
    }
  }
}

package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.qor.vt.process.exception.ProcessOpException;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/** The arguments of one UnixProcessGlue.create call, with the tests' defaults. */
final class Spawn {
  static final String HELPER = System.getProperty("qor.test.bindir") + "/proc_helper";

  String executable = HELPER;
  String[] arguments = {};
  String[] environment;
  String directory;
  int priority = 20;
  String[] files;
  int umask = 022;
  String group;
  String user;
  int processGroup;
  String extra;
  boolean inherit;
  boolean detached;

  static Spawn helper(String... arguments) {
    Spawn s = new Spawn();
    s.arguments = arguments;
    return s;
  }

  Spawn in(Path dir) {
    directory = dir.toString();
    return this;
  }

  Spawn files(String... files) {
    this.files = files;
    return this;
  }

  Spawn env(String... entries) {
    environment = entries;
    return this;
  }

  long create() throws ProcessOpException {
    return UnixProcessGlue.create(executable, arguments, environment, directory, priority, files, 0,
        umask, group, user, processGroup, extra, inherit, detached);
  }

  /** Spawns, waits for the end and answers the exit code; the handle is released. */
  int run() throws ProcessOpException {
    long handle = create();
    try {
      UnixProcessGlue.waitForTermination(handle);
      return UnixProcessGlue.getExitCode(handle);
    } finally {
      UnixProcessGlue.done(handle);
    }
  }

  /** Runs with standard output sent to out.txt in dir and answers what it wrote. */
  String output(Path dir) throws Exception {
    Path out = dir.resolve("out.txt");
    Files.deleteIfExists(out);
    files = new String[] {null, out.toString(), null};
    int code = run();
    assertEquals(0, code, "exit code");
    return Files.readString(out, StandardCharsets.UTF_8);
  }

  /** The create call's exception, checked for its class and exact message. */
  <T extends Throwable> T fails(Class<T> type, String message) {
    T thrown = assertThrows(type, this::create);
    assertEquals(message, thrown.getMessage());
    return thrown;
  }

  /** The pids of this JVM's child processes, and which of them are zombies. */
  static Set<Long> children() {
    return ProcessHandle.current().children().map(ProcessHandle::pid).collect(Collectors.toSet());
  }

  static List<Long> zombieChildren() throws IOException {
    long self = ProcessHandle.current().pid();
    List<Long> zombies = new ArrayList<>();
    try (Stream<Path> procs = Files.list(Path.of("/proc"))) {
      for (Path p : procs.filter(p -> p.getFileName().toString().matches("\\d+")).toList()) {
        String stat;
        try {
          stat = Files.readString(p.resolve("stat"));
        } catch (IOException gone) {
          continue;
        }
        String[] fields = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
        if (fields[0].equals("Z") && Long.parseLong(fields[1]) == self) {
          zombies.add(Long.parseLong(p.getFileName().toString()));
        }
      }
    }
    return zombies;
  }

  /** The process's /proc stat line, or "" once it is gone. */
  static String stat(String pid) {
    try {
      return Files.readString(Path.of("/proc", pid, "stat"));
    } catch (IOException gone) {
      return "";
    }
  }

  /** Waits until the process has ended and nobody has reaped it yet (a zombie). */
  static void awaitZombie(String pid) throws InterruptedException {
    awaitStat(pid, false);
  }

  /** Waits until the process has been reaped, by whoever reaps it. */
  static void awaitReaped(String pid) throws InterruptedException {
    awaitStat(pid, true);
  }

  private static void awaitStat(String pid, boolean gone) throws InterruptedException {
    for (long deadline = System.nanoTime() + 20_000_000_000L; System.nanoTime() < deadline;) {
      String stat = stat(pid);
      if (gone ? stat.isEmpty() : stat.contains(") Z ")) {
        return;
      }
      Thread.sleep(5);
    }
    throw new AssertionError(pid + (gone ? " was not reaped" : " did not end"));
  }

  static String strerror(int errnum) {
    return ProcctlProbe.libcStrerror(errnum);
  }

  private Spawn() {}
}

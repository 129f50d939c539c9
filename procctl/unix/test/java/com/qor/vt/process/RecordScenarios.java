package com.qor.vt.process;

import com.qor.vt.process.exception.ProcessOpException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.concurrent.TimeUnit;

/** Scenarios a child JVM runs in a prepared setting (a pid namespace, a tracer, another user). */
final class RecordScenarios {
  private RecordScenarios() {}

  private interface Call {
    Object run() throws ProcessOpException;
  }

  private static void report(PrintStream out, String what, Call call) {
    try {
      Object result = call.run();
      out.println(what + ": " + (result == null ? "ok" : result));
    } catch (ProcessOpException e) {
      out.println(what + ": " + e.getClass().getSimpleName() + ": " + e.getMessage());
    }
  }

  /** A new child of ours with the given pid (set through ns_last_pid; root, own pid namespace). */
  private static long childWithPid(String pid, String... arguments) throws Exception {
    for (int attempt = 0; attempt < 50; attempt++) {
      Files.writeString(
          Path.of("/proc/sys/kernel/ns_last_pid"), String.valueOf(Integer.parseInt(pid) - 1));
      long handle = Spawn.helper(arguments).create();
      if (UnixProcessGlue.id(handle).equals(pid)) {
        return handle;
      }
      UnixProcessGlue.kill(handle);
      UnixProcessGlue.waitForTermination(handle);
      UnixProcessGlue.done(handle);
    }
    throw new AssertionError("pid " + pid + " could not be had again");
  }

  /**
   * Records of a detached and of a re-attached process whose pids pass to new children of ours.
   * Runs in a pid namespace of its own whose init reaps at once, under a tracer that delays every
   * pidfd_open: a detached program that ends at once has ended before its record can open one.
   */
  static void pidReuse(PrintStream out) throws Exception {
    Spawn quick = Spawn.helper("exit", "3");
    quick.detached = true;
    long detached = quick.create();
    String pid = UnixProcessGlue.id(detached);
    Spawn.awaitReaped(pid);
    long reuse = childWithPid(pid, "sleep", "300", "exit", "5");
    UnixProcessGlue.kill(detached);
    Spawn.awaitZombie(pid);
    out.println("detached-ping=" + UnixProcessGlue.ping(detached));
    UnixProcessGlue.waitForTermination(detached);
    UnixProcessGlue.waitForTerminationWithTimeout(detached, 1);
    out.println("detached-exit=" + exitCodeOf(detached));
    UnixProcessGlue.waitForTermination(reuse);
    out.println("reuse-exit=" + UnixProcessGlue.getExitCode(reuse));
    UnixProcessGlue.done(detached);
    UnixProcessGlue.done(reuse);

    Process other = new ProcessBuilder(Spawn.HELPER, "sleep", "1000", "exit", "4").start();
    String otherPid = String.valueOf(other.pid());
    long attached = UnixProcessGlue.recreate(otherPid);
    other.waitFor();
    long reuse2 = childWithPid(otherPid, "exit", "6");
    Spawn.awaitZombie(otherPid);
    out.println("attached-ping=" + UnixProcessGlue.ping(attached));
    UnixProcessGlue.waitForTermination(attached);
    out.println("attached-exit=" + exitCodeOf(attached));
    UnixProcessGlue.waitForTermination(reuse2);
    out.println("reuse2-exit=" + UnixProcessGlue.getExitCode(reuse2));
    UnixProcessGlue.done(attached);
    UnixProcessGlue.done(reuse2);
  }

  /** Records of root processes of each kind, used after this JVM gave up root. */
  static void notPermitted(PrintStream out, int uid, int gid) throws Exception {
    // (Their output goes elsewhere than ours, which the test reads to its end.)
    Process other = new ProcessBuilder(Spawn.HELPER, "pause").start();
    long attached = UnixProcessGlue.recreate(String.valueOf(other.pid()));
    long child = Spawn.helper("pause").files(null, "/dev/null", "/dev/null").create();
    Spawn detachedSpawn = Spawn.helper("pause").files(null, "/dev/null", "/dev/null");
    detachedSpawn.detached = true;
    long detached = detachedSpawn.create();
    out.println("pids " + other.pid() + " " + UnixProcessGlue.id(child) + " "
        + UnixProcessGlue.id(detached));
    out.println("become " + ProcctlProbe.becomeUser(uid, gid));
    String[] names = {"attached", "child", "detached"};
    long[] handles = {attached, child, detached};
    for (int i = 0; i < handles.length; i++) {
      long h = handles[i];
      report(out, names[i] + " ping", () -> UnixProcessGlue.ping(h));
      report(out, names[i] + " stop", () -> {
        UnixProcessGlue.stop(h);
        return null;
      });
      report(out, names[i] + " kill", () -> {
        UnixProcessGlue.kill(h);
        return null;
      });
      report(out, names[i] + " dump", () -> {
        UnixProcessGlue.pokeVMThreadDump(h);
        return null;
      });
    }
  }

  /**
   * A spawn (detached or not, as user or as ourselves when user is "-") whose program waits in the
   * kernel on a file system that holds it.
   */
  static void stalled(PrintStream out, String mount, boolean detached, String user)
      throws Exception {
    ProcctlProbe.overrideStartTimeout(1);
    Spawn stalled = Spawn.helper();
    stalled.directory = mount + "/held";
    stalled.detached = detached;
    stalled.user = user.equals("-") ? null : user;
    long start = System.nanoTime();
    report(out, "create", () -> {
      UnixProcessGlue.done(stalled.create());
      return null;
    });
    out.println("ms=" + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start));
    // Before its exec a child runs in this JVM's memory: its command line is ours.
    byte[] own = Files.readAllBytes(Path.of("/proc/self/cmdline"));
    String self = String.valueOf(ProcessHandle.current().pid());
    long live = 0;
    try (var procs = Files.list(Path.of("/proc"))) {
      for (Path p : procs.filter(p -> p.getFileName().toString().matches("\\d+")).toList()) {
        String pid = p.getFileName().toString();
        try {
          if (!pid.equals(self) && Arrays.equals(own, Files.readAllBytes(p.resolve("cmdline")))
              && !Spawn.stat(pid).contains(") Z ")) {
            live++;
            // Only root may look into a memory shared with a process that changed its user.
            out.println("clone-owner=" + Files.getAttribute(p.resolve("mem"), "unix:uid"));
          }
        } catch (java.io.IOException gone) {
          // ended meanwhile
        }
      }
    }
    out.println("live-clones=" + live);
  }
  /** What getExitCode answers once the status is lost: an exception, never a number. */
  static final String LOST =
      "ProcessOpException: Error getting exitcode.  010: " + Spawn.strerror(10);

  /** What getExitCode answers, or the exception it raises, as text. */
  static String exitCodeOf(long handle) {
    try {
      return String.valueOf(UnixProcessGlue.getExitCode(handle));
    } catch (ProcessOpException e) {
      return e.getClass().getSimpleName() + ": " + e.getMessage();
    }
  }

  /**
   * Counts what the records of n programs that exit with 3 answer, seen by waitForTermination and
   * by polling ping, with the kernel features given (ProcctlProbe.overrideKernelFeatures).
   */
  static void countExitCodes(PrintStream out, int features, int n) throws Exception {
    ProcctlProbe.overrideKernelFeatures(features);
    for (String path : new String[] {"wait", "ping"}) {
      int[] counts = new int[3]; // 3, lost, anything else
      for (int i = 0; i < n; i++) {
        long handle = Spawn.helper("exit", "3").create();
        while (path.equals("ping") && UnixProcessGlue.ping(handle)) {
          Thread.onSpinWait();
        }
        UnixProcessGlue.waitForTermination(handle);
        String code = exitCodeOf(handle);
        counts[code.equals("3") ? 0 : code.equals(LOST) ? 1 : 2]++;
        UnixProcessGlue.done(handle);
      }
      out.printf("%s 3=%d lost=%d other=%d%n", path, counts[0], counts[1], counts[2]);
    }
  }

  private static boolean alive(String pid) {
    String stat = Spawn.stat(pid);
    return !stat.isEmpty() && !stat.contains(") Z ");
  }

  /**
   * A child that the reaper beside us took, whose pid then goes to a process that is no record's
   * (root, own pid namespace): stop, kill and ping of the record must not reach that process.
   */
  static void stranger(PrintStream out, int features) throws Exception {
    ProcctlProbe.overrideKernelFeatures(features);
    long handle = Spawn.helper("exit", "3").create();
    String pid = UnixProcessGlue.id(handle);
    Spawn.awaitReaped(pid);
    Thread.sleep(30); // a clock tick at least, so that the start times differ
    Process stranger = null;
    for (int attempt = 0; attempt < 50 && stranger == null; attempt++) {
      Files.writeString(
          Path.of("/proc/sys/kernel/ns_last_pid"), String.valueOf(Integer.parseInt(pid) - 1));
      stranger = new ProcessBuilder(Spawn.HELPER, "pause").start();
      if (!String.valueOf(stranger.pid()).equals(pid)) {
        stranger.destroyForcibly().waitFor();
        stranger = null;
      }
    }
    out.println("stranger=" + alive(pid));
    UnixProcessGlue.stop(handle);
    out.println("after-stop=" + alive(pid));
    UnixProcessGlue.kill(handle);
    out.println("after-kill=" + alive(pid));
    out.println("ping=" + UnixProcessGlue.ping(handle) + " after-ping=" + alive(pid));
    out.println("exit=" + exitCodeOf(handle));
    UnixProcessGlue.done(handle); // (the stranger ends with the namespace)
  }

  /** A detached program that exits with 5, with this JVM as pid 1 of its namespace. */
  static void detachedAsInit(PrintStream out) throws Exception {
    Spawn quick = Spawn.helper("exit", "5");
    quick.detached = true;
    long handle = quick.create();
    UnixProcessGlue.waitForTermination(handle);
    out.println("exit=" + exitCodeOf(handle));
    UnixProcessGlue.done(handle);
    // A detached program that started but could not run (no such directory).
    Spawn failing = Spawn.helper();
    failing.detached = true;
    failing.directory = "/nonexistent";
    report(out, "failed", failing::create);
    out.println("zombies=" + Spawn.zombieChildren());
  }
}

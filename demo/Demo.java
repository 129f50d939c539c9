import com.qor.vt.mr.gcsentry.JvmtiGlobalGCDetector;
import com.qor.vt.mr.hostscout.unix.UnixHostScout;
import com.qor.vt.mr.rlm.procload.ProcLoad;
import com.qor.vt.mr.vv.hostscout.NetworkInterfaceUtil;
import com.qor.vt.process.UnixProcessGlue;
import com.qor.vt.process.exception.ProcessOpException;
import com.qor.vt.rlm.server.system.HostGauge;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicLong;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The main job: what a server's supervisor does with the native libraries. It prints the host's
 * facts, starts a command with its output in a log file, shows once a second the machine's and the
 * command's CPU and memory, waits for a garbage collection through the GC agent, and ends with
 * the command's exit code.
 */
public final class Demo {
  /** Two CPU-busy children (shell loops of a few seconds each), then the end. */
  private static final String[] WORKLOAD = {"/bin/sh", "-c",
      "echo workload: two busy children;"
          + " busy() { i=0; while [ $i -lt 4000000 ]; do i=$((i+1)); done; echo workload: child done; };"
          + " busy & busy & wait; echo workload: done; exit 3"};

  private Demo() {}

  public static void main(String[] args) throws Exception {
    String[] command = args.length > 0 ? args : WORKLOAD;
    printHostFacts();
    boolean contained = printContainer();

    HostGauge gauge = new HostGauge();
    gauge.initStats(0);
    byte[] cpuState = new byte[16];
    byte[] memState = new byte[16];
    gauge.initCpuUtilization(0, cpuState);
    gauge.initFreeMemory(0, memState);
    gauge.initProcLoadUtilization();
    ProcLoad.initStats(0);

    Path log = Files.createTempFile("demo-command-", ".log");
    String[] arguments = new String[command.length - 1];
    System.arraycopy(command, 1, arguments, 0, arguments.length);
    long handle = UnixProcessGlue.create(command[0], arguments, null,
        new File(".").getCanonicalPath(), 20, new String[] {null, log.toString(), log.toString()},
        0, 022, null, null, 0, null, false, false);
    int pid = Integer.parseInt(UnixProcessGlue.id(handle));
    System.out.printf(
        "%nStarted %s as pid %d, output in %s%n", String.join(" ", command), pid, log);
    Thread stopOnInterrupt = new Thread(() -> stopQuietly(handle, pid));
    Runtime.getRuntime().addShutdownHook(stopOnInterrupt);

    Thread gcWatch = watchGarbageCollection();
    System.out.printf("%n%6s %12s %14s %12s %16s %12s%n", "time",
        contained ? "contain. CPU" : "machine CPU", "free memory", "command CPU", "descendants CPU",
        "server CPU");
    long start = System.nanoTime();
    ProcLoad.nativeGetProcLoadLast(0, pid);
    while (UnixProcessGlue.ping(handle)) {
      Thread.sleep(1000);
      int[] descendants = ProcLoad.nativeGetProcessId_Descendants(pid);
      double own = ProcLoad.nativeGetProcLoadLast(0, pid);
      double children = 0;
      if (descendants != null && descendants.length > 0) {
        long[] unused = new long[descendants.length];
        for (double d : ProcLoad.nativeGetProcLoadLast(unused, descendants)) {
          children += d;
        }
      }
      System.out.printf("%5.1fs %11d%% %11d MB %11.1f%% %15.1f%% %11d%%   (%d descendants)%n",
          (System.nanoTime() - start) / 1e9, gauge.getCpuUtilization(0, cpuState),
          gauge.getFreeMemory(0, memState) / 1024, own, children, gauge.getProcLoadUtilization(),
          descendants == null ? 0 : descendants.length);
    }
    UnixProcessGlue.waitForTermination(handle);
    int code = UnixProcessGlue.getExitCode(handle);
    // The handle is released next: Ctrl-C from here on has nothing to stop.
    Runtime.getRuntime().removeShutdownHook(stopOnInterrupt);
    UnixProcessGlue.done(handle);
    gcWatch.join(10_000);
    System.out.printf("%nThe command ended with exit code %d; its output is in %s%n", code, log);
    System.exit(code);
  }

  /**
   * Inside control groups with limits, what they allow: the processors (and the quota they come
   * from) and the memory; the figures of the table are then the container's. Answers whether it
   * runs inside limits.
   */
  private static boolean printContainer() {
    long[] raw = ProcLoad.nativeGetContainerInfo();
    long quota = raw[ProcLoad.CONTAINER_CPU_QUOTA];
    long period = raw[ProcLoad.CONTAINER_CPU_PERIOD];
    long limit = raw[ProcLoad.CONTAINER_MEMORY_LIMIT];
    if (quota <= 0 && limit < 0) {
      return false;
    }
    UnixHostScout host = new UnixHostScout();
    host.getMemInfo();
    String share = quota > 0 && period > 0
        ? String.format(Locale.ROOT, " (CPU quota %.2f processors)", (double) quota / period)
        : "";
    System.out.printf("Container: %d processors, %d MiB%s%n",
        ProcLoad.nativeGetProcessorCount(ProcLoad.nativeGetProcessId()),
        host.membytes / (1024 * 1024), share);
    return true;
  }

  private static void printHostFacts() {
    UnixHostScout host = new UnixHostScout();
    host.getCpuInfo();
    host.getMemInfo();
    System.out.printf("Host: %d processors at %d MHz, %.1f GiB of memory%n", host.cpus, host.mhz,
        host.membytes / (1024.0 * 1024 * 1024));
    // A Linux interface NAMEn is the device /dev/NAME at unit n.
    Pattern unit = Pattern.compile("(.*\\D)(\\d+)");
    File[] interfaces = new File("/sys/class/net").listFiles();
    List<String> shown = new ArrayList<>();
    if (interfaces != null) {
      for (File iface : interfaces) {
        Matcher m = unit.matcher(iface.getName());
        if (!m.matches()) {
          continue;
        }
        try {
          String[] macs = NetworkInterfaceUtil.getMacAddrsSun(
              new String[] {"/dev/" + m.group(1)}, new int[] {Integer.parseInt(m.group(2))});
          if (macs != null && macs.length == 1) {
            shown.add(iface.getName() + " " + macs[0]);
          }
        } catch (Exception unreadable) {
          shown.add(iface.getName() + " (" + unreadable.getMessage() + ")");
        }
      }
    }
    System.out.println(
        "MAC addresses: " + (shown.isEmpty() ? "none found" : String.join(", ", shown)));
  }

  /** Waits for the next collection through the agent, then causes one and reports the release. */
  private static Thread watchGarbageCollection() {
    int status = JvmtiGlobalGCDetector.init();
    if (status != 0) {
      System.out.println("GC agent not started (init " + status + "); run the JVM with -agentpath");
      return new Thread(() -> {});
    }
    AtomicLong released = new AtomicLong();
    Thread waiter = new Thread(() -> {
      long heap = JvmtiGlobalGCDetector.waitForGCCompletion();
      released.set(System.nanoTime());
      System.out.printf(
          "  (GC agent: a waiting thread was released; heap in use after the collection: %s)%n",
          heap < 0 ? "not known (this JVM runs without its performance data)"
                   : String.format(Locale.ROOT, "%.1f MiB (%d bytes)", heap / 1048576.0, heap));
    }, "gc-waiter");
    waiter.setDaemon(true);
    waiter.start();
    Thread trigger = new Thread(() -> {
      try {
        Thread.sleep(2500);
        long before = System.nanoTime();
        System.gc();
        long after = System.nanoTime();
        waiter.join(5000);
        System.out.printf(
            "  (System.gc() took %.1f ms; the waiter ran %.0f us after it began, %+.0f us"
                + " from its return)%n",
            (after - before) / 1e6, (released.get() - before) / 1e3,
            (released.get() - after) / 1e3);
      } catch (InterruptedException stop) {
        Thread.currentThread().interrupt();
      }
    }, "gc-trigger");
    trigger.setDaemon(true);
    trigger.start();
    return trigger;
  }

  /** Ctrl-C: stops the command and whatever it started, so nothing is left running. */
  private static void stopQuietly(long handle, int pid) {
    try {
      if (!UnixProcessGlue.ping(handle)) {
        return;
      }
      int[] descendants = ProcLoad.nativeGetProcessId_Descendants(pid);
      UnixProcessGlue.stop(handle);
      if (descendants != null) {
        for (int child : descendants) {
          try {
            long h = UnixProcessGlue.recreate(String.valueOf(child));
            UnixProcessGlue.stop(h);
            UnixProcessGlue.done(h);
          } catch (ProcessOpException alreadyGone) {
            // Ended on its own meanwhile.
          }
        }
      }
      try {
        UnixProcessGlue.waitForTerminationWithTimeout(handle, 5);
      } catch (ProcessOpException still) {
        UnixProcessGlue.kill(handle);
      }
      System.out.println("\nStopped the command (pid " + pid + ") and its children.");
    } catch (ProcessOpException | RuntimeException e) {
      System.out.println("\nCould not stop the command: " + e.getMessage());
    }
  }
}

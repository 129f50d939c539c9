package com.qor.vt.mr.rlm.procload;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Collectors;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Every native of ProcLoad in this JVM. Figures are compared with the kernel's own accounting over
 * nearly the same interval, so the checks hold on a loaded machine and fail for a figure that
 * misses threads, processors or time.
 */
class ProcLoadTest {
  static final int PROCESSORS = onlineProcessors();
  static final int SELF = (int) ProcessHandle.current().pid();
  static volatile long sink;

  @BeforeAll
  static void start() {
    assertEquals(0, ProcLoad.initStats(SELF));
  }

  @AfterAll
  static void noChildLeft() {
    assertEquals(0, ProcessHandle.current().children().count());
  }

  static int onlineProcessors() {
    try {
      return (int) Files.readAllLines(Path.of("/proc/stat"))
          .stream()
          .filter(l -> l.matches("cpu[0-9]+ .*"))
          .count();
    } catch (IOException e) {
      throw new AssertionError(e);
    }
  }

  /** Idle and total ticks of the machine's "cpu " line, the way the idle share counts them. */
  static long[] idleAndTotal() {
    try {
      String[] f = Files.readAllLines(Path.of("/proc/stat")).get(0).trim().split(" +");
      long[] c = new long[9];
      for (int i = 0; i < 9 && i + 1 < f.length; i++) {
        c[i] = Long.parseLong(f[i + 1]);
      }
      long total = c[0] + c[1] + c[2] + c[3] + c[4] + c[5] + c[6] + c[7];
      return new long[] {c[3] + c[4], total};
    } catch (IOException e) {
      throw new AssertionError(e);
    }
  }

  static void sleep(long millis) {
    try {
      Thread.sleep(millis);
    } catch (InterruptedException e) {
      throw new AssertionError(e);
    }
  }

  /** Percent of the machine for CPU nanoseconds used over wall nanoseconds. */
  static double percent(long cpuNanos, long wallNanos) {
    return cpuNanos * 100.0 / wallNanos / PROCESSORS;
  }

  /**
   * Our figure against the kernel's over nearly the same interval. On a starved machine a target
   * may get too little CPU to tell a right figure from a wrong one; the check is then skipped.
   */
  static void assertNearKernel(double reference, double ours) {
    assumeTrue(reference > 1.5, "the target got too little CPU to judge: " + reference);
    assertEquals(reference, ours, Math.max(1.5, reference * 0.15), "kernel's figure " + reference);
  }

  @Test
  void identitiesOfProcessThreadAndMachine() {
    assertEquals(SELF, ProcLoad.nativeGetProcessId());
    assertEquals(PROCESSORS, ProcLoad.nativeGetProcessorCount(SELF));
    long mine = ProcLoad.nativeGetThreadId();
    AtomicLong other = new AtomicLong();
    Thread t = new Thread(() -> other.set(ProcLoad.nativeGetThreadId()));
    t.start();
    try {
      t.join();
    } catch (InterruptedException e) {
      throw new AssertionError(e);
    }
    assertNotEquals(0, mine);
    assertNotEquals(mine, other.get());
    assertEquals(mine, ProcLoad.nativeGetThreadId());
  }

  @Test
  void childSpinningOneThreadUsesOneProcessorsShare() {
    try (Spinner child = new Spinner("spin", "1")) {
      double first = ProcLoad.nativeGetProcLoadLast(0L, child.pid());
      long cpu0 = child.cpuNanos();
      long wall0 = System.nanoTime();
      sleep(1500);
      double second = ProcLoad.nativeGetProcLoadLast(0L, child.pid());
      long cpu1 = child.cpuNanos();
      long wall1 = System.nanoTime();
      double reference = percent(cpu1 - cpu0, wall1 - wall0);
      assertTrue(first < 1.0, "first sample measures from time zero: " + first);
      // One spinning thread uses at most one processor's share of the machine.
      assertTrue(second > 0.0 && second <= 100.0 / PROCESSORS + 1.0, "" + second);

      double since = ProcLoad.nativeGetProcLoad(0L, child.pid());
      assertTrue(since > 0.0 && since <= 100.0, "" + since);
      long clock = ProcLoad.nativeGetProcLoadClock(child.pid());
      assertEquals(child.cpuNanos(), clock, 50_000_000.0);
      assertNearKernel(reference, second);
    }
  }

  @Test
  void threadsThatComeAndGoBetweenSamplesAreCounted() {
    // Each thread spins 8 ms and ends; none lives long enough to be seen at a sample.
    try (Spinner child = new Spinner("churn", "8", "4")) {
      ProcLoad.nativeGetProcLoadLast(0L, child.pid());
      long cpu0 = child.cpuNanos();
      long wall0 = System.nanoTime();
      sleep(2000);
      double load = ProcLoad.nativeGetProcLoadLast(0L, child.pid());
      long cpu1 = child.cpuNanos();
      long wall1 = System.nanoTime();
      double reference = percent(cpu1 - cpu0, wall1 - wall0);
      assertNearKernel(reference, load);
    }
  }

  @Test
  void batchCountsAProcessOnce() {
    try (Spinner child = new Spinner("spin", "1")) {
      int[] ids = {child.pid(), child.pid(), SELF};
      double[] first = ProcLoad.nativeGetProcLoadLast(new long[0], ids);
      assertEquals(3, first.length);
      long cpu0 = child.cpuNanos();
      long wall0 = System.nanoTime();
      sleep(800);
      double[] loads = ProcLoad.nativeGetProcLoadLast(new long[0], ids);
      long cpu1 = child.cpuNanos();
      long wall1 = System.nanoTime();
      assertEquals(0.0, loads[1]);
      sleep(800);
      double next = ProcLoad.nativeGetProcLoadLast(0L, child.pid());
      long cpu2 = child.cpuNanos();
      long wall2 = System.nanoTime();
      assertTrue(next <= 100.0 / PROCESSORS + 1.0, "no doubled count after the batch: " + next);
      assertNearKernel(percent(cpu1 - cpu0, wall1 - wall0), loads[0]);
      assertNearKernel(percent(cpu2 - cpu1, wall2 - wall1), next);
    }
  }

  @Test
  void goneProcessesAndEmptyBatches() {
    Process gone = startAndReap();
    assertEquals(0.0, ProcLoad.nativeGetProcLoadLast(0L, (int) gone.pid()));
    assertEquals(0.0, ProcLoad.nativeGetProcLoad(0L, (int) gone.pid()));
    assertEquals(0, ProcLoad.nativeGetProcLoad(null, new int[0]).length);
    assertNull(ProcLoad.nativeGetProcLoadLast(null, null));
  }

  static Process startAndReap() {
    try {
      Process p = new ProcessBuilder("/bin/true").start();
      p.waitFor();
      return p;
    } catch (IOException | InterruptedException e) {
      throw new AssertionError(e);
    }
  }

  @Test
  void idArraysLongerThan1024AreAnsweredForTheFirst1024() {
    int[] ids = new int[1500];
    Arrays.fill(ids, SELF);
    double[] loads = ProcLoad.nativeGetProcLoad(null, ids);
    assertEquals(1500, loads.length);
    assertTrue(loads[0] > 0.0 && loads[1023] > 0.0, loads[0] + " " + loads[1023]);
    assertEquals(0.0, loads[1024]);
    assertEquals(0.0, loads[1499]);
  }

  @Test
  void descendantsOfAShellWithTwoChildren() throws Exception {
    Process shell = new ProcessBuilder("/bin/sh", "-c", "sleep 30 & sleep 30 & wait").start();
    try {
      long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
      while (shell.children().count() < 2 && System.nanoTime() < deadline) {
        sleep(20);
      }
      Set<Long> expected = shell.children().map(ProcessHandle::pid).collect(Collectors.toSet());
      assertEquals(2, expected.size());
      Set<Long> found = Arrays.stream(ProcLoad.nativeGetProcessId_Descendants((int) shell.pid()))
                            .mapToObj(Long::valueOf)
                            .collect(Collectors.toSet());
      assertEquals(expected, found);
      // This JVM's own list has the shell and not the JVM itself.
      List<Integer> mine = Arrays.stream(ProcLoad.nativeGetProcessId_Descendants(SELF))
                               .boxed()
                               .collect(Collectors.toList());
      assertTrue(mine.contains((int) shell.pid()), mine.toString());
      assertTrue(!mine.contains(SELF));
    } finally {
      // Ending the sleeps ends the shell's wait; the shell reaps them and exits.
      shell.children().forEach(ProcessHandle::destroyForcibly);
      if (!shell.waitFor(10, TimeUnit.SECONDS)) {
        shell.destroyForcibly().waitFor();
      }
    }
  }

  @Test
  void threadCpuClockOfASpinningJavaThread() throws Exception {
    AtomicBoolean stop = new AtomicBoolean();
    AtomicLong handle = new AtomicLong();
    CountDownLatch started = new CountDownLatch(1);
    Thread spinner = new Thread(() -> {
      handle.set(ProcLoad.nativeGetThreadId());
      started.countDown();
      while (!stop.get()) {
        sink++;
      }
    });
    spinner.start();
    started.await();
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    long jdk0 = threads.getThreadCpuTime(spinner.getId());
    long ours0 = ProcLoad.nativeGetThreadCPUClock(SELF, handle.get());
    long process0 = ProcLoad.nativeGetProcLoadClock(SELF);
    sleep(600);
    long ours1 = ProcLoad.nativeGetThreadCPUClock(SELF, handle.get());
    long jdk1 = threads.getThreadCpuTime(spinner.getId());
    long process1 = ProcLoad.nativeGetProcLoadClock(SELF);
    stop.set(true);
    spinner.join();
    assertTrue(ours1 - ours0 > 5_000_000L, "" + (ours1 - ours0));
    // The JDK's reads bracket ours, so its difference is at least as large.
    assertTrue(jdk1 - jdk0 >= ours1 - ours0 - 1_000_000L, (jdk1 - jdk0) + " " + (ours1 - ours0));
    assertTrue(jdk1 - jdk0 - (ours1 - ours0) < 30_000_000L, (jdk1 - jdk0) + " " + (ours1 - ours0));
    // The process clock counts the spinning thread, which is not the main thread.
    assertTrue(process1 - process0 >= ours1 - ours0, (process1 - process0) + " " + (ours1 - ours0));
  }

  @Test
  void threadClockAnswersZeroForHandlesOfEndedThreadsAndValuesNeverHandedOut() throws Exception {
    AtomicLong ended = new AtomicLong();
    Thread t = new Thread(() -> ended.set(ProcLoad.nativeGetThreadId()));
    t.start();
    t.join();
    // The thread drops its handle on its way out, which may end a moment after join returns.
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
    while (
        ProcLoad.nativeGetThreadCPUClock(SELF, ended.get()) != 0 && System.nanoTime() < deadline) {
      sleep(10);
    }
    assertEquals(0L, ProcLoad.nativeGetThreadCPUClock(SELF, ended.get()));
    long mine = ProcLoad.nativeGetThreadId();
    for (long value : new long[] {0x1000L, 1L, -1L, Long.MIN_VALUE, Long.MAX_VALUE, mine + 8,
             mine - 4096, mine ^ (1L << 44)}) {
      assertEquals(0L, ProcLoad.nativeGetThreadCPUClock(SELF, value), Long.toHexString(value));
    }
    assertTrue(ProcLoad.nativeGetThreadCPUClock(SELF, mine) > 0);
  }

  @Test
  void processClockOfIdsThatNameNoProcessIsZero() {
    // 2^29 apart, two ids would share one kernel clock id; the largest names this process's.
    for (int id : new int[] {0, -1, Integer.MIN_VALUE, Integer.MAX_VALUE, SELF + (1 << 29),
             SELF + (1 << 30), (1 << 22) + 1}) {
      assertEquals(0L, ProcLoad.nativeGetProcLoadClock(id), "id " + id);
    }
    assertTrue(ProcLoad.nativeGetProcLoadClock(SELF) > 0);
  }

  @Test
  void sinceCreationOfThisJvmDividesItsCpuByItsLifetime() throws Exception {
    com.sun.management.OperatingSystemMXBean os =
        (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
    // The measurement starts again now: this JVM is older than it.
    ProcLoad.initStats(SELF);
    double since = ProcLoad.getCPUUtilization();
    long cpu = os.getProcessCpuTime();
    String stat = Files.readString(Path.of("/proc/self/stat"));
    long startTicks = Long.parseLong(stat.substring(stat.lastIndexOf(')') + 2).split(" ")[19]);
    double uptime = Double.parseDouble(Files.readString(Path.of("/proc/uptime")).split(" ")[0]);
    double reference = percent(cpu, (long) ((uptime - startTicks / 100.0) * 1e9));
    assertEquals(reference, since, Math.max(1.0, reference * 0.1), "kernel's figure " + reference);
  }

  @Test
  void ownProcessSinceLastCallAndSinceCreation() throws Exception {
    com.sun.management.OperatingSystemMXBean os =
        (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
    ProcLoad.getCPUUtilization(0);
    long cpu0 = os.getProcessCpuTime();
    long wall0 = System.nanoTime();
    AtomicBoolean stop = new AtomicBoolean();
    Thread spinner = new Thread(() -> {
      while (!stop.get()) {
        Thread.onSpinWait();
      }
    });
    spinner.start();
    sleep(800);
    double load = ProcLoad.getCPUUtilization(0);
    long cpu1 = os.getProcessCpuTime();
    long wall1 = System.nanoTime();
    stop.set(true);
    spinner.join();
    assertNearKernel(percent(cpu1 - cpu0, wall1 - wall0), load);
    double since = ProcLoad.getCPUUtilization();
    assertTrue(since > 0.0 && since <= 100.0, "" + since);
  }

  @Test
  void idleShareOfTheMachine() {
    long[] request = new long[80];
    request[ProcLoad.IDLE_PERCENT_INDEX] = ProcLoad.IDLE_PERCENT_REQUEST;
    ProcLoad.nativeGetHardwareInfoDynamic(request); // the interval starts here
    long[] a = idleAndTotal();
    sleep(1000);
    long[] b = idleAndTotal();
    long[] answer = ProcLoad.nativeGetHardwareInfoDynamic(request);
    double reference = (b[0] - a[0]) * 100.0 * 1000.0 / (b[1] - a[1]);
    assertEquals(80, answer.length);
    long idle = answer[ProcLoad.IDLE_PERCENT_INDEX];
    assertTrue(idle >= 0 && idle <= 100_000, "" + idle);
    assertEquals(reference, idle, 6000.0);
  }

  @Test
  void hardwareArrays() {
    long[] fixed = ProcLoad.nativeGetHardwareInfoStatic();
    long[] expected = new long[21];
    Arrays.fill(expected, -1);
    expected[20] = 1;
    assertArrayEquals(expected, fixed);

    long[] request = new long[100];
    Arrays.fill(request, 5);
    long[] answer = ProcLoad.nativeGetHardwareInfoDynamic(request);
    assertEquals(80, answer.length);
    for (int i = 0; i < 80; i++) {
      assertEquals(i <= 20 ? -1 : 5, answer[i], "entry " + i);
    }
    long[] shortAnswer = ProcLoad.nativeGetHardwareInfoDynamic(new long[] {1, 2, 3});
    assertEquals(80, shortAnswer.length);
    assertTrue(Arrays.stream(shortAnswer).allMatch(v -> v == -1));
  }
}

package com.qor.vt.rlm.server.system;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The host gauge in this JVM, on the machine's live counters. */
class HostGaugeTest {
  private final HostGauge gauge = new HostGauge();

  /** Idle ticks summed over the processors of /proc/stat, modulo 2^32. */
  private static long idleTicks() throws IOException {
    long sum = 0;
    for (String line : Files.readAllLines(Path.of("/proc/stat"))) {
      if (line.matches("cpu\\d+ .*")) {
        sum += Long.parseLong(line.split("\\s+")[4]);
      }
    }
    return sum & 0xFFFFFFFFL;
  }

  private static long meminfoKb(String key) throws IOException {
    for (String line : Files.readAllLines(Path.of("/proc/meminfo"))) {
      if (line.startsWith(key + ":")) {
        return Long.parseLong(line.replaceAll("[^0-9]", ""));
      }
    }
    throw new AssertionError("no " + key);
  }

  /** Keeps this thread busy for the given CPU time. */
  private static void burnCpu(long millis) {
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    long until = threads.getCurrentThreadCpuTime() + millis * 1_000_000L;
    long x = 0;
    while (threads.getCurrentThreadCpuTime() < until) {
      for (int i = 0; i < 100_000; i++) {
        x += i ^ (x >>> 3);
      }
    }
    assertTrue(x != 42);
  }

  @Test
  void cpuUtilizationStoresTheLiveCountersAndMeasuresFromThem() throws IOException {
    byte[] state = new byte[16];
    long idleBefore = idleTicks();
    int sinceBoot = gauge.getCpuUtilization(0, state);
    long idleAfter = idleTicks();
    assertTrue(sinceBoot >= 0 && sinceBoot <= 100, "since boot: " + sinceBoot);
    ByteBuffer words = ByteBuffer.wrap(state).order(ByteOrder.nativeOrder());
    long storedIdle = words.getInt(0) & 0xFFFFFFFFL;
    assertTrue(idleBefore <= storedIdle && storedIdle <= idleAfter,
        idleBefore + " <= " + storedIdle + " <= " + idleAfter);

    burnCpu(300);
    int interval = gauge.getCpuUtilization(0, state);
    assertTrue(interval > 0 && interval <= 100, "while busy: " + interval);
  }

  @Test
  void stateArrayShorterThanASampleIsRefusedUntouched() {
    byte[] state = {1, 2, 3, 4, 5, 6, 7, 8};
    assertEquals(-2, gauge.getCpuUtilization(0, state));
    assertArrayEquals(new byte[] {1, 2, 3, 4, 5, 6, 7, 8}, state);
    assertEquals(-2, gauge.getCpuUtilization(0, null));
  }

  @Test
  void freeMemoryIsWhatTheMachineHasAvailable() throws IOException {
    long before = meminfoKb("MemAvailable");
    int free = gauge.getFreeMemory(0, null);
    long after = meminfoKb("MemAvailable");
    long slack = 64 * 1024;
    assertTrue(free >= Math.min(before, after) - slack && free <= Math.max(before, after) + slack,
        before + " / " + free + " / " + after);
  }

  @Test
  void processLoadOfThisJvm() {
    assertEquals(0, gauge.initProcLoadUtilization());
    burnCpu(300);
    int interval = gauge.getProcLoadUtilization();
    assertTrue(interval > 0 && interval <= 100, "interval: " + interval);
    int average = gauge.getAverageProcLoadUtilization();
    assertTrue(average > 0 && average <= 100, "average: " + average);
  }

  @Test
  void initialiseAndFinaliseAnswerZero() throws IOException {
    byte[] state = new byte[16];
    long idleBefore = idleTicks();
    assertEquals(List.of(0, 0, 0, 0, 0, 0),
        List.of(gauge.initStats(0), gauge.initCpuUtilization(0, state),
            gauge.initFreeMemory(0, state), gauge.finalizeFreeMemory(0, state),
            gauge.finalizeCpuUtilization(0, state), gauge.finalizeStats(0)));
    long idleAfter = idleTicks();
    // The baseline is stored at init, so the first figure covers the time since init, not since
    // boot.
    long storedIdle = ByteBuffer.wrap(state).order(ByteOrder.nativeOrder()).getInt(0) & 0xFFFFFFFFL;
    assertTrue(idleBefore <= storedIdle && storedIdle <= idleAfter,
        idleBefore + " <= " + storedIdle + " <= " + idleAfter);
  }
}

package com.qor.vt.mr.gcsentry.bench;

import com.qor.vt.mr.gcsentry.JvmtiGlobalGCDetector;
import com.sun.management.GarbageCollectionNotificationInfo;
import java.io.IOException;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.locks.LockSupport;
import javax.management.NotificationEmitter;

/**
 * How soon after a collection ends a thread waiting in waitForGCCompletion runs again, against a
 * GarbageCollectionNotificationInfo JMX listener, for the same collections in the same JVM.
 *
 * <p>Each round makes one young collection by allocating, then waits until both the waiting
 * thread and the listener have seen it. The end of the collection is the moment the virtual
 * machine posted GarbageCollectionFinish, stamped by the clock agent; both latencies are measured
 * from it on the System.nanoTime clock. A round with more than one collection is dropped.
 *
 * <p>{@code run COLLECTOR ROUNDS WARMUP FILE on|off} measures one JVM and writes one line per
 * collection, the waiter's and the listener's latency in nanoseconds, to FILE; "on" says that the
 * waiter must read a heap figure (the JVM runs with its performance data), "off" that it must read
 * -1. {@code report COLLECTOR ON_FILES OFF_FILES} (comma-separated lists) pools the runs and prints
 * the RESULT lines: the waiter against the listener with the heap figure on, and the waiter with
 * the heap figure on against the waiter without it.
 */
public final class GcLatencyBench {
  private static volatile boolean armed;
  private static volatile long waiterWake;
  private static volatile long waiterSeen;
  private static volatile long listenerWake;
  private static volatile long listenerSeen;
  private static volatile long heapFigure;
  private static volatile Object sink;

  private GcLatencyBench() {}

  public static void main(String[] args) throws Exception {
    if (args[0].equals("report")) {
      report(args[1], read(args[2]), read(args[3]));
    } else {
      run(args[1], Integer.parseInt(args[2]), Integer.parseInt(args[3]), Path.of(args[4]),
          args[5].equals("on"));
    }
  }

  private static void run(String collector, int rounds, int warmup, Path out, boolean heapOn)
      throws Exception {
    if (JvmtiGlobalGCDetector.init() != 0) {
      throw new IllegalStateException("GcSentry did not start: " + JvmtiGlobalGCDetector.init());
    }
    listen();
    Thread waiter = new Thread(GcLatencyBench::waitLoop, "gc-waiter");
    waiter.setDaemon(true);
    waiter.start();

    List<String> lines = new ArrayList<>();
    int dropped = 0;
    while (lines.size() < rounds) {
      long[] pair = round();
      if (pair == null) {
        dropped++;
        if (dropped > rounds) {
          throw new IllegalStateException("too many rounds with more than one collection");
        }
      } else if (warmup > 0) {
        warmup--;
      } else {
        lines.add(pair[0] + " " + pair[1]);
      }
      // The figure read must be the one this run is meant to measure.
      if (pair != null && (heapFigure > 0) != heapOn) {
        throw new IllegalStateException(
            "heap figure " + heapFigure + " with the heap figure " + (heapOn ? "on" : "off"));
      }
    }
    Files.write(out, lines);
    System.out.printf(Locale.ROOT,
        "%s, heap figure %s: %d collections (%d dropped), last heap figure %d%n", collector,
        heapOn ? "on" : "off", lines.size(), dropped, heapFigure);
  }

  private static void waitLoop() {
    while (true) {
      armed = true;
      long heap = JvmtiGlobalGCDetector.waitForGCCompletion();
      long now = System.nanoTime();
      heapFigure = heap;
      armed = false;
      waiterWake = now;
      waiterSeen = GcClock.finishCount();
    }
  }

  private static void listen() {
    for (GarbageCollectorMXBean bean : ManagementFactory.getGarbageCollectorMXBeans()) {
      ((NotificationEmitter) bean).addNotificationListener((notification, handback) -> {
        long now = System.nanoTime();
        if (notification.getType().equals(
                GarbageCollectionNotificationInfo.GARBAGE_COLLECTION_NOTIFICATION)) {
          listenerWake = now;
          listenerSeen = GcClock.finishCount();
        }
      }, null, null);
    }
  }

  /**
   * One collection: the two latencies in nanoseconds, or null when more than one collection ran.
   */
  private static long[] round() throws InterruptedException {
    // The waiter must be inside its wait before the collection starts.
    while (!armed) {
      Thread.sleep(1);
    }
    Thread.sleep(20);
    long before = GcClock.finishCount();
    while (GcClock.finishCount() == before) {
      sink = new byte[4096];
    }
    long deadline = System.nanoTime() + 10_000_000_000L;
    while (waiterSeen <= before || listenerSeen <= before) {
      if (System.nanoTime() > deadline) {
        throw new IllegalStateException("a collection was not reported within 10 s");
      }
      LockSupport.parkNanos(200_000);
    }
    // Let a listener notification that belongs to the same collection settle.
    Thread.sleep(5);
    if (GcClock.finishCount() != before + 1) {
      return null;
    }
    long end = GcClock.lastFinishNanos();
    return new long[] {waiterWake - end, listenerWake - end};
  }

  private static long median(List<Long> sorted) {
    int n = sorted.size();
    return n % 2 == 1 ? sorted.get(n / 2) : (sorted.get(n / 2 - 1) + sorted.get(n / 2)) / 2;
  }

  /** Nearest-rank 90th percentile. */
  private static long p90(List<Long> sorted) {
    return sorted.get((int) Math.ceil(0.9 * sorted.size()) - 1);
  }

  private static String time(long nanos) {
    return nanos >= 1_000_000 ? String.format(Locale.ROOT, "%.2f ms", nanos / 1e6)
                              : String.format(Locale.ROOT, "%d µs", Math.round(nanos / 1e3));
  }

  /** The latencies of the runs listed (comma-separated files): waiter [0] and listener [1]. */
  private static List<List<Long>> read(String files) throws IOException {
    List<Long> agent = new ArrayList<>();
    List<Long> jmx = new ArrayList<>();
    for (String file : files.split(",")) {
      for (String line : Files.readAllLines(Path.of(file))) {
        String[] pair = line.split(" ");
        agent.add(Long.parseLong(pair[0]));
        jmx.add(Long.parseLong(pair[1]));
      }
    }
    Collections.sort(agent);
    Collections.sort(jmx);
    return List.of(agent, jmx);
  }

  private static void report(String collector, List<List<Long>> on, List<List<Long>> off) {
    List<Long> agent = on.get(0);
    List<Long> jmx = on.get(1);
    List<Long> without = off.get(0);
    long agentMedian = median(agent);
    long jmxMedian = median(jmx);
    long withoutMedian = median(without);
    System.out.printf(Locale.ROOT,
        "%s: heap figure on: waiter min %s median %s p90 %s max %s; JMX min %s median %s p90 %s"
            + " max %s; heap figure off: waiter min %s median %s p90 %s max %s%n",
        collector, time(agent.get(0)), time(agentMedian), time(p90(agent)),
        time(agent.get(agent.size() - 1)), time(jmx.get(0)), time(jmxMedian), time(p90(jmx)),
        time(jmx.get(jmx.size() - 1)), time(without.get(0)), time(withoutMedian),
        time(p90(without)), time(without.get(without.size() - 1)));
    System.out.printf(Locale.ROOT,
        "RESULT GcSentry: collection end to waiting thread running, %s (median / p90 of %d)"
            + " | %s / %s | GarbageCollectionNotificationInfo JMX listener %s / %s"
            + " | %.1fx sooner | ≥ 5x sooner (median)%n",
        collector, agent.size(), time(agentMedian), time(p90(agent)), time(jmxMedian),
        time(p90(jmx)), (double) jmxMedian / Math.max(agentMedian, 1));
    System.out.printf(Locale.ROOT,
        "RESULT GcSentry: waiter release with the heap figure, %s (median of %d / %d)"
            + " | %s | without it (-XX:-UsePerfData) %s | %.2f | ≤ 1.10%n",
        collector, agent.size(), without.size(), time(agentMedian), time(withoutMedian),
        (double) agentMedian / Math.max(withoutMedian, 1));
  }
}

package com.qor.vt.mr.gcsentry.bench;

import com.qor.vt.mr.gcsentry.JvmtiGlobalGCDetector;
import com.sun.management.GarbageCollectionNotificationInfo;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
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
 */
public final class GcLatencyBench {
  private static volatile boolean armed;
  private static volatile long waiterWake;
  private static volatile long waiterSeen;
  private static volatile long listenerWake;
  private static volatile long listenerSeen;
  private static volatile Object sink;

  private GcLatencyBench() {}

  public static void main(String[] args) throws Exception {
    String collector = args[0];
    int rounds = Integer.parseInt(args[1]);
    int warmup = Integer.parseInt(args[2]);
    if (JvmtiGlobalGCDetector.init() != 0) {
      throw new IllegalStateException("GcSentry did not start: " + JvmtiGlobalGCDetector.init());
    }
    listen();
    Thread waiter = new Thread(GcLatencyBench::waitLoop, "gc-waiter");
    waiter.setDaemon(true);
    waiter.start();

    List<Long> agent = new ArrayList<>();
    List<Long> jmx = new ArrayList<>();
    int dropped = 0;
    while (agent.size() < rounds) {
      Long[] pair = round();
      if (pair == null) {
        dropped++;
        if (dropped > rounds) {
          throw new IllegalStateException("too many rounds with more than one collection");
        }
      } else if (warmup > 0) {
        warmup--;
      } else {
        agent.add(pair[0]);
        jmx.add(pair[1]);
      }
    }
    report(collector, agent, jmx, dropped);
  }

  private static void waitLoop() {
    while (true) {
      armed = true;
      JvmtiGlobalGCDetector.waitForGCCompletion();
      long now = System.nanoTime();
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
  private static Long[] round() throws InterruptedException {
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
    return new Long[] {waiterWake - end, listenerWake - end};
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

  private static void report(String collector, List<Long> agent, List<Long> jmx, int dropped) {
    Collections.sort(agent);
    Collections.sort(jmx);
    long agentMedian = median(agent);
    long jmxMedian = median(jmx);
    double ratio = (double) jmxMedian / Math.max(agentMedian, 1);
    System.out.printf(Locale.ROOT,
        "%s: %d collections (%d dropped); waiter min %s median %s p90 %s max %s;"
            + " JMX min %s median %s p90 %s max %s%n",
        collector, agent.size(), dropped, time(agent.get(0)), time(agentMedian), time(p90(agent)),
        time(agent.get(agent.size() - 1)), time(jmx.get(0)), time(jmxMedian), time(p90(jmx)),
        time(jmx.get(jmx.size() - 1)));
    System.out.printf(Locale.ROOT,
        "RESULT GcSentry: collection end to waiting thread running, %s (median / p90 of %d)"
            + " | %s / %s | GarbageCollectionNotificationInfo JMX listener %s / %s"
            + " | %.1fx sooner | ≥ 5x sooner (median)%n",
        collector, agent.size(), time(agentMedian), time(p90(agent)), time(jmxMedian),
        time(p90(jmx)), ratio);
  }
}

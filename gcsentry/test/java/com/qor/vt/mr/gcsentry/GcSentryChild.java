package com.qor.vt.mr.gcsentry;

import com.sun.management.GarbageCollectionNotificationInfo;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryPoolMXBean;
import java.lang.management.MemoryType;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import javax.management.NotificationEmitter;
import javax.management.openmbean.CompositeData;

/**
 * The program a child JVM runs for the tests. It prints what it observed as key=value lines on
 * stdout; the test decides what is right.
 */
public final class GcSentryChild {
  /**
   * Long enough for a thread inside waitForGCCompletion to reach its raw-monitor wait, a few
   * instructions further, even on a loaded machine.
   */
  private static final long SETTLE_MS = 300;

  private GcSentryChild() {}

  public static void main(String[] args) throws Exception {
    if (args[0].equals("collector")) {
      collector();
    } else if (args[0].equals("load")) {
      load(args[1]);
    } else if (args[0].equals("heap")) {
      heap(Integer.parseInt(args[1]));
    } else {
      throw new IllegalArgumentException(args[0]);
    }
    System.out.flush();
  }

  private static void fact(String key, Object value) {
    System.out.println(key + "=" + value);
  }

  /** Collections so far, as the JVM's collector beans count them. */
  private static long collections() {
    long n = 0;
    for (GarbageCollectorMXBean bean : ManagementFactory.getGarbageCollectorMXBeans()) {
      n += bean.getCollectionCount();
    }
    return n;
  }

  /**
   * Waits until the thread runs inside waitForGCCompletion's native code (past linking the
   * native method, which runs Java code of its own and can take long on a loaded machine).
   */
  private static void awaitInNative(Thread t) throws InterruptedException {
    long deadline = System.nanoTime() + 30_000_000_000L;
    while (System.nanoTime() < deadline) {
      StackTraceElement[] stack = t.getStackTrace();
      if (stack.length > 0 && stack[0].isNativeMethod()
          && stack[0].getMethodName().equals("waitForGCCompletion")) {
        return;
      }
      Thread.sleep(1);
    }
    throw new IllegalStateException(t.getName() + " never reached waitForGCCompletion");
  }

  /** The agent's behaviour in a JVM started with -agentpath and one collector. */
  private static void collector() throws Exception {
    collections(); // loads the management classes before any quiet window
    fact("init", JvmtiGlobalGCDetector.init());
    waitersAcrossOneCollection("single", 1);
    waitersAcrossOneCollection("pair", 2);
    // The pair's collection has just ended: a new waiter waits for the following one.
    waitersAcrossOneCollection("following", 1);
    interrupted();
  }

  /**
   * Starts n waiting threads, checks that none returns while no collection runs, then collects
   * once and reports when and with what value they returned.
   */
  private static void waitersAcrossOneCollection(String name, int n) throws Exception {
    long[] values = new long[n];
    long[] returnedAt = new long[n];
    Thread[] threads = new Thread[n];
    CountDownLatch started = new CountDownLatch(n);
    for (int i = 0; i < n; i++) {
      int k = i;
      threads[i] = new Thread(() -> {
        started.countDown();
        values[k] = JvmtiGlobalGCDetector.waitForGCCompletion();
        returnedAt[k] = System.nanoTime();
      }, name + "-waiter-" + i);
      threads[i].setDaemon(true);
      threads[i].start();
    }
    started.await();
    for (Thread t : threads) {
      awaitInNative(t);
    }
    long before = collections();
    Thread.sleep(SETTLE_MS);
    boolean early = Arrays.stream(threads).anyMatch(t -> !t.isAlive());
    fact(name + ".quietCollections", collections() - before);
    fact(name + ".returnedEarly", early);
    long collectStart = System.nanoTime();
    System.gc();
    for (Thread t : threads) {
      t.join(30_000);
    }
    fact(name + ".released", Arrays.stream(threads).noneMatch(Thread::isAlive));
    fact(name + ".afterCollection", Arrays.stream(returnedAt).allMatch(t -> t - collectStart > 0));
    fact(name + ".values",
        Arrays.stream(values).mapToObj(Long::toString).collect(Collectors.joining(",")));
  }

  /** An interrupt ends the wait without a collection and the interrupt status survives. */
  private static void interrupted() throws Exception {
    long[] value = new long[1];
    boolean[] flag = new boolean[1];
    CountDownLatch started = new CountDownLatch(1);
    Thread waiter = new Thread(() -> {
      started.countDown();
      value[0] = JvmtiGlobalGCDetector.waitForGCCompletion();
      flag[0] = Thread.currentThread().isInterrupted();
    }, "interrupted-waiter");
    waiter.setDaemon(true);
    waiter.start();
    started.await();
    awaitInNative(waiter);
    long before = collections();
    Thread.sleep(SETTLE_MS);
    waiter.interrupt();
    waiter.join(30_000);
    fact("interrupt.released", !waiter.isAlive());
    fact("interrupt.collections", collections() - before);
    fact("interrupt.value", value[0]);
    fact("interrupt.statusKept", flag[0]);
  }

  /** Kept alive by the heap mode, so that the heap in use after a full collection is large. */
  private static final List<byte[]> LIVE = new ArrayList<>();

  private static volatile Object garbage;

  /**
   * The heap in use that waitForGCCompletion answers after a young and after a full collection,
   * beside the JVM's own figure for the same collection: the sum of the heap pools' used sizes
   * after it, from its GarbageCollectionNotificationInfo. First makes liveMiB MiB of live data.
   */
  private static void heap(int liveMiB) throws Exception {
    Set<String> heapPools = ManagementFactory.getMemoryPoolMXBeans()
                                .stream()
                                .filter(p -> p.getType() == MemoryType.HEAP)
                                .map(MemoryPoolMXBean::getName)
                                .collect(Collectors.toSet());
    LinkedBlockingQueue<Long> jmx = new LinkedBlockingQueue<>();
    for (GarbageCollectorMXBean bean : ManagementFactory.getGarbageCollectorMXBeans()) {
      ((NotificationEmitter) bean).addNotificationListener((notification, handback) -> {
        if (notification.getType().equals(
                GarbageCollectionNotificationInfo.GARBAGE_COLLECTION_NOTIFICATION)) {
          GarbageCollectionNotificationInfo info =
              GarbageCollectionNotificationInfo.from((CompositeData) notification.getUserData());
          jmx.add(info.getGcInfo()
                      .getMemoryUsageAfterGc()
                      .entrySet()
                      .stream()
                      .filter(e -> heapPools.contains(e.getKey()))
                      .mapToLong(e -> e.getValue().getUsed())
                      .sum());
        }
      }, null, null);
    }
    for (int i = 0; i < liveMiB; i += 64) {
      LIVE.add(new byte[Math.min(64, liveMiB - i) << 20]);
    }
    fact("init", JvmtiGlobalGCDetector.init());
    for (String kind : new String[] {"young", "full"}) {
      // The waiter reads the figure of the last collection that ended before it ran: one pause
      // can hold two (Parallel scavenges before a full collection), so the JMX figure to compare
      // is that of the round's last collection. A round whose notifications do not all arrive
      // is tried again.
      for (int attempt = 0; attempt < 5; attempt++) {
        System.gc(); // a quiet start: no collection is due in the round
        Thread.sleep(200);
        jmx.clear();
        long[] value = new long[1];
        Thread waiter = new Thread(
            () -> value[0] = JvmtiGlobalGCDetector.waitForGCCompletion(), kind + "-waiter");
        waiter.setDaemon(true);
        waiter.start();
        awaitInNative(waiter);
        long before = collections();
        if (kind.equals("full")) {
          System.gc();
        } else {
          while (waiter.isAlive() && collections() == before) {
            garbage = new byte[32 << 10];
          }
        }
        waiter.join(30_000);
        long ended = collections() - before;
        List<Long> figures = new ArrayList<>();
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (figures.size() < ended && System.nanoTime() < deadline) {
          Long figure = jmx.poll(100, TimeUnit.MILLISECONDS);
          if (figure != null) {
            figures.add(figure);
          }
        }
        if (!waiter.isAlive() && ended > 0 && figures.size() == ended
            && collections() - before == ended) {
          fact("heap." + kind + ".agent", value[0]);
          fact("heap." + kind + ".jmx", figures.get(figures.size() - 1));
          break;
        }
      }
    }
    fact("live", LIVE.size());
  }

  /**
   * A JVM that loads the library with System.load, with or without an agent; where the natives
   * answer that the agent did not start, a wait must answer at once.
   */
  private static void load(String path) {
    System.load(path);
    int init = JvmtiGlobalGCDetector.init();
    fact("init", init);
    if (init == 0) {
      return; // a started agent: a wait would last until the next collection
    }
    long start = System.nanoTime();
    long value = JvmtiGlobalGCDetector.waitForGCCompletion();
    fact("wait.value", value);
    fact("wait.ms", (System.nanoTime() - start) / 1_000_000);
  }
}

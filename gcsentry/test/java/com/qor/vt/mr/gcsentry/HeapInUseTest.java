package com.qor.vt.mr.gcsentry;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The heap in use a released waiter reads on HotSpot, from the JVM's performance-data counters,
 * against the JVM's own JMX figure for the same collection (GarbageCollectionNotificationInfo).
 */
class HeapInUseTest {
  private static final long GIB = 1L << 30;

  @AfterEach
  void noChildLeft() {
    AgentJvm.assertNoChildLeft();
  }

  /** Runs the heap mode; the performance data is on unless an option turns it off again. */
  private static Map<String, String> heap(int liveMiB, String... options) {
    List<String> jvm = new ArrayList<>(List.of(AgentJvm.agent(), "-XX:+UsePerfData"));
    jvm.addAll(List.of(options));
    Map<String, String> f = AgentJvm.run(jvm, "heap", Integer.toString(liveMiB)).facts();
    assertEquals("0", f.get("init"));
    for (String kind : List.of("young", "full")) {
      assertNotNull(f.get("heap." + kind + ".agent"), () -> "no " + kind + " round paired: " + f);
    }
    return f;
  }

  private static void assertWithinOnePercent(Map<String, String> f, String kind) {
    long agent = Long.parseLong(f.get("heap." + kind + ".agent"));
    long jmx = Long.parseLong(f.get("heap." + kind + ".jmx"));
    assertTrue(jmx > 0 && Math.abs(agent - jmx) <= jmx / 100,
        () -> kind + ": agent " + agent + ", JMX " + jmx);
  }

  @ParameterizedTest
  @ValueSource(strings = {"G1", "Parallel", "Serial"})
  void isTheJmxFigureAfterYoungAndFullCollections(String collector) {
    Map<String, String> f = heap(16, "-XX:+Use" + collector + "GC", "-Xms64m", "-Xmx64m");
    assertAll(() -> assertWithinOnePercent(f, "young"), () -> assertWithinOnePercent(f, "full"));
  }

  @Test
  void aHeapBeyondFourGibIsReadWhole() {
    // The JDK's figure is the container's memory limit where there is one.
    long memory =
        ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
            .getTotalMemorySize();
    assumeTrue(memory >= 7 * GIB, "a 6 GiB heap does not fit in " + (memory >> 20) + " MiB");
    Map<String, String> f = heap(4352, "-XX:+UseG1GC", "-Xms6g", "-Xmx6g");
    assertAll(()
                  -> assertWithinOnePercent(f, "young"),
        ()
            -> assertWithinOnePercent(f, "full"),
        () -> assertTrue(Long.parseLong(f.get("heap.full.agent")) > 4 * GIB, f.toString()));
  }

  /** Without performance data, or with it kept in private memory, there is no figure. */
  @ParameterizedTest
  @ValueSource(strings = {"-XX:-UsePerfData", "-XX:+PerfDisableSharedMem"})
  void isMinusOneWithoutMappedPerformanceData(String option) {
    Map<String, String> f = heap(16, option, "-Xms64m", "-Xmx64m");
    assertAll(()
                  -> assertEquals("-1", f.get("heap.young.agent")),
        () -> assertEquals("-1", f.get("heap.full.agent")));
  }
}

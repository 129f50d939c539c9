package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

class EnvUtilGlueTest {
  /** Sets the raw UTF-8 bytes of "é" into the named variable before the child JVM starts. */
  private static List<String> withEAcute(String name) {
    return List.of(
        "/bin/sh", "-c", "exec env \"" + name + "=$(printf 'caf\\303\\251')\" \"$@\"", "sh");
  }

  @Test
  void entireEnvironmentHasEveryEntry() {
    String[] entries = EnvUtilGlue.native_getentireenv();
    Set<String> expected = System.getenv()
                               .entrySet()
                               .stream()
                               .map(e -> e.getKey() + "=" + e.getValue())
                               .collect(Collectors.toSet());
    assertEquals(System.getenv().size(), entries.length);
    assertEquals(expected, Set.copyOf(Arrays.asList(entries)));
  }

  @Test
  void entireEnvironmentOfAChildKeepsTheLastEntryToo() {
    ChildJvm.Result result = ChildJvm.run(Map.of("A_FIRST", "1", "Z_LAST", "3"), "entireenv");
    List<String> lines = result.lines();
    assertTrue(lines.contains("entry A_FIRST=1\n"), result.out());
    assertTrue(lines.contains("entry Z_LAST=3\n"), result.out());
    String counts = lines.get(lines.size() - 2);
    String[] parts = counts.trim().split(" ");
    assertEquals(parts[0].substring("count=".length()), parts[1].substring("javacount=".length()));
  }

  @Test
  void getenvAnswersTheValueOrTheEmptyString() {
    assertEquals(System.getenv("PATH"), EnvUtilGlue.native_getenv("PATH"));
    assertEquals("", EnvUtilGlue.native_getenv("QOR_SURELY_NOT_SET_ANYWHERE"));
    assertEquals("", EnvUtilGlue.native_getenv(null));
  }

  @Test
  void valuesOfAnyLengthComeBackWhole() {
    String big = "b".repeat(20000);
    // (Compared by length first, so that a failure does not print 20,000 bytes.)
    String getenv = ChildJvm.run(Map.of("BIG", big), "getenv", "BIG").lines().get(0);
    assertEquals(big.length() + 3, getenv.length(), "getenv");
    assertTrue(getenv.equals("[" + big + "]\n"), "getenv");
    List<String> entire = ChildJvm.run(Map.of("BIG", big), "entireenv").lines();
    assertTrue(entire.contains("entry BIG=" + big + "\n"), "entireenv");
  }

  @Test
  void nonAsciiValueReachesJavaUnderUtf8AndCLocales() {
    for (String locale : List.of("C.UTF-8", "C")) {
      ChildJvm.Result result = ChildJvm.run(
          withEAcute("ACCENT"), ChildJvm.CLASS_PATH, Map.of("LC_ALL", locale), "getenv", "ACCENT");
      // Stdout is decoded byte for byte: the UTF-8 form of "café" as seen on the wire.
      assertEquals("[caf\u00c3\u00a9]\n", result.lines().get(0), locale);
    }
  }
}

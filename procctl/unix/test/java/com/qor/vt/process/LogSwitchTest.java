package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;

/** The log switches as a JVM that loads the library reads them from its environment. */
class LogSwitchTest {
  private static final Pattern LINE = Pattern.compile(
      "Time: \\[0x[0-9a-f]+\\], Process: \\[(\\d+)\\], Thread: \\[0x[0-9a-f]+\\]: (.*)",
      Pattern.DOTALL);

  private static Map<String, String> env(String... pairs) {
    Map<String, String> map = new HashMap<>();
    for (int i = 0; i < pairs.length; i += 2) {
      map.put(pairs[i], pairs[i + 1]);
    }
    return map;
  }

  private static final Pattern PID_LAST = Pattern.compile("(.*)pid=(\\d+)\n", Pattern.DOTALL);

  /** The messages of the log lines, checked to carry the child's own pid. */
  private static List<String> messages(ChildJvm.Result result) {
    // The child prints its pid last; a cut log line has no newline of its own.
    Matcher last = PID_LAST.matcher(result.out());
    assertTrue(last.matches(), result.out());
    String pid = last.group(2);
    String logged = last.group(1);
    List<String> lines = logged.isEmpty() ? List.of() : List.of(logged.split("(?<=\n)"));
    return lines.stream()
        .filter(l -> l.startsWith("Time: "))
        .map(l -> {
          Matcher m = LINE.matcher(l);
          assertTrue(m.matches(), l);
          assertEquals(pid, m.group(1), l);
          return m.group(2);
        })
        .toList();
  }

  @Test
  void silentWithoutASwitch() {
    assertEquals(List.of(), messages(ChildJvm.run(env(), "log", "hello")));
    assertEquals(List.of(), messages(ChildJvm.run(env(), "entryexit", "Op()")));
  }

  @Test
  void emptyValueSwitchesTheLogOn() {
    assertEquals(
        List.of("hello\n"), messages(ChildJvm.run(env("__JNI_PROCESS_DEBUG", ""), "log", "hello")));
    assertEquals(List.of("hello\n"), messages(ChildJvm.run(env("$$TRACE", ""), "log", "hello")));
  }

  @Test
  void entryExitAloneWritesNothing() {
    assertEquals(List.of(),
        messages(ChildJvm.run(env("__JNI_PROCESS_ENTRYEXIT", "1"), "entryexit", "Op()")));
    assertEquals(List.of("> entering: [Op()]\n", "< exiting: [Op()]\n"),
        messages(ChildJvm.run(
            env("__JNI_PROCESS_ENTRYEXIT", "1", "$$TRACE", "1"), "entryexit", "Op()")));
  }

  @Test
  void longMessageIsCutTo1947Characters() {
    List<String> got = messages(ChildJvm.run(env("__JNI_PROCESS_DEBUG", "1"), "log-long", "3000"));
    assertEquals(1, got.size());
    assertEquals("x".repeat(1947), got.get(0));
  }

  @Test
  void unconvertibleNameFallsBackToUtf8AndSaysSo() {
    // The variable's name holds the UTF-8 bytes of "Né", set below the JVM by a shell.
    List<String> wrapper =
        List.of("/bin/sh", "-c", "exec env \"$(printf 'N\\303\\251')=found\" \"$@\"", "sh");
    ChildJvm.Result ascii = ChildJvm.run(wrapper, ChildJvm.CLASS_PATH,
        env("LC_ALL", "C", "__JNI_PROCESS_DEBUG", "1"), "getenv-eacute");
    assertEquals(
        List.of("Failed to convert Java String to native codepage.  Will attempt to just use UTF-8"
            + " form: [N\u00c3\u00a9]\n"),
        messages(ascii));
    assertTrue(ascii.out().contains("[found]\n"), ascii.out());

    ChildJvm.Result utf8 = ChildJvm.run(wrapper, ChildJvm.CLASS_PATH,
        env("LC_ALL", "C.UTF-8", "__JNI_PROCESS_DEBUG", "1"), "getenv-eacute");
    assertEquals(List.of(), messages(utf8));
    assertTrue(utf8.out().contains("[found]\n"), utf8.out());
  }
}

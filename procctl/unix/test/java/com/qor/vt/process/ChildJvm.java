package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.testing.Command;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/** Runs {@link ChildMain} in a fresh JVM with a chosen environment and collects what it wrote. */
final class ChildJvm {
  static final String JAVA = System.getProperty("qor.test.java", "java");
  static final String CLASS_PATH = System.getProperty("qor.test.classpath");
  static final String LIB_DIR = System.getProperty("qor.test.libdir");
  static final String BIN_DIR = System.getProperty("qor.test.bindir");

  /**
   * What the child wrote; stdout is decoded byte for byte (ISO-8859-1) so raw bytes stay visible.
   */
  record Result(int exitCode, String out, String err) {
    List<String> lines() {
      return out.isEmpty() ? List.of() : List.of(out.split("(?<=\n)"));
    }
  }

  private ChildJvm() {}

  /**
   * Starts the child with the test's environment, less every log switch and locale variable,
   * plus the given changes (a null value removes the variable).
   */
  static Result run(Map<String, String> changes, String... args) {
    return run(List.of(), CLASS_PATH, changes, args);
  }

  /** As above, started through a wrapper command (for example a shell that sets raw bytes). */
  static Result run(
      List<String> wrapper, String classPath, Map<String, String> changes, String... args) {
    List<String> command = new ArrayList<>(wrapper);
    // No performance-data file: a JVM in a private pid namespace would share
    // /tmp/hsperfdata_<user>/<pid> with any other JVM of the same pid in
    // another namespace, and print a warning into the output under test.
    command.addAll(
        List.of(JAVA, "-XX:-UsePerfData", "-cp", classPath, "-Djava.library.path=" + LIB_DIR,
            "-Dqor.test.bindir=" + BIN_DIR, ChildMain.class.getName()));
    command.addAll(List.of(args));
    Map<String, String> env = new HashMap<>();
    for (String name : System.getenv().keySet()) {
      if (name.startsWith("LC_") || name.equals("LANG") || name.equals("LANGUAGE")) {
        env.put(name, null);
      }
    }
    env.put("__JNI_PROCESS_DEBUG", null);
    env.put("$$TRACE", null);
    env.put("__JNI_PROCESS_ENTRYEXIT", null);
    env.putAll(changes);
    Command.Result ran = Command.run(command, env, 120);
    Result result = new Result(
        ran.exitCode(), ran.out(StandardCharsets.ISO_8859_1), ran.err(StandardCharsets.ISO_8859_1));
    assertTrue(result.exitCode() == 0, () -> "child JVM failed: " + result);
    return result;
  }
}

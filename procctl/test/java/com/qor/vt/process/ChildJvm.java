package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/** Runs {@link ChildMain} in a fresh JVM with a chosen environment and collects what it wrote. */
final class ChildJvm {
  static final String JAVA = System.getProperty("qor.test.java", "java");
  static final String CLASS_PATH = System.getProperty("qor.test.classpath");
  static final String LIB_DIR = System.getProperty("qor.test.libdir");

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
    command.addAll(List.of(
        JAVA, "-cp", classPath, "-Djava.library.path=" + LIB_DIR, ChildMain.class.getName()));
    command.addAll(List.of(args));
    ProcessBuilder builder = new ProcessBuilder(command);
    Map<String, String> env = builder.environment();
    env.keySet().removeIf(k -> k.startsWith("LC_") || k.equals("LANG") || k.equals("LANGUAGE"));
    env.remove("__JNI_PROCESS_DEBUG");
    env.remove("$$TRACE");
    env.remove("__JNI_PROCESS_ENTRYEXIT");
    changes.forEach((k, v) -> {
      if (v == null) {
        env.remove(k);
      } else {
        env.put(k, v);
      }
    });
    try {
      Process process = builder.start();
      process.getOutputStream().close();
      ByteArrayOutputStream err = new ByteArrayOutputStream();
      Thread errReader = new Thread(() -> copy(process.getErrorStream(), err));
      errReader.start();
      ByteArrayOutputStream out = new ByteArrayOutputStream();
      copy(process.getInputStream(), out);
      if (!process.waitFor(120, TimeUnit.SECONDS)) {
        process.destroyForcibly().waitFor();
        fail("child JVM did not end: " + command);
      }
      errReader.join();
      Result result = new Result(process.exitValue(), out.toString(StandardCharsets.ISO_8859_1),
          err.toString(StandardCharsets.ISO_8859_1));
      assertTrue(result.exitCode() == 0, () -> "child JVM failed: " + result);
      return result;
    } catch (IOException | InterruptedException e) {
      throw new AssertionError(e);
    }
  }

  private static void copy(InputStream in, ByteArrayOutputStream out) {
    try (in) {
      in.transferTo(out);
    } catch (IOException e) {
      throw new AssertionError(e);
    }
  }
}

package com.qor.vt.mr.gcsentry;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/** Runs {@link GcSentryChild} in a fresh JVM with chosen options and collects what it wrote. */
final class AgentJvm {
  static final String JAVA = System.getProperty("qor.test.java", "java");
  static final String CLASS_PATH = System.getProperty("qor.test.classpath");
  static final Path LIBRARY = Path.of(System.getProperty("qor.test.libdir"), "libGcSentry.so");

  /** What the child wrote: its key=value facts on stdout, and its stderr. */
  record Result(int exitCode, String out, String err) {
    /** The facts, in order; any other stdout line (a JVM warning, say) fails the test. */
    Map<String, String> facts() {
      Map<String, String> facts = new LinkedHashMap<>();
      for (String line : out.split("\n")) {
        if (line.isEmpty()) {
          continue;
        }
        int eq = line.indexOf('=');
        assertTrue(eq > 0, () -> "unexpected line from the child JVM: " + line + "\n" + this);
        facts.put(line.substring(0, eq), line.substring(eq + 1));
      }
      return facts;
    }
  }

  private AgentJvm() {}

  /** The option that loads the library built here as the agent. */
  static String agent() {
    return "-agentpath:" + LIBRARY;
  }

  /** Starts the child with the given JVM options and program arguments and waits for it. */
  static Result run(List<String> jvmOptions, String... args) {
    List<String> command = new ArrayList<>();
    command.add(JAVA);
    command.add("-XX:-UsePerfData");
    command.addAll(jvmOptions);
    command.addAll(List.of("-cp", CLASS_PATH, GcSentryChild.class.getName()));
    command.addAll(List.of(args));
    try {
      Process process = new ProcessBuilder(command).start();
      process.getOutputStream().close();
      ByteArrayOutputStream err = new ByteArrayOutputStream();
      Thread errReader = new Thread(() -> copy(process.getErrorStream(), err));
      errReader.start();
      ByteArrayOutputStream out = new ByteArrayOutputStream();
      Thread outReader = new Thread(() -> copy(process.getInputStream(), out));
      outReader.start();
      if (!process.waitFor(90, TimeUnit.SECONDS)) {
        process.destroyForcibly().waitFor();
        outReader.join();
        fail("child JVM did not end: " + command + "\n" + out + err);
      }
      outReader.join();
      errReader.join();
      Result result = new Result(process.exitValue(), out.toString(StandardCharsets.UTF_8),
          err.toString(StandardCharsets.UTF_8));
      assertEquals(0, result.exitCode(), () -> "child JVM failed: " + command + "\n" + result);
      return result;
    } catch (IOException | InterruptedException e) {
      throw new AssertionError(e);
    }
  }

  /** No child JVM outlives a test. */
  static void assertNoChildLeft() {
    assertEquals(0, ProcessHandle.current().children().count(), "a child process was left behind");
  }

  private static void copy(InputStream in, ByteArrayOutputStream out) {
    try (in) {
      in.transferTo(out);
    } catch (IOException e) {
      throw new AssertionError(e);
    }
  }
}

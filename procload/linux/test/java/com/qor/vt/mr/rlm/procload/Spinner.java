package com.qor.vt.mr.rlm.procload;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** A procload_spinner child: spinning, idle or churning threads; ends when closed. */
final class Spinner implements AutoCloseable {
  static final Path BIN_DIR = Path.of(System.getProperty("qor.test.libdir"), "..", "bin");

  final Process process;

  Spinner(String... args) {
    List<String> command = new ArrayList<>();
    command.add(BIN_DIR.resolve("procload_spinner").toString());
    command.addAll(List.of(args));
    try {
      process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
      BufferedReader out = new BufferedReader(
          new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
      assertEquals("ready", out.readLine());
    } catch (IOException e) {
      throw new AssertionError(e);
    }
  }

  int pid() {
    return (int) process.pid();
  }

  /** CPU time of the whole process as the JDK reads it, in nanoseconds. */
  long cpuNanos() {
    return process.info().totalCpuDuration().orElse(Duration.ZERO).toNanos();
  }

  @Override
  public void close() {
    try {
      process.getOutputStream().close();
      if (!process.waitFor(10, TimeUnit.SECONDS)) {
        process.destroyForcibly().waitFor();
      }
    } catch (IOException | InterruptedException e) {
      process.destroyForcibly();
      throw new AssertionError(e);
    }
  }
}

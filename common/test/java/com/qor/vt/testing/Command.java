package com.qor.vt.testing;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.Charset;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/** Runs a command to its end for a test and collects what it wrote; kills it when it hangs. */
public final class Command {
  /** The exit code and the raw bytes of both streams. */
  public record Result(int exitCode, byte[] out, byte[] err) {
    public String out(Charset charset) {
      return new String(out, charset);
    }

    public String err(Charset charset) {
      return new String(err, charset);
    }
  }

  private Command() {}

  /**
   * Runs the command with the test's environment changed as given (a null value removes a
   * variable), standard input closed, and at most the given seconds.
   */
  public static Result run(List<String> command, Map<String, String> changes, long seconds) {
    ProcessBuilder builder = new ProcessBuilder(command);
    Map<String, String> env = builder.environment();
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
      ByteArrayOutputStream out = new ByteArrayOutputStream();
      ByteArrayOutputStream err = new ByteArrayOutputStream();
      Thread outReader = new Thread(() -> copy(process.getInputStream(), out));
      Thread errReader = new Thread(() -> copy(process.getErrorStream(), err));
      outReader.start();
      errReader.start();
      if (!process.waitFor(seconds, TimeUnit.SECONDS)) {
        process.destroyForcibly().waitFor();
        outReader.join();
        errReader.join();
        throw new AssertionError(
            "did not end within " + seconds + " s: " + command + "\n" + out + err);
      }
      outReader.join();
      errReader.join();
      return new Result(process.exitValue(), out.toByteArray(), err.toByteArray());
    } catch (IOException e) {
      throw new AssertionError(e);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
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

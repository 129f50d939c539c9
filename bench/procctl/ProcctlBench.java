import com.qor.vt.process.UnixProcessGlue;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

/** Spawn latency and exit-notice latency of UnixProcessGlue against the JDK, in one JVM. */
public final class ProcctlBench {
  private ProcctlBench() {}

  private static long ours(String program) throws Exception {
    long start = System.nanoTime();
    long handle = UnixProcessGlue.create(
        program, new String[0], null, null, 20, null, 0, 022, null, null, 0, null, true, false);
    UnixProcessGlue.waitForTermination(handle);
    UnixProcessGlue.done(handle);
    return System.nanoTime() - start;
  }

  /** A spawn of /bin/true whose environment list holds `entries`, laid over the server's. */
  private static long oursWith(String[] entries) throws Exception {
    long start = System.nanoTime();
    long handle = UnixProcessGlue.create("/bin/true", new String[0], entries, null, 20, null, 0,
        022, null, null, 0, null, true, false);
    UnixProcessGlue.waitForTermination(handle);
    UnixProcessGlue.done(handle);
    return System.nanoTime() - start;
  }

  private static long jdkWith(String[] entries) throws Exception {
    long start = System.nanoTime();
    ProcessBuilder builder = new ProcessBuilder("/bin/true");
    java.util.Map<String, String> environment = builder.environment();
    for (String entry : entries) {
      int equals = entry.indexOf('=');
      environment.put(entry.substring(0, equals), entry.substring(equals + 1));
    }
    builder.start().waitFor();
    return System.nanoTime() - start;
  }

  private static long jdk(String program) throws Exception {
    long start = System.nanoTime();
    new ProcessBuilder(program).start().waitFor();
    return System.nanoTime() - start;
  }

  private static double medianMicros(long[] nanos) {
    long[] sorted = nanos.clone();
    Arrays.sort(sorted);
    return sorted[sorted.length / 2] / 1000.0;
  }

  private static double percentileMicros(long[] nanos, double p) {
    long[] sorted = nanos.clone();
    Arrays.sort(sorted);
    return sorted[(int) Math.min(sorted.length - 1, Math.round(p * (sorted.length - 1)))] / 1000.0;
  }

  public static void main(String[] args) throws Exception {
    String mode = args[0];
    int n = Integer.parseInt(args[1]);
    String heap = (Runtime.getRuntime().maxMemory() >> 20) + " MiB heap";
    switch (mode) {
      case "spawn" -> {
        long[] a = new long[n];
        long[] b = new long[n];
        for (int i = 0; i < 20; i++) {
          ours("/bin/true");
          jdk("/bin/true");
        }
        for (int i = 0; i < n; i++) {
          // Alternate so that neither side gets the quieter moments.
          if (i % 2 == 0) {
            a[i] = ours("/bin/true");
            b[i] = jdk("/bin/true");
          } else {
            b[i] = jdk("/bin/true");
            a[i] = ours("/bin/true");
          }
        }
        double oursMedian = medianMicros(a);
        double jdkMedian = medianMicros(b);
        System.out.printf(
            "RESULT spawn+wait of /bin/true, median of %d (%s) | %.0f µs | ProcessBuilder %.0f µs | %.2f | ≤ 0.60%n",
            n, heap, oursMedian, jdkMedian, oursMedian / jdkMedian);
      }
      case "environment" -> {
        // The request sets 16,000 variables of its own, overrides half of
        // the 1,000 extra ones the server has, and puts a directory in
        // front of PATH: the child gets every entry once.
        int count = Integer.parseInt(args[2]);
        String[] entries = new String[count];
        for (int i = 0; i < count; i++) {
          entries[i] = (i % 32 == 0 ? "SERVER_VARIABLE_" + (i / 32) : "REQUESTED_VARIABLE_" + i) + "=value" + i;
    }
    entries[count - 1] = "PATH=/opt/bench/bin";
    long[] a = new long[n];
    long[] b = new long[n];
    for (int i = 0; i < 5; i++) {
      oursWith(entries);
      jdkWith(entries);
    }
    for (int i = 0; i < n; i++) {
      if (i % 2 == 0) {
        a[i] = oursWith(entries);
        b[i] = jdkWith(entries);
      } else {
        b[i] = jdkWith(entries);
        a[i] = oursWith(entries);
      }
    }
    double oursMedian = medianMicros(a) / 1000.0;
    double jdkMedian = medianMicros(b) / 1000.0;
    System.out.printf(
        "RESULT spawn+wait of /bin/true with %,d requested environment entries over 1,000 more of the server's, "
            + "median of %d | %.1f ms | ProcessBuilder %.1f ms | %.2f | merge < 20 ms%n",
        count, n, oursMedian, jdkMedian, oursMedian / jdkMedian);
  }
      case "spawn-only" -> {
        long[] a = new long[n];
        for (int i = 0; i < 20; i++) {
          ours("/bin/true");
        }
        for (int i = 0; i < n; i++) {
          a[i] = ours("/bin/true");
        }
        System.out.printf("median=%.1f%n", medianMicros(a));
      }
      case "exit" -> {
        String helper = args[2];
        Path dir = Files.createTempDirectory("procctl-bench");
        long[] a = new long[n];
        long[] b = new long[n];
        for (int i = 0; i < n; i++) {
          Path out = dir.resolve("t" + i);
          long handle =
              UnixProcessGlue.create(
                  helper,
                  new String[] {"sleep", "300", "monotonic"},
                  null,
                  null,
                  20,
                  new String[] {null, out.toString(), null},
                  0,
                  022,
                  null,
                  null,
                  0,
                  null,
                  false,
                  true);
          long pid = Long.parseLong(UnixProcessGlue.id(handle));
          // Not a child of this JVM: the JDK has to watch it from outside.
          CompletableFuture<Long> jdkNoticed =
              ProcessHandle.of(pid).orElseThrow().onExit().thenApply(h -> System.nanoTime());
          UnixProcessGlue.waitForTermination(handle);
          long oursNoticed = System.nanoTime();
          long jdkAt = jdkNoticed.get(30, TimeUnit.SECONDS);
          long ended = Long.parseLong(Files.readString(out).trim().substring(2));
          a[i] = oursNoticed - ended;
          b[i] = jdkAt - ended;
          UnixProcessGlue.done(handle);
        }
        double oursMedian = medianMicros(a);
        double jdkMedian = medianMicros(b);
        System.out.printf(
            "RESULT end of a non-child noticed, median of %d (p90 %.0f µs) | %.0f µs | ProcessHandle.onExit %.0f µs | %.4f | ≤ 20 ms%n",
            n, percentileMicros(a, 0.9), oursMedian, jdkMedian, oursMedian / jdkMedian);
      }
      default -> throw new IllegalArgumentException(mode);
    }
  }
}

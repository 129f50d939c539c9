package com.qor.vt.mr.hostscout;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.mr.hostscout.process.ProcessDetectorImpl;
import com.qor.vt.mr.hostscout.unix.UnixHostScout;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Processors, memory and process sizes in this JVM, against what Linux says directly. */
class HostScoutLiveTest {
  /** Processors listed in a sysfs range list such as "0-3,8,10-11". */
  private static int countRanges(String list) {
    int n = 0;
    for (String part : list.trim().split(",")) {
      String[] ends = part.split("-");
      n += ends.length == 1 ? 1 : Integer.parseInt(ends[1]) - Integer.parseInt(ends[0]) + 1;
    }
    return n;
  }

  private static long fieldKb(Path file, String key) throws IOException {
    for (String line : Files.readAllLines(file)) {
      if (line.startsWith(key + ":")) {
        return Long.parseLong(line.replaceAll("[^0-9]", ""));
      }
    }
    throw new AssertionError("no " + key + " in " + file);
  }

  /**
   * A process size as the 32-bit psinfo record carries it: sizes of 4 TB and more (a process under
   * AddressSanitizer maps that much) read as the largest it holds.
   */
  private static long sizeKb(Path status, String key) throws IOException {
    return Math.min(fieldKb(status, key), 0xFFFFFFFFL);
  }

  @Test
  void cpusAreTheOnlineProcessors() throws IOException {
    UnixHostScout scout = new UnixHostScout();
    scout.cpus = -1;
    scout.mhz = -1;
    scout.getCpuInfo();
    int online = countRanges(Files.readString(Path.of("/sys/devices/system/cpu/online")));
    assertEquals(online, scout.cpus);
    // Clock rates move with the load; the mean of what /proc/cpuinfo says is near.
    double sum = 0;
    int n = 0;
    for (String line : Files.readAllLines(Path.of("/proc/cpuinfo"))) {
      if (line.startsWith("cpu MHz")) {
        sum += Math.round(Double.parseDouble(line.substring(line.indexOf(':') + 1).trim()));
        n++;
      }
    }
    if (n == online) {
      double mean = sum / n;
      assertTrue(Math.abs(scout.mhz - mean) <= mean * 0.25 + 1, scout.mhz + " vs " + mean);
    } else {
      assertTrue(scout.mhz >= 0, "mhz " + scout.mhz);
    }
  }

  @Test
  void membytesIsTheMachinesMemory() throws IOException {
    UnixHostScout scout = new UnixHostScout();
    scout.getMemInfo();
    assertEquals(fieldKb(Path.of("/proc/meminfo"), "MemTotal") * 1024, scout.membytes);
  }

  @Test
  void sizesOfThisJvm() throws IOException {
    Path status = Path.of("/proc/self/status");
    long sizeBefore = sizeKb(status, "VmSize");
    long rssBefore = sizeKb(status, "VmRSS");
    ProcessDetectorImpl detector = new ProcessDetectorImpl(0);
    detector._updateProcessStats();
    long sizeAfter = sizeKb(status, "VmSize");
    long rssAfter = sizeKb(status, "VmRSS");
    // A JVM's sizes move a little between two readings.
    long slack = 32 * 1024;
    assertTrue(detector.totalSizeKb >= Math.min(sizeBefore, sizeAfter) - slack
            && detector.totalSizeKb <= Math.max(sizeBefore, sizeAfter) + slack,
        sizeBefore + " / " + detector.totalSizeKb + " / " + sizeAfter);
    assertTrue(detector.residentSizeKb >= Math.min(rssBefore, rssAfter) - slack
            && detector.residentSizeKb <= Math.max(rssBefore, rssAfter) + slack,
        rssBefore + " / " + detector.residentSizeKb + " / " + rssAfter);
    assertTrue(detector.residentSizeKb > 0 && detector.residentSizeKb <= detector.totalSizeKb);
  }

  @Test
  void sizesOfAnotherProcessAndOfOneThatEnded() throws Exception {
    // Without a preloaded sanitizer runtime, whose start-up would move the sizes.
    ProcessBuilder builder = new ProcessBuilder("sleep", "60");
    builder.environment().remove("LD_PRELOAD");
    Process sleeper = builder.start();
    try {
      Path status = Path.of("/proc/" + sleeper.pid() + "/status");
      // Wait for the exec, after which the sizes are those of sleep and keep still.
      long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
      while (!Files.readString(status).contains("Name:\tsleep") && System.nanoTime() < deadline) {
        Thread.sleep(10);
      }
      // The sizes must read the same just before and just after the call.
      ProcessDetectorImpl detector = new ProcessDetectorImpl((int) sleeper.pid());
      long size;
      long rss;
      int tries = 0;
      do {
        size = sizeKb(status, "VmSize");
        rss = sizeKb(status, "VmRSS");
        detector._updateProcessStats();
      } while (
          (size != sizeKb(status, "VmSize") || rss != sizeKb(status, "VmRSS")) && ++tries < 50);
      assertEquals(size, detector.totalSizeKb);
      assertEquals(rss, detector.residentSizeKb);
    } finally {
      sleeper.destroyForcibly();
      assertTrue(sleeper.waitFor(30, TimeUnit.SECONDS));
    }
    ProcessDetectorImpl gone = new ProcessDetectorImpl((int) sleeper.pid());
    gone.residentSizeKb = 5;
    gone.totalSizeKb = 5;
    gone._updateProcessStats();
    assertEquals(0, gone.residentSizeKb);
    assertEquals(0, gone.totalSizeKb);
  }
}

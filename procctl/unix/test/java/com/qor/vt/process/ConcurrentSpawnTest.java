package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.process.exception.CreateProcessTimeoutException;
import java.io.RandomAccessFile;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/** Spawns from many Java threads at once, some of whose children block before their program. */
@ExtendWith(NoChildLeftBehind.class)
class ConcurrentSpawnTest {
  @TempDir Path dir;

  @Test
  void aChildBlockedInItsSetUpHoldsUpNoOtherSpawn() throws Exception {
    // Children whose standard input is a FIFO without a writer block in
    // their set-up; they start while other spawns are under way.
    Path fifo = dir.resolve("fifo");
    assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
    ProcctlProbe.overrideStartTimeout(6);
    List<CompletableFuture<String>> blocked = new ArrayList<>();
    for (int i = 0; i < 12; i++) {
      long delay = 100L * i;
      blocked.add(CompletableFuture.supplyAsync(() -> {
        try {
          Thread.sleep(delay);
          return "exit " + Spawn.helper().files(fifo.toString(), null, null).run();
        } catch (CreateProcessTimeoutException timedOut) {
          return "timed out";
        } catch (Exception e) {
          return e.toString();
        }
      }, r -> new Thread(r).start()));
    }

    // Meanwhile, unrelated spawns from four threads: each runs its program to
    // the end and takes no longer than usual.
    List<CompletableFuture<Long>> unrelated = new ArrayList<>();
    long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(2000);
    for (int t = 0; t < 4; t++) {
      unrelated.add(CompletableFuture.supplyAsync(() -> {
        long slowest = 0;
        try {
          while (System.nanoTime() < end) {
            long start = System.nanoTime();
            assertEquals(3, Spawn.helper("exit", "3").run());
            slowest = Math.max(slowest, System.nanoTime() - start);
          }
        } catch (Exception e) {
          throw new AssertionError(e);
        }
        return slowest;
      }, r -> new Thread(r).start()));
    }
    long slowest = 0;
    for (CompletableFuture<Long> f : unrelated) {
      slowest = Math.max(slowest, f.get(60, TimeUnit.SECONDS));
    }

    // A writer lets the blocked children go on.
    for (int i = 0; i < 200 && !blocked.stream().allMatch(CompletableFuture::isDone); i++) {
      new RandomAccessFile(fifo.toFile(), "rw").close();
      Thread.sleep(20);
    }
    for (CompletableFuture<String> f : blocked) {
      String outcome = f.get(30, TimeUnit.SECONDS);
      assertTrue(outcome.equals("exit 0") || outcome.equals("timed out"), outcome);
    }
    long slowestMillis = TimeUnit.NANOSECONDS.toMillis(slowest);
    assertTrue(slowestMillis < 2000, "slowest unrelated spawn: " + slowestMillis + " ms");
  }
}

package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.qor.vt.process.exception.CreateProcessTimeoutException;
import com.qor.vt.process.exception.ProcessHasExitedException;
import com.qor.vt.process.exception.ProcessOpException;
import com.qor.vt.process.exception.ProcessStillActiveException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;

/** What a handle's record knows of its process: its end, its exit code, and its own validity. */
@ExtendWith(NoChildLeftBehind.class)
class ProcessRecordTest {
  @Test
  void anEndSeenWhilePollingComesWithTheExitCode() throws Exception {
    for (int i = 0; i < 60; i++) {
      long handle = Spawn.helper("exit", "7").create();
      try {
        if (i % 2 == 0) {
          while (UnixProcessGlue.ping(handle)) {
            Thread.onSpinWait();
          }
        } else {
          for (boolean ended = false; !ended;) {
            try {
              UnixProcessGlue.getExitCode(handle);
              ended = true;
            } catch (ProcessStillActiveException running) {
              Thread.onSpinWait();
            }
          }
        }
        assertEquals(7, UnixProcessGlue.getExitCode(handle), "poll " + i);
      } finally {
        UnixProcessGlue.done(handle);
      }
    }
  }

  @Test
  void aWaitWithALimitOfZeroOrBelowLooksOnce() throws Exception {
    for (int seconds : new int[] {0, -5}) {
      long handle = Spawn.helper("exit", "4").create();
      Spawn.awaitZombie(UnixProcessGlue.id(handle));
      UnixProcessGlue.waitForTerminationWithTimeout(handle, seconds);
      assertEquals(4, UnixProcessGlue.getExitCode(handle));
      UnixProcessGlue.done(handle);
    }
  }

  @Test
  void reattachingToAnEndedChildDoesNotReapIt() throws Exception {
    long handle = Spawn.helper("exit", "7").create();
    String pid = UnixProcessGlue.id(handle);
    Spawn.awaitZombie(pid);
    assertThrows(ProcessHasExitedException.class, () -> UnixProcessGlue.recreate(pid));
    UnixProcessGlue.waitForTermination(handle);
    assertEquals(7, UnixProcessGlue.getExitCode(handle));
    UnixProcessGlue.done(handle);
  }

  @Test
  void processesThatAreNotOurChildrenTellTheirExitCodeOnceReaped() throws Exception {
    assumeTrue(ProcctlProbe.exitInfoAvailable(),
        "skipped: this kernel keeps no exit status behind a pidfd (PIDFD_INFO_EXIT, Linux 6.15)");
    Spawn detached = Spawn.helper("-c", "sleep 0.3; exit 7");
    detached.executable = "/bin/sh";
    detached.detached = true;
    long handle = detached.create();
    UnixProcessGlue.waitForTermination(handle);
    Spawn.awaitReaped(UnixProcessGlue.id(handle));
    assertEquals(7, UnixProcessGlue.getExitCode(handle));
    UnixProcessGlue.done(handle);

    // Started by a shell that has ended since: an orphan, reaped by init.
    for (String how : new String[] {"exit", "kill"}) {
      Process shell = new ProcessBuilder("/bin/sh", "-c",
          Spawn.HELPER + (how.equals("exit") ? " sleep 300 exit 5" : " pause")
              + " >/dev/null 2>&1 & echo $!")
                          .start();
      String pid = new String(shell.getInputStream().readAllBytes()).trim();
      assertEquals(0, shell.waitFor());
      long attached = UnixProcessGlue.recreate(pid);
      if (how.equals("kill")) {
        UnixProcessGlue.kill(attached);
      }
      UnixProcessGlue.waitForTermination(attached);
      Spawn.awaitReaped(pid);
      assertEquals(how.equals("exit") ? 5 : 9, UnixProcessGlue.getExitCode(attached), how);
      UnixProcessGlue.done(attached);
    }
  }

  @Test
  void aChildReleasedWhileItRunsIsReapedOnceItHasEnded() throws Exception {
    long handle = Spawn.helper("sleep", "100", "exit", "3").create();
    String pid = UnixProcessGlue.id(handle);
    UnixProcessGlue.done(handle);
    Spawn.awaitZombie(pid);
    // A later release reaps it (this one's child is reaped by its own record).
    assertEquals(4, Spawn.helper("exit", "4").run());
    assertEquals("", Spawn.stat(pid));
  }

  @Test
  void handlesAreCheckedNotTrusted() throws Exception {
    long handle = Spawn.helper("sleep", "300", "exit", "3").create();
    ExecutorService pool = Executors.newSingleThreadExecutor();
    try {
      Future<?> waiter = pool.submit(() -> {
        UnixProcessGlue.waitForTermination(handle);
        return null;
      });
      Thread.sleep(50);
      // The release waits for the wait that is still running on the handle.
      UnixProcessGlue.done(handle);
      waiter.get(30, TimeUnit.SECONDS);
    } finally {
      pool.shutdownNow();
    }
    long self = UnixProcessGlue.createSelf();
    List<Long> invalid = new ArrayList<>(List.of(handle, 1L, -1L, 4096L, Long.MIN_VALUE,
        Long.MAX_VALUE, self + 1, self - 1, 0x7f0000001000L, new Random(7).nextLong()));
    UnixProcessGlue.done(self);
    invalid.add(self);
    for (long h : invalid) {
      String what = "handle " + h;
      assertEquals(ProcessOpException.class,
          assertThrows(ProcessOpException.class, () -> UnixProcessGlue.ping(h), what).getClass());
      assertThrows(ProcessOpException.class, () -> UnixProcessGlue.id(h), what);
      assertThrows(ProcessOpException.class, () -> UnixProcessGlue.getExitCode(h), what);
      assertThrows(ProcessOpException.class, () -> UnixProcessGlue.kill(h), what);
      assertThrows(ProcessOpException.class,
          () -> UnixProcessGlue.waitForTerminationWithTimeout(h, 1), what);
      assertThrows(ProcessOpException.class, () -> UnixProcessGlue.done(h), what);
    }

    // Nor is the number create will hand out (handles follow one another in steps of a fixed
    // odd number) while create still runs: here it waits on a FIFO without a writer.
    long next = self + 0x9E3779B97F4A7C15L;
    Path fifo = Files.createTempDirectory("procctl").resolve("fifo");
    assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
    ProcctlProbe.overrideStartTimeout(1);
    CompletableFuture<Object> blocked = CompletableFuture.supplyAsync(() -> {
      try {
        return Spawn.helper().files(fifo.toString(), null, null).create();
      } catch (ProcessOpException e) {
        return e;
      }
    }, r -> new Thread(r).start());
    try {
      while (!blocked.isDone()) {
        assertThrows(ProcessOpException.class, () -> UnixProcessGlue.done(next));
      }
      assertEquals(CreateProcessTimeoutException.class, blocked.get().getClass());
    } finally {
      ProcctlProbe.overrideStartTimeout(0);
      Files.delete(fifo);
      Files.delete(fifo.getParent());
    }
  }

  /**
   * 24 threads spawn, ping, ask exit codes, wait, stop, kill, re-attach and release, on handles of
   * their own and on handles other threads release meanwhile. Every exit code must be the
   * program's own or that of a signal sent to it.
   */
  @Test
  void aStormOfCallsOnSharedAndSeparateHandles() throws Exception {
    record Shared(long handle, String pid, int code, Set<Integer> signals) {}
    List<Shared> shared = new ArrayList<>();
    for (int i = 0; i < 48; i++) {
      long h = Spawn.helper("sleep", String.valueOf(50 * (i % 12)), "exit", String.valueOf(i + 1))
                   .create();
      shared.add(new Shared(h, UnixProcessGlue.id(h), i + 1, ConcurrentHashMap.newKeySet()));
    }
    long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(2500);
    ExecutorService pool = Executors.newFixedThreadPool(24);
    List<Future<Integer>> workers = new ArrayList<>();
    for (int t = 0; t < 24; t++) {
      int seed = t;
      workers.add(pool.submit(() -> {
        Random random = new Random(seed);
        int rounds = 0;
        do {
          rounds++;
          // A process of this thread's own.
          int code = 1 + random.nextInt(100);
          long own =
              Spawn
                  .helper("sleep", String.valueOf(random.nextInt(20)), "exit", String.valueOf(code))
                  .create();
          Set<Integer> sent = new HashSet<>();
          for (int op = random.nextInt(4); op > 0; op--) {
            switch (random.nextInt(5)) {
              case 0 -> UnixProcessGlue.ping(own);
              case 1 -> {
                try {
                  int seen = UnixProcessGlue.getExitCode(own);
                  assertTrue(seen == code || sent.contains(seen), seen + " for " + code);
                } catch (ProcessStillActiveException running) {
                  // not yet
                }
              }
              case 2 -> {
                try {
                  UnixProcessGlue.waitForTerminationWithTimeout(own, random.nextInt(2));
                } catch (ProcessStillActiveException running) {
                  // not yet
                }
              }
              case 3 -> {
                sent.add(15);
                UnixProcessGlue.stop(own);
              }
              default -> {
                sent.add(9);
                UnixProcessGlue.kill(own);
              }
            }
          }
          UnixProcessGlue.waitForTermination(own);
          int seen = UnixProcessGlue.getExitCode(own);
          assertTrue(seen == code || sent.contains(seen), seen + " for " + code + " " + sent);
          UnixProcessGlue.done(own);

          // A shared process; some of them are released while others use them.
          Shared s = shared.get(random.nextInt(shared.size()));
          try {
            switch (random.nextInt(7)) {
              case 0 -> UnixProcessGlue.ping(s.handle());
              case 1, 2 -> {
                UnixProcessGlue.waitForTerminationWithTimeout(s.handle(), 1 + random.nextInt(2));
                int c = UnixProcessGlue.getExitCode(s.handle());
                assertTrue(c == s.code() || s.signals().contains(c), c + " for " + s);
              }
              case 3 -> {
                int signal = random.nextInt(8) == 0 ? 9 :
                random.nextInt(8) == 0 ? 15 : 0;
                if (signal != 0) {
                  s.signals().add(signal);
                  if (signal == 9) {
                    UnixProcessGlue.kill(s.handle());
                  } else {
                    UnixProcessGlue.stop(s.handle());
                  }
                }
            }
              case 4 -> {
                long attached = UnixProcessGlue.recreate(s.pid());
                try {
                  UnixProcessGlue.ping(attached);
                  UnixProcessGlue.waitForTerminationWithTimeout(attached, 0);
                } catch (ProcessStillActiveException running) {
                  // not yet
                } finally {
                  UnixProcessGlue.done(attached);
                }
              }
              case 5 -> {
                // Released while other threads may still be using it.
                UnixProcessGlue.waitForTermination(s.handle());
                UnixProcessGlue.done(s.handle());
              }
              default -> {
                try {
                  int c = UnixProcessGlue.getExitCode(s.handle());
                  assertTrue(c == s.code() || s.signals().contains(c), c + " for " + s);
                } catch (ProcessStillActiveException running) {
                  // not yet
                }
              }
            }
          } catch (ProcessHasExitedException | ProcessStillActiveException expected) {
            // re-attaching to an ended process; a wait whose limit passed
          } catch (ProcessOpException released) {
            // The handle was released by another thread: nothing else may fail.
            assertEquals(ProcessOpException.class, released.getClass(), released.getMessage());
            assertFalse(released.getMessage().matches(".*\\d{3}: .*"), released.getMessage());
          }
        } while (System.nanoTime() < deadline);
        return rounds;
      }));
    }
    try {
      for (Future<Integer> worker : workers) {
                  worker.get(60, TimeUnit.SECONDS);
                }
          }
          finally {
            pool.shutdownNow();
            // Every shared child is reaped through a handle that is still live.
            for (Shared s : shared) {
              try {
                UnixProcessGlue.waitForTermination(s.handle());
                int c = UnixProcessGlue.getExitCode(s.handle());
                assertTrue(c == s.code() || s.signals().contains(c), c + " for " + s);
                UnixProcessGlue.done(s.handle());
              } catch (ProcessOpException released) {
                assertEquals(ProcessOpException.class, released.getClass(), released.getMessage());
              }
            }
          }
        }
}

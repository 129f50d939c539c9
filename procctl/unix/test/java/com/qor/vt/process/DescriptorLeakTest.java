package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.qor.vt.process.exception.InvalidFileException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Set;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Thousands of spawns leave the server's descriptors and children as they were. */
class DescriptorLeakTest {
  @TempDir Path dir;

  /** The server's open descriptors and what they refer to. */
  private static List<String> openDescriptors() throws Exception {
    try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
      return fds
          .map(fd -> {
            try {
              return fd.getFileName() + " -> " + Files.readSymbolicLink(fd);
            } catch (Exception gone) {
              return null;
            }
          })
          .filter(fd -> fd != null)
          .sorted()
          .toList();
    }
  }

  @Test
  void spawnsLeaveNoDescriptorOrChildBehind() throws Exception {
    Set<Long> children = Spawn.children();
    Path out = dir.resolve("out.log");
    Path in = Files.writeString(dir.resolve("in.txt"), "x");
    List<String> before = null;
    for (int i = -100; i < 2000; i++) {
      if (i == 0) {
        // Counted after a warm-up: class loading and the JVM's own lazily
        // opened descriptors are not ours.
        before = openDescriptors();
      }
      Spawn s = Spawn.helper().files(in.toString(), out.toString(), "!" + out);
      s.detached = i % 10 == 0;
      s.run();
      if (i % 100 == 50) {
        Spawn.helper()
            .files(null, dir.resolve("missing/out.log").toString(), null)
            .fails(InvalidFileException.class,
                "Error creating new process. 002: " + Spawn.strerror(2));
      }
    }
    assertEquals(before, openDescriptors());
    assertEquals(children, Spawn.children());
    assertEquals(List.of(), Spawn.zombieChildren());
  }
}

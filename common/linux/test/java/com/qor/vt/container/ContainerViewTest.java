package com.qor.vt.container;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.qor.vt.testing.Command;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * A real JVM in a v1 control group of half a processor and 512 MiB, two threads spinning: the CPU
 * meter, the host gauge and the node facts agree with the JDK's own container figures. Outside
 * the group, and inside it with the container view switched off, they are the machine's.
 */
class ContainerViewTest {
  private static final long LIMIT = 512L << 20;
  private static final double POINTS = 15.0;

  private final List<Path> groups = new ArrayList<>();

  /** The directory of this process's group in the v1 hierarchy that holds controller. */
  private static Path ownGroup(String controller) throws IOException {
    String path = null;
    for (String line : Files.readAllLines(Path.of("/proc/self/cgroup"))) {
      String[] parts = line.split(":", 3);
      if (parts.length == 3 && List.of(parts[1].split(",")).contains(controller)) {
        path = parts[2];
      }
    }
    for (String line : Files.readAllLines(Path.of("/proc/self/mountinfo"))) {
      String[] halves = line.split(" - ", 2);
      String[] fields = halves[0].split(" ");
      String[] after = halves.length == 2 ? halves[1].split(" ") : new String[0];
      if (path != null && after.length >= 3 && after[0].equals("cgroup")
          && List.of(after[2].split(",")).contains(controller) && fields[3].equals("/")) {
        return Path.of(fields[4] + path);
      }
    }
    return null;
  }

  /**
   * Makes the group in each hierarchy; false (and nothing left behind) where one is not writable.
   */
  private boolean makeGroups() throws IOException {
    String name = "qor-container-test-" + ProcessHandle.current().pid();
    for (String controller : List.of("cpu", "cpuacct", "memory")) {
      Path parent = ownGroup(controller);
      if (parent == null || !Files.isWritable(parent)) {
        return false;
      }
      Path group = parent.resolve(name);
      if (!groups.contains(group)) {
        try {
          Files.createDirectory(group);
        } catch (IOException e) {
          return false;
        }
        groups.add(group);
      }
      if (controller.equals("cpu")) {
        Files.writeString(group.resolve("cpu.cfs_period_us"), "100000");
        Files.writeString(group.resolve("cpu.cfs_quota_us"), "50000");
      } else if (controller.equals("memory")) {
        Files.writeString(group.resolve("memory.limit_in_bytes"), Long.toString(LIMIT));
      }
    }
    return true;
  }

  @AfterEach
  void removeGroups() throws IOException {
    for (Path group : groups) {
      Files.deleteIfExists(group);
    }
  }

  /** The child's figures, run in the groups given (none: where this JVM is). */
  private static Map<String, Double> child(List<Path> in, Map<String, String> env) {
    List<String> jvm = List.of(System.getProperty("qor.test.java"),
        "-Djava.library.path=" + System.getProperty("qor.test.libdir"), "-cp",
        System.getProperty("qor.test.classpath"), ContainerChild.class.getName());
    String script = "for g in " + String.join(" ", in.stream().map(p -> "'" + p + "'").toList())
        + "; do echo $$ > \"$g/cgroup.procs\" || exit 97; done; exec \"$@\"";
    List<String> command =
        new ArrayList<>(List.of("sh", "-c", in.isEmpty() ? "exec \"$@\"" : script, "sh"));
    command.addAll(jvm);
    Command.Result result = Command.run(command, env, 90);
    String out = result.out(StandardCharsets.UTF_8);
    assertEquals(0, result.exitCode(), out + result.err(StandardCharsets.UTF_8));
    Map<String, Double> figures = new HashMap<>();
    for (String line : out.split("\n")) {
      String[] kv = line.split(" ");
      if (kv.length == 2 && kv[0].contains(".")) {
        figures.put(kv[0], Double.parseDouble(kv[1]));
      }
    }
    return figures;
  }

  private static void near(Map<String, Double> f, String jdk, String ours) {
    assertTrue(Math.abs(f.get(jdk) - f.get(ours)) <= POINTS,
        ours + " " + f.get(ours) + " against " + jdk + " " + f.get(jdk) + " in " + f);
  }

  private static long machineMemory() throws IOException {
    for (String line : Files.readAllLines(Path.of("/proc/meminfo"))) {
      if (line.startsWith("MemTotal:")) {
        return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
      }
    }
    throw new AssertionError("no MemTotal");
  }

  @Test
  void insideHalfAProcessorAnd512MiBOurFiguresAreTheJdks() throws IOException {
    assumeTrue(makeGroups(),
        "no writable v1 cpu, cpuacct and memory hierarchies here (root needed):"
            + " the container view is checked by the fixture tests only");
    Map<String, Double> f = child(groups, Map.of());
    assertEquals(1.0, f.get("processors.jdk"), f.toString());
    assertEquals(1.0, f.get("processors.meter"), f.toString());
    assertEquals(1.0, f.get("processors.scout"), f.toString());
    near(f, "cpu.jdk", "cpu.gauge");
    near(f, "cpu.jdk", "busy.meter");
    for (String ours : List.of("process.gauge", "process.meterLast", "process.meterOwn")) {
      near(f, "process.jdk", ours);
    }
    assertEquals((double) LIMIT, f.get("memory.jdk"), f.toString());
    assertEquals((double) LIMIT, f.get("memory.scout"), f.toString());
    assertTrue(f.get("free.gauge") <= LIMIT, f.toString());
    assertTrue(
        Math.abs(f.get("free.gauge") - f.get("free.jdk")) <= LIMIT * POINTS / 100, f.toString());
    assertEquals(50000.0, f.get("raw.quota"), f.toString());
    assertEquals(100000.0, f.get("raw.period"), f.toString());
    assertEquals((double) LIMIT, f.get("raw.limit"), f.toString());
    assertTrue(f.get("raw.usage") > 0 && f.get("raw.workingSet") <= f.get("raw.memoryUsage"),
        f.toString());
  }

  /** Processors online: the cpuN lines of /proc/stat. */
  private static int machineProcessors() throws IOException {
    return (int) Files.readAllLines(Path.of("/proc/stat"))
        .stream()
        .filter(l -> l.matches("cpu\\d+ .*"))
        .count();
  }

  @Test
  void outsideTheGroupOurFiguresAreTheJdksAndSwitchedOffTheMachines() throws IOException {
    Map<String, Double> outside = child(List.of(), Map.of());
    assertEquals(
        outside.get("processors.jdk"), outside.get("processors.meter"), outside.toString());
    assertEquals(
        outside.get("processors.jdk"), outside.get("processors.scout"), outside.toString());
    assertEquals(outside.get("memory.jdk"), outside.get("memory.scout"), outside.toString());

    assumeTrue(
        makeGroups(), "no writable v1 cpu, cpuacct and memory hierarchies here (root needed)");
    Map<String, Double> off = child(groups, Map.of("__JNI_PROCESS_DISABLE_CONTAINER", "1"));
    assertEquals(machineProcessors(), off.get("processors.meter"), off.toString());
    assertEquals(machineProcessors(), off.get("processors.scout"), off.toString());
    assertEquals((double) machineMemory(), off.get("memory.scout"), off.toString());
    for (String raw : List.of("raw.quota", "raw.period", "raw.usage", "raw.limit",
             "raw.memoryUsage", "raw.workingSet")) {
      assertEquals(-1.0, off.get(raw), raw + " in " + off);
    }
  }
}

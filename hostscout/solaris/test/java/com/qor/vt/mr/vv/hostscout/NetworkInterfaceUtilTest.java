package com.qor.vt.mr.vv.hostscout;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.testing.Command;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * MAC addresses read in a real JVM inside a private network namespace, from veth interfaces
 * created there with known addresses. The namespace ends with the JVM.
 */
class NetworkInterfaceUtilTest {
  private static final String JAVA = System.getProperty("qor.test.java", "java");
  private static final String CLASS_PATH = System.getProperty("qor.test.classpath");
  private static final String LIB_DIR = System.getProperty("qor.test.libdir");

  // The interfaces of the namespace: bge0 and qfe1, each one end of a veth pair.
  private static final String SETUP = "ip link add bge0 type veth peer name peer0"
      + " && ip link set bge0 address 00:14:4f:a2:3b:1c"
      + " && ip link add qfe1 type veth peer name peer1"
      + " && ip link set qfe1 address 02:00:5e:10:00:01";

  private record Result(int exitCode, String out, String err) {}

  private static Result run(List<String> command) {
    Command.Result ran = Command.run(command, Map.of(), 60);
    return new Result(
        ran.exitCode(), ran.out(StandardCharsets.UTF_8), ran.err(StandardCharsets.UTF_8));
  }

  @BeforeAll
  static void needsAPrivateNetworkNamespace() throws IOException {
    boolean root = Files.readAllLines(Path.of("/proc/self/status"))
                       .stream()
                       .anyMatch(l -> l.matches("Uid:\\s+0\\s.*"));
    Assumptions.assumeTrue(
        root, "skipped: creating a network namespace with veth interfaces needs root");
    Result probe = run(List.of("unshare", "--net", "sh", "-c", SETUP));
    Assumptions.assumeTrue(probe.exitCode() == 0,
        "skipped: no private network namespace with veth interfaces here: " + probe.err());
  }

  /** Runs MacMain in a fresh namespace holding bge0 and qfe1. */
  private static List<String> inNamespace(String... args) {
    List<String> command =
        new ArrayList<>(List.of("unshare", "--net", "sh", "-c", SETUP + " && exec \"$@\"", "sh",
            JAVA, "-cp", CLASS_PATH, "-Djava.library.path=" + LIB_DIR, MacMain.class.getName()));
    command.addAll(List.of(args));
    Result result = run(command);
    assertEquals(0, result.exitCode(), result.toString());
    return List.of(result.out().split("\n"));
  }

  @Test
  void addressesOfTheNamespacesInterfaces() {
    List<String> lines = inNamespace("/dev/bge", "0", "--", "/dev/qfe", "1", "/dev/bge", "0");
    assertEquals("RESULT [00-14-4F-A2-3B-1C]", lines.get(0));
    assertEquals("RESULT [02-00-5E-10-00-01, 00-14-4F-A2-3B-1C]", lines.get(1));
  }

  @Test
  void missingDevicesAndInterfacesThrowTheOpenError() {
    List<String> lines = inNamespace("/dev/bge", "0", "/dev/nosuch", "0", "--", "/dev/bge", "1",
        "--", "/dev/bge", "-1", "--", "/dev/eth", "0");
    assertEquals(List.of("EXCEPTION dlopen() returned error; rc=128",
                     "EXCEPTION dlopen() returned error; rc=128",
                     "EXCEPTION dlopen() returned error; rc=128",
                     "EXCEPTION dlopen() returned error; rc=128"),
        lines);
  }

  @Test
  void callsFromManyThreadsAtOnceAllGetTheAddresses() {
    List<String> lines = inNamespace("threads", "32", "250", "/dev/bge", "0", "/dev/qfe", "1");
    assertEquals(List.of("CONCURRENT 0 of 8000 calls failed"), lines);
  }

  @Test
  void traceLinesOnlyWhileTracingIsOn() {
    List<String> lines = inNamespace("trace", "/dev/bge", "0", "--", "/dev/qfe", "1");
    assertTrue(lines.contains("NetworkInterfaceUtil getMacAddress macAddr= 00-14-4F-A2-3B-1C"),
        lines.toString());
    assertTrue(lines.contains("dl_bind: bind_ack->dl_addr_length=8"), lines.toString());
    assertTrue(lines.contains("RESULT [02-00-5E-10-00-01]"), lines.toString());
    assertTrue(
        lines.stream().noneMatch(l -> l.contains("02-00-5E-10-00-01") && l.contains("macAddr")),
        "tracing was off for the second call: " + lines);
  }
}

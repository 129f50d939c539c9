package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.qor.vt.process.exception.InvalidFileException;
import com.qor.vt.testing.Command;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Children started as another user or group; these need root and Debian's system accounts. The
 * helper program is copied into the test's own directory first: the build tree may lie where the
 * other user cannot read (a checkout in root's home).
 */
class RootAccountTest {
  @TempDir Path dir;
  private String helper;

  @BeforeEach
  void needsRoot() throws Exception {
    String uid = output("id", "-u");
    assumeTrue(uid.equals("0"),
        "skipped: switching user and group needs root (running as uid " + uid + ")");
    Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxrwxrwx"));
    Path copy = Files.copy(Path.of(Spawn.HELPER), dir.resolve("proc_helper"));
    Files.setPosixFilePermissions(copy, PosixFilePermissions.fromString("rwxr-xr-x"));
    helper = copy.toString();
  }

  private Spawn helper(String... arguments) {
    Spawn s = Spawn.helper(arguments);
    s.executable = helper;
    return s;
  }

  private static String output(String... command) {
    return Command.run(List.of(command), Map.of(), 30).out(StandardCharsets.UTF_8).trim();
  }

  private static int id(String name, String flag) {
    return Integer.parseInt(output("id", flag, name));
  }

  @Test
  void userTakesItsPrimaryGroupAndNoSupplementaryGroups() throws Exception {
    Spawn s = helper("ids");
    s.user = "nobody";
    assertEquals(
        "uid=" + id("nobody", "-u") + " gid=" + id("nobody", "-g") + " groups=0\n", s.output(dir));
  }

  @Test
  void anExplicitGroupWinsOverTheUsersOwn() throws Exception {
    Spawn s = helper("ids");
    s.user = "nobody";
    s.group = "daemon";
    String gid = output("getent", "group", "daemon").split(":")[2];
    assertEquals("uid=" + id("nobody", "-u") + " gid=" + gid + " groups=0\n", s.output(dir));

    Spawn groupOnly = helper("ids");
    groupOnly.group = "nogroup";
    String nogroup = output("getent", "group", "nogroup").split(":")[2];
    assertEquals("uid=0 gid=" + nogroup + " groups=0\n", groupOnly.output(dir));
  }

  @Test
  void signalsTheServerMayNotSendAreRefusedWithTheSystemsReason() throws Exception {
    // A child JVM makes records of root processes of each kind, then runs as nobody.
    String out = ChildJvm
                     .run(Map.of(), "not-permitted", String.valueOf(id("nobody", "-u")),
                         String.valueOf(id("nobody", "-g")))
                     .out();
    try {
      // The message's own text ends in a blank; the number follows after another.
      String denied = "  001: " + Spawn.strerror(1) + "\n";
      for (String kind : new String[] {"attached", "child", "detached"}) {
        assertTrue(
            out.contains(kind + " ping: ProcessOpException: Error pinging process." + denied), out);
        assertTrue(
            out.contains(kind + " stop: ProcessOpException: Error stopping process." + denied),
            out);
        assertTrue(out.contains(
                       kind + " kill: AccessDeniedException: Error terminating process." + denied),
            out);
        assertTrue(
            out.contains(kind + " dump: ProcessOpException: Error causing JVM dump." + denied),
            out);
      }
    } finally {
      String[] pids =
          out.substring(out.indexOf("pids ") + 5, out.indexOf('\n', out.indexOf("pids ")))
              .split(" ");
      for (String pid : pids) {
        ProcessHandle.of(Long.parseLong(pid)).ifPresent(ProcessHandle::destroyForcibly);
      }
    }
  }

  @Test
  void redirectionFilesAreOpenedAsTheNewUser() throws Exception {
    Path privateDir = Files.createDirectory(dir.resolve("private"));
    Files.setPosixFilePermissions(privateDir, PosixFilePermissions.fromString("rwx------"));
    Spawn s = helper().files(null, privateDir.resolve("out.log").toString(), null);
    s.user = "nobody";
    s.fails(InvalidFileException.class, "Error creating new process. 013: " + Spawn.strerror(13));
  }
}

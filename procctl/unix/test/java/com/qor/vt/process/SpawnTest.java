package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.process.exception.InvalidDirectoryException;
import com.qor.vt.process.exception.InvalidExecutableException;
import com.qor.vt.process.exception.InvalidFileException;
import com.qor.vt.process.exception.InvalidGroupException;
import com.qor.vt.process.exception.InvalidUsernameException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Set;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/** Spawning: exit codes, set-up failures, the child's context and its environment. */
@ExtendWith(NoChildLeftBehind.class)
class SpawnTest {
  @TempDir Path dir;
  @Test
  void exitCodesByExitAndBySignal() throws Exception {
    assertEquals(3, Spawn.helper("exit", "3").run());
    assertEquals(0, Spawn.helper().run());
    assertEquals(255, Spawn.helper("exit", "255").run());
    assertEquals(9, Spawn.helper("signal", "9").run());
    assertEquals(15, Spawn.helper("signal", "15").run());

    // Seen by ping instead of a wait.
    long handle = Spawn.helper("exit", "7").create();
    while (UnixProcessGlue.ping(handle)) {
      Thread.sleep(5);
    }
    assertEquals(7, UnixProcessGlue.getExitCode(handle));
    assertFalse(UnixProcessGlue.ping(handle));
    UnixProcessGlue.done(handle);
  }

  @Test
  void setUpFailuresRaiseTheirExceptionWithTheSystemText() throws Exception {
    Spawn nothing = Spawn.helper();
    nothing.executable = null;
    nothing.fails(InvalidExecutableException.class, "Invalid executable.");

    String enoent = " 002: " + Spawn.strerror(2);
    Spawn missing = Spawn.helper();
    missing.executable = dir.resolve("no-such-program").toString();
    missing.fails(InvalidExecutableException.class, "Error creating new process." + enoent);
    missing.executable = "no-such-program-on-the-path";
    missing.fails(InvalidExecutableException.class, "Error creating new process." + enoent);

    Path notExecutable = Files.writeString(dir.resolve("data.txt"), "x");
    Spawn denied = Spawn.helper();
    denied.executable = notExecutable.toString();
    denied.fails(
        InvalidExecutableException.class, "Error creating new process. 013: " + Spawn.strerror(13));

    Spawn noUser = Spawn.helper();
    noUser.user = "no-such-user-here";
    noUser.fails(InvalidUsernameException.class, "Error creating new process.");
    Spawn noGroup = Spawn.helper();
    noGroup.group = "no-such-group-here";
    noGroup.fails(InvalidGroupException.class, "Error creating new process.");

    Spawn.helper()
        .in(dir.resolve("missing"))
        .fails(InvalidDirectoryException.class, "Error creating new process." + enoent);
    Spawn.helper()
        .files(null, dir.resolve("missing/out.log").toString(), null)
        .fails(InvalidFileException.class, "Error creating new process." + enoent);
    Spawn.helper()
        .files(dir.resolve("no-input").toString(), null, null)
        .fails(InvalidFileException.class, "Error creating new process." + enoent);
    Spawn.helper()
        .files(null, null, dir.toString())
        .fails(
            InvalidFileException.class, "Error creating new process. 021: " + Spawn.strerror(21));
    Spawn.helper()
        .in(dir)
        .files(null, "n".repeat(1100), null)
        .fails(
            InvalidFileException.class, "Error creating new process. 036: " + Spawn.strerror(36));
  }

  @Test
  void redirectionTruncatesAppendsAndResolvesAgainstTheDirectory() throws Exception {
    Path log = dir.resolve("out.log");
    Files.writeString(log, "old\n");
    assertEquals(0, Spawn.helper("out", "one").in(dir).files(null, "out.log", null).run());
    assertEquals("old\none\n", Files.readString(log));
    assertEquals(0, Spawn.helper("out", "two").in(dir).files(null, "!out.log", null).run());
    assertEquals("two\n", Files.readString(log));
    Spawn trailing = Spawn.helper("out", "three").files(null, "out.log", null);
    trailing.directory = dir + "/";
    assertEquals(0, trailing.run());
    assertEquals("two\nthree\n", Files.readString(log));

    // Output and error to the same file both append to it.
    Path both = dir.resolve("both.log");
    assertEquals(0,
        Spawn.helper("out", "o", "err", "e").files(null, both.toString(), both.toString()).run());
    assertEquals("o\ne\n", Files.readString(both));

    // A list shorter than three entries: the missing ones are null.
    Path shortList = dir.resolve("short.log");
    assertEquals(0, Spawn.helper("out", "s").files(null, shortList.toString()).run());
    assertEquals("s\n", Files.readString(shortList));
  }

  @Test
  void standardInputIsTheFileTheNullDeviceOrInherited() throws Exception {
    Path input = Files.writeString(dir.resolve("in.txt"), "12345");
    Path out = dir.resolve("stdin.txt");
    assertEquals(0, Spawn.helper("stdin").files(input.toString(), out.toString(), null).run());
    assertEquals("stdin=5\n", Files.readString(out));
    assertEquals(0, Spawn.helper("stdin").files(null, "!" + out, null).run());
    assertEquals("stdin=0\n", Files.readString(out));
    // "!" means nothing for input: the file is read, not emptied.
    assertEquals(0, Spawn.helper("stdin").files("!" + input, "!" + out, null).run());
    assertEquals("stdin=5\n", Files.readString(out));
    assertEquals("12345", Files.readString(input));

    // With the inherit flag the list is ignored, even one that could not be opened.
    Spawn inherit = Spawn.helper("exit", "4").files(null, dir.resolve("none/x").toString(), null);
    inherit.inherit = true;
    assertEquals(4, inherit.run());
  }

  @Test
  void environmentEntriesSetAndPathListsMerge() throws Exception {
    String inheritedPath = System.getenv("PATH");
    String out = Spawn.helper("env", "PATH", "env", "FOO", "env", "LD_LIBRARY_PATH")
                     .env("PATH=/opt/bin", "FOO=1")
                     .output(dir);
    assertTrue(out.contains("PATH=/opt/bin:" + inheritedPath + "\n"), out);
    assertTrue(out.contains("FOO=1\n"), out);

    // The program is found on the merged PATH.
    Spawn bare = Spawn.helper("out", "found").env("PATH=" + Path.of(Spawn.HELPER).getParent());
    bare.executable = "proc_helper";
    assertEquals("found\n", bare.output(dir));
  }

  @Test
  void maskPriorityAndProcessGroupApplyToTheChild() throws Exception {
    for (int mask : new int[] {0, 022}) {
      Path created = dir.resolve("made-" + mask);
      Path redirected = dir.resolve("redirected-" + mask);
      Spawn s = Spawn.helper("touch", created.toString()).files(null, redirected.toString(), null);
      s.umask = mask;
      assertEquals(0, s.run());
      String expected = mask == 0 ? "rw-rw-rw-" : "rw-r--r--";
      assertEquals(expected, PosixFilePermissions.toString(Files.getPosixFilePermissions(created)));
      assertEquals(
          expected, PosixFilePermissions.toString(Files.getPosixFilePermissions(redirected)));
    }

    Spawn lower = Spawn.helper("nice");
    lower.priority = 30;
    assertEquals("nice=10\n", lower.output(dir));
    assertEquals("nice=0\n", Spawn.helper("nice").output(dir));

    String ids = Spawn.helper("pgid").output(dir);
    String[] parts = ids.trim().split(" ");
    assertEquals(parts[0].substring(4), parts[1].substring(5), ids);
  }

  @Test
  void childStartsWithAnEmptyMaskAndDefaultDispositions() throws Exception {
    // SIGTTIN (21) and SIGTTOU (22) stay ignored; nothing else is blocked,
    // ignored or handled, whatever the JVM's threads do.  (An entry without
    // "=" removes the variable: a preloaded sanitizer runtime would install
    // handlers of its own in the helper.)
    assertEquals("blocked:\nignored: 21 22\nhandled:\n",
        Spawn.helper("signals").env("LD_PRELOAD").output(dir));
    assertEquals("fds=3\n", Spawn.helper("fds").output(dir),
        "only the three standard streams reach the child");
  }

  @Test
  void argumentsReachTheProgramAfterItsOwnName() throws Exception {
    String out = Spawn.helper("args", "two words", "").output(dir);
    assertEquals("argv[0]=" + Spawn.HELPER + "\nargv[1]=args\nargv[2]=two words\nargv[3]=\n",
        out.replace(new String(new byte[0], StandardCharsets.UTF_8), ""));
  }
}

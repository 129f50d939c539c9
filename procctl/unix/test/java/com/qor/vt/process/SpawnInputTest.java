package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.process.exception.InvalidDirectoryException;
import com.qor.vt.process.exception.InvalidExecutableException;
import com.qor.vt.process.exception.InvalidFileException;
import com.qor.vt.process.exception.InvalidGroupException;
import com.qor.vt.process.exception.InvalidUsernameException;
import com.qor.vt.process.exception.ProcessOpException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import java.util.function.Consumer;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/**
 * Text given to create reaches the child whole, or the call is refused: never cut, never recoded.
 */
@ExtendWith(NoChildLeftBehind.class)
class SpawnInputTest {
  @TempDir Path dir;

  private record Refusal(
      String what, Consumer<Spawn> set, Class<? extends ProcessOpException> type) {}

  @Test
  void textLongerThanItsBufferIsRefusedNotCut() throws Exception {
    // 3,080 characters: past the 3,072-byte buffers, and each would still
    // name something that exists once cut.
    String longPath = dir + "/"
        + "d/".repeat((3080 - dir.toString().length()) / 2);
    String tooLong = " 036: " + Spawn.strerror(36);
    List<Refusal> refusals = List.of(
        new Refusal("executable", s -> s.executable = longPath, InvalidExecutableException.class),
        new Refusal("directory", s -> s.directory = longPath, InvalidDirectoryException.class),
        new Refusal("user", s -> s.user = "u".repeat(3080), InvalidUsernameException.class),
        new Refusal("group", s -> s.group = "g".repeat(3080), InvalidGroupException.class),
        new Refusal("input",
            s -> s.files = new String[] {longPath, null, null}, InvalidFileException.class),
        new Refusal("output",
            s -> s.files = new String[] {null, "!" + longPath, null}, InvalidFileException.class));
    for (Refusal r : refusals) {
      Spawn s = Spawn.helper();
      r.set.accept(s);
      ProcessOpException thrown = s.fails(r.type, "Error creating new process." + tooLong);
      assertEquals(r.type, thrown.getClass(), r.what);
    }
  }

  @Test
  void textHoldingANulIsRefusedNotCutThere() throws Exception {
    String invalid = "Error creating new process. 022: " + Spawn.strerror(22);
    Spawn program = Spawn.helper();
    program.executable = Spawn.HELPER + "\0.old";
    program.fails(InvalidExecutableException.class, invalid);
    Spawn.helper("exit", "3\0").fails(ProcessOpException.class, invalid);
    Spawn.helper().env("A=1\0B=2").fails(ProcessOpException.class, invalid);
  }

  @Test
  void charactersOutsideTheBmpArriveAsUtf8() throws Exception {
    // A directory and a program named with an emoji, an argument and an
    // environment entry holding one; the child JVM runs under a UTF-8 locale.
    String emoji = "\uD83D\uDE00";
    String utf8 = new String(emoji.getBytes(StandardCharsets.UTF_8), StandardCharsets.ISO_8859_1);
    String script = "exec env \"RAW=$(printf 'a\\360\\237\\230\\200b')\" \"$@\"";
    ChildJvm.Result result =
        ChildJvm.run(List.of("/bin/sh", "-c", script, "sh"), ChildJvm.CLASS_PATH,
            Map.of("LC_ALL", "C.UTF-8"), "spawn-text", Spawn.HELPER, dir.toString());
    String out = Files.readString(dir.resolve("out.txt"), StandardCharsets.ISO_8859_1);
    String programDir = dir + "/d" + utf8;
    assertEquals("argv[0]=" + programDir + "/p" + utf8 + "\nargv[1]=args\nargv[2]=x" + utf8
            + "y\nargv[3]=env\nargv[4]=E\nargv[5]=cwd\nE=" + utf8 + "\ncwd=" + programDir + "\n",
        out);
    // And back: the server's own environment as Java strings.
    assertTrue(result.lines().contains("getenv=[a" + utf8 + "b]\n"), result.out());
    assertTrue(result.lines().contains("entireenv=[RAW=a" + utf8 + "b]\n"), result.out());
    assertTrue(result.lines().contains("exit=0\n"), result.out());
  }
}

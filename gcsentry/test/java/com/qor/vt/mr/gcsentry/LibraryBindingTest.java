package com.qor.vt.mr.gcsentry;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Which library the natives bind to, and what they answer where the agent did not run. */
class LibraryBindingTest {
  @AfterEach
  void noChildLeft() {
    AgentJvm.assertNoChildLeft();
  }

  @Test
  void libraryLoadedOnlyWithSystemLoadAnswersOne() {
    AgentJvm.Result result = AgentJvm.run(List.of(), "load", AgentJvm.LIBRARY.toString());
    Map<String, String> f = result.facts();
    assertAll(()
                  -> assertEquals("1", f.get("init")),
        // Not started: the wait answers -1 at once.
        ()
            -> assertEquals("-1", f.get("wait.value")),
        ()
            -> assertTrue(Long.parseLong(f.get("wait.ms")) < 5_000, f.get("wait.ms")),
        () -> assertEquals("", result.err()));
  }

  @Test
  void theAgentsOwnLibraryLoadedAgainAnswersZero() {
    AgentJvm.Result result =
        AgentJvm.run(List.of(AgentJvm.agent()), "load", AgentJvm.LIBRARY.toString());
    assertEquals("0", result.facts().get("init"));
  }

  @Test
  void aCopyFromAnotherPathAnswersOneBesideTheAgent(@TempDir Path dir) throws IOException {
    Path copy = Files.copy(AgentJvm.LIBRARY, dir.resolve("libGcSentry.so"));
    AgentJvm.Result result = AgentJvm.run(List.of(AgentJvm.agent()), "load", copy.toString());
    Map<String, String> f = result.facts();
    assertAll(
        () -> assertEquals("1", f.get("init")), () -> assertEquals("-1", f.get("wait.value")));
  }
}

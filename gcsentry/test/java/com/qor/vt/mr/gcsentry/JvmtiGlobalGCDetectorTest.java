package com.qor.vt.mr.gcsentry;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The agent in a real JVM started with -agentpath, one JVM per collector. */
class JvmtiGlobalGCDetectorTest {
  @AfterEach
  void noChildLeft() {
    AgentJvm.assertNoChildLeft();
  }

  @ParameterizedTest
  @ValueSource(strings = {"G1", "Parallel", "Serial"})
  void waitersAreReleasedByTheNextCollection(String collector) {
    // -Xcheck:jni reports a JNI misuse on stdout, which the facts reject.
    AgentJvm.Result result = AgentJvm.run(List.of(AgentJvm.agent(), "-XX:+Use" + collector + "GC",
                                              "-Xms64m", "-Xmx64m", "-Xcheck:jni"),
        "collector");
    Map<String, String> f = result.facts();
    assertAll(()
                  -> assertEquals("0", f.get("init")),
        // Released by the next collection, and not before.
        ()
            -> assertEquals("0", f.get("single.quietCollections"), "no collection expected"),
        ()
            -> assertEquals("false", f.get("single.returnedEarly")),
        ()
            -> assertEquals("true", f.get("single.released")),
        ()
            -> assertEquals("true", f.get("single.afterCollection")),
        // HotSpot offers no heap extension functions.
        ()
            -> assertEquals("-1", f.get("single.values")),
        // Two waiters, one collection, the same value.
        ()
            -> assertEquals("0", f.get("pair.quietCollections"), "no collection expected"),
        ()
            -> assertEquals("false", f.get("pair.returnedEarly")),
        ()
            -> assertEquals("true", f.get("pair.released")),
        ()
            -> assertEquals("true", f.get("pair.afterCollection")),
        ()
            -> assertEquals("-1,-1", f.get("pair.values")),
        // Just after a collection: waits for the following one.
        ()
            -> assertEquals("0", f.get("following.quietCollections"), "no collection expected"),
        ()
            -> assertEquals("false", f.get("following.returnedEarly")),
        ()
            -> assertEquals("true", f.get("following.released")),
        ()
            -> assertEquals("true", f.get("following.afterCollection")),
        // An interrupt ends the wait, says so once, and stays set.
        ()
            -> assertEquals("true", f.get("interrupt.released")),
        ()
            -> assertEquals("0", f.get("interrupt.collections")),
        ()
            -> assertEquals("-1", f.get("interrupt.value")),
        ()
            -> assertEquals("true", f.get("interrupt.statusKept")),
        () -> assertEquals("MR: gcsentry: error notifying monitor: 52\n", result.err()));
  }
}

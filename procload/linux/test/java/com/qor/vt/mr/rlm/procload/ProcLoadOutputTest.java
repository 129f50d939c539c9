package com.qor.vt.mr.rlm.procload;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.qor.vt.testing.Command;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/** What the library prints on standard output, seen from a child JVM. */
class ProcLoadOutputTest {
  static final String PREFIX = "ProcLoad Java_com_qor_vt_mr_rlm_procload_ProcLoad_";

  /** The child's standard output, split into sections at its MARK lines. */
  static List<String> run(String mode) {
    List<String> command = List.of(System.getProperty("qor.test.java", "java"), "-cp",
        System.getProperty("qor.test.classpath"),
        "-Djava.library.path=" + System.getProperty("qor.test.libdir"),
        ProcLoadChild.class.getName(), mode);
    Command.Result ran = Command.run(command, Map.of(), 60);
    String text = ran.out(StandardCharsets.ISO_8859_1);
    assertEquals(0, ran.exitCode(), text + ran.err(StandardCharsets.ISO_8859_1));
    List<String> sections = new ArrayList<>(List.of(text.split("MARK [^\n]*\n", -1)));
    return sections;
  }

  @Test
  void loadHookAlwaysPrintsAndTheDebugSwitchGatesTheRest() throws Exception {
    List<String> s = run("debug");
    assertEquals(5, s.size(), s.toString());
    assertTrue(
        s.get(0).matches("(?s).*ProcLoad JNI_OnLoad ENTER \\S+ .+\nProcLoad JNI_OnLoad EXIT\n.*"),
        s.get(0));
    assertEquals(PREFIX + "enableDebugMode ENTER\n" + PREFIX + "enableDebugMode EXIT\n", s.get(1),
        "nothing but the switch's own lines while debug is off");
    String on = s.get(2);
    assertTrue(on.contains(PREFIX + "nativeGetProcessId ENTER\n"), on);
    assertTrue(on.contains(PREFIX + "nativeGetProcessId EXIT - processId= "), on);
    // Labels that differ from the export names.
    assertTrue(on.contains(PREFIX + "getProcLoad__JI ENTER - processID= "), on);
    assertTrue(on.contains(PREFIX + "getProcLoadLast__JI EXIT - procLoad= "), on);
    assertTrue(on.contains(PREFIX + "getProcLoadLast___3J_3I ENTER\n"), on);
    assertTrue(on.contains("ProcLoad getCPU(timeval) EXIT CPU="), on);
    assertTrue(
        on.endsWith(PREFIX + "enableDebugMode ENTER\n" + PREFIX + "enableDebugMode EXIT\n"), on);
    assertEquals("", s.get(3), "debug off again");
  }

  @Test
  void siblingListingPrintsWhateverTheLevelAndRestoresIt() throws Exception {
    List<String> s = run("siblings");
    assertEquals(5, s.size(), s.toString());
    List<String> off = s.get(1).lines().toList();
    assertEquals(1, off.size(), s.get(1));
    assertTrue(off.get(0).matches("processID:\\d+ pid:\\d+  ppid:\\d+ pgrp:\\d+ Sibling Process"),
        off.get(0));
    String on = s.get(2);
    assertTrue(on.contains(PREFIX + "getCPUUtilization__I ENTER - cpu since last call\n"), on);
    assertTrue(on.contains(" Sibling Process\n"), on);
    // While the children are listed no other line is printed.
    int list = on.indexOf("processID:");
    assertTrue(on.substring(0, list).endsWith("ENTER - cpu since last call\n"), on);
    assertTrue(
        s.get(3).contains(PREFIX + "nativeGetProcessId ENTER\n"), "debug is on again: " + s.get(3));
  }
}

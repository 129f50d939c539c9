package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.qor.vt.process.exception.ProcessOpException;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/** The exception class per result code and the exact message text. */
class ExceptionReportTest {
  private static final String PKG = "com.qor.vt.process.exception.";

  private static Throwable raise(int code, String text, int sysErr) {
    byte[] bytes = text == null ? null : text.getBytes(StandardCharsets.UTF_8);
    return assertThrows(Throwable.class, () -> ProcctlProbe.throwException(code, bytes, sysErr));
  }

  @Test
  void eachCodeRaisesItsClass() {
    String[] classes = {
        "ProcessOpException",
        "InvalidPriorityException",
        "InvalidGroupException",
        "InvalidUsernameException",
        "InvalidDirectoryException",
        "InvalidProcessGroupException",
        "InvalidFileException",
        "ProcessHasExitedException",
        "ProcessStillActiveException",
        "WaitForSelfTerminationException",
        "ProcessOpException",
        "InvalidExecutableException",
        "OutOfFileHandlesException",
        "OutOfMemoryException",
        "AccessDeniedException",
        "CreateProcessTimeoutException",
    };
    for (int code = 0; code < classes.length; code++) {
      Throwable t = raise(code, "t", 0);
      assertEquals(PKG + classes[code], t.getClass().getName(), "code " + code);
      assertEquals("t", t.getMessage());
    }
    assertEquals(PKG + "ProcessOpException", raise(99, "t", 0).getClass().getName());
    assertEquals(PKG + "ProcessOpException", raise(-1, "t", 0).getClass().getName());
    // Every class is one of the family callers catch as a whole.
    for (int code = 1; code <= 15; code++) {
      assertEquals(true, raise(code, "t", 0) instanceof ProcessOpException, "code " + code);
    }
  }

  @Test
  void messageCarriesNumberAndSystemText() {
    assertEquals("Error creating new process. 002: " + ProcctlProbe.libcStrerror(2),
        raise(11, "Error creating new process.", 2).getMessage());
    assertEquals("Error pinging process.  010: " + ProcctlProbe.libcStrerror(10),
        raise(10, "Error pinging process. ", 10).getMessage());
    assertEquals("t 145: " + ProcctlProbe.libcStrerror(145), raise(10, "t", 145).getMessage());
    assertEquals("t 1234: Unknown error 1234", raise(10, "t", 1234).getMessage());
    assertEquals(" 013: " + ProcctlProbe.libcStrerror(13), raise(14, null, 13).getMessage());
    assertEquals("", raise(10, null, 0).getMessage());
  }

  @Test
  void longTextsDropTheSystemTextThenTheNumber() {
    String t1018 = "a".repeat(1018);
    String errText = ProcctlProbe.libcStrerror(13);
    String t1019 = "b".repeat(1019);
    String t1020 = "c".repeat(1020);
    // The system text is added while both texts' lengths + 5 stay under 1024; the message
    // itself never grows past 1023 characters.
    String fits = "d".repeat(1024 - 7 - errText.length());
    assertEquals(fits + " 013: " + errText, raise(10, fits, 13).getMessage());
    String cut = raise(10, fits + "d", 13).getMessage();
    assertEquals(1023, cut.length());
    assertEquals(fits + "d 013: " + errText.substring(0, errText.length() - 1), cut);
    assertEquals(fits + "dd 013", raise(10, fits + "dd", 13).getMessage());
    assertEquals(t1018 + " 013", raise(10, t1018, 13).getMessage());
    assertEquals(t1019 + " 013", raise(10, t1019, 13).getMessage());
    assertEquals(t1020, raise(10, t1020, 13).getMessage());
    assertEquals("e".repeat(1023), raise(10, "e".repeat(3000), 0).getMessage());
  }

  @Test
  void missingClassesFallBackToJavaLangException() {
    // A JVM that has the library but not the exception classes.
    String testJarOnly = ChildJvm.CLASS_PATH.split(":")[0];
    ChildJvm.Result result = ChildJvm.run(List.of(), testJarOnly, Map.of(), "throw");
    assertEquals("java.lang.Exception: no class\n", result.lines().get(0));
  }
}

package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import org.junit.jupiter.api.Test;

/** Java strings and arrays as the native side receives them. */
class MarshallingTest {
  private static byte[] utf8(String s) {
    return s.getBytes(StandardCharsets.UTF_8);
  }

  private static String[] strings(byte[][] elements) {
    return Arrays.stream(elements)
        .map(b -> new String(b, StandardCharsets.UTF_8))
        .toArray(String[] ::new);
  }

  @Test
  void stringArrayEndsAtTheFirstNull() {
    assertArrayEquals(
        new String[] {"a"}, strings(ProcctlProbe.strArray(new String[] {"a", null, "c"})));
    assertArrayEquals(new String[] {}, strings(ProcctlProbe.strArray(new String[] {null, "b"})));
    assertArrayEquals(new String[] {}, strings(ProcctlProbe.strArray(new String[0])));
    assertNull(ProcctlProbe.strArray(null));
  }

  @Test
  void stringArrayKeepsEveryElementAndItsBytes() {
    String[] many = new String[5000];
    for (int i = 0; i < many.length; i++) {
      many[i] = "arg" + i;
    }
    assertArrayEquals(many, strings(ProcctlProbe.strArray(many)));
    // Whatever the locale, an accented letter reaches the system (converted or as UTF-8).
    byte[][] got = ProcctlProbe.strArray(new String[] {"", "caf\u00e9"});
    assertEquals(2, got.length);
    assertEquals(0, got[0].length);
    String codeSet = new String(got[1], StandardCharsets.ISO_8859_1);
    assertEquals(true, codeSet.equals("caf\u00c3\u00a9") || codeSet.equals("caf\u00e9"), codeSet);
  }

  @Test
  void byteArraysAreCopiedUpToTheirFirstNul() {
    byte[][] input = {utf8("ab\0cd"), utf8("xyz"), new byte[0]};
    assertArrayEquals(new String[] {"ab", "xyz", ""}, strings(ProcctlProbe.byteArrArray(input)));
    assertArrayEquals(new String[] {"one"},
        strings(ProcctlProbe.byteArrArray(new byte[][] {utf8("one"), null, utf8("three")})));
    assertNull(ProcctlProbe.byteArrArray(null));
  }

  @Test
  void nativeStringsAreBoundedByTheBuffer() {
    assertEquals("", new String(ProcctlProbe.nativeString("hello", 1), StandardCharsets.UTF_8));
    assertEquals("hel", new String(ProcctlProbe.nativeString("hello", 4), StandardCharsets.UTF_8));
    assertEquals(
        "hello", new String(ProcctlProbe.nativeString("hello", 3072), StandardCharsets.UTF_8));
    assertEquals("", new String(ProcctlProbe.nativeString(null, 16), StandardCharsets.UTF_8));
    assertEquals("ab",
        new String(ProcctlProbe.nativeStringFromArray(utf8("ab\0z"), 16), StandardCharsets.UTF_8));
    assertEquals("abc",
        new String(ProcctlProbe.nativeStringFromArray(utf8("abc"), 16), StandardCharsets.UTF_8));
    assertEquals("a",
        new String(ProcctlProbe.nativeStringFromArray(utf8("abc"), 2), StandardCharsets.UTF_8));
  }
}

package com.qor.vt.mr.gcsentry.bench;

/** The benchmark's clock agent: when the last collection ended, and how many have. */
final class GcClock {
  private GcClock() {}

  /** Collections ended so far. */
  static native long finishCount();

  /** When the last collection ended, on the System.nanoTime clock. */
  static native long lastFinishNanos();
}

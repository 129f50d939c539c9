package com.qor.vt.mr.gcsentry;

/**
 * Lets Java threads wait for the end of the next garbage collection, through the GcSentry JVMTI
 * agent.
 *
 * <p>The virtual machine must be started with {@code -agentpath:/path/to/libGcSentry.so}. This
 * class loads no library itself: HotSpot looks a native method up in the libraries of the class's
 * loader first and then in the agent libraries, so the natives bind to the library that was loaded
 * as the agent. A copy of the library loaded from another path with {@code System.load} would
 * take precedence, and since its agent never ran, its {@code init} answers 1.
 */
public final class JvmtiGlobalGCDetector {
  private JvmtiGlobalGCDetector() {}

  /**
   * The outcome of the agent's start-up: 0 when it started, 1 when the library was not loaded as
   * an agent, 2 to 9 the start-up step that failed.
   */
  public static native int init();

  /**
   * Waits for the end of the next collection, one that ends after this call began, and returns the
   * heap in use at that moment in bytes: from the virtual machine's heap extension functions, or on
   * HotSpot the sum of its heap spaces' used counters in its performance data; -1 when there is
   * neither (for instance with {@code -XX:-UsePerfData}). Answers -1 at once when {@link #init} is
   * not 0. An interrupt ends the wait early; the thread's interrupt status is then set again.
   */
  public static native long waitForGCCompletion();
}

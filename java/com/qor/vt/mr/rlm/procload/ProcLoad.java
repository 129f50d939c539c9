package com.qor.vt.mr.rlm.procload;

import com.qor.vt.natives.NativeLoader;

/**
 * CPU meter: CPU clocks and utilisation of processes and threads, the descendants of a process,
 * and the machine's idle share. Inside control groups with limits (a container) the processor
 * count, every percentage and the idle share are of what the limits allow, unless the environment
 * variable __JNI_PROCESS_DISABLE_CONTAINER is set. {@link #initStats} starts the measurement and
 * must run before any sampling call; the sampling calls keep per-process state in the library,
 * shared by all callers, and may come from several threads at once.
 */
public final class ProcLoad {
  static {
    NativeLoader.load("ProcLoad");
  }

  /** Index of the idle share in the dynamic hardware array, and the value that asks for it. */
  public static final int IDLE_PERCENT_INDEX = 17;

  public static final long IDLE_PERCENT_REQUEST = 0x3080;

  /**
   * Indexes of {@link #nativeGetContainerInfo}: the CPU quota and its period (microseconds), the
   * CPU usage (nanoseconds), the memory limit, usage and working set (bytes).
   */
  public static final int CONTAINER_CPU_QUOTA = 0;

  public static final int CONTAINER_CPU_PERIOD = 1;

  public static final int CONTAINER_CPU_USAGE = 2;

  public static final int CONTAINER_MEMORY_LIMIT = 3;

  public static final int CONTAINER_MEMORY_USAGE = 4;

  public static final int CONTAINER_MEMORY_WORKING_SET = 5;

  private ProcLoad() {}

  /** Starts the measurement; the argument is not used on Linux. Answers 0. */
  public static native int initStats(int processId);

  /** Switches the diagnostic lines on standard output on or off. */
  public static native void nativeEnableDebugMode(boolean flag);

  /** The calling thread's handle, as {@link #nativeGetThreadCPUClock} takes it. */
  public static native long nativeGetThreadId();

  public static native int nativeGetProcessId();

  /** Processors this process may use: inside CPU limits, the whole number they allow. */
  public static native int nativeGetProcessorCount(int processId);

  /** CPU time of a thread of this process, in nanoseconds. */
  public static native long nativeGetThreadCPUClock(int processId, long threadId);

  /** CPU time of a process, all its threads included, in nanoseconds. */
  public static native long nativeGetProcLoadClock(int processId);

  /** The direct children of the process and the members of the group it leads. */
  public static native int[] nativeGetProcessId_Descendants(int processId);

  /**
   * Percent of the machine (of a container's allowance) the process used since {@link #initStats}.
   */
  public static native double nativeGetProcLoad(long unused, int processId);

  public static native double[] nativeGetProcLoad(long[] unused, int[] processIds);

  /** Percent of the machine the process used since the previous call for it. */
  public static native double nativeGetProcLoadLast(long unused, int processId);

  /** As above for several processes in one batch, each process counted once. */
  public static native double[] nativeGetProcLoadLast(long[] unused, int[] processIds);

  /** Percent of the machine this process used since {@link #initStats}. */
  public static native double getCPUUtilization();

  /** Percent of the machine this process used since the previous call; -1 lists its children. */
  public static native double getCPUUtilization(int mode);

  public static native long[] nativeGetHardwareInfoStatic();

  public static native long[] nativeGetHardwareInfoDynamic(long[] request);

  /**
   * The raw figures of the control groups this process lives in, six entries by the CONTAINER_
   * indexes above; -1 for each that does not apply (no limit, no such file, the container view
   * switched off, and every entry on Windows).
   */
  public static native long[] nativeGetContainerInfo();
}

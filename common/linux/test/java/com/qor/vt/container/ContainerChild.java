package com.qor.vt.container;

import com.qor.vt.mr.hostscout.unix.UnixHostScout;
import com.qor.vt.mr.rlm.procload.ProcLoad;
import com.qor.vt.rlm.server.system.HostGauge;
import java.lang.management.ManagementFactory;

/**
 * Spins two threads and prints, as "name value" lines, the JDK's figures and ours over the same
 * interval in this JVM: processors, machine (container) CPU, this process's CPU, idle share,
 * memory and free memory.
 */
public final class ContainerChild {
  private static volatile long sink;

  private ContainerChild() {}

  public static void main(String[] args) throws Exception {
    for (int i = 0; i < 2; i++) {
      Thread spinner = new Thread(() -> {
        long x = 0;
        while (true) {
          x += x ^ (x >>> 3) + 1;
          sink = x;
        }
      });
      spinner.setDaemon(true);
      spinner.start();
    }
    var os =
        (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
    HostGauge gauge = new HostGauge();
    byte[] state = new byte[16];
    long[] idleRequest = new long[80];
    idleRequest[ProcLoad.IDLE_PERCENT_INDEX] = ProcLoad.IDLE_PERCENT_REQUEST;
    int pid = ProcLoad.nativeGetProcessId();
    ProcLoad.initStats(pid);
    Thread.sleep(500); // the spinners under way before the interval starts

    os.getCpuLoad();
    os.getProcessCpuLoad();
    gauge.initCpuUtilization(0, state);
    gauge.initProcLoadUtilization();
    ProcLoad.nativeGetProcLoadLast(0, pid);
    ProcLoad.getCPUUtilization(0);
    ProcLoad.nativeGetHardwareInfoDynamic(idleRequest);
    Thread.sleep(3000);
    double jdkCpu = os.getCpuLoad() * 100.0;
    double jdkProcess = os.getProcessCpuLoad() * 100.0;
    int machineCpu = gauge.getCpuUtilization(0, state);
    int serverCpu = gauge.getProcLoadUtilization();
    double meterLast = ProcLoad.nativeGetProcLoadLast(0, pid);
    double meterOwn = ProcLoad.getCPUUtilization(0);
    long idle = ProcLoad.nativeGetHardwareInfoDynamic(idleRequest)[ProcLoad.IDLE_PERCENT_INDEX];

    UnixHostScout scout = new UnixHostScout();
    scout.getCpuInfo();
    scout.getMemInfo();
    System.out.println("processors.jdk " + Runtime.getRuntime().availableProcessors());
    System.out.println("processors.meter " + ProcLoad.nativeGetProcessorCount(pid));
    System.out.println("processors.scout " + scout.cpus);
    System.out.println("cpu.jdk " + jdkCpu);
    System.out.println("cpu.gauge " + machineCpu);
    System.out.println("busy.meter " + (100.0 - idle / 1000.0));
    System.out.println("process.jdk " + jdkProcess);
    System.out.println("process.gauge " + serverCpu);
    System.out.println("process.meterLast " + meterLast);
    System.out.println("process.meterOwn " + meterOwn);
    System.out.println("memory.jdk " + os.getTotalMemorySize());
    System.out.println("memory.scout " + scout.membytes);
    System.out.println("free.jdk " + os.getFreeMemorySize());
    System.out.println("free.gauge " + gauge.getFreeMemory(0, null) * 1024L);
    long[] raw = ProcLoad.nativeGetContainerInfo();
    System.out.println("raw.quota " + raw[ProcLoad.CONTAINER_CPU_QUOTA]);
    System.out.println("raw.period " + raw[ProcLoad.CONTAINER_CPU_PERIOD]);
    System.out.println("raw.usage " + raw[ProcLoad.CONTAINER_CPU_USAGE]);
    System.out.println("raw.limit " + raw[ProcLoad.CONTAINER_MEMORY_LIMIT]);
    System.out.println("raw.memoryUsage " + raw[ProcLoad.CONTAINER_MEMORY_USAGE]);
    System.out.println("raw.workingSet " + raw[ProcLoad.CONTAINER_MEMORY_WORKING_SET]);
  }
}

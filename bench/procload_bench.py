"""Benchmark of the CPU meter against psutil's Process.cpu_percent.

Cost: the time of one since-last-call sample of one process (getProcLoadLast,
the routine behind nativeGetProcLoadLast, called through ctypes, so its call
overhead counts against us) and of one psutil Process.cpu_percent() call, on
the same target process with 10, 200 and 1000 threads, in alternating rounds.

Accuracy: over the same intervals, our figure and psutil's (divided by the
processor count: psutil answers percent of one processor) against the
kernel's process CPU clock of the target, read with clock_gettime on the
target's clock id. Targets: one spinning thread, and a process whose
short-lived threads (each spins a few milliseconds and ends) keep it busy.
For the churning target the figure of the previous method, summing the ticks
of the threads listed at each sample with a snapshot, is shown as well.
"""

import argparse
import ctypes
import glob
import os
import statistics
import subprocess
import sys
import time

import psutil


def process_clock(pid):
    """CPU seconds of the whole process from the kernel's process CPU clock."""
    return time.clock_gettime(((~pid) << 3) | 2)


class Target:
    def __init__(self, spinner, *args):
        self.proc = subprocess.Popen([spinner, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if line.strip() != b"ready":
            raise RuntimeError("target did not start: %r" % line)
        self.pid = self.proc.pid

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Meter:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.getProcLoadLast.argtypes = [ctypes.c_int32, ctypes.POINTER(ctypes.c_int32),
                                             ctypes.POINTER(ctypes.c_double)]
        self.lib.getProcLoadLast.restype = None
        # What the Java side does first: start of measurement and processor count.
        self.lib.Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(None, None, 0)
        self.ids = (ctypes.c_int32 * 1)()
        self.out = (ctypes.c_double * 1)()

    def last(self, pid):
        self.ids[0] = pid
        self.lib.getProcLoadLast(1, self.ids, self.out)
        return self.out[0]


class ThreadSum:
    """The previous method: the ticks of the threads listed now, with a snapshot of last time."""

    def __init__(self, pid):
        self.pid = pid
        self.snapshot = {}
        self.total = 0

    def sample(self):
        now = {}
        for path in glob.glob("/proc/%d/task/*/stat" % self.pid):
            try:
                with open(path, "rb") as f:
                    text = f.read()
            except OSError:
                continue
            fields = text[text.rfind(b")") + 2:].split()
            now[path] = int(fields[11]) + int(fields[12])
        for key, ticks in now.items():
            self.total += ticks - self.snapshot.get(key, 0)
        self.snapshot = now
        return self.total / 100.0


def per_call_micros(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls * 1e6


def cost(meter, spinner, threads, calls, rounds):
    target = Target(spinner, "idle", str(threads))
    try:
        actual = len(os.listdir("/proc/%d/task" % target.pid))
        ps = psutil.Process(target.pid)
        ours_fn = lambda: meter.last(target.pid)
        ps_fn = ps.cpu_percent
        for fn in (ours_fn, ps_fn):
            per_call_micros(fn, max(calls // 10, 10))
        ours, theirs = [], []
        for _ in range(rounds):
            ours.append(per_call_micros(ours_fn, calls))
            theirs.append(per_call_micros(ps_fn, calls))
        print("  %d threads, medians of %d rounds: ours %.1f us, psutil %.1f us" % (threads, rounds, statistics.median(ours), statistics.median(theirs)))
        return actual, min(ours), min(theirs)
    finally:
        target.close()


def accuracy(meter, spinner, args, intervals, seconds, with_thread_sum):
    target = Target(spinner, *args)
    cpus = psutil.cpu_count()
    try:
        time.sleep(0.2)
        ps = psutil.Process(target.pid)
        thread_sum = ThreadSum(target.pid)
        ref_cpu, ref_wall = process_clock(target.pid), time.time()
        meter.last(target.pid)
        ps.cpu_percent()
        old_sum, sum_wall = thread_sum.sample(), time.time()
        errors_ours, errors_ps, errors_sum, refs, ours_all, sums = [], [], [], [], [], []
        for _ in range(intervals):
            time.sleep(seconds)
            cpu, wall = process_clock(target.pid), time.time()
            ours = meter.last(target.pid)
            theirs = ps.cpu_percent() / cpus
            new_sum, new_sum_wall = thread_sum.sample(), time.time()
            reference = (cpu - ref_cpu) / (wall - ref_wall) / cpus * 100.0
            by_threads = (new_sum - old_sum) / (new_sum_wall - sum_wall) / cpus * 100.0
            ref_cpu, ref_wall, old_sum, sum_wall = cpu, wall, new_sum, new_sum_wall
            refs.append(reference)
            ours_all.append(ours)
            sums.append(by_threads)
            errors_ours.append(abs(ours - reference))
            errors_ps.append(abs(theirs - reference))
            errors_sum.append(abs(by_threads - reference))
        print("  target %s: kernel clock %.1f%% of the machine on average; ours %.1f%%, per-thread sum %.1f%%"
              % (" ".join(args), statistics.mean(refs), statistics.mean(ours_all), statistics.mean(sums)))
        return max(errors_ours), max(errors_ps), max(errors_sum), statistics.mean(refs)
    finally:
        target.close()


def ratio(a, b):
    return "%.2f" % (a / b) if b > 0 else "-"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    parser.add_argument("--spinner", required=True)
    parser.add_argument("--quick", action="store_true")
    opts = parser.parse_args()
    meter = Meter(opts.lib)
    calls, rounds = (300, 3) if opts.quick else (500, 11)
    intervals, seconds = (4, 0.5) if opts.quick else (10, 1.0)
    print("machine: %d processors; psutil %s" % (psutil.cpu_count(), psutil.__version__))

    for threads in (10, 200, 1000):
        actual, ours, theirs = cost(meter, opts.spinner, threads, calls, rounds)
        print("  %d threads, best of the rounds: ours %.1f us, psutil %.1f us per sample" % (actual, ours, theirs))
        print("RESULT per-sample cost, %d threads | %.1f us | psutil Process.cpu_percent %.1f us | %s | <= 0.5"
              % (threads, ours, theirs, ratio(ours, theirs)))

    ours, theirs, _, ref = accuracy(meter, opts.spinner, ("spin", "1"), intervals, seconds, False)
    print("RESULT accuracy, one spinning thread (%.0f%% busy), worst of %d x %gs | %.2f pp | psutil %.2f pp | %s | <= 1 pp"
          % (ref, intervals, seconds, ours, theirs, ratio(ours, theirs)))
    ours, theirs, by_threads, ref = accuracy(meter, opts.spinner, ("churn", "10", "2"), intervals, seconds, True)
    print("RESULT accuracy, churning threads (%.0f%% busy), worst of %d x %gs | %.2f pp | psutil %.2f pp | %s | <= 1 pp"
          % (ref, intervals, seconds, ours, theirs, ratio(ours, theirs)))
    print("RESULT accuracy, churning threads, previous per-thread sum | %.2f pp | psutil %.2f pp | %s | (for comparison)"
          % (by_threads, theirs, ratio(by_threads, theirs)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

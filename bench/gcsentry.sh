#!/usr/bin/env bash
# GcSentry: how soon after a collection ends a thread waiting in
# waitForGCCompletion runs again, against a GarbageCollectionNotificationInfo
# JMX listener for the same collections in the same JVM, one JVM per
# stop-the-world collector; and what reading the heap figure costs that
# waiter: the same measurement in JVMs whose performance data is on (the
# agent sums the heap spaces' counters at each collection end) and off
# (-XX:-UsePerfData: no figure, -1), taken in turns off, on, on, off.
# Usage: bench/gcsentry.sh BUILD_DIR [--quick]
set -euo pipefail
build=${1:?usage: bench/gcsentry.sh BUILD_DIR [--quick]}
rounds=100
warmup=20
if [ "${2:-}" = --quick ]; then
  rounds=20
  warmup=5
fi
java=${JAVA_HOME:+$JAVA_HOME/bin/}java
cp="$build/java/gcsentry_bench.jar:$build/java/qor_java.jar"
samples=$(mktemp -d)
trap 'rm -rf "$samples"' EXIT
for collector in G1 Parallel Serial; do
  on=()
  off=()
  for turn in 1-off 2-on 3-on 4-off; do
    case $turn in
      *-on) perfdata=-XX:+UsePerfData; on+=("$samples/$collector-$turn") ;;
      *) perfdata=-XX:-UsePerfData; off+=("$samples/$collector-$turn") ;;
    esac
    # The clock agent comes first, so its stamp precedes GcSentry's notification.
    "$java" "$perfdata" -Xms256m -Xmx256m -Xmn32m "-XX:+Use${collector}GC" \
      "-agentpath:$build/lib/libGcSentryBenchClock.so" "-agentpath:$build/lib/libGcSentry.so" \
      -cp "$cp" com.qor.vt.mr.gcsentry.bench.GcLatencyBench run "$collector" "$rounds" "$warmup" \
      "$samples/$collector-$turn" "${turn#*-}"
  done
  "$java" -XX:-UsePerfData -cp "$cp" com.qor.vt.mr.gcsentry.bench.GcLatencyBench report "$collector" \
    "$(IFS=,; echo "${on[*]}")" "$(IFS=,; echo "${off[*]}")"
done

#!/usr/bin/env bash
# GcSentry: how soon after a collection ends a thread waiting in
# waitForGCCompletion runs again, against a GarbageCollectionNotificationInfo
# JMX listener for the same collections in the same JVM, one JVM per
# stop-the-world collector.
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
for collector in G1 Parallel Serial; do
  # The clock agent comes first, so its stamp precedes GcSentry's notification.
  "$java" -XX:-UsePerfData -Xms256m -Xmx256m -Xmn32m "-XX:+Use${collector}GC" \
    "-agentpath:$build/lib/libGcSentryBenchClock.so" "-agentpath:$build/lib/libGcSentry.so" \
    -cp "$build/java/gcsentry_bench.jar:$build/java/qor_java.jar" \
    com.qor.vt.mr.gcsentry.bench.GcLatencyBench "$collector" "$rounds" "$warmup"
done

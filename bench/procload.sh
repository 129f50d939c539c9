#!/usr/bin/env bash
# CPU meter against psutil's Process.cpu_percent: cost per sample at 10, 200
# and 1000 threads, and accuracy against the kernel's process CPU clock for a
# spinning thread and for threads that churn.
# Usage: bash bench/procload.sh BUILD_DIR [--quick]
set -euo pipefail
build=${1:?build directory}
shift
here=$(cd "$(dirname "$0")" && pwd)
# Debian's interpreter, where python3-psutil is installed.
exec /usr/bin/python3 "$here/procload_bench.py" --lib "$build/lib/libProcLoad.so" \
  --spinner "$build/bin/procload_spinner" "$@"

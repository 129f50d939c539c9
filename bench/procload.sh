#!/usr/bin/env bash
# CPU meter against psutil's Process.cpu_percent: cost per sample at 10, 200
# and 1000 threads, and accuracy against the kernel's process CPU clock for a
# spinning thread and for threads that churn. First the container view: the
# container's CPU sample against one raw read of /proc/PID/stat, and the
# meter's sample with the view and without it, in a v1 group of one
# processor (of the machine's) where this runs as root with writable hierarchies.
# Usage: bash bench/procload.sh BUILD_DIR [--quick]
set -euo pipefail
build=${1:?build directory}
shift
here=$(cd "$(dirname "$0")" && pwd)
rounds=$([ "${1:-}" = --quick ] && echo 3 || echo 11)

# The directory of this shell's group in the v1 hierarchy holding controller.
own_group() {
  local path mount
  path=$(awk -F: -v c="$1" '{ n = split($2, l, ","); for (i = 1; i <= n; i++) if (l[i] == c) print $3 }' /proc/self/cgroup)
  mount=$(awk -v c="$1" '{ for (i = 1; i <= NF; i++) if ($i == "-") break;
    if ($(i + 1) == "cgroup" && $4 == "/") { n = split($(i + 3), o, ","); for (j = 1; j <= n; j++) if (o[j] == c) print $5 } }' \
    /proc/self/mountinfo)
  [ -n "$path" ] && [ -n "$mount" ] && echo "$mount${path%/}"
}
groups=()
cleanup() { for g in "${groups[@]}"; do rmdir "$g" 2>/dev/null || true; done; }
trap cleanup EXIT
where="no limits"
for c in cpu cpuacct; do
  parent=$(own_group "$c") || true
  if [ -n "$parent" ] && [ -w "$parent" ] && mkdir "$parent/qor-bench-$$" 2>/dev/null; then
    groups+=("$parent/qor-bench-$$")
  fi
done
if [ "${#groups[@]}" = 2 ] && echo 100000 >"${groups[0]}/cpu.cfs_quota_us"; then
  where="in a one-processor group"
else
  cleanup
  groups=()
fi
run() {
  sh -c 'for g in "$@"; do echo $$ >"$g/cgroup.procs"; done; exec "$0" '"$rounds" "$build/bin/procload_container_bench" "${groups[@]}"
}
on=$(run)
off=$(__JNI_PROCESS_DISABLE_CONTAINER=1 run)
echo "$on" | grep '^  '
figure() { echo "$1" | awk -v k="$2" '$1 == k { print $2 }'; }
raw=$(figure "$on" raw)
container=$(figure "$on" container_sample)
sample_on=$(figure "$on" sample)
sample_off=$(figure "$off" sample)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "RESULT container CPU sample (limits, processors online, usage counter; files kept open), $where, median of $rounds x 2000 | $container us | one raw read of /proc/PID/stat $raw us | $(ratio "$container" "$raw") | <= 1.2"
echo "RESULT meter's since-last-call sample of itself with the container view, $where | $sample_on us | the same with the view switched off $sample_off us | $(ratio "$sample_on" "$sample_off") | (for comparison; $(ratio "$sample_on" "$raw") of one raw read)"
cleanup
groups=()

# Debian's interpreter, where python3-psutil is installed.
exec /usr/bin/python3 "$here/procload_bench.py" --lib "$build/lib/libProcLoad.so" \
  --spinner "$build/bin/procload_spinner" "$@"

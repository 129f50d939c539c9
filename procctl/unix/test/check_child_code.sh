#!/usr/bin/env bash
# The child side of a spawn runs in the server's memory before its exec, so
# it must never enter the dynamic linker: the library is bound at load time
# (BIND_NOW), and the code in the child's section (procctl_child) calls only
# code in that same section: no PLT entry, no call through the GOT, no
# library routine the compiler put in place of a loop.  Every function that
# the child side's sources define must be in that section.
# Usage: check_child_code.sh <library> <object of a child-side source>...
set -euo pipefail
lib=$1
shift
fail=0

if [ $# -eq 0 ]; then
  echo "no objects of the child side's sources given"
  fail=1
fi
for obj in "$@"; do
  # objdump -t: value, flags (F for a function), section, size, name.  The
  # instrumentation's constructors run at load time, never in a child.
  outside=$(objdump -t "$obj" | awk '/ F / {
    sub(/^.* F /, "")
    n = split($0, w, /[ \t]+/)
    if (w[1] != "procctl_child" && w[n] !~ /^(_sub_I_|_sub_D_|_GLOBAL__sub_|asan\.module_)/) print w[n] " in " w[1]
  }')
  if [ -n "$outside" ]; then
    echo "functions of $obj outside the child's section:"
    echo "$outside"
    fail=1
  fi
done

if ! readelf -d "$lib" | grep -qE '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|\(FLAGS_1\).* NOW'; then
  echo "$lib is not bound at load time (link with -z now)"
  fail=1
fi

read -r start size < <(objdump -h "$lib" | awk '$2 == "procctl_child" { print $4, $3 }')
if [ -z "${start:-}" ]; then
  echo "$lib has no procctl_child section"
  exit 1
fi
start=$((16#$start))
end=$((start + 16#$size))

# Every branch with a target address must land inside the section; a branch
# through memory (a GOT slot) is a call into another object.
bad=$(objdump -d --no-show-raw-insn -j procctl_child "$lib" | awk -v start="$start" -v end="$end" '
  function hex(s,  i, v) {
    v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v
  }
  /^[0-9a-f]+ <.*>:$/ { fn = $2; next }
  {
    line = $0
    sub(/^[ \t]*[0-9a-f]+:[ \t]*/, "", line)
    n = split(line, w, /[ \t]+/)
    op = w[1]
    if (op == "notrack" || op == "bnd") { op = w[2]; target = w[3] } else { target = w[2] }
    if (op !~ /^(call|callq|jmp|jmpq|j[a-z]+|bl|b|b\.[a-z]+|cbz|cbnz|tbz|tbnz)$/) next
    if (line ~ /@plt>/) { print fn ": " line; next }
    if (target ~ /^\*/) {
      if (target ~ /\(/) print fn ": " line
      next
    }
    if (target ~ /^[0-9a-f]+$/) {
      addr = hex(target)
      if (addr < start || addr >= end) print fn ": " line
    }
  }')
if [ -n "$bad" ]; then
  echo "branches out of the child's code in $lib:"
  echo "$bad"
  fail=1
fi
exit $fail

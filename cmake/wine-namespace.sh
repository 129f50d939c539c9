#!/bin/sh
# Runs a Windows test program under wine (wine-run.sh) inside a private Linux
# namespace, for what wine reads from the Linux system and a test must set:
#
#   wine-namespace.sh cpus LOGICAL THREADS MHZ[,MHZ...] -- PROGRAM ARGS...
#     a private mount namespace whose /sys/devices/system/cpu describes
#     LOGICAL online processors, THREADS of them to a core, with these maximum
#     clocks (the list repeats over the processors)
#   wine-namespace.sh net -- PROGRAM ARGS...
#     a private network namespace holding two veth pairs of known addresses;
#     QOR_EXPECTED_MACS lists their addresses in interface order ("-"
#     separated, upper case, loopback left out).  Wine asks its device
#     process for the adapters, so the namespace gets a wine prefix of its own
#     whose processes all start, and end, inside it.
#
# Both need root and a system that grants namespaces; without them the script
# says so and exits with 77 (skipped).
here=$(cd "$(dirname "$0")" && pwd)
mode=$1
shift
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: a private namespace needs root"
  exit 77
fi
case $mode in
cpus) probe="unshare --mount sh -c 'mount --make-rprivate / && mount --bind /tmp /sys/devices/system/cpu'" ;;
net) probe="unshare --net ip link add qorprobe type veth peer name qorprobe1" ;;
*) probe=true ;;
esac
if ! err=$(sh -c "$probe" 2>&1); then
  echo "skipped: no private $mode namespace here: $err"
  exit 77
fi

case $mode in
cpus)
  logical=$1 threads=$2 clocks=$3
  shift 4
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
  last=$((logical - 1))
  for f in online present possible; do echo "0-$last" >"$tree/$f"; done
  i=0
  while [ $i -lt "$logical" ]; do
    core=$((i / threads))
    first=$((core * threads))
    mask=$(((1 << threads) - 1 << first))
    n=$(echo "$clocks" | tr ',' '\n' | wc -l)
    mhz=$(echo "$clocks" | cut -d, -f$((i % n + 1)))
    d=$tree/cpu$i
    mkdir -p "$d/topology" "$d/cpufreq"
    echo 0 >"$d/topology/physical_package_id"
    echo $core >"$d/topology/core_id"
    printf '%x\n' $mask >"$d/topology/thread_siblings"
    if [ "$threads" -gt 1 ]; then
      echo "$first-$((first + threads - 1))" >"$d/topology/thread_siblings_list"
    else
      echo "$first" >"$d/topology/thread_siblings_list"
    fi
    printf '%x\n' $(((1 << logical) - 1)) >"$d/topology/core_siblings"
    echo "0-$last" >"$d/topology/core_siblings_list"
    echo $((mhz * 1000)) >"$d/cpufreq/cpuinfo_max_freq"
    i=$((i + 1))
  done
  unshare --mount sh -c 'mount --make-rprivate / && mount --bind "$0" /sys/devices/system/cpu && exec "$@"' \
    "$tree" "$here/wine-run.sh" "$@"
  ;;
net)
  shift
  prefix=${WINEPREFIX:-${QOR_WINEPREFIX:-${TMPDIR:-/tmp}/qor-wine-$(id -u)}}-netns
  unshare --net sh -c '
    here=$0 prefix=$1
    shift
    ip link add bge0 address 00:14:4f:a2:3b:1c type veth peer name peer0 address 02:00:5e:10:00:02 &&
      ip link add qfe1 address 02:00:5e:10:00:01 type veth peer name peer1 address 02:00:5e:10:00:03 || exit 1
    QOR_EXPECTED_MACS=$(ip -o link | grep -v "link/loopback" | sed -n "s/.* link\/ether \([0-9a-f:]*\) .*/\1/p" |
      tr "a-f:" "A-F-" | paste -sd,)
    export QOR_EXPECTED_MACS
    # A server of the prefix left from an earlier run would answer from its own namespace.
    WINEPREFIX=$prefix "${QOR_WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null
    WINEPREFIX=$prefix "$here/wine-run.sh" "$@"
    rc=$?
    WINEPREFIX=$prefix "${QOR_WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null
    WINEPREFIX=$prefix "${QOR_WINESERVER:-/usr/lib/wine/wineserver}" -w 2>/dev/null
    exit $rc' "$here" "$prefix" "$@"
  ;;
*)
  echo "usage: $0 cpus LOGICAL THREADS MHZ[,MHZ...] -- PROGRAM ARGS... | net -- PROGRAM ARGS..." >&2
  exit 2
  ;;
esac

#!/usr/bin/env bash
# JVMs with only the jar (no java.library.path, no LD_LIBRARY_PATH) run the
# demo's supervise step (node facts, gauge, spawn, CPU sample) from copies every
# user can read (the checkout may not be); each case checks where the libraries came from.
# Usage: loader-test.sh QOR_JAVA_JAR DEMO_JAR AGENT JAR_TOOL [JAVA COMMAND...]
set -euo pipefail
jar=$1 demo=$2 agent=$3 jartool=$4
shift 4
java=("$@")
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
chmod 755 "$T"
mkdir -m 755 "$T/pkg" && cp "$jar" "$demo" "$agent" "$T/pkg/" && chmod 644 "$T"/pkg/*
mkdir -m 700 "$T/home"
(cd "$T" && "$jartool" --extract --file "$jar" natives)
natives=$(echo "$T"/natives/*)
uid=$(id -u)
fail() { echo "FAIL: $name: $*" >&2; exit 1; }
skip() { echo "SKIP: $name: $*"; }

# run USER DIR [VAR=value...]: the demo as USER (root, nobody or a uid), java.io.tmpdir DIR (a
# fresh noexec mount with NOEXEC), user.home $T/home or USERHOME, JVM options JOPTS; output in $T/out$RUN.
run() {
  local user=$1 dir=$2 as=() ns=()
  shift 2
  [ "$user" = nobody ] && user=65534
  [ "$user" != root ] && as=(setpriv --reuid="$user" --regid="$user" --clear-groups)
  [ -n "${NOEXEC:-}" ] && ns=(unshare -m sh -c 'mount -t tmpfs -o noexec,mode=1777 tmpfs "$0" && exec "$@"' "$dir")
  : >"$T/lib${RUN:-}.log" && chmod 666 "$T/lib${RUN:-}.log"
  (cd "$T" && "${ns[@]}" "${as[@]}" env -i PATH=/usr/bin:/bin "$@" "${java[@]}" ${JOPTS:-} -Duser.home="${USERHOME:-$T/home}" \
     -Xlog:library=info:file="$T/lib${RUN:-}.log" -Djava.io.tmpdir="$dir" ${LIBPATH:+-Djava.library.path=$LIBPATH} \
     ${PROP:+-Dqor.natives.dir=$PROP} -agentpath:"$T/pkg/$(basename "$agent")" \
     -cp "${JAR:-$T/pkg/qor_java.jar}:$T/pkg/$(basename "$demo")" Demo /bin/sh -c 'exit 3') >"$T/out${RUN:-}" 2>&1 || true
}
# expect DIR: the demo ended well, the GC natives bound to the agent, and our
# four libraries were loaded from DIR under their hashed names (or HASHED).
expect() {
  grep -q "The command ended with exit code 3" "$T/out${RUN:-}" || { cat "$T/out${RUN:-}"; fail "the demo failed"; }
  grep -q "GC agent: a waiting thread was released" "$T/out${RUN:-}" || fail "the natives did not bind to the agent"
  loaded=$(grep -oE 'Loaded library [^,]*lib(procctl|ProcLoad|HostGauge|HostScout)\.so' "$T/lib${RUN:-}.log" | sed 's/^Loaded library //')
  [ "$(wc -l <<<"$loaded")" = 4 ] || fail "loaded: $loaded"
  local file=${HASHED-'[0-9a-f]{64}-'}
  if grep -vE "^$1/${file}lib" <<<"$loaded"; then fail "not loaded from $1"; fi
  echo "ok: $name"
}

name="root, a fresh java.io.tmpdir"
mkdir -m 1777 "$T/d1"
run root "$T/d1" && expect "$T/d1/qor-natives-$uid"
first=$loaded

name="an installed copy on java.library.path wins"
LIBPATH=$natives run root "$T/d1" && HASHED='' expect "$natives"

name="the directory named by qor.natives.dir, then by QOR_NATIVES_DIR"
PROP=$T/named run root "$T/d1" && expect "$T/named"
run root "$T/d1" QOR_NATIVES_DIR="$T/env-named" && expect "$T/env-named"

name="an XDG_RUNTIME_DIR that names no path in a JVM without a locale is passed over"
run root "$T/d1" XDG_RUNTIME_DIR="$T/répertoire" && expect "$T/d1/qor-natives-$uid"

name="four JVMs at once"
mkdir -m 1777 "$T/d4"
for i in 1 2 3 4; do RUN=$i run root "$T/d4" & done
wait
for i in 1 2 3 4; do RUN=$i expect "$T/d4/qor-natives-$uid"; done
[ "$(ls -A "$T/d4/qor-natives-$uid" | wc -l)" = 4 ] || fail "left: $(ls -A "$T/d4/qor-natives-$uid")"

name="a second version of the jar beside the first"
mkdir -m 755 "$T/v2" && cp -r "$T/natives" "$T/v2/" && cp "$jar" "$T/v2/qor_java.jar"
for f in "$T"/v2/natives/*/*; do printf '\0' >>"$f"; done
(cd "$T/v2" && "$jartool" --update --file qor_java.jar natives && chmod 644 qor_java.jar)
JAR=$T/v2/qor_java.jar run root "$T/d1" && expect "$T/d1/qor-natives-$uid"
[ -z "$(comm -12 <(sort <<<"$first") <(sort <<<"$loaded"))" ] || fail "both versions loaded the same files"
run root "$T/d1" && expect "$T/d1/qor-natives-$uid"
[ "$loaded" = "$first" ] || fail "the first version now loads $loaded"

name="a torn file under the hashed name is written again"
lib=$(grep libprocctl <<<"$first")
head -c 1000 "$natives/libprocctl.so" >"$lib"
run root "$T/d1" && expect "$T/d1/qor-natives-$uid"
cmp -s "$lib" "$natives/libprocctl.so" || fail "$lib was not written again"

name="the temporary file of a JVM killed while writing is removed by the next extraction"
mkdir -m 1777 "$T/dk" && mkdir -m 700 "$T/dk/qor-natives-$uid"
touch -d '-1 hour' "$T/dk/qor-natives-$uid/.libprocctl.so.1.1.part"
run root "$T/dk" && expect "$T/dk/qor-natives-$uid"
[ "$(ls -A "$T/dk/qor-natives-$uid" | wc -l)" = 4 ] || fail "left: $(ls -A "$T/dk/qor-natives-$uid")"

name="a damaged entry in the jar is refused, not written out and loaded"
cp "$jar" "$T/bad.jar" && chmod 644 "$T/bad.jar"
entry=${natives#"$T/"}/libprocctl.so
at=$(($(grep -obUaF "$entry" "$T/bad.jar" | head -1 | cut -d: -f1) + 100000))
printf "\\$(printf %03o $(($(od -An -tu1 -j $at -N1 "$T/bad.jar") ^ 255)))" |
  dd of="$T/bad.jar" bs=1 seek=$at conv=notrunc status=none
mkdir -m 1777 "$T/db"
JAR=$T/bad.jar run root "$T/db"
grep -qF "the jar: $entry: java." "$T/out" || { cat "$T/out"; fail "the damaged entry was not refused"; }
! ls "$T"/db/qor-natives-$uid/*libprocctl.so 2>/dev/null || fail "the damaged entry was written out"
echo "ok: $name"

# Hostile neighbours: a location planted with the very files the loader would
# load is refused, and the user's cache directory is taken instead.
for plant in "a directory of another user" "a symbolic link to a directory of ours" "a directory writable by others" \
  "a directory of ours in another user's"; do
  name="$plant in java.io.tmpdir"
  if [ "$uid" != 0 ] && [[ $plant = *"another user"* ]]; then skip "needs root to plant as another user"; continue; fi
  d=$(mktemp -d "$T/hostile.XXXX") && chmod 1777 "$d"
  case $plant in
    *"user's") mkdir -m 700 "$d/qor-natives-$uid" && cp $first "$d/qor-natives-$uid/" && chown 65534 "$d" && chmod 755 "$d" ;;
    *"another user") mkdir -m 755 "$d/qor-natives-$uid" && cp $first "$d/qor-natives-$uid/" && chown -R 65534 "$d/qor-natives-$uid" ;;
    *"link"*) mkdir -m 700 "$d/ours" && cp $first "$d/ours/" && ln -s "$d/ours" "$d/qor-natives-$uid" ;;
    *) mkdir -m 777 "$d/qor-natives-$uid" && cp $first "$d/qor-natives-$uid/" ;;
  esac
  run root "$d" && expect "$T/home/.cache/qor-natives"
done

name="nobody, with no writable home"
mkdir -m 1777 "$T/dn"
[ "$uid" != 0 ] && skip "needs root to run as nobody" || { USERHOME=/nonexistent run nobody "$T/dn" && expect "$T/dn/qor-natives-65534"; }

name="a uid with no entry in the user database, on a runtime of java.base alone"
mkdir -m 1777 "$T/du"
[ "$uid" != 0 ] && skip "needs root to run as another uid" ||
  { USERHOME=/nonexistent JOPTS=--limit-modules=java.base run 54321 "$T/du" && expect "$T/du/qor-natives-54321"; }

name="java.io.tmpdir mounted noexec"
mkdir -m 1777 "$T/dx"
if ! unshare -m true 2>/dev/null; then
  skip "no private mount namespace here (unshare -m is not permitted)"
else
  NOEXEC=1 run root "$T/dx" && expect "$T/home/.cache/qor-natives"
  name="umask 000: the missing cache directories are made private, not writable by all"
  mkdir -m 700 "$T/home0"
  (umask 000 && USERHOME=$T/home0 NOEXEC=1 run root "$T/dx") && expect "$T/home0/.cache/qor-natives"
  [ "$(stat -c %a "$T/home0/.cache")" = 700 ] || fail "$T/home0/.cache is $(stat -c %a "$T/home0/.cache")"
  name="every location noexec: the error names each one and why"
  NOEXEC=1 run root "$T/dx" XDG_CACHE_HOME="$T/dx/cache"
  for want in "UnsatisfiedLinkError: cannot load the native library" "tried java.library.path: no" \
    "$T/dx/qor-natives-$uid: java.lang.UnsatisfiedLinkError" "failed to map segment" "$T/dx/cache/qor-natives: "; do
    grep -qF "$want" "$T/out" || { cat "$T/out"; fail "no \"$want\""; }
  done
  echo "ok: $name"
fi
name="a class loaded by a second class loader meets the JVM's refusal, not a second copy"
cat >"$T/TwoLoaders.java" <<'EOF'
public class TwoLoaders {
  public static void main(String[] args) throws Exception {
    java.net.URL[] jar = {java.nio.file.Paths.get(args[0]).toUri().toURL()};
    for (int i = 0; i < 2; i++) {
      try {
        Class.forName("com.qor.vt.mr.rlm.procload.ProcLoad", true, new java.net.URLClassLoader(jar, null));
        System.out.println("loaded");
      } catch (UnsatisfiedLinkError refused) {
        System.out.println(refused.getMessage());
      }
    }
  }
}
EOF
"${java[@]}" -Djava.io.tmpdir="$T/d1" -Duser.home="$T/home" "$T/TwoLoaders.java" "$T/pkg/qor_java.jar" >"$T/out" 2>&1 || true
[ "$(grep -c '^loaded$' "$T/out")" = 1 ] && grep -q "qor-natives-$uid/.*already loaded in another classloader" "$T/out" ||
  { cat "$T/out"; fail "not refused"; }
echo "ok: $name"

name="no JVM or child left behind"
! grep -lF "$T/pkg" /proc/[0-9]*/cmdline 2>/dev/null || fail "still running"

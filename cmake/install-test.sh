#!/usr/bin/env bash
# Installs a build into a temporary prefix and packs it, as a packager would,
# and checks what lands where.  On Linux it also runs the main job's
# supervise step against the installed tree alone (library names, no paths
# back into the build tree).
# The jar must carry the build's libraries and name itself in its manifest.
# Usage: install-test.sh BUILD_DIR PLATFORM(linux|win64|win32) JAR_TOOL [JAVA COMMAND...]
set -euo pipefail
build=$1 platform=$2 jartool=$3
shift 3
java=("$@")
[ ${#java[@]} -gt 0 ] || java=(java)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
case $platform in
  linux) expected="bin/webhalt lib/libGcSentry.so lib/libHostGauge.so lib/libHostScout.so lib/libProcLoad.so
                   lib/libprocctl.so share/java/qor_java.jar" natives=natives/linux-x86_64 ;;
  win64) expected="bin/HostGauge.dll bin/NTHostScout.dll bin/ProcLoad.dll bin/procctl.dll bin/process_spawner.exe bin/webhalt.exe share/java/qor_java.jar"
         natives=natives/windows-x86_64 ;;
  win32) expected="bin/GcSentry.dll share/java/qor_java.jar" natives=natives/windows-x86 ;;
  *) fail "unknown platform $platform" ;;
esac
# Every shipped library, and nothing else, in the jar's folder of this platform.
entries=$("$jartool" --list --file "$tmp/prefix/share/java/qor_java.jar" | grep '^natives/.*[^/]$' | sort | tr '\n' ' ')
want_entries=$(for f in $expected; do case $f in *.so | *.dll) echo "$natives/${f##*/}" ;; esac; done | sort | tr '\n' ' ')
[ "$entries" = "$want_entries" ] || fail "natives in the jar: $entries; expected: $want_entries"
(cd "$tmp" && "$jartool" --extract --file prefix/share/java/qor_java.jar META-INF/MANIFEST.MF)
actual=$(cd "$tmp/prefix" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
want=$(tr -s ' \n' '\n' <<<"$expected" | sed '/^$/d' | sort | tr '\n' ' ')
[ "$actual" = "$want" ] || fail "installed files: $actual; expected: $want"

if [ "$platform" = linux ]; then
  for lib in "$tmp"/prefix/lib/*.so; do
    name=$(basename "$lib")
    dyn=$(readelf -d "$lib")
    grep -q "Library soname: \[$name\]" <<<"$dyn" || fail "$name: no SONAME $name"
    if grep -E 'R(UN)?PATH' <<<"$dyn"; then fail "$name keeps a search path"; fi
  done
  # The demo's supervise step with nothing but the installed tree: the
  # command's exit code comes back as the demo's, and the installed libraries
  # win over the jar's copies.
  rc=0
  (cd "$tmp" && "${java[@]}" -agentpath:"$tmp/prefix/lib/libGcSentry.so" -Djava.library.path="$tmp/prefix/lib" \
     -Xlog:library=info:file="$tmp/lib.log" \
     -cp "$tmp/prefix/share/java/qor_java.jar:$build/java/qor_demo.jar" Demo /bin/sh -c 'exit 3') \
    >"$tmp/demo.out" 2>&1 || rc=$?
  [ "$rc" = 3 ] || { cat "$tmp/demo.out"; fail "demo against the installed tree exited $rc, expected 3"; }
  grep -q "The command ended with exit code 3" "$tmp/demo.out" || { cat "$tmp/demo.out"; fail "no end line"; }
  [ "$(grep -c "Loaded library $tmp/prefix/lib/lib" "$tmp/lib.log")" = 4 ] ||
    fail "not every library loaded from the installed tree: $(grep 'Loaded library' "$tmp/lib.log")"
fi

# The packages: a .tar.gz everywhere, a .deb on Linux, holding the same files.
(cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.out" 2>&1) ||
  { cat "$tmp/cpack.out"; fail "cpack failed"; }
tgz=$(ls "$tmp"/pkg/*.tar.gz)
version=$(basename "$tgz" | sed -E 's/^qor-natives-([0-9.]+)-.*/\1/')
for header in "Implementation-Title: qor natives" "Implementation-Version: $version" "Automatic-Module-Name: com.qor.vt.natives"; do
  grep -qxF "$header" <(tr -d '\r' <"$tmp/META-INF/MANIFEST.MF") || fail "no \"$header\" in the jar's manifest"
done
listing=$(tar -tzf "$tgz")
for f in $expected; do
  grep -q "/$f\$" <<<"$listing" || fail "$f missing from $(basename "$tgz")"
done
if [ "$platform" = linux ]; then
  deb=$(ls "$tmp"/pkg/*.deb)
  listing=$(dpkg-deb -c "$deb")
  for f in $expected; do
    grep -q "\./usr/$f\$" <<<"$listing" || fail "$f missing from $(basename "$deb")"
  done
  dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the .deb names no dependency on the C library"
fi
echo "installed and packed: $want"

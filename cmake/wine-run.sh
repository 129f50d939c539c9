#!/bin/sh
# Runs a Windows program under wine64 for CTest: quiet, without any window or
# installer dialog, in a wine prefix of the build's own (created on first use)
# so that nothing depends on the user's home directory.  QOR_WINEDLLOVERRIDES
# adds DLL overrides of a test's own (for stand-ins of system DLLs).
WINE=${QOR_WINE:-/usr/lib/wine/wine64}
if [ -z "$WINEPREFIX" ]; then
  WINEPREFIX=${QOR_WINEPREFIX:-${TMPDIR:-/tmp}/qor-wine-$(id -u)}
fi
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d${QOR_WINEDLLOVERRIDES:+;$QOR_WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
# Wine maps Windows file names to Unix ones through the locale's character
# set; without a locale (plain ASCII) a name with accented or Cyrillic letters cannot
# be created at all.  Windows names are Unicode, so always map through UTF-8.
export LC_ALL=C.UTF-8
exec "$WINE" "$@"

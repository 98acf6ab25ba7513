#!/bin/sh
# Prepares wine for the Windows tests: the Korean locale, the prefix of the build tree and its
# wineserver. Runs as the first CTest test; CTest passes WINEPREFIX, LOCPATH and WINESERVER.
#   wine_prefix.sh WINEBOOT WINE LOCALEDEF
set -eu
wineboot=$1 wine=$2 localedef=$3
if [ ! -f "$LOCPATH/ko_KR.UTF-8/LC_CTYPE" ]; then
  mkdir -p "$LOCPATH"
  # localedef reports warnings about the locale's sources with status 1 and still writes it.
  "$localedef" -i ko_KR -f UTF-8 "$LOCPATH/ko_KR.UTF-8" >/dev/null 2>&1 || true
  [ -f "$LOCPATH/ko_KR.UTF-8/LC_CTYPE" ] || { echo "wine_prefix: cannot compile ko_KR.UTF-8" >&2; exit 1; }
fi
mkdir -p "$WINEPREFIX"
# A server started here with its output on /dev/null: one that a test program started would keep
# CTest's pipe of that test open. It ends by itself a minute after the last wine program. One that
# still runs from an earlier run of the tests refuses to start a second and is used as it is.
"$WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true
"$wineboot" </dev/null >/dev/null 2>&1
# No display: the null graphics driver (windows exist, nothing is drawn; messages still flow).
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
echo "wine_prefix: $WINEPREFIX ready"

#!/bin/sh
# Cross-builds zembra for Windows with mingw-w64 and runs every test under
# Wine. Skipped, with a note, where the cross compiler or Wine is missing.
set -eu
cd "$(dirname "$0")/.."

compiler=x86_64-w64-mingw32-g++-posix
wine=/usr/lib/wine/wine64
# The server itself: the wineserver wrapper script forces -p0 (no persistence).
wineserver=/usr/lib/wine/wineserver64
missing=""
command -v "$compiler" >/dev/null 2>&1 || missing="$missing $compiler"
[ -x "$wine" ] || missing="$missing $wine"
[ -x "$wineserver" ] || missing="$missing $wineserver"
if [ -n "$missing" ]; then
    echo "Windows suite skipped: missing$missing"
    exit 0
fi

cmake --preset windows
cmake --build --preset windows

# Every Wine process start costs seconds unless a wineserver is already
# running for the prefix; keep one up for the whole run, and stop it (and the
# Wine system processes it keeps) however the run ends.
prefix="$PWD/build/windows/wineprefix"
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
stop_wineserver() {
    "$wineserver" -k 2>/dev/null || true
}
trap stop_wineserver EXIT
trap 'exit 130' INT TERM
mkdir -p "$prefix"
"$wineserver" -p
# The first start fills the prefix and starts Wine's system processes. They
# inherit this process's output and live as long as the server: give them a
# file, or ctest's pipes to the tests would never reach end of file.
build/windows/wine-run.sh cmd /c exit >build/windows/wine-start.log 2>&1
ctest --preset windows

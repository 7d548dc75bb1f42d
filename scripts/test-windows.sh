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

# An interrupt at each step of a rewrite: writing the new log beside the log,
# syncing it, and after the replace. Before the replace the log stays as it
# was and the side file goes; after it the new log is in place and the old
# one is the backup. Wine turns a SIGINT into the Ctrl-C event; Windows ends
# such a program with STATUS_CONTROL_C_EXIT, of which the low byte (58)
# arrives here.
windows_name() {
    printf 'Z:%s' "$1" | tr / '\\'
}
check_interrupt() {
    step=$1 log=$2 backup=$3
    dir=$(mktemp -d)
    printf old >"$dir/a.log"
    GUARD_TEST_DIRECTORY=$(windows_name "$dir") GUARD_TEST_STEP=$step ZEMBRA_WINE_EXEC=1 \
        build/windows/wine-run.sh build/windows/tests/platform_win32_test.exe \
        --gtest_filter='InterruptGuardChild.*' >"$dir/out" 2>&1 &
    child=$!
    waited=0
    while [ ! -e "$dir/ready" ] && [ $waited -lt 300 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    kill -INT $child
    status=0
    wait $child || status=$?
    found="$status $(cat "$dir/a.log" 2>/dev/null) $(cat "$dir/a.bak" 2>/dev/null || echo -)"
    found="$found $(ls "$dir" | grep -c '\$\$\$' || true)"
    rm -rf "$dir"
    if [ "$found" != "58 $log $backup 0" ]; then
        echo "Interrupt at step $step: got '$found', expected '58 $log $backup 0'"
        return 1
    fi
}
check_interrupt 1 old -
check_interrupt 2 old -
check_interrupt 3 new old
echo "Interrupt checks: 3 passed, 0 failed"

#!/bin/sh
# Builds and runs every test: the normal build, then the sanitizer build, then
# the Windows build under Wine (skipped where mingw-w64 or Wine is missing).
set -eu
cd "$(dirname "$0")/.."
# The test suite's own check of this command sets ZEMBRA_QUICKSTART_SMOKE=1:
# then only the normal build and its command-line tests, so that the suite
# does not run itself again.
if [ "${ZEMBRA_QUICKSTART_SMOKE:-}" = 1 ]; then
    cmake --preset default
    cmake --build --preset default --target zembra command_line_test
    exec ctest --preset default -R CommandLine
fi
for preset in default sanitize; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
scripts/test-windows.sh

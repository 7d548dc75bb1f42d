#!/bin/sh
# Builds and runs every test: the normal build, then the sanitizer build, then
# the Windows build under Wine (skipped where mingw-w64 or Wine is missing).
set -eu
cd "$(dirname "$0")/.."
for preset in default sanitize; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
scripts/test-windows.sh

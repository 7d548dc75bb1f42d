#!/bin/sh
# Builds and runs every test: the normal build, the sanitizer build, GCC
# Release and Clang Debug builds (their test presets leave out the fuzz and
# Quick start tests, which build their own copies and would only repeat
# themselves; Clang Debug is skipped where clang++ is missing), a build
# without GoogleTest, then the Windows build under Wine (skipped where
# mingw-w64 or Wine is missing).
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
for preset in default sanitize gcc-release clang-debug; do
    if [ "$preset" = clang-debug ] && ! command -v clang++ >/dev/null 2>&1; then
        echo "== clang-debug skipped: clang++ is not installed"
        continue
    fi
    start=$(date +%s)
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
    echo "== $preset: configured, built and tested in $(($(date +%s) - start)) s"
done

# Without GoogleTest the tests are left out and zembra still builds and installs.
rm -rf build/no-gtest
cmake -S . -B build/no-gtest -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
cmake --build build/no-gtest -j 2
cmake --install build/no-gtest --prefix build/no-gtest/prefix
[ -x build/no-gtest/prefix/bin/zembra ]
[ ! -e build/no-gtest/tests ]
echo "== no-gtest: zembra built and installed without GoogleTest"

scripts/test-windows.sh

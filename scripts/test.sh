#!/bin/sh
# Builds zembra and runs its tests.
#   scripts/test.sh        the default build (RelWithDebInfo) and all its
#                          tests: a few minutes on two cores
#   scripts/test.sh --all  the full matrix, as CI runs it: the default build,
#                          the sanitizer build, GCC Release and Clang Debug
#                          (their test presets leave out the fuzz and Quick
#                          start tests, which build their own copies; Clang
#                          Debug is skipped where clang++ is missing), a build
#                          without GoogleTest, the Debian package of the
#                          package preset, then the Windows build under
#                          Wine (skipped where mingw-w64 or Wine is missing)
set -eu
cd "$(dirname "$0")/.."
# The test suite's own check of the README's Quick start sets
# ZEMBRA_QUICKSTART_SMOKE=1: then only the normal build and its command-line
# tests, so that the suite does not run itself again.
if [ "${ZEMBRA_QUICKSTART_SMOKE:-}" = 1 ]; then
    cmake --preset default
    cmake --build --preset default --target zembra command_line_test
    exec ctest --preset default -R CommandLine
fi

all=no
case "${1:-}" in
"") ;;
--all) all=yes ;;
*)
    echo "usage: scripts/test.sh [--all]" >&2
    exit 1
    ;;
esac

run_preset() {
    start=$(date +%s)
    cmake --preset "$1"
    cmake --build --preset "$1"
    ctest --preset "$1"
    echo "== $1: configured, built and tested in $(($(date +%s) - start)) s"
}

if [ "$all" = no ]; then
    run_preset default
    exit 0
fi

for preset in default sanitize gcc-release clang-debug; do
    if [ "$preset" = clang-debug ] && ! command -v clang++ >/dev/null 2>&1; then
        echo "== clang-debug skipped: clang++ is not installed"
        continue
    fi
    run_preset "$preset"
done

# Without GoogleTest the tests are left out and zembra still builds and installs.
rm -rf build/no-gtest
cmake -S . -B build/no-gtest -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
cmake --build build/no-gtest -j 2
cmake --install build/no-gtest --prefix build/no-gtest/prefix
[ -x build/no-gtest/prefix/bin/zembra ]
[ ! -e build/no-gtest/tests ]
echo "== no-gtest: zembra built and installed without GoogleTest"

# The README's package commands: the product alone, then the Debian package.
start=$(date +%s)
cmake --preset package
cmake --build --preset package
cpack --preset package
if command -v lintian >/dev/null 2>&1; then
    allow_root=""
    [ "$(id -u)" != 0 ] || allow_root=--allow-root
    lintian --pedantic -I $allow_root --fail-on error,warning,info,pedantic build/package/zembra_*.deb
fi
echo "== package: built, packed and checked in $(($(date +%s) - start)) s"

scripts/test-windows.sh

#!/bin/sh
# Builds with gcc --coverage, runs every test but the fuzz targets, and reports
# line and branch coverage of src/: all of it, then the platform-free part
# (without src/platform/*_win32.cpp, which does not build natively).
# Branches that only the compiler made (exception paths of inlined library
# code, unreachable ones) are left out of the count.
set -eu
cd "$(dirname "$0")/.."

if ! command -v gcovr >/dev/null 2>&1; then
    echo "coverage.sh: gcovr is missing (apt-get install -y gcovr)" >&2
    exit 2
fi

cmake --preset coverage
cmake --build --preset coverage
# Counts from an earlier run would add up with this one.
find build/coverage -name '*.gcda' -delete
ctest --preset coverage

# The compiler probes of CMake leave coverage notes of their own.
run_gcovr() {
    gcovr --root . --object-directory build/coverage --filter 'src/' \
        --exclude-directories 'build/coverage/CMakeFiles/[0-9]' \
        --exclude-throw-branches --exclude-unreachable-branches "$@"
}

report() {
    title=$1
    shift
    echo
    echo "== $title: lines"
    run_gcovr "$@" --sort-uncovered
    echo
    echo "== $title: branches"
    run_gcovr "$@" --sort-uncovered --branches
}

report "src/ (all built here)"
report "platform-free src/" --exclude 'src/platform/.*_win32\.cpp'
echo
echo "== platform-free src/: summary"
# gcovr checks an output file by creating and then deleting it, so never
# give it a device: the table goes to a file in the build tree.
run_gcovr --exclude 'src/platform/.*_win32\.cpp' --print-summary \
    --output build/coverage/platform-free.txt

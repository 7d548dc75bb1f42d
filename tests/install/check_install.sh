#!/bin/sh
# `cmake --install` into a scratch prefix gives a zembra that sorts the
# example logs (stripped, in a Release build) and a manual page that man
# renders without warnings.
# Usage: check_install.sh CMAKE BUILD_DIR SOURCE_DIR
set -eu
cmake=$1 build=$2 source=$3
. "$source/tests/install/common.sh"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zembra-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

"$cmake" --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$scratch/install.log")"
program=$scratch/prefix/bin/zembra
page=$scratch/prefix/share/man/man1/zembra.1
[ -x "$program" ] || fail "bin/zembra missing or not executable"
cmp -s "$page" "$source/doc/zembra.1" || fail "share/man/man1/zembra.1 missing or not doc/zembra.1"
check_sorts_examples "$program" "$source" "$scratch/work"

# A Release build installs a stripped zembra: no symbol table, no debug sections.
case "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" in
Release | MinSizeRel)
    if command -v readelf >/dev/null 2>&1; then
        ! readelf -S "$program" | grep -q "\.symtab\|\.debug_" ||
            fail "the installed zembra of a Release build is not stripped"
    fi
    ;;
esac

if command -v man >/dev/null 2>&1; then
    MANWIDTH=80 man --warnings -l "$page" >"$scratch/page.txt" 2>"$scratch/warnings.txt" ||
        fail "man -l failed: $(cat "$scratch/warnings.txt")"
    [ ! -s "$scratch/warnings.txt" ] || fail "man warnings: $(cat "$scratch/warnings.txt")"
    grep -q "EXIT STATUS" "$scratch/page.txt" || fail "rendered page lacks EXIT STATUS"
else
    echo "man is not installed: the rendering check was skipped"
fi
# mandoc's checker reads the pages as a parser would (the .TH date, say),
# the Windows zip's manual source too.
if command -v mandoc >/dev/null 2>&1; then
    for file in "$page" "$source/doc/zembra-windows.1"; do
        mandoc -Tlint -W warning "$file" >"$scratch/lint.txt" 2>&1 ||
            fail "mandoc -Tlint $file: $(cat "$scratch/lint.txt")"
    done
fi
echo "installed zembra and its manual page work"

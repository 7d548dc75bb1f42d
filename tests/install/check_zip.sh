#!/bin/sh
# The Windows release zip made by cpack holds, under one folder, a stripped
# zembra.exe, a README.txt for Windows users with CR LF line ends, the
# Windows manual as HTML with its Japanese messages intact, neither with
# POSIX-only advice, the licence and the examples.
# Usage: check_zip.sh CPACK CMAKE OBJDUMP BUILD_DIR SOURCE_DIR; exit status 77 = skipped.
set -eu
cpack=$1 cmake=$2 objdump=$3 build=$4 source=$5
. "$source/tests/install/common.sh"
if [ ! -f "$build/package/zembra.html" ]; then
    echo "zembra.html was not built (mandoc missing?): the release zip check was skipped"
    exit 77
fi
make_package "$cpack" "$build" 'zembra-*-win64.zip'
zip=$package folder=$(basename "$package" .zip)
mkdir "$scratch/root"
(cd "$scratch/root" && "$cmake" -E tar xf "$zip") || fail "cannot unpack $zip"
root=$scratch/root/$folder
for file in zembra.exe README.txt zembra.html LICENSE.txt examples/pcvan.log examples/nifty.log; do
    [ -f "$root/$file" ] || fail "$folder/$file missing from the zip: $(cd "$scratch/root" && find . -type f)"
done

"$objdump" -h "$root/zembra.exe" >"$scratch/sections.txt" || fail "objdump -h zembra.exe failed"
! grep -q "\.debug_\|\.stab" "$scratch/sections.txt" || fail "zembra.exe is not stripped: $(cat "$scratch/sections.txt")"

# Every line of the text files ends in CR LF, and README.txt speaks of cmd.exe.
for file in README.txt LICENSE.txt; do
    lines=$(wc -l <"$root/$file")
    crlf=$(LC_ALL=C grep -c "$(printf '\r')\$" "$root/$file" || true)
    [ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || fail "$file: $crlf of $lines lines end in CR LF"
done
for text in "ren FORUM.BAK FORUM.LOG" "zembra.exe /N" "/B" "Shift_JIS" "chcp 932"; do
    grep -qF -- "$text" "$root/README.txt" || fail "README.txt lacks '$text'"
done
! grep -q "apt-get\|man -l" "$root/README.txt" || fail "README.txt speaks of Linux commands"
cmp -s "$root/LICENSE.txt" "$source/LICENSE" && fail "LICENSE.txt kept LF line ends"
tr -d '\r' <"$root/LICENSE.txt" | cmp -s - "$source/LICENSE" || fail "LICENSE.txt is not LICENSE"

# The page's \[uXXXX] characters must reach the HTML as character references
# under a UTF-8 declaration (both Japanese messages among them).
html=$root/zembra.html
grep -q '<meta charset="utf-8"' "$html" || fail "zembra.html declares no UTF-8 charset"
grep -q "id=\"EXIT_STATUS\"" "$html" || fail "zembra.html lacks the EXIT STATUS section"
grep '^\.B "Error! \\\[u' "$source/doc/zembra-windows.1" | sed 's/^\.B "Error! //; s/"$//' >"$scratch/messages.txt"
[ "$(wc -l <"$scratch/messages.txt")" -eq 2 ] || fail "expected two Japanese messages in doc/zembra-windows.1"
while read -r message; do
    expected=$(printf '%s\n' "$message" | sed 's/\\\[u\([0-9A-F]*\)\]/\&#x\1;/g')
    grep -qF -- "$expected" "$html" || fail "zembra.html lacks the message $expected"
done <"$scratch/messages.txt"
# Both documents are for cmd.exe and Explorer users: no advice that only a
# POSIX system can follow.
for file in README.txt zembra.html; do
    ! grep -n "iconv\|mv \|SIG[A-Z]\|PATH_MAX\|the shell\|man -l\|apt-get\|macOS" "$root/$file" ||
        fail "$file gives POSIX-only advice (lines above)"
done
for text in "copy /Y FORUM.BAK FORUM.LOG" "ren FORUM.BAK FORUM.LOG" "zembra /P *.LOG" "chcp 932"; do
    grep -qF -- "$text" "$html" || fail "zembra.html lacks '$text'"
done
echo "the release zip $(basename "$zip") is complete"

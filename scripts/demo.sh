#!/bin/sh
# Builds zembra and sorts copies of the example logs in build/demo, showing
# the message headers before and after. The shipped examples stay untouched.
set -eu
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target zembra >/dev/null
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
cp examples/pcvan.log examples/nifty.log "$demo/"
cd "$demo"

headers() {
    # The message numbers of line 1 of every header, in file order.
    grep -aoE "$1" "$2" | tr -d '#' | cut -d/ -f1 | sed 's/^0*//' | tr '\n' ' '
    echo
}

echo "== PC-VAN: message numbers in pcvan.log as downloaded"
headers '^#[0-9]+/' pcvan.log
../default/zembra -P pcvan.log
echo "== PC-VAN: message numbers in pcvan.log after sorting (the old content is PCVAN.BAK)"
headers '^#[0-9]+/' pcvan.log
echo
echo "== NIFTY SERVE: message numbers in nifty.log as downloaded"
headers '^[0-9]{5}/' nifty.log
../default/zembra -N nifty.log
echo "== NIFTY SERVE: message numbers in nifty.log after sorting, and its head"
headers '^[0-9]{5}/' nifty.log
head -n 4 nifty.log | iconv -f SHIFT_JIS -t UTF-8 2>/dev/null || head -n 4 nifty.log
echo
echo "Files in $demo: $(ls | tr '\n' ' ')"

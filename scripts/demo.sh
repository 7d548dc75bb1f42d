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

# The sorted log keeps the name as given where the system allows it;
# otherwise it is the upper-cased name.
sorted_name() {
    upper=$(echo "$1" | tr a-z A-Z)
    if [ -f "$upper" ]; then echo "$upper"; else echo "$1"; fi
}

echo "== PC-VAN: message numbers in pcvan.log as downloaded"
headers '^#[0-9]+/' pcvan.log
../default/zembra -P pcvan.log
sorted=$(sorted_name pcvan.log)
echo "== PC-VAN: message numbers in $sorted after sorting (the old content is PCVAN.BAK)"
headers '^#[0-9]+/' "$sorted"
echo
echo "== NIFTY SERVE: message numbers in nifty.log as downloaded"
headers '^[0-9]{5}/' nifty.log
../default/zembra -N nifty.log
sorted=$(sorted_name nifty.log)
echo "== NIFTY SERVE: message numbers in $sorted after sorting (the old content is NIFTY.BAK), and its head"
headers '^[0-9]{5}/' "$sorted"
head -n 4 "$sorted" | iconv -f SHIFT_JIS -t UTF-8 2>/dev/null || head -n 4 "$sorted"
echo
echo "Files in $demo: $(ls | tr '\n' ' ')"

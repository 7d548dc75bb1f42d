#!/bin/sh
# The README's Quick start, followed as a newcomer would: in a fresh copy of
# the tree (the files git tracks or would track, so uncommitted work counts),
# run its first command and check the demo's sorted logs, then run its second
# command. The second command is scripts/test.sh, which runs this very test:
# ZEMBRA_QUICKSTART_SMOKE=1 makes it build the normal build and run its
# command-line tests only, so it is proven to work without recursing.
# Usage: check_quickstart.sh SOURCE_DIR; exit status 77 = skipped.
set -eu
source=$1
. "$source/tests/install/common.sh"
if ! command -v git >/dev/null 2>&1 || ! git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
    echo "not a git work tree, or git missing: the Quick start check was skipped"
    exit 77
fi

# The commands of the fenced block under "## Quick start", comments dropped.
commands=$(awk '/^## / { in_section = ($0 == "## Quick start") }
    in_section && /^```/ { in_block = !in_block; next }
    in_section && in_block { sub(/#.*/, ""); gsub(/^[ \t]+|[ \t]+$/, ""); if ($0 != "") print }' \
    "$source/README.md")
expected='scripts/demo.sh
scripts/test.sh'
[ "$commands" = "$expected" ] || fail "README's Quick start commands are '$commands', expected '$expected'"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zembra-quickstart.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
tree=$scratch/zembra
mkdir "$tree"
# Files deleted but not yet committed are passed over.
git -C "$source" ls-files -z -co --exclude-standard |
    tar -C "$source" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$tree" -xf -
[ -f "$tree/README.md" ] || fail "copying the tree failed"

for command in scripts/demo.sh scripts/test.sh; do
    [ -x "$tree/$command" ] || fail "$command is missing or not executable"
done

echo "== scripts/demo.sh"
(cd "$tree" && scripts/demo.sh) >"$scratch/demo.txt" 2>&1 || fail "scripts/demo.sh: $(cat "$scratch/demo.txt")"
cat "$scratch/demo.txt"
demo=$tree/build/demo
for dialect in pcvan nifty; do
    upper=$(echo "$dialect" | tr a-z A-Z)
    cmp -s "$tree/examples/$dialect.log" "$source/examples/$dialect.log" ||
        fail "the demo changed examples/$dialect.log"
    cmp -s "$demo/$upper.BAK" "$source/examples/$dialect.log" || fail "$upper.BAK is not the example"
    sorted=$(sorted_log "$demo" "$dialect.log")
    check_sorted_log "$dialect" "$source/examples/$dialect.log" "$sorted"
    # What the demo shows after sorting is the sorted log's order.
    shown=$(grep -A1 "in $(basename "$sorted") after sorting" "$scratch/demo.txt" | sed -n 2p)
    [ "$shown" = "$(message_numbers "$dialect" "$sorted")" ] ||
        fail "the demo shows '$shown' for $sorted"
done

echo "== ZEMBRA_QUICKSTART_SMOKE=1 scripts/test.sh"
(cd "$tree" && ZEMBRA_QUICKSTART_SMOKE=1 scripts/test.sh) >"$scratch/test.txt" 2>&1 ||
    fail "scripts/test.sh: $(cat "$scratch/test.txt")"
tail -n 4 "$scratch/test.txt"
grep -q "100% tests passed, 0 tests failed out of [1-9]" "$scratch/test.txt" ||
    fail "scripts/test.sh ran no test: $(cat "$scratch/test.txt")"
echo "the Quick start works"

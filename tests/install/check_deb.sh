#!/bin/sh
# The Debian package made by cpack holds bin/zembra and the gzipped manual
# page with the expected control fields, and the zembra unpacked from it (into
# a scratch folder: nothing is installed on this machine) sorts the examples.
# Usage: check_deb.sh CPACK BUILD_DIR SOURCE_DIR; exit status 77 = skipped.
set -eu
cpack=$1 build=$2 source=$3
. "$source/tests/install/common.sh"
if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "dpkg-deb is not installed: the Debian package check was skipped"
    exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zembra-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

"$cpack" --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$scratch/cpack.log")"
set -- "$scratch"/package/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one .deb, found: $*"
deb=$1

dpkg-deb -c "$deb" >"$scratch/contents.txt"
for path in ./usr/bin/zembra ./usr/share/man/man1/zembra.1.gz; do
    grep -q " $path\$" "$scratch/contents.txt" || fail "$path missing from the package: $(cat "$scratch/contents.txt")"
done
! grep -q " ./usr/share/man/man1/zembra.1\$" "$scratch/contents.txt" || fail "plain zembra.1 packed too"

field() {
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = zembra ] || fail "Package: $(field Package)"
[ "$(field Maintainer)" = "zembra developers" ] || fail "Maintainer: $(field Maintainer)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
case "$(field Version)" in 1.24*) ;; *) fail "Version: $(field Version)" ;; esac
case "$(field Depends)" in *libc6*) ;; *) fail "Depends lacks libc6: $(field Depends)" ;; esac

dpkg-deb -x "$deb" "$scratch/root"
gzip -dc "$scratch/root/usr/share/man/man1/zembra.1.gz" | cmp -s - "$source/doc/zembra.1" ||
    fail "the packed manual page is not doc/zembra.1"
check_sorts_examples "$scratch/root/usr/bin/zembra" "$source" "$scratch/work"
echo "the Debian package $(basename "$deb") is complete and its zembra works"

#!/bin/sh
# The Debian package made by cpack holds bin/zembra, the gzipped manual page,
# the copyright file and changelog with the expected control fields, a
# program without symbols or .comment, lintian (pedantic, with info tags)
# finds nothing to report, and the zembra unpacked from it (into a scratch
# folder: nothing is installed on this machine) sorts the examples.
# Usage: check_deb.sh CPACK BUILD_DIR SOURCE_DIR; exit status 77 = skipped.
set -eu
cpack=$1 build=$2 source=$3
. "$source/tests/install/common.sh"
if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "dpkg-deb is not installed: the Debian package check was skipped"
    exit 77
fi
make_package "$cpack" "$build" '*.deb'
deb=$package

dpkg-deb -c "$deb" >"$scratch/contents.txt"
for path in ./usr/bin/zembra ./usr/share/man/man1/zembra.1.gz ./usr/share/doc/zembra/copyright \
    ./usr/share/doc/zembra/changelog.Debian.gz ./usr/share/doc/zembra/changelog.gz \
    ./usr/share/doc/zembra/README.md.gz ./usr/share/doc/zembra/examples/nifty.log.gz \
    ./usr/share/doc/zembra/examples/pcvan.log.gz; do
    grep -q " $path\$" "$scratch/contents.txt" || fail "$path missing from the package: $(cat "$scratch/contents.txt")"
done
! grep -q " ./usr/share/man/man1/zembra.1\$" "$scratch/contents.txt" || fail "plain zembra.1 packed too"

field() {
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = zembra ] || fail "Package: $(field Package)"
[ "$(field Maintainer)" = "zembra maintainers <zembra@users.noreply.invalid>" ] || fail "Maintainer: $(field Maintainer)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
case "$(field Version)" in 1.24*) ;; *) fail "Version: $(field Version)" ;; esac
case "$(field Depends)" in *libc6*) ;; *) fail "Depends lacks libc6: $(field Depends)" ;; esac

dpkg-deb -x "$deb" "$scratch/root"
gzip -dc "$scratch/root/usr/share/man/man1/zembra.1.gz" | cmp -s - "$source/doc/zembra.1" ||
    fail "the packed manual page is not doc/zembra.1"
doc=$scratch/root/usr/share/doc/zembra
head -n 1 "$doc/copyright" | grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\$" ||
    fail "copyright is not machine-readable: $(head -n 1 "$doc/copyright")"
grep -q "^Copyright: 2026 The zembra authors\$" "$doc/copyright" || fail "copyright lacks the copyright line"
# The licence's text, paragraph breaks written as " .", is the copyright's License paragraph.
sed -n '/^License: Expat$/,$p' "$doc/copyright" | sed '1d; s/^ \.$//; s/^ //' >"$scratch/licence.txt"
sed '/^MIT License$/d; /^Copyright /d' "$source/LICENSE" | sed '/./,$!d' | cmp -s - "$scratch/licence.txt" ||
    fail "the copyright's License paragraph is not LICENSE: $(cat "$doc/copyright")"
gzip -dc "$doc/changelog.Debian.gz" | head -n 1 | grep -q "^zembra ($(field Version)) " ||
    fail "changelog.Debian does not start with version $(field Version)"
# The Debian changelog's date is the release's in CHANGELOG.md.
release_date=$(sed -n 's/^## 1\.24 (\(.*\))$/\1/p' "$source/CHANGELOG.md")
packed_date=$(gzip -dc "$doc/changelog.Debian.gz" | sed -n 's/^ -- .*  \(.*\)$/\1/p')
[ "$(date -u -d "$packed_date" +%Y-%m-%d)" = "$release_date" ] ||
    fail "changelog.Debian is dated $packed_date, CHANGELOG.md $release_date"
gzip -dc "$doc/changelog.gz" | cmp -s - "$source/CHANGELOG.md" || fail "changelog.gz is not CHANGELOG.md"
gzip -dc "$doc/README.md.gz" | cmp -s - "$source/README.md" || fail "README.md.gz is not README.md"
if command -v readelf >/dev/null 2>&1; then
    ! readelf -S "$scratch/root/usr/bin/zembra" | grep -q "\.comment\|\.symtab\|\.debug_" ||
        fail "the packed zembra keeps .comment, symbols or debug sections"
fi
check_sorts_examples "$scratch/root/usr/bin/zembra" "$source" "$scratch/work"

if ! command -v lintian >/dev/null 2>&1; then
    echo "the Debian package $(basename "$deb") is complete and its zembra works;" \
        "lintian is not installed: its check was skipped"
    exit 77
fi
# CI runs as root, which lintian only warns about. Builds without
# optimisation (Debug, the sanitizers) are not fortified by design.
options="--pedantic -I"
[ "$(id -u)" != 0 ] || options="$options --allow-root"
case "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" in
Release | RelWithDebInfo | MinSizeRel) ;;
*) options="$options --suppress-tags hardening-no-fortify-functions" ;;
esac
! grep -q "^ZEMBRA_SANITIZE:BOOL=ON\$" "$build/CMakeCache.txt" ||
    options="$options --suppress-tags hardening-no-fortify-functions"
lintian $options "$deb" >"$scratch/lintian.txt" 2>&1 || fail "lintian failed: $(cat "$scratch/lintian.txt")"
[ ! -s "$scratch/lintian.txt" ] || fail "lintian: $(cat "$scratch/lintian.txt")"
echo "the Debian package $(basename "$deb") is complete, lintian is silent and its zembra works"

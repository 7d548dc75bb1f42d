# Shared by the install, package and Quick start checks: sorts copies of the
# example logs with a given zembra and checks the result. POSIX sh.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# make_package CPACK BUILD_DIR NAME_PATTERN: runs cpack on the build's
# configuration in a fresh $scratch folder (removed on exit) and sets
# $package to the one package file it made that matches the pattern.
make_package() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/zembra-package.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    "$1" --config "$2/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
        fail "cpack: $(cat "$scratch/cpack.log")"
    pattern=$3
    set -- "$scratch"/package/$pattern
    [ $# -eq 1 ] && [ -f "$1" ] || fail "expected one $pattern, found: $*"
    package=$1
}

# Header line 1 of each dialect, and where line 2 holds "yy/mm/dd hh:mm"
# (1-based byte column and length).
dialect_of() {
    case "$1" in
    pcvan) echo '^#[0-9][0-9]*/ 24 15' ;;
    nifty) echo '^[0-9][0-9][0-9][0-9][0-9]/ 8 14' ;;
    esac
}

# The message numbers of a log's header lines 1, in file order, on one line.
message_numbers() {
    set -- $(dialect_of "$1") "$2"
    LC_ALL=C grep -aE "$1" "$4" | tr -d '#' | cut -d/ -f1 | sed 's/^0*//' | tr '\n' ' '
}

# The date and time of every message, in file order, one per line.
message_dates() {
    set -- $(dialect_of "$1") "$2"
    LC_ALL=C awk -v re="$1" -v column="$2" -v length_="$3" \
        'after_line1 { print substr($0, column, length_) } { after_line1 = ($0 ~ re) }' "$4"
}

# SORTED must hold each message number of ORIGINAL once, in date and time
# order (the examples' years all lie in one century, so the text sorts).
check_sorted_log() {
    dialect=$1 original=$2 sorted=$3
    expected=$(message_numbers "$dialect" "$original" | tr ' ' '\n' | sort -n -u | tr '\n' ' ')
    actual=$(message_numbers "$dialect" "$sorted")
    [ "$(echo $actual | tr ' ' '\n' | sort -n | tr '\n' ' ')" = "$expected" ] ||
        fail "$sorted holds the messages '$actual', expected each of '$expected' once"
    message_dates "$dialect" "$sorted" | LC_ALL=C sort -c ||
        fail "$sorted is not in date order: $(message_dates "$dialect" "$sorted" | tr '\n' ',')"
}

# sorted_log DIR NAME: the path of the sorted log made from DIR/NAME: under
# the name as given where the system keeps it, else under the upper-cased
# name.
sorted_log() {
    upper_name=$(echo "$2" | tr a-z A-Z)
    if [ -f "$1/$upper_name" ]; then echo "$1/$upper_name"; else echo "$1/$2"; fi
}

# Runs PROGRAM over copies of both example logs in WORK and checks the sorted
# logs and that each .BAK holds the old content.
check_sorts_examples() {
    program=$1 source=$2 work=$3
    mkdir -p "$work"
    cp "$source/examples/pcvan.log" "$source/examples/nifty.log" "$work/"
    (cd "$work" && "$program" -P pcvan.log && "$program" -N nifty.log) >"$work/run.log" 2>&1 ||
        fail "$program exited with $?: $(cat "$work/run.log")"
    for dialect in pcvan nifty; do
        upper=$(echo "$dialect" | tr a-z A-Z)
        sorted=$(sorted_log "$work" "$dialect.log")
        [ -f "$sorted" ] || fail "$sorted was not written: $(cat "$work/run.log")"
        cmp -s "$work/$upper.BAK" "$source/examples/$dialect.log" ||
            fail "$upper.BAK differs from examples/$dialect.log"
        check_sorted_log "$dialect" "$source/examples/$dialect.log" "$sorted"
    done
}

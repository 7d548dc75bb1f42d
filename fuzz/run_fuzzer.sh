#!/bin/sh
# Builds one libFuzzer target with clang++ and runs it for a bounded number of
# inputs over its committed seed corpus.
#   run_fuzzer.sh CLANGXX SOURCE_DIR WORK_DIR TARGET RUNS SOURCE...
# SOURCE paths are relative to SOURCE_DIR; the seeds are in
# SOURCE_DIR/fuzz/corpus/TARGET. New inputs go to WORK_DIR, never to the seeds.
# FUZZ_MAX_LEN bounds the input size (default 1024) to keep the run short;
# FUZZ_CXXFLAGS adds compiler flags (such as lower resource limits).
set -eu
if [ "$#" -lt 6 ]; then
    echo "usage: $0 CLANGXX SOURCE_DIR WORK_DIR TARGET RUNS SOURCE..." >&2
    exit 2
fi
clangxx=$1
source_dir=$2
work_dir=$3
target=$4
runs=$5
shift 5

sources=""
for source in "$@"; do
    sources="$sources $source_dir/$source"
done

mkdir -p "$work_dir/$target-corpus" "$work_dir/$target-artifacts"
# shellcheck disable=SC2086
"$clangxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    ${FUZZ_CXXFLAGS:-} -I"$source_dir/src" -I"$source_dir/tests" $sources -o "$work_dir/$target"

seeds="$source_dir/fuzz/corpus/$target"
# libFuzzer checks for slow inputs with an alarm signal every half timeout,
# and the log job takes that signal for an interrupt and stops the process:
# the timeout is longer than any bounded run.
exec "$work_dir/$target" -runs="$runs" -max_len="${FUZZ_MAX_LEN:-1024}" -timeout=600 \
    -artifact_prefix="$work_dir/$target-artifacts/" \
    "$work_dir/$target-corpus" "$seeds"

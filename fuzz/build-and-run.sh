#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time from its seed corpus; new inputs go to OUTDIR/corpus/.
#
# Usage: fuzz/build-and-run.sh OUTDIR SECONDS
# The targets are those of fuzz/targets.txt, or only those named in VELKA_FUZZ_ONLY
# (blank-separated). Exits non-zero when a target fails to build or finds a crash; the
# reproducer is left in OUTDIR/artifacts/.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 OUTDIR SECONDS" >&2
    exit 2
fi
outdir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/fuzz/targets.sh"
CXX=${CXX:-clang++}
CXXFLAGS="-std=c++17 -g -O1 -Wall -Wextra -fno-omit-frame-pointer \
-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all"

mkdir -p "$outdir/artifacts"
targets=$outdir/targets
selected_targets > "$targets"
failed=0
while read -r name sources; do
    binary=$outdir/${name}_fuzz
    echo "== building $name"
    # shellcheck disable=SC2086
    if ! build_target "$name" "$binary" $sources; then
        failed=1
        continue
    fi

    corpus=$outdir/corpus/$name
    mkdir -p "$corpus"
    set -- -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$outdir/artifacts/$name-"
    if [ -f "$root/fuzz/$name.dict" ]; then
        set -- "$@" -dict="$root/fuzz/$name.dict"
    fi
    echo "== running $name for $seconds s"
    if ! ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
        UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
        "$binary" "$@" "$corpus" "$root/fuzz/corpus/$name" </dev/null; then
        echo "== $name FAILED" >&2
        failed=1
    fi
done < "$targets"
exit $failed

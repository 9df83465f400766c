#!/bin/sh
# Line and branch coverage that a fuzzing campaign's corpus reaches: builds each target of
# fuzz/targets.txt with clang's source-based coverage, replays the seed corpus and
# OUTDIR/corpus/NAME once, and prints llvm-cov's report for the target's sources.
#
# Usage: fuzz/coverage.sh OUTDIR      (OUTDIR as given to build-and-run.sh)
# VELKA_FUZZ_ONLY restricts the targets as for build-and-run.sh.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
outdir=$1
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/fuzz/targets.sh"
CXX=${CXX:-clang++}
CXXFLAGS="-std=c++17 -g -O1 -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping"
work=$outdir/coverage
mkdir -p "$work"
targets=$work/targets
selected_targets > "$targets"

while read -r name sources; do
    binary=$work/${name}_cov
    # shellcheck disable=SC2086
    build_target "$name" "$binary" $sources
    files=
    for source in $sources; do
        case $source in -l*) ;; *) files="$files $root/$source" ;; esac
    done

    mkdir -p "$outdir/corpus/$name"
    rm -f "$work/$name".*.profraw
    LLVM_PROFILE_FILE="$work/$name.%p.profraw" "$binary" -runs=0 \
        "$outdir/corpus/$name" "$root/fuzz/corpus/$name" </dev/null >/dev/null 2>&1
    llvm-profdata merge -sparse -o "$work/$name.profdata" "$work/$name".*.profraw
    echo "== $name: $(find "$outdir/corpus/$name" "$root/fuzz/corpus/$name" -type f | wc -l) inputs"
    # shellcheck disable=SC2086
    llvm-cov report "$binary" -instr-profile="$work/$name.profdata" $files |
        sed "s|$root/||"
done < "$targets"

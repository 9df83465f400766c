#!/bin/bash
# The in-process micro-benchmarks in one report: password decryption, account
# lookup, JSON parsing and process execution, each beside its baseline in the same
# run. Extra arguments pass to every benchmark (e.g. --benchmark_repetitions=3).
#
#   bench/run-inprocess-bench.sh BUILD_DIR [benchmark options]
set -euo pipefail

BUILD="${1:?usage: $0 BUILD_DIR [benchmark options]}"
shift
echo "# In-process benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
for bench in cipher_bench mail_auth_bench sj_parser_bench process_bench; do
    [ -x "$BUILD/bench/$bench" ] || { echo "no $BUILD/bench/$bench: build with -DVELKA_BUILD_BENCH=ON" >&2; exit 1; }
    echo
    echo "## $bench"
    echo
    "$BUILD/bench/$bench" --benchmark_min_time=0.5 --benchmark_color=false "$@" 2>&1 | sed 's/\x1b\[[0-9;]*m//g' | grep -v '^\*\*\*WARNING\|^Run on\|^CPU Caches\|^  L[123]\|^Load Average'
done

#!/bin/bash
# Login benchmark in a test bed of its own: builds nothing, installs the plug-in of
# BUILD_DIR into the tree, then compares the velka passdb with Dovecot's sql (SQLite)
# and passwd-file drivers (bench/auth_bench.py; its options pass through).
#
#   bench/run-auth-bench.sh BUILD_DIR [--reps N] [--seconds S] [--no-imap] ...
#
# BUILD_DIR is a Release build with -DVELKA_BUILD_BENCH=ON and
# -DDOVECOT_ROOT=$VELKA_TESTBED_DIR/trixie. The test bed defaults to
# /var/cache/velka-testbed-perf on ports 16000 and up, away from the one the tests use.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${1:?usage: $0 BUILD_DIR [options of auth_bench.py]}"
shift
export VELKA_TESTBED_DIR="${VELKA_TESTBED_DIR:-/var/cache/velka-testbed-perf}"
export VELKA_TESTBED_PORT_BASE="${VELKA_TESTBED_PORT_BASE:-16000}"

for tool in auth_load auth_bench_accounts; do
    [ -x "$BUILD/bench/$tool" ] || { echo "no $BUILD/bench/$tool: build with -DVELKA_BUILD_BENCH=ON" >&2; exit 1; }
done
"$HERE/../testbed/testbed.sh" create
"$HERE/../testbed/testbed.sh" install-build "$BUILD"
exec python3 "$HERE/auth_bench.py" --build "$BUILD" "$@"

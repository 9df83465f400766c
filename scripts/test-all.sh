#!/bin/bash
# Runs every test of the tree from nothing: installs what is needed, prepares the
# Dovecot 2.4 test bed, builds normally and with AddressSanitizer + UBSan, runs the unit
# tests of both builds, the integration tests against the test bed's real Dovecot (and
# wendra's once more under valgrind), builds the Debian packages and tests their
# installation in a fresh Debian 13 tree, runs the fuzz targets for a bounded time, and
# ends with one pass/fail count.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

RESULTS="${VELKA_RESULTS_DIR:-$REPO/build-results}"
FUZZ_SECONDS="${VELKA_FUZZ_SECONDS:-20}"
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
failed_steps=()

run_step() {
    local name="$1"; shift
    step "$name"
    "$@" || failed_steps+=("$name")
}

set -e
step "Installing build dependencies"
"$REPO/scripts/install-deps.sh"
step "Preparing the Dovecot 2.4 test bed"
"$TESTBED" create
set +e

run_step "Build" build_normal
run_step "Build with sanitizers" build_asan

run_step "Unit tests" ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" \
    --output-junit "$RESULTS/unit.xml"
run_step "Unit tests (sanitizers)" ctest --test-dir "$ASAN_BUILD_DIR" --output-on-failure -j "$JOBS" \
    --output-junit "$RESULTS/unit-asan.xml"

integration() {
    "$TESTBED" stop
    "$TESTBED" provision
    "$TESTBED" install-build "$BUILD_DIR"
    WENDRA_BIN="$BUILD_DIR/wendra/wendra" VELKA_TESTBED="$TESTBED" VELKA_BUILD_DIR="$BUILD_DIR" \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider --junitxml="$RESULTS/integration.xml" \
        "$REPO/tests/integration"
    local rc=$?
    "$TESTBED" stop
    [ $rc -eq 5 ] && rc=0   # no test collected is not a failure of the tests
    return $rc
}
run_step "Integration tests against Dovecot 2.4" integration
run_step "wendra's integration tests under valgrind" \
    "$REPO/scripts/wendra-memory.sh" valgrind "$RESULTS/wendra-valgrind.xml"

# The Debian packages: built and checked by lintian in a Debian 13 build tree, then
# installed, used and purged in a fresh Debian 13 tree with Dovecot 2.4.
packages() {
    "$REPO/packaging/build-debs.sh" "$RESULTS/debs" > "$RESULTS/build-debs.log" 2>&1 ||
        { tail -n 40 "$RESULTS/build-debs.log"; return 1; }
    "$REPO/packaging/install-test.sh" "$RESULTS/debs" "$RESULTS/install-test.xml"
}
run_step "Debian packages and install test" packages

# Each fuzz target counts as one test: it passes when it builds and runs its time
# without a crash.
fuzz() {
    "$REPO/fuzz/build-and-run.sh" "$RESULTS/fuzz" "$FUZZ_SECONDS" 2>&1 | tee "$RESULTS/fuzz.log"
    local rc=${PIPESTATUS[0]}
    python3 "$REPO/scripts/fuzz-junit.py" "$RESULTS/fuzz.log" "$RESULTS/fuzz.xml"
    return $rc
}
if [ -x "$REPO/fuzz/build-and-run.sh" ]; then
    run_step "Fuzzing (${FUZZ_SECONDS}s per target)" fuzz
fi

step "Summary"
python3 "$REPO/scripts/summarize-results.py" "$RESULTS" "${failed_steps[@]+"${failed_steps[@]}"}"

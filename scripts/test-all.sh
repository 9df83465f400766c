#!/bin/bash
# Runs every test of the tree from nothing: installs what is needed, prepares the
# Dovecot 2.4 test beds (Debian 13's 2.4.1 and the newest 2.4 of Debian unstable),
# checks that the C and C++ files follow .clang-format, builds normally and with AddressSanitizer + UBSan, runs the unit tests of both builds,
# the integration tests against each test bed's real Dovecot (and wendra's once more
# under valgrind), builds the Debian packages for each release and tests their
# installation in a fresh tree of that release, runs the fuzz targets for a bounded
# time, and ends with one pass/fail count, results labelled with the Dovecot release.
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
declare -A DOVECOT_VERSION
for release in "${RELEASES[@]}"; do
    step "Preparing the Dovecot 2.4 test bed of Debian $release"
    VELKA_RELEASE=$release "$TESTBED" create
    DOVECOT_VERSION[$release]=$(VELKA_RELEASE=$release "$TESTBED" version)
    echo "Debian $release: Dovecot ${DOVECOT_VERSION[$release]}" >&2
done
set +e

run_step "Format check" "$REPO/scripts/check-format.sh"
run_step "Build" build_normal
run_step "Build with sanitizers" build_asan
for release in "${RELEASES[@]}"; do
    run_step "Build of the plug-in for Dovecot ${DOVECOT_VERSION[$release]}" build_plugin "$release"
done

run_step "Unit tests" ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" \
    --output-junit "$RESULTS/unit.xml"
run_step "Unit tests (sanitizers)" ctest --test-dir "$ASAN_BUILD_DIR" --output-on-failure -j "$JOBS" \
    --output-junit "$RESULTS/unit-asan.xml"

# Every integration test runs against every release: each one drives the tree's own
# Dovecot or doveconf. Result files are named after the release they ran against.
integration() (
    release="$1" version="${DOVECOT_VERSION[$1]}"
    export VELKA_RELEASE=$release
    "$TESTBED" stop
    "$TESTBED" provision
    "$TESTBED" install-build "$BUILD_DIR" "$(plugin_build_dir "$release")"
    WENDRA_BIN="$BUILD_DIR/wendra/wendra" VELKA_TESTBED="$TESTBED" VELKA_BUILD_DIR="$BUILD_DIR" \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider \
        --junitxml="$RESULTS/integration-dovecot-$version.xml" "$REPO/tests/integration"
    rc=$?
    "$TESTBED" stop
    [ $rc -eq 5 ] && rc=0   # no test collected is not a failure of the tests
    exit $rc
)
for release in "${RELEASES[@]}"; do
    run_step "Integration tests against Dovecot ${DOVECOT_VERSION[$release]}" integration "$release"
done
# wendra's own memory use does not depend on the Dovecot release: one run is enough.
run_step "wendra's integration tests under valgrind" \
    "$REPO/scripts/wendra-memory.sh" valgrind "$RESULTS/wendra-valgrind.xml"

# The Debian packages of each release: built and checked by lintian in a build tree of
# that release, then installed, used and purged in a fresh tree of it.
packages() {
    local release="$1" version="${DOVECOT_VERSION[$1]}" debs="$RESULTS/debs-$1"
    VELKA_RELEASE=$release "$REPO/packaging/build-debs.sh" "$debs" \
        > "$RESULTS/build-debs-$release.log" 2>&1 ||
        { tail -n 40 "$RESULTS/build-debs-$release.log"; return 1; }
    VELKA_RELEASE=$release "$REPO/packaging/install-test.sh" "$debs" \
        "$RESULTS/install-test-dovecot-$version.xml"
}
for release in "${RELEASES[@]}"; do
    run_step "Debian packages and install test for Dovecot ${DOVECOT_VERSION[$release]}" \
        packages "$release"
done

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

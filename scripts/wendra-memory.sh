#!/bin/bash
# Runs wendra's integration tests in the Dovecot 2.4 test bed with a memory checker
# watching every wendra they start: any invalid access, use of an uninitialised value or
# leak ends that wendra with a report on its error output and another exit status, so
# the test that ran it fails.
#
#   scripts/wendra-memory.sh valgrind [JUNIT_XML]     the normal build's wendra under valgrind
#   scripts/wendra-memory.sh sanitizers [JUNIT_XML]   wendra built with ASan + UBSan
#
# valgrind uses the normal build ($VELKA_BUILD_DIR, made by scripts/test-all.sh);
# sanitizers builds wendra in $VELKA_MEMORY_BUILD_DIR (default build-memory) with Boost
# and libidn linked statically, so that it runs in the tree, and also runs the crash test.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MODE="${1:?usage: $0 valgrind|sanitizers [JUNIT_XML]}"
JUNIT="${2:-}"
TESTS=(test_wendra_entry.py test_wendra_commands.py test_wendra_hostile.py)

# "Possibly lost" blocks are left out: a command that ends through its usage text calls
# exit() inside the catch handler, so the exception in flight is never freed, once per
# process.
VALGRIND="valgrind -q --leak-check=full --show-leak-kinds=definite,indirect \
--errors-for-leak-kinds=definite,indirect --error-exitcode=99"

case "$MODE" in
    valgrind)
        wendra="$BUILD_DIR/wendra/wendra"
        wrapper="$VALGRIND"
        ;;
    sanitizers)
        dir="${VELKA_MEMORY_BUILD_DIR:-$REPO/build-memory}"
        cmake -S "$REPO" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVELKA_SANITIZE=ON \
            -DVELKA_STATIC_DEPS=ON -DDOVECOT_ROOT="$("$TESTBED" root)" >/dev/null &&
            cmake --build "$dir" -j "$JOBS" --target wendra || exit 1
        wendra="$dir/wendra/wendra"
        wrapper=""
        TESTS+=(test_wendra_crash_safety.py)
        ;;
    *)
        echo "$0: unknown mode '$MODE'" >&2
        exit 2
        ;;
esac
[ -x "$wendra" ] || { echo "$0: no wendra at $wendra" >&2; exit 1; }

"$TESTBED" create || exit 1
"$TESTBED" stop
"$TESTBED" provision || exit 1
"$TESTBED" install-build "$BUILD_DIR" || exit 1

paths=()
for t in "${TESTS[@]}"; do
    paths+=("$REPO/tests/integration/$t")
done
WENDRA_BIN="$wendra" VELKA_WENDRA_WRAPPER="$wrapper" VELKA_TESTBED="$TESTBED" \
    VELKA_BUILD_DIR="$BUILD_DIR" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
    ${JUNIT:+--junitxml="$JUNIT"} -o junit_suite_name="wendra-$MODE" "${paths[@]}"
rc=$?
"$TESTBED" stop
exit $rc

#!/bin/bash
# Shows the system at work against a real Dovecot 2.4: builds everything, starts the
# test bed's Dovecot, runs wendra there and stops Dovecot again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

step "Installing build dependencies"
"$REPO/scripts/install-deps.sh"
step "Preparing the Dovecot 2.4 test bed"
"$TESTBED" create
step "Building"
build_normal
"$TESTBED" install-build "$BUILD_DIR"

step "Starting the test bed's Dovecot"
"$TESTBED" start
trap '"$TESTBED" stop' EXIT
"$TESTBED" status
"$TESTBED" run dovecot --version

step "wendra --help"
"$TESTBED" run wendra --help
step "wendra --help-commands"
"$TESTBED" run wendra --help-commands

step "Stopping Dovecot"
"$TESTBED" stop
trap - EXIT

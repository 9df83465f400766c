#!/bin/bash
# A Debian root tree with a real Dovecot 2.4, for building against and testing on a
# Debian 12 machine: Debian 13's Dovecot 2.4.1, or the newest 2.4 from Debian unstable.
# Each tree lives outside the repository and is reused between runs; programs of the
# tree run through a private mount namespace and chroot, so nothing is mounted on the
# host.
#
#   testbed.sh create              make (or reuse) the tree and provision it
#   testbed.sh provision           (re)install stand-ins, users and the test configuration
#   testbed.sh root                print the tree's path
#   testbed.sh run CMD [ARG...]    run a program of the tree
#   testbed.sh start | stop | restart | status
#   testbed.sh version             print the tree's Dovecot release, such as 2.4.1
#   testbed.sh port-base           print the number the test ports are offset by
#   testbed.sh install-build DIR [PLUGIN_DIR]
#                                  copy wendra of build DIR and the plug-in of PLUGIN_DIR
#                                  (default DIR) into the tree
#
# Environment: VELKA_RELEASE (trixie, the default, for Dovecot 2.4.1; sid for the newest
# 2.4), VELKA_TESTBED_DIR (default /var/cache/velka-testbed; each release's tree is a
# folder of it) and VELKA_TESTBED_PORT_BASE (default 14000 for trixie and 15000 for sid;
# the ports are the standard ones plus it), so that test beds can run side by side.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
TESTBED_DIR="${VELKA_TESTBED_DIR:-/var/cache/velka-testbed}"
source "$HERE/debian-tree.sh"
ROOT="$TESTBED_DIR/$RELEASE"
READY_STAMP="$ROOT/.velka-testbed-ready"
BASE_DIR=/run/velka-testbed
LOG_FILE=/var/log/dovecot-test.log

# Ports of the test instance: loopback only, away from the standard ones.
if [ "$RELEASE" = sid ]; then
    PORT_BASE="${VELKA_TESTBED_PORT_BASE:-15000}"
else
    PORT_BASE="${VELKA_TESTBED_PORT_BASE:-14000}"
fi
IMAP_PORT=$((PORT_BASE + 143))
IMAPS_PORT=$((PORT_BASE + 993))
POP3_PORT=$((PORT_BASE + 110))
POP3S_PORT=$((PORT_BASE + 995))

PACKAGES=dovecot-core,dovecot-imapd,dovecot-pop3d,dovecot-dev,openssl,sqlite3,procps,ca-certificates,dovecot-sqlite,valgrind,libasan8,libubsan1

die() { echo "testbed: $*" >&2; exit 1; }

create_tree() {
    ensure_tree "$ROOT" "$PACKAGES" "$READY_STAMP" \
        "testbed: creating a Debian $RELEASE tree with Dovecot 2.4 in $ROOT" ||
        die "the $RELEASE tree could not be made"
}

in_tree() { in_root "$ROOT" "$@"; }

provision() {
    [ -f "$READY_STAMP" ] || die "no tree yet: run '$0 create'"
    install -d -m 755 "$ROOT/usr/lib64/velka-9.0" "$ROOT/etc/velka-testbed"
    install_standins "$ROOT" velkarc register_service wendra-server
    install -m 755 "$HERE/standins/send-quota-warning" "$ROOT/usr/lib64/velka-9.0/"
    tree_user "$ROOT" popuser /var/empty
    tree_user "$ROOT" vmail /var/mail/vmail
    tree_group "$ROOT" nofiles
    install -d -m 755 -o "$(tree_uid vmail)" -g "$(tree_gid vmail)" "$ROOT/var/mail/vmail"
    install -m 644 "$HERE/auth-static.conf" "$ROOT/etc/velka-testbed/auth.conf"
    rm -f "$ROOT/etc/velka-testbed/velkarc-fail" "$ROOT/etc/velka-testbed/velkarc-fail-stderr" \
        "$ROOT/etc/velka-testbed/register-fail" "$ROOT/etc/velka-testbed/smtp-server" \
        "$ROOT/etc/velka-testbed/features-extra" "$ROOT/etc/velka-testbed/velkarc-delay"
    install_test_config
}

tree_uid() { in_tree id -u "$1"; }
tree_gid() { in_tree id -g "$1"; }

# The test main configuration is Debian-like (it includes conf.d/*.conf, where wendra
# writes) but listens on loopback only, on our own ports, with its own base_dir and log.
# Debian's own conf.d files are kept aside so that only what the tests write is there.
install_test_config() {
    local etc="$ROOT/etc/dovecot"
    if [ ! -d "$etc/conf.d.debian" ] && [ -d "$etc/conf.d" ]; then
        mv "$etc/conf.d" "$etc/conf.d.debian"
    fi
    install -d -m 755 "$etc/conf.d"
    # What a run by hand left there is no part of the test configuration.
    find "$etc/conf.d" -mindepth 1 -delete
    sed -e "s|@BASE_DIR@|$BASE_DIR|g" -e "s|@LOG_FILE@|$LOG_FILE|g" \
        -e "s|@IMAP_PORT@|$IMAP_PORT|g" -e "s|@IMAPS_PORT@|$IMAPS_PORT|g" \
        -e "s|@POP3_PORT@|$POP3_PORT|g" -e "s|@POP3S_PORT@|$POP3S_PORT|g" \
        "$HERE/dovecot.conf.in" > "$etc/dovecot.conf"
    if [ ! -f "$etc/private/testbed.pem" ]; then
        install -d -m 700 "$etc/private"
        in_tree openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=testbed.invalid" \
            -keyout /etc/dovecot/private/testbed.key -out /etc/dovecot/private/testbed.pem 2>/dev/null
    fi
}

start() {
    dovecot_start "$ROOT" "$BASE_DIR" "$LOG_FILE" || die "dovecot did not come up"
}

stop() {
    dovecot_stop "$ROOT" "$BASE_DIR" || die "dovecot did not stop"
}

status() {
    local pid
    if pid=$(dovecot_pid "$ROOT" "$BASE_DIR"); then
        echo "dovecot running, pid $pid, imap 127.0.0.1:$IMAP_PORT, log $ROOT$LOG_FILE"
    else
        echo "dovecot not running"
        return 3
    fi
}

# "dovecot --version" prints the release and the build, such as "2.4.1-4 (7d8c0e5759)".
version() {
    [ -f "$READY_STAMP" ] || die "no tree yet: run '$0 create'"
    in_tree dovecot --version | sed -E 's/^([0-9][0-9.]*).*/\1/'
}

# wendra does not depend on the Dovecot release; the plug-in is built for each one.
install_build() {
    local build="$1" plugins="${2:-$1}"
    [ -x "$build/wendra/wendra" ] || die "no wendra in $build"
    install -m 755 "$build/wendra/wendra" "$ROOT/usr/local/sbin/wendra"
    local plugin="$plugins/mail/dovecot/authdb/libauthdb_velka.so"
    if [ -f "$plugin" ]; then
        install -m 644 "$plugin" "$ROOT/usr/lib/dovecot/modules/auth/libauthdb_velka.so"
    fi
    # The plug-in's settings library, without which Dovecot rejects its settings.
    local settings="$plugins/mail/dovecot/authdb/libvelka_settings.so"
    if [ -f "$settings" ]; then
        install -m 644 "$settings" "$ROOT/usr/lib/dovecot/modules/settings/libvelka_settings.so"
    fi
}

cmd="${1:-}"
shift || true
case "$cmd" in
    create) create_tree; provision ;;
    provision) provision ;;
    root) echo "$ROOT" ;;
    run) in_tree "$@" ;;
    start) start ;;
    stop) stop ;;
    restart) stop; start ;;
    status) status ;;
    version) version ;;
    port-base) echo "$PORT_BASE" ;;
    install-build) install_build "$@" ;;
    *) sed -n '2,22p' "$0" >&2; exit 2 ;;
esac

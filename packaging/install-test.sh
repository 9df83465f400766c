#!/bin/bash
# Installs the built Debian packages into a fresh Debian tree with Dovecot 2.4 and
# checks them as an administrator would: the documented passdb configuration starts,
# an IMAP login through the plug-in succeeds, wendra sets and reads the connection
# limit, and removing and purging the packages leaves nothing of theirs behind.
#
#   packaging/install-test.sh [DEBDIR [JUNIT_XML]]     default DEBDIR: build-results/debs
#
# The Debian base tree (Dovecot only) is made once with mmdebstrap and copied afresh
# for every run. The account is created by a small program compiled in the build tree
# of build-debs.sh against the -dev package, which tests its headers and pkg-config
# file. Dovecot listens on 127.0.0.1:18143 (IMAP) and 18110 (POP3) only.
#
# Environment: VELKA_RELEASE (trixie, the default, or sid: the release the packages were
# built for), VELKA_INSTALLTEST_DIR (default /var/cache/velka-installtest),
# VELKA_BUILDTREE_DIR (default /var/cache/velka-buildtree).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO="$(dirname "$HERE")"
source "$HERE/common.sh"

DEBS="$(realpath -m "${1:-$REPO/build-results/debs}")"
JUNIT="${2:-}"
TEST_DIR="${VELKA_INSTALLTEST_DIR:-/var/cache/velka-installtest}"
BASE="$TEST_DIR/$RELEASE-base"
BASE_STAMP="$BASE/.velka-installtest-base"
ROOT="$TEST_DIR/$RELEASE"
BUILD_ROOT="${VELKA_BUILDTREE_DIR:-/var/cache/velka-buildtree}/$RELEASE"
BASE_PACKAGES=dovecot-core,dovecot-imapd,dovecot-pop3d
OUR_PACKAGES=(wendra dovecot-auth-velka libauthdb-velka-dev)
RUN_DIR=/run/velka-installtest
IMAP_PORT=18143
MAILNAMES=/var/qmail/mailnames

ls "$DEBS"/*.deb >/dev/null 2>&1 || die "no packages in $DEBS: run packaging/build-debs.sh"
[ -x "$BUILD_ROOT/usr/bin/cc" ] || die "no build tree in $BUILD_ROOT: run packaging/build-debs.sh"

passed=0
failed=0
cases=()
check() {
    local name="$1"; shift
    local out rc
    # A subshell outside any condition, so that the first failing command ends the check.
    set +e
    out=$(set -e; "$@" 2>&1)
    rc=$?
    set -e
    if [ $rc -eq 0 ]; then
        echo "ok - $name"
        passed=$((passed + 1))
        cases+=("<testcase classname=\"install-test\" name=\"$name\"/>")
    else
        echo "FAIL - $name"
        echo "$out" | sed 's/^/    /'
        failed=$((failed + 1))
        out=$(echo "$out" | tail -n 20 | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g')
        cases+=("<testcase classname=\"install-test\" name=\"$name\"><failure>$out</failure></testcase>")
    fi
}

in_test() { in_root "$ROOT" /usr/bin/env DEBIAN_FRONTEND=noninteractive "$@"; }

master_pid() {
    local file="$ROOT$RUN_DIR/master.pid" pid
    [ -f "$file" ] || return 1
    pid=$(cat "$file")
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
    echo "$pid"
}

stop_dovecot() {
    local pid i
    pid=$(master_pid) || return 0
    kill "$pid"
    for i in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

start_dovecot() {
    install -d -m 755 "$ROOT$RUN_DIR"
    in_test /usr/sbin/dovecot -c /etc/dovecot/dovecot.conf </dev/null >/dev/null 2>&1 || return 1
    local i
    for i in $(seq 1 100); do
        if master_pid >/dev/null && [ -S "$ROOT$RUN_DIR/auth-client" ]; then
            return 0
        fi
        sleep 0.1
    done
    tail -n 20 "$ROOT/var/log/dovecot-installtest.log"
    return 1
}

imap_login() {
    python3 - "$IMAP_PORT" "$@" <<'EOF'
import imaplib, sys
port, user, password, expect = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
imap = imaplib.IMAP4("127.0.0.1", port, timeout=20)
try:
    imap.login(user, password)
    imap.select("INBOX")
    imap.logout()
    result = "accepted"
except imaplib.IMAP4.error as exc:
    print("login refused:", exc)
    # A temporary failure is not a refusal: the lookup itself went wrong.
    result = "refused" if "AUTHENTICATIONFAILED" in str(exc) else "failed"
sys.exit(0 if result == expect else 1)
EOF
}

# The fresh tree: a copy of the cached base, with init scripts kept from running, as
# in any chroot.
prepare_tree() {
    if ! { [ -f "$BASE_STAMP" ] && [ "$(cat "$BASE_STAMP")" = "$BASE_PACKAGES" ]; }; then
        echo "install-test: creating the Debian $RELEASE base tree in $BASE" >&2
        make_tree "$BASE" "$BASE_PACKAGES" || die "the base tree could not be made"
        echo "$BASE_PACKAGES" > "$BASE_STAMP"
    fi
    stop_dovecot
    rm -rf "$ROOT"
    cp -a "$BASE" "$ROOT"
    printf '#!/bin/sh\nexit 101\n' > "$ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$ROOT/usr/sbin/policy-rc.d"
}

install_packages() {
    rm -rf "$ROOT/tmp/debs"
    mkdir -p "$ROOT/tmp/debs"
    local package
    for package in "${OUR_PACKAGES[@]}"; do
        cp "$DEBS/${package}"_*.deb "$ROOT/tmp/debs/"
    done
    in_test apt-get update -q >/dev/null
    in_test sh -c 'apt-get install -y -q /tmp/debs/*.deb'
}

depends_on_dovecot_abi() {
    local provides depends
    provides=$(in_test dpkg-query -W -f '${Provides}' dovecot-core | grep -o 'dovecot-abi-[^ ,]*')
    depends=$(in_test dpkg-query -W -f '${Depends}' dovecot-auth-velka)
    echo "dovecot-core provides $provides; dovecot-auth-velka depends on: $depends"
    [[ ", $depends," == *", $provides,"* ]]
}

# The account program, compiled in the build tree against the unpacked -dev package
# only through what pkg-config says, then run in the test tree.
build_account_tool() {
    local stage=/tmp/velka-stage
    rm -rf "$BUILD_ROOT$stage"
    mkdir -p "$BUILD_ROOT$stage"
    local deb
    for deb in "$DEBS"/dovecot-auth-velka_*.deb "$DEBS"/libauthdb-velka-dev_*.deb; do
        dpkg-deb -x "$deb" "$BUILD_ROOT$stage"
    done
    cp "$HERE/make-account.c" "$BUILD_ROOT/tmp/make-account.c"
    in_root "$BUILD_ROOT" /bin/sh -ec "
        export PKG_CONFIG_SYSROOT_DIR=$stage
        export PKG_CONFIG_PATH=$stage/usr/lib/\$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig
        cc -std=c11 -Wall -Wextra -Werror -o /tmp/velka-make-account /tmp/make-account.c \
            \$(pkg-config --cflags --libs libauthdb_velka)"
    install -m 755 "$BUILD_ROOT/tmp/velka-make-account" "$ROOT/usr/local/bin/velka-make-account"
}

# The documented set-up: the passdb example of the package in conf.d, the panel's
# stand-in programs at their fixed paths, the mail user, an account with its Maildir.
configure_dovecot() {
    local etc="$ROOT/etc/dovecot"
    mv "$etc/conf.d" "$etc/conf.d.debian"
    install -d -m 755 "$etc/conf.d"
    install -m 644 "$HERE/dovecot.conf" "$etc/dovecot.conf"
    cp "$ROOT/usr/share/doc/dovecot-auth-velka/examples/11-velka-passdb.conf" "$etc/conf.d/"
    install -d -m 755 "$ROOT/usr/local/vqa/admin/sbin" "$ROOT/etc/velka-testbed"
    install -m 755 "$REPO/testbed/standins/velkarc" "$REPO/testbed/standins/wendra-server" \
        "$ROOT/usr/local/vqa/admin/sbin/"
    echo QMail > "$ROOT/etc/velka-testbed/smtp-server"
    in_test useradd --system --home-dir /nonexistent --no-create-home --shell /usr/sbin/nologin popuser
    in_test /usr/local/bin/velka-make-account alice example.com 'S3cret pass'
    # bob has no Maildir: an alias, which the Maildir check of the example refuses.
    in_test /usr/local/bin/velka-make-account bob example.com 'S3cret pass'
    install -d -m 700 "$ROOT$MAILNAMES/example.com/alice/Maildir"
    in_test chown -R popuser:popuser "$MAILNAMES"
    in_test doveconf -n >/dev/null
}

wendra_sets_and_reads_limit() {
    in_test wendra --set-connections-limit --limit=77
    local got
    got=$(in_test wendra --get-connections-limit)
    echo "read back: $got"
    [ "$got" = 77 ] && [ -f "$ROOT/etc/dovecot/conf.d/92-velka-service-imap.conf" ]
}

wendra_per_ip_limit() {
    in_test wendra --set-connections-per-ip-limit --limit=9
    [ "$(in_test wendra --get-connections-per-ip-limit)" = 9 ]
}

# The installed manual page renders cleanly and names every command that the installed
# wendra lists.
manual_page_covers_commands() {
    local page="$ROOT/usr/share/man/man1/wendra.1.gz" text warnings command missing=0
    warnings=$(zcat "$page" | groff -w all -man -Tutf8 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "groff: $warnings"; return 1; }
    text=$(zcat "$page" | groff -man -Tascii 2>/dev/null | col -b)
    while read -r command; do
        grep -qF -- "$command" <<<"$text" || { echo "not in wendra(1): $command"; missing=1; }
    done < <(in_test wendra --help-commands | tail -n +2 | sed -E 's/ {2,}.*//')
    [ $missing -eq 0 ]
}

# Debian unstable offers a Dovecot 2.4 with another ABI. apt must not let it replace
# the installed one while the plug-in needs the old ABI: an upgrade keeps dovecot-core
# back, and installing it on purpose removes the plug-in. apt reads unstable's package
# lists from a place of its own, so the tree's apt state stays as it was.
NEWER_APT="$TEST_DIR/newer-apt"
newer_apt() {
    unshare --mount -- /bin/sh -c 'root="$1"; shift; mount --bind "$0" "$root/newer-apt" &&
        mount -t proc proc "$root/proc" && exec chroot "$root" "$@"' "$NEWER_APT" "$ROOT" \
        apt-get -q -o Dir::Etc::SourceList=/newer-apt/sources.list \
        -o Dir::Etc::SourceParts=/nonexistent -o Dir::State::Lists=/newer-apt/lists \
        -o Acquire::Check-Valid-Until=false "$@"
}

newer_dovecot_is_held_back() {
    rm -rf "$NEWER_APT"
    mkdir -p "$NEWER_APT/lists/partial" "$ROOT/newer-apt"
    echo "deb $(host_mirror "") sid main" > "$NEWER_APT/sources.list"
    newer_apt update >/dev/null
    local kept removed
    kept=$(newer_apt -s upgrade | sed -n '/kept back:/,/^[^ ]/p')
    removed=$(newer_apt -s install dovecot-core | sed -n '/REMOVED:/,/^[^ ]/p')
    rmdir "$ROOT/newer-apt"
    printf 'apt-get upgrade: %s\napt-get install dovecot-core: %s\n' "$kept" "$removed"
    grep -qw dovecot-core <<<"$kept" && grep -qw dovecot-auth-velka <<<"$removed"
}

# Files (not directories) that the packages placed, recorded before removal.
PACKAGED_FILES="$TEST_DIR/packaged-files"
record_packaged_files() {
    in_test dpkg -L "${OUR_PACKAGES[@]}" | sort -u | while read -r path; do
        [ -d "$ROOT$path" ] && continue
        echo "$path"
    done > "$PACKAGED_FILES"
    [ -s "$PACKAGED_FILES" ]
}

remove_keeps_generated_config() {
    in_test apt-get remove -y -q "${OUR_PACKAGES[@]}"
    [ -f "$ROOT/etc/dovecot/conf.d/92-velka-service-imap.conf" ] &&
        in_test dpkg-query -W -f '${db:Status-Abbrev}\n' wendra | grep -q '^rc'
}

purge_leaves_nothing() {
    # Packages without configuration files are gone after the removal already, so
    # apt no longer knows them; dpkg purges whatever is left.
    in_test dpkg --purge "${OUR_PACKAGES[@]}"
    local left=0 path
    while read -r path; do
        if [ -e "$ROOT$path" ] || [ -L "$ROOT$path" ]; then
            echo "left behind: $path"
            left=1
        fi
    done < "$PACKAGED_FILES"
    for path in "$ROOT"/etc/dovecot/conf.d/9?-velka-* "$ROOT"/etc/dovecot/conf.d/20-velka-* \
                "$ROOT/usr/include/velka" "$ROOT/usr/share/doc/dovecot-auth-velka" \
                "$ROOT/usr/share/doc/wendra"; do
        if [ -e "$path" ]; then
            echo "left behind: ${path#"$ROOT"}"
            left=1
        fi
    done
    if in_test dpkg-query -W "${OUR_PACKAGES[@]}" 2>/dev/null | grep -q .; then
        echo "still known to dpkg:"
        in_test dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' "${OUR_PACKAGES[@]}" || true
        left=1
    fi
    # The administrator's own copy of the example stays.
    [ -f "$ROOT/etc/dovecot/conf.d/11-velka-passdb.conf" ] || { echo "11-velka-passdb.conf removed"; left=1; }
    [ $left -eq 0 ]
}

trap stop_dovecot EXIT
start_time=$(date +%s)
prepare_tree
check "packages install with apt into a fresh Debian $RELEASE tree" install_packages
check "the plug-in depends on the Dovecot ABI it was built for" depends_on_dovecot_abi
check "a program builds against the -dev package through pkg-config" build_account_tool
check "the documented passdb configuration passes doveconf" configure_dovecot
check "Dovecot starts with the plug-in" start_dovecot
check "IMAP login through the plug-in succeeds" imap_login alice@example.com 'S3cret pass' accepted
check "IMAP login with a wrong password is refused" imap_login alice@example.com wrong refused
check "IMAP login to an address without Maildir is refused" imap_login bob@example.com 'S3cret pass' refused
check "wendra(1) renders without warnings and covers every command" manual_page_covers_commands
check "wendra --set/--get-connections-limit" wendra_sets_and_reads_limit
check "wendra --set/--get-connections-per-ip-limit" wendra_per_ip_limit
check "IMAP login after wendra's reload" imap_login alice@example.com 'S3cret pass' accepted
if [ "$RELEASE" != sid ]; then
    check "a newer Dovecot ABI does not replace the one the plug-in needs" newer_dovecot_is_held_back
fi
stop_dovecot
check "package file lists are recorded" record_packaged_files
check "apt-get remove keeps the files wendra generated" remove_keeps_generated_config
check "apt-get purge leaves no file of the packages" purge_leaves_nothing

echo "install-test: $passed passed, $failed failed ($(( $(date +%s) - start_time )) s)"
if [ -n "$JUNIT" ]; then
    mkdir -p "$(dirname "$JUNIT")"
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<testsuite name=\"install-test\" tests=\"$((passed + failed))\" failures=\"$failed\">"
        printf '%s\n' "${cases[@]}"
        echo '</testsuite>'
    } > "$JUNIT"
fi
[ $failed -eq 0 ]

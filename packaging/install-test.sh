#!/bin/bash
# Installs the built Debian packages into a fresh Debian tree with Dovecot 2.4 and
# checks them as an administrator would: the passdb enabled by its include in
# 10-auth.conf starts, programs built with immediate binding or loading the library
# with dlopen make accounts, IMAP logins through the plug-in succeed, wendra sets and
# reads the connection limit; then the packages are removed and purged in both orders,
# and after each step Dovecot accepts its configuration or the removal named every
# file that keeps it from doing so; in the end nothing of theirs is left behind.
#
#   packaging/install-test.sh [DEBDIR [JUNIT_XML]]     default DEBDIR: build-results/debs
#
# The Debian base tree (Dovecot only) is made once with mmdebstrap and copied afresh
# for every run. Accounts are created by small programs compiled in the build tree of
# build-debs.sh against the -dev package, which tests its headers and pkg-config file. Dovecot listens on 127.0.0.1:18143 (IMAP) and 18110 (POP3) only.
#
# Environment: VELKA_RELEASE (trixie, the default, or sid: the release the packages were
# built for), VELKA_INSTALLTEST_DIR (default /var/cache/velka-installtest),
# VELKA_BUILDTREE_DIR (default /var/cache/velka-buildtree).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

DEBS="$(realpath -m "${1:-$DEFAULT_DEBS}")"
JUNIT="${2:-}"
TEST_DIR="${VELKA_INSTALLTEST_DIR:-/var/cache/velka-installtest}"
BASE="$TEST_DIR/$RELEASE-base"
ROOT="$TEST_DIR/$RELEASE"
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

stop_dovecot() { dovecot_stop "$ROOT" "$RUN_DIR"; }

start_dovecot() { dovecot_start "$ROOT" "$RUN_DIR" /var/log/dovecot-installtest.log; }

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
    ensure_tree "$BASE" "$BASE_PACKAGES" "$BASE/.velka-installtest-base" \
        "install-test: creating the Debian $RELEASE base tree in $BASE" ||
        die "the base tree could not be made"
    stop_dovecot
    rm -rf "$ROOT"
    cp -a "$BASE" "$ROOT"
    printf '#!/bin/sh\nexit 101\n' > "$ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$ROOT/usr/sbin/policy-rc.d"
    # Debian's own conf.d listens on the standard ports; the test keeps its files aside
    # and writes a 10-auth.conf of the same kind. The package's file goes to conf.d.
    mv "$ROOT/etc/dovecot/conf.d" "$ROOT/etc/dovecot/conf.d.debian"
    install -d -m 755 "$ROOT/etc/dovecot/conf.d"
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

# The account programs, compiled in the build tree against the unpacked -dev package
# only through what pkg-config says, then run in the test tree: one linked with
# immediate binding, as hardened builds are, one loading the library with dlopen.
build_account_tools() {
    local stage=/tmp/velka-stage
    rm -rf "$BUILD_ROOT$stage"
    mkdir -p "$BUILD_ROOT$stage"
    local deb
    for deb in "$DEBS"/dovecot-auth-velka_*.deb "$DEBS"/libauthdb-velka-dev_*.deb; do
        dpkg-deb -x "$deb" "$BUILD_ROOT$stage"
    done
    cp "$HERE/make-account.c" "$HERE/dlopen-account.c" "$HERE/same-password.h" "$BUILD_ROOT/tmp/"
    in_root "$BUILD_ROOT" /bin/sh -ec "
        export PKG_CONFIG_SYSROOT_DIR=$stage
        export PKG_CONFIG_PATH=$stage/usr/lib/\$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig
        cc -std=c11 -Wall -Wextra -Werror -Wl,-z,now -o /tmp/velka-make-account \
            /tmp/make-account.c \$(pkg-config --cflags --libs libauthdb_velka)
        cc -std=c11 -Wall -Wextra -Werror -Wl,-z,now -o /tmp/velka-dlopen-account \
            /tmp/dlopen-account.c -ldl"
    install -m 755 "$BUILD_ROOT/tmp/velka-make-account" "$BUILD_ROOT/tmp/velka-dlopen-account" \
        "$ROOT/usr/local/bin/"
}

# The documented set-up: the package's passdb file included from 10-auth.conf, the
# mail location and userdb in the main file, the panel's stand-in programs at their
# fixed paths, the mail user.
configure_dovecot() {
    local etc="$ROOT/etc/dovecot"
    install -m 644 "$HERE/dovecot.conf" "$etc/dovecot.conf"
    printf '%s\n' "# Authentication processes, as in Debian's 10-auth.conf." \
        "auth_mechanisms = plain login" "!include auth-velka.conf.ext" > "$etc/conf.d/10-auth.conf"
    install -d -m 755 "$ROOT/etc/velka-testbed"
    install_standins "$ROOT" velkarc wendra-server
    echo QMail > "$ROOT/etc/velka-testbed/smtp-server"
    tree_user "$ROOT" popuser /nonexistent
    tree_group "$ROOT" nofiles
    in_test doveconf -n >/dev/null
}

# alice through the program linked with -z now, carol through dlopen; bob has no
# Maildir: an alias, which the Maildir check refuses.
make_accounts() {
    in_test /usr/local/bin/velka-make-account alice example.com 'S3cret pass'
    in_test /usr/local/bin/velka-make-account bob example.com 'S3cret pass'
    in_test /usr/local/bin/velka-dlopen-account /usr/lib/dovecot/modules/auth/libauthdb_velka.so \
        carol example.com 'C4rol pass'
    install -d -m 700 "$ROOT$MAILNAMES/example.com/alice/Maildir" \
        "$ROOT$MAILNAMES/example.com/carol/Maildir"
    in_test chown -R popuser:popuser "$MAILNAMES"
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
    in_root_binding "$NEWER_APT" /newer-apt "$ROOT" apt-get -q -o Dir::Etc::SourceList=/newer-apt/sources.list \
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

# The diagnostic command of the plug-in's package finds everything in order.
auth_check_passes() { in_test velka-auth-check; }

# What the panel leaves on a server: wendra's limit and the short-name file that the
# panel writes through wendra's library, which needs the plug-in's settings library.
panel_files_written() {
    in_test wendra --set-connections-limit --limit=77
    echo "velka_allow_shortnames=yes" > "$ROOT/etc/dovecot/conf.d/12-velka-auth-custom.conf"
    in_test doveconf -n >/dev/null
}

dovecot_accepts_config() { in_test doveconf -n >/dev/null; }

# Removing the plug-in while the configuration uses it must name every file that does;
# doing what the message says (taking the include line out, deleting wendra's
# short-name file) gives a configuration that Dovecot accepts.
remove_plugin_names_files() {
    local out file
    out=$(in_test apt-get remove -y -q dovecot-auth-velka 2>&1)
    sed -n '/^dovecot-auth-velka: /,/^[^ ]/p' <<<"$out"
    for file in "$@"; do
        grep -qxF "  $file" <<<"$out" || { echo "not named: $file"; return 1; }
    done
    sed -i '/auth-velka\.conf\.ext/d' "$ROOT/etc/dovecot/conf.d/10-auth.conf"
    rm -f "$ROOT/etc/dovecot/conf.d/12-velka-auth-custom.conf"
    dovecot_accepts_config
}

purge_plugin_keeps_config_accepted() {
    in_test dpkg --purge dovecot-auth-velka libauthdb-velka-dev
    [ ! -e "$ROOT/etc/dovecot/conf.d/auth-velka.conf.ext" ] && dovecot_accepts_config
}

remove_wendra_keeps_generated_config() {
    in_test apt-get remove -y -q wendra
    [ -f "$ROOT/etc/dovecot/conf.d/92-velka-service-imap.conf" ] &&
        in_test dpkg-query -W -f '${db:Status-Abbrev}\n' wendra | grep -q '^rc' &&
        dovecot_accepts_config
}

purge_wendra_keeps_config_accepted() {
    in_test dpkg --purge wendra
    [ ! -e "$ROOT/etc/dovecot/conf.d/92-velka-service-imap.conf" ] &&
        [ ! -e "$ROOT/etc/dovecot/conf.d/12-velka-auth-custom.conf" ] && dovecot_accepts_config
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
    [ $left -eq 0 ]
}

trap stop_dovecot EXIT
start_time=$(date +%s)
prepare_tree
check "packages install with apt into a fresh Debian $RELEASE tree" install_packages
check "the plug-in depends on the Dovecot ABI it was built for" depends_on_dovecot_abi
check "programs build against the -dev package with -z now, or load it with dlopen" \
    build_account_tools
check "the passdb enabled through auth-velka.conf.ext passes doveconf" configure_dovecot
check "a program linked with -z now and one using dlopen make accounts" make_accounts
check "Dovecot starts with the plug-in" start_dovecot
check "IMAP login through the plug-in succeeds" imap_login alice@example.com 'S3cret pass' accepted
check "IMAP login of the account made through dlopen" imap_login carol@example.com 'C4rol pass' accepted
check "IMAP login with a wrong password is refused" imap_login alice@example.com wrong refused
check "velka-auth-check finds nothing wrong with the packaged set-up" auth_check_passes
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

# Removal, the plug-in first.
check "the panel's files are written" panel_files_written
check "removing the plug-in first names the files that still use it" remove_plugin_names_files \
    /etc/dovecot/conf.d/10-auth.conf /etc/dovecot/conf.d/12-velka-auth-custom.conf
check "purging the plug-in leaves a configuration Dovecot accepts" purge_plugin_keeps_config_accepted
check "removing wendra keeps its files, and Dovecot accepts them" remove_wendra_keeps_generated_config
check "purging wendra leaves a configuration Dovecot accepts" purge_wendra_keeps_config_accepted
check "apt-get purge leaves no file of the packages (plug-in first)" purge_leaves_nothing

# Removal, wendra first, in a fresh tree.
prepare_tree
check "packages install again into a fresh tree" install_packages
check "the passdb is enabled again, and the panel's files written" \
    eval 'configure_dovecot && panel_files_written'
check "removing wendra first keeps its files, and Dovecot accepts them" \
    remove_wendra_keeps_generated_config
check "purging wendra first leaves a configuration Dovecot accepts" \
    purge_wendra_keeps_config_accepted
check "removing the plug-in then names the file that still uses it" remove_plugin_names_files \
    /etc/dovecot/conf.d/10-auth.conf
check "purging the plug-in then leaves a configuration Dovecot accepts" \
    purge_plugin_keeps_config_accepted
check "apt-get purge leaves no file of the packages (wendra first)" purge_leaves_nothing

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

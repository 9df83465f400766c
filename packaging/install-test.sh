#!/bin/bash
# Installs the built Debian packages into a fresh Debian tree with Dovecot 2.4 and its
# own, unchanged configuration, and checks them as an administrator would: the quick
# start of the administrator's guide runs as written there (IMAP and POP3 logins with
# curl, velka-auth-check), programs built against the -dev package make accounts,
# wendra sets and reads limits, and the packages upgrade in place. Removing the plug-in
# while Dovecot uses it is refused and leaves Dovecot running; after the changes the
# refusal names, the removal goes through and dovecot-core's trigger restarts Dovecot
# into a configuration it accepts, with a passdb that answers. Then the packages are
# purged, in both orders, and nothing of theirs is left behind.
#
#   packaging/install-test.sh [DEBDIR [JUNIT_XML]]     default DEBDIR: build-results/debs
#
# The Debian base tree (Dovecot only) is made once with mmdebstrap and copied afresh
# for every run. Dovecot runs on its standard ports inside a network namespace of the
# test's own, so that it meets nobody else's; packages are fetched before, outside it.
# init scripts run as on a booted server (policy-rc.d allows them), so dovecot-core's
# trigger really restarts Dovecot.
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
RUN_DIR=/run/dovecot
MAILNAMES=/var/qmail/mailnames
CONF_D=/etc/dovecot/conf.d
# The password the guide's quick start gives alice@example.com.
QUICK_START_PASSWORD='Quick-start pass 1'

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

# The network namespace where the tree's programs run: loopback only.
NET_HOLDER=
start_network() {
    unshare --net -- sh -c 'ip link set lo up && exec sleep infinity' </dev/null >/dev/null 2>&1 &
    NET_HOLDER=$!
    local i
    for i in $(seq 1 50); do
        [ "$(readlink "/proc/$NET_HOLDER/ns/net")" != "$(readlink /proc/self/ns/net)" ] && return 0
        sleep 0.1
    done
    die "no network namespace"
}

# in_test CMD...: a program of the tree, in the test's network namespace. Its output
# goes through files: a Dovecot that it starts (an init script, dovecot-core's
# trigger) keeps what it inherited open, and a pipe would never end.
in_test() {
    local out err rc=0
    out=$(mktemp) err=$(mktemp)
    nsenter --net="/proc/$NET_HOLDER/ns/net" -- unshare --mount -- /bin/sh -c \
        'root="$1"; shift; mount --bind "$root" "$root" && mount -t proc proc "$root/proc" &&
         exec chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive "$@"' \
        sh "$ROOT" "$@" </dev/null >"$out" 2>"$err" || rc=$?
    cat "$out"
    cat "$err" >&2
    rm -f "$out" "$err"
    return $rc
}

dovecot_master() { dovecot_pid "$ROOT" "$RUN_DIR"; }

stop_dovecot() { dovecot_stop "$ROOT" "$RUN_DIR"; }

cleanup() {
    stop_dovecot || true
    [ -z "$NET_HOLDER" ] || kill "$NET_HOLDER" 2>/dev/null || true
}

# The fresh tree: a copy of the cached base with Debian's configuration as installed.
# The only addition is a log file, in the local.conf that Debian's dovecot.conf reads
# last, since the tree has no syslog.
prepare_tree() {
    ensure_tree "$BASE" "$BASE_PACKAGES" "$BASE/.velka-installtest-base" \
        "install-test: creating the Debian $RELEASE base tree in $BASE" ||
        die "the base tree could not be made"
    stop_dovecot
    rm -rf "$ROOT"
    cp -a "$BASE" "$ROOT"
    printf '#!/bin/sh\nexit 0\n' > "$ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$ROOT/usr/sbin/policy-rc.d"
    echo "log_path = /var/log/dovecot.log" > "$ROOT/etc/dovecot/local.conf"
    # The panel's service-control script, which wendra reloads Dovecot through.
    install -d -m 755 "$ROOT/etc/velka-testbed"
    install_standins "$ROOT" velkarc
    rm -rf "$ROOT/tmp/debs"
    mkdir -p "$ROOT/tmp/debs"
    local package
    for package in "${OUR_PACKAGES[@]}"; do
        cp "$DEBS/${package}"_*.deb "$ROOT/tmp/debs/"
    done
}

# What the quick start installs comes from Debian's archive: fetched here, on the
# host's network, so that apt finds it in its cache inside the namespace.
fetch_packages() {
    in_root "$ROOT" apt-get update -q >/dev/null
    in_root "$ROOT" sh -c 'cd /tmp/debs && apt-get install -y -q --download-only ./*.deb curl' \
        >/dev/null
}

# The shell blocks between the guide's quick-start markers, in order.
quick_start_script() {
    awk '/<!-- quick-start: begin -->/ { on = 1; next }
         /<!-- quick-start: end -->/ { on = 0 }
         on && /^```sh$/ { code = 1; next }
         on && code && /^```$/ { code = 0; next }
         on && code' "$1"
}

# The guide as the package ships it, run as written, in the directory that holds the
# packages, answering apt's questions with yes.
run_quick_start() {
    local script="$ROOT/tmp/quick-start.sh"
    dpkg-deb --fsys-tarfile "$DEBS"/dovecot-auth-velka_*.deb |
        tar -xO ./usr/share/doc/dovecot-auth-velka/ADMIN-GUIDE.md > "$ROOT/tmp/ADMIN-GUIDE.md"
    quick_start_script "$ROOT/tmp/ADMIN-GUIDE.md" > "$script"
    [ -s "$script" ] || { echo "the guide has no quick start"; return 1; }
    cmp -s "$script" <(quick_start_script "$REPO/docs/ADMIN-GUIDE.md") ||
        { echo "the packaged guide's quick start is not this tree's"; return 1; }
    grep -q 'imap://' "$script" && grep -q 'pop3://' "$script" && grep -q velka-auth-check "$script" ||
        { echo "the quick start lacks the IMAP or POP3 login or velka-auth-check"; return 1; }
    in_test sh -c 'cd /tmp/debs && yes | bash -ex /tmp/quick-start.sh'
}

# LOGIN PASSWORD EXPECTED: curl's IMAP login and EXAMINE INBOX; EXPECTED is curl's exit
# status (0 accepted, 67 refused).
imap_login() {
    local rc=0
    in_test curl --silent --show-error --user "$1:$2" --request 'EXAMINE INBOX' \
        imap://127.0.0.1/ || rc=$?
    echo "curl exit status $rc"
    [ "$rc" -eq "$3" ]
}

depends_on_dovecot_abi() {
    local provides depends
    provides=$(in_test dpkg-query -W -f '${Provides}' dovecot-core | grep -o 'dovecot-abi-[^ ,]*')
    depends=$(in_test dpkg-query -W -f '${Depends}' dovecot-auth-velka)
    echo "dovecot-core provides $provides; dovecot-auth-velka depends on: $depends"
    [[ ", $depends," == *", $provides,"* ]]
}

# Each package's version names the Dovecot release it was built for.
version_names_dovecot_release() {
    local dovecot package version
    dovecot=$(in_test dpkg-query -W -f '${source:Upstream-Version}' dovecot-core | sed 's/+.*//')
    for package in "${OUR_PACKAGES[@]}"; do
        version=$(dpkg-deb -f "$DEBS/${package}"_*.deb Version)
        echo "$package $version (Dovecot $dovecot)"
        [[ "$version" == *"+dovecot$dovecot" ]] || return 1
    done
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
    in_test sh -c 'apt-get install -y -q /tmp/debs/libauthdb-velka-dev_*.deb'
}

# bob through the program linked with -z now has no Maildir: an alias, which the
# Maildir check refuses; carol through dlopen has one.
make_accounts() {
    in_test /usr/local/bin/velka-make-account bob example.com 'S3cret pass'
    in_test /usr/local/bin/velka-dlopen-account /usr/lib/dovecot/modules/auth/libauthdb_velka.so \
        carol example.com 'C4rol pass'
    install -d -m 700 "$ROOT$MAILNAMES/example.com/carol/Maildir"
    in_test chown -R popuser:popuser "$MAILNAMES/example.com/carol"
}

wendra_sets_and_reads_limits() {
    in_test wendra --set-connections-limit --limit=77
    [ "$(in_test wendra --get-connections-limit)" = 77 ]
    in_test wendra --set-connections-per-ip-limit --limit=9
    [ "$(in_test wendra --get-connections-per-ip-limit)" = 9 ]
    [ -f "$ROOT$CONF_D/92-velka-service-imap.conf" ]
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

# Installing the packages again runs their upgrade path (prerm upgrade) with the plug-in
# in use: it goes through, and Dovecot restarts with the plug-in.
upgrade_in_place() {
    local before
    before=$(dovecot_master)
    in_test sh -c 'cd /tmp/debs && apt-get install -y -q --reinstall ./wendra_*.deb ./dovecot-auth-velka_*.deb'
    echo "Dovecot master before: $before, after: $(dovecot_master)"
    [ "$(dovecot_master)" != "$before" ]
    imap_login alice@example.com "$QUICK_START_PASSWORD" 0
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

# The short-name switch that the panel writes through wendra's library.
write_short_name_switch() {
    echo "velka_allow_shortnames=yes" > "$ROOT$CONF_D/12-velka-auth-custom.conf"
    in_test doveconf -n >/dev/null
}

REFUSAL="$TEST_DIR/refusal"

# FILE...: apt-get remove of the plug-in fails, its message names each FILE, the
# package stays installed, and the same Dovecot master still serves logins.
removal_is_refused() {
    local before rc=0 file
    before=$(dovecot_master)
    in_test apt-get remove -y -q dovecot-auth-velka > "$REFUSAL" 2>&1 || rc=$?
    sed -n '/^dovecot-auth-velka: /,/^Then /p' "$REFUSAL"
    [ $rc -ne 0 ] || { echo "removed"; return 1; }
    for file in "$@"; do
        grep -q "^  $file:[0-9]*:" "$REFUSAL" || { echo "not named: $file"; return 1; }
    done
    in_test dpkg-query -W -f '${db:Status-Abbrev}\n' dovecot-auth-velka | grep -q '^ii'
    echo "Dovecot master before: $before, after: $(dovecot_master)"
    [ "$(dovecot_master)" = "$before" ]
    imap_login alice@example.com "$QUICK_START_PASSWORD" 0
}

# Does what the refusal says, and nothing else: comments out each line it names (or
# deletes the file it says to delete) and uncomments the system users' passdb on the
# line it names.
follow_refusal() {
    local file line
    while read -r file line; do
        if grep -A1 -F "  $file:$line:" "$REFUSAL" | grep -q 'delete this file'; then
            rm "$ROOT$file"
        else
            sed -i "${line}s/^/#/" "$ROOT$file"
        fi
        echo "changed $file:$line"
    done < <(sed -nE 's/^  (\/[^:]+):([0-9]+):.*/\1 \2/p' "$REFUSAL")
    while read -r line file; do
        sed -i "${line}s/^[[:space:]]*#[[:space:]]*//" "$ROOT$file"
        echo "uncommented $file:$line"
    done < <(sed -nE 's/^on line ([0-9]+) of (\/[^ ]+)\.$/\1 \2/p' "$REFUSAL")
    in_test doveconf -n >/dev/null
}

# The removal goes through; dovecot-core's trigger restarts Dovecot, which accepts its
# configuration and has a passdb that answers: an unknown user is refused (77), not a
# temporary failure (75) as with no passdb at all.
removal_restarts_dovecot() {
    local before rc=0
    before=$(dovecot_master)
    in_test apt-get remove -y -q dovecot-auth-velka
    echo "Dovecot master before: $before, after: $(dovecot_master || echo none)"
    [ "$(dovecot_master)" != "$before" ]
    in_test doveconf -n >/dev/null
    in_test doveadm auth test nosuchuser@example.com password || rc=$?
    echo "doveadm auth test: exit status $rc"
    [ $rc -eq 77 ]
}

purge_plugin_keeps_dovecot_running() {
    in_test dpkg --purge dovecot-auth-velka libauthdb-velka-dev
    [ ! -e "$ROOT$CONF_D/auth-velka.conf.ext" ]
    dovecot_master && in_test doveconf -n >/dev/null
}

remove_wendra_keeps_generated_config() {
    in_test apt-get remove -y -q wendra
    [ -f "$ROOT$CONF_D/92-velka-service-imap.conf" ] &&
        in_test dpkg-query -W -f '${db:Status-Abbrev}\n' wendra | grep -q '^rc' &&
        in_test doveconf -n >/dev/null
}

purge_wendra_keeps_config_accepted() {
    in_test dpkg --purge wendra
    [ ! -e "$ROOT$CONF_D/92-velka-service-imap.conf" ] &&
        [ ! -e "$ROOT$CONF_D/12-velka-auth-custom.conf" ] && in_test doveconf -n >/dev/null
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
    for path in "$ROOT"$CONF_D/9?-velka-* "$ROOT"$CONF_D/20-velka-* \
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

trap cleanup EXIT
start_time=$(date +%s)
start_network

# The plug-in removed first.
prepare_tree
check "the packages and curl are fetched for a fresh Debian $RELEASE tree" fetch_packages
check "the guide's quick start runs as written: IMAP and POP3 logins, velka-auth-check" \
    run_quick_start
check "IMAP login with a wrong password is refused" imap_login alice@example.com wrong 67
check "the plug-in depends on the Dovecot ABI it was built for" depends_on_dovecot_abi
check "every package's version names the Dovecot release" version_names_dovecot_release
check "programs build against the -dev package with -z now, or load it with dlopen" \
    build_account_tools
check "a program linked with -z now and one using dlopen make accounts" make_accounts
check "IMAP login of the account made through dlopen" imap_login carol@example.com 'C4rol pass' 0
check "IMAP login to an address without Maildir is refused" \
    imap_login bob@example.com 'S3cret pass' 67
check "wendra(1) renders without warnings and covers every command" manual_page_covers_commands
check "wendra sets and reads both limits, reloading Dovecot" wendra_sets_and_reads_limits
check "IMAP login after wendra's reload" imap_login alice@example.com "$QUICK_START_PASSWORD" 0
if [ "$RELEASE" != sid ]; then
    check "a newer Dovecot ABI does not replace the one the plug-in needs" newer_dovecot_is_held_back
fi
check "an upgrade in place with the plug-in in use restarts Dovecot with it" upgrade_in_place
check "package file lists are recorded" record_packaged_files
check "the panel's short-name switch is written" write_short_name_switch
check "removing the plug-in in use is refused, naming the files, and Dovecot runs on" \
    removal_is_refused $CONF_D/10-auth.conf $CONF_D/12-velka-auth-custom.conf
check "the configuration is changed as the refusal says" follow_refusal
check "then the removal restarts Dovecot with a passdb that answers" removal_restarts_dovecot
check "purging the plug-in leaves Dovecot running" purge_plugin_keeps_dovecot_running
check "removing wendra keeps its files, and Dovecot accepts them" remove_wendra_keeps_generated_config
check "purging wendra leaves a configuration Dovecot accepts" purge_wendra_keeps_config_accepted
check "apt-get purge leaves no file of the packages (plug-in first)" purge_leaves_nothing

# wendra removed first, in a fresh tree.
prepare_tree
check "the packages are fetched again for a fresh tree" fetch_packages
check "the quick start runs again" run_quick_start
check "wendra writes its files, the panel its short-name switch" \
    eval 'wendra_sets_and_reads_limits && write_short_name_switch'
check "removing wendra first keeps its files, and Dovecot accepts them" \
    remove_wendra_keeps_generated_config
check "purging wendra first leaves a configuration Dovecot accepts" \
    purge_wendra_keeps_config_accepted
check "removing the plug-in in use is then refused, naming 10-auth.conf" \
    removal_is_refused $CONF_D/10-auth.conf
check "the configuration is changed as the refusal says, again" follow_refusal
check "then the removal restarts Dovecot with a passdb that answers, again" \
    removal_restarts_dovecot
check "purging the plug-in then leaves Dovecot running" purge_plugin_keeps_dovecot_running
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

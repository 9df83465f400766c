# Debian root trees with a real Dovecot 2.4, for the test bed and the packaging scripts:
# making them, running their programs, starting and stopping their Dovecot. Sourced,
# not run. A tree is made for one Debian suite:
#   trixie   Debian 13, Dovecot 2.4.1 (the oldest 2.4 release we support)
#   sid      Debian unstable, the newest Dovecot 2.4 that Debian's archive carries
# VELKA_RELEASE picks the suite (default trixie).

DEBIAN_TREE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
VELKA_RELEASES="trixie sid"
RELEASE="${VELKA_RELEASE:-trixie}"
case " $VELKA_RELEASES " in
    *" $RELEASE "*) ;;
    *) echo "${0##*/}: unknown VELKA_RELEASE '$RELEASE' (one of: $VELKA_RELEASES)" >&2; exit 2 ;;
esac

# host_mirror SUFFIX: the Debian mirror the host already uses (SUFFIX "" for the main
# archive, "-security" for security updates), so that the trees come from the same place.
host_mirror() {
    local suffix="$1" uri
    uri=$(grep -rhoE "https?://[^ ]+/debian${suffix}/?( |$)" /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
          | head -n1 | tr -d ' ' || true)
    [ -n "$uri" ] || uri="http://deb.debian.org/debian${suffix}"
    echo "${uri%/}"
}

# make_tree ROOT PACKAGES: a minimal tree of $RELEASE with the given packages (comma
# separated), built beside ROOT and moved into place only when complete.
make_tree() {
    local root="$1" packages="$2" main
    command -v mmdebstrap >/dev/null ||
        { echo "${0##*/}: mmdebstrap is missing: run scripts/install-deps.sh" >&2; return 1; }
    main=$(host_mirror "")
    local sources=() options=()
    if [ "$RELEASE" = sid ]; then
        # Unstable's Release files are valid for days only, and the archive reachable
        # here can be older than that; unstable has no -updates or -security suites.
        sources=("deb $main sid main")
        options=(--aptopt='Acquire::Check-Valid-Until "false"')
    else
        sources=("deb $main $RELEASE main" "deb $main $RELEASE-updates main"
                 "deb $(host_mirror "-security") $RELEASE-security main")
    fi
    rm -rf "$root.tmp"
    mkdir -p "$(dirname "$root")"
    mmdebstrap --variant=minbase --include="$packages" \
        --aptopt='APT::Install-Recommends "false"' "${options[@]}" \
        "$RELEASE" "$root.tmp" "${sources[@]}" >&2 || return 1
    rm -rf "$root"
    mv "$root.tmp" "$root"
}

# ensure_tree ROOT PACKAGES STAMP MESSAGE: make_tree, unless the tree at ROOT was made
# with the same packages (recorded in the file STAMP); MESSAGE goes to the error output
# before a tree is made.
ensure_tree() {
    local root="$1" packages="$2" stamp="$3" message="$4"
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ] && return 0
    echo "$message" >&2
    make_tree "$root" "$packages" || return 1
    echo "$packages" > "$stamp"
}

# in_root ROOT CMD...: runs a program of the tree in a private mount namespace, so that
# nothing is mounted on the host.
in_root() { in_root_binding "" "" "$@"; }

# The tree's root is bind-mounted onto itself, so that inside the chroot "/" is a mount
# point, as on a real system (wendra's private view of conf.d needs one).
# in_root_binding DIR MOUNTPOINT ROOT CMD...: in_root, with the host's DIR mounted at
# MOUNTPOINT of the tree (an existing directory) for that program alone; no mount
# when DIR is empty.
in_root_binding() {
    local dir="$1" mountpoint="$2" root="$3"; shift 3
    unshare --mount -- /bin/sh -c 'dir="$1" mountpoint="$2" root="$3"; shift 3
        mount --bind "$root" "$root" &&
        { [ -z "$dir" ] || mount --bind "$dir" "$root$mountpoint"; } &&
        mount -t proc proc "$root/proc" && exec chroot "$root" "$@"' \
        sh "$dir" "$mountpoint" "$root" "$@"
}

# tree_user ROOT USER HOME, tree_group ROOT GROUP: a system user (without a login or a
# home of its own) or group of the tree, unless it has one of that name.
tree_user() {
    local root="$1" user="$2" home="$3"
    in_root "$root" getent passwd "$user" >/dev/null ||
        in_root "$root" useradd --system --home-dir "$home" --no-create-home \
            --shell /usr/sbin/nologin "$user"
}

tree_group() {
    in_root "$1" getent group "$2" >/dev/null || in_root "$1" groupadd --system "$2"
}

# install_standins ROOT NAME...: the panel's programs of those names, as the test bed's
# stand-ins, at the panel's fixed place in the tree.
install_standins() {
    local dir="$1/usr/local/vqa/admin/sbin" name; shift
    install -d -m 755 "$dir"
    for name in "$@"; do
        install -m 755 "$DEBIAN_TREE_DIR/standins/$name" "$dir/"
    done
}

# dovecot_pid ROOT RUN_DIR: the PID of the tree's running Dovecot master, whose
# base_dir is RUN_DIR; fails when none runs.
dovecot_pid() {
    local file="$1$2/master.pid" pid
    [ -f "$file" ] || return 1
    pid=$(cat "$file")
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
    echo "$pid"
}

# dovecot_start ROOT RUN_DIR [LOG]: starts the tree's Dovecot unless it runs, and waits
# for the master's pid file and its auth-client socket, which it creates with its
# listeners before it serves; probing a port instead would leave aborted logins in the
# log. Its output goes nowhere: the daemon keeps it open, so a pipe would never end.
# When it does not come up, the end of its LOG (a path in the tree) goes to the error
# output.
dovecot_start() {
    local root="$1" run_dir="$2" log="${3:-}"
    dovecot_pid "$root" "$run_dir" >/dev/null && return 0
    install -d -m 755 "$root$run_dir"
    dovecot_launch "$root" "$run_dir" && return 0
    [ -z "$log" ] || tail -n 20 "$root$log" >&2 2>/dev/null
    return 1
}

dovecot_launch() {
    local root="$1" run_dir="$2" i
    in_root "$root" /usr/sbin/dovecot -c /etc/dovecot/dovecot.conf </dev/null >/dev/null 2>&1 ||
        return 1
    for i in $(seq 1 100); do
        dovecot_pid "$root" "$run_dir" >/dev/null && [ -S "$root$run_dir/auth-client" ] && return 0
        sleep 0.1
    done
    return 1
}

# dovecot_stop ROOT RUN_DIR: stops the tree's Dovecot and waits until it is gone. A
# master still busy with a reload (one that finds a certificate file missing takes
# about ten seconds) handles the signal only afterwards: it gets 30 s.
dovecot_stop() {
    local pid i
    pid=$(dovecot_pid "$1" "$2") || return 0
    kill "$pid"
    for i in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# Shared helpers of the packaging scripts: the Debian mirror of the host and running
# programs inside a root tree. Sourced, not run.

die() { echo "${0##*/}: $*" >&2; exit 1; }

source "$(dirname "${BASH_SOURCE[0]}")/../testbed/host-mirror.sh"

# make_tree ROOT PACKAGES: a minimal Debian 13 tree with the given packages (comma
# separated), built beside ROOT and moved into place only when complete.
make_tree() {
    local root="$1" packages="$2" main security
    command -v mmdebstrap >/dev/null || die "mmdebstrap is missing: run scripts/install-deps.sh"
    main=$(host_mirror "")
    security=$(host_mirror "-security")
    rm -rf "$root.tmp"
    mkdir -p "$(dirname "$root")"
    mmdebstrap --variant=minbase --include="$packages" \
        --aptopt='APT::Install-Recommends "false"' \
        trixie "$root.tmp" \
        "deb $main trixie main" \
        "deb $main trixie-updates main" \
        "deb $security trixie-security main" >&2
    rm -rf "$root"
    mv "$root.tmp" "$root"
}

# in_root ROOT CMD...: runs a program of the tree in a private mount namespace, so that
# nothing is mounted on the host.
in_root() {
    local root="$1"; shift
    unshare --mount -- /bin/sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$root" "$@"
}

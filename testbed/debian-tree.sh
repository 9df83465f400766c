# Debian root trees with a real Dovecot 2.4, for the test bed and the packaging scripts.
# Sourced, not run. A tree is made for one Debian suite:
#   trixie   Debian 13, Dovecot 2.4.1 (the oldest 2.4 release we support)
#   sid      Debian unstable, the newest Dovecot 2.4 that Debian's archive carries
# VELKA_RELEASE picks the suite (default trixie).

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

# in_root ROOT CMD...: runs a program of the tree in a private mount namespace, so that
# nothing is mounted on the host.
in_root() {
    local root="$1"; shift
    unshare --mount -- /bin/sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$root" "$@"
}

#!/bin/bash
# Builds the Debian packages of the project inside a build tree of one Debian release
# (kept apart from the test bed, created once and reused), checks them with lintian and
# copies them to an output directory. The plug-in package depends on the Dovecot ABI of
# that release.
#
#   packaging/build-debs.sh [OUTDIR]      default OUTDIR: build-results/debs
#
# Environment: VELKA_RELEASE (trixie, the default, or sid: see testbed/debian-tree.sh);
# VELKA_BUILDTREE_DIR (default /var/cache/velka-buildtree, a folder per release);
# DEB_BUILD_OPTIONS (default "nocheck parallel=N": the unit tests run elsewhere).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

OUT="$(realpath -m "${1:-$DEFAULT_DEBS}")"
ROOT="$BUILD_ROOT"
PACKAGES=build-essential,debhelper,dpkg-dev,fakeroot,lintian,cmake,pkg-config,dovecot-dev,libboost-dev,libboost-program-options-dev,libboost-regex-dev,libidn-dev,libsqlite3-dev,libssl-dev,libcrypt-dev,libgtest-dev,libgmock-dev
SRC=/build/velka

ensure_tree "$ROOT" "$PACKAGES" "$ROOT/.velka-buildtree-ready" \
    "build-debs: creating the Debian $RELEASE build tree in $ROOT" ||
    die "the build tree could not be made"

# A clean copy of the sources: no build directories or results of the host.
rm -rf "$ROOT/build"
mkdir -p "$ROOT$SRC"
tar -C "$REPO" --exclude=./.git --exclude='./build*' --exclude=./build-results \
    --exclude=__pycache__ -cf - . | tar -C "$ROOT$SRC" -xf -

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-nocheck parallel=$(nproc)}"
profiles=()
if [[ " $DEB_BUILD_OPTIONS " == *" nocheck "* ]]; then
    profiles=(-Pnocheck)
fi
in_root "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
    DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS" \
    /bin/sh -c 'cd "$0" && exec dpkg-buildpackage -us -uc -b "$@"' "$SRC" "${profiles[@]}"

changes=$(cd "$ROOT/build" && ls velka*_*.changes | head -n1)
[ -n "$changes" ] || die "no .changes file"
echo "build-debs: lintian $changes" >&2
in_root "$ROOT" /bin/sh -c "cd /build && lintian --fail-on error --info --display-info $changes"

rm -rf "$OUT"
mkdir -p "$OUT"
cp "$ROOT"/build/*.deb "$OUT/"
ls -l "$OUT" >&2

# Shared helpers of the packaging scripts: the Debian release (VELKA_RELEASE), making
# and entering its root trees, where the packages go and are built. Sourced, not run.

die() { echo "${0##*/}: $*" >&2; exit 1; }

source "$(dirname "${BASH_SOURCE[0]}")/../testbed/debian-tree.sh"

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO="$(dirname "$HERE")"
DEFAULT_DEBS="$REPO/build-results/debs"
# The build tree of build-debs.sh, where install-test.sh also compiles its programs.
BUILD_ROOT="${VELKA_BUILDTREE_DIR:-/var/cache/velka-buildtree}/$RELEASE"

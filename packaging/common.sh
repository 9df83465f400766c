# Shared helpers of the packaging scripts: the Debian release (VELKA_RELEASE), making
# and entering its root trees. Sourced, not run.

die() { echo "${0##*/}: $*" >&2; exit 1; }

source "$(dirname "${BASH_SOURCE[0]}")/../testbed/debian-tree.sh"

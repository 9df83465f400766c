# Shared settings of the project's scripts; sourced, not run.
REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${VELKA_BUILD_DIR:-$REPO/build}"
ASAN_BUILD_DIR="${VELKA_ASAN_BUILD_DIR:-$REPO/build-asan}"
TESTBED="$REPO/testbed/testbed.sh"
JOBS="${VELKA_JOBS:-$(nproc)}"

step() { printf '\n==> %s\n' "$*" >&2; }

# The normal build links Boost and libidn statically so that the same wendra runs here
# and inside the Debian 13 test bed; the plug-in is built against the test bed's
# Dovecot 2.4 headers.
configure_and_build() {
    local dir="$1"; shift
    cmake -S "$REPO" -B "$dir" -DDOVECOT_ROOT="$("$TESTBED" root)" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

build_normal() {
    configure_and_build "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKA_STATIC_DEPS=ON \
        -DVELKA_BUILD_BENCH=ON
}

build_asan() {
    configure_and_build "$ASAN_BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DVELKA_SANITIZE=ON
}

# Shared settings of the project's scripts; sourced, not run.
REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${VELKA_BUILD_DIR:-$REPO/build}"
ASAN_BUILD_DIR="${VELKA_ASAN_BUILD_DIR:-$REPO/build-asan}"
TESTBED="$REPO/testbed/testbed.sh"
JOBS="${VELKA_JOBS:-$(nproc)}"

step() { printf '\n==> %s\n' "$*" >&2; }

# The Debian releases whose Dovecot 2.4 the tests run against: the oldest and the newest.
RELEASES=(trixie sid)
MAIN_RELEASE="${VELKA_RELEASE:-trixie}"   # the one the normal build's plug-in is for

# The normal build links Boost and libidn statically so that the same wendra runs here
# and inside every test bed; its plug-in is built against the headers of the test bed
# of VELKA_RELEASE (Debian 13's Dovecot 2.4.1 by default).
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

# The plug-in for another release's Dovecot: only the two Dovecot modules, in a build
# directory of that release; everything else does not depend on the Dovecot release.
plugin_build_dir() {
    if [ "$1" = "$MAIN_RELEASE" ]; then
        echo "$BUILD_DIR"
    else
        echo "$REPO/build-$1"
    fi
}

build_plugin() {
    local release="$1" dir
    dir=$(plugin_build_dir "$release")
    [ "$dir" = "$BUILD_DIR" ] && return 0
    cmake -S "$REPO" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKA_BUILD_TESTS=OFF \
        -DDOVECOT_ROOT="$(VELKA_RELEASE="$release" "$TESTBED" root)" >/dev/null &&
        cmake --build "$dir" -j "$JOBS" --target authdb_velka velka_settings
}

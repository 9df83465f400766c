#!/bin/bash
# Installs the Debian 12 packages that building and testing this tree needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    libboost-dev libboost-program-options-dev libboost-regex-dev
    libidn-dev libsqlite3-dev libssl-dev libcrypt-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-dev clang-format
    python3 python3-pytest
    mmdebstrap uidmap
    sqlite3 openssl curl util-linux iproute2 procps valgrind strace
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

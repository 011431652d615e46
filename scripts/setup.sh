#!/usr/bin/env bash
# Installs every Debian 12 package the project needs, then configures and builds.
#   scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5svg5
    fonts-wqy-microhei            # CJK glyphs for the dialogs' Chinese texts
    nginx-light                   # real HTTP server for the end-to-end tests and the demo
    python3                       # artwork script
    curl time util-linux          # benchmark reference, /usr/bin/time, setpriv/runuser/unshare
    libssl-dev                    # OpenSSL libcrypto: Ed25519, BLAKE2b, scrypt for update signatures
    minisign                      # the reference tool the signature tests check against
    libzstd-dev zstd              # compressed copies and patches; the zstd command reads ours
    libcurl4-openssl-dev          # HTTPS over HTTP/2 (nghttp2) with bounded headers
    openssl                       # certificates for the HTTPS end-to-end test
    tinyproxy-bin                 # a real forward proxy for the proxy end-to-end tests (no service)
    clang libclang-rt-14-dev      # libFuzzer and the sanitizers' runtimes for the fuzz targets
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S "$here" -B "$build" -G Ninja "$@"
cmake --build "$build"

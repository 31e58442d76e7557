#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Boost (headers), libuv and perf serve only the benchmarks: bench_scale's reader
# peers and its system-call counts; the build configures without them. netbase brings
# /etc/services and /etc/protocols, where the socket tests look service and protocol
# names up; a minimal Debian has neither.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format libgtest-dev libbenchmark-dev
          pkg-config socat util-linux procps netbase microsocks dante-server openssh-server openssh-client
          libboost-dev libuv1-dev linux-perf)
# "example": only what building and running the example program needs.
if [ "${1:-}" = example ]; then
    packages=(cmake ninja-build g++)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "Debian packages: all ${#packages[@]} needed are installed"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
echo "installing Debian packages: ${missing[*]}"
# apt and the packages' own scripts talk even with -qq; what they say is kept for a
# failure, and only then shown.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "installing ${missing[*]} failed" >&2
    exit 1
fi

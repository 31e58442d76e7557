#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Boost (headers), libuv and perf serve only the benchmarks: bench_scale's reader
# peers and its system-call counts; the build configures without them.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format libgtest-dev libbenchmark-dev
          pkg-config socat util-linux procps microsocks dante-server openssh-server openssh-client
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
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

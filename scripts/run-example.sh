#!/usr/bin/env bash
# Builds the example program and runs it against the built-in simulated sensor on a
# pseudo-terminal. On a fresh Debian machine, run as root, it first installs what the
# build needs (compiler, CMake, Ninja); GoogleTest and Google Benchmark are not needed.
# Set-up and build progress go to standard error: standard output is the program's.
# Arguments go to the program, e.g.
#   bash scripts/run-example.sh --seconds 5
#   bash scripts/run-example.sh --serial /dev/ttyUSB0 --baud 9600 --data-bits 8 --parity none --stop-bits 1
set -euo pipefail
cd "$(dirname "$0")/.."
{
    bash scripts/install-deps.sh example
    cmake --preset example >/dev/null
    cmake --build --preset example --target sensor_example
} 1>&2
exec build/example/tools/sensor_example "$@"

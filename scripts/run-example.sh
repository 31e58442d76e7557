#!/usr/bin/env bash
# Builds the example program (release preset) and runs it against the built-in
# simulated sensor on a pseudo-terminal. Arguments go to the program, e.g.
#   bash scripts/run-example.sh --seconds 5
#   bash scripts/run-example.sh --serial /dev/ttyUSB0 --baud 9600 --data-bits 8 --parity none --stop-bits 1
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target sensor_example
exec build/release/tools/sensor_example "$@"

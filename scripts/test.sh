#!/usr/bin/env bash
# Builds everything from nothing and runs every test: a plain optimised build, then
# AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer on the
# threaded parts, then the fuzz targets for a bounded time. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-20}
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

step "dependencies"
bash scripts/install-deps.sh

step "format"
bash scripts/check-format.sh

for preset in release asan-ubsan tsan; do
    step "build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

step "tests: release"
ctest --preset release -j "$jobs"
step "tests: asan-ubsan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan-ubsan -j "$jobs"
step "tests: tsan (threaded)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan -j "$jobs" --no-tests=ignore

step "package: install, then build a consumer with find_package and with pkg-config"
prefix="build/package/install"
rm -rf build/package
cmake --install build/release --prefix "$prefix" >/dev/null
cmake -S tests/package/consumer -B build/package/consumer -G Ninja \
    -DCMAKE_PREFIX_PATH="$PWD/$prefix" >/dev/null
cmake --build build/package/consumer >/dev/null
build/package/consumer/consumer
g++ -std=c++20 tests/package/consumer/main.cpp -o build/package/consumer-pc \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs sensorlib)
build/package/consumer-pc

step "fuzz (${FUZZ_SECONDS}s each)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    corpus="build/fuzz/corpus/$(basename "$target")"
    mkdir -p "$corpus"
    seeds="fuzz/corpus/$(basename "$target")"
    [ -d "$seeds" ] || seeds=""
    log="build/fuzz/$(basename "$target").log"
    if ! "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=1 \
            "$corpus" $seeds >"$log" 2>&1; then
        tail -40 "$log"
        echo "fuzz target $target failed"
        exit 1
    fi
    echo "$(basename "$target"): $(grep -E 'stat::number_of_executed_units' "$log" || echo ran)"
done

step "all tests passed"

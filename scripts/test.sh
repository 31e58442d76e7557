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

step "format, and the README's code"
bash scripts/check-format.sh
bash scripts/check-readme-code.sh

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

step "package: install static and shared builds; build a consumer of each with find_package and pkg-config, and the README's owner, which runs against the simulator"
rm -rf build/package
cmake -S . -B build/package/shared-build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
    -DSENSORLIB_WERROR=ON -DSENSORLIB_BUILD_TESTS=OFF -DSENSORLIB_BUILD_TOOLS=OFF >/dev/null
cmake --build build/package/shared-build -j "$jobs" >/dev/null
# Runs the README's owner (a program built against an installed package) against the
# simulated sensor over TCP and over a pseudo-terminal: it must print its 20 distances.
run_readme_owner() { # PROGRAM
    local sim_arguments output
    for sim_arguments in "--tcp 0" "--pty"; do
        # shellcheck disable=SC2086 # two words
        coproc SIM { exec build/release/tools/sensor_sim $sim_arguments; }
        local where=""
        read -r -t 10 where <&"${SIM[0]}" || true
        output=$(timeout 30 "$1" "$where" 2>&1) || true
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" || true
        if [ "$(grep -c '^[0-9]*\.[0-9]* m$' <<<"$output")" -ne 20 ]; then
            printf '%s against sensor_sim %s (%s) did not print 20 distances:\n%s\n' \
                "$1" "$sim_arguments" "$where" "$output"
            exit 1
        fi
    done
}
check_package() { # KIND BUILD_DIR
    local prefix="$PWD/build/package/$1"
    cmake --install "$2" --prefix "$prefix" >/dev/null
    cmake -S tests/package/consumer -B "build/package/consumer-$1" -G Ninja \
        -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "build/package/consumer-$1" >/dev/null
    "build/package/consumer-$1/consumer"
    g++ -std=c++20 tests/package/consumer/main.cpp -o "build/package/consumer-pc-$1" -Wl,-rpath,"$prefix/lib" \
        $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs sensorlib)
    "build/package/consumer-pc-$1"
    cmake -S tests/package/readme_owner -B "build/package/readme_owner-$1" -G Ninja \
        -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "build/package/readme_owner-$1" >/dev/null
    run_readme_owner "build/package/readme_owner-$1/readme_owner"
    # Headers that only the libraries' sources include stay behind.
    for private in sensorlib/Vkr25FamilyProcessorImpl.h sensortransports/Termios2.h; do
        [ ! -e "$prefix/include/sensorlib/$private" ] || { echo "$private is installed"; exit 1; }
    done
}
check_package static build/release
check_package shared build/package/shared-build
for lib in sensorlib sensorplatform sensortransports; do
    readelf -d "build/package/shared/lib/lib$lib.so" | grep -q "SONAME.*\[lib$lib\.so\.[0-9]" ||
        { echo "lib$lib.so has no versioned SONAME"; exit 1; }
done
for consumer in build/package/consumer-shared/consumer build/package/consumer-pc-shared; do
    ldd "$consumer" | grep -q "libsensortransports\.so\.[0-9].* => $PWD/build/package/shared/lib/" ||
        { echo "$consumer does not load the installed shared library"; exit 1; }
done

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

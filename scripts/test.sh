#!/usr/bin/env bash
# Builds everything from nothing and runs every test: a plain optimised build, then
# AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer on the
# threaded parts, then the README's install recipe with programs built against the
# install, then the fuzz targets for a bounded time. Fails on any failure.
# CMAKE_BUILD_PARALLEL_LEVEL, when set, is the job count of the builds and of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-20}
# The job count of every build and of ctest: CMAKE_BUILD_PARALLEL_LEVEL when set (as
# cmake --build itself reads it), the number of processors otherwise.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
if ! [[ $jobs =~ ^[1-9][0-9]*$ ]]; then
    echo "CMAKE_BUILD_PARALLEL_LEVEL must be a whole number above 0, not '$jobs'" >&2
    exit 1
fi
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

step() { printf '\n==== %s\n' "$*"; }
# One line as each part of a stage starts, so that no long stretch passes in silence.
say() { printf '  %s\n' "$*"; }
# Runs a command with its output in LOG; when it fails, shows the end of LOG and stops.
quietly() { # LOG COMMAND...
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 60 "$log"
        printf 'failed: %s\n(all of its output is in %s)\n' "$*" "$log"
        exit 1
    fi
}

step "dependencies"
bash scripts/install-deps.sh

step "format, and the README's code"
bash scripts/check-format.sh
bash scripts/check-readme-code.sh

for preset in release asan-ubsan tsan; do
    step "build: $preset ($jobs jobs)"
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

step "package: the README's install recipe, static and shared, without GoogleTest or Google Benchmark; a consumer and the README's owner built against each install (find_package, pkg-config) and run"
package=build/package
logs=$package/logs
rm -rf "$package"
mkdir -p "$logs" "$package/no-pkg-config"

# The README's recipe, in the README's build directory of each kind (build/install-static,
# build/install-shared), kept between runs as a user's would be. GoogleTest and Google
# Benchmark stay installed for the other stages, so they are hidden: CMake may not look
# for them, and pkg-config looks in an empty directory, where their .pc files are not.
# A build that still reached them fails below.
install_recipe() { # KIND CMAKE_ARGUMENTS...
    local kind=$1 build="build/install-$1" prefix="$PWD/$package/$1"
    shift
    say "$kind: configure: cmake --preset example -B $build${*:+ $*} (GoogleTest and Google Benchmark hidden)"
    quietly "$logs/$kind-configure.log" env -u PKG_CONFIG_PATH PKG_CONFIG_LIBDIR="$PWD/$package/no-pkg-config" \
        cmake --preset example -B "$build" "$@" --no-warn-unused-cli \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
    say "$kind: build: cmake --build $build -j $jobs"
    quietly "$logs/$kind-build.log" cmake --build "$build" -j "$jobs"
    # The other builds treat warnings as errors; the recipe's build must be as clean.
    if grep -q 'warning:' "$logs/$kind-build.log"; then
        grep -B2 -A6 'warning:' "$logs/$kind-build.log" | head -60
        echo "the $kind build of the install recipe warns"
        exit 1
    fi
    if grep -Eiq 'gtest|gmock|benchmark' "$build/build.ninja"; then
        echo "the $kind build of the install recipe uses GoogleTest or Google Benchmark"
        exit 1
    fi
    say "$kind: install: cmake --install $build --prefix $prefix"
    quietly "$logs/$kind-install.log" cmake --install "$build" --prefix "$prefix"
    local file
    for file in lib/cmake/SensorLib/SensorLibConfig.cmake lib/pkgconfig/sensorlib.pc; do
        [ -f "$prefix/$file" ] || { echo "the $kind install has no $file"; exit 1; }
    done
    for file in bin/sensor_sim bin/sensor_example; do
        [ -x "$prefix/$file" ] || { echo "the $kind install has no program $file"; exit 1; }
    done
    # The kind asked for, whatever the directory's cache held before.
    local shared
    shared=$(find "$prefix/lib" -name 'libsensor*.so*' | head -1)
    if [ "$kind" = static ] && [ -n "$shared" ]; then
        echo "the static install holds a shared library: $shared"
        exit 1
    fi
    if [ "$kind" = shared ] && [ -z "$shared" ]; then
        echo "the shared install holds no shared library"
        exit 1
    fi
    # Headers that only the libraries' sources include stay behind.
    for file in sensorlib/Vkr25FamilyProcessorImpl.h sensortransports/Termios2.h; do
        [ ! -e "$prefix/include/sensorlib/$file" ] || { echo "$file is installed"; exit 1; }
    done
}

# Builds PROGRAM_DIR/main.cpp against the install as its CMakeLists.txt does
# (find_package), into OUTPUT_DIR/NAME, and as a pkg-config user would, into OUTPUT_PC.
build_against() { # KIND PROGRAM_DIR NAME OUTPUT_DIR OUTPUT_PC
    local prefix="$PWD/$package/$1" flags
    say "$1: $3: build with find_package (CMAKE_PREFIX_PATH=$prefix)"
    quietly "$logs/$3-$1-configure.log" cmake -S "$2" -B "$4" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
    quietly "$logs/$3-$1-build.log" cmake --build "$4" -j "$jobs"
    say "$1: $3: build with pkg-config (PKG_CONFIG_PATH=$prefix/lib/pkgconfig)"
    flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs sensorlib)
    # shellcheck disable=SC2086 # the flags are words
    quietly "$logs/$3-pc-$1-build.log" g++ "$2/main.cpp" -o "$5" -Wl,-rpath,"$prefix/lib" $flags
}

# Runs the README's owner (a program built against an installed package) against the
# installed simulator over TCP and over a pseudo-terminal: it must print its 20 distances.
run_readme_owner() { # PROGRAM SIMULATOR
    local sim_arguments output where
    for sim_arguments in "--tcp 0" "--pty"; do
        say "run ${1#"$PWD/"} against ${2#"$PWD/"} $sim_arguments"
        # shellcheck disable=SC2086 # two words
        coproc SIM { exec "$2" $sim_arguments; }
        where=""
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

# Runs the README's owner against the installed simulator over TCP and sends it SIGINT,
# as Ctrl-C would, after its first 3 distances: it must stop there and exit 0.
run_readme_owner_interrupted() { # PROGRAM SIMULATOR
    say "run ${1#"$PWD/"} against ${2#"$PWD/"} --tcp 0, SIGINT after its first 3 distances"
    local where="" output="" line out owner distances=0 sent=0 read_status=0 status=0
    coproc SIM { exec "$2" --tcp 0; }
    read -r -t 10 where <&"${SIM[0]}" || true
    exec {out}< <(exec "$1" "$where" 2>&1)
    owner=$!
    # The owner prints a line at a time; its output ends when it exits.
    local deadline=$((SECONDS + 30)) remaining
    while :; do
        remaining=$((deadline - SECONDS))
        [ "$remaining" -gt 0 ] || break
        IFS= read -r -t "$remaining" line <&"$out" || { read_status=$?; break; }
        output+="$line"$'\n'
        if [[ $line =~ ^[0-9]*\.[0-9]*\ m$ ]] && ((++distances == 3)); then
            kill -INT "$owner"
            sent=1
        fi
    done
    if [ "$read_status" -ne 1 ]; then # not the end of its output: the deadline passed
        kill -KILL "$owner" 2>/dev/null || true
        output+="(still running after 30 s)"$'\n'
    fi
    wait "$owner" || status=$?
    exec {out}<&-
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" || true
    if [ "$sent" -ne 1 ] || [ "$status" -ne 0 ] || [ "$distances" -ge 20 ]; then
        printf '%s against sensor_sim --tcp 0 (%s), %s: exit status %s after %s distances, not 0 after fewer than 20:\n%s\n' \
            "$1" "$where" "$([ "$sent" -eq 1 ] && echo "SIGINT sent after 3" || echo "ended before 3 distances")" \
            "$status" "$distances" "$output"
        exit 1
    fi
}

# The shared libraries that PROGRAM loads are the installed ones, found through its
# run path, not copies in a build tree.
loads_installed() { # PROGRAM PREFIX
    local library path found=0
    while read -r library path; do
        [ "$(realpath -e "$path")" = "$(realpath -e "$2/lib/$library")" ] ||
            { echo "$1 loads $library from $path, not from $2/lib"; exit 1; }
        found=1
    done < <(ldd "$1" | sed -n 's/^[[:space:]]*\(libsensor[a-z]*\.so\.[0-9.]*\) => \([^ ]*\) .*/\1 \2/p')
    [ "$found" -eq 1 ] || { echo "$1 loads no installed shared library of the package"; exit 1; }
}

check_install() { # KIND CMAKE_ARGUMENTS...
    local kind=$1 prefix="$PWD/$package/$1"
    install_recipe "$@"
    build_against "$kind" tests/package/consumer consumer "$package/consumer-$kind" "$package/consumer-pc-$kind"
    say "$kind: consumer: run both builds"
    quietly "$logs/consumer-$kind-run.log" "$package/consumer-$kind/consumer"
    quietly "$logs/consumer-pc-$kind-run.log" "$package/consumer-pc-$kind"
    build_against "$kind" tests/package/readme_owner readme_owner "$package/readme_owner-$kind" \
        "$package/readme_owner-pc-$kind"
    run_readme_owner "$package/readme_owner-$kind/readme_owner" "$prefix/bin/sensor_sim"
    run_readme_owner "$package/readme_owner-pc-$kind" "$prefix/bin/sensor_sim"
    run_readme_owner_interrupted "$package/readme_owner-$kind/readme_owner" "$prefix/bin/sensor_sim"
}

check_install static -DBUILD_SHARED_LIBS=OFF
check_install shared -DBUILD_SHARED_LIBS=ON
say "shared: versioned SONAMEs; the programs load the installed libraries"
for lib in sensorlib sensorplatform sensortransports; do
    readelf -d "$package/shared/lib/lib$lib.so" | grep -q "SONAME.*\[lib$lib\.so\.[0-9]" ||
        { echo "lib$lib.so has no versioned SONAME"; exit 1; }
done
for program in "$package/consumer-shared/consumer" "$package/consumer-pc-shared" \
    "$package/readme_owner-shared/readme_owner" "$package/readme_owner-pc-shared" \
    "$package/shared/bin/sensor_example"; do
    loads_installed "$program" "$PWD/$package/shared"
done

step "fuzz (${FUZZ_SECONDS}s each)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    say "$name: fuzzing for ${FUZZ_SECONDS}s"
    corpus="build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds="fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    log="build/fuzz/$name.log"
    # shellcheck disable=SC2086 # no seeds, no word
    if ! "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=1 \
            "$corpus" $seeds >"$log" 2>&1; then
        tail -40 "$log"
        echo "fuzz target $target failed"
        exit 1
    fi
    say "$name: $(grep -E 'stat::number_of_executed_units' "$log" || echo ran)"
done

step "all tests passed"

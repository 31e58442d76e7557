#!/usr/bin/env bash
# Builds the release tree with the benchmarks and runs them, then prints one table of
# all figures (Markdown). Each program is time-boxed; one that fails or runs out of
# time shows up in the table as such and the others still run.
#   scripts/bench.sh            the full run (a few minutes; every program is bounded)
#   scripts/bench.sh --quick    short windows and fewer samples
# The knobs of single benchmarks (SENSORLIB_BENCH_*) are described at the top of
# each bench/bench_*.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--quick" ]; then
    export SENSORLIB_BENCH_QUICK=1
elif [ -n "${1:-}" ]; then
    echo "usage: scripts/bench.sh [--quick]" >&2
    exit 2
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
mkdir -p build
if ! { cmake --preset release -DSENSORLIB_BUILD_BENCH=ON && cmake --build --preset release -j4; } \
        >build/bench-build.log 2>&1; then
    tail -40 build/bench-build.log
    echo "build failed (build/bench-build.log)" >&2
    exit 1
fi

bin=build/release/bench
out=build/release/bench-results
rm -rf "$out"
mkdir -p "$out"

# Quiet ones first: the idle figures suffer most from a busy machine.
programs=(bench_idle:120 bench_syscalls:120 bench_latency:240 bench_throughput:180 bench_pty_scale:300 bench_scale:1500 bench_parser:300)
for entry in "${programs[@]}"; do
    program=${entry%%:*}
    limit=${entry##*:}
    [ -x "$bin/$program" ] || continue
    echo "running $program (at most ${limit} s) ..." >&2
    if ! timeout --kill-after=10 "$limit" "$bin/$program" --benchmark_out="$out/$program.json" \
            --benchmark_out_format=json >"$out/$program.log" 2>&1; then
        echo "$program failed or ran out of time; see $out/$program.log" >&2
    fi
    [ -s "$out/$program.json" ] || : >"$out/$program.json"
done

echo
echo "Benchmarks of $(git rev-parse --short HEAD 2>/dev/null || echo '?') on $(nproc) cores," \
    "load average before the run: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg), at: $(date -u +%FT%TZ)" \
    "${SENSORLIB_BENCH_QUICK:+(quick run)}"
echo
if command -v python3 >/dev/null; then
    python3 scripts/bench_table.py "$out"/*.json
else
    echo "(python3 is missing: the raw results are in $out)"
    cat "$out"/*.log
fi

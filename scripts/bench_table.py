#!/usr/bin/env python3
"""Turns the JSON files of the benchmark programs into one table (Markdown).

Known benchmarks (latency, scale, throughput, idle) get rows of their own shape;
any other benchmark is shown with its time and counters, so new programs appear
without a change here. A program that wrote no file, or a benchmark that failed,
shows up as a row that says so.
"""
import json
import sys
from pathlib import Path

FLOORS = ("thread_hop", "bare_epoll", "bare_thread")


def num(value, unit=""):
    if value is None:
        return "-"
    if abs(value) >= 100:
        text = f"{value:,.0f}"
    elif abs(value) >= 10:
        text = f"{value:.1f}"
    else:
        text = f"{value:.2f}"
    return text + unit


def rate(value):
    if value is None:
        return "-"
    for limit, suffix in ((1e6, "M"), (1e3, "k")):
        if value >= limit:
            return f"{value / limit:.2f}{suffix}"
    return f"{value:.0f}"


def ratio(top, bottom):
    if top is None or not bottom:
        return "-"
    return f"x{top / bottom:.2f}"


def split_counters(bench):
    """{'lib_sync': {'median_us': ..}, ..} from counters named case.figure."""
    cases = {}
    for key, value in bench.items():
        if isinstance(value, (int, float)) and "." in key:
            case, figure = key.split(".", 1)
            cases.setdefault(case, {})[figure] = value
    return cases


def latency_rows(title, bench):
    cases = split_counters(bench)
    rows = []
    order = [c for c in ("lib_sync", "lib_direct") if c in cases] + [c for c in FLOORS if c in cases]
    for case in order:
        f = cases[case]
        figures = (f"median {num(f.get('median_us'))} us, p99 {num(f.get('p99_us'))} us, "
                   f"p99.9 {num(f.get('p999_us'))} us ({int(f.get('samples', 0))} samples"
                   + (f", {int(f['timeouts'])} timed out" if f.get("timeouts") else "") + ")")
        against = []
        if case.startswith("lib"):
            for floor in FLOORS:
                if floor in cases:
                    g = cases[floor]
                    against.append(f"{floor}: median {ratio(f.get('median_us'), g.get('median_us'))}, "
                                   f"p99 {ratio(f.get('p99_us'), g.get('p99_us'))}")
        name = case if case.startswith("lib") else case + " (floor)"
        rows.append((title, name, figures, "; ".join(against) or "-"))
    return rows


PEERS = ("BM_ScaleAsio", "BM_ScaleLibuv")


def scale_case(bench):
    parts = bench["name"].split("/")
    family = parts[0]
    who = {"BM_ScaleAsio": "Asio peer", "BM_ScaleLibuv": "libuv peer"}.get(family, "library")
    # The library's runs are named size/limit/..., the peers' size/...: only a number
    # there is a descriptor limit.
    limit = f", descriptor limit {parts[2]}" if len(parts) > 2 and parts[2].isdigit() and parts[2] != "0" else ""
    return family, parts[1], f"{who}, {parts[1]} sensors{limit}"


def per_line(g):
    return (f"per line: CPU {num(g('cpu_us_per_line'))} us (system {num(g('system_us_per_line'))} us), "
            f"{num(g('syscalls_per_line'))} system calls, "
            f"{num(g('ctxsw_per_line'))} context switches; ")


def scale_row(bench):
    family, _, case = scale_case(bench)
    if bench.get("error_occurred"):
        return ("Scale", case, "FAILED: " + bench.get("error_message", "?"), "-")
    g = bench.get
    if family in PEERS:
        figures = (per_line(g) + f"CPU {num(g('cpu_pct'))} % of a core, "
                   f"write->read median {num(g('median_ms'))} ms p99 {num(g('p99_ms'))} ms, "
                   f"lost {int(g('lost', 0))} of {int(g('sent', 0))}, "
                   f"{rate(g('lines_per_s'))} of {rate(g('expected_lines_per_s'))} lines/s")
        return ("Scale", case, figures, "-")
    figures = (per_line(g) + f"CPU {num(g('cpu_pct'))} % of a core, RSS {num(g('rss_mib'))} MiB, "
               f"address space {num(g('address_space_gib'))} GiB, "
               f"{int(g('threads', 0))} threads, {int(g('fds', 0))} fds, "
               f"write->onDataUpdate median {num(g('median_ms'))} ms p99 {num(g('p99_ms'))} ms, "
               f"loop late by {num(g('loop_late_ms'))} ms (worst), "
               f"lost {int(g('lost', 0))} of {int(g('sent', 0))} (drained in {num(g('drain_s'))} s), "
               f"{rate(g('lines_per_s'))} of {rate(g('expected_lines_per_s'))} lines/s, "
               f"ready {int(g('ready', 0))} in {num(g('ready_s'))} s, release {num(g('release_s'))} s")
    return ("Scale", case, figures, bench.get("label") or "-")


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def scale_summary_rows(benches):
    """The library against the reader peers, medians over the rounds, size by size."""
    runs = {}
    for bench in benches:
        if bench.get("error_occurred"):
            continue
        family, sensors, _ = scale_case(bench)
        if family == "BM_Scale" and len(bench["name"].split("/")) > 2 and bench["name"].split("/")[2] != "0":
            continue
        runs.setdefault((sensors, family), []).append(bench)
    rows = []
    figures = ("cpu_us_per_line", "system_us_per_line", "syscalls_per_line", "ctxsw_per_line", "median_ms",
               "p99_ms")
    for sensors in sorted({s for s, _ in runs}, key=int):
        lib = runs.get((sensors, "BM_Scale"))
        if not lib or not any((sensors, peer) in runs for peer in PEERS):
            continue
        m = {f: median([b.get(f) for b in lib]) for f in figures}
        against = []
        for peer in PEERS:
            if (sensors, peer) not in runs:
                continue
            p = {f: median([b.get(f) for b in runs[(sensors, peer)]]) for f in figures}
            against.append(f"{peer[len('BM_Scale'):]} ({len(runs[(sensors, peer)])} runs): "
                           f"CPU/line {num(p['cpu_us_per_line'])} us {ratio(m['cpu_us_per_line'], p['cpu_us_per_line'])}, "
                           f"system/line {num(p['system_us_per_line'])} us "
                           f"{ratio(m['system_us_per_line'], p['system_us_per_line'])}, "
                           f"calls/line {num(p['syscalls_per_line'])} {ratio(m['syscalls_per_line'], p['syscalls_per_line'])}, "
                           f"switches/line {num(p['ctxsw_per_line'])} {ratio(m['ctxsw_per_line'], p['ctxsw_per_line'])}")
        rows.append(("Scale against the peers (medians)", f"{sensors} sensors, library ({len(lib)} runs)",
                     f"CPU/line {num(m['cpu_us_per_line'])} us (system {num(m['system_us_per_line'])} us), "
                     f"calls/line {num(m['syscalls_per_line'])}, "
                     f"switches/line {num(m['ctxsw_per_line'])}, median {num(m['median_ms'])} ms, "
                     f"p99 {num(m['p99_ms'])} ms", "; ".join(against)))
    return rows


def throughput_rows(bench):
    cases = split_counters(bench)
    lib = cases.get("lib_sync", {})
    bare = cases.get("bare_read", {})
    return [
        ("Throughput", "lib_sync (one flooded connection)",
         f"{rate(lib.get('lines_per_s'))} lines/s to onDataUpdate ({rate(lib.get('written_per_s'))} lines/s "
         f"taken by the socket), RSS +{num(lib.get('rss_growth_mib'))} MiB in "
         f"{num(bench.get('window_s'))} s, release under flood {num(lib.get('release_ms'))} ms",
         f"bare_read: {ratio(lib.get('lines_per_s'), bare.get('lines_per_s'))}"),
        ("Throughput", "bare_read + memchr (floor)", f"{rate(bare.get('lines_per_s'))} lines/s", "-"),
    ]


def idle_rows(bench):
    cases = split_counters(bench)
    return [("Idle (TCP + pty sensor)", loop, f"{num(cases.get(key, {}).get('cpu_ms_per_s'))} ms CPU/s, "
             f"{num(cases.get(key, {}).get('wakeups_per_s'))} wake-ups/s ({num(bench.get('window_s'))} s)", "-")
            for key, loop in (("run", "Run"), ("rununtil", "RunUntil"))]


def syscall_rows(bench):
    rows = []
    for transport in ("tcp", "pty"):
        figures = {k[len(transport) + 1:]: v for k, v in bench.items()
                   if k.startswith(transport + ".") and isinstance(v, (int, float))}
        parts = sorted(((k[len("per_line."):], v) for k, v in figures.items() if k.startswith("per_line.")),
                       key=lambda item: -item[1])
        made_of = ", ".join(f"{name} {num(value)}" for name, value in parts)
        rows.append(("System calls", f"{transport} (synchronised, one line a chunk)",
                     f"{num(figures.get('syscalls_per_line'))} per line over {int(figures.get('lines', 0))} lines"
                     + (f": {made_of}" if made_of else ""), "-"))
    return rows


def generic_row(program, bench):
    if bench.get("error_occurred"):
        return (program, bench["name"], "FAILED: " + bench.get("error_message", "?"), "-")
    skip = {"name", "run_name", "run_type", "family_index", "per_family_instance_index", "repetitions",
            "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit", "label",
            "aggregate_name", "aggregate_unit", "error_occurred", "error_message"}
    counters = ", ".join(f"{k} {num(v) if isinstance(v, (int, float)) else v}"
                         for k, v in bench.items() if k not in skip)
    figures = f"{num(bench.get('real_time'))} {bench.get('time_unit', '')}" + (f", {counters}" if counters else "")
    return (program, bench["name"], figures, bench.get("label") or "-")


def rows_of(program, data):
    rows = []
    for bench in data.get("benchmarks", []):
        name = bench.get("name", "")
        if bench.get("error_occurred") and not name.startswith("BM_Scale"):
            rows.append((program, name, "FAILED: " + bench.get("error_message", "?"), "-"))
        elif name.startswith("BM_LatencyTcp"):
            rows += latency_rows("Latency TCP", bench)
        elif name.startswith("BM_LatencyPty"):
            rows += latency_rows("Latency pty", bench)
        elif name.startswith("BM_Scale"):
            rows.append(scale_row(bench))
        elif name.startswith("BM_FloodedConnection"):
            rows += throughput_rows(bench)
        elif name.startswith("BM_SyscallsPerLine"):
            rows += syscall_rows(bench)
        elif name.startswith("BM_IdleSensors"):
            rows += idle_rows(bench)
        else:
            rows.append(generic_row(program, bench))
    return rows


def main(paths):
    rows = []
    for path in paths:
        path = Path(path)
        program = path.stem
        try:
            data = json.loads(path.read_text())
        except (OSError, ValueError) as error:
            rows.append((program, "-", f"FAILED: no results ({error.__class__.__name__})", "-"))
            continue
        rows += rows_of(program, data)
        rows += scale_summary_rows([b for b in data.get("benchmarks", []) if b.get("name", "").startswith("BM_Scale")])
    print("| area | case | figures | against the floor |")
    print("|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(str(cell).replace("|", "/") for cell in row) + " |")


if __name__ == "__main__":
    main(sys.argv[1:])

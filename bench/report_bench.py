"""`corvex report` against iterating the same run's peaks, the page's size, and memory.

Uses the benchmark runs of bench/run (bench/out/full: 20,000 scans, 0.9 GB of
scan data; bench/out/small: ten times smaller), writing them on first use.
Every measurement runs in a fresh child process, so that its peak RSS is its
own; the repeats go round the cases in turn and times are the best of
--repeat.  Verdicts use CPU times when the load average exceeds the number
of cores, as bench/run does; --basis chooses.  Prints, each with PASS or FAIL:

* the report's time against the time of opening the run and iterating its
  peaks as numpy arrays (``open_run`` + ``iter_peaks``, through the same
  source the report reads from): at most 2x;
* the HTML page of the full run: under 10 MB;
* memory: what the report needs beyond reading the run (its peak RSS less
  that of the iteration) on the full run against a run ten times smaller:
  less than 64 MiB apart.

It also prints the cost of the report's per-peak pass alone (its calls
timed inside the report), in ns per peak, on arrays as iteration hands
them over.

    .venv/bin/python bench/report_bench.py [--repeat 2] [--scale 1]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

import run_bench  # noqa: E402
from run_bench import OUT, ensure_run  # noqa: E402

RATIO_TARGET = 2.0
HTML_LIMIT_BYTES = 10_000_000
MEMORY_GROWTH_LIMIT = 64 * 2**20


def _cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# ---------------------------------------------------------------------------
# Child processes: each prints one JSON object on its last line.

def child_iterate(wiff: str) -> dict:
    from corvex_tools import open_run
    cpu, started = _cpu_seconds(), time.perf_counter()
    run = open_run(wiff)
    opened = time.perf_counter()
    peaks = 0
    for _, mz, _ in run.iter_peaks():
        peaks += len(mz)
    return {"seconds": time.perf_counter() - started, "open_seconds": opened - started,
            "cpu": _cpu_seconds() - cpu, "peaks": peaks, "peak_rss": _peak_rss_bytes()}


def child_report(wiff: str, html: str) -> dict:
    """The whole command, with the report's per-peak calls timed on the side."""
    from corvex_tools.cli import main
    from corvex_tools.report import aggregate

    clock = time.perf_counter_ns
    spent = 0

    def timed(fn):
        def call(*args):
            nonlocal spent
            started = clock()
            try:
                return fn(*args)
            finally:
                spent += clock() - started
        return call

    aggregate._native.peak_stats = timed(aggregate._native.peak_stats)
    aggregate.Ms1Map.add = timed(aggregate.Ms1Map.add)
    cpu, started = _cpu_seconds(), time.perf_counter()
    status = main(["report", wiff, "-o", html, "-q"])
    return {"seconds": time.perf_counter() - started, "cpu": _cpu_seconds() - cpu, "status": status,
            "pass_seconds": spent / 1e9, "html_bytes": os.path.getsize(html), "peak_rss": _peak_rss_bytes()}


def run_child(*args: str) -> dict:
    return run_bench.run_child(*args, script=__file__)


# ---------------------------------------------------------------------------

def verdict(ok: bool) -> str:
    return "PASS" if ok else "FAIL"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--scale", type=float, default=1.0, help="size of the full run (default: 1, 0.9 GB)")
    parser.add_argument("--basis", choices=["wall", "cpu"], default=None,
                        help="times the verdict uses (default: CPU when the load average exceeds the number "
                             "of cores, wall-clock otherwise)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, *rest = args.child
        result = {"iterate": child_iterate, "report": child_report}[kind](*rest)
        print(json.dumps(result))
        return 0

    load = os.getloadavg()[0]
    basis = args.basis or ("cpu" if load > (os.cpu_count() or 1) else "wall")
    full = ensure_run(OUT / "full", args.scale)
    small = ensure_run(OUT / "small", args.scale / 10)
    print(f"run: {full['scans']} scans, {full['points_written']:,} points, "
          f"{full['scan_file_bytes'] / 1e6:.0f} MB of scan data; load average {load:.1f} on {os.cpu_count()} CPUs")
    with tempfile.TemporaryDirectory() as tmp:
        html = str(Path(tmp) / "report.html")
        iterations, reports = [], []
        for _ in range(args.repeat):
            iterations.append(run_child("iterate", full["wiff"]))
            reports.append(run_child("report", full["wiff"], html))
        small_iteration = run_child("iterate", small["wiff"])
        small_report = run_child("report", small["wiff"], str(Path(tmp) / "small.html"))

    key = "cpu" if basis == "cpu" else "seconds"
    iterate = min(iterations, key=lambda r: r[key])
    report = min(reports, key=lambda r: r[key])
    if any(r["status"] != 0 for r in reports):
        print("the report command failed", file=sys.stderr)
        return 1
    wall_ratio = report["seconds"] / iterate["seconds"]
    cpu_ratio = report["cpu"] / iterate["cpu"]
    ratio = cpu_ratio if basis == "cpu" else wall_ratio
    size = report["html_bytes"]
    # What the report holds beyond what reading the run takes: its own memory.
    extra = report["peak_rss"] - iterate["peak_rss"]
    small_extra = small_report["peak_rss"] - small_iteration["peak_rss"]
    growth = extra - small_extra
    per_peak = report["pass_seconds"] / max(iterate["peaks"], 1) * 1e9

    print(f"{'(best of ' + str(args.repeat) + ')':44} {'wall s':>8} {'CPU s':>8} {'peak RSS MB':>12}")
    print(f"{'open_run + iter_peaks (numpy arrays)':44} {iterate['seconds']:8.2f} {iterate['cpu']:8.2f} "
          f"{iterate['peak_rss'] / 1e6:12.0f}")
    print(f"{'  of which open_run':44} {iterate['open_seconds']:8.2f}")
    print(f"{'corvex report':44} {report['seconds']:8.2f} {report['cpu']:8.2f} {report['peak_rss'] / 1e6:12.0f}")
    print(f"{'corvex report, run ten times smaller':44} {small_report['seconds']:8.2f} {small_report['cpu']:8.2f} "
          f"{small_report['peak_rss'] / 1e6:12.0f}")
    print(f"{'open_run + iter_peaks, run ten times smaller':44} {small_iteration['seconds']:8.2f} "
          f"{small_iteration['cpu']:8.2f} {small_iteration['peak_rss'] / 1e6:12.0f}")
    print(f"the report's per-peak pass alone: {report['pass_seconds']:.2f} s, {per_peak:.2f} ns per peak "
          f"({iterate['peaks']:,} peaks)")
    print(f"peaks come from: {_source_description()}")
    print()
    print(f"report vs iteration: {wall_ratio:.2f}x wall, {cpu_ratio:.2f}x CPU (target <= {RATIO_TARGET:g}x, "
          f"verdict on {basis} time)   {verdict(ratio <= RATIO_TARGET)}")
    print(f"HTML of the full run: {size / 1e6:.2f} MB (limit {HTML_LIMIT_BYTES / 1e6:g} MB)"
          f"   {verdict(size < HTML_LIMIT_BYTES)}")
    print(f"report's memory beyond iteration (peak RSS): {extra / 2**20:.1f} MiB on the full run, "
          f"{small_extra / 2**20:.1f} MiB on the small one, {growth / 2**20:.1f} MiB apart "
          f"(limit {MEMORY_GROWTH_LIMIT / 2**20:g})   {verdict(growth < MEMORY_GROWTH_LIMIT)}")
    ok = ratio <= RATIO_TARGET and size < HTML_LIMIT_BYTES and growth < MEMORY_GROWTH_LIMIT
    return 0 if ok else 1


def _source_description() -> str:
    return "corvex_tools.open_run (the array layer): numpy columns, peaks decoded ahead on every core"


if __name__ == "__main__":
    sys.exit(main())

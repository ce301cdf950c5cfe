"""Batch conversion and Parquet output, measured.

Writes --runs synthetic runs shaped like TOF profile data (one survey scan of
about 40,000 points and ten fragment scans of about 10,000 per cycle, as
bench/make_acquisition writes them) of about --mb MB of scan data each, and
one of --single-mb MB, then measures, in one run of this script:

* batch overhead: `corvex convert RUN1 ... RUNn -o OUT` on the local Dask
  cluster (one worker per CPU) against `corvex convert RUNi` for each run one
  after another, each with its default use of the CPUs, for mzML (zlib) and
  Parquet.  Target: the batch takes at most 10 % longer.  The repeats go round
  the cases in turn, and each case's best repeat counts.  Starting the cluster
  costs a second or two of CPU, which runs of a realistic size (the default
  batch is a gigabyte of scan data) make small;
* Parquet against mzML with zlib, on the single run: output size, and
  conversion time in one process, with the time to read the same run through
  the array layer's iter_peaks (what any conversion has to do) for reference;
* the row-group rule: the peak table of the single run and of one run of
  small (centroid-like) spectra, written with the default rule, with a cut at
  every change of MS level, and with no cut at level changes: row groups, size,
  write time and DuckDB query times;
* DuckDB against pyteomics for the same questions (MS2 peaks in an m/z window:
  count and summed intensity; the TIC of every spectrum): DuckDB over the
  Parquet tables, pyteomics reading the mzML with its arrays decoded (once:
  it takes minutes).  The answers are compared before the times are.

Verdicts use wall-clock times, or CPU times (of this process and the
conversions it waited for) when the load average exceeds the number of cores
before the benchmark starts (--basis overrides).  Figures go to bench/out/batch_results.json.

    .venv/bin/python bench/batch_bench.py               # about 10 minutes
    .venv/bin/python bench/batch_bench.py --mb 40 --repeat 1
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

_ROOT = Path(__file__).resolve().parents[1]
for extra in (_ROOT / "tests", _ROOT / "python"):
    if str(extra) not in sys.path:
        sys.path.append(str(extra))

import convert_bench  # noqa: E402
import numpy as np  # noqa: E402

from wifffixture.synthetic import write_synthetic_run  # noqa: E402

OVERHEAD_TARGET = 0.10


def mz_window(peaks: Path) -> "tuple[float, float]":
    """An m/z window of 1 % around the median m/z of the fragment peaks."""
    import duckdb

    median = duckdb.sql(f"SELECT median(mz) FROM '{peaks}' WHERE ms_level = 2").fetchall()[0][0]
    return median, median * 1.01


def measure(fn: Callable[[], Any]) -> Dict[str, float]:
    """Wall-clock and CPU seconds (this process's and those of the processes it waited for) of one call."""
    def children() -> float:
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)  # descendants that were waited for
        return usage.ru_utime + usage.ru_stime

    before = children()
    wall, cpu = convert_bench.measure(fn)
    return {"wall_s": wall, "cpu_s": cpu + children() - before}


def corvex(*args: str) -> None:
    """The command as a user runs it: a fresh interpreter."""
    result = subprocess.run([sys.executable, "-m", "corvex_tools", *args], capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"corvex {' '.join(args)} failed ({result.returncode}): {result.stderr}")


def size_of(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*")) if path.is_dir() else path.stat().st_size


def fresh(directory: Path) -> Path:
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


# ---------------------------------------------------------------------------
# Batch overhead
# ---------------------------------------------------------------------------

def batch_overhead(runs: List[Path], work: Path, repeat: int, workers: int, formats: List[str]) -> Dict[str, Any]:
    cases: Dict[str, Dict[str, List[Dict[str, float]]]] = {}
    for fmt in formats:
        def one_after_another() -> None:
            out = fresh(work / "seq")
            for run in runs:
                corvex("convert", str(run), "-q", "--format", fmt, "-o", str(out))

        def batch() -> None:
            out = fresh(work / "batch")
            corvex("convert", *map(str, runs), "--format", fmt, "-o", str(out), "--workers", str(workers))

        cases[fmt] = {"one_after_another": [], "batch": []}
        for _ in range(repeat):
            for name, fn in (("one_after_another", one_after_another), ("batch", batch)):
                cases[fmt][name].append(measure(fn))
    return cases


# ---------------------------------------------------------------------------
# Parquet against mzML
# ---------------------------------------------------------------------------

def parquet_against_mzml(run: Path, work: Path, repeat: int) -> Dict[str, Any]:
    from corvex_tools.cli import main as corvex_main
    from corvex_tools import open_run

    out = fresh(work / "single")

    def read() -> None:
        source = open_run(str(run), "Sample1")
        for _ in source.iter_peaks():
            pass

    cases = {
        "read with iter_peaks": (read, None),
        "mzML, zlib": (lambda: corvex_main(["convert", str(run), "-q", "-o", str(out / "r.mzML")]),
                       out / "r.mzML"),
        "Parquet (zstd)": (lambda: corvex_main(["convert", str(run), "-q", "-o", str(out / "r.parquet")]),
                           out / "r.parquet"),
    }
    times: Dict[str, List[Dict[str, float]]] = {name: [] for name in cases}
    for _ in range(repeat):
        for name, (fn, _) in cases.items():
            times[name].append(measure(fn))
    return {name: {"times": times[name], "bytes": size_of(path) if path is not None else None}
            for name, (_, path) in cases.items()}


# ---------------------------------------------------------------------------
# The row-group rule
# ---------------------------------------------------------------------------

RULES = {"default (cut at a level change past 32Ki rows)": "default", "cut at every level change": 0,
         "no cut at level changes": None}


def row_group_rules(run: Path, work: Path, repeat: int) -> Dict[str, Any]:
    import contextlib

    import duckdb
    import pyarrow.parquet as pq

    from corvex_tools import parquet
    from corvex_tools import open_run

    source = open_run(str(run), "Sample1")
    times = source.spectra["retention_time_sec"]
    middle = float(times[len(times) // 2])
    rt_window = (middle, middle + (float(times[-1]) - float(times[0])) / 20)
    questions = {
        "MS2 peaks in an m/z window": "SELECT count(*), sum(intensity) FROM '{p}' WHERE ms_level = 2 "
                                      "AND mz BETWEEN {lo} AND {hi}",
        "MS1 peaks in an RT window": "SELECT count(*), sum(intensity) FROM '{p}' WHERE ms_level = 1 "
                                     f"AND retention_time_sec BETWEEN {rt_window[0]} AND {rt_window[1]}",
    }
    results: Dict[str, Any] = {}
    for label, rule in RULES.items():
        directory = fresh(work / "rules")
        cut = parquet.LEVEL_CUT_ROWS if rule == "default" else rule

        @contextlib.contextmanager
        def table_file(name: str) -> Any:
            with open(directory / name, "wb") as sink:
                yield sink

        written = measure(lambda: parquet.write_tables(table_file, str(run), source, level_cut_rows=cut))
        path = directory / parquet.PEAKS_FILE
        lo, hi = mz_window(path)
        query_times = {}
        answers = {}
        for question, sql in questions.items():
            best = float("inf")
            for _ in range(max(3, repeat)):
                start = time.perf_counter()
                answers[question] = duckdb.sql(sql.format(p=path, lo=lo, hi=hi)).fetchall()
                best = min(best, time.perf_counter() - start)
            query_times[question] = best
        results[label] = {"row_groups": pq.ParquetFile(path).metadata.num_row_groups,
                          "bytes": path.stat().st_size, "write": written, "queries_s": query_times,
                          "answers": answers}
    if len({json.dumps(r["answers"]) for r in results.values()}) != 1:
        raise SystemExit(f"{run.name}: the row-group rules give different answers")
    return results


# ---------------------------------------------------------------------------
# DuckDB against pyteomics
# ---------------------------------------------------------------------------

def duckdb_against_pyteomics(work: Path, repeat: int) -> Dict[str, Any]:
    import duckdb
    from pyteomics import mzml

    single = work / "single"
    peaks, spectra = single / "r.parquet" / "peaks.parquet", single / "r.parquet" / "spectra.parquet"
    lo, hi = mz_window(peaks)

    def window_duckdb() -> Any:
        return duckdb.sql(f"SELECT count(*), sum(intensity::DOUBLE) FROM '{peaks}' "
                          f"WHERE ms_level = 2 AND mz BETWEEN {lo} AND {hi}").fetchall()[0]

    def window_pyteomics() -> Any:
        count, total = 0, 0.0
        with mzml.MzML(str(single / "r.mzML"), decode_binary=True) as reader:
            for spectrum in reader:
                if spectrum["ms level"] != 2:
                    continue
                mz, intensity = spectrum["m/z array"], spectrum["intensity array"]
                inside = (mz >= lo) & (mz <= hi)
                count += int(inside.sum())
                total += float(intensity[inside].astype(np.float64).sum())
        return count, total

    def tic_duckdb() -> Any:
        return duckdb.sql(f"SELECT native_id, computed_tic FROM '{spectra}' ORDER BY spectrum_position").fetchall()

    def tic_pyteomics() -> Any:
        with mzml.MzML(str(single / "r.mzML"), decode_binary=True) as reader:
            return [(s["id"], float(np.cumsum(s["intensity array"], dtype=np.float64)[-1])
                     if len(s["intensity array"]) else 0.0) for s in reader]

    results: Dict[str, Any] = {}
    for question, (fast, slow, same) in {
        "MS2 peaks in an m/z window (count, summed intensity)": (
            window_duckdb, window_pyteomics,
            lambda a, b: a[0] == b[0] and abs(a[1] - b[1]) <= 1e-9 * max(1.0, abs(b[1]))),
        "TIC of every spectrum": (tic_duckdb, tic_pyteomics, lambda a, b: a == b),
    }.items():
        answers = {}
        seconds = {}
        for name, fn, times in (("DuckDB on Parquet", fast, max(3, repeat)), ("pyteomics on mzML", slow, 1)):
            best = float("inf")
            for _ in range(times):
                start = time.perf_counter()
                answers[name] = fn()
                best = min(best, time.perf_counter() - start)
            seconds[name] = best
        if not same(answers["DuckDB on Parquet"], answers["pyteomics on mzML"]):
            raise SystemExit(f"{question}: DuckDB and pyteomics disagree")
        results[question] = seconds
    return results


# ---------------------------------------------------------------------------

def best(samples: List[Dict[str, float]], basis: str) -> float:
    return min(s[f"{basis}_s"] for s in samples)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=4)
    parser.add_argument("--mb", type=float, default=250.0, help="approximate .wiff.scan size of each run in MB")
    parser.add_argument("--single-mb", type=float, default=20.0,
                        help="approximate .wiff.scan size of the single run in MB")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--basis", choices=("wall", "cpu"))
    parser.add_argument("--dir", default=None, help="work directory (default: a temporary one)")
    parser.add_argument("--formats", default="mzML,parquet", help="formats of the batch overhead case")
    parser.add_argument("--batch-only", action="store_true", help="measure the batch overhead only")
    args = parser.parse_args()

    load_before = os.getloadavg()[0]
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        work = Path(tmp)
        def profile_run(directory: Path, name: str, mb: float, seed: int) -> Path:
            return Path(write_synthetic_run(directory, name, target_bytes=int(mb * 1e6), seed=seed, profile="tof",
                                            points_per_scan=40_000, fragment_points_per_scan=10_000,
                                            ms2_per_cycle=10, max_gap=1000).wiff_path)

        runs = [profile_run(work / "runs", f"run{k}", args.mb, 7 + k) for k in range(args.runs)]
        single = profile_run(work / "single_run", "single", args.single_mb, 5)
        small = write_synthetic_run(work / "small", "centroided", target_bytes=int(args.mb * 1e6 / 4), seed=3,
                                    points_per_scan=400, fragment_points_per_scan=60, ms2_per_cycle=10)
        scan_mb = sum(os.path.getsize(str(r) + ".scan") for r in runs) / 1e6
        print(f"{args.runs} runs, {scan_mb:.0f} MB of scan data; {args.workers} workers; "
              f"load average {load_before:.1f} on {os.cpu_count()} cores")

        results: Dict[str, Any] = {"runs": args.runs, "scan_mb": scan_mb, "workers": args.workers,
                                   "single_run_mb": os.path.getsize(str(single) + ".scan") / 1e6}
        results["batch"] = batch_overhead(runs, work, args.repeat, args.workers, args.formats.split(","))
        if not args.batch_only:
            results["single"] = parquet_against_mzml(single, work, args.repeat)
            results["queries"] = duckdb_against_pyteomics(work, args.repeat)
            results["row_groups"] = {"profile": row_group_rules(single, work, args.repeat),
                                     "centroided": row_group_rules(small.wiff_path, work, args.repeat)}
    # Only the load before counts: this benchmark's own processes raise the load after.
    basis = args.basis or ("cpu" if load_before > (os.cpu_count() or 1) else "wall")
    results["basis"] = basis

    verdicts = []
    print(f"\nBatch against one run after another ({basis} times, best of {args.repeat}):")
    for fmt, cases in results["batch"].items():
        sequential, batch = best(cases["one_after_another"], basis), best(cases["batch"], basis)
        overhead = batch / sequential - 1.0
        verdict = "PASS" if overhead <= OVERHEAD_TARGET else "FAIL"
        verdicts.append(verdict)
        print(f"  {fmt:8s} one after another {sequential:7.1f} s   batch {batch:7.1f} s   "
              f"overhead {overhead:+6.1%}  (target <= {OVERHEAD_TARGET:.0%})  {verdict}")
        print(f"  {'':8s} (wall {best(cases['one_after_another'], 'wall'):.1f} s against "
              f"{best(cases['batch'], 'wall'):.1f} s; CPU {best(cases['one_after_another'], 'cpu'):.1f} s "
              f"against {best(cases['batch'], 'cpu'):.1f} s)")

    if args.batch_only:
        return 0 if all(v == "PASS" for v in verdicts) else 1
    single = results["single"]
    mb = results["single_run_mb"]
    print(f"\nOne run ({mb:.0f} MB of scan data), one process ({basis} times):")
    read_s = best(single["read with iter_peaks"]["times"], basis)
    for name, figures in single.items():
        seconds = best(figures["times"], basis)
        size = f"{figures['bytes'] / 1e6:8.1f} MB" if figures["bytes"] is not None else " " * 11
        print(f"  {name:30s} {seconds:7.2f} s  {mb / seconds:6.1f} MB/s  {size}  {seconds / read_s:5.2f}x read")
    ratio = single["Parquet (zstd)"]["bytes"] / single["mzML, zlib"]["bytes"]
    print(f"  Parquet is {ratio:.2f}x the size of the mzML")

    print("\nQuestions: DuckDB on the Parquet tables against pyteomics reading the mzML (best wall times):")
    for question, seconds in results["queries"].items():
        duck, pyteomics = seconds["DuckDB on Parquet"], seconds["pyteomics on mzML"]
        print(f"  {question:55s} DuckDB {duck * 1000:8.1f} ms  pyteomics {pyteomics:7.2f} s  "
              f"{pyteomics / duck:7.0f}x faster")

    print("\nRow-group rule (peak table; DuckDB best wall times):")
    for shape, rules in results["row_groups"].items():
        for label, figures in rules.items():
            queries = "  ".join(f"{q} {s * 1000:6.1f} ms" for q, s in figures["queries_s"].items())
            print(f"  {shape:10s} {label:47s} {figures['row_groups']:5d} groups {figures['bytes'] / 1e6:7.1f} MB "
                  f"write {figures['write']['wall_s']:5.2f} s  {queries}")
            del figures["answers"]

    out = _ROOT / "bench" / "out"
    out.mkdir(parents=True, exist_ok=True)
    (out / "batch_results.json").write_text(json.dumps(results, indent=2))
    return 0 if all(v == "PASS" for v in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())

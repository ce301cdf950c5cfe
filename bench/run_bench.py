"""Side-by-side throughput and memory figures for reading a large run.

Run through bench/run, which installs what this needs and builds corvex
first; or by hand, with the corvex and corvex_tools._native modules and
run_decode_bench built in BUILD and corvex_tools staged in BUILD/python
(as bench/run does):

    PYTHONPATH=BUILD:BUILD/python python3 bench/run_bench.py --build BUILD [--scale 1]

Writes the runs it needs under bench/out/ (kept between invocations while
their size stays the same): the full run (20,000 scans at --scale 1), one
ten times smaller for the memory comparisons and one of 1,000 spectra or
more (--mzml-scale) that is converted to mzML for the mzML readers, which
take minutes on the larger ones. The array layer (corvex_tools) is
measured against the same figures: its numpy traversal against C++
decoding and the mzML readers, load() against RawReader construction and
a fresh-memory floor on as many threads, open_run against RawReader.  Prints a table and writes
bench/out/results.json.  Every measurement runs in a fresh child process
so that peak RSS figures are its own; times are the best of --repeat.

Verdicts use CPU times when the load average exceeds the number of cores
(other work on the machine then stretches wall-clock times by an amount
that says nothing about corvex), wall-clock times otherwise; --basis
chooses.  Both are always printed.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "bench" / "out"
# The mzML readers are timed on at least this many spectra, so that their
# start-up is a small part of their time.
MZML_MIN_SCANS = 1000

# Targets, as (key, description).
TARGETS = {
    "decode_ns_per_peak": 5.0,             # C++ decode, single-threaded, at most
    "construction_gb_per_s": 0.5,          # RawReader construction, at least
    "list_building_vs_tolist": 1.2,        # at most
    "traversal_vs_tolist": 1.3,            # at most
    "mzml_fastest_vs_corvex": 10.0,        # at least
    "rawreader_memory_vs_budget": 1.0,     # at most: (1.1 x 12 B/peak + 512 B/spectrum)
    "streaming_rss_growth_vs_3_largest": 1.0,  # at most
    "iter_peaks_vs_cpp_decode": 1.5,       # at most
    "mzml_fastest_vs_iter_peaks": 25.0,    # at least
    "rawreader_vs_load": 1.5,              # at least
    "load_vs_fresh_threads": 1.3,          # at most
    "open_run_rss_full_vs_small_mib": 64.0,  # at most
}


# ---------------------------------------------------------------------------
# Child processes: each prints one JSON object on its last line.

def _peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _current_rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _process_cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def child_construct(wiff: str) -> dict:
    import corvex
    before = _current_rss_bytes()
    cpu_started = _process_cpu_seconds()
    started = time.perf_counter()
    reader = corvex.RawReader(wiff)
    seconds = time.perf_counter() - started
    cpu = _process_cpu_seconds() - cpu_started
    peak = _peak_rss_bytes()
    held = _current_rss_bytes()
    scans = reader.scan_count
    return {"seconds": seconds, "cpu": cpu, "rss_before": before, "peak_rss": peak, "rss_held": held,
            "scans": scans}


def child_traverse(wiff: str) -> dict:
    """The traversal users write, timed as a whole and inside the getters."""
    import corvex
    clock = time.perf_counter_ns
    cpu_clock = time.thread_time_ns
    getters = getters_cpu = 0
    spectra = 0
    peaks = 0
    largest = 0
    counts = []
    process_started = _process_cpu_seconds()
    cpu_started = cpu_clock()
    started = clock()
    for spectrum in corvex.iter_spectra(wiff):
        c0 = cpu_clock()
        t0 = clock()
        spectrum.mz
        spectrum.intensity
        getters += clock() - t0
        getters_cpu += cpu_clock() - c0
        n = len(spectrum)
        counts.append(n)
        spectra += 1
        peaks += n
        largest = max(largest, n)
    total = clock() - started
    return {"seconds": total / 1e9, "cpu": (cpu_clock() - cpu_started) / 1e9,
            "process_cpu": _process_cpu_seconds() - process_started,
            "list_seconds": getters / 1e9, "list_cpu": getters_cpu / 1e9, "spectra": spectra, "peaks": peaks,
            "largest": largest, "peak_rss": _peak_rss_bytes(), "counts": counts}


def child_iter_peaks(wiff: str) -> dict:
    """The numpy traversal: every spectrum's arrays from Run.iter_peaks."""
    import corvex_tools
    import corvex_tools.arrays  # noqa: F401  (numpy, imported before the clock as for the mzML readers)
    process_started = _process_cpu_seconds()
    started = time.perf_counter()
    spectra = peaks = 0
    for _, mz, intensity in corvex_tools.open_run(wiff).iter_peaks():
        spectra += 1
        peaks += len(mz) + 0 * len(intensity)
    return {"seconds": time.perf_counter() - started, "cpu": _process_cpu_seconds() - process_started,
            "spectra": spectra, "peaks": peaks, "peak_rss": _peak_rss_bytes()}


def child_load(wiff: str) -> dict:
    """Run.load() of every spectrum, the run opened beforehand."""
    import corvex_tools
    run = corvex_tools.open_run(wiff)
    cpu_started = _process_cpu_seconds()
    started = time.perf_counter()
    peaks = run.load()
    seconds = time.perf_counter() - started
    return {"seconds": seconds, "cpu": _process_cpu_seconds() - cpu_started, "peaks": len(peaks.mz),
            "spectra": len(peaks)}


def child_open_run(wiff: str) -> dict:
    """open_run's time and the process's peak RSS growth (numpy imported first)."""
    import numpy  # noqa: F401  (its own memory is not open_run's)
    import corvex_tools
    import corvex_tools.arrays  # noqa: F401
    before = _current_rss_bytes()
    cpu_started = _process_cpu_seconds()
    started = time.perf_counter()
    run = corvex_tools.open_run(wiff)
    run.spectra
    seconds = time.perf_counter() - started
    return {"seconds": seconds, "cpu": _process_cpu_seconds() - cpu_started, "rss_before": before,
            "peak_rss": _peak_rss_bytes(), "scans": len(run)}


def child_tolist(counts_file: str) -> dict:
    """The floor: numpy's tolist() making as many floats as the traversal, in
    the same per-spectrum pieces (64-bit m/z, 32-bit intensity)."""
    import numpy as np
    counts = json.loads(Path(counts_file).read_text())
    largest = max(counts) if counts else 0
    mz = 20.0 + 0.0005 * np.arange(largest, dtype=np.float64)
    intensity = (np.arange(largest, dtype=np.float32) % 5000) + 1
    clock = time.perf_counter_ns
    cpu_clock = time.thread_time_ns
    lists = lists_cpu = 0
    cpu_started = cpu_clock()
    started = clock()
    for n in counts:
        c0 = cpu_clock()
        t0 = clock()
        mz[:n].tolist()
        intensity[:n].tolist()
        lists += clock() - t0
        lists_cpu += cpu_clock() - c0
    total = clock() - started
    return {"seconds": total / 1e9, "cpu": (cpu_clock() - cpu_started) / 1e9, "list_seconds": lists / 1e9,
            "list_cpu": lists_cpu / 1e9}


def child_mzml(reader: str, path: str) -> dict:
    """One mzML reader's traversal: every spectrum's m/z and intensity arrays."""
    import numpy  # noqa: F401  (every reader's arrays are numpy's; its import is no reader's)
    cpu_started = _process_cpu_seconds()
    started = time.perf_counter()
    spectra = peaks = 0
    if reader == "pyteomics":
        from pyteomics import mzml
        with mzml.MzML(path) as source:
            for spectrum in source:
                mz = spectrum["m/z array"]
                spectrum["intensity array"]
                spectra += 1
                peaks += len(mz)
    elif reader == "pymzml":
        import pymzml
        for spectrum in pymzml.run.Reader(path):
            if spectrum.ms_level is None:
                continue
            mz = spectrum.mz
            spectrum.i
            spectra += 1
            peaks += len(mz)
    elif reader == "pyopenms":
        import pyopenms
        experiment = pyopenms.MSExperiment()
        pyopenms.MzMLFile().load(path, experiment)
        for spectrum in experiment:
            mz, _ = spectrum.get_peaks()
            spectra += 1
            peaks += len(mz)
    else:
        raise ValueError(reader)
    return {"seconds": time.perf_counter() - started, "cpu": _process_cpu_seconds() - cpu_started,
            "spectra": spectra, "peaks": peaks, "peak_rss": _peak_rss_bytes()}


# numpy's BLAS starts a pool of threads on import that spin for a while;
# nothing here calls BLAS, and their spinning would count as the CPU time of
# whatever a child measures.
CHILD_ENV = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")


def run_child(*args: str, script: str = __file__) -> dict:
    """Runs one measurement of `script` in a new interpreter. Its standard
    error (the mzML readers' chatter) is shown only when it fails."""
    done = subprocess.run([sys.executable, script, "--child", *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=CHILD_ENV)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise subprocess.CalledProcessError(done.returncode, done.args)
    return json.loads(done.stdout.strip().splitlines()[-1])


def best(results: list, key: str = "seconds") -> dict:
    return min(results, key=lambda r: r[key])


# ---------------------------------------------------------------------------
# Runs

def ensure_run(directory: Path, scale: float) -> dict:
    """The run at `directory` (written by bench/make_acquisition), made anew
    when missing or of another size."""
    summary_path = directory / "bench.json"
    scans = max(1, round(20_000 * scale))
    if summary_path.exists():
        summary = json.loads(summary_path.read_text())
        if summary.get("scans") == scans and Path(summary["scan_file"]).exists():
            return summary
    subprocess.run([sys.executable, str(ROOT / "bench" / "make_acquisition"), str(directory),
                    "--scans", str(scans)], check=True)
    return json.loads(summary_path.read_text())


def convert_to_mzml(wiff: str, out: Path) -> dict:
    """Wall and CPU seconds to write indexed mzML (zlib, 64-bit m/z, 32-bit
    intensity) with corvex convert (psims)."""
    from corvex_tools.cli import main as corvex_main
    cpu_started = _process_cpu_seconds()
    started = time.perf_counter()
    if corvex_main(["convert", wiff, "-o", str(out), "-q"]) != 0:
        raise RuntimeError("conversion failed")
    return {"seconds": time.perf_counter() - started, "cpu": _process_cpu_seconds() - cpu_started}


# ---------------------------------------------------------------------------
# Figures

def machine() -> dict:
    model = platform.processor()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"cpu": model, "cores": os.cpu_count(), "load_before": os.getloadavg(),
            "python": platform.python_version()}


def measure(args) -> dict:
    build = Path(args.build).resolve()
    full = ensure_run(OUT / "full", args.scale)
    small = ensure_run(OUT / "small", args.scale / 10)
    mzml_run = ensure_run(OUT / "mzml", max(args.scale * args.mzml_scale, MZML_MIN_SCANS / 20_000)) \
        if not args.no_mzml else None
    results = {"machine": machine(), "scale": args.scale, "repeat": args.repeat, "mzml_scale": args.mzml_scale,
               "run": full, "small_run": small}
    wiff = full["wiff"]
    scan_bytes = full["scan_file_bytes"]

    # a. C++ decode against reading the same bytes
    print("C++ decode ...", flush=True)
    done = subprocess.run([str(build / "run_decode_bench"), wiff, "--repeat", str(args.repeat)],
                          check=True, stdout=subprocess.PIPE, text=True)
    cpp = json.loads(done.stdout)
    results["cpp"] = cpp

    # b. RawReader construction
    print("RawReader construction ...", flush=True)
    results["construct"] = [run_child("construct", wiff) for _ in range(args.repeat)]

    # c. traversal against the tolist floor, interleaved so that both see the same load
    print("Python traversal ...", flush=True)
    traversals, floors = [], []
    counts_file = OUT / "counts.json"
    for _ in range(args.repeat):
        traversal = run_child("traverse", wiff)
        counts_file.write_text(json.dumps(traversal.pop("counts")))
        traversals.append(traversal)
        floors.append(run_child("tolist", str(counts_file)))
    results["traverse"] = traversals
    results["tolist"] = floors

    # f. the array layer: numpy traversal, load and open_run
    print("Array layer: iter_peaks, load, open_run ...", flush=True)
    results["iter_peaks"] = [run_child("iter_peaks", wiff) for _ in range(args.repeat)]
    results["load"] = [run_child("load", wiff) for _ in range(args.repeat)]
    results["open_run"] = [run_child("open_run", wiff) for _ in range(args.repeat)]
    results["open_run_small"] = [run_child("open_run", small["wiff"]) for _ in range(args.repeat)]

    # e. streaming peak RSS, full run against the run ten times smaller
    print("Streaming peak RSS of the smaller run ...", flush=True)
    small_traversal = run_child("traverse", small["wiff"])
    small_traversal.pop("counts")
    results["traverse_small"] = small_traversal

    # d. mzML readers on the smaller run
    if not args.no_mzml:
        mzml_path = OUT / "mzml" / "bench.mzML"
        if not mzml_path.exists() or mzml_path.stat().st_mtime < Path(mzml_run["scan_file"]).stat().st_mtime:
            print("Converting the mzML comparison run to mzML ...", flush=True)
            results["mzml_convert"] = convert_to_mzml(mzml_run["wiff"], mzml_path)
        results["mzml_bytes"] = mzml_path.stat().st_size
        mzml = {}
        for reader in ("pyteomics", "pymzml", "pyopenms"):
            print("mzML with %s ..." % reader, flush=True)
            try:
                mzml[reader] = best([run_child("mzml", reader, str(mzml_path))
                                     for _ in range(args.mzml_repeat)])
            except subprocess.CalledProcessError as failure:
                mzml[reader] = {"error": "exit status %d" % failure.returncode}
        results["mzml"] = mzml
        results["mzml_run"] = mzml_run
        results["traverse_mzml_corvex"] = [{k: v for k, v in run_child("traverse", mzml_run["wiff"]).items()
                                            if k != "counts"} for _ in range(args.repeat)]
        results["iter_peaks_mzml"] = [run_child("iter_peaks", mzml_run["wiff"]) for _ in range(args.repeat)]
    results["machine"]["load_after"] = os.getloadavg()
    results["scan_bytes"] = scan_bytes
    return results


def summarise(results: dict, basis: str) -> list:
    """Rows of figure, value, detail, ratio, target and verdict. Verdicts use
    wall-clock times when `basis` is "wall", CPU times when it is "cpu"."""
    rows = []
    cpu_basis = basis == "cpu"
    cpp = results["cpp"]
    peaks = cpp["peaks"]
    payload = cpp["payload_bytes"]

    def verdict(key, value, at_least=False):
        target = TARGETS[key]
        ok = value >= target if at_least else value <= target
        return ("%s %g" % (">=" if at_least else "<=", target), "PASS" if ok else "FAIL")

    def both(wall, cpu, unit="s", scale=1.0, digits=2):
        return "%.*f %s wall, %.*f %s CPU" % (digits, wall * scale, unit, digits, cpu * scale, unit)

    # a. C++ decode, single-threaded
    for mode in ("floor", "decode", "assemble"):
        t = cpp[mode]
        seconds = t["cpu_s"] if cpu_basis else t["wall_s"]
        row = {"figure": "C++ %s per peak" % {"floor": "read+sum floor", "decode": "decode",
                                               "assemble": "spectrum assembly"}[mode],
               "value": both(t["wall_s"] / peaks, t["cpu_s"] / peaks, "ns", 1e9),
               "detail": "%.0f MB/s payload, %.0f spectra/s" % (payload / seconds / 1e6, cpp["scans"] / seconds)}
        if mode != "floor":
            floor = cpp["floor"]["cpu_s" if cpu_basis else "wall_s"]
            row["ratio"] = "%.1fx floor" % (seconds / floor)
            row["target"], row["verdict"] = verdict("decode_ns_per_peak", seconds / peaks * 1e9)
        rows.append(row)

    fresh = cpp.get("fresh")
    if fresh:
        seconds = fresh["cpu_s"] if cpu_basis else fresh["wall_s"]
        rows.append({"figure": "C++ fresh-memory floor per peak", "value": both(
                         fresh["wall_s"] / peaks, fresh["cpu_s"] / peaks, "ns", 1e9),
                     "detail": "new 12 B/peak arrays kept, as RawReader; %.2f GB/s of scan file" % (
                         results["scan_bytes"] / seconds / 1e9)})

    # b. RawReader construction: time and memory
    construct = min(results["construct"], key=lambda c: c["cpu" if cpu_basis else "seconds"])
    scan_bytes = results["scan_bytes"]
    seconds = construct["cpu"] if cpu_basis else construct["seconds"]
    target, ok = verdict("construction_gb_per_s", scan_bytes / seconds / 1e9, at_least=True)
    rows.append({"figure": "RawReader construction", "value": both(construct["seconds"], construct["cpu"]),
                 "detail": "%.2f GB/s of scan file" % (scan_bytes / seconds / 1e9), "target": target,
                 "verdict": ok})
    grown = max(c["peak_rss"] - c["rss_before"] for c in results["construct"])
    budget = 1.1 * 12 * peaks + 512 * cpp["scans"]
    target, ok = verdict("rawreader_memory_vs_budget", grown / budget)
    rows.append({"figure": "RawReader peak RSS growth", "value": "%.0f MB" % (grown / 1e6),
                 "detail": "%.2f B/peak; 12 B/peak is %.0f MB" % (grown / peaks, 12 * peaks / 1e6),
                 "ratio": "%.3fx (1.1 x 12 B/peak + 512 B/spectrum)" % (grown / budget), "target": target,
                 "verdict": ok})

    # c. Python traversal against the tolist floor
    key, list_key = ("cpu", "list_cpu") if cpu_basis else ("seconds", "list_seconds")
    traverse = min(results["traverse"], key=lambda t: t[key])
    lists = min(t[list_key] for t in results["traverse"])
    lists_wall = min(t["list_seconds"] for t in results["traverse"])
    lists_cpu = min(t["list_cpu"] for t in results["traverse"])
    floor = min(t[list_key] for t in results["tolist"])
    floor_wall = min(t["list_seconds"] for t in results["tolist"])
    floor_cpu = min(t["list_cpu"] for t in results["tolist"])
    rows.append({"figure": "tolist() floor, same floats", "value": both(floor_wall, floor_cpu),
                 "detail": "%.1f ns/float" % (floor / (2 * traverse["peaks"]) * 1e9)})
    target, ok = verdict("list_building_vs_tolist", lists / floor)
    rows.append({"figure": "list building (s.mz, s.intensity)", "value": both(lists_wall, lists_cpu),
                 "detail": "%.1f ns/float" % (lists / (2 * traverse["peaks"]) * 1e9),
                 "ratio": "%.2fx floor" % (lists / floor), "target": target, "verdict": ok})
    target, ok = verdict("traversal_vs_tolist", traverse[key] / floor)
    rows.append({"figure": "traversal for s in iter_spectra", "value": both(traverse["seconds"], traverse["cpu"]),
                 "detail": "%.0f spectra/s, %.1f M peaks/s; process CPU %.2f s" % (
                     traverse["spectra"] / traverse[key], traverse["peaks"] / traverse[key] / 1e6,
                     traverse["process_cpu"]),
                 "ratio": "%.2fx floor" % (traverse[key] / floor), "target": target, "verdict": ok})

    # d. mzML readers, on the smaller run
    if "mzml" in results:
        corvex_small = min(results["traverse_mzml_corvex"], key=lambda t: t["process_cpu" if cpu_basis else "seconds"])
        corvex_seconds = corvex_small["process_cpu"] if cpu_basis else corvex_small["seconds"]
        share = "%d spectra" % results["mzml_run"]["scans"]
        fastest = None
        for reader, figures in results["mzml"].items():
            if "error" in figures:
                rows.append({"figure": "mzML %s (%s)" % (reader, share), "value": figures["error"]})
                continue
            ratio = figures["cpu" if cpu_basis else "seconds"] / corvex_seconds
            fastest = ratio if fastest is None else min(fastest, ratio)
            rows.append({"figure": "mzML read, %s (%s)" % (reader, share),
                         "value": both(figures["seconds"], figures["cpu"]),
                         "detail": "%d spectra, %d peaks" % (figures["spectra"], figures["peaks"]),
                         "ratio": "%.1fx corvex" % ratio})
        rows.append({"figure": "corvex traversal (%s)" % share,
                     "value": both(corvex_small["seconds"], corvex_small["process_cpu"]),
                     "detail": "CPU of both threads"})
        if fastest is not None:
            target, ok = verdict("mzml_fastest_vs_corvex", fastest, at_least=True)
            rows.append({"figure": "fastest mzML reader / corvex", "value": "%.1fx" % fastest,
                         "target": target, "verdict": ok})
        convert = results.get("mzml_convert")
        if convert:
            rows.append({"figure": "mzML conversion (%s, corvex convert)" % share,
                         "value": both(convert["seconds"], convert["cpu"]),
                         "detail": "%.0f MB of mzML" % (results["mzml_bytes"] / 1e6)})
            if fastest is not None:
                path = convert["cpu" if cpu_basis else "seconds"] / corvex_seconds + fastest
                rows.append({"figure": "convert to mzML + fastest read / corvex", "value": "%.1fx" % path,
                             "detail": "the whole mzML path against reading the WIFF run"})

    # f. the array layer
    if "iter_peaks" in results:
        rows += array_rows(results, cpu_basis, verdict, both)

    # e. streaming memory: full run against the run ten times smaller
    small = results["traverse_small"]
    growth = traverse["peak_rss"] - small["peak_rss"]
    largest = 12 * max(traverse["largest"], small["largest"])
    target, ok = verdict("streaming_rss_growth_vs_3_largest", growth / (3 * largest))
    rows.append({"figure": "iter_spectra peak RSS, full vs 1/10 run",
                 "value": "%.1f MB vs %.1f MB" % (traverse["peak_rss"] / 1e6, small["peak_rss"] / 1e6),
                 "detail": "growth %.2f MB; largest spectrum %.2f MB at 12 B/peak" % (growth / 1e6, largest / 1e6),
                 "ratio": "%.2fx 3 largest" % (growth / (3 * largest)), "target": target, "verdict": ok})
    return rows


def array_rows(results: dict, cpu_basis: bool, verdict, both) -> list:
    """numpy traversal against C++ decoding and the mzML readers, load against
    RawReader construction and the fresh-memory floor, open_run's time and
    memory. Times of the threaded figures count the CPU of every thread."""
    rows = []
    cpp = results["cpp"]
    peaks = cpp["peaks"]
    key = "cpu" if cpu_basis else "seconds"
    cpp_key = "cpu_s" if cpu_basis else "wall_s"

    traversal = min(results["iter_peaks"], key=lambda t: t[key])
    decode = cpp["decode"][cpp_key]
    target, ok = verdict("iter_peaks_vs_cpp_decode", traversal[key] / decode)
    rows.append({"figure": "numpy traversal (iter_peaks)", "value": both(traversal["seconds"], traversal["cpu"]),
                 "detail": "%.1f ns/peak, %d spectra; peak RSS %.0f MB" % (
                     traversal[key] / peaks * 1e9, traversal["spectra"], traversal["peak_rss"] / 1e6),
                 "ratio": "%.2fx C++ decode (1 thread)" % (traversal[key] / decode), "target": target,
                 "verdict": ok})

    if "mzml" in results and results.get("iter_peaks_mzml"):
        on_mzml_run = min(results["iter_peaks_mzml"], key=lambda t: t[key])
        readers = {r: f for r, f in results["mzml"].items() if "error" not in f}
        if readers:
            name, fastest = min(readers.items(), key=lambda item: item[1][key])
            ratio = fastest[key] / on_mzml_run[key]
            target, ok = verdict("mzml_fastest_vs_iter_peaks", ratio, at_least=True)
            rows.append({"figure": "fastest mzML reader / iter_peaks",
                         "value": "%.1fx (%s)" % (ratio, name),
                         "detail": "%d spectra: %s vs %s" % (
                             on_mzml_run["spectra"], both(fastest["seconds"], fastest["cpu"]),
                             both(on_mzml_run["seconds"], on_mzml_run["cpu"])),
                         "target": target, "verdict": ok})

    load = min(results["load"], key=lambda t: t[key])
    construct = min(results["construct"], key=lambda c: c[key])
    target, ok = verdict("rawreader_vs_load", construct[key] / load[key], at_least=True)
    rows.append({"figure": "load() of every spectrum", "value": both(load["seconds"], load["cpu"]),
                 "detail": "%.2f GB/s of scan file, %.1f ns/peak" % (
                     results["scan_bytes"] / load[key] / 1e9, load[key] / peaks * 1e9),
                 "ratio": "%.2fx faster than RawReader" % (construct[key] / load[key]), "target": target,
                 "verdict": ok})
    fresh = cpp["fresh_threads"][cpp_key]
    target, ok = verdict("load_vs_fresh_threads", load[key] / fresh)
    rows.append({"figure": "load() against the fresh-memory floor",
                 "value": both(cpp["fresh_threads"]["wall_s"], cpp["fresh_threads"]["cpu_s"]),
                 "detail": "floor: 12 B/peak allocated and written on %d threads" % cpp["threads"],
                 "ratio": "%.2fx floor" % (load[key] / fresh), "target": target, "verdict": ok})

    opened = min(results["open_run"], key=lambda t: t[key])
    opened_small = min(results["open_run_small"], key=lambda t: t[key])
    growth = max(r["peak_rss"] - r["rss_before"] for r in results["open_run"])
    growth_small = max(r["peak_rss"] - r["rss_before"] for r in results["open_run_small"])
    construct_growth = max(c["peak_rss"] - c["rss_before"] for c in results["construct"])
    rows.append({"figure": "open_run (full run)", "value": both(opened["seconds"], opened["cpu"]),
                 "detail": "peak RSS growth %.1f MB; RawReader %s and %.0f MB" % (
                     growth / 1e6, both(construct["seconds"], construct["cpu"]), construct_growth / 1e6),
                 "ratio": "%.0fx faster than RawReader" % (construct[key] / opened[key])})
    apart = abs(growth - growth_small) / 2**20
    target, ok = verdict("open_run_rss_full_vs_small_mib", apart)
    rows.append({"figure": "open_run peak RSS growth, full vs 1/10 run",
                 "value": "%.1f MB vs %.1f MB" % (growth / 1e6, growth_small / 1e6),
                 "detail": "%d vs %d scans; open %.3f s vs %.3f s" % (
                     opened["scans"], opened_small["scans"], opened[key], opened_small[key]),
                 "ratio": "%.1f MiB apart" % apart, "target": target, "verdict": ok})
    return rows


def print_table(results: dict, rows: list) -> None:
    m = results["machine"]
    run = results["run"]
    print()
    print("machine: %s, %d cores, load %.2f before / %.2f after, Python %s" % (
        m["cpu"], m["cores"], m["load_before"][0], m["load_after"][0], m["python"]))
    print("run: %d scans, %d peaks, %.0f MB scan file; the mzML figures use a run of %d scans" % (
        run["scans"], results["cpp"]["peaks"], results["scan_bytes"] / 1e6,
        results["mzml_run"]["scans"] if results.get("mzml_run") else 0))
    print("verdicts on %s times (%s); each time the best of %d" % (
        results["basis"], "--basis" if results["basis_chosen"] else
        "CPU since the load average exceeded the core count" if results["basis"] == "cpu" else
        "the machine was not overloaded", results["repeat"]))
    columns = ("figure", "value", "detail", "ratio", "target", "verdict")
    widths = [max(len(c), *(len(str(r.get(c, ""))) for r in rows)) for c in columns]
    print("  ".join(c.ljust(w) for c, w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(str(row.get(c, "")).ljust(w) for c, w in zip(columns, widths)))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    parser.add_argument("--build", default="build-bench", help="build directory (default: build-bench)")
    parser.add_argument("--scale", type=float, default=1.0, help="run size, 1 = 20,000 scans")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--mzml-repeat", type=int, default=1)
    parser.add_argument("--mzml-scale", type=float, default=0.05,
                        help="size of the mzML comparison run against the full one (default: 1/20, and "
                             "never fewer than %d spectra)" % MZML_MIN_SCANS)
    parser.add_argument("--no-mzml", action="store_true", help="leave out the mzML readers")
    parser.add_argument("--basis", choices=("wall", "cpu"),
                        help="times the verdicts use (default: CPU when the load average was above the "
                             "number of cores during the run, else wall-clock)")
    parser.add_argument("--summarise", metavar="RESULTS_JSON", help="only print the table of earlier results")
    args = parser.parse_args(argv)
    if args.child:
        kind, *rest = args.child
        handler = {"construct": child_construct, "traverse": child_traverse, "tolist": child_tolist,
                   "mzml": child_mzml, "iter_peaks": child_iter_peaks, "load": child_load,
                   "open_run": child_open_run}[kind]
        print(json.dumps(handler(*rest)))
        return 0
    OUT.mkdir(parents=True, exist_ok=True)
    results = json.loads(Path(args.summarise).read_text()) if args.summarise else measure(args)
    overloaded = max(results["machine"]["load_before"][0], results["machine"]["load_after"][0]) > (
        results["machine"]["cores"] or 1)
    results["basis"] = args.basis or ("cpu" if overloaded else "wall")
    results["basis_chosen"] = args.basis is not None
    rows = summarise(results, results["basis"])
    results["table"] = rows
    print_table(results, rows)
    (OUT / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    print("\nwrote %s" % (OUT / "results.json"))
    return 0 if all(r.get("verdict", "PASS") == "PASS" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())

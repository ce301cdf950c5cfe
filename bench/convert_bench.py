"""Conversion throughput: reading a run with iter_spectra against converting it.

Writes a synthetic single-sample run (default about 100 MB of scan data) and
one ten times smaller, then times, each best of --repeat runs going round
the cases in turn (so that a change in the machine's load weighs on every
case alike):

* read:  iterating iter_spectra and fetching every spectrum's m/z and
         intensity lists (what the mzML and MGF targets are measured against);
* mzML with zlib (on one thread per CPU and on one thread), without
  compression, with MS-Numpress (with and without zlib), and MGF, each a
  `corvex convert` in this process after the imports; mzML with zlib and
  MGF again with --centroid, against their profile conversions (time and
  size);
* the floor: the conversion's own deflate of the same arrays, from memory,
  on as many threads (bench/deflate_floor_bench.cpp);
* with --psims, mzML through psims' own write_spectrum for every spectrum,
  for reference (several minutes on the full run).

It prints spectra/s and MB/s (of .wiff.scan input) for each, its ratio to
the read and its output size; then each conversion's peak RSS in a process
of its own on both runs; then how long a conversion takes to end after
SIGINT, SIGTERM and SIGHUP. Targets, printed PASS or FAIL:

* mzML with zlib <= 1.5x the read, and <= 1.25x the deflate floor;
* mzML without compression <= 1.0x the read;
* MGF <= 2x the read;
* peak RSS of a conversion independent of run size: full run and the run ten
  times smaller < 64 MiB apart;
* a signal ends a conversion within a second and leaves no file.

Ratios use wall-clock times on an idle machine and CPU times (every thread
of this process) when the load average before the start exceeds the number
of CPUs (--basis picks one).

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCORVEX_BUILD_BENCH=ON
    cmake --build build-bench --target deflate_floor_bench
    python bench/convert_bench.py --mb 100        # with corvex and corvex_tools installed
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

_ROOT = Path(__file__).resolve().parents[1]
for extra in (_ROOT / "tests", _ROOT / "python"):
    if str(extra) not in sys.path:
        sys.path.append(str(extra))

import corvex  # noqa: E402
import corvex_tools  # noqa: E402
from corvex_tools.cli import main as corvex_main  # noqa: E402
from wifffixture.synthetic import write_synthetic_run  # noqa: E402

# Where the corvex and corvex_tools in use are, for the child processes.
CHILD_PATH = os.pathsep.join([os.path.dirname(corvex.__file__),
                              os.path.dirname(os.path.dirname(corvex_tools.__file__))])
MiB = 1 << 20


def read_all(path: str) -> int:
    n = 0
    for spectrum in corvex.iter_spectra(path):
        spectrum.mz
        spectrum.intensity
        n += 1
    return n


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)  # every thread of this process
    return usage.ru_utime + usage.ru_stime


def measure(fn: Callable[[], object]) -> Tuple[float, float]:
    """Wall-clock and CPU seconds of one call of ``fn``."""
    start, start_cpu = time.perf_counter(), cpu_seconds()
    fn()
    return time.perf_counter() - start, cpu_seconds() - start_cpu


def convert(wiff: str, out: Path, *options: str) -> None:
    out.unlink(missing_ok=True)  # its pages go back for the next file, as for every case
    rc = corvex_main(["convert", wiff, "-q", "-o", str(out), *options])
    if rc != 0:
        raise SystemExit(f"conversion failed with status {rc}")


def psims_convert(wiff: str, out: Path) -> None:
    """mzML written by psims' own MzMLWriter.write_spectrum, spectrum by spectrum: a reference."""
    import numpy as np
    from psims.mzml.writer import MzMLWriter  # type: ignore[import-untyped]

    from corvex_tools.mzml_frame import offline_resolver

    with open(out, "wb") as handle, MzMLWriter(handle, close=False, vocabulary_resolver=offline_resolver(),
                                               missing_reference_is_error=False) as writer:
        writer.controlled_vocabularies()
        with writer.run(id="psims"):
            run = corvex_tools.open_run(wiff)
            with writer.spectrum_list(count=run.scan_count):
                for spectrum in corvex.iter_spectra(wiff):
                    writer.write_spectrum(
                        np.asarray(spectrum.mz, np.float64), np.asarray(spectrum.intensity, np.float32),
                        id=spectrum.native_id, params=[{"ms level": spectrum.ms_level}],
                        scan_start_time=spectrum.retention_time_sec, compression="zlib",
                        encoding={"m/z array": np.float64, "intensity array": np.float32})


def deflate_floor(build: Path, wiff: str, threads: int) -> Optional[Dict[str, float]]:
    """Wall and CPU seconds of the conversion's deflate alone, from bench/deflate_floor_bench."""
    binary = build / "deflate_floor_bench"
    if not binary.exists():
        print(f"floor: {binary} is missing; build it with CORVEX_BUILD_BENCH=ON (see --help)")
        return None
    env = dict(os.environ, CORVEX_BENCH_RUN=wiff, CORVEX_BENCH_THREADS=str(threads))
    result = subprocess.run([str(binary), "--benchmark_format=json"], env=env, check=True,
                            capture_output=True, text=True)
    (row,) = json.loads(result.stdout)["benchmarks"]
    return {"wall": row["real_time"] / 1e3, "cpu": row["cpu_seconds"], "out_mb": row["bytes_out"] / 1e6}


# `corvex convert` that reports its peak RSS (VmHWM, in kB) on its last line
# of standard error. The high-water mark of a process's memory starts afresh
# with exec, unlike getrusage's ru_maxrss, which keeps the forking parent's.
PEAK_RSS_CONVERSION = """
import sys
from corvex_tools.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as info:
    print(next(line.split()[1] for line in info if line.startswith("VmHWM:")), file=sys.stderr)
sys.exit(status)
"""


def child_rss(wiff: str, out: Path, options: List[str]) -> int:
    """Peak RSS in bytes of `corvex convert` in a process of its own."""
    out.unlink(missing_ok=True)
    env = dict(os.environ, PYTHONPATH=CHILD_PATH, OPENBLAS_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-c", PEAK_RSS_CONVERSION, "convert", wiff, "-q", "-o", str(out),
                             *options], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"conversion failed with status {result.returncode}: {result.stderr}")
    return int(result.stderr.splitlines()[-1]) * 1024


def stop_time(wiff: str, directory: Path, signum: int, after: float) -> Tuple[Optional[float], int, List[str]]:
    """Seconds from ``signum`` (sent ``after`` seconds into an mzML conversion) to the process's end,
    its exit status, and what it left in ``directory``; no seconds when the conversion ended first."""
    directory.mkdir(exist_ok=True)
    env = dict(os.environ, PYTHONPATH=CHILD_PATH, OPENBLAS_NUM_THREADS="1")
    child = subprocess.Popen([sys.executable, "-m", "corvex_tools", "convert", wiff, "-q", "-o",
                              str(directory / "x.mzML")], env=env, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not os.listdir(directory) and time.monotonic() < deadline:  # the temporary file: converting
        time.sleep(0.01)
    time.sleep(after)
    if child.poll() is not None:
        return None, child.returncode, os.listdir(directory)
    sent = time.perf_counter()
    child.send_signal(signum)
    status = child.wait(timeout=60)
    return time.perf_counter() - sent, status, os.listdir(directory)


def write_floor(directory: Path, size: int) -> Tuple[float, float]:
    """Wall and CPU seconds of writing ``size`` bytes from memory to a new file in ``directory``,
    4 MiB at a time: what the output's file system costs any converter."""
    block = os.urandom(4 * MiB)
    target = directory / "floor.bin"
    target.unlink(missing_ok=True)

    def write() -> None:
        with open(target, "wb", buffering=0) as handle:
            left = size
            while left > 0:
                left -= handle.write(block[:min(left, len(block))])

    times = measure(write)
    target.unlink()
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=100.0, help="approximate .wiff.scan size in MB")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--dir", default=None, help="work directory (default: a temporary one)")
    parser.add_argument("--build", type=Path, default=_ROOT / "build-bench",
                        help="build directory holding deflate_floor_bench (default: build-bench)")
    parser.add_argument("--basis", choices=("auto", "wall", "cpu"), default="auto",
                        help="times the verdicts use (default: CPU times when the load average exceeds the "
                             "number of CPUs)")
    parser.add_argument("--psims", action="store_true", help="also time psims' own write_spectrum (slow)")
    args = parser.parse_args()

    cpus = len(os.sched_getaffinity(0))
    load = os.getloadavg()[0]
    basis = args.basis if args.basis != "auto" else ("cpu" if load > cpus else "wall")
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        work = Path(tmp)
        run = write_synthetic_run(work / "full", "bench", target_bytes=int(args.mb * 1e6))
        tenth = write_synthetic_run(work / "tenth", "bench", target_bytes=int(args.mb * 1e5))
        wiff, mb, n = str(run.wiff_path), run.scan_file_size / 1e6, run.n_scans
        print(f"run: {n} spectra, {int(run.n_points.sum())} points written, {mb:.1f} MB scan data; "
              f"{cpus} CPUs, load average {load:.1f} before the start")

        out = work / "out"
        out.mkdir()
        cases: List[Tuple[str, Callable[[], object], Optional[Path]]] = [
            ("read (iter_spectra + lists)", lambda: read_all(wiff), None),
            ("mzML, zlib", lambda: convert(wiff, out / "z.mzML"), out / "z.mzML"),
            ("mzML, zlib, --threads 1", lambda: convert(wiff, out / "t.mzML", "--threads", "1"), out / "t.mzML"),
            ("mzML, no compression", lambda: convert(wiff, out / "n.mzML", "--no-compression"), out / "n.mzML"),
            ("mzML, numpress linear+slof, zlib",
             lambda: convert(wiff, out / "s.mzML", "--numpress-mz", "linear", "--numpress-intensity", "slof"),
             out / "s.mzML"),
            ("mzML, numpress linear+pic",
             lambda: convert(wiff, out / "p.mzML", "--numpress-mz", "linear", "--numpress-intensity", "pic",
                             "--no-compression"), out / "p.mzML"),
            ("MGF", lambda: convert(wiff, out / "m.mgf"), out / "m.mgf"),
            ("mzML, zlib, --centroid", lambda: convert(wiff, out / "c.mzML", "--centroid"), out / "c.mzML"),
            ("MGF, --centroid", lambda: convert(wiff, out / "c.mgf", "--centroid"), out / "c.mgf"),
        ]
        if args.psims:
            cases.append(("mzML, zlib, psims' write_spectrum", lambda: psims_convert(wiff, out / "ps.mzML"),
                          out / "ps.mzML"))
        walls: List[List[float]] = [[] for _ in cases]
        cpu_times: List[List[float]] = [[] for _ in cases]
        floors = []
        write_floors = []
        for _ in range(args.repeat):
            for k, (_, fn, _) in enumerate(cases):
                wall, cpu = measure(fn)
                walls[k].append(wall)
                cpu_times[k].append(cpu)
            floor = deflate_floor(args.build, wiff, cpus)
            if floor is not None:
                floors.append(floor)
            write_floors.append(write_floor(out, os.path.getsize(out / "n.mzML")))

        print(f"{'case (best of ' + str(args.repeat) + ')':36} {'wall s':>7} {'spectra/s':>10} {'MB/s':>6} "
              f"{'x read':>7} {'CPU s':>7} {'x read':>7} {'out MB':>7}")
        best = {label: (min(walls[k]), min(cpu_times[k])) for k, (label, _, _) in enumerate(cases)}
        base_wall, base_cpu = best[cases[0][0]]
        for label, _, produced in cases:
            seconds, cpu = best[label]
            size = f"{os.path.getsize(produced) / 1e6:7.1f}" if produced else f"{'':7}"
            print(f"{label:36} {seconds:7.2f} {n / seconds:10.0f} {mb / seconds:6.1f} {seconds / base_wall:7.2f} "
                  f"{cpu:7.2f} {cpu / base_cpu:7.2f} {size}")
        floor_times: Optional[Tuple[float, float]] = None
        if floors:
            floor_times = (min(f["wall"] for f in floors), min(f["cpu"] for f in floors))
            print(f"{'floor: deflate only, ' + str(cpus) + ' threads':36} {floor_times[0]:7.2f} {'':10} "
                  f"{mb / floor_times[0]:6.1f} {floor_times[0] / base_wall:7.2f} {floor_times[1]:7.2f} "
                  f"{floor_times[1] / base_cpu:7.2f} {floors[0]['out_mb']:7.1f}")
        written_wall, written_cpu = min(write_floors)
        print(f"{'floor: writing the uncompressed size':36} {written_wall:7.2f} {'':10} {mb / written_wall:6.1f} "
              f"{written_wall / base_wall:7.2f} {written_cpu:7.2f} {written_cpu / base_cpu:7.2f}")
        print(f"load average {os.getloadavg()[0]:.1f} after the timings")
        print(f"\n{'centroided against profile':36} {'wall':>7} {'CPU':>7} {'size':>7}")
        for profile, centroided in (("mzML, zlib", "mzML, zlib, --centroid"), ("MGF", "MGF, --centroid")):
            sizes = [os.path.getsize(produced) for label, _, produced in cases
                     if label in (profile, centroided) and produced is not None]
            print(f"{centroided:36} {best[centroided][0] / best[profile][0]:6.2f}x {best[centroided][1] / best[profile][1]:6.2f}x "
                  f"{sizes[1] / sizes[0]:6.3f}x")

        rss_cases = {"mzML, zlib": [], "MGF": ["--format", "mgf"]}
        rss: Dict[str, Tuple[int, int]] = {}
        print(f"\n{'peak RSS (own process)':36} {'full MiB':>9} {'tenth MiB':>10} {'apart':>7}")
        for label, options in rss_cases.items():
            full = child_rss(wiff, out / "rss", options)
            small = child_rss(str(tenth.wiff_path), out / "rss", options)
            rss[label] = (full, small)
            print(f"{label:36} {full / MiB:9.1f} {small / MiB:10.1f} {(full - small) / MiB:7.1f}")

        stops = {}
        print(f"\n{'signal 0.3 s into an mzML conversion':36} {'ends in s':>9} {'status':>7} {'left':>5}")
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            seconds, status, left = stop_time(wiff, work / f"stop-{signum}", signum, 0.3)
            stops[signal.Signals(signum).name] = (seconds, status, left)
            ended = "finished first" if seconds is None else f"{seconds:9.2f}"
            print(f"{signal.Signals(signum).name:36} {ended:>9} {status:7d} {len(left):5d}")

        key = 1 if basis == "cpu" else 0
        ratio = {label: best[label][key] / best[cases[0][0]][key] for label in best}
        targets = [
            ("mzML, zlib <= 1.5x the read", ratio["mzML, zlib"], 1.5),
            ("mzML, no compression <= 1.0x the read", ratio["mzML, no compression"], 1.0),
            ("MGF <= 2x the read", ratio["MGF"], 2.0),
        ]
        if floor_times is not None:
            targets.insert(1, ("mzML, zlib <= 1.25x the deflate floor",
                               best["mzML, zlib"][key] / floor_times[key], 1.25))
        print(f"\ntargets ({basis} times{' (the machine is loaded)' if basis == 'cpu' else ''}):")
        failed = 0
        for label, value, limit in targets:
            verdict = "PASS" if value <= limit else "FAIL"
            failed += verdict == "FAIL"
            print(f"  {label:48} {value:6.2f}x  {verdict}")
        for label, (full, small) in rss.items():
            verdict = "PASS" if abs(full - small) < 64 * MiB else "FAIL"
            failed += verdict == "FAIL"
            print(f"  {label + ' peak RSS, full vs tenth < 64 MiB apart':48} "
                  f"{(full - small) / MiB:6.1f} MiB  {verdict}")
        for name, (seconds, status, left) in stops.items():
            label = name + ' ends a conversion within 1 s, no file left'
            if seconds is None:  # the run is too small to be stopped on this machine
                print(f"  {label:48} {'':6}      n/a (the conversion finished first)")
                continue
            verdict = "PASS" if seconds <= 1.0 and not left and status != 0 else "FAIL"
            failed += verdict == "FAIL"
            print(f"  {label:48} {seconds:6.2f} s    {verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

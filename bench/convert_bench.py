"""Conversion throughput: reading a run with iter_spectra against converting it.

Writes a synthetic single-sample run (default about 100 MB of scan data),
then times, each best of --repeat runs:

* read:  iterating iter_spectra and fetching every spectrum's m/z and
         intensity lists (the least any converter has to do);
* mzML:  `corvex convert` to indexed mzML with zlib compression, rendered
         in worker processes (the default for this size) and in this process,
         with the arrays compressed in worker threads and in the main thread;
* mzML (no compression), MGF, and mzML with psims' own write_spectrum
  for every spectrum (what a plain psims writer costs).

and prints spectra/s and MB/s (of .wiff.scan input) for each, with the
ratio to reading.  The repeats go round the cases in turn, so that a change
in the machine's load during the run weighs on every case alike; CPU time
(all threads of the process and of the worker processes it waited for) is
the steadier figure on a shared machine.
--profile writes a cProfile of one mzML conversion in one process (of its main thread;
arrays are encoded and written in worker threads) and prints where the time
goes.

    PYTHONPATH=build:python:tests python bench/convert_bench.py --mb 100
"""

from __future__ import annotations

import argparse
import cProfile
import functools
import io
import os
import pstats
import resource
import sys
import tempfile
import time
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[1]
for extra in (_ROOT / "tests", _ROOT / "python"):
    if str(extra) not in sys.path:
        sys.path.append(str(extra))

import corvex  # noqa: E402
from corvex_tools.cli import main as corvex_main  # noqa: E402
from wifffixture.synthetic import write_synthetic_run  # noqa: E402


def read_all(path: str) -> int:
    n = 0
    for spectrum in corvex.iter_spectra(path):
        spectrum.mz
        spectrum.intensity
        n += 1
    return n


def cpu_seconds() -> float:
    total = 0.0
    # all threads of this process, and the worker processes it has reaped
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def measure(fn) -> "tuple[float, float]":
    """Wall-clock and CPU seconds of one call of ``fn``.

    CPU time counts the decoding, encoding and writing threads too; it is the
    steadier figure on a machine shared with other work, where wall time
    mostly measures waiting.
    """
    start, start_cpu = time.perf_counter(), cpu_seconds()
    fn()
    return time.perf_counter() - start, cpu_seconds() - start_cpu


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=100.0, help="approximate .wiff.scan size in MB")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--dir", default=None, help="work directory (default: a temporary one)")
    parser.add_argument("--profile", action="store_true", help="profile one mzML conversion")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        work = Path(tmp)
        run = write_synthetic_run(work, "bench", target_bytes=int(args.mb * 1e6))
        wiff = str(run.wiff_path)
        mb = run.scan_file_size / 1e6
        n = run.n_scans
        print(f"run: {n} spectra, {int(run.n_points.sum())} points written, {mb:.1f} MB scan data")

        def convert(*extra: str) -> None:
            rc = corvex_main(["convert", wiff, "-q", *extra])
            if rc != 0:
                raise SystemExit(f"conversion failed with status {rc}")

        def convert_with_psims_spectra(*extra: str) -> None:
            # The same conversion with psims' own write_spectrum for every
            # spectrum instead of the cached element templates: what a plain
            # psims writer costs.
            import corvex_tools.mzml as mzml

            original = mzml.write_mzml
            mzml.write_mzml = functools.partial(original, fast_spectra=False)
            try:
                convert(*extra)
            finally:
                mzml.write_mzml = original

        out = work / "out"
        out.mkdir()
        cases = [
            ("read (iter_spectra + arrays)", lambda: read_all(wiff), None),
            ("mzML, zlib", lambda: convert("-o", str(out / "a.mzML")), out / "a.mzML"),
            ("mzML, zlib, --jobs 1", lambda: convert("-o", str(out / "j.mzML"), "--jobs", "1"), out / "j.mzML"),
            ("mzML, zlib, --jobs 1 --threads 0",
             lambda: convert("-o", str(out / "t.mzML"), "--jobs", "1", "--threads", "0"), out / "t.mzML"),
            ("mzML, no compression", lambda: convert("-o", str(out / "b.mzML"), "--no-compression"),
             out / "b.mzML"),
            ("MGF", lambda: convert("-o", str(out / "c.mgf")), out / "c.mgf"),
            ("mzML, zlib, psims' write_spectrum",
             lambda: convert_with_psims_spectra("-o", str(out / "p.mzML"), "--jobs", "1"), out / "p.mzML"),
        ]
        print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
        walls: "list[list[float]]" = [[] for _ in cases]
        cpus: "list[list[float]]" = [[] for _ in cases]
        for _ in range(args.repeat):
            for k, (_, fn, _) in enumerate(cases):
                wall, cpu = measure(fn)
                walls[k].append(wall)
                cpus[k].append(cpu)
        print(f"{'case (best of ' + str(args.repeat) + ')':34} {'wall s':>7} {'spectra/s':>10} {'MB/s':>6} "
              f"{'x read':>7} {'CPU s':>7} {'x read':>7} {'out MB':>7}")
        base, base_cpu = min(walls[0]), min(cpus[0])
        for k, (label, _, produced) in enumerate(cases):
            seconds, cpu = min(walls[k]), min(cpus[k])
            size = f"{os.path.getsize(produced) / 1e6:7.1f}" if produced else f"{'':7}"
            print(f"{label:34} {seconds:7.2f} {n / seconds:10.0f} {mb / seconds:6.1f} {seconds / base:7.2f} "
                  f"{cpu:7.2f} {cpu / base_cpu:7.2f} {size}")
        print(f"load average {os.getloadavg()[0]:.1f}")

        if args.profile:
            profiler = cProfile.Profile()
            profiler.enable()
            convert("-o", str(out / "p.mzML"), "--jobs", "1")
            profiler.disable()
            text = io.StringIO()
            pstats.Stats(profiler, stream=text).sort_stats("tottime").print_stats(25)
            print(text.getvalue())
    return 0


if __name__ == "__main__":
    sys.exit(main())

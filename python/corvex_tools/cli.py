"""The ``corvex`` command: ``corvex info``, ``corvex convert`` and ``corvex report``."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import signal
import sys
import threading
from contextlib import ExitStack
from pathlib import Path
from typing import Any, Callable, Iterator, List, Optional, Sequence, Union

import corvex

from . import ToolError
from .info import format_text, summarize
from .output import atomic_output, plan_outputs
from .scan_file import sample_truncation, scan_file_path
from .writers import NUMPRESS_INTENSITY, NUMPRESS_MZ

FORMATS = {"mzml": ("mzML", ".mzML"), "mgf": ("mgf", ".mgf"), "parquet": ("Parquet", ".parquet")}


def _input(path: str) -> str:
    """Check the input path before handing it to the reader, for clearer messages."""
    if not os.path.exists(path):
        raise ToolError(f"{path}: no such file")
    if os.path.isdir(path):
        raise ToolError(f"{path}: is a directory, not a .wiff file")
    return path


def _reader_error(path: str, error: RuntimeError) -> ToolError:
    return ToolError(f"{path}: {error}")


def _samples(path: str) -> List[str]:
    try:
        return corvex.list_samples(path)
    except RuntimeError as error:
        raise _reader_error(path, error) from error


def cmd_info(args: argparse.Namespace) -> int:
    path = _input(args.run)
    _samples(path)  # reports a damaged or foreign file before any sample is opened
    try:
        summary = summarize(path)
    except RuntimeError as error:
        raise _reader_error(path, error) from error
    if args.json:
        json.dump(summary, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(format_text(summary))
    return 0


def _file_part(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip(".") or "sample"


def _file_names(path: str, samples: List[str], all_names: List[str], suffix: str) -> List[str]:
    """The name of each sample's output file: RUN.SUFFIX, or RUN.SAMPLE.SUFFIX when the run has several."""
    stem = Path(path).stem
    if len(all_names) == 1:
        return [f"{stem}{suffix}" for _ in samples]
    return [f"{stem}.{_file_part(sample)}{suffix}" for sample in samples]


def _progress(total: Optional[int], label: str, stack: ExitStack) -> Optional[Callable[[int], Any]]:
    """A tqdm progress bar on an interactive stderr; nothing otherwise."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    bar = stack.enter_context(tqdm(total=total, desc=label, unit="spectra", leave=False,
                                   file=sys.stderr, dynamic_ncols=True))
    update: Callable[[int], Any] = bar.update
    return update


def _convert_sample(path: str, sample: str, target: Path, fmt: str, compression: bool = True,
                    threads: Optional[int] = None, show_progress: bool = True, *,
                    numpress_mz: Optional[str] = None, numpress_intensity: Optional[str] = None,
                    centroid: bool = False) -> int:
    """Convert one sample to ``target``; return the number of spectra written.

    ``compression``, ``numpress_mz`` and ``numpress_intensity`` code mzML's
    arrays; ``threads`` is the number of worker threads (None or 0: one per
    CPU); ``centroid`` writes the peak picker's centroids (default
    parameters) instead of the profile peaks.  The batch converts each of
    its samples through here.
    """
    label = f"{Path(path).name}:{sample}"
    inputs = _inputs(path)
    with ExitStack() as stack:
        def progress(total: Optional[int]) -> Optional[Callable[[int], Any]]:
            return _progress(total, label, stack) if show_progress else None

        if fmt == "parquet":
            from .parquet import convert_parquet

            try:
                return convert_parquet(path, sample, target, inputs, centroid=centroid, progress=progress)
            except RuntimeError as error:
                raise _reader_error(path, error) from error
        try:
            from . import writers
            if fmt == "mzml":
                from . import mzml_frame  # noqa: F401  (psims, which mzML needs, is named here if missing)
        except ImportError as error:
            package = (error.name or "").partition(".")[0] or str(error)
            raise ToolError(f"{FORMATS[fmt][0]} output needs the Python module {package!r}, "
                            f"which cannot be imported ({error})") from error
        from .arrays import open_run

        try:
            run = open_run(path, sample)
            with atomic_output(target, inputs) as out:
                report = progress(run.scan_count)
                if fmt == "mzml":
                    return writers.convert_mzml(out, run, compression=compression, numpress_mz=numpress_mz,
                                                numpress_intensity=numpress_intensity, threads=threads,
                                                centroid=centroid, progress=report)
                written, skipped = writers.convert_mgf(out, run, threads=threads, centroid=centroid,
                                                       progress=report)
        except RuntimeError as error:
            raise _reader_error(path, error) from error
        if skipped:
            print(f"corvex: {label}: left out {skipped} fragment spectra without a precursor m/z", file=sys.stderr)
        return written


def _inputs(path: str) -> List[Union[str, Path]]:
    """The files a conversion reads, which no output may replace."""
    return [path, scan_file_path(path)]


def _check_scan_file(path: str, sample: str, allow_truncated: bool) -> None:
    """Refuse a sample whose scan blocks reach past the end of the scan data file, or warn with --allow-truncated."""
    try:
        truncation = sample_truncation(path, sample)
    except RuntimeError as error:
        raise _reader_error(path, error) from error
    if truncation is None:
        return
    if not allow_truncated:
        raise ToolError(f"{path}: sample {sample!r}: {truncation.describe()}; the run is incomplete "
                        "(--allow-truncated converts it anyway)")
    print(f"corvex: warning: {path}: sample {sample!r}: {truncation.describe()}; converting anyway",
          file=sys.stderr)


def _chosen_samples(path: str, names: List[str], args: argparse.Namespace, verb: str) -> List[str]:
    """The samples that --sample NAME or --all-samples pick of ``names``; with neither, the only one."""
    if args.sample is not None:
        if args.sample not in names:
            raise ToolError(f"{path}: no sample named {args.sample!r} (samples: {', '.join(names)})")
        return [args.sample]
    if args.all_samples or len(names) == 1:
        return names
    raise ToolError(f"{path} holds {len(names)} samples ({', '.join(names)}); "
                    f"choose one with --sample NAME or {verb} all with --all-samples")


def cmd_convert(args: argparse.Namespace) -> int:
    fmt = args.format
    if fmt is None:
        fmt = _format_of(args.output if len(args.run) == 1 else None)
    if fmt != "mzml" and (args.numpress_mz or args.numpress_intensity):
        raise ToolError("--numpress-mz and --numpress-intensity apply to mzML output")
    if args.jobs is not None:
        print("corvex: warning: --jobs is deprecated and does nothing: conversion runs on threads "
              "(--threads N)", file=sys.stderr)
    if len(args.run) > 1 or os.path.isdir(args.run[0]):
        return _convert_batch(args, fmt)
    if args.scheduler is not None:
        raise ToolError("--scheduler applies to a batch: give several runs or a directory")
    path = _input(args.run[0])
    all_names = _samples(path)
    samples = _chosen_samples(path, all_names, args, "convert")
    for sample in samples:
        _check_scan_file(path, sample, args.allow_truncated)
    targets = plan_outputs(args.output, _file_names(path, samples, all_names, FORMATS[fmt][1]),
                           inputs=_inputs(path), directories=fmt == "parquet")
    for sample, target in zip(samples, targets):
        _convert_sample(path, sample, target, fmt, compression=not args.no_compression, threads=args.threads,
                        numpress_mz=args.numpress_mz, numpress_intensity=args.numpress_intensity,
                        centroid=args.centroid)
        if not args.quiet and sys.stderr.isatty():
            print(f"corvex: wrote {target}", file=sys.stderr)
    return 0


def _convert_batch(args: argparse.Namespace, fmt: str) -> int:
    """Several inputs, or a directory: every sample of every run, on a Dask cluster when there is more than one."""
    from .batch import convert_batch

    if args.sample is not None:
        raise ToolError("--sample applies to one run; with several inputs every sample is converted")
    if args.workers is None:
        from ._native import available_cpus  # type: ignore[import-untyped, unused-ignore]

        args.workers = available_cpus()
    return convert_batch(args.run, fmt, FORMATS[fmt][0], FORMATS[fmt][1], args.output,
                         compression=not args.no_compression, numpress_mz=args.numpress_mz,
                         numpress_intensity=args.numpress_intensity, threads=args.threads,
                         centroid=args.centroid, allow_truncated=args.allow_truncated, workers=args.workers, scheduler=args.scheduler)


def _format_of(output: Optional[str]) -> str:
    """The format an output name implies: MGF for *.mgf, Parquet for *.parquet and *.zip, else mzML."""
    name = (output or "").lower().rstrip(os.sep)
    if name.endswith(".mgf"):
        return "mgf"
    return "parquet" if name.endswith((".parquet", ".zip")) else "mzml"


def cmd_report(args: argparse.Namespace) -> int:
    from .report import labels, profile, write_report

    paths = [_input(path) for path in args.runs]
    inputs = [name for path in paths for name in _inputs(path)]
    (target,) = plan_outputs(args.output, [f"{Path(paths[0]).stem}.report.html" if len(paths) == 1
                                           else "report.html"], inputs=inputs)
    # (path, sample, whether the file holds several, why it cannot be read)
    runs: List[Any] = []
    for path in paths:
        try:
            names = corvex.list_samples(path)
        except RuntimeError as error:
            runs.append((path, None, False, str(_reader_error(path, error))))
            continue
        runs += [(path, sample, len(names) > 1, None) for sample in _chosen_samples(path, names, args, "report")]
    profiles, failures, problems = [], [], []
    with ExitStack() as stack:
        for (path, sample, _, failed), label in zip(runs, labels([run[:3] for run in runs])):
            if failed is None:
                try:
                    result = profile(path, sample, label, progress=lambda total: _progress(total, label, stack))
                except RuntimeError as error:
                    failed = str(_reader_error(path, error))
            if failed is not None:
                failures.append((label, failed))
                problems.append(failed)
                continue
            profiles.append(result)
            if result.error is not None:
                problems.append(str(_reader_error(path, RuntimeError(result.error))))
            if result.truncation is not None:
                print(f"corvex: warning: {path}: sample {sample!r}: {result.truncation.describe()}",
                      file=sys.stderr)
    if len(runs) == 1 and problems:
        raise ToolError(problems[0])
    for problem in problems:
        print(f"corvex: {problem}", file=sys.stderr)
    write_report(target, profiles, failures, _version(), inputs)
    if not args.quiet and sys.stderr.isatty():
        print(f"corvex: wrote {target}", file=sys.stderr)
    return 1 if problems else 0


def _format_choice(text: str) -> str:
    key = text.lower()
    if key not in FORMATS:
        raise argparse.ArgumentTypeError(f"unknown format {text!r} (choose mzML, mgf or parquet)")
    return key


def _count_argument(what: str, low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            count = int(text)
        except ValueError:
            count = -1
        if not low <= count <= 64:
            raise argparse.ArgumentTypeError(f"invalid {what} count {text!r} ({low} to 64)")
        return count

    return parse


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one-line usage errors, exit status 2
        self.exit(2, f"corvex: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="corvex", description="Inspect SCIEX WIFF runs and convert them to open formats.")
    parser.add_argument("--version", action="version", version=f"corvex {_version()}")
    # Checked in main, which prints the whole help rather than argparse's one line.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    info = commands.add_parser("info", help="summarize a run: samples, scans, instrument, TIC")
    info.add_argument("run", metavar="RUN.wiff")
    info.add_argument("--json", action="store_true", help="print the summary as JSON")
    info.set_defaults(handler=cmd_info)

    convert = commands.add_parser("convert", help="convert runs to indexed mzML, MGF or Parquet")
    convert.add_argument("run", metavar="RUN.wiff", nargs="+",
                         help="a run; several runs, or directories searched for .wiff files, make a batch "
                              "that converts every sample of every run into the directory OUT")
    convert.add_argument("-o", "--output", metavar="OUT",
                         help="output file, or a directory: an existing one, or one ending in '/', created "
                              "when its parent exists (default: the current directory); never an input of "
                              "the conversion or an existing file other than a regular file")
    which = convert.add_mutually_exclusive_group()
    which.add_argument("--sample", metavar="NAME", help="the sample to convert")
    which.add_argument("--all-samples", action="store_true",
                       help="convert every sample, one file each (RUN.SAMPLE.mzML)")
    convert.add_argument("--format", type=_format_choice, default=None, metavar="{mzML,mgf,parquet}",
                         help="output format (default: mgf when OUT ends in .mgf, parquet when it ends in "
                              ".parquet or .zip, otherwise mzML)")
    convert.add_argument("--no-compression", action="store_true",
                         help="write mzML binary arrays without zlib compression (after MS-Numpress, when "
                              "asked)")
    convert.add_argument("--numpress-mz", choices=NUMPRESS_MZ, default=None,
                         help="code mzML m/z arrays with MS-Numpress linear prediction (lossy, within half "
                              "of the finest fixed point the values allow)")
    convert.add_argument("--numpress-intensity", choices=NUMPRESS_INTENSITY, default=None,
                         help="code mzML intensity arrays with MS-Numpress: pic rounds to integers, slof "
                              "keeps about 4 significant digits")
    convert.add_argument("--centroid", action="store_true",
                         help="write the peak picker's centroids instead of the profile peaks (TOF peak "
                              "picking with default parameters; mzML marks them 'centroid spectrum')")
    convert.add_argument("--threads", type=_count_argument("thread", 0), default=None, metavar="N",
                         help="threads that read and render spectra (default or 0: one per CPU; a batch on "
                              "a cluster: 1 per run)")
    # Worker processes gave way to threads; the option is still accepted.
    convert.add_argument("--jobs", type=_count_argument("process", 1), default=None, help=argparse.SUPPRESS)
    convert.add_argument("--allow-truncated", action="store_true",
                         help="convert a run whose scan data file is shorter than its scan index says, "
                              "with a warning (spectra past the end come out with fewer peaks or fail)")
    convert.add_argument("--workers", type=_count_argument("worker", 1), default=None, metavar="N",
                         help="batch: worker processes of the local Dask cluster (default: one per CPU; "
                              "1 converts one run after another in this process)")
    convert.add_argument("--scheduler", metavar="ADDRESS",
                         help="batch: run on the Dask cluster of this scheduler (tcp://host:8786); every "
                              "worker must see the input and output paths")
    convert.add_argument("-q", "--quiet", action="store_true", help="do not report the files written on a terminal")
    convert.set_defaults(handler=cmd_convert)

    report = commands.add_parser("report", help="write an HTML quality report of one or more runs")
    report.add_argument("runs", metavar="RUN.wiff", nargs="+")
    report.add_argument("-o", "--output", metavar="OUT",
                        help="the HTML file, or a directory (an existing one, or one ending in '/') for "
                             "RUN.report.html (one run) or report.html (several); default: the current "
                             "directory")
    pick = report.add_mutually_exclusive_group()
    pick.add_argument("--sample", metavar="NAME", help="the sample to report, in every run")
    pick.add_argument("--all-samples", action="store_true", help="report every sample of every run")
    report.add_argument("-q", "--quiet", action="store_true", help="do not report the file written on a terminal")
    report.set_defaults(handler=cmd_report)
    return parser


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("corvex")
    except PackageNotFoundError:
        return "unknown"


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised in the main thread as KeyboardInterrupt is for SIGINT.

    Every ``with`` block on the way out cleans up as for Ctrl-C, whatever
    the writer: temporary output files are removed, worker threads are
    stopped.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


TERMINATION_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


@contextlib.contextmanager
def termination_raises() -> Iterator[None]:
    """Turn SIGTERM and SIGHUP into :class:`Terminated` for the block.

    A signal ignored on entry (under nohup) stays ignored.  Once one has
    arrived both are ignored, so that a second one cannot cut the cleanup
    short.  Only the main thread can handle signals; elsewhere nothing
    changes.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, frame: Any) -> None:
        for number in TERMINATION_SIGNALS:
            signal.signal(number, signal.SIG_IGN)
        raise Terminated(signum)

    previous = {number: signal.signal(number, stop) for number in TERMINATION_SIGNALS
                if signal.getsignal(number) is not signal.SIG_IGN}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _run(args: argparse.Namespace) -> int:
    try:
        return int(args.handler(args))
    except ToolError as error:
        print(f"corvex: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("corvex: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # `corvex info ... | head`: the reader went away; say nothing more.
        sys.stderr.close()
        return 1
    except OSError as error:
        name = f"{error.filename}: " if error.filename else ""
        print(f"corvex: {name}{error.strerror or error}", file=sys.stderr)
        return 1


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        with termination_raises():
            return _run(args)
    except Terminated as stop:
        print(f"corvex: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum


if __name__ == "__main__":
    sys.exit(main())

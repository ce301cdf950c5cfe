"""Batch conversion: every sample of many runs, on a Dask cluster or one after another.

The inputs are ``.wiff`` files and directories searched for them.  Each
sample of each run becomes one conversion task whose output goes under the
output directory:

* a run found under an input directory keeps its place below that directory
  (``IN/day1/a.wiff`` gives ``OUT/day1/a.mzML``); a run named directly goes
  into ``OUT`` itself;
* the file name is the one ``corvex convert`` gives for one run:
  ``RUN.EXT``, or ``RUN.SAMPLE.EXT`` when the run holds several samples;
* sample names that become the same file name (``QC 2`` and ``QC_2``) get
  their position in the run's sample list, ``RUN.QC_2-1.EXT`` and
  ``RUN.QC_2-2.EXT``; two runs that would write the same output are refused
  before anything is converted.

Each task writes under a temporary name and renames when complete, first
removing what an earlier, killed attempt left.  A rerun skips an output that
checks complete (:func:`complete_spectra`), and redoes any other.  A task that
fails is reported with its error; the other tasks go on.
"""

from __future__ import annotations

import contextlib
import logging
import mmap
import os
import re
import sys
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import corvex

from . import ToolError

STATUS_CONVERTED, STATUS_SKIPPED, STATUS_FAILED = "converted", "skipped", "failed"
_NO_SAMPLE = "-"


@dataclass(frozen=True)
class Task:
    """One sample of one run to convert to ``output``."""

    run: str  # as the user sees it: found under an input directory, or named
    path: str  # absolute, for worker processes with another working directory
    sample: str
    output: str  # absolute
    order: Tuple[int, int]  # of the run among the runs found, of the sample in the run's list


@dataclass
class Outcome:
    run: str
    sample: str
    order: Tuple[int, int]
    status: str
    spectra: Optional[int]
    seconds: float
    error: Optional[str]


# ---------------------------------------------------------------------------
# Finding runs and naming outputs
# ---------------------------------------------------------------------------

def find_runs(inputs: Sequence[str]) -> List[Tuple[str, Path]]:
    """(run, its output directory relative to OUT) for every run, in input order.

    Directories are searched recursively for ``*.wiff`` (any case), sorted by
    path; a run reached twice is taken once.
    """
    runs: List[Tuple[str, Path]] = []
    seen = set()
    for item in inputs:
        if not os.path.exists(item):
            raise ToolError(f"{item}: no such file or directory")
        if os.path.isdir(item):
            found = []
            for directory, subdirectories, files in os.walk(item):
                subdirectories.sort()
                found += [os.path.join(directory, name) for name in files if name.lower().endswith(".wiff")]
            candidates = [(path, Path(os.path.relpath(os.path.dirname(path), item))) for path in sorted(found)]
        else:
            candidates = [(item, Path("."))]
        for path, place in candidates:
            key = os.path.realpath(path)
            if key not in seen:
                seen.add(key)
                runs.append((path, place))
    if not runs:
        raise ToolError(f"no .wiff files in {', '.join(inputs)}")
    return runs


def output_names(run: str, samples: List[str], suffix: str) -> List[str]:
    """The file name of each sample's output, unique within the run."""
    from .cli import _file_names

    names = _file_names(run, samples, samples, "")
    clashes = {name for name in names if names.count(name) > 1}
    return [f"{name}-{k}{suffix}" if name in clashes else f"{name}{suffix}"
            for k, name in enumerate(names, start=1)]


def plan(inputs: Sequence[str], out_dir: Path, suffix: str) -> Tuple[List[Task], List[Outcome]]:
    """The tasks for every sample of every run, and a failed outcome for each run whose samples cannot be listed."""
    tasks: List[Task] = []
    failures: List[Outcome] = []
    for r, (run, place) in enumerate(find_runs(inputs)):
        try:
            samples = corvex.list_samples(run)
        except RuntimeError as error:
            failures.append(Outcome(run, _NO_SAMPLE, (r, 0), STATUS_FAILED, None, 0.0, str(error)))
            continue
        for s, (sample, name) in enumerate(zip(samples, output_names(run, samples, suffix))):
            output = os.path.abspath(out_dir / place / name)
            tasks.append(Task(run, os.path.abspath(run), sample, output, (r, s)))
    writers: Dict[str, List[Task]] = defaultdict(list)
    for task in tasks:
        writers[task.output].append(task)
    for output, clash in writers.items():
        if len(clash) > 1:
            raise ToolError(f"{clash[0].run} and {clash[1].run} would both be converted to {output}; "
                            "convert them in separate batches or to separate directories")
    return tasks, failures


# ---------------------------------------------------------------------------
# Is an output complete?
# ---------------------------------------------------------------------------

_CHECKSUM = re.compile(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>\s*</indexedmzML>\s*$")
_INDEX_LIST_OFFSET = re.compile(rb"<indexListOffset>(\d+)</indexListOffset>")
_SPECTRUM_INDEX = re.compile(rb'<index name="spectrum">(.*?)</index>', re.S)
_TAIL_BYTES = 4096


def mzml_spectrum_count(path: Path) -> int:
    """The number of spectra an indexed mzML file lists; ValueError unless it is whole.

    Whole means: the document ends with the index and its SHA-1 checksum,
    the checksum matches every byte before it, and the index list starts
    where ``indexListOffset`` says.
    """
    import hashlib

    with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
        tail_start = max(0, len(data) - _TAIL_BYTES)
        checksum = _CHECKSUM.search(data[tail_start:])
        if checksum is None:
            raise ValueError("no checksum at the end")
        hashed_end = tail_start + checksum.start(1)
        digest = hashlib.sha1()
        for start in range(0, hashed_end, 1 << 24):
            digest.update(data[start:min(start + (1 << 24), hashed_end)])
        if digest.hexdigest().encode() != checksum.group(1):
            raise ValueError("the checksum does not match")
        offset = _INDEX_LIST_OFFSET.search(data[tail_start:])
        index_list = int(offset.group(1)) if offset is not None else -1
        if not 0 <= index_list < hashed_end or data[index_list:index_list + 11] != b"<indexList ":
            raise ValueError("no index list where indexListOffset points")
        index = _SPECTRUM_INDEX.search(data[index_list:hashed_end])
        if index is None:
            raise ValueError("no spectrum index")
        return index.group(1).count(b"<offset ")


def mgf_block_count(path: Path) -> int:
    """The number of spectrum blocks of an MGF file; ValueError unless every block is closed."""
    with open(path, "rb") as handle:
        if os.fstat(handle.fileno()).st_size == 0:
            return 0
        with mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
            if not data[-len(b"END IONS\n\n"):] == b"END IONS\n\n":
                raise ValueError("the last block is not closed")
            counts = []
            for token in (b"BEGIN IONS\n", b"END IONS\n"):
                count, at = 0, data.find(token)
                while at >= 0:
                    count, at = count + 1, data.find(token, at + len(token))
                counts.append(count)
    if counts[0] != counts[1]:
        raise ValueError(f"{counts[0]} blocks begin and {counts[1]} end")
    return counts[0]


def complete_spectra(fmt: str, output: Path, run_path: str, sample: str) -> Optional[int]:
    """The number of spectra of ``output`` if it is a complete conversion of the sample, otherwise None.

    * mzML: the indexed envelope's SHA-1 checksum verifies and its spectrum
      index lists every scan of the sample;
    * MGF: every block is closed, and there is one per fragment spectrum
      with a precursor m/z;
    * Parquet: both footers read, and the row counts agree with the sample
      and with each other.
    """
    if not (output.exists() or output.is_symlink()):
        return None
    from .arrays import open_run

    run = open_run(run_path, sample)
    try:
        if fmt == "mzml":
            found, expected = mzml_spectrum_count(output), run.scan_count
        elif fmt == "mgf":
            import numpy as np

            columns = run.spectra
            found = mgf_block_count(output)
            expected = int(np.count_nonzero((columns["ms_level"] >= 2) & ~np.isnan(columns["precursor_mz"])))
        else:
            from .parquet import check_complete

            return check_complete(output, sample, run.scan_count)
    except (OSError, ValueError):
        return None
    return found if found == expected else None


# ---------------------------------------------------------------------------
# One task, in whichever process runs it
# ---------------------------------------------------------------------------

def convert_task(run_path: str, sample: str, fmt: str, output: str, options: Dict[str, Any]) -> Dict[str, Any]:
    """Convert one sample unless its output is already complete; never raises for a failed run.

    Runs in a Dask worker process as well as in the command's own, so it
    imports what it needs itself and returns plain values: ``status``
    (converted, skipped or failed), ``spectra``, ``seconds`` and ``error``.
    The conversion is the command's own single-run conversion, after its
    check of the scan data file (``allow_truncated`` in ``options``), with
    the other ``options`` (compression, numpress_mz, numpress_intensity,
    centroid, threads) passed on.
    """
    import time
    from pathlib import Path

    from corvex_tools import batch, cli
    from corvex_tools.output import remove_leftover_temporaries

    started = time.perf_counter()
    target = Path(output)

    def outcome(status: str, spectra: Optional[int], error: Optional[str] = None) -> Dict[str, Any]:
        return {"status": status, "spectra": spectra, "seconds": time.perf_counter() - started, "error": error}

    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        remove_leftover_temporaries(target)  # of an attempt on a worker that was lost
        spectra = batch.complete_spectra(fmt, target, run_path, sample)
        if spectra is not None:
            return outcome(STATUS_SKIPPED, spectra)
        conversion = dict(options)
        cli._check_scan_file(run_path, sample, conversion.pop("allow_truncated", False))
        spectra = cli._convert_sample(run_path, sample, target, fmt, show_progress=False, **conversion)
        return outcome(STATUS_CONVERTED, spectra)
    except Exception as error:  # a failed run is reported, and the batch goes on
        return outcome(STATUS_FAILED, None, error_text(error))


def error_text(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename:
        return f"{error.filename}: {error.strerror or error}"
    if isinstance(error, (ToolError, RuntimeError, OSError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


# ---------------------------------------------------------------------------
# Running the tasks
# ---------------------------------------------------------------------------

Report = Callable[[Task, Dict[str, Any]], None]


def run_here(tasks: Sequence[Task], fmt: str, options: Dict[str, Any], report: Report) -> None:
    """Convert the tasks one after another in this process."""
    for task in tasks:
        report(task, convert_task(task.path, task.sample, fmt, task.output, options))


def run_on_dask(tasks: Sequence[Task], fmt: str, options: Dict[str, Any], report: Report, *,
                workers: int, scheduler: Optional[str]) -> None:
    """Convert the tasks on a Dask cluster: ``scheduler``'s, or a local one of ``workers`` processes.

    The largest runs start first.  A task whose worker dies is run again by
    the scheduler on another worker, up to Dask's limit of failures
    (``distributed.scheduler.allowed-failures``); past it the task is
    reported as failed.
    """
    import dask
    from distributed import Client, LocalCluster, as_completed

    with contextlib.ExitStack() as stack:
        stack.enter_context(dask.config.set(_QUIET_CLUSTER))
        if scheduler is not None:
            try:
                client = stack.enter_context(Client(scheduler, timeout="20s"))  # type: ignore[no-untyped-call]
            except (OSError, TimeoutError) as error:
                raise ToolError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from error
        else:
            cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address=None, silence_logs=logging.ERROR))
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        futures = {}
        for task in tasks:
            future = client.submit(convert_task, task.path, task.sample, fmt, task.output, options,
                                   pure=False, priority=_scan_bytes(task.path))
            futures[future] = task
        try:
            for future in as_completed(futures):  # type: ignore[no-untyped-call]
                task = futures[future]
                try:
                    result = future.result()
                except Exception as error:  # the task's workers died too often (KilledWorker)
                    result = {"status": STATUS_FAILED, "spectra": None, "seconds": 0.0,
                              "error": f"the conversion's worker process was lost: {error_text(error)}"}
                report(task, result)
        finally:
            client.cancel(list(futures))


# A local cluster's processes wake up to watch their event loops, memory and
# load; at Dask's default intervals that costs about 7 % of a core while the
# workers convert.  A conversion task runs for seconds to minutes, so coarser
# watching loses nothing.  Dask also starts workers with glibc's
# MALLOC_TRIM_THRESHOLD_ set, which turns off malloc's adaptive mmap
# threshold: every peak array of more than 128 KiB is then mapped and unmapped
# anew, which made a Parquet conversion of a 200 MB run take 14 s of CPU in a
# worker against 8 s in a plain process.  Workers keep malloc's defaults.
_QUIET_CLUSTER = {"distributed.admin.tick.interval": "500ms",
                  "distributed.admin.system-monitor.interval": "2s",
                  "distributed.worker.memory.monitor-interval": "1s",
                  "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


def _scan_bytes(wiff_path: str) -> int:
    try:
        return os.path.getsize(wiff_path + ".scan")
    except OSError:
        return 0


def dask_available() -> bool:
    try:
        import distributed  # noqa: F401
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------------------
# The command
# ---------------------------------------------------------------------------

def format_summary(outcomes: Sequence[Outcome], format_name: str) -> str:
    """The closing table: one line per output."""
    header = ("run", "sample", "format", "status", "spectra", "seconds", "error")
    rows = [(o.run, o.sample, format_name, o.status, "-" if o.spectra is None else str(o.spectra),
             f"{o.seconds:.1f}", o.error or "") for o in outcomes]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header) - 1)]
    right = {4, 5}

    def line(row: Sequence[str]) -> str:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        return "  ".join(cells + [row[-1]]).rstrip()

    return "\n".join(line(row) for row in [header, *rows]) + "\n"


@contextlib.contextmanager
def _progress_bar(total: int) -> Iterator[Optional[Callable[[], None]]]:
    if not sys.stderr.isatty():
        yield None
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        yield None
        return
    with tqdm(total=total, desc="converting", unit="output", file=sys.stderr, dynamic_ncols=True) as bar:
        yield lambda: bar.update(1)


def convert_batch(inputs: Sequence[str], fmt: str, format_name: str, suffix: str, out_dir: Optional[str], *,
                  compression: bool, numpress_mz: Optional[str], numpress_intensity: Optional[str],
                  threads: Optional[int], centroid: bool, allow_truncated: bool,
                  workers: int, scheduler: Optional[str]) -> int:
    """Convert every sample of every run under ``inputs``; print the summary; return the exit status."""
    from .output import output_directory

    directory = output_directory(out_dir) if out_dir is not None else Path.cwd()
    tasks, outcomes = plan(inputs, directory, suffix)
    on_dask = bool(tasks) and (scheduler is not None or (workers > 1 and len(tasks) > 1))
    if on_dask and not dask_available():
        if scheduler is not None:
            raise ToolError("--scheduler needs Dask: pip install 'corvex[cluster]'")
        print("corvex: Dask is not installed (pip install 'corvex[cluster]'); converting one run after another",
              file=sys.stderr)
        on_dask = False
    # On a cluster each task has one core: one worker thread beside the writing one.
    options = {"compression": compression, "numpress_mz": numpress_mz, "numpress_intensity": numpress_intensity,
               "centroid": centroid, "allow_truncated": allow_truncated, "threads": threads if threads is not None or not on_dask else 1}
    results: Dict[Task, Dict[str, Any]] = {}
    try:
        with _progress_bar(len(tasks)) as advance:
            def report(task: Task, result: Dict[str, Any]) -> None:
                results[task] = result
                if advance is not None:
                    advance()

            if on_dask:
                run_on_dask(tasks, fmt, options, report, workers=workers, scheduler=scheduler)
            else:
                run_here(tasks, fmt, options, report)
    finally:
        # Worker processes killed mid-conversion cannot clean up after themselves.
        from .output import remove_leftover_temporaries

        for task in tasks:
            remove_leftover_temporaries(Path(task.output))
    outcomes += [Outcome(task.run, task.sample, task.order, **results[task]) for task in tasks]
    outcomes.sort(key=lambda o: o.order)
    sys.stdout.write(format_summary(outcomes, format_name))
    failed = sum(o.status == STATUS_FAILED for o in outcomes)
    if failed:
        print(f"corvex: {failed} of {len(outcomes)} conversions failed", file=sys.stderr)
    return 1 if failed else 0

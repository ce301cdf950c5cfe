"""Parquet output: a sample as two tables, one row per spectrum and one row per peak.

``spectra.parquet`` holds :data:`SPECTRA_SCHEMA`, ``peaks.parquet``
:data:`PEAKS_SCHEMA`; both carry the run's metadata as JSON under the
key-value metadata key ``corvex.run``.  They live in a directory, or in a
``.zip`` archive whose members are stored uncompressed, so that a reader can
seek inside them (:func:`open_peak_tables` reads either).

The peak table is sorted by spectrum position.  Its row groups end at a
change of MS level once they hold 32Ki rows (and at 1Mi rows in any case):
in a run of large spectra that alternates survey and fragment scans, each
row group then holds one level, and a query for one level skips the groups
of the other by their ``ms_level`` statistics; an RT window skips the groups
outside it by their ``retention_time_sec`` statistics.  Both columns repeat
one value per spectrum, which dictionary and run-length encoding store in a
few bytes per row group.  Peaks are written a row group at a time, so memory
holds at most one row group whatever the size of the run.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import mmap
import os
import struct
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, Callable, ContextManager, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from . import ToolError
from .output import atomic_directory, atomic_output
from .arrays import open_run
from .centroid import Centroiding, picking_parameters

SPECTRA_FILE = "spectra.parquet"
PEAKS_FILE = "peaks.parquet"
TABLE_FILES = frozenset({SPECTRA_FILE, PEAKS_FILE})
METADATA_KEY = b"corvex.run"
LAYOUT_VERSION = 1

SPECTRA_SCHEMA = pa.schema([
    pa.field("run_name", pa.string(), nullable=False),
    pa.field("sample_name", pa.string(), nullable=False),
    pa.field("spectrum_position", pa.int32(), nullable=False),
    pa.field("scan_number", pa.int32(), nullable=False),
    pa.field("native_id", pa.string(), nullable=False),
    pa.field("ms_level", pa.int16(), nullable=False),
    pa.field("polarity", pa.string()),
    pa.field("retention_time_sec", pa.float64(), nullable=False),
    pa.field("reported_tic", pa.float64(), nullable=False),
    pa.field("computed_tic", pa.float64(), nullable=False),
    pa.field("base_peak_mz", pa.float64()),
    pa.field("base_peak_intensity", pa.float32()),
    pa.field("lowest_mz", pa.float64()),
    pa.field("highest_mz", pa.float64()),
    pa.field("peak_count", pa.int32(), nullable=False),
    pa.field("precursor_mz", pa.float64()),
    pa.field("survey_position", pa.int32()),
])

PEAKS_SCHEMA = pa.schema([
    pa.field("spectrum_position", pa.int32(), nullable=False),
    pa.field("ms_level", pa.int16(), nullable=False),
    pa.field("retention_time_sec", pa.float64(), nullable=False),
    pa.field("mz", pa.float64(), nullable=False),
    pa.field("intensity", pa.float32(), nullable=False),
])

# Rows per row group at most.  A row group also ends where the MS level
# changes once it holds LEVEL_CUT_ROWS rows: then a query for one level skips
# the groups of the other.  Where spectra are small (centroided data) cutting
# at every change makes thousands of tiny groups, which cost more to write and
# to scan than the rows they let a query skip; bench/batch_bench.py measures
# the rule.
ROW_GROUP_ROWS = 1 << 20
LEVEL_CUT_ROWS = 1 << 15
ZSTD_LEVEL = 3

# Dictionary encoding for the per-spectrum columns, whose value repeats over
# the spectrum's peaks.  Byte-stream splitting makes intensities compress a
# little better and faster; m/z compress far better without it (measured on
# TOF profile runs: 9.3 MB plain against 14.9 MB split for 2.9 M m/z values).
_WRITER_OPTIONS: Dict[str, Dict[str, Any]] = {
    PEAKS_FILE: dict(use_dictionary=["spectrum_position", "ms_level", "retention_time_sec"],
                     use_byte_stream_split=["intensity"],
                     sorting_columns=[pq.SortingColumn(0)]),
    SPECTRA_FILE: dict(use_dictionary=["run_name", "sample_name", "ms_level", "polarity"],
                       sorting_columns=[pq.SortingColumn(2)]),
}


def _new_writer(sink: IO[bytes], name: str, schema: pa.Schema) -> pq.ParquetWriter:
    return pq.ParquetWriter(sink, schema, compression="zstd", compression_level=ZSTD_LEVEL,
                            write_statistics=True, write_page_index=True, **_WRITER_OPTIONS[name])


# ---------------------------------------------------------------------------
# Per-spectrum values computed from the peaks
# ---------------------------------------------------------------------------

class PeakSummaries:
    """The columns of the spectrum table that need the peaks, filled one spectrum at a time.

    The values follow the corvex reader's rules for ``Spectrum``:
    ``computed_tic`` is the sum of the intensities widened to 64 bits and
    added one at a time in peak order (cumsum is sequential, where numpy's
    sum adds pairwise and may round differently); an empty spectrum's sum is
    written as 0.  The base peak is the first peak of the highest intensity;
    a NaN never replaces an earlier peak, but a NaN first peak stays the base
    peak.  Lowest and highest m/z are the least and greatest m/z.
    """

    def __init__(self, count: int) -> None:
        self.computed_tic = np.zeros(count, dtype=np.float64)
        self.base_peak_mz = np.zeros(count, dtype=np.float64)
        self.base_peak_intensity = np.zeros(count, dtype=np.float32)
        self.lowest_mz = np.zeros(count, dtype=np.float64)
        self.highest_mz = np.zeros(count, dtype=np.float64)
        self.peak_count = np.zeros(count, dtype=np.int32)

    def add(self, i: int, mz: np.ndarray, intensity: np.ndarray) -> None:
        n = len(intensity)
        self.peak_count[i] = n
        if n == 0:
            return
        self.computed_tic[i] = np.cumsum(intensity, dtype=np.float64)[-1]
        best = int(np.argmax(intensity))
        if np.isnan(intensity[best]):  # argmax stops at the first NaN
            best = 0 if np.isnan(intensity[0]) else int(np.nanargmax(intensity))
        self.base_peak_mz[i] = mz[best]
        self.base_peak_intensity[i] = intensity[best]
        self.lowest_mz[i] = mz.min()
        self.highest_mz[i] = mz.max()


# ---------------------------------------------------------------------------
# The peak table, a row group at a time
# ---------------------------------------------------------------------------

class PeakRowGroups:
    """Gathers peaks spectrum by spectrum and writes them as row groups.

    A row group ends when it reaches ``max_rows`` rows, or before the first
    peak of a spectrum whose MS level differs from the previous spectrum's
    once it holds ``level_cut_rows`` rows or more (None: never at a level
    change).  Spectra without peaks add no rows and end no group.
    """

    def __init__(self, writer: pq.ParquetWriter, max_rows: int = ROW_GROUP_ROWS,
                 level_cut_rows: Optional[int] = LEVEL_CUT_ROWS):
        self._writer = writer
        self._max_rows = max_rows
        self._level_cut_rows = level_cut_rows
        # Whole spectra: (position, level, retention time, mz, intensity) ...
        self._spectra: List[Tuple[int, int, float, np.ndarray, np.ndarray]] = []
        # ... after the rows that the last group left over, one array per column.
        self._carried: Optional[List[np.ndarray]] = None
        self._rows = 0
        self._level: Optional[int] = None
        self.rows_written = 0
        self.row_groups = 0

    def add(self, position: int, ms_level: int, retention_time_sec: float, mz: np.ndarray,
            intensity: np.ndarray) -> None:
        if len(mz) == 0:
            return
        if (self._level_cut_rows is not None and ms_level != self._level
                and self._rows >= max(1, self._level_cut_rows)):
            self._write(self._rows)
        self._spectra.append((position, ms_level, retention_time_sec, mz, intensity))
        self._rows += len(mz)
        self._level = ms_level
        while self._rows >= self._max_rows:
            self._write(self._max_rows)

    def close(self) -> None:
        if self._rows:
            self._write(self._rows)

    def _write(self, rows: int) -> None:
        """Write the first ``rows`` gathered rows as one row group; carry the rest over."""
        counts = [len(s[3]) for s in self._spectra]
        columns: List[np.ndarray] = [
            np.repeat(np.array([s[0] for s in self._spectra], dtype=np.int32), counts),
            np.repeat(np.array([s[1] for s in self._spectra], dtype=np.int16), counts),
            np.repeat(np.array([s[2] for s in self._spectra], dtype=np.float64), counts),
            np.concatenate([s[3] for s in self._spectra]) if self._spectra else np.empty(0, np.float64),
            np.concatenate([s[4] for s in self._spectra]) if self._spectra else np.empty(0, np.float32),
        ]
        if self._carried is not None:
            columns = [np.concatenate([carried, column]) for carried, column in zip(self._carried, columns)]
        table = pa.Table.from_arrays([pa.array(column[:rows]) for column in columns], schema=PEAKS_SCHEMA)
        self._writer.write_table(table, row_group_size=rows)
        self.row_groups += 1
        self.rows_written += rows
        self._rows -= rows
        self._spectra = []
        self._carried = [column[rows:] for column in columns] if self._rows else None


# ---------------------------------------------------------------------------
# The spectrum table and the metadata
# ---------------------------------------------------------------------------

def _masked(values: np.ndarray, missing: np.ndarray, kind: pa.DataType) -> pa.Array:
    return pa.array(values, type=kind, mask=missing)


def spectra_table(run_name: str, run: Any, summaries: PeakSummaries) -> pa.Table:
    columns = run.spectra
    n = run.scan_count
    empty = summaries.peak_count == 0
    precursor = columns["precursor_mz"]
    survey = columns["survey_position"]
    polarity = columns["polarity"]
    return pa.table({
        "run_name": pa.array(np.full(n, run_name, dtype=object), type=pa.string()),
        "sample_name": pa.array(np.full(n, run.sample_name, dtype=object), type=pa.string()),
        "spectrum_position": columns["position"].astype(np.int32),
        "scan_number": columns["scan_number"].astype(np.int32),
        "native_id": pa.array(columns["native_id"], type=pa.string()),
        "ms_level": columns["ms_level"].astype(np.int16),
        "polarity": pa.array(polarity, type=pa.string(), mask=np.array([p is None for p in polarity], dtype=bool)),
        "retention_time_sec": columns["retention_time_sec"],
        "reported_tic": columns["reported_tic_cps"],
        "computed_tic": summaries.computed_tic,
        "base_peak_mz": _masked(summaries.base_peak_mz, empty, pa.float64()),
        "base_peak_intensity": _masked(summaries.base_peak_intensity, empty, pa.float32()),
        "lowest_mz": _masked(summaries.lowest_mz, empty, pa.float64()),
        "highest_mz": _masked(summaries.highest_mz, empty, pa.float64()),
        "peak_count": summaries.peak_count,
        "precursor_mz": _masked(precursor, np.isnan(precursor), pa.float64()),
        "survey_position": _masked(survey.astype(np.int32), survey < 0, pa.int32()),
    }, schema=SPECTRA_SCHEMA)


def run_metadata(wiff_path: str, run: Any, peak_count: int, centroid: Centroiding = False) -> Dict[str, Any]:
    """What the key-value metadata ``corvex.run`` holds, as a JSON object.

    ``peak_picking`` is null for profile peaks, else the peak picker's
    parameters by name.
    """
    from importlib.metadata import PackageNotFoundError, version

    try:
        writer = f"corvex {version('corvex')}"
    except PackageNotFoundError:
        writer = "corvex"
    info = run.run_info()
    picking = picking_parameters(centroid)
    return {
        "layout": "corvex peak tables",
        "layout_version": LAYOUT_VERSION,
        "writer": writer,
        "run_name": Path(wiff_path).stem,
        "source_file": Path(wiff_path).name,
        "sample_name": run.sample_name,
        "creation_time": info["start_timestamp"],
        "spectrum_count": run.scan_count,
        "peak_count": peak_count,
        "peak_picking": None if picking is None else dataclasses.asdict(picking),
        "run_info": info,
        "instrument_info": run.instrument_info(),
        "calibration": run.calibration(),
        "ion_source_parameters": run.ion_source_parameters(),
    }


# ---------------------------------------------------------------------------
# Writing
# ---------------------------------------------------------------------------

OpenTable = Callable[[str], ContextManager[IO[bytes]]]


def write_tables(open_table: OpenTable, wiff_path: str, run: Any, *, centroid: Centroiding = False,
                 progress: Optional[Callable[[int], Any]] = None,
                 max_rows: int = ROW_GROUP_ROWS, level_cut_rows: Optional[int] = LEVEL_CUT_ROWS) -> int:
    """Write the peak table, then the spectrum table, each to ``open_table(name)``.

    Returns the number of spectra.  With ``centroid`` (as for
    ``Run.iter_peaks``) the peaks, and every spectrum column computed from
    them, are the peak picker's centroids.  ``progress``, when given, is
    called with 1 for every spectrum written.
    """
    columns = run.spectra
    levels, times = columns["ms_level"], columns["retention_time_sec"]
    summaries = PeakSummaries(run.scan_count)
    expected = 0
    with open_table(PEAKS_FILE) as sink:
        writer = _new_writer(sink, PEAKS_FILE, PEAKS_SCHEMA)
        groups = PeakRowGroups(writer, max_rows, level_cut_rows)
        for position, mz, intensity in run.iter_peaks(centroid=centroid):
            if position != expected:
                raise ToolError(f"sample {run.sample_name!r}: spectrum {position} came where {expected} was due")
            summaries.add(position, mz, intensity)
            groups.add(position, int(levels[position]), float(times[position]), mz, intensity)
            expected += 1
            if progress is not None:
                progress(1)
        if expected != run.scan_count:
            raise ToolError(f"sample {run.sample_name!r} gave {expected} spectra where its scan index "
                            f"lists {run.scan_count}")
        groups.close()
        metadata = {METADATA_KEY: json.dumps(run_metadata(wiff_path, run, groups.rows_written, centroid)).encode()}
        writer.add_key_value_metadata(metadata)
        writer.close()
    with open_table(SPECTRA_FILE) as sink:
        writer = _new_writer(sink, SPECTRA_FILE, SPECTRA_SCHEMA)
        writer.write_table(spectra_table(Path(wiff_path).stem, run, summaries), row_group_size=max_rows)
        writer.add_key_value_metadata(metadata)
        writer.close()
    return int(run.scan_count)


def is_zip_target(target: Path) -> bool:
    return target.suffix.lower() == ".zip"


def convert_parquet(wiff_path: str, sample: str, target: Path, inputs: Sequence["str | os.PathLike[str]"] = (), *,
                    centroid: Centroiding = False,
                    progress: Optional[Callable[[int], Optional[Callable[[int], Any]]]] = None) -> int:
    """Write one sample's tables to ``target``: a ``.zip`` file or else a directory.

    Nothing appears under ``target`` until both tables are complete; an
    earlier output there is replaced, never one of ``inputs`` or anything
    else (see :mod:`corvex_tools.output`).  ``progress``, when given, is called
    with the number of spectra and returns the function to call with each
    number written.  ``centroid`` as for :func:`write_tables`.  Returns the
    number of spectra.
    """
    run = open_run(wiff_path, sample)
    report = progress(run.scan_count) if progress is not None else None
    target = Path(target)
    if is_zip_target(target):
        with atomic_output(target, inputs) as handle, zipfile.ZipFile(handle, "w", zipfile.ZIP_STORED) as archive:
            @contextlib.contextmanager
            def member(name: str) -> Iterator[IO[bytes]]:
                # The size is unknown before the end: always give the member 64-bit sizes.
                with archive.open(name, "w", force_zip64=True) as sink:
                    yield sink

            return write_tables(member, wiff_path, run, centroid=centroid, progress=report)
    with atomic_directory(target, TABLE_FILES, inputs) as directory:
        @contextlib.contextmanager
        def table_file(name: str) -> Iterator[IO[bytes]]:
            with open(directory / name, "wb") as sink:
                yield sink
                sink.flush()
                os.fsync(sink.fileno())

        return write_tables(table_file, wiff_path, run, centroid=centroid, progress=report)


# ---------------------------------------------------------------------------
# Reading back
# ---------------------------------------------------------------------------

@dataclass
class PeakTables:
    """The two tables of an output, opened; ``metadata`` is the decoded ``corvex.run`` JSON."""

    spectra: pq.ParquetFile
    peaks: pq.ParquetFile
    metadata: Dict[str, Any]


_ZIP_LOCAL_HEADER = struct.Struct("<4s22xHH")  # signature ... name length, extra length


def _zip_member(archive_path: Path, view: memoryview, name: str) -> pa.BufferReader:
    """A member stored uncompressed, read in place from the mapped archive."""
    with zipfile.ZipFile(archive_path) as archive:
        info = archive.getinfo(name)
    if info.compress_type != zipfile.ZIP_STORED:
        raise ValueError(f"{archive_path}: {name} is compressed; the tables must be stored")
    signature, name_length, extra_length = _ZIP_LOCAL_HEADER.unpack_from(view, info.header_offset)
    if signature != b"PK\x03\x04":
        raise ValueError(f"{archive_path}: no local header for {name}")
    start = info.header_offset + _ZIP_LOCAL_HEADER.size + name_length + extra_length
    return pa.BufferReader(pa.py_buffer(view[start:start + info.file_size]))


def open_peak_tables(path: "str | os.PathLike[str]") -> PeakTables:
    """Open an output of :func:`convert_parquet`: a directory or a ``.zip``.

    Members of a ``.zip`` are read in place through a memory map, with no
    copy and no extraction.
    """
    path = Path(path)
    if path.is_dir():
        sources: Tuple[Any, Any] = (str(path / SPECTRA_FILE), str(path / PEAKS_FILE))
    else:
        with open(path, "rb") as handle:
            view = memoryview(mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ))
        sources = (_zip_member(path, view, SPECTRA_FILE), _zip_member(path, view, PEAKS_FILE))
    spectra, peaks = (pq.ParquetFile(source) for source in sources)
    text = (spectra.metadata.metadata or {}).get(METADATA_KEY)
    if text is None:
        raise ValueError(f"{path}: no {METADATA_KEY.decode()} metadata in {SPECTRA_FILE}")
    return PeakTables(spectra, peaks, json.loads(text))


def check_complete(path: Path, sample: str, scan_count: int) -> int:
    """Return the number of spectra of a complete output of ``sample``; raise ValueError otherwise.

    Complete means: both footers read, both tables name the sample, the
    spectrum table has a row for every scan of the run, and the peak table
    has as many rows as the spectrum table's peak counts add up to.
    """
    try:
        tables = open_peak_tables(path)
    except (OSError, ValueError, pa.ArrowException) as error:
        raise ValueError(f"unreadable: {error}") from error
    peak_metadata = json.loads((tables.peaks.metadata.metadata or {}).get(METADATA_KEY, b"null"))
    if tables.metadata.get("sample_name") != sample or peak_metadata != tables.metadata:
        raise ValueError("the tables are not of this sample")
    if tables.spectra.metadata.num_rows != scan_count:
        raise ValueError(f"{tables.spectra.metadata.num_rows} spectra where the run has {scan_count}")
    peak_count = int(tables.spectra.read(columns=["peak_count"]).column(0).to_numpy().sum(dtype=np.int64))
    if tables.peaks.metadata.num_rows != peak_count:
        raise ValueError(f"{tables.peaks.metadata.num_rows} peaks where the spectra list {peak_count}")
    return scan_count

"""What the report reads of a run, and the one place that says where it comes from.

The report reads a run through the interface of ``corvex_tools.open_run``
(the array layer): run metadata without decoding, a columnar table of the
spectra (``Run.spectra``, a dict of equal-length numpy arrays) and
``Run.iter_peaks``, which yields ``(position, mz float64, intensity
float32)``.  Until that layer is part of this package, :func:`open_run` here
provides the same interface over the ``corvex`` module: a ``RawReader`` for
the metadata and the peaks, lists turned into numpy arrays.  That reader
decodes the whole sample when it opens, so its memory grows with the run.

Switching to the array layer means: ``open_run`` becomes
``corvex_tools.open_run``, ``SPECTRA_COLUMNS`` maps the report's column
names onto that table's, and ``DESCRIPTION`` says so.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np

import corvex

from ..scan_file import Truncation, find_truncation, scan_file_path

# Where runs come from, for the benchmark's printout.
DESCRIPTION = "corvex.RawReader, its peak lists turned into numpy arrays (no array layer yet)"

# The columns of Run.spectra that the report reads: its name for each -> the table's own name.
SPECTRA_COLUMNS = {
    "ms_level": "ms_level",
    "polarity": "polarity",
    "retention_time_sec": "retention_time_sec",
    "reported_tic": "reported_tic",          # the instrument's TIC from the scan index
    "precursor_mz": "precursor_mz",          # selected m/z; NaN where there is none
    "scan_offset": "scan_offset",
    "scan_size": "scan_size",
}


def spectra_table(run: Any) -> Dict[str, np.ndarray]:
    """``run.spectra`` under the report's column names."""
    table = run.spectra
    return {name: table[source] for name, source in SPECTRA_COLUMNS.items()}


class ReaderRun:
    """One sample of a run with the array layer's interface, over ``corvex.RawReader``: what the report
    uses of it."""

    def __init__(self, path: str, sample: Optional[str] = None) -> None:
        self._reader = corvex.open_sample(path, sample) if sample is not None else corvex.RawReader(path)
        self.path = path
        self.sample_name = self._reader.sample_name
        self.scan_count = self._reader.scan_count
        self.scan_file_size = os.path.getsize(scan_file_path(path))
        self.spectra = self._table()

    def __len__(self) -> int:
        return self.scan_count

    def _table(self) -> Dict[str, np.ndarray]:
        """The columns of the spectrum table that the report reads."""
        index = self._reader.scan_index()
        spectra = [self._reader.read_spectrum(i) for i in range(self.scan_count)]
        selected = [s.precursor["selected_mz"] if s.precursor else None for s in spectra]
        return {
            "ms_level": np.array([s.ms_level for s in spectra], dtype=np.uint8),
            "polarity": np.array([s.polarity for s in spectra], dtype=object),
            "retention_time_sec": np.array([s.retention_time_sec for s in spectra], dtype=np.float64),
            "reported_tic": np.array([r["tic"] for r in index], dtype=np.float64),
            "precursor_mz": np.array([np.nan if v is None else v for v in selected], dtype=np.float64),
            "scan_offset": np.array([r["scan_offset"] for r in index], dtype=np.uint64),
            "scan_size": np.array([r["scan_size"] for r in index], dtype=np.uint64),
        }

    # run_info(), instrument_info(), calibration(), ion_source_parameters(), dde_precursor_mz(),
    # read_chromatograms() and scan_index(): the reader's own.
    _READER_METHODS = frozenset({"run_info", "instrument_info", "calibration", "ion_source_parameters",
                                 "dde_precursor_mz", "read_chromatograms", "scan_index"})

    def __getattr__(self, name: str) -> Any:
        if name in ReaderRun._READER_METHODS:
            return getattr(self._reader, name)
        raise AttributeError(name)

    def iter_peaks(self, ms_level: Optional[int] = None,
                   rt_range: Optional[Tuple[float, float]] = None) -> Iterator[Tuple[int, np.ndarray, np.ndarray]]:
        keep = np.ones(self.scan_count, dtype=bool)
        if ms_level is not None:
            keep &= self.spectra["ms_level"] == ms_level
        if rt_range is not None:
            rt = self.spectra["retention_time_sec"]
            keep &= (rt >= rt_range[0]) & (rt <= rt_range[1])
        for i in np.flatnonzero(keep).tolist():
            spectrum = self._reader.read_spectrum(i)
            yield i, np.array(spectrum.mz, dtype=np.float64), np.array(spectrum.intensity, dtype=np.float32)


def open_run(path: str, sample: Optional[str] = None) -> ReaderRun:
    """Open one sample of ``path`` for the report; the reader's errors arrive as RuntimeError."""
    return ReaderRun(path, sample)


def truncation(run: Any) -> Optional[Truncation]:
    """The run's scan index checked against its scan file's size; None when every block fits."""
    table = spectra_table(run)
    return find_truncation(table["scan_offset"], table["scan_size"], run.scan_file_size)

"""Where the tools get a sample's spectra as arrays: the one seam to the array layer.

The Parquet writer, the batch's completeness checks and the report read a
sample through :func:`open_run`, which gives

* ``sample_name``, ``scan_count``;
* ``run_info()``, ``instrument_info()``, ``calibration()``,
  ``ion_source_parameters()``, ``dde_precursor_mz()``,
  ``read_chromatograms()``, ``scan_index()``: the values of
  ``corvex.RawReader``'s methods of those names;
* ``spectra``: a dict of equal-length numpy arrays, one row per scan, with
  the keys of :data:`SPECTRA_COLUMNS`;
* ``iter_peaks(ms_level=None, rt_range=None)``: ``(position, mz float64,
  intensity float32)`` for each selected spectrum, in order.

Until the array layer's own ``open_run`` is part of the package, the run is
read through the ``corvex`` module (``RawReader``, which decodes the whole
sample once, so memory grows with the run).  The values are the same either
way: swapping :func:`open_run` for the array layer's, with the keys of
:data:`SPECTRA_COLUMNS` mapped onto its table's, is the only change the
writers need.  (The report also reads ``scan_file_size``, the scan data
file's size in bytes, which this stand-in adds.)
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple

import os

import numpy as np

import corvex

from .scan_file import scan_file_path

if TYPE_CHECKING:
    from corvex import Calibration, Chromatogram, InstrumentInfo, RunInfo, ScanIndexRecord

# The per-scan columns of ``spectra`` and their numpy types.  Precursor m/z is
# NaN and survey position -1 where a spectrum has none; polarity is None where
# the sample records none.
SPECTRA_COLUMNS: Dict[str, Any] = {
    "position": np.int64,
    "scan_number": np.int64,
    "native_id": object,
    "ms_level": np.int16,
    "polarity": object,
    "retention_time_sec": np.float64,
    "reported_tic": np.float64,
    "precursor_mz": np.float64,
    "survey_position": np.int64,
    "scan_offset": np.uint64,
    "scan_size": np.uint64,
}

PeakArrays = Tuple[int, np.ndarray, np.ndarray]


def open_run(path: str, sample: Optional[str] = None) -> "CorvexRun":
    """One sample of the run at ``path`` (without ``sample``, its only one); the reader's errors are
    RuntimeError."""
    return CorvexRun(path, sample)


class CorvexRun:
    """A sample read through ``corvex.RawReader``: every spectrum decoded once, on opening."""

    def __init__(self, path: str, sample: Optional[str] = None) -> None:
        self._reader = corvex.open_sample(path, sample) if sample is not None else corvex.RawReader(path)
        reader = self._reader
        self.sample_name: str = reader.sample_name
        self.scan_count: int = reader.scan_count
        self.scan_file_size = os.path.getsize(scan_file_path(path))
        index = reader.scan_index()
        n = self.scan_count
        columns = {name: np.empty(n, dtype=kind) for name, kind in SPECTRA_COLUMNS.items()}
        positions: Dict[str, int] = {}  # by native id, for the precursors' survey references
        for i, record in enumerate(index):
            spectrum = reader.read_spectrum(i)
            precursor = spectrum.precursor
            selected = precursor["selected_mz"] if precursor is not None else None
            columns["position"][i] = spectrum.index
            columns["scan_number"][i] = spectrum.scan_number
            columns["native_id"][i] = spectrum.native_id
            columns["ms_level"][i] = spectrum.ms_level
            columns["polarity"][i] = spectrum.polarity
            columns["retention_time_sec"][i] = spectrum.retention_time_sec
            columns["reported_tic"][i] = record["tic"]
            columns["precursor_mz"][i] = np.nan if selected is None else selected
            survey = precursor["precursor_native_id"] if precursor is not None else None
            columns["survey_position"][i] = -1 if survey is None else positions[survey]
            columns["scan_offset"][i] = record["scan_offset"]
            columns["scan_size"][i] = record["scan_size"]
            positions[spectrum.native_id] = i
        self.spectra: Dict[str, np.ndarray] = columns

    def __len__(self) -> int:
        return self.scan_count

    def run_info(self) -> "RunInfo":
        return self._reader.run_info()

    def instrument_info(self) -> "Optional[InstrumentInfo]":
        return self._reader.instrument_info()

    def calibration(self) -> "Optional[Calibration]":
        return self._reader.calibration()

    def ion_source_parameters(self) -> Dict[str, float]:
        return self._reader.ion_source_parameters()

    def dde_precursor_mz(self) -> List[float]:
        return self._reader.dde_precursor_mz()

    def read_chromatograms(self) -> "List[Chromatogram]":
        return self._reader.read_chromatograms()

    def scan_index(self) -> "List[ScanIndexRecord]":
        return self._reader.scan_index()

    def iter_peaks(self, ms_level: Optional[int] = None,
                   rt_range: Optional[Tuple[float, float]] = None) -> Iterator[PeakArrays]:
        """``(position, mz, intensity)`` of each spectrum of ``ms_level`` whose
        retention time lies in ``rt_range`` (both ends included), in order."""
        levels = self.spectra["ms_level"]
        times = self.spectra["retention_time_sec"]
        for i in range(self.scan_count):
            if ms_level is not None and levels[i] != ms_level:
                continue
            if rt_range is not None and not rt_range[0] <= times[i] <= rt_range[1]:
                continue
            spectrum = self._reader.read_spectrum(i)
            yield i, np.array(spectrum.mz, dtype=np.float64), np.array(spectrum.intensity, dtype=np.float32)

"""One pass over a run's peaks into fixed-size grids: what the report plots.

The per-peak work runs in ``corvex_tools._native`` (``peak_stats``,
``mz_range``, ``bin_peaks``) on the arrays as the run yields them, so no
Python object is made per peak.  Memory is the grids plus a few numbers per
spectrum, whatever the number of peaks.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from .. import _native
from ..scan_file import Truncation, run_truncation

MAP_ROWS = 256        # MS1 map: rows of consecutive survey spectra
MAP_COLUMNS = 2048    # MS1 map: m/z bins
INTENSITY_BINS = 1 << (31 - _native.INTENSITY_BIN_SHIFT)


def intensity_bin_edges() -> np.ndarray:
    """Lower edge of each intensity histogram bin: the float32 whose bits are the bin number shifted back."""
    bits = np.left_shift(np.arange(INTENSITY_BINS, dtype=np.uint32), np.uint32(_native.INTENSITY_BIN_SHIFT))
    with np.errstate(invalid="ignore"):   # the top bins hold infinity and NaN
        return bits.view(np.float32).astype(np.float64)


class Ms1Map:
    """Summed MS1 intensity on a grid of rows (runs of survey spectra in acquisition order) by m/z bins.

    The m/z bins are not known before the peaks are seen: they start from the
    first spectrum's range and, when a spectrum reaches outside, the grid
    shifts by whole columns or merges pairs of columns into bins twice as
    wide.  Sums are only ever moved whole, never split.
    """

    def __init__(self, rows: int, columns: int = MAP_COLUMNS) -> None:
        self.intensity = np.zeros((rows, columns), dtype=np.float64)
        self.low_mz = math.nan       # lower edge of column 0
        self.bin_width = math.nan
        self._used: Optional[Tuple[int, int]] = None   # first and last column that hold intensity
        self.outside = 0

    @property
    def columns(self) -> int:
        return self.intensity.shape[1]

    def add(self, row: int, mz: np.ndarray, intensity: np.ndarray) -> None:
        low, high = _native.mz_range(mz)
        if not (math.isfinite(low) and math.isfinite(high)):
            self.outside += len(mz)
            return
        self._make_room(low, high)
        self.outside += _native.bin_peaks(mz, intensity, self.low_mz, self.bin_width, self.intensity[row])
        first, last = (min(max(self._position(mz), 0), self.columns - 1) for mz in (low, high))
        self._used = (first, last) if self._used is None else (min(self._used[0], first), max(self._used[1], last))

    def _position(self, mz: float) -> int:
        """The column of ``mz`` as bin_peaks computes it, whether inside the grid or not."""
        return int(math.floor((mz - self.low_mz) * (1.0 / self.bin_width)))

    def _make_room(self, low: float, high: float) -> None:
        if self._used is None:
            # The first spectrum fills the middle half of the grid.
            self.bin_width = max(high - low, 1e-6 * max(abs(low), 1.0)) / (self.columns // 2)
            self.low_mz = low - self.bin_width * (self.columns // 4)
            return
        while True:
            first = min(self._used[0], self._position(low))
            last = max(self._used[1], self._position(high))
            if last - first + 1 <= self.columns - 2:   # a column to spare for rounding at either end
                break
            self._merge_pairs()
        if first < 1 or last > self.columns - 2:
            self._shift(first - (self.columns - (last - first + 1)) // 2)

    def _merge_pairs(self) -> None:
        assert self._used is not None
        grid = self.intensity
        merged = np.zeros_like(grid)
        half = self.columns // 2
        merged[:, :half] = grid[:, 0::2] + grid[:, 1::2]
        self.intensity = merged
        self.bin_width *= 2.0
        first, last = self._used
        self._used = (first // 2, last // 2)

    def _shift(self, by: int) -> None:
        """Moves the grid's window ``by`` columns up the m/z axis (down for negative)."""
        assert self._used is not None
        grid = self.intensity
        moved = np.zeros_like(grid)
        first, last = self._used
        moved[:, first - by:last - by + 1] = grid[:, first:last + 1]
        self.intensity = moved
        self.low_mz += by * self.bin_width
        self._used = (first - by, last - by)

    def used(self) -> Optional[Tuple[int, int]]:
        return self._used


@dataclass
class RunProfile:
    """Everything the report shows of one sample."""
    label: str
    path: str
    summary: Dict[str, Any]
    truncation: Optional[Truncation]
    spectra: Dict[str, np.ndarray]          # the run's spectrum table (Run.spectra)
    peak_count: np.ndarray                  # int64 per spectrum; -1 where not decoded
    intensity_sum: np.ndarray               # float64 per spectrum; NaN where not decoded
    base_peak_mz: np.ndarray
    base_peak_intensity: np.ndarray
    ms1_map: Ms1Map
    map_row: np.ndarray                     # per spectrum: its MS1 map row, -1 for others
    intensity_histogram: np.ndarray         # uint64 counts per intensity bin
    error: Optional[str] = None             # the reader's error that ended the pass, if any


def _map_rows(ms_level: np.ndarray) -> Tuple[np.ndarray, int]:
    """Row of each survey spectrum (consecutive surveys share rows evenly), and the row count."""
    surveys = np.flatnonzero(ms_level == 1)
    rows = min(MAP_ROWS, len(surveys))
    row = np.full(len(ms_level), -1, dtype=np.int64)
    if rows:
        row[surveys] = np.arange(len(surveys), dtype=np.int64) * rows // len(surveys)
    return row, rows


def profile_run(run: Any, label: str, path: str, summary: Dict[str, Any],
                progress: Optional[Callable[[int], Any]] = None) -> RunProfile:
    """Reads every spectrum's peaks once and accumulates what the report plots.

    A reader error in the middle ends the pass: the profile keeps what was
    read and the error text.
    """
    table = run.spectra
    n = len(table["ms_level"])
    map_row, rows = _map_rows(table["ms_level"])
    profile = RunProfile(
        label=label, path=path, summary=summary, truncation=run_truncation(run),
        spectra=table, peak_count=np.full(n, -1, dtype=np.int64), intensity_sum=np.full(n, np.nan),
        base_peak_mz=np.full(n, np.nan), base_peak_intensity=np.full(n, np.nan),
        ms1_map=Ms1Map(max(rows, 1)), map_row=map_row,
        intensity_histogram=np.zeros(INTENSITY_BINS, dtype=np.uint64))
    histogram = profile.intensity_histogram
    try:
        for i, mz, intensity in run.iter_peaks():
            count, total, bp_mz, bp_intensity = _native.peak_stats(mz, intensity, histogram)
            profile.peak_count[i] = count
            profile.intensity_sum[i] = total
            profile.base_peak_mz[i] = bp_mz
            profile.base_peak_intensity[i] = bp_intensity
            if map_row[i] >= 0 and count:
                profile.ms1_map.add(int(map_row[i]), mz, intensity)
            if progress is not None:
                progress(1)
    except RuntimeError as error:
        profile.error = str(error)
    return profile

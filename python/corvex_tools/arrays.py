"""Numpy access to a WIFF run: metadata and columns without decoding, peaks on every core.

>>> run = corvex_tools.open_run("run.wiff")               # reads no scan block
>>> fragments = run.spectra["ms_level"] == 2              # one row per scan
>>> mz, intensity = run.peaks(0)                           # float64, float32
>>> for i, mz, intensity in run.iter_peaks(ms_level=1):   # decoded ahead, in order
...     ...
>>> peaks = run.load(rt_range=(600.0, 900.0))              # CSR arrays, every core
>>> centroids = run.load(ms_level=1, centroid=True)        # picked peaks, every core

Every peak array is bit-identical to ``Spectrum.mz`` and ``Spectrum.intensity``
of the same spectrum read with corvex (intensities compared after exact
widening to float64), and every error is the ``RuntimeError`` corvex raises for
the same input, with the same text.

With ``centroid=True`` (or a :class:`~corvex_tools.centroid.CentroidParameters`)
every call gives the peak picker's centroids instead: exactly what
:func:`corvex_tools.centroid.centroid` gives for the spectrum's profile points
(their channels and intensities) and the run's calibration, picked in C++
beside the decoding. The m/z is the calibration's at the centroid's fractional
channel (a run without a calibration has the channel index as m/z, so its
centroids' m/z are fractional channel indices), and the intensity is the
peak's area in counts (float32). Damaged scans fail as they do for profile
peaks.

Arrays handed out by :meth:`Run.peaks`, :meth:`Run.iter_peaks` and
:meth:`Run.load` sit on memory the decoder wrote (no copy is made) and belong
to the caller: they are writable, and no other array shares their memory
except the arrays of the same call (a spectrum's m/z and intensity share one
block). The arrays of :attr:`Run.spectra` belong to the run and are read-only.
"""

from __future__ import annotations

import operator
import os
from typing import TYPE_CHECKING, Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _native
from .centroid import CentroidParameters, Centroiding, native_centroid_argument as _centroid

if TYPE_CHECKING:
    import corvex

__all__ = ["Peaks", "Run", "open_run"]

PathText = Union[str, "os.PathLike[str]"]
RetentionRange = Tuple[float, float]
PeakArrays = Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]

def open_run(path: PathText, sample: Optional[str] = None) -> Run:
    """Open one sample of the WIFF run at ``path`` without decoding any scan.

    ``sample`` names the sample; without it the run must hold exactly one
    (the rule of ``corvex.iter_spectra``). Reads the scan index, the Log,
    calibration, DDE, summary-information and ion-source streams and the size
    of the ``.wiff.scan`` file. Raises ``RuntimeError`` with corvex's text
    when the sample cannot be opened.
    """
    return Run(_native.open_run(os.fspath(path), sample))


def _positions(run: _native.Run, ms_level: Optional[int],
               rt_range: Optional[RetentionRange]) -> npt.NDArray[np.int64]:
    level = None if ms_level is None else operator.index(ms_level)
    if rt_range is None:
        return run.select(level, None, None)
    first, last = rt_range
    return run.select(level, float(first), float(last))


def _threads(threads: Optional[int]) -> Optional[int]:
    if threads is None:
        return None
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


class Run:
    """One sample of a WIFF run, opened for array access (see :func:`open_run`).

    A run never changes once opened and may be used from several threads at
    once. Selections (``ms_level``, ``rt_range``) are applied to the columns
    before anything is decoded: ``ms_level`` keeps the scans of that level,
    ``rt_range=(first, last)`` those whose ``retention_time_sec`` lies in the
    closed interval ``first <= t <= last`` (nothing when ``first > last``).
    """

    __slots__ = ("_native", "_columns")

    def __init__(self, native: _native.Run) -> None:
        self._native = native
        self._columns: Optional[Dict[str, npt.NDArray[Any]]] = None

    # -- identity ---------------------------------------------------------------

    @property
    def path(self) -> str:
        """The path the run was opened with."""
        return self._native.path

    @property
    def sample_name(self) -> str:
        """The sample's name as it was asked for (or found, for a single-sample run)."""
        return self._native.sample_name

    @property
    def scan_count(self) -> int:
        """The number of scans (spectra)."""
        return self._native.scan_count

    @property
    def scan_file_size(self) -> int:
        """The size of the ``.wiff.scan`` file in bytes, taken when the run was opened."""
        return self._native.scan_file_size

    @property
    def analyzer(self) -> str:
        """The mass analyzer of every spectrum, as ``Spectrum.analyzer``: "tofms" with a calibration, else "tqms"."""
        return self._native.analyzer

    def __len__(self) -> int:
        return self._native.scan_count

    def __repr__(self) -> str:
        return f"Run({self.path!r}, sample={self.sample_name!r}, {self.scan_count} scans)"

    # -- metadata: the values RawReader's methods of the same names return ------

    def run_info(self) -> "corvex.RunInfo":
        """File, format, instrument and software terms of the run (as ``RawReader.run_info()``)."""
        return self._native.run_info()

    def instrument_info(self) -> "Optional[corvex.InstrumentInfo]":
        """Instrument identity from the acquisition log, or None (as ``RawReader.instrument_info()``)."""
        return self._native.instrument_info()

    def calibration(self) -> "Optional[corvex.Calibration]":
        """TOF m/z calibration, or None (as ``RawReader.calibration()``)."""
        return self._native.calibration()

    def ion_source_parameters(self) -> Dict[str, float]:
        """Ion source parameters by name (as ``RawReader.ion_source_parameters()``)."""
        return self._native.ion_source_parameters()

    def dde_precursor_mz(self) -> list[float]:
        """Data-dependent precursor m/z values in stream order (as ``RawReader.dde_precursor_mz()``)."""
        return self._native.dde_precursor_mz()

    def read_chromatograms(self) -> "list[corvex.Chromatogram]":
        """The TIC chromatogram, from the scan index (as ``RawReader.read_chromatograms()``)."""
        return self._native.read_chromatograms()

    def scan_index(self) -> "list[corvex.ScanIndexRecord]":
        """The decoded scan index records (as ``RawReader.scan_index()``)."""
        return self._native.scan_index()

    # -- columns ----------------------------------------------------------------

    @property
    def spectra(self) -> Dict[str, npt.NDArray[Any]]:
        """Every spectrum field that needs no peaks: a dict of read-only arrays, one row per scan.

        ==================== ======= =====================================================
        column               dtype   meaning
        ==================== ======= =====================================================
        position             int64   0-based position, as ``Spectrum.index``
        scan_number          int64   1-based, as ``Spectrum.scan_number``
        native_id            object  ``"scan=<scan_number>"`` (str), as ``Spectrum.native_id``
        ms_level             int64   1 (survey) or 2 (fragment)
        polarity             object  "positive", "negative" or None (the sample's)
        retention_time_sec   float64 as ``Spectrum.retention_time_sec``
        reported_tic_cps     float64 total ion current recorded in the scan index
                                     (counts/s; ``scan_index()[i]["tic"]``)
        precursor_mz         float64 a fragment scan's selected precursor m/z; NaN where
                                     there is none
        survey_position      int64   position of the survey scan before a fragment scan;
                                     -1 for survey scans and fragments without one
        scan_offset          int64   offset of the scan's block in the .wiff.scan file (bytes)
        scan_size            int64   recorded size of that block (bytes)
        ==================== ======= =====================================================

        Each access returns a new dict over the same arrays.
        """
        columns = self._columns
        if columns is None:
            columns = self._make_columns()
            self._columns = columns  # threads racing here build identical tables
        return dict(columns)

    def _make_columns(self) -> Dict[str, npt.NDArray[Any]]:
        raw = self._native.columns()
        count = self.scan_count
        native_ids = np.empty(count, dtype=object)
        native_ids[:] = raw["native_id"]
        polarity = np.full(count, raw["polarity"], dtype=object)
        for array in (native_ids, polarity):
            array.flags.writeable = False
        return {
            "position": raw["position"],
            "scan_number": raw["scan_number"],
            "native_id": native_ids,
            "ms_level": raw["ms_level"],
            "polarity": polarity,
            "retention_time_sec": raw["retention_time_sec"],
            "reported_tic_cps": raw["reported_tic_cps"],
            "precursor_mz": raw["precursor_mz"],
            "survey_position": raw["survey_position"],
            "scan_offset": raw["scan_offset"],
            "scan_size": raw["scan_size"],
        }

    # -- peaks ------------------------------------------------------------------

    def peaks(self, i: int, *, centroid: Centroiding = False) -> PeakArrays:
        """The m/z (float64) and intensity (float32) arrays of the spectrum at position ``i``.

        Negative positions count from the end. With ``centroid`` (True for
        the default :class:`~corvex_tools.centroid.CentroidParameters`, or
        the parameters themselves) the spectrum's centroids instead of its
        profile points (see the module's description). Raises ``IndexError``
        out of range, ``ValueError`` for unusable parameters and
        ``RuntimeError`` (corvex's text) when the scan block cannot be read.
        """
        position = operator.index(i)
        if position < 0:
            position += self.scan_count
        if position < 0:
            raise IndexError(f"position {i} out of range for a run of {self.scan_count} scans")
        return self._native.peaks(position, _centroid(centroid))

    def iter_peaks(self, ms_level: Optional[int] = None, rt_range: Optional[RetentionRange] = None, *,
                   threads: Optional[int] = None,
                   centroid: Centroiding = False) -> Iterator[Tuple[int, npt.NDArray[np.float64],
                                                                    npt.NDArray[np.float32]]]:
        """``(position, mz, intensity)`` for every selected spectrum, in order.

        Background threads (``threads``, by default one per CPU) decode ahead
        of the loop with the interpreter released, at most 16 MiB of peaks
        ahead, so memory stays bounded whatever the run's size. With
        ``centroid`` (as for :meth:`peaks`) they pick each spectrum's
        centroids too. A scan that cannot be read raises ``RuntimeError`` at
        its place and ends the iteration. Dropping the iterator stops its
        threads.
        """
        return self._native.iter_peaks(_positions(self._native, ms_level, rt_range), _threads(threads),
                                       _centroid(centroid))

    def load(self, ms_level: Optional[int] = None, rt_range: Optional[RetentionRange] = None, *,
             threads: Optional[int] = None, centroid: Centroiding = False) -> Peaks:
        """Every selected spectrum's peaks at once, as compressed sparse rows (see :class:`Peaks`).

        Decodes on ``threads`` threads (by default one per CPU) with the
        interpreter released, straight into the final arrays; the result is
        the same whatever the number of threads. With ``centroid`` (as for
        :meth:`peaks`) the rows hold each spectrum's centroids, picked on the
        same threads, and the per-spectrum columns (total ion current, base
        peak, lowest and highest m/z, peak count) are the centroids'. The
        first selected scan that cannot be read fails the call with corvex's
        ``RuntimeError``.
        """
        loaded = self._native.load(_positions(self._native, ms_level, rt_range), _threads(threads),
                                   _centroid(centroid))
        return Peaks(**loaded)


class Peaks:
    """The peaks of several spectra in compressed sparse row form (from :meth:`Run.load`).

    Spectrum ``k`` (the run's spectrum at position ``index[k]``) has the peaks
    ``mz[offsets[k]:offsets[k + 1]]`` and ``intensity[offsets[k]:offsets[k + 1]]``.

    ==================== ======= ======================================================
    attribute            dtype   meaning
    ==================== ======= ======================================================
    index                int64   run positions of the spectra, in increasing order
    offsets              int64   ``len(index) + 1`` row starts, from 0
    mz                   float64 every spectrum's m/z values, one after another
    intensity            float32 the matching intensities
    total_ion_current    float64 per spectrum, as ``Spectrum.total_ion_current`` (the sum
                                 of its intensities; -0.0 without peaks)
    base_peak_mz         float64 as ``Spectrum.base_peak_mz`` (the first peak of greatest
                                 intensity); NaN without peaks
    base_peak_intensity  float32 as ``Spectrum.base_peak_intensity``; NaN without peaks
    lowest_mz            float64 ``mz`` row's minimum; NaN without peaks
    highest_mz           float64 ``mz`` row's maximum; NaN without peaks
    peak_count           int64   ``offsets[k + 1] - offsets[k]``
    ==================== ======= ======================================================

    After ``load(centroid=...)`` the rows hold centroids and the per-spectrum
    columns are computed on them (the total ion current is then the sum of
    the peaks' areas). All arrays are writable and belong to this object
    alone.
    """

    __slots__ = ("index", "offsets", "mz", "intensity", "total_ion_current", "base_peak_mz",
                 "base_peak_intensity", "lowest_mz", "highest_mz", "peak_count")

    def __init__(self, *, index: npt.NDArray[np.int64], offsets: npt.NDArray[np.int64],
                 mz: npt.NDArray[np.float64], intensity: npt.NDArray[np.float32],
                 total_ion_current: npt.NDArray[np.float64], base_peak_mz: npt.NDArray[np.float64],
                 base_peak_intensity: npt.NDArray[np.float32], lowest_mz: npt.NDArray[np.float64],
                 highest_mz: npt.NDArray[np.float64], peak_count: npt.NDArray[np.int64]) -> None:
        self.index = index
        self.offsets = offsets
        self.mz = mz
        self.intensity = intensity
        self.total_ion_current = total_ion_current
        self.base_peak_mz = base_peak_mz
        self.base_peak_intensity = base_peak_intensity
        self.lowest_mz = lowest_mz
        self.highest_mz = highest_mz
        self.peak_count = peak_count

    def __len__(self) -> int:
        """The number of spectra."""
        return len(self.index)

    def __getitem__(self, k: int) -> PeakArrays:
        """Views of the m/z and intensity of the ``k``-th spectrum loaded (not run position ``k``)."""
        row = range(len(self.index))[k]
        start, stop = int(self.offsets[row]), int(self.offsets[row + 1])
        return self.mz[start:stop], self.intensity[start:stop]

    def __iter__(self) -> Iterator[Tuple[int, npt.NDArray[np.float64], npt.NDArray[np.float32]]]:
        """``(position, mz, intensity)`` per spectrum, as :meth:`Run.iter_peaks` yields them."""
        for row in range(len(self.index)):
            start, stop = int(self.offsets[row]), int(self.offsets[row + 1])
            yield int(self.index[row]), self.mz[start:stop], self.intensity[start:stop]

    def __repr__(self) -> str:
        return f"Peaks({len(self.index)} spectra, {len(self.mz)} peaks)"

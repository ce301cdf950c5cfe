"""Type information for corvex_tools._native, the engine behind corvex_tools.arrays.

Use corvex_tools.open_run and its Run and Peaks classes; this module's names
are the compiled layer under them.
"""

from typing import TypedDict, final

import numpy as np
import numpy.typing as npt
from corvex import Calibration, Chromatogram, InstrumentInfo, PolarityText, RunInfo, ScanIndexRecord

class RawColumns(TypedDict):
    """``Run.columns()``: the numeric columns over the run's own memory (read-only)."""
    position: npt.NDArray[np.int64]
    scan_number: npt.NDArray[np.int64]
    native_id: list[str]
    ms_level: npt.NDArray[np.int64]
    polarity: PolarityText | None
    retention_time_sec: npt.NDArray[np.float64]
    reported_tic_cps: npt.NDArray[np.float64]
    precursor_mz: npt.NDArray[np.float64]
    survey_position: npt.NDArray[np.int64]
    scan_offset: npt.NDArray[np.int64]
    scan_size: npt.NDArray[np.int64]

class LoadedArrays(TypedDict):
    """``Run.load()``: the arrays of corvex_tools.Peaks."""
    index: npt.NDArray[np.int64]
    offsets: npt.NDArray[np.int64]
    mz: npt.NDArray[np.float64]
    intensity: npt.NDArray[np.float32]
    total_ion_current: npt.NDArray[np.float64]
    base_peak_mz: npt.NDArray[np.float64]
    base_peak_intensity: npt.NDArray[np.float32]
    lowest_mz: npt.NDArray[np.float64]
    highest_mz: npt.NDArray[np.float64]
    peak_count: npt.NDArray[np.int64]

@final
class Buffer:
    """Memory of the engine's behind numpy arrays; made by corvex_tools only."""

@final
class PeakIter:
    """Peaks of the selected spectra, decoded ahead by background threads."""

    def __iter__(self) -> PeakIter: ...
    def __next__(self) -> tuple[int, npt.NDArray[np.float64], npt.NDArray[np.float32]]: ...

@final
class Run:
    """An opened sample; use corvex_tools.open_run()."""

    @property
    def sample_name(self) -> str: ...
    @property
    def scan_count(self) -> int: ...
    @property
    def scan_file_size(self) -> int: ...
    @property
    def path(self) -> str: ...
    def __len__(self) -> int: ...
    def run_info(self) -> RunInfo: ...
    def instrument_info(self) -> InstrumentInfo | None: ...
    def calibration(self) -> Calibration | None: ...
    def ion_source_parameters(self) -> dict[str, float]: ...
    def dde_precursor_mz(self) -> list[float]: ...
    def read_chromatograms(self) -> list[Chromatogram]: ...
    def scan_index(self) -> list[ScanIndexRecord]: ...
    def columns(self) -> RawColumns: ...
    def select(self, ms_level: int | None, rt_first: float | None, rt_last: float | None) -> npt.NDArray[np.int64]: ...
    def peaks(self, position: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]: ...
    def iter_peaks(self, positions: npt.NDArray[np.int64], threads: int | None = None) -> PeakIter: ...
    def load(self, positions: npt.NDArray[np.int64], threads: int | None = None) -> LoadedArrays: ...

def available_cpus() -> int:
    """The CPUs this process may run on: the default number of decoding threads."""

def open_run(path: str, sample: str | None = None) -> Run: ...

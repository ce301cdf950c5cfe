"""The compiled engine of corvex_tools; use corvex_tools' Python API instead."""

from typing import Any, Mapping, Optional, Sequence, Tuple, TypedDict, final

import numpy as np
import numpy.typing as npt
from corvex import Calibration, Chromatogram, InstrumentInfo, PolarityText, RunInfo, ScanIndexRecord
from numpy.typing import ArrayLike

# Arrays handed out as buffer objects (the buffer protocol, for
# numpy.frombuffer), which the type system cannot name on every Python.
Buffer = Any

def available_cpus() -> int:
    """The CPUs this process may run on: the default number of decoding threads."""

def mzml_param_keys() -> list[Tuple[str, Optional[str]]]: ...
def float_repr(value: float) -> str: ...

# The report's per-spectrum kernels.
INTENSITY_BIN_SHIFT: int

def peak_stats(mz: ArrayLike, intensity: ArrayLike, histogram: ArrayLike) -> Tuple[int, float, float, float]: ...
def mz_range(mz: ArrayLike) -> Tuple[float, float]: ...
def bin_peaks(mz: ArrayLike, intensity: ArrayLike, low_mz: float, bin_width: float, row: ArrayLike) -> int: ...

@final
class MzmlWriter:
    def __new__(cls, fd: int, header: bytes, between: bytes, footer: bytes,
                params: Sequence[Tuple[str, str]], zlib: bool, numpress_mz: Optional[str] = None,
                numpress_intensity: Optional[str] = None) -> MzmlWriter: ...
    def write_spectrum(self, native_id: str, ms_level: int, retention_time_sec: float, total_ion_current: float,
                       base_peak: Optional[Tuple[float, float]], polarity: Optional[str], centroid: bool,
                       precursor: Optional[Mapping[str, Any]], mz: ArrayLike, intensity: ArrayLike) -> None: ...
    def write_chromatogram(self, native_id: str, type_param: str, time_sec: ArrayLike,
                           intensity: ArrayLike) -> None: ...
    def finish(self) -> int: ...
    @property
    def spectrum_count(self) -> int: ...
    @property
    def chromatogram_count(self) -> int: ...

@final
class MgfWriter:
    def __new__(cls, fd: int) -> MgfWriter: ...
    def write(self, native_id: str, ms_level: int, scan_number: int, retention_time_sec: float,
              precursor: Optional[Mapping[str, Any]], mz: ArrayLike, intensity: ArrayLike) -> bool: ...
    def finish(self) -> None: ...
    @property
    def written(self) -> int: ...
    @property
    def skipped(self) -> int: ...

@final
class Conversion:
    """A sample being converted; made by convert_mzml() and convert_mgf()."""

    def advance(self, seconds: float, /) -> bool: ...
    def close(self) -> None: ...
    @property
    def spectra(self) -> int: ...
    @property
    def written(self) -> int: ...
    @property
    def left_out(self) -> int: ...
    @property
    def scan_count(self) -> int: ...

def convert_mzml(run: Run, fd: int, header: bytes, between: bytes, footer: bytes,
                 params: Sequence[Tuple[str, str]], chromatogram_types: Sequence[str], zlib: bool,
                 numpress_mz: Optional[str] = None, numpress_intensity: Optional[str] = None,
                 threads: Optional[int] = None, centroid: _CentroidArguments | None = None) -> Conversion: ...
def convert_mgf(run: Run, fd: int, threads: Optional[int] = None,
                centroid: _CentroidArguments | None = None) -> Conversion: ...

class CentroidDefaults(TypedDict):
    min_snr: float
    min_intensity: float
    min_points: int
    max_gap_channels: int
    single_point_peaks: bool
    valley_ratio: float
    min_valley_snr: float
    position: str

def centroid_defaults() -> CentroidDefaults: ...

@final
class CentroidPicker:
    def __new__(cls, min_snr: float, min_intensity: float, min_points: int, max_gap_channels: int,
                single_point_peaks: bool, valley_ratio: float, min_valley_snr: float,
                position: str) -> CentroidPicker: ...
    def pick(self, channels: Buffer, intensities: Buffer, slope: Optional[float],
             intercept: Optional[float]) -> Tuple[Buffer, Optional[Buffer], Buffer, Buffer, Buffer, float, float]: ...

# The picker's parameters in CentroidPicker()'s order: the array layer's
# centroid argument (None: profile peaks).
_CentroidArguments = Tuple[float, float, int, int, bool, float, float, str]

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
    @property
    def analyzer(self) -> str: ...
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
    def peaks(self, position: int,
              centroid: _CentroidArguments | None = None) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]: ...
    def iter_peaks(self, positions: npt.NDArray[np.int64], threads: int | None = None,
                   centroid: _CentroidArguments | None = None) -> PeakIter: ...
    def load(self, positions: npt.NDArray[np.int64], threads: int | None = None,
             centroid: _CentroidArguments | None = None) -> LoadedArrays: ...

def open_run(path: str, sample: str | None = None) -> Run: ...
def scan_file_path(path: str) -> str:
    """The scan data file of the .wiff file at `path`, by the reader's rule."""

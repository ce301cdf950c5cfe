"""The compiled engine of corvex_tools; use corvex_tools' Python API instead."""

from typing import Any, Mapping, Optional, Sequence, Tuple, TypedDict

from numpy.typing import ArrayLike

# Arrays handed out as buffer objects (the buffer protocol, for
# numpy.frombuffer), which the type system cannot name on every Python.
Buffer = Any

def available_cpus() -> int: ...
def mzml_param_keys() -> list[Tuple[str, Optional[str]]]: ...
def float_repr(value: float) -> str: ...

class MzmlWriter:
    def __init__(self, fd: int, header: bytes, between: bytes, footer: bytes,
                 params: Sequence[Tuple[str, str]], zlib: bool, numpress_mz: Optional[str] = None,
                 numpress_intensity: Optional[str] = None) -> None: ...
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

class MgfWriter:
    def __init__(self, fd: int) -> None: ...
    def write(self, native_id: str, ms_level: int, scan_number: int, retention_time_sec: float,
              precursor: Optional[Mapping[str, Any]], mz: ArrayLike, intensity: ArrayLike) -> bool: ...
    def finish(self) -> None: ...
    @property
    def written(self) -> int: ...
    @property
    def skipped(self) -> int: ...

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

class CentroidPicker:
    def __init__(self, min_snr: float, min_intensity: float, min_points: int, max_gap_channels: int,
                 single_point_peaks: bool, valley_ratio: float, min_valley_snr: float,
                 position: str) -> None: ...
    def pick(self, channels: Buffer, intensities: Buffer, slope: Optional[float],
             intercept: Optional[float]) -> Tuple[Buffer, Optional[Buffer], Buffer, Buffer, Buffer, float, float]: ...

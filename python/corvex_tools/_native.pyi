"""Types of corvex_tools' compiled engine; use corvex_tools' Python API instead."""

from typing import Any, TypedDict

# The arrays come as buffer objects (the buffer protocol, for
# numpy.frombuffer), which the type system cannot name on every Python.
Buffer = Any

def available_cpus() -> int: ...

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
    def pick(self, channels: Buffer, intensities: Buffer, slope: float | None,
             intercept: float | None) -> tuple[Buffer, Buffer | None, Buffer, Buffer, Buffer, float, float]: ...

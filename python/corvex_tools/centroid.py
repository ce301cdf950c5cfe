"""Peak picking for time-of-flight profile spectra.

:func:`centroid` turns one profile spectrum, given as its points on the
instrument's channel grid, into one centroid per ion peak::

    from corvex_tools.centroid import CentroidPicker, centroid
    peaks = centroid(channels, counts, calibration=reader.calibration())
    peaks.mz, peaks.intensity          # float64 m/z, float32 ion counts

    pick = CentroidPicker()            # for many spectra: keeps its working memory
    for channels, counts in spectra:
        peaks = pick(channels, counts, calibration)

A profile spectrum is the channel index and intensity of every channel that
recorded something, in channel order; channels without a point are zeros.
With a calibration (``{"slope": ..., "intercept": ...}`` as
``corvex.RawReader.calibration()`` gives it, or a ``(slope, intercept)``
pair) the centroids get m/z = intercept + slope * channel, computed as the
reader computes the m/z of whole channels.

How peaks are found, and what each parameter does, is described on
:class:`CentroidParameters`.  The picker runs in C++ without holding the
interpreter, so threads calling it run in parallel; the arrays it returns
are numpy views of memory nothing else refers to, and are writable.
"""

from __future__ import annotations

import dataclasses
import operator
from dataclasses import dataclass
from typing import Any, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _native

__all__ = ["CentroidParameters", "CentroidPicker", "Centroids", "centroid"]

_DEFAULTS = _native.centroid_defaults()


@dataclass(frozen=True)
class CentroidParameters:
    """How :func:`centroid` picks peaks.  The defaults suit TOF survey and
    fragment spectra whose intensities are ion counts.

    The noise model comes from the spectrum itself: the baseline is the
    median intensity of all channels from the first point to the last
    (missing channels count as zeros) and the noise is the spread from the
    lower quartile to the median, as a standard deviation, at least 1 count;
    it holds while peaks cover less than half of those channels.

    ``min_snr``
        Height of a peak's apex above the baseline, on the profile smoothed
        with a 1-2-1 kernel, in noise units.
    ``min_intensity``
        Lowest intensity of a peak's highest point (an absolute threshold;
        0 leaves the decision to ``min_snr``).
    ``min_points``
        Fewest points above baseline + noise that a peak spans.
    ``max_gap_channels``
        Missing channels that may lie between two points of one peak, where
        they are interpolated: counting noise leaves such holes in the flanks
        of low peaks.  Points further apart are never one peak.
    ``single_point_peaks``
        Whether a point with no neighbouring channel on either side may be
        a peak of its own.
    ``valley_ratio``, ``min_valley_snr``
        Two maxima are split at the valley between them only when the valley
        is at most ``valley_ratio`` of the lower maximum's height above the
        baseline and the lower maximum stands ``min_valley_snr`` standard
        deviations of counting noise above the valley (the baseline's noise
        plus the shot noise of both levels, taking intensities as ion
        counts); otherwise they are one peak.  Two equal Gaussians 1.5 FWHM
        apart have a valley at 0.42 of their height; heights 1 and 3, 0.68.
    ``position``
        ``"half_height_centroid"``: the intensity-weighted mean channel of
        the points within half the peak's height, the window's ends
        interpolated to where the (twice-smoothed) profile crosses half
        height (the default: several times more accurate on noisy peaks).
        ``"gaussian_fit"``: the vertex of the parabola through the logarithms
        of the apex and its two neighbours.
    """

    min_snr: float = _DEFAULTS["min_snr"]
    min_intensity: float = _DEFAULTS["min_intensity"]
    min_points: int = _DEFAULTS["min_points"]
    max_gap_channels: int = _DEFAULTS["max_gap_channels"]
    single_point_peaks: bool = _DEFAULTS["single_point_peaks"]
    valley_ratio: float = _DEFAULTS["valley_ratio"]
    min_valley_snr: float = _DEFAULTS["min_valley_snr"]
    position: str = _DEFAULTS["position"]


class Centroids(NamedTuple):
    """One spectrum's centroids, as parallel arrays in channel order."""

    #: m/z (float64); None when no calibration was given.
    mz: Optional[np.ndarray]
    #: Ion counts above the baseline summed over the peak's channels (float32).
    intensity: np.ndarray
    #: The peak's highest point (float32).
    apex_intensity: np.ndarray
    #: Number of points the peak spans (uint32).
    point_count: np.ndarray
    #: Fractional channel position (float64).
    channel: np.ndarray
    #: The spectrum's baseline and noise, in intensity units.
    baseline: float
    noise: float


Calibration = Union[Mapping[str, float], Tuple[float, float]]


def _slope_intercept(calibration: Optional[Calibration]) -> Tuple[Optional[float], Optional[float]]:
    if calibration is None:
        return None, None
    # dict first: the check against the abstract Mapping is slow
    if isinstance(calibration, dict) or isinstance(calibration, Mapping):
        return float(calibration["slope"]), float(calibration["intercept"])
    slope, intercept = calibration
    return float(slope), float(intercept)


class CentroidPicker:
    """A peak picker with fixed parameters that keeps its working memory from
    one spectrum to the next: the way to centroid many spectra.

    Calling it from several threads at once is safe; a call that finds the
    memory in use works in memory of its own.
    """

    __slots__ = ("parameters", "_picker")

    def __init__(self, parameters: Optional[CentroidParameters] = None) -> None:
        self.parameters = CentroidParameters() if parameters is None else parameters
        # The native side takes the fields in their order, the order of
        # _native.centroid_defaults().
        self._picker = _native.CentroidPicker(*dataclasses.astuple(self.parameters))

    def __call__(self, channels: npt.ArrayLike, intensities: npt.ArrayLike,
                 calibration: Optional[Calibration] = None) -> Centroids:
        """Centroids of one profile spectrum.

        ``channels`` are the points' channel indices (converted to uint32)
        and ``intensities`` their intensities (converted to float32); both
        are used without a copy when they already have those types and are
        contiguous.  Raises ValueError for arrays of different lengths.
        """
        channel_array = np.ascontiguousarray(channels, dtype=np.uint32)
        intensity_array = np.ascontiguousarray(intensities, dtype=np.float32)
        slope, intercept = _slope_intercept(calibration)
        (channel, mz, intensity, apex, points, baseline, noise) = self._picker.pick(
            channel_array, intensity_array, slope, intercept)
        frombuffer = np.frombuffer
        return Centroids(None if mz is None else frombuffer(mz, np.float64), frombuffer(intensity, np.float32),
                         frombuffer(apex, np.float32), frombuffer(points, np.uint32),
                         frombuffer(channel, np.float64), baseline, noise)

    def __repr__(self) -> str:
        return "CentroidPicker(%r)" % (self.parameters,)


_DEFAULT_PICKER = CentroidPicker()


def centroid(channels: npt.ArrayLike, intensities: npt.ArrayLike, calibration: Optional[Calibration] = None,
             parameters: Optional[CentroidParameters] = None) -> Centroids:
    """Centroids of one profile spectrum: ``CentroidPicker(parameters)(channels,
    intensities, calibration)``.  Raises ValueError for arrays of different
    lengths or unusable parameters."""
    picker = _DEFAULT_PICKER if parameters is None else CentroidPicker(parameters)
    return picker(channels, intensities, calibration)


Centroiding = Union[bool, CentroidParameters]
_PARAMETER_VALUES = operator.attrgetter(*_DEFAULTS)


def picking_parameters(centroid: Centroiding) -> Optional[CentroidParameters]:
    """The parameters a ``centroid`` argument asks for: None for profile
    peaks (False), the defaults for True, else the parameters given."""
    if isinstance(centroid, CentroidParameters):
        return centroid
    if isinstance(centroid, (bool, np.bool_)):
        return CentroidParameters() if centroid else None
    raise TypeError(f"centroid must be a bool or a CentroidParameters, not {type(centroid).__name__}")


def native_centroid_argument(centroid: Centroiding) -> Optional[Tuple[Any, ...]]:
    """What the engine's peak readers and converters take for ``centroid``:
    None for profile peaks, else the parameters' values in the order it
    takes them, which it checks."""
    parameters = picking_parameters(centroid)
    return None if parameters is None else tuple(_PARAMETER_VALUES(parameters))

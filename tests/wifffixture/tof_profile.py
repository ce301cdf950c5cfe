"""TOF profile spectra from known ions: the ground truth for peak picking.

Each ion is a Gaussian peak on the channel grid of the sample's calibration
(m/z = intercept + slope * channel) whose width follows from the resolving
power (FWHM = m/z / R).  The counts written are Poisson draws around the
baseline plus every ion's profile, clipped at the detector's saturation
level; channels that draw 0 are left out, as the instrument leaves them out.
The true ions are kept beside the counts, with their height and area (in
expected counts) and their signal-to-noise ratio: height over the
baseline's noise, sqrt(baseline) and at least one count.

With the default calibration (slope 0.002, intercept 100) and resolving
power 30,000 a peak spans 5 channels at half height at m/z 300 and 20 at
m/z 1200, as TOF survey scans do.

:func:`profile_spectrum` draws one spectrum of isolated ions, close pairs,
saturated ions and ions cut by either end of the channel range;
:func:`build_tof_profile_run` writes spectra as one sample's scans and
returns the expected decode with the truth.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import numpy as np

from .acquisition import Acquisition, Expected, Sample, Scan, build

TOF_PROFILE_CALIBRATION = (0.002, 100.0)   # (slope, intercept)
RESOLVING_POWER = 30_000.0
SATURATION = 20_000                        # counts at which the detector saturates
FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * np.log(2.0))
# Ions are drawn this many of their FWHM away from any other to count as isolated.
ISOLATION_FWHM = 4.0


@dataclass(frozen=True)
class TrueIon:
    mz: float
    channel: float          # centre on the channel grid
    height: float           # expected counts at the apex, above the baseline, before saturation
    area: float             # expected counts of the whole peak
    snr: float              # height / noise of the spectrum
    fwhm_channels: float
    kind: str               # "isolated", "pair", "saturated", "first_channel" or "last_channel"
    separation_fwhm: float = 0.0  # for a pair: distance to the partner in FWHM


@dataclass
class ProfileSpectrum:
    channels: np.ndarray    # uint32: channels of the points written, increasing
    counts: np.ndarray      # int64: their counts, all above 0
    ions: List[TrueIon]
    baseline: float         # expected counts per channel without ions
    noise: float            # sqrt(baseline), at least 1
    first_channel: int      # the channel range the spectrum covers
    last_channel: int

    def points(self) -> List[Tuple[int, int]]:
        return list(zip(self.channels.tolist(), self.counts.tolist()))


@dataclass
class TofProfileRun:
    expected: Expected
    spectra: List[ProfileSpectrum]
    calibration: Tuple[float, float]


def fwhm_channels(mz: float, calibration=TOF_PROFILE_CALIBRATION,
                  resolving_power: float = RESOLVING_POWER) -> float:
    return mz / resolving_power / calibration[0]


def _mz(channel: float, calibration) -> float:
    slope, intercept = calibration
    return intercept + slope * channel


def _channel(mz: float, calibration) -> float:
    slope, intercept = calibration
    return (mz - intercept) / slope


def expected_counts(first_channel: int, last_channel: int, ions: Sequence[TrueIon],
                    baseline: float) -> np.ndarray:
    """Expected counts of every channel in the range (float64)."""
    expected = np.full(last_channel - first_channel + 1, float(baseline))
    for ion in ions:
        sigma = ion.fwhm_channels / FWHM_PER_SIGMA
        lo = max(first_channel, int(np.floor(ion.channel - 8 * sigma)))
        hi = min(last_channel, int(np.ceil(ion.channel + 8 * sigma)))
        if hi < lo:
            continue
        x = np.arange(lo, hi + 1, dtype=np.float64)
        expected[lo - first_channel:hi - first_channel + 1] += \
            ion.height * np.exp(-0.5 * ((x - ion.channel) / sigma) ** 2)
    return expected


def draw_counts(rng: np.random.Generator, first_channel: int, last_channel: int,
                ions: Sequence[TrueIon], baseline: float,
                saturation: int = SATURATION) -> Tuple[np.ndarray, np.ndarray]:
    """(channels, counts) of one spectrum: Poisson counts, clipped, zeros left out."""
    counts = np.minimum(rng.poisson(expected_counts(first_channel, last_channel, ions, baseline)),
                        saturation)
    keep = np.flatnonzero(counts)
    return (keep + first_channel).astype(np.uint32), counts[keep].astype(np.int64)


def _ion(mz: float, height: float, noise: float, kind: str, calibration, resolving_power,
         separation_fwhm: float = 0.0, channel: Optional[float] = None) -> TrueIon:
    width = fwhm_channels(mz, calibration, resolving_power)
    centre = _channel(mz, calibration) if channel is None else channel
    return TrueIon(mz=_mz(centre, calibration) if channel is not None else mz, channel=centre,
                   height=height, area=height * width / FWHM_PER_SIGMA * np.sqrt(2 * np.pi),
                   snr=height / noise, fwhm_channels=width, kind=kind,
                   separation_fwhm=separation_fwhm)


def profile_spectrum(rng: np.random.Generator, *, calibration=TOF_PROFILE_CALIBRATION,
                     resolving_power: float = RESOLVING_POWER,
                     mz_range: Tuple[float, float] = (300.0, 1200.0), baseline: float = 0.02,
                     isolated: int = 150, snr_range: Tuple[float, float] = (3.0, 3000.0),
                     pairs: Sequence[float] = (1.5, 1.5, 2.0, 3.0),
                     pair_snr_range: Tuple[float, float] = (100.0, 3000.0),
                     pair_ratio_range: Tuple[float, float] = (1.0, 3.0),
                     saturated: int = 2, edges: bool = False,
                     saturation: int = SATURATION) -> ProfileSpectrum:
    """One spectrum over the channels of ``mz_range``.

    ``isolated`` ions at least ISOLATION_FWHM of their FWHM from any other,
    with S/N log-uniform over ``snr_range``; one pair per entry of ``pairs``
    (their separation in FWHM), the lower ion's S/N log-uniform over
    ``pair_snr_range`` and the higher 1 to 3 times as high; ``saturated``
    ions 2 to 6 times higher than the saturation level; with ``edges`` an
    ion centred on the first channel of the range and one on the last.  No
    ions at all gives a noise-only spectrum.
    """
    noise = float(np.sqrt(max(baseline, 1.0)))
    first = int(np.ceil(_channel(mz_range[0], calibration)))
    last = int(np.floor(_channel(mz_range[1], calibration)))
    ions: List[TrueIon] = []
    taken: List[Tuple[float, float]] = []   # m/z intervals of the ions placed so far

    def place(span_fwhm: float = 0.0) -> float:
        # The lowest m/z of a group of ions span_fwhm wide that stays
        # ISOLATION_FWHM away from every other group and from the range's ends.
        for _ in range(10_000):
            mz = float(rng.uniform(mz_range[0], mz_range[1]))
            fwhm = mz / resolving_power
            lo, hi = mz, mz + span_fwhm * fwhm
            gap = ISOLATION_FWHM * fwhm
            if lo - gap < mz_range[0] or hi + gap > mz_range[1]:
                continue
            if all(lo - gap > b or hi + gap < a for a, b in taken):
                taken.append((lo, hi))
                return mz
        raise ValueError("too many ions for the m/z range")

    for separation in pairs:
        mz = place(separation)
        low = float(np.exp(rng.uniform(*np.log(pair_snr_range)))) * noise
        high = low * float(rng.uniform(*pair_ratio_range))
        first_height, second_height = (low, high) if rng.random() < 0.5 else (high, low)
        partner = mz + separation * mz / resolving_power
        ions.append(_ion(mz, first_height, noise, "pair", calibration, resolving_power, separation))
        ions.append(_ion(partner, second_height, noise, "pair", calibration, resolving_power, separation))
    for _ in range(saturated):
        mz = place()
        ions.append(_ion(mz, saturation * float(rng.uniform(2.0, 6.0)), noise, "saturated",
                         calibration, resolving_power))
    if edges:
        for kind, channel in (("first_channel", first), ("last_channel", last)):
            mz = _mz(channel, calibration)
            taken.append((mz, mz))
            height = float(np.exp(rng.uniform(np.log(100.0), np.log(3000.0)))) * noise
            ions.append(_ion(mz, height, noise, kind, calibration, resolving_power, channel=float(channel)))
    for _ in range(isolated):
        mz = place()
        snr = float(np.exp(rng.uniform(*np.log(snr_range))))
        ions.append(_ion(mz, snr * noise, noise, "isolated", calibration, resolving_power))
    ions.sort(key=lambda ion: ion.channel)
    channels, counts = draw_counts(rng, first, last, ions, baseline, saturation)
    return ProfileSpectrum(channels=channels, counts=counts, ions=ions, baseline=baseline,
                           noise=noise, first_channel=first, last_channel=last)


def build_tof_profile_run(directory, spectra: Sequence[ProfileSpectrum], name: str = "profile",
                          calibration=TOF_PROFILE_CALIBRATION) -> TofProfileRun:
    """Writes ``spectra`` as the survey scans of one sample with the given
    calibration; returns the expected decode and the truth."""
    scans = [Scan(points=spectrum.points(), retention_time_min=0.01 * k,
                  tic=float(spectrum.counts.sum()))
             for k, spectrum in enumerate(spectra)]
    acquisition = Acquisition(samples=[Sample(scans=scans, calibration=tuple(calibration))])
    expected = build(acquisition, Path(directory), name)
    return TofProfileRun(expected=expected, spectra=list(spectra), calibration=tuple(calibration))


def match_ions(ions: Sequence[TrueIon], found_mz: np.ndarray, calibration=TOF_PROFILE_CALIBRATION,
               tolerance_fwhm: float = 0.5) -> np.ndarray:
    """For each ion the index of the found peak (m/z in increasing order) that
    stands for it, or -1: the nearest within ``tolerance_fwhm`` of the ion's
    FWHM, each peak given to one ion only, the closest pairs first."""
    found_mz = np.asarray(found_mz, dtype=np.float64)
    slope = calibration[0]
    candidates = []
    for i, ion in enumerate(ions):
        reach = tolerance_fwhm * ion.fwhm_channels * slope
        at = int(np.searchsorted(found_mz, ion.mz))
        for j in range(max(0, at - 2), min(len(found_mz), at + 2)):
            distance = abs(found_mz[j] - ion.mz)
            if distance <= reach:
                candidates.append((distance, i, j))
    matched = np.full(len(ions), -1, dtype=np.int64)
    taken = set()
    for _, i, j in sorted(candidates):
        if matched[i] < 0 and j not in taken:
            matched[i] = j
            taken.add(j)
    return matched

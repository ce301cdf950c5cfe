"""Large synthetic WIFF runs, written quickly with numpy.

:func:`write_synthetic_run` writes a single-sample acquisition whose scan
file may be around a gigabyte.  Scan contents are a pure function of
(seed, scan number, point number) through a counter-based hash, so the
expected points of any scan can be regenerated on demand
(:meth:`SyntheticRun.scan_points`) without keeping the whole run in memory.

Each survey scan is followed by ``ms2_per_cycle`` fragment scans; the DDE
stream has one record per survey scan.  Two point profiles:

* ``"uniform"`` (the default): intensities use every code length and about
  3 % are zero; channel gaps range from 1 to ``max_gap`` so long gaps need
  repeated skip codes.
* ``"tof"``: like TOF profile data.  Most channel gaps are 1 to 8 (one skip
  byte), about 8 % are jumps of 9 to ``max_gap``; intensities are log-normal
  (median 400 counts), so every code length occurs and under 1 % are zero.
  About 3.5 payload bytes per point.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional, Tuple

import numpy as np

from .acquisition import (minimal_widths, BLOCK_HEADER_SIZE, IDX_DTYPE, IDX_HEADER_SIZE, IDX_RECORD_SIZE,
                          Acquisition, LogContent, Sample, _place_points,
                          _point_lengths, build, idx_header)

# (slope, intercept) of the runs written unless another calibration is given.
SYNTHETIC_CALIBRATION = (0.0005, 20.0)

_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)
_GOLD = np.uint64(0x9E3779B97F4A7C15)


def _mix(x: np.ndarray) -> np.ndarray:
    """splitmix64 finaliser on uint64 arrays (wrapping arithmetic)."""
    with np.errstate(over="ignore"):
        x = x + _GOLD
        x = (x ^ (x >> np.uint64(30))) * _M1
        x = (x ^ (x >> np.uint64(27))) * _M2
        return x ^ (x >> np.uint64(31))


@dataclass
class SyntheticRun:
    wiff_path: Path
    scan_path: Path
    seed: int
    n_scans: int
    ms2_per_cycle: int
    max_gap: int
    profile: str
    calibration: Optional[Tuple[float, float]]
    scan_offset: np.ndarray      # uint64 per scan
    scan_size: np.ndarray        # uint32 per scan
    n_points: np.ndarray         # int64 per scan (points written, zeros included)
    ms_level: np.ndarray         # uint8 per scan
    retention_time_min: np.ndarray  # float32 per scan
    tic: np.ndarray              # float64 per scan: sum of intensities
    dde_mz: np.ndarray           # float64 per survey scan
    scan_file_size: int
    expected: object = field(repr=False, default=None)  # acquisition.Expected of the .wiff

    def scan_points(self, i: int) -> Tuple[np.ndarray, np.ndarray]:
        """(channels, intensities) written for scan i (0-based), zeros included."""
        deltas, inten = _scan_data(self.seed, np.array([i], dtype=np.int64),
                                   self.n_points[i:i + 1], self.max_gap, self.profile)
        return np.cumsum(deltas), inten

    def scan_arrays(self, i: int) -> Tuple[np.ndarray, np.ndarray]:
        """(m/z float64, intensity float32) a reader produces for scan i."""
        ch, inten = self.scan_points(i)
        keep = inten != 0
        ch, inten = ch[keep], inten[keep]
        if self.calibration is None:
            mz = ch.astype(np.float64)
        else:
            slope, intercept = self.calibration
            mz = np.float64(intercept) + np.float64(slope) * ch.astype(np.float64)
        return mz, inten.astype(np.float32)


# intensity classes: 3 % zero, then 1-byte, FC, FD, FE and FF codes
_CLASS_EDGES = np.array([3, 50, 70, 88, 98], dtype=np.int64)
_CLASS_BASE = np.array([0, 1, 124, 256, 0x10000, 0x1000000], dtype=np.uint64)
_CLASS_SPAN = np.array([0, 123, 132, 0x10000 - 256, 0x1000000 - 0x10000,
                        0x100000000 - 0x1000000], dtype=np.uint64)


# "tof" profile: log-normal intensity parameters and the share of long jumps
_TOF_LOG_MEDIAN = np.log(400.0)
_TOF_LOG_SIGMA = 2.5
_TOF_LONG_JUMPS = 20  # in 256


def _tof_points(h: np.ndarray, max_gap: int):
    """(delta, intensity) of the "tof" profile from one hash per point."""
    long_jump = (h >> np.uint64(56)) < np.uint64(_TOF_LONG_JUMPS)
    small = ((h >> np.uint64(48)) & np.uint64(7)).astype(np.int64) + 1
    span = np.uint64(max(1, max_gap - 8))
    far = (((h >> np.uint64(24)) & np.uint64(0xFFFFFF)) * span >> np.uint64(24)).astype(np.int64) + 9
    deltas = np.where(long_jump, far, small)
    # Box-Muller from two independent 32-bit uniforms
    h2 = _mix(h)
    u1 = ((h & np.uint64(0xFFFFFFFF)).astype(np.float64) + 0.5) * (1.0 / 2**32)
    u2 = ((h2 & np.uint64(0xFFFFFFFF)).astype(np.float64) + 0.5) * (1.0 / 2**32)
    z = np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2)
    value = np.exp(_TOF_LOG_MEDIAN + _TOF_LOG_SIGMA * z)
    inten = np.minimum(value, float(0xFFFFFFFE)).astype(np.int64)
    return deltas, inten


def _scan_data(seed: int, scans: np.ndarray, counts: np.ndarray, max_gap: int,
               profile: str = "uniform"):
    """Per-point (delta, intensity) for the given scans, concatenated."""
    total = int(counts.sum())
    owner = np.repeat(scans.astype(np.uint64), counts)
    first = np.repeat(np.cumsum(counts) - counts, counts)
    j = (np.arange(total, dtype=np.int64) - first).astype(np.uint64)
    key = (np.uint64(seed & 0xFFFFFFFF) << np.uint64(48)) ^ (owner << np.uint64(24)) ^ j
    h = _mix(key)
    if profile == "tof":
        deltas, inten = _tof_points(h, max_gap)
        # FF followed by FF FF FF would read as the end marker
        clash = (inten > 0xFFFFFF) & ((inten & 0xFFFFFF) == 0xFFFFFF)
        inten[clash] -= 1
        return deltas, inten
    if profile != "uniform":
        raise ValueError("unknown profile %r" % (profile,))
    # multiply-shift instead of modulo: much faster on uint64 arrays
    deltas = (((h >> np.uint64(40)) * np.uint64(max_gap)) >> np.uint64(24)).astype(np.int64) + 1
    klass = (((h >> np.uint64(33)) & np.uint64(127)) * np.uint64(100)) >> np.uint64(7)
    cat = np.searchsorted(_CLASS_EDGES, klass.astype(np.int64), side="right")
    r = h & np.uint64(0xFFFFFFFF)
    inten = (_CLASS_BASE[cat] + ((r * _CLASS_SPAN[cat]) >> np.uint64(32))).astype(np.int64)
    clash = (inten > 0xFFFFFF) & ((inten & 0xFFFFFF) == 0xFFFFFF)
    inten[clash] -= 1
    return deltas, inten


def write_synthetic_run(directory, name: str = "bench", *, n_scans: Optional[int] = None,
                        target_bytes: Optional[int] = None, points_per_scan: int = 2000,
                        ms2_per_cycle: int = 4, max_gap: int = 200, seed: int = 7,
                        calibration: Optional[Tuple[float, float]] = SYNTHETIC_CALIBRATION,
                        scan_time_min: float = 0.001, chunk_points: int = 4_000_000,
                        scan_file_prefix: int = 64, profile: str = "uniform",
                        fragment_points_per_scan: Optional[int] = None,
                        log: Optional[LogContent] = None, **acq_kwargs) -> SyntheticRun:
    """Write ``<name>.wiff`` / ``<name>.wiff.scan`` with one sample "Sample1".

    Give ``n_scans`` or ``target_bytes`` (approximate scan file size).  Scans
    have between 1/2 and 3/2 of ``points_per_scan`` points (fragment scans of
    ``fragment_points_per_scan``, by default a quarter of ``points_per_scan``).
    ``profile`` picks the point profile (see the module text); ``log`` the
    sample's Log content (by default :class:`Instrument`'s).  Other keyword
    arguments go to :class:`Acquisition`.
    """
    if fragment_points_per_scan is None:
        fragment_points_per_scan = max(1, points_per_scan // 4)
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    if n_scans is None:
        if target_bytes is None:
            raise ValueError("give n_scans or target_bytes")
        if profile == "tof":
            per_point = 3.5
        else:
            # ~1.94 bytes of intensity code and ~1 skip byte per point, plus 0x7F runs
            per_point = 2.94 + max(0.0, (max_gap - 127) / (2.0 * max_gap))
        mean_points = ((points_per_scan + ms2_per_cycle * fragment_points_per_scan)
                       / (1 + ms2_per_cycle))
        n_scans = max(1, int(target_bytes / (mean_points * per_point + BLOCK_HEADER_SIZE + 4)))
    cycle = 1 + ms2_per_cycle
    idx = np.arange(n_scans, dtype=np.int64)
    ms_level = np.where(idx % cycle == 0, 1, 2).astype(np.uint8)
    hs = _mix((np.uint64(seed & 0xFFFFFFFF) << np.uint64(48)) ^ idx.astype(np.uint64)
              ^ np.uint64(0xFFFFFF))
    base = np.where(ms_level == 1, points_per_scan, fragment_points_per_scan)
    n_points = (base // 2 + (hs % np.uint64(1 << 20)).astype(np.int64) % (base + 1)).astype(np.int64)
    n_points = np.maximum(n_points, 1)

    scan_offset = np.zeros(n_scans, dtype=np.uint64)
    scan_size = np.zeros(n_scans, dtype=np.uint32)
    tic = np.zeros(n_scans, dtype=np.float64)
    scan_path = directory / (name + ".wiff.scan")
    pos = scan_file_prefix
    with open(scan_path, "wb") as f:
        f.write(b"\xA5" * scan_file_prefix)
        s0 = 0
        while s0 < n_scans:
            # take scans until the chunk holds about chunk_points points
            cum = np.cumsum(n_points[s0:])
            s1 = s0 + max(1, int(np.searchsorted(cum, chunk_points, side="right")))
            s1 = min(s1, n_scans)
            scans = idx[s0:s1]
            counts = n_points[s0:s1]
            deltas, inten = _scan_data(seed, scans, counts, max_gap, profile)
            widths = minimal_widths(inten)
            lengths, q, r = _point_lengths(deltas, widths)
            starts = np.cumsum(counts) - counts
            payload = np.add.reduceat(lengths, starts)
            block = BLOCK_HEADER_SIZE + payload + 4
            block_start = np.cumsum(block) - block
            buf = np.full(int(block.sum()), 0x7F, dtype=np.uint8)
            excl = np.cumsum(lengths) - lengths
            point_pos = (excl - np.repeat(excl[starts], counts)
                         + np.repeat(block_start + BLOCK_HEADER_SIZE, counts))
            _place_points(buf, point_pos, q, r, widths, inten)
            # headers: identifying words, then 0x81 filler
            hdr = np.full((len(scans), BLOCK_HEADER_SIZE), 0x81, dtype=np.uint8)
            words = np.zeros((len(scans), 4), dtype="<u4")
            words[:, 0] = 0x42585643  # "CVXB"
            words[:, 1] = scans + 1
            words[:, 2] = payload
            words[:, 3] = counts
            hdr[:, :16] = words.view(np.uint8).reshape(len(scans), 16)
            buf[(block_start[:, None] + np.arange(BLOCK_HEADER_SIZE)).ravel()] = hdr.ravel()
            end = block_start + BLOCK_HEADER_SIZE + payload
            buf[(end[:, None] + np.arange(4)).ravel()] = 0xFF
            f.write(buf.tobytes())
            scan_offset[s0:s1] = pos + block_start
            scan_size[s0:s1] = block   # header + payload + end marker
            tic[s0:s1] = np.add.reduceat(inten.astype(np.float64), starts)
            pos += int(block.sum())
            s0 = s1
    if pos > 0xFFFFFFFF:
        raise ValueError("scan file exceeds 4 GiB; Idx offsets are 32-bit")

    rt = (idx * scan_time_min).astype(np.float32)
    recs = np.zeros(n_scans, dtype=IDX_DTYPE)
    recs["scan_offset"] = scan_offset
    recs["scan_size"] = scan_size
    recs["scan_number"] = idx + 1
    recs["rt"] = rt
    recs["level"] = ms_level
    recs["tic"] = tic
    idx_bytes = idx_header(n_scans) + recs.tobytes()
    assert len(idx_bytes) == IDX_HEADER_SIZE + IDX_RECORD_SIZE * n_scans

    n_surveys = int((ms_level == 1).sum())
    dde = 350.0 + (_mix(np.arange(n_surveys, dtype=np.uint64) + np.uint64(seed)) % np.uint64(850_000)
                   ).astype(np.float64) / 1000.0
    sample = Sample(name="Sample1", scans=[], calibration=calibration, dde_mz=list(dde),
                    idx_bytes=idx_bytes)
    if log is not None:
        sample.log = log
    acq = Acquisition(samples=[sample], scan_file_prefix=0, **acq_kwargs)
    expected = build(acq, directory, name, wiff_only=True)
    return SyntheticRun(wiff_path=directory / (name + ".wiff"), scan_path=scan_path, seed=seed,
                        n_scans=n_scans, ms2_per_cycle=ms2_per_cycle, max_gap=max_gap,
                        profile=profile, calibration=calibration, scan_offset=scan_offset,
                        scan_size=scan_size,
                        n_points=n_points, ms_level=ms_level, retention_time_min=rt, tic=tic,
                        dde_mz=dde, scan_file_size=pos, expected=expected)

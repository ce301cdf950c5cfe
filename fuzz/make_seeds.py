"""Write seed inputs for the whole-reader fuzz target (fuzz/wiff_fuzz.cpp).

Usage: python3 fuzz/make_seeds.py OUTPUT_DIR

Each seed is one acquisition from the fixture builder packed as the target
reads it: a flag byte (bit 0: no .wiff.scan file), the .wiff length as a
32-bit little-endian number, the .wiff bytes, then the .wiff.scan bytes.
The seeds are small and cover one and several samples, missing streams and
files, and compound files damaged in the ways the fixture writer knows.
The output is the same byte for byte on every run.
"""

from __future__ import annotations

import struct
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from wifffixture import (Acquisition, Instrument, Sample, Scan, build,  # noqa: E402
                         corrupt_fat_chain, corrupt_fat_loop, corrupt_sibling_cycle,
                         set_stream_size, truncate)
from wifffixture.acquisition import dda_sample  # noqa: E402

NO_SCAN_FILE = 1


def pack(wiff: bytes, scan: bytes | None) -> bytes:
    flags = NO_SCAN_FILE if scan is None else 0
    return struct.pack("<BI", flags, len(wiff)) + wiff + (scan or b"")


def small(name: str = "Sample1", seed: int = 1, **kwargs) -> Sample:
    return dda_sample(name, cycles=2, ms2_per_cycle=2, points_per_scan=6, seed=seed, **kwargs)


def acquisitions():
    """(seed name, acquisition, damage or None); damage(wiff, layout) -> wiff."""
    yield "single", Acquisition(samples=[small()]), None
    yield "three_samples", Acquisition(samples=[small("Sample2", 2), small("Sample10", 3),
                                                small("Blank", 4)]), None
    yield "no_calibration_no_dde", Acquisition(samples=[small(calibration=None)]), None
    yield "no_log_no_methods", Acquisition(samples=[small(log=None)], methods=None,
                                           creation_time=None), None
    yield "negative_polarity", Acquisition(samples=[small()], methods={1: [("ISVF", -4500.0)]}), None
    yield "missing_idx", Acquisition(samples=[small(omit_idx=True)]), None
    yield "idx_cut", Acquisition(samples=[small(idx_truncate=40)]), None
    yield "idx_junk_and_tail", Acquisition(samples=[small(idx_junk_slots=[(1, 12)],
                                                          idx_trailing=b"\x01\x02\x03")]), None
    yield "no_sample_subtree", Acquisition(omit_sample_subtree=True), None
    yield "empty_sample_subtree", Acquisition(samples=[]), None
    yield "scan_file_missing", Acquisition(samples=[small()], write_scan_file=False), None
    yield "scan_file_cut", Acquisition(samples=[small()], scan_file_truncate=150), None
    yield "offsets_past_end", Acquisition(samples=[Sample(scans=[
        Scan(points=[(10, 5), (12, 300)]),
        Scan(points=[(20, 7)], ms_level=2, scan_offset=0xFFFFFF00, scan_size=0xFFFFFFF0),
        Scan(points=[(30, 70000)], ms_level=2, end_marker=False)])]), None
    yield "damaged_in_the_middle", Acquisition(samples=[Sample(scans=[
        Scan(points=[(10 * k + 1, 50 + k), (10 * k + 5, 300 + k)], ms_level=1 + (k % 3 != 0),
             scan_offset=1 << 24 if k == 4 else None) for k in range(9)], calibration=(float("nan"), float("nan")),
        dde_mz=[400.5, 500.25])]), None
    yield "raw_payloads", Acquisition(samples=[Sample(scans=[
        Scan(payload=bytes(range(256))), Scan(payload=b"\xff" * 40, ms_level=2)])]), None
    yield "odd_log", Acquisition(samples=[small(log="Mass Spectrometer:\r\nnothing useful")]), None
    yield "several_devices", Acquisition(samples=[small(log=[
        Instrument(heading="Pump:", component_id="LC pump"), Instrument()])]), None
    yield "summary_garbage", Acquisition(samples=[small()], summary_bytes=bytes(range(64)) * 3), None
    yield "fat_broken", Acquisition(samples=[small()]), \
        lambda w, layout: corrupt_fat_chain(w, layout, "SampleSubtree/Sample1/Idx")
    yield "fat_loop", Acquisition(samples=[small()]), \
        lambda w, layout: corrupt_fat_loop(w, layout, "SampleSubtree/Sample1/Log")
    yield "directory_broken", Acquisition(samples=[small()]), \
        lambda w, layout: corrupt_fat_chain(w, layout, "<directory>", value=0xFFFFFF00)
    yield "sibling_cycle", Acquisition(samples=[small("Sample1"), small("Sample2", 2)]), \
        lambda w, layout: corrupt_sibling_cycle(w, layout, "SampleSubtree")
    yield "huge_idx_size", Acquisition(samples=[small()]), \
        lambda w, layout: set_stream_size(w, layout, "SampleSubtree/Sample1/Idx", 0xFFFFFFF0)
    yield "huge_log_size", Acquisition(samples=[small()]), \
        lambda w, layout: set_stream_size(w, layout, "SampleSubtree/Sample1/Log", 1 << 63)
    yield "wiff_cut", Acquisition(samples=[small()]), lambda w, layout: truncate(w, len(w) // 2)


def main(argv) -> int:
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, acquisition, damage in acquisitions():
            expected = build(acquisition, tmp, name)
            wiff = expected.wiff_path.read_bytes()
            if damage is not None:
                wiff = damage(wiff, expected.layout)
            scan = expected.scan_path.read_bytes() if expected.scan_path.exists() else None
            (out / name).write_bytes(pack(wiff, scan))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

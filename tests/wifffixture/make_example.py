"""Write the small example acquisition shipped in ``examples/``.

Usage: python3 tests/wifffixture/make_example.py OUTPUT_DIR [NAME]

One sample "Sample1" of five cycles (a survey scan and three fragment scans
each, 20 scans), DDE precursors, TOF calibration, a Log naming a TripleTOF
5600+ with its serial number, positive ion-source voltage and a fixed
creation time.  The output is the same byte for byte on every run.
"""

from __future__ import annotations

import datetime as dt
import sys
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from wifffixture.acquisition import Acquisition, Instrument, build, dda_sample  # noqa: E402
else:
    from .acquisition import Acquisition, Instrument, build, dda_sample

CREATION_TIME = dt.datetime(2021, 3, 9, 14, 27, 5, 250000)


def example_acquisition() -> Acquisition:
    sample = dda_sample(
        "Sample1", cycles=5, ms2_per_cycle=3, points_per_scan=60, seed=20210309,
        calibration=(0.00251, 49.875),
        log=Instrument(component_id="TripleTOF 5600+ System", manufacturer="AB Sciex",
                       model_number="1024950", serial_number="BM20041707"))
    return Acquisition(
        samples=[sample],
        methods={1: [("IS", 5500.0), ("TEM", 450.0), ("GS1", 50.0), ("GS2", 60.0),
                     ("CUR", 35.0), ("DP", 80.0)]},
        creation_time=CREATION_TIME)


def main(argv) -> int:
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    name = argv[2] if len(argv) > 2 else "example"
    exp = build(example_acquisition(), argv[1], name)
    s = exp.sample("Sample1")
    print("wrote %s (%d bytes) and %s (%d bytes): %d scans, created %s"
          % (exp.wiff_path, exp.wiff_path.stat().st_size, exp.scan_path, exp.scan_file_size,
             len(s.spectra), exp.creation_timestamp))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

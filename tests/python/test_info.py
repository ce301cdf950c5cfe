"""`corvex info`: the run summary, as JSON and as text, against known fixtures."""
import datetime as dt
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvex
import corvex_tools
from wifffixture import Acquisition, Instrument, Sample, Scan, build, dda_sample

CHILD_PATH = os.pathsep.join([
    os.path.dirname(corvex.__file__),
    os.path.dirname(os.path.dirname(corvex_tools.__file__)),
    str(Path(__file__).resolve().parents[1]),
])


def corvex_info(*args, timeout=120):
    env = dict(os.environ, PYTHONPATH=CHILD_PATH)
    result = subprocess.run([sys.executable, "-m", "corvex_tools", "info", *map(str, args)],
                            capture_output=True, text=True, timeout=timeout, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def bare_sample():
    """No calibration, no instrument log, no DDE data; TICs set apart from the peak sums."""
    return Sample(name="Blank", calibration=None, log=None, dde_mz=None, scans=[
        Scan(points=[(10, 5)], ms_level=1, retention_time_min=0.25, tic=100.0),
        Scan(points=[(10, 5)], ms_level=1, retention_time_min=0.5, tic=400.0),
        Scan(points=[(10, 5)], ms_level=1, retention_time_min=0.75, tic=250.0),
    ])


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("info")
    acquisition = Acquisition(
        samples=[dda_sample("Sample1", cycles=3, ms2_per_cycle=2, seed=3,
                            log=Instrument(component_id="QTRAP 6500+", serial_number="XY1234")),
                 bare_sample()],
        creation_time=dt.datetime(2022, 5, 6, 7, 8, 9))
    expected = build(acquisition, directory, "mixed")
    return expected, str(directory / "mixed.wiff")


def test_json_summary_matches_the_reader(run):
    expected, path = run
    summary = json.loads(corvex_info(path, "--json"))
    assert [s["name"] for s in summary["samples"]] == corvex.list_samples(path) == expected.sample_names
    for got in summary["samples"]:
        reader = corvex.open_sample(path, got["name"])
        index = reader.scan_index()
        run_info = reader.run_info()
        levels = [r["ms_level"] for r in index]
        assert got["scan_count"] == reader.scan_count == len(index)
        assert got["ms_levels"] == {str(level): levels.count(level) for level in sorted(set(levels))}
        times = [r["retention_time_min"] * 60.0 for r in index]
        assert got["retention_time_sec"] == {"first": min(times), "last": max(times)}
        assert got["instrument"] == run_info["instrument"]
        assert got["instrument_serial_number"] == run_info["instrument_serial_number"]
        assert got["start_timestamp"] == run_info["start_timestamp"] == "2022-05-06T07:08:09Z"
        assert got["calibration"] == reader.calibration()
        assert got["ion_source_parameters"] == reader.ion_source_parameters()
        assert got["dde_precursor_count"] == len(reader.dde_precursor_mz())
        tic = reader.read_chromatograms()[0]
        assert got["tic"]["points"] == len(tic["intensity"])
        assert got["tic"]["sum"] == math.fsum(tic["intensity"])


def test_json_summary_of_known_values(run):
    _, path = run
    samples = {s["name"]: s for s in json.loads(corvex_info(path, "--json"))["samples"]}
    full, bare = samples["Sample1"], samples["Blank"]
    assert full["ms_levels"] == {"1": 3, "2": 6}
    assert full["instrument"] == {"accession": "MS:1002582", "name": "QTRAP 6500+"}
    assert full["instrument_serial_number"] == "XY1234"
    assert full["calibration"] == {"slope": 0.0005, "intercept": 20.0}
    assert full["polarity"] == "positive"
    assert bare["instrument"] == {"accession": "MS:1000121", "name": "SCIEX instrument model"}
    assert bare["instrument_serial_number"] is None and bare["component_id"] is None
    assert bare["calibration"] is None and bare["dde_precursor_count"] == 0
    assert bare["retention_time_sec"] == {"first": 15.0, "last": 45.0}
    assert bare["tic"] == {"points": 3, "sum": 750.0, "max": 400.0, "max_time_sec": 30.0}
    assert full["truncation"] is None and bare["truncation"] is None


def test_text_summary_shows_each_sample(run):
    _, path = run
    text = corvex_info(path)
    assert text.startswith("File:        mixed.wiff\nSamples:     2 (Sample1, Blank)\n")
    blank = text[text.index("Sample Blank"):]
    for line in ("Scans:          3 (MS1: 3)", "RT range:       15.00 - 45.00 s",
                 "Instrument:     SCIEX instrument model [MS:1000121]", "Serial number:  -",
                 "Calibration:    none", "TIC:            3 points, sum 750, max 400 at 30 s",
                 "Scan data:      complete"):
        assert line in blank
    full = text[text.index("Sample Sample1"):text.index("Sample Blank")]
    for line in ("Scans:          9 (MS1: 3, MS2: 6)", "Instrument:     QTRAP 6500+ [MS:1002582]",
                 "Serial number:  XY1234", "Calibration:    slope 0.0005, intercept 20.0",
                 "Started:        2022-05-06T07:08:09Z"):
        assert line in full


def test_summary_reads_no_scan_block(tmp_path):
    # The third scan's block lies past the end of the scan file and the
    # others' blocks are overwritten with end markers: the summary, which
    # needs no peaks, is the same as for the intact run.
    scans = [Scan(points=[(10, 5)], retention_time_min=0.1), Scan(points=[(12, 6)], ms_level=2, retention_time_min=0.2),
             Scan(points=[(14, 7)], retention_time_min=0.3, scan_offset=1 << 20)]
    intact = json.loads(corvex_info(build(Acquisition(samples=[Sample(scans=scans[:2] + [Scan(points=[(14, 7)],
                                                                                              retention_time_min=0.3)])]),
                                          tmp_path / "intact").wiff_path, "--json"))
    expected = build(Acquisition(samples=[Sample(scans=scans)]), tmp_path / "damaged")
    expected.scan_path.write_bytes(b"\xff" * expected.scan_file_size)
    damaged = json.loads(corvex_info(expected.wiff_path, "--json"))
    assert damaged["samples"][0]["scan_count"] == 3
    for key in ("ms_levels", "retention_time_sec", "polarity", "instrument", "calibration", "tic"):
        assert damaged["samples"][0][key] == intact["samples"][0][key], key


@pytest.mark.parametrize("cut, spectra", [(0, 0), (1, 1), (9, 1)])
def test_scan_file_cut_short_is_reported(tmp_path, cut, spectra):
    build(Acquisition(samples=[dda_sample("Sample1", cycles=2, points_per_scan=60, seed=7)]), tmp_path, "cut")
    path = tmp_path / "cut.wiff"
    scan = tmp_path / "cut.wiff.scan"
    os.truncate(scan, scan.stat().st_size - cut)
    [sample] = json.loads(corvex_info(path, "--json"))["samples"]
    text = corvex_info(path)
    if not spectra:
        assert sample["truncation"] is None
        assert "  Scan data:      complete\n" in text
        return
    assert sample["truncation"] == {"spectra": spectra, "bytes_short": cut}
    assert (f"  Scan data:      TRUNCATED: 1 spectrum reaches past the end of the scan data file, "
            f"which is {cut} bytes short\n") in text

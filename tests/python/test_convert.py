"""`corvex convert`: mzML and MGF output read back by independent readers.

Every conversion runs the real command in a child interpreter under a time
limit.  The outputs are compared with corvex's own records of the same
sample (RawReader), field by field and array by array.
"""
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import corvex
import corvex_tools
from corvex_tools import output
from wifffixture import Acquisition, Scan, build, dda_sample

CHILD_PATH = os.pathsep.join([
    os.path.dirname(corvex.__file__),
    os.path.dirname(os.path.dirname(corvex_tools.__file__)),
    str(Path(__file__).resolve().parents[1]),
])


def run_cli(*args, cwd=None, timeout=120):
    env = dict(os.environ, PYTHONPATH=CHILD_PATH)
    return subprocess.run([sys.executable, "-m", "corvex_tools", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, env=env)


def dda_acquisition():
    sample = dda_sample("Sample1", cycles=4, ms2_per_cycle=3, points_per_scan=40, seed=5)
    # A fragment scan before any survey scan (precursor without m/z or reference)
    # and a survey scan without peaks.
    sample.scans.insert(0, Scan(points=[(100, 7), (300, 5000)], ms_level=2, retention_time_min=0.001))
    sample.scans.append(Scan(points=[], ms_level=1, retention_time_min=0.5, tic=0.0))
    return Acquisition(samples=[sample])


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("run")
    build(dda_acquisition(), directory, "dda")
    path = str(directory / "dda.wiff")
    reader = corvex.RawReader(path)
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    return SimpleNamespace(path=path, directory=directory, reader=reader, spectra=spectra)


@pytest.fixture(scope="module")
def converted(run, tmp_path_factory):
    """mzML with and without compression, and MGF, written by the command."""
    pytest.importorskip("psims")
    out = tmp_path_factory.mktemp("out")
    files = {"zlib": out / "z.mzML", "none": out / "n.mzML", "mgf": out / "dda.mgf"}
    notes = {"zlib": "", "none": "",
             "mgf": "corvex: dda.wiff:Sample1: left out 1 fragment spectra without a precursor m/z\n"}
    for key, extra in (("zlib", []), ("none", ["--no-compression"]), ("mgf", [])):
        result = run_cli("convert", run.path, "-o", files[key], *extra)
        assert result.returncode == 0, result.stderr
        # quiet without a terminal, apart from the note on unsearchable spectra
        assert (result.stdout, result.stderr) == ("", notes[key])
    return files


def assert_same_arrays(mz, intensity, spectrum):
    assert mz.dtype == np.float64 and intensity.dtype == np.float32
    np.testing.assert_array_equal(mz, np.array(spectrum.mz, dtype=np.float64))
    np.testing.assert_array_equal(intensity, np.array(spectrum.intensity, dtype=np.float32))


# ---------------------------------------------------------------------------
# mzML
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("codec", ["zlib", "none"])
def test_mzml_read_by_pyteomics_equals_corvex_records(run, converted, codec):
    mzml = pytest.importorskip("pyteomics.mzml")
    with mzml.MzML(str(converted[codec]), decode_binary=True) as reader:
        records = list(reader)
    assert [r["id"] for r in records] == [s.native_id for s in run.spectra]
    for record, spectrum in zip(records, run.spectra):
        assert record["ms level"] == spectrum.ms_level
        assert ("positive scan" in record) == (spectrum.polarity == "positive")
        scan = record["scanList"]["scan"][0]
        assert scan["scan start time"] == spectrum.retention_time_sec
        assert scan["scan start time"].unit_info == "second"
        assert record["total ion current"] == spectrum.total_ion_current
        assert record.get("base peak m/z") == spectrum.base_peak_mz
        assert record.get("base peak intensity") == spectrum.base_peak_intensity
        assert_same_arrays(record["m/z array"], record["intensity array"], spectrum)
        if spectrum.precursor is None:
            assert "precursorList" not in record
            continue
        precursor = record["precursorList"]["precursor"][0]
        assert precursor.get("spectrumRef") == spectrum.precursor["precursor_native_id"]
        ions = precursor.get("selectedIonList", {}).get("selectedIon", [{}])
        assert ions[0].get("selected ion m/z") == spectrum.precursor["selected_mz"]


@pytest.mark.parametrize("option", [("--threads", "0"), ("--threads", "3"), ("--jobs", "2")])
def test_mzml_arrays_are_the_same_with_any_number_of_threads_or_processes(run, tmp_path, option):
    mzml = pytest.importorskip("pyteomics.mzml")
    target = tmp_path / "t.mzML"
    result = run_cli("convert", run.path, "-o", target, *option)
    assert result.returncode == 0, result.stderr
    with mzml.MzML(str(target), decode_binary=True) as reader:
        records = list(reader)
    assert [r["id"] for r in records] == [s.native_id for s in run.spectra]
    for record, spectrum in zip(records, run.spectra):
        assert_same_arrays(record["m/z array"], record["intensity array"], spectrum)


def test_mzml_run_description_and_chromatogram(run, converted):
    mzml = pytest.importorskip("pyteomics.mzml")
    info = run.reader.run_info()
    text = converted["zlib"].read_text()
    for term in (info["source_file_format"], info["native_id_format"], info["instrument"]):
        assert f'accession="{term["accession"]}" name="{term["name"]}"' in text
    assert f'name="instrument serial number" value="{info["instrument_serial_number"]}"' in text
    assert f'startTimeStamp="{info["start_timestamp"]}"' in text
    assert re.search(r'<software version="[^"]+" id="corvex">', text)
    assert '<spectrumList count="%d"' % run.reader.scan_count in text

    expected = run.reader.read_chromatograms()[0]
    with mzml.MzML(str(converted["zlib"])) as reader:
        tic = reader.get_by_id("TIC", element_type="chromatogram")
    assert "total ion current chromatogram" in tic
    assert tic["time array"].dtype == np.float32 and tic["intensity array"].dtype == np.float32
    np.testing.assert_array_equal(tic["time array"], np.array(expected["time_sec"], dtype=np.float32))
    np.testing.assert_array_equal(tic["intensity array"], np.array(expected["intensity"], dtype=np.float32))


@pytest.mark.parametrize("levels, contents", [((1, 2, 2), ["MS1 spectrum", "MSn spectrum"]),
                                              ((1, 1), ["MS1 spectrum"])])
def test_file_content_lists_the_spectrum_types_present(tmp_path, levels, contents):
    pytest.importorskip("psims")
    scans = [Scan(points=[(50, 9)], ms_level=level, retention_time_min=0.1 * i) for i, level in enumerate(levels)]
    sample = dda_sample("Sample1", cycles=0)
    sample.scans, sample.dde_mz = scans, [500.0]
    build(Acquisition(samples=[sample]), tmp_path, "levels")
    result = run_cli("convert", tmp_path / "levels.wiff", "-o", tmp_path / "levels.mzML")
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "levels.mzML").read_text()
    file_content = text[text.index("<fileContent>"):text.index("</fileContent>")]
    assert re.findall(r'name="([^"]+)"', file_content) == contents


def test_mzml_read_by_pyopenms_equals_corvex_records(run, converted):
    oms = pytest.importorskip("pyopenms")
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(str(converted["zlib"]), experiment)
    loaded = experiment.getSpectra()
    assert len(loaded) == len(run.spectra)
    for got, spectrum in zip(loaded, run.spectra):
        assert got.getNativeID() == spectrum.native_id
        assert got.getMSLevel() == spectrum.ms_level
        assert got.getRT() == spectrum.retention_time_sec
        mz, intensity = got.get_peaks()
        assert_same_arrays(mz, intensity, spectrum)
        precursors = got.getPrecursors()
        if spectrum.precursor is None:
            assert precursors == []
        elif spectrum.precursor["selected_mz"] is not None:
            assert precursors[0].getMZ() == spectrum.precursor["selected_mz"]
    assert [c.getNativeID() for c in experiment.getChromatograms()] == ["TIC"]


@pytest.mark.parametrize("codec", ["zlib", "none"])
def test_index_offsets_point_at_their_elements(converted, codec):
    data = converted[codec].read_bytes()
    list_offset = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    assert data[list_offset:].startswith(b"<indexList ")
    offsets = re.findall(rb'<offset idRef="([^"]+)">(\d+)</offset>', data[list_offset:])
    assert offsets
    for ref, offset in offsets:
        element = data[int(offset):int(offset) + 200]
        assert re.match(rb'<(spectrum|chromatogram) [^>]*id="%s"' % re.escape(ref), element), ref
    checksum = re.search(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>", data)
    assert hashlib.sha1(data[:checksum.start(1)]).hexdigest().encode() == checksum.group(1)


@pytest.mark.parametrize("codec", ["zlib", "none"])
def test_mzml_is_valid_against_the_schema(converted, codec):
    pytest.importorskip("lxml")
    validation = pytest.importorskip("psims.validation")
    valid, schema = validation.validate(str(converted[codec]))
    assert valid, str(schema.error_log)


# The rendered spectra must match what psims itself writes for the same
# spectra.  Stand-ins cover precursor fields this reader never fills.
def stand_in(spectrum, **precursor):
    fields = {name: getattr(spectrum, name) for name in (
        "native_id", "ms_level", "polarity", "analyzer", "scan_mode", "retention_time_sec", "total_ion_current",
        "base_peak_mz", "base_peak_intensity", "mz", "intensity", "precursor")}
    if precursor:
        fields["precursor"] = dict(spectrum.precursor or {}, **precursor)
    return SimpleNamespace(**fields)


@pytest.mark.parametrize("precursor", [
    {},
    {"isolation_width": 1.5, "charge": 3, "intensity": 12.5, "collision_energy": 35.0},
    {"activation": "hcd", "charge": -2},
    {"activation": "mpid", "selected_mz": None, "target_mz": None, "precursor_native_id": None},
], ids=["as-read", "isolation-charge-energy", "hcd-negative-charge", "no-mz"])
def test_fast_spectrum_rendering_matches_psims(run, tmp_path, precursor):
    pytest.importorskip("psims")
    from corvex_tools.mzml import write_mzml

    spectra = [stand_in(s, **precursor) if s.precursor is not None else stand_in(s) for s in run.spectra]
    spectra[0].polarity, spectra[1].scan_mode = "negative", "centroid"
    outputs = []
    for fast in (True, False):
        target = tmp_path / f"{fast}.mzML"
        with open(target, "wb") as out:
            write_mzml(out, run.path, "Sample1", spectra, run_info=run.reader.run_info(),
                       chromatograms=run.reader.read_chromatograms(), scan_count=len(spectra),
                       compression=False, fast_spectra=fast)
        outputs.append(target.read_bytes())
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("compression", [True, False], ids=["zlib", "none"])
def test_worker_processes_write_the_same_document_as_this_process(run, compression):
    pytest.importorskip("psims")
    from corvex_tools.mzml import convert_mzml

    documents = {}
    # (processes, spectra per turn): turns of one and two spectra interleave
    # the workers' output finely; four workers with turns of 64 leave three
    # of them without a spectrum.
    for processes, chunk_spectra in ((1, 32), (2, 1), (3, 2), (4, 64)):
        out = io.BytesIO()
        written = convert_mzml(out, run.path, "Sample1", compression=compression, processes=processes,
                               chunk_spectra=chunk_spectra)
        assert written == len(run.spectra)
        documents[processes, chunk_spectra] = out.getvalue()
    assert len(set(documents.values())) == 1, list(documents)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_reader_error_in_the_middle_gives_one_line_and_no_file(run, tmp_path, jobs):
    pytest.importorskip("psims")
    copy = tmp_path / "in"
    copy.mkdir()
    for name in ("dda.wiff", "dda.wiff.scan"):
        (copy / name).write_bytes((run.directory / name).read_bytes())
    scan = copy / "dda.wiff.scan"
    os.truncate(scan, scan.stat().st_size // 2)
    out = tmp_path / "out"
    out.mkdir()
    result = run_cli("convert", copy / "dda.wiff", "-o", out / "x.mzML", "--jobs", jobs)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and re.fullmatch(
        r"corvex: .*dda\.wiff: vendor parser error: cannot read scan block for scan=\d+ at offset \d+: .*",
        lines[0]), result.stderr
    assert os.listdir(out) == []


def test_a_worker_that_dies_fails_the_conversion_and_leaves_no_file(run, tmp_path, monkeypatch):
    pytest.importorskip("psims")
    from corvex_tools import cli, mzml_workers

    monkeypatch.setattr(mzml_workers, "_worker_command",
                        lambda: [sys.executable, "-c", "import sys; sys.stdin.buffer.read(1); sys.exit(3)"])
    monkeypatch.setattr(sys.stderr, "isatty", lambda: False)
    assert cli.main(["convert", run.path, "-o", str(tmp_path / "x.mzML"), "--jobs", "2"]) == 1
    assert os.listdir(tmp_path) == []


def test_mzml_conversion_uses_no_network(run, tmp_path, monkeypatch):
    pytest.importorskip("psims")
    import socket

    from corvex_tools import cli
    from psims.controlled_vocabulary import controlled_vocabulary

    attempts = []

    def refuse(*args, **kwargs):
        attempts.append(args)
        raise OSError("network disabled in this test")

    monkeypatch.setattr(controlled_vocabulary, "urlopen", refuse)
    monkeypatch.setattr(socket.socket, "connect", refuse)
    assert cli.main(["convert", run.path, "-o", str(tmp_path / "x.mzML")]) == 0
    assert attempts == []
    assert (tmp_path / "x.mzML").stat().st_size > 0


# ---------------------------------------------------------------------------
# MGF
# ---------------------------------------------------------------------------

def test_mgf_holds_the_fragment_spectra_with_precursor_mz(run, converted):
    mgf = pytest.importorskip("pyteomics.mgf")
    with mgf.MGF(str(converted["mgf"]), convert_arrays=1, read_charges=False) as reader:
        blocks = list(reader)
    fragments = [s for s in run.spectra if s.ms_level == 2 and s.precursor["selected_mz"] is not None]
    assert len(fragments) < sum(s.ms_level == 2 for s in run.spectra)  # the first has no m/z
    assert [b["params"]["title"] for b in blocks] == [s.native_id for s in fragments]
    for block, spectrum in zip(blocks, fragments):
        assert block["params"]["pepmass"][0] == spectrum.precursor["selected_mz"]
        assert block["params"]["rtinseconds"] == spectrum.retention_time_sec
        assert int(block["params"]["scans"]) == spectrum.scan_number
        assert_same_arrays(np.asarray(block["m/z array"], np.float64),
                           np.asarray(block["intensity array"]).astype(np.float32), spectrum)


# ---------------------------------------------------------------------------
# Parquet: read back with pyarrow and DuckDB
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module", params=["directory", "zip"])
def tables(run, tmp_path_factory, request):
    """The run converted by the command to a directory or a .zip, opened with pyarrow."""
    from corvex_tools.parquet import open_peak_tables

    target = tmp_path_factory.mktemp("pq") / ("dda.parquet" if request.param == "directory" else "dda.zip")
    result = run_cli("convert", run.path, "-o", target)
    assert result.returncode == 0, result.stderr
    assert (result.stdout, result.stderr) == ("", "")
    return SimpleNamespace(path=target, container=request.param, opened=open_peak_tables(target))


def test_parquet_spectrum_rows_equal_corvex_spectra(run, tables):
    rows = tables.opened.spectra.read().to_pylist()
    index = run.reader.scan_index()
    position_of = {s.native_id: s.index for s in run.spectra}
    assert len(rows) == len(run.spectra)
    for row, spectrum, record in zip(rows, run.spectra, index):
        precursor = spectrum.precursor or {}
        peaks = len(spectrum.mz) > 0
        assert row == {
            "run_name": "dda", "sample_name": "Sample1",
            "spectrum_position": spectrum.index, "scan_number": spectrum.scan_number,
            "native_id": spectrum.native_id, "ms_level": spectrum.ms_level, "polarity": spectrum.polarity,
            "retention_time_sec": spectrum.retention_time_sec, "reported_tic": record["tic"],
            "computed_tic": spectrum.total_ion_current + 0.0,  # an empty spectrum's -0.0 is written as 0
            "base_peak_mz": spectrum.base_peak_mz, "base_peak_intensity": spectrum.base_peak_intensity,
            "lowest_mz": min(spectrum.mz) if peaks else None, "highest_mz": max(spectrum.mz) if peaks else None,
            "peak_count": len(spectrum.mz), "precursor_mz": precursor.get("selected_mz"),
            "survey_position": position_of.get(precursor.get("precursor_native_id")),
        }, spectrum.native_id
    # the fixture's edge cases are all there: a fragment scan before any survey and a survey without peaks
    assert rows[0]["survey_position"] is None and rows[0]["precursor_mz"] is None
    assert rows[-1]["peak_count"] == 0 and rows[-1]["base_peak_mz"] is None


def test_parquet_peaks_equal_corvex_arrays_sorted_with_statistics(run, tables):
    import pyarrow.parquet as pq

    peaks = tables.opened.peaks
    table = peaks.read()
    positions = table.column("spectrum_position").to_numpy()
    assert np.all(np.diff(positions) >= 0)
    bounds = np.searchsorted(positions, np.arange(len(run.spectra) + 1))
    for spectrum in run.spectra:
        rows = slice(bounds[spectrum.index], bounds[spectrum.index + 1])
        assert_same_arrays(table.column("mz").to_numpy()[rows], table.column("intensity").to_numpy()[rows], spectrum)
        assert set(table.column("ms_level").to_numpy()[rows]) <= {spectrum.ms_level}
        assert set(table.column("retention_time_sec").to_numpy()[rows]) <= {spectrum.retention_time_sec}
    metadata = peaks.metadata
    for g in range(metadata.num_row_groups):
        group = metadata.row_group(g)
        assert group.column(0).compression == "ZSTD"
        assert group.sorting_columns == (pq.SortingColumn(0),)
        # what lets a reader skip the groups outside a filter on position, level or RT
        rows = peaks.read_row_group(g)
        for column in range(3):
            values = rows.column(column).to_numpy()
            statistics = group.column(column).statistics
            assert (statistics.min, statistics.max) == (values.min(), values.max())
    if tables.container == "zip":
        with zipfile.ZipFile(tables.path) as archive:
            assert {i.filename: i.compress_type for i in archive.infolist()} == {
                "peaks.parquet": zipfile.ZIP_STORED, "spectra.parquet": zipfile.ZIP_STORED}


def test_parquet_metadata_round_trips_the_run_metadata(run, tables):
    reader = run.reader
    metadata = tables.opened.metadata
    assert {key: metadata[key] for key in ("run_name", "source_file", "sample_name", "spectrum_count",
                                           "run_info", "instrument_info", "calibration",
                                           "ion_source_parameters", "creation_time")} == {
        "run_name": "dda", "source_file": "dda.wiff", "sample_name": "Sample1",
        "spectrum_count": reader.scan_count, "run_info": reader.run_info(),
        "instrument_info": reader.instrument_info(), "calibration": reader.calibration(),
        "ion_source_parameters": reader.ion_source_parameters(),
        "creation_time": reader.run_info()["start_timestamp"]}
    assert metadata["peak_count"] == sum(len(s.mz) for s in run.spectra)
    peaks_metadata = tables.opened.peaks.metadata.metadata[b"corvex.run"]
    assert json.loads(peaks_metadata) == metadata


MZ_WINDOW = (21.5, 22.5)


def in_window(mz):
    return MZ_WINDOW[0] <= mz <= MZ_WINDOW[1]


# (question, SQL over the tables, the answer from corvex's spectra)
SQL_QUESTIONS = {
    "MS2 peaks within an m/z window": (
        f"SELECT spectrum_position, mz, intensity FROM peaks WHERE ms_level = 2 "
        f"AND mz BETWEEN {MZ_WINDOW[0]} AND {MZ_WINDOW[1]} ORDER BY ALL",
        lambda spectra: sorted((s.index, m, i) for s in spectra if s.ms_level == 2
                               for m, i in zip(s.mz, s.intensity) if in_window(m))),
    # Integer counts: sums of them are exact in any order of addition.
    "TIC per spectrum": (
        "SELECT spectrum_position, sum(intensity::DOUBLE) FROM peaks GROUP BY ALL ORDER BY ALL",
        lambda spectra: [(s.index, s.total_ion_current) for s in spectra if len(s.mz)]),
    "MS1 peak count and intensity in an RT window": (
        "SELECT count(*), sum(intensity::DOUBLE) FROM peaks WHERE ms_level = 1 "
        "AND retention_time_sec BETWEEN 3 AND 20",
        lambda spectra: [(sum(len(s.mz) for s in spectra if s.ms_level == 1 and 3 <= s.retention_time_sec <= 20),
                          sum(sum(s.intensity) for s in spectra
                              if s.ms_level == 1 and 3 <= s.retention_time_sec <= 20))]),
    "base peak per spectrum": (
        "SELECT native_id, base_peak_mz, base_peak_intensity FROM spectra ORDER BY spectrum_position",
        lambda spectra: [(s.native_id, s.base_peak_mz, s.base_peak_intensity) for s in spectra]),
    "each fragment spectrum's survey spectrum": (
        "SELECT f.native_id, s.native_id, f.precursor_mz FROM spectra f JOIN spectra s "
        "ON f.survey_position = s.spectrum_position ORDER BY f.spectrum_position",
        lambda spectra: [(s.native_id, s.precursor["precursor_native_id"], s.precursor["selected_mz"])
                         for s in spectra if s.precursor and s.precursor["precursor_native_id"]]),
}


@pytest.mark.parametrize("question", list(SQL_QUESTIONS))
def test_duckdb_answers_equal_corvex(run, tables, question):
    duckdb = pytest.importorskip("duckdb")
    sql, expected = SQL_QUESTIONS[question]
    with duckdb.connect() as db:
        if tables.container == "directory":  # DuckDB's own Parquet reader
            for name in ("spectra", "peaks"):
                db.execute(f"CREATE VIEW {name} AS SELECT * FROM read_parquet('{tables.path / name}.parquet')")
        else:  # the zip's members, read in place by pyarrow
            db.register("spectra", tables.opened.spectra.read())
            db.register("peaks", tables.opened.peaks.read())
        got = db.execute(sql).fetchall()
    want = expected(run.spectra)
    assert got and got == want


@pytest.mark.parametrize("tables", ["directory"], indirect=True)  # polars scans files by path
def test_polars_reads_the_peak_table_with_a_pushed_down_filter(run, tables):
    pl = pytest.importorskip("polars")
    got = (pl.scan_parquet(tables.path / "peaks.parquet")
           .filter((pl.col("ms_level") == 2) & pl.col("mz").is_between(*MZ_WINDOW))
           .group_by("spectrum_position").agg(pl.len(), pl.col("intensity").max())
           .sort("spectrum_position").collect().rows())
    want = [(s.index, n, max(i for m, i in zip(s.mz, s.intensity) if in_window(m)))
            for s in run.spectra if s.ms_level == 2
            for n in [sum(map(in_window, s.mz))] if n]
    assert got and got == want


@pytest.mark.parametrize("intensity, base", [
    ([1, 3, 3], 1), ([5, np.nan, 7], 2), ([np.nan, 5], 0), ([-np.inf, np.nan], 0), ([2.5], 0)],
    ids=["tie-keeps-first", "nan-skipped", "nan-first-stays", "nan-never-replaces", "single"])
def test_peak_summary_base_peak_rule(intensity, base):
    from corvex_tools.parquet import PeakSummaries

    intensity = np.array(intensity, dtype=np.float32)
    mz = np.arange(len(intensity), dtype=np.float64) * 10 + 100
    summaries = PeakSummaries(2)
    summaries.add(1, mz, intensity)
    assert summaries.base_peak_mz[1] == mz[base]
    assert np.array_equal(summaries.base_peak_intensity[1:], intensity[base:base + 1], equal_nan=True)
    assert summaries.peak_count.tolist() == [0, len(intensity)]


def test_peak_summary_tic_adds_in_peak_order():
    from corvex_tools.parquet import PeakSummaries

    # Adding one at a time loses every 1 to rounding; numpy's pairwise sum keeps some of them.
    intensity = np.array([2.0 ** 53] + [1.0] * 16 + [-(2.0 ** 53)], dtype=np.float64).astype(np.float32)
    summaries = PeakSummaries(1)
    summaries.add(0, np.arange(len(intensity), dtype=np.float64), intensity)
    expected = -0.0
    for value in intensity:
        expected += float(value)
    assert summaries.computed_tic[0] == expected


@pytest.mark.parametrize("max_rows, level_cut_rows, sizes", [
    (7, 0, [5, 7, 7, 7, 6, 7, 1, 1]),  # at every level change, and every 7 rows
    (7, None, [7, 7, 7, 7, 7, 6]),
    (1000, 0, [5, 7, 20, 8, 1]),
    (1000, 6, [12, 20, 8, 1]),  # the first group (5 rows of MS1) is too small to end at the change
    (1, 0, [1] * 41),
])
def test_peak_row_groups_end_at_their_size_or_at_level_changes(tmp_path, max_rows, level_cut_rows, sizes):
    import pyarrow.parquet as pq

    from corvex_tools.parquet import PEAKS_SCHEMA, PeakRowGroups

    # (level, peaks): an empty spectrum between two of level 2 must not end a
    # group; the 20-peak spectrum spans several groups of 7.
    spectra = [(1, 5), (2, 3), (2, 0), (2, 4), (1, 20), (2, 2), (2, 6), (1, 1)]
    path = tmp_path / "p.parquet"
    writer = pq.ParquetWriter(path, PEAKS_SCHEMA)
    groups = PeakRowGroups(writer, max_rows=max_rows, level_cut_rows=level_cut_rows)
    expected = []
    for position, (level, n) in enumerate(spectra):
        mz = position * 1000.0 + np.arange(n, dtype=np.float64)
        expected += [(position, level, position * 1.5, m, m) for m in mz]
        groups.add(position, level, position * 1.5, mz, mz.astype(np.float32))
    groups.close()
    writer.close()
    written = pq.ParquetFile(path)
    assert list(zip(*written.read().to_pydict().values())) == expected
    groups_read = [written.read_row_group(g) for g in range(written.metadata.num_row_groups)]
    assert [len(group) for group in groups_read] == sizes
    if level_cut_rows == 0:
        assert all(len(set(group.column("ms_level").to_pylist())) == 1 for group in groups_read)
    assert groups.rows_written == 41 and groups.row_groups == len(sizes)


@pytest.mark.parametrize("existing", ["earlier output", "other files", "a file"])
def test_parquet_output_replaces_only_an_earlier_output(run, tmp_path, existing):
    target = tmp_path / "x.parquet"
    if existing == "a file":
        target.write_text("keep me")
    else:
        target.mkdir()
        names = ["spectra.parquet", "peaks.parquet"] if existing == "earlier output" else ["notes.txt"]
        for name in names:
            (target / name).write_text("old")
    result = run_cli("convert", run.path, "-o", target)
    if existing == "earlier output":
        assert result.returncode == 0, result.stderr
        assert sorted(os.listdir(target)) == ["peaks.parquet", "spectra.parquet"]
        assert (target / "spectra.parquet").read_bytes()[:4] == b"PAR1"
    else:
        assert result.returncode == 1
        assert "exists and is not an earlier output" in result.stderr
        assert (target.read_text() if existing == "a file" else (target / "notes.txt").read_text()) in (
            "keep me", "old")
    assert [p.name for p in tmp_path.iterdir()] == ["x.parquet"]


# ---------------------------------------------------------------------------
# Samples and output names
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def two_samples(tmp_path_factory):
    directory = tmp_path_factory.mktemp("two")
    build(Acquisition(samples=[dda_sample("Sample1", cycles=2, seed=1),
                               dda_sample("QC 2", cycles=3, seed=2)]), directory, "pair")
    return directory / "pair.wiff"


def test_all_samples_writes_one_file_per_sample(two_samples, tmp_path):
    result = run_cli("convert", two_samples, "--all-samples", "--format", "MGF", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pair.QC_2.mgf", "pair.Sample1.mgf"]
    for name, sample in (("pair.Sample1.mgf", "Sample1"), ("pair.QC_2.mgf", "QC 2")):
        reader = corvex.open_sample(str(two_samples), sample)
        fragments = sum(reader.read_spectrum(i).ms_level == 2 for i in range(reader.scan_count))
        assert (tmp_path / name).read_text().count("BEGIN IONS") == fragments


def test_sample_option_picks_one_sample(two_samples, tmp_path):
    pytest.importorskip("psims")
    target = tmp_path / "one.mzML"
    result = run_cli("convert", two_samples, "--sample", "QC 2", "-o", target)
    assert result.returncode == 0, result.stderr
    reader = corvex.open_sample(str(two_samples), "QC 2")
    assert '<spectrumList count="%d"' % reader.scan_count in target.read_text()
    assert os.listdir(tmp_path) == ["one.mzML"]


# ---------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------

def error_cases(base: Path, run_path: str, two_samples: Path):
    junk = base / "junk.wiff"
    junk.write_bytes(b"not a compound file" * 50)
    out = base / "out"
    (base / "empty").mkdir()
    return {
        "missing file": (["convert", base / "absent.wiff", "-o", out], "absent.wiff: no such file"),
        "not a compound file": (["convert", junk, "-o", out], "I/O error"),
        "unknown sample": (["convert", run_path, "--sample", "Nope", "-o", out], "no sample named 'Nope'"),
        "output dir missing": (["convert", run_path, "-o", base / "nowhere" / "x.mzML"], "does not exist"),
        "several samples": (["convert", two_samples, "-o", out], "holds 2 samples"),
        "all samples into a file": (["convert", two_samples, "--all-samples", "-o", out / "x.mzML"],
                                    "must name an existing directory"),
        "batch without runs": (["convert", base / "empty", "-o", out], "no .wiff files in"),
        "batch into a file": (["convert", run_path, two_samples, "-o", junk], "-o must name a directory"),
        "sample in a batch": (["convert", run_path, two_samples, "--sample", "Sample1", "-o", out],
                              "--sample applies to one run"),
        "scheduler for one run": (["convert", run_path, "--scheduler", "tcp://127.0.0.1:9", "-o", out],
                                  "--scheduler applies to a batch"),
        "info on missing file": (["info", base / "absent.wiff"], "no such file"),
        "info on a directory": (["info", base], "is a directory"),
    }


@pytest.mark.parametrize("case", ["missing file", "not a compound file", "unknown sample", "output dir missing",
                                  "several samples", "all samples into a file", "batch without runs",
                                  "batch into a file", "sample in a batch", "scheduler for one run",
                                  "info on missing file", "info on a directory"])
def test_bad_input_gives_one_line_error_and_leaves_no_file(run, two_samples, tmp_path, case):
    (tmp_path / "out").mkdir()
    args, message = error_cases(tmp_path, run.path, two_samples)[case]
    before = sorted(os.listdir(tmp_path))
    result = run_cli(*args, cwd=tmp_path / "out")
    assert result.returncode == 1
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvex: ") and message in lines[0], result.stderr
    assert sorted(os.listdir(tmp_path)) == before and os.listdir(tmp_path / "out") == []


def test_usage_errors_exit_with_status_2(run):
    result = run_cli("convert", run.path, "--format", "xml")
    assert result.returncode == 2
    assert result.stderr.strip().splitlines() == ["corvex: argument --format: unknown format 'xml' "
                                                  "(choose mzML, mgf or parquet)"]
    result = run_cli("convert", run.path, "--threads", "-1")
    assert result.returncode == 2
    assert result.stderr.strip().splitlines() == ["corvex: argument --threads: invalid thread count '-1' "
                                                  "(0 to 64)"]


@pytest.mark.parametrize("failure, status", [(KeyboardInterrupt, 130), (RuntimeError, 1)])
def test_failure_while_streaming_removes_the_partial_file(run, tmp_path, monkeypatch, failure, status):
    from corvex_tools import cli

    def failing_stream(path, sample):
        it = corvex.iter_spectra(path, sample)
        yield next(it)
        yield next(it)
        if failure is RuntimeError:
            raise cli._reader_error(path, RuntimeError("vendor parser error: cannot read scan block"))
        raise failure()

    monkeypatch.setattr(cli, "_stream", failing_stream)
    existing = tmp_path / "keep.mgf"
    existing.write_text("previous complete output\n")
    assert cli.main(["convert", run.path, "-o", str(existing)]) == status
    assert os.listdir(tmp_path) == ["keep.mgf"]
    assert existing.read_text() == "previous complete output\n"


def test_output_gets_the_mode_a_plain_open_would_give(tmp_path):
    mask = os.umask(0o027)
    os.umask(mask)
    with output.atomic_output(tmp_path / "out.txt") as handle:
        handle.write(b"done")
    assert (tmp_path / "out.txt").stat().st_mode & 0o777 == 0o666 & ~mask


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_only_on_a_terminal(run, tmp_path, monkeypatch, capsys, terminal):
    pytest.importorskip("tqdm")
    pytest.importorskip("psims")
    from corvex_tools import cli

    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    target = tmp_path / "x.mzML"
    assert cli.main(["convert", run.path, "-o", str(target)]) == 0
    err = capsys.readouterr().err
    if terminal:
        assert f"/{len(run.spectra)} [" in err and "spectra/s" in err
        assert err.rstrip().endswith(f"corvex: wrote {target}")
    else:
        assert err == ""

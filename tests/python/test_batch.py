"""`corvex convert` with several inputs: output names, the summary, damaged runs,
reruns that skip complete outputs, and a worker process killed mid-conversion.

Batches run the real command in a child interpreter, on a local Dask cluster
or one run after another; outputs are read back with independent readers and
compared with corvex's own records.
"""
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import corvex
from corvex_tools import ToolError, batch, cli
from test_convert import CHILD_PATH, run_cli
from wifffixture import Acquisition, build, dda_sample, write_synthetic_run

pytestmark = pytest.mark.usefixtures("watchdog")
WATCHDOG_SECONDS = 600
BATCH_TIMEOUT = 300  # seconds for one batch on a loaded machine


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """A directory of runs: one sample, two samples, a nested run, a scan file cut inside its last
    block, one cut in half, and a non-WIFF file."""
    root = tmp_path_factory.mktemp("study")
    (root / "sub").mkdir()
    build(Acquisition(samples=[dda_sample("Sample1", cycles=3, seed=1)]), root, "a")
    build(Acquisition(samples=[dda_sample("Sample1", cycles=2, seed=2), dda_sample("QC 2", cycles=2, seed=3)]),
          root / "sub", "b")
    build(Acquisition(samples=[dda_sample("Sample1", cycles=4, seed=4)]), root / "sub", "c")
    build(Acquisition(samples=[dda_sample("Sample1", cycles=2, seed=6)]), root, "cut")
    scan = root / "cut.wiff.scan"
    os.truncate(scan, scan.stat().st_size - 6)
    build(Acquisition(samples=[dda_sample("Sample1", cycles=3, seed=5)]), root, "damaged")
    scan = root / "damaged.wiff.scan"
    os.truncate(scan, scan.stat().st_size // 2)
    (root / "junk.wiff").write_bytes(b"not a compound file" * 20)
    return root


def parse_summary(text):
    """Rows of the closing table as dicts keyed by its header."""
    lines = text.splitlines()
    header = lines[0].split()
    return [dict(zip(header, re.split(r"\s{2,}", line.strip(), maxsplit=len(header) - 1))) for line in lines[1:]]


def corvex_error(path):
    try:
        reader = corvex.RawReader(str(path))
    except RuntimeError as error:
        return str(error)
    raise AssertionError(f"{path} reads without error ({reader.scan_count} scans)")


def fragment_ids(path, sample):
    reader = corvex.open_sample(str(path), sample)
    return [s.native_id for s in map(reader.read_spectrum, range(reader.scan_count))
            if s.ms_level >= 2 and s.precursor["selected_mz"] is not None]


def read_back_ids(fmt, output):
    """The spectrum native ids of an output, as an independent reader sees them."""
    if fmt == "mzml":
        from pyteomics import mzml

        with mzml.MzML(str(output)) as reader:
            return [spectrum["id"] for spectrum in reader]
    if fmt == "mgf":
        from pyteomics import mgf

        with mgf.MGF(str(output), read_charges=False) as reader:
            return [block["params"]["title"] for block in reader]
    import duckdb

    return [row[0] for row in duckdb.sql(
        f"SELECT native_id FROM read_parquet('{output}/spectra.parquet') ORDER BY spectrum_position").fetchall()]


def expected_ids(fmt, run, sample):
    if fmt == "mgf":
        return fragment_ids(run, sample)
    reader = corvex.open_sample(str(run), sample)
    return [reader.read_spectrum(i).native_id for i in range(reader.scan_count)]


def leftovers(directory):
    return sorted(str(p.relative_to(directory)) for p in Path(directory).rglob("*") if p.name.endswith(".part"))


# ---------------------------------------------------------------------------
# Output names
# ---------------------------------------------------------------------------

def test_outputs_keep_the_input_layout_and_the_single_run_names(study, tmp_path):
    tasks, failures = batch.plan([str(study), str(study / "sub" / "c.wiff")], tmp_path, ".mzML")
    assert [(Path(t.output).relative_to(tmp_path).as_posix(), t.sample) for t in tasks] == [
        ("a.mzML", "Sample1"), ("cut.mzML", "Sample1"), ("damaged.mzML", "Sample1"),
        ("sub/b.Sample1.mzML", "Sample1"), ("sub/b.QC_2.mzML", "QC 2"), ("sub/c.mzML", "Sample1")]
    # the run named a second time is converted once; the non-WIFF file fails at once
    assert [(f.run, f.status, f.error) for f in failures] == [
        (str(study / "junk.wiff"), "failed", corvex_error(study / "junk.wiff"))]


def test_samples_whose_names_clash_get_their_position(tmp_path):
    build(Acquisition(samples=[dda_sample("QC 2", cycles=1), dda_sample("QC_2", cycles=1),
                               dda_sample("Blank", cycles=1)]), tmp_path, "clash")
    tasks, _ = batch.plan([str(tmp_path / "clash.wiff")], tmp_path / "out", ".mgf")
    samples = corvex.list_samples(str(tmp_path / "clash.wiff"))
    names = {t.sample: Path(t.output).name for t in tasks}
    assert names["Blank"] == "clash.Blank.mgf"
    assert {names["QC 2"], names["QC_2"]} == {f"clash.QC_2-{samples.index(s) + 1}.mgf" for s in ("QC 2", "QC_2")}


def test_two_runs_that_would_write_one_output_are_refused(tmp_path):
    for place in ("x", "y"):
        build(Acquisition(samples=[dda_sample("Sample1", cycles=1)]), tmp_path / place, "run")
    with pytest.raises(ToolError, match=r"run\.wiff and .*run\.wiff would both be converted to .*run\.mzML"):
        batch.plan([str(tmp_path / "x"), str(tmp_path / "y" / "run.wiff")], tmp_path / "out", ".mzML")


# ---------------------------------------------------------------------------
# A batch with damaged runs
# ---------------------------------------------------------------------------

@pytest.fixture
def cluster_options(request):
    """Command-line options that pick where the batch runs: here, a local cluster, or an existing scheduler."""
    where = request.param
    if where == "here":
        yield ["--workers", "1"]
        return
    distributed = pytest.importorskip("distributed")
    if where == "local cluster":
        yield ["--workers", "2"]
        return
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        yield ["--scheduler", cluster.scheduler_address]


@pytest.mark.parametrize("fmt, cluster_options", [
    ("mzml", "here"), ("mgf", "here"), ("parquet", "here"), ("parquet", "local cluster"), ("mgf", "scheduler")],
    indirect=["cluster_options"])
def test_damaged_runs_are_reported_and_the_others_converted(study, tmp_path, fmt, cluster_options):
    if fmt != "parquet":
        pytest.importorskip("pyteomics")
    out = tmp_path / "out"
    result = run_cli("convert", study, "-o", out, "--format", fmt, *cluster_options, timeout=BATCH_TIMEOUT)
    assert result.returncode == 1, result.stderr
    assert result.stderr.splitlines()[-1] == "corvex: 3 of 7 conversions failed"
    rows = parse_summary(result.stdout)
    name = cli.FORMATS[fmt][0]
    assert [(r["run"], r["sample"], r["format"], r["status"]) for r in rows] == [
        (str(study / "a.wiff"), "Sample1", name, "converted"),
        (str(study / "cut.wiff"), "Sample1", name, "failed"),
        (str(study / "damaged.wiff"), "Sample1", name, "failed"),
        (str(study / "junk.wiff"), "-", name, "failed"),
        (str(study / "sub" / "b.wiff"), "Sample1", name, "converted"),
        (str(study / "sub" / "b.wiff"), "QC 2", name, "converted"),
        (str(study / "sub" / "c.wiff"), "Sample1", name, "converted"),
    ]
    assert rows[1]["error"].endswith("1 spectrum reaches past the end of the scan data file, which is 6 bytes "
                                     "short; the run is incomplete (--allow-truncated converts it anyway)")
    # cut in half: found by the scan data file check before any block is read
    assert re.search(r"sample 'Sample1': \d+ spectra reach past the end of the scan data file, which is \d+ "
                     r"bytes short; the run is incomplete", rows[2]["error"]), rows[2]["error"]
    assert rows[3]["error"] == corvex_error(study / "junk.wiff")
    suffix = cli.FORMATS[fmt][1]
    for row, output in zip([rows[0], *rows[4:]], ["a", "sub/b.Sample1", "sub/b.QC_2", "sub/c"]):
        ids = read_back_ids(fmt, out / (output + suffix))
        assert ids == expected_ids(fmt, row["run"], row["sample"])
        assert row["spectra"] == str(len(ids))
    assert sorted(p.name for p in out.iterdir()) == sorted(["a" + suffix, "sub"])
    assert leftovers(out) == []


# ---------------------------------------------------------------------------
# Reruns
# ---------------------------------------------------------------------------

def damage_mzml(path, how):
    data = bytearray(path.read_bytes())
    if how == "truncated":
        del data[-200:]
    else:  # one bit inside a spectrum: the checksum no longer verifies
        data[len(data) // 2] ^= 0x01
    path.write_bytes(bytes(data))


def damage_mgf(path, how):
    text = path.read_bytes()
    if how == "truncated":
        path.write_bytes(text[:len(text) * 2 // 3])
    else:  # the last block gone: every block is closed, but one is missing
        path.write_bytes(text[:text.rindex(b"BEGIN IONS")])


def damage_parquet(path, how):
    if how == "truncated":
        peaks = path / "peaks.parquet"
        os.truncate(peaks, peaks.stat().st_size - 100)
    else:  # another sample's tables in its place
        for name in ("spectra.parquet", "peaks.parquet"):
            (path / name).write_bytes((path.parent / "b.QC_2.parquet" / name).read_bytes())


DAMAGE = {"mzml": damage_mzml, "mgf": damage_mgf, "parquet": damage_parquet}


@pytest.mark.parametrize("fmt, how", [("mzml", "truncated"), ("mzml", "bit flipped"), ("mgf", "truncated"),
                                      ("mgf", "last block missing"), ("parquet", "truncated"),
                                      ("parquet", "another sample")])
def test_rerun_skips_complete_outputs_and_redoes_the_others(study, tmp_path, monkeypatch, capsys, fmt, how):
    if fmt == "mzml":
        pytest.importorskip("psims")
    monkeypatch.setattr(sys.stderr, "isatty", lambda: False)
    out = tmp_path / "out"
    args = ["convert", str(study / "sub"), "-o", str(out), "--format", fmt, "--workers", "1"]
    assert cli.main(args) == 0
    capsys.readouterr()
    suffix = cli.FORMATS[fmt][1]
    damaged = out / ("b.Sample1" + suffix)
    DAMAGE[fmt](damaged, how)
    others = {p: p.stat().st_mtime_ns for p in out.iterdir() if p != damaged}
    assert cli.main(args) == 0
    rows = parse_summary(capsys.readouterr().out)
    assert [(r["sample"], r["status"]) for r in rows] == [("Sample1", "converted"), ("QC 2", "skipped"),
                                                          ("Sample1", "skipped")]
    assert {p: p.stat().st_mtime_ns for p in others} == others
    assert read_back_ids(fmt, damaged) == expected_ids(fmt, study / "sub" / "b.wiff", "Sample1")
    assert [r["spectra"] for r in rows] == [
        str(len(expected_ids(fmt, study / "sub" / run, sample)))
        for run, sample in (("b.wiff", "Sample1"), ("b.wiff", "QC 2"), ("c.wiff", "Sample1"))]


def test_allow_truncated_converts_a_cut_run_in_a_batch(study, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: False)
    args = ["convert", str(study / "cut.wiff"), str(study / "a.wiff"), "-o", str(tmp_path), "--format", "mgf",
            "--workers", "1", "--allow-truncated"]
    assert cli.main(args) == 0
    captured = capsys.readouterr()
    assert [r["status"] for r in parse_summary(captured.out)] == ["converted", "converted"]
    assert "past the end of the scan data file" in captured.err and "converting anyway" in captured.err
    assert read_back_ids("mgf", tmp_path / "cut.mgf") == fragment_ids(study / "cut.wiff", "Sample1")


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_counts_outputs_on_a_terminal(study, tmp_path, monkeypatch, capsys, terminal):
    pytest.importorskip("tqdm")
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    assert cli.main(["convert", str(study / "sub"), "-o", str(tmp_path), "--format", "mgf", "--workers", "1"]) == 0
    err = capsys.readouterr().err
    # one bar over the outputs, none per run
    assert ("3/3 [" in err and "output/s" in err) == terminal
    assert "spectra" not in err


def test_without_dask_runs_are_converted_one_after_another(study, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(batch, "dask_available", lambda: False)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: False)
    assert cli.main(["convert", str(study / "sub"), "-o", str(tmp_path), "--format", "mgf", "--workers", "2"]) == 0
    captured = capsys.readouterr()
    assert captured.err == ("corvex: Dask is not installed (pip install 'corvex[cluster]'); "
                            "converting one run after another\n")
    assert [r["status"] for r in parse_summary(captured.out)] == ["converted"] * 3


# ---------------------------------------------------------------------------
# A worker killed while it converts
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def large_runs(tmp_path_factory):
    """Four runs that take a second or more each to convert, long enough to be caught mid-conversion."""
    directory = tmp_path_factory.mktemp("large")
    for k in range(4):
        write_synthetic_run(directory, f"run{k}", target_bytes=5_000_000, seed=10 + k)
    return directory


def kill_a_converting_worker(process, out, deadline):
    """SIGKILL the first process under ``process`` found writing a temporary output; return what it wrote."""
    import psutil

    parent = psutil.Process(process.pid)
    while process.poll() is None and time.monotonic() < deadline:
        for child in parent.children(recursive=True):
            try:
                partial = [f.path for f in child.open_files()
                           if f.path.startswith(str(out)) and ".part" in f.path]
                if partial:
                    child.send_signal(signal.SIGKILL)
                    return SimpleNamespace(pid=child.pid, path=partial[0])
            except psutil.Error:  # the process ended meanwhile
                continue
        time.sleep(0.01)
    return None


def test_a_worker_killed_mid_conversion_has_its_run_converted_again(large_runs, tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("psutil")
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=CHILD_PATH)
    process = subprocess.Popen([sys.executable, "-m", "corvex_tools", "convert", str(large_runs), "-o", str(out),
                                "--format", "parquet", "--workers", "2"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        killed = kill_a_converting_worker(process, out, time.monotonic() + BATCH_TIMEOUT)
        stdout, stderr = process.communicate(timeout=BATCH_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert killed is not None, "no worker was caught converting"
    assert process.returncode == 0, stderr
    rows = parse_summary(stdout)
    assert [(Path(r["run"]).name, r["status"]) for r in rows] == [(f"run{k}.wiff", "converted") for k in range(4)]
    assert leftovers(out) == []
    from corvex_tools.parquet import open_peak_tables

    for k in range(4):
        reader = corvex.RawReader(str(large_runs / f"run{k}.wiff"))
        tables = open_peak_tables(out / f"run{k}.parquet")
        spectra = tables.spectra.read(columns=["native_id", "peak_count"]).to_pydict()
        peaks = tables.peaks.read(columns=["mz", "intensity"])
        assert spectra["native_id"] == [reader.read_spectrum(i).native_id for i in range(reader.scan_count)]
        offsets = np.concatenate([[0], np.cumsum(spectra["peak_count"])])
        mz, intensity = peaks.column("mz").to_numpy(), peaks.column("intensity").to_numpy()
        for i in range(reader.scan_count):
            spectrum = reader.read_spectrum(i)
            np.testing.assert_array_equal(mz[offsets[i]:offsets[i + 1]], np.array(spectrum.mz))
            np.testing.assert_array_equal(intensity[offsets[i]:offsets[i + 1]],
                                          np.array(spectrum.intensity, dtype=np.float32))

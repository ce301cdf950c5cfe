"""`corvex convert`: mzML and MGF output read back by independent readers.

Every conversion runs the real command in a child interpreter under a time
limit.  The outputs are compared with corvex's own records of the same
sample (RawReader), field by field and array by array.
"""
import base64
import dataclasses
import errno
import hashlib
import io
import json
import os
import re
import signal
import stat
import struct
import subprocess
import sys
import time
import zipfile
import zlib
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import corvex
import corvex_tools
from corvex_tools import output
from corvex_tools.centroid import CentroidParameters
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


def test_deprecated_jobs_option_warns_and_changes_nothing(run, converted, tmp_path):
    target = tmp_path / "j.mzML"
    result = run_cli("convert", run.path, "-o", target, "--jobs", "3", "--threads", "2")
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        "corvex: warning: --jobs is deprecated and does nothing: conversion runs on threads (--threads N)"]
    assert target.read_bytes() == converted["zlib"].read_bytes()


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


# Documents written with MS-Numpress by the command: the options, and the
# coding the intensity arrays ask for.
NUMPRESS_DOCUMENTS = {
    "linear-pic": ("pic", ["--numpress-mz", "linear", "--numpress-intensity", "pic", "--no-compression"]),
    "linear-slof-zlib": ("slof", ["--numpress-mz", "linear", "--numpress-intensity", "slof"]),
    "linear-pic-zlib": ("pic", ["--numpress-mz", "linear", "--numpress-intensity", "pic"]),
}
DOCUMENTS = ["zlib", "none", *NUMPRESS_DOCUMENTS]


@pytest.fixture(scope="module")
def numpress_documents(run, tmp_path_factory):
    out = tmp_path_factory.mktemp("numpress")
    documents = {}
    for name, (_, options) in NUMPRESS_DOCUMENTS.items():
        documents[name] = out / f"{name}.mzML"
        result = run_cli("convert", run.path, "-o", documents[name], *options)
        assert result.returncode == 0, result.stderr
    return documents


@pytest.fixture
def document(request, codec):
    """The document the command wrote: ``codec`` "zlib" or "none", or a key of NUMPRESS_DOCUMENTS."""
    documents = request.getfixturevalue("numpress_documents" if codec in NUMPRESS_DOCUMENTS else "converted")
    return documents[codec]


def indexed_ids(data):
    """The ids the document's index lists, after checking every offset, the index list's offset and the checksum."""
    list_offset = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    assert data[list_offset:].startswith(b"<indexList ")
    offsets = re.findall(rb'<offset idRef="([^"]+)">(\d+)</offset>', data[list_offset:])
    for ref, offset in offsets:
        element = data[int(offset):int(offset) + 200]
        assert re.match(rb'<(spectrum|chromatogram) [^>]*id="%s"' % re.escape(ref), element), ref
    checksum = re.search(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>", data)
    assert hashlib.sha1(data[:checksum.start(1)]).hexdigest().encode() == checksum.group(1)
    return [ref.decode() for ref, _ in offsets]


def assert_valid_against_the_schema(path):
    pytest.importorskip("lxml")
    validation = pytest.importorskip("psims.validation")
    valid, schema = validation.validate(str(path))
    assert valid, str(schema.error_log)


@pytest.mark.parametrize("codec", DOCUMENTS)
def test_index_offsets_point_at_their_elements(run, document, codec):
    assert indexed_ids(document.read_bytes()) == [s.native_id for s in run.spectra] + ["TIC"]


@pytest.mark.parametrize("codec", DOCUMENTS)
def test_mzml_is_valid_against_the_schema(document, codec):
    assert_valid_against_the_schema(document)


# The engine's elements must be what psims' own writer renders for the same
# spectra, through its public write_spectrum.  Stand-ins cover precursor
# fields this reader never fills.
def stand_in(spectrum, **precursor):
    fields = {name: getattr(spectrum, name) for name in (
        "native_id", "scan_number", "ms_level", "polarity", "analyzer", "scan_mode", "retention_time_sec",
        "total_ion_current", "base_peak_mz", "base_peak_intensity", "mz", "intensity", "precursor")}
    if precursor:
        fields["precursor"] = dict(spectrum.precursor or {}, **precursor)
    return SimpleNamespace(**fields)


PRECURSOR_VARIANTS = {
    "as-read": {},
    "isolation-charge-energy": {"isolation_width": 1.5, "charge": 3, "intensity": 12.5, "collision_energy": 35.0},
    "hcd-negative-charge": {"activation": "hcd", "charge": -2},
    "no-mz": {"activation": "mpid", "selected_mz": None, "target_mz": None, "precursor_native_id": None},
    "target-only-markup-ref": {"selected_mz": None, "isolation_width": 0.0, "precursor_native_id": 'a&b<"c">'},
}


def stand_ins(run, variant):
    """The run's spectra with the precursor fields of ``variant``; the first negative, the second centroid."""
    spectra = [stand_in(s, **PRECURSOR_VARIANTS[variant]) if s.precursor is not None else stand_in(s)
               for s in run.spectra]
    spectra[0].polarity, spectra[1].scan_mode = "negative", "centroid"
    return spectra


# corvex's activation codes as the PSI-MS terms the oracle hands psims.
ACTIVATION_TERMS = {
    "cid": "collision-induced dissociation", "hcd": "beam-type collision-induced dissociation",
    "etd": "electron transfer dissociation", "ecd": "electron capture dissociation",
    "irmpd": "infrared multiphoton dissociation", "pd": "photodissociation", "pqd": "pulsed q dissociation",
    "uvpd": "ultraviolet photodissociation", "sid": "surface-induced dissociation",
    "ethcd": "supplemental beam-type collision-induced dissociation",
}


def psims_precursor(precursor):
    activation = [ACTIVATION_TERMS.get(precursor.get("activation") or "", "dissociation method")]
    if precursor.get("collision_energy") is not None:
        activation.append({"collision energy": precursor["collision_energy"], "unit_name": "electronvolt"})
    info = {"mz": precursor.get("selected_mz"), "intensity": precursor.get("intensity"),
            "charge": precursor.get("charge"), "scan_id": precursor.get("precursor_native_id"),
            "activation": activation}
    target, width = precursor.get("target_mz"), precursor.get("isolation_width")
    if target is not None:
        info["isolation_window"] = [width / 2.0, target, width / 2.0] if width else {"target": target}
    return info


def psims_write_spectrum(writer, spectrum, codec):
    mz = np.asarray(spectrum.mz, dtype=np.float64)
    level = spectrum.ms_level
    params = [{"ms level": level}, "MS1 spectrum" if level == 1 else "MSn spectrum",
              {"total ion current": spectrum.total_ion_current + 0.0}]
    if spectrum.base_peak_mz is not None:
        params += [{"base peak m/z": spectrum.base_peak_mz, "unit_name": "m/z"},
                   {"base peak intensity": spectrum.base_peak_intensity, "unit_name": "number of detector counts"}]
    if len(mz):
        params += [{"lowest observed m/z": float(mz[0]), "unit_name": "m/z"},
                   {"highest observed m/z": float(mz[-1]), "unit_name": "m/z"}]
    writer.write_spectrum(
        mz, np.asarray(spectrum.intensity, dtype=np.float32), id=spectrum.native_id, polarity=spectrum.polarity,
        centroided=spectrum.scan_mode == "centroid",
        precursor_information=psims_precursor(spectrum.precursor) if spectrum.precursor is not None else None,
        scan_start_time={"name": "scan start time", "value": spectrum.retention_time_sec, "unit_name": "second"},
        params=params, compression=codec, encoding={"m/z array": np.float64, "intensity array": np.float32})


ELEMENT = re.compile(rb"<(spectrum|chromatogram) .*?</\1>", re.DOTALL)


def elements(document):
    return [match.group(0) for match in ELEMENT.finditer(document)]


def psims_elements(run, spectra, compression):
    """The elements psims' public MzMLWriter renders for ``spectra`` and the run's chromatograms: the oracle."""
    import warnings

    from corvex_tools.mzml_frame import offline_resolver
    from psims.mzml.writer import MzMLWriter

    codec = "zlib" if compression else "none"
    buffer = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a bare document: no file description, no data processing
        writer = MzMLWriter(buffer, close=False, vocabulary_resolver=offline_resolver(),
                            missing_reference_is_error=False)
        with writer:
            writer.controlled_vocabularies()
            with writer.run(id="oracle"):
                with writer.spectrum_list(count=len(spectra)):
                    for spectrum in spectra:
                        psims_write_spectrum(writer, spectrum, codec)
                chromatograms = run.reader.read_chromatograms()
                with writer.chromatogram_list(count=len(chromatograms)):
                    for chromatogram in chromatograms:
                        writer.write_chromatogram(
                            np.asarray(chromatogram["time_sec"], dtype=np.float32),
                            np.asarray(chromatogram["intensity"], dtype=np.float32), id=chromatogram["id"],
                            chromatogram_type={"accession": chromatogram["chromatogram_type"]["accession"],
                                               "name": chromatogram["chromatogram_type"]["name"]},
                            compression=codec, encoding=32, time_unit="second")
    return elements(buffer.getvalue())


def engine_mzml(run, spectra, target, **options):
    """The document the engine writes for ``spectra`` handed in one by one."""
    from corvex_tools.writers import write_mzml_document

    with open(target, "wb") as out:
        written = write_mzml_document(out, run.path, corvex_tools.open_run(run.path).sample_name, spectra,
                                      run_info=run.reader.run_info(),
                                      chromatograms=run.reader.read_chromatograms(), scan_count=len(spectra),
                                      **options)
    assert written == len(spectra)
    return target.read_bytes()


BINARY_ARRAY = re.compile(rb'<binaryDataArray encodedLength="\d+">(.*?)<binary>([^<]*)</binary>', re.DOTALL)


def inflated(text):
    """``text`` with every zlib-compressed array inflated (and its encodedLength with it)."""
    def inflate(match):
        params, data = match.groups()
        data = base64.b64encode(zlib.decompress(base64.b64decode(data))) if b"zlib compression" in params else data
        return b'<binaryDataArray encodedLength="%d">%s<binary>%s</binary>' % (len(data), params, data)

    return BINARY_ARRAY.sub(inflate, text)


@pytest.mark.parametrize("compression", [False, True], ids=["none", "zlib"])
@pytest.mark.parametrize("variant", list(PRECURSOR_VARIANTS))
def test_engine_elements_are_what_psims_writes(run, tmp_path, variant, compression):
    pytest.importorskip("psims")
    spectra = stand_ins(run, variant)
    expected = psims_elements(run, spectra, compression)
    got = elements(engine_mzml(run, spectra, tmp_path / "engine.mzML", compression=compression))
    assert len(got) == len(expected) == len(spectra) + 1
    if compression:
        assert got != expected  # another deflate implementation: other streams for the same bytes
        got, expected = [inflated(e) for e in got], [inflated(e) for e in expected]
    for k, (mine, theirs) in enumerate(zip(got, expected)):
        assert mine == theirs, k


# (compression, MS-Numpress for m/z, for intensity)
CODINGS = {
    "none": (False, None, None),
    "zlib": (True, None, None),
    "linear-pic": (False, "linear", "pic"),
    "linear-slof-zlib": (True, "linear", "slof"),
}


def decoded_arrays(document):
    """The values of every spectrum's plain (not MS-Numpress) arrays of ``document``: [(mz, intensity), ...]."""
    arrays = []
    for params, text in BINARY_ARRAY.findall(document[:document.index(b"<chromatogramList")]):
        data = base64.b64decode(text)
        data = zlib.decompress(data) if b'name="zlib compression"' in params else data
        arrays.append(np.frombuffer(data, "<f8" if b'name="64-bit float"' in params else "<f4"))
    return list(zip(arrays[::2], arrays[1::2]))


@pytest.mark.parametrize("source, coding", [("run", coding) for coding in CODINGS]
                         + [("long_source", "zlib"), ("long_source", "linear-slof-zlib")])
def test_run_conversion_is_the_spectrum_fed_document_whatever_the_threads(request, tmp_path, source, coding):
    pytest.importorskip("psims")
    from corvex_tools.writers import convert_mzml

    run = request.getfixturevalue(source)
    compression, numpress_mz, numpress_intensity = CODINGS[coding]
    options = dict(compression=compression, numpress_mz=numpress_mz, numpress_intensity=numpress_intensity)
    fed = engine_mzml(run, run.spectra, tmp_path / "fed.mzML", **options)
    for threads in (1, 2, 5):
        with open(tmp_path / "run.mzML", "wb") as out:
            assert convert_mzml(out, corvex_tools.open_run(run.path), threads=threads, **options) == len(run.spectra)
        assert (tmp_path / "run.mzML").read_bytes() == fed, threads
    if numpress_mz is None:
        # Every stream inflates to the arrays, those coded with the run's shared codes too.
        for (mz, intensity), spectrum in zip(decoded_arrays(fed), run.spectra):
            assert_same_arrays(mz, intensity, spectrum)


# Under these parameters nearly every one of the fixture's scattered points
# is a centroid of its own, so the centroided outputs hold many peaks.
PERMISSIVE = CentroidParameters(min_snr=0.0, min_points=1, single_point_peaks=True)


def centroided_stand_ins(run, parameters):
    """The run's spectra with the array layer's centroids as their peaks, marked centroided."""
    picked = corvex_tools.open_run(run.path).load(centroid=parameters)
    spectra = []
    for k, (spectrum, (_, mz, intensity)) in enumerate(zip(run.spectra, picked)):
        fields = stand_in(spectrum)
        fields.mz, fields.intensity, fields.scan_mode = mz.tolist(), intensity.tolist(), "centroid"
        fields.total_ion_current = picked.total_ion_current[k]
        fields.base_peak_mz = None if len(mz) == 0 else picked.base_peak_mz[k]
        fields.base_peak_intensity = None if len(mz) == 0 else picked.base_peak_intensity[k]
        spectra.append(fields)
    assert sum(len(s.mz) for s in spectra) > len(spectra)
    return spectra


@pytest.mark.parametrize("fmt", ["mzml", "mgf", "parquet"])
def test_centroided_conversion_holds_the_array_layers_centroids(run, tmp_path, fmt):
    from corvex_tools import writers
    from corvex_tools.parquet import convert_parquet, open_peak_tables

    opened = corvex_tools.open_run(run.path)
    spectra = centroided_stand_ins(run, PERMISSIVE)
    if fmt == "mgf":
        expected, counts = reference_mgf(spectra)
        for threads in (1, 3):
            with open(tmp_path / "out.mgf", "wb") as out:
                assert writers.convert_mgf(out, opened, threads=threads, centroid=PERMISSIVE) == counts
            assert (tmp_path / "out.mgf").read_bytes() == expected, threads
    elif fmt == "mzml":
        pytest.importorskip("psims")
        fed = elements(engine_mzml(run, spectra, tmp_path / "fed.mzML", compression=False))
        for threads in (1, 3):
            with open(tmp_path / "run.mzML", "wb") as out:
                writers.convert_mzml(out, opened, compression=False, threads=threads, centroid=PERMISSIVE)
            document = (tmp_path / "run.mzML").read_bytes()
            assert elements(document) == fed, threads
        assert document.count(b'accession="MS:1000127"') == len(spectra)  # centroid spectrum
        assert b'accession="MS:1000128"' not in document  # profile spectrum
        processing = document[document.index(b"<dataProcessingList"):document.index(b"</dataProcessingList>")]
        assert re.search(rb'<processingMethod order="1" softwareRef="corvex">\s*'
                         rb'<cvParam cvRef="[^"]+" accession="MS:1000035" name="peak picking"', processing)
        assert b"min_snr=0.0 " in processing and b"single_point_peaks=true" in processing
        assert_valid_against_the_schema(tmp_path / "run.mzML")
    else:
        convert_parquet(run.path, opened.sample_name, tmp_path / "out.zip", centroid=PERMISSIVE)
        tables = open_peak_tables(tmp_path / "out.zip")
        peaks = tables.peaks.read()
        positions = peaks.column("spectrum_position").to_numpy()
        rows = tables.spectra.read().to_pylist()
        for position, (spectrum, row) in enumerate(zip(spectra, rows)):
            at = positions == position
            assert_same_arrays(peaks.column("mz").to_numpy()[at], peaks.column("intensity").to_numpy()[at], spectrum)
            assert (row["peak_count"], row["computed_tic"]) == (len(spectrum.mz), spectrum.total_ion_current + 0.0)
        assert tables.metadata["peak_picking"] == dataclasses.asdict(PERMISSIVE)


def test_convert_centroid_option_writes_default_centroids(run, tmp_path):
    pytest.importorskip("psims")
    result = run_cli("convert", run.path, "--centroid", "--no-compression", "-o", tmp_path / "c.mzML")
    assert result.returncode == 0, result.stderr
    document = (tmp_path / "c.mzML").read_bytes()
    opened = corvex_tools.open_run(run.path)
    for i, (mz, intensity) in enumerate(decoded_arrays(document)):
        picked_mz, picked_intensity = opened.peaks(i, centroid=True)
        assert (mz.tobytes(), intensity.tobytes()) == (picked_mz.tobytes(), picked_intensity.tobytes()), i
    assert document.count(b'name="centroid spectrum"') == len(run.spectra)
    assert b'name="peak picking"' in document


# The published PSI-MS accessions of the compression terms: (MS-Numpress coding or None, zlib).
COMPRESSION_TERMS = {
    b"MS:1000576": (None, False), b"MS:1000574": (None, True),
    b"MS:1002312": ("linear", False), b"MS:1002313": ("pic", False), b"MS:1002314": ("slof", False),
    b"MS:1002746": ("linear", True), b"MS:1002747": ("pic", True), b"MS:1002748": ("slof", True),
}


def array_codings(document):
    """(MS-Numpress coding or None, zlib, fixed point or None) of every array of ``document``, in order."""
    codings = []
    for params, text in BINARY_ARRAY.findall(document):
        (term,) = [term for term in re.findall(rb'accession="(MS:\d+)"', params) if term in COMPRESSION_TERMS]
        coding, deflated = COMPRESSION_TERMS[term]
        data = base64.b64decode(text)
        data = zlib.decompress(data) if deflated else data
        # Numpress arrays decode to 64-bit values, and say so.
        assert (b'name="64-bit float"' in params) == (coding is not None or b'name="m/z array"' in params)
        codings.append((coding, deflated, struct.unpack(">d", data[:8])[0] if coding in ("linear", "slof") else None))
    return codings


def assert_within_numpress_bound(coding, fixed_point, got, expected, float32_reader=False):
    """MS-Numpress decodes within its coding's bound of the value coded; arrays without it are exact."""
    got, expected = np.asarray(got, np.float64), np.asarray(expected, np.float64)
    assert got.shape == expected.shape
    if not expected.size:
        return
    if coding is None:
        bound = np.zeros(expected.shape)
    elif coding == "linear":
        bound = np.full(expected.shape, 0.5 / fixed_point * (1 + 1e-6))  # rounded on the fixed point's grid
        assert bound[0] <= 1e-8 * np.max(np.abs(expected))  # the grid is as fine as 32-bit residuals allow
    elif coding == "pic":
        bound = np.full(expected.shape, 0.5)  # rounded to an integer
    else:  # log(x + 1) rounded on a 16-bit grid
        bound = (expected + 1) * np.expm1(0.5 / fixed_point) * (1 + 1e-6)
    if float32_reader:
        bound = bound + np.abs(expected) * 2.0 ** -24
    assert np.all(np.abs(got - expected) <= bound), np.max(np.abs(got - expected) - bound)


@pytest.mark.parametrize("name", list(NUMPRESS_DOCUMENTS))
@pytest.mark.parametrize("reader", ["pyteomics", "pyopenms"])
def test_numpress_documents_read_back_within_the_codings_bounds(run, numpress_documents, name, reader):
    intensity_coding, options = NUMPRESS_DOCUMENTS[name]
    document = numpress_documents[name]
    deflated = "--no-compression" not in options
    codings = array_codings(document.read_bytes())
    assert codings[2 * len(run.spectra):] == [(None, deflated, None)] * 2  # the chromatogram's
    codings = codings[:2 * len(run.spectra)]
    assert {zlib_used for _, zlib_used, _ in codings} == {deflated}
    # pic takes integers up to 2^31 - 1: an array with larger values goes without it.
    assert [coding for coding, _, _ in codings[::2]] == ["linear"] * len(run.spectra)
    assert [coding for coding, _, _ in codings[1::2]] == [
        None if intensity_coding == "pic" and max(s.intensity, default=0) >= 2**31 - 1 else intensity_coding
        for s in run.spectra]
    codings = [(coding, point) for coding, _, point in codings]
    if reader == "pyteomics":
        pytest.importorskip("pynumpress")
        mzml = pytest.importorskip("pyteomics.mzml")
        with mzml.MzML(str(document), decode_binary=True) as records:
            loaded = [(r["id"], r["ms level"], r["scanList"]["scan"][0]["scan start time"],
                       r["m/z array"], r["intensity array"]) for r in records]
    else:
        oms = pytest.importorskip("pyopenms")
        experiment = oms.MSExperiment()
        oms.MzMLFile().load(str(document), experiment)
        loaded = [(s.getNativeID(), s.getMSLevel(), s.getRT(), *s.get_peaks()) for s in experiment.getSpectra()]
        precursors = [s.getPrecursors() for s in experiment.getSpectra()]
        assert [[p.getMZ() for p in got] for got in precursors] == [
            [] if s.precursor is None else [s.precursor["selected_mz"] or 0.0] for s in run.spectra]
    assert [record[:3] for record in loaded] == [
        (s.native_id, s.ms_level, s.retention_time_sec) for s in run.spectra]
    for (*_, mz, intensity), spectrum, mz_coding, intensity_coding in zip(loaded, run.spectra, codings[::2],
                                                                          codings[1::2]):
        assert_within_numpress_bound(*mz_coding, mz, spectrum.mz)
        assert_within_numpress_bound(*intensity_coding, intensity, spectrum.intensity,
                                     float32_reader=reader == "pyopenms")


@pytest.mark.parametrize("fmt, threads", [("mzml", "1"), ("mzml", "3"), ("mgf", "2")])
def test_reader_error_in_the_middle_gives_one_line_and_no_file(run, tmp_path, fmt, threads):
    copy = tmp_path / "in"
    copy.mkdir()
    for name in ("dda.wiff", "dda.wiff.scan"):
        (copy / name).write_bytes((run.directory / name).read_bytes())
    scan = copy / "dda.wiff.scan"
    os.truncate(scan, scan.stat().st_size // 2)
    out = tmp_path / "out"
    out.mkdir()
    # The cut is caught before converting unless allowed; allowed, the
    # conversion meets the reader's error at the first block past the end.
    result = run_cli("convert", copy / "dda.wiff", "-o", out / "x.out", "--format", fmt, "--threads", threads,
                     "--allow-truncated")
    assert result.returncode == 1
    lines = [line for line in result.stderr.splitlines() if not line.startswith("corvex: warning: ")]
    assert len(lines) == 1 and re.fullmatch(
        r"corvex: .*dda\.wiff: vendor parser error: cannot read scan block for scan=\d+ at offset \d+: .*",
        lines[0]), result.stderr
    assert os.listdir(out) == []


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


@pytest.mark.parametrize("spectra, chromatograms", [(0, 0), (None, 0), (0, None)],
                         ids=["nothing", "no-chromatogram", "no-spectrum"])
def test_engine_documents_with_empty_lists_index_what_they_hold(run, tmp_path, spectra, chromatograms):
    pytest.importorskip("psims")
    from corvex_tools.writers import write_mzml_document

    kept = run.spectra[:spectra]
    chromatogram_list = run.reader.read_chromatograms()[:chromatograms]
    target = tmp_path / "out.mzML"
    with open(target, "wb") as out:
        write_mzml_document(out, run.path, "Sample1", kept, run_info=run.reader.run_info(),
                            chromatograms=chromatogram_list, scan_count=len(kept), compression=False)
    data = target.read_bytes()
    assert indexed_ids(data) == [s.native_id for s in kept] + [c["id"] for c in chromatogram_list]
    # Empty lists have no index, as psims writes them.
    lists = sum(bool(part) for part in (kept, chromatogram_list))
    assert b'<indexList count="%d">' % lists in data and data.count(b"<index name=") == lists


def engine_writer(out, compression=False, numpress_intensity=None):
    from corvex_tools import _native

    keys = _native.mzml_param_keys()
    return _native.MzmlWriter(out.fileno(), b"<head>", b"<between>", b"</mzML>", [("<p>", "</p>")] * len(keys),
                              compression, None, numpress_intensity)


def write_peaks(writer, mz, intensity):
    writer.write_spectrum("scan=1", 1, 0.5, 3.0, None, None, False, None, mz, intensity)


F8, F4 = np.array([100.0, 200.0]), np.array([1.0, 2.0], np.float32)
ENGINE_MISUSE = {
    "float32 m/z": (lambda w: write_peaks(w, F8.astype(np.float32), F4), TypeError, "float64"),
    "float64 intensities": (lambda w: write_peaks(w, F8, F8), TypeError, "float32"),
    "strided m/z": (lambda w: write_peaks(w, np.arange(4.0)[::2], F4), ValueError, "contiguous"),
    "lengths differ": (lambda w: write_peaks(w, F8[:1], F4), ValueError, "1 m/z values and 2 intensities"),
    "polarity": (lambda w: w.write_spectrum("s", 1, 0.0, 0.0, None, "up", False, None, F8, F4), ValueError,
                 "polarity"),
    "precursor": (lambda w: w.write_spectrum("s", 2, 0.0, 0.0, None, None, False, [1.0], F8, F4), TypeError,
                  "precursor"),
    "spectrum after chromatogram": (lambda w: (w.write_chromatogram("TIC", "<t/>", F4, F4), write_peaks(w, F8, F4)),
                                    ValueError, "before the chromatograms"),
    "finished twice": (lambda w: (w.finish(), w.finish()), ValueError, "finished"),
}


@pytest.mark.parametrize("case", list(ENGINE_MISUSE))
def test_engine_writer_refuses_misuse_with_a_clear_error(tmp_path, case):
    call, error, message = ENGINE_MISUSE[case]
    with open(tmp_path / "x.mzML", "wb") as out:
        writer = engine_writer(out)
        with pytest.raises(error, match=message):
            call(writer)


def test_engine_writer_reports_a_full_disk_as_oserror():
    import errno

    with open("/dev/full", "wb") as out:
        writer = engine_writer(out, compression=True)
        write_peaks(writer, F8, F4)  # buffered
        with pytest.raises(OSError) as raised:
            writer.finish()
    assert raised.value.errno == errno.ENOSPC


def test_engine_params_must_cover_every_key(tmp_path):
    from corvex_tools import _native

    with open(tmp_path / "x.mzML", "wb") as out, pytest.raises(ValueError, match="one per key"):
        _native.MzmlWriter(out.fileno(), b"", b"", b"", [("<p>", "</p>")], False)


# Values Python formats in every number of the documents: random bit patterns
# over every exponent, 32-bit values widened, and the edges of the layout.
def float_repr_cases():
    random = np.random.default_rng(20261208)
    bits = random.integers(0, 2**64, size=20000, dtype=np.uint64)
    edges = [0.0, -0.0, float("inf"), float("-inf"), float("nan"), 5e-324, 2.2250738585072014e-308,
             1.7976931348623157e308, 2.0**53, 2.0**53 + 2, 1e16, 9999999999999998.0, 1e15, 0.0001, 0.00009999,
             1e-5, 0.1, 0.3, 1 / 3, 123456789.125, 1e22, 1e23, 5e-5, 0.5, 2.5, 9.5e-5, 1e-4 * (1 - 2**-52)]
    edges += [10.0**e for e in range(-20, 25)] + [-(10.0**e) for e in range(-6, 18)]
    narrow = random.integers(0, 2**32, size=20000, dtype=np.uint64).astype(np.uint32).view(np.float32)
    with np.errstate(invalid="ignore"):  # signalling NaNs widen quietly
        widened = narrow.astype(np.float64).tolist()
    return {"random bits": bits.view(np.float64).tolist(), "edges": edges, "float32 widened": widened}


@pytest.mark.parametrize("group", ["random bits", "edges", "float32 widened"])
def test_engine_float_text_is_pythons_repr(group):
    from corvex_tools import _native

    values = float_repr_cases()[group]
    assert [_native.float_repr(v) for v in values] == [repr(v) for v in values]


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


def reference_mgf(spectra):
    """The MGF text of ``spectra`` as the converter has always written it, every number as Python's repr()."""
    blocks, left_out = [], 0
    for spectrum in spectra:
        precursor = spectrum.precursor
        if spectrum.ms_level < 2:
            continue
        mz = None if precursor is None else (
            precursor["selected_mz"] if precursor.get("selected_mz") is not None else precursor.get("target_mz"))
        if mz is None:
            left_out += 1
            continue
        head = f"BEGIN IONS\nTITLE={spectrum.native_id}\nPEPMASS={mz!r}"
        if precursor.get("intensity") is not None:
            head += f" {precursor['intensity']!r}"
        if precursor.get("charge") is not None:
            head += f"\nCHARGE={abs(precursor['charge'])}{'-' if precursor['charge'] < 0 else '+'}"
        head += f"\nRTINSECONDS={spectrum.retention_time_sec!r}\nSCANS={spectrum.scan_number}\n"
        peaks = "".join(f"{m!r} {i!r}\n" for m, i in zip(spectrum.mz, spectrum.intensity))
        blocks.append(head + peaks + "END IONS\n\n")
    return "".join(blocks).encode(), (len(blocks), left_out)


@pytest.mark.parametrize("variant", list(PRECURSOR_VARIANTS))
def test_engine_mgf_is_pythons_text_of_every_number(run, tmp_path, variant):
    from corvex_tools.writers import write_mgf_document

    spectra = stand_ins(run, variant)
    spectra[-2].precursor = dict(spectra[-2].precursor or {}, charge=-3, intensity=0.1)
    expected, counts = reference_mgf(spectra)
    with open(tmp_path / "out.mgf", "wb") as out:
        assert write_mgf_document(out, spectra) == counts
    assert (tmp_path / "out.mgf").read_bytes() == expected
    assert sum(counts) == sum(s.ms_level > 1 for s in spectra)  # each fragment written or left out


def test_run_mgf_is_the_same_whatever_the_threads(run, tmp_path):
    from corvex_tools.writers import convert_mgf

    expected, counts = reference_mgf(run.spectra)
    for threads in (1, 3):
        with open(tmp_path / "out.mgf", "wb") as out:
            assert convert_mgf(out, corvex_tools.open_run(run.path), threads=threads) == counts
        assert (tmp_path / "out.mgf").read_bytes() == expected, threads


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
        assert ("exists and is not a directory" if existing == "a file"
                else "exists and is not an earlier output") in result.stderr
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
    # Scan data cut in half: the reader fails on the first block past the cut.
    damaged = base / "damaged.wiff"
    damaged.write_bytes(Path(run_path).read_bytes())
    scan = Path(run_path + ".scan").read_bytes()
    (base / "damaged.wiff.scan").write_bytes(scan[:len(scan) // 2])
    return {
        "missing file": (["convert", base / "absent.wiff", "-o", out], "absent.wiff: no such file"),
        "not a compound file": (["convert", junk, "-o", out], "I/O error"),
        "unknown sample": (["convert", run_path, "--sample", "Nope", "-o", out], "no sample named 'Nope'"),
        "output dir missing": (["convert", run_path, "-o", base / "nowhere" / "x.mzML"], "does not exist"),
        "several samples": (["convert", two_samples, "-o", out], "holds 2 samples"),
        "all samples into a file": (["convert", two_samples, "--all-samples", "-o", out / "x.mzML"],
                                    "must name a directory"),
        "batch without runs": (["convert", base / "empty", "-o", out], "no .wiff files in"),
        "batch into a file": (["convert", run_path, two_samples, "-o", junk], "not a directory"),
        "sample in a batch": (["convert", run_path, two_samples, "--sample", "Sample1", "-o", out],
                              "--sample applies to one run"),
        "scheduler for one run": (["convert", run_path, "--scheduler", "tcp://127.0.0.1:9", "-o", out],
                                  "--scheduler applies to a batch"),
        "info on missing file": (["info", base / "absent.wiff"], "no such file"),
        "info on a directory": (["info", base], "is a directory"),
        "report on missing file": (["report", base / "absent.wiff", "-o", out / "r.html"], "absent.wiff: no such file"),
        "report on a foreign file": (["report", junk, "-o", out / "r.html"], "I/O error"),
        "report on a damaged run": (["report", damaged, "-o", out / "r.html"],
                                    "damaged.wiff: vendor parser error: cannot read scan block"),
        "report unknown sample": (["report", run_path, "--sample", "Nope"], "no sample named 'Nope'"),
        "report several samples": (["report", two_samples, run_path], "holds 2 samples"),
        "report output dir missing": (["report", run_path, "-o", base / "nowhere" / "r.html"], "does not exist"),
    }


@pytest.mark.parametrize("case", ["missing file", "not a compound file", "unknown sample", "output dir missing",
                                  "several samples", "all samples into a file", "batch without runs",
                                  "batch into a file", "sample in a batch", "scheduler for one run",
                                  "info on missing file", "info on a directory", "report on missing file",
                                  "report on a foreign file", "report on a damaged run", "report unknown sample",
                                  "report several samples", "report output dir missing"])
def test_bad_input_gives_one_line_error_and_leaves_no_file(run, two_samples, tmp_path, case):
    (tmp_path / "out").mkdir()
    args, message = error_cases(tmp_path, run.path, two_samples)[case]
    before = sorted(os.listdir(tmp_path))
    result = run_cli(*args, cwd=tmp_path / "out")
    assert result.returncode == 1
    assert result.stdout == ""
    # A run that opens can also carry a warning about its scan file; one line says what failed.
    lines = [line for line in result.stderr.splitlines() if not line.startswith("corvex: warning: ")]
    assert len(lines) == 1 and lines[0].startswith("corvex: ") and message in lines[0], result.stderr
    assert sorted(os.listdir(tmp_path)) == before and os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("args, expected", [
    (["convert", "RUN", "--format", "xml"],
     ["corvex: argument --format: unknown format 'xml' (choose mzML, mgf or parquet)"]),
    (["convert", "RUN", "--threads", "-1"], ["corvex: argument --threads: invalid thread count '-1' (0 to 64)"]),
    # bare `corvex`: the whole help, every command with what it does
    ([], ["usage: corvex [-h] [--version] COMMAND ...",
          "    info      summarize a run: samples, scans, instrument, TIC",
          "    convert   convert runs to indexed mzML, MGF or Parquet"]),
])
def test_usage_errors_exit_with_status_2(run, args, expected):
    result = run_cli(*[run.path if arg == "RUN" else arg for arg in args])
    assert result.returncode == 2 and result.stdout == ""
    lines = result.stderr.strip().splitlines()
    if args:
        assert lines == expected
    else:
        assert lines[0] == expected[0] and set(expected[1:]) <= set(lines), result.stderr


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    """A run of some megabytes: its conversion takes many work items, and many slices when they are short."""
    from wifffixture.synthetic import write_synthetic_run

    return write_synthetic_run(tmp_path_factory.mktemp("long"), "long", target_bytes=4_000_000).wiff_path


@pytest.fixture(scope="module")
def long_source(long_run):
    """The long run with corvex's records of it, as the ``run`` fixture has them."""
    reader = corvex.RawReader(str(long_run))
    return SimpleNamespace(path=str(long_run), reader=reader, spectra=list(corvex.iter_spectra(str(long_run))))


def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("suffix", [".mzML", ".mgf"])
@pytest.mark.parametrize("failure, status", [(KeyboardInterrupt, 130), (RuntimeError, 1)])
def test_failure_during_a_conversion_stops_it_and_removes_the_partial_file(long_run, tmp_path, monkeypatch,
                                                                           suffix, failure, status):
    pytest.importorskip("psims")
    from corvex_tools import cli, writers

    monkeypatch.setattr(writers, "SLICE_SECONDS", 0.0)  # back in Python after every work item
    before = thread_count()
    during = []

    def failing_progress(total, label, stack):
        def update(count):
            during.append(thread_count())
            raise failure("vendor parser error: cannot read scan block")
        return update

    monkeypatch.setattr(cli, "_progress", failing_progress)
    existing = tmp_path / f"keep{suffix}"
    existing.write_text("previous complete output\n")
    assert cli.main(["convert", str(long_run), "-o", str(existing), "--threads", "2"]) == status
    assert os.listdir(tmp_path) == [existing.name]
    assert existing.read_text() == "previous complete output\n"
    # Stopped in the middle, with its threads at work; they are gone once it has failed.
    assert during[0] > before and thread_count() == before


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


# ---------------------------------------------------------------------------
# Output paths
# ---------------------------------------------------------------------------

def copy_run(run, directory):
    directory.mkdir()
    for name in ("dda.wiff", "dda.wiff.scan"):
        (directory / name).write_bytes((run.directory / name).read_bytes())
    return directory / "dda.wiff"


def file_state(path):
    """What must not change about a refused output: its kind, and a regular file's bytes."""
    status = os.lstat(path)
    content = Path(path).read_bytes() if os.path.isfile(path) and not os.path.islink(path) else None
    return status.st_mode, status.st_ino, content


def make_null_device(path):
    """A node for the null device, here rather than /dev/null itself, which a fault would replace."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs privileges")
    return path


# Each case makes the refused output in `base` (holding dda.wiff and
# dda.wiff.scan) and gives (the -o argument or None, the format, expected text).
REFUSED_OUTPUTS = {
    "the wiff file": lambda base: (base / "dda.wiff", "mzml", "is an input of this conversion"),
    "the scan file": lambda base: (base / "dda.wiff.scan", "mgf", "is an input of this conversion"),
    "the wiff file by another path": lambda base: (base / "." / ".." / base.name / "dda.wiff", "mgf",
                                                   "is an input of this conversion"),
    "a symbolic link to the scan file": lambda base: (
        os.symlink(base / "dda.wiff.scan", base / "link.mgf") or base / "link.mgf", "mgf",
        "is an input of this conversion"),
    "a hard link to the wiff file": lambda base: (
        os.link(base / "dda.wiff", base / "hard.mzML") or base / "hard.mzML", "mzml",
        "is an input of this conversion"),
    "a device": lambda base: (make_null_device(base / "null.mgf"), "mgf", "exists and is a character device"),
    "a FIFO": lambda base: (os.mkfifo(base / "pipe.mzML") or base / "pipe.mzML", "mzml", "exists and is a FIFO"),
    "a directory in the output's place": lambda base: (
        (base / "dda.mgf").mkdir() or None, "mgf", "dda.mgf: exists and is a directory"),
}


@pytest.mark.parametrize("command, case", [("convert", case) for case in REFUSED_OUTPUTS]
                         + [("report", case) for case in ("the wiff file", "a symbolic link to the scan file",
                                                          "a FIFO")])
def test_outputs_that_would_destroy_something_are_refused(run, tmp_path, command, case):
    wiff = copy_run(run, tmp_path / "run")
    target, fmt, message = REFUSED_OUTPUTS[case](wiff.parent)
    watched = [wiff, wiff.with_name("dda.wiff.scan"), target if target is not None else wiff.with_name("dda.mgf")]
    before = [file_state(path) for path in watched]
    listing = sorted(os.listdir(wiff.parent))
    output = ["-o", target] if target is not None else []
    options = ["--format", fmt] if command == "convert" else []
    result = run_cli(command, wiff, *output, *options, cwd=wiff.parent)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvex: ") and message in lines[0], result.stderr
    assert [file_state(path) for path in watched] == before
    assert sorted(os.listdir(wiff.parent)) == listing


@pytest.mark.parametrize("output, made, message", [
    ("new/", {"new", "new/dda.mgf"}, None),
    ("existing/", {"existing/dda.mgf"}, None),
    ("existing", {"existing/dda.mgf"}, None),
    ("new/deeper/", set(), "{base}/new/deeper/: cannot create the output directory: '{base}/new' does not exist"),
    ("file/", set(), "{base}/file/: not a directory"),
])
def test_trailing_separator_names_a_directory(run, tmp_path, output, made, message):
    (tmp_path / "file").write_text("keep\n")
    (tmp_path / "existing").mkdir()
    result = run_cli("convert", run.path, "-o", f"{tmp_path}/{output}", "--format", "mgf")
    assert {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")} - {"file", "existing"} == made
    if message is None:
        assert result.returncode == 0, result.stderr
        assert "BEGIN IONS" in (tmp_path / "existing" / "dda.mgf" if "existing" in output
                                else tmp_path / "new" / "dda.mgf").read_text()
    else:
        assert result.returncode == 1
        assert result.stderr.splitlines() == ["corvex: " + message.format(base=tmp_path)]
    assert (tmp_path / "file").read_text() == "keep\n"


def test_all_samples_into_a_new_directory(two_samples, tmp_path):
    result = run_cli("convert", two_samples, "--all-samples", "--format", "mgf", "-o", f"{tmp_path}/new/")
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path / "new")) == ["pair.QC_2.mgf", "pair.Sample1.mgf"]


def test_errors_about_the_output_name_the_given_path_not_the_temporary_file(run):
    # sysfs refuses new files even to root, where a read-only directory would not.
    target = "/sys/corvex-output.mgf"
    result = run_cli("convert", run.path, "-o", target)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [f"corvex: {target}: Permission denied"]


def test_a_full_disk_while_writing_names_the_output(tmp_path):
    target = tmp_path / "out.mgf"
    with pytest.raises(OSError) as info:
        with output.atomic_output(target) as handle:
            handle.write(b"partial")
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))  # as a failed write raises it
    assert (info.value.errno, info.value.filename) == (errno.ENOSPC, str(target))
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------------------
# Truncated scan data
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("offsets, sizes, file_size, expected", [
    ([], [], 0, None),
    ([0, 100], [100, 50], 150, None),  # the last block ends exactly at the end
    ([0, 100], [100, 50], 149, (1, 1)),
    ([0, 100, 200], [100, 100, 100], 120, (2, 180)),
    ([500, 0, 100], [100, 100, 100], 550, (1, 50)),  # the furthest block need not be the last
    ([0xFFFFFFFF, 0], [0xFFFFFFFF, 10], 10, (1, 2 * 0xFFFFFFFF - 10)),  # no 32-bit wrap
    ([10], [10], 0, (1, 20)),  # an empty scan file
])
def test_truncation_counts_blocks_past_the_end(offsets, sizes, file_size, expected):
    from corvex_tools.scan_file import find_truncation

    found = find_truncation(np.array(offsets, dtype=np.uint32), np.array(sizes, dtype=np.uint32), file_size)
    assert (tuple(found) if found is not None else None) == expected
    assert find_truncation(offsets, sizes, file_size) == found  # plain sequences too


@pytest.fixture(scope="module")
def truncated(tmp_path_factory):
    """A run whose scan file is cut inside the last block's payload: near its end, and after its first byte.

    (The reader fails to open a sample with a block whose payload starts
    past the end, so only the last block can be cut short without an error.)
    """
    built = tmp_path_factory.mktemp("whole")
    build(Acquisition(samples=[dda_sample("Sample1", cycles=2, points_per_scan=60, seed=7)]), built, "dda")
    index = corvex.open_sample(str(built / "dda.wiff"), "Sample1").scan_index()
    last = max(index, key=lambda record: record["scan_offset"])
    end = last["scan_offset"] + last["scan_size"]
    runs = {}
    for name, size in (("near its end", end - 7), ("after one payload byte", last["scan_offset"] + 57)):
        wiff = copy_run(SimpleNamespace(directory=built), tmp_path_factory.mktemp("cut") / "in")
        os.truncate(wiff.with_name("dda.wiff.scan"), size)
        runs[name] = SimpleNamespace(path=wiff, spectra=1, short=end - size)
    return runs


def finding(spectra, short):
    verb = "spectrum reaches" if spectra == 1 else "spectra reach"
    return f"{spectra} {verb} past the end of the scan data file, which is {short} bytes short"


@pytest.mark.parametrize("fmt", ["mzml", "mgf"])
@pytest.mark.parametrize("cut", ["near its end", "after one payload byte"])
def test_truncated_scan_file_fails_unless_allowed(truncated, tmp_path, fmt, cut):
    case = truncated[cut]
    target = tmp_path / f"x.{fmt}"
    refused = run_cli("convert", case.path, "-o", target, "--format", fmt)
    assert refused.returncode == 1
    assert refused.stderr.splitlines() == [
        f"corvex: {case.path}: sample 'Sample1': {finding(case.spectra, case.short)}; "
        "the run is incomplete (--allow-truncated converts it anyway)"]
    assert os.listdir(tmp_path) == []

    allowed = run_cli("convert", case.path, "-o", target, "--format", fmt, "--allow-truncated")
    assert allowed.returncode == 0, allowed.stderr
    assert allowed.stderr.splitlines()[0] == (f"corvex: warning: {case.path}: sample 'Sample1': "
                                              f"{finding(case.spectra, case.short)}; converting anyway")
    assert os.listdir(tmp_path) == [target.name]


# ---------------------------------------------------------------------------
# Termination signals
# ---------------------------------------------------------------------------

# Runs the command with the conversion held up in the middle: the engine
# comes back after every work item, and the first progress report waits,
# with the temporary file there and the engine's threads at work. Prints how
# many threads the process has beyond those it started with, then and once
# the command has returned.
HELD_UP_CONVERSION = """
import os, sys, time
from corvex_tools import cli, writers

def extra_threads():
    return len(os.listdir("/proc/self/task")) - before

def held_up(total, label, stack):
    def update(count):
        print(extra_threads(), flush=True)
        time.sleep(60)
    return update

before = len(os.listdir("/proc/self/task"))
writers.SLICE_SECONDS = 0.0
cli._progress = held_up
status = cli.main(sys.argv[1:])
print(extra_threads(), flush=True)
sys.exit(status)
"""


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["SIGINT", "SIGTERM", "SIGHUP"])
@pytest.mark.parametrize("fmt", ["mzml", "mgf"])
def test_signals_stop_the_conversion_and_remove_the_partial_file(long_run, tmp_path, signum, fmt):
    target = tmp_path / "x.out"
    env = dict(os.environ, PYTHONPATH=CHILD_PATH)
    child = subprocess.Popen([sys.executable, "-c", HELD_UP_CONVERSION, "convert", long_run, "-o", target,
                              "--format", fmt, "--threads", "2"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        working = int(child.stdout.readline())
        assert [name.endswith(".part") for name in os.listdir(tmp_path)] == [True]
        child.send_signal(signum)
        status = child.wait(timeout=60)
        left = int(child.stdout.readline())
    finally:
        child.kill()
        child.wait()
    expected = (130, "corvex: interrupted") if signum == signal.SIGINT else (
        128 + signum, f"corvex: stopped by {signal.Signals(signum).name}")
    assert (status, child.stderr.read().splitlines()) == (expected[0], [expected[1]])
    assert os.listdir(tmp_path) == []
    assert working > 0 and left == 0  # the engine's threads were at work, and were stopped


# ---------------------------------------------------------------------------
# Missing modules
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("module", ["psims", "numpy"])
def test_missing_module_for_mzml_is_named(run, tmp_path, monkeypatch, capsys, module):
    from corvex_tools import cli

    for name in [module] + [name for name in sys.modules if name.startswith(module + ".")]:
        monkeypatch.setitem(sys.modules, name, None)  # makes importing it fail
    for name in ("writers", "mzml_frame"):  # imported afresh, as if for the first time
        monkeypatch.delitem(sys.modules, f"corvex_tools.{name}", raising=False)
        monkeypatch.delattr(corvex_tools, name, raising=False)
    assert cli.main(["convert", run.path, "-o", str(tmp_path / "x.mzML")]) == 1
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"corvex: mzML output needs the Python module '{module}'")
    assert os.listdir(tmp_path) == []

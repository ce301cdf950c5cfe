"""RawReader's run metadata, instrument, calibration, ion-source, DDE, chromatogram and index views."""
import copy
import math
from decimal import Decimal
from importlib.metadata import version

import numpy as np
import pytest

import corvex
from wifffixture import Acquisition, Instrument, Sample, Scan, build, dda_sample

RUN_INFO_KEYS = ["source_file_name", "source_file_format", "native_id_format", "instrument",
                 "instrument_serial_number", "software_name", "software_version",
                 "acquisition_software_name", "acquisition_software_version", "start_timestamp",
                 "mobility_array_kind", "analyzers", "extra"]
CHROMATOGRAM_KEYS = ["index", "id", "chromatogram_type", "precursor_mz", "product_mz",
                     "time_sec", "intensity"]
SCAN_INDEX_KEYS = ["scan_offset", "scan_size", "retention_time_min", "ms_level", "tic"]
INSTRUMENT_KEYS = ["component_id", "manufacturer", "model_number", "serial_number"]
IDENTITY_KEYS = ["corvex.component_id", "corvex.manufacturer", "corvex.model_number"]

WIFF_FORMAT = {"accession": "MS:1000562", "name": "ABI WIFF format"}
NATIVE_ID_FORMAT = {"accession": "MS:1000776", "name": "scan number only nativeID format"}
FALLBACK = {"accession": "MS:1000121", "name": "SCIEX instrument model"}
TIC_TERM = {"accession": "MS:1000235", "name": "total ion current chromatogram"}


pytestmark = pytest.mark.usefixtures("watchdog")


def float_text(value, bits):
    """Shortest positional decimal that reads back to the value at its own width."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == 0:
        return "-0" if math.copysign(1.0, value) < 0 else "0"
    shortest = repr(float(value)) if bits == 64 else str(np.float32(value))
    text = format(Decimal(shortest), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def byte_ordered(mapping):
    return dict(sorted(mapping.items(), key=lambda item: item[0].encode("utf-8")))


def term(pair):
    return {"accession": pair[0], "name": pair[1]}


def model_run_info(expected, sample, file_name="run.wiff"):
    """run_info() as the fixture's decoded values predict it."""
    extra = {"corvex.sample": sample.name, "corvex.dde_record_count": str(len(sample.dde_mz))}
    info = sample.instrument
    if info is not None:
        extra["corvex.component_id"] = info["component_id"]
        if info["manufacturer"] is not None:
            extra["corvex.manufacturer"] = info["manufacturer"]
        if info["model_number"] is not None:
            extra["corvex.model_number"] = info["model_number"]
    if sample.calibration is not None:
        extra["corvex.calibration_slope"] = float_text(sample.calibration["slope"], 64)
        extra["corvex.calibration_intercept"] = float_text(sample.calibration["intercept"], 64)
    for name, value in sample.ion_source_parameters:
        extra["corvex.ion_source." + name] = float_text(value, 32)
    return {
        "source_file_name": file_name,
        "source_file_format": WIFF_FORMAT,
        "native_id_format": NATIVE_ID_FORMAT,
        "instrument": term(sample.instrument_term),
        "instrument_serial_number": info["serial_number"] if info else None,
        "software_name": "corvex",
        "software_version": version("corvex"),  # the distribution's, from the same source
        "acquisition_software_name": None,
        "acquisition_software_version": None,
        "start_timestamp": sample.creation_timestamp,
        "mobility_array_kind": None,
        "analyzers": [],
        "extra": byte_ordered(extra),
    }


def assert_same_layout(got, want):
    assert got == want
    assert list(got) == list(want)
    assert list(got["extra"]) == list(want["extra"])
    for key in ("source_file_format", "native_id_format", "instrument"):
        assert list(got[key]) == ["accession", "name"]


def open_one(tmp_path, sample=None, name="run", **acquisition_kwargs):
    sample = sample if sample is not None else dda_sample(cycles=1)
    expected = build(Acquisition(samples=[sample], **acquisition_kwargs), tmp_path, name=name)
    return corvex.RawReader(str(expected.wiff_path)), expected


# ---------------------------------------------------------------------------
# run_info
# ---------------------------------------------------------------------------

def test_run_info_of_a_complete_sample(tmp_path):
    reader, expected = open_one(tmp_path, dda_sample())
    sample = expected.sample()
    want = model_run_info(expected, sample)
    # The builder's defaults give the stock SCIEX TripleTOF values.
    assert want["instrument"] == {"accession": "MS:1002584", "name": "TripleTOF 5600+"}
    assert want["start_timestamp"] == "2019-04-17T18:40:00.123Z"
    assert_same_layout(reader.run_info(), want)
    assert list(reader.run_info()) == RUN_INFO_KEYS


def test_sample_without_optional_streams(tmp_path):
    sample = dda_sample(cycles=1, log=None, calibration=None, dde_mz=None)
    reader, expected = open_one(tmp_path, sample, methods=None, creation_time=None)
    got = reader.run_info()
    assert_same_layout(got, model_run_info(expected, expected.sample()))
    assert got["instrument"] == FALLBACK
    assert got["instrument_serial_number"] is None
    assert got["start_timestamp"] is None
    assert list(got["extra"].items()) == [("corvex.dde_record_count", "0"),
                                          ("corvex.sample", "Sample1")]
    assert reader.instrument_info() is None
    assert reader.calibration() is None
    assert reader.ion_source_parameters() == {}
    assert reader.dde_precursor_mz() == []
    assert {reader.read_spectrum(i).polarity for i in range(reader.scan_count)} == {None}


@pytest.mark.parametrize("log, accession, identity", [
    (None, "MS:1000121", False),
    (Instrument(component_id="API 4000"), "MS:1000121", True),
    (Instrument(), "MS:1002584", True),
    (Instrument(component_id="qtrap  5500", model_number=None, serial_number=None), "MS:1000931", True),
    (Instrument(component_id="ZenoTOF 7600 system", manufacturer="SCIEX"), "MS:1003293", True),
    (Instrument(manufacturer="Applied Biosystems"), "MS:1000121", False),
    ([Instrument(manufacturer="Applied Biosystems", component_id="API 3000"),
      Instrument(component_id="QTRAP 6500+", serial_number="AB12345")], "MS:1002582", True),
], ids=["no-log", "unknown-model", "tripletof-5600-plus", "no-model-no-serial", "zenotof",
        "not-sciex", "second-section"])
def test_instrument_term_and_identity(tmp_path, log, accession, identity):
    reader, expected = open_one(tmp_path, dda_sample(cycles=1, log=log))
    sample = expected.sample()
    assert (sample.instrument is not None) is identity
    got = reader.run_info()
    assert_same_layout(got, model_run_info(expected, sample))
    assert got["instrument"]["accession"] == accession
    present = [key for key in IDENTITY_KEYS if key in got["extra"]]
    info = reader.instrument_info()
    if not identity:
        assert info is None
        assert present == []
        assert got["instrument_serial_number"] is None
        return
    assert info == sample.instrument
    assert list(info) == INSTRUMENT_KEYS
    assert got["extra"]["corvex.component_id"] == info["component_id"]
    assert got["instrument_serial_number"] == info["serial_number"]
    assert "corvex.serial_number" not in got["extra"]
    assert present == [key for key, field in zip(IDENTITY_KEYS, INSTRUMENT_KEYS)
                       if info[field] is not None]


def test_component_id_outside_the_table_keeps_identity(tmp_path):
    log = Instrument(component_id="API 4000", manufacturer="AB SCIEX", model_number="77",
                     serial_number="Q42")
    reader, _ = open_one(tmp_path, dda_sample(cycles=1, log=log))
    got = reader.run_info()
    assert got["instrument"] == FALLBACK
    assert got["instrument_serial_number"] == "Q42"
    assert {key: got["extra"][key] for key in IDENTITY_KEYS} == {
        "corvex.component_id": "API 4000", "corvex.manufacturer": "AB SCIEX",
        "corvex.model_number": "77"}


def test_tripletof_5600_plus_system(tmp_path):
    reader, _ = open_one(tmp_path, dda_sample(cycles=1, log=Instrument(
        component_id="TripleTOF 5600+ System")))
    assert reader.run_info()["instrument"] == {"accession": "MS:1002584", "name": "TripleTOF 5600+"}
    assert reader.instrument_info()["component_id"] == "TripleTOF 5600+ System"


@pytest.mark.parametrize("dde_kwargs, count", [
    ({"dde_mz": None}, "0"),
    ({"dde_mz": [445.12, 611.375]}, "2"),
    ({"dde_mz": [445.12], "dde_trailing": b"\0" * 75}, "1"),
    ({"dde_bytes": b"\0" * 100}, "0"),
])
def test_dde_count_and_values(tmp_path, dde_kwargs, count):
    sample = dda_sample(cycles=2)
    for key, value in dde_kwargs.items():
        setattr(sample, key, value)
    reader, expected = open_one(tmp_path, sample)
    assert reader.run_info()["extra"]["corvex.dde_record_count"] == count
    assert reader.dde_precursor_mz() == expected.sample().dde_mz
    assert len(reader.dde_precursor_mz()) == int(count)


@pytest.mark.parametrize("calibration, slope_text, intercept_text", [
    ((2.0, -0.25), "2", "-0.25"),
    ((1.0e-7, 1.0e21), "0.0000001", "1" + "0" * 21),
    ((0.5, -0.0), "0.5", "-0"),
    ((float("inf"), float("-inf")), "inf", "-inf"),
    ((float("nan"), 0.1), "NaN", "0.1"),
])
def test_calibration_texts_and_values(tmp_path, calibration, slope_text, intercept_text):
    reader, _ = open_one(tmp_path, dda_sample(cycles=1, calibration=calibration))
    extra = reader.run_info()["extra"]
    assert extra["corvex.calibration_slope"] == slope_text
    assert extra["corvex.calibration_intercept"] == intercept_text
    got = reader.calibration()
    assert list(got) == ["slope", "intercept"]
    for key, value in zip(("slope", "intercept"), calibration):
        assert got[key] == value or (math.isnan(value) and math.isnan(got[key]))
        assert math.copysign(1.0, got[key]) == math.copysign(1.0, value)


def test_no_calibration_means_no_calibration_keys(tmp_path):
    reader, _ = open_one(tmp_path, dda_sample(cycles=1, calibration_bytes=b"\0" * 47))
    assert reader.calibration() is None
    assert not [k for k in reader.run_info()["extra"] if k.startswith("corvex.calibration")]


def test_ion_source_texts_are_32_bit_shortest(tmp_path):
    params = [("IS", 5500.0), ("GS1", 550.0), ("CUR", 0.3), ("TEM", 0.1), ("CAD", 1.0e-7),
              ("IHT", -40.0)]
    reader, expected = open_one(tmp_path, methods={1: params})
    extra = reader.run_info()["extra"]
    assert [(k, v) for k, v in extra.items() if k.startswith("corvex.ion_source.")] == [
        ("corvex.ion_source.CAD", "0.0000001"), ("corvex.ion_source.CUR", "0.3"),
        ("corvex.ion_source.GS1", "550"), ("corvex.ion_source.IHT", "-40"),
        ("corvex.ion_source.IS", "5500"), ("corvex.ion_source.TEM", "0.1")]
    got = reader.ion_source_parameters()
    assert list(got.items()) == [(name, float(np.float32(value))) for name, value in params]
    assert got["CUR"] == 0.30000001192092896
    assert expected.ion_source_parameters == list(got.items())


def test_duplicate_ion_source_names(tmp_path):
    params = [("IS", 5500.0), ("TEM", 450.0), ("IS", -4200.0), ("GS1", 50.0)]
    reader, expected = open_one(tmp_path, methods={1: params})
    assert list(reader.ion_source_parameters().items()) == [
        ("IS", -4200.0), ("TEM", 450.0), ("GS1", 50.0)]
    extra = reader.run_info()["extra"]
    assert extra["corvex.ion_source.IS"] == "-4200"
    assert sum(k == "corvex.ion_source.IS" for k in extra) == 1
    # The polarity still comes from the first "IS" in list order.
    assert expected.sample().polarity == "positive"
    assert reader.read_spectrum(0).polarity == "positive"


def test_ion_source_parameters_from_the_method_with_a_spray_voltage(tmp_path):
    methods = {1: [("TEM", 450.0)], 2: [("CUR", 25.0), ("ISVF", -4500.0)]}
    reader, expected = open_one(tmp_path, methods=methods)
    assert list(reader.ion_source_parameters().items()) == [("CUR", 25.0), ("ISVF", -4500.0)]
    assert_same_layout(reader.run_info(), model_run_info(expected, expected.sample()))


@pytest.mark.parametrize("file_name, source_file_name", [
    ("Run 01.WIFF", "Run 01.wiff"),
    ("a.b.wiff", "a.b.wiff"),
    ("run.wiff", "run.wiff"),
    ("acquisition", "acquisition.wiff"),
    (".hidden", ".hidden.wiff"),
    ("Ünïcode run.wiff", "Ünïcode run.wiff"),
])
def test_source_file_name_is_the_stem_with_wiff(tmp_path, file_name, source_file_name):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), tmp_path / "build")
    path = tmp_path / file_name
    expected.wiff_path.rename(path)
    expected.scan_path.rename(str(path) + ".scan")
    reader = corvex.RawReader(str(path))
    got = reader.run_info()
    assert got["source_file_name"] == source_file_name
    assert_same_layout(got, model_run_info(expected, expected.sample(), source_file_name))


def test_samples_of_one_file_share_the_start_time(tmp_path):
    acquisition = Acquisition(samples=[dda_sample("Sample1", cycles=1),
                                       dda_sample("Sample2", cycles=2, seed=2, log=None),
                                       dda_sample("Blank", cycles=1, seed=3, calibration=None)])
    expected = build(acquisition, tmp_path)
    stamps = set()
    for name in expected.sample_names:
        reader = corvex.open_sample(str(expected.wiff_path), name)
        got = reader.run_info()
        assert_same_layout(got, model_run_info(expected, expected.sample(name)))
        assert got["extra"]["corvex.sample"] == name
        stamps.add(got["start_timestamp"])
    assert stamps == {expected.creation_timestamp} == {"2019-04-17T18:40:00.123Z"}


def test_run_info_is_rebuilt_on_every_call(tmp_path):
    reader, _ = open_one(tmp_path)
    first = reader.run_info()
    pristine = copy.deepcopy(first)
    first["extra"].clear()
    first["instrument"]["name"] = "changed"
    first["analyzers"].append("tofms")
    second = reader.run_info()
    assert second == pristine
    assert second["instrument"] is not first["instrument"]


# ---------------------------------------------------------------------------
# Chromatograms
# ---------------------------------------------------------------------------

def tic_dict(time_sec, intensity):
    return {"index": 0, "id": "TIC", "chromatogram_type": TIC_TERM, "precursor_mz": None,
            "product_mz": None, "time_sec": time_sec, "intensity": intensity}


def test_tic_chromatogram_of_three_scans(tmp_path):
    scans = [Scan(points=[(1, 2)], retention_time_min=rt, tic=tic)
             for rt, tic in [(0.5, 10.0), (1.0, 20.0), (1.5, 30.0)]]
    reader, _ = open_one(tmp_path, Sample(scans=scans))
    got = reader.read_chromatograms()
    assert got == [tic_dict([30.0, 60.0, 90.0], [10.0, 20.0, 30.0])]
    assert list(got[0]) == CHROMATOGRAM_KEYS
    assert list(got[0]["chromatogram_type"]) == ["accession", "name"]


def test_tic_chromatogram_of_a_dda_sample_uses_32_bit_arithmetic(tmp_path):
    reader, expected = open_one(tmp_path, dda_sample(cycles=4, cycle_time_min=0.0371))
    idx = expected.sample().idx
    want_time = [float(np.float32(r["retention_time_min"]) * np.float32(60.0)) for r in idx]
    want_intensity = [float(np.float32(r["tic"])) for r in idx]
    assert reader.read_chromatograms() == [tic_dict(want_time, want_intensity)]
    # Spectra multiply in 64 bits, so the two time axes differ somewhere.
    spectrum_times = [reader.read_spectrum(i).retention_time_sec for i in range(reader.scan_count)]
    assert spectrum_times == [s.retention_time_sec for s in expected.sample().spectra]
    assert spectrum_times != want_time


def test_chromatogram_and_spectrum_times_differ_at_a_tenth_of_a_minute(tmp_path):
    reader, _ = open_one(tmp_path, Sample(scans=[Scan(points=[(1, 2)], retention_time_min=0.1)]))
    assert reader.read_chromatograms()[0]["time_sec"] == [6.0]
    assert reader.read_spectrum(0).retention_time_sec == 6.000000089406967


def test_tic_values_round_to_32_bit(tmp_path):
    scans = [Scan(points=[(1, 2)], retention_time_min=0.1 * k, tic=tic)
             for k, tic in enumerate([1e39, 2.0**24 + 1, -1e39, 1e-50])]
    reader, _ = open_one(tmp_path, Sample(scans=scans))
    intensity = reader.read_chromatograms()[0]["intensity"]
    assert intensity[:3] == [math.inf, 2.0**24, -math.inf]
    assert intensity[3] == 0.0
    # The index itself keeps the 64-bit values.
    assert [r["tic"] for r in reader.scan_index()] == [1e39, 2.0**24 + 1, -1e39, 1e-50]


def test_read_chromatograms_gives_fresh_equal_lists(tmp_path):
    reader, _ = open_one(tmp_path)
    first, second = reader.read_chromatograms(), reader.read_chromatograms()
    assert first == second and len(first) == 1
    assert first is not second
    assert first[0] is not second[0]
    for key in ("chromatogram_type", "time_sec", "intensity"):
        assert first[0][key] is not second[0][key]
    pristine = copy.deepcopy(second)
    first[0]["time_sec"].clear()
    first[0]["chromatogram_type"]["name"] = "x"
    first.clear()
    assert reader.read_chromatograms() == pristine


# ---------------------------------------------------------------------------
# Scan index and the other plain views
# ---------------------------------------------------------------------------

def test_scan_index_matches_the_decoded_records(tmp_path):
    scans = [Scan(points=[(1, 2)], retention_time_min=0.1),
             Scan(points=[(1, 3)], retention_time_min=0.2, level_code=0),
             Scan(points=[(1, 4)], retention_time_min=0.3, level_code=1, tic=0.25),
             Scan(points=[(1, 5)], retention_time_min=0.4, level_code=7)]
    sample = Sample(scans=scans, idx_junk_slots=[(1, 56), (3, 10)])
    reader, expected = open_one(tmp_path, sample)
    got = reader.scan_index()
    assert got == expected.sample().idx
    assert len(got) == 4
    assert [list(r) for r in got] == [SCAN_INDEX_KEYS] * 4
    assert got[0]["retention_time_min"] == 0.10000000149011612
    assert [r["ms_level"] for r in got] == [1, 2, 1, 2]
    assert [type(got[0][k]) for k in SCAN_INDEX_KEYS] == [int, int, float, int, float]


@pytest.mark.parametrize("method", ["run_info", "instrument_info", "calibration",
                                    "ion_source_parameters", "dde_precursor_mz",
                                    "read_chromatograms", "scan_index"])
def test_views_return_new_objects_each_call(tmp_path, method):
    reader, _ = open_one(tmp_path, dda_sample(cycles=2))
    first = getattr(reader, method)()
    pristine = copy.deepcopy(first)
    second = getattr(reader, method)()
    assert first == second == pristine
    assert first is not second
    first.clear()
    if isinstance(second, list) and second and isinstance(second[0], dict):
        second[0].clear()
    assert getattr(reader, method)() == pristine

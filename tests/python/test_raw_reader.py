"""Opening a sample with RawReader / open_sample and reading its spectra by position, and
the array layer (corvex_tools.open_run) giving the same values and errors."""
import contextlib
import math
import os

import numpy as np
import pytest

import corvex
import corvex_tools
from corvex_tools.centroid import CentroidParameters, centroid
from wifffixture import Acquisition, Sample, Scan, build, dda_sample, profile_spectrum
from wifffixture.tof_profile import TOF_PROFILE_CALIBRATION

SPECTRUM_PROPERTIES = [n for n in vars(corvex.Spectrum) if not n.startswith("__")]


pytestmark = pytest.mark.usefixtures("watchdog")


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def outcome(call):
    """("ok", value) or ("error", message) for a call that may raise RuntimeError."""
    try:
        return "ok", call()
    except RuntimeError as error:
        return "error", str(error)


def summed_tic(intensity):
    total = -0.0
    for value in intensity:
        total += value
    return total


def first_maximum(mz, intensity):
    if not intensity:
        return None, None
    best = 0
    for i in range(1, len(intensity)):
        if intensity[i] > intensity[best]:
            best = i
    return mz[best], intensity[best]


def expected_fields(spectrum, sample):
    """Every Spectrum property as the fixture's model predicts it."""
    base_mz, base_intensity = first_maximum(spectrum.mz, spectrum.intensity)
    precursor = None
    if spectrum.precursor is not None:
        precursor = {
            "target_mz": spectrum.precursor["target_mz"],
            "selected_mz": spectrum.precursor["selected_mz"],
            "isolation_width": None, "charge": None, "intensity": None,
            "collision_energy": None, "ce_is_nce": False,
            "precursor_native_id": spectrum.precursor["precursor_native_id"],
            "activation": None, "analyzer": None, "ccs": None,
        }
    assert float(spectrum.idx_tic).is_integer()  # sums of integer intensities
    return {
        "index": spectrum.index, "scan_number": spectrum.scan_number,
        "native_id": spectrum.native_id, "ms_level": spectrum.ms_level,
        "polarity": sample.polarity, "scan_mode": None, "analyzer": sample.analyzer,
        "acquisition_event_id": None, "filter": None,
        "retention_time_sec": spectrum.retention_time_sec,
        "total_ion_current": summed_tic(spectrum.intensity),
        "reported_total_ion_current": None,
        "base_peak_mz": base_mz, "reported_base_peak_mz": None,
        "base_peak_intensity": base_intensity, "reported_base_peak_intensity": None,
        "low_mz": None, "high_mz": None, "ion_injection_time_ms": None,
        "inv_mobility": None, "faims_cv": None,
        "precursor": precursor,
        "mz": spectrum.mz, "intensity": spectrum.intensity,
        "inv_mobility_per_peak": None,
        "extra": {"corvex.idx_tic_cps": "%d" % spectrum.idx_tic,
                  "corvex.scan_offset": str(spectrum.scan_offset),
                  "corvex.scan_size": str(spectrum.scan_size)},
    }


def actual_fields(spectrum):
    return {name: getattr(spectrum, name) for name in SPECTRUM_PROPERTIES}


def assert_spectra_match(reader, sample):
    assert reader.scan_count == len(sample.spectra)
    for i, exp in enumerate(sample.spectra):
        got = actual_fields(reader.read_spectrum(i))
        want = expected_fields(exp, sample)
        assert list(got) == list(want)
        for key in want:
            assert got[key] == want[key], (i, key)
            assert type(got[key]) is type(want[key]), (i, key)
        assert list(got["extra"]) == list(want["extra"])
        if got["precursor"] is not None:
            assert list(got["precursor"]) == list(want["precursor"])


def build_levels(tmp_path, levels, dde, **sample_kwargs):
    scans = [Scan(points=[(100 + 10 * i, 5 + i), (400, 90)], ms_level=level,
                  retention_time_min=0.25 * i) for i, level in enumerate(levels)]
    return build(Acquisition(samples=[Sample(scans=scans, dde_mz=dde, **sample_kwargs)]), tmp_path)


RAW_READER_METHODS = [
    ("read_spectrum", "($self, scan_index)", None),
    ("run_info", "($self)", None),
    ("instrument_info", "($self)", "Instrument identity decoded from the WIFF Log stream."),
    ("calibration", "($self)", "TOF m/z calibration coefficients, when present."),
    ("ion_source_parameters", "($self)",
     "Named ion source parameters decoded from the selected method."),
    ("dde_precursor_mz", "($self)",
     "Data-dependent precursor m/z values in their source stream order."),
    ("read_chromatograms", "($self)", None),
    ("scan_index", "($self)", "Decoded WIFF scan index values, including instrument-reported TIC."),
]


def test_raw_reader_attributes():
    public = {n for n in vars(corvex.RawReader) if not n.startswith("__")}
    assert public == {name for name, _, _ in RAW_READER_METHODS} | {"scan_count", "sample_name"}
    for name, signature, doc in RAW_READER_METHODS:
        method = getattr(corvex.RawReader, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc), name
    for name in ("scan_count", "sample_name"):
        assert vars(corvex.RawReader)[name].__doc__ is None


@pytest.mark.parametrize("name", ["scan_count", "sample_name", "path", "spectra"])
def test_raw_reader_is_read_only(tmp_path, name):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), tmp_path)
    reader = corvex.RawReader(path=str(expected.wiff_path))
    with pytest.raises(AttributeError):
        setattr(reader, name, 0)
    assert reader.scan_count == len(expected.sample().spectra)
    assert reader.sample_name == "Sample1"


# ---------------------------------------------------------------------------
# Whole-sample decoding
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("calibration", [(0.0005, 20.0), None], ids=["tof", "no-calibration"])
def test_every_spectrum_of_a_dda_sample_matches(tmp_path, calibration):
    expected = build(Acquisition(samples=[dda_sample(calibration=calibration)]), tmp_path)
    sample = expected.sample()
    assert sample.analyzer == ("tofms" if calibration else "tqms")
    reader = corvex.RawReader(str(expected.wiff_path))
    assert reader.sample_name == "Sample1"
    assert_spectra_match(reader, sample)


def test_open_sample_gives_the_same_spectra_as_raw_reader(tmp_path):
    expected = build(Acquisition(samples=[dda_sample("Blank", seed=7)]), tmp_path)
    reader = corvex.open_sample(path=str(expected.wiff_path), sample="Blank")
    assert reader.sample_name == "Blank"
    assert_spectra_match(reader, expected.sample("Blank"))


@pytest.mark.parametrize("stored, asked", [("Sample1", "SAMPLE1"), ("Échantillon Ω", "Échantillon Ω"),
                                           ("Échantillon Ω", "échantillon ω")])
def test_sample_names_are_used_as_given(tmp_path, stored, asked):
    # Storage names match case-insensitively; the reader keeps the name it was given.
    expected = build(Acquisition(samples=[dda_sample(stored, cycles=1)]), tmp_path)
    reader = corvex.open_sample(str(expected.wiff_path), asked)
    assert reader.sample_name == asked
    assert reader.run_info()["extra"]["corvex.sample"] == asked
    assert_spectra_match(reader, expected.sample(stored))
    assert corvex.RawReader(str(expected.wiff_path)).sample_name == stored


def test_multi_sample_file_needs_open_sample(tmp_path):
    acquisition = Acquisition(samples=[dda_sample("Sample10", seed=3, cycles=2),
                                       dda_sample("Sample2", seed=4, cycles=3)])
    expected = build(acquisition, tmp_path)
    path = str(expected.wiff_path)
    before = open_fds()
    with pytest.raises(RuntimeError) as info:
        corvex.RawReader(path)
    assert str(info.value) == (
        "parse error: %s contains 2 samples (Sample2, Sample10); Reader::open only supports a "
        "single-sample file - use Reader::open_sample to pick one" % path)
    assert open_fds() == before
    for name in expected.sample_names:
        reader = corvex.open_sample(path, name)
        assert reader.sample_name == name
        assert_spectra_match(reader, expected.sample(name))
    # Each sample's blocks lie at their own offsets in the shared scan file.
    assert corvex.open_sample(path, "Sample2").read_spectrum(0).mz != \
        corvex.open_sample(path, "Sample10").read_spectrum(0).mz


# ---------------------------------------------------------------------------
# Precursors of fragment scans
# ---------------------------------------------------------------------------

A, B = 445.12, 611.375


@pytest.mark.parametrize("dde, fourth", [([A, B], B), ([A], None)], ids=["two-dde", "one-dde"])
def test_fragments_take_the_dde_value_of_their_survey(tmp_path, dde, fourth):
    expected = build_levels(tmp_path, [1, 2, 2, 1, 2], dde)
    reader = corvex.RawReader(str(expected.wiff_path))
    got = [reader.read_spectrum(i).precursor for i in range(reader.scan_count)]
    assert got[0] is None and got[3] is None
    for position, mz, survey in [(1, A, "scan=1"), (2, A, "scan=1"), (4, fourth, "scan=4")]:
        assert got[position]["target_mz"] == mz
        assert got[position]["selected_mz"] == mz
        assert got[position]["precursor_native_id"] == survey
    assert_spectra_match(reader, expected.sample())


def test_first_scan_a_fragment_has_an_empty_precursor(tmp_path):
    expected = build_levels(tmp_path, [2, 1, 2], [A])
    reader = corvex.RawReader(str(expected.wiff_path))
    first = reader.read_spectrum(0)
    assert first.ms_level == 2
    assert first.precursor["target_mz"] is None
    assert first.precursor["selected_mz"] is None
    assert first.precursor["precursor_native_id"] is None
    assert reader.read_spectrum(2).precursor["precursor_native_id"] == "scan=2"
    assert reader.read_spectrum(2).precursor["target_mz"] == A
    assert_spectra_match(reader, expected.sample())


def test_native_ids_count_valid_index_records_only(tmp_path):
    # A junk Idx record (size <= 56) before the second scan is not a scan.
    scans = [Scan(points=[(5, 9)], retention_time_min=0.1 * i) for i in range(3)]
    expected = build(Acquisition(samples=[Sample(scans=scans, idx_junk_slots=[(1, 40)])]), tmp_path)
    reader = corvex.RawReader(str(expected.wiff_path))
    third = reader.read_spectrum(2)
    assert (third.index, third.scan_number, third.native_id) == (2, 3, "scan=3")
    assert_spectra_match(reader, expected.sample())


# ---------------------------------------------------------------------------
# Scan file problems
# ---------------------------------------------------------------------------

def past_end_acquisition():
    # Two small blocks, then a third Idx record at offset 400 in a 300-byte file.
    scans = [Scan(points=[(10, 5)]), Scan(points=[(12, 6)], retention_time_min=0.1),
             Scan(points=[(14, 7)], retention_time_min=0.2, scan_offset=400)]
    return Acquisition(samples=[Sample(scans=scans)], scan_file_trailing=b"\0" * 50)


PAST_END = ("vendor parser error: cannot read scan block for scan=3 at offset 400: scan block "
            "payload at offset 456 is past the end of the .wiff.scan file (300 bytes)")


@pytest.mark.parametrize("how", ["RawReader", "open_sample"])
def test_payload_past_end_fails_construction_and_leaves_nothing_open(tmp_path, how):
    expected = build(past_end_acquisition(), tmp_path)
    assert expected.scan_file_size == 300
    assert expected.sample().spectra[2].error == PAST_END
    path = str(expected.wiff_path)
    before = open_fds()
    for _ in range(3):
        with pytest.raises(RuntimeError) as info:
            if how == "RawReader":
                corvex.RawReader(path)
            else:
                corvex.open_sample(path, "Sample1")
        assert str(info.value) == PAST_END
    assert open_fds() == before


def test_payload_starting_exactly_at_the_end_is_past_it(tmp_path):
    size = build(Acquisition(samples=[dda_sample(cycles=1)]), tmp_path / "probe").scan_file_size
    sample = dda_sample(cycles=1)
    sample.scans[-1].scan_offset = size - 56
    expected = build(Acquisition(samples=[sample]), tmp_path)
    assert expected.scan_file_size == size
    last = expected.sample().spectra[-1]
    assert last.error is not None and last.error.endswith("(%d bytes)" % size)
    with pytest.raises(RuntimeError) as info:
        corvex.RawReader(str(expected.wiff_path))
    assert str(info.value) == last.error


def test_payload_offset_is_computed_without_32_bit_wraparound(tmp_path):
    # 0xFFFFFFF0 + 56 wraps to 40 in 32 bits, which lies inside the file.
    sample = dda_sample(cycles=1)
    sample.scans[0].scan_offset = 0xFFFFFFF0
    expected = build(Acquisition(samples=[sample]), tmp_path)
    error = expected.sample().spectra[0].error
    assert "at offset 4294967280: scan block payload at offset 4294967336 " in error
    with pytest.raises(RuntimeError) as info:
        corvex.RawReader(str(expected.wiff_path))
    assert str(info.value) == error


def test_empty_payload_is_an_empty_spectrum_not_an_error(tmp_path):
    # The second record claims offset 0, so the first scan's payload may not
    # reach past 0 + the read-ahead: nothing of it is read.
    scans = [Scan(points=[(10, 5), (20, 6)]), Scan(points=[(30, 7)], scan_offset=0),
             Scan(points=[(40, 8)])]
    expected = build(Acquisition(samples=[Sample(scans=scans)]), tmp_path)
    spectra = expected.sample().spectra
    assert spectra[0].mz == [] and all(s.error is None for s in spectra)
    reader = corvex.RawReader(str(expected.wiff_path))
    assert len(reader.read_spectrum(0)) == 0
    assert_spectra_match(reader, expected.sample())


@pytest.mark.parametrize("damage", ["truncated-file", "oversized-idx-size", "largest-idx-size"])
def test_scan_file_shorter_than_block_range_decodes_what_is_there(tmp_path, damage):
    probe = build(Acquisition(samples=[dda_sample(cycles=2, points_per_scan=60)]), tmp_path / "p")
    full = probe.sample().spectra
    sample = dda_sample(cycles=2, points_per_scan=60)
    kwargs = {}
    if damage == "truncated-file":
        kwargs["scan_file_truncate"] = probe.scan_file_size - 40
    elif damage == "oversized-idx-size":
        sample.scans[-1].scan_size = 1 << 20
    else:
        # offset + size + the read-ahead no longer fits 32 bits
        sample.scans[-1].scan_size = 0xFFFFFFFF
    expected = build(Acquisition(samples=[sample], **kwargs), tmp_path)
    spectra = expected.sample().spectra
    assert all(s.error is None for s in spectra)
    if damage == "truncated-file":
        assert 0 < len(spectra[-1].mz) < len(full[-1].mz)
    reader = corvex.RawReader(str(expected.wiff_path))
    assert_spectra_match(reader, expected.sample())


@pytest.mark.parametrize("via_open_sample", [False, True])
@pytest.mark.parametrize("wiff", ["present", "missing", "not-a-compound-file"])
def test_missing_scan_file_is_reported(tmp_path, wiff, via_open_sample):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)], write_scan_file=False), tmp_path)
    if wiff == "missing":
        expected.wiff_path.unlink()
    elif wiff == "not-a-compound-file":
        expected.wiff_path.write_bytes(b"plain text\n" * 100)
    path = str(expected.wiff_path)
    scan_missing = "parse error: .wiff.scan file not found: %s.scan" % path
    before = open_fds()
    with pytest.raises(RuntimeError) as info:
        if via_open_sample:
            corvex.open_sample(path, "Sample1")
        else:
            corvex.RawReader(path)
    if via_open_sample or wiff == "present":
        assert str(info.value) == scan_missing
    elif wiff == "missing":
        # RawReader lists the samples first, so the .wiff file's own error wins.
        assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    else:
        assert str(info.value).startswith("I/O error: ")
    assert open_fds() == before


@pytest.mark.parametrize("file_name", ["run.dat", "acquisition", "run.wiff.bak"])
def test_any_file_name_gets_scan_appended(tmp_path, file_name):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), tmp_path)
    path = tmp_path / file_name
    expected.wiff_path.rename(path)
    with pytest.raises(RuntimeError) as info:
        corvex.RawReader(str(path))
    assert str(info.value) == "parse error: .wiff.scan file not found: %s.scan" % path
    expected.scan_path.rename(str(path) + ".scan")
    reader = corvex.RawReader(str(path))
    assert_spectra_match(reader, expected.sample())


def test_empty_sample_subtree(tmp_path):
    expected = build(Acquisition(samples=[]), tmp_path)
    path = str(expected.wiff_path)
    with pytest.raises(RuntimeError) as info:
        corvex.RawReader(path)
    assert str(info.value) == "parse error: no sample subtrees found under 'SampleSubtree' in %s" % path


@pytest.mark.parametrize("knobs", [
    {"omit_idx": True},
    {"idx_truncate": 31},
    {"idx_bytes": b"\0" * 32 + b"\0" * 54 * 3},
], ids=["no-idx", "short-idx", "no-valid-record"])
def test_unusable_index_fails_opening(tmp_path, knobs):
    expected = build(Acquisition(samples=[dda_sample(cycles=1, **knobs)]), tmp_path)
    open_error = expected.sample().open_error
    assert open_error is not None
    before = open_fds()
    for call in (lambda: corvex.RawReader(str(expected.wiff_path)),
                 lambda: corvex.open_sample(str(expected.wiff_path), "Sample1")):
        with pytest.raises(RuntimeError) as info:
            call()
        if open_error.endswith("not found: "):
            assert str(info.value).startswith(open_error)
            assert len(str(info.value)) > len(open_error)
        else:
            assert str(info.value) == open_error
    assert open_fds() == before


def test_unknown_sample_name(tmp_path):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), tmp_path)
    before = open_fds()
    with pytest.raises(RuntimeError) as info:
        corvex.open_sample(str(expected.wiff_path), "X")
    prefix = "parse error: Stream 'SampleSubtree/X/Idx' not found: "
    assert str(info.value).startswith(prefix)
    assert len(str(info.value)) > len(prefix)
    assert open_fds() == before


def test_successful_construction_leaves_nothing_open(tmp_path):
    expected = build(Acquisition(samples=[dda_sample()]), tmp_path)
    before = open_fds()
    readers = [corvex.RawReader(str(expected.wiff_path)) for _ in range(5)]
    readers += [corvex.open_sample(str(expected.wiff_path), "Sample1") for _ in range(5)]
    for reader in readers:
        reader.read_spectrum(reader.scan_count - 1)
        reader.run_info()
        reader.read_chromatograms()
    assert open_fds() == before


# ---------------------------------------------------------------------------
# Per-scan values
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("minutes, seconds", [(0.5, 30.0), (0.1, 6.000000089406967)])
def test_retention_time_is_the_widened_minutes_times_sixty(tmp_path, minutes, seconds):
    scans = [Scan(points=[(3, 4)], retention_time_min=minutes)]
    expected = build(Acquisition(samples=[Sample(scans=scans)]), tmp_path)
    spectrum = corvex.RawReader(str(expected.wiff_path)).read_spectrum(0)
    assert spectrum.retention_time_sec == seconds
    assert spectrum.retention_time_sec == expected.sample().spectra[0].retention_time_sec


@pytest.mark.parametrize("tic, text", [(250.0, "250"), (0.25, "0.25")])
def test_index_tic_goes_to_extra_as_shortest_text(tmp_path, tic, text):
    scans = [Scan(points=[(3, 4), (9, 100)], tic=tic)]
    expected = build(Acquisition(samples=[Sample(scans=scans)]), tmp_path)
    spectrum = corvex.RawReader(str(expected.wiff_path)).read_spectrum(0)
    exp = expected.sample().spectra[0]
    assert list(spectrum.extra.items()) == [("corvex.idx_tic_cps", text),
                                            ("corvex.scan_offset", str(exp.scan_offset)),
                                            ("corvex.scan_size", str(exp.scan_size))]
    # The spectrum's own TIC comes from its peaks, never from the index.
    assert spectrum.total_ion_current == 104.0
    assert spectrum.reported_total_ion_current is None


@pytest.mark.parametrize("methods, polarity", [
    ({1: [("IS", 5500.0)]}, "positive"),
    ({1: [("ISVF", -4500.0)]}, "negative"),
    ({1: [("TEM", 450.0), ("ISVF", -4500.0), ("IS", 5500.0)]}, "negative"),
    ({1: [("TEM", 450.0)], 2: [("CUR", 30.0), ("IS", 5000.0)]}, "positive"),
    ({1: [("TEM", 450.0), ("is", -5.0)], 3: [("ISVF", -4200.0)]}, "negative"),
    ({1: [("IS", 0.0)]}, None),
    ({1: [("IS", -0.0)]}, None),
    ({1: [("ISVF", float("nan"))]}, None),
    ({1: [("IS", 0.0), ("ISVF", -4500.0)]}, None),
    ({1: [("TEM", 450.0)]}, None),
    (None, None),
])
def test_polarity_comes_from_the_first_spray_voltage(tmp_path, methods, polarity):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)], methods=methods), tmp_path)
    assert expected.sample().polarity == polarity
    reader = corvex.RawReader(str(expected.wiff_path))
    assert {reader.read_spectrum(i).polarity for i in range(reader.scan_count)} == {polarity}


def test_analyzer_follows_the_calibration(tmp_path):
    points = [(0, 10), (1000, 20)]
    for name, calibration, analyzer, mz in [
            ("tof", (2.0, -0.25), "tofms", [-0.25, 1999.75]),
            ("quad", None, "tqms", [0.0, 1000.0])]:
        scans = [Scan(points=points), Scan(points=points, ms_level=2)]
        expected = build(Acquisition(samples=[Sample(scans=scans, calibration=calibration)]),
                         tmp_path / name)
        reader = corvex.RawReader(str(expected.wiff_path))
        for i in range(2):
            spectrum = reader.read_spectrum(i)
            assert spectrum.analyzer == analyzer
            assert spectrum.mz == mz == expected.sample().spectra[i].mz


# ---------------------------------------------------------------------------
# read_spectrum and repr
# ---------------------------------------------------------------------------

@pytest.fixture
def dda_reader(tmp_path):
    expected = build(Acquisition(samples=[dda_sample(cycles=2)]), tmp_path)
    return corvex.RawReader(str(expected.wiff_path)), expected.sample()


@pytest.mark.parametrize("offset", [0, 1, 1000])
def test_read_spectrum_beyond_the_end(dda_reader, offset):
    reader, _ = dda_reader
    index = reader.scan_count + offset
    with pytest.raises(IndexError) as info:
        reader.read_spectrum(index)
    assert str(info.value) == "scan %d out of range" % index
    assert reader.read_spectrum(reader.scan_count - 1).index == reader.scan_count - 1


def test_read_spectrum_at_the_largest_unsigned_index(dda_reader):
    reader, _ = dda_reader
    with pytest.raises(IndexError) as info:
        reader.read_spectrum(2**64 - 1)
    assert str(info.value) == "scan 18446744073709551615 out of range"


@pytest.mark.parametrize("index", [-1, -(2**70), 2**64])
def test_read_spectrum_out_of_unsigned_range(dda_reader, index):
    reader, _ = dda_reader
    with pytest.raises(OverflowError) as info:
        reader.read_spectrum(index)
    assert info.value.__notes__ == ["while processing 'scan_index'"]


@pytest.mark.parametrize("value", ["1", 1.0, None])
def test_read_spectrum_rejects_non_integers(dda_reader, value):
    reader, _ = dda_reader
    with pytest.raises(TypeError) as info:
        reader.read_spectrum(value)
    assert info.value.__notes__ == ["while processing 'scan_index'"]


class Position:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value, position", [(True, 1), (False, 0), (Position(3), 3)])
def test_read_spectrum_accepts_integer_likes(dda_reader, value, position):
    reader, sample = dda_reader
    spectrum = reader.read_spectrum(value)
    assert spectrum.index == position
    assert spectrum.mz == sample.spectra[position].mz


def test_read_spectrum_keyword_argument(dda_reader):
    reader, _ = dda_reader
    assert reader.read_spectrum(scan_index=2).index == 2


def test_each_read_is_an_independent_copy(dda_reader):
    reader, sample = dda_reader
    first, second = reader.read_spectrum(1), reader.read_spectrum(1)
    assert first is not second
    assert actual_fields(first) == actual_fields(second)
    for spectrum in (first, second):
        spectrum.mz.append(1.0)
        spectrum.intensity.clear()
        spectrum.extra["corvex.scan_size"] = "0"
        spectrum.precursor["target_mz"] = -1.0
    mz, intensity, extra, precursor = (first.mz, first.intensity, first.extra, first.precursor)
    mz[0] = -5.0
    intensity.append(7.0)
    extra.clear()
    precursor.clear()
    third = reader.read_spectrum(1)
    for spectrum in (first, second, third):
        assert actual_fields(spectrum) == expected_fields(sample.spectra[1], sample)


def test_repr_shows_the_path_as_passed(tmp_path, monkeypatch):
    expected = build(Acquisition(samples=[dda_sample(cycles=2)]), tmp_path / "sub dir")
    monkeypatch.chdir(tmp_path)
    count = len(expected.sample().spectra)
    odd = tmp_path / "it's a \\ dir"
    odd.mkdir()
    for source in (expected.wiff_path, expected.scan_path):
        (odd / source.name).write_bytes(source.read_bytes())
    for path in ["sub dir/run.wiff", "./sub dir//run.wiff", str(expected.wiff_path),
                 "it's a \\ dir/run.wiff"]:
        reader = corvex.RawReader(path)
        assert repr(reader) == "RawReader('%s', %d scans)" % (path, count)
        assert reader.scan_count == count


def test_repr_of_open_sample_shows_the_path_not_the_sample(tmp_path, monkeypatch):
    acquisition = Acquisition(samples=[dda_sample("Sample1", cycles=1),
                                       dda_sample("Sample2", cycles=3, seed=5)])
    expected = build(acquisition, tmp_path)
    monkeypatch.chdir(tmp_path)
    reader = corvex.open_sample("run.wiff", "Sample2")
    assert repr(reader) == "RawReader('run.wiff', %d scans)" % len(expected.sample("Sample2").spectra)
    assert reader.sample_name == "Sample2"



# ---------------------------------------------------------------------------
# The array layer (corvex_tools.open_run) against corvex, on varied and
# damaged acquisitions: every column, every peak array bit for bit, every
# metadata view, every error text.
# ---------------------------------------------------------------------------

def array_cases():
    def levels(levels, dde, **kwargs):
        return Acquisition(samples=[Sample(scans=[Scan(points=[(100 + 10 * i, 5 + i), (400, 90)], ms_level=level,
                                                         retention_time_min=0.25 * i)
                                                    for i, level in enumerate(levels)], dde_mz=dde, **kwargs)])

    def damaged(changes):
        sample = dda_sample(cycles=2, points_per_scan=60)
        for (k, field), value in changes.items():
            setattr(sample.scans[k], field, value)
        return Acquisition(samples=[sample])

    zeros = Sample(scans=[Scan(points=[(5, 0), (9, 3), (9, 0), (12, 0xFFFFFFFE), (70000, 16777217)]),
                          Scan(points=[(1, 0)], ms_level=2)])
    raw = Sample(scans=[Scan(payload=bytes(range(256))), Scan(payload=b"\xff" * 40, ms_level=2),
                        Scan(points=[(3, 5)], end_marker=False)], calibration=(-0.25, 1e3))
    two = [dda_sample("Sample10", seed=3, cycles=2), dda_sample("Sample2", seed=4, cycles=1)]

    def tof_profile(calibration):
        # Peaks from known ions (isolated, close pairs, saturated, cut by the
        # ends of the range), over a sparse and over a dense baseline.
        rng = np.random.default_rng(7)
        spectra = [profile_spectrum(rng, isolated=40, edges=True),
                   profile_spectrum(rng, baseline=4.0, mz_range=(500.0, 530.0), isolated=10, pairs=(1.5,))]
        return Acquisition(samples=[Sample(scans=[Scan(points=s.points(), retention_time_min=0.01 * k)
                                                  for k, s in enumerate(spectra)], calibration=calibration)])

    return {
        "tof-profile": (tof_profile(TOF_PROFILE_CALIBRATION), None),
        "tof-profile-no-calibration": (tof_profile(None), None),
        "dda-tof": (Acquisition(samples=[dda_sample(cycles=3)]), None),
        "dda-no-calibration": (Acquisition(samples=[dda_sample(cycles=2, calibration=None)]), None),
        "two-dde": (levels([1, 2, 2, 1, 2], [A, B]), None),
        "one-dde": (levels([1, 2, 2, 1, 2], [A]), None),
        "fragment-first": (levels([2, 1, 2], [A]), None),
        "junk-index-slot": (Acquisition(samples=[Sample(scans=[Scan(points=[(5, 9)], retention_time_min=0.1 * i)
                                                               for i in range(3)], idx_junk_slots=[(1, 40)])]), None),
        "zero-intensities": (Acquisition(samples=[zeros]), None),
        "raw-payloads": (Acquisition(samples=[raw]), None),
        "negative-polarity": (Acquisition(samples=[dda_sample(cycles=1)], methods={1: [("ISVF", -4500.0)]}), None),
        "no-polarity": (Acquisition(samples=[dda_sample(cycles=1)], methods=None), None),
        "past-end": (past_end_acquisition(), None),
        "offset-wraparound": (damaged({(0, "scan_offset"): 0xFFFFFFF0}), None),
        "damaged-in-the-middle": (damaged({(2, "scan_offset"): 1 << 30, (5, "scan_offset"): 1 << 31}), None),
        "empty-payload": (Acquisition(samples=[Sample(scans=[Scan(points=[(10, 5)]), Scan(points=[(30, 7)], scan_offset=0),
                                                             Scan(points=[(40, 8)])])]), None),
        "truncated-file": (Acquisition(samples=[dda_sample(cycles=2, points_per_scan=60)], scan_file_truncate=900), None),
        "oversized-index-size": (damaged({(7, "scan_size"): 1 << 20}), None),
        "largest-index-size": (damaged({(7, "scan_size"): 0xFFFFFFFF}), None),
        "two-samples-first": (Acquisition(samples=two), "Sample2"),
        "two-samples-second": (Acquisition(samples=two), "Sample10"),
        "two-samples-unnamed": (Acquisition(samples=two), None),
        "unknown-sample": (Acquisition(samples=[dda_sample(cycles=1)]), "X"),
        "no-scan-file": (Acquisition(samples=[dda_sample(cycles=1)], write_scan_file=False), None),
        "empty-sample-subtree": (Acquisition(samples=[]), None),
        "no-index": (Acquisition(samples=[dda_sample(cycles=1, omit_idx=True)]), None),
        "short-index": (Acquisition(samples=[dda_sample(cycles=1, idx_truncate=31)]), None),
    }


ARRAY_CASES = array_cases()


def float_bits(values):
    """The bit patterns of values widened exactly to float64."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def corvex_stream(path, sample):
    """What corvex streams: its spectra, and the text of the error that ended them."""
    spectra = []
    try:
        for spectrum in corvex.iter_spectra(path, sample):
            spectra.append(spectrum)
    except RuntimeError as error:
        return spectra, str(error)
    return spectra, None


def assert_columns_match(run, model):
    columns = run.spectra
    assert list(columns) == ["position", "scan_number", "native_id", "ms_level", "polarity",
                             "retention_time_sec", "reported_tic_cps", "precursor_mz", "survey_position",
                             "scan_offset", "scan_size"]
    assert {name: str(array.dtype) for name, array in columns.items()} == {
        "position": "int64", "scan_number": "int64", "native_id": "object", "ms_level": "int64",
        "polarity": "object", "retention_time_sec": "float64", "reported_tic_cps": "float64",
        "precursor_mz": "float64", "survey_position": "int64", "scan_offset": "int64", "scan_size": "int64"}
    assert not any(array.flags.writeable for array in columns.values())
    assert columns["position"].tolist() == [s.index for s in model.spectra]
    assert columns["scan_number"].tolist() == [s.scan_number for s in model.spectra]
    assert columns["native_id"].tolist() == [s.native_id for s in model.spectra]
    assert columns["ms_level"].tolist() == [s.ms_level for s in model.spectra]
    assert columns["polarity"].tolist() == [model.polarity] * len(model.spectra)
    assert float_bits(columns["retention_time_sec"]) == float_bits([s.retention_time_sec for s in model.spectra])
    assert float_bits(columns["reported_tic_cps"]) == float_bits([s.idx_tic for s in model.spectra])
    mz = [s.precursor["selected_mz"] if s.precursor else None for s in model.spectra]
    assert float_bits(columns["precursor_mz"]) == float_bits([math.nan if m is None else m for m in mz])
    surveys = [int(s.precursor["precursor_native_id"][5:]) - 1
               if s.precursor and s.precursor["precursor_native_id"] else -1 for s in model.spectra]
    assert columns["survey_position"].tolist() == surveys
    assert columns["scan_offset"].tolist() == [s.scan_offset for s in model.spectra]
    assert columns["scan_size"].tolist() == [s.scan_size for s in model.spectra]


# Under these parameters the fixture's scattered points give a centroid
# almost each, so that every conversion of the centroids is compared; the
# defaults find the peaks of the TOF profile cases.
PERMISSIVE = CentroidParameters(min_snr=0.0, min_points=1, single_point_peaks=True)


class Picked:
    """What the array layer should give for a spectrum with centroid=parameters:
    corvex_tools.centroid applied to the profile points the fixture wrote for
    it, with the run's calibration (without one, m/z is the channel index)."""

    def __init__(self, spectrum, points, calibration, parameters):
        self.index, self.ms_level = spectrum.index, spectrum.ms_level
        self.retention_time_sec = spectrum.retention_time_sec
        kept = [(channel, count) for channel, count in points if count]
        channels = np.array([c for c, _ in kept], dtype=np.uint32)
        counts = np.array([v for _, v in kept], dtype=np.float32)
        peaks = centroid(channels, counts, calibration, None if parameters is True else parameters)
        self.mz = peaks.channel if calibration is None else peaks.mz
        self.intensity = peaks.intensity
        self.total_ion_current = summed_tic(self.intensity.tolist())
        self.base_peak_mz, self.base_peak_intensity = first_maximum(self.mz.tolist(), self.intensity.tolist())


def assert_peaks_equal(got, spectrum):
    mz, intensity = got
    assert (mz.dtype, intensity.dtype) == (np.float64, np.float32)
    assert float_bits(mz) == float_bits(spectrum.mz)
    assert float_bits(intensity) == float_bits(spectrum.intensity)


def assert_arrays_match_corvex(expected, sample):
    """open_run's every view of the sample against corvex's for the same input."""
    path = str(expected.wiff_path)
    before = open_fds()
    spectra, stream_error = corvex_stream(path, sample)
    opened = outcome(lambda: corvex_tools.open_run(path, sample))
    if opened[0] == "error":
        # Only the opening can have failed: corvex fails the same way, first thing.
        assert (spectra, stream_error) == ([], opened[1])
        assert open_fds() == before
        return
    run = opened[1]
    model = expected.sample(sample or expected.sample_names[0])
    reader = outcome(lambda: corvex.open_sample(path, run.sample_name))
    assert (run.sample_name, run.scan_count, len(run)) == (model.name if sample is None else sample,
                                                           len(model.spectra), len(model.spectra))
    assert (run.path, run.scan_file_size) == (path, expected.scan_file_size)
    assert_columns_match(run, model)
    if reader[0] == "ok":
        for view in ("run_info", "instrument_info", "calibration", "ion_source_parameters", "dde_precursor_mz",
                     "read_chromatograms", "scan_index"):
            assert getattr(run, view)() == getattr(reader[1], view)(), view
    else:
        assert reader[1] == stream_error

    assert_peak_paths_match(run, model, spectra, stream_error)
    # Centroided: every path gives the picker's centroids of the same points
    # and fails where the profile peaks fail.
    calibration = run.calibration()
    for parameters in (True, PERMISSIVE):
        picked = [Picked(s, model.spectra[s.index].points, calibration, parameters) for s in spectra]
        assert_peak_paths_match(run, model, picked, stream_error, centroid=parameters)
    for position in (len(model.spectra), -len(model.spectra) - 1):
        with pytest.raises(IndexError):
            run.peaks(position)
    del run
    assert open_fds() == before


def assert_peak_paths_match(run, model, spectra, stream_error, centroid=False):
    """One spectrum at a time, streamed, loaded on one and on every thread:
    the peaks of `spectra` up to corvex's first error, then that error; every
    later damaged scan fails with its own text."""
    for spectrum in spectra:
        assert_peaks_equal(run.peaks(spectrum.index, centroid=centroid), spectrum)
    streamed = []
    with pytest.raises(RuntimeError) if stream_error else contextlib.nullcontext() as raised:
        for position, mz, intensity in run.iter_peaks(centroid=centroid):
            streamed.append((position, mz, intensity))
    assert [p for p, _, _ in streamed] == [s.index for s in spectra]
    for (_, mz, intensity), spectrum in zip(streamed, spectra):
        assert_peaks_equal((mz, intensity), spectrum)
    for damaged in (s for s in model.spectra if s.error):
        with pytest.raises(RuntimeError) as failure:
            run.peaks(damaged.index, centroid=centroid)
        assert str(failure.value) == damaged.error
    if stream_error:
        assert str(raised.value) == stream_error == next(s.error for s in model.spectra if s.error)
        with pytest.raises(RuntimeError) as failure:
            run.load(centroid=centroid)
        assert str(failure.value) == stream_error
        return
    assert_loaded_match(run.load(centroid=centroid), spectra)
    assert_loaded_match(run.load(threads=1, centroid=centroid), spectra)
    assert_loaded_match(run.load(threads=3, centroid=centroid), spectra)
    assert_loaded_match(run.load(ms_level=2, centroid=centroid), [s for s in spectra if s.ms_level == 2])
    times = run.spectra["retention_time_sec"]
    first, last = (times[0], times[len(times) // 2]) if len(times) else (0.0, 0.0)
    inside = [s for s in spectra if first <= s.retention_time_sec <= last]
    assert_loaded_match(run.load(rt_range=(first, last), centroid=centroid), inside)
    assert [p for p, _, _ in run.iter_peaks(ms_level=1, rt_range=(first, last), centroid=centroid)] == \
        [s.index for s in inside if s.ms_level == 1]
    # Reversed: empty unless both ends are the same time.
    assert run.load(ms_level=1, rt_range=(last, first), centroid=centroid).index.tolist() == \
        [s.index for s in spectra if s.ms_level == 1 and last <= s.retention_time_sec <= first]


def assert_loaded_match(peaks, spectra):
    assert peaks.index.tolist() == [s.index for s in spectra]
    assert peaks.offsets.tolist() == np.cumsum([0] + [len(s.mz) for s in spectra]).tolist()
    assert len(peaks) == len(spectra)
    for k, spectrum in enumerate(spectra):
        assert_peaks_equal(peaks[k], spectrum)
        empty = len(spectrum.mz) == 0
        assert float_bits(peaks.total_ion_current[k]) == float_bits(spectrum.total_ion_current)
        assert float_bits(peaks.base_peak_mz[k]) == float_bits(math.nan if empty else spectrum.base_peak_mz)
        assert float_bits(peaks.base_peak_intensity[k]) == \
            float_bits(np.float32(math.nan) if empty else spectrum.base_peak_intensity)
        assert float_bits([peaks.lowest_mz[k], peaks.highest_mz[k]]) == \
            float_bits([math.nan, math.nan] if empty else [np.min(spectrum.mz), np.max(spectrum.mz)])
        assert peaks.peak_count[k] == len(spectrum.mz)
    assert [p for p, _, _ in peaks] == peaks.index.tolist()


@pytest.mark.parametrize("case", list(ARRAY_CASES))
def test_array_layer_matches_corvex(tmp_path, case):
    acquisition, sample = ARRAY_CASES[case]
    assert_arrays_match_corvex(build(acquisition, tmp_path), sample)

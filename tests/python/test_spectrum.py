"""The Spectrum class: its properties, their values, len, truth value and repr."""
import dataclasses
import math
import struct

import numpy as np
import pytest

import corvex
from wifffixture import Acquisition, Sample, Scan, build, dda_sample

PROPERTIES = [
    "index", "scan_number", "native_id", "ms_level", "polarity", "scan_mode", "analyzer",
    "acquisition_event_id", "filter", "retention_time_sec", "total_ion_current",
    "reported_total_ion_current", "base_peak_mz", "reported_base_peak_mz", "base_peak_intensity",
    "reported_base_peak_intensity", "low_mz", "high_mz", "ion_injection_time_ms", "inv_mobility",
    "faims_cv", "precursor", "mz", "intensity", "inv_mobility_per_peak", "extra",
]

PRECURSOR_KEYS = ["target_mz", "selected_mz", "isolation_width", "charge", "intensity",
                  "collision_energy", "ce_is_nce", "precursor_native_id", "activation",
                  "analyzer", "ccs"]


pytestmark = pytest.mark.usefixtures("watchdog")


def read_all(tmp_path, scans, **sample_kwargs):
    nan_at = [k for k, scan in enumerate(scans) if math.isnan(scan.retention_time_min)]
    if nan_at:
        # The builder checks its Idx writer by comparing decoded values with ==,
        # which a NaN never passes: write 0 there, then patch in the NaN and
        # hand the builder the patched stream as raw bytes.
        plain = [dataclasses.replace(scan, retention_time_min=0.0) for scan in scans]
        first = build(Acquisition(samples=[Sample(scans=plain, **sample_kwargs)]), tmp_path)
        idx = bytearray(first.streams["SampleSubtree/Sample1/Idx"])
        for k in nan_at:
            struct.pack_into("<f", idx, 32 + 54 * k + 12, float("nan"))
        sample_kwargs["idx_bytes"] = bytes(idx)
    expected = build(Acquisition(samples=[Sample(scans=scans, **sample_kwargs)]), tmp_path)
    reader = corvex.RawReader(str(expected.wiff_path))
    return [reader.read_spectrum(i) for i in range(reader.scan_count)], expected.sample().spectra


@pytest.fixture
def dda_spectra(tmp_path):
    expected = build(Acquisition(samples=[dda_sample(cycles=2, ms2_per_cycle=2)]), tmp_path)
    reader = corvex.RawReader(str(expected.wiff_path))
    return [reader.read_spectrum(i) for i in range(reader.scan_count)], expected.sample().spectra


def test_properties_in_declaration_order():
    assert [n for n in vars(corvex.Spectrum) if not n.startswith("__")] == PROPERTIES
    for name in PROPERTIES:
        assert vars(corvex.Spectrum)[name].__doc__ is None, name


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(dda_spectra, name):
    spectrum = dda_spectra[0][1]
    before = getattr(spectrum, name)
    with pytest.raises(AttributeError):
        setattr(spectrum, name, before)
    with pytest.raises(AttributeError):
        delattr(spectrum, name)
    assert getattr(spectrum, name) == before


def test_no_new_attributes_can_be_added(dda_spectra):
    with pytest.raises(AttributeError):
        dda_spectra[0][0].comment = "x"


@pytest.mark.parametrize("name", ["mz", "intensity", "extra", "precursor"])
def test_containers_are_new_on_every_access(dda_spectra, name):
    spectrum = dda_spectra[0][1]
    first = getattr(spectrum, name)
    original = type(first)(first)
    assert getattr(spectrum, name) is not first
    first.clear()
    assert getattr(spectrum, name) == original


def test_identity_semantics(dda_spectra):
    spectra, _ = dda_spectra
    a, b = spectra[0], spectra[1]
    assert a == a and a != b
    assert len({a, b, a}) == 2
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_len_and_peak_lists_agree(dda_spectra):
    spectra, model = dda_spectra
    for spectrum, exp in zip(spectra, model):
        assert len(spectrum) == len(spectrum.mz) == len(spectrum.intensity) == len(exp.mz)
        assert bool(spectrum) is (len(exp.mz) > 0)


def test_precursor_dict_layout(dda_spectra):
    spectra, model = dda_spectra
    fragments = 0
    for spectrum, exp in zip(spectra, model):
        if exp.ms_level == 1:
            assert spectrum.precursor is None
            continue
        fragments += 1
        precursor = spectrum.precursor
        assert list(precursor) == PRECURSOR_KEYS
        assert precursor == dict(
            target_mz=exp.precursor["target_mz"], selected_mz=exp.precursor["selected_mz"],
            isolation_width=None, charge=None, intensity=None, collision_energy=None,
            ce_is_nce=False, precursor_native_id=exp.precursor["precursor_native_id"],
            activation=None, analyzer=None, ccs=None)
        assert precursor["ce_is_nce"] is False
        assert type(precursor["target_mz"]) is float
    assert fragments == 4


# ---------------------------------------------------------------------------
# Derived values
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("points", [(), [(5, 0), (90, 0)]], ids=["no-points", "zero-intensities"])
def test_spectrum_without_peaks(tmp_path, points):
    spectra, model = read_all(tmp_path, [Scan(points=points), Scan(points=[(4, 2)], ms_level=2)])
    empty = spectra[0]
    assert model[0].mz == [] and model[0].error is None
    assert len(empty) == 0
    assert not empty
    assert empty.mz == [] and empty.intensity == []
    assert empty.total_ion_current == 0.0
    assert math.copysign(1.0, empty.total_ion_current) == -1.0
    assert empty.base_peak_mz is None and empty.base_peak_intensity is None
    assert repr(empty) == "Spectrum(0 peaks, RT 0.00s)"
    # The scan after it still decodes.
    assert spectra[1].intensity == [2.0] and spectra[1]


@pytest.mark.parametrize("calibration", [None, (0.5, 100.0)])
def test_base_peak_ties_keep_the_first(tmp_path, calibration):
    points = [(100, 1), (200, 3), (300, 3)]
    spectra, model = read_all(tmp_path, [Scan(points=points)], calibration=calibration)
    spectrum = spectra[0]
    want_mz = 200.0 if calibration is None else 100.0 + 0.5 * 200
    assert (spectrum.base_peak_mz, spectrum.base_peak_intensity) == (want_mz, 3.0)
    assert spectrum.base_peak_mz == model[0].mz[1]
    assert spectrum.reported_base_peak_mz is None
    assert spectrum.reported_base_peak_intensity is None


def test_intensities_are_32_bit_values_widened(tmp_path):
    # 2^24 + 1 has no 32-bit float; neither has 2^32 - 2.
    points = [(1, 16777217), (2, 16777217), (3, 4294967294), (4, 7)]
    spectra, model = read_all(tmp_path, [Scan(points=points, tic=1.0)])
    spectrum = spectra[0]
    widened = [float(np.float32(v)) for _, v in points]
    assert widened == [16777216.0, 16777216.0, 4294967296.0, 7.0]
    assert spectrum.intensity == widened == model[0].intensity
    assert spectrum.total_ion_current == 16777216.0 * 2 + 4294967296.0 + 7.0
    assert spectrum.base_peak_intensity == 4294967296.0
    assert spectrum.base_peak_mz == model[0].mz[2]
    assert spectrum.reported_total_ion_current is None


# ---------------------------------------------------------------------------
# repr
# ---------------------------------------------------------------------------

def rt_text(seconds):
    if math.isnan(seconds):
        return "NaN"
    if math.isinf(seconds):
        return "inf" if seconds > 0 else "-inf"
    return "%.2f" % seconds


MINUTES = [
    0.0, -0.0,
    0.03125, 0.09375, -0.03125,       # 1.875 s, 5.625 s, -1.875 s: exact ties
    12.345 / 60, 0.125 / 60, 2.675 / 60, 1.005 / 60,
    0.1, 1e-9, -1e-9, 1000.5,
    float(np.finfo(np.float32).max),  # 2.04e40 s: every digit before the point
    float("nan"), float("inf"), float("-inf"),
]


@pytest.mark.parametrize("minutes", MINUTES)
def test_repr_rounds_the_retention_time_to_two_decimals(tmp_path, minutes):
    points = [(10 * k, 1 + k) for k in range(3)] + [(50, 0)]
    spectra, model = read_all(tmp_path, [Scan(points=points, retention_time_min=minutes)])
    seconds = model[0].retention_time_sec
    assert spectra[0].retention_time_sec == seconds or (math.isnan(seconds)
                                                         and math.isnan(spectra[0].retention_time_sec))
    assert repr(spectra[0]) == "Spectrum(3 peaks, RT %ss)" % rt_text(seconds)


@pytest.mark.parametrize("minutes, text", [(0.03125, "1.88"), (0.09375, "5.62"),
                                           (-0.03125, "-1.88"), (-0.0, "-0.00")])
def test_repr_ties_go_to_the_even_digit(tmp_path, minutes, text):
    spectra, _ = read_all(tmp_path, [Scan(points=[(1, 1)], retention_time_min=minutes)])
    assert repr(spectra[0]) == "Spectrum(1 peaks, RT %ss)" % text


def test_repr_of_a_large_spectrum(tmp_path):
    points = [(3 * k, 1 + k % 200) for k in range(1234)]
    spectra, model = read_all(tmp_path, [Scan(points=points, retention_time_min=12.345 / 60)])
    assert len(spectra[0]) == 1234
    assert repr(spectra[0]) == "Spectrum(1234 peaks, RT %.2fs)" % model[0].retention_time_sec

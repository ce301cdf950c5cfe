"""The peak picker against the ground truth of TOF profile spectra drawn
from known ions, written to a .wiff pair and read back by corvex: the
channels are recovered from corvex's m/z and the calibration, so the picker
sees exactly the points the reader decodes. The array layer's centroids
(Run.load(centroid=True)) are held to the same recall and accuracy."""

import concurrent.futures
import dataclasses

import numpy as np
import pytest

import corvex
import corvex_tools
from corvex_tools import _native
from corvex_tools.centroid import CentroidParameters, CentroidPicker, centroid
from wifffixture.tof_profile import (FWHM_PER_SIGMA, SATURATION, ProfileSpectrum,
                                     build_tof_profile_run, match_ions, profile_spectrum)

SEED = 20240518
# Sparse: most channels without a count, as in TOF survey scans; dense: a
# baseline of 4 counts per channel over a narrower range.
NOISE_MODELS = {
    "sparse": dict(baseline=0.02),
    "dense": dict(baseline=4.0, mz_range=(500.0, 560.0), isolated=20, pairs=(1.5, 2.0), saturated=1),
}
ION_SPECTRA = 12
NOISE_SPECTRA = 6


def decoded(reader, i, calibration):
    """(channels, intensities) of scan i as corvex decodes them."""
    spectrum = reader.read_spectrum(i)
    mz = np.asarray(spectrum.mz)
    channels = np.rint((mz - calibration["intercept"]) / calibration["slope"]).astype(np.uint32)
    return channels, np.asarray(spectrum.intensity, dtype=np.float32)


@pytest.fixture(scope="module", params=sorted(NOISE_MODELS))
def ground_truth(request, tmp_path_factory):
    """(truth, picked) per spectrum: ion spectra first, then noise-only ones."""
    rng = np.random.default_rng([SEED, sorted(NOISE_MODELS).index(request.param)])
    model = NOISE_MODELS[request.param]
    spectra = [profile_spectrum(rng, edges=k % 3 == 0, **model) for k in range(ION_SPECTRA)]
    quiet = {key: value for key, value in model.items() if key in ("baseline", "mz_range")}
    spectra += [profile_spectrum(rng, isolated=0, pairs=(), saturated=0, **quiet)
                for _ in range(NOISE_SPECTRA)]
    run = build_tof_profile_run(tmp_path_factory.mktemp(request.param), spectra)
    reader = corvex.RawReader(str(run.expected.wiff_path))
    calibration = reader.calibration()
    picked = {}
    for position in ("half_height_centroid", "gaussian_fit"):
        picked[position] = []
        for i, truth in enumerate(spectra):
            channels, intensities = decoded(reader, i, calibration)
            np.testing.assert_array_equal(channels, truth.channels)
            picked[position].append(centroid(channels, intensities, calibration,
                                             CentroidParameters(position=position)))
    # The array layer's: picked beside the decoding, on every core.
    picked["load"] = [mz for _, mz, _ in corvex_tools.open_run(str(run.expected.wiff_path)).load(centroid=True)]
    return spectra, picked


def ion_spectra(ground_truth, position="half_height_centroid"):
    """(truth, centroid m/z) of the spectra with ions."""
    spectra, picked = ground_truth
    found = [peaks if position == "load" else peaks.mz for peaks in picked[position][:ION_SPECTRA]]
    return list(zip(spectra[:ION_SPECTRA], found))


def isolated_errors_ppm(ground_truth, position):
    errors = []
    for truth, mz in ion_spectra(ground_truth, position):
        matched = match_ions(truth.ions, mz)
        for ion, j in zip(truth.ions, matched):
            if ion.kind == "isolated" and ion.snr >= 10 and j >= 0:
                errors.append(abs(mz[j] - ion.mz) / ion.mz * 1e6)
    return np.array(errors)


@pytest.mark.parametrize("position", ["half_height_centroid", "load"])
def test_recall_of_ions_with_snr_10(ground_truth, position):
    found = total = 0
    for truth, mz in ion_spectra(ground_truth, position):
        matched = match_ions(truth.ions, mz)
        strong = np.array([ion.snr >= 10 for ion in truth.ions])
        found += int((matched[strong] >= 0).sum())
        total += int(strong.sum())
    assert total > 150
    assert found / total >= 0.99


@pytest.mark.parametrize("position", ["half_height_centroid", "load"])
def test_mz_accuracy_of_isolated_peaks(ground_truth, position):
    errors = isolated_errors_ppm(ground_truth, position)
    assert len(errors) > 150
    assert np.median(errors) <= 1.0
    assert np.percentile(errors, 99) <= 5.0


def test_default_position_is_the_more_accurate(ground_truth):
    centroid_errors = isolated_errors_ppm(ground_truth, "half_height_centroid")
    fit_errors = isolated_errors_ppm(ground_truth, "gaussian_fit")
    assert np.median(centroid_errors) < np.median(fit_errors)
    assert np.percentile(centroid_errors, 99) < np.percentile(fit_errors, 99)


def test_pairs_from_1_5_fwhm_are_resolved(ground_truth):
    pairs = 0
    for truth, mz in ion_spectra(ground_truth):
        matched = match_ions(truth.ions, mz)
        members = [k for k, ion in enumerate(truth.ions) if ion.kind == "pair"]
        for a, b in zip(members[::2], members[1::2]):
            assert truth.ions[a].separation_fwhm >= 1.5
            assert matched[a] >= 0 and matched[b] >= 0, (truth.ions[a], truth.ions[b])
            pairs += 1
    assert pairs >= 20


def test_false_peaks(ground_truth):
    spectra, picked = ground_truth
    ions = sum(sum(ion.snr >= 10 for ion in truth.ions) for truth in spectra[:ION_SPECTRA])
    # Noise alone: at most 1 % as many peaks as there are ions in as many
    # spectra of the same noise.
    noise_peaks = sum(len(peaks.mz) for peaks in picked["half_height_centroid"][ION_SPECTRA:])
    assert noise_peaks <= 0.01 * ions * NOISE_SPECTRA / ION_SPECTRA
    # With ions: peaks more than a FWHM from every ion (split flanks, noise).
    unmatched = found = 0
    for truth, mz in ion_spectra(ground_truth):
        matched = match_ions(truth.ions, mz, tolerance_fwhm=1.0)
        unmatched += len(mz) - int((matched >= 0).sum())
        found += len(mz)
    assert unmatched <= 0.01 * found


def test_intensity_is_the_ion_count(ground_truth):
    spectra, picked = ground_truth
    ratios = []
    for truth, peaks in zip(spectra[:ION_SPECTRA], picked["half_height_centroid"]):
        matched = match_ions(truth.ions, peaks.mz)
        for ion, j in zip(truth.ions, matched):
            if ion.kind == "isolated" and ion.snr >= 30 and j >= 0:
                ratios.append(peaks.intensity[j] / ion.area)
    assert 0.95 <= np.median(ratios) <= 1.02


def with_holes(rng, spectrum):
    """The spectrum without one point on each flank of every ion, where its
    profile is at 10 to 40 % of its height: zeros inside peaks."""
    drop = set()
    for ion in spectrum.ions:
        sigma = ion.fwhm_channels / FWHM_PER_SIGMA
        for side in (-1, 1):
            offset = rng.uniform(np.sqrt(2 * np.log(1 / 0.4)), np.sqrt(2 * np.log(1 / 0.1))) * sigma
            drop.add(int(round(ion.channel + side * offset)))
    keep = ~np.isin(spectrum.channels, list(drop))
    assert keep.sum() <= len(keep) - len(spectrum.ions)
    return ProfileSpectrum(channels=spectrum.channels[keep], counts=spectrum.counts[keep],
                           ions=spectrum.ions, baseline=spectrum.baseline, noise=spectrum.noise,
                           first_channel=spectrum.first_channel, last_channel=spectrum.last_channel)


def edge_spectra(rng):
    nothing = np.array([], dtype=np.int64)
    strong = dict(pairs=(), saturated=0, snr_range=(100.0, 3000.0))
    return {
        "empty": ProfileSpectrum(nothing.astype(np.uint32), nothing, [], 0.0, 1.0, 0, 0),
        "one_point": ProfileSpectrum(np.array([250_000], dtype=np.uint32), np.array([500]), [],
                                     0.0, 1.0, 250_000, 250_000),
        "first_and_last_channel": profile_spectrum(rng, isolated=10, edges=True, **strong),
        "saturated_flat_tops": profile_spectrum(rng, isolated=0, pairs=(), saturated=8),
        "zero_gaps": with_holes(rng, profile_spectrum(rng, isolated=40, **strong)),
    }


@pytest.fixture(scope="module")
def edge_run(tmp_path_factory):
    """(spectra by case, their run's .wiff path)."""
    spectra = edge_spectra(np.random.default_rng([SEED, 99]))
    run = build_tof_profile_run(tmp_path_factory.mktemp("edges"), list(spectra.values()))
    return spectra, str(run.expected.wiff_path)


@pytest.fixture(scope="module")
def edge_cases(edge_run):
    spectra, path = edge_run
    reader = corvex.RawReader(path)
    calibration = reader.calibration()
    return {name: (truth, centroid(*decoded(reader, i, calibration), calibration))
            for i, (name, truth) in enumerate(spectra.items())}


@pytest.mark.parametrize("case", ["empty", "one_point", "first_and_last_channel",
                                  "saturated_flat_tops", "zero_gaps"])
def test_edge_cases(edge_cases, case):
    truth, peaks = edge_cases[case]
    matched = match_ions(truth.ions, peaks.mz)
    errors_ppm = np.array([abs(peaks.mz[j] - ion.mz) / ion.mz * 1e6
                           for ion, j in zip(truth.ions, matched) if j >= 0])
    if case == "empty":
        assert len(peaks.mz) == 0 and len(peaks.intensity) == 0
    elif case == "one_point":
        # A lone point is its own baseline: nothing stands out from it.
        assert len(peaks.mz) == 0
    elif case == "first_and_last_channel":
        # Every ion once; those cut in half by the ends within half a FWHM,
        # and inside the channels the spectrum covers.
        assert (matched >= 0).all() and len(peaks.mz) == len(truth.ions)
        first, last = [(ion.fwhm_channels / 2, peaks.channel[j])
                       for ion, j in zip(truth.ions, matched) if ion.kind.endswith("_channel")]
        assert truth.first_channel <= first[1] <= truth.first_channel + first[0]
        assert truth.last_channel - last[0] <= last[1] <= truth.last_channel
    elif case == "saturated_flat_tops":
        assert (matched >= 0).all() and len(peaks.mz) == len(truth.ions)
        assert (peaks.apex_intensity == SATURATION).all()
        assert errors_ppm.max() <= 1.0
    else:
        assert (matched >= 0).all() and len(peaks.mz) == len(truth.ions)
        assert errors_ppm.max() <= 2.0


def test_parameters_reach_the_picker_by_name():
    # The native picker takes the fields positionally, in the dataclass's order.
    names = [field.name for field in dataclasses.fields(CentroidParameters)]
    assert names == list(_native.centroid_defaults())
    assert dataclasses.astuple(CentroidParameters()) == tuple(_native.centroid_defaults().values())


@pytest.mark.parametrize("change, error", [
    (dict(min_snr=-1.0), "min_snr must be a number from 0 to 1e12"),
    (dict(min_valley_snr=float("nan")), "min_valley_snr must be a number from 0 to 1e12"),
    (dict(min_intensity=float("inf")), "min_intensity must be a finite number of at least 0"),
    (dict(min_points=0), "min_points must be at least 1"),
    (dict(max_gap_channels=-1), "max_gap_channels must not be negative"),
    (dict(max_gap_channels=1001), "max_gap_channels must be from 0 to 1000"),
    (dict(valley_ratio=1.5), "valley_ratio must be a number from 0 to 1"),
    (dict(position="apex"), "position must be 'half_height_centroid' or 'gaussian_fit', not 'apex'"),
])
def test_unusable_parameters_are_refused(edge_run, change, error):
    parameters = CentroidParameters(**change)
    run = corvex_tools.open_run(edge_run[1])
    for call in (lambda: CentroidPicker(parameters), lambda: run.peaks(1, centroid=parameters),
                 lambda: run.iter_peaks(centroid=parameters), lambda: run.load(centroid=parameters)):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == error


def test_one_picker_from_many_threads(edge_cases):
    # Threads that find the picker's memory in use work in memory of their own.
    truth, expected = edge_cases["zero_gaps"]
    picker = CentroidPicker()
    spectra = [(truth.channels, truth.counts.astype(np.float32))] * 64
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda spectrum: picker(*spectrum), spectra))
    for peaks in results:
        np.testing.assert_array_equal(peaks.channel, expected.channel)
        np.testing.assert_array_equal(peaks.intensity, expected.intensity)

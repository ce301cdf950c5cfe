"""The TOF-like profile of the synthetic run writer, which the benchmarks
read: corvex must read back exactly the points the writer says it wrote."""

import numpy as np

import corvex
from wifffixture.acquisition import Instrument, minimal_widths
from wifffixture.synthetic import write_synthetic_run


def test_tof_profile_reads_back_as_written(tmp_path):
    run = write_synthetic_run(tmp_path, n_scans=12, points_per_scan=3000, fragment_points_per_scan=800,
                              ms2_per_cycle=3, max_gap=1000, profile="tof", chunk_points=4000,
                              log=Instrument(component_id="TripleTOF 6600 System"))
    assert run.ms_level.tolist()[:5] == [1, 2, 2, 2, 1]
    reader = corvex.RawReader(str(run.wiff_path))
    assert reader.scan_count == 12
    assert reader.run_info()["instrument"]["name"] == "TripleTOF 6600"
    assert reader.dde_precursor_mz() == run.dde_mz.tolist()
    widths, gaps = set(), []
    for i in range(12):
        spectrum = reader.read_spectrum(i)
        mz, intensity = run.scan_arrays(i)
        assert spectrum.mz == mz.tolist()
        assert spectrum.intensity == intensity.tolist()
        channels, counts = run.scan_points(i)
        widths.update(minimal_widths(counts).tolist())
        gaps.append(np.diff(channels))
    # Short gaps (one skip byte) dominate, long jumps need several, and the
    # log-normal intensities need every code length but the longest, which
    # only runs of millions of points reach.
    gaps = np.concatenate(gaps)
    assert 0.85 < np.mean(gaps <= 8) < 0.97
    assert gaps.max() > 127
    assert {1, 2, 3, 4} <= widths
    payload = int(run.scan_size.sum()) - 56 * 12
    assert 3.2 < payload / int(run.n_points.sum()) < 3.9

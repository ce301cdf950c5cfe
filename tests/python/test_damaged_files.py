"""Damaged compound files give an error or a result quickly, never a hang.

Every case runs in one child interpreter under a time limit, so a reader
that loops forever fails the test instead of stalling the suite.
"""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvex
import corvex_tools
from wifffixture import Acquisition, Sample, Scan, build, cfb

SCRIPT = r"""
import json, os, sys, corvex, corvex_tools
results = {}
for path in sys.argv[1:]:
    fds = len(os.listdir("/proc/self/fd"))
    outcome = {}
    try:
        outcome["samples"] = corvex.list_samples(path)
        for name in outcome["samples"]:
            try:
                reader = corvex.open_sample(path, name)
                outcome.setdefault("opened", []).append(reader.scan_count)
                reader.run_info(); reader.read_chromatograms()
            except RuntimeError as error:
                outcome.setdefault("open_errors", []).append(str(error))
            try:
                run = corvex_tools.open_run(path, name)
                run.run_info(); run.read_chromatograms(); run.spectra
                outcome.setdefault("run_opened", []).append(len(run.load()))
            except RuntimeError as error:
                outcome.setdefault("run_open_errors", []).append(str(error))
    except RuntimeError as error:
        outcome["error"] = str(error)
    outcome["fds_left"] = len(os.listdir("/proc/self/fd")) - fds
    results[os.path.basename(path)] = outcome
print(json.dumps(results))
"""


def damaged_files(directory: Path):
    acquisition = Acquisition(samples=[Sample(name="Sample1", scans=[Scan(points=[(5, 7), (9, 100)])],
                                              dde_mz=[400.0] * 200)])
    expected = build(acquisition, directory)
    good = expected.wiff_path.read_bytes()
    layout = expected.layout
    scan = expected.scan_path.read_bytes()
    big = "SampleSubtree/Sample1/DDERealTimeDataEx"  # large enough for regular sectors
    idx = "SampleSubtree/Sample1/Idx"
    cases = {
        "sibling_cycle_samples": cfb.corrupt_sibling_cycle(good, layout, "SampleSubtree"),
        "sibling_cycle_sample": cfb.corrupt_sibling_cycle(good, layout, "SampleSubtree/Sample1"),
        "fat_loop": cfb.corrupt_fat_loop(good, layout, big),
        "fat_chain_free": cfb.corrupt_fat_chain(good, layout, big, position=0),
        "fat_chain_outside": cfb.corrupt_fat_chain(good, layout, big, position=0, value=0x00FFFFFF),
        "minifat_loop": cfb.corrupt_fat_loop(good, layout, idx),
        "directory_loop": cfb.corrupt_fat_chain(good, layout, "<directory>", position=0,
                                                value=layout.dir_sectors[0]),
        "absurd_stream_size": cfb.set_stream_size(good, layout, big, 2 ** 63),
        "absurd_idx_size": cfb.set_stream_size(good, layout, idx, 0xFFFFFFFF),
        # The library's complaint about it carries no log domain.
        "idx_past_its_mini_chain": cfb.set_stream_size(good, layout, idx, layout.entry(idx).size + 64),
        "child_points_at_itself": cfb.set_sibling_links(good, layout, "SampleSubtree",
                                                        child=layout.entry("SampleSubtree").entry_id),
        "truncated_half": cfb.truncate(good, len(good) // 2),
        "truncated_header": cfb.truncate(good, 100),
    }
    for name, data in cases.items():
        (directory / (name + ".wiff")).write_bytes(data)
        (directory / (name + ".wiff.scan")).write_bytes(scan)
    return sorted(str(directory / (name + ".wiff")) for name in cases)


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    directory = tmp_path_factory.mktemp("damaged")
    paths = damaged_files(directory)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(corvex.__file__),
                                                       os.path.dirname(os.path.dirname(corvex_tools.__file__))]))
    run = subprocess.run([sys.executable, "-c", SCRIPT, *paths], capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 0, run.stderr
    # The compound-file library's complaints go to the silent logging facade.
    assert run.stderr == ""
    return json.loads(run.stdout)


@pytest.mark.parametrize("name", [
    "sibling_cycle_samples", "sibling_cycle_sample", "fat_loop", "fat_chain_free", "fat_chain_outside",
    "minifat_loop", "directory_loop", "absurd_stream_size", "absurd_idx_size", "idx_past_its_mini_chain",
    "child_points_at_itself",
    "truncated_half", "truncated_header",
])
def test_damaged_file_is_handled(outcomes, name):
    outcome = outcomes[name + ".wiff"]
    assert outcome["fds_left"] == 0
    if "error" in outcome:
        assert outcome["error"].startswith(("I/O error: ", "parse error: "))
    else:
        # Whatever was listed either opened or failed with a reader error.
        for message in outcome.get("open_errors", []):
            assert message.startswith(("I/O error: ", "parse error: ", "vendor parser error: "))
        assert len(outcome.get("opened", [])) + len(outcome.get("open_errors", [])) == len(outcome["samples"])
        # The array layer opens, decodes and fails exactly where corvex does.
        assert outcome.get("run_opened", []) == outcome.get("opened", [])
        assert outcome.get("run_open_errors", []) == outcome.get("open_errors", [])


HOST_MESSAGE_SCRIPT = r"""
import ctypes, sys, corvex
try:
    corvex.open_sample(sys.argv[1], "Sample1")
except RuntimeError:
    pass
glib = ctypes.CDLL("libglib-2.0.so.0")
G_LOG_LEVEL_WARNING = 1 << 4
glib.g_log(None, G_LOG_LEVEL_WARNING, b"%s", b"the host's own message")
"""


def test_host_messages_without_a_domain_still_reach_stderr(tmp_path):
    # Only the library's domain-less messages are taken off stderr: the same
    # kind of message from the host, outside any read, is left alone.
    paths = damaged_files(tmp_path)
    damaged = next(p for p in paths if p.endswith("idx_past_its_mini_chain.wiff"))
    run = subprocess.run([sys.executable, "-c", HOST_MESSAGE_SCRIPT, damaged], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert "the host's own message" in run.stderr
    assert "insufficient blocks" not in run.stderr

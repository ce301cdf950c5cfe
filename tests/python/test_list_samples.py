"""Listing the samples of a .wiff file."""
import os

import pytest

import corvex
from wifffixture import Acquisition, CompoundFileWriter, Sample, build


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def write_samples(tmp_path, names, **kwargs):
    acquisition = Acquisition(samples=[Sample(name=name) for name in names], **kwargs)
    return build(acquisition, tmp_path)


def test_samples_list_in_their_fixed_order(tmp_path):
    names = ["Sample10", "Blank", "Sample2", "sample1", "Sample+3", "Sample-1"]
    expected = write_samples(tmp_path, names)
    listed = corvex.list_samples(str(expected.wiff_path))
    assert listed == ["Sample2", "Sample+3", "Sample10", "Blank", "Sample-1", "sample1"]
    assert listed == expected.sample_names
    assert all(type(name) is str for name in listed)


def test_single_sample_and_unicode_name(tmp_path):
    expected = write_samples(tmp_path, ["Échantillon Ω"])
    assert corvex.list_samples(str(expected.wiff_path)) == ["Échantillon Ω"]


def test_streams_under_sample_subtree_are_not_samples(tmp_path):
    writer = CompoundFileWriter()
    writer.add_stream("SampleSubtree/Idx", b"\0" * 8)
    writer.add_storage("SampleSubtree/Sample1")
    path = tmp_path / "mixed.wiff"
    writer.write(path)
    assert corvex.list_samples(str(path)) == ["Sample1"]


def test_subtree_of_streams_only_lists_nothing(tmp_path):
    writer = CompoundFileWriter()
    writer.add_stream("SampleSubtree/Notes", b"x")
    path = tmp_path / "streams.wiff"
    writer.write(path)
    assert corvex.list_samples(str(path)) == []


def test_each_call_returns_a_new_list(tmp_path):
    expected = write_samples(tmp_path, ["Sample1"])
    first = corvex.list_samples(str(expected.wiff_path))
    first.append("changed")
    assert corvex.list_samples(str(expected.wiff_path)) == ["Sample1"]


def test_missing_sample_subtree(tmp_path):
    writer = CompoundFileWriter()
    writer.add_stream("Other", b"x")
    path = str(tmp_path / "nosub.wiff")
    writer.write(path)
    with pytest.raises(RuntimeError) as info:
        corvex.list_samples(path)
    prefix = "parse error: storage 'SampleSubtree' not found in %s: " % path
    assert str(info.value).startswith(prefix)
    assert len(str(info.value)) > len(prefix)


def bad_inputs(tmp_path):
    empty = tmp_path / "empty.wiff"
    empty.write_bytes(b"")
    text = tmp_path / "text.wiff"
    text.write_bytes(b"Not a compound file at all.\n" * 40)
    truncated = tmp_path / "truncated.wiff"
    writer = CompoundFileWriter()
    writer.add_storage("SampleSubtree/Sample1")
    truncated.write_bytes(writer.to_bytes()[:300])
    return [
        (str(tmp_path / "missing.wiff"), "I/O error: No such file or directory (os error 2)"),
        (str(tmp_path), "I/O error: Is a directory (os error 21)"),
        (str(empty), "I/O error: No OLE2 signature"),
        (str(text), "I/O error: No OLE2 signature"),
        (str(truncated), None),
    ]


def test_bad_files_raise_runtime_error_and_leave_nothing_open(tmp_path):
    before = open_fds()
    for path, message in bad_inputs(tmp_path):
        with pytest.raises(RuntimeError) as info:
            corvex.list_samples(path)
        if message is None:
            assert str(info.value).startswith("I/O error: ")
        else:
            assert str(info.value) == message
    assert open_fds() == before


def test_fifo_is_refused_without_blocking(tmp_path):
    fifo = tmp_path / "fifo.wiff"
    os.mkfifo(fifo)
    with pytest.raises(RuntimeError) as info:
        corvex.list_samples(str(fifo))
    assert str(info.value) == "I/O error: not a regular file"


def test_successful_listing_leaves_nothing_open(tmp_path):
    expected = write_samples(tmp_path, ["Sample1", "Sample2"])
    before = open_fds()
    for _ in range(20):
        corvex.list_samples(str(expected.wiff_path))
    assert open_fds() == before

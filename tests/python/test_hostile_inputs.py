"""Hostile inputs: special files in place of either file, files changed under a
running stream, offsets and sizes at the limits of their fields, damaged
compound-file structures, and awkward paths and sample names.

Every case must end with the documented error or result, promptly, and leave
no descriptor open.
"""
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import corvex
import corvex_tools
from wifffixture import Acquisition, Sample, Scan, build, cfb, dda_sample

SPECTRUM_PROPERTIES = [n for n in vars(corvex.Spectrum) if not n.startswith("__")]
TESTS_DIR = str(Path(__file__).resolve().parents[1])
MODULE_DIR = os.pathsep.join([str(Path(corvex.__file__).resolve().parent),
                            os.path.dirname(os.path.dirname(corvex_tools.__file__))])
NOT_REGULAR = "I/O error: not a regular file"
IS_A_DIRECTORY = "I/O error: Is a directory (os error 21)"
SCAN_NOT_REGULAR = "scan data file is not a regular file"
MiB = 1 << 20


pytestmark = pytest.mark.usefixtures("watchdog")


@pytest.fixture(autouse=True)
def no_descriptor_left_open():
    before = sorted(os.listdir("/proc/self/fd"))
    yield
    assert sorted(os.listdir("/proc/self/fd")) == before


def fields(spectrum):
    return {name: getattr(spectrum, name) for name in SPECTRUM_PROPERTIES}


def run_python(script, *args, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, TESTS_DIR]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def outcome(call):
    """("ok", value) or ("error", message) for a corvex call."""
    try:
        return "ok", call()
    except RuntimeError as error:
        return "error", str(error)


def stream_outcome(path, sample=None):
    """What iter_spectra yields: spectrum indexes, then the error text if any.
    After an error or the end, the iterator stays finished."""
    it = corvex.iter_spectra(path, sample)
    got = []
    try:
        for spectrum in it:
            got.append(spectrum.index)
    except RuntimeError as error:
        got.append(str(error))
    with pytest.raises(StopIteration):
        next(it)
    return got


def make_special(path: Path, kind: str) -> None:
    """Put a special file (or an empty one) at ``path``."""
    if kind == "directory":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "empty":
        path.write_bytes(b"")
    else:
        os.symlink(kind, path)   # a character device: /dev/zero, /dev/null


def small_run(directory, scans=6, name="run"):
    sample = Sample(name="Sample1", scans=[Scan(points=[(10 * k + 1, 20 + k), (10 * k + 5, 200 + k)],
                                                retention_time_min=0.1 * k) for k in range(scans)])
    return build(Acquisition(samples=[sample]), directory, name)


# ---------------------------------------------------------------------------
# Special files in place of the .wiff or the .wiff.scan
# ---------------------------------------------------------------------------

WIFF_KINDS = [("directory", IS_A_DIRECTORY), ("fifo", NOT_REGULAR), ("/dev/zero", NOT_REGULAR),
              ("/dev/null", NOT_REGULAR), ("empty", "I/O error: No OLE2 signature")]


@pytest.mark.parametrize("kind, message", WIFF_KINDS, ids=[k for k, _ in WIFF_KINDS])
def test_special_file_as_the_wiff(tmp_path, kind, message):
    good = small_run(tmp_path / "good")
    wiff = tmp_path / "run.wiff"
    make_special(wiff, kind)
    (tmp_path / "run.wiff.scan").write_bytes(good.scan_path.read_bytes())
    path = str(wiff)
    assert outcome(lambda: corvex.list_samples(path)) == ("error", message)
    assert outcome(lambda: corvex.RawReader(path)) == ("error", message)
    assert outcome(lambda: corvex.open_sample(path, "Sample1")) == ("error", message)
    assert stream_outcome(path) == [message]
    assert stream_outcome(path, "Sample1") == [message]
    assert outcome(lambda: corvex_tools.open_run(path)) == ("error", message)
    assert outcome(lambda: corvex_tools.open_run(path, "Sample1")) == ("error", message)


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/null"])
def test_device_path_given_directly(device):
    assert outcome(lambda: corvex.list_samples(device)) == ("error", NOT_REGULAR)
    assert stream_outcome(device) == [NOT_REGULAR]
    # open_sample looks for the scan file first: "/dev/zero.scan" is not there.
    assert outcome(lambda: corvex.open_sample(device, "Sample1")) == \
        ("error", "parse error: .wiff.scan file not found: %s.scan" % device)
    assert outcome(lambda: corvex_tools.open_run(device)) == ("error", NOT_REGULAR)
    assert outcome(lambda: corvex_tools.open_run(device, "Sample1")) == \
        ("error", "parse error: .wiff.scan file not found: %s.scan" % device)


@pytest.mark.parametrize("kind", ["directory", "fifo", "/dev/zero", "/dev/null", "empty"])
def test_special_file_as_the_scan_file(tmp_path, kind):
    # The size taken at open is that of the special file (0 for a FIFO, a
    # device or an empty file); a first payload at or past it is reported
    # without opening the file, anything else is refused when it is opened.
    good = small_run(tmp_path / "good")
    wiff = tmp_path / "run.wiff"
    wiff.write_bytes(good.wiff_path.read_bytes())
    scan = tmp_path / "run.wiff.scan"
    make_special(scan, kind)
    first = good.sample().spectra[0].scan_offset
    size = os.stat(scan).st_size
    if first + 56 >= size:
        cause = ("scan block payload at offset %d is past the end of the .wiff.scan file (%d bytes)"
                 % (first + 56, size))
    else:
        cause = "Is a directory (os error 21)"
    message = "vendor parser error: cannot read scan block for scan=1 at offset %d: %s" % (first, cause)
    path = str(wiff)
    assert outcome(lambda: corvex.RawReader(path)) == ("error", message)
    assert outcome(lambda: corvex.open_sample(path, "Sample1")) == ("error", message)
    assert stream_outcome(path) == [message]
    # The array layer opens the sample and fails at the first peaks it needs.
    run = corvex_tools.open_run(path)
    assert run.scan_file_size == size
    assert outcome(lambda: run.peaks(0)) == ("error", message)
    assert outcome(lambda: run.load()) == ("error", message)
    assert outcome(lambda: list(run.iter_peaks())) == ("error", message)


# ---------------------------------------------------------------------------
# The scan file changes after the sample was opened
# ---------------------------------------------------------------------------

def replace_scan_file(scan: Path, how: str, cut: int) -> None:
    """Change the scan file in one step, so that a concurrent reader sees
    either the old file or the new one."""
    if how == "truncated":
        os.truncate(scan, cut)
        return
    if how == "removed":
        scan.unlink()
        return
    replacement = scan.with_name(scan.name + ".new")
    if how == "directory":
        # A directory cannot be renamed over a file; a link to one can.
        target = scan.with_name("a-directory")
        target.mkdir()
        os.symlink(target, replacement)
    else:
        make_special(replacement, how)
    os.replace(replacement, scan)


REPLACEMENTS = {
    # how: the text of the error for the fourth scan, None when it reads as a
    # (shorter) spectrum
    "truncated": None,
    "removed": "No such file or directory (os error 2)",
    "directory": "Is a directory (os error 21)",
    "fifo": SCAN_NOT_REGULAR,
    "/dev/zero": SCAN_NOT_REGULAR,
    "/dev/null": SCAN_NOT_REGULAR,
}


@pytest.mark.parametrize("how", list(REPLACEMENTS))
def test_scan_file_replaced_while_streaming(tmp_path, how):
    # The change comes after the first spectrum has been handed out. The
    # decoding thread may have read the next two by then (it is at most two
    # ahead), so the first scan read after the change is the second, third or
    # fourth; everything before it is intact.
    expected = small_run(tmp_path)
    full = [fields(s) for s in corvex.iter_spectra(str(expected.wiff_path))]
    spectra = expected.sample().spectra
    # Truncation cuts the fourth block in the middle of its payload.
    cut = spectra[3].scan_offset + 56 + 2   # a skip code and a one-byte point
    it = corvex.iter_spectra(str(expected.wiff_path))
    got = [fields(next(it))]
    replace_scan_file(expected.scan_path, how, cut)
    error = None
    try:
        for spectrum in it:
            got.append(fields(spectrum))
    except RuntimeError as failure:
        error = str(failure)
    with pytest.raises(StopIteration):
        next(it)
    if REPLACEMENTS[how] is None:
        # Whatever is left of a block decodes; the file ending early is no error.
        assert error is None and len(got) == 6
        assert got[:3] == full[:3]
        assert got[3]["mz"] == full[3]["mz"][:1] and got[3]["intensity"] == full[3]["intensity"][:1]
        assert [g["mz"] for g in got[4:]] == [[], []]
    else:
        k = len(got)
        assert 1 <= k <= 3 and got == full[:k]
        assert error == "vendor parser error: cannot read scan block for scan=%d at offset %d: %s" % (
            k + 1, spectra[k].scan_offset, REPLACEMENTS[how])


@pytest.mark.parametrize("how", ["truncated", "removed", "fifo", "/dev/zero"])
def test_opened_reader_does_not_touch_the_scan_file_again(tmp_path, how):
    expected = small_run(tmp_path)
    reader = corvex.open_sample(str(expected.wiff_path), "Sample1")
    before = ([fields(reader.read_spectrum(i)) for i in range(reader.scan_count)],
              reader.run_info(), reader.read_chromatograms(), reader.scan_index())
    replace_scan_file(expected.scan_path, how, 0)
    after = ([fields(reader.read_spectrum(i)) for i in range(reader.scan_count)],
             reader.run_info(), reader.read_chromatograms(), reader.scan_index())
    assert after == before


@pytest.mark.parametrize("how", list(REPLACEMENTS))
def test_run_reads_the_scan_file_as_it_is_at_each_call(tmp_path, how):
    # A run opened before the change reads each block when a call needs it,
    # with the size taken at opening: it sees what corvex's stream sees.
    expected = small_run(tmp_path)
    spectra = expected.sample().spectra
    run = corvex_tools.open_run(str(expected.wiff_path))
    replace_scan_file(expected.scan_path, how, spectra[3].scan_offset + 56 + 2)
    outcomes = [outcome(lambda: run.peaks(i)) for i in range(len(run))]
    if REPLACEMENTS[how] is None:
        got = [(mz.tolist(), intensity.tolist()) for _, (mz, intensity) in outcomes]
        full = [(s.mz, s.intensity) for s in spectra]
        assert got == full[:3] + [(full[3][0][:1], full[3][1][:1]), ([], []), ([], [])]
        assert [(mz.tolist(), i.tolist()) for _, mz, i in run.iter_peaks()] == got
        loaded = run.load()
        assert (loaded.mz.tolist(), loaded.offsets.tolist()) == (
            [mz for mzs, _ in got for mz in mzs], [0, 2, 4, 6, 7, 7, 7])
    else:
        errors = ["vendor parser error: cannot read scan block for scan=%d at offset %d: %s"
                  % (s.scan_number, s.scan_offset, REPLACEMENTS[how]) for s in spectra]
        assert outcomes == [("error", error) for error in errors]
        assert outcome(lambda: run.load()) == ("error", errors[0])
        assert outcome(lambda: run.load(ms_level=1, rt_range=(0.25 * 60, 1e9))) == ("error", errors[3])


# ---------------------------------------------------------------------------
# Offsets and sizes at the limits of their 32-bit fields
# ---------------------------------------------------------------------------

def sparse_supported(directory: Path) -> bool:
    probe = directory / "sparse-probe"
    with open(probe, "wb") as f:
        f.truncate(64 * MiB)   # small, in case the file system fills it in
    blocks = os.stat(probe).st_blocks
    probe.unlink()
    return blocks == 0


def test_largest_offset_reads_past_four_gib(tmp_path):
    # A block at offset 2^32 - 1 in a scan file of over 4 GiB (sparse): the
    # payload starts at 2^32 + 55 and must be read there, not at a wrapped
    # offset.
    if not sparse_supported(tmp_path):
        pytest.skip("the file system has no sparse files")
    scans = [Scan(points=[(3, 7), (4, 9)]), Scan(points=[(2, 1)], scan_offset=0xFFFFFFFF, scan_size=100)]
    expected = build(Acquisition(samples=[Sample(scans=scans, calibration=None)]), tmp_path)
    payload = bytes([0x02, 0x81, 0x7F, 0xFD, 0x10, 0x27]) + b"\xff" * 4
    with open(expected.scan_path, "r+b") as f:
        f.seek(0xFFFFFFFF + 56)
        f.write(payload)
        f.write(b"\x85" * 200)   # beyond the recorded size + 64: never read
    reader = corvex.RawReader(str(expected.wiff_path))
    last = reader.read_spectrum(1)
    assert (last.mz, last.intensity) == ([2.0, 129.0], [1.0, 10000.0])
    assert last.extra["corvex.scan_offset"] == "4294967295"
    streamed = list(corvex.iter_spectra(str(expected.wiff_path)))
    assert [fields(s) for s in streamed] == [fields(reader.read_spectrum(i)) for i in range(2)]


@pytest.mark.parametrize("offset, size", [(0xFFFFFFFF, 0xFFFFFFFF), (0xFFFFFFFF, 57), (0xFFFFFFC8, 0xFFFFFFFF)])
def test_offsets_at_the_top_of_the_field_fail_past_the_end(tmp_path, offset, size):
    scans = [Scan(points=[(3, 7)]), Scan(points=[(2, 1)], scan_offset=offset, scan_size=size),
             Scan(points=[(5, 5)])]
    expected = build(Acquisition(samples=[Sample(scans=scans)]), tmp_path)
    message = ("vendor parser error: cannot read scan block for scan=2 at offset %d: scan block payload at "
               "offset %d is past the end of the .wiff.scan file (%d bytes)"
               % (offset, offset + 56, expected.scan_file_size))
    assert expected.sample().spectra[1].error == message
    assert outcome(lambda: corvex.RawReader(str(expected.wiff_path))) == ("error", message)
    assert stream_outcome(str(expected.wiff_path)) == [0, message]


@pytest.mark.parametrize("size", [0xFFFFFFFF, 0xFFFFFFC7, 0x80000000])
def test_sizes_near_four_gib_stop_at_the_next_block(tmp_path, size):
    # The first block claims almost 4 GiB; its payload may run only 64 bytes
    # into the next block, whose own spectrum is unaffected.
    sample = dda_sample(cycles=2, points_per_scan=30)
    sample.scans[0].scan_size = size
    expected = build(Acquisition(samples=[sample]), tmp_path)
    reader = corvex.RawReader(str(expected.wiff_path))
    for i, spectrum in enumerate(expected.sample().spectra):
        assert spectrum.error is None
        assert (reader.read_spectrum(i).mz, reader.read_spectrum(i).intensity) == (spectrum.mz, spectrum.intensity)
    assert reader.scan_index()[0]["scan_size"] == size


def test_recorded_size_of_one_gib_reads_at_most_64_mib(tmp_path):
    # One scan claims 1 GiB in a sparse scan file of that length. Its payload
    # is a point at the start, zero skip codes, a point at the last byte of
    # the 64 MiB that may be read and one just beyond. Only the first two are
    # decoded, and the process's peak memory stays far below 1 GiB.
    if not sparse_supported(tmp_path):
        pytest.skip("the file system has no sparse files")
    scans = [Scan(payload=b"\x85", scan_size=1 << 30)]
    expected = build(Acquisition(samples=[Sample(scans=scans, calibration=None)]), tmp_path)
    start = expected.sample().spectra[0].scan_offset + 56
    with open(expected.scan_path, "r+b") as f:
        f.seek(start + 64 * MiB - 1)
        f.write(b"\x86\x87")
        f.truncate(start + (1 << 30))
    result = run_python("""
        import sys, corvex
        def peak_kib():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
        base = peak_kib()
        spectrum = corvex.RawReader(sys.argv[1]).read_spectrum(0)
        streamed = next(corvex.iter_spectra(sys.argv[1]))
        import corvex_tools
        run = corvex_tools.open_run(sys.argv[1])
        loaded = run.load()
        print(spectrum.mz, spectrum.intensity, streamed.intensity, run.peaks(0)[1].tolist(),
              loaded.intensity.tolist(), peak_kib() - base)
    """, expected.wiff_path, timeout=120)
    assert result.returncode == 0, result.stderr
    *values, growth_kib = result.stdout.split(" ")
    assert " ".join(values) == "[0.0, 0.0] [5.0, 6.0] [5.0, 6.0] [5.0, 6.0] [5.0, 6.0]"
    # The 64 MiB read buffer, twice at most (reader and stream, or the
    # array layer's calls one after another).
    assert int(growth_kib) * 1024 < 200 * MiB, growth_kib


# ---------------------------------------------------------------------------
# Damaged compound-file structures
# ---------------------------------------------------------------------------

IDX = "SampleSubtree/Sample1/Idx"
LOG = "SampleSubtree/Sample1/Log"
DDE = "SampleSubtree/Sample1/DDERealTimeDataEx"
NOSTREAM = 0xFFFFFFFF


def base_acquisition(**kwargs):
    return Acquisition(samples=[Sample(name="Sample1", scans=[Scan(points=[(5, 7), (9, 100)])],
                                       dde_mz=[400.0] * 200)], **kwargs)


def relink(data: bytearray, entry, *, left=None, right=None, child=None):
    for offset, value in ((cfb.DE_LEFT, left), (cfb.DE_RIGHT, right), (cfb.DE_CHILD, child)):
        if value is not None:
            struct.pack_into("<I", data, entry.entry_offset + offset, value)


def long_entry_chain(directory: Path, count: int, nested: bool) -> Path:
    """A file whose root holds SampleSubtree and ``count`` extra entries linked
    into one chain: right siblings one after another, or storages each the
    only child of the one before."""
    names = ["Z%06d" % i for i in range(count)]
    acquisition = base_acquisition(methods=None, creation_time=None,
                                   extra_storages=names if nested else (),
                                   extra_streams={} if nested else {n: b"" for n in names})
    expected = build(acquisition, directory)
    layout = expected.layout
    data = bytearray(expected.wiff_path.read_bytes())
    chain = [layout.entries[n] for n in names]
    subtree = layout.entries["SampleSubtree"]
    relink(data, layout.entries[""], child=subtree.entry_id)
    relink(data, subtree, left=NOSTREAM, right=chain[0].entry_id)
    for entry, after in zip(chain, chain[1:] + [None]):
        following = after.entry_id if after else NOSTREAM
        if nested:
            relink(data, entry, left=NOSTREAM, right=NOSTREAM, child=following)
        else:
            relink(data, entry, left=NOSTREAM, right=following)
    expected.wiff_path.write_bytes(bytes(data))
    return expected.wiff_path


@pytest.mark.parametrize("nested", [False, True], ids=["siblings", "nested"])
def test_long_entry_chains_open(tmp_path, nested):
    # Two thousand entries in one sibling chain, or storages nested two
    # thousand deep. The library walks the tree recursively at open.
    path = str(long_entry_chain(tmp_path, 2000, nested))
    assert corvex.list_samples(path) == ["Sample1"]
    assert corvex.RawReader(path).scan_count == 1
    assert stream_outcome(path) == [0]


def many_siblings(directory: Path, count: int) -> Path:
    """A file whose root holds SampleSubtree and ``count`` empty streams, in
    the balanced tree the writer makes."""
    names = {"Z%06d" % i: b"" for i in range(count)}
    return build(base_acquisition(methods=None, creation_time=None, extra_streams=names), directory).wiff_path


DEPTH_ERROR = "I/O error: compound file directory links nest more than 2048 entries deep"
WIDTH_ERROR = "I/O error: compound file storage has more than 8192 entries"


@pytest.mark.parametrize("shape, message", [
    ("nested", DEPTH_ERROR), ("chained", DEPTH_ERROR), ("wide", WIDTH_ERROR)])
def test_huge_directory_trees_are_refused(tmp_path, shape, message):
    # 60000 storages nested in one another, or 60000 siblings linked into one
    # chain (7.5 MB files), overflowed the stack of whichever thread opened
    # them; 20000 siblings in a balanced tree took seconds per open. In a
    # child process, so that a crash fails this test only.
    if shape == "wide":
        path = many_siblings(tmp_path, 20000)
    else:
        path = long_entry_chain(tmp_path, 60000, nested=shape == "nested")
    result = run_python("""
        import sys, threading, corvex
        path = sys.argv[1]
        def attempt(call):
            try:
                call()
            except RuntimeError as error:
                return str(error)
        outcomes = [attempt(lambda: corvex.list_samples(path)),
                    attempt(lambda: corvex.open_sample(path, "Sample1")),
                    attempt(lambda: next(corvex.iter_spectra(path)))]
        worker = threading.Thread(target=lambda: outcomes.append(attempt(lambda: corvex.RawReader(path))))
        worker.start(); worker.join()
        for text in outcomes:
            print(text)
    """, path, timeout=45)
    assert (result.returncode, result.stdout) == (0, (message + "\n") * 4), result.stderr[-2000:]


def test_storage_with_as_many_entries_as_allowed_opens(tmp_path):
    # The root holds SampleSubtree and 8191 streams: 8192 entries.
    path = str(many_siblings(tmp_path, 8191))
    assert corvex.list_samples(path) == ["Sample1"]
    assert corvex.open_sample(path, "Sample1").scan_count == 1
    path = str(many_siblings(tmp_path / "over", 8192))
    assert outcome(lambda: corvex.list_samples(path)) == ("error", WIDTH_ERROR)


def stream_size_cases():
    return [
        # v3 files keep only the low 32 bits of a size: 2^63 and 2^32 are 0.
        (IDX, 1 << 63, "error", "parse error: Idx stream too short for header"),
        (IDX, 1 << 32, "error", "parse error: Idx stream too short for header"),
        # A size the file cannot hold: the library drops the entry.
        (IDX, 0xFFFFFFFF, "error", "parse error: Stream '%s' not found: " % IDX),
        (LOG, 1 << 63, "instrument", None),
        (DDE, 1 << 63, "dde", []),
        (DDE, 1 << 32, "dde", []),
    ]


@pytest.mark.parametrize("stream, size, what, value", stream_size_cases(),
                         ids=["idx-2^63", "idx-2^32", "idx-4GiB", "log-2^63", "dde-2^63", "dde-2^32"])
def test_absurd_stream_sizes(tmp_path, stream, size, what, value):
    expected = build(base_acquisition(), tmp_path)
    data = cfb.set_stream_size(expected.wiff_path.read_bytes(), expected.layout, stream, size)
    expected.wiff_path.write_bytes(data)
    path = str(expected.wiff_path)
    assert corvex.list_samples(path) == ["Sample1"]
    kind, got = outcome(lambda: corvex.open_sample(path, "Sample1"))
    if what == "error":
        assert kind == "error" and got.startswith(value), got
        return
    assert kind == "ok", got
    assert got.scan_count == 1
    if what == "instrument":
        assert got.instrument_info() is None
    else:
        assert got.dde_precursor_mz() == value


@pytest.mark.parametrize("stream", [LOG, DDE])
def test_optional_stream_claiming_the_largest_size_gives_a_clear_outcome(tmp_path, stream):
    # A size of 2^32 - 1 makes the library drop the entry, and with it the
    # entries it links to: the sample then opens without the stream, or
    # fails as a sample whose Idx stream cannot be found. Never anything
    # else, and never a crash.
    expected = build(base_acquisition(), tmp_path)
    data = cfb.set_stream_size(expected.wiff_path.read_bytes(), expected.layout, stream, 0xFFFFFFFF)
    expected.wiff_path.write_bytes(data)
    kind, got = outcome(lambda: corvex.open_sample(str(expected.wiff_path), "Sample1"))
    if kind == "error":
        assert got.startswith("parse error: Stream '%s' not found: " % IDX), got
    else:
        assert got.scan_count == 1
        assert (got.instrument_info() if stream == LOG else got.dde_precursor_mz()) in (None, [])


@pytest.mark.parametrize("stream", [LOG, DDE])
def test_optional_stream_longer_than_its_chain_is_skipped(tmp_path, stream):
    # The size fits in the file but not in the sectors chained to the stream.
    expected = build(base_acquisition(), tmp_path)
    data = expected.wiff_path.read_bytes()
    data = cfb.set_stream_size(data, expected.layout, stream, len(data) - 1024)
    expected.wiff_path.write_bytes(data)
    reader = corvex.open_sample(str(expected.wiff_path), "Sample1")
    assert reader.scan_count == 1
    assert (reader.instrument_info() if stream == LOG else reader.dde_precursor_mz()) in (None, [])


HEADER_CASES = [
    ("fat-count-max", cfb.HDR_NUM_FAT_SECTORS, 0xFFFFFFFF, 4),
    ("fat-count-2^31", cfb.HDR_NUM_FAT_SECTORS, 0x7FFFFFFF, 4),
    ("fat-count-beyond-header", cfb.HDR_NUM_FAT_SECTORS, 110, 4),
    ("difat-count-max", cfb.HDR_NUM_DIFAT_SECTORS, 0xFFFFFFFF, 4),
    ("difat-count-2^24", cfb.HDR_NUM_DIFAT_SECTORS, 0x00FFFFFF, 4),
    ("minifat-count-max", cfb.HDR_NUM_MINIFAT_SECTORS, 0xFFFFFFFF, 4),
    ("directory-start-beyond-file", cfb.HDR_FIRST_DIR_SECTOR, 0xFFFFFFF0, 4),
    ("sector-shift-30", cfb.HDR_SECTOR_SHIFT, 30, 2),
    ("sector-shift-0", cfb.HDR_SECTOR_SHIFT, 0, 2),
    ("mini-sector-shift-20", cfb.HDR_MINI_SECTOR_SHIFT, 20, 2),
]


@pytest.mark.parametrize("field, value, width", [c[1:] for c in HEADER_CASES], ids=[c[0] for c in HEADER_CASES])
def test_absurd_header_counts_are_refused(tmp_path, field, value, width):
    expected = build(base_acquisition(), tmp_path)
    data = cfb.set_header_field(expected.wiff_path.read_bytes(), field, value, width)
    expected.wiff_path.write_bytes(data)
    path = str(expected.wiff_path)
    for kind, message in (outcome(lambda: corvex.list_samples(path)),
                          outcome(lambda: corvex.open_sample(path, "Sample1"))):
        assert kind == "error"
        assert message.startswith("I/O error: ") and len(message) > len("I/O error: ")
    got = stream_outcome(path)
    assert len(got) == 1 and got[0].startswith("I/O error: ")


# ---------------------------------------------------------------------------
# Paths and sample names
# ---------------------------------------------------------------------------

def long_directory(base: Path, length: int) -> Path:
    """A directory under ``base`` whose path is ``length`` bytes long."""
    directory = base
    while len(os.fsencode(directory)) < length - 250:
        directory = directory / ("d" * 200)
    rest = length - len(os.fsencode(directory)) - 1
    directory = directory / ("e" * rest)
    directory.mkdir(parents=True)
    assert len(os.fsencode(directory)) == length
    return directory


def test_non_ascii_path(tmp_path):
    directory = tmp_path / "Messläufe 測定 Ωμέγα"
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), directory, "Probe ü-😀")
    path = str(expected.wiff_path)
    reader = corvex.RawReader(path)
    assert repr(reader) == "RawReader('%s', 4 scans)" % path
    assert reader.run_info()["source_file_name"].startswith("Probe ü-😀")
    assert len(list(corvex.iter_spectra(path))) == 4


def test_path_just_below_the_path_limit(tmp_path):
    # The scan file's path, the longer of the two, is 4095 bytes.
    directory = long_directory(tmp_path, 4095 - len("/run.wiff.scan"))
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), directory)
    path = str(expected.wiff_path)
    assert len(os.fsencode(expected.scan_path)) == 4095
    assert corvex.list_samples(path) == ["Sample1"]
    assert corvex.RawReader(path).scan_count == 4
    assert len(list(corvex.iter_spectra(path))) == 4


def test_paths_beyond_the_limits(tmp_path):
    # A path over PATH_MAX and a file name over NAME_MAX: the system's error,
    # or the missing scan file, as for any path that cannot be opened.
    too_long = str(tmp_path) + "/" + "/".join(["x" * 200] * 25) + "/run.wiff"
    name_too_long = str(tmp_path / ("n" * 300 + ".wiff"))
    for path in (too_long, name_too_long):
        assert outcome(lambda: corvex.list_samples(path)) == ("error", "I/O error: File name too long (os error 36)")
        assert outcome(lambda: corvex.open_sample(path, "Sample1")) == \
            ("error", "parse error: .wiff.scan file not found: %s.scan" % path)
        assert stream_outcome(path) == ["I/O error: File name too long (os error 36)"]
        assert outcome(lambda: corvex_tools.open_run(path)) == ("error", "I/O error: File name too long (os error 36)")


def test_path_that_is_not_text_is_refused():
    # A file name that is not valid UTF-8 decodes (surrogateescape) to a str
    # with lone surrogates, which has no UTF-8 form: the interpreter's error.
    path = os.fsdecode(b"/tmp/\xff\xfe.wiff")
    for call in (lambda: corvex.list_samples(path), lambda: corvex.RawReader(path),
                 lambda: corvex.iter_spectra(path), lambda: corvex_tools.open_run(path)):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert info.value.__notes__ == ["while processing 'path'"]


# 31 UTF-16 code units: the longest name a compound-file entry can hold.
LONG_NAMES = ["Ω" * 31, "測" * 31, "Ä" + "ß" * 30, "😀" * 15 + "x", "Sample" + "٣" * 25]


@pytest.mark.parametrize("name", LONG_NAMES, ids=["greek", "cjk", "latin", "astral", "arabic-digits"])
def test_longest_non_ascii_sample_names(tmp_path, name):
    assert len(name.encode("utf-16-le")) == 62
    other = Sample(name="Sample1", scans=[Scan(points=[(1, 2)])])
    target = Sample(name=name, scans=[Scan(points=[(7, 9)]), Scan(points=[(8, 10)], ms_level=2)])
    expected = build(Acquisition(samples=[other, target]), tmp_path)
    path = str(expected.wiff_path)
    # Non-ASCII digits do not make a numbered name: it sorts after Sample1.
    assert corvex.list_samples(path) == ["Sample1", name]
    reader = corvex.open_sample(path, name)
    assert reader.sample_name == name
    assert reader.scan_count == 2
    run = corvex_tools.open_run(path, name)
    assert (run.sample_name, len(run), run.peaks(1)[1].tolist()) == (name, 2, [10.0])
    assert [fields(s) for s in corvex.iter_spectra(path, name)] == \
        [fields(reader.read_spectrum(i)) for i in range(2)]
    # One code unit more names no entry.
    longer = name + "x"
    assert outcome(lambda: corvex.open_sample(path, longer)) == \
        ("error", "parse error: Stream 'SampleSubtree/%s/Idx' not found: no entry named '%s' in 'SampleSubtree'"
         % (longer, longer))

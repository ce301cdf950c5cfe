"""The WIFF fixture writer, checked against independent readers.

Compound files are read back with olefile and with libolecf's olecfinfo;
scan payloads are decoded by a separate decoder written here from the byte
code table, not by the fixture's own reference model.
"""

import datetime as dt
import io
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

olefile = pytest.importorskip("olefile")

from olefile.olefile import OleFileError  # noqa: E402

import wifffixture as wf  # noqa: E402
from wifffixture import cfb  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
OLECFINFO = shutil.which("olecfinfo")
needs_olecfinfo = pytest.mark.skipif(OLECFINFO is None, reason="olecfinfo (libolecf-utils) not installed")


# ---------------------------------------------------------------------------
# Independent helpers
# ---------------------------------------------------------------------------

INTENSITY_BYTES = {0xFC: 1, 0xFD: 2, 0xFE: 3, 0xFF: 4}


def decode_codes(payload: bytes, leads=None):
    """Scan payload decoder written from the byte code table.  ``leads``, when
    given, collects the lead byte of every point code."""
    out = []
    channel = 0
    pos = 0
    while pos < len(payload):
        code = payload[pos]
        if code <= 0x7F:
            channel = (channel + code) % (1 << 32)
            pos += 1
            continue
        if code <= 0xFB:
            out.append((channel, code - 0x80))
            pos += 1
            if leads is not None:
                leads.append(code)
            continue
        if code == 0xFF and payload[pos + 1:pos + 4] == b"\xff\xff\xff":
            break
        if leads is not None:
            leads.append(code)
        nbytes = INTENSITY_BYTES[code]
        value = payload[pos + 1:pos + 1 + nbytes]
        if len(value) < nbytes:
            break
        out.append((channel, int.from_bytes(value, "little")))
        pos += 1 + nbytes
    return out


def upper_units(name):
    raw = name.encode("utf-16-le", "surrogatepass")
    units = struct.unpack("<%dH" % (len(raw) // 2), raw)
    return [ord(chr(u).upper()) if not 0xD800 <= u <= 0xDFFF and len(chr(u).upper()) == 1
            and ord(chr(u).upper()) <= 0xFFFF else u for u in units]


def cfb_order(name):
    u = upper_units(name)
    return (len(u), u)


def children_in_tree_order(ole, sid):
    """In-order walk of a storage's sibling tree, as stored."""
    out = []

    def walk(i):
        if i == olefile.NOSTREAM:
            return
        e = ole.direntries[i]
        walk(e.sid_left)
        out.append(e.name)
        walk(e.sid_right)

    walk(ole.direntries[sid].sid_child)
    return out


def olecfinfo(path):
    return subprocess.run([OLECFINFO, str(path)], capture_output=True, text=True, timeout=60)


# ---------------------------------------------------------------------------
# Compound file writer
# ---------------------------------------------------------------------------

SIZES = [0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 100_000]


def pattern(n, salt=0):
    return bytes((i * 31 + salt * 7 + (i >> 8)) & 0xFF for i in range(n))


@pytest.fixture(scope="module")
def many_sizes_file():
    w = wf.CompoundFileWriter()
    streams = {}
    for k, n in enumerate(SIZES):
        path = "Data/Level2/s%06d" % n
        streams[path] = pattern(n, k)
        w.add_stream(path, streams[path])
    streams["Top"] = b"top"
    w.add_stream("Top", b"top")
    w.add_storage("EmptyStorage")
    return w.to_bytes(), streams


@pytest.mark.parametrize("size", SIZES)
def test_stream_sizes_roundtrip_olefile(many_sizes_file, size):
    data, streams = many_sizes_file
    ole = olefile.OleFileIO(io.BytesIO(data), raise_defects=olefile.DEFECT_INCORRECT)
    path = "Data/Level2/s%06d" % size
    assert ole.get_size(path) == size
    assert ole.openstream(path).read() == streams[path]


def test_storages_and_streams_listed_olefile(many_sizes_file):
    data, streams = many_sizes_file
    ole = olefile.OleFileIO(io.BytesIO(data), raise_defects=olefile.DEFECT_INCORRECT)
    listed = {"/".join(p) for p in ole.listdir(streams=True, storages=False)}
    assert listed == set(streams)
    assert ole.get_type("Data") == olefile.STGTY_STORAGE
    assert ole.get_type("Data/Level2") == olefile.STGTY_STORAGE
    assert ole.get_type("EmptyStorage") == olefile.STGTY_STORAGE
    assert ole.get_type("Top") == olefile.STGTY_STREAM
    assert len(data) % 512 == 0


@pytest.mark.parametrize("total_mb, difat_sectors", [(8, 1), (17, 2)])
def test_big_streams_use_difat_sectors(total_mb, difat_sectors):
    rng = np.random.default_rng(total_mb)
    big = rng.integers(0, 256, size=total_mb * 1024 * 1024, dtype=np.uint8).tobytes()
    w = wf.CompoundFileWriter()
    w.add_stream("Big/Stream", big)
    w.add_stream("Big/Small", b"small")
    data = w.to_bytes()
    assert len(w.layout.difat_sectors) == difat_sectors
    assert len(w.layout.fat_sectors) > 109
    ole = olefile.OleFileIO(io.BytesIO(data), raise_defects=olefile.DEFECT_INCORRECT)
    assert ole.openstream("Big/Stream").read() == big
    assert ole.openstream("Big/Small").read() == b"small"


NAMES = ["Idx", "idx2", "B", "a", "ZZZ", "Sample10", "Sample2", "sample1", "\x05SummaryInformation",
         "Ünïcødé", "名前", "ßeta", "𝄞clef", "ä", "Ä1", "x" * 31]


def test_sibling_order_and_unicode_names_olefile():
    w = wf.CompoundFileWriter()
    for i, n in enumerate(NAMES):
        w.add_stream("Root/" + n, n.encode("utf-8") * (i + 1))
    data = w.to_bytes()
    ole = olefile.OleFileIO(io.BytesIO(data), raise_defects=olefile.DEFECT_INCORRECT)
    root_sid = next(e.sid for e in ole.direntries if e is not None and e.name == "Root")
    assert children_in_tree_order(ole, root_sid) == sorted(NAMES, key=cfb_order)
    for i, n in enumerate(NAMES):
        assert ole.openstream(["Root", n]).read() == n.encode("utf-8") * (i + 1)
    # the tree is balanced, so depth stays logarithmic
    for e in ole.direntries:
        if e is not None:
            assert e.color == 1  # black


@pytest.mark.parametrize("first, second, clash", [
    ("abc", "ABC", True), ("ä", "Ä", True), ("Idx", "IDX", True),
    ("abc", "abd", False), ("ß", "SS", False), ("a", "a ", False)])
def test_case_insensitive_duplicates_rejected(first, second, clash):
    w = wf.CompoundFileWriter()
    w.add_stream("S/" + first, b"1")
    if clash:
        with pytest.raises(wf.CfbError):
            w.add_stream("S/" + second, b"2")
    else:
        w.add_stream("S/" + second, b"2")
        ole = olefile.OleFileIO(io.BytesIO(w.to_bytes()), raise_defects=olefile.DEFECT_INCORRECT)
        assert ole.openstream(["S", second]).read() == b"2"
        assert ole.openstream(["S", first]).read() == b"1"


@pytest.mark.parametrize("bad", ["x" * 32, "a\x00b"])
def test_invalid_names_rejected(bad):
    with pytest.raises(wf.CfbError):
        wf.CompoundFileWriter().add_stream(bad, b"")


@needs_olecfinfo
def test_olecfinfo_lists_entries(tmp_path):
    w = wf.CompoundFileWriter()
    sizes = {"SampleSubtree/Sample1/Idx": 5000, "SampleSubtree/Sample1/Log": 10,
             "SampleSubtree/Sample2/Idx": 0, "Alpha": 4096, "Beta/Gamma/Delta": 70_000}
    for p, n in sizes.items():
        w.add_stream(p, pattern(n))
    w.add_stream("\x05SummaryInformation",
                 wf.summary_information_stream(wf.datetime_to_filetime(dt.datetime(2019, 4, 17, 18, 40))))
    w.add_storage("Empty")
    path = tmp_path / "t.cfb"
    w.write(path)
    res = olecfinfo(path)
    assert res.returncode == 0, res.stderr
    lines = [ln for ln in res.stdout.splitlines()]
    start = lines.index("Storage and stream items:")
    items = [ln for ln in lines[start + 1:] if ln.startswith(" ") or ln.startswith("Root")]
    items = items[:items.index("") if "" in items else None]
    listed = [ln.strip() for ln in items]
    for p, n in sizes.items():
        assert "%s (%d bytes)" % (p.rsplit("/", 1)[-1], n) in listed
    for storage in ("SampleSubtree (0 bytes)", "Sample1 (0 bytes)", "Empty (0 bytes)",
                    "Gamma (0 bytes)"):
        assert storage in listed
    # nesting shows as indentation: Delta is three levels down
    assert any(ln == "      Delta (70000 bytes)" for ln in items)
    assert "\\x05SummaryInformation (" in res.stdout
    assert "Apr 17, 2019 18:40:00" in res.stdout
    # siblings appear in CFB order: shorter names first
    top = [ln.strip().split(" (")[0] for ln in items if ln.startswith("  ") and not ln.startswith("   ")]
    assert top == ["Beta", "Alpha", "Empty", "SampleSubtree", "\\x05SummaryInformation"]


@needs_olecfinfo
def test_olecfinfo_reads_big_file(tmp_path):
    w = wf.CompoundFileWriter()
    w.add_stream("S/Big", bytes(8 * 1024 * 1024))
    path = tmp_path / "big.cfb"
    w.write(path)
    res = olecfinfo(path)
    assert res.returncode == 0, res.stderr
    assert "Big (8388608 bytes)" in res.stdout


# libgsf, the compound-file library the reader itself links, as a third reader.
GSF_DUMP_C = r"""
#include <gsf/gsf.h>
#include <stdio.h>

static void walk(GsfInfile *dir, const char *prefix) {
    int n = gsf_infile_num_children(dir);
    for (int i = 0; i < n; i++) {
        const char *name = gsf_infile_name_by_index(dir, i);
        GsfInput *child = gsf_infile_child_by_index(dir, i);
        char path[4096];
        snprintf(path, sizeof path, "%s%s%s", prefix, *prefix ? "/" : "", name);
        if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
            printf("D\t%s\n", path);
            walk(GSF_INFILE(child), path);
        } else {
            gsf_off_t left = gsf_input_size(child);
            unsigned long long h = 0, pos = 0;
            guint8 buf[65536];
            printf("S\t%s\t%lld\t", path, (long long)left);
            while (left > 0) {
                size_t k = left > (gsf_off_t)sizeof buf ? sizeof buf : (size_t)left;
                if (!gsf_input_read(child, k, buf)) { printf("READ-ERROR"); break; }
                for (size_t j = 0; j < k; j++) h += (unsigned long long)buf[j] * ++pos;
                left -= k;
            }
            printf("%016llx\n", h);
        }
        g_object_unref(child);
    }
}

int main(int argc, char **argv) {
    GError *err = NULL;
    gsf_init();
    GsfInput *src = gsf_input_stdio_new(argv[1], &err);
    if (!src) { fprintf(stderr, "%s\n", err->message); return 2; }
    GsfInfile *ole = gsf_infile_msole_new(src, &err);
    if (!ole) { fprintf(stderr, "%s\n", err->message); return 3; }
    walk(ole, "");
    return 0;
}
"""


@pytest.fixture(scope="session")
def gsf_dump(tmp_path_factory):
    cc = shutil.which("cc")
    pkg = shutil.which("pkg-config")
    if not cc or not pkg or subprocess.run([pkg, "--exists", "libgsf-1"]).returncode != 0:
        pytest.skip("libgsf-1 development files or a C compiler not available")
    d = tmp_path_factory.mktemp("gsf")
    (d / "gsf_dump.c").write_text(GSF_DUMP_C)
    flags = subprocess.run([pkg, "--cflags", "--libs", "libgsf-1"], capture_output=True,
                           text=True, check=True).stdout.split()
    subprocess.run([cc, "-O2", "-o", str(d / "gsf_dump"), str(d / "gsf_dump.c")] + flags,
                   check=True, capture_output=True)

    def run(path):
        res = subprocess.run([str(d / "gsf_dump"), str(path)], capture_output=True, timeout=120)
        assert res.returncode == 0, res.stderr
        storages, streams = set(), {}
        for line in res.stdout.decode("utf-8").splitlines():
            kind, rest = line.split("\t", 1)
            if kind == "D":
                storages.add(rest)
            else:
                p, size, h = rest.split("\t")
                streams[p] = (int(size), h)
        return storages, streams
    return run


def checksum(data):
    """Sum of (position + 1) * byte, modulo 2**64: sees lost, extra and moved sectors."""
    arr = np.frombuffer(data, dtype=np.uint8).astype(np.uint64)
    weights = np.arange(1, len(arr) + 1, dtype=np.uint64)
    return "%016x" % int((arr * weights).sum(dtype=np.uint64))


def test_libgsf_reads_everything(tmp_path, gsf_dump):
    w = wf.CompoundFileWriter()
    expected = {}
    for k, n in enumerate(SIZES):
        expected["Data/Level2/s%06d" % n] = pattern(n, k)
    for i, n in enumerate(NAMES):
        expected["Names/" + n] = n.encode("utf-8") * (i + 1)
    for p, data in expected.items():
        w.add_stream(p, data)
    w.add_storage("EmptyStorage")
    w.write(tmp_path / "x.cfb")
    storages, streams = gsf_dump(tmp_path / "x.cfb")
    assert storages == {"Data", "Data/Level2", "Names", "EmptyStorage"}
    assert streams == {p: (len(d), checksum(d)) for p, d in expected.items()}


def test_libgsf_reads_difat_file(tmp_path, gsf_dump):
    # 17 MiB needs two DIFAT sectors; random content so moved sectors show
    big = np.random.default_rng(17).integers(0, 256, 17 << 20, dtype=np.uint8).tobytes()
    w = wf.CompoundFileWriter()
    w.add_stream("S/Big", big)
    w.add_stream("S/Tail", b"tail")
    w.write(tmp_path / "big.cfb")
    assert len(w.layout.difat_sectors) == 2
    _, streams = gsf_dump(tmp_path / "big.cfb")
    assert streams["S/Tail"] == (4, checksum(b"tail"))
    assert streams["S/Big"] == (len(big), checksum(big))



# ---------------------------------------------------------------------------
# Corruption helpers
# ---------------------------------------------------------------------------

@pytest.fixture()
def small_cfb():
    w = wf.CompoundFileWriter()
    w.add_stream("S/big", pattern(10_000))
    w.add_stream("S/small", pattern(300))
    w.add_stream("S/a", b"1")
    w.add_stream("S/bb", b"2")
    return w.to_bytes(), w.layout


def strict(data):
    ole = olefile.OleFileIO(io.BytesIO(data), raise_defects=olefile.DEFECT_INCORRECT)
    ole.openstream("S/big").read()
    ole.openstream("S/small").read()
    return ole


def test_unmodified_file_is_clean(small_cfb):
    strict(small_cfb[0])


@pytest.mark.parametrize("path", ["S/big", "S/small"])
def test_broken_chain_detected(small_cfb, path):
    data, layout = small_cfb
    bad = wf.corrupt_fat_chain(data, layout, path, position=1)
    with pytest.raises(OleFileError):
        strict(bad)


def test_fat_loop_written_at_documented_entry(small_cfb):
    data, layout = small_cfb
    bad = wf.corrupt_fat_loop(data, layout, "S/big")
    info = layout.entry("S/big")
    ole = olefile.OleFileIO(io.BytesIO(bad))
    assert ole.fat[info.sectors[-1]] == info.sectors[0]
    ole_ok = olefile.OleFileIO(io.BytesIO(data))
    assert ole_ok.fat[info.sectors[-1]] == cfb.ENDOFCHAIN


def test_sibling_cycle_detected(small_cfb):
    data, layout = small_cfb
    with pytest.raises(OleFileError):
        strict(wf.corrupt_sibling_cycle(data, layout, "S"))


@needs_olecfinfo
def test_sibling_cycle_rejected_by_olecfinfo(small_cfb, tmp_path):
    data, layout = small_cfb
    p = tmp_path / "cycle.cfb"
    p.write_bytes(wf.corrupt_sibling_cycle(data, layout, "S"))
    assert olecfinfo(p).returncode != 0


@pytest.mark.parametrize("size", [2 ** 40, 0xFFFFFFFF, 2 ** 64 - 1])
def test_absurd_stream_size(small_cfb, size):
    data, layout = small_cfb
    bad = wf.set_stream_size(data, layout, "S/big", size)
    ole = olefile.OleFileIO(io.BytesIO(bad))
    assert ole.direntries[layout.entry("S/big").entry_id].size != 10_000
    with pytest.raises(OleFileError):
        strict(bad)


def test_truncated_file_detected(small_cfb):
    data, layout = small_cfb
    cut = wf.truncate(data, layout.data_offset("S/big") + 700)
    with pytest.raises(OleFileError):
        strict(cut)


def test_data_offset_points_at_stream_bytes(small_cfb):
    data, layout = small_cfb
    for path, content in (("S/big", pattern(10_000)), ("S/small", pattern(300)), ("S/a", b"1")):
        off = layout.data_offset(path)
        assert data[off:off + min(len(content), 64)] == content[:64]


# ---------------------------------------------------------------------------
# Scan payload encoding
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("channels, intensities, widths, expected", [
    ([5, 8], [5, 10000], None, "05 85 03 FD 10 27 FF FF FF FF"),
    ([0, 0], [5, 6], None, "85 86 FF FF FF FF"),
    ([254], [1], None, "7F 7F 81 FF FF FF FF"),
    ([0, 2], [0, 0], [1, 2], "80 02 FC 00 FF FF FF FF"),
    ([0], [67305985], None, "FF 01 02 03 04 FF FF FF FF"),
    ([127, 128, 381], [123, 124, 255], None, "7F FB 01 FC 7C 7F 7E FC FF FF FF FF FF"),
    ([0], [7], [5], "FF 07 00 00 00 FF FF FF FF"),
    ([0], [7], [4], "FE 07 00 00 FF FF FF FF"),
    ([0], [0xFFFFFE], None, "FE FE FF FF FF FF FF FF"),
])
def test_encode_payload_exact_bytes(channels, intensities, widths, expected):
    got = wf.encode_payload(channels, intensities, widths)
    assert got.hex(" ").upper() == expected
    assert decode_codes(got) == list(zip(channels, intensities))


@pytest.mark.parametrize("width, low, high", [(1, 0, 124), (2, 0, 256), (3, 0, 1 << 16),
                                              (4, 0, 1 << 24), (5, 0, 1 << 32)])
def test_each_code_width_roundtrips(width, low, high):
    rng = np.random.default_rng(width)
    n = 500
    ch = np.cumsum(rng.integers(0, 1000, n))
    inten = rng.integers(low, high, n, dtype=np.int64)
    if width == 5:
        inten[(inten & 0xFFFFFF) == 0xFFFFFF] -= 1
    payload = wf.encode_payload(ch, inten, [width] * n)
    leads = []
    assert decode_codes(payload, leads) == list(zip(ch.tolist(), inten.tolist()))
    assert payload.endswith(b"\xff\xff\xff\xff")
    if width == 1:
        assert all(0x80 <= c <= 0xFB for c in leads)
    else:
        assert set(leads) == {0xF8 + width + 2}


def test_without_end_marker_decoding_runs_to_data_end():
    payload = wf.encode_payload([3], [9], end_marker=False)
    assert payload == bytes([0x03, 0x89])


@pytest.mark.parametrize("channels, intensities, widths", [
    ([5, 4], [1, 1], None),               # decreasing channel
    ([0], [0x01FFFFFF], None),            # 5-byte code would read as end marker
    ([0], [0xFFFFFF], [5]),
    ([0], [124], [1]),                    # does not fit the forced width
    ([0], [256], [2]),
    ([0], [1 << 32], None),
])
def test_unencodable_points_rejected(channels, intensities, widths):
    with pytest.raises(ValueError):
        wf.encode_payload(channels, intensities, widths)


# ---------------------------------------------------------------------------
# FILETIME text
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("filetime, text", [
    (0, "1601-01-01T00:00:00Z"),
    (116444736000000000, "1970-01-01T00:00:00Z"),
    (132000000000000000, "2019-04-17T18:40:00Z"),
    (132000000000000000 + 1234567, "2019-04-17T18:40:00.123Z"),
    (132000000000000000 + 9999, "2019-04-17T18:40:00Z"),
    (116444736000000000 - 1, "1969-12-31T23:59:59.999Z"),
])
def test_filetime_text(filetime, text):
    assert wf.filetime_to_rfc3339(filetime) == text


def test_filetime_text_matches_datetime():
    rng = np.random.default_rng(5)
    for ft in rng.integers(0, 2_650_000_000_000_000_000 // 10, 2000).tolist():
        d = dt.datetime(1601, 1, 1) + dt.timedelta(microseconds=ft // 10)
        ms = d.microsecond // 1000
        want = d.strftime("%Y-%m-%dT%H:%M:%S").rjust(19, "0") + (".%03dZ" % ms if ms else "Z")
        assert wf.filetime_to_rfc3339(ft) == want
        assert wf.datetime_to_filetime(d) == ft - ft % 10


# ---------------------------------------------------------------------------
# Acquisitions
# ---------------------------------------------------------------------------

def read_idx(data):
    out = []
    for o in range(32, len(data) - 53, 54):
        off, size, _, rt, level, _, tic = struct.unpack_from("<IIIfBBd", data, o)
        if size > 56:
            out.append((off, size, rt, 1 if level == 1 else 2, tic))
    return out


@pytest.fixture(scope="module")
def two_samples(tmp_path_factory):
    d = tmp_path_factory.mktemp("acq")
    acq = wf.Acquisition(samples=[
        wf.dda_sample("Sample10", seed=3),
        wf.dda_sample("Sample2", seed=4, cycles=3, calibration=None),
    ], creation_time=dt.datetime(2020, 2, 29, 23, 59, 58, 999999))
    return wf.build(acq, d), acq


def test_acquisition_readable_by_libgsf(two_samples, gsf_dump):
    exp, _ = two_samples
    storages, streams = gsf_dump(exp.wiff_path)
    assert {"SampleSubtree/Sample2", "SampleSubtree/Sample10", "MethodSubtree"} <= storages
    assert streams == {p: (len(d), checksum(d)) for p, d in exp.streams.items()}


def test_listing_order_and_files(two_samples):
    exp, _ = two_samples
    assert exp.sample_names == ["Sample2", "Sample10"]
    ole = olefile.OleFileIO(str(exp.wiff_path), raise_defects=olefile.DEFECT_INCORRECT)
    kids = {p[1] for p in ole.listdir(storages=True) if p[0] == "SampleSubtree" and len(p) >= 2}
    assert kids == {"Sample2", "Sample10"}
    assert exp.scan_file_size == exp.scan_path.stat().st_size


def test_idx_and_scan_blocks_decode_independently(two_samples):
    exp, acq = two_samples
    ole = olefile.OleFileIO(str(exp.wiff_path))
    scan = exp.scan_path.read_bytes()
    for sample in acq.samples:
        recs = read_idx(ole.openstream("SampleSubtree/%s/Idx" % sample.name).read())
        got = exp.sample(sample.name)
        assert len(recs) == len(sample.scans) == len(got.idx) == len(got.spectra)
        for rec, sc, want_idx, sp in zip(recs, sample.scans, got.idx, got.spectra):
            off, size, rt, level, tic = rec
            assert (off, size, level) == (want_idx["scan_offset"], want_idx["scan_size"], want_idx["ms_level"])
            assert level == sc.ms_level
            assert rt == np.float32(sc.retention_time_min)
            assert tic == sum(v for _, v in sc.points)
            assert scan[off + size - 4:off + size] == b"\xff\xff\xff\xff"
            pts = decode_codes(scan[off + 56:off + size])
            assert pts == list(sc.points) == sp.points
            assert sp.error is None


def test_expected_mz_and_precursors(two_samples):
    exp, acq = two_samples
    s10 = exp.sample("Sample10")
    slope, intercept = acq.samples[0].calibration
    dde = list(acq.samples[0].dde_mz)
    assert s10.dde_mz == dde
    survey = 0
    last_survey = None
    for sp in s10.spectra:
        nz = [(c, v) for c, v in sp.points if v]
        assert sp.mz == [intercept + slope * c for c, _ in nz]
        assert sp.intensity == [float(np.float32(v)) for _, v in nz]
        if sp.ms_level == 1:
            survey += 1
            last_survey = sp.native_id
            assert sp.precursor is None
        else:
            assert sp.precursor == {"target_mz": dde[survey - 1], "selected_mz": dde[survey - 1],
                                      "precursor_native_id": last_survey}
    s2 = exp.sample("Sample2")
    assert s2.calibration is None and s2.analyzer == "tqms"
    assert s2.spectra[0].mz == [float(c) for c, v in s2.spectra[0].points if v]


def test_metadata_streams(two_samples):
    exp, _ = two_samples
    ole = olefile.OleFileIO(str(exp.wiff_path))
    props = ole.getproperties("\x05SummaryInformation", convert_time=True)
    assert props[12] == dt.datetime(2020, 2, 29, 23, 59, 58, 999999)
    assert exp.creation_timestamp == "2020-02-29T23:59:58.999Z"
    log = ole.openstream("SampleSubtree/Sample10/Log").read().decode("utf-16-le")
    assert "\r\nComponent ID: TripleTOF 5600+ System\r\n" in log
    assert "\r\nSerial Number: BM20041707\r\n" in log
    assert exp.sample("Sample10").instrument == {
        "component_id": "TripleTOF 5600+ System", "manufacturer": "AB Sciex",
        "model_number": "1024950", "serial_number": "BM20041707"}
    assert exp.sample("Sample10").instrument_term == ("MS:1002584", "TripleTOF 5600+")
    cal = ole.openstream("SampleSubtree/Sample10/TOFCalibrationData").read()
    assert struct.unpack_from("<dd", cal, 32) == (0.0005, 20.0)
    names = []
    for p in range(8):
        path = wf.ion_source_path(1, p)
        if ole.exists(path):
            raw = ole.openstream(path).read()
            n = struct.unpack_from("<H", raw, 34)[0]
            names.append((raw[36:36 + n].decode("utf-16-le"), struct.unpack_from("<f", raw, 36 + n)[0]))
    assert names == exp.ion_source_parameters
    assert names[0] == ("IS", 5500.0)
    assert exp.sample("Sample2").polarity == "positive"
    dde = ole.openstream("SampleSubtree/Sample10/DDERealTimeDataEx").read()
    assert (len(dde) - 32) % 76 == 0
    assert [struct.unpack_from("<d", dde, 32 + 76 * k + 4)[0] for k in range((len(dde) - 32) // 76)] \
        == exp.sample("Sample10").dde_mz


@pytest.mark.parametrize("knob, stream", [
    (dict(log=None), "SampleSubtree/Sample1/Log"),
    (dict(calibration=None), "SampleSubtree/Sample1/TOFCalibrationData"),
    (dict(dde_mz=None), "SampleSubtree/Sample1/DDERealTimeDataEx"),
    (dict(omit_idx=True), "SampleSubtree/Sample1/Idx"),
])
def test_missing_sample_streams(tmp_path, knob, stream):
    exp = wf.build(wf.Acquisition(samples=[wf.dda_sample(cycles=1, **knob)]), tmp_path)
    ole = olefile.OleFileIO(str(exp.wiff_path))
    assert not ole.exists(stream)
    s = exp.sample()
    if "log" in knob:
        assert s.instrument is None and s.instrument_term == ("MS:1000121", "SCIEX instrument model")
    if "calibration" in knob:
        assert s.calibration is None and s.analyzer == "tqms"
    if "dde_mz" in knob:
        assert s.dde_mz == [] and all(sp.precursor is None or sp.precursor["target_mz"] is None
                                      for sp in s.spectra)
    if "omit_idx" in knob:
        assert s.open_error.startswith("parse error: Stream 'SampleSubtree/Sample1/Idx' not found: ")


@pytest.mark.parametrize("knob, check", [
    (dict(methods=None), lambda ole, exp: not ole.exists("MethodSubtree")
     and exp.ion_source_parameters == [] and exp.sample().polarity is None),
    (dict(creation_time=None), lambda ole, exp: not ole.exists("\x05SummaryInformation")
     and exp.creation_timestamp is None),
    (dict(summary_create_type=0x1E), lambda ole, exp: ole.exists("\x05SummaryInformation")
     and exp.creation_timestamp is None),
    (dict(write_scan_file=False), lambda ole, exp: not exp.scan_path.exists()
     and exp.sample().open_error == "parse error: .wiff.scan file not found: %s" % exp.scan_path),
    (dict(omit_sample_subtree=True), lambda ole, exp: not ole.exists("SampleSubtree")
     and exp.sample_names == []),
    (dict(methods={1: [("TEM", 450.0)], 2: [("GS1", 1.0), None, ("ISVF", -4500.0)]}),
     lambda ole, exp: exp.ion_source_parameters == [("GS1", 1.0), ("ISVF", -4500.0)]
     and exp.sample().polarity == "negative" and not ole.exists(wf.ion_source_path(2, 1))),
    (dict(methods={1: [("TEM", 450.0)], 2: [("GS1", 1.0)]}),
     lambda ole, exp: exp.ion_source_parameters == [("TEM", 450.0)] and exp.sample().polarity is None),
    (dict(methods={1: [("IS", 0.0)]}), lambda ole, exp: exp.sample().polarity is None),
])
def test_acquisition_level_knobs(tmp_path, knob, check):
    exp = wf.build(wf.Acquisition(samples=[wf.dda_sample(cycles=1)], **knob), tmp_path)
    ole = olefile.OleFileIO(str(exp.wiff_path), raise_defects=olefile.DEFECT_INCORRECT)
    assert check(ole, exp)


@pytest.mark.parametrize("sample_knob, error", [
    (dict(idx_truncate=31), "parse error: Idx stream too short for header"),
    (dict(idx_truncate=85), "parse error: Idx stream contained no valid scan records"),
    (dict(idx_bytes=bytes(32 + 54 * 3)), "parse error: Idx stream contained no valid scan records"),
])
def test_unusable_idx(tmp_path, sample_knob, error):
    exp = wf.build(wf.Acquisition(samples=[wf.dda_sample(cycles=1, **sample_knob)]), tmp_path)
    assert exp.sample().open_error == error and exp.sample().idx is None


def test_junk_idx_slots_are_skipped(tmp_path):
    sample = wf.dda_sample(cycles=2, idx_junk_slots=[(0, 0), (2, 56), (8, 10)], idx_trailing=b"\x01" * 53)
    exp = wf.build(wf.Acquisition(samples=[sample]), tmp_path)
    raw = olefile.OleFileIO(str(exp.wiff_path)).openstream("SampleSubtree/Sample1/Idx").read()
    assert len(raw) == 32 + 54 * (8 + 3) + 53
    assert len(read_idx(raw)) == 8 == len(exp.sample().idx)
    assert [sp.scan_number for sp in exp.sample().spectra] == list(range(1, 9))


def test_scan_offset_past_end_and_truncated_scan_file(tmp_path):
    sample = wf.dda_sample(cycles=2)
    sample.scans[2].scan_offset = 10_000_000
    exp = wf.build(wf.Acquisition(samples=[sample]), tmp_path)
    sp = exp.sample().spectra[2]
    assert sp.error == ("vendor parser error: cannot read scan block for scan=3 at offset 10000000: "
                          "scan block payload at offset 10000056 is past the end of the .wiff.scan "
                          "file (%d bytes)" % exp.scan_file_size)
    assert sp.points == []
    # the scan before it is bounded by the bogus offset only from above: unchanged
    assert exp.sample().spectra[1].points == list(sample.scans[1].points)

    full = wf.dda_sample(cycles=2)
    cut_at = 64 + 56 + 20
    exp2 = wf.build(wf.Acquisition(samples=[full], scan_file_truncate=cut_at), tmp_path / "cut")
    assert exp2.scan_path.stat().st_size == cut_at
    first = exp2.sample().spectra[0]
    assert first.error is None
    assert first.points == decode_codes(exp2.scan_path.read_bytes()[64 + 56:])
    assert len(first.points) < len(full.scans[0].points)
    assert all(sp.error is not None for sp in exp2.sample().spectra[1:])


def test_missing_end_marker_reads_into_next_block(tmp_path):
    sample = wf.dda_sample(cycles=1)
    sample.scans[0].end_marker = False
    exp = wf.build(wf.Acquisition(samples=[sample]), tmp_path)
    scan = exp.scan_path.read_bytes()
    first = exp.sample().idx[0]
    second = exp.sample().idx[1]
    window = scan[first["scan_offset"] + 56:second["scan_offset"] + 64]
    assert exp.sample().spectra[0].points == decode_codes(window)
    # the next block's header is filled with point codes, so the over-read shows
    assert len(exp.sample().spectra[0].points) > len(sample.scans[0].points)


def test_raw_payload_and_log_overrides(tmp_path):
    sample = wf.Sample(scans=[wf.Scan(payload=bytes.fromhex("0585 03FD1027 FFFFFFFF"))],
                       log="Mass Spectrometer: x\r\nManufacturer: SCIEX\r\nComponent Id: QTRAP 6500+\r\n",
                       calibration=(2.0, 100.0))
    exp = wf.build(wf.Acquisition(samples=[sample]), tmp_path)
    s = exp.sample()
    assert s.spectra[0].points == [(5, 5), (8, 10000)]
    assert s.spectra[0].mz == [110.0, 116.0]
    assert s.instrument == {"component_id": "QTRAP 6500+", "manufacturer": "SCIEX",
                            "model_number": None, "serial_number": None}
    assert s.instrument_term == ("MS:1002582", "QTRAP 6500+")


def test_several_samples_share_scan_file_and_timestamp(tmp_path):
    names = ["Sample10", "Blank", "Sample2", "sample1", "Sample+3", "Sample-1"]
    acq = wf.Acquisition(samples=[wf.dda_sample(n, cycles=1, seed=i) for i, n in enumerate(names)])
    exp = wf.build(acq, tmp_path)
    assert exp.sample_names == ["Sample2", "Sample+3", "Sample10", "Blank", "Sample-1", "sample1"]
    scan = exp.scan_path.read_bytes()
    offsets = []
    for n, sample in zip(names, acq.samples):
        s = exp.sample(n)
        assert s.creation_timestamp == exp.creation_timestamp
        for rec, sc in zip(s.idx, sample.scans):
            offsets.append(rec["scan_offset"])
            assert decode_codes(scan[rec["scan_offset"] + 56:rec["scan_offset"] + rec["scan_size"]]) \
                == list(sc.points)
    assert offsets == sorted(offsets) and len(set(offsets)) == len(offsets)


def test_synthetic_run(tmp_path):
    run = wf.write_synthetic_run(tmp_path, n_scans=60, points_per_scan=300, chunk_points=5000)
    scan = run.scan_path.read_bytes()
    assert len(scan) == run.scan_file_size
    ole = olefile.OleFileIO(str(run.wiff_path))
    recs = read_idx(ole.openstream("SampleSubtree/Sample1/Idx").read())
    assert len(recs) == 60
    widths_seen = set()
    for i, (off, size, rt, level, tic) in enumerate(recs):
        assert (off, size, level) == (run.scan_offset[i], run.scan_size[i], run.ms_level[i])
        pts = decode_codes(scan[off + 56:off + size])
        ch, inten = run.scan_points(i)
        assert pts == list(zip(ch.tolist(), inten.tolist()))
        assert tic == sum(v for _, v in pts)
        mz, fl = run.scan_arrays(i)
        slope, intercept = run.calibration
        nz = [(c, v) for c, v in pts if v]
        assert mz.tolist() == [intercept + slope * c for c, _ in nz]
        assert fl.tolist() == [float(np.float32(v)) for _, v in nz]
        widths_seen.update(wf.minimal_widths(inten).tolist())
    assert widths_seen == {1, 2, 3, 4, 5}
    assert run.ms_level.tolist()[:6] == [1, 2, 2, 2, 2, 1]
    assert run.expected.sample().dde_mz == run.dde_mz.tolist()


# ---------------------------------------------------------------------------
# The shipped example
# ---------------------------------------------------------------------------

def test_make_example_is_deterministic_and_matches_committed(tmp_path):
    script = REPO / "tests" / "wifffixture" / "make_example.py"
    for d in ("a", "b"):
        subprocess.run([sys.executable, str(script), str(tmp_path / d)], check=True,
                       capture_output=True)
    for suffix in (".wiff", ".wiff.scan"):
        a = (tmp_path / "a" / ("example" + suffix)).read_bytes()
        assert a == (tmp_path / "b" / ("example" + suffix)).read_bytes()
        assert len(a) < 64 * 1024
        committed = REPO / "examples" / ("example" + suffix)
        if committed.exists():
            assert committed.read_bytes() == a
    ole = olefile.OleFileIO(str(tmp_path / "a" / "example.wiff"), raise_defects=olefile.DEFECT_INCORRECT)
    recs = read_idx(ole.openstream("SampleSubtree/Sample1/Idx").read())
    assert len(recs) == 20
    assert [r[3] for r in recs[:4]] == [1, 2, 2, 2]

"""Minimal MS-CFB (OLE2 structured storage) writer, major version 3.

Writes 512-byte sectors with a 64-byte mini stream for streams below the
4096-byte cutoff, a FAT that may need DIFAT sectors beyond the 109 header
slots, and one directory tree per storage.  Sibling trees are balanced binary
trees coloured all black, which MS-CFB explicitly allows.

The writer also reports where everything landed (:class:`CfbLayout`) so that
hostile-input tests can damage a file precisely; see the ``corrupt_*`` helpers
at the bottom of the module.

File geometry (v3):
  * byte 0..511       header
  * sector s          bytes 512 * (s + 1) .. 512 * (s + 2)
  * sectors are laid out as: directory, mini FAT, mini stream, regular
    streams (each contiguous, in insertion order), FAT, DIFAT.
"""

from __future__ import annotations

import struct
from array import array
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

SECTOR_SIZE = 512
MINI_SECTOR_SIZE = 64
MINI_STREAM_CUTOFF = 4096
DIR_ENTRY_SIZE = 128
HEADER_DIFAT_SLOTS = 109
FAT_ENTRIES_PER_SECTOR = SECTOR_SIZE // 4            # 128
DIFAT_ENTRIES_PER_SECTOR = FAT_ENTRIES_PER_SECTOR - 1  # 127 + next pointer

MAXREGSECT = 0xFFFFFFFA
DIFSECT = 0xFFFFFFFC
FATSECT = 0xFFFFFFFD
ENDOFCHAIN = 0xFFFFFFFE
FREESECT = 0xFFFFFFFF
NOSTREAM = 0xFFFFFFFF

SIGNATURE = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"

TYPE_EMPTY = 0
TYPE_STORAGE = 1
TYPE_STREAM = 2
TYPE_ROOT = 5

COLOR_RED = 0
COLOR_BLACK = 1

# Header field offsets (little-endian), for corruption helpers and tests.
HDR_SIGNATURE = 0
HDR_MINOR_VERSION = 24
HDR_MAJOR_VERSION = 26
HDR_BYTE_ORDER = 28
HDR_SECTOR_SHIFT = 30
HDR_MINI_SECTOR_SHIFT = 32
HDR_NUM_DIR_SECTORS = 40
HDR_NUM_FAT_SECTORS = 44
HDR_FIRST_DIR_SECTOR = 48
HDR_MINI_CUTOFF = 56
HDR_FIRST_MINIFAT_SECTOR = 60
HDR_NUM_MINIFAT_SECTORS = 64
HDR_FIRST_DIFAT_SECTOR = 68
HDR_NUM_DIFAT_SECTORS = 72
HDR_DIFAT = 76

# Directory entry field offsets, relative to the entry.
DE_NAME = 0
DE_NAME_LEN = 64
DE_TYPE = 66
DE_COLOR = 67
DE_LEFT = 68
DE_RIGHT = 72
DE_CHILD = 76
DE_START = 116
DE_SIZE = 120


def sector_offset(sector: int) -> int:
    """Byte offset of a regular sector in a v3 file."""
    return SECTOR_SIZE * (sector + 1)


def _upcase_unit(u: int) -> int:
    # Simple (one-to-one) upper-casing of a UTF-16 code unit; surrogates and
    # characters whose upper case is not a single BMP unit stay as they are.
    if 0xD800 <= u <= 0xDFFF:
        return u
    up = chr(u).upper()
    if len(up) == 1 and ord(up) <= 0xFFFF:
        return ord(up)
    return u


def _units(name: str) -> List[int]:
    raw = name.encode("utf-16-le", "surrogatepass")
    return list(struct.unpack("<%dH" % (len(raw) // 2), raw))


def cfb_name_key(name: str) -> Tuple[int, Tuple[int, ...]]:
    """Sort key of a directory entry name among its siblings.

    Shorter names (in UTF-16 code units) sort first; names of equal length
    compare code unit by code unit after upper-casing.
    """
    units = _units(name)
    return (len(units), tuple(_upcase_unit(u) for u in units))


class CfbError(ValueError):
    pass


@dataclass
class _Node:
    name: str
    is_storage: bool
    data: bytes = b""
    children: Dict[Tuple[int, Tuple[int, ...]], "_Node"] = field(default_factory=dict)
    # filled during layout
    entry_id: int = -1
    left: int = NOSTREAM
    right: int = NOSTREAM
    child: int = NOSTREAM
    start: int = ENDOFCHAIN
    size: int = 0
    path: str = ""


@dataclass
class EntryInfo:
    """Where a directory entry and its data ended up."""
    path: str
    entry_id: int
    entry_offset: int            # byte offset of the 128-byte directory entry
    is_storage: bool
    size: int = 0
    in_mini_stream: bool = False
    start_sector: int = ENDOFCHAIN  # regular sector, or mini sector when in_mini_stream
    sectors: List[int] = field(default_factory=list)  # the whole chain


@dataclass
class CfbLayout:
    """Geometry of a written compound file."""
    total_size: int
    num_sectors: int
    dir_sectors: List[int]
    fat_sectors: List[int]
    difat_sectors: List[int]
    minifat_sectors: List[int]
    ministream_sectors: List[int]
    entries: Dict[str, EntryInfo]  # "" is the root entry; keys are "/"-paths

    def entry(self, path: str) -> EntryInfo:
        key = _norm_key(path)
        for p, info in self.entries.items():
            if _norm_key(p) == key:
                return info
        raise KeyError(path)

    def fat_entry_offset(self, sector: int) -> int:
        """Byte offset of the FAT entry that describes ``sector``."""
        fat_sector = self.fat_sectors[sector // FAT_ENTRIES_PER_SECTOR]
        return sector_offset(fat_sector) + 4 * (sector % FAT_ENTRIES_PER_SECTOR)

    def minifat_entry_offset(self, mini_sector: int) -> int:
        """Byte offset of the mini FAT entry that describes ``mini_sector``."""
        s = self.minifat_sectors[mini_sector // FAT_ENTRIES_PER_SECTOR]
        return sector_offset(s) + 4 * (mini_sector % FAT_ENTRIES_PER_SECTOR)

    def data_offset(self, path: str) -> int:
        """Byte offset of the first byte of a stream's data in the file."""
        info = self.entry(path)
        if info.in_mini_stream:
            ms = info.start_sector * MINI_SECTOR_SIZE
            return sector_offset(self.ministream_sectors[ms // SECTOR_SIZE]) + ms % SECTOR_SIZE
        return sector_offset(info.start_sector)


def _norm_key(path: str) -> Tuple:
    return tuple(cfb_name_key(p) for p in _split(path))


def _split(path: str) -> List[str]:
    return [p for p in path.split("/") if p != ""]


def _validate_name(name: str) -> None:
    if not name:
        raise CfbError("empty entry name")
    if "\x00" in name:
        raise CfbError("entry name contains NUL: %r" % name)
    if len(_units(name)) > 31:
        raise CfbError("entry name longer than 31 UTF-16 code units: %r" % name)


class CompoundFileWriter:
    """Collects storages and streams, then writes a v3 compound file.

    Paths are "/"-separated from the root; parent storages are created on
    demand.  Names are compared case-insensitively, as readers do, so two
    entries whose names differ only in case cannot be siblings.
    """

    def __init__(self) -> None:
        self._root = _Node(name="Root Entry", is_storage=True)
        self.layout: Optional[CfbLayout] = None

    # -- building ---------------------------------------------------------
    def _walk(self, parts: List[str], create: bool) -> _Node:
        node = self._root
        for part in parts:
            _validate_name(part)
            key = cfb_name_key(part)
            child = node.children.get(key)
            if child is None:
                if not create:
                    raise KeyError(part)
                child = _Node(name=part, is_storage=True)
                node.children[key] = child
            elif not child.is_storage:
                raise CfbError("%r is a stream, not a storage" % part)
            node = child
        return node

    def add_storage(self, path: str) -> None:
        parts = _split(path)
        if not parts:
            raise CfbError("empty storage path")
        self._walk(parts, create=True)

    def add_stream(self, path: str, data) -> None:
        parts = _split(path)
        if not parts:
            raise CfbError("empty stream path")
        parent = self._walk(parts[:-1], create=True)
        name = parts[-1]
        _validate_name(name)
        key = cfb_name_key(name)
        existing = parent.children.get(key)
        if existing is not None and existing.is_storage:
            raise CfbError("%r is a storage, not a stream" % path)
        if existing is not None:
            raise CfbError("stream %r added twice" % path)
        parent.children[key] = _Node(name=name, is_storage=False, data=bytes(data))

    def has(self, path: str) -> bool:
        node = self._root
        for part in _split(path):
            node = node.children.get(cfb_name_key(part))
            if node is None:
                return False
        return True

    # -- writing ----------------------------------------------------------
    def write(self, path) -> CfbLayout:
        data = self.to_bytes()
        Path(path).write_bytes(data)
        assert self.layout is not None
        return self.layout

    def to_bytes(self) -> bytes:
        return bytes(self._build())

    def _build(self) -> bytearray:
        # 1. number the directory entries (root first, then depth-first).
        nodes: List[_Node] = []

        def number(node: _Node, path: str) -> None:
            node.entry_id = len(nodes)
            node.path = path
            nodes.append(node)
            for key in sorted(node.children):
                child = node.children[key]
                number(child, path + "/" + child.name if path else child.name)

        number(self._root, "")

        # 2. sibling trees: balanced BST over the sorted children, all black.
        def link(node: _Node) -> None:
            kids = [node.children[k] for k in sorted(node.children)]

            def build(lo: int, hi: int) -> int:
                if lo >= hi:
                    return NOSTREAM
                mid = (lo + hi) // 2
                kids[mid].left = build(lo, mid)
                kids[mid].right = build(mid + 1, hi)
                return kids[mid].entry_id

            node.child = build(0, len(kids))
            for k in kids:
                if k.is_storage:
                    link(k)

        link(self._root)

        streams = [n for n in nodes if not n.is_storage]
        mini = [n for n in streams if len(n.data) < MINI_STREAM_CUTOFF]
        big = [n for n in streams if len(n.data) >= MINI_STREAM_CUTOFF]

        # 3. mini stream layout.
        minifat = array("I")
        for n in mini:
            n.size = len(n.data)
            count = -(-n.size // MINI_SECTOR_SIZE)
            if count == 0:
                n.start = ENDOFCHAIN
                continue
            first = len(minifat)
            n.start = first
            minifat.extend(range(first + 1, first + count))
            minifat.append(ENDOFCHAIN)
        mini_sector_count = len(minifat)
        ministream_size = mini_sector_count * MINI_SECTOR_SIZE

        def nsec(nbytes: int, unit: int = SECTOR_SIZE) -> int:
            return -(-nbytes // unit)

        n_dir = nsec(len(nodes) * DIR_ENTRY_SIZE)
        n_minifat = nsec(len(minifat) * 4)
        n_ministream = nsec(ministream_size)
        n_big = sum(nsec(len(n.data)) for n in big)
        n_data = n_dir + n_minifat + n_ministream + n_big

        # 4. FAT and DIFAT sizes: the FAT must also describe its own sectors
        #    and the DIFAT sectors.
        n_fat = 0
        while True:
            n_difat = nsec(max(0, n_fat - HEADER_DIFAT_SLOTS), DIFAT_ENTRIES_PER_SECTOR)
            needed = nsec(n_data + n_fat + n_difat, FAT_ENTRIES_PER_SECTOR)
            if needed <= n_fat:
                break
            n_fat = needed
        total_sectors = n_data + n_fat + n_difat
        if total_sectors > MAXREGSECT:
            raise CfbError("file too large for 32-bit sector numbers")

        # 5. assign sectors.
        cursor = 0

        def take(count: int) -> List[int]:
            nonlocal cursor
            s = list(range(cursor, cursor + count))
            cursor += count
            return s

        dir_secs = take(n_dir)
        minifat_secs = take(n_minifat)
        ministream_secs = take(n_ministream)
        big_runs = []
        for n in big:
            n.size = len(n.data)
            secs = nsec(n.size)
            n.start = cursor
            big_runs.append((n, cursor, secs))
            cursor += secs
        fat_secs = take(n_fat)
        difat_secs = take(n_difat)
        assert cursor == total_sectors

        fat = array("I", [FREESECT]) * (n_fat * FAT_ENTRIES_PER_SECTOR)

        def chain(start: int, count: int) -> None:
            if count == 0:
                return
            fat[start:start + count - 1] = array("I", range(start + 1, start + count))
            fat[start + count - 1] = ENDOFCHAIN

        for run in (dir_secs, minifat_secs, ministream_secs):
            if run:
                chain(run[0], len(run))
        for _, start, count in big_runs:
            chain(start, count)
        for s in fat_secs:
            fat[s] = FATSECT
        for s in difat_secs:
            fat[s] = DIFSECT

        # 6. the file image.
        buf = bytearray(SECTOR_SIZE * (1 + total_sectors))
        mv = memoryview(buf)

        # header
        hdr = struct.pack(
            "<8s16sHHHHH6sIIIIIIIII",
            SIGNATURE, b"\0" * 16, 0x003E, 0x0003, 0xFFFE, 9, 6, b"\0" * 6,
            0,                                   # directory sectors (0 in v3)
            n_fat,
            dir_secs[0] if dir_secs else ENDOFCHAIN,
            0,                                   # transaction signature
            MINI_STREAM_CUTOFF,
            minifat_secs[0] if minifat_secs else ENDOFCHAIN,
            n_minifat,
            difat_secs[0] if difat_secs else ENDOFCHAIN,
            n_difat,
        )
        assert len(hdr) == HDR_DIFAT
        buf[0:HDR_DIFAT] = hdr
        head_difat = array("I", fat_secs[:HEADER_DIFAT_SLOTS])
        head_difat.extend([FREESECT] * (HEADER_DIFAT_SLOTS - len(head_difat)))
        buf[HDR_DIFAT:SECTOR_SIZE] = head_difat.tobytes()

        # DIFAT sectors
        rest = fat_secs[HEADER_DIFAT_SLOTS:]
        for i, s in enumerate(difat_secs):
            part = array("I", rest[i * DIFAT_ENTRIES_PER_SECTOR:(i + 1) * DIFAT_ENTRIES_PER_SECTOR])
            part.extend([FREESECT] * (DIFAT_ENTRIES_PER_SECTOR - len(part)))
            part.append(difat_secs[i + 1] if i + 1 < len(difat_secs) else ENDOFCHAIN)
            off = sector_offset(s)
            buf[off:off + SECTOR_SIZE] = part.tobytes()

        # FAT
        if n_fat:
            off = sector_offset(fat_secs[0])
            buf[off:off + n_fat * SECTOR_SIZE] = fat.tobytes()

        # mini FAT
        if n_minifat:
            mf = array("I", minifat)
            mf.extend([FREESECT] * (n_minifat * FAT_ENTRIES_PER_SECTOR - len(mf)))
            off = sector_offset(minifat_secs[0])
            buf[off:off + n_minifat * SECTOR_SIZE] = mf.tobytes()

        # mini stream (contiguous regular sectors)
        if n_ministream:
            base = sector_offset(ministream_secs[0])
            for n in mini:
                if n.size:
                    o = base + n.start * MINI_SECTOR_SIZE
                    mv[o:o + n.size] = n.data

        # big streams
        for n, start, _ in big_runs:
            o = sector_offset(start)
            mv[o:o + n.size] = n.data

        # directory
        root = self._root
        root.start = ministream_secs[0] if ministream_secs else ENDOFCHAIN
        root.size = ministream_size
        dir_base = sector_offset(dir_secs[0])
        entries: Dict[str, EntryInfo] = {}
        for n in nodes:
            o = dir_base + n.entry_id * DIR_ENTRY_SIZE
            name_bytes = n.name.encode("utf-16-le", "surrogatepass") + b"\0\0"
            if n is root:
                etype = TYPE_ROOT
            elif n.is_storage:
                etype = TYPE_STORAGE
            else:
                etype = TYPE_STREAM
            start = n.start if (n is root or not n.is_storage) else 0
            size = n.size if (n is root or not n.is_storage) else 0
            buf[o:o + 64] = name_bytes.ljust(64, b"\0")
            struct.pack_into("<HBBIII", buf, o + DE_NAME_LEN, len(name_bytes), etype,
                             COLOR_BLACK, n.left, n.right, n.child if n.is_storage else NOSTREAM)
            struct.pack_into("<IQ", buf, o + DE_START, start, size)
            info = EntryInfo(path=n.path, entry_id=n.entry_id, entry_offset=o,
                             is_storage=n.is_storage,
                             size=size)
            if not n.is_storage or n is root:
                info.start_sector = start
                if n is root:
                    info.sectors = list(ministream_secs)
                elif n.size < MINI_STREAM_CUTOFF:
                    info.in_mini_stream = True
                    cnt = -(-n.size // MINI_SECTOR_SIZE)
                    info.sectors = list(range(start, start + cnt)) if cnt else []
                else:
                    info.sectors = list(range(start, start + nsec(n.size)))
            entries[n.path] = info
        # unused entries in the last directory sector
        for e in range(len(nodes), n_dir * (SECTOR_SIZE // DIR_ENTRY_SIZE)):
            o = dir_base + e * DIR_ENTRY_SIZE
            struct.pack_into("<III", buf, o + DE_LEFT, NOSTREAM, NOSTREAM, NOSTREAM)

        self.layout = CfbLayout(
            total_size=len(buf), num_sectors=total_sectors, dir_sectors=dir_secs,
            fat_sectors=fat_secs, difat_sectors=difat_secs, minifat_sectors=minifat_secs,
            ministream_sectors=ministream_secs, entries=entries)
        return buf


# ---------------------------------------------------------------------------
# Corruption helpers.  Each takes the file image and the layout the writer
# reported, and returns a damaged copy; the original is not changed.
# ---------------------------------------------------------------------------

def _put32(data: bytes, offset: int, value: int) -> bytes:
    b = bytearray(data)
    struct.pack_into("<I", b, offset, value & 0xFFFFFFFF)
    return bytes(b)


def corrupt_fat_chain(data: bytes, layout: CfbLayout, path: str, *,
                      position: int = 0, value: int = FREESECT) -> bytes:
    """Overwrite the (mini) FAT entry of the ``position``-th sector of a stream.

    ``value`` is what the entry will say comes next: FREESECT (the default)
    breaks the chain, a sector number past the end points outside the file,
    and the sector's own number makes the chain loop on itself.  For the
    directory chain pass path="<directory>".
    """
    if path == "<directory>":
        sectors, mini = layout.dir_sectors, False
    else:
        info = layout.entry(path)
        sectors, mini = info.sectors, info.in_mini_stream
    if position >= len(sectors):
        raise CfbError("stream %r has only %d sectors" % (path, len(sectors)))
    s = sectors[position]
    off = layout.minifat_entry_offset(s) if mini else layout.fat_entry_offset(s)
    return _put32(data, off, value)


def corrupt_fat_loop(data: bytes, layout: CfbLayout, path: str) -> bytes:
    """Make a stream's chain loop back from its last sector to its first."""
    info = layout.entry(path)
    last = len(info.sectors) - 1
    if last < 0:
        raise CfbError("stream %r has no sectors" % path)
    return corrupt_fat_chain(data, layout, path, position=last, value=info.sectors[0])


def set_sibling_links(data: bytes, layout: CfbLayout, path: str, *,
                      left: Optional[int] = None, right: Optional[int] = None,
                      child: Optional[int] = None) -> bytes:
    """Overwrite the left/right sibling or child ids of one directory entry."""
    info = layout.entry(path)
    for field_off, v in ((DE_LEFT, left), (DE_RIGHT, right), (DE_CHILD, child)):
        if v is not None:
            data = _put32(data, info.entry_offset + field_off, v)
    return data


def corrupt_sibling_cycle(data: bytes, layout: CfbLayout, storage_path: str) -> bytes:
    """Make the sibling tree of a storage cyclic.

    The first child of the storage gets its own left and right sibling ids
    pointing back at the storage's tree root, so a walker that does not track
    visited entries never ends.
    """
    parent = layout.entry(storage_path)
    kids = [i for p, i in layout.entries.items()
            if p and (p.rsplit("/", 1)[0] if "/" in p else "") == parent.path]
    # find the tree root from the stored child id
    root_id = struct.unpack_from("<I", data, parent.entry_offset + DE_CHILD)[0]
    if root_id == NOSTREAM or not kids:
        raise CfbError("storage %r has no children" % storage_path)
    target = min(kids, key=lambda i: i.entry_id)
    data = _put32(data, target.entry_offset + DE_LEFT, root_id)
    return _put32(data, target.entry_offset + DE_RIGHT, root_id)


def set_stream_size(data: bytes, layout: CfbLayout, path: str, size: int) -> bytes:
    """Overwrite the 64-bit size of a directory entry (e.g. 2**63 or 0xFFFFFFFF)."""
    info = layout.entry(path)
    b = bytearray(data)
    struct.pack_into("<Q", b, info.entry_offset + DE_SIZE, size & 0xFFFFFFFFFFFFFFFF)
    return bytes(b)


def set_header_field(data: bytes, offset: int, value: int, width: int = 4) -> bytes:
    """Overwrite a little-endian header field (use the HDR_* offsets)."""
    b = bytearray(data)
    b[offset:offset + width] = (value & ((1 << (8 * width)) - 1)).to_bytes(width, "little")
    return bytes(b)


def truncate(data: bytes, length: int) -> bytes:
    """Cut the file image to ``length`` bytes (a negative length cuts from the end)."""
    return bytes(data[:length])

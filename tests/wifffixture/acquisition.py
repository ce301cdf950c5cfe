"""Synthetic WIFF acquisitions: a ``.wiff`` compound file plus its ``.wiff.scan``.

Describe an acquisition with :class:`Acquisition`, :class:`Sample`, :class:`Scan`
and :class:`Instrument`, then call :func:`build` to write the file pair.  The
return value (:class:`Expected`) holds what a correct reader decodes from the
files that were written, including under every corruption knob.

The expected values are worked out from the written bytes by the small
reference model in this module (``ref_*`` functions), never copied from the
inputs.  For well-formed pieces :func:`build` also checks that the reference
model gives back exactly what was asked for, so an encoder bug shows up here
rather than as a puzzling reader failure.

Layouts written (little-endian throughout):

* ``SampleSubtree/<sample>/Idx``: 32-byte header, then 54-byte records
  (offset u32, size u32, 4 spare, retention time f32 @12, level code u8 @16,
  spare u8, TIC f64 @18, 28 spare).  Records with size <= 56 are skipped by
  readers.
* scan file: per scan a 56-byte block header (never read by readers) and a
  payload of byte codes: 00-7F skip, 80-FB point with intensity c-0x80,
  FC/FD/FE/FF followed by a 1/2/3/4-byte intensity, FF FF FF FF end marker.
* ``DDERealTimeDataEx``: 32-byte header, 76-byte records, precursor m/z f64 @4.
* ``TOFCalibrationData``: slope f64 @32, intercept f64 @40.
* ``MethodSubtree/Method<m>/DeviceMethod0/Period0/Experiment0/
  IonSourceParamsTable/Parameter<p>/ParameterData``: name length u16 @34,
  UTF-16LE name @36, f32 value after the name.
* ``Log``: UTF-16LE text, one section per device, the mass spectrometer's
  section starting with "Mass Spectrometer:".
* root ``\\x05SummaryInformation``: an OLE property set with the creation time
  (property 12, VT_FILETIME).
"""

from __future__ import annotations

import datetime as _dt
import re
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .cfb import CfbLayout, CompoundFileWriter, cfb_name_key

BLOCK_HEADER_SIZE = 56
IDX_HEADER_SIZE = 32
IDX_RECORD_SIZE = 54
DDE_HEADER_SIZE = 32
DDE_RECORD_SIZE = 76
PAYLOAD_CAP = 64 * 1024 * 1024
OVERREAD = 64
END_MARKER = b"\xff\xff\xff\xff"
FILETIME_UNIX_EPOCH = 116444736000000000
SUMMARY_INFORMATION = "\x05SummaryInformation"
SAMPLE_SUBTREE = "SampleSubtree"
FMTID_SUMMARY_INFORMATION = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")

VT_I2 = 0x0002
VT_LPSTR = 0x001E
VT_FILETIME = 0x0040

FALLBACK_TERM = ("MS:1000121", "SCIEX instrument model")
INSTRUMENT_TERMS = {
    "QTRAP5500": ("MS:1000931", "QTRAP 5500"),
    "QTRAP6500": ("MS:1002581", "QTRAP 6500"),
    "QTRAP6500+": ("MS:1002582", "QTRAP 6500+"),
    "TRIPLETOF5600": ("MS:1000932", "TripleTOF 5600"),
    "TRIPLETOF5600+": ("MS:1002584", "TripleTOF 5600+"),
    "TRIPLETOF6600": ("MS:1002533", "TripleTOF 6600"),
    "ZENOTOF7600": ("MS:1003293", "ZenoTOF 7600"),
}

# Unicode White_Space characters.
_WHITE_SPACE = ("\u0009\u000a\u000b\u000c\u000d\u0020\u0085\u00a0\u1680"
                + "".join(chr(c) for c in range(0x2000, 0x200B))
                + "\u2028\u2029\u202f\u205f\u3000")


# ---------------------------------------------------------------------------
# Time
# ---------------------------------------------------------------------------

def datetime_to_filetime(when: _dt.datetime) -> int:
    """FILETIME (100 ns ticks since 1601-01-01 UTC) of an aware or UTC-naive datetime."""
    if when.tzinfo is not None:
        when = when.astimezone(_dt.timezone.utc).replace(tzinfo=None)
    delta = when - _dt.datetime(1601, 1, 1)
    return (delta.days * 86400 + delta.seconds) * 10_000_000 + delta.microseconds * 10


def filetime_to_rfc3339(filetime: int) -> str:
    """Render a FILETIME (read as signed 64-bit) as RFC 3339 UTC text, millisecond precision."""
    ft = filetime & 0xFFFFFFFFFFFFFFFF
    if ft >= 1 << 63:
        ft -= 1 << 64
    t = ft - FILETIME_UNIX_EPOCH
    t = ((t + (1 << 63)) & 0xFFFFFFFFFFFFFFFF) - (1 << 63)   # two's complement wrap
    s, f = divmod(t, 10_000_000)
    ms = f // 10_000
    days, d = divmod(s, 86400)
    hour, minute, second = d // 3600, (d % 3600) // 60, d % 60
    z = days + 719468
    era = z // 146097
    doe = z - 146097 * era
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    day = doy - (153 * mp + 2) // 5 + 1
    month = mp + 3 if mp < 10 else mp - 9
    year = yoe + 400 * era + (1 if month <= 2 else 0)
    ytext = "-%03d" % -year if year < 0 else "%04d" % year
    text = "%s-%02d-%02dT%02d:%02d:%02d" % (ytext, month, day, hour, minute, second)
    return text + (".%03dZ" % ms if ms else "Z")


# ---------------------------------------------------------------------------
# Scan block payload encoding
# ---------------------------------------------------------------------------

_WIDTH_LIMIT = {1: 123, 2: 0xFF, 3: 0xFFFF, 4: 0xFFFFFF, 5: 0xFFFFFFFF}


def minimal_widths(intensities: np.ndarray) -> np.ndarray:
    """Shortest code length (1 to 5 bytes) for each intensity."""
    v = np.asarray(intensities, dtype=np.int64)
    w = np.full(v.shape, 5, dtype=np.int64)
    w[v <= 0xFFFFFF] = 4
    w[v <= 0xFFFF] = 3
    w[v <= 0xFF] = 2
    w[v <= 123] = 1
    return w


def _check_points(deltas: np.ndarray, intens: np.ndarray, widths: np.ndarray) -> None:
    if deltas.size and deltas.min() < 0:
        raise ValueError("channel indices must not decrease within a scan")
    if intens.size and (intens.min() < 0 or intens.max() > 0xFFFFFFFF):
        raise ValueError("intensities must be unsigned 32-bit")
    if widths.size and (widths.min() < 1 or widths.max() > 5):
        raise ValueError("code widths are 1 to 5 bytes")
    for w, lim in _WIDTH_LIMIT.items():
        bad = (widths == w) & (intens > lim)
        if bad.any():
            raise ValueError("intensity %d does not fit a %d-byte code" % (int(intens[bad][0]), w))
    # A 5-byte code whose three bytes after 0xFF are all 0xFF reads as the end marker.
    clash = (widths == 5) & ((intens & 0xFFFFFF) == 0xFFFFFF)
    if clash.any():
        raise ValueError("intensity %#x cannot be written with a 5-byte code: it reads as the "
                         "end marker" % int(intens[clash][0]))


def _point_lengths(deltas: np.ndarray, widths: np.ndarray):
    q = deltas // 127
    r = deltas % 127
    return q + (r > 0) + widths, q, r


def _place_points(buf: np.ndarray, pos: np.ndarray, q: np.ndarray, r: np.ndarray,
                  widths: np.ndarray, intens: np.ndarray) -> None:
    """Write point codes into ``buf`` (which must hold 0x7F wherever skips go).

    Each point is ``q`` skip codes of 0x7F, one skip code ``r`` when r > 0, and
    the intensity code of ``widths`` bytes.
    """
    has_r = r > 0
    rpos = pos + q
    buf[rpos[has_r]] = r[has_r].astype(np.uint8)
    cpos = rpos + has_r
    code = np.select([widths == 1, widths == 2, widths == 3, widths == 4],
                     [0x80 + np.minimum(intens, 123), 0xFC, 0xFD, 0xFE], 0xFF)
    buf[cpos] = code.astype(np.uint8)
    for k in range(1, 5):
        m = widths > k
        if m.any():
            buf[cpos[m] + k] = ((intens[m] >> (8 * (k - 1))) & 0xFF).astype(np.uint8)


def encode_payload(channels: Sequence[int], intensities: Sequence[int],
                   widths: Optional[Sequence[int]] = None, end_marker: bool = True) -> bytes:
    """Byte codes for one scan's points (the part of a block after its 56-byte header).

    ``channels`` must not decrease (the running index starts at 0 and only
    skip codes move it; gaps above 127 become runs of 0x7F).  ``widths``
    forces the code length per point (1: 80-FB, 2: FC, 3: FD, 4: FE, 5: FF);
    by default the shortest code is used.
    """
    ch = np.asarray(channels, dtype=np.int64).reshape(-1)
    it = np.asarray(intensities, dtype=np.int64).reshape(-1)
    if ch.shape != it.shape:
        raise ValueError("channels and intensities differ in length")
    w = minimal_widths(it) if widths is None else np.asarray(widths, dtype=np.int64).reshape(-1)
    if w.shape != it.shape:
        raise ValueError("widths and intensities differ in length")
    deltas = np.diff(ch, prepend=0)
    _check_points(deltas, it, w)
    lengths, q, r = _point_lengths(deltas, w)
    total = int(lengths.sum())
    buf = np.full(total + (4 if end_marker else 0), 0x7F, dtype=np.uint8)
    pos = np.cumsum(lengths) - lengths
    _place_points(buf, pos, q, r, w, it)
    if end_marker:
        buf[total:] = 0xFF
    return buf.tobytes()


def block_header(scan_number: int, payload_len: int, n_points: int) -> bytes:
    """56 bytes put before each payload.  Readers skip them, so they are filled
    with point codes (0x81) after a few identifying words: a reader that
    decodes from the wrong place produces points that tests notice."""
    head = struct.pack("<4sIII", b"CVXB", scan_number, payload_len, n_points)
    return head + b"\x81" * (BLOCK_HEADER_SIZE - len(head))


# ---------------------------------------------------------------------------
# Reference model: what a correct reader decodes from given bytes
# ---------------------------------------------------------------------------

def ref_decode_payload(data: bytes) -> List[Tuple[int, int]]:
    """Decode payload codes into (channel index, intensity) points."""
    pts: List[Tuple[int, int]] = []
    idx = 0
    i = 0
    n = len(data)
    while i < n:
        c = data[i]
        if c < 0x80:
            idx = (idx + c) & 0xFFFFFFFF
            i += 1
        elif c < 0xFC:
            pts.append((idx, c - 0x80))
            i += 1
        elif c == 0xFF and n - i >= 4 and data[i + 1:i + 4] == b"\xff\xff\xff":
            break
        else:
            width = c - 0xFA  # FC:2 FD:3 FE:4 FF:5
            if n - i < width:
                break
            pts.append((idx, int.from_bytes(data[i + 1:i + width], "little")))
            i += width
    return pts


def payload_range(scan_offset: int, scan_size: int, bound: int, file_size: int) -> Tuple[int, int]:
    """Byte range [start, end) of the scan file that a reader decodes for a scan."""
    start = scan_offset + BLOCK_HEADER_SIZE
    end = min(scan_offset + scan_size + OVERREAD, bound + OVERREAD, file_size,
              start + PAYLOAD_CAP)
    return start, end


def points_to_arrays(points, calibration: Optional[Tuple[float, float]]):
    """m/z (float) and intensity (float32 widened to float) lists, zero intensities dropped."""
    mz: List[float] = []
    inten: List[float] = []
    for idx, v in points:
        if v == 0:
            continue
        inten.append(float(np.float32(v)))
        if calibration is None:
            mz.append(float(idx))
        else:
            slope, intercept = calibration
            mz.append(intercept + slope * float(idx))
    return mz, inten


def ref_parse_idx(data: bytes) -> Tuple[Optional[List[dict]], Optional[str]]:
    """Decoded Idx records, or (None, error message)."""
    if len(data) < IDX_HEADER_SIZE:
        return None, "Idx stream too short for header"
    recs = []
    for k in range((len(data) - IDX_HEADER_SIZE) // IDX_RECORD_SIZE):
        o = IDX_HEADER_SIZE + k * IDX_RECORD_SIZE
        off, size = struct.unpack_from("<II", data, o)
        if size <= BLOCK_HEADER_SIZE:
            continue
        rt, = struct.unpack_from("<f", data, o + 12)
        tic, = struct.unpack_from("<d", data, o + 18)
        recs.append({"scan_offset": off, "scan_size": size, "retention_time_min": rt,
                     "ms_level": 1 if data[o + 16] == 1 else 2, "tic": tic})
    if not recs:
        return None, "Idx stream contained no valid scan records"
    return recs, None


def ref_parse_dde(data: Optional[bytes]) -> List[float]:
    if data is None or len(data) < DDE_HEADER_SIZE + DDE_RECORD_SIZE:
        return []
    n = (len(data) - DDE_HEADER_SIZE) // DDE_RECORD_SIZE
    return [struct.unpack_from("<d", data, DDE_HEADER_SIZE + k * DDE_RECORD_SIZE + 4)[0]
            for k in range(n)]


def ref_parse_calibration(data: Optional[bytes]) -> Optional[Tuple[float, float]]:
    if data is None or len(data) < 48:
        return None
    return struct.unpack_from("<dd", data, 32)


def ref_parse_parameter(data: Optional[bytes]) -> Optional[Tuple[str, float]]:
    if data is None or len(data) < 36:
        return None
    n, = struct.unpack_from("<H", data, 34)
    if n % 2 or len(data) < n + 40:
        return None
    raw = data[36:36 + n]
    try:
        name = raw.decode("utf-16-le", "surrogatepass")
    except UnicodeDecodeError:
        return None
    if any(0xD800 <= ord(ch) <= 0xDFFF for ch in name):
        return None
    value, = struct.unpack_from("<f", data, 36 + n)
    return name, value


def _strip_ws(s: str) -> str:
    return s.strip(_WHITE_SPACE)


def _extract_field(section: str, label: str) -> Optional[str]:
    at = section.find(label)
    if at < 0:
        return None
    rest = section[at + len(label):]
    m = re.search(r"[\n\r,]", rest)
    value = _strip_ws(rest[:m.start()] if m else rest)
    return value or None


def _lossy_utf16(data: bytes) -> str:
    raw = data[:len(data) // 2 * 2]
    text = raw.decode("utf-16-le", "surrogatepass")
    return "".join("\ufffd" if 0xD800 <= ord(ch) <= 0xDFFF else ch for ch in text)


def ref_parse_log(data: Optional[bytes]) -> Optional[dict]:
    """Instrument identity from a Log stream (None when there is none)."""
    if data is None:
        return None
    text = _lossy_utf16(data)
    label = "Mass Spectrometer:"
    start = 0
    while True:
        at = text.find(label, start)
        if at < 0:
            return None
        nxt = text.find(label, at + len(label))
        section = text[at:nxt if nxt >= 0 else len(text)]
        start = at + len(label)
        manu = _extract_field(section, "Manufacturer:")
        if manu is None:
            continue
        if "sciex" not in "".join(ch.lower() if "A" <= ch <= "Z" else ch for ch in manu):
            continue
        comp = _extract_field(section, "Component ID:") or _extract_field(section, "Component Id:")
        if comp is None:
            continue
        return {"component_id": comp, "manufacturer": manu,
                "model_number": _extract_field(section, "Model:"),
                "serial_number": _extract_field(section, "Serial Number:")}


def normalize_model(text: str) -> str:
    return "".join(ch.upper() if "a" <= ch <= "z" else ch
                   for ch in text if ch not in _WHITE_SPACE)


def instrument_term(component_id: Optional[str]) -> Tuple[str, str]:
    """(accession, name) of the instrument term for a component id, or the fallback."""
    if component_id is None:
        return FALLBACK_TERM
    key = normalize_model(component_id)
    if len(key) >= 6 and key.endswith("SYSTEM"):
        key = key[:-6]
    return INSTRUMENT_TERMS.get(key, FALLBACK_TERM)


def ref_parse_summary(data: Optional[bytes]) -> Optional[str]:
    """Creation timestamp text from a summary-information stream."""
    if data is None:
        return None
    L = len(data)
    if L < 2 or data[0:2] != b"\xfe\xff":
        return None
    if L < 28 or struct.unpack_from("<I", data, 24)[0] == 0:
        return None
    if L < 48:
        return None
    O, = struct.unpack_from("<I", data, 44)
    if O + 8 > L:
        return None
    N, = struct.unpack_from("<I", data, O + 4)
    for i in range(N):
        if O + 12 + 8 * i > L:
            return None
        if struct.unpack_from("<I", data, O + 8 + 8 * i)[0] != 12:
            continue
        if O + 16 + 8 * i > L:
            return None
        P, = struct.unpack_from("<I", data, O + 12 + 8 * i)
        V = O + P
        if V + 4 > L or struct.unpack_from("<I", data, V)[0] != 0x40:
            return None
        if V + 12 > L:
            return None
        return filetime_to_rfc3339(struct.unpack_from("<q", data, V + 4)[0])
    return None


def sample_sort_key(name: str):
    m = re.fullmatch(r"Sample(\+?[0-9]+)", name)
    if m:
        n = int(m.group(1))
        if n <= 0xFFFFFFFFFFFFFFFF:
            return (0, n, b"")
    return (1, 0, name.encode("utf-8", "surrogatepass"))


def sort_sample_names(names: Sequence[str]) -> List[str]:
    return sorted(names, key=sample_sort_key)


def ion_source_path(method: int, parameter: int) -> str:
    return ("MethodSubtree/Method%d/DeviceMethod0/Period0/Experiment0/IonSourceParamsTable"
            "/Parameter%d/ParameterData" % (method, parameter))


def ref_find_ion_source(streams: Dict[str, bytes]) -> List[Tuple[str, float]]:
    """Ion-source parameters from the written method streams (keys are stream paths)."""
    fallback: List[Tuple[str, float]] = []
    for m in range(1, 5):
        params = []
        for p in range(8):
            got = ref_parse_parameter(streams.get(ion_source_path(m, p)))
            if got is not None:
                params.append(got)
        if any(name in ("IS", "ISVF") for name, _ in params):
            return params
        if not fallback:
            fallback = params
    return fallback


def polarity_of(params: Sequence[Tuple[str, float]]) -> Optional[str]:
    for name, value in params:
        if name in ("IS", "ISVF"):
            if value > 0:
                return "positive"
            if value < 0:
                return "negative"
            return None
    return None


# ---------------------------------------------------------------------------
# Stream writers
# ---------------------------------------------------------------------------

def idx_header(n_records: int) -> bytes:
    return struct.pack("<4sII", b"IDX1", IDX_RECORD_SIZE, n_records).ljust(IDX_HEADER_SIZE, b"\0")


def idx_record(scan_offset: int, scan_size: int, retention_time_min: float, level_code: int,
               tic: float, scan_number: int = 0) -> bytes:
    rec = struct.pack("<IIIfBBd", scan_offset & 0xFFFFFFFF, scan_size & 0xFFFFFFFF,
                      scan_number, retention_time_min, level_code & 0xFF, 0, tic)
    return rec.ljust(IDX_RECORD_SIZE, b"\0")


IDX_DTYPE = np.dtype({"names": ["scan_offset", "scan_size", "scan_number", "rt", "level", "tic"],
                      "formats": ["<u4", "<u4", "<u4", "<f4", "u1", "<f8"],
                      "offsets": [0, 4, 8, 12, 16, 18], "itemsize": IDX_RECORD_SIZE})


def dde_stream(mz_values: Sequence[float]) -> bytes:
    head = struct.pack("<4sII", b"DDE1", DDE_RECORD_SIZE, len(mz_values)).ljust(DDE_HEADER_SIZE, b"\0")
    recs = b"".join(struct.pack("<Id", k + 1, mz).ljust(DDE_RECORD_SIZE, b"\0")
                    for k, mz in enumerate(mz_values))
    return head + recs


def calibration_stream(slope: float, intercept: float) -> bytes:
    return (b"TOFCAL".ljust(32, b"\0") + struct.pack("<dd", slope, intercept)
            + struct.pack("<I", 2).ljust(16, b"\0"))


def parameter_stream(name: str, value: float) -> bytes:
    raw = name.encode("utf-16-le", "surrogatepass")
    return (b"PARAM".ljust(34, b"\0") + struct.pack("<H", len(raw)) + raw
            + struct.pack("<f", value) + b"\0" * 8)


def summary_information_stream(filetime: int, *, create_type: int = VT_FILETIME,
                               title: str = "corvex fixture") -> bytes:
    """An OLE summary-information property set: code page, title, creation
    and last-saved time.  ``create_type`` other than VT_FILETIME writes the
    creation property as a VT_LPSTR string instead."""
    def lpstr(text: str) -> bytes:
        raw = text.encode("cp1252") + b"\0"
        body = struct.pack("<II", VT_LPSTR, len(raw)) + raw
        return body + b"\0" * (-len(body) % 4)

    values = [
        (1, struct.pack("<HHhH", VT_I2, 0, 1252, 0)),
        (2, lpstr(title)),
    ]
    if create_type == VT_FILETIME:
        values.append((12, struct.pack("<Iq", VT_FILETIME, filetime)))
    else:
        values.append((12, struct.pack("<HH", create_type, 0) + lpstr("2019")[4:]))
    values.append((13, struct.pack("<Iq", VT_FILETIME, filetime)))
    table_len = 8 + 8 * len(values)
    table = b""
    blob = b""
    for pid, val in values:
        table += struct.pack("<II", pid, table_len + len(blob))
        blob += val
    section = struct.pack("<II", table_len + len(blob), len(values)) + table + blob
    header = (struct.pack("<HHI", 0xFFFE, 0, 0x00020006) + b"\0" * 16
              + struct.pack("<I", 1) + FMTID_SUMMARY_INFORMATION + struct.pack("<I", 48))
    return header + section


# ---------------------------------------------------------------------------
# Acquisition description
# ---------------------------------------------------------------------------

@dataclass
class Scan:
    """One scan: its points and Idx values, plus knobs to damage it.

    ``points`` are (channel index, intensity) pairs with non-decreasing
    channels; intensity 0 is allowed (readers drop such points).
    """
    points: Sequence[Tuple[int, int]] = ()
    ms_level: int = 1
    retention_time_min: float = 0.0
    tic: Optional[float] = None          # Idx TIC; default: sum of intensities
    level_code: Optional[int] = None     # raw Idx level byte; default 1 or 2
    widths: Optional[Sequence[int]] = None  # forced intensity code length per point
    end_marker: bool = True
    payload: Optional[bytes] = None      # raw payload (replaces the encoded points)
    scan_offset: Optional[int] = None    # Idx offset override (block still written)
    scan_size: Optional[int] = None      # Idx size override


@dataclass
class Instrument:
    """One device section of the Log text.  None fields leave the line out."""
    component_id: Optional[str] = "TripleTOF 5600+ System"
    manufacturer: Optional[str] = "AB Sciex"
    model_number: Optional[str] = "1024950"
    serial_number: Optional[str] = "BM20041707"
    heading: str = "Mass Spectrometer:"

    def text(self) -> str:
        lines = ["%s %s" % (self.heading, self.component_id or "")]
        for label, value in (("Manufacturer:", self.manufacturer),
                             ("Component ID:", self.component_id),
                             ("Model:", self.model_number),
                             ("Serial Number:", self.serial_number)):
            if value is not None:
                lines.append("%s %s" % (label, value))
        lines.append("Firmware Version: M500604 B1T0300 M3T0301 V3T0300")
        return "\r\n".join(lines) + "\r\n"


DEFAULT_LOG_PREAMBLE = ("Acquisition log\r\n"
                        "Software Version: Analyst TF 1.8\r\n"
                        "\r\n"
                        "LC Pump: Eksigent ekspert nanoLC 425\r\n"
                        "Manufacturer: Eksigent\r\n"
                        "Model: 425\r\n"
                        "Serial Number: EK1234\r\n"
                        "\r\n")

LogContent = Union[None, Instrument, Sequence[Instrument], str, bytes]
ParamContent = Union[None, Tuple[str, float], bytes]


@dataclass
class Sample:
    """A sample storage under SampleSubtree and its scans.

    Optional streams are left out when their value is None.  Raw-bytes
    overrides (``*_bytes``) replace a stream's content exactly.
    """
    name: str = "Sample1"
    scans: List[Scan] = field(default_factory=list)
    calibration: Optional[Tuple[float, float]] = (0.0005, 20.0)  # (slope, intercept)
    dde_mz: Optional[Sequence[float]] = None
    log: LogContent = field(default_factory=Instrument)
    log_preamble: str = DEFAULT_LOG_PREAMBLE
    # Idx knobs
    omit_idx: bool = False
    idx_bytes: Optional[bytes] = None
    idx_junk_slots: Sequence[Tuple[int, int]] = ()  # (insert before scan k, scan_size <= 56)
    idx_trailing: bytes = b""
    idx_truncate: Optional[int] = None   # cut the Idx stream to this many bytes
    # other stream knobs
    calibration_bytes: Optional[bytes] = None
    dde_bytes: Optional[bytes] = None
    dde_trailing: bytes = b""
    extra_streams: Dict[str, bytes] = field(default_factory=dict)  # names inside the sample storage


@dataclass
class Acquisition:
    samples: List[Sample] = field(default_factory=lambda: [Sample()])
    # method number -> parameters by parameter number (None skips a number,
    # bytes writes a raw ParameterData stream).  None: no MethodSubtree.
    methods: Optional[Dict[int, Sequence[ParamContent]]] = field(
        default_factory=lambda: {1: [("IS", 5500.0), ("TEM", 450.0), ("GS1", 50.0),
                                     ("GS2", 60.0), ("CUR", 35.0)]})
    creation_time: Union[None, int, _dt.datetime] = _dt.datetime(2019, 4, 17, 18, 40, 0, 123000)
    summary_bytes: Optional[bytes] = None
    summary_create_type: int = VT_FILETIME
    omit_sample_subtree: bool = False
    extra_streams: Dict[str, bytes] = field(default_factory=dict)  # root-relative paths
    extra_storages: Sequence[str] = ()
    # scan file knobs
    write_scan_file: bool = True
    scan_file_prefix: int = 64           # bytes before the first block
    block_gap: int = 0                   # bytes between blocks
    scan_file_trailing: bytes = b""
    scan_file_truncate: Optional[int] = None  # final length of the scan file


# ---------------------------------------------------------------------------
# Expected values
# ---------------------------------------------------------------------------

@dataclass
class ExpectedSpectrum:
    index: int
    scan_number: int
    native_id: str
    ms_level: int
    retention_time_sec: float
    scan_offset: int
    scan_size: int
    idx_tic: float
    points: List[Tuple[int, int]]       # decoded (channel, intensity), zero intensities kept
    mz: List[float]
    intensity: List[float]              # float32 values widened
    precursor: Optional[dict]           # target_mz, selected_mz, precursor_native_id
    error: Optional[str]                # display text of the scan's failure


@dataclass
class ExpectedSample:
    name: str
    # scan_offset, scan_size, retention_time_min, ms_level, tic; None when the
    # Idx stream is missing or unusable
    idx: Optional[List[dict]]
    # Display text when opening the sample fails.  For a missing Idx stream
    # it ends with "not found: " and the compound-file library's own text
    # follows, so compare with startswith.
    open_error: Optional[str]
    spectra: List[ExpectedSpectrum]     # empty when opening fails
    dde_mz: List[float]
    calibration: Optional[dict]         # slope, intercept
    instrument: Optional[dict]          # component_id, manufacturer, model_number, serial_number
    instrument_term: Tuple[str, str]    # (accession, name)
    ion_source_parameters: List[Tuple[str, float]]
    polarity: Optional[str]             # "positive", "negative" or None
    creation_timestamp: Optional[str]
    analyzer: str                       # "tofms" with calibration, else "tqms"


@dataclass
class Expected:
    wiff_path: Path
    scan_path: Path
    scan_file_size: Optional[int]       # None when the scan file was not written
    sample_names: List[str]             # in listing order
    samples: Dict[str, ExpectedSample]
    creation_timestamp: Optional[str]
    ion_source_parameters: List[Tuple[str, float]]
    layout: CfbLayout
    streams: Dict[str, bytes]           # every stream written to the .wiff, by path

    def sample(self, name: Optional[str] = None) -> ExpectedSample:
        if name is None:
            if len(self.samples) != 1:
                raise ValueError("acquisition has %d samples" % len(self.samples))
            return next(iter(self.samples.values()))
        return self.samples[name]


# ---------------------------------------------------------------------------
# Building
# ---------------------------------------------------------------------------

def _log_bytes(sp: LogContent, preamble: str) -> Optional[bytes]:
    if sp is None:
        return None
    if isinstance(sp, bytes):
        return sp
    if isinstance(sp, str):
        return sp.encode("utf-16-le", "surrogatepass")
    devices = [sp] if isinstance(sp, Instrument) else list(sp)
    text = preamble + "\r\n".join(d.text() for d in devices)
    return text.encode("utf-16-le", "surrogatepass")


def _scan_payload(scan: Scan) -> Tuple[bytes, Optional[List[Tuple[int, int]]]]:
    """(payload bytes, intended decoded points or None when not well-formed)."""
    if scan.payload is not None:
        return bytes(scan.payload), None
    pts = list(scan.points)
    ch = [p[0] for p in pts]
    it = [p[1] for p in pts]
    payload = encode_payload(ch, it, scan.widths, scan.end_marker)
    return payload, (pts if scan.end_marker else None)


def _filetime(value: Union[int, _dt.datetime]) -> int:
    return value if isinstance(value, int) else datetime_to_filetime(value)


def _scan_error(scan_number: int, scan_offset: int, file_size: int) -> str:
    return ("vendor parser error: cannot read scan block for scan=%d at offset %d: "
            "scan block payload at offset %d is past the end of the .wiff.scan file (%d bytes)"
            % (scan_number, scan_offset, scan_offset + BLOCK_HEADER_SIZE, file_size))


def expected_spectra(idx: List[dict], scan_bytes: bytes, dde: List[float],
                     calibration: Optional[Tuple[float, float]]) -> List[ExpectedSpectrum]:
    """Spectra a reader assembles from decoded Idx records and the scan file."""
    out = []
    file_size = len(scan_bytes)
    survey_id = None
    surveys = 0
    for i, rec in enumerate(idx):
        s = i + 1
        prec_id, k = survey_id, surveys
        if rec["ms_level"] == 1:
            survey_id = "scan=%d" % s
            surveys += 1
        precursor = None
        if rec["ms_level"] >= 2:
            mz = dde[k - 1] if 1 <= k <= len(dde) else None
            precursor = {"target_mz": mz, "selected_mz": mz, "precursor_native_id": prec_id}
        bound = idx[i + 1]["scan_offset"] if i + 1 < len(idx) else file_size
        error = None
        points: List[Tuple[int, int]] = []
        if rec["scan_offset"] + BLOCK_HEADER_SIZE >= file_size:
            error = _scan_error(s, rec["scan_offset"], file_size)
        else:
            start, end = payload_range(rec["scan_offset"], rec["scan_size"], bound, file_size)
            if end > start:
                points = ref_decode_payload(scan_bytes[start:end])
        mzs, ints = points_to_arrays(points, calibration)
        out.append(ExpectedSpectrum(
            index=i, scan_number=s, native_id="scan=%d" % s, ms_level=rec["ms_level"],
            retention_time_sec=float(rec["retention_time_min"]) * 60.0,
            scan_offset=rec["scan_offset"], scan_size=rec["scan_size"], idx_tic=rec["tic"],
            points=points, mz=mzs, intensity=ints, precursor=precursor, error=error))
    return out


def build(acq: Acquisition, directory, name: str = "run", *, wiff_only: bool = False) -> Expected:
    """Write ``<directory>/<name>.wiff`` and ``<name>.wiff.scan``; return the expected decode.

    With ``wiff_only`` the scan file is neither written nor removed (a caller
    that wrote it already, such as the synthetic-run writer, uses this) and
    the expected spectra lists are left empty.
    """
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    wiff_path = directory / (name + ".wiff")
    scan_path = directory / (name + ".wiff.scan")

    names = [s.name for s in acq.samples]
    if len({cfb_name_key(n) for n in names}) != len(names):
        raise ValueError("sample names must differ (case-insensitively)")

    # 1. scan file: blocks of every sample, in sample order.
    scan = bytearray(b"\xA5" * acq.scan_file_prefix)
    placed = []   # per sample: list of (offset, block size, intended points)
    scan_number = 0
    for sample in acq.samples:
        rows = []
        for sc in sample.scans:
            scan_number += 1
            payload, intended = _scan_payload(sc)
            n_points = len(sc.points) if sc.payload is None else 0
            off = len(scan)
            scan += block_header(scan_number, len(payload), n_points)
            scan += payload
            rows.append((off, BLOCK_HEADER_SIZE + len(payload), intended))
            scan += b"\x00" * acq.block_gap
        placed.append(rows)
    scan += acq.scan_file_trailing
    if acq.scan_file_truncate is not None:
        del scan[acq.scan_file_truncate:]
    scan_bytes = bytes(scan)

    # 2. compound file streams.
    streams: Dict[str, bytes] = {}
    storages: List[str] = list(acq.extra_storages)
    if acq.creation_time is not None or acq.summary_bytes is not None:
        streams[SUMMARY_INFORMATION] = (acq.summary_bytes if acq.summary_bytes is not None else
                                        summary_information_stream(
                                            _filetime(acq.creation_time),
                                            create_type=acq.summary_create_type))
    if not acq.omit_sample_subtree:
        storages.append(SAMPLE_SUBTREE)
    well_formed_idx: Dict[str, List[dict]] = {}
    for sample, rows in zip(acq.samples, placed):
        if acq.omit_sample_subtree:
            break
        base = "%s/%s/" % (SAMPLE_SUBTREE, sample.name)
        storages.append(base.rstrip("/"))
        if not sample.omit_idx:
            if sample.idx_bytes is not None:
                idx = bytes(sample.idx_bytes)
            else:
                recs = []
                intended = []
                junk = sorted(sample.idx_junk_slots)
                ji = 0
                for k, (sc, (off, size, _)) in enumerate(zip(sample.scans, rows)):
                    while ji < len(junk) and junk[ji][0] <= k:
                        recs.append(idx_record(0, junk[ji][1], 0.0, 1, 0.0))
                        ji += 1
                    tic = sc.tic if sc.tic is not None else float(sum(p[1] for p in sc.points))
                    code = sc.level_code if sc.level_code is not None else (1 if sc.ms_level == 1 else 2)
                    rec_off = sc.scan_offset if sc.scan_offset is not None else off
                    rec_size = sc.scan_size if sc.scan_size is not None else size
                    recs.append(idx_record(rec_off, rec_size, sc.retention_time_min, code, tic, k + 1))
                    if rec_size > BLOCK_HEADER_SIZE:
                        intended.append({"scan_offset": rec_off & 0xFFFFFFFF, "scan_size": rec_size,
                                         "retention_time_min": float(np.float32(sc.retention_time_min)),
                                         "ms_level": 1 if code == 1 else 2, "tic": tic})
                for _, size in junk[ji:]:
                    recs.append(idx_record(0, size, 0.0, 1, 0.0))
                idx = idx_header(len(recs)) + b"".join(recs) + sample.idx_trailing
                if sample.idx_truncate is None and len(sample.idx_trailing) < IDX_RECORD_SIZE:
                    well_formed_idx[sample.name] = intended
            if sample.idx_truncate is not None:
                idx = idx[:sample.idx_truncate]
            streams[base + "Idx"] = idx
        log = _log_bytes(sample.log, sample.log_preamble)
        if log is not None:
            streams[base + "Log"] = log
        cal = sample.calibration_bytes
        if cal is None and sample.calibration is not None:
            cal = calibration_stream(*sample.calibration)
        if cal is not None:
            streams[base + "TOFCalibrationData"] = cal
        dde = sample.dde_bytes
        if dde is None and sample.dde_mz is not None:
            dde = dde_stream(sample.dde_mz) + sample.dde_trailing
        if dde is not None:
            streams[base + "DDERealTimeDataEx"] = dde
        for sname, sdata in sample.extra_streams.items():
            streams[base + sname] = sdata
    if acq.methods is not None:
        storages.append("MethodSubtree")
        for m, params in acq.methods.items():
            for p, sp in enumerate(params):
                if sp is None:
                    continue
                data = sp if isinstance(sp, bytes) else parameter_stream(*sp)
                streams[ion_source_path(m, p)] = data
    streams.update(acq.extra_streams)

    w = CompoundFileWriter()
    for st in storages:
        w.add_storage(st)
    for path, data in streams.items():
        w.add_stream(path, data)
    layout = w.write(wiff_path)

    if wiff_only:
        pass
    elif acq.write_scan_file:
        scan_path.write_bytes(scan_bytes)
    elif scan_path.exists():
        scan_path.unlink()

    # 3. expected values.
    created = ref_parse_summary(streams.get(SUMMARY_INFORMATION))
    if (acq.summary_bytes is None and acq.creation_time is not None
            and acq.summary_create_type == VT_FILETIME):
        assert created == filetime_to_rfc3339(_filetime(acq.creation_time)), created
    params = ref_find_ion_source(streams)
    polarity = polarity_of(params)
    listed = [] if acq.omit_sample_subtree else sort_sample_names(
        sorted(names, key=cfb_name_key))
    samples: Dict[str, ExpectedSample] = {}
    for sample, rows in zip(acq.samples, placed):
        base = "%s/%s/" % (SAMPLE_SUBTREE, sample.name)
        dde = ref_parse_dde(streams.get(base + "DDERealTimeDataEx"))
        cal = ref_parse_calibration(streams.get(base + "TOFCalibrationData"))
        inst = ref_parse_log(streams.get(base + "Log"))
        idx_path = base + "Idx"
        idx, open_error = None, None
        if idx_path in streams:
            idx, open_error = ref_parse_idx(streams[idx_path])
            if open_error is not None:
                open_error = "parse error: " + open_error
        else:
            open_error = "parse error: Stream '%s' not found: " % idx_path
        if not acq.write_scan_file:
            open_error = "parse error: .wiff.scan file not found: %s" % scan_path
        # A sample without scans has an Idx with no records, which the reader
        # rejects; there is nothing to cross-check then.
        if sample.name in well_formed_idx and well_formed_idx[sample.name]:
            assert idx == well_formed_idx[sample.name], "Idx writer and reference disagree"
        spectra = expected_spectra(idx, scan_bytes, dde, cal) \
            if open_error is None and not wiff_only else []
        # Self-check: a well-formed scan decodes to exactly the points asked for.
        if idx is not None and sample.idx_bytes is None and not sample.idx_junk_slots \
                and sample.idx_truncate is None and acq.scan_file_truncate is None \
                and len(idx) == len(sample.scans) \
                and all(sc.scan_offset is None and sc.scan_size is None for sc in sample.scans):
            for sp, (_, _, intended) in zip(spectra, rows):
                if intended is not None:
                    assert sp.points == intended, "scan encoder and reference decoder disagree"
        if sample.dde_bytes is None and sample.dde_mz and not acq.omit_sample_subtree:
            assert dde == [float(v) for v in sample.dde_mz] or any(v != v for v in sample.dde_mz)
        samples[sample.name] = ExpectedSample(
            name=sample.name, idx=idx, open_error=open_error, spectra=spectra, dde_mz=dde,
            calibration=None if cal is None else {"slope": cal[0], "intercept": cal[1]},
            instrument=inst,
            instrument_term=instrument_term(inst["component_id"] if inst else None),
            ion_source_parameters=params, polarity=polarity, creation_timestamp=created,
            analyzer="tofms" if cal is not None else "tqms")

    return Expected(wiff_path=wiff_path, scan_path=scan_path,
                    scan_file_size=(len(scan_bytes) if acq.write_scan_file and not wiff_only
                                    else None),
                    sample_names=listed, samples=samples, creation_timestamp=created,
                    ion_source_parameters=params, layout=layout, streams=streams)


# ---------------------------------------------------------------------------
# Convenience: a typical DDA run
# ---------------------------------------------------------------------------

class SplitMix64:
    """Tiny deterministic generator (splitmix64), stable across Python and
    numpy versions so that fixtures written from a seed never change."""

    def __init__(self, seed: int) -> None:
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def randint(self, lo: int, hi: int) -> int:
        """Integer in [lo, hi)."""
        return lo + self.next() % (hi - lo)


def random_points(rng: SplitMix64, n: int, max_gap: int = 300,
                  first_channel_max: int = 5000) -> List[Tuple[int, int]]:
    """Points whose intensities cover every code length (about 3 % zero) and
    whose channel gaps need single and repeated skip codes."""
    pts = []
    ch = rng.randint(0, first_channel_max)
    for j in range(n):
        if j:
            ch += rng.randint(1, max_gap)
        klass = rng.randint(0, 100)
        if klass < 3:
            v = 0
        elif klass < 45:
            v = rng.randint(1, 124)
        elif klass < 65:
            v = rng.randint(124, 256)
        elif klass < 85:
            v = rng.randint(256, 1 << 16)
        elif klass < 97:
            v = rng.randint(1 << 16, 1 << 24)
        else:
            v = rng.randint(1 << 24, 1 << 32)
            if v & 0xFFFFFF == 0xFFFFFF:
                v -= 1
        pts.append((ch, v))
    return pts


def dda_sample(name: str = "Sample1", *, cycles: int = 5, ms2_per_cycle: int = 3,
               points_per_scan: int = 40, seed: int = 1,
               cycle_time_min: float = 0.05, **sample_kwargs) -> Sample:
    """A sample of survey scans each followed by ``ms2_per_cycle`` fragment scans.

    Fragment scans have half as many points.  The DDE list has one precursor
    per survey scan.  Fully determined by ``seed``.
    """
    rng = SplitMix64(seed)
    scans: List[Scan] = []
    dde: List[float] = []
    step = cycle_time_min / (1 + ms2_per_cycle)
    k = 0
    for c in range(cycles):
        for j in range(1 + ms2_per_cycle):
            n = points_per_scan if j == 0 else max(1, points_per_scan // 2)
            scans.append(Scan(points=random_points(rng, n), ms_level=1 if j == 0 else 2,
                              retention_time_min=round(k * step, 6)))
            k += 1
        dde.append(rng.randint(350_0000, 1200_0000) / 10000.0)
    kwargs = dict(dde_mz=dde)
    kwargs.update(sample_kwargs)
    return Sample(name=name, scans=scans, **kwargs)

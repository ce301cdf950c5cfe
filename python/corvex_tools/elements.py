"""Spectrum elements of indexed mzML, rendered from cached templates.

psims resolves every controlled-vocabulary parameter of every spectrum
against the vocabulary; for a run of tens of thousands of spectra that
dominates conversion time.  Here the text of each parameter is resolved once
(by the caller, through psims) and each shape of spectrum element (which
optional parts it has) becomes format strings once; a spectrum is then two
%-formattings around its encoded arrays.

Nothing here needs psims or numpy, so the worker processes of a parallel
conversion, which render spectra and nothing else, start quickly.
"""

from __future__ import annotations

import binascii
import operator
import re
import string
import struct
import types
import zlib
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple
from xml.sax.saxutils import escape

# Text forms of corvex's activation values, as PSI-MS dissociation methods.
ACTIVATION_TERMS = {
    "cid": "collision-induced dissociation",
    "hcd": "beam-type collision-induced dissociation",
    "etd": "electron transfer dissociation",
    "ecd": "electron capture dissociation",
    "irmpd": "infrared multiphoton dissociation",
    "pd": "photodissociation",
    "pqd": "pulsed q dissociation",
    "uvpd": "ultraviolet photodissociation",
    "sid": "surface-induced dissociation",
    "ethcd": "supplemental beam-type collision-induced dissociation",
}
# The reader does not record how precursors were activated; the generic term
# keeps the required <activation> element truthful.
UNKNOWN_ACTIVATION = "dissociation method"

INDENT = "  "
# A spectrum element starts after its line break and the indentation of the
# spectrum list's children; the offset index points at its "<".
ELEMENT_LEAD = 1 + len(INDENT * 4)

# A parameter's text around its value, keyed by (name, unit name).
ParamKey = Tuple[str, Optional[str]]
ParamTexts = Dict[ParamKey, Tuple[str, str]]
# Text with slots to fill: a %-format string and what picks the values of
# its slots, in order, out of a dict.
_Template = Tuple[str, Callable[[Dict[str, Any]], Any]]
# A spectrum element: the text before the m/z binary (starting with the line
# break that precedes the element), the text between the two binaries, and
# the text after the intensity binary.
Layout = Tuple[_Template, _Template, bytes]
# What a spectrum element needs besides its arrays: native id, the values of
# its layout's slots, and the shape that picks its layout.
Pending = Tuple[str, Dict[str, Any], Tuple[Any, ...]]

# Precursor values that are written when present, in the order written.
PRECURSOR_SLOTS = ("precursor_native_id", "target_mz", "selected_mz", "intensity", "charge", "collision_energy")

_MARKUP = re.compile(r'[&<>"]')


def xml_attr(value: str) -> str:
    """``value`` escaped for a double-quoted XML attribute."""
    return escape(value, {'"': "&quot;"}) if _MARKUP.search(value) else value


def _literal(text: str) -> str:
    """``text`` as literal text inside a format string."""
    return text.replace("{", "{{").replace("}", "}}")


def _template(text: str) -> _Template:
    """``text``, a ``str.format`` string with named slots, as a :data:`_Template`.

    Filling it is one %-formatting of a tuple, about twice as fast as
    ``format_map`` on the long, mostly literal text of a spectrum element.
    """
    literals: List[str] = []
    slots: List[str] = []
    for literal, slot, format_spec, conversion in string.Formatter().parse(text):
        if format_spec or conversion:
            raise ValueError(f"unsupported slot {slot!r} in a spectrum template")
        literals.append(literal.replace("%", "%%"))
        if slot is not None:
            slots.append(slot)
    pick: Callable[[Dict[str, Any]], Any]
    if not slots:
        pick = lambda values: ()  # noqa: E731
    elif len(slots) == 1:
        name = slots[0]
        pick = lambda values: (values[name],)  # noqa: E731
    else:
        pick = operator.itemgetter(*slots)
    return "%s".join(literals) if len(literals) > len(slots) else "%s".join(literals) + "%s", pick


class Layouts:
    """The layout of each shape of spectrum element, built on first use.

    ``param_text`` gives a parameter's text before and after its value, as
    psims would write the cvParam, for a (name, unit name) key.
    """

    def __init__(self, param_text: Callable[[ParamKey], Tuple[str, str]], compression: bool) -> None:
        self._param_text = param_text
        self._compression = compression
        self._layouts: Dict[Tuple[Any, ...], Layout] = {}

    def __getitem__(self, shape: Tuple[Any, ...]) -> Layout:
        layout = self._layouts.get(shape)
        if layout is None:
            layout = self._layouts[shape] = self._build(shape)
        return layout

    def _param(self, name: str, slot: Optional[str] = None, unit: Optional[str] = None) -> str:
        """A cvParam as format-string text, its value a {slot} or empty."""
        prefix, suffix = self._param_text((name, unit))
        return _literal(prefix) + ("" if slot is None else "{" + slot + "}") + _literal(suffix)

    def _build(self, shape: Tuple[Any, ...]) -> Layout:
        survey, base_peak, peaks, polarity, centroid, precursor = shape
        i = INDENT
        p1, p2, p3, p4, p5 = (i * n for n in range(5, 10))
        lines = ["\n" + i * 4 + '<spectrum index="{index}" defaultArrayLength="{length}" id="{id}">',
                 p1 + self._param("ms level", "level"),
                 p1 + self._param("MS1 spectrum" if survey else "MSn spectrum"),
                 p1 + self._param("total ion current", "tic")]
        if base_peak:
            lines.append(p1 + self._param("base peak m/z", "bp_mz", "m/z"))
            lines.append(p1 + self._param("base peak intensity", "bp_intensity", "number of detector counts"))
        if peaks:
            lines.append(p1 + self._param("lowest observed m/z", "low_mz", "m/z"))
            lines.append(p1 + self._param("highest observed m/z", "high_mz", "m/z"))
        if polarity is not None:
            lines.append(p1 + self._param(f"{polarity} scan"))
        lines.append(p1 + self._param("centroid spectrum" if centroid else "profile spectrum"))
        lines += [p1 + '<scanList count="1">', p2 + self._param("no combination"), p2 + "<scan>",
                  p3 + self._param("scan start time", "rt", "second"), p2 + "</scan>", p1 + "</scanList>"]
        if precursor is not None:
            lines += self._precursor_lines(precursor, p1, p2, p3, p4, p5)
        lines.append(p1 + '<binaryDataArrayList count="2">')
        for array, unit, width in (("mz", "m/z", "64-bit float"),
                                   ("intensity", "number of detector counts", "32-bit float")):
            lines += [p2 + '<binaryDataArray encodedLength="{%s_length}">' % array,
                      p3 + self._param(f"{'m/z' if array == 'mz' else array} array", unit=unit),
                      p3 + self._param("zlib compression" if self._compression else "no compression"),
                      p3 + self._param(width),
                      p3 + "<binary>{%s_binary}</binary>" % array,
                      p2 + "</binaryDataArray>"]
        lines += [p1 + "</binaryDataArrayList>", i * 4 + "</spectrum>"]
        head, rest = "\n".join(lines).split("{mz_binary}")
        middle, tail = rest.split("{intensity_binary}")
        return _template(head), _template(middle), tail.format_map({}).encode("utf-8")

    def _precursor_lines(self, shape: Tuple[Any, ...], *pad: str) -> List[str]:
        p1, p2, p3, p4, p5 = pad
        (ref, target, selected, intensity, charge, energy), window, activation = shape[:6], shape[6], shape[7]
        lines = [p1 + '<precursorList count="1">',
                 p2 + ('<precursor spectrumRef="{precursor_native_id}">' if ref else "<precursor>")]
        if target:
            lines += [p3 + "<isolationWindow>",
                      p4 + self._param("isolation window target m/z", "target_mz", "m/z")]
            if window:
                lines += [p4 + self._param(f"isolation window {side} offset", "half_width", "m/z")
                          for side in ("lower", "upper")]
            lines.append(p3 + "</isolationWindow>")
        ion = [self._param(name, slot, unit) for present, name, slot, unit in (
            (selected, "selected ion m/z", "selected_mz", "m/z"),
            (intensity, "peak intensity", "intensity", "number of detector counts"),
            (charge, "charge state", "charge", None)) if present]
        if ion:
            lines += [p3 + '<selectedIonList count="1">', p4 + "<selectedIon>"]
            lines += [p5 + text for text in ion]
            lines += [p4 + "</selectedIon>", p3 + "</selectedIonList>"]
        lines += [p3 + "<activation>",
                  p4 + self._param(ACTIVATION_TERMS.get(activation or "", UNKNOWN_ACTIVATION))]
        if energy:
            lines.append(p4 + self._param("collision energy", "collision_energy", "electronvolt"))
        lines += [p3 + "</activation>", p2 + "</precursor>", p1 + "</precursorList>"]
        return lines


def _every_shape() -> Iterator[Tuple[Any, ...]]:
    """Shapes whose layouts between them use every parameter any layout can use.

    Which parameters a layout names depends on the polarity, the MS level,
    the scan mode and the activation, and on which optional parts are
    present; every optional part is present here.
    """
    precursor = (True,) * len(PRECURSOR_SLOTS) + (True,)
    for polarity in (None, "negative", "positive"):
        for survey in (True, False):
            for centroid in (True, False):
                for activation in (None, *ACTIVATION_TERMS):
                    yield (survey, True, True, polarity, centroid, precursor + (activation,))


def param_keys(compression: bool) -> List[ParamKey]:
    """Every (name, unit name) that a spectrum element can use, in first use order."""
    keys: Dict[ParamKey, None] = {}

    def record(key: ParamKey) -> Tuple[str, str]:
        keys[key] = None
        return "", ""

    layouts = Layouts(record, compression)
    for shape in _every_shape():
        layouts[shape]
    return list(keys)


def spectrum_fields(spectrum: Any) -> Tuple[Pending, bytes, bytes]:
    """What ``spectrum``'s element needs: its slot values and shape, and its packed arrays.

    Each field is read once; each read of a peak array builds a new list.
    """
    mz = spectrum.mz
    length = len(mz)
    native_id: str = spectrum.native_id
    level = spectrum.ms_level
    values: Dict[str, Any] = {
        "length": length, "id": xml_attr(native_id), "level": level,
        # an empty spectrum's sum is -0.0; write it as 0
        "tic": repr(spectrum.total_ion_current + 0.0), "rt": repr(spectrum.retention_time_sec),
    }
    base_peak = spectrum.base_peak_mz
    if base_peak is not None:
        values["bp_mz"], values["bp_intensity"] = repr(base_peak), repr(spectrum.base_peak_intensity)
    if length:
        values["low_mz"], values["high_mz"] = repr(float(mz[0])), repr(float(mz[-1]))
    precursor = spectrum.precursor
    precursor_shape = None
    if precursor is not None:
        present = tuple(precursor[slot] is not None for slot in PRECURSOR_SLOTS)
        window = precursor["target_mz"] is not None and bool(precursor["isolation_width"])
        precursor_shape = present + (window, precursor["activation"])
        for slot, is_present in zip(PRECURSOR_SLOTS, present):
            if is_present:
                value = precursor[slot]
                values[slot] = xml_attr(value) if slot == "precursor_native_id" else (
                    str(int(value)) if slot == "charge" else repr(float(value)))
        if window:
            values["half_width"] = repr(precursor["isolation_width"] / 2.0)
    shape = (level == 1, base_peak is not None, length > 0, spectrum.polarity,
             spectrum.scan_mode == "centroid", precursor_shape)
    return (native_id, values, shape), pack("d", mz), pack("f", spectrum.intensity)


def render(pending: Sequence[Pending], encoded: Sequence[bytes], layouts: Layouts,
           first_index: int) -> Tuple[List[bytes], List[int]]:
    """The elements of ``pending``, numbered from ``first_index``, around their encoded arrays.

    Returns the pieces of text, in document order, and each element's length
    in bytes (line break and indentation before it included).
    """
    pieces: List[bytes] = []
    lengths: List[int] = []
    arrays = iter(encoded)
    for index, ((_, values, shape), mz, intensity) in enumerate(zip(pending, arrays, arrays), first_index):
        (head, head_slots), (middle, middle_slots), tail = layouts[shape]
        values["index"] = index
        values["mz_length"], values["intensity_length"] = len(mz), len(intensity)
        start = (head % head_slots(values)).encode("utf-8")
        between = (middle % middle_slots(values)).encode("utf-8")
        pieces += (start, mz, between, intensity, tail)
        lengths.append(len(start) + len(mz) + len(between) + len(intensity) + len(tail))
    return pieces, lengths


def pack(code: str, values: Sequence[float]) -> bytes:
    """``values`` as little-endian IEEE floats: ``code`` "d" for 64 bits, "f" for 32.

    struct packs a list of Python floats several times faster than numpy or
    array convert one, and rounds to 32 bits to nearest as numpy does.  It
    refuses finite values beyond the 32-bit range, which numpy turns into
    infinities; those (and anything else it refuses) take numpy's path.
    """
    try:
        return struct.pack(f"<{len(values)}{code}", *values)
    except (OverflowError, struct.error, TypeError):
        import numpy as np

        return np.asarray(values, dtype="<f8" if code == "d" else "<f4").tobytes()


_deflate: types.ModuleType
try:  # ISA-L's zlib-compatible deflate is several times faster than zlib's
    from isal import isal_zlib as _deflate

    # ISA-L's level 2 both compresses MS arrays better and runs faster than its level 1.
    _DEFLATE_LEVEL = 2
except ImportError:  # pragma: no cover - depends on the installation
    _deflate = zlib
    # MS arrays gain little from zlib's higher levels, which cost much more time.
    _DEFLATE_LEVEL = 1


def encode_arrays(arrays: Sequence[bytes], compression: bool) -> List[bytes]:
    """Each of ``arrays`` compressed (when asked) and base64-encoded.

    Deflate releases the GIL, so this can run in worker threads while the
    main thread goes on reading spectra.
    """
    b64 = binascii.b2a_base64
    if compression:
        deflate, level = _deflate.compress, _DEFLATE_LEVEL
        return [b64(deflate(data, level), newline=False) for data in arrays]
    return [b64(data, newline=False) for data in arrays]

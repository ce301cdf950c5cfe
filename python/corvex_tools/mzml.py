"""Indexed mzML 1.1 output through psims.

The controlled vocabulary comes from the copy of the PSI-MS OBO that psims
ships; nothing is fetched over the network.
"""

from __future__ import annotations

import binascii
import hashlib
import gc
import itertools
import operator
import os
import re
import string
import struct
import types
import zlib
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from xml.sax.saxutils import escape
from typing import IO, TYPE_CHECKING, Any, Callable, Deque, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

import corvex

if TYPE_CHECKING:
    from corvex import Chromatogram, CvTerm, Precursor, RunInfo

from . import ToolError

SOFTWARE_ID = "corvex"
SOURCE_FILE_ID = "WIFF"
CONFIGURATION_ID = "IC1"
PROCESSING_ID = "corvex_conversion"

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
ANALYZER_TERMS = {
    "tofms": "time-of-flight",
    "tqms": "quadrupole",
    "sqms": "quadrupole",
    "itms": "ion trap",
    "sector": "magnetic sector",
}
# The reader does not record how precursors were activated; the generic term
# keeps the required <activation> element truthful.
UNKNOWN_ACTIVATION = "dissociation method"


def offline_resolver() -> Any:
    """A psims vocabulary resolver that uses only the vocabularies bundled with psims."""
    from psims.controlled_vocabulary.controlled_vocabulary import OBOCache  # type: ignore[import-untyped]

    return OBOCache(enabled=False, use_remote=False)


def _cv(term: "CvTerm") -> Dict[str, str]:
    return {"accession": term["accession"], "name": term["name"]}


def _ncname(text: str) -> str:
    """An XML NCName (what xs:ID attributes need) made from arbitrary text."""
    name = re.sub(r"[^A-Za-z0-9._-]", "_", text)
    return name if re.match(r"[A-Za-z_]", name) else "_" + name


def _sha1(path: Path) -> str:
    digest = hashlib.sha1()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _precursor(precursor: "Precursor") -> Dict[str, Any]:
    activation: List[Any] = [ACTIVATION_TERMS.get(precursor["activation"] or "", UNKNOWN_ACTIVATION)]
    if precursor["collision_energy"] is not None:
        activation.append({"collision energy": precursor["collision_energy"], "unit_name": "electronvolt"})
    info: Dict[str, Any] = {
        "mz": precursor["selected_mz"],
        "intensity": precursor["intensity"],
        "charge": precursor["charge"],
        "scan_id": precursor["precursor_native_id"],
        "activation": activation,
    }
    target = precursor["target_mz"]
    if target is not None:
        half = (precursor["isolation_width"] or 0.0) / 2.0
        info["isolation_window"] = [half, target, half] if precursor["isolation_width"] else {"target": target}
    return info


def write_mzml(out: IO[bytes], wiff_path: str, sample: str, spectra: Iterable[corvex.Spectrum],
               *, run_info: "RunInfo", chromatograms: "List[Chromatogram]", scan_count: int,
               ms_levels: Iterable[int] = (1, 2), compression: bool = True,
               progress: Optional[Callable[[int], None]] = None, fast_spectra: bool = True,
               threads: Optional[int] = None) -> int:
    """Write one sample as indexed mzML to ``out``; return the number of spectra written.

    ``spectra`` must yield exactly ``scan_count`` spectra (the count goes into
    the spectrum list's header before the first spectrum is written).
    ``run_info`` and ``chromatograms`` are the reader's ``run_info()`` and
    ``read_chromatograms()`` for the sample; ``ms_levels`` the MS levels its
    spectra have, which the file description lists.

    With ``fast_spectra`` (the default) spectrum elements are rendered by
    :class:`SpectrumRenderer` from terms that psims resolved once, their
    arrays encoded in worker threads, and written straight to psims'
    checksumming stream; otherwise each goes through
    psims' ``write_spectrum``, which gives the same elements but builds and
    resolves every parameter anew and is several times slower.  ``threads``
    is the number of worker threads that compress the arrays (default: one
    per CPU, at most 4; 0 compresses them in the calling thread, which costs
    the least CPU time where there are no idle CPUs).
    """
    from psims.mzml.writer import MzMLWriter  # type: ignore[import-untyped]

    wiff = Path(wiff_path)
    # The first spectrum tells the analyzer, which the header names before any spectrum.
    stream = iter(spectra)
    first = next(stream, None)
    analyzer = first.analyzer if first is not None else None
    if first is not None:
        stream = itertools.chain([first], stream)
    codec = "zlib" if compression else "none"
    writer = MzMLWriter(out, close=False, vocabulary_resolver=offline_resolver(),
                        missing_reference_is_error=False)
    written = 0
    with writer:
        _point_index_list_offset_at_element(writer)
        writer.controlled_vocabularies()
        source = writer.SourceFile(
            location=wiff.resolve().parent.as_uri(), name=wiff.name, id=SOURCE_FILE_ID,
            params=[_cv(run_info["source_file_format"]), _cv(run_info["native_id_format"]),
                    {"SHA-1": _sha1(wiff)}])
        levels = set(ms_levels)
        contents = [name for name, present in (("MS1 spectrum", 1 in levels),
                                                ("MSn spectrum", any(level > 1 for level in levels)))
                    if present]
        writer.file_description(contents, [source])
        writer.software_list([
            writer.Software(id=SOFTWARE_ID, version=run_info["software_version"],
                            params=[{"custom unreleased software tool": run_info["software_name"]}]),
            writer.Software(id="psims_writer", version=_psims_version(), params=["python-psims"]),
        ])
        configuration_params: List[Any] = [_cv(run_info["instrument"])]
        if run_info["instrument_serial_number"]:
            configuration_params.append({"instrument serial number": run_info["instrument_serial_number"]})
        # The run records neither the ion source nor the detector, so those
        # components carry the generic terms; the analyzer follows the spectra.
        components = [writer.Source(1, ["ionization type"]),
                      writer.Analyzer(2, [ANALYZER_TERMS.get(analyzer or "", "mass analyzer type")]),
                      writer.Detector(3, ["detector type"])]
        writer.instrument_configuration_list([
            writer.InstrumentConfiguration(id=CONFIGURATION_ID, component_list=components,
                                           params=configuration_params)])
        writer.data_processing_list([writer.DataProcessing(
            [writer.ProcessingMethod(order=0, software_reference=SOFTWARE_ID, params=["Conversion to mzML"])],
            id=PROCESSING_ID)])
        with writer.run(id=_ncname(f"{wiff.stem}_{sample}"), instrument_configuration=CONFIGURATION_ID,
                        source_file=SOURCE_FILE_ID, start_time=run_info["start_timestamp"]):
            with writer.spectrum_list(count=scan_count):
                renderer = SpectrumRenderer(writer, compression, threads) if fast_spectra else None
                # The spectra make no reference cycles; collecting while tens
                # of thousands of them stream through only costs time.
                collecting = gc.isenabled()
                gc.disable()
                try:
                    if renderer is not None:
                        write: Callable[[Any], None] = renderer.write
                    else:
                        def write(spectrum: Any) -> None:
                            _write_spectrum(writer, spectrum, codec)
                    for spectrum in stream:
                        write(spectrum)
                        written += 1
                        if progress is not None:
                            progress(1)
                    if renderer is not None:
                        renderer.close()
                finally:
                    if collecting:
                        gc.enable()
                    if renderer is not None:
                        renderer.abandon()
            if written != scan_count:
                raise ToolError(f"sample {sample!r} gave {written} spectra where its scan index lists "
                                f"{scan_count}")
            with writer.chromatogram_list(count=len(chromatograms)):
                for chromatogram in chromatograms:
                    _write_chromatogram(writer, chromatogram, codec)
    return written


def _point_index_list_offset_at_element(writer: Any) -> None:
    """Make <indexListOffset> give the offset of "<indexList", as mzML requires.

    psims records the offset before the line break and indentation that
    precede the element.
    """
    indices = writer.outfile.indices
    record = indices.write_index_list_xml

    def write_index_list_xml(section: Any, distance: int) -> None:
        xml = section.writer  # the indenting XML writer under psims' top-level section
        record(section, distance + len("\n" + xml.indent_chars * xml.indent_level))

    indices.write_index_list_xml = write_index_list_xml


def _psims_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("psims")
    except PackageNotFoundError:
        return "unknown"


def _write_spectrum(writer: Any, spectrum: corvex.Spectrum, codec: str) -> None:
    mz = np.asarray(spectrum.mz, dtype=np.float64)
    intensity = np.asarray(spectrum.intensity, dtype=np.float32)
    level = spectrum.ms_level
    params: List[Any] = [{"ms level": level}, "MS1 spectrum" if level == 1 else "MSn spectrum",
                         # an empty spectrum's sum is -0.0; write it as 0
                         {"total ion current": spectrum.total_ion_current + 0.0}]
    if spectrum.base_peak_mz is not None:
        params.append({"base peak m/z": spectrum.base_peak_mz, "unit_name": "m/z"})
        params.append({"base peak intensity": spectrum.base_peak_intensity,
                       "unit_name": "number of detector counts"})
    if len(mz):
        params.append({"lowest observed m/z": float(mz[0]), "unit_name": "m/z"})
        params.append({"highest observed m/z": float(mz[-1]), "unit_name": "m/z"})
    precursor = spectrum.precursor
    writer.write_spectrum(
        mz, intensity, id=spectrum.native_id,
        polarity=spectrum.polarity,
        centroided=spectrum.scan_mode == "centroid",
        precursor_information=_precursor(precursor) if precursor is not None else None,
        scan_start_time={"name": "scan start time", "value": spectrum.retention_time_sec,
                         "unit_name": "second"},
        params=params, compression=codec,
        encoding={"m/z array": np.float64, "intensity array": np.float32})


def _write_chromatogram(writer: Any, chromatogram: "Chromatogram", codec: str) -> None:
    kind = chromatogram["chromatogram_type"]
    writer.write_chromatogram(
        np.asarray(chromatogram["time_sec"], dtype=np.float32),
        np.asarray(chromatogram["intensity"], dtype=np.float32),
        id=chromatogram["id"],
        chromatogram_type=_cv(kind) if kind else "chromatogram type",
        compression=codec, encoding=32, time_unit="second")


_deflate: types.ModuleType
try:  # ISA-L's zlib-compatible deflate is several times faster than zlib's
    from isal import isal_zlib as _deflate
except ImportError:  # pragma: no cover - depends on the installation
    _deflate = zlib


def _pack(code: str, values: Sequence[float]) -> bytes:
    """``values`` as little-endian IEEE floats: ``code`` "d" for 64 bits, "f" for 32.

    struct packs a list of Python floats several times faster than numpy or
    array convert one, and rounds to 32 bits to nearest as numpy does.  It
    refuses finite values beyond the 32-bit range, which numpy turns into
    infinities; those (and anything else it refuses) take numpy's path.
    """
    try:
        return struct.pack(f"<{len(values)}{code}", *values)
    except (OverflowError, struct.error, TypeError):
        return np.asarray(values, dtype="<f8" if code == "d" else "<f4").tobytes()


def _encode_arrays(arrays: List[bytes], compression: bool) -> List[bytes]:
    """Each of ``arrays`` compressed (when asked) and base64-encoded.

    Deflate (at level 1, since MS arrays gain little from higher levels)
    releases the GIL, so this runs in worker threads while the main thread
    goes on reading spectra.
    """
    b64 = binascii.b2a_base64
    if compression:
        deflate = _deflate.compress
        return [b64(deflate(data, 1), newline=False) for data in arrays]
    return [b64(data, newline=False) for data in arrays]


def _worker_count() -> int:
    try:
        cpus = len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        cpus = os.cpu_count() or 1
    return max(1, min(4, cpus))


_MARKUP = re.compile(r'[&<>"]')


def _attr(value: str) -> str:
    """``value`` escaped for a double-quoted XML attribute."""
    return escape(value, {'"': "&quot;"}) if _MARKUP.search(value) else value


def _literal(text: str) -> str:
    """``text`` as literal text inside a format string."""
    return text.replace("{", "{{").replace("}", "}}")


# Text with slots to fill: a %-format string and what picks the values of
# its slots, in order, out of a dict.
_Template = Tuple[str, Callable[[Dict[str, Any]], Any]]
# A spectrum element: the text before the m/z binary (starting with the line
# break that precedes the element), the text between the two binaries, and
# the text after the intensity binary.
_Layout = Tuple[_Template, _Template, bytes]


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
# A spectrum waiting for its arrays to be encoded: native id, the values of
# its layout's slots, and its layout.
_Pending = Tuple[str, Dict[str, Any], _Layout]


class SpectrumRenderer:
    """Renders spectrum elements as psims would, without psims' per-element cost.

    psims resolves every controlled-vocabulary parameter of every spectrum
    against the vocabulary and tokenizes every write to find index offsets;
    for a run of tens of thousands of spectra that dominates conversion time.
    Here each parameter is resolved once, through psims, and each shape of
    spectrum element (which optional parts it has) becomes format strings
    once; a spectrum is then two ``format_map`` calls around its encoded
    arrays, with its index offset recorded directly.

    Spectra are handled in three stages.  :meth:`write` reads a spectrum's
    fields once and packs its arrays; the arrays of about a megabyte of
    spectra at a time are compressed and base64-encoded in a small thread
    pool (deflate releases the GIL), overlapped with reading the next
    spectra; finished elements are then joined into large blocks that one
    writer thread hands to psims' checksumming stream, below psims' small
    write buffer.  :meth:`close` writes what is still pending; the document
    must not be written to otherwise until then.
    """

    INDENT = "  "
    # Precursor values that are written when present, in the order written.
    PRECURSOR_SLOTS = ("precursor_native_id", "target_mz", "selected_mz", "intensity", "charge",
                       "collision_energy")
    CHUNK_BYTES = 1 << 20  # raw array bytes per encoding job
    WRITE_BYTES = 4 << 20  # bytes per write to the file

    def __init__(self, writer: Any, compression: bool, workers: Optional[int] = None) -> None:
        self._writer = writer
        self._stream = writer.outfile  # psims' IndexingStream
        self._spectrum_index = self._stream.indices.indexers[0]
        if self._spectrum_index.name != "spectrum":
            raise RuntimeError("unexpected psims index layout")
        self._compression = compression
        self._count = 0
        self._layouts: Dict[Tuple[Any, ...], _Layout] = {}
        from psims.mzml.index import Offset  # type: ignore[import-untyped]

        self._offset = Offset
        # psims writes the offset index element by element as well; write the
        # spectrum offsets in one piece instead, in the same layout.
        self._spectrum_index.write_xml = self._write_index
        # Spectra go straight to the stream that checksums and writes the
        # file, past psims' buffer: empty that first.
        writer.writer.flush()
        self._stream.flush()
        self._sink = self._stream.hashing_stream
        workers = _worker_count() if workers is None else workers
        self._encoders = (ThreadPoolExecutor(workers, thread_name_prefix="corvex-encode")
                          if compression and workers > 0 else None)
        self._max_encoding = 2 * workers
        self._file_writer = ThreadPoolExecutor(1, thread_name_prefix="corvex-write")
        self._chunk: List[_Pending] = []
        self._chunk_arrays: List[bytes] = []
        self._chunk_bytes = 0
        self._encoding: Deque[Tuple[List[_Pending], "Future[List[bytes]]"]] = deque()
        self._blocks: List[bytes] = []
        self._block_bytes = 0
        self._writes: Deque["Future[Any]"] = deque()
        self._closed = False

    def _write_index(self, xml: Any) -> None:
        with xml.element("index", name=self._spectrum_index.name):
            xml.flush()
            pad = "\n" + self.INDENT * 3
            text = "".join(f'{pad}<offset idRef="{_attr(ref.decode("utf-8"))}">{int(offset)}</offset>'
                           for ref, offset in self._spectrum_index.index.items())
            self._raw(text.encode("utf-8"))

    def _raw(self, data: bytes) -> None:
        self._stream._raw_write(data)
        self._stream.accumulator += len(data)

    # -- layouts -------------------------------------------------------------

    def _param(self, name: str, slot: Optional[str] = None, unit: Optional[str] = None) -> str:
        """A cvParam as format-string text: resolved by psims, its value a {slot} or empty."""
        fields: Dict[str, Any] = {"name": name, "value": "\x00"}
        if unit is not None:
            fields["unit_name"] = unit
        param = self._writer.context.param(fields)
        attrs = " ".join(f'{k}="{_attr(str(v))}"' for k, v in param.attrs.items())
        prefix, _, suffix = f"<cvParam {attrs}/>".partition("\x00")
        value = "" if slot is None else "{" + slot + "}"
        return _literal(prefix) + value + _literal(suffix)

    def _layout(self, shape: Tuple[Any, ...]) -> _Layout:
        survey, base_peak, peaks, polarity, centroid, precursor = shape
        i = self.INDENT
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
            lines += self._precursor_layout(precursor, p1, p2, p3, p4, p5)
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

    def _precursor_layout(self, shape: Tuple[Any, ...], *pad: str) -> List[str]:
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

    # -- spectra -------------------------------------------------------------

    def write(self, spectrum: Any) -> None:
        """Queue ``spectrum`` for the document; it is written, in order, by :meth:`close` at the latest."""
        mz = spectrum.mz  # each read of a peak array builds a new list
        length = len(mz)
        native_id: str = spectrum.native_id
        level = spectrum.ms_level
        values: Dict[str, Any] = {
            "length": length, "id": _attr(native_id), "level": level,
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
            present = tuple(precursor[slot] is not None for slot in self.PRECURSOR_SLOTS)
            window = precursor["target_mz"] is not None and bool(precursor["isolation_width"])
            precursor_shape = present + (window, precursor["activation"])
            for slot, is_present in zip(self.PRECURSOR_SLOTS, present):
                if is_present:
                    value = precursor[slot]
                    values[slot] = _attr(value) if slot == "precursor_native_id" else (
                        str(int(value)) if slot == "charge" else repr(float(value)))
            if window:
                values["half_width"] = repr(precursor["isolation_width"] / 2.0)
        shape = (level == 1, base_peak is not None, length > 0, spectrum.polarity,
                 spectrum.scan_mode == "centroid", precursor_shape)
        layout = self._layouts.get(shape)
        if layout is None:
            layout = self._layouts[shape] = self._layout(shape)
        packed_mz, packed_intensity = _pack("d", mz), _pack("f", spectrum.intensity)
        self._chunk.append((native_id, values, layout))
        self._chunk_arrays += (packed_mz, packed_intensity)
        self._chunk_bytes += len(packed_mz) + len(packed_intensity)
        if self._chunk_bytes >= self.CHUNK_BYTES:
            self._encode_chunk()

    def _encode_chunk(self) -> None:
        chunk, arrays = self._chunk, self._chunk_arrays
        self._chunk, self._chunk_arrays, self._chunk_bytes = [], [], 0
        if not chunk:
            return
        if self._encoders is None:
            self._emit(chunk, _encode_arrays(arrays, self._compression))
            return
        self._encoding.append((chunk, self._encoders.submit(_encode_arrays, arrays, True)))
        # Emit finished chunks in order; wait only when too many are queued.
        while self._encoding and (len(self._encoding) > self._max_encoding or self._encoding[0][1].done()):
            done, job = self._encoding.popleft()
            self._emit(done, job.result())

    def _emit(self, chunk: List[_Pending], encoded: List[bytes]) -> None:
        """Append the elements of ``chunk`` to the document, recording their index offsets."""
        stream, index, offset_type = self._stream, self._spectrum_index.index, self._offset
        blocks = self._blocks
        lead = 1 + len(self.INDENT * 4)  # the element starts after its line break and indentation
        position = stream.accumulator
        arrays = iter(encoded)
        for (native_id, values, ((head, head_slots), (middle, middle_slots), tail)), mz, intensity in zip(
                chunk, arrays, arrays):
            values["index"] = self._count
            values["mz_length"], values["intensity_length"] = len(mz), len(intensity)
            start = (head % head_slots(values)).encode("utf-8")
            between = (middle % middle_slots(values)).encode("utf-8")
            key = native_id.encode("utf-8")
            index[key] = offset_type(position + lead, {b"id": key})
            blocks += (start, mz, between, intensity, tail)
            position += len(start) + len(mz) + len(between) + len(intensity) + len(tail)
            self._count += 1
        self._block_bytes += position - stream.accumulator
        stream.accumulator = position
        # psims numbers the spectra it writes itself; keep its count in step.
        self._writer.spectrum_count += len(chunk)
        if self._block_bytes >= self.WRITE_BYTES:
            self._write_blocks()

    def _write_blocks(self) -> None:
        blocks = self._blocks
        self._blocks, self._block_bytes = [], 0
        self._writes.append(self._file_writer.submit(self._write_joined, blocks))
        while self._writes and (len(self._writes) > 2 or self._writes[0].done()):
            self._writes.popleft().result()

    def _write_joined(self, blocks: List[bytes]) -> None:
        """Write ``blocks`` as one piece (in the writer thread: joining, checksumming and
        writing large buffers release the GIL)."""
        self._sink.write(b"".join(blocks))

    def close(self) -> None:
        """Write every queued spectrum and stop the worker threads."""
        if self._closed:
            return
        self._encode_chunk()
        while self._encoding:
            chunk, job = self._encoding.popleft()
            self._emit(chunk, job.result())
        self._write_blocks()
        while self._writes:
            self._writes.popleft().result()
        self.abandon()

    def abandon(self) -> None:
        """Stop the worker threads, dropping whatever is still queued."""
        self._closed = True
        for pool in (self._encoders, self._file_writer):
            if pool is not None:
                pool.shutdown(wait=True, cancel_futures=True)

"""Indexed mzML 1.1 output through psims.

The controlled vocabulary comes from the copy of the PSI-MS OBO that psims
ships; nothing is fetched over the network.
"""

from __future__ import annotations

import base64
import hashlib
import itertools
import re
import zlib
from pathlib import Path
from xml.sax.saxutils import escape
from typing import IO, Any, Callable, Dict, Iterable, List, Optional, Tuple

import numpy as np

import corvex

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
    from psims.controlled_vocabulary.controlled_vocabulary import OBOCache

    return OBOCache(enabled=False, use_remote=False)


def _cv(term: Dict[str, str]) -> Dict[str, str]:
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


def _precursor(precursor: Dict[str, Any]) -> Dict[str, Any]:
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
               *, run_info: Dict[str, Any], chromatograms: List[Dict[str, Any]], scan_count: int,
               compression: bool = True, progress: Optional[Callable[[int], None]] = None,
               fast_spectra: bool = True) -> int:
    """Write one sample as indexed mzML to ``out``; return the number of spectra written.

    ``spectra`` must yield exactly ``scan_count`` spectra (the count goes into
    the spectrum list's header before the first spectrum is written).
    ``run_info`` and ``chromatograms`` are the reader's ``run_info()`` and
    ``read_chromatograms()`` for the sample.

    With ``fast_spectra`` (the default) spectrum elements are rendered by
    :class:`SpectrumRenderer` from terms that psims resolved once, and
    written straight to psims' indexing stream; otherwise each goes through
    psims' ``write_spectrum``, which gives the same elements but builds and
    resolves every parameter anew and is several times slower.
    """
    from psims.mzml.writer import MzMLWriter

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
        writer.file_description(["MS1 spectrum", "MSn spectrum"], [source])
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
                if fast_spectra:
                    renderer = SpectrumRenderer(writer, compression)
                    write: Callable[[Any], None] = renderer.write
                else:
                    def write(spectrum: Any) -> None:
                        _write_spectrum(writer, spectrum, codec)
                for spectrum in stream:
                    write(spectrum)
                    written += 1
                    if progress is not None:
                        progress(1)
            if written != scan_count:
                raise RuntimeError(f"expected {scan_count} spectra from sample {sample!r}, got {written}")
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


def _write_chromatogram(writer: Any, chromatogram: Dict[str, Any], codec: str) -> None:
    kind = chromatogram["chromatogram_type"]
    writer.write_chromatogram(
        np.asarray(chromatogram["time_sec"], dtype=np.float32),
        np.asarray(chromatogram["intensity"], dtype=np.float32),
        id=chromatogram["id"],
        chromatogram_type=_cv(kind) if kind else "chromatogram type",
        compression=codec, encoding=32, time_unit="second")


try:  # ISA-L's zlib-compatible deflate is several times faster than zlib's
    from isal import isal_zlib as _deflate
except ImportError:  # pragma: no cover - depends on the installation
    _deflate = zlib  # type: ignore[no-redef]


def _compress(data: bytes) -> bytes:
    """zlib stream of ``data``; level 1, since MS arrays gain little from higher levels."""
    return _deflate.compress(data, 1)


def _attr(value: str) -> str:
    return escape(value, {'"': "&quot;"})


class SpectrumRenderer:
    """Renders spectrum elements as psims would, without psims' per-element cost.

    psims resolves every controlled-vocabulary parameter of every spectrum
    against the vocabulary and tokenizes every write to find index offsets;
    for a run of tens of thousands of spectra that dominates conversion time.
    Here each parameter is resolved once, through psims, into a text template;
    a spectrum becomes one string written to psims' indexing stream, with its
    index offset recorded directly.
    """

    INDENT = "  "

    def __init__(self, writer: Any, compression: bool) -> None:
        self._writer = writer
        self._stream = writer.outfile  # psims' IndexingStream
        self._spectrum_index = self._stream.indices.indexers[0]
        if self._spectrum_index.name != "spectrum":
            raise RuntimeError("unexpected psims index layout")
        self._compression = compression
        self._count = 0
        self._templates: Dict[Any, Tuple[str, str]] = {}
        self._fixed: Dict[str, str] = {}
        # psims writes the offset index element by element as well; write the
        # spectrum offsets in one piece instead, in the same layout.
        self._spectrum_index.write_xml = self._write_index
        writer.writer.flush()

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

    def _template(self, name: str, unit: Optional[str]) -> Tuple[str, str]:
        """The text of a cvParam before and after its value, resolved by psims once."""
        key = (name, unit)
        template = self._templates.get(key)
        if template is None:
            spec: Dict[str, Any] = {"name": name, "value": "\x00"}
            if unit is not None:
                spec["unit_name"] = unit
            param = self._writer.context.param(spec)
            attrs = " ".join(f'{k}="{_attr(str(v))}"' for k, v in param.attrs.items())
            prefix, _, suffix = f"<cvParam {attrs}/>".partition("\x00")
            template = self._templates[key] = (prefix, suffix)
        return template

    def _param(self, name: str, value: Any = "", unit: Optional[str] = None) -> str:
        if value == "" and unit is None:
            fixed = self._fixed.get(name)
            if fixed is None:
                fixed = self._fixed[name] = "".join(self._template(name, None))
            return fixed
        prefix, suffix = self._template(name, unit)
        kind = type(value)
        text = repr(value) if kind is float else str(value) if kind is int else _attr(str(value))
        return prefix + text + suffix

    def _array(self, data: bytes, array: str, unit: str, width: str, pad: str) -> List[str]:
        if self._compression:
            data = _compress(data)
        encoded = base64.b64encode(data).decode("ascii")
        inner = pad + self.INDENT
        return [
            f'{pad}<binaryDataArray encodedLength="{len(encoded)}">',
            inner + self._param(array, unit=unit),
            inner + self._param("zlib compression" if self._compression else "no compression"),
            inner + self._param(width),
            f"{inner}<binary>{encoded}</binary>",
            f"{pad}</binaryDataArray>",
        ]

    def render(self, spectrum: Any) -> str:
        """The spectrum element, indented for its place in the spectrum list."""
        i = self.INDENT
        p1, p2, p3, p4, p5, p6 = (i * n for n in range(5, 11))
        mz = np.asarray(spectrum.mz, dtype=np.float64)
        intensity = np.asarray(spectrum.intensity, dtype=np.float32)
        level = spectrum.ms_level
        lines = [f'{i * 4}<spectrum index="{self._count}" defaultArrayLength="{len(mz)}" '
                 f'id="{_attr(spectrum.native_id)}">',
                 p1 + self._param("ms level", level),
                 p1 + self._param("MS1 spectrum" if level == 1 else "MSn spectrum"),
                 p1 + self._param("total ion current", spectrum.total_ion_current + 0.0)]
        if spectrum.base_peak_mz is not None:
            lines.append(p1 + self._param("base peak m/z", spectrum.base_peak_mz, "m/z"))
            lines.append(p1 + self._param("base peak intensity", spectrum.base_peak_intensity,
                                          "number of detector counts"))
        if len(mz):
            lines.append(p1 + self._param("lowest observed m/z", float(mz[0]), "m/z"))
            lines.append(p1 + self._param("highest observed m/z", float(mz[-1]), "m/z"))
        if spectrum.polarity is not None:
            lines.append(p1 + self._param(f"{spectrum.polarity} scan"))
        lines.append(p1 + self._param("centroid spectrum" if spectrum.scan_mode == "centroid"
                                      else "profile spectrum"))
        lines += [f'{p1}<scanList count="1">', p2 + self._param("no combination"), f"{p2}<scan>",
                  p3 + self._param("scan start time", spectrum.retention_time_sec, "second"),
                  f"{p2}</scan>", f"{p1}</scanList>"]
        precursor = spectrum.precursor
        if precursor is not None:
            lines += self._precursor(precursor, p1, p2, p3, p4, p5, p6)
        lines.append(f'{p1}<binaryDataArrayList count="2">')
        lines += self._array(mz.tobytes(), "m/z array", "m/z", "64-bit float", p2)
        lines += self._array(intensity.tobytes(), "intensity array", "number of detector counts",
                             "32-bit float", p2)
        lines += [f"{p1}</binaryDataArrayList>", f"{i * 4}</spectrum>"]
        return "\n".join(lines)

    def _precursor(self, precursor: Dict[str, Any], *pad: str) -> List[str]:
        p1, p2, p3, p4, p5, p6 = pad
        ref = precursor["precursor_native_id"]
        lines = [f'{p1}<precursorList count="1">',
                 f'{p2}<precursor spectrumRef="{_attr(ref)}">' if ref is not None else f"{p2}<precursor>"]
        target = precursor["target_mz"]
        if target is not None:
            lines += [f"{p3}<isolationWindow>", p4 + self._param("isolation window target m/z", target, "m/z")]
            width = precursor["isolation_width"]
            if width:
                for side in ("lower", "upper"):
                    lines.append(p4 + self._param(f"isolation window {side} offset", width / 2.0, "m/z"))
            lines.append(f"{p3}</isolationWindow>")
        ion = [(name, precursor[key], unit) for key, name, unit in (
            ("selected_mz", "selected ion m/z", "m/z"),
            ("intensity", "peak intensity", "number of detector counts"),
            ("charge", "charge state", None)) if precursor[key] is not None]
        if ion:
            lines += [f'{p3}<selectedIonList count="1">', f"{p4}<selectedIon>"]
            lines += [p5 + self._param(name, value, unit) for name, value, unit in ion]
            lines += [f"{p4}</selectedIon>", f"{p3}</selectedIonList>"]
        lines += [f"{p3}<activation>",
                  p4 + self._param(ACTIVATION_TERMS.get(precursor["activation"] or "", UNKNOWN_ACTIVATION))]
        if precursor["collision_energy"] is not None:
            lines.append(p4 + self._param("collision energy", precursor["collision_energy"], "electronvolt"))
        lines += [f"{p3}</activation>", f"{p2}</precursor>", f"{p1}</precursorList>"]
        return lines

    def write(self, spectrum: Any) -> None:
        """Render ``spectrum`` and append it to the document, recording its index offset."""
        from psims.mzml.index import Offset

        text = self.render(spectrum)
        lead = "\n"
        data = (lead + text).encode("utf-8")
        offset = self._stream.accumulator + len(lead) + len(self.INDENT * 4)
        self._spectrum_index.index[spectrum.native_id.encode("utf-8")] = Offset(
            offset, {b"id": spectrum.native_id.encode("utf-8")})
        self._stream._raw_write(data)
        self._stream.accumulator += len(data)
        self._count += 1
        # psims numbers the spectra it writes itself; keep its count in step.
        self._writer.spectrum_count += 1

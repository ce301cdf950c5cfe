"""The frame of an indexed mzML document and the vocabulary text of its elements.

The engine (``corvex_tools._native``: ``convert_mzml`` and ``MzmlWriter``)
renders the spectrum and chromatogram elements and owns the indexed-mzML
envelope: the offset index, ``<indexListOffset>`` and the SHA-1
``<fileChecksum>``.  What comes from psims is written here, through its
public API only, with the vocabularies bundled with psims (nothing is
fetched):

* the frame: the document from its start up to the first spectrum, the
  text between the spectrum list and the chromatograms, and the end of the
  chromatogram list through ``</mzML>``;
* the text of every controlled-vocabulary parameter the engine writes,
  before and after its value, resolved once per document.
"""

from __future__ import annotations

import dataclasses
import hashlib
import io
import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Tuple

from psims.controlled_vocabulary.controlled_vocabulary import OBOCache  # type: ignore[import-untyped]
from psims.mzml.writer import MzMLWriter  # type: ignore[import-untyped]

if TYPE_CHECKING:
    from corvex import Chromatogram, CvTerm, RunInfo

    from .centroid import CentroidParameters

from . import _native

SOFTWARE_ID = "corvex"
SOURCE_FILE_ID = "WIFF"
CONFIGURATION_ID = "IC1"
PROCESSING_ID = "corvex_conversion"
# The user parameter that records how centroids were picked.
PEAK_PICKING_PARAMETERS = "corvex peak picking parameters"

# The analyzer the instrument configuration names, by corvex's analyzer text.
ANALYZER_TERMS = {
    "tofms": "time-of-flight",
    "tqms": "quadrupole",
    "sqms": "quadrupole",
    "itms": "ion trap",
    "sector": "magnetic sector",
}

# Stands for a parameter's value while psims renders the parameter.
_VALUE_MARK = "corvex-value-mark"


@dataclass(frozen=True)
class MzmlFrame:
    """What an indexed mzML document holds besides its elements and its index.

    ``header`` is everything before the first spectrum element, ``between``
    runs from the end of the spectrum list to the first chromatogram
    element and ``footer`` from the end of the chromatogram list through
    ``</mzML>``; all three are UTF-8 bytes.  ``params`` holds the
    (before, after) text of each cvParam in the order of
    ``_native.mzml_param_keys()``, and ``chromatogram_types`` the whole
    cvParam naming the kind of each chromatogram, in order.
    """

    header: bytes
    between: bytes
    footer: bytes
    params: Tuple[Tuple[str, str], ...]
    chromatogram_types: Tuple[str, ...]


def mzml_frame(wiff_path: str, sample: str, *, run_info: "RunInfo", chromatograms: "List[Chromatogram]",
               scan_count: int, ms_levels: Iterable[int], analyzer: Optional[str],
               peak_picking: "Optional[CentroidParameters]" = None) -> MzmlFrame:
    """The frame of the document for one sample, as psims writes it.

    ``run_info`` and ``chromatograms`` are the reader's ``run_info()`` and
    ``read_chromatograms()`` for the sample, ``scan_count`` the number of
    spectra the document will hold, ``ms_levels`` the MS levels they have
    and ``analyzer`` the analyzer of the first spectrum (None without one).
    ``peak_picking``, the peak picker's parameters when the spectra are
    centroids, adds the peak picking to the data
    processing, after the conversion, with the parameters as a user
    parameter.
    """
    # psims writes the whole document, with empty lists; the parts around the
    # lists are the frame, and what it writes after </mzML> is not used.
    buffer = io.BytesIO()
    writer = MzMLWriter(buffer, close=False, vocabulary_resolver=offline_resolver(), missing_reference_is_error=False)
    wiff = Path(wiff_path)
    with writer:
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
        methods = [writer.ProcessingMethod(order=0, software_reference=SOFTWARE_ID, params=["Conversion to mzML"])]
        if peak_picking is not None:
            methods.append(writer.ProcessingMethod(order=1, software_reference=SOFTWARE_ID, params=[
                "peak picking", {"name": PEAK_PICKING_PARAMETERS, "value": _picking_text(peak_picking)}]))
        writer.data_processing_list([writer.DataProcessing(methods, id=PROCESSING_ID)])
        with writer.run(id=_ncname(f"{wiff.stem}_{sample}"), instrument_configuration=CONFIGURATION_ID,
                        source_file=SOURCE_FILE_ID, start_time=run_info["start_timestamp"]):
            with writer.spectrum_list(count=scan_count):
                pass
            with writer.chromatogram_list(count=len(chromatograms)):
                pass
        params = tuple(param_text(writer, name, unit) for name, unit in _native.mzml_param_keys())
        types = tuple(_element_text(writer, _cv(c["chromatogram_type"]) if c["chromatogram_type"]
                                    else "chromatogram type") for c in chromatograms)
    document = buffer.getvalue()
    header_end = _after_start_tag(document, b"<spectrumList ")
    between_end = _after_start_tag(document, b"<chromatogramList ", header_end)
    footer_end = document.index(b"</mzML>", between_end) + len(b"</mzML>")
    return MzmlFrame(header=document[:header_end], between=document[header_end:between_end],
                     footer=document[between_end:footer_end], params=params, chromatogram_types=types)


def _picking_text(parameters: "CentroidParameters") -> str:
    """The picker's parameters as "name=value" pairs, in their field order."""
    return " ".join(f"{name}={_parameter_text(value)}" for name, value in dataclasses.asdict(parameters).items())


def _parameter_text(value: Any) -> str:
    return str(value).lower() if isinstance(value, bool) else str(value)


def offline_resolver() -> Any:
    """A psims vocabulary resolver that uses only the vocabularies bundled with psims."""
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


def _psims_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("psims")
    except PackageNotFoundError:
        return "unknown"


def _after_start_tag(document: bytes, start: bytes, position: int = 0) -> int:
    return document.index(b">", document.index(start, position)) + 1


def _element_text(writer: Any, param: Any) -> str:
    from lxml import etree  # type: ignore[import-untyped]  # psims writes through lxml

    text: str = etree.tostring(writer.param(param).element(), encoding="unicode")
    return text


def param_text(writer: Any, name: str, unit: Optional[str]) -> Tuple[str, str]:
    """The cvParam text before and after the value of the term ``name`` with the unit ``unit``, as psims writes it."""
    fields: Dict[str, Any] = {"name": name, "value": _VALUE_MARK}
    if unit is not None:
        fields["unit_name"] = unit
    before, mark, after = _element_text(writer, fields).partition(_VALUE_MARK)
    if not mark:
        raise RuntimeError(f"psims did not write the value of the parameter {name!r}")
    return before, after

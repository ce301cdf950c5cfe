"""Indexed mzML 1.1 output through psims.

The controlled vocabulary comes from the copy of the PSI-MS OBO that psims
ships; nothing is fetched over the network.
"""

from __future__ import annotations

import contextlib
import hashlib
import itertools
import os
import re
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Callable, Deque, Dict, Iterable, Iterator, List, Optional, Tuple

import numpy as np
from psims.controlled_vocabulary.controlled_vocabulary import OBOCache  # type: ignore[import-untyped]
from psims.mzml.writer import MzMLWriter  # type: ignore[import-untyped]

import corvex

if TYPE_CHECKING:
    from corvex import Chromatogram, CvTerm, Precursor, RunInfo

from . import ToolError, gc_paused
from .elements import (ACTIVATION_TERMS, ELEMENT_LEAD, INDENT, UNKNOWN_ACTIVATION, Layouts, ParamKey, Pending,
                       encode_arrays, param_keys, render, spectrum_fields, xml_attr)
from .mzml_workers import WorkerProcesses
from .scan_file import scan_file_path

SOFTWARE_ID = "corvex"
SOURCE_FILE_ID = "WIFF"
CONFIGURATION_ID = "IC1"
PROCESSING_ID = "corvex_conversion"

ANALYZER_TERMS = {
    "tofms": "time-of-flight",
    "tqms": "quadrupole",
    "sqms": "quadrupole",
    "itms": "ion trap",
    "sector": "magnetic sector",
}
# Below this much scan data, starting worker processes costs more than they save.
PARALLEL_MIN_SCAN_BYTES = 8 << 20
# Spectra per turn of a worker process: small enough to keep the workers
# evenly loaded, large enough that handing them over costs next to nothing.
CHUNK_SPECTRA = 32


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


def sample_metadata(wiff_path: str, sample: str) -> Dict[str, Any]:
    """What the document needs besides the spectra: the keyword arguments of :func:`write_mzml`.

    They come from a reader that is dropped before the spectra are streamed:
    the run metadata, the chromatograms, the scan count and the MS levels.
    """
    reader = corvex.open_sample(wiff_path, sample)
    return {"run_info": reader.run_info(), "chromatograms": reader.read_chromatograms(),
            "scan_count": reader.scan_count,
            "ms_levels": {record["ms_level"] for record in reader.scan_index()}}


def default_processes(wiff_path: str) -> int:
    """How many processes should convert the run: one per CPU (at most 8), or 1 for a small run."""
    try:
        size = os.path.getsize(scan_file_path(wiff_path))
    except OSError:
        return 1
    return min(_cpu_count(), 8) if size >= PARALLEL_MIN_SCAN_BYTES else 1


def convert_mzml(out: IO[bytes], wiff_path: str, sample: str, *, compression: bool = True,
                 processes: int = 1, threads: Optional[int] = None,
                 progress: Optional[Callable[[int], Optional[Callable[[int], Any]]]] = None,
                 chunk_spectra: int = CHUNK_SPECTRA) -> int:
    """Convert one sample of a run to indexed mzML on ``out``; return the number of spectra written.

    With ``processes`` above 1 the spectra are rendered by that many worker
    processes (see :mod:`corvex_tools.mzml_workers`), each taking every
    ``processes``-th run of ``chunk_spectra`` spectra; the document is the
    same, byte for byte, as with one process, where this process renders
    them and compresses their arrays in ``threads`` threads (see
    :func:`write_mzml`).  ``progress``, when given, is called with the
    number of spectra once that is known and returns the function to call
    with each number of spectra written.  The reader's errors are raised as
    RuntimeError.
    """
    if processes <= 1:
        metadata = sample_metadata(wiff_path, sample)
        report = progress(metadata["scan_count"]) if progress is not None else None
        return write_mzml(out, wiff_path, sample, corvex.iter_spectra(wiff_path, sample), **metadata,
                          compression=compression, progress=report, threads=threads)
    # The workers start first: loading the vocabulary and reading the run
    # metadata here take seconds, during which they pack and compress spectra.
    with WorkerProcesses(wiff_path, sample, processes, chunk_spectra, compression) as workers:
        writer = _new_writer(out)
        workers.send_param_texts({key: _param_text(writer, key) for key in param_keys(compression)})
        metadata = sample_metadata(wiff_path, sample)
        report = progress(metadata["scan_count"]) if progress is not None else None
        chunks = workers.chunks()
        first = next(chunks, None)
        written = 0
        with _document(writer, wiff_path, sample, analyzer=first.analyzer if first is not None else None,
                       compression=compression, **metadata):
            sink = SpectrumSink(writer)
            try:
                for chunk in itertools.chain([first], chunks) if first is not None else ():
                    sink.append(chunk.native_ids, chunk.lengths, [chunk.body])
                    written += len(chunk.native_ids)
                    if report is not None:
                        report(len(chunk.native_ids))
                sink.close()
            finally:
                sink.abandon()
            _check_count(sample, written, metadata["scan_count"])
    return written


def write_mzml(out: IO[bytes], wiff_path: str, sample: str, spectra: Iterable[corvex.Spectrum],
               *, run_info: "RunInfo", chromatograms: "List[Chromatogram]", scan_count: int,
               ms_levels: Iterable[int] = (1, 2), compression: bool = True,
               progress: Optional[Callable[[int], Any]] = None, fast_spectra: bool = True,
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
    # The first spectrum tells the analyzer, which the header names before any spectrum.
    stream = iter(spectra)
    first = next(stream, None)
    analyzer = first.analyzer if first is not None else None
    if first is not None:
        stream = itertools.chain([first], stream)
    codec = "zlib" if compression else "none"
    writer = _new_writer(out)
    written = 0
    with _document(writer, wiff_path, sample, run_info=run_info, chromatograms=chromatograms,
                   scan_count=scan_count, ms_levels=ms_levels, analyzer=analyzer, compression=compression):
        renderer = SpectrumRenderer(writer, compression, threads) if fast_spectra else None
        try:
            if renderer is not None:
                write: Callable[[Any], None] = renderer.write
            else:
                def write(spectrum: Any) -> None:
                    _write_spectrum(writer, spectrum, codec)
            with gc_paused():
                for spectrum in stream:
                    write(spectrum)
                    written += 1
                    if progress is not None:
                        progress(1)
            if renderer is not None:
                renderer.close()
        finally:
            if renderer is not None:
                renderer.abandon()
        _check_count(sample, written, scan_count)
    return written


def _new_writer(out: IO[bytes]) -> Any:
    return MzMLWriter(out, close=False, vocabulary_resolver=offline_resolver(), missing_reference_is_error=False)


def _check_count(sample: str, written: int, scan_count: int) -> None:
    if written != scan_count:
        raise ToolError(f"sample {sample!r} gave {written} spectra where its scan index lists {scan_count}")


@contextlib.contextmanager
def _document(writer: Any, wiff_path: str, sample: str, *, run_info: "RunInfo",
              chromatograms: "List[Chromatogram]", scan_count: int, ms_levels: Iterable[int],
              analyzer: Optional[str], compression: bool) -> Iterator[None]:
    """The document around its spectra: the body of the ``with`` writes the spectrum list's contents."""
    wiff = Path(wiff_path)
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
                yield
            codec = "zlib" if compression else "none"
            with writer.chromatogram_list(count=len(chromatograms)):
                for chromatogram in chromatograms:
                    _write_chromatogram(writer, chromatogram, codec)


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


def _cpu_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _worker_count() -> int:
    return max(1, min(4, _cpu_count()))


def _param_text(writer: Any, key: ParamKey) -> Tuple[str, str]:
    """The cvParam text before and after the value of a parameter, as psims resolves and writes it."""
    name, unit = key
    fields: Dict[str, Any] = {"name": name, "value": "\x00"}
    if unit is not None:
        fields["unit_name"] = unit
    param = writer.context.param(fields)
    attrs = " ".join(f'{k}="{xml_attr(str(v))}"' for k, v in param.attrs.items())
    prefix, _, suffix = f"<cvParam {attrs}/>".partition("\x00")
    return prefix, suffix


class SpectrumSink:
    """Appends rendered spectrum elements to a psims document, below psims' own writing.

    psims tokenizes every write to find index offsets and writes the offset
    index element by element; here each element's offset is recorded from
    its length, and the elements are joined into large blocks that one
    writer thread hands to psims' checksumming stream (joining,
    checksumming and writing large buffers release the GIL).  :meth:`close`
    writes what is still pending; the document must not be written to
    otherwise until then.
    """

    WRITE_BYTES = 4 << 20  # bytes per write to the file

    def __init__(self, writer: Any) -> None:
        self._writer = writer
        self._stream = writer.outfile  # psims' IndexingStream
        self._spectrum_index = self._stream.indices.indexers[0]
        if self._spectrum_index.name != "spectrum":
            raise RuntimeError("unexpected psims index layout")
        from psims.mzml.index import Offset  # type: ignore[import-untyped]

        self._offset = Offset
        self._spectrum_index.write_xml = self._write_index
        # Spectra go straight to the stream that checksums and writes the
        # file, past psims' buffer: empty that first.
        writer.writer.flush()
        self._stream.flush()
        self._sink = self._stream.hashing_stream
        self._file_writer = ThreadPoolExecutor(1, thread_name_prefix="corvex-write")
        self._count = 0  # spectra appended
        self._blocks: List[bytes] = []
        self._block_bytes = 0
        self._writes: Deque["Future[Any]"] = deque()
        self._closed = False

    def _write_index(self, xml: Any) -> None:
        with xml.element("index", name=self._spectrum_index.name):
            xml.flush()
            pad = "\n" + INDENT * 3
            text = "".join(f'{pad}<offset idRef="{xml_attr(ref.decode("utf-8"))}">{int(offset)}</offset>'
                           for ref, offset in self._spectrum_index.index.items())
            data = text.encode("utf-8")
            self._stream._raw_write(data)
            self._stream.accumulator += len(data)

    def append(self, native_ids: List[str], lengths: List[int], pieces: List[bytes]) -> None:
        """Append consecutive elements: their native ids, lengths, and their text in ``pieces``."""
        index, offset_type = self._spectrum_index.index, self._offset
        position = start = self._stream.accumulator
        for native_id, length in zip(native_ids, lengths):
            key = native_id.encode("utf-8")
            index[key] = offset_type(position + ELEMENT_LEAD, {b"id": key})
            position += length
        self._blocks += pieces
        self._block_bytes += position - start
        self._stream.accumulator = position
        self._count += len(native_ids)
        # psims numbers the spectra it writes itself; keep its count in step.
        self._writer.spectrum_count += len(native_ids)
        if self._block_bytes >= self.WRITE_BYTES:
            self._write_blocks()

    def _write_blocks(self) -> None:
        blocks = self._blocks
        self._blocks, self._block_bytes = [], 0
        self._writes.append(self._file_writer.submit(self._write_joined, blocks))
        while self._writes and (len(self._writes) > 2 or self._writes[0].done()):
            self._writes.popleft().result()

    def _write_joined(self, blocks: List[bytes]) -> None:
        self._sink.write(b"".join(blocks))

    def close(self) -> None:
        """Write every appended element and stop the writer thread."""
        if self._closed:
            return
        self._write_blocks()
        while self._writes:
            self._writes.popleft().result()
        self.abandon()

    def abandon(self) -> None:
        """Stop the worker threads, dropping whatever is still queued."""
        self._closed = True
        for pool in self._pools():
            pool.shutdown(wait=True, cancel_futures=True)

    def _pools(self) -> List[ThreadPoolExecutor]:
        return [self._file_writer]


class SpectrumRenderer(SpectrumSink):
    """Renders spectrum elements in this process, as psims would, and appends them.

    :meth:`write` reads a spectrum's fields once and packs its arrays; the
    arrays of about a megabyte of spectra at a time are compressed and
    base64-encoded in a small thread pool (deflate releases the GIL),
    overlapped with reading the next spectra; finished elements are then
    rendered from :class:`~corvex_tools.elements.Layouts` and appended.
    """

    CHUNK_BYTES = 1 << 20  # raw array bytes per encoding job

    def __init__(self, writer: Any, compression: bool, workers: Optional[int] = None) -> None:
        super().__init__(writer)
        self._compression = compression
        self._layouts = Layouts(lambda key: _param_text(writer, key), compression)
        workers = _worker_count() if workers is None else workers
        self._encoders = (ThreadPoolExecutor(workers, thread_name_prefix="corvex-encode")
                          if compression and workers > 0 else None)
        self._max_encoding = 2 * workers
        self._chunk: List[Pending] = []
        self._chunk_arrays: List[bytes] = []
        self._chunk_bytes = 0
        self._encoding: Deque[Tuple[List[Pending], "Future[List[bytes]]"]] = deque()

    def write(self, spectrum: Any) -> None:
        """Queue ``spectrum`` for the document; it is written, in order, by :meth:`close` at the latest."""
        fields, packed_mz, packed_intensity = spectrum_fields(spectrum)
        self._chunk.append(fields)
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
            self._emit(chunk, encode_arrays(arrays, self._compression))
            return
        self._encoding.append((chunk, self._encoders.submit(encode_arrays, arrays, True)))
        # Emit finished chunks in order; wait only when too many are queued.
        while self._encoding and (len(self._encoding) > self._max_encoding or self._encoding[0][1].done()):
            done, job = self._encoding.popleft()
            self._emit(done, job.result())

    def _emit(self, chunk: List[Pending], encoded: List[bytes]) -> None:
        pieces, lengths = render(chunk, encoded, self._layouts, self._count)
        self.append([fields[0] for fields in chunk], lengths, pieces)

    def close(self) -> None:
        """Write every queued spectrum and stop the worker threads."""
        if self._closed:
            return
        self._encode_chunk()
        while self._encoding:
            chunk, job = self._encoding.popleft()
            self._emit(chunk, job.result())
        super().close()

    def _pools(self) -> List[ThreadPoolExecutor]:
        return [pool for pool in (self._encoders, self._file_writer) if pool is not None]

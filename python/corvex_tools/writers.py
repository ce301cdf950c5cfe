"""mzML and MGF written by the engine (``corvex_tools._native``).

Whole samples: :func:`convert_mzml` and :func:`convert_mgf` hand a
:class:`~corvex_tools.Run` to the engine, whose worker threads read, render,
compress and encode every spectrum with the interpreter released while the
calling thread writes them in order; memory stays bounded whatever the run's
size, and the output is the same whatever the number of threads.  The
conversion runs in slices of a tenth of a second, between which the calling
thread returns to Python: a signal handler that raises there (Ctrl-C,
``corvex``'s SIGTERM and SIGHUP) ends the conversion and stops its threads.

Spectra handed in one by one (corvex spectra, or objects with the same
attributes): :func:`write_mzml_document` and :func:`write_mgf_document`.

Every writer needs a real file: the engine writes to its file descriptor,
from the file's start.
"""

from __future__ import annotations

import itertools
from typing import IO, TYPE_CHECKING, Any, Callable, Iterable, List, Optional, Tuple

import numpy as np

from . import _native, gc_paused
from .centroid import Centroiding, native_centroid_argument, picking_parameters

if TYPE_CHECKING:
    from corvex import Chromatogram, RunInfo

    from .arrays import Run

# MS-Numpress codings the writers offer, by array.
NUMPRESS_MZ = ("linear",)
NUMPRESS_INTENSITY = ("pic", "slof")

# How long the engine writes before the calling thread returns to Python,
# where signal handlers run and progress is shown.
SLICE_SECONDS = 0.1

Progress = Callable[[int], Any]


def convert_mzml(out: IO[bytes], run: "Run", *, compression: bool = True, numpress_mz: Optional[str] = None,
                 numpress_intensity: Optional[str] = None, threads: Optional[int] = None,
                 centroid: Centroiding = False, progress: Optional[Progress] = None) -> int:
    """Write the sample of ``run`` as indexed mzML to the empty file ``out``; return the number of spectra.

    ``compression`` deflates every array (after MS-Numpress, when asked):
    ``numpress_mz`` ("linear") and ``numpress_intensity`` ("pic" or
    "slof") code the spectra's arrays with MS-Numpress.  ``threads`` is the
    number of worker threads (None or 0: one per CPU).  With ``centroid``
    (True, or :class:`~corvex_tools.centroid.CentroidParameters`) every
    spectrum holds the peak picker's centroids, as ``Run.peaks(i,
    centroid=...)`` gives them, marked "centroid spectrum", and the data
    processing lists the peak picking with its parameters.  ``progress`` is
    called with each number of spectra written.  A scan that cannot be read
    raises ``RuntimeError`` with corvex's text; a failed write, ``OSError``.
    """
    from .mzml_frame import mzml_frame

    chromatograms = run.read_chromatograms()
    frame = mzml_frame(run.path, run.sample_name, run_info=run.run_info(), chromatograms=chromatograms,
                       scan_count=run.scan_count, ms_levels=np.unique(run.spectra["ms_level"]).tolist(),
                       analyzer=run.analyzer, peak_picking=picking_parameters(centroid))
    out.flush()
    conversion = _native.convert_mzml(run._native, out.fileno(), frame.header, frame.between, frame.footer,
                                      frame.params, frame.chromatogram_types, compression, numpress_mz,
                                      numpress_intensity, threads, native_centroid_argument(centroid))
    _complete(conversion, progress)
    return conversion.written


def convert_mgf(out: IO[bytes], run: "Run", *, threads: Optional[int] = None, centroid: Centroiding = False,
                progress: Optional[Progress] = None) -> Tuple[int, int]:
    """Write the fragment spectra of ``run`` as MGF to the empty file ``out``.

    Each fragment spectrum with a precursor m/z becomes one block: TITLE
    (the native id), PEPMASS (the precursor m/z), CHARGE when known,
    RTINSECONDS and SCANS, then one "m/z intensity" line per peak, numbers in
    Python's shortest round-trip form (what ``repr`` gives) so that they
    read back to exactly the values corvex gives.  Returns (spectra
    written, fragment spectra left out for want of a precursor m/z).
    ``threads``, ``centroid`` and ``progress`` as for :func:`convert_mzml`.
    """
    out.flush()
    conversion = _native.convert_mgf(run._native, out.fileno(), threads, native_centroid_argument(centroid))
    _complete(conversion, progress)
    return conversion.written, conversion.left_out


def _complete(conversion: "_native.Conversion", progress: Optional[Progress]) -> None:
    """Drive ``conversion`` to its end in slices; whatever ends it early stops its threads."""
    try:
        reported = 0
        while not conversion.advance(SLICE_SECONDS):
            if progress is not None:
                progress(conversion.spectra - reported)
                reported = conversion.spectra
        if progress is not None:
            progress(conversion.spectra - reported)
    finally:
        conversion.close()


def write_mzml_document(out: IO[bytes], wiff_path: str, sample: str, spectra: Iterable[Any], *,
                        run_info: "RunInfo", chromatograms: "List[Chromatogram]", scan_count: int,
                        ms_levels: Iterable[int] = (1, 2), compression: bool = True,
                        numpress_mz: Optional[str] = None, numpress_intensity: Optional[str] = None,
                        progress: Optional[Callable[[int], Any]] = None) -> int:
    """Write ``spectra`` as one sample's indexed mzML to the empty file ``out``; return the number written.

    ``spectra`` must yield exactly ``scan_count`` spectra (the count goes
    into the spectrum list's header before the first spectrum is written).
    ``run_info`` and ``chromatograms`` are the reader's ``run_info()`` and
    ``read_chromatograms()`` for the sample; ``ms_levels`` the MS levels its
    spectra have, which the file description lists; the first spectrum's
    analyzer goes into the instrument configuration.  The coding options are
    those of :func:`convert_mzml`.  For a run's own spectra the document is
    the one :func:`convert_mzml` writes.
    """
    from .mzml_frame import mzml_frame

    # The first spectrum tells the analyzer, which the header names before any spectrum.
    stream = iter(spectra)
    first = next(stream, None)
    if first is not None:
        stream = itertools.chain([first], stream)
    frame = mzml_frame(wiff_path, sample, run_info=run_info, chromatograms=chromatograms, scan_count=scan_count,
                       ms_levels=ms_levels, analyzer=first.analyzer if first is not None else None)
    out.flush()
    writer = _native.MzmlWriter(out.fileno(), frame.header, frame.between, frame.footer, frame.params,
                                compression, numpress_mz, numpress_intensity)
    with gc_paused():
        for spectrum in stream:
            base_peak = spectrum.base_peak_mz
            writer.write_spectrum(
                spectrum.native_id, spectrum.ms_level, spectrum.retention_time_sec, spectrum.total_ion_current,
                None if base_peak is None else (base_peak, spectrum.base_peak_intensity),
                spectrum.polarity, spectrum.scan_mode == "centroid", spectrum.precursor,
                np.asarray(spectrum.mz, dtype=np.float64), np.asarray(spectrum.intensity, dtype=np.float32))
            if progress is not None:
                progress(1)
    written = writer.spectrum_count
    if written != scan_count:
        raise ValueError(f"sample {sample!r} gave {written} spectra where its scan index lists {scan_count}")
    for chromatogram, type_param in zip(chromatograms, frame.chromatogram_types):
        writer.write_chromatogram(chromatogram["id"], type_param,
                                  np.asarray(chromatogram["time_sec"], dtype=np.float32),
                                  np.asarray(chromatogram["intensity"], dtype=np.float32))
    writer.finish()
    return written


def write_mgf_document(out: IO[bytes], spectra: Iterable[Any],
                       progress: Optional[Callable[[int], None]] = None) -> Tuple[int, int]:
    """Write the fragment spectra among ``spectra`` as MGF to ``out``, as :func:`convert_mgf` does.

    Returns (spectra written, fragment spectra left out for want of a
    precursor m/z).
    """
    out.flush()
    writer = _native.MgfWriter(out.fileno())
    with gc_paused():
        for spectrum in spectra:
            if progress is not None:
                progress(1)
            if spectrum.ms_level < 2:
                continue  # the peaks of a survey spectrum are never read
            writer.write(spectrum.native_id, spectrum.ms_level, spectrum.scan_number, spectrum.retention_time_sec,
                         spectrum.precursor, np.asarray(spectrum.mz, dtype=np.float64),
                         np.asarray(spectrum.intensity, dtype=np.float32))
    writer.finish()
    return writer.written, writer.skipped

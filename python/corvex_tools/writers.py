"""mzML and MGF written by the engine (``corvex_tools._native``) from corvex spectra.

The engine renders every element, compresses and encodes the arrays and
writes the file with the interpreter released; this module hands it the
document frame (:mod:`corvex_tools.mzml_frame`) and each spectrum's fields
and arrays.  Both writers need a real file: the engine writes to its file
descriptor, from the file's start.
"""

from __future__ import annotations

import itertools
from typing import IO, TYPE_CHECKING, Any, Callable, Iterable, List, Optional, Tuple

import numpy as np

from . import ToolError, _native, gc_paused

if TYPE_CHECKING:
    from corvex import Chromatogram, RunInfo

# MS-Numpress codings the writer offers, by array.
NUMPRESS_MZ = ("linear",)
NUMPRESS_INTENSITY = ("pic", "slof")


def write_mzml_document(out: IO[bytes], wiff_path: str, sample: str, spectra: Iterable[Any], *,
                        run_info: "RunInfo", chromatograms: "List[Chromatogram]", scan_count: int,
                        ms_levels: Iterable[int] = (1, 2), compression: bool = True,
                        numpress_mz: Optional[str] = None, numpress_intensity: Optional[str] = None,
                        progress: Optional[Callable[[int], Any]] = None) -> int:
    """Write one sample as indexed mzML to the empty file ``out``; return the number of spectra written.

    The arguments are those of :func:`corvex_tools.mzml.write_mzml`; the
    document is the same byte for byte.  ``numpress_mz`` ("linear") and
    ``numpress_intensity`` ("pic" or "slof") code the spectra's arrays with
    MS-Numpress, followed by zlib when ``compression`` is true.
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
        raise ToolError(f"sample {sample!r} gave {written} spectra where its scan index lists {scan_count}")
    for chromatogram, type_param in zip(chromatograms, frame.chromatogram_types):
        writer.write_chromatogram(chromatogram["id"], type_param,
                                  np.asarray(chromatogram["time_sec"], dtype=np.float32),
                                  np.asarray(chromatogram["intensity"], dtype=np.float32))
    writer.finish()
    return written


def write_mgf_document(out: IO[bytes], spectra: Iterable[Any],
                       progress: Optional[Callable[[int], None]] = None) -> Tuple[int, int]:
    """Write the fragment spectra as MGF to ``out``, as :func:`corvex_tools.mgf.write_mgf` does.

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

"""MGF output: the fragment spectra of a sample as peak lists for search engines."""

from __future__ import annotations

from typing import IO, TYPE_CHECKING, Callable, Iterable, List, Optional, Tuple

import corvex

from . import gc_paused

if TYPE_CHECKING:
    from corvex import Precursor


WRITE_BYTES = 4 << 20  # bytes gathered per write to the file


def _charge(charge: int) -> str:
    return f"{abs(charge)}{'-' if charge < 0 else '+'}"


def write_mgf(out: IO[bytes], spectra: Iterable[corvex.Spectrum],
              progress: Optional[Callable[[int], None]] = None) -> Tuple[int, int]:
    """Write every fragment spectrum (MS level 2 and above) as one MGF block.

    Each block has TITLE (the native id), PEPMASS (the selected precursor
    m/z), CHARGE when known, RTINSECONDS and SCANS, then one "m/z intensity"
    line per peak.  Numbers are written in Python's shortest round-trip form,
    so they read back to exactly the values corvex gave.  A fragment spectrum
    without a precursor m/z cannot be searched and is left out.  Returns
    (spectra written, fragment spectra left out).
    """
    written = skipped = 0
    blocks: List[bytes] = []
    pending = 0
    with gc_paused():
        for spectrum in spectra:
            if progress is not None:
                progress(1)
            if spectrum.ms_level < 2:
                continue
            precursor: Optional[Precursor] = spectrum.precursor
            mz = None if precursor is None else (
                precursor["selected_mz"] if precursor["selected_mz"] is not None else precursor["target_mz"])
            if precursor is None or mz is None:
                skipped += 1
                continue
            head = f"BEGIN IONS\nTITLE={spectrum.native_id}\nPEPMASS={mz!r}"
            if precursor["intensity"] is not None:
                head += f" {precursor['intensity']!r}"
            if precursor["charge"] is not None:
                head += f"\nCHARGE={_charge(precursor['charge'])}"
            head += f"\nRTINSECONDS={spectrum.retention_time_sec!r}\nSCANS={spectrum.scan_number}\n"
            # Shortest round-trip text of each number; formatting dominates the cost.
            peaks = "\n".join([f"{m!r} {i!r}" for m, i in zip(spectrum.mz, spectrum.intensity)])
            block = (head + peaks + ("\nEND IONS\n\n" if peaks else "END IONS\n\n")).encode("utf-8")
            blocks.append(block)
            pending += len(block)
            if pending >= WRITE_BYTES:
                out.write(b"".join(blocks))
                blocks, pending = [], 0
            written += 1
        out.write(b"".join(blocks))
    return written, skipped

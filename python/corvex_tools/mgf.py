"""MGF output: the fragment spectra of a sample as peak lists for search engines."""

from __future__ import annotations

from typing import IO, TYPE_CHECKING, Callable, Iterable, Optional, Tuple

import corvex

if TYPE_CHECKING:
    from corvex import Precursor


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
        head = [f"BEGIN IONS\nTITLE={spectrum.native_id}\nPEPMASS={mz!r}"]
        if precursor["intensity"] is not None:
            head[0] += f" {precursor['intensity']!r}"
        if precursor["charge"] is not None:
            head.append(f"CHARGE={_charge(precursor['charge'])}")
        head.append(f"RTINSECONDS={spectrum.retention_time_sec!r}")
        head.append(f"SCANS={spectrum.scan_number}")
        peaks = [f"{m!r} {i!r}" for m, i in zip(spectrum.mz, spectrum.intensity)]
        out.write(("\n".join(head + peaks) + "\nEND IONS\n\n").encode("utf-8"))
        written += 1
    return written, skipped

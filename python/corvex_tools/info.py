"""What a WIFF run holds, per sample, as plain data and as text."""

from __future__ import annotations

import math
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional

import corvex

from .scan_file import Truncation, run_truncation

if TYPE_CHECKING:
    from corvex import Chromatogram

    from .arrays import Run


def _tic_summary(chromatograms: "List[Chromatogram]") -> Optional[Dict[str, Any]]:
    tic = next((c for c in chromatograms if c["id"] == "TIC"), None)
    if tic is None or not tic["intensity"]:
        return None
    times, values = tic["time_sec"], tic["intensity"]
    finite = [(v, t) for v, t in zip(values, times) if math.isfinite(v)]
    best = max(finite, key=lambda pair: pair[0]) if finite else None
    return {
        "points": len(values),
        "sum": math.fsum(v for v, _ in finite),
        "max": best[0] if best else None,
        "max_time_sec": best[1] if best else None,
    }


def summarize_run(run: "Run") -> Dict[str, Any]:
    """Summary of one open sample: counts, ranges, instrument, calibration, TIC and the scan data file.

    Reads the sample's index and metadata only; no scan block is decoded.
    """
    import numpy as np

    info = run.run_info()
    spectra = run.spectra
    levels, counts = np.unique(spectra["ms_level"], return_counts=True)
    times = spectra["retention_time_sec"]
    identity = run.instrument_info()
    truncation = run_truncation(run)
    return {
        "name": run.sample_name,
        "scan_count": run.scan_count,
        "ms_levels": {str(level): int(count) for level, count in zip(levels.tolist(), counts.tolist())},
        "retention_time_sec": {"first": float(times.min()), "last": float(times.max())} if len(times) else None,
        "polarity": spectra["polarity"][0] if len(times) else None,
        "instrument": info["instrument"],
        "instrument_serial_number": info["instrument_serial_number"],
        "manufacturer": identity["manufacturer"] if identity else None,
        "model_number": identity["model_number"] if identity else None,
        "component_id": identity["component_id"] if identity else None,
        "calibration": run.calibration(),
        "start_timestamp": info["start_timestamp"],
        "tic": _tic_summary(run.read_chromatograms()),
        "dde_precursor_count": len(run.dde_precursor_mz()),
        "ion_source_parameters": run.ion_source_parameters(),
        "scan_file_bytes": run.scan_file_size,
        # Scan blocks that reach past the end of the scan data file: the file is cut short.
        "truncation": truncation._asdict() if truncation is not None else None,
    }


def summarize_sample(path: str, sample: str) -> Dict[str, Any]:
    """:func:`summarize_run` for one sample of the run at ``path``."""
    from .arrays import open_run

    return summarize_run(open_run(path, sample))


def summarize(path: str) -> Dict[str, Any]:
    """Summary of every sample of the run at ``path``, in listing order."""
    samples = corvex.list_samples(path)
    return {
        "file": str(path),
        "source_file_format": {"accession": "MS:1000562", "name": "ABI WIFF format"},
        "samples": [summarize_sample(path, name) for name in samples],
    }


def _g(value: Optional[float], digits: int = 6) -> str:
    return "-" if value is None else f"{value:.{digits}g}"


def format_text(summary: Dict[str, Any]) -> str:
    """Human-readable rendering of :func:`summarize`'s result."""
    lines = [f"File:        {Path(summary['file']).name}",
             f"Samples:     {len(summary['samples'])} ({', '.join(s['name'] for s in summary['samples'])})"]
    for s in summary["samples"]:
        instrument = s["instrument"]
        levels = ", ".join(f"MS{level}: {count}" for level, count in s["ms_levels"].items())
        rt = s["retention_time_sec"]
        lines += [
            "",
            f"Sample {s['name']}",
            f"  Scans:          {s['scan_count']} ({levels})",
            "  RT range:       " + (f"{rt['first']:.2f} - {rt['last']:.2f} s" if rt else "-"),
            f"  Polarity:       {s['polarity'] or '-'}",
            f"  Instrument:     {instrument['name']} [{instrument['accession']}]",
            f"  Serial number:  {s['instrument_serial_number'] or '-'}",
            f"  Started:        {s['start_timestamp'] or '-'}",
        ]
        cal = s["calibration"]
        lines.append("  Calibration:    " + (f"slope {cal['slope']!r}, intercept {cal['intercept']!r}"
                                            if cal else "none"))
        tic = s["tic"]
        if tic:
            lines.append(f"  TIC:            {tic['points']} points, sum {_g(tic['sum'])}, "
                         f"max {_g(tic['max'])} at {_g(tic['max_time_sec'], 4)} s")
        else:
            lines.append("  TIC:            -")
        lines.append(f"  DDE precursors: {s['dde_precursor_count']}")
        truncation = s["truncation"]
        lines.append("  Scan data:      " + (f"TRUNCATED: {Truncation(**truncation).describe()}"
                                            if truncation else "complete"))
        params = s["ion_source_parameters"]
        if params:
            lines.append("  Ion source:     " + ", ".join(f"{k}={v:g}" for k, v in params.items()))
    return "\n".join(lines) + "\n"

"""What the report reads of a run, through the tools' one seam to the array layer.

The report reads a run through the interface of ``corvex_tools.open_run``
(the array layer): run metadata without decoding, a columnar table of the
spectra (``Run.spectra``, a dict of equal-length numpy arrays) and
``Run.iter_peaks``, which yields ``(position, mz float64, intensity
float32)``, plus ``scan_file_size``.  :mod:`corvex_tools.run_source` says
where that comes from until the array layer is part of this package: a
``RawReader`` for the metadata and the peaks, lists turned into numpy
arrays.  That reader decodes the whole sample when it opens, so its memory
grows with the run.

Switching to the array layer means: ``run_source.open_run`` becomes
``corvex_tools.open_run``, ``SPECTRA_COLUMNS`` maps the report's column
names onto that table's, and ``DESCRIPTION`` says so.
"""

from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np

from .. import run_source
from ..scan_file import Truncation, find_truncation

# Where runs come from, for the benchmark's printout.
DESCRIPTION = "corvex.RawReader, its peak lists turned into numpy arrays (no array layer yet)"

# The columns of Run.spectra that the report reads: its name for each -> the table's own name.
SPECTRA_COLUMNS = {
    "ms_level": "ms_level",
    "polarity": "polarity",
    "retention_time_sec": "retention_time_sec",
    "reported_tic": "reported_tic",          # the instrument's TIC from the scan index
    "precursor_mz": "precursor_mz",          # selected m/z; NaN where there is none
    "scan_offset": "scan_offset",
    "scan_size": "scan_size",
}


def spectra_table(run: Any) -> Dict[str, np.ndarray]:
    """``run.spectra`` under the report's column names."""
    table = run.spectra
    return {name: table[source] for name, source in SPECTRA_COLUMNS.items()}


def open_run(path: str, sample: Optional[str] = None) -> Any:
    """Open one sample of ``path`` for the report; the reader's errors arrive as RuntimeError."""
    return run_source.open_run(path, sample)


def truncation(run: Any) -> Optional[Truncation]:
    """The run's scan index checked against its scan file's size; None when every block fits."""
    table = spectra_table(run)
    return find_truncation(table["scan_offset"], table["scan_size"], run.scan_file_size)

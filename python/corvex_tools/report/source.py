"""What the report reads of a run, and the one place that says where it comes from.

The report reads a run through ``corvex_tools.open_run`` (the array layer):
run metadata without decoding, a columnar table of the spectra
(``Run.spectra``, a dict of equal-length numpy arrays) and
``Run.iter_peaks``, which yields ``(position, mz float64, intensity
float32)`` decoded ahead on background threads.
"""

from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np

from ..arrays import Run, open_run
from ..scan_file import Truncation, find_truncation

__all__ = ["DESCRIPTION", "Run", "SPECTRA_COLUMNS", "open_run", "spectra_table", "truncation"]

# Where runs come from, for the benchmark's printout.
DESCRIPTION = "corvex_tools.open_run (the array layer): numpy columns, peaks decoded ahead on every core"

# The columns of Run.spectra that the report reads: its name for each -> the table's own name.
SPECTRA_COLUMNS = {
    "ms_level": "ms_level",
    "polarity": "polarity",
    "retention_time_sec": "retention_time_sec",
    "reported_tic": "reported_tic_cps",      # the instrument's TIC from the scan index
    "precursor_mz": "precursor_mz",          # selected m/z; NaN where there is none
    "scan_offset": "scan_offset",
    "scan_size": "scan_size",
}


def spectra_table(run: Any) -> Dict[str, np.ndarray]:
    """``run.spectra`` under the report's column names."""
    table = run.spectra
    return {name: table[source] for name, source in SPECTRA_COLUMNS.items()}


def truncation(run: Any) -> Optional[Truncation]:
    """The run's scan index checked against its scan file's size; None when every block fits."""
    table = spectra_table(run)
    return find_truncation(table["scan_offset"], table["scan_size"], run.scan_file_size)

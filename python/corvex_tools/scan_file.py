"""The scan data file beside a ``.wiff`` file, and whether it holds every scan block its index lists.

A copy cut short (an interrupted transfer, a full disk) still opens: the
reader decodes a block that the end of the file cuts as far as it goes,
which gives a spectrum with fewer peaks and no error.  The tools check the
index against the file's size before they convert or summarize a sample.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

if TYPE_CHECKING:
    from .arrays import Run

PathLike = Union[str, "os.PathLike[str]"]


def scan_file_path(wiff_path: PathLike) -> Path:
    """The scan data file of a run: the ``.wiff`` file's final component with ".scan", in the same directory
    (the reader's own rule)."""
    from . import _native

    return Path(_native.scan_file_path(os.fspath(wiff_path)))


class Truncation(NamedTuple):
    """Scan blocks that reach past the end of the scan data file."""

    spectra: int  # blocks whose end (offset + size) lies past the end of the file
    bytes_short: int  # the furthest block end minus the file's size

    def describe(self) -> str:
        verb = "spectrum reaches" if self.spectra == 1 else "spectra reach"
        return (f"{self.spectra} {verb} past the end of the scan data file, "
                f"which is {self.bytes_short} bytes short")


def find_truncation(scan_offset: ArrayLike, scan_size: ArrayLike, scan_file_size: int) -> Optional[Truncation]:
    """The blocks of a scan index that reach past the end of a scan data file of ``scan_file_size`` bytes.

    ``scan_offset`` and ``scan_size`` are the index's columns (sequences or
    numpy arrays of the same length).  A block reaches past the end when
    scan_offset + scan_size > scan_file_size; the file is short by the
    furthest such end minus its size.  None when every block lies inside.
    """
    ends = np.asarray(scan_offset, dtype=np.uint64) + np.asarray(scan_size, dtype=np.uint64)
    if ends.size == 0:
        return None
    furthest = int(ends.max())
    if furthest <= scan_file_size:
        return None
    return Truncation(int(np.count_nonzero(ends > np.uint64(scan_file_size))), furthest - scan_file_size)


def run_truncation(run: "Run") -> Optional[Truncation]:
    """:func:`find_truncation` for an open sample: its index's blocks against its scan data file's size."""
    spectra = run.spectra
    return find_truncation(spectra["scan_offset"], spectra["scan_size"], run.scan_file_size)


def sample_truncation(wiff_path: str, sample: str) -> Optional[Truncation]:
    """:func:`run_truncation` for one sample of a run, opened without decoding any scan.

    The reader's errors are raised as RuntimeError.
    """
    from .arrays import open_run

    return run_truncation(open_run(wiff_path, sample))

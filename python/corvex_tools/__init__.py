"""Command-line tools for corvex: run summaries and conversion to open formats.

The ``corvex`` command (:mod:`corvex_tools.cli`) prints what a WIFF run holds
(``corvex info``) and converts its samples to indexed mzML, MGF or Parquet
(``corvex convert``), one run or a batch of many on a Dask cluster
(:mod:`corvex_tools.batch`).  The writers are importable on their own:
:func:`corvex_tools.mzml.write_mzml`, :func:`corvex_tools.mgf.write_mgf`,
:func:`corvex_tools.parquet.convert_parquet` (read back with
:func:`corvex_tools.parquet.open_peak_tables`) and
:func:`corvex_tools.info.summarize`.
"""

import contextlib
import gc
from typing import Iterator

__all__ = ["ToolError"]


class ToolError(Exception):
    """A problem with the user's input or output that the command reports in one line."""


@contextlib.contextmanager
def gc_paused() -> Iterator[None]:
    """Cyclic garbage collection off for the block.

    Spectra make no reference cycles; collecting while tens of thousands of
    them stream through only costs time.
    """
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()

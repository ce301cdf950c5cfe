"""Numpy access to WIFF runs, and command-line tools: run summaries and conversion to open formats.

:func:`open_run` opens a sample for array access (:class:`Run`, :class:`Peaks`;
see :mod:`corvex_tools.arrays`). The ``corvex`` command
(:mod:`corvex_tools.cli`) prints what a WIFF run holds (``corvex info``),
converts its samples to indexed mzML, MGF or Parquet (``corvex convert``),
one run or a batch of many on a Dask cluster (:mod:`corvex_tools.batch`),
and writes an HTML quality report (``corvex report``). The writers are
importable on their own: :func:`corvex_tools.writers.convert_mzml` and
:func:`corvex_tools.writers.convert_mgf` (a whole :class:`Run`, on every
core), :func:`corvex_tools.parquet.convert_parquet` (read back with
:func:`corvex_tools.parquet.open_peak_tables`) and
:func:`corvex_tools.info.summarize`.

Importing this package imports neither numpy nor the compiled engine; the
array names load them on first use.
"""

import contextlib
import gc
from typing import TYPE_CHECKING, Any, Iterator

if TYPE_CHECKING:
    from .arrays import Peaks, Run, open_run

__all__ = ["Peaks", "Run", "ToolError", "open_run"]

_ARRAY_NAMES = ("Peaks", "Run", "open_run")


def __getattr__(name: str) -> Any:
    if name in _ARRAY_NAMES:
        from . import arrays

        return getattr(arrays, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


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

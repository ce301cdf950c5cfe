"""``corvex report``: a quality report of one or more runs as one self-contained HTML page.

:func:`profile` reads one sample in a single pass over its peaks
(:mod:`.aggregate`); :func:`write_report` renders the profiles of a batch
(:mod:`.page`) and writes the page so that it appears only when complete.
"""

from __future__ import annotations

from collections import Counter
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from ..arrays import open_run
from ..info import summarize_run
from ..output import atomic_output
from .aggregate import RunProfile, profile_run
from .page import render

__all__ = ["RunProfile", "open_run", "profile", "write_report"]


def profile(path: str, sample: Optional[str], label: str,
            progress: Optional[Callable[[int], Optional[Callable[[int], Any]]]] = None) -> RunProfile:
    """Open one sample and read it into a :class:`RunProfile`.

    ``progress``, when given, is called with the number of spectra and
    returns the function to call once per spectrum read.  Errors opening the
    run arrive as RuntimeError; an error while reading peaks ends the pass
    and is kept in the profile's ``error``.
    """
    run = open_run(path, sample)
    tick = progress(run.scan_count) if progress is not None else None
    return profile_run(run, label, path, summarize_run(run), progress=tick)


def write_report(target: Path, profiles: Sequence[RunProfile], failures: Sequence[Tuple[str, str]],
                 version: str, inputs: Sequence[Union[str, Path]] = ()) -> None:
    """Write the page to ``target`` under a temporary name, renamed when complete; ``target`` may not be
    one of ``inputs``."""
    page = render(profiles, failures, version).encode("utf-8")
    with atomic_output(target, inputs) as out:
        out.write(page)


def labels(runs: Sequence[Tuple[str, Optional[str], bool]]) -> List[str]:
    """A distinct label per (path, sample, several samples in the file): the file's stem, with the sample
    where the file holds several."""
    names = [Path(path).stem + (f":{sample}" if several and sample else "") for path, sample, several in runs]
    seen: Counter[str] = Counter()
    totals = Counter(names)
    result = []
    for name in names:
        seen[name] += 1
        result.append(f"{name} ({seen[name]})" if totals[name] > 1 else name)
    return result

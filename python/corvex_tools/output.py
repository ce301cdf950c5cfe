"""Writing an output file so that it appears under its final name only when complete."""

from __future__ import annotations

import contextlib
import os
import tempfile
from pathlib import Path
from typing import IO, Iterator


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def atomic_output(final: Path) -> Iterator[IO[bytes]]:
    """Open a temporary file beside ``final``; rename it to ``final`` on success.

    The temporary file lives in the same directory, so the rename is atomic on
    POSIX file systems and a reader never sees a partial file under the final
    name.  On any exception, KeyboardInterrupt included, the temporary file is
    removed and the exception propagates.  An existing ``final`` is replaced
    only when the new file is complete.
    """
    final = Path(final)
    handle = tempfile.NamedTemporaryFile(
        mode="w+b", dir=final.parent, prefix="." + final.name + ".", suffix=".part", delete=False)
    temp = Path(handle.name)
    try:
        with handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        # mkstemp creates the file 0600; give it the mode a plain open() would.
        os.chmod(temp, 0o666 & ~_umask())
        os.replace(temp, final)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            temp.unlink()
        raise

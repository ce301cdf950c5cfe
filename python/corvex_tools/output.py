"""Writing an output file so that it appears under its final name only when complete."""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import tempfile
from pathlib import Path
from typing import IO, Iterator, List

# Temporary names are ".<final name>.<8 random characters>.part" beside the
# final name (tempfile's mkstemp and mkdtemp draw the 8 characters).
TEMPORARY_SUFFIX = ".part"
_RANDOM_PART = r"[a-z0-9_]{8}"


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
        mode="w+b", dir=final.parent, prefix=_temporary_prefix(final), suffix=TEMPORARY_SUFFIX, delete=False)
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


def _temporary_prefix(final: Path) -> str:
    return "." + final.name + "."


@contextlib.contextmanager
def atomic_directory(final: Path, replaceable: "frozenset[str]") -> Iterator[Path]:
    """Make a temporary directory beside ``final``; put it in place of ``final`` on success.

    An existing ``final`` is replaced only when it is a directory holding
    nothing but names from ``replaceable`` (an earlier output of the same
    kind); anything else there raises FileExistsError before any work is
    done, so no other data is ever removed.  Directories cannot be renamed
    over non-empty ones, so the old directory is first renamed aside and
    removed once the new one is in place.  On any exception the temporary
    directory is removed and the exception propagates.
    """
    final = Path(final)
    if final.exists() or final.is_symlink():
        if final.is_symlink() or not final.is_dir() or not set(os.listdir(final)) <= replaceable:
            raise FileExistsError(f"{final}: exists and is not an earlier output of this kind")
    temp = Path(tempfile.mkdtemp(dir=final.parent, prefix=_temporary_prefix(final), suffix=TEMPORARY_SUFFIX))
    try:
        yield temp
        os.chmod(temp, 0o777 & ~_umask())
        if final.exists():
            old = Path(tempfile.mkdtemp(dir=final.parent, prefix=_temporary_prefix(final),
                                        suffix=TEMPORARY_SUFFIX))
            os.replace(final, old)  # an empty directory may be replaced
            os.replace(temp, final)
            shutil.rmtree(old)
        else:
            os.replace(temp, final)
    except BaseException:
        shutil.rmtree(temp, ignore_errors=True)
        raise


def leftover_temporaries(final: Path) -> List[Path]:
    """The temporary files and directories that writing ``final`` left behind.

    A process killed while writing (SIGKILL, a lost cluster worker) cannot
    remove its temporary name; whoever writes ``final`` next finds it here.
    """
    final = Path(final)
    pattern = re.compile(re.escape(_temporary_prefix(final)) + _RANDOM_PART + re.escape(TEMPORARY_SUFFIX))
    try:
        names = os.listdir(final.parent)
    except FileNotFoundError:
        return []
    return [final.parent / name for name in sorted(names) if pattern.fullmatch(name)]


def remove_leftover_temporaries(final: Path) -> None:
    for path in leftover_temporaries(final):
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                path.unlink()

"""Where output files go, and writing each so that it appears under its final name only when complete.

Every writer of the ``corvex`` command goes through this module: the
targets are planned and checked here before any conversion starts, and
each file is written through :func:`atomic_output`.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from pathlib import Path
from typing import IO, Iterator, List, Optional, Sequence, Union

from . import ToolError

PathLike = Union[str, "os.PathLike[str]"]

# Errors of a write that carry no file name but can only concern the file
# being written.
_STORAGE_ERRNOS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG})


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return name
    return "not a regular file"


def check_target(target: PathLike, inputs: Sequence[PathLike] = ()) -> None:
    """Refuse an output that is one of ``inputs`` or an existing file of another kind than a regular file.

    An output is an input when both resolve to the same path after following
    links, or when they are the same file (device and inode: a hard link or
    another mount of it).  A device, FIFO, socket or directory in the
    output's place would be replaced by the renamed temporary file, or
    cannot be replaced at all.  Raises ToolError naming ``target`` as given.
    """
    try:
        status: Optional[os.stat_result] = os.stat(target)
    except (FileNotFoundError, NotADirectoryError):
        status = None
    resolved = os.path.realpath(target)
    for source in inputs:
        same = resolved == os.path.realpath(source)
        if not same and status is not None:
            try:
                source_status = os.stat(source)
            except OSError:
                continue
            same = (source_status.st_dev, source_status.st_ino) == (status.st_dev, status.st_ino)
        if same:
            raise ToolError(f"{target}: is an input of this conversion ({source}); choose another output")
    if status is not None and not stat.S_ISREG(status.st_mode):
        raise ToolError(f"{target}: exists and is {_kind(status.st_mode)}, not a regular file; "
                        "choose another output")


def output_directory(text: str) -> Path:
    """The directory that ``text`` (ending in a separator) names, created when only its last part is missing."""
    directory = Path(text)
    if directory.is_dir():
        return directory
    if directory.exists() or directory.is_symlink():
        raise ToolError(f"{text}: not a directory")
    if not directory.parent.is_dir():
        raise ToolError(f"{text}: cannot create the output directory: {str(directory.parent)!r} does not exist")
    try:
        directory.mkdir()
    except FileExistsError:  # made meanwhile by someone else: fine if it is a directory
        if not directory.is_dir():
            raise ToolError(f"{text}: not a directory") from None
    except OSError as error:
        raise OSError(error.errno, error.strerror, text) from error
    return directory


def plan_outputs(output: Optional[str], file_names: Sequence[str], inputs: Sequence[PathLike]) -> List[Path]:
    """The path of each output file, checked, before anything is written.

    Without ``output`` the files go to the current directory under
    ``file_names``.  An ``output`` that ends in a separator, or names an
    existing directory, is the directory for them (created when missing and
    its parent exists); otherwise it is the one file to write.  Every path is
    checked with :func:`check_target` against ``inputs``.
    """
    if output is None:
        targets = [Path.cwd() / name for name in file_names]
    elif output.endswith(os.sep) or Path(output).is_dir():
        directory = output_directory(output)
        targets = [directory / name for name in file_names]
    else:
        target = Path(output)
        if len(file_names) > 1:
            raise ToolError(f"{output}: with several files to write, -o must name a directory "
                            "(an existing one, or one ending in '/')")
        if not target.parent.is_dir():
            raise ToolError(f"{output}: output directory {str(target.parent)!r} does not exist")
        targets = [target]
    for target in targets:
        check_target(target, inputs)
    return targets


def _named(error: OSError, final: Path) -> OSError:
    """The same error about ``final``, the name the user gave, rather than the temporary file."""
    return OSError(error.errno, error.strerror, str(final))


@contextlib.contextmanager
def atomic_output(final: PathLike, inputs: Sequence[PathLike] = ()) -> Iterator[IO[bytes]]:
    """Open a temporary file beside ``final``; rename it to ``final`` on success.

    ``final`` is checked first with :func:`check_target`.  The temporary file
    lives in the same directory, so the rename is atomic on POSIX file
    systems and a reader never sees a partial file under the final name.  On
    any exception, KeyboardInterrupt and termination signals included, the
    temporary file is removed and the exception propagates.  An existing
    ``final`` is replaced only when the new file is complete.  Errors about
    the output name ``final``, never the hidden temporary file.
    """
    final = Path(final)
    check_target(final, inputs)
    try:
        handle = tempfile.NamedTemporaryFile(
            mode="w+b", dir=final.parent, prefix="." + final.name + ".", suffix=".part", delete=False)
    except OSError as error:
        raise _named(error, final) from error
    temp = Path(handle.name)
    try:
        try:
            with handle:
                yield handle
                handle.flush()
                os.fsync(handle.fileno())
            # mkstemp creates the file 0600; give it the mode a plain open() would.
            os.chmod(temp, 0o666 & ~_umask())
            os.replace(temp, final)
        except OSError as error:
            if error.filename == str(temp) or (error.filename is None and error.errno in _STORAGE_ERRNOS):
                raise _named(error, final) from error
            raise
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            temp.unlink()
        raise

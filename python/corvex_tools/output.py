"""Where output files go, and writing each so that it appears under its final name only when complete.

Every writer of the ``corvex`` command goes through this module: the
targets are planned and checked here before any conversion starts, and
each file is written through :func:`atomic_output`.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import shutil
import stat
import tempfile
from pathlib import Path
from typing import IO, Iterator, List, Optional, Sequence, Union

from . import ToolError

PathLike = Union[str, "os.PathLike[str]"]

# Errors of a write that carry no file name but can only concern the file
# being written.
_STORAGE_ERRNOS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG})

# Temporary names are ".<final name>.<8 random characters>.part" beside the
# final name (tempfile's mkstemp and mkdtemp draw the 8 characters).
TEMPORARY_SUFFIX = ".part"
_RANDOM_PART = r"[a-z0-9_]{8}"


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


def check_target(target: PathLike, inputs: Sequence[PathLike] = (), *, directory: bool = False) -> None:
    """Refuse an output that is one of ``inputs`` or an existing file of another kind than a regular file.

    With ``directory`` the output is itself a directory, and an existing
    directory in its place is left to the writer to judge.

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
    if status is not None and directory and not stat.S_ISDIR(status.st_mode):
        raise ToolError(f"{target}: exists and is not a directory; choose another output")
    if status is not None and not directory and not stat.S_ISREG(status.st_mode):
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


def plan_outputs(output: Optional[str], file_names: Sequence[str], inputs: Sequence[PathLike], *,
                 directories: bool = False) -> List[Path]:
    """The path of each output file, checked, before anything is written.

    Without ``output`` the files go to the current directory under
    ``file_names``.  An ``output`` that ends in a separator, or names an
    existing directory, is the directory for them (created when missing and
    its parent exists); otherwise it is the one file to write.  With
    ``directories`` each output is itself a directory, and an existing
    directory named like the outputs (with their suffix) is the output, not
    the place for them.  Every path is checked with :func:`check_target`
    against ``inputs``.
    """
    suffix = Path(file_names[0]).suffix if file_names else None
    if output is None:
        targets = [Path.cwd() / name for name in file_names]
    elif output.endswith(os.sep) or (Path(output).is_dir() and not (directories and Path(output).suffix == suffix)):
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
        check_target(target, inputs, directory=directories)
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
            mode="w+b", dir=final.parent, prefix=_temporary_prefix(final), suffix=TEMPORARY_SUFFIX, delete=False)
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


def _temporary_prefix(final: Path) -> str:
    return "." + final.name + "."


@contextlib.contextmanager
def atomic_directory(final: PathLike, replaceable: "frozenset[str]",
                     inputs: Sequence[PathLike] = ()) -> Iterator[Path]:
    """Make a temporary directory beside ``final``; put it in place of ``final`` on success.

    ``final`` is checked first with :func:`check_target`.  An existing
    ``final`` is replaced only when it is a directory holding nothing but
    names from ``replaceable`` (an earlier output of the same kind); anything
    else there is refused with ToolError before any work is done, so no other
    data is ever removed.  Directories cannot be renamed over non-empty ones,
    so the old directory is first renamed aside and removed once the new one
    is in place.  On any exception the temporary directory is removed and the
    exception propagates.
    """
    final = Path(final)
    check_target(final, inputs, directory=True)
    if final.exists() or final.is_symlink():
        if final.is_symlink() or not set(os.listdir(final)) <= replaceable:
            raise ToolError(f"{final}: exists and is not an earlier output of this kind; choose another output")
    try:
        temp = Path(tempfile.mkdtemp(dir=final.parent, prefix=_temporary_prefix(final), suffix=TEMPORARY_SUFFIX))
    except OSError as error:
        raise _named(error, final) from error
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

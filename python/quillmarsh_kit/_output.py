"""Files written whole or not at all.

Every file the command line writes (predictions, tables, plots, exported models) is written to
a temporary file in the target's folder, so that the final rename is atomic, and renamed over
the target only once it is complete. A run that fails or is interrupted removes its temporary
file and leaves whatever was at the target untouched.
"""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from typing import Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


def check_writable_folder(path: PathLike) -> None:
    """Raises an OSError naming the folder of `path` unless a file can be created there."""
    folder = os.path.dirname(os.path.abspath(os.fspath(path)))
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"the folder {folder!r} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(f"the folder {folder!r} is not writable")


def _mode_for(target: str) -> int:
    """The permissions the finished file gets: those of the file it replaces, or what a plain
    open() would give a new file."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


@contextlib.contextmanager
def atomic_path(target: PathLike) -> Iterator[str]:
    """Yields the name of a new, empty temporary file beside `target`; when the block ends
    normally, that file replaces `target`; when it raises (KeyboardInterrupt included), the
    temporary file is removed and `target` is left as it was."""
    final = os.path.abspath(os.fspath(target))
    if os.path.isdir(final):
        raise IsADirectoryError(f"{os.fspath(target)!r} is a folder")
    check_writable_folder(final)
    folder, base = os.path.split(final)
    fd, temp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=folder)
    try:
        os.close(fd)
        yield temp
        os.chmod(temp, _mode_for(final))
        with open(temp, "rb") as done:
            os.fsync(done.fileno())
        os.replace(temp, final)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise

"""Whole small files for the command-line tool: Manifest Stores, and models
passed through standard input or output. Model files themselves go through
the file engine (`quillon_files`) and are never held in memory.

A write never leaves a half-written file behind and never loses the old
contents of the destination: the data goes to a temporary file in the
destination's folder, reaches the disk, and only then takes the
destination's name in one rename. Large files show their progress on a
terminal.
"""

import contextlib
import errno
import os
import stat
import sys
import tempfile
import threading
from typing import BinaryIO, List, Optional

# Files above this size show a percentage on stderr while they are read or
# written, when stderr is a terminal.
PROGRESS_THRESHOLD = 256 * 1024 * 1024
CHUNK_SIZE = 16 * 1024 * 1024

STDOUT = "-"
STDIN = "-"
NOT_REGULAR = "not a regular file"
TEMP_PREFIX = ".quillon-"
TEMP_SUFFIX = ".tmp"

# The umask can only be read by setting it; the lock keeps a thread that
# reads it from seeing, or restoring, the 0 another thread set meanwhile.
_umask_lock = threading.Lock()


class Progress:
    """A percentage on stderr, redrawn in place; silent for small files and
    when stderr is not a terminal. `update` serves as the file engine's
    progress callback."""

    def __init__(self, verb: str, path: str, total: int = 0) -> None:
        self._label = f"quillon: {verb} {path}"
        self._total = total
        self._shown = -1
        self.enabled = self._worth_showing(total)

    @staticmethod
    def _worth_showing(total: int) -> bool:
        return total > PROGRESS_THRESHOLD and sys.stderr.isatty()

    def update(self, done: int, total: Optional[int] = None) -> None:
        if total is not None and total != self._total:
            self._total = total
            self.enabled = self._worth_showing(total)
        if not self.enabled:
            return
        percent = done * 100 // self._total if self._total else 100
        if percent != self._shown:
            self._shown = percent
            sys.stderr.write(f"\r{self._label}: {percent}%")
            sys.stderr.flush()

    def finish(self) -> None:
        if self.enabled and self._shown >= 0:
            sys.stderr.write("\n")
            sys.stderr.flush()


def check_regular(path: str, mode: int) -> None:
    """Raises the error for a path that is not a regular file: a folder is
    IsADirectoryError, a device, FIFO or socket an OSError of its own."""
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(mode):
        raise OSError(errno.EINVAL, NOT_REGULAR, path)


def read_file(path: str) -> bytes:
    """The whole file ("-" is stdin). Raises OSError, at once for anything
    but a regular file: a FIFO or /dev/zero would block or never end."""
    if path == STDIN:
        return sys.stdin.buffer.read()
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with open(descriptor, "rb") as source:
        status = os.fstat(descriptor)
        check_regular(path, status.st_mode)
        os.set_blocking(descriptor, True)
        progress = Progress("reading", path, status.st_size)
        if not progress.enabled:
            return source.read()
        return _read_in_chunks(source, progress)


def _read_in_chunks(source: BinaryIO, progress: Progress) -> bytes:
    chunks: List[bytes] = []
    done = 0
    try:
        while True:
            chunk = source.read(CHUNK_SIZE)
            if not chunk:
                break
            chunks.append(chunk)
            done += len(chunk)
            progress.update(done)
    finally:
        progress.finish()
    return b"".join(chunks)


def is_same_file(first: str, second: str) -> bool:
    """True when both names reach one file, by inode when both exist and by
    resolved path otherwise."""
    with contextlib.suppress(OSError):
        if os.path.samefile(first, second):
            return True
    return os.path.realpath(first) == os.path.realpath(second)


def default_mode() -> int:
    """The permission bits a newly created file gets under the current umask."""
    with _umask_lock:
        mask = os.umask(0)
        os.umask(mask)
    return 0o666 & ~mask


def permission_bits(path: str) -> int:
    return os.stat(path).st_mode & 0o7777


def write_file(path: str, data: bytes, mode: Optional[int] = None) -> None:
    """Replaces `path` (following a symbolic link) with `data` in one rename,
    giving the new file `mode` (default: as for a new file). "-" is stdout.
    On any failure, interruptions included, the destination is untouched and
    the temporary file is gone."""
    if path == STDOUT:
        _write_stdout(data)
        return
    target = os.path.realpath(path)
    with contextlib.suppress(FileNotFoundError):
        check_regular(path, os.stat(target).st_mode)
    folder = os.path.dirname(target)
    descriptor, temp = tempfile.mkstemp(dir=folder, prefix=TEMP_PREFIX, suffix=TEMP_SUFFIX)
    try:
        with os.fdopen(descriptor, "wb") as out:
            _write_in_chunks(out, data, Progress("writing", path, len(data)))
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temp, default_mode() if mode is None else mode)
        os.replace(temp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    _sync_folder(folder)


def stdout_is_open() -> bool:
    try:
        os.fstat(1)
    except OSError:
        return False
    return sys.stdout is not None


def _write_stdout(data: bytes) -> None:
    if not stdout_is_open():
        raise OSError(errno.EBADF, "standard output is closed", STDOUT)
    out = sys.stdout.buffer
    _write_in_chunks(out, data, Progress("writing", "<stdout>", len(data)))
    out.flush()


def _write_in_chunks(out: BinaryIO, data: bytes, progress: Progress) -> None:
    view = memoryview(data)
    try:
        for start in range(0, len(view), CHUNK_SIZE):
            out.write(view[start:start + CHUNK_SIZE])
            progress.update(min(start + CHUNK_SIZE, len(view)))
    finally:
        progress.finish()


def _sync_folder(folder: str) -> None:
    """Makes the rename itself durable. Best effort: some file systems cannot
    open or sync a folder, and the data is already safely in place."""
    with contextlib.suppress(OSError):
        descriptor = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)

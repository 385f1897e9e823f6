"""Reading and writing whole model files for the command-line tool.

A write never leaves a half-written file behind and never loses the old
contents of the destination: the data goes to a temporary file in the
destination's folder, reaches the disk, and only then takes the
destination's name in one rename. Large files show their progress on a
terminal.
"""

import contextlib
import os
import sys
import tempfile
from typing import BinaryIO, List, Optional

# Files above this size show a percentage on stderr while they are read or
# written, when stderr is a terminal.
PROGRESS_THRESHOLD = 256 * 1024 * 1024
CHUNK_SIZE = 16 * 1024 * 1024

STDOUT = "-"
TEMP_PREFIX = ".quillon-"
TEMP_SUFFIX = ".tmp"


class Progress:
    """A percentage on stderr, redrawn in place; silent for small files and
    when stderr is not a terminal."""

    def __init__(self, verb: str, path: str, total: int) -> None:
        self._label = f"quillon: {verb} {path}"
        self._total = total
        self._shown = -1
        self.enabled = total > PROGRESS_THRESHOLD and sys.stderr.isatty()

    def update(self, done: int) -> None:
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


def read_file(path: str) -> bytes:
    """The whole file. Raises OSError (IsADirectoryError for a folder)."""
    with open(path, "rb") as source:
        size = os.fstat(source.fileno()).st_size
        progress = Progress("reading", path, size)
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


def _write_stdout(data: bytes) -> None:
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

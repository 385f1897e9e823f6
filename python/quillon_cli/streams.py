"""Whole small inputs and outputs of the command-line tool: Manifest
Stores and models read from standard input, results written to standard
output, and the progress shown for large ones. Every file the command
writes goes through the file engine (`quillon_files`), which never leaves it
half-written and keeps the replaced file's owner and permissions by its own
rules."""

import errno
import os
import stat
import sys
from typing import BinaryIO, List, Optional

from quillon_cli.errors import quoted

# Files above this size show a percentage on stderr while they are read or
# written, when stderr is a terminal.
PROGRESS_THRESHOLD = 256 * 1024 * 1024
CHUNK_SIZE = 16 * 1024 * 1024

STDOUT = "-"
STDIN = "-"
NOT_REGULAR = "not a regular file"


class Progress:
    """A percentage on stderr, redrawn in place; silent for small files and
    when stderr is not a terminal. `update` serves as the file engine's
    progress callback."""

    def __init__(self, verb: str, path: str, total: int = 0) -> None:
        self._label = f"quillon: {verb} {quoted(path)}"
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


def stdout_is_open() -> bool:
    try:
        os.fstat(1)
    except OSError:
        return False
    return sys.stdout is not None


def write_stdout(data: bytes) -> None:
    if not stdout_is_open():
        raise OSError(errno.EBADF, "standard output is closed", STDOUT)
    out = sys.stdout.buffer
    progress = Progress("writing", "<stdout>", len(data))
    view = memoryview(data)
    try:
        for start in range(0, len(view), CHUNK_SIZE):
            out.write(view[start:start + CHUNK_SIZE])
            progress.update(min(start + CHUNK_SIZE, len(view)))
    finally:
        progress.finish()
    out.flush()

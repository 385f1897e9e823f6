"""How the command reports a failure that concerns one file: the FileError
exception and its one-line rendering, "quillon: FILE: MESSAGE"."""

import contextlib
import os
from typing import Iterator


class FileError(Exception):
    """A failure reported as "quillon: FILE: MESSAGE"."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(f"{path}: {message}")
        self.path = path
        self.message = message


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Turns the errors of reading, converting or writing `path` into a
    FileError: the system's text for a file error, the library's message for
    a model it cannot handle."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise FileError(path, error.strerror or str(error)) from error
    except MemoryError as error:
        raise FileError(path, "not enough memory") from error
    except ValueError as error:
        raise FileError(path, str(error)) from error


def is_text(text: str) -> bool:
    """False for a str holding lone surrogates, which is how Python passes on
    command-line bytes that are not UTF-8."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def shown(path: str) -> str:
    """`path` as printable text: bytes of a non-UTF-8 file name become
    escapes instead of failing on an output stream that wants UTF-8."""
    return path if is_text(path) else os.fsencode(path).decode("utf-8", "backslashreplace")


def error_line(error: FileError) -> str:
    return f"quillon: {shown(error.path)}: {error.message}"

"""How the command reports a failure that concerns one file: the FileError
exception and its one-line rendering, "quillon: FILE: MESSAGE"."""

import contextlib
import json
import os
from typing import Iterator

# What the file system's decoding makes of a byte that is not UTF-8 (PEP 383).
_ESCAPED_BYTES = range(0xDC80, 0xDD00)


class FileError(Exception):
    """A failure reported as "quillon: FILE: MESSAGE"."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(f"{path}: {message}")
        self.path = path
        self.message = message


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Turns the errors of reading, converting or writing `path` into a
    FileError: the system's text for a file error, naming the file it
    concerns (`path`, or the other file the system names), the library's
    message for a model it cannot handle."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        name = path if error.filename is None else os.fsdecode(error.filename)
        raise FileError(name, error.strerror or str(error)) from error
    except MemoryError as error:
        raise FileError(path, "not enough memory") from error
    except ImportError as error:
        # A URL whose scheme needs a package that is not installed (fsspec,
        # or the scheme's backend); the message names it.
        raise FileError(path, str(error)) from error
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
    """`path` as text for JSON output: bytes of a non-UTF-8 file name become
    escapes instead of failing on an output stream that wants UTF-8."""
    return path if is_text(path) else os.fsencode(path).decode("utf-8", "backslashreplace")


def quoted(path: str) -> str:
    """`path` for a line of text output: as it is when it is printable and
    does not start with a double quote, else in double quotes with JSON's
    escapes and \\xNN for each byte that is not UTF-8. A name thus never
    breaks its line, and no two names print alike."""
    if path.isprintable() and not path.startswith('"'):
        return path
    pieces = []
    for char in path:
        if ord(char) in _ESCAPED_BYTES:
            pieces.append(f"\\x{ord(char) - 0xDC00:02x}")
        elif char.isprintable() and char not in '"\\':
            pieces.append(char)
        else:
            pieces.append(json.dumps(char)[1:-1])
    return '"' + "".join(pieces) + '"'


def error_line(error: FileError) -> str:
    return f"quillon: {quoted(error.path)}: {error.message}"

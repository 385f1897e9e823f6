"""Byte ranges of a model that is not on this machine.

quillon reads the C2PA data of a remote model with a few ranged reads instead
of a download: the model's header, then the store it points at. This package
is the network side of that: a `Source` is one remote object (or open file)
of a known size whose bytes are read by range.

    with quillon_remote.open_source("https://hub.example/model.gguf",
                                    headers={"Authorization": "Bearer ..."}) as source:
        header = source.read(0, 4096)

`open_source` takes
- an ``http://`` or ``https://`` URL, read with the standard library
  (`quillon_remote.http.HTTPSource`): redirects followed, TLS verified, the
  proxy variables of the environment respected, one kept-alive connection
  per host;
- any other ``scheme://`` URL (``s3://``, ``gs://``, ``az://``,
  ``memory://``, ...), read through fsspec, which ``pip install
  quillon[remote]`` brings; the backend for the scheme (s3fs, gcsfs, adlfs)
  is the user's choice and install;
- an open, seekable binary file object, read with `seek` and `read` (or
  `readinto`); it stays open and owned by the caller.

Every read returns exactly the bytes asked for or raises `OSError` whose
`filename` is the source's name (the URL) and whose `strerror` says what went
wrong. A source never mixes two versions of an object: every read is pinned
to the version the first one saw, and a change raises `OSError` "the object
changed while it was being read" (see each source for how it pins).

The writes of quillon_files for such models are in `quillon_remote.writes`:
an S3 model is rewritten on the server from ranges of itself
(`quillon_remote.s3`, planned by `quillon_remote.multipart`), any other is
streamed to its destination.

A source keeps the bytes it fetched (up to `Source.keep`, 32 MiB, the oldest
dropped first), so that several reads of one model through it, such as
`read_manifest` and then `read_manifest_uri`, fetch each byte once: a read
asks only for the parts of its range that it does not hold.
"""

from __future__ import annotations

import bisect
import errno
import io
import threading
from typing import Any, Callable, Dict, List, Mapping, Optional, Protocol, Tuple, Union, runtime_checkable

__all__ = ["Source", "FileSource", "FsspecSource", "ObjectChanged", "open_source", "source_for",
           "DEFAULT_TIMEOUT", "DEFAULT_FIRST", "PARSE_WINDOW", "KEEP"]

# Seconds a connection or a single network read may wait before it fails
# (and is tried again, see http.HTTPSource).
DEFAULT_TIMEOUT = 30.0
# The window the first request of an HTTP source fetches along with the
# object's size: a model's header usually lies in it, which saves a round trip.
DEFAULT_FIRST = (0, 64 * 1024)
CHANGED = "the object changed while it was being read"
# The first window of quillon_files' own parse of a remote model: the bytes
# it asks for first, and so the best first request for a source handed to it.
PARSE_WINDOW = 256 * 1024
# The most bytes a source keeps of what it fetched: the 16 MiB that the
# metadata of a 256,000-token GGUF vocabulary takes to fetch, with room.
KEEP = 32 * 1024 * 1024


class ObjectChanged(OSError):
    """The object is no longer the version that the source's first read saw."""

    def __init__(self, name: str) -> None:
        super().__init__(errno.ESTALE, CHANGED, name)


@runtime_checkable
class _Readable(Protocol):
    def seek(self, offset: int, whence: int = ..., /) -> int: ...


class Source:
    """One object of `size` bytes whose bytes are read by range.

    Subclasses implement `_read(offset, length)`, which returns at most
    `length` bytes and may return fewer only at the end of the data they can
    get. `read` checks the range and the exact length, and asks `_read` only
    for the bytes it does not keep; a source can be used from several
    threads, one read at a time.
    """

    name: str
    size: int
    # The most bytes kept of those fetched; 0 keeps none.
    keep: int = KEEP
    # The length of the read being served, of which `_read` may be asked
    # for a part.
    _asked: int = 0

    def __init__(self, name: str, size: int) -> None:
        self.name = name
        self.size = size
        self._lock = threading.Lock()
        self.closed = False
        # Disjoint fetched ranges: the bytes by offset, oldest first, and
        # the offsets in order.
        self._kept: Dict[int, bytes] = {}
        self._starts: List[int] = []
        self._kept_bytes = 0

    def read(self, offset: int, length: int) -> bytes:
        """Exactly `length` bytes at `offset`. Raises OSError (filename: the
        source's name) for a range past the end, a closed source, and any
        failure of the transport; ValueError for a negative argument."""
        if offset < 0 or length < 0:
            raise ValueError(f"negative offset or length: {offset}, {length}")
        if offset > self.size or length > self.size - offset:
            raise OSError(errno.EINVAL, f"{length} bytes at {offset} lie past the end of the object ({self.size} bytes)",
                          self.name)
        if length == 0:
            return b""
        with self._lock:
            if self.closed:
                raise OSError(errno.EBADF, "the source is closed", self.name)
            self._asked = length
            parts = []
            end = offset + length
            at = offset
            # The kept ranges that reach past `offset`, in order, and the gaps between them.
            index = bisect.bisect_right(self._starts, offset)
            if index > 0 and self._end_of(self._starts[index - 1]) > offset:
                index -= 1
            fetched = []
            while at < end:
                start = self._starts[index] if index < len(self._starts) else end
                if start > at:
                    gap = min(start, end) - at
                    parts.append(self._fetch(at, gap))
                    fetched.append((at, parts[-1]))
                    at += gap
                    continue
                data = self._kept[start]
                parts.append(data[at - start:end - start])
                at = start + len(data)
                index += 1
            for start, data in fetched:
                self._remember(start, data)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def _fetch(self, offset: int, length: int) -> bytes:
        data = self._read(offset, length)
        if len(data) != length:
            raise OSError(errno.EIO, f"got {len(data)} of {length} bytes at {offset}", self.name)
        return data

    def _end_of(self, start: int) -> int:
        return start + len(self._kept[start])

    def _remember(self, offset: int, data: bytes) -> None:
        """Keeps `data`, fetched at `offset` where nothing was kept, dropping
        the oldest ranges while more than `keep` bytes are kept."""
        if not data or len(data) > self.keep:
            return
        self._kept[offset] = data
        bisect.insort(self._starts, offset)
        self._kept_bytes += len(data)
        while self._kept_bytes > self.keep:
            oldest = next(iter(self._kept))
            self._kept_bytes -= len(self._kept.pop(oldest))
            del self._starts[bisect.bisect_left(self._starts, oldest)]

    def _read(self, offset: int, length: int) -> bytes:
        raise NotImplementedError

    def close(self) -> None:
        """Releases the connections and the kept bytes; later reads fail.
        Closing twice is harmless."""
        self.closed = True
        self._kept, self._starts, self._kept_bytes = {}, [], 0

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r} size={self.size}>"


class FileSource(Source):
    """An open, seekable binary file object: BytesIO, a file opened "rb", or
    anything with `seek` and `read` or `readinto`. The size is taken once, by
    seeking to the end. `close` leaves the file object open: it is the caller's."""

    def __init__(self, file: Any, name: Optional[str] = None) -> None:
        self._file = file
        if name is None:
            attribute = getattr(file, "name", None)
            name = attribute if isinstance(attribute, str) else repr(file)
        try:
            size = file.seek(0, 2)
        except (OSError, ValueError) as error:
            raise OSError(errno.ESPIPE, f"the file is not seekable: {error}", name) from error
        super().__init__(name, size)
        self._readinto = getattr(file, "readinto", None)

    def _read(self, offset: int, length: int) -> bytes:
        try:
            self._file.seek(offset)
            if self._readinto is not None:
                return self._read_into(self._readinto, length)
            parts = []
            got = 0
            while got < length:
                part = self._file.read(length - got)
                if not part:
                    break
                parts.append(part)
                got += len(part)
            return b"".join(parts)
        except ValueError as error:  # a closed file
            raise OSError(errno.EBADF, str(error), self.name) from error

    @staticmethod
    def _read_into(readinto: Callable[[memoryview], Optional[int]], length: int) -> bytes:
        buffer = bytearray(length)
        view = memoryview(buffer)
        got = 0
        while got < length:
            count = readinto(view[got:])
            if not count:
                break
            got += count
        view.release()
        del buffer[got:]
        return bytes(buffer)


# The fields of an fsspec `info` record that tell one version of an object
# from another, across backends (s3fs, gcsfs, adlfs, the memory and local
# file systems).
_IDENTITY = ("size", "ETag", "etag", "VersionId", "version_id", "generation", "md5Hash", "LastModified",
             "last_modified", "mtime", "updated", "created")


class FsspecSource(Source):
    """A URL of any scheme fsspec knows (s3://, gs://, az://, memory://, ...).

    The size and the version come from `fs.info` once; reads are
    `fs.cat_file(path, start, end)`. Where the backend names versions (s3fs
    with `version_aware=True` gives a VersionId) every read asks for that
    version. Otherwise each read is followed by a fresh `info`, and a change
    of size, ETag or modification time between the first read and the last
    raises ObjectChanged: a result is never made from two versions.
    """

    def __init__(self, url: str, storage_options: Optional[Mapping[str, Any]] = None) -> None:
        try:
            import fsspec.core  # type: ignore[import-untyped, import-not-found, unused-ignore]
        except ImportError as error:
            scheme = url.split("://", 1)[0]
            raise ImportError(f"fsspec is needed for {scheme}:// URLs: pip install quillon[remote]") from error
        try:
            self._fs, self._path = fsspec.core.url_to_fs(url, **dict(storage_options or {}))
            info = self._fs.info(self._path)
        except FileNotFoundError as error:
            raise FileNotFoundError(errno.ENOENT, "No such file or object", url) from error
        except PermissionError as error:
            raise PermissionError(errno.EACCES, f"Permission denied: {error}", url) from error
        except OSError as error:
            raise OSError(error.errno or errno.EIO, error.strerror or str(error), url) from error
        except ImportError:
            raise  # the scheme's backend is not installed: fsspec's message says which
        except Exception as error:  # a backend's own errors (credentials, a bad URL): one clear OSError
            raise OSError(errno.EIO, f"{type(error).__name__}: {error}", url) from error
        if info.get("type", "file") != "file" or not isinstance(info.get("size"), int):
            raise IsADirectoryError(errno.EISDIR, "not a file", url)
        super().__init__(url, info["size"])
        self._identity = self._identity_of(info)
        version = info.get("VersionId") or info.get("version_id")
        self._version = version if getattr(self._fs, "version_aware", False) and version else None
        # S3 answers a GET with If-Match itself, so a read there is pinned to
        # the ETag in the same request instead of a HEAD after it.
        etag = info.get("ETag")
        self._s3_etag = etag if self._version is None and isinstance(etag, str) and _is_s3fs(self._fs) else None
        self._etag = etag if isinstance(etag, str) else None

    @staticmethod
    def _identity_of(info: Mapping[str, Any]) -> Tuple[Tuple[str, str], ...]:
        return tuple((key, str(info[key])) for key in _IDENTITY if info.get(key) is not None)

    def _read(self, offset: int, length: int) -> bytes:
        try:
            if self._version is not None:
                data = self._fs.cat_file(self._path, start=offset, end=offset + length, version_id=self._version)
            elif self._s3_etag is not None:
                data = _s3_get_if_match(self._fs, self._path, offset, length, self._s3_etag)
                if data is None:
                    raise ObjectChanged(self.name)
            else:
                data = self._fs.cat_file(self._path, start=offset, end=offset + length)
                if self._identity_of(self._fs.info(self._path, refresh=True)) != self._identity:
                    raise ObjectChanged(self.name)
        except FileNotFoundError as error:
            raise ObjectChanged(self.name) from error
        except ObjectChanged:
            raise
        except OSError as error:
            raise OSError(error.errno or errno.EIO, error.strerror or str(error), self.name) from error
        except Exception as error:
            raise OSError(errno.EIO, f"{type(error).__name__}: {error}", self.name) from error
        return bytes(data[:length])

    def s3_object(self) -> Optional[Tuple[Any, Tuple[str, str, Optional[str]], Optional[str]]]:
        """For an object of s3fs: the file system, (bucket, key, version or
        None) of the object the reads are pinned to, and its ETag; None for
        any other backend or once closed."""
        if self._fs is None or not _is_s3fs(self._fs):
            return None
        bucket, key, _ = self._fs.split_path(self._path)
        return self._fs, (bucket, key, self._version), self._etag

    def close(self) -> None:
        super().close()
        self._fs = None


def _is_s3fs(fs: Any) -> bool:
    return type(fs).__module__.split(".")[0] == "s3fs" and hasattr(fs, "_call_s3") and hasattr(fs, "split_path")


def _precondition_failed(error: BaseException) -> bool:
    """Whether S3 refused a GET for its If-Match: botocore's ClientError,
    which s3fs turns into an OSError, carries the code PreconditionFailed."""
    seen: Optional[BaseException] = error
    while seen is not None:
        response = getattr(seen, "response", None)
        if isinstance(response, dict) and response.get("Error", {}).get("Code") in ("PreconditionFailed", "412"):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


def _s3_get_if_match(fs: Any, path: str, offset: int, length: int, etag: str) -> Optional[bytes]:
    """`length` bytes at `offset` of the S3 object `path` if its ETag is still
    `etag`, in one GET; None when it no longer is (412 Precondition Failed)."""
    from fsspec.asyn import sync  # type: ignore[import-untyped, import-not-found, unused-ignore]

    bucket, key, _ = fs.split_path(path)

    async def get() -> Optional[bytes]:
        try:
            answer = await fs._call_s3("get_object", Bucket=bucket, Key=key, IfMatch=etag,
                                       Range=f"bytes={offset}-{offset + length - 1}")
        except OSError as error:
            if _precondition_failed(error):
                return None
            raise
        try:
            return bytes(await answer["Body"].read())
        finally:
            answer["Body"].close()

    result: Optional[bytes] = sync(fs.loop, get)
    return result


Target = Union[str, Any]


def open_source(target: Target, *, headers: Optional[Mapping[str, str]] = None, timeout: float = DEFAULT_TIMEOUT,
                first: Tuple[int, int] = DEFAULT_FIRST,
                storage_options: Optional[Mapping[str, Any]] = None) -> Source:
    """A Source for `target`: an http(s) URL, another scheme's URL (through
    fsspec), or an open seekable binary file object.

    `headers` go with every HTTP request to the URL's host (an Authorization
    header is dropped when a redirect leads to another host). `timeout` bounds
    each connect and network read in seconds. `first` is the window
    (offset, length) that the first HTTP request fetches with the size; a
    later read inside it costs no request. `storage_options` go to fsspec
    (for example ``{"anon": True}`` or ``{"client_kwargs": {"endpoint_url": ...}}``).

    Raises OSError naming the URL when the object cannot be reached, and
    ImportError for a non-HTTP URL when fsspec is not installed.
    """
    if isinstance(target, str):
        scheme, separator, _ = target.partition("://")
        if not separator or not scheme:
            raise ValueError(f"not a URL: {target!r}")
        if scheme.lower() in ("http", "https"):
            from quillon_remote.http import HTTPSource

            return HTTPSource(target, headers=headers, timeout=timeout, first=first)
        return FsspecSource(target, storage_options)
    if isinstance(target, io.TextIOBase):
        raise TypeError("expected a binary file object, not a text one")
    if isinstance(target, _Readable) and (hasattr(target, "read") or hasattr(target, "readinto")):
        return FileSource(target)
    raise TypeError(f"expected a URL or a seekable binary file object, not {type(target).__name__}")


def source_for(target: Union[Source, Target], window: int) -> Tuple[Source, bool]:
    """The source that quillon_files reads the model `target` through, and
    whether it was opened for the read (and is to be closed after it): a
    Source is used as it is, anything else is opened with `open_source`,
    its first request fetching `window` bytes (the parse's first window)."""
    if isinstance(target, Source):
        return target, False
    return open_source(target, first=(0, window)), True

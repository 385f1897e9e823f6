"""The writes of quillon_files for a model or a destination that is not a
local file: quillon_files hands them here, with the same arguments.

quillon_files plans the new model (`plan_embed`, `plan_remove`,
`plan_patch`): a list of pieces in file order, new ``bytes`` or an
``(offset, length)`` range of the model carried over. How the pieces become
the new model depends on where the model is and where it goes:

- an S3 model to S3 (``s3://`` to ``s3://``, in place or to another key):
  composed on the server, see quillon_remote.s3; the client sends the new
  bytes with a few MiB around each and copies the rest by range;
- anything else (another fsspec URL, a local model to a URL, a URL to a
  local file or to another store): streamed from the model to the
  destination in chunks of CHUNK bytes, never held whole in memory nor
  copied to a temporary local file. A destination URL is written through
  fsspec without autocommit, so that only a complete result is committed;
  a local destination is written by the file engine (quillon_files.write_file
  with the chunks), as the local writes are.

An ``http(s)://`` URL can be read but not written. Failures raise OSError
naming the URL concerned, as the file writes name their paths, and leave the
destination as it was.
"""

from __future__ import annotations

import contextlib
import errno
import os
from typing import Any, Callable, Iterator, List, Optional, Sequence, Union

from quillon_remote import FileSource, FsspecSource, Source, open_source, PARSE_WINDOW
from quillon_remote.multipart import Piece, piece_length, plan_parts

__all__ = ["embed_manifest", "embed_manifest_remote", "embed_manifest_both", "remove_manifest", "patch_store",
           "write_pieces", "CHUNK"]

# Bytes of the model read and written at a time when the result is streamed.
CHUNK = 4 << 20
# Schemes composed on the server.
S3_SCHEMES = ("s3", "s3a")
READ_ONLY = "an HTTP URL can be read but not written to"

Progress = Optional[Callable[[int, int], None]]
Planner = Callable[[Source], Sequence[Piece]]


def _scheme(target: Any) -> Optional[str]:
    if not isinstance(target, str):
        return None
    scheme, separator, _ = target.partition("://")
    return scheme.lower() if separator and len(scheme) >= 2 else None


def _planner(name: str) -> Callable[..., Sequence[Piece]]:
    import quillon_files

    function: Optional[Callable[..., Sequence[Piece]]] = getattr(quillon_files, name, None)
    if function is None:
        raise OSError(errno.ENOTSUP, "this build of quillon_files cannot write models elsewhere than local files")
    return function


@contextlib.contextmanager
def _opened(model: Any) -> Iterator[Source]:
    """The source the model is read through, closed afterwards if opened
    here: a Source as it is, a URL, an open file object, or a local path."""
    if isinstance(model, Source):
        yield model
        return
    if _scheme(model) is not None:
        with open_source(model, first=(0, PARSE_WINDOW)) as source:
            yield source
        return
    if isinstance(model, (str, bytes, os.PathLike)):
        name = os.fsdecode(model)
        with open(model, "rb") as file, FileSource(file, name) as source:
            yield source
        return
    with open_source(model) as source:
        yield source


def _destination(model: Any, output: Any) -> Union[str, os.PathLike[str]]:
    """Where the result goes: `output`, or the model itself (a URL)."""
    target: Union[str, os.PathLike[str]]
    if output is None:
        if isinstance(model, FsspecSource) or (_scheme(model) is not None and isinstance(model, str)):
            target = model.name if isinstance(model, Source) else model
        else:
            raise TypeError("a model that is not a URL or a path needs an output")
    elif isinstance(output, (str, bytes, os.PathLike)):
        target = os.fsdecode(output) if isinstance(output, bytes) else output
    else:
        raise TypeError(f"output must be a path or a URL, not {type(output).__name__}")
    if _scheme(target) in ("http", "https"):
        raise PermissionError(errno.EROFS, READ_ONLY, target)
    return target


def write_pieces(source: Source, pieces: Sequence[Piece], destination: Union[str, os.PathLike[str]],
                 progress: Progress = None) -> None:
    """Writes the model made of `pieces` (ranges of `source`) to
    `destination`: composed in S3 where both are S3 objects, else streamed."""
    s3 = source.s3_object() if isinstance(source, FsspecSource) else None
    if s3 is not None and _scheme(destination) in S3_SCHEMES:
        from quillon_remote.s3 import compose

        fs, origin, etag = s3
        plan = plan_parts(pieces, source_size=source.size)
        compose(source, fs, origin, etag, str(destination), plan, progress)
        return
    plan_parts(pieces, source_size=source.size)  # checks every piece before anything is written
    chunks = _chunks(source, pieces, progress)
    if _scheme(destination) is None:
        # The file engine's replace: the new file takes the old one's owner,
        # mode, ACL and attributes by its rules, or the write fails.
        import quillon_files

        quillon_files.write_file(destination, chunks)
        return
    with _sink(str(destination)) as write:
        for chunk in chunks:
            write(chunk)


def _chunks(source: Source, pieces: Sequence[Piece], progress: Progress) -> Iterator[bytes]:
    total = sum(piece_length(piece) for piece in pieces)
    report = progress or (lambda done, total: None)
    done = 0
    report(done, total)
    # Bytes streamed once are read once: keeping them would only copy them.
    kept, source.keep = source.keep, 0
    try:
        for piece in pieces:
            if not isinstance(piece, tuple):
                yield bytes(piece)
                done += len(piece)
                report(done, total)
                continue
            offset, length = piece
            end = offset + length
            while offset < end:
                count = min(CHUNK, end - offset)
                yield source.read(offset, count)
                offset += count
                done += count
                report(done, total)
    finally:
        source.keep = kept


@contextlib.contextmanager
def _sink(url: str) -> Iterator[Callable[[bytes], Any]]:
    """A write function for the new content of the URL `url`, which only a
    block that ends without an exception commits."""
    try:
        import fsspec.core  # type: ignore[import-untyped, import-not-found, unused-ignore]

        fs, path = fsspec.core.url_to_fs(url)
        file = fs.open(path, "wb", autocommit=False)
    except ImportError:
        raise
    except OSError as error:
        raise type(error)(error.errno or errno.EIO, error.strerror or str(error), url) from error
    except Exception as error:
        raise OSError(errno.EIO, f"{type(error).__name__}: {error}", url) from error
    try:
        yield file.write
        file.close()
        file.commit()
    except BaseException as error:
        with contextlib.suppress(Exception):
            file.discard()
        with contextlib.suppress(Exception):
            file.closed = True  # a discarded file must not be flushed when collected
        if isinstance(error, OSError) and error.filename is None:  # the backend's, about the destination
            raise type(error)(error.errno or errno.EIO, error.strerror or str(error), url) from error
        raise


def _rewrite(model: Any, output: Any, progress: Progress, plan: Planner) -> None:
    destination = _destination(model, output)
    with _opened(model) as source:
        pieces: List[Piece] = list(plan(source))
        write_pieces(source, pieces, destination, progress)


def embed_manifest(model: Any, store: bytes, *, output: Any = None, progress: Progress = None) -> None:
    """quillon_files.embed_manifest for a model or an output elsewhere."""
    _rewrite(model, output, progress, lambda source: _planner("plan_embed")(source, store=store))


def embed_manifest_remote(model: Any, uri: str, *, output: Any = None, progress: Progress = None) -> None:
    """quillon_files.embed_manifest_remote for a model or an output elsewhere."""
    _rewrite(model, output, progress, lambda source: _planner("plan_embed")(source, uri=uri))


def embed_manifest_both(model: Any, uri: str, store: bytes, *, output: Any = None,
                        progress: Progress = None) -> None:
    """quillon_files.embed_manifest_both for a model or an output elsewhere."""
    _rewrite(model, output, progress, lambda source: _planner("plan_embed")(source, store=store, uri=uri))


def remove_manifest(model: Any, *, output: Any = None, progress: Progress = None) -> None:
    """quillon_files.remove_manifest for a model or an output elsewhere."""
    _rewrite(model, output, progress, lambda source: _planner("plan_remove")(source))


def patch_store(model: Any, store: bytes, *, progress: Progress = None) -> None:
    """quillon_files.patch_store for a model elsewhere: the model rewritten
    in place with the new store (composed on the server in S3)."""
    _rewrite(model, None, progress, lambda source: _planner("plan_patch")(source, store))


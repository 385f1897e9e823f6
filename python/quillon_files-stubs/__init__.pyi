"""Type information for the extension module `quillon_files`.

The operations of `quillon` on model files named by path. Reads return what
the `quillon` function returns on the file's bytes; embed and remove write
the new model to `output`, or replace `model` in place when `output` is
None, and `write_file` writes given bytes the same way; a failed or
cancelled write leaves the destination untouched. A model quillon cannot
handle raises ValueError; a system failure raises OSError with `filename`
set. Each of these exceptions has a `kind` attribute naming the error (one
of `_ErrorKind`, "system_failure" for the OSError), which callers test
instead of the message text.

The reads (read_manifest, read_manifest_uri, detect_format, model_type,
describe, store_ranges) and the plans (plan_embed, plan_remove, plan_patch)
also take a model that is not a local file: a URL (`str` of the form
"scheme://..."), an open seekable binary file object or a
`quillon_remote.Source`, read by byte ranges through quillon_remote.
"""

import os
from typing import BinaryIO, Callable, Iterator, List, Literal, Optional, Tuple, TypedDict, Union, overload

import quillon_remote

__all__ = [
    "embed_manifest",
    "embed_manifest_remote",
    "embed_manifest_both",
    "read_manifest",
    "read_manifest_uri",
    "remove_manifest",
    "detect_format",
    "model_type",
    "describe",
    "store_ranges",
    "patch_store",
    "write_file",
    "set_facts",
    "plan_embed",
    "plan_remove",
    "plan_patch",
]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# What a read takes: a path, a URL (a str), a binary file object or a source.
_Model = Union[_Path, BinaryIO, quillon_remote.Source]
# The `kind` of an exception raised for a library error; "cancelled" marks
# a RuntimeError for a write stopped without an exception of its own.
_ErrorKind = Literal["unrecognized_format", "malformed_container", "no_manifest", "empty_source",
                     "malformed_reference", "duplicate_manifest", "malformed_exclusion",
                     "store_size_mismatch", "manifest_too_large", "system_failure", "cancelled"]
# Called as progress(done, total) in bytes while a new file is written; an
# exception it raises cancels the write and propagates.
_Progress = Callable[[int, int], object]

def embed_manifest(model: _Path, store: bytes, *, output: Optional[_Path] = None,
                   progress: Optional[_Progress] = None) -> None:
    """Writes `model` carrying `store` as its only C2PA data."""

def embed_manifest_remote(model: _Path, uri: str, *, output: Optional[_Path] = None,
                          progress: Optional[_Progress] = None) -> None:
    """Writes `model` carrying `uri` as its only C2PA data."""

def embed_manifest_both(model: _Path, uri: str, store: bytes, *, output: Optional[_Path] = None,
                        progress: Optional[_Progress] = None) -> None:
    """Writes `model` carrying both `uri` and `store` (note the order)."""

def read_manifest(model: _Model) -> bytes:
    """The embedded Manifest Store; ValueError when there is none."""

def read_manifest_uri(model: _Model) -> Optional[str]:
    """The remote manifest URI, or None when the model has none."""

def remove_manifest(model: _Path, *, output: Optional[_Path] = None,
                    progress: Optional[_Progress] = None) -> None:
    """Writes `model` without any C2PA data."""

def detect_format(model: _Model) -> Optional[Literal["GGUF", "SafeTensors", "ONNX"]]:
    """The file's container format, or None when it is none of the three."""

def model_type(model: _Model) -> Optional[Literal["c2pa.types.model", "c2pa.types.model.onnx"]]:
    """The C2PA asset type, or None when the format is unknown."""

class _Description(TypedDict):
    format: Literal["GGUF", "SafeTensors", "ONNX"]
    asset_type: Literal["c2pa.types.model", "c2pa.types.model.onnx"]
    store_size: Optional[int]
    uri: Optional[str]

def describe(model: _Model) -> _Description:
    """The format, asset type, store size (None without a store) and remote
    URI, from one read of the file; fails as read_manifest_uri and then as
    read_manifest do, except that a missing store is None."""

def store_ranges(model: _Model) -> List[Tuple[int, int]]:
    """The (start, length) byte ranges that encode the embedded store."""

def patch_store(model: _Path, store: bytes) -> None:
    """Overwrites the embedded store in place with `store`, whose encoded form
    must be exactly as long; ValueError, and the file unchanged, otherwise."""

@overload
def write_file(path: _Path, data: bytes, *, progress: Optional[_Progress] = None) -> None:
    """Replaces `path` with a file holding `data`, keeping the replaced file's
    mode and owner as the writes above do; a failed or cancelled write leaves
    `path` untouched."""
@overload
def write_file(path: _Path, data: Iterator[bytes], *, progress: None = None) -> None:
    """The same, with `data` an iterator of chunks written in turn: content
    never whole in memory. An exception from the iterator cancels the write
    and is raised."""

class _ExternalData(TypedDict):
    tensor: str
    location: str
    offset: int
    length: Optional[int]

class _SetFacts(TypedDict, total=False):
    format: Literal["GGUF", "SafeTensors", "ONNX"]
    tensor_count: int
    # GGUF
    split_no: Optional[int]
    split_count: Optional[int]
    split_tensors_count: Optional[int]
    # SafeTensors
    tensor_names: List[str]
    tensor_bytes: int
    # ONNX
    external_data: List[_ExternalData]

def set_facts(model: _Model) -> _SetFacts:
    """What ties the model file to the other files of a set: "format" and
    "tensor_count", then the GGUF split entries, the SafeTensors tensor names
    and data size, or the ONNX external data of the initializers."""
# A plan: the new file in order, `bytes` of new content (zero padding
# included) and (offset, length) ranges of the model carried over.
_Plan = List[Union[bytes, Tuple[int, int]]]

def plan_embed(model: _Model, *, store: Optional[bytes] = None, uri: Optional[str] = None) -> _Plan:
    """The file that embed_manifest would write for `model` carrying `store`
    and/or `uri` (ValueError as embed_manifest raises it, also when both are
    None); only the model's metadata is read."""

def plan_remove(model: _Model) -> _Plan:
    """The file that remove_manifest would write for `model`, as plan_embed lists it."""

def plan_patch(model: _Model, store: bytes) -> _Plan:
    """The file that patch_store would leave of `model` with `store` in place
    of the embedded one, as plan_embed lists it (the same errors)."""

"""Type information for the extension module `quillon`.

Every function takes the whole model file as `bytes` and leaves its
arguments unchanged. A model quillon cannot handle raises ValueError whose
single argument is the message and which has no other attribute (unlike
those of `quillon_files`, no `kind`); an argument of the wrong type raises
TypeError.
"""

from typing import Literal, Optional

__all__ = [
    "embed_manifest",
    "embed_manifest_remote",
    "embed_manifest_both",
    "read_manifest",
    "read_manifest_uri",
    "remove_manifest",
    "detect_format",
    "model_type",
]

def embed_manifest(model: bytes, store: bytes) -> bytes:
    """A copy of `model` carrying `store` as its only C2PA data."""

def embed_manifest_remote(model: bytes, uri: str) -> bytes:
    """A copy of `model` carrying `uri` as its only C2PA data."""

def embed_manifest_both(model: bytes, uri: str, store: bytes) -> bytes:
    """A copy of `model` carrying both `uri` and `store` (note the order)."""

def read_manifest(model: bytes) -> bytes:
    """The embedded Manifest Store; ValueError when there is none."""

def read_manifest_uri(model: bytes) -> Optional[str]:
    """The remote manifest URI, or None when the model has none."""

def remove_manifest(model: bytes) -> bytes:
    """A copy of `model` without any C2PA data."""

def detect_format(model: bytes) -> Optional[Literal["GGUF", "SafeTensors", "ONNX"]]:
    """The container format, or None when it is none of the three; never raises."""

def model_type(model: bytes) -> Optional[Literal["c2pa.types.model", "c2pa.types.model.onnx"]]:
    """The C2PA asset type, or None when the format is unknown; never raises."""

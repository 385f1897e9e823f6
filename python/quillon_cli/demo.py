"""`quillon demo`: the library's main job on the sample models that ship with
the tool. Everything happens in memory; no file is written."""

import argparse
from pathlib import Path
from typing import Tuple

import quillon

from quillon_cli.commands import NO_MANIFEST, in_memory_store, load
from quillon_cli.errors import FileError

SAMPLE_MODELS = ("model.gguf", "model.safetensors", "model.onnx")
SAMPLE_STORE = "manifest.c2pa"
SAMPLE_URI = "https://example.com/manifests/quillon-sample.c2pa"


def samples_folder() -> Path:
    """The installed samples beside this package, or else the source tree's
    samples folder (python/quillon_cli -> samples)."""
    here = Path(__file__).resolve().parent
    for folder in (here / "samples", here.parent.parent / "samples"):
        if (folder / SAMPLE_STORE).is_file():
            return folder
    raise FileError(str(here / "samples"), "sample models not found")


def demo(args: argparse.Namespace) -> int:
    folder = samples_folder()
    store = load(str(folder / SAMPLE_STORE))
    print(f"sample Manifest Store: {len(store)} bytes")
    print(f"sample manifest URI: {SAMPLE_URI}")
    for name in SAMPLE_MODELS:
        print()
        show_round_trip(str(folder / name), load(str(folder / name)), store)
    return 0


def show_round_trip(path: str, model: bytes, store: bytes) -> None:
    """Embeds, reads back and removes the sample data, printing each step.
    Raises FileError when a step does not give back what it should."""
    print(f"{Path(path).name} ({len(model)} bytes)")
    print(f"  format {quillon.detect_format(model)}, asset type {quillon.model_type(model)}")
    stamped, stripped = _round_trip(path, model, store)
    print(f"  embedded store and URI: {len(stamped)} bytes "
          f"({len(stamped) - len(model):+d})")
    print(f"  read back: store of {len(quillon.read_manifest(stamped))} bytes, "
          f"URI {quillon.read_manifest_uri(stamped)!r}")
    print(f"  removed: {len(stripped)} bytes; read_manifest now says: {NO_MANIFEST}")
    same = "byte for byte the original" if stripped == model else "the original, re-serialized"
    print(f"  the stripped model is {same}")


def _round_trip(path: str, model: bytes, store: bytes) -> Tuple[bytes, bytes]:
    try:
        stamped = quillon.embed_manifest_both(model, SAMPLE_URI, store)
        if quillon.read_manifest(stamped) != store or quillon.read_manifest_uri(stamped) != SAMPLE_URI:
            raise ValueError("the embedded data does not read back")
        stripped = quillon.remove_manifest(stamped)
        left = quillon.read_manifest_uri(stripped), in_memory_store(stripped)
        if left != (None, None):
            raise ValueError("C2PA data survived removal")
    except ValueError as error:
        raise FileError(path, str(error)) from error
    return stamped, stripped


"""Signing a model in two phases, the way C2PA data hashes work.

A C2PA data hash covers every byte of the model except the bytes that hold
the Manifest Store itself. So a signer:

1. embeds a placeholder store of the size the signed store will have;
2. asks quillon where the store's bytes lie (`store_ranges`);
3. hashes the file without those ranges;
4. signs, and builds the final store, exactly as large as the placeholder;
5. patches it over the placeholder (`patch_store`): only the store's bytes
   are written, however large the model is.

quillon treats stores as opaque bytes, so the "store" here is a stand-in: an
Ed25519 signature over the hash, padded to the placeholder's size. A real
pipeline puts a C2PA Manifest Store made by its C2PA signer in its place.

Run it on the bundled samples with `python examples/signing_flow.py`, or on
your own models with `python examples/signing_flow.py MODEL...`. Needs the
`cryptography` package.
"""

import hashlib
import mmap
import sys
import tempfile
from pathlib import Path
from typing import List, Sequence, Tuple

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

import quillon_files

# Room the signer asks for: the stand-in needs 80 bytes, a real Manifest
# Store some kilobytes.
STORE_SIZE = 4096
MAGIC = b"quillon-example-signature\n"
SIGNATURE_SIZE = 64

Ranges = List[Tuple[int, int]]


def hash_without(path: Path, ranges: Sequence[Tuple[int, int]]) -> bytes:
    """SHA-256 over the file's bytes outside `ranges`, read through a
    read-only mapping: no copy of the model is made."""
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        size = file.seek(0, 2)
        if size == 0:
            return digest.digest()
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
            view = memoryview(mapped)
            try:
                position = 0
                for start, length in sorted(ranges):
                    digest.update(view[position:start])
                    position = start + length
                digest.update(view[position:])
            finally:
                view.release()
    return digest.digest()


def signed_store(key: Ed25519PrivateKey, digest: bytes, size: int) -> bytes:
    """The stand-in store: a marker, the signature over `digest`, zero
    padding up to `size` bytes."""
    body = MAGIC + key.sign(digest)
    if len(body) > size:
        raise ValueError(f"a store of {size} bytes cannot hold the signature")
    return body + bytes(size - len(body))


def verify(path: Path, public_key: Ed25519PublicKey) -> bool:
    """True when the store embedded in `path` signs the file's bytes outside
    the store's own ranges."""
    store = quillon_files.read_manifest(str(path))
    if not store.startswith(MAGIC):
        return False
    signature = store[len(MAGIC):len(MAGIC) + SIGNATURE_SIZE]
    try:
        public_key.verify(signature, hash_without(path, quillon_files.store_ranges(str(path))))
    except InvalidSignature:
        return False
    return True


def embed_placeholder(model: Path, output: Path) -> None:
    """Phase one: `model` with a zero store of STORE_SIZE bytes, at `output`.
    A remote manifest URI the model carries is kept."""
    uri = quillon_files.read_manifest_uri(str(model))
    placeholder = bytes(STORE_SIZE)
    if uri is None:
        quillon_files.embed_manifest(str(model), placeholder, output=str(output))
    else:
        quillon_files.embed_manifest_both(str(model), uri, placeholder, output=str(output))


def sign_in_place(path: Path, key: Ed25519PrivateKey) -> Ranges:
    """Phase two: hashes `path` without its store and patches the signed
    store over the placeholder. Returns the store's ranges."""
    ranges = quillon_files.store_ranges(str(path))
    digest = hash_without(path, ranges)
    quillon_files.patch_store(str(path), signed_store(key, digest, STORE_SIZE))
    return ranges


def samples() -> List[Path]:
    folder = Path(__file__).resolve().parent.parent / "samples"
    return [folder / name for name in ("model.gguf", "model.safetensors", "model.onnx")]


def main(models: Sequence[str]) -> int:
    key = Ed25519PrivateKey.generate()
    paths = [Path(m) for m in models] or samples()
    with tempfile.TemporaryDirectory() as scratch:
        for model in paths:
            output = Path(scratch) / f"signed-{model.name}"
            embed_placeholder(model, output)
            ranges = sign_in_place(output, key)
            shown = ", ".join(f"{start}+{length}" for start, length in ranges)
            print(f"{model.name}: store at {shown}; signature verifies: {verify(output, key.public_key())}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Signing a model split across several files (a set), in two phases per
shard and one collection manifest over them all.

Each shard is signed as `signing_flow.py` signs one model: a placeholder
store, its ranges, a hash of the shard without them, the signed store
patched over the placeholder. Then the set as a whole gets a collection
manifest over every file (shards and index) with its size and hash, the
inputs of a C2PA collection data hash, written beside the set as the sidecar
`model.c2pa`:

1. `quillon set embed DIR --store-dir PLACEHOLDERS`: every shard gets its
   own zero store (PLACEHOLDERS/<shard>.c2pa) of the size its signed store
   will have; all shards are replaced, or none;
2. per shard: `store_ranges`, the hash without them, the stand-in signature
   patched in (`patch_store`), writing only the store's bytes;
3. `quillon set hash DIR`: the URI, size and hash of every file, now final;
4. the stand-in collection manifest: those entries and a signature over
   them, written to DIR/model.c2pa.

The stores and the collection manifest are stand-ins (Ed25519 signatures);
a real pipeline puts C2PA Manifest Stores made by its C2PA signer in their
place. Run it on a generated set with `python examples/set_signing_flow.py`,
or on your own with `python examples/set_signing_flow.py FOLDER` (which is
changed in place). Needs the `cryptography` package.
"""

import base64
import io
import json
import struct
import sys
import tempfile
from contextlib import redirect_stdout
from pathlib import Path
from typing import Any, Dict, List, Sequence

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

import quillon_cli
import quillon_files
from quillon_cli import sets

sys.path.insert(0, str(Path(__file__).resolve().parent))
from signing_flow import STORE_SIZE, sign_in_place, verify  # noqa: E402

SIDECAR = "model.c2pa"


def generate_set(folder: Path, shards: int = 3) -> Path:
    """A small SafeTensors set as the hub lays it out: numbered shards of
    two F32 tensors each and their index."""
    weight_map: Dict[str, str] = {}
    total = 0
    for number in range(1, shards + 1):
        name = f"model-{number:05d}-of-{shards:05d}.safetensors"
        header: Dict[str, Any] = {"__metadata__": {"format": "pt"}}
        data = b""
        for part in ("weight", "bias"):
            tensor = f"layers.{number}.{part}"
            values = struct.pack("<8f", *([float(number)] * 8))
            header[tensor] = {"dtype": "F32", "shape": [8], "data_offsets": [len(data), len(data) + len(values)]}
            data += values
            weight_map[tensor] = name
        text = json.dumps(header).encode()
        (folder / name).write_bytes(struct.pack("<Q", len(text)) + text + data)
        total += len(data)
    index = folder / "model.safetensors.index.json"
    index.write_text(json.dumps({"metadata": {"total_size": total}, "weight_map": weight_map}, indent=2))
    return index


def cli(*argv: str) -> str:
    """Runs the command line and returns what it printed."""
    out = io.StringIO()
    with redirect_stdout(out):
        status = quillon_cli.main(list(argv))
    if status != 0:
        raise RuntimeError(f"quillon {' '.join(argv)} failed with status {status}")
    return out.getvalue()


def shards_of(folder: Path) -> List[Path]:
    return [Path(m.path) for m in sets.set_info(str(folder)).members if m.role == "model"]


def sign_set(folder: Path, key: Ed25519PrivateKey) -> Dict[str, Any]:
    """Phases one and two for every shard, then the collection manifest."""
    with tempfile.TemporaryDirectory() as placeholders:
        for shard in shards_of(folder):
            (Path(placeholders) / (shard.name + ".c2pa")).write_bytes(bytes(STORE_SIZE))
        cli("set", "embed", str(folder), "--store-dir", placeholders)
    for shard in shards_of(folder):
        ranges = sign_in_place(shard, key)
        print(f"{shard.name}: store at {', '.join(f'{s}+{n}' for s, n in ranges)}")
    collection = json.loads(cli("set", "hash", str(folder)))
    payload = json.dumps(collection, sort_keys=True).encode()
    manifest = {"collection": collection, "signature": base64.b64encode(key.sign(payload)).decode("ascii")}
    (folder / SIDECAR).write_text(json.dumps(manifest, indent=2) + "\n")
    return manifest


def verify_set(folder: Path, public_key: Ed25519PublicKey) -> bool:
    """Every shard's own signature, and the collection manifest's over the
    files as they are now."""
    if not all(verify(shard, public_key) for shard in shards_of(folder)):
        return False
    manifest = json.loads((folder / SIDECAR).read_text())
    collection = json.loads(cli("set", "hash", str(folder), "--alg", manifest["collection"]["alg"]))
    if collection != manifest["collection"]:
        return False
    try:
        public_key.verify(base64.b64decode(manifest["signature"]),
                          json.dumps(collection, sort_keys=True).encode())
    except InvalidSignature:
        return False
    return True


def main(argv: Sequence[str]) -> int:
    key = Ed25519PrivateKey.generate()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(argv[0]) if argv else Path(generate_set(Path(scratch))).parent
        manifest = sign_set(folder, key)
        print(f"{SIDECAR}: {len(manifest['collection']['uris'])} files; "
              f"signatures verify: {verify_set(folder, key.public_key())}")
        print("stores in every shard:", {m.uri: m.c2pa["store_size"] for m in sets.set_info(str(folder)).members})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

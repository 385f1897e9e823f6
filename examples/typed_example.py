"""Stamping a model file with C2PA data, written against quillon's type
information: `mypy --strict examples/typed_example.py` checks it.

    python examples/typed_example.py MODEL STORE URI OUT
"""

import sys
from pathlib import Path
from typing import Dict, List, Optional

import quillon


def provenance(model: bytes) -> Dict[str, Optional[str]]:
    """What a model says about its own provenance, as text."""
    try:
        store: Optional[bytes] = quillon.read_manifest(model)
    except ValueError:
        store = None
    return {
        "format": quillon.detect_format(model),
        "asset type": quillon.model_type(model),
        "store": None if store is None else f"{len(store)} bytes",
        "uri": quillon.read_manifest_uri(model),
    }


def stamp(model_path: Path, store_path: Path, uri: str, out_path: Path) -> bytes:
    """Writes `model_path` carrying the store and the URI to `out_path`."""
    model = model_path.read_bytes()
    if quillon.detect_format(model) is None:
        raise ValueError(f"{model_path}: not a GGUF, SafeTensors or ONNX model")
    stamped = quillon.embed_manifest_both(model, uri, store_path.read_bytes())
    out_path.write_bytes(stamped)
    return stamped


def main(argv: List[str]) -> int:
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    model, store, uri, out = argv
    stamped = stamp(Path(model), Path(store), uri, Path(out))
    for key, value in provenance(stamped).items():
        print(f"{key}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""The two-phase signing example end to end on every format: the final store
lands exactly in the placeholder's ranges, nothing else changes, and the
signature checks out until a byte outside the store changes."""

import sys
from pathlib import Path

import pytest

import quillon
from conftest import write
from models import URI, gguf, onnx, safetensors_u8, sample

pytest.importorskip("cryptography")
quillon_files = pytest.importorskip("quillon_files")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import signing_flow  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402

MODELS = {f"sample.{kind}": sample(f"model.{kind}") for kind in ("gguf", "safetensors", "onnx")}
# A URI already in place must survive the patch untouched.
MODELS.update({f"uri.{kind}": quillon.embed_manifest_remote(build(), URI)
               for kind, build in [("gguf", gguf), ("safetensors", safetensors_u8), ("onnx", onnx)]})


def outside(data: bytes, ranges) -> bytes:
    kept, position = [], 0
    for start, length in sorted(ranges):
        kept.append(data[position:start])
        position = start + length
    kept.append(data[position:])
    return b"".join(kept)


@pytest.mark.parametrize("name", sorted(MODELS))
def test_signing_flow_patches_only_the_store(tmp_path, name):
    model = write(tmp_path / name, MODELS[name])
    uri = quillon.read_manifest_uri(model.read_bytes())
    signed = tmp_path / f"signed-{name}"
    key = Ed25519PrivateKey.generate()

    signing_flow.embed_placeholder(model, signed)
    placeholder = signed.read_bytes()
    ranges = signing_flow.sign_in_place(signed, key)
    final = signed.read_bytes()

    assert len(final) == len(placeholder)
    assert outside(final, ranges) == outside(placeholder, ranges)
    assert final != placeholder
    assert quillon.read_manifest_uri(final) == uri
    assert signing_flow.verify(signed, key.public_key())
    assert not signing_flow.verify(signed, Ed25519PrivateKey.generate().public_key())

    # Any byte outside the store is covered by the hash: flip the last one
    # that leaves the model readable.
    signed.write_bytes(tampered_outside(final, ranges))
    assert not signing_flow.verify(signed, key.public_key())


def tampered_outside(data: bytes, ranges) -> bytes:
    for position in reversed(range(len(data))):
        if any(start <= position < start + length for start, length in ranges):
            continue
        tampered = bytearray(data)
        tampered[position] ^= 0x01
        try:
            quillon.read_manifest(bytes(tampered))
        except ValueError:
            continue
        return bytes(tampered)
    raise AssertionError("no byte outside the store can change")


def test_example_runs_on_the_samples(capsys):
    assert signing_flow.main([]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and all(line.endswith("signature verifies: True") for line in lines)

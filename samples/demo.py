"""quillon's main job on the sample models: embed a Manifest Store and a
remote manifest URI, read both back, remove them, and show what changed.

    python samples/demo.py
"""

import pathlib

import quillon

HERE = pathlib.Path(__file__).resolve().parent
URI = "https://example.com/manifests/quillon-sample.c2pa"


def main():
    store = (HERE / "manifest.c2pa").read_bytes()
    print(f"sample Manifest Store: {len(store)} bytes\n")
    for name in ("model.gguf", "model.safetensors", "model.onnx"):
        model = (HERE / name).read_bytes()
        print(f"{name} ({len(model)} bytes)")
        print(f"  format {quillon.detect_format(model)}, asset type {quillon.model_type(model)}")

        stamped = quillon.embed_manifest_both(model, URI, store)
        assert quillon.read_manifest(stamped) == store
        assert quillon.read_manifest_uri(stamped) == URI
        print(f"  embedded store and URI: {len(stamped)} bytes (+{len(stamped) - len(model)})")
        print(f"  read back: store of {len(quillon.read_manifest(stamped))} bytes, "
              f"URI {quillon.read_manifest_uri(stamped)!r}")

        stripped = quillon.remove_manifest(stamped)
        try:
            quillon.read_manifest(stripped)
        except ValueError as error:
            print(f"  removed: {len(stripped)} bytes; read_manifest now says: {error}")
        same = "byte for byte the original" if stripped == model else "the original, re-serialized"
        print(f"  the stripped model is {same}\n")


if __name__ == "__main__":
    main()

"""The peers: each format's own Python package doing quillon's jobs, in
memory (the job of embed_manifest_both) and on files (reading the metadata,
rewriting the model with a C2PA entry)."""

from __future__ import annotations

import base64
import contextlib
import json
import os
import struct

from common import URI



@contextlib.contextmanager
def _memmap_as_frombuffer(model: bytes):
    """GGUFReader only takes a path and memory-maps it; hand it the bytes."""
    import numpy as np

    original = np.memmap
    np.memmap = lambda *_args, **_kwargs: np.frombuffer(model, dtype=np.uint8)  # type: ignore[assignment]
    try:
        yield
    finally:
        np.memmap = original  # type: ignore[assignment]


def peer_gguf(model: bytes, store: bytes, uri: str, scratch: str) -> int:
    """GGUFReader over the bytes, GGUFWriter to a tmpfs file (as gguf_new_metadata)."""
    import gguf

    with _memmap_as_frombuffer(model):
        reader = gguf.GGUFReader("<bytes>")
    arch = reader.get_field(gguf.Keys.General.ARCHITECTURE).contents()
    writer = gguf.GGUFWriter(scratch, arch=arch, endianess=reader.endianess)
    for fld in reader.fields.values():
        if fld.name == gguf.Keys.General.ARCHITECTURE or fld.name.startswith("GGUF."):
            continue
        value_type = fld.types[0]
        sub_type = fld.types[-1] if value_type == gguf.GGUFValueType.ARRAY else None
        writer.add_key_value(fld.name, fld.contents(), value_type, sub_type=sub_type)
    writer.add_key_value("c2pa:manifest", store, gguf.GGUFValueType.ARRAY, sub_type=gguf.GGUFValueType.UINT8)
    writer.add_key_value("c2pa:manifest.uri", uri, gguf.GGUFValueType.STRING)
    for tensor in reader.tensors:
        writer.add_tensor_info(tensor.name, tensor.data.shape, tensor.data.dtype, tensor.data.nbytes, tensor.tensor_type)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_ti_data_to_file()
    for tensor in reader.tensors:
        writer.write_tensor_data(tensor.data, tensor_endianess=reader.endianess)
    writer.close()
    return os.path.getsize(scratch)


def peer_safetensors(model: bytes, store: bytes, uri: str, scratch: str) -> bytes:
    """safetensors.numpy.load(bytes) + save(tensors, metadata)."""
    from safetensors import numpy as st_numpy

    tensors = st_numpy.load(model)
    # The metadata is not part of load()'s result; read it from the header.
    (length,) = struct.unpack_from("<Q", model)
    metadata = json.loads(model[8 : 8 + length]).get("__metadata__", {})
    metadata["c2pa:manifest"] = base64.b64encode(store).decode()
    metadata["c2pa:manifest.uri"] = uri
    return st_numpy.save(tensors, metadata)


def peer_onnx(model: bytes, store: bytes, uri: str, scratch: str) -> bytes:
    """onnx.load_from_string + two metadata_props + SerializeToString."""
    import onnx

    proto = onnx.load_from_string(model)
    proto.metadata_props.add(key="c2pa:manifest", value=base64.b64encode(store).decode())
    proto.metadata_props.add(key="c2pa:manifest.uri", value=uri)
    return proto.SerializeToString()


PEERS = {"gguf": peer_gguf, "safetensors": peer_safetensors, "onnx": peer_onnx}
PEER_DESCRIPTIONS = {
    "gguf": "gguf: GGUFReader over the bytes (np.memmap swapped for np.frombuffer, no file) and "
    "GGUFWriter copying every field plus the two C2PA fields and every tensor, as gguf_new_metadata "
    "does, to a file on tmpfs (/dev/shm); reading that file back into bytes is not timed",
    "safetensors": "safetensors: safetensors.numpy.load(bytes) + json of the header for the old "
    "__metadata__ + safetensors.numpy.save(tensors, metadata with the two C2PA members) -> bytes",
    "onnx": "onnx: onnx.load_from_string(bytes) + two metadata_props.add + SerializeToString() -> bytes",
}


def read_gguf(path: str, output: str) -> None:
    import gguf

    gguf.GGUFReader(path).get_field("c2pa:manifest.uri")


def read_safetensors(path: str, output: str) -> None:
    from safetensors import safe_open

    with safe_open(path, "np") as opened:
        opened.metadata()


def read_onnx(path: str, output: str) -> None:
    import onnx

    onnx.load(path)


def rewrite_safetensors(path: str, output: str) -> None:
    from safetensors.numpy import load_file, save_file

    save_file(load_file(path), output, metadata={"c2pa:manifest.uri": URI})
    os.sync()


def rewrite_onnx(path: str, output: str) -> None:
    import onnx

    model = onnx.load(path)
    onnx.helper.set_model_props(model, {"c2pa:manifest.uri": URI})
    onnx.save(model, output)
    os.sync()


# The file cases of bench/files.py by name, each (path, output). The GGUF
# rewrite is gguf's own gguf-new-metadata command, run as it is.
FILE_PEERS = {"ggufreader": read_gguf, "safe_open": read_safetensors, "onnx.load": read_onnx,
              "safetensors-rewrite": rewrite_safetensors, "onnx-rewrite": rewrite_onnx}

"""Writes the sample models and the sample Manifest Store in this folder.

Each model is written by its format's own reference writer, so the samples
are what real tools produce:
  model.gguf         gguf.GGUFWriter (llama.cpp's Python GGUF writer)
  model.safetensors  safetensors.numpy.save_file, with user metadata
  model.onnx         onnx.helper, a one-node graph with an initializer
  manifest.c2pa      a stand-in Manifest Store: a hand-built JUMBF superbox
                     labelled "c2pa" holding a short JSON text. It is not
                     signed and is not a real manifest; quillon treats every
                     store as opaque bytes, so any byte string will do.

Run from anywhere: python samples/make_samples.py (needs gguf, safetensors,
onnx and numpy).
"""

import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from models import sample_store  # noqa: E402


def write_gguf(path):
    import gguf

    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_name("quillon-sample")
    writer.add_context_length(128)
    writer.add_embedding_length(8)
    writer.add_token_list(["<s>", "</s>", "hello", "world"])
    writer.add_tensor("token_embd.weight", np.arange(32, dtype=np.float32).reshape(4, 8))
    writer.add_tensor("output_norm.weight", np.ones(8, dtype=np.float16))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


def write_safetensors(path):
    from safetensors.numpy import save_file

    tensors = {
        "embed.weight": np.arange(32, dtype=np.float32).reshape(4, 8),
        "norm.weight": np.ones(8, dtype=np.float16),
    }
    save_file(tensors, str(path), metadata={"format": "np", "source": "quillon sample"})


def write_onnx(path):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    weight = numpy_helper.from_array(np.arange(4, dtype=np.float32), name="w")
    node = helper.make_node("Add", ["x", "w"], ["y"])
    graph = helper.make_graph(
        [node],
        "quillon-sample",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [4])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [4])],
        [weight],
    )
    model = helper.make_model(graph, producer_name="quillon-sample",
                              opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    path.write_bytes(model.SerializeToString())


if __name__ == "__main__":
    write_gguf(HERE / "model.gguf")
    write_safetensors(HERE / "model.safetensors")
    write_onnx(HERE / "model.onnx")
    (HERE / "manifest.c2pa").write_bytes(sample_store())
    for name in ("model.gguf", "model.safetensors", "model.onnx", "manifest.c2pa"):
        print(f"{name}: {(HERE / name).stat().st_size} bytes")

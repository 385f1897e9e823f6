"""Model builders for the tests, the fuzz seeds, the samples and the
benchmarks: byte-exact GGUF, SafeTensors and ONNX models built by hand, the
standard store and URI, realistic models of any size, and large or sparse
models written straight to disk.

Standard library only (the realistic ONNX model alone needs the onnx
package), and not part of the wheel: the tests find it through pytest.ini's
`pythonpath`, the scripts by putting this folder on sys.path.
"""

from __future__ import annotations

import json
import os
import struct
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SAMPLES = ROOT / "samples"
STORE_KEY = "c2pa:manifest"
URI_KEY = "c2pa:manifest.uri"
URI = "https://example.com/m.c2pa"
MIB = 1 << 20
GIB = 1 << 30


def sample(name: str) -> bytes:
    """The bytes of a file in samples/ (model.gguf, manifest.c2pa, ...)."""
    return (SAMPLES / name).read_bytes()


def jumbf_box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def sample_store() -> bytes:
    """samples/manifest.c2pa: a JUMBF superbox labelled "c2pa" holding a short
    JSON text; not signed, which is all an opaque store needs to be."""
    description = jumbf_box(b"jumd", bytes(16) + b"\x03" + b"c2pa\0")  # type UUID, toggles, label
    content = jumbf_box(b"json", json.dumps({"note": "sample store, not signed"}).encode())
    return jumbf_box(b"jumb", description + content)


def make_store(size: int) -> bytes:
    """A store of `size` random-looking bytes, as certificates and signatures are."""
    return bytes((i * 40503 + (i >> 7)) & 0xFF for i in range(size))


def u32(value: int) -> bytes:
    return struct.pack("<I", value)


def u64(value: int) -> bytes:
    return struct.pack("<Q", value)


# --- GGUF ---------------------------------------------------------------------

# Value types of metadata entries.
UINT8, INT8, UINT16, INT16, UINT32, INT32, FLOAT32, BOOL, STRING, ARRAY, UINT64, INT64, FLOAT64 = range(13)
# Bytes of a value of each fixed-width type.
FIXED_WIDTH = {UINT8: 1, INT8: 1, BOOL: 1, UINT16: 2, INT16: 2, UINT32: 4, INT32: 4, FLOAT32: 4,
               UINT64: 8, INT64: 8, FLOAT64: 8}
GGML_F32, GGML_I8 = 0, 24  # tensor types
GGUF_ALIGNMENT = 32


def gguf_string(text: str | bytes) -> bytes:
    data = text.encode() if isinstance(text, str) else text
    return u64(len(data)) + data


def gguf_kv(key: str | bytes, type_code: int, value: bytes) -> bytes:
    """A metadata entry: key, value type and the encoded value."""
    return gguf_string(key) + u32(type_code) + value


def gguf_array(element_type: int, count: int, items: bytes) -> bytes:
    """The encoded value of an array (its entry's type is ARRAY)."""
    return u32(element_type) + u64(count) + items


def gguf_u32(key: str | bytes, value: int) -> bytes:
    return gguf_kv(key, UINT32, u32(value))


def gguf_str(key: str | bytes, text: str | bytes) -> bytes:
    return gguf_kv(key, STRING, gguf_string(text))


def gguf_store_kv(store: bytes, key: str | bytes = STORE_KEY) -> bytes:
    """An entry holding `store` as a UINT8 array, the way a store is embedded."""
    return gguf_kv(key, ARRAY, gguf_array(UINT8, len(store), store))


def gguf_uri_kv(uri: str | bytes) -> bytes:
    return gguf_str(URI_KEY, uri)


def gguf_tensor(name: str | bytes, dims, type_code: int = GGML_F32, offset: int = 0) -> bytes:
    """A tensor info: name, dimensions, tensor type, offset into the data."""
    return gguf_string(name) + u32(len(dims)) + b"".join(map(u64, dims)) + u32(type_code) + u64(offset)


def gguf_header(tensor_count: int, kv_count: int, version: int = 3) -> bytes:
    """The fixed header: magic, version and the two counts."""
    return b"GGUF" + u32(version) + u64(tensor_count) + u64(kv_count)


def gguf_head(kvs=(), tensors=(), version: int = 3) -> bytes:
    """Header, metadata and tensor infos, without the padding."""
    return gguf_header(len(tensors), len(kvs), version) + b"".join(kvs) + b"".join(tensors)


def gguf(kvs=(), tensors=(), data: bytes = b"", alignment: int = GGUF_ALIGNMENT, pad: bytes = b"\0",
         version: int = 3) -> bytes:
    """A GGUF file: the head, `pad` up to the alignment, the tensor data."""
    head = gguf_head(kvs, tensors, version)
    return head + pad * (-len(head) % alignment) + data


def gguf_with_tensor(size: int) -> bytes:
    """A GGUF file with one I8 tensor "t" of `size` bytes of 0x01 and no metadata."""
    return gguf(tensors=[gguf_tensor("t", [size], GGML_I8)], data=b"\x01" * size)


# --- SafeTensors ----------------------------------------------------------------


def safetensors(header: str | bytes | dict, data: bytes = b"") -> bytes:
    """A SafeTensors file: the header's length, the header, the tensor data.
    A dict is written as compact JSON."""
    if isinstance(header, dict):
        header = json.dumps(header, separators=(",", ":"))
    raw = header.encode() if isinstance(header, str) else header
    return u64(len(raw)) + raw + data


def safetensors_u8(data: bytes = b"\x00", name: str = "a") -> bytes:
    """A SafeTensors file holding one U8 tensor whose bytes are `data`."""
    return safetensors({name: {"dtype": "U8", "shape": [len(data)], "data_offsets": [0, len(data)]}}, data)


def safetensors_data_start(model: bytes) -> int:
    """The offset of the tensor data: 8 plus the header's length."""
    return 8 + struct.unpack_from("<Q", model)[0]


def safetensors_split(model: bytes) -> tuple[str, bytes]:
    """(header text, tensor data)."""
    start = safetensors_data_start(model)
    return model[8:start].decode(), model[start:]


# --- ONNX (protobuf) ---------------------------------------------------------------


def varint(value: int, padding: int = 0) -> bytes:
    """`value` as a varint, up to `padding` bytes longer than its minimal form
    (a varint never exceeds ten bytes)."""
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    padding = min(padding, 10 - len(out))
    if padding:
        out[-1] |= 0x80
        out += b"\x80" * (padding - 1) + b"\x00"
    return bytes(out)


def tag(number: int, wire_type: int, padding: int = 0) -> bytes:
    return varint(number << 3 | wire_type, padding)


def field(number: int, payload: bytes, padding=(0, 0)) -> bytes:
    """A length-delimited field; `padding` lengthens its tag and its length."""
    return tag(number, 2, padding[0]) + varint(len(payload), padding[1]) + payload


def field_head(number: int, payload_size: int) -> bytes:
    """The tag and length of a length-delimited field, for a payload written after it."""
    return tag(number, 2) + varint(payload_size)


def onnx_entry(key: str | bytes, value: str | bytes) -> bytes:
    """A metadata entry (field 14) with its key (1) and value (2)."""
    key = key.encode() if isinstance(key, str) else key
    value = value.encode() if isinstance(value, str) else value
    return field(14, field(1, key) + field(2, value))


def onnx(graph: bytes = b"") -> bytes:
    """An ONNX model: ir_version 7 (field 1) and a graph (field 7) of `graph`."""
    return b"\x08\x07" + field(7, graph)


def onnx_with_doc(size: int) -> bytes:
    """An ONNX model whose graph holds a doc string (field 10) of `size` bytes."""
    return onnx(field(10, b"d" * size))


# ir_version 7, a graph, a producer name; then an opset import.
ONNX_HEAD = b"\x08\x07" + field(7, b"\x0a\x01x") + field(2, b"tool")
ONNX_TAIL = field(8, b"\x08\x0d")

BUILDERS = {"GGUF": gguf, "SafeTensors": safetensors_u8, "ONNX": onnx}  # the smallest model of each format


# --- models on disk ----------------------------------------------------------------

BIG = 5 * GIB + 12345
MARKS = [0, 4 * GIB - 1, 4 * GIB, 4 * GIB + 7, BIG - 1]  # offsets into the tensor data of a sparse model


def large_safetensors(path, data_size: int):
    """A SafeTensors file whose one tensor is `data_size` bytes of real data
    (a whole number of MiB)."""
    with open(path, "wb") as out:
        out.write(safetensors({"a": {"dtype": "U8", "shape": [data_size], "data_offsets": [0, data_size]}}))
        chunk = bytes(range(256)) * (MIB // 256)
        for _ in range(data_size // MIB):
            out.write(chunk)
    return path


def write_sparse(path, head: bytes, size: int, marks) -> int:
    """`head`, then `size` bytes that are holes but for the byte 0x41 + i at
    each marks[i]; returns where the holes start."""
    with open(path, "wb") as out:
        out.write(head)
        out.truncate(len(head) + size)
        for i, mark in enumerate(marks):
            out.seek(len(head) + mark)
            out.write(bytes([0x41 + i]))
    return len(head)


def sparse_safetensors(path) -> int:
    """A sparse SafeTensors file with BIG bytes of tensor data, mostly holes,
    and marker bytes at MARKS."""
    head = safetensors(b'{"t":{"dtype":"U8","shape":[%d],"data_offsets":[0,%d]}}' % (BIG, BIG))
    return write_sparse(path, head, BIG, MARKS)


def sparse_gguf(path) -> int:
    """A sparse GGUF file with one F32 tensor of BIG // 4 elements, marked at
    all of MARKS but the last."""
    head = gguf(tensors=[gguf_tensor("t", [BIG // 4])])
    return write_sparse(path, head, BIG // 4 * 4, MARKS[:-1])


def sparse_onnx(path) -> int:
    """A sparse ONNX model whose graph field holds BIG bytes, so that the
    appended C2PA entries lie beyond 4 GiB."""
    return write_sparse(path, b"\x08\x07" + field_head(7, BIG), BIG, MARKS)


def make_collection(root: Path, count: int = 300) -> dict[str, bytes]:
    """A folder tree of `count` small models of every format, some carrying
    C2PA data, plus the broken files that it returns by relative name."""
    import quillon

    broken = {"broken/truncated.gguf": b"GGUF\x03\x00", "broken/noise.onnx": b"\xff" * 9,
              "broken/short.safetensors": b"\x01"}
    suffixes = {".gguf": gguf, ".onnx": onnx, ".safetensors": safetensors_u8}
    for i in range(count):
        suffix = sorted(suffixes)[i % 3]
        model = suffixes[suffix]()
        if i % 5 == 0:
            model = quillon.embed_manifest_remote(model, f"https://example.com/old/{i}")
        if i % 7 == 0:
            model = quillon.embed_manifest(model, b"old store %d" % i)
        path = root / f"team{i % 4}" / f"project{i % 11}" / f"model{i}{suffix}"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(model)
    for name, data in broken.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return broken


# --- realistic models of any size ------------------------------------------------------
# The metadata of a real model (a tokenizer-sized GGUF vocabulary, hundreds of
# SafeTensors entries, a graph of initializers) stays the same at every size;
# only the tensor data grows. The data is really written, not zero pages.


def tensor_bytes(n: int) -> bytes:
    """n bytes of incompressible-looking data."""
    block = bytes((i * 2654435761 >> 13) & 0xFF for i in range(1 << 16))
    whole, rest = divmod(n, len(block))
    return block * whole + block[:rest]


def vocabulary(count: int) -> list[bytes]:
    """Token texts shaped like a SentencePiece vocabulary, some non-ASCII."""
    tokens = [b"<unk>", b"<s>", b"</s>"] + [f"<0x{i:02X}>".encode() for i in range(256)]
    syllables = ["an", "er", "in", "on", "th", "re", "st", "ing", "ed", "ou", "é", "ß", "中", "л"]
    i = 0
    while len(tokens) < count:
        word, j = [], i
        while True:
            word.append(syllables[j % len(syllables)])
            j //= len(syllables)
            if j == 0:
                break
        tokens.append((("\u2581" if i % 3 == 0 else "") + "".join(word)).encode())
        i += 1
    return tokens[:count]


def gguf_tokens(tokens: list[bytes]) -> bytes:
    return gguf_kv("tokenizer.ggml.tokens", ARRAY, gguf_array(STRING, len(tokens), b"".join(map(gguf_string, tokens))))


CHAT_TEMPLATE = (
    "{% for message in messages %}{% if message['role'] == 'user' %}"
    "{{ '[INST] ' + message['content'] + ' [/INST]' }}{% else %}"
    "{{ message['content'] + eos_token }}{% endif %}{% endfor %}"
) * 8


def realistic_gguf(size: int, vocab: int) -> bytes:
    """A llama-shaped GGUF model of about `size` bytes with a vocabulary of `vocab` tokens."""
    kvs = [
        gguf_str("general.architecture", "llama"),
        gguf_str("general.name", "bench-model"),
        gguf_u32("general.file_type", 0),
        gguf_u32("llama.context_length", 4096),
        gguf_u32("llama.embedding_length", 256),
        gguf_u32("llama.block_count", 32),
        gguf_u32("llama.feed_forward_length", 11008),
        gguf_u32("llama.attention.head_count", 32),
        gguf_kv("llama.attention.layer_norm_rms_epsilon", FLOAT32, struct.pack("<f", 1e-5)),
        gguf_str("tokenizer.ggml.model", "llama"),
        gguf_tokens(vocabulary(vocab)),
        gguf_kv("tokenizer.ggml.scores", ARRAY,
                gguf_array(FLOAT32, vocab, struct.pack(f"<{vocab}f", *(-float(i) for i in range(vocab))))),
        gguf_kv("tokenizer.ggml.token_type", ARRAY,
                gguf_array(INT32, vocab, struct.pack(f"<{vocab}i", *([3] * 3 + [6] * 256 + [1] * (vocab - 259))))),
        gguf_u32("tokenizer.ggml.bos_token_id", 1),
        gguf_u32("tokenizer.ggml.eos_token_id", 2),
        gguf_str("tokenizer.chat_template", CHAT_TEMPLATE),
    ]
    # One normalisation vector per block and the embedding matrix, which takes
    # whatever is left of the size.
    width = 256
    small = [(f"blk.{i}.attn_norm.weight", [width]) for i in range(32)]
    metadata_bytes = 24 + sum(map(len, kvs)) + 2048
    rows = max(1, (size - metadata_bytes - len(small) * width * 4) // (width * 4))
    infos, offset = [], 0
    for name, shape in [("token_embd.weight", [width, rows])] + small:
        infos.append(gguf_tensor(name, shape, GGML_F32, offset))
        nbytes = 4
        for d in shape:
            nbytes *= d
        offset += -(-nbytes // GGUF_ALIGNMENT) * GGUF_ALIGNMENT
    return gguf(kvs, infos, tensor_bytes(offset))


SAFETENSORS_LAYER = (
    ("self_attn.q_proj.weight", [16, 16]),
    ("self_attn.k_proj.weight", [16, 16]),
    ("self_attn.v_proj.weight", [16, 16]),
    ("self_attn.o_proj.weight", [16, 16]),
    ("mlp.gate_proj.weight", [16, 16]),
    ("mlp.up_proj.weight", [16, 16]),
    ("mlp.down_proj.weight", [16, 16]),
    ("input_layernorm.weight", [16]),
    ("post_attention_layernorm.weight", [16]),
)


def realistic_safetensors(size: int) -> bytes:
    """A llama-shaped F16 SafeTensors model of about `size` bytes, 290 tensors."""
    entries = [(f"model.layers.{layer}.{suffix}", shape) for layer in range(32) for suffix, shape in SAFETENSORS_LAYER]
    entries.append(("model.norm.weight", [16]))
    small = sum(2 * (s[0] * (s[1] if len(s) > 1 else 1)) for _, s in entries)
    width = 256
    rows = max(1, (size - small - 64 * 1024) // (width * 2))
    entries.insert(0, ("model.embed_tokens.weight", [rows, width]))
    header: dict = {"__metadata__": {"format": "pt", "model_type": "llama", "torch_dtype": "float16"}}
    offset = 0
    for name, shape in entries:
        n = 2
        for d in shape:
            n *= d
        header[name] = {"dtype": "F16", "shape": shape, "data_offsets": [offset, offset + n]}
        offset += n
    text = json.dumps(header, separators=(",", ":")).encode()
    return safetensors(text + b" " * (-len(text) % 8), tensor_bytes(offset))


def hostile_safetensors(header_size: int) -> bytes:
    """A SafeTensors file with a store whose header of `header_size` bytes is
    nearly all balanced nested arrays: [[[...]]], as deep as it is long."""
    head = b'{"__metadata__":{"c2pa:manifest":"Zm9v"},"a":'
    depth = (header_size - len(head) - 1) // 2
    return safetensors(head + b"[" * depth + b"]" * depth + b"}", tensor_bytes(64))


def realistic_onnx(size: int) -> bytes:
    """An ONNX model of about `size` bytes: an embedding and 24 MatMul/Relu
    layers over initializers, written with onnx.helper."""
    import onnx
    from onnx import TensorProto, helper

    width, layers = 64, 24
    rows = max(1, (size - layers * width * width * 4) // (width * 4))
    raw = tensor_bytes(rows * width * 4)
    embedding = helper.make_tensor("embedding.weight", TensorProto.FLOAT, [rows, width], raw, raw=True)
    del raw
    initializers = [embedding]
    nodes = [helper.make_node("Gather", ["embedding.weight", "ids"], ["h0"], name="embed")]
    small = tensor_bytes(width * width * 4)
    for i in range(layers):
        initializers.append(helper.make_tensor(f"layer{i}.weight", TensorProto.FLOAT, [width, width], small, raw=True))
        nodes.append(helper.make_node("MatMul", [f"h{i}", f"layer{i}.weight"], [f"m{i}"], name=f"matmul{i}"))
        nodes.append(helper.make_node("Relu", [f"m{i}"], [f"h{i + 1}"], name=f"relu{i}"))
    graph = helper.make_graph(
        nodes,
        "bench",
        [helper.make_tensor_value_info("ids", TensorProto.INT64, ["batch", "seq"])],
        [helper.make_tensor_value_info(f"h{layers}", TensorProto.FLOAT, ["batch", "seq", width])],
        initializers,
    )
    del initializers, embedding
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="bench")
    del graph
    model.ir_version = 8
    helper.set_model_props(model, {"author": "bench", "license": "apache-2.0"})
    data = model.SerializeToString()
    del model
    if len(data) < 8 * MIB:  # the checker copies the model; small ones are enough to prove it valid
        onnx.checker.check_model(onnx.load_from_string(data))
    return data


def realistic_model(fmt: str, size: int, vocab: int) -> bytes:
    if fmt == "gguf":
        return realistic_gguf(size, vocab)
    if fmt == "safetensors":
        return realistic_safetensors(size)
    return realistic_onnx(size)


def write_random(out, size: int, chunk: int = 64 * MIB) -> None:
    """`size` bytes of random data, written a chunk at a time."""
    block = os.urandom(min(chunk, size))
    while size > 0:
        n = min(size, chunk)
        out.write(memoryview(block)[:n])
        size -= n


def write_realistic_gguf(path, size: int, vocab: int = 32000) -> None:
    """A GGUF file with a vocabulary and one F32 tensor of `size` bytes."""
    count = size // 4
    kvs = [gguf_str("general.architecture", "llama"), gguf_tokens(vocabulary(vocab))]
    with open(path, "wb") as out:
        out.write(gguf(kvs, [gguf_tensor("weight", [count])]))
        write_random(out, count * 4)


def write_realistic_safetensors(path, size: int, tensors: int = 290) -> None:
    """A SafeTensors file with `tensors` small entries and one large tensor."""
    header = {"__metadata__": {"format": "pt"}}
    offset = 0
    for i in range(tensors):
        header[f"model.layers.{i}.norm.weight"] = {"dtype": "F32", "shape": [16], "data_offsets": [offset, offset + 64]}
        offset += 64
    big = size - offset
    header["weight"] = {"dtype": "U8", "shape": [big], "data_offsets": [offset, offset + big]}
    text = json.dumps(header, separators=(",", ":")).encode()
    with open(path, "wb") as out:
        out.write(safetensors(text + b" " * (-len(text) % 8)))
        write_random(out, offset + big)


def write_realistic_onnx(path, size: int) -> None:
    """ModelProto{ir_version 8, opset 17, graph{initializer "weight", UINT8
    raw_data of `size` bytes, and that as the output}}."""
    tensor_head = b"\x08" + varint(size) + b"\x10\x02" + field(8, b"weight")
    tensor_size = len(tensor_head) + len(field_head(9, size)) + size
    dim = b"\x08" + varint(size)
    tensor_type = b"\x08\x02" + field(2, field(1, dim))
    value_info = field(1, b"weight") + field(2, field(1, tensor_type))
    graph_head = field(2, b"bench") + field_head(5, tensor_size)
    graph_tail = field(12, value_info)
    graph_size = len(graph_head) + tensor_size + len(graph_tail)
    with open(path, "wb") as out:
        out.write(b"\x08\x08" + field(8, b"\x10\x11") + field_head(7, graph_size) + graph_head + tensor_head)
        out.write(field_head(9, size))
        write_random(out, size)
        out.write(graph_tail)


REALISTIC_WRITERS = {"gguf": write_realistic_gguf, "safetensors": write_realistic_safetensors,
                     "onnx": write_realistic_onnx}

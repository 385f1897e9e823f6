#!/usr/bin/env python3
"""Benchmark quillon against the memory-copy floor and against the peers.

For each format (GGUF, SafeTensors, ONNX) and each size the script builds a
valid model in memory: a few large tensors plus realistic metadata (a
tokenizer-sized GGUF vocabulary, a SafeTensors header with hundreds of tensor
entries, an ONNX graph with a large initializer). The metadata is the same at
every size, only the tensor data grows, so a read that does not depend on the
tensor data costs the same at 1 MiB and at 1 GiB.

It then times, as the median of several runs:

  floor      model + b"\\0": one allocation and one copy of the whole model
  embed      embed_manifest(model, store)
  both       embed_manifest_both(model, uri, store)
  remove     remove_manifest(stamped)
  read       read_manifest(stamped), read_manifest_uri(stamped),
             detect_format(stamped)
  peer       the same job as `both` done by the format's own Python package

and, in a fresh process per case, the peak resident memory of each operation.
The results go to a Markdown file and (when matplotlib is installed) a chart.

    pip install . && python bench/bench.py
    python bench/bench.py --sizes 1M,64M --runs 3 --formats gguf
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import gc
import json
import os
import platform
import resource
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

try:
    import quillon
except ImportError:
    sys.exit("bench.py needs the quillon module: run `pip install .` first (or set PYTHONPATH to a build directory)")

FORMATS = ("gguf", "safetensors", "onnx")
FORMAT_NAMES = {"gguf": "GGUF", "safetensors": "SafeTensors", "onnx": "ONNX"}
URI = "https://example.com/manifests/model.c2pa"
MIB = 1 << 20
GIB = 1 << 30

# Timed operations that produce a whole new model, compared with the floor.
REWRITES = ("embed", "both", "remove")
# Timed operations that only read metadata, reported in absolute time.
READS = ("read", "read_uri", "detect")
# Memory cases, each measured in its own process.
MEMORY_OPS = ("floor", "embed", "both", "remove", "read", "peer")

# Goals checked at the end of a run.
THP_REWRITE_GOAL = 0.5      # rewrite / floor at 1 GiB when THP is madvise or always
PLAIN_REWRITE_GOAL = 1.05   # the same without transparent huge pages
READ_SCALING_GOAL = 1.5     # read time at the largest size / at the smallest
READ_ABSOLUTE_GOAL = 1e-3   # seconds, GGUF and SafeTensors
EMBED_EXTRA_GOAL = 32 * MIB  # peak beyond input + output
PEER_SPEEDUP_GOAL = 5.0
HOSTILE_EXTRA_GOAL = 8 * MIB  # peak beyond input + output + new header, hostile SafeTensors header
# Operations on the hostile SafeTensors header, each in its own process.
HOSTILE_OPS = ("read", "read_uri", "embed", "remove")


# --------------------------------------------------------------------------
# Sizes and machine description


def parse_size(text: str) -> int:
    units = {"K": 1 << 10, "M": MIB, "G": GIB}
    text = text.strip().upper().removesuffix("IB").removesuffix("B")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def size_label(n: int) -> str:
    for unit, scale in (("G", GIB), ("M", MIB), ("K", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}"
    for unit, scale in (("G", GIB), ("M", MIB), ("K", 1 << 10)):
        if n >= scale:
            return f"{n / scale:.1f}{unit}"
    return str(n)


def read_text(path: str) -> str:
    try:
        return Path(path).read_text().strip()
    except OSError:
        return "unknown"


def cpu_model() -> str:
    for line in read_text("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def memory_total() -> str:
    for line in read_text("/proc/meminfo").splitlines():
        if line.startswith("MemTotal:"):
            return f"{int(line.split()[1]) / (1 << 20):.1f} GiB"
    return "unknown"


def thp_mode() -> str:
    text = read_text("/sys/kernel/mm/transparent_hugepage/enabled")
    for word in text.split():
        if word.startswith("["):
            return word.strip("[]")
    return "unavailable"


def bracketed(text: str) -> str:
    for word in text.split():
        if word.startswith("["):
            return word.strip("[]")
    return text


def page_reporting() -> str:
    """Whether freed guest memory is handed back to a hypervisor, which then
    has to fault it in again on the next use (a cost of large allocations)."""
    order = None
    for word in read_text("/proc/cmdline").split():
        if word.startswith("page_reporting.page_reporting_order="):
            order = int(word.split("=", 1)[1])
    balloon = any(read_text(f"{d}/device") == "0x0005" for d in map(str, Path("/sys/bus/virtio/devices").glob("*")))
    if not balloon:
        return "no"
    return f"balloon present; reporting order {order} ({(4096 << order) // MIB} MiB blocks)" if order else "balloon present"


def package_version(name: str) -> str:
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:  # noqa: BLE001 - a missing package is reported, not fatal
        return "not installed"


def quillon_version() -> str:
    """The installed version, or the source revision of a build-tree module."""
    module = Path(quillon.__file__)
    version = package_version("quillon")
    if version != "not installed" and "site-packages" in str(module):
        return version
    repo = Path(__file__).resolve().parent.parent
    try:
        head = subprocess.run(["git", "-C", str(repo), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(repo), "status", "--porcelain", "--", "src"], capture_output=True,
                               text=True, check=True).stdout.strip()
        return f"source {head}{' + local changes in src/' if dirty else ''} ({module.parent.name}/{module.name})"
    except (OSError, subprocess.CalledProcessError):
        return f"{version} ({module})"


def machine_info() -> dict[str, str]:
    return {
        "CPU": cpu_model(),
        "Cores": str(os.cpu_count()),
        "Memory": memory_total(),
        "Kernel": platform.release(),
        "Transparent huge pages": thp_mode(),
        "THP defrag": bracketed(read_text("/sys/kernel/mm/transparent_hugepage/defrag")),
        "Free page reporting (virtio-balloon)": page_reporting(),
        "Load average (1, 5, 15 min) at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "Python": platform.python_version(),
        "quillon": quillon_version(),
        "gguf": package_version("gguf"),
        "safetensors": package_version("safetensors"),
        "onnx": package_version("onnx"),
        "numpy": package_version("numpy"),
    }


# --------------------------------------------------------------------------
# Model builders. Each returns the complete file as one `bytes` object whose
# tensor data is really written (not lazily zero-mapped pages).


def tensor_bytes(n: int) -> bytes:
    """n bytes of incompressible-looking data, touched page by page."""
    block = bytes((i * 2654435761 >> 13) & 0xFF for i in range(1 << 16))
    whole, rest = divmod(n, len(block))
    return block * whole + block[:rest]


def vocabulary(count: int) -> list[bytes]:
    """Token texts shaped like a SentencePiece vocabulary, some non-ASCII."""
    specials = [b"<unk>", b"<s>", b"</s>"]
    tokens = specials + [f"<0x{i:02X}>".encode() for i in range(256)]
    syllables = ["an", "er", "in", "on", "th", "re", "st", "ing", "ed", "ou", "é", "ß", "中", "л"]
    i = 0
    while len(tokens) < count:
        word, j = [], i
        while True:
            word.append(syllables[j % len(syllables)])
            j //= len(syllables)
            if j == 0:
                break
        prefix = "\u2581" if i % 3 == 0 else ""
        tokens.append((prefix + "".join(word)).encode())
        i += 1
    return tokens[:count]


def gguf_str(data: bytes) -> bytes:
    return struct.pack("<Q", len(data)) + data


def gguf_kv(key: str, type_code: int, value: bytes) -> bytes:
    return gguf_str(key.encode()) + struct.pack("<I", type_code) + value


GGUF_U32, GGUF_F32, GGUF_STRING, GGUF_ARRAY, GGUF_I32 = 4, 6, 8, 9, 5
GGML_F32 = 0
GGUF_ALIGNMENT = 32
CHAT_TEMPLATE = (
    "{% for message in messages %}{% if message['role'] == 'user' %}"
    "{{ '[INST] ' + message['content'] + ' [/INST]' }}{% else %}"
    "{{ message['content'] + eos_token }}{% endif %}{% endfor %}"
) * 8


def build_gguf(size: int, vocab: int) -> bytes:
    tokens = vocabulary(vocab)
    kvs = [
        gguf_kv("general.architecture", GGUF_STRING, gguf_str(b"llama")),
        gguf_kv("general.name", GGUF_STRING, gguf_str(b"bench-model")),
        gguf_kv("general.file_type", GGUF_U32, struct.pack("<I", 0)),
        gguf_kv("llama.context_length", GGUF_U32, struct.pack("<I", 4096)),
        gguf_kv("llama.embedding_length", GGUF_U32, struct.pack("<I", 256)),
        gguf_kv("llama.block_count", GGUF_U32, struct.pack("<I", 32)),
        gguf_kv("llama.feed_forward_length", GGUF_U32, struct.pack("<I", 11008)),
        gguf_kv("llama.attention.head_count", GGUF_U32, struct.pack("<I", 32)),
        gguf_kv("llama.attention.layer_norm_rms_epsilon", GGUF_F32, struct.pack("<f", 1e-5)),
        gguf_kv("tokenizer.ggml.model", GGUF_STRING, gguf_str(b"llama")),
        gguf_kv(
            "tokenizer.ggml.tokens",
            GGUF_ARRAY,
            struct.pack("<IQ", GGUF_STRING, len(tokens)) + b"".join(gguf_str(t) for t in tokens),
        ),
        gguf_kv(
            "tokenizer.ggml.scores",
            GGUF_ARRAY,
            struct.pack("<IQ", GGUF_F32, vocab) + struct.pack(f"<{vocab}f", *(-float(i) for i in range(vocab))),
        ),
        gguf_kv(
            "tokenizer.ggml.token_type",
            GGUF_ARRAY,
            struct.pack("<IQ", GGUF_I32, vocab) + struct.pack(f"<{vocab}i", *([3] * 3 + [6] * 256 + [1] * (vocab - 259))),
        ),
        gguf_kv("tokenizer.ggml.bos_token_id", GGUF_U32, struct.pack("<I", 1)),
        gguf_kv("tokenizer.ggml.eos_token_id", GGUF_U32, struct.pack("<I", 2)),
        gguf_kv("tokenizer.chat_template", GGUF_STRING, gguf_str(CHAT_TEMPLATE.encode())),
    ]
    # One normalisation vector per block and the embedding matrix, which takes
    # whatever is left of the size.
    width = 256
    small = [(f"blk.{i}.attn_norm.weight", [width]) for i in range(32)]
    small_bytes = len(small) * width * 4
    metadata_bytes = 24 + sum(map(len, kvs)) + 2048
    rows = max(1, (size - metadata_bytes - small_bytes) // (width * 4))
    tensors = [("token_embd.weight", [width, rows])] + small
    infos, offset, sizes = [], 0, []
    for name, shape in tensors:
        nbytes = 4
        for d in shape:
            nbytes *= d
        infos.append(
            gguf_str(name.encode())
            + struct.pack("<I", len(shape))
            + struct.pack(f"<{len(shape)}Q", *shape)
            + struct.pack("<IQ", GGML_F32, offset)
        )
        sizes.append(nbytes)
        offset += -(-nbytes // GGUF_ALIGNMENT) * GGUF_ALIGNMENT
    head = struct.pack("<4sIQQ", b"GGUF", 3, len(tensors), len(kvs)) + b"".join(kvs) + b"".join(infos)
    head += bytes(-len(head) % GGUF_ALIGNMENT)
    data = tensor_bytes(offset)
    model = head + data
    del data
    return model


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


def build_safetensors(size: int) -> bytes:
    entries = []  # (name, dtype, shape, itemsize)
    for layer in range(32):
        for suffix, shape in SAFETENSORS_LAYER:
            entries.append((f"model.layers.{layer}.{suffix}", "F16", shape, 2))
    entries.append(("model.norm.weight", "F16", [16], 2))
    small = sum(2 * (s[0] * (s[1] if len(s) > 1 else 1)) for _, _, s, _ in entries)
    width = 256
    rows = max(1, (size - small - 64 * 1024) // (width * 2))
    entries.insert(0, ("model.embed_tokens.weight", "F16", [rows, width], 2))
    header: dict = {"__metadata__": {"format": "pt", "model_type": "llama", "torch_dtype": "float16"}}
    offset = 0
    for name, dtype, shape, itemsize in entries:
        n = itemsize
        for d in shape:
            n *= d
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [offset, offset + n]}
        offset += n
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)
    data = tensor_bytes(offset)
    model = struct.pack("<Q", len(text)) + text + data
    del data
    return model


def build_hostile_safetensors(header_size: int) -> bytes:
    """A SafeTensors file with a store whose header of `header_size` bytes is
    nearly all balanced nested arrays: [[[...]]], as deep as it is long."""
    head = b'{"__metadata__":{"c2pa:manifest":"Zm9v"},"a":'
    depth = (header_size - len(head) - 1) // 2
    header = head + b"[" * depth + b"]" * depth + b"}"
    return struct.pack("<Q", len(header)) + header + tensor_bytes(64)


def build_onnx(size: int) -> bytes:
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


def build_model(fmt: str, size: int, vocab: int) -> bytes:
    if fmt == "gguf":
        return build_gguf(size, vocab)
    if fmt == "safetensors":
        return build_safetensors(size)
    return build_onnx(size)


def make_store(size: int) -> bytes:
    # A manifest store is mostly certificates and signatures: random-looking.
    return bytes((i * 40503 + (i >> 7)) & 0xFF for i in range(size))


# --------------------------------------------------------------------------
# Peers: the same job as embed_manifest_both, done by each format's package.


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


# --------------------------------------------------------------------------
# The operations, as zero-argument calls over prepared inputs.


@dataclass
class Inputs:
    model: bytes
    stamped: bytes
    store: bytes
    uri: str
    scratch: str


def operation(op: str, fmt: str, inp: Inputs):
    if op == "floor":
        return lambda: inp.model + b"\0"
    if op == "embed":
        return lambda: quillon.embed_manifest(inp.model, inp.store)
    if op == "both":
        return lambda: quillon.embed_manifest_both(inp.model, inp.uri, inp.store)
    if op == "remove":
        return lambda: quillon.remove_manifest(inp.stamped)
    if op == "read":
        return lambda: quillon.read_manifest(inp.stamped)
    if op == "read_uri":
        return lambda: quillon.read_manifest_uri(inp.stamped)
    if op == "detect":
        return lambda: quillon.detect_format(inp.stamped)
    if op == "peer":
        peer = PEERS[fmt]
        return lambda: peer(inp.model, inp.store, inp.uri, inp.scratch)
    raise ValueError(op)


def timed_samples(call, runs: int, min_batch_seconds: float = 0.02) -> list[float]:
    """Seconds per call, one sample per run, sorted. Fast calls are batched so
    one sample lasts at least `min_batch_seconds`; each result is dropped
    before the next call. The first call is a warm-up and is not counted."""
    gc.collect()
    start = time.perf_counter()
    call()
    first = time.perf_counter() - start
    batch = 1 if first >= min_batch_seconds else max(1, int(min_batch_seconds / max(first, 1e-7)))
    samples = []
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(runs):
            start = time.perf_counter()
            for _ in range(batch):
                call()
            samples.append((time.perf_counter() - start) / batch)
    finally:
        if was_enabled:
            gc.enable()
    return sorted(samples)


# --------------------------------------------------------------------------
# Peak memory, one fresh process per case.


def maxrss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child_main(args: argparse.Namespace) -> None:
    """Runs one memory case and prints its figures as JSON."""
    fmt, op = args.child_format, args.child_op
    # Import everything an operation may need before the baseline is taken.
    import numpy  # noqa: F401

    if op == "peer":
        import gguf  # noqa: F401
        import onnx  # noqa: F401
        import safetensors.numpy  # noqa: F401
    store = make_store(args.store_size)
    # ru_maxrss survives exec: this process reports the high-water mark of the
    # benchmark that spawned it. A forked process starts a new count from the
    # forker's current size, so the case runs in a fork of this small process.
    pid = os.fork()
    if pid:
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    try:
        run_child_case(args, fmt, op, store)
    except BaseException:
        import traceback

        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)
    sys.stdout.flush()
    os._exit(0)


def run_child_case(args: argparse.Namespace, fmt: str, op: str, store: bytes) -> None:
    gc.collect()
    baseline = maxrss_bytes()
    # FileIO.readall sizes the bytes object from fstat: one buffer, no growth.
    path = args.child_stamped if op in ("remove", "read") else args.child_model
    with open(path, "rb") as f:
        model = f.read()
    loaded = maxrss_bytes()
    inp = Inputs(model, model, store, URI, args.child_scratch)
    result = operation(op, fmt, inp)()
    peak = maxrss_bytes()
    if isinstance(result, (bytes, bytearray)):
        output = len(result)
    else:
        output = 0  # a file on tmpfs (the gguf peer), or a count
    # A SafeTensors rewrite builds its new header before it copies the file.
    header = struct.unpack_from("<Q", result)[0] if fmt == "safetensors" and op in REWRITES else 0
    print(json.dumps({"baseline": baseline, "loaded": loaded, "peak": peak, "input": len(model), "output": output,
                      "header": header}))


def measure_memory(fmt: str, op: str, model_path: str, stamped_path: str, args, scratch: str) -> dict | None:
    command = [
        sys.executable, os.path.abspath(__file__), "--child-format", fmt, "--child-op", op,
        "--child-model", model_path, "--child-stamped", stamped_path, "--child-scratch", scratch,
        "--store-size", str(args.store_size),
    ]
    proc = subprocess.run(command, capture_output=True, text=True, env=os.environ.copy())
    with contextlib.suppress(FileNotFoundError):
        os.unlink(scratch)
    if proc.returncode != 0:
        print(f"  memory case {fmt}/{op} failed: {proc.stderr.strip()[-400:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# The run


@dataclass
class Case:
    fmt: str
    size: int  # the model's real size in bytes
    nominal: int
    metadata: int = 0  # bytes before the tensor data
    times: dict[str, float] = field(default_factory=dict)  # medians
    samples: dict[str, list[float]] = field(default_factory=dict)
    peer_note: str = ""
    memory: dict[str, dict] = field(default_factory=dict)


def metadata_size(fmt: str, model: bytes) -> int:
    """Bytes in front of the tensor data (GGUF, SafeTensors)."""
    if fmt == "safetensors":
        return 8 + struct.unpack_from("<Q", model)[0]
    # The tensor data starts with the embedding, whose bytes open with this.
    return model.find(tensor_bytes(64))


def check_round_trip(fmt: str, inp: Inputs) -> None:
    assert quillon.detect_format(inp.model) == FORMAT_NAMES[fmt]
    assert quillon.read_manifest(inp.stamped) == inp.store
    assert quillon.read_manifest_uri(inp.stamped) == inp.uri
    assert quillon.remove_manifest(inp.stamped) is not None


def scratch_dir(largest: int) -> str:
    """tmpfs keeps the scratch files off the disk; containers often give it
    only a few MiB, so fall back to the temporary directory."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and shutil.disk_usage(shm).free > 3 * largest + GIB:
        return shm
    return tempfile.gettempdir()


def run_case(fmt: str, nominal: int, args) -> Case:
    t0 = time.perf_counter()
    model = build_model(fmt, nominal, args.vocab)
    store = make_store(args.store_size)
    stamped = quillon.embed_manifest_both(model, URI, store)
    case = Case(fmt, len(model), nominal)
    if fmt != "onnx":
        case.metadata = metadata_size(fmt, stamped)
    scratch = os.path.join(args.scratch_dir, f"quillon-bench-{os.getpid()}.out")
    inp = Inputs(model, stamped, store, URI, scratch)
    check_round_trip(fmt, inp)
    print(f"{FORMAT_NAMES[fmt]} {size_label(nominal)}: built {len(model):,} bytes in {time.perf_counter() - t0:.1f} s",
          flush=True)

    big = nominal >= 256 * MIB
    runs = args.runs
    for op in ("floor",) + REWRITES + READS:
        case.samples[op] = timed_samples(operation(op, fmt, inp), runs)
    if args.peers and nominal <= args.peer_limit:
        peer_runs = max(1, min(runs, 3)) if big else runs
        case.samples["peer"] = timed_samples(operation("peer", fmt, inp), peer_runs, min_batch_seconds=0)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(scratch)
        result = operation("peer", fmt, inp)() if nominal <= 2 * MIB else None
        if isinstance(result, bytes):
            # The peer's output must carry the same C2PA data for quillon.
            assert quillon.read_manifest(result) == store and quillon.read_manifest_uri(result) == URI
        elif result is not None:
            with open(scratch, "rb") as f:
                out = f.read()
            assert quillon.read_manifest(out) == store and quillon.read_manifest_uri(out) == URI
        with contextlib.suppress(FileNotFoundError):
            os.unlink(scratch)
    elif args.peers:
        case.peer_note = f"skipped above {size_label(args.peer_limit)}"
    case.times = {op: statistics.median(samples) for op, samples in case.samples.items()}
    print("  " + "  ".join(f"{op}={format_seconds(t)}" for op, t in case.times.items()), flush=True)

    if args.memory:
        model_path = os.path.join(args.scratch_dir, f"quillon-bench-{os.getpid()}-model")
        stamped_path = model_path + "-stamped"
        with open(model_path, "wb") as f:
            f.write(model)
        with open(stamped_path, "wb") as f:
            f.write(stamped)
        del model, stamped, inp
        gc.collect()
        try:
            for op in MEMORY_OPS:
                if op == "peer" and "peer" not in case.times:
                    continue
                figures = measure_memory(fmt, op, model_path, stamped_path, args, scratch)
                if figures:
                    case.memory[op] = figures
        finally:
            for path in (model_path, stamped_path):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)
        print("  peak/model: " + "  ".join(
            f"{op}={m['peak'] / case.size:.2f}x" for op, m in case.memory.items()), flush=True)
    return case


def big_vocab_reads(args) -> Case:
    """GGUF reads with a large (Qwen-sized) vocabulary: a 4 MiB metadata block."""
    size = 16 * MIB
    model = build_gguf(size, args.big_vocab)
    store = make_store(args.store_size)
    stamped = quillon.embed_manifest_both(model, URI, store)
    case = Case("gguf", len(model), size, metadata_size("gguf", stamped))
    inp = Inputs(model, stamped, store, URI, "")
    check_round_trip("gguf", inp)
    for op in READS:
        case.samples[op] = timed_samples(operation(op, "gguf", inp), args.runs)
    case.times = {op: statistics.median(samples) for op, samples in case.samples.items()}
    print(f"GGUF {size_label(size)} with {args.big_vocab:,} tokens: "
          + "  ".join(f"{op}={format_seconds(t)}" for op, t in case.times.items()), flush=True)
    return case


def hostile_memory(args) -> dict[str, dict]:
    """Peak memory of each operation on a SafeTensors header of nested
    brackets, the shape that costs a tree builder most per byte."""
    model = build_hostile_safetensors(args.hostile_header)
    model_path = os.path.join(args.scratch_dir, f"quillon-bench-{os.getpid()}-hostile")
    with open(model_path, "wb") as f:
        f.write(model)
    del model
    figures = {}
    try:
        for op in HOSTILE_OPS:
            t0 = time.perf_counter()
            m = measure_memory("safetensors", op, model_path, model_path, args, "")
            if m:
                m["seconds"] = time.perf_counter() - t0
                figures[op] = m
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(model_path)
    print(f"SafeTensors, {args.hostile_header / 1e6:.0f} MB header of nested brackets: " + "  ".join(
        f"{op}={hostile_extra(m) / MIB:+.1f} MiB" for op, m in figures.items()), flush=True)
    return figures


# --------------------------------------------------------------------------
# Reporting


def format_seconds(t: float) -> str:
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.1f} ms"
    return f"{t * 1e6:.1f} µs"


def extra_beyond(m: dict) -> int:
    """Peak RSS beyond the interpreter (measured before the model existed),
    the input model and the output."""
    return m["peak"] - m["baseline"] - m["input"] - m["output"]


def hostile_extra(m: dict) -> int:
    """Peak RSS beyond the interpreter, the input, the output and the new
    header that a rewrite builds before it copies the file."""
    return extra_beyond(m) - m.get("header", 0)


def rewrite_goal(thp: str) -> float:
    return THP_REWRITE_GOAL if thp in ("madvise", "always") else PLAIN_REWRITE_GOAL


def goals(cases: list[Case], thp: str) -> list[tuple[str, bool, str]]:
    out = []
    by_format: dict[str, list[Case]] = {}
    for c in cases:
        by_format.setdefault(c.fmt, []).append(c)
    limit = rewrite_goal(thp)
    for fmt, fcases in by_format.items():
        name = FORMAT_NAMES[fmt]
        smallest = min(fcases, key=lambda c: c.nominal)
        largest = max(fcases, key=lambda c: c.nominal)
        if largest.nominal >= GIB:
            for op in REWRITES:
                ratio = largest.times[op] / largest.times["floor"]
                out.append((f"{name} {op} at {size_label(largest.nominal)} ≤ {limit}× floor (THP {thp})",
                            ratio <= limit, f"{ratio:.2f}×"))
        if largest is not smallest:
            for op in READS:
                ratio = largest.times[op] / smallest.times[op]
                out.append((f"{name} {op} at {size_label(largest.nominal)} ≤ {READ_SCALING_GOAL}× its time at "
                            f"{size_label(smallest.nominal)}", ratio <= READ_SCALING_GOAL, f"{ratio:.2f}×"))
        if fmt in ("gguf", "safetensors"):
            worst = max(c.times[op] for c in fcases for op in ("read", "read_uri"))
            out.append((f"{name} reads under 1 ms (metadata {fcases[0].metadata / 1024:.0f} KiB)",
                        worst < READ_ABSOLUTE_GOAL, format_seconds(worst)))
        if largest.nominal >= GIB and "embed" in largest.memory:
            extra = extra_beyond(largest.memory["embed"])
            out.append((f"{name} embed peak at {size_label(largest.nominal)} ≤ input + output + 32 MiB",
                        extra <= EMBED_EXTRA_GOAL, f"{extra / MIB:+.1f} MiB"))
        for c in fcases:
            if "peer" in c.times:
                speedup = c.times["peer"] / c.times["both"]
                out.append((f"{name} peer ≥ {PEER_SPEEDUP_GOAL:.0f}× slower at {size_label(c.nominal)}",
                            speedup >= PEER_SPEEDUP_GOAL, f"{speedup:.1f}×"))
    return out


def markdown(cases: list[Case], info: dict[str, str], args, command: str, big_vocab: Case | None = None,
             hostile: dict[str, dict] | None = None) -> str:
    thp = info["Transparent huge pages"]
    lines = ["# quillon benchmark", "", f"Command: `{command}`", ""]
    lines += ["| Machine | |", "|---|---|"] + [f"| {k} | {v} |" for k, v in info.items()] + [""]
    lines += [
        f"Median of {args.runs} runs (peers at ≥ 256 MiB: at most 3). Store: {args.store_size:,} bytes; "
        f"GGUF vocabulary: {args.vocab:,} tokens (same metadata at every size). Fast calls are batched "
        f"so one sample lasts ≥ 20 ms.",
        "",
        "## Rewrites: time and ratio to the floor (`model + b\"\\0\"`)",
        "",
        "| Format | Size | Floor | embed_manifest | embed_manifest_both | remove_manifest | Peer | Peer / both |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for c in cases:
        floor = c.times["floor"]
        cells = [FORMAT_NAMES[c.fmt], size_label(c.size), format_seconds(floor)]
        cells += [f"{format_seconds(c.times[op])} ({c.times[op] / floor:.2f}×)" for op in REWRITES]
        if "peer" in c.times:
            cells += [format_seconds(c.times["peer"]), f"{c.times['peer'] / c.times['both']:.0f}×"]
        else:
            cells += [c.peer_note or "not run", "–"]
        lines.append("| " + " | ".join(cells) + " |")
    spread = [c for c in cases if c.nominal >= 256 * MIB]
    if spread:
        lines += ["", "Spread of the large rewrites (min / median / max over the runs):", "",
                  "| Format | Size | " + " | ".join(("floor",) + REWRITES) + " |", "|---|---|" + "---|" * 4]
        for c in spread:
            lines.append(f"| {FORMAT_NAMES[c.fmt]} | {size_label(c.size)} | " + " | ".join(
                " / ".join(format_seconds(t) for t in (min(c.samples[op]), c.times[op], max(c.samples[op])))
                for op in ("floor",) + REWRITES) + " |")
        if "balloon" in info.get("Free page reporting (virtio-balloon)", ""):
            lines += ["", "A slow outlier is a run whose fresh memory the hypervisor had taken back (free page "
                      "reporting) and had to fault in again; the medians are the steady state."]
    lines += ["", "## Reads: absolute time", "",
              "| Format | Size | Metadata read | read_manifest | read_manifest_uri | detect_format |",
              "|---|---|---|---|---|---|"]
    by_format: dict[str, list[Case]] = {}
    for c in cases:
        by_format.setdefault(c.fmt, []).append(c)
    for fmt, fcases in by_format.items():
        for c in fcases:
            meta = f"{c.metadata / 1024:.0f} KiB" if c.metadata else "–"
            lines.append(f"| {FORMAT_NAMES[fmt]} | {size_label(c.size)} | {meta} | "
                         + " | ".join(format_seconds(c.times[op]) for op in READS) + " |")
        if len(fcases) > 1:
            small = min(fcases, key=lambda c: c.nominal)
            large = max(fcases, key=lambda c: c.nominal)
            lines.append(f"| {FORMAT_NAMES[fmt]} | {size_label(large.nominal)} / {size_label(small.nominal)} | | "
                         + " | ".join(f"{large.times[op] / small.times[op]:.2f}×" for op in READS) + " |")
    if big_vocab:
        lines.append(f"| GGUF, {args.big_vocab:,} tokens | {size_label(big_vocab.size)} | "
                     f"{big_vocab.metadata / 1024:.0f} KiB | "
                     + " | ".join(format_seconds(big_vocab.times[op]) for op in READS) + " |")
    if any(c.memory for c in cases):
        lines += ["", "## Peak memory (fresh process per case)", "",
                  "Peak RSS (`ru_maxrss`) as a multiple of the model size, and the part beyond the interpreter "
                  "(its RSS before the model was read), the input model and the returned output.", "",
                  "| Format | Size | Interpreter | " + " | ".join(MEMORY_OPS) + " |",
                  "|---|---|---|" + "---|" * len(MEMORY_OPS)]
        for c in cases:
            base = [m["baseline"] for m in c.memory.values()]
            cells = [f"{statistics.median(base) / MIB:.0f} MiB" if base else "–"]
            for op in MEMORY_OPS:
                m = c.memory.get(op)
                cells.append(f"{m['peak'] / c.size:.2f}× / {extra_beyond(m) / MIB:+.1f} MiB" if m else "–")
            lines.append(f"| {FORMAT_NAMES[c.fmt]} | {size_label(c.size)} | " + " | ".join(cells) + " |")
        lines += ["", "Cells: peak RSS ÷ model size / extra beyond interpreter + input + output. The gguf peer "
                  "writes its output to tmpfs, which is not counted in RSS."]
    if hostile:
        lines += ["", f"### SafeTensors header of {args.hostile_header / 1e6:.0f} MB of nested brackets", "",
                  "The header is `{\"__metadata__\":{…},\"a\":[[[…]]]}`, as deep as it is long. Peak RSS beyond the interpreter, "
                  "the input, the output and (for rewrites) the new header; wall time of the whole process.", "",
                  "| Operation | Peak beyond | Time |", "|---|---|---|"]
        for op, m in hostile.items():
            lines.append(f"| {op} | {hostile_extra(m) / MIB:+.1f} MiB | {m['seconds']:.1f} s |")
    lines += ["", "## Peers", ""] + [f"- {PEER_DESCRIPTIONS[f]}" for f in by_format]
    lines += ["", "## Goals", "", "| Goal | Met | Figure |", "|---|---|---|"]
    checks = goals(cases, thp)
    if big_vocab:
        worst = max(big_vocab.times[op] for op in ("read", "read_uri"))
        checks.append((f"GGUF reads under 1 ms with {args.big_vocab:,} tokens "
                       f"(metadata {big_vocab.metadata / 1024:.0f} KiB)", worst < READ_ABSOLUTE_GOAL,
                       format_seconds(worst)))
    if hostile:
        worst = max(hostile_extra(m) for m in hostile.values())
        checks.append((f"SafeTensors, {args.hostile_header / 1e6:.0f} MB header of nested brackets: every operation "
                       f"≤ input + output + new header + 8 MiB", worst <= HOSTILE_EXTRA_GOAL,
                       f"{worst / MIB:+.1f} MiB"))
    for text, ok, figure in checks:
        lines.append(f"| {text} | {'yes' if ok else '**no**'} | {figure} |")
    lines += ["", f"Load average (1, 5, 15 min) at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}", ""]
    return "\n".join(lines)


def chart(cases: list[Case], path: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart", file=sys.stderr)
        return False
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5), dpi=90)
    short = {"gguf": "GGUF", "safetensors": "ST", "onnx": "ONNX"}
    labels = [f"{short[c.fmt]}\n{size_label(c.nominal)}" for c in cases]
    xs = range(len(cases))
    width = 0.2
    for i, op in enumerate(REWRITES + ("peer",)):
        values = [c.times.get(op, float("nan")) / c.times["floor"] for c in cases]
        left.bar([x + (i - 1.5) * width for x in xs], values, width, label=op)
    left.axhline(1.0, color="black", linewidth=0.8, linestyle="--")
    left.set_yscale("log")
    left.set_xticks(list(xs), labels, fontsize=7)
    left.set_ylabel("time ÷ floor (model + b'\\0'), log")
    left.set_title("Rewrites relative to one copy")
    left.legend(fontsize=7)
    for i, op in enumerate(READS):
        values = [c.times[op] * 1e6 for c in cases]
        right.bar([x + (i - 1) * width for x in xs], values, width, label=op)
    right.set_yscale("log")
    right.set_xticks(list(xs), labels, fontsize=7)
    right.set_ylabel("µs per call, log")
    right.set_title("Reads (independent of tensor data)")
    right.legend(fontsize=7)
    fig.text(0.5, 0.005, "ST = SafeTensors; peer = the format's own Python package doing embed_manifest_both's job",
             ha="center", fontsize=7)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1M,64M,1G", help="comma-separated model sizes (default 1M,64M,1G)")
    parser.add_argument("--formats", default=",".join(FORMATS), help="comma-separated subset of gguf,safetensors,onnx")
    parser.add_argument("--runs", type=int, default=5, help="runs per timing; the median is reported")
    parser.add_argument("--vocab", type=int, default=32000, help="GGUF vocabulary size (default 32000)")
    parser.add_argument("--big-vocab", type=int, default=151936,
                        help="also time GGUF reads with a vocabulary this large (default 151936; 0 skips)")
    parser.add_argument("--store-size", type=parse_size, default=64 * 1024, help="manifest store size (default 64K)")
    parser.add_argument("--peer-limit", type=parse_size, default=GIB, help="skip peers above this model size")
    parser.add_argument("--no-peers", dest="peers", action="store_false", help="do not time the peers")
    parser.add_argument("--no-memory", dest="memory", action="store_false", help="do not measure peak memory")
    # Just under the 100,000,000 bytes that safetensors readers accept, so
    # that embed still has room for the store.
    parser.add_argument("--hostile-header", type=parse_size, default=99 * 1000 * 1000,
                        help="SafeTensors header of nested brackets for the memory section, in bytes "
                        "(default 99000000; 0 skips)")
    parser.add_argument("--scratch-dir", default=None,
                        help="where model files for the memory cases and the gguf peer's output go "
                        "(default /dev/shm when it has room, else the temporary directory)")
    here = Path(__file__).resolve().parent
    parser.add_argument("--out", default=str(here / "results.md"), help="Markdown output ('' for none)")
    parser.add_argument("--chart", default=str(here / "results.png"), help="PNG chart output ('' for none)")
    parser.add_argument("--child-format", help=argparse.SUPPRESS)
    parser.add_argument("--child-op", help=argparse.SUPPRESS)
    parser.add_argument("--child-model", help=argparse.SUPPRESS)
    parser.add_argument("--child-stamped", help=argparse.SUPPRESS)
    parser.add_argument("--child-scratch", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child_op:
        child_main(args)
        return

    formats = [f.strip().lower() for f in args.formats.split(",") if f.strip()]
    sizes = [parse_size(s) for s in args.sizes.split(",") if s.strip()]
    if args.scratch_dir is None:
        args.scratch_dir = scratch_dir(max(sizes))
    info = machine_info()
    command = shlex.join(["python", os.path.relpath(__file__)] + sys.argv[1:])
    if os.environ.get("PYTHONPATH"):
        command = f"PYTHONPATH={os.environ['PYTHONPATH']} {command}"
    print(" | ".join(f"{k}: {v}" for k, v in info.items()), flush=True)
    cases = []
    for fmt in formats:
        for size in sizes:
            cases.append(run_case(fmt, size, args))
            gc.collect()
    big_vocab = big_vocab_reads(args) if args.big_vocab and "gguf" in formats else None
    hostile = hostile_memory(args) if args.memory and args.hostile_header and "safetensors" in formats else None
    report = markdown(cases, info, args, command, big_vocab, hostile)
    print()
    print(report)
    if args.out:
        Path(args.out).parent.mkdir(parents=True, exist_ok=True)
        Path(args.out).write_text(report)
    if args.chart:
        chart(cases, args.chart)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Benchmark quillon_files on large model files against the peers.

Builds (once, in --folder) an 8 GiB GGUF, an 8 GiB SafeTensors and a 1.5 GiB
ONNX model of real (non-sparse) data, then measures in a fresh process per run:

  read      quillon_files.read_manifest + read_manifest_uri of a stamped model,
            cold (page cache dropped first) and warm
  peer      the format's own reader on the same file: gguf.GGUFReader,
            safetensors' safe_open(...).metadata(), onnx.load (cold and warm)
  embed     quillon_files.embed_manifest_both to a new file beside the model
  remove    quillon_files.remove_manifest of the stamped model to a new file
  cp        cp --reflink=never of the same file plus sync, on the same file system
            (all three cold)

Each row gives the time inside the process (median of --runs) and the peak
anonymous memory (RssAnon, polled every 5 ms, mapped file pages excluded)
above the interpreter's own after its imports. Dropping the page cache needs
root. The files take about 35 GB; --clean deletes them at the end.

    python bench/files.py --folder /var/tmp/quillon-bench --runs 3 --clean
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

GIB = 1 << 30
MIB = 1 << 20
URI = "https://example.com/manifests/bench.c2pa"
STORE_SIZE = MIB

# The job a child runs: it prints {"seconds": ..., "base": RssAnon after imports}.
CHILD = r"""
import json, os, sys, time
job, model, out = sys.argv[1:4]
store = os.urandom(1 << 20)

def rss_anon():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024

if job in ("read", "embed", "remove"):
    import quillon_files
elif job == "gguf":
    from gguf import GGUFReader
elif job == "safetensors":
    from safetensors import safe_open
elif job == "onnx":
    import onnx
base = rss_anon()
start = time.perf_counter()
if job == "read":
    quillon_files.read_manifest(model), quillon_files.read_manifest_uri(model)
elif job == "embed":
    quillon_files.embed_manifest_both(model, "https://example.com/m", store, output=out)
elif job == "remove":
    quillon_files.remove_manifest(model, output=out)
elif job == "gguf":
    reader = GGUFReader(model)
    reader.fields.get("c2pa:manifest")
elif job == "safetensors":
    with safe_open(model, "np") as tensors:
        tensors.metadata()
elif job == "onnx":
    onnx.load(model)
elif job == "cp":
    import subprocess
    subprocess.run(["cp", "--reflink=never", model, out], check=True)
    subprocess.run(["sync"], check=True)
print(json.dumps({"seconds": time.perf_counter() - start, "base": base, "end": rss_anon()}), flush=True)
"""


def write_data(out, size: int) -> None:
    block = os.urandom(64 * MIB)
    while size > 0:
        step = min(size, len(block))
        out.write(block[:step])
        size -= step


GGUF_TENSORS = 256  # a model's worth of tensors, not one giant one


def make_gguf(path: Path, size: int) -> None:
    elements = size // 4 // GGUF_TENSORS
    infos = b""
    for i in range(GGUF_TENSORS):
        name = b"blk.%d.weight" % i
        infos += struct.pack("<Q", len(name)) + name + struct.pack("<IQIQ", 1, elements, 0, i * elements * 4)
    key = b"general.name"
    value = b"bench"
    kv = struct.pack("<Q", len(key)) + key + struct.pack("<IQ", 8, len(value)) + value
    header = b"GGUF" + struct.pack("<IQQ", 3, GGUF_TENSORS, 1) + kv + infos
    with open(path, "wb") as out:
        out.write(header + bytes(-len(header) % 32))
        write_data(out, elements * 4 * GGUF_TENSORS)


def make_safetensors(path: Path, size: int) -> None:
    header = json.dumps({"__metadata__": {"format": "pt"},
                         "weights": {"dtype": "U8", "shape": [size], "data_offsets": [0, size]}}).encode()
    with open(path, "wb") as out:
        out.write(struct.pack("<Q", len(header)) + header)
        write_data(out, size)


def varint(value: int) -> bytes:
    out = b""
    while value >= 0x80:
        out += bytes([value & 0x7F | 0x80])
        value >>= 7
    return out + bytes([value])


def field(number: int, payload: bytes) -> bytes:
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def make_onnx(path: Path, size: int) -> None:
    """ir_version 8, opset 17, and a graph whose one UINT8 initializer holds
    `size` bytes of raw data, written without building the model in memory."""
    initializer_head = varint(1 << 3) + varint(size) + varint(2 << 3) + varint(2) + field(8, b"w")
    raw_head = varint(9 << 3 | 2) + varint(size)
    initializer_length = len(initializer_head) + len(raw_head) + size
    graph_head = field(2, b"g") + varint(5 << 3 | 2) + varint(initializer_length)
    graph_length = len(graph_head) + len(initializer_head) + len(raw_head) + size
    with open(path, "wb") as out:
        out.write(varint(1 << 3) + varint(8) + field(8, varint(2 << 3) + varint(17)))
        out.write(varint(7 << 3 | 2) + varint(graph_length) + graph_head + initializer_head + raw_head)
        write_data(out, size)


MODELS = {"gguf": (make_gguf, 8 * GIB), "safetensors": (make_safetensors, 8 * GIB),
          "onnx": (make_onnx, 3 * GIB // 2)}


def drop_caches() -> None:
    subprocess.run(["sync"], check=True)
    Path("/proc/sys/vm/drop_caches").write_text("3\n")


def run_child(job: str, model: Path, out: Path) -> dict:
    """Runs one job in a fresh interpreter; adds the peak RssAnon seen."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, job, str(model), str(out)],
                             stdout=subprocess.PIPE, text=True)
    status = Path(f"/proc/{child.pid}/status")
    peak = 0
    while child.poll() is None:
        try:
            for line in status.read_text().splitlines():
                if line.startswith("RssAnon:"):
                    peak = max(peak, int(line.split()[1]) * 1024)
        except OSError:
            pass
        time.sleep(0.005)
    result = json.loads(child.stdout.read())
    result["peak"] = max(peak, result["end"])
    return result


def measure(job: str, model: Path, out: Path, runs: int, cold: bool) -> tuple[float, int]:
    seconds, extra = [], []
    for _ in range(runs):
        if out.exists():
            out.unlink()
        if cold:
            drop_caches()
        result = run_child(job, model, out)
        seconds.append(result["seconds"])
        extra.append(result["peak"] - result["base"])
    if out.exists():
        out.unlink()
    return statistics.median(seconds), max(extra)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--folder", type=Path, default=Path("/var/tmp/quillon-bench"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--formats", default="gguf,safetensors,onnx")
    parser.add_argument("--clean", action="store_true", help="delete the model files at the end")
    args = parser.parse_args()
    import quillon_files

    args.folder.mkdir(parents=True, exist_ok=True)
    rows = []
    for kind in args.formats.split(","):
        make, size = MODELS[kind]
        model = args.folder / f"model.{kind}"
        if not model.exists() or model.stat().st_size < size:
            print(f"making {model} ({size / GIB:.1f} GiB)", file=sys.stderr)
            make(model, size)
        stamped = args.folder / f"stamped.{kind}"
        if not stamped.exists():
            quillon_files.embed_manifest_both(model, URI, os.urandom(STORE_SIZE), output=stamped)
        out = args.folder / f"out.{kind}"
        # Writes start from a cold page cache too, so that no job reads what
        # the one before it left in memory.
        jobs = [("read", stamped, True), ("read", stamped, False), (kind, stamped, True), (kind, stamped, False),
                ("embed", model, True), ("remove", stamped, True), ("cp", model, True)]
        for job, path, cold in jobs:
            seconds, extra = measure(job, path, out, args.runs, cold)
            rows.append((kind, job, "cold" if cold else "warm", seconds, extra))
            print(f"{kind:12} {job:12} {'cold' if cold else 'warm':5} {seconds * 1000:10.1f} ms "
                  f"{extra / MIB:8.1f} MiB anon", flush=True)
        if args.clean:
            for path in (model, stamped):
                path.unlink()
    if args.clean:
        shutil.rmtree(args.folder, ignore_errors=True)


if __name__ == "__main__":
    main()

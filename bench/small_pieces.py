#!/usr/bin/env python3
"""A model kept in millions of small runs: quillon_files against memory.

Builds an ONNX model whose metadata alternates C2PA entries with other ones,
so that removing the C2PA entries keeps one small run of the input per other
entry, and times (best of --runs, page cache warm):

  file    quillon_files.remove_manifest(model, output=out)
  memory  quillon.remove_manifest(bytes already in memory), one write of the
          result and an fsync (quillon_files syncs its output too)

    python bench/small_pieces.py                 # 1M pairs: ~68 MB, 2M entries
    python bench/small_pieces.py --pairs 2000000 --runs 5
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from models import ONNX_HEAD, URI_KEY, onnx_entry  # noqa: E402

import quillon  # noqa: E402
import quillon_files  # noqa: E402


def build(pairs: int) -> bytes:
    other = [onnx_entry(b"k%07d" % i, b"v" * 30) for i in range(pairs)]
    c2pa = onnx_entry(URI_KEY, b"u")
    return ONNX_HEAD + b"".join(c2pa + kept for kept in other)


def best(call, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def in_memory(model: bytes, out: Path) -> None:
    result = quillon.remove_manifest(model)
    with open(out, "wb") as file:
        file.write(result)
        os.fsync(file.fileno())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    model = build(args.pairs)
    with tempfile.TemporaryDirectory(dir=Path(__file__).resolve().parent) as scratch:
        path, out = Path(scratch) / "m.onnx", Path(scratch) / "out.onnx"
        path.write_bytes(model)
        file_time = best(lambda: quillon_files.remove_manifest(path, output=out), args.runs)
        assert out.read_bytes() == quillon.remove_manifest(model)
        memory_time = best(lambda: in_memory(model, out), args.runs)
    print(f"{len(model) / 1e6:.0f} MB, {2 * args.pairs} entries, {args.pairs} kept runs")
    print(f"file   quillon_files.remove_manifest      {file_time * 1000:8.0f} ms")
    print(f"memory quillon.remove_manifest + write    {memory_time * 1000:8.0f} ms")
    print(f"ratio  {file_time / memory_time:.1f}x")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Sets: `set hash` of a 15-shard SafeTensors set against reading the same
files with `cat FILES > /dev/null`, and `set info` of the set on this machine
and over HTTP.

The shards are real files (every byte written, nothing sparse) in a scratch
folder on disk, each with a header of --tensors tensors, named by an index as
the hub names them:

  hash         quillon_cli.sets.collection_hash(set_info(DIR)) on -j threads
               (SHA-256, the command's default) and `cat FILES > /dev/null`
               in the same run, with the page cache warm for both, then cold
               (each after `echo 3 > /proc/sys/vm/drop_caches`) when this
               process may write it
  info local   quillon_cli.sets.set_info(DIR) (goal: 50 ms or less)
  info remote  set_info(URL of the index) on tools/rangeserver.py with
               --delay per request (goals: 16 requests or fewer, 150 ms or
               less): the index, then each shard on its own thread

    python bench/sets.py
    python bench/sets.py --shard-size 256M --runs 5

Times are medians over --runs runs after one warm-up. Results go to
bench/sets-results.md.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, List, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from common import MIB, format_seconds, machine_info, parse_size, size_label  # noqa: E402
import rangeserver  # noqa: E402

from quillon_cli import sets  # noqa: E402

SHARDS = 15


def write_set(folder: Path, shards: int, shard_size: int, tensors: int) -> List[Path]:
    """`shards` shards of `tensors` U8 tensors each, about `shard_size`
    bytes of data, every byte written, and their index."""
    per_tensor = max(1, shard_size // tensors)
    block = os.urandom(MIB)
    weight_map, paths = {}, []
    for number in range(1, shards + 1):
        name = f"model-{number:05d}-of-{shards:05d}.safetensors"
        header = {"__metadata__": {"format": "pt"}}
        for i in range(tensors):
            tensor = f"model.layers.{number}.block.{i}.self_attn.q_proj.weight"
            header[tensor] = {"dtype": "U8", "shape": [per_tensor], "data_offsets": [i * per_tensor,
                                                                                     (i + 1) * per_tensor]}
            weight_map[tensor] = name
        text = json.dumps(header, separators=(",", ":")).encode()
        text += b" " * (-len(text) % 8)
        path = folder / name
        with open(path, "wb") as file:
            file.write(len(text).to_bytes(8, "little") + text)
            left = per_tensor * tensors
            while left:
                step = min(left, len(block))
                file.write(block[:step])
                left -= step
        paths.append(path)
    total = shards * tensors * per_tensor
    index = {"metadata": {"total_size": total}, "weight_map": weight_map}
    (folder / "model.safetensors.index.json").write_text(json.dumps(index, indent=2))
    return paths


def drop_caches() -> bool:
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as file:
            file.write("3\n")
        return True
    except OSError:
        return False


def median_time(call: Callable[[], object], runs: int, before: Optional[Callable[[], object]] = None) -> float:
    times = []
    for run in range(runs + 1):
        if before is not None:
            before()
        start = time.perf_counter()
        call()
        if run:  # the first is the warm-up
            times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shard-size", type=parse_size, default=parse_size("64M"), help="data per shard (64M)")
    parser.add_argument("--tensors", type=int, default=300, help="tensors per shard (300: a ~30 KB header)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--delay", type=float, default=0.02, help="seconds added to every request (0.02)")
    parser.add_argument("--dir", help="scratch folder on disk (default: the temporary directory)")
    parser.add_argument("--output", default=str(HERE / "sets-results.md"))
    args = parser.parse_args()

    rows = []
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="quillon-sets-") as scratch:
        folder = Path(scratch)
        paths = write_set(folder, SHARDS, args.shard_size, args.tensors)
        index = folder / "model.safetensors.index.json"
        total = sum(p.stat().st_size for p in paths) + index.stat().st_size
        cat = "cat " + " ".join(str(p) for p in paths + [index]) + " > /dev/null"

        def hash_set() -> object:
            return sets.collection_hash(sets.set_info(str(folder), args.jobs), "sha256", args.jobs)

        def cat_set() -> object:
            return subprocess.run(cat, shell=True, check=True)

        for label, before in (("warm", None), ("cold", drop_caches)):
            if before is not None and not drop_caches():
                rows.append(("hash, cold", "not run: /proc/sys/vm/drop_caches is not writable here", ""))
                continue
            quillon = median_time(hash_set, args.runs, before)
            reference = median_time(cat_set, args.runs, before)
            rows.append((f"set hash, {label} cache, -j {args.jobs}", format_seconds(quillon),
                         f"{total / quillon / MIB:.0f} MiB/s"))
            rows.append((f"cat FILES > /dev/null, {label} cache", format_seconds(reference),
                         f"{total / reference / MIB:.0f} MiB/s"))

        local = median_time(lambda: sets.set_info(str(folder), args.jobs), args.runs)
        rows.append(("set info, local (goal <= 50 ms)", format_seconds(local), ""))

        with rangeserver.RangeServer() as server:
            for path in paths + [index]:
                server.put(f"/repo/{path.name}", path)
            server.delay = args.delay
            url = server.url(f"/repo/{index.name}")
            found = sets.set_info(url)
            assert not found.problems, found.problems
            before = len(server.requests())
            remote = median_time(lambda: sets.set_info(url), args.runs)
            requests = (len(server.requests()) - before) // (args.runs + 1)
        rows.append((f"set info, remote, {args.delay * 1000:.0f} ms per request (goal <= 150 ms)",
                     format_seconds(remote), f"{requests} requests (goal <= 16)"))

    command = "python bench/sets.py " + " ".join(sys.argv[1:])
    lines = ["# Sets: set hash and set info", "",
             f"`{command.strip()}`: {SHARDS} SafeTensors shards of {size_label(args.shard_size)} "
             f"({args.tensors} tensors each) and their index, {size_label(total)} in all, real files on disk; "
             f"medians of {args.runs} runs after a warm-up.", "",
             "| case | time | |", "|---|---|---|"]
    lines += [f"| {a} | {b} | {c} |" for a, b, c in rows]
    lines += ["", "Machine: " + ", ".join(f"{k} {v}" for k, v in machine_info().items()), ""]
    Path(args.output).write_text("\n".join(lines))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())

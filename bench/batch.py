#!/usr/bin/env python3
"""Benchmark the `quillon` command on many models: -j 1 against -j 2.

Writes --count models, GGUF, SafeTensors and ONNX in turn, into a folder on a
file system in memory (default /dev/shm), so that the disk does not hide the
work. --models samples copies the bundled samples (a few hundred bytes each,
so a file costs microseconds and the per-call overheads dominate);
--models generated (the default) writes models with the metadata of real
ones through the formats' own writers (needs gguf, safetensors, onnx,
numpy): a GGUF with a 32,000-token vocabulary and 64 tensors, a SafeTensors
file with 300 tensors, an ONNX graph of 256 nodes and initializers, about
1-2 MiB each. It then times

  info      quillon info -j N MODEL...
  embed     quillon embed -j N --uri URI --store STORE MODEL... -O DIR (a fresh DIR per run)

both in process (quillon_cli.main with stdout sent to /dev/null) and as the
command (python -m quillon_cli, interpreter start included). A last row is
the machine's own ceiling for info: one `info -j 1` process over all files
against two at once, each over half of them, which share no interpreter
lock and no address space. Runs alternate
-j 1 and -j 2 so that a load that comes and goes hits both alike; the table
gives medians and the load average before and after.

    PYTHONPATH=build/dev:python python bench/batch.py --count 1000 --runs 7 [--models samples]
"""

import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, Tuple

import quillon_cli

ROOT = Path(__file__).resolve().parents[1]
SAMPLES = ROOT / "samples"
MODELS = ("model.gguf", "model.safetensors", "model.onnx")
URI = "https://example.com/manifests/bench.c2pa"
JOBS = (1, 2)


def generate_models(folder: Path) -> None:
    """One model of each format with a realistic amount of metadata."""
    import gguf
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    from safetensors.numpy import save_file

    tokens = 32000
    writer = gguf.GGUFWriter(str(folder / "model.gguf"), "llama")
    writer.add_token_list([f"token{index}" for index in range(tokens)])
    writer.add_token_scores([0.0] * tokens)
    writer.add_token_types([1] * tokens)
    for index in range(64):
        writer.add_tensor(f"blk.{index}.weight", np.zeros(4096, dtype=np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()

    save_file({f"model.layers.{index}.weight": np.zeros(1024, dtype=np.float32) for index in range(300)},
              str(folder / "model.safetensors"), metadata={"format": "pt"})

    layers = 256
    weights = [numpy_helper.from_array(np.zeros(1024, dtype=np.float32), name=f"w{index}")
               for index in range(layers)]
    nodes = [helper.make_node("Add", ["x" if index == 0 else f"y{index - 1}", f"w{index}"], [f"y{index}"])
             for index in range(layers)]
    graph = helper.make_graph(nodes, "bench", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1024])],
                              [helper.make_tensor_value_info(f"y{layers - 1}", TensorProto.FLOAT, [1024])],
                              weights)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    (folder / "model.onnx").write_bytes(model.SerializeToString())


def make_models(folder: Path, source: Path, count: int) -> List[str]:
    data = [(name, (source / name).read_bytes()) for name in MODELS]
    paths = []
    for index in range(count):
        name, content = data[index % len(data)]
        path = folder / f"{index:05d}-{name}"
        path.write_bytes(content)
        paths.append(str(path))
    return paths


def in_process(argv: List[str]) -> float:
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        start = time.perf_counter()
        status = quillon_cli.main(argv)
        seconds = time.perf_counter() - start
    assert status == 0, argv
    return seconds


def as_command(argv: List[str]) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "quillon_cli", *argv], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def in_processes(argv: List[str], parts: int) -> float:
    """`argv` (ending in the models) as `parts` commands at once, each given
    its share of the models."""
    first = argv.index("-j") + 2
    start = time.perf_counter()
    children = [subprocess.Popen([sys.executable, "-m", "quillon_cli", *argv[:first], *argv[first + part::parts]],
                                 stdout=subprocess.DEVNULL) for part in range(parts)]
    for child in children:
        assert child.wait() == 0
    return time.perf_counter() - start


def measure(work: str, folder: Path, paths: List[str], store: Path, runs: int,
            timer: Callable[[List[str]], float]) -> Dict[int, List[float]]:
    times: Dict[int, List[float]] = {jobs: [] for jobs in JOBS}
    for _ in range(runs):
        for jobs in JOBS:
            if work == "info":
                times[jobs].append(timer(["info", "-j", str(jobs), *paths]))
                continue
            out = Path(tempfile.mkdtemp(dir=folder, prefix="out-"))
            times[jobs].append(timer(["embed", "-j", str(jobs), "--uri", URI, "--store", str(store),
                                      *paths, "-O", str(out)]))
            shutil.rmtree(out)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--folder", default="/dev/shm", help="a folder on a file system in memory")
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--models", choices=("generated", "samples"), default="generated")
    args = parser.parse_args()

    folder = Path(tempfile.mkdtemp(dir=args.folder, prefix="quillon-batch-"))
    try:
        source = SAMPLES
        if args.models == "generated":
            source = folder / "source"
            source.mkdir()
            generate_models(source)
        paths = make_models(folder, source, args.count)
        store = folder / "store.c2pa"
        store.write_bytes((SAMPLES / "manifest.c2pa").read_bytes())
        load_before = os.getloadavg()
        rows: List[Tuple[str, str, float, float]] = []
        for mode, timer in (("in process", in_process), ("command", as_command)):
            for work in ("info", "embed"):
                times = measure(work, folder, paths, store, args.runs, timer)
                serial, parallel = (statistics.median(times[jobs]) for jobs in JOBS)
                rows.append((work, mode, serial, parallel))
        times = {parts: [] for parts in (1, 2)}
        for _ in range(args.runs):
            for parts in (1, 2):
                times[parts].append(in_processes(["info", "-j", "1", *paths], parts))
        rows.append(("info", "processes", statistics.median(times[1]), statistics.median(times[2])))
        load_after = os.getloadavg()
    finally:
        shutil.rmtree(folder)

    print(f"{args.count} {args.models} models in {args.folder}, medians of {args.runs} alternating runs, "
          f"{os.cpu_count()} CPUs")
    print(f"load average before: {' '.join(f'{x:.2f}' for x in load_before)}, "
          f"after: {' '.join(f'{x:.2f}' for x in load_after)}")
    print(f"{'work':6} {'mode':11} {'-j 1':>9} {'-j 2':>9} {'speed-up':>9}   (processes: 1 against 2)")
    for work, mode, serial, parallel in rows:
        print(f"{work:6} {mode:11} {serial * 1000:7.1f}ms {parallel * 1000:7.1f}ms {serial / parallel:8.2f}x")


if __name__ == "__main__":
    main()

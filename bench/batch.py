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
lock and no address space, and the same for a loop of pure Python work
(`cpu`): what two CPUs give when nothing is shared. Runs alternate
-j 1 and -j 2 so that a load that comes and goes hits both alike; the table
gives medians and the load average before and after.

--python EXE (repeatable) compares builds installed in several interpreters:
every row is measured for each, the builds taking turns within every run, and
"in process" is then timed in a child of each (the second of two calls, so
that imports and first-call costs are left out). --large adds `quillon info`
of an 8 GiB sparse GGUF with a 256,000-token vocabulary (7 MB of metadata),
warm, in process (the calls after the first) and as the command.

    PYTHONPATH=build/dev:python python bench/batch.py --count 1000 --runs 7 [--models samples]
    python bench/batch.py --work info --large --python NEW/bin/python --python OLD/bin/python
"""

import argparse
import contextlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

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


# Times quillon_cli.main(argv) after `warm` untimed calls, `calls` times;
# prints the seconds of each timed call.
CHILD = """
import contextlib, json, os, sys, time
import quillon_cli
argv, warm, calls = json.loads(sys.argv[1])
times = []
with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
    for call in range(warm + calls):
        start = time.perf_counter()
        assert quillon_cli.main(argv) == 0, argv
        if call >= warm:
            times.append(time.perf_counter() - start)
print(json.dumps(times))
"""

# A fixed amount of pure Python work, split over `parts` processes.
SPIN = "for _ in range({}): pass"
SPIN_LOOPS = 20_000_000


def in_child(python: str, argv: List[str], warm: int = 1, calls: int = 1) -> List[float]:
    out = subprocess.run([python, "-c", CHILD, json.dumps([argv, warm, calls])], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=child_env()).stdout
    return json.loads(out)


def child_env() -> Dict[str, str]:
    """The environment without PYTHONPATH, so that each interpreter imports its own build."""
    return {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}


def spin(python: str, parts: int) -> float:
    start = time.perf_counter()
    children = [subprocess.Popen([python, "-c", SPIN.format(SPIN_LOOPS // parts)]) for _ in range(parts)]
    for child in children:
        assert child.wait() == 0
    return time.perf_counter() - start


def sparse_vocabulary_gguf(path: Path) -> None:
    """8 GiB: the metadata of a llama model with 256,000 tokens, then holes."""
    sys.path.insert(0, str(ROOT / "tools"))
    import models
    head = models.realistic_gguf(0, 256_000)
    models.write_sparse(path, head, 8 * models.GIB - len(head), [])


def in_process(argv: List[str]) -> float:
    import quillon_cli
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        start = time.perf_counter()
        status = quillon_cli.main(argv)
        seconds = time.perf_counter() - start
    assert status == 0, argv
    return seconds


def as_command(argv: List[str], python: str = sys.executable) -> float:
    start = time.perf_counter()
    subprocess.run([python, "-m", "quillon_cli", *argv], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, env=child_env() if python != sys.executable else None)
    return time.perf_counter() - start


def in_processes(argv: List[str], parts: int, python: str = sys.executable) -> float:
    """`argv` (ending in the models) as `parts` commands at once, each given
    its share of the models."""
    first = argv.index("-j") + 2
    start = time.perf_counter()
    env = child_env() if python != sys.executable else None
    children = [subprocess.Popen([python, "-m", "quillon_cli", *argv[:first], *argv[first + part::parts]],
                                 stdout=subprocess.DEVNULL, env=env) for part in range(parts)]
    for child in children:
        assert child.wait() == 0
    return time.perf_counter() - start


def measure(work: str, folder: Path, paths: List[str], store: Path, runs: int,
            timers: Dict[str, Callable[[List[str]], float]]) -> Dict[Tuple[str, int], List[float]]:
    """Times of `work` at each -j for each build, the builds and -j values taking turns."""
    times: Dict[Tuple[str, int], List[float]] = {(build, jobs): [] for build in timers for jobs in JOBS}
    for _ in range(runs):
        for jobs in JOBS:
            for build, timer in timers.items():
                if work == "info":
                    times[build, jobs].append(timer(["info", "-j", str(jobs), *paths]))
                    continue
                out = Path(tempfile.mkdtemp(dir=folder, prefix="out-"))
                times[build, jobs].append(timer(["embed", "-j", str(jobs), "--uri", URI, "--store", str(store),
                                                 *paths, "-O", str(out)]))
                shutil.rmtree(out)
    return times


def label(python: str) -> str:
    """A build's name in the table: its virtual environment's folder."""
    return Path(python).parent.parent.name if Path(python).parent.name == "bin" else python


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--folder", default="/dev/shm", help="a folder on a file system in memory")
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--models", choices=("generated", "samples"), default="generated")
    parser.add_argument("--work", default="info,embed", help="info, embed or both, comma-separated")
    parser.add_argument("--python", action="append", default=[], help="an interpreter with a build to compare")
    parser.add_argument("--large", action="store_true", help="also time info on an 8 GiB sparse GGUF")
    args = parser.parse_args()
    works = [work for work in args.work.split(",") if work]
    pythons = args.python or [sys.executable]
    compared = bool(args.python)

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
        large: Optional[Path] = None
        if args.large:
            large = folder / "large.gguf"
            sparse_vocabulary_gguf(large)
        load_before = os.getloadavg()
        rows: List[Tuple[str, str, str, float, float]] = []

        def in_process_of(python: str) -> Callable[[List[str]], float]:
            return (lambda argv: in_child(python, argv)[0]) if compared else in_process

        def command_of(python: str) -> Callable[[List[str]], float]:
            return lambda argv: as_command(argv, python)

        for mode, timer_of in (("in process", in_process_of), ("command", command_of)):
            for work in works:
                times = measure(work, folder, paths, store, args.runs, {label(p): timer_of(p) for p in pythons})
                for python in pythons:
                    serial, parallel = (statistics.median(times[label(python), jobs]) for jobs in JOBS)
                    rows.append((work, mode, label(python), serial, parallel))
        ceiling: Dict[Tuple[str, int], List[float]] = {(label(p), parts): [] for p in pythons for parts in (1, 2)}
        spins: Dict[int, List[float]] = {1: [], 2: []}
        single: Dict[Tuple[str, str], List[float]] = {(label(p), mode): [] for p in pythons
                                                      for mode in ("in process", "command")}
        for _ in range(args.runs):
            for parts in (1, 2):
                for python in pythons:
                    ceiling[label(python), parts].append(in_processes(["info", "-j", "1", *paths], parts, python))
                spins[parts].append(spin(sys.executable, parts))
            if large is not None:
                for python in pythons:
                    single[label(python), "command"].append(as_command(["info", str(large)], python))
        for python in pythons:
            rows.append(("info", "processes", label(python), statistics.median(ceiling[label(python), 1]),
                         statistics.median(ceiling[label(python), 2])))
        rows.append(("cpu", "processes", "python", statistics.median(spins[1]), statistics.median(spins[2])))
        if large is not None:
            for python in pythons:
                single[label(python), "in process"] = in_child(python, ["info", str(large)], 1, args.runs)
        load_after = os.getloadavg()
    finally:
        shutil.rmtree(folder)

    print(f"{args.count} {args.models} models in {args.folder}, medians of {args.runs} alternating runs, "
          f"{os.cpu_count()} CPUs")
    print(f"load average before: {' '.join(f'{x:.2f}' for x in load_before)}, "
          f"after: {' '.join(f'{x:.2f}' for x in load_after)}")
    print(f"{'work':6} {'mode':11} {'build':14} {'-j 1':>9} {'-j 2':>9} {'speed-up':>9}   (processes: 1 against 2)")
    for work, mode, build, serial, parallel in rows:
        print(f"{work:6} {mode:11} {build:14} {serial * 1000:7.1f}ms {parallel * 1000:7.1f}ms "
              f"{serial / parallel:8.2f}x")
    if large is not None:
        print("info of an 8 GiB sparse GGUF with a 256,000-token vocabulary, warm:")
        for (build, mode), times in single.items():
            print(f"  {mode:11} {build:14} {statistics.median(times) * 1000:7.2f}ms")


if __name__ == "__main__":
    main()

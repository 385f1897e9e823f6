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

    pip install . && python bench/memory.py
    python bench/memory.py --sizes 1M,64M --runs 3 --formats gguf
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import shlex
import statistics
import struct
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from common import (FORMAT_NAMES, FORMATS, GIB, MIB, URI, format_seconds, machine_info, maxrss_bytes,  # noqa: E402
                    parse_size, scratch_dir, size_label, timed_samples)
from models import hostile_safetensors, make_store, realistic_gguf, realistic_model, tensor_bytes  # noqa: E402
from peers import PEER_DESCRIPTIONS, PEERS  # noqa: E402

try:
    import quillon
except ImportError:
    sys.exit("memory.py needs the quillon module: run `pip install .` first (or set PYTHONPATH to a build directory)")

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


# --------------------------------------------------------------------------
# Peak memory, one fresh process per case.


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


def run_case(fmt: str, nominal: int, args) -> Case:
    t0 = time.perf_counter()
    model = realistic_model(fmt, nominal, args.vocab)
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
    model = realistic_gguf(size, args.big_vocab)
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
    model = hostile_safetensors(args.hostile_header)
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

#!/usr/bin/env python3
"""Throughput of quillon from several threads against several processes.

Each worker (a thread of this process, or a forked process) stamps the same
model with embed_manifest_both over and over. Throughput is the model bytes
stamped by all workers per second of wall time, from a common start to the
last worker's end. Threads only scale when the interpreter lock is released
around the work; processes show what the machine allows (memory bandwidth
is the limit at large sizes), so the figure that matters is threads ÷
processes at the same worker count.

It also reports the Base64 throughput of the core (bench/base64_bench.cpp,
when built) and, with --peers, the peer ratio at 1 MiB (bench/peers.py).

    PYTHONPATH=build/dev python bench/threads.py
    PYTHONPATH=build/dev python bench/threads.py --sizes 1M,4M --workers 1,2 --seconds 0.5
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import quillon  # noqa: E402
from common import FORMAT_NAMES, FORMATS, MIB, URI, format_seconds, parse_size, size_label, timed_samples  # noqa: E402
from models import make_store, realistic_model  # noqa: E402
from peers import PEERS  # noqa: E402

THREAD_GOAL = 0.9  # two threads' throughput ÷ two processes'


def stamp(model: bytes, store: bytes, calls: int) -> None:
    for _ in range(calls):
        quillon.embed_manifest_both(model, URI, store)


def process_worker(model: bytes, store: bytes, calls: int, start, finished) -> None:
    start.wait()
    stamp(model, store, calls)
    finished.put(time.monotonic())


def run_threads(model: bytes, store: bytes, workers: int, calls: int) -> float:
    start = threading.Barrier(workers + 1)
    ends: list[float] = []

    def worker() -> None:
        start.wait()
        stamp(model, store, calls)
        ends.append(time.monotonic())

    threads = [threading.Thread(target=worker) for _ in range(workers)]
    for t in threads:
        t.start()
    start.wait()
    begin = time.monotonic()
    for t in threads:
        t.join()
    return max(ends) - begin


def run_processes(model: bytes, store: bytes, workers: int, calls: int) -> float:
    # Forked children share the parent's model pages; each allocates its own
    # results, like a thread does.
    context = multiprocessing.get_context("fork")
    start = context.Barrier(workers + 1)
    finished = context.Queue()
    children = [context.Process(target=process_worker, args=(model, store, calls, start, finished))
                for _ in range(workers)]
    for child in children:
        child.start()
    start.wait()
    begin = time.monotonic()  # CLOCK_MONOTONIC: comparable across processes
    ends = [finished.get() for _ in children]
    for child in children:
        child.join()
    return max(ends) - begin


def paired_runs(model: bytes, store: bytes, workers: int, calls: int, runs: int) -> dict[str, float]:
    """Median throughput (bytes per second) of threads and of processes, and
    the median of their ratio. Threads and processes alternate run by run,
    so a change in the machine's load hits both alike."""
    stamped = workers * calls * len(model)
    threads, processes = [], []
    for _ in range(runs):
        threads.append(stamped / run_threads(model, store, workers, calls))
        processes.append(stamped / run_processes(model, store, workers, calls))
    return {"threads": statistics.median(threads), "processes": statistics.median(processes),
            "ratio": statistics.median(t / p for t, p in zip(threads, processes))}


def calls_for(model: bytes, store: bytes, seconds: float) -> int:
    stamp(model, store, 1)
    begin = time.perf_counter()
    stamp(model, store, 3)
    per_call = (time.perf_counter() - begin) / 3
    return max(3, int(seconds / per_call))


def scaling(args) -> list[tuple[int, dict[str, dict[int, float]]]]:
    """Per size: throughput of threads and processes and their ratio, by
    worker count."""
    store = make_store(args.store_size)
    rows = []
    for size in args.sizes:
        model = realistic_model(args.format, size, args.vocab)
        calls = calls_for(model, store, args.seconds)
        figures: dict[str, dict[int, float]] = {"threads": {}, "processes": {}, "ratio": {}}
        for workers in args.workers:
            for kind, value in paired_runs(model, store, workers, calls, args.runs).items():
                figures[kind][workers] = value
        rows.append((len(model), figures))
        print(f"  {size_label(len(model))}: "
              + ", ".join(f"{kind} {w}: {figures[kind][w] / 1e9:.2f} GB/s"
                          for w in args.workers for kind in ("threads", "processes")), file=sys.stderr)
        del model
    return rows


def base64_figures(binary: str) -> str:
    if not binary or not Path(binary).exists():
        return "not run (build bench/base64_bench.cpp with -DQUILLON_BENCH=ON and pass --base64-bench)"
    return subprocess.run([binary], capture_output=True, text=True, check=True).stdout.strip()


def peer_ratios(args) -> list[tuple[str, float, float, float]]:
    """(format, quillon both, peer, peer ÷ quillon) at 1 MiB, seconds per call."""
    store = make_store(parse_size("64K"))
    rows = []
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as folder:
        scratch = os.path.join(folder, "peer.out")  # the gguf peer writes its output here
        for fmt in FORMATS:
            model = realistic_model(fmt, MIB, args.vocab)
            ours = timed_samples(lambda: quillon.embed_manifest_both(model, URI, store), args.runs)
            peer = PEERS[fmt]
            theirs = timed_samples(lambda: peer(model, store, URI, scratch), args.runs)
            ours_median, theirs_median = statistics.median(ours), statistics.median(theirs)
            rows.append((fmt, ours_median, theirs_median, theirs_median / ours_median))
    return rows


SECTION = "## Threads and processes (bench/threads.py)"


def markdown(args, rows, base64_text: str, peers) -> str:
    out = [SECTION, "", f"Command: `{args.command}`", "",
           f"Format {FORMAT_NAMES[args.format]}, embed_manifest_both with a "
           f"{args.store_size:,}-byte store; median of {args.runs} runs of ≥ {args.seconds} s per worker, "
           "threads and processes alternating; thr ÷ proc is the median of the runs' ratios. "
           f"Cores: {os.cpu_count()}. Load average (1, 5, 15 min): {args.load}. "
           "When other work keeps the cores busy (load above the core count) neither kind scales; "
           "the ratio still compares both under the same load.", ""]
    head = ["Size"] + [f"{w} {kind}" for w in args.workers for kind in ("thr", "proc")]
    head += [f"{w} thr ÷ proc" for w in args.workers if w > 1]
    out += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for size, figures in rows:
        cells = [size_label(size)]
        cells += [f"{figures[kind][w] / 1e9:.2f} GB/s" for w in args.workers for kind in ("threads", "processes")]
        cells += [f"{figures['ratio'][w]:.0%}" for w in args.workers if w > 1]
        out.append("| " + " | ".join(cells) + " |")
    if 1 in args.workers:
        out += ["", "Scaling over one worker of the same kind:", ""]
        head = ["Size"] + [f"{w} {kind}" for w in args.workers if w > 1 for kind in ("thr", "proc")]
        out += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for size, figures in rows:
            cells = [size_label(size)]
            cells += [f"{figures[kind][w] / figures[kind][1]:.2f}×" for w in args.workers if w > 1
                      for kind in ("threads", "processes")]
            out.append("| " + " | ".join(cells) + " |")
    if 2 in args.workers:
        out += ["", "| Goal | Met | Figure |", "|---|---|---|"]
        for size, figures in rows:
            ratio = figures["ratio"][2]
            met = "yes" if ratio >= THREAD_GOAL else "**no**"
            out.append(f"| 2 threads ≥ {THREAD_GOAL:.0%} of 2 processes at {size_label(size)} | {met} | {ratio:.0%} |")
    out += ["", "Base64 of the core (bench/base64_bench.cpp, best of 7):", "", "```", base64_text, "```"]
    if peers:
        out += ["", "Peer ratio at 1 MiB (embed_manifest_both vs the format's package, 64 KiB store):", "",
                "| Format | quillon | Peer | Peer ÷ quillon |", "|---|---|---|---|"]
        for fmt, ours, theirs, ratio in peers:
            out.append(f"| {FORMAT_NAMES[fmt]} | {format_seconds(ours)} | "
                       f"{format_seconds(theirs)} | {ratio:.1f}× |")
    return "\n".join(out) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1M,4M,32M,128M,256M", help="comma-separated model sizes")
    parser.add_argument("--workers", default="1,2,4", help="comma-separated worker counts")
    parser.add_argument("--format", default="gguf", choices=FORMATS)
    parser.add_argument("--store-size", type=parse_size, default=64 * 1024)
    parser.add_argument("--vocab", type=int, default=32000, help="GGUF vocabulary size")
    parser.add_argument("--seconds", type=float, default=1.0, help="work per worker and run")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure; the median is reported")
    parser.add_argument("--base64-bench", default="", help="path of the built base64_bench executable")
    parser.add_argument("--peers", action="store_true", help="also time the peers at 1 MiB")
    parser.add_argument("--out", default="",
                        help="Markdown file whose section of this script is replaced (or appended)")
    args = parser.parse_args()
    args.sizes = [parse_size(s) for s in args.sizes.split(",")]
    args.workers = [int(w) for w in args.workers.split(",")]
    path = os.environ.get("PYTHONPATH")
    args.command = (f"PYTHONPATH={path} " if path else "") + "python " + " ".join(map(shlex.quote, sys.argv))
    args.load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    rows = scaling(args)
    args.load += " at start, " + " ".join(f"{x:.2f}" for x in os.getloadavg()) + " at the end"
    text = markdown(args, rows, base64_figures(args.base64_bench), peer_ratios(args) if args.peers else [])
    print(text)
    if args.out:
        replace_section(Path(args.out), text)


def replace_section(path: Path, text: str) -> None:
    """Puts `text` in place of this script's section of `path`, which runs
    to the next "## " heading, or appends it; the rest is kept."""
    old = path.read_text() if path.exists() else ""
    start = old.find(SECTION)
    if start < 0:
        path.write_text(old.rstrip("\n") + "\n\n" + text if old else text)
        return
    end = old.find("\n## ", start + len(SECTION))
    path.write_text(old[:start] + text + ("\n" + old[end + 1:] if end >= 0 else ""))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""File-level benchmark: quillon's file engine on models of real size.

Builds an 8 GiB GGUF model, an 8 GiB SafeTensors model and a 1.5 GiB ONNX
model (below protobuf's 2 GiB limit) on disk, each with realistic metadata
(a 32,000-token vocabulary, hundreds of tensor entries) and one large
tensor, and then measures, each case in a fresh process:

  read      quillon_files.read_manifest + read_manifest_uri, cold (page cache
            dropped first, needs root) and warm; against gguf.GGUFReader,
            safe_open(...).metadata() and onnx.load
  embed     quillon_files.embed_manifest_both to a new file (1 MiB store);
            remove: remove_manifest of the stamped file to a new file;
            against `cp --reflink=never` + `sync` of the same file on the same
            file system, and each format's own rewrite path (gguf-new-metadata,
            safetensors load + save, onnx load + save), each followed by sync
  sign      store_ranges and a same-size patch_store on the stamped model, and
            the whole signing flow (placeholder embed, ranges, SHA-256 around
            them, patch) against one copy plus one sequential read
  memory    the peak anonymous memory (RssAnon: mapped file pages do not
            count) of each case, sampled by the parent every few milliseconds

    python bench/files.py                          # ~25 GB of scratch space
    python bench/files.py --size 1G --onnx-size 256M --runs 3
    python bench/files.py --huge 32G               # a model larger than memory
    python bench/files.py --work copy --size 2G    # the rewrite's copy only

--work copy compares, for each format, the copy of an embed (whose tensors
keep their offsets or move by the metadata's growth) with `dd bs=1M` of the
same bytes moved by the same amount, a copy_file_range loop doing the same,
and `cp --reflink=never` + sync, each cold (page cache dropped, needs root)
and in a fresh process, and appends the table to the results.

Times are medians over --runs runs. Results go to bench/files-results.md.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from common import GIB, MIB, URI, machine_info, parse_size, size_label  # noqa: E402
from models import REALISTIC_WRITERS as WRITERS, make_store, write_realistic_gguf  # noqa: E402
from peers import FILE_PEERS  # noqa: E402

STORE_SIZE = MIB


# --------------------------------------------------------------------------
# One case in a child process: prints {"seconds": t} after the timed work.


def drop_caches() -> bool:
    try:
        os.sync()
        Path("/proc/sys/vm/drop_caches").write_text("3\n")
        return True
    except OSError:
        return False


def kernel_copy(path: str, output: str, shift: int) -> None:
    """The whole of `path` copied into `output` `shift` bytes further on
    (the first -shift bytes left out if negative) by copy_file_range calls
    of 32 MiB, as quillon did for every piece before it chose per piece."""
    with open(path, "rb") as source, open(output, "wb") as target:
        size = os.fstat(source.fileno()).st_size
        position = max(0, -shift)
        while position < size:
            copied = os.copy_file_range(source.fileno(), target.fileno(), min(32 * MIB, size - position),
                                        position, position + shift)
            if copied <= 0:
                raise OSError("copy_file_range copied nothing")
            position += copied
        os.fsync(target.fileno())


def child(op: str, path: str, output: str, store_path: str, shift: int = 0) -> None:
    import quillon_files

    store = Path(store_path).read_bytes() if store_path else b""
    if op.endswith("-cold") and not drop_caches():
        print(json.dumps({"seconds": None}))
        return
    op = op.removesuffix("-cold")
    start = time.perf_counter()
    if op == "baseline":
        pass
    elif op == "read":
        quillon_files.read_manifest(path)
        quillon_files.read_manifest_uri(path)
    elif op == "kernel-copy":
        kernel_copy(path, output, shift)
    elif op in FILE_PEERS:
        FILE_PEERS[op](path, output)
    elif op == "embed":
        quillon_files.embed_manifest_both(path, URI, store, output=output)
    elif op == "remove":
        quillon_files.remove_manifest(path, output=output)
    elif op == "ranges":
        quillon_files.store_ranges(path)
    elif op == "patch":
        quillon_files.patch_store(path, store[::-1])
    elif op == "hash":
        hash_without(path, [])
    elif op == "flow":
        # Placeholder embed, ranges, hash around them, signed store patched in.
        quillon_files.embed_manifest_both(path, URI, bytes(len(store)), output=output)
        ranges = quillon_files.store_ranges(output)
        hash_without(output, ranges)
        quillon_files.patch_store(output, store)
    else:
        raise SystemExit(f"unknown case {op}")
    print(json.dumps({"seconds": time.perf_counter() - start}))


def hash_without(path: str, ranges: list[tuple[int, int]]) -> bytes:
    """SHA-256 of the file's bytes outside `ranges`, read through a mapping."""
    import hashlib
    import mmap

    digest = hashlib.sha256()
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        view = memoryview(mapped)
        position = 0
        for start, length in sorted(ranges):
            digest.update(view[position:start])
            position = start + length
        digest.update(view[position:])
        view.release()
    return digest.digest()


def rss_anon(pid: int) -> int:
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def watched(argv: list[str]) -> tuple[float | None, int, str]:
    """Runs `argv`, sampling its anonymous memory; returns the seconds it
    reports (or its wall time), the peak RssAnon and its output."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, rss_anon(process.pid))
            time.sleep(0.002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, err = process.communicate()
    wall = time.perf_counter() - start
    done.set()
    sampler.join()
    if process.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed: {err.strip()[-500:]}")
    try:
        return json.loads(out.strip().splitlines()[-1])["seconds"], peak, out
    except (ValueError, IndexError, KeyError):
        return wall, peak, out


def external(argv: list[str]) -> tuple[float, int]:
    """Runs a tool followed by `sync`: the time of both, and the tool's own
    peak anonymous memory."""
    start = time.perf_counter()
    _, peak, _ = watched(argv)
    os.sync()
    return time.perf_counter() - start, peak


def run_case(op: str, path: Path, output: Path, store: Path, runs: int) -> tuple[float | None, int]:
    times, peaks = [], []
    for _ in range(runs):
        if op == "cp+sync":
            seconds, peak = external(["cp", "--reflink=never", str(path), str(output)])
        elif op == "gguf-new-metadata":
            script = Path(sys.executable).parent / "gguf-new-metadata"
            seconds, peak = external([sys.executable, str(script), "--force", "--general-description", "bench",
                                      str(path), str(output)])
        else:
            seconds, peak, _ = watched([sys.executable, __file__, "--child", op, "--child-path", str(path),
                                        "--child-output", str(output), "--child-store", str(store)])
        if output.exists():
            output.unlink()
        if seconds is None:
            return None, 0
        times.append(seconds)
        peaks.append(peak)
    return statistics.median(times), max(peaks)


# --------------------------------------------------------------------------


def fmt_time(t: float | None) -> str:
    if t is None:
        return "n/a"
    return f"{t * 1e3:.1f} ms" if t < 1 else f"{t:.2f} s"


def fmt_mem(n: int) -> str:
    return f"{n / MIB:.0f} MiB"


READ_PEERS = {"gguf": "ggufreader", "safetensors": "safe_open", "onnx": "onnx.load"}
REWRITE_PEERS = {"gguf": "gguf-new-metadata", "safetensors": "safetensors-rewrite", "onnx": "onnx-rewrite"}


def bench_format(fmt: str, size: int, folder: Path, store: Path, args) -> list[tuple[str, str, float | None, int]]:
    import quillon_files

    model = folder / f"model-{size_label(size)}.{fmt}"
    stamped = folder / f"stamped-{size_label(size)}.{fmt}"
    output = folder / f"out.{fmt}"
    if not model.exists():
        print(f"writing {model} ...", file=sys.stderr)
        WRITERS[fmt](model, size)
    quillon_files.embed_manifest_both(str(model), URI, store.read_bytes(), output=str(stamped))
    rows = []

    def case(label: str, op: str, path: Path, runs: int) -> None:
        seconds, peak = run_case(op, path, output, store, runs)
        rows.append((fmt, label, seconds, peak))
        print(f"  {fmt:12} {label:34} {fmt_time(seconds):>10} {fmt_mem(peak):>9}", file=sys.stderr, flush=True)

    case("read store + URI, warm", "read", stamped, args.runs)
    case("read store + URI, cold", "read-cold", stamped, args.runs)
    if args.peers:
        case(f"{READ_PEERS[fmt]}, warm", READ_PEERS[fmt], stamped, args.runs)
        case(f"{READ_PEERS[fmt]}, cold", READ_PEERS[fmt] + "-cold", stamped, args.runs)
    case("cp --reflink=never + sync", "cp+sync", model, args.runs)
    case("embed (store + URI)", "embed", model, args.runs)
    case("remove", "remove", stamped, args.runs)
    case("store ranges", "ranges", stamped, args.runs)
    case("same-size store patch (pwrite + fsync)", "patch", stamped, args.runs)
    case("SHA-256 of the whole file (one sequential read)", "hash", model, args.runs)
    case("signing flow: placeholder embed, ranges, hash, patch", "flow", model, args.runs)
    if args.peers and size <= args.peer_limit:
        case(REWRITE_PEERS[fmt], REWRITE_PEERS[fmt], model, 1)
    for path in (stamped, output):
        if path.exists():
            path.unlink()
    if not args.keep:
        model.unlink()
    return rows


def huge(size: int, folder: Path, store: Path) -> list[str]:
    """Stamps, reads back and strips a GGUF model of `size` bytes."""
    import quillon_files

    model, stamped, stripped = (folder / f"{n}-huge.gguf" for n in ("model", "stamped", "stripped"))
    print(f"writing {model} ({size_label(size)}) ...", file=sys.stderr)
    write_realistic_gguf(model, size)
    lines = []
    try:
        for label, op, src, dst in (("embed", "embed", model, stamped), ("read", "read", stamped, stamped),
                                    ("remove", "remove", stamped, stripped)):
            seconds, peak, _ = watched([sys.executable, __file__, "--child", op, "--child-path", str(src),
                                        "--child-output", str(dst), "--child-store", str(store)])
            lines.append(f"| {label} | {fmt_time(seconds)} | {fmt_mem(peak)} |")
            if op == "embed":
                # Three copies of a model this size may not fit on the disk.
                model.unlink()
                same = quillon_files.read_manifest(str(stamped)) == store.read_bytes()
        lines.append(f"| store read back intact | {same} | |")
        lines.append(f"| C2PA data gone after remove | {quillon_files.read_manifest_uri(str(stripped)) is None} | |")
    finally:
        for path in (model, stamped, stripped):
            if path.exists():
                path.unlink()
    return lines


def largest_shift(model: Path, store: bytes) -> tuple[int, int]:
    """The largest range of `model` that an embed carries over: its length,
    and how far it moves in the new file."""
    import quillon_files

    position, length, shift = 0, 0, 0
    for piece in quillon_files.plan_embed(str(model), store=store, uri=URI):
        if isinstance(piece, tuple):
            if piece[1] > length:
                length, shift = piece[1], position - piece[0]
            position += piece[1]
        else:
            position += len(piece)
    return length, shift


def quiet_cold() -> None:
    """Drops the page cache and lets the disk finish the writes before."""
    if not drop_caches():
        raise SystemExit("--work copy needs root to drop the page cache")
    time.sleep(2)


def timed(argv: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(argv, check=True)
    os.sync()
    return time.perf_counter() - start


def copy_work(args, folder: Path, store: Path) -> list[str]:
    """quillon's embed against dd, a kernel copy loop and cp, all moving the
    bytes the same way, cold, interleaved run by run."""
    lines = ["| model | tensors move by | job | median | range |", "|---|---|---|---|---|"]
    output = folder / "out-copy"
    for fmt in filter(None, args.formats.split(",")):
        size = min(args.size, args.onnx_size) if fmt == "onnx" else args.size
        model = folder / f"model-{size_label(size)}.{fmt}"
        if not model.exists():
            print(f"writing {model} ...", file=sys.stderr)
            WRITERS[fmt](model, size)
        length, shift = largest_shift(model, store.read_bytes())
        dd = ["dd", f"if={model}", f"of={output}", "bs=1M", "conv=fsync", "status=none"]
        dd += [f"seek={shift}", "oflag=seek_bytes"] if shift >= 0 else [f"skip={-shift}", "iflag=skip_bytes"]
        child_argv = [sys.executable, __file__, "--child-path", str(model), "--child-output", str(output),
                      "--child-store", str(store), "--child-shift", str(shift), "--child"]
        cases = {
            "quillon embed": lambda: watched(child_argv + ["embed"])[0],
            f"dd bs=1M, moved {shift} bytes, conv=fsync": lambda: timed(dd),
            f"copy_file_range loop, moved {shift} bytes, fsync": lambda: watched(child_argv + ["kernel-copy"])[0],
            "cp --reflink=never + sync": lambda: timed(["cp", "--reflink=never", str(model), str(output)]),
        }
        times: dict[str, list[float]] = {label: [] for label in cases}
        for _ in range(args.runs):
            for label, run in cases.items():
                quiet_cold()
                times[label].append(run())
                output.unlink(missing_ok=True)
                print(f"  {fmt:12} {label:44} {fmt_time(times[label][-1]):>10}", file=sys.stderr, flush=True)
        moved = f"{shift} bytes ({'a multiple' if shift % 4096 == 0 else 'not a multiple'} of 4 KiB)"
        for label, values in times.items():
            lines.append(f"| {fmt} {size_label(size)} | {moved} | {label} | {fmt_time(statistics.median(values))} "
                         f"| {fmt_time(min(values))} - {fmt_time(max(values))} |")
        if not args.keep:
            model.unlink()
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=parse_size, default=8 * GIB, help="GGUF and SafeTensors size (default 8G)")
    parser.add_argument("--onnx-size", type=parse_size, default=3 * GIB // 2, help="ONNX size (default 1.5G)")
    parser.add_argument("--formats", default="gguf,safetensors,onnx")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--no-peers", dest="peers", action="store_false")
    parser.add_argument("--peer-limit", type=parse_size, default=8 * GIB,
                        help="skip the peers' rewrites above this size")
    parser.add_argument("--huge", type=parse_size, default=0, help="also stamp a GGUF model of this size")
    parser.add_argument("--dir", default=str(HERE.parent / "build" / "bench-files"), help="scratch folder")
    parser.add_argument("--keep", action="store_true", help="keep the generated models")
    parser.add_argument("--out", default=str(HERE / "files-results.md"))
    parser.add_argument("--work", choices=["all", "copy"], default="all",
                        help="copy: only the rewrite's copy against dd, copy_file_range and cp (appended)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--child-path", help=argparse.SUPPRESS)
    parser.add_argument("--child-output", help=argparse.SUPPRESS)
    parser.add_argument("--child-store", help=argparse.SUPPRESS)
    parser.add_argument("--child-shift", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.child_path, args.child_output, args.child_store, args.child_shift)
        return

    folder = Path(args.dir)
    folder.mkdir(parents=True, exist_ok=True)
    store = folder / "store.c2pa"
    store.write_bytes(make_store(STORE_SIZE))
    command = "python bench/files.py " + " ".join(sys.argv[1:])
    if args.work == "copy":
        report = [f"\n## The copy of a rewrite, cold\n\nCommand: `{command}`\n"]
        report += [f"- {k}: {v}" for k, v in machine_info().items()]
        report += ["", *copy_work(args, folder, store)]
        text = "\n".join(report) + "\n"
        print(text)
        if args.out:
            with open(args.out, "a") as out:
                out.write(text)
        return
    report = [f"# File engine benchmark\n\nCommand: `{command}`\n"]
    report += [f"- {k}: {v}" for k, v in machine_info().items()]
    _, baseline = run_case("baseline", store, folder / "unused", store, 3)
    report.append(f"- Interpreter with quillon_files imported, doing nothing: {fmt_mem(baseline)} anonymous")
    rows = []
    for fmt in filter(None, args.formats.split(",")):
        size = args.onnx_size if fmt == "onnx" else args.size
        rows += [(f"{fmt} {size_label(size)}",) + r[1:] for r in bench_format(fmt, size, folder, store, args)]
    report += ["", "| model | job | time (median) | peak anonymous memory |", "|---|---|---|---|"]
    report += [f"| {m} | {label} | {fmt_time(t)} | {fmt_mem(p)} |" for m, label, t, p in rows]
    if args.huge:
        report += ["", f"## A {size_label(args.huge)} GGUF model on a machine with "
                       f"{os.sysconf('SC_PHYS_PAGES') * os.sysconf('SC_PAGE_SIZE') / GIB:.0f} GiB of memory", "",
                   "| job | time | peak anonymous memory |", "|---|---|---|"]
        report += huge(args.huge, folder, store)
    text = "\n".join(report) + "\n"
    print(text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()

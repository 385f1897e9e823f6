"""Stamping and auditing a whole model collection on a Dask cluster.

A model registry holds tens of thousands of files on shared or object
storage mounted on every worker. This example spreads the work over Dask's
distributed scheduler: every task takes a batch of *paths* and works on the
files where they lie through `quillon_files`, so no model crosses the wire,
only paths and the small result records. A file that fails becomes a row
with its error; the others still complete. An audit also takes models by URL
(a hub, S3 through fsspec): the workers read only their metadata, by range.

    pip install "quillon[dask]"
    python examples/dask_registry.py audit /models                      # local cluster
    python examples/dask_registry.py audit https://hub.example/m.gguf s3://bucket/m.onnx
    python examples/dask_registry.py stamp /models --store m.c2pa \\
        --uri https://example.com/m.c2pa --output /stamped --scheduler tcp://host:8786

Without --scheduler it starts a local cluster of --workers processes.
"""

import argparse
import functools
import os
import sys
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence

import quillon_files

MODEL_SUFFIXES = (".gguf", ".safetensors", ".onnx")
# Paths per task: big enough that the scheduler's per-task cost (about a
# millisecond) is small beside the work, small enough to balance the load.
BATCH_SIZE = 32

Record = Dict[str, Any]


def find_models(root: str) -> List[str]:
    """Every model file under `root`, in a stable order."""
    found = []
    for folder, _, names in os.walk(root):
        found.extend(os.path.join(folder, n) for n in names if n.endswith(MODEL_SUFFIXES))
    return sorted(found)


def models_in(given: str) -> List[str]:
    """The models a command-line ROOT names: a URL or a file as it is, the
    model files under a folder."""
    if "://" in given or not os.path.isdir(given):
        return [given]
    return find_models(os.path.abspath(given))


def batches(items: Sequence[str], size: int = BATCH_SIZE) -> Iterator[List[str]]:
    for start in range(0, len(items), size):
        yield list(items[start:start + size])


def audit_one(path: str) -> Record:
    """What the registry wants to know of one model."""
    record: Record = {"file": path, "format": None, "store_size": None, "uri": None, "error": None}
    try:
        record["format"] = quillon_files.detect_format(path)
        record["uri"] = quillon_files.read_manifest_uri(path)
        try:
            record["store_size"] = len(quillon_files.read_manifest(path))
        except ValueError as error:
            # A model without a store is an answer, not an error.
            if error.kind != "no_manifest":  # type: ignore[attr-defined]
                raise
    except (OSError, ValueError) as error:
        record["error"] = str(error)
    return record


def audit_batch(paths: List[str]) -> List[Record]:
    return [audit_one(path) for path in paths]


def stamp_one(path: str, root: str, output: Optional[str], store_path: Optional[str],
              uri: Optional[str]) -> Record:
    """Embeds the store (read on the worker) and/or the URI into `path`,
    writing to the same place under `output`, or in place without it."""
    destination = path if output is None else os.path.join(output, os.path.relpath(path, root))
    record: Record = {"file": path, "output": destination, "error": None}
    try:
        store = None if store_path is None else Path(store_path).read_bytes()
        if destination != path:
            os.makedirs(os.path.dirname(destination), exist_ok=True)
        target = None if destination == path else destination
        if store is not None and uri is not None:
            quillon_files.embed_manifest_both(path, uri, store, output=target)
        elif store is not None:
            quillon_files.embed_manifest(path, store, output=target)
        else:
            quillon_files.embed_manifest_remote(path, uri, output=target)
    except (OSError, ValueError) as error:
        record["error"] = str(error)
    return record


def stamp_batch(root: str, output: Optional[str], store_path: Optional[str], uri: Optional[str],
                paths: List[str]) -> List[Record]:
    return [stamp_one(path, root, output, store_path, uri) for path in paths]


def run_on_cluster(client: Any, function: Any, paths: Sequence[str], *args: Any) -> List[Record]:
    """Runs `function(*args, batch)` over `paths` in batches on the cluster;
    the records come back in the order of `paths`."""
    futures = client.map(functools.partial(function, *args), list(batches(paths)), pure=False)
    records: List[Record] = []
    for batch in client.gather(futures):
        records.extend(batch)
    return records


def table(records: Iterable[Record]) -> str:
    """The records as aligned text columns, one row per file."""
    rows = list(records)
    if not rows:
        return "(no model files)"
    columns = list(rows[0])
    cells = [[("" if r[c] is None else str(r[c])) for c in columns] for r in rows]
    widths = [max(len(c), *(len(row[i]) for row in cells)) for i, c in enumerate(columns)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(columns, widths))]
    lines += ["  ".join(v.ljust(w) for v, w in zip(row, widths)) for row in cells]
    return "\n".join(line.rstrip() for line in lines)


def connect(scheduler: Optional[str], workers: int) -> Any:
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler)
    return Client(LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("audit", "stamp"))
    parser.add_argument("roots", nargs="+", metavar="ROOT",
                        help="folder holding the model collection; for audit also model files or URLs "
                             "(https://..., s3://...), read by byte ranges where they lie")
    parser.add_argument("--store", help="Manifest Store to embed (stamp)")
    parser.add_argument("--uri", help="remote manifest URI to embed (stamp)")
    parser.add_argument("--output", help="write stamped models under this folder (default: in place)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster (default: the CPUs)")
    args = parser.parse_args(argv)
    if args.command == "stamp" and args.store is None and args.uri is None:
        parser.error("stamp needs --store, --uri or both")
    if args.command == "stamp" and (len(args.roots) != 1 or not os.path.isdir(args.roots[0])):
        parser.error("stamp takes one folder")

    root = os.path.abspath(args.roots[0])
    paths = [path for given in args.roots for path in models_in(given)]
    with connect(args.scheduler, args.workers) as client:
        if args.command == "audit":
            records = run_on_cluster(client, audit_batch, paths)
        else:
            store = None if args.store is None else os.path.abspath(args.store)
            output = None if args.output is None else os.path.abspath(args.output)
            records = run_on_cluster(client, stamp_batch, paths, root, output, store, args.uri)
    print(table(records))
    failed = sum(1 for r in records if r["error"])
    print(f"{len(records)} files, {len(records) - failed} done, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

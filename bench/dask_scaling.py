#!/usr/bin/env python3
"""Throughput of examples/dask_registry.py with one and with two workers.

Generates a collection of small models (all three formats, some carrying
C2PA data, a few broken) in a folder in memory (/dev/shm), then audits and
stamps it on a local Dask cluster of one worker process and of two, each
several times in alternation, and reports the medians and the speed-up.

    pip install "quillon[dask]"
    python bench/dask_scaling.py --files 2000 --runs 3
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
sys.path.insert(0, str(HERE.parent / "tools"))

import cloudpickle  # noqa: E402
import dask_registry  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

from models import make_collection  # noqa: E402

cloudpickle.register_pickle_by_value(dask_registry)


def timed_jobs(workers: int, root: Path, store: Path, output: Path) -> tuple[float, float]:
    """Seconds to audit and to stamp the whole collection with `workers`."""
    paths = dask_registry.find_models(str(root))
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, Client(cluster) as client:
        client.run(lambda: __import__("quillon_files"))  # imports are not part of the job
        start = time.perf_counter()
        dask_registry.run_on_cluster(client, dask_registry.audit_batch, paths)
        audit = time.perf_counter() - start
        shutil.rmtree(output, ignore_errors=True)
        start = time.perf_counter()
        dask_registry.run_on_cluster(client, dask_registry.stamp_batch, paths, str(root), str(output),
                                     str(store), "https://example.com/m.c2pa")
        stamp = time.perf_counter() - start
    return audit, stamp


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as scratch:
        root, output, store = Path(scratch, "in"), Path(scratch, "out"), Path(scratch, "m.c2pa")
        make_collection(root, args.files)
        store.write_bytes(os.urandom(16 * 1024))
        results: dict[int, list[tuple[float, float]]] = {1: [], 2: []}
        for _ in range(args.runs):
            for workers in (1, 2):
                results[workers].append(timed_jobs(workers, root, store, output))
    print(f"{args.files} models, load average at the end {os.getloadavg()[0]:.2f}, cores {os.cpu_count()}")
    print("| job | 1 worker | 2 workers | speed-up |")
    print("|---|---|---|---|")
    for index, job in enumerate(("audit", "stamp")):
        one = statistics.median(r[index] for r in results[1])
        two = statistics.median(r[index] for r in results[2])
        print(f"| {job} | {one:.2f} s | {two:.2f} s | {one / two:.2f}× |")


if __name__ == "__main__":
    main()

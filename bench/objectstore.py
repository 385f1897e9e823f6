#!/usr/bin/env python3
"""Stamping models kept in S3: bytes the client sends and receives, and wall
time, of quillon (quillon_files.embed_manifest from one s3:// URL to another,
composed on the server from part copies) against download + stamp + upload
(s3fs `get`, quillon_files.embed_manifest on the local file, s3fs `put`).

S3 is moto's server on 127.0.0.1, started here. The client reaches it through
a counting TCP proxy on loopback, so the bytes are those on the wire (request
and response bodies and headers); putting the models in place goes straight
to the server and is not counted. Models are the realistic ones of
tools/models.py, 1 GiB each (--size; --large adds 8 GiB ones), stamped with a
32 KiB store. moto keeps objects on its side as real bytes in this process, so
the server's work (copying ranges in Python) weighs on the wall times of
both; the bytes are what a real network would carry.

    python bench/objectstore.py
    python bench/objectstore.py --size 256M --formats gguf

Results go to bench/objectstore-results.md.
"""

from __future__ import annotations

import argparse
import logging
import os
import socket
import sys
import tempfile
import threading
import time
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from common import FORMATS, FORMAT_NAMES, GIB, MIB, machine_info, package_version, parse_size, size_label  # noqa: E402
import models  # noqa: E402

STORE_SIZE = 32 * 1024


class CountingProxy:
    """A TCP proxy on 127.0.0.1 to `target` that counts the bytes each way."""

    def __init__(self, target: tuple[str, int]) -> None:
        self.target = target
        self.sent = 0  # client to server
        self.received = 0  # server to client
        self._lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def reset(self) -> None:
        with self._lock:
            self.sent = self.received = 0

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            server = socket.create_connection(self.target)
            threading.Thread(target=self._pump, args=(client, server, "sent"), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, "received"), daemon=True).start()

    def _pump(self, source: socket.socket, sink: socket.socket, counter: str) -> None:
        try:
            while True:
                data = source.recv(1 << 20)
                if not data:
                    break
                with self._lock:
                    setattr(self, counter, getattr(self, counter) + len(data))
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for end in (source, sink):
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self) -> None:
        self._listener.close()


def measure(proxy: CountingProxy, call) -> tuple[float, int, int]:
    proxy.reset()
    start = time.perf_counter()
    call()
    elapsed = time.perf_counter() - start
    time.sleep(0.2)  # let the pumps count the last answers
    return elapsed, proxy.sent, proxy.received


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=parse_size, default=GIB)
    parser.add_argument("--large", action="store_true", help="also 8 GiB models")
    parser.add_argument("--formats", nargs="+", choices=FORMATS, default=list(FORMATS))
    parser.add_argument("--out", default=str(HERE / "objectstore-results.md"))
    args = parser.parse_args()

    for name, value in {"AWS_ACCESS_KEY_ID": "bench", "AWS_SECRET_ACCESS_KEY": "bench",
                        "AWS_DEFAULT_REGION": "us-east-1"}.items():
        os.environ.setdefault(name, value)
    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # moto's request log
    import fsspec.config
    import moto.server
    import quillon_files
    import s3fs

    server = moto.server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    proxy = CountingProxy((host, port))
    # moto assembles a completed upload in Python: a GiB takes longer than
    # botocore's read timeout, whose retry would then find the upload gone.
    patient = {"read_timeout": 1800, "retries": {"max_attempts": 1}}
    direct = s3fs.S3FileSystem(client_kwargs={"endpoint_url": f"http://{host}:{port}"}, config_kwargs=patient,
                               skip_instance_cache=True)
    options = {"endpoint_url": f"http://127.0.0.1:{proxy.port}", "config_kwargs": patient, "skip_instance_cache": True}
    counted = s3fs.S3FileSystem(**options)
    fsspec.config.conf["s3"] = options
    bucket = f"bench-{uuid.uuid4().hex[:12]}"
    direct.mkdir(bucket)
    store = models.make_store(STORE_SIZE)
    sizes = [args.size] + ([8 * GIB] if args.large else [])
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for size in sizes:
            for fmt in args.formats:
                local = os.path.join(scratch, f"model.{fmt}")
                models.REALISTIC_WRITERS[fmt](local, size)
                key = f"{bucket}/model.{fmt}"
                direct.put(local, key)
                os.unlink(local)
                url = f"s3://{key}"

                def composed() -> None:
                    quillon_files.embed_manifest(url, store, output=f"s3://{bucket}/composed.{fmt}")

                def round_trip() -> None:
                    counted.get(key, local)
                    quillon_files.embed_manifest(local, store, output=local + ".stamped")
                    counted.put(local + ".stamped", f"{bucket}/round-trip.{fmt}")
                    os.unlink(local)
                    os.unlink(local + ".stamped")

                for label, call in (("quillon (server-side compose)", composed),
                                    ("download + stamp + upload", round_trip)):
                    seconds, sent, received = measure(proxy, call)
                    rows.append((FORMAT_NAMES[fmt], size_label(size), label, seconds, sent, received))
                    print(f"{fmt} {size_label(size)} {label}: {seconds:.2f} s, sent {sent / MIB:.2f} MiB, "
                          f"received {received / MIB:.2f} MiB", flush=True)
                assert direct.cat_file(f"{bucket}/composed.{fmt}") == direct.cat_file(f"{bucket}/round-trip.{fmt}")
                for name in (f"model.{fmt}", f"composed.{fmt}", f"round-trip.{fmt}"):
                    direct.rm(f"{bucket}/{name}")
    proxy.close()
    server.stop()

    lines = ["# Stamping models in S3: quillon's compose against download + stamp + upload", "",
             "`python bench/objectstore.py" + (" --large" if args.large else "") + "` (" + __doc__.split("\n\n")[1]
             .replace("\n", " ").strip() + ")", "",
             "| Format | Size | Method | Wall time | Client sent | Client received |",
             "|---|---|---|---|---|---|"]
    for fmt, size, label, seconds, sent, received in rows:
        lines.append(f"| {fmt} | {size} | {label} | {seconds:.2f} s | {sent / MIB:.2f} MiB | {received / MIB:.2f} MiB |")
    lines += ["", "## Machine", ""]
    info = dict(machine_info(), moto=package_version("moto"), s3fs=package_version("s3fs"))
    lines += [f"- {name}: {value}" for name, value in info.items()]
    Path(args.out).write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

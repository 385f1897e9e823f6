#!/usr/bin/env python3
"""Remote reads: requests, bytes and wall time of quillon_files on models
served over HTTP, against the peers that read the same metadata.

Everything is served by tools/rangeserver.py on 127.0.0.1, started and
stopped here, with a delay added to every request (--delay, 20 ms) so that
round trips show as they do over a real network. The models are sparse files
in a scratch folder (nothing big is written) with a C2PA store and a URI:

  shards    a 15-shard SafeTensors repository of 4.7 GB shards, headers of
            ~44 KB and, in a second run, ~156 KB: quillon_files.describe on
            each shard (after one GET of the index, in order and on a thread
            per shard, up to 16) against
            huggingface_hub.get_safetensors_metadata with HF_ENDPOINT on the
            local server, which answers the hub's resolve URLs
  gguf      a 4 GiB GGUF with a 256,000-token vocabulary (~6 MB of metadata):
            describe against fsspec's HTTP file reading the metadata with its
            default block size, and against a download of the whole model
            (timed on the first --download bytes and scaled)
  onnx      a 2 GB ONNX model (one graph with a 2 GB initializer, then the
            C2PA metadata entries): describe against a whole download, which
            onnx.load needs
  8 GiB     the store and the URI of an 8 GiB model of each format end to end:
            read_manifest + read_manifest_uri on the URL, and both through one
            quillon_remote source
  s3        the quillon cases on moto's S3 server through s3fs (plain and
            version_aware), against s3fs reading the metadata, with 64 MiB
            models (moto keeps objects as real bytes), when both import; the
            same delay per request, requests and bytes counted by a wrapper
            around moto's application

    python bench/remote.py
    python bench/remote.py --runs 3 --shard-size 1G --gguf-size 1G --onnx-size 256M

Times are medians over --runs runs after one warm-up; requests and bytes are
those of one run, counted by the server (bytes of response bodies). Results go
to bench/remote-results.md.
"""

from __future__ import annotations

import argparse
import base64
import http.client
import json
import os
import shutil
import statistics
import struct
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from common import GIB, MIB, URI, format_seconds, machine_info, package_version, parse_size, size_label  # noqa: E402
import models  # noqa: E402
import rangeserver  # noqa: E402

FIRST = 256 * 1024  # quillon's first window (src/sparse/remote.hpp)
STORE_SIZE = 32 * 1024  # a signed store with its certificate chain
REPO = "bench/model"
COMMIT = "0123456789abcdef0123456789abcdef01234567"
CHUNK = MIB


# --------------------------------------------------------------------------
# The hub: resolve URLs are objects of the range server; the hub client also
# needs the commit of every answer and an error code on a missing file.


class _HubHandler(rangeserver._Handler):
    # Servers of models (and S3) answer with TCP_NODELAY; without it, a small
    # body sent after the headers waits for the client's delayed ACK (40 ms).
    disable_nagle_algorithm = True

    def _headers(self, entry, status, headers):
        headers = dict(headers, **{"X-Repo-Commit": COMMIT})
        if status == 404:
            headers["X-Error-Code"] = "EntryNotFound"
        super()._headers(entry, status, headers)


def hub_server() -> rangeserver.RangeServer:
    server = rangeserver.RangeServer()
    server.RequestHandlerClass = _HubHandler
    return server


def resolve_path(name: str) -> str:
    return f"/{REPO}/resolve/main/{name}"


# --------------------------------------------------------------------------
# Models: a head written, the rest a hole.


def write_sparse(path: Path, head: bytes, size: int, tail: bytes = b"") -> Path:
    with open(path, "wb") as out:
        out.write(head)
        out.truncate(len(head) + size)
        out.seek(len(head) + size)
        out.write(tail)
    return path


def shard_header(index: int, data_size: int, header_size: int, store: bytes) -> tuple[bytes, list[str], int]:
    """A shard's header: about `header_size` bytes of BF16 tensor entries
    named as in a llama checkpoint, which share about `data_size` bytes, and
    the C2PA entries on top; returns the header, the tensor names and the
    data's size."""
    suffixes = [suffix for suffix, _ in models.SAFETENSORS_LAYER]
    width = 4096

    def build(count: int) -> tuple[bytes, list[str], int]:
        rows = data_size // (count * width * 2)
        names = [f"model.layers.{index * 1000 + i // len(suffixes)}.{suffixes[i % len(suffixes)]}"
                 for i in range(count)]
        header: dict = {"__metadata__": {"format": "pt", "c2pa:manifest": base64.b64encode(store).decode(),
                                         "c2pa:manifest.uri": URI}}
        offset = 0
        for name in names:
            n = rows * width * 2
            header[name] = {"dtype": "BF16", "shape": [rows, width], "data_offsets": [offset, offset + n]}
            offset += n
        text = json.dumps(header, separators=(",", ":")).encode()
        text += b" " * (-len(text) % 8)
        return struct.pack("<Q", len(text)) + text, names, offset

    fixed = len(build(1)[0])
    count = 100
    for _ in range(3):  # the entry's length grows with the numbers in it
        per_entry = (len(build(count)[0]) - fixed) / (count - 1)
        count = max(1, 1 + round(header_size / per_entry))
    return build(count)


def write_shards(folder: Path, count: int, shard_size: int, header_size: int, store: bytes) -> tuple[list[Path], bytes]:
    """`count` sparse shards and their index (model.safetensors.index.json)."""
    paths, weight_map, total = [], {}, 0
    for i in range(count):
        name = f"model-{i + 1:05d}-of-{count:05d}.safetensors"
        head, names, data = shard_header(i, shard_size, header_size, store)
        paths.append(write_sparse(folder / name, head, data))
        weight_map.update(dict.fromkeys(names, name))
        total += data
    index = json.dumps({"metadata": {"total_size": total}, "weight_map": weight_map}, indent=2).encode()
    return paths, index


def write_gguf(path: Path, size: int, vocab: int, store: bytes) -> int:
    """A GGUF model with a `vocab`-token vocabulary (texts, float32 scores,
    int32 types), the C2PA entries last, and one F32 tensor of `size` bytes;
    returns where the tensor data starts."""
    kvs = [
        models.gguf_str("general.architecture", "llama"),
        models.gguf_str("general.name", "bench-remote"),
        models.gguf_str("tokenizer.ggml.model", "llama"),
        models.gguf_tokens(models.vocabulary(vocab)),
        models.gguf_kv("tokenizer.ggml.scores", models.ARRAY,
                       models.gguf_array(models.FLOAT32, vocab, struct.pack(f"<{vocab}f", *(-float(i) for i in range(vocab))))),
        models.gguf_kv("tokenizer.ggml.token_type", models.ARRAY,
                       models.gguf_array(models.INT32, vocab, struct.pack(f"<{vocab}i", *([1] * vocab)))),
        models.gguf_store_kv(store),
        models.gguf_uri_kv(URI),
    ]
    head = models.gguf(kvs, [models.gguf_tensor("weight", [size // 4])])
    write_sparse(path, head, size // 4 * 4)
    return len(head)


def write_onnx(path: Path, size: int, store: bytes) -> Path:
    """ModelProto{ir_version 8, opset 17, graph{one UINT8 initializer of
    `size` bytes of raw_data (a hole)}, then the C2PA metadata entries}."""
    tensor_head = b"\x08" + models.varint(size) + b"\x10\x02" + models.field(8, b"weight")
    tensor_size = len(tensor_head) + len(models.field_head(9, size)) + size
    graph_head = models.field(2, b"bench") + models.field_head(5, tensor_size)
    graph_size = len(graph_head) + tensor_size
    head = (b"\x08\x08" + models.field(8, b"\x10\x11") + models.field_head(7, graph_size) + graph_head
            + tensor_head + models.field_head(9, size))
    tail = models.onnx_entry("c2pa:manifest", base64.b64encode(store)) + models.onnx_entry("c2pa:manifest.uri", URI)
    return write_sparse(path, head, size, tail)


def write_safetensors(path: Path, size: int, store: bytes) -> Path:
    head, _, data = shard_header(0, size, 44_000, store)
    return write_sparse(path, head, data)


def check(model, store: bytes) -> None:
    """The model carries `store` and URI as quillon reads it from disk."""
    import quillon_files

    described = quillon_files.describe(model)
    assert (described["store_size"], described["uri"]) == (len(store), URI), described


# --------------------------------------------------------------------------
# Measuring: wall time of a call, and the server's requests and body bytes.


@dataclass
class Row:
    case: str
    tool: str
    requests: Optional[int]
    sent: Optional[int]
    seconds: float
    note: str = ""


def counted(server, call: Callable[[], object]) -> tuple[float, int, int]:
    before = len(server.log)
    start = time.perf_counter()
    call()
    seconds = time.perf_counter() - start
    with server.lock:
        entries = server.log[before:]
    for entry in entries:
        entry.done.wait(10)
    return seconds, len(entries), sum(entry.sent for entry in entries)


def measure(server, call: Callable[[], object], runs: int, reset: Callable[[], object] = lambda: None):
    """Median seconds of `runs` runs after a warm-up, with the requests and
    bytes of the median run; `reset` runs before each, untimed."""
    reset()
    call()
    results = []
    for _ in range(runs):
        reset()
        results.append(counted(server, call))
    results.sort()
    return results[len(results) // 2]


def fetched(server, call: Callable[[], object]) -> str:
    """The ranges one more run of `call` asks for, as 'start+length' in KiB."""
    before = len(server.log)
    call()
    with server.lock:
        entries = server.log[before:]
    spans = []
    for entry in entries:
        first, _, last = (entry.range or "bytes=0-").removeprefix("bytes=").partition("-")
        spans.append(f"{int(first) // 1024}K+{(int(last) - int(first) + 1) // 1024}K" if last else f"{entry.method}")
    return "ranges " + ", ".join(spans)


def get(url: str, start: int = 0, length: Optional[int] = None) -> int:
    """GETs `url` (the range [start, start + length) if given) on a new
    connection and reads the body in 1 MiB pieces, as a download does."""
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname or "127.0.0.1", parts.port, timeout=60)
    headers = {} if length is None else {"Range": f"bytes={start}-{start + length - 1}"}
    connection.request("GET", parts.path, headers=headers)
    response = connection.getresponse()
    total = 0
    while True:
        piece = response.read(CHUNK)
        if not piece:
            break
        total += len(piece)
    connection.close()
    return total


def download_row(server, case: str, url: str, size: int, limit: int, runs: int) -> Row:
    """The whole download of `url`, or of its first `limit` bytes with the
    time scaled to `size`."""
    if size <= limit:
        seconds, requests, sent = measure(server, lambda: get(url), runs)
        return Row(case, "whole download (GET)", requests, sent, seconds)
    seconds, requests, sent = measure(server, lambda: get(url, 0, limit), runs)
    return Row(case, "whole download (GET)", requests, size, seconds * size / limit,
               f"time of the first {size_label(limit)}, scaled")


# --------------------------------------------------------------------------
# The cases.


def shards_case(server, folder: Path, args, header_size: int, store: bytes) -> List[Row]:
    import quillon_files

    sub = folder / f"shards-{header_size}"
    sub.mkdir()
    paths, index = write_shards(sub, args.shards, args.shard_size, header_size, store)
    check(paths[0], store)
    with open(paths[0], "rb") as shard:
        actual = struct.unpack("<Q", shard.read(8))[0]
    server.objects.clear()
    server.put(resolve_path("model.safetensors.index.json"), index)
    for path in paths:
        server.put(resolve_path(path.name), path)
    case = (f"{args.shards} × {args.shard_size / 1e9:.1f} GB SafeTensors shards, headers of {header_size // 1000} KB "
            f"of tensors + store = {actual / 1000:.0f} KB")
    index_url = server.url(resolve_path("model.safetensors.index.json"))

    def shard_urls() -> list[str]:
        with urllib.request.urlopen(index_url) as answer:
            names = sorted(set(json.load(answer)["weight_map"].values()))
        return [server.url(resolve_path(name)) for name in names]

    def quillon_serial():
        results = [quillon_files.describe(url) for url in shard_urls()]
        assert all(r["store_size"] == len(store) for r in results)

    workers = min(32, (os.cpu_count() or 1) + 4)  # what huggingface_hub's thread map uses
    # Shard reads wait on the network: quillon takes a thread per shard, up
    # to 16, as `quillon info` does with URLs (quillon_cli.batch.default_jobs).
    own_workers = min(16, args.shards)

    def quillon_threads():
        with ThreadPoolExecutor(own_workers) as pool:
            results = list(pool.map(quillon_files.describe, shard_urls()))
        assert all(r["store_size"] == len(store) for r in results)

    from huggingface_hub import HfApi, constants

    api = HfApi(endpoint=server.url(""))

    def hub():
        metadata = api.get_safetensors_metadata(REPO)
        assert len(metadata.files_metadata) == args.shards

    def empty_cache():
        shutil.rmtree(constants.HF_HUB_CACHE, ignore_errors=True)

    rows = []
    for tool, call, reset, note in [
        ("quillon: index + describe per shard, in order", quillon_serial, lambda: None, ""),
        (f"quillon: index + describe per shard, {own_workers} threads", quillon_threads, lambda: None,
         "a thread per shard, as `quillon info` takes for URLs"),
        ("huggingface_hub.get_safetensors_metadata", hub, empty_cache,
         f"its own {workers} threads; empty cache each run"),
    ]:
        seconds, requests, sent = measure(server, call, args.runs, reset)
        rows.append(Row(case, tool, requests, sent, seconds, note))
    server.objects.clear()
    for path in paths:
        path.unlink()
    return rows


def gguf_case(server, folder: Path, args, vocab: int, store: bytes) -> List[Row]:
    import fsspec
    import quillon_files

    path = folder / "model.gguf"
    metadata = write_gguf(path, args.gguf_size, vocab, store)
    check(path, store)
    server.objects.clear()
    server.put("/model.gguf", path)
    url = server.url("/model.gguf")
    case = f"{size_label(path.stat().st_size)} GGUF, {vocab:,}-token vocabulary ({metadata / 1e6:.1f} MB metadata)"

    def fsspec_read():
        with fsspec.open(url, "rb") as handle:
            assert len(handle.read(metadata)) == metadata

    rows = []
    for tool, call in [("quillon: describe", lambda: quillon_files.describe(url)),
                       ("fsspec.open(url).read(metadata size)", fsspec_read)]:
        rows.append(Row(case, tool, *_reorder(measure(server, call, args.runs))))
    rows[0].note = fetched(server, lambda: quillon_files.describe(url))
    import fsspec.implementations.http as fsspec_http

    rows[-1].note = (f"default block size {size_label(fsspec_http.DEFAULT_BLOCK_SIZE)}; told the metadata's size, "
                     "which a reader does not know beforehand; a HEAD first")
    rows.append(download_row(server, case, url, path.stat().st_size, args.download, args.runs))
    server.objects.clear()
    path.unlink()
    return rows


def _reorder(result: tuple[float, int, int]) -> tuple[int, int, float]:
    seconds, requests, sent = result
    return requests, sent, seconds


def onnx_case(server, folder: Path, args, store: bytes) -> List[Row]:
    import quillon_files

    path = write_onnx(folder / "model.onnx", args.onnx_size, store)
    check(path, store)
    server.objects.clear()
    server.put("/model.onnx", path)
    url = server.url("/model.onnx")
    case = f"{path.stat().st_size / 1e9:.1f} GB ONNX"
    rows = [Row(case, "quillon: describe", *_reorder(measure(server, lambda: quillon_files.describe(url), args.runs)),
                fetched(server, lambda: quillon_files.describe(url)))]
    rows.append(download_row(server, case, url, path.stat().st_size, args.onnx_download, args.runs))
    rows[-1].tool += ", what onnx.load needs"
    server.objects.clear()
    path.unlink()
    return rows


def big_case(server, folder: Path, args, store: bytes) -> List[Row]:
    import quillon_files
    import quillon_remote

    rows = []
    for fmt, write in [("SafeTensors", lambda p: write_safetensors(p, args.big, store)),
                       ("GGUF", lambda p: write_gguf(p, args.big, 32000, store)),
                       ("ONNX", lambda p: write_onnx(p, args.big, store))]:
        path = folder / f"big.{fmt.lower()}"
        write(path)
        check(path, store)
        server.objects.clear()
        server.put("/" + path.name, path)
        url = server.url("/" + path.name)
        case = f"{size_label(args.big)} {fmt}: store and URI"

        def two_calls():
            assert quillon_files.read_manifest(url) == store
            assert quillon_files.read_manifest_uri(url) == URI

        def one_source():
            with quillon_remote.open_source(url, first=(0, FIRST)) as source:
                assert quillon_files.read_manifest(source) == store
                assert quillon_files.read_manifest_uri(source) == URI

        for tool, call in [("quillon: read_manifest(url) + read_manifest_uri(url)", two_calls),
                           ("quillon: both through one open_source(url)", one_source)]:
            rows.append(Row(case, tool, *_reorder(measure(server, call, args.runs))))
        server.objects.clear()
        path.unlink()
    return rows


# --------------------------------------------------------------------------
# S3 on moto's server: small models (moto holds every object's bytes).


@dataclass
class _Logged:
    method: str
    range: Optional[str]
    sent: int = 0


def _moto_server(delay: float):
    """moto's threaded S3 server whose application waits `delay` seconds
    before each answer and logs each request and the bytes of its body."""
    import moto.server
    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    log: list[_Logged] = []

    def application(environ, start_response):
        entry = _Logged(environ["REQUEST_METHOD"], environ.get("HTTP_RANGE"))
        log.append(entry)
        time.sleep(delay)
        for piece in app(environ, start_response):
            entry.sent += len(piece)
            yield piece

    app = DomainDispatcherApplication(create_backend_app)

    class Server(moto.server.ThreadedMotoServer):
        def _server_entry(self) -> None:
            self._server = make_server(self._ip_address, self._port, application, True)
            self._server_ready_event.set()
            self._server.serve_forever()

    return Server(ip_address="127.0.0.1", port=0, verbose=False), log


def s3_rows(args, store: bytes) -> tuple[List[Row], str]:
    try:
        import s3fs
    except ImportError as missing:
        return [], f"S3 cases skipped: {missing}"
    import quillon_files
    import quillon_remote

    for name, value in {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
                        "AWS_DEFAULT_REGION": "us-east-1"}.items():
        os.environ.setdefault(name, value)
    try:
        server, log = _moto_server(args.delay)
    except ImportError as missing:
        return [], f"S3 cases skipped: {missing}"
    server.start()
    rows = []
    try:
        host, port = server.get_host_and_port()
        options = {"client_kwargs": {"endpoint_url": f"http://{host}:{port}"}}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("models")
        fs.call_s3("put_bucket_versioning", Bucket="models", VersioningConfiguration={"Status": "Enabled"})
        versioned = dict(options, version_aware=True)
        size = args.s3_size
        vocab = int(args.vocabs.split(",")[0])
        cases: list[tuple[str, str, bytes, int]] = []  # label, key, object, metadata size
        for header in map(int, args.headers.split(",")):
            head, _, tensors = shard_header(0, size, header, store)
            cases.append((f"SafeTensors shard, {len(head) / 1000:.0f} KB header", f"{header}.safetensors",
                          head + bytes(tensors), len(head)))
        with tempfile.TemporaryDirectory() as scratch:  # holes read as zeros
            gguf_path = Path(scratch) / "m.gguf"
            start = write_gguf(gguf_path, size, vocab, store)
            cases.append((f"GGUF, {vocab:,}-token vocabulary", "m.gguf", gguf_path.read_bytes(), start))
            onnx = write_onnx(Path(scratch) / "m.onnx", size, store).read_bytes()
            cases.append(("ONNX", "m.onnx", onnx, len(onnx)))
        for label, key, data, metadata in cases:
            fs.pipe_file(f"models/{key}", data)
            url = f"s3://models/{key}"

            def describe():
                with quillon_remote.open_source(url, storage_options=options) as source:
                    assert quillon_files.describe(source)["store_size"] == len(store)

            def describe_version():
                with quillon_remote.open_source(url, storage_options=versioned) as source:
                    assert quillon_files.describe(source)["store_size"] == len(store)

            def s3fs_read():
                with fs.open(url, "rb") as handle:
                    assert len(handle.read(metadata)) == metadata

            case = f"S3 (moto): {size_label(len(data))} {label}"
            for tool, call, note in [
                ("quillon: open_source(s3://) + describe", describe, "a HEAD first; each GET carries If-Match"),
                ("quillon: the same, version_aware=True", describe_version, "a HEAD first; reads ask for its version"),
                ("s3fs: open(s3://).read(metadata size)", s3fs_read,
                 f"default block size {size_label(fs.default_block_size)}; told the metadata's size; a HEAD first"),
            ]:
                if key == "m.onnx" and tool.startswith("s3fs"):
                    continue  # its metadata is at the end: a whole read
                call()
                results = []
                for _ in range(args.runs):
                    before = len(log)
                    start_time = time.perf_counter()
                    call()
                    seconds = time.perf_counter() - start_time
                    entries = log[before:]
                    results.append((seconds, len(entries), sum(entry.sent for entry in entries)))
                results.sort()
                rows.append(Row(case, tool, *_reorder(results[len(results) // 2]), note))
    finally:
        server.stop()
    return rows, ""


# --------------------------------------------------------------------------


def table(rows: List[Row]) -> str:
    lines = ["| case | tool | requests | bytes | seconds | note |", "|---|---|---:|---:|---:|---|"]
    for row in rows:
        sent = "" if row.sent is None else f"{row.sent:,}"
        requests = "" if row.requests is None else str(row.requests)
        lines.append(f"| {row.case} | {row.tool} | {requests} | {sent} | {format_seconds(row.seconds)} | {row.note} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--delay", type=float, default=0.02, help="seconds added to every request (default 0.02)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--shards", type=int, default=15)
    parser.add_argument("--shard-size", type=parse_size, default=4_700_000_000)
    parser.add_argument("--headers", default="44000,156000", help="shard header sizes in bytes")
    parser.add_argument("--gguf-size", type=parse_size, default=4 * GIB)
    parser.add_argument("--vocabs", default="256000,200000", help="GGUF vocabulary sizes (the first also on S3)")
    parser.add_argument("--onnx-size", type=parse_size, default=2_000_000_000)
    parser.add_argument("--big", type=parse_size, default=8 * GIB)
    parser.add_argument("--download", type=parse_size, default=GIB, help="the most of the GGUF a download reads")
    parser.add_argument("--onnx-download", type=parse_size, default=4 * GIB, help="the most of the ONNX one reads")
    parser.add_argument("--s3-size", type=parse_size, default=64 * MIB, help="tensor bytes of the S3 models")
    parser.add_argument("--no-s3", dest="s3", action="store_false")
    parser.add_argument("--cases", default="shards,gguf,onnx,big")
    parser.add_argument("--dir", default=str(HERE.parent / "build"), help="where the sparse scratch folder goes")
    parser.add_argument("--out", default=str(HERE / "remote-results.md"))
    args = parser.parse_args()

    store = models.make_store(STORE_SIZE)
    Path(args.dir).mkdir(parents=True, exist_ok=True)
    folder = Path(tempfile.mkdtemp(prefix="bench-remote-", dir=args.dir))
    hf_home = Path(tempfile.mkdtemp(prefix="bench-remote-hf-"))
    os.environ.update(HF_HOME=str(hf_home), HF_HUB_DISABLE_TELEMETRY="1", HF_HUB_DISABLE_PROGRESS_BARS="1",
                      HF_HUB_DISABLE_IMPLICIT_TOKEN="1")
    info = machine_info()
    rows: List[Row] = []
    remarks = []
    cases = args.cases.split(",")
    server = hub_server().start()
    server.delay = args.delay
    os.environ["HF_ENDPOINT"] = server.url("").rstrip("/")
    try:
        if "shards" in cases:
            for header in map(int, args.headers.split(",")):
                rows += shards_case(server, folder, args, header, store)
                print(rows[-1].case, flush=True)
        if "gguf" in cases:
            for vocab in map(int, args.vocabs.split(",")):
                rows += gguf_case(server, folder, args, vocab, store)
                print(rows[-1].case, flush=True)
        if "onnx" in cases:
            rows += onnx_case(server, folder, args, store)
            print(rows[-1].case, flush=True)
        if "big" in cases:
            rows += big_case(server, folder, args, store)
            print(rows[-1].case, flush=True)
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(hf_home, ignore_errors=True)
    if args.s3:
        s3, remark = s3_rows(args, store)
        rows += s3
        if remark:
            remarks.append(remark)

    command = "python bench/remote.py " + " ".join(sys.argv[1:])
    text = "\n".join([
        "# Remote reads: quillon against the peers",
        "",
        f"`{command.strip()}`, {args.delay * 1000:.0f} ms added to every request by the loopback server "
        f"(tools/rangeserver.py), {STORE_SIZE // 1024} KiB store and a URI in every model, median of {args.runs} runs "
        "after a warm-up. Requests and bytes (response bodies) are counted by the server for one run.",
        "",
        table(rows),
        "",
        *[f"- {remark}" for remark in remarks],
        "- huggingface_hub asks HEAD model.safetensors (404), HEAD the index twice, GET the index, then one GET "
        "of bytes 0-100000 per shard and a second one for the rest of a longer header; its one GET of "
        "/api/agent-harnesses per process falls in the warm-up. quillon GETs the index and then one 256 KiB "
        "window per shard, so it moves more bytes when headers are short and makes fewer requests when they are long.",
        "- GGUF: each window after the first is seven times the bytes before it (256 KiB, 1.75 MiB, 14 MiB), "
        "so metadata up to 16 MiB takes three requests.",
        "- A quillon_remote source keeps the bytes it fetched (up to 32 MiB): the second of two reads through one "
        "source asks only for what the first did not fetch (GGUF and ONNX rows of the 8 GiB cases).",
        "- The shard rows run quillon on a thread per shard (up to 16, what `quillon info` takes for URLs): shard "
        "reads wait on round trips, not on the CPUs. huggingface_hub keeps its own thread count.",
        "- On S3 a source that is not version_aware checks the object (HEAD) after each read so that a result "
        "never mixes two versions: 2n + 1 requests for n reads; version_aware=True pins the reads to the version "
        "instead: n + 1. moto spends tens of milliseconds of its own on each request, on top of the delay.",
        "- The server answers with TCP_NODELAY, as servers of models do; without it a small body sent after the "
        "headers waits 40 ms for the client's delayed ACK.",
        "- The server listens with a backlog of 128: socketserver's default of 5 made some of 15 clients connecting "
        "at once wait a second for their SYN to be sent again.",
        f"- A download runs at loopback speed here; at 1 Gbit/s (125 MB/s) the downloads above would take "
        + ", ".join(f"{row.sent / 125e6:.0f} s" for row in rows if row.tool.startswith("whole download") and row.sent)
        + ".",
        "",
        "## Machine",
        "",
        *[f"- {key}: {value}" for key, value in info.items()],
        f"- huggingface_hub: {package_version('huggingface_hub')}",
        f"- fsspec: {package_version('fsspec')}",
        f"- s3fs: {package_version('s3fs')}",
        f"- moto: {package_version('moto')}",
        "",
    ])
    print(table(rows))
    Path(args.out).write_text(text)
    print(f"written to {args.out}")


if __name__ == "__main__":
    main()

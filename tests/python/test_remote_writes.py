"""Writes of models that are not local files (quillon_remote.writes): S3
objects composed on moto's server from part copies, other stores streamed;
each result byte for byte what the file engine writes locally."""

import functools
import io
import os
import signal
import subprocess
import sys

import pytest

import quillon
import quillon_files
import quillon_remote
from quillon_remote import ObjectChanged
from quillon_remote.multipart import MIN_PART as M
from quillon_remote.writes import write_pieces

from conftest import STORE, child_env, default_signals, needs_moto, needs_native_signals, run, write
from models import URI, make_store, realistic_model

pytestmark = [needs_moto, pytest.mark.once]
FORMATS = ["gguf", "safetensors", "onnx"]
# Around S3's smallest part: a result under it is one plain upload, above it
# a multipart upload of part copies.
SIZES = [M - 256 * 1024, M - 1024, M + 256 * 1024]


@functools.lru_cache(maxsize=None)
def model(fmt, size, stamped=False):
    data = realistic_model(fmt, size, 300)
    return quillon.embed_manifest_both(data, URI, STORE) if stamped else data


@pytest.fixture
def bucket(s3, monkeypatch):
    """moto's bucket, reached by every s3:// URL as through FSSPEC_S3_ENDPOINT_URL."""
    import fsspec.config

    fs, options, name = s3
    monkeypatch.setitem(fsspec.config.conf, "s3", {"endpoint_url": options["client_kwargs"]["endpoint_url"],
                                                   "skip_instance_cache": True})
    return fs, name


def uploads_left(fs, name):
    return fs.call_s3("list_multipart_uploads", Bucket=name).get("Uploads", [])


OPERATIONS = {
    "embed": (lambda m, **o: quillon_files.embed_manifest(m, STORE, **o), False),
    "embed uri": (lambda m, **o: quillon_files.embed_manifest_remote(m, URI, **o), False),
    "embed both": (lambda m, **o: quillon_files.embed_manifest_both(m, URI, make_store(9000), **o), True),
    "remove": (lambda m, **o: quillon_files.remove_manifest(m, **o), True),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("size", SIZES)
def test_s3_writes_agree_with_local_files(bucket, tmp_path, fmt, size):
    fs, name = bucket
    for operation, (call, stamped) in OPERATIONS.items():
        data = model(fmt, size, stamped)
        call(write(tmp_path / "m", data), output=tmp_path / "expected")
        expected = (tmp_path / "expected").read_bytes()
        for output in (f"s3://{name}/out", None):
            fs.pipe_file(f"{name}/m", data)
            seen = []
            call(f"s3://{name}/m", output=output, progress=lambda done, total: seen.append((done, total)))
            assert fs.cat_file(output or f"{name}/m") == expected, (operation, output)
            assert seen[-1] == (len(expected), len(expected)) and uploads_left(fs, name) == []
        assert fs.cat_file(f"{name}/out") == expected


@pytest.mark.parametrize("fmt", FORMATS)
def test_patch_in_s3(bucket, tmp_path, fmt):
    fs, name = bucket
    data = quillon.embed_manifest(model(fmt, M + 4096), make_store(5000))
    quillon_files.patch_store(write(tmp_path / "m", data), make_store(5000)[::-1])
    fs.pipe_file(f"{name}/m", data)
    quillon_files.patch_store(f"s3://{name}/m", make_store(5000)[::-1])
    assert fs.cat_file(f"{name}/m") == (tmp_path / "m").read_bytes()


DATA = os.urandom(3 * M + 12345)
HAND_MADE = {
    "one upload": [(10, 1000), b"new", (5000, 20)],
    "new at the start": [b"head", (0, len(DATA))],
    "new in the middle": [(0, M + 7), b"x" * 1000, (M + 7, 2 * M)],
    "new at the end": [(0, len(DATA)), b"tail"],
    "new pieces close together": [(0, M), b"a", (M, 10), b"b", (M + 10, 10), b"c", (M + 20, 2 * M)],
    "a range moved and one dropped": [(2 * M, M), (0, M + 5)],
}


@pytest.mark.parametrize("where", ["s3 to a new key", "s3 in place", "s3 to memory", "s3 to a file",
                                   "file to s3"])
@pytest.mark.parametrize("pieces", HAND_MADE.values(), ids=HAND_MADE)
def test_pieces_written_where_they_go(bucket, tmp_path, where, pieces):
    import fsspec

    fs, name = bucket
    fs.pipe_file(f"{name}/m", DATA)
    expected = b"".join(piece if isinstance(piece, bytes) else DATA[piece[0]:sum(piece)] for piece in pieces)
    destination = {"s3 to a new key": f"s3://{name}/out", "s3 in place": f"s3://{name}/m",
                   "s3 to memory": f"memory://{tmp_path.name}/out", "s3 to a file": str(tmp_path / "out"),
                   "file to s3": f"s3://{name}/out"}[where]
    if where == "file to s3":
        source = quillon_remote.FileSource(io.BytesIO(DATA), "m")
    else:
        source = quillon_remote.open_source(f"s3://{name}/m")
    with source:
        write_pieces(source, pieces, destination)
    assert fsspec.open(destination, "rb").open().read() == expected
    assert uploads_left(fs, name) == [] and os.listdir(tmp_path) in ([], ["out"])


@pytest.mark.parametrize("version_aware", [False, True])
def test_a_model_replaced_while_stamped(bucket, monkeypatch, tmp_path, version_aware):
    """Pinned to its ETag, the stamp fails; pinned to its version, a stamp to
    another key is made of the version read, and one in place still fails
    rather than overwrite the newer model."""
    import fsspec.config

    fs, name = bucket
    monkeypatch.setitem(fsspec.config.conf["s3"], "version_aware", version_aware)
    data = model("gguf", 3 * M)
    quillon_files.embed_manifest(write(tmp_path / "m", data), STORE, output=tmp_path / "expected")

    def replace(done, total):
        if not seen:
            fs.pipe_file(f"{name}/m", data[::-1])
        seen.append(done)

    for output in (f"s3://{name}/out", None):
        fs.pipe_file(f"{name}/m", data)
        seen = []
        if version_aware and output is not None:
            quillon_files.embed_manifest(f"s3://{name}/m", STORE, output=output, progress=replace)
            assert fs.cat_file(f"{name}/out") == (tmp_path / "expected").read_bytes()
            fs.rm(f"{name}/out")
            continue
        with pytest.raises(ObjectChanged) as caught:
            quillon_files.embed_manifest(f"s3://{name}/m", STORE, output=output, progress=replace)
        assert caught.value.filename == f"s3://{name}/m"
        assert uploads_left(fs, name) == [] and not fs.exists(f"{name}/out")
        assert fs.cat_file(f"{name}/m") == data[::-1]


class Stop(Exception):
    pass


@pytest.mark.parametrize("stop", [KeyboardInterrupt, Stop])
@pytest.mark.parametrize("after", [0, 1, 3])
def test_an_interrupted_stamp_leaves_no_parts(bucket, stop, after):
    fs, name = bucket
    data = model("safetensors", 4 * M)
    fs.pipe_file(f"{name}/m", data)
    calls = []

    def progress(done, total):
        calls.append(done)
        if len(calls) > after:
            raise stop

    for output in (f"s3://{name}/out", None):
        calls.clear()
        with pytest.raises(stop):
            quillon_files.embed_manifest(f"s3://{name}/m", STORE, output=output, progress=progress)
        assert uploads_left(fs, name) == [] and not fs.exists(f"{name}/out") and fs.cat_file(f"{name}/m") == data


def test_a_bucket_that_refuses_writes(bucket):
    import json

    fs, name = bucket
    fs.pipe_file(f"{name}/m", model("gguf", M + 4096))
    policy = {"Version": "2012-10-17", "Statement": [{"Effect": "Deny", "Principal": "*", "Action": "s3:PutObject",
                                                      "Resource": f"arn:aws:s3:::{name}/*"}]}
    fs.call_s3("put_bucket_policy", Bucket=name, Policy=json.dumps(policy))
    try:
        quillon_files.embed_manifest(f"s3://{name}/m", STORE, output=f"s3://{name}/out")
    except PermissionError as error:
        assert error.filename == f"s3://{name}/out"
    else:
        pytest.skip("moto enforces bucket policies only with its authorization on (INITIAL_NO_AUTH_ACTION_COUNT)")
    assert uploads_left(fs, name) == [] and not fs.exists(f"{name}/out")


def test_the_command_writes_s3(bucket, capsys, tmp_path, range_server):
    fs, name = bucket
    data = model("onnx", M + 4096)
    fs.pipe_file(f"{name}/m.onnx", data)
    store = write(tmp_path / "s.c2pa", STORE)
    url = f"s3://{name}/m.onnx"
    assert run(capsys, "embed", url, "--store", store, "-o", f"s3://{name}/stamped.onnx")[0] == 0
    assert fs.cat_file(f"{name}/stamped.onnx") == quillon.embed_manifest(data, STORE)
    assert run(capsys, "embed", url, "--uri", URI, "--in-place")[0] == 0
    assert fs.cat_file(f"{name}/m.onnx") == quillon.embed_manifest_remote(data, URI)
    assert run(capsys, "remove", url, "-o", tmp_path / "local.onnx")[0] == 0
    assert (tmp_path / "local.onnx").read_bytes() == quillon.remove_manifest(quillon.embed_manifest_remote(data, URI))
    assert run(capsys, "remove", tmp_path / "local.onnx", "-O", f"s3://{name}/clean/")[0] == 0
    assert fs.cat_file(f"{name}/clean/local.onnx") == (tmp_path / "local.onnx").read_bytes()
    assert run(capsys, "patch", f"s3://{name}/stamped.onnx", "--store", store)[0] == 0
    assert fs.cat_file(f"{name}/stamped.onnx") == quillon.embed_manifest(data, STORE)
    range_server.put("/m.onnx", data)
    assert run(capsys, "embed", range_server.url("/m.onnx"), "--store", store, "-o", f"s3://{name}/from-http.onnx")[0] == 0
    assert fs.cat_file(f"{name}/from-http.onnx") == quillon.embed_manifest(data, STORE)


@pytest.mark.parametrize("argv, message", [
    (["embed", "{http}", "--store", "{store}", "--in-place"], "an HTTP URL can be read but not written to"),
    (["remove", "{s3}", "-o", "{http}"], "an HTTP URL can be read but not written to"),
    (["patch", "{http}", "--store", "{store}"], "an HTTP URL can be read but not written to"),
    (["remove", "{s3}x", "-o", "{s3}y"], "No such file or object"),
    (["remove", "{s3}", "-o", "{s3}"], "refusing to overwrite the input file (use --in-place)"),
    (["remove", "{s3}", "-o", "{s3}.copy"], "file exists (use --force to overwrite)"),
    (["embed", "{s3}.copy", "--uri", "u", "-o", "{s3}.out"], "unrecognized ML model container format"),
])
def test_the_command_refuses_what_it_cannot_write(bucket, capsys, tmp_path, range_server, argv, message):
    fs, name = bucket
    fs.pipe_file(f"{name}/m.gguf", model("gguf", 4096, True))
    fs.pipe_file(f"{name}/m.gguf.copy", b"kept")
    range_server.put("/m.gguf", model("gguf", 4096, True))
    values = {"http": range_server.url("/m.gguf"), "s3": f"s3://{name}/m.gguf", "store": write(tmp_path / "s", STORE)}
    status, _, err = run(capsys, *[arg.format(**values) for arg in argv])
    assert status == 1 and message in err and "Traceback" not in err
    assert fs.cat_file(f"{name}/m.gguf.copy") == b"kept" and uploads_left(fs, name) == []


# Runs `quillon embed` with the upload of every part held back until the
# test has sent its signal.
STAMP = """
import asyncio, sys
import quillon_remote.s3, quillon_cli
send = quillon_remote.s3._Upload.send
async def held(self, part, body):
    print("composing", flush=True)
    await asyncio.sleep(60)
    return await send(self, part, body)
quillon_remote.s3._Upload.send = held
sys.exit(quillon_cli.main(sys.argv[1:]))
"""


@needs_native_signals
@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT])
def test_a_stopped_command_aborts_its_upload(s3, tmp_path, number):
    fs, options, name = s3
    data = model("gguf", 2 * M)
    fs.pipe_file(f"{name}/m", data)
    env = dict(child_env(), FSSPEC_S3_ENDPOINT_URL=options["client_kwargs"]["endpoint_url"])
    child = subprocess.Popen([sys.executable, "-c", STAMP, "embed", f"s3://{name}/m", "--store",
                              write(tmp_path / "s", STORE), "--in-place"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                             preexec_fn=default_signals)
    assert child.stdout.readline() == "composing\n"
    child.send_signal(number)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 128 + number and "interrupted" in err
    assert uploads_left(fs, name) == [] and fs.cat_file(f"{name}/m") == data


def test_local_writes_import_no_remote_backend(tmp_path):
    script = ("import sys, quillon_cli; status = quillon_cli.main(sys.argv[1:]); "
              "print(status, [name for name in ('fsspec', 's3fs', 'quillon_remote.writes') if name in sys.modules])")
    argv = ["embed", write(tmp_path / "m.gguf", model("gguf", 4096)), "--store", write(tmp_path / "s", STORE),
            "-o", tmp_path / "out.gguf"]
    done = subprocess.run([sys.executable, "-c", script, *map(str, argv)], env=child_env(), capture_output=True,
                          text=True, timeout=60)
    assert done.stdout == "0 []\n"

"""Shared fixtures and helpers. The model builders live in tools/models.py,
which this puts on the path for every test module."""

import importlib.util
import os
import pathlib
import signal
import subprocess
import sys
import uuid

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))

import quillon  # noqa: E402
from models import BUILDERS, URI, gguf, onnx, safetensors, safetensors_u8, sample  # noqa: E402
from rangeserver import RangeServer  # noqa: E402

STORE = sample("manifest.c2pa")
NO_MANIFEST = "no C2PA manifest found in model"
TEMP_PREFIX = ".quillon-"
# Values of QUILLON_FILES_FALLBACK, which turns off the kernel copy ("copy")
# or O_TMPFILE, or forces the kernel copy on shifted pieces ("kernel"), in a
# build with the test seam (src/engine/seams.hpp); a release build ignores
# it, and the tests then check the normal path.
FALLBACKS = ["", "copy", "tmpfile", "kernel,tmpfile"]

MODELS = {
    "gguf": sample("model.gguf"),
    "safetensors": sample("model.safetensors"),
    "onnx": sample("model.onnx"),
    "stamped-gguf": quillon.embed_manifest_both(sample("model.gguf"), URI, STORE),
    "stamped-onnx": quillon.embed_manifest(sample("model.onnx"), STORE),
    "minimal-gguf": gguf(),
    "minimal-safetensors": safetensors_u8(),
    "minimal-onnx": onnx(),
    "empty": b"",
    "store": STORE,
    "cut-gguf": sample("model.gguf")[:30],
    "bad-json": safetensors(b'{"a":'),
    "bad-base64": safetensors(b'{"__metadata__":{"c2pa:manifest":"@"}}'),
}


def raises(message, function, *args, **kwargs):
    """Checks that the call raises ValueError with exactly `message`."""
    with pytest.raises(ValueError) as caught:
        function(*args, **kwargs)
    assert caught.value.args == (message,)


def run(capsys, *argv):
    """The command's exit status, standard output and error for `argv`."""
    import quillon_cli

    status = quillon_cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def write(path, data):
    """Writes `data` to the file `path` and returns the path."""
    path.write_bytes(data)
    return path


def outcome(call):
    """("ok", result) or ("error", args) of a call that may raise ValueError."""
    try:
        return "ok", call()
    except ValueError as error:
        return "error", error.args


def child_env():
    """An environment in which a child process finds the same quillon,
    quillon_files and quillon_cli, and these test modules."""
    import quillon_cli

    paths = [pathlib.Path(quillon_cli.__file__).parent.parent, pathlib.Path(quillon.__file__).parent,
             pathlib.Path(__file__).parent]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(str(path) for path in paths))


@pytest.fixture(params=sorted(BUILDERS))
def any_model(request):
    """Each format's minimal model in turn, as (display name, bytes)."""
    return request.param, BUILDERS[request.param]()


# Set by tools/test-aarch64, which runs the suite under qemu-user: qemu
# forwards a signal to an emulated process that sleeps in a system call only
# now and then, so the tests that stop a child with a signal would wait in
# vain there. They run natively everywhere else.
needs_native_signals = pytest.mark.skipif(
    bool(os.environ.get("QUILLON_TEST_EMULATOR")),
    reason="signals reach an emulated child process unreliably under " + os.environ.get("QUILLON_TEST_EMULATOR", ""))


def default_signals():
    """For subprocess.Popen's preexec_fn: the child starts with the default
    handling of the stopping signals even when the test run ignores some of
    them (a run under nohup, or in the background of a shell without job
    control, ignores SIGHUP or SIGINT, and children inherit that)."""
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


def signalled(script, argv, signals, announcement="copying", fallback=None, answer=None, preexec_fn=default_signals,
              announced=lambda: None):
    """Runs `python -c script *argv`, waits until it prints `announcement`,
    calls `announced`, sends it `signals` and then `answer` on its standard
    input; returns its status and the rest of its standard output and error."""
    env = child_env() if fallback is None else dict(child_env(), QUILLON_FILES_FALLBACK=fallback)
    child = subprocess.Popen([sys.executable, "-c", script, *map(str, argv)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, preexec_fn=preexec_fn)
    assert child.stdout.readline() == announcement + "\n"
    announced()
    for number in signals:
        child.send_signal(number)
    out, err = child.communicate(answer, timeout=60)
    return child.returncode, out, err


@pytest.fixture
def start_range_server():
    """Starts loopback Range servers (tools/rangeserver.py) on demand; all
    are stopped after the test."""
    servers = []

    def start(host="127.0.0.1"):
        servers.append(RangeServer(host).start())
        return servers[-1]

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def range_server(start_range_server):
    """A started loopback Range server."""
    return start_range_server()


needs_moto = pytest.mark.skipif(any(importlib.util.find_spec(name) is None for name in ("s3fs", "moto", "flask")),
                                reason="s3fs and moto[server] are not installed")


@pytest.fixture
def s3(monkeypatch):
    """A bucket on moto's S3 server on 127.0.0.1, and the storage options
    that reach it."""
    import moto.server
    import s3fs

    for name, value in {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
                        "AWS_DEFAULT_REGION": "us-east-1"}.items():
        monkeypatch.setenv(name, value)
    server = moto.server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    options = {"client_kwargs": {"endpoint_url": f"http://{host}:{port}"}, "skip_instance_cache": True}
    fs = s3fs.S3FileSystem(**options)
    bucket = f"models-{uuid.uuid4().hex}"  # moto keeps its buckets for the whole process
    fs.mkdir(bucket)
    fs.call_s3("put_bucket_versioning", Bucket=bucket, VersioningConfiguration={"Status": "Enabled"})
    yield fs, options, bucket
    server.stop()

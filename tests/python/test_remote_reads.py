"""quillon_files' reads of models that are not local files: URLs served by
the loopback Range server, file objects and quillon_remote sources give
exactly what the same bytes give as a local file, in few requests."""

import io
import os

import pytest

import quillon
import quillon_files
import quillon_remote

from conftest import MODELS, STORE, needs_moto, run, write
from models import MIB, URI, gguf, gguf_str, safetensors

READS = ["read_manifest", "read_manifest_uri", "detect_format", "model_type", "store_ranges", "describe",
         "set_facts"]


def outcome(call):
    """What a read gives: its value, or its error's type, kind and text."""
    try:
        return "ok", call()
    except (ValueError, OSError) as error:
        return "error", type(error), getattr(error, "kind", None), str(error)


def served(server, name, data):
    server.put("/" + name, data)
    return server.url("/" + name)


@pytest.mark.parametrize("name", sorted(MODELS))
def test_remote_reads_agree_with_local_files(tmp_path, range_server, name):
    local = write(tmp_path / "model", MODELS[name])
    targets = {
        "url": served(range_server, name, MODELS[name]),
        "file object": io.BytesIO(MODELS[name]),
        "source": quillon_remote.open_source(io.BytesIO(MODELS[name])),
    }
    for function in READS:
        expected = outcome(lambda: getattr(quillon_files, function)(local))
        for kind, target in targets.items():
            if isinstance(target, io.BytesIO):
                target.seek(0)
            got = outcome(lambda: getattr(quillon_files, function)(target))
            if expected[0] == "error" and expected[1] is not ValueError:
                assert got[0] == "error", (kind, function)  # a system error names the URL, not the file
            else:
                assert got == expected, (kind, function)


@needs_moto
def test_models_in_s3(s3, monkeypatch):
    """s3:// URLs go through fsspec and s3fs; the endpoint comes from fsspec's
    configuration (what FSSPEC_S3_ENDPOINT_URL sets when fsspec is imported),
    as a user's would."""
    import fsspec.config

    fs, options, bucket = s3
    monkeypatch.setitem(fsspec.config.conf, "s3", {"endpoint_url": options["client_kwargs"]["endpoint_url"],
                                                   "skip_instance_cache": True})
    for name in ("stamped-gguf", "stamped-onnx", "safetensors"):
        fs.pipe_file(f"{bucket}/{name}", MODELS[name])
        url = f"s3://{bucket}/{name}"
        for function in READS:
            assert outcome(lambda: getattr(quillon_files, function)(url)) == \
                outcome(lambda: getattr(quillon_files, function)(io.BytesIO(MODELS[name]))), (name, function)


# (model, the most GET requests one read may take)
@pytest.mark.parametrize("model, most", [
    (safetensors(b'{"__metadata__":{"a":"' + b"x" * 100 + b'"}}', data=bytes(MIB)), 1),
    (safetensors(b'{"__metadata__":{"a":"' + b"x" * (3 * MIB) + b'"}}', data=bytes(MIB)), 2),
    (gguf([gguf_str("general.name", "v" * (4 * MIB))]), 3),
], ids=["small header", "large header", "large metadata"])
def test_remote_reads_take_few_requests(range_server, model, most):
    url = served(range_server, "m", quillon.embed_manifest_both(model, URI, STORE))
    for function in READS:
        before = len(range_server.requests())
        getattr(quillon_files, function)(url)
        assert len(range_server.requests()) - before <= most, function
    # Through one source every read after the first finds its bytes kept.
    before = len(range_server.requests())
    with quillon_remote.open_source(url, first=(0, quillon_remote.PARSE_WINDOW)) as source:
        for function in READS:
            getattr(quillon_files, function)(source)
    assert len(range_server.requests()) - before <= most


def test_remote_failures_name_the_url(range_server):
    url = range_server.url("/missing")
    with pytest.raises(FileNotFoundError) as caught:
        quillon_files.read_manifest(url)
    assert caught.value.filename == url
    with pytest.raises(TypeError):
        quillon_files.read_manifest(io.StringIO("text"))


class Lying(quillon_remote.Source):
    """A source whose reads return what the test says."""

    def __init__(self, data, answer):
        super().__init__("lying://model", len(data))
        self.data, self.answer = data, answer

    def read(self, offset, length):
        return self.answer(self.data[offset:offset + length])


@pytest.mark.parametrize("answer, error", [
    (lambda data: data[:-1], OSError),
    (lambda data: bytearray(data), TypeError),
    (lambda data: 1 / 0, ZeroDivisionError),
])
def test_a_source_that_misbehaves(answer, error):
    with pytest.raises(error) as caught:
        quillon_files.read_manifest(Lying(MODELS["stamped-gguf"], answer))
    if error is OSError:
        assert caught.value.filename == "lying://model"


@pytest.mark.parametrize("path", ["C://model.gguf", "x:/model.gguf", "-://model.gguf"])
def test_names_that_are_paths(tmp_path, monkeypatch, path):
    """Only a scheme of two or more letters makes a URL: a Windows drive or
    a folder named otherwise stays a path."""
    monkeypatch.chdir(tmp_path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write(tmp_path / path, MODELS["stamped-gguf"])
    assert quillon_files.read_manifest(path) == quillon_files.read_manifest(tmp_path / path)



def test_the_command_reads_urls(capsys, tmp_path, range_server):
    stamped = quillon.embed_manifest_both(MODELS["gguf"], URI, STORE)
    url = served(range_server, "m.gguf", stamped) + "?token=1"
    local = write(tmp_path / "m.gguf", stamped)
    assert run(capsys, "info", "--json", url)[1] == run(capsys, "info", "--json", local)[1].replace(str(local), url)
    assert run(capsys, "ranges", url)[1] == run(capsys, "ranges", local)[1].replace(str(local), url)
    assert run(capsys, "read", url, "-O", tmp_path)[0] == 0
    assert (tmp_path / "m.gguf.c2pa").read_bytes() == STORE
    assert run(capsys, "info", url, "-H", "Authorization: Bearer t", "--header", "X-A:b")[0] == 0
    assert {"authorization": "Bearer t", "x-a": "b"}.items() <= range_server.requests()[-1].headers.items()


@pytest.mark.parametrize("argv, status, message", [
    (["info", "{url}x"], 1, "quillon: {url}x: HTTP 404 Not Found\n"),
    (["remove", "{url}", "--in-place"], 1, "quillon: {url}: an HTTP URL can be read but not written to\n"),
    (["patch", "{url}", "--store", "{store}"], 1, "quillon: {url}: an HTTP URL can be read but not written to\n"),
    (["info", "{url}", "-H", "no colon"], 2, "argument -H/--header: not a header of the form 'NAME: VALUE'"),
    # Whether fsspec is installed or not: one line naming the URL, no traceback.
    (["info", "nosuchscheme://bucket/m.gguf"], 1, "quillon: nosuchscheme://bucket/m.gguf: "),
    (["read", "https://127.0.0.1:1/m.gguf", "-o", "out"], 1, "quillon: https://127.0.0.1:1/m.gguf: connection failed"),
])
def test_the_command_refuses_what_a_url_cannot_do(capsys, tmp_path, monkeypatch, range_server, argv, status,
                                                  message):
    monkeypatch.chdir(tmp_path)
    url = served(range_server, "m.gguf", MODELS["gguf"])
    store = write(tmp_path / "s.c2pa", STORE)
    monkey = {"url": url, "store": store}
    try:
        got = run(capsys, *[arg.format(**monkey) for arg in argv])
    except SystemExit as exit:
        got = (exit.code, "", capsys.readouterr().err)
    assert got[0] == status and message.format(**monkey) in got[2] and "Traceback" not in got[2]

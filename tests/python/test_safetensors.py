"""End-to-end tests of quillon on SafeTensors models: hand-built headers for
exact rewrites and errors, and files written by the safetensors package,
loaded back with its own readers."""

import base64
import json
import threading

import pytest

import quillon

from conftest import NO_MANIFEST, raises
from models import STORE_KEY, URI_KEY, safetensors, safetensors_split as split

DATA = bytes(range(16))
DUPLICATE = "more than one c2pa:manifest entry in the SafeTensors container"
BAD_BASE64 = "malformed manifest reference: value is not valid Base64"


def st(header, data=DATA):
    return safetensors(header, data)


PLAIN_HEADER = '{"t":{"dtype":"U8","shape":[16],"data_offsets":[0,16]},"__metadata__":{"format":"pt"}}'
STORES = [b"", b"a", b"ab", b"abc", bytes(range(256)) * 3]
URIS = ["", "https://example.com/m.c2pa", 'q"b\\s\n\x01\x1f/é\U0001f600']


@pytest.mark.parametrize("store", STORES, ids=lambda s: f"{len(s)}B")
@pytest.mark.parametrize("uri", URIS, ids=range(len(URIS)))
def test_round_trips(store, uri):
    model = st(PLAIN_HEADER)
    kept = bytes(bytearray(model))

    both = quillon.embed_manifest_both(model, uri, store)
    assert quillon.read_manifest(both) == store
    assert quillon.read_manifest_uri(both) == uri
    assert split(both)[1] == DATA

    only_store = quillon.embed_manifest(both, store)
    assert quillon.read_manifest(only_store) == store
    assert quillon.read_manifest_uri(only_store) is None

    only_uri = quillon.embed_manifest_remote(both, uri)
    assert quillon.read_manifest_uri(only_uri) == uri
    raises(NO_MANIFEST, quillon.read_manifest, only_uri)

    for stamped in (both, only_store, only_uri):
        bare = quillon.remove_manifest(stamped)
        assert split(bare) == (PLAIN_HEADER, DATA)
    assert model == kept


@pytest.mark.parametrize(
    "header, function, args, rewritten",
    [
        ('{ "a" : 1 }    ', quillon.remove_manifest, (), '{"a":1}'),
        ('{"a":1}', quillon.embed_manifest, (b"foo",), '{"a":1,"__metadata__":{"c2pa:manifest":"Zm9v"}}'),
        (
            '{"__metadata__":{"c2pa:manifest":"YQ==","c2pa:manifest":"Yg==","format":"pt"}}',
            quillon.embed_manifest_remote,
            ("u",),
            '{"__metadata__":{"format":"pt","c2pa:manifest.uri":"u"}}',
        ),
    ],
)
def test_header_rewrites(header, function, args, rewritten):
    assert split(function(st(header), *args)) == (rewritten, DATA)


PARSE_FAILURE = "data hash exclusion is malformed: header length field does not span valid JSON: "


@pytest.mark.parametrize(
    "header, function, args, message",
    [
        (b"\x0c{}", quillon.remove_manifest, (), "malformed model container: unexpected byte 0xc at 0"),
        (b"\x0c{}", quillon.read_manifest, (), PARSE_FAILURE + "unexpected byte 0xc at 0"),
        (b'{"a":"\xff"}', quillon.read_manifest_uri, (), "malformed model container: header is not UTF-8"),
        (b'{"a":"\xff"}', quillon.read_manifest, (), "data hash exclusion is malformed: header is not UTF-8"),
        (b'{"__metadata__":[]}', quillon.embed_manifest, (b"x",), "malformed model container: __metadata__ is not a JSON object"),
        (b'{"__metadata__":{"c2pa:manifest":7}}', quillon.read_manifest, (), NO_MANIFEST),
        (b'{"__metadata__":{"c2pa:manifest":"Zm9v"},"__metadata__":{"c2pa:manifest":""}}', quillon.read_manifest, (), DUPLICATE),
        (b'{"__metadata__":{"c2pa:manifest":"Zm9\\/"}}', quillon.read_manifest, (), BAD_BASE64),
    ],
)
def test_errors(header, function, args, message):
    model = st(header)
    kept = bytes(bytearray(model))
    raises(message, function, model, *args)
    assert model == kept


def run_on_small_stack(function, *args):
    """Calls function(*args) on a thread with a 256 KiB stack; returns its
    result or re-raises its exception here."""
    outcome = {}

    def body():
        try:
            outcome["result"] = function(*args)
        except BaseException as error:  # handed back to the calling thread
            outcome["error"] = error

    previous = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


DEEP = 1_000_000


@pytest.mark.parametrize(
    "function, args, message",
    [
        (quillon.read_manifest, (), PARSE_FAILURE + "unexpected end of input"),
        (quillon.read_manifest_uri, (), "malformed model container: unexpected end of input"),
        (quillon.embed_manifest, (b"s",), "malformed model container: unexpected end of input"),
        (quillon.embed_manifest_remote, ("u",), "malformed model container: unexpected end of input"),
        (quillon.remove_manifest, (), "malformed model container: unexpected end of input"),
    ],
)
def test_deeply_nested_header_fails_cleanly(function, args, message):
    model = st('{"a":' + "[" * DEEP)
    with pytest.raises(ValueError) as caught:
        run_on_small_stack(function, model, *args)
    assert caught.value.args == (message,)


def test_deeply_nested_valid_header_works():
    model = st('{"a":' + "[" * DEEP + "]" * DEEP + ',"b":' + '{"a":' * DEEP + "1" + "}" * DEEP + "}")
    stamped = run_on_small_stack(quillon.embed_manifest_both, model, "u", b"store")
    assert run_on_small_stack(quillon.read_manifest, stamped) == b"store"
    assert run_on_small_stack(quillon.read_manifest_uri, stamped) == "u"
    assert run_on_small_stack(quillon.remove_manifest, stamped) == model


# Files written by the safetensors package itself; skipped where it is absent.


def sample_tensors(np):
    rng = np.random.default_rng(7)
    return {
        "weight": rng.standard_normal((3, 5)).astype(np.float32),
        "bias": rng.standard_normal(7).astype(np.float16),
        "index": np.arange(-4, 5, dtype=np.int64),
        "mask": np.array([True, False, True]),
        "bytes": np.frombuffer(b"odd", dtype=np.uint8),
    }


@pytest.mark.parametrize("metadata", [None, {"format": "np", "note": 'a "quoted" \\ value'}])
def test_files_written_by_safetensors(metadata, tmp_path):
    np = pytest.importorskip("numpy")
    safetensors_numpy = pytest.importorskip("safetensors.numpy")
    from safetensors import safe_open

    tensors = sample_tensors(np)
    model = safetensors_numpy.save(tensors, metadata=metadata)
    header, data = split(model)
    assert len(header) % 8 == 0 and header.endswith(" ")  # the package pads with spaces
    assert quillon.detect_format(model) == "SafeTensors"
    assert quillon.model_type(model) == "c2pa.types.model"
    raises(NO_MANIFEST, quillon.read_manifest, model)
    assert quillon.read_manifest_uri(model) is None

    store = bytes(range(256)) + b"manifest"
    uri = "https://example.com/manifests/model.c2pa"
    stamped = quillon.embed_manifest_both(model, uri, store)
    assert split(stamped)[1] == data
    assert split(stamped)[0] == split(stamped)[0].rstrip()  # compact, no padding
    members = json.loads(split(stamped)[0], object_pairs_hook=list)
    assert [key for key, _ in members if key == "__metadata__"] == ["__metadata__"]
    assert [key for key, _ in dict(members)["__metadata__"]][-2:] == [STORE_KEY, URI_KEY]
    assert quillon.read_manifest(stamped) == store
    assert quillon.read_manifest_uri(stamped) == uri

    loaded = safetensors_numpy.load(stamped)
    assert loaded.keys() == tensors.keys()
    for name, tensor in tensors.items():
        assert loaded[name].dtype == tensor.dtype
        assert loaded[name].tobytes() == tensor.tobytes()

    path = tmp_path / "stamped.safetensors"
    path.write_bytes(stamped)
    with safe_open(str(path), framework="np") as opened:
        shown = opened.metadata()
        assert shown[STORE_KEY] == base64.b64encode(store).decode()
        assert shown[URI_KEY] == uri
        assert {k: v for k, v in shown.items() if k not in (STORE_KEY, URI_KEY)} == (metadata or {})
        for name, tensor in tensors.items():
            assert opened.get_tensor(name).tobytes() == tensor.tobytes()

    removed = quillon.remove_manifest(stamped)
    path.write_bytes(removed)
    with safe_open(str(path), framework="np") as opened:
        assert opened.metadata() == metadata
    reloaded = safetensors_numpy.load(removed)
    assert all(reloaded[name].tobytes() == tensor.tobytes() for name, tensor in tensors.items())

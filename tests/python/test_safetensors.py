"""End-to-end tests of quillon on SafeTensors models: hand-built headers for
exact rewrites and errors. Files written by the safetensors package are in
test_real_clients.py."""

import threading

import pytest

import quillon

from conftest import NO_MANIFEST, raises
from models import safetensors, safetensors_split as split

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


@pytest.mark.parametrize("header, function, args, rewritten", [
    ('{ "a" : 1 }    ', quillon.remove_manifest, (), '{"a":1}'),
    ('{"a":1}', quillon.embed_manifest, (b"foo",), '{"a":1,"__metadata__":{"c2pa:manifest":"Zm9v"}}'),
    ('{"__metadata__":{"c2pa:manifest":"YQ==","c2pa:manifest":"Yg==","format":"pt"}}', quillon.embed_manifest_remote,
     ("u",), '{"__metadata__":{"format":"pt","c2pa:manifest.uri":"u"}}'),
])
def test_header_rewrites(header, function, args, rewritten):
    assert split(function(st(header), *args)) == (rewritten, DATA)


PARSE_FAILURE = "data hash exclusion is malformed: header length field does not span valid JSON: "


@pytest.mark.parametrize("header, function, args, message", [
    (b"\x0c{}", quillon.remove_manifest, (), "malformed model container: unexpected byte 0xc at 0"),
    (b"\x0c{}", quillon.read_manifest, (), PARSE_FAILURE + "unexpected byte 0xc at 0"),
    (b'{"a":"\xff"}', quillon.read_manifest_uri, (), "malformed model container: header is not UTF-8"),
    (b'{"a":"\xff"}', quillon.read_manifest, (), "data hash exclusion is malformed: header is not UTF-8"),
    (b'{"__metadata__":[]}', quillon.embed_manifest, (b"x",), "malformed model container: __metadata__ is not a JSON object"),
    (b'{"__metadata__":{"c2pa:manifest":7}}', quillon.read_manifest, (), NO_MANIFEST),
    (b'{"__metadata__":{"c2pa:manifest":"Zm9v"},"__metadata__":{"c2pa:manifest":""}}', quillon.read_manifest, (), DUPLICATE),
    (b'{"__metadata__":{"c2pa:manifest":"Zm9\\/"}}', quillon.read_manifest, (), BAD_BASE64),
])
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


@pytest.mark.parametrize("function, args, message", [
    (quillon.read_manifest, (), PARSE_FAILURE + "unexpected end of input"),
    (quillon.read_manifest_uri, (), "malformed model container: unexpected end of input"),
    (quillon.embed_manifest, (b"s",), "malformed model container: unexpected end of input"),
    (quillon.embed_manifest_remote, ("u",), "malformed model container: unexpected end of input"),
    (quillon.remove_manifest, (), "malformed model container: unexpected end of input"),
])
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

"""End-to-end tests of quillon on GGUF models: hand-built byte strings for
exact layouts and errors. Models written by the gguf package are in
test_real_clients.py."""

import pytest

import quillon
from conftest import raises
from models import ARRAY, STORE_KEY, STRING, UINT8, UINT32, URI_KEY, gguf, gguf_kv as kv, gguf_store_kv, gguf_str, \
    gguf_string, gguf_tensor, gguf_u32, gguf_uri_kv, u32, u64

TENSORS = [gguf_tensor("w", [4, 2], 0, 0), gguf_tensor("b", [2], 0, 32)]
DATA = bytes(range(40))


def model(kvs=(), tensors=TENSORS, data=DATA, **layout):
    return gguf(kvs, tensors, data, **layout)


PLAIN_KVS = [kv("general.name", STRING, gguf_string("tiny")), kv("general.alignment", UINT32, u32(32))]
PLAIN = model(PLAIN_KVS)


@pytest.mark.parametrize("size", [0, 1, 15, 16, 31, 32, 33, 255, 4096, 100_003, 1 << 20])
def test_store_round_trip(size):
    store = bytes((i * 131 + 7) % 256 for i in range(size))
    original = bytes(PLAIN)
    out = quillon.embed_manifest(PLAIN, store)
    assert PLAIN == original
    assert out == model(PLAIN_KVS + [gguf_store_kv(store)])
    result = quillon.read_manifest(out)
    assert type(result) is bytes and result == store
    assert quillon.read_manifest_uri(out) is None
    assert quillon.remove_manifest(out) == PLAIN


@pytest.mark.parametrize("uri", ["", "https://example.com/m.c2pa", "https://例え.jp/ü/🙂?q=é", "x" * 5000])
def test_uri_round_trip(uri):
    out = quillon.embed_manifest_remote(PLAIN, uri)
    assert out == model(PLAIN_KVS + [gguf_uri_kv(uri)])
    assert quillon.read_manifest_uri(out) == uri
    raises("no C2PA manifest found in model", quillon.read_manifest, out)
    assert quillon.remove_manifest(out) == PLAIN


def test_results_are_new_objects():
    class Model(bytes):
        pass

    sub = Model(PLAIN)
    for result in (quillon.remove_manifest(PLAIN), quillon.remove_manifest(sub), quillon.embed_manifest(sub, b"")):
        assert type(result) is bytes
        assert result is not PLAIN and result is not sub
    assert quillon.remove_manifest(sub) == PLAIN


MALFORMED = "malformed model container: "
PARSE_ERRORS = [
    (b"GGUF", "unexpected end of GGUF data"),
    (b"GGUF" + u32(1), "unsupported GGUF version 1"),
    (b"GGUF\0\0\0\3" + bytes(24), "unsupported GGUF version 50331648"),
    (b"GGUF" + u32(3) + bytes(16), "tensor data offset out of range"),
    (model([kv("k", 13, b"")]), "bad value type 13"),
    (model([kv("k", ARRAY, u32(99) + u64(1) + b"x")]), "bad value type 99"),
    (model([kv(b"\xff", UINT32, u32(1))]), "metadata key is not UTF-8"),
    (model(tensors=[gguf_tensor(b"\xed\xa0\x80", [1], 0)]), "metadata key is not UTF-8"),
    (model([kv("k", STRING, u64(1 << 63))]), "unexpected end of GGUF data"),
    (model([kv("k", ARRAY, u32(UINT32) + u64((1 << 62) + 1) + b"abcd")]), "unexpected end of GGUF data"),
    (model([gguf_store_kv(b"s")], data=b"", pad=b""), "tensor data offset out of range"),
]


@pytest.mark.parametrize("data, detail", PARSE_ERRORS)
def test_parse_errors_from_every_function(data, detail):
    message = MALFORMED + detail
    raises(message, quillon.read_manifest, data)
    raises(message, quillon.read_manifest_uri, data)
    raises(message, quillon.embed_manifest, data, b"s")
    raises(message, quillon.embed_manifest_remote, data, "u")
    raises(message, quillon.embed_manifest_both, data, "u", b"s")
    raises(message, quillon.remove_manifest, data)


@pytest.mark.parametrize("entries, function, message", [
    ([], quillon.read_manifest, "no C2PA manifest found in model"),
    ([gguf_uri_kv("u")], quillon.read_manifest, "no C2PA manifest found in model"),
    ([kv(STORE_KEY, STRING, gguf_string("abc"))], quillon.read_manifest, MALFORMED + "c2pa:manifest is not a UINT8 array"),
    ([kv(STORE_KEY, ARRAY, u32(1) + u64(1) + b"a")], quillon.read_manifest, MALFORMED + "c2pa:manifest is not a UINT8 array"),
    ([kv(URI_KEY, UINT32, u32(5))], quillon.read_manifest_uri, MALFORMED + "c2pa:manifest.uri is not a string"),
    ([kv(URI_KEY, STRING, gguf_string(b"\xff\xfe"))], quillon.read_manifest_uri, MALFORMED + "URI is not UTF-8"),
])
def test_entry_errors(entries, function, message):
    raises(message, function, model(entries))


STORED, WIDE_URI = b"\0store\xff", "https://h/ü"
BOTH = model(PLAIN_KVS + [gguf_store_kv(STORED), gguf_uri_kv(WIDE_URI)])
LOOKALIKE = gguf_str(URI_KEY + "2", "kept")
OLD = model([gguf_store_kv(b"old"), PLAIN_KVS[0], gguf_uri_kv("old"), gguf_store_kv(b"older"), LOOKALIKE])
KEPT = [PLAIN_KVS[0], LOOKALIKE]
ALIGN64 = [gguf_u32("general.alignment", 64)]
FIRSTS = model([gguf_store_kv(b"one"), gguf_str(STORE_KEY, "two"), gguf_uri_kv("a"), gguf_u32(URI_KEY, 1)])
DEEP = kv("deep", ARRAY, (u32(ARRAY) + u64(1)) * 50_000 + u32(UINT8) + u64(0))


@pytest.mark.parametrize("call, expected", [
    (lambda: (quillon.detect_format(PLAIN), quillon.model_type(PLAIN)), ("GGUF", "c2pa.types.model")),
    # Both go last, the store first.
    (lambda: quillon.embed_manifest_both(PLAIN, WIDE_URI, STORED), BOTH),
    (lambda: quillon.embed_manifest_both(store=STORED, uri=WIDE_URI, model=PLAIN), BOTH),
    (lambda: (quillon.read_manifest(BOTH), quillon.read_manifest_uri(BOTH)), (STORED, WIDE_URI)),
    # An edit replaces every C2PA entry and keeps every other one.
    (lambda: quillon.embed_manifest(OLD, b"new"), model(KEPT + [gguf_store_kv(b"new")])),
    (lambda: quillon.embed_manifest_remote(OLD, "new"), model(KEPT + [gguf_uri_kv("new")])),
    (lambda: quillon.remove_manifest(OLD), model(KEPT)),
    (lambda: quillon.remove_manifest(model(PLAIN_KVS, pad=b"\xaa")), PLAIN),
    (lambda: quillon.embed_manifest(model(ALIGN64, alignment=64), b"s"),
     model(ALIGN64 + [gguf_store_kv(b"s")], alignment=64)),
    (lambda: quillon.remove_manifest(model(ALIGN64 + [gguf_store_kv(b"s")], alignment=64)), model(ALIGN64, alignment=64)),
    (lambda: (quillon.read_manifest(FIRSTS), quillon.read_manifest_uri(FIRSTS)), (b"one", "a")),
    (lambda: quillon.read_manifest_uri(PLAIN), None),
    (lambda: quillon.read_manifest_uri(model([gguf_store_kv(b"s")])), None),
    # An array nested deeper than any recursion could go is carried through.
    (lambda: quillon.embed_manifest(model([DEEP]), b"s"), model([DEEP, gguf_store_kv(b"s")])),
    (lambda: quillon.remove_manifest(model([DEEP, gguf_store_kv(b"s")])), model([DEEP])),
], ids=["detection", "both-last", "both-by-keyword", "both-read", "embed-replaces", "embed-remote-replaces",
        "remove", "padding-becomes-zero", "alignment-kept", "alignment-kept-by-remove", "first-entry-wins",
        "absent-uri", "store-without-uri", "deep-array-embed", "deep-array-remove"])
def test_exact_results(call, expected):
    assert call() == expected

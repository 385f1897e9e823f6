"""End-to-end tests of quillon on ONNX models: hand-built byte strings for
exact layouts and errors, and the real models that the onnx package ships
for its backend tests, checked with onnx and onnxruntime."""

import base64
import pathlib

import pytest

import quillon

from conftest import outcome, raises
from models import ONNX_HEAD as HEAD, ONNX_TAIL as TAIL, field, onnx_entry as entry

STORE_KEY = b"c2pa:manifest"
URI_KEY = b"c2pa:manifest.uri"


# --- hand-built models -------------------------------------------------------


@pytest.mark.parametrize("embed, appended", [
    (lambda m: quillon.embed_manifest(m, b""), b"\x72\x11\x0a\x0d" + STORE_KEY + b"\x12\x00"),
    (lambda m: quillon.embed_manifest_remote(m, "a"), b"\x72\x16\x0a\x11" + URI_KEY + b"\x12\x01a"),
    (lambda m: quillon.embed_manifest(m, b"abc"), b"\x72\x15\x0a\x0d" + STORE_KEY + b"\x12\x04YWJj"),
    (lambda m: quillon.embed_manifest_both(m, "a", b"abc"), entry(STORE_KEY, b"YWJj") + entry(URI_KEY, b"a")),
    (lambda m: quillon.embed_manifest(m, bytes(225)), b"\x72\xbe\x02\x0a\x0d" + STORE_KEY + b"\x12\xac\x02" + b"A" * 300),
], ids=["empty-store", "uri", "store", "both", "two-byte-lengths"])
def test_embed_appends_exact_entries(embed, appended):
    assert embed(HEAD) == HEAD + appended
    assert embed(HEAD + entry(URI_KEY, b"old") + TAIL) == HEAD + TAIL + appended


@pytest.mark.parametrize("store", [b"", b"\x00", b"ab", b"\xff\x00\x80" * 1000])
@pytest.mark.parametrize("uri", ["", "https://example.test/m.c2pa", "https://例え.jp/é"])
def test_round_trip(store, uri):
    model = HEAD + entry(b"author", b"me") + TAIL
    both = quillon.embed_manifest_both(model, uri, store)
    assert quillon.read_manifest(both) == store
    assert quillon.read_manifest_uri(both) == uri
    assert quillon.remove_manifest(both) == model
    only_store = quillon.embed_manifest(both, store)
    assert quillon.read_manifest_uri(only_store) is None
    only_uri = quillon.embed_manifest_remote(both, uri)
    raises("no C2PA manifest found in model", quillon.read_manifest, only_uri)
    assert quillon.read_manifest_uri(only_uri) == uri


def test_other_entries_stay_in_place():
    kept = [entry(b"C2PA:manifest", b"YWJj"), entry(b"c2pa:manifest.x", b"x"), entry(b"c2pa:", b"")]
    model = HEAD + kept[0] + entry(STORE_KEY, b"YQ==") + kept[1] + entry(URI_KEY, b"u") + kept[2] + TAIL
    original = bytes(model)
    assert quillon.remove_manifest(model) == HEAD + b"".join(kept) + TAIL
    assert model == original
    assert quillon.remove_manifest(HEAD + TAIL) == HEAD + TAIL


def test_two_stores_are_refused_by_read_but_both_removed():
    model = HEAD + entry(STORE_KEY, b"YQ==") + entry(STORE_KEY, b"Yg==")
    raises("more than one c2pa:manifest entry in the ONNX container", quillon.read_manifest, model)
    assert quillon.remove_manifest(model) == HEAD
    assert quillon.read_manifest(quillon.embed_manifest(model, b"c")) == b"c"


UNSUPPORTED = ("error", ("malformed model container: unsupported wire type 3",))
BAD_BASE64 = ("error", ("malformed manifest reference: value is not valid Base64",))


@pytest.mark.parametrize("function, model, expected", [
    (quillon.detect_format, HEAD, ("ok", "ONNX")),
    (quillon.model_type, HEAD, ("ok", "c2pa.types.model.onnx")),
    (lambda m: quillon.embed_manifest_both(store=b"s", uri="u", model=m), HEAD,
     ("ok", quillon.embed_manifest_both(HEAD, "u", b"s"))),
    (quillon.read_manifest, HEAD + entry(STORE_KEY, b"\xff"), ("error", ("malformed model container: store is not UTF-8",))),
    (quillon.read_manifest, HEAD + entry(STORE_KEY, b"YWJj\n"), BAD_BASE64),
    (quillon.read_manifest, HEAD + entry(STORE_KEY, b"Zh=="), BAD_BASE64),
    (quillon.read_manifest, HEAD + field(14, field(1, STORE_KEY)), ("error", ("no C2PA manifest found in model",))),
    (quillon.read_manifest, HEAD + entry(STORE_KEY, b"YQ==") + field(14, b"\x0b"), UNSUPPORTED),
    (quillon.read_manifest_uri, HEAD + entry(URI_KEY, b"one") + entry(URI_KEY, b"two"), ("ok", "one")),
    (quillon.read_manifest_uri, HEAD + field(14, field(1, URI_KEY)), ("ok", "")),
    (quillon.read_manifest_uri, HEAD + entry(URI_KEY, b"u") + field(14, b"\x0b"), ("ok", "u")),
    (quillon.read_manifest_uri, HEAD + entry(STORE_KEY, b""), ("ok", None)),
    (quillon.read_manifest_uri, HEAD + entry(URI_KEY, b"\xc0\x80"), ("error", ("malformed model container: URI is not UTF-8",))),
    (quillon.read_manifest_uri, HEAD + field(14, b"\x0b") + entry(URI_KEY, b"u"), UNSUPPORTED),
    (quillon.read_manifest_uri, b"", ("error", ("unrecognized ML model container format",))),
    # A malformed entry fails every edit.
    (quillon.remove_manifest, HEAD + field(14, b"\x0b") + TAIL, UNSUPPORTED),
    (lambda m: quillon.embed_manifest(m, b"s"), HEAD + field(14, b"\x0b") + TAIL, UNSUPPORTED),
    (lambda m: quillon.embed_manifest_remote(m, "u"), HEAD + field(14, b"\x0b") + TAIL, UNSUPPORTED),
    (lambda m: quillon.embed_manifest_both(m, "u", b"s"), HEAD + field(14, b"\x0b") + TAIL, UNSUPPORTED),
])
def test_results_and_errors(function, model, expected):
    assert outcome(lambda: function(model)) == expected


def test_large_models():
    # One big graph field and a million tiny top-level fields.
    for model in (HEAD + field(7, bytes(50 << 20)), HEAD + b"\x10\x01" * 1_000_000):
        stamped = quillon.embed_manifest_both(model, "u", b"store")
        assert len(stamped) == len(model) + len(entry(STORE_KEY, b"c3RvcmU=")) + len(entry(URI_KEY, b"u"))
        assert stamped.startswith(model)
        assert quillon.read_manifest(stamped) == b"store"
        assert quillon.remove_manifest(stamped) == model


# --- real models --------------------------------------------------------------


def real_models():
    try:
        import onnx
    except ImportError:
        return []
    data = pathlib.Path(onnx.__file__).parent / "backend" / "test" / "data"
    return sorted(data.rglob("*.onnx"))


MODELS = real_models()
STORE = bytes(range(256)) * 3 + b"end"
URI = "https://example.test/manifests/model.c2pa"


def model_id(path):
    return "/".join(path.parts[-3:-1])


@pytest.mark.parametrize("path", MODELS, ids=model_id)
def test_real_model_stamp_and_strip(path):
    onnx = pytest.importorskip("onnx")
    original = path.read_bytes()
    assert quillon.detect_format(original) == "ONNX"
    stamped = quillon.embed_manifest_both(original, URI, STORE)

    loaded = onnx.load_model_from_string(stamped)
    props = [(p.key, p.value) for p in loaded.metadata_props]
    assert props[-2:] == [(STORE_KEY.decode(), base64.b64encode(STORE).decode()), (URI_KEY.decode(), URI)]
    reference = onnx.load_model_from_string(original)
    del loaded.metadata_props[-2:]
    assert loaded == reference

    try:
        onnx.checker.check_model(reference)
    except onnx.checker.ValidationError:
        pass  # the shipped model itself does not pass the checker
    else:
        onnx.checker.check_model(onnx.load_model_from_string(stamped))

    assert quillon.read_manifest(stamped) == STORE
    assert quillon.read_manifest_uri(stamped) == URI
    assert quillon.remove_manifest(stamped) == original
    assert quillon.remove_manifest(original) == original


def models_with_inputs():
    return [p for p in MODELS if any(p.parent.glob("test_data_set_0/input_*.pb"))]


@pytest.mark.parametrize("path", models_with_inputs(), ids=model_id)
def test_real_model_runs_the_same_after_stamping(path):
    onnx = pytest.importorskip("onnx")
    ort = pytest.importorskip("onnxruntime")
    np = pytest.importorskip("numpy")
    from onnx import numpy_helper

    original = path.read_bytes()
    stamped = quillon.embed_manifest_both(original, URI, STORE)
    try:
        before = ort.InferenceSession(original, providers=["CPUExecutionProvider"])
    except Exception as error:  # onnxruntime lacks a kernel or rejects the model
        pytest.skip(f"onnxruntime cannot load the model: {error}")
    after = ort.InferenceSession(stamped, providers=["CPUExecutionProvider"])
    assert after.get_modelmeta().custom_metadata_map[URI_KEY.decode()] == URI

    if any(not i.type.startswith("tensor(") for i in before.get_inputs()):
        pytest.skip("the model takes sequences or optionals, not plain tensors")
    feeds = {}
    names = [i.name for i in before.get_inputs()]
    for name, pb in zip(names, sorted(path.parent.glob("test_data_set_0/input_*.pb"))):
        tensor = onnx.TensorProto()
        tensor.ParseFromString(pb.read_bytes())
        feeds[name] = numpy_helper.to_array(tensor)
    try:
        expected = before.run(None, feeds)
    except Exception as error:
        pytest.skip(f"onnxruntime cannot run the model: {error}")
    actual = after.run(None, feeds)
    assert len(actual) == len(expected)
    for a, e in zip(actual, expected):
        np.testing.assert_array_equal(a, e)

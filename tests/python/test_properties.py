"""Property tests: generated valid models of each format, stamped and
stripped with generated stores and URIs, checked against an independent
model of the expected output; and damaged or arbitrary byte strings, on
which every function must return or raise ValueError.

Profiles: "ci" (chosen when the CI environment variable is set) runs 300
examples per property, "dev" runs 40, and "long" (chosen by setting
QUILLON_HYPOTHESIS_PROFILE=long) runs 5000. None has a deadline, because the
machine running them may be busy.
"""

import base64
import json
import os
import struct

import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, assume, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import quillon  # noqa: E402
from conftest import NO_MANIFEST  # noqa: E402
from models import (ARRAY, FIXED_WIDTH, INT32, STORE_KEY, STRING, UINT8, UINT32, UINT64, URI_KEY, gguf,  # noqa: E402
                    gguf_array, gguf_string, gguf_tensor, onnx_entry, safetensors, safetensors_split, tag, u32,
                    u64, varint)
from models import field as delimited  # noqa: E402

QUIET = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("ci", max_examples=300, deadline=None, suppress_health_check=QUIET)
settings.register_profile("dev", max_examples=40, deadline=None, suppress_health_check=QUIET)
settings.register_profile("long", max_examples=5000, deadline=None, suppress_health_check=QUIET)
# Applied per test rather than loaded globally, so that other test modules
# keep whatever profile they choose.
PROFILE = settings.get_profile(
    os.environ.get("QUILLON_HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "dev"))

C2PA_KEYS = (STORE_KEY, URI_KEY)
C2PA_KEY_BYTES = (STORE_KEY.encode(), URI_KEY.encode())
# Keys that look like the C2PA ones but are ordinary keys.
LOOKALIKE_KEYS = ["c2pa:manifest.urix", "C2PA:manifest", "c2pa:manifest ", "c2pa:", "c2pa:other", ""]
UNRECOGNIZED = "unrecognized ML model container format"

stores = st.binary(max_size=600)
uris = st.text(max_size=80)  # any code point but lone surrogates


def raises_value_error(function, *args):
    with pytest.raises(ValueError) as caught:
        function(*args)
    return caught.value.args


def check_round_trips(model, store, uri, expected_embed=None, expected_remove=None, same_tensor_data=None):
    """The properties every valid model must have, whatever its format.

    `expected_embed(store, uri)` and `expected_remove()` give the exact
    output when the format's test can compute it; `same_tensor_data(a, b)`
    compares the tensor data of an input and an output."""
    original = bytes(bytearray(model))
    with_store = quillon.embed_manifest(model, store)
    with_uri = quillon.embed_manifest_remote(model, uri)
    with_both = quillon.embed_manifest_both(model, uri, store)
    stripped = quillon.remove_manifest(model)

    assert quillon.read_manifest(with_store) == store
    assert quillon.read_manifest_uri(with_store) is None
    assert quillon.read_manifest_uri(with_uri) == uri
    assert raises_value_error(quillon.read_manifest, with_uri) == (NO_MANIFEST,)
    assert quillon.read_manifest(with_both) == store
    assert quillon.read_manifest_uri(with_both) == uri

    # Embedding replaces: twice is once, and the last embedding wins.
    assert quillon.embed_manifest(with_store, store) == with_store
    assert quillon.embed_manifest_remote(with_uri, uri) == with_uri
    assert quillon.embed_manifest_both(with_both, uri, store) == with_both
    assert quillon.embed_manifest(with_both, store) == with_store
    assert quillon.embed_manifest_remote(with_store, uri) == with_uri

    for stamped in (with_store, with_uri, with_both):
        assert quillon.remove_manifest(stamped) == stripped
        if same_tensor_data is not None:
            assert same_tensor_data(model, stamped)
    assert quillon.remove_manifest(stripped) == stripped
    assert raises_value_error(quillon.read_manifest, stripped) == (NO_MANIFEST,)
    assert quillon.read_manifest_uri(stripped) is None
    if same_tensor_data is not None:
        assert same_tensor_data(model, stripped)

    if expected_embed is not None:
        assert with_store == expected_embed(store, None)
        assert with_uri == expected_embed(None, uri)
        assert with_both == expected_embed(store, uri)
    if expected_remove is not None:
        assert stripped == expected_remove()
    assert model == original


def outcome(function, model):
    try:
        return function(model)
    except ValueError as error:
        return error.args


def check_reads(model, expected_store, expected_uri):
    """read_manifest and read_manifest_uri on a generated model give the
    expected value (bytes, str or None) or error arguments (a tuple)."""
    assert outcome(quillon.read_manifest, model) == expected_store
    assert outcome(quillon.read_manifest_uri, model) == expected_uri


def malformed(detail):
    return ("malformed model container: " + detail,)


def strict_utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def canonical_base64(text):
    """The bytes of standard, padded, canonical Base64 text, or None."""
    try:
        data = base64.b64decode(text, validate=True)
    except ValueError:
        return None
    return data if base64.b64encode(data) == text else None


# --- GGUF -----------------------------------------------------------------------

VALUE_TYPES = list(range(13))
MAX_ARRAY_DEPTH = 3


@st.composite
def gguf_values(draw, type_code, depth=0):
    """The encoded value (without its type code) of one metadata value."""
    if type_code in FIXED_WIDTH:
        return draw(st.binary(min_size=FIXED_WIDTH[type_code], max_size=FIXED_WIDTH[type_code]))
    if type_code == STRING:
        return gguf_string(draw(st.binary(max_size=24)))  # values need not be UTF-8
    count = draw(st.integers(0, 5))
    if count == 0:
        # The element type of an empty array is never looked at.
        element = draw(st.sampled_from(VALUE_TYPES) | st.integers(0, 2**32 - 1))
        return gguf_array(element, 0, b"")
    nested = VALUE_TYPES if depth < MAX_ARRAY_DEPTH else [t for t in VALUE_TYPES if t != ARRAY]
    element = draw(st.sampled_from(nested))
    if element in FIXED_WIDTH:
        count = draw(st.integers(1, 40))
        width = FIXED_WIDTH[element] * count
        return gguf_array(element, count, draw(st.binary(min_size=width, max_size=width)))
    items = [draw(gguf_values(element, depth + 1)) for _ in range(count)]
    return gguf_array(element, count, b"".join(items))


@st.composite
def gguf_entries(draw):
    key = draw(st.sampled_from([*C2PA_KEYS, *C2PA_KEYS, *LOOKALIKE_KEYS, "general.name"]) | st.text(max_size=16))
    assume(key != "general.alignment")
    if key == STORE_KEY and draw(st.booleans()):
        store = draw(st.binary(max_size=40))
        return key.encode(), u32(ARRAY) + gguf_array(UINT8, len(store), store)
    if key == URI_KEY and draw(st.booleans()):
        return key.encode(), u32(STRING) + gguf_string(draw(st.text(max_size=20).map(str.encode) | st.binary(max_size=8)))
    type_code = draw(st.sampled_from(VALUE_TYPES))
    return key.encode(), u32(type_code) + draw(gguf_values(type_code))


ALIGNMENTS = [1, 2, 3, 5, 7, 8, 13, 16, 31, 32, 33, 64, 100, 128, 256]
ALIGNMENT_DECOYS = [u32(UINT32) + u32(0), u32(UINT64) + u64(64), u32(INT32) + u32(64), u32(STRING) + gguf_string(b"64")]


@st.composite
def gguf_tensor_infos(draw):
    name = draw(st.text(max_size=12)).encode()
    dims = draw(st.lists(st.integers(0, 2**64 - 1), max_size=4))
    kind = draw(st.integers(0, 2**32 - 1))
    offset = draw(st.integers(0, 2**64 - 1))
    return gguf_tensor(name, dims, kind, offset)


class Gguf:
    """A generated GGUF model, kept in parts so that a test can build the
    expected output of an edit."""

    def __init__(self, version, entries, tensors, data):
        self.version, self.entries, self.tensors, self.data = version, entries, tensors, data
        self.alignment = 32
        for key, raw in entries:
            if key == b"general.alignment" and raw[:4] == u32(UINT32) and raw[4:8] != u32(0):
                self.alignment = struct.unpack("<I", raw[4:8])[0]

    def build(self, entries=None):
        entries = self.entries if entries is None else entries
        return gguf([gguf_string(key) + raw for key, raw in entries], self.tensors, self.data, self.alignment,
                    version=self.version)

    def plain_entries(self):
        return [(key, raw) for key, raw in self.entries if key.decode() not in C2PA_KEYS]

    def expected_embed(self, store, uri):
        entries = self.plain_entries()
        if store is not None:
            entries.append((STORE_KEY.encode(), u32(ARRAY) + gguf_array(UINT8, len(store), store)))
        if uri is not None:
            entries.append((URI_KEY.encode(), u32(STRING) + gguf_string(uri.encode())))
        return self.build(entries)

    def expected_remove(self):
        return self.build(self.plain_entries())

    def first(self, key):
        return next((raw for k, raw in self.entries if k == key.encode()), None)

    def expected_store(self):
        raw = self.first(STORE_KEY)
        if raw is None:
            return (NO_MANIFEST,)
        if raw[:8] != u32(ARRAY) + u32(UINT8):
            return malformed("c2pa:manifest is not a UINT8 array")
        return raw[16:]

    def expected_uri(self):
        raw = self.first(URI_KEY)
        if raw is None:
            return None
        if raw[:4] != u32(STRING):
            return malformed("c2pa:manifest.uri is not a string")
        text = strict_utf8(raw[12:])
        return malformed("URI is not UTF-8") if text is None else text

    def same_tensor_data(self, model, output):
        return output.endswith(self.data) and (len(output) - len(self.data)) % self.alignment == 0

    def __repr__(self):
        return f"Gguf({self.build()!r})"


@st.composite
def gguf_models(draw):
    entries = draw(st.lists(gguf_entries(), max_size=8))
    choice = draw(st.sampled_from([None, *ALIGNMENTS]))
    if choice is not None:
        entries.insert(draw(st.integers(0, len(entries))), (b"general.alignment", u32(UINT32) + u32(choice)))
    for decoy in draw(st.lists(st.sampled_from(ALIGNMENT_DECOYS), max_size=2)):
        entries.insert(draw(st.integers(0, len(entries))), (b"general.alignment", decoy))
    tensors = draw(st.lists(gguf_tensor_infos(), max_size=4))
    return Gguf(draw(st.sampled_from([2, 3])), entries, tensors, draw(st.binary(max_size=200)))


@PROFILE
@given(gguf_models(), stores, uris)
def test_gguf_round_trips(gguf, store, uri):
    model = gguf.build()
    assert quillon.detect_format(model) == "GGUF"
    check_reads(model, gguf.expected_store(), gguf.expected_uri())
    check_round_trips(model, store, uri, gguf.expected_embed, gguf.expected_remove, gguf.same_tensor_data)


# --- SafeTensors ------------------------------------------------------------------

whitespace = st.text(alphabet=" \t\n\r", max_size=3)
json_numbers = st.from_regex(r"-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,12})?([eE][+-]?[0-9]{1,3})?", fullmatch=True)
DTYPES = ["F64", "F32", "F16", "BF16", "I64", "I32", "I16", "I8", "U8", "BOOL", "F8_E4M3"]


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n",
                 "\r": "\\r", "\t": "\\t"}


def unicode_escape(char, upper):
    code = ord(char)
    units = [code] if code < 0x10000 else [0xD800 + ((code - 0x10000) >> 10), 0xDC00 + (code & 0x3FF)]
    return "".join(("\\u%04X" if upper else "\\u%04x") % unit for unit in units)


@st.composite
def json_strings(draw, text=None):
    """A JSON string literal for `text` (or for a random text), each
    character written raw, as a short escape or as a \\u escape."""
    value = draw(st.text(max_size=12)) if text is None else text
    out = []
    for char in value:
        ways = ["unicode"] + (["short"] if char in SHORT_ESCAPES else [])
        if char not in '"\\' and ord(char) >= 0x20:
            ways.append("raw")
        way = draw(st.sampled_from(sorted(ways, key=lambda w: w != "raw")))
        if way == "raw":
            out.append(char)
        elif way == "short":
            out.append(SHORT_ESCAPES[char])
        else:
            out.append(unicode_escape(char, draw(st.booleans())))
    return '"' + "".join(out) + '"'


def json_members(draw, members):
    parts = [f"{draw(whitespace)}{key}{draw(whitespace)}:{draw(whitespace)}{value}{draw(whitespace)}"
             for key, value in members]
    return "{" + ",".join(parts) + draw(whitespace) + "}"


@st.composite
def json_values(draw, depth=0):
    kinds = ["number", "string", "literal"] + (["array", "object"] if depth < 3 else [])
    kind = draw(st.sampled_from(kinds))
    if kind == "number":
        return draw(json_numbers)
    if kind == "string":
        return draw(json_strings())
    if kind == "literal":
        return draw(st.sampled_from(["true", "false", "null"]))
    if kind == "array":
        items = draw(st.lists(json_values(depth + 1), max_size=4))
        return "[" + ",".join(f"{draw(whitespace)}{item}{draw(whitespace)}" for item in items) + "]"
    keys = draw(st.lists(st.text(max_size=8).filter(lambda k: k != "__metadata__"), max_size=4))
    return json_members(draw, [(draw(json_strings(key)), draw(json_values(depth + 1))) for key in keys])


@st.composite
def tensor_entries(draw):
    shape = draw(st.lists(st.integers(0, 2**40), max_size=4))
    begin = draw(st.integers(0, 2**64 - 1))
    end = draw(st.integers(0, 2**64 - 1))
    return json_members(draw, [('"dtype"', json.dumps(draw(st.sampled_from(DTYPES)))),
                               ('"shape"', json.dumps(shape)), ('"data_offsets"', json.dumps([begin, end]))])


@st.composite
def metadata_objects(draw):
    """A "__metadata__" object: string members, at most one of each C2PA key."""
    keys = draw(st.lists(st.sampled_from(LOOKALIKE_KEYS + ["format"]) | st.text(max_size=10), max_size=5))
    members = [(draw(json_strings(key)), draw(json_strings())) for key in keys if key not in C2PA_KEYS]
    for key in C2PA_KEYS:
        if draw(st.booleans()):
            value = draw(json_strings() | st.just(json.dumps(base64.b64encode(b"old").decode())) | json_numbers)
            members.insert(draw(st.integers(0, len(members))), (draw(json_strings(key)), value))
    return json_members(draw, members)


def object_pairs(pairs):
    return ("object", pairs)


def json_tree(text):
    """The header as nested pairs, numbers kept as their text."""
    number = lambda t: ("number", t)  # noqa: E731
    return json.loads(text, object_pairs_hook=object_pairs, parse_int=number, parse_float=number)


def find(pairs, key):
    return next((i for i, (k, _) in enumerate(pairs) if k == key), None)


class SafeTensors:
    def __init__(self, header, data):
        self.header, self.data = header, data

    def build(self):
        return safetensors(self.header, self.data)

    def split(self, model):
        header, data = safetensors_split(model)
        return json_tree(header), data

    def expected_tree(self, store, uri):
        """The header after an embed (store or uri given) or a remove."""
        _, top = json_tree(self.header)
        top = list(top)
        index = find(top, "__metadata__")
        if index is None:
            if store is None and uri is None:
                return ("object", top)
            top.append(("__metadata__", ("object", [])))
            index = len(top) - 1
        members = list(top[index][1][1])
        for key in C2PA_KEYS:
            if find(members, key) is not None:
                del members[find(members, key)]
        if store is not None:
            members.append((STORE_KEY, base64.b64encode(store).decode()))
        if uri is not None:
            members.append((URI_KEY, uri))
        if members or store is not None or uri is not None:
            top[index] = ("__metadata__", ("object", members))
        else:
            del top[index]
        return ("object", top)

    def expected_uri(self):
        _, top = json_tree(self.header)
        index = find(top, "__metadata__")
        if index is None:
            return None
        members = top[index][1][1]
        member = find(members, URI_KEY)
        value = None if member is None else members[member][1]
        return value if isinstance(value, str) else None

    def same_tensor_data(self, model, output):
        return self.split(output)[1] == self.data

    def __repr__(self):
        return f"SafeTensors({self.build()!r})"


@st.composite
def safetensors_models(draw, with_metadata=None):
    names = draw(st.lists(st.text(max_size=10).filter(lambda k: k != "__metadata__"), max_size=6))
    members = [(draw(json_strings(name)), draw(tensor_entries() | json_values())) for name in names]
    if draw(st.booleans()) if with_metadata is None else with_metadata:
        key = draw(json_strings("__metadata__"))
        members.insert(draw(st.integers(0, len(members))), (key, draw(metadata_objects())))
    header = draw(whitespace) + json_members(draw, members) + " " * draw(st.integers(0, 7))
    return SafeTensors(header, draw(st.binary(max_size=128)))


@PROFILE
@given(safetensors_models(), stores, uris)
def test_safetensors_round_trips(safetensors, store, uri):
    model = safetensors.build()
    assert quillon.detect_format(model) == "SafeTensors"
    assert quillon.read_manifest_uri(model) == safetensors.expected_uri()
    check_round_trips(model, store, uri, same_tensor_data=safetensors.same_tensor_data)
    for stamped, args in [
        (quillon.embed_manifest(model, store), (store, None)),
        (quillon.embed_manifest_remote(model, uri), (None, uri)),
        (quillon.embed_manifest_both(model, uri, store), (store, uri)),
        (quillon.remove_manifest(model), (None, None)),
    ]:
        assert safetensors.split(stamped)[0] == safetensors.expected_tree(*args)


@PROFILE
@given(safetensors_models(with_metadata=True), stores, stores)
def test_safetensors_second_metadata_object_is_carried_along(safetensors, store, other):
    # A header with a second top-level "__metadata__": the edits work on the
    # first one only, and a store in the second one makes the read ambiguous.
    second = '"__metadata__":{"c2pa:manifest":' + json.dumps(base64.b64encode(other).decode()) + "}"
    header = safetensors.header.rstrip(" ")
    doubled = SafeTensors(header[:-1] + ("," if json_tree(header)[1] else "") + second + "}", safetensors.data)
    model = doubled.build()
    stamped = quillon.embed_manifest(model, store)
    assert raises_value_error(quillon.read_manifest, stamped) == (
        "more than one c2pa:manifest entry in the SafeTensors container",)
    tree = doubled.split(stamped)[0][1]
    assert tree[-1] == ("__metadata__", ("object", [(STORE_KEY, base64.b64encode(other).decode())]))
    assert quillon.read_manifest(quillon.remove_manifest(stamped)) == other


# --- ONNX -------------------------------------------------------------------------


varint_padding = st.sampled_from([0, 0, 0, 1, 2])


paddings = st.tuples(varint_padding, varint_padding)


# Field 14 holds the metadata entries; these are the other fields.
field_numbers = st.integers(1, 2**29 - 1).filter(lambda n: n != 14) | st.sampled_from([1, 2, 3, 5, 7, 8, 12, 13, 15, 20, 25])


@st.composite
def protobuf_fields(draw, numbers=field_numbers):
    number = draw(numbers)
    wire_type = draw(st.sampled_from([0, 1, 2, 5]))
    if wire_type == 0:
        return tag(number, 0, draw(varint_padding)) + varint(draw(st.integers(0, 2**63 - 1)), draw(varint_padding))
    if wire_type == 1:
        return tag(number, 1, draw(varint_padding)) + draw(st.binary(min_size=8, max_size=8))
    if wire_type == 5:
        return tag(number, 5, draw(varint_padding)) + draw(st.binary(min_size=4, max_size=4))
    return delimited(number, draw(st.binary(max_size=40)), draw(paddings))


onnx_keys = st.sampled_from([*C2PA_KEYS, *C2PA_KEYS, *LOOKALIKE_KEYS]).map(str.encode) | st.binary(max_size=16)


@st.composite
def metadata_entries(draw):
    """One metadata entry (field 14) with its key and value: the payloads of
    its last fields 1 and 2, None where there is no such field."""
    values = (st.binary(max_size=30) | st.binary(max_size=20).map(base64.b64encode) | st.just(b"Zh==")
              | st.text(max_size=10).map(str.encode))
    key, value = st.tuples(st.just(1), onnx_keys), st.tuples(st.just(2), values)
    other = st.tuples(st.just(0), protobuf_fields(st.integers(3, 2**29 - 1)))
    parts = draw(st.lists(key | value | other, max_size=4) | st.tuples(key, value).map(list))
    last = {number: value for number, value in parts if number}
    payload = b"".join(delimited(n, v, draw(paddings)) if n else v for n, v in parts)
    return delimited(14, payload, draw(paddings)), last.get(1), last.get(2)


# Metadata entries that are not length-delimited but whose value bytes still
# scan as an entry message: a fixed64 and a fixed32 holding a short key.
FIXED_WIDTH_ENTRIES = [(tag(14, 1) + delimited(1, b"abcdef"), b"abcdef", None),
                       (tag(14, 5) + delimited(1, b"ab"), b"ab", None), (tag(14, 5) + delimited(2, b"ab"), None, b"ab")]


class Onnx:
    def __init__(self, fields):
        self.fields = fields  # (bytes, key, value); key and value are None but in metadata entries

    def build(self):
        return b"".join(data for data, _, _ in self.fields)

    def expected_embed(self, store, uri):
        out = self.expected_remove()
        if store is not None:
            out += onnx_entry(STORE_KEY, base64.b64encode(store))
        if uri is not None:
            out += onnx_entry(URI_KEY, uri.encode())
        return out

    def expected_remove(self):
        return b"".join(data for data, key, _ in self.fields if key not in C2PA_KEY_BYTES)

    def expected_store(self):
        values = [value for _, key, value in self.fields if key == STORE_KEY.encode() and value is not None]
        if len(values) != 1:
            return (NO_MANIFEST,) if not values else ("more than one c2pa:manifest entry in the ONNX container",)
        if strict_utf8(values[0]) is None:
            return malformed("store is not UTF-8")
        data = canonical_base64(values[0])
        return ("malformed manifest reference: value is not valid Base64",) if data is None else data

    def expected_uri(self):
        value = next((v for _, key, v in self.fields if key == URI_KEY.encode()), False)
        if value is False:
            return None
        text = strict_utf8(value or b"")
        return malformed("URI is not UTF-8") if text is None else text

    def __repr__(self):
        return f"Onnx({self.build()!r})"


@st.composite
def onnx_models(draw):
    fields = draw(st.lists(
        protobuf_fields().map(lambda f: (f, None, None)) | metadata_entries() | metadata_entries()
        | st.sampled_from(FIXED_WIDTH_ENTRIES),
        max_size=10,
    ))
    anchor = draw(protobuf_fields(st.sampled_from([1, 7])))
    fields.insert(draw(st.integers(0, len(fields))), (anchor, None, None))
    model = Onnx(fields)
    # A model whose first bytes happen to frame a SafeTensors header is not ONNX.
    assume(quillon.detect_format(model.build()) == "ONNX")
    return model


@PROFILE
@given(onnx_models(), stores, uris)
def test_onnx_round_trips(onnx, store, uri):
    check_reads(onnx.build(), onnx.expected_store(), onnx.expected_uri())
    check_round_trips(onnx.build(), store, uri, onnx.expected_embed, onnx.expected_remove)


# --- damaged and arbitrary input ----------------------------------------------------

CALLS = [
    (quillon.embed_manifest, (b"store",), bytes),
    (quillon.embed_manifest_remote, ("uri",), bytes),
    (quillon.embed_manifest_both, ("uri", b"store"), bytes),
    (quillon.read_manifest, (), bytes),
    (quillon.read_manifest_uri, (), (str, type(None))),
    (quillon.remove_manifest, (), bytes),
]
ASSET_TYPES = {None: None, "GGUF": "c2pa.types.model", "SafeTensors": "c2pa.types.model",
               "ONNX": "c2pa.types.model.onnx"}


def check_total(model):
    """Every function returns a value of its type or raises ValueError; a
    model of no format fails every manifest function with UnrecognizedFormat
    and a model of a known format never does."""
    original = bytes(bytearray(model))
    found = quillon.detect_format(model)
    assert found in ASSET_TYPES
    assert quillon.model_type(model) == ASSET_TYPES[found]
    for function, args, result_type in CALLS:
        try:
            result = function(model, *args)
        except ValueError as error:
            assert len(error.args) == 1 and isinstance(error.args[0], str)
            assert (error.args[0] == UNRECOGNIZED) == (found is None), (function.__name__, error.args)
        else:
            assert found is not None
            assert isinstance(result, result_type)
            if function is not quillon.read_manifest and result_type is bytes and found != "ONNX":
                # (An ONNX model grown by the appended entries may come to
                # frame a SafeTensors header: 09 00*7 7B is one.)
                assert quillon.detect_format(result) == found
    assert model == original


LENGTH_VALUES = [0, 1, 7, 8, 0x7F, 0x80, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 9, 2**64 - 8, 2**64 - 1]


@st.composite
def mutations(draw, model):
    kind = draw(st.sampled_from(["truncate", "flip", "length", "varint", "insert"]))
    data = bytearray(model)
    if kind == "truncate":
        return bytes(data[:draw(st.integers(0, max(len(data) - 1, 0)))])
    if not data:
        return bytes(data)
    position = draw(st.integers(0, len(data) - 1))
    if kind == "flip":
        for _ in range(draw(st.integers(1, 4))):
            data[draw(st.integers(0, len(data) - 1))] ^= 1 << draw(st.integers(0, 7))
    elif kind == "length":
        # A 64- or 32-bit length or count overwritten with an extreme value.
        value = draw(st.sampled_from(LENGTH_VALUES) | st.integers(0, 2**64 - 1))
        width = draw(st.sampled_from([4, 8]))
        data[position:position + width] = (value % 2 ** (8 * width)).to_bytes(width, "little")
    elif kind == "varint":
        data[position:position + 1] = draw(st.sampled_from([b"\xff", b"\x80", b"\x7f", b"\x00", b"\x0b", b"\xff" * 11]))
    else:
        data[position:position] = draw(st.binary(min_size=1, max_size=16))
    return bytes(data)


any_valid_model = st.one_of(
    gguf_models().map(Gguf.build),
    safetensors_models().map(SafeTensors.build),
    onnx_models().map(Onnx.build),
)


@PROFILE
@given(any_valid_model, st.data())
def test_damaged_models_fail_cleanly(model, data):
    damaged = data.draw(mutations(model))
    for _ in range(data.draw(st.integers(0, 2))):
        damaged = data.draw(mutations(damaged))
    check_total(damaged)


@PROFILE
@given(st.one_of(
    st.binary(max_size=300),
    st.binary(max_size=200).map(lambda b: b"GGUF" + b),
    st.tuples(st.integers(0, 300), st.binary(max_size=300)).map(lambda t: u64(t[0]) + b"{" + t[1]),
    st.binary(max_size=200).map(lambda b: b"\x08\x07" + b),
))
def test_arbitrary_bytes_fail_cleanly(model):
    check_total(model)

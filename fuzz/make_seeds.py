#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into OUT/<target>/.

    python3 fuzz/make_seeds.py OUT

Seeds are small valid inputs (the samples in samples/ plus hand-built models
that carry C2PA data, duplicates, odd alignments and nesting), so that the
fuzzers start past the format checks. Standard library only.
"""

import base64
import hashlib
import json
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
from models import (ARRAY, BOOL, FLOAT32, INT16, SAMPLES, STRING, UINT64, field, gguf, gguf_array, gguf_kv,  # noqa: E402
                    gguf_store_kv, gguf_str, gguf_string, gguf_tensor, gguf_u32, gguf_uri_kv, onnx_entry, safetensors)

STORE = b"\x00\x00\x00\x2ajumb\x00\x00\x00\x1ejumd" + bytes(range(0, 250, 7))
URI = "https://example.com/manifests/m.c2pa"


# GGUF ----------------------------------------------------------------------

def gguf_file(kvs, tensors=(), data=b"\x01" * 16, version=3, alignment=32):
    return gguf(kvs, tensors, data, alignment, version=version)


def nested_string_arrays():
    inner = gguf_array(STRING, 2, gguf_string(b"ab") + gguf_string(b"\xff\xfe"))
    return gguf_kv(b"nested", ARRAY, gguf_array(ARRAY, 2, inner + inner))


def gguf_seeds():
    tensor = gguf_tensor(b"w", [4, 2], 0, 0)
    return {
        "sample": (SAMPLES / "model.gguf").read_bytes(),
        "empty": gguf_file([], data=b""),
        "v2": gguf_file([gguf_str(b"general.name", b"x")], [tensor], version=2),
        "c2pa": gguf_file([gguf_str(b"general.name", b"m"), gguf_store_kv(STORE),
                           gguf_uri_kv(URI.encode())], [tensor]),
        "duplicates": gguf_file([gguf_store_kv(b"first"), gguf_store_kv(b""),
                                 gguf_uri_kv(b"\xff\xfe")]),
        "align64": gguf_file([gguf_u32(b"general.alignment", 64), gguf_store_kv(b"s")],
                             [tensor], alignment=64),
        "align3": gguf_file([gguf_u32(b"general.alignment", 3)], [tensor], alignment=3),
        "types": gguf_file([gguf_kv(b"u64", UINT64, struct.pack("<Q", 7)), gguf_kv(b"f32", FLOAT32, b"\0\0\x80?"),
                            gguf_kv(b"b", BOOL, b"\x01"), gguf_kv(b"i16", INT16, b"\xff\xff"),
                            gguf_kv(b"empty", ARRAY, gguf_array(99, 0, b"")), nested_string_arrays(),
                            gguf_str(b"c2pa:manifest", b"not an array")]),
    }


# SafeTensors ---------------------------------------------------------------

def safetensors_file(header, data=b"\x00" * 8):
    return safetensors(header, data)


TENSOR = '"t":{"dtype":"U8","shape":[2,4],"data_offsets":[0,8]}'
B64 = base64.b64encode(STORE).decode()


def safetensors_seeds():
    return {
        "sample": (SAMPLES / "model.safetensors").read_bytes(),
        "plain": safetensors_file("{" + TENSOR + "}"),
        "c2pa": safetensors_file('{"__metadata__":{"format":"pt","c2pa:manifest":"%s","c2pa:manifest.uri":"%s"},%s}'
                                 % (B64, URI, TENSOR)),
        "padded": safetensors_file('{ "__metadata__" : { "c2pa:manifest" : "Zm9v" } ,\t%s }       ' % TENSOR),
        "duplicate": safetensors_file('{"__metadata__":{"c2pa:manifest":"QQ==","c2pa:manifest":"Qg==",'
                                      '"c2pa:manifest":"Qw==","c2pa:manifest.uri":1}}'),
        "two_metadata": safetensors_file('{"__metadata__":{"c2pa:manifest.uri":"a\\"b\\\\c\\u0001"},'
                                         '"__metadata__":{"c2pa:manifest":"Zg=="}}'),
        "nested_metadata": safetensors_file('{"__metadata__":{"x":{"__metadata__":{"c2pa:manifest":"Zg=="}},'
                                            '"c2pa:manifest":"Zm8="}}'),
        "escaped_keys": safetensors_file('{"\\u005f_metadata__":{"c2pa\\u003amanifest":"Zm9v",'
                                         '"k":"\\ud83d\\ude00\\/"}}'),
        "metadata_array": safetensors_file('{"__metadata__":[1,2.5e-3,-0,true,false,null]}'),
        "numbers": safetensors_file('{"t":{"data_offsets":[18446744073709551617,1.0E+2]}}'),
        "empty_metadata": safetensors_file('{"__metadata__":{}}', b""),
        "form_feed": safetensors_file('\x0c{}'),
    }


# ONNX ----------------------------------------------------------------------

def onnx_seeds():
    sample = (SAMPLES / "model.onnx").read_bytes()
    return {
        "sample": sample,
        "minimal": b"\x08\x07",
        "c2pa": sample + onnx_entry(b"c2pa:manifest", B64.encode()) + onnx_entry(b"c2pa:manifest.uri", URI.encode()),
        "middle": (b"\x08\x08" + onnx_entry(b"c2pa:manifest.uri", b"u") + onnx_entry(b"C2PA:manifest", b"x") +
                   field(7, b"\x0a\x00")),
        "duplicates": (b"\x08\x07" + onnx_entry(b"c2pa:manifest", b"Zg==") + onnx_entry(b"c2pa:manifest", b"Zm8=") +
                       field(14, field(1, b"c2pa:manifest"))),
        "wire_types": (b"\x08\x96\x01" + b"\x11" + bytes(8) + b"\x1d" + bytes(4) +
                       field(14, b"\x08\x01\x0a\x11c2pa:manifest.uri\x15abcd")),
        "long_store": b"\x08\x07" + onnx_entry(b"c2pa:manifest", base64.b64encode(bytes(300))),
    }


# Codecs --------------------------------------------------------------------

def wire_seeds():
    seeds = {name: data for name, data in onnx_seeds().items()}
    seeds.update({
        "varint": b"\x08\x96\x01",
        "bytes": b"\x0a\x03abc",
        "fixed64": b"\x09" + bytes(8),
        "fixed32": b"\x0d" + bytes(4),
        "ten_byte_tag": b"\xff" * 9 + b"\x01" + b"\x00",
    })
    return seeds


def json_seeds():
    header = (SAMPLES / "model.safetensors").read_bytes()
    length = struct.unpack("<Q", header[:8])[0]
    return {
        "sample": header[8:8 + length],
        "escapes": '["\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\\u0000", "\x01raw\ttab", "\u20ac"]'.encode(),
        "numbers": b'[0, -1, 1.5e10, 1E-2, 01, -, 1.2.3, 3-4]',
        "literals": b' {"a" : true, "b":false, "c" :null, "a": {}} ',
        "nested": b'{"x":[[[{"y":[{}]}]],[]]}',
        "duplicates": b'{"k":1,"k":2,"k":"3","":[]}',
        "scalar": b'"just a string"',
    }


def base64_seeds():
    seeds = {f"rfc{i}": base64.b64encode(b"foobar"[:i]) for i in range(7)}
    seeds["store"] = base64.b64encode(STORE)
    seeds["invalid"] = b"Zh=="
    for i in range(3):
        seeds[f"hash{i}"] = base64.b64encode(hashlib.sha256(bytes([i])).digest()[: 30 + i])
    return seeds


TARGETS = {
    "wire": wire_seeds,
    "json": json_seeds,
    "base64": base64_seeds,
    "gguf": gguf_seeds,
    "safetensors": safetensors_seeds,
    "onnx": onnx_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    for target, make in TARGETS.items():
        directory = out / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in make().items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()

"""Shared fixtures: the smallest valid model of each supported format.

The builders are plain functions so that a test can make variants (a larger
tensor, extra metadata bytes); the fixtures hand out the default models.
"""

import json
import os
import signal
import struct

import pytest

GGUF_ALIGNMENT = 32


def make_gguf(version=3):
    """A GGUF file with no tensors and no metadata, padded to the alignment."""
    header = b"GGUF" + struct.pack("<IQQ", version, 0, 0)
    return header + bytes(-len(header) % GGUF_ALIGNMENT)


def make_safetensors(data=b"\x00"):
    """A SafeTensors file holding one U8 tensor "a" whose bytes are `data`."""
    header = json.dumps(
        {"a": {"dtype": "U8", "shape": [len(data)], "data_offsets": [0, len(data)]}},
        separators=(",", ":"),
    ).encode()
    return struct.pack("<Q", len(header)) + header + data


def make_onnx(graph=b""):
    """An ONNX model: ir_version 7 (field 1) and a graph (field 7) of `graph`."""
    if len(graph) >= 0x80:
        raise ValueError("the builder writes one-byte lengths only")
    return b"\x08\x07" + b"\x3a" + bytes([len(graph)]) + graph


MODEL_BUILDERS = {"GGUF": make_gguf, "SafeTensors": make_safetensors, "ONNX": make_onnx}


@pytest.fixture(params=sorted(MODEL_BUILDERS))
def any_model(request):
    """Each format's minimal model in turn, as (display name, bytes)."""
    return request.param, MODEL_BUILDERS[request.param]()


@pytest.fixture
def gguf_model():
    return make_gguf()


@pytest.fixture
def safetensors_model():
    return make_safetensors()


@pytest.fixture
def onnx_model():
    return make_onnx()

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

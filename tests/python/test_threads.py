"""Threads: large calls let other Python threads run, calls from many
threads at once return exactly what they return one at a time, and daemon
threads still inside calls when the interpreter exits end quietly."""

import os
import random
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import quillon
from conftest import write
from models import gguf_with_tensor, onnx_with_doc, safetensors_u8, sparse_safetensors

URI = "https://example.com/manifest.c2pa"
# Large enough that a read's copy of it runs without the lock too.
STORE = bytes(range(256)) * 512
LARGE = 256 << 20
# Comfortably above the size from which the calls run without the lock.
RELEASED = 1 << 20
# Comfortably below it: these calls keep the lock.
HELD = 1 << 10
BUILDERS = [gguf_with_tensor, lambda size: safetensors_u8(b"\x01" * size), onnx_with_doc]

# name -> call(model, store)
CALLS = {
    "embed_manifest": quillon.embed_manifest,
    "embed_manifest_remote": lambda model, _: quillon.embed_manifest_remote(model, URI),
    "embed_manifest_both": lambda model, store: quillon.embed_manifest_both(model, URI, store),
    "read_manifest": lambda model, _: quillon.read_manifest(model),
    "read_manifest_uri": lambda model, _: quillon.read_manifest_uri(model),
    "remove_manifest": lambda model, _: quillon.remove_manifest(model),
    "detect_format": lambda model, _: quillon.detect_format(model),
    "model_type": lambda model, _: quillon.model_type(model),
}
REWRITES = ["embed_manifest", "embed_manifest_remote", "embed_manifest_both", "remove_manifest"]


def outcome(name, model):
    try:
        return "returned", CALLS[name](model, STORE)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return type(error), error.args


@pytest.fixture
def long_switch_interval():
    """While this holds, a Python thread gives the lock up only when it blocks
    or a call releases it, so which thread ran when is deterministic."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(10.0)
    yield
    sys.setswitchinterval(before)


def other_thread_ran_during(call, attempts=3):
    """Whether a second thread ran 10,000 iterations while `call()` ran.

    While the lock is held it never can; while it is released the thread
    still needs the operating system to schedule it in time, so a loaded
    machine gets a few attempts."""
    for _ in range(attempts):
        go = threading.Event()
        state = {"call_done": False, "saw_call_done": None}

        def counter():
            go.wait()
            count = 0
            while count < 10_000:
                count += 1
            state["saw_call_done"] = state["call_done"]

        thread = threading.Thread(target=counter)
        thread.start()
        go.set()  # the counter now waits only for the interpreter lock
        call()
        state["call_done"] = True
        thread.join()
        if not state["saw_call_done"]:
            return True
    return False


@pytest.mark.parametrize("name", REWRITES)
def test_another_thread_runs_while_a_large_model_is_stamped(name, long_switch_interval):
    large = safetensors_u8(b"\x01" * LARGE)
    stamped = quillon.embed_manifest_both(large, URI, STORE)
    model = stamped if name == "remove_manifest" else large
    assert other_thread_ran_during(lambda: CALLS[name](model, STORE))


def test_another_thread_runs_while_a_large_store_is_read(long_switch_interval):
    model = quillon.embed_manifest(gguf_with_tensor(HELD), b"\x02" * LARGE)
    assert other_thread_ran_during(lambda: quillon.read_manifest(model))


@pytest.mark.parametrize("name", CALLS)
def test_a_tiny_model_keeps_the_lock(name, long_switch_interval):
    store = b"store"
    model = quillon.embed_manifest_both(safetensors_u8(b"\x01"), URI, store)
    assert len(model) < HELD
    assert not other_thread_ran_during(lambda: [CALLS[name](model, store) for _ in range(100)])


def inputs():
    """Per format and size: a plain model, the same stamped, the stamped one
    cut short; and bytes of no format."""
    models = [b"not a model" * 10_000]
    for build in BUILDERS:
        for size in (HELD, RELEASED):
            plain = build(size)
            stamped = quillon.embed_manifest_both(plain, URI, STORE)
            models += [plain, stamped, stamped[: len(stamped) // 2]]
    return models


def test_many_threads_get_the_single_threaded_results():
    cases = [(name, model) for model in inputs() for name in CALLS]
    expected = [outcome(name, model) for name, model in cases]
    assert {kind for kind, _ in expected} == {"returned", ValueError}
    order = [i for i in range(len(cases)) for _ in range(4)]
    random.Random(5).shuffle(order)
    with ThreadPoolExecutor(max_workers=8) as pool:
        seen = list(pool.map(lambda i: outcome(*cases[i]), order))
    for i, got in zip(order, seen):
        assert got == expected[i], cases[i][0]


# A child whose daemon threads keep calling into both modules while its main
# thread returns: the interpreter ends each thread when it next takes the
# lock back, after finalization has begun, somewhere inside those calls.
# One thread is sure to be ended inside its progress callback, in the middle
# of a write; while the interpreter finalizes, the main thread waits for that
# write to remove its temporary file, in the finalizer of an object that only
# the last garbage collection reaches.
DAEMONS_AT_EXIT = """
import gc, os, pathlib, sys, threading, time
import quillon, quillon_files

model_path, sparse, looping, stuck = sys.argv[1:]
model = open(model_path, "rb").read()
running = [threading.Event() for _ in range(3)]

def in_memory():
    while True:
        quillon.embed_manifest(model, b"store")
        running[0].set()

def on_file():
    while True:
        quillon_files.embed_manifest(pathlib.Path(sparse), b"store", output=pathlib.Path(looping, "out"),
                                     progress=lambda done, total: running[1].set())

def waiting(done, total):
    running[2].set()
    while True:
        time.sleep(0.001)

def in_progress():
    quillon_files.embed_manifest(sparse, b"store", output=stuck + "/out", progress=waiting)

class LastToGo:
    def __del__(self, listdir=os.listdir, sleep=time.sleep, stuck=stuck):
        for _ in range(5000):
            if not listdir(stuck):
                return
            sleep(0.001)

for target in (in_memory, on_file, in_progress):
    threading.Thread(target=target, daemon=True).start()
for event in running:
    event.wait()
gc.disable()
last_to_go = LastToGo()
last_to_go.cycle = last_to_go
del last_to_go
"""


def test_daemon_threads_inside_calls_end_quietly_at_exit(tmp_path):
    model = write(tmp_path / "m.safetensors", safetensors_u8(b"\x01" * (RELEASED * 4)))
    sparse = tmp_path / "sparse.safetensors"
    sparse_safetensors(sparse)
    looping, stuck = tmp_path / "looping", tmp_path / "stuck"
    looping.mkdir()
    stuck.mkdir()
    # Named temporary files, which only the ended thread's destructors remove.
    env = dict(os.environ, QUILLON_FILES_FALLBACK="tmpfile")
    # A thread that cannot be ended cleanly brings about every other child
    # down; an emulated child starts much more slowly.
    for _ in range(8 if os.environ.get("QUILLON_TEST_EMULATOR") else 25):
        child = subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT, model, sparse, looping, stuck],
                               capture_output=True, text=True, env=env, check=False)
        assert (child.returncode, child.stderr, os.listdir(stuck)) == (0, "", [])

"""The `quillon` command: every subcommand on every format, the guarantees of
its file writes, and its error reports. Commands run in-process through
quillon_cli.main, plus a few runs of `python -m quillon_cli`; the type
information is checked with mypy when it is installed."""

import hashlib
import importlib.util
import json
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import sys

import pytest

import quillon
import quillon_cli
import quillon_files
from quillon_cli import streams
from quillon_cli.demo import samples_folder

from conftest import (MODELS, STORE, TEMP_PREFIX, child_env, default_signals, needs_native_signals, run, signalled,
                      write)
from models import MIB, URI, large_safetensors, safetensors

SAMPLES = samples_folder()
FORMATS = {"model.gguf": "GGUF", "model.safetensors": "SafeTensors", "model.onnx": "ONNX"}
ROOT = pathlib.Path(__file__).resolve().parents[2]



@pytest.fixture(params=sorted(FORMATS))
def model(request, tmp_path):
    """A sample model of each format, copied into the test's folder."""
    path = tmp_path / request.param
    shutil.copyfile(SAMPLES / request.param, path)
    return path


def c2pa_data(model_bytes):
    """(store or None, uri or None) as the library reads them."""
    try:
        store = quillon.read_manifest(model_bytes)
    except ValueError:
        store = None
    return store, quillon.read_manifest_uri(model_bytes)


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.startswith(TEMP_PREFIX)]


# --- the subcommands ---------------------------------------------------------


def test_info_text_and_json(capsys, model):
    stamped = model.with_name("stamped" + model.suffix)
    stamped.write_bytes(quillon.embed_manifest_both(model.read_bytes(), URI + "\nx", STORE))
    kind = FORMATS[model.name]
    asset = quillon.model_type(model.read_bytes())

    assert run(capsys, "info", model, stamped) == (0, (
        f"{model}: {kind}, {asset}, store: none, uri: none\n"
        f"{stamped}: {kind}, {asset}, store: {len(STORE)} bytes, uri: \"{URI}\\nx\"\n"), "")

    status, out, err = run(capsys, "info", "--json", model, stamped)
    assert (status, err) == (0, "")
    assert json.loads(out) == [
        {"file": str(model), "format": kind, "asset_type": asset,
         "store": False, "store_size": None, "uri": None},
        {"file": str(stamped), "format": kind, "asset_type": asset,
         "store": True, "store_size": len(STORE), "uri": URI + "\nx"},
    ]


# A name, as the output shows it, and as it shows the name plus a line break.
@pytest.mark.parametrize("name, shown, shown_broken", [
    (b"\xff.onnx", '"{folder}/\\xff.onnx"', '"{folder}/\\xff.onnx\\n"'),
    (b"a\nb.onnx", '"{folder}/a\\nb.onnx"', '"{folder}/a\\nb.onnx\\n"'),
    (b"\\xff.onnx", "{folder}/\\xff.onnx", '"{folder}/\\\\xff.onnx\\n"'),
], ids=["not-utf8", "newline", "backslash"])
def test_info_shows_each_file_name_on_one_line_unambiguously(capsys, tmp_path, name, shown, shown_broken):
    path = os.path.join(tmp_path, os.fsdecode(name))
    shutil.copyfile(SAMPLES / "model.onnx", path)
    status, out, err = run(capsys, "info", path, path + "\n")
    assert (status, out.count("\n"), out.split(": ONNX,")[0]) == (1, 1, shown.format(folder=tmp_path))
    assert err == f"quillon: {shown_broken.format(folder=tmp_path)}: No such file or directory\n"


@pytest.mark.parametrize("in_place", [False, True], ids=["output", "in-place"])
@pytest.mark.parametrize("store, uri", [(True, False), (False, True), (True, True)],
                         ids=["store", "uri", "both"])
def test_embed_read_remove(capsys, model, tmp_path, store, uri, in_place):
    original = model.read_bytes()
    # An old URI and store, which embedding replaces.
    model.write_bytes(quillon.embed_manifest_both(original, "https://old", b"old"))
    (tmp_path / "store.c2pa").write_bytes(STORE)
    stamped = model if in_place else tmp_path / "stamped"
    args = ["embed", model] + (["--store", tmp_path / "store.c2pa"] if store else [])
    args += (["--uri", URI] if uri else []) + (["--in-place"] if in_place else ["-o", stamped])

    assert run(capsys, *args) == (0, "", "")
    assert c2pa_data(stamped.read_bytes()) == (STORE if store else None, URI if uri else None)

    if store:
        assert run(capsys, "read", stamped, "-o", tmp_path / "read.c2pa") == (0, "", "")
        assert (tmp_path / "read.c2pa").read_bytes() == STORE

    stripped = model if in_place else tmp_path / "stripped"
    tail = ["--in-place"] if in_place else ["-o", stripped]
    assert run(capsys, "remove", stamped, *tail) == (0, "", "")
    assert c2pa_data(stripped.read_bytes()) == (None, None)
    assert quillon.detect_format(stripped.read_bytes()) == FORMATS[model.name]
    assert leftovers(tmp_path) == []


def test_read_to_stdout_is_binary_safe(capsysbinary, model):
    store = bytes(range(256)) + b"\r\n\x00\n"
    model.write_bytes(quillon.embed_manifest(model.read_bytes(), store))
    assert quillon_cli.main(["read", str(model), "-o", "-"]) == 0
    assert capsysbinary.readouterr() == (store, b"")


def test_demo(capsys):
    status, out, err = run(capsys, "demo")
    assert (status, err) == (0, "")
    for name in FORMATS:
        assert f"\n{name} (" in out
    assert out.count("the stripped model is") == 3


# --- safe writes -------------------------------------------------------------


def test_in_place_keeps_permissions_and_symbolic_links(capsys, model, tmp_path):
    model.chmod(0o640)
    link = tmp_path / "link"
    link.symlink_to(model.name)
    assert run(capsys, "embed", link, "--uri", URI, "--in-place") == (0, "", "")
    assert link.is_symlink()
    assert stat.S_IMODE(model.stat().st_mode) == 0o640
    assert c2pa_data(model.read_bytes()) == (None, URI)


@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hardlink"])
def test_output_onto_the_input_is_refused(capsys, model, tmp_path, spelling):
    output = {
        "same": lambda: model,
        "dotted": lambda: tmp_path / "." / ".." / tmp_path.name / model.name,
        "symlink": lambda: (tmp_path / "alias").symlink_to(model) or tmp_path / "alias",
        "hardlink": lambda: os.link(model, tmp_path / "alias") or tmp_path / "alias",
    }[spelling]()
    original = model.read_bytes()
    for command in (["embed", model, "--uri", URI], ["remove", model]):
        status, out, err = run(capsys, *command, "-o", output, "--force")
        assert (status, err) == (1, f"quillon: {output}: refusing to overwrite the input file "
                                    "(use --in-place)\n")
    assert model.read_bytes() == original


def test_existing_output_needs_force(capsys, model, tmp_path):
    output = tmp_path / "out"
    umask = os.umask(0o027)
    try:
        assert run(capsys, "remove", model, "-o", output) == (0, "", "")
    finally:
        os.umask(umask)
    assert stat.S_IMODE(output.stat().st_mode) == 0o640  # as for any new file

    output.write_bytes(b"precious")
    output.chmod(0o604)
    assert run(capsys, "remove", model, "-o", output) == (
        1, "", f"quillon: {output}: file exists (use --force to overwrite)\n")
    assert output.read_bytes() == b"precious"
    assert run(capsys, "remove", model, "-o", output, "--force") == (0, "", "")
    assert output.read_bytes() == quillon.remove_manifest(model.read_bytes())
    assert stat.S_IMODE(output.stat().st_mode) == 0o604


@pytest.mark.skipif(os.geteuid() != 0, reason="only root may give a file away")
@pytest.mark.parametrize("argv", [
    ["read", "{stamped}", "-o", "{victim}", "--force"],
    ["remove", "-", "-o", "{victim}", "--force"],
], ids=["store", "model-from-stdin"])
def test_replaced_file_keeps_its_owner_and_set_id_rules(model, tmp_path, argv):
    stamped = write(tmp_path / "stamped", quillon.embed_manifest(model.read_bytes(), STORE))
    victim = write(tmp_path / "victim", b"#!/bin/sh\n")
    os.chown(victim, 4321, 8765)
    victim.chmod(0o4755)
    done = run_module(*[arg.format(stamped=stamped, victim=victim) for arg in argv], input=stamped.read_bytes())
    assert (done.returncode, done.stderr) == (0, b"")
    status = victim.stat()
    # The file stays its owner's; root never gets a set-user-ID file.
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (4321, 8765, 0o4755)
    assert victim.read_bytes() in (STORE, quillon.remove_manifest(stamped.read_bytes()))


@pytest.mark.parametrize("failure, status, message", [
    (OSError(28, "No space left on device"), 1, "No space left on device"),
    (KeyboardInterrupt(), 130, None),
])
def test_failed_store_write_keeps_the_original(capsys, monkeypatch, model, tmp_path, failure, status, message):
    model.write_bytes(quillon.embed_manifest(model.read_bytes(), STORE))
    destination = write(tmp_path / "out", b"old output")

    def fail(*args):
        raise failure

    # The engine reports the progress of a write once it is written, before
    # it syncs and renames the file.
    monkeypatch.setattr(streams.Progress, "update", fail)
    got, out, err = run(capsys, "read", model, "-o", destination, "--force")
    monkeypatch.undo()

    assert got == status
    assert err == (f"quillon: {destination}: {message}\n" if message else "quillon: interrupted\n")
    assert destination.read_bytes() == b"old output"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("tty", [True, False])
def test_progress_for_large_files_on_a_terminal(capsys, monkeypatch, model, tmp_path, tty):
    monkeypatch.setattr(streams, "PROGRESS_THRESHOLD", 100)
    monkeypatch.setattr(streams, "CHUNK_SIZE", 64)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: tty, raising=False)
    status, out, err = run(capsys, "embed", model, "--uri", URI, "-o", tmp_path / "out")
    assert status == 0
    if tty:
        assert err.endswith(f"\rquillon: writing {tmp_path / 'out'}: 100%\n")
    else:
        assert err == ""
    assert c2pa_data((tmp_path / "out").read_bytes()) == (None, URI)


# --- errors ------------------------------------------------------------------

COMMANDS = {
    "info": ["info"],
    "read": ["read", "-o", "{out}"],
    "embed": ["embed", "--uri", URI, "-o", "{out}"],
    "remove": ["remove", "--in-place"],
}


@pytest.mark.parametrize("command", sorted(COMMANDS))
@pytest.mark.parametrize("content, message", [
    (None, "No such file or directory"),
    ("folder", "Is a directory"),
    (STORE, "unrecognized ML model container format"),
    (b"", "unrecognized ML model container format"),
    (MODELS["cut-gguf"], "malformed model container: unexpected end of GGUF data"),
    (MODELS["bad-json"], "unexpected end of input"),
], ids=["missing", "folder", "store", "empty", "cut-gguf", "bad-json"])
def test_errors_name_the_file(capsys, tmp_path, command, content, message):
    path = tmp_path / "model"
    if content == "folder":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    argv = [arg.format(out=tmp_path / "out") for arg in COMMANDS[command]]
    status, out, err = run(capsys, *argv[:1], path, *argv[1:])
    assert (status, out) == (1, "")
    # The library's message, whose detail may vary by operation.
    assert err.startswith(f"quillon: {path}: ") and err.endswith(f"{message}\n")
    assert err.count("\n") == 1
    assert not (tmp_path / "out").exists()
    if content not in (None, "folder"):
        assert path.read_bytes() == content


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(capsys, model):
    model.chmod(0)
    assert run(capsys, "info", model) == (1, "", f"quillon: {model}: Permission denied\n")


def test_other_file_errors(capsys, model, tmp_path):
    assert run(capsys, "read", model, "-o", tmp_path / "s") == (
        1, "", f"quillon: {model}: no C2PA manifest found in model\n")
    missing = tmp_path / "missing.c2pa"
    assert run(capsys, "embed", model, "--store", missing, "-o", tmp_path / "o") == (
        1, "", f"quillon: {missing}: No such file or directory\n")
    nowhere = tmp_path / "no" / "out"
    assert run(capsys, "remove", model, "-o", nowhere) == (
        1, "", f"quillon: {nowhere}: No such file or directory\n")
    # A damaged store is an error for info too, not a missing store.
    damaged = write(tmp_path / "damaged.safetensors", safetensors({"__metadata__": {"c2pa:manifest": "@@@@"}}))
    assert run(capsys, "info", damaged) == (
        1, "", f"quillon: {damaged}: malformed manifest reference: value is not valid Base64\n")
    # info reports each bad file and goes on with the rest.
    status, out, err = run(capsys, "info", missing, model)
    assert (status, out.count("\n"), err) == (
        1, 1, f"quillon: {missing}: No such file or directory\n")


@pytest.mark.parametrize("argv", [
    [], ["frobnicate"], ["info"], ["read", "m"], ["embed", "m", "-o", "x"],
    ["embed", "m", "--uri", "u"], ["embed", "m", "--uri", "u", "-o", "x", "--in-place"],
    ["remove", "m", "--in-place", "--json"], ["read", "m", "--in-place"],
    ["embed", "m", "--uri", "\udcff", "-o", "x"],  # a URI argument that is not UTF-8
])
def test_usage_errors(capsys, argv):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith("usage: quillon") and "error:" in err


# --- what is not a regular file, standard streams, and signals -----------------


@pytest.mark.parametrize("command", [
    ["read", "{stamped}", "-o", "{target}", "--force"],
    ["embed", "{model}", "--uri", URI, "-o", "{target}", "--force"],
    ["remove", "{stamped}", "-o", "{target}", "--force"],
], ids=["read", "embed", "remove"])
@pytest.mark.parametrize("target, message", [
    ("/dev/null", "not a regular file"),
    ("{fifo}", "not a regular file"),
    ("{folder}", "Is a directory"),
], ids=["device", "fifo", "folder"])
def test_destinations_that_are_not_regular_files(capsys, model, tmp_path, command, target, message):
    stamped = write(tmp_path / "stamped", quillon.embed_manifest(model.read_bytes(), STORE))
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "folder").mkdir()
    names = dict(model=model, stamped=stamped, fifo=tmp_path / "fifo", folder=tmp_path / "folder")
    target = target.format(**names)
    argv = [arg.format(target=target, **names) for arg in command]
    assert run(capsys, *argv) == (1, "", f"quillon: {target}: {message}\n")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)
    assert os.listdir(tmp_path / "folder") == []


@pytest.mark.parametrize("argv", [
    ["info", "{path}"], ["read", "{path}", "-o", "{out}"], ["remove", "{path}", "--in-place"],
    ["embed", "{model}", "--store", "{path}", "-o", "{out}"],
], ids=["info", "read", "remove", "store"])
@pytest.mark.parametrize("path", ["/dev/zero", "{fifo}"], ids=["zero", "fifo"])
def test_inputs_that_are_not_regular_files_are_refused_at_once(capsys, model, tmp_path, argv, path):
    os.mkfifo(tmp_path / "fifo")
    path = path.format(fifo=tmp_path / "fifo")
    argv = [arg.format(path=path, model=model, out=tmp_path / "out") for arg in argv]
    assert run(capsys, *argv) == (1, "", f"quillon: {path}: not a regular file\n")
    assert not (tmp_path / "out").exists()


def run_module(*argv, **options):
    return subprocess.run([sys.executable, "-m", "quillon_cli", *map(str, argv)], capture_output=True,
                          env=child_env(), check=False, **options)


def test_standard_input_and_output(model, tmp_path):
    original = model.read_bytes()
    done = run_module("embed", "-", "--uri", URI, "-o", "-", input=original)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == quillon.embed_manifest_remote(original, URI)
    done = run_module("remove", model, "-o", "-")
    assert (done.returncode, done.stdout, done.stderr) == (0, quillon.remove_manifest(original), b"")
    done = run_module("info", "-", input=quillon.embed_manifest(original, STORE))
    assert done.stdout.decode().startswith(f"-: {FORMATS[model.name]}, ")
    assert f"store: {len(STORE)} bytes, uri: none" in done.stdout.decode()


@pytest.mark.parametrize("command", [["read", "{stamped}"], ["remove", "{model}"]])
def test_closed_standard_output(model, tmp_path, command):
    stamped = write(tmp_path / "stamped", quillon.embed_manifest(model.read_bytes(), STORE))
    argv = [arg.format(model=model, stamped=stamped) for arg in command]
    line = " ".join([sys.executable, "-m", "quillon_cli", *argv, "-o", "-"])
    done = subprocess.run(["sh", "-c", line + " >&-"], capture_output=True, text=True,
                          env=child_env(), check=False)
    assert (done.returncode, done.stderr) == (1, "quillon: -: standard output is closed\n")


# Runs the command with a progress callback that announces each copy and then
# keeps reporting until the command cancels it, so that a signal arrives in
# the middle of the copy (or, with several jobs, while some copies run and
# others have not started).
PAUSED_COMMAND = """
import sys, time
import quillon_files
from quillon_cli import main

real = quillon_files.remove_manifest

def remove_manifest(model, *, output, progress):
    def paused(done, total):
        sys.stdout.write("copying\\n")  # one write: several copies may run at once
        sys.stdout.flush()
        while True:
            progress(done, total)
            time.sleep(0.01)
    real(model, output=output, progress=paused)

quillon_files.remove_manifest = remove_manifest
sys.exit(main(sys.argv[1:]))
"""


@needs_native_signals
@pytest.mark.parametrize("fallback", ["", "tmpfile"], ids=["unnamed", "named"])
@pytest.mark.parametrize("sent", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["INT", "TERM", "HUP"])
def test_stopping_signals_leave_the_destination(tmp_path, sent, fallback):
    model = large_safetensors(tmp_path / "m.safetensors", 64 * MIB)
    (tmp_path / "out").write_bytes(b"precious")
    status, _, err = signalled(PAUSED_COMMAND, ["remove", model, "-o", tmp_path / "out", "--force"], [sent],
                               fallback=fallback)
    assert (status, err) == (128 + sent, "quillon: interrupted\n")
    assert (tmp_path / "out").read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "out"]


@needs_native_signals
def test_an_ignored_signal_stays_ignored(model, tmp_path):
    def ignore_term():
        default_signals()
        signal.signal(signal.SIGTERM, signal.SIG_IGN)

    status, _, err = signalled(PAUSED_COMMAND, ["remove", model, "-o", tmp_path / "out"],
                               [signal.SIGTERM, signal.SIGINT], preexec_fn=ignore_term)
    assert (status, err) == (128 + signal.SIGINT, "quillon: interrupted\n")


# Completes the copy of the model named by the first argument and then, with
# only the sync and the rename left, announces it and waits for a line on
# stdin, so that a signal arrives while the destination is being replaced.
PAUSED_AT_RENAME = """
import sys
import quillon_files
from quillon_cli import main

real = quillon_files.remove_manifest

def remove_manifest(model, *, output, progress):
    def last_report(done, total):
        progress(done, total)
        if done == total and model.endswith(sys.argv[1]):
            print("renaming", flush=True)
            sys.stdin.readline()
    real(model, output=output, progress=last_report)

quillon_files.remove_manifest = remove_manifest
sys.exit(main(sys.argv[2:]))
"""


@needs_native_signals
@pytest.mark.parametrize("models, paused, completed", [
    (["last"], "last", True),
    (["first", "last"], "last", True),
    (["first", "last"], "first", False),
], ids=["one", "the-last-of-two", "the-first-of-two"])
@pytest.mark.parametrize("sent", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["INT", "TERM", "HUP"])
def test_a_signal_during_the_rename_lets_that_file_complete(tmp_path, sent, models, paused, completed):
    original = (SAMPLES / "model.gguf").read_bytes()
    for name in models:
        (tmp_path / name).write_bytes(original)
    (tmp_path / "out").mkdir()
    status, _, err = signalled(PAUSED_AT_RENAME, [paused, "remove", *[tmp_path / name for name in models],
                                                  "-O", tmp_path / "out", "-j", "1"], [sent], "renaming", answer="\n")
    summary = "quillon: 2 files done, 0 failed\n" if len(models) > 1 else ""
    assert (status, err) == ((0, summary + "quillon: completed before the interruption took effect\n")
                                       if completed else (128 + sent, "quillon: interrupted\n"))
    written = models if completed else models[:1]
    assert sorted(os.listdir(tmp_path / "out")) == sorted(written)
    assert all((tmp_path / "out" / name).read_bytes() == quillon.remove_manifest(original) for name in written)


# Runs the program, which waits for a line on stdin once the run is over and
# the interpreter shuts down.
PAUSED_AT_EXIT = """
import atexit, sys
from quillon_cli.cli import program

def paused():
    print("exiting", flush=True)
    sys.stdin.readline()

atexit.register(paused)
program()
"""


@needs_native_signals
def test_a_signal_while_the_program_exits_keeps_its_status(model, tmp_path):
    assert signalled(PAUSED_AT_EXIT, ["remove", model, "-o", tmp_path / "out"], [signal.SIGTERM], "exiting",
                     answer="\n") == (0, "", "")
    assert (tmp_path / "out").read_bytes() == quillon.remove_manifest(model.read_bytes())


# Runs commands in a working folder whose path is longer than PATH_MAX, on the
# model in the file "model" beside it and on the same bytes on stdin.
DEEP_COMMAND = """
import hashlib, io, json, os, sys
from quillon_cli import main

model = open("model", "rb").read()
for _ in range(20):
    os.mkdir("d" * 250)
    os.chdir("d" * 250)
open("m", "wb").write(model)
sys.stdin = io.TextIOWrapper(io.BytesIO(model))
statuses = [main(["read", "m", "-o", "store"]), main(["remove", "-", "-o", "stripped"]),
            main(["embed", "m", "--store", "store", "-o", "embedded"])]
print(json.dumps([statuses] + [hashlib.sha256(open(name, "rb").read()).hexdigest()
                               for name in ("store", "stripped", "embedded")]))
"""


def test_working_folder_deeper_than_path_max(tmp_path):
    stamped = quillon.embed_manifest((SAMPLES / "model.gguf").read_bytes(), STORE)
    (tmp_path / "model").write_bytes(stamped)
    done = subprocess.run([sys.executable, "-c", DEEP_COMMAND], capture_output=True, text=True,
                          env=child_env(), cwd=tmp_path, check=False)
    assert (done.returncode, done.stderr) == (0, "")
    expected = [STORE, quillon.remove_manifest(stamped), quillon.embed_manifest(stamped, STORE)]
    assert json.loads(done.stdout) == [[0, 0, 0]] + [hashlib.sha256(data).hexdigest() for data in expected]


# --- the module's entry point, and the type information ----------------------


def test_python_m(tmp_path):
    sample = SAMPLES / "model.onnx"
    done = run_module("info", sample, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (
        0, f"{sample}: ONNX, c2pa.types.model.onnx, store: none, uri: none\n", "")
    done = run_module("read", tmp_path, "-o", "-", text=True)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", f"quillon: {tmp_path}: Is a directory\n")


def installed():
    """True when quillon and the tool come from an installed wheel, which
    ships the samples inside the tool's package."""
    return (pathlib.Path(quillon_cli.__file__).parent / "samples").is_dir()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_type_information(tmp_path):
    env = child_env()
    if installed():
        # Type checkers must find the stub-only package by themselves.
        for module in ("quillon", "quillon_files"):
            assert (pathlib.Path(quillon.__file__).parent / f"{module}-stubs" / "__init__.pyi").is_file()
    else:
        stubs = tmp_path / "stubs"
        stubs.mkdir()
        for module in ("quillon", "quillon_files"):
            shutil.copyfile(ROOT / "python" / f"{module}-stubs" / "__init__.pyi", stubs / f"{module}.pyi")
        env["MYPYPATH"] = str(stubs)
    checks = [
        ["mypy.stubtest", "quillon", "quillon_files"],
        ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         str(ROOT / "examples" / "typed_example.py"), str(ROOT / "python" / "quillon_cli"),
         str(ROOT / "python" / "quillon_remote")],
    ]
    for check in checks:
        done = subprocess.run([sys.executable, "-m", *check], capture_output=True, text=True,
                              env=env, cwd=tmp_path, check=False)
        assert done.returncode == 0, done.stdout + done.stderr


def test_ranges_and_patch(capsys, model, tmp_path):
    stamped = write(tmp_path / "stamped", quillon.embed_manifest_both(model.read_bytes(), URI, STORE))
    [(start, length)] = quillon_files.store_ranges(stamped)
    status, out, err = run(capsys, "ranges", stamped, tmp_path / "missing")
    assert (status, err) == (1, f"quillon: {tmp_path / 'missing'}: No such file or directory\n")
    assert json.loads(out) == [{"file": str(stamped), "ranges": [{"start": start, "length": length}]}]

    before = stamped.read_bytes()
    (tmp_path / "new.c2pa").write_bytes(bytes(reversed(STORE)))
    assert run(capsys, "patch", stamped, "--store", tmp_path / "new.c2pa") == (0, "", "")
    assert c2pa_data(stamped.read_bytes()) == (bytes(reversed(STORE)), URI)
    after = stamped.read_bytes()
    assert after[:start] == before[:start] and after[start + length:] == before[start + length:]

    (tmp_path / "long.c2pa").write_bytes(STORE + b"xyz")
    status, out, err = run(capsys, "patch", stamped, "--store", tmp_path / "long.c2pa")
    assert (status, out) == (1, "")
    assert err.startswith(f"quillon: {stamped}: new store does not fit the embedded one: ")
    assert stamped.read_bytes() == after

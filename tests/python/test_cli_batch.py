"""The `quillon` command on many models at once: outcomes in input order
whatever the number of jobs, results identical to the in-memory library's,
one failing file among good ones, name collisions, overwrite rules, the
progress display, and interruptions in the middle of a parallel run."""

import os
import re
import signal
import stat
import sys

import pytest

import quillon
from conftest import MODELS, STORE, needs_native_signals, signalled, write
from models import MIB, URI, large_safetensors, sample
from test_cli import PAUSED_COMMAND, leftovers, run

OLD_URI = "https://old.example/m.c2pa"

# Per command: its arguments and what the in-memory library makes of a
# model's bytes (the result file's contents, or ValueError).
OPERATIONS = {
    "read": ([], quillon.read_manifest),
    "embed": (["--uri", URI, "--store", "{store}"], lambda model: quillon.embed_manifest_both(model, URI, STORE)),
    "remove": ([], quillon.remove_manifest),
}


def samples_in(folder, names=("model.gguf", "model.onnx")):
    folder.mkdir(exist_ok=True)
    for name in names:
        write(folder / name, sample(name))


def batch_inputs(folder):
    """Every format plain and carrying C2PA data, with broken files first, in
    the middle and last: the outcomes' order then shows in the output."""
    folder.mkdir()
    good = []
    for name in sorted(["model.gguf", "model.safetensors", "model.onnx"]):
        original = sample(name)
        good.append(("plain-" + name, original))
        good.append(("stamped-" + name, quillon.embed_manifest_both(original, OLD_URI, b"old store")))
    broken = [("cut.gguf", MODELS["cut-gguf"]), ("store.onnx", STORE), ("folder.gguf", None)]
    entries = [broken[0]] + good[:3] + [broken[1]] + good[3:] + [broken[2]]
    paths = []
    for name, data in entries:
        path = folder / name
        if data is None:
            path.mkdir()
        else:
            path.write_bytes(data)
        paths.append(path)
    return paths + [folder / "missing.safetensors"]


def expected_outcome(path, operation):
    """(result bytes, None) or (None, error message) for one input."""
    if not path.exists():
        return None, "No such file or directory"
    if path.is_dir():
        return None, "Is a directory"
    try:
        return operation(path.read_bytes()), None
    except ValueError as error:
        return None, str(error)


def expected_errors(outcomes):
    lines = [f"quillon: {path}: {message}\n" for path, (_, message) in outcomes if message]
    done = sum(1 for _, (result, _) in outcomes if result is not None)
    return "".join(lines) + f"quillon: {done} files done, {len(lines)} failed\n"


@pytest.mark.parametrize("jobs", ["1", "4"])
@pytest.mark.parametrize("command, target", [
    ("read", "-O"), ("embed", "-O"), ("embed", "--in-place"), ("remove", "-O"), ("remove", "--in-place"),
])
def test_many_models_match_the_library_in_input_order(capsys, tmp_path, command, target, jobs):
    models = batch_inputs(tmp_path / "in")
    (tmp_path / "store.c2pa").write_bytes(STORE)
    arguments, operation = OPERATIONS[command]
    outcomes = [(path, expected_outcome(path, operation)) for path in models]
    before = {path: path.read_bytes() for path in models if path.is_file()}
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    tail = ["-O", out_dir] if target == "-O" else ["--in-place"]
    argv = [command, *models, *[arg.format(store=tmp_path / "store.c2pa") for arg in arguments], *tail]

    assert run(capsys, *argv, "-j", jobs) == (1, "", expected_errors(outcomes))

    suffix = ".c2pa" if command == "read" else ""
    for path, (result, _) in outcomes:
        written = path if target == "--in-place" else out_dir / (path.name + suffix)
        if result is None:
            assert not (out_dir / (path.name + suffix)).exists()
            if path in before:
                assert path.read_bytes() == before[path]
        else:
            assert written.read_bytes() == result
    umask = os.umask(0)
    os.umask(umask)
    assert {stat.S_IMODE(path.stat().st_mode) for path in out_dir.iterdir()} <= {0o666 & ~umask}
    assert leftovers(out_dir) == [] and leftovers(tmp_path / "in") == []


@pytest.mark.parametrize("json_flag", [[], ["--json"]], ids=["text", "json"])
def test_info_order_does_not_depend_on_jobs(capsys, tmp_path, json_flag):
    models = batch_inputs(tmp_path / "in") * 3
    serial = run(capsys, "info", *json_flag, *models, "-j", "1")
    assert serial[0] == 1
    assert run(capsys, "info", *json_flag, *models, "-j", "4") == serial
    # Errors only, in input order, and no summary on a non-terminal.
    outcomes = [(path, expected_outcome(path, quillon.read_manifest_uri)) for path in models]
    assert serial[2] == "".join(f"quillon: {path}: {message}\n" for path, (_, message) in outcomes if message)
    assert serial[2].count("\n") == 4 * 3


@pytest.mark.parametrize("argv", [
    ["read", "{a}", "{b}", "-o", "{out}/x"],
    ["remove", "{a}", "{b}", "-o", "-"],
    ["embed", "--uri", URI, "{a}", "{same_name}", "-O", "{out}"],
    ["read", "{a}", "{same_name}", "-O", "{out}"],
    ["remove", "{a}", "{b}", "{a_again}", "--in-place"],
    ["remove", "-", "{a}", "-O", "{out}"],
    ["read", "-", "-O", "{out}"],
    ["remove", "{a}", "-O", "{out}", "-o", "{out}/x"],
    ["info", "-j", "0", "{a}"],
    ["read", "-j", "many", "{a}", "-O", "{out}"],
], ids=["-o-several", "stdout-several", "embed-collision", "read-collision", "in-place-twice",
        "stdin-several", "stdin-to-folder", "-o-and--O", "no-jobs", "jobs-not-a-number"])
def test_usage_errors(capsys, tmp_path, argv):
    (tmp_path / "out").mkdir()
    samples_in(tmp_path)
    samples_in(tmp_path / "other", ["model.gguf"])
    names = dict(a=tmp_path / "model.gguf", b=tmp_path / "model.onnx", out=tmp_path / "out",
                 same_name=tmp_path / "other" / "model.gguf", a_again=tmp_path / "." / "model.gguf")
    status, out, err = run(capsys, *[arg.format(**names) for arg in argv])
    assert (status, out) == (2, "")
    assert err.startswith("usage: quillon") and "error:" in err
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("out_dir, force, refused, message", [
    ("out", False, ["model.gguf"], "file exists (use --force to overwrite)"),
    ("out", True, [], None),
    ("in", True, ["model.gguf", "model.onnx"], "refusing to overwrite the input file (use --in-place)"),
], ids=["exists", "force", "onto-input"])
def test_output_folder_overwrite_rules(capsys, tmp_path, out_dir, force, refused, message):
    names = ["model.gguf", "model.onnx"]
    samples_in(tmp_path / "in")
    samples_in(tmp_path / "out", [])
    (tmp_path / "out" / "model.gguf").write_bytes(b"precious")
    out = tmp_path / out_dir
    before = {name: (out / name).read_bytes() for name in refused}
    status, _, err = run(capsys, "embed", "--uri", URI, *[tmp_path / "in" / name for name in names],
                         "-O", out, *(["--force"] if force else []))

    assert (status, err) == (1 if refused else 0, "".join(
        f"quillon: {out / name}: {message}\n" for name in refused
    ) + f"quillon: {len(names) - len(refused)} files done, {len(refused)} failed\n")
    for name in names:
        expected = before[name] if name in refused else quillon.embed_manifest_remote(
            sample(name), URI)
        assert (out / name).read_bytes() == expected


# What the folder "out" holds besides the command's results, and the error
# for the first model's result: with --force too, no result replaces an input.
@pytest.mark.parametrize("argv, prepared, error", [
    (["read", "{a}", "{out}/a.gguf.c2pa", "-O", "{out}", "--force"], "copy",
     "{out}/a.gguf.c2pa: refusing to overwrite the input file {out}/a.gguf.c2pa"),
    (["read", "{a}", "{b}", "-O", "{out}", "--force"], "link",
     "{out}/a.gguf.c2pa: refusing to overwrite the input file {b}"),
    (["embed", "{a}", "--store", "{out}/a.gguf", "-O", "{out}", "--force"], "store",
     "{out}/a.gguf: refusing to overwrite the input file {out}/a.gguf"),
    (["read", "{a}", "-o", "{out}/victim/", "--force"], "victim", "{out}/victim/: Is a directory"),
], ids=["input-in-the-folder", "link-to-an-input", "store", "trailing-slash"])
def test_no_result_replaces_an_input(capsys, tmp_path, argv, prepared, error):
    stamped = quillon.embed_manifest(sample("model.gguf"), STORE)
    names = dict(a=tmp_path / "a.gguf", b=tmp_path / "b.gguf", out=tmp_path / "out")
    for path in (names["a"], names["b"]):
        path.write_bytes(stamped)
    (tmp_path / "out").mkdir()
    other = {"copy": "a.gguf.c2pa", "link": "a.gguf.c2pa", "store": "a.gguf", "victim": "victim"}[prepared]
    if prepared == "link":
        (tmp_path / "out" / other).symlink_to(names["b"])
    else:
        (tmp_path / "out" / other).write_bytes(STORE if prepared == "store" else stamped)
    before = {path: path.read_bytes() for path in [names["a"], names["b"], tmp_path / "out" / other]}
    status, out, err = run(capsys, *[arg.format(**names) for arg in argv])
    assert (status, out) == (1, "")
    assert err.startswith(f"quillon: {error.format(**names)}\n")
    assert {path: path.read_bytes() for path in before} == before


@pytest.mark.parametrize("folder, message", [
    ("missing", "No such file or directory"), ("model.gguf", "Not a directory"),
])
def test_output_folder_must_be_a_folder(capsys, tmp_path, folder, message):
    samples_in(tmp_path)
    argv = ["remove", tmp_path / "model.gguf", tmp_path / "model.onnx", "-O", tmp_path / folder]
    assert run(capsys, *argv) == (1, "", f"quillon: {tmp_path / folder}: {message}\n")


@pytest.mark.parametrize("command", ["remove", "info"])
@pytest.mark.parametrize("tty", [True, False])
def test_progress_over_all_files_on_a_terminal(capsys, monkeypatch, tmp_path, tty, command):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: tty, raising=False)
    models = batch_inputs(tmp_path / "in")
    (tmp_path / "out").mkdir()
    tail = ["-O", tmp_path / "out"] if command == "remove" else []
    status, _, err = run(capsys, command, *models, *tail, "-j", "3")
    assert status == 1
    display = r"\r\x1b\[K(?:quillon: (\d+)/10 files, ([^\r\n]*))?"
    # Without the display, the lines are exactly those of a run without one;
    # info's summary, for people only, shows on a terminal only.
    operation = quillon.remove_manifest if command == "remove" else lambda model: [quillon.read_manifest_uri(model)]
    expected = expected_errors([(path, expected_outcome(path, operation)) for path in models])
    if command == "info" and not tty:
        expected = expected[:expected.rindex("quillon: ")]
    assert re.sub(display, "", err) == expected
    shown = [match for match in re.findall(display, err) if match[0]]
    if not tty:
        assert "\r" not in err
        return
    assert shown and all(0 <= int(done) <= 10 for done, _ in shown)
    final_done, final_bytes = shown[-1]
    done_bytes, total_bytes = final_bytes.split("/")
    assert (final_done, done_bytes) == ("10", total_bytes)


@needs_native_signals
@pytest.mark.parametrize("target", ["-O", "--in-place"])
@pytest.mark.parametrize("sent", [signal.SIGINT, signal.SIGTERM], ids=["INT", "TERM"])
def test_interrupting_a_batch_leaves_every_destination(tmp_path, sent, target):
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    models = [large_safetensors(tmp_path / "in" / f"m{index}.safetensors", 40 * MIB) for index in range(5)]
    before = {path: path.read_bytes() for path in models}
    for path in models[::2]:
        (tmp_path / "out" / path.name).write_bytes(b"precious")
    tail = ["-O", tmp_path / "out", "--force"] if target == "-O" else ["--in-place"]
    status, _, err = signalled(PAUSED_COMMAND, ["remove", *models, "-j", "2", *tail], [sent])
    assert (status, err) == (128 + sent, "quillon: interrupted\n")
    assert {path: path.read_bytes() for path in models} == before
    assert sorted(os.listdir(tmp_path / "out")) == sorted(path.name for path in models[::2])
    assert all((tmp_path / "out" / path.name).read_bytes() == b"precious" for path in models[::2])
    assert leftovers(tmp_path / "in") == []


# (models: local files or URLs, -j given or not, the threads used on 2 CPUs)
@pytest.mark.parametrize("count, urls, jobs, threads", [
    (20, False, None, 2),
    (20, True, None, 16),
    (5, True, None, 5),
    (20, True, "3", 3),
], ids=["files", "urls", "few-urls", "urls-with-j"])
def test_reads_of_urls_take_a_thread_per_model(capsys, tmp_path, monkeypatch, range_server, count, urls, jobs,
                                               threads):
    import concurrent.futures

    samples_in(tmp_path, ["model.gguf"])
    range_server.put("/model.gguf", (tmp_path / "model.gguf").read_bytes())
    model = range_server.url("/model.gguf") if urls else str(tmp_path / "model.gguf")
    used = []
    pool = concurrent.futures.ThreadPoolExecutor

    def recorded(max_workers):
        used.append(max_workers)
        return pool(max_workers)

    monkeypatch.setattr(os, "cpu_count", lambda: 2)
    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", recorded)
    status, out, _ = run(capsys, "info", *(["-j", jobs] if jobs else []), *[model] * count)
    assert (status, out.count("GGUF"), used) == (0, count, [threads])

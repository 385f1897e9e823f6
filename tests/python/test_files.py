"""The module `quillon_files`: every operation on a file agrees with the
`quillon` operation on the file's bytes (results, written files byte for
byte, and error messages), over the samples, damaged models and generated
ones; paths of every kind; system failures as OSError; files above 4 GiB."""

import base64
import os
import pathlib
import stat
import struct
import tempfile

import pytest

import quillon
import quillon_files

from conftest import FALLBACKS, MODELS, STORE, TEMP_PREFIX, outcome, write
from models import GIB, MARKS, MIB, URI, large_safetensors, sparse_gguf, sparse_onnx, sparse_safetensors

READS = ["read_manifest", "read_manifest_uri", "detect_format", "model_type"]
# (function, arguments after the model)
WRITES = [
    ("embed_manifest", (STORE,)),
    ("embed_manifest_remote", (URI,)),
    ("embed_manifest_both", (URI, STORE)),
    ("embed_manifest", (b"",)),
    ("remove_manifest", ()),
]


def description(model):
    """What `describe` tells of `model`, composed of the in-memory reads: the
    URI's error first, then the store's unless there is no store."""
    uri = quillon.read_manifest_uri(model)
    try:
        store_size = len(quillon.read_manifest(model))
    except ValueError as error:
        if error.args != ("no C2PA manifest found in model",):
            raise
        store_size = None
    return {"format": quillon.detect_format(model), "asset_type": quillon.model_type(model),
            "store_size": store_size, "uri": uri}


def check_agreement(folder, model, fallback=""):
    """Every operation on `model` written to a file agrees with the in-memory one."""
    path = write(folder / "model", model)
    for name in READS:
        assert outcome(lambda: getattr(quillon_files, name)(path)) == outcome(
            lambda: getattr(quillon, name)(model)), name
    assert outcome(lambda: quillon_files.describe(path)) == outcome(lambda: description(model))
    for name, args in WRITES:
        output = folder / "out"
        expected = outcome(lambda: getattr(quillon, name)(model, *args))
        got = outcome(lambda: getattr(quillon_files, name)(path, *args, output=output))
        if expected[0] == "ok":
            assert got == ("ok", None), name
            assert output.read_bytes() == expected[1], name
            output.unlink()
        else:
            assert got == expected, name
            assert not output.exists()
    assert path.read_bytes() == model
    assert [name for name in os.listdir(folder) if name.startswith(TEMP_PREFIX)] == []


@pytest.mark.parametrize("fallback", FALLBACKS)
@pytest.mark.parametrize("name", sorted(MODELS))
def test_file_operations_agree_with_memory(tmp_path, monkeypatch, name, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    check_agreement(tmp_path, MODELS[name])


@pytest.mark.parametrize("name, args", WRITES[:3] + WRITES[4:])
def test_in_place_replaces_the_model(tmp_path, name, args):
    path = write(tmp_path / "model.gguf", MODELS["stamped-gguf"])
    path.chmod(0o640)
    assert getattr(quillon_files, name)(path, *args) is None
    assert path.read_bytes() == getattr(quillon, name)(MODELS["stamped-gguf"], *args)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640


@pytest.mark.parametrize("spell", [str, os.fsencode, pathlib.Path], ids=["str", "bytes", "PathLike"])
def test_paths_of_every_kind(tmp_path, spell):
    model = write(tmp_path / "m.onnx", MODELS["onnx"])
    quillon_files.embed_manifest_remote(spell(model), URI, output=spell(tmp_path / "o.onnx"))
    assert quillon_files.read_manifest_uri(spell(tmp_path / "o.onnx")) == URI
    with pytest.raises(FileNotFoundError) as caught:
        quillon_files.read_manifest(spell(tmp_path / "missing"))
    assert caught.value.filename == spell(tmp_path / "missing")


@pytest.mark.parametrize("call, error", [
    (lambda: quillon_files.read_manifest(3), "expected str, bytes or os.PathLike object, not int"),
    (lambda: quillon_files.read_manifest(), "read_manifest() missing 1 required positional argument: 'model'"),
    (lambda: quillon_files.remove_manifest("m", "o"), "remove_manifest() takes 1 positional argument"),
    (lambda: quillon_files.embed_manifest("m", "s"), "argument 'store': 'str' object cannot be converted"),
    (lambda: quillon_files.embed_manifest_remote("m", b"u"), "argument 'uri': 'bytes' object cannot be"),
    (lambda: quillon_files.remove_manifest("m", progress=1), "argument 'progress': 'int' object is not callable"),
    (lambda: quillon_files.remove_manifest("m", outptu="o"), "remove_manifest() got an unexpected keyword argument 'outptu'"),
    (lambda: quillon_files.remove_manifest("m", output=1.5), "expected str, bytes or os.PathLike object"),
    (lambda: quillon_files.write_file("p", "text"), "argument 'data': 'str' object cannot be converted"),
    (lambda: quillon_files.write_file("p", b"", progress=1), "argument 'progress': 'int' object is not callable"),
    (lambda: quillon_files.write_file("p", iter([]), progress=print), "write_file() takes no progress with an iterator"),
])
def test_argument_errors(call, error):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value).startswith(error)


def test_module_has_exactly_its_functions():
    assert quillon_files.__all__ == ["embed_manifest", "embed_manifest_remote", "embed_manifest_both",
                                     "read_manifest", "read_manifest_uri", "remove_manifest",
                                     "detect_format", "model_type", "describe", "store_ranges",
                                     "patch_store", "write_file", "set_facts", "plan_embed", "plan_remove",
                                     "plan_patch"]
    assert len(quillon.__all__) == 8


# --- system failures --------------------------------------------------------------


def special_files(folder):
    """Paths of things that are not regular files, by name."""
    os.mkfifo(folder / "fifo")
    (folder / "dir").mkdir()
    return {"fifo": folder / "fifo", "dir": folder / "dir", "device": pathlib.Path("/dev/null"),
            "zero": pathlib.Path("/dev/zero")}


@pytest.mark.parametrize("kind, error, message", [
    ("missing", FileNotFoundError, "No such file or directory"),
    ("dir", IsADirectoryError, "Is a directory"),
    ("fifo", OSError, "not a regular file"),
    ("zero", OSError, "not a regular file"),
    ("device", OSError, "not a regular file"),
])
@pytest.mark.parametrize("function", READS + ["describe", "remove_manifest", "set_facts"])
def test_inputs_that_are_not_regular_files(tmp_path, kind, error, message, function):
    path = special_files(tmp_path).get(kind, tmp_path / "missing")
    with pytest.raises(error) as caught:
        getattr(quillon_files, function)(path)
    assert type(caught.value) is error
    assert (caught.value.strerror, caught.value.filename, caught.value.kind) == (message, path, "system_failure")


def safetensors_header(header):
    return struct.pack("<Q", len(header)) + header


@pytest.mark.parametrize("model, function, args, kind", [
    (b"junk", "read_manifest", (), "unrecognized_format"),
    (MODELS["cut-gguf"], "read_manifest_uri", (), "malformed_container"),
    (MODELS["cut-gguf"], "set_facts", (), "malformed_container"),
    (MODELS["gguf"], "read_manifest", (), "no_manifest"),
    (MODELS["bad-base64"], "describe", (), "malformed_reference"),
    (safetensors_header(b'{"__metadata__":{"c2pa:manifest":"AA==","c2pa:manifest":"AA=="}}'), "read_manifest", (),
     "duplicate_manifest"),
    (safetensors_header(b'{"a":"\xff"}'), "store_ranges", (), "malformed_exclusion"),
    (MODELS["stamped-gguf"], "patch_store", (b"x",), "store_size_mismatch"),
])
def test_errors_name_their_kind(tmp_path, model, function, args, kind):
    """Callers tell quillon_files' errors apart by their kind, not their text."""
    path = tmp_path / "m"
    path.write_bytes(model)
    with pytest.raises(ValueError) as caught:
        getattr(quillon_files, function)(path, *args)
    assert (type(caught.value), caught.value.kind) == (ValueError, kind)


@pytest.mark.parametrize("kind, error, message", [
    ("dir", IsADirectoryError, "Is a directory"),
    ("fifo", OSError, "not a regular file"),
    ("device", OSError, "not a regular file"),
    ("nowhere", FileNotFoundError, "No such file or directory"),
])
@pytest.mark.parametrize("fallback", FALLBACKS)
def test_destinations_that_are_not_regular_files(tmp_path, monkeypatch, kind, error, message, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    destinations = dict(special_files(tmp_path), nowhere=tmp_path / "no" / "out")
    # Through a symbolic link too: the file it names decides.
    (tmp_path / "link").symlink_to(destinations[kind])
    model = write(tmp_path / "m.gguf", MODELS["gguf"])
    for output in (destinations[kind], tmp_path / "link"):
        with pytest.raises(error) as caught:
            quillon_files.remove_manifest(model, output=output)
        assert (caught.value.strerror, caught.value.filename) == (message, output)
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)
    assert sorted(os.listdir(tmp_path)) == ["dir", "fifo", "link", "m.gguf"]


def test_symbolic_link_destination_is_followed(tmp_path):
    model = write(tmp_path / "m.gguf", MODELS["gguf"])
    (tmp_path / "target").write_bytes(b"old")
    (tmp_path / "link").symlink_to("target")
    quillon_files.embed_manifest(model, STORE, output=tmp_path / "link")
    assert (tmp_path / "link").is_symlink()
    assert (tmp_path / "target").read_bytes() == quillon.embed_manifest(MODELS["gguf"], STORE)


@pytest.mark.parametrize("mode", [0o600, 0o4755, 0o2750, 0o1777, 0o6711, 0o000])
@pytest.mark.parametrize("owner", [None, (4321, 8765)], ids=["self", "other"])
def test_in_place_keeps_mode_and_owner(tmp_path, mode, owner):
    if owner and os.geteuid() != 0:
        pytest.skip("only root may give a file away")
    path = write(tmp_path / "m.safetensors", MODELS["safetensors"])
    if owner:
        os.chown(path, *owner)
    path.chmod(mode)
    quillon_files.embed_manifest_remote(path, URI)
    status = path.stat()
    assert stat.S_IMODE(status.st_mode) == mode
    assert (status.st_uid, status.st_gid) == (owner or (os.geteuid(), os.getegid()))
    assert quillon_files.read_manifest_uri(path) == URI


# --- progress and cancellation --------------------------------------------------

@pytest.mark.parametrize("fallback", FALLBACKS)
def test_progress_reports_and_cancels(tmp_path, monkeypatch, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = large_safetensors(tmp_path / "m.safetensors", 96 * MIB)
    reports = []
    quillon_files.embed_manifest(model, STORE, output=tmp_path / "out", progress=lambda *a: reports.append(a))
    total = (tmp_path / "out").stat().st_size
    assert reports[-1] == (total, total)
    assert 3 <= len(reports) <= 5 and all(t == total for _, t in reports)
    assert [done for done, _ in reports] == sorted(done for done, _ in reports)

    class Stop(Exception):
        pass

    def stop(done, total):
        raise Stop(done)

    before = (tmp_path / "out").read_bytes()
    with pytest.raises(Stop):
        quillon_files.remove_manifest(model, output=tmp_path / "out", progress=stop)
    assert (tmp_path / "out").read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "out"]


@pytest.mark.parametrize("fallback", FALLBACKS)
def test_write_file_reports_by_step_and_cancels(tmp_path, monkeypatch, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    data = bytes(range(256)) * (70 * MIB // 256)
    reports = []
    quillon_files.write_file(tmp_path / "out", data, progress=lambda *a: reports.append(a))
    assert (tmp_path / "out").read_bytes() == data
    assert reports == [(32 * MIB, len(data)), (64 * MIB, len(data)), (len(data), len(data))]
    with pytest.raises(ZeroDivisionError):
        quillon_files.write_file(tmp_path / "out", b"new", progress=lambda done, total: 1 / 0)
    with pytest.raises(IsADirectoryError) as caught:
        quillon_files.write_file(os.fsencode(tmp_path), b"")
    assert caught.value.filename == os.fsencode(tmp_path)
    assert (tmp_path / "out").read_bytes() == data
    assert os.listdir(tmp_path) == ["out"]

    # Content in chunks: each written in turn, and a failing or wrong one
    # leaves the file as it was.
    def failing():
        yield data[:MIB]
        raise ZeroDivisionError

    quillon_files.write_file(tmp_path / "out", iter([data[i:i + 5 * MIB] for i in range(0, len(data), 5 * MIB)]))
    assert (tmp_path / "out").read_bytes() == data
    for chunks, error in [(failing(), ZeroDivisionError), (iter([b"a", 3]), TypeError)]:
        with pytest.raises(error):
            quillon_files.write_file(tmp_path / "out", chunks)
    assert (tmp_path / "out").read_bytes() == data
    assert os.listdir(tmp_path) == ["out"]


def test_a_model_streamed_to_a_file_keeps_what_the_file_had(tmp_path):
    # A model read from a file object goes out in chunks; the file it
    # replaces keeps its owner, mode and attributes as in every local write.
    if os.geteuid() != 0:
        pytest.skip("giving the file to another owner takes root")
    out = tmp_path / "out"
    write(out, b"old")
    os.chmod(out, 0o640)
    os.chown(out, 65534, 65534)
    try:
        os.setxattr(out, "user.origin", b"kept")
    except OSError:
        pytest.skip("no user attributes here")
    with open(write(tmp_path / "m", MODELS["safetensors"]), "rb") as model:
        quillon_files.embed_manifest(model, STORE, output=out)
    assert out.read_bytes() == quillon.embed_manifest(MODELS["safetensors"], STORE)
    status = out.stat()
    assert (stat.S_IMODE(status.st_mode), status.st_uid, status.st_gid) == (0o640, 65534, 65534)
    assert os.getxattr(out, "user.origin") == b"kept"


@pytest.mark.parametrize("fallback", FALLBACKS)
def test_input_shortened_during_the_copy(tmp_path, monkeypatch, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = large_safetensors(tmp_path / "m.safetensors", 96 * MIB)
    (tmp_path / "out").write_bytes(b"precious")
    with pytest.raises(OSError) as caught:
        quillon_files.remove_manifest(model, output=tmp_path / "out",
                                      progress=lambda done, total: os.truncate(model, 40 * MIB))
    assert (caught.value.strerror, caught.value.filename) == ("file shrank while it was being copied", model)
    assert (tmp_path / "out").read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "out"]


# --- files above 4 GiB ----------------------------------------------------------------

@pytest.mark.parametrize("fallback", ["", "copy,tmpfile"])
@pytest.mark.parametrize("kind, build", [("safetensors", sparse_safetensors), ("gguf", sparse_gguf),
                                         ("onnx", sparse_onnx)])
def test_files_above_4_gib(tmp_path, monkeypatch, kind, build, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = tmp_path / f"m.{kind}"
    start = build(model)
    marks = MARKS[:-1] if kind == "gguf" else MARKS
    quillon_files.embed_manifest_both(model, URI, STORE, output=tmp_path / "out")
    out = tmp_path / "out"
    assert (quillon_files.read_manifest(out), quillon_files.read_manifest_uri(out)) == (STORE, URI)
    with open(out, "rb") as stamped:
        head = stamped.read(1 << 16)
        shift = {"safetensors": 8 + struct.unpack("<Q", head[:8])[0], "onnx": start,
                 "gguf": out.stat().st_size - (model.stat().st_size - start)}[kind]
        for i, mark in enumerate(marks):
            stamped.seek(shift + mark)
            assert stamped.read(1) == bytes([0x41 + i]), mark
    # Holes stay holes: the copy allocates about as much as the input.
    assert out.stat().st_blocks <= model.stat().st_blocks + 2048
    # The store's ranges and a patch, at offsets above 4 GiB for ONNX.
    [(range_start, _)] = quillon_files.store_ranges(out)
    assert (range_start > 4 * GIB) == (kind == "onnx")
    replacement = bytes(reversed(STORE))
    quillon_files.patch_store(out, replacement)
    assert (quillon_files.read_manifest(out), quillon_files.read_manifest_uri(out)) == (replacement, URI)
    quillon_files.remove_manifest(out)
    assert quillon_files.read_manifest_uri(out) is None
    assert out.stat().st_size == model.stat().st_size


# --- generated models -----------------------------------------------------------------

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

from test_properties import PROFILE, gguf_models, onnx_models, safetensors_models, stores, uris  # noqa: E402

generated = st.one_of(gguf_models().map(lambda m: m.build()), safetensors_models().map(lambda m: m.build()),
                      onnx_models().map(lambda m: m.build()), st.binary(max_size=300))


@PROFILE
@given(generated, stores, uris, st.sampled_from(FALLBACKS))
def test_generated_models_agree_with_memory(model, store, uri, fallback):
    os.environ["QUILLON_FILES_FALLBACK"] = fallback
    try:
        with tempfile.TemporaryDirectory() as folder:
            folder = pathlib.Path(folder)
            check_agreement(folder, model)
            path = folder / "model"
            for name, args in [("embed_manifest", (store,)), ("embed_manifest_remote", (uri,)),
                               ("embed_manifest_both", (uri, store))]:
                expected = outcome(lambda: getattr(quillon, name)(model, *args))
                got = outcome(lambda: getattr(quillon_files, name)(path, *args, output=folder / "o"))
                assert got == (expected if expected[0] == "error" else ("ok", None))
                if expected[0] == "ok":
                    assert (folder / "o").read_bytes() == expected[1]
    finally:
        del os.environ["QUILLON_FILES_FALLBACK"]


# --- store ranges and same-size patches ------------------------------------------------

UINT8_ARRAY = struct.pack("<I", 0)  # GGUF element type of the store's array


def encoded_store(kind, model, start, length, store):
    """Checks that [start, start + length) of `model` is exactly the encoded
    `store` and its framing around it."""
    span = model[start:start + length]
    if kind == "gguf":
        assert span == store
        assert model[start - 12:start] == UINT8_ARRAY + struct.pack("<Q", len(store))
    else:
        assert span == base64.b64encode(store)
        if kind == "safetensors":
            assert model[start - 1:start] == model[start + length:start + length + 1] == b'"'


@pytest.mark.parametrize("store", [STORE, b"", b"\xff" * 3, bytes(range(256)) * 3])
@pytest.mark.parametrize("kind", ["gguf", "safetensors", "onnx"])
def test_ranges_hold_exactly_the_encoded_store(tmp_path, kind, store):
    path = write(tmp_path / "m", quillon.embed_manifest_both(MODELS[kind], URI, store))
    model = path.read_bytes()
    [(start, length)] = quillon_files.store_ranges(path)
    encoded_store(kind, model, start, length, store)

    replacement = bytes(b ^ 0x5A for b in store)
    quillon_files.patch_store(path, replacement)
    patched = path.read_bytes()
    assert len(patched) == len(model)
    assert patched[:start] == model[:start] and patched[start + length:] == model[start + length:]
    encoded_store(kind, patched, start, length, replacement)
    assert (quillon_files.read_manifest(path), quillon_files.read_manifest_uri(path)) == (replacement, URI)


@pytest.mark.parametrize("content, store, message", [
    (quillon.embed_manifest(MODELS["gguf"], STORE), STORE + b"x",
     f"new store does not fit the embedded one: it encodes to {len(STORE) + 1} bytes, "
     f"the embedded store takes {len(STORE)}"),
    (quillon.embed_manifest_remote(MODELS["onnx"], URI), STORE, "no C2PA manifest found in model"),
    (MODELS["bad-base64"], b"x", "malformed manifest reference: value is not valid Base64"),
    (b"junk", b"x", "unrecognized ML model container format"),
], ids=["size", "none", "damaged", "unrecognized"])
def test_refused_patches_leave_the_file_unchanged(tmp_path, content, store, message):
    path = write(tmp_path / "m", content)
    with pytest.raises(ValueError) as caught:
        quillon_files.patch_store(path, store)
    assert caught.value.args == (message,)
    if "fit" not in message:
        with pytest.raises(ValueError) as caught:
            quillon_files.store_ranges(path)
        assert caught.value.args == (message,)
    assert path.read_bytes() == content

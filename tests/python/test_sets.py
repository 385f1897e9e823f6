"""Sets: models split across several files, built with the formats' own
writers (safetensors shards with an index as the hub writes it, gguf
splits, onnx external data), each fault reported by `quillon set info`,
and `quillon set hash` over the members."""

import base64
import hashlib
import json
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

import quillon_files
from quillon_cli import sets
from conftest import STORE, run

gguf = pytest.importorskip("gguf")
onnx = pytest.importorskip("onnx")
safetensors_numpy = pytest.importorskip("safetensors.numpy")

SHARD = "model-{:05d}-of-{:05d}.safetensors"
INDEX = "model.safetensors.index.json"


def write_safetensors(folder, shards=3, tag=0):
    """`shards` shards of two tensors each and their index."""
    weight_map, total = {}, 0
    for number in range(1, shards + 1):
        name = SHARD.format(number, shards)
        tensors = {f"layers.{number}.{part}{tag}": np.full(4 + number, number, dtype=np.float32)
                   for part in ("w", "b")}
        safetensors_numpy.save_file(tensors, str(folder / name), metadata={"format": "pt"})
        weight_map.update(dict.fromkeys(tensors, name))
        total += sum(t.nbytes for t in tensors.values())
    index = {"metadata": {"total_size": total}, "weight_map": weight_map}
    (folder / INDEX).write_text(json.dumps(index, indent=2, sort_keys=True) + "\n")
    return folder / INDEX


def write_gguf(folder, tensors=5, per_split=2, name="m"):
    writer = gguf.GGUFWriter(str(folder / f"{name}.gguf"), "llama", split_max_tensors=per_split)
    for i in range(tensors):
        writer.add_tensor(f"t{i}", np.full(4, i, dtype=np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return folder / f"{name}-00001-of-{(tensors + per_split - 1) // per_split:05d}.gguf"


def write_onnx(folder, location="weights.bin"):
    initializers = [onnx.numpy_helper.from_array(np.full(64, i, dtype=np.float32), f"w{i}") for i in range(2)]
    graph = onnx.helper.make_graph([onnx.helper.make_node("Add", ["w0", "w1"], ["y"])], "g", [],
                                   [onnx.helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [64])],
                                   initializer=initializers)
    model = onnx.helper.make_model(graph)
    onnx.save_model(model, str(folder / "model.onnx"), save_as_external_data=True, all_tensors_to_one_file=True,
                    location=location, size_threshold=0)
    return folder / "model.onnx"


def relocate(folder, location):
    """Points the model's first tensor at `location`, written by hand."""
    model = onnx.load(str(folder / "model.onnx"), load_external_data=False)
    tensor = model.graph.initializer[0]
    for entry in tensor.external_data:
        if entry.key == "location":
            entry.value = location
    (folder / "model.onnx").write_bytes(model.SerializeToString())


def edit_index(folder, change):
    index = json.loads((folder / INDEX).read_text())
    change(index)
    (folder / INDEX).write_text(json.dumps(index))


def stamp(path):
    quillon_files.embed_manifest(str(path), STORE)


def info(capsys, path):
    status, out, err = run(capsys, "set", "info", path, "--json")
    return status, (json.loads(out) if out else None), err


BUILDERS = {"safetensors": write_safetensors, "gguf": write_gguf, "onnx": write_onnx}


@pytest.mark.parametrize("kind", sorted(BUILDERS))
def test_a_sound_set_is_the_same_from_any_member_and_its_folder(tmp_path, capsys, kind):
    first = BUILDERS[kind](tmp_path)
    seen = []
    for start in [tmp_path, first] + sorted(p for p in tmp_path.iterdir() if p != first):
        status, found, err = info(capsys, start)
        assert (status, err, found["problems"], found["strays"]) == (0, "", [], [])
        seen.append(found["members"])
    assert all(members == seen[0] for members in seen)
    assert [m["uri"] for m in seen[0]] == sorted(os.listdir(tmp_path), key=lambda n: (n.endswith(".json"), n))
    assert all(m["size"] == (tmp_path / m["uri"]).stat().st_size for m in seen[0])
    status, out, _ = run(capsys, "set", "info", tmp_path)
    assert status == 0 and all(m["uri"] in out for m in seen[0])


def swap_in_another_version(folder):
    other = folder / "other"
    other.mkdir()
    write_safetensors(other, tag=1)
    shutil.copy(other / SHARD.format(2, 3), folder / SHARD.format(2, 3))


# (builder, fault, a problem it must report (or None), a stray it must list)
FAULTS = {
    "missing shard": ("safetensors", lambda d: (d / SHARD.format(2, 3)).unlink(),
                      SHARD.format(2, 3) + ": missing", None),
    "extra shard": ("safetensors", lambda d: shutil.copy(d / SHARD.format(1, 3), d / SHARD.format(4, 4)),
                    None, SHARD.format(4, 4)),
    "renamed shard": ("safetensors", lambda d: (d / SHARD.format(3, 3)).rename(d / "model-3.safetensors"),
                      SHARD.format(3, 3) + ": missing", "model-3.safetensors"),
    "shard from another version": ("safetensors", swap_in_another_version,
                                   SHARD.format(2, 3) + ": does not hold 2 tensors the index places there", None),
    "shard copied over another, no index": ("safetensors", lambda d: ((d / INDEX).unlink(), shutil.copy(
        d / SHARD.format(1, 3), d / SHARD.format(3, 3))), SHARD.format(3, 3) + ": holds tensors that other", None),
    "shard not a model": ("safetensors", lambda d: (d / SHARD.format(1, 3)).write_bytes(b"not a model"),
                          SHARD.format(1, 3) + ": not a model: unrecognized ML model container format", None),
    "total_size": ("safetensors", lambda d: edit_index(d, lambda i: i["metadata"].update(total_size=5)),
                   "index total_size 5 differs from the 144 tensor bytes of the members", None),
    "counts in names": ("safetensors", lambda d: edit_index(d, lambda i: i["weight_map"].update(
        {"layers.3.w0": "model-00003-of-00004.safetensors"})), "members claim different counts: 3, 4", None),
    "one shard stamped": ("safetensors", lambda d: stamp(d / SHARD.format(2, 3)),
                          SHARD.format(2, 3) + ": C2PA data differ from the other members': a store of", None),
    "missing split": ("gguf", lambda d: (d / "m-00003-of-00003.gguf").unlink(), "m-00003-of-00003.gguf: missing",
                      None),
    "swapped splits": ("gguf", lambda d: (os.rename(d / "m-00001-of-00003.gguf", d / "x"),
                                          os.rename(d / "m-00002-of-00003.gguf", d / "m-00001-of-00003.gguf"),
                                          os.rename(d / "x", d / "m-00002-of-00003.gguf")),
                       "m-00001-of-00003.gguf: split.no is 1, the name says 0", None),
    "split of another set": ("gguf", lambda d: (write_gguf(d, per_split=3, name="n"),
                                                os.replace(d / "n-00002-of-00002.gguf", d / "m-00003-of-00003.gguf")),
                             "m-00003-of-00003.gguf: split.count is 2, the names say 3", "n-00001-of-00002.gguf"),
    "split not a model": ("gguf", lambda d: (d / "m-00002-of-00003.gguf").write_bytes(b"GGUF"),
                          "m-00002-of-00003.gguf: not a model: malformed model container", None),
    "one split stamped": ("gguf", lambda d: stamp(d / "m-00001-of-00003.gguf"),
                          "m-00001-of-00003.gguf: C2PA data differ", None),
    "missing external data": ("onnx", lambda d: (d / "weights.bin").unlink(), "weights.bin: missing", None),
    "external data a FIFO": ("onnx", lambda d: ((d / "weights.bin").unlink(), os.mkfifo(d / "weights.bin")),
                             "weights.bin: not a regular file", None),
    "short external data": ("onnx", lambda d: os.truncate(d / "weights.bin", 300),
                            "weights.bin: 300 bytes, but tensors lie up to byte 512", None),
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_faults_are_reported(tmp_path, capsys, fault):
    kind, damage, problem, stray = FAULTS[fault]
    first = BUILDERS[kind](tmp_path)
    damage(tmp_path)
    first = first if first.exists() else tmp_path
    status, found, err = info(capsys, first)
    assert status == (1 if problem else 0), found
    if problem:
        assert any(p.startswith(problem) for p in found["problems"]), found["problems"]
    assert found["strays"] == ([stray] if stray else [])
    status, out, err = run(capsys, "set", "hash", first)
    assert (status, out == "") == ((1, True) if problem else (0, False))


UNSAFE = {"/abs/x.safetensors": "absolute", "../x.safetensors": "has an empty, '.' or '..' segment",
          "./x.safetensors": "has an empty, '.' or '..' segment", "a//x.safetensors": "has an empty",
          "https://h/x.safetensors": "a URL", "c:x.safetensors": "a URL", "a\\x.safetensors": "holds a backslash",
          "a\0x.safetensors": "holds a NUL"}


@pytest.mark.parametrize("name", sorted(UNSAFE))
@pytest.mark.parametrize("kind", ["safetensors", "onnx"])
def test_unsafe_member_names_are_refused_unopened(tmp_path, capsys, monkeypatch, kind, name):
    first = BUILDERS[kind](tmp_path)
    if kind == "onnx":
        relocate(tmp_path, name)
    else:
        edit_index(tmp_path, lambda i: i["weight_map"].update({"layers.1.w0": name}))
    opened = []
    monkeypatch.setattr(quillon_files, "set_facts", lambda p, real=quillon_files.set_facts: (opened.append(p), real(p))[1])
    status, found, _ = info(capsys, first)
    assert status == 1
    assert any(UNSAFE[name] in p and json.dumps(name) in p for p in found["problems"]), found["problems"]
    assert name not in [m["uri"] for m in found["members"]] and not any(name in p for p in opened)


def replace_index(folder, text):
    (folder / INDEX).write_bytes(text)
    return folder / INDEX


UNRECOGNISABLE = {
    "index too large": (lambda d: os.truncate(d / INDEX, 64 * 1024 * 1024 + 1) or d / INDEX,
                        "index larger than 64 MiB"),
    "index a FIFO": (lambda d: ((d / INDEX).unlink(), os.mkfifo(d / INDEX)) and d / INDEX, "not a regular file"),
    "index not JSON": (lambda d: replace_index(d, b"{"), "index is not JSON"),
    "index without a weight_map": (lambda d: replace_index(d, b'{"weight_map": {"a": 1}}'),
                                   "index has no weight_map of tensor names to file names"),
    "count beyond reason": (lambda d: shutil.copy(d / SHARD.format(1, 3), d / "m-00001-of-999999999.gguf"),
                            "numbered as one of 999999999 files, more than 100000 members"),
    "two sets in a folder": (lambda d: write_gguf(d) and d, "several sets found; name one of their files"),
    "no set in a folder": (lambda d: [p.unlink() for p in d.iterdir()] and d, "no set found"),
    "not a model": (lambda d: replace_index(d, b"{}").rename(d / "notes.txt"),
                    "not a model of a set: no index, numbered shard, model or its external data"),
}


@pytest.mark.parametrize("case", sorted(UNRECOGNISABLE))
def test_what_is_no_set_fails(tmp_path, capsys, case):
    write_safetensors(tmp_path)
    damage, message = UNRECOGNISABLE[case]
    path = damage(tmp_path)
    status, out, err = run(capsys, "set", "info", path)
    assert (status, out) == (1, "") and message in err, err


@pytest.mark.parametrize("kind", sorted(BUILDERS))
@pytest.mark.parametrize("alg", ["sha256", "sha512"])
def test_hash_lists_every_file_with_its_size_and_digest(tmp_path, capsys, kind, alg):
    first = BUILDERS[kind](tmp_path)
    status, out, err = run(capsys, "set", "hash", first, "--alg", alg, "-j", "3")
    assert (status, err) == (0, "")
    found = json.loads(out)
    assert found["alg"] == alg
    assert sorted(u["uri"] for u in found["uris"]) == sorted(os.listdir(tmp_path))
    for entry in found["uris"]:
        data = (tmp_path / entry["uri"]).read_bytes()
        assert (entry["size"], entry["hash"]) == (len(data), base64.b64encode(hashlib.new(alg, data).digest()).decode())


# (builder, the member named, requests: the index, then one per member read)
REMOTE_STARTS = {"index": ("safetensors", INDEX, 4), "first shard": ("safetensors", SHARD.format(1, 3), 4),
                 "last shard": ("safetensors", SHARD.format(3, 3), 4),
                 "first split": ("gguf", "m-00001-of-00003.gguf", 3), "split": ("gguf", "m-00002-of-00003.gguf", 3),
                 "onnx model": ("onnx", "model.onnx", 2)}


@pytest.mark.parametrize("missing", [False, True])
@pytest.mark.parametrize("start", sorted(REMOTE_STARTS))
def test_a_remote_set_reads_each_member_once(tmp_path, capsys, range_server, start, missing):
    kind, name, requests = REMOTE_STARTS[start]
    BUILDERS[kind](tmp_path)
    status, local, _ = info(capsys, tmp_path / name)
    absent = sorted(m["uri"] for m in local["members"] if m["uri"] != name and m["role"] != "index")[0]
    for path in tmp_path.iterdir():
        if not (missing and path.name == absent):
            range_server.put(f"/sets/v1/{path.name}", path.read_bytes())
    status, found, err = run(capsys, "set", "info", range_server.url(f"/sets/v1/{name}"), "--json",
                             "-H", "Authorization: Bearer t")
    found = json.loads(found)
    assert [m["uri"] for m in found["members"]] == [m["uri"] for m in local["members"]]
    assert all(e.headers.get("authorization") == "Bearer t" for e in range_server.requests())
    if missing:
        assert status == 1 and f"{absent}: missing" in found["problems"], found["problems"]
        return
    assert (status, err, found["problems"]) == (0, "", [])
    assert found["members"] == local["members"]
    assert len(range_server.requests()) == requests


def test_a_remote_set_cannot_be_hashed_and_names_stay_beside_it(tmp_path, capsys, range_server, monkeypatch):
    write_safetensors(tmp_path)
    edit_index(tmp_path, lambda i: i["weight_map"].update({"layers.1.w0": "../x.safetensors"}))
    for path in tmp_path.iterdir():
        range_server.put(f"/s/{path.name}", path.read_bytes())
    status, out, err = run(capsys, "set", "hash", range_server.url(f"/s/{INDEX}"))
    assert (status, out) == (1, "") and "download it" in err
    status, found, _ = info(capsys, range_server.url(f"/s/{INDEX}"))
    assert status == 1 and any("unsafe member name" in p for p in found["problems"])
    assert all(e.path.startswith("/s/") and ".." not in e.path for e in range_server.requests())


def contents(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def model_members(folder, first):
    return [folder / m.uri for m in sets.set_info(str(first)).members if m.role == "model"]


@pytest.mark.parametrize("stores", ["--store", "--store-dir", "--uri"])
@pytest.mark.parametrize("kind", sorted(BUILDERS))
def test_set_embed_then_remove_rewrites_every_model_member(tmp_path, capsys, kind, stores):
    folder = tmp_path / "set"
    folder.mkdir()
    first = BUILDERS[kind](folder)
    members = model_members(folder, first)
    os.chmod(members[0], 0o600)
    try:  # kept as the engine keeps the attributes of a file it replaces
        os.setxattr(members[0], "user.origin", b"hub")
        attributes = [b"hub"]
    except OSError:
        attributes = []
    (tmp_path / "s").mkdir()
    for i, member in enumerate(members):
        (tmp_path / "s" / (member.name + ".c2pa")).write_bytes(STORE + bytes([i]))
    (tmp_path / "one.c2pa").write_bytes(STORE)
    option = {"--store": ["--store", tmp_path / "one.c2pa"], "--store-dir": ["--store-dir", tmp_path / "s"],
              "--uri": ["--uri", "https://example.com/m.c2pa"]}[stores]
    original = contents(folder)
    status, out, err = run(capsys, "set", "embed", first, *option, "-j", "2")
    assert (status, err) == (0, ""), err
    for i, member in enumerate(members):
        if stores == "--uri":
            assert quillon_files.read_manifest_uri(str(member)) == "https://example.com/m.c2pa"
        else:
            assert quillon_files.read_manifest(str(member)) == STORE + (bytes([i]) if stores == "--store-dir" else b"")
    assert (members[0].stat().st_mode & 0o777) == 0o600
    assert [os.getxattr(members[0], "user.origin") for _ in attributes] == attributes
    assert sorted(os.listdir(folder)) == sorted(original)
    unchanged = [n for n in original if folder / n not in members]
    assert all((folder / n).read_bytes() == original[n] for n in unchanged)
    status, found, _ = info(capsys, first)
    assert (status, found["problems"], found["leftovers"]) == (0, [], [])
    assert run(capsys, "set", "remove", first)[0] == 0
    assert all(quillon_files.describe(str(m))[k] is None for m in members for k in ("store_size", "uri"))
    assert all((folder / n).read_bytes() == original[n] for n in unchanged) and len(contents(folder)) == len(original)


def fail_on(monkeypatch, victim, error):
    """Makes the rewrite of the member `victim` raise `error` after its
    temporary was made, the others writing as usual."""
    real = quillon_files.embed_manifest

    def embed(model, store, output):
        if os.path.basename(model) == victim:
            raise error
        real(model, store, output=output)
    monkeypatch.setattr(quillon_files, "embed_manifest", embed)


# fault -> (what it does to member 2 of a three-shard set, what the error says)
REWRITE_FAULTS = {
    "store too large": (lambda d, m, mp: fail_on(mp, m.name, ValueError("store too large")), "store too large"),
    "member not writable": (lambda d, m, mp: fail_on(mp, m.name, PermissionError(13, "Permission denied", str(m))),
                            "Permission denied"),
    "member changed": (lambda d, m, mp: mp.setattr(sets, "_identity", lambda p, real=sets._identity: (
        real(p) if os.path.basename(p) != m.name or not any(n.startswith(".") for n in os.listdir(d))
        else (0, 0, 0, 0))), "changed while the set was being rewritten"),
    "Ctrl-C": (lambda d, m, mp: fail_on(mp, m.name, KeyboardInterrupt()), None),
}


@pytest.mark.parametrize("fault", sorted(REWRITE_FAULTS))
def test_a_failed_set_embed_leaves_every_member_as_it_was(tmp_path, capsys, monkeypatch, fault):
    first = write_safetensors(tmp_path)
    (tmp_path / "one.c2pa").write_bytes(STORE)
    original = contents(tmp_path)
    damage, message = REWRITE_FAULTS[fault]
    damage(tmp_path, tmp_path / SHARD.format(2, 3), monkeypatch)
    if message is None:
        with pytest.raises(KeyboardInterrupt):
            sets.rewrite_set(sets.set_info(str(first)), lambda m, t: quillon_files.embed_manifest(m.path, STORE, t))
    else:
        status, out, err = run(capsys, "set", "embed", first, "--store", tmp_path / "one.c2pa")
        assert status == 1 and message in err, err
    assert contents(tmp_path) == original


def test_set_info_lists_the_temporaries_an_interrupted_rewrite_left(tmp_path, capsys):
    first = write_safetensors(tmp_path)
    left = sets.temporary_name(str(tmp_path / SHARD.format(1, 3)))
    shutil.copy(tmp_path / SHARD.format(1, 3), left)
    stamp(tmp_path / SHARD.format(2, 3))
    status, found, _ = info(capsys, first)
    assert found["leftovers"] == [os.path.basename(left)]
    assert status == 1 and any("C2PA data differ" in p for p in found["problems"])


def test_the_set_signing_example_signs_every_shard_and_the_collection(tmp_path, capsys):
    pytest.importorskip("cryptography")
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    import set_signing_flow
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

    assert set_signing_flow.main([]) == 0
    assert "signatures verify: True" in capsys.readouterr().out
    key = Ed25519PrivateKey.generate()
    set_signing_flow.generate_set(tmp_path)
    set_signing_flow.sign_set(tmp_path, key)
    assert set_signing_flow.verify_set(tmp_path, key.public_key())
    capsys.readouterr()
    assert info(capsys, tmp_path)[1]["problems"] == []
    # The collection covers the index too: a change there breaks it.
    edit_index(tmp_path, lambda i: i.update(extra=1))
    assert not set_signing_flow.verify_set(tmp_path, key.public_key())

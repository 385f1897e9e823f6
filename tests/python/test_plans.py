"""quillon_files' plans: the new bytes and ranges of the model that
plan_embed, plan_remove and plan_patch list make, resolved against the model,
exactly the file that the writes make, on a path and on a file object, with
the same errors; a plan of a model of gigabytes reads only its metadata."""

import base64
import io
import shutil

import pytest

import quillon_files

from conftest import MODELS, STORE, write
from models import (GIB, MARKS, URI, field, gguf, gguf_store_kv, gguf_tensor, gguf_u32, gguf_uri_kv, onnx,
                    onnx_entry, sparse_gguf, sparse_onnx, sparse_safetensors)

PLAN_MODELS = {
    **MODELS,
    "gguf-aligned-64-two-stores": gguf([gguf_u32("general.alignment", 64), gguf_store_kv(b"one"),
                                        gguf_uri_kv(URI), gguf_store_kv(b"two")],
                                       [gguf_tensor("t", [8])], bytes(range(32)), alignment=64),
    "onnx-fields-after-graph": onnx(b"g" * 5000) + onnx_entry("k", "v") +
    onnx_entry("c2pa:manifest", base64.b64encode(STORE)) + field(8, b"\x08\x0d") + onnx_entry("c2pa:manifest.uri", URI),
}
# (plan, its keyword arguments, the write it stands for, that write's arguments)
EMBEDS = [
    ("plan_embed", {"store": STORE}, "embed_manifest", (STORE,)),
    ("plan_embed", {"uri": URI}, "embed_manifest_remote", (URI,)),
    ("plan_embed", {"store": STORE, "uri": URI}, "embed_manifest_both", (URI, STORE)),
    ("plan_embed", {"store": b""}, "embed_manifest", (b"",)),
    ("plan_remove", {}, "remove_manifest", ()),
]


def outcome(call):
    """A call's value, or its error's type, kind and text."""
    try:
        return "ok", call()
    except (ValueError, OSError) as error:
        return "error", type(error), getattr(error, "kind", None), str(error)


def resolved(plan, model):
    """The file that `plan` lists, made from `model`; checks its shape on the way:
    no empty part, no two bytes objects in a row, no range continuing the last."""
    out = []
    for i, part in enumerate(plan):
        before = plan[i - 1] if i else None
        if isinstance(part, bytes):
            assert part and not isinstance(before, bytes)
            out.append(part)
        else:
            start, length = part
            assert type(start) is int and type(length) is int and 0 < length <= len(model) - start
            assert not isinstance(before, tuple) or sum(before) != start
            out.append(model[start:start + length])
    return b"".join(out)


def plans(folder, model, name, *args, **kwargs):
    """What plan `name` gives for `model` as a path and as a file object, resolved."""
    path = write(folder / "model", model)
    plan = getattr(quillon_files, name)
    return [outcome(lambda: resolved(plan(target, *args, **kwargs), model)) for target in (path, io.BytesIO(model))]


@pytest.mark.parametrize("name", sorted(PLAN_MODELS))
def test_plans_make_what_the_writes_write(tmp_path, name):
    model = PLAN_MODELS[name]
    path = write(tmp_path / "model", model)
    out = tmp_path / "out"
    for plan, kwargs, function, args in EMBEDS:
        expected = outcome(lambda: getattr(quillon_files, function)(path, *args, output=out))
        if expected[0] == "ok":
            expected = ("ok", out.read_bytes())
        assert plans(tmp_path, model, plan, **kwargs) == [expected] * 2, (plan, kwargs)
    # A patch with a store of the embedded one's size, and with one too long.
    size = len(quillon_files.read_manifest(path)) if outcome(lambda: quillon_files.read_manifest(path))[0] == "ok" else 3
    for store in (b"p" * size, b"p" * (size + 3)):
        copy = shutil.copy(path, tmp_path / "copy")
        expected = outcome(lambda: quillon_files.patch_store(copy, store))
        if expected[0] == "ok":
            expected = ("ok", (tmp_path / "copy").read_bytes())
        assert plans(tmp_path, model, "plan_patch", store) == [expected] * 2, len(store)


def test_plan_embed_without_store_or_uri_fails_as_an_embed_does(tmp_path):
    for got in plans(tmp_path, MODELS["gguf"], "plan_embed") + plans(tmp_path, MODELS["onnx"], "plan_embed", uri=None):
        assert got == ("error", ValueError, "empty_source", "manifest source has neither an embedded store nor a URI")


class CountingFile(io.FileIO):
    """A file that counts the bytes read through it."""
    count = 0

    def readinto(self, buffer):
        got = super().readinto(buffer)
        self.count += got or 0
        return got


@pytest.mark.parametrize("build", [sparse_safetensors, sparse_gguf, sparse_onnx])
def test_plans_of_large_models_read_only_their_metadata(tmp_path, build):
    model = tmp_path / "model"
    holes = build(model)
    out = tmp_path / "out"
    quillon_files.embed_manifest_both(model, URI, STORE, output=out)
    with CountingFile(model) as counted:
        both = [quillon_files.plan_embed(target, store=STORE, uri=URI) for target in (model, counted)]
        assert counted.count < 1 << 20
    assert both[0] == both[1]
    with open(model, "rb") as old, open(out, "rb") as new:
        at = 0
        for part in both[0]:
            if isinstance(part, bytes):
                new.seek(at)
                assert new.read(len(part)) == part
                at += len(part)
                continue
            start, length = part
            # The range's ends and every marker byte in it are where the write put them.
            marks = {holes + mark for mark in MARKS if 0 <= holes + mark - start < length}
            for offset in {start, start + length - 1} | marks:
                old.seek(offset)
                new.seek(at + offset - start)
                assert new.read(1) == old.read(1)
            at += length
        assert at == out.stat().st_size
    # Most of the file is carried over as ranges.
    assert sum(part[1] for part in both[0] if isinstance(part, tuple)) > 4 * GIB

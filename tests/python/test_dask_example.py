"""The Dask registry example on a local cluster of two worker processes, over
a generated collection of a few hundred small models with some broken ones:
every record must match what the in-memory module says of the same file."""

import os
import sys
from pathlib import Path

import pytest

import quillon
from conftest import NO_MANIFEST, write
from models import make_collection

distributed = pytest.importorskip("dask.distributed")
pytest.importorskip("quillon_files")
import cloudpickle  # noqa: E402  (comes with distributed)

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import dask_registry  # noqa: E402

# The workers have no examples folder on their path: ship the module's
# functions with the tasks.
cloudpickle.register_pickle_by_value(dask_registry)

URI = "https://example.com/registry.c2pa"
STORE = b"registry store \x00\xff" * 10


def expected_audit(path: str) -> dict:
    data = Path(path).read_bytes()
    record = {"file": path, "format": quillon.detect_format(data), "store_size": None, "uri": None, "error": None}
    try:
        record["uri"] = quillon.read_manifest_uri(data)
        record["store_size"] = len(quillon.read_manifest(data))
    except ValueError as error:
        if str(error) != NO_MANIFEST:
            record["error"] = str(error)
    return record


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


def test_audit_matches_the_module_for_every_file(client, tmp_path):
    broken = make_collection(tmp_path)
    paths = dask_registry.find_models(str(tmp_path))
    assert len(paths) == 300 + len(broken)
    records = dask_registry.run_on_cluster(client, dask_registry.audit_batch, paths)
    assert [r["file"] for r in records] == paths
    assert records == [expected_audit(path) for path in paths]
    assert sum(1 for r in records if r["error"]) == len(broken)


def test_audit_reads_models_by_url(client, tmp_path, range_server):
    broken = make_collection(tmp_path)
    paths = dask_registry.find_models(str(tmp_path))[::20] + [str(tmp_path / name) for name in broken]
    urls = []
    for path in paths:
        range_server.put("/" + os.path.relpath(path, tmp_path), Path(path).read_bytes())
        urls.append(range_server.url("/" + os.path.relpath(path, tmp_path)))
    records = dask_registry.run_on_cluster(client, dask_registry.audit_batch, urls)
    assert records == [dict(expected_audit(path), file=url) for path, url in zip(paths, urls)]


def test_stamp_writes_every_model_and_reports_each_failure(client, tmp_path):
    root, output = tmp_path / "in", tmp_path / "out"
    broken = make_collection(root)
    store = write(tmp_path / "m.c2pa", STORE)
    paths = dask_registry.find_models(str(root))
    before = {p: Path(p).read_bytes() for p in paths}

    records = dask_registry.run_on_cluster(client, dask_registry.stamp_batch, paths, str(root), str(output),
                                           str(store), URI)
    failed = {os.path.relpath(r["file"], root) for r in records if r["error"]}
    assert failed == set(broken)
    for record in records:
        source = before[record["file"]]
        assert Path(record["file"]).read_bytes() == source  # inputs untouched
        if record["error"]:
            with pytest.raises(ValueError) as raised:
                quillon.embed_manifest_both(source, URI, STORE)
            assert record["error"] == str(raised.value)
            assert not os.path.exists(record["output"])
        else:
            assert Path(record["output"]).read_bytes() == quillon.embed_manifest_both(source, URI, STORE)


def test_table_lists_every_record():
    text = dask_registry.table([{"file": "a.gguf", "error": None}, {"file": "bb.onnx", "error": "bad"}])
    assert text.splitlines() == ["file     error", "a.gguf", "bb.onnx  bad"]

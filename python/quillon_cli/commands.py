"""The subcommands of `quillon`. Each takes the parsed arguments and returns
the exit status; a failure that concerns one file is raised as FileError.

Model files go through the file engine (`quillon_files`): reads touch only
their metadata and writes are copied by the kernel, so no model is held in
memory. Standard input and output ("-") take the in-memory path. Every file
written, whatever its origin, is written by the engine."""

import argparse
import contextlib
import io
import json
import sys
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

import quillon
import quillon_files

from quillon_cli.batch import Batch, ProgressCallback, interruption
from quillon_cli.destinations import check_folder, check_output, destination, input_files
from quillon_cli.remote import headers_of, is_url, model_target, refuse_unwritable
from quillon_cli.errors import FileError, about, error_line, quoted, shown
from quillon_cli.streams import STDIN, STDOUT, Progress, read_file, write_stdout

# The in-memory library's message for a model without an embedded store:
# for `info` that is an answer, not an error.
NO_MANIFEST = "no C2PA manifest found in model"
# `read -O DIR` writes the store of MODEL to DIR/<MODEL's name> plus this.
STORE_SUFFIX = ".c2pa"

def report(error: FileError) -> None:
    print(error_line(error), file=sys.stderr)


def load(path: str) -> bytes:
    with about(path), interruption.at_once():
        return read_file(path)


def describe(path: str, headers: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
    """What `info` shows for one model file or URL."""
    if path == STDIN:
        return describe_bytes(path, load(path))
    with about(path), model_target(path, headers) as target:
        # Every fact from one read, so that a model replaced meanwhile never
        # mixes two versions; an unknown format, a damaged container or a
        # damaged store fails with the library's own message.
        described = quillon_files.describe(target)
    return {
        "file": shown(path),
        "format": described["format"],
        "asset_type": described["asset_type"],
        "store": described["store_size"] is not None,
        "store_size": described["store_size"],
        "uri": described["uri"],
    }


def describe_bytes(path: str, model: bytes) -> Dict[str, Any]:
    with about(path):
        uri = quillon.read_manifest_uri(model)
        store = in_memory_store(model)
    return facts(path, quillon.detect_format(model), quillon.model_type(model), store, uri)


def facts(path: str, kind: Optional[str], asset_type: Optional[str], store: Optional[bytes],
          uri: Optional[str]) -> Dict[str, Any]:
    return {
        "file": shown(path),
        "format": kind,
        "asset_type": asset_type,
        "store": store is not None,
        "store_size": None if store is None else len(store),
        "uri": uri,
    }


def in_memory_store(model: bytes) -> Optional[bytes]:
    """The store embedded in `model`, or None when it has none; a damaged
    store still raises. `quillon`'s errors carry nothing but their message
    (the in-memory module's exceptions stay as they have always been), so
    this is the one place where the command reads an error's text; the
    errors of `quillon_files` name their `kind` instead."""
    try:
        return quillon.read_manifest(model)
    except ValueError as error:
        if error.args == (NO_MANIFEST,):
            return None
        raise


def info_line(path: str, facts: Dict[str, Any]) -> str:
    store = "none" if facts["store_size"] is None else f"{facts['store_size']} bytes"
    # Quoted so that a hostile URI holding a line break stays on its line.
    uri = "none" if facts["uri"] is None else json.dumps(facts["uri"], ensure_ascii=False)
    return f"{quoted(path)}: {facts['format']}, {facts['asset_type']}, store: {store}, uri: {uri}"


def info(args: argparse.Namespace) -> int:
    described: List[Dict[str, Any]] = []
    # Scripts read info's stderr for errors only; the summary is for people.
    with Batch(args.models, args.jobs, summary=sys.stderr.isatty()) as batch:
        headers = headers_of(args)
        for path, facts in batch.results(lambda path, progress: (path, describe(path, headers))):
            if args.json:
                described.append(facts)
            else:
                batch.say(info_line(path, facts))
    if args.json:
        print(json.dumps(described, indent=2, ensure_ascii=False))
    return batch.status


def ranges(args: argparse.Namespace) -> int:
    status = 0
    found: List[Dict[str, Any]] = []
    headers = headers_of(args)
    for path in args.models:
        try:
            with about(path), model_target(path, headers) as target:
                spans = quillon_files.store_ranges(target)
        except FileError as error:
            report(error)
            status = 1
            continue
        found.append({"file": shown(path),
                      "ranges": [{"start": start, "length": length} for start, length in spans]})
    print(json.dumps(found, indent=2, ensure_ascii=False))
    return status


def patch(args: argparse.Namespace) -> int:
    refuse_unwritable(args.model)
    store = load(args.store)
    interruption.check()
    if is_url(args.model):  # rewritten whole where it lies: show its progress
        import quillon_remote.writes

        with about(args.model), write_progress(args.model, None) as report:
            quillon_remote.writes.patch_store(args.model, store, progress=report)
        return 0
    with about(args.model):
        quillon_files.patch_store(args.model, store)
    return 0


@contextlib.contextmanager
def write_progress(output: str, progress: Optional[ProgressCallback]) -> Iterator[ProgressCallback]:
    """The engine's progress callback for a write to `output`: the batch's,
    or for a single file one that shows its own progress. Either cancels the
    write once a stopping signal has arrived."""
    if progress is not None:
        yield progress
        return
    own = Progress("writing", output)

    def report(done: int, total: int) -> None:
        interruption.check()
        own.update(done, total)

    try:
        yield report
    finally:
        own.finish()


def save(output: str, data: bytes, progress: Optional[ProgressCallback] = None) -> None:
    """Writes a command's result to `output` ("-" for stdout, which is also
    where --in-place sends a model read from stdin). The engine writes it,
    keeping the owner and permissions of a file it replaces."""
    if output == STDOUT:
        with about(output), interruption.at_once():
            write_stdout(data)
        return
    if is_url(output):
        import quillon_remote.writes

        with about(output), write_progress(output, progress) as report:
            quillon_remote.writes.write_pieces(quillon_remote.FileSource(io.BytesIO(), output), [data], output,
                                               progress=report)
        return
    with about(output), write_progress(output, progress) as report:
        quillon_files.write_file(output, data, progress=report)


def read(args: argparse.Namespace) -> int:
    check_folder(args.output_dir)
    inputs = input_files(args)
    headers = headers_of(args)

    def read_one(model: str, progress: Optional[ProgressCallback]) -> None:
        output = destination(args, model, STORE_SUFFIX)
        check_output(model, output, inputs, args.force)
        if model == STDIN:
            data = load(model)
            with about(model):
                store = quillon.read_manifest(data)
        else:
            with about(model), model_target(model, headers) as target:
                store = quillon_files.read_manifest(target)
        save(output, store, progress)

    return run_batch(args, read_one)


def run_batch(args: argparse.Namespace, task: Callable[[str, Optional[ProgressCallback]], None]) -> int:
    with Batch(args.models, args.jobs) as batch:
        for _ in batch.results(task):
            pass
    return batch.status


class Rewrite(NamedTuple):
    """One embed or remove operation: the library's function on bytes (for
    standard input and output), the file engine's on paths, and the
    arguments after the model."""
    on_bytes: Callable[..., bytes]
    on_file: Callable[..., None]
    operands: Tuple[Any, ...] = ()


def rewrite(model: str, output: str, progress: Optional[ProgressCallback], operation: Rewrite) -> None:
    """Runs `operation` on `model` and writes the result to `output` (which
    is `model` itself for --in-place). Without a `progress` callback, a
    large file shows its own progress."""
    if model == STDIN or output == STDOUT:
        data = load(model)
        with about(model):
            result = operation.on_bytes(data, *operation.operands)
        save(output, result, progress)
        return
    with about(model), write_progress(output, progress) as report:
        operation.on_file(model, *operation.operands, output=output, progress=report)


def rewrite_each(args: argparse.Namespace, operation: Rewrite) -> int:
    check_folder(args.output_dir)
    inputs = input_files(args)

    def rewrite_one(model: str, progress: Optional[ProgressCallback]) -> None:
        output = destination(args, model)
        refuse_unwritable(output)
        if not args.in_place:
            check_output(model, output, inputs, args.force)
        rewrite(model, output, progress, operation)

    return run_batch(args, rewrite_one)


def embed(args: argparse.Namespace) -> int:
    store = None if args.store is None else load(args.store)
    if store is not None and args.uri is not None:
        return rewrite_each(args, Rewrite(quillon.embed_manifest_both, quillon_files.embed_manifest_both,
                                          (args.uri, store)))
    if store is not None:
        return rewrite_each(args, Rewrite(quillon.embed_manifest, quillon_files.embed_manifest, (store,)))
    return rewrite_each(args, Rewrite(quillon.embed_manifest_remote, quillon_files.embed_manifest_remote,
                                      (args.uri,)))


def remove(args: argparse.Namespace) -> int:
    return rewrite_each(args, Rewrite(quillon.remove_manifest, quillon_files.remove_manifest))

"""The subcommands of `quillon`. Each takes the parsed arguments and returns
the exit status; a failure that concerns one file is raised as FileError.

Model files go through the file engine (`quillon_files`): reads touch only
their metadata and writes are copied by the kernel, so no model is held in
memory. Standard input and output ("-") take the in-memory path."""

import argparse
import errno
import json
import os
import stat
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

import quillon
import quillon_files

from quillon_cli.batch import Batch, ProgressCallback
from quillon_cli.errors import FileError, about, error_line, shown
from quillon_cli.files import STDIN, STDOUT, Progress, is_same_file, permission_bits, read_file, write_file

# The library's message for a model without an embedded store: for `info`
# that is an answer, not an error.
NO_MANIFEST = "no C2PA manifest found in model"
# `read -O DIR` writes the store of MODEL to DIR/<MODEL's name> plus this.
STORE_SUFFIX = ".c2pa"


def report(error: FileError) -> None:
    print(error_line(error), file=sys.stderr)


def load(path: str) -> bytes:
    with about(path):
        return read_file(path)


def describe(path: str) -> Dict[str, Any]:
    """What `info` shows for one model file."""
    if path == STDIN:
        return describe_bytes(path, load(path))
    with about(path):
        # Every fact from one read, so that a model replaced meanwhile never
        # mixes two versions; an unknown format, a damaged container or a
        # damaged store fails with the library's own message.
        described = quillon_files.describe(path)
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
        store = store_or_none(quillon.read_manifest, model)
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


def store_or_none(read_manifest: Callable[[Any], bytes], model: Any) -> Optional[bytes]:
    """The embedded store, or None when the model has none; a damaged store
    still raises."""
    try:
        return read_manifest(model)
    except ValueError as error:
        if str(error) == NO_MANIFEST:
            return None
        raise


def info_line(facts: Dict[str, Any]) -> str:
    store = "none" if facts["store_size"] is None else f"{facts['store_size']} bytes"
    # Quoted so that a hostile URI holding a line break stays on its line.
    uri = "none" if facts["uri"] is None else json.dumps(facts["uri"], ensure_ascii=False)
    return f"{facts['file']}: {facts['format']}, {facts['asset_type']}, store: {store}, uri: {uri}"


def info(args: argparse.Namespace) -> int:
    described: List[Dict[str, Any]] = []
    # Scripts read info's stderr for errors only; the summary is for people.
    with Batch(args.models, args.jobs, summary=sys.stderr.isatty()) as batch:
        for facts in batch.results(lambda path, progress: describe(path)):
            if args.json:
                described.append(facts)
            else:
                batch.say(info_line(facts))
    if args.json:
        print(json.dumps(described, indent=2, ensure_ascii=False))
    return batch.status


def ranges(args: argparse.Namespace) -> int:
    status = 0
    found: List[Dict[str, Any]] = []
    for path in args.models:
        try:
            with about(path):
                spans = quillon_files.store_ranges(path)
        except FileError as error:
            report(error)
            status = 1
            continue
        found.append({"file": shown(path),
                      "ranges": [{"start": start, "length": length} for start, length in spans]})
    print(json.dumps(found, indent=2, ensure_ascii=False))
    return status


def patch(args: argparse.Namespace) -> int:
    store = load(args.store)
    with about(args.model):
        quillon_files.patch_store(args.model, store)
    return 0


def check_output(model_path: str, output: str, force: bool) -> None:
    """Refuses an output that is the input itself or, without `force`, a file
    that exists."""
    if output == STDOUT:
        return
    if is_same_file(model_path, output):
        raise FileError(output, "refusing to overwrite the input file (use --in-place)")
    if os.path.lexists(output) and not force:
        raise FileError(output, "file exists (use --force to overwrite)")


def destination(args: argparse.Namespace, model: str, suffix: str = "") -> str:
    """Where a command's result for `model` goes: the model itself with
    --in-place, DIR/<model name><suffix> with -O DIR, else OUT of -o."""
    if args.in_place:
        return model
    if args.output_dir is not None:
        return os.path.join(args.output_dir, os.path.basename(model) + suffix)
    return str(args.output)


def check_folder(folder: Optional[str]) -> None:
    """Refuses an output folder (-O) that is missing or not a folder."""
    if folder is None:
        return
    with about(folder):
        if not stat.S_ISDIR(os.stat(folder).st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), folder)


def save(output: str, data: bytes) -> None:
    """Writes a command's result to `output` ("-" for stdout, which is also
    where --in-place sends a model read from stdin). The new file keeps the
    permission bits of the file it replaces."""
    with about(output):
        exists = output != STDOUT and os.path.exists(output)
        write_file(output, data, permission_bits(output) if exists else None)


def read(args: argparse.Namespace) -> int:
    check_folder(args.output_dir)

    def read_one(model: str, progress: Optional[ProgressCallback]) -> None:
        output = destination(args, model, STORE_SUFFIX)
        check_output(model, output, args.force)
        if model == STDIN:
            data = load(model)
            with about(model):
                store = quillon.read_manifest(data)
        else:
            with about(model):
                store = quillon_files.read_manifest(model)
        save(output, store)

    return run_batch(args, read_one)


def run_batch(args: argparse.Namespace, task: Callable[[str, Optional[ProgressCallback]], None]) -> int:
    with Batch(args.models, args.jobs) as batch:
        for _ in batch.results(task):
            pass
    return batch.status


def rewrite(model: str, output: str, progress: Optional[ProgressCallback], operation: str,
            operands: Tuple[Any, ...]) -> None:
    """Runs the embed or remove `operation` of the library on `model` and
    writes the result to `output` (which is `model` itself for --in-place).
    Without a `progress` callback, a large file shows its own progress."""
    if model == STDIN or output == STDOUT:
        data = load(model)
        with about(model):
            result = getattr(quillon, operation)(data, *operands)
        save(output, result)
        return
    own = Progress("writing", output) if progress is None else None
    try:
        with about(model):
            getattr(quillon_files, operation)(model, *operands, output=output,
                                              progress=own.update if own is not None else progress)
    except FileError as error:
        # A system failure names the file it concerns: the model or the output.
        cause = error.__cause__
        if isinstance(cause, OSError) and cause.filename is not None:
            raise FileError(os.fsdecode(cause.filename), error.message) from cause
        raise
    finally:
        if own is not None:
            own.finish()


def rewrite_each(args: argparse.Namespace, operation: str, *operands: Any) -> int:
    check_folder(args.output_dir)

    def rewrite_one(model: str, progress: Optional[ProgressCallback]) -> None:
        output = destination(args, model)
        if not args.in_place:
            check_output(model, output, args.force)
        rewrite(model, output, progress, operation, operands)

    return run_batch(args, rewrite_one)


def embed(args: argparse.Namespace) -> int:
    store = None if args.store is None else load(args.store)
    if store is not None and args.uri is not None:
        return rewrite_each(args, "embed_manifest_both", args.uri, store)
    if store is not None:
        return rewrite_each(args, "embed_manifest", store)
    return rewrite_each(args, "embed_manifest_remote", args.uri)


def remove(args: argparse.Namespace) -> int:
    return rewrite_each(args, "remove_manifest")

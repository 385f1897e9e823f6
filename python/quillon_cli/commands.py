"""The subcommands of `quillon`. Each takes the parsed arguments and returns
the exit status; a failure that concerns one file is raised as FileError.

Model files go through the file engine (`quillon_files`): reads touch only
their metadata and writes are copied by the kernel, so no model is held in
memory. Standard input and output ("-") take the in-memory path."""

import argparse
import contextlib
import json
import os
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional

import quillon
import quillon_files

from quillon_cli.files import STDIN, STDOUT, Progress, is_same_file, permission_bits, read_file, write_file

# The library's message for a model without an embedded store: for `info`
# that is an answer, not an error.
NO_MANIFEST = "no C2PA manifest found in model"


class FileError(Exception):
    """A failure reported as "quillon: FILE: MESSAGE"."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(f"{path}: {message}")
        self.path = path
        self.message = message


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Turns the errors of reading, converting or writing `path` into a
    FileError: the system's text for a file error, the library's message for
    a model it cannot handle."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise FileError(path, error.strerror or str(error)) from error
    except MemoryError as error:
        raise FileError(path, "not enough memory") from error
    except ValueError as error:
        raise FileError(path, str(error)) from error


def is_text(text: str) -> bool:
    """False for a str holding lone surrogates, which is how Python passes on
    command-line bytes that are not UTF-8."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def shown(path: str) -> str:
    """`path` as printable text: bytes of a non-UTF-8 file name become
    escapes instead of failing on an output stream that wants UTF-8."""
    return path if is_text(path) else os.fsencode(path).decode("utf-8", "backslashreplace")


def report(error: FileError) -> None:
    print(f"quillon: {shown(error.path)}: {error.message}", file=sys.stderr)


def load(path: str) -> bytes:
    with about(path):
        return read_file(path)


def describe(path: str) -> Dict[str, Any]:
    """What `info` shows for one model file."""
    if path == STDIN:
        return describe_bytes(path, load(path))
    with about(path):
        # read_manifest_uri parses the container, so it rejects an unknown
        # format or a damaged file with the library's own message.
        uri = quillon_files.read_manifest_uri(path)
        store = store_or_none(quillon_files.read_manifest, path)
        return facts(path, quillon_files.detect_format(path), quillon_files.model_type(path), store, uri)


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
    status = 0
    described: List[Dict[str, Any]] = []
    for path in args.models:
        try:
            facts = describe(path)
        except FileError as error:
            report(error)
            status = 1
            continue
        if args.json:
            described.append(facts)
        else:
            print(info_line(facts), flush=True)
    if args.json:
        print(json.dumps(described, indent=2, ensure_ascii=False))
    return status


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


def save(args: argparse.Namespace, data: bytes) -> None:
    """Writes a command's result where -o or --in-place says. The new file
    keeps the permission bits of the file it replaces."""
    destination = args.model if args.in_place else args.output
    with about(destination):
        exists = destination != STDOUT and os.path.exists(destination)
        write_file(destination, data, permission_bits(destination) if exists else None)


def read(args: argparse.Namespace) -> int:
    check_output(args.model, args.output, args.force)
    if args.model == STDIN:
        model = load(args.model)
        with about(args.model):
            store = quillon.read_manifest(model)
    else:
        with about(args.model):
            store = quillon_files.read_manifest(args.model)
    save(args, store)
    return 0


def in_memory(args: argparse.Namespace) -> bool:
    """True when the model comes from stdin or goes to stdout."""
    return args.model == STDIN or (not args.in_place and args.output == STDOUT)


def rewrite(args: argparse.Namespace, operation: str, *operands: Any) -> None:
    """Runs the embed or remove `operation` of the library on the model and
    writes the result where -o or --in-place says."""
    if in_memory(args):
        model = load(args.model)
        with about(args.model):
            result = getattr(quillon, operation)(model, *operands)
        save(args, result)
        return
    destination = args.model if args.in_place else args.output
    progress = Progress("writing", destination)
    try:
        with about(args.model):
            getattr(quillon_files, operation)(args.model, *operands, output=destination,
                                              progress=progress.update)
    except FileError as error:
        # A system failure names the file it concerns: the model or the output.
        cause = error.__cause__
        if isinstance(cause, OSError) and cause.filename is not None:
            raise FileError(os.fsdecode(cause.filename), error.message) from cause
        raise
    finally:
        progress.finish()


def embed(args: argparse.Namespace) -> int:
    if not args.in_place:
        check_output(args.model, args.output, args.force)
    store = None if args.store is None else load(args.store)
    if store is not None and args.uri is not None:
        rewrite(args, "embed_manifest_both", args.uri, store)
    elif store is not None:
        rewrite(args, "embed_manifest", store)
    else:
        rewrite(args, "embed_manifest_remote", args.uri)
    return 0


def remove(args: argparse.Namespace) -> int:
    if not args.in_place:
        check_output(args.model, args.output, args.force)
    rewrite(args, "remove_manifest")
    return 0

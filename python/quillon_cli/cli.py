"""The `quillon` command line: the parser and the entry point."""

import argparse
import contextlib
import os
import signal
import sys
import threading
from importlib.metadata import PackageNotFoundError, version
from typing import Any, Dict, Iterator, List, Optional

from quillon_cli.batch import MAX_NETWORK_JOBS, Cancelled, default_jobs, interruption
from quillon_cli.commands import STORE_SUFFIX, embed, info, patch, ranges, read, remove, report
from quillon_cli.demo import demo
from quillon_cli.destinations import check_arguments
from quillon_cli.errors import FileError, is_text
from quillon_cli.remote import header
from quillon_cli import sets

DESCRIPTION = """\
Attach, read and strip C2PA provenance data in GGUF, SafeTensors and ONNX
model files. A file is never left half-written: results go to a temporary
file that replaces the destination only once it is complete."""

EMBED_NOTE = """\
Embedding replaces all C2PA data the model held: --store alone drops an old
URI, --uri alone drops an old store."""

MODEL_HELP = "a GGUF, SafeTensors or ONNX model file, or its URL (s3://...)"
MODELS_HELP = "GGUF, SafeTensors or ONNX model files, or their URLs (s3://..., or https://... to read from)"
READ_MODELS_HELP = "GGUF, SafeTensors or ONNX model files, or their URLs (https://..., s3://...)"
HEADER_HELP = "send this HTTP header with every request to a model's URL (a token, say); repeatable"
BATCH_NOTE = """\
Several models are handled at once, on --jobs threads; each failure is
reported and the others go on."""

# The exit status of a process ended by a signal, as shells report it:
# 128 plus the signal's number (130 for SIGINT).
SIGNAL_STATUS_BASE = 128
# Stopping signals that end a run the way Ctrl-C does: the writes in
# progress are abandoned and their destinations stay untouched.
STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Commands whose files a signal must not leave in doubt (see Interruption);
# the others stop at once.
WRITING_COMMANDS = ("read", "embed", "remove", "patch")


@contextlib.contextmanager
def stopping_signals_handled(at_once: bool, then_ignore: bool) -> Iterator[None]:
    """While running, the stopping signals go to `interruption`; afterwards
    they get their old handlers back, or with `then_ignore` are ignored.
    Handlers can only be set from the main thread; elsewhere nothing
    changes."""
    interruption.start(at_once)
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous: Dict[signal.Signals, Any] = {}
    for number in STOPPING_SIGNALS:
        if signal.getsignal(number) in (signal.SIG_IGN, None):
            continue  # e.g. nohup: an ignored signal stays ignored
        previous[number] = signal.signal(number, interruption.handle)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, signal.SIG_IGN if then_ignore else handler)


def _version() -> str:
    try:
        return version("quillon")
    except PackageNotFoundError:
        return "unknown (not installed)"


def jobs_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"not a positive number of jobs: {text!r}")
    return count


def _add_jobs(command: argparse.ArgumentParser) -> None:
    command.add_argument("-j", "--jobs", type=jobs_count, metavar="N",
                         help="handle up to N models at once (default: the number of CPUs; "
                              f"with URLs, one per model up to {MAX_NETWORK_JOBS})")


def _add_header(command: argparse.ArgumentParser) -> None:
    command.add_argument("-H", "--header", action="append", type=header, metavar="'NAME: VALUE'",
                         help=HEADER_HELP)


def _add_destination(command: argparse.ArgumentParser, in_place: bool, suffix: str = "") -> None:
    command.add_argument("models", nargs="+", metavar="MODEL", help=MODELS_HELP if in_place else READ_MODELS_HELP)
    target = command.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT",
                        help="write the result to OUT ('-' for standard output); one MODEL only")
    target.add_argument("-O", "--output-dir", metavar="DIR",
                        help=f"write the result for each MODEL to DIR/<its name>{suffix}")
    if in_place:
        target.add_argument("--in-place", action="store_true",
                            help="replace each MODEL itself, keeping its permission bits")
    else:
        command.set_defaults(in_place=False)
    command.add_argument("-f", "--force", action="store_true",
                         help="let -o or -O replace existing files")
    _add_jobs(command)
    command.set_defaults(usage_error=command.error, suffix=suffix)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quillon", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    command = commands.add_parser(
        "info", help="show format, asset type and C2PA data of models",
        description="Show each model's format, C2PA asset type, embedded "
                    "Manifest Store size and remote manifest URI, one line per file.")
    command.add_argument("models", nargs="+", metavar="MODEL", help=READ_MODELS_HELP)
    _add_header(command)
    command.add_argument("--json", action="store_true",
                         help="print a JSON list of objects instead")
    _add_jobs(command)
    command.set_defaults(run=info)

    command = commands.add_parser(
        "read", help="extract the embedded Manifest Store",
        description="Write the Manifest Store embedded in MODEL to OUT, or in each "
                    f"MODEL to DIR/<its name>{STORE_SUFFIX}. " + BATCH_NOTE)
    _add_destination(command, in_place=False, suffix=STORE_SUFFIX)
    _add_header(command)
    command.set_defaults(run=read)

    command = commands.add_parser(
        "embed", help="embed a Manifest Store and/or a remote manifest URI",
        description="Embed a Manifest Store, a remote manifest URI, or both. " + EMBED_NOTE
                    + " " + BATCH_NOTE)
    command.add_argument("--store", metavar="FILE", help="the Manifest Store to embed")
    command.add_argument("--uri", help="the remote manifest URI to embed")
    _add_destination(command, in_place=True)
    command.set_defaults(run=embed)

    command = commands.add_parser(
        "remove", help="strip all C2PA data",
        description="Remove the embedded Manifest Store and the remote manifest URI. "
                    + BATCH_NOTE)
    _add_destination(command, in_place=True)
    command.set_defaults(run=remove)

    command = commands.add_parser(
        "ranges", help="show the byte ranges that encode the embedded store",
        description="Print, as JSON, the byte ranges of each model that encode its "
                    "embedded Manifest Store: what a C2PA data hash excludes.")
    command.add_argument("models", nargs="+", metavar="MODEL", help=READ_MODELS_HELP)
    _add_header(command)
    command.set_defaults(run=ranges)

    command = commands.add_parser(
        "patch", help="overwrite the embedded store with one of the same size",
        description="Overwrite the Manifest Store embedded in MODEL, in place, with one "
                    "whose encoded form is exactly as long, writing only the store's "
                    "bytes. A crash in the middle may leave the store partly written "
                    "(the model itself stays intact); run the patch again to mend it.")
    command.add_argument("model", metavar="MODEL", help=MODEL_HELP)
    command.add_argument("--store", metavar="FILE", required=True, help="the new Manifest Store")
    command.set_defaults(run=patch)

    command = commands.add_parser(
        "set", help="check a model split across several files, and hash it as one",
        description="Handle a model split across several files (SafeTensors shards with "
                    "their index, GGUF splits, ONNX external data) as one asset.")
    actions = command.add_subparsers(dest="action", metavar="ACTION", required=True)
    for name, run, text in (("info", sets.run_info, "list the members and the set's problems; "
                                                   "exit status 1 when the set is broken"),
                            ("hash", sets.run_hash, "print the inputs of a C2PA collection data hash "
                                                   "over the members")):
        action = actions.add_parser(name, help=text, description=text[0].upper() + text[1:] + ".")
        action.add_argument("path", metavar="PATH", help="a member, the index or the folder of the set")
        if name == "info":
            action.add_argument("--json", action="store_true", help="print a JSON object instead")
            _add_header(action)
        else:
            action.add_argument("--alg", choices=sets.HASH_ALGORITHMS, default="sha256",
                                help="the hash algorithm (default: sha256)")
        _add_jobs(action)
        action.set_defaults(run=run)
    for name, text in (("embed", "embed C2PA data in every model file of a local set: all are replaced, or none"),
                       ("remove", "remove the C2PA data of every model file of a local set: all, or none")):
        action = actions.add_parser(name, help=text, description=text[0].upper() + text[1:] + ".")
        action.add_argument("path", metavar="PATH", help="a member, the index or the folder of the set")
        if name == "embed":
            action.add_argument("--uri", help="the remote manifest URI to embed in every member")
            stores = action.add_mutually_exclusive_group()
            stores.add_argument("--store", metavar="FILE", help="the Manifest Store every member carries")
            stores.add_argument("--store-dir", metavar="DIR",
                                help="the Manifest Store of each member, in DIR/<member name>.c2pa")
        _add_jobs(action)
        action.set_defaults(run=sets.run_rewrite)

    command = commands.add_parser(
        "demo", help="embed, read and remove C2PA data in the bundled sample models",
        description="Run quillon's main job on the sample models that ship with it.")
    command.set_defaults(run=demo)
    return parser


def _check_embed(args: argparse.Namespace) -> None:
    if args.store is None and args.uri is None:
        args.usage_error("at least one of --store and --uri is required")
    if args.uri is not None and not is_text(args.uri):
        args.usage_error("argument --uri: not valid UTF-8 text")


def main(argv: Optional[List[str]] = None, exiting: bool = False) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the
    exit status: 0 on success, 1 when a file could not be handled, 2 for a
    usage error, 128 plus the signal's number when a stopping signal left a
    file unwritten. A signal that came only once every file was done does
    not change the status; a line on stderr says so. `exiting` tells that
    the process ends right after (see `program`)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if "jobs" in args and args.jobs is None:
            args.jobs = default_jobs(getattr(args, "models", ()))
        if args.command == "embed":
            _check_embed(args)
        if args.command in ("read", "embed", "remove"):
            check_arguments(args)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    try:
        with stopping_signals_handled(args.command not in WRITING_COMMANDS, then_ignore=exiting):
            status = int(args.run(args))
    except FileError as error:
        report(error)
        return 1
    except (KeyboardInterrupt, Cancelled):
        print("quillon: interrupted", file=sys.stderr)
        return SIGNAL_STATUS_BASE + (interruption.number or signal.SIGINT)
    except BrokenPipeError:
        # The reader went away (`quillon info ... | head`): stop quietly, and
        # keep the interpreter from failing again while flushing stdout.
        with contextlib.suppress(OSError, ValueError, AttributeError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    if interruption.number is not None:
        print("quillon: completed before the interruption took effect", file=sys.stderr)
    return status


def program() -> None:
    """The `quillon` program: runs the command line and exits with its
    status. When the run is over every file is settled, so from then on the
    stopping signals are ignored: one that comes while the interpreter shuts
    down does not turn a finished run into a killed one."""
    sys.exit(main(exiting=True))

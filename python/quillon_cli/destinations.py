"""Where the command's results go, and the rules that keep a result from
landing where it must not: on one of the command's inputs, on an existing
file without --force, in a folder that is not there, or two results on one
file."""

import argparse
import errno
import os
import posixpath
import stat
import urllib.parse
from typing import Dict, List, Optional, Tuple

from quillon_cli.errors import FileError, about, quoted
from quillon_cli.remote import is_url, refuse_unwritable, url_exists
from quillon_cli.streams import STDIN, STDOUT

def model_name(model: str) -> str:
    """The name a result for `model` takes in an output folder: the file's
    name, or the last segment of a URL's path (without query or fragment)."""
    if is_url(model):
        return posixpath.basename(urllib.parse.urlsplit(model).path)
    return os.path.basename(model)


# A file as the system knows it, whatever the name: (device, inode).
Identity = Tuple[int, int]


def identity(path: str) -> Optional[Identity]:
    """The file `path` reaches, following symbolic links; None when it
    reaches none (or is standard input)."""
    if path == STDIN:
        return None
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def input_files(args: argparse.Namespace) -> Dict[Identity, str]:
    """Every file the command reads, the models and the --store file, taken
    before anything is written: no result may replace one of them."""
    names = list(args.models) + ([args.store] if getattr(args, "store", None) is not None else [])
    found: Dict[Identity, str] = {}
    for name in names:
        key = identity(name)
        if key is not None:
            found.setdefault(key, name)
    return found


def names_folder(path: str) -> bool:
    """True for a path that can only name a folder: "x/", "x/." or "x/.."."""
    return path.endswith(os.sep) or os.path.basename(path) in (os.curdir, os.pardir)


def check_output(model: str, output: str, inputs: Dict[Identity, str], force: bool) -> None:
    """Refuses an output that names a folder, that is one of the `inputs`
    (`model` itself above all) by whatever name or link or, without
    `force`, that exists."""
    if output == STDOUT:
        return
    if is_url(output):
        refuse_unwritable(output)
        if output == model:
            raise FileError(output, "refusing to overwrite the input file (use --in-place)")
        with about(output):
            if not force and url_exists(output):
                raise FileError(output, "file exists (use --force to overwrite)")
        return
    if names_folder(output):
        raise FileError(output, os.strerror(errno.EISDIR))
    reached = identity(output)
    if reached is not None and reached == identity(model):
        raise FileError(output, "refusing to overwrite the input file (use --in-place)")
    if reached in inputs:
        raise FileError(output, f"refusing to overwrite the input file {quoted(inputs[reached])}")
    if os.path.lexists(output) and not force:
        raise FileError(output, "file exists (use --force to overwrite)")


def destination(args: argparse.Namespace, model: str, suffix: str = "") -> str:
    """Where a command's result for `model` goes: the model itself with
    --in-place, DIR/<model name><suffix> with -O DIR, else OUT of -o."""
    if args.in_place:
        return model
    if args.output_dir is not None and is_url(args.output_dir):
        return posixpath.join(args.output_dir, model_name(model) + suffix)
    if args.output_dir is not None:
        return os.path.join(args.output_dir, model_name(model) + suffix)
    return str(args.output)


def check_folder(folder: Optional[str]) -> None:
    """Refuses an output folder (-O) that is missing or not a folder; a
    URL's "folder" is only a prefix of its objects' names."""
    if folder is None or is_url(folder):
        return
    with about(folder):
        if not stat.S_ISDIR(os.stat(folder).st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), folder)


def check_arguments(args: argparse.Namespace) -> None:
    """Refuses what would send two results to one file, or a result nowhere."""
    models: List[str] = args.models
    if STDIN in models and (len(models) > 1 or args.output_dir is not None):
        args.usage_error(f"standard input ('{STDIN}') has no name: give it alone, with -o")
    if len(models) == 1:
        return
    if args.output is not None:
        args.usage_error("argument -o/--output: one MODEL only (use -O DIR for several)")
    names: List[object]
    if args.in_place:
        names = [identity(model) or model for model in models]
        problem = "argument --in-place: MODEL given twice"
    else:
        names = [model_name(model) + args.suffix for model in models]
        problem = "argument -O/--output-dir: two results named"
    seen = set()
    for model, name in zip(models, names):
        if name in seen:
            args.usage_error(f"{problem}: {quoted(model)}")
        seen.add(name)

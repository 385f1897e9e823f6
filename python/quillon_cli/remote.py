"""Models the command reads from elsewhere: a URL ("https://...", or any
fsspec scheme such as "s3://") wherever a model is read (info, read, ranges).
quillon_files reads a URL itself; with --header, the command opens the HTTP
source with those headers (a token, say) and hands it over instead. Embed,
remove and patch also write to URLs other than HTTP ones (see
quillon_remote.writes): an S3 model is rewritten on the server."""

import argparse
import contextlib
import re
from typing import Any, Dict, Iterator, List, Optional

from quillon_cli.errors import FileError

# A scheme of two characters or more, then "://": a Windows drive ("C://")
# stays a path, as quillon_files has it.
URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")
WRITE_REFUSED = "an HTTP URL can be read but not written to"


def is_url(path: str) -> bool:
    return URL.match(path) is not None


def header(text: str) -> str:
    """An argparse type: "NAME: VALUE" with a token name and no line break."""
    name, colon, value = text.partition(":")
    if not colon or not re.fullmatch(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+", name) or re.search(r"[\r\n\0]", value):
        raise argparse.ArgumentTypeError(f"not a header of the form 'NAME: VALUE': {text!r}")
    return text


def headers_of(args: argparse.Namespace) -> Optional[Dict[str, str]]:
    given: List[str] = getattr(args, "header", None) or []
    if not given:
        return None
    return {name.strip(): value.strip() for name, _, value in (text.partition(":") for text in given)}


@contextlib.contextmanager
def model_target(path: str, headers: Optional[Dict[str, str]]) -> Iterator[Any]:
    """What quillon_files reads for the model `path`: the path or URL itself,
    or an HTTP source that sends `headers` with every request."""
    if headers is None or not is_url(path) or not path.lower().startswith(("http://", "https://")):
        yield path
        return
    import quillon_remote

    with quillon_remote.open_source(path, headers=headers, first=(0, quillon_remote.PARSE_WINDOW)) as source:
        yield source


def refuse_unwritable(destination: str) -> None:
    """A write to an HTTP URL: a server that only serves files."""
    if is_url(destination) and destination.lower().startswith(("http://", "https://")):
        raise FileError(destination, WRITE_REFUSED)


def url_exists(url: str) -> bool:
    """Whether the object `url` exists (through fsspec, only ever asked for
    a URL given as a destination)."""
    import fsspec.core  # type: ignore[import-untyped, import-not-found, unused-ignore]

    fs, path = fsspec.core.url_to_fs(url)
    return bool(fs.exists(path))

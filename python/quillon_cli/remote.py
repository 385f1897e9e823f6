"""Models the command reads from elsewhere: a URL ("https://...", or any
fsspec scheme such as "s3://") wherever a model is read (info, read, ranges).
quillon_files reads a URL itself; with --header, the command opens the HTTP
source with those headers (a token, say) and hands it over instead."""

import argparse
import contextlib
import re
from typing import Any, Dict, Iterator, List, Optional

from quillon_cli.errors import FileError

# A scheme of two characters or more, then "://": a Windows drive ("C://")
# stays a path, as quillon_files has it.
URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")
WRITE_REFUSED = "a URL can be read (info, read, ranges) but not written to"


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


def refuse_urls(models: List[str]) -> None:
    """Embed, remove and patch write their model's file: a URL has none."""
    for model in models:
        if is_url(model):
            raise FileError(model, WRITE_REFUSED)

"""Models split across several files, handled as one asset (a "set").

A set is recognised from any of its files or from its folder:

- SafeTensors shards named by an index, `<name>.safetensors.index.json`,
  whose `weight_map` gives the shard of each tensor (shards named
  `<prefix>-00001-of-00003.safetensors` without an index form a set too);
- GGUF splits `<prefix>-00001-of-00003.gguf`, as gguf-split writes them,
  whose `split.no` (counted from 0) and `split.count` must agree with their
  names;
- an ONNX model and the files its initializers' external data name.

Each member is known by its URI: its name relative to the set's folder with
`/` between segments, which is what the C2PA collection data hash lists. A
name taken from a model or an index that is absolute, has an empty, `.` or
`..` segment, a URL scheme, a backslash or a NUL is refused and never
opened. The members' facts (quillon_files.set_facts, quillon_files.describe)
are read on a thread pool: the reads release the interpreter lock.

A set can be read from a URL too (an http(s) URL, with headers, or any
fsspec scheme): of an index, a first split or any member. The members are
named relative to the folder of that URL, with the same refusals; the index
is read in one bounded request and every model member on its own thread (up
to REMOTE_JOBS), in one request when its metadata fits the first window.
A remote folder cannot be listed, so a remote set has no strays.

`set_info` returns what is wrong with a set as problems (missing members,
numbering or counts that disagree, tensors the index places elsewhere,
C2PA data on some members but not the others); files beside it that look
like members it does not name are listed apart, since they break nothing.
"""

import base64
import concurrent.futures
import dataclasses
import hashlib
import json
import os
import re
import secrets
import stat
import sys
import threading
import urllib.parse
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, TypeVar

import quillon_files

from quillon_cli.errors import FileError, about, is_text
from quillon_cli.remote import headers_of, is_url

INDEX_SUFFIX = ".safetensors.index.json"
# An index is JSON of some hundred bytes per tensor: 64 MiB is hundreds of
# thousands of tensors, far beyond any real checkpoint.
MAX_INDEX_SIZE = 64 * 1024 * 1024
# `<prefix>-00001-of-00015.<suffix>`, as the hub's tools and gguf-split name
# the parts (five digits or more).
_NUMBERED = re.compile(r"^(?P<prefix>.+)-(?P<number>\d{5,})-of-(?P<count>\d{5,})\.(?P<suffix>safetensors|gguf)$")
_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
# Problems listed for one member before the rest are only counted.
_SHOWN_TENSORS = 5
# Bytes read per step by `set hash`: large enough that hashlib releases the
# interpreter lock (it does from 2 KiB on) and a step's overhead vanishes,
# small enough that the hash reads the buffer from the CPU's cache rather
# than memory. 1.5 GiB of page-cached shards: 1.1-1.3 s at 256 KiB to
# 1 MiB per step, 1.4 s at 4 MiB, on one thread.
HASH_CHUNK = 1024 * 1024
HASH_ALGORITHMS = ("sha256", "sha384", "sha512")
# The most members a name may number: a count in a file name is untrusted.
# The largest checkpoints have some hundreds of shards.
MAX_MEMBERS = 100_000
# Remote members are read one per thread, up to this many at once: each
# thread waits on its round trips, not on the CPU.
REMOTE_JOBS = 16
# Prefix of the temporary files `set embed` and `set remove` write beside
# the members before renaming them over: `.<member name>.quillon-set-XXXX`.
TEMPORARY_MARK = ".quillon-set-"

T = TypeVar("T")
R = TypeVar("R")


@dataclasses.dataclass
class Member:
    """One file of a set. `role` is "model" for a file quillon reads and
    stamps (a shard, a split, the ONNX model), "index" for a SafeTensors
    index and "data" for an ONNX external data file. `facts`
    (quillon_files.set_facts) and `c2pa` (quillon_files.describe) are filled
    by reading a model, and stay empty when that fails (`error` says why);
    an index's `facts` are its "weight_map" and "total_size"."""
    uri: str
    path: str
    role: str = "model"
    number: Optional[int] = None
    size: Optional[int] = None
    facts: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    c2pa: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    error: Optional[str] = None


@dataclasses.dataclass
class ModelSet:
    kind: str
    folder: str
    members: List[Member]
    index: Optional[Member] = None
    # Files beside the set that look like members but are not named by it.
    strays: List[str] = dataclasses.field(default_factory=list)
    problems: List[str] = dataclasses.field(default_factory=list)
    # The HTTP headers of every request, for a set read from http(s) URLs.
    headers: Optional[Mapping[str, str]] = None
    # Temporaries of an interrupted `set embed` or `set remove` beside the
    # members (a local set only).
    leftovers: List[str] = dataclasses.field(default_factory=list)

    @property
    def remote(self) -> bool:
        return is_url(self.folder)

    def path_of(self, uri: str) -> str:
        """Where the member `uri` (a safe name) lies: beside the others."""
        return member_location(self.folder, uri)

    def files(self) -> List[Member]:
        """The members, then the index: every file the set consists of."""
        return self.members + ([self.index] if self.index is not None else [])


def unsafe_name(name: str) -> Optional[str]:
    """Why `name`, a member's name taken from a model or an index, cannot
    name a file in the set's folder; None when it can."""
    if not name:
        return "empty"
    if "\0" in name:
        return "holds a NUL"
    if "\\" in name:
        return "holds a backslash"
    if name.startswith("/"):
        return "absolute"
    if _SCHEME.match(name):
        return "a URL"
    if any(segment in ("", ".", "..") for segment in name.split("/")):
        return "has an empty, '.' or '..' segment"
    return None


def member_location(folder: str, uri: str) -> str:
    """The member `uri` (a safe name) of the set in `folder`, a path or a
    URL; in an http(s) URL the name is percent-encoded."""
    if not is_url(folder):
        return os.path.join(folder, *uri.split("/"))
    if folder.lower().startswith(("http://", "https://")):
        uri = urllib.parse.quote(uri, safe="/")
    return folder + "/" + uri


def _split_url(url: str) -> Tuple[str, str]:
    """The folder of `url` and the name in it (unquoted for http(s)); a URL
    with a query or a fragment names no folder its members could share."""
    parts = urllib.parse.urlsplit(url)
    if parts.query or parts.fragment:
        raise FileError(url, "a set's URL cannot have a query or a fragment: its members are named beside it")
    folder, _, name = url.rpartition("/")
    if not name or folder.endswith(":/"):
        raise FileError(url, "name a member or the index of the set, not a folder")
    if url.lower().startswith(("http://", "https://")):
        name = urllib.parse.unquote(name)
    return folder, name


def _parallel(function: Callable[[T], R], items: Sequence[T], jobs: int) -> List[R]:
    if len(items) <= 1 or jobs <= 1:
        return [function(item) for item in items]
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(jobs, len(items))) as pool:
        return list(pool.map(function, items))


def _numbered(name: str) -> Optional[re.Match[str]]:
    return _NUMBERED.match(name)


def _open_regular(path: str) -> int:
    """A descriptor of the regular file at `path`. The type is checked
    before the open, since opening a FIFO releases a writer waiting on it
    (and blocks without O_NONBLOCK), and again on the descriptor."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise FileError(path, "not a regular file")
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise FileError(path, "not a regular file")
    return descriptor


def _listing(folder: str) -> List[str]:
    with about(folder):
        return sorted(entry.name for entry in os.scandir(folder) if entry.is_file())


# ---- recognising a set ------------------------------------------------------

def find_set(path: str, headers: Optional[Mapping[str, str]] = None) -> ModelSet:
    """The set that `path`, a member, an index or a folder, belongs to."""
    if is_url(path):
        return _remote_set(path, headers)
    with about(path):
        mode = os.stat(path).st_mode
    if stat.S_ISDIR(mode):
        return _set_in_folder(path)
    folder, name = os.path.split(os.path.abspath(path))
    if name.endswith(INDEX_SUFFIX):
        return _safetensors_set(folder, name)
    numbered = _numbered(name)
    if name.endswith(".safetensors"):
        for index in (n for n in _listing(folder) if n.endswith(INDEX_SUFFIX)):
            if name in _weight_map(os.path.join(folder, index)).values():
                return _safetensors_set(folder, index)
        if numbered:
            return _numbered_set(folder, numbered, "SafeTensors")
        return ModelSet("SafeTensors", folder, [Member(name, os.path.join(folder, name))])
    if name.endswith(".gguf") and numbered:
        return _numbered_set(folder, numbered, "GGUF")
    if name.endswith(".onnx"):
        return ModelSet("ONNX", folder, [Member(name, os.path.join(folder, name))])
    for model in (n for n in _listing(folder) if n.endswith(".onnx")):
        if name in _external_locations(os.path.join(folder, model)):
            return ModelSet("ONNX", folder, [Member(model, os.path.join(folder, model))])
    with about(path):
        kind = quillon_files.detect_format(path)
    if kind is None:
        raise FileError(path, "not a model of a set: no index, numbered shard, model or its external data")
    return ModelSet(kind, folder, [Member(name, os.path.join(folder, name))])


def _external_locations(model: str) -> List[str]:
    """The external data locations of the ONNX model at `model`; none when
    it cannot be read (it is not the set sought)."""
    try:
        return [entry["location"] for entry in quillon_files.set_facts(model).get("external_data", [])]
    except (ValueError, OSError):
        return []


def _set_in_folder(folder: str) -> ModelSet:
    folder = os.path.abspath(folder)
    names = _listing(folder)
    indexes = [n for n in names if n.endswith(INDEX_SUFFIX)]
    # The first shard of an indexed set is not a set of its own.
    firsts = [m for m in map(_numbered, names)
              if m and int(m["number"]) == 1 and not (indexes and m["suffix"] == "safetensors")]
    models = [n for n in names if n.endswith(".onnx")]
    found = len(indexes) + len(firsts) + len(models)
    if found == 0:
        raise FileError(folder, "no set found: no index, first numbered shard or ONNX model")
    if found > 1:
        raise FileError(folder, "several sets found; name one of their files")
    if indexes:
        return _safetensors_set(folder, indexes[0])
    if firsts:
        return _numbered_set(folder, firsts[0], "SafeTensors" if firsts[0]["suffix"] == "safetensors" else "GGUF")
    return ModelSet("ONNX", folder, [Member(models[0], os.path.join(folder, models[0]))])


def _read_index(path: str) -> Dict[str, Any]:
    """The index at `path`, read whole (it is bounded) and checked to hold a
    weight_map of names to names."""
    with about(path), open(_open_regular(path), "rb") as file:
        if os.fstat(file.fileno()).st_size > MAX_INDEX_SIZE:
            raise FileError(path, f"index larger than {MAX_INDEX_SIZE // (1024 * 1024)} MiB")
        text = file.read(MAX_INDEX_SIZE + 1)
    if len(text) > MAX_INDEX_SIZE:
        raise FileError(path, f"index larger than {MAX_INDEX_SIZE // (1024 * 1024)} MiB")
    return _parse_index(path, text)


def _parse_index(path: str, text: bytes) -> Dict[str, Any]:
    try:
        index: Any = json.loads(text)
    except (ValueError, RecursionError) as error:
        raise FileError(path, f"index is not JSON: {error}") from None
    weight_map = index.get("weight_map") if isinstance(index, dict) else None
    if not isinstance(weight_map, dict) or not all(isinstance(v, str) for v in weight_map.values()):
        raise FileError(path, "index has no weight_map of tensor names to file names")
    return {"weight_map": weight_map, "metadata": index.get("metadata")}


def _weight_map(path: str) -> Dict[str, str]:
    weight_map: Dict[str, str] = _read_index(path)["weight_map"]
    return weight_map


def _safetensors_set(folder: str, index_name: str, index: Optional[Dict[str, Any]] = None) -> ModelSet:
    index_path = member_location(folder, index_name)
    if index is None:
        index = _read_index(index_path)
    weight_map: Dict[str, str] = index["weight_map"]
    index_member = Member(index_name, index_path, role="index")
    found = ModelSet("SafeTensors", folder, [], index=index_member)
    shards = list(dict.fromkeys(weight_map.values()))
    numbered = {name: _numbered(name) for name in shards}
    def order(name: str) -> Tuple[int, int, str]:
        match = numbered[name]
        return (0, int(match["number"]), name) if match else (1, 0, name)

    shards.sort(key=order)
    for name in shards:
        why = unsafe_name(name)
        if why is not None:
            found.problems.append(f"unsafe member name {json.dumps(name)} in the index: {why}")
            continue
        match = numbered[name]
        found.members.append(Member(name, member_location(folder, name),
                                    number=int(match["number"]) if match else None))
    found.problems += _numbering(found.members, [numbered[m.uri] for m in found.members])
    metadata = index["metadata"]
    index_member.facts = {"weight_map": weight_map,
                          "total_size": metadata.get("total_size") if isinstance(metadata, dict) else None}
    return found


def _numbered_set(folder: str, match: "re.Match[str]", kind: str) -> ModelSet:
    prefix, suffix, count = match["prefix"], match["suffix"], int(match["count"])
    if count > MAX_MEMBERS:
        raise FileError(os.path.join(folder, match.string), f"numbered as one of {count} files, more than "
                                                            f"{MAX_MEMBERS} members")
    width = len(match["count"])
    found = ModelSet(kind, folder, [])
    for number in range(1, count + 1):
        name = f"{prefix}-{number:0{width}d}-of-{match['count']}.{suffix}"
        found.members.append(Member(name, member_location(folder, name), number=number))
    if count == 0:
        found.problems.append(f"{match.string}: numbered as one of 0 files")
    return found


def _open(url: str, headers: Optional[Mapping[str, str]], window: int) -> Any:
    import quillon_remote

    if not url.lower().startswith(("http://", "https://")):
        headers = None
    return quillon_remote.open_source(url, headers=headers, first=(0, window))


def _remote_index(folder: str, name: str, headers: Optional[Mapping[str, str]]) -> ModelSet:
    """The set of the index `name` in `folder`, a URL, read in one request:
    the first window is the largest index accepted, of which the server
    sends what there is."""
    url = member_location(folder, name)
    with about(url), _open(url, headers, MAX_INDEX_SIZE) as source:
        if source.size > MAX_INDEX_SIZE:
            raise FileError(url, f"index larger than {MAX_INDEX_SIZE // (1024 * 1024)} MiB")
        text = source.read(0, source.size)
    found = _safetensors_set(folder, name, _parse_index(url, text))
    assert found.index is not None
    found.index.size = len(text)
    return found


def _remote_set(url: str, headers: Optional[Mapping[str, str]]) -> ModelSet:
    folder, name = _split_url(url)
    if unsafe_name(name) is not None:
        raise FileError(url, "not a member's name")
    numbered = _numbered(name)
    found: ModelSet
    if name.endswith(INDEX_SUFFIX):
        found = _remote_index(folder, name, headers)
    elif numbered:
        found = _numbered_set(folder, numbered, "SafeTensors" if numbered["suffix"] == "safetensors" else "GGUF")
        if numbered["suffix"] == "safetensors":
            # The hub names the index of `model-00001-of-00003.safetensors`
            # `model.safetensors.index.json`; without one the names make the set.
            index = numbered["prefix"] + INDEX_SUFFIX
            try:
                found = _remote_index(folder, index, headers)
            except FileError as error:
                if not isinstance(error.__cause__, FileNotFoundError):
                    raise
    else:
        kind = "ONNX" if name.endswith(".onnx") else "GGUF" if name.endswith(".gguf") else "SafeTensors"
        found = ModelSet(kind, folder, [Member(name, member_location(folder, name))])
    found.headers = headers
    return found


def _numbering(members: List[Member], matches: List[Optional[re.Match[str]]]) -> List[str]:
    """What is wrong with the numbers in the names of a set's members."""
    if not any(matches):
        return []
    problems = []
    counts = {int(m["count"]) for m in matches if m}
    if any(m is None for m in matches):
        problems.append("some members are numbered -NNNNN-of-NNNNN and others are not")
    if len(counts) > 1:
        problems.append(f"members claim different counts: {', '.join(map(str, sorted(counts)))}")
    numbers = [int(m["number"]) for m in matches if m]
    if counts and len(counts) == 1:
        count = counts.pop()
        expected = list(range(1, count + 1))
        if sorted(numbers) != expected:
            absent = sorted(set(expected) - set(numbers))
            if absent:
                problems.append(f"members numbered {', '.join(map(str, absent))} of {count} are not named")
            if len(set(numbers)) != len(numbers) or any(n < 1 or n > count for n in numbers):
                problems.append(f"member numbers do not run from 1 to {count} once each")
    return problems


# ---- reading the members ------------------------------------------------------

def _read_remote_member(member: Member, headers: Optional[Mapping[str, str]]) -> Member:
    """`_read_member` for a member at a URL: its size, facts and C2PA state
    from one source, so from the first request when the metadata fits its
    window (a data file's first request asks for one byte)."""
    import quillon_remote

    window = quillon_remote.PARSE_WINDOW if member.role == "model" else 1
    try:
        with _open(member.path, headers, window) as source:
            member.size = source.size
            if member.role == "model":
                member.facts = quillon_files.set_facts(source)
                member.c2pa = quillon_files.describe(source)
    except FileNotFoundError:
        member.error = "missing"
    except ValueError as error:
        member.error = f"not a model: {error}"
    except (OSError, ImportError) as error:
        member.error = getattr(error, "strerror", None) or str(error)
    return member


def _read_member(member: Member, headers: Optional[Mapping[str, str]] = None) -> Member:
    if is_url(member.path):
        return _read_remote_member(member, headers)
    try:
        status = os.stat(member.path)
        if not stat.S_ISREG(status.st_mode):
            member.error = "not a regular file"
            return member
        member.size = status.st_size
    except FileNotFoundError:
        member.error = "missing"
        return member
    except OSError as error:
        member.error = error.strerror or str(error)
        return member
    if member.role != "model":
        return member
    try:
        member.facts = quillon_files.set_facts(member.path)
        member.c2pa = quillon_files.describe(member.path)
    except ValueError as error:
        member.error = f"not a model: {error}"
    except OSError as error:
        member.error = error.strerror or str(error)
    return member


def _onnx_data(found: ModelSet) -> None:
    """Adds the external data files the ONNX model names, in order of first
    mention, and the problems of their names and extents."""
    model = found.members[0]
    if not model.facts:
        return
    seen: Dict[str, int] = {}
    for entry in model.facts["external_data"]:
        location = entry["location"]
        why = unsafe_name(location)
        if why is not None:
            found.problems.append(f"unsafe external data location {json.dumps(location)} of tensor "
                                  f"{json.dumps(entry['tensor'])}: {why}")
            continue
        end = entry["offset"] + (entry["length"] or 0)
        seen[location] = max(seen.get(location, 0), end)
    data = [Member(location, found.path_of(location), role="data") for location in seen]
    found.members += data
    for member in _parallel(lambda m: _read_member(m, found.headers), data, min(len(data), REMOTE_JOBS)):
        if member.size is not None and member.size < seen[member.uri]:
            found.problems.append(f"{member.uri}: {member.size} bytes, but tensors lie up to byte {seen[member.uri]}")


def _strays(found: ModelSet) -> List[str]:
    if found.remote:
        return []
    named = {m.uri for m in found.files()}
    suffix = ".gguf" if found.kind == "GGUF" else ".safetensors" if found.kind == "SafeTensors" else None
    if suffix is None:
        return []
    return [name for name in _listing(found.folder) if name.endswith(suffix) and name not in named]


def _shown(tensors: List[str]) -> str:
    more = len(tensors) - _SHOWN_TENSORS
    return ", ".join(tensors[:_SHOWN_TENSORS]) + (f" and {more} more" if more > 0 else "")


def _safetensors_checks(found: ModelSet) -> List[str]:
    problems: List[str] = []
    read = [m for m in found.members if m.facts]
    # A tensor in two shards: a shard copied over another, or of another
    # version; with an index the placement check below says which.
    holder: Dict[str, str] = {}
    for member in read:
        twice = [t for t in member.facts["tensor_names"] if holder.setdefault(t, member.uri) != member.uri]
        if twice:
            problems.append(f"{member.uri}: holds tensors that other members hold too: {_shown(twice)}")
    index = found.index
    if index is None:
        return problems
    placed: Dict[str, List[str]] = {}
    for tensor, shard in index.facts["weight_map"].items():
        placed.setdefault(shard, []).append(tensor)
    for member in read:
        held = set(member.facts["tensor_names"])
        wanted = placed.get(member.uri, [])
        absent = [t for t in wanted if t not in held]
        extra = sorted(held.difference(wanted))
        if absent:
            problems.append(f"{member.uri}: does not hold {len(absent)} tensors the index places there: "
                            f"{_shown(absent)}")
        if extra:
            problems.append(f"{member.uri}: holds tensors the index does not place there: {_shown(extra)}")
    total = index.facts["total_size"]
    if total is not None and len(read) == len(found.members):
        data = sum(m.facts["tensor_bytes"] for m in read)
        if not isinstance(total, int) or total != data:
            problems.append(f"index total_size {json.dumps(total)} differs from the {data} tensor bytes of the members")
    return problems


def _gguf_checks(found: ModelSet) -> List[str]:
    problems = []
    count = len(found.members)
    read = [m for m in found.members if m.facts]
    for member in read:
        facts = member.facts
        if facts["split_no"] is None or facts["split_count"] is None:
            if count > 1 or member.number is not None:
                problems.append(f"{member.uri}: no split.no and split.count")
            continue
        if facts["split_count"] != count:
            problems.append(f"{member.uri}: split.count is {facts['split_count']}, the names say {count}")
        if member.number is not None and facts["split_no"] != member.number - 1:
            problems.append(f"{member.uri}: split.no is {facts['split_no']}, the name says {member.number - 1}")
    if len(read) == count:
        total = sum(m.facts["tensor_count"] for m in read)
        for member in read:
            declared = member.facts["split_tensors_count"]
            if declared is not None and declared != total:
                problems.append(f"{member.uri}: split.tensors.count is {declared}, the splits hold {total} tensors")
    return problems


def _c2pa_checks(models: List[Member]) -> List[str]:
    """Members whose C2PA data differ from the most common state."""
    read = [m for m in models if m.c2pa]
    states = [(m.c2pa["store_size"], m.c2pa["uri"]) for m in read]
    if len(set(states)) <= 1:
        return []
    common = max(set(states), key=lambda state: (states.count(state), state[0] is not None))

    def said(state: Tuple[Optional[int], Optional[str]]) -> str:
        store = "no store" if state[0] is None else f"a store of {state[0]} bytes"
        return store + ("" if state[1] is None else f" and URI {json.dumps(state[1])}")

    return [f"{m.uri}: C2PA data differ from the other members': {said(s)} where they have {said(common)}"
            for m, s in zip(read, states) if s != common]


def set_info(path: str, jobs: int = 4, headers: Optional[Mapping[str, str]] = None) -> ModelSet:
    """The set `path` belongs to, its members read and its problems found.
    A remote set's members are read one per thread (up to REMOTE_JOBS)."""
    found = find_set(path, headers)
    # A remote index was read whole to find the set.
    files = found.members if found.remote else found.files()
    if found.remote:
        jobs = min(len(files), REMOTE_JOBS)
    _parallel(lambda m: _read_member(m, found.headers), files, jobs)
    if found.kind == "ONNX":
        _onnx_data(found)
    for member in found.files():
        if member.error is not None:
            found.problems.append(f"{member.uri}: {member.error}")
        elif member.facts and member.role == "model" and member.facts["format"] != found.kind:
            found.problems.append(f"{member.uri}: a {member.facts['format']} model in a {found.kind} set")
    if found.kind == "SafeTensors":
        found.problems += _safetensors_checks(found)
    elif found.kind == "GGUF":
        found.problems += _gguf_checks(found)
    found.problems += _c2pa_checks([m for m in found.members if m.role == "model"])
    found.strays = _strays(found)
    found.leftovers = _leftovers(found)
    return found


def as_json(found: ModelSet) -> Dict[str, Any]:
    def member(m: Member) -> Dict[str, Any]:
        c2pa = m.c2pa
        return {"uri": m.uri, "role": m.role, "size": m.size, "format": m.facts.get("format"),
                "store_size": c2pa.get("store_size"), "manifest_uri": c2pa.get("uri"), "error": m.error}

    return {"kind": found.kind, "folder": found.folder, "members": [member(m) for m in found.files()],
            "strays": found.strays, "leftovers": found.leftovers, "problems": found.problems, "broken": bool(found.problems)}


def info_lines(found: ModelSet) -> Iterable[str]:
    yield f"{found.kind} set in {found.folder}: {len(found.members)} members"
    for m in found.files():
        size = "missing" if m.size is None else f"{m.size} bytes"
        if m.c2pa:
            store = "no store" if m.c2pa["store_size"] is None else f"store {m.c2pa['store_size']} bytes"
            uri = "uri none" if m.c2pa["uri"] is None else f"uri {json.dumps(m.c2pa['uri'], ensure_ascii=False)}"
            c2pa = f"  {store}  {uri}"
        else:
            c2pa = "" if m.role == "model" else f"  ({m.role})"
        yield f"  {m.uri}  {size}{c2pa}"
    for name in found.strays:
        yield f"not in the set: {name}"
    for name in found.leftovers:
        yield f"left by an interrupted set embed or remove: {name}"
    for problem in found.problems:
        yield f"problem: {problem}"


# ---- the collection data hash ------------------------------------------------

def hash_file(path: str, algorithm: str, chunk: int = HASH_CHUNK) -> Tuple[int, bytes]:
    """The size and digest of the file at `path`, read in `chunk`-sized
    steps into one reused buffer."""
    digest = hashlib.new(algorithm)
    buffer = bytearray(chunk)
    view = memoryview(buffer)
    size = 0
    with open(_open_regular(path), "rb", buffering=0) as file:
        while True:
            got = file.readinto(buffer)
            if not got:
                break
            digest.update(view[:got])
            size += got
    return size, digest.digest()


def collection_hash(found: ModelSet, algorithm: str = "sha256", jobs: int = 4) -> Dict[str, Any]:
    """The inputs of a collection data hash over the set's files: per file
    its URI, size and Base64 hash. A set with problems is refused."""
    files = found.files()

    def one(member: Member) -> Dict[str, Any]:
        with about(member.path):
            size, digest = hash_file(member.path, algorithm)
        return {"uri": member.uri, "size": size, "hash": base64.b64encode(digest).decode("ascii")}

    return {"alg": algorithm, "uris": _parallel(one, files, jobs)}


# ---- rewriting every member: `set embed`, `set remove` ----------------------------

def temporary_name(path: str) -> str:
    """A fresh hidden name beside the member `path` for its new version."""
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}{TEMPORARY_MARK}{secrets.token_hex(4)}")


def _leftovers(found: ModelSet) -> List[str]:
    """Temporaries of the set's members that an interrupted rewrite left."""
    if found.remote:
        return []
    marks = tuple(f".{os.path.basename(m.path)}{TEMPORARY_MARK}" for m in found.members if m.role == "model")
    folders = sorted({os.path.dirname(m.path) for m in found.members if m.role == "model"})
    left = []
    for folder in folders:
        try:
            names = _listing(folder)
        except FileError:
            continue
        left += [os.path.relpath(os.path.join(folder, n), found.folder).replace(os.sep, "/")
                 for n in names if n.startswith(marks)]
    return left


def _identity(path: str) -> Tuple[int, int, int, int]:
    status = os.stat(path)
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _sync_folder(folder: str) -> None:
    descriptor = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _write_alone(member: Member, temporary: str, write: Callable[[Member, str], None]) -> None:
    """Writes the member's new version to `temporary` where the file system
    refuses a second name for it: the new file gets the member's permission
    bits, and its owner where the process may set it, but never a set-ID bit
    (the owner may differ) nor the member's ACL, which the file systems that
    refuse hard links do not have."""
    write(member, temporary)
    status = os.stat(member.path)
    os.chmod(temporary, stat.S_IMODE(status.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))
    if hasattr(os, "chown") and os.geteuid() == 0:
        os.chown(temporary, status.st_uid, status.st_gid)


def rewrite_set(found: ModelSet, write: Callable[[Member, str], None], jobs: int = 4) -> List[Member]:
    """Rewrites every model member of the local set `found` with
    `write(member, temporary)`, which writes the member's new version to
    `temporary`, on `jobs` threads. Every new version is written beside its
    member first and given the member's owner, mode, ACL and attributes;
    only when all are
    written, and no member changed meanwhile, are they renamed over the
    members and the folders synced. A failure or an interruption (Ctrl-C)
    before the renames leaves every member as it was and removes every
    temporary; a crash between the renames leaves some members new and some
    old (which `set info` reports as C2PA data that differ) and the
    remaining temporaries (listed by `set info`). The index and ONNX
    external data are not rewritten. Returns the members rewritten."""
    if found.remote:
        raise FileError(found.folder, "a set at a URL cannot be rewritten")
    blocking = [p for p in found.problems if "C2PA data differ" not in p]
    if blocking:
        raise FileError(found.folder, f"the set has problems: {'; '.join(blocking)}")
    models = [m for m in found.members if m.role == "model"]
    before = {m.path: _identity(m.path) for m in models}
    temporaries: Dict[str, str] = {}
    lock = threading.Lock()

    def one(member: Member) -> None:
        temporary = temporary_name(member.path)
        with lock:
            temporaries[member.path] = temporary
        with about(member.path):
            try:
                # The temporary starts as a second name of the member, so that
                # the write replaces it as it replaces a file in place: the new
                # version takes the member's owner, mode, ACL and extended
                # attributes by the engine's rules, and the member is untouched.
                os.link(member.path, temporary)
            except OSError:
                _write_alone(member, temporary, write)
                return
            write(member, temporary)
            if os.path.samefile(member.path, temporary):
                raise FileError(member.path, "its new version was not written")

    pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(jobs, len(models))))
    futures = [pool.submit(one, member) for member in models]
    try:
        for future in futures:
            future.result()
        for member in models:
            with about(member.path):
                if _identity(member.path) != before[member.path]:
                    raise FileError(member.path, "changed while the set was being rewritten; nothing was replaced")
    except BaseException:
        for future in futures:
            future.cancel()
        pool.shutdown(wait=True)
        for temporary in temporaries.values():
            _remove_quietly(temporary)
        raise
    pool.shutdown(wait=True)
    renamed = 0
    try:
        for member in models:
            with about(member.path):
                os.replace(temporaries[member.path], member.path)
            renamed += 1
    finally:
        for member in models[renamed:]:
            _remove_quietly(temporaries[member.path])
        for folder in sorted({os.path.dirname(m.path) for m in models}):
            with about(folder):
                _sync_folder(folder)
    return models


def _store_of(args: Any, member: Member, stores: Dict[str, bytes]) -> Optional[bytes]:
    if args.store is not None:
        return stores[args.store]
    if args.store_dir is not None:
        return stores[os.path.join(args.store_dir, *member.uri.split("/")) + ".c2pa"]
    return None


def run_rewrite(args: Any) -> int:
    """`quillon set embed PATH` and `quillon set remove PATH`: every model
    member rewritten, all or none (see `rewrite_set`)."""
    if is_url(args.path):
        raise FileError(args.path, "a set at a URL cannot be rewritten")
    found = set_info(args.path, args.jobs)
    models = [m for m in found.members if m.role == "model"]
    embed = args.action == "embed"
    stores: Dict[str, bytes] = {}
    if embed:
        if args.store is None and args.store_dir is None and args.uri is None:
            raise FileError(args.path, "at least one of --store, --store-dir and --uri is required")
        if args.uri is not None and not is_text(args.uri):
            raise FileError(args.path, "--uri: not valid UTF-8 text")
        # Every store is read before any member is written.
        wanted = [args.store] if args.store is not None else \
            [os.path.join(args.store_dir, *m.uri.split("/")) + ".c2pa" for m in models] if args.store_dir else []
        for path in wanted:
            with about(path), open(path, "rb") as file:
                stores[path] = file.read()

    def write(member: Member, temporary: str) -> None:
        if not embed:
            quillon_files.remove_manifest(member.path, output=temporary)
            return
        store = _store_of(args, member, stores)
        if store is not None and args.uri is not None:
            quillon_files.embed_manifest_both(member.path, args.uri, store, output=temporary)
        elif store is not None:
            quillon_files.embed_manifest(member.path, store, output=temporary)
        else:
            quillon_files.embed_manifest_remote(member.path, args.uri, output=temporary)

    done = rewrite_set(found, write, args.jobs)
    for member in done:
        print(f"{'stamped' if embed else 'cleared'} {member.uri}")
    return 0


# ---- the `quillon set` subcommands ----------------------------------------------

def run_info(args: Any) -> int:
    """`quillon set info PATH`: 1 when the set is broken."""
    found = set_info(args.path, args.jobs, headers_of(args))
    if args.json:
        print(json.dumps(as_json(found), indent=2, ensure_ascii=False))
    else:
        for line in info_lines(found):
            print(line)
    return 1 if found.problems else 0


def run_hash(args: Any) -> int:
    """`quillon set hash PATH`: the collection hash's inputs as JSON, or the
    set's problems on standard error and status 1. The hash reads every
    byte of every member, so a remote set is refused: fetch it first."""
    if is_url(args.path):
        raise FileError(args.path, "set hash reads every byte of the set: download it and hash the local copy")
    found = set_info(args.path, args.jobs)
    if found.problems:
        for problem in found.problems:
            print(f"quillon: {args.path}: {problem}", file=sys.stderr)
        return 1
    print(json.dumps(collection_hash(found, args.alg, args.jobs), indent=2, ensure_ascii=False))
    return 0

"""How a model rewritten by quillon becomes the parts of an S3 multipart upload.

An embed, a removal or a patch changes only a model's metadata: the new model
is a list of pieces in file order, each either new ``bytes`` or an
``(offset, length)`` range of the original carried over. S3 builds an object
from parts, and a part can be a range of an existing object copied on the
server (UploadPartCopy), so the ranges need not cross the network. S3's rules
shape the parts: each is at most 5 GiB, all but the last are at least 5 MiB,
and an upload has at most 10,000 of them.

`plan_parts` is pure: it sees sizes and ranges, never a connection. New bytes
go up in an uploaded part, which takes along enough of the neighbouring
original bytes (read by the client with a ranged GET) to reach 5 MiB; the
ranges between such parts are copied on the server. The client so moves a
few MiB per new piece, whatever the model's size. A result under 5 MiB is a
single plain upload.
"""

from __future__ import annotations

from typing import List, NamedTuple, Sequence, Tuple, Union

__all__ = ["MIN_PART", "MAX_PART", "MAX_PARTS", "COPY_PART", "Piece", "Part", "Plan", "plan_parts",
           "piece_length"]

MIB = 1 << 20
MIN_PART = 5 * MIB
MAX_PART = 5 * 1024 * MIB
MAX_PARTS = 10_000
# The size server-side copies are cut to first: small enough that several
# run at once and that a failed one costs little to try again, large enough
# that a model of a few hundred GiB stays far below MAX_PARTS. Larger models
# get larger copies (see plan_parts).
COPY_PART = 512 * MIB

# New bytes, or (offset, length) of the original model.
Piece = Union[bytes, Tuple[int, int]]


class Part(NamedTuple):
    """One part of the upload, numbered from 1. A copied part is one range of
    the original (`copy` true, `pieces` a single range); an uploaded part is
    sent by the client: its new bytes with the original ranges it reads."""

    number: int
    copy: bool
    pieces: Tuple[Piece, ...]
    size: int

    @property
    def read(self) -> int:
        """Bytes of the original the client reads to send this part."""
        if self.copy:
            return 0
        return sum(piece[1] for piece in self.pieces if isinstance(piece, tuple))


class Plan(NamedTuple):
    """The parts in order and the size of the result. `single` marks a
    result under MIN_PART, sent as one plain upload (its one part)."""

    parts: Tuple[Part, ...]
    size: int
    single: bool


def piece_length(piece: Piece) -> int:
    return piece[1] if isinstance(piece, tuple) else len(piece)


def _normalized(pieces: Sequence[Piece], source_size: int | None) -> List[Piece]:
    """The pieces checked, without empty ones, with ranges that follow each
    other in the original joined into one."""
    result: List[Piece] = []
    for piece in pieces:
        if isinstance(piece, (bytes, bytearray, memoryview)):
            data = bytes(piece)
            if data:
                result.append(data)
            continue
        if (not isinstance(piece, tuple) or len(piece) != 2
                or not all(isinstance(value, int) and not isinstance(value, bool) for value in piece)):
            raise TypeError(f"a piece is bytes or an (offset, length) tuple, not {piece!r}")
        offset, length = piece
        if offset < 0 or length < 0:
            raise ValueError(f"negative offset or length in the piece {piece!r}")
        if source_size is not None and (offset > source_size or length > source_size - offset):
            raise ValueError(f"the piece {piece!r} lies past the end of the model ({source_size} bytes)")
        if length == 0:
            continue
        last = result[-1] if result else None
        if isinstance(last, tuple) and last[0] + last[1] == offset:
            result[-1] = (last[0], last[1] + length)
        else:
            result.append((offset, length))
    return result


def _split(pieces: List[Piece], size: int) -> Tuple[List[Piece], List[Piece]]:
    """The first `size` bytes of `pieces`, and the rest."""
    head: List[Piece] = []
    for index, piece in enumerate(pieces):
        length = piece_length(piece)
        if length <= size:
            head.append(piece)
            size -= length
            if size == 0:
                return head, pieces[index + 1:]
            continue
        if isinstance(piece, tuple):
            first: Piece = (piece[0], size)
            rest: Piece = (piece[0] + size, piece[1] - size)
        else:
            first, rest = piece[:size], piece[size:]
        return head + [first], [rest] + pieces[index + 1:]
    return head, []


def _cut(pieces: List[Piece], copy_size: int) -> List[Tuple[bool, List[Piece], int]]:
    """(copy, pieces, size) of each part, copies at most `copy_size` long."""
    parts: List[Tuple[bool, List[Piece], int]] = []
    pending: List[Piece] = []  # what the next uploaded part holds so far
    pending_size = 0

    def flush() -> None:
        nonlocal pending, pending_size
        parts.append((False, pending, pending_size))
        pending, pending_size = [], 0

    for index, piece in enumerate(pieces):
        if not isinstance(piece, tuple):
            pending.append(piece)
            pending_size += len(piece)
            while pending_size > MAX_PART:  # new bytes beyond one part's limit
                head, pending = _split(pending, MAX_PART)
                parts.append((False, head, MAX_PART))
                pending_size -= MAX_PART
            continue
        offset, length = piece
        if pending:
            need = MIN_PART - pending_size
            if need >= length or length - need < MIN_PART:
                # What would remain of the range is too short to be a part of
                # its own: the uploaded part takes all of it.
                pending.append(piece)
                pending_size += length
                continue
            if need > 0:
                pending.append((offset, need))
                pending_size += need
                offset, length = offset + need, length - need
            flush()
        if length < MIN_PART and index != len(pieces) - 1:
            pending, pending_size = [(offset, length)], length
            continue
        count = max(-(-length // copy_size), 1)
        for number in range(count):
            size = length // count + (1 if number < length % count else 0)
            parts.append((True, [(offset, size)], size))
            offset += size
    if pending:
        flush()
    return parts


def plan_parts(pieces: Sequence[Piece], *, source_size: int | None = None, copy_size: int = COPY_PART) -> Plan:
    """The parts that build the model made of `pieces` (see the module).

    `source_size`, when given, is the original's size, which every range
    must lie within. Copies are `copy_size` long at first and grow (up to
    MAX_PART) until the upload fits in MAX_PARTS parts; a result that cannot
    raises ValueError, as does a range past the end; a piece of another type
    raises TypeError.
    """
    if not MIN_PART <= copy_size <= MAX_PART:
        raise ValueError(f"copy_size must lie between {MIN_PART} and {MAX_PART}")
    normalized = _normalized(pieces, source_size)
    total = sum(piece_length(piece) for piece in normalized)
    if total < MIN_PART:
        return Plan((Part(1, False, tuple(normalized), total),), total, True)
    while True:
        cut = _cut(normalized, copy_size)
        if len(cut) <= MAX_PARTS:
            parts = tuple(Part(number, copy, tuple(content), size)
                          for number, (copy, content, size) in enumerate(cut, start=1))
            return Plan(parts, total, False)
        if copy_size == MAX_PART:
            raise ValueError(f"a result of {total} bytes in these pieces needs more than {MAX_PARTS} parts")
        copy_size = min(copy_size * 2, MAX_PART)

"""quillon_remote.multipart: the parts of an S3 multipart upload planned from
a model's pieces, on sizes alone (no data, no connection)."""

import pytest

from quillon_remote.multipart import COPY_PART, MAX_PART, MAX_PARTS, MIN_PART as M, plan_parts

from models import GIB

TIB = 1024 * GIB


def joined(pieces):
    """The pieces without empty ones, adjacent ranges and bytes run together:
    two lists that join alike describe the same model."""
    out = []
    for piece in pieces:
        if not (piece[1] if isinstance(piece, tuple) else len(piece)):
            continue
        last = out[-1] if out else None
        if isinstance(piece, tuple) and isinstance(last, tuple) and sum(last) == piece[0]:
            out[-1] = (last[0], last[1] + piece[1])
        elif isinstance(piece, bytes) and isinstance(last, bytes):
            out[-1] = last + piece
        else:
            out.append(piece)
    return out


def check(plan, pieces):
    """S3's rules hold and the parts, in order, are the pieces."""
    parts = plan.parts
    assert [part.number for part in parts] == list(range(1, len(parts) + 1)) and len(parts) <= MAX_PARTS
    assert all(M <= part.size <= MAX_PART for part in parts[:-1]) and parts[-1].size <= MAX_PART
    assert all(len(part.pieces) == 1 and isinstance(part.pieces[0], tuple) for part in parts if part.copy)
    assert all(part.size == sum(p[1] if isinstance(p, tuple) else len(p) for p in part.pieces) for part in parts)
    assert joined([piece for part in parts for piece in part.pieces]) == joined(pieces)
    assert plan.size == sum(part.size for part in parts)


NEW = b"n" * 100
# pieces, the kinds of the parts (Copied, Uploaded; "1" for one plain upload),
# and the bytes of the original the client reads.
CASES = {
    "under a part": ([(0, M - 1)], "1", M - 1),
    "one part exactly": ([(0, M)], "C", 0),
    "one part and a byte": ([(0, M + 1)], "C", 0),
    "new bytes alone under a part": ([b"x" * (M - 1)], "1", 0),
    "new bytes alone, one part": ([b"x" * M], "U", 0),
    "empty and contiguous pieces merge": ([(0, 3), b"", (3, M - 4), (M - 1, 0)], "1", M - 1),
    "new at the start": ([NEW, (0, 20 * M)], "UC", M - 100),
    "new in the middle": ([(0, 10 * M), NEW, (10 * M, 10 * M)], "CUC", M - 100),
    "new at the end": ([(0, 20 * M), NEW], "CU", 0),
    "new just before a short tail": ([(0, 20 * M), NEW, (20 * M, 10)], "CU", 10),
    "a tail too short for a part of its own": ([NEW, (0, M + 50)], "U", M + 50),
    "a tail just long enough": ([NEW, (0, 2 * M - 100)], "UC", M - 100),
    "new pieces close together": ([(0, 10 * M), b"a", (10 * M, 1000), b"b", (10 * M + 1000, 1000), b"c",
                                   (10 * M + 2000, 10 * M)], "CUC", M - 3),
    "new pieces a part apart": ([NEW, (0, 3 * M), NEW, (3 * M, 3 * M), NEW], "UCUCU", 2 * (M - 100)),
    "a short range between two removed spans": ([(0, 100), (200, 20 * M)], "UC", M),
    "new bytes over a part": ([(0, 10 * M), b"x" * (M + 7), (10 * M, 10 * M)], "CUC", 0),
    "5 GiB in copies": ([(0, MAX_PART)], "C" * (MAX_PART // COPY_PART), 0),
}


@pytest.mark.parametrize("pieces, kinds, read", CASES.values(), ids=CASES)
def test_parts(pieces, kinds, read):
    plan = plan_parts(pieces, source_size=30 * GIB)
    check(plan, pieces)
    assert plan.single == (kinds == "1")
    assert "".join("1" if plan.single else "C" if part.copy else "U" for part in plan.parts) == kinds
    assert sum(part.read for part in plan.parts) == read


@pytest.mark.parametrize("size, copy_size, count", [
    (MAX_PART, MAX_PART, 1),
    (MAX_PART + 1, MAX_PART, 2),
    (MAX_PART - 1, MAX_PART, 1),
    (COPY_PART * 3 + 1, COPY_PART, 4),
    # 5 TiB (S3's largest object) in 512 MiB copies would be 10,240 parts:
    # the copies grow to 1 GiB.
    (5 * TIB, COPY_PART, 5 * 1024),
])
def test_copies_stay_within_the_limits(size, copy_size, count):
    plan = plan_parts([(0, size)], copy_size=copy_size)
    check(plan, [(0, size)])
    assert len(plan.parts) == count and all(part.copy for part in plan.parts)


def test_more_parts_than_s3_allows():
    # Each new piece takes a part with the copy after it: 5,001 of them need 10,002.
    pieces = [piece for index in range(5001) for piece in (b"x", (3 * M * index, 3 * M))]
    with pytest.raises(ValueError, match="needs more than 10000 parts"):
        plan_parts(pieces)
    check(plan_parts(pieces[:-4]), pieces[:-4])


@pytest.mark.parametrize("pieces, error", [
    ([("a", 1)], TypeError),
    ([(0, 1, 2)], TypeError),
    ([(True, 1)], TypeError),
    (["text"], TypeError),
    ([(-1, 5)], ValueError),
    ([(0, -5)], ValueError),
    ([(0, 10 * GIB)], ValueError),
    ([(10 * GIB, 0)], ValueError),
])
def test_pieces_that_are_not(pieces, error):
    with pytest.raises(error):
        plan_parts(pieces, source_size=GIB)

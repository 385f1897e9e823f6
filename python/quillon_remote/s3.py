"""A model rewritten in S3 without downloading it: the parts that
`multipart.plan_parts` plans, run as one multipart upload through the
botocore client of s3fs.

Copied parts are UploadPartCopy requests whose CopySourceIfMatch is the ETag
the plan was read against (or whose CopySource names the version, in a
versioned file system), so a model replaced meanwhile fails the upload with
ObjectChanged instead of mixing two versions; a HEAD with the same condition
before completion catches servers that ignore the copy's condition. Onto the
model's own key, the completion (or the plain upload) carries IfMatch too:
a version written by someone else meanwhile is never overwritten. Uploaded parts are read by the
client through the same pinned source. A few parts run at once on s3fs's
event loop, while the calling thread waits, reads the bytes of the next
uploaded part and reports progress; an exception there (a progress callback
that cancels, KeyboardInterrupt) stops the parts in flight, and every failure
aborts the upload, so no part is left behind to be billed. S3 replaces an
object only when the upload completes, so a compose onto the model's own key
is an in-place rewrite that readers see whole or not at all.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import errno
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

from quillon_remote import ObjectChanged, Source, _precondition_failed
from quillon_remote.multipart import Part, Plan

__all__ = ["compose", "JOBS"]

# Parts in flight at once: enough to keep a copy of a large model busy on
# the server's side, few enough that the uploaded parts held in memory stay
# a few tens of MiB.
JOBS = 4
# Seconds between progress reports while parts are in flight: a cancelling
# callback (the command's stopping signals) is heard at least this often.
POLL = 0.1
# Seconds a part cancelled after a failure may take to end before the
# upload is aborted anyway.
CANCEL_WAIT = 30.0

Progress = Optional[Callable[[int, int], None]]


def _sync(fs: Any, method: str, **arguments: Any) -> Dict[str, Any]:
    from fsspec.asyn import sync  # type: ignore[import-untyped, import-not-found, unused-ignore]

    result: Dict[str, Any] = sync(fs.loop, fs._call_s3, method, **arguments)
    return result


def _failure(error: Exception, name: str, source: str) -> OSError:
    """An S3 error as the OSError to raise: ObjectChanged (naming the model)
    for a copy refused for its ETag, else an OSError naming `name`."""
    if isinstance(error, ObjectChanged):
        return error
    if _precondition_failed(error):
        return ObjectChanged(source)
    if isinstance(error, OSError):
        return type(error)(error.errno or errno.EIO, error.strerror or str(error), name)
    return OSError(errno.EIO, f"{type(error).__name__}: {error}", name)


class _Upload:
    """One multipart upload to `bucket`/`key`, made of copies of `origin`
    (bucket, key, version or None) pinned to `etag`."""

    def __init__(self, fs: Any, source: Source, origin: Tuple[str, str, Optional[str]], etag: Optional[str],
                 bucket: str, key: str, name: str) -> None:
        self.fs, self.source, self.etag = fs, source, etag
        self.bucket, self.key, self.name = bucket, key, name
        self.copy_source: Dict[str, str] = {"Bucket": origin[0], "Key": origin[1]}
        if origin[2] is not None:
            self.copy_source["VersionId"] = origin[2]
        self.upload_id: Optional[str] = None
        # Onto the model's own key, the write itself is conditional on the
        # model being the version read: a newer one is never overwritten.
        in_place = (bucket, key) == origin[:2]
        self.condition: Dict[str, str] = {"IfMatch": etag} if in_place and etag is not None else {}

    def body(self, part: Part) -> bytes:
        """The bytes the client sends for an uploaded part."""
        return b"".join(piece if isinstance(piece, bytes) else self.source.read(*piece) for piece in part.pieces)

    async def send(self, part: Part, body: Optional[bytes]) -> str:
        """Copies the part (`body` None) or uploads `body`; its ETag."""
        if body is None:
            offset, length = part.pieces[0]
            arguments: Dict[str, Any] = {"CopySourceRange": f"bytes={offset}-{offset + length - 1}"}
            if self.etag is not None:
                arguments["CopySourceIfMatch"] = self.etag
            answer = await self.fs._call_s3("upload_part_copy", Bucket=self.bucket, Key=self.key,
                                            UploadId=self.upload_id, PartNumber=part.number,
                                            CopySource=self.copy_source, **arguments)
            return str(answer["CopyPartResult"]["ETag"])
        answer = await self.fs._call_s3("upload_part", Bucket=self.bucket, Key=self.key, UploadId=self.upload_id,
                                        PartNumber=part.number, Body=body)
        return str(answer["ETag"])

    async def tracked(self, part: Part, body: Optional[bytes], finished: threading.Event) -> str:
        try:
            return await self.send(part, body)
        finally:
            finished.set()

    def run(self, plan: Plan, progress: Progress, jobs: int) -> None:
        report = progress or (lambda done, total: None)
        report(0, plan.size)
        if plan.single:
            body = self.body(plan.parts[0])
            report(0, plan.size)  # a stop asked for while the body was read is heard before it is sent
            self._call("put_object", Bucket=self.bucket, Key=self.key, Body=body, **self.condition)
            report(plan.size, plan.size)
            return
        self.upload_id = str(self._call("create_multipart_upload", Bucket=self.bucket, Key=self.key)["UploadId"])
        try:
            etags = self._parts(plan, report, jobs)
            self._check_origin()
            report(plan.size, plan.size)
            self._call("complete_multipart_upload", Bucket=self.bucket, Key=self.key, UploadId=self.upload_id,
                       MultipartUpload={"Parts": [{"ETag": etag, "PartNumber": number}
                                                  for number, etag in sorted(etags.items())]},
                       **self.condition)
        except BaseException:
            self._abort()
            raise

    def _parts(self, plan: Plan, report: Callable[[int, int], None], jobs: int) -> Dict[int, str]:
        etags: Dict[int, str] = {}
        waiting = list(reversed(plan.parts))
        running: Dict[concurrent.futures.Future[str], Tuple[Part, threading.Event]] = {}
        done = 0
        try:
            while waiting or running:
                while waiting and len(running) < jobs:
                    part = waiting.pop()
                    body = None if part.copy else self.body(part)
                    finished = threading.Event()
                    future = asyncio.run_coroutine_threadsafe(self.tracked(part, body, finished), self.fs.loop)
                    running[future] = (part, finished)
                    report(done, plan.size)
                ready, _ = concurrent.futures.wait(running, timeout=POLL,
                                                   return_when=concurrent.futures.FIRST_COMPLETED)
                for future in ready:
                    part, _ = running.pop(future)
                    try:
                        etags[part.number] = future.result()
                    except Exception as error:
                        raise _failure(error, self.name, self.source.name) from error
                    done += part.size
                report(done, plan.size)
        finally:
            # On the way out by an exception: stop what is in flight, and let
            # it end before the upload is aborted (a part that lands after the
            # abort would be refused, not kept).
            for future in running:
                future.cancel()
            for _, finished in running.values():
                finished.wait(CANCEL_WAIT)
        return etags

    def _check_origin(self) -> None:
        """Fails when the model is no longer the version the copies were
        pinned to: S3 itself refuses such a copy, but S3-compatible servers
        that ignore CopySourceIfMatch (moto, some older stores) are caught
        here, once every part is in and before the object is replaced."""
        arguments: Dict[str, Any] = {"Bucket": self.copy_source["Bucket"], "Key": self.copy_source["Key"]}
        if self.condition:  # in place: the model's current version must still be the one read
            arguments.update(self.condition)
        elif "VersionId" in self.copy_source:
            arguments["VersionId"] = self.copy_source["VersionId"]
        elif self.etag is not None:
            arguments["IfMatch"] = self.etag
        else:
            return
        try:
            _sync(self.fs, "head_object", **arguments)
        except FileNotFoundError as error:
            raise ObjectChanged(self.source.name) from error
        except Exception as error:
            raise _failure(error, self.source.name, self.source.name) from error

    def _call(self, method: str, **arguments: Any) -> Dict[str, Any]:
        try:
            return _sync(self.fs, method, **arguments)
        except Exception as error:
            raise _failure(error, self.name, self.source.name) from error

    def _abort(self) -> None:
        """Aborts the upload, twice if a part still landed after the first
        abort; a failure to abort is not the error to report."""
        for _ in range(2):
            try:
                _sync(self.fs, "abort_multipart_upload", Bucket=self.bucket, Key=self.key, UploadId=self.upload_id)
                left = _sync(self.fs, "list_parts", Bucket=self.bucket, Key=self.key, UploadId=self.upload_id)
            except Exception:
                return  # NoSuchUpload: nothing is left
            if not left.get("Parts"):
                return


def compose(source: Source, fs: Any, origin: Tuple[str, str, Optional[str]], etag: Optional[str], destination: str,
            plan: Plan, progress: Progress = None, jobs: int = JOBS) -> None:
    """Builds the S3 object `destination` (an s3:// URL or bucket/key path of
    the s3fs file system `fs`) from `plan`, whose ranges are of the object
    `origin` = (bucket, key, version or None) that `source` reads, pinned to
    `etag`. `progress(done, total)` hears the bytes composed so far, from the
    calling thread; whatever it raises aborts the upload and is raised.
    Failures raise OSError naming `destination`, or ObjectChanged naming the
    model when it was replaced; the upload is aborted either way."""
    bucket, key, _ = fs.split_path(destination)
    if not key:
        raise IsADirectoryError(errno.EISDIR, "not an object", destination)
    _Upload(fs, source, origin, etag, bucket, key, destination).run(plan, progress, max(1, jobs))


def parts_left(fs: Any, bucket: str) -> List[Dict[str, Any]]:
    """The multipart uploads still open in `bucket`."""
    return list(_sync(fs, "list_multipart_uploads", Bucket=bucket).get("Uploads", []))

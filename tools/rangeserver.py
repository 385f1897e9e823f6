"""A loopback HTTP server of byte ranges, for the tests and the benchmarks of
remote reads: objects in memory or on disk (large sparse files too: they are
read piece by piece, never held), single ranges, ETag and Last-Modified with
If-Match, If-Unmodified-Since and If-Range, HEAD, redirects to another path
or another server, a delay per request to make round trips visible, a log of
every request, and switches for the faults a real server or network shows.

    with RangeServer() as server:
        server.put("/model.gguf", data)
        server.fault("ignore-range", path="/model.gguf", times=1)
        ... server.url("/model.gguf") ...
        [entry.range for entry in server.log]

Standard library only, not part of the wheel; the tests import it through
conftest.py (fixture `range_server`), the scripts by putting this folder on
sys.path like models.py.
"""

from __future__ import annotations

import email.utils
import hashlib
import http.server
import os
import re
import select
import socket
import ssl
import struct
import sys
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple, Union

CHUNK = 1 << 20
_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")

# The fault switches, each applied to the requests that match it:
#   "status"        answer `value` (401, 403, 404, 500, ...) with a short body
#   "ignore-range"  answer 200 with the whole object, as if Range were unknown
#   "416"           answer 416 Range Not Satisfiable (with "bytes */size")
#   "short"         a 206 whose Content-Length and body hold half the range
#                   that Content-Range declares
#   "cut"           right headers, then half the body and a closed connection
#   "reset"         close the connection with a TCP reset before any answer
#   "stall"         wait `value` seconds (or until the server stops) first
#   "total"         declare `value` as the total size in Content-Range
#   "length"        declare `value` as the Content-Length of the body
#   "range"         declare `value` ("bytes a-b/total") as the Content-Range
#   "ignore-match"  ignore If-Match, If-Unmodified-Since and If-Range
#   "change"        replace the object by `value` (bytes) before answering
#   "drop-validators" send neither ETag nor Last-Modified
#   "header"        add the header `value` (name, text) to the answer
FAULTS = {"status", "ignore-range", "416", "short", "cut", "reset", "stall", "total", "length", "range",
          "ignore-match", "change", "drop-validators", "header"}


@dataclass
class Entry:
    """One request as the server saw it and answered it."""

    method: str
    path: str
    target: str  # the request line's target: absolute through a proxy
    range: Optional[str]
    headers: Dict[str, str]  # names in lower case
    client: Tuple[str, int]  # the connection's address: equal for a kept-alive one
    status: int = 0
    sent: int = 0  # bytes of body
    done: threading.Event = field(default_factory=threading.Event)  # set when the answer is over


@dataclass
class Fault:
    kind: str
    path: Optional[str] = None  # None: every path
    skip: int = 0  # matching requests let through first
    times: Optional[int] = None  # None: every later matching request
    value: Any = None
    seen: int = 0


@dataclass
class Object:
    """An object's bytes (`data`) or a file's path (`file`), its size and validators."""

    data: Optional[bytes]
    file: Optional[Path]
    size: int
    etag: str
    modified: str
    version: int = 0

    def read(self, offset: int, length: int) -> bytes:
        if self.data is not None:
            return self.data[offset:offset + length]
        assert self.file is not None
        with open(self.file, "rb") as handle:
            handle.seek(offset)
            return handle.read(length)


@dataclass
class _Redirect:
    location: str
    status: int


class RangeServer(http.server.ThreadingHTTPServer):
    """The server, listening on `host` at a free port; `start` runs it in a
    thread, `stop` (or leaving the `with` block) ends it and every
    connection it holds. With `tls` (a server-side SSLContext) it speaks
    HTTPS. It also serves as a proxy for the tests: a request whose target
    is a whole URL is answered from its own objects, and CONNECT opens a
    tunnel to the host and port named."""

    daemon_threads = True
    # The listen backlog. socketserver's 5 drops the connections of more
    # clients than that arriving at once, which then wait a second for
    # their SYN to be sent again; servers of models take hundreds.
    request_queue_size = 128

    def __init__(self, host: str = "127.0.0.1", tls: Optional[ssl.SSLContext] = None) -> None:
        super().__init__((host, 0), _Handler)
        self.tls = tls
        self.objects: Dict[str, Object] = {}
        self.redirects: Dict[str, _Redirect] = {}
        self.faults: List[Fault] = []
        self.log: List[Entry] = []
        self.delay = 0.0  # seconds before each answer
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._versions = 0
        self._sockets: List[socket.socket] = []

    def get_request(self) -> Tuple[socket.socket, Tuple[str, int]]:
        request, address = super().get_request()
        with self.lock:
            self._sockets.append(request)
        return request, address

    @property
    def port(self) -> int:
        return int(self.server_address[1])

    def url(self, path: str, host: str = "127.0.0.1") -> str:
        """The URL of `path` on this server, by `host` (also "localhost", to
        stand for another host name of the same server)."""
        return f"{'https' if self.tls else 'http'}://{host}:{self.port}{path}"

    def finish_request(self, request: socket.socket, client_address: Tuple[str, int]) -> None:  # type: ignore[override]
        # The TLS handshake happens in the request's thread, so that a client
        # that never completes it holds up no one else.
        if self.tls is not None:
            request = self.tls.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def put(self, path: str, content: Union[bytes, os.PathLike[str]], etag: Optional[str] = None) -> Object:
        """Serves `content` (bytes, or the path of a file read at each
        request) at `path`; a new version each time, with a new ETag and
        Last-Modified, unless `etag` is given."""
        with self.lock:
            self._versions += 1
            if isinstance(content, (bytes, bytearray)):
                data: Optional[bytes] = bytes(content)
                file = None
                size = len(content)
                digest = hashlib.sha256(content).hexdigest()[:16]
            else:
                data, file = None, Path(content)
                size = file.stat().st_size
                digest = f"{size:x}"
            stamp = email.utils.formatdate(1_700_000_000 + self._versions, usegmt=True)
            entry = Object(data, file, size, etag or f'"{digest}-{self._versions}"', stamp, self._versions)
            self.objects[path] = entry
            return entry

    def redirect(self, path: str, location: str, status: int = 302) -> None:
        """Answers `path` with a redirect to `location` (a path or a URL)."""
        self.redirects[path] = _Redirect(location, status)

    def fault(self, kind: str, *, path: Optional[str] = None, skip: int = 0, times: Optional[int] = None,
              value: Any = None) -> Fault:
        """Turns on fault `kind` (see FAULTS) for the requests of `path` (or
        all), after `skip` matching requests, `times` times (or always)."""
        if kind not in FAULTS:
            raise ValueError(f"unknown fault {kind!r}")
        switch = Fault(kind, path, skip, times, value)
        with self.lock:
            self.faults.append(switch)
        return switch

    def requests(self, method: str = "GET") -> List[Entry]:
        with self.lock:
            return [entry for entry in self.log if entry.method == method]

    def handle_error(self, request: object, client_address: object) -> None:
        # A client that closes or resets its connection is one of the cases
        # under test, not the server's failure.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError, ssl.SSLError)):
            super().handle_error(request, client_address)  # type: ignore[arg-type]

    def start(self) -> RangeServer:
        self._thread = threading.Thread(target=self.serve_forever, args=(0.02,), name="range-server", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self.stopping.set()
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
        with self.lock:
            for request in self._sockets:
                try:
                    request.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self.server_close()

    def __enter__(self) -> RangeServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _active(self, path: str) -> Dict[str, Fault]:
        """The faults that apply to this request of `path`, by kind."""
        active = {}
        with self.lock:
            for switch in self.faults:
                if switch.path not in (None, path):
                    continue
                switch.seen += 1
                if switch.seen <= switch.skip:
                    continue
                if switch.times is not None and switch.seen > switch.skip + switch.times:
                    continue
                active[switch.kind] = switch
        return active


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: RangeServer

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        pass

    def do_HEAD(self) -> None:
        self._answer(body=False)

    def do_GET(self) -> None:
        self._answer(body=True)

    def do_CONNECT(self) -> None:
        entry = Entry("CONNECT", self.path, self.path, None,
                      {key.lower(): value for key, value in self.headers.items()}, self.client_address)
        with self.server.lock:
            self.server.log.append(entry)
        host, _, port = self.path.rpartition(":")
        self.close_connection = True
        try:
            upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=10)
        except (OSError, ValueError):
            self._status(entry, 502)
            entry.done.set()
            return
        self._headers(entry, 200, {})
        with upstream:
            ends = [self.connection, upstream]
            while not self.server.stopping.is_set():
                ready, _, _ = select.select(ends, [], [], 0.05)
                for end in ready:
                    data = end.recv(CHUNK)
                    if not data:
                        entry.done.set()
                        return
                    (upstream if end is self.connection else self.connection).sendall(data)
                    entry.sent += len(data)
        entry.done.set()

    def _answer(self, body: bool) -> None:
        server = self.server
        target = self.path
        path = re.sub(r"^[a-zA-Z]+://[^/]*", "", target) or "/"
        path = path.split("?", 1)[0]
        entry = Entry(self.command, path, target, self.headers.get("Range"),
                      {key.lower(): value for key, value in self.headers.items()}, self.client_address)
        with server.lock:
            server.log.append(entry)
        try:
            self._serve(entry, path, body)
        finally:
            entry.done.set()

    def _serve(self, entry: Entry, path: str, body: bool) -> None:
        server = self.server
        faults = server._active(path)
        if "stall" in faults:
            server.stopping.wait(float(faults["stall"].value or 3600))
        if server.delay:
            server.stopping.wait(server.delay)
        if "reset" in faults:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
            return
        if "status" in faults:
            return self._status(entry, int(faults["status"].value or 500))
        if path in server.redirects:
            redirect = server.redirects[path]
            self._headers(entry, redirect.status, {"Location": redirect.location, "Content-Length": "0"})
            return
        if "change" in faults:
            server.put(path, faults["change"].value)
        item = server.objects.get(path)
        if item is None:
            return self._status(entry, 404)
        validators = {} if "drop-validators" in faults else {"ETag": item.etag, "Last-Modified": item.modified}
        if "ignore-match" not in faults and not self._preconditions(item):
            return self._status(entry, 412)

        span = self._range(item, "ignore-match" in faults)
        if "ignore-range" in faults:
            span = None
        if span == "unsatisfiable" or "416" in faults:
            return self._status(entry, 416, {"Content-Range": f"bytes */{item.size}"})
        headers = dict(validators, **{"Accept-Ranges": "bytes"})
        if "header" in faults:
            name, text = faults["header"].value
            headers[name] = text
        if span is None:
            start, length, status = 0, item.size, 200
        else:
            assert isinstance(span, tuple)
            start, length = span
            status = 206
            total = faults["total"].value if "total" in faults else item.size
            headers["Content-Range"] = f"bytes {start}-{start + length - 1}/{total}"
            if "range" in faults:
                headers["Content-Range"] = str(faults["range"].value)
        send = length // 2 if "short" in faults else length
        headers["Content-Length"] = str(faults["length"].value if "length" in faults else send)
        self._headers(entry, status, headers)
        if not body:
            return
        if "cut" in faults:
            send = length // 2
            self.close_connection = True
        self._body(entry, item, start, send)
        if "cut" in faults or "short" in faults or "length" in faults:
            self.close_connection = True

    def _preconditions(self, item: Object) -> bool:
        match = self.headers.get("If-Match")
        if match is not None and match.strip() != "*" and item.etag not in [tag.strip() for tag in match.split(",")]:
            return False
        since = self.headers.get("If-Unmodified-Since")
        if since is not None and since != item.modified:
            parsed = email.utils.parsedate_to_datetime(since)
            return bool(parsed is not None and email.utils.parsedate_to_datetime(item.modified) <= parsed)
        return True

    def _range(self, item: Object, ignore_if_range: bool) -> Union[None, str, Tuple[int, int]]:
        """(start, length) of a satisfiable single range, "unsatisfiable",
        or None for the whole object."""
        header = self.headers.get("Range")
        if header is None:
            return None
        condition = self.headers.get("If-Range")
        if condition is not None and not ignore_if_range and condition not in (item.etag, item.modified):
            return None
        match = _RANGE.match(header.replace(" ", ""))
        if not match or match.groups() == ("", ""):
            return None
        first, last = match.groups()
        if first == "":
            length = min(int(last), item.size)
            return (item.size - length, length) if length else "unsatisfiable"
        start = int(first)
        end = item.size - 1 if last == "" else min(int(last), item.size - 1)
        if start >= item.size or end < start:
            return "unsatisfiable"
        return start, end - start + 1

    def _status(self, entry: Entry, status: int, extra: Optional[Dict[str, str]] = None) -> None:
        text = f"{status} {self.responses.get(status, ('',))[0]}\n".encode()
        self._headers(entry, status, dict(extra or {}, **{"Content-Length": str(len(text)),
                                                         "Content-Type": "text/plain"}))
        if self.command != "HEAD":
            self.wfile.write(text)
            entry.sent = len(text)

    def _headers(self, entry: Entry, status: int, headers: Dict[str, str]) -> None:
        entry.status = status
        self.send_response(status)
        for key, value in headers.items():
            self.send_header(key, value)
        self.end_headers()

    def _body(self, entry: Entry, item: Object, start: int, length: int) -> None:
        done = 0
        try:
            while done < length:
                piece = item.read(start + done, min(CHUNK, length - done))
                if not piece:
                    break
                self.wfile.write(piece)
                done += len(piece)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            entry.sent = done

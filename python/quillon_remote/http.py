"""The HTTP(S) source: byte ranges of one object on a web server, a hub or a
CDN, with the standard library only.

Round trips. The first request is a ranged GET of the window `first`: its
answer gives the object's size (the total of Content-Range), its validators
(ETag, Last-Modified) and the bytes of the window, which the source keeps
with those of later reads (`Source.read`). Redirects are followed (to another
host too, as hubs send their files to a CDN) and the place they lead to is
remembered, so later reads go there directly. One connection per host is kept alive for all of a source's
requests.

Pinning. Every request after the first carries `If-Match` with the ETag (or,
for a weak ETag or none, `If-Unmodified-Since` with Last-Modified), and every
answer's ETag and total size must be the first answer's: an object that
changes between two reads raises ObjectChanged ("the object changed while it
was being read") instead of giving bytes of two versions.

Bounds. Nothing is sized by what a server declares: a body is read in pieces
up to the length asked for, a total of 2**63 is a size and nothing more, and a
server that ignores Range (200 with the whole body) is read only up to the end
of the range asked for, and only when that is at most twice the range's
length; then the connection is closed.

Faults. A reset or closed connection, a timeout, a body cut short, and the
statuses 429, 500, 502, 503 and 504 are tried again `retries` times with a
short doubling pause; after that, and at once for anything else, the read
raises OSError whose filename is the URL: PermissionError (EACCES) for 401 and
403, FileNotFoundError (ENOENT) for 404 and 410, TimeoutError (ETIMEDOUT) for a
timeout, and "HTTP <status> <reason>" as the text of any status error.
"""

from __future__ import annotations

import base64
import errno
import http.client
import re
import socket
import ssl
import time
import urllib.parse
import urllib.request
from typing import Dict, List, Mapping, Optional, Tuple

from quillon_remote import DEFAULT_FIRST, DEFAULT_TIMEOUT, ObjectChanged, Source

MAX_REDIRECTS = 10
RETRIES = 2
BACKOFF = 0.1  # seconds before the first retry, doubled for each next one
CHUNK = 1 << 20  # the most read from a socket at once
# A redirect's or an error's body is read (to keep the connection) up to
# this size; a longer one closes the connection instead.
SMALL_BODY = 64 * 1024

_RETRIED_STATUSES = {429, 500, 502, 503, 504}
_REDIRECTS = {301, 302, 303, 307, 308}
_CONTENT_RANGE = re.compile(r"bytes\s+(\d{1,20})-(\d{1,20})/(\d{1,20}|\*)\s*$", re.IGNORECASE)
_UNSATISFIED_RANGE = re.compile(r"bytes\s+\*/(\d{1,20})\s*$", re.IGNORECASE)
_DEFAULT_PORTS = {"http": 80, "https": 443}
# Headers the source sets itself: a caller's would break the ranges or the pinning.
_OWN_HEADERS = {"range", "if-range", "if-match", "if-none-match", "if-modified-since", "if-unmodified-since",
                "accept-encoding", "host", "proxy-authorization"}
# What goes only to the origin it was given for.
_CREDENTIALS = {"authorization", "cookie"}


class _Retry(Exception):
    """A failure worth another attempt; `error` is raised when none is left."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _Answer:
    """What one ranged GET gave: the bytes of [offset, offset + len(data)),
    and the object's size and validators as the server declared them."""

    def __init__(self, data: bytes, size: int, etag: Optional[str], modified: Optional[str]) -> None:
        self.data = data
        self.size = size
        self.etag = etag
        self.modified = modified


def _origin(url: urllib.parse.SplitResult) -> Tuple[str, str, int]:
    scheme = url.scheme.lower()
    return scheme, (url.hostname or "").lower(), url.port or _DEFAULT_PORTS[scheme]


def _keeps_credentials(first: urllib.parse.SplitResult, target: urllib.parse.SplitResult) -> bool:
    """Whether a request to `target` may carry the credentials given for
    `first`: the same scheme, host and port, or the upgrade from http to https
    on the default ports of the same host."""
    a, b = _origin(first), _origin(target)
    if a == b:
        return True
    return a[1] == b[1] and (a[0], a[2], b[0], b[2]) == ("http", 80, "https", 443)


class HTTPSource(Source):
    """The object at an http:// or https:// URL; see the module's text."""

    def __init__(self, url: str, *, headers: Optional[Mapping[str, str]] = None, timeout: float = DEFAULT_TIMEOUT,
                 first: Tuple[int, int] = DEFAULT_FIRST, retries: int = RETRIES, backoff: float = BACKOFF,
                 max_redirects: int = MAX_REDIRECTS, context: Optional[ssl.SSLContext] = None) -> None:
        self._url = urllib.parse.urlsplit(url)
        if self._url.scheme.lower() not in _DEFAULT_PORTS or not self._url.hostname:
            raise ValueError(f"not an http or https URL: {url!r}")
        self._headers = dict(headers or {})
        self._timeout = timeout
        self._retries = retries
        self._backoff = backoff
        self._max_redirects = max_redirects
        self._context = context
        self._connections: Dict[Tuple[str, str, int, str], http.client.HTTPConnection] = {}
        self._location = self._url  # where the last redirect led
        self._etag: Optional[str] = None
        self._modified: Optional[str] = None
        Source.__init__(self, url, 0)
        start, length = first
        try:
            answer = self._get(start, max(length, 1), first=True)
        except BaseException:
            self._drop_connections()
            raise
        self.size = answer.size
        self._etag = answer.etag
        self._modified = answer.modified
        self._remember(start, answer.data)

    # --- reads ---------------------------------------------------------------

    def _read(self, offset: int, length: int) -> bytes:
        return self._get(offset, length, first=False).data

    def _get(self, offset: int, length: int, first: bool) -> _Answer:
        try:
            return self._get_retried(offset, length, first)
        except (PermissionError, FileNotFoundError):
            if self._location == self._url:
                raise
        # A redirect's target (a CDN's signed URL) may expire: ask the URL
        # itself again, once.
        self._location = self._url
        return self._get_retried(offset, length, first)

    def _get_retried(self, offset: int, length: int, first: bool) -> _Answer:
        attempt = 0
        while True:
            try:
                return self._attempt(offset, length, first)
            except _Retry as retry:
                self._drop_connections()
                if attempt >= self._retries:
                    error = retry.error
                    raise type(error)(error.errno, f"{error.strerror} (after {attempt + 1} attempts)",
                                      self.name) from error
                time.sleep(self._backoff * (1 << attempt))
                attempt += 1

    def _attempt(self, offset: int, length: int, first: bool) -> _Answer:
        """One GET of [offset, offset + length), following redirects."""
        target = self._location
        for _ in range(self._max_redirects + 1):
            connection = self._connection(target)
            try:
                connection.request("GET", self._request_target(target), headers=self._request_headers(
                    target, offset, length, first))
                response = connection.getresponse()
            except ssl.SSLCertVerificationError as error:
                raise OSError(errno.EACCES, f"TLS certificate not trusted: {error.verify_message}",
                              self.name) from error
            except (socket.timeout, TimeoutError) as error:
                raise _Retry(TimeoutError(errno.ETIMEDOUT, "timed out", self.name)) from error
            except (OSError, http.client.HTTPException) as error:
                raise _Retry(ConnectionError(errno.ECONNRESET, f"connection failed: {_describe(error)}",
                                             self.name)) from error
            try:
                status = response.status
                if status in _REDIRECTS:
                    target = self._redirected(target, response)
                    continue
                self._location = target
                return self._answer(response, offset, length, first)
            finally:
                self._finish(response, connection)
        raise OSError(errno.ELOOP, f"more than {self._max_redirects} redirects", self.name)

    def _answer(self, response: http.client.HTTPResponse, offset: int, length: int, first: bool) -> _Answer:
        status = response.status
        encoding = response.getheader("Content-Encoding", "identity").strip().lower()
        if status in (200, 206) and encoding != "identity":
            # Offsets count the object's own bytes, not those of an encoding.
            raise self._hostile(f"the answer has Content-Encoding {encoding}")
        if status == 206:
            declared = response.getheader("Content-Range", "")
            match = _CONTENT_RANGE.match(declared)
            if not match or match.group(3) == "*":
                raise self._hostile(f"unusable Content-Range {declared!r}")
            begin, end, total = int(match.group(1)), int(match.group(2)), int(match.group(3))
            # A read needs all its bytes; the first window takes what comes.
            if not begin <= offset <= end < total or offset - begin > length \
                    or (not first and end + 1 < offset + length):
                raise self._hostile(f"Content-Range {declared!r} does not hold the {length} bytes at {offset}")
            self._check_length(response, end - begin + 1, declared)
            size = total
            length = min(length, end + 1 - offset)
        elif status == 200:
            # The server ignored the range (or If-Range failed): the body is
            # the whole object, read only up to the end of the range.
            declared_length = response.getheader("Content-Length")
            if declared_length is None or not declared_length.isdigit():
                raise OSError(errno.EIO, "the server tells neither Content-Range nor Content-Length", self.name)
            size = int(declared_length)
            begin = 0
            # Twice the bytes the caller asked for, of which the source
            # may be fetching only the part it does not keep.
            if offset + length > 2 * max(length, self._asked):
                if not first:
                    self._check_version(response, size)
                raise OSError(errno.EIO, f"the server ignores byte ranges: the {length} bytes at {offset} would mean "
                              f"reading {offset + length} bytes", self.name)
        elif status == 416 and first:
            # A first window past the end (always so for an empty object).
            unsatisfied = _UNSATISFIED_RANGE.match(response.getheader("Content-Range", ""))
            if not unsatisfied:
                raise self._status_error(response)
            size = int(unsatisfied.group(1))
            if offset < size:
                raise self._hostile(f"HTTP 416 for the bytes at {offset} of an object of {size} bytes")
            return _Answer(b"", size, *self._validators(response))
        elif status in (412, 416):
            # The range lies inside the size pinned by the first answer.
            raise ObjectChanged(self.name)
        else:
            raise self._status_error(response)

        if first:
            etag, modified = self._validators(response)
        else:
            self._check_version(response, size)
            etag, modified = self._etag, self._modified
        # The bytes [offset, offset + length) of the body [begin, ...), in
        # pieces, never more than the object holds.
        wanted = min(offset + length, size) - begin
        data = self._body(response, wanted)
        return _Answer(data[offset - begin:], size, etag, modified)

    def _body(self, response: http.client.HTTPResponse, wanted: int) -> bytes:
        pieces: List[bytes] = []
        got = 0
        while got < wanted:
            try:
                piece = response.read(min(CHUNK, wanted - got))
            except (socket.timeout, TimeoutError) as error:
                raise _Retry(TimeoutError(errno.ETIMEDOUT, "timed out", self.name)) from error
            except (OSError, http.client.HTTPException) as error:
                raise _Retry(ConnectionError(errno.ECONNRESET, f"connection failed: {_describe(error)}",
                                             self.name)) from error
            if not piece:
                raise _Retry(OSError(errno.EIO, f"the answer was cut short: got {got} of {wanted} bytes",
                                     self.name))
            pieces.append(piece)
            got += len(piece)
        return b"".join(pieces)

    # --- answers -------------------------------------------------------------

    def _validators(self, response: http.client.HTTPResponse) -> Tuple[Optional[str], Optional[str]]:
        return response.getheader("ETag"), response.getheader("Last-Modified")

    def _check_version(self, response: http.client.HTTPResponse, size: int) -> None:
        etag = response.getheader("ETag")
        if size != self.size or (self._etag is not None and etag is not None and etag != self._etag):
            raise ObjectChanged(self.name)

    def _check_length(self, response: http.client.HTTPResponse, span: int, declared: str) -> None:
        length = response.getheader("Content-Length")
        if length is not None and (not length.isdigit() or int(length) != span):
            raise self._hostile(f"Content-Length {length} disagrees with Content-Range {declared!r}")

    def _hostile(self, text: str) -> OSError:
        return OSError(errno.EPROTO, text, self.name)

    def _status_error(self, response: http.client.HTTPResponse) -> OSError:
        status = response.status
        text = f"HTTP {status} {response.reason}".rstrip()
        if status in (401, 403):
            return PermissionError(errno.EACCES, text, self.name)
        if status in (404, 410):
            return FileNotFoundError(errno.ENOENT, text, self.name)
        if status in _RETRIED_STATUSES:
            raise _Retry(OSError(errno.EIO, text, self.name))
        return OSError(errno.EIO, text, self.name)

    def _redirected(self, target: urllib.parse.SplitResult, response: http.client.HTTPResponse) \
            -> urllib.parse.SplitResult:
        location = response.getheader("Location")
        if not location:
            raise self._hostile(f"HTTP {response.status} without a Location")
        following = urllib.parse.urlsplit(urllib.parse.urljoin(target.geturl(), location))
        if following.scheme.lower() not in _DEFAULT_PORTS or not following.hostname:
            raise self._hostile(f"redirect to {location!r}, which is not an http or https URL")
        return following

    # --- requests and connections --------------------------------------------

    def _request_headers(self, target: urllib.parse.SplitResult, offset: int, length: int, first: bool) \
            -> Dict[str, str]:
        keep = _keeps_credentials(self._url, target)
        headers = {key: value for key, value in self._headers.items()
                   if key.lower() not in _OWN_HEADERS and (keep or key.lower() not in _CREDENTIALS)}
        headers.update({"Range": f"bytes={offset}-{offset + length - 1}", "Accept-Encoding": "identity"})
        proxy = self._proxy(target) if target.scheme.lower() == "http" else None
        if proxy is not None and proxy.username is not None:
            headers["Proxy-Authorization"] = _basic(proxy)
        if not first:
            if self._etag is not None and not self._etag.startswith("W/"):
                headers["If-Match"] = self._etag
            elif self._modified is not None:
                headers["If-Unmodified-Since"] = self._modified
        return headers

    def _proxy(self, target: urllib.parse.SplitResult) -> Optional[urllib.parse.SplitResult]:
        proxy = urllib.request.getproxies().get(target.scheme.lower())
        if not proxy or urllib.request.proxy_bypass(target.hostname or ""):
            return None
        if "://" not in proxy:
            proxy = "http://" + proxy
        return urllib.parse.urlsplit(proxy)

    def _request_target(self, target: urllib.parse.SplitResult) -> str:
        path = urllib.parse.urlunsplit(("", "", target.path or "/", target.query, ""))
        if target.scheme.lower() == "http" and self._proxy(target) is not None:
            # Through a proxy, a plain-HTTP request names the whole URL.
            return urllib.parse.urlunsplit((target.scheme, target.netloc.rpartition("@")[2], target.path or "/",
                                            target.query, ""))
        return path

    def _connection(self, target: urllib.parse.SplitResult) -> http.client.HTTPConnection:
        scheme, host, port = _origin(target)
        proxy = self._proxy(target)
        key = (scheme, host, port, proxy.geturl() if proxy else "")
        connection = self._connections.get(key)
        if connection is not None:
            return connection
        if proxy is not None:
            proxy_host, proxy_port = proxy.hostname or "", proxy.port or _DEFAULT_PORTS.get(proxy.scheme, 80)
            tunnel_headers = {} if proxy.username is None else {"Proxy-Authorization": _basic(proxy)}
            if scheme == "https":
                connection = http.client.HTTPSConnection(proxy_host, proxy_port, timeout=self._timeout,
                                                         context=self._tls())
                connection.set_tunnel(host, port, headers=tunnel_headers)
            else:
                connection = http.client.HTTPConnection(proxy_host, proxy_port, timeout=self._timeout)
        elif scheme == "https":
            connection = http.client.HTTPSConnection(host, port, timeout=self._timeout, context=self._tls())
        else:
            connection = http.client.HTTPConnection(host, port, timeout=self._timeout)
        self._connections[key] = connection
        return connection

    def _tls(self) -> ssl.SSLContext:
        if self._context is None:
            self._context = ssl.create_default_context()
        return self._context

    def _finish(self, response: http.client.HTTPResponse, connection: http.client.HTTPConnection) -> None:
        """Leaves the connection ready for the next request: the rest of a
        redirect's or an error's small body is read; anything else left
        unread closes the connection, so no byte is read beyond the range."""
        if response.isclosed():
            if response.will_close:
                self._forget(connection)
            return
        length = response.length
        try:
            if length == 0 or (length is not None and length <= SMALL_BODY and response.status not in (200, 206)):
                response.read()
                if not response.will_close:
                    return
        except (OSError, http.client.HTTPException):
            pass
        response.close()
        self._forget(connection)

    def _forget(self, connection: http.client.HTTPConnection) -> None:
        connection.close()
        for key, kept in list(self._connections.items()):
            if kept is connection:
                del self._connections[key]

    def _drop_connections(self) -> None:
        for connection in self._connections.values():
            connection.close()
        self._connections.clear()

    def close(self) -> None:
        with self._lock:
            super().close()
            self._drop_connections()


def _basic(proxy: urllib.parse.SplitResult) -> str:
    credentials = f"{urllib.parse.unquote(proxy.username or '')}:{urllib.parse.unquote(proxy.password or '')}"
    return "Basic " + base64.b64encode(credentials.encode()).decode()


def _describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__

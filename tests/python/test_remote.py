"""quillon_remote: byte ranges of models over HTTP (against the loopback
server of tools/rangeserver.py), through fsspec (its memory file system, and
S3 through moto's server when s3fs and moto are installed) and from open file
objects."""

import errno
import importlib.util
import io
import sys

import pytest

from quillon_remote import CHANGED, KEEP, ObjectChanged, open_source
from quillon_remote.http import HTTPSource

from conftest import needs_moto
from models import MIB, realistic_gguf
from rangeserver import RangeServer

MODEL = realistic_gguf(64 * 1024, 300)
SIZE = len(MODEL)
needs_fsspec = pytest.mark.skipif(importlib.util.find_spec("fsspec") is None, reason="fsspec is not installed")


def quick(url, **options):
    """An HTTP source that retries without a noticeable pause."""
    return HTTPSource(url, **dict({"backoff": 0.001, "first": (0, 64)}, **options))


class ReadintoOnly:
    """A file object with seek and readinto only, giving at most 7 bytes a call."""

    def __init__(self, data):
        self._file = io.BytesIO(data)

    def seek(self, offset, whence=0):
        return self._file.seek(offset, whence)

    def readinto(self, buffer):
        return self._file.readinto(memoryview(buffer)[:7])


class Dribble(ReadintoOnly):
    """A file object with seek and read only, giving at most 5 bytes a call."""

    readinto = None

    def read(self, count):
        return self._file.read(min(count, 5))


@pytest.fixture
def open_kind(range_server, tmp_path):
    """open_kind(kind, data): a Source of `data` of each kind."""
    opened = []

    def open_kind(kind, data):
        if kind == "http":
            range_server.put("/model", data)
            source = open_source(range_server.url("/model"), first=(0, 16))
        elif kind == "memory":
            import fsspec

            fsspec.filesystem("memory").pipe_file(f"/{tmp_path.name}/model", data)
            source = open_source(f"memory:///{tmp_path.name}/model")
        elif kind == "file":
            (tmp_path / "model").write_bytes(data)
            source = open_source(opened_file(tmp_path / "model"))
        else:
            source = open_source({"bytesio": io.BytesIO, "readinto": ReadintoOnly, "read": Dribble}[kind](data))
        opened.append(source)
        return source

    def opened_file(path):
        handle = open(path, "rb")
        files.append(handle)
        return handle

    files = []
    yield open_kind
    for source in opened:
        source.close()
    for handle in files:
        handle.close()


KINDS = ["http", "bytesio", "file", "readinto", "read", pytest.param("memory", marks=needs_fsspec)]
# (offset, length): the bytes at the edges, then ranges past the end.
EDGES = [(0, 1), (0, 16), (3, 40), (SIZE - 1, 1), (SIZE, 0), (0, SIZE), (SIZE - 100, 100), (17, 0)]
PAST = [(SIZE, 1), (SIZE - 1, 2), (SIZE + 1, 0), (0, SIZE + 1), (1 << 63, 1)]


@pytest.mark.parametrize("kind", KINDS)
def test_exact_reads_and_edges(open_kind, kind):
    source = open_kind(kind, MODEL)
    assert source.size == SIZE
    for offset, length in EDGES:
        assert source.read(offset, length) == MODEL[offset:offset + length], (offset, length)
    for offset, length in PAST:
        with pytest.raises(OSError) as caught:
            source.read(offset, length)
        assert (caught.value.errno, caught.value.filename) == (errno.EINVAL, source.name)
    with pytest.raises(ValueError):
        source.read(-1, 1)
    source.close()
    with pytest.raises(OSError) as caught:
        source.read(0, 1)
    assert caught.value.errno == errno.EBADF
    assert open_kind(kind, b"").size == 0


def test_one_connection_and_the_first_window(range_server):
    range_server.put("/model", MODEL)
    # The source's own Range and preconditions win over the caller's headers.
    headers = {"Range": "bytes=9-9", "If-None-Match": "*", "If-Match": '"other"'}
    with open_source(range_server.url("/model"), first=(0, 256), headers=headers) as source:
        assert [source.read(offset, 8) for offset in (0, 100, 248)] == [MODEL[:8], MODEL[100:108], MODEL[248:256]]
        assert source.read(300, 50) + source.read(SIZE - 8, 8) == MODEL[300:350] + MODEL[-8:]
    gets = range_server.requests()
    assert [entry.range for entry in gets] == ["bytes=0-255", "bytes=300-349", f"bytes={SIZE - 8}-{SIZE - 1}"]
    assert len({entry.client for entry in gets}) == 1
    assert [entry.headers.get("if-match") for entry in gets] == [None] + [range_server.objects["/model"].etag] * 2


# Reads through one source after a first window of 16 bytes: (the most bytes
# it keeps, the reads (offset, length), the Range of each GET they make).
KEPT = {
    "held, partly held, between two held": (KEEP, [(0, 16), (100, 50), (120, 60), (90, 100)],
                                             ["bytes=100-149", "bytes=150-179", "bytes=90-99", "bytes=180-189"]),
    "the oldest dropped": (64, [(100, 50), (200, 50), (100, 50), (0, 8)],
                           ["bytes=100-149", "bytes=200-249", "bytes=100-149", "bytes=0-7"]),
    "too large to keep": (40, [(100, 50), (100, 50)], ["bytes=100-149", "bytes=100-149"]),
}


@pytest.mark.parametrize("keep, reads, ranges", KEPT.values(), ids=KEPT.keys())
def test_a_source_fetches_each_byte_once(range_server, keep, reads, ranges):
    range_server.put("/model", MODEL)
    with open_source(range_server.url("/model"), first=(0, 16)) as source:
        source.keep = keep
        for offset, length in reads:
            assert source.read(offset, length) == MODEL[offset:offset + length]
    assert [entry.range for entry in range_server.requests()] == ["bytes=0-15"] + ranges


def test_kept_bytes_are_of_the_first_version(range_server):
    range_server.put("/model", MODEL)
    with open_source(range_server.url("/model"), first=(0, 16)) as source:
        assert source.read(100, 50) == MODEL[100:150]
        range_server.put("/model", MODEL[::-1])
        assert source.read(110, 20) == MODEL[110:130]  # kept: no request
        with pytest.raises(ObjectChanged):
            source.read(140, 20)  # the ten bytes it lacks are of another version
    assert [entry.range for entry in range_server.requests()] == ["bytes=0-15", "bytes=100-149", "bytes=150-159"]


# (fault switches, reads after the first window, the error: type, errno,
# text it starts with; None: the reads succeed; the number of GETs).
FAULTS = {
    "cut once": ([("cut", dict(skip=1, times=1))], [(100, 200)], None, 3),
    "reset twice": ([("reset", dict(skip=1, times=2))], [(100, 200)], None, 4),
    "503 twice": ([("status", dict(skip=1, times=2, value=503))], [(100, 200)], None, 4),
    "cut always": ([("cut", dict(skip=1))], [(100, 200)],
                   (OSError, errno.EIO, "the answer was cut short: got 100 of 200 bytes (after 3 attempts)"), 4),
    "reset always": ([("reset", dict(skip=1))], [(100, 200)],
                     (ConnectionError, errno.ECONNRESET, "connection failed"), 4),
    "500 always": ([("status", dict(value=500))], [], (OSError, errno.EIO, "HTTP 500 Internal Server Error (after 3"), 3),
    "401": ([("status", dict(value=401))], [], (PermissionError, errno.EACCES, "HTTP 401 Unauthorized"), 1),
    "403 later": ([("status", dict(skip=1, value=403))], [(100, 10)],
                  (PermissionError, errno.EACCES, "HTTP 403 Forbidden"), 2),
    "404": ([("status", dict(value=404))], [], (FileNotFoundError, errno.ENOENT, "HTTP 404 Not Found"), 1),
    "410": ([("status", dict(value=410))], [], (FileNotFoundError, errno.ENOENT, "HTTP 410 Gone"), 1),
    "416 later": ([("416", dict(skip=1))], [(100, 10)], (ObjectChanged, errno.ESTALE, CHANGED), 2),
    "416 first": ([("416", dict(times=1))], [], (OSError, errno.EPROTO, "HTTP 416 for the bytes at 0"), 1),
    "short body": ([("short", dict(skip=1))], [(100, 200)],
                   (OSError, errno.EPROTO, "Content-Length 100 disagrees with Content-Range"), 2),
    "long Content-Length": ([("length", dict(skip=1, value=10 ** 12))], [(100, 200)],
                            (OSError, errno.EPROTO, "Content-Length 1000000000000 disagrees"), 2),
    "other range": ([("range", dict(skip=1, value=f"bytes 0-199/{SIZE}"))], [(1000, 200)],
                    (OSError, errno.EPROTO, f"Content-Range 'bytes 0-199/{SIZE}' does not hold"), 2),
    "range without total": ([("range", dict(value="bytes 0-63/*"))], [],
                            (OSError, errno.EPROTO, "unusable Content-Range 'bytes 0-63/*'"), 1),
    "changed": ([("change", dict(skip=1, value=MODEL[::-1]))], [(100, 10)],
                (ObjectChanged, errno.ESTALE, CHANGED), 2),
    "changed, If-Match ignored": ([("change", dict(skip=1, value=MODEL[::-1])), ("ignore-match", {})], [(100, 10)],
                                  (ObjectChanged, errno.ESTALE, CHANGED), 2),
    "resized, no validators": ([("change", dict(skip=1, value=MODEL + b"x")), ("drop-validators", {})], [(100, 10)],
                               (ObjectChanged, errno.ESTALE, CHANGED), 2),
    "changed, whole body": ([("change", dict(skip=1, value=MODEL[::-1])), ("ignore-match", {}),
                             ("ignore-range", dict(skip=1))], [(10, 100)], (ObjectChanged, errno.ESTALE, CHANGED), 2),
    "encoded": ([("header", dict(value=("Content-Encoding", "gzip")))], [],
                (OSError, errno.EPROTO, "the answer has Content-Encoding gzip"), 1),
    "stall": ([("stall", dict(skip=1, value=30))], [(100, 10)],
              (TimeoutError, errno.ETIMEDOUT, "timed out (after 3 attempts)"), 4),
    "ranges ignored, near": ([("ignore-range", {})], [(10, 100), (60, 60)], None, 3),
    "ranges ignored, absurd length": ([("ignore-range", {}), ("length", dict(value=1 << 63))], [(10, 20)], None, 1),
    "ranges ignored, far": ([("ignore-range", {})], [(1000, 100)],
                            (OSError, errno.EIO, "the server ignores byte ranges"), 2),
}


@pytest.mark.parametrize("faults, reads, error, gets", FAULTS.values(), ids=FAULTS.keys())
def test_http_faults(range_server, faults, reads, error, gets):
    range_server.put("/model", MODEL)
    for kind, options in faults:
        range_server.fault(kind, path="/model", **options)
    url = range_server.url("/model")
    # Only a stalled server should meet the timeout, also on a slow (emulated) machine.
    timeout = 0.3 if any(kind == "stall" for kind, _ in faults) else 30
    try:
        with quick(url, timeout=timeout) as source:
            for offset, length in reads:
                assert source.read(offset, length) == MODEL[offset:offset + length]
    except OSError as caught:
        assert error is not None, caught
        kind, number, text = error
        assert (type(caught), caught.errno, caught.filename) == (kind, number, url)
        assert caught.strerror.startswith(text), caught.strerror
    else:
        assert error is None
    assert len(range_server.requests()) == gets


def test_absurd_total_is_a_size_not_an_allocation(range_server):
    range_server.put("/model", MODEL)
    range_server.fault("total", value=1 << 63)
    with quick(range_server.url("/model"), first=(0, 1 << 40)) as source:
        assert source.size == 1 << 63
        assert source.read(10, 54) == MODEL[10:64]
        # Whatever the server declares, a read asks for its own bytes only.
        with pytest.raises(ObjectChanged):
            source.read(1 << 62, 8)
        assert range_server.requests()[-1].range == f"bytes={1 << 62}-{(1 << 62) + 7}"


def test_whole_body_answers_are_read_only_as_far_as_needed(range_server, tmp_path):
    large = tmp_path / "large"
    with open(large, "wb") as handle:
        handle.write(MODEL)
        handle.truncate(256 * MIB)
    range_server.put("/large", large)
    range_server.fault("ignore-range")
    with quick(range_server.url("/large"), first=(0, 4096)) as source:
        assert source.size == 256 * MIB
        assert source.read(4000, 4096) == MODEL[4000:8096]
    for entry in range_server.requests():
        assert entry.done.wait(30)
        assert (entry.status, entry.range) == (200, entry.range)
        assert entry.sent < 64 * MIB  # the client closed the connection


@pytest.mark.parametrize("validators", ["strong", "weak"])
def test_later_requests_are_pinned(range_server, validators):
    item = range_server.put("/model", MODEL, etag='W/"x"' if validators == "weak" else None)
    with quick(range_server.url("/model")) as source:
        source.read(100, 10)
    later = range_server.requests()[1].headers
    if validators == "strong":
        assert (later.get("if-match"), later.get("if-unmodified-since")) == (item.etag, None)
    else:
        assert (later.get("if-match"), later.get("if-unmodified-since")) == (None, item.modified)


def test_empty_objects_and_windows_past_the_end(range_server):
    range_server.put("/empty", b"")
    range_server.put("/model", MODEL)
    with quick(range_server.url("/empty")) as source:
        assert (source.size, source.read(0, 0)) == (0, b"")
    with quick(range_server.url("/model"), first=(SIZE + 5, 10)) as source:
        assert (source.size, source.read(0, 4)) == (SIZE, MODEL[:4])


# Where a redirect leads ("other": a second server), whether the Authorization
# header reaches it, and the error for a bad one.
REDIRECTS = {
    "same server": ("/model", True, None),
    "relative": ("model", True, None),
    "other host name": ("localhost", False, None),
    "other server": ("other", False, None),
    "loop": ("/loop", True, (errno.ELOOP, "more than 10 redirects")),
    "not http": ("ftp://127.0.0.1/model", True, (errno.EPROTO, "redirect to 'ftp://127.0.0.1/model'")),
}


@pytest.mark.parametrize("where, authorized, error", REDIRECTS.values(), ids=REDIRECTS.keys())
def test_redirects(start_range_server, where, authorized, error):
    hub = start_range_server()
    cdn = start_range_server()
    hub.put("/model", MODEL)
    cdn.put("/model", MODEL)
    hub.redirect("/loop", "/loop")
    location = {"localhost": hub.url("/model", host="localhost"), "other": cdn.url("/model")}.get(where, where)
    hub.redirect("/start", location, status=307)
    url = hub.url("/start")
    if error:
        with pytest.raises(OSError) as caught:
            quick(url, headers={"Authorization": "Bearer t"})
        assert (caught.value.errno, caught.value.filename) == (error[0], url)
        assert caught.value.strerror.startswith(error[1])
        return
    with quick(url, headers={"Authorization": "Bearer t", "X-Token": "kept"}) as source:
        assert source.read(1000, 100) + source.read(2000, 10) == MODEL[1000:1100] + MODEL[2000:2010]
    landed = [entry for entry in hub.requests() + cdn.requests() if entry.path == "/model"]
    assert len(landed) == 3  # the later reads go to where the redirect led
    assert all(entry.headers["x-token"] == "kept" for entry in landed)
    assert {"authorization" in entry.headers for entry in landed} == {authorized}
    assert len({entry.client for entry in landed}) == 1


def test_an_expired_redirect_target_is_asked_for_again(start_range_server):
    hub, cdn = start_range_server(), start_range_server()
    cdn.put("/signed", MODEL)
    hub.redirect("/model", cdn.url("/signed"))
    with quick(hub.url("/model")) as source:
        cdn.fault("status", value=403, times=1)
        assert source.read(100, 10) == MODEL[100:110]
    assert [entry.path for entry in hub.requests()] == ["/model", "/model"]


# Proxy variables: which one is set, and whether the request reaches the
# server through it (as an absolute URL) or directly.
PROXIES = {
    "http_proxy": ({"http_proxy": "{server}"}, "http://quillon.invalid/model", True),
    "HTTP_PROXY": ({"HTTP_PROXY": "{server}"}, "http://quillon.invalid/model", True),
    "with credentials": ({"http_proxy": "http://user:pw@{address}"}, "http://quillon.invalid/model", True),
    "no_proxy": ({"http_proxy": "http://127.0.0.1:9", "no_proxy": "127.0.0.1"}, "{server}/model", False),
    "https only": ({"https_proxy": "http://127.0.0.1:9"}, "{server}/model", False),
}


@pytest.mark.parametrize("env, url, proxied", PROXIES.values(), ids=PROXIES.keys())
def test_proxy_variables(range_server, monkeypatch, env, url, proxied):
    for name in ("http_proxy", "https_proxy", "no_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY",
                 "ALL_PROXY", "REQUEST_METHOD"):
        monkeypatch.delenv(name, raising=False)
    server = range_server.url("").rstrip("/")
    fill = {"server": server, "address": server.split("://")[1]}
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(**fill))
    range_server.put("/model", MODEL)
    with quick(url.format(**fill)) as source:
        assert source.read(500, 20) == MODEL[500:520]
    targets = [entry.target for entry in range_server.requests()]
    assert targets == (["http://quillon.invalid/model"] * 2 if proxied else ["/model"] * 2)
    if "user:pw" in str(env):
        assert range_server.requests()[0].headers["proxy-authorization"] == "Basic dXNlcjpwdw=="


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A self-signed certificate for localhost and 127.0.0.1, and its key, as PEM files."""
    pytest.importorskip("cryptography")
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "quillon test")])
    now = datetime.datetime.now(datetime.timezone.utc)
    names = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    built = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
             .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
             .not_valid_after(now + datetime.timedelta(days=1))
             .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
             .add_extension(x509.KeyUsage(True, False, False, False, False, True, False, False, False), critical=True)
             .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
             .add_extension(x509.SubjectAlternativeName(names), critical=False)
             .sign(key, hashes.SHA256()))
    folder = tmp_path_factory.mktemp("tls")
    (folder / "cert.pem").write_bytes(built.public_bytes(serialization.Encoding.PEM))
    (folder / "key.pem").write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                       serialization.NoEncryption()))
    return folder / "cert.pem", folder / "key.pem"


# Whether the client trusts the server's certificate, whether it goes
# through a CONNECT proxy, and the error when it fails.
TLS = {
    "untrusted": (False, False, (errno.EACCES, "TLS certificate not trusted")),
    "trusted": (True, False, None),
    "trusted, through a proxy": (True, True, None),
    "untrusted, through a proxy": (False, True, (errno.EACCES, "TLS certificate not trusted")),
}


@pytest.mark.parametrize("trusted, proxied, error", TLS.values(), ids=TLS.keys())
def test_tls(start_range_server, certificate, monkeypatch, trusted, proxied, error):
    import ssl

    cert, key = certificate
    server_side = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_side.load_cert_chain(cert, key)
    origin = RangeServer(tls=server_side).start()
    try:
        origin.put("/model", MODEL)
        proxy = start_range_server()
        for name in ("no_proxy", "NO_PROXY", "https_proxy", "HTTPS_PROXY"):
            monkeypatch.delenv(name, raising=False)
        if proxied:
            monkeypatch.setenv("https_proxy", proxy.url(""))
        url = origin.url("/model", host="localhost")
        context = ssl.create_default_context(cafile=str(cert)) if trusted else None
        if error:
            with pytest.raises(OSError) as caught:
                quick(url, context=context)
            assert (caught.value.errno, caught.value.filename) == (error[0], url)
            assert caught.value.strerror.startswith(error[1])
        else:
            with quick(url, context=context) as source:
                assert source.read(3000, 30) == MODEL[3000:3030]
            assert [entry.range for entry in origin.requests()] == ["bytes=0-63", "bytes=3000-3029"]
        tunnels = [entry.target for entry in proxy.log]
        assert tunnels == ([f"localhost:{origin.port}"] if proxied else [])
    finally:
        origin.stop()


@pytest.mark.parametrize("target, kind, text", [
    ("model.gguf", ValueError, "not a URL: 'model.gguf'"),
    ("://x", ValueError, "not a URL"),
    (b"http://x", TypeError, "expected a URL or a seekable binary file object, not bytes"),
    (object(), TypeError, "not object"),
    (io.StringIO("GGUF"), TypeError, "expected a binary file object, not a text one"),
])
def test_targets_that_are_not_sources(target, kind, text):
    with pytest.raises(kind, match=text):
        open_source(target)


def test_file_objects_that_cannot_seek_or_are_closed():
    class Pipe(io.RawIOBase):
        def readable(self):
            return True

    with pytest.raises(OSError) as caught:
        open_source(Pipe())
    assert caught.value.errno == errno.ESPIPE
    file = io.BytesIO(MODEL)
    source = open_source(file)
    file.close()
    with pytest.raises(OSError) as caught:
        source.read(0, 4)
    assert caught.value.errno == errno.EBADF


def test_without_fsspec(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    monkeypatch.setitem(sys.modules, "fsspec.core", None)
    with pytest.raises(ImportError, match=r"^fsspec is needed for s3:// URLs: pip install quillon\[remote\]$"):
        open_source("s3://bucket/model.gguf")


@needs_fsspec
def test_fsspec_versions_and_missing_objects(tmp_path):
    import fsspec

    memory = fsspec.filesystem("memory")
    path = f"/{tmp_path.name}/model"
    memory.pipe_file(path, MODEL)
    with open_source(f"memory://{path}") as source:
        assert source.read(10, 10) == MODEL[10:20]
        memory.pipe_file(path, MODEL[::-1])
        with pytest.raises(ObjectChanged):
            source.read(20, 10)
        memory.rm_file(path)
        with pytest.raises(ObjectChanged):
            source.read(20, 10)
    with pytest.raises(FileNotFoundError) as caught:
        open_source(f"memory://{path}")
    assert caught.value.filename == f"memory://{path}"
    memory.mkdir(path)
    with pytest.raises(IsADirectoryError):
        open_source(f"memory://{path}")


@needs_moto
@pytest.mark.parametrize("version_aware", [False, True])
def test_s3(s3, version_aware):
    fs, options, bucket = s3
    fs.pipe_file(f"{bucket}/model.gguf", MODEL)
    options = dict(options, version_aware=version_aware)
    with open_source(f"s3://{bucket}/model.gguf", storage_options=options) as source:
        assert (source.size, source.read(0, 64), source.read(SIZE - 10, 10)) == (SIZE, MODEL[:64], MODEL[-10:])
        fs.pipe_file(f"{bucket}/model.gguf", MODEL[::-1])
        if version_aware:  # the reads stay with the version the source opened
            assert source.read(100, 10) == MODEL[100:110]
        else:
            with pytest.raises(ObjectChanged):
                source.read(100, 10)
    with pytest.raises(FileNotFoundError):
        open_source(f"s3://{bucket}/missing.gguf", storage_options=options)


"""Faults during a write by `quillon_files`: a full file system, a file size
limit, a read-only file system, and signals in the middle of a large copy.
After each, the destination is checked byte for byte and no temporary file
may remain. The file system cases mount small tmpfs instances and are
skipped where mounting is not permitted. Faults during a read: a model
rewritten while it is read, and faults in memory that is not the reader's."""

import contextlib
import errno
import functools
import os
import pathlib
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap

import pytest

import quillon
import quillon_files

from conftest import FALLBACKS, MODELS, STORE, TEMP_PREFIX, child_env, needs_native_signals, signalled, write
from models import GIB, MIB, URI, large_safetensors


@contextlib.contextmanager
def tmpfs(folder, options):
    folder.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(folder)],
                          capture_output=True, check=False)
    if done.returncode != 0:
        pytest.skip("mounting a tmpfs is not permitted here")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("fallback", FALLBACKS)
def test_full_file_system(tmp_path, monkeypatch, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = large_safetensors(tmp_path / "m.safetensors", 2 * MIB)
    with tmpfs(tmp_path / "small", "size=1m") as small:
        (small / "out").write_bytes(b"precious")
        small_model = write(small / "in-place", MODELS["safetensors"])
        with pytest.raises(OSError) as caught:
            quillon_files.embed_manifest(model, STORE, output=small / "out")
        assert (caught.value.errno, caught.value.filename) == (errno.ENOSPC, small / "out")
        assert (small / "out").read_bytes() == b"precious"
        # Filling the rest, an in-place rewrite finds no room either.
        filler = small / "filler"
        with contextlib.suppress(OSError), open(filler, "wb") as out:
            out.write(b"\1" * (1 * MIB))
        before = small_model.read_bytes()
        with pytest.raises(OSError) as caught:
            quillon_files.embed_manifest(small_model, STORE)
        assert (caught.value.errno, caught.value.filename) == (errno.ENOSPC, small_model)
        assert small_model.read_bytes() == before
        assert sorted(os.listdir(small)) == ["filler", "in-place", "out"]


@pytest.mark.parametrize("fallback", FALLBACKS)
def test_file_size_limit(tmp_path, fallback):
    model = large_safetensors(tmp_path / "m.safetensors", 2 * MIB)
    (tmp_path / "out").write_bytes(b"precious")
    script = textwrap.dedent("""
        import resource, signal, sys
        import quillon_files
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        try:
            quillon_files.remove_manifest(sys.argv[1], output=sys.argv[2])
        except OSError as error:
            print(error.errno, error.filename)
    """)
    done = subprocess.run([sys.executable, "-c", script, str(model), str(tmp_path / "out")],
                          capture_output=True, text=True, env=dict(child_env(), QUILLON_FILES_FALLBACK=fallback),
                          check=False)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{errno.EFBIG} {tmp_path / 'out'}\n", "")
    assert (tmp_path / "out").read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "out"]


EMBED = textwrap.dedent("""
    import sys
    import quillon_files
    try:
        quillon_files.embed_manifest(sys.argv[1], bytes.fromhex(sys.argv[3]), output=sys.argv[2])
    except OSError as error:
        print(error.errno, error.filename)
""")


@functools.lru_cache(maxsize=None)
def has_fault_seam():
    """Whether this build injects the failures QUILLON_FILES_FAULT names
    (a build with the test seam; a release ignores the variable)."""
    with tempfile.TemporaryDirectory() as folder:
        probe = "import sys, quillon_files; quillon_files.write_file(sys.argv[1], b'')"
        done = subprocess.run([sys.executable, "-c", probe, os.path.join(folder, "probe")], capture_output=True,
                              check=False, env=dict(child_env(), QUILLON_FILES_FAULT="sync:EIO"))
        return done.returncode != 0


# copy_file_range failing as other kernels, file systems and sandboxes make
# it fail (through the test seam's QUILLON_FILES_FAULT), on the shifted
# tensor the kernel copy is forced on: a refusal of the call (None) is met by
# the buffered copy; a failure is the model's error.
@pytest.mark.parametrize("code, failure", [
    ("ENOSYS", None), ("EXDEV", None), ("ENOTSUP", None), ("EPERM", None), ("ETXTBSY", None), ("EINVAL", None),
    ("EACCES", errno.EACCES), ("EIO", errno.EIO)])
@pytest.mark.parametrize("destination", ["new", "old"])
def test_kernel_copy_failures(tmp_path, destination, code, failure):
    if failure is not None and not has_fault_seam():
        pytest.skip("a release build injects no failure")
    model = large_safetensors(tmp_path / "m.safetensors", 2 * MIB)
    (tmp_path / "old").write_bytes(b"precious")
    done = subprocess.run([sys.executable, "-c", EMBED, str(model), str(tmp_path / destination), STORE.hex()],
                          capture_output=True, text=True, check=False,
                          env=dict(child_env(), QUILLON_FILES_FAULT="copy_range:" + code, QUILLON_FILES_FALLBACK="kernel"))
    names = {"m.safetensors", "old"}
    if failure is None:
        assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
        assert (tmp_path / destination).read_bytes() == quillon.embed_manifest(model.read_bytes(), STORE)
        names.add(destination)
    else:
        assert (done.returncode, done.stdout, done.stderr) == (0, f"{failure} {model}\n", "")
        assert (tmp_path / "old").read_bytes() == b"precious"
    assert set(os.listdir(tmp_path)) == names


def test_read_only_file_system(tmp_path):
    with tmpfs(tmp_path / "ro", "size=4m") as folder:
        (folder / "m.gguf").write_bytes(MODELS["gguf"])
        subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True)
        # Reads work; every write fails with EROFS and changes nothing.
        assert quillon_files.read_manifest_uri(folder / "m.gguf") is None
        for output in (None, folder / "out"):
            with pytest.raises(OSError) as caught:
                quillon_files.embed_manifest_remote(folder / "m.gguf", URI, output=output)
            assert (caught.value.errno, caught.value.filename) == (errno.EROFS, output or folder / "m.gguf")
        assert (folder / "m.gguf").read_bytes() == MODELS["gguf"]
        assert os.listdir(folder) == ["m.gguf"]


PAUSING_COPY = textwrap.dedent("""
    import sys, time
    import quillon_files

    def progress(done, total):
        print("copying", flush=True)
        time.sleep(60)

    quillon_files.remove_manifest(sys.argv[1], output=sys.argv[2], progress=progress)
""")


@needs_native_signals
@pytest.mark.parametrize("fallback", FALLBACKS)
@pytest.mark.parametrize("sent", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT], ids=["KILL", "TERM", "INT"])
def test_signal_in_the_middle_of_a_copy(tmp_path, sent, fallback):
    model = large_safetensors(tmp_path / "m.safetensors", 64 * MIB)
    (tmp_path / "out").write_bytes(b"precious")
    # Named where the fallback is forced (in a build with the test seam) or
    # the file system lacks unnamed ones.
    named = []
    status, _, err = signalled(PAUSING_COPY, [model, tmp_path / "out"], [sent], fallback=fallback,
                               announced=lambda: named.extend(
                                   name for name in os.listdir(tmp_path) if name.startswith(TEMP_PREFIX)))
    assert status != 0
    if sent == signal.SIGINT:
        assert "KeyboardInterrupt" in err
    assert (tmp_path / "out").read_bytes() == b"precious"
    # A named temporary file cannot outlive a killed process by itself; an
    # unnamed one leaves nothing at all.
    assert sorted(os.listdir(tmp_path)) == sorted(["m.safetensors", "out"] + (named if sent != signal.SIGINT else []))


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give files away")


def setfacl(path, spec):
    try:
        done = subprocess.run(["setfacl", "-m", spec, str(path)], capture_output=True, text=True, check=False)
    except FileNotFoundError:
        pytest.skip("setfacl is not installed")
    if done.returncode != 0:
        pytest.skip(f"no ACLs here: {done.stderr.strip()}")


def attributes(path):
    status = path.stat()
    return (stat.S_IMODE(status.st_mode), status.st_uid, status.st_gid,
            {name: os.getxattr(path, name) for name in os.listxattr(path)})


@needs_root
@pytest.mark.parametrize("fallback", FALLBACKS)
@pytest.mark.parametrize("folder_acl, file_acl", [
    (None, "g::r,g:root:rw,o::-"),  # a mask (the group bits) wider than the owning group's entry
    ("d:u:nobody:rw", None),  # a default ACL the replaced file did not take
], ids=["file", "inherited"])
def test_acls_and_extended_attributes_are_kept(tmp_path, monkeypatch, fallback, folder_acl, file_acl):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = write(tmp_path / "m.gguf", MODELS["gguf"])
    folder = tmp_path / "shared"
    folder.mkdir()
    out = write(folder / "out", b"old")
    os.chown(out, 0, 100)
    for path, spec in ((folder, folder_acl), (out, file_acl)):
        if spec:
            setfacl(path, spec)
    try:
        os.setxattr(out, "user.origin", b"here")
    except OSError as error:
        pytest.skip(f"no user attributes here: {error}")
    before = attributes(out)
    quillon_files.embed_manifest(model, STORE, output=out)
    assert attributes(out) == before
    assert out.read_bytes() == quillon.embed_manifest(MODELS["gguf"], STORE)


@needs_root
@pytest.mark.parametrize("mode, group, expected", [
    (0o4777, None, 0o777), (0o2777, None, 0o777), (0o6757, None, 0o757), (0o1777, None, 0o1777),
    (0o2664, 100, 0o664),  # the group stays, being one of the user's
])
def test_a_rewrite_by_another_user_drops_set_id_bits(mode, group, expected):
    """A user who may write a file but not give it away rewrites it in place:
    the new file is theirs, so it must not keep a set-user/group-ID bit."""
    shared = tempfile.TemporaryDirectory()  # where another user can reach it
    path = pathlib.Path(shared.name) / "m.gguf"
    path.parent.chmod(0o777)
    path.write_bytes(MODELS["gguf"])
    if group is not None:
        os.chown(path, 0, group)
    path.chmod(mode)
    script = "import os, sys, quillon_files; os.setgroups([int(sys.argv[2])] if sys.argv[2] else os.getgroups()); " \
             "os.setgid(65534); os.setuid(65534); quillon_files.embed_manifest_remote(sys.argv[1], 'u')"
    subprocess.run([sys.executable, "-c", script, str(path), str(group or "")], env=child_env(), check=True)
    status = path.stat()
    assert (status.st_uid, status.st_mode & 0o7777) == (65534, expected)
    assert group is None or status.st_gid == group
    assert quillon_files.read_manifest_uri(path) == "u"
    shared.cleanup()


@pytest.fixture
def protected_symlinks():
    setting = pathlib.Path("/proc/sys/fs/protected_symlinks")
    before = setting.read_text() if setting.exists() else "0"
    if before.strip() != "1":
        try:
            setting.write_text("1")
        except OSError:
            pytest.skip("fs.protected_symlinks is off and cannot be set")
    yield
    if before.strip() != "1":
        setting.write_text(before)


@needs_root
@pytest.mark.parametrize("fallback", FALLBACKS)
@pytest.mark.parametrize("exists", [True, False], ids=["existing", "dangling"])
@pytest.mark.parametrize("owner", [65534, 0], ids=["other user's", "folder owner's"])
def test_links_in_sticky_folders_are_followed_as_the_kernel_allows(tmp_path, monkeypatch, protected_symlinks,
                                                                    fallback, exists, owner):
    """Root writing through a link another user made in a sticky world-writable
    folder (/tmp) must not write where the link points."""
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = write(tmp_path / "m.gguf", MODELS["gguf"])
    sticky = tmp_path / "sticky"
    sticky.mkdir()
    sticky.chmod(0o1777)
    target = tmp_path / "shadow"
    if exists:
        target.write_bytes(b"secret")
    link = sticky / "x"
    link.symlink_to(target)
    os.lchown(link, owner, owner)
    if owner == 0:
        quillon_files.remove_manifest(model, output=link)
        assert target.read_bytes() == quillon.remove_manifest(MODELS["gguf"])
    else:
        with pytest.raises(PermissionError) as caught:
            quillon_files.remove_manifest(model, output=link)
        assert (caught.value.errno, caught.value.filename) == (errno.EACCES, link)
        assert target.read_bytes() == b"secret" if exists else not target.exists()
    assert sorted(os.listdir(tmp_path)) == ["m.gguf"] + ["shadow"] * (exists or owner == 0) + ["sticky"]


@pytest.mark.parametrize("fallback", FALLBACKS)
def test_relative_paths_below_a_working_folder_deeper_than_path_max(tmp_path, monkeypatch, fallback):
    monkeypatch.setenv("QUILLON_FILES_FALLBACK", fallback)
    model = write(tmp_path / "m.gguf", MODELS["gguf"])
    (tmp_path / "target").write_bytes(b"old")
    monkeypatch.chdir(tmp_path)
    for _ in range(50):
        os.mkdir("d" * 100)
        os.chdir("d" * 100)
    os.symlink("../" * 50 + "target", "link")
    os.symlink("later", "dangling")
    for output in ("out", "link", "dangling"):
        quillon_files.remove_manifest(model, output=output)
    for written in ("out", "later", "../" * 50 + "target"):
        with open(written, "rb") as file:
            assert file.read() == quillon.remove_manifest(MODELS["gguf"])
    assert sorted(os.listdir()) == ["dangling", "later", "link", "out"]
# --- models that change while they are read ----------------------------------------

REWRITER = textwrap.dedent("""
    import sys, time
    path, content = sys.argv[1], open(sys.argv[2], "rb").read()
    while True:  # what `cp` does: cut the file short, then write it again
        with open(path, "wb") as out:
            for start in range(0, len(content), 1 << 20):
                out.write(content[start:start + (1 << 20)])
        time.sleep(0.01)  # leaves the file whole for a while
""")

READER = textwrap.dedent("""
    import collections, sys
    import quillon, quillon_files
    from quillon_cli.commands import describe
    from quillon_cli.errors import FileError
    path, rounds, content = sys.argv[1], int(sys.argv[2]), open(sys.argv[3], "rb").read()
    store = quillon.read_manifest(content)
    facts = {"format": quillon.detect_format(content), "asset_type": quillon.model_type(content),
             "store_size": len(store), "uri": quillon.read_manifest_uri(content)}
    reads = [(quillon_files.read_manifest, store), (quillon_files.describe, facts),
             (lambda path: {k: v for k, v in describe(path).items() if k not in ("file", "store")}, facts)]
    seen = collections.Counter()
    # Reads of an empty file, while the rewrite has just begun, fail at once
    # and do not count.
    while sum(seen.values()) - seen["empty"] < rounds and seen["empty"] < 100 * rounds:
        for read, expected in reads:
            try:
                got = read(path)
            except (OSError, ValueError, FileError) as error:
                empty = str(error).endswith("unrecognized ML model container format")
                seen["empty" if empty else type(error).__name__ + ": " + str(error).replace(path, "<path>")] += 1
                continue
            if got != expected:
                sys.exit(f"wrong result: {got!r:.200}")
            seen["ok"] += 1
    print(dict(seen))
""")


def test_reads_of_a_model_rewritten_meanwhile_end_cleanly(tmp_path):
    # A store of a few MiB makes the header span hundreds of pages, each of
    # which the rewrite may cut off while a parse is reading it.
    store = bytes(range(256)) * (16 * 1024)
    content = quillon.embed_manifest(MODELS["safetensors"], store)
    (tmp_path / "content").write_bytes(content)
    model = write(tmp_path / "m.safetensors", content)
    rewriter = subprocess.Popen([sys.executable, "-c", REWRITER, str(model), str(tmp_path / "content")])
    try:
        done = subprocess.run([sys.executable, "-c", READER, str(model), "150", str(tmp_path / "content")],
                              capture_output=True, text=True, env=child_env(), check=False)
    finally:
        rewriter.kill()
        rewriter.wait()
    assert done.returncode == 0, done.stdout + done.stderr
    print(done.stdout)


FOREIGN_FAULT = textwrap.dedent("""
    import faulthandler, mmap, os, sys
    import quillon_files
    path, other, when = sys.argv[1:]
    if when == "before":
        faulthandler.enable()
    # Rewrites map the model, which puts the reader's SIGBUS handler in place.
    quillon_files.embed_manifest(path, b"store", output=other + ".out")
    if when == "after":
        faulthandler.enable()
        quillon_files.embed_manifest(path, b"store", output=other + ".out")
    with open(other, "wb") as out:
        out.write(bytes(4096))
    with open(other, "rb") as source:
        view = mmap.mmap(source.fileno(), 4096, access=mmap.ACCESS_READ)
    os.truncate(other, 0)
    view[0]  # a fault in a mapping of Python's own
""")


@pytest.mark.parametrize("when", ["never", "before", "after"])
def test_faults_outside_models_still_crash(tmp_path, when):
    """However Python's faulthandler was enabled around the first rewrite, a
    fault that is not the reader's ends the process, reported once."""
    model = write(tmp_path / "m.gguf", MODELS["gguf"])
    env = {name: value for name, value in child_env().items() if name != "PYTHONFAULTHANDLER"}
    done = subprocess.run([sys.executable, "-c", FOREIGN_FAULT, str(model), str(tmp_path / "other"), when],
                          capture_output=True, text=True, env=env, check=False)
    assert done.returncode == -signal.SIGBUS
    assert done.stderr.count("Fatal Python error: Bus error") == (when != "never"), done.stderr


@pytest.mark.parametrize("store_size, outcome", [
    (64 * MIB, str(64 * MIB)),
    # Past the most a read copies: refused before anything is fetched.
    (GIB, "reading it would fetch more than 1073741824 bytes"),
])
def test_a_large_store_is_described_in_bounded_memory(tmp_path, store_size, outcome):
    # A GGUF store all of it a hole in a sparse file; reads copy the metadata.
    small = quillon.embed_manifest(MODELS["minimal-gguf"], bytes(32))
    start = small.index(struct.pack("<IQ", 0, 32)) + 12
    model = tmp_path / "m.gguf"
    with open(model, "wb") as out:
        out.write(small[:start - 8] + struct.pack("<Q", store_size))
        out.truncate(start + store_size)
        out.seek(start + store_size)
        out.write(small[start + 32:])
    # VmHWM, not ru_maxrss: a child's ru_maxrss starts from its parent's.
    script = ("import re, sys\nfrom quillon_cli.commands import describe\n"
              "try: outcome = describe(sys.argv[1])['store_size']\n"
              "except Exception as error: outcome = str(error).rsplit(': ', 1)[-1]\n"
              "print(outcome, re.search(r'VmHWM:\\s+(\\d+)', open('/proc/self/status').read())[1], sep='|')")
    done = subprocess.run([sys.executable, "-c", script, str(model)], capture_output=True, text=True,
                          env=child_env(), check=True)
    described, peak_kib = done.stdout.strip().split("|")
    assert described == outcome
    assert int(peak_kib) < 256 * 1024

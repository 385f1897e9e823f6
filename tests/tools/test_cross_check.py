"""tools/cross-check's reading of a Mach-O library's and a Windows DLL's
exports and of a COFF object's imports, on small files built here by zig
(the ziglang package of this venv), and the macOS and Windows wheels made of
such files (tools/platform_wheel.py, checked by tools/check_wheel.py)."""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ziglang = pytest.importorskip("ziglang")
ZIG = Path(ziglang.__file__).parent / "zig"
TOOL = Path(__file__).resolve().parents[2] / "tools" / "cross-check"
loader = importlib.machinery.SourceFileLoader("cross_check", str(TOOL))
cross_check = importlib.util.module_from_spec(importlib.util.spec_from_loader("cross_check", loader))
loader.exec_module(cross_check)

EXPORT = '__attribute__((visibility("default")))'
INIT = EXPORT + " void *PyInit_m(void) { return 0; }\n"


@pytest.fixture(scope="module")
def zig_cache(tmp_path_factory):
    """One cache for every case: zig builds each target's runtime into it once."""
    cache = str(tmp_path_factory.mktemp("zig-cache"))
    return dict(os.environ, ZIG_GLOBAL_CACHE_DIR=cache, ZIG_LOCAL_CACHE_DIR=cache)


@pytest.mark.parametrize("target", ["aarch64-macos", "x86_64-macos"])
@pytest.mark.parametrize(
    "source, flags, exports",
    [
        (INIT, [], ["_PyInit_m"]),
        # Hidden by the flag the check compiles with, or private by declaration.
        (INIT + "int helper(void) { return 1; }\n", ["-fvisibility=hidden"], ["_PyInit_m"]),
        (INIT + '__attribute__((visibility("hidden"))) int helper(void) { return 1; }\n', [], ["_PyInit_m"]),
        # What the check must refuse: a second exported function or variable.
        (INIT + EXPORT + " int helper(void) { return 1; }\n", ["-fvisibility=hidden"], ["_PyInit_m", "_helper"]),
        (INIT + EXPORT + " int counter = 1;\n", ["-fvisibility=hidden"], ["_PyInit_m", "_counter"]),
    ],
)
def test_exports(tmp_path, zig_cache, target, source, flags, exports):
    (tmp_path / "m.c").write_text(source)
    library = tmp_path / "m.so"
    subprocess.run([ZIG, "cc", "-target", target, "-shared", "-undefined", "dynamic_lookup", *flags,
                    str(tmp_path / "m.c"), "-o", str(library)], check=True, env=zig_cache)
    found = set(cross_check.exported_symbols(library)) - cross_check.LINKER_SYMBOLS
    assert sorted(found) == sorted(exports)


DLLEXPORT = "__declspec(dllexport)"


@pytest.mark.parametrize(
    "source, exports",
    [
        (DLLEXPORT + " void *PyInit_m(void) { return 0; }\nint helper(void) { return 1; }\n", ["PyInit_m"]),
        # What the check must refuse: a second dllexport, or none at all, when
        # the MinGW linker exports every function.
        (DLLEXPORT + " void *PyInit_m(void) { return 0; }\n" + DLLEXPORT + " int helper(void) { return 1; }\n",
         ["PyInit_m", "helper"]),
        ("void *PyInit_m(void) { return 0; }\nint helper(void) { return 1; }\n", ["PyInit_m", "helper"]),
    ],
)
def test_pe_exports(tmp_path, zig_cache, source, exports):
    (tmp_path / "m.c").write_text(source)
    library = tmp_path / "m.pyd"
    subprocess.run([ZIG, "cc", "-target", "x86_64-windows-gnu", "-shared", str(tmp_path / "m.c"), "-o", str(library)],
                   check=True, env=zig_cache)
    found = cross_check.exported_symbols(library)
    # Exporting every function also exports some of the C runtime's.
    assert set(exports) <= set(found) and (found == ["PyInit_m"]) == (exports == ["PyInit_m"])


def test_coff_imports(tmp_path, zig_cache):
    """Only what an object imports from a DLL goes into the import library."""
    (tmp_path / "m.c").write_text(
        "__declspec(dllimport) int PyCall(void);\n__declspec(dllimport) extern int PyDatum;\n"
        "int local(void);\nint user(void) { return PyCall() + PyDatum + local(); }\n")
    subprocess.run([ZIG, "cc", "-target", "x86_64-windows-gnu", "-c", str(tmp_path / "m.c"), "-o",
                    str(tmp_path / "m.o")], check=True, env=zig_cache)
    assert cross_check.coff_imports(tmp_path / "m.o") == {"PyCall", "PyDatum"}


sys.path.insert(0, str(TOOL.parent))
import check_wheel  # noqa: E402
import platform_wheel  # noqa: E402


def template_wheel(folder):
    """A Linux wheel as tools/build-wheels makes them: Python files, metadata, two modules."""
    path = folder / "quillon-0.1.0-cp39-abi3-manylinux_2_17_x86_64.whl"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("quillon_cli/__init__.py", "")
        archive.writestr("quillon-0.1.0.dist-info/WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: false\n"
                         "Tag: cp39-abi3-manylinux_2_17_x86_64\n\n")
        archive.writestr("quillon-0.1.0.dist-info/RECORD", "")
        for module in platform_wheel.MODULES:
            archive.writestr(module + ".abi3.so", b"\x7fELF")
    return path


def edit(wheel, name, change):
    """The wheel with one member's bytes changed, RECORD left as it was."""
    with zipfile.ZipFile(wheel) as archive:
        members = {info.filename: archive.read(info) for info in archive.infolist()}
    members[name] = change(members[name])
    with zipfile.ZipFile(wheel, "w") as archive:
        for member, data in members.items():
            archive.writestr(member, data)


# (platform, zig target, extra source, a change after the build, expected problem)
PLATFORM_CASES = [
    ("macosx_11_0_arm64", "aarch64-macos.11.0", "", None, None),
    ("macosx_10_12_x86_64", "x86_64-macos.10.12", "", None, None),
    ("win_amd64", "x86_64-windows-gnu", "", None, None),
    ("macosx_11_0_arm64", "aarch64-macos.12.0", "", None, "declares macOS 12.0, not 11.0"),
    ("macosx_10_12_x86_64", "aarch64-macos.11.0", "", None, "is not built for macosx_10_12_x86_64"),
    ("macosx_11_0_arm64", "aarch64-macos.11.0", "extern int elsewhere; int use(void) { return elsewhere; }\n", None,
     "leaves ['_elsewhere'] to the interpreter"),
    ("win_amd64", "x86_64-windows-gnu", DLLEXPORT + " int helper(void) { return 1; }\n", None, "must export only"),
    ("win_amd64", "x86_64-windows-gnu", "", ("quillon_cli/__init__.py", lambda data: data + b"#"),
     "RECORD has sha256="),
    ("win_amd64", "x86_64-windows-gnu", "", ("quillon-0.1.0.dist-info/WHEEL", lambda data: b"Tag: py3-none-any\n" + data),
     "WHEEL has the tags"),
]


@pytest.mark.parametrize("platform, target, extra, change, problem", PLATFORM_CASES)
def test_platform_wheel(tmp_path, zig_cache, platform, target, extra, change, problem):
    """tools/platform_wheel.py's wheel from small modules, and what tools/check_wheel.py finds in it."""
    _, suffix = platform_wheel.PLATFORMS[platform]
    windows = suffix == ".pyd"
    # Without the C library, which zig would first build for each target;
    # a DLL then needs its own entry point.
    start = "int DllMainCRTStartup(void *d, unsigned r, void *p) { return 1; }\n" if windows else ""
    for module in platform_wheel.MODULES:
        (tmp_path / "m.c").write_text((DLLEXPORT if windows else EXPORT) + f" void *PyInit_{module}(void) {{ return 0; }}\n"
                                      + start + extra)
        subprocess.run([ZIG, "cc", "-target", target, "-shared", "-nostdlib", "-fvisibility=hidden", str(tmp_path / "m.c"),
                        "-o", str(tmp_path / (module + suffix)), *([] if windows else ["-undefined", "dynamic_lookup"])],
                       check=True, env=zig_cache)
    wheel = platform_wheel.build(platform, template_wheel(tmp_path), tmp_path, tmp_path)
    with zipfile.ZipFile(wheel) as archive:
        assert sorted(archive.namelist()) == sorted(["quillon_cli/__init__.py", "quillon-0.1.0.dist-info/WHEEL",
                                                     "quillon-0.1.0.dist-info/RECORD",
                                                     *(module + suffix for module in platform_wheel.MODULES)])
    if change:
        edit(wheel, *change)
    problems = check_wheel.wheel_problems(str(wheel), (2, 17))
    assert [p for p in problems if problem and problem in p] if problem else problems == []


BUILT = os.environ.get("QUILLON_CROSS_BUILD"), os.environ.get("QUILLON_LINUX_WHEEL")


@pytest.mark.skipif(not all(BUILT), reason="needs QUILLON_CROSS_BUILD and QUILLON_LINUX_WHEEL (tests/run sets them)")
def test_build_wheels_platforms(tmp_path):
    """tools/build-wheels' macOS and Windows wheels from tests/run's cross build
    folder: each holds the Linux wheel's files with its own modules, and passes the check."""
    cross, linux = BUILT
    subprocess.run(["bash", str(TOOL.parent / "build-wheels"), "--arch", "macos-arm64", "--arch", "macos-x86_64",
                    "--arch", "windows-amd64", "--cross", cross, "--like", linux, "--out", str(tmp_path)], check=True)
    with zipfile.ZipFile(linux) as archive:
        shared = {name for name in archive.namelist() if not name.endswith(".abi3.so")}
    for platform, (_, suffix) in platform_wheel.PLATFORMS.items():
        wheel, = tmp_path.glob(f"quillon-*-cp39-abi3-{platform}.whl")
        with zipfile.ZipFile(wheel) as archive:
            assert set(archive.namelist()) == shared | {module + suffix for module in platform_wheel.MODULES}
        assert check_wheel.wheel_problems(str(wheel), (2, 17)) == []

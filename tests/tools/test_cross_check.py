"""tools/cross-check's reading of a Mach-O library's and a Windows DLL's
exports and of a COFF object's imports, on small files built here by zig
(the ziglang package of this venv)."""

import importlib.machinery
import importlib.util
import os
import subprocess
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

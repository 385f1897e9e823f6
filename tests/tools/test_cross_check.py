"""tools/cross-check's reading of a Mach-O library's exports, on small
libraries linked here for macOS by zig (the ziglang package of this venv)."""

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

"""tools/check_wheel.py on wheels holding small shared objects built here with
the system's C and C++ compilers: each case breaks one rule."""

import platform
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import check_wheel  # noqa: E402

ARCH = platform.machine()
OTHER_ARCH = "aarch64" if ARCH == "x86_64" else "x86_64"
EXPORT = '__attribute__((visibility("default")))'

INIT = EXPORT + " void *PyInit_{name}(void) {{ return 0; }}\n"
HELPER = EXPORT + " int helper(void) { return 1; }\n"
# copy_file_range arrived in glibc 2.27.
NEW_GLIBC = "#define _GNU_SOURCE\n#include <unistd.h>\nlong copy(void) { return copy_file_range(0, 0, 1, 0, 1, 0); }\n"
# Defined in no library: the linker leaves it undefined and unversioned, as
# zig does with a C library function, declared by hand, that the target glibc
# lacks.
FROM_NOWHERE = "extern long missing_function(void);\nlong call(void) { return missing_function(); }\n"
PYTHON_API = "extern void *PyLong_FromLong(long);\nvoid *one(void) { return PyLong_FromLong(1); }\n"
CXX_RUNTIME = '#include <string>\nextern "C" unsigned long size(const char *s) { return std::string(s).size(); }\n'


def shared_object(tmp_path: Path, name: str, source: str, cxx: bool = False) -> bytes:
    suffix = ".cpp" if cxx else ".c"
    src = tmp_path / (name + suffix)
    if cxx:
        source = source.replace(EXPORT + " void *PyInit", 'extern "C" ' + EXPORT + " void *PyInit")
    src.write_text(source)
    out = tmp_path / (name + ".so")
    compiler = "c++" if cxx else "cc"
    subprocess.run([compiler, "-shared", "-fPIC", "-fvisibility=hidden", "-O1", str(src), "-o", str(out)], check=True)
    return out.read_bytes()


def wheel(tmp_path: Path, arch: str, members: dict[str, bytes]) -> str:
    path = tmp_path / f"pkg-1.0-cp39-abi3-manylinux_2_17_{arch}.whl"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("pkg-1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n")
        for name, data in members.items():
            archive.writestr(name, data)
    return str(path)


# (case, file name in the wheel, C or C++ source, built as C++, tag's arch, expected problems)
CASES = [
    ("fit", "good.abi3.so", INIT.format(name="good"), False, ARCH, []),
    ("module in a package", "pkg/inner.abi3.so", INIT.format(name="inner"), False, ARCH, []),
    ("second export", "extra.abi3.so", INIT.format(name="extra") + HELPER, False, ARCH,
     ["must export only PyInit_extra, exports PyInit_extra, helper"]),
    ("other module's init", "mine.abi3.so", INIT.format(name="theirs"), False, ARCH,
     ["must export only PyInit_mine, exports PyInit_theirs"]),
    ("no export", "empty.abi3.so", "static int unused;\n", False, ARCH,
     ["must export only PyInit_empty, exports nothing"]),
    ("newer glibc", "fresh.abi3.so", INIT.format(name="fresh") + NEW_GLIBC, False, ARCH,
     ["needs GLIBC_2.27, newer than glibc 2.17 (from libc.so.6)"]),
    ("uses the C API", "api.abi3.so", INIT.format(name="api") + PYTHON_API, False, ARCH, []),
    ("unversioned C library symbol", "loose.abi3.so", INIT.format(name="loose") + FROM_NOWHERE, False, ARCH,
     ["references missing_function, which is neither CPython's nor a versioned C library symbol"]),
    ("shared C++ runtime", "cxx.abi3.so", INIT.format(name="cxx") + CXX_RUNTIME, True, ARCH,
     ["needs libstdc++.so.6, which is not part of the C library", "GLIBCXX_"]),
    ("not stable ABI", f"ver.cpython-311-{ARCH}-linux-gnu.so", INIT.format(name="ver"), False, ARCH,
     ["is not a stable-ABI extension module (NAME.abi3.so)"]),
    ("grafted library", "pkg.libs/libz.so.1", HELPER, False, ARCH,
     ["is not a stable-ABI extension module (NAME.abi3.so)"]),
    ("wrong architecture", "good.abi3.so", INIT.format(name="good"), False, OTHER_ARCH,
     [f"is built for {ARCH}, but the wheel is tagged {OTHER_ARCH}"]),
]


@pytest.mark.parametrize("case, name, source, cxx, arch, expected", CASES, ids=[c[0] for c in CASES])
def test_each_rule_is_enforced(tmp_path, case, name, source, cxx, arch, expected):
    data = shared_object(tmp_path, "m", source, cxx)
    problems = check_wheel.wheel_problems(wheel(tmp_path, arch, {name: data}), (2, 17))
    for text in expected:
        assert any(text in p and name in p for p in problems), (text, problems)
    if not expected:
        assert problems == []


def test_every_module_is_checked(tmp_path):
    good = shared_object(tmp_path, "a", INIT.format(name="a"))
    bad = shared_object(tmp_path, "b", INIT.format(name="b") + HELPER)
    path = wheel(tmp_path, ARCH, {"a.abi3.so": good, "b.abi3.so": bad, "c.abi3.so": bad})
    problems = check_wheel.wheel_problems(path, (2, 17))
    assert [p.split()[1] for p in problems] == ["b.abi3.so", "c.abi3.so"]


def test_a_wheel_without_modules_fails(tmp_path):
    assert check_wheel.wheel_problems(wheel(tmp_path, ARCH, {"pkg/__init__.py": b""}), (2, 17)) == [
        f"pkg-1.0-cp39-abi3-manylinux_2_17_{ARCH}.whl: holds no extension module"
    ]


@pytest.mark.parametrize(
    "version, allowed",
    [
        ("GLIBC_2.2.5", True),  # x86_64's baseline: compared as numbers, not text
        ("GLIBC_2.3.4", True),
        ("GLIBC_2.17", True),
        ("GLIBC_2.18", False),
        ("GLIBC_2.34", False),
        ("GLIBC_3.0", False),
        ("GLIBC_PRIVATE", False),
        ("GLIBCXX_3.4", False),
        ("CXXABI_1.3", False),
        ("GCC_3.0", False),
    ],
)
def test_symbol_versions(version, allowed):
    assert (check_wheel.version_problem(version, (2, 17)) is None) == allowed


@pytest.mark.parametrize(
    "name, arch",
    [
        ("q-0.1-cp39-abi3-linux_x86_64.whl", "x86_64"),
        ("q-0.1-cp39-abi3-manylinux2014_aarch64.manylinux_2_17_aarch64.whl", "aarch64"),
        ("dist/q-0.1-cp39-abi3-manylinux_2_17_x86_64.whl", "x86_64"),
    ],
)
def test_architecture_from_the_platform_tag(name, arch):
    assert check_wheel.wheel_architecture(name) == arch


def test_command_exit_status(tmp_path, capsys):
    good = wheel(tmp_path, ARCH, {"good.abi3.so": shared_object(tmp_path, "g", INIT.format(name="good"))})
    assert check_wheel.main([good]) == 0
    assert check_wheel.main(["--glibc", "2.17", good, wheel(tmp_path, OTHER_ARCH, {})]) == 1
    assert "holds no extension module" in capsys.readouterr().err

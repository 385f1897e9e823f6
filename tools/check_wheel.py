"""Checks that every extension module in a wheel runs on any Linux with the
given glibc or newer, and stands alone.

    python tools/check_wheel.py [--glibc 2.17] WHEEL...

Every shared object in a wheel must be a stable-ABI module, NAME.abi3.so, that
  - is built for the architecture in the wheel's platform tag;
  - exports nothing but PyInit_NAME;
  - needs only the C library's own shared objects (the C++ runtime is linked
    in), and from them no symbol version newer than the given glibc;
  - takes every other symbol from CPython: an unversioned reference to
    anything else (say a C library function that an old glibc lacks, which
    the linker let through undefined) would fail at import.
A macOS or Windows wheel (tools/platform_wheel.py's) is checked instead for
  - its tag: cp39-abi3-PLATFORM in its name and in its WHEEL;
  - a RECORD that lists every other file once, with its size and sha256;
  - modules named as that system loads stable-ABI ones (NAME.abi3.so,
    NAME.pyd), built for the tag's architecture, which pass tools/cross-check's
    checks: PyInit_NAME their only export and, on macOS, the tag's release as
    their minimum and nothing but CPython's symbols left to the interpreter.
Every problem is printed, one line each, and the exit status is 1 if there was
any. Needs pyelftools (auditwheel brings it).
"""

from __future__ import annotations

import argparse
import base64
import csv
import email.parser
import hashlib
import importlib.machinery
import importlib.util
import io
import re
import sys
import zipfile
from pathlib import Path, PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection
from elftools.elf.sections import SymbolTableSection

MODULE_NAME = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\.abi3\.so")
GLIBC_VERSION = re.compile(r"GLIBC_(\d+(?:\.\d+)+)")
# glibc's own shared objects; anything else would have to be present on the
# user's machine or grafted into the wheel.
C_LIBRARY = re.compile(r"(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux[-\w.]*\.so\.\d+)")
MACHINES = {"EM_X86_64": "x86_64", "EM_AARCH64": "aarch64"}
# The interpreter's C API, which modules reference without a version.
PYTHON_API = re.compile(r"_?Py")
UNVERSIONED = ("VER_NDX_LOCAL", "VER_NDX_GLOBAL")


def parse_version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def version_problem(version: str, glibc: tuple[int, ...]) -> str | None:
    """Why a needed symbol version is not allowed, or None when it is."""
    match = GLIBC_VERSION.fullmatch(version)
    if match is None:
        return f"needs {version}, which is not a public glibc version"
    if parse_version(match.group(1)) > glibc:
        return f"needs {version}, newer than glibc {'.'.join(map(str, glibc))}"
    return None


def wheel_architecture(wheel_name: str) -> str:
    """The architecture in a wheel file name's platform tag, e.g. 'aarch64'."""
    platform = PurePosixPath(wheel_name).name.removesuffix(".whl").split("-")[-1]
    for tag in platform.split("."):
        for arch in MACHINES.values():
            if tag.endswith("_" + arch):
                return arch
    return platform


def dynamic_symbols(elf: ELFFile):
    """(symbol, version index) for each entry of the dynamic symbol table."""
    symbols = elf.get_section_by_name(".dynsym")
    if not isinstance(symbols, SymbolTableSection):
        return
    versions = elf.get_section_by_name(".gnu.version")
    for index, symbol in enumerate(symbols.iter_symbols()):
        yield symbol, versions.get_symbol(index)["ndx"] if versions is not None else "VER_NDX_GLOBAL"


def module_problems(name: str, data: bytes, arch: str, glibc: tuple[int, ...]) -> list[str]:
    """Every reason the shared object `name` (a path in the wheel) is unfit."""
    match = MODULE_NAME.fullmatch(PurePosixPath(name).name)
    if match is None:
        return ["is not a stable-ABI extension module (NAME.abi3.so)"]
    problems = []
    elf = ELFFile(io.BytesIO(data))
    machine = MACHINES.get(elf["e_machine"], elf["e_machine"])
    if machine != arch:
        problems.append(f"is built for {machine}, but the wheel is tagged {arch}")

    expected = "PyInit_" + match.group(1)
    exports = []
    for symbol, version in dynamic_symbols(elf):
        if not symbol.name or symbol["st_info"]["bind"] == "STB_LOCAL":
            continue
        if symbol["st_shndx"] != "SHN_UNDEF":
            exports.append(symbol.name)
        elif version in UNVERSIONED and symbol["st_info"]["bind"] != "STB_WEAK" and not PYTHON_API.match(symbol.name):
            problems.append(f"references {symbol.name}, which is neither CPython's nor a versioned C library symbol")
    if sorted(exports) != [expected]:
        problems.append(f"must export only {expected}, exports {', '.join(sorted(exports)) or 'nothing'}")

    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags("DT_NEEDED"):
                if not C_LIBRARY.fullmatch(tag.needed):
                    problems.append(f"needs {tag.needed}, which is not part of the C library")
        elif isinstance(section, GNUVerNeedSection):
            for needed, versions in section.iter_versions():
                for version in versions:
                    problem = version_problem(version.name, glibc)
                    if problem:
                        problems.append(f"{problem} (from {needed.name})")
    return problems


# Each macOS and Windows platform tag: the module suffix, the CPU (Mach-O
# cputype or PE machine) and the oldest macOS release.
PLATFORMS = {
    "macosx_11_0_arm64": (".abi3.so", 0x0100000C, "11.0"),
    "macosx_10_12_x86_64": (".abi3.so", 0x01000007, "10.12"),
    "win_amd64": (".pyd", 0x8664, None),
}


def cross_check():
    """tools/cross-check as a module: its reading of Mach-O and PE modules."""
    path = Path(__file__).resolve().parent / "cross-check"
    loader = importlib.machinery.SourceFileLoader("cross_check", str(path))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("cross_check", loader))
    loader.exec_module(module)
    return module


def machine(data: bytes) -> int | None:
    if data[:4] == b"\xcf\xfa\xed\xfe":
        return int.from_bytes(data[4:8], "little")
    if data[:2] == b"MZ" and len(data) >= 0x40:
        header = int.from_bytes(data[0x3C:0x40], "little")
        if data[header:header + 4] == b"PE\0\0":
            return int.from_bytes(data[header + 4:header + 6], "little")
    return None


def record_problems(archive: zipfile.ZipFile) -> list[str]:
    """Where the RECORD misses a file, lists one twice or gives a wrong size or hash."""
    records = [name for name in archive.namelist() if re.fullmatch(r"[^/]+\.dist-info/RECORD", name)]
    if len(records) != 1:
        return [f"has {len(records)} RECORD files"]
    problems, listed = [], set()
    for row in csv.reader(io.StringIO(archive.read(records[0]).decode())):
        if not row:
            continue
        name, digest, size = (row + ["", ""])[:3]
        if name in listed:
            problems.append(f"RECORD lists {name} twice")
        listed.add(name)
        if name == records[0]:
            continue
        if name not in archive.namelist():
            problems.append(f"RECORD lists {name}, which the wheel lacks")
            continue
        data = archive.read(name)
        expected = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if (digest, size) != (expected, str(len(data))):
            problems.append(f"RECORD has {digest},{size} for {name}, whose contents are {expected},{len(data)}")
    problems += [f"RECORD lacks {name}" for name in archive.namelist() if name not in listed and not name.endswith("/")]
    return problems


def platform_problems(wheel: str, platform: str) -> list[str]:
    suffix, cpu, minimum = PLATFORMS[platform]
    checks = cross_check()
    problems, modules = [], 0
    if not PurePosixPath(wheel).name.endswith(f"-cp39-abi3-{platform}.whl"):
        problems.append(f"is not named for cp39-abi3-{platform}")
    with zipfile.ZipFile(wheel) as archive:
        problems += record_problems(archive)
        for name in archive.namelist():
            if name.endswith(".dist-info/WHEEL"):
                tags = email.parser.Parser().parsestr(archive.read(name).decode()).get_all("Tag", [])
                if tags != [f"cp39-abi3-{platform}"]:
                    problems.append(f"WHEEL has the tags {tags}")
            if not re.search(r"\.(so|pyd|dll|dylib)$", name):
                continue
            modules += 1
            module = PurePosixPath(name).name
            if not module.endswith(suffix) or not module.removesuffix(suffix).isidentifier():
                problems.append(f"{name} is not a stable-ABI extension module (NAME{suffix})")
                continue
            data = archive.read(name)
            if machine(data) != cpu:
                problems.append(f"{name} is not built for {platform}")
                continue
            entry = ("" if suffix == ".pyd" else "_") + "PyInit_" + module.removesuffix(suffix)
            problems += [f"{name} {p}" for p in checks.module_problems(data, entry, minimum)]
    if modules == 0:
        problems.append("holds no extension module")
    return problems


def wheel_problems(wheel: str, glibc: tuple[int, ...]) -> list[str]:
    platform = PurePosixPath(wheel).name.removesuffix(".whl").split("-")[-1]
    if platform in PLATFORMS:
        return [f"{PurePosixPath(wheel).name}: {p}" for p in platform_problems(wheel, platform)]
    arch = wheel_architecture(wheel)
    problems = []
    modules = 0
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            if not re.search(r"\.so(\.\d+)*$", name):
                continue
            modules += 1
            problems += [f"{name} {p}" for p in module_problems(name, archive.read(name), arch, glibc)]
    if modules == 0:
        problems.append("holds no extension module")
    return [f"{PurePosixPath(wheel).name}: {p}" for p in problems]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--glibc", default="2.17", help="the oldest glibc the modules must run on")
    parser.add_argument("wheels", nargs="+")
    args = parser.parse_args(argv)
    glibc = parse_version(args.glibc)
    problems = [p for wheel in args.wheels for p in wheel_problems(wheel, glibc)]
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{len(args.wheels)} wheel(s): every module exports only its PyInit_"
              + ("" if all(w.removesuffix(".whl").split("-")[-1] in PLATFORMS for w in args.wheels)
                 else f" and runs on glibc {args.glibc}"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

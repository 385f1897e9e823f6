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
Every problem is printed, one line each, and the exit status is 1 if there was
any. Needs pyelftools (auditwheel brings it).
"""

from __future__ import annotations

import argparse
import io
import re
import sys
import zipfile
from pathlib import PurePosixPath

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


def wheel_problems(wheel: str, glibc: tuple[int, ...]) -> list[str]:
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
        print(f"{len(args.wheels)} wheel(s): every module exports only its PyInit_ and runs on glibc {args.glibc}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

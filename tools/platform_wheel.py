"""Makes a macOS or Windows wheel from this machine's Linux wheel and the
modules tools/cross-check linked for that system.

    python tools/platform_wheel.py --platform macosx_11_0_arm64 --like LINUX_WHEEL --modules DIR --out DIR

The wheel holds what the Linux wheel holds (the pure-Python packages, the
sample models, the metadata), with the Linux modules swapped for the ones in
DIR, named as that system loads stable-ABI modules (NAME.abi3.so on macOS,
NAME.pyd on Windows), its WHEEL tagged cp39-abi3-PLATFORM and a RECORD of
the new contents. It prints the wheel's path; tools/check_wheel.py checks it.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import re
import sys
import zipfile
from pathlib import Path

# Each platform tag: the cross check's target (whose version is the oldest
# release the tag names), and the suffix of a stable-ABI module there.
PLATFORMS = {
    "macosx_11_0_arm64": ("aarch64-macos.11.0", ".abi3.so"),
    "macosx_10_12_x86_64": ("x86_64-macos.10.12", ".abi3.so"),
    "win_amd64": ("x86_64-windows-gnu", ".pyd"),
}
MODULES = ("quillon", "quillon_files")
LINUX_MODULE = re.compile(r"[A-Za-z_]\w*\.abi3\.so")


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def build(platform: str, like: Path, modules: Path, out: Path) -> Path:
    _, suffix = PLATFORMS[platform]
    distribution, version = like.name.split("-")[:2]
    wheel = out / f"{distribution}-{version}-cp39-abi3-{platform}.whl"
    record = f"{distribution}-{version}.dist-info/RECORD"
    lines = []
    with zipfile.ZipFile(like) as template, zipfile.ZipFile(wheel.with_suffix(".part"), "w",
                                                             zipfile.ZIP_DEFLATED) as archive:
        def add(info: zipfile.ZipInfo, data: bytes) -> None:
            archive.writestr(info, data)
            if not info.is_dir():
                lines.append(record_line(info.filename, data))

        for info in template.infolist():
            if info.filename == record or LINUX_MODULE.fullmatch(info.filename):
                continue
            data = template.read(info)
            if info.filename.endswith(".dist-info/WHEEL"):
                # The new tag where the first one was: the headers end at the first empty line.
                lines_of = data.decode().splitlines(keepends=True)
                first = next(i for i, line in enumerate(lines_of) if line.startswith("Tag:"))
                kept = [line for line in lines_of if not line.startswith("Tag:")]
                data = "".join(kept[:first] + [f"Tag: cp39-abi3-{platform}\n"] + kept[first:]).encode()
            add(info, data)
        for module in MODULES:
            info = zipfile.ZipInfo(module + suffix, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = 0o100755 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            add(info, (modules / (module + suffix)).read_bytes())
        archive.writestr(zipfile.ZipInfo(record, date_time=(2020, 1, 1, 0, 0, 0)), "".join(lines) + f"{record},,\n",
                         zipfile.ZIP_DEFLATED)
    wheel.with_suffix(".part").replace(wheel)
    return wheel


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--platform", required=True, choices=sorted(PLATFORMS))
    parser.add_argument("--like", required=True, type=Path, help="the Linux wheel whose contents the new one takes")
    parser.add_argument("--modules", required=True, type=Path, help="the folder of the linked modules")
    parser.add_argument("--out", required=True, type=Path)
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    print(build(args.platform, args.like, args.modules, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

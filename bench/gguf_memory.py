"""Peak memory of reading and stripping a GGUF whose metadata is 20 million
zero-filled entries (a 256 MiB hole of a sparse file), each call in a fresh
interpreter, as its high-water mark (VmHWM) above an idle interpreter's.

    python bench/gguf_memory.py

File calls count the pages of the mapped model they touch (the page cache,
not memory of their own); `quillon.remove_manifest` holds the input and the
output `bytes`, 256 MiB each."""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from models import gguf_header  # noqa: E402

ENTRIES = (256 << 20) // 13  # the smallest entry: key length, type code, one byte
PEAK = "print(re.search(r'VmHWM:\\s+(\\d+)', open('/proc/self/status').read())[1])"
CALLS = {
    "quillon_files.read_manifest_uri": "quillon_files.read_manifest_uri(model)",
    "quillon_files.remove_manifest": "quillon_files.remove_manifest(model, output=model + '.out')",
    "quillon.remove_manifest": "quillon.remove_manifest(open(model, 'rb').read())",
}


def peak_kib(code: str) -> int:
    script = f"import re, quillon, quillon_files; {code}; {PEAK}"
    return int(subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout)


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        model = Path(folder) / "sparse.gguf"
        with open(model, "wb") as out:
            out.write(gguf_header(0, ENTRIES))
            out.truncate(24 + ENTRIES * 13 + 64)
        idle = peak_kib("pass")
        for name, call in CALLS.items():
            print(f"{name}: +{(peak_kib(f'model = {str(model)!r}; {call}') - idle) / 1024:.0f} MiB")


if __name__ == "__main__":
    main()

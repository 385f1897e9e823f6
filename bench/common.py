"""What every benchmark shares: sizes, the machine's description, timing,
peak memory and the figures' formats. The models come from tools/models.py."""

from __future__ import annotations

import gc
import os
import platform
import resource
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

FORMATS = ("gguf", "safetensors", "onnx")
FORMAT_NAMES = {"gguf": "GGUF", "safetensors": "SafeTensors", "onnx": "ONNX"}
URI = "https://example.com/manifests/model.c2pa"
MIB = 1 << 20
GIB = 1 << 30


def parse_size(text: str) -> int:
    units = {"K": 1 << 10, "M": MIB, "G": GIB}
    text = text.strip().upper().removesuffix("IB").removesuffix("B")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def size_label(n: int) -> str:
    for unit, scale in (("G", GIB), ("M", MIB), ("K", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}"
    for unit, scale in (("G", GIB), ("M", MIB), ("K", 1 << 10)):
        if n >= scale:
            return f"{n / scale:.1f}{unit}"
    return str(n)


def read_text(path: str) -> str:
    try:
        return Path(path).read_text().strip()
    except OSError:
        return "unknown"


def cpu_model() -> str:
    for line in read_text("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def memory_total() -> str:
    for line in read_text("/proc/meminfo").splitlines():
        if line.startswith("MemTotal:"):
            return f"{int(line.split()[1]) / (1 << 20):.1f} GiB"
    return "unknown"


def thp_mode() -> str:
    text = read_text("/sys/kernel/mm/transparent_hugepage/enabled")
    for word in text.split():
        if word.startswith("["):
            return word.strip("[]")
    return "unavailable"


def bracketed(text: str) -> str:
    for word in text.split():
        if word.startswith("["):
            return word.strip("[]")
    return text


def page_reporting() -> str:
    """Whether freed guest memory is handed back to a hypervisor, which then
    has to fault it in again on the next use (a cost of large allocations)."""
    order = None
    for word in read_text("/proc/cmdline").split():
        if word.startswith("page_reporting.page_reporting_order="):
            order = int(word.split("=", 1)[1])
    balloon = any(read_text(f"{d}/device") == "0x0005" for d in map(str, Path("/sys/bus/virtio/devices").glob("*")))
    if not balloon:
        return "no"
    return f"balloon present; reporting order {order} ({(4096 << order) // MIB} MiB blocks)" if order else "balloon present"


def package_version(name: str) -> str:
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:  # noqa: BLE001 - a missing package is reported, not fatal
        return "not installed"


def quillon_version() -> str:
    """The installed version, or the source revision of a build-tree module."""
    import quillon

    module = Path(quillon.__file__)
    version = package_version("quillon")
    if version != "not installed" and "site-packages" in str(module):
        return version
    repo = Path(__file__).resolve().parent.parent
    try:
        head = subprocess.run(["git", "-C", str(repo), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(repo), "status", "--porcelain", "--", "src"], capture_output=True,
                               text=True, check=True).stdout.strip()
        return f"source {head}{' + local changes in src/' if dirty else ''} ({module.parent.name}/{module.name})"
    except (OSError, subprocess.CalledProcessError):
        return f"{version} ({module})"


def machine_info() -> dict[str, str]:
    return {
        "CPU": cpu_model(),
        "Cores": str(os.cpu_count()),
        "Memory": memory_total(),
        "Kernel": platform.release(),
        "Transparent huge pages": thp_mode(),
        "THP defrag": bracketed(read_text("/sys/kernel/mm/transparent_hugepage/defrag")),
        "Free page reporting (virtio-balloon)": page_reporting(),
        "Load average (1, 5, 15 min) at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "Python": platform.python_version(),
        "quillon": quillon_version(),
        "gguf": package_version("gguf"),
        "safetensors": package_version("safetensors"),
        "onnx": package_version("onnx"),
        "numpy": package_version("numpy"),
    }


def timed_samples(call, runs: int, min_batch_seconds: float = 0.02) -> list[float]:
    """Seconds per call, one sample per run, sorted. Fast calls are batched so
    one sample lasts at least `min_batch_seconds`; each result is dropped
    before the next call. The first call is a warm-up and is not counted."""
    gc.collect()
    start = time.perf_counter()
    call()
    first = time.perf_counter() - start
    batch = 1 if first >= min_batch_seconds else max(1, int(min_batch_seconds / max(first, 1e-7)))
    samples = []
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(runs):
            start = time.perf_counter()
            for _ in range(batch):
                call()
            samples.append((time.perf_counter() - start) / batch)
    finally:
        if was_enabled:
            gc.enable()
    return sorted(samples)


def maxrss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def format_seconds(t: float) -> str:
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.1f} ms"
    return f"{t * 1e6:.1f} µs"


def scratch_dir(largest: int) -> str:
    """tmpfs keeps the scratch files off the disk; containers often give it
    only a few MiB, so fall back to the temporary directory."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and shutil.disk_usage(shm).free > 3 * largest + GIB:
        return shm
    return tempfile.gettempdir()

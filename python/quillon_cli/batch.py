"""One command over many model files, on a pool of threads.

The file engine releases the interpreter lock while it parses and copies, so
the worker threads run truly in parallel. Outcomes are reported in the order
the files were given, as soon as each one's turn comes and its group of
consecutive files (see chunk_size) is done: never after the whole run, and
never ahead of an earlier file. A failing file is reported and
the others go on; an interruption (Ctrl-C, SIGTERM: see Interruption)
cancels every file not yet started, stops the writes in progress at their
next progress report, and waits for the workers before it passes on. A
stopped write leaves its destination untouched; a write whose progress
reports had all passed when the signal came completes.

Only the main thread prints. Workers report bytes to the progress display,
which is guarded by one lock and cleared before any line is printed."""

import concurrent.futures
import contextlib
import os
import sys
import threading
import time
from types import FrameType, TracebackType
from typing import Callable, Iterator, List, Optional, Sequence, TextIO, Tuple, Type, TypeVar, cast

from quillon_cli.errors import FileError, error_line
from quillon_cli.remote import is_url

T = TypeVar("T")

# The file engine's progress callback: (bytes done, bytes total).
ProgressCallback = Callable[[int, int], None]
# The work on one file; it gets the batch's progress callback, or None when
# the command handles a single file and shows that file's own progress.
Task = Callable[[str, Optional[ProgressCallback]], T]

# A file's result, or the failure reported in its place.
Outcome = Tuple[Optional[T], Optional[FileError]]

# Consecutive files go to the pool as one task (see chunk_size).
MAX_CHUNK = 16
CHUNKS_PER_JOB = 8

# The display is redrawn at most this often (seconds), and when it ends.
REDRAW_INTERVAL = 0.1
BYTE_UNITS = ("B", "KiB", "MiB", "GiB", "TiB")


class Cancelled(Exception):
    """Raised from a progress callback, or before a file is started, once
    the run is interrupted: the engine abandons that write and removes its
    temporary file."""


class Interrupted(KeyboardInterrupt):
    """The stopping signal `number` interrupted the main thread at once."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


class Interruption:
    """The stopping signal (SIGINT, SIGTERM, SIGHUP) a run has received.

    `handle` serves as the signal handler. It records the signal, which
    cancels the writes at their next progress report and the files not yet
    started, but does not raise: a signal that comes while the engine syncs
    or renames a finished file is only seen once that file is in place, and
    the file then counts as done. Where nothing would be lost, in plain
    Python I/O on the main thread (see `at_once`) or in a command that
    writes no file, the signal raises Interrupted at once instead. Signal
    handlers are process-wide, hence the one instance `interruption`."""

    def __init__(self) -> None:
        self.number: Optional[int] = None
        self._arrived = threading.Event()
        self._at_once = 0  # touched by the main thread only, as is `handle`

    def start(self, at_once: bool) -> None:
        """Forgets any earlier signal; with `at_once` every signal interrupts
        the main thread at once."""
        self.number = None
        self._arrived.clear()
        self._at_once = 1 if at_once else 0

    def handle(self, number: int, frame: Optional[FrameType]) -> None:
        if self.number is None:
            self.number = number
        self._arrived.set()
        if self._at_once:
            raise Interrupted(number)

    @property
    def arrived(self) -> bool:
        return self._arrived.is_set()

    def check(self) -> None:
        """Raises Cancelled once a signal has arrived."""
        if self._arrived.is_set():
            raise Cancelled

    @contextlib.contextmanager
    def at_once(self) -> Iterator[None]:
        """A signal interrupts the block at once: for blocking Python I/O
        (standard input and output) that would not notice it otherwise."""
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        self._at_once += 1
        try:
            if self.number is not None:
                raise Interrupted(self.number)
            yield
        finally:
            self._at_once -= 1


interruption = Interruption()


# Reads of URLs wait on the network rather than the CPUs: with URLs among
# the models, one thread per model, up to this many.
MAX_NETWORK_JOBS = 16


def default_jobs(models: Sequence[str] = ()) -> int:
    """The threads for `models` when -j is not given: the number of CPUs,
    or with URLs among them, one per model up to MAX_NETWORK_JOBS."""
    cpus = os.cpu_count() or 1
    if any(is_url(model) for model in models):
        return max(cpus, min(len(models), MAX_NETWORK_JOBS))
    return cpus


def amount(size: int) -> str:
    value = float(size)
    for unit in BYTE_UNITS[:-1]:
        if value < 1024:
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} {BYTE_UNITS[-1]}"


def file_size(path: str) -> int:
    """The file's size as the first guess of its share of the bytes; 0 for
    what cannot be measured (a missing file, standard input)."""
    try:
        return os.stat(path).st_size
    except (OSError, ValueError):
        return 0


class Display:
    """"quillon: FILES/TOTAL files, BYTES/TOTAL" on stderr, redrawn in place.
    Each file counts with its size until the engine reports the size of the
    file it writes."""

    def __init__(self, paths: Sequence[str]) -> None:
        self._lock = threading.Lock()
        self._done = [0] * len(paths)
        self._total = [file_size(path) for path in paths]
        self._bytes_done = 0
        self._bytes_total = sum(self._total)
        self._files_done = 0
        self._shown = False
        self._drawn_at = 0.0

    def update(self, index: int, done: int, total: int) -> None:
        with self._lock:
            self._count(index, done, total)
            self._draw(final=False)

    def file_done(self, index: int) -> None:
        with self._lock:
            self._count(index, self._total[index], self._total[index])
            self._files_done += 1
            self._draw(final=self._files_done == len(self._done))

    def _count(self, index: int, done: int, total: int) -> None:
        self._bytes_done += done - self._done[index]
        self._bytes_total += total - self._total[index]
        self._done[index], self._total[index] = done, total

    def say(self, line: str, stream: TextIO) -> None:
        """Prints `line` on `stream` above the display."""
        with self._lock:
            self._clear()
            print(line, file=stream, flush=True)
            self._draw(final=True)

    def close(self) -> None:
        with self._lock:
            self._clear()

    def _clear(self) -> None:
        if self._shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self._shown = False

    def _draw(self, final: bool) -> None:
        now = time.monotonic()
        if not final and now - self._drawn_at < REDRAW_INTERVAL:
            return
        self._drawn_at = now
        sys.stderr.write(f"\r\x1b[Kquillon: {self._files_done}/{len(self._done)} files, "
                         f"{amount(self._bytes_done)}/{amount(self._bytes_total)}")
        sys.stderr.flush()
        self._shown = True


class Batch:
    """Runs a task on each of `paths` with up to `jobs` threads (in the
    calling thread when there is one job or one file), reports every failure
    in input order and counts the outcomes. Use it in a `with` block: leaving
    the block, normally or not, cancels and waits for whatever still runs."""

    def __init__(self, paths: Sequence[str], jobs: int, summary: bool = True) -> None:
        self.paths = list(paths)
        self.jobs = max(1, min(jobs, len(self.paths)))
        self.several = len(self.paths) > 1
        self.failed = 0
        self.done = 0
        self._summary = summary and self.several
        self._cancelled = threading.Event()
        self._display = Display(self.paths) if self.several and sys.stderr.isatty() else None
        self._executor: Optional[concurrent.futures.ThreadPoolExecutor] = None

    def __enter__(self) -> "Batch":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self._cancelled.set()
        if self._executor is not None:
            self._executor.shutdown(wait=True, cancel_futures=True)
        if self._display is not None:
            self._display.close()
        if kind is None and self._summary:
            print(f"quillon: {self.done} files done, {self.failed} failed", file=sys.stderr, flush=True)

    @property
    def status(self) -> int:
        return 1 if self.failed else 0

    def say(self, line: str, stream: Optional[TextIO] = None) -> None:
        """Prints a line of output; the display, if any, stays below it."""
        stream = sys.stdout if stream is None else stream
        if self._display is None:
            print(line, file=stream, flush=True)
        else:
            self._display.say(line, stream)

    def results(self, task: Task[T]) -> Iterator[T]:
        """The results of the files that succeed, in input order; each
        failure is reported in its place."""
        count = len(self.paths)
        if self.jobs == 1:
            chunks: Iterator[List[Outcome[T]]] = (self._run(task, range(index, index + 1)) for index in range(count))
        else:
            self._executor = concurrent.futures.ThreadPoolExecutor(max_workers=self.jobs)
            size = chunk_size(count, self.jobs)
            futures = [self._executor.submit(self._run, task, range(start, min(start + size, count)))
                       for start in range(0, count, size)]
            chunks = (future.result() for future in futures)
        for chunk in chunks:
            for result, error in chunk:
                if error is not None:
                    self.failed += 1
                    self.say(error_line(error), sys.stderr)
                    continue
                self.done += 1
                yield cast(T, result)

    def _run(self, task: Task[T], indices: range) -> List[Outcome[T]]:
        outcomes: List[Outcome[T]] = []
        for index in indices:
            if self._cancelled.is_set():
                raise Cancelled
            interruption.check()
            try:
                outcomes.append((task(self.paths[index], self._progress(index) if self.several else None), None))
            except FileError as error:
                outcomes.append((None, error))
            finally:
                if self._display is not None:
                    self._display.file_done(index)
        return outcomes

    def _progress(self, index: int) -> ProgressCallback:
        def progress(done: int, total: int) -> None:
            if self._cancelled.is_set():
                raise Cancelled
            interruption.check()
            if self._display is not None:
                self._display.update(index, done, total)
        return progress


def chunk_size(count: int, jobs: int) -> int:
    """Files per task of the pool: enough that handing a task to a thread
    costs little beside the files' own work, few enough that every thread
    gets several tasks and an early outcome is not held back for long."""
    return max(1, min(MAX_CHUNK, count // (jobs * CHUNKS_PER_JOB)))

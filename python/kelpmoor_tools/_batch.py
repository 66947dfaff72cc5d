"""A batch of recordings on a fixed set of worker processes that stops whole on Ctrl-C.

Each worker takes one recording at a time over its own pipe, so a recording that was not
handed out is simply never started. On SIGINT or SIGTERM (a terminal's Ctrl-C reaches the
workers too; `kill -INT` reaches only this process) the batch hands out nothing more and sends
every worker SIGTERM, which a worker turns into KeyboardInterrupt: the module's long calls end
within milliseconds on it and remove their own temporary files. A worker still alive after
STOP_WAIT_S is killed, and the run's hidden folder, where every task writes, is removed
whatever happened, so no partial file outlives the run.
"""
from __future__ import annotations

import contextlib
import multiprocessing
import os
import shutil
import signal
import tempfile
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import Any

from . import _tasks

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# A stopped worker's grace to unwind before it is killed. Short, since everything a worker
# writes lies in the run's folder, which goes anyway; pyarrow writes a row group without
# looking at signals, which can take a second.
STOP_WAIT_S = 0.3
# How often the parent looks at its workers' files and at signals that arrived.
TICK_S = 0.1
# Bytes of a growing CSV sampled for its length per row.
ROW_SAMPLE_BYTES = 1 << 16


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Stop signals wait until the block ends (where the system allows holding them)."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


# ---------------------------------------------------------------------------- the worker side


# The signal that stopped this worker, 0 while none has.
_stopped_by = 0


def _raise_stop(signum: int, frame: object) -> None:
    global _stopped_by
    _stopped_by = signum
    # One stop is enough: a second signal (the terminal's and the parent's) must not break
    # the unwinding that removes this worker's files. It is taken and dropped rather than
    # ignored, since one that is already on its way would then be an error of its own.
    for number in STOP_SIGNALS:
        signal.signal(number, _drop)
    raise KeyboardInterrupt


def _drop(signum: int, frame: object) -> None:
    pass


def _send(conn: Connection, message: tuple[Any, ...]) -> None:
    # A message cut in half by a stop would leave the parent waiting for its other half.
    with signals_held():
        conn.send(message)


def _serve(conn: Connection, run_dir: str) -> None:
    """A worker: recordings in, ("note" | "done", ...) out, until told None or stopped. A
    stopped worker exits with 128 + the signal's number and sends nothing more."""
    for number in STOP_SIGNALS:
        signal.signal(number, _raise_stop)
    try:
        if hasattr(signal, "pthread_sigmask"):       # held by the parent while it started us
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
        while (job := conn.recv()) is not None:
            index, command, path, options = job
            folder = Path(run_dir) / str(index)
            folder.mkdir()

            def note(kind: str, value: float, index: int = index) -> None:
                _send(conn, ("note", index, kind, value))

            stage = _tasks.Stage(folder, note)
            ok, value = _tasks.run_task(command, path, options, stage)
            # Published and reported as one step, so that an output in place is always counted.
            with signals_held():
                if _stopped_by:         # a library turned the stop into an error of its own
                    break
                if ok:
                    ok, value = _tasks.publish(stage.outputs, value)
                conn.send(("done", index, ok, value))
    except (KeyboardInterrupt, EOFError, BrokenPipeError):
        pass        # the parent removes what is left in the run's folder
    if _stopped_by:
        raise SystemExit(128 + _stopped_by)


# ---------------------------------------------------------------------------- the parent side


@dataclass
class _Task:
    index: int
    path: str
    size: int
    fraction: float = 0.0
    rows: float = 0.0          # expected rows of a CSV the parent follows by its growth
    row_bytes: float = 0.0


@dataclass
class _Worker:
    process: Any
    conn: Connection
    task: _Task | None = None
    open: bool = True


@dataclass
class Outcome:
    results: dict[str, Any] = field(default_factory=dict)
    errors: dict[str, str] = field(default_factory=dict)
    stopped_by: int = 0        # the signal that stopped the batch, 0 when it ran to its end


class Batch:
    """Run `command` over `files` with `jobs` workers. `on_done(path, ok, value)` is called
    for each settled recording; `on_progress(bytes)` with the input bytes done so far,
    counting the parts of recordings in progress."""

    def __init__(self, command: str, files: list[str], options: dict[str, Any], jobs: int,
                 on_done: Callable[[str, bool, Any], None], on_progress: Callable[[float], None]):
        self.command, self.options = command, options
        self.tasks = deque(_Task(i, f, file_size(f)) for i, f in enumerate(files))
        self.jobs = max(1, min(jobs, len(files)))
        self.on_done, self.on_progress = on_done, on_progress
        self.outcome = Outcome()
        self.bytes_done = 0
        self.signals: list[int] = []
        self.workers: list[_Worker] = []
        self.context = multiprocessing.get_context()

    def run(self) -> Outcome:
        self.run_dir = tempfile.mkdtemp(prefix=".kelpmoor-", suffix=".tmp", dir=self.options.get("out"))
        previous = {}
        try:
            with signals_held():
                if threading.current_thread() is threading.main_thread():
                    previous = {n: signal.signal(n, self._note_signal) for n in STOP_SIGNALS}
                self.workers = [self._start_worker() for _ in range(self.jobs)]
            self._loop()
        finally:
            self._stop_workers(graceful=not self.signals)
            shutil.rmtree(self.run_dir, ignore_errors=True)
            for number, handler in previous.items():
                signal.signal(number, handler)
        self.outcome.stopped_by = self.signals[0] if self.signals else 0
        return self.outcome

    def _note_signal(self, signum: int, frame: object) -> None:
        self.signals.append(signum)

    def _start_worker(self) -> _Worker:
        ours, theirs = self.context.Pipe()
        process = self.context.Process(target=_serve, args=(theirs, self.run_dir), daemon=True)
        process.start()
        theirs.close()
        return _Worker(process, ours)

    def _loop(self) -> None:
        while not self.signals:
            for worker in self.workers:
                if worker.task is None and self.tasks:
                    worker.task = self.tasks.popleft()
                    # A worker that died meanwhile is found below and its recording failed.
                    with contextlib.suppress(OSError):
                        worker.conn.send((worker.task.index, self.command, worker.task.path, self.options))
            busy = [w for w in self.workers if w.task is not None]
            if not busy:
                return
            wait([w.conn for w in busy if w.open] + [w.process.sentinel for w in busy], timeout=TICK_S)
            for worker in busy:
                self._drain(worker)
                if worker.task is not None and not worker.process.is_alive():
                    self._lost(worker)
            self._report_progress()

    def _drain(self, worker: _Worker) -> None:
        while worker.open and worker.conn.poll():
            try:
                message = worker.conn.recv()
            except (EOFError, OSError):
                worker.open = False
                return
            task = worker.task
            if task is None:
                continue
            if message[0] == "done":
                _, _, ok, value = message
                self._settle(task, ok, value)
                worker.task = None
            elif message[2] == "fraction":
                # All read is not yet all written: the end is the worker's "done".
                task.fraction = max(task.fraction, min(float(message[3]), 0.99))
            elif message[2] == "rows":
                task.rows = float(message[3])

    def _settle(self, task: _Task, ok: bool, value: Any) -> None:
        (self.outcome.results if ok else self.outcome.errors)[task.path] = value
        self.bytes_done += task.size
        self.on_done(task.path, ok, value)

    def _lost(self, worker: _Worker) -> None:
        """The worker died under a recording (killed, out of memory): that recording fails, and
        a new worker takes its place for the rest."""
        assert worker.task is not None
        code = worker.process.exitcode
        if code is not None and code - 128 in STOP_SIGNALS:
            # The terminal's Ctrl-C reached the worker before this process saw its own.
            self.signals.append(code - 128)
            return
        how = f"killed by {signal.Signals(-code).name}" if code is not None and code < 0 else f"exit code {code}"
        self._settle(worker.task, False, f"the worker process ended without a result ({how})")
        worker.process.join()
        worker.conn.close()
        self.workers.remove(worker)
        if self.tasks:
            with signals_held():
                self.workers.append(self._start_worker())

    def _report_progress(self) -> None:
        running = [w.task for w in self.workers if w.task is not None]
        for task in running:
            if task.rows > 0:
                task.fraction = max(task.fraction, self._written_fraction(task))
        self.on_progress(self.bytes_done + sum(t.fraction * t.size for t in running))

    def _written_fraction(self, task: _Task) -> float:
        """How far a CSV has come: its bytes so far against the expected rows at the length of
        its first rows; never 1 before the worker says it is done."""
        try:
            files = [e for e in os.scandir(Path(self.run_dir) / str(task.index)) if e.is_file()]
            written = sum(e.stat().st_size for e in files)
            if not task.row_bytes and written >= ROW_SAMPLE_BYTES:
                with open(max(files, key=lambda e: e.stat().st_size).path, "rb") as f:
                    lines = f.read(ROW_SAMPLE_BYTES).splitlines()[:-1]
                task.row_bytes = sum(len(line) + 1 for line in lines[1:]) / max(len(lines) - 1, 1)
        except OSError:          # the file was just renamed or removed
            return 0.0
        if not task.row_bytes:
            return 0.0
        return min(written / (task.row_bytes * task.rows), 0.99)

    def _stop_workers(self, graceful: bool) -> None:
        """End every worker: told to finish when the batch ran out, else stopped by SIGTERM;
        whatever result still arrives is counted; the ones alive after STOP_WAIT_S are killed."""
        for worker in self.workers:
            with contextlib.suppress(OSError):
                if not (graceful and worker.task is None):
                    worker.process.terminate()
                # Also ends a worker whose task swallowed the stop, once it asks for the next.
                worker.conn.send(None)
        deadline = time.monotonic() + STOP_WAIT_S
        alive = [w for w in self.workers if w.process.is_alive()]
        while alive and time.monotonic() < deadline:
            wait([w.conn for w in alive if w.open] + [w.process.sentinel for w in alive],
                 timeout=max(deadline - time.monotonic(), 0))
            for worker in alive:
                self._drain(worker)
            alive = [w for w in alive if w.process.is_alive()]
        for worker in self.workers:
            if worker.process.is_alive():
                worker.process.kill()
            worker.process.join()
            self._drain(worker)
            worker.conn.close()


class SchedulerUnreachable(Exception):
    """The scheduler a batch was to run on could not be reached: nothing was started."""


def file_size(path: str) -> int:
    """Bytes of a file, 0 when it cannot be seen (it then fails as a recording)."""
    try:
        return os.path.getsize(path)
    except OSError:
        return 0

"""A batch of recordings on a dask.distributed scheduler instead of local worker processes.

One task per recording is submitted to the scheduler at `address`; the workers must see the
recordings and the output folder under the same paths (a shared file system), so both are
handed to them as absolute paths. A worker writes only inside the run's hidden folder in the
output folder; this process moves a recording's files onto their names once its task has
succeeded, so a task that fails, is lost with its worker, or is still running when the batch is
stopped never leaves a file under an output name. Ctrl-C (or SIGTERM) cancels every task not
yet finished and removes the hidden folder.
"""
from __future__ import annotations

import os
import shutil
import signal
import tempfile
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

from . import _tasks
from ._batch import Outcome, SchedulerUnreachable, file_size


def _remote(command: str, path: str, options: dict[str, Any], folder: str) -> tuple[bool, Any, list[tuple[Path, Path]]]:
    """On a worker: run one recording's task in `folder` (which must not exist yet: a batch
    that was stopped has removed its parent, and then the task does nothing)."""
    Path(folder).mkdir()
    stage = _tasks.Stage(Path(folder), lambda kind, value: None)
    ok, value = _tasks.run_task(command, path, options, stage)
    return ok, value, stage.outputs if ok else []


class _Stopped(Exception):
    pass


def run_on_scheduler(address: str, command: str, files: list[str], options: dict[str, Any],
                     on_done: Callable[[str, bool, Any], None],
                     on_progress: Callable[[float], None]) -> Outcome:
    """Run `command` over `files` as tasks of the scheduler at `address`; `on_done` and
    `on_progress` as for `Batch`. Raises SchedulerUnreachable when it cannot be reached."""
    from dask.distributed import Client, as_completed

    options = {**options, "out": os.path.abspath(options["out"])}
    outcome, done_bytes, signals = Outcome(), 0, []
    run_dir = tempfile.mkdtemp(prefix=".kelpmoor-", suffix=".tmp", dir=options["out"])

    def stop(signum: int, frame: object) -> None:
        signals.append(signum)
        if len(signals) == 1:       # a second signal must not break the cleanup of the first
            raise _Stopped

    previous = {}
    if threading.current_thread() is threading.main_thread():
        previous = {n: signal.signal(n, stop) for n in (signal.SIGINT, signal.SIGTERM)}
    client = None
    futures: dict[Any, str] = {}
    try:
        try:
            client = Client(address, timeout="20s")
        except (OSError, TimeoutError, ValueError) as exc:
            raise SchedulerUnreachable(f"cannot reach the scheduler at {address}: {exc}") from None
        # Keys name the run, so that two batches on one scheduler never share a task's result.
        run = Path(run_dir).name.strip(".")
        futures = {client.submit(_remote, command, os.path.abspath(f), options, os.path.join(run_dir, str(i)),
                                 key=f"{run}-{i}-{Path(f).name}", pure=False): f
                   for i, f in enumerate(files)}
        for future in as_completed(futures):
            path = futures[future]
            try:
                ok, value, staged = future.result()
                if ok:
                    ok, value = _tasks.publish(staged, value)
            except (_Stopped, KeyboardInterrupt):
                raise
            except Exception as exc:  # noqa: BLE001  a lost worker or a refused move fails this recording
                ok, value = False, _tasks.failure_text(exc)
            if ok:
                value = {**value, "file": path}
            (outcome.results if ok else outcome.errors)[path] = value
            done_bytes += file_size(path)
            on_done(path, ok, value)
            on_progress(done_bytes)
    except (_Stopped, KeyboardInterrupt):
        if not signals:
            signals.append(signal.SIGINT)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if client is not None:
            # Tasks still running finish on their workers, but their folder is gone below.
            client.cancel([f for f in futures if not f.done()], force=True)
            client.close()
        shutil.rmtree(run_dir, ignore_errors=True)
    outcome.stopped_by = signals[0] if signals else 0
    return outcome

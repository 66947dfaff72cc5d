"""Cohort summaries of many recordings on a dask.distributed cluster.

    from kelpmoor_tools import cohort

    result = cohort.summarise("study/*.cwa")                    # a LocalCluster on this machine
    result = cohort.summarise(paths, address="tcp://scheduler:8786")   # a real cluster
    result.summary      # DataFrame indexed by (recording, hour)
    result.failures     # DataFrame: recording, error

Each recording is one task. The default task, `hourly_summary`, reads its recording a day of
data blocks at a time, so a worker holds about one day's frame, never a week's, and adds each
day into per-hour sums; the hourly values are those sums divided at the end:

    samples        samples whose timestamp falls in the hour (device clock, naive)
    hours_covered  samples / (header sample rate x 3600): 1.0 for a full hour
    enmo_mg        mean over the hour's samples of max(sqrt(x^2 + y^2 + z^2) - 1, 0) x 1000,
                   in double precision from the float32 acceleration in g (the Euclidean norm
                   minus one g, negatives to zero, in milli-g)
    temperature_c  mean over the hour's samples of the temperature column

A per-recording function of your own takes a path and returns a DataFrame (for example indexed
by hour); the cohort stacks them under a first index level "recording". A recording whose
function raises is listed in `failures` with the error; it never stops the cohort.

Needs the `cohort` extra: pip install "kelpmoor[cohort]".
"""
from __future__ import annotations

import contextlib
import os
import signal
import threading
import uuid
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import pandas as pd

from . import _layout, _patterns

if TYPE_CHECKING:
    from dask.distributed import Client

__all__ = ["CohortResult", "summarise", "hourly_summary", "summarise_serially", "expand_paths"]

DAY_S = 86400
SLICE_ROWS = 1 << 20
HOUR_US = 3_600_000_000
SUMMARY_COLUMNS = ["samples", "hours_covered", "enmo_mg", "temperature_c"]


@dataclass(frozen=True)
class CohortResult:
    summary: pd.DataFrame     # indexed by (recording, ...), the per-recording frames stacked
    failures: pd.DataFrame    # columns recording, error; one row per failed recording


Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]


def expand_paths(paths: Paths) -> list[str]:
    """A glob pattern (or one path), or an iterable of paths and patterns, as sorted paths.
    A pattern that matches nothing is a ValueError: a cohort silently missing its recordings
    is worse than none."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    out = _patterns.expand(items)
    return list(dict.fromkeys(out))


# ---------------------------------------------------------------------------- the default summary


def day_sums(path: str, first_block: int, blocks: int) -> pd.DataFrame | None:
    """Per-hour sums of the data blocks first_block .. first_block + blocks - 1: samples,
    ENMO (mg) and temperature, indexed by the hour's start in microseconds. None when the
    range holds no data packet."""
    frame = _layout.read_blocks(path, first_block, first_block + blocks, include_light=False, include_battery=False)
    if frame is None:
        return None
    stamps = frame.index.asi8
    acc = [frame[c].to_numpy() for c in ("acc_x", "acc_y", "acc_z")]
    temperature = frame["temperature"].to_numpy()
    first_hour = int(stamps.min()) // HOUR_US
    span = int(stamps.max()) // HOUR_US - first_hour + 1
    if span > 100_000:
        raise RuntimeError(f"timestamps span {span} hours within one day of data blocks")
    samples = np.zeros(span, dtype=np.int64)
    enmo_sum = np.zeros(span)
    temperature_sum = np.zeros(span)
    # Slices of a million rows keep the double-precision temporaries small beside the frame.
    for lo in range(0, len(stamps), SLICE_ROWS):
        hi = lo + SLICE_ROWS
        code = stamps[lo:hi] // HOUR_US - first_hour
        x, y, z = (a[lo:hi].astype(np.float64) for a in acc)
        x *= x
        y *= y
        z *= z
        x += y
        x += z
        enmo = np.sqrt(x, out=x)
        enmo -= 1.0
        np.maximum(enmo, 0.0, out=enmo)
        enmo *= 1000.0
        samples += np.bincount(code, minlength=span)
        enmo_sum += np.bincount(code, weights=enmo, minlength=span)
        temperature_sum += np.bincount(code, weights=temperature[lo:hi], minlength=span)
    present = samples > 0
    hours = (np.arange(span, dtype=np.int64) + first_hour)[present]
    return pd.DataFrame({"samples": samples[present], "enmo_sum": enmo_sum[present],
                         "temperature_sum": temperature_sum[present]},
                        index=pd.Index(hours * HOUR_US, name="hour_us"))


def hourly_summary(path: str) -> pd.DataFrame:
    """The hourly summary of one recording (columns in the module docstring), indexed by the
    hour's start on the device clock. Reads one day of data blocks at a time and adds the days'
    sums in file order, so the result is the same wherever it runs."""
    import kelpmoor
    path = str(path)
    rate = kelpmoor.read_metadata(path)["sample_rate_hz"]
    total = None
    for first, end in _layout.block_ranges(path, DAY_S * rate):
        part = day_sums(path, first, end - first)
        if part is None:
            continue
        total = part if total is None else total.add(part, fill_value=0)
    if total is None:
        raise RuntimeError(_layout.NO_DATA)
    total = total.sort_index()
    samples = total["samples"].to_numpy(dtype=np.int64)
    out = pd.DataFrame({
        "samples": samples,
        "hours_covered": samples / (rate * 3600.0),
        "enmo_mg": total["enmo_sum"].to_numpy() / samples,
        "temperature_c": total["temperature_sum"].to_numpy() / samples,
    }, index=pd.DatetimeIndex(total.index.to_numpy().astype("datetime64[us]"), name="hour"))
    return out


# ---------------------------------------------------------------------------- running a cohort


PerRecording = Callable[[str], pd.DataFrame]


def _failure_text(exc: BaseException) -> str:
    """A failure as one line: the exception's type and message."""
    return f"{type(exc).__name__}: {' '.join(str(exc).split())}"


def _guarded(path: str, func: PerRecording) -> tuple[bool, object]:
    try:
        return True, func(path)
    except Exception as exc:  # noqa: BLE001  one recording's failure is a row, not the cohort's end
        return False, _failure_text(exc)


def _assemble(outcomes: list[tuple[str, bool, Any]]) -> CohortResult:
    frames = {path: value for path, ok, value in outcomes if ok}
    failed = [(path, value) for path, ok, value in outcomes if not ok]
    if frames:
        summary = pd.concat(frames, names=["recording"])
    else:
        summary = pd.DataFrame(columns=SUMMARY_COLUMNS,
                               index=pd.MultiIndex.from_arrays([[], []], names=["recording", "hour"]))
    failures = pd.DataFrame(failed, columns=["recording", "error"])
    return CohortResult(summary, failures)


def summarise_serially(paths: Paths, func: PerRecording = hourly_summary) -> CohortResult:
    """The same cohort in this process, one recording after another (a reference, and for
    cohorts too small to be worth a cluster)."""
    return _assemble([(p, *_guarded(p, func)) for p in expand_paths(paths)])


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Ctrl-C waits until the block ends, so that starting or closing a cluster is not cut
    short, leaving worker processes behind; a Ctrl-C that came meanwhile is raised after it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    came: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: came.append(signum))
    try:
        yield
    except Exception as exc:
        # Ctrl-C in a terminal also reaches the cluster's processes, which then fail to start.
        if came:
            raise KeyboardInterrupt from exc
        raise
    finally:
        signal.signal(signal.SIGINT, previous)
    if came:
        raise KeyboardInterrupt


def summarise(paths: Paths, func: PerRecording = hourly_summary, *, client: Client | None = None,
              address: str | None = None, n_workers: int | None = None, threads_per_worker: int = 1,
              processes: bool = True, progress: bool = False) -> CohortResult:
    """Run `func` over every recording on a dask.distributed cluster and gather the results.

    client      an existing dask.distributed.Client to use (left open)
    address     else the address of a running scheduler ("tcp://host:8786")
    otherwise   a LocalCluster of `n_workers` processes (default: one per core) with
                `threads_per_worker` threads each, closed at the end; as with any process
                pool, a script that starts one keeps its work under `if __name__ == "__main__":`
    progress    a tqdm bar over the recordings (when tqdm is installed)

    The recordings' order in `summary` is the order of `paths` (globs sorted), whatever order
    the workers finish in. A worker that dies on a recording fails that recording only. On
    KeyboardInterrupt the cohort's tasks are cancelled and a cluster started here is closed
    with its worker processes before the interrupt goes on to the caller.
    """
    from dask.distributed import Client, LocalCluster, as_completed

    paths = expand_paths(paths)
    owned: list[Any] = []
    futures: dict[Any, str] = {}
    try:
        if client is None:
            # Not cut short by Ctrl-C: a half-started cluster could not be closed.
            with _interrupts_deferred():
                if address is None:
                    owned.append(LocalCluster(n_workers=n_workers, threads_per_worker=threads_per_worker,
                                              processes=processes, dashboard_address=":0"))
                client = Client(address if address is not None else owned[0])
                owned.insert(0, client)
        # Keys name the run too: two cohorts on one shared scheduler must not share a result.
        run = uuid.uuid4().hex[:12]
        futures = {client.submit(_guarded, p, func, key=f"kelpmoor-{run}-{i}-{Path(p).name}", pure=False): p
                   for i, p in enumerate(paths)}
        outcomes = {}
        done: Iterable[Any] = as_completed(futures)
        if progress:
            try:
                from tqdm import tqdm
                done = tqdm(done, total=len(futures), unit="recording")
            except ImportError:
                pass
        for future in done:
            path = futures[future]
            try:
                outcomes[path] = (path, *future.result())
            except Exception as exc:  # the task itself was lost (a worker died on it)
                outcomes[path] = (path, False, _failure_text(exc))
            future.release()
        return _assemble([outcomes[p] for p in paths])
    except BaseException:
        if futures and client is not None and not owned:
            # Someone else's cluster: it stays, but stops working for us.
            client.cancel(list(futures))
        raise
    finally:
        with _interrupts_deferred():
            for thing in owned:
                thing.close()

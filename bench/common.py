"""Shared pieces of the benchmarks: the recording, floors, timing, peak memory, report lines.

Every benchmark compares the module against floors measured in the same run on the
same machine (filling result-sized arrays, reading the file's bytes), so its ratios
mean the same on a busy laptop and on an idle server. Timings are never asserted:
a line says PASS or MISS against its target and the run goes on.

Peak memory is measured per case in a fresh interpreter (`python common.py --child
CALL`), because a process's high-water mark only ever grows.
"""

from __future__ import annotations

import argparse
import gc
import json
import resource
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30
CHUNK = 1 * MiB
AUX_COLUMNS = ["temperature", "light", "battery"]


# ---------------------------------------------------------------- the recording


@dataclass(frozen=True)
class Recording:
    path: Path
    axes: int
    blocks: int
    samples_per_block: int

    @property
    def rows(self) -> int:
        return self.blocks * self.samples_per_block

    @property
    def block_seconds(self) -> float:
        return self.samples_per_block / generate.RATE_HZ

    @property
    def columns(self) -> list[str]:
        gyro = ["gyro_x", "gyro_y", "gyro_z"] if self.axes >= 6 else []
        return ["acc_x", "acc_y", "acc_z", *gyro, *AUX_COLUMNS]

    @property
    def bytes_per_row(self) -> int:
        return 8 + 4 * len(self.columns)  # int64 timestamp + float32 channels

    @property
    def size(self) -> int:
        return self.path.stat().st_size


def add_recording_args(ap: argparse.ArgumentParser) -> None:
    ap.add_argument("--days", type=float, default=7, help="length of the generated recording (default 7)")
    ap.add_argument("--axes", type=int, choices=sorted(generate.LAYOUTS), default=3)
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--path", type=Path, help="use this generated recording instead of the default location")
    ap.add_argument("--repeat", type=int, default=3, help="timed calls per case; the best counts (default 3)")


def recording(args) -> Recording:
    t0 = time.perf_counter()
    path = generate.ensure(args.days, args.axes, args.seed, args.path)
    dt = time.perf_counter() - t0
    if dt > 0.5:
        print(f"generated {path} in {dt:.1f} s")
    return Recording(path, args.axes, generate.block_count(args.days, args.axes),
                     generate.LAYOUTS[args.axes].samples_per_block)


def start_run(name: str, doc: str, argv=None):
    """Parse the common arguments, make the recording and open the report of a benchmark."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    add_recording_args(ap)
    args = ap.parse_args(argv)
    rec = recording(args)
    kelpmoor = import_module()
    rep = Report(f"{name} benchmark: {rec.path.name}  {rec.blocks} blocks  {rec.rows:,} rows  "
                 f"{rec.size / 1e6:.1f} MB  best of {args.repeat}")
    return args, rec, kelpmoor, rep


def import_module():
    """kelpmoor, or exit with a short note when it is not installed or not finished."""
    try:
        import kelpmoor
    except ImportError as exc:
        sys.exit(f"kelpmoor is not importable: {exc}")
    return kelpmoor


# ---------------------------------------------------------------- timing and floors


@dataclass(frozen=True)
class Timing:
    """The fastest call: wall seconds, and the CPU seconds and page faults that call cost."""
    seconds: float
    user: float
    system: float
    faults: int


def best_of(fn, repeat: int, min_total: float = 0.5, max_calls: int = 50) -> Timing:
    """Fastest of at least `repeat` calls, and of more (up to `max_calls`) while their total is
    under `min_total` seconds, so that short calls are not judged on one noisy sample. Each
    result is dropped before the next call, so two full-size results never live at once."""
    best = None
    total, calls = 0.0, 0
    while calls < repeat or (total < min_total and calls < max_calls):
        gc.collect()
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        result = fn()
        dt = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        del result
        total, calls = total + dt, calls + 1
        if best is None or dt < best.seconds:
            best = Timing(dt, r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime, r1.ru_minflt - r0.ru_minflt)
    return best


def fill_floor(rows: int, n_float32: int, repeat: int, huge_pages: bool = True) -> Timing:
    """Allocate and write one int64 and `n_float32` float32 columns of `rows` entries:
    the least any reader must spend to hand back a result of that size. NumPy asks the
    kernel for transparent huge pages on large arrays; `huge_pages=False` turns that off
    to show what 4 KiB page faults alone cost."""
    def once():
        cols = [np.empty(rows, dtype=np.int64)] + [np.empty(rows, dtype=np.float32) for _ in range(n_float32)]
        for c in cols:
            c.fill(1)
        return cols
    if huge_pages:
        return best_of(once, repeat)
    from numpy._core import multiarray
    previous = multiarray._set_madvise_hugepage(False)
    try:
        return best_of(once, repeat)
    finally:
        multiarray._set_madvise_hugepage(previous)


def pandas_wrap(rows: int, columns: list[str], repeat: int) -> Timing:
    """Build the DatetimeIndex and DataFrame over existing result-sized arrays without
    copying: the share of a read that pandas itself costs."""
    import pandas as pd
    stamps = np.arange(rows, dtype=np.int64)
    cols = {name: np.ones(rows, dtype=np.float32) for name in columns}

    def once():
        index = pd.DatetimeIndex(stamps, name="timestamp", copy=False, dtype="datetime64[us]")
        return pd.DataFrame(cols, index=index, copy=False)
    return best_of(once, repeat)


def read_floor(path: Path, repeat: int) -> Timing:
    """Read the whole file in 1 MiB chunks; the first, untimed pass puts it in the page cache."""
    buf = bytearray(CHUNK)

    def once():
        with open(path, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass
    once()
    return best_of(once, repeat)


# ---------------------------------------------------------------- peak memory


def result_bytes(result) -> int:
    if hasattr(result, "memory_usage"):
        return int(result.memory_usage(index=True, deep=False).sum())
    return 0


def peak_memory(path: Path, fn: str, cut=None, **kwargs) -> dict:
    """Run `kelpmoor.<fn>(path, cut=..., **kwargs)` once in a fresh interpreter.

    Returns {"base", "peak", "result_bytes", "seconds"}: resident bytes before the call
    (after importing numpy, pandas and the module), the high-water mark during it, and
    the size of what it returned. `cut` is ("seconds" | "blocks", start, end) or None.
    """
    call = {"path": str(path), "fn": fn, "cut": cut, "kwargs": kwargs}
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(call)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory probe of {fn} failed: {proc.stderr.strip().splitlines()[-1:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _child(call: dict) -> None:
    import pandas  # noqa: F401  imported before the baseline, as in any user's process
    import kelpmoor

    kwargs = dict(call["kwargs"])
    if call["cut"]:
        kind, start, end = call["cut"]
        kwargs["cut"] = getattr(kelpmoor, kind)(start, end)
    gc.collect()
    try:
        # Writing 5 resets the high-water mark to the current RSS, so imports do not count.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    base = _status_kib("VmRSS")
    t0 = time.perf_counter()
    result = getattr(kelpmoor, call["fn"])(call["path"], **kwargs)
    dt = time.perf_counter() - t0
    peak = max(_status_kib("VmHWM"), base)
    print(json.dumps({"base": base * 1024, "peak": peak * 1024,
                      "result_bytes": result_bytes(result), "seconds": dt}))


# ---------------------------------------------------------------- report lines


def size_text(n: float) -> str:
    return f"{n / GiB:.2f} GiB" if n >= GiB else f"{n / MiB:.1f} MiB"


class Report:
    """One terminal line per measurement, ratio or check; a tally of targets at the end."""

    WIDTH = 50

    def __init__(self, title: str):
        self.passed = self.missed = self.failed = self.busy = 0
        print(title)

    def _line(self, kind: str, label: str, value: str, rest: str = "") -> None:
        print(f"  {kind:<8} {label:<{self.WIDTH}} {value:>12}  {rest}".rstrip())

    def time(self, label: str, timing: Timing, note: str = "") -> float:
        """Prints the best call with its CPU split; returns its wall seconds."""
        split = f"user {timing.user * 1e3:.0f} + sys {timing.system * 1e3:.0f} ms, {timing.faults / 1e3:.0f}k faults"
        # Single-threaded calls on a cached file should keep the CPU the whole time; a wall
        # time well above the CPU time means other processes took turns.
        if timing.seconds > 0.01 and timing.seconds > 1.2 * (timing.user + timing.system):
            self.busy += 1
            note = f"{note}  BUSY".strip()
        self._line("time", label, f"{timing.seconds * 1e3:.1f} ms", f"{split}  {note}")
        return timing.seconds

    def ratio(self, label: str, value: float, target: float | None = None) -> None:
        if target is None:
            self._line("ratio", label, f"{value:.2f}x", "(no target)")
            return
        self._tally(value <= target)
        self._line("ratio", label, f"{value:.2f}x", f"target <= {target:g}x  {'PASS' if value <= target else 'MISS'}")

    def memory(self, label: str, probe: dict, target: bool = True) -> None:
        grown = probe["peak"] - probe["base"]
        limit = probe["result_bytes"] * 1.10 + 64 * MiB
        rest = f"result {size_text(probe['result_bytes'])}"
        if target:
            self._tally(grown <= limit)
            rest += f"  target <= {size_text(limit)}  {'PASS' if grown <= limit else 'MISS'}"
        else:
            rest += "  (no target)"
        self._line("memory", label, size_text(grown), rest)

    def check(self, label: str, problems: list[str]) -> bool:
        if problems:
            self.failed += 1
        self._line("check", label, "FAILED" if problems else "ok", "; ".join(problems))
        return not problems

    def _tally(self, ok: bool) -> None:
        if ok:
            self.passed += 1
        else:
            self.missed += 1

    def finish(self) -> int:
        tail = f"; {self.failed} checks FAILED" if self.failed else ""
        if self.busy:
            tail += f"; {self.busy} timings BUSY (wall > 1.2 x CPU: other load), rerun when the machine is quiet"
        print(f"  targets: {self.passed} PASS, {self.missed} MISS{tail}")
        return 2 if self.failed else 0


# ---------------------------------------------------------------- output checks


def check_frame(df, rec: Recording, rows: int | None = None) -> list[str]:
    """Shape problems of a read_cwa_file result: row count, columns, dtypes, index."""
    problems = []
    if rows is not None and len(df) != rows:
        problems.append(f"{len(df)} rows, expected {rows}")
    if list(df.columns) != rec.columns:
        problems.append(f"columns {list(df.columns)}, expected {rec.columns}")
    bad = [c for c in df.columns if df[c].dtype != np.float32]
    if bad:
        problems.append(f"not float32: {bad}")
    if str(df.index.dtype) != "datetime64[us]" or df.index.name != "timestamp":
        problems.append(f"index {df.index.dtype} named {df.index.name!r}")
    elif not df.index.is_monotonic_increasing:
        problems.append("index not monotonic")
    return problems


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        _child(json.loads(sys.argv[2]))
    else:
        sys.exit("usage: common.py --child CALL  (used by the benchmarks to measure peak memory)")


if __name__ == "__main__":
    main()

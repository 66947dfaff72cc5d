"""A recording read a day of data blocks at a time, and per-window sums over its samples.

Every method of the first stage works on sums over windows of the device clock (10 s still
windows, epochs, 15-minute non-wear steps). Those sums are built per chunk of data blocks and
joined at the chunk borders, so a recording is never held whole: a worker holds about one day
of samples. A window's samples are summed in file order, so the same file gives the same bits
whichever machine reads it.
"""
from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterator

import numpy as np

DAY_S = 86400
NO_DATA = "No valid sample data found in the specified range"
_BYTES_PER_SAMPLE = {0x30: 4, 0x32: 6, 0x62: 12, 0x92: 18}


@dataclass(frozen=True)
class Chunk:
    """The samples of one chunk of data blocks: device-clock microseconds and float32 columns."""
    time_us: np.ndarray
    x: np.ndarray
    y: np.ndarray
    z: np.ndarray
    temperature: np.ndarray


def samples_per_block(path: str) -> int:
    """Samples a full data block of this recording holds, from its first data block's format
    (120 when none is found near the start: a day's read is then only larger or smaller)."""
    with open(path, "rb") as f:
        f.seek(1024)
        for _ in range(1024):
            sector = f.read(512)
            if len(sector) < 512:
                break
            if sector[:2] == b"AX" and sector[25] in _BYTES_PER_SAMPLE:
                return 480 // _BYTES_PER_SAMPLE[sector[25]]
    return 120


def chunks(path: str, rate_hz: float) -> Iterator[Chunk]:
    """The recording's samples a day of data blocks at a time, in file order; every sample
    once. Chunks without a data packet are skipped; a file that cannot be read raises the
    module's own error."""
    import kelpmoor
    data_blocks = os.path.getsize(path) // 512 - 2
    per_day = max(1, int(DAY_S * rate_hz) // samples_per_block(path))
    for first in range(0, max(data_blocks, 1), per_day):
        try:
            frame = kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(first, first + per_day),
                                           include_light=False, include_battery=False,
                                           include_magnetometer=False)
        except RuntimeError as exc:
            if str(exc) == NO_DATA:
                continue
            raise
        yield Chunk(frame.index.asi8, frame["acc_x"].to_numpy(), frame["acc_y"].to_numpy(),
                    frame["acc_z"].to_numpy(), frame["temperature"].to_numpy())
        del frame


def segments(time_us: np.ndarray, width_us: int) -> tuple[np.ndarray, np.ndarray]:
    """Runs of consecutive samples that fall in one window of `width_us` of the clock (windows
    start at whole multiples of the width): each run's window number and first sample.
    A clock set back starts new runs, so windows are never mixed across it."""
    n = len(time_us)
    descents = np.flatnonzero(time_us[1:] < time_us[:-1]) + 1
    bounds = [0, *descents.tolist(), n]
    ids, starts = [], []
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        part = time_us[lo:hi]
        first, last = int(part[0]) // width_us, int(part[-1]) // width_us
        edges = np.arange(first + 1, last + 1, dtype=np.int64) * width_us
        begin = np.concatenate(([0], np.searchsorted(part, edges))) + lo
        end = np.append(begin[1:], hi)
        keep = end > begin
        ids.append(np.arange(first, last + 1, dtype=np.int64)[keep])
        starts.append(begin[keep])
    return np.concatenate(ids), np.concatenate(starts)


SLICE_SAMPLES = 1 << 16   # elementwise work on slices that stay in cache


def window_stats(chunk: Chunk, width_us: int, calibration=None, *, enmo: bool = False,
                 extremes: bool = False) -> dict[str, np.ndarray]:
    """Per run of samples in one window of `width_us`: `id` (window number), `n`, and per axis
    the mean (`mx`...) and the sum of squared deviations from it (`vx`...); `temperature`
    (mean); with `enmo` the sum of max(|a| - 1, 0) (g); with `extremes` each axis' minimum
    and maximum (`lox`..., `hix`...).

    `calibration` (offset, scale, temperature_coefficient, reference_temperature), when
    given, corrects the samples first: (v + offset) * scale + (T - reference) * coefficient.
    The work runs in double precision on slices of whole windows about SLICE_SAMPLES long, so
    the temporaries stay in cache and a window's spread stays exact to far below a milli-g
    although its values sit near 1 g.
    """
    ids, starts = segments(chunk.time_us, width_us)
    total = len(chunk.time_us)
    counts = np.diff(np.append(starts, total))
    names = ["n", "temperature"] + [f"{k}{a}" for k in "mv" for a in "xyz"]
    names += ["enmo"] if enmo else []
    names += [f"{k}{a}" for k in ("lo", "hi") for a in "xyz"] if extremes else []
    out = {k: np.empty(len(ids)) for k in names}
    out["id"] = ids
    out["n"][:] = counts
    first = np.searchsorted(starts, np.arange(0, total, SLICE_SAMPLES), side="right") - 1
    groups = np.append(np.unique(first), len(starts))
    for g0, g1 in zip(groups[:-1], groups[1:]):
        lo, hi = int(starts[g0]), (int(starts[g1]) if g1 < len(starts) else total)
        local = starts[g0:g1] - lo
        k = counts[g0:g1]
        temperature = chunk.temperature[lo:hi]
        out["temperature"][g0:g1] = np.add.reduceat(temperature, local) / k
        if calibration is not None:
            warm = temperature.astype(np.float64)
            warm -= calibration.reference_temperature
            drift = np.empty_like(warm)
        norm = None
        for a, (name, v) in enumerate(zip("xyz", (chunk.x[lo:hi], chunk.y[lo:hi], chunk.z[lo:hi]))):
            v64 = v.astype(np.float64)
            if calibration is not None:
                v64 += calibration.offset[a]
                v64 *= calibration.scale[a]
                if calibration.temperature_coefficient[a]:
                    v64 += np.multiply(warm, calibration.temperature_coefficient[a], out=drift)
            if extremes:
                out["lo" + name][g0:g1] = np.minimum.reduceat(v64, local)
                out["hi" + name][g0:g1] = np.maximum.reduceat(v64, local)
            total_v = np.add.reduceat(v64, local)
            np.square(v64, out=v64)
            out["m" + name][g0:g1] = total_v / k
            # Rounding can leave a still window's spread a hair below zero.
            out["v" + name][g0:g1] = np.maximum(np.add.reduceat(v64, local) - total_v * total_v / k, 0.0)
            if enmo:
                if norm is None:
                    norm = v64
                else:
                    norm += v64
        if enmo:
            np.sqrt(norm, out=norm)
            norm -= 1.0
            np.maximum(norm, 0.0, out=norm)
            out["enmo"][g0:g1] = np.add.reduceat(norm, local)
    return out


def run_starts(ids: np.ndarray) -> np.ndarray:
    """Where each run of equal consecutive window numbers starts (parts of one window split
    between two chunks are joined; a window seen again after a clock set back is not)."""
    return np.flatnonzero(np.concatenate(([True], ids[1:] != ids[:-1])))


def combine(stats: dict[str, np.ndarray], at: np.ndarray) -> dict[str, np.ndarray]:
    """Groups of consecutive runs (each group starting at an index of `at`) combined into one:
    counts and sums add, means are weighted, spreads join by the parallel-variance rule
    (Chan et al.), extremes take the extreme."""
    n = np.add.reduceat(stats["n"], at)
    out = {"n": n}
    if "id" in stats:
        out["id"] = stats["id"][at]
    group_n = np.repeat(n, np.diff(np.append(at, len(stats["n"]))))
    share = np.divide(stats["n"], group_n, out=np.zeros_like(group_n, dtype=np.float64), where=group_n > 0)
    for key, values in stats.items():
        if key in ("n", "id") or key[0] == "v":
            continue
        if key[0] == "m" or key == "temperature":
            out[key] = np.add.reduceat(np.nan_to_num(values) * share, at)
        elif key.startswith("lo"):
            out[key] = np.fmin.reduceat(values, at)
        elif key.startswith("hi"):
            out[key] = np.fmax.reduceat(values, at)
        else:
            out[key] = np.add.reduceat(values, at)
    for a in "xyz":
        if "v" + a in stats:
            mean = np.repeat(out["m" + a], np.diff(np.append(at, len(stats["n"]))))
            spread = stats["v" + a] + stats["n"] * (np.nan_to_num(stats["m" + a]) - mean) ** 2
            out["v" + a] = np.add.reduceat(np.nan_to_num(spread), at)
    empty = n == 0
    if empty.any():
        for key, values in out.items():
            if key not in ("n", "id") and key[0] != "v" and key != "enmo":
                values[empty] = np.nan
    return out


def join(parts: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """Per-run statistics of several chunks joined: the runs of one window that meet at a chunk
    border become one."""
    if not parts:
        return {}
    stats = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
    if len(parts) == 1:
        return stats
    return combine(stats, run_starts(stats["id"]))

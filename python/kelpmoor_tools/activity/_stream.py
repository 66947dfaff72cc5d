"""Per-window sums over a recording's samples, the one pass beneath every method of the first stage.

Every method works on sums over windows of the device clock (10 s still windows, epochs,
15-minute non-wear steps). The compiled helper walks the recording a data block at a time with
the reader's own decoding and sums each run of a window whole, so a recording is never held in
memory. A window's samples are summed in one fixed order, so the same file gives the same bits
whichever machine reads it.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Chunk:
    """Samples held in memory: device-clock microseconds and float32 columns."""
    time_us: np.ndarray
    x: np.ndarray
    y: np.ndarray
    z: np.ndarray
    temperature: np.ndarray


# The rows the compiled helper hands back, in its order.
FIELDS = ("n", "temperature", "mx", "my", "mz", "vx", "vy", "vz", "enmo",
          "lox", "loy", "loz", "hix", "hiy", "hiz")


def recording_stats(path: str, width_us: int, calibration=None, *, enmo: bool = False,
                    extremes: bool = False) -> tuple[dict[str, np.ndarray], int | None]:
    """`window_stats` over every sample of the recording at `path`, each run summed whole
    (empty when the recording holds no sample), and the first sample's device-clock time in
    microseconds (None without samples). A file that cannot be read raises the module's own
    error."""
    from .. import _window_sums   # compiled with the package; imported when first needed
    ids, values, first_us = _window_sums.recording_sums(str(path), int(width_us), _correction(calibration),
                                                        enmo or extremes)
    return _unpack(ids, values, enmo=enmo, extremes=extremes), first_us


def recording_header(path: str) -> tuple[int, int, float]:
    """(device id, session id, configured sample rate in Hz) from the recording's metadata block
    alone, as `kelpmoor.read_metadata` reports them; the module's own error for a file that is
    no recording."""
    from .. import _window_sums
    return _window_sums.recording_header(str(path))


def window_stats(chunk: Chunk, width_us: int, calibration=None, *, enmo: bool = False,
                 extremes: bool = False) -> dict[str, np.ndarray]:
    """Per run of consecutive samples in one window of `width_us` (windows start at whole
    multiples of the width; a clock set back starts a new run, so windows are never mixed
    across it): `id` (window number), `n`, `temperature` (mean), per axis the mean (`mx`...)
    and the sum of squared deviations from it (`vx`...); with `enmo` the sum of
    max(|a| - 1, 0) (g); with `extremes` each axis' minimum and maximum (`lox`..., `hix`...).

    `calibration` (offset, scale, temperature_coefficient, reference_temperature), when
    given, corrects the samples first: (v + offset) * scale + (T - reference) * coefficient.
    One pass of the compiled helper: every sum in double precision and in one fixed order (a
    run's samples in four interleaved partial sums, joined pairwise), so the same samples give
    the same bits on every machine.
    """
    from .. import _window_sums   # compiled with the package; imported when first needed
    raw = _window_sums.window_sums(
        np.ascontiguousarray(chunk.time_us, dtype=np.int64),
        *(np.ascontiguousarray(v, dtype=np.float32) for v in (chunk.x, chunk.y, chunk.z, chunk.temperature)),
        int(width_us), _correction(calibration), enmo or extremes)
    return _unpack(*raw, enmo=enmo, extremes=extremes)


def _correction(calibration):
    if calibration is None:
        return None
    return (tuple(calibration.offset), tuple(calibration.scale), tuple(calibration.temperature_coefficient),
            float(calibration.reference_temperature))


def _unpack(raw_ids, raw_values, *, enmo: bool, extremes: bool) -> dict[str, np.ndarray]:
    ids = np.frombuffer(raw_ids, dtype=np.int64)
    values = np.frombuffer(raw_values, dtype=np.float64).reshape(len(FIELDS), len(ids))
    wanted = set(FIELDS[:8]) | ({"enmo"} if enmo else set()) | (set(FIELDS[9:]) if extremes else set())
    out = {"id": ids}
    out.update((name, row) for name, row in zip(FIELDS, values) if name in wanted)
    return out


def run_starts(ids: np.ndarray) -> np.ndarray:
    """Where each run of equal consecutive window numbers starts (a window seen again after a
    clock set back starts a run of its own)."""
    return np.flatnonzero(np.concatenate(([True], ids[1:] != ids[:-1])))


def combine(stats: dict[str, np.ndarray], at: np.ndarray) -> dict[str, np.ndarray]:
    """Groups of consecutive runs (each group starting at an index of `at`) combined into one:
    counts and sums add, means are weighted, spreads join by the parallel-variance rule
    (Chan et al.), extremes take the extreme."""
    n = np.add.reduceat(stats["n"], at)
    out = {"n": n}
    if "id" in stats:
        out["id"] = stats["id"][at]
    sizes = np.diff(np.append(at, len(stats["n"])))   # runs in each group
    group_n = np.repeat(n, sizes)
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
            mean = np.repeat(out["m" + a], sizes)
            spread = stats["v" + a] + stats["n"] * (np.nan_to_num(stats["m" + a]) - mean) ** 2
            out["v" + a] = np.add.reduceat(np.nan_to_num(spread), at)
    empty = n == 0
    if empty.any():
        for key, values in out.items():
            if key not in ("n", "id") and key[0] != "v" and key != "enmo":
                values[empty] = np.nan
    return out

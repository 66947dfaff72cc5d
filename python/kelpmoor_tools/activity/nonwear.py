"""Non-wear detection from the stillness of the signal (van Hees et al. 2011, 2013).

van Hees VT, Renström F, Wright A, et al. Estimation of daily energy expenditure in pregnant
and non-pregnant women using a wrist-worn tri-axial accelerometer. PLoS ONE 6(7): e22922, 2011;
and van Hees VT, Gorzelniak L, Dean León EC, et al. Separating movement and gravity components
in an acceleration signal and implications for the assessment of human daily physical activity.
PLoS ONE 8(4): e61691, 2013.

Windows of 60 minutes start every 15 minutes on the clock. A window is non-wear when at least
2 of the 3 axes have a standard deviation below 13 mg and a range (maximum minus minimum) below
50 mg; every 15-minute step that a non-wear window covers is non-wear. A bout therefore loses
up to one step at each end. With `trim=True` (not part of the published rule) each bout is
grown, an epoch at a time and by at most one step at each end, for as long as the epochs next
to it stay as still as the rule asks (each epoch's standard deviation, and the range of the
bout's edge step together with the epochs taken in, below the thresholds on the same number of
axes), so a bout's ends land where the stillness really starts and stops.
"""
from __future__ import annotations

import numpy as np

from . import _stream

__all__ = ["nonwear_epochs"]


def _steps(epochs: dict[str, np.ndarray], epoch_us: int, step_us: int):
    step_ids = epochs["id"] * epoch_us // step_us
    at = _stream.run_starts(step_ids)
    stats = _stream.combine(epochs, at)
    stats["id"] = step_ids[at]
    owner = np.repeat(np.arange(len(at)), np.diff(np.append(at, len(step_ids))))
    return stats, owner


def _still_axes(n, spread, lo, hi, sd_g, range_g):
    """How many axes are still, per row: standard deviation and range below the limits."""
    count = np.zeros(len(n), dtype=np.int64)
    with np.errstate(invalid="ignore", divide="ignore"):
        for a in "xyz":
            sd = np.sqrt(spread[a] / np.maximum(n - 1.0, 1.0))
            count += (sd < sd_g) & (hi[a] - lo[a] < range_g)
    return count


def nonwear_epochs(epochs: dict[str, np.ndarray], epoch_s: float, rate_hz: float, *,
                   window_min: float = 60.0, step_min: float = 15.0, sd_mg: float = 13.0,
                   range_mg: float = 50.0, axes: int = 2, trim: bool = False) -> np.ndarray:
    """Per epoch (rows of the per-epoch statistics: `id`, `n`, `m*`, `v*`, `lo*`, `hi*` of
    the calibrated axes), whether it lies in non-wear. A window is judged when its samples fill
    at least one step; a clock set back ends the windows that would reach over it."""
    epoch_us = int(round(epoch_s * 1e6))
    step_us = int(round(step_min * 60e6))
    reach = int(round(window_min / step_min))
    steps, owner = _steps(epochs, epoch_us, step_us)
    ids, n = steps["id"], steps["n"]
    rows = len(ids)
    sd_g, range_g = sd_mg / 1000.0, range_mg / 1000.0

    # Window statistics from up to `reach` consecutive steps, joined as in `_stream.combine`.
    total = np.zeros(rows)
    mean = {a: np.zeros(rows) for a in "xyz"}
    members = []
    ok = np.ones(rows, dtype=bool)
    for o in range(reach):
        idx = np.minimum(np.arange(rows) + o, rows - 1)
        if o:
            ok &= (np.arange(rows) + o < rows) & (ids[idx] > ids[np.maximum(idx - 1, 0)]) \
                & (ids[idx] - ids < reach)
        members.append((idx, ok.copy()))
        total += np.where(ok, n[idx], 0.0)
        for a in "xyz":
            mean[a] += np.where(ok, n[idx] * np.nan_to_num(steps["m" + a][idx]), 0.0)
    safe = np.maximum(total, 1.0)
    spread, lo, hi = {}, {}, {}
    for a in "xyz":
        mean[a] /= safe
        spread[a] = sum(np.where(ok_o, steps["v" + a][i] + n[i] * (np.nan_to_num(steps["m" + a][i]) - mean[a]) ** 2, 0.0)
                        for i, ok_o in members)
        lo[a] = np.min([np.where(ok_o, steps["lo" + a][i], np.inf) for i, ok_o in members], axis=0)
        hi[a] = np.max([np.where(ok_o, steps["hi" + a][i], -np.inf) for i, ok_o in members], axis=0)
    judged = total >= step_min * 60.0 * rate_hz
    window = judged & (_still_axes(total, spread, lo, hi, sd_g, range_g) >= axes)
    flagged = np.zeros(rows, dtype=bool)
    for i, ok_o in members:
        np.logical_or.at(flagged, i[window & ok_o], True)
    per_epoch = flagged[owner]
    if trim and per_epoch.any():
        per_epoch = _grow(per_epoch, epochs, steps, owner, int(step_us // epoch_us), sd_g, range_g, axes)
    return per_epoch


def _grow(flags, epochs, steps, owner, limit, sd_g, range_g, axes):
    """Each bout grown, epoch by epoch and by at most `limit` epochs at each end, while the
    epochs taken in stay still together with the bout's edge step."""
    out = flags.copy()
    rows = len(flags)
    edges = np.flatnonzero(np.diff(np.concatenate(([0], flags.astype(np.int8), [0]))))
    starts, ends = edges[::2], edges[1::2]          # bout = epochs starts[k] .. ends[k] - 1
    n = epochs["n"]
    with np.errstate(invalid="ignore", divide="ignore"):
        sd_ok = {a: np.sqrt(epochs["v" + a] / np.maximum(n - 1.0, 1.0)) < sd_g for a in "xyz"}
    for first, stop in zip(starts, ends):
        for edge, direction in ((first, -1), (stop - 1, 1)):
            step = owner[edge]
            lo = {a: steps["lo" + a][step] for a in "xyz"}
            hi = {a: steps["hi" + a][step] for a in "xyz"}
            i = edge + direction
            for _ in range(limit):
                if not 0 <= i < rows or out[i] or n[i] == 0 \
                        or epochs["id"][i] != epochs["id"][i - direction] + direction:
                    break
                lo = {a: min(lo[a], epochs["lo" + a][i]) for a in "xyz"}
                hi = {a: max(hi[a], epochs["hi" + a][i]) for a in "xyz"}
                if sum(bool(sd_ok[a][i]) and hi[a] - lo[a] < range_g for a in "xyz") < axes:
                    break
                out[i] = True
                i += direction
    return out

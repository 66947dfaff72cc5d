"""Epochs: the calibrated signal summarised over short windows of the device clock.

Each epoch of `epoch_s` seconds (5 s by default) holds the mean over its samples of the
Euclidean Norm Minus One, ENMO = max(sqrt(x^2 + y^2 + z^2) - 1, 0) in mg (van Hees et al.,
PLoS ONE 8(4): e61691, 2013), the mean calibrated x, y and z (g), the arm's angle to the
horizontal plane from those means, angle_z = atan(z / sqrt(x^2 + y^2)) in degrees (van Hees
et al., PLoS ONE 10(11): e0142533, 2015), the mean temperature and the number of samples.
Epochs start at whole multiples of `epoch_s` on the clock; an epoch without samples (a gap in
the recording) has 0 samples and NaN values: nothing is filled in.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["EPOCH_COLUMNS", "epoch_frame", "fill_gaps"]

EPOCH_COLUMNS = ["enmo_mg", "x", "y", "z", "angle_z", "temperature", "samples", "nonwear"]


def fill_gaps(ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Epoch numbers with the missing ones between consecutive epochs put in, and where each
    given epoch lands among them. After a clock set back the numbers go down and nothing is
    put in: the epochs stay in recorded order."""
    step = np.diff(ids)
    missing = np.where(step > 1, step - 1, 0)
    size = np.append(1 + missing, 1)
    at = np.concatenate(([0], np.cumsum(size)[:-1]))
    within = np.arange(int(size.sum())) - np.repeat(at, size)
    return np.repeat(ids, size) + within, at


def epoch_frame(stats: dict[str, np.ndarray], epoch_s: float, nonwear: np.ndarray) -> pd.DataFrame:
    """The epochs table from per-epoch statistics (`id`, `n`, `enmo`, `mx`, `my`, `mz`,
    `temperature`) and the per-epoch non-wear flags; gap epochs put in between."""
    epoch_us = int(round(epoch_s * 1e6))
    ids, at = fill_gaps(stats["id"])
    size = len(ids)

    def spread(values, fill):
        out = np.full(size, fill, dtype=np.asarray(values).dtype)
        out[at] = values
        return out

    n = stats["n"]
    with np.errstate(invalid="ignore", divide="ignore"):
        enmo = np.where(n > 0, stats["enmo"] / np.where(n > 0, n, 1) * 1000.0, np.nan)
        x, y, z = (np.where(n > 0, stats["m" + a], np.nan) for a in "xyz")
        angle = np.degrees(np.arctan(z / np.sqrt(x * x + y * y)))
    columns = {"enmo_mg": enmo, "x": x, "y": y, "z": z, "angle_z": angle,
               "temperature": np.where(n > 0, stats["temperature"], np.nan)}
    frame = {k: spread(v.astype(np.float64), np.nan) for k, v in columns.items()}
    frame["samples"] = spread(n.astype(np.int64), 0)
    frame["nonwear"] = spread(np.asarray(nonwear, dtype=bool), False)
    index = pd.DatetimeIndex((ids * epoch_us).astype("datetime64[us]"), name="time")
    return pd.DataFrame(frame, index=index, columns=EPOCH_COLUMNS)

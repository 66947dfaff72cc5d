"""Day-level outcomes from the epochs.

Days are calendar days of the device clock, or, given the zone the participant lived in and
the UTC offset the device clock was set to, local calendar days (23 or 25 hours long across a
daylight-saving change). Per day, from the worn epochs only (nothing is imputed):

wear_hours          hours of worn epochs holding samples
valid               wear_hours of at least `min_wear_hours` (16 h by default)
enmo_mg             mean ENMO of the worn epochs
mvpa_min            minutes whose mean ENMO over their worn epochs is at least `mvpa_mg`
                    (100 mg by default: moderate-to-vigorous activity, Hildebrand et al.,
                    Med Sci Sports Exerc 46(9): 1816-1824, 2014)
m10_mg, m10_start   the most active 10 continuous hours of the day's 1-minute means (their
                    mean, and when they start), and
l5_mg, l5_start     the least active 5 (the M10 and L5 of non-parametric rest-activity
                    analysis, Witting et al., Biol Psychiatry 27(6): 563-572, 1990); minutes
                    without wear are left out of a window's mean, and a window needs at least
                    `min_window_wear` of its minutes worn
intensity_gradient  the slope of ln(minutes spent in each 25 mg band of ENMO) against ln(the
                    band's midpoint), over the bands 0-25, 25-50, ... up to 4000 mg that hold
                    worn epochs (Rowlands et al., Med Sci Sports Exerc 50(6): 1323-1332, 2018)
hours               the length of the day covered by the recording, in hours
"""
from __future__ import annotations

import datetime as _dt

import numpy as np
import pandas as pd

__all__ = ["DAY_COLUMNS", "day_table", "local_times", "intensity_gradient"]

DAY_COLUMNS = ["wear_hours", "valid", "enmo_mg", "mvpa_min", "m10_mg", "m10_start", "l5_mg",
               "l5_start", "intensity_gradient", "hours"]


def local_times(index: pd.DatetimeIndex, timezone=None, device_utc_offset=None) -> pd.DatetimeIndex:
    """Device-clock times as times of `timezone` (zone-aware; unchanged without a zone).
    `device_utc_offset` is how far the device clock was ahead of UTC: a timedelta, or a tzinfo
    whose utcoffset(None) gives it (UTC when not given)."""
    if timezone is None:
        return index
    offset = device_utc_offset if device_utc_offset is not None else _dt.timedelta(0)
    if isinstance(offset, _dt.tzinfo):
        offset = offset.utcoffset(None)
    if not isinstance(offset, _dt.timedelta):
        raise TypeError("device_utc_offset is a datetime.timedelta or a fixed-offset tzinfo")
    return (index - pd.Timedelta(offset)).tz_localize("UTC").tz_convert(timezone)


def intensity_gradient(enmo_mg: np.ndarray, epoch_s: float, *, band_mg: float = 25.0,
                       top_mg: float = 4000.0) -> float:
    """Slope of ln(minutes in each band) on ln(band midpoint), over the bands holding time."""
    values = enmo_mg[np.isfinite(enmo_mg)]
    bands = int(round(top_mg / band_mg))
    which = np.minimum((values // band_mg).astype(np.int64), bands - 1)
    minutes = np.bincount(which, minlength=bands) * (epoch_s / 60.0)
    held = minutes > 0
    if held.sum() < 2:
        return float("nan")
    mid = (np.arange(bands) + 0.5) * band_mg
    return float(np.polyfit(np.log(mid[held]), np.log(minutes[held]), 1)[0])


def _extreme_window(minute: pd.Series, hours: float, need: float, largest: bool):
    """Mean and start of the most (or least) active window of `hours` among the day's minutes."""
    width = int(round(hours * 60))
    values = minute.to_numpy()
    if len(values) < width:
        return float("nan"), pd.NaT
    worn = np.isfinite(values)
    sums = np.convolve(np.where(worn, values, 0.0), np.ones(width), mode="valid")
    counts = np.convolve(worn.astype(np.float64), np.ones(width), mode="valid")
    with np.errstate(invalid="ignore", divide="ignore"):
        means = np.where(counts >= need * width, sums / counts, np.nan)
    if not np.isfinite(means).any():
        return float("nan"), pd.NaT
    at = int(np.nanargmax(means) if largest else np.nanargmin(means))
    return float(means[at]), minute.index[at]


def day_table(epochs: pd.DataFrame, epoch_s: float, *, timezone=None, device_utc_offset=None,
              min_wear_hours: float = 16.0, mvpa_mg: float = 100.0, m_hours: float = 10.0,
              l_hours: float = 5.0, min_window_wear: float = 0.5) -> pd.DataFrame:
    """The day table (columns in the module's description) of an epochs table (columns
    `enmo_mg`, `samples`, `nonwear`, indexed by epoch start on the device clock)."""
    local = local_times(epochs.index, timezone, device_utc_offset)
    worn = (~epochs["nonwear"].to_numpy()) & (epochs["samples"].to_numpy() > 0)
    enmo = np.where(worn, epochs["enmo_mg"].to_numpy(), np.nan)
    # Minutes are taken on the UTC line, so an hour that a local clock repeats stays two hours.
    minute_of = local.tz_convert("UTC").floor("min").tz_convert(local.tz) if local.tz else local.floor("min")
    frame = pd.DataFrame({"enmo": enmo, "worn": worn, "minute": minute_of}, index=local)
    span_start, span_end = local.min(), local.max() + pd.Timedelta(seconds=epoch_s)
    rows = []
    for day, part in frame.groupby(local.normalize(), sort=True):
        next_day = day + pd.DateOffset(days=1)
        start, end = max(day, span_start), min(next_day, span_end)
        minute = part.groupby("minute")["enmo"].mean()
        minute = minute.reindex(pd.date_range(day, next_day, freq="min", inclusive="left"))
        m10, m10_start = _extreme_window(minute, m_hours, min_window_wear, largest=True)
        l5, l5_start = _extreme_window(minute, l_hours, min_window_wear, largest=False)
        wear_hours = float(part["worn"].sum()) * epoch_s / 3600.0
        worn_enmo = part["enmo"].to_numpy()[part["worn"].to_numpy()]
        rows.append({
            "date": day.date(), "wear_hours": wear_hours, "valid": wear_hours >= min_wear_hours,
            "enmo_mg": float(worn_enmo.mean()) if len(worn_enmo) else float("nan"),
            "mvpa_min": float((minute >= mvpa_mg).sum()),
            "m10_mg": m10, "m10_start": _naive(m10_start), "l5_mg": l5, "l5_start": _naive(l5_start),
            "intensity_gradient": intensity_gradient(worn_enmo, epoch_s),
            "hours": (end - start) / pd.Timedelta(hours=1)})
    table = pd.DataFrame(rows, columns=["date", *DAY_COLUMNS])
    for key in ("m10_start", "l5_start"):
        table[key] = pd.to_datetime(table[key]).astype("datetime64[us]")
    table["valid"] = table["valid"].astype(bool)
    return table.set_index(pd.Index(table.pop("date"), name="date", dtype=object))


def _naive(when):
    """A window's start as the wall-clock time of the day's own clock."""
    return when if when is pd.NaT or when.tzinfo is None else when.tz_localize(None)

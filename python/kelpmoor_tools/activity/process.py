"""The first stage of a study in one call: calibration, non-wear, epochs, days, summary.

    from kelpmoor_tools import activity

    out = activity.process("P01.cwa")
    out.calibration       # Calibration (status, errors before and after, parameters)
    out.epochs            # one row per epoch of the device clock
    out.days              # one row per calendar day
    out.summary           # one row: the recording's outcomes and what limited them
    out.provenance        # what was run on what, as JSON-ready data

The recording is read twice, a data block at a time (first the still windows for the
calibration, then the calibrated epochs), so memory holds window statistics, never samples.
"""
from __future__ import annotations

import datetime as _dt
import hashlib
import math
import os
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import _stream, days as _days, epochs as _epochs, nonwear as _nonwear
from .. import __version__, _layout
from .calibrate import Calibration, calibrate

__all__ = ["Processed", "process", "SUMMARY_COLUMNS"]

SUMMARY_COLUMNS = ["file", "device_id", "session_id", "start", "days", "valid_days", "wear_hours",
                   "nonwear_share", "calibration_status", "calibration_error_before_mg",
                   "calibration_error_after_mg", "enmo_mg", "mvpa_min", "status"]


@dataclass(frozen=True)
class Processed:
    calibration: Calibration
    epochs: pd.DataFrame
    days: pd.DataFrame
    summary: pd.DataFrame
    provenance: dict


def process(path, *, epoch_s: float = 5.0, timezone=None, device_utc_offset=None,
            calibration_window_s: float = 10.0, still_sd_mg: float = 13.0, sphere_g: float = 0.3,
            accept_error_mg: float = 10.0, calibration_max_iterations: int = 1000,
            calibration_tolerance: float = 1e-10, nonwear_window_min: float = 60.0,
            nonwear_step_min: float = 15.0, nonwear_sd_mg: float = 13.0, nonwear_range_mg: float = 50.0,
            nonwear_axes: int = 2, nonwear_trim: bool = False, min_wear_hours: float = 16.0,
            mvpa_mg: float = 100.0) -> Processed:
    """Calibrate (van Hees et al. 2014), find non-wear (van Hees et al. 2011/2013), summarise
    epochs of `epoch_s` seconds and calendar days of one recording. `timezone` (a
    zoneinfo.ZoneInfo) with `device_utc_offset` (the offset the device clock was set to, a
    timedelta or tzinfo) makes days local calendar days. A file that cannot be read raises the
    module's own error; any other recording gets its outcomes and a status saying what
    limited them."""
    parameters = {k: v for k, v in locals().items() if k != "path"}
    path = str(path)
    epoch_us = int(round(epoch_s * 1e6))
    if epoch_us <= 0 or 60_000_000 % epoch_us or int(round(nonwear_step_min * 60e6)) % epoch_us:
        raise ValueError("epoch_s must divide a minute and the non-wear step into whole epochs")
    device_id, session_id, rate = _stream.recording_header(path)

    calibration = calibrate(path, window_s=calibration_window_s, still_sd_mg=still_sd_mg, sphere_g=sphere_g,
                            accept_error_mg=accept_error_mg, max_iterations=calibration_max_iterations,
                            tolerance=calibration_tolerance)
    correct = calibration if calibration.status == "calibrated" else None
    stats, first_us = _stream.recording_stats(path, epoch_us, correct, enmo=True, extremes=True)
    if first_us is None:
        raise RuntimeError(_layout.NO_DATA)
    flags = _nonwear.nonwear_epochs(stats, epoch_s, rate, window_min=nonwear_window_min,
                                    step_min=nonwear_step_min, sd_mg=nonwear_sd_mg,
                                    range_mg=nonwear_range_mg, axes=nonwear_axes, trim=nonwear_trim)
    epochs = _epochs.epoch_frame(stats, epoch_s, flags)
    days = _days.day_table(epochs, epoch_s, timezone=timezone, device_utc_offset=device_utc_offset,
                           min_wear_hours=min_wear_hours, mvpa_mg=mvpa_mg)
    header = {"device_id": device_id, "session_id": session_id, "start": pd.Timestamp(first_us, unit="us")}
    summary = _summary(path, header, calibration, epochs, days, stats["id"], epoch_s, min_wear_hours)
    provenance = {"kelpmoor_version": __version__, "parameters": _jsonable(parameters),
                  "calibration": calibration.as_dict(), "input": input_provenance(path)}
    return Processed(calibration, epochs, days, summary, provenance)


def _summary(path, header, calibration, epochs, days, ids, epoch_s, min_wear_hours) -> pd.DataFrame:
    samples = epochs["samples"].to_numpy()
    held = samples > 0
    nonwear = epochs["nonwear"].to_numpy()
    worn_hours = float((held & ~nonwear).sum()) * epoch_s / 3600.0
    valid = days[days["valid"]]
    limits = []
    if calibration.status != "calibrated":
        limits.append(f"not calibrated ({calibration.reason})")
    span_h = len(epochs) * epoch_s / 3600.0
    if span_h < 24.0:
        limits.append(f"shorter than a day ({span_h:.1f} h)")
    if worn_hours == 0:
        limits.append("never worn")
    elif valid.empty:
        limits.append(f"no valid day (at least {min_wear_hours:g} h of wear)")
    gap_h = float((~held).sum()) * epoch_s / 3600.0
    if gap_h > 0:
        limits.append(f"gaps: {gap_h:.2f} h without samples")
    set_back = int((np.diff(ids) < 0).sum())
    if set_back:
        limits.append(f"clock set back {set_back} time{'s' if set_back > 1 else ''}: "
                      "some epochs repeat earlier clock times")
    row = {
        "file": os.path.basename(path), "device_id": header["device_id"],
        "session_id": header["session_id"],
        "start": header["start"],
        "days": len(days), "valid_days": len(valid), "wear_hours": worn_hours,
        "nonwear_share": float(nonwear[held].mean()) if held.any() else float("nan"),
        "calibration_status": calibration.status,
        "calibration_error_before_mg": calibration.error_before_mg,
        "calibration_error_after_mg": calibration.error_after_mg,
        "enmo_mg": float(valid["enmo_mg"].mean()) if len(valid) else float("nan"),
        "mvpa_min": float(valid["mvpa_min"].mean()) if len(valid) else float("nan"),
        "status": "; ".join(limits) if limits else "ok"}
    frame = pd.DataFrame([row], columns=SUMMARY_COLUMNS)
    frame["start"] = pd.to_datetime(frame["start"]).astype("datetime64[us]")
    return frame


def _jsonable(parameters: dict) -> dict:
    out = {}
    for key, value in parameters.items():
        if isinstance(value, _dt.timedelta):
            value = value.total_seconds()
        elif isinstance(value, _dt.tzinfo):
            value = str(getattr(value, "key", value))
        elif isinstance(value, float) and math.isnan(value):
            value = None
        out[key] = value
    return out


def input_provenance(path: str) -> dict:
    """The name, size and SHA-256 of a recording's bytes, as its outputs' provenance records."""
    digest = hashlib.sha256()
    # One reused buffer: a week's file is hashed without a new bytes object per read.
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while size := f.readinto(buffer):
            digest.update(view[:size])
    return {"name": os.path.basename(path), "size": os.path.getsize(path), "sha256": digest.hexdigest()}

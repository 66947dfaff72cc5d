"""The first stage as a per-recording function for cohorts:

    from kelpmoor_tools import activity, cohort
    result = cohort.summarise("study/*.cwa", func=activity.day_summary)

`result.summary` then holds one row per recording and day, indexed by (recording, date).
"""
from __future__ import annotations

import pandas as pd

from .process import process

__all__ = ["day_summary", "RECORDING_COLUMNS"]

# The recording's own outcomes repeated on each of its days (the day columns keep their names).
RECORDING_COLUMNS = ["device_id", "session_id", "calibration_status", "calibration_error_before_mg",
                     "calibration_error_after_mg", "nonwear_share", "status"]


def day_summary(path, **parameters) -> pd.DataFrame:
    """The day table of one recording with the recording's summary columns beside it;
    `parameters` are those of `process`."""
    out = process(path, **parameters)
    days = out.days.copy()
    for key in RECORDING_COLUMNS:
        days[key] = out.summary[key].iloc[0]
    return days

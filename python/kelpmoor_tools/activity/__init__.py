"""The first stage of a study: auto-calibration, non-wear, epochs and day-level outcomes of
one recording, each by its published method (see each module), read a data block at a time.

    from kelpmoor_tools import activity
    out = activity.process("P01.cwa")            # calibration, epochs, days, summary, provenance
    cal = activity.calibrate("P01.cwa")          # the calibration alone
    cohort.summarise(paths, func=activity.day_summary)
"""
from .calibrate import Calibration, calibrate
from .cohort_day import day_summary
from .process import Processed, process

__all__ = ["Calibration", "Processed", "calibrate", "day_summary", "process"]

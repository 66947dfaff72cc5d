"""A recording's page: one PNG that says at a glance what the first stage found.

The actogram is the heart of it: one row per day, the hours of the day across, each epoch's
ENMO in a perceptual colour scale (log, so that sleep at 2 mg and a walk at 200 mg are both
legible). Non-wear is drawn grey and hatched, and a span with no data stays white inside the
day's outline, so both read the same in print and to a reader who cannot tell colours apart.
Beside each row stand the numbers the study keeps of that day; above, who and what was
recorded and how far the calibration could be trusted; below, the temperature, which shows a
sensor taken off as plainly as the acceleration does.

Rows follow the day table: device-clock calendar days, or local days when the first stage was
given a time zone, in which case a day across a clock change is a row of 23 or 25 hours.
"""
from __future__ import annotations

import datetime as _dt
import math
import os
import re
import textwrap
from pathlib import Path
from typing import Any
from zoneinfo import ZoneInfo

import matplotlib
import matplotlib.dates as mdates
import numpy as np
import pandas as pd
from matplotlib.colors import LogNorm
from matplotlib.figure import Figure
from matplotlib.patches import Patch, Rectangle

from .._whole import write_whole
from ..activity.days import local_times

DPI = 100
WIDTH_IN = 12.0
ROW_HEIGHT_IN = 0.42
# The page is laid out in inches from the top, so that text keeps its size and place whatever
# the number of days: header, day rows, their hour axis, the colour scale, the temperature.
HEADER_IN, HOUR_AXIS_IN, SCALE_IN, TEMPERATURE_IN, BOTTOM_IN = 1.85, 0.45, 1.3, 1.6, 0.45
LEFT_IN, NUMBERS_IN, RIGHT_IN = 0.95, 2.5, 0.2
ENMO_RANGE_MG = (1.0, 1000.0)     # below 1 mg is noise on a still wrist; 1 g above gravity is a run
BAR = 0.84                        # the share of a day's row its bar fills, the rest spaces rows
NONWEAR_STYLE = dict(facecolor="#c8c8c8", edgecolor="#6e6e6e", hatch="////", linewidth=0)
PROBLEM_COLOUR = "#b2182b"
HEADER_CHARACTERS = 125          # a header line wraps here, where it meets the page's edge
TEMPERATURE_MEAN = "5min"        # a device's temperature steps by its resolution: draw means


def page_size_px(days: int) -> tuple[int, int]:
    """The (width, height) in pixels of the page of a recording of `days` day rows."""
    return round(WIDTH_IN * DPI), round(_height_in(days) * DPI)


def _height_in(days: int) -> float:
    return (HEADER_IN + ROW_HEIGHT_IN * max(days, 1) + HOUR_AXIS_IN + SCALE_IN + TEMPERATURE_IN
            + BOTTOM_IN)


def draw_page(processed: Any, timeline: pd.DataFrame, path: str | os.PathLike[str], *,
              title: str | None = None) -> Path:
    """Draw a recording's page as a PNG and return its path.

    Parameters
    ----------
    processed : kelpmoor_tools.activity.Processed
        The first stage's result: its ``epochs``, ``days``, ``summary``, ``calibration`` and
        ``provenance`` are drawn.
    timeline : pandas.DataFrame
        The recording's discontinuities (`kelpmoor_tools.timeline`); its gaps and backward clock
        jumps are counted in the header.
    path : str or os.PathLike
        Where to write the PNG; its folder must exist. The file appears whole or not at all.
    title : str, optional
        The page's title; by default the recording's file name.

    Returns
    -------
    pathlib.Path
        `path`, written.
    """
    epochs, days = processed.epochs, processed.days
    summary = processed.summary.iloc[0]
    parameters = (processed.provenance or {}).get("parameters", {})
    path = Path(path)

    fig = Figure(figsize=(WIDTH_IN, _height_in(len(days))), dpi=DPI)
    rows_in = ROW_HEIGHT_IN * max(len(days), 1)
    days_width = WIDTH_IN - LEFT_IN - NUMBERS_IN - RIGHT_IN
    actogram = _axes_at(fig, LEFT_IN, HEADER_IN, days_width, rows_in)
    numbers = _axes_at(fig, LEFT_IN + days_width, HEADER_IN, NUMBERS_IN, rows_in,
                       sharey=actogram)
    scale_top = HEADER_IN + rows_in + HOUR_AXIS_IN
    colourbar = _axes_at(fig, LEFT_IN, scale_top + 0.3, days_width, 0.18)
    legend = _axes_at(fig, LEFT_IN + days_width, scale_top + 0.1, NUMBERS_IN, 0.5)
    temperature = _axes_at(fig, LEFT_IN, scale_top + SCALE_IN,
                           WIDTH_IN - LEFT_IN - RIGHT_IN, TEMPERATURE_IN)

    _header(fig, summary, processed.calibration, timeline, title or _file_name(summary))
    epoch_s = _epoch_seconds(epochs, parameters)
    image = _actogram(actogram, epochs, days, parameters, epoch_s)
    _day_numbers(numbers, days)
    _colour_bar(fig, colourbar, legend, image)
    _temperature(temperature, epochs, epoch_s)
    return write_whole(path, lambda temporary: fig.savefig(temporary, dpi=DPI, format="png"))


def _axes_at(fig, left_in: float, top_in: float, width_in: float, height_in: float, **kwargs):
    """Axes placed in inches from the page's top left corner."""
    width, height = fig.get_figwidth(), fig.get_figheight()
    return fig.add_axes((left_in / width, 1 - (top_in + height_in) / height,
                         width_in / width, height_in / height), **kwargs)


def _file_name(summary) -> str:
    return Path(str(summary.get("file", "recording"))).name


def _header(fig, summary, calibration, timeline, title: str) -> None:
    kinds = timeline["kind"] if "kind" in timeline else pd.Series([], dtype=object)
    gaps, jumps = int((kinds == "gap").sum()), int((kinds == "backward_jump").sum())
    start = pd.Timestamp(summary.get("start"))
    start_text = "unknown" if pd.isna(start) else f"{start:%a %d %b %Y %H:%M:%S}"
    fig.text(0.01, 1 - 0.3 / fig.get_figheight(), title, fontsize=15, weight="bold", va="top")
    fig.text(0.01, 1 - 0.72 / fig.get_figheight(),
             f"device {summary.get('device_id', '?')}   session {summary.get('session_id', '?')}   "
             f"start {start_text} (device clock)   "
             f"valid days {_count(summary.get('valid_days'))} of {_count(summary.get('days'))}   "
             f"gaps {gaps}   clock jumps back {jumps}",
             fontsize=11, va="top")
    calibrated = calibration.status == "calibrated"
    fig.text(0.01, 1 - 1.05 / fig.get_figheight(), _shortened(_calibration_text(calibration)),
             fontsize=11, va="top", weight="normal" if calibrated else "bold",
             color="black" if calibrated else PROBLEM_COLOUR)
    status = str(summary.get("status", "") or "ok")
    fig.text(0.01, 1 - 1.38 / fig.get_figheight(), _shortened(f"status: {status}"), fontsize=11,
             va="top",
             weight="normal" if status == "ok" else "bold",
             color="black" if status == "ok" else PROBLEM_COLOUR)


def _shortened(text: str) -> str:
    """One header line: a long reason is cut at a word with an ellipsis (the full text is in
    the recording's summary and calibration)."""
    return textwrap.shorten(text, HEADER_CHARACTERS, placeholder=" …")


def _count(value) -> str:
    return "?" if value is None or pd.isna(value) else f"{value:.0f}"


def _calibration_text(calibration) -> str:
    before, after = _mg(calibration.error_before_mg), _mg(calibration.error_after_mg)
    if calibration.status == "calibrated":
        return (f"calibrated: error {before} before, {after} after "
                f"({calibration.still_windows} still windows)")
    # What it means for the numbers first: a long reason may be cut at the page's edge.
    return f"NOT CALIBRATED, values used uncorrected (error {before}): {calibration.reason}"


def _mg(value: float) -> str:
    return "n/a" if value is None or math.isnan(value) else f"{value:.1f} mg"


def _actogram(ax, epochs: pd.DataFrame, days: pd.DataFrame, parameters: dict, epoch_s: float):
    day_of, elapsed_s = _local_day_and_elapsed(epochs.index, parameters)
    longest_h = max([24.0, *days["hours"].fillna(24.0)]) if len(days) else 24.0
    columns = math.ceil(longest_h * 3600 / epoch_s)

    enmo = np.full((len(days), columns), np.nan)
    nonwear = np.zeros((len(days), columns), dtype=bool)
    # Days as datetime.date on both sides, whatever type the day table's index holds.
    rows = pd.Index([pd.Timestamp(day).date() for day in days.index]).get_indexer(day_of)
    cols = np.floor(elapsed_s / epoch_s).astype(np.int64)
    keep = (rows >= 0) & (cols >= 0) & (cols < columns)
    enmo[rows[keep], cols[keep]] = epochs["enmo_mg"].to_numpy(float)[keep]
    nonwear[rows[keep], cols[keep]] = epochs["nonwear"].to_numpy(bool)[keep]
    # A still wrist reads 0 mg: drawn at the scale's floor, while a gap (NaN) stays empty.
    enmo = np.clip(enmo, ENMO_RANGE_MG[0], None)

    cmap = matplotlib.colormaps["viridis"].with_extremes(bad=(0, 0, 0, 0))
    norm = LogNorm(*ENMO_RANGE_MG, clip=True)
    image = None
    # Each row's outline spans the epochs the recording has that day, so that an hour before
    # the first sample reads as outside the recording and a gap inside it as a hole.
    covered = pd.DataFrame({"row": rows[keep], "col": cols[keep]}).groupby("row")["col"]
    first_col, last_col = covered.min(), covered.max() + 1
    for i in range(len(days)):
        extent = (0.0, columns * epoch_s / 3600, i + BAR / 2, i - BAR / 2)
        # A day has more epochs than the page has pixels: each pixel shows the mean colour of
        # its epochs, so a short bout is never dropped by sampling.
        image = ax.imshow(enmo[i:i + 1], aspect="auto", extent=extent, cmap=cmap, norm=norm,
                          interpolation="antialiased", interpolation_stage="rgba")
        for first, last in _runs(nonwear[i]):
            ax.broken_barh([(first * epoch_s / 3600, (last - first) * epoch_s / 3600)],
                           (i - BAR / 2, BAR), **NONWEAR_STYLE)
        if i in first_col.index:
            ax.add_patch(_outline(i, first_col[i] * epoch_s / 3600, last_col[i] * epoch_s / 3600))
    ax.set_xlim(0, longest_h)
    ax.set_ylim(max(len(days), 1) - 0.5, -0.5)
    ax.set_xticks(range(0, int(longest_h) + 1, 3))
    ax.set_xlabel("hours since midnight" + (" (local time)" if parameters.get("timezone") else
                                            " (device clock)"))
    ax.set_yticks(range(len(days)), [f"{pd.Timestamp(day):%a %d %b}" for day in days.index])
    ax.tick_params(axis="y", length=0, labelsize=10)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.set_title("ENMO per epoch, one row per day", loc="left", fontsize=11)
    if image is None:     # no day at all: the colour bar still needs a mappable of this scale
        image = ax.imshow(np.full((1, 1), np.nan), cmap=cmap, norm=norm, extent=(0, 0, 0, 0))
    return image


def _outline(row: int, start_h: float, end_h: float) -> Rectangle:
    return Rectangle((start_h, row - BAR / 2), end_h - start_h, BAR, fill=False,
                     edgecolor="#9a9a9a", linewidth=0.6)


def _runs(flags: np.ndarray) -> list[tuple[int, int]]:
    """[first, last) index pairs of the runs of True."""
    edges = np.diff(np.concatenate(([0], flags.astype(np.int8), [0])))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def _epoch_seconds(epochs: pd.DataFrame, parameters: dict) -> float:
    if parameters.get("epoch_s"):
        return float(parameters["epoch_s"])
    steps = np.diff(epochs.index.asi8) / 1e6 if len(epochs) > 1 else np.array([5.0])
    return float(np.median(steps[steps > 0])) if (steps > 0).any() else 5.0


def _local_day_and_elapsed(index: pd.DatetimeIndex, parameters: dict):
    """Each epoch's day (a datetime.date) and its seconds since that day's midnight: on the
    device clock, or, when the first stage used a time zone, in local time, where midnight to
    midnight lasts 23 or 25 hours across a clock change."""
    zone = parameters.get("timezone")
    if zone and not isinstance(zone, _dt.tzinfo):
        zone = ZoneInfo(str(zone))
    # The day table's own conversion, so that the page's days are the table's.
    local = local_times(index, zone or None, _utc_offset(parameters.get("device_utc_offset")))
    midnight = local.normalize()
    return local.date, (local - midnight).total_seconds().to_numpy()


def _utc_offset(value) -> pd.Timedelta:
    """The device clock's UTC offset as the first stage records it: a timedelta, a tzinfo of a
    fixed offset, seconds, or a text such as "+01:00", "UTC+01:00" or "1:00:00"."""
    if value is None:
        return pd.Timedelta(0)
    if isinstance(value, _dt.tzinfo):
        return pd.Timedelta(value.utcoffset(None))
    if isinstance(value, (int, float)):
        return pd.Timedelta(seconds=value)
    if isinstance(value, str):
        text = value.strip().removeprefix("UTC")
        match = re.fullmatch(r"([+-]?)(\d{1,2}):?(\d{2})", text)
        if match:
            sign = -1 if match[1] == "-" else 1
            return sign * pd.Timedelta(hours=int(match[2]), minutes=int(match[3]))
        return pd.Timedelta(text or 0)
    return pd.Timedelta(value)


def _day_numbers(ax, days: pd.DataFrame) -> None:
    columns = (("day h", 0.11), ("wear h", 0.33), ("MVPA min", 0.58), ("", 0.87))
    for label, x in columns:
        ax.text(x, -0.75, label, ha="center", va="bottom", fontsize=9, color="#444444")
    for i, (_, day) in enumerate(days.iterrows()):
        valid = bool(day["valid"])
        ax.text(0.11, i, f"{day['hours']:.0f}", ha="center", va="center", fontsize=10)
        ax.text(0.33, i, f"{day['wear_hours']:.1f}", ha="center", va="center", fontsize=10)
        ax.text(0.58, i, _minutes(day["mvpa_min"]), ha="center", va="center", fontsize=10)
        ax.text(0.87, i, "valid" if valid else "not valid", ha="center", va="center",
                fontsize=9, weight="normal" if valid else "bold",
                color="black" if valid else PROBLEM_COLOUR)
    ax.set_xlim(0, 1.05)
    ax.axis("off")


def _minutes(value) -> str:
    return "–" if pd.isna(value) else f"{value:.0f}"


def _colour_bar(fig, ax, legend_ax, image) -> None:
    bar = fig.colorbar(image, cax=ax, orientation="horizontal")
    bar.set_ticks([1, 3, 10, 30, 100, 300, 1000], labels=["≤1", "3", "10", "30", "100", "300",
                                                          "1000"])
    bar.set_label("ENMO per epoch (mg, log scale)", fontsize=10)
    legend_ax.axis("off")
    legend_ax.legend(handles=[Patch(label="non-wear", **NONWEAR_STYLE),
                              Patch(label="no data (gap)", facecolor="white",
                                    edgecolor="#9a9a9a")],
                     loc="center left", frameon=False, fontsize=10)


def _temperature(ax, epochs: pd.DataFrame, epoch_s: float) -> None:
    if epochs["temperature"].notna().sum() == 0:
        ax.text(0.5, 0.5, "no temperature recorded", ha="center", va="center",
                transform=ax.transAxes, color="#444444")
        ax.set_xticks([])
        ax.set_yticks([])
        return
    # Means over a few minutes; an empty bin (a gap) stays NaN, so the line breaks there.
    ordered = epochs.sort_index()      # a clock set back puts epochs out of order
    means = ordered["temperature"].resample(TEMPERATURE_MEAN).mean()
    ax.plot(means.index, means.to_numpy(), lw=1.0, color="#b35806")
    times = ordered.index.to_numpy()
    step = np.timedelta64(round(epoch_s * 1e6), "us")
    for first, last in _runs(ordered["nonwear"].to_numpy(bool)):
        ax.axvspan(times[first], times[last - 1] + step, **NONWEAR_STYLE)
    ax.set_ylabel("temperature (°C)")
    ax.set_title("Temperature over the recording (device clock; non-wear hatched)", loc="left",
                 fontsize=11)
    ax.grid(axis="y", color="#e0e0e0", linewidth=0.6)
    ax.margins(x=0, y=0.12)
    span_days = (epochs.index.max() - epochs.index.min()).days
    if span_days >= 2:     # a tick a day, named as the rows are; on long recordings fewer
        interval = math.ceil(span_days / 8)
        ax.xaxis.set_major_locator(mdates.DayLocator(interval=interval))
        ax.xaxis.set_major_formatter(mdates.DateFormatter("%a %d %b" if interval == 1 else "%d %b"))
    else:
        locator = mdates.AutoDateLocator(maxticks=12)
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))

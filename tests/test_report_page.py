import datetime
import struct
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")
from kelpmoor_tools.report import draw_page, page  # noqa: E402

EPOCH_S = 60.0


def processed_like(start, days, *, nonwear=(), gaps=(), calibrated=True, timezone=None,
                   device_utc_offset=None):
    """A first-stage result shaped as the activity contract has it, from a scripted day: a
    night at 3 mg and a day at 40 mg with an hour's walk at 250 mg. `nonwear` and `gaps` are
    (hour, hours) pairs counted from `start`."""
    index = pd.date_range(start, periods=int(days * 86400 / EPOCH_S), freq=f"{EPOCH_S:.0f}s",
                          name="time").as_unit("us")
    hour = index.hour + index.minute / 60
    enmo = np.where((hour < 7) | (hour >= 23), 3.0, 40.0)
    enmo[(hour >= 17) & (hour < 18)] = 250.0
    since = (index - index[0]) / pd.Timedelta(hours=1)
    flagged = np.zeros(len(index), bool)
    for at, hours in nonwear:
        flagged |= (since >= at) & (since < at + hours)
    missing = np.zeros(len(index), bool)
    for at, hours in gaps:
        missing |= (since >= at) & (since < at + hours)
    epochs = pd.DataFrame({
        "enmo_mg": np.where(missing, np.nan, enmo), "x": 0.0, "y": 0.0, "z": 1.0,
        "angle_z": 90.0, "temperature": np.where(missing, np.nan, np.where(flagged, 22.0, 33.0)),
        "samples": np.where(missing, 0, 6000).astype(np.int64), "nonwear": flagged}, index=index)
    epochs.loc[missing, ["x", "y", "z", "angle_z"]] = np.nan
    if timezone:
        dates = (index - device_utc_offset).tz_localize("UTC").tz_convert(timezone).date
    else:
        dates = index.date
    worn = epochs["samples"].gt(0) & ~epochs["nonwear"]
    grouped = worn.groupby(dates)
    day_index = pd.Index(sorted(set(dates)), name="date", dtype=object)
    wear = grouped.sum().reindex(day_index) * EPOCH_S / 3600
    days = pd.DataFrame({
        "wear_hours": wear, "valid": wear >= 16,
        "enmo_mg": epochs["enmo_mg"].where(worn).groupby(dates).mean().reindex(day_index),
        "mvpa_min": (epochs["enmo_mg"].where(worn) >= 100).groupby(dates).sum().reindex(day_index)
        * EPOCH_S / 60,
        "m10_mg": np.nan, "m10_start": pd.NaT, "l5_mg": np.nan, "l5_start": pd.NaT,
        "intensity_gradient": np.nan,
        "hours": epochs.groupby(dates).size().reindex(day_index) * EPOCH_S / 3600},
        index=day_index)
    calibration = SimpleNamespace(
        status="calibrated" if calibrated else "not calibrated",
        reason="" if calibrated else "sphere not covered: no still window with x below -0.3 g",
        error_before_mg=42.0, error_after_mg=2.1 if calibrated else np.nan,
        still_windows=310 if calibrated else 4)
    summary = pd.DataFrame([{
        "file": "/data/p01.cwa", "device_id": 41234, "session_id": 7, "start": index[0],
        "days": len(days), "valid_days": int(days["valid"].sum()),
        "calibration_status": calibration.status, "status": "ok"}])
    parameters = {"epoch_s": EPOCH_S, "timezone": timezone and str(timezone),
                  "device_utc_offset": None if device_utc_offset is None
                  else device_utc_offset.total_seconds()}
    return SimpleNamespace(epochs=epochs, days=days, summary=summary, calibration=calibration,
                           provenance={"parameters": parameters})


def timeline_like(gaps=1, jumps=0):
    kinds = ["gap"] * gaps + ["backward_jump"] * jumps + ["non_data"]
    return pd.DataFrame({"kind": kinds, "block": np.arange(len(kinds), dtype=np.int64)})


def png_size(path):
    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


@pytest.mark.parametrize("case,expected_rows", [
    (dict(start="2024-03-04 09:00", days=3), 4),
    (dict(start="2024-03-04 09:00", days=2, nonwear=((5, 3),), gaps=((20, 2),),
          calibrated=False), 3),
    # Spring forward in London: the Sunday is a row of 23 hours.
    (dict(start="2024-03-29 12:00", days=4, timezone="Europe/London",
          device_utc_offset=pd.Timedelta(0)), 5),
    # Autumn back in Berlin, the device set to UTC+1: the Sunday lasts 25 hours.
    (dict(start="2024-10-25 12:00", days=3, timezone="Europe/Berlin",
          device_utc_offset=pd.Timedelta(hours=1)), 4),
])
def test_page_draws_every_kind_of_day(tmp_path, case, expected_rows):
    processed = processed_like(**case)
    assert len(processed.days) == expected_rows
    out = draw_page(processed, timeline_like(), tmp_path / "p01.png")
    assert out == tmp_path / "p01.png"
    assert png_size(out) == page.page_size_px(expected_rows)


@pytest.mark.parametrize("timezone,offset,device_time,expected_day,expected_hours", [
    (None, None, "2024-03-31 01:30", datetime.date(2024, 3, 31), 1.5),
    # 01:30 UTC on the spring-forward Sunday is 02:30 BST: 1.5 h elapsed since midnight.
    ("Europe/London", pd.Timedelta(0), "2024-03-31 01:30", datetime.date(2024, 3, 31), 1.5),
    # The second 02:30 of the autumn Sunday in Berlin is 3.5 h after midnight.
    ("Europe/Berlin", pd.Timedelta(hours=1), "2024-10-27 02:30", datetime.date(2024, 10, 27), 3.5),
    ("Europe/Berlin", pd.Timedelta(hours=1), "2024-10-26 23:30", datetime.date(2024, 10, 27), 0.5),
])
def test_epochs_fall_on_local_days(timezone, offset, device_time, expected_day, expected_hours):
    parameters = {"timezone": timezone,
                  "device_utc_offset": None if offset is None else offset.total_seconds()}
    day, elapsed = page._local_day_and_elapsed(pd.DatetimeIndex([device_time]), parameters)
    assert (day[0], elapsed[0] / 3600) == (expected_day, expected_hours)


@pytest.mark.parametrize("value,hours", [
    (None, 0), (3600, 1), (-5400.0, -1.5), ("+02:00", 2), ("UTC-05:30", -5.5), ("0100", 1),
    ("1:00:00", 1), (datetime.timedelta(hours=-3), -3),
    (datetime.timezone(datetime.timedelta(hours=9)), 9),
])
def test_device_utc_offset_forms(value, hours):
    assert page._utc_offset(value) == pd.Timedelta(hours=hours)


@pytest.mark.parametrize("flags,runs", [
    ([0, 1, 1, 0, 1], [(1, 3), (4, 5)]), ([1, 1], [(0, 2)]), ([0, 0], []), ([], []),
])
def test_nonwear_runs(flags, runs):
    assert page._runs(np.array(flags, bool)) == runs


@pytest.mark.parametrize("stop", [KeyboardInterrupt, OSError])
def test_an_interrupted_page_leaves_the_previous_one(tmp_path, monkeypatch, stop):
    def half_written(self, fname, **kwargs):
        fname.write_bytes(b"half a page")
        raise stop

    out = tmp_path / "p01.png"
    out.write_bytes(b"earlier page")
    monkeypatch.setattr(page.Figure, "savefig", half_written)
    with pytest.raises(stop):
        draw_page(processed_like("2024-03-04 09:00", 1), timeline_like(), out)
    assert [(p.name, p.read_bytes()) for p in tmp_path.iterdir()] == [("p01.png", b"earlier page")]

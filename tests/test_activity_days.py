"""Day outcomes on scripted epochs, where the right answer is known by construction."""
import datetime as dt
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest

from kelpmoor_tools.activity.days import day_table, intensity_gradient


def scripted(start, hours, level_mg, *, epoch_s=5.0, nonwear=()):
    """Epochs from `start` for `hours`, at `level_mg` except where level_mg(times) says otherwise."""
    index = pd.date_range(start, periods=int(hours * 3600 / epoch_s), freq=f"{int(epoch_s)}s", name="time")
    enmo = np.asarray(level_mg(index), dtype=np.float64)
    flags = np.zeros(len(index), dtype=bool)
    for a, b in nonwear:
        flags |= (index >= pd.Timestamp(a)) & (index < pd.Timestamp(b))
    return pd.DataFrame({"enmo_mg": enmo, "samples": np.full(len(index), 500), "nonwear": flags}, index=index)


def quiet_day_with(bouts):
    def level(index):
        out = np.full(len(index), 20.0)
        for a, b, mg in bouts:
            out[(index >= pd.Timestamp(a)) & (index < pd.Timestamp(b))] = mg
        return out
    return level


def test_thirty_minutes_at_150_mg_are_thirty_minutes_of_mvpa():
    epochs = scripted("2024-03-05", 24, quiet_day_with([("2024-03-05 10:00", "2024-03-05 10:30", 150.0)]))
    days = day_table(epochs, 5.0)
    assert days.index.tolist() == [dt.date(2024, 3, 5)] and days.index.name == "date"
    day = days.iloc[0]
    assert day["mvpa_min"] == 30 and day["valid"] and day["wear_hours"] == 24 and day["hours"] == 24
    assert day["enmo_mg"] == pytest.approx((23.5 * 20 + 0.5 * 150) / 24)


def test_m10_and_l5_are_where_the_day_puts_them():
    bouts = [("2024-03-05 08:00", "2024-03-05 18:00", 60.0), ("2024-03-05 01:00", "2024-03-05 06:00", 2.0)]
    day = day_table(scripted("2024-03-05", 24, quiet_day_with(bouts)), 5.0).iloc[0]
    assert (day["m10_mg"], day["m10_start"]) == (pytest.approx(60.0), pd.Timestamp("2024-03-05 08:00"))
    assert (day["l5_mg"], day["l5_start"]) == (pytest.approx(2.0), pd.Timestamp("2024-03-05 01:00"))


def test_non_wear_is_left_out_of_every_outcome():
    # Ten hours off the wrist, recorded as very high values that must not count anywhere.
    epochs = scripted("2024-03-05", 24, quiet_day_with([("2024-03-05 08:00", "2024-03-05 18:00", 500.0)]),
                      nonwear=[("2024-03-05 08:00", "2024-03-05 18:00")])
    day = day_table(epochs, 5.0).iloc[0]
    assert day["wear_hours"] == 14 and not day["valid"]
    assert (day["enmo_mg"], day["mvpa_min"], day["m10_mg"]) == (pytest.approx(20.0), 0, pytest.approx(20.0))


@pytest.mark.parametrize("first_day, hours", [(dt.date(2024, 3, 31), 23.0), (dt.date(2024, 10, 27), 25.0)])
def test_local_days_across_daylight_saving_changes(first_day, hours):
    zone = ZoneInfo("Europe/Amsterdam")
    # The device clock was set to UTC+1 (winter time) and runs for two days from local midnight.
    midnight = dt.datetime.combine(first_day, dt.time(), tzinfo=zone).astimezone(dt.timezone.utc)
    start = pd.Timestamp(midnight.replace(tzinfo=None) + dt.timedelta(hours=1))
    epochs = scripted(start, 48, lambda index: np.full(len(index), 30.0))
    days = day_table(epochs, 5.0, timezone=zone, device_utc_offset=dt.timedelta(hours=1))
    assert days.index[0] == first_day
    assert days["hours"].iloc[0] == hours
    assert days["wear_hours"].iloc[0] == pytest.approx(hours)
    # The device-clock day is 24 hours whatever the zone does.
    assert day_table(epochs, 5.0)["hours"].iloc[1] == 24.0


def test_a_recording_that_starts_mid_day_has_a_shorter_first_day():
    days = day_table(scripted("2024-03-05 15:00", 20, lambda i: np.full(len(i), 30.0)), 5.0)
    assert days["hours"].tolist() == [9.0, 11.0] and not days["valid"].any()


@pytest.mark.parametrize("slope", [-1.0, -2.0, -2.8])
def test_intensity_gradient_is_the_log_log_slope(slope):
    mid = np.arange(0, 10) * 25.0 + 12.5
    epochs = np.round(1e5 * (mid / mid[0]) ** slope * 12)          # 5-s epochs, 12 a minute
    values = np.repeat(mid, epochs.astype(int))
    assert intensity_gradient(values, 5.0) == pytest.approx(slope, abs=1e-3)

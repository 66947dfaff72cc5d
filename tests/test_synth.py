"""The synthetic writer: what it writes reads back as what it says it wrote, faults included."""
import datetime as dt
from pathlib import Path

import numpy as np
import pytest

import kelpmoor
from kelpmoor_tools import _layout, synth

F = synth.Faults
AXES = [f"{s}_{a}" for s in ("gyro", "acc", "mag") for a in "xyz"]


def read(rec: synth.Recording, tmp_path, name="rec.cwa", **kwargs):
    path = str(rec.write(tmp_path / name))
    return path, kelpmoor.read_cwa_file(path, **kwargs)


def truth_matrix(sig: synth.Signals, columns) -> np.ndarray:
    parts = {"gyro": sig.gyro, "acc": sig.acc, "mag": sig.mag}
    return np.column_stack([parts[c[:-2]][:, "xyz".index(c[-1])] for c in columns])


@pytest.mark.parametrize("settings,acc_step,gyro_step", [
    (dict(), 1 / 256, None),
    (dict(axes=3, packed=False, accel_range_g=16), 1 / 2048, None),
    (dict(axes=3, packed=False, accel_range_g=2, rate_hz=25), 1 / 16384, None),
    (dict(axes=6, rate_hz=50, gyro_range_dps=500), 1 / 4096, 500 / 32768),
    (dict(axes=9, rate_hz=12.5, accel_range_g=4), 1 / 8192, 2000 / 32768),
    (dict(rate_hz=800, duration_s=60), 1 / 256, None),
])
def test_values_and_times_read_back_within_quantisation(tmp_path, settings, acc_step, gyro_step):
    rec = synth.Recording(**{"duration_s": 900, "seed": 5, **settings})
    _, df = read(rec, tmp_path)
    sig = rec.signals()
    assert len(df) == rec.samples == len(sig.time_s)

    acc = df[["acc_x", "acc_y", "acc_z"]].to_numpy()
    # Packed samples beyond 2 g take a coarser exponent step.
    wide = np.abs(sig.acc).max(axis=1, keepdims=True) > 511 / 256
    limit = np.where(wide & (settings.get("packed", True) and rec.axes == 3), 4 / 256, acc_step / 2) * 1.0001
    assert np.all(np.abs(acc - sig.acc) <= limit)
    if gyro_step is None:
        assert "gyro_x" not in df
    else:
        gyro = df[["gyro_x", "gyro_y", "gyro_z"]].to_numpy()
        assert np.abs(gyro - sig.gyro).max() <= gyro_step / 2 * 1.0001
    if rec.axes == 9:
        assert np.abs(df[["mag_x", "mag_y", "mag_z"]].to_numpy() - sig.mag).max() <= 0.5 / 32768 * 1.0001
    assert np.abs(df["temperature"].to_numpy() - sig.temperature).max() <= 75 / 256 / 2 * 1.0001
    assert np.abs(df["battery"].to_numpy() - sig.battery).max() <= 6 / 1024 / 2 * 1.0001
    assert np.allclose(df["light"].to_numpy(), sig.light, rtol=1e-6)

    # Block clock readings are rounded to a sample tick; the reader joins blocks, so each
    # timestamp stays within a sample period of when the sample was taken.
    times = df.index.asi8 / 1e6
    assert np.abs(times - sig.time_s).max() <= 0.6 / rec.rate_hz + 2e-6
    # The acceleration looks like a worn wrist: gravity plus movement.
    assert 0.9 < np.linalg.norm(acc, axis=1).mean() < 1.2


@pytest.mark.parametrize("settings,expected", [
    (dict(), dict(hardware_type="AX3", device_id=10000, upper_device_id=0xFFFF, gyro_range=None,
                  magnetometer_enabled=False, accel_range=8, sample_rate_hz=100.0)),
    (dict(axes=6, device_id=132306, accel_range_g=16, gyro_range_dps=250, rate_hz=200),
     dict(hardware_type="AX6", device_id=132306, upper_device_id=2, gyro_range=250,
          magnetometer_enabled=False, accel_range=16, sample_rate_hz=200.0)),
    (dict(axes=9, accel_range_g=2, session_id=77, annotation="ünï"),
     dict(hardware_type="AX6", gyro_range=2000, magnetometer_enabled=True, accel_range=2,
          session_id=77, annotation="ünï")),
])
def test_metadata_describes_the_recording(tmp_path, settings, expected):
    rec = synth.Recording(duration_s=120, start=dt.datetime(2031, 12, 31, 23, 59, 30, 250000), **settings)
    meta = kelpmoor.read_metadata(str(rec.write(tmp_path / "m.cwa")))
    assert {k: meta[k] for k in expected} == expected
    assert meta["start_from_data_raw"] == "2031-12-31T23:59:30.250"
    assert meta["logging_start_time_raw"] == "2031-12-31T23:59:30"


def test_same_seed_same_bytes_other_seed_other_motion(tmp_path):
    rec = synth.Recording(duration_s=300, axes=6, seed=11)
    a = rec.write(tmp_path / "a.cwa").read_bytes()
    b = synth.write_recording(tmp_path / "b.cwa", duration_s=300, axes=6, seed=11).read_bytes()
    c = synth.write_recording(tmp_path / "c.cwa", duration_s=300, axes=6, seed=12).read_bytes()
    assert a == b
    assert a != c and len(a) == len(c) == rec.size
    # Every block carries the checksum that makes its words sum to zero.
    words = np.frombuffer(a[1024:], dtype="<u2").reshape(-1, 256)
    assert not np.any(words.sum(axis=1, dtype=np.uint64) % 65536)


def test_a_long_recording_is_chunked_without_seams(tmp_path):
    # More blocks than one chunk: the chunk boundaries must not show in clock or values.
    rec = synth.Recording(duration_s=synth.BLOCKS_PER_CHUNK * 1.2 * 1.5, seed=2)
    _, df = read(rec, tmp_path, include_light=False)
    step = np.diff(df.index.asi8)
    assert 9000 < step.min() and step.max() < 11000
    assert np.abs(df["acc_x"].to_numpy() - rec.signals().acc[:, 0]).max() <= 0.5 / 256 * 1.0001


@pytest.mark.parametrize("kind,at_s,length", [("gaps", 100, 30), ("gaps", 250, 1.5), ("backward_jumps", 100, 5)])
def test_clock_faults_show_in_the_timestamps(tmp_path, kind, at_s, length):
    rec = synth.Recording(duration_s=400, faults=F(**{kind: ((at_s, length),)}))
    plain = synth.Recording(duration_s=400)
    _, df = read(rec, tmp_path)
    assert len(df) == plain.samples
    step = np.diff(df.index.asi8) / 1e6
    where = np.argmax(np.abs(step - 0.01))
    # The fault sits at the first block that starts at or after at_s of data.
    assert abs(where / 100 - at_s) < 1.3
    if kind == "gaps":
        assert step[where] == pytest.approx(length + 0.01, abs=0.011)
    else:
        # The block after the jump keeps its own clock reading, so the index steps back once.
        assert step.min() < 0 and df.index.asi8[-1] / 1e6 == pytest.approx(
            plain.signals().time_s[-1] - length, abs=0.011)


def test_jitter_moves_clock_readings_only(tmp_path):
    plain = np.frombuffer(synth.Recording(duration_s=300).write(tmp_path / "p.cwa").read_bytes()[1024:],
                          dtype=_layout.DATA_DTYPE)
    rec = synth.Recording(duration_s=300, faults=F(jitter_s=0.02))
    path, df = read(rec, tmp_path)
    jittered = np.frombuffer(Path(path).read_bytes()[1024:], dtype=_layout.DATA_DTYPE)
    assert np.array_equal(plain["samples"], jittered["samples"])
    moved = (plain["timestamp_offset"] != jittered["timestamp_offset"]) | (plain["timestamp"] != jittered["timestamp"])
    assert moved.mean() > 0.5
    step = np.diff(df.index.asi8)
    assert step.min() < 9900 or step.max() > 10100
    assert np.abs(df.index.asi8 / 1e6 - rec.signals().time_s).max() < 0.2


@pytest.mark.parametrize("damage,message", [
    ("timestamp", "Invalid block timestamp"),
    ("format", "Unsupported sample format: 3 axes, packing 1"),
    ("count", "Sample count exceeds packet capacity"),
    ("rate", "Old CWA format packets are not supported"),
])
def test_damaged_block_is_refused_and_only_it(tmp_path, damage, message):
    rec = synth.Recording(duration_s=120, faults=F(damaged_blocks=(50,), damage=damage))
    path = str(rec.write(tmp_path / "d.cwa"))
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        kelpmoor.read_cwa_file(path)
    before = kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(0, 50))
    assert len(before) == 50 * 120


def test_non_data_sectors_are_stepped_over(tmp_path):
    faults = F(non_data_sectors=((0, "erased"), (7, "zeros"), (7, "empty"), (10**6, "zeros")))
    rec = synth.Recording(duration_s=120, faults=faults)
    path, df = read(rec, tmp_path)
    _, plain = read(synth.Recording(duration_s=120), tmp_path, "plain.cwa")
    assert rec.size == plain_size(tmp_path / "plain.cwa") + 4 * 512
    assert (tmp_path / "rec.cwa").stat().st_size == rec.size
    assert df.equals(plain)
    sectors = Path(path).read_bytes()[1024:]
    assert sectors[:512] == b"\xff" * 512 and sectors[-512:] == bytes(512)
    assert sectors[8 * 512:9 * 512] == bytes(512) and sectors[9 * 512:9 * 512 + 2] == b"AX"


def plain_size(path):
    return path.stat().st_size


@pytest.mark.parametrize("axes,packed", [(6, None), (3, False), (9, False)])
def test_format_change_part_way(tmp_path, axes, packed):
    rec = synth.Recording(duration_s=240, faults=F(format_change=(100, axes, packed)))
    _, df = read(rec, tmp_path)
    head = 120 * 84                         # the first whole packed block at or after 100 s
    assert len(df) == rec.samples
    if axes >= 6:
        assert df["gyro_x"].iloc[:head].isna().all() and df["gyro_x"].iloc[head:].notna().all()
    assert np.abs(df.index.asi8 / 1e6 - rec.signals().time_s).max() <= 0.006
    assert np.abs(df["acc_z"].to_numpy() - rec.signals().acc[:, 2]).max() <= 0.5 / 256 * 1.0001


@pytest.mark.parametrize("settings", [
    dict(rate_hz=60), dict(axes=6, packed=True), dict(axes=4), dict(accel_range_g=3), dict(gyro_range_dps=4000),
    dict(duration_s=0.5), dict(start=dt.datetime(1999, 12, 31, 23)), dict(device_id=0xFFFF0000),
    dict(faults=dict(damage="bits")), dict(faults=dict(gaps=((10, 0),))), dict(faults=dict(damaged_blocks=(10**6,))),
])
def test_impossible_settings_are_refused(tmp_path, settings):
    with pytest.raises(ValueError):
        if "faults" in settings:
            settings = {"faults": F(**settings["faults"])}
        synth.Recording(**settings).write(tmp_path / "x.cwa")
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("when", [
    dt.datetime(2000, 1, 1), dt.datetime(2024, 2, 29, 23, 59, 59), dt.datetime(2023, 12, 31, 12, 0, 1),
    dt.datetime(2063, 12, 31, 23, 59, 59),
])
def test_packed_times_agree_with_the_scalar_packing(when):
    epoch = int((when - dt.datetime(1970, 1, 1)).total_seconds())
    raw = int(_layout.packed_times([epoch])[0])
    assert raw == _layout.packed_time(when.year, when.month, when.day, when.hour, when.minute, when.second)
    assert _layout.epoch_of_packed(raw) == epoch


def test_packed_words_take_the_exponent_large_values_need(make_cwa):
    g = np.array([[0.5, 1.99, 2.0, -2.0, 3.7, -7.9, 13.9, -16.5],
                  [-0.25, 0.0, 0.1, -1.0, 0.01, 1.0, -4.0, 0.0],
                  [1.0, -1.9, 0.0, 2.5, -0.7, 0.3, 0.0, 20.0]], dtype=np.float32)
    words = _layout.pack3_scaled(g * 256)
    df = kelpmoor.read_cwa_file(make_cwa([dict(samples=words.tobytes())]))
    got = df[["acc_x", "acc_y", "acc_z"]].to_numpy().T
    # The exponent is the smallest that holds the sample's largest value; its step sets the error.
    exponent = words >> 30
    assert exponent.tolist() == [0, 0, 1, 1, 1, 2, 3, 3]
    step = (1 << exponent) / 256
    assert np.all(np.abs(got - np.clip(g, -16, 511 / 32)) <= step / 2 * 1.0001)


# ---------------------------------------------------------------------------- the wearer

S = synth.Segment
DAY = [S("wear", 300), S("activity", 240, enmo_mg=120), S("sleep", 600), S("nonwear", 3000), S("wear", 900)]
ERROR = synth.SensorError(offset_g=(0.03, -0.05, 0.02), scale=(1.02, 0.97, 1.01),
                          temperature_g_per_c=(0.002, -0.001, 0.0), reference_c=25.0)


def segment_kind_at(segments, seconds):
    ends = np.cumsum([s.duration_s for s in segments])
    return np.array([s.kind for s in segments], dtype=object)[np.minimum(np.searchsorted(ends, seconds, "right"),
                                                                           len(segments) - 1)]


@pytest.mark.parametrize("settings", [
    dict(), dict(rate_hz=12.5, axes=9), dict(faults=F(gaps=((400, 100),))), dict(start=dt.datetime(2024, 5, 1, 7)),
])
def test_labels_follow_the_segments_sample_by_sample(settings):
    rec = synth.Recording(duration_s=6000, segments=DAY, **settings)
    sig = rec.signals()
    # Segments run in real time from the first sample, through gaps, and the last one lasts.
    assert np.array_equal(sig.label, segment_kind_at(DAY, sig.time_s - rec.start_epoch_s))
    assert set(sig.label) == {"wear", "sleep", "activity", "nonwear"}


@pytest.mark.parametrize("enmo_mg", [10, 75, 250, 600])
def test_activity_bout_has_the_asked_enmo(enmo_mg):
    rec = synth.Recording(duration_s=900, segments=[S("wear", 300), S("activity", 600, enmo_mg=enmo_mg)], seed=enmo_mg)
    sig = rec.signals()
    bout = sig.acc[sig.label == "activity"]
    enmo = 1000 * np.maximum(np.linalg.norm(bout, axis=1) - 1, 0).mean()
    assert enmo == pytest.approx(enmo_mg, rel=0.03)


@pytest.mark.parametrize("seed", [0, 1])
def test_off_the_wrist_the_device_lies_still_and_cools(tmp_path, seed):
    rec = synth.Recording(duration_s=8400, rate_hz=25, segments=[S("wear", 1200), S("nonwear", 6000), S("wear", 1200)],
                          seed=seed)
    _, df = read(rec, tmp_path)
    label = rec.signals().label
    table = df[["acc_x", "acc_y", "acc_z"]].to_numpy()[label == "nonwear"]
    # Sensor noise only: every axis as still as a non-wear test asks, on every hour.
    for hour in np.array_split(table, 6000 // 3600 + 1):
        assert np.all(hour.std(axis=0) < 0.006) and np.all(np.ptp(hour, axis=0) < 0.05)
    assert np.abs(np.linalg.norm(table.mean(axis=0)) - 1) < 0.01
    temperature = df["temperature"].to_numpy()
    worn, off = temperature[label == "wear"], temperature[label == "nonwear"]
    at = lambda seconds: off[int(seconds * 25)]
    # Exponential cooling from the skin's warmth toward the room's with a time constant near 25 min.
    assert 32 <= worn[0] <= 34 and 20.5 <= off[-1] <= 22
    assert (at(0) - at(1500)) / (at(0) - off[-1]) == pytest.approx(1 - np.exp(-1), abs=0.05)
    assert temperature[-1] > 30


@pytest.mark.parametrize("settings", [dict(), dict(axes=6, rate_hz=50), dict(axes=3, packed=False, accel_range_g=4)])
def test_sensor_error_is_what_the_file_reads(tmp_path, settings):
    rec = synth.Recording(duration_s=3600, segments=DAY, sensor_error=ERROR, **settings)
    _, df = read(rec, tmp_path)
    sig = rec.signals()
    step = 1 / 256 if rec._packed else 1 / (32768 // rec.accel_range_g)
    got = df[["acc_x", "acc_y", "acc_z"]].to_numpy()
    assert np.abs(got - sig.measured_acc).max() <= step / 2 * 1.0001
    # The error follows the temperature a reader finds in the blocks, applied to the truth.
    drift = (df["temperature"].to_numpy() - ERROR.reference_c)[:, None]
    expected = sig.acc * ERROR.scale + ERROR.offset_g + np.array(ERROR.temperature_g_per_c) * drift
    assert np.abs(got - expected).max() <= step / 2 + 1e-5


def test_an_error_free_sensor_and_no_segments_change_nothing(tmp_path):
    plain = synth.Recording(duration_s=300, axes=6, seed=4)
    same = synth.Recording(duration_s=300, axes=6, seed=4, sensor_error=synth.SensorError())
    assert plain.write(tmp_path / "a.cwa").read_bytes() == same.write(tmp_path / "b.cwa").read_bytes()
    assert set(plain.signals().label) == {"wear"}


def test_a_day_holds_still_postures_all_round_and_no_hour_still_in_bed():
    rec = synth.Recording(duration_s=2 * 86400, rate_hz=12.5, segments=synth.day_schedule(2, seed=5), seed=5)
    sig = rec.signals()
    windows = sig.acc[:len(sig.acc) // 125 * 125].reshape(-1, 125, 3)
    still = windows[np.all(windows.std(axis=1) < 0.013, axis=1)].mean(axis=1)
    # Enough still orientations for an auto-calibration: both ways on every axis.
    assert np.all(still.max(axis=0) > 0.3) and np.all(still.min(axis=0) < -0.3)
    hours = sig.acc[:len(sig.acc) // 45000 * 45000].reshape(-1, 45000, 3)
    asleep = np.all(sig.label[:hours.shape[0] * 45000].reshape(-1, 45000) == "sleep", axis=1)
    quiet = np.sum((hours.std(axis=1) < 0.013) & (np.ptp(hours, axis=1) < 0.05), axis=1) >= 2
    assert asleep.sum() >= 10 and (quiet & asleep).sum() <= 1


def test_day_schedule_puts_nights_bouts_and_non_wear_on_the_clock():
    start = dt.datetime(2024, 3, 4, 9)
    segments = synth.day_schedule(3, start=start, nonwear=((1, 14, 2),), activity=((0, 18, 0.5, 200),), seed=2)
    assert sum(s.duration_s for s in segments) == 3 * 86400
    clock = lambda seconds: start + dt.timedelta(seconds=float(seconds))
    begins = np.concatenate([[0], np.cumsum([s.duration_s for s in segments])[:-1]])
    found = [(s.kind, clock(b), s.enmo_mg) for s, b in zip(segments, begins)]
    assert ("nonwear", dt.datetime(2024, 3, 5, 14), None) in found
    assert ("activity", dt.datetime(2024, 3, 4, 18), 200.0) in found
    nights = [when for kind, when, _ in found if kind == "sleep"]
    assert len(nights) == 3 and all(when.hour in (22, 23) or when == start for when in nights)


@pytest.mark.parametrize("args", [
    ("run", 60), ("wear", 0), ("activity", 60), ("activity", 60, 700), ("sleep", 60, 50), ("wear", float("nan")),
])
def test_impossible_segments_are_refused(args):
    with pytest.raises(ValueError):
        synth.Segment(*args)

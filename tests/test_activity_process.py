"""The whole first stage on synthetic recordings: awkward ones get outcomes and a status that
says what limited them, and a cohort on a cluster equals the same cohort run serially."""
import json
import re

import numpy as np
import pandas as pd
import pytest

import kelpmoor
from kelpmoor_tools import _layout, _window_sums, activity, cohort, synth
from kelpmoor_tools.activity import _stream
from kelpmoor_tools.activity.process import SUMMARY_COLUMNS

AWKWARD = {
    "short": dict(duration_s=3600),
    "gap": dict(duration_s=4 * 3600, rate_hz=25, faults=synth.Faults(gaps=((3600, 5400),))),
    "set_back": dict(duration_s=3 * 3600, rate_hz=25, faults=synth.Faults(backward_jumps=((3600, 600),))),
    "six_axes": dict(duration_s=2 * 3600, rate_hz=50, axes=6),
    "nine_axes": dict(duration_s=2 * 3600, rate_hz=25, axes=9),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("activity")
    out = {name: str(synth.write_recording(folder / f"{name}.cwa", seed=i, **settings))
           for i, (name, settings) in enumerate(AWKWARD.items())}
    damaged = synth.Recording(duration_s=1800, seed=9, faults=synth.Faults(damaged_blocks=(400,)))
    out["damaged"] = str(damaged.write(folder / "damaged.cwa"))
    return out


@pytest.mark.parametrize("name, expected", [
    ("short", ["not calibrated (", "shorter than a day (1.0 h)", "no valid day"]),
    ("gap", ["gaps: 1.50 h without samples"]),
    ("set_back", ["clock set back 1 time: some epochs repeat earlier clock times"]),
    ("six_axes", ["shorter than a day (2.0 h)"]),
    ("nine_axes", ["shorter than a day (2.0 h)"]),
])
def test_awkward_recordings_get_outcomes_and_say_what_limited_them(files, name, expected):
    out = activity.process(files[name])
    assert out.summary.columns.tolist() == SUMMARY_COLUMNS and len(out.summary) == 1
    status = out.summary["status"].iloc[0]
    for text in expected:
        assert text in status
    epochs = out.epochs
    gap = epochs["samples"] == 0
    assert epochs.loc[~gap, ["enmo_mg", "x", "y", "z", "temperature"]].notna().all().all()
    assert epochs.loc[gap, ["enmo_mg", "x", "y", "z"]].isna().all().all() and not epochs.loc[gap, "nonwear"].any()
    assert epochs["samples"].sum() == synth.Recording(**AWKWARD[name]).samples
    assert out.days["wear_hours"].sum() == pytest.approx(out.summary["wear_hours"].iloc[0])
    json.dumps(out.provenance)


def test_the_gap_is_epochs_without_samples_on_the_clock(files):
    epochs = activity.process(files["gap"]).epochs
    step = np.diff(epochs.index.asi8)
    assert (step == 5_000_000).all()
    assert (epochs["samples"] == 0).sum() == pytest.approx(5400 / 5, abs=2)


def test_an_unreadable_file_raises_the_module_error(files):
    with pytest.raises(RuntimeError, match="^Invalid block timestamp$"):
        activity.process(files["damaged"])


@pytest.mark.parametrize("name", ["gap", "set_back", "six_axes", "nine_axes"])
@pytest.mark.parametrize("width_us", [5_000_000, 10_000_000, 3_600_000_000])   # an hour: runs beyond a batch
def test_recording_sums_equal_the_sums_of_the_module_read_bit_for_bit(files, name, width_us):
    frame = kelpmoor.read_cwa_file(files[name], include_light=False, include_battery=False)
    whole = _stream.Chunk(frame.index.asi8, *(frame[c].to_numpy() for c in ("acc_x", "acc_y", "acc_z", "temperature")))
    calibration = activity.Calibration("calibrated", "", 0.0, 0.0, 0, (0.03, -0.04, 0.01), (1.02, 0.98, 0.99),
                                       (0.002, 0.0, -0.001), 25.0)
    want = _stream.window_stats(whole, width_us, calibration, enmo=True, extremes=True)
    got, first_us = _stream.recording_stats(files[name], width_us, calibration, enmo=True, extremes=True)
    assert first_us == whole.time_us[0]
    assert got.keys() == want.keys()
    for key in want:
        assert got[key].tobytes() == want[key].tobytes(), key


@pytest.mark.parametrize("name", sorted(AWKWARD))
def test_the_header_and_start_are_those_the_module_reports(files, name):
    meta = kelpmoor.read_metadata(files[name])
    assert _stream.recording_header(files[name]) == (meta["device_id"], meta["session_id"], meta["sample_rate_hz"])
    start = activity.process(files[name]).summary["start"].iloc[0]
    assert start == pd.Timestamp(meta["start_from_data_raw"])


@pytest.mark.parametrize("content", [None, b"", b"not a recording" * 100])
def test_recording_sums_fail_as_the_module_read_fails(files, tmp_path, content):
    path = files["damaged"] if content is None else str(tmp_path / "bad.cwa")
    if content is not None:
        (tmp_path / "bad.cwa").write_bytes(content)
    with pytest.raises(Exception) as expected:
        kelpmoor.read_cwa_file(path)
    with pytest.raises(type(expected.value), match=f"^{re.escape(str(expected.value))}$"):
        _stream.recording_stats(path, 5_000_000)


@pytest.mark.parametrize("args, error, message", [
    ((b"x.cwa", 5_000_000, None, True), TypeError, "must be str"),
    (("x\0.cwa", 5_000_000, None, True), ValueError, "embedded null"),
    (("x.cwa", 0, None, True), ValueError, "^width_us must be positive$"),
    (("x.cwa", 5_000_000, ((0, 0, 0),), True), TypeError, "correction must be"),
])
def test_malformed_walks_are_refused_before_any_file_is_opened(args, error, message):
    with pytest.raises(error, match=message):
        _window_sums.recording_sums(*args)


def test_a_header_without_data_blocks_has_no_sample(tmp_path):
    path = tmp_path / "header.cwa"
    path.write_bytes(_layout.metadata_block())
    stats, first_us = _stream.recording_stats(str(path), 5_000_000)
    assert first_us is None and all(len(v) == 0 for v in stats.values())
    with pytest.raises(RuntimeError, match=f"^{_layout.NO_DATA}$"):
        activity.process(path)


def test_cohort_on_two_workers_equals_the_serial_cohort(files):
    pytest.importorskip("dask.distributed")
    paths = [files["short"], files["damaged"], files["six_axes"]]
    serial = cohort.summarise_serially(paths, func=activity.day_summary)
    from dask.distributed import Client, LocalCluster
    # A dashboard on a free port: another cluster on this machine may hold the default one.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        clustered = cohort.summarise(paths, func=activity.day_summary, client=client)
    pd.testing.assert_frame_equal(clustered.summary, serial.summary)
    pd.testing.assert_frame_equal(clustered.failures, serial.failures)
    assert serial.failures["recording"].tolist() == [files["damaged"]]
    assert serial.summary.index.names == ["recording", "date"]
    assert set(serial.summary.index.get_level_values(0)) == {files["short"], files["six_axes"]}
    assert (serial.summary["status"] != "").all()


@pytest.mark.parametrize("size", [0, 1, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 << 20])
def test_the_input_digest_covers_every_byte_across_read_borders(tmp_path, size):
    import hashlib
    from kelpmoor_tools.activity.process import input_provenance
    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8).tobytes()
    (tmp_path / "f.cwa").write_bytes(data)
    assert input_provenance(str(tmp_path / "f.cwa")) == {"name": "f.cwa", "size": size, "sha256": hashlib.sha256(data).hexdigest()}

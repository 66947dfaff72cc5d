"""Cohort summaries: the hourly values against the module's own read, and the cluster against
the same summary computed serially."""
import _thread
import multiprocessing.resource_tracker
import os
import re
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from processes import descendants

import kelpmoor
from kelpmoor_tools import cohort, synth

pytest.importorskip("dask.distributed")


def direct_hourly(path: str) -> pd.DataFrame:
    """The hourly summary straight from read_cwa_file's whole frame with pandas."""
    df = kelpmoor.read_cwa_file(path)
    x, y, z = (df[c].to_numpy(dtype=np.float64) for c in ("acc_x", "acc_y", "acc_z"))
    frame = pd.DataFrame({"enmo_mg": np.maximum(np.sqrt(x * x + y * y + z * z) - 1.0, 0.0) * 1000.0,
                          "temperature_c": df["temperature"].to_numpy(dtype=np.float64)}, index=df.index)
    grouped = frame.groupby(df.index.floor("h"))
    out = grouped.mean()
    out.insert(0, "samples", grouped.size().astype(np.int64))
    return out


@pytest.fixture(scope="module")
def cohort_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cohort")
    synth.write_recording(folder / "p01.cwa", duration_s=5400, seed=1)
    synth.write_recording(folder / "p02.cwa", duration_s=3000, axes=6, rate_hz=50, seed=2,
                          start=synth.DEFAULT_START.replace(minute=40))
    synth.Recording(duration_s=1800, seed=3, faults=synth.Faults(damaged_blocks=(400,))).write(folder / "p03.cwa")
    synth.Recording(duration_s=4000, seed=4, faults=synth.Faults(
        gaps=((1000, 1900),), backward_jumps=((3000, 20),), non_data_sectors=((0, "erased"),))).write(folder / "p04.cwa")
    return folder


@pytest.mark.parametrize("day_s", [cohort.DAY_S, 1000, 97])
def test_hourly_summary_matches_pandas_on_the_whole_frame(cohort_files, monkeypatch, day_s):
    # Shorter "days" split each hour over several reads: the sums must add up to the whole.
    monkeypatch.setattr(cohort, "DAY_S", day_s)
    for name in ("p01.cwa", "p02.cwa", "p04.cwa"):
        path = str(cohort_files / name)
        got = cohort.hourly_summary(path)
        expected = direct_hourly(path)
        assert got.index.equals(expected.index) and got.index.name == "hour"
        assert got["samples"].tolist() == expected["samples"].tolist()
        rate = kelpmoor.read_metadata(path)["sample_rate_hz"]
        np.testing.assert_array_equal(got["hours_covered"], expected["samples"] / (rate * 3600.0))
        # Both are means of the same float64 values, summed in different orders: a few ulps.
        np.testing.assert_allclose(got["enmo_mg"], expected["enmo_mg"], rtol=1e-12)
        np.testing.assert_allclose(got["temperature_c"], expected["temperature_c"], rtol=1e-12)


def test_summary_describes_the_recordings(cohort_files):
    s = cohort.hourly_summary(str(cohort_files / "p01.cwa"))
    # 09:00:00.37 for 1.5 h: a full hour, then half of the next.
    assert s.index.strftime("%H").tolist() == ["09", "10"]
    assert s["hours_covered"].iloc[0] == pytest.approx(1.0, abs=1e-3)
    assert s["hours_covered"].iloc[1] == pytest.approx(0.5, abs=1e-3)
    assert (s["enmo_mg"] > 0).all() and (s["temperature_c"].between(25, 35)).all()


def test_cluster_of_two_processes_equals_the_serial_summary(cohort_files):
    pattern = str(cohort_files / "p0*.cwa")
    paths = [pattern, str(cohort_files / "missing.cwa")]
    serial = cohort.summarise_serially(paths)
    result = cohort.summarise(paths, n_workers=2, threads_per_worker=1, processes=True)
    pd.testing.assert_frame_equal(result.summary, serial.summary, check_exact=True)
    pd.testing.assert_frame_equal(result.failures, serial.failures)
    recordings = [str(cohort_files / f"p0{i}.cwa") for i in (1, 2, 4)]
    assert result.summary.index.get_level_values("recording").unique().tolist() == recordings
    assert result.failures["recording"].tolist() == [str(cohort_files / "p03.cwa"), str(cohort_files / "missing.cwa")]
    assert result.failures["error"].tolist() == [
        "RuntimeError: Invalid block timestamp",
        "RuntimeError: IO error: No such file or directory (os error 2)"]
    for path in recordings:
        pd.testing.assert_frame_equal(result.summary.loc[path], cohort.hourly_summary(path), check_exact=True)


def test_own_function_per_recording(cohort_files):
    def peak(path):
        df = kelpmoor.read_cwa_file(path, include_light=False)
        return pd.DataFrame({"peak_g": [float(df["acc_x"].abs().max())]}, index=pd.Index(["all"], name="span"))

    result = cohort.summarise_serially(cohort.expand_paths(str(cohort_files / "p0[13].cwa")), peak)
    assert result.summary.index.names == ["recording", "span"]
    assert len(result.summary) == 1 and len(result.failures) == 1


@pytest.mark.parametrize("paths", ["{folder}/q*.cwa", ["{folder}/p01.cwa", "{folder}/none-[0-9].cwa"]])
def test_a_pattern_that_matches_nothing_is_an_error(cohort_files, paths):
    paths = paths.format(folder=cohort_files) if isinstance(paths, str) else [p.format(folder=cohort_files) for p in paths]
    pattern = paths if isinstance(paths, str) else paths[1]
    for call in (cohort.expand_paths, cohort.summarise_serially):
        with pytest.raises(ValueError, match=re.escape(f"no file matches the pattern '{pattern}'")):
            call(paths)


@pytest.mark.skipif(not Path("/proc/self/task").exists(), reason="lists processes through /proc")
def test_keyboard_interrupt_leaves_no_worker_behind(cohort_files, tmp_path):
    multiprocessing.resource_tracker.ensure_running()      # this process's own, not the cluster's
    before = descendants(os.getpid())
    started = tmp_path / "started"

    def stuck(path):
        started.touch()
        time.sleep(60)

    def interrupt_once_running():
        deadline = time.monotonic() + 60
        while not started.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        _thread.interrupt_main()

    threading.Thread(target=interrupt_once_running, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        cohort.summarise(str(cohort_files / "p0*.cwa"), stuck, n_workers=2)
    assert started.exists()
    deadline = time.monotonic() + 10
    while descendants(os.getpid()) - before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not descendants(os.getpid()) - before

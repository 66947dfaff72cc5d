"""`kelpmoor process` end to end: per-recording files, the batch's summary and index, salvage,
and the same batch on a Dask scheduler."""
import datetime as dt
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("matplotlib")

from kelpmoor_tools import cli, synth, timeline  # noqa: E402
from kelpmoor_tools._process_task import read_provenance  # noqa: E402
from kelpmoor_tools.activity import process  # noqa: E402
from kelpmoor_tools.report.page import page_size_px  # noqa: E402

START = dt.datetime(2024, 3, 4, 22, 0)
OPTIONS = ["--epoch-s", "10", "--min-wear-hours", "10", "--timezone", "Europe/London",
           "--device-utc-offset", "+01:00", "--min-valid-days", "2"]
PARAMETERS = dict(epoch_s=10.0, min_wear_hours=10.0, timezone=ZoneInfo("Europe/London"),
                  device_utc_offset=dt.timezone(dt.timedelta(hours=1)))
GOOD = ("p01", "p02")


def run(*args):
    return subprocess.run([sys.executable, "-m", "kelpmoor_tools.cli", "process", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def cohort(tmp_path_factory):
    folder = tmp_path_factory.mktemp("returned")
    faults = {"p01": synth.Faults(), "p02": synth.Faults(gaps=((3 * 3600, 600),)),
              "damaged": synth.Faults(damaged_blocks=(40,))}
    return {name: str(synth.Recording(duration_s=26 * 3600, rate_hz=25, start=START, seed=seed, faults=fault,
                                      segments=synth.day_schedule(2, start=START, seed=seed)
                                      ).write(folder / f"{name}.cwa"))
            for seed, (name, fault) in enumerate(faults.items())}


@pytest.fixture(scope="module")
def local_run(cohort, tmp_path_factory):
    out = tmp_path_factory.mktemp("study")
    result = run(*cohort.values(), "--out", out, "--jobs", "2", *OPTIONS)
    return out, result


@pytest.fixture(scope="module")
def expected(cohort):
    return {name: process(cohort[name], **PARAMETERS) for name in GOOD}


def test_failure_is_listed_and_the_batch_goes_on(local_run, cohort):
    out, result = local_run
    assert result.returncode == 1
    assert [line for line in result.stderr.splitlines() if "FAILED" in line] == [
        f"kelpmoor process: FAILED {cohort['damaged']}: RuntimeError: Invalid block timestamp"]
    assert "2 of 3 recordings processed, 1 failed" in result.stderr.splitlines()[-1]
    assert sorted(p.name for p in out.iterdir()) == sorted(
        [f"{n}{s}" for n in GOOD for s in (".days.csv", ".epochs.parquet", ".png")] + ["index.html", "summary.csv"])
    index = (out / "index.html").read_text()
    assert 'href="p01.png"' in index and "1 valid days of 2 needed" in index
    assert "failed: RuntimeError: Invalid block timestamp" in index


@pytest.mark.parametrize("name", GOOD)
def test_recording_files_are_the_first_stage_results(local_run, expected, name):
    out, _ = local_run
    want = expected[name]
    pd.testing.assert_frame_equal(pd.read_parquet(out / f"{name}.epochs.parquet"), want.epochs)
    assert read_provenance(out / f"{name}.epochs.parquet") == want.provenance
    assert (out / f"{name}.days.csv").read_text() == want.days.to_csv()
    assert struct.unpack(">II", (out / f"{name}.png").read_bytes()[16:24]) == page_size_px(len(want.days))


def test_summary_is_the_api_summaries_with_timeline_counts(local_run, expected, cohort):
    out, _ = local_run
    summary = pd.read_csv(out / "summary.csv", parse_dates=["start"])
    want = pd.concat([expected[name].summary for name in GOOD], ignore_index=True)
    kinds = [timeline(cohort[name])["kind"] for name in GOOD]
    want["gaps"] = [(k == "gap").sum() for k in kinds]
    want["clock_jumps"] = [(k == "backward_jump").sum() for k in kinds]
    pd.testing.assert_frame_equal(summary.iloc[:2, :-1], want, check_dtype=False, check_exact=True)
    assert summary["gaps"].tolist()[:2] == [0, 1]      # the gap written into p02 is counted
    assert summary.iloc[2].dropna().to_dict() == {"file": "damaged.cwa", "error": "RuntimeError: Invalid block timestamp"}
    # Counts stay whole numbers beside a failed recording's empty cells.
    assert (out / "summary.csv").read_text().splitlines()[1].split(",")[1] == "10000"


def test_salvage_processes_the_damaged_recording(cohort, tmp_path):
    result = run(cohort["damaged"], "--out", tmp_path, "--salvage", *OPTIONS)
    assert result.returncode == 0, result.stderr
    assert f"kelpmoor process: salvaged {cohort['damaged']}: 1 blocks replaced" in result.stderr
    provenance = read_provenance(tmp_path / "damaged.epochs.parquet")
    assert provenance["salvaged_from"]["size"] == Path(cohort["damaged"]).stat().st_size
    assert provenance["salvaged_from"]["sha256"] != provenance["input"]["sha256"]


@pytest.fixture(scope="module")
def scheduler():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        yield cluster.scheduler_address


def test_scheduler_run_equals_local_run(local_run, cohort, scheduler, tmp_path):
    result = run(*cohort.values(), "--out", tmp_path, "--address", scheduler, *OPTIONS)
    assert result.returncode == 1
    assert f"FAILED {cohort['damaged']}: RuntimeError: Invalid block timestamp" in result.stderr
    out, _ = local_run
    assert (tmp_path / "summary.csv").read_text() == (out / "summary.csv").read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in out.iterdir())


def test_ctrl_c_on_a_scheduler_leaves_nothing(cohort, scheduler, tmp_path):
    command = subprocess.Popen([sys.executable, "-m", "kelpmoor_tools.cli", "process", cohort["p01"],
                                cohort["p02"], "--out", tmp_path, "--address", scheduler],
                               stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob(".kelpmoor-*/0")) and time.monotonic() < deadline:
        time.sleep(0.02)        # the first recording's task has started on the worker
    command.send_signal(signal.SIGINT)
    assert command.communicate(timeout=60)[1].splitlines()[-1] == \
        "kelpmoor process: interrupted: 0 of 2 processed, 2 not done"
    assert command.returncode == 130
    time.sleep(2)               # the cancelled task has had time to end on the worker
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args, message", [
    (["--device-utc-offset", "+01:00"], "give the time zone too"),
    (["--timezone", "Mars/Olympus"], "unknown time zone: 'Mars/Olympus'"),
])
def test_usage_errors_create_nothing(capsys, tmp_path, args, message):
    try:
        status = cli.main(["process", str(tmp_path / "p.cwa"), "--out", str(tmp_path / "out"), *args])
    except SystemExit as stop:         # argparse's own errors
        status = stop.code
    assert status == 2 and message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()

"""The kelpmoor command line, run end to end on generated recordings."""
import datetime as dt
import json
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import kelpmoor
from kelpmoor_tools import cli, synth


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "kelpmoor_tools.cli", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("recordings")
    good3 = synth.write_recording(folder / "wrist3.cwa", duration_s=300, seed=1)
    good6 = synth.write_recording(folder / "wrist6.cwa", duration_s=240, axes=6, seed=2, device_id=70000)
    bad = synth.Recording(duration_s=120, faults=synth.Faults(damaged_blocks=(5,))).write(folder / "damaged.cwa")
    junk = folder / "notes.cwa"
    junk.write_bytes(b"not a recording")
    faulty = synth.Recording(duration_s=300, seed=5, faults=synth.Faults(
        gaps=((100, 160),), backward_jumps=((200, 5),), non_data_sectors=((10, "erased"),))).write(folder / "faulty.cwa")
    return {"good3": str(good3), "good6": str(good6), "bad": str(bad), "junk": str(junk), "faulty": str(faulty),
            "folder": folder}


def failures(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if "FAILED" in line]


def test_info_json_is_the_module_own_dicts_and_failures_are_entries(recordings):
    r = run("info", "--json", recordings["good3"], recordings["junk"], recordings["good6"])
    assert r.returncode == 1
    entries = json.loads(r.stdout)
    assert [e["file"] for e in entries] == [recordings[k] for k in ("good3", "junk", "good6")]
    for entry in (entries[0], entries[2]):
        assert entry["metadata"] == kelpmoor.read_metadata(entry["file"])
        assert entry["sampling_consistency"] == kelpmoor.sampling_consistency_report(entry["file"])
    assert entries[1]["error"] == "RuntimeError: IO error: failed to fill whole buffer"
    assert failures(r.stderr) == [f"kelpmoor info: FAILED {recordings['junk']}: {entries[1]['error']}"]
    assert r.stderr.splitlines()[-1].startswith("kelpmoor info: 2 of 3 recordings read, 1 failed")


def info_sections(stdout: str) -> dict[str, dict[str, str]]:
    """The tables of `kelpmoor info`: heading -> {field: value}, failing on a field shown twice."""
    sections: dict[str, dict[str, str]] = {}
    for line in stdout.splitlines()[1:]:
        field = re.fullmatch(r"    (.+?) {2,}(.*)", line) or re.fullmatch(r"    (\S+)()", line)
        if field:
            assert all(field[1] not in table for table in sections.values()), field[1]
            table[field[1]] = field[2]
        else:
            table = sections.setdefault(line.strip(), {})
    return sections


def test_info_table_lists_every_field_once_under_headings(recordings):
    r = run("info", recordings["good6"])
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == recordings["good6"]
    sections = info_sections(r.stdout)
    assert list(sections) == ["metadata", "sampling: header against data", "discontinuities"]
    meta = kelpmoor.read_metadata(recordings["good6"])
    report = kelpmoor.sampling_consistency_report(recordings["good6"])
    table = {k: v for section in sections.values() for k, v in section.items()}
    # The report's header start, end and rate are the metadata's, under other names.
    assert set(sections["metadata"]) == set(meta)
    assert set(sections["sampling: header against data"]) == set(report) - set(meta) - {
        "start_from_header_raw", "end_from_header_raw", "samplingrate_hz_from_header"}
    assert table["device_id"] == "70000" and table["hardware_type"] == "AX6" and table["gyro_range"] == "2000"
    assert float(table["samplingrate_hz_from_data"]) == pytest.approx(report["samplingrate_hz_from_data"], rel=1e-6)
    assert set(sections["discontinuities"].values()) == {"0"}


@pytest.mark.parametrize("flags,kwargs", [
    ([], {}),
    (["--seconds", "10:70.5", "--temperature", "--battery"],
     dict(cut=kelpmoor.seconds(10, 70.5), include_temperature=True, include_battery=True)),
    (["--blocks", ":20", "--utc-offset", "+02:00", "--light"],
     dict(cut=kelpmoor.blocks(None, 20), include_light=True,
          fixed_utc_offset_timezone=dt.timezone(dt.timedelta(hours=2)))),
    (["--resample", "30", "--utc-offset=-05:30", "--seconds", "60:"],
     dict(resample_hz=30.0, cut=kelpmoor.seconds(60, None),
          fixed_utc_offset_timezone=dt.timezone(-dt.timedelta(hours=5, minutes=30)))),
])
def test_csv_batch_writes_what_write_cwa_csv_writes(recordings, tmp_path, flags, kwargs):
    out = tmp_path / "out"
    files = [recordings["good3"], recordings["bad"], recordings["good6"], recordings["junk"]]
    r = run("csv", *files, "--out", out, "--jobs", "2", *flags)
    assert r.returncode == 1
    assert len(failures(r.stderr)) == 2
    assert any(recordings["bad"] in line and "Invalid block timestamp" in line for line in failures(r.stderr))
    assert r.stderr.splitlines()[-1].startswith("kelpmoor csv: 2 of 4 recordings converted, 2 failed")
    # Nothing is left of the failed recordings: no output, no temporary file.
    assert sorted(p.name for p in out.iterdir()) == ["wrist3.csv", "wrist6.csv"]
    for key in ("good3", "good6"):
        expected = tmp_path / f"{key}.csv"
        kelpmoor.write_cwa_csv(recordings[key], str(expected), **kwargs)
        assert (out / f"wrist{key[-1]}.csv").read_bytes() == expected.read_bytes()


def test_parquet_holds_the_frame_of_read_cwa_file(recordings, tmp_path):
    out = tmp_path / "pq"
    r = run("parquet", recordings["good6"], recordings["bad"], recordings["good3"], "--out", out,
            "-j", "2", "--no-light", "--seconds", "5:65")
    assert r.returncode == 1 and len(failures(r.stderr)) == 1
    assert sorted(p.name for p in out.iterdir()) == ["wrist3.parquet", "wrist6.parquet"]
    for key in ("good3", "good6"):
        got = pd.read_parquet(out / f"wrist{key[-1]}.parquet")
        expected = kelpmoor.read_cwa_file(recordings[key], cut=kelpmoor.seconds(5, 65), include_light=False)
        pd.testing.assert_frame_equal(got, expected, check_exact=True, check_freq=False)


@pytest.mark.parametrize("command,suffix", [("csv", ".csv"), ("parquet", ".parquet")])
def test_a_failed_conversion_keeps_the_previous_output_and_leaves_no_part(recordings, tmp_path, command, suffix):
    out = tmp_path / "out"
    out.mkdir()
    (out / f"damaged{suffix}").write_text("previous result")
    (out / f"wrist3{suffix}").mkdir()          # a folder in the way: the final rename fails
    r = run(command, recordings["bad"], recordings["good3"], recordings["good6"], "--out", out)
    assert r.returncode == 1
    lines = failures(r.stderr)
    assert len(lines) == 2 and any(recordings["good3"] in line for line in lines)
    assert (out / f"damaged{suffix}").read_text() == "previous result"
    assert sorted(p.name for p in out.iterdir()) == sorted([f"damaged{suffix}", f"wrist3{suffix}", f"wrist6{suffix}"])
    assert (out / f"wrist3{suffix}").is_dir() and not list((out / f"wrist3{suffix}").iterdir())


def test_everything_well_exits_zero_and_help_shows_examples(recordings, tmp_path):
    r = run("csv", recordings["good3"], "--out", tmp_path, "--no-progress")
    assert r.returncode == 0 and not failures(r.stderr)
    assert r.stderr.strip() .startswith("kelpmoor csv: 1 of 1 recordings converted, 0 failed")
    for args in (["--help"], ["csv", "--help"]):
        help_text = run(*args).stdout
        assert "examples:" in help_text and "kelpmoor csv data/*.cwa --out csv/ --jobs 4" in help_text


@pytest.mark.parametrize("args", [
    ["csv", "x.cwa"],                                       # no --out
    ["csv", "x.cwa", "--out", "taken.txt"],                 # --out is a file
    ["parquet", "nothing*.cwa", "--out", "."],              # a pattern that matches nothing
    ["salvage", "x.cwa", "--out", "."],                     # the copy would replace x.cwa
    ["csv", "x.cwa", "--out", ".", "--seconds", "10"],      # not START:END
    ["csv", "x.cwa", "--out", ".", "--utc-offset", "+25:00"],
    ["csv", "x.cwa", "--out", ".", "--seconds", "1:2", "--blocks", "1:2"],
    ["csv", "a/x.cwa", "b/x.cwa", "--out", "."],             # both would write x.csv
    ["info", "x.cwa", "--jobs", "0"],
])
def test_usage_errors_exit_two(tmp_path, args):
    (tmp_path / "taken.txt").write_text("a file, not a folder")
    (tmp_path / "x.cwa").write_bytes(b"")
    r = run(*args, cwd=tmp_path)
    assert r.returncode == 2 and r.stderr and "Traceback" not in r.stderr
    assert (tmp_path / "taken.txt").read_text() == "a file, not a folder"
    assert not [p for p in tmp_path.iterdir() if p.suffix == ".csv"]


@pytest.mark.parametrize("text,minutes", [("+02:00", 120), ("-0530", -330), ("+2", 120), ("Z", 0), ("utc", 0)])
def test_utc_offsets(text, minutes):
    assert cli.parse_utc_offset(text).utcoffset(None) == dt.timedelta(minutes=minutes)


def test_the_progress_bar_is_quiet_without_a_terminal(recordings, tmp_path):
    # Standard error is a pipe here: only the summary may appear, however many recordings.
    r = run("info", recordings["good3"], recordings["good6"], "--jobs", "2")
    assert r.returncode == 0
    assert len(r.stderr.splitlines()) == 1 and "\r" not in r.stderr
    np.testing.assert_equal(r.stdout.count("samplingrate_hz_from_data"), 2)


def test_version(recordings):
    from kelpmoor_tools import __version__
    r = run("--version")
    assert r.returncode == 0 and r.stdout == f"kelpmoor {__version__}\n"


@pytest.mark.parametrize("command", ["csv", "info"])
def test_a_file_named_twice_is_done_once(recordings, tmp_path, command):
    folder = recordings["folder"]
    spellings = [recordings["good3"], f"{folder}/./wrist3.cwa", f"{folder}/../{folder.name}/wrist3.cwa",
                 str(folder / "wrist?.cwa")]            # a quoted pattern: wrist3 and wrist6
    r = run(command, *spellings, *(["--out", tmp_path / "out"] if command == "csv" else []))
    assert r.returncode == 0, r.stderr
    verb = {"csv": "converted", "info": "read"}[command]
    assert r.stderr.splitlines()[-1].startswith(
        f"kelpmoor {command}: 2 of 2 recordings {verb}, 0 failed, 3 named again and skipped")
    if command == "csv":
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["wrist3.csv", "wrist6.csv"]


def test_info_counts_the_discontinuities_of_the_timeline(recordings):
    from kelpmoor_tools import timeline
    r = run("info", "--json", recordings["faulty"])
    assert r.returncode == 0, r.stderr
    counts = json.loads(r.stdout)[0]["discontinuities"]
    assert counts == {"gap": 1, "backward_jump": 1, "rate_change": 0, "format_change": 0, "non_data": 1, "damaged": 0}
    assert sum(counts.values()) == len(timeline(recordings["faulty"]))
    tables = info_sections(run("info", recordings["faulty"]).stdout)
    assert tables["discontinuities"]["gaps"] == "1" and tables["discontinuities"]["clock set back"] == "1"


def test_salvage_writes_readable_copies_and_reports_each_file(recordings, tmp_path):
    out = tmp_path / "salvaged"
    r = run("salvage", recordings["bad"], recordings["good3"], recordings["junk"], "--out", out)
    assert r.returncode == 1 and len(failures(r.stderr)) == 1 and "ValueError" in failures(r.stderr)[0]
    lines = r.stdout.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith(f"{recordings['bad']}: 1 blocks replaced (about ") and lines[0].endswith(", 0 bytes dropped")
    assert lines[1] == f"{recordings['good3']}: 0 blocks replaced, 0 bytes dropped"
    assert sorted(p.name for p in out.iterdir()) == ["damaged.cwa", "wrist3.cwa"]
    assert (out / "wrist3.cwa").read_bytes() == Path(recordings["good3"]).read_bytes()
    assert len(kelpmoor.read_cwa_file(str(out / "damaged.cwa"))) > 0


@pytest.mark.parametrize("command", ["csv", "parquet"])
def test_conversion_through_a_salvaged_copy(recordings, tmp_path, command):
    out = tmp_path / "out"
    r = run(command, recordings["bad"], recordings["good3"], "--out", out, "--salvage", "-j", "2")
    assert r.returncode == 0, r.stderr
    listed = [line for line in r.stderr.splitlines() if "salvaged" in line]
    assert listed == [line for line in listed if recordings["bad"] in line] and len(listed) == 1
    assert sorted(p.name for p in out.iterdir()) == [f"damaged.{command}", f"wrist3.{command}"]
    from kelpmoor_tools.salvage import salvage
    salvage(recordings["bad"], tmp_path / "copy.cwa")
    if command == "csv":
        kelpmoor.write_cwa_csv(str(tmp_path / "copy.cwa"), str(tmp_path / "expected.csv"))
        assert (out / "damaged.csv").read_bytes() == (tmp_path / "expected.csv").read_bytes()
    else:
        pd.testing.assert_frame_equal(pd.read_parquet(out / "damaged.parquet"),
                                      kelpmoor.read_cwa_file(str(tmp_path / "copy.cwa")), check_freq=False)

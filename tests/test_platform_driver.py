"""The platform driver (tests/native/platform_driver.cpp), whose output .ci/windows-wine compares
between its Windows and Linux builds, reads as the module does: its columns, CSV files and error
texts are the module's, byte for byte."""

import pytest

import kelpmoor
import native_checks
from kelpmoor_tools import synth

RECORDINGS = {
    "gap": dict(duration_s=1200, seed=3, faults=synth.Faults(jitter_s=0.3, gaps=((400, 75),))),
    "six_axes": dict(duration_s=600, axes=6, rate_hz=50, seed=5),
}
EVERY_CHANNEL = dict(include_magnetometer=True, include_temperature=True, include_light=True, include_battery=True)


@pytest.fixture(scope="module", params=RECORDINGS)
def driven(request, tmp_path_factory):
    """(recording, output folder, {road: printed text}) of one driver run."""
    folder = tmp_path_factory.mktemp(request.param)
    recording = str(synth.Recording(**RECORDINGS[request.param]).write(folder / "recording.cwa"))
    (folder / "out").mkdir()
    done = native_checks.run("platform_driver", recording, folder / "out", timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return recording, folder / "out", dict(line.split(": ", 1) for line in done.stdout.splitlines())


def test_plain_read_and_timing_scan_are_the_modules(driven):
    recording, out, printed = driven
    frame = kelpmoor.read_cwa_file(recording, **EVERY_CHANNEL)
    times = frame.index.asi8
    assert (out / "plain.bin").read_bytes() == times.tobytes() + b"".join(
        frame[name].to_numpy().tobytes() for name in frame.columns)
    assert printed["plain read"].startswith(f"timestamp,{','.join(frame.columns)} ({len(frame)} rows), fnv1a ")
    assert printed["timing scan"] == f"first {times[0]} last {times[-1]} samples {len(frame)}"


@pytest.mark.parametrize("name, options", [
    ("streaming", {}),
    ("time_range", {"cut": kelpmoor.seconds(90.5, 725.25)}),
    ("resampled", {"resample_hz": 30.0}),
])
def test_csv_roads_are_the_modules(driven, tmp_path, name, options):
    recording, out, printed = driven
    kelpmoor.write_cwa_csv(recording, str(tmp_path / "module.csv"), **EVERY_CHANNEL, **options)
    written = (out / f"{name}.csv").read_bytes()
    assert written == (tmp_path / "module.csv").read_bytes()
    assert printed[f"csv {name.replace('_', ' ')}"].startswith(f"{len(written)} bytes, fnv1a ")


def test_error_texts_are_the_modules(driven):
    recording, out, printed = driven
    with pytest.raises(RuntimeError) as missing:
        kelpmoor.read_cwa_file(str(out / "no-such-recording.cwa"))
    with pytest.raises(RuntimeError) as unwritable:
        kelpmoor.write_cwa_csv(recording, str(out / "no-such-folder" / "out.csv"))
    assert (printed["missing input"], printed["unwritable output"]) == (str(missing.value), str(unwritable.value))

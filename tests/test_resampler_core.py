"""The reference resampler against worked values, and the module's resampler against the reference
over randomized sample streams, through the native check program."""

import subprocess

from native_checks import build_check, every_core_source


def test_resampler_rows_match_worked_values(tmp_path):
    exe = build_check(tmp_path, "resampler_check", every_core_source())
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "random streams:" in run.stdout and " 0 mismatches" in run.stdout
    assert run.stdout.rstrip().endswith("resampler: all rows match")

"""The reference resampler against worked values, and the module's resampler against the reference
over randomized sample streams, through the native check program."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def test_resampler_rows_match_worked_values(tmp_path):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not available")
    exe = tmp_path / "resampler_check"
    sources = sorted(str(p) for p in (ROOT / "src" / "cwa").rglob("*.cpp"))
    subprocess.run(
        [compiler, "-std=c++23", "-O2", "-ffp-contract=off", "-I", str(ROOT / "src"),
         str(ROOT / "tests" / "native" / "resampler_check.cpp"), *sources, "-o", str(exe)],
        check=True, timeout=600,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "random streams:" in run.stdout and " 0 mismatches" in run.stdout
    assert run.stdout.rstrip().endswith("resampler: all rows match")

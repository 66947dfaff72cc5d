"""Every block kernel the processor supports (timestamps, packed samples) against the scalar
formulas, bit for bit over randomized blocks, through the native check program."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def test_every_block_kernel_matches_the_scalar_formulas(tmp_path):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not available")
    exe = tmp_path / "block_kernels_check"
    subprocess.run(
        [compiler, "-std=c++23", "-O2", "-ffp-contract=off", "-I", str(ROOT / "src"),
         str(ROOT / "tests" / "native" / "block_kernels_check.cpp"),
         str(ROOT / "src" / "cwa" / "block_kernels.cpp"), "-o", str(exe)],
        check=True, timeout=600,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "kernel portable:" in run.stdout and " 0 mismatches" in run.stdout
    assert run.stdout.rstrip().endswith("block kernels: all samples match")

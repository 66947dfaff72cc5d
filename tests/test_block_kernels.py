"""Every block kernel the processor supports (timestamps, packed samples) against the scalar
formulas, bit for bit over randomized blocks, through the native check program."""

import subprocess

from native_checks import CORE, build_check


def test_every_block_kernel_matches_the_scalar_formulas(tmp_path):
    exe = build_check(tmp_path, "block_kernels_check", [CORE / "block_kernels.cpp"])
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "kernel portable:" in run.stdout and " 0 mismatches" in run.stdout
    assert run.stdout.rstrip().endswith("block kernels: all samples match")

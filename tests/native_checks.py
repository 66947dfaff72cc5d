"""Builds the check programs of tests/native with g++ from the core's sources."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CORE = ROOT / "src" / "cwa"


def build_check(folder, name, sources, optimize="-O2"):
    """tests/native/<name>.cpp linked with `sources` into folder/<name>; skips without g++."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not available")
    exe = Path(folder) / name
    subprocess.run(
        [compiler, "-std=c++23", optimize, "-ffp-contract=off", "-I", str(ROOT / "src"),
         str(ROOT / "tests" / "native" / f"{name}.cpp"), *map(str, sources), "-o", str(exe)],
        check=True, timeout=600,
    )
    return exe


def every_core_source():
    return sorted(CORE.rglob("*.cpp"))

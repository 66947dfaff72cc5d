"""The check programs of tests/native, built by CMake once per test session and run from here.

The build takes the project's own flags and core library. The CI scripts choose the compiler,
standard library or sanitizers with KELPMOOR_NATIVE_CMAKE_ARGS (extra cmake arguments) and set
KELPMOOR_NATIVE_REQUIRED, which turns a missing cmake or compiler from a skip into a failure; a
persistent KELPMOOR_NATIVE_BUILD_DIR spares a developer the rebuild of an unchanged core.
"""

import atexit
import functools
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def environment():
    """The environment minus LD_PRELOAD: under .ci/asan-tests the interpreter has a sanitizer
    runtime preloaded, which must meet neither the compilers nor the runtime a check links."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def cmake_program():
    """A cmake new enough for the project: the interpreter environment's (PyPI's cmake package),
    else the one on PATH; None if neither is."""
    for found in (shutil.which("cmake", path=os.path.dirname(sys.executable)), shutil.which("cmake")):
        if found is None:
            continue
        version = subprocess.run([found, "--version"], capture_output=True, text=True).stdout
        numbers = re.match(r"cmake version (\d+)\.(\d+)", version)
        if numbers and (int(numbers[1]), int(numbers[2])) >= (3, 26):
            return found
    return None


@functools.cache
def _build():
    """The folder of the built programs, or the reason there is none (skipped when the tools are
    missing; a configure or compile error fails every test that needs a program)."""
    cmake = cmake_program()
    compiler = os.environ.get("CXX") or next(filter(None, map(shutil.which, ("c++", "g++", "clang++"))), None)
    if cmake is None or compiler is None:
        missing = pytest.fail.Exception if os.environ.get("KELPMOOR_NATIVE_REQUIRED") else pytest.skip.Exception
        return missing, "the native checks need cmake 3.26 or later and a C++ compiler"
    folder = os.environ.get("KELPMOOR_NATIVE_BUILD_DIR")
    if not folder:
        folder = tempfile.mkdtemp(prefix="kelpmoor-native-")
        atexit.register(shutil.rmtree, folder, ignore_errors=True)
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = [
        [cmake, "-S", str(ROOT), "-B", folder, *generator, "-DCMAKE_BUILD_TYPE=Release",
         "-DKELPMOOR_PYTHON_MODULE=OFF", "-DKELPMOOR_NATIVE_CHECKS=ON",
         *shlex.split(os.environ.get("KELPMOOR_NATIVE_CMAKE_ARGS", ""))],
        [cmake, "--build", folder, "--parallel", str(os.cpu_count() or 1)],
    ]
    for step in steps:
        done = subprocess.run(step, env=environment(), capture_output=True, text=True, timeout=1200)
        if done.returncode != 0:
            return pytest.fail.Exception, f"{shlex.join(step)} failed:\n{done.stdout}\n{done.stderr}"
    return None, Path(folder) / "tests" / "native"


def program(name):
    """The path of a built check program; skips where it is not built (a POSIX-only check on
    Windows)."""
    failure, found = _build()
    if failure is not None:
        raise failure(found)
    exe = next((p for p in (found / name, found / f"{name}.exe") if p.exists()), None)
    if exe is None:
        pytest.skip(f"{name} is not built on this platform")
    return exe


def run(name, *args, input=None, timeout=600):
    """Runs a check program with text output."""
    return subprocess.run([str(program(name)), *map(str, args)], input=input, env=environment(),
                          capture_output=True, text=True, timeout=timeout)


def assert_all_passed(done, name):
    """A check program's run ended with "<name>: N passed, 0 failed", N > 0, and status 0."""
    summary = re.search(rf"^{re.escape(name)}: (\d+) passed, (\d+) failed$", done.stdout, re.M)
    assert summary and done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert int(summary[1]) > 0 and int(summary[2]) == 0, summary[0]

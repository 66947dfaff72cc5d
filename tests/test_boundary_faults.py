"""Faults of the Python boundary itself: internal-fault exceptions that cross processes, and a
NumPy that cannot be loaded."""

import pickle
import subprocess
import sys
import textwrap

import pytest

import kelpmoor


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)


def panic_type():
    # Initialising the module makes the type; it is deliberately no attribute of the module.
    return sys.modules["kelpmoor._faults"].PanicException


def test_panic_pickles_as_itself():
    fault = panic_type()("broken invariant")
    fault.worker = 3
    restored = pickle.loads(pickle.dumps(fault))
    assert type(restored) is panic_type() and isinstance(restored, RuntimeError)
    assert restored.args == ("broken invariant",) and restored.worker == 3
    assert "PanicException" not in dir(kelpmoor)


def test_panic_unpickles_where_kelpmoor_was_never_imported():
    # What a multiprocessing parent or a Dask client does with a worker's exception.
    data = pickle.dumps(panic_type()("broken invariant"))
    done = run_python(f"""
        import pickle, sys
        assert "kelpmoor" not in sys.modules
        fault = pickle.loads({data!r})
        print(type(fault).__module__, type(fault).__name__, isinstance(fault, RuntimeError), fault)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["kelpmoor", "PanicException", "True", "broken", "invariant"]


@pytest.mark.parametrize("hide_numpy", [
    # NumPy not installed: its own ImportError.
    "sys.modules['numpy'] = None",
    # A NumPy whose array API is missing: still an import failure, saying what failed.
    "for name in ('numpy', 'numpy._core', 'numpy._core._multiarray_umath'): sys.modules[name] = types.ModuleType(name)",
])
def test_numpy_that_cannot_be_loaded_is_an_import_error(make_cwa, hide_numpy):
    path = make_cwa([{}, {}])
    done = run_python(f"""
        import sys, types
        {hide_numpy}
        import kelpmoor
        try:
            kelpmoor.read_cwa_file({path!r})
        except Exception as e:
            print(isinstance(e, ImportError), e)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("True "), done.stdout

"""Ctrl-C on a batch of the command line: the batch stops whole, quickly, and leaves only
complete outputs and no process behind; the progress of a recording as it is converted."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from processes import children

import kelpmoor
from kelpmoor_tools import _batch, _tasks, synth

COUNT = 6


@pytest.fixture(scope="module")
def long_recordings(tmp_path_factory):
    """Recordings of 12 h at 100 Hz: long enough that conversions are running when the signal comes."""
    folder = tmp_path_factory.mktemp("long")
    first = synth.write_recording(folder / "p0.cwa", duration_s=12 * 3600, seed=1)
    for i in range(1, COUNT):
        shutil.copyfile(first, folder / f"p{i}.cwa")
    return [str(folder / f"p{i}.cwa") for i in range(COUNT)]


def alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    except FileNotFoundError:
        return False


def wait_until(condition, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.mark.skipif(not Path("/proc/self/task").exists(), reason="lists processes through /proc")
@pytest.mark.parametrize("command,suffix", [("csv", ".csv"), ("parquet", ".parquet")])
@pytest.mark.parametrize("whole_group", [True, False], ids=["terminal-ctrl-c", "kill-int-parent"])
def test_ctrl_c_stops_the_whole_batch(long_recordings, tmp_path, command, suffix, whole_group):
    out = tmp_path / "out"
    child = subprocess.Popen([sys.executable, "-m", "kelpmoor_tools.cli", command, *long_recordings,
                              "--out", out, "--jobs", "2"], start_new_session=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Conversions are running once a task has a file in the run's hidden folder.
        running = lambda: any(os.listdir(task) for run in out.glob(".kelpmoor-*.tmp") for task in run.iterdir())  # noqa: E731
        assert wait_until(running, 60), "no conversion started"
        workers = children(child.pid)
        assert len(workers) >= 2
        sent = time.monotonic()
        if whole_group:
            os.killpg(child.pid, signal.SIGINT)
        else:
            os.kill(child.pid, signal.SIGINT)
        _, stderr = child.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
    print(f"{command}, {'group' if whole_group else 'parent'}: exit {took:.3f} s after SIGINT")
    assert took < 5
    assert child.returncode == 130
    assert "Traceback" not in stderr
    match = re.fullmatch(rf"kelpmoor {command}: interrupted: (\d+) of {COUNT} converted, (\d+) not done",
                         stderr.strip().splitlines()[-1])
    assert match and int(match[1]) + int(match[2]) == COUNT
    # Only complete outputs, as many as the line says, and no hidden file or folder.
    left = sorted(p.name for p in out.iterdir())
    assert len(left) == int(match[1]) and all(not n.startswith(".") and n.endswith(suffix) for n in left)
    assert wait_until(lambda: not any(alive(pid) for pid in workers), 2), "a worker survived"


@pytest.mark.parametrize("chunk_blocks", [1000, 1 << 20])
@pytest.mark.parametrize("faults,in_pieces", [
    (synth.Faults(jitter_s=0.3, gaps=((2000, 30),), backward_jumps=((5000, 4),), non_data_sectors=((1000, "erased"),)),
     True),
    (synth.Faults(format_change=(4000, 3, True)), False),     # pieces of other columns: one write of the whole
], ids=["discontinuities", "format-change"])
def test_parquet_in_pieces_is_the_file_of_one_write(tmp_path, monkeypatch, chunk_blocks, faults, in_pieces):
    # Three hours: two row groups, cut across the pieces wherever the pieces end.
    path = synth.Recording(duration_s=3 * 3600, seed=3, axes=6, faults=faults).write(tmp_path / "three.cwa")
    monkeypatch.setattr(_tasks, "CHUNK_BLOCKS", chunk_blocks)
    read = {"include_light": False, "include_battery": True}
    fractions = []
    rows = _tasks.write_parquet_in_pieces(kelpmoor, str(path), tmp_path / "pieces.parquet", read,
                                          lambda kind, value: fractions.append(value))
    whole = pa.Table.from_pandas(kelpmoor.read_cwa_file(str(path), **read), preserve_index=True)
    pq.write_table(whole, tmp_path / "whole.parquet")       # pyarrow's defaults, as before pieces
    assert rows == whole.num_rows
    assert (tmp_path / "pieces.parquet").read_bytes() == (tmp_path / "whole.parquet").read_bytes()
    assert fractions == sorted(fractions) and (fractions[-1] == 1.0 or not in_pieces)


def test_progress_moves_within_a_recording(long_recordings, tmp_path):
    size = os.path.getsize(long_recordings[0])
    positions, done = [], []
    options = {"out": str(tmp_path), "read": {"include_temperature": True}, "salvage": False}
    outcome = _batch.Batch("csv", long_recordings[:1], options, 1, lambda *result: done.append(positions[-1:]),
                           positions.append).run()
    assert outcome.results and not outcome.errors
    # Before the recording was done, the bar stood part of the way, and never went back.
    before = done[0]
    assert before and 0 < before[0] < size
    assert positions == sorted(positions) and positions[-1] == size


@pytest.mark.parametrize("read,kwargs", [
    ({}, {}),
    ({"cut": ("blocks", 100, 2000)}, {"cut": kelpmoor.blocks(100, 2000)}),
    ({"cut": ("blocks", None, 10**9)}, {"cut": kelpmoor.blocks(None, 10**9)}),
    ({"cut": ("seconds", 60, 300.5)}, {"cut": kelpmoor.seconds(60, 300.5)}),
    ({"cut": ("seconds", 500, None), "resample_hz": 30.0}, {"cut": kelpmoor.seconds(500, None), "resample_hz": 30.0}),
])
@pytest.mark.parametrize("axes,rate", [(3, 100.0), (6, 50.0)])
def test_the_rows_a_csv_is_followed_against_are_near_its_rows(tmp_path, read, kwargs, axes, rate):
    path = str(synth.write_recording(tmp_path / "r.cwa", duration_s=900, axes=axes, rate_hz=rate, seed=2))
    rows = len(kelpmoor.read_cwa_file(path, **kwargs))
    assert _tasks.expected_rows(kelpmoor, path, read) == pytest.approx(rows, rel=0.02)

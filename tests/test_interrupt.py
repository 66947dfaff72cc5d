"""Ctrl-C ends a long call at once: a real SIGINT sent to a child process in the middle of a read.

One child runs every road in turn. For each it first times the call uninterrupted (and, for the
CSV roads that read everything before printing, the read alone), then announces the call again;
the parent sends the signal an eighth of the way into the part under test and measures, on the
shared monotonic clock, how long the call took to end with the exception. A call that only
noticed the signal at its end would need the remaining seven eighths, so the bound is half of
that, and never more than half a second. Each road runs after the interrupted calls before it,
so every interrupted call must also have left the process able to read again.
"""
import os
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

import cwa_builder as cb

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

import generate  # noqa: E402

DAYS = 2
REACTION_BOUND_S = 0.5
# The pipe-fed calls never end by themselves; they are interrupted this long after they start.
ENDLESS_CALL_DELAY_S = 0.2
# Ends the child if a call it was running does not react at all.
WATCHDOG_S = 120

CHILD = r"""
import os, signal, sys, time
import pandas  # imported before any timing: the first read would otherwise pay for it
import kelpmoor

recording, endless, stalled, folder = sys.argv[1:5]
ROADS = {
    "read": lambda out: kelpmoor.read_cwa_file(recording),
    "read-seconds": lambda out: kelpmoor.read_cwa_file(recording, cut=kelpmoor.seconds(1)),
    "read-resampled": lambda out: kelpmoor.read_cwa_file(recording, resample_hz=25),
    "csv-streaming": lambda out: kelpmoor.write_cwa_csv(recording, out),
    "csv-seconds": lambda out: kelpmoor.write_cwa_csv(recording, out, cut=kelpmoor.seconds(1)),
    "csv-resampled": lambda out: kelpmoor.write_cwa_csv(recording, out, resample_hz=25),
    "metadata": lambda out: kelpmoor.read_metadata(endless),
    "report": lambda out: kelpmoor.sampling_consistency_report(endless),
    "metadata-waiting": lambda out: kelpmoor.read_metadata(stalled),
}
# The read a CSV road finishes before it prints its first row.
PREFIX = {"csv-seconds": "read-seconds", "csv-resampled": "read-resampled"}
durations = {"metadata": float("inf"), "report": float("inf"), "metadata-waiting": float("inf")}


def duration(road):
    if road not in durations:
        start = time.monotonic()
        ROADS[road]("/dev/null")
        durations[road] = time.monotonic() - start
    return durations[road]


def stop(signum, frame):
    raise ValueError("stop")


# The first large read of a process pays for fresh memory pages; no timed call should.
kelpmoor.read_cwa_file(recording)

for case in sys.argv[5:]:
    road, handler = case.split(":")
    prefix = duration(PREFIX[road]) if road in PREFIX else 0.0
    print("DURATION", prefix, duration(road), flush=True)
    signal.signal(signal.SIGINT, stop if handler == "value_error" else signal.default_int_handler)
    output = os.path.join(folder, f"{road}-{handler}.csv")
    print("CALLING", flush=True)
    try:
        ROADS[road](output)
    except BaseException as error:
        print("RAISED", time.monotonic(), type(error).__name__, str(error), flush=True)
    else:
        print("RETURNED", time.monotonic(), flush=True)
    # What an interrupted export leaves at its output path, removed to keep the disk free.
    print("OUTPUT", "left" if os.path.exists(output) else "none", flush=True)
    if os.path.exists(output):
        os.remove(output)
"""

# Metadata blocks through a FIFO. "endless": the header comes from the first block and every
# later sector is a non-data sector, so the data scan never ends by itself. "stalled": only the
# blocks the two opens of a metadata call read as their header, then the scan waits in a read
# that no data will ever end. The writer holds the FIFO open across both opens, so the second
# reader continues the same stream on a block boundary.
FIFO_WRITER = r"""
import os, sys, time
fifo, block_path, mode = sys.argv[1:4]
block = open(block_path, "rb").read()
fd = os.open(fifo, os.O_WRONLY)
if mode == "stalled":
    os.write(fd, block * 2)
    time.sleep(3600)
data = block * 64
pos = 0
while True:
    try:
        pos = (pos + os.write(fd, data[pos:])) % len(data)
    except BrokenPipeError:
        time.sleep(0.001)
"""

READ_ROADS = ["read", "read-seconds", "read-resampled", "csv-streaming", "csv-seconds", "csv-resampled"]
SCAN_ROADS = ["metadata", "report", "metadata-waiting"]
HANDLER_ROADS = ["read", "csv-streaming", "metadata"]
# The call waiting on a pipe goes last: where it never reacts, no case after it gets an answer.
CASES = ([f"{road}:default" for road in READ_ROADS + SCAN_ROADS[:-1]] +
         [f"{road}:value_error" for road in HANDLER_ROADS] + [f"{SCAN_ROADS[-1]}:default"])


@dataclass
class Ended:
    exception: str  # the type the call ended with; "" when it returned
    message: str
    reaction_s: float  # from the signal to the exception, in the child
    bound_s: float
    output_left: bool = False  # a file at the output path after the call


def interrupt_next_call(child):
    """Follows the child through its next case; None when the child stops answering."""
    duration = child.stdout.readline().split()
    if not duration or duration[0] != "DURATION" or child.stdout.readline() != "CALLING\n":
        return None
    prefix_s, total_s = float(duration[1]), float(duration[2])
    if total_s == float("inf"):  # the calls on a pipe
        delay, remaining = ENDLESS_CALL_DELAY_S, float("inf")
    else:
        if total_s - prefix_s < total_s / 4:
            # The read alone timed nearly as long as the whole export: on a busy machine the
            # two timings say too little to aim between them, so aim at the whole call.
            prefix_s = 0.0
        tested = total_s - prefix_s
        delay, remaining = prefix_s + tested / 8, tested * 7 / 8
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    end = child.stdout.readline().rstrip("\n").split(" ", 3)
    if end[0] not in ("RAISED", "RETURNED"):
        return None
    result = Ended("", "", float(end[1]) - sent, min(REACTION_BOUND_S, remaining / 2))
    if end[0] == "RAISED":
        result.exception, result.message = end[2], end[3] if len(end) > 3 else ""
    result.output_left = child.stdout.readline() == "OUTPUT left\n"
    return result


@pytest.fixture(scope="module")
def ended(tmp_path_factory):
    """Every case of CASES, interrupted once in one child process."""
    folder = tmp_path_factory.mktemp("interrupt")
    recording = generate.generate(folder / f"rec_{DAYS}d.cwa", days=DAYS)
    block = folder / "metadata_block.bin"
    block.write_bytes(cb.metadata_block())
    fifos, writers = {}, []
    for mode in ("endless", "stalled"):
        fifos[mode] = folder / f"{mode}.cwa"
        os.mkfifo(fifos[mode])
        writers.append(subprocess.Popen([sys.executable, "-c", FIFO_WRITER, str(fifos[mode]), str(block), mode]))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(recording), str(fifos["endless"]),
                              str(fifos["stalled"]), str(folder), *CASES],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    results = {}
    try:
        for case in CASES:
            # A call that never reacts ends the child; its case and those after it get no result.
            watchdog = threading.Timer(WATCHDOG_S, child.kill)
            watchdog.start()
            try:
                result = interrupt_next_call(child)
            finally:
                watchdog.cancel()
            if result is None:
                break
            results[case] = result
    finally:
        for process in (child, *writers):
            if process.poll() is None:
                process.kill()
            process.wait()
        child.stdout.close()
        child.stderr.close()
    for case, result in results.items():
        print(f"{case}: {result.exception or 'returned'} {result.reaction_s * 1000:.1f} ms after the signal "
              f"(bound {result.bound_s * 1000:.0f} ms)")
    return results


@pytest.mark.parametrize("road", READ_ROADS + SCAN_ROADS)
def test_ctrl_c_ends_a_long_call(road, ended):
    result = ended.get(f"{road}:default")
    assert result, "the child stopped answering before this call"
    assert result.exception == "KeyboardInterrupt"
    assert result.reaction_s <= result.bound_s
    # The export's temporary file is put in place only when it finishes.
    assert not result.output_left


@pytest.mark.parametrize("road", HANDLER_ROADS)
def test_an_exception_a_signal_handler_raises_ends_the_call(road, ended):
    result = ended.get(f"{road}:value_error")
    assert result, "the child stopped answering before this call"
    assert (result.exception, result.message) == ("ValueError", "stop")
    assert result.reaction_s <= result.bound_s

"""Where write_cwa_csv puts its file: an ordinary file is replaced only by a finished export, a
failing one leaves what stood there; devices and pipes are written directly."""
import datetime as dt
import os
import signal
import stat
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

import cwa_builder as cb
import kelpmoor

ROADS = {"streaming": {}, "filtered": dict(cut=kelpmoor.seconds(0, 1e6)), "resampled": dict(resample_hz=100)}
AUX = dict(include_temperature=True, include_light=True, include_battery=True)
PREVIOUS = b"time,acc_x\n0.0000,1.000000\n"


def blocks(count):
    start = dt.datetime(2023, 11, 14, 22, 13, 20)
    times = (start + dt.timedelta(seconds=k) for k in range(count))
    return [dict(timestamp=cb.packed_time(t.year, t.month, t.day, t.hour, t.minute, t.second), sample_count=120,
                 temperature=0x3FF, light=0x3FF) for t in times]


@pytest.fixture
def folder(tmp_path):
    path = tmp_path / "exports"
    path.mkdir()
    return path


def reference(recording, tmp_path, **kwargs):
    """The bytes an export of `recording` gives when written to a fresh file."""
    path = tmp_path / f"reference-{len(os.listdir(tmp_path))}.csv"
    kelpmoor.write_cwa_csv(recording, str(path), **kwargs)
    return path.read_bytes()


def existing(path, mode):
    path.write_bytes(PREVIOUS)
    os.chmod(path, mode)
    return path


CHILD = textwrap.dedent("""
    import resource, signal, sys, kelpmoor
    recording, output, limit, road = sys.argv[1:]
    # The export fails with EFBIG instead of the process being killed by SIGXFSZ.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), int(limit)))
    roads = {"streaming": {}, "filtered": dict(cut=kelpmoor.seconds(0, 1e6)), "resampled": dict(resample_hz=100)}
    try:
        kelpmoor.write_cwa_csv(recording, output, include_temperature=True, include_light=True,
                               include_battery=True, **roads[road])
    except RuntimeError as error:
        print(error)
    """)


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("count,limit,message", [
    # the export fits the buffer: only the final flush meets the limit, an I/O error
    (1, 4096, "IO error: File too large (os error 27)"),
    # the buffer spills mid-file: the record write fails with the system's text alone
    (2600, 1 << 20, "File too large (os error 27)"),
])
def test_failure_mid_file_leaves_the_previous_file(make_cwa, folder, road, count, limit, message):
    recording = make_cwa(blocks(count))
    output = existing(folder / "out.csv", 0o640)
    child = subprocess.run([sys.executable, "-c", CHILD, recording, str(output), str(limit), road],
                           capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stdout, child.stderr) == (0, message + "\n", "")
    assert output.read_bytes() == PREVIOUS
    assert stat.S_IMODE(os.stat(output).st_mode) == 0o640
    assert os.listdir(folder) == ["out.csv"]


@pytest.mark.parametrize("road", ROADS)
def test_failure_mid_file_leaves_no_new_file(make_cwa, folder, road):
    recording = make_cwa(blocks(1))
    child = subprocess.run([sys.executable, "-c", CHILD, recording, str(folder / "out.csv"), "4096", road],
                           capture_output=True, text=True, timeout=120)
    assert child.stdout == "IO error: File too large (os error 27)\n"
    assert os.listdir(folder) == []


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("mode", [0o600, 0o604, 0o666, 0o755])
def test_replaced_file_keeps_its_mode(make_cwa, tmp_path, folder, road, mode):
    recording = make_cwa(blocks(2))
    output = existing(folder / "out.csv", mode)
    kelpmoor.write_cwa_csv(recording, str(output), **AUX, **ROADS[road])
    assert output.read_bytes() == reference(recording, tmp_path, **AUX, **ROADS[road])
    assert stat.S_IMODE(os.stat(output).st_mode) == mode
    assert os.listdir(folder) == ["out.csv"]


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_new_file_gets_the_mode_umask_allows(make_cwa, folder, umask):
    recording = make_cwa(blocks(1))
    previous = os.umask(umask)
    try:
        kelpmoor.write_cwa_csv(recording, str(folder / "out.csv"))
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(folder / "out.csv").st_mode) == 0o666 & ~umask
    assert os.listdir(folder) == ["out.csv"]


def test_link_to_a_file_replaces_the_file_it_leads_to(make_cwa, tmp_path, folder):
    recording = make_cwa(blocks(2))
    target = existing(tmp_path / "target.csv", 0o644)
    link = folder / "out.csv"
    link.symlink_to(target)
    kelpmoor.write_cwa_csv(recording, str(link))
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_bytes() == reference(recording, tmp_path)
    assert sorted(os.listdir(folder)) == ["out.csv"]


def test_dangling_link_creates_the_file_it_names(make_cwa, tmp_path, folder):
    recording = make_cwa(blocks(1))
    link = folder / "out.csv"
    link.symlink_to(tmp_path / "target.csv")
    kelpmoor.write_cwa_csv(recording, str(link))
    assert link.is_symlink()
    assert (tmp_path / "target.csv").read_bytes() == reference(recording, tmp_path)


@pytest.mark.parametrize("device", ["/dev/stdout", "/dev/null"])
def test_devices_are_written_directly(make_cwa, tmp_path, device):
    recording = make_cwa(blocks(3))
    script = f"import kelpmoor; kelpmoor.write_cwa_csv({recording!r}, {device!r})"
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout == (reference(recording, tmp_path) if device == "/dev/stdout" else b"")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_fifo_is_written_directly(make_cwa, tmp_path, folder):
    recording = make_cwa(blocks(3))
    fifo = folder / "out.fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    kelpmoor.write_cwa_csv(recording, str(fifo))
    reader.join(timeout=30)
    assert received == [reference(recording, tmp_path)]
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert os.listdir(folder) == ["out.fifo"]


@pytest.mark.parametrize("call", [
    "kelpmoor.read_metadata(fifo)",
    "kelpmoor.write_cwa_csv(recording, fifo)",
])
def test_ctrl_c_ends_a_wait_for_the_other_end_of_a_fifo(make_cwa, folder, call):
    recording = make_cwa(blocks(1))
    fifo = str(folder / "pipe")
    os.mkfifo(fifo)
    script = textwrap.dedent(f"""
        import sys, kelpmoor
        recording, fifo = sys.argv[1:]
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """)
    with subprocess.Popen([sys.executable, "-c", script, recording, fifo], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.5)  # time to reach the open, which waits for a writer (or reader) forever
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=10)
            reaction = time.monotonic() - sent
        finally:
            child.kill()
    assert (child.returncode, out) == (0, "interrupted\n")
    assert reaction < 1.0
    assert os.listdir(folder) == ["pipe"]


def test_failure_before_the_first_row_leaves_the_previous_file(make_cwa, folder):
    # a missing input: the output path is never touched
    output = existing(folder / "out.csv", 0o644)
    with pytest.raises(RuntimeError, match="No such file or directory"):
        kelpmoor.write_cwa_csv(str(folder / "missing.cwa"), str(output), resample_hz=10)
    assert output.read_bytes() == PREVIOUS
    assert os.listdir(folder) == ["out.csv"]


@pytest.mark.parametrize("output,message", [
    ("missing/out.csv", "IO error: No such file or directory (os error 2)"),
    ("missing/", "IO error: Is a directory (os error 21)"),
    (".", "IO error: Is a directory (os error 21)"),
    ("", "IO error: No such file or directory (os error 2)"),
    ("out.csv/x.csv", "IO error: Not a directory (os error 20)"),
])
def test_paths_that_cannot_be_created_fail_as_before(make_cwa, folder, monkeypatch, output, message):
    recording = make_cwa(blocks(1))
    existing(folder / "out.csv", 0o644)
    monkeypatch.chdir(folder)
    with pytest.raises(RuntimeError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
        kelpmoor.write_cwa_csv(recording, output)
    assert os.listdir(folder) == ["out.csv"]
    assert (folder / "out.csv").read_bytes() == PREVIOUS


# Root may write any file and folder, so the child looks as an ordinary user would.
AS_A_USER = textwrap.dedent("""
    import os, sys
    # Imported first: the interpreter's environment may lie in folders only root can read.
    import kelpmoor
    if os.geteuid() == 0:
        os.setgroups([])
        os.setresgid(65534, 65534, 65534)
        os.setresuid(65534, 65534, 65534)
    recording, folder, file_mode, folder_mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    os.mkdir(folder)
    output = os.path.join(folder, "out.csv")
    with open(output, "wb") as fh:
        fh.write(b"previous\\n")
    os.chmod(output, file_mode)
    os.chmod(folder, folder_mode)
    try:
        kelpmoor.write_cwa_csv(recording, output)
    except RuntimeError as error:
        print(error)
    with open(output, "rb") as fh:
        print(fh.read().split(b"\\n")[0].decode(), sorted(os.listdir(folder)))
    """)


@pytest.fixture
def open_place():
    """A folder outside root's own temporary folders, where an ordinary user may work."""
    with tempfile.TemporaryDirectory() as place:
        os.chmod(place, 0o777)
        yield place


@pytest.mark.skipif(not hasattr(os, "setresuid"), reason="needs POSIX users")
@pytest.mark.parametrize("file_mode,folder_mode,expected", [
    # an unwritable file is refused before the export, as truncating it would be
    (0o444, 0o755, "IO error: Permission denied (os error 13)\nprevious ['out.csv']\n"),
    # a writable file in a folder that takes no new files is written in place, as it could always be
    (0o644, 0o555, "time,acc_x,acc_y,acc_z ['out.csv']\n"),
])
def test_permissions_decide_as_they_did_for_truncation(make_cwa, open_place, file_mode, folder_mode, expected):
    recording = os.path.join(open_place, "rec.cwa")
    shutil.copy(make_cwa(blocks(1)), recording)
    os.chmod(recording, 0o644)
    child = subprocess.run([sys.executable, "-c", AS_A_USER, recording, os.path.join(open_place, "exports"),
                            str(file_mode), str(folder_mode)], capture_output=True, text=True, timeout=60)
    assert (child.stdout, child.stderr) == (expected, "")

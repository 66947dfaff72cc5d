"""File names reach the system as Python's own open() would hand them over (os.fsencode), so a
name whose bytes are not UTF-8 works like any other; only str is accepted."""
import os
import pathlib
import shutil

import pandas as pd
import pytest

import cwa_builder as cb
import kelpmoor

BLOCKS = [dict(timestamp=cb.packed_time(2023, 11, 14, 22, 13, 20 + k), sample_count=120) for k in range(3)]
# Bytes that are not UTF-8: a surrogate escape in the str gives back the original byte.
ODD_NAMES = [b"rec\xff.cwa", b"\xe9t\xe9.cwa", b"caf\xc3\xa9 \xfe.cwa"]


@pytest.fixture
def plain(make_cwa):
    return make_cwa(BLOCKS)


def odd_copy(plain, raw_name):
    """A copy of the recording under a name with the given bytes; skipped where the system refuses it."""
    target = os.path.join(os.fsencode(os.path.dirname(plain)), raw_name)
    try:
        shutil.copy(os.fsencode(plain), target)
    except (OSError, UnicodeError):
        pytest.skip("this file system does not take names that are not UTF-8")
    return os.fsdecode(target)


@pytest.mark.parametrize("raw_name", ODD_NAMES)
def test_readers_open_names_that_are_not_utf8(plain, raw_name):
    name = odd_copy(plain, raw_name)
    assert kelpmoor.read_metadata(name) == kelpmoor.read_metadata(plain)
    assert kelpmoor.sampling_consistency_report(name) == kelpmoor.sampling_consistency_report(plain)
    pd.testing.assert_frame_equal(kelpmoor.read_cwa_file(name), kelpmoor.read_cwa_file(plain))


@pytest.mark.parametrize("kwargs", [{}, dict(resample_hz=50)])
@pytest.mark.parametrize("raw_name", ODD_NAMES)
def test_csv_reads_and_writes_names_that_are_not_utf8(plain, tmp_path, raw_name, kwargs):
    name = odd_copy(plain, raw_name)
    folder = tmp_path / "exports"
    folder.mkdir()
    kelpmoor.write_cwa_csv(plain, str(folder / "plain.csv"), **kwargs)
    kelpmoor.write_cwa_csv(name, os.fsdecode(os.path.join(os.fsencode(folder), b"out" + raw_name)), **kwargs)
    assert sorted(os.listdir(os.fsencode(folder))) == sorted([b"out" + raw_name, b"plain.csv"])
    with open(os.path.join(os.fsencode(folder), b"out" + raw_name), "rb") as fh:
        assert fh.read() == (folder / "plain.csv").read_bytes()


@pytest.mark.parametrize("odd_side", ["file_path", "output_path"])
def test_the_input_check_sees_through_odd_names(plain, odd_side):
    link = os.path.join(os.fsencode(os.path.dirname(plain)), b"rec\xff.cwa")
    try:
        os.link(os.fsencode(plain), link)
    except OSError:
        pytest.skip("this file system does not take names that are not UTF-8")
    before = pathlib.Path(plain).read_bytes()
    paths = [os.fsdecode(link), plain] if odd_side == "file_path" else [plain, os.fsdecode(link)]
    with pytest.raises(RuntimeError, match="^output_path must not name the input recording file_path$"):
        kelpmoor.write_cwa_csv(*paths)
    assert pathlib.Path(plain).read_bytes() == before


LONE_SURROGATE = "rec\ud800.cwa"  # not a surrogate escape: no bytes stand behind it


@pytest.mark.parametrize("call", [
    lambda p, name: kelpmoor.read_metadata(name),
    lambda p, name: kelpmoor.sampling_consistency_report(name),
    lambda p, name: kelpmoor.read_cwa_file(name),
    lambda p, name: kelpmoor.write_cwa_csv(name, p + ".csv"),
    lambda p, name: kelpmoor.write_cwa_csv(p, name),
])
def test_names_without_bytes_fail_as_os_fsencode_does(plain, call):
    with pytest.raises(UnicodeEncodeError) as expected:
        os.fsencode(LONE_SURROGATE)
    with pytest.raises(UnicodeEncodeError) as raised:
        call(plain, LONE_SURROGATE)
    assert str(raised.value) == str(expected.value)
    assert not os.path.exists(plain + ".csv")


@pytest.mark.parametrize("argument", ["file_path", "output_path"])
@pytest.mark.parametrize("convert", [pathlib.Path, os.fsencode, bytearray])
def test_csv_paths_must_be_str(plain, tmp_path, argument, convert):
    paths = dict(file_path=plain, output_path=str(tmp_path / "out.csv"))
    paths[argument] = convert(os.fsencode(paths[argument]) if convert is bytearray else paths[argument])
    with pytest.raises(TypeError, match=f"^argument '{argument}': '[a-zA-Z]+' object is not a str$"):
        kelpmoor.write_cwa_csv(**paths)
    assert not (tmp_path / "out.csv").exists()

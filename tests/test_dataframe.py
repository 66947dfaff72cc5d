import ctypes
import ctypes.util
import datetime as dt
import gc
import os
import sys
import weakref

import numpy as np
import pandas as pd
import pytest

import cwa_builder as cb
import kelpmoor

T = cb.epoch_of_packed(cb.packed_time(2023, 6, 15, 12, 34, 0))
ACC = ["acc_x", "acc_y", "acc_z"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
AUX = ["temperature", "light", "battery"]
NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)
MB = 1 << 20


def at(second, **kw):
    return {"timestamp": cb.packed_time(2023, 6, 15, 12, 34, second), "rate_code": 0x0A,
            "sample_count": 100, **kw}


# ---------------------------------------------------------------------------------------------
# shape of the frame


@pytest.mark.parametrize("block,kwargs,columns", [
    (dict(fmt=0x62, sample_count=7), {}, ACC + GYRO + AUX),
    (dict(fmt=0x92, sample_count=7), {}, ACC + GYRO + MAG + AUX),
    (dict(fmt=0x92, sample_count=7), dict(include_magnetometer=False), ACC + GYRO + AUX),
    (dict(fmt=0x92, sample_count=7), dict(NO_AUX, include_magnetometer=False), ACC + GYRO),
])
def test_columns_dtypes_and_index(make_cwa, block, kwargs, columns):
    df = kelpmoor.read_cwa_file(make_cwa([block]), **kwargs)
    assert list(df.columns) == columns
    assert [str(t) for t in df.dtypes] == ["float32"] * len(columns)
    assert df.index.name == "timestamp" and str(df.index.dtype) == "datetime64[us]"
    assert cb.index_us(df) == cb.timeline([block]).times_us


UTC_PLUS_2 = dt.timezone(dt.timedelta(hours=2))


@pytest.mark.parametrize("tz,offset_us", [(None, None), (dt.timezone.utc, 0),
                                          (UTC_PLUS_2, 7200000000)])
@pytest.mark.parametrize("cut,count", [(None, 300), (kelpmoor.seconds(0.5, 1.5), 100),
                                       (kelpmoor.blocks(1), 200)])
def test_index_is_device_clock_minus_offset(make_cwa, tz, offset_us, cut, count):
    packets = [at(s) for s in range(3)]
    df = kelpmoor.read_cwa_file(make_cwa(packets), cut=cut, fixed_utc_offset_timezone=tz)
    device = cb.timeline(packets).times_us
    if cut is not None:
        # a cut selects on the device clock, before any offset
        device = device[100:] if cut["type"] == "blocks" else [
            t for t in device if T + 0.5 <= t / 1e6 < T + 1.5]
    assert len(device) == count
    if tz is None:
        assert str(df.index.dtype) == "datetime64[us]" and df.index.tz is None
        assert cb.index_us(df) == device
    else:
        assert str(df.index.dtype) == "datetime64[us, UTC]"
        assert cb.index_us(df) == [t - offset_us for t in device]
    if tz is UTC_PLUS_2 and cut is None:
        assert df.index[0] == pd.Timestamp("2023-06-15T10:34:00", tz="UTC")


# ---------------------------------------------------------------------------------------------
# the order in which problems are reported

class Lost(Exception):
    pass


UNUSABLE, LOST = cb.FixedTz(None), cb.FixedTz(Lost("no offset"))


@pytest.fixture
def files(make_cwa, raw_file, tmp_path):
    return {
        "missing": str(tmp_path / "missing.cwa"),
        "good": make_cwa([at(s) for s in range(3)]),
        "not_cwa": raw_file(b"XX" + bytes(1534)),
        # two one-sample packets: a range between their samples leaves nothing
        "sparse": make_cwa([at(0, sample_count=1), at(0, sample_count=1, timestamp_offset=-50)]),
    }


@pytest.mark.parametrize("file,kwargs,tz,error,message", [
    ("missing", dict(cut={"type": "x"}), UNUSABLE, ValueError, "^cut type must be "),
    ("good", dict(resample_hz=-1.0), LOST, ValueError, "^resample_hz must be a finite value > 0$"),
    ("good", dict(cut=kelpmoor.seconds(10 ** 6)), LOST, RuntimeError,
     "^No samples remain after applying seconds cut$"),
    ("good", dict(cut=kelpmoor.seconds(0, 1)), UNUSABLE, TypeError, "PyDelta"),
    ("not_cwa", dict(), UNUSABLE, TypeError, "PyDelta"),
    ("not_cwa", dict(cut=kelpmoor.blocks(0, 1)), LOST, Lost, "^no offset$"),
    ("sparse", dict(cut=kelpmoor.seconds(0.2, 0.3)), UNUSABLE, TypeError, "PyDelta"),
    ("missing", dict(resample_method="linear"), LOST, Lost, "^no offset$"),
])
def test_report_order(files, file, kwargs, tz, error, message):
    with pytest.raises(error, match=message):
        kelpmoor.read_cwa_file(files[file], fixed_utc_offset_timezone=tz, **kwargs)
    if error in (TypeError, Lost) and file != "good":
        # without the timezone the same call fails later, in the read
        with pytest.raises(RuntimeError):
            kelpmoor.read_cwa_file(files[file], **kwargs)


# ---------------------------------------------------------------------------------------------
# hand-over of the columns to NumPy


def root_array(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def data_address(array):
    return array.__array_interface__["data"][0]


def test_columns_are_handed_over_without_copy(make_cwa):
    block = dict(fmt=0x92, sample_count=26)
    df = kelpmoor.read_cwa_file(make_cwa([block, dict(block, temperature=5)]))
    addresses = set()
    for name in df.columns:
        column = df[name].to_numpy()
        root = root_array(column)
        # the storage belongs to the module's owner object, not to NumPy
        assert not root.flags.owndata and root.base is not None
        assert root.ndim == 1 and root.shape == (52,) and root.strides == (4,)
        assert root.dtype == np.float32 and root.flags.writeable
        # building the frame made no copy
        assert data_address(column) == data_address(root)
        assert column.tobytes() == root.tobytes()
        addresses.add(data_address(root))
    assert len(addresses) == len(df.columns) == 12


def test_column_outlives_the_frame_and_dies_with_its_last_user(make_cwa):
    samples = cb.packed3([(i - 60, 3 * i - 200, 511 - i, i % 4) for i in range(120)])
    path = make_cwa([dict(samples=samples)])
    df = kelpmoor.read_cwa_file(path, **NO_AUX)
    column = df["acc_y"].to_numpy()
    expected = column.tobytes()
    roots = [weakref.ref(root_array(df[c].to_numpy())) for c in df.columns]
    frame = weakref.ref(df)
    assert sys.getrefcount(df) == 2
    del df
    gc.collect()
    assert frame() is None
    # churn the allocator: freed storage would now hold other data
    for _ in range(20):
        kelpmoor.read_cwa_file(path, cut=kelpmoor.seconds(0.5))
    assert column.tobytes() == expected
    assert [r() is None for r in roots] == [True, False, True]
    del column
    gc.collect()
    assert [r() for r in roots] == [None, None, None]


# ---------------------------------------------------------------------------------------------
# memory


_LIBC = ctypes.CDLL(ctypes.util.find_library("c"))


def settled_rss():
    """Resident bytes after collecting garbage and returning free heap pages to the system."""
    gc.collect()
    getattr(_LIBC, "malloc_trim", lambda pad: 0)(0)
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def long_recording(path, blocks):
    """`blocks` packed 100 Hz packets of 100 samples each, one second apart."""
    template = cb.data_block(rate_code=0x0A, sample_count=100, samples=bytes(range(200)) * 2)
    sectors = np.tile(np.frombuffer(template, np.uint8), (blocks, 1))
    secs = np.datetime64("2023-06-15T00:00:00", "s") + np.arange(blocks)
    day, month, year = (secs.astype(f"M8[{u}]") for u in "DMY")
    fields = [(year - np.datetime64("2000", "Y")).astype(int), (month - year).astype(int) + 1,
              (day - month).astype(int) + 1, (secs - day).astype(int)]
    fields[3:] = [fields[3] // 3600, fields[3] // 60 % 60, fields[3] % 60]
    packed = sum(f.astype(np.uint32) << s for f, s in zip(fields, [26, 22, 17, 12, 6, 0]))
    sectors[:, 14:18] = packed.astype("<u4").view(np.uint8).reshape(blocks, 4)
    with open(path, "wb") as fh:
        fh.write(cb.metadata_block() + sectors.tobytes())
    return str(path)


def test_repeated_reads_do_not_accumulate(make_cwa, tmp_path):
    small = make_cwa([dict(fmt=0x92, sample_count=20)])
    medium = long_recording(tmp_path / "medium.cwa", 500)
    assert len(kelpmoor.read_cwa_file(medium)) == 50000
    objects, before = len(gc.get_objects()), settled_rss()
    for _ in range(200):
        df = kelpmoor.read_cwa_file(small)
    del df
    assert len(gc.get_objects()) - objects < 100
    for _ in range(5):
        df = kelpmoor.read_cwa_file(medium, cut=kelpmoor.blocks(0, 499))
        assert len(df) == 49900
        del df
    # one leaked medium read would keep about 1.6 MB
    assert settled_rss() - before < 1 * MB


def under_address_sanitizer():
    """Whether ASan's runtime is loaded (.ci/asan-tests preloads it)."""
    with open("/proc/self/maps") as fh:
        maps = fh.read()
    return "libasan" in maps or "libclang_rt.asan" in maps


# ASan's quarantine holds freed memory back from the system, so resident size cannot show a free.
@pytest.mark.skipif(under_address_sanitizer(), reason="ASan's quarantine keeps freed memory")
def test_deleting_a_large_frame_frees_its_columns(tmp_path):
    path = long_recording(tmp_path / "large.cwa", 50000)
    kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(0, 1))
    baseline = settled_rss()
    df = kelpmoor.read_cwa_file(path, **NO_AUX)
    assert len(df) == 5000000
    assert df.index[-1] == np.datetime64("2023-06-15T13:53:19.990")
    # 5 000 000 rows of one int64 and three float32 values
    assert settled_rss() - baseline >= 95 * MB
    del df
    assert settled_rss() - baseline < 8 * MB

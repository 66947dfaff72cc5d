import ctypes
import ctypes.util
import itertools
import struct

import numpy as np
import pytest

import cwa_builder as cb
import kelpmoor

f32 = np.float32
NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)
ACC = ["acc_x", "acc_y", "acc_z"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
QUIET_NAN = 0x7FC00000
WORDS = [-32768, -32767, -1000, -1, 0, 1, 255, 256, 1000, 16384, 32767]


def read(make_cwa, blocks, **kw):
    return kelpmoor.read_cwa_file(make_cwa(blocks), **{**NO_AUX, **kw})


def bits(df, columns):
    return [cb.f32_bits(df[c].to_numpy()) for c in columns]


def test_packed_words_from_examples(make_cwa):
    df = read(make_cwa, [dict(samples=struct.pack("<II", 0xBFF40001, 0x00000200))])
    assert bits(df, ACC) == [cb.f32_bits([0.015625, -2.0]), cb.f32_bits([4.0, 0.0]),
                             cb.f32_bits([-0.015625, 0.0])]


@pytest.mark.parametrize("scale", range(8))
def test_packed_scaling(make_cwa, scale):
    values = [-512, -300, -1, 0, 1, 257, 511]
    samples = [(x, values[(i + 3) % 7], values[(i + 5) % 7], e)
               for i, (x, e) in enumerate(itertools.product(values, range(4)))]
    light = scale << 13 | 0x155
    df = read(make_cwa, [dict(samples=cb.packed3(samples), light=light)])
    for axis, column in enumerate(ACC):
        expected = [f32(s[axis] * 2 ** s[3]) / cb.acc_divisor(light) for s in samples]
        assert cb.f32_bits(df[column].to_numpy()) == cb.f32_bits(expected)
    assert list(df.columns) == ACC


@pytest.mark.parametrize("scale", range(8))
def test_unpacked_3axis_scaling(make_cwa, scale):
    samples = [(w, WORDS[(i + 4) % len(WORDS)], -w - 1) for i, w in enumerate(WORDS)]
    light = scale << 13
    df = read(make_cwa, [dict(fmt=0x32, samples=cb.unpacked(samples), light=light)])
    for axis, column in enumerate(ACC):
        expected = [f32(s[axis]) / cb.acc_divisor(light) for s in samples]
        assert cb.f32_bits(df[column].to_numpy()) == cb.f32_bits(expected)


def test_unpacked_3axis_example(make_cwa):
    df = read(make_cwa, [dict(fmt=0x32, samples=cb.unpacked([(256, -256, 0)]), light=0x2000)])
    assert [df[c].iloc[0] for c in ACC] == [0.5, -0.5, 0.0]


def six_axis_expected(samples, light):
    k, r = (light >> 10) & 7, cb.gyro_range(light)
    divisor = f32(16.384) if k == 0 else f32(32768) / f32(r)
    gyro = [[f32(s[i]) / divisor for s in samples] for i in range(3)]
    acc = [[f32(s[3 + i]) / cb.acc_divisor(light) for s in samples] for i in range(3)]
    return acc + gyro


def nine_axis_expected(samples, light):
    k, r = (light >> 10) & 7, cb.gyro_range(light)
    mult = f32(0.06103515625) if k == 0 else f32(r) * f32(2.0 ** -15)
    acc_mult = f32(2.0 ** -(8 + (light >> 13)))
    gyro = [[f32(s[i]) * mult for s in samples] for i in range(3)]
    acc = [[f32(s[3 + i]) * acc_mult for s in samples] for i in range(3)]
    mag = [[f32(s[6 + i]) * f32(2.0 ** -15) for s in samples] for i in range(3)]
    return acc + gyro + mag


@pytest.mark.parametrize("fmt,width,expected_of", [(0x62, 6, six_axis_expected),
                                                    (0x92, 9, nine_axis_expected)])
@pytest.mark.parametrize("light", [k << 10 | a << 13 | 7 for k in range(8) for a in (0, 5)])
def test_multi_axis_scaling(make_cwa, fmt, width, expected_of, light):
    samples = [tuple(WORDS[(i + j * 3) % len(WORDS)] for j in range(width))
               for i in range(len(WORDS))]
    df = read(make_cwa, [dict(fmt=fmt, samples=cb.unpacked(samples), light=light)])
    columns = ACC + GYRO + (MAG if width == 9 else [])
    assert list(df.columns) == columns
    assert bits(df, columns) == [cb.f32_bits(col) for col in expected_of(samples, light)]


@pytest.mark.parametrize("fmt,light,word,value", [
    (0x62, 0x0000, 16384, 999.9999389648438),
    (0x92, 0x0000, 16384, 1000.0),
    (0x62, 0x0400, 1000, 122.07030487060547),
    (0x92, 0x0400, 1000, 122.0703125),
])
def test_gyro_divide_versus_multiply(make_cwa, fmt, light, word, value):
    width = 6 if fmt == 0x62 else 9
    sample = (word, 0, 0) + (0,) * (width - 3)
    df = read(make_cwa, [dict(fmt=fmt, samples=cb.unpacked([sample]), light=light)])
    assert cb.f32_bits([df["gyro_x"].iloc[0]]) == cb.f32_bits([value])


@pytest.mark.parametrize("include_magnetometer", [True, False])
def test_magnetometer_selection(make_cwa, include_magnetometer):
    sample = (0,) * 6 + (32767, -32768, 0)
    df = read(make_cwa, [dict(fmt=0x92, samples=cb.unpacked([sample]))],
              include_magnetometer=include_magnetometer)
    if include_magnetometer:
        assert list(df.columns) == ACC + GYRO + MAG
        assert [df[c].iloc[0] for c in MAG] == [0.999969482421875, -1.0, 0.0]
    else:
        assert list(df.columns) == ACC + GYRO


def test_zero_gyroscope_is_still_a_column(make_cwa):
    df = read(make_cwa, [dict(fmt=0x62, sample_count=3)])
    assert list(df.columns) == ACC + GYRO
    assert bits(df, GYRO) == [[0, 0, 0]] * 3


def test_mixed_formats_back_fill_with_nan(make_cwa):
    three = dict(fmt=0x32, samples=cb.unpacked([(256, 0, 0)] * 2))
    six = dict(fmt=0x62, samples=cb.unpacked([(16, 0, -16, 256, 0, 0)] * 3))
    nine = dict(fmt=0x92, samples=cb.unpacked([(0, 0, 0, 256, 0, 0, 32767, 0, 0)]))
    df = read(make_cwa, [three, six, three, nine])
    assert list(df.columns) == ACC + GYRO + MAG
    assert df["acc_x"].tolist() == [1.0] * 8
    gyro = f32(16) / f32(16.384)
    assert cb.f32_bits(df["gyro_x"].to_numpy()) == (
        [QUIET_NAN] * 2 + cb.f32_bits([gyro] * 3) + [QUIET_NAN] * 2 + [0])
    assert cb.f32_bits(df["mag_x"].to_numpy()) == [QUIET_NAN] * 7 + cb.f32_bits([0.999969482421875])


@pytest.mark.parametrize("light,temperature,battery,expected", [
    (341, 0x0155, 0, (49.90234375, 10.0, 3.0)),
    (0xFC00, 0xFD55, 255, (49.90234375, 1.0, 4.494140625)),
    (682 | 0x2000, 0x0000, 128, (-50.0, 100.0, 3.75)),
    (0x0400 | 341, 0x03FF, 1, (249.70703125, 10.0, 3.005859375)),
])
def test_auxiliary_values(make_cwa, light, temperature, battery, expected):
    block = dict(light=light, temperature=temperature, battery=battery, sample_count=4)
    df = kelpmoor.read_cwa_file(make_cwa([block]))
    assert list(df.columns) == ACC + ["temperature", "light", "battery"]
    for column, value in zip(["temperature", "light", "battery"], expected):
        assert cb.f32_bits(df[column].to_numpy()) == cb.f32_bits([value] * 4)
    assert expected == tuple(float(v) for v in cb.aux_values(light, temperature, battery))


def test_light_is_the_c_librarys_powf_for_every_reading(make_cwa):
    """Each of the 1024 readings, upper bits set on half of them, against the powf of the C
    library the module calls: a value computed ahead (a table, a folded constant) must not
    round differently."""
    name = ctypes.util.find_library("m")
    if name is None:
        pytest.skip("no C math library to compare with")
    powf = ctypes.CDLL(name).powf
    powf.argtypes, powf.restype = [ctypes.c_float, ctypes.c_float], ctypes.c_float
    readings = range(1024)
    blocks = [dict(light=r | (0xFC00 if r % 2 else 0), sample_count=1) for r in readings]
    light = kelpmoor.read_cwa_file(make_cwa(blocks), include_temperature=False, include_battery=False)["light"]
    expected = [powf(10.0, float(f32(r) / f32(341.0))) for r in readings]
    assert cb.f32_bits(light.to_numpy()) == cb.f32_bits(expected)


def test_auxiliary_values_follow_each_packet(make_cwa):
    blocks = [dict(temperature=256, battery=0, sample_count=2),
              dict(timestamp=cb.packed_time(2023, 6, 15, 12, 35, 0), temperature=512, battery=100,
                   sample_count=3)]
    df = kelpmoor.read_cwa_file(make_cwa(blocks))
    assert df["temperature"].tolist() == [25.0] * 2 + [100.0] * 3
    assert df["battery"].tolist() == [3.0] * 2 + [float(f32(612 * 6) * f32(1 / 1024))] * 3


@pytest.mark.parametrize("flags", list(itertools.product([False, True], repeat=3)))
def test_default_frame_shape_and_aux_flags(make_cwa, flags):
    names = ["temperature", "light", "battery"]
    df = kelpmoor.read_cwa_file(make_cwa([dict(sample_count=5)]),
                                **{f"include_{n}": f for n, f in zip(names, flags)})
    assert list(df.columns) == ACC + [n for n, f in zip(names, flags) if f]
    assert all(str(t) == "float32" for t in df.dtypes)
    assert df.index.name == "timestamp" and str(df.index.dtype) == "datetime64[us]"
    assert len(df) == 5

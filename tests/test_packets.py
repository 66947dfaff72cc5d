import math
import re

import pytest

import cwa_builder as cb
import kelpmoor

pt = cb.packed_time
T = cb.epoch_of_packed(cb.T0_RAW)
NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)
READERS = {
    "read_metadata": kelpmoor.read_metadata,
    "report": kelpmoor.sampling_consistency_report,
    "read_cwa_file": kelpmoor.read_cwa_file,
}

NON_DATA = [
    cb.zero_sector(),
    cb.ff_sector(),
    cb.raw_sector(b"XA" + b"\x01" * 40),
    cb.raw_sector(b"ax"),
    # a zero sample count hides every other defect of the packet
    cb.data_block(sample_count=0, rate_code=0, fmt=0x31, timestamp=0),
    cb.data_block(sample_count=0, fmt=0x30, timestamp=0xFFFFFFFF),
]


def test_non_data_sectors_are_skipped(make_cwa):
    block = dict(timestamp_offset=10, sample_count=5)
    path = make_cwa([*NON_DATA[:3], block, *NON_DATA[3:]])
    tl = cb.timeline([block])
    md = kelpmoor.read_metadata(path)
    assert md["start_from_data_raw"] == cb.iso_from_us(tl.first_us) == "2023-06-15T12:34:55.900"
    assert md["end_from_data_raw"] == cb.iso_from_us(tl.last_us)
    assert cb.index_us(kelpmoor.read_cwa_file(path, **NO_AUX)) == tl.times_us


def test_only_non_data_sectors(make_cwa):
    path = make_cwa(NON_DATA)
    md = kelpmoor.read_metadata(path)
    assert (md["start_from_data_raw"], md["end_from_data_raw"]) == (None, None)
    with pytest.raises(RuntimeError, match="^No valid sample data found in the specified range$"):
        kelpmoor.read_cwa_file(path)


BAD_PACKETS = [
    # the checks run in a fixed order: rate code, format, capacity, timestamp
    (dict(rate_code=0, sample_count=1), "Old CWA format packets are not supported"),
    (dict(rate_code=0, fmt=0x31, sample_count=999, timestamp=0),
     "Old CWA format packets are not supported"),
    (dict(fmt=0x31, sample_count=1), "Unsupported sample format: 3 axes, packing 1"),
    (dict(fmt=0x60, sample_count=1), "Unsupported sample format: 6 axes, packing 0"),
    (dict(fmt=0x90, sample_count=1), "Unsupported sample format: 9 axes, packing 0"),
    (dict(fmt=0x42, sample_count=1), "Unsupported sample format: 4 axes, packing 2"),
    (dict(fmt=0xC2, sample_count=1), "Unsupported sample format: 12 axes, packing 2"),
    (dict(fmt=0x00, sample_count=1), "Unsupported sample format: 0 axes, packing 0"),
    (dict(fmt=0xFF, sample_count=999, timestamp=0), "Unsupported sample format: 15 axes, packing 15"),
    (dict(fmt=0x30, sample_count=121), "Sample count exceeds packet capacity"),
    (dict(fmt=0x32, sample_count=81), "Sample count exceeds packet capacity"),
    (dict(fmt=0x62, sample_count=41), "Sample count exceeds packet capacity"),
    (dict(fmt=0x92, sample_count=27), "Sample count exceeds packet capacity"),
    (dict(fmt=0x30, sample_count=0xFFFF, timestamp=0), "Sample count exceeds packet capacity"),
    (dict(timestamp=0), "Invalid block timestamp"),
    (dict(timestamp=pt(2023, 2, 29, 1), sample_count=1), "Invalid block timestamp"),
]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("bad,message", BAD_PACKETS, ids=[m for _, m in BAD_PACKETS])
@pytest.mark.parametrize("where", ["first", "last"])
def test_damaged_packet_fails_every_reader(make_cwa, reader, bad, message, where):
    good = dict(timestamp=pt(2023, 1, 1))
    sectors = [bad, good, cb.zero_sector()] if where == "first" else [good, cb.zero_sector(), bad]
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        READERS[reader](make_cwa(sectors))


@pytest.mark.parametrize("fmt,count", [(0x30, 120), (0x32, 80), (0x62, 40), (0x92, 26)])
def test_full_capacity_is_accepted(make_cwa, fmt, count):
    path = make_cwa([dict(fmt=fmt, sample_count=count)])
    df = kelpmoor.read_cwa_file(path, **NO_AUX)
    assert len(df) == count
    assert cb.index_us(df) == cb.timeline([dict(fmt=fmt, sample_count=count)]).times_us


WORKED_800HZ = dict(timestamp=pt(2032, 1, 14, 22, 6, 57), rate_code=0x0D, timestamp_offset=72,
                    sample_count=120)

# (block, literal text of its first sample)
BOUNDS_CASES = [
    (dict(), "2023-06-15T12:34:56"),
    (dict(timestamp_offset=25), "2023-06-15T12:34:55.750"),
    (dict(timestamp_offset=-50), "2023-06-15T12:34:56.500"),
    (dict(timestamp_offset=1, sample_count=7), None),
    (dict(timestamp_offset=-32768, rate_code=0x4F, fmt=0x92), None),
    (dict(timestamp_offset=32767, rate_code=0x0D), None),
    (dict(timestamp_offset=3, rate_code=0x40, sample_count=2), "2023-06-15T12:34:25.280"),
    (dict(timestamp_offset=119, rate_code=0x0B, fmt=0x62), None),
    (WORKED_800HZ, "2032-01-14T22:06:56.909999"),
]


@pytest.mark.parametrize("block,first_text", BOUNDS_CASES)
def test_natural_bounds(make_cwa, block, first_text):
    path = make_cwa([block])
    tl = cb.timeline([block])
    md = kelpmoor.read_metadata(path)
    if first_text is not None:
        assert md["start_from_data_raw"] == first_text
    assert md["start_from_data_raw"] == cb.iso_from_us(tl.first_us)
    assert md["end_from_data_raw"] == cb.iso_from_us(tl.last_us)
    times = cb.index_us(kelpmoor.read_cwa_file(path, **NO_AUX))
    assert times == tl.times_us
    assert times[0] == tl.first_us


def test_800hz_single_precision_lead_decides_the_microsecond(make_cwa):
    # -72/800 is rounded in float32 before the whole second is split off; a plain double
    # sum would put the first sample at ...910000
    times = cb.index_us(kelpmoor.read_cwa_file(make_cwa([WORKED_800HZ]), **NO_AUX))
    E = 1957730817
    assert times[0] == 1957730816909999
    start, end = 1957730816.9099998, 1957730816.9099998 + 0.15000000596046448
    assert times == [math.trunc(((i * (end - start)) / 120 + start) * 1e6) for i in range(120)]
    assert times[0] != math.trunc((E - 72 / 800) * 1e6)


def test_100hz_sample_times_formula(make_cwa):
    times = cb.index_us(kelpmoor.read_cwa_file(make_cwa([dict()]), **NO_AUX))
    assert times == [math.trunc((((i * 1.2000000476837158) / 120) + T) * 1e6) for i in range(120)]

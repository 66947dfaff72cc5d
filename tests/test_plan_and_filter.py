import re
import sys

import pytest

import cwa_builder as cb
import kelpmoor

USIZE_MAX = 2 * sys.maxsize + 1
T = cb.epoch_of_packed(cb.packed_time(2023, 6, 15, 12, 34, 0))
NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)
QUIET_NAN = 0x7FC00000
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
NO_DATA = "No valid sample data found"
NO_DATA_IN_RANGE = "No valid sample data found in the specified range"
BEYOND = "Start block is beyond file size"
CUT_EMPTY = "No samples remain after applying seconds cut"
RANGE_EMPTY = "No samples remain after applying time range"
OLD_FORMAT = "Old CWA format packets are not supported"


def exact(message):
    return f"^{re.escape(message)}$"


def at(second, **kw):
    """A 100 Hz packet stamped `second` s after T; 100 samples make it exactly 1 s long."""
    return {"timestamp": cb.packed_time(2023, 6, 15, 12, 34, second), "rate_code": 0x0A,
            "sample_count": 100, **kw}


def read(path, cut=None, **kw):
    return kelpmoor.read_cwa_file(path, cut=cut, **{**NO_AUX, **kw})


def kept(times_us, start, end, t0_us=None):
    """Samples of a seconds cut, compared in seconds from the first sample's microsecond time."""
    t0 = (times_us[0] if t0_us is None else t0_us) / 1e6
    return [t for t in times_us
            if (start is None or t / 1e6 >= t0 + start) and (end is None or t / 1e6 < t0 + end)]


def by_packet(packets, chosen):
    """The oracle's timestamps of the chosen packets (indices among the data packets)."""
    times, n = cb.timeline(packets).times_us, [p["sample_count"] for p in packets]
    return [t for k in chosen for t in times[sum(n[:k]):sum(n[:k + 1])]]


# ---------------------------------------------------------------------------------------------
# file checks


ONE_BLOCK = cb.metadata_block() + cb.data_block(**at(0))


@pytest.mark.parametrize("cut", [kelpmoor.seconds(), kelpmoor.seconds(1, 2), kelpmoor.blocks(1, 3)])
@pytest.mark.parametrize("data,message", [
    (b"M", "IO error: failed to fill whole buffer"),
    (b"XX" + ONE_BLOCK[2:], "Not a valid CWA file"),
    (b"MD", "File too small to be a valid CWA file"),
    (ONE_BLOCK[:1023], "File too small to be a valid CWA file"),
    (ONE_BLOCK + cb.data_block(**at(1))[:100], "Incomplete CWA data block"),
    (ONE_BLOCK[:1024], BEYOND),
])
def test_file_checks(raw_file, cut, data, message):
    with pytest.raises(RuntimeError, match=exact(message)):
        read(raw_file(data), cut)


# ---------------------------------------------------------------------------------------------
# block ranges

# every packet after the first joins its predecessor's natural end, so each block's timing
# depends on the packets before it
CHAIN = [at(s, timestamp_offset=o, temperature=s) for s, o in
         enumerate([0, -40, 5, 0, 30, -20, -10])]


@pytest.mark.parametrize("cut,packets", [
    (kelpmoor.blocks(2, 5), [2, 3, 4]),
    (kelpmoor.blocks(end=5), [0, 1, 2, 3, 4]),
    (kelpmoor.blocks(start=2), [2, 3, 4, 5, 6]),
    (kelpmoor.blocks(5), [5, 6]),       # block 5 is not data: the chain is found behind it
    (kelpmoor.blocks(6, 7), [5]),
    (kelpmoor.blocks(7), [6]),
    (kelpmoor.blocks(0, 10 ** 9), list(range(7))),
    (kelpmoor.blocks(3, USIZE_MAX), [3, 4, 5, 6]),
])
def test_block_ranges_read_exactly_their_blocks(make_cwa, cut, packets):
    df = read(make_cwa(CHAIN[:5] + [cb.zero_sector()] + CHAIN[5:]), cut, include_temperature=True)
    assert cb.index_us(df) == by_packet(CHAIN, packets)
    temperatures = [cb.aux_values(0, p, 0)[0] for p in packets for _ in range(100)]
    assert cb.f32_bits(df["temperature"]) == cb.f32_bits(temperatures)


# ---------------------------------------------------------------------------------------------
# seconds cuts over 1-second packets

SECONDS = [at(s) for s in range(6)]


@pytest.mark.parametrize("start,end,count,first_offset_us", [
    (2.5, 4, 150, 2500000),
    (2, 3, 100, 2000000),
    (0, None, 600, 0),
    (None, 1e-6, 1, 0),
    (None, None, 600, 0),
    (5.5, 6, 50, 5500000),
    (0.01, 0.02, 1, 10000),
])
def test_seconds_cut_keeps_exactly_its_range(make_cwa, start, end, count, first_offset_us):
    times = cb.index_us(read(make_cwa(SECONDS), kelpmoor.seconds(start, end)))
    whole = cb.timeline(SECONDS).times_us
    assert times == kept(whole, start, end)
    assert len(times) == count and times[0] == T * 1000000 + first_offset_us


# Spans (start after continuity, natural end) on the device clock, in seconds after T:
#   p0 [0, 1)  p1 [1, 2.5)  p2 [1, 2)  p3 [2, 3)  p4 [3, 4)  p5 [1, 2)  p6 [10, 11)  p7 [2, 3)
#   p1 joins p0 across a half-second gap; p2, p5 and p7 end before the previous end (the clock
#   was set back), so they keep their natural starts and lie before spans already read.
#   Non-data sectors sit before p2 and before p7.
JUMPS = [at(0), at(2, timestamp_offset=50), at(1), at(2), at(3), at(1), at(10), at(2)]
JUMP_SECTORS = JUMPS[:2] + [cb.zero_sector()] + JUMPS[2:7] + [cb.ff_sector()] + JUMPS[7:]


@pytest.mark.parametrize("start,end,packets,count", [
    # overlapping spans p3, p4 (the scan stops at p6) widened by one packet on each side
    (2.5, 4, [2, 3, 4, 5], 150),
    # from span 0 to the last span before the first that starts at or after the end, p5,
    # widened to p6
    (None, 4, [0, 1, 2, 3, 4, 5, 6], 600),
    # every span ending after the start: p3, p4, p6, p7, widened to p2
    (2.5, None, [2, 3, 4, 5, 6, 7], 300),
    (None, None, list(range(8)), 800),
])
def test_seconds_cut_selects_by_value_in_widened_blocks(make_cwa, start, end, packets, count):
    df = read(make_cwa(JUMP_SECTORS), kelpmoor.seconds(start, end))
    # bounds count from the first sample of the file, whether or not its block is read
    assert cb.index_us(df) == kept(by_packet(JUMPS, packets), start, end, T * 1000000)
    assert len(df) == count


@pytest.mark.parametrize("sectors,cut,message", [
    (SECONDS[:4], kelpmoor.blocks(4), BEYOND),
    (SECONDS[:4], kelpmoor.blocks(USIZE_MAX - 1, USIZE_MAX), BEYOND),
    ([at(0), cb.zero_sector()], kelpmoor.blocks(end=0), NO_DATA_IN_RANGE),
    ([at(0), cb.zero_sector(), cb.ff_sector()], kelpmoor.blocks(1, 3), NO_DATA_IN_RANGE),
    ([cb.zero_sector(), dict(sample_count=0, rate_code=0, fmt=0x31)], None, NO_DATA_IN_RANGE),
    ([cb.zero_sector(), cb.ff_sector(), dict(sample_count=0)], kelpmoor.seconds(), NO_DATA),
    ([dict(sample_count=0, rate_code=0), cb.zero_sector()], kelpmoor.seconds(end=2), NO_DATA),
    (SECONDS, kelpmoor.seconds(10 ** 6), CUT_EMPTY),
    (SECONDS, kelpmoor.seconds(6, 7), CUT_EMPTY),                 # spans are half-open
    (SECONDS, kelpmoor.seconds(1e-10, 2e-10), CUT_EMPTY),         # both bounds collapse onto t0
    (SECONDS + [at(7)], kelpmoor.seconds(5.5, 5.500000001),
     "range_end_time must be greater than range_start_time"),
    # four samples 0.32 s apart: the range lies between two of them
    ([at(0, rate_code=0x05, sample_count=4)], kelpmoor.seconds(0.4, 0.6), RANGE_EMPTY),
    # one-sample packets; the second joins the first, so its span covers the gap
    ([at(0, sample_count=1), at(0, sample_count=1, timestamp_offset=-50)],
     kelpmoor.seconds(0.2, 0.3), RANGE_EMPTY),
])
def test_read_failures(make_cwa, sectors, cut, message):
    with pytest.raises(RuntimeError, match=exact(message)):
        read(make_cwa(sectors), cut)


@pytest.mark.parametrize("cut,first,count", [
    (kelpmoor.seconds(0, 0.1), 0, 80),
    (kelpmoor.seconds(end=0.05), 0, 40),
    (kelpmoor.seconds(0, 2e-6), 0, 1),
    (kelpmoor.seconds(0.05, 0.1), 40, 40),
])
def test_seconds_count_from_the_first_sample_microsecond(make_cwa, cut, first, count):
    # 800 Hz with the stamp at sample 72: the first sample starts 0.09 s before a whole
    # second, at a time with a fraction below one microsecond
    packets = [dict(timestamp=cb.packed_time(2023, 6, 15, 12, 34, s), rate_code=0x0D,
                    timestamp_offset=72, sample_count=120) for s in range(3)]
    path = make_cwa(packets)
    whole = cb.timeline(packets).times_us
    assert whole[0] == T * 1000000 - 90001
    times = cb.index_us(read(path, cut))
    assert times == kept(whole, cut["start"], cut["end"])
    assert times == whole[first:first + count]
    if first == 0:
        assert cb.iso_from_us(times[0]) == kelpmoor.read_metadata(path)["start_from_data_raw"]


# ---------------------------------------------------------------------------------------------
# channels under a cut

# 25 Hz, 25 samples: 1-second packets, two 3-axis then two 6-axis with zero gyroscope values
MIXED = [at(s, rate_code=0x08, sample_count=25, fmt=0x30 if s < 2 else 0x62, temperature=100 + s)
         for s in range(4)]


@pytest.mark.parametrize("cut,gyro_nans,gyro_values,temperatures", [
    (None, 50, 50, [100] * 25 + [101] * 25 + [102] * 25 + [103] * 25),
    (kelpmoor.seconds(0.5, 1.5), None, 0, [100] * 12 + [101] * 13),
    (kelpmoor.seconds(1.5, 2.5), 12, 13, [101] * 12 + [102] * 13),
    (kelpmoor.seconds(1.95, 2.05), 1, 2, [101, 102, 102]),
    (kelpmoor.blocks(0, 2), None, 0, [100] * 25 + [101] * 25),
])
def test_gyro_columns_under_cuts(make_cwa, cut, gyro_nans, gyro_values, temperatures):
    df = read(make_cwa(MIXED), cut, include_temperature=True)
    assert cb.f32_bits(df["temperature"]) == cb.f32_bits(
        [cb.aux_values(0, t, 0)[0] for t in temperatures])
    if gyro_nans is None:
        assert list(df.columns) == ["acc_x", "acc_y", "acc_z", "temperature"]
        return
    assert list(df.columns) == ["acc_x", "acc_y", "acc_z"] + GYRO + ["temperature"]
    for column in GYRO:
        assert cb.f32_bits(df[column]) == [QUIET_NAN] * gyro_nans + [0] * gyro_values


# ---------------------------------------------------------------------------------------------
# damaged packets


@pytest.mark.parametrize("cut,error", [
    (None, OLD_FORMAT),
    (kelpmoor.seconds(0, 1), OLD_FORMAT),          # the plan walks every sector
    (kelpmoor.blocks(2, 5), OLD_FORMAT),
    (kelpmoor.blocks(4), OLD_FORMAT),              # the backward search meets it first
    (kelpmoor.blocks(0, 3), None),
    (kelpmoor.blocks(5), None),                    # stops at the data packet in block 4
])
def test_damaged_packet(make_cwa, cut, error):
    packets = [at(s) for s in range(6)]
    sectors = packets[:3] + [dict(packets[3], rate_code=0)] + packets[4:]
    path = make_cwa(sectors)
    if error:
        with pytest.raises(RuntimeError, match=exact(error)):
            read(path, cut)
        return
    whole = cb.timeline(packets).times_us
    expected = whole[:300] if cut["start"] == 0 else whole[500:]
    assert cb.index_us(read(path, cut)) == expected

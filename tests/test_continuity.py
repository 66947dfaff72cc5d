import math

import numpy as np
import pandas as pd
import pytest

import cwa_builder as cb
import kelpmoor
from kelpmoor_tools import synth

T = cb.epoch_of_packed(cb.packed_time(2023, 6, 15, 12, 34, 0))
NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)


def at(second, **kw):
    return dict(timestamp=cb.packed_time(2023, 6, 15, 12, 34, second), **kw)


ONE_SECOND = dict(sample_count=100)          # exactly [t, t + 1.0) at 100 Hz

# (packets, whether each packet after the first joins its predecessor's natural end)
CHAINS = {
    "gap_0.4_joins_and_stretches": ([at(0, **ONE_SECOND), at(1, timestamp_offset=-40)], [True]),
    "gap_exactly_1s_breaks": ([at(0, **ONE_SECOND), at(2)], [False]),
    # float32 rounding of 111/100 leaves the gap one double step below 1.0 s
    "gap_just_under_1s_joins": ([at(0, sample_count=111), at(2, timestamp_offset=-11)], [True]),
    "gap_just_over_1s_breaks": ([at(0, **ONE_SECOND), at(2, rate_code=0x0F, timestamp_offset=-1)],
                                [False]),
    "overlap_0.01_joins_and_shrinks": ([at(0, **ONE_SECOND), at(1, timestamp_offset=1)], [True]),
    # the clock set back: the packet ends before the previous end, so it keeps its natural
    # start (joined, its samples would run backwards); the next packet joins it again
    "backwards_jump_keeps_natural_start_then_joins": (
        [at(10, **ONE_SECOND), at(5, **ONE_SECOND), at(6, sample_count=50)], [False, True]),
    "overlap_ending_exactly_at_previous_end_breaks": ([at(0, **ONE_SECOND), at(0, **ONE_SECOND)], [False]),
    "overlap_ending_after_previous_end_joins": ([at(0, **ONE_SECOND), at(0)], [True]),
    "rate_change_joins": ([at(0, **ONE_SECOND), at(1, rate_code=0x49, timestamp_offset=-10)],
                          [True]),
    "long_gap_stays_visible": ([at(0), at(40), at(41, timestamp_offset=-20)], [False, True]),
}

FILLERS = {
    "adjacent": [],
    "non_data_between": [cb.zero_sector(), cb.ff_sector(), cb.data_block(sample_count=0, timestamp=0)],
}


@pytest.mark.parametrize("filler", FILLERS)
@pytest.mark.parametrize("chain", CHAINS)
def test_packet_chain(make_cwa, chain, filler):
    packets, joined = CHAINS[chain]
    sectors = [packets[0]]
    for p in packets[1:]:
        sectors += FILLERS[filler] + [p]
    path = make_cwa(sectors)
    tl = cb.timeline(packets)

    times = cb.index_us(kelpmoor.read_cwa_file(path, **NO_AUX))
    assert times == tl.times_us

    # the join decision, checked against the natural bounds directly
    first_of = 0
    prev_end = None
    for k, p in enumerate(packets):
        n = p.get("sample_count", 120)
        s, e = cb.natural_bounds(p["timestamp"], p.get("timestamp_offset", 0), n,
                                 p.get("rate_code", 0x4A))
        if k:
            expected = prev_end if joined[k - 1] else s
            assert times[first_of] == math.trunc(expected * 1e6)
        prev_end, first_of = e, first_of + n

    md = kelpmoor.read_metadata(path)
    assert md["start_from_data_raw"] == cb.iso_from_us(tl.first_us)
    assert md["end_from_data_raw"] == cb.iso_from_us(tl.last_us)


@pytest.mark.parametrize("rate_hz", [25, 100, 400])
@pytest.mark.parametrize("jump_s", [0.3, 1.0, 5.0, 3600.0])
def test_backward_clock_jumps_never_run_a_packet_backwards(tmp_path, rate_hz, jump_s):
    rec = synth.Recording(duration_s=60, rate_hz=rate_hz, faults=synth.Faults(backward_jumps=((20, jump_s),)))
    path = str(rec.write(tmp_path / "jump.cwa"))
    times = cb.index_us(kelpmoor.read_cwa_file(path, **NO_AUX))
    per_packet = np.asarray(times).reshape(-1, 120)         # packed 3-axis: 120 samples a block
    assert (np.diff(per_packet, axis=1) > 0).all()
    if jump_s > 120 / rate_hz:
        # longer than a packet: the packet after the jump keeps its own clock reading
        assert np.abs(np.asarray(times) / 1e6 - rec.signals().time_s).max() < 2 / rate_hz
    md = kelpmoor.read_metadata(path)
    assert md["start_from_data_raw"] == cb.iso_from_us(times[0])
    assert abs(pd.Timestamp(md["end_from_data_raw"]).value // 1000 - times[-1]) <= 1


def test_first_packet_keeps_its_natural_start_after_leading_non_data(make_cwa):
    path = make_cwa([cb.zero_sector(), cb.ff_sector(), at(0, timestamp_offset=25)])
    times = cb.index_us(kelpmoor.read_cwa_file(path, **NO_AUX))
    assert times[0] == (T - 1) * 1000000 + 750000


@pytest.mark.parametrize("start_block", [1, 2, 3])
def test_block_cut_continues_the_whole_file_chain(make_cwa, start_block):
    # block 1 is not data, so starting at 1 or 2 must both find packet 0's natural end
    packets = [at(0, **ONE_SECOND), at(1, timestamp_offset=-40), at(2, timestamp_offset=5)]
    path = make_cwa([packets[0], cb.zero_sector(), packets[1], packets[2]])
    whole = cb.index_us(kelpmoor.read_cwa_file(path, **NO_AUX))
    cut = cb.index_us(kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(start_block), **NO_AUX))
    skip = 100 if start_block < 3 else 220
    assert whole == cb.timeline(packets).times_us
    assert cut == whole[skip:]

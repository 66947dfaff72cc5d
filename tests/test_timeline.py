"""The timeline finds each discontinuity a recording holds, where and as large as the module sees it."""
import math

import numpy as np
import pytest

import cwa_builder as cb
import kelpmoor
from kelpmoor_tools import _layout, _packets, synth, timeline

F = synth.Faults


def first_block_after(at_s: float) -> int:
    return math.ceil(at_s * 100 / 120)


# Expected rows (kind, sector slot, size, detail); the non-data sectors written before a data
# block shift the slots of all later blocks.
@pytest.mark.parametrize("faults,expected", [
    (F(gaps=((30, 10), (60, 2.5)), non_data_sectors=((5, "erased"), (5, "zeros"), (40, "empty"))),
     [("non_data", 5, 2, "1 erased sector, 1 zeroed sector"), ("gap", first_block_after(30) + 2, 10, None),
      ("non_data", 40 + 2, 1, "1 empty data block"), ("gap", first_block_after(60) + 3, 2.5, None)]),
    (F(backward_jumps=((20, 5),), format_change=(50, 6, None), non_data_sectors=((100, "erased"),)),
     [("backward_jump", first_block_after(20), 5, None),
      ("format_change", first_block_after(50), math.nan, "3 axes packed -> 6 axes"),
      ("non_data", 100, 1, "1 erased sector")]),
    (F(damaged_blocks=(10,), damage="count", jitter_s=0.02),
     [("damaged", 10, math.nan, "Sample count exceeds packet capacity"), ("gap", 11, 1.2, None)]),
    (F(jitter_s=0.05), []),
])
def test_finds_the_injected_faults(tmp_path, faults, expected):
    rec = synth.Recording(duration_s=90, seed=2, faults=faults)
    path = str(rec.write(tmp_path / "rec.cwa"))
    rows = timeline(path)
    assert rows.dtypes.astype(str).to_dict() == dict(
        kind="object", block="int64", time_before="datetime64[us]", time_after="datetime64[us]",
        size="float64", detail="object")
    assert list(zip(rows["kind"], rows["block"])) == [e[:2] for e in expected]
    np.testing.assert_allclose(rows["size"], [e[2] for e in expected], atol=0.02)
    for (_, _, _, detail), got in zip(expected, rows["detail"]):
        assert detail is None or got == detail
    if faults.damaged_blocks:
        return
    # A block that is not joined starts at its own clock reading: the module's first sample there.
    times = kelpmoor.read_cwa_file(path).index.asi8
    breaks = rows[rows["kind"].isin(["gap", "backward_jump"])]
    for block, after in zip(breaks["block"], breaks["time_after"]):
        data_block = block - rows["size"][(rows["kind"] == "non_data") & (rows["block"] < block)].sum()
        assert after.value // 1000 == times[int(data_block) * 120]


def test_rate_change_and_partial_sector(make_cwa):
    t1 = cb.packed_time(2023, 6, 15, 12, 34, 57)
    path = make_cwa([cb.data_block(), cb.data_block(timestamp=t1, rate_code=0x49, sample_count=60)],
                    trailing=b"AX" * 10)
    rows = timeline(path)
    assert list(zip(rows["kind"], rows["block"])) == [("rate_change", 1), ("damaged", 2)]
    assert rows["size"].iloc[0] == 50.0 and rows["detail"].iloc[0] == "100 Hz -> 50 Hz"
    assert rows["detail"].iloc[1] == "Incomplete CWA data block (20 bytes)"


@pytest.mark.parametrize("seed", range(3))
def test_natural_bounds_are_the_modules(make_cwa, seed):
    """Start and end of blocks of random rate, offset and count, against the module's first
    and last sample of a one-block read."""
    rng = np.random.default_rng(seed)
    for _ in range(40):
        fmt = int(rng.choice(list(_layout.BYTES_PER_SAMPLE)))
        fields = dict(rate_code=int(rng.integers(1, 256)), fmt=fmt, timestamp_offset=int(rng.integers(-32768, 32768)),
                      sample_count=int(rng.integers(1, _layout.samples_per_block(fmt) + 1)))
        block = np.frombuffer(cb.data_block(**fields), dtype=_layout.DATA_DTYPE)
        (start,), (end,) = _packets.natural_bounds(block, np.ones(1, bool))
        n = fields["sample_count"]
        times = kelpmoor.read_cwa_file(make_cwa([cb.data_block(**fields)])).index.asi8
        assert times[0] == math.trunc(start * 1e6), fields
        assert times[-1] == math.trunc((((n - 1) * (end - start)) / n + start) * 1e6), fields

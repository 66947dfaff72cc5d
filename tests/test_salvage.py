"""Salvage: the copy reads as the undamaged twin less the dropped blocks, and every verdict is
the module's own."""
import hashlib
from dataclasses import replace

import numpy as np
import pytest

import cwa_builder as cb
import kelpmoor
from kelpmoor_tools import _layout, synth
from kelpmoor_tools.salvage import salvage

F = synth.Faults


def rows_of(blocks, n, spb):
    mask = np.zeros(n, bool)
    for b in blocks:
        mask[b * spb:(b + 1) * spb] = True
    return mask


@pytest.mark.parametrize("damage", synth.DAMAGE_KINDS)
@pytest.mark.parametrize("settings,damaged,non_data", [
    (dict(), (0, 7, 8, 30), ((8, "erased"),)),
    (dict(axes=6, rate_hz=50), (5, 149), ((0, "zeros"), (5, "empty"))),
])
def test_copy_reads_as_the_twin_less_the_dropped_blocks(tmp_path, damage, settings, damaged, non_data):
    rec = synth.Recording(duration_s=120, seed=3, **settings,
                          faults=F(damaged_blocks=damaged, damage=damage, non_data_sectors=non_data))
    src = rec.write(tmp_path / "damaged.cwa")
    twin = kelpmoor.read_cwa_file(str(replace(rec, faults=F(non_data_sectors=non_data)).write(tmp_path / "twin.cwa")))
    with pytest.raises(RuntimeError) as refused:
        kelpmoor.read_cwa_file(str(src))
    before = hashlib.sha256(src.read_bytes()).digest()
    report = salvage(src, tmp_path / "copy.cwa")
    assert hashlib.sha256(src.read_bytes()).digest() == before
    slots = [b + sum(at <= b for at, _ in non_data) for b in damaged]
    assert report["block"].tolist() == slots and report["offset"].tolist() == [1024 + 512 * s for s in slots]
    assert report["problem"].iloc[0] == str(refused.value)

    spb = _layout.samples_per_block(_layout.format_byte(rec.axes, rec.axes == 3))
    kept = ~rows_of(damaged, len(twin), spb)
    copy = kelpmoor.read_cwa_file(str(tmp_path / "copy.cwa"))
    assert copy.columns.tolist() == twin.columns.tolist()
    np.testing.assert_array_equal(copy.to_numpy(), twin.to_numpy()[kept])
    # Only the block after a dropped one loses its join, and keeps its own clock reading.
    rejoined = rows_of([b + 1 for b in damaged if b + 1 not in damaged], len(twin), spb)
    np.testing.assert_array_equal(copy.index.asi8[~rejoined[kept]], twin.index.asi8[kept & ~rejoined])
    # The estimated spans hold the lost samples, give or take a sample period of jitter.
    times, period = twin.index.asi8, 1e6 / rec.rate_hz
    for b, start, end in zip(damaged, report["start"], report["end"]):
        assert abs(start.value // 1000 - times[b * spb]) <= period
        assert abs(end.value // 1000 - (times[b * spb + spb - 1] + period)) <= period


@pytest.mark.parametrize("seed", [None, 0, 1, 2, 3])
def test_partial_last_sector_is_dropped(tmp_path, seed):
    full = synth.Recording(duration_s=60, seed=seed or 0).write(tmp_path / "full.cwa")
    size = full.stat().st_size
    if seed is not None:
        size = int(np.random.default_rng(seed).integers(1024 + 512, size))
        size += size % 512 == 0
    (tmp_path / "cut.cwa").write_bytes(full.read_bytes()[:size])
    report = salvage(tmp_path / "cut.cwa", tmp_path / "copy.cwa")
    blocks = (size - 1024) // 512
    cut = [] if seed is None else [1024 + 512 * blocks]
    assert report["block"].isna().tolist() == [True] * len(cut) and report["offset"].tolist() == cut
    assert report["problem"].tolist() == ["Incomplete CWA data block"] * len(cut)
    assert report.dtypes.astype(str).tolist() == ["Int64", "int64", "object", "datetime64[us]", "datetime64[us]"]
    copy = kelpmoor.read_cwa_file(str(tmp_path / "copy.cwa"))
    twin = kelpmoor.read_cwa_file(str(full), cut=kelpmoor.blocks(0, blocks))
    np.testing.assert_array_equal(copy.index.asi8, twin.index.asi8)
    np.testing.assert_array_equal(copy.to_numpy(), twin.to_numpy())


# Dates at the edges of the calendar: 29 February of a common and a leap year, 31 April, 30 June.
EDGE_STAMPS = [cb.packed_time(2023, 2, 29), cb.packed_time(2024, 2, 29), cb.packed_time(2025, 4, 31),
               cb.packed_time(2063, 6, 30, 23, 59, 59), cb.packed_time(2000, 1, 1, 24)]


def random_sectors(rng, n):
    """Blocks with random header fields, a few in range, most not; and some random bytes."""
    def pick(*options):
        return int(rng.choice(options))
    for _ in range(n):
        stamp = cb.packed_time(*(int(v) for v in rng.integers([2000, 0, 0, 0, 0, 0], [2064, 16, 32, 26, 62, 62])))
        kind = rng.random()
        yield b"AX" + rng.bytes(510) if kind < 0.1 else rng.bytes(512) if kind < 0.15 else cb.data_block(
            timestamp=pick(stamp, 0, 0xFFFFFFFF, cb.T0_RAW, *EDGE_STAMPS),
            rate_code=pick(0, rng.integers(0, 256), 0x4A, 0x4A, 0x4A),
            fmt=pick(0x30, 0x32, 0x62, 0x92, 0x30, 0x92, rng.integers(0, 256)),
            sample_count=pick(0, rng.integers(0, 27), rng.integers(0, 130), rng.integers(0, 65536)),
            timestamp_offset=int(rng.integers(-32768, 32768)))


@pytest.mark.parametrize("seed", range(3))
def test_verdicts_are_the_modules(tmp_path, make_cwa, seed):
    sectors = list(random_sectors(np.random.default_rng(seed), 150))
    report = salvage(make_cwa(sectors + [cb.data_block()]), tmp_path / "copy.cwa")
    found = dict(zip(report["block"], report["problem"]))
    for slot, sector in enumerate(sectors):
        try:
            kelpmoor.read_cwa_file(make_cwa([sector]))
            module = None
        except RuntimeError as exc:
            module = None if str(exc) == "No valid sample data found in the specified range" else str(exc)
        assert found.get(slot) == module, f"sector {slot}"


@pytest.mark.parametrize("content,dst,message", [
    (b"MD" + bytes(500), "copy.cwa", "cannot hold the 1024-byte metadata block"),
    (cb.data_block() * 3, "copy.cwa", "does not start with a metadata block"),
    (cb.metadata_block(), "copy.cwa", "no readable data block"),
    (cb.metadata_block() + cb.data_block(rate_code=0) + cb.ff_sector(), "copy.cwa", "no readable data block"),
    (cb.metadata_block() + b"AX" * 100, "copy.cwa", "no readable data block"),
    (cb.metadata_block() + cb.data_block(rate_code=0) + cb.data_block(), "./src.cwa", "never changes its source"),
])
def test_refusals_leave_no_copy_and_the_source_alone(tmp_path, content, dst, message):
    src = tmp_path / "src.cwa"
    src.write_bytes(content)
    with pytest.raises(ValueError, match=message):
        salvage(src, tmp_path / dst)
    assert [p.name for p in tmp_path.iterdir()] == ["src.cwa"] and src.read_bytes() == content

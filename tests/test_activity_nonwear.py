"""Non-wear and the window statistics beneath it, on scripted signals held in memory."""
import numpy as np
import pandas as pd
import pytest

from kelpmoor_tools.activity import _stream
from kelpmoor_tools.activity.nonwear import nonwear_epochs

RATE = 10.0
START_US = 1_709_542_800_000_000 + 3_700_000   # a clock reading that is not on a window edge


def scripted(minutes_of, seed=0):
    """A signal at 10 Hz built from ("wear" | "sleep" | "off", minutes) pieces, and the
    per-sample label."""
    rng = np.random.default_rng(seed)
    parts, labels = [], []
    for kind, minutes in minutes_of:
        n = int(minutes * 60 * RATE)
        if kind == "wear":      # a new posture every ~30 s and arm movement
            g = np.repeat(rng.standard_normal((n // 300 + 1, 3)), 300, axis=0)[:n]
            g /= np.linalg.norm(g, axis=1, keepdims=True)
            v = g + rng.normal(0, 0.05, (n, 3))
        elif kind == "sleep":   # lying still between turns 5 to 40 minutes apart, breathing
            turns = np.cumsum(rng.uniform(5, 40, 20) * 60 * RATE).astype(int)
            g = rng.standard_normal((21, 3))
            g /= np.linalg.norm(g, axis=1, keepdims=True)
            v = g[np.searchsorted(turns, np.arange(n), side="right")]
            v = v + 0.004 * np.sin(np.arange(n) / RATE * 2 * np.pi / 4)[:, None] + rng.normal(0, 0.003, (n, 3))
        else:                   # on a table
            v = np.array([0.02, -0.05, 0.998]) + rng.normal(0, 0.003, (n, 3))
        parts.append(v.astype(np.float32))
        labels += [kind] * n
    v = np.concatenate(parts)
    time_us = START_US + (np.arange(len(v)) * (1e6 / RATE)).astype(np.int64)
    chunk = _stream.Chunk(time_us, *np.ascontiguousarray(v.T), np.full(len(v), 30.0, np.float32))
    return chunk, np.array(labels)


def epoch_stats(chunk, pieces=1):
    """Per-epoch statistics of a chunk, the chunk read as `pieces` consecutive parts."""
    cut = np.linspace(0, len(chunk.time_us), pieces + 1).astype(int)
    parts = [_stream.Chunk(*(a[lo:hi] for a in (chunk.time_us, chunk.x, chunk.y, chunk.z, chunk.temperature)))
             for lo, hi in zip(cut[:-1], cut[1:])]
    return _stream.join([_stream.window_stats(p, 5_000_000, enmo=True, extremes=True) for p in parts])


@pytest.mark.parametrize("pieces", [2, 7])
def test_statistics_do_not_depend_on_where_the_reads_are_cut(pieces):
    chunk, _ = scripted([("wear", 30), ("off", 20)])
    whole, split = epoch_stats(chunk), epoch_stats(chunk, pieces)
    assert whole.keys() == split.keys()
    np.testing.assert_array_equal(whole["id"], split["id"])
    np.testing.assert_array_equal(whole["n"], split["n"])
    for key in whole:
        np.testing.assert_allclose(split[key], whole[key], rtol=1e-6, atol=1e-9, err_msg=key)
    # The spread is the sum of squared deviations of the samples themselves.
    first = slice(0, int(whole["n"][0]))
    assert whole["vx"][0] == pytest.approx(((chunk.x[first] - chunk.x[first].mean(dtype=np.float64)) ** 2).sum(), rel=1e-4)


def test_a_clock_set_back_starts_new_windows():
    time_us = np.array([0, 1, 2, 7, 8, 3, 4, 9], dtype=np.int64) * 1_000_000
    ids, starts = _stream.segments(time_us, 5_000_000)
    assert ids.tolist() == [0, 1, 0, 1] and starts.tolist() == [0, 3, 5, 7]


def flagged_minutes(chunk, labels, trim):
    stats = epoch_stats(chunk, 3)
    flags = nonwear_epochs(stats, 5.0, RATE, trim=trim)
    epoch_of = (chunk.time_us // 5_000_000 - stats["id"][0]).astype(int)
    per_sample = flags[epoch_of]
    off = labels == "off"
    found = (per_sample & off).sum() / RATE / 60
    wrongly = (per_sample & ~off).sum() / RATE / 60
    return found, off.sum() / RATE / 60, wrongly


@pytest.mark.parametrize("bout_min", [75, 90, 150])
@pytest.mark.parametrize("trim", [False, True])
def test_bouts_off_the_wrist_are_found_and_worn_time_is_not(bout_min, trim):
    chunk, labels = scripted([("wear", 47), ("off", bout_min), ("wear", 60), ("sleep", 300), ("wear", 40)], seed=bout_min)
    found, truth, wrongly = flagged_minutes(chunk, labels, trim)
    assert wrongly == 0
    assert found >= truth - (1 if trim else 30)


def test_a_short_stillness_and_a_night_asleep_are_worn():
    chunk, labels = scripted([("wear", 60), ("off", 50), ("wear", 30), ("sleep", 480), ("wear", 30)], seed=5)
    found, _, wrongly = flagged_minutes(chunk, labels, trim=True)
    assert found == 0 and wrongly == 0


@pytest.fixture(scope="module")
def labelled_days(tmp_path_factory):
    """Three synthetic days with bouts off the wrist, and each epoch's true label."""
    from kelpmoor_tools import synth
    bouts = ((0, 14.0, 1.25), (1, 9.5, 1.5), (1, 19.0, 3.0), (2, 11.0, 0.5))
    rec = synth.Recording(duration_s=3 * 86400, rate_hz=12.5, seed=4,
                          segments=synth.day_schedule(3, nonwear=bouts, seed=4))
    path = str(rec.write(tmp_path_factory.mktemp("nonwear") / "days.cwa"))
    truth = rec.signals()
    epoch = (np.round(truth.time_s * 1e6).astype(np.int64)) // 5_000_000
    ids, first = np.unique(epoch, return_index=True)
    return path, pd.Series(np.asarray(truth.label)[first], index=ids)


@pytest.mark.parametrize("trim, most_lost_min", [(False, 30), (True, 1)])
def test_bouts_in_a_synthetic_recording_match_its_labels(labelled_days, trim, most_lost_min):
    from kelpmoor_tools import activity
    path, label = labelled_days
    epochs = activity.process(path, nonwear_trim=trim).epochs
    ids = epochs.index.asi8 // 5_000_000
    truth = label.reindex(ids).to_numpy()
    flag = epochs["nonwear"].to_numpy()
    off = truth == "nonwear"
    worn = np.isin(truth, ["wear", "sleep", "activity"])
    assert (flag & worn).sum() <= 0.01 * worn.sum()
    edges = np.flatnonzero(np.diff(np.concatenate(([0], off.astype(np.int8), [0]))))
    lengths = []
    for a, b in zip(edges[::2], edges[1::2]):
        lengths.append((b - a) / 12)
        if lengths[-1] >= 75:
            assert (b - a - flag[a:b].sum()) / 12 <= most_lost_min
        else:
            assert not flag[a:b].any()
    assert sorted(lengths) == pytest.approx([30, 75, 90, 180], abs=0.2)

"""Non-wear against a synthetic recording's labels, and the window statistics beneath it."""
import numpy as np
import pandas as pd
import pytest

from kelpmoor_tools.activity import _stream


def moving_then_still(seed=0, rate=10.0):
    """25 minutes of arm movement, then 25 on a table, at 10 Hz, from a clock reading that is
    not on a window edge."""
    rng = np.random.default_rng(seed)
    g = np.repeat(rng.standard_normal((50, 3)), 300, axis=0)
    v = np.concatenate([g / np.linalg.norm(g, axis=1, keepdims=True) + rng.normal(0, 0.05, g.shape),
                        np.array([0.02, -0.05, 0.998]) + rng.normal(0, 0.003, g.shape)]).astype(np.float32)
    time_us = 1_709_542_803_700_000 + (np.arange(len(v)) * (1e6 / rate)).astype(np.int64)
    return _stream.Chunk(time_us, *np.ascontiguousarray(v.T), np.full(len(v), 30.0, np.float32))


def epoch_stats(chunk, pieces):
    cut = np.linspace(0, len(chunk.time_us), pieces + 1).astype(int)
    parts = [_stream.Chunk(*(a[lo:hi] for a in (chunk.time_us, chunk.x, chunk.y, chunk.z, chunk.temperature)))
             for lo, hi in zip(cut[:-1], cut[1:])]
    stats = [_stream.window_stats(p, 5_000_000, enmo=True, extremes=True) for p in parts]
    joined = {k: np.concatenate([p[k] for p in stats]) for k in stats[0]}
    # The runs of one window that meet at a border become one.
    return _stream.combine(joined, _stream.run_starts(joined["id"])) if pieces > 1 else joined


@pytest.mark.parametrize("pieces", [2, 7])
def test_statistics_do_not_depend_on_where_the_reads_are_cut(pieces):
    chunk = moving_then_still()
    whole, split = epoch_stats(chunk, 1), epoch_stats(chunk, pieces)
    assert whole.keys() == split.keys()
    np.testing.assert_array_equal(whole["id"], split["id"])
    np.testing.assert_array_equal(whole["n"], split["n"])
    for key in whole:
        np.testing.assert_allclose(split[key], whole[key], rtol=1e-6, atol=1e-9, err_msg=key)
    # The spread is the sum of squared deviations of the samples themselves.
    first = slice(0, int(whole["n"][0]))
    assert whole["vx"][0] == pytest.approx(((chunk.x[first] - chunk.x[first].mean(dtype=np.float64)) ** 2).sum(), rel=1e-6)


def test_a_clock_set_back_starts_new_windows():
    time_us = np.array([0, 1, 2, 7, 8, 3, 4, 9], dtype=np.int64) * 1_000_000
    ones = np.ones(len(time_us), dtype=np.float32)
    runs = _stream.window_stats(_stream.Chunk(time_us, ones, ones, ones, ones), 5_000_000)
    assert runs["id"].tolist() == [0, 1, 0, 1] and runs["n"].tolist() == [3, 2, 2, 1]


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
    truth = label.reindex(epochs.index.asi8 // 5_000_000).to_numpy()
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
        else:    # shorter than a window: never non-wear
            assert not flag[a:b].any()
    assert sorted(lengths) == pytest.approx([30, 75, 90, 180], abs=0.2)

"""The compiled per-window sums against a plain NumPy computation of the same statistics."""
import numpy as np
import pytest

from kelpmoor_tools import _window_sums
from kelpmoor_tools.activity import _stream
from kelpmoor_tools.activity.calibrate import Calibration

CORRECTION = Calibration("calibrated", "", 0.0, 0.0, 0, (0.031, -0.047, 0.012), (1.021, 0.983, 0.994),
                         (0.0021, 0.0, -0.0013), 27.4)


def recording(seed, *, set_backs, start_us, dyadic):
    """Samples at irregular steps with gaps and clock set backs; `dyadic` values (multiples of
    1/256, small runs) make every sum exact in any order."""
    rng = np.random.default_rng(seed)
    step = rng.choice([10_000, 40_000, 2_500_000], size=6000, p=[0.9, 0.09, 0.01])
    step[rng.choice(len(step), set_backs, replace=False)] = -3_700_000
    time_us = start_us + np.cumsum(step)
    values = rng.normal(0, 0.6, (4, len(step)))
    values[3] = 25 + 10 * values[3]
    if dyadic:
        values = np.round(values * 256) / 256
    return _stream.Chunk(time_us.astype(np.int64), *values.astype(np.float32))


def reference(chunk, width_us, calibration):
    """The statistics computed the plain way: a run ends where the window number changes or
    the clock goes back."""
    t = chunk.time_us
    window = t // width_us
    starts = np.flatnonzero(np.concatenate(([True], (window[1:] != window[:-1]) | (t[1:] < t[:-1]))))
    n = np.diff(np.append(starts, len(t))).astype(np.float64)
    temperature = chunk.temperature.astype(np.float64)
    axes = [v.astype(np.float64) for v in (chunk.x, chunk.y, chunk.z)]
    if calibration is not None:
        axes = calibration.apply(*axes, temperature)
    out = {"id": window[starts], "n": n, "temperature": np.add.reduceat(temperature, starts) / n}
    for name, v in zip("xyz", axes):
        total = np.add.reduceat(v, starts)
        out["m" + name] = total / n
        out["v" + name] = np.maximum(np.add.reduceat(v * v, starts) - total * total / n, 0.0)
        out["lo" + name] = np.minimum.reduceat(v, starts)
        out["hi" + name] = np.maximum.reduceat(v, starts)
    norm = np.sqrt(axes[0] ** 2 + axes[1] ** 2 + axes[2] ** 2)
    out["enmo"] = np.add.reduceat(np.maximum(norm - 1.0, 0.0), starts)
    return out


@pytest.mark.parametrize("width_us", [1_000_000, 5_000_000, 7_300_000])
@pytest.mark.parametrize("set_backs, start_us", [(0, 1_709_542_803_700_000), (3, 1_709_542_803_700_000),
                                                 (2, -40_123_456)])   # before 1970: floor, not truncation
@pytest.mark.parametrize("calibrated", [False, True])
def test_runs_equal_the_plain_computation(width_us, set_backs, start_us, calibrated):
    chunk = recording(width_us + set_backs, set_backs=set_backs, start_us=start_us, dyadic=not calibrated)
    calibration = CORRECTION if calibrated else None
    got = _stream.window_stats(chunk, width_us, calibration, enmo=True, extremes=True)
    want = reference(chunk, width_us, calibration)
    assert got.keys() == want.keys()
    np.testing.assert_array_equal(got["id"], want["id"])
    np.testing.assert_array_equal(got["n"], want["n"])
    for key in ("lox", "loy", "loz", "hix", "hiy", "hiz"):
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)
    # Exact sums make the means and spreads exact too; otherwise only the order of the sums differs.
    exact = ("temperature", "mx", "my", "mz", "vx", "vy", "vz") if not calibrated else ()
    for key in want:
        if key in exact:
            np.testing.assert_array_equal(got[key], want[key], err_msg=key)
        else:
            np.testing.assert_allclose(got[key], want[key], rtol=1e-12, atol=1e-12, err_msg=key)


@pytest.mark.parametrize("enmo, extremes, keys", [
    (False, False, set()), (True, False, {"enmo"}), (False, True, {"lox", "loy", "loz", "hix", "hiy", "hiz"})])
def test_only_the_asked_statistics_come_back_and_empty_input_gives_no_run(enmo, extremes, keys):
    basic = {"id", "n", "temperature", "mx", "my", "mz", "vx", "vy", "vz"}
    empty = _stream.Chunk(np.zeros(0, np.int64), *np.zeros((4, 0), np.float32))
    got = _stream.window_stats(empty, 5_000_000, CORRECTION, enmo=enmo, extremes=extremes)
    assert set(got) == basic | keys and all(len(v) == 0 for v in got.values())


def test_the_same_samples_give_the_same_bits_whatever_their_memory():
    chunk = recording(5, set_backs=1, start_us=0, dyadic=False)
    first = _stream.window_stats(chunk, 5_000_000, CORRECTION, enmo=True, extremes=True)
    moved = _stream.Chunk(*(np.concatenate([a[:1], a])[1:] for a in
                            (chunk.time_us, chunk.x, chunk.y, chunk.z, chunk.temperature)))
    again = _stream.window_stats(moved, 5_000_000, CORRECTION, enmo=True, extremes=True)
    for key in first:
        np.testing.assert_array_equal(again[key], first[key], err_msg=key)


@pytest.mark.parametrize("change, error, message", [
    (dict(time=np.zeros(4)), TypeError, "time_us must be a one-dimensional contiguous array of int64"),
    (dict(x=np.zeros(4)), TypeError, "x must be a one-dimensional contiguous array of float32"),
    (dict(z=np.zeros((2, 2), np.float32)), TypeError, "z must be a one-dimensional"),
    (dict(temperature=np.zeros(3, np.float32)), ValueError, "must be equally long"),
    (dict(width=0), ValueError, "width_us must be positive"),
    (dict(correction=((0, 0, 0), (1, 1, 1))), TypeError, "correction must be"),
])
def test_malformed_input_is_refused_with_what_is_wrong(change, error, message):
    args = dict(time=np.arange(4, dtype=np.int64), x=np.zeros(4, np.float32), y=np.zeros(4, np.float32),
                z=np.zeros(4, np.float32), temperature=np.zeros(4, np.float32), width=10, correction=None)
    args.update(change)
    with pytest.raises(error, match=message):
        _window_sums.window_sums(*args.values(), True)


def plain_sphere_sums(v, dt, offset, scale, coefficient, weighted):
    c = (v + offset) * scale + dt[:, None] * coefficient
    length = np.linalg.norm(c, axis=1)
    distance = np.abs(length - 1.0)
    w = 1.0 / np.maximum(distance, 0.01) if weighted else np.ones(len(dt))
    pulled = c / length[:, None] * w[:, None]
    wv = v * w[:, None]
    return (w.sum(), (w * dt).sum(), (w * dt * dt).sum(), wv.sum(0), (wv * v).sum(0), (wv * dt[:, None]).sum(0),
            pulled.sum(0), (pulled * v).sum(0), (pulled * dt[:, None]).sum(0), distance.sum())


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("offset, scale, coefficient", [
    ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (0.0, 0.0, 0.0)),
    ((0.05, -0.08, 0.02), (0.97, 1.04, 1.01), (0.003, -0.002, 0.0)),
])
def test_sphere_sums_equal_the_plain_computation(weighted, offset, scale, coefficient):
    rng = np.random.default_rng(len(offset) + weighted)
    g = rng.standard_normal((3000, 3))
    v = g / np.linalg.norm(g, axis=1, keepdims=True) * rng.uniform(0.95, 1.05, (3000, 1))
    dt = rng.uniform(-6.0, 6.0, 3000)
    got = _window_sums.sphere_sums(*np.ascontiguousarray(v.T), dt, (offset, scale, coefficient, 0.0), weighted)
    want = plain_sphere_sums(v, dt, np.array(offset), np.array(scale), np.array(coefficient), weighted)
    assert len(got) == len(want)
    for g_part, w_part in zip(got, want):
        np.testing.assert_allclose(g_part, w_part, rtol=1e-11)


def test_windows_on_the_sphere_weigh_100_each():
    on = np.ascontiguousarray(np.eye(3) * [1, -1, 1])
    sums = _window_sums.sphere_sums(*on, np.zeros(3), ((0, 0, 0), (1, 1, 1), (0, 0, 0), 0.0), True)
    assert sums[0] == 300.0 and sums[-1] == 0.0


def test_sphere_sums_refuse_unequal_windows():
    with pytest.raises(ValueError, match="^vx, vy, vz and dt must be equally long$"):
        _window_sums.sphere_sums(np.zeros(3), np.zeros(3), np.zeros(2), np.zeros(3), ((0, 0, 0), (1, 1, 1), (0, 0, 0), 0.0), True)


@pytest.fixture
def restore_kernel():
    active = _window_sums.kernels()[1]
    yield
    _window_sums.use_kernel(active)


@pytest.mark.parametrize("kernel", _window_sums.kernels()[0])
def test_every_kernel_gives_the_bits_of_the_portable_one(restore_kernel, kernel):
    # Runs of every length modulo four, so each kernel's last partial step is covered.
    chunk = recording(11, set_backs=2, start_us=1_709_542_803_700_000, dyadic=False)
    rng = np.random.default_rng(3)
    v, dt = np.ascontiguousarray(rng.normal(0, 0.6, (3, 1001))), rng.normal(0, 4, 1001)
    results = {}
    for name in ("portable", kernel):
        _window_sums.use_kernel(name)
        results[name] = ([_stream.window_stats(chunk, w, c, enmo=True, extremes=True)
                          for w in (1_000_000, 7_300_000) for c in (None, CORRECTION)],
                         [_window_sums.sphere_sums(*v, dt, ((0.01, 0, 0), (1.01, 1, 0.99), (0.002, 0, 0), 0.0), w)
                          for w in (False, True)])
    (windows, spheres), (want_windows, want_spheres) = results[kernel], results["portable"]
    for got, want in zip(windows, want_windows):
        assert all(got[k].tobytes() == want[k].tobytes() for k in want)
    assert repr(spheres) == repr(want_spheres)


def test_an_unknown_kernel_is_refused(restore_kernel):
    with pytest.raises(ValueError, match="^no kernel 'sse9' on this processor$"):
        _window_sums.use_kernel("sse9")

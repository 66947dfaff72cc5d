"""Auto-calibration: recovery of known sensor errors from still windows, and refusals."""
import numpy as np
import pytest

from kelpmoor_tools.activity.calibrate import StillWindows, fit


def still_points(offset, scale, coefficient, *, count=400, seed=0, noise_g=0.002, keep=lambda g: True):
    """Still-window means of a sensor with the given error: gravity in random directions,
    temperatures from 20 to 34 degrees C."""
    rng = np.random.default_rng(seed)
    g = rng.standard_normal((count * 4, 3))
    g /= np.linalg.norm(g, axis=1, keepdims=True)
    g = g[[keep(v) for v in g]][:count]
    t = rng.uniform(20.0, 34.0, len(g))
    measured = g * scale + offset + np.outer(t - 20.0, coefficient) + rng.normal(0, noise_g, g.shape)
    return g, StillWindows(measured, t)


@pytest.mark.parametrize("offset, scale, coefficient", [
    ((0.08, -0.08, 0.05), (1.05, 0.95, 1.02), (0.004, -0.004, 0.002)),
    ((-0.03, 0.06, -0.08), (0.97, 1.04, 0.96), (-0.002, 0.0, 0.004)),
    ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (0.0, 0.0, 0.0)),
])
def test_fit_recovers_gravity_from_an_injected_error(offset, scale, coefficient):
    truth, windows = still_points(np.array(offset), np.array(scale), np.array(coefficient))
    cal = fit(windows)
    assert cal.status == "calibrated" and cal.reason == ""
    assert cal.error_after_mg <= 3.0
    if any(offset):
        assert cal.error_before_mg > 20.0
    x, y, z = cal.apply(*windows.mean.T, windows.temperature)
    corrected = np.stack([x, y, z], axis=1)
    assert np.abs(corrected - truth).max() * 1000 < 10.0
    assert np.median(np.abs(corrected - truth)) * 1000 < 5.0


@pytest.mark.parametrize("keep, reason", [
    (lambda g: g[0] > -0.3, "no still window with x below -0.3 g"),
    (lambda g: g[2] < 0.3 and g[1] < 0.3, "no still window with y above +0.3 g, no still window with z above +0.3 g"),
])
def test_uncovered_sphere_is_not_calibrated_and_says_which_side(keep, reason):
    _, windows = still_points(np.array([0.05, 0.0, 0.0]), np.ones(3), np.zeros(3), keep=keep)
    cal = fit(windows)
    assert cal.status == "not calibrated"
    assert cal.reason == "sphere not covered: " + reason
    assert (cal.offset, cal.scale, cal.temperature_coefficient) == ((0.0,) * 3, (1.0,) * 3, (0.0,) * 3)
    assert cal.error_after_mg == cal.error_before_mg > 10.0


def test_no_still_window_and_a_poor_fit_are_refused_with_their_reason():
    empty = fit(StillWindows(np.zeros((0, 3)), np.zeros(0)))
    assert (empty.status, empty.reason, empty.still_windows) == ("not calibrated", "no still window", 0)
    assert np.isnan(empty.error_before_mg)
    # Points scattered 30 mg around the sphere cannot be brought within 10 mg of it.
    _, noisy = still_points(np.zeros(3), np.ones(3), np.zeros(3), noise_g=0.03)
    cal = fit(noisy)
    assert cal.status == "not calibrated" and cal.reason.startswith("error after fitting")


# ---------------------------------------------------------------- whole recordings

WEEK_ERRORS = [
    dict(offset_g=(0.08, -0.08, 0.06), scale=(1.05, 0.95, 1.03), temperature_g_per_c=(0.004, -0.004, 0.003)),
    dict(offset_g=(-0.05, 0.03, -0.08), scale=(0.96, 1.04, 0.98), temperature_g_per_c=(-0.003, 0.002, -0.004)),
]


@pytest.fixture(scope="module")
def week_recordings(tmp_path_factory):
    from kelpmoor_tools import synth
    folder = tmp_path_factory.mktemp("calibration")
    schedule = synth.day_schedule(7, seed=3)
    out = []
    for i, settings in enumerate(WEEK_ERRORS):
        error = synth.SensorError(**settings)
        rec = synth.Recording(duration_s=7 * 86400, rate_hz=12.5, seed=20 + i, sensor_error=error, segments=schedule)
        out.append((str(rec.write(folder / f"week{i}.cwa")), error))
    table = synth.Recording(duration_s=6 * 3600, rate_hz=12.5, seed=9, segments=(synth.Segment("nonwear", 6 * 3600),))
    out.append((str(table.write(folder / "table.cwa")), None))
    return out


@pytest.mark.parametrize("which", range(len(WEEK_ERRORS)))
def test_a_week_with_injected_errors_is_calibrated_to_the_truth(week_recordings, which):
    from kelpmoor_tools.activity import calibrate
    from kelpmoor_tools.activity.calibrate import still_windows
    path, error = week_recordings[which]
    cal = calibrate(path)
    assert cal.status == "calibrated" and cal.error_after_mg <= 3.0 < 20.0 < cal.error_before_mg
    windows = still_windows(path, 12.5)
    v, t = windows.mean, windows.temperature
    truth = (v - np.array(error.offset_g) - np.outer(t - error.reference_c, error.temperature_g_per_c)) / np.array(error.scale)
    corrected = np.stack(cal.apply(*v.T, t), axis=1)
    assert np.abs(corrected - truth).max() * 1000 <= 5.0


def test_a_sensor_that_never_turns_is_not_calibrated_and_is_used_as_recorded(week_recordings):
    from kelpmoor_tools.activity import process
    path, _ = week_recordings[-1]
    out = process(path)
    assert out.calibration.status == "not calibrated"
    assert out.calibration.reason.startswith("sphere not covered: no still window with ")
    assert "not calibrated (sphere not covered" in out.summary["status"].iloc[0]
    assert "never worn" in out.summary["status"].iloc[0]
    assert out.epochs["nonwear"].sum() >= len(out.epochs) - 12 * 45     # all but the last 45 minutes

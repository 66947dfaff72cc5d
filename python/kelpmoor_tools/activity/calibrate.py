"""Auto-calibration against local gravity, as published by van Hees et al. (2014).

van Hees VT, Fang Z, Langford J, et al. Autocalibration of accelerometer data for free-living
physical activity assessment using local gravity and temperature: an evaluation on four
continents. J Appl Physiol 117: 738-744, 2014.

A worn sensor is still now and then; while it is still it measures gravity alone, so the
length of its mean vector should be 1 g. The recording is cut into 10-second windows; a window
is still when each axis' standard deviation is below 13 mg. The still windows' mean vectors v
and mean temperatures T are fitted to the unit sphere: per axis an offset, a scale and a
temperature coefficient such that

    c = (v + offset) * scale + (T - reference_temperature) * temperature_coefficient

lies on the sphere. The fit is an iterative closest point search: each calibrated point's
closest point on the sphere is c / |c|; per axis a weighted least-squares line of those points
on [1, v, T - reference] gives the new parameters; each point's weight is the inverse of its
distance to the sphere, at most 100 (so points already on the sphere do not dominate without
bound); repeated until the mean distance changes by less than `tolerance` g. The fit is only
trusted when the still points cover the sphere (on each axis some mean above +0.3 g and some
below -0.3 g) and the mean distance after the fit is below 10 mg; otherwise the recording is
used as recorded and `Calibration.reason` says why.
"""
from __future__ import annotations

import math
from dataclasses import asdict, dataclass

import numpy as np

from . import _stream

__all__ = ["Calibration", "StillWindows", "calibrate", "still_windows", "fit"]

AXES = "xyz"
IDENTITY = ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (0.0, 0.0, 0.0))


@dataclass(frozen=True)
class Calibration:
    """The outcome of auto-calibration: the fitted correction, or the identity and the reason."""
    status: str                      # "calibrated" or "not calibrated"
    reason: str                      # "" when calibrated
    error_before_mg: float           # mean | |v| - 1 | over still windows, NaN without any
    error_after_mg: float            # the same after the correction (uncorrected: as before)
    still_windows: int
    offset: tuple[float, float, float]
    scale: tuple[float, float, float]
    temperature_coefficient: tuple[float, float, float]
    reference_temperature: float

    def apply(self, x, y, z, temperature):
        """The corrected acceleration (g) of arrays of any length: float32 in, float32 out;
        float64 in, float64 out."""
        dtype = np.result_type(np.asarray(x).dtype, np.float32)
        warm = np.asarray(temperature, dtype=dtype) - dtype.type(self.reference_temperature)
        return tuple((np.asarray(v, dtype=dtype) + dtype.type(o)) * dtype.type(s) + warm * dtype.type(k)
                     for v, o, s, k in zip((x, y, z), self.offset, self.scale, self.temperature_coefficient))

    def as_dict(self) -> dict:
        return {k: (list(v) if isinstance(v, tuple) else _plain(v)) for k, v in asdict(self).items()}


def _plain(value):
    return None if isinstance(value, float) and math.isnan(value) else value


@dataclass(frozen=True)
class StillWindows:
    """The still windows of a recording: mean vector (g) and mean temperature (degrees C)."""
    mean: np.ndarray           # (n, 3)
    temperature: np.ndarray    # (n,)


def still_windows(path, rate_hz: float, *, window_s: float = 10.0, still_sd_mg: float = 13.0) -> StillWindows:
    """The windows of `window_s` seconds of the recording at `path` (at least half of their
    samples present) in which the standard deviation of every axis is below `still_sd_mg`."""
    w, _ = _stream.recording_stats(path, int(round(window_s * 1e6)))
    if not len(w["id"]):
        return StillWindows(np.zeros((0, 3)), np.zeros(0))
    n = w["n"]
    still = n >= max(2.0, 0.5 * window_s * rate_hz)
    limit = (still_sd_mg / 1000.0) ** 2
    safe = np.where(still, n, 2.0)
    for a in AXES:
        still &= w["v" + a] / (safe - 1.0) < limit
    mean = np.stack([w["m" + a][still] for a in AXES], axis=1)
    return StillWindows(mean, w["temperature"][still])


def fit(windows: StillWindows, *, sphere_g: float = 0.3, accept_error_mg: float = 10.0,
        max_iterations: int = 1000, tolerance: float = 1e-10) -> Calibration:
    """The correction that brings the still windows' means onto the unit sphere (see the
    module's description), or the identity with the reason it is not trusted."""
    v, t = windows.mean, windows.temperature
    count = len(v)
    reference = float(t.mean()) if count else float("nan")
    before = float(np.mean(np.abs(np.linalg.norm(v, axis=1) - 1.0)) * 1000.0) if count else float("nan")

    def refused(reason: str) -> Calibration:
        return Calibration("not calibrated", reason, before, before, count, *IDENTITY,
                           reference_temperature=reference if count else 0.0)

    if count == 0:
        return refused("no still window")
    missing = [f"no still window with {a} {side} {sign}{sphere_g:g} g"
               for i, a in enumerate(AXES)
               for side, sign, ok in (("above", "+", np.any(v[:, i] > sphere_g)),
                                      ("below", "-", np.any(v[:, i] < -sphere_g))) if not ok]
    if missing:
        return refused("sphere not covered: " + ", ".join(missing))

    from .. import _window_sums   # compiled with the package; imported when first needed
    dt = t - reference
    # A temperature that never changes cannot be told from an offset: leave it out of the fit.
    use_temperature = float(np.ptp(dt)) > 1e-3
    size = 3 if use_temperature else 2
    axes = [np.ascontiguousarray(v[:, i], dtype=np.float64) for i in range(3)]
    dt = np.ascontiguousarray(dt, dtype=np.float64)
    offset, scale, coefficient = np.zeros(3), np.ones(3), np.zeros(3)
    # Each round's per-axis weighted least squares of the closest points on [1, v, dT] needs only
    # weighted sums over the windows: one compiled pass gives them for all three axes, with the
    # distances of the current correction (which set the next round's weights).
    sums = _window_sums.sphere_sums(*axes, dt, (tuple(offset), tuple(scale), tuple(coefficient), 0.0), False)
    previous = error = math.inf
    for _ in range(max_iterations):
        w1, wt, wtt, wv, wvv, wvt, pulled, pulled_v, pulled_t, _distance = sums
        normal = np.empty((3, 3, 3))
        normal[:, 0, 0], normal[:, 0, 1], normal[:, 0, 2] = w1, wv, wt
        normal[:, 1, 1], normal[:, 1, 2], normal[:, 2, 2] = wvv, wvt, wtt
        normal[:, 1, 0], normal[:, 2, 0], normal[:, 2, 1] = wv, wt, wvt
        rhs = np.stack([pulled, pulled_v, pulled_t], axis=1)
        beta = np.linalg.solve(normal[:, :size, :size], rhs[:, :size, None])[:, :, 0]
        scale = beta[:, 1].copy()
        offset = beta[:, 0] / scale
        coefficient = beta[:, 2].copy() if use_temperature else np.zeros(3)
        sums = _window_sums.sphere_sums(*axes, dt, (tuple(offset), tuple(scale), tuple(coefficient), 0.0), True)
        error = sums[-1] / count
        if not math.isfinite(error) or abs(previous - error) < tolerance:
            break
        previous = error
    after = error * 1000.0
    if not math.isfinite(after):
        return refused("the fit did not converge")
    if after >= accept_error_mg:
        return refused(f"error after fitting {after:.1f} mg is not below {accept_error_mg:g} mg")
    return Calibration("calibrated", "", before, after, count, tuple(map(float, offset)),
                       tuple(map(float, scale)), tuple(map(float, coefficient)), reference)


def calibrate(path, *, window_s: float = 10.0, still_sd_mg: float = 13.0, sphere_g: float = 0.3,
              accept_error_mg: float = 10.0, max_iterations: int = 1000,
              tolerance: float = 1e-10) -> Calibration:
    """Auto-calibrate a recording (van Hees et al. 2014): read it a data block at a time, find
    its still windows and fit them to the unit sphere. A file that cannot be read raises the
    module's own error."""
    path = str(path)
    _, _, rate = _stream.recording_header(path)
    windows = still_windows(path, rate, window_s=window_s, still_sd_mg=still_sd_mg)
    return fit(windows, sphere_g=sphere_g, accept_error_mg=accept_error_mg,
               max_iterations=max_iterations, tolerance=tolerance)

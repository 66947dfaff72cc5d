"""The wearer behind a synthetic recording: what the wrist does in each stretch of a day (worn
and awake, asleep, in a bout of activity, or lying on a table) and the acceleration and skin
temperature that follow from it.

Gravity follows postures that are held still and changed in a second or a few: every half
minute by day, every 5 to 40 minutes in sleep, never on the table. Movement is written as a
change of the acceleration's magnitude along the posture plus a sway of its direction; because
the sway only turns the vector, the magnitude alone sets ENMO, so a bout's ENMO is what was asked.
"""
from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np

KINDS = ("wear", "sleep", "activity", "nonwear")
WEAR, SLEEP, ACTIVITY, NONWEAR = range(4)
NOISE_G = 0.004                 # a still MEMS accelerometer reads a few mg of noise per axis
# The device warms toward the skin: cooler while up and about, warmest under the covers; off the
# wrist it cools toward the room.
SKIN_C = {WEAR: 32.5, SLEEP: 34.0, ACTIVITY: 33.0}
ROOM_C = 21.0
COOLING_S, WARMING_S = 25 * 60.0, 10 * 60.0
SLOT_S = 10.0                   # awake movement keeps one strength this long
BREATHING_G, BREATHING_HZ = 0.002, 0.25
STEP_HZ = 1.8                   # the rhythm of awake movement
MAX_ENMO_MG = 600.0             # beyond, the rhythm would reverse gravity and ENMO no longer follow
TAKE_OFF_S, SETTLE_S = 3.0, 0.5


@dataclass(frozen=True)
class Segment:
    """A stretch of the wearer's day: `kind` is "wear", "sleep", "activity" (a bout whose true
    ENMO, the mean of max(|a| - 1 g, 0) over the bout, is `enmo_mg`) or "nonwear" (the device
    on a table); `duration_s` its length in seconds."""
    kind: str
    duration_s: float
    enmo_mg: float | None = None

    def __post_init__(self):
        if self.kind not in KINDS:
            raise ValueError(f"a segment's kind is one of {KINDS}, not {self.kind!r}")
        if not (math.isfinite(self.duration_s) and self.duration_s > 0):
            raise ValueError("a segment's duration_s must be positive")
        if self.kind == "activity":
            if self.enmo_mg is None or not 0 <= self.enmo_mg <= MAX_ENMO_MG:
                raise ValueError(f"an activity segment needs enmo_mg between 0 and {MAX_ENMO_MG:g}")
        elif self.enmo_mg is not None:
            raise ValueError("only an activity segment takes enmo_mg")


def day_schedule(days: float = 7, *, start: _dt.datetime | None = None, nonwear=(), activity=None,
                 seed: int = 0) -> tuple[Segment, ...]:
    """A plausible free-living stretch of `days` days from `start` (device clock, the default
    start of a synthetic recording when None): worn by day, asleep about 23:00 to 07:00, and
    the device taken off as asked.

    nonwear    ((day, start_hour, hours), ...): off the wrist from that hour of the day, counting
               days from zero on the date of `start`
    activity   ((day, start_hour, hours, enmo_mg), ...): bouts of that ENMO; None puts one to
               three bouts of 10 to 45 minutes and 80 to 350 mg into each day's waking hours
    """
    if start is None:
        from .synth import DEFAULT_START
        start = DEFAULT_START
    total = int(round(days * 86400))
    if total <= 0:
        raise ValueError("days must be positive")
    rng = np.random.default_rng([seed, 7])
    since_midnight = (start - _dt.datetime.combine(start.date(), _dt.time())).total_seconds()
    kind = np.full(total, WEAR, dtype=np.int8)
    enmo = np.zeros(total, dtype=np.float32)

    def paint(day, hour, hours, what, mg=0.0, where=None):
        a = int(round(day * 86400 + hour * 3600 - since_midnight))
        b = int(round(a + hours * 3600))
        a, b = max(a, 0), min(b, total)
        if a >= b:
            return
        mask = slice(a, b) if where is None else np.flatnonzero(where[a:b]) + a
        kind[mask] = what
        enmo[mask] = mg

    nights = range(-1, int(math.ceil(days)) + 1)
    for day in nights:
        onset, wake = 23.0 + rng.uniform(-0.75, 0.75), 31.0 + rng.uniform(-0.75, 0.75)
        paint(day, onset, wake - onset, SLEEP)
    if activity is None:
        for day in nights:
            for _ in range(rng.integers(1, 4)):
                hour, hours, mg = rng.uniform(8, 20), rng.uniform(10, 45) / 60, rng.uniform(80, 350)
                paint(day, hour, hours, ACTIVITY, mg, where=kind == WEAR)
    else:
        for day, hour, hours, mg in activity:
            paint(day, hour, hours, ACTIVITY, float(mg))
    for day, hour, hours in nonwear:
        paint(day, hour, hours, NONWEAR)

    change = np.flatnonzero((np.diff(kind) != 0) | (np.diff(enmo) != 0)) + 1
    bounds = [0, *change.tolist(), total]
    return tuple(Segment(KINDS[kind[a]], float(b - a), float(enmo[a]) if kind[a] == ACTIVITY else None)
                 for a, b in zip(bounds[:-1], bounds[1:]))


# ---------------------------------------------------------------------------- the body


@dataclass(frozen=True)
class Motion:
    """The wrist at each sample of some blocks, float32 rows of n samples: `sway` (3 rows) the
    direction of gravity swayed by movement, of length 1 / `inverse_length`; `magnitude` of the
    acceleration along it; `strength` of the movement (g) and its rhythm's `sin` and `cos`."""
    sway: tuple
    inverse_length: np.ndarray
    magnitude: np.ndarray
    strength: np.ndarray
    sin: np.ndarray
    cos: np.ndarray


@dataclass(frozen=True)
class Body:
    """A script of the wearer's postures and movement for a recording, from its segments.
    Times are real seconds from the script's origin."""
    starts: np.ndarray          # each segment's start
    kinds: np.ndarray           # int8 kind code of each segment
    amplitude: np.ndarray       # movement strength of each segment (activity, breathing)
    rhythm: np.ndarray          # angular frequency of each segment's movement
    awake: np.ndarray           # float32 1 where a segment's strength follows the awake slots
    anchor_t: np.ndarray        # posture holds: start and end of each, in order
    anchor_g: np.ndarray        # (m, 3) gravity direction at each anchor
    burst: np.ndarray           # movement strength from each anchor to the next (posture changes)
    slot_strength: np.ndarray   # awake movement strength of each SLOT_S slot

    @classmethod
    def of(cls, segments: Sequence[Segment], duration_s: float, seed: int, origin: float = 0.0) -> "Body":
        """The script of `segments` over `duration_s` seconds; times count from `origin`."""
        rng = np.random.default_rng([seed, 3])
        starts = origin + np.concatenate([[0.0], np.cumsum([s.duration_s for s in segments])[:-1]])
        ends = np.append(starts[1:], max(origin + duration_s, starts[-1]) + 60.0)
        kinds = np.array([KINDS.index(s.kind) for s in segments], dtype=np.int8)
        rhythm = np.full(len(segments), 2 * np.pi * STEP_HZ)
        rhythm[kinds == SLEEP] = 2 * np.pi * BREATHING_HZ
        active = kinds == ACTIVITY
        rhythm[active] = 2 * np.pi * rng.uniform(1.6, 2.2, active.sum())
        amplitude = np.zeros(len(segments), dtype=np.float32)
        amplitude[kinds == SLEEP] = BREATHING_G
        amplitude[active] = [_amplitude_for_enmo((s.enmo_mg or 0.0) / 1000.0) for s in segments if s.kind == "activity"]

        anchor_t: list[np.ndarray] = []
        anchor_g: list[np.ndarray] = []
        burst: list[np.ndarray] = []
        previous = _unit(np.array([-0.6, 0.1, -0.4]))
        for i, (kind, a, b) in enumerate(zip(kinds, starts, ends)):
            t, g, strength, lead_in = _holds(rng, int(kind), a, b, previous, first=i == 0)
            if kind == NONWEAR and i:
                # Taking the device off happens while it is still worn, and is over a little
                # before the first sample on the table (slow quantities are looked up up to a
                # tenth of a second early), so that from that sample on the device lies still.
                _cut(anchor_t, anchor_g, burst, a - TAKE_OFF_S - SETTLE_S)
                t[0] = a - SETTLE_S
            for strengths in reversed(burst):
                if len(strengths):
                    strengths[-1] = lead_in
                    break
            anchor_t.append(t)
            anchor_g.append(g)
            burst.append(strength)
            previous = g[-1]
        slots = int(ends[-1] // SLOT_S) + 2
        moving = rng.random(slots) > 0.45
        slot_strength = np.where(moving, np.minimum(rng.gamma(2.0, 0.05, slots), 0.6), 0.0).astype(np.float32)
        return cls(starts=starts, kinds=kinds, amplitude=amplitude, rhythm=rhythm,
                   awake=(kinds == WEAR).astype(np.float32), anchor_t=np.concatenate(anchor_t),
                   anchor_g=np.concatenate(anchor_g), burst=np.concatenate(burst).astype(np.float32),
                   slot_strength=slot_strength)

    def segment_of(self, t: np.ndarray) -> np.ndarray:
        return np.maximum(np.searchsorted(self.starts, t, side="right") - 1, 0)

    def kind_of(self, t: np.ndarray) -> np.ndarray:
        return self.kinds[self.segment_of(t)]

    def motion(self, t0: np.ndarray, kt: np.ndarray, step: int) -> Motion:
        """The wrist at times `t0` (blocks' first samples, float64) plus `kt` (the offsets of a
        block's samples). Slow quantities (posture, posture changes, awake strength) are taken
        every `step` samples only; the rhythm's frequency is the one of each block's start."""
        nb, spb = len(t0), len(kt)
        f32 = np.float32
        seg = self._segments_of(t0, kt)
        coarse = (t0[:, None] + kt[None, ::step]).ravel()

        def fine(values):
            return np.repeat(values.astype(f32).reshape(nb, -1), step, axis=1)[:, :spb].ravel()

        g = [fine(np.interp(coarse, self.anchor_t, self.anchor_g[:, a])) for a in range(3)]
        at = np.clip(np.searchsorted(self.anchor_t, coarse, side="right") - 1, 0, len(self.burst) - 1)
        awake = fine(self.slot_strength[(coarse // SLOT_S).astype(np.int64)])
        # Whether a sample is awake is told per sample: a still segment starts still.
        strength = self.amplitude[seg] + self.awake[seg] * awake + fine(self.burst[at])
        w = self.rhythm[seg[::spb]]
        phase = (np.mod(t0 * w, 2 * np.pi).astype(f32)[:, None] + kt.astype(f32)[None, :] * w.astype(f32)[:, None]).ravel()
        s, c = np.sin(phase), np.cos(phase)
        d = (g[0] + strength * c, g[1] + f32(0.5) * strength * s, g[2] + f32(0.4) * strength * (c * c - s * s))
        inv = f32(1.0) / np.sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2])
        return Motion(sway=d, inverse_length=inv, magnitude=f32(1.0) + strength * s, strength=strength, sin=s, cos=c)

    def _segments_of(self, t0: np.ndarray, kt: np.ndarray) -> np.ndarray:
        """Segment index of every sample (flat), looked up per sample only in the few blocks
        that straddle a segment's start."""
        first = self.segment_of(t0)
        seg = np.repeat(first, len(kt))
        across = np.flatnonzero(self.segment_of(t0 + kt[-1]) != first)
        if across.size:
            rows = self.segment_of(t0[across, None] + kt[None, :])
            seg.reshape(len(t0), -1)[across] = rows
        return seg

    def temperature(self, t: np.ndarray) -> np.ndarray:
        """Device temperature (degrees C) at times `t`: relaxing toward the skin's while worn
        and toward the room's on the table, exponentially."""
        off = self.kinds == NONWEAR
        target = np.array([SKIN_C.get(int(k), ROOM_C) for k in self.kinds])
        tau = np.where(off, COOLING_S, WARMING_S)
        begin = np.empty(len(target))
        begin[0] = target[0]
        for i in range(1, len(target)):
            span = self.starts[i] - self.starts[i - 1]
            begin[i] = target[i - 1] + (begin[i - 1] - target[i - 1]) * math.exp(-span / tau[i - 1])
        seg = self.segment_of(t)
        return target[seg] + (begin[seg] - target[seg]) * np.exp(-(t - self.starts[seg]) / tau[seg])


def _cut(times: list, directions: list, strengths: list, cutoff: float) -> None:
    """Drop the anchors after `cutoff` from lists of per-segment anchor arrays."""
    for j in reversed(range(len(times))):
        keep = times[j] <= cutoff
        if keep.all():
            break
        times[j], directions[j], strengths[j] = times[j][keep], directions[j][keep], strengths[j][keep]


def _unit(v: np.ndarray) -> np.ndarray:
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def _holds(rng: np.random.Generator, kind: int, a: float, b: float, previous: np.ndarray, first: bool):
    """Posture holds of one segment from a to b: anchor times (start, end of each hold), their
    gravity directions, and the movement strength from each anchor to the next (the change of
    posture that leads into the following hold; none within a hold)."""
    span = b - a
    if kind == NONWEAR:
        side = rng.choice([-1.0, 1.0])
        hold = np.array([span])
        change = np.array([0.0])
        g = _unit(np.array([[0.03, 0.03, 0.0]]) * rng.standard_normal((1, 3)) + [0.0, 0.0, side])
        amp = np.array([0.3])
    else:
        lo, hi, change_s, amp_range = {
            WEAR: (10.0, 50.0, (1.0, 2.5), (0.1, 0.3)),
            SLEEP: (300.0, 2400.0, (2.0, 5.0), (0.1, 0.2)),
            ACTIVITY: (5.0, 30.0, (0.5, 1.5), (0.0, 0.0)),
        }[kind]
        count = int(span // (lo + change_s[0])) + 2
        hold = rng.uniform(lo, hi, count)
        if kind == SLEEP:
            # About one night in ten holds one posture for an hour or more.
            long = rng.random(count) < 0.005
            hold[long] = rng.uniform(3600.0, 6000.0, long.sum())
        change = rng.uniform(*change_s, count)
        amp = rng.uniform(*amp_range, count)
        g = _postures(rng, kind, count, previous)
    if first:
        change[0] = 0.0
    change[0] = min(change[0], span / 2)
    hold_start = a + np.cumsum(change + np.concatenate([[0.0], hold[:-1]]))
    keep = hold_start < b
    hold_start, hold, g, amp = hold_start[keep], hold[keep], g[keep], amp[keep]
    hold_end = np.minimum(hold_start + hold, b)
    times = np.column_stack([hold_start, hold_end]).ravel()
    # Anchor i's strength holds until anchor i + 1: none within a hold, that of the next change
    # between holds; the change into the first hold belongs to the previous segment's last anchor.
    strength = np.zeros(times.size)
    strength[1:-1:2] = amp[1:]
    return times, np.repeat(g, 2, axis=0), strength, float(amp[0])


def _postures(rng: np.random.Generator, kind: int, count: int, previous: np.ndarray) -> np.ndarray:
    """Gravity directions of `count` holds. By day the forearm mostly hangs or rests on a desk,
    and now and then takes any orientation; asleep the arm lies any way; in a bout it swings
    hanging. Each hold differs from the one before by more than a tenth of g on two axes (drawn
    again until it does), so a change of posture shows on the axes a non-wear test watches."""
    def draw(k):
        if kind == WEAR:
            g = np.array([-0.6, 0.1, -0.4]) + 0.6 * rng.standard_normal((k, 3))
            anywhere = rng.random(k) < 0.3
            g[anywhere] = rng.standard_normal((anywhere.sum(), 3))
        elif kind == SLEEP:
            g = rng.standard_normal((k, 3))
        else:
            g = np.array([-0.9, 0.1, -0.2]) + 0.25 * rng.standard_normal((k, 3))
        return _unit(g)

    g = draw(count)
    for _ in range(50):
        before = np.vstack([previous, g[:-1]])
        same = np.flatnonzero(np.sum(np.abs(g - before) > 0.1, axis=1) < 2)
        if not same.size:
            break
        g[same] = draw(same.size)
    return g


def _amplitude_for_enmo(enmo_g: float) -> float:
    """The strength A of a rhythm A sin(wt) along gravity whose ENMO, with the sensor's noise
    added, is `enmo_g`: E[max(A sin phi + n, 0)] over the phase and Gaussian noise of NOISE_G,
    solved by bisection (the noise alone gives about 0.4 NOISE_G)."""
    phi = (np.arange(720) + 0.5) * (2 * np.pi / 720)
    erf = np.frompyfunc(math.erf, 1, 1)
    sigma = NOISE_G

    def enmo(a):
        x = a * np.sin(phi)
        z = x / sigma
        cdf = 0.5 * (1.0 + erf(z / math.sqrt(2)).astype(float))
        return float(np.mean(x * cdf + sigma * np.exp(-0.5 * z * z) / math.sqrt(2 * math.pi)))

    lo, hi = 0.0, 4.0
    for _ in range(50):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if enmo(mid) < enmo_g else (lo, mid)
    return 0.5 * (lo + hi)

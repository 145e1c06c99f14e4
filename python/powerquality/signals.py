"""Synthetic supplies with a known truth, for tests of this library and of users' own.

:func:`supply` builds the three phase voltages (or one) of a supply: its
magnitude per phase and phase angles (unbalance), its frequency (fixed, or
points in time joined by ramps, two points at one time making a step),
harmonics that follow the fundamental, inter-harmonics and mains signalling
tones at fixed frequencies, flicker (sinusoidal or rectangular modulation of
the fundamental's amplitude), changes of the magnitude (dips, swells,
interruptions, rapid voltage changes; each from a moment or a phase angle of
phase A, on some phases, for a time or for good) and spans of missing
samples (NaN, as the readers give them). It returns a :class:`Signal`: the
samples, channels first, as :func:`powerquality.analyze` takes them, and the
truth they were built from.

Changes and flicker scale the fundamental only: harmonics and tones keep
their volts through a dip (as a load's harmonics would). Levels are given in
percent of the nominal voltage (the phase-to-neutral RMS
``nominal_voltage``), times in seconds from the first sample, angles in
degrees. The fundamental of phase k lags phase A by 120 k degrees unless
``angles`` says otherwise.

Examples
--------
>>> import numpy as np
>>> from powerquality import signals
>>> s = signals.supply(1.0, sample_rate=6400.0, harmonics={5: 4.0})
>>> s.voltages.shape, s.truth["frequency"]
((3, 6400), 50.0)
>>> round(float(np.sqrt(np.mean(s.voltages[0] ** 2))), 3), round(s.truth["rms"][0], 3)
(230.184, 230.184)
>>> round(s.truth["harmonics"][5], 2)
9.2
"""

import math
from dataclasses import dataclass, field

import numpy as np

__all__ = ["Change", "Signal", "supply", "unbalance"]


@dataclass
class Change:
    """A change of the magnitude: a dip, swell, interruption or step (percent of the nominal voltage).

    Parameters
    ----------
    start : float
        Seconds from the first sample where it begins; with ``start_angle``
        the first moment from there at which phase A's fundamental passes
        that angle (degrees, 0 a rising zero crossing).
    level : float
        The magnitude during the change, percent of the nominal voltage
        (0 an interruption, 50 a dip to half, 120 a swell).
    duration : float or None
        Seconds it lasts; None: for good (a step).
    phases : str
        The phases it affects, of 'ABC'.
    ramp : float
        Seconds the magnitude takes to go to the level (and back), linearly; 0
        a jump.
    start_angle : float or None
        See ``start``.
    """

    start: float
    level: float
    duration: float = None
    phases: str = "ABC"
    ramp: float = 0.0
    start_angle: float = None


@dataclass
class Signal:
    """A synthesised supply: ``voltages`` (shape (phases, n), volts, NaN where missing), ``sample_rate`` (Hz)
    and ``truth``, a dict of what it was built from (see :func:`supply`)."""

    voltages: np.ndarray
    sample_rate: float
    truth: dict = field(default_factory=dict)

    @property
    def duration(self):
        return self.voltages.shape[1] / self.sample_rate


def unbalance(magnitudes, angles):
    """Negative- and zero-sequence unbalance (percent of the positive sequence) of three fundamental phasors.

    Examples
    --------
    >>> u2, u0 = unbalance([100.0, 100.0, 100.0], [0.0, -120.0, 120.0])
    >>> round(u2, 12), round(u0, 12)
    (0.0, 0.0)
    """
    a = np.exp(2j * np.pi / 3)
    v = np.asarray(magnitudes, float) * np.exp(1j * np.radians(np.asarray(angles, float)))
    positive = (v[0] + a * v[1] + a * a * v[2]) / 3
    negative = (v[0] + a * a * v[1] + a * v[2]) / 3
    zero = v.sum() / 3
    return float(abs(negative) / abs(positive) * 100.0), float(abs(zero) / abs(positive) * 100.0)


def _frequency_profile(frequency, t):
    """Instantaneous frequency at each time: a number, or (time, Hz) points joined linearly, held beyond."""
    if np.isscalar(frequency):
        return np.full(len(t), float(frequency))
    points = sorted(((float(a), float(b)) for a, b in frequency), key=lambda p: p[0])
    times = np.array([p[0] for p in points])
    values = np.array([p[1] for p in points])
    return np.interp(t, times, values)  # at a step's time and after it, the later point's value


def supply(duration, sample_rate=6400.0, *, nominal_voltage=230.0, frequency=50.0, level=100.0, phases=3,
           magnitudes=None, angles=None, harmonics=None, interharmonics=None, signalling=None, flicker=None,
           changes=(), missing=()):
    """Samples of a supply and the truth they were built from.

    Parameters
    ----------
    duration : float
        Seconds.
    sample_rate : float
        Samples per second.
    nominal_voltage : float
        Phase-to-neutral RMS volts that the percentages refer to (Udin).
    frequency : float or sequence of (seconds, Hz)
        The fundamental's frequency: fixed, or points joined by ramps (two
        points at one time: a step), held before the first and after the
        last.
    level : float
        The magnitude of every phase, percent of ``nominal_voltage``.
    phases : int
        3 or 1.
    magnitudes : sequence of float, optional
        Percent of ``nominal_voltage`` per phase, instead of ``level``.
    angles : sequence of float, optional
        Phase angles of the fundamentals, degrees (default 0, -120, 120).
    harmonics : dict order -> percent or (percent, degrees), optional
        Harmonics in percent of the nominal voltage, following the
        fundamental's frequency (phase k's shifted by order times its angle).
    interharmonics : dict Hz -> percent, optional
        Tones at fixed frequencies, percent of the nominal voltage, in phase
        on every phase.
    signalling : dict Hz -> percent, optional
        Mains signalling tones (as inter-harmonics; kept apart in the truth).
    flicker : dict, optional
        ``{"modulation": "sinusoidal" or "rectangular", "frequency": Hz,
        "dv": percent}``: the fundamental's amplitude times 1 + dv/200 m(t),
        m a sine of that frequency or its sign (a rectangular change of dv
        percent peak to peak).
    changes : sequence of Change
        Dips, swells, interruptions and steps, applied in order (each sets
        the magnitude of its phases to its level, percent of the nominal).
    missing : sequence of (seconds, seconds)
        Spans (start, length) of missing samples: NaN on every phase.

    Returns
    -------
    Signal
        ``truth`` holds: ``frequency`` (the first), ``rms`` (each phase's
        RMS at the start, before any change, with harmonics and tones),
        ``fundamental`` (each phase's at the start), ``u2`` and ``u0``
        (percent), ``harmonics`` and ``interharmonics`` and ``signalling``
        (volts per order or Hz), ``changes`` (each with its ``start`` moved to
        its angle, in seconds), ``flicker``, ``missing`` and
        ``nominal_voltage``.
    """
    if phases not in (1, 3):
        raise ValueError(f"phases {phases!r}: give 1 or 3")
    n = int(round(duration * sample_rate))
    if n <= 0:
        raise ValueError(f"duration {duration!r}: give a positive number of seconds")
    t = np.arange(n) / float(sample_rate)
    un = float(nominal_voltage)
    mags = np.array(magnitudes if magnitudes is not None else [level] * phases, float) / 100.0 * un
    angs = np.array(angles if angles is not None else [0.0, -120.0, 120.0][:phases], float)
    if len(mags) != phases or len(angs) != phases:
        raise ValueError(f"magnitudes and angles: give {phases} of each")
    f = _frequency_profile(frequency, t)
    theta = 2 * np.pi * np.concatenate([[0.0], np.cumsum(f[:-1])]) / sample_rate  # phase A's fundamental, rad
    envelope = np.ones((phases, n))
    moved = []
    for change in changes:
        start = float(change.start)
        if change.start_angle is not None:  # first sample at or after start where phase A passes the angle
            target = math.radians(change.start_angle)
            k0 = min(int(math.ceil(start * sample_rate)), n - 1)
            turns = np.floor((theta[k0:] - target) / (2 * np.pi))
            crossed = np.flatnonzero(np.diff(turns) > 0)
            start = t[k0 + crossed[0] + 1] if len(crossed) else start
        end = np.inf if change.duration is None else start + float(change.duration)
        ramp = float(change.ramp)
        if ramp > 0:
            shape = np.clip((t - start) / ramp, 0, 1) * np.clip((end - t) / ramp + 1, 0, 1)
        else:  # from the sample at start to the last before end
            shape = ((t >= start) & (t < end)).astype(np.float64)
        for p in change.phases:
            k = "ABC".index(p)
            if k < phases:
                envelope[k] = envelope[k] * (1 - shape) + shape * change.level / 100.0 * un / mags[k]
        moved.append(Change(start, change.level, change.duration, change.phases, change.ramp, change.start_angle))
    if flicker:
        m = np.sin(2 * np.pi * float(flicker["frequency"]) * t)
        if flicker.get("modulation", "sinusoidal") == "rectangular":
            m = np.where(m >= 0, 1.0, -1.0)
        envelope = envelope * (1 + float(flicker["dv"]) / 200.0 * m)
    u = np.empty((phases, n))
    square = np.zeros(phases)
    tones = {}
    for k in range(phases):
        shift = np.radians(angs[k])
        u[k] = mags[k] * math.sqrt(2) * envelope[k] * np.sin(theta + shift)
        square[k] = mags[k] ** 2
    for order, value in (harmonics or {}).items():
        percent, degrees = value if isinstance(value, tuple) else (value, 0.0)
        volts = percent / 100.0 * un
        for k in range(phases):
            u[k] += volts * math.sqrt(2) * np.sin(order * (theta + np.radians(angs[k])) + np.radians(degrees))
        square += volts ** 2
    for kind in (interharmonics, signalling):
        for hz, percent in (kind or {}).items():
            volts = percent / 100.0 * un
            u += volts * math.sqrt(2) * np.sin(2 * np.pi * float(hz) * t)
            square += volts ** 2
            tones[float(hz)] = volts
    for start, length in missing:
        u[:, int(round(start * sample_rate)):int(round((start + length) * sample_rate))] = np.nan
    u2, u0 = unbalance(mags, angs) if phases == 3 else (0.0, 0.0)
    truth = {"nominal_voltage": un, "frequency": float(f[0]), "rms": [float(math.sqrt(s)) for s in square],
             "fundamental": [float(m) for m in mags], "u2": u2, "u0": u0,
             "harmonics": {int(o): (v[0] if isinstance(v, tuple) else v) / 100.0 * un
                           for o, v in (harmonics or {}).items()},
             "interharmonics": {float(h): p / 100.0 * un for h, p in (interharmonics or {}).items()},
             "signalling": {float(h): p / 100.0 * un for h, p in (signalling or {}).items()},
             "changes": moved, "flicker": dict(flicker) if flicker else None, "missing": list(missing)}
    return Signal(u, float(sample_rate), truth)

"""One recording in spans side by side: the serial run's results, within the tolerances spans.py states."""

import math

import numpy as np
import pytest

from powerquality import analysis, spans
from powerquality.analysis import flatten

FS = 1280.0
SECONDS = 2400.0  # 40 minutes
START = "01/01/2020,00:03:20.000000"  # 200 s past a tick: ticks at 400, 1000, 1600 and 2200 s
DIP = (999.7, 1000.45)  # one phase at 70 %, across the tick at 1000 s, ended within the lead-out
INTERRUPTION = (1595.0, 1640.0)  # all phases at 2 %, across 1600 s and longer than the lead-out: joined
RVC_AT = 2199.9  # all phases down by 6 % (an RVC, not a dip), across 2200 s
FLICKER = (900.0, 1700.0)  # 8.8 Hz, 0.5 % amplitude, over two borders
# 30001 cycles in 10 minutes, a rising crossing 0.3 samples before every tick: the window series started
# on a tick has its 3001st window start rounded up onto the next tick, the first of the next interval.
FREQUENCY = 30001 / 600.0
CROSSING = 400.0 - 0.3 / FS


def _recording():
    n = int(SECONDS * FS)
    t = np.arange(n) / FS
    level = np.full(n, 230.0)
    on = (t >= FLICKER[0]) & (t < FLICKER[1])
    level[on] *= 1 + 0.005 * np.sin(2 * np.pi * 8.8 * t[on])
    level[t >= RVC_AT] *= 0.94
    level[(t >= INTERRUPTION[0]) & (t < INTERRUPTION[1])] *= 0.02
    u = np.empty((3, n))
    for k in range(3):
        a = level.copy()
        if k == 0:
            a[(t >= DIP[0]) & (t < DIP[1])] *= 0.7
        u[k] = np.sqrt(2) * a * np.sin(2 * np.pi * FREQUENCY * (t - CROSSING) - k * 2 * np.pi / 3)
    recording = analysis._arrays_recording(u, None, FS, None)
    recording.start = START
    return recording


@pytest.fixture(scope="module")
def runs():
    recording = _recording()
    serial = analysis.analyze(recording)
    split = analysis.analyze(recording, jobs=2, span_seconds=600)
    return serial, split


def _relative(a, b):
    # A complex field (phasors) compared part by part: its imaginary part counts too.
    a, b = (np.asarray(np.stack([np.real(x), np.imag(x)], -1) if np.iscomplexobj(x) else x, np.float64)
            for x in (a, b))
    assert a.shape == b.shape
    np.testing.assert_array_equal(np.isnan(a), np.isnan(b))
    finite = np.isfinite(a) & (a != b)
    return float(np.max(np.abs(a[finite] - b[finite]) / np.abs(b[finite]))) if finite.any() else 0.0


def _same_table(split, serial, tolerance, skip=()):
    assert len(split) == len(serial)
    ours, theirs = flatten(split), flatten(serial)
    for name in theirs:
        if any(name.startswith(s) for s in skip):
            continue
        if theirs[name].dtype.kind in "fc":
            assert _relative(ours[name], theirs[name]) <= tolerance, name
        else:
            np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)


def test_the_recording_is_cut_into_spans(runs):
    serial, split = runs
    assert split.spans == 5 and serial.__dict__.get("spans") is None
    assert split.positions == serial.positions


@pytest.mark.parametrize("key", ["3s", "10min", "2h"])
def test_aggregated_values_are_the_serial_runs(runs, key):
    serial, split = runs
    assert len(serial.aggregated[key]) > (0 if key == "2h" else 3)
    if key == "10min":  # the series' last window on the tick, rounded up from a crossing before it
        assert 3001 in serial.aggregated[key]["windowCount"]
    _same_table(split.aggregated[key], serial.aggregated[key], 1e-9)


def test_events_and_rvcs_start_and_last_as_in_the_serial_run(runs):
    serial, split = runs
    sample = 1 / FS
    # The dip across 1000 s, the interruption (and the dip holding it) across 1600 s, the RVC across 2200 s.
    assert sorted(serial.events["type"]) == [1, 1, 3]
    assert len(serial.rvc) == 1 and abs(serial.rvc["startTime"][0] - RVC_AT) < 0.02
    long = serial.events[serial.events["type"] == 3][0]
    assert long["startTime"] < 1600 and long["startTime"] + long["duration"] > 1600 + spans.LEAD_OUT
    for ours, theirs in ((split.events, serial.events), (split.rvc, serial.rvc)):
        assert len(ours) == len(theirs)
        np.testing.assert_allclose(ours["startTime"], theirs["startTime"], rtol=0, atol=sample)
        np.testing.assert_allclose(ours["duration"], theirs["duration"], rtol=0, atol=sample)
        for name in ("phases", "ended", "cutByGap"):
            np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)
    np.testing.assert_array_equal(split.events["type"], serial.events["type"])
    np.testing.assert_allclose(split.events["extremeVoltage"], serial.events["extremeVoltage"], rtol=1e-5)


def test_flicker_is_the_serial_runs_within_a_thousandth(runs):
    serial, split = runs
    for key in ("pst", "plt"):
        ours, theirs = split.flicker[key], serial.flicker[key]
        _same_table(ours, theirs, 1e-3)
    pst = serial.flicker["pst"]
    assert np.nanmax(pst["A.pst"][(pst["startTime"] >= 1000) & (pst["endTime"] <= 1600)]) > 1.0
    np.testing.assert_allclose(split.flicker["pinst_max"], serial.flicker["pinst_max"], rtol=1e-3)


def test_windows_periods_and_cycles_are_the_serial_runs(runs):
    serial, split = runs
    _same_table(split.windowed, serial.windowed, 1e-9)
    np.testing.assert_array_equal(split.window_flags, serial.window_flags)
    np.testing.assert_array_equal(split.window_gaps, serial.window_gaps)
    # Period values: the module places them by the phase it ran through since its reset, so each span's lie
    # a little off the serial run's (a few hundredths of a sample); the same items, the values close.
    ours, theirs = split.period, serial.period
    assert len(ours) == len(theirs)
    for name in ("item", "phase"):
        np.testing.assert_array_equal(ours[name], theirs[name])
    np.testing.assert_allclose(ours["time"], theirs["time"], rtol=0, atol=0.05 / FS)
    change = np.abs(ours["rmsVoltage"] / theirs["rmsVoltage"] - 1)
    # A cycle that holds a step (the edge of the interruption) changes most: a share of the step over its RMS.
    assert np.median(change) < 1e-5 and np.quantile(change, 0.999) < 1e-3 and np.max(change) < 0.1
    _same_table(split.frequency, serial.frequency, 1e-9)
    # The cycles measured over the dip and the interruption across the borders are flagged as in the serial run.
    assert serial.frequency_flags.sum() > 20
    np.testing.assert_array_equal(split.frequency_flags, serial.frequency_flags)
    _same_table(split.ten_second, serial.ten_second, 1e-9)
    np.testing.assert_array_equal(split.crossings, serial.crossings)


def test_light_spans_in_one_process_keep_the_intervals_only():
    recording = _recording()
    light = spans.analyze_spans(recording, jobs=1, span_seconds=1200, light=True, signalling_frequencies=(316.67,))
    assert light.spans == 3 and len(light.period) == 0 and len(light.windowed) == 0
    collector = spans.Light()
    serial = collector.analysis(analysis.run(recording, [collector], signalling_frequencies=(316.67,)))
    for key in ("3s", "10min", "2h"):
        _same_table(light.aggregated[key], serial.aggregated[key], 1e-9)
    assert len(serial.signalling_3s) > 700
    _same_table(light.signalling_3s, serial.signalling_3s, 1e-9)
    assert len(light.events) == len(serial.events) == 3


@pytest.mark.parametrize("samples, offset, every, borders", [
    (int(2400 * FS), 200.0, 600, [400.0, 1000.0, 1600.0, 2200.0]),  # ticks of the clock, not of the samples
    (int(2400 * FS), 0.0, 1200, [1200.0]),  # whole spans of 20 minutes from the first tick
    (int(2400 * FS), 0.0, 3600, []),  # shorter than a span: one span, serial
    (int(1200 * FS), 0.0, 600, [600.0]),  # ends on a tick: no empty span after it
    (int(2400 * FS), 200.0, 1100, [1000.0, 2200.0]),  # rounded to whole 10 minutes (two)
])
def test_spans_are_cut_on_ticks(samples, offset, every, borders):
    plan = spans.plan(samples, FS, offset, every, 300.0, 20.0, spans.grain_of(FS))
    assert [p["begin"] for p in plan[1:]] == pytest.approx(borders)
    assert plan[0]["lo"] == 0 and plan[-1]["hi"] == samples and plan[-1]["end"] == math.inf
    grain = spans.grain_of(FS)
    for before, span in zip(plan, plan[1:]):
        assert before["stop"] == span["first"] == math.ceil(span["begin"] * FS)
        # The lead-in: from before the tick 10 minutes before the span, on the grain (or from the start).
        tick = span["begin"] - 600.0
        assert span["lo"] % grain == 0 and (span["lo"] == 0 or span["lo"] <= (tick - 10.0) * FS)
        assert span["lo"] == 0 or span["lo"] > (tick - 10.0) * FS - grain
        assert before["hi"] == span["first"] + 20 * FS


def test_grain_holds_ten_seconds_and_the_meters_decimation():
    assert spans.grain_of(3200.0) == 96000  # 10 s of 32 000 positions, decimation 3
    assert spans.grain_of(1280.0) == 12800
    assert spans.grain_of(10240.0) == 102400  # decimation 10 divides 10 s


def _events(*rows):
    out = np.zeros(len(rows), analysis.EVENT_DTYPE)
    for k, (kind, start, duration, extreme, ended, phases) in enumerate(rows):
        out[k] = (kind, phases, start, duration, extreme, extreme / 2.3, ended, False)
    return out


# Three spans of [.., 600), [600, 1200), [1200, ..); the first two streams read up to 620 and 1220 s, the
# last two from 0 and 590 s.
_SPANS = [{"begin": -math.inf, "end": 600.0, "data_end": 620.0}, {"begin": 600.0, "end": 1200.0, "data_end": 1220.0},
          {"begin": 1200.0, "end": math.inf, "data_end": 1400.0}]


@pytest.mark.parametrize("parts, expected", [
    # A dip ended within the lead-out: the first span's whole; the second's sight of it (from its lead-in) dropped.
    ([_events((1, 590.0, 15.0, 150.0, True, 1)), _events((1, 590.0, 15.0, 150.0, True, 1)), _events()],
     [(1, 590.0, 15.0, 150.0, True, 1)]),
    # An interruption through the whole second span: joined twice, its lowest value and phases kept.
    ([_events((3, 500.0, 120.0, 5.0, False, 7)), _events((3, 0.0, 1220.0, 4.0, False, 3)),
      _events((3, 590.0, 640.0, 6.0, True, 4))],
     [(3, 500.0, 730.0, 4.0, True, 7)]),
    # A swell across the second border: its highest value; and an event of the last span's own.
    ([_events(), _events((2, 1199.0, 21.0, 260.0, False, 1)),
      _events((2, 1190.0, 40.0, 270.0, True, 1), (1, 1300.0, 1.0, 100.0, True, 2))],
     [(2, 1199.0, 31.0, 270.0, True, 1), (1, 1300.0, 1.0, 100.0, True, 2)]),
    # A dip and the interruption it holds, each joined to its own kind.
    ([_events((1, 595.0, 25.0, 5.0, False, 7), (3, 596.0, 24.0, 5.0, False, 7)),
      _events((1, 595.5, 30.0, 5.0, True, 7), (3, 596.5, 28.0, 5.0, True, 7)), _events()],
     [(1, 595.0, 30.5, 5.0, True, 7), (3, 596.0, 28.5, 5.0, True, 7)]),
])
def test_events_across_borders_are_joined(parts, expected):
    joined = spans._join_events(parts, [dict(s) for s in _SPANS])
    assert len(joined) == len(expected)
    for row, (kind, start, duration, extreme, ended, phases) in zip(joined, expected):
        assert (row["type"], row["startTime"], row["ended"], row["phases"]) == (kind, start, ended, phases)
        assert row["duration"] == pytest.approx(duration) and row["extremeVoltage"] == extreme


def test_an_event_the_next_span_did_not_see_is_replayed():
    parts = [_events((1, 590.0, 30.0, 150.0, False, 1)), _events(), _events()]
    with pytest.raises(spans.Rerun):
        spans._join_events(parts, [dict(s) for s in _SPANS])


@pytest.mark.parametrize("option, value, words", [
    ("jobs", -1, "jobs -1"), ("jobs", 1.5, "jobs 1.5"), ("span_seconds", 0, "span seconds 0"),
    ("lead_in", -5.0, "lead-in -5.0"), ("lead_out", float("nan"), "lead-out nan"),
])
def test_bad_options_are_refused_naming_them(option, value, words):
    with pytest.raises(ValueError, match=words):
        spans.analyze_spans(voltages=np.zeros((3, 100)), sample_rate=FS, **{option: value})


@pytest.fixture(scope="module")
def short_blocks():
    """The blocks of 40 s with a dip, a step and missing samples (NaN): cycles flagged, values not measured."""
    n = int(40 * FS)
    t = np.arange(n) / FS
    u = np.empty((3, n))
    for k in range(3):
        u[k] = 230 * np.sqrt(2) * np.where((t > 12.3) & (t < 12.9), 0.5, 1.0) * (1 + 0.05 * (t > 25.0)) * \
            np.sin(2 * np.pi * 50.0 * t - k * 2 * np.pi / 3)
    u[1, int(30.2 * FS):int(30.4 * FS)] = np.nan
    i = 0.1 * u * np.linspace(1.0, 2.0, n)
    s = analysis.stream(analysis._arrays_recording(u, i, FS, 50.0))
    return s.ctx, list(s)


@pytest.mark.parametrize("begin, end", [
    (-math.inf, math.inf), (-math.inf, 12.61), (12.61, 30.3), (30.3, math.inf), (20.0, 21.0), (5.0, 5.001),
])
def test_a_spans_ranges_are_the_summarys_of_its_own_rows(short_blocks, begin, end):
    from powerquality import report
    import types

    ctx, blocks = short_blocks
    span = {"begin": begin, "end": end}
    ranges, digest = spans._Ranges(ctx, span), report.Digest(ctx)
    for b in blocks:
        ranges.process(b)
        own = types.SimpleNamespace(period=b.period[spans._within(b.period["time"], span)],
                                    frequency=b.frequency[spans._within(b.frequency["time"], span)],
                                    cycles=b.cycles[spans._within(b.cycles["time"], span)],
                                    events=b.events[:0], rvc=b.rvc[:0], aggregated=None, flicker=None,
                                    windowed=b.windowed)
        if b.windowed is not None and len(b.windowed):
            own.windowed = b.windowed[spans._within(b.windowed["firstSampleIndex"] / FS, span, spans.ON_TICK)]
        digest.process(own)
    assert ranges.rms == digest.rms and ranges.frequency == digest.frequency and ranges.thd == digest.thd
    if end - begin > 10:
        assert digest.frequency[3] > 0 and np.isfinite(list(digest.rms.values())).all()
    if begin < 12.6 < end:
        assert digest.frequency[4] > 0  # cycles over the dip, left out of the range

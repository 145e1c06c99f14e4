"""One long recording on several cores: cut into spans at ticks of its clock, analysed side by side, joined.

:func:`analyze_spans` gives the :class:`~powerquality.analysis.Analysis` that
``analyze`` gives, from spans of the recording run at once on local
processes (or on a Dask client). The recording is cut at 10-minute ticks of
its clock, every ``span_seconds`` (an hour by default; the last span takes
the rest), and each span's stream (:class:`~powerquality.analysis.Stream`,
its positions and times those of the whole recording, ``Context.origin``)
starts ``lead_in`` seconds before the span and runs ``lead_out`` seconds past
its end, so that its stages meet the span's first sample in the state the
serial run has there and close what the span's last tick closes. Of each
span's results only what belongs to it is kept, by the clock interval or
the time it starts in; the rest is joined in :func:`assemble`.

What each stage needs before the span (the lead-in: whole 10-minute
intervals of the clock, at least ``lead_in`` seconds (``LEAD_IN`` = 300 s
by default, so one), and ``LEAD_SETTLE`` = 10 s before them, its start put
on a whole ``grain``: 10 s of positions and a whole number of the
flickermeter's decimation, so that the tracker's 10-second intervals and
the meter's decimated samples fall where the serial run's do):

- the frequency tracker: its filter and the seven cycles of a frequency,
  some ten cycles; its crossings then are the serial run's (the span's
  tracker counts from its own first sample; its caller indices are shifted
  by the origin, exactly);
- the module: its windows are computed from the samples and the window
  starts alone (those of the lead-in are planned, but only the last
  ``WINDOWS_BEFORE`` = 2 s of them measured: the span's own 10-minute
  intervals then begin on a tick whose interval before held windows, as
  the aggregator calls them complete) (the module is reset at the span's first segment); the
  window series starts again at every tick as in the serial run, and the
  150/180-cycle intervals with it. The series that runs into the span's
  first tick must be the serial run's too (its last window may start on
  the tick, rounded up from a crossing less than half a sample before it,
  and so belong to the span): hence a lead-in of whole 10-minute intervals,
  whose first tick starts the series as the serial run started it. Its period
  values are placed by the phase it has run through since its reset (one
  cycle per tracked segment, summed position by position), so a span's lie
  a few hundredths of a sample off the serial run's (whose own placement
  carries the rounding of that sum since its first sample): the same items,
  their times within 0.05 of a sample, Urms(1/2) within a few 1e-6 relative
  (more where a cycle holds a step: a few % of a value that the edge of an
  interruption cuts to a tenth). The
  module's own RVC fields of the period records (not reported) start afresh
  in each span;
- the event detectors: a dip, swell or interruption that runs across a
  border is joined rather than replayed: the span where it starts gives its
  start, the next spans (whose detectors start afresh in the lead-in and so
  see it running there) give its end, extremes and phases; it is one event
  with the serial run's start and end to the sample. The windows' and the
  Pst's flags come from each span's own detectors, which see such an event
  from the lead-in on;
- the RVC detector: a steady state of one second of Urms(1/2) values (and
  no RVC while a dip runs, a fresh steady state after it): settled within
  seconds of the lead-in; an RVC across a border is joined as the events are;
- the flickermeter: its band-pass (0.05 Hz high-pass, 3.2 s; the 300 ms
  smoothing) and the normaliser, a first-order mean of 60 s over the mean
  square (a plain mean over its first minute): after 300 s (the lead-in is
  longer) the normaliser's start has fallen to e^-4 of what it was, a relative 1e-4 or less of the
  level for a steady supply, so Pinst within about 2e-4 and Pst (from
  percentiles of Pinst over 10 minutes) within well under 0.1 %;
- 2-hour values cross borders: they are made again from the spans'
  10-minute sums (the aggregator's own, before the share measured is taken
  out) by a fresh IntervalAggregator, one window per 10-minute value, so
  the root mean square is the aggregator's own; Plt likewise from the
  joined Pst as the meter computes it (the cube root of the mean cube of
  the block's Pst that are not NaN).

Tolerances (checked by the tests on a recording with a dip, an
interruption, an RVC and a flicker modulation across borders):

- 3-s, 10-minute and 2-hour values within 1e-9 relative: measured equal bit
  for bit (the windows are the serial run's windows, the crossings they
  start on the serial run's, the aggregation the same sums in the same
  order; the 2-hour value the aggregator's root mean square of the same
  10-minute values);
- windows, their flags and marks, cycles, frequencies, 10-second values:
  equal (frequencies to 1e-15, the rounding of crossings counted from
  another first sample);
- events and RVCs: the same start and duration to a sample (measured a few
  microseconds apart: their times are those of the period values above),
  extremes within 1e-5 relative;
- Pst and Plt within 0.1 % (the normaliser's lead-in above; measured
  within 1e-7), the largest Pinst likewise.

The command line and the fleet do not hold the joined Analysis: :class:`Joined` hands the spans' results to
their consumers as blocks, span by span, in order, as the spans end, each span's worker writing its own rows of
the big tables that need no join (OWN_TABLES) into files that the join copies into the consumer's tables; what it
holds between spans does not grow with the recording (see :class:`Joined`). Its tables, summary and assessment
are those of :func:`blocks` of :func:`assemble`'s whole join, byte for byte.

When the join cannot be made (a span's stream refuses its part of the
recording, e.g. an hour without voltage that the serial run carries through,
or an event running into a span whose detector never saw it start: a
voltage held for the whole lead-in inside the hysteresis band), the
recording is analysed serially instead, and the result says so
(``Analysis.spans`` is then 1).
"""

import math
import os
import time as _time
import types

import numpy as np

from . import _core, analysis
from .recording import Recording, RecordingError

SPAN_SECONDS = 3600.0
LEAD_IN = 300.0  # at least; whole 10-minute intervals (see plan)
LEAD_SETTLE = 10.0  # seconds before those for the tracker to settle
LEAD_OUT = 20.0
WINDOWS_BEFORE = 2.0  # seconds of the lead-in's windows measured
TICK = _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS
PER_BLOCK = _core.IntervalAggregator.TEN_MINUTES_PER_TWO_HOURS
# A window that starts within this of a tick counts as on it (as the aggregator counts it).
ON_TICK = 1e-6


class Rerun(Exception):
    """The spans cannot be joined into the serial run's results (a span's stream refused its part, or an event
    ran into a span whose detectors never saw it start): analyse the recording serially instead."""


def plan(samples, sample_rate, clock_offset, span_seconds=SPAN_SECONDS, lead_in=LEAD_IN, lead_out=LEAD_OUT,
         grain=1):
    """The spans of a recording: a list of dicts with ``begin``/``end`` (seconds from the first sample, the
    ticks that bound the span; -inf and inf at the recording's ends), ``first``/``stop`` (the positions of
    the span's own samples) and ``lo``/``hi`` (those its stream reads, lead-in and lead-out included).

    Borders lie on 10-minute ticks of the clock, every ``span_seconds`` rounded to whole 10 minutes (at least
    one), counted from the first tick inside the recording; the last span takes what is left.
    """
    fs = float(sample_rate)
    every = max(1, int(round(float(span_seconds) / TICK)))
    duration = samples / fs
    first_tick = (math.floor(clock_offset / TICK + ON_TICK) + 1) * TICK - clock_offset
    borders = []
    t = first_tick + (every - 1) * TICK
    while t < duration - ON_TICK:
        borders.append(t)
        t += every * TICK
    begins = [-math.inf] + borders
    ends = borders + [math.inf]
    out = []
    for begin, end in zip(begins, ends):
        first = 0 if begin == -math.inf else int(math.ceil(begin * fs - 1e-9))
        stop = samples if end == math.inf else int(math.ceil(end * fs - 1e-9))
        # The lead-in: whole 10-minute intervals (at least lead_in seconds), so that the window series the
        # span's stream runs at its first tick started on the tick before, as the serial run's did, and the
        # tracker's settling before them.
        ticks = max(1, math.ceil(lead_in / TICK - ON_TICK))
        lo = 0
        if begin != -math.inf:
            head = int(math.ceil((begin - ticks * TICK) * fs - 1e-9)) - int(round(LEAD_SETTLE * fs))
            lo = max(0, head // grain * grain)
        hi = samples if end == math.inf else min(samples, stop + int(round(lead_out * fs)))
        out.append({"begin": begin, "end": end, "first": first, "stop": stop, "lo": lo, "hi": hi})
    return out


def grain_of(sample_rate):
    """Positions on which a lead-in starts: whole 10 s (the tracker's 10-second intervals count from its first
    sample) and whole decimations of the flickermeter (floor(rate / 1000) samples)."""
    fs = float(sample_rate)
    decimation = max(1, int(fs // 1000))
    ten = 10.0 * fs
    if ten == int(ten):
        return math.lcm(int(ten), decimation)
    return decimation


class _View:
    """The positions [lo, hi) of a recording, read with the recording's own positions, its blocks cut at
    the span's borders too (so that a block holds only the span's samples or only the lead's)."""

    def __init__(self, recording, lo, hi, cuts=()):
        self._recording, self.lo, self.hi = recording, int(lo), int(hi)
        self.cuts = sorted(c for c in cuts if lo < c < hi)

    def __getattr__(self, name):
        return getattr(self._recording, name)

    @property
    def samples(self):
        return self.hi

    def blocks(self, size, channels=None, dtype=np.float32):
        rec, lo, hi = self._recording, self.lo, self.hi
        if rec.reader is None:
            chosen = rec.channels if channels is None else [rec.channel(c) if isinstance(c, str) else c
                                                            for c in channels]
            parts = self._cut(lo, hi, size)
            for a, b in parts:
                block = np.empty((len(chosen), b - a), dtype)
                for row, c in enumerate(chosen):
                    block[row] = c.values[a:b]
                yield a, block
            return
        for position, block in rec.blocks(size, channels, dtype, first=lo, stop=hi):  # binary files: lo to hi
            end = position + block.shape[1]
            if end <= lo:
                continue
            if position >= hi:
                break
            a, b = max(position, lo), min(end, hi)
            for x, y in self._cut(a, b, size):
                yield x, block[:, x - position:y - position]

    def _cut(self, a, b, size):
        marks = [a] + [c for c in self.cuts if a < c < b] + [b]
        out = []
        for x, y in zip(marks[:-1], marks[1:]):
            out += [(p, min(p + size, y)) for p in range(x, y, size)]
        return out


class _SpanAggregation(analysis._Aggregation):
    """The aggregation stage keeping the 10-minute rows as the aggregator gives them (its sums, before the
    share measured is taken out): the 2-hour values are made again from them."""

    def __init__(self, ctx):
        super().__init__(ctx)
        self.raw = []

    def _new_aggregator(self):
        return _Tee(super()._new_aggregator(), self.raw)


class _Tee:
    def __init__(self, aggregator, raw):
        self._aggregator, self._raw = aggregator, raw

    def __getattr__(self, name):
        return getattr(self._aggregator, name)

    def ten_minute_intervals(self):
        rows = self._aggregator.ten_minute_intervals()
        if len(rows):
            self._raw.append(rows.copy())
        return rows


class _SpanStream(analysis.Stream):
    """The stream of a span: its aggregation stage keeps the 10-minute sums."""

    def _build(self, head):
        super()._build(head)
        self.stages = [_SpanAggregation(self.ctx) if type(st) is analysis._Aggregation else st
                       for st in self.stages]


class Light(analysis.Collector):
    """The Collector without the big tables: period values, cycles and windows (with their arrays, flags and
    signalling voltages) are not kept (the cycles' starts are, 8 bytes each), so that memory stays that of the events and the intervals however long the recording."""

    def process(self, b):
        _drop_big(b)
        super().process(b)


def _drop_big(b, windows=False):
    """The block without its period values and cycles, and without its windows (their arrays and signalling
    voltages) unless ``windows``: then the windows' records are cut to their first sample and time (16 bytes
    where they held some 4 kB), their arrays and signalling voltages kept."""
    b.period = b.period[:0]
    b.frequency = b.frequency[:0]
    b.cycles = b.cycles[:0]
    if not windows:
        b.windowed = b.harmonics = None
        if b.signalling is not None:
            b.signalling = b.signalling[:0]
    elif b.windowed is not None:
        cut = np.empty(len(b.windowed), WINDOW_TIMES)
        cut["firstSampleIndex"], cut["time"] = b.windowed["firstSampleIndex"], b.windowed["time"]
        b.windowed = cut


# What a light run keeps of a window's record.
WINDOW_TIMES = np.dtype([("firstSampleIndex", "u8"), ("time", "f8")])


class _SpanCollector(analysis.Collector):
    """The Collector, with the largest Pinst and the missing samples of the span's own blocks only; and what
    the summary says of the span's own period values, cycles and windows (their ranges and counts, see
    ``report.Digest``), reduced before ``light`` drops them (True: the period values, cycles and windows;
    'windows': the period values and cycles alone)."""

    def __init__(self, span, light=False, outlet=None):
        super().__init__()
        self.span, self.first, self.stop, self.light = span, span["first"], span["stop"], light
        self.missing_samples, self.first_missing = 0, None
        self.ranges = None
        self.outlet = outlet  # what takes the span's own rows of the tables that need no join (see _Outlet)

    def process(self, b):
        if self.ranges is None:
            self.ranges = _Ranges(self.ctx, self.span)
        self.ranges.process(b)
        if self.outlet is not None:
            self.outlet.process(b)
        if self.light:
            _drop_big(b, windows=self.light == "windows")
        own = self.first <= b.position < self.stop
        if not own and b.flicker is not None:
            b.flicker = dict(b.flicker, pinst_max=np.full(len(b.flicker["pinst_max"]), np.nan))
        analysis.Collector.process(self, b)
        if own and b.missing is not None:
            self.missing_samples += int(np.count_nonzero(b.missing))
            if self.first_missing is None:
                self.first_missing = int(b.position + np.argmax(b.missing))

    def reduced(self):
        """The ranges and counts of the span's own period values, cycles and windows (see ``join_reduced``)."""
        r = self.ranges
        return None if r is None else {"rms": {k: list(v) for k, v in r.rms.items()},
                                       "frequency": list(r.frequency), "thd": list(r.thd)}


class _Ranges:
    """What the summary says of a span's own period values, cycles and windows, as ``report.Digest`` gathers
    them (each channel's lowest and highest RMS value; the lowest and highest tracked frequency, the cycles
    and those flagged; the voltage THD's range and the windows), with the same values, reduced in place:
    a block wholly inside the span (all but those at its ends) is taken whole, the others through a mask,
    never a copy of the block's tables (a copy of the period records cost a tenth of a span's time)."""

    def __init__(self, ctx, span):
        self.span, self.fs, self.voltages = span, ctx.sample_rate, len(ctx.voltages)
        self.rms = {("U", k): [np.inf, -np.inf] for k in range(len(ctx.voltages))}
        self.rms.update({("I", k): [np.inf, -np.inf] for k in range(len(ctx.currents))})
        self.frequency = [np.inf, -np.inf, 0, 0, 0]  # lowest and highest valid, cycles, flagged, in events
        self.thd = [np.inf, -np.inf, 0]
        self.channels = {"U": len(ctx.voltages), "I": len(ctx.currents)}

    def _mine(self, times, slack=0.0):
        """None when every one of the times lies in the span, else the mask of those that do."""
        span = self.span
        if len(times) and float(times.min()) >= span["begin"] - slack and float(times.max()) < span["end"] - slack:
            return None
        return _within(times, span, slack)

    def process(self, b):
        f = b.cycles
        if len(f):
            mine = self._mine(f["time"])
            valid = f["valid"] if mine is None else f["valid"] & mine
            count = len(f) if mine is None else int(np.count_nonzero(mine))
            in_events = valid & f["flagged"]
            _widen(self.frequency, f["frequency"], valid & ~f["flagged"])
            self.frequency[2] += count
            self.frequency[3] += count - int(np.count_nonzero(valid))
            self.frequency[4] += int(np.count_nonzero(in_events))
        period = b.period
        if len(period):
            mine = self._mine(period["time"])
            phase = period["phase"]
            kinds = [(kind, name) for kind, name in (("U", "rmsVoltage"), ("I", "rmsCurrent")) if self.channels[kind]]
            values = np.stack([period[name] for _, name in kinds])
            ok = np.isfinite(values) if mine is None else np.isfinite(values) & mine
            # Every channel at once: [kind, phase] its finite values (none: inf and -inf, the range kept).
            ok = (phase == np.arange(max(self.channels.values()), dtype=phase.dtype)[:, None])[None] & ok[:, None]
            lows = np.where(ok, values[:, None], np.inf).min(axis=2).tolist()
            highs = np.where(ok, values[:, None], -np.inf).max(axis=2).tolist()
            for j, (kind, _) in enumerate(kinds):
                for k in range(self.channels[kind]):
                    span = self.rms[(kind, k)]
                    span[0], span[1] = min(span[0], lows[j][k]), max(span[1], highs[j][k])
        w = b.windowed
        if w is not None and len(w) and "phases" in w.dtype.names:
            from . import report

            mine = self._mine(w["firstSampleIndex"] / self.fs, ON_TICK)
            thd = report._thd_of(w, self.voltages)
            _widen(self.thd, thd, np.isfinite(thd) if mine is None else np.isfinite(thd) & mine)
            self.thd[2] += len(w) if mine is None else int(np.count_nonzero(mine))


def _widen(span, values, where):
    """span[0], span[1] widened to the lowest and highest of the values where ``where`` is set (NaN
    among them as ``min`` and ``max`` of Python meet it: the range kept)."""
    if where.any():
        span[0] = min(span[0], float(np.where(where, values, np.inf).min()))
        span[1] = max(span[1], float(np.where(where, values, -np.inf).max()))


def join_reduced(parts):
    """The spans' ranges and counts joined: the lowest of the lows, the highest of the highs, the counts summed."""
    parts = [p for p in parts if p is not None]
    if not parts:
        return None
    out = {"rms": {}, "frequency": [np.inf, -np.inf, 0, 0, 0], "thd": [np.inf, -np.inf, 0]}
    for p in parts:
        for key, (low, high) in p["rms"].items():
            was = out["rms"].setdefault(key, [np.inf, -np.inf])
            was[0], was[1] = min(was[0], low), max(was[1], high)
        for name in ("frequency", "thd"):
            was, new = out[name], p[name]
            was[0], was[1] = min(was[0], new[0]), max(was[1], new[1])
            for k in range(2, len(was)):
                was[k] += new[k]
    return out


def _decide(recording, options, stream=False):
    """The serial run's choices that read the start of the recording (the nominal frequency, Udin, the lamp,
    the channels and their reasons): a stream built on the head, as the serial run builds it (its context;
    the stream itself with ``stream``)."""
    s = analysis.Stream(recording, **options)
    ctx = s.ctx
    fs = ctx.sample_rate
    held = []
    for chunk in s._chunks():
        held.append(chunk)
        if ctx.nominal_frequency is not None or sum(c[1].shape[1] for c in held) >= 10 * fs:
            break
    head = np.concatenate([c[1][0] for c in held]) if held else np.zeros(0, np.float32)
    s._build(head)
    return s if stream else ctx


def _open(source, rate, options):
    if isinstance(source, Recording):
        return source
    return analysis.open_recording(source, rate, options.get("nominal_frequency"))


def run_span(job):
    """One span's part of the results (a dict of tables; see :func:`assemble`)."""
    wall, started = _time.time(), _time.process_time()
    options = dict(job["options"])
    recording = _open(job["source"], job["rate"], options)
    if job.get("clock") and not isinstance(job["source"], Recording):
        for name, value in job["clock"].items():
            setattr(recording, name, value)
        recording.__dict__.pop("_start_utc", None)
    span = job["span"]
    s = _SpanStream(recording, **options)
    s.ctx.origin = span["lo"]
    # The lead-in's windows are planned but not measured, but for those of its last seconds: the
    # aggregator then sees the clock interval before the span's first tick held windows.
    s.ctx.windows_from = max(span["lo"], span["first"] - int(round(WINDOWS_BEFORE * recording.sample_rate)))
    s.recording = _View(recording, span["lo"], span["hi"], (span["first"], span["stop"]))
    outlet = _Outlet(s.ctx, span, job["outlet"], job["index"]) if job.get("outlet") else None
    collector = _SpanCollector(span, job.get("light", False), outlet)
    collector.ctx = s.ctx
    try:
        for b in s:
            collector.process(b)
    except RecordingError as error:
        if outlet is not None:
            outlet.close()
        return {"refused": str(error)}
    aggregation = next((st for st in s.stages if isinstance(st, _SpanAggregation)), None)
    a = collector.analysis(s.ctx)
    out = _own(a, span, s.ctx)
    out["raw_10min"] = _own_raw(aggregation, span, s.ctx) if aggregation is not None else None
    out["notes"] = list(recording.notes)
    out["missing_samples"], out["first_missing"] = collector.missing_samples, collector.first_missing
    out["reduced"] = collector.reduced()
    out["cpu"] = _time.process_time() - started
    out["wall"] = (wall, _time.time())
    out["positions"] = span["hi"] - span["lo"]
    out["voltage_peak"] = np.asarray(s.ctx.voltage_peak)
    if outlet is not None:
        out.update(outlet.finish())
    return out


def _within(times, span, slack=0.0):
    t = np.asarray(times, np.float64)
    return (t >= span["begin"] - slack) & (t < span["end"] - slack)


def _interval_range(span, clock_offset):
    lo = -np.inf if span["begin"] == -math.inf else int(round((span["begin"] + clock_offset) / TICK))
    hi = np.inf if span["end"] == math.inf else int(round((span["end"] + clock_offset) / TICK))
    return lo, hi


def _by_interval(rows, span, clock_offset):
    if rows is None:
        return None
    lo, hi = _interval_range(span, clock_offset)
    k = rows["clockInterval"]
    return rows[(k >= lo) & (k < hi)]


def _own(a, span, ctx):
    """What of a span's Analysis belongs to the span."""
    fs, offset = ctx.sample_rate, ctx.clock_offset
    out = {"period": a.period[_within(a.period["time"], span)],
           "frequency": a.frequency[_within(a.frequency["time"], span)],
           "frequency_flags": a.frequency_flags[_within(a.frequency["time"], span)],
           "crossings": a.crossings[_within(a.crossings / fs, span)],
           "ten_second": None if a.ten_second is None else
           a.ten_second[_within(a.ten_second["firstSampleIndex"] / analysis.DIVISOR / fs, span, ON_TICK)],
           "events": a.events, "rvc": a.rvc}
    if a.windowed is not None:
        mine = _within(a.windowed["firstSampleIndex"] / fs, span, ON_TICK)
        out["windowed"] = a.windowed[mine]
        out["harmonics"] = None if a.harmonics is None else {n: v[mine] for n, v in a.harmonics.items()}
        out["window_flags"], out["window_gaps"] = a.window_flags[mine], a.window_gaps[mine]
        out["aggregated"] = {key: _by_interval(a.aggregated[key], span, offset) for key in ("3s", "10min")}
        if a.signalling is not None:
            count = len(a.signalling) // max(1, len(a.windowed))
            out["signalling"] = a.signalling[np.repeat(mine, count)] if len(a.windowed) else a.signalling[:0]
            out["signalling_3s"] = _by_interval(a.signalling_3s, span, offset)
    if a.flicker is not None:
        out["pst"] = _by_interval(a.flicker["pst"], span, offset)
        out["pinst_max"] = a.flicker["pinst_max"]
    return out


def _own_raw(aggregation, span, ctx):
    rows = [r for r in aggregation.raw if len(r)]
    if not rows:
        return None
    return _by_interval(np.concatenate(rows), span, ctx.clock_offset)


def _join_events(parts, spans):
    """The events (or RVCs) of the spans, joined (see :class:`_EventJoin`), in order of start (a stable sort of
    them in the order they became whole)."""
    join = _EventJoin(parts[0][:0])
    for k, (rows, span) in enumerate(zip(parts, spans)):
        join.add(rows, span, k == len(spans) - 1)
    return join.take(final=True)


class _EventJoin:
    """The events (or RVCs) of the spans joined span by span: each span's own (started in it), those still
    running at the end of its stream joined with their continuation in the next spans (an interruption runs
    with the dip that holds it: each is joined to the next span's event of its type).

    It holds the events still running and those whole but not yet taken: :meth:`take` gives, in order of
    start, the whole ones that no event still running started before (or at the same time as), so that what
    it gives, one take after another, is the stable sort by start of all of them in the order they became
    whole (as a sort of them all at the end would give them)."""

    def __init__(self, empty):
        self.empty = empty
        self.typed = "type" in empty.dtype.names
        self.carried = []  # joined events still running at the end of the previous span's stream
        self.whole = []  # whole events not taken yet, in the order they became whole

    def add(self, rows, span, last):
        before = rows[rows["startTime"] < span["begin"]] if span["begin"] != -math.inf else rows[:0]
        used = np.zeros(len(before), bool)
        still = []
        for carry in self.carried:
            edge, row = carry["data_end"], carry["row"]
            end = before["startTime"] + before["duration"]
            match = np.flatnonzero(~used & (before["startTime"] <= edge) & (~before["ended"] | (end >= edge)) &
                                   ((before["type"] == row["type"]) if self.typed else True))
            if not len(match):
                raise Rerun("an event running across a border was not seen by the next span")
            used[match[0]] = True
            cont = before[match[0]]
            row["duration"] = float(cont["startTime"] + cont["duration"]) - float(row["startTime"])
            _merge_extremes(row, cont)
            row["ended"], row["cutByGap"] = cont["ended"], cont["cutByGap"]
            follow = _carry(row, span, last)
            (self.whole if follow is None else still).append(row if follow is None else follow)
        for row in rows[_within(rows["startTime"], span)]:
            row = row.copy()
            follow = _carry(row, span, last)
            (self.whole if follow is None else still).append(row if follow is None else follow)
        self.carried = still

    def take(self, final=False):
        """The whole events that come next in order of start (all of them with ``final``)."""
        if final:
            self.whole += [carry["row"] for carry in self.carried]
            self.carried = []
        if not self.whole:
            return self.empty
        rows = np.array(self.whole, dtype=self.empty.dtype)
        if self.carried:
            ready = rows["startTime"] < min(float(c["row"]["startTime"]) for c in self.carried)
            self.whole = [row for row, r in zip(self.whole, ready) if not r]
            rows = rows[ready]
        else:
            self.whole = []
        return rows[np.argsort(rows["startTime"], kind="stable")]

    def held(self):
        return len(self.carried) + len(self.whole)


def _carry(row, span, last):
    """The event as one to continue in the next span, or None when it is whole here."""
    if last or row["ended"] or row["cutByGap"]:
        return None
    return {"row": row, "data_end": span["data_end"]}


def _merge_extremes(row, cont):
    names = row.dtype.names
    if "extremeVoltage" in names:
        swell = row["type"] == 2
        take = cont["extremeVoltage"] > row["extremeVoltage"] if swell else \
            cont["extremeVoltage"] < row["extremeVoltage"]
        if take:
            row["extremeVoltage"], row["extremePercent"] = cont["extremeVoltage"], cont["extremePercent"]
    else:  # an RVC: the largest change from the steady state before it
        if abs(cont["deltaUmax"]) > abs(row["deltaUmax"]):
            row["deltaUmax"] = cont["deltaUmax"]
        row["deltaUss"] = cont["deltaUss"]
    row["phases"] |= cont["phases"]


def _two_hours(raw, ten, names, clock_offset, udin):
    """2-hour values from the 10-minute rows (all of them at once: see :class:`_TwoHours`)."""
    return _TwoHours(names, clock_offset, udin).add(raw, ten, final=True)


class _TwoHours:
    """2-hour values from the spans' 10-minute rows, span by span: each 10-minute value as one window of a
    fresh aggregator, whose 2-hour value is then the root mean square of them (the mean of the shares), as
    the serial run's; whole when its block holds twelve whole 10-minute values. It holds the aggregator and
    the count of whole 10-minute values of the blocks not closed yet."""

    def __init__(self, names, clock_offset, udin):
        self.names, self.offset, self.udin = names, clock_offset, udin
        self.aggregator = analysis._aggregator(len(names), clock_offset)
        self.whole = {}  # 2-hour block -> its whole 10-minute values so far

    def add(self, raw, ten, final=False):
        """The 2-hour rows that the 10-minute rows ``raw`` (the aggregator's own sums) and ``ten`` (as the
        aggregation stage gives them) close; every one left with ``final``."""
        aggregator = self.aggregator
        if raw is not None and len(raw):
            aggregator.add_windows(np.ascontiguousarray(raw["startTime"], np.float64),
                                   np.ascontiguousarray(raw["endTime"], np.float64),
                                   np.ascontiguousarray(raw["values"], np.float64),
                                   np.ascontiguousarray(raw["flagged"], bool))
        if ten is not None:
            for block, complete in zip((ten["clockInterval"] // PER_BLOCK).tolist(), ten["complete"].tolist()):
                self.whole[block] = self.whole.get(block, 0) + int(complete)
        if final:
            aggregator.flush()
        two = analysis._take_intervals(aggregator, self.names, self.offset, self.udin)["2h"]
        for k, block in enumerate((two["clockInterval"] // PER_BLOCK).tolist()):
            two["complete"][k] = self.whole.pop(block, 0) == PER_BLOCK
        return two


def _long_term(pst, labels, clock_offset):
    """Plt of every 2-hour block of the joined Pst, as the meter gives it (the cube root of the mean cube of
    the block's Pst that are not NaN), framed as the flicker stage frames them."""
    per = _core.FlickerMeter.SHORT_TERM_PER_LONG_TERM
    whole = _core.FlickerMeter.SHORT_TERM_SECONDS
    if pst is None or not len(pst):
        dtype = analysis.FLICKER_FRAME + [(label + "plt", "f8") for label in labels]
        return np.zeros(0, dtype)
    blocks = pst["clockInterval"] // per
    dtype = analysis.FLICKER_FRAME + [(label + "plt", "f8") for label in labels]
    out = np.zeros(len(np.unique(blocks)), dtype)
    for k, block in enumerate(np.unique(blocks)):
        rows = pst[blocks == block]
        out["clockInterval"][k] = block * per
        out["startTime"][k] = max(block * per * whole - clock_offset, 0.0)
        out["gap"][k] = rows["gap"].any()
        closed = (rows["clockInterval"] == block * per + per - 1).any()
        for label in labels:
            v = rows[label + "pst"]
            v = v[np.isfinite(v)]
            out[label + "plt"][k] = np.cbrt(np.sum(v ** 3) / len(v)) if len(v) else np.nan
        if closed:
            out["endTime"][k] = (block + 1) * per * whole - clock_offset
            out["flagged"][k] = out["gap"][k] or rows["flagged"].any()
            out["complete"][k] = len(rows) == per and rows["complete"].all()
        else:
            out["endTime"][k] = rows["endTime"][-1]
            out["flagged"][k] = rows["flagged"].any()
            out["complete"][k] = False
    return out


def assemble(parts, spans, ctx, recording, seconds, began=0.0):
    """The spans' parts joined into the serial run's Analysis."""
    for span in spans:
        span["data_end"] = span["hi"] / ctx.sample_rate
    cat = analysis._join_records
    # The module places its period values by the phase it has run through since its reset, so a span's may
    # lie a little off the serial run's (see the module docstring): at a border, the values of the span
    # before end a quarter cycle before the first value of the span after, none lost, none twice.
    for k in range(1, len(parts)):
        after, before = parts[k]["period"], parts[k - 1]["period"]
        if after is not None and len(after) and len(before):
            parts[k - 1]["period"] = before[before["time"] < after["time"][0] - 0.25 / ctx.nominal_frequency]
    period = cat([_renumbered(p["period"], k, parts) for k, p in enumerate(parts)]) if parts[0]["period"] is not None \
        else None
    events = _join_events([p["events"] for p in parts], spans)
    rvc = _join_events([p["rvc"] for p in parts], spans)
    windowed = harmonics = aggregated = None
    window_flags = window_gaps = np.zeros(0, bool)
    signalling = signalling_3s = None
    if ctx.window_cycles:
        windowed = cat([p["windowed"] for p in parts])
        harmonics = analysis._join_arrays([p["harmonics"] for p in parts]) if parts[0]["harmonics"] is not None \
            else None
        window_flags = np.concatenate([p["window_flags"] for p in parts])
        window_gaps = np.concatenate([p["window_gaps"] for p in parts])
        three = _concat([p["aggregated"]["3s"] for p in parts])
        ten = _concat([p["aggregated"]["10min"] for p in parts])
        raw = _concat([p["raw_10min"] for p in parts])
        names = [n for n in ten.dtype.names[len(analysis.AGGREGATE_FRAME) + 1:]]
        two = _two_hours(raw if raw is not None else np.zeros(0), ten, names, ctx.clock_offset,
                         float(ctx.declared_voltage))
        aggregated = {"3s": three, "10min": ten, "2h": two}
        if ctx.signalling:
            signalling = np.concatenate([p["signalling"] for p in parts])
            signalling_3s = np.concatenate([p["signalling_3s"] for p in parts])
    flicker = None
    if "pst" in parts[0]:
        pst = _concat([p["pst"] for p in parts])
        labels = [name[:-3] for name in pst.dtype.names if name.endswith("pst")]
        with np.errstate(all="ignore"):
            peak = np.fmax.reduce(np.array([p["pinst_max"] for p in parts], np.float64), axis=0)
        flicker = {"pst": pst, "plt": _long_term(pst, labels, ctx.clock_offset), "pinst_max": peak,
                   "lamp": ctx.flicker_lamp, "lamp_reason": getattr(ctx, "flicker_lamp_reason", "")}
    for p in parts:
        for note in p["notes"]:
            if note not in recording.notes:
                recording.notes.append(note)
    firsts = [p["first_missing"] for p in parts if p["first_missing"] is not None]
    ten_second = _concat([p["ten_second"] for p in parts])
    return analysis.Analysis(
        recording=recording, grid=ctx.grid, signalling=signalling, signalling_3s=signalling_3s,
        voltages=[c.name for c in ctx.voltages], currents=[c.name for c in ctx.currents],
        sample_rate=ctx.sample_rate, nominal_frequency=ctx.nominal_frequency, period=period,
        frequency=np.concatenate([p["frequency"] for p in parts]), ten_second=ten_second, rvc=rvc, events=events,
        frequency_flags=np.concatenate([p["frequency_flags"] for p in parts]),
        declared_voltage=ctx.declared_voltage, windowed=windowed, harmonics=harmonics, window_flags=window_flags,
        window_gaps=window_gaps, udin_source=ctx.udin_source, inference=ctx.inference,
        rvc_threshold=ctx.rvc_threshold, aggregated=aggregated, flicker=flicker, clock_offset=ctx.clock_offset,
        seconds=seconds, positions=recording.samples, crossings=np.concatenate([p["crossings"] for p in parts]),
        missing_samples=sum(p["missing_samples"] for p in parts), first_missing=min(firsts) if firsts else None,
        spans=len(parts), span_cpu=[p["cpu"] for p in parts], span_positions=[p["positions"] for p in parts],
        span_wall=[tuple(t - began for t in p["wall"]) for p in parts],
        reduced=join_reduced([p.get("reduced") for p in parts]))


def _renumbered(period, k, parts):
    """A span's period records with the items numbered on from the spans before it (each module counts its
    items from its own start)."""
    if k == 0 or not len(period):
        return period
    before = sum(len(np.unique(p["period"]["item"])) for p in parts[:k]) + int(parts[0]["period"]["item"][0]) \
        if len(parts[0]["period"]) else 0
    period = period.copy()
    period["item"] = period["item"] - period["item"][0] + before
    return period


def _concat(parts):
    parts = [p for p in parts if p is not None]
    if not parts:
        return None
    return np.concatenate(parts)


def analyze_spans(recording=None, *, jobs=2, span_seconds=None, lead_in=LEAD_IN, lead_out=LEAD_OUT,
                  client=None, light=False, voltages=None, currents=None, sample_rate=None, **options):
    """Analyse one recording in spans side by side: the :class:`~powerquality.analysis.Analysis` of ``analyze``.

    Parameters
    ----------
    recording : str, path or Recording, or arrays as ``analyze`` takes them
    jobs : int
        Local worker processes (ignored with ``client``).
    span_seconds : float, optional
        Length of a span, rounded to whole 10 minutes (at least one); the last takes what is left. By default
        as :func:`span_length` chooses: one span a local process, two a Dask worker's thread.
    lead_in, lead_out : float
        Seconds each span's stream reads before and after its span (see the module docstring).
    light : bool or 'windows'
        True: keep neither the period values, the cycles nor the windows (and their arrays and signalling
        voltages): the events, the intervals and flicker only, in memory that does not grow with the
        recording's rate; 'windows': keep the windows' arrays and signalling voltages, of their records only
        the first sample and the time (:data:`WINDOW_TIMES`), and drop the period values and cycles. Either way
        ``Analysis.reduced`` holds what the summary says of them (the RMS, frequency and THD ranges and
        counts, as ``report.Digest`` keeps them), which :func:`blocks` hands on.
    client : distributed.Client, address or scheduler file, optional
        Run the spans as Dask tasks (an address or a file as ``fleet.connect`` takes them) (the recording must be a file every worker reaches by its path, or a
        Recording held in memory, which is sent along).
    **options
        What ``analyze`` takes (``declared_voltage``, ``flicker_lamp``, ``windowed``, ...).

    Returns
    -------
    Analysis
        As ``analyze`` gives it, with ``spans``: the number of spans (1 when it was run serially: a
        recording without a border inside, or one whose spans could not be joined), ``span_cpu`` and
        ``span_positions``: each span's CPU seconds (all of its worker's call: opening the recording, the
        stages' set-up, the run and the span's share of the tables) and positions read (its lead-in and
        lead-out included), ``span_wall``: when each span's call began and ended, seconds of the clock
        (``time.time``, the workers' own) after this call began.
    """
    started, began = _time.perf_counter(), _time.time()
    options.pop("progress", None)
    if client is None and (isinstance(jobs, bool) or not isinstance(jobs, (int, np.integer)) or jobs < 0):
        raise ValueError(f"jobs {jobs!r}: give a number of local processes, 0 or more")
    if span_seconds is not None:
        span_seconds = analysis._positive(span_seconds, "span seconds")
    for value, what in ((lead_in, "lead-in"), (lead_out, "lead-out")):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value >= 0):
            raise ValueError(f"{what} {value!r}: give seconds, 0 or more")
    rate = sample_rate
    recording = analysis._recording_of(recording, voltages, currents, rate, options.get("nominal_frequency"), True)
    if recording.reader is None:
        source = recording  # held in memory: sent to the workers whole
    elif isinstance(source := _path_of(recording), str):
        pass
    else:
        source = None  # an opened file that its workers cannot open again by a path: serial
    ctx = _decide(recording, options)
    span_seconds = span_length(recording.samples / ctx.sample_rate, workers_of(jobs, client), span_seconds,
                               client is not None)
    spans = plan(recording.samples, ctx.sample_rate, ctx.clock_offset, span_seconds, lead_in, lead_out,
                 grain_of(ctx.sample_rate))
    if len(spans) < 2 or source is None:
        return _serial(recording, options, started, light)
    # The choices that read the head of the recording, made once; the channels each span's stream reads from
    # the whole recording, as the serial run does.
    decided = dict(options, nominal_frequency=ctx.nominal_frequency, declared_voltage=ctx.declared_voltage,
                   flicker_lamp=ctx.flicker_lamp)
    # A file is opened again by each worker: the clock laid over the file's (--start, --timezone) goes with it,
    # so that its ticks are the parent's.
    clock = {k: getattr(recording, k, None) for k in ("start", "date_order", "time_zone")}
    jobs_list = [{"source": source, "rate": rate, "options": decided, "span": span, "light": light,
                  "clock": clock} for span in spans]
    parts = _map(jobs_list, jobs, client)
    if any("refused" in p for p in parts):
        return _serial(recording, options, started, light)
    try:
        return assemble(parts, spans, ctx, recording, _time.perf_counter() - started, began)
    except Rerun:
        return _serial(recording, options, started, light)


def workers_of(jobs, client=None):
    """The workers the spans are spread over: ``jobs`` local processes (0: one per processor), or the threads
    of a Dask client (2 for a client given by its address, not asked)."""
    if client is not None:
        return 2 if isinstance(client, (str, os.PathLike)) else max(1, sum(client.nthreads().values()))
    if jobs == 0:
        return os.cpu_count() or 1
    return max(1, int(jobs or 1))


def span_length(seconds, workers, span_seconds=None, shared=False):
    """The span length for a recording of ``seconds`` on ``workers``: ``span_seconds`` when given, else the
    recording's duration over the workers, but at least SPAN_SECONDS (the lead-in is a twelfth of that).

    One span a worker on local processes: the system shares the cores among them, so they end together but
    for the lead-in the first span does not read (some 0.7 % of a day's span, in time of a span's own
    positions), and every span more costs a lead-in of CPU time. With ``shared`` (a Dask cluster, whose
    workers may run at different speeds or hold other tasks) two spans a worker, so that one that ends early
    takes another."""
    if span_seconds is not None:
        return float(span_seconds)
    share = seconds / ((2 if shared else 1) * max(1, int(workers)))
    return max(SPAN_SECONDS, math.ceil(share / TICK) * TICK)


def splits(recording, workers, span_seconds=None, shared=False):
    """Whether a recording (opened, its rates checked) is long enough to be cut into two spans or more on
    ``workers`` (``shared``: of a Dask cluster, see :func:`span_length`); a shorter one is analysed serially,
    block by block."""
    fs = float(recording.sample_rate)
    if workers <= 1 or not fs > 0:
        return False
    seconds = span_length(recording.samples / fs, workers, span_seconds, shared)
    return len(plan(recording.samples, fs, analysis.clock_offset(recording), seconds)) > 1


def blocks(a):
    """The joined Analysis handed on as blocks, so that the consumers of the stream's blocks (the command line's
    summary, tables, detail, picture and EN 50160 assessment, the fleet's summary row) make of it what they
    make of the serial run's blocks.

    Every table but the flicker table goes whole in the last block (each consumer keeps its tables in order
    of time, and the events in order of start). The flicker table holds, block by block, the Pst that closed
    and then the Plt that closed: so each 2-hour block of the clock goes in a block of its own, its Pst and
    then its Plt, as the serial run writes them; the largest Pinst goes with the last.
    """
    from . import report

    last = report._block(a)
    if len(a.period) == 0 and getattr(a, "reduced", None) is not None:
        # The ranges and counts of what a light run dropped (the windows' only when they went too).
        whole = a.windowed is not None and len(a.windowed) and "phases" in a.windowed.dtype.names
        last.reduced = {k: v for k, v in a.reduced.items() if k != "thd" or not whole}
    last.ten_second = a.ten_second if a.ten_second is not None else np.zeros(0, _core.TEN_SECOND_INTERVAL_DTYPE)
    flicker = getattr(a, "flicker", None)
    if flicker is None:
        yield last
        return
    pst, plt = flicker["pst"], flicker["plt"]
    groups = sorted(set((pst["clockInterval"] // PER_FLICKER).tolist()) |
                    set((plt["clockInterval"] // PER_FLICKER).tolist()))
    blank = np.full(len(flicker["pinst_max"]), np.nan)
    for k, group in enumerate(groups):
        part = {"pst": pst[pst["clockInterval"] // PER_FLICKER == group],
                "plt": plt[plt["clockInterval"] // PER_FLICKER == group],
                "pinst_max": blank}
        if k < len(groups) - 1:
            yield _flicker_block(a, part)
        else:
            last.flicker = dict(flicker, pst=part["pst"], plt=part["plt"])
    if not groups:
        last.flicker = flicker
    yield last


PER_FLICKER = _core.FlickerMeter.SHORT_TERM_PER_LONG_TERM


def _flicker_block(a, flicker):
    """A block holding flicker rows alone."""
    import types

    return types.SimpleNamespace(
        period=a.period[:0], frequency=a.frequency[:0], cycles=np.zeros(0, analysis.CYCLE_DTYPE), ten_second=None,
        events=a.events[:0], rvc=a.rvc[:0],
        windowed=None, harmonics=None, window_flags=np.zeros(0, bool), window_gaps=np.zeros(0, bool),
        aggregated=None, flicker=flicker, signalling=None, signalling_3s=None, last=False, position=0, stop=0)


def context(a):
    """The context the consumers of the blocks of :func:`blocks` take (as the serial run's stream gives it)."""
    from . import report

    ctx = report._context(a)
    ctx.udin_source = a.udin_source
    ctx.flicker_lamp_reason = (a.flicker or {}).get("lamp_reason", "") if a.flicker is not None else ""
    return ctx


def _path_of(recording):
    """The file a recording read by blocks came from, when it can be opened again by that path."""
    path = recording.source
    return os.path.abspath(path) if path and os.path.isfile(path) else None


def _serial(recording, options, started, light):
    collector = _SpanCollector({"begin": -math.inf, "end": math.inf, "first": 0, "stop": math.inf}, light)
    s = analysis.stream(recording, **options)
    collector.ctx = s.ctx
    for b in s:
        collector.process(b)
    a = collector.analysis(s.ctx)
    a.reduced = collector.reduced()
    a.seconds = _time.perf_counter() - started
    a.spans, a.span_cpu, a.span_positions, a.span_wall = 1, [], [a.positions], []
    return a


def _map(jobs, workers, client):
    if isinstance(client, (str, os.PathLike)):
        from . import fleet

        own = fleet.connect(os.fspath(client))
        try:
            return _map(jobs, workers, own)
        finally:
            own.close()
    if client is not None:
        futures = client.map(run_span, jobs, pure=False)
        return client.gather(futures)
    if workers is None or workers <= 1:
        return [run_span(job) for job in jobs]
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    # fork: the workers inherit the package and the recording held in memory.
    context = multiprocessing.get_context("fork") if "fork" in multiprocessing.get_all_start_methods() else None
    with ProcessPoolExecutor(max_workers=int(workers), mp_context=context) as pool:
        return list(pool.map(run_span, jobs))


# --- Joined span by span: the command line's and the fleet's spans -----------------------------------------

# The tables whose rows each belong to one span and need no join (the block's field, the table's name).
OWN_TABLES = (("3s", "aggregated_3s"), ("ten_second", "frequency_10s"), ("signalling", "signalling"),
              ("signalling_3s", "signalling_3s"))


def _maker(kind, lay, fs):
    """The schema's table of a block's rows of one of OWN_TABLES, as report.Tables makes it."""
    from . import schema

    if kind == "3s":
        return lambda rows: schema.aggregated(rows, lay)
    if kind == "ten_second":
        return lambda rows: schema.frequency_10s(rows, lay, fs, analysis.DIVISOR)
    if kind == "signalling":
        return lambda rows: schema.signalling(rows, lay)
    return lambda rows: schema.signalling_3s(rows, lay)


class _Written:
    """A span's own rows of one table, written as report.Tables writes them (HELD_ROWS rows formatted at a
    time, the same text for every row) but without the header, which the parent writes."""

    def __init__(self, path, make, utc):
        from . import report

        self.path, self.make, self.utc = path, make, utc
        self.csv = report._Csv(path)
        self.csv.header = []  # no header
        self.rows = None

    def add(self, rows):
        from . import report

        if self.rows is not None and rows.dtype != self.rows.dtype:
            self.flush()
        if self.rows is None:
            self.rows = analysis.Rows(rows.dtype)
        self.rows.add(rows)
        if len(self.rows) >= report.HELD_ROWS:
            self.flush()

    def flush(self):
        from . import report

        if self.rows is not None and len(self.rows):
            columns = analysis.flatten(self.make(self.rows.array()))
            if "time" in columns:
                columns["time"] = report.iso_times(columns["time"], self.utc)
            self.csv.write(columns)
            self.rows = None

    def close(self):
        self.flush()
        self.csv.close()


class _Outlet:
    """What a span's worker does with its own rows of OWN_TABLES, block by block, before its collector sees them
    (which then holds none of them): writes them (``spool``: into one file a table, as report.Tables formats
    them, for the parent to copy into its tables in order), hands them back (``keep``), or only counts them
    (the 3-s rows: the summary's counts). With ``harmonics`` it also reduces the windows' harmonics to the
    10-minute rows of the EN 50160 assessment (as en50160.Gather does), so that the windows need not go
    back. The cycle starts are dropped: no consumer of the joined blocks takes them.

    The worker so returns no table that grows with its span but the few rows the join needs (events, RVCs,
    10-minute and Pst rows) and those kept."""

    def __init__(self, ctx, span, outlet, index):
        from . import en50160

        self.span, self.fs, self.offset = span, ctx.sample_rate, ctx.clock_offset
        self.keep = set(outlet.get("keep", ()))
        self.spool = outlet.get("spool")  # {'dir': folder, 'kinds': [...], 'layout': the tables' layout} or None
        self.index = index
        self.files = {}
        self.kept = {kind: analysis.Rows() for kind in self.keep}
        self.empty = {}  # kind -> no rows, of the kind's dtype (the parent's tables take their header from it)
        self.counts = [0, 0, 0, 0]  # 3-s intervals: rows, whole, flagged, with a gap
        self.harmonics = en50160._Harmonics(len(ctx.voltages), ctx.sample_rate, ctx.clock_offset) \
            if outlet.get("harmonics") else None

    def process(self, b):
        if self.harmonics is not None:
            self.harmonics.add(b.windowed, b.harmonics)
        b.crossings = b.crossings[:0]
        span, fs, offset = self.span, self.fs, self.offset
        found = []
        if b.aggregated is not None:
            rows = b.aggregated["3s"]
            found.append(("3s", rows, _by_interval(rows, span, offset)))
            b.aggregated = dict(b.aggregated)
            b.aggregated["3s"] = rows[:0]
        if b.ten_second is not None:
            rows = b.ten_second
            found.append(("ten_second", rows,
                          rows[_within(rows["firstSampleIndex"] / analysis.DIVISOR / fs, span, ON_TICK)]))
            b.ten_second = rows[:0]
        if getattr(b, "signalling", None) is not None:
            rows, w = b.signalling, b.windowed
            if w is not None and len(w):
                mine = _within(w["firstSampleIndex"] / fs, span, ON_TICK)
                own = rows[np.repeat(mine, len(rows) // len(w))]
            else:
                own = rows[:0]
            found.append(("signalling", rows, own))
            found.append(("signalling_3s", b.signalling_3s, _by_interval(b.signalling_3s, span, offset)))
            b.signalling, b.signalling_3s = rows[:0], b.signalling_3s[:0]
        for kind, rows, own in found:
            self.empty.setdefault(kind, rows[:0])
            if kind == "3s" and len(own):
                self._count(own)
            if kind in self.keep:
                self.kept[kind].add(own)
            elif self.spool is not None and kind in self.spool["kinds"] and len(own):
                self._file(kind).add(own)

    def _count(self, rows):
        c = self.counts
        c[0] += len(rows)
        c[1] += int(np.count_nonzero(rows["complete"]))
        c[2] += int(np.count_nonzero(rows["flagged"]))
        c[3] += int(np.count_nonzero(rows["gap"])) if "gap" in rows.dtype.names else 0

    def _file(self, kind):
        if kind not in self.files:
            spool = self.spool
            name = dict(OWN_TABLES)[kind]
            path = os.path.join(spool["dir"], f"{self.index:05d}.{name}.csv")
            self.files[kind] = _Written(path, _maker(kind, spool["layout"], self.fs), spool["layout"].utc)
        return self.files[kind]

    def close(self):
        for f in self.files.values():
            f.close()

    def finish(self):
        """What the span hands back of these tables: 'own' {kind: rows kept, or no rows of the kind's dtype},
        'written' {table: file}, 'short' (the 3-s counts), 'harmonics_10min' (names, rows) or None."""
        self.close()
        own = {}
        for kind, rows in self.empty.items():
            own[kind] = (self.kept[kind].array() if len(self.kept[kind]) else rows) if kind in self.keep else rows
        harmonics = None
        if self.harmonics is not None and self.harmonics.aggregator is not None:
            self.harmonics.finish()
            rows = self.harmonics.rows.array()
            harmonics = (list(self.harmonics.names), _by_interval(rows, self.span, self.offset))
        return {"own": own, "written": {dict(OWN_TABLES)[kind]: f.path for kind, f in self.files.items()},
                "short": list(self.counts), "harmonics_10min": harmonics}


class _LongTerm:
    """Plt of the joined Pst, 2-hour block by 2-hour block as the spans come: it holds the Pst of the blocks
    not yet closed (a block is closed once the spans that hold its 10-minute intervals have come)."""

    def __init__(self, clock_offset):
        self.offset, self.held, self.labels = clock_offset, None, None

    def add(self, pst, upto=math.inf):
        """[(Pst, Plt)] of the blocks closed once ``pst`` came and no Pst of a clock interval before ``upto``
        is still to come, in order."""
        if pst is not None:
            if self.labels is None:
                self.labels = [name[:-3] for name in pst.dtype.names if name.endswith("pst")]
            self.held = pst if self.held is None else np.concatenate([self.held, pst])
        if self.held is None or not len(self.held):
            return []
        blocks = self.held["clockInterval"] // PER_FLICKER
        out = []
        for block in np.unique(blocks).tolist():
            if (block + 1) * PER_FLICKER > upto:
                break
            rows = self.held[blocks == block]
            out.append((rows, _long_term(rows, self.labels, self.offset)))
        self.held = self.held[(blocks + 1) * PER_FLICKER > upto]
        return out


def _consumer_context(ctx, recording, arrays, flicker):
    """The context the consumers of the joined blocks take, as :func:`context` makes it of the joined Analysis."""
    return types.SimpleNamespace(recording=recording, grid=ctx.grid, voltages=list(ctx.voltages),
                                 currents=list(ctx.currents), sample_rate=ctx.sample_rate,
                                 nominal_frequency=ctx.nominal_frequency, positions=recording.samples,
                                 declared_voltage=ctx.declared_voltage, clock_offset=ctx.clock_offset,
                                 udin_source=ctx.udin_source, inference=ctx.inference,
                                 rvc_threshold=ctx.rvc_threshold, window_cycles=1 if ctx.window_cycles else 0,
                                 missing_samples=0, first_missing=None,
                                 flicker_lamp=ctx.flicker_lamp if flicker else None, arrays=arrays,
                                 inter_harmonics=ctx.inter_harmonics,
                                 flicker_lamp_reason=getattr(ctx, "flicker_lamp_reason", "") if flicker else "")


def _block(**fields):
    """A block of joined rows: what is not given is empty (or None where the consumers allow it)."""
    b = types.SimpleNamespace(
        period=np.zeros(0, _core.PERIOD_DTYPE), frequency=np.zeros(0, analysis.FREQUENCY_DTYPE),
        cycles=np.zeros(0, analysis.CYCLE_DTYPE), ten_second=None, events=np.zeros(0, analysis.EVENT_DTYPE),
        rvc=np.zeros(0, analysis.RVC_DTYPE), windowed=None, harmonics=None, window_flags=np.zeros(0, bool),
        window_gaps=np.zeros(0, bool), aggregated=None, flicker=None, signalling=None, signalling_3s=None,
        reduced=None, harmonics_10min=None, last=False, position=0, stop=0)
    for name, value in fields.items():
        setattr(b, name, value)
    return b


class Joined:
    """One long recording in spans side by side, their results joined and handed on as blocks span by span,
    in order, as the spans end: the blocks the command line's and the fleet's consumers take of the serial
    run's stream (``report.Digest``, ``report.Tables``, ``en50160.Gather``), with the same rows in the same
    order (so the same tables, byte for byte), but without the period values, cycles and windows (their
    ranges and counts go as ``reduced``).

    What it holds between spans does not grow with the recording: the events and RVCs still running at a
    border (and the whole ones that wait for them, to go in order of start), the Pst of the 2-hour block
    that runs on, the 2-hour aggregator of the 10-minute sums, the largest Pinst. The spans' own rows of the
    big tables that need no join (3-s values, 10-s frequencies, signalling voltages: OWN_TABLES) are written
    by the spans' workers into files of their own (``tables``: the consumer report.Tables, whose files it
    then copies them into, in order, once the spans before have been joined; workers on a Dask cluster hand
    them back instead), or only counted when no consumer takes them; the EN 50160 assessment's harmonics
    (``assess``) are reduced to 10-minute rows by the workers (``harmonics_10min`` of the blocks).

    Set ``tables`` and ``assess`` before iterating. Iterating raises :class:`Rerun` when the spans cannot be
    joined (before or after some blocks were handed on): the caller then analyses the recording serially,
    with fresh consumers.
    """

    def __init__(self, recording, *, jobs=2, client=None, span_seconds=None, sample_rate=None, lead_in=LEAD_IN,
                 lead_out=LEAD_OUT, **options):
        options.pop("progress", None)
        self.recording = analysis._recording_of(recording, None, None, sample_rate, options.get("nominal_frequency"),
                                                True)
        self.jobs, self.client, self.sample_rate = jobs, client, sample_rate
        self.options = options
        recording = self.recording
        if recording.reader is None:
            self.source = recording
        else:
            self.source = _path_of(recording)
        s = _decide(recording, options, stream=True)
        ctx = self.decided = s.ctx
        flicker = any(isinstance(st, analysis._Flicker) for st in s.stages)
        self.flicker = flicker
        arrays = options.get("arrays")
        self.ctx = _consumer_context(ctx, recording, tuple(arrays) if isinstance(arrays, tuple) and
                                     ctx.window_cycles else (), flicker)
        seconds = span_length(recording.samples / ctx.sample_rate, workers_of(jobs, client), span_seconds,
                              client is not None)
        self.spans = plan(recording.samples, ctx.sample_rate, ctx.clock_offset, seconds, lead_in, lead_out,
                          grain_of(ctx.sample_rate))
        self.tables = None
        self.assess = False
        self.state = None  # the join's state, once iterating (see held)
        # Each span's CPU seconds and its worker's call's start and end (time.time), as the spans come.
        self.span_cpu, self.span_wall = [], []

    def held(self):
        """Rows held by the join between spans (the events and RVCs waiting, the Pst of open 2-hour blocks,
        the 10-minute counts of open 2-hour blocks): a count that does not grow with the number of spans."""
        st = self.state
        if st is None:
            return 0
        pst = st["flicker"].held
        return st["events"].held() + st["rvc"].held() + (0 if pst is None else len(pst)) + \
            (0 if st["two"] is None else len(st["two"].whole))

    def _jobs(self, spool):
        ctx = self.decided
        decided = dict(self.options, nominal_frequency=ctx.nominal_frequency, declared_voltage=ctx.declared_voltage,
                       flicker_lamp=ctx.flicker_lamp)
        recording = self.recording
        clock = {k: getattr(recording, k, None) for k in ("start", "date_order", "time_zone")}
        keep = set()
        if self.assess:
            keep |= {"ten_second", "signalling_3s"}
        kinds = [kind for kind, _ in OWN_TABLES if kind not in keep] if self.tables is not None else []
        if self.tables is not None and spool is None:
            keep |= set(kinds)  # workers that cannot reach this machine's files hand the rows back
        outlet = {"keep": sorted(keep), "harmonics": bool(self.assess),
                  "spool": None if spool is None else {"dir": spool, "kinds": kinds, "layout": self.layout}}
        return [{"source": self.source, "rate": self.sample_rate, "options": decided, "span": span, "light": True,
                 "clock": clock, "outlet": outlet, "index": k} for k, span in enumerate(self.spans)]

    def __iter__(self):
        import shutil
        import tempfile

        from . import schema

        if len(self.spans) < 2 or self.source is None:
            raise Rerun("the recording holds one span, or cannot be opened again by its path")
        self.layout = schema.layout(self.ctx)
        spool = tempfile.mkdtemp(prefix="powerquality-spans-") if self.tables is not None and \
            self.client is None else None
        notes = list(self.recording.notes)
        parts = _imap(self._jobs(spool), self.jobs, self.client)
        try:
            yield from self._joined(parts)
        except Rerun:
            self.recording.notes[:] = notes
            raise
        finally:
            parts.close()  # the spans still running, if any, end here
            if spool is not None:
                shutil.rmtree(spool, ignore_errors=True)

    def _joined(self, parts):
        ctx, spans = self.ctx, self.spans
        for span in spans:
            span["data_end"] = span["hi"] / ctx.sample_rate
        st = self.state = {"events": _EventJoin(np.zeros(0, analysis.EVENT_DTYPE)),
                           "rvc": _EventJoin(np.zeros(0, analysis.RVC_DTYPE)),
                           "flicker": _LongTerm(ctx.clock_offset), "two": None, "pinst": None}
        for k, (part, span) in enumerate(zip(parts, spans)):
            last = k == len(spans) - 1
            if "refused" in part:
                raise Rerun(part["refused"])
            self.span_cpu.append(part["cpu"])
            self.span_wall.append(part["wall"])
            for note in part["notes"]:
                if note not in self.recording.notes:
                    self.recording.notes.append(note)
            ctx.missing_samples += part["missing_samples"]
            if part["first_missing"] is not None:
                ctx.first_missing = part["first_missing"] if ctx.first_missing is None else \
                    min(ctx.first_missing, part["first_missing"])
            st["events"].add(part["events"], span, last)
            st["rvc"].add(part["rvc"], span, last)
            own = part.get("own", {})
            b = _block(events=st["events"].take(), rvc=st["rvc"].take(), ten_second=own.get("ten_second"),
                       reduced=dict(part.get("reduced") or {}, short=part["short"]),
                       harmonics_10min=part.get("harmonics_10min"))
            if b.ten_second is None:
                b.ten_second = np.zeros(0, _core.TEN_SECOND_INTERVAL_DTYPE)
            if "aggregated" in part:
                ten = part["aggregated"]["10min"]
                if st["two"] is None:
                    names = list(ten.dtype.names[len(analysis.AGGREGATE_FRAME) + 1:])
                    st["two"] = _TwoHours(names, ctx.clock_offset, float(ctx.declared_voltage))
                b.aggregated = {"3s": own["3s"], "10min": ten,
                                "2h": st["two"].add(part["raw_10min"], ten, final=last)}
                if "signalling" in own:
                    b.signalling, b.signalling_3s = own["signalling"], own["signalling_3s"]
            yield b
            self._copy(part.get("written", {}))
            if "pst" in part:
                with np.errstate(all="ignore"):
                    peak = np.asarray(part["pinst_max"], np.float64)
                    st["pinst"] = peak if st["pinst"] is None else np.fmax(st["pinst"], peak)
                upto = math.inf if last else _interval_range(span, ctx.clock_offset)[1]
                closed = st["flicker"].add(part["pst"], upto)
                if last:  # the last block goes with the last block of all, the largest Pinst with it
                    closed, st["final"] = closed[:-1], closed[-1:]
                blank = np.full(len(st["pinst"]), np.nan)
                for pst, plt in closed:
                    yield _block(flicker={"pst": pst, "plt": plt, "pinst_max": blank})
        final = _block(events=st["events"].take(final=True), rvc=st["rvc"].take(final=True), last=True,
                       stop=ctx.positions)
        if st["pinst"] is not None:
            rest = st.get("final") or []
            labels = st["flicker"].labels or []
            pst = rest[0][0] if rest else np.zeros(0, analysis.FLICKER_FRAME + [(n + "pst", "f8") for n in labels])
            plt = rest[0][1] if rest else _long_term(None, labels, ctx.clock_offset)
            final.flicker = {"pst": pst, "plt": plt, "pinst_max": st["pinst"], "lamp": ctx.flicker_lamp,
                             "lamp_reason": ctx.flicker_lamp_reason}
        yield final

    def _copy(self, written):
        """A span's own rows of the tables, written by its worker, copied into the tables' files."""
        import shutil

        for name, path in written.items():
            with open(path, newline="") as f:
                try:
                    shutil.copyfileobj(f, self.tables.files[name].file, 1 << 20)
                except OSError as e:
                    raise WriteError(e.errno, e.strerror) from None
            os.remove(path)


class WriteError(OSError):
    """A table of the consumer report.Tables that the join could not write into (a full disk)."""


def _imap(jobs, workers, client):
    """The spans' parts, in order, each as soon as it and those before it are done (the later ones run on)."""
    if isinstance(client, (str, os.PathLike)):
        from . import fleet

        own = fleet.connect(os.fspath(client))
        try:
            yield from _imap(jobs, workers, own)
        finally:
            own.close()
        return
    if client is not None:
        futures = client.map(run_span, jobs, pure=False)
        try:
            while futures:
                yield futures.pop(0).result()
        finally:
            if futures:
                client.cancel(futures)
        return
    if workers is None or workers <= 1:
        for job in jobs:
            yield run_span(job)
        return
    import collections
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    context = multiprocessing.get_context("fork") if "fork" in multiprocessing.get_all_start_methods() else None
    pool = ProcessPoolExecutor(max_workers=int(workers), mp_context=context)
    done = False
    try:
        futures = collections.deque(pool.submit(run_span, job) for job in jobs)
        while futures:
            yield futures.popleft().result()  # not held here once handed on
        done = True
    finally:
        if not done:  # the caller stopped (an output that failed, a span that cannot be joined): the rest go
            for process in list((getattr(pool, "_processes", None) or {}).values()):
                process.terminate()
        pool.shutdown(wait=True, cancel_futures=True)

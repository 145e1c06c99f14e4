"""One call from a recording (or arrays) to result tables, and the pipeline under it.

The pipeline (:class:`Stream`) reads a recording block by block and hands
each block through its stages, in order:

    reader -> _Tracker -> _Module -> _Events -> _EventFlags -> _CycleFlags -> _Aggregation -> _Flicker -> consumers
    (samples)  (segments,  (period    (dips, swells,  (windows     (cycles      (150/180-cycle  (Pst, Plt
               crossings)  values,    interruptions,  flagged,     flagged,     10-minute and   per voltage)
                           windows)   RVC)            held until   held until   2-hour values)
                                                      known)       known)

Each stage reads what the stages before it put on the :class:`Block` and
adds its own results; the block is then dropped, so memory does not grow
with the recording. Where a new per-block consumer plugs in: append an
object with a ``process(block)`` method to ``Stream.stages`` (it sees every
block after the built-in stages, the last one with ``block.last`` True), or
pass it to :func:`run` in ``consumers``; or iterate :func:`stream` for the
blocks. A stage that needs the settings reads the stream's ``ctx``
(:class:`Context`). ``analyze`` is that pipeline with a :class:`Collector`
that joins the blocks into an :class:`Analysis`; its results do not depend
on the block size.

What the pipeline computes:

- period values with two half periods and 50 % overlap: one-cycle RMS
  values refreshed every half cycle (Urms(1/2)), the geometry dips and
  swells are defined on;
- the frequency tracked from the first voltage by the library's
  FrequencyTracker (see ``tracking``), fed to the module as one segment
  per cycle with sample-index divisor 16, the module reset at the first;
  the segments are cut at every second of positions and given to the
  module one second at a time, once all of that second's are in, so that
  the blocks' sizes do not change a bit of the results;
- rapid voltage changes as IEC 61000-4-30 Class A defines them, from the
  library's RapidVoltageChangeDetector (steady state of one second of
  Urms(1/2) values, threshold 5 % of Udin unless given, hysteresis half of
  it; a change that crosses the dip or swell threshold is not an RVC, nor
  the return from a dip or swell: detection restarts with a fresh steady
  state after it);
- dips, swells and interruptions from the library's VoltageEventDetector
  against the declared voltage Udin, with its default thresholds 90 %,
  110 % and 5 % of Udin and hysteresis 2 % (a dip or swell runs while any
  phase is beyond its threshold, an interruption while every phase is below
  its threshold, and an interruption is also reported as the dip that
  contains it), stamped after IEC 61000-4-30 Ed. 3 (from the start of the
  first value's window to the end of the value that ends the event). Udin,
  and the channels analysed, are what ``inference`` reads into the
  recording (a transformer's rating checked against the waveform, else the
  IEC 60038 nominal voltage nearest the level of the first 10 s), each with
  its reason (``Analysis.inference``). Pass ``declared_voltage`` to be exact;
- windowed results (THD, harmonics) over windows of 10 tracked cycles
  (12 at 60 Hz), one after the other, the series started again at each
  10-minute tick of the recording's clock; a window that overlaps a dip,
  swell or interruption is flagged (IEC 61000-4-30 §4.7), one without a
  tracked frequency or with a missing sample is marked ``gap`` instead
  (see :class:`_EventFlags`); the tracked cycles are flagged alike, and
  those measured over an event left out of the summary's frequency range (see
  :class:`_CycleFlags`). As IEC 61000-4-30 Class A measures voltage
  harmonics, the harmonic arrays hold harmonic subgroups (the centre line
  and its two neighbours, IEC 61000-4-7) and the distortion is THDS
  (``harmonic_subgroups_enabled`` of the module, which applies to the
  currents' arrays too);
- their main values (RMS voltage and current, THD per phase, unbalance)
  aggregated over 150/180 cycles, over 10 minutes and over 2 hours of the
  clock by the library's IntervalAggregator (see ``aggregate_windows``);
  with currents also, as IEC 61000-4-30 Ed. 3 measures them, their harmonic
  and inter-harmonic subgroups to order 50 and the current unbalance
  (the module's inter-harmonic subgroups are on for them; the windows'
  records stay as without them, see :func:`_current_columns`);
- flicker: the library's FlickerMeter on each voltage (IEC 61000-4-15), Pst
  of every 10-minute interval and Plt of every 2 hours of the same clock as
  the aggregation, fed block by block (see ``_Flicker``);
- mains signalling voltages, when ``signalling_frequencies`` are given: the
  RMS voltage of each of them in every window's spectrum, and their
  150/180-cycle values (see ``_Signalling``).

Missing samples (NaN from the readers) are marked where they are first
seen and never measured nor detected: cycles, period values, windows,
aggregates and flicker intervals over one carry ``gap``, and an event
running into one is cut there (see :func:`touching` and :class:`_Events`).
A voltage channel that never carries a voltage gives no events and is named
in the recording's notes (:class:`_Events`).

The result is an :class:`Analysis`: the records as the module gives them
(numpy structured arrays), and ``tables()``, ``as_pandas()`` and
``to_xarray()``, the tables of one schema made of them (see ``schema``).
"""

import functools
import itertools
import math
import os
import time as _time

import numpy as np

from . import _core, comtrade, inference, schema, tracking
from ._module import Module
from .recording import Recording, RecordingError, check_rate, nominal_of, waveform_frequency

DIVISOR = 16
GRID = {"star": _core.GridConfigType.ThreePhaseStar, "delta": _core.GridConfigType.ThreePhaseDelta,
        "single": _core.GridConfigType.SinglePhaseDefault}
EVENT_TYPES = {1: "dip", 2: "swell", 3: "interruption"}
# ended: the voltage came back; an event with ended False either still ran at
# the end of the data or, with cutByGap, ran into missing samples: it ends
# with the last value before them and its duration is a lower bound.
EVENT_DTYPE = np.dtype([("type", "i4"), ("phases", "u4"), ("startTime", "f8"), ("duration", "f8"),
                        ("extremeVoltage", "f8"), ("extremePercent", "f8"), ("ended", "?"), ("cutByGap", "?")])
# Rapid voltage changes (IEC 61000-4-30 Class A): deltaUss signed (mean
# after - mean before), phases a bit mask of the phases that left the band;
# ended and cutByGap as for the events.
RVC_DTYPE = np.dtype([("startTime", "f8"), ("duration", "f8"), ("deltaUmax", "f8"), ("deltaUss", "f8"),
                      ("phases", "u4"), ("ended", "?"), ("cutByGap", "?")])
# The module's period record with the mark ``gap``: the record's span (one
# cycle ending at ``time``) touches a missing sample, and every measured
# field of it is NaN. The module's binding fills these rows directly.
_RECORD = _core.PERIOD_DTYPE
PERIOD_GAP_DTYPE = np.dtype({"names": list(_RECORD.names) + ["gap"],
                             "formats": [_RECORD.fields[n][0] for n in _RECORD.names] + ["?"],
                             "offsets": [_RECORD.fields[n][1] for n in _RECORD.names] + [_RECORD.itemsize],
                             "itemsize": _RECORD.itemsize + 8})
FREQUENCY_DTYPE = np.dtype([("time", "f8"), ("frequency", "f8"), ("valid", "?")])
# A tracked cycle once the events over it are known (``Block.cycles``): the
# frequency row, and ``flagged`` when a dip, swell or interruption overlaps
# the window its frequency may be measured over (see :class:`_CycleFlags`).
CYCLE_DTYPE = np.dtype(FREQUENCY_DTYPE.descr + [("flagged", "?")])
# Mains signalling voltages: one row per window and signalling frequency
# (the window's rows in the order the frequencies were given); time the end
# of the window (as the windowed records'), frequency the signalling
# frequency in Hz, A, B, C the RMS voltages in volts (NaN for a phase the
# recording lacks, or over a gap), flagged and gap the window's.
SIGNALLING_DTYPE = np.dtype([("time", "f8"), ("frequency", "f8"), ("A", "f8"), ("B", "f8"), ("C", "f8"),
                             ("flagged", "?"), ("gap", "?")])
# Their 150/180-cycle values (root mean square of the windows'), one row per
# interval and frequency, framed as the aggregated rows.
SIGNALLING_3S_DTYPE = np.dtype([("startTime", "f8"), ("endTime", "f8"), ("clockInterval", "i8"),
                                ("windowCount", "i4"), ("flagged", "?"), ("complete", "?"), ("gap", "?"),
                                ("frequency", "f8"), ("A", "f8"), ("B", "f8"), ("C", "f8")])
# The mains signalling frequencies IEC 61000-4-30 measures, Hz.
SIGNALLING_RANGE = (110.0, 3000.0)


def load(path, sample_rate=None, nominal_frequency=None, start=None, time_zone=None):
    """Read a recording whole by its extension: .cfg/.dat/.cff (COMTRADE) or .csv/.txt; `start` (ISO 8601)
    and `time_zone` (+02:00 or a name such as Europe/Paris) laid over the file's (``Recording.set_clock``)."""
    return _open(path, sample_rate, nominal_frequency, whole=True, start=start, time_zone=time_zone)


def _open(path, sample_rate, nominal_frequency, whole, start=None, time_zone=None):
    ext = os.path.splitext(str(path))[1].lower()
    if ext in (".csv", ".txt", ".tsv"):
        from . import csvfile  # imported for a CSV file only

        read = csvfile.read if whole else csvfile.open_blocks
        return read(path, sample_rate=sample_rate, nominal_frequency=nominal_frequency, start=start,
                    time_zone=time_zone)
    recording = (comtrade.read if whole else comtrade.open_blocks)(path, sample_rate=sample_rate, start=start,
                                                                   time_zone=time_zone)
    if nominal_frequency:
        recording.nominal_frequency = nominal_frequency
    return recording


class Analysis:
    """Results of :func:`analyze`.

    Attributes
    ----------
    recording : Recording
    grid : str ('star', 'delta' or 'single')
    voltages, currents : list of channel names used
    period : ndarray of PERIOD_GAP_DTYPE (one row per record; phase -1 is the total; gap: its span
        touches a missing sample and its measured fields are NaN)
    frequency : ndarray of FREQUENCY_DTYPE (one row per tracked cycle)
    frequency_flags : bool per row of ``frequency``: a dip, swell or interruption overlaps the window the
        cycle's frequency may be measured over (see :class:`_CycleFlags`); such a cycle is left out of the
        summary's frequency range
    rvc : ndarray of RVC_DTYPE (rapid voltage changes, IEC 61000-4-30 Class A)
    events : ndarray of EVENT_DTYPE (dips, swells, interruptions; Ed. 3 time stamps)
    windowed : ndarray of GENERAL_RECORD_DTYPE or None
    harmonics : dict of arrays copied with the windowed records, or None
    window_flags, window_gaps : bool per window: the §4.7 flag (it overlaps a dip,
        swell or interruption) and the mark of a window without a tracked frequency
        or with a missing sample (whose values and arrays are NaN)
    aggregated : dict '3s' (150/180-cycle), '10min' and '2h' -> ndarray, or None
        (see :func:`aggregate_windows`)
    flicker : dict 'pst' and 'plt' -> ndarray of FLICKER_FRAME rows (with
        ``gap``, ``flagged`` and ``complete``, see ``_Flicker``) with a
        column per voltage ('A.pst', ... or 'pst'), 'pinst_max' -> the largest
        Pinst of each voltage after settling (NaN before), 'lamp' -> 230.0 or
        120.0, 'lamp_reason' -> why; None when the sample rate is below 20
        times the nominal frequency
    signalling, signalling_3s : ndarray of SIGNALLING_DTYPE (one row per window and
        signalling frequency) and of SIGNALLING_3S_DTYPE (one per 150/180-cycle interval and
        frequency), or None without ``signalling_frequencies``
    clock_offset : float, seconds from midnight to the first sample (0 when
        the recording has no readable start time)
    declared_voltage : float (Udin used for events)
    udin_source : str, where Udin came from, in words
    inference : inference.Inference, the channels' roles, Un and Udin, each with its reason
    seconds : wall time of the module run
    missing_samples : int, positions at which a sample of a channel used was missing
    first_missing : int or None, the first of them
    """

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def phase_rows(self, phase):
        return self.period[self.period["phase"] == phase]

    def layout(self):
        """What decides the tables' columns (see :class:`schema.Layout`)."""
        return schema.layout(self)

    def tables(self):
        """The results as tables of one schema (:mod:`powerquality.schema`, docs/columns.md): numpy structured
        arrays of flat columns, the same names, units and meanings as the CSV files, detail.h5, ``as_pandas`` and
        ``to_xarray``; NaN where nothing was measured, event types and phases as text, ``time`` (datetime64[ns])
        beside the seconds when the recording's start is known. Made afresh at each call from the records
        (``period``, ``windowed``, ...), which stay as the module gives them."""
        lay = schema.layout(self)
        out = {"period": schema.period(self.period, lay), "frequency": schema.frequency(self.frequency, lay),
               "rvc": schema.rvc(self.rvc, lay), "events": schema.events(self.events, lay)}
        if getattr(self, "ten_second", None) is not None:
            out["frequency_10s"] = schema.frequency_10s(self.ten_second, lay, self.sample_rate, DIVISOR)
        if self.windowed is not None:
            out["windowed"] = schema.windowed(self.windowed, self.harmonics, self.window_flags,
                                              getattr(self, "window_gaps", None), lay)
        if self.aggregated is not None:
            for key in ("3s", "10min", "2h"):
                out["aggregated_" + key] = schema.aggregated(self.aggregated[key], lay)
        if getattr(self, "flicker", None) is not None:
            out["flicker"] = schema.flicker(self.flicker["pst"], self.flicker["plt"], lay)
        if getattr(self, "signalling", None) is not None:
            out["signalling"] = schema.signalling(self.signalling, lay)
            out["signalling_3s"] = schema.signalling_3s(self.signalling_3s, lay)
        return out

    def as_pandas(self):
        """The tables as pandas DataFrames: every column of :meth:`tables`, an array of orders as a column per
        order ('A.harmonicVoltage5'), text of few values (phase, event type, flicker kind) as categories,
        indexed by ``time`` (tz-aware, UTC, when the recording's offset is known) when the start is known;
        ``frame.attrs['units']`` and ``['meanings']`` give each column's unit and meaning."""
        lay = schema.layout(self)
        return {name: schema.to_pandas(name, table, lay) for name, table in self.tables().items()}

    def to_xarray(self, table=None):
        """The tables as xarray Datasets (a dict, or the one named `table`), with labelled dimensions: ``time``
        (a row; the period table's rows of one value together), ``phase`` (A, B, C, total), ``sequence`` (zero,
        positive, negative) and ``order`` (harmonic order); each variable's ``units`` and ``long_name`` in its
        attributes."""
        lay = schema.layout(self)
        tables = self.tables()
        if table is not None:
            if table not in tables:
                raise KeyError(f"table {table!r}: this analysis has {', '.join(tables)}")
            return schema.to_xarray(table, tables[table], lay)
        return {name: schema.to_xarray(name, t, lay) for name, t in tables.items()}


flatten = schema.flatten


def _samples(values, what):
    """values (a numpy array, a pandas DataFrame or Series, nested lists) as a float64 array, else a ValueError."""
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{what}: not an array of numbers ({e})") from None
    if a.ndim == 0 or a.ndim > 2:
        raise ValueError(f"{what}: shape {a.shape}: give samples as (n,), (channels, n) or (n, channels)")
    return a


def channels_first(values, what="voltages", channels=(1, 3), samples=None, prefer_rows=True):
    """An array of samples as float64 of shape (channels, n), whichever way round it was given.

    A 1-D array is one channel. A 2-D array (numpy, a pandas DataFrame,
    nested lists) is read as (channels, n) or as (n, channels), the way the
    shape allows: one of its sides must be a number of ``channels`` (and,
    with ``samples``, the other that many samples). When only one reading
    fits, it is taken without a word; (4000, 3) is three channels. When
    both fit (a 3 x 3 array: three channels of three samples, or three
    samples of three channels) the rows are taken as channels, unless
    ``prefer_rows`` is False, and a UserWarning says so and how to say the
    other; when neither fits, a ValueError names ``what``, the shape and what
    would fit.

    Returns (array, transposed): transposed True when the columns were the
    channels.
    """
    import warnings

    a = _samples(values, what)
    counts = " or ".join(map(str, channels))
    need = f"{counts} channel(s)" + (f" of {samples} samples" if samples is not None else "")
    if a.ndim == 1:
        if 1 not in channels or samples is not None and len(a) != samples:
            raise ValueError(f"{what}: one channel of {len(a)} samples; give {need}")
        return a[np.newaxis, :], False
    rows, columns = a.shape

    def fits(k, n):
        return k in channels and (samples is None or n == samples)

    by_rows, by_columns = fits(rows, columns), fits(columns, rows)
    if not by_rows and not by_columns:
        raise ValueError(f"{what}: shape {a.shape}: give {need}, as (channels, samples) or (samples, channels)")
    if by_rows and by_columns:
        transposed = not prefer_rows
        taken = f"{columns if transposed else rows} channels of {rows if transposed else columns} samples"
        other = "rows" if transposed else "columns"
        warnings.warn(f"{what}: shape {a.shape} reads either way; took the {'columns' if transposed else 'rows'} "
                      f"as channels ({taken}); pass {what}.T to take the {other}", UserWarning, stacklevel=5)
        return (a.T if transposed else a), transposed
    return (a, False) if by_rows else (a.T, True)


def _arrays_recording(voltages, currents, sample_rate, nominal_frequency):
    """A Recording of arrays: voltages of one or three channels (phases A, B, C), currents as many and as long.

    Each array may be (channels, n) or (n, channels) (see
    :func:`channels_first`); currents that read either way are taken the
    way the voltages were."""
    from .recording import Channel

    u, transposed = channels_first(voltages, "voltages", (1, 3))
    i = None
    if currents is not None:
        i, _ = channels_first(currents, "currents", (u.shape[0],), samples=u.shape[1], prefer_rows=not transposed)
    phases = "ABC" if u.shape[0] == 3 else "A"
    channels = [Channel(f"U{p}", u[k], "V", "voltage", p, "arrays") for k, p in enumerate(phases)]
    if i is not None:
        channels += [Channel(f"I{p}", i[k], "A", "current", p, "arrays") for k, p in enumerate(phases)]
    return Recording(channels, float(sample_rate), nominal_frequency, None, "arrays")


def _nominal(fs, head):
    """Nearest of 50 and 60 Hz to the strongest spectral line between 40 and 70 Hz of `head` (float64)."""
    x = head[: int(min(len(head), 10 * fs))]
    spectrum = np.abs(np.fft.rfft(x - np.mean(x)))
    f = np.fft.rfftfreq(len(x), 1.0 / fs)
    band = (f > 40) & (f < 70)
    peak = f[band][np.argmax(spectrum[band])] if np.any(band) else 50.0
    return 50.0 if abs(peak - 50.0) <= abs(peak - 60.0) else 60.0


def _positive(value, what):
    """value as a float when it is a positive finite number, else a ValueError naming `what`."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} {value!r} is not a number") from None
    if not (np.isfinite(number) and number > 0):
        raise ValueError(f"{what} {value!r}: give a positive number")
    return number


def check_signalling(values, sample_rate=None):
    """The mains signalling frequencies as a tuple of floats, each finite and within SIGNALLING_RANGE (and
    below half the sample rate when it is given), none twice; else a ValueError that names the value."""
    low, high = SIGNALLING_RANGE
    out = []
    for value in ([values] if isinstance(values, (str, int, float)) else values):
        try:
            number = float(value)
        except (TypeError, ValueError, OverflowError):
            raise ValueError(f"signalling frequency {value!r} is not a number") from None
        if not low <= number <= high:  # NaN and infinities too
            raise ValueError(f"signalling frequency {value!r}: give {low:g} to {high:g} Hz")
        if sample_rate is not None and number >= sample_rate / 2:
            raise ValueError(f"signalling frequency {number:g} Hz is not below half the sample rate "
                             f"({sample_rate / 2:g} Hz)")
        if number in out:
            raise ValueError(f"signalling frequency {number:g} Hz is given twice")
        out.append(number)
    return tuple(out)


class Block:
    """What the pipeline made of one block of samples; stages add their results as they pass it on.

    position, stop : the block's samples are positions [position, stop)
    samples : float32 (voltages then currents, samples), missing samples written as 0 (the tracker and the
        module are fed 0 there; what they make of it is marked and blanked, see :func:`touching`)
    missing : bool (samples,) where a sample of a channel was missing, or None
    segments : the frequency segments scheduled on the module, one (first caller indices, lengths,
        frequencies, flags) per second of positions, cut at every second
    frequency : FREQUENCY_DTYPE rows of the cycles the tracker handed out
    cycles : CYCLE_DTYPE rows: the cycles handed on once the events over them are known (from the cycle
        flags stage on, see :class:`_CycleFlags`), each with its frequency row and ``flagged``
    ten_second : the tracker's 10-second frequencies that ended (TEN_SECOND_INTERVAL_DTYPE)
    period : PERIOD_GAP_DTYPE rows fetched (the total first in each item), ``gap`` set on those whose span
        touches a missing sample (their measured fields NaN)
    windowed, harmonics : windows (their records and arrays, or None); from the flags stage on (see
        :class:`_EventFlags`) those handed on once the events over them are known
    window_flags, window_gaps : per window handed on, the IEC 61000-4-30 §4.7 flag (it overlaps a dip, swell
        or interruption) and the mark of a window without a tracked frequency or with a missing sample
    events : EVENT_DTYPE rows of the dips, swells and interruptions that ended (in the last block also those
        still running, with ``ended`` False)
    rvc : RVC_DTYPE rows of the Class A rapid voltage changes that ended (in the last block also one still
        running)
    aggregated : {'3s': rows, '10min': rows, '2h': rows} of the intervals that closed
    flicker : {'pst': rows, 'plt': rows, 'pinst_max': per voltage} of the intervals that closed in the block
        and the largest Pinst in it (see :class:`_Flicker`), or None
    signalling, signalling_3s : SIGNALLING_DTYPE rows of the windows handed on and SIGNALLING_3S_DTYPE rows
        of the 150/180-cycle intervals that closed (see :class:`_Signalling`), or None without signalling
        frequencies
    last : True for the last block, after which the pipeline closes what still runs
    """

    def __init__(self, position, samples, missing, last=False):
        self.position, self.samples, self.missing, self.last = position, samples, missing, last
        self.stop = position + samples.shape[1]
        empty = np.zeros(0)
        self.segments = []
        self.frequency = np.zeros(0, FREQUENCY_DTYPE)
        self.cycles = np.zeros(0, CYCLE_DTYPE)
        self.ten_second = np.zeros(0, _core.TEN_SECOND_INTERVAL_DTYPE)
        self.period = np.zeros(0, PERIOD_GAP_DTYPE)
        self.windowed = self.harmonics = None
        self.window_flags = np.zeros(0, bool)
        self.window_gaps = np.zeros(0, bool)
        self.events = np.zeros(0, EVENT_DTYPE)
        self.rvc = np.zeros(0, RVC_DTYPE)
        self.aggregated = None
        self.flicker = None
        self.signalling = self.signalling_3s = None
        self.crossings = empty  # cycle starts (positions) handed out, and their flags
        self.cycle_flags = empty.astype(bool)


def touching(runs, lo, hi):
    """Per span [lo, hi) of positions (arrays): True where a run of missing positions meets it.

    runs: array (n, 2) of [first, end) positions, in order and apart, as
    ``Context.missing_runs`` keeps them. This is the one test of a gap: the
    tracker's cycles, the period values, the windows and the 10-s values
    that it finds are marked, and every stage after reads the mark.
    """
    lo, hi = np.asarray(lo, np.float64), np.asarray(hi, np.float64)
    out = np.zeros(lo.shape, bool)
    if not len(runs) or not lo.size:
        return out
    # The first run that ends after lo meets the span when it starts before hi.
    k = np.searchsorted(runs[:, 1].astype(np.float64), lo, side="right")
    inside = k < len(runs)
    out[inside] = runs[k[inside], 0].astype(np.float64) < hi[inside]
    return out


def _blank(view, rows, keep=()):
    """NaN into every floating field of the records `rows` (a mask) of the structured `view`, nested ones
    too, except the top-level fields named in `keep`: what a gap leaves unmeasured."""
    for name in view.dtype.names:
        if name in keep:
            continue
        field = view[name]
        if field.dtype.names:
            _blank(field, rows)
        elif field.dtype.kind in "fc":
            field[rows] = np.nan


def _doubles(records, outer, name):
    """The field `name` of the nested records `outer` of the 1-D contiguous `records` as one float64 view
    (n, items, fields) when the field's values are float64 one after another; else the field as numpy gives it.
    numpy writes a nested record's fields one at a time, element by element; a view of doubles at once."""
    layout = _doubles_layout(records.dtype, outer, name)
    if layout is None or not records.flags.c_contiguous:
        return records[outer][name]
    offset, items, count, step = layout
    return np.ndarray((len(records), items, count), np.float64, buffer=records, offset=offset,
                      strides=(records.dtype.itemsize, step, 8))


@functools.lru_cache(maxsize=64)
def _doubles_layout(dtype, outer, name):
    """(offset, items, doubles, item size) of :func:`_doubles`' view, or None where there is none."""
    kind, where = dtype.fields[outer][:2]
    inner = kind.base
    if kind.ndim != 1 or inner.names is None or name not in inner.names:
        return None
    field, offset = inner.fields[name][:2]
    kinds = [field] if field.names is None else [field.fields[n][0] for n in field.names]
    steps = [0] if field.names is None else [field.fields[n][1] for n in field.names]
    if any(k != np.float64 for k in kinds) or steps != list(range(0, 8 * len(steps), 8)):
        return None
    return where + offset, kind.shape[0], len(steps), inner.itemsize


def _unmeasured(records, names, nested=None, nested_names=()):
    """NaN into the floating fields `names` of `records` (nested records whole) and into `nested_names` of
    the nested record `nested`: values a wiring does not measure (never 0)."""
    for name in names:
        field = records[name]
        if field.dtype.names:
            _blank(field, slice(None))
        elif field.dtype.kind in "fc":
            field[...] = np.nan
    if nested is not None:
        _unmeasured(records[nested], nested_names)


class Context:
    """What every stage knows of the run: the recording, the channels, the rates and the settings.

    recording, grid, voltages and currents (Channel lists), sample_rate, nominal_frequency, clock_offset,
    window_cycles (0 without windows), declared_voltage (None until it is decided, with the nominal
    frequency, from ``inference``: the Inference of the channels' roles and Udin), fixed_frequency,
    arrays (the windows' arrays fetched: True for all, False for none, or their names),
    current_orders (the highest harmonic order of the currents' aggregated subgroups, 0 without currents or
    windows), current_arrays (the arrays fetched for them alone, dropped after the aggregation),
    rvc_threshold, block_size, positions (samples so far), crossings (recent cycle starts, positions),
    voltage_peak (the largest one-cycle RMS value of each voltage so far), flicker_lamp (230.0 or 120.0,
    or None until the stages are built), origin (the position of the stream's first sample: 0, or where a
    span of the recording begins, see ``spans``), windows_from (the first position of the windows measured:
    0, or a little before a span's own samples); the gaps: missing_runs (array (n, 2) of [first, end) positions
    where a sample of a channel used is missing, those of the last MISSING_MEMORY seconds and block),
    missing_samples (positions with a missing sample so far) and first_missing (the first, or None).
    """

    def __init__(self, **kw):
        self.__dict__.update(kw)


class _Tracker:
    """Stage: the frequency of the first voltage, as segments one cycle long (or the fixed frequency)."""

    def __init__(self, ctx):
        self.ctx = ctx
        fs = ctx.sample_rate
        if ctx.fixed_frequency:
            self.tracker = None
            self.step = fs / ctx.fixed_frequency
            # A span's stream starts at ctx.origin: its crossings stay those of the whole recording.
            self.crossing = int(math.ceil(ctx.origin / self.step))  # index of the next crossing to hand out
            self.done = ctx.origin * DIVISOR  # caller index up to which the fixed segment was scheduled
            self.edge = int(fs) * DIVISOR
        else:
            self.tracker = _core.FrequencyTracker(fs, ctx.nominal_frequency, DIVISOR)
            self.edge = int(fs) * DIVISOR
            self.pending = [np.zeros(0, np.uint64), np.zeros(0, np.int64), np.zeros(0), np.zeros(0, bool)]
            self.end = 0

    def process(self, b):
        ctx = self.ctx
        if self.tracker is None:
            # One segment over the whole recording at the fixed frequency,
            # cut at every second; its crossings every 1/f.
            end = b.stop * DIVISOR
            cuts = np.arange((self.done // self.edge + 1) * self.edge, end + 1 if b.last else end, self.edge)
            if b.last:
                cuts = np.append(cuts[cuts < end], end)
            cuts = cuts[cuts > self.done]
            if len(cuts):
                first = np.concatenate([[self.done], cuts[:-1]]).astype(np.uint64)
                lengths = np.diff(np.concatenate([[self.done], cuts])).astype(np.int64)
                b.segments = [(first[k:k + 1], lengths[k:k + 1], np.full(1, float(ctx.fixed_frequency)),
                               np.ones(1, bool)) for k in range(len(first))]
                self.done = int(cuts[-1])
            count = int(np.ceil(b.stop / self.step)) if b.stop else 0
            while count > 0 and (count - 1) * self.step >= b.stop:
                count -= 1
            while count * self.step < b.stop:
                count += 1
            new = np.arange(self.crossing, count) * self.step
            self.crossing = count
            b.crossings = new
            b.cycle_flags = np.ones(len(new), bool)
            if b.last:
                b.frequency = np.zeros(1, FREQUENCY_DTYPE)
                b.frequency[0] = (b.stop / ctx.sample_rate, ctx.fixed_frequency, True)
            return
        self.tracker.add_samples(b.samples[0])
        first, lengths, freqs, flags = self.tracker.get_segments()
        first, lengths, flags = first.astype(np.uint64), lengths.astype(np.int64), flags.astype(bool)
        if ctx.origin:
            # The tracker counts from its first sample; positions are the recording's.
            first = first + np.uint64(ctx.origin * DIVISOR)
        runs = ctx.missing_runs
        if len(runs) and len(first):
            # A cycle over a missing sample (fed as 0) is not a tracked one: the module carries the
            # frequency before it.
            start = first.astype(np.float64) / DIVISOR
            flags &= ~touching(runs, start - ctx.gap_reach, start + lengths / DIVISOR + ctx.gap_reach)
        b.frequency = np.zeros(len(first), FREQUENCY_DTYPE)
        b.frequency["time"] = (first.astype(np.float64) + lengths) / DIVISOR / ctx.sample_rate
        b.frequency["frequency"] = freqs
        b.frequency["valid"] = flags
        b.ten_second = self.tracker.ten_second_frequencies()
        if ctx.origin and len(b.ten_second):
            for name in ("firstSampleIndex", "endSampleIndex"):
                b.ten_second[name] += np.uint64(ctx.origin * DIVISOR)
        if len(runs) and len(b.ten_second):
            # A 10-s value over a missing sample is not tracked throughout.
            t = b.ten_second
            t["flag"] &= ~touching(runs, t["firstSampleIndex"] / DIVISOR - ctx.gap_reach,
                                   t["endSampleIndex"] / DIVISOR + ctx.gap_reach)
        b.crossings = first.astype(np.float64) / DIVISOR
        b.cycle_flags = flags
        if len(first):
            # Cut at every second of positions.
            edge = self.edge
            start, end = int(first[0]), int(first[-1]) + int(lengths[-1])
            edges = np.arange((start // edge + 1) * edge, end, edge, dtype=np.int64)
            cut = tracking.split_at(first, lengths, freqs, flags, edges) if len(edges) else (
                first, lengths, freqs, flags)
            self.pending = [np.concatenate([p, c]) for p, c in zip(self.pending, cut)]
            self.end = end
        b.segments = self._seconds(b.last)

    def _seconds(self, last):
        """The pending segments of every second whose segments are all in, one group per second: the
        module is given them in the same calls whatever the blocks."""
        first = self.pending[0].astype(np.int64)
        if not len(first):
            return []
        done = len(first) if last else int(np.searchsorted(first, (self.end // self.edge) * self.edge))
        if done == 0:
            return []
        seconds = first[:done] // self.edge
        bounds = (np.flatnonzero(seconds[1:] != seconds[:-1]) + 1).tolist()
        pending = self.pending
        first, lengths, freqs, flags = pending
        groups = [(first[lo:hi], lengths[lo:hi], freqs[lo:hi], flags[lo:hi])
                  for lo, hi in zip([0] + bounds, bounds + [done])]
        self.pending = [p[done:] for p in pending]
        return groups


class _WindowPlan:
    """Windows of window_cycles tracked cycles, back to back from the first crossing, planned as crossings come.

    At every 10-minute tick of the clock inside the recording the series
    starts again at the first crossing at or after the tick, while the
    window in progress runs on past it (IEC 61000-4-30 Class A): the two
    overlap, the older one ending the intervals before the tick. Whole
    windows only: each needs the crossing that ends it. A series' first
    window starts on its crossing or after, never before the tick.
    """

    def __init__(self, window_cycles, fs, offset):
        self.wc, self.fs, self.offset = window_cycles, fs, offset
        self.crossings = []  # the crossings from index self.base on
        self.base = 0
        self.count = 0
        self.next_start = 0  # index of the next window start of the current series
        self.next_tick = None
        self.starts = []  # planned window starts (index, resynchronised) waiting for their end
        self.whole = _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS

    def add(self, crossings):
        """The windows (first position, frequency) that the new crossings complete."""
        out = []
        crossings = np.asarray(crossings, np.float64)
        values = crossings.tolist()
        clock = crossings / self.fs + self.offset  # as c / fs + offset of each crossing
        seconds = clock.tolist()
        i, n = 0, len(values)
        while i < n:
            if self.next_tick is None or seconds[i] >= self.next_tick:
                self._one(values[i], seconds[i], out)
                i += 1
                continue
            # The crossings before the next tick, together: they only continue the series.
            stop = i + int(np.searchsorted(clock[i:], self.next_tick, side="left"))
            self.crossings.extend(values[i:stop])
            self.count += stop - i
            last = self.count - 1
            if self.next_start <= last:
                planned = range(self.next_start, last + 1, self.wc)
                self.starts.extend([(index, False) for index in planned])
                self.next_start = planned[-1] + self.wc
            self._finish(last, out)
            i = stop
        # Forget the crossings no window needs any more.
        keep = min([index for index, _ in self.starts] + [self.next_start, self.count - 1])
        if keep - self.base > 256:
            del self.crossings[:keep - self.base]
            self.base = keep
        return out

    def _one(self, c, seconds, out):
        """One crossing: the first of the recording, or one at or past the next tick."""
        j = self.count
        self.crossings.append(c)
        self.count += 1
        wc, whole, starts = self.wc, self.whole, self.starts
        if self.next_tick is None:
            self.next_tick = (math.floor(seconds / whole) + 1) * whole
            starts.append((0, False))
            self.next_start = wc
        else:
            # The crossing is the head of a new series: the old one's starts before it are all planned.
            while self.next_start < j:
                starts.append((self.next_start, False))
                self.next_start += wc
            starts.append((j, True))
            self.next_start = j + wc
            self.next_tick = (math.floor(seconds / whole) + 1) * whole
        self._finish(j, out)

    def _finish(self, j, out):
        """The planned windows whose end crossing is in, up to crossing j."""
        wc, fs, kept, starts, base = self.wc, self.fs, self.crossings, self.starts, self.base
        done = 0
        for index, resynchronised in starts:
            if index + wc > j:
                break
            a = kept[index - base]
            span = kept[index + wc - base] - a
            out.append((math.ceil(a) if resynchronised else round(a), wc * fs / span))
            done += 1
        del starts[:done]


class _Module:
    """Stage: the module's period values and windows.

    A three-wire (delta) recording gives the line-to-line voltages AB, BC and CA only; the module takes them
    as its three voltage channels. Every voltage field then holds a line-to-line voltage (the period values'
    ``rmsVoltage``, the windows' ``rmsVoltage``, ``thdVoltage``, ``harmonicsVoltage``, ...: slot k the
    voltage between phases k and k + 1), measured as star voltages are and judged against a line-to-line
    Udin; the sequence components are those of the line-to-line phasors (the unbalance u2 is the supply's;
    a zero sequence has none, so u0 reads 0). The powers need phase-to-neutral voltages a three-wire
    recording does not have: they are NaN, as are the line-to-line fields of the records (the voltage
    fields hold those values).
    """

    # The fields of the period and windowed records a delta recording leaves unmeasured (see above).
    DELTA_PERIOD = ("rmsLineToLine", "activePower", "nonActivePower", "apparentPower", "powerFactor",
                    "fundamentalActivePower", "fundamentalReactivePower", "fundamentalReactivePowerSum",
                    "fundamentalApparentPower", "fundamentalPhaseAngle", "rvcLineToLineVoltage")
    DELTA_PERIOD_SEQUENCE = ("lineToLineVoltage", "lineToLineVoltageMagnitude", "activePower", "reactivePower",
                             "apparentPower", "activeCurrent", "reactiveCurrent", "powerFactor")
    DELTA_WINDOW = ("dcLineToLine", "rmsLineToLine", "spectrumRmsLineToLine", "fundamentalLineToLine",
                    "thdLineToLine", "thdInterLineToLine", "activePower", "spectrumActivePower", "nonActivePower",
                    "apparentPower", "powerFactor", "distortionPowerQ1", "reactivePower", "distortionPower",
                    "fundamentalActivePower", "fundamentalReactivePower", "fundamentalApparentPower",
                    "displacementPowerFactor", "fundamentalReactivePowerSum", "impedance")
    DELTA_WINDOW_SEQUENCE = DELTA_PERIOD_SEQUENCE

    def __init__(self, ctx, settings):
        self.ctx = ctx
        fs = ctx.sample_rate
        # The ring holds the block being written, the second of segments held
        # back until all are in, the tracker's delay and a window: a block and two seconds.
        self.module = Module(buffer_length=ctx.block_size + 2 * int(fs), **settings)
        self.started = False
        self.plan = _WindowPlan(ctx.window_cycles, fs, ctx.clock_offset) if ctx.window_cycles else None
        self.bad = np.zeros(0)  # starts of flagged cycles not yet behind every window
        self.windows = []  # (first position, frequency) planned, waiting for the module's start
        self.lowest = 0.5 * ctx.nominal_frequency  # the lowest frequency the module takes
        # The windows' inter-harmonic distortion the module does not compute (it leaves them 0): NaN, not
        # measured. It computes all it can whenever inter-harmonics are on, which currents switch on for
        # their subgroups; those values are kept.
        m = self.module
        self.not_computed = ("thdInterVoltage", "thdInterCurrent", "thdInterLineToLine")
        if m.inter_harmonics_enabled:
            self.not_computed = (() if m.current_enabled else ("thdInterCurrent",)) + \
                (() if m.line_to_line_results_enabled else ("thdInterLineToLine",))

    def process(self, b):
        m = self.module
        m.write(b.samples, position=b.position)
        for first, lengths, freqs, flags in b.segments:
            if not self.started:
                # The module starts at the first segment: the tracker's first
                # trusted crossing (position 0 with a fixed frequency).
                m.reset(int(first[0]) // DIVISOR)
                self.started = True
            m.schedule_periods(first, lengths, freqs, flags)
        b.period = self._period(m.get_period_results(dtype=PERIOD_GAP_DTYPE))
        if self.ctx.grid == "delta":
            _unmeasured(b.period, self.DELTA_PERIOD, "symmetricalComponent", self.DELTA_PERIOD_SEQUENCE)
        if self.plan is None:
            return
        if len(b.crossings):
            self.bad = np.concatenate([self.bad, b.crossings[~b.cycle_flags]])
        self.windows += self.plan.add(b.crossings)
        if not self.windows or not self.started:
            return
        windows, self.windows = self.windows, []
        if self.ctx.windows_from:
            # A span's lead-in: its windows are planned (the series must be the serial run's) but not measured.
            windows = [w for w in windows if w[0] >= self.ctx.windows_from]
            if not windows:
                return
        schedule, cycles = m.schedule_for_calculation, self.ctx.window_cycles
        for first_sample, f in windows:
            schedule(int(first_sample), cycles, float(f))
        fetch = self.ctx.arrays
        if self.ctx.current_arrays:
            fetch = list(fetch or ()) + list(self.ctx.current_arrays)
        if fetch:
            b.windowed, b.harmonics = m.get_results(arrays=fetch)
        else:
            b.windowed = m.get_results()
        for name in self.not_computed:
            _doubles(b.windowed, "phases", name)[...] = np.nan
        if self.ctx.grid == "delta":
            _unmeasured(b.windowed["phases"], self.DELTA_WINDOW)
            _unmeasured(b.windowed, (), "symmetricalComponents", self.DELTA_WINDOW_SEQUENCE)
        if self.ctx.signalling:
            # Carried with the windows' arrays, so that gaps blank them and the flags stage holds them alike.
            values = m.signalling_voltages().reshape(len(b.windowed), len(self.ctx.voltages), -1)
            b.harmonics = dict(b.harmonics or {}, signallingVoltage=values)
        b.window_gaps = self._gaps(b.windowed, b.harmonics)

    def _period(self, out):
        """The period records (rows of PERIOD_GAP_DTYPE, ``gap`` False) with their mark ``gap``: a record whose
        span (one cycle of its frequency ending at its time, a sample more to be sure) touches a missing sample
        has every measured field NaN, all of its item alike (the module computed it from the zeros written for
        the gap)."""
        if not len(out):
            return out
        runs = self.ctx.missing_runs
        if len(runs):
            fs = self.ctx.sample_rate
            end = out["time"] * fs
            cycle = fs / np.fmax(out["frequency"], self.lowest)
            reach = self.ctx.gap_reach
            gap = touching(runs, end - np.where(np.isfinite(cycle), cycle, fs / self.lowest) - 1.0 - reach,
                           end + reach)
            # Every record of an item (the total, then the phases) alike.
            items = out["item"]
            hit = np.unique(items[gap])
            if len(hit):
                gap = np.isin(items, hit)
                out["gap"] = gap
                _blank(out, gap, keep=("time",))
        return out

    def _gaps(self, windowed, harmonics):
        """A window is marked when a tracked cycle that starts inside it is flagged, or a sample of it is
        missing; one with a missing sample has its measured values NaN (its arrays too)."""
        first = windowed["firstSampleIndex"].astype(np.int64)
        last = first + windowed["length"].astype(np.int64)  # exclusive
        bad = self.bad
        marked = np.searchsorted(bad, first, side="left") < np.searchsorted(bad, last - 1, side="left")
        reach = self.ctx.gap_reach
        missing = touching(self.ctx.missing_runs, first - reach, last + reach)
        if missing.any():
            _blank(windowed, missing, keep=("time", "frequency"))
            for array in (harmonics or {}).values():
                if array.dtype.kind in "fc":
                    array[missing] = np.nan
            marked |= missing
        self.bad = bad[bad >= int(first.min())]
        return marked


class _Events:
    """Stage: dips, swells and interruptions, and rapid voltage changes, from the period values.

    Both detectors take the phases' Urms(1/2) values against Udin: the
    library's VoltageEventDetector with time stamps after IEC 61000-4-30
    Ed. 3 (an event starts where the window of its first value beyond the
    threshold begins), and its RapidVoltageChangeDetector, the Class A RVC
    method (threshold ``rvc_threshold`` % of Udin, hysteresis half of it, a
    steady state of 100 values at 50 Hz and 120 at 60 Hz; a change that
    crosses the dip or swell threshold is that dip or swell, not an RVC, and
    so is the return from it, however long it lasted: the detector needs a
    fresh steady state after it, fed the same thresholds as the event detector).
    The module's own RVC results stay in the period records but are not
    reported. Udin is the context's (``inference``), known before the first
    block.

    Gaps: a period item marked ``gap`` (its span touches a missing sample)
    is not given to the detectors.
    When one comes, the events and the RVC still running end with the last
    value before it, marked ``cutByGap`` (``ended`` False: their durations
    are lower bounds), and both detectors start afresh after it, as at the
    start of the data: no event starts inside a gap, the Ed. 3 start of one
    after it does not reach back into it, and the RVC steady state is
    established anew.

    Channels without a voltage: a phase counts as carrying one from the
    LIVE_VALUES-th of its first LIVE_VALUES one-cycle values in a row that
    reach LIVE_SHARE of Udin with a fundamental of at least FUNDAMENTAL_SHARE
    of their RMS value (a cycle at the supply's frequency: noise has a small
    share there, about the root of 2 over the samples of a cycle, and reaches
    half now and then in one cycle, practically never in five). Until then
    the detectors see, in its place, the first phase that carries one, which neither starts nor ends an event of
    its own, and its bit is left out of the events' phases; until one phase
    carries a voltage the detectors see nothing. So a channel that holds
    only noise, or a level negligible against the recording's own, gives no
    dip, swell, interruption or RVC, and the recording's notes name it; a
    voltage that was there and goes away is an interruption as ever.

    For the flags of the windows, ``ctx.events_seen`` is the time up to
    which the detectors have seen the values (gaps included) and
    ``ctx.running_events`` the events still running there.
    """

    LIVE_SHARE = 0.1
    LIVE_VALUES = 5
    FUNDAMENTAL_SHARE = 0.5

    def __init__(self, ctx):
        self.ctx = ctx
        self.phases = len(ctx.voltages)
        self.fed = False  # values given to the detectors since they (re)started
        self.live = np.zeros(self.phases, bool)  # the phases that carried a voltage so far
        self.run = np.zeros(self.phases, int)  # each phase's carrying values in a row at the end of the last block
        ctx.events_seen = -np.inf
        ctx.running_events = np.zeros(0, EVENT_DTYPE)
        self._detectors()

    def _detectors(self):
        """Fresh detectors against Udin: at the start, and after every gap."""
        ctx = self.ctx
        udin = float(ctx.declared_voltage)
        self.detector = _core.VoltageEventDetector(udin, self.phases)
        self.detector.window_start_stamps = 2
        self.rvc = _core.RapidVoltageChangeDetector(udin, self.phases, rvc_steady_state_length(ctx.nominal_frequency))
        self.rvc.set_thresholds(ctx.rvc_threshold, ctx.rvc_threshold / 2)
        self.rvc.set_dip_swell_thresholds(self.detector.dip_threshold, self.detector.swell_threshold)
        self.fed = False

    def process(self, b):
        period = b.period
        # Each item is its records in order: the total (with more than one phase), then the phases.
        step = self.phases + (1 if self.phases > 1 else 0)
        skip = step - self.phases
        times = period["time"][skip::step]
        gap = period["gap"][skip::step] if "gap" in period.dtype.names else np.zeros(len(times), bool)
        rms = np.empty((self.phases, len(times)))
        fundamental = np.empty((self.phases, len(times)))
        for k in range(self.phases):
            rms[k] = period["rmsVoltage"][skip + k::step]
            fundamental[k] = period["fundamentalVoltage"][skip + k::step]
        if len(times):
            peak = np.fmax.reduce(rms, axis=1)  # a gap's NaN values left out
            self.ctx.voltage_peak = np.fmax(self.ctx.voltage_peak, peak)
        finished, rvc = [], []
        rms, gap = self._carrying(rms, fundamental, gap)
        self._feed(times, rms, gap, finished, rvc)
        if len(times):
            self.ctx.events_seen = float(times[-1])
        running = _event_rows(self.detector.running_events(), False)
        self.ctx.running_events = running
        finished.append(_event_rows(self.detector.get_events(), True))
        rvc.append(_rvc_rows(self.rvc.get_events(), True))
        if b.last:
            finished.append(running)
            rvc.append(_rvc_rows(self.rvc.running_events(), False))
            self._note_dead()
        b.events = _rows_joined(*finished)
        b.rvc = _rows_joined(*rvc)
        if not self.live.all():
            bits = np.uint32(sum(1 << k for k in range(self.phases) if self.live[k]))
            for rows in (b.events, b.rvc, self.ctx.running_events):
                rows["phases"] &= bits

    def _carrying(self, rms, fundamental, gap):
        """The values as the detectors see them: a phase that has not carried a voltage yet replaced by the
        first that has, and the values before any has one marked as a gap (not fed, though no cut: there is
        nothing to cut). The phases' liveness moves on."""
        if self.live.all() or not rms.shape[1]:
            return rms, gap
        udin = float(self.ctx.declared_voltage)
        with np.errstate(invalid="ignore"):
            carries = (rms >= self.LIVE_SHARE * udin) & (fundamental >= self.FUNDAMENTAL_SHARE * rms)
        # A phase comes alive with LIVE_VALUES carrying values in a row, not one: a single cycle of noise
        # shows a fundamental of half its RMS now and then, five in a row practically never.
        at = np.arange(carries.shape[1])
        last_not = np.maximum.accumulate(np.where(carries, -1, at), axis=1)
        run = np.where(carries, at - last_not, 0) + np.where(last_not < 0, self.run[:, None], 0)
        self.run = run[:, -1].copy()
        live = np.logical_or.accumulate(run >= self.LIVE_VALUES, axis=1) | self.live[:, None]
        self.live = live[:, -1].copy()
        if live.all():
            return rms, gap
        rms = rms.copy()
        anyone = live.any(axis=0)
        source = np.argmax(live, axis=0)  # the first phase that carries one, at each value
        columns = np.arange(rms.shape[1])
        for k in range(self.phases):
            dead = ~live[k] & anyone
            rms[k, dead] = rms[source[dead], columns[dead]]
        if not anyone.all():
            # Before any phase carries a voltage: nothing to see, as in a gap, but with no event to cut.
            lead = int(np.argmax(anyone)) if anyone.any() else rms.shape[1]
            if not self.fed:
                gap = gap.copy()
                gap[:lead] = True
        return rms, gap

    def _note_dead(self):
        recording = self.ctx.recording
        for k in np.flatnonzero(~self.live):
            note = (f"voltage channel {self.ctx.voltages[k].name} carries no voltage (no one-cycle value of "
                    f"{100 * self.LIVE_SHARE:g} % of Udin with a cycle at the supply's frequency): no dips, swells, "
                    "interruptions or RVCs from it")
            if note not in recording.notes:
                recording.notes.append(note)

    def _feed(self, times, rms, gap, finished, rvc):
        """The values to the detectors, cutting the events at every gap (see the class docstring)."""
        if not gap.any():
            self._add(times, rms)
            return
        edges = np.flatnonzero(np.diff(np.concatenate([[False], gap, [False]]).astype(np.int8)))
        lo = 0
        for start, stop in zip(edges[::2], edges[1::2]):
            self._add(times[lo:start], rms[:, lo:start])
            if self.fed:
                self._cut(finished, rvc)
            lo = stop
        self._add(times[lo:], rms[:, lo:])

    def _add(self, times, rms):
        if len(times):
            # One contiguous copy for both detectors.
            times, values = np.ascontiguousarray(times, np.float64), np.ascontiguousarray(rms.T)
            self.detector.add_rms_values(times, values)
            self.rvc.add_rms_values(times, values)
            self.fed = True

    def _cut(self, finished, rvc):
        """A gap begins: the events that ended before it, those still running cut by it, fresh detectors."""
        finished.append(_event_rows(self.detector.get_events(), True))
        cut = _event_rows(self.detector.running_events(), False)
        cut["cutByGap"] = True
        finished.append(cut)
        rvc.append(_rvc_rows(self.rvc.get_events(), True))
        cut = _rvc_rows(self.rvc.running_events(), False)
        cut["cutByGap"] = True
        rvc.append(cut)
        self._detectors()


def rvc_steady_state_length(nominal_frequency):
    """Urms(1/2) values of the RVC steady state: 100 at 50 Hz, 120 at 60 Hz (one second)."""
    return int(round(2 * nominal_frequency))


def _rvc_rows(changes, ended):
    out = np.zeros(len(changes), RVC_DTYPE)
    for name in ("startTime", "duration", "deltaUmax", "deltaUss", "phases"):
        out[name] = changes[name]
    out["ended"] = ended
    return out


class _EventFlags:
    """Stage: the flags of the windows, which wait until the events over them are known.

    A window's flag (IEC 61000-4-30 §4.7) is set when it overlaps a dip,
    swell or interruption: from the start of the event to its end (a
    running event to the end of the data), both as the event detector
    stamps them. The flag is not about the data: a window without a tracked
    frequency (the tracker's flag cleared on a cycle that starts inside it,
    near the ends of the recording or while the reference was lost) or with
    a missing sample carries the separate mark ``gap`` instead. A window is
    handed on once the detector has seen the values up to a cycle and a half
    after its end (an event that starts inside it has its first value
    beyond the threshold by then), at the latest with the last block; so
    from here on ``Block.windowed`` holds the windows handed on,
    ``Block.window_flags`` their §4.7 flags and ``Block.window_gaps`` their
    marks.
    """

    def __init__(self, ctx):
        self.ctx = ctx
        self.held = []  # (windowed, harmonics, gaps) waiting for the events over them
        self.ended = np.zeros(0, EVENT_DTYPE)  # finished events that may still overlap a held window

    def process(self, b):
        ctx = self.ctx
        self.ended = _rows_joined(self.ended, b.events[b.events["ended"] | b.events["cutByGap"]])
        if b.windowed is not None and len(b.windowed):
            self.held.append((b.windowed, b.harmonics, b.window_gaps))
        b.windowed = b.harmonics = None
        b.window_flags = b.window_gaps = np.zeros(0, bool)
        if not self.held:
            return
        # Only the end times are joined to see how many are ready: the records (3.7 kB a window) are joined
        # once some are, not again at every block while none is.
        ready = sum(len(w) for w, _, _ in self.held) if b.last else int(np.searchsorted(
            np.concatenate([w["time"] for w, _, _ in self.held]).astype(np.float64) + 1.5 / ctx.nominal_frequency,
            ctx.events_seen, side="right"))
        if ready == 0:
            return
        windowed = _join_records([w for w, _, _ in self.held])
        gaps = np.concatenate([g for _, _, g in self.held])
        harmonics = _join_arrays([h for _, h, _ in self.held]) if self.held[0][1] is not None else None
        out = windowed[:ready]
        starts = out["firstSampleIndex"].astype(np.float64) / ctx.sample_rate
        ends = out["time"].astype(np.float64)
        flags = overlapping(starts, ends, _rows_joined(self.ended, ctx.running_events))
        b.windowed, b.window_flags, b.window_gaps = out, flags, gaps[:ready]
        if harmonics is not None:
            b.harmonics = {name: array[:ready] for name, array in harmonics.items()}
        rest = windowed[ready:]
        self.held = [(rest, None if harmonics is None else {n: a[ready:] for n, a in harmonics.items()},
                      gaps[ready:])] if len(rest) else []
        # Windows come in the order of their starts: an event that ended
        # before the latest start handed on meets no window to come.
        horizon = float(rest["firstSampleIndex"].min()) / ctx.sample_rate if len(rest) else float(starts.max())
        self.ended = self.ended[self.ended["startTime"] + self.ended["duration"] > horizon]


def overlapping(starts, ends, events):
    """Per span from ``starts`` to ``ends`` (arrays of seconds): True where a dip, swell or interruption of
    ``events`` (EVENT_DTYPE rows) overlaps it, from the event's start to its end as the detector stamps them
    (an event still running, neither ended nor cut by a gap, to the end of the data); an event that ends
    where the span starts, or starts where it ends, does not."""
    starts, ends = np.asarray(starts, np.float64), np.asarray(ends, np.float64)
    event_ends = np.where(events["ended"] | events["cutByGap"], events["startTime"] + events["duration"], np.inf)
    return ((events["startTime"][None, :] < ends[:, None]) & (event_ends[None, :] > starts[:, None])).any(axis=1)


# The cycles on either side of a tracked cycle that its frequency may be measured over (the tracker's
# centred window of up to seven cycles).
WINDOW_REACH = 3


class _CycleFlags:
    """Stage: the tracked cycles flagged by the dips, swells and interruptions over them.

    IEC 61000-4-30 flags, rather than drops, what is measured while a dip,
    swell or interruption runs: the other quantities (the frequency among
    them) are not what the supply gives in steady operation then (a fault
    moves the voltage's phase as well as its level), and a flagged value is
    left out of what is judged or summed up, or marked there. The windows
    (:class:`_EventFlags`) and what is aggregated of them, the Pst and Plt,
    and in the EN 50160 assessment the 10-s frequencies are flagged so; this
    stage does it for the tracked cycles.

    A cycle's frequency is measured over a window centred on it, of up to
    WINDOW_REACH cycles on either side (the tracker narrows it where a
    crossing is not trusted, and does not say how far), so the value a cycle
    carries is flagged when an event overlaps that widest window: from
    WINDOW_REACH of its own lengths before the crossing that starts it to as
    much after the one that ends it, by the test the windows take
    (:func:`overlapping`). That leaves out, with the cycles inside an event,
    the three or so on either side whose window may reach across its
    edges, where a phase that jumped with the fault moves the crossings.

    The tracker's own mark (``valid``: measured on trusted crossings, no gap
    near) stays as it is; ``flagged`` says something else, about the supply
    rather than the measurement: a cycle may be valid and flagged (a steady
    plateau inside a dip), and a cycle neither valid nor flagged is left out
    for its own reason. The summary's frequency range takes the cycles that
    are valid and not flagged, and counts each cycle left out once: for the
    tracker's mark first, then for an event.

    A cycle is handed on (``Block.cycles``) once the detector has seen the
    values up to a cycle and a half after the end of its widest window (an
    event that starts inside it has its first value beyond the threshold
    by then), at the latest with the last block. With a fixed frequency
    nothing is measured, so nothing is flagged.
    """

    def __init__(self, ctx):
        self.ctx = ctx
        self.held = np.zeros(0, CYCLE_DTYPE)
        self.reach = np.zeros((0, 2))  # the held cycles' widest windows, [start, end) in seconds
        self.ended = np.zeros(0, EVENT_DTYPE)  # finished events that may still overlap a held cycle's window

    def process(self, b):
        ctx = self.ctx
        f = b.frequency
        if ctx.fixed_frequency:
            b.cycles = flagged_cycles(f, np.zeros(len(f), bool))
            return
        self.ended = _rows_joined(self.ended, b.events[b.events["ended"] | b.events["cutByGap"]])
        if len(f):
            # One crossing (the cycle's start, a position) per tracked cycle.
            starts = np.asarray(b.crossings, np.float64) / ctx.sample_rate
            self.held = _rows_joined(self.held, flagged_cycles(f))
            self.reach = np.concatenate([self.reach, _reach(starts, f["time"])])
        if b.last:
            ready = len(self.held)
        else:
            # Seen up to a cycle and a half after the window's end, to a microsecond (the times of the
            # period values and of the crossings meet on a steady grid, and must not part by rounding).
            seen = self.reach[:, 1] + 1.5 / ctx.nominal_frequency <= ctx.events_seen + 1e-6
            ready = len(seen) if seen.all() else int(np.argmin(seen))
        out = self.held[:ready]
        out["flagged"] = overlapping(self.reach[:ready, 0], self.reach[:ready, 1],
                                     _rows_joined(self.ended, ctx.running_events))
        b.cycles = out
        self.held, self.reach = self.held[ready:], self.reach[ready:]
        # An event that ended before every held window starts meets none of them, nor any to come.
        if ready:
            horizon = float(self.reach[:, 0].min()) if len(self.reach) else float(out["time"][-1])
            self.ended = self.ended[self.ended["startTime"] + self.ended["duration"] > horizon]


def _reach(starts, ends):
    """(n, 2): the widest windows a cycle's frequency is measured over, WINDOW_REACH of its lengths either
    side of the cycle from ``starts`` to ``ends`` (seconds)."""
    # Copies: a field of records (the cycles' times) is computed with some ten times faster contiguous.
    starts, ends = np.array(starts, np.float64), np.array(ends, np.float64)
    margin = WINDOW_REACH * (ends - starts)
    return np.stack([starts - margin, ends + margin], axis=1)


def flagged_cycles(frequency, flags=None, events=None):
    """Cycles as ``Block.cycles`` gives them (CYCLE_DTYPE) from frequency rows (FREQUENCY_DTYPE) and their
    flags; or, without flags of as many rows, flagged by ``events`` as :class:`_CycleFlags` flags them
    (each cycle taken as starting one period, 1/f, before its end)."""
    out = np.zeros(len(frequency), CYCLE_DTYPE)
    if not len(frequency):
        return out
    for name in FREQUENCY_DTYPE.names:
        out[name] = frequency[name]
    if flags is not None and len(flags) == len(frequency):
        out["flagged"] = flags
    elif events is not None and len(events):
        f = out["frequency"].astype(np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            starts = out["time"] - np.where(f > 0, 1.0 / f, 0.0)
        reach = _reach(starts, out["time"])
        out["flagged"] = overlapping(reach[:, 0], reach[:, 1], events)
    return out


_RECORD_BYTES = {}  # itemsize -> the dtype of a record's bytes


def _records_bytes(rows):
    """1-D structured rows seen as whole records of bytes (the same memory): numpy copies such records with
    one move each, where it copies structured ones field by field (a table of hundreds of fields some fifty
    times slower)."""
    size = rows.dtype.itemsize
    whole = _RECORD_BYTES.get(size)
    if whole is None:
        whole = _RECORD_BYTES.setdefault(size, np.dtype((np.void, size)))
    return rows.view(whole)


def _as_records(data, dtype):
    """Records of bytes (contiguous, 1-D, as :func:`_records_bytes` gives them, copied) seen as `dtype` again:
    a view, made without ``view``'s check of every field (some 10 µs for hundreds of them)."""
    return np.ndarray(data.shape, dtype, buffer=data) if len(data) else np.empty(0, dtype)


def _copied_records(rows):
    """A copy of 1-D structured rows, made record by record as bytes (see :func:`_records_bytes`); rows that
    hold objects as numpy copies them."""
    if rows.dtype.hasobject:
        return rows.copy()
    return _as_records(_records_bytes(rows).copy(), rows.dtype)


def _join_records(parts):
    """1-D structured arrays of one dtype joined as whole records: numpy joins nested records field by
    field, some twenty times slower than their bytes."""
    return _as_records(np.concatenate([_records_bytes(p) for p in parts]), parts[0].dtype)


def _rows_joined(*parts):
    """Structured rows joined into a new array, as ``np.concatenate`` joins them, without its promotion of
    the fields when all have one dtype (some 20 µs a call, however few the rows; every stage joins a few
    such arrays at every block): the parts that hold rows copied, whole records at a time."""
    dtype = parts[0].dtype
    if any(p.dtype != dtype for p in parts):
        return np.concatenate(parts)
    full = [p for p in parts if len(p)]
    if len(full) < 2:
        return _copied_records(full[0]) if full else np.empty(0, dtype)
    return _join_records(full)


class Rows:
    """Rows of one structured dtype gathered block by block, in one array that grows by half when it is full.

    What a consumer keeps of every block (events, intervals) goes here rather
    than into a list of the blocks' arrays: a week makes 75 600 blocks of 8 s,
    and such a list holds as many small arrays (about 100 bytes each, even
    empty), where this holds one array, reallocated a few dozen times; its
    memory is that of the rows (at most half as much again unused). The
    dtype is that of the first rows added (or the one given); rows with
    other fields are refused (the same fields laid out otherwise are copied
    by name).
    ``array()`` returns a copy of the rows so far, or None when nothing was
    ever added (not even an empty array).
    """

    def __init__(self, dtype=None):
        self.dtype = None if dtype is None else np.dtype(dtype)
        self._data = None if dtype is None else np.empty(0, self.dtype)
        self.count = 0

    def __len__(self):
        return self.count

    def add(self, rows):
        rows = np.asarray(rows)
        if self._data is None:
            self.dtype, self._data = rows.dtype, np.empty(0, rows.dtype)
        same = rows.dtype is self.dtype or rows.dtype == self.dtype  # a dtype of hundreds of fields: `is` first
        if not same and (self.dtype.names is None or rows.dtype.names != self.dtype.names):
            raise ValueError(f"rows of {rows.dtype} added to a table of {self.dtype}")
        need = self.count + len(rows)
        plain = self.dtype.names is None or self.dtype.hasobject  # records copied as bytes otherwise
        if need > len(self._data):
            grown = np.empty(max(need, len(self._data) * 3 // 2, 64), self.dtype)
            if plain:
                grown[:self.count] = self._data[:self.count]
            else:
                _records_bytes(grown)[:self.count] = _records_bytes(self._data)[:self.count]
            self._data = grown
        if same:
            if plain:
                self._data[self.count:need] = rows
            else:
                _records_bytes(self._data)[self.count:need] = _records_bytes(rows)
        else:  # the same fields laid out otherwise: field by field, by name
            for name in self.dtype.names:
                self._data[name][self.count:need] = rows[name]
        self.count = need

    def array(self):
        if self._data is None:
            return None
        return _copied_records(self._data[:self.count])


def _event_rows(events, ended):
    out = np.zeros(len(events), EVENT_DTYPE)
    for name in ("type", "phases", "startTime", "duration", "extremeVoltage", "extremePercent"):
        out[name] = events[name]
    out["ended"] = ended
    return out


class _Signalling:
    """Stage: the mains signalling voltages of the windows handed on, and their 150/180-cycle values.

    The module measures them (``signalling_frequencies`` of the module, read
    by every window): per voltage and signalling frequency F, the window's
    spectral line at F when F falls on one (within 1 % of the line spacing,
    the window's frequency over its cycles: about 5 Hz), else the root sum
    of squares of the four lines around F (IEC 61000-4-30 Class A, so
    316.67 Hz at 50 Hz reads the lines at 310, 315, 320 and 325 Hz). A
    window over a gap reads NaN. The values of each frequency and phase are
    aggregated over the 150/180-cycle intervals of the other aggregated
    values (the library's IntervalAggregator on the same clock, root mean
    square, a window that did not measure a value left out of it and the
    interval marked ``gap``), flagged as those are.
    """

    def __init__(self, ctx):
        self.ctx = ctx
        self.frequencies = np.array(ctx.signalling, np.float64)
        self.phases = len(ctx.voltages)
        count = self.phases * len(self.frequencies)
        self.names = [str(k) for k in range(count)]
        self.aggregator = _aggregator(count, ctx.clock_offset)

    def process(self, b):
        ctx, frequencies = self.ctx, self.frequencies
        values = None
        if b.harmonics is not None and "signallingVoltage" in b.harmonics:
            values = np.asarray(b.harmonics.pop("signallingVoltage"), np.float64)
            if not b.harmonics and not ctx.arrays:
                b.harmonics = None
        n = 0 if b.windowed is None else len(b.windowed)
        if values is None or len(values) != n:
            values = np.full((n, self.phases, len(frequencies)), np.nan)
        F = len(frequencies)
        rows = np.zeros(n * F, SIGNALLING_DTYPE)
        rows["time"] = np.repeat(b.windowed["time"], F) if n else 0.0
        rows["frequency"] = np.tile(frequencies, n)
        for k, label in enumerate("ABC"):
            rows[label] = values[:, k, :].ravel() if k < self.phases else np.nan
        flags = np.asarray(b.window_flags, bool) if len(b.window_flags) == n else np.zeros(n, bool)
        gaps = np.asarray(b.window_gaps, bool) if len(b.window_gaps) == n else np.zeros(n, bool)
        rows["flagged"] = np.repeat(flags, F)
        rows["gap"] = np.repeat(gaps, F)
        b.signalling = rows
        if n:
            matrix = values.reshape(n, -1)  # phase-major, then frequency
            bad = ~np.isfinite(matrix)
            gaps = gaps | bad.any(axis=1)
            matrix = np.column_stack([np.where(bad, 0.0, matrix), (~bad).astype(np.float64),
                                      gaps.astype(np.float64)])
            starts = b.windowed["firstSampleIndex"].astype(np.float64) / ctx.sample_rate
            ends = np.maximum(b.windowed["time"].astype(np.float64), starts)
            self.aggregator.add_windows(starts, ends, np.ascontiguousarray(matrix), flags)
        if b.last:
            self.aggregator.flush()
        short = _take_intervals(self.aggregator, self.names, ctx.clock_offset)["3s"]
        out = np.zeros(len(short) * F, SIGNALLING_3S_DTYPE)
        for name, _ in AGGREGATE_FRAME:
            out[name] = np.repeat(short[name], F)
        out["frequency"] = np.tile(frequencies, len(short))
        for k, label in enumerate("ABC"):
            if k < self.phases:
                out[label] = np.column_stack([short[str(k * F + j)] for j in range(F)]).ravel() if len(short) else []
            else:
                out[label] = np.nan
        b.signalling_3s = out


class _Aggregation:
    """Stage: 150/180-cycle, 10-minute and 2-hour values of the windows, with the under- and over-deviation
    against the context's Udin (see :func:`aggregate_windows`).

    The recording's ends: the aggregator calls its first 10-minute interval
    and the one the end closes not whole (it cannot know the data around
    them). Here, which knows the recording, the first is whole when the
    recording begins on its tick (within half a sample) and its first window
    starts within ENDS_SETTLING of it (the tracker trusts a crossing some six
    cycles in); the last when the recording ends on its tick and its last
    window ends within ENDS_SETTLING of it. A 2-hour value is then whole when
    it holds twelve whole 10-minute values. So that the first interval is not
    lost to the tracker's settling, its mark ``gap`` is cleared when its only
    windows without a tracked frequency start within ENDS_SETTLING of the
    first sample (their cycles' frequencies are the tracker's first
    estimates) and none is over a missing sample; the windows and the
    150/180-cycle values keep their marks.
    """

    ENDS_SETTLING = 1.0  # seconds

    def __init__(self, ctx):
        self.ctx = ctx
        self.aggregator = None
        self.udin = float(ctx.declared_voltage)
        self.seen_first = False
        self.first_clock, self.first_gap = None, False  # the first clock interval, a gap in it
        self.whole = {}  # 2-hour clock block -> whole 10-minute values in it so far

    def process(self, b):
        ctx = self.ctx
        orders = ctx.current_orders
        if b.windowed is not None and len(b.windowed):
            if self.aggregator is None:
                self.names = [name for name, _ in _aggregated_columns(b.windowed[:0], len(ctx.voltages),
                                                                      bool(ctx.currents), self.udin, None, orders)]
                self.aggregator = self._new_aggregator()
            if not self.seen_first:
                self._first_gaps(b.windowed, b.window_gaps)
            _add_windows(self.aggregator, b.windowed, len(ctx.voltages), bool(ctx.currents), ctx.sample_rate,
                         b.window_flags, b.window_gaps, self.udin, b.harmonics, orders)
        if ctx.current_arrays and b.harmonics is not None:
            for name in ctx.current_arrays:
                b.harmonics.pop(name, None)
            if not b.harmonics and not ctx.arrays:
                b.harmonics = None
        if b.last:
            if self.aggregator is None:
                self.names = [name for name, _ in _aggregated_columns(np.zeros(0, _core.GENERAL_RECORD_DTYPE),
                                                                      len(ctx.voltages), bool(ctx.currents),
                                                                      self.udin, None, orders)]
                self.aggregator = self._new_aggregator()
            self.aggregator.flush()
        if self.aggregator is not None:
            b.aggregated = _take_intervals(self.aggregator, self.names, ctx.clock_offset, self.udin)
            self._ends(b.aggregated, b.last, b.stop / ctx.sample_rate)

    def _new_aggregator(self):
        return _aggregator(len(self.names), self.ctx.clock_offset)

    def _first_gaps(self, windowed, gaps):
        """Whether a window of the first clock interval is a gap for another reason than the tracker's settling
        (a window over a missing sample has NaN values)."""
        ctx = self.ctx
        starts = windowed["firstSampleIndex"].astype(np.float64) / ctx.sample_rate
        whole = _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS
        clock = np.floor((starts + ctx.clock_offset) / whole + 1e-9)
        if self.first_clock is None and len(clock):
            self.first_clock = clock[0]
        rms = windowed["phases"]["rmsVoltage"].reshape(len(windowed), -1)
        settling = (starts < self.ENDS_SETTLING) & np.all(np.isfinite(rms), axis=1)
        self.first_gap |= bool(np.any(gaps & ~settling & (clock == self.first_clock)))

    def _ends(self, rows, last, end):
        """The whole intervals at the recording's ends marked complete (see the class docstring)."""
        ten, two = rows["10min"], rows["2h"]
        half = 0.5 / self.ctx.sample_rate
        if len(ten):
            begins = True  # the last row's start: a tick (it is not the first) or the recording's start on one
            if not self.seen_first:
                self.seen_first = True
                tick = ten["tagTime"][0] - _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS
                begins = tick >= -half and ten["startTime"][0] <= tick + self.ENDS_SETTLING
                if begins and not self.first_gap:
                    ten["gap"][0] = False  # only the tracker settling in its first windows
                if begins and not (last and len(ten) == 1):  # closed by the next interval's window
                    ten["complete"][0] = True
            if last and (len(ten) > 1 or begins):
                ten["complete"][-1] |= self._ends_whole(ten[-1], end, half)
        per = _core.IntervalAggregator.TEN_MINUTES_PER_TWO_HOURS
        for block, whole in zip(ten["clockInterval"] // per, ten["complete"]):
            self.whole[int(block)] = self.whole.get(int(block), 0) + int(whole)
        for k, block in enumerate(two["clockInterval"] // per):
            two["complete"][k] = self.whole.pop(int(block), 0) == per

    def _ends_whole(self, row, end, half):
        """Whether the last 10-minute interval is whole: the recording ends on its tick, its windows reach it."""
        return bool(abs(row["tagTime"] - end) <= half and row["endTime"] >= row["tagTime"] - self.ENDS_SETTLING)


# The frame of the flicker rows: the 10-minute clock interval (for Plt the
# first of its 2 hours), the span, in seconds from the first sample, the
# mark of an interval in which a sample was missing (the meter bridged it),
# the IEC 61000-4-30 §4.7 flag and whether the interval is whole.
FLICKER_FRAME = [("clockInterval", "i8"), ("startTime", "f8"), ("endTime", "f8"), ("gap", "?"), ("flagged", "?"),
                 ("complete", "?")]

# Lamps of the flickermeter: the 230 V one for a supply whose phase-to-neutral
# voltage is at least LAMP_230_FROM volts, the 120 V one below it.
LAMP_230_FROM = 200.0


def default_lamp(declared_voltage, line_to_line=False):
    """(lamp volts, reason): the 230 V lamp when the supply's phase-to-neutral voltage (Udin, over √3 for line to
    line channels) is at least 200 V, else the 120 V lamp, whatever the frequency: a 220 V/60 Hz supply feeds
    230 V lamps, a 120 V/50 Hz one 120 V lamps."""
    phase = float(declared_voltage) / (math.sqrt(3.0) if line_to_line else 1.0)
    lamp = 230.0 if phase >= LAMP_230_FROM else 120.0
    return lamp, (f"Udin {phase:.4g} V phase to neutral is {'at least' if lamp == 230.0 else 'below'} "
                  f"{LAMP_230_FROM:g} V")


class _Flicker:
    """Stage: flicker of each voltage by the library's FlickerMeter (IEC 61000-4-15).

    One meter per voltage, on the recording's clock (``clock_offset``): Pst
    of every 10-minute interval of the clock that ended, Plt of every 2 hours
    of the clock that ended (their intervals' Pst; fewer than twelve in a
    first block that starts between two ticks). The first interval holds the
    Pinst after the meter's settling time (5 s); an interval that holds none
    has Pst NaN. Only finished intervals become rows: the interval still
    running at the end is not reported. The meter closes an interval a few
    samples past its tick, so at the end it is given missing samples past
    the data (which it reads as silence not measured, in the next interval):
    every interval whose tick the data reach (to within half a sample) is
    reported, and one that only those missing samples closed is dropped,
    with the meter's Plt over it. The Pst of the 2 hours running at the end
    give a last Plt (fewer than twelve, never complete), as the first
    block's do.

    The lamp is the one ``flicker_lamp`` says, else (:func:`default_lamp`) the
    230 V lamp when the supply's phase-to-neutral Udin is at least 200 V and
    the 120 V lamp below, whatever the frequency. Samples missing in the
    recording are fed as NaN, which the meter bridges without reading them
    as flicker (see FlickerMeter.h); the Pst of a 10-minute interval that
    held one or lost Pinst values to one, and the Plt of 2 hours that held
    such an interval, are marked ``gap``, as the meter marks them.

    Flags, as IEC 61000-4-30 §4.7 has them for flicker: a Pst is ``flagged``
    when a dip, swell or interruption overlaps its interval (as the event
    detector stamps them, a running one to the end of the data) or its
    interval is marked ``gap`` (missing samples, bridged by the meter); a Plt
    when any of its Pst is. A Pst is ``complete`` when settled data cover its
    interval from tick to tick: every interval but the first; the first too
    when the recording begins on its tick (within half a sample), the
    meter's settling in its first 5 s accepted (a recorder started on the
    tick measures that interval, as the aggregation counts its first
    10 minutes). A Plt is complete when it holds twelve complete Pst. Rows
    are handed on once the event detector has seen the values up to a cycle
    and a half past their end (an event that starts inside an interval has
    its first value beyond the threshold by then), at the latest with the
    last block.
    """

    def __init__(self, ctx):
        self.ctx = ctx
        nominal = ctx.nominal_frequency
        if ctx.flicker_lamp is None:
            reference = getattr(getattr(ctx, "inference", None), "reference", None)
            line = reference is not None and reference.channels == inference.LINE_TO_LINE_KIND
            ctx.flicker_lamp, ctx.flicker_lamp_reason = default_lamp(ctx.declared_voltage, line)
        else:
            ctx.flicker_lamp_reason = "given"
        # The meter's clock at its first sample (a span's stream starts at ctx.origin).
        start = ctx.clock_offset + ctx.origin / ctx.sample_rate if ctx.origin else ctx.clock_offset
        try:
            self.meters = [_core.FlickerMeter(ctx.sample_rate, nominal, ctx.flicker_lamp, start)
                           for _ in ctx.voltages]
        except ValueError:  # a sample rate or a supply the meter does not take
            self.meters = []
        self.first = self.meters[0].first_clock_interval if self.meters else 0
        self.taken = 0  # Pst handed out so far
        phases = len(ctx.voltages)
        self.labels = [("ABC"[k] + ".") if phases > 1 else "" for k in range(phases)]
        self.held_pst = self.held_plt = None  # rows waiting for the events over them
        self.dtypes = {}  # of the Pst and the Plt rows
        self.block = []  # the Pst rows of the 2 hours running (for Plt's flags, completeness and the last Plt)
        self.ended = np.zeros(0, EVENT_DTYPE)  # finished events that may still overlap a held row
        # The first interval is whole when the recording begins on its tick.
        whole = _core.FlickerMeter.SHORT_TERM_SECONDS
        self.whole_first = abs(self.first * whole - float(start)) * ctx.sample_rate <= 0.5

    def process(self, b):
        if not self.meters:
            return
        ctx = self.ctx
        rows = b.samples[:len(self.meters)]
        if b.missing is not None:
            rows = np.where(b.missing, np.float32(np.nan), rows)
        whole = _core.FlickerMeter.SHORT_TERM_SECONDS
        per = _core.FlickerMeter.SHORT_TERM_PER_LONG_TERM
        tail = None
        if b.last:
            # The meter closes an interval a few samples past its tick: missing samples past the end let it
            # close every interval the data finished (one it closes that they did not finish is dropped below).
            tail = np.full(3 * max(m.decimation_factor for m in self.meters) + 1, np.nan, np.float32)
        # The meters side by side, in one call (each as if on its own).
        _core.FlickerMeter.add_samples_together(self.meters, rows)
        peak = [meter.instantaneous_maximum() for meter in self.meters]
        if tail is not None:
            _core.FlickerMeter.add_samples_together(self.meters, np.broadcast_to(tail, (len(self.meters), len(tail))))
        pst, pst_gaps, plt, plt_gaps = [], [], [], []
        for meter in self.meters:
            values, gaps = meter.short_term_severities(return_gaps=True)
            pst.append(values)
            pst_gaps.append(gaps)
            values, gaps = meter.long_term_severities(return_gaps=True)
            plt.append(values)
            plt_gaps.append(gaps)
        if not (len(pst[0]) or len(plt[0]) or b.last) and self.held_pst is not None and \
                not (len(self.held_pst) or len(self.held_plt)):
            # No interval closed and none held (most blocks): nothing to hand on but the events to keep.
            finished = b.events[b.events["ended"] | b.events["cutByGap"]]
            if len(finished):
                self.ended = _rows_joined(self.ended, finished)
            b.flicker = {"pst": self.held_pst[:0].copy(), "plt": self.held_plt[:0].copy(), "pinst_max": np.array(peak)}
            return
        clocks = self.first + self.taken + np.arange(len(pst[0]), dtype=np.int64)
        self.taken += len(pst[0])
        blocks = clocks[clocks % per == per - 1] // per
        new_pst = self._rows(clocks, clocks, whole, pst, "pst", np.any(pst_gaps, axis=0))
        new_pst["complete"] = (clocks != self.first) | self.whole_first
        new_plt = self._rows(blocks * per, blocks, whole * per, plt, "plt", np.any(plt_gaps, axis=0))
        if b.last:
            # Only finished intervals become rows: one whose tick lies past the end of the data (by more than
            # half a sample) was closed by the missing samples alone, and so was a Plt ending with it.
            finished = new_pst["endTime"] <= (b.stop + 0.5) / ctx.sample_rate
            new_pst = new_pst[finished]
            new_plt = new_plt[np.isin(new_plt["clockInterval"] + per - 1, new_pst["clockInterval"])]
        # Most blocks finish no interval: nothing to join then.
        if self.held_pst is None or len(new_pst):
            self.held_pst = new_pst if self.held_pst is None else _rows_joined(self.held_pst, new_pst)
        if self.held_plt is None or len(new_plt):
            self.held_plt = new_plt if self.held_plt is None else _rows_joined(self.held_plt, new_plt)
        b.flicker = {"pst": self.held_pst[:0], "plt": self.held_plt[:0], "pinst_max": np.array(peak)}
        self._hand_on(b)

    def _hand_on(self, b):
        """The held rows whose events are known, flagged, into the block; at the last block all, and the Plt of
        the 2 hours running at the end."""
        ctx = self.ctx
        finished = b.events[b.events["ended"] | b.events["cutByGap"]]
        if len(finished):
            self.ended = _rows_joined(self.ended, finished)
        pst, plt = self.held_pst, self.held_plt
        seen = np.inf if b.last else ctx.events_seen - 1.5 / ctx.nominal_frequency
        ready = int(np.searchsorted(pst["endTime"], seen, side="right"))
        out = pst[:ready].copy()
        events = _rows_joined(self.ended, ctx.running_events) if len(out) else self.ended[:0]
        if len(out) and len(events):
            ends = np.where(events["ended"] | events["cutByGap"], events["startTime"] + events["duration"], np.inf)
            out["flagged"] = ((events["startTime"][None, :] < out["endTime"][:, None]) &
                              (ends[None, :] > out["startTime"][:, None])).any(axis=1)
        out["flagged"] |= out["gap"]
        self.held_pst = pst[ready:]
        per = _core.FlickerMeter.SHORT_TERM_PER_LONG_TERM
        # A Plt is handed on with the last Pst of its 2 hours.
        done = out["clockInterval"][-1] // per if len(out) else None
        take = int(np.searchsorted(plt["clockInterval"] // per, done, side="right")) if done is not None else 0
        plt_out = plt[:take].copy()
        self.held_plt = plt[take:]
        for k in range(len(plt_out)):
            block = plt_out["clockInterval"][k] // per
            mine = [r for r in self.block if r["clockInterval"] // per == block] + \
                [r for r in out if r["clockInterval"] // per == block]
            plt_out["flagged"][k] = plt_out["gap"][k] or any(r["flagged"] for r in mine)
            plt_out["complete"][k] = len(mine) == per and all(r["complete"] for r in mine)
        last = plt_out["clockInterval"][-1] // per if len(plt_out) else None
        self.block = [r for r in self.block + list(out) if last is None or r["clockInterval"] // per > last]
        if b.last and self.block:
            plt_out = np.concatenate([plt_out, self._last_plt()])
            self.block = []
        b.flicker["pst"], b.flicker["plt"] = out, plt_out
        if len(self.held_pst):
            horizon = float(self.held_pst["startTime"][0])
        elif len(out):
            horizon = float(out["endTime"][-1])
        else:
            return
        self.ended = self.ended[self.ended["startTime"] + self.ended["duration"] > horizon]

    def _last_plt(self):
        """The Plt of the Pst of the 2 hours running at the end: over those that are not NaN, as the meter
        gives the first block's; never complete."""
        per = _core.FlickerMeter.SHORT_TERM_PER_LONG_TERM
        whole = _core.FlickerMeter.SHORT_TERM_SECONDS
        rows = np.array(self.block, dtype=self.block[0].dtype)
        block = int(rows["clockInterval"][0] // per)
        values = []
        for label in self.labels:
            v = rows[label + "pst"]
            v = v[np.isfinite(v)]
            values.append(np.array([np.cbrt(np.mean(v ** 3)) if len(v) else np.nan]))
        out = self._rows(np.array([block * per]), np.array([block]), whole * per, values, "plt",
                         np.array([rows["gap"].any()]))
        out["endTime"] = rows["endTime"][-1]
        out["flagged"] = rows["flagged"].any()
        out["complete"] = False
        return out

    def _rows(self, clocks, spans, seconds, values, name, gap):
        offset = float(self.ctx.clock_offset)
        if name not in self.dtypes:
            self.dtypes[name] = np.dtype(FLICKER_FRAME + [(label + name, "f8") for label in self.labels])
        table = np.zeros(len(clocks), self.dtypes[name])
        table["clockInterval"] = clocks
        table["gap"] = gap
        table["startTime"] = np.maximum(spans * seconds - offset, 0.0)
        table["endTime"] = (spans + 1) * seconds - offset
        for label, v in zip(self.labels, values):
            table[label + name] = v
        return table


class Stream:
    """The analysis of one recording as a pipeline over its blocks.

    reader -> tracker -> module (period values, windows) -> event and RVC
    detectors -> aggregators -> the caller's consumers, each block handed on
    and dropped. Iterate it for the :class:`Block` objects, or give
    ``consumers`` (objects with ``process(block)``) to :func:`run`.
    ``stages`` is the list the blocks pass through, in order: a stage added
    to it (anything with a ``process(block)`` method) sees each block after
    those before it.
    """

    def __init__(self, recording, *, voltage_channels=None, current_channels=None, nominal_frequency=None,
                 declared_voltage=None, fixed_frequency=None, rvc_threshold=5.0, windowed=True, block_size=None,
                 progress=None, arrays=True, flicker_lamp=None, signalling_frequencies=None,
                 inter_harmonics=False, cycles=True):
        fs = _positive(recording.check_rates(nominal_frequency), "sample rate")
        signalling = check_signalling(signalling_frequencies or (), fs)
        chosen = inference.infer(recording, voltage_channels, current_channels)
        grid, us, iss = chosen.grid, chosen.voltages, chosen.currents
        chosen.frequency_reason = "given" if nominal_frequency else \
            f"from {recording.frequency_source or 'the file'}" if recording.nominal_frequency else ""
        if fixed_frequency is not None:
            fixed_frequency = _positive(fixed_frequency, "fixed frequency")
            if fixed_frequency >= fs / 2:
                raise ValueError(f"fixed frequency {fixed_frequency:g} Hz is not below half the sample rate "
                                 f"({fs:g} Hz)")
            check_rate(fixed_frequency, "fixed frequency", "line frequency")
        if declared_voltage is not None:
            declared_voltage = _positive(declared_voltage, "declared voltage")
        if nominal_frequency is not None:
            nominal_frequency = _positive(nominal_frequency, "nominal frequency")
        if flicker_lamp is not None and float(flicker_lamp) not in (230.0, 120.0):
            raise ValueError(f"flicker lamp {flicker_lamp!r}: give 230 or 120 (volts)")
        block_size = int(block_size or int(fs))
        if block_size < 1:
            raise ValueError(f"block size {block_size}: give a positive number of samples")
        self.recording, self.progress = recording, progress
        # The file's nominal frequency is held against the waveform; one given is taken as it is.
        self.declared_frequency = None if nominal_frequency is not None else recording.nominal_frequency
        self.channels = us + iss
        self.cycles = bool(cycles)
        self.ctx = Context(recording=recording, grid=grid, voltages=us, currents=iss, sample_rate=fs,
                           nominal_frequency=nominal_frequency or (float(recording.nominal_frequency)
                                                                   if recording.nominal_frequency else None),
                           clock_offset=clock_offset(recording), declared_voltage=declared_voltage,
                           inference=chosen,
                           fixed_frequency=fixed_frequency, rvc_threshold=float(rvc_threshold),
                           block_size=block_size, windowed=bool(windowed), positions=0, seconds=0.0,
                           voltage_peak=np.zeros(len(us)), arrays=arrays,
                           flicker_lamp=None if flicker_lamp is None else float(flicker_lamp),
                           signalling=signalling if windowed else (), inter_harmonics=bool(inter_harmonics),
                           missing_runs=np.zeros((0, 2), np.int64), missing_samples=0, first_missing=None,
                           origin=0, windows_from=0)
        self.stages = []

    def _build(self, head):
        """The stages, once the nominal frequency is known (from the head of the first voltage if need be)."""
        ctx = self.ctx
        fs = ctx.sample_rate
        if ctx.nominal_frequency is None:
            measured = waveform_frequency(head, fs) if len(head) else None
            ctx.nominal_frequency = float(ctx.fixed_frequency) if ctx.fixed_frequency and not len(head) else \
                nominal_of(measured) if measured is not None else _nominal(fs, np.nan_to_num(head.astype(np.float64)))
            ctx.inference.frequency_reason = f"from the spectrum of {ctx.voltages[0].name}"
        elif self.declared_frequency:
            self._check_nominal(head)
        nominal = ctx.nominal_frequency
        # How far a gap reaches for the tracker: its cycles' frequencies are
        # measured over three cycles on either side, through a filter a cycle
        # long, so the cycles (and what the module makes of them) within four
        # nominal cycles of a missing sample are not measured either.
        ctx.gap_reach = 0.0 if ctx.fixed_frequency else 4.0 * fs / nominal
        reference = ctx.inference.decide(nominal, ctx.declared_voltage)
        ctx.declared_voltage, ctx.udin_source = reference.udin, reference.reason
        # Windows of 10 cycles at 50 Hz, 12 at 60 Hz, from tracked cycle starts.
        ctx.window_cycles = (12 if nominal > 55.0 else 10) if ctx.windowed else 0
        # Harmonic orders up to 50, and never above the recording's Nyquist frequency.
        highest = max(1, min(50, int(np.floor(fs / 2 / nominal))))
        # A three-wire (delta) recording measures the three line-to-line voltages alone: the module takes
        # them as its three voltage channels (see _Module), so they are measured as the star voltages are.
        wiring = "star" if ctx.grid == "delta" else ctx.grid
        settings = dict(grid_config_type=GRID[wiring], sample_rate=fs, sample_index_divisor=DIVISOR,
                        variable_frequency=(0.5 * nominal, 1.5 * nominal),
                        period_values_enabled=True, current_enabled=bool(ctx.currents),
                        half_period_values_count=2, period_values_overlap_in_percent=50,
                        rvc_enabled=True, rvc_steady_state_length=int(round(2 * nominal)),
                        rvc_threshold=ctx.rvc_threshold, rvc_threshold_hysteresis=50.0,
                        period_symmetrical_components_enabled=(ctx.grid != "single"))
        if ctx.window_cycles:
            # Subgroups and THDS, as IEC 61000-4-30 Class A measures voltage harmonics.
            settings.update(windowed_results_enabled=True, harmonic_subgroups_enabled=True,
                            inter_harmonics_enabled=ctx.inter_harmonics, period_count=ctx.window_cycles, thd_enabled=True,
                            highest_requested_harmonic=highest, thd_highest_harmonic=min(40, highest),
                            symmetrical_components_enabled=(ctx.grid != "single"))
            if ctx.signalling:
                settings.update(signalling_frequencies=list(ctx.signalling))
        # The currents' harmonic and inter-harmonic subgroups, aggregated as IEC 61000-4-30 Ed. 3 measures
        # currents: the module's subgroups of the currents' arrays, fetched for the aggregation.
        ctx.current_orders = highest if ctx.window_cycles and ctx.currents else 0
        ctx.current_arrays = ()
        if ctx.current_orders:
            settings.update(inter_harmonics_enabled=True)
            wanted = ctx.arrays if not isinstance(ctx.arrays, bool) else ctx.arrays and _CURRENT_ARRAYS
            ctx.current_arrays = tuple(name for name in _CURRENT_ARRAYS if name not in (wanted or ()))
        self.stages[:0] = [_Tracker(ctx), _Module(ctx, settings), _Events(ctx), _EventFlags(ctx)] + \
            ([_CycleFlags(ctx)] if self.cycles else []) + ([_Signalling(ctx)] if ctx.window_cycles and ctx.signalling else []) + [_Aggregation(ctx), _Flicker(ctx)]

    # The first second of the head is looked at first: a waveform clearly at the declared frequency there
    # (within half the 10 % that makes a note) needs no finer look. Anything else (another frequency, no
    # line, a gap) is judged on the whole head, whose figure the note gives. The head's transform is the
    # larger part of a run's fixed cost (some 15 ms at 10240 Hz, the second's 1.5 ms); a recording whose
    # first second runs at its declared frequency is taken at it.
    GLANCE_SECONDS = 1.0
    GLANCE_TOLERANCE = 0.05

    def _check_nominal(self, head):
        """The file's nominal frequency replaced, with a note, by the waveform's when they differ by more
        than 10 % (the file says 50 Hz of a 60 Hz recording)."""
        ctx, declared = self.ctx, float(self.declared_frequency)
        glance = int(self.GLANCE_SECONDS * ctx.sample_rate)
        if len(head) > glance:
            quick = waveform_frequency(head[:glance], ctx.sample_rate)
            if quick is not None and abs(quick / declared - 1.0) <= self.GLANCE_TOLERANCE:
                return
        measured = waveform_frequency(head, ctx.sample_rate)
        if measured is None or abs(measured / declared - 1.0) <= 0.1:
            return
        ctx.nominal_frequency = nominal_of(measured)
        ctx.inference.frequency_reason = (f"from the spectrum of {ctx.voltages[0].name} ({measured:.4g} Hz), "
                                          f"not the file's {declared:g} Hz")
        where = self.recording.frequency_source or self.recording.source
        self.recording.notes.append(f"{where}: the file declares {declared:g} Hz, but {ctx.voltages[0].name} "
                                    f"runs at {measured:.4g} Hz: analysed as {ctx.nominal_frequency:g} Hz "
                                    "(give --nominal to overrule)")

    def _chunks(self):
        """(position, float32 samples, missing mask or None) in pieces of at most block_size samples."""
        size = self.ctx.block_size
        for position, data in self.recording.blocks(size, self.channels):
            for lo in range(0, data.shape[1], size):
                part = data[:, lo:lo + size]
                finite = np.isfinite(part)
                missing = None
                if not finite.all():
                    lost = ~finite
                    part = np.where(lost, np.float32(0.0), part)
                    missing = lost.any(axis=0)
                yield position + lo, np.ascontiguousarray(part), missing

    def __iter__(self):
        ctx = self.ctx
        fs = ctx.sample_rate
        started = _time.perf_counter()
        chunks = self._chunks()
        # The first ten seconds are held until the nominal frequency is known.
        held = []
        for chunk in chunks:
            held.append(chunk)
            if ctx.nominal_frequency is not None or sum(c[1].shape[1] for c in held) >= 10 * fs:
                break
        head = np.concatenate([c[1][0] for c in held]) if held else np.zeros(0, np.float32)
        self._build(head)
        total = max(self.recording.samples, 1)
        pending = None
        for chunk in itertools.chain(held, chunks):
            if pending is not None:
                yield self._pass(Block(*pending))
                if self.progress is not None:
                    self.progress(min(1.0, pending[0] / total + pending[1].shape[1] / total))
            pending = chunk
        if pending is None:
            pending = (0, np.zeros((len(self.channels), 0), np.float32), None)
        last = self._pass(Block(*pending, last=True))
        ctx.seconds = _time.perf_counter() - started
        self._check(last)
        yield last
        if self.progress is not None:
            self.progress(1.0)

    def _pass(self, b):
        self.ctx.positions = b.stop
        self._note_missing(b)
        for stage in self.stages:
            stage.process(b)
        return b

    def _note_missing(self, b):
        """The block's missing samples into the context's runs and counts: the reader made them NaN, the
        chunks marked them, and here they become the runs every stage tests its spans against."""
        ctx = self.ctx
        runs = ctx.missing_runs
        if b.missing is not None:
            edges = np.flatnonzero(np.diff(np.concatenate([[False], b.missing, [False]]).astype(np.int8)))
            new = np.column_stack([edges[::2], edges[1::2]]).astype(np.int64) + b.position
            if len(runs) and runs[-1, 1] == new[0, 0]:  # one run across the blocks' edge
                runs = runs.copy()
                runs[-1, 1] = new[0, 1]
                new = new[1:]
            runs = np.concatenate([runs, new])
            if ctx.first_missing is None:
                ctx.first_missing = int(b.position + edges[0])
            ctx.missing_samples += int(np.count_nonzero(b.missing))
        # The stages look back a few seconds at most (the tracker's 10-s values the farthest).
        oldest = b.stop - ctx.block_size - MISSING_MEMORY * ctx.sample_rate
        if len(runs) and runs[0, 1] <= oldest:
            runs = runs[runs[:, 1] > oldest]
        ctx.missing_runs = runs

    def _check(self, last):
        """Refusals that only the end can tell."""
        ctx = self.ctx
        n, fs, source = ctx.positions, ctx.sample_rate, self.recording.source
        if n < 4 * fs / ctx.nominal_frequency - 0.5:  # four whole cycles, to the nearest sample
            raise RecordingError(f"{source}: {n} samples ({n / fs:.4g} s) are less than four cycles of "
                                 f"{ctx.nominal_frequency:g} Hz; nothing to analyse (give --nominal HZ if the "
                                 "nominal frequency is another)")
        if not self.stages[1].started:
            # The tracker trusts a crossing only once its filter has filled
            # and settled, some six cycles in.
            raise RecordingError(f"{source}: the frequency tracker found no cycle in {ctx.voltages[0].name} "
                                 f"({n} samples, {n / fs:.3f} s; it settles in some six cycles); give "
                                 f"--fixed-frequency {ctx.nominal_frequency:g} for a recording this short")
        full = np.array([c.full_scale or np.nan for c in ctx.voltages], np.float64)
        if np.all(np.isfinite(full)) and np.all(ctx.voltage_peak < NO_VOLTAGE * full):
            raise RecordingError(
                f"{source}: the voltage channels {', '.join(c.name for c in ctx.voltages)} carry no voltage: their "
                f"largest one-cycle RMS value, {float(np.max(ctx.voltage_peak)):.3g} V, is below "
                f"{NO_VOLTAGE:g} of their range ({float(np.min(full)):.6g} V); nothing to analyse (name the "
                "voltage channels with --voltages)")


# Seconds of missing runs the context keeps behind the latest block: more
# than the stages look back (a 10-s value, a second of segments held back).
MISSING_MEMORY = 30.0

# A voltage channel whose one-cycle RMS values all stay below this share of
# its declared range (COMTRADE) holds noise, not a voltage.
NO_VOLTAGE = 1e-3


def open_recording(path, sample_rate=None, nominal_frequency=None, start=None, time_zone=None):
    """A recording file opened for reading block by block: .cfg/.dat/.cff (COMTRADE) or .csv/.txt; `start`
    and `time_zone` as :func:`load` takes them."""
    return _open(path, sample_rate, nominal_frequency, whole=False, start=start, time_zone=time_zone)


def _recording_of(recording, voltages, currents, sample_rate, nominal_frequency, blocks):
    if recording is None:
        if voltages is None or sample_rate is None:
            raise ValueError("give a recording, or voltages and sample_rate")
        return _arrays_recording(voltages, currents, _positive(sample_rate, "sample_rate"), nominal_frequency)
    if isinstance(recording, Recording):
        return recording
    if sample_rate is not None:
        _positive(sample_rate, "sample_rate")
    return open_recording(recording, sample_rate, nominal_frequency) if blocks else \
        load(recording, sample_rate=sample_rate, nominal_frequency=nominal_frequency)


def stream(recording=None, *, voltages=None, currents=None, sample_rate=None, **options):
    """The analysis as an iterator of :class:`Block` objects, one per block of samples, in bounded memory.

    Takes what :func:`analyze` takes (``block_size``: samples per block,
    default one second's worth), plus ``arrays``: the windows' arrays to
    fetch into ``Block.harmonics`` (True: all, the default; False: none; or
    their names, e.g. ``("harmonicsVoltage",)``), and ``cycles``: False
    leaves ``Block.cycles`` empty, the tracked cycles not flagged by the
    events over them, for consumers that read none (the other results are
    the same). A file is read block by block.

    Examples
    --------
    >>> import numpy as np, powerquality as pq
    >>> fs = 6400.0; t = np.arange(int(3 * fs)) / fs
    >>> u = [230 * np.sqrt(2) * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3) for k in range(3)]
    >>> sizes = [len(b.period) for b in pq.analysis.stream(voltages=u, sample_rate=fs)]
    >>> len(sizes), sum(sizes) > 0
    (3, True)
    """
    recording = _recording_of(recording, voltages, currents, sample_rate, options.get("nominal_frequency"), True)
    return Stream(recording, **options)


def run(recording=None, consumers=(), **options):
    """The analysis with each block handed to every consumer's ``process(block)``; returns the Stream's context."""
    s = stream(recording, **options)
    for b in s:
        for consumer in consumers:
            consumer.process(b)
    return s.ctx


class Collector:
    """Consumer: every block's results joined into an :class:`Analysis`.

    The big per-block tables (period values, cycles, windows and their
    arrays) are kept as the blocks' arrays (empty ones left out) and joined
    once at the end; the small ones (events, RVCs, intervals, flicker rows,
    window flags) go into growing :class:`Rows`, so memory grows with the
    tables and not with the number of blocks.
    """

    BLOCKS = ("period", "frequency", "windowed", "harmonics", "crossings")
    ROWS = ("ten_second", "rvc", "events", "window_flags", "window_gaps", "3s", "10min", "2h", "pst", "plt",
            "signalling", "signalling_3s", "frequency_flags")

    def __init__(self):
        self.parts = {k: [] for k in self.BLOCKS}
        self.rows = {k: Rows() for k in self.ROWS}
        self.pinst = None  # the largest Pinst of each voltage so far, once a block had flicker

    def process(self, b):
        p, r = self.parts, self.rows
        for name in ("period", "frequency", "crossings"):
            if len(getattr(b, name)):
                p[name].append(getattr(b, name))
        for name in ("ten_second", "rvc", "events"):
            r[name].add(getattr(b, name))
        r["frequency_flags"].add(np.asarray(b.cycles["flagged"], bool))
        if b.windowed is not None and len(b.windowed):
            p["windowed"].append(b.windowed)
            p["harmonics"].append(b.harmonics)
            r["window_flags"].add(np.asarray(b.window_flags, bool))
            r["window_gaps"].add(np.asarray(b.window_gaps, bool))
        if b.aggregated is not None:
            for key in ("3s", "10min", "2h"):
                r[key].add(b.aggregated[key])
        if b.signalling is not None:
            r["signalling"].add(b.signalling)
            r["signalling_3s"].add(b.signalling_3s)
        if b.flicker is not None:
            r["pst"].add(b.flicker["pst"])
            r["plt"].add(b.flicker["plt"])
            with np.errstate(all="ignore"):
                peak = np.asarray(b.flicker["pinst_max"])
                self.pinst = peak if self.pinst is None else np.fmax(self.pinst, peak)

    def analysis(self, ctx):
        p, r = self.parts, {k: v.array() for k, v in self.rows.items()}
        events = r["events"] if r["events"] is not None else np.zeros(0, EVENT_DTYPE)
        windowed = harmonics = aggregated = None
        if ctx.window_cycles:
            windowed = _join_records(p["windowed"]) if p["windowed"] else np.zeros(0, _core.GENERAL_RECORD_DTYPE)
            harmonics = _join_arrays(p["harmonics"])
            aggregated = {key: r[key] for key in ("3s", "10min", "2h")}
        flicker = None
        if self.pinst is not None:
            flicker = {"pst": r["pst"], "plt": r["plt"], "pinst_max": self.pinst, "lamp": ctx.flicker_lamp,
                       "lamp_reason": getattr(ctx, "flicker_lamp_reason", "")}
        signalling = signalling_3s = None
        if ctx.window_cycles and ctx.signalling:
            signalling = r["signalling"] if r["signalling"] is not None else np.zeros(0, SIGNALLING_DTYPE)
            signalling_3s = r["signalling_3s"] if r["signalling_3s"] is not None else \
                np.zeros(0, SIGNALLING_3S_DTYPE)
        return Analysis(recording=ctx.recording, grid=ctx.grid, signalling=signalling, signalling_3s=signalling_3s,
                        voltages=[c.name for c in ctx.voltages],
                        currents=[c.name for c in ctx.currents], sample_rate=ctx.sample_rate,
                        nominal_frequency=ctx.nominal_frequency,
                        period=_join_records(p["period"]) if p["period"] else np.zeros(0, _core.PERIOD_DTYPE),
                        frequency=_joined(p["frequency"], FREQUENCY_DTYPE), ten_second=r["ten_second"],
                        frequency_flags=r["frequency_flags"] if r["frequency_flags"] is not None else np.zeros(0, bool),
                        rvc=r["rvc"], events=events[np.argsort(events["startTime"], kind="stable")],
                        declared_voltage=ctx.declared_voltage, windowed=windowed, harmonics=harmonics,
                        window_flags=r["window_flags"] if r["window_flags"] is not None else np.zeros(0, bool),
                        window_gaps=r["window_gaps"] if r["window_gaps"] is not None else np.zeros(0, bool),
                        udin_source=ctx.udin_source, inference=ctx.inference, rvc_threshold=ctx.rvc_threshold,
                        aggregated=aggregated, flicker=flicker, clock_offset=ctx.clock_offset, seconds=ctx.seconds,
                        positions=ctx.positions, crossings=_joined(p["crossings"], np.float64),
                        missing_samples=ctx.missing_samples, first_missing=ctx.first_missing,
                        inter_harmonics=ctx.inter_harmonics)


def _joined(parts, dtype):
    return np.concatenate(parts) if parts else np.zeros(0, dtype)


def analyze(recording=None, *, voltages=None, currents=None, sample_rate=None, nominal_frequency=None,
            voltage_channels=None, current_channels=None, declared_voltage=None, fixed_frequency=None,
            rvc_threshold=5.0, windowed=True, progress=None, block_size=None, flicker_lamp=None,
            signalling_frequencies=None, inter_harmonics=False, jobs=None, span_seconds=None):
    """Analyse a recording whole: the pipeline of :func:`stream`, its results joined.

    Parameters
    ----------
    recording : str, path or Recording, optional
        A COMTRADE (.cfg/.dat or .cff) or CSV file, or a Recording. Or give arrays:
    voltages, currents : array_like, shape (3, n), (n, 3), (1, n), (n, 1) or (n,)
        Samples in volts and amperes (currents optional, as many channels
        as the voltages): numpy arrays, pandas DataFrames, nested lists,
        channels as rows or as columns, as the shape says (see
        :func:`channels_first`), with
    sample_rate : float
        Samples per second.
    nominal_frequency : float, optional
        50 or 60 Hz; taken from the file, else from the spectrum.
    voltage_channels, current_channels : list of str, optional
        Channel names to use instead of those found by phase and type.
    declared_voltage : float, optional
        Udin in volts for dips, swells, interruptions and RVCs (default: as
        ``inference`` reads it: the voltage channels' rating where it agrees
        with the waveform, else the IEC 60038 nominal voltage nearest the
        level of the first 10 s, else that level).
    fixed_frequency : float, optional
        Feed this frequency instead of tracking it.
    rvc_threshold : float
        Rapid voltage change threshold, percent of Udin (the hysteresis is
        half of it).
    windowed : bool
        Also compute windowed results (harmonic subgroups and THDS, as Class
        A measures voltage harmonics).
    progress : callable(fraction), optional
        Called after each block with the share done.
    block_size : int, optional
        Samples per block (default: one second's worth); the results do not
        depend on it.
    flicker_lamp : float, optional
        230 or 120: the lamp of the flickermeter (default: 230 V when the
        supply's phase-to-neutral Udin is at least 200 V, else 120 V,
        whatever the frequency).
    signalling_frequencies : sequence of float, optional
        Mains signalling (ripple control) frequencies, 110 to 3000 Hz and
        below half the sample rate: ``Analysis.signalling`` then holds the
        RMS voltage of each in every window's spectrum and
        ``Analysis.signalling_3s`` their 150/180-cycle values (with
        ``windowed``).
    inter_harmonics : bool
        Also the windows' inter-harmonic centred subgroups (IEC 61000-4-7),
        in ``Analysis.harmonics['interHarmonicsVoltage']`` (element n the
        subgroup between orders n and n + 1) and the windows'
        ``thdInterVoltage``; off, they are NaN. Off by default: they take
        about twice the windows' time again. Currents switch them on for
        their own subgroups: the windows' ``thdInterVoltage`` and
        ``thdInterCurrent`` are then measured either way (the inter-harmonic
        distortion the module does not compute is NaN, never 0).
    jobs, span_seconds : int and float, optional
        With either, the recording is cut at 10-minute ticks of its clock into spans (of ``span_seconds``;
        by default an hour or more, two for each job) analysed side by side on ``jobs`` local processes
        (2 by default), and their results joined into the serial run's (see ``spans``, which says within
        what). Serial otherwise.

    Returns
    -------
    Analysis

    Examples
    --------
    >>> import numpy as np, powerquality as pq
    >>> fs = 6400.0; t = np.arange(int(2 * fs)) / fs
    >>> u = [230 * np.sqrt(2) * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3) for k in range(3)]
    >>> a = pq.analyze(voltages=u, sample_rate=fs)
    >>> a.grid, round(float(np.median(a.phase_rows(0)["rmsVoltage"])), 2)
    ('star', 230.0)
    """
    if jobs is not None or span_seconds is not None:
        from . import spans

        return spans.analyze_spans(
            recording, voltages=voltages, currents=currents, sample_rate=sample_rate, jobs=2 if jobs is None else jobs,
            span_seconds=span_seconds,
            nominal_frequency=nominal_frequency, voltage_channels=voltage_channels, current_channels=current_channels,
            declared_voltage=declared_voltage, fixed_frequency=fixed_frequency, rvc_threshold=rvc_threshold,
            windowed=windowed, block_size=block_size, flicker_lamp=flicker_lamp,
            signalling_frequencies=signalling_frequencies, inter_harmonics=inter_harmonics)
    recording = _recording_of(recording, voltages, currents, sample_rate, nominal_frequency, False)
    collector = Collector()
    ctx = run(recording, [collector], voltage_channels=voltage_channels, current_channels=current_channels,
              nominal_frequency=nominal_frequency, declared_voltage=declared_voltage,
              fixed_frequency=fixed_frequency, rvc_threshold=rvc_threshold, windowed=windowed,
              progress=progress, block_size=block_size, flicker_lamp=flicker_lamp,
              signalling_frequencies=signalling_frequencies, inter_harmonics=inter_harmonics)
    return collector.analysis(ctx)


def start_datetime(recording):
    """The recording's start (its first sample) on the recorder's clock as a naive datetime (to the
    microsecond), when the file gives it readably, else None.

    COMTRADE writes dd/mm/yyyy (1999, 2013) or mm/dd/yy (1991); ISO text is taken too (see
    ``recording.read_clock``).
    """
    import datetime

    from .recording import read_clock

    try:
        clock = read_clock(recording.start, getattr(recording, "date_order", None))
    except ValueError:
        return None
    return None if clock is None else datetime.datetime.fromisoformat(str(clock[0].astype("datetime64[us]")))


def clock_offset(recording):
    """Seconds from the midnight before the recording's start to its first sample; 0 without a start time.

    The 10-minute clock intervals of the aggregation lie on whole 10 minutes
    of the recorder's clock (its own time zone, as the file gives it); a
    recording without a start time is taken to start on a whole 10 minutes.
    """
    start = start_datetime(recording)
    if start is None:
        return 0.0
    midnight = start.replace(hour=0, minute=0, second=0, microsecond=0)
    return (start - midnight).total_seconds()


# Per phase: the windowed values that are aggregated (RMS voltage and
# current, THD of each); then the unbalance ratios u2 and u0 on three phases.
_AGGREGATED_FIELDS = ("rmsVoltage", "rmsCurrent", "thdVoltage.thd", "thdCurrent.thd")
# flagged: a window in it overlaps a dip, swell or interruption (IEC
# 61000-4-30 §4.7); gap: a window in it lacks a tracked frequency or a sample.
AGGREGATE_FRAME = [("startTime", "f8"), ("endTime", "f8"), ("clockInterval", "i8"), ("windowCount", "i4"),
                   ("flagged", "?"), ("complete", "?"), ("gap", "?")]


def _aggregated_columns(windowed, phases, currents, udin=None, harmonics=None, current_orders=0):
    """(name, values per window) of the aggregated quantities, named as in windowed.csv; with Udin, last, each
    phase's RMS voltage clipped to at most Udin ('underDeviation') and to at least Udin ('overDeviation'), in
    volts, which :func:`_take_intervals` turns into the deviations; with currents and ``current_orders``, after
    them, the currents' subgroups and unbalance (see :func:`_current_columns`)."""
    out = []
    for k in range(phases):
        label = "ABC"[k] + "." if phases > 1 else ""
        for field in _AGGREGATED_FIELDS:
            if not currents and "Current" in field:
                continue
            value = windowed["phases"][:, k]
            for part in field.split("."):
                value = value[part]
            out.append((label + field, np.asarray(value, dtype=np.float64)))
    if phases == 3:
        out.append(("u2", np.asarray(windowed["symmetricalComponents"][:, 2]["voltageUnbalance"], np.float64)))
        out.append(("u0", np.asarray(windowed["symmetricalComponents"][:, 0]["voltageUnbalance"], np.float64)))
    if udin is not None:
        for k in range(phases):
            label = "ABC"[k] + "." if phases > 1 else ""
            u = np.asarray(windowed["phases"][:, k]["rmsVoltage"], dtype=np.float64)
            out.append((label + "underDeviation", np.minimum(u, udin)))  # NaN stays NaN: not measured
            out.append((label + "overDeviation", np.maximum(u, udin)))
    if currents and current_orders:
        out += _current_columns(windowed, phases, harmonics, current_orders)
    return out


# The windows' arrays the currents' aggregated subgroups come from.
_CURRENT_ARRAYS = ("harmonicsCurrent", "interHarmonicsCurrent")


def _current_columns(windowed, phases, harmonics, orders):
    """(name, values per window) of the currents as IEC 61000-4-30 Ed. 3 measures them, per phase: the
    harmonic current subgroups of orders 1 to ``orders`` ('A.harmonicCurrent1', ... in amperes), then the
    inter-harmonic current centred subgroups 0 to ``orders`` - 1 ('A.interHarmonicCurrent0', ...: the one
    between orders n and n + 1, without the lines next to either); then, on three phases, the current
    unbalance of the fundamental phasors in percent, negative ('u2Current': |I2| / |I1|) and zero sequence
    ('u0Current': |I0| / |I1|). A window without the arrays has them NaN (not measured)."""
    n = len(windowed)
    arrays = harmonics or {}
    out = []
    for k in range(phases):
        label = "ABC"[k] + "." if phases > 1 else ""
        for name, key, first, last in (("harmonicCurrent", "harmonicsCurrent", 1, orders),
                                       ("interHarmonicCurrent", "interHarmonicsCurrent", 0, orders - 1)):
            array = arrays.get(key)
            block = np.full((n, last + 1 - first), np.nan)
            if array is not None and len(array) == n:
                have = max(0, min(last + 1, array.shape[-1]) - first)
                block[:, :have] = array[:, k, first:first + have]
            out += [(f"{label}{name}{order}", block[:, j]) for j, order in enumerate(range(first, last + 1))]
    if phases == 3:
        components = windowed["symmetricalComponents"]
        out.append(("u2Current", np.asarray(components[:, 2]["currentUnbalance"], np.float64)))
        out.append(("u0Current", np.asarray(components[:, 0]["currentUnbalance"], np.float64)))
    return out


def _fill_current_columns(out, windowed, phases, harmonics, orders):
    """:func:`_current_columns`' values, in its order, written into the columns of `out` (windows, columns) a
    phase's subgroups at a time."""
    n = len(windowed)
    arrays = harmonics or {}
    at = 0
    for k in range(phases):
        for key, first, last in (("harmonicsCurrent", 1, orders), ("interHarmonicsCurrent", 0, orders - 1)):
            array = arrays.get(key)
            width = last + 1 - first
            have = 0
            if array is not None and len(array) == n:
                have = max(0, min(last + 1, array.shape[-1]) - first)
                out[:, at:at + have] = array[:, k, first:first + have]
            out[:, at + have:at + width] = np.nan
            at += width
    if phases == 3:
        components = windowed["symmetricalComponents"]
        out[:, at] = components[:, 2]["currentUnbalance"]
        out[:, at + 1] = components[:, 0]["currentUnbalance"]


def aggregate_windows(windowed, phases, currents, sample_rate, clock_offset=0.0, flags=None, gaps=None,
                      declared_voltage=None, harmonics=None):
    """150/180-cycle and 10-minute values of the windowed results, by the library's IntervalAggregator.

    Each window (start: its first sample over the sample rate, end: its
    ``time``) gives the RMS voltage and current and the THD of each phase
    and the unbalance ratios u2, u0; each is aggregated as the root of the
    mean of the squares (IEC 61000-4-30). 150/180-cycle intervals are 15
    consecutive windows; at every 10-minute tick a new one starts while the
    one in progress runs on to its 15 windows ("overlap 1"); 10-minute
    intervals lie on whole 10 minutes of the clock, whose position 0 is
    ``clock_offset`` seconds after a whole 10 minutes. A window that overlaps
    a tick belongs to the interval before it. An interval is flagged when a
    window in it is (``flags``, the §4.7 flag) and marked ``gap`` when a
    window in it is (``gaps``); a value that is not finite in a window (all
    of them in a window over a missing sample) is left out of that value's
    aggregate, which is over the windows where it was measured (NaN when
    none was), and the window is marked.

    2-hour values come from the 10-minute values of each 2 hours of the clock
    (twelve when whole), as the root of the mean of their squares; their
    ``windowCount`` is the number of 10-minute values.

    With ``declared_voltage`` (Udin) each phase's under- and over-deviation
    (IEC 61000-4-30 §5.9) follow, last, as 'A.underDeviation',
    'A.overDeviation', ... in percent of Udin: each window's RMS voltage
    clipped to at most Udin (under) or at least Udin (over), aggregated as the
    RMS voltage is (over the windows of the interval, a 2-hour value over its
    10-minute ones), then under = (Udin - aggregate) / Udin x 100 and over =
    (aggregate - Udin) / Udin x 100, never below 0 (a supply that stays on
    one side of Udin has 0 on the other, to rounding).

    With currents and ``harmonics`` holding the windows' 'harmonicsCurrent'
    and 'interHarmonicsCurrent' arrays, the currents' harmonic and
    inter-harmonic subgroups of each phase and the current unbalance follow,
    last, as 'A.harmonicCurrent1' ... 'A.harmonicCurrent<H>',
    'A.interHarmonicCurrent0' ... 'A.interHarmonicCurrent<H-1>' (amperes; H
    the highest order the arrays hold, at most 50), ..., 'u2Current',
    'u0Current' (percent), aggregated as the RMS current is (see
    :func:`_current_columns`).

    Returns {'3s': rows, '10min': rows, '2h': rows}: structured arrays with
    AGGREGATE_FRAME's fields, one field per quantity ('A.rmsVoltage', ...,
    'u2', 'u0') and, in the 10-minute and 2-hour rows, 'tagTime': the tick
    that ends the interval, in seconds on the windows' scale.
    """
    udin = None if declared_voltage is None else float(declared_voltage)
    orders = 0
    if currents and harmonics is not None and all(name in harmonics for name in _CURRENT_ARRAYS):
        orders = min(50, harmonics["harmonicsCurrent"].shape[-1] - 1)
    names = [name for name, _ in _aggregated_columns(windowed, phases, currents, udin, harmonics, orders)]
    aggregator = _aggregator(len(names), clock_offset)
    _add_windows(aggregator, windowed, phases, currents, sample_rate, flags, gaps, udin, harmonics, orders)
    aggregator.flush()
    return _take_intervals(aggregator, names, clock_offset, udin)


def _aggregator(count, clock_offset):
    """An IntervalAggregator of `count` quantities, then per quantity the share of windows where it was
    measured (finite), then the share of windows marked with a gap (both means)."""
    aggregator = _core.IntervalAggregator(2 * count + 1, float(clock_offset))
    for k in range(count, 2 * count + 1):
        aggregator.set_mean(k)
    return aggregator


def _add_windows(aggregator, windowed, phases, currents, sample_rate, flags=None, gaps=None, udin=None,
                 harmonics=None, current_orders=0):
    """The windows' aggregated quantities, the shares measured and the gap marks into the aggregator (a
    value that is not finite, as over a missing sample, as 0 and not measured; the window marked)."""
    columns = _aggregated_columns(windowed, phases, currents, udin)
    n, count = len(windowed), len(columns)
    if currents and current_orders:
        count += 2 * phases * current_orders + (2 if phases == 3 else 0)
    # One matrix of the values, the shares measured and the gap marks, filled in place.
    matrix = np.empty((n, 2 * count + 1))
    values = matrix[:, :count]
    for k, (_, column) in enumerate(columns):
        values[:, k] = column
    if currents and current_orders:
        _fill_current_columns(values[:, len(columns):], windowed, phases, harmonics, current_orders)
    bad = ~np.isfinite(values)
    flags = np.zeros(n, bool) if flags is None else np.asarray(flags, bool)
    gaps = np.zeros(n, bool) if gaps is None else np.asarray(gaps, bool).copy()
    if bad.any():
        gaps |= bad.any(axis=1)
        values[bad] = 0.0
    np.logical_not(bad, out=matrix[:, count:2 * count])
    matrix[:, 2 * count] = gaps
    values = matrix
    starts = windowed["firstSampleIndex"].astype(np.float64) / sample_rate
    ends = np.maximum(windowed["time"].astype(np.float64), starts)
    aggregator.add_windows(starts, ends, np.ascontiguousarray(values), flags)


@functools.lru_cache(maxsize=16)
def _table_dtype(names, tagged):
    """The aggregated rows' dtype: the frame, 'tagTime' when tagged, a float per quantity."""
    return np.dtype(AGGREGATE_FRAME + ([("tagTime", "f8")] if tagged else []) + [(name, "f8") for name in names])


@functools.lru_cache(maxsize=16)
def _deviations(names):
    """The indices of the quantities that become under-deviations and of those that become over-deviations."""
    return (np.array([k for k, name in enumerate(names) if name.endswith("underDeviation")], np.intp),
            np.array([k for k, name in enumerate(names) if name.endswith("overDeviation")], np.intp))


def _take_intervals(aggregator, names, clock_offset, udin=None):
    """The closed intervals as {'3s': rows, '10min': rows, '2h': rows} (see :func:`aggregate_windows`).

    A value is over the windows where it was measured: the aggregator's
    root mean square over all windows (0 where not measured) divided by the
    root of the share measured, NaN when none was; a 2-hour value so weighs
    each 10-minute value by its share measured. Where every window was
    measured the aggregator's value is taken as it is. The clipped voltages
    of the deviations become percent of ``udin`` last.
    """
    out = {}
    count = len(names)
    names = tuple(names)
    under, over = _deviations(names)
    for key, rows in (("3s", aggregator.three_second_intervals()), ("10min", aggregator.ten_minute_intervals()),
                      ("2h", aggregator.two_hour_intervals())):
        extra = key != "3s"
        table = np.zeros(len(rows), _table_dtype(names, extra))
        if not len(rows):  # most blocks close no interval of a kind
            out[key] = table
            continue
        for name, _ in AGGREGATE_FRAME[:-1]:
            table[name] = rows[name]
        # All quantities at once, element by element as one at a time would.
        values = np.array(rows["values"][:, :count], dtype=np.float64)
        share = rows["values"][:, count:2 * count]
        part = share < 1.0
        if part.any():
            with np.errstate(divide="ignore", invalid="ignore"):
                values[part] = np.where(share[part] > 0, values[part] / np.sqrt(share[part]), np.nan)
        if len(under):  # every column of a kind at once, element by element as one at a time
            values[:, under] = np.maximum((udin - values[:, under]) / udin * 100.0, 0.0)
        if len(over):
            values[:, over] = np.maximum((values[:, over] - udin) / udin * 100.0, 0.0)
        if count and len(rows):
            # The quantities' fields follow one another in each row: written through one view.
            np.ndarray((len(rows), count), np.float64, buffer=table, offset=table.dtype.fields[names[0]][1],
                       strides=(table.dtype.itemsize, 8))[...] = values
        table["gap"] = rows["values"][:, 2 * count] > 0
        if extra:
            whole = _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS
            per = _core.IntervalAggregator.TEN_MINUTES_PER_TWO_HOURS if key == "2h" else 1
            table["tagTime"] = (rows["clockInterval"] // per + 1) * per * whole - float(clock_offset)
        out[key] = table
    return out


def _join_arrays(parts):
    """Concatenate the per-fetch dicts of copied arrays along the window axis (padding with NaN); None when no
    arrays were fetched (a stream with ``arrays=False``)."""
    if not parts or parts[0] is None:
        return None
    out = {}
    for name in parts[0]:
        arrays = [p[name] for p in parts]
        width = max(a.shape[-1] for a in arrays)
        if any(a.shape[-1] != width for a in arrays):
            arrays = [np.pad(a, ((0, 0), (0, 0), (0, width - a.shape[-1])), constant_values=np.nan) for a in arrays]
        out[name] = np.concatenate(arrays)
    return out


def voltage_events(times, rms, udin):
    """Dips, swells and interruptions (EVENT_DTYPE rows, in order of start).

    times: end times of the period values; rms: shape (phases, values);
    udin: declared voltage. The library's VoltageEventDetector decides, with
    Ed. 3 time stamps (Urms(1/2) values); an event still running at the end
    has ``ended`` False and its duration up to the last value.
    """
    if rms.size == 0:
        return np.zeros(0, EVENT_DTYPE)
    detector = _core.VoltageEventDetector(float(udin), int(rms.shape[0]))
    detector.window_start_stamps = 2
    detector.add_rms_values(times, np.ascontiguousarray(rms.T))
    finished = detector.get_events()
    running = detector.running_events()
    out = np.zeros(len(finished) + len(running), EVENT_DTYPE)
    for name in ("type", "phases", "startTime", "duration", "extremeVoltage", "extremePercent"):
        out[name] = np.concatenate([finished[name], running[name]])
    out["ended"] = np.arange(len(out)) < len(finished)
    return out[np.argsort(out["startTime"], kind="stable")]

"""One call from a recording (or arrays) to result tables.

``analyze`` runs a Module over the whole recording, block by block:

- period values with two half periods and 50 % overlap: one-cycle RMS
  values refreshed every half cycle (Urms(1/2)), the geometry dips and
  swells are defined on;
- the frequency tracked from the first voltage by the library's
  FrequencyTracker (see ``tracking``), fed to the module as one segment
  per cycle with sample-index divisor 16, the module reset at the first;
- rapid voltage changes (steady-state window of one second of Urms(1/2)
  values, threshold 5 % unless given);
- dips, swells and interruptions from the library's VoltageEventDetector
  against the declared voltage Udin, with its default thresholds 90 %,
  110 % and 5 % of Udin and hysteresis 2 % (a dip or swell runs while any
  phase is beyond its threshold, an interruption while every phase is below
  its threshold, and an interruption is also reported as the dip that
  contains it). Udin defaults to the median of all phase RMS values, i.e.
  the recording is taken to be mostly at its normal voltage; pass
  ``declared_voltage`` to be exact;
- windowed results (THD, harmonics) over windows of 10 tracked cycles
  (12 at 60 Hz), one after the other, the series started again at each
  10-minute tick of the recording's clock;
- their main values (RMS voltage and current, THD per phase, unbalance)
  aggregated over 150/180 cycles and over 10 minutes of the clock by the
  library's IntervalAggregator (see ``aggregate_windows``).

The result is an :class:`Analysis` whose tables are numpy structured arrays
(``as_pandas`` gives DataFrames when pandas is installed).
"""

import os
import sys
import time as _time

import numpy as np

from . import _core, comtrade, csvfile, tracking
from ._module import Module
from .recording import Recording, RecordingError

DIVISOR = 16
GRID = {"star": _core.GridConfigType.ThreePhaseStar, "delta": _core.GridConfigType.ThreePhaseDelta,
        "single": _core.GridConfigType.SinglePhaseDefault}
EVENT_TYPES = {1: "dip", 2: "swell", 3: "interruption"}
EVENT_DTYPE = np.dtype([("type", "i4"), ("phases", "u4"), ("startTime", "f8"), ("duration", "f8"),
                        ("extremeVoltage", "f8"), ("extremePercent", "f8"), ("ended", "?")])
RVC_DTYPE = np.dtype([("startTime", "f8"), ("duration", "f8"), ("deltaUmax", "f8"), ("deltaUss", "f8"),
                      ("ended", "?")])
FREQUENCY_DTYPE = np.dtype([("time", "f8"), ("frequency", "f8"), ("valid", "?")])


def load(path, sample_rate=None, nominal_frequency=None):
    """Read a recording by its extension: .cfg/.dat/.cff (COMTRADE) or .csv/.txt."""
    ext = os.path.splitext(str(path))[1].lower()
    if ext in (".csv", ".txt", ".tsv"):
        return csvfile.read(path, sample_rate=sample_rate, nominal_frequency=nominal_frequency)
    recording = comtrade.read(path)
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
    period : ndarray of PERIOD_DTYPE (one row per record; phase -1 is the total)
    frequency : ndarray of FREQUENCY_DTYPE (one row per tracked cycle)
    rvc : ndarray of RVC_DTYPE (combined rapid voltage changes)
    events : ndarray of EVENT_DTYPE (dips, swells, interruptions)
    windowed : ndarray of GENERAL_RECORD_DTYPE or None
    harmonics : dict of arrays copied with the windowed records, or None
    aggregated : dict '3s' (150/180-cycle) and '10min' -> ndarray, or None
        (see :func:`aggregate_windows`)
    clock_offset : float, seconds from midnight to the first sample (0 when
        the recording has no readable start time)
    declared_voltage : float (Udin used for events)
    seconds : wall time of the module run
    """

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def phase_rows(self, phase):
        return self.period[self.period["phase"] == phase]

    def tables(self):
        out = {"period": self.period, "frequency": self.frequency, "rvc": self.rvc, "events": self.events}
        if self.windowed is not None:
            out["windowed"] = self.windowed
        if self.aggregated is not None:
            out["aggregated_3s"] = self.aggregated["3s"]
            out["aggregated_10min"] = self.aggregated["10min"]
        return out

    def as_pandas(self):
        """The tables as pandas DataFrames (nested record fields flattened)."""
        import pandas as pd

        return {name: pd.DataFrame(flatten(table)) for name, table in self.tables().items()}


def flatten(table, prefix=""):
    """Columns of a structured array as an ordered dict name -> 1-D array (nested fields joined with '.')."""
    out = {}
    for name in table.dtype.names:
        column = table[name]
        if column.dtype.names:
            out.update(flatten(column, prefix + name + "."))
        elif column.ndim > 1:
            continue
        elif np.iscomplexobj(column):
            out[prefix + name + ".re"] = column.real
            out[prefix + name + ".im"] = column.imag
        else:
            out[prefix + name] = column
    return out


def _arrays_recording(voltages, currents, sample_rate, nominal_frequency):
    from .recording import Channel

    u = np.atleast_2d(np.asarray(voltages, dtype=np.float64))
    i = None if currents is None else np.atleast_2d(np.asarray(currents, dtype=np.float64))
    if u.shape[0] not in (1, 3):
        raise ValueError("voltages: one row (single phase) or three rows (phases A, B, C)")
    if i is not None and (i.shape[0] != u.shape[0] or i.shape[1] != u.shape[1]):
        raise ValueError("currents: as many rows and samples as the voltages")
    phases = "ABC" if u.shape[0] == 3 else "A"
    channels = [Channel(f"U{p}", u[k], "V", "voltage", p, "arrays") for k, p in enumerate(phases)]
    if i is not None:
        channels += [Channel(f"I{p}", i[k], "A", "current", p, "arrays") for k, p in enumerate(phases)]
    return Recording(channels, float(sample_rate), nominal_frequency, None, "arrays")


def _nominal(recording, data):
    if recording.nominal_frequency:
        return float(recording.nominal_frequency)
    # Nearest of 50 and 60 Hz to the strongest spectral line between 40 and 70 Hz.
    x = data[: int(min(len(data), 10 * recording.sample_rate))]
    spectrum = np.abs(np.fft.rfft(x - np.mean(x)))
    f = np.fft.rfftfreq(len(x), 1.0 / recording.sample_rate)
    band = (f > 40) & (f < 70)
    peak = f[band][np.argmax(spectrum[band])] if np.any(band) else 50.0
    return 50.0 if abs(peak - 50.0) <= abs(peak - 60.0) else 60.0


def analyze(recording=None, *, voltages=None, currents=None, sample_rate=None, nominal_frequency=None,
            voltage_channels=None, current_channels=None, declared_voltage=None, fixed_frequency=None,
            rvc_threshold=5.0, windowed=True, progress=None):
    """Analyse a recording.

    Parameters
    ----------
    recording : str, path or Recording, optional
        A COMTRADE (.cfg/.dat or .cff) or CSV file, or a Recording. Or give arrays:
    voltages, currents : array_like, shape (3, n) or (n,)
        Samples in volts and amperes (currents optional), with
    sample_rate : float
        Samples per second.
    nominal_frequency : float, optional
        50 or 60 Hz; taken from the file, else from the spectrum.
    voltage_channels, current_channels : list of str, optional
        Channel names to use instead of those found by phase and type.
    declared_voltage : float, optional
        Udin in volts for dips, swells and interruptions (default: median RMS).
    fixed_frequency : float, optional
        Feed this frequency instead of tracking it.
    rvc_threshold : float
        Rapid voltage change threshold, percent of the steady-state mean.
    windowed : bool
        Also compute windowed results (THD, harmonics).
    progress : callable(fraction), optional
        Called after each block with the share done.

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
    if recording is None:
        if voltages is None or sample_rate is None:
            raise ValueError("give a recording, or voltages and sample_rate")
        recording = _arrays_recording(voltages, currents, sample_rate, nominal_frequency)
    elif not isinstance(recording, Recording):
        recording = load(recording, sample_rate=sample_rate, nominal_frequency=nominal_frequency)
    grid, us, iss = recording.pick(voltage_channels, current_channels)
    fs = float(recording.sample_rate)
    n = recording.samples
    # The rings take float32; missing samples (NaN) are written as 0.
    rows = np.empty((len(us) + len(iss), n), dtype=np.float32)
    for k, c in enumerate(us + iss):
        rows[k] = c.values
    missing = np.isnan(rows)
    if missing.any():
        rows[missing] = 0.0
    nominal = float(nominal_frequency or _nominal(recording, np.nan_to_num(us[0].values[:int(10 * fs)])))
    if n < 4 * fs / nominal:
        raise RecordingError(f"{recording.source}: {n} samples are less than four cycles")

    if fixed_frequency:
        first = np.array([0], np.uint64)
        lengths = np.array([n * DIVISOR], np.int64)
        freqs = np.array([float(fixed_frequency)])
        flags = np.array([True])
        crossings = np.arange(0.0, n, fs / fixed_frequency)
    else:
        first, lengths, freqs, flags, crossings = tracking.cycle_segments(us[0].values, fs, nominal, DIVISOR)
        if len(first) == 0:
            # The tracker trusts a crossing only once its filter has filled
            # and settled, some six cycles in.
            raise RecordingError(f"{recording.source}: the frequency tracker found no cycle in {us[0].name} "
                                 f"({n} samples, {n / fs:.3f} s); give a fixed frequency for a recording this short")
    cycle_starts = first.astype(np.float64) / DIVISOR
    frequency = np.zeros(len(first), FREQUENCY_DTYPE)
    frequency["time"] = (first.astype(np.float64) + lengths) / DIVISOR / fs
    frequency["frequency"] = freqs
    frequency["valid"] = flags

    block = int(fs)  # one second per block, two in the rings
    # Windows of 10 cycles at 50 Hz, 12 at 60 Hz, from tracked cycle starts.
    window_cycles = 12 if nominal > 55.0 else 10
    use_windows = bool(windowed)
    window_settings = {}
    windows = np.zeros((0, 2))
    if use_windows:
        window_settings = dict(windowed_results_enabled=True, period_count=window_cycles, thd_enabled=True,
                               highest_requested_harmonic=50, thd_highest_harmonic=40,
                               symmetrical_components_enabled=(grid != "single"))
        windows = _window_plan(np.asarray(crossings, np.float64), window_cycles, fs, clock_offset(recording))
    module = Module(grid_config_type=GRID[grid], sample_rate=fs, sample_index_divisor=DIVISOR,
                    buffer_length=2 * block, **window_settings,
                    variable_frequency=(0.5 * nominal, 1.5 * nominal),
                    period_values_enabled=True, current_enabled=bool(iss),
                    half_period_values_count=2, period_values_overlap_in_percent=50,
                    rvc_enabled=True, rvc_steady_state_length=int(round(2 * nominal)),
                    rvc_threshold=float(rvc_threshold), rvc_threshold_hysteresis=50.0,
                    period_symmetrical_components_enabled=(grid != "single"))
    # The module starts at the first segment: the tracker's first trusted
    # crossing (position 0 with a fixed frequency).
    module.reset(int(first[0]) // DIVISOR)
    edges = np.arange(block, n, block, dtype=np.int64) * DIVISOR
    seg_first, seg_len, seg_freq, seg_flag = tracking.split_at(first, lengths, freqs, flags, edges)
    seg_block = (seg_first.astype(np.int64) // DIVISOR) // block
    parts = []
    started = _time.perf_counter()
    lo = 0
    w_next = 0.0
    w_parts, h_parts = [], []
    for b, start in enumerate(range(0, n, block)):
        stop = min(n, start + block)
        module.write(rows[:, start:stop], position=start)
        hi = int(np.searchsorted(seg_block, b, side="right"))
        if hi > lo:
            module.schedule_periods(seg_first[lo:hi], seg_len[lo:hi], seg_freq[lo:hi], seg_flag[lo:hi])
        lo = hi
        parts.append(module.get_period_results())
        if use_windows:
            # Windows whose last sample has been written.
            ready = windows[(windows[:, 0] >= w_next) & (windows[:, 0] + window_cycles * fs / windows[:, 1] <= stop)]
            for first_sample, f in ready:
                module.schedule_for_calculation(int(first_sample), window_cycles, float(f))
                w_next = first_sample + 1
            if len(ready):
                records, arrays = module.get_results(arrays=True)
                w_parts.append(records)
                h_parts.append(arrays)
        if progress is not None:
            progress(stop / n)
    seconds = _time.perf_counter() - started
    period = np.concatenate(parts) if parts else np.zeros(0, _core.PERIOD_DTYPE)
    windowed_rows = harmonics = aggregated = None
    offset = clock_offset(recording)
    if use_windows:
        windowed_rows = np.concatenate(w_parts) if w_parts else np.zeros(0, _core.GENERAL_RECORD_DTYPE)
        harmonics = _join_arrays(h_parts)
        aggregated = aggregate_windows(windowed_rows, len(us), bool(iss), fs, offset,
                                       _window_flags(windowed_rows, cycle_starts, flags, missing.any(axis=0)))

    phases = len(us)
    total = -1 if phases > 1 else 0
    rms = np.vstack([period[period["phase"] == k]["rmsVoltage"] for k in range(phases)])
    times = period[period["phase"] == 0]["time"]
    udin = float(declared_voltage) if declared_voltage else float(np.median(rms))
    return Analysis(recording=recording, grid=grid, voltages=[c.name for c in us], currents=[c.name for c in iss],
                    sample_rate=fs, nominal_frequency=nominal, period=period, frequency=frequency,
                    rvc=_rvc_events(period[period["phase"] == total]["rvcVoltage"]),
                    events=voltage_events(times, rms, udin), declared_voltage=udin,
                    windowed=windowed_rows, harmonics=harmonics, aggregated=aggregated, clock_offset=offset,
                    seconds=seconds, positions=n,
                    crossings=cycle_starts)


def start_datetime(recording):
    """The recording's start (its first sample) as a naive datetime, when the file gives it readably, else None.

    COMTRADE writes dd/mm/yyyy (1999, 2013) or mm/dd/yy (1991); ISO text is taken too.
    """
    import datetime

    text = (recording.start or "").strip()
    for form in ("%d/%m/%Y,%H:%M:%S.%f", "%m/%d/%y,%H:%M:%S.%f", "%d/%m/%Y,%H:%M:%S", "%Y-%m-%dT%H:%M:%S.%f"):
        try:
            return datetime.datetime.strptime(text[:26] if "%f" in form else text, form)
        except ValueError:
            continue
    return None


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


def _window_plan(crossings, window_cycles, fs, offset):
    """(first position, frequency) of each window: window_cycles tracked cycles from a crossing, back to back.

    At every 10-minute tick of the clock inside the recording the series
    starts again at the first crossing at or after the tick, while the
    window in progress runs on past it (IEC 61000-4-30 Class A): the two
    overlap, the older one ending the intervals before the tick. Whole
    windows only: each needs its full span of crossings in the recording.
    """
    if len(crossings) <= window_cycles:
        return np.zeros((0, 2))
    whole = _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS
    seconds = crossings / fs + offset
    first_tick = np.floor(seconds[0] / whole) + 1
    ticks = np.arange(first_tick, np.floor(seconds[-1] / whole) + 1) * whole
    heads = np.unique(np.concatenate([[0], np.searchsorted(seconds, ticks, side="left")]))
    bounds = np.append(heads, len(crossings))
    index = np.concatenate([np.arange(a, b, window_cycles) for a, b in zip(bounds[:-1], bounds[1:])])
    index = index[index + window_cycles < len(crossings)]
    spans = crossings[index + window_cycles] - crossings[index]
    first = np.round(crossings[index])
    # A series' first window starts on its crossing or after, never before the tick.
    resynchronised = np.isin(index, heads[1:])
    first[resynchronised] = np.ceil(crossings[index[resynchronised]])
    return np.column_stack([first, window_cycles * fs / spans])


# Per phase: the windowed values that are aggregated (RMS voltage and
# current, THD of each); then the unbalance ratios u2 and u0 on three phases.
_AGGREGATED_FIELDS = ("rmsVoltage", "rmsCurrent", "thdVoltage.thd", "thdCurrent.thd")
AGGREGATE_FRAME = [("startTime", "f8"), ("endTime", "f8"), ("clockInterval", "i8"), ("windowCount", "i4"),
                   ("flagged", "?"), ("complete", "?")]


def _aggregated_columns(windowed, phases, currents):
    """(name, values per window) of the aggregated quantities, named as in windowed.csv."""
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
    return out


def _window_flags(windowed, cycle_starts, cycle_flags, missing):
    """A window is flagged when a tracked cycle that starts inside it is flagged, or a sample of it is missing."""
    first = windowed["firstSampleIndex"].astype(np.int64)
    last = first + windowed["length"].astype(np.int64)  # exclusive
    bad = np.sort(cycle_starts[~np.asarray(cycle_flags, bool)])
    flagged = np.searchsorted(bad, first, side="left") < np.searchsorted(bad, last - 1, side="left")
    if missing.any():
        count = np.concatenate([[0], np.cumsum(missing)])
        flagged |= count[np.minimum(last, len(missing))] > count[np.minimum(first, len(missing))]
    return flagged


def aggregate_windows(windowed, phases, currents, sample_rate, clock_offset=0.0, flags=None):
    """150/180-cycle and 10-minute values of the windowed results, by the library's IntervalAggregator.

    Each window (start: its first sample over the sample rate, end: its
    ``time``) gives the RMS voltage and current and the THD of each phase
    and the unbalance ratios u2, u0; each is aggregated as the root of the
    mean of the squares (IEC 61000-4-30). 150/180-cycle intervals are 15
    consecutive windows, restarted at every 10-minute tick; 10-minute
    intervals lie on whole 10 minutes of the clock, whose position 0 is
    ``clock_offset`` seconds after a whole 10 minutes. A window that overlaps
    a tick belongs to the interval before it. An interval is flagged when a
    window in it is (``flags``); a window with a value that is not finite
    (none in practice) is aggregated with 0 there and flagged.

    Returns {'3s': rows, '10min': rows}: structured arrays with
    AGGREGATE_FRAME's fields, one field per quantity ('A.rmsVoltage', ...,
    'u2', 'u0') and, in the 10-minute rows, 'tagTime': the tick that ends the
    interval, in seconds on the windows' scale.
    """
    columns = _aggregated_columns(windowed, phases, currents)
    n = len(windowed)
    values = np.column_stack([c for _, c in columns]) if n else np.zeros((0, len(columns)))
    bad = ~np.isfinite(values)
    flags = np.zeros(n, bool) if flags is None else np.asarray(flags, bool).copy()
    if bad.any():
        flags |= bad.any(axis=1)
        values = np.where(bad, 0.0, values)
    starts = windowed["firstSampleIndex"].astype(np.float64) / sample_rate
    ends = np.maximum(windowed["time"].astype(np.float64), starts)
    aggregator = _core.IntervalAggregator(len(columns), float(clock_offset))
    aggregator.add_windows(starts, ends, np.ascontiguousarray(values), flags)
    aggregator.flush()
    out = {}
    for key, rows in (("3s", aggregator.three_second_intervals()), ("10min", aggregator.ten_minute_intervals())):
        extra = [("tagTime", "f8")] if key == "10min" else []
        table = np.zeros(len(rows), AGGREGATE_FRAME + extra + [(name, "f8") for name, _ in columns])
        for name, _ in AGGREGATE_FRAME:
            table[name] = rows[name]
        for k, (name, _) in enumerate(columns):
            table[name] = rows["values"][:, k]
        if extra:
            whole = _core.IntervalAggregator.CLOCK_INTERVAL_SECONDS
            table["tagTime"] = (rows["clockInterval"] + 1) * whole - float(clock_offset)
        out[key] = table
    return out


def _join_arrays(parts):
    """Concatenate the per-fetch dicts of copied arrays along the window axis (padding with NaN)."""
    if not parts:
        return None
    out = {}
    for name in parts[0]:
        arrays = [p[name] for p in parts]
        width = max(a.shape[-1] for a in arrays)
        if any(a.shape[-1] != width for a in arrays):
            arrays = [np.pad(a, ((0, 0), (0, 0), (0, width - a.shape[-1])), constant_values=np.nan) for a in arrays]
        out[name] = np.concatenate(arrays)
    return out


def _rvc_events(rvc):
    """Combined RVC results -> one row per event (start, duration, deltas)."""
    events = []
    start = None
    for r in rvc:
        if r["stateChanged"] and r["state"] == 1:
            start = float(r["time"])
        if r["eventEnded"] and start is not None:
            events.append((start, float(r["duration"]), float(r["deltaUmax"]), float(r["deltaUss"]), True))
            start = None
    if start is not None:
        events.append((start, float(rvc[-1]["time"]) - start, np.nan, np.nan, False))
    return np.array(events, RVC_DTYPE)


def voltage_events(times, rms, udin):
    """Dips, swells and interruptions (EVENT_DTYPE rows, in order of start).

    times: end times of the period values; rms: shape (phases, values);
    udin: declared voltage. The library's VoltageEventDetector decides; an
    event still running at the end has ``ended`` False and its duration up
    to the last value.
    """
    if rms.size == 0:
        return np.zeros(0, EVENT_DTYPE)
    detector = _core.VoltageEventDetector(float(udin), int(rms.shape[0]))
    detector.add_rms_values(times, np.ascontiguousarray(rms.T))
    finished = detector.get_events()
    running = detector.running_events()
    out = np.zeros(len(finished) + len(running), EVENT_DTYPE)
    for name in ("type", "phases", "startTime", "duration", "extremeVoltage", "extremePercent"):
        out[name] = np.concatenate([finished[name], running[name]])
    out["ended"] = np.arange(len(out)) < len(finished)
    return out[np.argsort(out["startTime"], kind="stable")]

"""EN 50160 assessment of a recording's aggregated values and events.

Pure functions over plain tables, so the assessment does not care how the
tables were made: ``assess(tables, ...)`` takes

- ``tables['10min']``: 10-minute rows (a structured array or a dict of
  columns) with the phase voltages ``'A.rmsVoltage'`` ... (``'rmsVoltage'``
  on one phase), their THD ``'A.thdVoltage.thd'`` (percent of the
  fundamental), the negative-sequence unbalance ``'u2'`` (percent),
  individual harmonics ``'A.harmonicsVoltage.5'`` (order 5, percent of the
  fundamental) and, where measured, ``'A.pst'``; plus ``'flagged'``,
  ``'complete'`` and ``'gap'`` where the table has them;
- ``tables['10s']``: 10-second frequencies (``'frequency'`` in Hz, and
  ``'flagged'``), see :func:`ten_second_frequencies`;
- ``tables['2h']``: 2-hour ``'A.plt'`` ... (the flicker meter's Plt rows; absent: flicker "not measured");
- ``events``: EVENT_DTYPE rows of ``analyze`` (type 1 dip, 2 swell,
  3 interruption; ``extremePercent`` of the declared voltage, ``duration``
  in seconds).

A column that is missing makes its rows "not measured", never a failure.
:func:`from_analysis` builds these tables from an ``Analysis``;
:class:`Gather`, a consumer of the streaming pipeline, gathers the same
tables as the blocks pass.

How the figures are read here
-----------------------------
The limits are data, in one place (``LIMITS``: low voltage 'LV' and medium
voltage 'MV'); ``limits_for(level, path)`` lays an operator's JSON or TOML
file over them key by key (a key given replaces the default's, a key left
out keeps it; a list is replaced whole).

An operator's file is checked whole before anything is laid over or
analysed, and the limits that result too (:func:`check_limits`); a fault is
one ValueError naming the file and the key (``voltage.synchronous[0].low``):
a file that is not JSON or TOML, or nests deeper than the limits do; an
unknown key; a value of the wrong kind (a number is a finite JSON number,
not a string, a boolean, NaN or 1e400); a band's ``low`` above its
``high``, a ``share`` outside 0 … 100 %, a ``period`` other than ``week``,
``year`` or ``day``; percentages beyond ±1e6 (frequency and voltage bands
not below -100 %); harmonic orders other than 2 … 50 and levels below 0;
dip and swell edges not in the order their tables read (residual and
voltage decreasing, durations increasing, at most 20 of each).

- Power frequency (10-s mean), synchronous systems: within ±1 % of the
  nominal frequency for 99.5 % of a year, within +4/−6 % all the time;
  island systems: ±2 % for 95 % of a week, ±15 % all the time.
- Supply voltage variations (10-minute mean RMS against the declared
  voltage Un): LV within ±10 % for 95 % of a week and within +10/−15 % all
  the time; MV within ±10 % for 99 % of a week and ±15 % all the time; in an
  island system (either level) within +10/−15 % all the time.
- Flicker: Plt ≤ 1 for 95 % of a week. Unbalance: u2 ≤ 2 % for 95 % of the
  10-minute values of a week. THD (orders 2 to 40) ≤ 8 % for 95 %.
- Individual harmonics, percent of the fundamental, 95 % of a week: h2 2,
  h3 5, h4 1, h5 6, h6…h24 (even) 0.5, h7 5, h9 1.5, h11 3.5, h13 3,
  h15 0.5, h17 2, h19 1.5, h21 0.5, h23 1.5, h25 1.5; the table stops at 25
  (higher orders are shown, with no limit, and enter the THD). MV uses the
  same table (its h3 may be lower by network design: an operator's file).
- A limit value itself is within (±10 % includes exactly 110 % of Un), to a
  relative 1e-9 so that a value on the border is not failed by rounding.
- Each phase is judged alone and a row takes its worst phase: the share of
  a row is the smallest share of its phases.
- Left out, as the standard says: flagged intervals (an interval in which a
  dip, swell or interruption fell), intervals that are not whole (the
  recording's partial first and last 10 minutes) and intervals marked
  ``gap`` (a sample missing, or a window without a tracked frequency, in
  them: a value not measured over all of its span). The share is of the
  intervals that remain; the row says how many were left out, and why
  (``flagged``, ``partial``, ``gap``: each interval once, in that order),
  and so does the coverage, which counts those left out for a gap apart.
  A 10-s frequency not tracked throughout (over a missing sample too) is
  flagged. With no interval left the row is "not measured".
- A row passes when its share within the limit is at least the share the
  standard asks (95 % of 1000 intervals within: 950 within pass, 949 fail);
  rows "all the time" need every interval within.
- Observation weeks: the statistics run per week, 7 × 24 h of the
  recorder's clock from the start of the first whole 10-minute interval
  (not calendar weeks: a recording that starts on a Wednesday is judged in
  whole weeks from then, none of them cut at a Monday). A value goes to the
  week in which its interval ends (a partial interval before the first
  week, to the first). Each week is judged alone (``weeks``: its start,
  end, verdict and rows); a week the recording does not cover to its end
  is "partial: N days", never a whole week. A band whose period is a year
  (the ±1 % and +4/−6 % frequency bands) cannot be judged per week: its
  statistic is taken over all the recorded time, and every week shows that
  row, saying so. The assessment's ``rows`` are each row's worst week (a
  failure first, then a row not judged, then the smallest share), with the
  week's number.
- The verdict, of a week and overall: ``pass`` only when every row was
  judged and passed; ``fail`` when any judged row failed; ``not measured``
  when no row could be judged; else ``incomplete``, naming the rows not
  judged (``not_judged``). The overall verdict is the worst week's (any
  failing week fails the recording, and ``verdict_text`` names the weeks
  and rows).
- Coverage: the whole recording, said plainly: a shorter recording than a
  week is assessed over what it holds, and the coverage says so.
- Un and the level: Un is a nominal voltage with its source
  (:func:`reference_voltage`: given, a rating, or the IEC 60038 nominal
  voltage nearest the measured level, within ±30 %), never a bare measured
  level; ``settings`` states ``un``, ``un_source`` and ``level``. The level
  is the one given, else Un's (LV up to 1 kV, MV up to 36 kV; above, no
  limits apply here and a level must be given): LV limits on a Un above
  1 kV, or MV limits below it, only when asked for.
- Flicker: the Plt rows' ``flagged`` and ``complete`` (a Plt over a Pst
  with a dip, swell, interruption or gap; one of fewer than twelve whole
  Pst) leave it out, counted like the 10-minute values.

- Mains signalling voltage (only when the tables hold signalling values,
  ``tables['signalling']``: the 150/180-cycle ("3-s") rows of
  ``Analysis.signalling_3s``, one per interval and frequency, with the
  volts of each phase in 'A', 'B', 'C'): the 3-s values of each signalling
  frequency within the standard's curve for 99 % of a day, one row per
  frequency, in percent of Un. The curve (``SIGNALLING``), as the field
  reads EN 50160's figure for LV supplies: 9 % of Un from 100 Hz up to
  500 Hz, falling on a straight line of the figure's logarithmic axes
  (level and frequency both logarithmic) to 5 % at 1 kHz, 5 % from there up
  to 10 kHz; so 750 Hz may carry 6.38 %. MV is judged against the same
  curve. Flagged, partial and gap intervals are left out as above. The
  statistic runs over a day; a recording of several days is assessed as a
  whole, like the rest.

Dips and swells are counted, not judged (the standard gives no limit on
their number). Residual voltage u (dips) and maximum voltage (swells) are in
percent of Un; durations in seconds. Dip rows: 90 > u ≥ 80, 80 > u ≥ 70,
70 > u ≥ 40, 40 > u ≥ 5, 5 > u (a lower edge belongs to its row: u = 80 %
counts in the 90…80 row). Dip and swell columns: 10 ms ≤ t ≤ 200 ms,
200 ms < t ≤ 500 ms, 0.5 s < t ≤ 1 s, 1 s < t ≤ 5 s, 5 s < t ≤ 60 s for
dips; t ≤ 500 ms, 0.5 s < t ≤ 5 s, 5 s < t ≤ 60 s for swells (an upper edge
belongs to its column: 200 ms counts in the first). Swell rows: u ≥ 120,
120 > u > 110. So that nothing is lost: an event shorter than 10 ms (a half
cycle at 60 Hz lasts 8.3 ms) counts in the first column, one longer than
60 s in an added column "> 60 s"; a dip whose residual is not below 90 %
(a declared voltage other than the detector's) counts in the top row, a swell
not above 110 % in the bottom one. An interruption is also reported as the
dip that contains it and is counted there once, as a dip below 5 %; an event
still running at the end of the recording, or cut short by a gap, counts by its
duration so far.
MV uses the same two tables here (residual and maximum voltage in percent of
the declared supply voltage Uc); their edges are data like the limits.
"""

import copy
import json
import math
import os

import numpy as np

WEEK_SECONDS = 7 * 86400.0
YEAR_SECONDS = 365 * 86400.0
_TOLERANCE = 1e-9

_HARMONICS = {2: 2.0, 3: 5.0, 4: 1.0, 5: 6.0, 7: 5.0, 9: 1.5, 11: 3.5, 13: 3.0, 15: 0.5, 17: 2.0, 19: 1.5,
              21: 0.5, 23: 1.5, 25: 1.5}
_HARMONICS.update({h: 0.5 for h in range(6, 25, 2)})
_DIPS = {"residual": [90.0, 80.0, 70.0, 40.0, 5.0], "duration": [0.01, 0.2, 0.5, 1.0, 5.0, 60.0]}
_SWELLS = {"voltage": [120.0, 110.0], "duration": [0.01, 0.5, 5.0, 60.0]}


def _band(low, high, share, period):
    return {"low": low, "high": high, "share": share, "period": period}


# Percent of nominal (frequency, voltage) or absolute (Plt, u2 and THD in
# percent); 'share' in percent of the intervals; 'period' what the standard's
# statistic runs over.
LIMITS = {
    "LV": {
        "frequency": {"synchronous": [_band(-1.0, 1.0, 99.5, "year"), _band(-6.0, 4.0, 100.0, "year")],
                      "island": [_band(-2.0, 2.0, 95.0, "week"), _band(-15.0, 15.0, 100.0, "week")]},
        "voltage": {"synchronous": [_band(-10.0, 10.0, 95.0, "week"), _band(-15.0, 10.0, 100.0, "week")],
                    "island": [_band(-15.0, 10.0, 100.0, "week")]},
        "flicker": [_band(None, 1.0, 95.0, "week")],
        "unbalance": [_band(None, 2.0, 95.0, "week")],
        "thd": [_band(None, 8.0, 95.0, "week")],
        "harmonics": {"share": 95.0, "period": "week", "orders": {str(h): v for h, v in sorted(_HARMONICS.items())}},
        "dips": _DIPS,
        "swells": _SWELLS,
    },
}
LIMITS["MV"] = copy.deepcopy(LIMITS["LV"])
LIMITS["MV"]["voltage"]["synchronous"] = [_band(-10.0, 10.0, 99.0, "week"), _band(-15.0, 15.0, 100.0, "week")]

PARAMETERS = ("frequency", "voltage", "flicker", "unbalance", "thd", "harmonics")
_TITLES = {"frequency": "Power frequency", "voltage": "Supply voltage variations", "flicker": "Flicker severity Plt",
           "unbalance": "Supply voltage unbalance u2", "thd": "Voltage THD", "harmonics": "Harmonic voltage"}
_TITLES["signalling"] = "Mains signalling voltage"

# EN 50160's curve of mains signalling voltages (3-s values, 99 % of a day),
# percent of Un at the frequencies given, Hz; between two points a straight
# line on logarithmic axes (see the module docstring).
SIGNALLING = {"share": 99.0, "period": "day", "frequencies": [100.0, 500.0, 1000.0, 10000.0],
              "levels": [9.0, 9.0, 5.0, 5.0]}


def signalling_limit(frequency, curve=SIGNALLING):
    """The curve's level at a signalling frequency, percent of Un (NaN outside the curve's frequencies).

    >>> [round(signalling_limit(f), 2) for f in (110.0, 500.0, 750.0, 1000.0, 3000.0)]
    [9.0, 9.0, 6.38, 5.0, 5.0]
    """
    f, v = np.log(curve["frequencies"]), np.log(curve["levels"])
    x = np.log(float(frequency))
    if not f[0] <= x <= f[-1]:
        return float("nan")
    return float(np.exp(np.interp(x, f, v)))


def _signalling_rows(table, un):
    """The mains signalling rows: per signalling frequency, its 3-s values (percent of Un, each phase) within
    the curve for the curve's share of the intervals; none without a table."""
    columns = _columns(table)
    if not columns or "frequency" not in columns:
        return []
    rows = []
    band_base = {"low": None, "share": SIGNALLING["share"], "period": SIGNALLING["period"]}
    for frequency in sorted(set(np.asarray(columns["frequency"], np.float64).tolist())):
        pick = np.asarray(columns["frequency"], np.float64) == frequency
        part = {name: np.asarray(values)[pick] for name, values in columns.items()}
        used, left = _usable(part, int(np.count_nonzero(pick)))
        phases = {label: 100.0 * np.asarray(part[label], np.float64) / un for label in "ABC"
                  if label in part and np.isfinite(np.asarray(part[label], np.float64)).any()}
        limit = signalling_limit(frequency)
        band = dict(band_base, high=limit)
        cond = f"{frequency:g} Hz ≤ {limit:.3g} % of Un ({limit * un / 100:.4g} V)"
        if not phases:
            rows.append(_not_measured("signalling", cond, band, "%", "no signalling values"))
        else:
            rows.append(_row("signalling", cond, band, _judge(phases, used, None, limit, band["share"]), left, "%"))
        rows[-1]["frequency"] = frequency
    return rows


def load_limits(path):
    """An operator's limits file (JSON, or TOML where Python has tomllib) as it is written (see
    :func:`limits_for`, which checks it); ValueError, naming the file, when it is not JSON or TOML or nests too
    deeply to read."""
    try:
        if str(path).lower().endswith(".toml"):
            try:
                import tomllib
            except ImportError as e:  # Python before 3.11
                raise ValueError(f"{path}: TOML needs Python 3.11 (tomllib); give the limits as JSON") from e
            with open(path, "rb") as f:
                return tomllib.load(f)
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except RecursionError:
        raise ValueError(f"{path}: nested too deeply to be a limits file") from None
    except UnicodeDecodeError as e:
        raise ValueError(f"{path}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    except ValueError as e:  # json's and tomllib's decoding errors, and numbers of too many digits
        if str(e).startswith(str(path)):
            raise
        kind = "TOML" if str(path).lower().endswith(".toml") else "JSON"
        raise ValueError(f"{path}: not {kind}: {e}") from None


# The shape of the limits, which an operator's file follows: a dict of keys to shapes, a list of a shape,
# or the kind of a leaf ("band", "percent", "share", ...: see _leaf).
_BAND = {"low": "percent or null", "high": "percent", "share": "share", "period": "period"}
_LINE_BAND = dict(_BAND, low="signed percent")
_SCHEMA = {
    "frequency": {"synchronous": [_LINE_BAND], "island": [_LINE_BAND]},
    "voltage": {"synchronous": [_LINE_BAND], "island": [_LINE_BAND]},
    "flicker": [_BAND], "unbalance": [_BAND], "thd": [_BAND],
    "harmonics": {"share": "share", "period": "period", "orders": "orders"},
    "dips": {"residual": "decreasing", "duration": "increasing"},
    "swells": {"voltage": "decreasing", "duration": "increasing"},
}
_PERIODS = ("week", "year", "day")
_LARGEST = 1e6  # percent: beyond any limit, and far from overflow
_EDGES = 20  # the most edges of a dip or swell table
_BANDS = 10  # the most bands of a parameter


def _number(value, where, low=-_LARGEST, high=_LARGEST, low_open=False):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{where}: {_shown(value)} is not a number")
    try:
        number = float(value)
    except OverflowError:
        number = float("inf")
    if not np.isfinite(number):
        raise ValueError(f"{where}: {_shown(value)} is not a finite number")
    if not (low < number if low_open else low <= number) or number > high:
        raise ValueError(f"{where}: {number:g} is not within {low:g} … {high:g}")
    return number


def _shown(value):
    """A value as a message shows it: short, on one line."""
    if isinstance(value, (dict, list)):
        return "a table" if isinstance(value, dict) else "a list"
    text = repr(value) if not isinstance(value, (int, float)) or isinstance(value, bool) else \
        (f"{value:g}" if isinstance(value, float) or abs(value) < 10 ** 15 else "a number of too many digits")
    return text if len(text) <= 40 else text[:37] + "..."


def _leaf(kind, value, where):
    """A value of the kind the schema names, checked; ValueError naming where."""
    if kind == "percent or null":
        return None if value is None else _number(value, where)
    if kind == "percent":
        return _number(value, where)
    if kind == "signed percent":
        return _number(value, where, low=-100.0)
    if kind == "share":
        return _number(value, where, 0.0, 100.0, low_open=True)
    if kind == "period":
        if value not in _PERIODS:
            raise ValueError(f"{where}: {_shown(value)} is not one of {', '.join(_PERIODS)}")
        return value
    if kind == "orders":
        if not isinstance(value, dict):
            raise ValueError(f"{where}: {_shown(value)} is not a table of orders and levels")
        for order, level in value.items():
            if not (isinstance(order, str) and order.isdigit() and 2 <= int(order) <= 50):
                raise ValueError(f"{where}: {_shown(order)} is not a harmonic order 2 … 50 (a quoted whole number)")
            _number(level, f"{where}.{order}", low=0.0)
        return value
    # Edges of the dip and swell tables: a list of numbers in order (durations: the first column's lower edge
    # and at least one upper edge).
    fewest = 2 if kind == "increasing" else 1
    if not isinstance(value, list) or not fewest <= len(value) <= _EDGES:
        raise ValueError(f"{where}: {_shown(value)} is not a list of {fewest} to {_EDGES} numbers")
    numbers = [_number(x, f"{where}[{k}]", low=0.0) for k, x in enumerate(value)]
    order = numbers if kind == "increasing" else numbers[::-1]
    if any(a >= b for a, b in zip(order, order[1:])):
        raise ValueError(f"{where}: {numbers} do not {kind[:-3]}e from one to the next")
    return value


def _check(value, schema, where, partial):
    """value against schema (bounded by the schema's depth, not the value's); partial: keys may be left out."""
    if isinstance(schema, dict):
        if not isinstance(value, dict):
            raise ValueError(f"{where + ': ' if where else ''}{_shown(value)} is not a table of "
                             f"{', '.join(schema)}")
        unknown = [k for k in value if k not in schema]
        if unknown:
            raise ValueError(f"{where + ': ' if where else ''}unknown key(s) "
                             f"{', '.join(_shown(k) if not isinstance(k, str) else k for k in unknown[:5])}"
                             f" (known: {', '.join(schema)})")
        for key, kind in schema.items():
            if key in value:
                _check(value[key], kind, f"{where}.{key}" if where else key, partial and isinstance(kind, dict))
            elif not partial:
                raise ValueError(f"{where + ': ' if where else ''}{key} is missing")
        if schema is _BAND or schema is _LINE_BAND:
            if value.get("low") is not None and value["low"] > value["high"]:
                raise ValueError(f"{where}: low {value['low']:g} is above high {value['high']:g}")
    elif isinstance(schema, list):
        if not isinstance(value, list) or len(value) > _BANDS:
            raise ValueError(f"{where}: {_shown(value)} is not a list of at most {_BANDS} bands")
        for k, item in enumerate(value):
            _check(item, schema[0], f"{where}[{k}]", False)
    else:
        _leaf(schema, value, where)


def check_limits(limits, source="limits", partial=False):
    """limits checked against their shape and ranges (see the module docstring); ValueError naming source and
    the key. partial: an operator's overlay, in which keys may be left out."""
    try:
        _check(limits, _SCHEMA, "", partial)
    except ValueError as e:
        raise ValueError(f"{source}: {e}") from None
    return limits


def _overlay(base, top):
    out = copy.deepcopy(base)
    for key, value in top.items():
        if isinstance(value, dict) and isinstance(out.get(key), dict):
            out[key] = _overlay(out[key], value)
        else:
            out[key] = copy.deepcopy(value)
    return out


def limits_for(level="LV", operator=None):
    """The limits of a level ('LV' or 'MV'), with an operator's file or dict laid over them.

    The operator's limits are checked whole first (:func:`check_limits`), then those that result: a fault is a
    ValueError that names the file (or 'limits') and the key."""
    if level not in LIMITS:
        raise ValueError(f"level {level!r}: 'LV' or 'MV'")
    out = copy.deepcopy(LIMITS[level])
    if operator is not None:
        path = isinstance(operator, (str, os.PathLike))
        source = os.fspath(operator) if path else "limits"
        top = load_limits(operator) if path else operator
        check_limits(top, source, partial=True)
        out = check_limits(_overlay(out, top), source)
    return out


def _columns(table):
    if table is None:
        return None
    if isinstance(table, dict):
        return {k: np.asarray(v) for k, v in table.items()}
    return {name: table[name] for name in table.dtype.names}


def _phase_columns(columns, suffix):
    """{phase label: values} of the columns named '<label>.<suffix>' or '<suffix>' (one phase)."""
    out = {}
    for name, values in columns.items():
        if name == suffix:
            out["A"] = np.asarray(values, np.float64)
        elif name.endswith("." + suffix) and "." not in name[: -len(suffix) - 1]:
            out[name[: -len(suffix) - 1]] = np.asarray(values, np.float64)
    return out


def _usable(columns, n):
    """(mask of intervals used, counts left out: {'flagged': over an event, 'partial': not whole, 'gap': whole
    and unflagged but with a gap in the data}); each interval left out counts once, in that order."""
    flagged = np.asarray(columns["flagged"], bool) if "flagged" in columns else np.zeros(n, bool)
    partial = ~np.asarray(columns["complete"], bool) if "complete" in columns else np.zeros(n, bool)
    gap = np.asarray(columns["gap"], bool) if "gap" in columns else np.zeros(n, bool)
    left = {"flagged": int(np.count_nonzero(flagged)), "partial": int(np.count_nonzero(partial & ~flagged)),
            "gap": int(np.count_nonzero(gap & ~flagged & ~partial))}
    return ~flagged & ~partial & ~gap, left


def _within(values, low, high):
    ok = np.isfinite(values)
    if low is not None:
        ok &= values >= low - _TOLERANCE * abs(low)
    if high is not None:
        ok &= values <= high + _TOLERANCE * abs(high)
    return ok


def _judge(phases, used, low, high, share, nominal=None):
    """Share within [low, high] per phase over the used intervals, worst phase first; 'phases' holds each
    phase's own figures (see :func:`_phase_figures`)."""
    result = {"share": None, "phase": None, "count": 0, "min": None, "max": None, "percentile": None,
              "deviation": None, "phases": []}
    worst = None
    for label, values in phases.items():
        v = values[used & np.isfinite(values)]
        if v.size == 0:
            continue
        inside = 100.0 * np.count_nonzero(_within(v, low, high)) / v.size
        result["phases"].append(_phase_figures(label, v, inside, share, nominal))
        if worst is None or inside < worst[0]:
            worst = (inside, label, v)
    if worst is None:
        return result
    if nominal is not None:
        result["deviation"] = max(p["deviation"] for p in result["phases"])
    inside, label, v = worst
    kept = [p[used & np.isfinite(p)] for p in phases.values()]
    kept = [p for p in kept if p.size]
    # The statistic the standard uses: the highest phase's share-th percentile.
    result.update(share=inside, phase=label, count=int(v.size), min=float(min(p.min() for p in kept)),
                  max=float(max(p.max() for p in kept)),
                  percentile=float(max(np.percentile(p, min(share, 100.0)) for p in kept)))
    return result


def _phase_figures(label, v, inside, share, nominal=None):
    """One phase's figures over its used values v: its share within the limit, its number of values, its
    lowest and highest, and its value at the share the row asks (``percentile``: the share-th percentile,
    the 95 % value of a 95 % row, the highest of a row "all the time"). With nominal (voltage and
    frequency, whose bands lie either side of it): ``deviation``, the share-th percentile of the distance
    from nominal in percent of it, so that share % of the values lie within ±deviation %."""
    q = min(float(share), 100.0)
    out = {"phase": label, "share": float(inside), "intervals": int(v.size), "min": float(v.min()),
           "max": float(v.max()), "percentile": float(np.percentile(v, q)), "deviation": None}
    if nominal is not None:
        out["deviation"] = float(np.percentile(np.abs(v / nominal - 1.0) * 100.0, q))
    return out


def _verdict(share, required):
    if share is None:
        return "not measured"
    return "pass" if share >= required - 1e-9 else "fail"


def _row(key, condition, band, judged, left, unit, note=""):
    required = float(band["share"])
    statistic = ("all the time" if required >= 100.0 else f"{required:g} % of the intervals") + \
        f" (of a {band['period']})"
    return {"parameter": _TITLES[key], "key": key, "condition": condition, "low": band["low"],
            "high": band["high"], "required": required,
            "period": band["period"], "statistic": statistic, "share": judged["share"], "phase": judged["phase"],
            "intervals": judged["count"], "flagged": left["flagged"], "partial": left["partial"],
            "gap": left["gap"], "min": judged["min"],
            "max": judged["max"], "percentile": judged["percentile"], "unit": unit,
            "verdict": _verdict(judged["share"], required), "note": note,
            "deviation": judged.get("deviation"), "phases": judged.get("phases", [])}


def _not_measured(key, condition, band, unit, note):
    return _row(key, condition, band, {"share": None, "phase": None, "count": 0, "min": None, "max": None,
                                       "percentile": None}, {"flagged": 0, "partial": 0, "gap": 0}, unit, note)


def _range_text(low, high, unit, scale=1.0, offset=0.0):
    def f(x):
        return f"{offset + x * scale:.6g}"

    if low is None:
        return f"≤ {f(high)} {unit}".rstrip()
    return f"{f(low)} … {f(high)} {unit}".rstrip()


def _pct(low, high):
    if low is not None and -low == high:
        return f"±{high:g} %"
    return f"{high:+g}/{low:+g} %"


LEVEL_LV_TOP = 1000.0  # volts: the highest Un of a low-voltage supply
LEVEL_MV_TOP = 36000.0  # volts: the highest Un of a medium-voltage supply
UN_REACH = 0.30  # the nominal voltage nearest a measured level is Un when within ±30 % of it


def level_of(system_un):
    """'LV' for a system's Un (line to line where it has one) up to 1 kV, 'MV' up to 36 kV; None above (no
    limits here for high voltage)."""
    if system_un is None:
        return None
    return "LV" if system_un <= LEVEL_LV_TOP else ("MV" if system_un <= LEVEL_MV_TOP else None)


def _check_level(level, system_un, un_text):
    """(level, how it was chosen): the one given, else the one of Un; ValueError for Un beyond MV without one."""
    if level is not None:
        if level not in LIMITS:
            raise ValueError(f"level {level!r}: 'LV' or 'MV'")
        own = level_of(system_un)
        if system_un is not None and own != level:
            return level, f"given: {level} limits on Un {un_text}, as asked (Un says {own or 'HV'})"
        # Said alike whether given or not, so that a level given and the level of Un read the same.
        return level, f"the level of Un {un_text}" if system_un is not None else "given"
    own = level_of(system_un)
    if own is None and system_un is not None:
        raise ValueError(f"Un {un_text} lies above {LEVEL_MV_TOP / 1e3:g} kV, where EN 50160's LV and MV limits "
                         "do not apply; give --level LV or MV (and --limits) to judge it against them")
    return own or "LV", f"the level of Un {un_text}" if system_un is not None else "LV (Un unknown)"


def _spans(columns, seconds):
    """(start, end) of each row in seconds from the first sample: a 10-minute row's clock interval (its
    tagTime, the tick that ends it), else its startTime and endTime, else the row's place (k · seconds)."""
    n = len(next(iter(columns.values())))
    if "tagTime" in columns:
        end = np.asarray(columns["tagTime"], np.float64)
        return end - seconds, end
    if "startTime" in columns:
        start = np.asarray(columns["startTime"], np.float64)
        end = np.asarray(columns["endTime"], np.float64) if "endTime" in columns else start + seconds
        return start, end
    start = np.arange(n) * float(seconds)
    return start, start + seconds


def _judge_rows(lim, system, un, fn, ten_s, ten, plt_table, un_note="", signalling=None):
    """The rows of one stretch of the tables (see :func:`assess`)."""
    rows = []
    # Power frequency from the 10-s values.
    for band in lim["frequency"][system]:
        cond = f"{_pct(band['low'], band['high'])}: " + _range_text(band["low"], band["high"], "Hz", fn / 100, fn)
        if ten_s is None or "frequency" not in ten_s or not len(ten_s["frequency"]):
            rows.append(_not_measured("frequency", cond, band, "Hz", "no 10-s frequencies"))
            continue
        used, left = _usable(ten_s, len(ten_s["frequency"]))
        low, high = fn * (1 + band["low"] / 100), fn * (1 + band["high"] / 100)
        rows.append(_row("frequency", cond, band, _judge({"f": ten_s["frequency"]}, used, low, high, band["share"],
                                                         fn), left, "Hz"))

    ten = ten or {}
    n10 = len(next(iter(ten.values()))) if ten else 0
    used, left = _usable(ten, n10)

    def judge_rows(key, phases, bands, unit, scale=None, missing="not in the table"):
        for band in bands:
            if scale is not None:
                if un is None:
                    cond = f"{_pct(band['low'], band['high'])} of Un"
                    rows.append(_not_measured(key, cond, band, unit, un_note or "Un unknown"))
                    continue
                cond = f"{_pct(band['low'], band['high'])} of Un: " + \
                    _range_text(band["low"], band["high"], unit, un / 100, un)
                low, high = un * (1 + band["low"] / 100), un * (1 + band["high"] / 100)
            else:
                cond = _range_text(band["low"], band["high"], unit)
                low, high = band["low"], band["high"]
            if not phases or not n10:
                rows.append(_not_measured(key, cond, band, unit, missing if n10 else "no 10-minute values"))
                continue
            rows.append(_row(key, cond, band, _judge(phases, used, low, high, band["share"],
                                                     un if scale is not None else None), left, unit))

    judge_rows("voltage", _phase_columns(ten, "rmsVoltage"), lim["voltage"][system], "V", scale=True)
    if plt_table is not None and _phase_columns(plt_table, "plt") and len(next(iter(plt_table.values()))):
        n2 = len(next(iter(plt_table.values())))
        u2h, left2h = _usable(plt_table, n2)
        for band in lim["flicker"]:
            rows.append(_row("flicker", _range_text(band["low"], band["high"], ""), band,
                             _judge(_phase_columns(plt_table, "plt"), u2h, band["low"], band["high"], band["share"]),
                             left2h, ""))
    else:
        for band in lim["flicker"]:
            rows.append(_not_measured("flicker", _range_text(band["low"], band["high"], ""), band, "",
                                      "no 2-hour Plt values (flicker not measured)"))
    judge_rows("unbalance", {"u2": ten["u2"]} if "u2" in ten else {}, lim["unbalance"], "%",
               missing="no unbalance (needs three phases)")
    judge_rows("thd", _phase_columns(ten, "thdVoltage.thd"), lim["thd"], "%")

    h = lim["harmonics"]
    for order in sorted(int(k) for k in h["orders"]):
        band = {"low": None, "high": float(h["orders"][str(order)]), "share": h["share"], "period": h["period"]}
        phases = _phase_columns(ten, f"harmonicsVoltage.{order}")
        cond = f"h{order} ≤ {band['high']:g} % of U1"
        if not phases or not n10:
            rows.append(_not_measured("harmonics", cond, band, "%", "no individual harmonics in the table"))
        else:
            rows.append(_row("harmonics", cond, band, _judge(phases, used, None, band["high"], band["share"]),
                             left, "%"))
        rows[-1]["order"] = order
    rows += _signalling_rows(signalling, un)  # judged over the whole recording, in every week alike
    return rows, n10, used, left


def row_name(row):
    """A row as a reader names it: 'Supply voltage variations ±10 % of Un'."""
    return f"{row['parameter']} {row['condition'].split(':')[0]}"


def verdict_of(rows):
    """(verdict, rows not judged, rows failed) of a set of rows: 'pass' only when every row was judged and
    passed, 'fail' when any judged row failed, 'not measured' when none was judged, else 'incomplete'."""
    failed = [row_name(r) for r in rows if r["verdict"] == "fail"]
    missing = [row_name(r) for r in rows if r["verdict"] == "not measured"]
    if failed:
        return "fail", missing, failed
    if not missing:
        return "pass", missing, failed
    return ("not measured" if len(missing) == len(rows) else "incomplete"), missing, failed


_WORSE = {"fail": 2, "not measured": 1, "pass": 0}


def _listed(names):
    """Row names for a sentence, the harmonic orders together: 'Flicker severity Plt ≤ 1, Harmonic voltage h11,
    h12'."""
    head = _TITLES["harmonics"] + " h"
    orders = [n[len(head):].split(" ")[0] for n in names if n.startswith(head)]
    others = [n for n in names if not n.startswith(head)]
    return ", ".join(others + ([f"{_TITLES['harmonics']} " + ", ".join("h" + o for o in orders)] if orders else []))


def _worst_row(candidates):
    """The worst of one row's weeks: a failure before a row not judged before a pass, the smallest share first."""
    def badness(item):
        _, r = item
        return (_WORSE[r["verdict"]], -(r["share"] if r["share"] is not None else 101.0))

    week, row = max(candidates, key=badness)
    return dict(row, week=week)


def _iso(start, seconds):
    """The ISO time `seconds` after the recording's start (its text, ISO), or None."""
    if not start:
        return None
    import datetime

    try:
        return (datetime.datetime.fromisoformat(start) + datetime.timedelta(seconds=float(seconds))).isoformat()
    except ValueError:
        return None


def _days(seconds):
    return f"{seconds / 86400.0:.3g}"


def assess(tables, *, nominal_voltage, nominal_frequency=50.0, level=None, system="synchronous", limits=None,
           events=None, duration=None, start=None, un_source=None, un_text=None, system_un=None):
    """The assessment as plain data (dicts, lists, numbers: ready for JSON).

    Parameters
    ----------
    tables : dict
        '10min', '10s', '2h' as in the module's description (any may be None),
        and 'signalling' (3-s signalling values) when measured.
    nominal_voltage : float or None
        Un (LV) or the declared supply voltage Uc (MV), volts, of the phase
        voltages in the tables; None: unknown (the voltage rows are then not
        judged).
    nominal_frequency : float
    level : 'LV', 'MV' or None
        None: the level of Un (see :func:`level_of`); a level given is taken
        even where Un says otherwise, and the settings say so.
    system : 'synchronous' or 'island'
    limits : dict, optional
        As ``limits_for(level)`` returns (default: that).
    events : EVENT_DTYPE rows, optional
    duration : float, optional
        Seconds recorded (default: from the 10-minute rows).
    start : str, optional
        The recording's start (ISO), shown as given; the weeks' ends are told from it.
    un_source, un_text, system_un : optional
        Where Un came from (in words), Un as a reader writes it ('230/400 V') and the system's Un in volts
        (line to line where it has one; default: ``nominal_voltage`` times √3).

    Returns
    -------
    dict with 'verdict' ('pass', 'fail', 'incomplete' or 'not measured'),
    'verdict_text', 'not_judged' and 'failing' (row names), 'weeks' (each
    observation week: start, end, verdict and its rows), 'rows' (one per
    parameter and band, the worst week's: limit, share within, worst phase,
    verdict, week), 'dips' and 'swells' (count tables), 'coverage' and
    'settings' (with 'un', 'un_source' and 'level').

    Examples
    --------
    >>> import numpy as np
    >>> ten = {"A.rmsVoltage": np.full(1008, 231.0), "flagged": np.zeros(1008, bool)}
    >>> r = assess({"10min": ten}, nominal_voltage=230.0)
    >>> [(row["key"], row["verdict"]) for row in r["rows"][:2]]
    [('frequency', 'not measured'), ('frequency', 'not measured')]
    >>> r["rows"][2]["condition"], r["rows"][2]["share"], r["rows"][2]["verdict"]
    ('±10 % of Un: 207 … 253 V', 100.0, 'pass')
    >>> r["coverage"]["text"]
    '7 days 0 h 0 min of 10-minute values (1008 intervals): a whole week'
    >>> r["verdict"], r["weeks"][0]["label"]
    ('incomplete', 'week 1')
    """
    if system not in ("synchronous", "island"):
        raise ValueError(f"system {system!r}: 'synchronous' or 'island'")
    if nominal_voltage is not None and not nominal_voltage > 0:
        raise ValueError("nominal_voltage: a positive voltage in volts")
    un = None if nominal_voltage is None else float(nominal_voltage)
    if system_un is None and un is not None:
        system_un = un * math.sqrt(3.0)
    text = un_text or (f"{un:.6g} V" if un is not None else "unknown")
    level, level_source = _check_level(level, system_un, text)
    lim = check_limits(limits) if limits is not None else limits_for(level)
    fn = float(nominal_frequency)
    un_note = "" if un is not None else f"Un unknown: {un_source or 'give it'}"

    ten_s = _columns(tables.get("10s"))
    ten = _columns(tables.get("10min")) or {}
    plt_table = _columns(tables.get("2h"))
    signalling = tables.get("signalling")
    whole_rows, n10, used, left = _judge_rows(lim, system, un, fn, ten_s, ten, plt_table, un_note, signalling)
    given_duration = duration is not None
    if duration is None:
        duration = _span(ten) if ten else 0.0

    # The observation weeks: 7 × 24 h of the recorder's clock from the start of the first whole 10-minute
    # interval; a value goes to the week in which its interval ends (those before the first week to it).
    parts = {"10min": (ten, 600.0), "10s": (ten_s, 10.0), "2h": (plt_table, 7200.0)}
    spans = {k: _spans(c, s) for k, (c, s) in parts.items() if c and len(next(iter(c.values())))}
    origin = 0.0
    if "10min" in spans:
        whole = np.asarray(ten["complete"], bool) if "complete" in ten else np.ones(n10, bool)
        origin = float(spans["10min"][0][np.argmax(whole)] if whole.any() else spans["10min"][0][0])
    elif spans:
        origin = float(min(s[0][0] for s in spans.values()))
    origin = max(origin, 0.0)
    index = {k: np.maximum(np.floor((end - origin - 1e-6) / WEEK_SECONDS), 0).astype(np.int64)
             for k, (_, end) in spans.items()}
    recorded = float(duration) if given_duration else max([float(duration)] + [float(e[-1]) for _, e in
                                                                               spans.values()])
    count = max([1] + [int(i.max()) + 1 for i in index.values() if len(i)])
    weeks = []
    for w in range(count):
        def part(key):
            columns = parts[key][0]
            if key not in index:
                return columns
            mask = index[key] == w
            return {name: np.asarray(v)[mask] for name, v in columns.items()}

        rows, n_week, used_week, _ = _judge_rows(lim, system, un, fn, part("10s"), part("10min"), part("2h"),
                                                 un_note, signalling)
        for j, r in enumerate(whole_rows):
            if r["period"] == "year":  # a year's statistic: over all that was recorded, in every week
                rows[j] = dict(r, note=(r["note"] + "; " if r["note"] else "") +
                               f"a year's statistic, taken over the recorded time ({_days(recorded)} days)")
        begin = origin + w * WEEK_SECONDS
        end = max(min(begin + WEEK_SECONDS, recorded), begin)
        whole_week = end >= begin + WEEK_SECONDS - 1.0
        verdict, missing, failed = verdict_of(rows)
        weeks.append({"number": w + 1, "start": begin, "end": end, "start_time": _iso(start, begin),
                      "end_time": _iso(start, end), "days": (end - begin) / 86400.0, "whole": bool(whole_week),
                      "label": f"week {w + 1}" if whole_week else f"partial: {_days(end - begin)} days",
                      "verdict": verdict, "not_judged": missing, "failing": failed,
                      "intervals": int(n_week), "used": int(np.count_nonzero(used_week)), "rows": rows})
    rows = [_worst_row([(wk["number"], wk["rows"][j]) for wk in weeks]) for j in range(len(whole_rows))]
    verdicts = [wk["verdict"] for wk in weeks]
    missing = sorted({name for wk in weeks for name in wk["not_judged"]}, key=[row_name(r) for r in rows].index)
    failed = sorted({name for wk in weeks for name in wk["failing"]}, key=[row_name(r) for r in rows].index)
    if "fail" in verdicts:
        overall = "fail"
        said = "; ".join(f"{wk['label']}: {_listed(wk['failing'])}" for wk in weeks if wk["verdict"] == "fail")
    elif all(v == "pass" for v in verdicts):
        overall, said = "pass", ""
    elif all(v == "not measured" for v in verdicts):
        overall, said = "not measured", ""
    else:
        overall = "incomplete"
        said = "not judged: " + _listed(missing)
    dips, swells = classify_events(events, lim)
    return {"verdict": overall, "verdict_text": f"{overall}: {said}" if said else overall, "not_judged": missing,
            "failing": failed, "weeks": weeks, "rows": rows, "dips": dips, "swells": swells,
            "coverage": coverage(duration, n10, int(np.count_nonzero(used)), **left),
            "settings": {"level": level, "level_source": level_source, "system": system, "nominal_voltage": un,
                         "un": un, "un_text": text, "un_source": un_source or ("given" if un is not None else None),
                         "nominal_frequency": fn, "start": start, "weeks_from": origin, "limits": lim}}


def _span(ten):
    if "startTime" in ten and "endTime" in ten and len(ten["startTime"]):
        return float(np.max(ten["endTime"]) - np.min(ten["startTime"]))
    return 600.0 * len(next(iter(ten.values())))


def _duration_text(seconds):
    days, rest = divmod(int(round(seconds)), 86400)
    hours, rest = divmod(rest, 3600)
    minutes, secs = divmod(rest, 60)
    text = f"{hours} h {minutes} min" if hours or minutes or days else f"{secs} s"
    return (f"{days} day{'' if days == 1 else 's'} " if days else "") + text


def coverage(duration, intervals, used, flagged=None, partial=None, gap=0):
    """How much of the standard's week the recording covers, said plainly.

    ``flagged``, ``partial`` and ``gap``: the 10-minute intervals left out
    over an event, as not whole and for a gap in the data (see
    :func:`_usable`); the text counts those left out for a gap apart.
    """
    share = 100.0 * duration / WEEK_SECONDS
    week = duration >= WEEK_SECONDS - 1.0
    text = f"{_duration_text(duration)} of 10-minute values ({intervals} interval{'' if intervals == 1 else 's'})"
    if week:
        whole = int((duration + 1.0) // WEEK_SECONDS)
        rest = duration - whole * WEEK_SECONDS
        text += ": a whole week" if whole == 1 else f": {whole} whole weeks"
        if rest >= 600.0:
            text += f" and a partial one of {_days(rest)} days"
        if whole > 1 or rest >= 600.0:
            text += ", each judged alone"
    else:
        text += (f": {share:.3g} % of a week. The standard's statistics run over a week (a year for the "
                 "frequency's ±1 % band); the verdicts here are over what was recorded only")
    if used < intervals:
        left = "left out as flagged or not whole"
        if gap:
            others = intervals - used - gap
            why = "for a gap in the data (missing samples or no tracked frequency)"
            left = f"left out {why}" if not others else \
                f"left out: {others} as flagged or not whole, {gap} {why}"
        text = text.replace(")", f", {left})" if intervals == 1 else f", {intervals - used} of them {left})", 1)
    return {"seconds": float(duration), "intervals": intervals, "used": used, "week_share": share,
            "whole_week": bool(week), "flagged": flagged, "partial": partial, "gap": int(gap), "text": text}


def classify_events(events, limits=None):
    """Dip and swell count tables: {'rows': labels, 'columns': labels, 'counts': list of lists}."""
    lim = limits if limits is not None else LIMITS["LV"]
    d, s = lim["dips"], lim["swells"]
    dip_edges = [float(x) for x in d["residual"]]  # descending: 90, 80, 70, 40, 5
    dip_rows = [f"{a:g} > u ≥ {b:g}" for a, b in zip(dip_edges[:-1], dip_edges[1:])] + [f"{dip_edges[-1]:g} > u"]
    sw_edges = [float(x) for x in s["voltage"]]  # descending: 120, 110
    sw_rows = [f"u ≥ {sw_edges[0]:g}"] + [f"{a:g} > u > {b:g}" for a, b in zip(sw_edges[:-1], sw_edges[1:])]

    def columns(edges):
        edges = [float(x) for x in edges]
        labels = [f"{_t(edges[0])} ≤ t ≤ {_t(edges[1])}"]
        labels += [f"{_t(a)} < t ≤ {_t(b)}" for a, b in zip(edges[1:-1], edges[2:])]
        return labels + [f"t > {_t(edges[-1])}"], np.array(edges[1:])

    dip_cols, dip_upper = columns(d["duration"])
    sw_cols, sw_upper = columns(s["duration"])
    dips = np.zeros((len(dip_rows), len(dip_cols)), int)
    swells = np.zeros((len(sw_rows), len(sw_cols)), int)
    if events is not None and len(events):
        kind = np.asarray(events["type"])
        u = np.asarray(events["extremePercent"], np.float64)
        t = np.asarray(events["duration"], np.float64)
        # A dip row holds its lower edge; a duration column its upper edge.
        lower = np.array(dip_edges[1:][::-1])  # ascending lower edges of the rows above the last
        for k in np.flatnonzero(kind == 1):
            row = len(dip_rows) - 1 - int(np.searchsorted(lower, u[k], side="right"))
            dips[row, int(np.searchsorted(dip_upper, t[k], side="left"))] += 1
        sw_lower = np.array(sw_edges[:-1][::-1])  # ascending: 120
        for k in np.flatnonzero(kind == 2):
            row = len(sw_rows) - 1 - int(np.searchsorted(sw_lower, u[k], side="right"))
            swells[row, int(np.searchsorted(sw_upper, t[k], side="left"))] += 1
    return ({"rows": dip_rows, "columns": dip_cols, "counts": dips.tolist()},
            {"rows": sw_rows, "columns": sw_cols, "counts": swells.tolist()})


def _t(seconds):
    return f"{seconds * 1000:g} ms" if seconds < 1.0 else f"{seconds:g} s"


FREQUENCY_10S_DTYPE = np.dtype([("startTime", "f8"), ("endTime", "f8"), ("frequency", "f8"), ("cycles", "i4"),
                                ("flagged", "?"), ("complete", "?")])


def ten_second_frequencies(frequency, clock_offset=0.0):
    """10-s frequencies from per-cycle rows (``Analysis.frequency``: end time, frequency, valid).

    Each value is the number of whole cycles whose end falls in a 10-s
    interval of the clock over their summed duration; an interval is flagged
    when one of its cycles is, and is whole when tracked cycles cover it from
    its start to its end (the recording's partial ends are not).
    """
    f = np.asarray(frequency["frequency"], np.float64)
    if len(f) == 0:
        return np.zeros(0, FREQUENCY_10S_DTYPE)
    ends = np.asarray(frequency["time"], np.float64) + clock_offset
    period = np.where(f > 0, 1.0 / np.where(f > 0, f, 1.0), 0.0)
    starts = ends - period
    index = np.floor(ends / 10.0 + 1e-12).astype(np.int64)
    first, last = index[0], index[-1]
    n = int(last - first + 1)
    k = index - first
    cycles = np.bincount(k, minlength=n)
    span = np.bincount(k, weights=period, minlength=n)
    bad = np.bincount(k, weights=~np.asarray(frequency["valid"], bool), minlength=n) > 0
    out = np.zeros(n, FREQUENCY_10S_DTYPE)
    out["startTime"] = (first + np.arange(n)) * 10.0 - clock_offset
    out["endTime"] = out["startTime"] + 10.0
    with np.errstate(invalid="ignore", divide="ignore"):
        out["frequency"] = np.where(span > 0, cycles / span, np.nan)
    out["cycles"] = cycles
    out["flagged"] = bad
    out["complete"] = (out["startTime"] + clock_offset >= starts[0] - 1e-9) & \
        (out["endTime"] + clock_offset <= ends[-1] + 1e-9) & (cycles > 0)
    return out[cycles > 0]


def _harmonic_ratios(harmonics, phases, highest=40):
    """(names, values per window) of the individual harmonics in percent of the fundamental, orders 2..highest."""
    h = np.asarray(harmonics["harmonicsVoltage"], np.float64)
    top = min(highest, h.shape[-1] - 1)
    if top < 2:
        return [], np.zeros((len(h), 0))
    names, columns = [], []
    for k in range(phases):
        label = "ABC"[k] + "." if phases > 1 else ""
        with np.errstate(invalid="ignore", divide="ignore"):
            columns.append(100.0 * h[:, k, 2:top + 1] / h[:, k, 1:2])
        names += [f"{label}harmonicsVoltage.{order}" for order in range(2, top + 1)]
    return names, np.hstack(columns)


class _Harmonics:
    """10-minute individual harmonics (percent of the fundamental, orders 2 to 40) per phase.

    The per-window ratios are aggregated by the library's IntervalAggregator
    on the same clock as the other 10-minute values (root mean square), so
    the rows line up with them by their clock interval; the rows' own
    'flagged' decides, so the windows go in unflagged.
    """

    def __init__(self, phases, sample_rate, clock_offset):
        from .analysis import Rows

        self.phases, self.fs, self.offset = phases, float(sample_rate), float(clock_offset)
        self.aggregator = self.names = None
        self.rows = Rows()  # the 10-minute rows closed so far

    def add(self, windowed, harmonics):
        if windowed is None or not len(windowed) or not harmonics or "harmonicsVoltage" not in harmonics:
            return
        names, values = _harmonic_ratios(harmonics, self.phases)
        if not names:
            return
        if self.aggregator is None:
            from . import _core

            self.names = names
            self.aggregator = _core.IntervalAggregator(len(names), self.offset)
        width = len(self.names)
        if values.shape[1] != width:  # the first windows set the orders
            values = np.pad(values, ((0, 0), (0, max(0, width - values.shape[1]))))[:, :width]
        bad = ~np.isfinite(values)
        starts = windowed["firstSampleIndex"].astype(np.float64) / self.fs
        ends = np.maximum(windowed["time"].astype(np.float64), starts)
        self.aggregator.add_windows(starts, ends, np.ascontiguousarray(np.where(bad, 0.0, values)), bad.any(axis=1))
        self._take()

    def _take(self):
        """The closed 10-minute rows; the 150/180-cycle and 2-hour ones, which the assessment does not use, are
        taken and dropped, or the aggregator would hold them all (a week: 200 000 rows of every order)."""
        self.rows.add(self.aggregator.ten_minute_intervals())
        self.aggregator.three_second_intervals()
        self.aggregator.two_hour_intervals()

    def adopt(self, names, rows):
        """10-minute rows closed by another of these over a stretch of the same recording (the windows' names
        ``names``), in order after those so far."""
        if self.names is None:
            self.names = names
        if rows is not None:
            self.rows.add(rows)

    def finish(self):
        """{name: values} and 'clockInterval' of every 10-minute row."""
        if self.names is None:
            return {}
        if self.aggregator is not None:
            self.aggregator.flush()
            self._take()
        rows = self.rows.array()
        if rows is None:
            return {}
        out = {name: rows["values"][:, j] for j, name in enumerate(self.names)}
        out["clockInterval"] = rows["clockInterval"]
        return out


def _tracker_ten_second(rows, sample_rate, divisor):
    """The tracker's 10-s intervals (caller indices, 'flag' set when tracked throughout) as 10-s rows."""
    out = np.zeros(len(rows), FREQUENCY_10S_DTYPE)
    out["startTime"] = rows["firstSampleIndex"].astype(np.float64) / divisor / sample_rate
    out["endTime"] = rows["endSampleIndex"].astype(np.float64) / divisor / sample_rate
    out["frequency"] = rows["frequency"]
    out["cycles"] = rows["cycleCount"]
    out["flagged"] = ~rows["flag"].astype(bool)
    out["complete"] = rows["cycleCount"] > 0
    return out


def _tables(ten, ten_second, two_hour, events, harmonics):
    """The tables :func:`assess` takes, from the pieces an analysis gives (see :func:`from_analysis`)."""
    out = {"10min": None, "10s": None, "2h": two_hour}
    if ten_second is not None:
        out["10s"] = _columns(ten_second)
        out["10s"]["flagged"] = np.asarray(out["10s"].get("flagged", np.zeros(len(ten_second), bool)), bool) | \
            _event_flags(out["10s"], events)
    if ten is not None:
        columns = _columns(ten)
        columns["flagged"] = np.asarray(columns.get("flagged", np.zeros(len(ten), bool)), bool) | \
            _event_flags(columns, events)
        if harmonics and len(ten) and not any("harmonicsVoltage." in k for k in columns):
            extra = dict(harmonics)
            where = np.searchsorted(extra.pop("clockInterval"), columns["clockInterval"])
            found = (where < len(next(iter(extra.values())))) if extra else None
            for name, values in extra.items():
                columns[name] = np.where(found, values[np.minimum(where, len(values) - 1)], np.nan)
        out["10min"] = columns
    return out


class Gather:
    """Consumer of the analysis pipeline (``process(block)``): what the assessment needs, gathered as the
    blocks pass (10-minute and 2-hour rows, 10-s frequencies, events, and the windows' harmonics aggregated
    over 10 minutes), in memory that grows with those rows, not the samples or the blocks: each table is
    one growing numpy array (:class:`~powerquality.analysis.Rows`), some 1000 10-minute rows and 60 480
    10-s rows a week, never a Python object per row or per block.

    Needs the windows' ``harmonicsVoltage`` arrays (``stream(..., arrays=("harmonicsVoltage",))``) for the
    harmonics rows; without them those rows are "not measured".
    """

    def __init__(self, ctx):
        from .analysis import Rows

        self.ctx = ctx
        self.parts = {name: Rows() for name in ("10min", "2h", "10s", "events", "signalling")}
        self.harmonics = _Harmonics(len(ctx.voltages), ctx.sample_rate, ctx.clock_offset)
        self.finished = None

    def process(self, b):
        from .analysis import DIVISOR

        p = self.parts
        if b.aggregated is not None:
            p["10min"].add(b.aggregated["10min"])
        if getattr(b, "flicker", None) is not None:
            p["2h"].add(b.flicker["plt"])
        if getattr(b, "ten_second", None) is not None and len(b.ten_second):
            p["10s"].add(_tracker_ten_second(b.ten_second, self.ctx.sample_rate, DIVISOR))
        p["events"].add(b.events)
        if getattr(b, "signalling_3s", None) is not None:
            p["signalling"].add(b.signalling_3s)
        self.harmonics.add(b.windowed, b.harmonics)
        joined = getattr(b, "harmonics_10min", None)  # reduced from the windows elsewhere (spans.Joined)
        if joined is not None:
            self.harmonics.adopt(*joined)
        if b.last:
            self.finished = self.harmonics.finish()

    def events(self):
        events = self.parts["events"].array()
        if events is None:
            return np.zeros(0)
        return events[np.argsort(events["startTime"], kind="stable")] if len(events) else events

    def tables(self):
        p = self.parts
        out = _tables(p["10min"].array(), p["10s"].array(), p["2h"].array(), self.events(), self.finished)
        signalling = p["signalling"].array()
        if signalling is not None:
            out["signalling"] = signalling
        return out

    def assess(self, tables=None, *, level=None, system="synchronous", limits=None, nominal_voltage=None):
        """:func:`assess` of what was gathered (Un: ``nominal_voltage``, else as :func:`reference_voltage`
        reads it; level: the one given, else Un's)."""
        from .analysis import start_datetime

        ctx = self.ctx
        start = start_datetime(ctx.recording)
        un = reference_voltage(getattr(ctx, "inference", None), ctx.declared_voltage, nominal_voltage)
        return _inferred(assess(tables if tables is not None else self.tables(), nominal_frequency=ctx.nominal_frequency,
                                level=level, system=system, limits=limits, events=self.events(),
                                duration=ctx.positions / ctx.sample_rate, start=start.isoformat() if start else None,
                                **un),
                         getattr(ctx, "inference", None), nominal_voltage)


def reference_voltage(inference, declared_voltage, given=None):
    """Un of the assessment, as :func:`assess` takes it (nominal_voltage, un_source, un_text, system_un).

    Un is a nominal voltage, never a bare measured level: the one given
    (``given``, or Udin given to the analysis: ``--udin``), else the
    reference the analysis inferred (a rating that agrees with the waveform,
    or the IEC 60038 nominal voltage nearest the measured level), else, where
    the measured level lies further than ±10 % from every nominal voltage,
    the nominal voltage nearest it when within ±30 % (UN_REACH): a supply at
    +11 % of 230 V is judged against 230 V, not against its own level. A
    level further from every nominal voltage leaves Un unknown (the voltage
    rows are not judged: give it).
    """
    if given:
        return {"nominal_voltage": float(given), "un_source": "given", "un_text": f"{float(given):.6g} V",
                "system_un": None}
    ref = getattr(inference, "reference", None)
    if ref is None:
        if not declared_voltage:
            return {"nominal_voltage": None, "un_source": "no reference voltage", "un_text": None, "system_un": None}
        return {"nominal_voltage": float(declared_voltage), "un_source": "Udin of the analysis",
                "un_text": f"{float(declared_voltage):.6g} V", "system_un": None}
    from . import inference as inferring

    line = ref.channels == inferring.LINE_TO_LINE_KIND
    if ref.source == "given":
        return {"nominal_voltage": float(ref.udin), "un_source": f"given (Udin): {ref.reason}",
                "un_text": f"{ref.udin:.6g} V", "system_un": ref.udin if line else None}
    if ref.source in ("rating", "nominal"):
        return {"nominal_voltage": float(ref.udin), "un_source": ref.reason, "un_text": ref.un_text or None,
                "system_un": ref.un}
    grid = "delta" if line else ("single" if inference.grid == "single" else "star")
    nearest = inferring._nearest(inferring._candidates(grid, inference.frequency), inference.level)
    if nearest is not None and abs(inference.level / nearest[0] - 1.0) <= UN_REACH:
        value, un, text = nearest
        return {"nominal_voltage": float(value), "un_source":
                f"the nominal voltage nearest the measured level {inference.level:.4g} V "
                f"({100.0 * inference.level / value:.1f} % of {value:.4g} V; Udin of the events: {ref.udin:.4g} V, "
                "the level itself)", "un_text": text, "system_un": un}
    return {"nominal_voltage": None, "un_source": f"the measured level {inference.level:.4g} V lies within "
            f"±{100 * UN_REACH:g} % of no nominal voltage: give Un (--udin)", "un_text": None, "system_un": None}


def _inferred(result, inference, nominal_voltage):
    """The assessment with, in its settings, what the analysis read into the recording ('inference': the
    channels' roles, Un and Udin with their reasons), unless Un was given to the assessment itself."""
    if inference is not None and not nominal_voltage:
        result["settings"]["inference"] = inference.as_dict()
    return result


def describe(recording, seconds=None, *, site=None, operator=None, lamp=None):
    """What a report says of the recording beside its verdict, as plain data (the assessment's 'recording').

    'file': its file name; 'station' and 'device': where and by what it was
    recorded, as the file says (a COMTRADE configuration's first line; None
    when the file does not say); 'site': ``site`` when given, else the
    station; 'operator': as given; 'start' and 'end': ISO 8601 on the
    recorder's clock, with the offset from UTC when the file gives it
    ('time_zone', '+01:00'; None: not known), None without a start time;
    'seconds': the time recorded (default: the recording's duration);
    'lamp': the flickermeter's lamp in volts, when flicker was measured.

    >>> from powerquality.recording import Recording
    >>> r = Recording([], 1000.0, start="01/03/2026,23:00:00.000000", source="/data/feeder.cfg", station="North",
    ...               device="PQ-7", time_zone="+01:00")
    >>> d = describe(r, 7200.0, operator="City Grid")
    >>> d["site"], d["device"], d["operator"], d["start"], d["end"]
    ('North', 'PQ-7', 'City Grid', '2026-03-01T23:00:00+01:00', '2026-03-02T01:00:00+01:00')
    """
    import datetime

    from .analysis import start_datetime

    seconds = float(recording.duration if seconds is None else seconds)
    start = start_datetime(recording)
    zone = getattr(recording, "time_zone", None)
    end = None
    if start is not None:
        if zone:
            hours, minutes = int(zone[1:3]), int(zone[4:6])
            offset = datetime.timedelta(hours=hours, minutes=minutes) * (-1 if zone[0] == "-" else 1)
            start = start.replace(tzinfo=datetime.timezone(offset))
        end = start + datetime.timedelta(seconds=seconds)
    station = getattr(recording, "station", None) or None
    return {"file": os.path.basename(recording.source or "") or None, "station": station,
            "device": getattr(recording, "device", None) or None, "site": site or station, "operator": operator,
            "start": start.isoformat() if start else None, "end": end.isoformat() if end else None,
            "time_zone": zone if start is not None else None, "seconds": seconds,
            "lamp": None if lamp is None else float(lamp)}


def _event_flags(ten, events):
    """Intervals in which a dip, swell or interruption falls (flagged, as IEC 61000-4-30 does)."""
    s, e = np.asarray(ten["startTime"], np.float64), np.asarray(ten["endTime"], np.float64)
    out = np.zeros(len(s), bool)
    if events is None or not len(events):
        return out
    for ev in events:
        a, b = float(ev["startTime"]), float(ev["startTime"] + ev["duration"])
        out |= (s <= b) & (e >= a)
    return out


def from_analysis(a):
    """The tables :func:`assess` takes, from an ``Analysis``.

    The 10-minute rows are ``a.aggregated['10min']`` with the individual
    harmonics added where the rows lack them (the windows' harmonics
    aggregated over the same 10 minutes); the 10-s frequencies are the
    tracker's (``a.ten_second``), else made from the tracked cycles
    (:func:`ten_second_frequencies`); the 2-hour rows are
    the flicker meter's Plt (``a.flicker['plt']``) when present. In the 10-minute and 10-s rows
    'flagged' is also set on every interval that a dip, swell or
    interruption touches, so that flags made elsewhere and these agree.
    """
    from .analysis import DIVISOR

    aggregated = getattr(a, "aggregated", None) or {}
    offset = float(getattr(a, "clock_offset", 0.0) or 0.0)
    ten_s = aggregated.get("10s")
    if ten_s is None and getattr(a, "ten_second", None) is not None and len(a.ten_second):
        ten_s = _tracker_ten_second(a.ten_second, a.sample_rate, DIVISOR)
    if ten_s is None and getattr(a, "frequency", None) is not None and len(a.frequency):
        ten_s = ten_second_frequencies(a.frequency, offset)
    harmonics = None
    if getattr(a, "harmonics", None) and a.windowed is not None:
        collected = _Harmonics(len(a.voltages), a.sample_rate, offset)
        collected.add(a.windowed, a.harmonics)
        harmonics = collected.finish()
    flicker = getattr(a, "flicker", None)
    plt = flicker["plt"] if flicker else None
    out = _tables(aggregated.get("10min"), ten_s, plt, a.events, harmonics)
    if getattr(a, "signalling_3s", None) is not None:
        out["signalling"] = a.signalling_3s
    return out


def assess_analysis(a, *, level=None, system="synchronous", limits=None, nominal_voltage=None, tables=None):
    """:func:`assess` of an ``Analysis`` (Un: ``nominal_voltage``, else as :func:`reference_voltage` reads it;
    ``tables``: those of :func:`from_analysis`, made here when not given)."""
    from .analysis import start_datetime

    start = start_datetime(a.recording)
    un = reference_voltage(getattr(a, "inference", None), a.declared_voltage, nominal_voltage)
    return _inferred(assess(tables if tables is not None else from_analysis(a), nominal_frequency=a.nominal_frequency,
                            level=level, system=system, limits=limits, events=a.events,
                            duration=float(a.recording.duration), start=start.isoformat() if start else None, **un),
                     getattr(a, "inference", None), nominal_voltage)

"""The columns of every result table, as data: one list that the numpy tables, the CSV and HDF5 writers, pandas,
xarray and the manual's table of columns (docs/columns.md) all read.

A :class:`Column` names its table, its name, its unit, what it means and its numpy dtype; where it comes from a
record of the module, ``field`` is its path there. Columns that repeat per phase, per symmetrical component or
per harmonic order are written once, with the rule that names their copies:

- per phase (``per = "phase"``): ``A.rmsVoltage``, ``B.rmsVoltage``, ``C.rmsVoltage`` and, in the windowed
  table, ``total.rmsVoltage`` (the module's total over the phases); a single-phase analysis has one copy
  without prefix (``rmsVoltage``);
- per symmetrical component (``per = "sequence"``): ``zero.``, ``positive.`` and ``negative.`` before the name;
- per order (``orders``): one column per harmonic order n = 0 ... H (H the highest order analysed, at most 50),
  named ``A.harmonicVoltage5`` and so on, n the harmonic order (of an inter-harmonic subgroup: the one between
  n and n + 1). In numpy and HDF5 such a column is one field holding an array per row whose index is the order
  (``table["A.harmonicVoltage"][:, 5]``); CSV and pandas spread it over a column per order; xarray gives it the
  dimension ``order``.

What the analysis did not measure is NaN, never 0: a field the configuration does not produce (the currents'
fields without currents, line-to-line values on star channels, the total's THD, a phase's sum of reactive
powers) and every measured field of a row over missing samples (``gap``). The module's own RVC states stay in
``Analysis.period`` (its records); the tables report the detector's rapid voltage changes instead.

Time: every table keeps its seconds from the first sample (``seconds``, or ``startTime`` and the like where a
row spans an interval), and gains ``time``, a numpy ``datetime64[ns]`` of the instant the table says (the
row's end, or its start where it has one: see each table) when the recording's start is known: in UTC when
the recording gives its offset from UTC (``recording.start_utc``), else on the recorder's own clock (its start
as the file writes it, offset unknown). Without a start ``time`` is left out (no column of NaT). CSV writes it
in ISO 8601, with ``+00:00`` when it is UTC and without an offset otherwise; HDF5 as int64 nanoseconds since
1970-01-01 (numpy's own datetime64[ns] count) with the zone in the attribute ``time_zone``; pandas as its
index, tz-aware (UTC) when the zone is known.

Event types (``dip``, ``swell``, ``interruption``) and phases (``A,B``: the phases involved; ``-`` none) are
text in every table (categories in pandas); the period table's ``phase`` is ``A``, ``B``, ``C`` or ``total``.
"""

from __future__ import annotations  # annotations as text: no typing at import

import dataclasses
import datetime
import re

import numpy as np

PHASES = ("A", "B", "C")
SEQUENCES = ("zero", "positive", "negative")  # the module's order of the symmetrical components
EVENT_TYPES = {1: "dip", 2: "swell", 3: "interruption"}


@dataclasses.dataclass(frozen=True)
class Column:
    """One column (or one rule of columns) of a table.

    tables: the tables that have it; name: as every writer names it (without the prefixes and orders of
    ``per`` and ``orders``); unit: SI symbol, '%', '°', '1' (a ratio), '' (counts, marks and text);
    meaning: one line; dtype: numpy's; field: where it comes from in the module's record ('.' between the
    levels), None when the table's builder makes it; needs: what the analysis must have for the column to
    be measured ('currents', 'three' phases, 'delta' channels, 'inter' harmonics asked for, 'inter_or_currents'),
    else it is NaN; rows: in the period table, the rows that carry it ('phases', 'total' or 'all'), in the
    windowed table the phase copies that do ('phases': A, B, C; 'total' only; 'all'); per: 'phase',
    'sequence' or None; orders: a column per harmonic order; array: the windowed arrays' name it comes from.
    """

    tables: tuple[str, ...]
    name: str
    unit: str
    meaning: str
    dtype: str = "f8"
    field: str | None = None
    needs: tuple[str, ...] = ()
    rows: str = "all"
    per: str | None = None
    orders: bool = False
    array: str | None = None


def _c(tables, name, unit, meaning, dtype="f8", **kw):
    return Column(tuple(tables.split()), name, unit, meaning, dtype, **kw)


_TIME = "the clock time of the row (see the table's note); present when the recording's start is known"
_AGG = "aggregated_3s aggregated_10min aggregated_2h"
_I = ("currents",)

# The period table: one row per period value (one cycle, refreshed every half cycle) and phase, the total first.
_PERIOD = [
    _c("period", "item", "", "the period value's number, from 0; its rows share it", "i8", field="item"),
    _c("period", "phase", "", "A, B, C, or total (the module's total over the phases, three-phase only)", "U5"),
    _c("period", "seconds", "s", "end of the cycle, from the first sample", field="time"),
    _c("period", "frequency", "Hz", "the frequency the cycle was measured at", field="frequency"),
    _c("period", "rmsVoltage", "V", "RMS voltage over the cycle, Urms(1/2)", field="rmsVoltage"),
    _c("period", "rmsLineToLine", "V", "RMS line-to-line voltage (delta channels)", field="rmsLineToLine",
       needs=("delta",)),
    _c("period", "fundamentalVoltage", "V", "RMS of the fundamental voltage", field="fundamentalVoltage"),
    _c("period", "rmsCurrent", "A", "RMS current", field="rmsCurrent", needs=_I),
    _c("period", "fundamentalCurrent", "A", "RMS of the fundamental current", field="fundamentalCurrent", needs=_I),
    _c("period", "activePower", "W", "active power", field="activePower", needs=_I),
    _c("period", "nonActivePower", "var", "non-active power", field="nonActivePower", needs=_I),
    _c("period", "apparentPower", "VA", "apparent power", field="apparentPower", needs=_I),
    _c("period", "powerFactor", "1", "power factor (0 when the apparent power is 0)", field="powerFactor", needs=_I),
    _c("period", "fundamentalActivePower", "W", "active power of the fundamental", field="fundamentalActivePower",
       needs=_I),
    _c("period", "fundamentalReactivePower", "var", "reactive power of the fundamental, signed",
       field="fundamentalReactivePower", needs=_I),
    _c("period", "fundamentalReactivePowerSum", "var", "sum of the phases' fundamental reactive powers",
       field="fundamentalReactivePowerSum", needs=_I, rows="total"),
    _c("period", "fundamentalApparentPower", "VA", "apparent power of the fundamental",
       field="fundamentalApparentPower", needs=_I),
    _c("period", "fundamentalPhaseAngle", "°", "voltage angle minus current angle of the fundamental, (-180, 180]",
       field="fundamentalPhaseAngle", needs=_I, rows="phases"),
]
# Symmetrical components of a period value: on its total row, NaN on the phases' rows.
_PERIOD_SEQUENCE = [
    ("voltage.re", "V", "real part of the RMS voltage phasor", "voltage", ()),
    ("voltage.im", "V", "imaginary part of the RMS voltage phasor", "voltage", ()),
    ("voltageMagnitude", "V", "magnitude of the voltage phasor", "voltageMagnitude", ()),
    ("lineToLineVoltage.re", "V", "real part of the line-to-line voltage phasor", "lineToLineVoltage", ()),
    ("lineToLineVoltage.im", "V", "imaginary part of the line-to-line voltage phasor", "lineToLineVoltage", ()),
    ("lineToLineVoltageMagnitude", "V", "magnitude of the line-to-line voltage phasor", "lineToLineVoltageMagnitude",
     ()),
    ("current.re", "A", "real part of the RMS current phasor", "current", _I),
    ("current.im", "A", "imaginary part of the RMS current phasor", "current", _I),
    ("currentMagnitude", "A", "magnitude of the current phasor", "currentMagnitude", _I),
    ("activePower", "W", "three-phase active power of the component (3 U conj I)", "activePower", _I),
    ("reactivePower", "var", "three-phase reactive power of the component", "reactivePower", _I),
    ("apparentPower", "VA", "three-phase apparent power of the component", "apparentPower", _I),
    ("activeCurrent", "A", "active part of the current", "activeCurrent", _I),
    ("reactiveCurrent", "A", "reactive part of the current", "reactiveCurrent", _I),
    ("powerFactor", "1", "power factor of the component", "powerFactor", _I),
]
_PERIOD += [_c("period", name, unit, meaning, field=field, needs=("three",) + needs,
               rows="total", per="sequence") for name, unit, meaning, field, needs in _PERIOD_SEQUENCE]
_PERIOD += [
    _c("period", "gap", "", "the cycle touches a missing sample: its measured values are NaN", "?", field="gap"),
    _c("period", "time", "", _TIME + ": the end of the cycle", "M8[ns]"),
]

_THD = [("thd", "%", "THDS: total harmonic (subgroup) distortion"),
        ("partialThd1", "%", "partial distortion, first band"), ("partialThd2", "%", "partial distortion, second band"),
        ("partialThd3", "%", "partial distortion, third band"), ("partialThd4", "%", "partial distortion, fourth band"),
        ("thdRms", "%", "distortion against the RMS value"), ("totalDistortion", "%", "total distortion"),
        ("harmonicContent", None, "RMS of the harmonics"), ("distortionContent", None, "RMS of the distortion")]


def _thd(quantity, unit, needs, what):
    return [_c("windowed", f"{quantity}.{name}", u or unit, f"{meaning} of the {what}", field=f"{quantity}.{name}",
               needs=needs, rows="phases", per="phase") for name, u, meaning in _THD]


# The windowed table: one row per window of 10 cycles (12 at 60 Hz), its main values per phase, its arrays.
_WINDOWED = [
    _c("windowed", "seconds", "s", "end of the window, from the first sample", field="time"),
    _c("windowed", "frequency", "Hz", "the window's frequency (its cycles over their duration)", field="frequency"),
    _c("windowed", "dFrequency", "Hz", "spacing of the window's spectral lines", field="dFrequency"),
    _c("windowed", "firstSampleIndex", "", "position of the window's first sample", "i8", field="firstSampleIndex"),
    _c("windowed", "length", "", "samples in the window", "i8", field="length"),
    _c("windowed", "flagged", "", "the window overlaps a dip, swell or interruption", "?"),
    _c("windowed", "gap", "", "no tracked frequency or a missing sample in the window (values NaN over the "
       "latter)", "?"),
]
_PER_SLOT = [
    ("dcVoltage", "V", "DC voltage", ()), ("rmsVoltage", "V", "RMS voltage", ()),
    ("spectrumRmsVoltage", "V", "RMS voltage from the spectrum", ()),
    ("fundamentalVoltage", "V", "RMS of the fundamental voltage", ()),
    ("dcLineToLine", "V", "DC line-to-line voltage", ("delta",)),
    ("rmsLineToLine", "V", "RMS line-to-line voltage", ("delta",)),
    ("spectrumRmsLineToLine", "V", "RMS line-to-line voltage from the spectrum", ("delta",)),
    ("fundamentalLineToLine", "V", "RMS of the fundamental line-to-line voltage", ("delta",)),
    ("dcCurrent", "A", "DC current", _I), ("rmsCurrent", "A", "RMS current", _I),
    ("spectrumRmsCurrent", "A", "RMS current from the spectrum", _I),
    ("fundamentalCurrent", "A", "RMS of the fundamental current", _I),
    ("activePower", "W", "active power", _I), ("spectrumActivePower", "W", "active power from the spectrum", _I),
    ("nonActivePower", "var", "non-active power", _I), ("apparentPower", "VA", "apparent power", _I),
    ("powerFactor", "1", "power factor", _I), ("reactivePower", "var", "reactive power", _I),
    ("distortionPower", "var", "distortion power", _I),
    ("distortionPowerQ1", "var", "distortion power of the fundamental's reactive power", _I),
    ("fundamentalActivePower", "W", "active power of the fundamental", _I),
    ("fundamentalReactivePower", "var", "reactive power of the fundamental", _I),
    ("fundamentalApparentPower", "VA", "apparent power of the fundamental", _I),
    ("displacementPowerFactor", "1", "displacement power factor", _I),
]
_WINDOWED += [_c("windowed", name, unit, meaning, field=name, needs=needs, per="phase")
              for name, unit, meaning, needs in _PER_SLOT]
_WINDOWED += [
    _c("windowed", "fundamentalReactivePowerSum", "var", "sum of the phases' fundamental reactive powers",
       field="fundamentalReactivePowerSum", needs=_I, rows="total", per="phase"),
    _c("windowed", "impedance", "Ω", "impedance: voltage over current", field="impedance", needs=_I, rows="phases",
       per="phase"),
    _c("windowed", "harmonicCurrentContent", "A", "RMS of the harmonic currents", field="harmonicCurrentContent",
       needs=_I, rows="phases", per="phase"),
]
_WINDOWED += _thd("thdVoltage", "V", (), "voltage")
_WINDOWED += _thd("thdCurrent", "A", _I, "current")
_WINDOWED += _thd("thdLineToLine", "V", ("delta",), "line-to-line voltage")
_WINDOWED += _thd("thdInterVoltage", "V", ("inter",), "voltage's inter-harmonic subgroups")
_WINDOWED += _thd("thdInterCurrent", "A", ("inter", "currents"), "current's inter-harmonic subgroups")
_WINDOWED += [
    _c("windowed", "harmonicVoltage", "V", "RMS of the voltage's harmonic subgroup of order n (n = 0: DC)",
       needs=(), rows="phases", per="phase", orders=True, array="harmonicsVoltage"),
    _c("windowed", "harmonicAngleVoltage", "°", "phase angle of the voltage's harmonic of order n",
       needs=(), rows="phases", per="phase", orders=True, array="harmonicAnglesVoltage"),
    _c("windowed", "interHarmonicVoltage", "V", "RMS of the voltage's inter-harmonic centred subgroup between "
       "orders n and n + 1", needs=("inter_or_currents",), rows="phases", per="phase", orders=True,
       array="interHarmonicsVoltage"),
    _c("windowed", "harmonicLineToLine", "V", "RMS of the line-to-line voltage's harmonic subgroup of order n",
       needs=("delta",), rows="phases", per="phase", orders=True, array="harmonicsLineToLine"),
    _c("windowed", "harmonicCurrent", "A", "RMS of the current's harmonic subgroup of order n",
       needs=_I, rows="phases", per="phase", orders=True, array="harmonicsCurrent"),
    _c("windowed", "harmonicAngleCurrent", "°", "phase angle of the current's harmonic of order n",
       needs=_I, rows="phases", per="phase", orders=True, array="harmonicAnglesCurrent"),
    _c("windowed", "interHarmonicCurrent", "A", "RMS of the current's inter-harmonic centred subgroup between "
       "orders n and n + 1", needs=_I, rows="phases", per="phase", orders=True, array="interHarmonicsCurrent"),
]
_WINDOWED_SEQUENCE = _PERIOD_SEQUENCE + [
    ("voltageRms", "V", "RMS voltage of the component over the window", "voltageRms", ()),
    ("voltageRmsUnbalance", "%", "RMS voltage of the component over the positive one's", "voltageRmsUnbalance", ()),
    ("currentRms", "A", "RMS current of the component over the window", "currentRms", _I),
    ("currentRmsUnbalance", "%", "RMS current of the component over the positive one's", "currentRmsUnbalance", _I),
]
_WINDOWED += [_c("windowed", name, unit, meaning, field=field, needs=("three",) + needs, per="sequence")
              for name, unit, meaning, field, needs in _WINDOWED_SEQUENCE]

# Unbalance, in the windowed and the aggregated tables alike.
_UNBALANCE = [
    ("u2", "%", "negative-sequence voltage unbalance |U2| / |U1|", 2, "voltageUnbalance", ()),
    ("u0", "%", "zero-sequence voltage unbalance |U0| / |U1|", 0, "voltageUnbalance", ()),
    ("u2Current", "%", "negative-sequence current unbalance |I2| / |I1|", 2, "currentUnbalance", _I),
    ("u0Current", "%", "zero-sequence current unbalance |I0| / |I1|", 0, "currentUnbalance", _I),
]
_WINDOWED += [_c("windowed", name, unit, meaning, needs=("three",) + needs) for name, unit, meaning, _, _, needs
              in _UNBALANCE]
_WINDOWED += [_c("windowed", "time", "", _TIME + ": the end of the window", "M8[ns]")]

_EVENTS = [
    _c("events", "type", "", "dip, swell or interruption (an interruption is also the dip that contains it)", "U12"),
    _c("events", "phases", "", "the phases beyond the threshold at some time of the event (A,B,C; - none)", "U5"),
    _c("events", "startTime", "s", "start (IEC 61000-4-30 Ed. 3: the start of its first value's window)"),
    _c("events", "duration", "s", "duration (a lower bound when it did not end)"),
    _c("events", "extremeVoltage", "V", "residual voltage of a dip or interruption, highest voltage of a swell"),
    _c("events", "extremePercent", "%", "extremeVoltage in percent of Udin"),
    _c("events", "ended", "", "the voltage came back within the data", "?"),
    _c("events", "cutByGap", "", "the event ran into missing samples and ends with the last value before them",
       "?"),
    _c("events", "time", "", _TIME + ": the start of the event", "M8[ns]"),
]
_RVC = [
    _c("rvc", "startTime", "s", "start of the rapid voltage change"),
    _c("rvc", "duration", "s", "duration"),
    _c("rvc", "deltaUmax", "V", "largest deviation from the mean of the steady state before"),
    _c("rvc", "deltaUss", "V", "mean after minus mean before (signed)"),
    _c("rvc", "phases", "", "the phases that left the band (A,B,C)", "U5"),
    _c("rvc", "ended", "", "a new steady state was reached", "?"),
    _c("rvc", "cutByGap", "", "the change ran into missing samples", "?"),
    _c("rvc", "time", "", _TIME + ": the start of the change", "M8[ns]"),
]
_FREQUENCY = [
    _c("frequency", "seconds", "s", "end of the tracked cycle, from the first sample"),
    _c("frequency", "frequency", "Hz", "the cycle's frequency"),
    _c("frequency", "valid", "", "the tracker trusted the cycle", "?"),
    _c("frequency", "time", "", _TIME + ": the end of the cycle", "M8[ns]"),
]
_FREQUENCY_10S = [
    _c("frequency_10s", "startTime", "s", "start of the 10-second interval"),
    _c("frequency_10s", "endTime", "s", "its end"),
    _c("frequency_10s", "frequency", "Hz", "whole cycles over their duration (0: no whole cycle)"),
    _c("frequency_10s", "cycleCount", "", "whole cycles in the interval", "i8"),
    _c("frequency_10s", "flag", "", "the tracker followed the grid over the whole interval", "?"),
    _c("frequency_10s", "time", "", _TIME + ": the start of the interval", "M8[ns]"),
]
_AGGREGATED = [
    _c(_AGG, "startTime", "s", "start of the interval's first window"),
    _c(_AGG, "endTime", "s", "end of its last window"),
    _c(_AGG, "clockInterval", "", "k of the 10-minute clock interval [600 k, 600 (k + 1)) s of the day", "i8"),
    _c(_AGG, "windowCount", "", "windows in it (2 hours: 10-minute values)", "i4"),
    _c(_AGG, "flagged", "", "a window in it overlaps a dip, swell or interruption", "?"),
    _c(_AGG, "complete", "", "whole: all its windows (intervals) there", "?"),
    _c(_AGG, "gap", "", "a window in it has no tracked frequency or a missing sample", "?"),
    _c("aggregated_10min aggregated_2h", "tagTime", "s", "the tick that ends the interval"),
    _c(_AGG, "rmsVoltage", "V", "RMS voltage", per="phase"),
    _c(_AGG, "rmsCurrent", "A", "RMS current", needs=_I, per="phase"),
    _c(_AGG, "thdVoltage.thd", "%", "voltage THDS", per="phase"),
    _c(_AGG, "thdCurrent.thd", "%", "current THDS", needs=_I, per="phase"),
    _c(_AGG, "underDeviation", "%", "under-deviation from Udin", per="phase"),
    _c(_AGG, "overDeviation", "%", "over-deviation from Udin", per="phase"),
    _c(_AGG, "harmonicCurrent", "A", "current's harmonic subgroup of order n (1 ... H)", needs=_I, per="phase",
       orders=True),
    _c(_AGG, "interHarmonicCurrent", "A", "current's inter-harmonic centred subgroup between n and n + 1",
       needs=_I, per="phase", orders=True),
]
_AGGREGATED += [_c(_AGG, name, unit, meaning, needs=("three",) + needs) for name, unit, meaning, _, _, needs
                in _UNBALANCE]
_AGGREGATED += [_c(_AGG, "time", "", _TIME + ": the end of the 150/180-cycle interval's last window; the tick "
                   "that ends a 10-minute or 2-hour interval", "M8[ns]")]
_FLICKER = [
    _c("flicker", "kind", "", "Pst (10 minutes of the clock) or Plt (2 hours)", "U3"),
    _c("flicker", "clockInterval", "", "k of the 10-minute clock interval (for Plt the first of its 2 hours)",
       "i8"),
    _c("flicker", "startTime", "s", "start of the interval (not before the first sample)"),
    _c("flicker", "endTime", "s", "its end"),
    _c("flicker", "", "1", "the severity of the phase's voltage (column A, B, C; 'value' on one phase)",
       per="phase"),
    _c("flicker", "gap", "", "a sample was missing in the interval (the meter bridged it)", "?"),
    _c("flicker", "flagged", "", "a dip, swell, interruption or gap fell in it (Plt: in one of its Pst)", "?"),
    _c("flicker", "complete", "", "settled data cover it whole", "?"),
    _c("flicker", "time", "", _TIME + ": the end of the interval", "M8[ns]"),
]
_SIGNALLING = [
    _c("signalling", "seconds", "s", "end of the window, from the first sample"),
    _c("signalling", "frequency", "Hz", "the signalling frequency"),
    _c("signalling signalling_3s", "", "V", "RMS voltage at the signalling frequency (column A, B, C; NaN for a "
       "phase the recording lacks)", per="phase"),
    _c("signalling", "flagged", "", "the window's flag", "?"),
    _c("signalling", "gap", "", "the window's mark", "?"),
    _c("signalling", "time", "", _TIME + ": the end of the window", "M8[ns]"),
    _c("signalling_3s", "startTime", "s", "start of the interval's first window"),
    _c("signalling_3s", "endTime", "s", "end of its last window"),
    _c("signalling_3s", "clockInterval", "", "k of the 10-minute clock interval", "i8"),
    _c("signalling_3s", "windowCount", "", "windows in it", "i4"),
    _c("signalling_3s", "flagged", "", "a window in it is flagged", "?"),
    _c("signalling_3s", "complete", "", "all its windows there", "?"),
    _c("signalling_3s", "gap", "", "a window in it is marked gap", "?"),
    _c("signalling_3s", "frequency", "Hz", "the signalling frequency"),
    _c("signalling_3s", "time", "", _TIME + ": the end of the interval's last window", "M8[ns]"),
]

COLUMNS = _PERIOD + _WINDOWED + _EVENTS + _RVC + _FREQUENCY + _FREQUENCY_10S + _AGGREGATED + _FLICKER + _SIGNALLING
TABLES = ("period", "windowed", "events", "rvc", "frequency", "frequency_10s", "aggregated_3s", "aggregated_10min",
          "aggregated_2h", "flicker", "signalling", "signalling_3s")
# What each table is, for the manual.
ABOUT = {
    "period": "one row per period value (one cycle, refreshed every half cycle) and phase, the total row first",
    "windowed": "one row per window of 10 cycles (12 at 60 Hz): its values per phase (A, B, C, total), its "
                "harmonic arrays, its symmetrical components",
    "events": "dips, swells and interruptions, in order of start",
    "rvc": "rapid voltage changes",
    "frequency": "one row per tracked cycle",
    "frequency_10s": "the tracker's 10-second frequencies",
    "aggregated_3s": "150/180-cycle values of the windows (also aggregated_10min, aggregated_2h, with tagTime)",
    "flicker": "Pst of every 10 minutes of the clock, then Plt of every 2 hours",
    "signalling": "mains signalling voltages: one row per window and signalling frequency",
    "signalling_3s": "their 150/180-cycle values, one row per interval and frequency",
}


def columns(table):
    """The schema's columns (rules) of a table, in order."""
    return [c for c in COLUMNS if table in c.tables]


# --- What the analysis measured ---------------------------------------------------------------------------

@dataclasses.dataclass
class Layout:
    """What decides a table's columns and which of them are measured: grid ('star', 'delta', 'single'),
    phases (voltages analysed), currents, inter (inter-harmonics asked for), orders (the highest harmonic
    order, H), arrays (the names of the windows' arrays fetched), start (datetime64[ns] of the first sample
    or None) and utc (whether start is UTC)."""

    grid: str = "star"
    phases: int = 3
    currents: bool = False
    inter: bool = False
    orders: int = 50
    arrays: tuple = ()
    start: np.datetime64 | None = None
    utc: bool = False

    def measures(self, column):
        have = {"currents": self.currents, "three": self.phases == 3, "delta": self.grid == "delta",
                "inter": self.inter, "inter_or_currents": self.inter or self.currents}
        return all(have[n] for n in column.needs)

    @property
    def labels(self):
        """The phase prefixes of per-phase columns ('' on one phase)."""
        return list(PHASES[:self.phases]) if self.phases > 1 else [""]

    @property
    def time_zone(self):
        return None if self.start is None else ("UTC" if self.utc else "recorder's clock, offset unknown")


def highest_order(sample_rate, nominal_frequency):
    """The highest harmonic order the analysis measures: 50, never above half the sample rate."""
    return max(1, min(50, int(np.floor(sample_rate / 2 / nominal_frequency))))


def to_datetime64(value):
    """A start given as numpy datetime64, datetime (an aware one converted to UTC) or ISO 8601 text (with an
    offset converted to UTC), as (datetime64[ns], utc); None as (None, False). An unreadable one is a
    ValueError naming it."""
    if value is None:
        return None, False
    if isinstance(value, np.datetime64):
        return value.astype("M8[ns]"), True
    if isinstance(value, str):
        text = value.strip().replace(" ", "T", 1)
        try:
            value = datetime.datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith("Z") else text)
        except ValueError:
            raise ValueError(f"start {value!r}: give ISO 8601 date and time, e.g. 2024-03-01T12:00:00+01:00") \
                from None
    if isinstance(value, datetime.datetime):
        aware = value.tzinfo is not None
        if aware:
            value = value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        return np.datetime64(value.isoformat(), "ns"), aware
    raise ValueError(f"start {value!r}: give a numpy datetime64, a datetime or ISO 8601 text")


def start_of(recording):
    """(datetime64[ns] of the first sample, utc): the recording's ``start_utc`` when it has one (UTC), else its
    start as the file writes it (the recorder's clock), else (None, False)."""
    utc = getattr(recording, "start_utc", None)
    if utc is not None and not (isinstance(utc, np.datetime64) and np.isnat(utc)):
        return to_datetime64(utc)[0], True
    from .analysis import start_datetime

    naive = start_datetime(recording)
    return (None, False) if naive is None else (np.datetime64(naive.isoformat(), "ns"), False)


def layout(source):
    """The Layout of an Analysis or of the pipeline's Context (both carry grid, voltages, currents,
    sample_rate, nominal_frequency, recording)."""
    start, utc = start_of(source.recording)
    arrays = getattr(source, "arrays", None)
    harmonics = getattr(source, "harmonics", None)
    if isinstance(harmonics, dict):
        names = tuple(harmonics)
    elif arrays is True:
        names = tuple(c.array for c in COLUMNS if c.array)
    else:
        names = tuple(arrays or ())
    return Layout(grid=source.grid, phases=len(source.voltages), currents=bool(source.currents),
                  inter=bool(getattr(source, "inter_harmonics", False)),
                  orders=highest_order(source.sample_rate, source.nominal_frequency), arrays=names,
                  start=start, utc=utc)


def clock(seconds, lay):
    """datetime64[ns] of `seconds` after the layout's start (NaN seconds give NaT)."""
    seconds = np.asarray(seconds, np.float64)
    ns = np.round(seconds * 1e9)
    out = lay.start + np.where(np.isfinite(ns), ns, 0).astype("m8[ns]")
    out[~np.isfinite(ns)] = np.datetime64("NaT")
    return out


# --- The tables ---------------------------------------------------------------------------------------------

def _named(parts):
    """A structured array from [(name, dtype, values)] (values broadcast to the rows)."""
    # Most values are arrays already: their own ndim and len, not numpy's dispatch for each of hundreds.
    n = max((len(v) if isinstance(v, np.ndarray) else len(np.asarray(v)) for _, _, v in parts
             if (v.ndim if isinstance(v, np.ndarray) else np.ndim(v))), default=0)
    dtype = np.dtype([(name, dt) for name, dt, _ in parts])
    out = np.empty(n, dtype)
    for name, _, values in parts:
        out[name] = values
    return out


def _field(records, path):
    value = records
    for part in path.split("."):
        value = value[part]
    return value


def _pick(value, part):
    if part == "re":
        return np.real(value)
    if part == "im":
        return np.imag(value)
    return value


def _with_time(parts, lay, seconds):
    if lay.start is not None:
        parts.append(("time", "M8[ns]", clock(seconds, lay)))
    return parts


def phase_text(masks):
    """Bit masks of phases as text: 'A,B,C', '-' for none."""
    masks = np.asarray(masks, np.int64)
    table = np.array([",".join(PHASES[p] for p in range(3) if m & (1 << p)) or "-" for m in range(8)])
    return table[masks & 7] if masks.size else np.zeros(0, "U5")


def event_type_text(codes):
    codes = np.asarray(codes, np.int64)
    return np.array([EVENT_TYPES.get(int(c), str(int(c))) for c in codes], "U12")


def period(records, lay):
    """The period table from the module's period records (with their ``gap`` mark)."""
    n = len(records)
    phase = np.asarray(records["phase"], np.int64)
    total, phases = phase < 0, phase >= 0
    label = np.where(total, "total", np.array(PHASES)[np.clip(phase, 0, 2)]) if n else np.zeros(0, "U5")
    parts = []
    for c in columns("period"):
        if c.name in ("phase", "time") or c.per == "sequence":
            if c.name == "phase":
                parts.append(("phase", "U5", label))
            elif c.per == "sequence" and lay.phases == 3:
                parts += _period_sequence(records, c, lay, total)
            continue
        values = _pick(_field(records, c.field), c.name.rsplit(".", 1)[-1]) if c.field else None
        if c.dtype != "f8":
            parts.append((c.name, c.dtype, values))
            continue
        values = np.array(values, np.float64)
        if not lay.measures(c):
            values[:] = np.nan
        elif c.rows == "total":
            values[phases] = np.nan
        elif c.rows == "phases":
            values[total] = np.nan
        parts.append((c.name, "f8", values))
    return _named(_with_time(parts, lay, records["time"]))


def _period_sequence(records, c, lay, total):
    """The period value's symmetrical component m lies in record m of its item (the total, A, B): on the
    total row, sequence m in its column; NaN elsewhere."""
    out = []
    component = records["symmetricalComponent"]
    item = np.asarray(records["item"], np.int64)
    n = len(records)
    first = np.flatnonzero(total)
    for m, name in enumerate(SEQUENCES):
        values = np.full(n, np.nan)
        if lay.measures(c) and len(first):
            at = first + m
            ok = at < n
            ok[ok] = item[at[ok]] == item[first[ok]]
            values[first[ok]] = _pick(component[c.field][at[ok]], c.name.rsplit(".", 1)[-1])
            gap = np.asarray(records["gap"][first], bool) if "gap" in records.dtype.names else None
            if gap is not None:
                values[first[gap]] = np.nan
        out.append((f"{name}.{c.name}", "f8", values))
    return out


def _slots(lay):
    """(slot index in the window's record, prefix, is the total) of the window's phase copies."""
    if lay.phases == 1:
        return [(0, "", False)]
    return [(k, PHASES[k] + ".", False) for k in range(lay.phases)] + [(lay.phases, "total.", True)]


def windowed(records, arrays, flags, gaps, lay):
    """The windowed table from the module's windowed records, their arrays (dict name -> (windows, slots,
    orders), or None), the windows' §4.7 flags and gap marks."""
    n = len(records)
    parts = []
    width = lay.orders + 1
    for c in columns("windowed"):
        if c.name == "time":
            continue
        if c.name in ("flagged", "gap"):
            marks = flags if c.name == "flagged" else gaps
            parts.append((c.name, "?", np.zeros(n, bool) if marks is None or len(marks) != n else marks))
        elif c.per is None and c.field:
            parts.append((c.name, c.dtype, records[c.field]))
        elif c.per is None:  # the unbalance ratios
            seq, field = next((s, f) for name, _, _, s, f, _ in _UNBALANCE if name == c.name)
            if lay.phases == 3:
                values = np.array(records["symmetricalComponents"][:, seq][field], np.float64)
                parts.append((c.name, "f8", values if lay.measures(c) else np.full(n, np.nan)))
        elif c.per == "sequence":
            if lay.phases == 3:
                for m, name in enumerate(SEQUENCES):
                    values = np.array(_pick(records["symmetricalComponents"][:, m][c.field],
                                            c.name.rsplit(".", 1)[-1]), np.float64)
                    parts.append((f"{name}.{c.name}", "f8", values if lay.measures(c) else np.full(n, np.nan)))
        elif c.orders:
            if c.array not in lay.arrays:
                continue  # not fetched: not in the table
            source = None if arrays is None else arrays.get(c.array)
            for slot, prefix, is_total in _slots(lay):
                if is_total:
                    continue
                block = np.full((n, width), np.nan)
                if source is not None and lay.measures(c) and len(source) == n:
                    have = min(width, source.shape[-1])
                    block[:, :have] = source[:, slot, :have]
                parts.append((prefix + c.name, ("f8", (width,)), block))
        else:
            for slot, prefix, is_total in _slots(lay):
                if (c.rows == "phases" and is_total) or (c.rows == "total" and not is_total):
                    continue
                values = np.array(_field(records["phases"][:, slot], c.field), np.float64)
                parts.append((prefix + c.name, "f8", values if lay.measures(c) else np.full(n, np.nan)))
    if not n:
        parts = [(name, dt, np.zeros((0,) + np.dtype(dt).shape)) for name, dt, _ in parts]
    return _named(_with_time(parts, lay, records["time"]))


def events(rows, lay):
    parts = [(c.name, c.dtype, rows[c.name]) for c in columns("events") if c.name not in ("type", "phases", "time")]
    parts = [("type", "U12", event_type_text(rows["type"])), ("phases", "U5", phase_text(rows["phases"]))] + parts
    return _named(_with_time(parts, lay, rows["startTime"]))


def rvc(rows, lay):
    parts = [(c.name, c.dtype, phase_text(rows["phases"]) if c.name == "phases" else rows[c.name])
             for c in columns("rvc") if c.name != "time"]
    return _named(_with_time(parts, lay, rows["startTime"]))


def frequency(rows, lay):
    parts = [("seconds", "f8", rows["time"]), ("frequency", "f8", rows["frequency"]), ("valid", "?", rows["valid"])]
    return _named(_with_time(parts, lay, rows["time"]))


def frequency_10s(rows, lay, sample_rate, divisor):
    """The tracker's 10-second frequencies (it counts caller indices: positions times ``divisor``)."""
    per_second = sample_rate * divisor
    start = np.asarray(rows["firstSampleIndex"], np.float64) / per_second
    parts = [("startTime", "f8", start), ("endTime", "f8", np.asarray(rows["endSampleIndex"], np.float64) / per_second),
             ("frequency", "f8", rows["frequency"]), ("cycleCount", "i8", rows["cycleCount"]),
             ("flag", "?", rows["flag"])]
    return _named(_with_time(parts, lay, start))


def aggregated(rows, lay):
    """An aggregated table (its fields are named as the schema names them already) with its time: the tag."""
    tag = rows["tagTime"] if "tagTime" in rows.dtype.names else rows["endTime"]
    parts = [(name, rows.dtype[name], rows[name]) for name in rows.dtype.names]
    return _named(_with_time(parts, lay, tag))


def flicker(pst, plt, lay):
    """Pst rows, then Plt rows, with their kind and a column per voltage ('A', 'B', 'C'; 'value' on one)."""
    out = []
    for kind, key, rows in (("Pst", "pst", pst), ("Plt", "plt", plt)):
        parts = [("kind", "U3", np.full(len(rows), kind)), ("clockInterval", "i8", rows["clockInterval"]),
                 ("startTime", "f8", rows["startTime"]), ("endTime", "f8", rows["endTime"])]
        for label in lay.labels:
            parts.append((label or "value", "f8", rows[(label + "." if label else "") + key]))
        parts += [(name, "?", rows[name]) for name in ("gap", "flagged", "complete")]
        out.append(_named(_with_time(parts, lay, rows["endTime"])))
    return np.concatenate(out)


def signalling(rows, lay):
    parts = [("seconds" if name == "time" else name, rows.dtype[name], rows[name]) for name in rows.dtype.names]
    return _named(_with_time(parts, lay, rows["time"]))


def signalling_3s(rows, lay):
    parts = [(name, rows.dtype[name], rows[name]) for name in rows.dtype.names]
    return _named(_with_time(parts, lay, rows["endTime"]))


# --- Names, flattening, pandas and xarray ----------------------------------------------------------------------

_PREFIX = re.compile(r"^(A|B|C|total|zero|positive|negative)\.(.*)$")


def describe(table, name):
    """The schema's Column of a table's column `name` (a copy's name, e.g. 'B.harmonicCurrent7'); a KeyError when
    the schema does not have it."""
    rules = columns(table)
    base, prefix = name, None
    match = _PREFIX.match(name)
    if match:
        prefix, base = match.group(1), match.group(2)
    if name in PHASES or name == "value":
        prefix, base = (None if name == "value" else name), ""
    for c in rules:
        per_ok = (c.per == "phase" and prefix in PHASES + ("total", None)) or \
            (c.per == "sequence" and prefix in SEQUENCES) or (c.per is None and prefix is None)
        if not per_ok:
            continue
        if c.name == base or (c.orders and re.fullmatch(re.escape(c.name) + r"\d*", base)):
            return c
    raise KeyError(f"{table}: no column {name!r} in the schema")


def flatten(table, prefix=""):
    """Columns of a structured array as an ordered dict name -> 1-D array: nested fields joined with '.', complex
    ones as '.re' and '.im', a field holding an array per row (the windows' orders) as a column per element,
    its index after the name ('A.harmonicVoltage5')."""
    out = {}
    for name in table.dtype.names:
        column = table[name]
        if column.dtype.names:
            out.update(flatten(column, prefix + name + "."))
        elif column.ndim == 2 and not column.dtype.names:
            for k in range(column.shape[1]):
                out[f"{prefix}{name}{k}"] = column[:, k]
        elif column.ndim > 2:
            continue
        elif column.dtype.kind == "c":  # a complex field (the column is an array: its dtype says it)
            out[prefix + name + ".re"] = column.real
            out[prefix + name + ".im"] = column.imag
        else:
            out[prefix + name] = column
    return out


def units(table, names):
    """name -> unit of the columns `names` of a table (the schema's)."""
    return {name: describe(table, name).unit for name in names}


_CATEGORIES = {"phase": ["total", "A", "B", "C"], "type": list(EVENT_TYPES.values()), "kind": ["Pst", "Plt"]}


def to_pandas(name, table, lay):
    """A table as a DataFrame: its columns flattened, text columns of few values as categories, indexed by
    ``time`` (tz-aware UTC when the zone is known) when the table has it; ``attrs`` holds each column's unit
    ('units') and meaning ('meanings') and the time zone."""
    import pandas as pd

    columns_ = flatten(table)
    frame = pd.DataFrame({k: v for k, v in columns_.items()})
    for column, categories in _CATEGORIES.items():
        if column in frame and frame[column].dtype == object:
            frame[column] = pd.Categorical(frame[column], categories=categories)
    if "phases" in frame:
        frame["phases"] = frame["phases"].astype("category")
    if "time" in frame:
        index = pd.DatetimeIndex(frame.pop("time"), name="time")
        frame.index = index.tz_localize("UTC") if lay.utc else index
    frame.attrs["units"] = units(name, list(frame.columns))
    frame.attrs["meanings"] = {k: describe(name, k).meaning for k in frame.columns}
    frame.attrs["time_zone"] = lay.time_zone
    return frame


def _split(name):
    """(prefix or None, base) of a column name."""
    match = _PREFIX.match(name)
    if match:
        return match.group(1), match.group(2)
    if name in PHASES or name == "value":
        return name, ""
    return None, name


def to_xarray(name, table, lay):
    """A table as an xarray Dataset with labelled dimensions: ``time`` (the rows; coordinates ``time`` when
    the start is known and ``seconds`` or the table's own start), ``phase`` (A, B, C, total), ``sequence``
    (zero, positive, negative) and ``order`` (harmonic order); units and meanings in each variable's attributes.
    The period table's rows of one period value become one ``time`` step."""
    import xarray as xr

    if name == "period":
        return _period_xarray(table, lay)
    data, coords = {}, {}
    names = list(table.dtype.names)
    phases = list(PHASES[:lay.phases]) + (["total"] if name == "windowed" and lay.phases > 1 else [])
    groups = {}
    for column in names:
        if column == "time":
            continue
        prefix, base = _split(column)
        rule = describe(name, column)
        key = rule.name or {"flicker": "severity"}.get(name, "voltage")
        order = None
        if rule.orders and table[column].ndim == 1:  # one column per order: the order after the name
            order = int(base[len(rule.name):])
        if rule.per == "sequence":
            key = "sequence." + key
        groups.setdefault(key, []).append((prefix, order, table[column], rule))
    for key, members in groups.items():
        rule = members[0][3]
        n = len(table)
        labels = None
        if rule.per == "phase":
            labels = phases if lay.phases > 1 else [""]
        elif rule.per == "sequence":
            labels = list(SEQUENCES)
        orders = sorted({m[1] for m in members if m[1] is not None})
        if members[0][2].ndim == 2:  # one field holding the orders
            width = members[0][2].shape[1]
        else:
            width = max(orders[-1], lay.orders) + 1 if orders else None
        shape = (n,) + ((len(labels),) if labels else ()) + ((width,) if width else ())
        sample = members[0][2]
        if sample.dtype.kind == "f" or len(shape) > 1:
            array = np.full(shape, np.nan)
        else:
            array = np.array(sample)
        for prefix, order, values, _ in members:
            where = (slice(None),)
            if labels:
                where += (labels.index("" if prefix in ("value",) or (lay.phases == 1 and prefix == "A")
                                       else (prefix or "")),)
            if order is not None:
                where += (order,)
            array[where] = values
        dims = ("time",) + (("sequence" if rule.per == "sequence" else "phase",) if labels else ()) + \
            (("order",) if width else ())
        if array.dtype.kind == "U":
            array = array.astype(object)
        data[key] = (dims, array, {"units": rule.unit, "long_name": rule.meaning})
    if any("phase" in d[0] for d in data.values()):
        coords["phase"] = phases if lay.phases > 1 else ["A"]
    if any("sequence" in d[0] for d in data.values()):
        coords["sequence"] = list(SEQUENCES)
    if any("order" in d[0] for d in data.values()):
        coords["order"] = np.arange(max(d[1].shape[-1] for d in data.values() if "order" in d[0]))
    if "time" in names:
        coords["time"] = ("time", table["time"])
    ds = xr.Dataset(data, coords=coords)
    ds.attrs["table"] = name
    if lay.time_zone:
        ds.attrs["time_zone"] = lay.time_zone
    return ds


def _period_xarray(table, lay):
    """The period table with its rows of one value joined: dims time (the value) and phase."""
    import xarray as xr

    items, first = np.unique(table["item"], return_index=True)
    row = np.searchsorted(items, table["item"])
    labels = (["total"] if lay.phases > 1 else []) + list(PHASES[:lay.phases])
    column = np.array([labels.index(p) for p in table["phase"]], np.int64) if len(table) else np.zeros(0, np.int64)
    data = {}
    seq = {}
    for name in table.dtype.names:
        if name in ("item", "phase", "time", "seconds"):
            continue
        rule = describe("period", name)
        values = table[name]
        if rule.per == "sequence":
            prefix, base = _split(name)
            seq.setdefault(base, {})[prefix] = values[first]
            continue
        if name == "gap":
            data[name] = (("time",), values[first], {"long_name": rule.meaning})
            continue
        grid = np.full((len(items), len(labels)), np.nan)
        grid[row, column] = values
        data[name] = (("time", "phase"), grid, {"units": rule.unit, "long_name": rule.meaning})
    for base, parts in seq.items():
        rule = describe("period", "zero." + base)
        data["sequence." + base] = (("time", "sequence"), np.column_stack([parts[s] for s in SEQUENCES]),
                                    {"units": rule.unit, "long_name": rule.meaning})
    coords = {"phase": labels, "seconds": ("time", table["seconds"][first]), "item": ("time", items)}
    if seq:
        coords["sequence"] = list(SEQUENCES)
    if "time" in table.dtype.names:
        coords["time"] = ("time", table["time"][first])
    ds = xr.Dataset(data, coords=coords)
    ds.attrs["table"] = "period"
    if lay.time_zone:
        ds.attrs["time_zone"] = lay.time_zone
    return ds


# --- The manual's table of columns --------------------------------------------------------------------------

def markdown():
    """docs/columns.md, made from the schema (python/tests/test_schema.py holds the file to it)."""
    import textwrap

    lines = ["# Columns of the result tables", ""]
    lines += textwrap.wrap(
             "Made from `python/powerquality/schema.py` (the test suite holds this page to it): the columns of "
             "the tables that `Analysis.tables()`, `Analysis.as_pandas()`, `Analysis.to_xarray()`, the CSV files "
             "and detail.h5 hold, each with its unit. What is not measured is NaN, never 0. Names: `<p>.` is a "
             "phase's copy (`A.`, `B.`, `C.`, in the windowed table also `total.`; none on a single-phase "
             "analysis), `<s>.` a symmetrical component's (`zero.`, `positive.`, `negative.`), `<n>` a column "
             "per harmonic order n (in numpy and HDF5 one field holding the orders, index n). `Needs`: what "
             "the analysis must have for the column to be measured (else NaN): currents, three phases, delta "
             "(line-to-line) channels, inter-harmonics asked for. `time` is there when the recording's start "
             "is known (UTC when its offset is).", 110) + ["", "The records these tables are made from, with "
                                                          "their layout, are in [records and units](records.md).", ""]
    for table in TABLES:
        rules = columns(table)
        if not rules:
            continue
        about = ABOUT.get(table, "")
        lines += [f"## {table}", "", about[:1].upper() + about[1:] + ".", "",
                  "| Column | Unit | Type | Needs | Meaning |", "|---|---|---|---|---|"]
        for c in rules:
            name = c.name
            if c.orders:
                name += "<n>"
            if c.per == "phase":
                name = "<p>." + name if name else "<p> (A, B, C, or value)"
            elif c.per == "sequence":
                name = "<s>." + name
            needs = ", ".join(c.needs).replace("inter_or_currents", "inter or currents")
            rows = {"total": "; total only", "phases": "; not total"}.get(c.rows, "") if table in (
                "period", "windowed") else ""
            kind = {"f8": "float", "i8": "int", "i4": "int", "?": "bool", "M8[ns]": "datetime64[ns]"}.get(
                c.dtype, "text")
            unit = c.unit.replace("|", "\\|")
            lines.append(f"| `{name}` | {unit} | {kind} | {needs}{rows} | {c.meaning} |")
        lines.append("")
    return "\n".join(lines)

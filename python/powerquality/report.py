"""Summary text, tables and the report picture: of an Analysis, or block by block from the pipeline.

Each output is a consumer of the pipeline's blocks (``process(block)``), so
the command line writes as the analysis goes, in memory independent of the
recording's length: :class:`Digest` (what the summary says), :class:`Tables`
(the tables that grow with events and intervals), :class:`Detail` (per-cycle
and per-window records, with ``--detail``) and :class:`Picture`. The
functions ``summary``, ``write_tables`` and ``plot`` give the same from a
whole :class:`~powerquality.analysis.Analysis`.

Tables (CSV, one header line; the columns of the schema's tables, see
``powerquality.schema``: times in seconds from the first sample, and a last
column ``time``, ISO 8601 in UTC with its offset, ``+00:00``, when the
recording gives its start (``Recording.start_utc``: the recorder's clock
less its offset from UTC, the clock itself when the file gives no time
zone): one instant wherever it is read, one time base for recordings of
every time zone): events.csv and rvc.csv (``cutByGap`` 1 on one that ran into
missing samples and ends with the last value before them), frequency_10s.csv (the tracker's
10-second frequencies), aggregated_3s.csv (150/180 cycles),
aggregated_10min.csv and aggregated_2h.csv (twelve 10-minute intervals of
the clock, root mean square of their values, flagged when one of them is;
windowCount is the number of 10-minute values), flicker.csv (a row per
10-minute interval, kind Pst, and per 2 hours, kind Plt, of the clock: the
severity of each voltage, ``gap`` 1 when a sample was missing in it, ``flagged`` 1
when a dip, swell, interruption or gap fell in it, or for Plt in one of its
Pst, ``complete`` 1 when settled data cover it whole), and with signalling
frequencies signalling.csv (a row per window and frequency: the RMS voltage
of each phase) and signalling_3s.csv (their 150/180-cycle values). An
aggregated value is flagged when a window in
it overlaps a dip, swell or interruption (IEC 61000-4-30 §4.7) and marked
``gap`` when a window in it lacks a tracked frequency or a sample.
Columns are formatted by numpy a column at a time.

Detail (``--detail``): detail.h5, an HDF5 file with one table per kind,
``period`` (every period value), ``frequency`` (every tracked cycle) and
``windowed`` (every window: its values per phase and total, its arrays of
orders, its symmetrical components), the schema's tables (an array of orders
one field, text as ASCII bytes, ``time`` as int64 nanoseconds since
1970-01-01), each a compound dataset appended block by block in chunks that
fit it, compressed, with the units of its columns and the recording's start,
time zone, channels and rates as attributes (see :class:`Detail`). HDF5
rather than CSV because a week at 10 kHz makes hundreds of millions of rows:
stored as binary numbers they need no formatting, keep full precision, and
are read back by slices (``h5py.File(...)["period"][a:b]``) without parsing
a whole file. It needs
Debian's python3-h5py.
"""

import datetime
import os
import sys
import time
import types

import numpy as np

from . import schema
from .analysis import DIVISOR, EVENT_DTYPE, EVENT_TYPES, RVC_DTYPE, Rows, flagged_cycles, flatten, start_datetime

PHASE_NAMES = "ABC"
_EVENT_COLOURS = {1: "tab:orange", 2: "tab:red", 3: "tab:purple"}


def _phases(mask):
    return ",".join(PHASE_NAMES[p] for p in range(3) if mask & (1 << p)) or "-"


class Digest:
    """Consumer: what the summary says, gathered block by block (ranges, counts, events).

    It keeps counts, ranges and the few rows it lists (the first events by
    start, the first RVCs), never a block's tables, so its memory does not
    grow with the recording.
    """

    MAX_LISTED = 100  # events and RVCs listed one a line; the tables hold every one

    def __init__(self, ctx):
        self.ctx = ctx
        # Lowest and highest of the cycles that are valid and not flagged by an event, cycles, left out for
        # the tracker's mark, left out (valid) for a dip, swell or interruption over them.
        self.frequency = [np.inf, -np.inf, 0, 0, 0]
        self.rms = {("U", k): [np.inf, -np.inf] for k in range(len(ctx.voltages))}
        self.rms.update({("I", k): [np.inf, -np.inf] for k in range(len(ctx.currents))})
        # The earliest events by start (in the order of a stable sort of all of them) and the first RVCs, with
        # the counts of all.
        self.events = self.rvc = None
        self.event_count = self.rvc_count = 0
        self.thd = [np.inf, -np.inf, 0]
        self.short = [0, 0, 0, 0]  # intervals, whole, flagged, with a gap
        self.ten = [0, 0, 0, 0]
        # Per kind ('pst', 'plt'): rows seen, their voltages' columns, the largest finite-or-not value of each
        # (NaN ignored) and whether any was finite; 'pinst': the largest Pinst of each voltage, once measured.
        self.flicker = {"pst": [0, None, None, None], "plt": [0, None, None, None], "pinst": None}

    def process(self, b):
        f = b.cycles
        clean = f["frequency"][f["valid"] & ~f["flagged"]]
        if len(clean):
            self.frequency[0] = min(self.frequency[0], float(clean.min()))
            self.frequency[1] = max(self.frequency[1], float(clean.max()))
        self.frequency[2] += len(f)
        self.frequency[3] += int(np.count_nonzero(~f["valid"]))
        self.frequency[4] += int(np.count_nonzero(f["valid"] & f["flagged"]))
        period = b.period
        if len(period):
            phases = {}  # each phase's rows, for its voltage and its current
            # The phases as one contiguous column: numpy compares a field of records (a stride of some
            # 400 bytes) with a number some twenty times slower than a copy of it.
            phase = np.array(period["phase"])
            for (kind, k), span in self.rms.items():
                if k not in phases:
                    phases[k] = phase == k
                values = period["rmsVoltage" if kind == "U" else "rmsCurrent"][phases[k]]
                if not len(values):
                    continue
                # NaN left out as the finite values' range leaves it out; an infinity (never seen) is looked into.
                low, high = np.fmin.reduce(values), np.fmax.reduce(values)
                if not (np.isfinite(low) and np.isfinite(high)):
                    values = values[np.isfinite(values)]
                    if not len(values):
                        continue
                    low, high = values.min(), values.max()
                span[0], span[1] = min(span[0], float(low)), max(span[1], float(high))
        self._keep(b.events, b.rvc)
        # Windows cut to their times (spans.WINDOW_TIMES) come with their THD range reduced instead.
        if b.windowed is not None and len(b.windowed) and "phases" in b.windowed.dtype.names:
            thd = _thd_of(b.windowed, len(self.ctx.voltages))
            thd = thd[np.isfinite(thd)]
            if len(thd):
                self.thd[0], self.thd[1] = min(self.thd[0], float(thd.min())), max(self.thd[1], float(thd.max()))
            self.thd[2] += len(b.windowed)
        if b.aggregated is not None:
            for counts, rows in ((self.short, b.aggregated["3s"]), (self.ten, b.aggregated["10min"])):
                counts[0] += len(rows)
                counts[1] += int(np.count_nonzero(rows["complete"]))
                counts[2] += int(np.count_nonzero(rows["flagged"]))
                counts[3] += int(np.count_nonzero(rows["gap"])) if "gap" in rows.dtype.names else 0
        self._reduced(getattr(b, "reduced", None))
        if getattr(b, "flicker", None) is not None:
            for key in ("pst", "plt"):
                self._largest(key, b.flicker[key])
            with np.errstate(all="ignore"):
                peak = np.asarray(b.flicker["pinst_max"])
                pinst = self.flicker["pinst"]
                self.flicker["pinst"] = peak if pinst is None else np.fmax(pinst, peak)

    def _reduced(self, reduced):
        """Ranges and counts reduced elsewhere (a block of spans whose period values, cycles or windows were
        dropped once reduced: ``spans.blocks``): {'rms': {(kind, k): [low, high]}, 'frequency': [low, high,
        cycles, flagged, in events], 'thd': [low, high, windows], 'short': [3-s intervals, whole, flagged, with a
        gap]}, any of them."""
        if not reduced:
            return
        for k, count in enumerate(reduced.get("short", ())):
            self.short[k] += count
        for key, (low, high) in reduced.get("rms", {}).items():
            if key in self.rms:
                span = self.rms[key]
                span[0], span[1] = min(span[0], low), max(span[1], high)
        for name in ("frequency", "thd"):
            if name in reduced:
                was, new = getattr(self, name), reduced[name]
                was[0], was[1] = min(was[0], new[0]), max(was[1], new[1])
                for k in range(2, len(was)):
                    was[k] += new[k]

    def _keep(self, events, rvc):
        """The events and RVCs that the summary lists, of those so far; their counts."""
        self.event_count += len(events)
        self.rvc_count += len(rvc)
        if len(events):
            # A stable sort of the kept (earlier) rows and the new ones keeps the order of a stable sort of all.
            events = events if self.events is None else np.concatenate([self.events, events])
            self.events = events[np.argsort(events["startTime"], kind="stable")[:self.MAX_LISTED]]
        if len(rvc) and (self.rvc is None or len(self.rvc) < self.MAX_LISTED):
            self.rvc = (rvc if self.rvc is None else np.concatenate([self.rvc, rvc]))[:self.MAX_LISTED].copy()

    def _largest(self, key, rows):
        kept = self.flicker[key]
        if kept[1] is None:
            kept[1] = [n for n in rows.dtype.names if n.endswith(key)]
            kept[2] = np.full(len(kept[1]), np.nan)
            kept[3] = np.zeros(len(kept[1]), bool)
        kept[0] += len(rows)
        if len(rows):
            for j, name in enumerate(kept[1]):
                values = rows[name]
                kept[2][j] = np.fmax(kept[2][j], np.fmax.reduce(values))
                kept[3][j] |= bool(np.any(np.isfinite(values)))

    def lines(self):
        """The summary printed by the command line, as a list of lines."""
        ctx = self.ctx
        r = ctx.recording
        n = ctx.positions
        voltages = [c.name for c in ctx.voltages]
        currents = [c.name for c in ctx.currents]
        lines = [
            f"recording   {r.source}: {len(r.channels)} analog channels, {ctx.sample_rate:g} Hz, "
            f"{n} samples ({n / ctx.sample_rate:.3f} s), nominal {ctx.nominal_frequency:g} Hz"
            + (f", start {r.start}" if r.start else ""),
            f"channels    {ctx.grid} voltages {', '.join(voltages)}"
            + (f"; currents {', '.join(currents)}" if currents else "; no currents"),
        ]
        if getattr(ctx, "inference", None) is not None:
            lines += ctx.inference.lines()  # each channel's role, Un and Udin, with their reasons
        missing = getattr(ctx, "missing_samples", 0) or 0
        if missing:
            first = int(ctx.first_missing)
            lines.append(f"missing     {missing} sample(s) ({missing / ctx.sample_rate:.6g} s), the first at sample "
                         f"{first} ({first / ctx.sample_rate:.6g} s): not measured, marked gap, no events in them")
        low, high, cycles, flagged, in_events = self.frequency
        where = "near the ends, a gap, without a reference or next to a step of its level" if missing else \
            "near the ends, without a reference or next to a step of its level"
        # Each cycle left out is counted once: for the tracker's flag, else for an event over it.
        left = ([f"; {flagged} flagged, {where}, left out"] if flagged else []) + \
            ([f"; {in_events} measured over a dip, swell or interruption, left out"] if in_events else [])
        lines.append(f"frequency   {_span(low, high, 'Hz')} ({cycles} cycles{''.join(left)})")
        for kind, names, unit in (("U", voltages, "V"), ("I", currents, "A")):
            for k, name in enumerate(names):
                lines.append(f"RMS {kind} {PHASE_NAMES[k] if len(names) > 1 else ' '}     {name}: "
                             f"{_span(*self.rms[(kind, k)], unit)}")
        events = self.events if self.events is not None else np.zeros(0, EVENT_DTYPE)
        rvc = self.rvc if self.rvc is not None else np.zeros(0, RVC_DTYPE)
        lines.append(f"events      {self.event_count} (Udin {ctx.declared_voltage:.6g} V; dip < 90 %, swell > 110 %, "
                     "interruption < 5 %; IEC 61000-4-30 Ed. 3 time stamps)")
        for e in events[:self.MAX_LISTED]:
            state = "" if e["ended"] else " (cut short by a gap)" if _cut(e) else " (still running at the end)"
            lines.append(f"  {EVENT_TYPES[int(e['type'])]:<12} phases {_phases(int(e['phases'])):<6} at "
                         f"{e['startTime']:.4f} s for {e['duration'] * 1000:.1f} ms, extreme "
                         f"{e['extremeVoltage']:.6g} V ({e['extremePercent']:.1f} % of Udin){state}")
        if self.event_count > self.MAX_LISTED:
            lines.append(f"  ... and {self.event_count - self.MAX_LISTED} more (events.csv has them all)")
        threshold = getattr(ctx, "rvc_threshold", 5.0)
        steady = int(round(2 * ctx.nominal_frequency))
        lines.append(f"RVC         {self.rvc_count} rapid voltage change(s) (IEC 61000-4-30 Class A: threshold "
                     f"{threshold:g} % of Udin, hysteresis {threshold / 2:g} %, steady state {steady} values; "
                     "dips and swells are not RVCs)")
        for e in rvc[:self.MAX_LISTED]:
            phases = f"phases {_phases(int(e['phases']))} " if "phases" in rvc.dtype.names else ""
            lines.append(f"  {phases}at {e['startTime']:.4f} s, duration {e['duration'] * 1000:.1f} ms, "
                         f"dUmax {e['deltaUmax']:.6g} V, dUss {e['deltaUss']:+.6g} V"
                         + ("" if e["ended"] else " (cut short by a gap)" if _cut(e) else
                            " (still running at the end)"))
        if self.rvc_count > self.MAX_LISTED:
            lines.append(f"  ... and {self.rvc_count - self.MAX_LISTED} more (rvc.csv has them all)")
        if self.thd[2]:
            lines.append(f"THDS U      {_span(self.thd[0], self.thd[1], '%')} over {self.thd[2]} windows")
        else:
            lines.append("THD         no windowed results in this build")
        if ctx.window_cycles:
            cycles = 180 if ctx.nominal_frequency > 55.0 else 150
            lines.append(f"aggregated  {self.short[0]} {cycles}-cycle interval(s), {self.short[1]} of them whole, "
                         f"{self.short[2]} flagged, {self.short[3]} with a gap; {self.ten[0]} 10-minute interval(s), "
                         f"{self.ten[1]} whole, {self.ten[2]} flagged, {self.ten[3]} with a gap (flagged: over a "
                         "dip, swell or interruption; gap: no tracked frequency or a missing sample)")
        lines += self._flicker_lines()
        return lines

    def _flicker_lines(self):
        """Flicker: the largest Pst, Plt and Pinst of each voltage."""
        f = self.flicker
        if f["pinst"] is None:
            return ["flicker     not measured (needs a sample rate of at least 20 times the nominal frequency)"]
        names = [c.name for c in self.ctx.voltages]
        pinst = f["pinst"]
        out = []
        for key, label in (("pst", "Pst"), ("plt", "Plt")):
            count, _, values, finite = f[key]
            if not count:
                span = "10-minute interval" if key == "pst" else "2 hours of the clock"
                out.append(f"  {label}: none (no whole {span} in the recording)")
                continue
            largest = np.where(finite, values, np.nan)
            out.append(f"  {label} largest of {count}: "
                       + ", ".join(f"{name} {v:.3f}" for name, v in zip(names, largest)))
        lamp = getattr(self.ctx, "flicker_lamp", None)
        why = getattr(self.ctx, "flicker_lamp_reason", "")
        head = "flicker     " + (f"{lamp:g} V lamp" + (f" ({why})" if why else "") + "; " if lamp else "") + \
            "Pinst largest after settling: " + \
            (", ".join(f"{name} {v:.3g}" for name, v in zip(names, pinst)) if np.any(np.isfinite(pinst))
             else "none (the meter settles in its first 5 s)")
        return [head] + out


def _cut(row):
    """Whether an event or RVC row ran into missing samples (tables of older versions have no such column)."""
    return "cutByGap" in row.dtype.names and bool(row["cutByGap"])


def _span(low, high, unit):
    """low .. high: six significant digits, percentages to a thousandth (no 3.8729e-06 % for a clean sine)."""
    if not low <= high:
        return "-"
    return f"{low:.3f} .. {high:.3f} {unit}" if unit == "%" else f"{low:.6g} .. {high:.6g} {unit}"


def _context(a):
    """The pipeline's context of an Analysis."""
    channels = {c.name: c for c in a.recording.channels}
    return types.SimpleNamespace(recording=a.recording, grid=a.grid, voltages=[channels[n] for n in a.voltages],
                                 currents=[channels[n] for n in a.currents], sample_rate=a.sample_rate,
                                 nominal_frequency=a.nominal_frequency, positions=a.positions,
                                 declared_voltage=a.declared_voltage, clock_offset=a.clock_offset,
                                 udin_source=getattr(a, "udin_source", None),
                                 inference=getattr(a, "inference", None),
                                 rvc_threshold=getattr(a, "rvc_threshold", 5.0),
                                 window_cycles=1 if a.windowed is not None else 0,
                                 missing_samples=getattr(a, "missing_samples", 0),
                                 first_missing=getattr(a, "first_missing", None),
                                 flicker_lamp=(a.flicker or {}).get("lamp") if getattr(a, "flicker", None) else None,
                                 arrays=tuple(a.harmonics or ()), inter_harmonics=getattr(a, "inter_harmonics", False))


def _block(a):
    """An Analysis as one last block."""
    return types.SimpleNamespace(period=a.period, frequency=a.frequency, ten_second=getattr(a, "ten_second", None),
                                 cycles=flagged_cycles(a.frequency, getattr(a, "frequency_flags", None), a.events),
                                 events=a.events, rvc=a.rvc, windowed=a.windowed, harmonics=a.harmonics,
                                 window_flags=getattr(a, "window_flags", None),
                                 window_gaps=getattr(a, "window_gaps", None), aggregated=a.aggregated,
                                 flicker=getattr(a, "flicker", None), signalling=getattr(a, "signalling", None),
                                 signalling_3s=getattr(a, "signalling_3s", None), last=True,
                                 position=0, stop=a.positions)


def summary(a):
    """The summary printed by the command line, as a list of lines."""
    digest = Digest(_context(a))
    digest.process(_block(a))
    return digest.lines()


def _thd_of(windowed, phases):
    """THD of the voltage per window, the highest among the phases, percent."""
    return windowed["phases"]["thdVoltage"]["thd"][:, :phases].max(axis=1)


def clock_texts(recording, seconds):
    """ISO 8601 texts of `seconds` after the recording's start, as the tables' ``time`` column writes them: in
    UTC with +00:00 when the recording knows its offset from UTC, else on the recorder's clock without an offset;
    empty texts without a start."""
    start, utc = schema.start_of(recording)
    if start is None:
        return np.full(len(np.atleast_1d(seconds)), "", dtype=object)
    base = datetime.datetime.fromisoformat(str(np.datetime64(start, "us")))
    return _iso(base, np.atleast_1d(seconds), "+00:00" if utc else "")


def _iso(start, seconds, offset=""):
    """ISO date and time of `seconds` after the datetime `start`, to the microsecond (without a fraction
    when it is whole), followed by `offset` ('+00:00' for a start in UTC)."""
    base = np.datetime64(start.isoformat(), "us")
    stamps = base + np.round(np.asarray(seconds, np.float64) * 1e6).astype("timedelta64[us]")
    text = _trim(np.datetime_as_string(stamps, unit="us"))
    return np.char.add(text.astype(str), offset) if offset else text


def _trim(text):
    whole = np.char.endswith(text, ".000000")
    if whole.any():
        text = text.astype(object)
        text[whole] = [t[:-7] for t in text[whole]]
    return text


def iso_times(stamps, utc):
    """datetime64 values as ISO 8601 text to the microsecond (no fraction when it is whole), with '+00:00' when
    they are UTC; NaT as an empty field."""
    stamps = np.asarray(stamps).astype("M8[us]")
    text = _trim(np.datetime_as_string(stamps, unit="us"))
    if utc and len(text):
        text = np.char.add(text.astype(str), "+00:00")
    if len(text):
        text = np.where(np.isnat(stamps), "", text)
    return text


def _strings(column):
    """A column as strings: floats with ten significant digits, booleans as 1 and 0, integers as they are."""
    column = np.asarray(column)
    if column.dtype == object or column.dtype.kind in "US":
        return column
    if column.dtype.kind == "b":
        return np.where(column, "1", "0")
    if column.dtype.kind in "iu":
        return column.astype(str)
    return np.char.mod("%.10g", column.astype(np.float64))


# What a spreadsheet takes for the start of a formula when a cell begins with it (OWASP's list).
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
_QUOTED = (",", '"', "\r", "\n")


def csv_fields(column):
    """A column as CSV fields: numbers as :func:`_strings` writes them; text quoted where it must be (a comma,
    a quote, a line break: as the csv module quotes), and text that begins as a formula would (FORMULA_STARTS)
    given a leading single quote and quoted, so that a spreadsheet shows it as text and does not evaluate it.

    Only text cells are touched: a number column keeps its numbers, negative ones included."""
    column = np.asarray(column)
    if not (column.dtype == object or column.dtype.kind in "US"):
        return _strings(column)
    text = column.astype(str)
    # The cells tested as Python's texts in one pass (numpy's char functions call the same str methods, a
    # pass over the column for each start and mark).
    cells = text.tolist()
    quoted = [k for k, cell in enumerate(cells)
              if cell.startswith(FORMULA_STARTS) or any(mark in cell for mark in _QUOTED)]
    if not quoted:
        return text
    out = text.astype(object)
    for k in quoted:
        cell = ("'" if cells[k].startswith(FORMULA_STARTS) else "") + cells[k]
        out[k] = '"' + cell.replace('"', '""') + '"'
    return out


def write_fields(file, fields):
    """Rows of columns of CSV fields (texts ready to write, as :func:`csv_fields` makes them) to an open text file,
    lines ended as the csv module ends them (CR LF)."""
    file.write("".join(",".join(row) + "\r\n" for row in zip(*fields)))


# The number columns' formats, as :func:`_strings` writes them (Python's % formatting of a float64, an integer,
# a boolean as 1 or 0).
_FORMATS = {"f": "%.10g", "b": "%d", "i": "%d", "u": "%d"}


def write_csv_rows(file, columns):
    """Rows of columns of values (numbers or text) to an open text file, each column as :func:`csv_fields`.

    Numbers are formatted a row at a time by one format string (the same text as :func:`_strings` gives, a
    fraction of the cost of formatting column by column); text columns go through :func:`csv_fields`."""
    formats, values = [], []
    for column in columns:
        column = np.asarray(column)
        kind = column.dtype.kind
        if column.dtype != object and kind in _FORMATS:
            formats.append(_FORMATS[kind])
            values.append((column.astype(np.float64) if kind == "f" else column).tolist())
        else:
            formats.append("%s")
            values.append(csv_fields(column).tolist())
    row = ",".join(formats) + "\r\n"
    file.write("".join([row % fields for fields in zip(*values)]))


# Rows a table holds before it formats and writes them: formatting costs
# by the column (a 3-s table with the currents' subgroups has hundreds) more
# than by the row, and the rows come a few a block.
HELD_ROWS = 256


class _Csv:
    """A CSV table written HELD_ROWS rows at a time (the header at once, the rows held at the end on close)."""

    def __init__(self, path):
        self.path = path
        self.file = open(path, "w", newline="")
        self.header = None
        self.held, self.count = [], 0

    def write(self, columns):
        if self.header is None:
            self.header = list(columns)
            if self.header:  # the names as one text column's fields: one pass for hundreds of names
                self.file.write(",".join(csv_fields(np.array(self.header, dtype=object))) + "\r\n")
        rows = len(next(iter(columns.values()))) if columns else 0
        if rows:
            self.held.append(list(columns.values()))
            self.count += rows
            if self.count >= HELD_ROWS:
                self._flush()

    def _flush(self):
        if self.count:
            held = self.held
            write_csv_rows(self.file, held[0] if len(held) == 1 else
                           [np.concatenate([part[k] for part in held]) for k in range(len(held[0]))])
        self.held, self.count = [], 0

    def close(self):
        self._flush()
        self.file.close()


class Tables:
    """Consumer: the tables whose size grows with events and intervals, written into `directory`
    (see the module docstring); ``paths`` lists them once the last block has passed.

    Every table is written as the blocks pass but events.csv, which is in order of start while the
    events come in the order they end: its rows wait in one growing array (41 bytes an event). A table's
    rows are held until there are HELD_ROWS of them (or the end) and then formatted together: a 3-s table
    gets a few rows a block but hundreds of columns, and formatting costs by the call more than by the row.
    """

    def __init__(self, ctx, directory):
        self.ctx, self.directory = ctx, directory
        os.makedirs(directory, exist_ok=True)
        self.events = Rows(EVENT_DTYPE)  # written in order of start at the end
        self.files = {}
        self.paths = []
        self.layout = None  # once the first block has passed: the nominal frequency is known then
        self.held = {}  # name -> Rows of the table's rows not written yet

    def _table(self, name, rows, make):
        """A table's rows into name.csv: `rows` the block's structured rows, which make(rows) turns into the
        schema's table (row by row, so that it may be given the rows of many blocks at once). The first
        block's go at once (the header with them); later ones are held until there are HELD_ROWS of them (or
        the end), so that the schema's table is made and formatted once for many blocks."""
        if name not in self.files:
            self.files[name] = _Csv(os.path.join(self.directory, name + ".csv"))
            self.held[name] = (Rows(rows.dtype), make)
            self._write(name, make(rows))
            return
        if not len(rows):
            return
        held = self.held[name][0]
        if rows.dtype != held.dtype:
            self._release(name)
            held = Rows(rows.dtype)
            self.held[name] = (held, make)
        held.add(rows)
        if len(held) >= HELD_ROWS:
            self._release(name)

    def _release(self, name):
        held, make = self.held[name]
        if len(held):
            self.held[name] = (Rows(held.dtype), make)
            self._write(name, make(held.array()))

    def _write(self, name, table):
        """Rows into name.csv; the datetime column as ISO 8601 text."""
        columns = flatten(table)
        if "time" in columns:
            columns["time"] = iso_times(columns["time"], self.layout.utc)
        self.files[name].write(columns)

    def process(self, b):
        lay = self.layout = self.layout or schema.layout(self.ctx)
        self.events.add(b.events)
        self._table("rvc", b.rvc, lambda rows: schema.rvc(rows, lay))
        if b.ten_second is not None:
            fs = self.ctx.sample_rate
            self._table("frequency_10s", b.ten_second, lambda rows: schema.frequency_10s(rows, lay, fs, DIVISOR))
        if b.aggregated is not None:
            for key in ("3s", "10min", "2h"):
                self._table("aggregated_" + key, b.aggregated[key], lambda rows: schema.aggregated(rows, lay))
        f = getattr(b, "flicker", None)
        if f is not None and ("flicker" not in self.files or len(f["pst"]) or len(f["plt"])):
            # A block's Pst rows come before its Plt rows: made block by block, held as they are.
            self._table("flicker", schema.flicker(f["pst"], f["plt"], lay), lambda table: table)
        if getattr(b, "signalling", None) is not None:
            self._table("signalling", b.signalling, lambda rows: schema.signalling(rows, lay))
            self._table("signalling_3s", b.signalling_3s, lambda rows: schema.signalling_3s(rows, lay))
        if b.last:
            self._finish()

    def _finish(self):
        for name in list(self.held):
            self._release(name)
        events = self.events.array()
        events = events[np.argsort(events["startTime"], kind="stable")]
        self._table("events", events, lambda rows: schema.events(rows, self.layout))
        for name in ("events", "rvc", "frequency_10s", "aggregated_3s", "aggregated_10min", "aggregated_2h",
                     "flicker", "signalling", "signalling_3s"):
            if name in self.files:
                self.files[name].close()
                self.paths.append(self.files[name].path)


def column_units(table, names):
    """The schema's unit of each column of a detail table ('s', 'V', 'A', 'W', 'var', 'VA', 'Hz', '%', '°', '1'
    for a ratio, '' for a count, mark or text); None for a column the schema does not have."""
    out = []
    for name in names:
        try:
            out.append(schema.describe(table, name).unit)
        except KeyError:
            out.append(None)
    return out


class Detail:
    """Consumer (``--detail``): every period value, tracked cycle and window into `path` (HDF5, see the
    module docstring), appended block by block.

    Each table is a compound dataset, chunked to fit it: a chunk holds the
    rows the whole recording is expected to give (the rows of the first
    block that brings any, scaled from its length to the recording's, and
    a twentieth more; exactly the table's rows when that block is the
    last), at most CHUNK_BYTES. Chunks are compressed (COMPRESSION: LZF,
    3 to 5 % of the writing on the shared recordings, a third of their
    bytes; deflate at level 1 costs 30 to 45 %, the byte shuffle before
    LZF makes these tables larger: python/bench/detail_bench.py) and
    kept in a chunk cache large enough that a chunk filled over several
    blocks is compressed once. LZF is h5py's own filter: other HDF5 readers
    need its plugin (``compression={"compression": "gzip"}`` writes deflate).
    Attributes: with a start, the file's ``start`` (ISO 8601 on the
    recorder's clock, to the microsecond, no offset), ``time_zone`` (the
    clock's offset from UTC, '+02:00', or 'unknown') and, when the offset
    is known, ``start_utc`` (ISO 8601 in UTC to the nanosecond,
    '2026-03-15T08:00:00.123456789Z'); ``sample_rate`` and
    ``nominal_frequency`` (Hz), ``grid``, ``channels`` (the voltages then
    the currents analysed), ``voltage_channels``, ``current_channels``,
    ``source`` and ``library_version``; each table's ``units``, one per
    column in the order of its fields (the schema's), and with a ``time``
    column what it counts.
    """

    CHUNK_BYTES = 1 << 18  # the most bytes a chunk holds
    COMPRESSION = {"compression": "lzf"}
    CACHE_BYTES = 1 << 22  # each dataset's chunk cache: several whole chunks

    def __init__(self, ctx, path, compression=None):
        try:
            import h5py
        except ImportError:
            raise RuntimeError("--detail writes HDF5 through h5py: install Debian's python3-h5py") from None
        self.ctx, self.path = ctx, path
        self.compression = dict(self.COMPRESSION if compression is None else compression)
        self.file = h5py.File(path, "w", rdcc_nbytes=self.CACHE_BYTES, rdcc_nslots=1021)
        self.sets = {}
        self.layout = None  # once the first block has passed: the nominal frequency is known then

    def _attributes(self):
        """The file's attributes, once the first block has settled the context (the channels, the nominal
        frequency measured)."""
        import h5py

        from . import __version__

        ctx, r, attrs = self.ctx, self.ctx.recording, self.file.attrs
        attrs["source"] = str(r.source)
        attrs["sample_rate"] = float(ctx.sample_rate)
        if ctx.nominal_frequency is not None:
            attrs["nominal_frequency"] = float(ctx.nominal_frequency)
        attrs["grid"] = str(ctx.grid)
        text = h5py.string_dtype()
        voltages, currents = [c.name for c in ctx.voltages], [c.name for c in ctx.currents]
        attrs.create("channels", np.array(voltages + currents, dtype=object), dtype=text)
        attrs.create("voltage_channels", np.array(voltages, dtype=object), dtype=text)
        attrs.create("current_channels", np.array(currents, dtype=object), dtype=text)
        local = start_datetime(r)
        if local is not None:
            start = getattr(r, "start_utc", None)
            attrs["start"] = local.isoformat()
            if start is not None:
                attrs["start_utc"] = str(np.datetime64(start, "ns")) + "Z"
            attrs["time_zone"] = getattr(r, "time_zone", None) or "unknown"
        attrs["library_version"] = str(__version__)

    def _chunk_rows(self, rows, itemsize, b):
        """Rows per chunk of a table whose first rows, `rows` of them, come with block `b` (see the class
        docstring)."""
        most = max(1, self.CHUNK_BYTES // itemsize)
        if b.last:
            return int(min(max(rows, 1), most))
        done = max(int(b.stop) - int(b.position), 1)
        total = max(int(getattr(self.ctx.recording, "samples", 0) or 0), done)
        # A twentieth more than the estimate, so that a table a little longer than its first block promises
        # still fits one chunk.
        return int(min(max(int(np.ceil(1.05 * rows * total / done)), 1), most))

    def _append(self, name, rows, b):
        """A schema table's rows appended to its dataset; ``time`` as int64 nanoseconds since 1970-01-01 and text
        as ASCII bytes (HDF5 has no datetime type, h5py no fixed-length unicode), the time's meaning and zone in
        the dataset's attributes."""
        dtype = rows.dtype

        def stored(n):
            kind = dtype[n].kind
            return "i8" if kind == "M" else f"S{dtype[n].itemsize // 4}" if kind == "U" else dtype[n]

        if any(dtype[n].kind in "MU" for n in dtype.names):
            plain = np.dtype([(n, stored(n)) for n in dtype.names])
            converted = np.empty(len(rows), plain)
            for n in dtype.names:
                kind = dtype[n].kind
                converted[n] = rows[n].astype("M8[ns]").view("i8") if kind == "M" else \
                    np.char.encode(rows[n], "ascii") if kind == "U" else rows[n]
            rows, dtype = converted, plain
        if name not in self.sets:
            if not len(rows) and not b.last:
                return  # made once rows come (the first blocks may bring none), chunked to their number
            import h5py

            self.sets[name] = data = self.file.create_dataset(
                name, shape=(0,), maxshape=(None,), dtype=dtype,
                chunks=(self._chunk_rows(len(rows), dtype.itemsize, b),), **self.compression)
            units = [unit or "" for unit in column_units(name, dtype.names)]
            data.attrs.create("units", np.array(units, dtype=object), dtype=h5py.string_dtype())
            if "time" in dtype.names:
                data.attrs["time"] = "int64 nanoseconds since 1970-01-01T00:00:00, " + self.layout.time_zone
                data.attrs["time_zone"] = "UTC" if self.layout.utc else "unknown"
        data = self.sets[name]
        if len(rows):
            data.resize((data.shape[0] + len(rows),))
            data[-len(rows):] = rows

    def process(self, b):
        lay = self.layout = self.layout or schema.layout(self.ctx)
        if not self.file.attrs.get("library_version"):
            self._attributes()
        self._append("period", schema.period(b.period, lay), b)
        self._append("frequency", schema.frequency(b.frequency, lay), b)
        if b.windowed is not None:
            self._append("windowed", schema.windowed(b.windowed, b.harmonics, b.window_flags,
                                                     getattr(b, "window_gaps", None), lay), b)
        if b.last:
            self.file.close()


def write_tables(a, directory, detail=False):
    """The tables of an Analysis (see the module docstring) in directory, and with ``detail`` detail.h5;
    returns their paths."""
    ctx = _context(a)
    tables = Tables(ctx, directory)
    block = _block(a)
    if block.ten_second is None:
        block.ten_second = None
    tables.process(block)
    paths = tables.paths
    if detail:
        Detail(ctx, os.path.join(directory, "detail.h5")).process(block)
        paths.append(os.path.join(directory, "detail.h5"))
    return paths


class Picture:
    """Consumer: the report picture of a recording of any length, drawn from per-pixel envelopes.

    RMS voltage per phase, frequency and THD are kept as the lowest and the
    highest value in each of ``columns`` equal spans of the recording, so a
    week draws as fast as a second and a 100 ms dip still reaches its depth.
    Every event is marked on the RMS panel (a band at least one pixel column
    wide and a triangle at the top in its colour, labelled while there are
    few enough to read); the time axis is the recorder's clock when the
    recording gives its start. The frequency is drawn from the valid cycles
    not flagged by an event (the summary's range); the valid cycles measured
    over a dip, swell or interruption are dots apart, the tracker's flagged
    cycles crosses. The spectrum is that of the window with the
    highest voltage THD among the windows neither flagged (over a dip, swell
    or interruption) nor marked with a gap (no tracked frequency or a
    missing sample).
    """

    LABELLED = 12  # events labelled in the picture when there are no more

    def __init__(self, ctx, columns=1600):
        self.ctx = ctx
        self.columns = columns
        self.duration = max(ctx.recording.samples / ctx.sample_rate, 1e-9)
        shape = (len(ctx.voltages), columns)
        self.rms = [np.full(shape, np.inf), np.full(shape, -np.inf)]
        self.frequency = [np.full(columns, np.inf), np.full(columns, -np.inf)]  # valid cycles not flagged by an event
        self.in_events = [np.full(columns, np.inf), np.full(columns, -np.inf)]  # valid cycles flagged by one
        self.flagged = np.zeros(columns, bool)
        self.thd = [np.full(shape, np.inf), np.full(shape, -np.inf)]
        self.events = Rows(EVENT_DTYPE)  # every event is marked
        self.worst = None  # (thd, time, harmonics of the window)

    def _bins(self, t):
        return np.clip((np.asarray(t, np.float64) / self.duration * self.columns).astype(np.int64), 0,
                       self.columns - 1)

    @staticmethod
    def _envelope(pair, row, bins, values):
        ok = np.isfinite(values)
        np.minimum.at(pair[0][row] if row is not None else pair[0], bins[ok], values[ok])
        np.maximum.at(pair[1][row] if row is not None else pair[1], bins[ok], values[ok])

    def process(self, b):
        ctx = self.ctx
        period = b.period
        phase = np.array(period["phase"])  # contiguous: compared some twenty times faster than the field
        for k in range(len(ctx.voltages)):
            rows = period[phase == k]
            self._envelope(self.rms, k, self._bins(rows["time"]), rows["rmsVoltage"].astype(np.float64))
        f = b.cycles
        valid = f["valid"]
        for pair, rows in ((self.frequency, f[valid & ~f["flagged"]]), (self.in_events, f[valid & f["flagged"]])):
            self._envelope(pair, None, self._bins(rows["time"]), rows["frequency"].astype(np.float64))
        self.flagged[self._bins(f["time"][~f["valid"]])] = True
        self.events.add(b.events)
        w = b.windowed
        if w is not None and len(w):
            times = w["time"].astype(np.float64)
            for k in range(len(ctx.voltages)):
                thd = w["phases"][:, k]["thdVoltage"]["thd"].astype(np.float64)
                self._envelope(self.thd, k, self._bins(times), thd)
            thd = _thd_of(w, len(ctx.voltages)).astype(np.float64)
            good = np.isfinite(thd)
            for marks in (b.window_flags, getattr(b, "window_gaps", None)):
                if marks is not None and len(marks) == len(w):
                    good &= ~np.asarray(marks, bool)
            if good.any():
                k = int(np.flatnonzero(good)[np.argmax(thd[good])])
                if self.worst is None or thd[k] > self.worst[0]:
                    h = b.harmonics.get("harmonicsVoltage") if b.harmonics else None
                    self.worst = (float(thd[k]), float(times[k]), None if h is None else np.array(h[k]))

    def save(self, path):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.dates as mdates
        import matplotlib.pyplot as plt
        from matplotlib.collections import PolyCollection

        ctx = self.ctx
        start = start_datetime(ctx.recording)
        centres = (np.arange(self.columns) + 0.5) / self.columns * self.duration

        def x_of(seconds):
            seconds = np.asarray(seconds, np.float64)
            if start is None:
                return seconds
            return mdates.date2num(np.datetime64(start.isoformat(), "us")
                                   + np.round(seconds * 1e6).astype("timedelta64[us]"))

        fig, axes = plt.subplots(4, 1, figsize=(11, 12), constrained_layout=True)
        title = os.path.basename(ctx.recording.source) or "arrays"
        fig.suptitle(f"{title}: {ctx.grid}, {ctx.sample_rate:g} Hz, {ctx.positions / ctx.sample_rate:.2f} s"
                     + (f", from {start:%Y-%m-%d %H:%M:%S}" if start is not None else ""), fontsize=13)

        def band(ax, low, high, colour, label):
            have = np.isfinite(low)
            if have.any():
                ax.fill_between(x_of(centres[have]), low[have], high[have], color=colour, alpha=0.35, lw=0,
                                step="mid")
                ax.plot(x_of(centres[have]), high[have], lw=0.8, color=colour, label=label)
                ax.plot(x_of(centres[have]), low[have], lw=0.8, color=colour)

        ax = axes[0]
        colours = ["tab:blue", "tab:green", "tab:brown"]
        for k, c in enumerate(ctx.voltages):
            band(ax, self.rms[0][k], self.rms[1][k], colours[k], c.name)
        ax.axhline(ctx.declared_voltage, color="grey", lw=0.8, ls=":", label=f"Udin {ctx.declared_voltage:.5g} V")
        events = self.events.array()
        events = events[np.argsort(events["startTime"], kind="stable")]
        pixel = self.duration / self.columns
        top = ax.get_ylim()[1]
        # One band collection and one line of markers per kind, not two artists per event: a week's
        # thousands of events would cost some 20 kB each in matplotlib's objects.
        kinds = events["type"].astype(np.int64)
        _, first = np.unique(kinds, return_index=True)
        for kind in kinds[np.sort(first)]:
            mine = events[kinds == kind]
            left = x_of(mine["startTime"])
            right = x_of(mine["startTime"] + np.maximum(mine["duration"].astype(np.float64), pixel))
            bands = PolyCollection([[(a, 0), (a, 1), (b, 1), (b, 0)] for a, b in zip(left, right)],
                                   transform=ax.get_xaxis_transform(), facecolor=_EVENT_COLOURS[int(kind)],
                                   edgecolor=_EVENT_COLOURS[int(kind)], alpha=0.3, label=EVENT_TYPES[int(kind)])
            ax.add_collection(bands, autolim=False)
            ax.plot(left, np.full(len(left), top), linestyle="none", marker="v", color=_EVENT_COLOURS[int(kind)],
                    ms=7, clip_on=False)
        if len(events) <= self.LABELLED:
            for e in events:
                kind = int(e["type"])
                ax.annotate(f"{EVENT_TYPES[kind]} {e['extremePercent']:.0f} %, {e['duration'] * 1000:.0f} ms",
                            (x_of(e["startTime"]), top), xytext=(2, 6), textcoords="offset points", fontsize=7,
                            rotation=30, color=_EVENT_COLOURS[kind], annotation_clip=False)
        ax.set_ylabel("Urms(1/2) / V")
        ax.set_title(f"RMS voltage per phase (one cycle, every half cycle; lowest and highest per pixel column), "
                     f"{len(events)} event(s) marked", fontsize=10, pad=40 if 0 < len(events) <= self.LABELLED else 6)
        ax.legend(loc="lower left", fontsize=8)
        ax.grid(alpha=0.3)

        ax = axes[1]
        band(ax, self.frequency[0], self.frequency[1], "tab:green", "valid cycles")
        inside = np.isfinite(self.in_events[0])
        if inside.any():
            ax.plot(x_of(centres[inside]), self.in_events[1][inside], "o", color="tab:orange", ms=3,
                    label="valid cycles over a dip, swell or interruption (left out of the range)")
        if self.flagged.any():
            low = np.where(np.isfinite(self.frequency[0]), self.frequency[0], ctx.nominal_frequency)
            ax.plot(x_of(centres[self.flagged]), low[self.flagged], "x", color="tab:red", ms=4,
                    label="flagged cycles (recording's ends, no reference)")
        ax.legend(fontsize=8)
        ax.set_ylabel("f / Hz")
        ax.set_title("Tracked frequency per cycle (lowest and highest per pixel column)", fontsize=10)
        ax.grid(alpha=0.3)

        ax, ax3 = axes[2], axes[3]
        if np.isfinite(self.thd[0]).any():
            for k, c in enumerate(ctx.voltages):
                band(ax, self.thd[0][k], self.thd[1][k], colours[k], c.name)
            ax.set_ylabel("THDS / %")
            ax.set_title("Voltage THD per window (lowest and highest per pixel column)", fontsize=10)
            ax.legend(fontsize=8)
            ax.grid(alpha=0.3)
        else:
            _blank(ax, "THDS over time")
        h = self.worst[2] if self.worst is not None else None
        if h is not None and h.shape[-1] > 1:
            orders = np.arange(h.shape[-1])
            width = 0.8 / len(ctx.voltages)
            for k, c in enumerate(ctx.voltages):
                ax3.bar(orders[1:] + k * width, 100.0 * h[k, 1:] / h[k, 1], width, label=c.name)
            ax3.set_yscale("log")
            ax3.set_xlabel("harmonic order")
            ax3.set_ylabel("% of fundamental")
            when = (f"{start + datetime.timedelta(seconds=self.worst[1]):%Y-%m-%d %H:%M:%S.%f}"[:-3]
                    if start is not None else f"t = {self.worst[1]:.2f} s")
            ax3.set_title(f"Voltage harmonics of the unflagged window with the highest THD ({when}, "
                          f"{self.worst[0]:.3g} %)", fontsize=10)
            ax3.legend(fontsize=8)
            ax3.grid(alpha=0.3)
        else:
            _blank(ax3, "harmonic spectrum of the worst window")
        for axis in axes[:3]:
            if start is not None:
                locator = mdates.AutoDateLocator()
                axis.xaxis.set_major_locator(locator)
                axis.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
                axis.set_xlabel("recorder's clock")
            else:
                axis.set_xlabel("time / s")
            axis.set_xlim(x_of(0.0), x_of(self.duration))
        fig.savefig(path, dpi=90)
        plt.close(fig)
        return path


def _blank(axis, what):
    axis.text(0.5, 0.5, f"{what}: no windowed results", ha="center", va="center", transform=axis.transAxes,
              color="grey")
    axis.set_xticks([])
    axis.set_yticks([])


def plot(a, path):
    """The report picture of an Analysis (see :class:`Picture`)."""
    picture = Picture(_context(a))
    picture.process(_block(a))
    return picture.save(path)


class Progress:
    """A progress line on stderr: share done, positions per second, time left; updated twice a second.

    Quiet when stderr is not a terminal, and for runs shorter than a second.
    """

    def __init__(self, total, stream=None):
        self.total = max(int(total), 1)
        self.stream = stream or sys.stderr
        self.started = time.monotonic()
        self.last = self.started
        self.shown = False

    def __call__(self, fraction):
        now = time.monotonic()
        if fraction < 1.0 and now - self.last < 0.5:
            return
        self.last = now
        elapsed = now - self.started
        if not self.shown and (fraction >= 1.0 or elapsed < 1.0):
            return
        rate = fraction * self.total / max(elapsed, 1e-9)
        left = elapsed * (1.0 - fraction) / max(fraction, 1e-9)
        bar = "#" * int(30 * fraction)
        self.stream.write(f"\ranalyze [{bar:<30}] {100 * fraction:5.1f} %  {rate / 1e6:6.2f} M positions/s  "
                          f"{int(left) // 60:d}:{int(left) % 60:02d} left ")
        if fraction >= 1.0:
            self.stream.write("\n")
        self.stream.flush()
        self.shown = True

"""Reader of recordings stored as CSV: one column per channel.

A first line that is not all numbers is a header naming the channels (VA,
UA, V_L1, IA, I1, ... are recognised as in COMTRADE). A column named t,
time, Zeit or seconds is the time axis, in the unit its name gives (s, ms,
us or µs: "time [ms]", "t_us", "Time (µs)"); without one, in seconds, unless
a step in seconds would give a sample rate below 80 Hz or above 10 MHz that
milliseconds or microseconds bring within (a step of 200 is 200 µs; said in
a note). It gives the sample
rate when none is passed, fitted by least squares over the time stamps of
the first 2^20 rows (the whole file when it is shorter), so that time
stamps rounded to a few decimals still give the rate they were written at;
every row's time must then lie within half a sample of that grid. The
recording's ``rate_source`` says where its rate came from (the rate given,
or the time column and its step), for the analysis' refusal of a rate it
cannot take. Without a
header, the channels are taken by count: 1 voltage; voltage and current;
three voltages; three voltages and three currents (A, B, C). Values are in
volts and amperes. Fields may be separated by commas, semicolons or tabs; a
separator ending every line is left out, and with semicolons or tabs a
decimal comma is read (see ``_Layout``), each said in the notes.

The file gives no clock time: its start and time zone are given with the
``start`` (ISO 8601, e.g. 2026-03-01T12:00:00 or with its offset,
2026-03-01T12:00:00+01:00) and ``time_zone`` (+02:00, or a name such as
Europe/Paris) arguments, the command line's ``--start`` and ``--timezone``;
without them the recording has no start and its tables no clock times.

An empty cell and a value that is not finite ('nan', 'inf') are carried as
a missing sample (NaN), as COMTRADE's missing-value markers are, and the
recording's notes say how many there are and where the first one is; text
that is not a number is refused with its line. The time column must have
every value.

``open_blocks`` reads the file block by block (memory independent of its
size); ``read`` reads it whole.
"""

import itertools
import re

import numpy as np

from .recording import SAMPLE_RATES, Channel, Recording, RecordingError, _hertz, classify, is_number

# A time column's name, with its unit when it gives one: t, time, Time [ms], time_us, Zeit (µs), seconds.
TIME_NAME = re.compile(r"^\s*(?:t|time|zeit|seconds|s)\s*"
                       r"(?:[\[(/_ ]\s*(?:in\s+)?(?P<unit>s|ms|us|µs|μs)\s*[\])]?)?\s*$", re.I)
TIME_UNITS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6, "μs": 1e-6}
FIT_ROWS = 1 << 20  # rows whose time stamps give the sample rate
# A number written with a decimal comma: 0,5 or -1,25e-3.
_DECIMAL_COMMA = re.compile(r"^[+-]?\d*,\d+(?:[eE][+-]?\d+)?$")


def _split(line, sep):
    return [p.strip() for p in line.split(sep)]


def _lines(path):
    """(number from 1, text) of the file's lines."""
    with open(path, "r", encoding="utf-8-sig", errors="replace") as f:
        yield from enumerate(f, 1)


def _data(line):
    return line.strip() and not line.startswith("#")


class _Layout:
    """Separator, header and columns of a CSV file, from its first lines.

    The separator is ';' or a tab when the first line holds one, else ','.
    A separator that ends every line (the header's, or the first row's
    without one) is dropped from each. With ';' or tab separators, numbers
    written with a decimal comma (0,5) are read so when the first row has
    one and no decimal point. Each of these is said in a note."""

    def __init__(self, path):
        self.path = path
        self.notes = []
        data = ((n, line) for n, line in _lines(path) if _data(line))
        first = next(data, None)
        if first is None:
            raise RecordingError(f"{path}: no data")
        number, line = first
        self.sep = ";" if ";" in line else "\t" if "\t" in line else ","
        text = line.rstrip("\r\n")
        self.trailing = text.rstrip(" ").endswith(self.sep) and len(_split(text, self.sep)) > 1
        self.decimal_comma = False
        head = _split(self._clean(line), self.sep)
        self.header = None
        self.skip = number - 1  # lines before the first row of numbers
        row = head
        if not all(is_number(h) for h in head):
            self.header, self.skip = head, number
            row = _split(self._clean(next(data, (0, ""))[1]), self.sep)
        if self.sep != "," and any(_DECIMAL_COMMA.match(p) for p in row) and not any("." in p for p in row):
            self.decimal_comma = True
            self.notes.append(f"{path}: numbers with a decimal comma, read as such (fields separated by "
                              f"{'tabs' if self.sep == chr(9) else repr(self.sep)})")
        if self.trailing:
            self.notes.append(f"{path}: every line ends with the separator {self.sep!r}, left out")
        self.width = len(head)
        self.names = self.header or [f"ch{k + 1}" for k in range(self.width)]
        self.time_column, self.time_unit = None, None
        for k, name in enumerate(self.names):
            match = TIME_NAME.match(name)
            if match:
                self.time_column, self.time_unit = k, match.group("unit")
                break
        self.time_scale = TIME_UNITS.get((self.time_unit or "s").lower(), 1.0)

    def _clean(self, line):
        """The line without its line break and trailing separator, decimal commas made points."""
        text = line.rstrip("\r\n")
        if self.trailing:
            stripped = text.rstrip(" ")
            if stripped.endswith(self.sep):
                text = stripped[:-1]
        return text.replace(",", ".") if self.decimal_comma else text

    def chunks(self, size):
        """(first line number, rows (m, width) float64, the lines) of up to `size` rows at a time; the time
        column in seconds."""
        lines = itertools.islice(_lines(self.path), self.skip, None)
        while True:
            batch = list(itertools.islice(lines, size))
            if not batch:
                return
            rows = [self._clean(line) for _, line in batch if _data(line)]
            if not rows:
                continue
            data = self._numbers(rows)
            if data is None or data.shape[1] != self.width:
                self._fail(batch)
            if self.time_column is not None and self.time_scale != 1.0:
                data[:, self.time_column] *= self.time_scale
            yield batch[0][0], data, batch

    def _numbers(self, rows):
        """The rows as an array of numbers, an empty cell as NaN; None when a cell is not a number."""
        try:
            return np.loadtxt(rows, delimiter=self.sep, ndmin=2, comments="#", dtype=np.float64)
        except ValueError:
            pass
        # Empty cells (missing samples) written as NaN: only batches that hold one take this way.
        empty = re.compile(r"(^|%s)\s*(?=%s|$)" % (re.escape(self.sep), re.escape(self.sep)))
        try:
            return np.loadtxt([empty.sub(r"\1nan", line.rstrip("\r\n")) for line in rows], delimiter=self.sep,
                              ndmin=2, comments="#", dtype=np.float64)
        except ValueError:
            return None

    def _fail(self, batch):
        for number, line in batch:
            if not _data(line):
                continue
            parts = _split(self._clean(line), self.sep)
            if len(parts) != self.width:
                raise RecordingError(f"{self.path}:{number}: expected {self.width} fields, found {len(parts)}")
            bad = [p for p in parts if p and not is_number(p)]
            if bad:
                raise RecordingError(f"{self.path}:{number}: {bad[0]!r} is not a number")
        raise RecordingError(f"{self.path}: not a table of numbers")


def _unit_from_step(step):
    """The unit of a time column without one, from its step in its own units: seconds unless they would give
    a sample rate outside SAMPLE_RATES that milliseconds or microseconds bring within (a step of 200 is
    200 µs, 5 kHz, not 200 s)."""
    for unit in ("s", "ms", "µs"):
        with np.errstate(divide="ignore", over="ignore"):
            rate = 1.0 / (step * TIME_UNITS[unit]) if step > 0 else np.inf
        if SAMPLE_RATES[0] <= rate <= SAMPLE_RATES[1]:
            return unit
    return "s"


def _fitted_rate(path, times, name):
    """Samples per second of the time stamps `times` (seconds), fitted by least squares."""
    if len(times) < 2:
        raise RecordingError(f"{path}: fewer than two samples")
    if not np.all(np.isfinite(times)):
        raise RecordingError(f"{path}: the time column {name!r} holds a value that is not a number")
    if not np.all(np.diff(times) > 0):
        raise RecordingError(f"{path}: the time column {name!r} does not increase")
    k = np.arange(len(times), dtype=np.float64)
    k -= k.mean()
    step = float(np.dot(k, times - times.mean()) / np.dot(k, k))
    with np.errstate(divide="ignore", over="ignore"):
        return 1.0 / step if step else np.inf


def open_blocks(path, sample_rate=None, nominal_frequency=None, start=None, time_zone=None):
    """Open a CSV recording for reading block by block; see the module docstring for the layout, and
    ``Recording.set_clock`` for `start` (ISO 8601) and `time_zone`."""
    layout = _Layout(path)
    if sample_rate is not None and not (np.isfinite(sample_rate) and sample_rate > 0):
        raise RecordingError(f"{path}: sample rate {sample_rate:g} Hz: give a positive number of samples per second")
    rate_source = f"{path}: the sample rate given"
    t0 = fitted = None
    head = next(layout.chunks(FIT_ROWS), None)
    if head is None or len(head[1]) < 2:
        raise RecordingError(f"{path}: fewer than two samples")
    if layout.time_column is not None:
        times = head[1][:, layout.time_column]
        name = layout.names[layout.time_column]
        if layout.time_unit is None and len(times) > 1 and np.all(np.isfinite(times[[0, -1]])):
            unit = _unit_from_step((times[-1] - times[0]) / (len(times) - 1))
            if unit != "s":
                layout.time_scale = TIME_UNITS[unit]
                times *= layout.time_scale
                rate = (len(times) - 1) / (times[-1] - times[0])
                layout.notes.append(f"{path}: the time column {name!r} names no unit; read in {unit}, whose step "
                                    f"gives a sample rate of {_hertz(rate)} (seconds would give none)")
        fitted = _fitted_rate(path, times, name)
        t0 = float(times[0])
        if sample_rate is None:
            sample_rate = fitted
            mean_step = (times[-1] - times[0]) / (len(times) - 1)
            rate_source = f"{path}: the time column {name!r}, a step of {mean_step:.6g} s"
    if not sample_rate:
        raise RecordingError(f"{path}: no time column; give the sample rate (--rate)")
    columns = [k for k in range(layout.width) if k != layout.time_column]
    channels = []
    by_count = {1: [("voltage", "A")], 2: [("voltage", "A"), ("current", "A")],
                3: [("voltage", p) for p in "ABC"],
                6: [("voltage", p) for p in "ABC"] + [("current", p) for p in "ABC"]}
    for n, k in enumerate(columns):
        kind, phase = classify(layout.names[k])
        if layout.header is None and len(columns) in by_count:
            kind, phase = by_count[len(columns)][n]
        unit = {"voltage": "V", "current": "A"}.get(kind, "")
        channels.append(Channel(layout.names[k], None, unit, kind, phase))
    recording = Recording(channels, float(sample_rate), nominal_frequency, None, path, rate_source=rate_source)
    recording.notes.extend(layout.notes)
    recording.set_clock(start, time_zone)
    # The grid the time column must follow: its own fitted rate (a rate given
    # as well is used for the analysis, as given).
    step = 1.0 / float(fitted or sample_rate)
    missing = {"count": 0, "first": None}

    def reader(size, indices, dtype=None):
        position = 0
        for number, data, batch in layout.chunks(size):
            if t0 is not None:
                # Every row on the grid of the fitted rate, within half a sample.
                off = data[:, layout.time_column] - (t0 + (position + np.arange(len(data))) * step)
                bad = np.flatnonzero(~(np.abs(off) <= 0.5 * step))
                if bad.size:
                    line = [n for n, text in batch if _data(text)][bad[0]]
                    if not np.isfinite(data[bad[0], layout.time_column]):
                        raise RecordingError(f"{path}:{line}: the time column {layout.names[layout.time_column]!r} "
                                             "has no time here (a missing sample needs its time; leave its value "
                                             "empty instead)")
                    raise RecordingError(f"{path}:{line}: time {data[bad[0], layout.time_column]:.10g} s is off the "
                                         f"grid of {1.0 / step:.10g} samples per second fitted to the time column "
                                         "(the samples are not uniformly spaced)")
            block = data[:, [columns[k] for k in indices]].T
            lost = ~np.isfinite(block)
            if lost.any():
                if missing["first"] is None:
                    row = int(np.flatnonzero(lost.any(axis=0))[0])
                    missing["first"] = [n for n, text in batch if _data(text)][row]
                missing["count"] += int(np.count_nonzero(lost))
                block = np.where(lost, np.nan, block)
            position += len(data)
            yield block
        if missing["count"]:
            recording.notes.append(f"{path}:{missing['first']}: {missing['count']} value(s) empty or not finite, "
                                   "read as missing samples")

    recording.reader = reader
    recording.length = _count_rows(path, layout) if head[1].shape[0] >= FIT_ROWS else len(head[1])
    return recording


def _count_rows(path, layout):
    """Rows of numbers in the file (lines after the header that are neither blank nor comments)."""
    return sum(1 for _, line in itertools.islice(_lines(path), layout.skip, None) if _data(line))


def read(path, sample_rate=None, nominal_frequency=None, start=None, time_zone=None):
    """Read a CSV recording whole; see the module docstring for the layout."""
    return open_blocks(path, sample_rate, nominal_frequency, start, time_zone).load()

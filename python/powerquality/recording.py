"""What every reader returns: a uniformly sampled recording of named channels.

A recording is held in memory (``Channel.values`` are arrays) or read block
by block from its file (``Recording.reader`` set, ``Channel.values`` None):
``Recording.blocks`` hands out blocks of samples either way, with memory
independent of the recording's length when it comes from a file, and
``Recording.load`` reads a block-read recording whole.

Channels are classified by type (voltage or current, from the unit or the
name) and by phase (A/B/C, from the phase field or the name; L1/L2/L3, R/S/T
and 1/2/3 are read as A/B/C; AB/BC/CA as line-to-line): the reader's first
reading. The roles the analysis gives them, and the channels it takes, are
``inference``'s, which also reads the names a person would (ULA, "phase 1",
residuals) and checks them against the waveform. Values are in SI base
units: a channel recorded in kV or kA is multiplied by 1000 when read.

Rates are checked before an analysis takes them (``Recording.check_rates``;
the command line's options as they are parsed), each against one range
(:func:`check_rate`), the refusal naming where the value came from (the
option, the file and line, the time column and its step): a line
frequency from 10 Hz to 1 kHz (railways' 16.7 Hz to aircraft's 400 Hz and
beyond), a sample rate from 80 Hz (eight samples a cycle at the lowest line
frequency: the least the frequency tracker takes) to 10 MHz (a block of 8
seconds then holds 80 million samples a channel: more would not fit a
worker's memory). A value outside, or not a finite number, is refused in
one line that names where it came from, and the option that overrules a
file's value.

A nominal frequency a file declares is believed from 15 to 500 Hz
(NOMINAL_FREQUENCIES); the analysis holds it against the waveform's
(:func:`waveform_frequency`, taken as a common nominal frequency by
:func:`nominal_of`) and says so in the recording's ``notes`` when they
differ. The readers put there, too, whatever they read leniently.

Clock time. ``Recording.start`` is the start (the first sample) as the file
writes it, kept as text; ``start_utc`` is the same instant as a
``numpy.datetime64`` in nanoseconds, UTC, or None when there is no start
(``trigger`` and ``trigger_utc`` likewise for a COMTRADE trigger).
``time_zone`` is the offset from UTC of the recorder's clock, the one the
start is written in ('+02:00'; local time = UTC + offset, so UTC = the
start - offset), None when nothing says it: ``start_utc`` is then None too,
and the start is known on the recorder's clock only
(``analysis.start_datetime``). Start texts are read in
the COMTRADE layouts, ``dd/mm/yyyy,hh:mm:ss.fffffffff`` (1999, 2013) and
``mm/dd/yy,hh:mm:ss.ffffff`` (1991), in the order ``date_order`` names
('dmy', 'mdy'; None: by the year's digits, four dmy and two mdy), and as
ISO 8601 (``2026-03-01T12:00:00.5+01:00``: an offset written there gives
the instant, whatever ``time_zone`` says). A two-digit year is 1969 to
2068; a leap second (:60) is read as the first second of the next minute.
``set_clock`` lays the command line's ``--start`` and ``--timezone`` over
what the file says; a time zone name (Europe/Paris) is resolved, through
the system's zone data, to the offset in force at the start, so a recording
that runs across a change to or from summer time keeps the offset of its
start.
"""

from __future__ import annotations  # annotations as text: no typing at import

import datetime
import os
import re
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

_PREFIX = {"": 1.0, "k": 1e3, "M": 1e6, "m": 1e-3, "u": 1e-6, "µ": 1e-6}
_PHASE_WORDS = {
    "A": "A", "B": "B", "C": "C", "N": "N",
    "L1": "A", "L2": "B", "L3": "C", "R": "A", "S": "B", "T": "C", "1": "A", "2": "B", "3": "C",
    "AB": "AB", "BC": "BC", "CA": "CA", "L12": "AB", "L23": "BC", "L31": "CA",
    "A-B": "AB", "B-C": "BC", "C-A": "CA", "RS": "AB", "ST": "BC", "TR": "CA",
}
# Names such as VA, UA_G1, V_L1, Ia, I1, IL2, UAB, VBC.
_NAME = re.compile(r"^\s*(?P<kind>[UVI])[_ ]?(?:L|PH)?(?P<phase>AB|BC|CA|12|23|31|[ABCN123])(?![A-Z])", re.I)


class RecordingError(ValueError):
    """A recording file that cannot be read; the message names file and line."""


# (lowest, highest) in hertz; see the module docstring.
LINE_FREQUENCIES = (10.0, 1000.0)
SAMPLE_RATES = (80.0, 1e7)
# A nominal frequency a file declares is taken within this range (railways' 16.7 Hz to aircraft's 400 Hz);
# outside it (5 Hz, 0) the waveform's is measured instead.
NOMINAL_FREQUENCIES = (15.0, 500.0)


def is_number(text):
    """Whether a field of a text file reads as a number (float's own rules)."""
    try:
        float(text)
        return True
    except ValueError:
        return False


# The characters that make a name that does not exist a glob pattern.
_PATTERN_CHARACTERS = "*?["


def is_pattern(name):
    """A name that does not exist as it is and holds a wildcard."""
    return not os.path.exists(name) and any(c in name for c in _PATTERN_CHARACTERS)


def is_many(names):
    """Whether the command line takes the many-recordings road: several names, a folder or a pattern; one plain
    recording gets the single report (with --jobs or --scheduler, in spans side by side when it is long)."""
    return len(names) > 1 or os.path.isdir(names[0]) or is_pattern(names[0])


def _hertz(value):
    return f"{value / 1e6:g} MHz" if value >= 1e6 else f"{value / 1e3:g} kHz" if value >= 1e3 else f"{value:g} Hz"


def check_rate(value, where, kind="sample rate"):
    """value (a sample rate, or with kind 'line frequency' a line frequency) as a float when it is a finite
    number within its range (SAMPLE_RATES, LINE_FREQUENCIES); else a RecordingError that begins with where
    (the option, or the file and line, it came from) and names the value."""
    low, high = LINE_FREQUENCIES if kind == "line frequency" else SAMPLE_RATES
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        raise RecordingError(f"{where}: {value!r} is not a number; give a {kind} of {_hertz(low)} to "
                             f"{_hertz(high)}") from None
    if not low <= number <= high:  # NaN too
        raise RecordingError(f"{where}: {kind} {number:g} Hz is not within {_hertz(low)} … {_hertz(high)}")
    return number


# Nominal frequencies a measured one is taken as when it lies within 10 % of one.
COMMON_NOMINAL_FREQUENCIES = (16.7, 25.0, 50.0, 60.0, 400.0)


def waveform_frequency(samples, fs):
    """The frequency (Hz) of the strongest spectral line of `samples` from NOMINAL_FREQUENCIES[0] to [1] (and
    below 0.45 fs), or None when none stands out: a line whose amplitude is less than half the peak of a sine
    of the samples' RMS value is noise, not a line frequency.

    A Hann window and a parabola through the peak's three bins place the
    line within a small share of a bin, also on four cycles."""
    x = np.asarray(samples, dtype=np.float64)
    x = np.nan_to_num(x - np.mean(x[np.isfinite(x)])) if np.any(np.isfinite(x)) else np.zeros(0)
    if len(x) < 8 or not np.any(x):
        return None
    window = np.hanning(len(x))
    n = 1 << int(np.ceil(np.log2(4 * len(x))))
    band = _band(n, 1.0 / fs, NOMINAL_FREQUENCIES[0], min(NOMINAL_FREQUENCIES[1], 0.45 * fs))
    if len(band) < 3:
        return None
    transform = np.fft.rfft(x * window, n)
    # Magnitudes of the band's bins and of one bin on either side, the only ones looked at.
    first, bins = max(int(band[0]) - 1, 0), len(transform)
    spectrum = np.abs(transform[first:min(int(band[-1]) + 2, bins)])
    k = int(band[np.argmax(spectrum[band - first])])
    amplitude = 2.0 * spectrum[k - first] / np.sum(window)
    if amplitude < 0.5 * np.sqrt(2.0 * np.mean(x * x)):
        return None
    a, b, c = np.log(spectrum[k - 1 - first:k + 2 - first] + 1e-300) if 0 < k < bins - 1 else (0.0, 0.0, 0.0)
    shift = 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c < 0 else 0.0
    return float((k + shift) * fs / n)


def _band(n, d, low, high):
    """The bins of a real transform of length n (sample spacing d) whose frequencies, as np.fft.rfftfreq(n, d)
    gives them (bin times 1/(n d)), lie from low to high: worked out for the bins near the band only. The
    frequencies rise with the bin, so a bin below the first one taken that is below low, and one above the
    last taken that is above high, prove the others outside; else every bin is worked out."""
    step, bins = 1.0 / (n * d), n // 2 + 1
    start, stop = min(max(int(low / step) - 2, 0), bins), min(max(int(high / step) + 3, 0), bins)
    f = np.arange(start, stop, dtype=int) * step
    if start >= stop or (start > 0 and f[0] >= low) or (stop < bins and f[-1] <= high):
        start, f = 0, np.fft.rfftfreq(n, d)
    return np.flatnonzero((f >= low) & (f <= high)) + start


def nominal_of(measured):
    """The common nominal frequency within 10 % of `measured` (Hz), else `measured` to 0.1 Hz."""
    near = min(COMMON_NOMINAL_FREQUENCIES, key=lambda f: abs(measured / f - 1.0))
    return near if abs(measured / near - 1.0) <= 0.1 else round(measured, 1)


# The COMTRADE start and trigger: a date (day, month and year in either order), a comma, a time of day.
_COMTRADE_CLOCK = re.compile(r"^\s*(\d{1,2})\s*/\s*(\d{1,2})\s*/\s*(\d{1,4})\s*,\s*"
                             r"(\d{1,2}):(\d{1,2}):(\d{1,2})(?:\.(\d*))?\s*$")
_ISO_CLOCK = re.compile(r"^\s*(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d+))?)?)?\s*"
                        r"(?P<offset>Z|[+-]\d{2}(?::?\d{2})?)?\s*$", re.I)
# An offset from UTC: ISO 8601's +02:00, +0200, +02 and Z, and COMTRADE's time codes +2h, -5h30, -4, 0.
_OFFSET = re.compile(r"^\s*(?:(?P<z>Z|UTC)|(?P<sign>[+-]?)(?P<hours>\d{1,2})"
                     r"(?:(?:h|:)(?P<minutes>\d{2})?|(?P<packed>\d{2}))?)\s*$", re.I)
DATE_ORDERS = {"dmy": "dd/mm/yyyy", "mdy": "mm/dd/yy"}


def offset_minutes(text):
    """Minutes east of UTC of an offset text (``+02:00``, ``+0200``, ``Z``; COMTRADE's ``+2h``, ``-5h30``,
    ``-4``, ``0``), or None when it is none (``x``, an empty text, a name, beyond -12 h to +14 h)."""
    match = _OFFSET.match(text or "")
    if not match:
        return None
    if match.group("z"):
        return 0
    hours, minutes = int(match.group("hours")), int(match.group("minutes") or match.group("packed") or 0)
    total = hours * 60 + minutes
    total = -total if match.group("sign") == "-" else total
    return total if minutes < 60 and -12 * 60 <= total <= 14 * 60 else None


def iso_offset(minutes):
    """ISO 8601's text of an offset in minutes: +02:00, -05:30, +00:00."""
    sign = "-" if minutes < 0 else "+"
    return f"{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def check_time_zone(text):
    """``text`` when it is an offset from UTC (+02:00, -0530, Z) or a time zone the system knows
    (Europe/Paris, UTC); else a ValueError that says what is taken."""
    if offset_minutes(text) is not None:
        return text.strip()
    try:
        _zone(text)
    except (ValueError, LookupError, OSError):
        raise ValueError(f"{text!r} is neither an offset from UTC such as +02:00 or -05:30 nor a time zone "
                         "name such as Europe/Paris") from None
    return text.strip()


def _zone(name):
    import zoneinfo

    if not name or not name.strip() or name.strip().startswith(("/", ".")):
        raise ValueError(name)
    return zoneinfo.ZoneInfo(name.strip())


def zone_offset(zone, local):
    """Minutes east of UTC of `zone` (an offset text or a name) at the naive datetime64 `local` on its clock."""
    minutes = offset_minutes(zone)
    if minutes is not None:
        return minutes
    moment = datetime.datetime.fromisoformat(str(np.datetime64(local, "us")))
    return int(_zone(zone).utcoffset(moment).total_seconds() // 60)


def _clock_of(year, month, day, hour, minute, second, fraction):
    """The naive datetime64[ns] of the fields; a ValueError saying which is out of range."""
    datetime.date(year, month, day)  # ValueError: day is out of range for month, ...
    if hour > 23 or minute > 59 or second > 60:
        raise ValueError(f"{hour:02d}:{minute:02d}:{second:02d} is not a time of day")
    digits = (fraction or "")[:9].ljust(9, "0")
    stamp = np.datetime64(f"{year:04d}-{month:02d}-{day:02d}T{hour:02d}:{minute:02d}:{min(second, 59):02d}", "ns")
    # A leap second (:60) is the first second of the next minute on a clock without leap seconds.
    return stamp + np.timedelta64(int(digits), "ns") + np.timedelta64(int(second == 60), "s")


def read_clock(text, order=None):
    """(naive datetime64[ns], minutes east of UTC written with it or None) of a start or trigger text, or
    None when the text or its fields are empty (",") or all its date is 0 (a recorder without a clock); a
    ValueError that says what is wrong when it is not a date and time. See the module docstring for the
    layouts and `order`."""
    if text is None or not text.strip(" ,\t"):
        return None
    iso = _ISO_CLOCK.match(text)
    if iso:
        year, month, day, hour, minute, second = (int(g or 0) for g in iso.groups()[:6])
        offset = iso.group("offset")
        minutes = None if offset is None else offset_minutes(offset)
        if offset is not None and minutes is None:
            raise ValueError(f"offset {offset!r} is not within -12:00 to +14:00")
        try:
            return _clock_of(year, month, day, hour, minute, second, iso.group(7)), minutes
        except ValueError as e:
            raise ValueError(f"{text.strip()!r} is not a date and time: {e}") from None
    match = _COMTRADE_CLOCK.match(text)
    if not match:
        raise ValueError(f"{text.strip()!r} is not a date and time such as 25/06/2007,19:13:57.789757 "
                         "(dd/mm/yyyy) or 2007-06-25T19:13:57")
    first, second_field, year_text = int(match.group(1)), int(match.group(2)), match.group(3)
    if first == second_field == int(year_text) == 0:
        return None
    if len(year_text) not in (2, 4):
        raise ValueError(f"{text.strip()!r}: the year {year_text!r} has neither four digits nor two")
    order = order or ("dmy" if len(year_text) == 4 else "mdy")
    day, month = (first, second_field) if order == "dmy" else (second_field, first)
    year = int(year_text) if len(year_text) == 4 else int(year_text) + (1900 if int(year_text) >= 69 else 2000)
    hour, minute, second = (int(match.group(k)) for k in (4, 5, 6))
    try:
        return _clock_of(year, month, day, hour, minute, second, match.group(7)), None
    except ValueError as e:
        raise ValueError(f"{text.strip()!r} is not a date and time as {DATE_ORDERS[order]} reads it: {e}") from None


class ChannelError(RecordingError, KeyError):
    """A channel the recording does not have: a KeyError for lookups, a RecordingError for the command line
    and the many-recordings rows, whose message reads as it is written (not quoted as a KeyError's)."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


def unit_scale(unit):
    """(kind, factor to SI base unit) of a unit text such as 'kV' or 'A'."""
    u = (unit or "").strip()
    for kind, base in (("voltage", "V"), ("current", "A")):
        if u.endswith(base) and u[: -len(base)] in _PREFIX:
            return kind, _PREFIX[u[: -len(base)]]
    return None, 1.0


def classify(name, phase_field="", unit=""):
    """(kind, phase) of a channel from its unit, phase field and name."""
    kind, _ = unit_scale(unit)
    phase = _PHASE_WORDS.get((phase_field or "").strip().upper())
    match = _NAME.match(name or "")
    if match:
        if kind is None:
            kind = "current" if match.group("kind").upper() == "I" else "voltage"
        if phase is None:
            word = match.group("phase").upper()
            phase = _PHASE_WORDS.get({"12": "L12", "23": "L23", "31": "L31"}.get(word, word))
    return kind, phase


@dataclass
class Channel:
    name: str
    values: np.ndarray | None  # float64, SI base units (None while the recording is read by blocks)
    unit: str = ""  # the SI unit of values ('V', 'A' or as recorded)
    kind: str | None = None  # 'voltage', 'current' or None
    phase: str | None = None  # 'A', 'B', 'C', 'N', 'AB', 'BC', 'CA' or None
    circuit: str = ""  # COMTRADE circuit component (ccbm)
    full_scale: float | None = None  # the largest value its declared range holds (COMTRADE), SI units
    # The transformer's primary and secondary factors (COMTRADE: of a channel
    # whose primary and secondary factors differ), SI units; what they say is
    # read by ``inference``.
    rated_primary: float | None = None
    rated_secondary: float | None = None
    phase_field: str = ""  # the phase as the file writes it (COMTRADE's ph), "" when it has none


@dataclass
class Recording:
    channels: list[Channel]
    sample_rate: float
    nominal_frequency: float | None = None
    start: str | None = None  # recorder's start time as written in the file
    source: str = ""
    notes: list[str] = field(default_factory=list)
    # Status (digital) channels by name: uint8 arrays of 0 and 1, one per
    # sample (COMTRADE only; the analog channels are in `channels`).
    status: dict[str, np.ndarray] = field(default_factory=dict)
    header: str = ""  # free text that came with the recording (COMTRADE .hdr)
    information: str = ""  # COMTRADE .inf text
    # Block access of a recording read from its file: reader(size, indices,
    # dtype) yields arrays (len(indices), m), m <= size, of the analog
    # channels at those indices, in order, from the first sample, as float64
    # or (when dtype is float32, exactly the float64 values rounded) float32
    # (or float64, which blocks() converts); length is
    # its number of samples (counted from the file's size, or announced).
    reader: Callable | None = None
    length: int = 0
    # Where the sample rate and the nominal frequency came from, for messages: a file and line, or the option.
    rate_source: str = ""
    frequency_source: str = ""
    # Where and by what it was recorded, as the file says (COMTRADE: the station name and the recording device
    # of the configuration's first line), and the offset from UTC of its start and time stamps ('+01:00';
    # COMTRADE 2013's time code), None when the file does not say.
    station: str | None = None
    device: str | None = None
    time_zone: str | None = None
    # The trigger's time as the file writes it (COMTRADE), the order of day and month in the start and trigger
    # texts ('dmy', 'mdy'; None: by the year's digits) and the offset from UTC of the place it was recorded
    # (COMTRADE 2013's local code: '+02:00'; it may differ from time_zone when the recorder keeps UTC).
    trigger: str | None = None
    date_order: str | None = None
    local_zone: str | None = None

    def _utc(self, text):
        try:
            clock = read_clock(text, self.date_order)
        except ValueError:
            return None
        if clock is None:
            return None
        local, minutes = clock
        if minutes is None:
            minutes = offset_minutes(self.time_zone)
        if minutes is None:
            return None  # the recorder's clock, its offset from UTC not known
        return local - np.timedelta64(minutes, "m")

    @property
    def start_utc(self):
        """The first sample's time as numpy.datetime64 in ns, UTC; None without a readable start or without
        its offset from UTC (see the module docstring). Set, it is taken as it is given (a recording of
        arrays, or one whose offset is known otherwise), until ``set_clock`` gives a start or it is set to
        None."""
        given = self.__dict__.get("_start_utc")
        return given if given is not None else self._utc(self.start)

    @start_utc.setter
    def start_utc(self, value):
        self.__dict__["_start_utc"] = None if value is None else np.datetime64(value, "ns")

    @property
    def trigger_utc(self):
        """The trigger's time as numpy.datetime64 in ns, UTC; None without one."""
        return self._utc(self.trigger)

    def set_clock(self, start=None, time_zone=None):
        """The start and time zone given (the command line's ``--start`` ISO 8601 and ``--timezone``) laid
        over the file's: a start with its own offset sets the time zone too (a ValueError when a time zone is
        given as well); a time zone name is resolved to its offset at the start. Without a start to apply it
        to, a time zone is said in a note. Returns the recording."""
        if start is not None:
            clock = read_clock(start)  # ValueError: not a date and time
            if clock is None:
                raise ValueError(f"{start!r} is not a date and time")
            if clock[1] is not None and time_zone is not None:
                raise ValueError(f"--start {start} carries its offset from UTC; give --timezone only for a start "
                                 "without one")
            self.start, self.date_order = start.strip(), None
            self.__dict__.pop("_start_utc", None)
            self.time_zone = iso_offset(clock[1]) if clock[1] is not None else None
        if time_zone is not None:
            try:
                clock = read_clock(self.start, self.date_order)
            except ValueError:
                clock = None
            if clock is None:
                self.notes.append(f"--timezone {time_zone}: the recording gives no start time, so no clock times")
                return self
            zone = iso_offset(zone_offset(time_zone, clock[0]))
            if self.time_zone and self.time_zone != zone and start is None:
                self.notes.append(f"{self.source}: the file's time zone {self.time_zone} overruled by "
                                  f"--timezone {time_zone} ({zone})")
            self.time_zone = zone
        return self

    def check_rates(self, nominal_frequency=None):
        """The sample rate, once it and the line frequency (nominal_frequency when given, else the recording's
        own, when it has one) are within their ranges (:func:`check_rate`); else a RecordingError that names
        where the value came from. The analysis asks this before it takes anything from the rates."""
        given = self.rate_source.endswith("the sample rate given")
        try:
            fs = check_rate(self.sample_rate, self.rate_source or self.source or "sample rate")
        except RecordingError as e:
            raise RecordingError(f"{e} (give the sample rate with --rate HZ)" if not given else str(e)) from None
        if nominal_frequency is not None:
            check_rate(nominal_frequency, "nominal frequency", "line frequency")
        elif self.nominal_frequency is not None:
            try:
                check_rate(self.nominal_frequency, self.frequency_source or self.source or "nominal frequency",
                           "line frequency")
            except RecordingError as e:
                raise RecordingError(f"{e} (give the nominal frequency with --nominal HZ)") from None
        return fs

    @property
    def samples(self):
        if self.reader is not None:
            return self.length
        return len(self.channels[0].values) if self.channels else 0

    def blocks(self, size, channels=None, dtype=np.float32, first=0, stop=None):
        """Iterator of (position, samples) over the recording, block by block.

        channels: Channel objects or names (default: every analog channel);
        samples: array (len(channels), m) of dtype with m <= size (the last
        block may be shorter; a file's reader may also cut its blocks
        shorter), position: the index of its first sample. first: a sample
        the caller needs nothing before; a reader that can seek starts its
        blocks there, any other (and memory) from 0, as without it. stop: a
        sample the caller needs nothing from on; a reader that can seek (any
        dtype) reads no further (its last block ends there), any other to
        the end.
        """
        size = int(size)
        if size < 1:
            raise ValueError(f"block size {size}: give a positive number of samples")
        chosen = self.channels if channels is None else [self.channel(c) if isinstance(c, str) else c
                                                         for c in channels]
        indices = [next(k for k, c in enumerate(self.channels) if c is ch) for ch in chosen]
        if self.reader is None:
            for lo in range(0, self.samples, size):
                block = np.empty((len(chosen), min(size, self.samples - lo)), dtype)
                for row, c in enumerate(chosen):
                    block[row] = c.values[lo:lo + size]
                yield lo, block
            return
        position = 0
        seekable = getattr(self.reader, "seekable", False)
        if seekable and ((first > 0 and dtype == np.float32) or stop is not None):
            position = min(max(int(first), 0), self.samples) if dtype == np.float32 else 0
            if stop is None:
                blocks = self.reader(size, indices, dtype, first=position)
            else:
                blocks = self.reader(size, indices, dtype, first=position, stop=max(position, int(stop)))
        else:
            blocks = self.reader(size, indices, dtype)
        for block in blocks:
            yield position, block.astype(dtype, copy=False)
            position += block.shape[1]

    def load(self):
        """The recording held in memory (itself when it is)."""
        if self.reader is None:
            return self
        parts = [block for _, block in self.blocks(1 << 20, dtype=np.float64)]
        data = np.concatenate(parts, axis=1) if parts else np.zeros((len(self.channels), 0))
        for k, c in enumerate(self.channels):
            c.values = data[k]
        self.reader = None
        return self

    @property
    def duration(self):
        return self.samples / self.sample_rate

    def channel(self, name):
        for c in self.channels:
            if c.name == name:
                return c
        raise ChannelError(f"{self.source}: no channel named {name!r} (channels: {', '.join(c.name for c in self.channels)})")

    def pick(self, voltages=None, currents=None):
        """Channels for a module: (grid, [voltage channels], [current channels]), as ``inference.infer``
        chooses them (grid 'star', 'delta' or 'single'; names given are taken as they are)."""
        from .inference import infer

        chosen = infer(self, voltages, currents)
        return chosen.grid, chosen.voltages, chosen.currents

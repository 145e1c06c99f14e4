"""Reader and writer of COMTRADE recordings (IEEE C37.111 1991, 1999 and 2013).

``read(path)`` takes the .cfg (or the .dat, or the common base name), or a
single-file .cff, and returns a :class:`powerquality.recording.Recording`:

- ``channels``: the analog channels scaled as ``a * x + b`` and, by default,
  converted to primary values, in SI base units (kV and kA become V and A);
- ``status``: the status (digital) channels, a dict from channel name to a
  uint8 array of 0 and 1, one value per sample, in the configuration's order
  (a repeated name gets its index appended: ``"Trip (7)"``);
- ``header`` and ``information``: the text of the .hdr and .inf files beside
  the .cfg, or of the HDR and INF sections of a .cff, without the line
  breaks at its end ("" when absent).

Data file types: ASCII, BINARY (int16 analog values), BINARY32 (int32) and
FLOAT32 (float32); a binary record is a uint32 sample number, an int32 time
stamp, the analog values, then one uint16 per 16 status channels (channel 1
in the least significant bit of the first word). Missing samples read as NaN:
the missing-value markers 0x8000 (-32768) in BINARY, 0x80000000
(-2147483648) in BINARY32 and 99999 in ASCII, an empty ASCII field (as the
2013 revision writes a missing value), and in FLOAT32 a value that is not
finite (its marker is a NaN pattern). Some writers of the 1991 format mark a
missing BINARY value with 0xFFFF instead; that is -1 in the two's complement
the values are stored in, an ordinary value next to every zero crossing, so
it is read as -1.

A .cff holds the four files as sections, each introduced by a line
``--- file type: CFG ---``, ``--- file type: INF ---``,
``--- file type: HDR ---``, and ``--- file type: DAT ASCII ---`` or
``--- file type: DAT BINARY: <byte count> ---`` (markers in any case, with
any surrounding blanks, the colons optional; INF and HDR may be left out).
The byte count is the length of the binary data that follows the marker
line, whatever the
configuration's binary type; only blank lines or further sections may
follow it.

Sample rates come from the configuration. A recording with several rates,
or with rate 0 (time stamps only), is read at the rate its time stamps
show, fitted from the first to the last, when they are uniform; otherwise
a RecordingError says why, naming the rate's line of the configuration. A
binary data file (or DAT section) must hold exactly the samples the
configuration announces: any other size is refused (most often the data
file type is wrong), and so is a negative sample count.

Clock time. The start line (the first sample) and the trigger line are
read in the order of day and month of the configuration's revision: the
1991 layout writes ``mm/dd/yy``, 1999 and 2013 ``dd/mm/yyyy``, the time
``hh:mm:ss`` with a fraction of up to nine digits (2013's nanoseconds).
Where only the other order makes a date (a 1999 file that writes
12/31/2021) it is taken, with a note; a start that is no date in either
order is refused naming its line (unless ``start`` is given), a trigger
that is none is noted, and a start of zeros (00/00/0000), a recorder
without a clock, leaves the recording without clock times, with a note.
The 2013 time code line is ``timecode,localcode``: the time code is the
time difference of the clock the start and trigger are written in from
UTC, its sign minus behind UTC (``+2h``, ``-5h30``, ``-4``, ``+10h30``,
``0``; ``x`` not known), so that local time = UTC + offset and the start
in UTC is the start written minus the offset (``15/03/2026,10:00:00`` with
``+2h`` is 08:00 UTC); it becomes ``Recording.time_zone`` ('+02:00'). The
local code, the offset of the place recorded, becomes
``Recording.local_zone``: it differs from the time code when the recorder
keeps UTC (time code 0), and does not move the times. ``start`` (ISO
8601) and ``time_zone`` (an offset or a name such as Europe/Paris) given
to ``read`` and ``open_blocks`` overrule the file's
(``Recording.set_clock``). ``Recording.start`` keeps the start as written
(moved to the first sample read when a later section is read alone), and
``start_utc`` gives it as numpy.datetime64 in ns, UTC.

``open_blocks(path)`` opens a recording for reading block by block
(``Recording.blocks``), memory independent of the file's size; ``read``
reads it whole, built on the same reading. Blocks of binary data of
DIRECT_MINIMUM bytes or more are read past the page cache, a thread reading
ahead (see ``_read_blocks``); POWERQUALITY_DIRECT_READS=0 turns that off.

Every malformed line is reported as ``file:line: what was expected`` (in a
.cff, the line of the .cff; after binary data, ``file:byte N:``).
``write`` produces all of these (used by the tests; handy for examples).
"""

import itertools
import mmap
import os
import queue
import re
import threading

import numpy as np

from . import _core
from .recording import (DATE_ORDERS, NOMINAL_FREQUENCIES, SAMPLE_RATES, Channel, Recording, RecordingError, classify,
                        iso_offset, is_number, offset_minutes, read_clock, unit_scale)

FILE_TYPES = ("ASCII", "BINARY", "BINARY32", "FLOAT32")
_ANALOG_DTYPE = {"BINARY": "<i2", "BINARY32": "<i4", "FLOAT32": "<f4"}
_MISSING = {"BINARY": -32768, "BINARY32": -2147483648}
_TYPE_RANGE = {"BINARY": (-32768, 32767), "BINARY32": (-2147483648, 2147483647)}
# A declared raw range this wide (the float32 limits are 3.4e38) says nothing of a channel's scale.
SAYS_NOTHING = 1e30
_BOM = b"\xef\xbb\xbf"
# A line that means to be a section marker of a .cff, and one that is.
_MARKER_LIKE = re.compile(r"\s*--+\s*file\s*type\b", re.I)
# Read as a person would: the colons may be left out, the blanks doubled and
# the dashes two ("--- file type  CFG ---", "-- file type: DAT BINARY 1234 --").
_MARKER = re.compile(r"\s*(?P<dashes>--+)\s*file\s*type\s*:?\s*(?P<kind>cfg|inf|hdr|dat\s+ascii|dat\s+binary)\s*"
                     r"(?::?\s*(?P<count>\d+)\s*)?(?P<closing>--+)\s*$", re.I)


class ComtradeError(RecordingError):
    """A malformed COMTRADE file; the message names the file and the line."""


# Bytes that are letters in cp1251 (А … я, Ё, ё).
_CYRILLIC = re.compile(rb"[\xc0-\xff\xa8\xb8]{3,}")


def _encoding(raw):
    """The encoding a file's text is read in: UTF-8 when it has a byte order mark or is valid UTF-8 (plain
    ASCII is); else cp1251 when its high bytes come in runs of three or more cp1251 letters (Russian and
    other Cyrillic words are all of such bytes) and those runs hold at least three quarters of its high
    bytes; else latin-1, which takes every byte (Western names have their accented letters one or two
    at a time between ASCII letters: 'Größe', 'élevée')."""
    if raw[:3] == _BOM:
        return "utf-8-sig"
    try:
        raw.decode("utf-8")
        return "utf-8"
    except UnicodeDecodeError:
        pass
    high = sum(1 for byte in raw if byte >= 0x80)
    runs = sum(len(m) for m in _CYRILLIC.findall(raw))
    return "cp1251" if runs and 4 * runs >= 3 * high else "latin-1"


def _decode(raw, path=None, notes=None):
    """The text of `raw` in the encoding :func:`_encoding` chooses; a note on `notes` when it is not UTF-8."""
    encoding = _encoding(raw)
    if notes is not None and encoding not in ("utf-8", "utf-8-sig"):
        why = "Cyrillic letters" if encoding == "cp1251" else "no Cyrillic words"
        notes.append(f"{path}: not UTF-8; its names are read as {encoding} ({why})")
    return raw.decode(encoding, errors="replace")


class _Lines:
    """The lines of a file, or of a section of a .cff whose first line is line `first` there."""

    def __init__(self, path, text=None, first=1, notes=None):
        self.path = path
        if text is None:
            with open(path, "rb") as f:
                text = _decode(f.read(), path, notes)
        # Only CR and LF end lines: splitlines() would also split at bytes such
        # as 0x85 (an ellipsis in Windows-1252, NEL in Latin-1).
        self.lines = re.split(r"\r\n|\r|\n", text)
        if self.lines and not self.lines[-1]:
            self.lines.pop()
        self.first = first
        self.number = 0

    def error(self, what, number=None):
        return ComtradeError(f"{self.path}:{(number or self.number) + self.first - 1}: {what}")

    def next(self, what):
        while self.number < len(self.lines):
            self.number += 1
            line = self.lines[self.number - 1].strip()
            if line:
                return line
        raise self.error(f"file ends where {what} was expected", self.number + 1)

    def fields(self, what, minimum, maximum=None):
        line = self.next(what)
        parts = [p.strip() for p in line.split(",")]
        if len(parts) < minimum or (maximum is not None and len(parts) > maximum):
            count = f"{minimum}" if maximum == minimum else f"{minimum} to {maximum or 'more'}"
            raise self.error(f"{what}: expected {count} comma-separated fields, found {len(parts)}: {line!r}")
        return parts

    def number_of(self, text, kind, what):
        try:
            return kind(text)
        except ValueError:
            raise self.error(f"{what}: {text!r} is not a number") from None


def _lenient_number(text):
    try:
        return float(text)
    except ValueError:
        return np.nan


class Config:
    """The parsed configuration file (or CFG section of a .cff, given as `lines`)."""

    def __init__(self, path, lines=None):
        self.notes = []  # what was read leniently, for the recording's notes
        lines = lines or _Lines(path, notes=self.notes)
        self.path = path
        head = lines.fields("station name, recording device and revision year", 2, 3)
        self.station, self.device = head[0], head[1]
        self.revision = head[2] if len(head) > 2 and head[2] else "1991"
        revision_line = f"{path}:{lines.number + lines.first - 1}"
        counts = lines.fields("channel counts (total, nnA, nnD)", 3, 3)
        total = lines.number_of(counts[0], int, "total channel count")
        if not counts[1].upper().endswith("A") or not counts[2].upper().endswith("D"):
            raise lines.error(f"channel counts: expected e.g. '6A' and '2D', found {counts[1]!r} and {counts[2]!r}")
        self.analog_count = lines.number_of(counts[1][:-1], int, "analog channel count")
        self.status_count = lines.number_of(counts[2][:-1], int, "status channel count")
        if self.analog_count + self.status_count != total or self.analog_count < 0 or self.status_count < 0:
            raise lines.error(f"channel counts: {self.analog_count} analog + {self.status_count} status is not {total}")
        self.analog = []
        for k in range(self.analog_count):
            what = f"analog channel {k + 1}"
            f = lines.fields(what, 10, 13)
            channel = {
                "index": lines.number_of(f[0], int, what + " index"),
                "name": f[1], "phase": f[2], "circuit": f[3], "unit": f[4],
                "a": lines.number_of(f[5], float, what + " multiplier a"),
                "b": lines.number_of(f[6], float, what + " offset b"),
                "skew": lines.number_of(f[7] or "0", float, what + " skew"),
                "min": _lenient_number(f[8]), "max": _lenient_number(f[9]),
                "primary": 1.0, "secondary": 1.0, "ps": "P",
            }
            if len(f) >= 13:
                channel["primary"] = lines.number_of(f[10], float, what + " primary ratio")
                channel["secondary"] = lines.number_of(f[11], float, what + " secondary ratio")
                ps = f[12].upper()
                if ps not in ("P", "S"):
                    raise lines.error(f"{what}: primary/secondary flag {f[12]!r} is not P or S")
                channel["ps"] = ps
                channel["rated"] = True
            self.analog.append(channel)
        self.status = []
        for k in range(self.status_count):
            f = lines.fields(f"status channel {k + 1}", 3, 5)
            name = f[1] if f[1] not in self.status else f"{f[1]} ({f[0]})"
            self.status.append(name)
        self.frequency = lines.number_of(lines.next("line frequency"), float, "line frequency")
        self.frequency_line = f"{path}:{lines.number + lines.first - 1}"  # for messages about it
        nrates = lines.number_of(lines.next("number of sampling rates"), int, "number of sampling rates")
        if nrates < 0:
            raise lines.error("number of sampling rates is negative")
        self.rates = []
        self.rate_line = None  # where the (first) sampling rate is, for messages: "file:line"
        for k in range(max(nrates, 1)):
            f = lines.fields(f"sampling rate {k + 1} and its last sample", 2, 2)
            rate = lines.number_of(f[0], float, "sampling rate")
            last = lines.number_of(f[1], int, "last sample")
            if not np.isfinite(rate) or rate < 0:
                raise lines.error(f"sampling rate {f[0]!r} is not a positive number of Hz (or 0: time stamps only)")
            if last < 0:
                raise lines.error(f"last sample number {last} is negative")
            if self.rate_line is None:
                self.rate_line = f"{path}:{lines.number + lines.first - 1}"
            self.rates.append((rate, last))
        self.start = lines.next("start date and time")
        self.start_line = f"{path}:{lines.number + lines.first - 1}"
        self.trigger = lines.next("trigger date and time")
        self.trigger_line = f"{path}:{lines.number + lines.first - 1}"
        self.file_type = lines.next("data file type").upper()
        if self.file_type not in FILE_TYPES:
            raise lines.error(f"data file type {self.file_type!r} is not one of {', '.join(FILE_TYPES)}")
        self.time_multiplier = 1.0
        # Another year than 1991, 1999 and 2013 (1997, 2000, 2001: the IEC
        # 60255-24:2001 edition of the 1999 format; a recorder's own) is read
        # by the layout the file follows: the 1999 one when a channel has the
        # primary/secondary fields or a time stamp multiplier follows the data
        # file type, else the 1991 one.
        rest = [line.strip() for line in lines.lines[lines.number:] if line.strip()]
        layout = self.revision if self.revision in ("1991", "1999", "2013") else \
            "1999" if any(ch.get("rated") for ch in self.analog) or (rest and is_number(rest[0])) else "1991"
        if layout != self.revision:
            edition = " (the IEC 60255-24:2001 edition of the 1999 format)" if self.revision == "2001" else ""
            self.notes.append(f"{revision_line}: revision year {self.revision!r}{edition} is none of 1991, 1999 "
                              f"and 2013; read by the {layout} layout it follows")
        self.layout = layout
        if layout != "1991" and rest:
            text = lines.next("time stamp multiplier")
            self.time_multiplier = lines.number_of(text, float, "time stamp multiplier")
            if not (self.time_multiplier > 0 and np.isfinite(self.time_multiplier)):
                raise lines.error(f"time stamp multiplier {text!r} is not a positive number")
        self.samples = self.rates[-1][1]
        # 2013: the time code of the time stamps (the offset from UTC of the clock they are written in) and
        # the local code (the offset of the place recorded) follow the multiplier.
        self.time_zone = self.local_zone = None
        if layout == "2013" and any(line.strip() for line in lines.lines[lines.number:]):
            codes = lines.next("time code and local code").split(",")
            where = f"{path}:{lines.number + lines.first - 1}"
            self.time_zone = utc_offset(codes[0])
            self.local_zone = utc_offset(codes[1]) if len(codes) > 1 else None
            for what, code, zone in (("time code", codes[0], self.time_zone),
                                     ("local code", codes[1] if len(codes) > 1 else "", self.local_zone)):
                if zone is None and code.strip().lower() not in ("x", ""):
                    self.notes.append(f"{where}: {what} {code.strip()!r} is not an offset from UTC such as +1, "
                                      "-5h30 or 0: " + ("the time zone is not known (give --timezone to set it)"
                                                        if what == "time code" else "not used"))


def utc_offset(code):
    """A COMTRADE time code (``+1``, ``+2h``, ``-5h30``, ``+0h00``, ``0``, ``Z``; the time difference of the
    clock from UTC, minus behind it: local time = UTC + offset, as ISO 8601 counts it) as ISO 8601's ``+01:00``,
    ``+02:00``, ``-05:30``, ``+00:00``; None for ``x`` (not known) and for anything else that is not an offset
    from -12 to +14 hours."""
    minutes = offset_minutes(code)
    return None if minutes is None else iso_offset(minutes)


def _scales(cfg, primary):
    """Per analog channel: (a, b, ratio or None, unit prefix or None) and the Channel without values."""
    scales, channels, vague = [], [], []
    for ch in cfg.analog:
        ratio = None
        if primary and ch["ps"] == "S" and ch["secondary"] != 0:
            ratio = ch["primary"] / ch["secondary"]
        elif not primary and ch["ps"] == "P" and ch["primary"] != 0:
            ratio = ch["secondary"] / ch["primary"]
        kind, phase = classify(ch["name"], ch["phase"], ch["unit"])
        base, prefix = unit_scale(ch["unit"])
        scales.append((ch["a"], ch["b"], ratio, prefix if prefix != 1.0 else None))
        unit = {"voltage": "V", "current": "A"}.get(base, ch["unit"])
        channel = Channel(ch["name"], None, unit, kind, phase, ch["circuit"], phase_field=ch["phase"])
        # The largest value the channel can hold, from its declared raw range
        # and never beyond what the data file type holds. A range that says
        # nothing (±3.4e38, the float32 limits, on FLOAT32; min not below
        # max; not a number) gives none: whether the channel carries a
        # voltage is then judged from its waveform alone.
        low, high = ch["min"], ch["max"]
        if not (np.isfinite(low) and np.isfinite(high) and low < high and max(abs(low), abs(high)) < SAYS_NOTHING):
            channel.full_scale = None
            vague.append(f"{ch['name']} ({ch['min']:g} to {ch['max']:g})")
        else:
            if cfg.file_type in _TYPE_RANGE:
                low, high = max(low, _TYPE_RANGE[cfg.file_type][0]), min(high, _TYPE_RANGE[cfg.file_type][1])
            full = max(abs(low * ch["a"] + ch["b"]), abs(high * ch["a"] + ch["b"]))
            channel.full_scale = full * (ratio or 1.0) * (prefix or 1.0)
        # A primary factor that differs from the secondary one is a rating
        # (13.8 kV over 120 V); equal factors (1, 1) say nothing.
        if ch.get("rated") and 0 < ch["primary"] != ch["secondary"] > 0 and np.isfinite(ch["primary"]):
            channel.rated_primary = ch["primary"] * (prefix or 1.0)
            channel.rated_secondary = ch["secondary"] * (prefix or 1.0)
        channels.append(channel)
    if vague:
        cfg.notes.append(f"{cfg.path}: declared ranges that say nothing of the scale, not used: {', '.join(vague)}")
    return scales, channels


def _scaled(scales, values, indices):
    """a*x + b of the raw values (m, analog channels) at `indices`, to primary or secondary values, in SI
    base units: float64 (len(indices), m)."""
    out = np.empty((len(indices), len(values)))
    for row, k in enumerate(indices):
        a, b, ratio, prefix = scales[k]
        column = values[:, k]
        v = (column if column.dtype == np.float64 else column.astype(np.float64)) * a + b
        if ratio is not None:
            v *= ratio
        if prefix is not None:
            v *= prefix
        out[row] = v
    return out


def _parse_ascii(cfg, lines, where):
    """(analog values, time stamps, status bits) of the ASCII sample records in `lines`: (line number, text)."""
    na, nd = cfg.analog_count, cfg.status_count
    width = 2 + na + nd
    rows = []
    times = []
    bits = []
    for number, line in lines:
        if not line.strip() or line.strip() == "\x1a":
            continue
        parts = line.split(",")
        if len(parts) != width:
            raise ComtradeError(f"{where}:{number}: sample record: expected {width} fields (number, time stamp, "
                                f"{na} analog, {nd} status), found {len(parts)}")
        try:
            times.append(float(parts[1]) if parts[1].strip() else np.nan)
            rows.append([float(p) if p.strip() else np.nan for p in parts[2:2 + na]])
        except ValueError:
            raise ComtradeError(f"{where}:{number}: sample record: a field is not a number: {line.strip()!r}") from None
        if nd:
            status = [p.strip() for p in parts[2 + na:]]
            for k, p in enumerate(status):
                if p not in ("0", "1"):
                    raise ComtradeError(f"{where}:{number}: sample record: status channel {k + 1} is {p!r}, not 0 or 1")
            bits.append([p == "1" for p in status])
    values = np.array(rows, dtype=np.float64).reshape(len(rows), na)
    values[values == 99999] = np.nan
    return values, np.array(times, dtype=np.float64), np.array(bits, dtype=np.uint8).reshape(len(rows), nd)


def _record_dtype(file_type, analog_count, status_count):
    return np.dtype([("n", "<u4"), ("t", "<i4"), ("a", _ANALOG_DTYPE[file_type], (analog_count,)),
                     ("d", "<u2", ((status_count + 15) // 16,))])


def _read_binary(cfg, raw, where):
    """(analog values, time stamps, status bits) of binary records in the bytes `raw`."""
    record = _record_dtype(cfg.file_type, cfg.analog_count, cfg.status_count)
    if len(raw) % record.itemsize:
        raise ComtradeError(f"{where}: {len(raw)} bytes are not a whole number of {record.itemsize}-byte records "
                            f"({cfg.file_type}, {cfg.analog_count} analog and {cfg.status_count} status channels)")
    data = np.frombuffer(raw, dtype=record)
    values = data["a"].reshape(len(data), cfg.analog_count)
    if cfg.file_type in _MISSING:
        missing = values == _MISSING[cfg.file_type]
        values = values.astype(np.float64)
        values[missing] = np.nan
    elif cfg.file_type == "FLOAT32":
        values = values.astype(np.float64)
        values[~np.isfinite(values)] = np.nan
    # The words' bytes as stored (little-endian): bit k of the row is status channel k + 1.
    words = np.ascontiguousarray(data["d"]).view(np.uint8).reshape(len(data), -1)
    bits = np.unpackbits(words, axis=1, bitorder="little")[:, :cfg.status_count]
    return values, data["t"].astype(np.float64), bits


# Large binary reads go past the page cache (O_DIRECT, Linux): filling the
# cache costs about 2 ms of system time per MB read here, a sixth of the
# analysis, and a recording of hours or a week is read once and evicts what
# else was cached. Smaller reads keep the cache: below DIRECT_MINIMUM bytes
# its cost is at most about 10 ms, and a file that small is most often read
# again (a second run with other options, the tests), when the cache makes
# the reading free. So does a file the cache holds already (just written,
# or read before): copying from the cache costs less CPU time than a direct
# read's, and no wait for the disk; CACHE_PROBES places spread over what is
# to be read are asked for without waiting (RWF_NOWAIT), and when every one
# is cached, the reads are buffered. POWERQUALITY_DIRECT_READS=0 (or no,
# off, false) in the environment turns direct reads off.
DIRECT_MINIMUM = 1 << 22  # bytes to read, from which reads go direct
DIRECT_CHUNK = 1 << 22  # bytes a direct read takes at least (whole blocks); two buffers of it are held
DIRECT_ALIGN = 4096  # the offset, length and address of a direct read are multiples of it (the block size)
CACHE_PROBES = 16


def _direct_wanted(total):
    """Whether `total` bytes may be read past the page cache (unless it holds them, see :func:`_cached`)."""
    if getattr(os, "O_DIRECT", None) is None or total < DIRECT_MINIMUM:
        return False
    return os.environ.get("POWERQUALITY_DIRECT_READS", "1").strip().lower() not in ("0", "no", "off", "false")


def _cached(path, start, total):
    """Whether the page cache holds the `total` bytes of `path` from `start`, as a byte at each of
    CACHE_PROBES places spread over them, the last byte among them, says: read without waiting for the disk
    (a place not cached fails at once, starting no read). False where that cannot be asked."""
    nowait = getattr(os, "RWF_NOWAIT", None)
    if nowait is None:
        return False
    byte = bytearray(1)
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return False
    try:
        for k in range(1, CACHE_PROBES + 1):
            if os.preadv(fd, [byte], start + (total - 1) * k // CACHE_PROBES, nowait) != 1:
                return False
        return True
    except OSError:  # not cached (EAGAIN), or not to be asked
        return False
    finally:
        os.close(fd)


def _read_blocks(path, start, block, total, where):
    """Views of `total` bytes of `path` from byte `start`, `block` bytes at a time (the last may be shorter),
    one at a time; each is overwritten once the next is asked for. A block the file ends in raises "the file
    ended while it was read" (the blocks before it are given).

    Buffered reads into one buffer, or, when :func:`_direct_wanted` says so
    and the page cache does not hold them (:func:`_cached`), direct reads
    (O_DIRECT) of the aligned span that covers DIRECT_CHUNK bytes of whole
    blocks or more, into two page-aligned buffers taken in turn: a thread
    reads the next span while the caller works on the current one (the
    read releases the interpreter's lock), and is stopped, and the file
    closed, when the caller stops early. A file system that refuses direct
    reads (older tmpfs, some network and overlay ones: the
    open or the first read fails) is read buffered, with the same results."""
    block, total = int(block), int(total)
    if total <= 0:
        return
    if _direct_wanted(total) and not _cached(path, start, total):
        try:
            fd = os.open(path, os.O_RDONLY | os.O_DIRECT | getattr(os, "O_CLOEXEC", 0))
        except OSError:
            fd = None
        if fd is not None:
            direct = _direct_blocks(fd, start, block, total, where)
            try:
                try:
                    first = next(direct)
                except _Refused:
                    first = None
                if first is not None:  # read directly
                    yield first
                    yield from direct
                    return
            finally:
                direct.close()
    yield from _buffered_blocks(path, start, block, total, where)


class _Refused(Exception):
    """The first direct read failed: the file is read buffered."""


def _buffered_blocks(path, start, block, total, where):
    with open(path, "rb") as f:
        f.seek(start)
        buffer = bytearray(min(block, total))
        for lo in range(0, total, block):
            want = min(block, total - lo)
            got = f.readinto(memoryview(buffer)[:want])
            if got != want:
                raise ComtradeError(f"{where}: the file ended while it was read")
            yield memoryview(buffer)[:got]


def _fill(fd, buffer, offset, length):
    """Bytes read directly into `buffer` from the aligned `offset`, at most the aligned `length`: fewer where
    the file ends."""
    got = 0
    view = memoryview(buffer)
    while got < length:
        n = os.preadv(fd, [view[got:length]], offset + got)
        got += n
        if n == 0 or got % DIRECT_ALIGN:  # the end of the file
            break
    return got


def _buffer(size):
    """A page-aligned buffer of `size` bytes, in huge pages where the system gives them (fewer faults)."""
    buffer = mmap.mmap(-1, size)
    if hasattr(mmap, "MADV_HUGEPAGE"):
        try:
            buffer.madvise(mmap.MADV_HUGEPAGE)
        except OSError:
            pass
    return buffer


def _direct_blocks(fd, start, block, total, where):
    """The blocks of :func:`_read_blocks` read from `fd`, opened with O_DIRECT (closed when done); _Refused
    when the first read fails."""
    # Spans of whole blocks, DIRECT_CHUNK bytes or more each (but the last), read from the 4096 bytes that
    # hold their first byte to those that hold their last.
    step = max(1, -(-DIRECT_CHUNK // block)) * block

    def span(lo):
        """(aligned offset, aligned length, where the span starts in it, its bytes) of the span at `lo`."""
        size = min(step, total - lo)
        at = start + lo
        low = at // DIRECT_ALIGN * DIRECT_ALIGN
        return low, -(-(at + size) // DIRECT_ALIGN) * DIRECT_ALIGN - low, at - low, size

    free, full = queue.SimpleQueue(), queue.SimpleQueue()
    stopped = threading.Event()

    def ahead():
        for lo in range(step, total, step):
            buffer = free.get()
            if stopped.is_set():
                return
            offset, length = span(lo)[:2]
            try:
                full.put((buffer, _fill(fd, buffer, offset, length)))
            except BaseException as e:  # given to the caller
                full.put((buffer, e))
                return

    thread = None
    try:
        capacity = -(-min(step, total) // DIRECT_ALIGN) * DIRECT_ALIGN + DIRECT_ALIGN
        buffer = _buffer(capacity)
        try:
            got = _fill(fd, buffer, *span(0)[:2])
        except OSError:
            raise _Refused() from None
        if step < total:
            free.put(_buffer(capacity))
            thread = threading.Thread(target=ahead, name="powerquality read-ahead", daemon=True)
            thread.start()
        for lo in range(0, total, step):
            if lo:
                free.put(buffer)  # the caller has asked for the next block: done with this buffer
                buffer, got = full.get()
                if isinstance(got, BaseException):
                    raise got
            _, _, first, size = span(lo)
            for offset in range(first, first + size, block):
                n = min(block, first + size - offset)
                if offset + n > got:
                    raise ComtradeError(f"{where}: the file ended while it was read")
                yield memoryview(buffer)[offset:offset + n]
    finally:
        if thread is not None:
            stopped.set()
            free.put(None)
            thread.join()
        os.close(fd)


class _Data:
    """The sample records of a recording, read in blocks: binary records at `offset` of `path`
    (`size` bytes, to the end of the file by default), or ASCII lines from `offset` to `end` whose
    first is line `first_line` (messages name `where`)."""

    READ = 1 << 22  # bytes of ASCII text read at a time

    def __init__(self, cfg, path, where, offset=0, size=None, end=None, first_line=1, encoding="latin-1"):
        self.cfg, self.path, self.where, self.offset, self.end = cfg, path, where, offset, end
        self.first_line, self.encoding = first_line, encoding
        self.skip = 0  # records before the first one read (another sampling rate's section)
        announced = cfg.samples
        if cfg.file_type == "ASCII":
            # The records present are read, however many the configuration
            # announces; the difference is said.
            self.count, first = self._count_records()
            if self.count == announced + 1 and first == 0:
                cfg.notes.append(f"{where}: the samples are numbered from 0: {self.count} records for the "
                                 f"{announced} the configuration announces, all read")
                self.from_zero = True
            elif self.count != announced:
                cfg.notes.append(f"{where}: {self.count} sample records, the configuration announces {announced}; "
                                 f"the {self.count} present are read")
            return
        record = _record_dtype(cfg.file_type, cfg.analog_count, cfg.status_count)
        self.record = record
        size = os.path.getsize(path) - offset if size is None else size
        if size % record.itemsize:
            raise ComtradeError(f"{where}: {size} bytes are not a whole number of {record.itemsize}-byte records "
                                f"({cfg.file_type}, {cfg.analog_count} analog and {cfg.status_count} status channels)")
        if size == (announced + 1) * record.itemsize and self._first_number() == 0:
            # Numbered from 0 to the last sample number announced: one record more.
            cfg.notes.append(f"{where}: the samples are numbered from 0: {announced + 1} records for the "
                             f"{announced} the configuration announces, all read")
            self.count, self.from_zero = announced + 1, True
            return
        if size != announced * record.itemsize:
            # A data file of another size than announced is most often read with the wrong type.
            hints = [f"as {other} it would hold {size // r.itemsize} samples"
                     for other in _ANALOG_DTYPE if other != cfg.file_type
                     for r in [_record_dtype(other, cfg.analog_count, cfg.status_count)]
                     if size and size == announced * r.itemsize]
            raise ComtradeError(f"{where}: {size} bytes hold {size // record.itemsize} {cfg.file_type} records of "
                                f"{record.itemsize} bytes, but the configuration announces {announced} samples "
                                f"({announced * record.itemsize} bytes)"
                                + (f"; {hints[0]}: is the data file type right?" if hints else ""))
        self.count = announced

    from_zero = False  # the records are numbered from 0, one more than announced

    def _first_number(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            raw = f.read(4)
        return int.from_bytes(raw, "little") if len(raw) == 4 else None

    def _records_text(self):
        """(number, text) of the ASCII lines that hold a record (not blank, not an end-of-file mark)."""
        for number, line in self._lines():
            if line.strip() not in ("", "\x1a"):
                yield number, line

    def _count_records(self):
        """(number of ASCII records, the sample number of the first, or None)."""
        count, first = 0, None
        for _, line in self._records_text():
            if first is None:
                try:
                    first = int(line.split(",", 1)[0])
                except ValueError:
                    first = -1
            count += 1
        return count, first

    def chunks(self, size):
        """(values, time stamps, status bits) of about `size` samples at a time, from the first read."""
        if self.cfg.file_type != "ASCII":
            for raw in self._records(size):
                yield _read_binary(self.cfg, raw, self.where)
            return
        lines = itertools.islice(self._records_text(), self.skip, self.skip + self.count)
        while True:
            batch = list(itertools.islice(lines, size))
            if not batch:
                return
            yield _parse_ascii(self.cfg, batch, self.where)

    def stamps(self, count):
        """The time stamps (float64) of the first `count` records read, as ``chunks`` gives them; of binary
        records without converting their values."""
        if self.cfg.file_type == "ASCII":
            return next(self.chunks(count), (None, np.zeros(0)))[1]
        for raw in self._records(count):
            return np.frombuffer(raw, dtype=self.record)["t"].astype(np.float64)
        return np.zeros(0)

    def _records(self, size, reuse=False, first=0, stop=None):
        """The bytes of about `size` binary records at a time from record `first` to record `stop` (the last by
        default). With `reuse`, each block is a view of a buffer that a later block overwrites, so the caller is
        done with a block before it asks for the next, and large reads go past the page cache (see
        :func:`_read_blocks`); without, each block is bytes of its own."""
        stop = self.count if stop is None else max(first, min(int(stop), self.count))
        start, record = self.offset + (self.skip + first) * self.record.itemsize, self.record.itemsize
        if reuse:
            yield from _read_blocks(self.path, start, size * record, (stop - first) * record, self.where)
            return
        with open(self.path, "rb") as f:
            f.seek(start)
            for lo in range(first, stop, size):
                want = min(size, stop - lo) * record
                raw = f.read(want)
                if len(raw) != want:
                    raise ComtradeError(f"{self.where}: the file ended while it was read")
                yield raw

    def scaled(self, size, scales, indices, first=0, dtype=np.float32, stop=None):
        """Blocks of float32 (or float64) (len(indices), m) of the analog channels at `indices`, scaled; NaN
        where missing; from sample `first` to sample `stop` (binary records only: ASCII lines are read from the
        first to the last).

        The values are those of ``_scaled`` (float64 arithmetic, then float32),
        computed without the time stamps, status bits and float64 copies of
        the whole record; the file is read into buffers used again for
        every block (:func:`_read_blocks`), and the extension (``_core.scale_records``) scales each
        block's records in one pass straight into its rows.

        Each value takes the steps ``_scaled`` takes, in double: the raw
        value times a, plus b, times the ratio, times the prefix, rounded
        once into the row. Adding b = 0 to integers is skipped when a > 0:
        x * a is then never -0, the one value + 0.0 changes (a float's x may
        be -0, so it is always added). An integer type's missing value is its
        smallest; a float's any that is not finite."""
        if self.cfg.file_type == "ASCII":
            for values, _, _ in self.chunks(size):
                yield _scaled(scales, values, indices).astype(dtype, copy=False)
            return
        integers = self.cfg.file_type in _MISSING
        steps = []
        for k in indices:
            a, b, ratio, prefix = scales[k]
            keep_b = not (b == 0.0 and a > 0.0 and integers)  # integers: never -0 (a float may be)
            steps.append((float(a), float(b) if keep_b else None,
                          [float(f) for f in (ratio, prefix) if f is not None]))
        columns = [int(k) for k in indices]
        raw_type, record_size = _ANALOG_DTYPE[self.cfg.file_type], self.record.itemsize
        analog_offset = self.record.fields["a"][1]
        for raw in self._records(size, reuse=True, first=first, stop=stop):
            out = np.empty((len(columns), len(raw) // record_size), dtype)
            _core.scale_records(raw, record_size, analog_offset, self.cfg.analog_count, raw_type, columns, steps, out)
            yield out

    def _lines(self):
        """(number, text) of the lines, split at CR, LF or CR LF only."""
        number = self.first_line
        tail = b""
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            left = None if self.end is None else self.end - self.offset
            while True:
                data = f.read(self.READ if left is None else min(self.READ, left))
                if left is not None:
                    left -= len(data)
                buf = tail + data
                if not buf:
                    return
                carry = b""
                if data and buf.endswith(b"\r"):
                    buf, carry = buf[:-1], b"\r"  # its LF may start the next read
                parts = re.split(rb"\r\n|\r|\n", buf)
                tail = (parts.pop() if data else b"") + carry
                if not data and parts and parts[-1] == b"":
                    parts.pop()
                for part in parts:
                    yield number, part.decode(self.encoding, errors="replace")
                    number += 1
                if not data:
                    return

    def read(self):
        """Every sample: (values, time stamps, status bits)."""
        parts = list(self.chunks(max(self.count, 1) if self.cfg.file_type != "ASCII" else 1 << 16))
        if not parts:
            na, nd = self.cfg.analog_count, self.cfg.status_count
            return np.zeros((0, na)), np.zeros(0), np.zeros((0, nd), np.uint8)
        return tuple(np.concatenate([p[k] for p in parts]) for k in range(3))


def _read_text(path):
    with open(path, "rb") as f:
        return _decode(f.read())


def _companion(base, ext):
    """base + ext in lower or upper case, whichever exists (else None)."""
    for e in (ext, ext.upper()):
        if os.path.exists(base + e):
            return base + e
    return None


def _locate(path):
    """(kind, path): ('cff', the .cff) or ('pair', the .cfg) of what `path` names."""
    path = os.fspath(path)
    base, ext = os.path.splitext(path)
    if ext.lower() not in (".cfg", ".dat", ".cff"):
        base, ext = path, ""
        if not _companion(base, ".cfg") and _companion(base, ".cff"):
            ext = ".cff"
    if ext.lower() == ".cff":
        found = path if os.path.exists(path) else _companion(base, ".cff")
        if found is None:
            raise ComtradeError(f"{path}: no such file")
        return "cff", found
    cfg_path = _companion(base, ".cfg")
    if cfg_path is None and not ext and os.path.isfile(path):
        # A file of another kind (a README, a .mat): say what is read rather than look for NAME.cfg.
        raise ComtradeError(f"{path}: not a recording read here: give a COMTRADE .cfg, .dat or .cff file, "
                            "their base name, or a .csv file")
    if cfg_path is None:
        raise ComtradeError(f"{base}.cfg: no such configuration file")
    return "pair", cfg_path


def _parts(path, primary):
    """(configuration, _Data, source, texts) of a recording."""
    kind, found = _locate(path)
    if kind == "cff":
        return _cff_parts(found)
    cfg_path = found
    dat_path = cfg_path[:-4] + (".dat" if cfg_path.endswith(".cfg") else ".DAT")
    cfg = Config(cfg_path)
    if not os.path.exists(dat_path):
        raise ComtradeError(f"{dat_path}: no such data file")
    data = _Data(cfg, dat_path, dat_path)
    texts = {}
    for key, ext in (("header", ".hdr"), ("information", ".inf")):
        companion = _companion(cfg_path[:-4], ext)
        texts[key] = _read_text(companion).rstrip("\r\n") if companion else ""
    return cfg, data, cfg_path, texts


def _recording(cfg, data, channels, source, texts, sample_rate, start=None, time_zone=None):
    """The Recording of a configuration and its data (channels without values), its rate and notes set; the
    data narrowed to the section that is read (see ``_timing``)."""
    if sample_rate is not None:
        rate, rate_source, offset = sample_rate, f"{source}: the sample rate given", 0.0
    else:
        rate, rate_source, offset = _timing(cfg, data)
    frequency = cfg.frequency
    low, high = NOMINAL_FREQUENCIES
    if not low <= frequency <= high:  # NaN too
        cfg.notes.append(f"{cfg.frequency_line}: line frequency {frequency:g} Hz is no nominal frequency "
                         f"({low:g} to {high:g} Hz); the waveform's is taken (give --nominal to set it)")
        frequency = None
    recording = Recording(channels, rate, frequency, cfg.start, source, rate_source=rate_source,
                          frequency_source=cfg.frequency_line, trigger=cfg.trigger)
    recording.header, recording.information = texts["header"], texts["information"]
    # Where and by what it was recorded, as the configuration's first line and time codes say.
    recording.station, recording.device, recording.time_zone = cfg.station, cfg.device, cfg.time_zone
    recording.local_zone = cfg.local_zone
    recording.notes.extend(cfg.notes)
    _clock(cfg, recording, start, time_zone)
    if offset and start is None:
        recording.start = _shifted(cfg.start, offset, recording.date_order)
    return recording


def read(path, primary=True, sample_rate=None, start=None, time_zone=None):
    """Read a COMTRADE recording whole.

    Parameters
    ----------
    path : str
        The .cfg or .dat file, or their common base name, or a .cff file.
    primary : bool
        Convert every analog channel to primary values (True, default) or
        to secondary values (False), using its primary and secondary ratios.
    sample_rate : float, optional
        The sample rate, instead of the configuration's and the time stamps'.
    start, time_zone : str, optional
        The start (ISO 8601) and the recorder's offset from UTC ('+02:00')
        or time zone ('Europe/Paris'), instead of the file's.

    Returns
    -------
    Recording
        With the analog ``channels``, the ``status`` channels and the
        ``header`` and ``information`` text; ``notes`` say what was read
        leniently or contradicts itself.
    """
    cfg, data, source, texts = _parts(path, primary)
    scales, channels = _scales(cfg, primary)
    recording = _recording(cfg, data, channels, source, texts, sample_rate, start, time_zone)
    values, stamps, bits = data.read()
    scaled = _scaled(scales, values, range(cfg.analog_count))
    for k, c in enumerate(channels):
        c.values = scaled[k]
    recording.status = {name: bits[:, k].copy() for k, name in enumerate(cfg.status)}
    return recording


def open_blocks(path, primary=True, sample_rate=None, start=None, time_zone=None):
    """Open a COMTRADE recording for reading block by block (see ``Recording.blocks``).

    The analog channels come without values; their samples are read from
    the file block by block, a block's memory independent of the file's
    size. Status channels are not read. ``read`` gives the same values whole.
    """
    cfg, data, source, texts = _parts(path, primary)
    scales, channels = _scales(cfg, primary)
    recording = _recording(cfg, data, channels, source, texts, sample_rate, start, time_zone)

    def reader(size, indices, dtype=np.float32, first=0, stop=None):
        if dtype == np.float32 or data.cfg.file_type != "ASCII":
            yield from data.scaled(size, scales, indices, first, np.float32 if dtype == np.float32 else np.float64,
                                   stop)
            return
        for values, _, _ in data.chunks(size):
            yield _scaled(scales, values, indices)

    # Binary records have one size: a reader of float32 blocks starts at any sample without reading those before,
    # and stops at any.
    reader.seekable = data.cfg.file_type != "ASCII"
    recording.reader, recording.length = reader, data.count
    return recording


def _split_cff(path, raw, notes=None):
    """The sections of a .cff (raw: its bytes, or a memory map of them):
    {key: (start, end, first line, where the marker is, kind)}, start and end byte offsets.

    key is 'CFG', 'INF', 'HDR' or 'DAT'; kind the same or 'DAT ASCII', 'DAT BINARY'.
    """
    sections = {}
    pos = len(_BOM) if raw[:3] == _BOM else 0
    line = 1
    after_binary = False  # line numbers mean nothing past binary data: say byte offsets there
    current = None  # (kind, start offset, first line, marker) of a section running to the next marker
    last = None  # the kind of the last section
    odd_dashes = False  # a marker with other than three dashes was noted

    def where(at):
        return f"byte {at}" if after_binary else f"{line}"

    def close(end):
        if current:
            kind, start, first, marker = current
            sections[kind[:3]] = (start, end, first, marker, kind)

    size = len(raw)
    # A memory map's pages scanned past are given back, so that a long ASCII
    # DAT section does not stay resident.
    release = getattr(raw, "madvise", None) if hasattr(mmap, "MADV_DONTNEED") else None
    released = 0
    while pos < size:
        if release is not None and pos - released >= 1 << 24:
            done = pos // mmap.PAGESIZE * mmap.PAGESIZE
            release(mmap.MADV_DONTNEED, released, done - released)
            released = done
        end = raw.find(b"\n", pos)
        nxt = size if end < 0 else end + 1
        text = raw[pos:min(nxt, pos + 200)].decode("latin-1") if nxt - pos > 200 else raw[pos:nxt].decode("latin-1")
        if _MARKER_LIKE.match(text):
            m = _MARKER.match(text.rstrip("\r\n"))
            if not m:
                raise ComtradeError(f"{path}:{where(pos)}: malformed section marker {text.strip()!r}; expected e.g. "
                                    "'--- file type: CFG ---' or '--- file type: DAT BINARY: <byte count> ---'")
            kind = " ".join(m.group("kind").upper().split())
            count = m.group("count")
            if notes is not None and not odd_dashes and (m.group("dashes"), m.group("closing")) != ("---", "---"):
                odd_dashes = True
                notes.append(f"{path}:{where(pos)}: section marker {text.strip()!r} read as "
                             f"'--- file type: {kind} ---'")
            if kind[:3] in sections or (current and current[0][:3] == kind[:3]):
                raise ComtradeError(f"{path}:{where(pos)}: a second {kind[:3]} section")
            if count is not None and not kind.startswith("DAT"):
                raise ComtradeError(f"{path}:{where(pos)}: a {kind} section has no byte count: {text.strip()!r}")
            if count is None and kind == "DAT BINARY":
                raise ComtradeError(f"{path}:{where(pos)}: the DAT BINARY marker needs the byte count of its data, "
                                    "as in '--- file type: DAT BINARY: 1234 ---'")
            close(pos)
            current = None
            marker = where(pos)
            last = kind
            if count is None:
                current = (kind, nxt, line + 1, marker)
            else:
                stop = nxt + int(count)
                if stop > size:
                    raise ComtradeError(f"{path}:{marker}: the {kind} section announces {count} bytes, "
                                        f"only {size - nxt} follow")
                sections[kind[:3]] = (nxt, stop, line + 1, marker, kind)
                after_binary = after_binary or kind == "DAT BINARY"
                pos = stop
                continue
        elif current is None and text.strip() not in ("", "\x1a"):
            if not sections:
                raise ComtradeError(f"{path}:{where(pos)}: expected a section marker such as "
                                    f"'--- file type: CFG ---', found {text.strip()[:40]!r}")
            start, stop = sections[last[:3]][:2]
            raise ComtradeError(f"{path}:{where(pos)}: data after the {stop - start}-byte {last} section "
                                f"(is its byte count right?): {text.strip()[:40]!r}")
        pos = nxt
        line += 1
    close(size)
    for key, example in (("CFG", "CFG"), ("DAT", "DAT ASCII")):
        if key not in sections:
            raise ComtradeError(f"{path}: no {key} section (its marker is a line such as '--- file type: {example} ---')")
    return sections


def _cff_parts(path):
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            raise ComtradeError(f"{path}: the file is empty")
        raw = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    try:
        encoding = "utf-8" if raw[:3] == _BOM else "latin-1"  # of the ASCII sample records: digits
        notes = []
        sections = _split_cff(path, raw, notes)

        def text(key, notes=None):
            if key not in sections:
                return ""
            start, end = sections[key][:2]
            return _decode(raw[start:end], f"{path}:{sections[key][3]}", notes).rstrip("\r\n")

        cfg = Config(path, _Lines(path, text("CFG", notes), sections["CFG"][2]))
        cfg.notes[:0] = notes
        texts = {"header": text("HDR"), "information": text("INF")}
    finally:
        raw.close()
    start, end, first, marker, kind = sections["DAT"]
    if (kind == "DAT ASCII") != (cfg.file_type == "ASCII"):
        raise ComtradeError(f"{path}:{marker}: a {kind} section, but the configuration's data file type is "
                            f"{cfg.file_type}")
    if kind == "DAT ASCII":
        data = _Data(cfg, path, path, offset=start, end=end, first_line=first, encoding=encoding)
    else:
        data = _Data(cfg, path, f"{path}:byte {start}", offset=start, size=end - start)
    return cfg, data, path, texts


def _stamp_rate(cfg, data, what):
    """The rate the time stamps of every record read show, fitted from the first to the last, when they are
    uniform; else a ComtradeError that names the rate's line and says `what` the configuration gives."""
    first = last = None
    count = 0
    low, high = np.inf, -np.inf
    previous = None
    for part in (chunk[1] for chunk in data.chunks(1 << 20)):
        if not len(part):
            continue
        joined = part if previous is None else np.concatenate([[previous], part])
        steps = np.diff(joined)
        if len(steps):
            low, high = min(low, float(np.min(steps))), max(high, float(np.max(steps)))
        first = float(part[0]) if first is None else first
        last, previous = float(part[-1]), part[-1]
        count += len(part)
    if count < 2 or not (low > 0) or not np.isfinite(high):
        raise ComtradeError(f"{cfg.rate_line}: {what}, but the time stamps in {data.where} do not increase "
                            f"from sample to sample; this analysis needs one sample rate")
    step = (last - first) / (count - 1)
    tolerance = 1e-3 * step + 1.5
    if high - step > tolerance or step - low > tolerance:
        raise ComtradeError(f"{cfg.rate_line}: {what}, but the samples in {data.where} are not uniformly spaced "
                            f"(time stamp steps {low:g} to {high:g}); this analysis needs one sample rate")
    return 1.0 / (step * cfg.time_multiplier * 1e-6)


# Records whose time stamps are held against a declared sample rate.
STAMP_CHECK = 1 << 16
# A declared rate and its time stamps' agree within this share (beyond the stamps' rounding to whole units).
RATE_AGREEMENT = 1e-3


def _sections(cfg, data):
    """[(rate, first index, stop index)] of the configuration's sampling rates, records indexed from 0 in the
    data file, sections of equal rate one after the other joined."""
    sections = []
    previous = 0
    shift = 1 if data.from_zero else 0  # numbered from 0: the first section holds one record more
    for k, (rate, last) in enumerate(cfg.rates):
        lo, hi = (0 if k == 0 else previous + shift), min(last + shift, data.count)
        previous = last
        if sections and sections[-1][0] == rate:
            sections[-1] = (rate, sections[-1][1], max(hi, sections[-1][2]))
        elif hi > lo or not sections:
            sections.append((rate, lo, max(hi, lo)))
    return sections


def _timing(cfg, data):
    """(sample rate, where it came from, seconds from the file's first sample to the first one read).

    One rate: the configuration's, unless the time stamps of the first
    STAMP_CHECK records, increasing and uniform, show another by more than
    RATE_AGREEMENT (and a rate within SAMPLE_RATES): then theirs, with a note.
    Time stamps that do not increase (they are optional beside a rate; some
    recorders let them wrap at 65536) say nothing. Rate 0 (time stamps only):
    the rate the time stamps show over the whole file when they are uniform,
    else a refusal. Several rates: the time stamps' rate when they are
    uniform, else the longest section (in seconds) whose rate is within
    SAMPLE_RATES is read alone, named in a note; none: a refusal naming them.
    """
    sections = _sections(cfg, data)
    rates = [r for r, _, _ in sections]
    if len(rates) == 1 and rates[0] > 0:
        rate = rates[0]
        head = data.stamps(min(STAMP_CHECK, max(data.count, 1)))
        steps = np.diff(head)
        if len(head) >= 3 and np.all(steps > 0):
            step = (head[-1] - head[0]) / (len(head) - 1)
            uniform = np.max(np.abs(steps - step)) <= 1e-3 * step + 1.5
            stamped = 1.0 / (step * cfg.time_multiplier * 1e-6)
            # Stamps of whole units are off by up to one unit at each end.
            tolerance = RATE_AGREEMENT + 2.0 / (head[-1] - head[0])
            # Whole hertz when they lie within the stamps' rounding (5760, not 5759.99).
            if abs(round(stamped) - stamped) <= stamped * 2.0 / (head[-1] - head[0]):
                stamped = float(round(stamped))
            if uniform and abs(stamped / rate - 1.0) > tolerance and SAMPLE_RATES[0] <= stamped <= SAMPLE_RATES[1]:
                cfg.notes.append(f"{cfg.rate_line}: the configuration's sample rate {rate:g} Hz, but the time "
                                 f"stamps in {data.where} step by {step * cfg.time_multiplier:.6g} µs: "
                                 f"{stamped:.6g} Hz, which is used (give --rate to overrule)")
                return stamped, f"{data.where}: the time stamps, a step of {step * cfg.time_multiplier:.6g} µs", 0.0
        return rate, cfg.rate_line, 0.0
    what = ("sampling rate 0 (the time stamps give the timing)" if len(rates) == 1
            else f"{len(rates)} sampling rates {rates}")
    try:
        return _stamp_rate(cfg, data, what), f"{data.where}: the time stamps", 0.0
    except ComtradeError:
        if 0 in rates:
            raise
    listed = "; ".join(f"{k + 1}: {r:g} Hz, samples {lo + 1} to {hi}" for k, (r, lo, hi) in enumerate(sections))
    usable = [(-(hi - lo) / r, -(hi - lo), k) for k, (r, lo, hi) in enumerate(sections)
              if hi - lo >= 2 and SAMPLE_RATES[0] <= r <= SAMPLE_RATES[1]]
    if not usable:
        raise ComtradeError(f"{cfg.rate_line}: {len(sections)} sampling rates ({listed}) and no section with a "
                            f"sample rate of {SAMPLE_RATES[0]:g} Hz or more holds two samples; nothing to analyse")
    k = min(usable)[2]
    rate, lo, hi = sections[k]
    offset = sum((b - a) / r for r, a, b in sections[:k])
    cfg.notes.append(f"{cfg.rate_line}: {len(sections)} sampling rates ({listed}); section {k + 1}, the longest, "
                     f"is analysed alone: {hi - lo} samples at {rate:g} Hz ({(hi - lo) / rate:.6g} s), from "
                     f"{offset:.6g} s after the first sample")
    data.skip, data.count = lo, hi - lo
    return rate, f"{cfg.rate_line} (section {k + 1})", offset


def _shifted(start, seconds, order):
    """The start time text `start` (day and month in `order`) moved on by `seconds`, written in its layout:
    the same order, year digits and digits of the second's fraction (six at least); unchanged when
    unreadable."""
    try:
        clock = read_clock(start, order)
    except ValueError:
        return start
    match = re.match(r"^\s*\d{1,2}\s*/\s*\d{1,2}\s*/\s*(\d+)\s*,[^.]*(?:\.(\d*))?", start)
    if clock is None or match is None:
        return start
    moved = clock[0] + np.timedelta64(int(round(seconds * 1e9)), "ns")
    text = str(moved)  # yyyy-mm-ddThh:mm:ss.fffffffff
    year, month, day = text[:4], text[5:7], text[8:10]
    digits = min(max(len(match.group(2) or ""), 6), 9)
    date = f"{day}/{month}" if order == "dmy" else f"{month}/{day}"
    return f"{date}/{year if len(match.group(1)) == 4 else year[2:]},{text[11:19]}.{text[20:20 + digits]}"


def _clock(cfg, recording, start, time_zone):
    """The recording's start and trigger as the configuration gives them, read in its revision's order of
    day and month (1991: mm/dd/yy; later: dd/mm/yyyy; the other order, with a note, when only it makes a
    date), then the start and time zone given laid over them (``Recording.set_clock``). A start that is not
    a date is refused, naming its line, unless a start is given; a trigger that is not one is noted."""
    order = "mdy" if cfg.layout == "1991" else "dmy"
    for what, text, where in (("start", cfg.start, cfg.start_line), ("trigger", cfg.trigger, cfg.trigger_line)):
        # The trigger is read in the order the start was.
        expected = order
        other = "dmy" if expected == "mdy" else "mdy"
        try:
            clock = read_clock(text, expected)
            taken = expected
        except ValueError as e:
            try:
                clock, taken = read_clock(text, other), other
            except ValueError:
                if what == "trigger":
                    recording.notes.append(f"{where}: trigger date and time: {e}; no trigger time")
                elif start is None:
                    raise ComtradeError(f"{where}: start date and time: {e} (give --start with the date and time "
                                        "in ISO 8601 to set it)") from None
                continue
            recording.notes.append(f"{where}: {what} date and time {text.strip()!r} is no date as "
                                   f"{DATE_ORDERS[expected]} reads it (the {cfg.layout} layout's order); read as "
                                   f"{DATE_ORDERS[other]}")
        if what == "start":
            order = taken
            if clock is None and start is None:
                recording.notes.append(f"{where}: no start date and time ({text.strip()!r}): no clock times "
                                       "(give --start to set it)")
    recording.date_order = order
    recording.set_clock(start, time_zone)


def write(base, channels, sample_rate, frequency=50.0, file_type="BINARY", revision="1999",
          units=None, phases=None, secondary=False, start="01/01/2020,00:00:00.000000",
          status=None, single_file=False, header=None, information=None, station="test station",
          device="recorder", time_code="+0h00"):
    """Write a COMTRADE recording (used by the tests; handy for examples).

    channels maps names to float arrays (primary values). Each is stored with
    a = max|x| / (full scale of the type), b = 0 (a = 1 for FLOAT32); with
    ``secondary`` the values are stored as secondary values with ratio
    1000:1 and flag S. status maps names to arrays as long (nonzero is 1).
    Writes base.cfg and base.dat (and base.hdr, base.inf for the texts
    given) and returns the .cfg path; with ``single_file`` writes base.cff
    (sections CFG, INF, HDR and DAT) and returns its path. station and
    device make the first line (latin-1, no commas); time_code (2013 only)
    the time code and local code of the time stamps.
    """
    names = list(channels)
    data = np.vstack([np.asarray(channels[n], dtype=np.float64) for n in names])
    n = data.shape[1]
    status = {k: np.asarray(v) != 0 for k, v in (status or {}).items()}
    if any(len(v) != n for v in status.values()):
        raise ValueError(f"every status channel needs {n} values, as many as the analog channels")
    full = {"ASCII": 32767, "BINARY": 32767, "BINARY32": 2147483647, "FLOAT32": None}[file_type]
    lines = [f"{station},{device}" + ("" if revision == "1991" else f",{revision}"),
             f"{len(names) + len(status)},{len(names)}A,{len(status)}D"]
    scaled = []
    for k, name in enumerate(names):
        v = data[k] / 1000.0 if secondary else data[k]
        a = 1.0 if full is None else max(float(np.max(np.abs(v))), 1e-12) / full
        raw = v if full is None else np.round(v / a)
        scaled.append(raw)
        unit = (units or {}).get(name, "V")
        phase = (phases or {}).get(name, "")
        line = f"{k + 1},{name},{phase},circuit,{unit},{a!r},0.0,0,-32767,32767"
        if revision != "1991":
            line += ",1000,1,S" if secondary else ",1,1,P"
        lines.append(line)
    for k, name in enumerate(status):
        lines.append(f"{k + 1},{name},0" if revision == "1991" else f"{k + 1},{name},,circuit,0")
    # Time stamps are int32 microseconds times the multiplier: a recording
    # longer than 35.8 minutes takes a multiplier of 10, 100, ... so that its
    # stamps do not wrap (the 1991 format has no multiplier).
    seconds = (n - 1) / sample_rate if n else 0.0
    multiplier = 1
    while seconds * 1e6 / multiplier > 2147483647:
        multiplier *= 10
    if multiplier > 1 and revision == "1991":
        raise ValueError(f"{seconds:.0f} s of time stamps do not fit the 1991 format's int32 microseconds; "
                         "write revision 1999 or 2013, whose time stamp multiplier makes room")
    lines += [f"{frequency}", "1", f"{sample_rate},{n}", start, start, file_type]
    if revision != "1991":
        lines.append(f"{multiplier}")
    if revision == "2013":
        lines += [f"{time_code},{time_code}", "0,0"]
    cfg = "".join(line + "\r\n" for line in lines).encode("latin-1")
    stamps = np.round(np.arange(n) * (1e6 / multiplier) / sample_rate).astype(np.int64)
    raw = np.vstack(scaled).T
    bits = np.vstack(list(status.values())).T if status else np.zeros((n, 0), dtype=bool)
    if file_type == "ASCII":
        dat = "".join(f"{i + 1},{stamps[i]}," + ",".join([str(int(x)) for x in raw[i]] + [str(int(b)) for b in bits[i]])
                      + "\r\n" for i in range(n)).encode("latin-1")
    else:
        out = np.zeros(n, dtype=_record_dtype(file_type, len(names), len(status)))
        out["n"] = np.arange(1, n + 1)
        out["t"] = stamps
        out["a"] = raw
        for k in range(len(status)):
            out["d"][:, k // 16] |= bits[:, k].astype(np.uint16) << (k % 16)
        dat = out.tobytes()
    texts = {"hdr": header, "inf": information}
    if single_file:
        marker = "DAT ASCII" if file_type == "ASCII" else f"DAT BINARY: {len(dat)}"
        with open(base + ".cff", "wb") as f:
            f.write(b"--- file type: CFG ---\r\n" + cfg)
            for kind in ("inf", "hdr"):
                f.write(f"--- file type: {kind.upper()} ---\r\n{texts[kind] or ''}".encode("latin-1"))
                if texts[kind] and not texts[kind].endswith("\n"):
                    f.write(b"\r\n")
            f.write(f"--- file type: {marker} ---\r\n".encode("latin-1") + dat)
        return base + ".cff"
    with open(base + ".cfg", "wb") as f:
        f.write(cfg)
    with open(base + ".dat", "wb") as f:
        f.write(dat)
    for kind, text in texts.items():
        if text is not None:
            with open(base + "." + kind, "w", encoding="latin-1", newline="") as f:
                f.write(text)
    return base + ".cfg"

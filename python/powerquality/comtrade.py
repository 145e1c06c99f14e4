"""Reader of COMTRADE recordings (IEEE C37.111 1991, 1999 and 2013).

``read(path)`` takes the .cfg (or the .dat, or the common base name) and
returns a :class:`powerquality.recording.Recording` with the analog channels
scaled as ``a * x + b`` and, by default, converted to primary values, in SI
base units (kV and kA become V and A).

Data file types: ASCII, BINARY (int16 analog values), BINARY32 (int32) and
FLOAT32 (float32); a binary record is a uint32 sample number, an int32 time
stamp, the analog values, then one uint16 per 16 status channels. The
missing-value markers (99999 in ASCII, -32768 in BINARY, -2147483648 in
BINARY32) read as NaN.

Sample rates come from the configuration. A recording with several rates,
or with rate 0 (time stamps only), is read at the rate its time stamps
show when they are uniform; otherwise a RecordingError says why.

Every malformed line is reported as ``file:line: what was expected``.
"""

import os

import numpy as np

from .recording import Channel, Recording, RecordingError, classify, unit_scale

FILE_TYPES = ("ASCII", "BINARY", "BINARY32", "FLOAT32")
_ANALOG_DTYPE = {"BINARY": "<i2", "BINARY32": "<i4", "FLOAT32": "<f4"}
_MISSING = {"BINARY": -32768, "BINARY32": -2147483648}


class ComtradeError(RecordingError):
    """A malformed COMTRADE file; the message names the file and the line."""


class _Lines:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8-sig", errors="replace") if raw[:3] == b"\xef\xbb\xbf" else raw.decode("latin-1")
        self.lines = text.splitlines()
        self.number = 0

    def error(self, what, number=None):
        return ComtradeError(f"{self.path}:{number or self.number}: {what}")

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


class Config:
    """The parsed configuration file."""

    def __init__(self, path):
        lines = _Lines(path)
        self.path = path
        head = lines.fields("station name, recording device and revision year", 2, 3)
        self.station = head[0]
        self.revision = head[2] if len(head) > 2 and head[2] else "1991"
        if self.revision not in ("1991", "1999", "2013"):
            raise lines.error(f"revision year {self.revision!r} is not 1991, 1999 or 2013")
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
                "primary": 1.0, "secondary": 1.0, "ps": "P",
            }
            if len(f) >= 13:
                channel["primary"] = lines.number_of(f[10], float, what + " primary ratio")
                channel["secondary"] = lines.number_of(f[11], float, what + " secondary ratio")
                ps = f[12].upper()
                if ps not in ("P", "S"):
                    raise lines.error(f"{what}: primary/secondary flag {f[12]!r} is not P or S")
                channel["ps"] = ps
            self.analog.append(channel)
        self.status = []
        for k in range(self.status_count):
            f = lines.fields(f"status channel {k + 1}", 3, 5)
            self.status.append(f[1])
        self.frequency = lines.number_of(lines.next("line frequency"), float, "line frequency")
        nrates = lines.number_of(lines.next("number of sampling rates"), int, "number of sampling rates")
        self.rates = []
        for k in range(max(nrates, 1)):
            f = lines.fields(f"sampling rate {k + 1} and its last sample", 2, 2)
            self.rates.append((lines.number_of(f[0], float, "sampling rate"), lines.number_of(f[1], int, "last sample")))
        if nrates < 0:
            raise lines.error("number of sampling rates is negative")
        self.start = lines.next("start date and time")
        self.trigger = lines.next("trigger date and time")
        self.file_type = lines.next("data file type").upper()
        if self.file_type not in FILE_TYPES:
            raise lines.error(f"data file type {self.file_type!r} is not one of {', '.join(FILE_TYPES)}")
        self.time_multiplier = 1.0
        if self.revision != "1991" and lines.number < len(lines.lines):
            text = lines.next("time stamp multiplier")
            self.time_multiplier = lines.number_of(text, float, "time stamp multiplier")
        self.samples = self.rates[-1][1]


def _scale(cfg, values, primary):
    """a*x + b per channel, to primary or secondary values, in SI base units."""
    out = []
    for k, ch in enumerate(cfg.analog):
        v = values[:, k].astype(np.float64) * ch["a"] + ch["b"]
        if primary and ch["ps"] == "S" and ch["secondary"] != 0:
            v *= ch["primary"] / ch["secondary"]
        elif not primary and ch["ps"] == "P" and ch["primary"] != 0:
            v *= ch["secondary"] / ch["primary"]
        kind, factor = classify(ch["name"], ch["phase"], ch["unit"])
        _, prefix = unit_scale(ch["unit"])
        if prefix != 1.0:
            v *= prefix
        unit = {"voltage": "V", "current": "A"}.get(unit_scale(ch["unit"])[0], ch["unit"])
        out.append(Channel(ch["name"], v, unit, kind, classify(ch["name"], ch["phase"], ch["unit"])[1], ch["circuit"]))
    return out


def _read_ascii(cfg, path):
    lines = _Lines(path)
    width = 2 + cfg.analog_count + cfg.status_count
    rows = []
    times = []
    for number, line in enumerate(lines.lines, 1):
        if not line.strip() or line.strip() == "\x1a":
            continue
        parts = line.split(",")
        if len(parts) != width:
            raise lines.error(f"sample record: expected {width} fields (number, time stamp, {cfg.analog_count} analog, "
                              f"{cfg.status_count} status), found {len(parts)}", number)
        try:
            times.append(float(parts[1]) if parts[1].strip() else np.nan)
            rows.append([float(p) for p in parts[2:2 + cfg.analog_count]])
        except ValueError:
            raise lines.error(f"sample record: a field is not a number: {line.strip()!r}", number) from None
    values = np.array(rows, dtype=np.float64).reshape(len(rows), cfg.analog_count)
    values[values == 99999] = np.nan
    return values, np.array(times)


def _read_binary(cfg, path):
    words = (cfg.status_count + 15) // 16
    record = np.dtype([("n", "<u4"), ("t", "<i4"), ("a", _ANALOG_DTYPE[cfg.file_type], (cfg.analog_count,)),
                       ("d", "<u2", (words,))])
    size = os.path.getsize(path)
    if size % record.itemsize:
        raise ComtradeError(f"{path}: {size} bytes are not a whole number of {record.itemsize}-byte records "
                            f"({cfg.file_type}, {cfg.analog_count} analog and {cfg.status_count} status channels)")
    data = np.fromfile(path, dtype=record)
    values = data["a"].reshape(len(data), cfg.analog_count)
    if cfg.file_type in _MISSING:
        missing = values == _MISSING[cfg.file_type]
        values = values.astype(np.float64)
        values[missing] = np.nan
    return values, data["t"].astype(np.float64)


def _paths(path):
    base, ext = os.path.splitext(path)
    if ext.lower() not in (".cfg", ".dat"):
        base = path
    for cfg_ext, dat_ext in ((".cfg", ".dat"), (".CFG", ".DAT")):
        if os.path.exists(base + cfg_ext):
            return base + cfg_ext, base + dat_ext
    raise ComtradeError(f"{base}.cfg: no such configuration file")


def read(path, primary=True):
    """Read a COMTRADE recording.

    Parameters
    ----------
    path : str
        The .cfg or .dat file, or their common base name.
    primary : bool
        Convert every analog channel to primary values (True, default) or
        to secondary values (False), using its primary and secondary ratios.

    Returns
    -------
    Recording
    """
    cfg_path, dat_path = _paths(path)
    cfg = Config(cfg_path)
    if not os.path.exists(dat_path):
        raise ComtradeError(f"{dat_path}: no such data file")
    if cfg.file_type == "ASCII":
        values, stamps = _read_ascii(cfg, dat_path)
    else:
        values, stamps = _read_binary(cfg, dat_path)
    recording = Recording(_scale(cfg, values, primary), 0.0, cfg.frequency or None, cfg.start, cfg_path)
    if len(values) < cfg.samples:
        recording.notes.append(f"{dat_path}: {len(values)} samples, the configuration announces {cfg.samples}")
    recording.sample_rate = _sample_rate(cfg, stamps, dat_path)
    return recording


def _sample_rate(cfg, stamps, dat_path):
    rates = [r for r, _ in cfg.rates]
    if len(rates) == 1 and rates[0] > 0:
        return rates[0]
    if len(set(rates)) == 1 and rates[0] > 0:
        return rates[0]
    # Several rates, or rate 0: the time stamps (microseconds times the
    # multiplier) decide when they are uniform.
    steps = np.diff(stamps) * cfg.time_multiplier * 1e-6
    if len(steps) and np.all(steps > 0):
        step = float(np.median(steps))
        if np.allclose(steps, step, rtol=1e-3, atol=1.5e-6 * cfg.time_multiplier):
            return 1.0 / step
    raise ComtradeError(f"{dat_path}: the samples are not uniformly spaced (rates {rates}); "
                        "this analysis needs one sample rate")


def write(base, channels, sample_rate, frequency=50.0, file_type="BINARY", revision="1999",
          units=None, phases=None, secondary=False, start="01/01/2020,00:00:00.000000"):
    """Write a COMTRADE recording (used by the tests; handy for examples).

    channels maps names to float arrays (primary values). Each is stored with
    a = max|x| / (full scale of the type), b = 0 (a = 1 for FLOAT32); with
    ``secondary`` the values are stored as secondary values with ratio
    1000:1 and flag S. Returns the .cfg path.
    """
    names = list(channels)
    data = np.vstack([np.asarray(channels[n], dtype=np.float64) for n in names])
    n = data.shape[1]
    full = {"ASCII": 32767, "BINARY": 32767, "BINARY32": 2147483647, "FLOAT32": None}[file_type]
    lines = [f"test station,recorder" + ("" if revision == "1991" else f",{revision}"),
             f"{len(names)},{len(names)}A,0D"]
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
    lines += [f"{frequency}", "1", f"{sample_rate},{n}", start, start, file_type]
    if revision != "1991":
        lines.append("1")
    if revision == "2013":
        lines += ["+0h00,+0h00", "0,0"]
    with open(base + ".cfg", "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    stamps = np.round(np.arange(n) * 1e6 / sample_rate).astype(np.int64)
    raw = np.vstack(scaled).T
    if file_type == "ASCII":
        with open(base + ".dat", "w", newline="\r\n") as f:
            for i in range(n):
                f.write(f"{i + 1},{stamps[i]}," + ",".join(str(int(x)) for x in raw[i]) + "\n")
    else:
        record = np.dtype([("n", "<u4"), ("t", "<i4"), ("a", _ANALOG_DTYPE[file_type], (len(names),))])
        out = np.zeros(n, dtype=record)
        out["n"] = np.arange(1, n + 1)
        out["t"] = stamps
        out["a"] = raw
        out.tofile(base + ".dat")
    return base + ".cfg"

"""Reader of recordings stored as CSV: one column per channel.

A first line that is not all numbers is a header naming the channels (VA,
UA, V_L1, IA, I1, ... are recognised as in COMTRADE). A column named t,
time, time_s or seconds is the time axis in seconds: it gives the sample
rate when none is passed. Without a header, the channels are taken by
count: 1 voltage; voltage and current; three voltages; three voltages and
three currents (A, B, C). Values are in volts and amperes. Fields may be
separated by commas, semicolons or tabs.
"""

import io

import numpy as np

from .recording import Channel, Recording, RecordingError, classify

TIME_NAMES = ("t", "time", "time_s", "time[s]", "time (s)", "seconds", "s")


def _split(line, sep):
    return [p.strip() for p in line.split(sep)]


def _is_number(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


def read(path, sample_rate=None, nominal_frequency=None):
    """Read a CSV recording; see the module docstring for the layout."""
    with open(path, "r", encoding="utf-8-sig", errors="replace") as f:
        text = f.read()
    lines = text.splitlines()
    first = next((k for k, line in enumerate(lines) if line.strip() and not line.startswith("#")), None)
    if first is None:
        raise RecordingError(f"{path}: no data")
    sep = max((",", ";", "\t"), key=lambda s: lines[first].count(s))
    head = _split(lines[first], sep)
    header = None
    if not all(_is_number(h) for h in head):
        header, first = head, first + 1
    width = len(head)
    try:
        data = np.loadtxt(io.StringIO("\n".join(lines[first:])), delimiter=sep, ndmin=2, comments="#")
    except ValueError:
        data = None
    if data is None or data.shape[1] != width:
        # Find the first bad line for the message.
        for number in range(first, len(lines)):
            line = lines[number]
            if not line.strip() or line.startswith("#"):
                continue
            parts = _split(line, sep)
            if len(parts) != width:
                raise RecordingError(f"{path}:{number + 1}: expected {width} fields, found {len(parts)}")
            bad = [p for p in parts if not _is_number(p)]
            if bad:
                raise RecordingError(f"{path}:{number + 1}: {bad[0]!r} is not a number")
        raise RecordingError(f"{path}: not a table of numbers")
    if data.shape[0] < 2:
        raise RecordingError(f"{path}: fewer than two samples")
    names = header or [f"ch{k + 1}" for k in range(width)]
    time_column = next((k for k, n in enumerate(names) if n.strip().lower() in TIME_NAMES), None)
    if time_column is not None:
        steps = np.diff(data[:, time_column])
        if not np.all(steps > 0):
            raise RecordingError(f"{path}: the time column {names[time_column]!r} does not increase")
        if sample_rate is None:
            sample_rate = 1.0 / float(np.median(steps))
    if not sample_rate or sample_rate <= 0:
        raise RecordingError(f"{path}: no time column; give the sample rate (--rate)")
    columns = [k for k in range(width) if k != time_column]
    channels = []
    by_count = {1: [("voltage", "A")], 2: [("voltage", "A"), ("current", "A")],
                3: [("voltage", p) for p in "ABC"],
                6: [("voltage", p) for p in "ABC"] + [("current", p) for p in "ABC"]}
    for n, k in enumerate(columns):
        kind, phase = classify(names[k])
        if header is None and len(columns) in by_count:
            kind, phase = by_count[len(columns)][n]
        unit = {"voltage": "V", "current": "A"}.get(kind, "")
        channels.append(Channel(names[k], data[:, k].astype(np.float64), unit, kind, phase))
    return Recording(channels, float(sample_rate), nominal_frequency, None, path)

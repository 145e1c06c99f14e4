"""What the analysis reads into a recording beyond its samples, each reading with its reason in words.

A recorder's file names its channels, gives some of them a phase and a
transformer's primary and secondary factors, and leaves the rest to whoever
reads it. :func:`infer` reads it as a person would, checks what it reads
against the waveform itself and returns the result as data
(:class:`Inference`): which channel plays which role and why, and the
reference voltage (Un, Udin) and where it came from. The analysis takes its
channels and Udin from here; the summary, the report and the assessment
print the same reasons (:meth:`Inference.lines`, :meth:`Inference.as_dict`).

Channel roles
-------------
Each analog channel's kind (voltage or current) comes from its unit (V, kV,
A, ...), else from the first letter of its name (U or V, I). Its phase comes
from its phase field and from its name, read word by word (words split at
blanks, '_', '.', ':', '/', brackets and '-'):

- phases A, B, C also written L1/L2/L3, R/S/T, 1/2/3, with or without the
  kind's letter and an L or PH before it: ``VA``, ``Ua``, ``IL2``, ``U3``,
  ``ULA``, ``V_L1``, ``R``, ``phase 1`` (a bare digit only after ``phase``
  or ``ph``, or in the phase field); a phase followed by N, G or E
  (``UAN``, ``L1-N``) is that phase to neutral;
- line to line: two phases of one writing (``AB``, ``U12``, ``UL1L2``,
  ``L1-L2``, ``RS``), read as AB, BC or CA (``BA`` is AB);
- neutral and residual: N, E, 0 or O after the kind's letter, or alone
  (``UN``, ``VN``, ``Vo``, ``3U0``, ``3I0``, ``IN``): left out.

The phase field is read first; the name's reading wins where it says line
to line, neutral or residual and the field names one phase, and where the
field says nothing readable. Then the levels: a voltage named as a phase (or
without a phase) whose measured level is the square root of 3 times that of
the star voltages (within ±10 %; the star voltages' level: the median of the
phase-named voltages' levels, those more than 30 % above the lowest left
out) is line to line (A read as AB, B as BC, C as CA; three without a phase
as AB, BC, CA in the file's order).

The channels used: the first circuit with voltages A, B and C (star), else
the first with AB, BC and CA (delta), with the currents A, B, C of the same
circuit, or failing that of the first circuit that has all three; else one
voltage (the first with a phase, else the first that is neither neutral nor
residual) and the first current with a phase. Names given (``--voltages``,
``--currents``) are taken as they are: one or three voltages, none or as
many currents; three given are delta when all three read as line to line.

The measured level
------------------
Of each voltage channel: the median of its RMS values over windows of 0.2 s
(10 cycles at 50 Hz, 12 at 60 Hz: whole cycles at both, without knowing
which) over the first 10 s of the recording (all of it when shorter; a
window with a missing sample is left out). It is read before the analysis
starts, costs a read of 10 s, and stands for the steady level as long as the
recording starts mostly at its normal voltage. Of the channels used: the
median of theirs.

Udin and Un
-----------
Udin is the voltage the channels used are compared with (phase to ground for
star channels and for one voltage not read as line to line; line to line
for delta); Un is the nominal voltage of the system (line to line where the
system has one: 330 kV; 230/400 V). In this order:

1. Given (``declared_voltage``, ``--udin``): taken as it is; the measured
   level is said against it.
2. A rating: every voltage channel used carries the same primary and
   secondary factors, and they differ. The pair is read as a transformer's
   ratio and rating: a secondary within ±2 % of 100, 110, 115, 120 or 200 V
   is a line-to-line rating, one within ±2 % of those over the square root
   of 3 (57.7, 63.5, 66.4, 69.3 V) a phase-to-ground rating; another
   secondary from 20 to 250 V leaves the kind to the waveform; a secondary
   outside 20 … 250 V, or a primary not above the secondary, makes the pair
   a ratio only ("100 : 1" on a 10 kV / 100 V transformer, "1100 : 1" on a
   110 kV / 100 V one), which gives no rating. The rating gives the level
   the channels should have: the primary as it is where the rating's kind is
   the channels' own, over the square root of 3 for a line-to-line rating on
   phase-to-ground channels, times it for the converse. Where the measured
   level lies within ±10 % of it the rating agrees with the waveform and is
   used; it is then snapped to the nearest nominal voltage below when that
   lies within ±5 % of the rating and within ±10 % of the measured level
   (a rating further from every nominal voltage is kept as the file gives
   it, since the file names it). Where they disagree, that is said and the
   rating is not used.
3. Without a usable rating: the nominal voltage nearest the measured level,
   when that lies within ±10 % of it, said as such.
4. Else the measured level itself (a recording of no supply the nominal
   voltages know: a laboratory's 1 V sine, say).

Nominal voltages (IEC 60038) used
---------------------------------
- LV at 50 Hz: 230 V phase to neutral, 400 V line to line (230/400 V);
  other LV values only when the file (a rating) or the user (``--udin``)
  names them.
- LV at 60 Hz: 120, 127, 208, 220, 240, 277, 347, 480 and 600 V: the
  systems 120/208, 127/220, 120/240, 277/480 and 347/600 V. Star channels
  are compared with the phase values (120, 127, 277, 347 V), delta channels
  with the line-to-line ones (208, 220, 240, 480, 600 V), one voltage with
  all nine.
- MV, series I (both frequencies): 3, 3.3, 6, 6.6, 10, 11, 15, 20, 22, 30,
  33 and 35 kV; series II (North American practice, at 60 Hz only): 4.16,
  12.47, 13.2, 13.8, 24.94 and 34.5 kV.
- HV (both frequencies): 66, 69, 110, 115, 132, 138, 150, 154, 220 and 230
  kV, and above them 330, 345, 380 and 400 kV.
MV and HV values are line to line; a phase-to-ground channel is compared
with the value over the square root of 3. A line frequency below 55 Hz takes
the 50 Hz lists, one above the 60 Hz lists.
"""

from __future__ import annotations  # annotations as text: no typing at import

import math
import re
from dataclasses import dataclass

import numpy as np

from .recording import RecordingError, unit_scale

SQRT3 = math.sqrt(3.0)
LEVEL_SECONDS = 10.0  # the head of the recording whose level is measured
LEVEL_WINDOW = 0.2  # seconds: whole cycles at 50 and at 60 Hz
AGREES = 0.10  # a rating, or a nominal voltage, within ±10 % of the measured level
SNAP = 0.05  # a rating within ±5 % of a nominal voltage is snapped to it
LINE_TO_LINE = 0.10  # a level within ±10 % of √3 times the star voltages' is line to line
STAR_CLUSTER = 1.3  # the star voltages' level: of those within 30 % of the lowest

# Transformer secondaries (V): line-to-line ratings; over √3 the phase-to-ground ones.
SECONDARIES = (100.0, 110.0, 115.0, 120.0, 200.0)
SECONDARY_TOLERANCE = 0.02
SECONDARY_RANGE = (20.0, 250.0)

LV_50 = ((230.0, 400.0),)  # (phase to neutral, line to line)
LV_60 = ((120.0, 208.0), (127.0, 220.0), (120.0, 240.0), (277.0, 480.0), (347.0, 600.0))
MV_SERIES_I = (3e3, 3.3e3, 6e3, 6.6e3, 10e3, 11e3, 15e3, 20e3, 22e3, 30e3, 33e3, 35e3)
MV_SERIES_II = (4.16e3, 12.47e3, 13.2e3, 13.8e3, 24.94e3, 34.5e3)
HV = (66e3, 69e3, 110e3, 115e3, 132e3, 138e3, 150e3, 154e3, 220e3, 230e3, 330e3, 345e3, 380e3, 400e3)

PHASE_TO_GROUND, LINE_TO_LINE_KIND = "phase to ground", "line to line"
_PAIRS = {"AB": "AB", "BA": "AB", "BC": "BC", "CB": "BC", "CA": "CA", "AC": "CA"}
_FAMILIES = ("ABC", "RST", "123")
_SINGLE = re.compile(r"^(?P<kind>[UVI]?)(?:PH|L)?(?P<p1>[ABCRST123])(?:L?(?P<p2>[ABCRST123]))?(?P<n>N|G|E)?"
                     r"(?P<tail>\d*)$")
_NEUTRAL = re.compile(r"^(?:3?(?P<kind>[UVI]))?(?P<n>N|E|0|O|EN|NE)$")
_SPLIT = re.compile(r"[\s_.:/\\()\[\]{},;-]+")
_JOIN = re.compile(r"(?<![A-Z0-9])(L?[ABCRST123])-(L?[ABCRST123NGE])(?![A-Z0-9])")


def _phase_of(symbol):
    """'A', 'B' or 'C' of a phase symbol of any writing (A, R, 1)."""
    for family in _FAMILIES:
        if symbol in family:
            return "ABC"[family.index(symbol)], family
    return None, None


def read_words(text, bare_digits=False):
    """(kind letter or '', reading) of a name or phase field, read word by word; reading is 'A', 'B', 'C',
    'AB', 'BC', 'CA', 'N' (neutral or residual) or None. The first word that reads as one of them counts; a
    bare digit reads as a phase only after 'phase' or 'ph' (or anywhere with ``bare_digits``, as in a phase
    field)."""
    upper = _JOIN.sub(r"\1\2", (text or "").strip().upper())
    words = [w for w in _SPLIT.split(upper) if w]
    for k, word in enumerate(words):
        after_phase = k > 0 and words[k - 1] in ("PHASE", "PH")
        match = _NEUTRAL.match(word)
        if match and (match.group("kind") or word in ("N", "E")):
            return match.group("kind") or "", "N"
        match = _SINGLE.match(word)
        if not match:
            continue
        kind, p1, p2 = match.group("kind"), match.group("p1"), match.group("p2")
        if word[0].isdigit() and not (after_phase or bare_digits):
            continue  # "Bus 12" is no line-to-line voltage
        one, family = _phase_of(p1)
        if p2 is None:
            if match.group("tail") and p1.isdigit():
                continue  # U14: no phase (UA4 is phase A of circuit 4)
            return kind, one
        two, other = _phase_of(p2)
        if family != other and p2.isdigit() and not p1.isdigit():
            return kind, one  # VA2, IA1: a phase and the number of its circuit
        if family != other or one == two or match.group("n") or match.group("tail"):
            continue
        return kind, _PAIRS[one + two]
    return "", None


@dataclass
class Role:
    """What one analog channel is taken for: kind ('voltage', 'current' or None), phase ('A', 'B', 'C', 'AB',
    'BC', 'CA', 'N' for neutral or residual, or None), the reason in words, its measured level (voltages, V;
    NaN when not measured) and, once the channels are chosen, ``use``: 'voltage A', 'current B', ... ('' for
    a channel not used)."""

    name: str
    kind: str | None
    phase: str | None
    reason: str
    circuit: str = ""
    level: float = float("nan")
    use: str = ""


def _role(channel):
    """The Role of a channel from its unit, phase field and name."""
    kind, _ = unit_scale(channel.unit)
    field_text = getattr(channel, "phase_field", "") or ""
    field_kind, from_field = read_words(field_text, bare_digits=True)
    name_kind, from_name = read_words(channel.name)
    if kind is None:
        first = (_SPLIT.split((channel.name or "").strip().upper()) or [""])[0]
        letter = name_kind or field_kind or (first if first in ("U", "V", "I") else "")
        kind = {"U": "voltage", "V": "voltage", "I": "current"}.get(letter) or channel.kind
    phase, reason = from_field, f"phase field {field_text.strip()!r}"
    wins = from_name is not None and (from_field is None or (len(from_field) == 1 and from_field != "N" and
                                                              (len(from_name) == 2 or from_name == "N")))
    if wins:
        phase, reason = from_name, f"name {channel.name!r}" + (
            f" (phase field {field_text.strip()!r})" if from_field is not None else "")
    elif from_field is None:
        reason = "no phase in its name or phase field"
    return Role(channel.name, kind, phase, reason, channel.circuit or "")


def measured_levels(recording, channels, seconds=LEVEL_SECONDS, window=LEVEL_WINDOW):
    """The steady level of each channel (V): the median of its RMS values over windows of `window` seconds
    over the first `seconds` of the recording (see the module's description); NaN where none is whole."""
    fs = float(recording.sample_rate)
    want = max(1, int(round(seconds * fs)))
    parts, have = [], 0
    if channels:
        for _, block in recording.blocks(min(want, 1 << 20), channels, dtype=np.float64, stop=want):
            parts.append(block[:, :want - have])
            have += parts[-1].shape[1]
            if have >= want:
                break
    if not parts or have == 0:
        return np.full(len(channels), np.nan)
    data = parts[0] if len(parts) == 1 else np.concatenate(parts, axis=1)  # one block: no copy of it
    size = max(1, int(round(window * fs)))
    count = data.shape[1] // size
    if count == 0:
        size, count = data.shape[1], 1
    x = data[:, :count * size].reshape(len(channels), count, size)
    rms = np.sqrt(np.mean(x * x, axis=2))  # NaN in a window with a missing sample
    out = np.full(len(channels), np.nan)
    for k in range(len(channels)):
        finite = rms[k][np.isfinite(rms[k])]
        if len(finite):
            out[k] = float(np.median(finite))
    return out


def _line_to_line_by_level(roles):
    """Voltages named as a phase, or without one, at √3 times the star voltages' level: line to line."""
    star = [r for r in roles if r.kind == "voltage" and r.phase in ("A", "B", "C") and np.isfinite(r.level)
            and r.level > 0]
    if not star:
        return
    lowest = min(r.level for r in star)
    reference = float(np.median([r.level for r in star if r.level <= STAR_CLUSTER * lowest]))
    unnamed = []
    for r in roles:
        if r.kind != "voltage" or r.phase not in ("A", "B", "C", None) or not np.isfinite(r.level):
            continue
        ratio = r.level / reference
        if abs(ratio / SQRT3 - 1.0) > LINE_TO_LINE:
            continue
        why = f"its level is {ratio:.3f} times the star voltages' ({_volts(reference)})"
        if r.phase is None:
            unnamed.append((r, why))
        else:
            pair = {"A": "AB", "B": "BC", "C": "CA"}[r.phase]
            r.reason, r.phase = f"{r.reason} says phase {r.phase}, but {why}: line to line {pair}", pair
    if len(unnamed) == 3:
        for (r, why), pair in zip(unnamed, ("AB", "BC", "CA")):
            r.reason, r.phase = f"{why}: line to line {pair}, in the file's order", pair


def _groups(roles, kind, phases):
    found = {}
    for r in roles:
        if r.kind == kind and r.phase in phases:
            found.setdefault(r.circuit, {}).setdefault(r.phase, r)
    return [(circuit, [g[p] for p in phases]) for circuit, g in found.items() if all(p in g for p in phases)]


def _choose(roles, by_name, voltages, currents, source):
    """(grid, voltage roles, current roles) used."""
    if voltages:
        us = [by_name(n) for n in voltages]
        iss = [by_name(n) for n in (currents or [])]
        if len(us) not in (1, 3) or len(iss) not in (0, len(us)):
            raise RecordingError("give 1 or 3 voltage channels and as many current channels (or none)")
        grid = "single" if len(us) == 1 else ("delta" if all(r.phase in ("AB", "BC", "CA") for r in us)
                                              else "star")
        return grid, us, iss, "given (--voltages)", "given (--currents)"
    for grid, phases in (("star", ("A", "B", "C")), ("delta", ("AB", "BC", "CA"))):
        ugroups = _groups(roles, "voltage", phases)
        if ugroups:
            circuit, us = ugroups[0]
            igroups = _groups(roles, "current", ("A", "B", "C"))
            same = [g for c, g in igroups if c == circuit]
            iss = same[0] if same else (igroups[0][1] if igroups else [])
            if currents is not None:
                return grid, us, [by_name(n) for n in currents], None, "given (--currents)"
            return grid, us, iss, None, None
    candidates = [r for r in roles if r.kind == "voltage" and r.phase != "N"]
    candidates.sort(key=lambda r: r.phase is None)  # those with a phase first, else in the file's order
    if candidates:
        iss = [r for r in roles if r.kind == "current" and r.phase not in ("N", None)][:1]
        if currents is not None:
            return "single", candidates[:1], [by_name(n) for n in currents], None, "given (--currents)"
        return "single", candidates[:1], iss, None, None
    raise RecordingError(f"{source}: no voltage channels found (channels: {', '.join(r.name for r in roles)}); "
                         "name them with --voltages")


def _volts(v):
    """A voltage for a reader: 190.74 kV, 230 V, 0.707 V."""
    if not np.isfinite(v):
        return "unknown"
    return f"{v / 1e3:.6g} kV" if abs(v) >= 1e3 else f"{v:.4g} V"


def _percent(ratio):
    return f"{100.0 * ratio:.1f} %"


@dataclass
class Reference:
    """Udin (V), Un (V, line to line where the system has one; None when no nominal voltage was found), the
    text of Un ('330 kV', '230/400 V'), the kind of Udin's channels ('phase to ground' or 'line to line'),
    the rating's kind ('phase to ground', 'line to line' or None), ``source`` ('given', 'rating', 'nominal'
    or 'measured') and the reason in words."""

    udin: float
    un: float | None
    un_text: str
    channels: str
    rating: str | None
    source: str
    reason: str


def _candidates(grid, nominal_frequency):
    """(channel value, Un, Un's text) of every nominal voltage the channels of `grid` may be at."""
    sixty = nominal_frequency is not None and nominal_frequency > 55.0
    out = []
    for phase, line in (LV_60 if sixty else LV_50):
        if grid == "star":
            out.append((phase, line, f"{phase:g}/{line:g} V"))
        elif grid == "delta":
            out.append((line, line, f"{phase:g}/{line:g} V" if line != 240.0 else "240 V"))
    if grid == "single":
        values = sorted({v for pair in (LV_60 if sixty else LV_50) for v in pair})
        out += [(v, v, f"{v:g} V") for v in values]
    for un in MV_SERIES_I + (MV_SERIES_II if sixty else ()) + HV:
        value = un if grid == "delta" else un / SQRT3
        out.append((value, un, f"{un / 1e3:g} kV"))
    return out


def _nearest(candidates, level):
    """The candidate whose channel value is nearest `level` (by ratio), or None."""
    if not (np.isfinite(level) and level > 0):
        return None
    return min(candidates, key=lambda c: abs(math.log(level / c[0])))


def _secondary_kind(secondary):
    """'line to line', 'phase to ground', '' (a secondary of no standard value) or None (no secondary)."""
    for value in SECONDARIES:
        if abs(secondary / value - 1.0) <= SECONDARY_TOLERANCE:
            return LINE_TO_LINE_KIND
        if abs(secondary * SQRT3 / value - 1.0) <= SECONDARY_TOLERANCE:
            return PHASE_TO_GROUND
    return "" if SECONDARY_RANGE[0] <= secondary <= SECONDARY_RANGE[1] else None


def reference(grid, channels, levels, nominal_frequency, declared_voltage=None, line=None):
    """The :class:`Reference` of the voltage channels used (Channel objects) of the given measured levels.

    line: whether the channels are line to line (default: when the grid is delta).
    """
    line = grid == "delta" if line is None else bool(line)
    own = LINE_TO_LINE_KIND if line else PHASE_TO_GROUND
    finite = [v for v in levels if np.isfinite(v)]
    level = float(np.median(finite)) if finite else float("nan")
    if declared_voltage is not None:
        said = f"; the measured level {_volts(level)} is {_percent(level / declared_voltage)} of it" \
            if np.isfinite(level) else ""
        return Reference(float(declared_voltage), float(declared_voltage), _volts(declared_voltage), own, None,
                         "given", f"given{said}")
    candidates = _candidates("delta" if line else ("single" if grid == "single" else "star"), nominal_frequency)
    notes = []
    rated = _rating(channels, notes)
    if rated is not None:
        primary, secondary = rated
        kind = "" if secondary is None else _secondary_kind(secondary)
        pair = _volts(primary) if secondary is None else f"{_volts(primary)} : {_volts(secondary)}"
        if kind is None or (secondary is not None and primary <= secondary):
            notes.append(f"the pair {pair} is a ratio, not a rating ({_volts(secondary)} is no transformer's "
                         "secondary voltage)")
        else:
            found = _rated(primary, kind, own, level, pair, candidates, notes)
            if found is not None:
                return found
    nearest = _nearest(candidates, level)
    head = "; ".join(notes + [""]) if notes else "no rating; "
    if nearest is not None and abs(level / nearest[0] - 1.0) <= AGREES:
        value, un, text = nearest
        return Reference(value, un, text, own, None, "nominal",
                         f"{head}the nominal voltage nearest the measured level {_volts(level)} "
                         f"({_percent(level / value)} of {_volts(value)})")
    udin = level if np.isfinite(level) and level > 0 else 1.0
    return Reference(udin, None, "", own, None, "measured",
                     f"{head}the measured level {_volts(level)} lies within ±10 % of no nominal voltage: Udin is "
                     "that level")


def _rating(channels, notes):
    """(primary, secondary or None) in V that every channel carries, or None (with a note when they differ)."""
    pairs = [(getattr(c, "rated_primary", None), getattr(c, "rated_secondary", None)) for c in channels]
    if not channels or any(p is None for p, _ in pairs):
        return None
    primaries = [p for p, _ in pairs]
    secondaries = [s for _, s in pairs]
    if max(primaries) > min(primaries) * (1 + 1e-6) or (None not in secondaries and
                                                       max(secondaries) > min(secondaries) * (1 + 1e-6)):
        notes.append("the channels' ratings differ")
        return None
    # A Channel made by hand may give the primary alone: the waveform then says which kind it is.
    return float(primaries[0]), None if secondaries[0] is None else float(secondaries[0])


def _rated(primary, kind, own, level, pair, candidates, notes):
    """The Reference of a rating that agrees with the measured level, else None with a note why not."""
    # The level the channels should have, for each kind the rating may be of.
    kinds = [kind] if kind else [own, LINE_TO_LINE_KIND if own == PHASE_TO_GROUND else PHASE_TO_GROUND]
    expected = {}
    for k in kinds:
        expected[k] = primary if k == own else (primary / SQRT3 if k == LINE_TO_LINE_KIND else primary * SQRT3)
    if not kind and np.isfinite(level) and level > 0:
        kinds.sort(key=lambda k: abs(math.log(level / expected[k])))
    k = kinds[0]
    value = expected[k]
    said = f"rating {_volts(primary)} {k}" + (f" ({pair})" if kind else f" ({pair}; the waveform says which kind)")
    if not (np.isfinite(level) and abs(level / value - 1.0) <= AGREES):
        notes.append(f"{said} disagrees with the waveform ({_percent(level / value)} of {_volts(value)} "
                     f"{own}): not used" if np.isfinite(level) else f"{said}: no measured level to check it "
                     "against, not used")
        return None
    reason = f"{said}, agrees with the waveform ({_percent(level / value)})"
    nearest = _nearest(candidates, value)
    un_rated = primary if k == LINE_TO_LINE_KIND else primary * SQRT3
    if nearest is not None and abs(value / nearest[0] - 1.0) <= SNAP and abs(level / nearest[0] - 1.0) <= AGREES:
        udin, un, text = nearest
        reason += "; the nominal voltage nearest the rating"
    else:
        udin, un, text = value, un_rated, _volts(un_rated) + " line to line"
        reason += "; no nominal voltage within ±5 % of the rating: Un as rated"
    return Reference(udin, un, text, own, k, "rating", reason)


@dataclass
class Inference:
    """What :func:`infer` read into a recording: ``roles`` (a :class:`Role` per analog channel), ``grid``
    ('star', 'delta' or 'single'), the channels used (``voltages``, ``currents``: Channel objects), the
    measured level of the voltages used (V) and, once :meth:`decide` has run, ``reference``
    (:class:`Reference`) and ``frequency`` (the nominal frequency and where it came from)."""

    roles: list[Role]
    grid: str
    voltages: list
    currents: list
    level: float
    reference: Reference | None = None
    frequency: float | None = None
    frequency_reason: str = ""

    def decide(self, nominal_frequency, declared_voltage=None):
        """Udin and Un (see the module's description), once the nominal frequency is known."""
        roles = [self.role(c.name) for c in self.voltages]
        line = self.grid == "delta" or (self.grid == "single" and roles[0].phase in ("AB", "BC", "CA"))
        self.reference = reference(self.grid, self.voltages, [r.level for r in roles], nominal_frequency,
                                   declared_voltage, line)
        self.frequency = nominal_frequency
        return self.reference

    def role(self, name):
        return next(r for r in self.roles if r.name == name)

    def lines(self):
        """The summary's lines: each channel's role and why, then Udin and Un and why."""
        out = []
        used = [self.role(c.name) for c in self.voltages + self.currents]
        for k, r in enumerate(used):
            out.append(("roles       " if k == 0 else " " * 12) + f"{r.name}: {r.use}, {r.reason}")
        left = [r for r in self.roles if r.phase == "N" and not r.use]
        if left:
            out.append("            left out as neutral or residual: "
                       + ", ".join(f"{r.name} ({r.reason})" for r in left))
        rest = [r.name for r in self.roles if not r.use and r.phase != "N"]
        if rest:
            out.append("            not used: " + ", ".join(rest))
        if self.reference is not None:
            ref = self.reference
            out.append(f"Udin        {ref.udin:.6g} V {ref.channels}"
                       + (f", Un {ref.un_text}" if ref.un_text and ref.source != "given" else "")
                       + f": {ref.reason}")
        if self.frequency_reason:
            out.append(f"nominal     {self.frequency:g} Hz {self.frequency_reason}")
        return out

    def as_dict(self):
        """The inferences as plain data (for JSON)."""
        ref = self.reference
        return {
            "grid": self.grid,
            "channels": [{"name": r.name, "kind": r.kind, "phase": r.phase, "use": r.use or "not used",
                          "reason": r.reason, "level": None if not np.isfinite(r.level) else float(r.level)}
                         for r in self.roles],
            "level": None if not np.isfinite(self.level) else float(self.level),
            "udin": None if ref is None else float(ref.udin),
            "un": None if ref is None or ref.un is None else float(ref.un),
            "un_text": None if ref is None else ref.un_text,
            "udin_channels": None if ref is None else ref.channels,
            "rating": None if ref is None else ref.rating,
            "udin_source": None if ref is None else ref.source,
            "udin_reason": None if ref is None else ref.reason,
            "nominal_frequency": self.frequency,
            "nominal_frequency_reason": self.frequency_reason or None,
        }


def infer(recording, voltages=None, currents=None):
    """Channel roles and the channels used (:class:`Inference`; Udin once :meth:`Inference.decide` runs).

    voltages, currents: channel names given (``--voltages``, ``--currents``), taken as they are. Reads the
    first 10 s of the voltage channels for their levels (the recording's sample rate must have been checked).
    """
    roles = [_role(c) for c in recording.channels]
    by_channel = dict(zip((id(c) for c in recording.channels), roles))
    given = [recording.channel(n) for n in (voltages or [])]
    measured = [c for c, r in zip(recording.channels, roles) if r.kind == "voltage" and r.phase != "N"]
    measured += [c for c in given if all(c is not m for m in measured)]
    for c, level in zip(measured, measured_levels(recording, measured)):
        by_channel[id(c)].level = float(level)
    _line_to_line_by_level(roles)

    def by_name(name):
        return by_channel[id(recording.channel(name))]

    grid, us, iss, ureason, ireason = _choose(roles, by_name, voltages, currents, recording.source)
    for group, kind, reason in ((us, "voltage", ureason), (iss, "current", ireason)):
        for k, r in enumerate(group):
            label = r.phase if r.phase and r.phase != "N" else ("ABC"[k] if len(group) > 1 else "")
            r.use = f"{kind} {label}".strip()
            if reason:
                r.reason = reason
    channels = {id(r): c for c, r in zip(recording.channels, roles)}
    levels = [r.level for r in us if np.isfinite(r.level)]
    return Inference(roles, grid, [channels[id(r)] for r in us], [channels[id(r)] for r in iss],
                     float(np.median(levels)) if levels else float("nan"))

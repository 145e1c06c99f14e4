"""The EN 50160 report as one self-contained HTML file.

Everything is inside the file: the plots are inline SVG (matplotlib, glyphs
drawn as paths, so no font is fetched; the cumulative distributions drawn
here, their text in the reader's own sans-serif), the style sheet is inline,
and there is no script, no link and no image from elsewhere: the file opens
the same offline, mailed, or printed. Printed, it fills A4 pages: each part
starts a page (the verdict shares the first with the header), nothing has a
dark background, and a table or plot is not split where it fits a page.

Order: the header (site, operator, recorder, recording, the measurement
period with its time zone, the method: Class A values, the flicker lamp, Un
and where it came from), the overall verdict and the coverage; the verdict
table, each row per phase with its share within the limit, its value at the
share the row asks (the 95 % value of a 95 % row; for voltage and frequency
also the distance from nominal that this share of the values stays within)
and its lowest and highest values; the table week by week when the
assessment judged weeks; the cumulative distributions of the 10-minute
voltages, THD, unbalance and of Plt with the limit marked; one plot per
parameter against its limits over time; the harmonics by order with each
phase's 95 % value; the dip and swell tables; the events at their clock
times; the limits used, as tables.

What the report says of the recording comes from the assessment's
'recording' (:func:`en50160.describe`: the command line sets it); without
it the report says what it does not know. Every text that comes from a
file or an option (file, site, channel names) is escaped.

Each plot is a ``<figure class="plot" id="plot-KEY">`` (KEY: voltage,
frequency, flicker, unbalance, thd, harmonics); a parameter without values
still has its figure, saying "not measured", so a reader sees what is
missing. The time axes are the recorder's clock when the recording has a
start time, else hours from its first sample; the report says which.

With many recordings, :func:`render_index` makes the index page: one table
row per recording (its report linked, its overall verdict and coverage, the
rows that fail, its events), in the order the recordings were found, as
self-contained and printable as the reports. Links are relative, so the
folder can be moved or mailed whole.
"""

import datetime
import html
import io
import json
import urllib.parse

import numpy as np

from . import en50160

_MOST_POINTS = 4000
PLOTS = ("voltage", "frequency", "flicker", "unbalance", "thd", "harmonics")
_PHASE_COLOURS = {"A": "#8c564b", "B": "#222222", "C": "#7f7f7f"}
_STYLE = """
body { font-family: sans-serif; margin: 1.5em auto; max-width: 70em; color: #111; background: #fff; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; } h2 { font-size: 1.2em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.6em 0; font-size: 0.9em; }
th, td { border: 1px solid #bbb; padding: 0.25em 0.5em; text-align: left; vertical-align: top; }
th { background: #eee; } td.num { text-align: right; white-space: nowrap; }
table#identity th { width: 11em; } table#identity td { min-width: 30em; }
.pass { background: #d6f5d6; } .fail { background: #f8d0d0; } .not-measured { background: #eee; color: #555; }
.incomplete { background: #fff1c9; }
.verdict { font-weight: bold; text-transform: uppercase; }
.verdict .note { font-weight: normal; text-transform: none; }
.overall { display: inline-block; padding: 0.2em 0.8em; font-size: 1.2em; border: 1px solid #888; }
.note { color: #444; font-size: 0.9em; } figure { margin: 1em 0; } figure svg { width: 100%; height: auto; }
figure.cdf { display: inline-block; width: 48%; margin: 0.5em 1% 0.5em 0; vertical-align: top; }
figcaption { font-size: 0.9em; color: #333; } .empty { border: 1px dashed #aaa; padding: 1em; color: #555; }
tr.worst td.phase { font-weight: bold; }
@page { size: A4; margin: 14mm 12mm; }
@media print {
  body { margin: 0; max-width: none; font-size: 9pt; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  section + section { break-before: page; page-break-before: always; }
  figure, tbody, tr, table.count, table#identity { break-inside: avoid; page-break-inside: avoid; }
  h2 { break-after: avoid; page-break-after: avoid; }
  figure.cdf { width: 49%; margin-right: 0; }
  table { font-size: 0.95em; } table#verdict, table#weeks, table#limits, table#harmonics { width: 100%; }
}
"""


def _e(text):
    return html.escape(str(text), quote=True)


def _num(x, digits=4):
    return "–" if x is None else f"{x:.{digits}g}"


def _css(verdict):
    return verdict.replace(" ", "-")


# The overall badge's colour: a pass only when every row was judged and passed; an incomplete verdict (rows
# not judged) is grey, as a row not measured.
_BADGES = {"pass": "pass", "fail": "fail", "incomplete": "not-measured", "not measured": "not-measured"}


def _badge(verdict):
    return _BADGES.get(verdict, "not-measured")


def _un_said(s):
    """Un with its source: '230 V (the nominal voltage nearest ...)', or 'unknown (why)'."""
    un = s.get("un", s.get("nominal_voltage"))
    text = f"{un:.6g} V" if un is not None else "unknown"
    if s.get("un_text") and s["un_text"] != text:
        text += f" of {s['un_text']}"
    return text + (f" ({s['un_source']})" if s.get("un_source") else "")


def _svg(fig, salt):
    import matplotlib

    with matplotlib.rc_context({"svg.fonttype": "path", "svg.hashsalt": salt}):
        buf = io.StringIO()
        fig.savefig(buf, format="svg", metadata={"Date": None, "Creator": None})
    import matplotlib.pyplot as plt

    plt.close(fig)
    text = buf.getvalue()
    return text[text.index("<svg"):]


def _figure(key, title, caption, svg):
    body = svg if svg else f'<div class="empty">{_e(title)}: not measured ({_e(caption)})</div>'
    return (f'<figure class="plot" id="plot-{key}"><figcaption><b>{_e(title)}</b>'
            + (f" — {_e(caption)}" if svg else "") + f"</figcaption>{body}</figure>")


def _phases(columns, suffix):
    return en50160._phase_columns(columns, suffix) if columns else {}


def _times(columns, start=None, key="startTime", end="endTime"):
    """The middle of each interval: the recorder's clock time (datetime64) when the recording has a start,
    else hours from its first sample. Intervals without times are taken as 10 minutes each from the start."""
    if key in columns and end in columns:
        seconds = (np.asarray(columns[key], np.float64) + np.asarray(columns[end], np.float64)) / 2
    else:
        seconds = (np.arange(len(next(iter(columns.values())))) + 0.5) * 600.0
    if start is None:
        return seconds / 3600.0
    return np.datetime64(start, "us") + np.round(seconds * 1e6).astype("timedelta64[us]")


def time_axis_text(start=None):
    """What the plots' time axes show, as the report says it."""
    if start is None:
        return "hours from the start of the recording (the file gives no start time)"
    return f"clock time of the recorder (the recording starts {start.isoformat(sep=' ', timespec='seconds')})"


def _axes(title, ylabel, start=None):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 3.2), constrained_layout=True)
    ax.set_title(title, fontsize=10)
    ax.set_ylabel(ylabel)
    if start is None:
        ax.set_xlabel("time from the start of the recording / h")
    else:
        locator = matplotlib.dates.AutoDateLocator()
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(matplotlib.dates.ConciseDateFormatter(locator))
        ax.set_xlabel("clock time of the recorder")
    ax.grid(alpha=0.3)
    return fig, ax


def _series(key, title, series, used, hlines, ylabel, band=None, start=None):
    """Values per phase over time (x: as :func:`_times` gives them for start); flagged or partial intervals
    drawn hollow; limits as lines."""
    fig, ax = _axes(title, ylabel, start)
    for label, (x, y) in series.items():
        colour = _PHASE_COLOURS.get(label, "tab:blue")
        if len(y) > _MOST_POINTS:
            # A long series (a year of 10-s values) as its envelope: the file stays small.
            edges = np.linspace(0, len(y), _MOST_POINTS // 2 + 1).astype(int)
            lo = np.fmin.reduceat(y, edges[:-1])
            hi = np.fmax.reduceat(y, edges[:-1])
            ax.fill_between(x[edges[:-1]], lo, hi, color=colour, lw=0.5, label=label if len(series) > 1 else None)
            continue
        ax.plot(x, y, lw=0.8, color=colour, label=label if len(series) > 1 else None)
        if used is not None and np.any(~used):
            ax.plot(x[~used], y[~used], "o", mfc="none", color=colour, ms=4)
    if band is not None:
        ax.axhspan(band[0], band[1], color="tab:green", alpha=0.08, lw=0)
    for value, style, text in hlines:
        ax.axhline(value, color="tab:red" if style == "-" else "tab:orange", ls=style, lw=1)
        ax.annotate(text, (1.0, value), xycoords=("axes fraction", "data"), ha="right", va="bottom", fontsize=7)
    xs = [x for x, _ in series.values() if len(x)]
    if xs and np.unique(np.concatenate(xs)).size == 1:
        # One instant (a recording shorter than an interval): ten minutes either side, not years of empty axis.
        x0 = np.concatenate(xs)[0]
        half = np.timedelta64(600, "s") if start is not None else 600.0 / 3600.0
        ax.set_xlim(x0 - half, x0 + half)
    if len(series) > 1:
        ax.legend(fontsize=7, loc="upper left")
    return _svg(fig, key)


def _rows(assessment, key):
    return [r for r in assessment["rows"] if r["key"] == key]


def _limit_lines(assessment, key, absolute):
    """(value, style, label) of each band edge: the first band solid, the 'all the time' one dashed."""
    lim = assessment["settings"]["limits"]
    s = assessment["settings"]
    system = s["system"]
    bands = lim[key][system] if key in ("voltage", "frequency") else lim[key]
    base = s["nominal_voltage"] if key == "voltage" else s["nominal_frequency"]
    out = []
    if absolute and base is None:  # Un not known: no voltage to draw a band at
        return out
    for band in bands:
        style = "--" if band["share"] >= 100 else "-"
        for edge in (band["low"], band["high"]):
            if edge is None:
                continue
            value = base * (1 + edge / 100) if absolute else edge
            out.append((value, style, f"{edge:+g} %" if absolute else f"{edge:g}"))
    return out


def _plots(assessment, tables, start=None):
    """The figures; time axes on the recorder's clock when start (a datetime) is given, else in hours."""
    s = assessment["settings"]

    def when(columns):
        return _times(columns, start)

    def plot(*args, **kwargs):
        return _series(*args, start=start, **kwargs)

    ten = en50160._columns(tables.get("10min")) if tables else None
    used = None
    if ten:
        used, _ = en50160._usable(ten, len(next(iter(ten.values()))))
    out = []
    # Voltage
    phases = _phases(ten, "rmsVoltage")
    if phases:
        x = when(ten)
        un = s["nominal_voltage"]
        title = "10-minute RMS voltage " + ("(Un not known)" if un is None else f"against Un = {un:.6g} V")
        svg = plot("voltage", title, {k: (x, v) for k, v in phases.items()}, used,
                   _limit_lines(assessment, "voltage", True), "U / V",
                   band=None if un is None else (0.9 * un, 1.1 * un))
        out.append(_figure("voltage", "Supply voltage", "10-minute values, band ±10 % shaded; hollow: left out",
                           svg))
    else:
        out.append(_figure("voltage", "Supply voltage", "no 10-minute voltages", None))
    # Frequency
    f = en50160._columns(tables.get("10s")) if tables else None
    if f and "frequency" in f and len(f["frequency"]):
        fused, _ = en50160._usable(f, len(f["frequency"]))
        svg = plot("frequency", "10-second frequency", {"f": (when(f), f["frequency"])}, fused,
                   _limit_lines(assessment, "frequency", True), "f / Hz")
        out.append(_figure("frequency", "Power frequency", "10-second values with their bands", svg))
    else:
        out.append(_figure("frequency", "Power frequency", "no 10-second frequencies", None))
    # Flicker: Pst per 10 minutes and Plt per 2 hours where measured.
    plt_table = en50160._columns(tables.get("2h")) if tables else None
    # Columns whose values are all missing (a recording shorter than the meter's intervals) draw nothing.
    plt_phases = {k: v for k, v in _phases(plt_table, "plt").items() if np.isfinite(v).any()}
    pst = {k: v for k, v in _phases(ten, "pst").items() if np.isfinite(v).any()}
    if plt_phases or pst:
        series = {f"Pst {k}": (when(ten), v) for k, v in pst.items()}
        if plt_phases:
            series.update({f"Plt {k}": (when(plt_table), v) for k, v in plt_phases.items()})
        svg = plot("flicker", "Flicker severity", series, None, _limit_lines(assessment, "flicker", False),
                   "P")
        out.append(_figure("flicker", "Flicker Pst/Plt", "Plt against its limit", svg))
    else:
        out.append(_figure("flicker", "Flicker Pst/Plt", "no Pst or Plt values", None))
    # Unbalance
    if ten and "u2" in ten:
        svg = plot("unbalance", "Negative-sequence unbalance u2", {"u2": (when(ten), ten["u2"])}, used,
                   _limit_lines(assessment, "unbalance", False), "u2 / %")
        out.append(_figure("unbalance", "Supply voltage unbalance", "10-minute values", svg))
    else:
        out.append(_figure("unbalance", "Supply voltage unbalance", "no u2 values (needs three phases)", None))
    # THD
    thd = _phases(ten, "thdVoltage.thd")
    if thd:
        svg = plot("thd", "Voltage THD (orders 2 to 40)", {k: (when(ten), v) for k, v in thd.items()},
                   used, _limit_lines(assessment, "thd", False), "THD / %")
        out.append(_figure("thd", "Voltage THD", "10-minute values", svg))
    else:
        out.append(_figure("thd", "Voltage THD", "no THD values", None))
    # Harmonics: the 95th percentile of each order (highest phase) against the table.
    rows = [r for r in _rows(assessment, "harmonics") if r["percentile"] is not None]
    measured = sorted({int(k.rsplit(".", 1)[1]) for k in (ten or {}) if ".harmonicsVoltage." in "." + k})
    if rows or measured:
        fig, ax = _axes("Individual harmonics: 95th percentile of the 10-minute values (highest phase)",
                        "% of the fundamental")
        ax.set_xlabel("harmonic order")
        share = assessment["settings"]["limits"]["harmonics"]["share"]
        p95 = []
        for order in measured:
            cols = [v[used & np.isfinite(v)] for v in _phases(ten, f"harmonicsVoltage.{order}").values()]
            cols = [c for c in cols if c.size]
            p95.append(max(float(np.percentile(c, share)) for c in cols) if cols else np.nan)
        ax.bar(measured, p95, color="tab:blue", width=0.6, label=f"{share:g}th percentile")
        table = assessment["settings"]["limits"]["harmonics"]["orders"]
        orders = sorted(int(k) for k in table)
        ax.plot(orders, [table[str(h)] for h in orders], "_", color="tab:red", ms=14, mew=2, label="limit")
        ax.set_xticks(range(2, max(measured + orders) + 1, 2))
        ax.legend(fontsize=7)
        out.append(_figure("harmonics", "Harmonic voltages", "against the table of individual harmonics",
                           _svg(fig, "harmonics")))
    else:
        out.append(_figure("harmonics", "Harmonic voltages", "no individual harmonics", None))
    return out


_NO_PHASE = ("f", "u2")  # one value for the whole supply: no phase to name


def _phase_label(label):
    return "–" if label in _NO_PHASE else str(label)


def _value_text(r, p):
    """A phase's value at the share its row asks, as the verdict table shows it."""
    required = r["required"]
    at = "all" if required >= 100.0 else f"{required:g} %"
    if r["key"] in ("voltage", "frequency") and p.get("deviation") is not None:
        # Fixed decimals: 0.01 % of Un is 23 mV, 0.001 % of 50 Hz 0.5 mHz.
        return f"{at} within ±{p['deviation']:.{3 if r['key'] == 'frequency' else 2}f} %"
    return f"{at} ≤ {_num(p['percentile'])} {r['unit']}".rstrip()


def _range_text(r, p):
    digits = 6 if r["key"] == "frequency" else 5 if r["key"] == "voltage" else 4
    return f"{_num(p['min'], digits)} … {_num(p['max'], digits)} {r['unit']}".rstrip()


def _counts_text(r):
    gap = f", {r['gap']} with a gap" if r.get("gap") else ""
    return f"{r['intervals']} ({r['flagged']} flagged{gap}, {r['partial']} partial)"


def _verdict_body(parameter, condition, statistic, verdict, note, lines, counts):
    """One row of the verdict table as a tbody: a line per phase (label, within, value, range, worst), the
    parameter, limit, statistic, counts and verdict spanning them."""
    lines = lines or [("–", "–", "–", "–", False)]
    span = f' rowspan="{len(lines)}"' if len(lines) > 1 else ""
    out = []
    for k, (label, share, value, extent, worst) in enumerate(lines):
        cells = ""
        if k == 0:
            cells = (f"<td{span}>{_e(parameter)}</td><td{span}>{_e(condition)}</td><td{span}>{_e(statistic)}</td>")
        cells += (f'<td class="phase">{_e(label)}</td><td class="num">{_e(share)}</td><td>{_e(value)}</td>'
                  f"<td>{_e(extent)}</td>")
        if k == 0:
            cells += (f"<td{span}>{_e(counts)}</td><td{span} class=\"verdict\">{_e(verdict)}"
                      + (f'<div class="note">{_e(note)}</div>' if note else "") + "</td>")
        mark = ' class="worst"' if worst and len(lines) > 1 else ""
        out.append(f"<tr{mark}>{cells}</tr>")
    return f'<tbody class="{_css(verdict)}">{"".join(out)}</tbody>'


def _phase_lines(r):
    """(label, within, value, range, worst) of each phase of a row."""
    return [(_phase_label(p["phase"]), f"{p['share']:.2f} %", _value_text(r, p), _range_text(r, p),
             p["phase"] == r["phase"]) for p in r.get("phases") or []]


def _verdict_table(assessment):
    head = ("<thead><tr><th>Parameter</th><th>Limit</th><th>Statistic</th><th>Phase</th><th>Within</th>"
            "<th>Value at the share asked</th><th>Lowest … highest</th><th>Intervals used (left out)</th>"
            "<th>Verdict</th></tr></thead>")
    body = []
    harmonics = _rows(assessment, "harmonics")
    for r in (r for r in assessment["rows"] if r["key"] != "harmonics"):
        lines = _phase_lines(r)
        if not lines and r["share"] is not None:  # an assessment made before rows had their phases
            lines = [(_phase_label(r["phase"]), f"{r['share']:.2f} %", _value_text(r, r), _range_text(r, r), True)]
        body.append(_verdict_body(r["parameter"], r["condition"], r["statistic"], r["verdict"], r["note"], lines,
                                  _counts_text(r) if r["share"] is not None else "–"))
    if harmonics:
        body.append(_harmonics_summary(harmonics))
    return f'<table id="verdict">{head}{"".join(body)}</table>'


def _harmonics_summary(harmonics):
    """The harmonics as one row of the verdict table: per phase its worst order (the smallest share within,
    then the highest 95 % value against its limit)."""
    verdicts = [r["verdict"] for r in harmonics]
    verdict = "fail" if "fail" in verdicts else ("pass" if "pass" in verdicts else "not measured")
    worst = min((r for r in harmonics if r["share"] is not None),
                key=lambda r: (r["share"], -r["percentile"] / r["high"]), default=None)
    failing = [f"h{r['order']}" for r in harmonics if r["verdict"] == "fail"]
    missing = [f"h{r['order']}" for r in harmonics if r["verdict"] == "not measured"]
    notes = []
    if failing:
        notes.append("over the limit: " + ", ".join(failing))
    if missing and worst is not None:
        notes.append("not measured: " + ", ".join(missing))
    note = "; ".join(notes) if worst is not None else harmonics[0]["note"]
    per_phase = {}
    for r in harmonics:
        for p in r.get("phases") or []:
            key = (p["share"], -p["percentile"] / r["high"])
            if p["phase"] not in per_phase or key < per_phase[p["phase"]][0]:
                per_phase[p["phase"]] = (key, r, p)
    lines = [(f"{label} (h{r['order']})", f"{p['share']:.2f} %",
              f"{r['required']:g} % ≤ {_num(p['percentile'])} % (limit {r['high']:g} %)", _range_text(r, p),
              worst is not None and r is worst and label == worst["phase"])
             for label, (_, r, p) in per_phase.items()]
    first, last = harmonics[0]["order"], harmonics[-1]["order"]
    return _verdict_body("Harmonic voltage", f"h{first} … h{last} per the table of harmonics",
                         harmonics[0]["statistic"], verdict, note, lines,
                         _counts_text(worst) if worst is not None else "–")


def _harmonics_table(assessment):
    rows = _rows(assessment, "harmonics")
    if not rows:
        return ""
    labels = []
    for r in rows:
        labels += [p["phase"] for p in r.get("phases") or [] if p["phase"] not in labels]
    head = "".join(f"<th>95 % value {_e(_phase_label(label))} / %</th>" for label in labels)
    cells = []
    for r in rows:
        values = {p["phase"]: p["percentile"] for p in r.get("phases") or []}
        cells.append(f'<tr class="{_css(r["verdict"])}"><td>h{r["order"]}</td><td class="num">{r["high"]:g} %</td>'
                     + "".join(f'<td class="num">{_num(values.get(label))}</td>' for label in labels)
                     + f'<td class="num">{"–" if r["share"] is None else format(r["share"], ".2f") + " %"}</td>'
                     f'<td class="verdict">{_e(r["verdict"])}</td></tr>')
    return (f'<table id="harmonics"><tr><th>Order</th><th>Limit</th>{head}<th>Within (worst phase)</th>'
            f"<th>Verdict</th></tr>{''.join(cells)}</table>")


def _count_table(ident, title, table, corner):
    head = f"<tr><th>{_e(corner)}</th>" + "".join(f"<th>{_e(c)}</th>" for c in table["columns"]) + "</tr>"
    body = "".join(f"<tr><th>{_e(label)}</th>" + "".join(f'<td class="num">{n}</td>' for n in counts) + "</tr>"
                   for label, counts in zip(table["rows"], table["counts"]))
    return f'<table id="{ident}" class="count"><caption>{_e(title)}</caption>{head}{body}</table>'


def _events_table(events, start):
    """The events at their clock time (ISO 8601, with the offset from UTC when it is known) or, without a
    start time, in seconds from the first sample; the column of how an event ended only when one did not."""
    if events is None or not len(events):
        return '<p id="events">No dips, swells or interruptions.</p>'
    from .analysis import EVENT_TYPES
    from .report import _cut

    notes = ["" if e["ended"] else "cut short by a gap" if _cut(e) else "still running at the end" for e in events]
    rows = []
    for e, note in zip(events, notes):
        when = f"{e['startTime']:.3f} s"
        if start:
            when = (start + datetime.timedelta(seconds=float(e["startTime"]))).isoformat(timespec="milliseconds")
        phases = ",".join("ABC"[p] for p in range(3) if int(e["phases"]) & (1 << p)) or "-"
        rows.append(f"<tr><td>{_e(when)}</td><td>{_e(EVENT_TYPES.get(int(e['type']), e['type']))}</td>"
                    f"<td>{phases}</td><td class='num'>{e['duration'] * 1000:.1f} ms</td>"
                    f"<td class='num'>{e['extremePercent']:.1f} %</td>"
                    + (f"<td>{_e(note)}</td>" if any(notes) else "") + "</tr>")
    first = "Start (clock time of the recorder)" if start else "Start (s from the first sample)"
    return (f'<table id="events"><tr><th>{first}</th><th>Type</th><th>Phases</th><th>Duration</th>'
            "<th>Extreme (% of Un)</th>" + ("<th>Ended</th>" if any(notes) else "") + f"</tr>{''.join(rows)}</table>")


def _weeks_table(weeks, start):
    """The verdict of each observation week: its label ('week 1', 'partial: 3.5 days'), start and end (on the
    recorder's clock when the recording has a start, with the offset from UTC when known), each parameter's
    verdict (its rows together), and the week's verdict with the rows that failed or were not judged."""
    keys = [k for k in en50160.PARAMETERS]
    head = ("<tr><th>Week</th><th>Start</th><th>End</th>"
            + "".join(f"<th>{_e(en50160._TITLES[k])}</th>" for k in keys) + "<th>Verdict</th></tr>")
    body = []
    for n, week in enumerate(weeks, 1):
        cells = []
        failing = []
        for key in keys:
            rows = [r for r in week.get("rows") or [] if r.get("key") == key]
            verdicts = [r.get("verdict") for r in rows]
            failing += [f"{r.get('parameter', key)} {str(r.get('condition', '')).split(':')[0]}".strip()
                        for r in rows if r.get("verdict") == "fail"]
            verdict = ("fail" if "fail" in verdicts else "pass" if verdicts and all(v == "pass" for v in verdicts)
                       else "not measured" if not verdicts or all(v == "not measured" for v in verdicts)
                       else "incomplete")
            cells.append(f'<td class="{_css(verdict)} verdict">{_e(verdict)}</td>')
        verdict = str(week.get("verdict", "–"))
        notes = []
        if week.get("failing") or failing:
            notes.append("over the limit: " + ", ".join(week.get("failing") or failing))
        if week.get("not_judged"):
            notes.append("not judged: " + ", ".join(week["not_judged"]))
        note = "; ".join(notes)
        times = [_when(week.get(key), start) if start is not None or not week.get(key + "_time") else
                 week[key + "_time"] for key in ("start", "end")]
        body.append(f"<tr><td>{_e(week.get('label') or n)}</td><td>{_e(times[0])}</td><td>{_e(times[1])}</td>"
                    f'{"".join(cells)}<td class="{_css(verdict)} verdict">{_e(verdict)}'
                    + (f'<div class="note">{_e(note)}</div>' if note else "") + "</td></tr>")
    return f'<table id="weeks">{head}{"".join(body)}</table>'


def _when(value, start):
    """A time as the report shows it: text as given; seconds from the first sample as clock time when the
    recording has a start."""
    if value is None:
        return "–"
    if isinstance(value, str):
        return value
    if start is not None:
        return (start + datetime.timedelta(seconds=float(value))).isoformat(timespec="seconds")
    return f"{float(value):.0f} s"


def _band_rows(name, bands, base=None, unit=""):
    out = []
    for band in bands:
        low, high = band["low"], band["high"]
        limit = f"≤ {high:g}" if low is None else (f"±{high:g}" if -low == high else f"{low:+g} … {high:+g}")
        if base is not None:
            limit += " % of " + base
            if unit:
                limit += f" ({unit})"
        elif unit:
            limit += f" {unit}"
        statistic = "all the time" if band["share"] >= 100 else f"{band['share']:g} % of the values"
        out.append(f"<tr><td>{_e(name)}</td><td>{_e(limit)}</td><td>{_e(statistic)}</td>"
                   f"<td>{_e(band['period'])}</td></tr>")
    return out


def _limits_tables(settings):
    """The limits used, as tables: the bands, the table of harmonics, the edges of the dip and swell tables."""
    lim, system = settings["limits"], settings["system"]
    un, fn = settings["nominal_voltage"], settings["nominal_frequency"]

    def absolute(bands, base, digits):
        return ", ".join(f"{base * (1 + b['low'] / 100):.{digits}g} … {base * (1 + b['high'] / 100):.{digits}g}"
                         for b in bands)

    rows = []
    for band in lim["frequency"][system]:
        rows += _band_rows("Power frequency (10-s mean)", [band], f"{fn:g} Hz", absolute([band], fn, 6) + " Hz")
    for band in lim["voltage"][system]:
        rows += _band_rows("Supply voltage (10-minute RMS)", [band], "Un" if un is None else f"Un = {un:.6g} V",
                           "" if un is None else absolute([band], un, 5) + " V")
    rows += _band_rows("Flicker severity Plt (2 hours)", lim["flicker"])
    rows += _band_rows("Unbalance u2 (10 minutes)", lim["unbalance"], unit="%")
    rows += _band_rows("THD, orders 2 to 40 (10 minutes)", lim["thd"], unit="%")
    h = lim["harmonics"]
    rows.append(f"<tr><td>Harmonic voltages (10 minutes)</td><td>per order, the table below</td>"
                f"<td>{h['share']:g} % of the values</td><td>{_e(h['period'])}</td></tr>")
    bands = ('<table id="limits"><tr><th>Parameter</th><th>Limit</th><th>Statistic</th><th>Over a</th></tr>'
             + "".join(rows) + "</table>")
    orders = sorted(h["orders"], key=int)
    harmonics = ('<table id="limits-harmonics"><tr><th>Order</th>' + "".join(f"<th>h{o}</th>" for o in orders)
                 + "</tr><tr><th>% of U1</th>" + "".join(f'<td class="num">{h["orders"][o]:g}</td>' for o in orders)
                 + "</tr></table>")
    d, sw = lim["dips"], lim["swells"]
    edges = ('<p id="limits-events" class="note">Dip and swell tables: dips by residual voltage '
             + ", ".join(f"{x:g}" for x in d["residual"]) + " % and duration "
             + ", ".join(en50160._t(x) for x in d["duration"]) + "; swells by maximum voltage "
             + ", ".join(f"{x:g}" for x in sw["voltage"]) + " % and duration "
             + ", ".join(en50160._t(x) for x in sw["duration"]) + ".</p>")
    return bands + harmonics + edges


# The cumulative distributions: key, the table, the column suffix, title, unit, the limits' key.
CDFS = (("voltage", "10min", "rmsVoltage", "10-minute RMS voltage", "V", "voltage"),
        ("thd", "10min", "thdVoltage.thd", "Voltage THD (10 minutes)", "%", "thd"),
        ("unbalance", "10min", "u2", "Unbalance u2 (10 minutes)", "%", "unbalance"),
        ("plt", "2h", "plt", "Flicker severity Plt (2 hours)", "", "flicker"))
_CDF_POINTS = 400  # points of each phase's curve: its quantiles, so a year of values draws as fast as a day


def _ticks(low, high, most=7):
    """Round ticks (1, 2, 5 times a power of ten) over [low, high]."""
    span = high - low
    for step in (m * 10.0 ** e for e in range(int(np.floor(np.log10(span / most))) - 1, 40) for m in (1, 2, 5)):
        if span / step <= most:
            break
    first = np.ceil(low / step - 1e-9) * step
    return [first + k * step for k in range(int(np.floor((high - first) / step + 1e-9)) + 1)], step


def _cdf_svg(title, series, limits, required, unit):
    """An SVG of each series' cumulative distribution (x: value, y: % of the values at or below it), the
    limits as red vertical lines and the share asked as a dashed line."""
    width, height, left, right, top, bottom = 460.0, 270.0, 48.0, 12.0, 24.0, 40.0
    values = np.concatenate(list(series.values()))
    edges = [v for v, _ in limits]
    low, high = float(min([values.min()] + edges)), float(max([values.max()] + edges))
    pad = (high - low) * 0.05 or max(abs(high) * 0.05, 0.05)
    low, high = low - pad, high + pad
    ticks, step = _ticks(low, high)

    def x(v):
        return left + (v - low) / (high - low) * (width - left - right)

    def y(share):
        return top + (1 - share / 100.0) * (height - top - bottom)

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width:g} {height:g}" role="img" '
           f'font-family="sans-serif" font-size="10"><title>{_e(title)}</title>',
           f'<rect x="{left}" y="{top}" width="{width - left - right}" height="{height - top - bottom}" '
           'fill="none" stroke="#888"/>']
    digits = max(0, -int(np.floor(np.log10(step)))) if step < 1 else 0
    for t in ticks:
        out.append(f'<line x1="{x(t):.1f}" y1="{top}" x2="{x(t):.1f}" y2="{height - bottom}" stroke="#ddd"/>'
                   f'<text x="{x(t):.1f}" y="{height - bottom + 13}" text-anchor="middle">{t:.{digits}f}</text>')
    for share in (0, 25, 50, 75, 100):
        out.append(f'<line x1="{left}" y1="{y(share):.1f}" x2="{width - right}" y2="{y(share):.1f}" stroke="#ddd"/>'
                   f'<text x="{left - 4}" y="{y(share) + 3:.1f}" text-anchor="end">{share}</text>')
    out.append(f'<text x="{left + (width - left - right) / 2}" y="{height - 6}" text-anchor="middle">'
               f'{_e(title)}{" / " + _e(unit) if unit else ""}</text>'
               f'<text transform="translate(11 {top + (height - top - bottom) / 2}) rotate(-90)" '
               'text-anchor="middle">% of the values at or below</text>')
    if required < 100:
        out.append(f'<line class="share" x1="{left}" y1="{y(required):.1f}" x2="{width - right}" '
                   f'y2="{y(required):.1f}" stroke="#555" stroke-dasharray="4 3"/>'
                   f'<text x="{left + (width - left - right) / 2:.1f}" y="{y(required) + 11:.1f}" fill="#555" '
                   f'text-anchor="middle">{required:g} % of the values</text>')
    # Labels above the frame, staggered so that neighbouring limits (-15 % and -10 %) stay readable.
    for k, (value, label) in enumerate(sorted(limits)):
        near_right = x(value) > width - right - 40
        out.append(f'<line class="limit" x1="{x(value):.1f}" y1="{top}" x2="{x(value):.1f}" y2="{height - bottom}" '
                   f'stroke="#d62728" stroke-width="1.5"/><text x="{x(value) + (-3 if near_right else 3):.1f}" '
                   f'y="{top - 4 - 10 * (k % 2):.1f}" text-anchor="{"end" if near_right else "start"}" '
                   f'fill="#d62728">{_e(label)}</text>')
    for k, (label, v) in enumerate(series.items()):
        v = np.sort(v)
        shares = 100.0 * np.arange(1, v.size + 1) / v.size
        if v.size > _CDF_POINTS:
            pick = np.unique(np.linspace(0, v.size - 1, _CDF_POINTS).round().astype(int))
            v, shares = v[pick], shares[pick]
        # Steps: each value lifts the curve from the share below it to its own.
        xs = np.repeat(v, 2)
        ys = np.concatenate([[0.0], np.repeat(shares, 2)[:-1]])
        points = " ".join(f"{x(a):.1f},{y(b):.1f}" for a, b in zip(xs, ys))
        colour = _PHASE_COLOURS.get(label, "#1f77b4")
        out.append(f'<polyline class="curve" points="{points}" fill="none" stroke="{colour}" stroke-width="1.3"/>')
        if len(series) > 1:
            out.append(f'<text x="{width - right - 6}" y="{height - bottom - 8 - 12 * (len(series) - 1 - k)}" '
                       f'text-anchor="end" fill="{colour}">{_e(label)}</text>')
    return "".join(out) + "</svg>"


def _cdfs(assessment, tables):
    """The figures of the cumulative distributions, each over the values its rows judge."""
    s = assessment["settings"]
    out = []
    for key, table, suffix, title, unit, limit_key in CDFS:
        columns = en50160._columns(tables.get(table)) if tables else None
        phases = {}
        if columns:
            n = len(next(iter(columns.values())))
            used, _ = en50160._usable(columns, n)
            found = {"u2": columns["u2"]} if suffix == "u2" and "u2" in columns else _phases(columns, suffix)
            phases = {label: np.asarray(v, np.float64)[used & np.isfinite(np.asarray(v, np.float64))]
                      for label, v in found.items()}
            phases = {label: v for label, v in phases.items() if v.size}
        if not phases:
            out.append(f'<figure class="cdf" id="cdf-{key}"><figcaption><b>{_e(title)}</b></figcaption>'
                       f'<div class="empty">{_e(title)}: not measured</div></figure>')
            continue
        lines = _limit_lines(assessment, limit_key, key == "voltage")
        limits = sorted({(value, text) for value, style, text in lines})  # a band's edge shared by two once
        bands = s["limits"][limit_key][s["system"]] if limit_key == "voltage" else s["limits"][limit_key]
        required = min(float(b["share"]) for b in bands)
        caption = (f"share of the {sum(v.size for v in phases.values())} values used at or below each value; "
                   "limits in red" + (f", {required:g} % dashed" if required < 100 else ""))
        out.append(f'<figure class="cdf" id="cdf-{key}"><figcaption><b>{_e(title)}</b> — {_e(caption)}'
                   f"</figcaption>{_cdf_svg(title, phases, limits, required, unit)}</figure>")
    return out


def _identity(assessment, start_text):
    """The header's table: site, operator, recorder, recording, measurement period and time zone."""
    rec = assessment.get("recording") or {}
    s = assessment["settings"]
    site = rec.get("site") or "not given (--site)"
    if rec.get("site") and rec.get("station") and rec["station"] != rec["site"]:
        site += f" (station in the file: {rec['station']})"
    recorder = rec.get("device") or "not given in the file"
    seconds = rec.get("seconds", assessment["coverage"]["seconds"])
    length = en50160._duration_text(seconds)
    if rec.get("start") or start_text:
        end = rec.get("end")
        if end is None:
            try:
                end = (datetime.datetime.fromisoformat(start_text) + datetime.timedelta(seconds=seconds)).isoformat()
            except ValueError:
                end = "–"
        period = f"{rec.get('start') or start_text} to {end} ({length})"
    else:
        period = f"{length} recorded; the file gives no start time"
    zone = rec.get("time_zone")
    if zone:
        zone_text = f"UTC{zone}: times are the recorder's clock, {zone} from UTC"
    else:
        zone_text = "not known: the file does not say; times are the recorder's clock as the file gives them"
    rows = [("Site", site), ("Operator", rec.get("operator") or "not given (--operator)"), ("Recorder", recorder),
            ("Recording", rec.get("file") or "–"), ("Measurement period", period), ("Time zone", zone_text),
            ("Network", f"{s['level']} network" + (f" ({s['level_source']})" if s.get("level_source") else "")
             + f", {s['system']} system")]
    return ('<table id="identity">' + "".join(f'<tr><th>{_e(k)}</th><td id="identity-{k.split()[0].lower()}">'
                                              f"{_e(v)}</td></tr>" for k, v in rows) + "</table>")


# Where Un came from, as the method line says it (the analysis' reasons follow in full).
_UN_SOURCES = {"given": "given to the assessment", "rating": "the voltage channels' rating",
               "nominal": "the nominal voltage nearest the measured level",
               "measured": "the measured level, near no nominal voltage"}


def _method(assessment):
    """The method line: how the values were measured, the flicker lamp, Un and where it came from."""
    s = assessment["settings"]
    rec = assessment.get("recording") or {}
    lamp = rec.get("lamp") or s.get("lamp") or s.get("flicker_lamp")
    inferred = s.get("inference") or {}
    source = s.get("un_source") or inferred.get("udin_source")
    source = _UN_SOURCES.get(source, source) or "given to the assessment"
    if inferred.get("udin_source") and not s.get("un_source"):
        source += ", as the next line says"
    flicker = (f"flicker Pst and Plt (IEC 61000-4-15) with the {lamp:g} V lamp" if lamp else
               "flicker: the lamp is not stated" if any(r["key"] == "flicker" and r["share"] is not None
                                                        for r in assessment["rows"]) else "flicker not measured")
    un = s.get("un", s.get("nominal_voltage"))
    un = "unknown" if un is None else f"{un:.6g} V" + (f" of {s['un_text']}" if s.get("un_text") and
                                                        s["un_text"] != f"{un:.6g} V" else "")
    return (f'<p id="method">Method: values measured as IEC 61000-4-30 Class A: the RMS voltages, THD, harmonic '
            "subgroups and unbalance aggregated over 10 minutes of the recorder's clock, the frequency over 10 s; "
            f"{_e(flicker)}. Un = {_e(un)}, {s['nominal_frequency']:g} Hz: {_e(source)}.</p>")


def render(assessment, tables=None, events=None, title="EN 50160 report"):
    """The report's HTML text."""
    s = assessment["settings"]
    rec = assessment.get("recording") or {}
    start = clock = None
    if s.get("start"):
        try:
            start = datetime.datetime.fromisoformat(s["start"])
        except ValueError:
            start = None
    # Events at their clock time with the offset from UTC when it is known; the plots on the naive clock.
    try:
        clock = datetime.datetime.fromisoformat(rec["start"]) if rec.get("start") else start
    except ValueError:
        clock = start
    try:
        plots = _plots(assessment, tables or {}, start.replace(tzinfo=None) if start else None)
    except ImportError:
        plots = [_figure(k, k, "the plots need matplotlib", None) for k in PLOTS]
    cov = assessment["coverage"]
    weeks = assessment.get("weeks")
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">', f"<title>{_e(title)}</title>",
        f"<style>{_STYLE}</style></head><body>",
        '<section id="section-summary">',
        f"<h1>{_e(title)}</h1>",
        _identity(assessment, s.get("start")),
        _method(assessment),
        *_inference(s.get("inference")),
        f'<p>Verdict: <span id="overall" class="overall {_badge(assessment["verdict"])} verdict">'
        f'{_e(assessment.get("verdict_text") or assessment["verdict"])}</span></p>',
        f'<p id="coverage" class="note">Coverage: {_e(cov["text"])}.</p>',
        "<h2>Verdict</h2>", _verdict_table(assessment),
        '<p class="note">Each row per phase (bold: the phase that decides the row). Within: share of the '
        "intervals used that lie inside the limit. Value at the share asked: the value that share of the "
        "intervals stays at or below (the 95 % value of a 95 % row, the highest of a row \"all the time\"); for "
        "voltage and frequency the distance from nominal that share stays within. Left out: flagged intervals "
        "(a dip, swell or interruption), intervals with a gap (a lost sample or an untracked cycle) and intervals "
        "not whole at the recording's ends.</p>",
        "</section>",
    ]
    if weeks:
        parts += ['<section id="section-weeks">', "<h2>Week by week</h2>", _weeks_table(weeks, clock),
                  "</section>"]
    parts += [
        '<section id="section-distributions">', "<h2>Cumulative distributions</h2>",
        '<p class="note">Of the values the rows judge (intervals left out are not drawn): each curve rises to the '
        "share of the values at or below each value, per phase.</p>", *_cdfs(assessment, tables), "</section>",
        '<section id="section-plots">', "<h2>Values against their limits</h2>",
        f'<p id="time-axis" class="note">Time axes: {_e(time_axis_text(start))}.</p>', *plots, "</section>",
        '<section id="section-harmonics">', "<h2>Harmonic voltages by order</h2>", _harmonics_table(assessment),
        "</section>",
        '<section id="section-dips">', "<h2>Dips and swells</h2>",
        '<p class="note">Counts of events by residual (dips) or maximum (swells) voltage in % of Un and by '
        "duration; the standard gives no limit on their number. Interruptions count as dips below 5 %.</p>",
        _count_table("dips", "Voltage dips", assessment["dips"], "Residual u / %"),
        _count_table("swells", "Voltage swells", assessment["swells"], "Maximum u / %"),
        "<h2>Events</h2>", _events_table(events, clock), "</section>",
        '<section id="section-limits">', "<h2>Limits used</h2>", _limits_tables(s), "</section>",
        "</body></html>",
    ]
    return "\n".join(parts)


def _inference(inferred):
    """Paragraphs of what the analysis read into the recording: Un and Udin with the reason, and each channel
    used with its role and why (none when the assessment does not carry them)."""
    if not inferred or inferred.get("udin") is None:
        return []
    un = f', Un {_e(inferred["un_text"])}' if inferred.get("un_text") and inferred["udin_source"] != "given" else ""
    used = [c for c in inferred["channels"] if c["use"].startswith(("voltage", "current"))]
    return [f'<p id="udin" class="note">Udin {inferred["udin"]:.6g} V {_e(inferred["udin_channels"])}{un}: '
            f'{_e(inferred["udin_reason"])}.</p>',
            '<p id="roles" class="note">Channels: ' + "; ".join(f'{_e(c["name"])} {_e(c["use"])} ({_e(c["reason"])})'
                                                                for c in used) + ".</p>"]


def write(path, assessment, tables=None, events=None, title="EN 50160 report"):
    """Write the report to path (UTF-8); returns path."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(render(assessment, tables, events, title))
    return path


def to_json(assessment):
    """The assessment as JSON text (the same content as the report, as data)."""
    return json.dumps(assessment, indent=1, ensure_ascii=False, allow_nan=False,
                      default=lambda x: x.item() if hasattr(x, "item") else str(x))


def _href(path):
    """A relative file path as a link target (separators as '/', other characters quoted)."""
    return urllib.parse.quote(path.replace("\\", "/"))


def render_index(entries, title="EN 50160 reports", settings="", links=()):
    """The index page of many recordings' reports.

    entries: one dict per recording, in order, with 'name', 'href' (the
    report, relative to the page; None when there is none), 'path',
    'start', 'coverage', 'udin' (V, NaN when unknown), 'verdict',
    'failing', 'dips', 'swells', 'interruptions' (-1: not analysed),
    'status' and 'error'. settings: a line on the level, system and limits;
    links: (text, relative path) of the tables written beside the page.
    """
    verdicts = [e["verdict"] if e["status"] == "ok" else "error" for e in entries]
    counts = ", ".join(f"{verdicts.count(v)} {v}" for v in ("pass", "fail", "incomplete", "not measured", "error")
                       if v in verdicts)
    head = ("<tr><th>Recording</th><th>Start</th><th>Coverage</th><th>Un</th><th>Verdict</th>"
            "<th>Not within the limits</th><th>Dips</th><th>Swells</th><th>Interruptions</th></tr>")
    body = []
    for e, verdict in zip(entries, verdicts):
        name = _e(e["name"])
        name = f'<a href="{_e(_href(e["href"]))}">{name}</a>' if e.get("href") else name
        name += f'<div class="note">{_e(e["path"])}</div>'
        if e["status"] != "ok":
            body.append(f'<tr class="fail"><td>{name}</td><td colspan="3">–</td><td class="verdict">error</td>'
                        f'<td colspan="4">{_e(e["error"])}</td></tr>')
            continue
        udin = e["udin"]
        counts_cells = "".join(f'<td class="num">{"–" if e[k] < 0 else e[k]}</td>'
                               for k in ("dips", "swells", "interruptions"))
        body.append(f'<tr class="{_css(verdict)}"><td>{name}</td><td>{_e(e["start"] or "–")}</td>'
                    f'<td>{_e(e["coverage"])}</td>'
                    f'<td class="num">{"–" if not np.isfinite(udin) else f"{udin:.6g} V"}</td>'
                    f'<td class="verdict">{_e(verdict)}</td><td>{_e(e["failing"] or "–")}</td>{counts_cells}</tr>')
    tables = " ".join(f'<a href="{_e(_href(path))}">{_e(text)}</a>' for text, path in links)
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">', f"<title>{_e(title)}</title>",
        f"<style>{_STYLE}</style></head><body>",
        f"<h1>{_e(title)}</h1>",
        f"<p>{_e(settings)}</p>" if settings else "",
        f'<p id="counts">{len(entries)} recording(s): {_e(counts or "none")}.</p>',
        f'<table id="index">{head}{"".join(body)}</table>',
        '<p class="note">Verdict: the overall verdict of the recording\'s report (fail when any row fails; "not '
        'measured" when no row could be judged). Coverage: the time recorded against the week over which the '
        "standard's statistics run; a shorter recording is judged over what it holds.</p>",
        f'<p class="note">Tables: {tables}</p>' if tables else "",
        "</body></html>",
    ]
    return "\n".join(p for p in parts if p)


def write_index(path, entries, title="EN 50160 reports", settings="", links=()):
    """Write the index page to path (UTF-8); returns path."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_index(entries, title, settings, links))
    return path

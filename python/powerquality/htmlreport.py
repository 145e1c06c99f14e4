"""The EN 50160 report as one self-contained HTML file.

Everything is inside the file: the plots are inline SVG (matplotlib, glyphs
drawn as paths, so no font is fetched), the style sheet is inline, and there
is no script, no link and no image from elsewhere: the file opens the same
offline, mailed, or printed. Order: the verdict table first, then one plot
per parameter against its limits, the dip and swell tables, the list of
events, and the limits used.

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
.pass { background: #d6f5d6; } .fail { background: #f8d0d0; } .not-measured { background: #eee; color: #555; }
.verdict { font-weight: bold; text-transform: uppercase; }
.verdict .note { font-weight: normal; text-transform: none; }
.overall { display: inline-block; padding: 0.2em 0.8em; font-size: 1.2em; border: 1px solid #888; }
.note { color: #444; font-size: 0.9em; } figure { margin: 1em 0; } figure svg { width: 100%; height: auto; }
figcaption { font-size: 0.9em; color: #333; } .empty { border: 1px dashed #aaa; padding: 1em; color: #555; }
@media print { body { margin: 0; max-width: none; } figure, table { page-break-inside: avoid; }
  h2 { page-break-after: avoid; } }
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
        svg = plot("voltage", f"10-minute RMS voltage against Un = {un:.6g} V",
                   {k: (x, v) for k, v in phases.items()}, used,
                   _limit_lines(assessment, "voltage", True), "U / V", band=(0.9 * un, 1.1 * un))
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


def _verdict_table(assessment):
    head = ("<tr><th>Parameter</th><th>Limit</th><th>Statistic</th><th>Within</th><th>Worst</th>"
            "<th>Intervals used (left out)</th><th>Verdict</th></tr>")
    body = []
    harmonics = _rows(assessment, "harmonics")
    rows = [r for r in assessment["rows"] if r["key"] != "harmonics"]
    for r in rows:
        body.append(_verdict_row(r["parameter"], r["condition"], r["statistic"], r, r["verdict"], r["note"]))
    if harmonics:
        verdicts = [r["verdict"] for r in harmonics]
        verdict = "fail" if "fail" in verdicts else ("pass" if "pass" in verdicts else "not measured")
        # The worst order: the smallest share within, then the highest percentile against its limit.
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
        first, last = harmonics[0]["order"], harmonics[-1]["order"]
        body.append(_verdict_row("Harmonic voltage", f"h{first} … h{last} per the table below",
                                 harmonics[0]["statistic"], worst, verdict, note,
                                 worst_label=f"h{worst['order']}" if worst else None))
    return f'<table id="verdict">{head}{"".join(body)}</table>'


def _verdict_row(parameter, condition, statistic, r, verdict, note, worst_label=None):
    share = "–" if r is None or r["share"] is None else f"{r['share']:.2f} %"
    if r is None or r["share"] is None:
        worst = "–"
        counts = "–"
    else:
        worst = worst_label or str(r["phase"])
        if r["key"] in ("voltage", "frequency"):
            digits = 6 if r["key"] == "frequency" else 5
            worst += f" ({_num(r['min'], digits)} … {_num(r['max'], digits)} {r['unit']})"
        else:
            worst += f" (p{r['required']:g} {_num(r['percentile'])} {r['unit']})".replace(" )", ")")
        gap = f", {r['gap']} with a gap" if r.get("gap") else ""
        counts = f"{r['intervals']} ({r['flagged']} flagged{gap}, {r['partial']} partial)"
    return (f'<tr class="{_css(verdict)}"><td>{_e(parameter)}</td><td>{_e(condition)}</td><td>{_e(statistic)}</td>'
            f'<td class="num">{share}</td><td>{_e(worst)}</td><td>{_e(counts)}</td>'
            f'<td class="verdict">{_e(verdict)}' + (f'<div class="note">{_e(note)}</div>' if note else "")
            + "</td></tr>")


def _harmonics_table(assessment):
    rows = _rows(assessment, "harmonics")
    if not rows:
        return ""
    cells = "".join(f'<tr class="{_css(r["verdict"])}"><td>h{r["order"]}</td><td class="num">{r["high"]:g} %</td>'
                    f'<td class="num">{_num(r["percentile"])}</td>'
                    f'<td class="num">{"–" if r["share"] is None else format(r["share"], ".2f") + " %"}</td>'
                    f'<td class="verdict">{_e(r["verdict"])}</td></tr>' for r in rows)
    return ('<table id="harmonics"><tr><th>Order</th><th>Limit</th><th>95th percentile / %</th><th>Within</th>'
            f"<th>Verdict</th></tr>{cells}</table>")


def _count_table(ident, title, table, corner):
    head = f"<tr><th>{_e(corner)}</th>" + "".join(f"<th>{_e(c)}</th>" for c in table["columns"]) + "</tr>"
    body = "".join(f"<tr><th>{_e(label)}</th>" + "".join(f'<td class="num">{n}</td>' for n in counts) + "</tr>"
                   for label, counts in zip(table["rows"], table["counts"]))
    return f'<table id="{ident}" class="count"><caption>{_e(title)}</caption>{head}{body}</table>'


def _events_table(events, start):
    if events is None or not len(events):
        return '<p id="events">No dips, swells or interruptions.</p>'
    from .analysis import EVENT_TYPES
    from .report import _cut

    rows = []
    for e in events:
        when = f"{e['startTime']:.3f} s"
        if start:
            when = (start + datetime.timedelta(seconds=float(e["startTime"]))).isoformat(timespec="milliseconds")
        phases = ",".join("ABC"[p] for p in range(3) if int(e["phases"]) & (1 << p)) or "-"
        rows.append(f"<tr><td>{_e(when)}</td><td>{_e(EVENT_TYPES.get(int(e['type']), e['type']))}</td>"
                    f"<td>{phases}</td><td class='num'>{e['duration'] * 1000:.1f} ms</td>"
                    f"<td class='num'>{e['extremePercent']:.1f} %</td>"
                    f"<td>{'' if e['ended'] else 'cut short by a gap' if _cut(e) else 'still running at the end'}"
                    "</td></tr>")
    return ('<table id="events"><tr><th>Start</th><th>Type</th><th>Phases</th><th>Duration</th>'
            f"<th>Extreme (% of Un)</th><th></th></tr>{''.join(rows)}</table>")


def render(assessment, tables=None, events=None, title="EN 50160 report"):
    """The report's HTML text."""
    s = assessment["settings"]
    start = None
    if s.get("start"):
        try:
            start = datetime.datetime.fromisoformat(s["start"])
        except ValueError:
            start = None
    try:
        plots = _plots(assessment, tables or {}, start)
    except ImportError:
        plots = [_figure(k, k, "the plots need matplotlib", None) for k in PLOTS]
    cov = assessment["coverage"]
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">', f"<title>{_e(title)}</title>",
        f"<style>{_STYLE}</style></head><body>",
        f"<h1>{_e(title)}</h1>",
        f'<p>EN 50160, {_e(s["level"])} network ({_e(s.get("level_source") or "given")}), {_e(s["system"])} '
        f'system; Un = {_e(_un_said(s))}, '
        f'{s["nominal_frequency"]:g} Hz' + (f"; start {_e(s['start'])}" if s.get("start") else "") + "</p>",
        *_inference(s.get("inference")),
        f'<p>Verdict: <span id="overall" class="overall {_badge(assessment["verdict"])} verdict">'
        f'{_e(assessment.get("verdict_text") or assessment["verdict"])}</span></p>',
        f'<p id="coverage" class="note">Coverage: {_e(cov["text"])}.</p>',
        "<h2>Verdict</h2>", _verdict_table(assessment),
        '<p class="note">Within: share of the intervals used that lie inside the limit, for the worst phase. '
        "Left out: flagged intervals (a dip, swell or interruption), intervals with a gap (a lost sample or an "
        "untracked cycle) and intervals not whole at the recording's ends.</p>",
        "<h2>Values against their limits</h2>",
        f'<p id="time-axis" class="note">Time axes: {_e(time_axis_text(start))}.</p>', *plots,
        "<h2>Harmonic voltages by order</h2>", _harmonics_table(assessment),
        "<h2>Dips and swells</h2>",
        '<p class="note">Counts of events by residual (dips) or maximum (swells) voltage in % of Un and by '
        "duration; the standard gives no limit on their number. Interruptions count as dips below 5 %.</p>",
        _count_table("dips", "Voltage dips", assessment["dips"], "Residual u / %"),
        _count_table("swells", "Voltage swells", assessment["swells"], "Maximum u / %"),
        "<h2>Events</h2>", _events_table(events, start),
        "<h2>Limits used</h2>",
        f'<pre class="note">{_e(json.dumps(s["limits"], indent=1, ensure_ascii=False))}</pre>',
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

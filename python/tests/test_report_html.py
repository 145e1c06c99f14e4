# The EN 50160 report: one self-contained HTML file, as text, in headless Chromium and from an hour-long recording.
import datetime
import html
import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from powerquality import en50160, htmlreport
from conftest import cli, hour_recording
from test_en50160 import EVENT_DTYPE, UN, WEEK, week


def synthetic_report(path):
    tables = week()
    tables["10min"]["B.harmonicsVoltage.5"][:80] = 6.4  # one failing row
    events = np.array([(1, 1, 3600.0, 0.12, 150.0, 65.0, True), (2, 6, 7200.0, 0.6, 270.0, 117.0, True),
                       (3, 7, 9000.0, 2.0, 1.0, 0.4, True), (1, 7, 9000.0, 2.0, 1.0, 0.4, True)], EVENT_DTYPE)
    result = en50160.assess(tables, nominal_voltage=UN, events=events, start="2026-03-02T00:00:00")
    htmlreport.write(str(path), result, tables, events, title="Synthetic week")
    return result, path.read_text(encoding="utf-8")


OUTSIDE = ("<script", "<link", " src=", "@import", "url(http", "<iframe", "<img")  # what would fetch or run


def check_report(text):
    """What every report holds, in its order: the header (site, period, method) and the verdict table before the
    cumulative distributions and the plots, the limits as tables at the end; nothing fetched."""
    order = ['<table id="identity">', '<p id="method">', 'id="overall"', '<table id="verdict">',
             '<figure class="cdf" id="cdf-voltage">', '<figure class="plot"', '<table id="limits">']
    assert [text.index(part) for part in order] == sorted(text.index(part) for part in order)
    for key in htmlreport.PLOTS:
        figure(text, key)
    for key in (c[0] for c in htmlreport.CDFS):
        assert re.search(rf'<figure class="cdf" id="cdf-{key}">', text), key
    # The markup (tags and the style sheet), not the text: a name may say "<img src=" as long as it stays text.
    markup = "".join(re.findall(r"<[^>]*>", text)) + "".join(re.findall(r"<style>(.*?)</style>", text, re.S))
    assert [outside for outside in OUTSIDE if outside in markup] == []
    assert all(f'id="{table}"' in text for table in ("dips", "swells", "events", "limits-harmonics"))
    assert "<pre" not in text and "<th></th>" not in text  # no raw dump, no empty column


def test_report_of_a_week_holds_every_part_and_fetches_nothing(tmp_path):
    result, text = synthetic_report(tmp_path / "week.html")
    check_report(text)
    assert text.count("<svg") == len(htmlreport.PLOTS) + len(htmlreport.CDFS)
    verdict = re.search(r'<table id="verdict">(.*?)</table>', text, re.S).group(1)
    assert verdict.count('class="fail"') == 1 and "over the limit: h5" in verdict
    # Each row per phase: the harmonics' row names each phase's worst order, B's (h5) deciding.
    harmonics = re.search(r'<tbody class="fail">(.*?)</tbody>', verdict, re.S).group(1)
    assert re.findall(r'<td class="phase">(.*?)</td>', harmonics)[1] == "B (h5)"
    assert '<tr class="worst"><td class="phase">B (h5)</td><td class="num">92.06 %</td>' in harmonics
    assert "95 % ≤ 6.4 % (limit 6 %)" in harmonics
    voltage = re.search(r'<tbody class="pass">(<tr[^>]*><td rowspan="3">Supply voltage variations</td>.*?)</tbody>',
                        verdict, re.S).group(1)
    assert re.findall(r'<td class="phase">(.*?)</td>', voltage) == ["A", "B", "C"]
    assert [f"95 % within ±{p['deviation']:.2f} %" for p in result["rows"][2]["phases"]] == \
        re.findall(r"<td>(95 % within ±[0-9.]+ %)</td>", voltage)
    assert "2026-03-02T01:00:00.000" in text and result["dips"]["counts"][4][3] == 1  # events at their clock time
    events = re.search(r'<table id="events">(.*?)</table>', text, re.S).group(1)
    phases = [re.findall(r"<td>([A-C,-]+)</td>", row) for row in events.split("<tr>")[2:]]
    assert phases == [["A"], ["B,C"], ["A,B,C"], ["A,B,C"]]
    assert json.loads(htmlreport.to_json(result))["verdict"] == "fail"


@pytest.mark.parametrize("start, columns, expected", [
    # The middle of each interval, on the recorder's clock across midnight, or in hours from the first sample.
    ("2026-03-01T23:55:00", {"startTime": [0.0, 300.0], "endTime": [300.0, 900.0]},
     ["2026-03-01T23:57:30", "2026-03-02T00:05:00"]),
    (None, {"startTime": [0.0, 300.0], "endTime": [300.0, 900.0]}, [150 / 3600, 600 / 3600]),
    # Rows without times: 10 minutes each from the start.
    ("2026-03-02T06:00:00", {"A.rmsVoltage": [230.0, 231.0]}, ["2026-03-02T06:05:00", "2026-03-02T06:15:00"]),
])
def test_time_axis_is_the_recorders_clock_when_the_recording_has_a_start(start, columns, expected):
    x = htmlreport._times({k: np.array(v) for k, v in columns.items()},
                          datetime.datetime.fromisoformat(start) if start else None)
    assert (list(x.astype("datetime64[s]").astype(str)) if start else pytest.approx(list(x), rel=1e-12)) == expected


def figure(text, key):
    return re.search(rf'<figure class="plot" id="plot-{key}">(.*?)</figure>', text, re.S).group(1)


@pytest.mark.parametrize("start, says, label, ticks", [
    ("2026-03-02T00:00:00", "clock time of the recorder (the recording starts 2026-03-02 00:00:00)",
     "clock time of the recorder", ["23:55", "00:05", "00:15"]),
    (None, "hours from the start of the recording (the file gives no start time)",
     "time from the start of the recording / h", ["0.00", "0.20"]),
])
def test_report_says_what_its_time_axes_show_and_plots_one_value_on_a_short_axis(start, says, label, ticks):
    tables = week()
    text = htmlreport.render(en50160.assess(tables, nominal_voltage=UN, start=start), tables)
    assert f'<p id="time-axis" class="note">Time axes: {says}.</p>' in text
    assert f"<!-- {label} -->" in figure(text, "voltage")  # glyphs are paths; each text a comment beside them
    # One 10-minute row and Pst/Plt columns with nothing measured (a fault record of a few seconds).
    tables = {name: {k: np.full(1, np.nan) if k.endswith(("pst", "plt")) else v[:1] for k, v in t.items()}
              for name, t in tables.items() if name != "10s"}
    text = htmlreport.render(en50160.assess(tables, nominal_voltage=UN, start=start), tables)
    labels = re.findall(r"<!-- (.*?) -->", figure(text, "voltage"))
    assert all(t in labels for t in ticks), labels  # minutes around the value, not years of empty axis
    assert "not measured (no Pst or Plt values)" in figure(text, "flicker") and "<svg" not in figure(text, "flicker")


def recorded(start="02/03/2026,00:00:00.000000", zone="+01:00", station="North", device="PQ-7",
             source="/data/feeder 4.cfg"):
    from powerquality.recording import Recording

    return Recording([], 1000.0, start=start, source=source, station=station, device=device, time_zone=zone)


def cell(text, key):
    return html.unescape(re.search(rf'<td id="identity-{key}">(.*?)</td>', text, re.S).group(1))


# (what the file says, --site, --operator; the header's cells: site, operator, recorder, period, time zone)
@pytest.mark.parametrize("recording, site, operator, expected", [
    (recorded(), None, "City Grid",
     ("North", "City Grid", "PQ-7", "2026-03-02T00:00:00+01:00 to 2026-03-09T00:00:00+01:00 (7 days 0 h 0 min)",
      "UTC+01:00: times are the recorder's clock, +01:00 from UTC")),
    # --site names the site; the station the file names stays beside it.
    (recorded(zone="-05:30"), "Feeder 4", None,
     ("Feeder 4 (station in the file: North)", "not given (--operator)", "PQ-7",
      "2026-03-02T00:00:00-05:30 to 2026-03-09T00:00:00-05:30 (7 days 0 h 0 min)", "UTC-05:30: times are the "
      "recorder's clock, -05:30 from UTC")),
    # A start without a time zone: said so.
    (recorded(zone=None, station=None, device=None), None, None,
     ("not given (--site)", "not given (--operator)", "not given in the file",
      "2026-03-02T00:00:00 to 2026-03-09T00:00:00 (7 days 0 h 0 min)",
      "not known: the file does not say; times are the recorder's clock as the file gives them")),
    # No start at all (a CSV file without times).
    (recorded(start=None, zone=None, station=None, device=None), "Site 9", None,
     ("Site 9", "not given (--operator)", "not given in the file",
      "7 days 0 h 0 min recorded; the file gives no start time", "not known: the file does not say; times are "
      "the recorder's clock as the file gives them")),
])
def test_header_names_site_recorder_period_and_time_zone(recording, site, operator, expected):
    tables = week()
    result = en50160.assess(tables, nominal_voltage=UN, start="2026-03-02T00:00:00" if recording.start else None)
    result["recording"] = en50160.describe(recording, 7 * 86400.0, site=site, operator=operator, lamp=230.0)
    events = np.array([(1, 1, 3600.0, 0.12, 150.0, 65.0, True)], EVENT_DTYPE)
    text = htmlreport.render(result, tables, events)
    assert tuple(cell(text, key) for key in ("site", "operator", "recorder", "measurement", "time")) == expected
    assert cell(text, "recording") == "feeder 4.cfg"
    json.loads(htmlreport.to_json(result))  # the facts are plain data in the assessment too
    # Events at the recorder's clock, with its offset from UTC when known; in seconds without a start.
    first = re.search(r'<table id="events"><tr><th>(.*?)</th>.*?<tr><td>(.*?)</td>', text, re.S).groups()
    zone = recording.time_zone or ""
    assert first == (("Start (clock time of the recorder)", f"2026-03-02T01:00:00.000{zone}") if recording.start
                     else ("Start (s from the first sample)", "3600.000 s"))
    method = re.search(r'<p id="method">(.*?)</p>', text).group(1)
    assert "Class A" in method and "230 V lamp" in method and "Un = 230 V, 50 Hz: given to the assessment." in method


# A COMTRADE 2013 time code as the report's time zone: (code, offset; None: not known, with a note when the code
# is neither an offset nor 'x').
@pytest.mark.parametrize("code, zone, noted", [
    ("+1", "+01:00", False), ("-5h30", "-05:30", False), ("+0h00", "+00:00", False), ("-0", "+00:00", False),
    ("Z", "+00:00", False), ("14", "+14:00", False), ("-12", "-12:00", False), ("x", None, False),
    ("+15", None, True), ("-12h30", None, True), ("+5h60", None, True), ("CET", None, True),
])
def test_a_comtrade_2013_time_code_gives_the_time_zone_and_the_first_line_the_station_and_device(
        tmp_path, code, zone, noted):
    from powerquality import comtrade

    path = comtrade.write(str(tmp_path / "r"), {"VA": np.sin(np.arange(100.0))}, 1000.0, revision="2013",
                          station="Feeder <4>", device="PQ-7", time_code=code)
    r = comtrade.open_blocks(path)
    assert (r.station, r.device, r.time_zone, r.source) == ("Feeder <4>", "PQ-7", zone, path)
    assert [n for n in r.notes if "time code" in n] == ([f"{path}:11: time code {code!r} is not an offset from UTC "
                                                          "such as +1, -5h30 or 0: the time zone is not known "
                                                          "(give --timezone to set it)"] if noted else [])
    if code == "+1":  # the 1999 layout has no time code: the zone is not known
        older = comtrade.read(comtrade.write(str(tmp_path / "o"), {"VA": np.sin(np.arange(100.0))}, 1000.0))
        assert (older.station, older.device, older.time_zone) == ("test station", "recorder", None)


HOSTILE = '<img src=x onerror="alert(1)"> & </td><script>'


def hostile_report(path, weeks=None):
    """A week whose file, station, device, site and channel names are all markup (with weeks, when given)."""
    tables = week()
    result = en50160.assess(tables, nominal_voltage=UN, start="2026-03-02T00:00:00")
    if weeks:
        result["weeks"] = weeks
    result["recording"] = en50160.describe(recorded(station=HOSTILE, device=HOSTILE, source=f"/x/{HOSTILE}.cfg"),
                                           site=HOSTILE + "!?", operator=HOSTILE)
    result["settings"]["inference"] = {
        "udin": 230.0, "udin_channels": f"of {HOSTILE}", "un_text": "230/400 V", "udin_source": "nominal",
        "udin_reason": HOSTILE, "channels": [{"name": HOSTILE, "use": "voltage A", "reason": HOSTILE}]}
    htmlreport.write(str(path), result, tables, None, title=f"EN 50160 report: {HOSTILE}")
    return path.read_text(encoding="utf-8")


def test_names_from_files_and_options_stay_text(tmp_path):
    text = hostile_report(tmp_path / "hostile.html")
    check_report(text)
    assert HOSTILE not in text and "</td><script>" not in text
    assert cell(text, "site") == f"{HOSTILE}!? (station in the file: {HOSTILE})" and cell(text, "recorder") == HOSTILE
    assert html.escape(HOSTILE, quote=True) in re.search(r'<p id="roles" class="note">(.*?)</p>', text).group(1)


def curve_values(svg, label):
    """The (value, share) points of a cumulative distribution's curve, read back through its axis ticks."""
    ticks = [(float(x), float(v)) for x, v in re.findall(r'<text x="([0-9.]+)" y="[0-9.]+" text-anchor="middle">'
                                                         r"(-?[0-9.]+)</text>", svg)]
    (x0, v0), (x1, v1) = ticks[0], ticks[-1]
    ys = {int(share): float(y) for y, share in re.findall(r'<text x="[0-9.]+" y="([0-9.]+)" text-anchor="end">'
                                                          r"(\d+)</text>", svg)}
    colour = htmlreport._PHASE_COLOURS.get(label, "#1f77b4")
    points = re.search(rf'<polyline class="curve" points="([^"]*)" fill="none" stroke="{colour}"', svg).group(1)
    xy = np.array([p.split(",") for p in points.split()], np.float64)
    y0, y100 = ys[0] - 3, ys[100] - 3  # the labels sit 3 px below their lines
    return v0 + (xy[:, 0] - x0) * (v1 - v0) / (x1 - x0), 100 * (xy[:, 1] - y0) / (y100 - y0)


def test_cumulative_distributions_rise_through_the_rows_value_and_leave_out_what_the_rows_leave_out():
    tables = week()
    ten = tables["10min"]
    ten["flagged"][:8] = True
    ten["A.thdVoltage.thd"][:8] = 30.0  # flagged: not drawn, and the axis does not stretch to it
    ten["B.thdVoltage.thd"][:] = np.linspace(2.0, 9.0, WEEK)
    result = en50160.assess(tables, nominal_voltage=UN)
    text = htmlreport.render(result, tables)
    svg = re.search(r'<figure class="cdf" id="cdf-thd">(.*?)</figure>', text, re.S).group(1)
    assert "share of the 3000 values used" in svg  # 3 phases of 1000 used intervals
    thd = next(r for r in result["rows"] if r["key"] == "thd")
    for phase in thd["phases"]:
        values, shares = curve_values(svg, phase["phase"])
        scale = values.max() - values.min()
        assert values.min() >= 0.99 and values.max() <= 9.0 + 0.01 * scale  # A's flagged 30 % left out
        # Where the curve reaches 95 % lies the row's 95 % value (to a pixel of the drawing).
        crossing = values[np.argmax(shares >= 95.0 - 1e-6)]
        assert crossing == pytest.approx(phase["percentile"], abs=0.02 * scale), phase["phase"]
    limit = float(re.search(r'<line class="limit" x1="([0-9.]+)"', svg).group(1))
    share = float(re.search(r'<line class="share" x1="[0-9.]+" y1="([0-9.]+)"', svg).group(1))
    assert limit > 0 and share > 0 and ">8</text>" in svg  # the 8 % limit marked and labelled
    # The voltage's limits: each band edge once (+10 % is the edge of both bands).
    voltage = re.search(r'<figure class="cdf" id="cdf-voltage">(.*?)</figure>', text, re.S).group(1)
    assert re.findall(r'fill="#d62728">(.*?)</text>', voltage) == ["-15 %", "-10 %", "+10 %"]
    # A parameter without values says so, without a drawing.
    del tables["10min"]["u2"]
    unbalance = re.search(r'<figure class="cdf" id="cdf-unbalance">(.*?)</figure>',
                          htmlreport.render(en50160.assess(tables, nominal_voltage=UN), tables), re.S).group(1)
    assert "not measured" in unbalance and "<svg" not in unbalance


def two_weeks():
    """An assessment with weeks, as the assessment gives them: the first failing its voltage row, the second
    partial (3.5 days) and clean."""
    tables = week()
    bad = week()
    bad["10min"]["B.rmsVoltage"][:81] = 0.88 * UN
    weeks = []
    for n, t in enumerate((bad, tables)):
        r = en50160.assess(t, nominal_voltage=UN)
        begin, end = 7 * 86400.0 * n, 7 * 86400.0 * n + (7 - 3.5 * n) * 86400.0
        failing = [f"{row['parameter']} {row['condition'].split(':')[0]}" for row in r["rows"]
                   if row["verdict"] == "fail"]
        weeks.append({"number": n + 1, "start": begin, "end": end, "label": ["week 1", "partial: 3.5 days"][n],
                      "start_time": f"from {begin:g} s", "end_time": f"to {end:g} s", "verdict": r["verdict"],
                      "failing": failing, "not_judged": [], "rows": r["rows"]})
    result = en50160.assess(tables, nominal_voltage=UN, start="2026-03-02T00:00:00")
    result["weeks"] = weeks
    return result, tables


def test_weeks_get_a_table_only_when_the_assessment_judged_weeks():
    result, tables = two_weeks()
    text = htmlreport.render(result, tables)
    rows = re.search(r'<table id="weeks">(.*?)</table>', text, re.S).group(1).split("</tr>")[1:3]
    cells = [re.findall(r'<td class="([a-z-]+) verdict">', row) for row in rows]
    assert cells == [["pass", "fail", "pass", "pass", "pass", "pass", "fail"], ["pass"] * 7]
    # On the recorder's clock, from each week's seconds.
    assert "<td>week 1</td><td>2026-03-02T00:00:00</td><td>2026-03-09T00:00:00</td>" in rows[0]
    assert "<td>partial: 3.5 days</td><td>2026-03-09T00:00:00</td><td>2026-03-12T12:00:00</td>" in rows[1]
    assert "over the limit: Supply voltage variations ±10 % of Un" in rows[0]
    assert text.index('id="verdict"') < text.index('id="weeks"') < text.index('id="cdf-voltage"')
    # Without a start time: the times the assessment wrote.
    result["settings"]["start"] = None
    assert "<td>week 1</td><td>from 0 s</td><td>to 604800 s</td>" in htmlreport.render(result, tables)
    del result["weeks"]
    text = htmlreport.render(result, tables)
    assert 'id="weeks"' not in text and "Week by week" not in text


def test_a_report_without_un_says_so_and_draws_no_voltage_limits():
    tables = week()
    result = en50160.assess(tables, nominal_voltage=UN)
    result["settings"].update(un=None, nominal_voltage=None, un_source="no reference voltage",
                              level_source="given")
    text = htmlreport.render(result, tables)
    assert "Un = unknown, 50 Hz: no reference voltage." in re.search(r'<p id="method">(.*?)</p>', text).group(1)
    assert cell(text, "network") == "LV network (given), synchronous system"
    assert "<td>±10 % of Un</td>" in re.search(r'<table id="limits">(.*?)</table>', text, re.S).group(1)
    voltage = re.search(r'<figure class="cdf" id="cdf-voltage">(.*?)</figure>', text, re.S).group(1)
    assert '<line class="limit"' not in voltage and '<polyline class="curve"' in voltage


def test_limits_used_are_tables_of_what_was_applied(tmp_path):
    limits = en50160.limits_for("LV", {"harmonics": {"orders": {"3": 4.0}}, "thd": [
        {"low": None, "high": 6.5, "share": 99.0, "period": "week"}]})
    result = en50160.assess(week(), nominal_voltage=UN, limits=limits)
    text = htmlreport.render(result, week())
    table = re.search(r'<table id="limits">(.*?)</table>', text, re.S).group(1)
    assert "<td>Supply voltage (10-minute RMS)</td><td>±10 % of Un = 230 V (207 … 253 V)</td>" \
           "<td>95 % of the values</td><td>week</td>" in table
    assert "<td>THD, orders 2 to 40 (10 minutes)</td><td>≤ 6.5 %</td><td>99 % of the values</td>" in table
    assert "<td>±1 % of 50 Hz (49.5 … 50.5 Hz)</td><td>99.5 % of the values</td><td>year</td>" in table
    orders = re.search(r'<table id="limits-harmonics">(.*?)</table>', text, re.S).group(1)
    assert re.findall(r"<th>h(\d+)</th>", orders)[:3] == ["2", "3", "4"]
    assert re.findall(r'<td class="num">([0-9.]+)</td>', orders)[:3] == ["2", "4", "1"]


@pytest.mark.parametrize("ended, column", [((True, True), None), ((True, False), "still running at the end")])
def test_events_have_an_ended_column_only_when_an_event_did_not_end(ended, column):
    events = np.array([(1, 1, 60.0, 0.1, 150.0, 65.0, ended[0]), (2, 2, 120.0, 0.1, 270.0, 117.0, ended[1])],
                      EVENT_DTYPE)
    table = re.search(r'<table id="events">(.*?)</table>',
                      htmlreport.render(en50160.assess(week(), nominal_voltage=UN), week(), events), re.S).group(1)
    assert ("<th>Ended</th>" in table) == (column is not None) and "<th></th>" not in table
    rows = table.split("</tr>")[1:3]
    assert [row.count("<td") for row in rows] == [6 if column else 5] * 2
    if column:
        assert rows[1].endswith(f"<td>{column}</td>") and rows[0].endswith("<td></td>")


def test_print_styles_fill_a4_without_dark_backgrounds():
    style = re.search(r"<style>(.*?)</style>", htmlreport.render(en50160.assess(week(), nominal_voltage=UN)),
                      re.S).group(1)
    assert "@page { size: A4;" in style and "section + section { break-before: page;" in style
    for colour in re.findall(r"background: #([0-9a-f]{3,6})", style):
        rgb = [int(colour[k:k + 2], 16) for k in (0, 2, 4)] if len(colour) == 6 else \
            [int(c * 2, 16) for c in colour]
        assert 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2] > 200, colour  # light enough to print


def in_browser(page, folder, height=3000):
    """Headless Chromium's DOM, share of drawn pixels, red and green pixels of the page; skips without Chromium."""
    folder.mkdir(exist_ok=True)
    base = [browser(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
            f"--user-data-dir={folder / 'profile'}", "--disable-extensions"]
    png, url = folder / "page.png", "file://" + os.path.abspath(page)
    dom = subprocess.run(base + ["--dump-dom", url], capture_output=True, text=True, timeout=120)
    shot = subprocess.run(base + [f"--screenshot={png}", f"--window-size=1200,{height}", url], capture_output=True,
                          text=True, timeout=120)
    assert dom.returncode == 0 and png.exists(), dom.stderr[-2000:] + shot.stderr[-2000:]
    import matplotlib.image

    r, g, b = np.moveaxis(matplotlib.image.imread(str(png))[..., :3], -1, 0)
    return dom.stdout, np.mean((r < 0.9) | (g < 0.9) | (b < 0.9)), np.sum((r > g + 0.05) & (r > b + 0.05)), \
        np.sum((g > r + 0.05) & (g > b + 0.05))


def browser():
    found = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
    if found is None:
        pytest.skip("no Chromium here (Debian: apt-get install chromium, or scripts/setup.sh browser)")
    return found


@pytest.mark.slow
def test_browser_renders_every_part_keeps_names_as_text_and_prints_on_a4(tmp_path):
    page = tmp_path / "weeks.html"
    hostile_report(page, weeks=two_weeks()[0]["weeks"])
    dom, drawn, red, green = in_browser(page, tmp_path / "browser")
    check_report(dom)
    assert dom.count("<svg") == len(htmlreport.PLOTS) + len(htmlreport.CDFS) and green > 1000 and red > 100
    # Each phase of each curve drawn: voltage, THD (three phases each), u2, Plt (A and B).
    assert dom.count('<polyline class="curve"') == 3 + 3 + 1 + 2
    assert HOSTILE not in dom and cell(dom, "site") == f"{HOSTILE}!? (station in the file: {HOSTILE})"
    assert cell(dom, "operator") == cell(dom, "recorder") == HOSTILE
    assert 'id="weeks"' in dom and dom.count('<td class="fail verdict">') == 2  # week 1's voltage and verdict
    assert "UTC+01:00" in cell(dom, "time") and '<table id="limits">' in dom and drawn > 0.02
    # Printed: A4 pages (595 × 842 points), the parts on pages of their own.
    pdf = tmp_path / "weeks.pdf"
    run = subprocess.run([browser(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                          f"--user-data-dir={tmp_path / 'profile'}", "--no-pdf-header-footer",
                          f"--print-to-pdf={pdf}", "file://" + os.path.abspath(page)],
                         capture_output=True, text=True, timeout=120)
    assert pdf.exists(), run.stderr[-2000:]
    boxes = re.findall(rb"/MediaBox\s*\[\s*0 0 ([0-9.]+) ([0-9.]+)\s*\]", pdf.read_bytes())
    assert len(boxes) >= 7 and {(round(float(w)), round(float(h))) for w, h in boxes} == {(595, 842)}, boxes


@pytest.mark.slow
def test_cli_reports_on_an_hour_long_recording(tmp_path):
    out = tmp_path / "hour"
    recording = hour_recording(out, revision="2013", station="Substation <North>", device="PQ & Co 7", time_code="+1")
    run = cli("analyze", recording, "--report", f"{out}.html", "--assessment", f"{out}.json",
              "--site", HOSTILE, "--operator", "City Grid", timeout=600)
    assert run.returncode == 0 and f"wrote {out}.html" in run.stdout, run.stderr
    text = open(f"{out}.html", encoding="utf-8").read()
    check_report(text)
    # The header from the file's first line and time code, and the options.
    assert cell(text, "site") == f"{HOSTILE} (station in the file: Substation <North>)" and \
        cell(text, "recorder") == "PQ & Co 7" and cell(text, "operator") == "City Grid"
    assert cell(text, "measurement") == "2020-01-01T00:00:00+01:00 to 2020-01-01T01:00:00+01:00 (1 h 0 min)"
    assert cell(text, "recording") == "hour.cfg" and "<title>EN 50160 report: hour.cfg</title>" in text
    assert "with the 230 V lamp. Un = 230 V of 230/400 V, 50 Hz: no rating; the nominal voltage nearest the " \
        "measured level" in re.search(r'<p id="method">(.*?)</p>', text).group(1)
    assert "<td>2020-01-01T00:24:59.990+01:00</td><td>dip</td>" in text  # the event at the recorder's clock time
    result = json.loads(open(f"{out}.json").read())
    assert (result["recording"]["device"], result["recording"]["time_zone"], result["recording"]["lamp"]) == \
        ("PQ & Co 7", "+01:00", 230.0)
    rows = {(r["key"], r["condition"].split(":")[0]): r for r in result["rows"]}
    voltage = rows[("voltage", "±10 % of Un")]
    # Six 10-minute intervals, all whole (the recording starts and ends on ticks), the third (dip) and fifth
    # (swell) flagged.
    assert (voltage["verdict"], voltage["intervals"], voltage["flagged"], voltage["partial"]) == ("pass", 4, 2, 0)
    # The highest: phase C (+0.5 %) in the second interval, where the drift averages 3 · 3/π %, with harmonics.
    assert voltage["max"] == pytest.approx(UN * 1.005 * (1 + 0.03 * 3 / np.pi) * np.hypot(1, np.hypot(0.015, 0.04)),
                                           rel=1e-3)
    # At 1600 Hz the windows reach order 16 (and 17, empty): the higher orders are not measured.
    # Rows not judged: the verdict is incomplete, not a pass.
    assert rows[("harmonics", "h19 ≤ 1.5 % of U1")]["verdict"] == "not measured" and result["verdict"] == "incomplete"
    # The dip to 60 % and the swell to 120 % x 0.97 (the drift's low) against 230 V, the nominal voltage nearest.
    assert result["dips"]["counts"][2][0] == 1 and result["swells"]["counts"][1][0] == 1


def test_many_recordings_reports_name_the_site_and_operator_given(tmp_path):
    from powerquality import fleet

    folder = tmp_path / "recordings"
    folder.mkdir()
    hour_recording(folder / "a", seconds=60.0)
    hour_recording(folder / "b", seconds=60.0, revision="2013", time_code="-5h30")
    fleet.analyze_many([str(folder)], out=str(tmp_path / "out"),
                       en50160={"report": "report.html", "site": "Site <A>", "operator": "City Grid"})
    for name, zone in (("a", "not known"), ("b", "UTC-05:30")):
        text = (tmp_path / "out" / name / "report.html").read_text(encoding="utf-8")
        assert (cell(text, "site"), cell(text, "operator"), cell(text, "recording")) == \
            ("Site <A> (station in the file: test station)", "City Grid", f"{name}.cfg")
        assert cell(text, "time").startswith(zone)

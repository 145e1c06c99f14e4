# The EN 50160 report: one self-contained HTML file, as text, in headless Chromium and from an hour-long recording.
import datetime
import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from powerquality import en50160, htmlreport
from conftest import cli, hour_recording
from test_en50160 import EVENT_DTYPE, UN, week


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
    """What every report holds: the verdict table before the plots, every plot, nothing fetched."""
    assert text.index('<table id="verdict">') < text.index("<figure")
    for key in htmlreport.PLOTS:
        figure(text, key)
    assert [outside for outside in OUTSIDE if outside in text] == []
    assert all(f'id="{table}"' in text for table in ("dips", "swells", "events"))


def test_report_of_a_week_holds_every_part_and_fetches_nothing(tmp_path):
    result, text = synthetic_report(tmp_path / "week.html")
    check_report(text)
    assert text.count("<svg") == len(htmlreport.PLOTS)
    verdict = re.search(r'<table id="verdict">(.*?)</table>', text, re.S).group(1)
    assert verdict.count('class="fail"') == 1 and "over the limit: h5" in verdict
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


def in_browser(page, folder, height=3000):
    """Headless Chromium's DOM, share of drawn pixels, red and green pixels of the page; skips without Chromium."""
    browser = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
    if browser is None:
        pytest.skip("no Chromium here (Debian: apt-get install chromium, or scripts/setup.sh browser)")
    folder.mkdir(exist_ok=True)
    base = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
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


@pytest.mark.slow
def test_browser_renders_the_verdict_table_and_every_plot(tmp_path):
    synthetic_report(tmp_path / "week.html")
    dom, drawn, red, green = in_browser(tmp_path / "week.html", tmp_path / "browser")
    check_report(dom)
    assert dom.count("<svg") == len(htmlreport.PLOTS) and drawn > 0.02 and green > 1000 and red > 100


@pytest.mark.slow
def test_cli_reports_on_an_hour_long_recording(tmp_path):
    out = tmp_path / "hour"
    run = cli("analyze", hour_recording(out), "--report", f"{out}.html", "--assessment", f"{out}.json", timeout=600)
    assert run.returncode == 0 and f"wrote {out}.html" in run.stdout, run.stderr
    check_report(open(f"{out}.html", encoding="utf-8").read())
    result = json.loads(open(f"{out}.json").read())
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

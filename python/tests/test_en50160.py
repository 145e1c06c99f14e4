# The EN 50160 assessment on a synthetic week of 10-minute, 10-s and 2-hour rows, each case moving one parameter.
import json
import re

import numpy as np
import pytest

from powerquality import analysis, en50160
from conftest import cli, three_phase, write_three

UN = 230.0
WEEK = 1008


def week(phases="ABC"):
    """Tables of a supply inside every limit."""
    rng, steps = np.random.default_rng(7), np.arange(WEEK + 1) * 600.0
    ten = {"startTime": steps[:-1], "endTime": steps[1:], "flagged": np.zeros(WEEK, bool),
           "complete": np.ones(WEEK, bool)}
    table = en50160.LIMITS["LV"]["harmonics"]["orders"]
    for p in phases:
        label = p + "." if len(phases) > 1 else ""
        ten[label + "rmsVoltage"] = UN * (1 + rng.uniform(-0.04, 0.04, WEEK))
        ten[label + "thdVoltage.thd"] = rng.uniform(1, 4, WEEK)
        ten[label + "pst"] = rng.uniform(0.2, 0.6, WEEK)
        for h in range(2, 41):
            ten[f"{label}harmonicsVoltage.{h}"] = rng.uniform(0, 0.5, WEEK) * table.get(str(h), 0.2)
    if len(phases) == 3:
        ten["u2"] = rng.uniform(0.1, 1.0, WEEK)
    tens, hours = np.arange(WEEK * 60 + 1) * 10.0, np.arange(85) * 7200.0
    ten_s = {"frequency": 50.0 + rng.uniform(-0.2, 0.2, WEEK * 60), "flagged": np.zeros(WEEK * 60, bool),
             "startTime": tens[:-1], "endTime": tens[1:]}
    two_h = {"A.plt": rng.uniform(0.3, 0.7, 84), "B.plt": rng.uniform(0.3, 0.7, 84),
             "startTime": hours[:-1], "endTime": hours[1:]}
    return {"10min": ten, "10s": ten_s, "2h": two_h}


def failing(result):
    return {(r["key"], r["condition"].split(":")[0]) for r in result["rows"] if r["verdict"] == "fail"}


# (table, column, rows, value set there; the rows that fail: everything else still passes)
@pytest.mark.parametrize("table, column, rows, value, expected", [
    ("10min", "u2", slice(0, 0), 0.0, set()),  # a supply inside every limit passes every row
    ("10min", "B.rmsVoltage", slice(0, 51), 0.89 * UN, {("voltage", "±10 % of Un")}),  # 51 of 1008 below -10 %
    ("10min", "B.rmsVoltage", slice(0, 50), 0.89 * UN, set()),
    ("10min", "A.rmsVoltage", slice(0, 100), 1.1 * UN, set()),  # on +10 % exactly
    ("10min", "C.rmsVoltage", 5, 0.84 * UN, {("voltage", "+10/-15 % of Un")}),  # one below -15 %
    ("10min", "C.harmonicsVoltage.5", slice(0, 60), 6.1, {("harmonics", "h5 ≤ 6 % of U1")}),
    ("10min", "C.harmonicsVoltage.5", slice(0, 600), 6.0, set()),  # on 6 % exactly
    ("10min", "A.harmonicsVoltage.30", slice(None), 5.0, set()),  # no limit
    ("10min", "A.thdVoltage.thd", slice(0, 100), 8.5, {("thd", "≤ 8 %")}),
    ("10min", "u2", slice(0, 60), 2.5, {("unbalance", "≤ 2 %")}),
    ("2h", "B.plt", slice(0, 5), 1.2, {("flicker", "≤ 1")}),  # 5 of 84
    ("10s", "frequency", slice(0, 363), 50.6, {("frequency", "±1 %")}),  # 0.6 Hz high in 0.6 %
    ("10s", "frequency", 7, 47.0, set()),  # on -6 % once
    ("10s", "frequency", 7, 46.99, {("frequency", "+4/-6 %")}),
])
def test_one_parameter_over_its_limit_fails_that_row_only(table, column, rows, value, expected):
    tables = week()
    tables[table][column][rows] = value
    r = en50160.assess(tables, nominal_voltage=UN)
    assert failing(r) == expected and r["verdict"] == ("fail" if expected else "pass")
    assert {row["verdict"] for row in r["rows"]} <= {"pass", "fail"} and json.dumps(r)  # all measured, plain data
    assert len([row for row in r["rows"] if row["key"] == "harmonics"]) == 24  # orders 2 … 25
    assert r["coverage"]["whole_week"] and r["coverage"]["intervals"] == r["coverage"]["used"] == WEEK


def test_flagged_and_partial_intervals_are_left_out():
    ten = (tables := week())["10min"]
    ten["A.rmsVoltage"][100:300] = 0.8 * UN  # a long low spell, every value flagged
    ten["flagged"][100:300] = True
    ten["A.harmonicsVoltage.3"][:2] = 9.0  # the recording's partial ends
    ten["complete"][:2] = False
    r = en50160.assess(tables, nominal_voltage=UN)
    row = r["rows"][2]
    assert (r["verdict"], r["coverage"]["used"], row["key"], row["intervals"], row["flagged"], row["partial"]) == \
        ("pass", WEEK - 202, "voltage", WEEK - 202, 200, 2)
    ten["flagged"][:] = False
    assert failing(en50160.assess(tables, nominal_voltage=UN)) == {("voltage", "±10 % of Un"),
                                                                   ("voltage", "+10/-15 % of Un")}


def test_each_row_gives_each_phases_share_extremes_and_value_at_the_share_asked():
    ten = (tables := week())["10min"]
    ten["flagged"][:100] = True  # left out: nothing in them counts, however far off
    ten["A.rmsVoltage"][:] = np.r_[np.full(100, 0.5 * UN), np.full(WEEK - 100, 1.02 * UN)]
    ten["B.rmsVoltage"][:] = UN
    ten["B.rmsVoltage"][100:151] = 0.89 * UN  # 51 of the 908 used below -10 %: B fails
    ten["C.rmsVoltage"][:] = 0.97 * UN
    ten["A.thdVoltage.thd"][:100] = 50.0
    r = en50160.assess(tables, nominal_voltage=UN)
    ten_percent, always = [row for row in r["rows"] if row["key"] == "voltage"]
    figures = {p["phase"]: p for p in ten_percent["phases"]}
    assert [p["phase"] for p in ten_percent["phases"]] == ["A", "B", "C"] and ten_percent["phase"] == "B"
    assert {k: (p["intervals"], p["share"]) for k, p in figures.items()} == \
        {"A": (908, 100.0), "B": (908, pytest.approx(100 * 857 / 908)), "C": (908, 100.0)}
    # 95 % of A within ±2 % of Un, of B within ±11 % (its 95th percentile falls among the 51 low values).
    assert [figures[k]["deviation"] for k in "ABC"] == pytest.approx([2.0, 11.0, 3.0], rel=1e-9)
    assert ten_percent["deviation"] == pytest.approx(11.0) and ten_percent["verdict"] == "fail"
    assert (figures["A"]["min"], figures["B"]["min"], figures["C"]["max"]) == \
        pytest.approx((1.02 * UN, 0.89 * UN, 0.97 * UN))
    assert [p["percentile"] for p in always["phases"]] == pytest.approx([1.02 * UN, UN, 0.97 * UN])  # the highest
    thd = next(row for row in r["rows"] if row["key"] == "thd")
    for p in thd["phases"]:  # the 95th percentile of the used values only
        assert p["percentile"] == pytest.approx(np.percentile(ten[f"{p['phase']}.thdVoltage.thd"][100:], 95))
    h5 = next(row for row in r["rows"] if row.get("order") == 5)
    assert [p["phase"] for p in h5["phases"]] == ["A", "B", "C"] and h5["phases"][0]["deviation"] is None
    # A row with nothing to judge has no phases; one value for the supply (u2, f) has one.
    del ten["u2"]
    r = en50160.assess(tables, nominal_voltage=UN)
    assert next(row for row in r["rows"] if row["key"] == "unbalance")["phases"] == []
    assert [p["phase"] for p in r["rows"][0]["phases"]] == ["f"] and r["rows"][0]["deviation"] < 0.4


def test_missing_tables_are_not_measured_and_a_short_recording_says_so():
    tables = week(phases="A")
    tables["2h"] = None
    tables["10min"] = {k: v[:6] for k, v in tables["10min"].items() if "harmonicsVoltage" not in k}
    r = en50160.assess(tables, nominal_voltage=UN, duration=3600.0)
    assert {row["key"]: row["verdict"] for row in r["rows"]} == {
        "frequency": "pass", "voltage": "pass", "flicker": "not measured", "unbalance": "not measured", "thd": "pass",
        "harmonics": "not measured"}
    # Rows not judged make the verdict incomplete, naming them: never a pass.
    assert r["verdict"] == "incomplete" and r["not_judged"][:2] == ["Flicker severity Plt ≤ 1",
                                                                     "Supply voltage unbalance u2 ≤ 2 %"]
    assert r["verdict_text"].startswith("incomplete: not judged: Flicker severity Plt ≤ 1, ")
    assert not r["coverage"]["whole_week"] and \
        "0.595 % of a week" in r["coverage"]["text"] and "over what was recorded only" in r["coverage"]["text"]


@pytest.mark.parametrize("level, system, expected", [
    ("LV", "synchronous", {("voltage", "+10/-15 % of Un"), ("frequency", "±1 %")}),
    ("MV", "synchronous", {("frequency", "±1 %")}),
    ("LV", "island", {("voltage", "+10/-15 % of Un")}), ("MV", "island", {("voltage", "+10/-15 % of Un")})])
def test_level_and_system_choose_the_bands(level, system, expected):
    tables = week()
    tables["10min"]["A.rmsVoltage"][:5] = 1.12 * UN  # 0.5 % of the week at +12 %
    tables["10s"]["frequency"][:1800] = 50.75  # 3 % of the week at +1.5 %
    assert failing(en50160.assess(tables, nominal_voltage=UN, level=level, system=system)) == expected


def test_an_operators_limits_replace_those_they_name(tmp_path):
    tables = week()
    tables["10min"]["u2"][:100] = 2.5
    tables["10min"]["A.harmonicsVoltage.5"][:100] = 6.5
    path = tmp_path / "limits.json"
    path.write_text(json.dumps({"unbalance": [{"low": None, "high": 3.0, "share": 95, "period": "week"}],
                                "harmonics": {"orders": {"5": 7.0}}}))
    limits = en50160.limits_for("LV", str(path))
    assert limits["harmonics"]["orders"]["7"] == 5.0 and limits["voltage"] == en50160.LIMITS["LV"]["voltage"]
    assert failing(en50160.assess(tables, nominal_voltage=UN, limits=limits)) == set()
    (toml := tmp_path / "limits.toml").write_text('[harmonics.orders]\n"5" = 6.2\n')
    assert failing(en50160.assess(tables, nominal_voltage=UN, limits=en50160.limits_for("LV", str(toml)))) == \
        {("unbalance", "≤ 2 %"), ("harmonics", "h5 ≤ 6.2 % of U1")}
    path.write_text(json.dumps({"unbalanse": []}))
    with pytest.raises(ValueError, match="unbalanse"):
        en50160.limits_for("LV", str(path))



BAND = {"low": None, "high": 3.0, "share": 95, "period": "week"}


# (an operator's file, the refusal that names the key); each one laid over the LV limits.
@pytest.mark.parametrize("limits, message", [
    ("[1, 2]", "a list is not a table of frequency, voltage"),
    ('{"thd": [{"low": null, "high": "8", "share": 95, "period": "week"}]}', "thd[0].high: '8' is not a number"),
    ('{"thd": [{"low": null, "high": true, "share": 95, "period": "week"}]}', "thd[0].high: True is not a number"),
    ('{"thd": [{"low": null, "high": NaN, "share": 95, "period": "week"}]}', "thd[0].high: nan is not a finite"),
    ('{"thd": [{"low": null, "high": 1e400, "share": 95, "period": "week"}]}', "thd[0].high: inf is not a finite"),
    ('{"thd": [{"low": null, "high": 1' + "0" * 400 + ', "share": 95, "period": "week"}]}',
     "thd[0].high: a number of too many digits is not a finite number"),
    ('{"thd": [{"low": null, "high": 8, "share": 95}]}', "thd[0]: period is missing"),
    ('{"thd": [{"low": null, "high": 8, "share": 0, "period": "week"}]}', "thd[0].share: 0 is not within 0 … 100"),
    ('{"thd": [{"low": null, "high": 8, "share": 95, "period": "fortnight"}]}', "thd[0].period: 'fortnight' is not"),
    ('{"thd": {"high": 8}}', "thd: a table is not a list of at most 10 bands"),
    ('{"thd": [{"low": 9, "high": 8, "share": 95, "period": "week"}]}', "thd[0]: low 9 is above high 8"),
    ('{"voltage": {"synchronous": [{"low": null, "high": 10, "share": 95, "period": "week"}]}}',
     "voltage.synchronous[0].low: None is not a number"),
    ('{"frequency": {"island": [{"low": -150, "high": 2, "share": 95, "period": "week"}]}}',
     "frequency.island[0].low: -150 is not within -100"),
    ('{"voltage": {"delta": []}}', "voltage: unknown key(s) delta (known: synchronous, island)"),
    ('{"harmonics": {"orders": {"1": 2.0}}}', "harmonics.orders: '1' is not a harmonic order 2 … 50"),
    ('{"harmonics": {"orders": {"1000000000": 2.0}}}', "harmonics.orders: '1000000000' is not a harmonic order"),
    ('{"harmonics": {"orders": {"5": -1}}}', "harmonics.orders.5: -1 is not within 0"),
    ('{"dips": {"duration": [0.01, 0.5, 0.2]}}', "dips.duration: [0.01, 0.5, 0.2] do not increase"),
    ('{"dips": {"residual": [80, 90]}}', "dips.residual: [80.0, 90.0] do not decrease"),
    ('{"swells": {"duration": [0.01]}}', "swells.duration: a list is not a list of 2 to 20 numbers"),
    ('{"dips": ' + "[" * 100000 + "]" * 100000 + "}", "nested too deeply to be a limits file"),
    ('{"dips": ' + "[" * 500 + "]" * 500 + "}", "dips: a list is not a table of residual, duration"),
    ('{"thd": [', "not JSON: Expecting value"),
])
def test_an_operators_limits_are_checked_whole_and_refused_by_key(tmp_path, limits, message):
    path = tmp_path / "limits.json"
    path.write_text(limits)
    with pytest.raises(ValueError) as refused:
        en50160.limits_for("LV", str(path))
    assert str(refused.value).startswith(f"{path}: ") and message in str(refused.value), str(refused.value)
    assert "\n" not in str(refused.value)


def test_limits_in_toml_and_limits_given_as_data_are_checked_too(tmp_path):
    (toml := tmp_path / "limits.toml").write_text('[[thd]]\nlow = 1\nhigh = inf\nshare = 95\nperiod = "week"\n')
    with pytest.raises(ValueError, match=r"limits.toml: thd\[0\].high: inf is not a finite number"):
        en50160.limits_for("LV", str(toml))
    with pytest.raises(ValueError, match=r"^limits: unbalance\[0\].share: 101 is not within"):
        en50160.limits_for("LV", {"unbalance": [dict(BAND, share=101)]})
    broken = en50160.limits_for("MV")
    broken["flicker"][0]["high"] = float("nan")
    with pytest.raises(ValueError, match=r"^limits: flicker\[0\].high: nan is not a finite number"):
        en50160.assess(week(), nominal_voltage=UN, limits=broken)
    for level in ("LV", "MV"):  # the defaults are limits as the check sees them
        assert en50160.check_limits(en50160.LIMITS[level]) is en50160.LIMITS[level]


EVENT_DTYPE = np.dtype([("type", "i4"), ("phases", "u4"), ("startTime", "f8"), ("duration", "f8"),
                        ("extremeVoltage", "f8"), ("extremePercent", "f8"), ("ended", "?")])
# (type, residual or maximum %, duration s) -> (row, column)
CELLS = [
    (1, 80.0, 0.2, (0, 0)), (1, 89.99, 0.01, (0, 0)), (1, 79.999, 0.2000001, (1, 1)), (1, 70.0, 0.5, (1, 1)),
    (1, 69.9, 0.5000001, (2, 2)), (1, 40.0, 1.0, (2, 2)), (1, 5.0, 5.0, (3, 3)), (1, 4.99, 60.0, (4, 4)),
    (1, 0.0, 61.0, (4, 5)), (1, 50.0, 0.008, (2, 0)), (1, 90.5, 0.1, (0, 0)),
    (2, 120.0, 0.5, (0, 0)), (2, 119.99, 0.5000001, (1, 1)), (2, 115.0, 5.0, (1, 1)), (2, 130.0, 60.0, (0, 2)),
    (2, 125.0, 60.5, (0, 3)),
]


def test_dips_and_swells_count_in_their_cells_at_the_borders():
    for kind, u, t, (row, col) in CELLS:
        events = np.array([(kind, 1, 0.0, t, 0.0, u, True), (3, 7, 0.0, 1.0, 0.0, 0.0, True)], EVENT_DTYPE)
        dips, swells = en50160.classify_events(events)
        table = np.array((dips if kind == 1 else swells)["counts"])
        assert table[row, col] == table.sum() == 1, f"type {kind}, u {u} %, t {t} s"
    assert dips["rows"][0] == "90 > u ≥ 80" and dips["columns"][:2] == ["10 ms ≤ t ≤ 200 ms", "200 ms < t ≤ 500 ms"]
    assert swells["rows"] == ["u ≥ 120", "120 > u > 110"] and swells["columns"][-1] == "t > 60 s"


def test_ten_second_frequencies_from_cycles():
    f = np.full(1750, 50.0)
    f[800] = 49.0  # one cycle of 20.4 ms, ending 24.05 s on the clock
    table = np.zeros(len(f), [("time", "f8"), ("frequency", "f8"), ("valid", "?")])
    table["time"], table["frequency"] = 3.0 + np.cumsum(1 / f), f
    table["valid"] = np.arange(len(f)) != 1200  # the invalid cycle ends 32.05 s on the clock
    out = en50160.ten_second_frequencies(table, clock_offset=5.005)
    # On the clock the cycles end from 8.025 s to about 43 s: five intervals, the first and last partial.
    np.testing.assert_allclose(out["startTime"] + 5.005, [0.0, 10.0, 20.0, 30.0, 40.0])
    assert out["complete"].tolist() == [False, True, True, True, False] and out["cycles"][1:4].tolist() == [500] * 3
    assert out["flagged"].tolist() == [False, False, False, True, False]
    assert out["frequency"][1:3].tolist() == pytest.approx([50.0, 500 / (499 / 50 + 1 / 49)], rel=1e-12)


def test_the_pipelines_consumer_and_a_whole_analysis_give_the_same_tables():
    fs = 3200.0
    u = three_phase(fs, 25.0) + 0.03 * three_phase(fs, 25.0, f=250.0)  # 3 % fifth harmonic
    u[:, int(12 * fs):int(12.15 * fs)] *= 0.5
    a = analysis.analyze(voltages=u, sample_rate=fs, block_size=7000)
    gather, s = None, analysis.stream(voltages=u, sample_rate=fs, block_size=3000, arrays=("harmonicsVoltage",))
    for b in s:  # made at the first block, as the command line makes its consumers
        (gather := gather or en50160.Gather(s.ctx)).process(b)
    whole, streamed = en50160.from_analysis(a), gather.tables()
    assert len(whole["10s"]["frequency"]) == 2 and whole["10s"]["flagged"].tolist() == [True, True]
    for key in ("10s", "10min"):
        assert sorted(whole[key]) == sorted(streamed[key])
        for name in whole[key]:
            np.testing.assert_array_equal(whole[key][name], streamed[key][name], err_msg=f"{key} {name}")
    assert whole["10min"]["A.harmonicsVoltage.5"] == pytest.approx([3.0], rel=1e-3)
    r = gather.assess(level="LV")
    assert r["dips"]["counts"][2][0] == 1 and r["settings"]["nominal_voltage"] == pytest.approx(230.0, rel=1e-3)


@pytest.mark.parametrize("intervals, used, says", [
    (1, 1, "(1 interval):"), (1, 0, "(1 interval, left out as flagged or not whole):"),
    (3, 1, "(3 intervals, 2 of them left out as flagged or not whole):"), (3, 3, "(3 intervals):")])
def test_coverage_counts_its_intervals_in_words(intervals, used, says):
    assert says in en50160.coverage(600.0 * intervals, intervals, used)["text"]
    assert [en50160.coverage(s, 1, 1)["text"].split(" of 10")[0] for s in (59.4, 3000.0, 90061.0, 176461.0)] == \
        ["59 s", "0 h 50 min", "1 day 1 h 1 min", "2 days 1 h 1 min"]


def weeks(count):
    """`count` weeks of tables inside every limit, one after the other on the clock."""
    parts = [week() for _ in range(count)]
    out = {}
    for key in ("10min", "10s", "2h"):
        out[key] = {}
        for name in parts[0][key]:
            shifted = [p[key][name] + k * en50160.WEEK_SECONDS if name in ("startTime", "endTime") else p[key][name]
                       for k, p in enumerate(parts)]
            out[key][name] = np.concatenate(shifted)
    return out


def test_each_week_is_judged_alone_and_the_worst_week_decides():
    # 81 of the second week's 1008 voltages below -10 % (91.96 % within): that week fails, though the two
    # weeks pooled would pass (95.98 %).
    tables = weeks(2)
    tables["10min"]["B.rmsVoltage"][WEEK + 100:WEEK + 181] = 0.89 * UN
    r = en50160.assess(tables, nominal_voltage=UN, duration=2 * en50160.WEEK_SECONDS)
    assert [(w["label"], w["verdict"], w["intervals"]) for w in r["weeks"]] == [("week 1", "pass", WEEK),
                                                                             ("week 2", "fail", WEEK)]
    assert r["verdict"] == "fail" and r["verdict_text"] == "fail: week 2: Supply voltage variations ±10 % of Un"
    row = r["rows"][2]
    assert (row["week"], row["verdict"], row["intervals"]) == (2, "fail", WEEK) and \
        row["share"] == pytest.approx(100 * (WEEK - 81) / WEEK)
    assert r["weeks"][1]["start"] == en50160.WEEK_SECONDS and r["weeks"][1]["end"] == 2 * en50160.WEEK_SECONDS
    assert "2 whole weeks, each judged alone" in r["coverage"]["text"] and json.dumps(r)
    # The frequency's bands are a year's statistic: over all that was recorded, the same row in each week.
    tables["10s"]["frequency"][:400] = 50.6  # 0.66 % of week 1 (failing it alone), 0.33 % of the two weeks
    r = en50160.assess(tables, nominal_voltage=UN, duration=2 * en50160.WEEK_SECONDS)
    frequency = [w["rows"][0] for w in r["weeks"]]
    assert [f["verdict"] for f in frequency] == ["pass", "pass"] and frequency[0]["intervals"] == 2 * WEEK * 60
    assert "a year's statistic, taken over the recorded time (14 days)" in frequency[1]["note"]


def test_weeks_run_from_the_first_whole_interval_and_a_short_one_is_partial():
    # Ten days, the first 10 minutes partial (the recording began 5 minutes before a tick).
    tables = weeks(2)
    for key in ("10min", "10s", "2h"):
        keep = tables[key]["startTime"] < 10 * 86400.0
        tables[key] = {name: v[keep] for name, v in tables[key].items()}
        tables[key]["startTime"] = tables[key]["startTime"] - 300.0
        tables[key]["endTime"] = tables[key]["endTime"] - 300.0
    ten = tables["10min"]
    ten["startTime"][0], ten["complete"][0] = 0.0, False
    ten["A.rmsVoltage"][0] = 0.5 * UN  # not whole: left out, in week 1
    ten["A.rmsVoltage"][WEEK + 1] = 0.8 * UN  # the first value of week 2 (which starts at 300 s + 7 days)
    r = en50160.assess(tables, nominal_voltage=UN, duration=10 * 86400.0)
    first, second = r["weeks"]
    assert (first["start"], first["label"], first["whole"], first["verdict"]) == (300.0, "week 1", True, "pass")
    assert (second["label"], second["whole"], second["verdict"]) == ("partial: 3 days", False, "fail")
    assert second["days"] == pytest.approx(3 - 300 / 86400) and second["rows"][3]["verdict"] == "fail"
    assert first["rows"][2]["partial"] == 1 and first["intervals"] == WEEK + 1
    assert "a whole week and a partial one of 3 days" in r["coverage"]["text"]
    # Shorter than a week: partial, never a whole week (11 whole intervals from the first whole one).
    short = {"10min": {k: v[:12] for k, v in ten.items()}}
    assert en50160.assess(short, nominal_voltage=UN)["weeks"][0]["label"] == "partial: 0.0764 days"


# (tables kept, verdict, not judged)
@pytest.mark.parametrize("keep, verdict, not_judged", [
    (("10min", "10s", "2h"), "pass", 0),
    (("10s",), "incomplete", 2 + 1 + 1 + 1 + 24),  # the frequency alone judged: never a pass
    (("10min", "10s"), "incomplete", 1),  # no Plt
    ((), "not measured", 2 + 2 + 1 + 1 + 1 + 24),
])
def test_the_verdict_is_a_pass_only_when_every_row_was_judged(keep, verdict, not_judged):
    tables = {k: (v if k in keep else None) for k, v in week().items()}
    r = en50160.assess(tables, nominal_voltage=UN)
    assert (r["verdict"], len(r["not_judged"]), r["weeks"][0]["verdict"]) == (verdict, not_judged, verdict)
    if verdict == "incomplete":
        assert r["verdict_text"].startswith("incomplete: not judged: ") and \
            len(r["verdict_text"].split(", ")) == not_judged  # each row named once, the orders together
        assert not_judged < 3 or r["verdict_text"].endswith(", Harmonic voltage h2, h3, h4, h5, h6, h7, h8, h9, h10, "
                                                             "h11, h12, h13, h14, h15, h16, h17, h18, h19, h20, h21, "
                                                             "h22, h23, h24, h25")
    tables = {k: (v if k in keep else None) for k, v in week().items()}
    if "10s" in keep:  # a failing row fails it, judged or not the rest
        tables["10s"]["frequency"][:7] = 46.0
        assert en50160.assess(tables, nominal_voltage=UN)["verdict"] == "fail"


# (Un volts of the channels, a Un above MV, level given, the level applied, said)
@pytest.mark.parametrize("un, level, applied, said", [
    (UN, None, "LV", "the level of Un"), (11e3 / np.sqrt(3), None, "MV", "the level of Un 6350.85 V"),
    (UN, "MV", "MV", "as asked"), (UN, "LV", "LV", "the level of Un"),
    (11e3 / np.sqrt(3), "LV", "LV", "LV limits on Un"), (1000 / np.sqrt(3), None, "LV", "the level of Un"),
    (110e3 / np.sqrt(3), "MV", "MV", "as asked"), (110e3 / np.sqrt(3), None, None, "give --level LV or MV")])
def test_the_level_follows_un_unless_given(un, level, applied, said):
    tables = week()
    for p in "ABC":
        tables["10min"][p + ".rmsVoltage"] *= un / UN
    if applied is None:
        with pytest.raises(ValueError, match=said):
            en50160.assess(tables, nominal_voltage=un, level=level)
        return
    s = en50160.assess(tables, nominal_voltage=un, level=level)["settings"]
    assert (s["level"], s["un"]) == (applied, un) and said in s["level_source"]


def test_a_dip_flags_its_pst_and_plt_and_the_flicker_row_judges_the_rest():
    # 2 h 20 min of a clean supply from a tick, a 100 ms dip to 70 % at 2 h 5 min: its Pst (5.06) and the Plt of
    # the last 20 minutes are flagged and left out; the first 2 hours' Plt is judged, and passes.
    fs = 1000.0
    u = three_phase(fs, 8400.0)[0]
    u[int(7500 * fs):int(7500.1 * fs)] *= 0.7
    a = analysis.analyze(voltages=u, sample_rate=fs, fixed_frequency=50.0, windowed=False)
    pst, plt = a.flicker["pst"], a.flicker["plt"]
    assert len(pst) == 14 and pst["complete"].all()  # the first and the last kept: the recording is on ticks
    assert np.flatnonzero(pst["flagged"]).tolist() == [12] and pst["pst"][12] > 4.0 > 0.1 > pst["pst"][13]
    assert plt["flagged"].tolist() == [False, True] and plt["complete"].tolist() == [True, False]
    assert plt["plt"][1] > 1.0  # the dip's Plt would fail the row
    flicker = next(r for r in en50160.assess_analysis(a)["rows"] if r["key"] == "flicker")
    assert (flicker["verdict"], flicker["intervals"], flicker["flagged"], flicker["partial"]) == ("pass", 1, 1, 0)


# (the supply's level, percent of 230 V; the Un judged against, or None: unknown)
@pytest.mark.parametrize("percent, un", [(100.0, UN), (111.0, UN), (80.0, UN), (128.0, UN), (135.0, None),
                                         (5.0, None)])
def test_un_is_a_nominal_voltage_never_the_measured_level(percent, un):
    a = analysis.analyze(voltages=three_phase(3200.0, 1.0, rms=UN * percent / 100), sample_rate=3200.0,
                         windowed=False)
    found = en50160.reference_voltage(a.inference, a.declared_voltage)
    assert found["nominal_voltage"] == un
    if un is None:
        assert "give Un (--udin)" in found["un_source"]
        return
    assert found["un_text"] == "230/400 V" and found["system_un"] == 400.0
    assert found["un_source"].startswith("the nominal voltage nearest the measured level") or \
        found["un_source"].startswith("no rating")


def test_the_command_line_judges_a_high_supply_against_its_nominal_voltage_and_states_un(tmp_path):
    # 10 minutes at +11 % of 230 V from a tick, no --udin: judged against 230 V, and its voltage rows fail.
    fs = 1000.0
    path = write_three(tmp_path / "high", three_phase(fs, 600.0, rms=1.11 * UN), fs)
    out = tmp_path / "high.json"
    run = cli("analyze", path, "--assessment", out, "--lamp", "120", timeout=300)
    assert run.returncode == 0, run.stderr
    result = json.loads(out.read_text())
    s = result["settings"]
    assert (s["un"], s["un_text"], s["level"], s["level_source"]) == (UN, "230/400 V", "LV", "the level of Un 230/400 V")
    assert "111.0 % of 230 V" in s["un_source"] and "Un 230 V of 230/400 V: the nominal voltage nearest" in run.stdout
    voltage = [r for r in result["rows"] if r["key"] == "voltage"]
    assert [(r["verdict"], r["intervals"]) for r in voltage] == [("fail", 1), ("fail", 1)]
    assert result["verdict"] == "fail" and result["weeks"][0]["label"] == "partial: 0.00694 days"
    assert "120 V lamp" in run.stdout
    # Un of 11 kV with LV limits asked for: applied, and said; a Un above MV without --level: refused.
    mv = write_three(tmp_path / "mv", three_phase(fs, 12.0, rms=11e3 / np.sqrt(3)), fs)
    run = cli("analyze", mv, "--assessment", out, "--level", "LV", timeout=300)
    assert run.returncode == 0 and "LV limits on Un 11 kV, as asked" in run.stdout, run.stderr
    hv = write_three(tmp_path / "hv", three_phase(fs, 12.0, rms=110e3 / np.sqrt(3)), fs)
    run = cli("analyze", hv, "--assessment", out, timeout=300)
    assert run.returncode == 1 and run.stderr.startswith("powerquality: --level: Un 110 kV lies above 36 kV")
    assert len(run.stderr.strip().splitlines()) == 1


@pytest.mark.parametrize("keep, badge", [(("10min", "10s", "2h"), "pass"), (("10s",), "not-measured")])
def test_the_reports_badge_follows_the_verdict(tmp_path, keep, badge):
    from powerquality import htmlreport

    tables = {k: (v if k in keep else None) for k, v in week().items()}
    r = en50160.assess(tables, nominal_voltage=UN)
    htmlreport.write(str(tmp_path / "r.html"), r, tables, None, title="week")
    text = (tmp_path / "r.html").read_text(encoding="utf-8")
    overall = re.search(r'<span id="overall" class="overall ([^"]+) verdict">([^<]*)</span>', text)
    assert overall.group(1) == badge and overall.group(2) == r["verdict_text"]
    assert "Un = 230 V, 50 Hz: given to the assessment." in text

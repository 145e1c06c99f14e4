# analyze on synthesised signals with known answers, and the command line on the two shared recordings.
import json
import os

import numpy as np
import pytest

import powerquality as pq
from powerquality import report
from conftest import cli, recording, three_phase, write_three

FS = 6400.0


def test_off_nominal_sine_with_a_harmonic_tracked_in_blocks_with_windows():
    f, t = 49.8, np.arange(int(3.5 * FS)) / FS  # three whole blocks of one second and half of one
    u = 325 * np.sin(2 * np.pi * f * t) + 20 * np.sin(2 * np.pi * 5 * f * t + 0.3)
    seen = []
    a = pq.analyze(voltages=u, sample_rate=FS, nominal_frequency=50.0, progress=seen.append)
    assert seen == pytest.approx([1 / 3.5, 2 / 3.5, 3 / 3.5, 1.0])
    valid = a.frequency[a.frequency["valid"]]
    assert len(valid) > 150 and np.all(np.abs(valid["frequency"] - f) < 0.01)
    np.testing.assert_allclose(a.period["rmsVoltage"][4:-4], np.sqrt((325 ** 2 + 20 ** 2) / 2), rtol=1e-4)
    assert a.crossings[0] > 0 and a.period["time"][0] > a.crossings[0] / FS
    thd = a.windowed["phases"][:, 0]["thdVoltage"]["thd"]
    assert len(thd) >= 14 and np.allclose(thd, 100 * 20 / 325, rtol=0, atol=0.01)
    np.testing.assert_allclose(a.harmonics["harmonicsVoltage"][:, 0, [1, 5]],
                               [[325 / np.sqrt(2), 20 / np.sqrt(2)]] * len(thd), rtol=1e-3)


def test_dips_with_duration_and_residual_and_one_still_running_at_the_end():
    u = three_phase(FS, 2.0)
    u[0, int(0.5 * FS):int(0.6 * FS)] *= 0.7  # 100 ms at 70 % of 230 V
    u[1:, int(1.6 * FS):] *= 0.5  # phases B and C stay low to the end
    i = three_phase(FS, 2.0, rms=10.0, angle=-np.pi / 6)  # lagging by 30 degrees
    a = pq.analyze(voltages=u, currents=i, sample_rate=FS, declared_voltage=230.0)
    assert a.grid == "star" and len(a.events) == 2
    e, running = a.events
    assert (e["type"], e["phases"], e["ended"]) == (1, 0b001, True)
    # Ed. 3 stamps: from the window of the first value below 90 % (up to a cycle before the dip).
    assert -0.02 - 1 / FS <= e["startTime"] - 0.5 <= -0.01 + 1 / FS and abs(e["duration"] - 0.12) <= 0.01 + 1e-9
    assert (e["extremePercent"], running["type"], running["phases"], running["ended"], running["extremePercent"]) == \
        (pytest.approx(70.0, abs=0.5), 1, 0b110, False, pytest.approx(50.0, abs=0.5))
    assert any(line.startswith("  dip") and "phases B,C" in line and line.endswith("(still running at the end)")
               for line in report.summary(a))
    rows = a.phase_rows(1)  # one cycle long, every half cycle; phase B's 230 V within 0.2 % of the steps on A
    np.testing.assert_allclose(np.diff(rows["time"])[2:-2], 0.01, atol=1 / FS / 3)
    rows = rows[6:][rows["time"][6:] < 1.59]
    np.testing.assert_allclose(rows["rmsVoltage"], 230.0, rtol=2e-3)
    np.testing.assert_allclose(rows["powerFactor"], np.cos(np.pi / 6), rtol=1e-4)  # B's current with B's voltage


def test_fixed_frequency_and_single_phase_arrays():
    u = 100 * np.sqrt(2) * np.sin(2 * np.pi * 60 * np.arange(int(FS)) / FS)
    a = pq.analyze(voltages=u, sample_rate=FS, fixed_frequency=60.0)
    assert a.grid == "single" and a.nominal_frequency == 60.0
    np.testing.assert_allclose(a.period["rmsVoltage"][2:-2], 100.0, rtol=2e-5)  # spans of 106.67 samples
    # 6.5 cycles are enough at a fixed frequency, too few to track one.
    assert len(a.events) == 0 and set(np.unique(a.period["phase"])) == {0} and \
        len(pq.analyze(voltages=u[:700], sample_rate=FS, fixed_frequency=60.0).period) > 0
    with pytest.raises(pq.recording.RecordingError, match="found no cycle.*give --fixed-frequency 60 "):
        pq.analyze(voltages=u[:700], sample_rate=FS)


# Udin from the ratings (6 kV, 13.8 kV line to line, on star channels: above 1 kV, so LV limits get a hint at MV's);
# no RVCs.
@pytest.mark.parametrize("name, level, nominal, event, event_start, udin", [
    ("test1", "MV", 50, 'swell,"A,B,C"', "2007-06-25T19:13:59.2", "3464.1"),  # 1.415 s after 19:13:57.79
    ("test2", "LV", 60, 'dip,"A,B,C"', "2007-01-01T12:22:50.6", "7967.43"),  # 0.245 s after 12:22:50.41
])
def test_cli_writes_the_recorded_events_tables_picture_and_report(tmp_path, name, level, nominal, event, event_start,
                                                                  udin):
    from test_report_html import check_report

    h5py = pytest.importorskip("h5py")
    run = cli("analyze", recording(name), "--out", tmp_path, "--detail", "--plot", tmp_path / "report.png",
              "--report", tmp_path / "report.html", "--assessment", tmp_path / "a.json", "--level", level)
    assert run.returncode == 0, run.stderr
    assert f"nominal {nominal} Hz" in run.stdout and "star voltages" in run.stdout
    # LV limits on an MV supply only because --level says so, and said (the level of Un otherwise).
    assert ("as asked (Un says MV)" in run.stdout) == (level == "LV")
    assert (tmp_path / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(os.listdir(tmp_path)) == ["a.json", "aggregated_10min.csv", "aggregated_2h.csv", "aggregated_3s.csv",
                                            "detail.h5", "events.csv", "flicker.csv", "frequency_10s.csv",
                                            "report.html", "report.png", "rvc.csv"]
    check_report((tmp_path / "report.html").read_text(encoding="utf-8"))
    result = json.loads((tmp_path / "a.json").read_text())
    assert not result["coverage"]["whole_week"] and "over what was recorded only" in result["coverage"]["text"]
    assert sum(map(sum, result["dips" if name == "test2" else "swells"]["counts"])) == 1
    # 4.3 s at 50 Hz: a 150-cycle interval and the rest; 2.3 s at 60 Hz: part of one. Tags: the next 10 minutes.
    short = np.genfromtxt(tmp_path / "aggregated_3s.csv", delimiter=",", names=True, dtype=None, encoding="utf-8")
    assert list(np.atleast_1d(short["windowCount"])) == {"test1": [15, 5], "test2": [10]}[name]
    tag = (tmp_path / "aggregated_10min.csv").read_text().splitlines()[1].rsplit(",", 1)[1]
    assert tag == {"test1": "2007-06-25T19:20:00", "test2": "2007-01-01T12:30:00"}[name]
    events = (tmp_path / "events.csv").read_text().splitlines()[1:]
    assert len(events) == 1 and events[0].startswith(event) and event_start in events[0]
    assert len((tmp_path / "rvc.csv").read_text().splitlines()) == 1  # the header only
    un = {"test1": "6 kV", "test2": "13.8 kV"}[name]
    assert f"Udin        {udin} V phase to ground, Un {un}: rating {un} line to line" in run.stdout
    assert "RVC         0 " in run.stdout and result["settings"]["inference"]["udin_source"] == "rating"
    # Single cycles across the fault's phase jump move by up to 1 Hz; the median sits on the nominal.
    with h5py.File(tmp_path / "detail.h5") as detail:
        frequency = detail["frequency"]["frequency"][5:-5]
        assert len(detail["period"]) == 4 * len(detail["period"]["item"][::4]) and len(detail["windowed"]) > 0
    assert np.all(np.abs(frequency - nominal) < 1.0) and abs(np.median(frequency) - nominal) < 0.05


def test_aggregated_windows_restart_at_the_tick_inside_the_recording():
    u = three_phase(FS, 6.0, rms=[230.0, 231.0, 229.0])
    u[:, int(3.0 * FS):] *= 1.02
    recording = pq.analysis._arrays_recording(u, None, FS, 50.0)
    recording.start = "01/01/2020,00:09:58.000000"  # 2 s before a whole 10 minutes: the tick lies at 2 s
    a = pq.analyze(recording)
    assert a.clock_offset == 598.0
    w, short, ten = a.windowed, a.aggregated["3s"], a.aggregated["10min"]
    before = w["firstSampleIndex"] / FS < 2.0
    # Windows restart on the tick; the 150-cycle interval in progress runs on to 15 windows, past the tick.
    k = int(before.sum())
    assert 0.0 <= w["firstSampleIndex"][k] / FS - 2.0 <= 2 / FS and w["time"][k - 1] > 2.0
    assert list(short["windowCount"]) == [15, 15, int((~before).sum()) - 15]
    assert list(ten["windowCount"]) == [k, int((~before).sum())]
    assert list(ten["clockInterval"]) == [0, 1] and list(short["clockInterval"]) == [0, 1, 1]
    assert list(ten["tagTime"]) == pytest.approx([2.0, 602.0])
    assert short["startTime"][1] >= 2.0 and short["endTime"][0] == w["time"][14]
    after = w["phases"][:, 1]["rmsVoltage"][~before]  # intervals: the RMS of their windows' values
    np.testing.assert_allclose(short["B.rmsVoltage"][1], np.sqrt(np.mean(after[:15] ** 2)), rtol=1e-12)
    np.testing.assert_allclose(ten["B.rmsVoltage"][1], np.sqrt(np.mean(after ** 2)), rtol=1e-12)
    assert short["complete"][0] and short["complete"][1] and "u2" in short.dtype.names and \
        "A.rmsCurrent" not in short.dtype.names


@pytest.mark.parametrize("offset", [0.0, 599.95, 1199.0])
def test_window_plan_is_the_same_whatever_the_crossings_come_in(offset):
    # Cycles of 0.25 s: ticks every 2400 crossings, one near the start with an offset of 599.95 s.
    fs, wc, crossings = 64.0, 10, np.arange(6000) * 16.0 + 0.5
    plans = []
    for size in (1, 7, 2399, 6000):
        plan = pq.analysis._WindowPlan(wc, fs, offset)
        plans.append([w for lo in range(0, 6000, size) for w in plan.add(crossings[lo:lo + size])])
    assert all(p == plans[0] for p in plans[1:])
    plan = pq.analysis._WindowPlan(wc, fs, offset)
    for lo in range(6000):
        for first, _ in plan.add(crossings[lo:lo + 1]):
            assert np.searchsorted(crossings, first - 1) + wc == lo
    starts = [first for first, _ in plans[0]]
    ticks = (np.arange(1, 4) * 600.0 - offset) * fs
    for tick in ticks[(ticks > 0) & (ticks < crossings[-1] - wc * 16)]:
        head = starts.index(int(np.ceil(crossings[np.searchsorted(crossings, tick)])))
        assert starts[head - 1] < tick <= starts[head - 1] + wc * 16
    assert all(f == 4.0 for _, f in plans[0])


@pytest.mark.parametrize("fixed", [None, 50.0])
def test_results_do_not_depend_on_the_block_size(fixed):
    # A tick, a dip, an interruption and a missing sample, cut by blocks of 997 samples, 6400 + 13 and 3.5 s.
    u = three_phase(FS, 14.0)
    u[0, int(2.5 * FS):int(2.62 * FS)] *= 0.6
    u[:, int(7.1 * FS):int(7.4 * FS)] *= 0.01
    u[1, int(9.3 * FS)] = np.nan
    # Currents and signalling too: every table, array and flag, by value (records have padding).
    recording = pq.analysis._arrays_recording(u, three_phase(FS, 14.0, rms=5.0, angle=-0.3), FS, 50.0)
    recording.start = "01/01/2020,00:09:56.000000"
    options = dict(fixed_frequency=fixed, signalling_frequencies=[316.67])
    whole = pq.analyze(recording, block_size=len(u[0]), **options)
    assert len(whole.events) >= 2 and whole.window_flags.any() and len(whole.aggregated["10min"]) == 2
    assert len(whole.signalling) and "A.harmonicCurrent5" in whole.aggregated["3s"].dtype.names
    def results(a):
        return [{name: pq.analysis.flatten(t) for name, t in a.tables().items()}, a.declared_voltage, a.ten_second,
                a.harmonics, a.flicker["pinst_max"], a.window_flags, a.window_gaps, a.crossings]

    for size in (997, 6413, int(3.5 * FS)):
        np.testing.assert_equal(results(pq.analyze(recording, block_size=size, **options)), results(whole))
    blocks = list(pq.analysis.stream(recording, block_size=997, **options))
    assert [b.last for b in blocks[-2:]] == [False, True] and all(b.stop - b.position <= 997 for b in blocks)


def _deviations(u, udin):
    """Under- and over-deviation in percent of udin of windows' RMS values u (the last axis), from the formulas:
    each value clipped at udin from above (under) or below (over), the root mean square of those, its distance
    from udin. A NaN (not measured) is left out."""
    under = np.sqrt(np.nanmean(np.minimum(u, udin) ** 2, axis=-1))
    over = np.sqrt(np.nanmean(np.maximum(u, udin) ** 2, axis=-1))
    return (udin - under) / udin * 100.0, (over - udin) / udin * 100.0


def test_deviations_of_supply_steps_between_90_and_110_percent_over_each_interval():
    # Windows of 0.2 s over 2 h 20 min, the clock's ticks on whole 10 minutes: 3-s values of 15 windows, 10-min
    # ones of 3000, 2-h ones of twelve 10-min values. A steps every 37 s between 90 % and 110 %, B every 53 s
    # below Udin only, C above it only; one window of A not measured.
    udin, n = 230.0, 42000
    windowed = np.zeros(n, pq.GENERAL_RECORD_DTYPE)
    windowed["firstSampleIndex"] = np.arange(n) * 1280  # 6400 Hz
    windowed["time"] = (np.arange(n) + 1) * 0.2
    t = np.arange(n) * 0.2
    rng = np.random.default_rng(7)
    levels = {0: rng.uniform(0.9, 1.1, 300)[(t // 37).astype(int)], 1: rng.uniform(0.9, 1.0, 200)[(t // 53).astype(int)],
              2: rng.uniform(1.0, 1.1, 200)[(t // 53).astype(int)]}
    u = np.array([udin * levels[k] for k in range(3)])
    u[0, 20] = np.nan
    for k in range(3):
        windowed["phases"][:, k]["rmsVoltage"] = u[k]
    plain = pq.analysis.aggregate_windows(windowed, 3, False, 6400.0)
    got = pq.analysis.aggregate_windows(windowed, 3, False, 6400.0, declared_voltage=udin)
    for key, per in (("3s", 15), ("10min", 3000)):
        rows = got[key]
        assert list(rows["windowCount"]) == [per] * (n // per)
        for k, label in enumerate("ABC"):
            under, over = _deviations(u[k].reshape(-1, per), udin)
            np.testing.assert_allclose(rows[label + ".underDeviation"], under, rtol=1e-9, atol=1e-12)
            np.testing.assert_allclose(rows[label + ".overDeviation"], over, rtol=1e-9, atol=1e-12)
    # 2 h: the root mean square of the twelve clipped 10-min values (two in the last 2 h), each weighed by its
    # share measured, as the RMS voltage's: so over the windows measured in the 2 h.
    rows = got["2h"]
    assert list(rows["windowCount"]) == [12, 2]
    for k, label in enumerate("ABC"):
        for r, part in enumerate((u[k][:36000], u[k][36000:])):
            under, over = _deviations(part, udin)
            assert rows[label + ".underDeviation"][r] == pytest.approx(under, rel=1e-9, abs=1e-12)
            assert rows[label + ".overDeviation"][r] == pytest.approx(over, rel=1e-9, abs=1e-12)
        ten = np.sqrt(np.mean(np.minimum(u[k][36000:], udin).reshape(2, -1) ** 2, axis=1))
        assert rows[label + ".underDeviation"][1] == pytest.approx((udin - np.sqrt(np.mean(ten ** 2))) / udin * 100,
                                                                   rel=1e-9, abs=1e-12)
    # B never above Udin, C never below: no over- and no under-deviation; the others lie within the steps.
    for key in got:
        assert np.all(got[key]["B.overDeviation"] == 0) and np.all(got[key]["C.underDeviation"] == 0)
        assert np.all(got[key]["A.underDeviation"] <= 10) and np.all(got[key]["A.overDeviation"] <= 10)
        # Additional columns only: the others are as without Udin, bit for bit.
        assert got[key].dtype.names[:len(plain[key].dtype.names)] == plain[key].dtype.names
        for name in plain[key].dtype.names:
            np.testing.assert_array_equal(got[key][name], plain[key][name])


def test_analyze_gives_the_deviations_of_its_windows():
    # Steps of the supply through analyze: A from 90 % to 110 %, B from 105 % to 95 %, C at 100 %; a tick inside.
    # Its aggregates' deviations are those of its windows against the Udin given (the formulas: the test above).
    u = three_phase(FS, 9.0)
    u[0] *= np.where(np.arange(u.shape[1]) < 4.1 * FS, 0.9, 1.1)
    u[1] *= np.where(np.arange(u.shape[1]) < 6.3 * FS, 1.05, 0.95)
    recording = pq.analysis._arrays_recording(u, None, FS, 50.0)
    recording.start = "01/01/2020,00:09:58.000000"
    a = pq.analyze(recording, declared_voltage=230.0)
    alone = pq.analysis.aggregate_windows(a.windowed, 3, False, FS, a.clock_offset, a.window_flags, a.window_gaps,
                                          declared_voltage=230.0)
    for key in ("3s", "10min", "2h"):
        assert len(a.aggregated[key]) == len(alone[key]) > 0
        for name in (p + side for p in ("A.", "B.", "C.") for side in ("underDeviation", "overDeviation")):
            np.testing.assert_allclose(a.aggregated[key][name], alone[key][name], rtol=1e-12, atol=1e-12)
    ten = a.aggregated["10min"]
    assert ten["A.underDeviation"][0] == pytest.approx(10.0, rel=1e-3) and ten["A.overDeviation"][0] == 0
    assert ten["C.underDeviation"][1] < 1e-3 and ten["C.overDeviation"][1] < 1e-3
    assert ten["B.overDeviation"][0] == pytest.approx(5.0, rel=1e-3) and ten["B.underDeviation"][0] == 0


def test_class_a_events_stamps_flags_and_rvcs():
    # A 6 % step on A at 4.013 s, a 100 ms dip to 30 % on B at 7.5 s, a 1 s interruption of all at 9.2 s.
    u = three_phase(FS, 12.0)
    u[0, int(4.013 * FS):] *= 1.06
    u[1, int(7.5 * FS):int(7.6 * FS)] *= 0.3
    u[:, int(9.2 * FS):int(10.2 * FS)] *= 0.02
    a = pq.analyze(voltages=u, sample_rate=FS, declared_voltage=230.0)
    (r,) = a.rvc  # from the step; the dip and the interruption are not RVCs
    assert a.inference.reference.source == "given" and r["ended"] and r["phases"] == 0b001 and abs(r["startTime"] - 4.013) <= 0.02
    # Two dips (B; around the interruption) and the interruption.
    assert r["deltaUss"] == pytest.approx(0.06 * 230.0, rel=0.05) and sorted(a.events["type"]) == [1, 1, 3]
    # Windows over an event are flagged (§4.7), the others not; so is the 150-cycle interval that holds the dip.
    w = a.windowed
    starts, ends = w["firstSampleIndex"] / FS, w["time"]
    over = np.any([(starts < e["startTime"] + e["duration"]) & (ends > e["startTime"]) for e in a.events], axis=0)
    np.testing.assert_array_equal(a.window_flags, over)
    assert over.any() and not a.window_flags[(ends < 7.4) & (starts > 1.0)].any()
    short = a.aggregated["3s"]
    holds_dip = (short["startTime"] < 7.6) & (short["endTime"] > 7.5)
    (k,) = np.flatnonzero(holds_dip)
    assert short["flagged"][k] and not short["flagged"][k - 1] and short["startTime"][k - 1] > 0.5
    assert a.window_gaps[0] and not a.window_flags[0] and short["gap"][0] and not short["flagged"][0]  # not §4.7
    line = next(line for line in report.summary(a) if line.startswith("RVC"))
    assert line.startswith("RVC         1 rapid voltage change(s) (IEC 61000-4-30 Class A")


# Refused before any analysis: argparse's "error: ..." under the usage, the others "powerquality: ...", with
# status 2 when the command cannot start, 1 when the recording named cannot be analysed (its refusals begin with it).
@pytest.mark.parametrize("args, says", [
    (["{cfg}", "--plot", "/missing/folder/x.png"], "--plot /missing/folder/x.png: no folder /missing/folder"),
    (["{cfg}", "--plot", "{file}"], "--plot {file}: give a file name that ends in .png (or .svg, .pdf)"),
    (["{cfg}", "--plot", "{file}.v1"], "--plot {file}.v1: give a file name that ends in .png"),
    (["{cfg}", "--out", "{file}"], "--out {file}: exists and is not a folder"),
    (["{cfg}", "--detail"], "--detail writes detail.h5 into the --out folder"),
    (["{cfg}", "--voltages", "X", "--quiet"], "{cfg}: no channel named 'X' (channels: VA, VB, VC)"),
    (["{bad}"], "{bad}:2:"),
    (["{cfg}", "--fixed-frequency", "0"], "error: argument --fixed-frequency: 0: line frequency 0 Hz is not within "
                                          "10 Hz … 1 kHz"),
    (["{cfg}", "--rate", "-5"], "error: argument --rate: -5: sample rate -5 Hz is not within 80 Hz … 10 MHz"),
    (["{cfg}", "--rate", "1e-300"], "error: argument --rate: 1e-300: sample rate 1e-300 Hz is not within 80 Hz"),
    (["{cfg}", "--rate", "1e300"], "error: argument --rate: 1e300: sample rate 1e+300 Hz is not within 80 Hz"),
    (["{cfg}", "--rate", "nan"], "error: argument --rate: nan: sample rate nan Hz is not within 80 Hz"),
    (["{cfg}", "{cfg}", "--rate", "NaN"], "error: argument --rate: NaN: sample rate nan Hz is not within 80 Hz"),
    (["{cfg}", "--nominal", "inf"], "error: argument --nominal: inf: line frequency inf Hz is not within 10 Hz"),
    (["{cfg}", "--nominal", "1e9"], "error: argument --nominal: 1e9: line frequency 1e+09 Hz is not within 10 Hz"),
    (["{cfg}", "--nominal", "fifty"], "error: argument --nominal: fifty: 'fifty' is not a number; give a line "
                                      "frequency of 10 Hz to 1 kHz"),
    (["{cfg}", "--udin", "nan"], "error: argument --udin: nan: give a positive number"),
    (["{cfg}", "--frequency", "50"], "error: --frequency is gone: it meant the nominal frequency here and a "
                                     "fixed one in the demo; say --nominal HZ or --fixed-frequency HZ"),
    (["a.cfg", "b.cfg", "--plot", "p.png"], "error: --plot draws one recording"),
    (["a.cfg", "b.cfg", "--report", "r.html"], "error: --report and --assessment with several recordings write one "
                                               "of each into each recording's folder: give --out DIR"),
    (["a", "b", "--out", "o", "--assessment", "o/a.json"], "error: --assessment with several recordings: give a file"),
])
def test_cli_refuses_bad_options_and_output_paths_before_analysing(tmp_path, capsys, args, says):
    from powerquality.__main__ import main

    (tmp_path / "bad.cfg").write_text("station,dev,1999\n2,2A\n")
    (tmp_path / "file").write_text("")
    paths = dict(cfg=write_three(tmp_path / "rec", three_phase(FS, 1.0), FS, file_type="FLOAT32"),
                 file=tmp_path / "file", bad=tmp_path / "bad.cfg")
    try:
        status = main(["analyze"] + [a.format(**paths) for a in args])
    except SystemExit as stop:
        status = stop.code
    err = capsys.readouterr().err
    if says.startswith("error: "):
        assert err.startswith("usage: powerquality analyze ") and \
            f"\npowerquality analyze: {says}" in err, err
    else:
        assert err.startswith("powerquality: " + says.format(**paths)), err
    assert status == (1 if says.startswith("{") else 2)


def _edit(path, line, text):
    lines = path.read_text().splitlines()
    lines[line - 1] = text
    path.write_text("\n".join(lines) + "\n")


def _csv_of(path, step):
    """One second of a 50 Hz voltage with a time column of the given step (seconds), written exactly."""
    k = np.arange(3200)
    u = 325.0 * np.sin(2 * np.pi * k / 64)
    path.write_text("t,VA\n" + "".join(f"{j * step!r},{x:.4f}\n" for j, x in zip(k, u)))


# A recording whose rates cannot be, and what the refusal says: one line naming the way out, for one recording
# (exit status 1: the command started) and as a fleet's row.
@pytest.mark.parametrize("make, options, says", [
    # Time stamps that agree with the rate, and so do not stand in for it.
    (lambda p: write_three(p.with_suffix(""), three_phase(50.0, 2.0), 50.0), [],
     r"rec.cfg:8: sample rate 50 Hz is not within 80 Hz … 10 MHz \(give the sample rate with --rate HZ\)"),
    (lambda p: _edit(p, 8, "1e300,6400") or _edit(p, 12, "1e-300"), [],
     "rec.cfg:8: sample rate 1e\\+300 Hz is not within 80 Hz … 10 MHz"),
    (lambda p: _csv_of(p, 1e-320), [], "rec.csv: the time column 't', a step of 9.99989e-321 s: sample rate inf Hz "
                                       "is not within 80 Hz … 10 MHz"),
    (lambda p: _csv_of(p, 1e5), [], "rec.csv: the time column 't', a step of 100000 s: sample rate 1e-05 Hz is not"),
])
def test_rates_that_cannot_be_are_refused_in_one_line(tmp_path, capsys, make, options, says):
    import re

    from powerquality.__main__ import main

    write_three(tmp_path / "rec", three_phase(FS, 1.0), FS, file_type="FLOAT32")
    good = write_three(tmp_path / "good", three_phase(FS, 1.0), FS, file_type="FLOAT32")
    path = tmp_path / ("rec.csv" if "rec.csv" in says else "rec.cfg")
    make(path)
    assert main(["analyze", str(path), "--quiet", *options]) == 1
    err = capsys.readouterr().err
    assert re.match(f"powerquality: {tmp_path}/{says}", err) and err.count("\n") == 1, err
    summary = pq.analyze_many([str(path), good])
    assert list(summary["status"]) == ["error", "ok"] and re.match(f"{tmp_path}/{says}", summary["error"][0])


# A file's nominal frequency that is none (0, inf, 5 Hz) or that the waveform contradicts gives way to the
# waveform's, said in a note; one passed in stands, and one the waveform agrees with is taken silently.
@pytest.mark.parametrize("declared, wave, given, nominal, note", [
    ("0", 60.0, None, 60.0, "line frequency 0 Hz is no nominal frequency"),
    ("inf", 60.0, None, 60.0, "line frequency inf Hz is no nominal frequency"),
    ("nan", 50.0, None, 50.0, "line frequency nan Hz is no nominal frequency"),
    ("-50", 50.0, None, 50.0, "line frequency -50 Hz is no nominal frequency"),
    ("5", 50.0, None, 50.0, "line frequency 5 Hz is no nominal frequency"),
    ("1e300", 60.0, None, 60.0, "line frequency 1e\\+300 Hz is no nominal frequency"),
    ("50", 60.0, None, 60.0, "the file declares 50 Hz, but VA runs at 60 Hz: analysed as 60 Hz"),
    ("60", 50.0, None, 50.0, "the file declares 60 Hz, but VA runs at 50 Hz: analysed as 50 Hz"),
    ("50", 16.7, None, 16.7, "the file declares 50 Hz, but VA runs at 16.7 Hz: analysed as 16.7 Hz"),
    ("50", 47.0, None, 50.0, None),  # a frequency off by 6 %: the file's nominal
    ("60", 50.0, 52.0, 52.0, None),  # given: taken as it is
    ("inf", 60.0, 60.0, 60.0, "line frequency inf Hz is no nominal frequency"),
])
def test_a_files_nominal_frequency_that_is_none_or_contradicted_gives_way_to_the_waveforms(tmp_path, declared, wave,
                                                                                           given, nominal, note):
    import re

    cfg = write_three(tmp_path / "rec", three_phase(FS, 1.0, f=wave), FS, file_type="FLOAT32")
    _edit(tmp_path / "rec.cfg", 6, declared)
    a = pq.analyze(cfg, nominal_frequency=given)
    assert a.nominal_frequency == nominal
    notes = [n for n in a.recording.notes if "Hz" in n]
    assert [bool(re.match(f"{cfg}:6: {note}", n)) for n in notes] == ([True] if note else []), notes


def test_a_declared_frequency_is_glanced_at_on_the_first_second_and_else_judged_on_the_whole_head(tmp_path,
                                                                                                 monkeypatch):
    """A waveform at the declared frequency in its first second is taken at it from a transform of that second
    alone; a first second of missing samples (no line: not a verdict), or one at another frequency, sends the
    whole head to the judgement, whose figure the note gives."""
    from powerquality import analysis

    looked = []
    measure = analysis.waveform_frequency
    monkeypatch.setattr(analysis, "waveform_frequency", lambda x, fs: looked.append(len(x)) or measure(x, fs))
    head = int(8 * FS)  # the command line's block: the head
    cases = [(50.0, 0.0, 50.0, None, 1), (60.0, 0.0, 60.0, "runs at 60 Hz", 2), (60.0, 1.5, 60.0, "runs at 60 Hz", 2),
             (53.0, 0.0, 50.0, None, 2)]  # 6 % off: beyond the glance, within the note's 10 %
    for k, (wave, missing, nominal, note, looks) in enumerate(cases):
        u = three_phase(FS, 12.0, f=wave)
        u[:, :int(missing * FS)] = np.nan
        (tmp_path / str(k)).mkdir()
        cfg = write_three(tmp_path / str(k) / "rec", u, FS, file_type="FLOAT32")
        _edit(tmp_path / str(k) / "rec.cfg", 6, "50")
        looked.clear()
        a = pq.analyze(cfg, block_size=head)
        assert (a.nominal_frequency, looked) == (nominal, [int(FS), head][:looks]), (wave, missing)
        notes = [n for n in a.recording.notes if "declares" in n]
        assert [note in n for n in notes] == ([True] if note else []), notes


@pytest.mark.parametrize("options, message", [
    ({"sample_rate": 1e-300}, "sample_rate: sample rate 1e-300 Hz is not within"),
    ({"sample_rate": float("nan")}, "sample_rate: sample rate nan Hz is not within"),
    ({"nominal_frequency": float("inf")}, "nominal_frequency: line frequency inf Hz is not within"),
    ({"fixed_frequency": 0.0}, "fixed_frequency: line frequency 0 Hz is not within"),
    ({"declared_voltage": -1.0}, "declared_voltage -1.0: give a positive number"),
])
def test_a_fleets_options_are_refused_before_any_recording_is_searched_for(monkeypatch, options, message):
    monkeypatch.setattr(pq.fleet, "find", None)  # never reached
    with pytest.raises(ValueError, match=message):
        pq.analyze_many(["anything"], **options)


@pytest.mark.parametrize("recordings", [1, 2])
@pytest.mark.parametrize("limits, says", [
    ('{"thd": [{"low": null, "high": "8", "share": 95, "period": "week"}]}', "thd[0].high: '8' is not a number"),
    ('{"dips": ' + "[" * 100000 + "]" * 100000 + "}", "nested too deeply to be a limits file"),
    ('{"voltage": {"island": [{"low": NaN, "high": 10, "share": 95, "period": "week"}]}}',
     "voltage.island[0].low: nan is not a finite number"),
])
def test_a_limits_file_is_refused_before_anything_is_analysed(tmp_path, monkeypatch, capsys, recordings, limits,
                                                              says):
    from powerquality.__main__ import main

    cfg = write_three(tmp_path / "rec", three_phase(FS, 1.0), FS, file_type="FLOAT32")
    (path := tmp_path / "limits.json").write_text(limits)
    monkeypatch.setattr(pq.analysis, "open_recording", None)  # never reached
    monkeypatch.setattr(pq.fleet, "run", None)
    status = main(["analyze", *[cfg] * recordings, "--out", str(tmp_path / "out"), "--report", "r.html",
                   "--limits", str(path)])
    err = capsys.readouterr().err
    assert status == 2 and err == f"powerquality: --limits {path}: {says}\n"
    (path := tmp_path / "missing.json")
    assert main(["analyze", cfg, "--report", "r.html", "--limits", str(path)]) == 2
    assert capsys.readouterr().err.startswith(f"powerquality: --limits {path}: cannot be read (No such file")


@pytest.mark.parametrize("kwargs, message", [
    ({"sample_rate": 0}, "sample_rate 0: give a positive number"),
    ({"sample_rate": FS, "fixed_frequency": 0.0}, "fixed frequency 0.0: give a positive"),
    ({"sample_rate": FS, "fixed_frequency": FS}, "not below half the sample rate"),
    ({"sample_rate": FS, "fixed_frequency": 1e-300}, "fixed frequency: line frequency 1e-300 Hz is not within"),
    ({"sample_rate": FS, "declared_voltage": -230}, "declared voltage -230"),
])
def test_bad_numbers_of_analyze_are_refused_by_name(kwargs, message):
    with pytest.raises(ValueError, match=message):
        pq.analyze(voltages=three_phase(FS, 1.0), **kwargs)


def test_noise_on_the_voltage_channels_is_called_no_voltage_and_harmonics_stop_at_nyquist(tmp_path):
    # Full scale about 325 V (FLOAT32 stores volts: its range too); the noise a ten-thousandth of it.
    write_three(tmp_path / "noise", np.random.default_rng(1).normal(0.0, 0.03, (3, int(FS))), FS, file_type="FLOAT32")
    (cfg := tmp_path / "noise.cfg").write_text(cfg.read_text().replace(",0,-32767,32767,", ",0,-325,325,"))
    with pytest.raises(pq.recording.RecordingError, match="VA, VB, VC carry no voltage"):
        pq.analyze(cfg, fixed_frequency=50.0)
    a = pq.analyze(voltages=three_phase(1600.0, 2.0), sample_rate=1600.0, fixed_frequency=50.0)
    assert a.harmonics["harmonicsVoltage"].shape[-1] == 17  # order 16 the last below Nyquist


def test_analyze_flicker_per_voltage_on_the_clock_whatever_the_blocks():
    # 20 minutes of 8.8 Hz fluctuation (Pinst 1 at its peaks): two 10-minute intervals of Pst 0.71, no Plt yet.
    fs = 1000.0
    t = np.arange(int(1201 * fs)) / fs
    u = 325 * np.sin(2 * np.pi * 50 * t) * (1 + 0.0025 / 2 * np.sin(2 * np.pi * 8.8 * t))
    a = pq.analyze(voltages=u, sample_rate=fs, windowed=False)
    pst = a.flicker["pst"]
    assert a.flicker["lamp"] == 230.0 and abs(a.flicker["pinst_max"][0] - 1.0) < 0.01
    assert list(pst["clockInterval"]) == [0, 1] and list(pst["endTime"]) == [600.0, 1200.0]
    # Both whole (the first too: the recording begins on its tick); the 2 hours running at the end give a Plt
    # of their two Pst, not whole.
    plt = a.flicker["plt"]
    assert pst["complete"].tolist() == [True, True] and not pst["flagged"].any() and not pst["gap"].any()
    assert (len(plt), bool(plt["complete"][0]), plt["endTime"][0]) == (1, False, 1200.0)
    assert plt["plt"][0] == pytest.approx(np.cbrt(np.mean(pst["pst"] ** 3)), rel=1e-12)
    np.testing.assert_allclose(pst["pst"], 0.712, atol=0.005)
    b = pq.analyze(voltages=u, sample_rate=fs, windowed=False, block_size=7777)
    assert np.array_equal(b.flicker["pst"], pst) and np.array_equal(b.flicker["pinst_max"], a.flicker["pinst_max"])


def test_declared_voltage_defaults_to_the_nominal_voltage_nearest_the_first_seconds():
    # 10 minutes at 230 V, then 15 at 260 V: a swell against 230 V from the first seconds (not a dip before it).
    fs = 1600.0
    u = three_phase(fs, 25 * 60.0)
    u[:, int(600 * fs):] *= 260.0 / 230.0
    a = pq.analyze(voltages=u, sample_rate=fs, fixed_frequency=50.0, windowed=False, block_size=int(37 * fs))
    assert a.declared_voltage == pytest.approx(230.0, rel=1e-4)
    assert [(int(e["type"]), bool(e["ended"]), e["startTime"]) for e in a.events] == \
        [(2, False, pytest.approx(600.0, abs=0.02))]


def test_windows_hold_harmonic_subgroups_and_thds_as_class_a_measures_them():
    # Order 7.5 lies on the border of groups 7 and 8, on no subgroup: THDS and subgroup 8 stay 0 (not 2.8 %).
    t = np.arange(int(2.5 * FS)) / FS
    u = 325 * np.sin(2 * np.pi * 50.0 * t) + 13 * np.sin(2 * np.pi * 375.0 * t)
    a = pq.analyze(voltages=u, sample_rate=FS, nominal_frequency=50.0)
    harmonics = a.harmonics["harmonicsVoltage"][:, 0]
    assert len(harmonics) >= 8 and np.allclose(harmonics[:, 8], 0.0, rtol=0, atol=0.05)
    np.testing.assert_allclose(a.windowed["phases"][:, 0]["thdVoltage"]["thd"], 0.0, atol=0.02)


def test_nominal_frequency_is_the_nearer_of_50_and_60_hz_a_tie_going_to_50():
    t = np.arange(2000) / 1000.0
    assert [pq.analysis._nominal(1000.0, np.sin(2 * np.pi * f * t)) for f in (54.5, 55.0, 55.5)] == [50.0, 50.0, 60.0]


@pytest.mark.parametrize("nominal", [50.0, 60.0])
@pytest.mark.parametrize("depth,degrees", [(0.6, 0.0), (0.4, 45.0), (0.1, 90.0)])
def test_a_dip_of_the_tracked_phase_moves_neither_valid_frequencies_nor_the_other_phases(nominal, depth, degrees):
    # An exact supply with a 100 ms dip of phase A, the phase the frequency is tracked from: the cycles next to
    # the dip's edges are not valid (they moved by up to 0.1 Hz before), the period values of B and C stay exact.
    fs = 6400.0
    u = three_phase(fs, 2.5, f=nominal)
    t = np.arange(u.shape[1]) / fs
    start = (np.floor(nominal) + degrees / 360.0) / nominal
    u[0, (t >= start) & (t < start + 0.1)] *= depth
    a = pq.analyze(voltages=u, sample_rate=fs, nominal_frequency=nominal, windowed=False)
    valid = a.frequency[a.frequency["valid"]]
    assert len(valid) > 1.5 * nominal and np.abs(valid["frequency"] - nominal).max() < 0.010
    for phase in (1, 2):
        rows = a.phase_rows(phase)
        rms = rows["rmsVoltage"][rows["time"] > 0.5]  # past the module's first values
        assert len(rms) > 3 * nominal and np.abs(rms / 230.0 - 1.0).max() < 2e-4


# (voltage per phase, phases, frequency, lamp given, the lamp): by Udin phase to neutral, whatever the frequency.
@pytest.mark.parametrize("volts, phases, f, given, lamp", [
    (220.0, 1, 60.0, None, 230.0), (230.0, 3, 50.0, None, 230.0), (120.0, 3, 60.0, None, 120.0),
    (120.0, 1, 50.0, None, 120.0), (127.0, 3, 60.0, None, 120.0), (230.0, 1, 50.0, 120, 120.0),
    (120.0, 1, 60.0, 230, 230.0)])
def test_the_flicker_lamp_follows_the_supplys_voltage_not_its_frequency(volts, phases, f, given, lamp):
    fs = 1200.0
    u = three_phase(fs, 2.0, f=f) * volts / 230.0
    a = pq.analyze(voltages=u if phases == 3 else u[0], sample_rate=fs, windowed=False, flicker_lamp=given)
    assert a.flicker["lamp"] == lamp and ("given" if given else "phase to neutral") in a.flicker["lamp_reason"]
    assert pq.analysis.default_lamp(400.0, line_to_line=True)[0] == 230.0 and \
        pq.analysis.default_lamp(208.0, line_to_line=True)[0] == 120.0


# (the recording's start on the clock, samples past the tick at its end, the Pst rows' clock intervals, the Plt
# rows' blocks): only intervals the data finished become rows. The meter closes an interval a few samples past
# its tick (its decimation, 4 samples at 4000 Hz), so an end 1 or 3 samples past the tick still finishes it; an
# end a sample before the tick leaves it running, and neither it nor a Plt ending with it is a row.
@pytest.mark.parametrize("start, past, pst, plt", [
    ("00:00:00", -1, [], []),
    ("00:00:00", 0, [0], [0]),
    ("00:00:00", 1, [0], [0]),
    ("00:00:00", 3, [0], [0]),
    ("01:50:00", -1, [], []),  # the last interval of the first 2 hours: running, so no Plt either
    ("01:50:00", 3, [11], [0]),
])
def test_only_the_intervals_the_data_finished_become_flicker_rows(start, past, pst, plt):
    fs = 4000.0
    u = three_phase(fs, 600.0 + 1.0)[0][:int(600 * fs) + past]
    recording = pq.analysis._arrays_recording(u[None, :], None, fs, None)
    recording.start = "01/01/2020," + start + ".000000"
    a = pq.analyze(recording, windowed=False, fixed_frequency=50.0)
    assert a.flicker["pst"]["clockInterval"].tolist() == pst
    assert (a.flicker["plt"]["clockInterval"] // 12).tolist() == plt
    assert (a.flicker["pst"]["endTime"] <= len(u) / fs).all() and not a.flicker["plt"]["complete"].any()


def test_flicker_flags_an_interval_with_an_event_or_a_gap_and_knows_its_whole_intervals():
    # 10 s before a tick: the first Pst holds 5 s of settled data (not whole), the next whole; a 100 ms dip in
    # the second, a gap in the third; the recording ends on a tick, so the third is kept.
    fs = 1000.0
    u = three_phase(fs, 1210.0)[0]
    u[int(300 * fs):int(300.1 * fs)] *= 0.7
    u[int(900 * fs):int(900.05 * fs)] = np.nan
    recording = pq.analysis._arrays_recording(u[None, :], None, fs, None)
    recording.start = "01/01/2020,00:09:50.000000"
    a = pq.analyze(recording, windowed=False, fixed_frequency=50.0, block_size=3333)
    pst, plt = a.flicker["pst"], a.flicker["plt"]
    assert pst["clockInterval"].tolist() == [0, 1, 2] and pst["endTime"].tolist() == [10.0, 610.0, 1210.0]
    assert pst["complete"].tolist() == [False, True, True] and pst["gap"].tolist() == [False, False, True]
    assert pst["flagged"].tolist() == [False, True, True] and pst["pst"][1] > 3.0  # the dip's Pst, left out
    assert (len(plt), bool(plt["flagged"][0]), bool(plt["complete"][0]), bool(plt["gap"][0])) == (1, True, False, True)
    b = pq.analyze(recording, windowed=False, fixed_frequency=50.0, block_size=100000)
    assert a.flicker["pst"].tobytes() == b.flicker["pst"].tobytes() and \
        a.flicker["plt"].tobytes() == b.flicker["plt"].tobytes()  # whatever the blocks


# (the recording's start on the clock, seconds, the 10-minute rows whole, the 2-hour row whole)
@pytest.mark.parametrize("start, seconds, whole", [
    ("01/01/2020,00:00:00.000000", 1200.0, [True, True]),  # on the ticks at both ends: both kept
    ("01/01/2020,00:00:00.000000", 1205.0, [True, True, False]),  # past the tick: the last 5 s not whole
    ("01/01/2020,00:09:50.000000", 1210.0, [False, True, True]),  # 10 s before a tick: the first not whole
    ("01/01/2020,00:00:00.000000", 600.0, [True]),  # one interval, tick to tick
])
@pytest.mark.parametrize("fixed", [50.0, None])
def test_whole_intervals_at_the_recordings_ends_are_kept(start, seconds, whole, fixed):
    fs = 1000.0
    recording = pq.analysis._arrays_recording(three_phase(fs, seconds)[:1], None, fs, None)
    recording.start = start
    a = pq.analyze(recording, fixed_frequency=fixed, block_size=4321)
    ten = a.aggregated["10min"]
    assert ten["complete"].tolist() == whole and not ten["gap"][ten["complete"]].any()  # nor to the tracker
    assert a.aggregated["2h"]["complete"].tolist() == [False]  # fewer than twelve
    if fixed is None:
        assert a.window_gaps[0]  # the first window itself keeps its mark
        k = whole.index(True)  # a sample missing 90.5 s into the first whole interval, which starts on a tick
        tick = 10.0 if start.endswith("00:09:50.000000") else 0.0
        recording.channels[0].values[int((tick + 90.5) * fs)] = np.nan
        ten = pq.analyze(recording, block_size=4321).aggregated["10min"]
        assert ten["gap"][k:].tolist() == [True] + [False] * (len(whole) - k - 1)


@pytest.mark.parametrize("sizes", [(0,), (0, 0), (3,), (0, 3), (3, 0, 0), (2, 0, 5), (1, 1, 1)])
def test_rows_joined_equal_numpys_join_as_a_new_array(sizes):
    from powerquality.analysis import EVENT_DTYPE, _rows_joined

    rng = np.random.default_rng(len(sizes) * 10 + sum(sizes))
    parts = []
    for n in sizes:
        rows = np.zeros(n, EVENT_DTYPE)
        rows["startTime"], rows["phases"], rows["ended"] = rng.random(n), rng.integers(0, 8, n), rng.random(n) > 0.5
        parts.append(rows)
    joined = _rows_joined(*parts)
    wanted = np.concatenate(parts)
    assert joined.dtype == EVENT_DTYPE and np.array_equal(joined, wanted)
    assert not any(np.shares_memory(joined, p) for p in parts)
    # Parts of other layouts are joined by numpy, which promotes their fields.
    other = np.zeros(2, [("startTime", "f8"), ("type", "i4")])
    assert _rows_joined(np.zeros(1, [("startTime", "f8"), ("type", "i8")]), other).dtype == np.dtype(
        [("startTime", "f8"), ("type", "i8")])


@pytest.mark.parametrize("edges, cuts, owners", [
    ([], [10, 20, 35, 50], [0, 1, 2]),  # nothing to cut
    ([5, 10, 20, 50, 60], [10, 20, 35, 50], [0, 1, 2]),  # outside, on a start, on the end: nothing either
    ([15], [10, 15, 20, 35, 50], [0, 0, 1, 2]),  # inside the first
    ([21, 35, 49], [10, 20, 21, 35, 49, 50], [0, 1, 1, 2, 2]),  # inside the second, on a start, inside the last
    ([22, 25, 30], [10, 20, 22, 25, 30, 35, 50], [0, 1, 1, 1, 1, 2]),  # three inside one segment
])
def test_segments_cut_at_the_edges_keep_their_frequency_and_flag(edges, cuts, owners):
    from powerquality import tracking
    first, lengths = np.array([10, 20, 35], np.uint64), np.array([10, 15, 15], np.int64)
    freqs, flags = np.array([49.9, 50.0, 50.1]), np.array([True, False, True])
    got = tracking.split_at(first, lengths, freqs, flags, np.array(edges, np.int64))
    assert got[0].dtype == np.uint64 and got[1].dtype == np.int64
    assert got[0].tolist() == cuts[:-1] and got[1].tolist() == np.diff(cuts).tolist()
    assert got[2].tolist() == freqs[owners].tolist() and got[3].tolist() == flags[owners].tolist()


@pytest.mark.parametrize("name", ["plain", "doubles", "mixed", "gapped"])
def test_nan_through_a_view_of_doubles_writes_what_numpy_writes(name):
    # Doubles one after another get the view; a field with a float32 or a hole in it is numpy's own.
    from powerquality.analysis import _doubles
    inner = np.dtype([("plain", "f8"), ("doubles", [("a", "f8"), ("b", "f8")]),
                      ("mixed", {"names": ["a", "n"], "formats": ["f8", "f4"], "offsets": [0, 8], "itemsize": 16}),
                      ("gapped", {"names": ["a", "b"], "formats": ["f8", "f8"], "offsets": [0, 16],
                                  "itemsize": 24})])
    rows = np.zeros(3, [("t", "f8"), ("phases", inner, (2,))])
    rows.view(np.uint8)[:] = np.arange(rows.nbytes) % 251  # every field and hole holds something
    expected = rows.copy()
    expected.view(np.uint8)[:] = rows.view(np.uint8)
    expected["phases"][name] = np.nan
    _doubles(rows, "phases", name)[...] = np.nan
    assert rows.tobytes() == expected.tobytes()


def test_a_stream_without_cycles_leaves_them_empty_and_the_rest_alike():
    fs = 3200.0
    u = three_phase(fs, 12.0)
    u[:, int(5 * fs):int(5.2 * fs)] *= 0.5  # a dip: cycles flagged under it
    kinds = ("period", "events", "frequency", "cycles")
    runs = []
    for cycles in (True, False):
        blocks = list(pq.analysis.stream(voltages=u, sample_rate=fs, nominal_frequency=50.0, cycles=cycles))
        runs.append({k: np.concatenate([getattr(b, k) for b in blocks]) for k in kinds})
        runs[-1]["3s"] = np.concatenate([b.aggregated["3s"] for b in blocks if b.aggregated is not None])
    full, bare = runs
    assert len(full["cycles"]) > 500 and full["cycles"]["flagged"].any() and len(bare["cycles"]) == 0
    assert len(full["events"]) == 1
    for k in ("period", "events", "frequency", "3s"):
        assert full[k].tobytes() == bare[k].tobytes(), k

# Missing samples from the readers to the report: a gap is never an event nor a number.
import numpy as np
import pytest

import powerquality as pq
from powerquality import comtrade, csvfile, en50160, report
from conftest import three_phase, write_three

FS = 1000.0  # low, so that a minute of gap stays quick; 20 samples a cycle
START = 3.0  # where the gaps begin, seconds


def _csv(path, u, gap):
    """Three voltages as a CSV without a time column: the gap empty on UA, 'nan' on UB and UC."""
    rows = [",".join(f"{x:.6f}" for x in column) for column in u.T]
    for k in range(gap.start, gap.stop):
        rows[k] = ",nan,NaN"
    path.write_text("UA,UB,UC\n" + "\n".join(rows) + "\n")
    return str(path)


def _binary(base, u, gap, fs=FS):
    """Three voltages as 1999 BINARY COMTRADE, the gap written as the missing-value marker -32768."""
    cfg = write_three(base, u, fs, file_type="BINARY")
    dat = cfg[:-4] + ".dat"
    raw = np.fromfile(dat, dtype="<i2").reshape(u.shape[1], -1)
    raw[gap, 4:7] = -32768  # after the sample number and the time stamp (two int32)
    raw.tofile(dat)
    return cfg


def _run(tmp_path, fmt, samples, seconds_after=3.0):
    n = int(round((START + samples / FS + seconds_after) * FS))
    u = three_phase(FS, n / FS)
    gap = slice(int(START * FS), int(START * FS) + samples)
    path = _csv(tmp_path / "gap.csv", u, gap) if fmt == "csv" else _binary(tmp_path / "gap", u, gap)
    return pq.analyze(path, sample_rate=FS if fmt == "csv" else None, declared_voltage=230.0), gap


@pytest.mark.parametrize("fmt", ["csv", "comtrade"])
@pytest.mark.parametrize("samples", [1, 5, 20, 200, 60000])  # one sample, 5 ms, 20 ms, 200 ms, 60 s
def test_a_gap_in_a_clean_supply_is_no_event_and_marks_what_it_touches(tmp_path, fmt, samples):
    a, gap = _run(tmp_path, fmt, samples)
    assert len(a.events) == 0 and len(a.rvc) == 0
    assert (a.missing_samples, a.first_missing) == (samples, gap.start)
    # Period values: every record whose one-cycle span touches the gap is NaN in every measured field and marked;
    # the others are the supply's 230 V (the tracker's reach around the gap is marked as well).
    p = a.period
    over = (p["time"] > gap.start / FS) & (p["time"] - 0.02 < gap.stop / FS)
    assert over.any() and p["gap"][over].all()
    marked = p[p["gap"]]
    for field in ("rmsVoltage", "frequency", "fundamentalVoltage", "fundamentalPhaseAngle"):
        assert np.isnan(marked[field]).all(), field
    assert np.isnan(marked["symmetricalComponent"]["voltageMagnitude"]).all()
    assert marked["time"].min() > gap.start / FS - 0.1 and marked["time"].max() < gap.stop / FS + 0.12
    rest = p[~p["gap"] & (p["phase"] >= 0)]
    np.testing.assert_allclose(rest["rmsVoltage"], 230.0, rtol=2e-4)
    # The tracker's cycles over the gap are not valid ones.
    f = a.frequency
    assert not f["valid"][(f["time"] > gap.start / FS) & (f["time"] - 0.02 < gap.stop / FS)].any()
    # Windows over the gap: marked, their values NaN; the others measured.
    w = a.windowed
    first, last = w["firstSampleIndex"], w["firstSampleIndex"] + w["length"]
    touched = (first < gap.stop) & (last > gap.start)
    assert touched.any() and a.window_gaps[touched].all() and not a.window_flags.any()
    assert np.isnan(w["phases"][touched][:, 0]["rmsVoltage"]).all()
    assert np.isnan(a.harmonics["harmonicsVoltage"][touched]).all()
    assert np.isfinite(w["phases"][~a.window_gaps][:, 0]["rmsVoltage"]).all()
    # Aggregates that hold such a window are marked; their values are over the windows that were measured.
    short = a.aggregated["3s"]
    holds = (short["startTime"] < gap.stop / FS) & (short["endTime"] > gap.start / FS)
    assert short["gap"][holds].all() and not short["flagged"].any()
    measured = np.isfinite(short["A.rmsVoltage"])
    np.testing.assert_allclose(short["A.rmsVoltage"][measured], 230.0, rtol=2e-4)
    assert a.aggregated["10min"]["gap"].all() and a.aggregated["2h"]["gap"].all()
    np.testing.assert_allclose(a.aggregated["10min"]["A.rmsVoltage"], 230.0, rtol=2e-4)
    line = next(x for x in report.summary(a) if x.startswith("missing"))
    assert line.startswith(f"missing     {samples} sample(s) ({samples / FS:.6g} s), the first at sample {gap.start} "
                           f"({START:.6g} s)")


def test_a_minute_of_gap_leaves_whole_aggregates_unmeasured():
    u = three_phase(FS, 70.0)
    u[:, int(5 * FS):int(65 * FS)] = np.nan
    a = pq.analyze(voltages=u, sample_rate=FS, declared_voltage=230.0)
    short = a.aggregated["3s"]
    inside = (short["startTime"] > 5.2) & (short["endTime"] < 64.8)
    assert inside.sum() >= 15 and np.isnan(short["A.rmsVoltage"][inside]).all() and short["gap"][inside].all()
    assert np.isnan(short["u2"][inside]).all()
    # The intervals before and after it are measured, and those beside the gap hold only what was.
    assert np.isfinite(short["A.rmsVoltage"][~inside]).all()


def test_a_gap_inside_a_dip_ends_the_dip_at_the_gap_and_the_detectors_start_again_after_it():
    fs = 3200.0
    u = three_phase(fs, 8.0)
    u[0, int(3.0 * fs):int(4.0 * fs)] *= 0.6  # a dip to 60 % on A from 3 to 4 s
    u[:, int(3.5 * fs):int(3.7 * fs)] = np.nan  # 200 ms lost in the middle of it
    u[:, int(6.0 * fs):int(6.1 * fs)] = np.nan  # and 100 ms across which the supply steps up by 6 %
    u[:, int(6.05 * fs):] *= 1.06
    recording = pq.analysis._arrays_recording(u, None, fs, 50.0)
    a = pq.analyze(recording, declared_voltage=230.0)
    cut, after = a.events
    assert (cut["type"], cut["phases"], cut["ended"], cut["cutByGap"]) == (1, 0b001, False, True)
    # The dip starts at 3 s (Ed. 3 stamps reach a cycle back) and ends with the last value before the gap, whose
    # values are left out (the tracker's reach, four cycles, before the first missing sample).
    assert 2.97 < cut["startTime"] < 3.0 and 3.5 - 0.1 < cut["startTime"] + cut["duration"] < 3.5
    assert cut["extremePercent"] == pytest.approx(60.0, abs=0.1)
    # The dip goes on after the gap: a new one, from the first value after it, that ends at 4 s.
    assert (after["type"], after["ended"], after["cutByGap"]) == (1, True, False)
    assert 3.7 < after["startTime"] < 3.7 + 0.12 and 4.0 < after["startTime"] + after["duration"] < 4.04
    # The RVC detector's steady state starts again after the second gap: the 6 % step across it is no RVC.
    assert len(a.rvc) == 0
    whole = pq.analyze(voltages=np.where(np.isnan(u), 0.0, u), sample_rate=fs, declared_voltage=230.0)
    assert len(whole.rvc) == 0 and len(whole.events) > 2  # zeros instead: interruptions and dips
    lines = report.summary(a)
    assert any("(cut short by a gap)" in x for x in lines)
    # Windows over the dip's part before the gap are flagged (§4.7) as over any event.
    w = a.windowed
    starts, ends = w["firstSampleIndex"] / fs, w["time"]
    assert a.window_flags[(starts > 3.05) & (ends < 3.35)].all()
    for size in (997, int(2.5 * fs)):
        b = pq.analyze(recording, declared_voltage=230.0, block_size=size)
        np.testing.assert_equal([pq.analysis.flatten(t) for t in b.tables().values()],
                                [pq.analysis.flatten(t) for t in a.tables().values()])


def test_an_rvc_running_into_a_gap_is_cut_by_it():
    fs = 3200.0
    u = three_phase(fs, 6.0)
    u[:, int(3.0 * fs):] *= 1.06  # a 6 % step, no steady state again before the gap
    u[:, int(3.3 * fs):int(3.5 * fs)] = np.nan
    a = pq.analyze(voltages=u, sample_rate=fs, declared_voltage=230.0)
    (r,) = a.rvc
    assert (r["ended"], r["cutByGap"]) == (False, True) and abs(r["startTime"] - 3.0) < 0.03
    assert len(a.events) == 0


def test_flicker_intervals_that_held_a_missing_sample_are_marked():
    fs = 1600.0
    u = three_phase(fs, 20.0)
    u[0, int(8 * fs)] = np.nan
    for values, gap in ((u, True), (np.where(np.isnan(u), 230.0, u), False)):
        recording = pq.analysis._arrays_recording(values, None, fs, 50.0)
        recording.start = "01/01/2020,00:09:50.000000"  # the tick at 10 s closes the first 10 minutes
        a = pq.analyze(recording, declared_voltage=230.0)
        (row,) = a.flicker["pst"]
        assert row["gap"] == gap and row["endTime"] == pytest.approx(10.0)


@pytest.mark.parametrize("file_type, revision, marker", [
    ("BINARY", "2013", -32768), ("BINARY32", "1999", -2147483648), ("FLOAT32", "2013", np.nan),
    ("FLOAT32", "1999", np.inf), ("ASCII", "2013", ""), ("ASCII", "1999", "99999"),
])
def test_comtrade_missing_markers_read_as_nan(tmp_path, file_type, revision, marker):
    n = 40
    signals = {"VA": np.sin(np.arange(n) / 3.0) * 100.0, "VB": np.cos(np.arange(n) / 3.0) * 100.0}
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type=file_type, revision=revision)
    dat = cfg[:-4] + ".dat"
    lost = [(7, 0), (8, 0), (30, 1)]  # (sample, channel)
    if file_type == "ASCII":
        lines = open(dat, newline="").read().split("\r\n")
        for k, c in lost:
            fields = lines[k].split(",")
            fields[2 + c] = marker
            lines[k] = ",".join(fields)
        open(dat, "w", newline="").write("\r\n".join(lines))
    else:
        dtype = {"BINARY": "<i2", "BINARY32": "<i4", "FLOAT32": "<f4"}[file_type]
        raw = np.fromfile(dat, dtype=dtype).reshape(n, -1)
        for k, c in lost:
            raw[k, 8 // np.dtype(dtype).itemsize + c] = marker
        raw.tofile(dat)
    whole = comtrade.read(cfg)
    got = np.vstack([whole.channel("VA").values, whole.channel("VB").values])
    expected = np.zeros(got.shape, bool)
    for k, c in lost:
        expected[c, k] = True
    np.testing.assert_array_equal(np.isnan(got), expected)
    blocks = np.concatenate([b for _, b in comtrade.open_blocks(cfg).blocks(9)], axis=1)
    np.testing.assert_array_equal(np.isnan(blocks), expected)
    np.testing.assert_allclose(got[~expected], np.vstack(list(signals.values()))[~expected], rtol=1e-3, atol=0.01)


def test_csv_empty_cells_are_missing_samples_and_other_text_is_refused(tmp_path):
    path = tmp_path / "rec.csv"
    path.write_text("time,UA,UB\n0,1,2\n0.001,,3\n0.002, ,\n0.003,4,5\n")
    rec = csvfile.read(str(path))
    np.testing.assert_array_equal(rec.channel("UA").values, [1, np.nan, np.nan, 4])
    np.testing.assert_array_equal(rec.channel("UB").values, [2, 3, np.nan, 5])
    assert rec.notes == [f"{path}:3: 3 value(s) empty or not finite, read as missing samples"]
    path.write_text("time,UA,UB\n0,1,2\n0.001,,x\n")
    with pytest.raises(pq.recording.RecordingError, match=r"rec.csv:3: 'x' is not a number"):
        csvfile.read(str(path))
    path.write_text("time,UA,UB\n0,1,2\n,1,3\n0.002,4,5\n")
    with pytest.raises(pq.recording.RecordingError, match=r"the time column 'time' holds a value that is not a number"):
        csvfile.read(str(path))


def _noise(rng, shape, level=0.1):
    return rng.normal(0.0, level, shape)


@pytest.mark.parametrize("case", ["one noise phase, Udin given", "one noise phase, Udin from the median",
                                  "three noise phases", "three noise phases, a fixed frequency",
                                  "a phase a thousandth of the others"])
def test_channels_without_a_voltage_give_no_event_and_are_named_in_a_note(case):
    fs = 3200.0
    rng = np.random.default_rng(7)
    u = three_phase(fs, 6.0)
    u[0, int(3.0 * fs):int(3.2 * fs)] *= 0.5  # a real dip on A, to be found when A carries the voltage
    dead = [2]
    if case.startswith("one noise phase"):
        u[2] = _noise(rng, u.shape[1])
    elif case.startswith("three noise phases"):
        u = _noise(rng, u.shape)
        dead = [0, 1, 2]
    else:
        u[2] *= 1e-3
    recording = pq.analysis._arrays_recording(u, None, fs, 50.0)
    a = pq.analyze(recording, declared_voltage=None if "median" in case or "three" in case else 230.0,
                   fixed_frequency=50.0 if "fixed" in case else None)
    assert len(a.rvc) == 0 and len(a.events) == (0 if len(dead) == 3 else 1)
    names = ["UA", "UB", "UC"]
    assert recording.notes == [f"voltage channel {names[k]} carries no voltage (no one-cycle value of 10 % of Udin "
                               "with a cycle at the supply's frequency): no dips, swells, interruptions or RVCs "
                               "from it" for k in dead]
    if len(dead) == 3:
        return
    # The dip on A is found, with A alone in its phases (the dead channel stands in as A but is left out).
    (dip,) = a.events
    assert (dip["type"], dip["phases"], dip["ended"]) == (1, 0b001, True) and abs(dip["startTime"] - 3.0) < 0.03
    assert dip["extremePercent"] == pytest.approx(50.0, abs=0.5)
    if "median" in case:
        assert a.declared_voltage == 230.0 and "nearest the measured level" in a.udin_source


def test_a_voltage_that_was_there_and_goes_away_is_still_an_event():
    fs = 3200.0
    u = three_phase(fs, 6.0)
    u[2, int(3.0 * fs):] = 0.0  # phase C lost for good at 3 s
    recording = pq.analysis._arrays_recording(u, None, fs, 50.0)
    a = pq.analyze(recording, declared_voltage=230.0)
    (dip,) = a.events
    assert (dip["type"], dip["phases"], dip["ended"]) == (1, 0b100, False) and abs(dip["startTime"] - 3.0) < 0.03
    assert recording.notes == []


@pytest.mark.parametrize("flagged, partial, gap, used, says", [
    ([0, 0, 0], [0, 0, 0], [0, 0, 0], 3, "(3 intervals):"),
    ([0, 0, 0], [1, 0, 1], [1, 0, 0], 1, "(3 intervals, 2 of them left out as flagged or not whole):"),
    ([0, 1, 0], [0, 0, 0], [0, 1, 1], 1, "(3 intervals, 2 of them left out: 1 as flagged or not whole, 1 for a gap"),
    ([0, 0, 0], [0, 0, 0], [0, 1, 1], 1, "(3 intervals, 2 of them left out for a gap in the data"),
])
def test_coverage_counts_intervals_left_out_for_a_gap_apart_from_events(flagged, partial, gap, used, says):
    # Each interval left out counts once: over an event first, then not whole, then for a gap.
    ten = {"startTime": np.arange(3) * 600.0, "endTime": np.arange(1, 4) * 600.0,
           "A.rmsVoltage": np.full(3, 230.0), "flagged": np.array(flagged, bool),
           "complete": ~np.array(partial, bool), "gap": np.array(gap, bool)}
    r = en50160.assess({"10min": ten}, nominal_voltage=230.0)
    cov = r["coverage"]
    assert says in cov["text"] and cov["used"] == used
    f, p = np.array(flagged, bool), np.array(partial, bool) & ~np.array(flagged, bool)
    assert (cov["flagged"], cov["partial"], cov["gap"]) == (f.sum(), p.sum(), 3 - used - f.sum() - p.sum())
    row = next(x for x in r["rows"] if x["key"] == "voltage")
    assert (row["intervals"], row["flagged"], row["partial"], row["gap"]) == (used, cov["flagged"], cov["partial"],
                                                                               cov["gap"])


@pytest.mark.slow
def test_a_minute_of_gap_leaves_its_whole_ten_minutes_out_of_the_assessment():
    fs = 400.0  # eight samples a cycle: ten minutes in a few seconds
    u = three_phase(fs, 602.0)
    u[:, int(200 * fs):int(260 * fs)] = np.nan
    recording = pq.analysis._arrays_recording(u, None, fs, 50.0)
    recording.start = "01/01/2020,00:09:59.000000"  # partial, whole, partial
    a = pq.analyze(recording, declared_voltage=230.0, windowed=True)
    ten = a.aggregated["10min"]
    assert ten["complete"].tolist() == [False, True, False] and ten["gap"][1] and not ten["flagged"].any()
    assert ten["A.rmsVoltage"][1] == pytest.approx(230.0, rel=2e-4)  # over the windows measured
    cov = en50160.assess_analysis(a)["coverage"]
    assert (cov["intervals"], cov["used"], cov["flagged"], cov["partial"], cov["gap"]) == (3, 0, 0, 2, 1)
    assert "3 of them left out: 2 as flagged or not whole, 1 for a gap in the data" in cov["text"]


@pytest.mark.parametrize("runs, spans, expected", [
    ([], [(0, 10)], [False]),
    ([(5, 6)], [(0, 5), (6, 9), (0, 6), (5, 6), (5.5, 5.6), (4.9, 5.1)], [False, False, True, True, True, True]),
    ([(2, 4), (10, 12)], [(4, 10), (3.99, 10), (4, 10.01), (0, 100), (12, 13), (11, 11.5)],
     [False, True, True, True, False, True]),
])
def test_touching_is_the_half_open_overlap_of_spans_and_runs(runs, spans, expected):
    # A run [a, b) of missing positions meets a span [lo, hi) when a < hi and b > lo: ends do not touch.
    runs = np.array(runs, np.int64).reshape(-1, 2)
    lo, hi = np.array(spans, np.float64).T
    assert pq.analysis.touching(runs, lo, hi).tolist() == expected


def test_the_command_line_says_what_was_missing_and_which_event_a_gap_cut(tmp_path):
    from conftest import cli

    fs = 1600.0
    u = three_phase(fs, 6.0)
    u[0, int(2.0 * fs):int(3.0 * fs)] *= 0.6
    cfg = _binary(tmp_path / "rec", u, slice(int(2.5 * fs), int(2.6 * fs)), fs)
    run = cli("analyze", cfg, "--udin", "230")
    assert run.returncode == 0, run.stderr
    assert "missing     160 sample(s) (0.1 s), the first at sample 4000 (2.5 s)" in run.stdout
    assert "(cut short by a gap)" in run.stdout

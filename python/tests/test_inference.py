"""What the analysis reads into a recording: the channels' roles, Un and Udin, each with its reason."""

import json
import math

import numpy as np
import pytest
from conftest import cli, three_phase

import powerquality as pq
from powerquality import analysis, comtrade, inference

FS = 3200.0
SQRT3 = math.sqrt(3.0)


def _write(tmp_path, channels, fs=FS, frequency=50.0, units=None, phases=None, factors=None, name="rec"):
    """channels (name -> samples) as a FLOAT32 COMTRADE file; factors (name -> 'primary,secondary,P|S') written
    by hand over the writer's '1,1,P' of those channels."""
    path = comtrade.write(str(tmp_path / name), channels, fs, frequency=frequency, file_type="FLOAT32",
                          units=units, phases=phases)
    if factors:
        lines = open(path, encoding="latin-1", newline="").read().split("\r\n")
        for k, line in enumerate(lines):
            fields = line.split(",")
            if len(fields) == 13 and fields[1] in factors:
                lines[k] = ",".join(fields[:10]) + "," + factors[fields[1]]
        open(path, "w", encoding="latin-1", newline="").write("\r\n".join(lines))
    return path


def _star(names, rms, seconds=3.0, f=50.0, fs=FS):
    return dict(zip(names, three_phase(fs, seconds, rms=rms, f=f)))


@pytest.mark.parametrize("name, field, reading", [
    ("VA_G1", "", "A"), ("Ua", "", "A"), ("IL2", "", "B"), ("U3", "", "C"), ("LINE ULA", "", "A"),
    ("LINE ULC", "", "C"), ("V_L1", "", "A"), ("R", "", "A"), ("S", "", "B"), ("T", "", "C"), ("phase 1", "", "A"),
    ("Phase 3 voltage", "", "C"), ("VA2", "", "A"), ("U L1-N", "", "A"), ("UAN", "", "A"),
    ("UAB", "", "AB"), ("U12", "", "AB"), ("UL1L2", "", "AB"), ("U L2-L3", "", "BC"), ("VCA", "", "CA"),
    ("UBA", "", "AB"), ("RS", "", "AB"),
    ("3U0", "", "N"), ("UN", "", "N"), ("Vo", "", "N"), ("IN_TF8", "", "N"),
    ("VDC_G1", "", None), ("Bus 12", "", None), ("U14", "", None), ("VAR", "", None), ("PHASE", "", None),
    # The phase field first; the name's line to line or neutral over a field's single phase.
    ("x", "L2", "B"), ("x", "2", "B"), ("x", "phase 3", "C"), ("VB", "A", "A"), ("UAB", "A", "AB"),
    ("3U0", "A", "N"), ("VA", "N", "N"),
])
def test_a_channel_is_read_by_its_phase_field_and_its_name(name, field, reading):
    channel = pq.recording.Channel(name, None, "V", "voltage", None, phase_field=field)
    role = inference._role(channel)
    assert role.phase == reading and role.kind == "voltage"
    assert role.reason.startswith("phase field" if field and reading == inference.read_words(field, True)[1]
                                  else "name" if reading else "no phase")


@pytest.mark.parametrize("name, unit, kind", [("R", "kV", "voltage"), ("IL1", "", "current"), ("U L1", "", "voltage"),
                                              ("Ua", "", "voltage"), ("R", "", None), ("IA", "kV", "voltage")])
def test_a_channels_kind_comes_from_its_unit_else_its_name(name, unit, kind):
    assert inference._role(pq.recording.Channel(name, None, unit, None, None)).kind == kind


@pytest.mark.parametrize("names, phases, grid, used", [
    # Named R/S/T, the phase field empty; named nothing, the phase field read (the names: the table above).
    (("R", "S", "T"), {}, "star", ["R", "S", "T"]),
    (("ch1", "ch2", "ch3"), {"ch1": "L1", "ch2": "L2", "ch3": "L3"}, "star", ["ch1", "ch2", "ch3"]),
])
def test_three_voltages_named_as_phases_are_a_star_and_a_dip_on_the_third_is_seen(tmp_path, names, phases, grid,
                                                                                    used):
    u = three_phase(FS, 3.0)
    u[2, int(1.0 * FS):int(1.5 * FS)] *= 0.02
    path = _write(tmp_path, dict(zip(names, u)), phases=phases)
    a = pq.analyze(path)
    assert (a.grid, a.voltages) == (grid, used)
    assert [analysis.EVENT_TYPES[int(e["type"])] for e in a.events] == ["dip"] and a.events[0]["phases"] == 0b100
    assert [r.use for r in a.inference.roles] == ["voltage A", "voltage B", "voltage C"]


def test_residual_and_neutral_channels_are_left_out(tmp_path):
    channels = {"UN": 5.0 * three_phase(FS, 3.0)[0] / 230.0, "3U0": 2.0 * three_phase(FS, 3.0)[1] / 230.0,
                **_star(("Ua", "Ub", "Uc"), 230.0)}
    a = pq.analyze(_write(tmp_path, channels))
    assert a.voltages == ["Ua", "Ub", "Uc"] and a.declared_voltage == 230.0
    left = [r for r in a.inference.roles if r.phase == "N"]
    assert [r.name for r in left] == ["UN", "3U0"] and not any(r.use for r in left)
    assert any(line.endswith("left out as neutral or residual: UN (name 'UN'), 3U0 (name '3U0')")
               for line in a.inference.lines())
    # One voltage: the residual is never it.
    single = pq.analyze(_write(tmp_path, {"Vo": channels["UN"], "VX": channels["Ua"]}, name="single"))
    assert (single.grid, single.voltages) == ("single", ["VX"])


def test_line_to_line_voltages_are_found_by_their_names_or_by_a_level_root_3_times_the_star(tmp_path):
    star = _star(("U1", "U2", "U3"), 230.0)
    line = dict(zip(("U4", "U5", "U6"), three_phase(FS, 3.0, rms=400.0, angle=math.pi / 6)))
    a = pq.analyze(_write(tmp_path, {**line, **star}))
    roles = {r.name: r for r in a.inference.roles}
    assert [roles[n].phase for n in ("U4", "U5", "U6")] == ["AB", "BC", "CA"] and a.voltages == ["U1", "U2", "U3"]
    assert "1.739 times the star voltages' (230 V): line to line AB, in the file's order" in roles["U4"].reason
    # A second circuit whose phase-named voltages are at √3 times the first's: read as line to line.
    named = {**star, "VA2": line["U4"], "VB2": line["U5"], "VC2": line["U6"]}
    b = pq.analyze(_write(tmp_path, named, name="named"))
    assert [r.phase for r in b.inference.roles[3:]] == ["AB", "BC", "CA"] and b.voltages == ["U1", "U2", "U3"]
    assert "says phase A, but its level is 1.739 times" in b.inference.roles[3].reason
    # Named line to line, alone: a delta at 400 V, Un 230/400 V.
    c = inference.infer(comtrade.read(_write(tmp_path, {"UAB": line["U4"], "UBC": line["U5"], "UCA": line["U6"]},
                                             name="delta")))
    assert c.grid == "delta" and [v.name for v in c.voltages] == ["UAB", "UBC", "UCA"]
    assert (c.decide(50.0).udin, c.reference.un_text, c.reference.channels) == (400.0, "230/400 V", "line to line")


def _delta(tmp_path, fs=6400.0, seconds=3.0, negative=0.02):
    """A three-wire recording: Uab, Ubc, Uca of a 230/400 V supply with a negative sequence of `negative` (a
    share of the positive one), AB dipping to 50 % from 1.0 to 1.2 s, and the line currents Ia, Ib, Ic."""
    t = np.arange(int(seconds * fs)) / fs
    k = np.arange(3)[:, None]
    w = 2 * np.pi * 50.0 * t
    star = 230.0 * np.sqrt(2) * (np.sin(w - k * 2 * np.pi / 3) + negative * np.sin(w + k * 2 * np.pi / 3))
    line = star - np.roll(star, -1, axis=0)  # AB, BC, CA
    line[0, (t >= 1.0) & (t < 1.2)] *= 0.5
    current = 10.0 * np.sqrt(2) * np.sin(w - k * 2 * np.pi / 3 - 0.5)
    channels = {"Uab": line[0], "Ubc": line[1], "Uca": line[2], "Ia": current[0], "Ib": current[1], "Ic": current[2]}
    return _write(tmp_path, channels, fs=fs, units={"Ia": "A", "Ib": "A", "Ic": "A"}, name="delta"), line


def test_a_delta_recording_is_analysed_line_to_line_against_a_line_to_line_udin(tmp_path):
    path, line = _delta(tmp_path)
    a = pq.analyze(path)
    assert (a.grid, a.voltages, a.currents, a.declared_voltage) == ("delta", ["Uab", "Ubc", "Uca"],
                                                                     ["Ia", "Ib", "Ic"], 400.0)
    # The dip of AB to 50 % of its level, judged against 400 V (not 230 V: no interruption, no swell).
    steady = np.sqrt(np.mean(line[:, int(1.5 * 6400):] ** 2, axis=1))
    assert [(int(e["type"]), int(e["phases"])) for e in a.events] == [(1, 1)]
    assert a.events["extremePercent"][0] == pytest.approx(50.0 * steady[0] / 400.0, abs=0.1)
    assert a.events["startTime"][0] == pytest.approx(1.0, abs=0.02)
    assert a.events["duration"][0] == pytest.approx(0.2, abs=0.035)
    # Each slot's voltage is its line-to-line voltage; the unbalance is the supply's; the powers, which need
    # phase-to-neutral voltages, are not measured.
    rows = a.period[(a.period["time"] > 1.5) & (a.period["phase"] >= 0)]
    np.testing.assert_allclose(np.median(rows["rmsVoltage"].reshape(-1, 3), axis=0), steady, rtol=1e-4)
    windows = a.windowed[~a.window_gaps & (a.windowed["time"] > 1.5)]
    assert np.median(windows["symmetricalComponents"][:, 2]["voltageUnbalance"]) == pytest.approx(2.0, abs=0.01)
    assert np.isnan(rows["activePower"]).all() and np.isnan(windows["phases"][:, :4]["powerFactor"]).all()
    assert np.isnan(rows["rmsLineToLine"]).all() and np.isfinite(rows["rmsCurrent"]).all()
    # The command line, EN 50160 included: Un 400 V line to line.
    out = cli("analyze", path, "--out", tmp_path / "out", "--assessment", tmp_path / "a.json", "--quiet")
    assert out.returncode == 0, out.stderr
    assert json.load(open(tmp_path / "a.json"))["settings"]["nominal_voltage"] == 400.0
    assert open(tmp_path / "out" / "events.csv").read().count("dip,") == 1


def test_voltages_and_currents_given_are_taken_as_they_are(tmp_path):
    path = _write(tmp_path, {**_star(("R", "S", "T"), 230.0), **_star(("IR", "IS", "IT"), 5.0)},
                  units={n: "A" for n in ("IR", "IS", "IT")})
    a = pq.analyze(path, voltage_channels=["T", "S", "R"], current_channels=["IT", "IS", "IR"])
    assert (a.grid, a.voltages, a.currents) == ("star", ["T", "S", "R"], ["IT", "IS", "IR"])
    assert [(r.name, r.use, r.reason) for r in a.inference.roles if r.name == "T"] == \
        [("T", "voltage C", "given (--voltages)")]
    assert pq.analyze(path).currents == ["IR", "IS", "IT"]


# Ratings as recorders write them, with waveforms that agree and disagree.
RATED = [
    # 190 740 V : 57.8 V is a phase-to-ground transformer of a 330 kV system; the waveform at 190.74 kV agrees.
    ("pg", "kV", 190.74, "190.74,0.0578,P", "rating", 330e3 / SQRT3, "330 kV",
     "rating 190.74 kV phase to ground (190.74 kV : 57.8 V), agrees with the waveform (100.0 %); the nominal "
     "voltage nearest the rating"),
    # The same rating on a waveform at 330 kV phase to ground: they disagree, the rating is not used.
    ("pg-bad", "kV", 330.0, "190.74,0.0578,P", "measured", 330e3, "",
     "rating 190.74 kV phase to ground (190.74 kV : 57.8 V) disagrees with the waveform (173.0 % of 190.74 kV "
     "phase to ground): not used; the measured level 330 kV lies within ±10 % of no nominal voltage"),
    # 6 kV : 100 V line to line on star channels: each at 6 kV / √3.
    ("ll", "V", 6e3 / SQRT3, "6000,100,P", "rating", 6e3 / SQRT3, "6 kV",
     "rating 6 kV line to line (6 kV : 100 V), agrees with the waveform (100.0 %)"),
    # The same rating on an 11 kV system's phase voltages: not used, the nominal voltage nearest is.
    ("ll-bad", "V", 11e3 / SQRT3, "6000,100,P", "nominal", 11e3 / SQRT3, "11 kV",
     "rating 6 kV line to line (6 kV : 100 V) disagrees with the waveform (183.3 % of 3.4641 kV phase to ground): "
     "not used; the nominal voltage nearest the measured level 6.35085 kV (100.0 % of 6.35085 kV)"),
    # A "100 / 1" pair is the ratio of a 10 kV / 100 V transformer: samples in secondary volts, times 100.
    ("ratio", "V", 100.0 / SQRT3, "100,1,S", "nominal", 10e3 / SQRT3, "10 kV",
     "the pair 100 V : 1 V is a ratio, not a rating (1 V is no transformer's secondary voltage); the nominal "
     "voltage nearest the measured level 5.7735 kV (100.0 % of 5.7735 kV)"),
    # A primary of 1100 (kV) that is the ratio of a 110 kV / 100 V transformer on a 63.5 kV bus.
    ("kv-ratio", "kV", 110.0 / SQRT3, "1100,1,P", "nominal", 110e3 / SQRT3, "110 kV",
     "the pair 1100 kV : 1 kV is a ratio, not a rating"),
    # A secondary of no standard value: the waveform says which kind the rating is.
    ("either", "V", 13.8e3, "13800,150,P", "rating", 13.8e3, "23.9023 kV line to line",
     "rating 13.8 kV phase to ground (13.8 kV : 150 V; the waveform says which kind), agrees "
     "with the waveform (100.0 %); no nominal voltage within ±5 % of the rating: Un as rated"),
    ("either-ll", "V", 13.8e3 / SQRT3, "13800,150,P", "rating", 13.8e3 / SQRT3, "13.8 kV line to line",
     "rating 13.8 kV line to line (13.8 kV : 150 V; the waveform says which kind), agrees"),
]


@pytest.mark.parametrize("case, unit, rms, factors, source, udin, un, reason", RATED, ids=[r[0] for r in RATED])
def test_a_rating_is_read_as_a_transformers_and_used_where_the_waveform_agrees(tmp_path, case, unit, rms, factors,
                                                                               source, udin, un, reason):
    names = ("VA", "VB", "VC")
    path = _write(tmp_path, _star(names, rms, seconds=1.0), units={n: unit for n in names},
                  phases=dict(zip(names, "ABC")), factors={n: factors for n in names})
    rec = comtrade.open_blocks(path)
    chosen = inference.infer(rec)
    ref = chosen.decide(50.0)
    assert ref.source == source and ref.udin == pytest.approx(udin, rel=1e-6) and reason in ref.reason
    assert ref.un_text == un


def test_a_rating_and_the_summary_report_and_assessment_say_the_same(tmp_path):
    names = ("VA", "VB", "VC")
    u = _star(names, 190.74, seconds=3.0)
    u["VC"][int(1.0 * FS):int(1.2 * FS)] *= 0.5
    path = _write(tmp_path, u, units={n: "kV" for n in names}, phases=dict(zip(names, "ABC")),
                  factors={n: "190.74,0.0578,P" for n in names})
    run = cli("analyze", path, "--report", tmp_path / "r.html", "--assessment", tmp_path / "a.json", "--level", "MV")
    assert run.returncode == 0, run.stderr
    said = ("rating 190.74 kV phase to ground (190.74 kV : 57.8 V), agrees with the waveform (100.0 %); the nominal "
            "voltage nearest the rating")
    assert f"Udin        190526 V phase to ground, Un 330 kV: {said}" in run.stdout
    assert "roles       VA: voltage A, phase field 'A'" in run.stdout
    # The dip to 50 % against 190.53 kV, not a swell against 110 kV.
    assert "dip          phases C" in run.stdout and "(50.1 % of Udin)" in run.stdout
    inferred = json.loads((tmp_path / "a.json").read_text())["settings"]["inference"]
    assert (inferred["udin_reason"], inferred["un"], inferred["rating"]) == (said, 330e3, "phase to ground")
    assert [c["use"] for c in inferred["channels"]] == ["voltage A", "voltage B", "voltage C"]
    html = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert f"Udin 190526 V phase to ground, Un 330 kV: {said}." in html and "VA voltage A (phase field" in html


@pytest.mark.parametrize("grid, level, frequency, udin, un_text", [
    ("star", 231.0, 50.0, 230.0, "230/400 V"), ("delta", 395.0, 50.0, 400.0, "230/400 V"),
    ("single", 401.0, 50.0, 400.0, "400 V"), ("single", 225.0, 50.0, 230.0, "230 V"),
    ("star", 121.0, 60.0, 120.0, "120/208 V"), ("star", 128.0, 60.0, 127.0, "127/220 V"),
    ("star", 280.0, 60.0, 277.0, "277/480 V"), ("star", 345.0, 60.0, 347.0, "347/600 V"),
    ("delta", 210.0, 60.0, 208.0, "120/208 V"), ("delta", 238.0, 60.0, 240.0, "240 V"),
    ("delta", 600.0, 60.0, 600.0, "347/600 V"), ("single", 242.0, 60.0, 240.0, "240 V"),
    ("star", 6.6e3 / SQRT3, 60.0, 6.6e3 / SQRT3, "6.6 kV"), ("star", 7.9e3, 60.0, 13.8e3 / SQRT3, "13.8 kV"),
    ("star", 7.9e3, 50.0, 15e3 / SQRT3, "15 kV"),  # no series II at 50 Hz: 15 kV, 9 % off
    ("delta", 109e3, 50.0, 110e3, "110 kV"), ("star", 231e3, 50.0, 400e3 / SQRT3, "400 kV"),
])
def test_without_a_rating_udin_is_the_nominal_voltage_nearest_the_measured_level(grid, level, frequency, udin, un_text):
    ref = inference.reference(grid, [], [level], frequency)
    assert (ref.source, ref.udin, ref.un_text) == ("nominal", pytest.approx(udin), un_text)
    assert ref.reason.startswith("no rating; the nominal voltage nearest the measured level")


@pytest.mark.parametrize("level, frequency", [(0.7071, 50.0), (120.0, 50.0), (190.0, 50.0), (260.0, 50.0),
                                               (230.0, 60.0), (500e3, 50.0), (float("nan"), 50.0)])
def test_a_level_no_nominal_voltage_lies_near_is_udin_itself(level, frequency):
    ref = inference.reference("star", [], [level], frequency)
    assert ref.source == "measured" and ref.un is None
    assert ref.udin == (pytest.approx(level) if np.isfinite(level) else 1.0)


def test_a_given_udin_is_taken_and_the_level_said_against_it():
    ref = inference.reference("star", [], [232.3], 50.0, declared_voltage=230.0)
    assert (ref.source, ref.udin, ref.reason) == ("given", 230.0, "given; the measured level 232.3 V is 101.0 % of it")


@pytest.mark.parametrize("primary, secondary, grid, level, source, udin, rating", [
    (6e3, None, "star", 3.5e3, "rating", 6e3 / SQRT3, "line to line"),  # no secondary: the waveform says the kind
    (6e3, None, "star", 6.1e3, "rating", 10e3 / SQRT3, "phase to ground"),  # √3 · 6 kV: 10.39 kV, snapped to 10
    (6e3, None, "delta", 6.1e3, "rating", 6e3, "line to line"),
    (6e3, 100.0, "delta", 6.1e3, "rating", 6e3, "line to line"),
    (6e3, 100.0 / SQRT3, "delta", 10.2e3, "rating", 10e3, "phase to ground"),  # √3 · 6 kV: 10.39 kV, snapped to 10
    (110e3, 110.0, "single", 63e3, "rating", 110e3 / SQRT3, "line to line"),
    (400.0, 100.0, "star", 231.0, "rating", 230.0, "line to line"),  # an LV rating, snapped to 230/400 V
    (690.0, 100.0, "star", 400.0, "rating", 690.0 / SQRT3, "line to line"),  # named by the file: kept as rated
    (100.0, 100.5, "star", 231.0, "nominal", 230.0, None),  # a primary not above its secondary: no rating
    (6e3, 300.0, "star", 3.5e3, "nominal", 6e3 / SQRT3, None),  # 300 V is no secondary: a ratio
    (6e3, 100.0, "star", 1.0, "measured", 1.0, None),
])
def test_a_rating_kind_comes_from_its_secondary_else_from_the_waveform(primary, secondary, grid, level, source, udin,
                                                                        rating):
    channels = [pq.recording.Channel(n, None, "V", rated_primary=primary, rated_secondary=secondary)
                for n in ("VA", "VB", "VC")]
    ref = inference.reference(grid, channels, [level] * 3, 50.0)
    assert (ref.source, ref.udin, ref.rating) == (source, pytest.approx(udin), rating)


def test_ratings_that_differ_between_channels_are_not_used():
    channels = [pq.recording.Channel(n, None, "V", rated_primary=p, rated_secondary=100.0)
                for n, p in (("VA", 6e3), ("VB", 6e3), ("VC", 6.6e3))]
    ref = inference.reference("star", channels, [3464.0] * 3, 50.0)
    assert ref.source == "nominal" and ref.reason.startswith("the channels' ratings differ; ")


def test_the_measured_level_is_the_median_of_the_first_ten_seconds_whole_windows_without_a_missing_sample():
    fs = 1000.0
    t = np.arange(int(30 * fs)) / fs
    u = 100.0 * np.sqrt(2) * np.sin(2 * np.pi * 50 * t)
    u[int(4 * fs):int(7 * fs)] *= 2.0  # 15 of the first 50 windows at twice the level: the median stays at 100
    u[int(10 * fs):] *= 3.0  # after the first 10 s, not read: 100 windows at 300
    v = u.copy()
    v[int(0.95 * fs)] = np.nan  # one missing sample: its window is left out, the rest counted
    v[int(7 * fs):] *= 2.0  # 40 windows left at 200 V after it, and 9 at 100
    rec = analysis._arrays_recording(np.vstack([u, v, u]), None, fs, 50.0)
    levels = inference.measured_levels(rec, rec.channels[:2])
    assert levels[0] == pytest.approx(100.0, rel=1e-9) and levels[1] == pytest.approx(200.0, rel=1e-9)
    short = analysis._arrays_recording(u[:150], None, fs, 50.0)  # shorter than a window: the RMS of what is there
    assert inference.measured_levels(short, short.channels)[0] == pytest.approx(np.sqrt(np.mean(u[:150] ** 2)))


@pytest.mark.parametrize("n", [8, 16, 1024, 1 << 17, 1 << 19])
@pytest.mark.parametrize("fs", [80.0, 97.3, 3200.0, 10240.0, 1e7])
def test_the_spectrum_band_is_the_bins_rfftfreq_puts_within_it(n, fs):
    """The bins of the line-frequency band, worked out near the band only, are those np.fft.rfftfreq's
    frequencies put within it: the first and last included, none beyond, an empty band empty."""
    from powerquality import recording

    for low, high in ((15.0, 500.0), (15.0, 0.45 * fs), (15.0, 14.0), (0.0, 1e9), (15.0, 36.0), (40.0, 40.0)):
        f = np.fft.rfftfreq(n, 1.0 / fs)
        expected = np.flatnonzero((f >= low) & (f <= high))
        assert recording._band(n, 1.0 / fs, low, high).tolist() == expected.tolist(), (low, high)


@pytest.mark.parametrize("fs, f0", [(3200.0, 50.0), (10240.0, 60.0), (1000.0, 16.7), (4000.0, 400.0),
                                    (1000.0, 449.0), (80.0, 15.5)])
def test_the_waveform_frequency_is_the_strongest_line_within_a_small_share_of_a_bin(fs, f0):
    from powerquality import recording

    t = np.arange(int(8 * fs)) / fs
    x = 300.0 * np.sin(2 * np.pi * f0 * t) + 20.0 * np.sin(2 * np.pi * 3 * f0 * t + 1.0)
    assert recording.waveform_frequency(x.astype(np.float32), fs) == pytest.approx(f0, abs=0.02 * fs / len(t))
    assert recording.waveform_frequency(np.random.default_rng(1).standard_normal(len(t)), fs) is None

"""Mains signalling voltages: the windows' values against the components put in, the line or the four lines
around a frequency, the table's shape, refusals, the command line and EN 50160's row."""

import json
import math

import numpy as np
import pytest

import powerquality as pq
from powerquality import analysis, en50160
from conftest import cli

UDIN = 230.0


def supply(fs, seconds, f0, components, offset=0.0):
    """Star voltages at f0 (Hz) carrying 3 % 5th, 1 % 7th, 0.5 % 11th harmonics, a 0.3 % inter-harmonic at
    2.5 f0 and 0.2 % at 175 Hz, plus `components`: (frequency, percent of Udin, phase scale per phase)."""
    t = offset + np.arange(int(round(seconds * fs))) / fs
    out = []
    for k in range(3):
        th = 2 * np.pi * f0 * t - k * 2 * np.pi / 3
        u = UDIN * np.sqrt(2) * (np.sin(th) + 0.03 * np.sin(5 * th) + 0.01 * np.sin(7 * th) + 0.005 * np.sin(11 * th)
                                 + 0.003 * np.sin(2 * np.pi * 2.5 * f0 * t) + 0.002 * np.sin(2 * np.pi * 175.0 * t))
        for frequency, percent, scale in components:
            u += scale[k] * percent / 100 * UDIN * np.sqrt(2) * np.sin(2 * np.pi * frequency * t + 0.4 + k)
        out.append(u)
    return np.array(out)


ALIKE = (1.0, 1.0, 1.0)


@pytest.mark.parametrize("f0,fs", [(50.0, 10240.0), (60.0, 10240.0), (49.8, 6400.0), (60.3, 12800.0)])
def test_components_read_within_class_a(f0, fs):
    # 2 % and 0.5 % (absolute tolerance, 0.15 % of Udin), and 5 % (5 % of the value), at both frequencies.
    cases = [(316.67, 2.0), (1060.0, 0.5), (2040.0, 5.0)], [(316.67, 0.5), (1060.0, 2.0), (2040.0, 0.8)]
    for components in cases:
        u = supply(fs, 4.0, f0, [(f, p, ALIKE) for f, p in components])
        a = pq.analyze(voltages=u, sample_rate=fs, nominal_frequency=50.0 if f0 < 55 else 60.0, declared_voltage=UDIN,
                       signalling_frequencies=[f for f, _ in components])
        rows = a.signalling[~a.signalling["gap"]]
        assert len(rows) >= 3 * 15  # windows of the 4 s, each frequency
        for frequency, percent in components:
            value = percent / 100 * UDIN
            tolerance = 0.05 * value if percent >= 3.0 else 0.0015 * UDIN
            got = rows[rows["frequency"] == frequency]
            for label in "ABC":
                err = np.max(np.abs(got[label] - value))
                assert err <= tolerance, (f0, frequency, percent, label, err, tolerance)


def test_a_frequency_on_a_line_reads_it_alone_and_between_lines_the_four_around():
    fs, f0 = 10240.0, 50.0
    # 1060 Hz lies on line 212 of 10 cycles at 50 Hz; an inter-harmonic on the next line, 1065 Hz.
    u = supply(fs, 3.0, f0, [(1060.0, 0.5, ALIKE), (1065.0, 0.4, ALIKE)])
    a = pq.analyze(voltages=u, sample_rate=fs, fixed_frequency=f0, declared_voltage=UDIN,
                   signalling_frequencies=[1060.0, 1062.5, 1057.5])
    rows = a.signalling[~a.signalling["gap"]]
    on, above, below = (rows[rows["frequency"] == f]["A"] for f in (1060.0, 1062.5, 1057.5))
    both = math.hypot(1.15, 0.92)
    np.testing.assert_allclose(on, 1.15, rtol=2e-3)  # the 1065 Hz line left out
    np.testing.assert_allclose(above, both, rtol=2e-3)  # lines 211 to 214: both components
    np.testing.assert_allclose(below, both, rtol=2e-3)  # lines 210 to 213: both too


def test_table_rows_follow_the_windows_and_the_frequencies_given():
    fs = 6400.0
    u = supply(fs, 4.0, 50.0, [(316.67, 1.0, (1.0, 2.0, 3.0))])
    a = pq.analyze(voltages=u, sample_rate=fs, declared_voltage=UDIN, signalling_frequencies=[1060, 316.67])
    s, w = a.signalling, a.windowed
    assert s.dtype == analysis.SIGNALLING_DTYPE and len(s) == 2 * len(w)
    np.testing.assert_array_equal(s["frequency"], np.tile([1060.0, 316.67], len(w)))
    np.testing.assert_array_equal(s["time"], np.repeat(w["time"], 2))
    np.testing.assert_array_equal(s["gap"], np.repeat(a.window_gaps, 2))
    np.testing.assert_array_equal(s["flagged"], np.repeat(a.window_flags, 2))
    middle = s[~s["gap"] & (s["frequency"] == 316.67)]
    # Each phase its own value: 2.3, 4.6 and 6.9 V less what the four lines miss at a third of a line (3.9 %).
    for label, volts in zip("ABC", (2.3, 4.6, 6.9)):
        np.testing.assert_allclose(middle[label], 0.961 * volts, rtol=0.01)
    # The 150/180-cycle values: the root mean square of their windows.
    short = a.signalling_3s
    assert set(short["frequency"]) == {1060.0, 316.67}
    whole = short[short["complete"] & (short["frequency"] == 316.67)]
    assert len(whole) and np.all(whole["windowCount"] == 15)
    first = whole[0]
    inside = s[(s["frequency"] == 316.67) & (s["time"] > first["startTime"]) & (s["time"] <= first["endTime"] + 1e-9)]
    assert len(inside) == 15
    assert first["A"] == pytest.approx(np.sqrt(np.mean(inside["A"] ** 2)), rel=1e-12)


def leaves(records, prefix=""):
    """Each field of the records, nested ones too, as bytes: bit for bit, but without the padding between
    fields, which carries no value."""
    out = {}
    for name in records.dtype.names:
        column = records[name]
        out.update(leaves(column, prefix + name + ".") if column.dtype.names else {prefix + name: column.tobytes()})
    return out


def test_without_frequencies_nothing_changes_and_a_window_over_missing_samples_reads_nan():
    fs = 6400.0
    u = supply(fs, 3.0, 50.0, [(316.67, 1.0, ALIKE)])
    u[:, int(1.5 * fs):int(1.5 * fs) + 3] = np.nan
    plain = pq.analyze(voltages=u, sample_rate=fs)
    assert plain.signalling is None and "signalling" not in plain.tables()
    one = pq.analyze(voltages=u, sample_rate=fs, signalling_frequencies=[316.67])
    assert leaves(plain.windowed) == leaves(one.windowed)
    assert set(plain.harmonics) == set(one.harmonics)
    for name in plain.harmonics:
        np.testing.assert_array_equal(plain.harmonics[name], one.harmonics[name])
    s = one.signalling
    hit = (s["time"] > 1.5) & (s["time"] - 0.2 < 1.5)
    assert hit.any() and np.all(np.isnan(s["A"][hit])) and np.all(s["gap"][hit])
    assert np.all(np.isfinite(s["A"][~s["gap"]]))
    # One phase: B and C are not measured.
    single = pq.analyze(voltages=u[0], sample_rate=fs, signalling_frequencies=[316.67])
    assert np.all(np.isnan(single.signalling["B"])) and np.all(np.isnan(single.signalling["C"]))
    assert np.all(np.isfinite(single.signalling["A"][~single.signalling["gap"]])) and np.isnan(single.signalling["A"]).any()


@pytest.mark.parametrize("given,message", [
    ([100.0], "signalling frequency 100.0: give 110 to 3000 Hz"),
    ([3000.5], "signalling frequency 3000.5: give 110 to 3000 Hz"),
    ([float("nan")], "signalling frequency nan: give 110 to 3000 Hz"),
    ([float("inf")], "signalling frequency inf: give 110 to 3000 Hz"),
    (["x"], "signalling frequency 'x' is not a number"),
    ([2600.0], "signalling frequency 2600 Hz is not below half the sample rate (2500 Hz)"),
    ([316.67, 1060.0, 316.67], "signalling frequency 316.67 Hz is given twice"),
])
def test_bad_frequencies_are_refused_naming_the_value(given, message):
    u = supply(5000.0, 1.0, 50.0, [])
    with pytest.raises(ValueError) as e:
        pq.analyze(voltages=u, sample_rate=5000.0, signalling_frequencies=given)
    assert str(e.value) == message


def test_command_line_writes_the_tables_and_refuses_in_one_line(tmp_path):
    fs = 6400.0
    u = supply(fs, 7.0, 50.0, [(316.67, 2.0, ALIKE)])  # the first 3-s interval has the tracker's start
    from powerquality import comtrade

    path = comtrade.write(str(tmp_path / "r"), {"V" + p: u[k] for k, p in enumerate("ABC")}, fs,
                          phases={"V" + p: p for p in "ABC"})
    out = tmp_path / "out"
    done = cli("analyze", path, "--out", out, "--quiet", "--signalling", "316.67, 1060",
               "--assessment", tmp_path / "a.json")
    assert done.returncode == 0, done.stderr
    lines = (out / "signalling.csv").read_text().splitlines()
    assert lines[0].split(",")[:7] == ["seconds", "frequency", "A", "B", "C", "flagged", "gap"]
    assert (len(lines) - 1) % 2 == 0 and len(lines) - 1 >= 2 * 30  # two rows per window, of some 34 windows
    assert (out / "signalling_3s.csv").exists()
    rows = [r for r in json.loads((tmp_path / "a.json").read_text())["rows"] if r["key"] == "signalling"]
    assert [(r["frequency"], r["verdict"]) for r in rows] == [(316.67, "pass"), (1060.0, "pass")]
    for bad in ("100", "316.67,nan", "abc"):
        done = cli("analyze", path, "--quiet", "--signalling", bad)
        assert done.returncode == 2
        assert done.stderr.strip().splitlines()[-1].startswith("python3 -m powerquality analyze: error: argument "
                                                               "--signalling: signalling frequency")
        assert "Traceback" not in done.stderr


def test_en50160_row_judges_the_3s_values_against_the_curve():
    # A 3-s table of two frequencies: 316.67 Hz at 9.5 % of Un in 2 of 300 intervals (99.33 % within: pass),
    # 750 Hz at 6.5 % (above the curve's 6.38 %) in 4 of them (98.67 %: fail); one flagged interval left out.
    n = 300
    rows = np.zeros(2 * n, analysis.SIGNALLING_3S_DTYPE)
    rows["frequency"] = np.tile([316.67, 750.0], n)
    rows["complete"] = True
    rows["A"] = rows["B"] = rows["C"] = 0.02 * UDIN
    low = rows[0::2]["A"]
    low[:2] = 0.095 * UDIN
    rows["A"][0::2] = low
    high = rows[1::2]["B"]
    high[:4] = 0.065 * UDIN
    rows["B"][1::2] = high
    rows["flagged"][-2:] = True
    result = en50160.assess({"signalling": rows}, nominal_voltage=UDIN)
    found = [r for r in result["rows"] if r["key"] == "signalling"]
    assert [(r["frequency"], r["verdict"], r["phase"], r["intervals"], r["flagged"]) for r in found] == \
        [(316.67, "pass", "A", n - 1, 1), (750.0, "fail", "B", n - 1, 1)]
    assert found[0]["share"] == pytest.approx(100 * (n - 3) / (n - 1))
    assert found[1]["high"] == pytest.approx(6.38, abs=0.005)
    assert found[0]["condition"] == "316.67 Hz ≤ 9 % of Un (20.7 V)"
    # Without signalling values there is no such row.
    assert not [r for r in en50160.assess({}, nominal_voltage=UDIN)["rows"] if r["key"] == "signalling"]


def test_en50160_curve_points():
    assert [round(en50160.signalling_limit(f), 3) for f in (100.0, 316.67, 500.0, 1000.0, 1060.0, 3000.0)] == \
        [9.0, 9.0, 9.0, 5.0, 5.0, 5.0]
    assert en50160.signalling_limit(707.1068) == pytest.approx(math.sqrt(45.0), rel=1e-6)  # the geometric middle
    assert math.isnan(en50160.signalling_limit(50.0))

"""The conformance battery's quick run passes whole, its verdicts and exit status follow the rows, and the
signal generator gives the truth it claims."""
import math

import numpy as np
import pytest

import powerquality
from powerquality import conformance, signals
from powerquality.__main__ import main


@pytest.fixture(scope="module")
def quick_rows():
    return conformance.run(quick=True)


def test_every_check_of_the_quick_run_passes_and_each_parameter_has_some(quick_rows):
    failed = [line for line, r in zip(conformance.lines(quick_rows)[1:], quick_rows) if r.verdict == "FAIL"]
    assert not failed, "\n".join(failed)
    counts = conformance.counts(quick_rows)
    assert set(counts) == {name for name, _ in conformance.TESTS}
    for parameter, verdicts in counts.items():
        assert verdicts.get("pass", 0) + verdicts.get("skip", 0) >= 1, parameter
    known = [r for r in quick_rows if r.verdict == "known"]
    assert all(r.note for r in known)


def test_a_wrong_expected_value_fails_its_row_and_the_command_exits_1(monkeypatch, capsys, tmp_path):
    def wrong(quick):
        rows = conformance.frequency_tests(quick)[:1]
        rows[0].expected += 0.011  # just beyond the 10 mHz
        return rows

    monkeypatch.setattr(conformance, "TESTS", [("frequency", wrong), ("unbalance", conformance.unbalance_tests)])
    report = tmp_path / "c.html"
    assert main(["conformance", "--quick", "--quiet", "--report", str(report)]) == 1
    out = capsys.readouterr().out
    assert "FAIL" in out and "1 failed" in out
    page = report.read_text(encoding="utf-8")
    assert "<tr class='FAIL'>" in page and "commit" in page
    monkeypatch.setattr(conformance, "TESTS", [("unbalance", conformance.unbalance_tests)])
    assert main(["conformance", "--quick", "--quiet"]) == 0


@pytest.mark.parametrize("measured, tolerance, verdict", [
    (1.0, 0.0, "pass"), (1.1, 0.1, "pass"), (1.1000001, 0.1, "FAIL"), (0.8999999, 0.1, "FAIL"),
    (math.nan, 1.0, "FAIL"), (math.inf, 1.0, "FAIL")])
def test_a_row_passes_within_its_tolerance_on_either_side_only(measured, tolerance, verdict):
    assert conformance.Row("frequency", "x", 1.0, measured, tolerance).judge().verdict == verdict


def test_a_known_failure_keeps_its_row_with_the_reason_and_does_not_fail_the_run(monkeypatch):
    monkeypatch.setitem(conformance.KNOWN_FAILURES, ("magnitude", "odd case"), "because")
    row = conformance.Row("magnitude", "an odd case", 1.0, 2.0, 0.1).judge()
    assert (row.verdict, row.note) == ("known", "because")
    assert conformance.failed([row]) == []
    assert conformance.Row("magnitude", "an odd case", 1.0, 1.0, 0.1).judge().verdict == "pass"


def test_the_report_path_is_checked_before_the_run(tmp_path, capsys):
    with pytest.raises(SystemExit) as e:
        main(["conformance", "--quick", "--report", str(tmp_path / "no" / "c.html")])
    assert e.value.code == 2 and "--report" in capsys.readouterr().err


def test_the_supply_holds_its_truth():
    s = signals.supply(1.0, 12800.0, magnitudes=[100.0, 96.0, 102.0], harmonics={3: (5.0, 30.0)},
                       interharmonics={175.0: 1.0}, signalling={316.67: 2.0})
    u = s.voltages
    assert u.shape == (3, 12800)
    for k in range(3):  # whole cycles of every component but 316.67 Hz: within a thousandth
        assert np.sqrt(np.mean(u[k] ** 2)) == pytest.approx(s.truth["rms"][k], rel=1e-3)
    spectrum = np.abs(np.fft.rfft(u[1])) / len(u[1]) * 2 / np.sqrt(2)
    # the 316.67 Hz tone, between lines, leaks some millivolts into them
    assert spectrum[50] == pytest.approx(0.96 * 230.0, abs=0.01)
    assert spectrum[150] == pytest.approx(11.5, abs=0.01) and spectrum[175] == pytest.approx(2.3, abs=0.01)
    angles = np.degrees(np.angle(np.fft.rfft(u, axis=1)[:, 50]))
    assert ((angles - angles[0] + 180) % 360) - 180 == pytest.approx([0.0, -120.0, 120.0], abs=0.01)
    assert s.truth["u2"] == pytest.approx(signals.unbalance([100, 96, 102], [0, -120, 120])[0])


def test_frequency_steps_and_ramps_change_the_cycles_where_they_should():
    s = signals.supply(3.0, 10000.0, phases=1, frequency=[(0.0, 50.0), (1.0, 50.0), (1.0, 51.0), (2.0, 52.0)])
    crossings = np.flatnonzero((s.voltages[0][:-1] < 0) & (s.voltages[0][1:] >= 0)) / 10000.0
    periods = np.diff(crossings)
    assert 1 / periods[(crossings[1:] < 0.95)].mean() == pytest.approx(50.0, abs=0.02)
    assert 1 / periods[(crossings[:-1] > 1.0) & (crossings[1:] < 1.1)].mean() == pytest.approx(51.05, abs=0.05)
    assert 1 / periods[(crossings[:-1] > 2.05)].mean() == pytest.approx(52.0, abs=0.02)


@pytest.mark.parametrize("angle", [0.0, 90.0, 270.0])
def test_a_change_starts_at_its_phase_angle_of_phase_a_and_ends_after_its_duration(angle):
    fs = 10000.0
    s = signals.supply(1.0, fs, changes=[signals.Change(0.3, 50.0, 0.2, "A", start_angle=angle)])
    start = s.truth["changes"][0].start
    assert 0.3 <= start < 0.3 + 0.02 + 1 / fs
    assert (start * 50.0 * 360.0) % 360.0 == pytest.approx(angle, abs=360 * 50 / fs)
    k = int(round(start * fs))
    peak = 230 * np.sqrt(2)
    assert np.abs(s.voltages[0][k:k + 2000]).max() <= 0.5 * peak + 1e-9
    assert np.abs(s.voltages[0][k + 2000:k + 2200]).max() > 0.99 * peak
    assert np.abs(s.voltages[1][k:k + 2000]).max() > 0.99 * peak  # other phases untouched


def test_missing_samples_are_nan_on_every_phase_and_bad_arguments_are_refused():
    s = signals.supply(1.0, 1000.0, missing=[(0.5, 0.01)])
    assert np.isnan(s.voltages[:, 500:510]).all() and not np.isnan(s.voltages[:, 510]).any()
    assert np.isnan(s.voltages).sum() == 30
    with pytest.raises(ValueError, match="phases 2"):
        signals.supply(1.0, phases=2)
    with pytest.raises(ValueError, match="magnitudes"):
        signals.supply(1.0, magnitudes=[100.0, 100.0])


def test_the_generator_feeds_analyze_as_users_do():
    s = signals.supply(4.0, 6400.0, level=95.0)
    a = powerquality.analyze(voltages=s.voltages, sample_rate=s.sample_rate, declared_voltage=230.0)
    assert float(np.median(a.phase_rows(0)["rmsVoltage"])) == pytest.approx(0.95 * 230.0, abs=0.05)


def test_inter_harmonics_are_measured_when_asked_for_and_nan_otherwise():
    s = signals.supply(2.0, 6400.0, interharmonics={175.0: 1.0})
    for on in (False, True):
        a = powerquality.analyze(voltages=s.voltages, sample_rate=s.sample_rate, declared_voltage=230.0,
                                 inter_harmonics=on)
        keep = ~a.window_gaps
        values = a.harmonics["interHarmonicsVoltage"][keep, 0, 3]
        if on:
            assert values == pytest.approx(2.3, rel=0.01)
            assert np.all(a.harmonics["interHarmonicsVoltage"][keep, 0, 5] < 0.01)
        else:
            assert np.isnan(values).all()


@pytest.mark.parametrize("hz, frequency, nominal, share", [
    (1060.0, 50.0, 50.0, 1.0),                   # on line 212: that line alone
    (316.67, 42.5, 50.0, 0.94907),               # 74.51 lines: about midway, 5.1 % low
    (317.5, 50.0, 50.0, 0.94902),                # 63.5 lines: midway, the four lines keep 90.06 % of the square
    (316.67, 50.0, 50.0, math.sqrt(0.92482)),    # 63.33 lines: a third off
    (2000.0, 60.0, 60.0, 1.0),                   # line 400 of a 12-cycle window
])
def test_the_signalling_voltage_expected_is_the_methods_share_of_the_tone(hz, frequency, nominal, share):
    assert conformance._signalling_share(hz, frequency, nominal) == pytest.approx(share, abs=2e-5)


def test_a_flicker_sideband_on_a_line_of_the_subgroup_counts_whole_and_one_outside_nothing():
    # a 20 Hz sine at 1 % on 50 Hz: sidebands of 230 V x 0.005 / 2 at 70 Hz (line 14, in the subgroup between
    # orders 1 and 2, lines 12 to 18) and at 30 Hz (line 6, outside)
    flicker = {"modulation": "sinusoidal", "frequency": 20.0, "dv": 1.0}
    assert conformance._sideband_power(50.0, 1, flicker, 230.0) == pytest.approx((230.0 * 0.005 / 2) ** 2, rel=1e-9)
    assert conformance._sideband_power(50.0, 3, flicker, 230.0) == pytest.approx(0.0, abs=1e-20)

"""Currents as IEC 61000-4-30 Ed. 3 measures them: magnitude, harmonic and inter-harmonic current subgroups and
current unbalance over 10/12-cycle windows, and their 150/180-cycle, 10-minute and 2-hour aggregates.

A synthesised three-phase load current (the fundamental unbalanced in magnitude and angle, 20 % 5th, 10 % 7th,
1 % 11th harmonic, 5 % inter-harmonic at 3.5 f and 1 % at 7.5 f) is read against these Class A tolerances:

- current magnitude: within 0.1 % of full scale, full scale taken as the nominal current (10 A here: 0.01 A),
  which is also well within 0.5 % of each reading;
- harmonic and inter-harmonic current subgroups (as IEC 61000-4-7 Class I holds them): within 5 % of the
  reading when it is at least 3 % of the nominal current, else within 0.15 % of the nominal current;
- current unbalance u2 = |I2| / |I1| and u0 = |I0| / |I1| of the fundamental phasors: within 0.15 percentage
  points (as for the voltages).

The expected values come from the components put in, the unbalance from their phasors, not from the library.
"""

import numpy as np
import pytest

import powerquality as pq
from powerquality import analysis
from powerquality.recording import Channel, Recording

INOM = 10.0
AMPLITUDES = (10.0, 9.4, 10.7)  # fundamental RMS per phase, amperes
SHIFTS = (0.0, 4.0, -3.0)  # degrees off the balanced angles
LAG = 30.0  # degrees behind the voltage
# (multiple of f, share of the phase's fundamental, inter-harmonic subgroup or harmonic order)
HARMONICS = ((5, 0.20), (7, 0.10), (11, 0.01))
INTER = ((3.5, 0.05, 3), (7.5, 0.01, 7))


def angles():
    return [np.deg2rad(-k * 120.0 - LAG + SHIFTS[k]) for k in range(3)]


def currents(t, f0):
    out = []
    for k, (amp, phi) in enumerate(zip(AMPLITUDES, angles())):
        th = 2 * np.pi * f0 * t
        i = np.sin(th + phi)
        for order, share in HARMONICS:
            i += share * np.sin(order * (th - k * 2 * np.pi / 3) + 0.3)
        for multiple, share, _ in INTER:
            i += share * np.sin(multiple * th + 0.7 * k)
        out.append(amp * np.sqrt(2) * i)
    return np.array(out)


def voltages(t, f0):
    return np.array([230 * np.sqrt(2) * (np.sin(2 * np.pi * f0 * t - k * 2 * np.pi / 3)
                                         + 0.03 * np.sin(5 * (2 * np.pi * f0 * t - k * 2 * np.pi / 3)))
                     for k in range(3)])


def unbalance():
    """(u2, u0) in percent from the fundamental phasors put in."""
    i = np.array([amp * np.exp(1j * phi) for amp, phi in zip(AMPLITUDES, angles())])
    a = np.exp(2j * np.pi / 3)
    i1 = abs(i[0] + a * i[1] + a * a * i[2]) / 3
    i2 = abs(i[0] + a * a * i[1] + a * i[2]) / 3
    i0 = abs(i.sum()) / 3
    return 100 * i2 / i1, 100 * i0 / i1


def expected():
    """name -> (per-phase values, absolute tolerances) of the quantities read."""
    rms = [amp * np.sqrt(1 + sum(s * s for _, s in HARMONICS) + sum(s * s for _, s, _ in INTER))
           for amp in AMPLITUDES]
    out = {"rmsCurrent": (rms, [0.001 * INOM] * 3)}

    def subgroup(value):
        return value, [0.05 * v if v >= 0.03 * INOM else 0.0015 * INOM for v in value]

    out["harmonicCurrent1"] = subgroup(list(AMPLITUDES))
    for order, share in HARMONICS:
        out[f"harmonicCurrent{order}"] = subgroup([share * amp for amp in AMPLITUDES])
    for _, share, group in INTER:
        out[f"interHarmonicCurrent{group}"] = subgroup([share * amp for amp in AMPLITUDES])
    # Subgroups without a component read (next to) nothing.
    out["harmonicCurrent3"] = subgroup([0.0] * 3)
    out["interHarmonicCurrent5"] = subgroup([0.0] * 3)
    return out


def recording(f0, fs, seconds, start=None):
    t = np.arange(int(round(seconds * fs))) / fs
    u, i = voltages(t, f0), currents(t, f0)
    channels = [Channel(f"U{p}", u[k], "V", "voltage", p) for k, p in enumerate("ABC")] + \
        [Channel(f"I{p}", i[k], "A", "current", p) for k, p in enumerate("ABC")]
    return Recording(channels, fs, 50.0 if f0 < 55 else 60.0, start, "test")


def window_value(a, name, k):
    """The windows' own value of an aggregated quantity for phase k."""
    if name == "rmsCurrent":
        return a.windowed["phases"][:, k]["rmsCurrent"]
    array = a.harmonics["interHarmonicsCurrent" if name.startswith("inter") else "harmonicsCurrent"]
    return array[:, k, int(name[name.index("Current") + len("Current"):])]


CASES = [(50.0, 10240.0), (60.0, 10240.0), (49.5, 6400.0), (60.4, 12800.0)]


@pytest.mark.parametrize("f0,fs", CASES)
def test_windows_and_aggregates_read_within_class_a(f0, fs):
    # The recorder's clock starts 10 s before a whole 10 minutes: a 10-minute interval ends inside the data.
    a = pq.analyze(recording(f0, fs, 14.0, "07/12/2026,00:09:50.000000"))
    assert [c for c in a.currents] == ["IA", "IB", "IC"]
    good = ~a.window_gaps
    assert good.sum() >= 50
    u2, u0 = unbalance()
    assert 3.0 < u2 < 6.0 and 2.0 < u0 < 6.0  # both sequences well away from 0
    for name, (values, tolerances) in expected().items():
        for k, label in enumerate("ABC"):
            got = window_value(a, name, k)[good]
            assert np.max(np.abs(got - values[k])) <= tolerances[k], (f0, name, label)
            for key in ("3s", "10min"):
                rows = a.aggregated[key]
                rows = rows[~rows["gap"]]
                assert len(rows) >= (3 if key == "3s" else 1)
                err = np.max(np.abs(rows[f"{label}.{name}"] - values[k]))
                assert err <= tolerances[k], (f0, key, name, label, err)
    sc = a.windowed["symmetricalComponents"][good]
    assert np.max(np.abs(sc[:, 2]["currentUnbalance"] - u2)) <= 0.15
    assert np.max(np.abs(sc[:, 0]["currentUnbalance"] - u0)) <= 0.15
    for key in ("3s", "10min", "2h"):
        rows = a.aggregated[key]
        rows = rows[~rows["gap"]]
        assert np.max(np.abs(rows["u2Current"] - u2), initial=0.0) <= 0.15, key
        assert np.max(np.abs(rows["u0Current"] - u0), initial=0.0) <= 0.15, key
    assert len(a.aggregated["10min"]) >= 1 and len(a.aggregated["2h"]) >= 1


def test_an_aggregate_is_the_root_mean_square_of_its_windows_in_its_own_column():
    # A load that changes inside each interval: wrong columns, phases or orders would not match.
    fs, f0 = 6400.0, 50.0
    rec = recording(f0, fs, 7.0)
    n = len(rec.channels[3].values)
    ramp = 1.0 + 0.5 * np.arange(n) / n
    for ch, k in zip(rec.channels[3:], range(3)):
        ch.values = ch.values * ramp * (1.0 + 0.1 * k)
    a = pq.analyze(rec)
    rows = a.aggregated["3s"]
    starts = a.windowed["firstSampleIndex"] / fs
    assert len(rows) >= 2
    for row in rows:
        inside = (starts >= row["startTime"] - 1e-9) & (a.windowed["time"] <= row["endTime"] + 1e-9)
        assert inside.sum() == row["windowCount"]
        for k, label in enumerate("ABC"):
            for order in (1, 5, 7, 11, 50):
                w = a.harmonics["harmonicsCurrent"][inside, k, order].astype(np.float64)
                assert row[f"{label}.harmonicCurrent{order}"] == pytest.approx(np.sqrt(np.mean(w * w)), rel=1e-9)
            for group in (0, 3, 7, 49):
                w = a.harmonics["interHarmonicsCurrent"][inside, k, group].astype(np.float64)
                assert row[f"{label}.interHarmonicCurrent{group}"] == pytest.approx(np.sqrt(np.mean(w * w)),
                                                                                    rel=1e-9, abs=1e-12)
        for name, slot in (("u2Current", 2), ("u0Current", 0)):
            w = a.windowed["symmetricalComponents"][inside, slot]["currentUnbalance"]
            assert row[name] == pytest.approx(np.sqrt(np.mean(w * w)), rel=1e-9)


def test_the_columns_follow_the_existing_ones_and_only_with_currents():
    fs = 6400.0
    rec = recording(50.0, fs, 4.0)
    a = pq.analyze(rec)
    with_currents = a.aggregated["3s"].dtype.names
    # The inter-harmonic subgroups are computed for the currents' arrays.
    assert np.nanmax(a.harmonics["interHarmonicsCurrent"][:, 0, 3]) > 0.4
    without = pq.analyze(voltages=np.array([c.values for c in rec.channels[:3]]), sample_rate=fs,
                         nominal_frequency=50.0).aggregated["3s"].dtype.names
    assert not any("harmonicCurrent" in n or n.endswith("Current") and n.startswith("u") for n in without)
    names = list(with_currents)
    first = names.index("A.harmonicCurrent1")
    assert names[:first] == [n for n in names if "armonicCurrent" not in n and not n.startswith("u2C")
                             and not n.startswith("u0C")]
    assert names[first - 1] == "C.overDeviation"
    per_phase = [f"harmonicCurrent{n}" for n in range(1, 51)] + [f"interHarmonicCurrent{n}" for n in range(50)]
    assert names[first:] == [f"{p}.{q}" for p in "ABC" for q in per_phase] + ["u2Current", "u0Current"]
    # One phase: no prefix, no unbalance.
    single = pq.analyze(voltages=rec.channels[0].values, currents=rec.channels[3].values, sample_rate=fs,
                        nominal_frequency=50.0).aggregated["3s"]
    assert single.dtype.names[-100:] == tuple(per_phase)
    assert single["harmonicCurrent5"][0] == pytest.approx(0.2 * AMPLITUDES[0], rel=0.05)


def test_blocks_without_the_windows_arrays_give_the_same_values():
    rec = recording(49.5, 6400.0, 6.0)
    whole = pq.analyze(rec)
    names = [n for n in whole.aggregated["3s"].dtype.names if "Current" in n]
    # Blocks without the windows' arrays: the same aggregates, and the arrays fetched for them are not handed on.
    for arrays in (False, ("harmonicsVoltage",)):
        parts, seen = [], set()
        for b in analysis.stream(rec, arrays=arrays):
            seen |= set(b.harmonics or ())
            if b.aggregated is not None:
                parts.append(b.aggregated["3s"])
        assert seen == set(arrays or ())
        rows = np.concatenate(parts)
        for n in names:
            assert rows[n].tobytes() == whole.aggregated["3s"][n].tobytes(), n


@pytest.mark.parametrize("with_currents, inter_harmonics, computed", [
    (False, False, ()),
    (False, True, ("thdInterVoltage",)),
    # Currents switch the module's inter-harmonics on for their subgroups: what it computes is kept.
    (True, False, ("thdInterVoltage", "thdInterCurrent")),
    (True, True, ("thdInterVoltage", "thdInterCurrent")),
])
def test_inter_harmonic_distortion_is_kept_where_computed_and_nan_where_not(with_currents, inter_harmonics, computed):
    # A 175 Hz inter-harmonic of 1 % in the voltages; the load current's of 5 % and 1 % (see currents()).
    fs, f0 = 6400.0, 50.0
    t = np.arange(int(3.0 * fs)) / fs
    u = np.vstack([230.0 * np.sqrt(2) * (np.sin(2 * np.pi * f0 * t - k * 2 * np.pi / 3) +
                                         0.01 * np.sin(2 * np.pi * 175.0 * t)) for k in range(3)])
    a = pq.analyze(voltages=u, currents=currents(t, f0) if with_currents else None, sample_rate=fs,
                   declared_voltage=230.0, inter_harmonics=inter_harmonics)
    phases = a.windowed["phases"][~a.window_gaps]
    expected = {"thdInterVoltage": 1.0, "thdInterCurrent": 100 * np.hypot(0.05, 0.01)}
    for name in ("thdInterVoltage", "thdInterCurrent", "thdInterLineToLine"):
        for part in phases.dtype[name].names:
            values = phases[name][part][:, :3]
            if name in computed:
                assert np.isfinite(values).all(), (name, part)
            else:
                assert np.isnan(values).all(), (name, part)  # not measured, never 0
        if name in computed:
            assert np.median(phases[name]["thd"][:, 0]) == pytest.approx(expected[name], rel=0.05), name


def test_missing_current_samples_leave_their_windows_out():
    fs = 6400.0
    rec = recording(50.0, fs, 7.0)
    rec.channels[4].values = rec.channels[4].values.copy()
    rec.channels[4].values[int(1.1 * fs):int(1.2 * fs)] = np.nan
    a = pq.analyze(rec)
    rows = a.aggregated["3s"]
    assert rows["gap"][0] and not rows["gap"][1:].any()
    values, tolerances = expected()["harmonicCurrent5"]
    assert abs(rows["B.harmonicCurrent5"][0] - values[1]) <= tolerances[1]
    assert rows["windowCount"][0] == 15

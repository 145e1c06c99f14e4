"""Every result of the command line and of ``analyze`` pinned bit for bit on three synthesised recordings, so that
work on speed (the stages' structure, the bindings, the writers) cannot move a digit unseen.

Each table is reduced to a digest of its bytes taken field by field (so that the padding between a record's
fields does not count), each CSV file and the summary to a digest of their text. A digest that changes says which
table moved; when a change of results is meant, print the new digests with

    PQ_PRINT_PINNED=1 PYTHONPATH=build/python /usr/bin/python3 -m pytest -q -s python/tests/test_pinned.py

and paste them below. The recordings are made with numpy's sine and written as 16-bit COMTRADE, so the digests
hold for this machine's numpy and C library; another platform may need its own.
"""

import hashlib
import io
import os
import contextlib

import numpy as np
import pytest

import powerquality as pq
from powerquality import comtrade, signals
from powerquality.__main__ import main

Change = signals.Change


def _supply(seconds, fs, missing=()):
    return signals.supply(seconds, fs, frequency=[(0.0, 49.97), (seconds / 2, 50.04), (seconds, 49.99)],
                          harmonics={3: 1.0, 5: 3.0, 7: (1.5, 30.0), 11: 0.8}, flicker={"frequency": 8.8, "dv": 1.0},
                          changes=[Change(9.0, 60.0, 0.12, "A"), Change(17.0, 115.0, 0.2, "BC"),
                                   Change(26.0, 94.0, None, "ABC", 0.05), Change(31.0, 0.0, 0.05, "ABC")],
                          missing=missing)


def _write(base, seconds, fs, currents):
    s = _supply(seconds, fs)
    channels = {"V" + p: s.voltages[k] for k, p in enumerate("ABC")}
    phases, units = {"V" + p: p for p in "ABC"}, {"V" + p: "V" for p in "ABC"}
    if currents:
        t = np.arange(s.voltages.shape[1]) / fs
        for k, p in enumerate("ABC"):
            angle = 2 * np.pi * 50.0 * t - k * 2 * np.pi / 3 - 0.4
            channels["I" + p] = 10 * np.sqrt(2) * (np.sin(angle) + 0.2 * np.sin(5 * angle) + 0.1 * np.sin(7 * angle))
            phases["I" + p], units["I" + p] = p, "A"
    # Twenty seconds before a 10-minute tick, so that intervals of every length close inside.
    return comtrade.write(str(base), channels, fs, phases=phases, units=units, start="01/01/2024,09:59:40.000000")


def _digest_fields(h, array):
    if array.dtype.names:
        for name in array.dtype.names:
            h.update(name.encode())
            _digest_fields(h, array[name])
    else:
        h.update(str(array.dtype).encode() + str(array.shape).encode())
        h.update(np.ascontiguousarray(array).tobytes())


def digest(value):
    h = hashlib.sha256()
    if isinstance(value, str):
        h.update(value.encode())
    elif isinstance(value, dict):
        for key in sorted(value):
            h.update(str(key).encode())
            h.update(digest(value[key]).encode())
    elif value is None:
        h.update(b"None")
    else:
        _digest_fields(h, np.asarray(value))
    return h.hexdigest()[:16]


def _analysis_digests(a):
    out = {name: digest(table) for name, table in a.tables().items()}
    out["ten_second"] = digest(getattr(a, "ten_second", None))
    out["harmonics"] = digest(a.harmonics)
    out["flags"] = digest({"flags": a.window_flags, "gaps": a.window_gaps})
    out["flicker meter"] = digest({k: v for k, v in a.flicker.items() if k not in ("pst", "plt")})
    return out


def _cli_digests(cfg, out, tmp_path):
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        assert main(["analyze", cfg, "--out", str(out)]) == 0
    summary = "\n".join(line.replace(str(tmp_path), "TMP") for line in text.getvalue().splitlines()
                        if not line.startswith("wrote "))
    digests = {"summary": digest(summary)}
    for name in sorted(os.listdir(out)):
        with open(os.path.join(out, name)) as f:
            digests[name] = digest(f.read())
    return digests


PINNED = {
    'V+I 10240 Hz': {
        'cli summary': '7643a08a7251ea1c', 'cli aggregated_10min.csv': '6e1f79a0ec15ac67',
        'cli aggregated_2h.csv': 'd8a952f4bd9ddf35', 'cli aggregated_3s.csv': 'ff27ef80b7ccef5c',
        'cli events.csv': '0c64ec1de00fb882', 'cli flicker.csv': 'e96eb0485fc69ed4',
        'cli frequency_10s.csv': '62e2890f3b3156d3', 'cli rvc.csv': '29026be4465f7e70',
        'period': '0f2723ee749ad621', 'frequency': '8e7f955f6d1e6b47',
        'rvc': '52e45dbe412bea26', 'events': '92ef420fe6ee5ddc',
        'frequency_10s': 'a8def763151045bf', 'windowed': '4a58ca3a0fa617c0',
        'aggregated_3s': '2b25081c994e7372', 'aggregated_10min': 'e1d220c8ede43a0c',
        'aggregated_2h': 'b6ecdba81f34cffa', 'flicker': '0298f507b6dce413',
        'ten_second': '91881a534134d3a5', 'harmonics': 'eae0f28974c2e470',
        'flags': '524b95a46d5911d6', 'flicker meter': 'd3724ae08f2a34d9',
    },
    'U 3200 Hz': {
        'cli summary': '1cc72b7d238600e7', 'cli aggregated_10min.csv': 'ce4042530cbc6e81',
        'cli aggregated_2h.csv': '19bc568697444b7b', 'cli aggregated_3s.csv': '2cc5d253ccef7b88',
        'cli events.csv': '7d90d1b6a6157632', 'cli flicker.csv': '86835cad59bc6503',
        'cli frequency_10s.csv': 'd47e3325a44ca7f7', 'cli rvc.csv': 'd3fe26998ee6feba',
        'period': '6e9e4d8f3375260d', 'frequency': '7a0c4282ae753087',
        'rvc': '782e813c86a71ae6', 'events': '3656c20c165a79aa',
        'frequency_10s': '27c97904c912f3c2', 'windowed': 'c742c25ae3f1405a',
        'aggregated_3s': '53fe6c1b15de7cb6', 'aggregated_10min': '75c8f324658dae6f',
        'aggregated_2h': 'f1faa73c0cf95cce', 'flicker': 'f77e0f42cae6e415',
        'ten_second': '802076daaaa128a5', 'harmonics': '1d1c3866aac3aaa8',
        'flags': '7881720185e4a5cf', 'flicker meter': 'b66d7f3497473501',
    },
}

PINNED_GAP = {
    'period': '78eb87e7104a53ae', 'frequency': '31295f6e9c83754c',
    'rvc': '1688bfcf2cfe45b9', 'events': '4d93f0239520170f',
    'frequency_10s': 'ed2b0205b9668f44', 'windowed': 'a72fd7f18745a92b',
    'aggregated_3s': '20e9322045f62990', 'aggregated_10min': 'dd641a0f849f66c6',
    'aggregated_2h': '03daa552c14d7af9', 'flicker': 'a1a458bb056b22c8',
    'signalling': 'ee28036a41a37cd7', 'signalling_3s': 'd6173340e0d5732a',
    'ten_second': '1b06bdfe0b176c62', 'harmonics': '8f5ca68989432c6d',
    'flags': 'b18b971ed11311d2', 'flicker meter': '1db5c5595e6fdc70',
}


def _check(got, pinned, what):
    if os.environ.get("PQ_PRINT_PINNED"):
        print(f"\n{what}: {got!r}")
        return
    moved = sorted(k for k in set(got) | set(pinned) if got.get(k) != pinned.get(k))
    assert not moved, f"{what}: these results moved: {moved}"


def _cli(tmp_path, fs, currents):
    cfg = _write(tmp_path / "rec", 40.0, fs, currents)
    return cfg, {"cli " + k: v for k, v in _cli_digests(cfg, tmp_path / "out", tmp_path).items()}


@pytest.mark.parametrize("case, fs, currents", [("U 3200 Hz", 3200.0, False), ("V+I 10240 Hz", 10240.0, True)])
def test_command_line_and_analyze_give_the_pinned_results(tmp_path, case, fs, currents):
    cfg, got = _cli(tmp_path, fs, currents)
    a = pq.analyze(cfg)
    # What the digests cover: two 10-minute intervals (the tick inside), Pst, a dip, a swell, an interruption, an RVC.
    assert len(a.aggregated["10min"]) == 2 and len(a.flicker["pst"]) == 1 and len(a.rvc) == 1
    assert sorted(set(a.events["type"].tolist())) == [1, 2, 3]
    got.update(_analysis_digests(a))
    _check(got, PINNED[case], case)


def test_analyze_of_arrays_with_a_gap_and_signalling_gives_the_pinned_results():
    fs = 3200.0
    s = _supply(40.0, fs, missing=[(12.3, 0.05)])
    a = pq.analyze(voltages=s.voltages, sample_rate=fs, nominal_frequency=50.0, signalling_frequencies=[316.67],
                   block_size=1234)
    got = _analysis_digests(a)
    assert a.missing_samples == 160 and a.window_gaps.any()
    _check(got, PINNED_GAP, "gap")


@pytest.mark.parametrize("held", [1, 3])
def test_tables_are_the_same_whatever_rows_they_hold_before_writing(tmp_path, monkeypatch, held):
    from powerquality import report

    monkeypatch.setattr(report, "HELD_ROWS", held)
    _check(_cli(tmp_path, 3200.0, False)[1], {k: v for k, v in PINNED["U 3200 Hz"].items() if k.startswith("cli ")},
           f"held {held}")


def test_window_arrays_are_nan_in_the_slots_without_a_phase_and_where_nothing_was_computed():
    fs = 6400.0
    s = signals.supply(3.0, fs, phases=1, frequency=[(0.0, 49.6), (3.0, 50.4)], harmonics={5: 3.0})
    a = pq.analyze(voltages=s.voltages[0], sample_rate=fs, nominal_frequency=50.0)
    harmonics, spectrum = a.harmonics["harmonicsVoltage"], a.harmonics["spectrumVoltage"]
    assert harmonics.shape == (len(a.windowed), 4, 51) and spectrum.shape[-1] == a.windowed["fftOutputLength"].max()
    assert np.all(np.isfinite(harmonics[:, 0])) and np.all(np.isnan(harmonics[:, 1:]))
    # No spectrum is kept in the records: NaN throughout, NaN + 0j as a complex.
    assert np.all(np.isnan(spectrum.real)) and np.all(spectrum.imag == 0)

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
    out["flicker"] = digest({k: v for k, v in a.flicker.items() if k not in ("pst", "plt")})
    return out


def _cli_digests(cfg, out, tmp_path):
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        assert main(["analyze", cfg, "--quiet", "--out", str(out)]) == 0
    summary = "\n".join(line.replace(str(tmp_path), "TMP") for line in text.getvalue().splitlines()
                        if not line.startswith("wrote "))
    digests = {"summary": digest(summary)}
    for name in sorted(os.listdir(out)):
        with open(os.path.join(out, name)) as f:
            digests[name] = digest(f.read())
    return digests


CASES = {
    "V+I 10240 Hz": dict(fs=10240.0, currents=True),
    "U 3200 Hz": dict(fs=3200.0, currents=False),
}

PINNED = {
    'V+I 10240 Hz': {
        'cli summary': '1790acf3877546a3', 'cli aggregated_10min.csv': '55b22b33ef155b1c',
        'cli aggregated_2h.csv': 'c64269e50295ace2', 'cli aggregated_3s.csv': '864fbb4415cd754c',
        'cli events.csv': 'd053010d081a5416', 'cli flicker.csv': '62f47082d920b544',
        'cli frequency_10s.csv': '70625ca1d0d5f89f', 'cli rvc.csv': '3b7b04d6c1aad9a5',
        'period': 'b1d4fcff90128018', 'frequency': '4d0424b394b6b012',
        'rvc': '0c12d6c5162e44f0', 'events': 'db216e9eba436f27',
        'windowed': 'a7a73f4548c13c4c', 'aggregated_3s': '8cddc72e894965dd',
        'aggregated_10min': 'f00bcf9bb7a40c46', 'aggregated_2h': 'a182aa0437f61e8e',
        'flicker_pst': '75ff6311d66b973c', 'flicker_plt': 'f629631aef4f56bf',
        'ten_second': '9f270d7d85bbc11e', 'harmonics': 'eae0f28974c2e470',
        'flags': '565fd79c0b7f0194', 'flicker': 'd3724ae08f2a34d9',
    },
    'U 3200 Hz': {
        'cli summary': '88812d169372e357', 'cli aggregated_10min.csv': 'b568835856ef5bbb',
        'cli aggregated_2h.csv': 'b465d0e6bd088da2', 'cli aggregated_3s.csv': 'a3e8eded845cc364',
        'cli events.csv': '1df1b9dce4ac3a41', 'cli flicker.csv': 'f7600f8a7feefe7e',
        'cli frequency_10s.csv': '687a9eb32e97156a', 'cli rvc.csv': '4d35118c40c82300',
        'period': '8af5c5ebaae634ee', 'frequency': 'a9c628c1b78e5ce7',
        'rvc': 'bc0963c22f5b3494', 'events': '88624548397debe4',
        'windowed': '0adc99760f729601', 'aggregated_3s': 'daa1f117904bb6d5',
        'aggregated_10min': 'e6dd049a82b7fbe9', 'aggregated_2h': '40b4ccdecc495d71',
        'flicker_pst': 'd4a6a0edbd554196', 'flicker_plt': '7be396d06ea73fbb',
        'ten_second': 'f56064a392b66b30', 'harmonics': 'f7c382de9d336554',
        'flags': '487a2c4bfc7ccd49', 'flicker': 'b66d7f3497473501',
    },
}

PINNED_GAP = {
    'period': '61429f7b193adc5a', 'frequency': '177081d5bc679ac5',
    'rvc': 'a6c2b5a43ccc0b43', 'events': '0efb7f84915e557b',
    'windowed': '92eced99b4a3d948', 'aggregated_3s': '0936532e104ab121',
    'aggregated_10min': 'da4e194044a62be9', 'aggregated_2h': '428edf8a8a5afa1e',
    'flicker_pst': '24c615f114c47a31', 'flicker_plt': 'c7a10a7cb0c57860',
    'signalling': '4709a3f692e5bafc', 'signalling_3s': '30d60e759e9633aa',
    'ten_second': '8628817530e6efd5', 'harmonics': 'e186e2b58b945a58',
    'flags': 'f1f803b31b68546d', 'flicker': '1db5c5595e6fdc70',
}


def _check(got, pinned, what):
    if os.environ.get("PQ_PRINT_PINNED"):
        print(f"\n{what}: {got!r}")
        return
    moved = sorted(k for k in set(got) | set(pinned) if got.get(k) != pinned.get(k))
    assert not moved, f"{what}: these results moved: {moved}"


@pytest.mark.parametrize("case", sorted(CASES))
def test_command_line_and_analyze_give_the_pinned_results(tmp_path, case):
    fs, currents = CASES[case]["fs"], CASES[case]["currents"]
    cfg = _write(tmp_path / "rec", 40.0, fs, currents)
    got = {"cli " + k: v for k, v in _cli_digests(cfg, tmp_path / "out", tmp_path).items()}
    a = pq.analyze(cfg)
    # What the digests cover: two 10-minute intervals (the tick inside), Pst, a dip, a swell, an interruption, an RVC.
    assert len(a.aggregated["10min"]) == 2 and len(a.flicker["pst"]) == 1 and len(a.rvc) == 1
    assert sorted(set(a.events["type"].tolist())) == [1, 2, 3]
    got.update(_analysis_digests(a))
    _check(got, PINNED.get(case, {}), case)


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
    cfg = _write(tmp_path / "rec", 40.0, 3200.0, False)
    got = {"cli " + k: v for k, v in _cli_digests(cfg, tmp_path / "out", tmp_path).items()}
    _check(got, {k: v for k, v in PINNED["U 3200 Hz"].items() if k.startswith("cli ")}, f"held {held}")


def test_window_arrays_are_nan_in_the_slots_without_a_phase_and_where_nothing_was_computed():
    fs = 6400.0
    s = signals.supply(3.0, fs, phases=1, frequency=[(0.0, 49.6), (3.0, 50.4)], harmonics={5: 3.0})
    a = pq.analyze(voltages=s.voltages[0], sample_rate=fs, nominal_frequency=50.0)
    harmonics, spectrum = a.harmonics["harmonicsVoltage"], a.harmonics["spectrumVoltage"]
    assert harmonics.shape == (len(a.windowed), 4, 51) and spectrum.shape[-1] == a.windowed["fftOutputLength"].max()
    assert np.all(np.isfinite(harmonics[:, 0])) and np.all(np.isnan(harmonics[:, 1:]))
    # No spectrum is kept in the records: NaN throughout, NaN + 0j as a complex.
    assert np.all(np.isnan(spectrum.real)) and np.all(spectrum.imag == 0)

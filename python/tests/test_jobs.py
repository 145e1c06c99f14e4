"""One long recording on the command line and in the fleet with --jobs: cut into spans, the serial run's outputs.

The recording is test_spans' 40 minutes at 1280 Hz (a dip, an interruption, an RVC and a flicker modulation across
the borders of 10-minute spans), written as COMTRADE; the tolerances are those spans.py states.
"""

import csv
import io
import json
import re
import types

import numpy as np
import pytest

import powerquality as pq
from powerquality import comtrade, spans
from powerquality.__main__ import main

import test_spans


@pytest.fixture(scope="module")
def recording_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("long")
    rec = test_spans._recording()
    u = np.vstack([c.values for c in rec.channels])
    path = comtrade.write(str(folder / "rec"), {"V" + p: u[k] for k, p in enumerate("ABC")}, test_spans.FS,
                          phases={"V" + p: p for p in "ABC"}, file_type="FLOAT32", start=test_spans.START)
    return folder, path


@pytest.fixture(scope="module")
def outputs(recording_file, tmp_path_factory):
    folder, path = recording_file
    out = {}
    # "split" with the assessment keeps the spans' windows; "light" keeps neither the windows, the period values
    # nor the cycles, only what the summary says of them.
    for name, extra in (("serial", ("--signalling", "316.67", "--assessment")),
                        ("split", ("--jobs", "2", "--span-seconds", "600", "--signalling", "316.67", "--assessment")),
                        ("light", ("--jobs", "2", "--span-seconds", "600")),
                        ("pair", ("--jobs", "2", "--span-seconds", "1800"))):
        target = folder / name
        out[name] = _capture(path, target, extra)
    return folder, out


def _capture(path, target, extra):
    """The command line's stdout and the folder it wrote, and how many spans it ran."""
    import contextlib
    import sys

    used = []
    original = spans.Joined.__iter__

    def counted(self):
        yield from original(self)
        used.append((len(self.spans), self.assess))  # joined whole: the spans and whether windows' rows went

    spans.Joined.__iter__ = counted
    stdout = io.StringIO()
    try:
        with contextlib.redirect_stdout(stdout):
            status = main(["analyze", path, "--out", str(target), *extra[:-1],
                           *([extra[-1], str(target) + ".json"] if extra[-1:] == ("--assessment",) else extra[-1:])])
    finally:
        spans.Joined.__iter__ = original
    assert status == 0, sys.stderr
    assessment = target.parent / (target.name + ".json")
    return types.SimpleNamespace(stdout=stdout.getvalue(), folder=target, spans=used,
                                 assessment=json.loads(assessment.read_text()) if assessment.exists() else None)


def _rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_the_recording_ran_in_spans_and_the_short_one_serially(outputs):
    _, out = outputs
    # Spans, and the windows' harmonics reduced by them: the assessment needs them, the summary not.
    assert out["split"].spans == [(5, True)] and out["light"].spans == [(5, False)]
    assert out["pair"].spans == [(2, False)]  # two spans are already worth the workers
    assert out["serial"].spans == []


@pytest.mark.parametrize("table", ["aggregated_3s", "aggregated_10min", "aggregated_2h", "frequency_10s",
                                   "signalling", "signalling_3s"])
def test_interval_tables_are_the_serial_runs_to_the_byte(outputs, table):
    _, out = outputs
    serial = (out["serial"].folder / f"{table}.csv").read_text()
    assert len(serial.splitlines()) >= 2  # a header and a row at least
    for run in ("split", "light", "pair") if "signalling" not in table else ("split",):
        assert (out[run].folder / f"{table}.csv").read_text() == serial, run


# Events and RVCs: start and duration to a sample; a dip's extreme within 1e-5; an RVC's largest change within
# 1e-2 (a half-cycle value that holds the step itself lies a few % off the serial run's: see spans.py).
@pytest.mark.parametrize("table, close", [
    ("events", {"startTime": 1 / test_spans.FS, "duration": 1 / test_spans.FS, "extremeVoltage": 1e-5,
                "extremePercent": 1e-5}),
    ("rvc", {"startTime": 1 / test_spans.FS, "duration": 1 / test_spans.FS, "deltaUmax": 1e-2, "deltaUss": 1e-5}),
])
def test_events_and_rvcs_are_the_serial_runs_within_a_sample(outputs, table, close):
    _, out = outputs
    serial, split = (_rows(out[k].folder / f"{table}.csv") for k in ("serial", "split"))
    assert len(split) == len(serial) == (3 if table == "events" else 1)
    for ours, theirs in zip(split, serial):
        for name, value in theirs.items():
            if name in close:
                tolerance = close[name]
                a, b = float(ours[name]), float(value)
                assert abs(a - b) <= (tolerance if name in ("startTime", "duration") else tolerance * abs(b)), name
            elif name != "time":  # the ISO time of startTime, to the microsecond
                assert ours[name] == value, name


def test_flicker_is_the_serial_runs_within_a_thousandth(outputs):
    _, out = outputs
    serial, split = (_rows(out[k].folder / "flicker.csv") for k in ("serial", "split"))
    assert [r["kind"] for r in serial] == [r["kind"] for r in split] == ["Pst"] * 4 + ["Plt"]
    for ours, theirs in zip(split, serial):
        for name in ("A", "B", "C"):
            assert float(ours[name]) == pytest.approx(float(theirs[name]), rel=1e-3, nan_ok=True)
        assert [ours[n] for n in ("clockInterval", "gap", "flagged", "complete")] == \
            [theirs[n] for n in ("clockInterval", "gap", "flagged", "complete")]


_NUMBER = re.compile(r"-?\d+(?:\.\d+)?(?:e[-+]?\d+)?")


def test_the_summary_and_the_assessment_are_the_serial_runs(outputs):
    _, out = outputs
    assert out["split"].assessment == out["serial"].assessment
    serial = _summary(out["serial"].stdout)
    assert any(line.startswith("THDS U") for line in serial) and any(line.startswith("frequency") for line in serial)
    for run in ("split", "light"):
        _same_summary(_summary(out[run].stdout), serial)


def _summary(stdout):
    """The summary's lines: those before the first 'wrote' line."""
    lines = stdout.splitlines()
    return lines[:next(k for k, line in enumerate(lines) if line.startswith("wrote"))]


def _same_summary(split, serial):
    assert len(split) == len(serial)
    for ours, theirs in zip(split, serial):
        # The same words; RMS ranges and extremes (from the half-cycle values) within 1e-5, an RVC's largest
        # change within 1e-2, the rest the same figures.
        assert _NUMBER.sub("#", ours) == _NUMBER.sub("#", theirs)
        tolerance = 1e-2 if "dUmax" in theirs else 1e-5
        for a, b in zip(_NUMBER.findall(ours), _NUMBER.findall(theirs)):
            assert float(a) == pytest.approx(float(b), rel=tolerance), theirs


def test_a_lone_recording_in_the_fleet_is_cut_too_and_several_stay_one_a_worker(outputs, monkeypatch):
    folder, out = outputs
    path = str(folder / "rec.cfg")
    serial = pq.analyze_many([path])
    split = pq.analyze_many([path], jobs=2, span_seconds=600, out=str(folder / "fleet"))
    assert split["status"][0] == "ok" and split["dips"][0] == serial["dips"][0] == 2
    for name in serial.dtype.names:
        if serial.dtype[name].kind == "f":
            np.testing.assert_allclose(split[name], serial[name], rtol=1e-2 if "Rvc" in name else 1e-5, err_msg=name)
        elif name != "folder":
            assert split[name][0] == serial[name][0], name
    assert (folder / "fleet" / "rec" / "aggregated_10min.csv").read_text() == \
        (out["serial"].folder / "aggregated_10min.csv").read_text()

    def refused(*args, **kwargs):
        raise AssertionError("cut into spans")

    # Two recordings (the same one found twice is one): each a worker's, whole. The process pool forks, so
    # its workers see the refusal too.
    monkeypatch.setattr(spans, "Joined", refused)
    twice = folder / "twice"
    twice.mkdir()
    for k in (1, 2):
        for ending in (".cfg", ".dat"):
            (twice / f"rec{k}{ending}").symlink_to(folder / f"rec{ending}")
    rows = pq.analyze_many([str(twice)], jobs=2, span_seconds=600)
    assert list(rows["status"]) == ["ok", "ok"], rows["error"]


_RUN_SPAN = spans.run_span


def _refusing(job):
    return {"refused": "a stretch without voltage"} if job["index"] == 3 else _RUN_SPAN(job)


def test_a_span_refused_after_others_were_written_sends_the_recording_to_the_serial_run(recording_file, tmp_path,
                                                                                        monkeypatch):
    # The fourth span's stream refuses its part once the first three are joined and written: the tables are
    # written again from their start by the serial run, none of the spans' rows left in them.
    _, path = recording_file
    serial = _capture(path, tmp_path / "serial", ())
    monkeypatch.setattr(spans, "run_span", _refusing)
    split = _capture(path, tmp_path / "split", ("--jobs", "2", "--span-seconds", "600"))
    assert split.spans == [] and split.stdout.replace("split", "serial") == serial.stdout
    for table in sorted(p.name for p in serial.folder.iterdir()):
        assert (split.folder / table).read_bytes() == (serial.folder / table).read_bytes(), table


@pytest.mark.parametrize("seconds, offset, workers, span_seconds, expected", [
    (2400.0, 200.0, 2, 600.0, True),
    (2400.0, 200.0, 1, 600.0, False),  # one worker: serial
    (2400.0, 200.0, 2, None, False),  # the default span, an hour at least: one span
    (7200.0, 0.0, 2, None, True),  # two hours from a tick: two spans of an hour
    (3700.0, 0.0, 2, None, True),  # an hour and 100 s: the last span takes the 100 s
    (3600.0, 0.0, 2, None, False),  # ends on the hour's tick: one span
    (600.0, 0.0, 2, 600.0, False),  # ends on the only tick inside it
])
def test_a_recording_is_cut_only_when_it_holds_two_spans(seconds, offset, workers, span_seconds, expected):
    fs = 100.0
    recording = types.SimpleNamespace(sample_rate=fs, samples=int(seconds * fs))
    monkey = pytest.MonkeyPatch()
    monkey.setattr(spans.analysis, "clock_offset", lambda r: offset)
    try:
        assert spans.splits(recording, workers, span_seconds) is expected
    finally:
        monkey.undo()


def test_flicker_goes_block_by_block_pst_then_plt_as_the_serial_run_writes_it():
    pst = np.zeros(14, [("clockInterval", "i8"), ("A.pst", "f8")])
    pst["clockInterval"] = np.arange(14)  # two 2-hour blocks: 12 and 2 Pst
    plt = np.zeros(2, [("clockInterval", "i8"), ("A.plt", "f8")])
    plt["clockInterval"] = [0, 12]
    empty = np.zeros(0)
    a = types.SimpleNamespace(period=empty, frequency=empty, ten_second=None, events=empty, rvc=empty,
                              windowed=None, harmonics=None, window_flags=empty, window_gaps=empty,
                              aggregated=None, signalling=None, signalling_3s=None, positions=10,
                              flicker={"pst": pst, "plt": plt, "pinst_max": np.array([2.5])})
    blocks = list(spans.blocks(a))
    assert [b.last for b in blocks] == [False, True]
    assert [list(b.flicker["pst"]["clockInterval"]) for b in blocks] == [list(range(12)), [12, 13]]
    assert [list(b.flicker["plt"]["clockInterval"]) for b in blocks] == [[0], [12]]
    assert np.isnan(blocks[0].flicker["pinst_max"][0]) and blocks[1].flicker["pinst_max"][0] == 2.5


@pytest.mark.parametrize("argv, words", [
    (["--jobs", "-1"], "--jobs -1: a number of local processes, 0 or more"),
    (["--span-seconds", "0"], "--span-seconds: 0: give a positive number"),
])
def test_bad_jobs_are_refused_naming_them(recording_file, capsys, argv, words):
    _, path = recording_file
    with pytest.raises(SystemExit) as stop:
        main(["analyze", path, *argv])
    assert stop.value.code == 2 and words in capsys.readouterr().err


@pytest.mark.slow
def test_the_spans_of_one_recording_run_on_a_dask_cluster_too(outputs, tmp_path):
    pytest.importorskip("distributed", reason="Dask's distributed is not installed (Debian python3-distributed)")
    pytest.importorskip("cryptography", reason="the cluster's certificate needs Debian's python3-cryptography")
    from powerquality import fleet

    folder, out = outputs
    with fleet.PrivateCluster(2, folder=str(tmp_path)) as scheduler_file:
        run = _capture(str(folder / "rec.cfg"), tmp_path / "dask",
                       ("--scheduler", scheduler_file, "--span-seconds", "1200"))
    assert run.spans == [(3, False)]
    for table in ("aggregated_10min", "aggregated_2h", "frequency_10s"):
        assert (run.folder / f"{table}.csv").read_text() == (out["serial"].folder / f"{table}.csv").read_text()


def test_a_start_given_on_the_command_line_reaches_every_span(recording_file, tmp_path):
    # Each worker opens the file again: without the parent's clock its ticks would be the file's, 250 s away.
    _, path = recording_file
    extra = ("--start", "2024-05-01T10:04:10")
    serial = _capture(path, tmp_path / "serial", extra)
    split = _capture(path, tmp_path / "split", ("--jobs", "2", "--span-seconds", "600", *extra))
    assert split.spans and split.spans[0][0] > 1
    for table in ("aggregated_10min", "aggregated_3s"):
        assert (split.folder / f"{table}.csv").read_text() == (serial.folder / f"{table}.csv").read_text(), table


def test_detail_keeps_the_recording_on_one_core(recording_file, tmp_path, capsys):
    # In spans every period value would be joined in memory before detail.h5 is written: streamed instead.
    _, path = recording_file
    run = _capture(path, tmp_path / "detail", ("--jobs", "2", "--span-seconds", "600", "--detail"))
    assert run.spans == [] and (run.folder / "detail.h5").exists()
    assert "--detail and --plot keep the recording on one core" in capsys.readouterr().err


@pytest.mark.parametrize("seconds, workers, shared, expected", [
    (86400.0, 2, False, 43200.0),  # a day on two processes: one span each
    (86400.0, 2, True, 21600.0),  # on two threads of a cluster: two each
    (86400.0, 3, False, 28800.0),
    (86500.0, 2, False, 43800.0),  # rounded up to whole 10 minutes: the last span the shorter
    (5000.0, 2, False, 3600.0),  # an hour at least
    (86400.0, 2, None, 1800.0),  # given (here as shared=None with span_seconds below): as it is
])
def test_the_default_span_is_the_recording_over_the_workers(seconds, workers, shared, expected):
    given = 1800.0 if shared is None else None
    assert spans.span_length(seconds, workers, given, bool(shared)) == expected

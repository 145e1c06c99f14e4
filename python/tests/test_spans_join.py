"""One recording in spans joined span by span (spans.Joined): the tables, summary and assessment of the whole join
(spans.assemble, then spans.blocks), to the byte; and what the join holds between spans does not grow with them."""

import json
import math
import types

import numpy as np
import pytest

from powerquality import analysis, en50160, report, spans

import test_spans


def _consume(blocks, ctx, folder):
    tables, digest, gather = report.Tables(ctx, str(folder)), report.Digest(ctx), en50160.Gather(ctx)
    for b in blocks:
        for c in (tables, digest, gather):
            c.process(b)
    return tables, digest, gather


@pytest.fixture(scope="module")
def both(tmp_path_factory):
    folder = tmp_path_factory.mktemp("joined")
    recording = test_spans._recording()
    options = dict(span_seconds=600, signalling_frequencies=(316.67,), arrays=("harmonicsVoltage",))
    whole = spans.analyze_spans(recording, jobs=1, light="windows", **options)
    assert whole.spans == 5
    old = _consume(spans.blocks(whole), spans.context(whole), folder / "whole")
    joined = spans.Joined(recording, jobs=1, **options)
    new_tables = report.Tables(joined.ctx, str(folder / "joined"))
    joined.tables, joined.assess = new_tables, True
    digest, gather = report.Digest(joined.ctx), en50160.Gather(joined.ctx)
    blocks = []
    for b in joined:
        blocks.append(b)
        for c in (new_tables, digest, gather):
            c.process(b)
    return old, (new_tables, digest, gather), blocks


def test_the_tables_are_the_whole_joins_to_the_byte(both):
    (old, _, _), (new, _, _), _ = both
    names = sorted(p.rsplit("/", 1)[1] for p in old.paths)
    assert names == sorted(p.rsplit("/", 1)[1] for p in new.paths)
    assert {"aggregated_3s.csv", "frequency_10s.csv", "signalling.csv", "events.csv", "rvc.csv",
            "flicker.csv"} <= set(names)
    for a, b in zip(sorted(old.paths), sorted(new.paths)):
        assert open(a, "rb").read() == open(b, "rb").read(), a


def test_the_summary_and_assessment_are_the_whole_joins(both):
    (_, old_digest, old_gather), (_, digest, gather), _ = both
    assert digest.lines() == old_digest.lines()
    # The dip, the interruption and the RVC that run across borders, each once.
    assert (digest.event_count, digest.rvc_count) == (old_digest.event_count, old_digest.rvc_count) == (3, 1)
    old, new = old_gather.assess(), gather.assess()
    assert json.dumps(new, sort_keys=True, default=str) == json.dumps(old, sort_keys=True, default=str)
    # The windows' harmonics, reduced by the spans' workers, reach the assessment's 10-minute rows.
    ten = gather.tables()["10min"]
    assert np.isfinite(ten["A.harmonicsVoltage.5"]).sum() >= 3


def test_no_block_carries_more_than_its_span(both):
    # The spans' own rows of the big tables went through the workers' files, none through the blocks; the 10-s
    # frequencies, which the assessment takes, one span's at most.
    _, _, blocks = both
    for b in blocks:
        assert b.ten_second is None or len(b.ten_second) <= 60
        assert b.aggregated is None or not len(b.aggregated["3s"])
        assert b.signalling is None or not len(b.signalling)
        assert b.windowed is None and not len(b.period) and not len(b.cycles)
    assert [b.last for b in blocks].count(True) == 1 and blocks[-1].last


PST = np.dtype(analysis.FLICKER_FRAME + [("A.pst", "f8")])


def _part(k, events):
    """A span's part (one 10-minute interval, one Pst) as run_span gives it, with ``events`` rows."""
    pst = np.zeros(1, PST)
    pst["clockInterval"], pst["startTime"], pst["endTime"], pst["A.pst"] = k, 600.0 * k, 600.0 * (k + 1), 0.5
    return {"notes": [], "missing_samples": 0, "first_missing": None, "events": events,
            "rvc": np.zeros(0, analysis.RVC_DTYPE), "own": {}, "reduced": None, "short": [0, 0, 0, 0],
            "harmonics_10min": None, "written": {}, "pst": pst, "pinst_max": np.array([1.0 + k]), "cpu": 0.0,
            "wall": (0.0, 0.0)}


def _event(start, duration, ended):
    row = np.zeros(1, analysis.EVENT_DTYPE)
    row["type"], row["startTime"], row["duration"], row["ended"] = 1, start, duration, ended
    row["extremeVoltage"], row["phases"] = 100.0, 1
    return row


@pytest.mark.parametrize("count", [30, 90])
def test_what_the_join_holds_does_not_grow_with_the_spans(count):
    # Ten-minute spans; every third span holds a dip that runs into the next one, seen there from the lead-in.
    fs = 100.0
    j = spans.Joined.__new__(spans.Joined)
    j.spans = spans.plan(int(count * 600 * fs), fs, 0.0, 600.0, 300.0, 20.0)
    assert len(j.spans) == count
    j.ctx = types.SimpleNamespace(sample_rate=fs, clock_offset=0.0, missing_samples=0, first_missing=None,
                                  positions=int(count * 600 * fs), flicker_lamp=230.0, flicker_lamp_reason="")
    j.recording, j.tables, j.span_cpu, j.span_wall = types.SimpleNamespace(notes=[]), None, [], []
    parts = []
    for k in range(count):
        rows = [_event(600.0 * (k - 1) + 590.0, 50.0, True)] if k % 3 == 1 else []  # the end of the one before
        if k % 3 == 0 and k < count - 1:
            rows.append(_event(600.0 * k + 590.0, 50.0, False))
            rows.append(_event(600.0 * k + 595.0, 2.0, True))  # whole, but waits behind the dip that began before it
        parts.append(_part(k, np.concatenate(rows) if rows else np.zeros(0, analysis.EVENT_DTYPE)))
    held, given, flicker, carried = [], 0, [], []
    for b in j._joined(iter(parts)):
        given += len(b.events)
        if b.flicker is not None:
            flicker.append(b.flicker)
            # A closed 2-hour block comes alone: no cycle, period value or event of its own to count twice.
            assert not (len(b.cycles) or len(b.period) or len(b.frequency) or len(b.rvc)), "flicker block rows"
        else:
            held.append(j.held())
            carried.append(j.state["events"].held())
    # A dip is held while it runs across the border, and only then, with the whole event that began after it.
    assert carried == [2 if k % 3 == 0 and k < count - 1 else 0 for k in range(count)]
    # At most the Pst of one 2-hour block (11 waiting for its twelfth) and a dip running across the border.
    assert max(held) <= spans.PER_FLICKER - 1 + 2
    assert given == 2 * math.ceil((count - 1) / 3)
    assert [len(f["pst"]) for f in flicker] == [spans.PER_FLICKER] * (count // spans.PER_FLICKER) + \
        ([count % spans.PER_FLICKER] if count % spans.PER_FLICKER else [])
    assert [len(f["plt"]) for f in flicker] == [1] * len(flicker)
    assert flicker[-1]["pinst_max"][0] == count and all(np.isnan(f["pinst_max"][0]) for f in flicker[:-1])
    # Each dip once, whole: from its start to the end its next span saw.
    assert given and j.state["events"].held() == 0

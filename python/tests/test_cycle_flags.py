# Tracked cycles measured over a dip, swell or interruption: flagged, and left out of the frequency range.
import numpy as np
import pytest

import powerquality as pq
from powerquality import analysis, fleet, report, signals
from conftest import recording

FS = 6400.0
# The plateau of the event carries 50.5 Hz from 1.1 s to 1.4 s; the event runs from 1.0 s to 1.6 s, so the
# tracker's seven-cycle windows of the cycles outside it never reach the offset.
PLATEAU = [(0.0, 50.0), (1.1, 50.0), (1.1, 50.5), (1.4, 50.5), (1.4, 50.0)]


def _supply(level):
    return signals.supply(3.0, FS, frequency=PLATEAU, changes=[signals.Change(1.0, level, 0.6, "ABC")])


def _frequency_line(lines):
    return next(line for line in lines if line.startswith("frequency "))


@pytest.fixture(scope="module", params=[60.0, 120.0], ids=["dip", "swell"])
def event(request):
    s = _supply(request.param)
    return s, pq.analyze(voltages=s.voltages, sample_rate=FS, nominal_frequency=50.0, declared_voltage=230.0)


def test_the_tracker_trusts_cycles_on_the_plateau_and_they_are_flagged(event):
    _, a = event
    f, flagged = a.frequency, a.frequency_flags
    assert len(a.events) == 1 and len(flagged) == len(f) == len(a.crossings)
    valid = f["valid"]
    # What the fix is about: cycles the tracker trusts read the plateau's 50.5 Hz.
    assert f["frequency"][valid].max() == pytest.approx(50.5, abs=1e-3)
    assert np.all(flagged[f["frequency"] > 50.01])
    start = float(a.events["startTime"][0])
    end = start + float(a.events["duration"][0])
    # Flagged where the event overlaps the cycle or the three cycles on either side its frequency may be
    # measured over: the cycles from the fourth before the event's start to the third after its end.
    cycle_starts = a.crossings / FS
    before = np.flatnonzero(f["time"] <= start)[-1]  # the last cycle that ends by the event's start
    after = np.flatnonzero(cycle_starts >= end)[0]  # the first cycle that starts at or after its end
    expected = np.zeros(len(f), bool)
    expected[before - 2:after + 3] = True
    np.testing.assert_array_equal(flagged, expected)


def test_the_summary_range_leaves_out_the_cycles_inside_the_event_and_counts_them(event):
    _, a = event
    line = _frequency_line(report.summary(a))
    assert line.startswith("frequency   50 .. 50 Hz (")
    inside = int(np.count_nonzero(a.frequency["valid"] & a.frequency_flags))
    untrusted = int(np.count_nonzero(~a.frequency["valid"]))
    assert inside > 10
    assert line.endswith(f"; {untrusted} flagged, near the ends, without a reference or next to a step of its "
                         f"level, left out; {inside} measured over a dip, swell or interruption, left out)")


@pytest.mark.parametrize("block_size", [1000, 6400, 23456])
def test_the_streamed_summary_and_fleet_row_agree_with_the_whole_analysis_whatever_the_blocks(event, block_size):
    s, a = event
    stream = analysis.stream(voltages=s.voltages, sample_rate=FS, nominal_frequency=50.0, declared_voltage=230.0,
                             block_size=block_size)
    digest, row, cycles = None, fleet.Summary(), []
    for b in stream:
        digest = digest or report.Digest(stream.ctx)
        digest.process(b)
        row.process(b)
        cycles.append(getattr(b, "cycles", None))
    assert row.frequency == pytest.approx((50.0, 50.0), abs=1e-6)
    assert _frequency_line(digest.lines()) == _frequency_line(report.summary(a))
    cycles = np.concatenate(cycles)
    np.testing.assert_array_equal(cycles["flagged"], a.frequency_flags)
    np.testing.assert_array_equal(cycles["time"], a.frequency["time"])


def test_a_cycle_with_a_fixed_frequency_is_never_flagged():
    s = _supply(60.0)
    a = pq.analyze(voltages=s.voltages, sample_rate=FS, nominal_frequency=50.0, declared_voltage=230.0,
                   fixed_frequency=50.0)
    assert len(a.events) == 1 and a.frequency_flags.tolist() == [False]
    assert _frequency_line(report.summary(a)) == "frequency   50 .. 50 Hz (1 cycles)"


def _events(*rows):
    out = np.zeros(len(rows), analysis.EVENT_DTYPE)
    for k, (start, duration, ended, cut) in enumerate(rows):
        out[k]["startTime"], out[k]["duration"], out[k]["ended"], out[k]["cutByGap"] = start, duration, ended, cut
    return out


@pytest.mark.parametrize("events, expected", [
    # One event from 1.0 to 1.5 s over cycles [0.98, 1.0), [1.0, 1.02), [1.48, 1.5), [1.5, 1.52): the two
    # inside it only (an event ending where a cycle starts, or starting where it ends, does not overlap it).
    (_events((1.0, 0.5, True, False)), [False, True, True, False]),
    # Still running at the end of the data: every cycle from its start on.
    (_events((1.0, 0.5, False, False)), [False, True, True, True]),
    # Cut short by a gap: it ends with its duration so far.
    (_events((1.0, 0.01, False, True)), [False, True, False, False]),
    # Two events, one inside the first cycle.
    (_events((0.99, 0.001, True, False), (1.49, 0.001, True, False)), [True, False, True, False]),
    (_events(), [False] * 4),
])
def test_a_cycle_is_flagged_when_an_event_overlaps_it(events, expected):
    starts = np.array([0.98, 1.0, 1.48, 1.5])
    assert analysis.overlapping(starts, starts + 0.02, events).tolist() == expected


def test_the_shared_fault_recording_leaves_its_dip_out_of_the_frequency_range():
    # A 60 Hz dip at 0.2452 s for 124.9 ms: one cycle on its plateau (ending 0.3536 s) is trusted and reads
    # 60.0948 Hz, the two after it whose windows reach back into the dip 60.0413 and 60.0367 Hz.
    a = pq.analyze(recording("test2"))
    f, flagged = a.frequency, a.frequency_flags
    left = f[f["valid"] & flagged]
    assert left["time"].round(4).tolist() == [0.3536, 0.4035, 0.4202]
    assert left["frequency"].round(4).tolist() == [60.0948, 60.0413, 60.0367]
    line = _frequency_line(report.summary(a))
    assert line.startswith("frequency   59.9924 .. 60.0363 Hz (130 cycles; 17 flagged, ")
    assert line.endswith("; 3 measured over a dip, swell or interruption, left out)")

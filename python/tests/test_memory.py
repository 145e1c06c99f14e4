# What the pipeline's consumers and stages keep does not grow with the number of blocks: counted, not timed.
import types

import numpy as np
import pytest

import powerquality as pq
from powerquality import _core, analysis, en50160, fleet, report
from conftest import three_phase

FS = 3200.0


def held(root):
    """(objects, bytes of arrays) that root keeps: all that its attributes reach through containers and the
    package's own objects; the pipeline's shared context and the library's (C++) objects are left out."""
    seen, stack, count, size = set(), [root], 0, 0
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen.add(id(o))
        count += 1
        if isinstance(o, np.ndarray):
            size += o.nbytes
        elif isinstance(o, dict):
            stack += list(o.keys()) + list(o.values())
        elif isinstance(o, (list, tuple, set, frozenset)):
            stack += list(o)
        elif type(o).__module__.startswith("powerquality.") and type(o).__module__ != _core.__name__ and \
                not isinstance(o, analysis.Context) and hasattr(o, "__dict__"):
            stack += [v for k, v in vars(o).items() if k != "ctx"]
    return count, size


@pytest.fixture(scope="module")
def run():
    """A stream of 40 s with a dip and a swell (events, intervals, flicker rows), its blocks kept."""
    u = three_phase(FS, 40.0)
    u[0, int(12.0 * FS):int(12.2 * FS)] *= 0.5
    u[:, int(25.0 * FS):int(26.0 * FS)] *= 1.15
    recording = analysis._arrays_recording(u, None, FS, 50.0)
    recording.start = "01/01/2024,00:09:50.000000"
    stream = analysis.stream(recording, block_size=int(2 * FS), arrays=("harmonicsVoltage",), declared_voltage=230.0)
    blocks = list(stream)
    assert any(len(b.events) for b in blocks) and any(len(b.aggregated["3s"]) for b in blocks if b.aggregated)
    return stream.ctx, blocks


def quiet(b, position):
    """A block like b with nothing in it: what most blocks of a long steady recording bring."""
    out = types.SimpleNamespace(**vars(b))
    for name in ("period", "frequency", "cycles", "ten_second", "events", "rvc", "window_flags", "window_gaps",
                 "crossings", "cycle_flags"):
        setattr(out, name, getattr(b, name)[:0])
    out.windowed = out.harmonics = None
    out.aggregated = {k: v[:0] for k, v in b.aggregated.items()}
    out.flicker = dict(b.flicker, pst=b.flicker["pst"][:0], plt=b.flicker["plt"][:0])
    out.position, out.stop, out.last, out.segments = position, position + 1, False, []
    return out


CONSUMERS = {
    "summary text": lambda ctx, folder: report.Digest(ctx),
    "tables": lambda ctx, folder: report.Tables(ctx, folder),
    "picture": lambda ctx, folder: report.Picture(ctx),
    "EN 50160": lambda ctx, folder: en50160.Gather(ctx),
    "fleet row": lambda ctx, folder: fleet.Summary(),
    "analyze": lambda ctx, folder: analysis.Collector(),
}


@pytest.mark.parametrize("name", CONSUMERS)
def test_a_consumer_keeps_no_more_after_400_empty_blocks_than_after_20(run, tmp_path, name):
    ctx, blocks = run
    consumer = CONSUMERS[name](ctx, str(tmp_path))
    for b in blocks[:-1]:
        consumer.process(b)
    position = blocks[-1].position
    for k in range(20):
        consumer.process(quiet(blocks[-2], position + k))
    after_20 = held(consumer)
    for k in range(20, 400):
        consumer.process(quiet(blocks[-2], position + k))
    assert held(consumer) == after_20


def test_every_interval_aggregator_is_emptied_at_each_block(run):
    # Intervals nobody takes would pile up in the library's aggregator, out of Python's sight: the assessment's
    # harmonics aggregator is given 150/180-cycle intervals it does not use.
    ctx, blocks = run
    gather = en50160.Gather(ctx)
    for b in blocks[:-1]:
        gather.process(b)
        aggregator = gather.harmonics.aggregator
        if aggregator is not None:
            assert (aggregator.pending_three_second, aggregator.pending_ten_minute,
                    aggregator.pending_two_hour) == (0, 0, 0)
    assert gather.harmonics.aggregator is not None


def test_summary_lists_the_earliest_events_by_start_whatever_order_they_end_in(run, monkeypatch):
    # An interruption ends before the dip that holds it: the listed events are the first by start of all, in
    # the order of a stable sort, though only that many are kept.
    ctx, blocks = run
    monkeypatch.setattr(report.Digest, "MAX_LISTED", 3)
    digest = report.Digest(ctx)
    rows = np.zeros(7, analysis.EVENT_DTYPE)
    rows["startTime"] = [5.0, 1.0, 4.0, 1.0, 0.5, 9.0, 1.0]
    rows["type"] = 1
    rows["extremeVoltage"] = np.arange(7)  # which row it was
    for part in (rows[:2], rows[2:3], rows[3:6], rows[6:]):
        digest.process(types.SimpleNamespace(**dict(vars(quiet(blocks[-2], 0)), events=part)))
    assert digest.event_count == 7 and list(digest.events["extremeVoltage"]) == [4, 1, 3]
    lines = digest.lines()
    assert lines[lines.index(next(line for line in lines if line.startswith("events"))) + 4] == \
        "  ... and 4 more (events.csv has them all)"


def test_rows_grow_by_half_and_keep_their_dtype():
    rows = analysis.Rows()
    assert rows.array() is None
    rows.add(np.zeros(0, analysis.EVENT_DTYPE))
    assert len(rows.array()) == 0 and rows.array().dtype == analysis.EVENT_DTYPE
    sizes = set()
    for k in range(200):
        part = np.zeros(k % 3, analysis.EVENT_DTYPE)
        part["startTime"] = k
        rows.add(part)
        sizes.add(len(rows._data))
    out = rows.array()
    assert len(out) == 199 and list(out["startTime"][:3]) == [1.0, 2.0, 2.0] and out["startTime"][-1] == 199
    assert sizes == {0, 64, 96, 144, 216}  # a few reallocations, not one per add
    with pytest.raises(ValueError, match="added to a table"):
        rows.add(np.zeros(1, analysis.RVC_DTYPE))
    flags = analysis.Rows()
    flags.add(np.ones(2, bool))
    with pytest.raises(ValueError, match="added to a table"):
        flags.add(np.ones(2, np.int64))


@pytest.mark.parametrize("dtype", [analysis.EVENT_DTYPE, pq.GENERAL_RECORD_DTYPE, np.float64,
                                   np.dtype([("name", object), ("value", "f8")]),
                                   np.dtype({"names": ["a", "b"], "formats": ["f8", "i2"], "offsets": [8, 0],
                                             "itemsize": 24})])
def test_rows_hold_every_record_whole_whatever_its_dtype_and_the_strides_of_the_parts(dtype):
    """Rows gathered across reallocations, from contiguous parts and from every other row of one, equal numpy's
    join of the parts field for field, nested records included; the array handed out is a copy."""
    rng = np.random.default_rng(7)

    def filled(n):
        if np.dtype(dtype).hasobject:
            part = np.zeros(n, dtype)
            part["name"], part["value"] = [f"row {k}" for k in range(n)], rng.random(n)
            return part
        # Every byte set: a record moved short or to the wrong place would show.
        size = np.dtype(dtype).itemsize
        return np.frombuffer(rng.integers(0, 256, n * size, np.uint8).tobytes(), dtype).copy()

    rows, parts = analysis.Rows(), []
    for k in range(40):
        part = filled(2 * (k % 4))
        part = part[::2] if k % 2 else part
        rows.add(part)
        parts.append(part)
    out = rows.array()
    assert out.dtype == np.dtype(dtype) and len(out) == 80
    if out.dtype.hasobject:
        assert out.tolist() == np.concatenate(parts).tolist()
    else:  # each record's bytes as the part held them, padding and unnamed bytes included
        assert out.tobytes() == b"".join(part.tobytes() for part in parts)
    assert not np.shares_memory(out, rows._data)
    kept = out.tolist() if out.dtype.hasobject else out.tobytes()
    rows.add(filled(64))
    assert (out.tolist() if out.dtype.hasobject else out.tobytes()) == kept


def test_the_stages_hold_the_same_at_the_same_point_of_a_repeating_recording():
    # A dip every 30 s: after the first half minute, the stages' state at a block is that of the block 30 s
    # later (what they hold swings within a cycle of the plan of windows, and must not creep).
    fs = 1600.0
    u = three_phase(fs, 150.0)
    for start in np.arange(10.0, 150.0, 30.0):
        u[0, int(start * fs):int((start + 0.2) * fs)] *= 0.5
    stream = analysis.stream(analysis._arrays_recording(u, None, fs, 50.0), block_size=int(fs),
                             declared_voltage=230.0)
    sizes = []
    for _ in stream:
        # The flicker stage keeps the events that may still flag the Pst of the 10-minute interval running: as
        # many as that interval holds, let go with its Pst (here, within the first interval, all of them).
        flicker = next(s for s in stream.stages if isinstance(s, analysis._Flicker))
        ended, flicker.ended = flicker.ended, None
        sizes.append(held(stream.stages))
        flicker.ended = ended
    assert len(sizes) == 150 and len(set(sizes)) > 1
    assert sizes[30:60] == sizes[60:90] == sizes[90:120]


def test_the_picture_draws_many_events_with_as_many_artists_as_few(run, tmp_path, monkeypatch):
    figure = pytest.importorskip("matplotlib.figure")
    ctx, _ = run
    counted = []
    monkeypatch.setattr(figure.Figure, "savefig",
                        lambda fig, *args, **kwargs: counted.append(len(fig.axes[0].get_children())))
    for n in (20, 200):  # both above the number labelled one by one
        picture = report.Picture(ctx)
        events = np.zeros(n, analysis.EVENT_DTYPE)
        events["type"] = 1 + np.arange(n) % 3
        events["startTime"] = np.linspace(0.0, 30.0, n)
        events["duration"] = 0.01
        picture.events.add(events)
        picture.save(str(tmp_path / "p.png"))
    assert counted[0] == counted[1]

# The picture's choices on long recordings and the progress line.
import io

import numpy as np
import pytest

import powerquality as pq
from powerquality import report
from conftest import three_phase

FS = 6400.0


def test_worst_window_is_taken_among_unflagged_ones_and_every_event_is_kept(tmp_path):
    pytest.importorskip("matplotlib")
    # 4 % fifth harmonic; a 0.4 s interruption leaves 1 % with a 60 % fifth, its windows flagged (no reference).
    u = three_phase(FS, 8.0) + 0.04 * three_phase(FS, 8.0, f=250.0)
    u[:, int(3.0 * FS):int(3.4 * FS)] = 0.01 * three_phase(FS, 0.4) + 0.006 * three_phase(FS, 0.4, f=250.0)
    u[0, int(6.0 * FS):int(6.1 * FS)] *= 0.5
    recording = pq.analysis._arrays_recording(u, None, FS, 50.0)
    recording.start = "01/01/2020,00:00:00.000000"
    a = pq.analyze(recording)
    thd = report._thd_of(a.windowed, 3)
    assert np.max(thd[a.window_flags]) > 20 and not a.window_flags.all()
    picture = report.Picture(report._context(a), columns=200)
    picture.process(report._block(a))
    assert picture.worst[0] == pytest.approx(np.max(thd[~a.window_flags])) and picture.worst[0] < 10
    assert len(picture.events.array()) == len(a.events) >= 3
    # The envelope keeps the depth of the 100 ms dip in A: its pixel column holds the lowest value.
    assert np.nanmin(picture.rms[0][0]) == pytest.approx(np.min(a.phase_rows(0)["rmsVoltage"]))
    assert picture.save(str(tmp_path / "p.png")) and (tmp_path / "p.png").stat().st_size > 10000


def test_progress_line_waits_a_second_then_shows_share_rate_and_time_left(monkeypatch):
    clock = iter([100.0, 100.4, 101.0, 101.2, 102.0, 104.0])
    monkeypatch.setattr(report.time, "monotonic", lambda: next(clock))
    out = io.StringIO()
    progress = report.Progress(8_000_000, stream=out)  # started at 100.0
    progress(0.2)  # 0.4 s: too early
    assert out.getvalue() == ""
    progress(0.5)  # 1.0 s: 4 M positions/s, one second left
    assert out.getvalue() == "\ranalyze [###############               ]  50.0 %    4.00 M positions/s  0:01 left "
    progress(0.6)  # 0.2 s after the last line: not yet
    progress(0.75)  # 2.0 s
    progress(1.0)
    assert out.getvalue().count("\r") == 3 and out.getvalue().endswith("0:00 left \n")


def test_streamed_tables_are_those_of_the_whole_analysis(tmp_path):
    u = three_phase(FS, 12.0)
    u[0, int(3.0 * FS):int(3.2 * FS)] *= 0.5
    recording = pq.analysis._arrays_recording(u, None, FS, 50.0)
    recording.start = "01/01/2020,00:09:55.000000"
    whole = report.write_tables(pq.analyze(recording), str(tmp_path / "whole"))
    stream = pq.analysis.stream(recording, block_size=3001)
    tables = report.Tables(stream.ctx, str(tmp_path / "streamed"))
    for b in stream:
        tables.process(b)
    assert [p.replace("whole", "streamed") for p in whole] == tables.paths and len(whole) == 7
    for a, b in zip(whole, tables.paths):
        assert open(a).read() == open(b).read(), a
    events = open(whole[0]).read().splitlines()
    assert events[0].split(",")[-1] == "time" and events[1].startswith('dip,A,')
    assert "2020-01-01T00:09:57.99" in events[1]  # Ed. 3: the first value's window


@pytest.mark.parametrize("low, high, unit, text", [
    (3.8729e-06, 3.8729e-06, "%", "0.000 .. 0.000 %"),      # a clean sine's THD, not in exponent notation
    (0.430297, 3.55464, "%", "0.430 .. 3.555 %"),
    (3457.11, 5223.9, "V", "3457.11 .. 5223.9 V"),
    (2.0, 1.0, "Hz", "-"),
])
def test_summary_spans_read_as_plain_numbers(low, high, unit, text):
    assert report._span(low, high, unit) == text


# (cell, its field): text that a spreadsheet would take for a formula gets a quote in front and is quoted;
# other text as the csv module writes it.
CELLS = [
    ("=1+2", "\"'=1+2\""), ("+cmd|' -C calc'!A0", "\"'+cmd|' -C calc'!A0\""), ("-2+3", "\"'-2+3\""),
    ("@SUM(A1)", "\"'@SUM(A1)\""), ("\tx", "\"'\tx\""), ("\rx", "\"'\rx\""),
    ('=HYPERLINK("a","b")', '"\'=HYPERLINK(""a"",""b"")"'),
    ("dip", "dip"), ("A,B", '"A,B"'), ('say "hi"', '"say ""hi"""'), ("two\nlines", '"two\nlines"'), ("", ""),
    ("2020-01-01T00:00:00.5", "2020-01-01T00:00:00.5"), (" =x", " =x"), ("x=1", "x=1"), ("'=x", "'=x"),
]


@pytest.mark.parametrize("cell, field", CELLS)
def test_text_cells_that_begin_as_formulas_are_written_as_text(cell, field):
    import csv

    for column in (np.array([cell], dtype=object), np.array([cell])):
        assert list(report.csv_fields(column)) == [field]
    out = io.StringIO()
    report.write_csv_rows(out, [np.array([cell, "plain"], dtype=object), np.array([-1.5, 2.0])])
    read = list(csv.reader(io.StringIO(out.getvalue(), newline="")))
    expected = ("'" if cell[:1] in report.FORMULA_STARTS else "") + cell
    assert read == [[expected, "-1.5"], ["plain", "2"]] and out.getvalue().endswith("plain,2\r\n")


@pytest.mark.parametrize("shift", [0, 3, 7])
def test_a_column_of_many_cells_quotes_each_as_it_would_alone(shift):
    """The cells of one column (plain and quoted ones mixed, in turned orders) each get their own field."""
    cells = [cell for cell, _ in CELLS[shift:] + CELLS[:shift]]
    fields = [field for _, field in CELLS[shift:] + CELLS[:shift]]
    for column in (np.array(cells, dtype=object), np.array(cells)):
        assert list(report.csv_fields(column)) == fields
    plain = np.array(["dip", "swell", "2020-01-01T00:00:00"])
    assert report.csv_fields(plain).tolist() == plain.tolist()


def test_number_columns_keep_their_numbers_negative_ones_too():
    columns = [np.array([-5.25, np.nan, -np.inf]), np.array([-3, 7]), np.array([True, False])]
    assert [list(report.csv_fields(c)) for c in columns] == [["-5.25", "nan", "-inf"], ["-3", "7"], ["1", "0"]]


def test_the_recordings_events_table_writes_a_hostile_word_as_text(tmp_path):
    path = tmp_path / "t.csv"
    table = report._Csv(str(path))
    table.write({"kind": np.array(["=cmd()", "Pst"], dtype=object), "value": np.array([-0.5, 1.0])})
    table.write({"kind": np.array(["@x"], dtype=object), "value": np.array([-2.0])})
    table.close()
    assert path.read_bytes() == b"kind,value\r\n\"'=cmd()\",-0.5\r\nPst,1\r\n\"'@x\",-2\r\n"


@pytest.mark.parametrize("blocks, voltage, current", [
    # Per block: per phase 0, 1, 2 the RMS voltages (and the currents as ten times them).
    ([[[230.0, 231.5], [229.0], [232.0, 228.5]]], (228.5, 232.0), (2285.0, 2320.0)),
    # A gap's NaN values left out; a phase all NaN in a block leaves the range as it was.
    ([[[np.nan, 230.0], [np.nan], [231.0]], [[229.5, np.nan], [230.5], [np.nan]]], (229.5, 231.0), (2295.0, 2310.0)),
    # Infinities are left out as NaN is.
    ([[[np.inf, 230.0], [-np.inf, 231.0], [229.0]]], (229.0, 231.0), (2290.0, 2310.0)),
    # Nothing finite at all: no range.
    ([[[np.nan], [np.inf], [np.nan]]], (np.inf, -np.inf), (np.inf, -np.inf)),
])
def test_the_summary_ranges_of_the_rms_values_take_the_finite_values_of_each_phase(blocks, voltage, current):
    import types

    from powerquality import analysis

    ctx = types.SimpleNamespace(voltages=[None] * 3, currents=[None] * 3)
    digest = report.Digest(ctx)
    for phases in blocks:
        rows = [(k, v) for k, values in enumerate(phases) for v in values]
        period = np.zeros(len(rows) + 1, analysis.PERIOD_GAP_DTYPE)
        period["phase"][0], period["rmsVoltage"][0] = -1, 1e9  # an item's total: no phase's value
        period["phase"][1:] = [k for k, _ in rows]
        period["rmsVoltage"][1:] = [v for _, v in rows]
        period["rmsCurrent"][1:] = [10 * v for _, v in rows]
        b = types.SimpleNamespace(cycles=np.zeros(0, analysis.CYCLE_DTYPE), period=period,
                                  events=np.zeros(0, analysis.EVENT_DTYPE), rvc=np.zeros(0, analysis.RVC_DTYPE),
                                  windowed=None, aggregated=None, flicker=None)
        digest.process(b)
    low = [min(digest.rms[("U", k)][0] for k in range(3)), min(digest.rms[("I", k)][0] for k in range(3))]
    high = [max(digest.rms[("U", k)][1] for k in range(3)), max(digest.rms[("I", k)][1] for k in range(3))]
    assert (low[0], high[0]) == voltage and (low[1], high[1]) == current

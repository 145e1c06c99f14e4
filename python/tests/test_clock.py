# Clock time from the recordings: COMTRADE start, trigger and time codes, a CSV's start and zone given, the tables'
# ISO 8601 times with their offset.
import csv
import datetime

import numpy as np
import pytest

import powerquality as pq
from powerquality import comtrade, csvfile, fleet, report
from powerquality.recording import Recording, read_clock
from conftest import cli, three_phase, write_three

FS = 3200.0


def ns(text):
    return np.datetime64(text, "ns")


def edit(path, old, new):
    """Replace the configuration text `old` (lines ended by CR LF) by `new`."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    assert old in text
    with open(path, "wb") as f:
        f.write(text.replace(old, new).encode("latin-1"))


def dip_recording(base, seconds=2.0, **options):
    """Star voltages with a 60 % dip of all three phases from 1.0 s to 1.2 s, as COMTRADE (comtrade.write's
    options)."""
    u = three_phase(FS, seconds)
    u[:, int(1.0 * FS):int(1.2 * FS)] *= 0.6
    return write_three(base, u, FS, **options)


# The time code is the recorder's clock's offset from UTC, minus behind it: UTC = the start written - the offset.
@pytest.mark.parametrize("code, zone, utc", [
    ("+2h", "+02:00", "2026-03-15T08:00:00.123456789"),
    ("-5h30", "-05:30", "2026-03-15T15:30:00.123456789"),
    ("+10h30", "+10:30", "2026-03-14T23:30:00.123456789"),
    ("-4", "-04:00", "2026-03-15T14:00:00.123456789"),
    ("0", "+00:00", "2026-03-15T10:00:00.123456789"),
    ("x", None, None),  # not known: the start on the recorder's clock only
])
def test_a_2013_time_code_gives_the_start_in_utc(tmp_path, code, zone, utc):
    path = write_three(tmp_path / "r", three_phase(FS, 0.5), FS, revision="2013", time_code=code,
                       start="15/03/2026,10:00:00.123456789")
    for r in (comtrade.read(path), comtrade.open_blocks(path)):
        utc = None if utc is None else ns(utc)
        assert (r.time_zone, r.local_zone, r.start_utc, r.trigger_utc) == (zone, zone, utc, utc)
        assert r.start == "15/03/2026,10:00:00.123456789" and r.notes == []  # the text as the file writes it


def test_the_local_code_may_differ_from_the_time_code_of_a_recorder_that_keeps_utc(tmp_path):
    path = write_three(tmp_path / "r", three_phase(FS, 0.5), FS, revision="2013", time_code="0")
    edit(path, "\r\n0,0\r\n0,0\r\n", "\r\n0,+1h\r\n0,0\r\n")
    r = comtrade.read(path)
    assert (r.time_zone, r.local_zone, r.start_utc) == ("+00:00", "+01:00", ns("2020-01-01T00:00:00"))


# (revision, start text, the start it reads or None, a note or None): the 1991 layout writes mm/dd/yy, the later
# ones dd/mm/yyyy; the other order is taken, with a note, only when the expected one makes no date.
@pytest.mark.parametrize("revision, start, utc, note", [
    ("1999", "03/04/2021,05:06:07.250000", "2021-04-03T05:06:07.25", None),
    ("1991", "03/04/21,05:06:07.250000", "2021-03-04T05:06:07.25", None),
    ("1991", "03/04/2021,05:06:07.250000", "2021-03-04T05:06:07.25", None),
    ("1991", "12/31/99,23:59:59.999999", "1999-12-31T23:59:59.999999", None),
    ("1999", "12/31/2021,00:00:00", "2021-12-31T00:00:00", ":9: start date and time '12/31/2021,00:00:00' is no "
                                                            "date as dd/mm/yyyy"),
    ("1991", "31/12/21,00:00:00", "2021-12-31T00:00:00", ":9: start date and time '31/12/21,00:00:00' is no "
                                                         "date as mm/dd/yy"),
    ("2013", "01/02/2020,00:00:00.000000001", "2020-02-01T00:00:00.000000001", None),
    ("1999", "31/12/2016,23:59:60.500000", "2017-01-01T00:00:00.5", None),  # a leap second
    ("1999", "00/00/0000,00:00:00.000000", None, ":9: no start date and time"),
    ("1999", "0/0/0,00:00:00", None, ":9: no start date and time"),
    ("1999", ",", None, ":9: no start date and time"),
])
def test_start_dates_in_each_revision_order(tmp_path, revision, start, utc, note):
    path = write_three(tmp_path / "r", three_phase(FS, 0.5), FS, revision=revision, start=start,
                       time_code="0" if revision == "2013" else "+0h00")
    assert comtrade.read(path).start_utc is None or revision == "2013"  # 1991, 1999: the offset is not known
    r = comtrade.read(path, time_zone="+00:00")
    assert r.start_utc == (None if utc is None else ns(utc))
    notes = [n for n in r.notes if "date" in n]
    assert len(notes) == (note is not None) and (note is None or notes[0].startswith(path + note)), r.notes
    assert pq.analysis.start_datetime(r) == (None if utc is None else
                                             datetime.datetime.fromisoformat(str(ns(utc).astype("datetime64[us]"))))


@pytest.mark.parametrize("start, why", [
    ("32/13/2020,00:00:00.000000", "is not a date and time as dd/mm/yyyy reads it: month must be in 1..12"),
    ("15/03/2026,25:00:00.000000", "25:00:00 is not a time of day"),
    ("yesterday at noon", "is not a date and time such as 25/06/2007,19:13:57.789757"),
    ("15/03/226,10:00:00", "the year '226' has neither four digits nor two"),
])
def test_a_start_that_is_not_a_date_is_refused_naming_its_line_unless_a_start_is_given(tmp_path, start, why):
    path = write_three(tmp_path / "r", three_phase(FS, 0.5), FS, start=start)
    with pytest.raises(comtrade.ComtradeError) as refused:
        comtrade.open_blocks(path)
    assert str(refused.value).startswith(f"{path}:9: start date and time: ") and why in str(refused.value)
    assert "give --start" in str(refused.value)
    given = comtrade.open_blocks(path, start="2026-03-15T10:00:00", time_zone="+01:00")
    assert (given.start_utc, given.time_zone) == (ns("2026-03-15T09:00:00"), "+01:00")
    run = cli("analyze", path)
    assert run.returncode == 1 and run.stderr.strip().splitlines()[-1].startswith(f"powerquality: {path}:9: ")
    assert "Traceback" not in run.stderr


def test_a_trigger_that_is_not_a_date_is_noted_and_the_trigger_time_is_none(tmp_path):
    path = write_three(tmp_path / "r", three_phase(FS, 0.5), FS, start="01/01/2020,00:00:00.000000")
    edit(path, "01/01/2020,00:00:00.000000\r\nBINARY", "99/01/2020,00:00:00\r\nBINARY")
    r = comtrade.read(path, time_zone="+00:00")
    assert (r.start_utc, r.trigger_utc) == (ns("2020-01-01"), None)
    assert r.notes == [f"{path}:10: trigger date and time: '99/01/2020,00:00:00' is not a date and time as "
                       "dd/mm/yyyy reads it: day is out of range for month; no trigger time"]


@pytest.mark.parametrize("start, order, seconds, moved", [
    ("01/01/2020,00:00:59.950000001", "dmy", 0.125, "01/01/2020,00:01:00.075000001"),
    ("12/31/99,23:59:59.9", "mdy", 0.2, "01/01/00,00:00:00.100000"),
    ("31/12/2020,23:59:59.000000", "dmy", 1.5, "01/01/2021,00:00:00.500000"),
    ("not a date", "dmy", 1.0, "not a date"),
])
def test_a_later_section_read_alone_moves_the_start_text_in_its_own_layout(start, order, seconds, moved):
    assert comtrade._shifted(start, seconds, order) == moved


# The options: a start in ISO 8601 (its offset, when written, gives the instant and the zone), a zone as an
# offset or a name resolved at the start (Paris: +01:00 in winter, +02:00 in summer).
@pytest.mark.parametrize("start, zone, utc, offset", [
    ("2026-01-15T12:00:00", None, None, None),  # the offset not known: the recorder's clock only
    ("2026-01-15T12:00:00", "Europe/Paris", "2026-01-15T11:00:00", "+01:00"),
    ("2026-07-15T12:00:00.5", "Europe/Paris", "2026-07-15T10:00:00.5", "+02:00"),
    ("2026-07-15 12:00", "-05:30", "2026-07-15T17:30:00", "-05:30"),
    ("2026-07-15T12:00:00+02:00", None, "2026-07-15T10:00:00", "+02:00"),
    ("2026-07-15T12:00:00Z", None, "2026-07-15T12:00:00", "+00:00"),
])
def test_a_csv_takes_its_start_and_time_zone_from_the_options(tmp_path, start, zone, utc, offset):
    path = tmp_path / "r.csv"
    u = three_phase(FS, 0.5)
    np.savetxt(path, u.T, delimiter=",", header="VA,VB,VC", comments="")
    assert csvfile.read(str(path), sample_rate=FS).start_utc is None
    r = csvfile.open_blocks(str(path), sample_rate=FS, start=start, time_zone=zone)
    assert (r.start_utc, r.time_zone, r.start) == (utc and ns(utc), offset, start)


def test_a_start_utc_set_is_taken_as_given_until_a_start_is_given():
    r = Recording([], FS, start="01/03/2026,23:00:00.000000")
    assert r.start_utc is None  # the offset not known
    r.start_utc = "2026-03-01T20:00:00"
    assert r.start_utc == ns("2026-03-01T20:00:00") and r.start == "01/03/2026,23:00:00.000000"
    r.set_clock(start="2026-03-02T00:00:00+01:00")
    assert r.start_utc == ns("2026-03-01T23:00:00")
    r.start_utc = ns("2026-01-01")
    r.start_utc = None
    assert r.start_utc == ns("2026-03-01T23:00:00")


def test_a_time_zone_without_a_start_is_noted_and_a_fleet_checks_its_zone_before_it_starts():
    r = Recording([], FS, source="x.csv").set_clock(time_zone="Europe/Paris")
    assert (r.start_utc, r.time_zone, r.notes) == (None, None, ["--timezone Europe/Paris: the recording gives no "
                                                                "start time, so no clock times"])
    with pytest.raises(ValueError, match="'Mars/Olympus' is neither an offset"):
        fleet.run(["nothing/here"], time_zone="Mars/Olympus")


def test_tables_write_clock_times_with_the_offset_and_they_name_the_instants_of_start_utc(tmp_path):
    """A COMTRADE 2013 file with a time code: events.csv's start is in UTC with its offset, start_utc plus the
    event's seconds; detail.h5 says the start in UTC and the recorder's offset."""
    h5py = pytest.importorskip("h5py")
    path = dip_recording(tmp_path / "r", revision="2013", time_code="-5h30", start="15/03/2026,10:00:00.250000")
    run = cli("analyze", path, "--out", tmp_path / "out", "--detail")
    assert run.returncode == 0, run.stderr
    rows = list(csv.DictReader(open(tmp_path / "out" / "events.csv")))
    assert [row["type"] for row in rows] == ["dip"]
    stamp = datetime.datetime.fromisoformat(rows[0]["time"])
    assert rows[0]["time"].endswith("+00:00") and stamp.utcoffset() == datetime.timedelta(0)
    seconds = float(rows[0]["startTime"])
    utc = ns("2026-03-15T15:30:00.25") + np.timedelta64(int(round(seconds * 1e6)), "us")
    assert np.datetime64(stamp.astimezone(datetime.timezone.utc).replace(tzinfo=None), "ns") == utc
    with h5py.File(tmp_path / "out" / "detail.h5") as f:
        assert (f.attrs["start_utc"], f.attrs["time_zone"]) == ("2026-03-15T15:30:00.250000000Z", "-05:30")
        assert f.attrs["start"] == "2026-03-15T10:00:00.250000"  # the recorder's clock
        written = f["period"]["time"][:].view("M8[ns]")
    # The period table's clock times are those of the analysis in memory, as instants in UTC.
    a = pq.analyze(path)
    np.testing.assert_array_equal(written, a.tables()["period"]["time"])
    # --timezone overrules the file's time code, with a note; the stamps follow.
    run = cli("analyze", path, "--out", tmp_path / "paris", "--timezone", "Europe/Paris")
    assert run.returncode == 0 and "overruled by --timezone Europe/Paris (+01:00)" in run.stdout + run.stderr
    rows = list(csv.DictReader(open(tmp_path / "paris" / "events.csv")))
    assert rows[0]["time"].startswith("2026-03-15T09:00:01") and rows[0]["time"].endswith("+00:00")


@pytest.mark.parametrize("args, message", [
    (["--start", "2026-02-30T00:00:00"], "argument --start: '2026-02-30T00:00:00' is not a date and time: day is out "
                                         "of range for month"),
    (["--start", "15/03/2026,10:00:00"], "argument --start: '15/03/2026,10:00:00' is not a date and time in ISO 8601"),
    (["--timezone", "Mars/Olympus"], "argument --timezone: 'Mars/Olympus' is neither an offset from UTC"),
    (["--timezone", "+15:00"], "argument --timezone: '+15:00' is neither an offset from UTC"),
    (["--start", "2026-01-01T00:00:00+01:00", "--timezone", "+01:00"], "--start 2026-01-01T00:00:00+01:00 carries "
                                                                       "its offset from UTC"),
])
def test_bad_clock_options_are_refused_in_one_line(tmp_path, args, message):
    path = write_three(tmp_path / "r", three_phase(FS, 0.5), FS)
    run = cli("analyze", path, *args)
    assert run.returncode == 2 and message in run.stderr.splitlines()[-1] and "Traceback" not in run.stderr


def test_read_clock_takes_iso_text_and_says_what_is_wrong():
    assert read_clock("2026-03-01T12:00:00.5+01:00") == (ns("2026-03-01T12:00:00.5"), 60)
    assert read_clock("2026-03-01") == (ns("2026-03-01"), None)
    assert read_clock("  ") is None and read_clock(None) is None
    with pytest.raises(ValueError, match="offset '\\+15:00' is not within"):
        read_clock("2026-03-01T12:00:00+15:00")
    # A Recording built by hand with a start text and a zone gives its instant too.
    r = Recording([], FS, start="01/03/2026,23:00:00.000000", time_zone="+01:00")
    assert r.start_utc == ns("2026-03-01T22:00:00") and pq.analysis.start_datetime(r).hour == 23
    assert list(report.clock_texts(r, [0.5, 1.0])) == ["2026-03-01T22:00:00.500000+00:00",
                                                       "2026-03-01T22:00:01+00:00"]
    r.time_zone = None  # the offset not known: the recorder's clock without one
    assert list(report.clock_texts(r, [0.5])) == ["2026-03-01T23:00:00.500000"]

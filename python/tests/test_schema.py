# One schema for every table: numpy, CSV, detail.h5, pandas and xarray; NaN where nothing was measured; clock times.
# pandas and xarray are imported, not skipped: the test group of scripts/setup.sh installs them.
import datetime
import os

import numpy as np
import pandas as pd
import pytest
import xarray  # noqa: F401  (to_xarray needs it)

import powerquality as pq
from powerquality import report, schema
from powerquality.recording import Channel, Recording

FS = 6400.0
ANGLE = 0.3  # the currents lag their voltages by this much, radians
DOCS = os.path.join(os.path.dirname(__file__), "..", "..", "docs")


def supply(seconds=3.0, currents=True, dip=None):
    """Star voltages of 230 V with 5 % fifth harmonic, currents of 10 A with 10 % fifth lagging by ANGLE; a dip
    (start, end, share) on phase A."""
    t = np.arange(int(round(seconds * FS))) / FS
    w = [2 * np.pi * 50.0 * t - k * 2 * np.pi / 3 for k in range(3)]
    u = np.vstack([230 * np.sqrt(2) * (np.sin(x) + 0.05 * np.sin(5 * x)) for x in w])
    if dip:
        u[0, int(dip[0] * FS):int(dip[1] * FS)] *= dip[2]
    i = np.vstack([10 * np.sqrt(2) * (np.sin(x - ANGLE) + 0.1 * np.sin(5 * (x - ANGLE))) for x in w])
    channels = [Channel("U" + p, u[k], "V", "voltage", p, "arrays") for k, p in enumerate("ABC")]
    if currents:
        channels += [Channel("I" + p, i[k], "A", "current", p, "arrays") for k, p in enumerate("ABC")]
    return Recording(channels, FS, 50.0, None, "arrays")


@pytest.fixture(scope="module")
def clean():
    return pq.analyze(supply())


@pytest.fixture(scope="module")
def voltages_only():
    return pq.analyze(supply(currents=False))


# column, expected value (the maths of the synthesised supply), unit; the windows' median.
P1 = 230 * 10 * np.cos(ANGLE) + 11.5 * 1.0 * np.cos(5 * ANGLE)
EXPECTED = [
    ("A.rmsVoltage", 230 * np.sqrt(1 + 0.05 ** 2), "V"),
    ("B.harmonicVoltage1", 230.0, "V"),
    ("C.harmonicVoltage5", 11.5, "V"),
    ("A.harmonicCurrent5", 1.0, "A"),
    ("B.thdVoltage.thd", 5.0, "%"),
    ("C.thdCurrent.thd", 10.0, "%"),
    ("A.fundamentalActivePower", 2300 * np.cos(ANGLE), "W"),
    ("total.activePower", 3 * P1, "W"),
    ("A.impedance", 230 * np.sqrt(1.0025) / (10 * np.sqrt(1.01)), "Ω"),
    ("positive.voltageMagnitude", 230.0, "V"),
    ("positive.currentMagnitude", 10.0, "A"),
    ("negative.voltageMagnitude", 0.0, "V"),
    ("u2", 0.0, "%"),
    ("u0Current", 0.0, "%"),
]


def _xarray_value(ds, column):
    """The xarray variable and selection that hold a flat column."""
    prefix, base = schema._split(column)
    rule = schema.describe("windowed", column)
    sel = {}
    if rule.per == "phase":
        sel["phase"] = prefix
    elif rule.per == "sequence":
        sel["sequence"] = prefix
    name = ("sequence." if rule.per == "sequence" else "") + rule.name
    if rule.orders:
        sel["order"] = int(base[len(rule.name):])
    return ds[name].sel(**sel), ds[name].attrs["units"]


@pytest.mark.parametrize("column, expected, unit", EXPECTED)
def test_pandas_and_xarray_hold_the_windows_values_with_their_units(clean, column, expected, unit):
    frame = clean.as_pandas()["windowed"]
    assert frame.attrs["units"][column] == unit
    assert float(frame[column].median()) == pytest.approx(expected, rel=1e-4, abs=1e-4)
    values, units = _xarray_value(clean.to_xarray("windowed"), column)
    assert units == unit
    np.testing.assert_array_equal(values.values, frame[column].values)


def test_every_column_is_in_the_schema_and_every_measured_rule_has_values(clean, voltages_only):
    for a in (clean, voltages_only):
        lay = a.layout()
        for name, table in a.tables().items():
            columns = schema.flatten(table)
            rules = {}
            for column, values in columns.items():
                rules.setdefault(schema.describe(name, column), []).append(values)
            for rule in schema.columns(name):
                wanted = lay.measures(rule) and (not rule.array or rule.array in lay.arrays) and \
                    (rule.per != "sequence" or lay.phases == 3) and rule.name != "time" and len(table)
                if wanted:
                    assert rule in rules, (name, rule.name)
                if rule in rules and rule.dtype == "f8" and len(table):
                    have = np.concatenate([np.isfinite(v) for v in rules[rule]])
                    # Measured: some value; not measured: NaN throughout, never 0.
                    assert have.any() == lay.measures(rule), (name, rule.name)
    assert len(clean.as_pandas()["windowed"].columns) > 1000  # the arrays' orders are columns too


def test_not_measured_is_nan_and_sequence_components_sit_on_the_total_row(clean, voltages_only):
    period = voltages_only.tables()["period"]
    assert "reserved" not in period.dtype.names and "rvcVoltage.state" not in schema.flatten(period)
    for name in ("rmsCurrent", "rmsLineToLine", "activePower", "fundamentalPhaseAngle", "positive.currentMagnitude"):
        assert np.isnan(period[name]).all(), name
    windowed = voltages_only.tables()["windowed"]
    assert np.isnan(windowed["A.rmsCurrent"]).all() and np.isnan(windowed["A.harmonicCurrent"]).all()
    assert np.isnan(windowed["u2Current"]).all() and "total.thdVoltage.thd" not in windowed.dtype.names
    rows = clean.tables()["period"]
    total = rows["phase"] == "total"
    assert list(rows["phase"][:4]) == ["total", "A", "B", "C"] and total.sum() * 4 == len(rows)
    # The total row holds every sequence; the phases' rows none (the records hold sequence m in their row m).
    for name, value, within in (("positive.voltageMagnitude", 230.0, 0.023), ("negative.voltageMagnitude", 0.0, 1e-3),
                                ("zero.currentMagnitude", 0.0, 1e-3), ("positive.currentMagnitude", 10.0, 0.01)):
        np.testing.assert_allclose(rows[name][total], value, rtol=0, atol=within, err_msg=name)
    for name, on in (("positive.voltageMagnitude", ~total), ("zero.voltage.re", ~total),
                     ("fundamentalReactivePowerSum", ~total), ("fundamentalPhaseAngle", total)):
        assert np.isnan(rows[name][on]).all(), name
    np.testing.assert_allclose(rows["fundamentalPhaseAngle"][~total][4:], np.degrees(ANGLE), rtol=1e-4)
    ds = clean.to_xarray("period")
    assert ds["rmsVoltage"].dims == ("time", "phase") and ds["sequence.voltageMagnitude"].dims == ("time", "sequence")
    np.testing.assert_array_equal(ds["rmsVoltage"].sel(phase="B").values, rows["rmsVoltage"][rows["phase"] == "B"])
    np.testing.assert_array_equal(ds["sequence.voltageMagnitude"].sel(sequence="positive").values,
                                  rows["positive.voltageMagnitude"][total])


def test_a_gap_leaves_every_measured_value_of_its_rows_nan():
    recording = supply(currents=False)
    for c in recording.channels:
        c.values[int(1.5 * FS):int(1.6 * FS)] = np.nan
    rows = pq.analyze(recording).tables()["period"]
    gap = rows["gap"]
    assert gap.any() and not gap.all()
    for name in ("rmsVoltage", "frequency", "positive.voltageMagnitude", "zero.voltage.im"):
        assert np.isnan(rows[name][gap]).all(), name
    assert np.isfinite(rows["positive.voltageMagnitude"][~gap & (rows["phase"] == "total")]).all()


def test_array_columns_spread_over_a_column_per_order_in_order(clean):
    table = clean.tables()["windowed"]
    assert table["A.harmonicVoltage"].shape == (len(table), 51)
    columns = schema.flatten(table)
    for k in (0, 1, 5, 50):
        np.testing.assert_array_equal(columns[f"B.harmonicVoltage{k}"], clean.harmonics["harmonicsVoltage"][:, 1, k])
        np.testing.assert_array_equal(columns[f"C.interHarmonicCurrent{k}"],
                                      clean.harmonics["interHarmonicsCurrent"][:, 2, k])
    assert schema.describe("windowed", "B.harmonicVoltage17").unit == "V"
    assert schema.describe("aggregated_10min", "C.interHarmonicCurrent3").unit == "A"
    with pytest.raises(KeyError, match="no column 'A.reserved'"):
        schema.describe("windowed", "A.reserved")


def _read_csv(path):
    return pd.read_csv(path, keep_default_na=False, dtype=str)


@pytest.mark.parametrize("start, utc", [
    ("utc", True),     # the recording's offset is known: start_utc
    ("naive", False),  # only the file's start on the recorder's clock
    (None, False),     # no start: no time column anywhere
])
def test_times_are_equal_in_numpy_csv_hdf5_and_pandas(tmp_path, start, utc):
    h5py = pytest.importorskip("h5py")
    recording = supply(seconds=4.0, dip=(2.0, 2.2, 0.5))
    if start is not None:  # the recorder's clock (its 10-minute ticks) at UTC, or its offset not known
        recording.start = "31/03/2024,00:59:58.500000"
    if start == "utc":
        recording.start_utc = np.datetime64("2024-03-31T00:59:58.5", "ns")
    a = pq.analyze(recording)
    tables, frames = a.tables(), a.as_pandas()
    report.write_tables(a, str(tmp_path), detail=True)
    assert list(tables["events"]["type"]) == ["dip"] and list(tables["events"]["phases"]) == ["A"]
    assert frames["events"]["type"].dtype == "category" and list(frames["events"]["type"]) == ["dip"]
    if start is None:
        assert all("time" not in t.dtype.names for t in tables.values())
        with h5py.File(tmp_path / "detail.h5") as f:
            assert "time" not in _read_csv(tmp_path / "events.csv").columns and "time" not in f["period"].dtype.names
        return
    base = np.datetime64("2024-03-31T00:59:58.5", "ns")
    for name, seconds in (("events", "startTime"), ("rvc", "startTime"), ("aggregated_3s", "endTime"),
                          ("aggregated_10min", "tagTime"), ("frequency", "seconds"), ("period", "seconds"),
                          ("windowed", "seconds")):
        table = tables[name]
        expected = base + np.round(table[seconds] * 1e9).astype("m8[ns]")
        np.testing.assert_array_equal(table["time"], expected, err_msg=name)
        index = frames[name].index
        assert str(index.tz) == ("UTC" if utc else "None"), name
        np.testing.assert_array_equal(index.tz_localize(None).values if utc else index.values, expected)
    assert tables["aggregated_10min"]["time"][0] == np.datetime64("2024-03-31T01:00:00", "ns")
    for name in ("events", "aggregated_3s", "aggregated_10min"):
        text = _read_csv(tmp_path / f"{name}.csv")["time"]
        assert all(t.endswith("+00:00") == utc for t in text), name
        parsed = np.array([np.datetime64(t[:-6] if utc else t, "ns") for t in text])
        np.testing.assert_array_equal(parsed, tables[name]["time"].astype("M8[us]").astype("M8[ns]"))
    assert _read_csv(tmp_path / "events.csv")["time"][0].startswith("2024-03-31T01:00:00.49")
    with h5py.File(tmp_path / "detail.h5") as f:
        for name in ("period", "frequency", "windowed"):
            np.testing.assert_array_equal(f[name]["time"], tables[name]["time"].view("i8"), err_msg=name)
            assert f[name].attrs["time_zone"] == ("UTC" if utc else "unknown")
        assert set(f["windowed"].dtype.names) == set(tables["windowed"].dtype.names)
        assert f["period"]["phase"][:4].tolist() == [b"total", b"A", b"B", b"C"]
    ds = a.to_xarray("events")
    assert ds.attrs["time_zone"] == ("UTC" if utc else "recorder's clock, offset unknown")


@pytest.mark.parametrize("value, expected, utc", [
    ("2024-03-01T12:00:00+01:00", "2024-03-01T11:00:00", True),
    ("2024-03-01 12:00:00.25Z", "2024-03-01T12:00:00.25", True),
    ("2024-03-01T12:00:00", "2024-03-01T12:00:00", False),
    (datetime.datetime(2024, 3, 1, 12, tzinfo=datetime.timezone(datetime.timedelta(hours=-5))),
     "2024-03-01T17:00:00", True),
    (np.datetime64("2024-03-01T12:00:00.123456789"), "2024-03-01T12:00:00.123456789", True),
])
def test_starts_read_as_utc_where_their_offset_is_known(value, expected, utc):
    start, aware = schema.to_datetime64(value)
    assert (start, aware) == (np.datetime64(expected, "ns"), utc)


@pytest.mark.parametrize("value", ["yesterday", 12.5])
def test_an_unreadable_start_is_refused_naming_it(value):
    with pytest.raises(ValueError, match=f"start {value!r}: give"):
        schema.to_datetime64(value)


def test_the_manuals_table_of_columns_is_made_from_the_schema():
    with open(os.path.join(DOCS, "columns.md"), encoding="utf-8") as f:
        assert f.read() == schema.markdown(), "docs/columns.md: write schema.markdown() into it"

# detail.h5: compact (chunks that fit the tables, compressed) and self-describing (units, start, channels, rates,
# version), its values those of the analysis in memory.
import os

import numpy as np
import pytest

import powerquality as pq
from powerquality import report
from powerquality.analysis import flatten
from conftest import cli, recording, three_phase

h5py = pytest.importorskip("h5py")

# detail.h5 of the shared 60 Hz recording before its chunks fitted the tables and were compressed.
UNCOMPRESSED_BYTES = 11_324_320


def expected_period(a):
    """The period table's columns as the analysis holds them: the sequence components only in the rows that carry
    one (the total's, phase A's and B's), the sum of the reactive powers only in the total's; else NaN."""
    columns = flatten(a.period)
    phase = a.period["phase"]
    for name, keep in list(columns.items()):
        if name.startswith("symmetricalComponent."):
            columns[name] = np.where(phase <= 1, keep, np.nan)
        elif name == "fundamentalReactivePowerSum":
            columns[name] = np.where(phase == -1, keep, np.nan)
    return columns


def check_values(f, a):
    """Every column of detail.h5 equals the analysis' own values (NaN where both are NaN)."""
    period, columns = f["period"][:], expected_period(a)
    assert len(period) == len(a.period)
    for name in period.dtype.names:
        np.testing.assert_array_equal(period[name], columns[name], err_msg=name)
    frequency = f["frequency"][:]
    for name, values in flatten(a.frequency).items():
        np.testing.assert_array_equal(frequency[name], values, err_msg=name)
    windowed, w = f["windowed"][:], a.windowed
    assert len(windowed) == len(w)
    for k, label in enumerate("ABC"):
        for field in ("rmsVoltage", "fundamentalVoltage", "dcVoltage", "rmsCurrent", "activePower", "powerFactor"):
            if f"{label}.{field}" in windowed.dtype.names:
                np.testing.assert_array_equal(windowed[f"{label}.{field}"], w["phases"][:, k][field])
        np.testing.assert_array_equal(windowed[f"{label}.thdVoltage.thd"], w["phases"][:, k]["thdVoltage"]["thd"])
    np.testing.assert_array_equal(windowed["total.activePower"], w["phases"][:, 3]["activePower"])
    np.testing.assert_array_equal(windowed["u2"], w["symmetricalComponents"][:, 2]["voltageUnbalance"])
    np.testing.assert_array_equal(windowed["time"], w["time"])
    np.testing.assert_array_equal(windowed["flagged"], a.window_flags)


def check_described(f, a):
    """The file's attributes and each table's units: one known unit per column."""
    assert f.attrs["sample_rate"] == a.sample_rate and f.attrs["nominal_frequency"] == a.nominal_frequency
    assert list(f.attrs["channels"]) == a.voltages + a.currents and list(f.attrs["voltage_channels"]) == a.voltages
    assert list(f.attrs["current_channels"]) == a.currents and f.attrs["grid"] == a.grid
    assert f.attrs["library_version"] == pq.__version__
    for name in ("period", "frequency", "windowed"):
        data = f[name]
        units = list(data.attrs["units"])
        assert len(units) == len(data.dtype.names) and None not in report.column_units(name, data.dtype.names)
        assert data.compression == report.Detail.COMPRESSION["compression"]
        assert data.chunks[0] * data.dtype.itemsize <= report.Detail.CHUNK_BYTES
    units = dict(zip(f["period"].dtype.names, f["period"].attrs["units"]))
    assert [units[k] for k in ("time", "frequency", "rmsVoltage", "rmsCurrent", "activePower", "nonActivePower",
                               "apparentPower", "powerFactor", "fundamentalPhaseAngle", "phase",
                               "symmetricalComponent.voltage.re", "rvcVoltage.deltaUmax")] == \
        ["s", "Hz", "V", "A", "W", "var", "VA", "1", "degree", "", "V", "V"]
    units = dict(zip(f["windowed"].dtype.names, f["windowed"].attrs["units"]))
    assert [units[k] for k in ("B.rmsVoltage", "total.reactivePower", "C.thdVoltage.thd", "u0", "flagged")] == \
        ["V", "var", "%", "%", ""]


def test_the_shared_recording_gives_a_tenth_of_the_bytes_its_attributes_and_the_values_in_memory(tmp_path):
    path = recording("test2")
    run = cli("analyze", path, "--out", tmp_path, "--detail")
    assert run.returncode == 0, run.stderr
    size = os.path.getsize(tmp_path / "detail.h5")
    assert size <= UNCOMPRESSED_BYTES / 10, size
    a = pq.analyze(path)
    with h5py.File(tmp_path / "detail.h5", "r") as f:
        check_values(f, a)
        check_described(f, a)
        # A 1999 file has no time code: the start as the file writes it, taken as UTC; no time zone said.
        assert f.attrs["start_utc"] == "2007-01-01T12:22:50.407500000Z" and "time_zone" not in f.attrs
        assert f.attrs["source"] == path and f.attrs["sample_rate"] == 5760.0


def test_a_table_written_whole_is_one_chunk_and_one_written_by_blocks_chunks_to_its_estimated_length(tmp_path):
    fs = 3200.0
    u = three_phase(fs, 12.0)
    i = 0.1 * three_phase(fs, 12.0, angle=-0.3)
    a = pq.analyze(voltages=u, currents=i, sample_rate=fs)
    report.write_tables(a, str(tmp_path / "whole"), detail=True)
    with h5py.File(tmp_path / "whole" / "detail.h5", "r") as f:
        # At most CHUNK_BYTES a chunk: the period table (259 bytes a row) takes five.
        most = report.Detail.CHUNK_BYTES // f["period"].dtype.itemsize
        assert [f[name].chunks[0] for name in ("period", "frequency", "windowed")] == \
            [most, len(a.frequency), len(a.windowed)] and len(a.period) > 4 * most
        check_values(f, a)
        check_described(f, a)
        assert "start_utc" not in f.attrs  # arrays have no start
    # Block by block (a second a block): the first block's rows scaled to the recording's length, a twentieth more.
    stream = pq.analysis.stream(voltages=u, currents=i, sample_rate=fs, block_size=int(fs))
    detail = report.Detail(stream.ctx, str(tmp_path / "blocks.h5"))
    first = {}
    for b in stream:
        for name in ("period", "frequency"):
            first[name] = first.get(name) or len(getattr(b, name))  # the first block with rows (the first has none)
        detail.process(b)
    with h5py.File(tmp_path / "blocks.h5", "r") as f:
        for name, rows in first.items():
            itemsize = f[name].dtype.itemsize
            assert f[name].chunks[0] == min(int(np.ceil(1.05 * rows * 12)), report.Detail.CHUNK_BYTES // itemsize)
        check_values(f, a)

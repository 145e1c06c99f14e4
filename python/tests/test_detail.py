# detail.h5: compact (chunks that fit the tables, compressed) and self-describing (units, start, channels, rates,
# version), its values those of the analysis in memory.
import os

import numpy as np
import pytest

import powerquality as pq
from powerquality import report, schema
from conftest import cli, recording, three_phase

h5py = pytest.importorskip("h5py")

# detail.h5 of the shared 60 Hz recording before its chunks fitted the tables and were compressed.
UNCOMPRESSED_BYTES = 11_324_320


def stored(column):
    """A schema column as detail.h5 stores it: datetime64 as int64 nanoseconds, text as ASCII bytes."""
    if column.dtype.kind == "M":
        return column.astype("M8[ns]").view("i8")
    return np.char.encode(column, "ascii") if column.dtype.kind == "U" else column


def check_values(f, a):
    """Every table of detail.h5 holds the columns of the analysis' tables in memory, value for value (NaN where
    both are NaN)."""
    tables = a.tables()
    for name in ("period", "frequency", "windowed"):
        written, table = f[name][:], tables[name]
        assert written.dtype.names == table.dtype.names and len(written) == len(table), name
        for column in table.dtype.names:
            np.testing.assert_array_equal(written[column], stored(table[column]), err_msg=f"{name}: {column}")


def check_described(f, a):
    """The file's attributes and each table's units: the schema's, one per column."""
    assert f.attrs["sample_rate"] == a.sample_rate and f.attrs["nominal_frequency"] == a.nominal_frequency
    assert list(f.attrs["channels"]) == a.voltages + a.currents and list(f.attrs["voltage_channels"]) == a.voltages
    assert list(f.attrs["current_channels"]) == a.currents and f.attrs["grid"] == a.grid
    assert f.attrs["library_version"] == pq.__version__
    for name in ("period", "frequency", "windowed"):
        data = f[name]
        units = list(data.attrs["units"])
        assert units == [schema.describe(name, column).unit for column in data.dtype.names], name
        assert data.compression == report.Detail.COMPRESSION["compression"]
        assert data.chunks[0] * data.dtype.itemsize <= max(report.Detail.CHUNK_BYTES, data.dtype.itemsize)
    units = dict(zip(f["period"].dtype.names, f["period"].attrs["units"]))
    assert [units[k] for k in ("seconds", "frequency", "rmsVoltage", "rmsCurrent", "activePower", "powerFactor",
                               "phase")] == ["s", "Hz", "V", "A", "W", "1", ""]


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
        # A 1999 file has no time code: the start on the recorder's clock, its offset from UTC not known.
        assert (f.attrs["start"], f.attrs["time_zone"]) == ("2007-01-01T12:22:50.407500", "unknown")
        assert "start_utc" not in f.attrs
        assert f.attrs["source"] == path and f.attrs["sample_rate"] == 5760.0


def test_a_table_written_whole_is_one_chunk_and_one_written_by_blocks_chunks_to_its_estimated_length(tmp_path):
    fs = 3200.0
    u = three_phase(fs, 12.0)
    i = 0.1 * three_phase(fs, 12.0, angle=-0.3)
    a = pq.analyze(voltages=u, currents=i, sample_rate=fs)
    report.write_tables(a, str(tmp_path / "whole"), detail=True)
    with h5py.File(tmp_path / "whole" / "detail.h5", "r") as f:
        # At most CHUNK_BYTES a chunk: the period and windowed tables (their rows of hundreds and thousands of
        # bytes) take several.
        tables = {"period": a.period, "frequency": a.frequency, "windowed": a.windowed}
        most = {name: report.Detail.CHUNK_BYTES // f[name].dtype.itemsize for name in tables}
        assert [f[name].chunks[0] for name in tables] == [min(len(t), most[name]) for name, t in tables.items()]
        assert len(a.period) > 4 * most["period"] and len(a.frequency) < most["frequency"]
        check_values(f, a)
        check_described(f, a)
        assert not {"start", "start_utc", "time_zone"} & set(f.attrs)  # arrays have no start
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

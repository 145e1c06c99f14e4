# The reader on files the test writes in every format and revision, and on
# malformed ones.
import numpy as np
import pytest

from powerquality import comtrade, csvfile
from powerquality.recording import RecordingError

FS = 4000.0


def _signals():
    t = np.arange(400) / FS
    return {"VA": 11000.0 * np.sin(2 * np.pi * 50 * t), "VB": 11000.0 * np.sin(2 * np.pi * 50 * t - 2.1),
            "IA": 250.0 * np.cos(2 * np.pi * 50 * t)}


def _edit_line(path, number, text):
    """Replaces line `number` (from 1); text None cuts the file before it."""
    lines = open(path).read().splitlines()
    lines[number - 1:] = [] if text is None else [text] + lines[number:]
    open(path, "w").write("\n".join(lines) + "\n")


@pytest.mark.parametrize("revision", ["1991", "1999", "2013"])
@pytest.mark.parametrize("file_type", ["ASCII", "BINARY", "BINARY32", "FLOAT32"])
def test_every_format_reads_back_within_its_quantisation(tmp_path, revision, file_type):
    signals = _signals()
    # Channels recorded in kV are written from values in kV and read as V.
    comtrade.write(str(tmp_path / "rec"), signals, FS, file_type=file_type, revision=revision,
                   units={"VA": "kV", "VB": "kV", "IA": "A"}, phases={"VA": "A", "VB": "B", "IA": "A"})
    rec = comtrade.read(str(tmp_path / "rec.dat"))  # the data file finds its configuration
    assert rec.sample_rate == FS and rec.samples == 400 and rec.nominal_frequency == 50.0
    step = {"ASCII": 1 / 32767, "BINARY": 1 / 32767, "BINARY32": 1 / 2147483647, "FLOAT32": 1e-7}[file_type]
    for name, values in signals.items():
        expected = values * (1000.0 if name.startswith("V") else 1.0)
        np.testing.assert_allclose(rec.channel(name).values, expected, atol=np.max(np.abs(expected)) * step * 0.6,
                                   rtol=1e-6)
    assert [(c.kind, c.phase, c.unit) for c in rec.channels] == [("voltage", "A", "V"), ("voltage", "B", "V"),
                                                                  ("current", "A", "A")]


def test_secondary_values_are_converted_by_the_ratios_and_the_offset_added(tmp_path):
    signals = _signals()
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type="FLOAT32", secondary=True)
    line = open(cfg).read().splitlines()[2].split(",")  # VA, stored as secondary values
    _edit_line(cfg, 3, ",".join(line[:6] + ["5.0"] + line[7:]))
    np.testing.assert_allclose(comtrade.read(str(tmp_path / "rec")).channel("VA").values, signals["VA"] + 5000.0,
                               rtol=1e-6, atol=1e-3)
    np.testing.assert_allclose(comtrade.read(cfg, primary=False).channel("VA").values, signals["VA"] / 1000.0 + 5.0,
                               rtol=1e-6, atol=1e-6)


def test_rate_zero_takes_the_rate_of_the_time_stamps(tmp_path):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="ASCII")
    _edit_line(cfg, 8, "0,400")
    assert comtrade.read(cfg).sample_rate == pytest.approx(FS, rel=1e-6)


@pytest.mark.parametrize("name, line, text, message", [
    ("rec.cfg", 1, "station,recorder,2005", "revision year '2005'"),
    ("rec.cfg", 2, "3,3A", "channel counts .*expected 3 comma-separated fields, found 2"),
    ("rec.cfg", 2, "4,3A,0D", "channel counts: 3 analog \\+ 0 status is not 4"),
    ("rec.cfg", 4, "2,VB,B,circuit,V,x,0.0,0,-32767,32767,1,1,P", "analog channel 2 multiplier a: 'x'"),
    ("rec.cfg", 5, "3,IA,,circuit,A,1.0", "analog channel 3: expected 10 to 13"),
    ("rec.cfg", 5, "3,IA,,circuit,A,1.0,0.0,0,-32767,32767,1,1,Q", ".*flag 'Q' is not P or S"),
    ("rec.cfg", 6, None, "file ends where line frequency was expected"),
    ("rec.cfg", 11, "BINARY64", "data file type 'BINARY64'"),
    ("rec.dat", 7, "7,1500,1,2,3,4", "sample record: expected 5 fields"),
])
def test_malformed_files_name_the_line(tmp_path, name, line, text, message):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="ASCII")
    _edit_line(str(tmp_path / name), line, text)
    with pytest.raises(comtrade.ComtradeError, match=f"{name}:{line}: {message}"):
        comtrade.read(cfg)


def test_missing_values_read_as_nan_and_part_of_a_record_is_reported(tmp_path):
    comtrade.write(str(tmp_path / "asc"), _signals(), FS, file_type="ASCII")
    _edit_line(str(tmp_path / "asc.dat"), 4, "4,750,99999,0,0")
    cfg = comtrade.write(str(tmp_path / "bin"), _signals(), FS, file_type="BINARY")
    raw = np.fromfile(str(tmp_path / "bin.dat"), dtype="<i2").reshape(400, 7)
    raw[3, 4] = -32768  # VA of sample 3 (after the 4 + 4 bytes of number and time stamp)
    raw.tofile(str(tmp_path / "bin.dat"))
    for name in ("asc", "bin"):
        va = comtrade.read(str(tmp_path / name)).channel("VA").values
        assert np.isnan(va[3]) and np.count_nonzero(np.isnan(va)) == 1, name
    with open(str(tmp_path / "bin.dat"), "ab") as f:
        f.write(b"\0\0\0")
    with pytest.raises(comtrade.ComtradeError, match="not a whole number of 14-byte records"):
        comtrade.read(cfg)


def test_csv_with_header_and_time_column(tmp_path):
    path = tmp_path / "rec.csv"
    t = np.arange(200) / FS
    rows = np.column_stack([t, np.sin(t), np.cos(t), 2 * np.sin(t)])
    np.savetxt(path, rows, delimiter=";", header="time;U_L1;UL2;I1", comments="")
    rec = csvfile.read(str(path))
    assert rec.sample_rate == pytest.approx(FS)
    assert [(c.name, c.kind, c.phase) for c in rec.channels] == [
        ("U_L1", "voltage", "A"), ("UL2", "voltage", "B"), ("I1", "current", "A")]
    np.testing.assert_allclose(rec.channel("I1").values, rows[:, 3])


def test_csv_without_header_by_column_count_and_its_errors(tmp_path):
    path = tmp_path / "rec.csv"
    np.savetxt(path, np.ones((20, 6)), delimiter=",")
    with pytest.raises(RecordingError, match="give the sample rate"):
        csvfile.read(str(path))
    rec = csvfile.read(str(path), sample_rate=FS)
    assert [(c.kind, c.phase) for c in rec.channels] == [("voltage", p) for p in "ABC"] + [("current", p) for p in "ABC"]
    _edit_line(path, 13, "1,2,3,4,5,abc")
    with pytest.raises(RecordingError, match="rec.csv:13: 'abc' is not a number"):
        csvfile.read(str(path), sample_rate=FS)

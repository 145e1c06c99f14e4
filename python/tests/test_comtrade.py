# The reader on files the test writes in every format and revision, and on
# malformed ones.
import os

import numpy as np
import pytest

from powerquality import comtrade, csvfile
from powerquality.recording import RecordingError

FS = 4000.0


def _signals(n=400):
    t = np.arange(n) / FS
    return {
        "VA": 11000.0 * np.sin(2 * np.pi * 50 * t),
        "VB": 11000.0 * np.sin(2 * np.pi * 50 * t - 2.1),
        "IA": 250.0 * np.cos(2 * np.pi * 50 * t),
    }


@pytest.mark.parametrize("revision", ["1991", "1999", "2013"])
@pytest.mark.parametrize("file_type", ["ASCII", "BINARY", "BINARY32", "FLOAT32"])
def test_every_format_reads_back_within_its_quantisation(tmp_path, revision, file_type):
    signals = _signals()
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type=file_type, revision=revision,
                         units={"VA": "kV", "VB": "kV", "IA": "A"}, phases={"VA": "A", "VB": "B", "IA": "A"})
    # Channels recorded in kV are written from values in kV.
    rec = comtrade.read(cfg)
    assert rec.sample_rate == FS and rec.samples == 400 and rec.nominal_frequency == 50.0
    step = {"ASCII": 1 / 32767, "BINARY": 1 / 32767, "BINARY32": 1 / 2147483647, "FLOAT32": 1e-7}[file_type]
    for name, values in signals.items():
        c = rec.channel(name)
        factor = 1000.0 if name.startswith("V") else 1.0  # kV are read as V
        peak = np.max(np.abs(values))
        np.testing.assert_allclose(c.values, values * factor, atol=peak * factor * step * 0.6, rtol=1e-6)
    assert (rec.channel("VA").kind, rec.channel("VA").phase, rec.channel("VA").unit) == ("voltage", "A", "V")
    assert (rec.channel("IA").kind, rec.channel("IA").phase) == ("current", "A")


def test_secondary_values_are_converted_by_the_ratios(tmp_path):
    signals = _signals()
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type="FLOAT32", secondary=True)
    np.testing.assert_allclose(comtrade.read(cfg).channel("VA").values, signals["VA"], rtol=1e-6, atol=1e-3)
    np.testing.assert_allclose(comtrade.read(cfg, primary=False).channel("VA").values, signals["VA"] / 1000.0,
                               rtol=1e-6, atol=1e-6)


def test_base_name_and_dat_path_find_the_pair(tmp_path):
    comtrade.write(str(tmp_path / "rec"), _signals(), FS)
    assert comtrade.read(str(tmp_path / "rec")).samples == 400
    assert comtrade.read(str(tmp_path / "rec.dat")).samples == 400


def test_rate_zero_takes_the_rate_of_the_time_stamps(tmp_path):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="ASCII")
    text = open(cfg).read().replace(f"{FS},400", "0,400")
    open(cfg, "w").write(text)
    assert comtrade.read(cfg).sample_rate == pytest.approx(FS, rel=1e-6)


def _edit_line(cfg, number, text):
    lines = open(cfg).read().splitlines()
    lines[number - 1] = text
    open(cfg, "w").write("\n".join(lines) + "\n")


@pytest.mark.parametrize("line, text, message", [
    (2, "3,3A", "rec.cfg:2: channel counts .*expected 3 comma-separated fields, found 2"),
    (2, "4,3A,0D", "rec.cfg:2: channel counts: 3 analog \\+ 0 status is not 4"),
    (4, "2,VB,B,circuit,V,x,0.0,0,-32767,32767,1,1,P", "rec.cfg:4: analog channel 2 multiplier a: 'x'"),
    (5, "3,IA,,circuit,A,1.0", "rec.cfg:5: analog channel 3: expected 10 to 13"),
    (5, "3,IA,,circuit,A,1.0,0.0,0,-32767,32767,1,1,Q", "rec.cfg:5: .*flag 'Q' is not P or S"),
    (1, "station,recorder,2005", "rec.cfg:1: revision year '2005'"),
    (11, "BINARY64", "rec.cfg:11: data file type 'BINARY64'"),
])
def test_malformed_configuration_names_the_line(tmp_path, line, text, message):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY")
    _edit_line(cfg, line, text)
    with pytest.raises(comtrade.ComtradeError, match=message):
        comtrade.read(cfg)


def test_truncated_files_are_reported(tmp_path):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY")
    lines = open(cfg).read().splitlines()
    open(cfg, "w").write("\n".join(lines[:5]) + "\n")
    with pytest.raises(comtrade.ComtradeError, match="rec.cfg:6: file ends where line frequency was expected"):
        comtrade.read(cfg)
    cfg = comtrade.write(str(tmp_path / "bin"), _signals(), FS, file_type="BINARY32")
    with open(str(tmp_path / "bin.dat"), "ab") as f:
        f.write(b"\0\0\0")
    with pytest.raises(comtrade.ComtradeError, match="not a whole number of 20-byte records"):
        comtrade.read(cfg)
    cfg = comtrade.write(str(tmp_path / "asc"), _signals(), FS, file_type="ASCII")
    dat = str(tmp_path / "asc.dat")
    lines = open(dat).read().splitlines()
    lines[6] = lines[6] + ",7"
    lines[9] = lines[9].replace(",", ",x", 1)
    open(dat, "w").write("\n".join(lines) + "\n")
    with pytest.raises(comtrade.ComtradeError, match="asc.dat:7: sample record: expected 5 fields"):
        comtrade.read(cfg)


def test_missing_values_read_as_nan(tmp_path):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY")
    raw = np.fromfile(str(tmp_path / "rec.dat"), dtype="<i2").reshape(400, 7)
    raw[3, 4] = -32768  # VA of sample 3 (after the 4 + 4 bytes of number and time stamp)
    raw.tofile(str(tmp_path / "rec.dat"))
    va = comtrade.read(cfg).channel("VA").values
    assert np.isnan(va[3]) and np.count_nonzero(np.isnan(va)) == 1


def test_csv_with_header_and_time_column(tmp_path):
    path = tmp_path / "rec.csv"
    t = np.arange(200) / FS
    rows = np.column_stack([t, np.sin(t), np.cos(t), 2 * np.sin(t)])
    with open(path, "w") as f:
        f.write("time;U_L1;UL2;I1\n")
        np.savetxt(f, rows, delimiter=";")
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
    lines = open(path).read().splitlines()
    lines[12] = "1,2,3,4,5,abc"
    open(path, "w").write("\n".join(lines) + "\n")
    with pytest.raises(RecordingError, match="rec.csv:13: 'abc' is not a number"):
        csvfile.read(str(path), sample_rate=FS)

# The reader on files the test writes in every format and revision, and on malformed ones.
import os
import re
import struct

import numpy as np
import pytest

from powerquality import _core, comtrade, csvfile
from powerquality.recording import RecordingError

FS = 4000.0


def _signals(samples=400):
    w = 2 * np.pi * 50 * np.arange(samples) / FS
    return {"VA": 11000.0 * np.sin(w), "VB": 11000.0 * np.sin(w - 2.1), "IA": 250.0 * np.cos(w)}


def _contents(rec):
    return [rec.sample_rate, rec.header, rec.information, list(rec.status), dict(rec.status),
            [c.values for c in rec.channels]]


def _edit_line(path, number, text):
    """Replaces line `number` (from 1); text None cuts the file before it."""
    lines = open(path).read().splitlines()
    lines[number - 1:] = [] if text is None else [text] + lines[number:]
    open(path, "w").write("\n".join(lines) + "\n")


def test_secondary_values_are_converted_by_the_ratios_and_the_offset_added(tmp_path):
    signals = _signals()
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type="FLOAT32", secondary=True)
    _edit_line(cfg, 3, "1,VA,,circuit,V,1.0,5.0,0,-32767,32767,1000,1,S")  # VA, secondary values, offset b 5.0
    np.testing.assert_allclose(comtrade.read(str(tmp_path / "rec")).channel("VA").values, signals["VA"] + 5000.0,
                               rtol=1e-6, atol=1e-3)
    np.testing.assert_allclose(comtrade.read(cfg, primary=False).channel("VA").values, signals["VA"] / 1000.0 + 5.0,
                               rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("name, line, text, message", [
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


def test_csv_without_header_by_column_count_and_its_errors(tmp_path):
    path = tmp_path / "rec.csv"
    np.savetxt(path, np.ones((20, 6)), delimiter=",")
    with pytest.raises(RecordingError, match="give the sample rate"):
        csvfile.read(str(path))
    rec = csvfile.read(str(path), sample_rate=FS)
    assert [(c.kind, c.phase) for c in rec.channels] == [("voltage", p) for p in "ABC"] + [("current", p) for p in "ABC"]
    with pytest.raises(KeyError, match="no channel named 'X'") as caught:  # plainly named, and still a KeyError
        rec.channel("X")
    assert isinstance(caught.value, RecordingError)
    _edit_line(path, 13, "1,2,3,4,5,abc")
    with pytest.raises(RecordingError, match="rec.csv:13: 'abc' is not a number"):
        csvfile.read(str(path), sample_rate=FS)


def _hand_made_cff():
    """One int16 analog and 18 status channels in two records; sample numbers 10 and 13 are LF and CR bytes."""
    cfg = ("station,rec,2013\r\n19,1A,18D\r\n1,VA,A,c,V,0.5,0,0,-32767,32767,1,1,P\r\n"
           + "".join(f"{k},S{k},,c,0\r\n" for k in range(1, 19))
           + "50\r\n1\r\n1000,2\r\n01/01/2020,00:00:00.0\r\n01/01/2020,00:00:00.0\r\nBINARY\r\n1\r\n")
    dat = struct.pack("<IihHH", 10, 0, 6, 0x8001, 0x0002) + struct.pack("<IihHH", 13, 1000, -4, 0, 0x0001)
    return (b" --- File Type: cfg ---  \r\n" + cfg.encode() + b"---file type:DAT Binary: 28---\r\n" + dat
            + b"\r\n--- file type: HDR ---\r\nafter the data\r\n")


@pytest.mark.parametrize("old, new, note", [
    (b"", b"", None),
    # Markers as a person reads them: no colon, doubled blanks.
    (b" --- File Type: cfg ---  ", b"--- file type  CFG ---", None),
    (b"---file type:DAT Binary: 28---", b"--- file type: DAT  BINARY 28 ---", None),
    (b"--- file type: HDR ---", b"---  file  type HDR---", None),
    # Two dashes: read, with a note.
    (b"--- file type: HDR ---", b"-- file type: HDR --", "byte 445: section marker '-- file type: HDR --' read as "
                                                         "'--- file type: HDR ---'"),
    (b" --- File Type: cfg ---  ", b"-- file type: CFG --", "1: section marker"),
    (b"---file type:DAT Binary: 28---", b"--file type: DAT BINARY: 28--", "30: section marker"),
])
def test_binary_section_ends_at_its_byte_count_and_status_bits_count_from_the_low_bit(tmp_path, old, new, note):
    (tmp_path / "rec.cff").write_bytes(_hand_made_cff().replace(old, new))
    rec = comtrade.read(str(tmp_path / "rec.cff"))
    np.testing.assert_array_equal(rec.channel("VA").values, [3.0, -2.0])
    assert {k: list(v) for k, v in rec.status.items() if v.any()} == {"S1": [1, 0], "S16": [1, 0], "S17": [0, 1],
                                                                       "S18": [1, 0]}
    assert rec.header == "after the data" and rec.sample_rate == 1000.0
    says = [n for n in rec.notes if "section marker" in n]
    assert len(says) == (1 if note else 0) and (not note or says[0].startswith(f"{tmp_path}/rec.cff:{note}")), says


# The DAT marker is line 30, its 28 bytes of data start at byte 415, the HDR marker at byte 445.
@pytest.mark.parametrize("old, new, message", [
    (b"DAT Binary: 28", b"DAT Binary: 27", "byte 442: data after the 27-byte DAT BINARY section"),
    (b"DAT Binary: 28", b"DAT Binary: 29", "byte 415: 29 bytes are not a whole number of 14-byte records"),
    (b"DAT Binary: 28", b"DAT Binary: 99", "30: the DAT BINARY section announces 99 bytes, only 70 follow"),
    (b"DAT Binary: 28", b"DAT Binary", "30: the DAT BINARY marker needs the byte count"),
    (b"DAT Binary: 28", b"DAT ASCII", "30: a DAT ASCII section, but the configuration's data file type is BINARY"),
    (b"File Type: cfg", b"File Type: cfx", "1: malformed section marker"),
    (b" --- File Type: cfg ---  \r\n", b"", "1: expected a section marker"),
    (b"--- file type: HDR", b"--- file type: CFG", "byte 445: a second CFG section"),
])
def test_malformed_single_files_name_the_line_or_byte(tmp_path, old, new, message):
    (tmp_path / "rec.cff").write_bytes(_hand_made_cff().replace(old, new))
    with pytest.raises(comtrade.ComtradeError, match=f"rec.cff:{message}"):
        comtrade.read(str(tmp_path / "rec.cff"))


@pytest.mark.parametrize("edit, message", [
    # int16 data read as FLOAT32: 400 records of 14 bytes are 280 of 20, not the 400 announced.
    (lambda cfg, dat: _edit_line(cfg, 11, "FLOAT32"),
     r"rec.dat: 5600 bytes hold 280 FLOAT32 records of 20 bytes, but the configuration announces 400 samples "
     r"\(8000 bytes\); as BINARY it would hold 400 samples: is the data file type right\?"),
    (lambda cfg, dat: open(dat, "wb").close(), r"rec.dat: 0 bytes hold 0 BINARY records .* announces 400 samples"),
    (lambda cfg, dat: open(dat, "ab").write(b"\0\0\0"), r"rec.dat: .*not a whole number of 14-byte records"),
    # One record more, numbered from 1 (not from 0): refused.
    (lambda cfg, dat: open(dat, "ab").write(open(dat, "rb").read()[-14:]),
     "rec.dat: 5614 bytes hold 401 BINARY records of 14 bytes, but the configuration announces 400"),
    (lambda cfg, dat: _edit_line(cfg, 8, "4000,-5"), r"rec.cfg:8: last sample number -5 is negative"),
    (lambda cfg, dat: _edit_line(cfg, 8, "-4000,400"), r"rec.cfg:8: sampling rate '-4000' is not a positive"),
    (lambda cfg, dat: _edit_line(cfg, 12, "0"), r"rec.cfg:12: time stamp multiplier '0' is not a positive"),
    # What is not a recording, named so (an edit returning a name: the name read).
    (lambda cfg, dat: os.remove(cfg), "rec.cfg: no such configuration file"),
    (lambda cfg, dat: os.remove(cfg) or cfg[:-4], "rec.cfg: no such configuration file"),  # a base name
    (lambda cfg, dat: open(dat[:-4] + ".md", "w").write("# not samples\n") and dat[:-4] + ".md",
     "rec.md: not a recording read here: give a COMTRADE .cfg, .dat or .cff file"),
])
def test_data_that_does_not_match_its_configuration_and_what_is_no_recording_are_refused(tmp_path, edit, message):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY")
    path = edit(cfg, str(tmp_path / "rec.dat"))
    for read in (comtrade.read, comtrade.open_blocks):
        with pytest.raises(comtrade.ComtradeError, match=message):
            read(path if isinstance(path, str) else cfg)


def test_rate_zero_takes_the_rate_of_the_time_stamps_and_blames_the_rate_line_and_uneven_stamps(tmp_path):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="ASCII")
    _edit_line(cfg, 8, "0,400")
    _edit_line(str(tmp_path / "rec.dat"), 4, "4,750,99999,0,0")  # ASCII's missing value (binary's: the blocks' test)
    rec = comtrade.read(cfg)
    assert rec.sample_rate == pytest.approx(FS, rel=1e-6)
    assert np.flatnonzero(np.isnan(rec.channel("VA").values)).tolist() == [3]
    _edit_line(str(tmp_path / "rec.dat"), 100, "100,24800,1,2,3")  # 24750 on the grid
    with pytest.raises(comtrade.ComtradeError, match=r"rec.cfg:8: sampling rate 0 .*the samples in .*rec.dat are "
                                                     r"not uniformly spaced \(time stamp steps 200 to 300\)"):
        comtrade.read(cfg)


def test_time_stamps_of_a_long_recording_take_a_multiplier_instead_of_wrapping(tmp_path):
    # 40 minutes at 10 Hz: 2.4e9 microseconds overflow int32 after 35.8 minutes.
    t = np.arange(24000) / 10.0
    cfg = comtrade.write(str(tmp_path / "rec"), {"VA": np.sin(t)}, 10.0, file_type="BINARY")
    assert open(cfg).read().splitlines()[-1] == "10"
    _edit_line(cfg, 6, "0,24000")  # rate 0: the time stamps give it
    assert comtrade.read(cfg).sample_rate == pytest.approx(10.0, rel=1e-9)
    with pytest.raises(ValueError, match="1991 format"):
        comtrade.write(str(tmp_path / "old"), {"VA": np.sin(t)}, 10.0, revision="1991")


@pytest.mark.parametrize("file_type, how", [
    ("ASCII", dict(revision="1991")), ("FLOAT32", dict(revision="1991")), ("ASCII", dict(revision="2013")),
    ("ASCII", dict(single_file=True, revision="2013")), ("BINARY", dict(single_file=True, revision="2013")),
    ("BINARY32", dict(single_file=True)), ("FLOAT32", dict(single_file=True)),
    ("BINARY", dict(units={"VA": "kV", "VB": "kV"}, revision="1991")),  # a unit prefix on some rows only
    ("BINARY32", dict(secondary=True, revision="2013")),  # a ratio on every row
    ("FLOAT32", dict(secondary=True, units={"VB": "kV"})),  # a ratio, then a prefix
    ("BINARY", dict(secondary=True, units={"IA": "kA"}, missing=(5, 1))),  # and a missing sample
    ("BINARY32", dict(missing=(399, 2), revision="1991")),
])
def test_every_format_reads_back_within_its_quantisation_whole_as_the_pair_and_in_blocks_bit_for_bit(tmp_path,
                                                                                                    file_type, how):
    # 20 status channels: two words per binary record, the second partly used; values in kV are read as V.
    how = dict(how, status={f"D{k}": np.random.default_rng(k).integers(0, 2, 400) for k in range(20)},
               header="Feeder 3\r\nfault at 12:00", information="[Public Record]\r\nx=1",
               units=dict({"IA": "A"}, **how.get("units", {})), phases={"VA": "A", "VB": "B", "IA": "A"})
    missing = how.pop("missing", None)
    path = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type=file_type, **how)
    if missing:
        record, channel = missing
        dtype = "<i2" if file_type == "BINARY" else "<i4"
        raw = np.fromfile(str(tmp_path / "rec.dat"), dtype=dtype).reshape(400, -1)
        raw[record, 8 // np.dtype(dtype).itemsize + channel] = np.iinfo(dtype).min
        raw.tofile(str(tmp_path / "rec.dat"))
    whole = comtrade.read(path.replace(".cfg", ".dat"))  # the data file finds its configuration
    np.testing.assert_equal(_contents(whole)[:5], [FS, how["header"], how["information"], list(how["status"]),
                                                   how["status"]])
    assert (whole.samples, whole.nominal_frequency, [(c.kind, c.phase, c.unit) for c in whole.channels]) == \
        (400, 50.0, [("voltage", "A", "V"), ("voltage", "B", "V"), ("current", "A", "A")])
    step = {"ASCII": 1 / 32767, "BINARY": 1 / 32767, "BINARY32": 1 / 2147483647, "FLOAT32": 1e-7}[file_type]
    for name, values in _signals().items():
        got, expected = whole.channel(name).values, values * (1000.0 if how["units"].get(name, "V")[0] == "k" else 1.0)
        np.testing.assert_allclose(got, np.where(np.isnan(got), np.nan, expected), rtol=1e-6,
                                   atol=np.max(np.abs(expected)) * step * 0.6)
    if how.pop("single_file", False):
        pair = comtrade.write(str(tmp_path / "pair"), _signals(), FS, file_type=file_type, **how)
        np.testing.assert_equal(_contents(whole), _contents(comtrade.read(pair)))
    opened = comtrade.open_blocks(path)
    assert opened.samples == 400 and opened.channels[0].values is None
    blocks = list(opened.blocks(150, ["IA", "VA"], dtype=np.float64))
    assert [(p, b.shape) for p, b in blocks] == [(0, (2, 150)), (150, (2, 150)), (300, (2, 100))]
    np.testing.assert_array_equal(np.concatenate([b for _, b in blocks], axis=1),
                                  [whole.channel("IA").values, whole.channel("VA").values])
    names = [c.name for c in whole.channels]
    expected = np.vstack([whole.channel(n).values for n in names]).astype(np.float32)
    for size in (400, 150, 7, 1):
        got = np.concatenate([b for _, b in opened.blocks(size, names)], axis=1)
        assert got.dtype == np.float32 and np.array_equal(got.view(np.uint32), expected.view(np.uint32))
    # From a sample on: binary records are sought (the blocks start there), ASCII lines read from the first.
    for first in (1, 149, 399, 400):
        blocks = list(opened.blocks(150, names, first=first))
        start = 0 if file_type == "ASCII" else first
        assert [p for p, _ in blocks] == list(range(start, 400, 150))
        got = np.concatenate([b for _, b in blocks], axis=1) if blocks else np.zeros((len(names), 0), np.float32)
        assert np.array_equal(got.view(np.uint32), expected[:, start:].view(np.uint32))
    assert np.count_nonzero(np.isnan(expected)) == (1 if missing else 0)
    assert [c.name for c in whole.pick(["VA"], ["IA"])[1]] == ["VA"]  # one voltage: a single phase
    with pytest.raises(RecordingError, match="give 1 or 3 voltage channels"):
        whole.pick(["VA", "VB"])


def test_csv_with_header_rate_fitted_over_the_time_column_nan_as_missing_whole_and_in_blocks(tmp_path):
    path = tmp_path / "rec.csv"
    t = np.arange(10240) / 10240.0
    lines = ["time;U_L1;UL2;I1"] + [f"{x:.8f};{np.sin(x):.6f};{np.cos(x):.6f};{2 * np.sin(1000 * x):.6f}" for x in t]
    lines[18] = f"{t[17]:.8f};nan;0;0"
    path.write_text("\n".join(lines) + "\n")
    rec = csvfile.read(str(path))
    assert abs(rec.sample_rate - 10240.0) < 1e-3  # the median of rounded steps gave 10239.6
    assert [(c.name, c.kind, c.phase) for c in rec.channels] == [("U_L1", "voltage", "A"), ("UL2", "voltage", "B"),
                                                                  ("I1", "current", "A")]
    assert np.flatnonzero(np.isnan(rec.channel("U_L1").values)).tolist() == [17]
    assert rec.notes == [f"{path}:19: 1 value(s) empty or not finite, read as missing samples"]
    np.testing.assert_allclose(rec.channel("I1").values[19:], 2 * np.sin(1000 * t[19:]), atol=1e-6)
    blocks = list(csvfile.open_blocks(str(path)).blocks(3333, ["I1"], dtype=np.float64))
    assert [p for p, _ in blocks] == [0, 3333, 6666, 9999]
    np.testing.assert_array_equal(np.concatenate([b[0] for _, b in blocks]), rec.channel("I1").values)
    lines[501:] = [f"{x + 0.001:.8f};0;0;0" for x in t[500:]]  # a gap of ten samples from line 502 on
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(RecordingError, match="rec.csv:502: time 0.04982813 s is off the grid"):
        csvfile.read(str(path))
    with pytest.raises(RecordingError, match="sample rate -5 Hz: give a positive number"):
        csvfile.read(str(path), sample_rate=-5.0)


@pytest.mark.parametrize("read", [1, 2, 7, 64])
@pytest.mark.parametrize("single_file", [False, True])
def test_ascii_lines_split_across_reads_keep_their_numbers(tmp_path, monkeypatch, read, single_file):
    # CR LF, a lone CR and a lone LF ending lines, cut anywhere by small reads; bad records named on their lines.
    path = comtrade.write(str(tmp_path / "rec"), _signals(6), FS, file_type="ASCII", single_file=single_file,
                          status={"trip": np.zeros(6)})
    expected = comtrade.read(path).channel("VA").values
    target = path if single_file else path[:-4] + ".dat"
    raw = open(target, "rb").read()
    head, marker, data = raw.partition(b"DAT ASCII ---\r\n") if single_file else (b"", b"", raw)
    records = data.split(b"\r\n")
    data = records[0] + b"\r" + records[1] + b"\n" + b"\r\n".join(records[2:])
    open(target, "wb").write(head + marker + data)
    monkeypatch.setattr(comtrade._Data, "READ", read)
    rec = comtrade.read(path)
    assert rec.samples == 6 and np.array_equal(rec.channel("VA").values, expected)
    first = (head + marker).count(b"\n") + 1 if single_file else 1
    for k, bad, says in ((4, b"5,1000,1,2", "expected 6 fields"),
                         (2, records[2][:-1] + b"2", "status channel 1 is '2'")):
        open(target, "wb").write(head + marker + data.replace(records[k], bad))
        with pytest.raises(comtrade.ComtradeError, match=f"rec.(cff|dat):{first + k}: sample record: {says}"):
            comtrade.read(path)


# What recorders write that the formats do not say, read as a person would, each said in a note.

def _cfg_lines(path):
    return open(path, encoding="latin-1").read().splitlines()


def _write_lines(path, lines):
    open(path, "w", encoding="latin-1").write("\n".join(lines) + "\n")


def _rewrite_records(dat, file_type, analogs, field, values):
    """Rewrites one field of every record of a data file: "n" (the sample number) or "t" (the time stamp)."""
    if file_type == "ASCII":
        rows = [row.split(",") for row in dat.read_text().splitlines()]
        for row, value in zip(rows, np.broadcast_to(values, len(rows))):
            row["nt".index(field)] = str(value)
        dat.write_text("".join(",".join(row) + "\r\n" for row in rows))
    else:
        raw = np.fromfile(dat, dtype=comtrade._record_dtype(file_type, analogs, 0))
        raw[field] = values
        raw.tofile(dat)


@pytest.mark.parametrize("revision, year, multiplier, rate, note", [
    ("1999", "1999", None, FS, None),
    ("1991", "1991", None, FS, None),
    # Years of no edition, read by the layout that follows: a time stamp multiplier is read (and used by rate 0).
    ("1999", "2001", "2", FS / 2, r"revision year '2001' \(the IEC 60255-24:2001 edition of the 1999 format\) is none "
                                  r"of 1991, 1999 and 2013; read by the 1999 layout it follows"),
    ("1999", "1997", "1", FS, "revision year '1997' is none of .*; read by the 1999 layout"),
    ("2013", "2000", "4", FS / 4, "revision year '2000' is none of .*; read by the 1999 layout"),
    ("1991", "1997", None, FS, "revision year '1997' is none of .*; read by the 1991 layout"),
])
def test_any_revision_year_is_read_by_the_layout_it_follows(tmp_path, revision, year, multiplier, rate, note):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY", revision=revision)
    lines = _cfg_lines(cfg)
    lines[0] = f"test station,recorder,{year}"
    lines[7] = "0,400"  # rate 0: the time stamps, times the multiplier, give the rate
    if multiplier:
        lines[11] = multiplier
    _write_lines(cfg, lines)
    rec = comtrade.read(cfg)
    assert rec.sample_rate == pytest.approx(rate, rel=1e-9)
    assert [n for n in rec.notes if "revision" in n] == ([] if note is None else [rec.notes[0]])
    if note:
        assert re.match(f"{cfg}:1: {note}", rec.notes[0]), rec.notes


@pytest.mark.parametrize("file_type, records, first, samples, note", [
    ("BINARY", 401, 0, 401, "the samples are numbered from 0: 401 records for the 400 the configuration announces"),
    ("FLOAT32", 401, 0, 401, "the samples are numbered from 0: 401 records"),
    ("ASCII", 401, 0, 401, "the samples are numbered from 0: 401 records"),
    ("ASCII", 398, 1, 398, "398 sample records, the configuration announces 400; the 398 present are read"),
    ("ASCII", 402, 1, 402, "402 sample records, the configuration announces 400; the 402 present are read"),
    ("ASCII", 401, 1, 401, "401 sample records, the configuration announces 400"),  # one more, numbered from 1
    ("BINARY", 400, 0, 400, None),  # as many as announced: whatever their numbers
])
def test_data_files_numbered_from_0_or_of_another_count_are_read_whole_with_a_note(tmp_path, file_type, records,
                                                                                   first, samples, note):
    signals = {k: np.resize(v, records) for k, v in _signals().items()}
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type=file_type)
    lines = _cfg_lines(cfg)
    lines[7] = f"{FS:g},400"
    _write_lines(cfg, lines)
    dat = tmp_path / "rec.dat"
    _rewrite_records(dat, file_type, 3, "n", np.arange(records) + first)
    whole, opened = comtrade.read(cfg), comtrade.open_blocks(cfg)
    assert whole.samples == opened.samples == samples
    np.testing.assert_allclose(whole.channel("VA").values, signals["VA"], atol=11000.0 / 32767)
    blocks = np.concatenate([b[0] for _, b in opened.blocks(150, ["VA"], dtype=np.float64)])
    np.testing.assert_array_equal(blocks, whole.channel("VA").values)
    assert whole.notes == opened.notes == ([] if note is None else [whole.notes[0]])
    if note:
        assert re.match(f"{dat}: {note}", whole.notes[0]), whole.notes


# Per row of the extension's scaling: (analog column, a, b or None, factors). Columns in any order and twice;
# a negative a on zeros (-0, which + 0.0 makes +0), an offset, a ratio, a ratio and a prefix, a factor so large
# that some values overflow to infinity.
SCALE_ROWS = [(3, 0.5, None, []), (0, -0.125, 0.0, []), (4, 1e-3, -3.5, [1000.0]), (4, -2.0, 2.0, [120.0, 1e3]),
              (1, 3.0, None, [1e-3, 7.0]), (2, 1e300, 1e300, [])]
# Raw values at the edges of each type: an integer type's smallest is its missing value, a float's is any that is
# not finite; zeros of both signs.
RAW_EDGES = {"<i2": [-32768, -32767, 32767, 0, 1, -1],
             "<i4": [-2 ** 31, -2 ** 31 + 1, 2 ** 31 - 1, 0, 7, -7],
             "<f4": [np.nan, np.inf, -np.inf, -0.0, 0.0, 3.4e38, -1e-45, 1.25]}


@pytest.mark.parametrize("raw_type", ["<i2", "<i4", "<f4"])
@pytest.mark.parametrize("out_type", [np.float32, np.float64])
def test_the_extension_scales_records_by_the_steps_of_the_numpy_reference_to_the_bit(raw_type, out_type):
    analogs, n = 5, 997
    record = comtrade._record_dtype({"<i2": "BINARY", "<i4": "BINARY32", "<f4": "FLOAT32"}[raw_type], analogs, 17)
    records = np.zeros(n, record)
    rng = np.random.default_rng(7)
    if raw_type == "<f4":
        raw = rng.normal(0.0, 1e4, (n, analogs)).astype(np.float32)
    else:
        info = np.iinfo(raw_type)
        raw = rng.integers(info.min, info.max, (n, analogs), endpoint=True).astype(raw_type)
    edges = np.array(RAW_EDGES[raw_type], raw_type)
    raw[rng.integers(0, n, 60), rng.integers(0, analogs, 60)] = rng.choice(edges, 60)
    raw[:len(edges), :] = edges[:, None]
    records["a"], records["n"], records["t"], records["d"] = raw, 2 ** 32 - 1, -1, 0xFFFF  # neighbours all ones
    columns = [k for k, _, _, _ in SCALE_ROWS]
    out = np.empty((len(columns), n), out_type)
    _core.scale_records(records.tobytes(), record.itemsize, record.fields["a"][1], analogs, raw_type, columns,
                        [(a, b, factors) for _, a, b, factors in SCALE_ROWS], out)
    bits = np.uint32 if out_type == np.float32 else np.uint64
    for row, (k, a, b, factors) in enumerate(SCALE_ROWS):
        x = raw[:, k]
        with np.errstate(all="ignore"):
            v = x.astype(np.float64) * a
            v = v if b is None else v + b
            for f in factors:
                v = v * f
            v = v.astype(out_type)
        v[~np.isfinite(x) if raw_type == "<f4" else x == np.iinfo(raw_type).min] = np.nan
        assert np.array_equal(out[row].view(bits), v.view(bits)), (row, raw_type)


@pytest.mark.parametrize("change, message", [
    (dict(raw_type="<i8"), "raw type <i8: give '<i2', '<i4' or '<f4'"),
    (dict(records=b"\0" * 29), "29 bytes are not a whole number of 14-byte records"),
    (dict(record_size=12), "records of 12 bytes do not hold 3 analog values at byte 8"),
    (dict(columns=[0, 3]), "column 3 is not one of the 3 analog values"),
    (dict(steps=[(1.0, None, [])]), "one step list per column: 1 for 2 columns"),
    (dict(steps=[(1.0, None, [1.0, 2.0, 3.0])] * 2), "at most two factors"),
    (dict(out=np.empty((2, 2), np.float32)), r"out must be a writable C-contiguous float32 or float64 array of \(2, 3\)"),
    (dict(out=np.empty((2, 3), np.int32)), "out must be"),
    (dict(out=np.empty((3, 2), np.float32).T), "out must be"),
])
def test_the_extension_refuses_records_and_rows_that_do_not_fit(change, message):
    args = dict(records=b"\0" * 42, record_size=14, analog_offset=8, analog_count=3, raw_type="<i2", columns=[0, 2],
                steps=[(1.0, None, [])] * 2, out=np.empty((2, 3), np.float32))
    args.update(change)
    with pytest.raises(ValueError, match=message):
        _core.scale_records(**args)


@pytest.mark.parametrize("file_type", ["BINARY", "BINARY32", "FLOAT32"])
def test_blocks_of_missing_values_and_prefixed_units_are_the_whole_read_to_the_bit(tmp_path, file_type):
    # kV and mA: a prefix after the ratio; missing values (and a float's infinity) NaN in the blocks as in the
    # whole read, wherever a block starts.
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type=file_type, secondary=True,
                         units={"VA": "kV", "VB": "V", "IA": "mA"})
    dat = tmp_path / "rec.dat"
    record = comtrade._record_dtype(file_type, 3, 0)
    raw = np.fromfile(dat, dtype=record)
    lost = {"BINARY": [-32768], "BINARY32": [-2 ** 31], "FLOAT32": [np.nan, np.inf, -np.inf]}[file_type]
    for k, (row, column) in enumerate([(0, 0), (1, 0), (57, 1), (58, 2), (399, 2), (200, 0)]):
        raw["a"][row, column] = lost[k % len(lost)]
    raw.tofile(dat)
    for primary in (True, False):
        whole, opened = comtrade.read(cfg, primary=primary), comtrade.open_blocks(cfg, primary=primary)
        names = ["IA", "VA", "VB"]
        wanted = np.vstack([whole.channel(n).values for n in names])
        assert np.count_nonzero(np.isnan(wanted)) == 6
        for size in (400, 57):
            got = np.concatenate([b for _, b in opened.blocks(size, names)], axis=1)
            assert np.array_equal(got.view(np.uint32), wanted.astype(np.float32).view(np.uint32)), (primary, size)
            got = np.concatenate([b for _, b in opened.blocks(size, names, dtype=np.float64)], axis=1)
            assert np.array_equal(got.view(np.uint64), wanted.view(np.uint64)), (primary, size)


@pytest.mark.parametrize("file_type, low, high, full, note", [
    ("FLOAT32", "-3.4028235e38", "3.4028235e38", None, r"VA \(-3.40282e\+38 to 3.40282e\+38\)"),
    ("FLOAT32", "0", "0", None, r"VA \(0 to 0\)"),
    ("FLOAT32", "", "", None, r"VA \(nan to nan\)"),
    ("FLOAT32", "-100", "100", 100.0, None),
    # Never beyond what the data file type holds: int16 raw values end at 32767.
    ("BINARY", "-99999", "99999", 32768.0, None),
    ("BINARY32", "-99999", "99999", 99999.0, None),
])
def test_a_declared_range_that_says_nothing_gives_no_full_scale(tmp_path, file_type, low, high, full, note):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type=file_type)
    lines = _cfg_lines(cfg)
    fields = lines[2].split(",")
    fields[5], fields[8], fields[9] = "1.0", low, high  # a = 1: the full scale is the raw range
    lines[2] = ",".join(fields)
    _write_lines(cfg, lines)
    rec = comtrade.read(cfg)
    assert rec.channel("VA").full_scale == full
    says = [n for n in rec.notes if "declared ranges" in n]
    assert len(says) == (1 if note else 0) and (not note or re.search(note, says[0])), rec.notes


def test_a_float32_voltage_with_the_float_limits_as_its_range_is_analysed(tmp_path):
    from conftest import three_phase, write_three

    from powerquality import analyze

    cfg = write_three(tmp_path / "rec", three_phase(FS, 1.0), FS, file_type="FLOAT32")
    lines = _cfg_lines(cfg)
    for k in (2, 3, 4):
        fields = lines[k].split(",")
        fields[8], fields[9] = "-3.4028235e38", "3.4028235e38"
        lines[k] = ",".join(fields)
    _write_lines(cfg, lines)
    a = analyze(cfg)
    assert a.voltages == ["VA", "VB", "VC"] and np.nanmedian(a.period["rmsVoltage"]) == pytest.approx(230.0, 1e-3)


def _sections(tmp_path, file_type, rates, counts):
    """A recording of two sections, `counts` samples at `rates` one after the other, its time stamps those of
    the sections; returns the .cfg and the values of VA."""
    t = np.concatenate([np.arange(n) / r + sum(m / q for m, q in zip(counts[:k], rates[:k]))
                        for k, (n, r) in enumerate(zip(counts, rates))])
    va = 100.0 * np.sin(2 * np.pi * 50.0 * t)
    cfg = comtrade.write(str(tmp_path / "rec"), {"VA": va, "IA": np.cos(t)}, 1000.0, file_type=file_type,
                         start="01/01/2020,00:00:59.950000")
    lines = _cfg_lines(cfg)
    ends = np.cumsum(counts)
    lines[5:7] = ["2"] + [f"{r:g},{e}" for r, e in zip(rates, ends)]
    _write_lines(cfg, lines)
    _rewrite_records(tmp_path / "rec.dat", file_type, 2, "t", np.round(t * 1e6).astype(np.int64))
    return cfg, va


@pytest.mark.parametrize("file_type", ["BINARY", "ASCII"])
@pytest.mark.parametrize("rates, counts, section, note", [
    # 0.1 s at 4 kHz, then 1 s at 1 kHz: the second is the longer.
    ((4000.0, 1000.0), (400, 1000), 1, r"2 sampling rates \(1: 4000 Hz, samples 1 to 400; 2: 1000 Hz, samples 401 "
                                       r"to 1400\); section 2, the longest, is analysed alone: 1000 samples at "
                                       r"1000 Hz \(1 s\), from 0.1 s after the first sample"),
    # 1 s at 4 kHz, then 0.2 s at 1 kHz: the first.
    ((4000.0, 1000.0), (4000, 200), 0, r"2 sampling rates .*; section 1, the longest, is analysed alone: 4000 "
                                       r"samples at 4000 Hz \(1 s\), from 0 s"),
])
def test_several_sampling_rates_read_the_longest_section_alone(tmp_path, file_type, rates, counts, section, note):
    cfg, va = _sections(tmp_path, file_type, rates, counts)
    lo = sum(counts[:section])
    whole, opened = comtrade.read(cfg), comtrade.open_blocks(cfg)
    for rec in (whole, opened):
        assert (rec.sample_rate, rec.samples) == (rates[section], counts[section])
        assert re.match(f"{cfg}:7: {note}", rec.notes[0]), rec.notes
        assert rec.start == ("01/01/2020,00:01:00.050000" if section else "01/01/2020,00:00:59.950000")
    np.testing.assert_allclose(whole.channel("VA").values, va[lo:lo + counts[section]], atol=100.0 / 32767)
    blocks = np.concatenate([b[0] for _, b in opened.blocks(333, ["VA"], dtype=np.float64)])
    np.testing.assert_array_equal(blocks, whole.channel("VA").values)


def test_several_sampling_rates_none_of_which_can_be_analysed_are_refused_naming_them(tmp_path):
    cfg, _ = _sections(tmp_path, "BINARY", (50.0, 60.0), (100, 120))
    with pytest.raises(comtrade.ComtradeError, match=r"rec.cfg:7: 2 sampling rates \(1: 50 Hz, samples 1 to 100; "
                                                     r"2: 60 Hz, samples 101 to 220\) and no section with a sample "
                                                     r"rate of 80 Hz or more holds two samples"):
        comtrade.read(cfg)


@pytest.mark.parametrize("declared, stamps, rate, note", [
    (5500.0, None, 5760.0, r"rec.cfg:8: the configuration's sample rate 5500 Hz, but the time stamps in .*rec.dat "
                           r"step by 173.6\d* µs: 5760 Hz, which is used \(give --rate to overrule\)"),
    (5757.0, None, 5757.0, None),  # 0.05 %: the stamps' rounding
    (5500.0, "wrap", 5500.0, None),  # stamps that wrap at 65536 µs say nothing
    (5500.0, "zero", 5500.0, None),  # nor do stamps left at 0
    (5500.0, "uneven", 5500.0, None),  # nor stamps that jump
])
def test_a_declared_rate_the_time_stamps_contradict_gives_way_to_theirs(tmp_path, declared, stamps, rate, note):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(2000), 5760.0, file_type="BINARY")
    _edit_line(cfg, 8, f"{declared:g},2000")
    if stamps:
        exact = np.round(np.arange(2000) * 1e6 / 5760.0).astype(np.int64)
        _rewrite_records(tmp_path / "rec.dat", "BINARY", 3, "t",
                         {"wrap": exact % 65536, "zero": 0, "uneven": exact + 700 * (np.arange(2000) > 999)}[stamps])
    for rec in (comtrade.read(cfg), comtrade.open_blocks(cfg)):
        assert rec.sample_rate == rate
        assert len(rec.notes) == (1 if note else 0) and (not note or re.match(f"{cfg[:-7]}{note}", rec.notes[0]))
        assert rec.rate_source.endswith("the time stamps, a step of 173.611 µs" if note else "rec.cfg:8")
    given = comtrade.read(cfg, sample_rate=5000.0)
    assert (given.sample_rate, given.rate_source, given.notes) == (5000.0, f"{cfg}: the sample rate given", [])


def test_a_stamped_rate_is_taken_as_whole_hertz_only_within_the_stamps_rounding(tmp_path):
    # 2000 stamps spanning 347 046 µs: 5760.0433 Hz, 0.0433 Hz off whole hertz where the stamps' rounding (a unit
    # at either end) explains 0.0332 Hz at most: a rate of its own, not 5760 Hz.
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(2000), 5760.0, file_type="BINARY")
    _edit_line(cfg, 8, "5500,2000")
    stamps = np.round(np.arange(2000) * (347046 / 1999)).astype(np.int64)
    _rewrite_records(tmp_path / "rec.dat", "BINARY", 3, "t", stamps)
    rec = comtrade.read(cfg)
    assert rec.sample_rate == 1999e6 / 347046 and rec.sample_rate != 5760.0
    assert "time stamps" in rec.rate_source and re.search(r"5760\.04 Hz, which is used", rec.notes[0])


@pytest.mark.parametrize("raw, name, encoding", [
    ("Напряжение A".encode("utf-8"), "Напряжение A", None),
    ("Напряжение A".encode("cp1251"), "Напряжение A", "cp1251 \\(Cyrillic letters\\)"),
    ("Ua фаза".encode("cp1251"), "Ua фаза", "cp1251"),
    ("Größe L1".encode("latin-1"), "Größe L1", "latin-1 \\(no Cyrillic words\\)"),  # two high bytes side by side
    ("tension élevée".encode("latin-1"), "tension élevée", "latin-1"),
    ("Spannung".encode("utf-8-sig"), "Spannung", None),  # a byte order mark (on the first line, before the name)
])
@pytest.mark.parametrize("single_file", [False, True])
def test_names_are_read_as_utf8_else_cp1251_or_latin1_by_their_bytes(tmp_path, raw, name, encoding, single_file):
    path = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY", single_file=single_file)
    data = open(path, "rb").read()
    if raw.startswith(b"\xef\xbb\xbf"):
        data, raw = raw[:3] + data, raw[3:]
    open(path, "wb").write(data.replace(b"1,VA,", b"1," + raw + b",", 1))
    rec = comtrade.read(path)
    assert rec.channels[0].name == name and rec.channels[0].kind == "voltage"  # from its unit
    says = [n for n in rec.notes if "UTF-8" in n]
    assert len(says) == (1 if encoding else 0) and (not encoding or re.search(f"read as {encoding}", says[0])), says


@pytest.mark.parametrize("text, rate, names, notes", [
    # ';' separators, a trailing ';', a time column in µs without a unit: from its step.
    ("Time;U_L1;\n" + "".join(f"{k * 200};{np.sin(k / 20):.4f};\n" for k in range(500)), 5000.0, ["U_L1"],
     ["every line ends with the separator ';', left out",
      "the time column 'Time' names no unit; read in µs, whose step gives a sample rate of 5 kHz (seconds would "
      "give none)"]),
    # A decimal comma, the unit in the name.
    ("Zeit [ms];UL1;UL2\n" + "".join(f"{k * 0.25:.2f};{np.sin(k / 20):.4f};1,5\n".replace(".", ",")
                                     for k in range(500)), 4000.0, ["UL1", "UL2"],
     ["numbers with a decimal comma, read as such (fields separated by ';')"]),
    ("t_us\tVA\t\n" + "".join(f"{k * 100}\t{np.sin(k / 20):.4f}\t\n" for k in range(500)), 10000.0, ["VA"],
     ["every line ends with the separator '\\t', left out"]),
    ("time (s),VA\n" + "".join(f"{k / 3200:.8f},{np.sin(k / 20):.4f}\n" for k in range(500)), 3200.0, ["VA"], []),
    # Milliseconds from the step: 0.3125 ms.
    ("t;VA\n" + "".join(f"{k * 0.3125:.4f};{np.sin(k / 20):.4f}\n" for k in range(500)), 3200.0, ["VA"],
     ["the time column 't' names no unit; read in ms, whose step gives a sample rate of 3.2 kHz (seconds would "
      "give none)"]),
], ids=["semicolons-trailing-us", "decimal-comma-ms", "tabs-trailing-us-named", "seconds", "ms-from-step"])
def test_csv_separators_decimal_commas_and_time_units_as_exports_write_them(tmp_path, text, rate, names, notes):
    path = tmp_path / "rec.csv"
    path.write_text(text, encoding="utf-8")
    rec = csvfile.read(str(path))
    assert rec.sample_rate == pytest.approx(rate, rel=1e-6) and [c.name for c in rec.channels] == names
    assert rec.notes == [f"{path}: {n}" for n in notes]
    np.testing.assert_allclose(rec.channels[0].values, np.round(np.sin(np.arange(500) / 20), 4))
    if len(names) > 1:
        assert np.all(rec.channels[1].values == 1.5)


def test_the_command_says_the_notes_before_a_refusal_and_exits_1_for_a_recording_2_for_a_command(tmp_path):
    from conftest import cli, three_phase, write_three

    # Four cycles of 60 Hz in a file that says 50 Hz: too short to track, analysed at a fixed frequency.
    cfg = write_three(tmp_path / "rec", three_phase(5760.0, 4 / 60, f=60.0), 5760.0, frequency=50)
    run = cli("analyze", cfg, cwd=tmp_path)
    assert run.returncode == 1 and run.stdout == ""
    lines = run.stderr.splitlines()
    assert [lines[0], lines[-1]] == [
        f"note: {cfg}:6: the file declares 50 Hz, but VA runs at 60.02 Hz: analysed as 60 Hz (give --nominal to "
        "overrule)",
        f"powerquality: {cfg}: the frequency tracker found no cycle in VA (384 samples, 0.067 s; it settles in some "
        "six cycles); give --fixed-frequency 60 for a recording this short"]
    assert all(line.startswith("note: ") for line in lines[:-1])
    run = cli("analyze", cfg, "--fixed-frequency", "60", cwd=tmp_path)
    assert run.returncode == 0 and "384 samples (0.067 s), nominal 60 Hz" in run.stdout
    assert f"note: {cfg}:6: the file declares 50 Hz" in run.stderr and "\nnote" not in run.stdout
    assert cli("analyze", cfg, "--udin", "x").returncode == 2
    assert cli("analyze", str(tmp_path / "missing.cfg")).returncode == 1


@pytest.mark.parametrize("file_type", ["BINARY", "BINARY32", "FLOAT32"])
def test_blocks_scale_every_sign_of_a_and_b_as_the_whole_read_to_the_bit_in_float32_and_float64(tmp_path, file_type):
    # Raw zeros times a negative a are -0, which + 0.0 makes +0; the blocks skip adding b only where that
    # cannot happen. An offset, a ratio and a prefix each take their own step.
    signals = {"VA": np.r_[0.0, _signals()["VA"][1:]], "VB": _signals()["VB"], "IA": _signals()["IA"]}
    signals["VA"][::7] = 0.0
    cfg = comtrade.write(str(tmp_path / "rec"), signals, FS, file_type=file_type, secondary=True)
    for line, a, b in ((3, "-0.5", "0.0"), (4, "0.25", "-3.5"), (5, "-0.125", "2.0")):
        fields = open(cfg).read().splitlines()[line - 1].split(",")
        fields[5:7] = [a, b]
        _edit_line(cfg, line, ",".join(fields))
    for primary in (True, False):
        whole, opened = comtrade.read(cfg, primary=primary), comtrade.open_blocks(cfg, primary=primary)
        names = [c.name for c in whole.channels]
        expected = np.vstack([whole.channel(n).values for n in names]).astype(np.float32)
        assert np.count_nonzero(expected[0] == 0) > 50  # the zeros are there to be signed
        for size in (400, 33):
            got = np.concatenate([b for _, b in opened.blocks(size, names)], axis=1)
            assert np.array_equal(got.view(np.uint32), expected.view(np.uint32)), (primary, size)
            got = np.concatenate([b for _, b in opened.blocks(size, names, dtype=np.float64)], axis=1)
            wanted = np.vstack([whole.channel(n).values for n in names])
            assert got.dtype == np.float64 and np.array_equal(got.view(np.uint64), wanted.view(np.uint64))


@pytest.mark.parametrize("ps, primary, full", [
    ("S", True, 100.0 * 13800.0 / 120.0),   # secondary values read as primary: the range times the VT's ratio
    ("S", False, 100.0),
    ("P", True, 100.0),
    ("P", False, 100.0 * 120.0 / 13800.0),  # primary values read as secondary
])
def test_the_full_scale_follows_the_values_through_a_ratio(tmp_path, ps, primary, full):
    cfg = comtrade.write(str(tmp_path / "rec"), _signals(), FS, file_type="BINARY32")
    lines = _cfg_lines(cfg)
    fields = lines[2].split(",")
    fields[5], fields[8], fields[9] = "1.0", "-100", "100"
    fields[10], fields[11], fields[12] = "13800", "120", ps
    lines[2] = ",".join(fields)
    _write_lines(cfg, lines)
    rec = comtrade.read(cfg, primary=primary)
    assert rec.channel("VA").full_scale == pytest.approx(full, rel=1e-12)

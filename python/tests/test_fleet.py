# Many recordings: what names stand for; the same tables and reports serially, in processes and on a Dask cluster.
import csv
import ipaddress
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import types

import numpy as np
import pytest

import powerquality as pq

try:
    import h5py
except ImportError:
    h5py = None
from powerquality import fleet
from conftest import cli, three_phase, write_three
from test_report_html import OUTSIDE


@pytest.mark.parametrize("names, out, expected", [
    # Depth first, sorted; a .dat beside its .cfg is that recording, one alone is taken; tables and --out are not.
    (["a"], "a/out", ["a/x.cfg", "a/y.dat", "a/z.CFF", "a/n/w.csv"]),
    (["a"], None, ["a/x.cfg", "a/y.dat", "a/z.CFF", "a/n/w.csv", "a/out/q.cfg"]),
    (["a/*.dat"], None, ["a/y.dat"]),
    (["a/**/*.csv"], None, ["a/n/w.csv"]),
    (["a/n/*"], "a/n", ["no recording matches"]),
    # Found twice, analysed once, where first found; a name as it is.
    (["a/z.CFF", "a", "a/n/period.csv", "a/base"], "a/out",
     ["a/z.CFF", "a/x.cfg", "a/y.dat", "a/n/w.csv", "a/n/period.csv", "a/base"]),
    (["a/empty", "a/none*.cfg"], None, ["no recording (.cfg, .cff, .csv) in this folder", "no recording matches"]),
])
def test_folders_and_patterns_stand_for_recordings_in_a_fixed_order(tmp_path, monkeypatch, names, out, expected):
    monkeypatch.chdir(tmp_path)
    for name in ("a/x.cfg", "a/x.dat", "a/y.dat", "a/z.CFF", "a/readme.txt", "a/n/w.csv", "a/n/period.csv",
                 "a/out/q.cfg", "a/out/summary.csv", "a/empty/"):
        os.makedirs(os.path.dirname(name), exist_ok=True)
        if not name.endswith("/"):
            open(name, "w").close()
    found = fleet.find(names, out)
    assert [os.path.normpath(p) if error is None else error.split(": ", 1)[1] for p, error in found] == \
        [os.path.normpath(p) if "/" in p else p for p in expected]


def test_output_folders_are_unique():
    assert fleet.folder_names(["a/x.cfg", "b/x.csv", "c/X.cff", "d/y", "e/x-2.cfg"]) == \
        ["x", "x-2", "X-3", "y", "x-2-2"]


def _dies_on_request(job):
    if "die" in job["path"]:
        os._exit(3)
    return {"row": {"path": job["path"]}, "events": None, "starts": []}


def test_a_worker_process_that_dies_loses_only_its_own_recording():
    results = {}
    fleet._processes([{"path": p} for p in "one die two three".split()], 2, results.__setitem__, task=_dies_on_request)
    assert sorted(results) == [0, 1, 2, 3] and [results[k]["row"]["path"] for k in (0, 2, 3)] == ["one", "two", "three"]
    assert results[1]["row"]["status"] == "error" and "ended abruptly" in results[1]["row"]["error"]


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """A 70 % dip (.cff with a start), a 120 % swell (60 Hz CSV), a malformed .cfg, 25 s at 50 Hz and at 50.7 Hz (the
    ±1 % band's 10-s values pass and fail); analysed serially with --report, --assessment (--detail with h5py)."""
    root = tmp_path_factory.mktemp("fleet")
    folder = root / "generated"
    (folder / "sub").mkdir(parents=True)
    u = three_phase(6400.0, 3.0)
    u[0, 6400:int(1.2 * 6400)] *= 0.7
    for name, u, fs in (("dip", u, 6400.0), ("steady", three_phase(3200.0, 25.0), 3200.0),
                        ("fast", three_phase(3200.0, 25.0, f=50.7), 3200.0)):
        write_three(folder / name, u, fs, frequency=50.0, file_type="FLOAT32", start="01/01/2020,00:00:00.000000",
                    single_file=True)
    t = np.arange(int(2.5 * 7680)) / 7680.0
    v = 120 * np.sqrt(2) * np.sin(2 * np.pi * 60 * t)
    v[int(0.8 * 7680):7680] *= 1.2
    np.savetxt(folder / "sub" / "test1.csv", np.column_stack([t, v]), delimiter=",", header="t,VA", comments="",
               fmt="%.9g")
    (folder / "bad.cfg").write_text("station,recorder,1999\n3,3A\n")
    from powerquality.__main__ import main
    assert main(["analyze", str(folder), "--out", str(root / "serial"), *REPORTS] + ["--detail"] * bool(h5py)) == 1
    return root


REPORTS = ("--report", "report.html", "--assessment", "assessment.json")


def _index_rows(text):
    table = re.search(r'<table id="index">(.*?)</table>', text, re.S).group(1)
    rows = []
    for row in re.findall(r"<tr class=\"([^\"]+)\">(.*?)</tr>", table, re.S):
        link = re.search(r'<a href="([^"]+)">', row[1])
        cells = [re.sub(r"<[^>]+>", " ", c).split() for c in re.findall(r"<td[^>]*>(.*?)</td>", row[1], re.S)]
        rows.append((row[0], link.group(1) if link else None, cells))
    return rows


def test_serial_run_gives_a_row_a_folder_a_report_and_the_events_of_each_recording_and_an_index(generated):
    out = generated / "serial"
    assert sorted(os.listdir(out / "dip")) == sorted(["aggregated_10min.csv", "aggregated_2h.csv", "aggregated_3s.csv",
                                                      "assessment.json", "events.csv", "flicker.csv", "rvc.csv",
                                                      "frequency_10s.csv", "report.html", "summary.txt"]
                                                     + ["detail.h5"] * bool(h5py))
    assert (out / "dip" / "summary.txt").read_text().startswith("recording   ")
    rows = list(csv.DictReader((out / "summary.csv").read_text().splitlines()))
    assert [(r["folder"], r["status"], r["verdict"]) for r in rows] == [
        ("bad", "error", ""), ("dip", "ok", "not measured"), ("fast", "ok", "fail"), ("steady", "ok", "incomplete"),
        ("test1", "ok", "not measured")]
    bad, dip, swell = rows[0], rows[1], rows[4]
    assert "bad.cfg:2:" in bad["error"] and bad["dips"] == bad["duration"] == bad["udin"] == ""
    assert (dip["grid"], dip["start"], dip["nominalFrequency"], dip["udinSource"], dip["dips"], dip["swells"],
            dip["interruptions"]) == ("star", "2020-01-01T00:00:00", "50", "no rating; the nominal voltage nearest "
                                      "the measured level 230 V (100.0 % of 230 V)", "1", "0", "0")
    assert (float(dip["worstResidualPercent"]), float(dip["udin"])) == (pytest.approx(70.0, abs=0.5),
                                                                      pytest.approx(230.0, rel=1e-4))
    # The range of the trusted cycles of an exact 50 Hz supply: the cycles next to the dip's steps are not trusted.
    assert 49.99 < float(dip["frequencyMin"]) <= float(dip["frequencyMax"]) < 50.01
    assert dip["rvcs"] == "0"  # Class A: the dip is a dip, not a rapid voltage change
    # The 10-minute values: the voltage THD of the worst phase (not a current's, not the total's) and u2 (not u0).
    ten = np.genfromtxt(out / "dip" / "aggregated_10min.csv", delimiter=",", names=True, dtype=None,
                        encoding="utf-8", deletechars="")
    assert float(dip["thd10minMax"]) == pytest.approx(max(ten[f"{p}.thdVoltage.thd"] for p in "ABC"), rel=1e-9)
    assert float(dip["unbalance10minMax"]) == pytest.approx(float(ten["u2"]), rel=1e-9)
    assert (swell["grid"], swell["start"], swell["nominalFrequency"], swell["swells"], swell["unbalance10minMax"],
            swell["pstMax"], float(swell["largestSwellPercent"])) == ("single", "", "60", "1", "", "",
                                                                      pytest.approx(120.0, abs=0.5))
    # The events of all recordings in their order; Ed. 3 stamps: the dip starts a cycle before 1 s.
    events = list(csv.DictReader((out / "events.csv").read_text().splitlines()))
    assert [(os.path.basename(e["path"]), e["type"]) for e in events] == [("dip.cff", "dip"), ("test1.csv", "swell")]
    assert events[0]["start"].startswith("2020-01-01T00:00:00.99") and events[1]["start"] == ""
    # From Python: the same rows as arrays (no folders without an output folder), with the assessment's columns.
    summary, events = pq.analyze_many([str(generated / "generated")], with_events=True, en50160={"level": "LV"})
    assert list(summary["status"]) == [r["status"] for r in rows] and set(summary["folder"]) == {""}
    assert list(summary["dips"]) == [int(r["dips"] or -1) for r in rows]
    np.testing.assert_allclose(summary["worstResidual"], [float(r["worstResidual"] or "nan") for r in rows], rtol=1e-9)
    assert list(events["type"]) == [1, 2] and list(summary["verdict"]) == [r["verdict"] for r in rows]
    index = (out / "report.html").read_text(encoding="utf-8")
    assert [outside for outside in OUTSIDE if outside in index] == []
    table = _index_rows(index)
    assert [link for _, link, _ in table] == [None] + [f"{n}/report.html" for n in ("dip", "fast", "steady", "test1")]
    assert '<p id="counts">5 recording(s): 1 fail, 1 incomplete, 2 not measured, 1 error.</p>' in index
    assert rows[2]["failing"] == "Power frequency ±1 %" and table[2][2][5] == ["Power", "frequency", "±1", "%"]
    assert table[0][0] == "fail" and table[0][2][2] == ["error"] and "bad.cfg:2:" in " ".join(table[0][2][3])
    for (css, link, cells), r in zip(table[1:], rows[1:]):
        assessment = json.loads((out / r["folder"] / "assessment.json").read_text())
        cov = assessment["coverage"]
        assert css.replace("-", " ") == r["verdict"] == assessment["verdict"] == " ".join(cells[4])
        assert " ".join(cells[2]) == r["coverage"] and f"{cov['used']} of {cov['intervals']}" in r["coverage"]
        assert float(r["weekPercent"]) == pytest.approx(cov["week_share"], rel=1e-12) and (out / link).exists()
    assert rows[1]["coverage"].startswith("3 s, 0.000496 % of a week; 0 of 1")
    assert " ".join(table[1][2][1]) == "2020-01-01T00:00:00" and table[4][2][1] == ["–"]
    ten_s = np.genfromtxt(out / "fast" / "frequency_10s.csv", delimiter=",", names=True, encoding="utf-8")
    np.testing.assert_allclose([ten_s["startTime"], ten_s["endTime"]], [[0.0, 10.0], [10.0, 20.0]], atol=0.01)
    np.testing.assert_allclose(ten_s["frequency"], 50.7, atol=0.01)


def _tables(out, report="report.html"):
    read = {name: (out / name).read_text() for name in ("summary.csv", "events.csv")}
    read["folders"] = sorted(os.path.relpath(os.path.join(d, f), out).replace(report, "report.html")
                             for d, _, files in os.walk(out) for f in files if d != str(out) or f != report)
    read["ten minutes"] = (out / "dip" / "aggregated_10min.csv").read_text()
    for folder in ("dip", "fast", "steady", "test1"):
        read[folder] = [(out / folder / name).read_bytes() for name in (report, "assessment.json")]
    if h5py:
        with h5py.File(out / "dip" / "detail.h5", "r") as f:
            read["detail"] = {name: f[name][:].tobytes() for name in f}
    return read


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # tornado's, under the Dask client
def test_local_processes_a_local_cluster_and_the_single_command_give_the_same_tables_and_reports(generated, request):
    root, folder = generated, generated / "generated"
    (root / "elsewhere").mkdir()
    detail = ["--detail"] * bool(h5py)
    jobs = cli("analyze", folder, *detail, "--out", root / "jobs", "--jobs", "2", "--report",
               root / "elsewhere" / "all.html", "--assessment", "assessment.json")
    one = cli("analyze", folder / "dip.cff", "--report", root / "dip.html")
    assert (jobs.returncode, one.returncode) == (1, 0), jobs.stderr + one.stderr
    assert "wrote " + str(root / "elsewhere" / "all.html") in jobs.stdout
    serial = _tables(root / "serial")
    assert _tables(root / "jobs", report="all.html") == serial
    rows = _index_rows((root / "serial" / "report.html").read_text(encoding="utf-8"))
    assert _index_rows((root / "elsewhere" / "all.html").read_text(encoding="utf-8")) == \
        [(css, link and os.path.join("..", "jobs", link.replace("report.html", "all.html")), cells)
         for css, link, cells in rows]
    assert (root / "serial" / "dip" / "report.html").read_bytes() == (root / "dip.html").read_bytes()  # one alone
    scheduler_file = request.getfixturevalue("cluster").scheduler_file  # its credentials beside it
    run = cli("analyze", folder, *detail, *REPORTS, "--scheduler", scheduler_file, "--out", root / "cluster")
    summary, events = pq.analyze_many([str(folder)], client=scheduler_file, with_events=True,
                                      en50160={"level": "LV"})
    assert run.returncode == 1 and _tables(root / "cluster") == serial, run.stderr
    # The assessment's settings reach the workers, and the rows and events come back as from this process.
    here, events_here = pq.analyze_many([str(folder)], with_events=True, en50160={"level": "LV"})
    for name in summary.dtype.names:
        np.testing.assert_array_equal(summary[name], here[name], err_msg=name)
    np.testing.assert_array_equal(events, events_here)


@pytest.mark.parametrize("prelude, scheduler, tls, message", [
    ("sys.modules['distributed'] = None", "tcp://127.0.0.1:8786", (), "apt-get install python3-distributed"),
    ("", "no-such-scheduler", (), "neither a scheduler address (tls://host:8786) nor a scheduler file"),
    # A TLS address without credentials is refused at once, not after the connection's timeout.
    ("", "tls://127.0.0.1:9", (), "tls://127.0.0.1:9: a TLS scheduler; give the cluster's credentials"),
    ("", "tls://127.0.0.1:9", ("ca.pem", "cert.pem", "no-such.pem"), "--tls-key no-such.pem: cannot read it"),
    ("", "tls://127.0.0.1:9", ("ca.pem", "cert.pem", "text.pem"), "--tls-key text.pem: not a PEM file"),
    ("", "tls://127.0.0.1:9", ("text.pem", "cert.pem", "cert.pem"), "--tls-ca-file text.pem: not a PEM file"),
    ("", "tls://127.0.0.1:9", ("ca.pem", "cert.pem"), "--tls-ca-file, --tls-cert and --tls-key: give all three"),
    ("", None, ("ca.pem", "cert.pem", "cert.pem"), "--tls-ca-file, --tls-cert and --tls-key: give all three, with "
     "--scheduler"),
    ("", "127.0.0.1:9", ("ca.pem", "cert.pem", "cert.pem"), "127.0.0.1:9: not a TLS scheduler"),
])
def test_a_cluster_that_cannot_be_had_stops_the_run_with_a_message(tmp_path, prelude, scheduler, tls, message):
    if not prelude:
        pytest.importorskip("distributed", reason="Dask's distributed is not installed")
    (tmp_path / "text.pem").write_text("not a certificate\n")
    for name in ("ca.pem", "cert.pem"):
        (tmp_path / name).write_text("-----BEGIN CERTIFICATE-----\n")
    options = (["--scheduler", scheduler] if scheduler else []) + \
        [a for option, name in zip(("--tls-ca-file", "--tls-cert", "--tls-key"), tls) for a in (option, name)]
    code = (f"import sys; {prelude}\nfrom powerquality.__main__ import main\n"
            f"sys.exit(main(['analyze', {str(tmp_path)!r}, *{options!r}]))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 2 and message in run.stderr and "Traceback" not in run.stderr, run.stderr
    assert message in run.stderr.strip().splitlines()[-1], run.stderr  # one line, after argparse's usage if any


def test_summary_takes_the_largest_severity_of_the_flicker_stages_tables():
    # The flicker stage's {'pst': rows, 'plt': rows}, a column per voltage; NaN (nothing settled) passed over.
    rows = np.zeros(3, [("clockInterval", "i8"), ("A.pst", "f8"), ("B.pst", "f8")])
    rows["A.pst"], rows["B.pst"] = [0.4, np.nan, 0.9], [1.3, 0.2, np.nan]
    block = types.SimpleNamespace(flicker={"pst": rows, "plt": rows[:0], "pinst_max": np.ones(2)})
    assert fleet._flicker(block, "pst") == 1.3 and np.isnan(fleet._flicker(block, "plt"))


@pytest.mark.slow
def test_browser_renders_the_index(generated):
    from test_report_html import in_browser

    dom, drawn, red, green = in_browser(generated / "serial" / "report.html", generated / "browser", height=800)
    # No recording passes: recordings of seconds leave rows not judged (incomplete, grey).
    assert len(_index_rows(dom)) == 5 and drawn > 0.01 and red > 100 and green == 0


@pytest.mark.parametrize("paths, reserved, expected", [
    # A recording named as one of the run's own files takes the next free name, whatever the case.
    (["a/summary.csv.cfg", "b/EVENTS.CSV.cff", "c/index.html.csv"], ("summary.csv", "events.csv", "index.html"),
     ["summary.csv-2", "EVENTS.CSV-2", "index.html-2"]),
    (["a/summary.csv-2.cfg", "b/summary.csv.cfg"], fleet.OUTPUTS, ["summary.csv-2", "summary.csv-3"]),
    (["a/index.html.cfg"], fleet.OUTPUTS, ["index.html"]),  # no index page: the name is free
    (["a/..cfg", "b/.cfg", ".", "c/x.cfg"], fleet.OUTPUTS, ["..cfg", ".cfg", "recording", "x"]),  # never out itself
])
def test_no_recording_folder_takes_the_name_of_a_file_of_the_run(paths, reserved, expected):
    assert fleet.folder_names(paths, reserved) == expected


@pytest.mark.parametrize("out, index, expected", [
    ("o", None, ["summary.csv", "events.csv"]),
    ("o", "index.html", ["summary.csv", "events.csv", "index.html"]),
    ("o", "o/Index.HTML", ["summary.csv", "events.csv", "Index.HTML"]),
    ("o", "elsewhere/index.html", ["summary.csv", "events.csv"]),
])
def test_the_files_at_the_top_of_the_output_folder_are_listed_in_one_place(tmp_path, monkeypatch, out, index,
                                                                           expected):
    monkeypatch.chdir(tmp_path)
    assert fleet.top_level_names(out, index) == expected


FORMULAS = ['=HYPERLINK("x.example","y")', "+cmd|' -C calc'!A0", "@SUM(1+1)", "-2+3"]


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """Recordings of one second named as the run's own files and as spreadsheet formulas, analysed into out with
    an index page index.html; out holds a file where the first formula's folder would go."""
    root = tmp_path_factory.mktemp("hostile")
    base = write_three(root / "rec", three_phase(3200.0, 1.0), 3200.0, file_type="FLOAT32")
    names = ["summary.csv", "events.csv", "index.html"] + FORMULAS
    for name in names:
        shutil.copy(base, root / (name + ".cfg"))
        shutil.copy(root / "rec.dat", root / (name + ".dat"))
    (root / "out").mkdir()
    (root / "out" / "-2+3").write_text("in the way")
    from powerquality.__main__ import main

    cwd = os.getcwd()
    os.chdir(root)
    try:
        status = main(["analyze", "--out", "out", "--report", "index.html", "--quiet", "--",
                       *[n + ".cfg" for n in names]])
    finally:
        os.chdir(cwd)
    return root, status


def test_names_of_recordings_neither_take_the_runs_files_nor_go_into_spreadsheets_as_formulas(hostile):
    root, status = hostile
    out = root / "out"
    assert status == 1  # the recording whose folder is taken by a file
    assert all((out / name).is_file() for name in ("summary.csv", "events.csv", "index.html"))
    assert {"summary.csv-2", "events.csv-2", "index.html-2"} <= {p.name for p in out.iterdir() if p.is_dir()}
    assert (out / "summary.csv-2" / "events.csv").is_file()
    text = (out / "summary.csv").read_text()
    rows = list(csv.DictReader(text.splitlines()))
    assert [r["path"] for r in rows] == [n + ".cfg" for n in ("summary.csv", "events.csv", "index.html")] + \
        ["'" + f + ".cfg" for f in FORMULAS]
    assert [r["folder"] for r in rows[3:]] == ["'" + f for f in FORMULAS]
    assert [r["status"] for r in rows] == ["ok"] * 6 + ["error"] and "File exists" in rows[6]["error"]
    # Each neutralised cell is quoted too; the numbers stay numbers.
    assert text.count('"\'') == 2 * len(FORMULAS) and '"\'=HYPERLINK(""x.example"",""y"").cfg"' in text
    assert float(rows[0]["duration"]) == pytest.approx(1.0, abs=0.01) and rows[0]["sampleRate"] == "3200"
    index = (out / "index.html").read_text(encoding="utf-8")
    assert 'href="summary.csv-2/index.html"' in index and 'href="index.html-2/index.html"' in index


def test_the_runs_tables_and_index_are_written_when_one_of_them_cannot_be(tmp_path, monkeypatch, capsys):
    from powerquality.__main__ import main

    monkeypatch.chdir(tmp_path)
    write_three(tmp_path / "rec", three_phase(3200.0, 1.0), 3200.0, file_type="FLOAT32")
    (tmp_path / "out" / "summary.csv").mkdir(parents=True)  # left by someone else
    status = main(["analyze", ".", "--out", "out", "--report", "index.html"])  # a folder: the fleet's road
    lines = capsys.readouterr()
    assert status == 1 and lines.err == "powerquality: out/summary.csv: cannot be written (Is a directory)\n"
    assert (tmp_path / "out" / "events.csv").is_file() and (tmp_path / "out" / "index.html").is_file()
    assert "wrote out/events.csv" in lines.out and (tmp_path / "out" / "rec" / "index.html").is_file()
    with pytest.raises(OSError, match="out/summary.csv: cannot be written"):
        pq.analyze_many(["rec.cfg"], out="out")
    assert (tmp_path / "out" / "events.csv").is_file()


@pytest.mark.parametrize("names, expected", [
    (["a"], ["a/x.cfg", "a/z/y.cfg", "a/locked: cannot be searched (Permission denied)"]),
    (["a/**/*.cfg"], ["a/x.cfg", "a/z/y.cfg", "a/locked: cannot be searched (Permission denied)"]),
    (["a/*"], ["a/x.cfg", "a/z/y.cfg", "a/locked: cannot be searched (Permission denied)"]),
    (["a/locked"], ["a/locked: cannot be searched (Permission denied)"]),
])
def test_a_folder_that_cannot_be_searched_is_a_row_not_a_silence(tmp_path, monkeypatch, names, expected):
    monkeypatch.chdir(tmp_path)
    for name in ("a/x.cfg", "a/z/y.cfg", "a/locked/w.cfg"):
        os.makedirs(os.path.dirname(name), exist_ok=True)
        open(name, "w").close()
    locked = tmp_path / "a" / "locked"
    locked.chmod(0)
    try:
        if os.access(locked, os.R_OK):  # root reads it anyway: listing it fails as it would for anyone else
            real = os.scandir

            def scandir(path="."):
                if os.path.abspath(path) == str(locked):
                    raise PermissionError(13, "Permission denied", os.fspath(path))
                return real(path)

            monkeypatch.setattr(os, "scandir", scandir)
        found = fleet.find(names)
    finally:
        locked.chmod(0o755)
    assert [os.path.normpath(p) if error is None else error for p, error in found] == \
        [os.path.normpath(e) if error is None else e for e, error in
         ((e, None) if ": " not in e else (e, e) for e in expected)]


# --- The local cluster is private -------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """The package's PrivateCluster of two workers, one for the module (starting it takes seconds)."""
    pytest.importorskip("distributed", reason="Dask's distributed is not installed (Debian python3-distributed)")
    pytest.importorskip("cryptography", reason="the cluster's certificate needs Debian's python3-cryptography")
    started = fleet.PrivateCluster(2, folder=str(tmp_path_factory.mktemp("cluster")))
    with started:
        yield started


def _scheduler(cluster):
    """The scheduler's address, host, port and the port of its HTTP server."""
    with open(cluster.scheduler_file) as f:
        info = json.load(f)
    host, port = info["address"].split("://")[1].rsplit(":", 1)
    return info["address"], host, int(port), info["services"]["dashboard"]


def _stranger(folder):
    """A certificate and key of someone else's making (self-signed), as a local user could make them."""
    os.makedirs(folder, exist_ok=True)
    return fleet.write_credentials(folder)


def _knock(port, how, cluster, stranger):
    """What a connection to the scheduler's port gets: 'answered' (Dask's handshake, sent to a client it
    admits), 'waits' (neither answered nor closed), 'closed', or the refusal's exception name.

    how: 'tcp' (no TLS), 'tls' (no certificate), 'stranger' (a certificate the cluster did not sign) or
    'cluster' (the cluster's own). The client trusts any server here, so only the scheduler's checks count.
    """
    raw = socket.create_connection(("127.0.0.1", port), timeout=5)
    try:
        if how != "tcp":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
            if how in ("stranger", "cluster"):
                files = stranger if how == "stranger" else cluster.credentials
                context.load_cert_chain(files["cert"], files["key"])
            raw = context.wrap_socket(raw)
        raw.sendall(b"\0" * 64)  # garbage: neither a TLS hello nor a message
        raw.settimeout(2.0)
        try:
            return "closed" if raw.recv(16) == b"" else "answered"
        except socket.timeout:
            return "waits"
    except (OSError, ssl.SSLError) as error:
        return type(error).__name__
    finally:
        raw.close()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_the_local_cluster_admits_only_its_own_certificate(cluster, tmp_path):
    address, host, port, _ = _scheduler(cluster)
    assert address.startswith("tls://") and host == "127.0.0.1"
    stranger = _stranger(tmp_path / "stranger")
    knocks = {how: _knock(port, how, cluster, stranger) for how in ("tcp", "tls", "stranger", "cluster")}
    assert knocks["cluster"] == "answered", knocks
    assert all(knocks[how] in ("SSLError", "SSLEOFError", "ConnectionResetError", "closed")
               for how in ("tcp", "tls", "stranger")), knocks
    # Through Dask: a TLS address without credentials is refused before connecting; a plain tcp:// one times out.
    with pytest.raises(fleet.FleetError, match="a TLS scheduler; give the cluster's credentials"):
        fleet.connect(address, timeout=2)
    with pytest.raises(fleet.FleetError, match="cannot reach the Dask scheduler"):
        fleet.connect(f"tcp://{host}:{port}", timeout=1)
    with pytest.raises(fleet.FleetError, match="cannot reach the Dask scheduler"):
        fleet.connect(address, timeout=5, security=stranger)
    # The credentials named as the command line's options do: a task runs (and fails on the malformed file).
    (tmp_path / "bad.cfg").write_text("station,recorder,1999\n3,3A\n")
    summary = pq.analyze_many([str(tmp_path / "bad.cfg")], client=address, security=cluster.credentials)
    assert summary["status"][0] == "error" and "bad.cfg:2:" in summary["error"][0]


def test_the_local_clusters_key_is_readable_by_its_user_alone(cluster):
    folder = os.path.dirname(cluster.scheduler_file)
    assert os.stat(folder).st_mode & 0o777 == 0o700 and os.stat(folder).st_uid == os.getuid()
    for name, path in cluster.credentials.items():
        assert os.path.dirname(path) == folder and os.stat(path).st_mode & 0o777 == 0o600, name
    with open(cluster.credentials["key"]) as f:
        assert "PRIVATE KEY" in f.read()


def _children():
    parents = {}
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                parents.setdefault(int(f.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
        except (OSError, ValueError):
            continue
    return parents


def _descendants(pids):
    parents, found, todo = _children(), set(), list(pids)
    while todo:
        pid = todo.pop()
        if pid not in found:
            found.add(pid)
            todo += parents.get(pid, [])
    return found


def _ip(text):
    """An address of /proc/net/tcp{,6}: 32-bit words in the machine's (little-endian) order."""
    raw = bytes.fromhex(text)
    return ipaddress.ip_address(b"".join(raw[k:k + 4][::-1] for k in range(0, len(raw), 4)))


def _listening(pids):
    """(table, address, port) of each listening TCP socket and each bound UDP socket that pids hold."""
    inodes = set()
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                link = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if link.startswith("socket:["):
                inodes.add(link[len("socket:["):-1])
    found = []
    for table in ("tcp", "tcp6", "udp", "udp6"):
        with open(f"/proc/net/{table}") as f:
            for line in list(f)[1:]:
                local, state, inode = line.split()[1], line.split()[3], line.split()[9]
                if inode in inodes and (state == "0A" or table.startswith("udp")):
                    address, port = local.split(":")
                    found.append((table, str(_ip(address)), int(port, 16)))
    return found


def test_nothing_the_local_cluster_started_listens_beyond_127_0_0_1(cluster):
    if not os.path.isdir("/proc/self/fd") or not os.path.exists("/proc/net/tcp"):
        pytest.skip("no /proc: the listening sockets cannot be listed")
    pids = _descendants([p.pid for p in cluster.processes])
    assert len(pids) >= 1 + 2 * 2  # the scheduler, and two nannies with a worker process each
    found = _listening(pids)
    assert {(table, address) for table, address, _ in found} == {("tcp", "127.0.0.1")}, found
    # The sockets found are the cluster's: the scheduler's, its HTTP server's, and the workers' and nannies'.
    _, _, port, http = _scheduler(cluster)
    client = fleet.connect(cluster.scheduler_file)
    try:
        workers = client.scheduler_info()["workers"]
        ports = {port, http} | {int(w.split(":")[-1]) for w in workers} | \
            {int(info["nanny"].split(":")[-1]) for info in workers.values()}
    finally:
        client.close()
    assert ports <= {p for _, _, p in found} and len(ports) == 2 + 2 * 2, (ports, found)
    # The HTTP servers (one per process, started whatever --no-dashboard says) show nothing.
    import urllib.error
    import urllib.request

    for path in ("/health", "/info/main/workers.html", "/json/counts.json", "/metrics"):
        with pytest.raises(urllib.error.HTTPError, match="404"):
            urllib.request.urlopen(f"http://127.0.0.1:{http}{path}", timeout=5)


_AS_ANOTHER_USER = r"""
import json, os, socket, ssl, sys, tempfile
key, scheduler_file, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
seen = {}
for name, path in (("key", key), ("scheduler file", scheduler_file)):
    try:
        open(path).close()
        seen[name] = "read"
    except OSError as error:
        seen[name] = type(error).__name__
import distributed
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
import datetime
# The scheduler's certificate, as any client gets it, and a certificate of this user's own making.
folder = tempfile.mkdtemp()
server = os.path.join(folder, "server.pem")
try:
    with open(server, "w") as f:
        f.write(ssl.get_server_certificate(("127.0.0.1", port)))
except OSError as error:
    seen["tls, own certificate"] = "no TLS: " + type(error).__name__
own = ec.generate_private_key(ec.SECP256R1())
name = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "powerquality local cluster")])
now = datetime.datetime.now(datetime.timezone.utc)
cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(own.public_key())
        .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True).sign(own, hashes.SHA256()))
mine = os.path.join(folder, "mine.pem")
with open(mine, "wb") as f:
    f.write(cert.public_bytes(serialization.Encoding.PEM))
    f.write(own.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                              serialization.NoEncryption()))
attempts = {"tcp": (f"tcp://127.0.0.1:{port}", None),
            "tls, own certificate": (f"tls://127.0.0.1:{port}",
                                     distributed.Security(tls_ca_file=server, tls_client_cert=mine,
                                                          require_encryption=True))}
for name, (address, security) in attempts.items():
    if name in seen:
        continue
    try:
        with distributed.Client(address, security=security, timeout=3, set_as_default=False) as client:
            seen[name] = "ran as uid %d" % client.submit(os.getuid, pure=False).result(timeout=10)
    except Exception as error:
        seen[name] = type(error).__name__
print(json.dumps(seen))
"""


@pytest.mark.slow
def test_another_user_cannot_read_the_key_nor_submit_work(cluster):
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        pytest.skip("only root can run the attempt as another user (nobody)")
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("util-linux's setpriv is not installed: cannot switch to the user nobody")
    _, _, port, _ = _scheduler(cluster)
    run = subprocess.run([setpriv, "--reuid", "nobody", "--regid", "nogroup", "--clear-groups", sys.executable,
                          "-c", _AS_ANOTHER_USER, cluster.credentials["key"], cluster.scheduler_file, str(port)],
                         capture_output=True, text=True, cwd="/", timeout=120,
                         env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": "/nonexistent"})
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout.splitlines()[-1])
    assert seen == {"key": "PermissionError", "scheduler file": "PermissionError",
                    "tcp": seen["tcp"], "tls, own certificate": seen["tls, own certificate"]}, seen
    assert not any(str(v).startswith("ran") for v in seen.values()), seen
    assert {seen["tcp"], seen["tls, own certificate"]} <= {"OSError", "TimeoutError", "CommClosedError",
                                                             "FatalCommClosedError"}, seen


def test_a_local_cluster_that_does_not_start_says_why_and_leaves_no_credentials(tmp_path, monkeypatch):
    pytest.importorskip("distributed", reason="Dask's distributed is not installed (Debian python3-distributed)")
    pytest.importorskip("cryptography", reason="the cluster's certificate needs Debian's python3-cryptography")
    monkeypatch.setitem(fleet.CLUSTER_ENVIRONMENT, "DASK_DISTRIBUTED__COMM__TLS__MIN_VERSION", "9.9")
    with pytest.raises(fleet.FleetError, match=r"did not start: ValueError: .*min-version=9.9 .*\(see .*cluster.log\)"):
        with fleet.PrivateCluster(1, folder=str(tmp_path), timeout=30):
            pass
    assert os.listdir(tmp_path) == ["cluster.log"]  # the private folder, key and all, is gone

# The command line as a script sees it, each run a process of its own: what goes to stdout and what to stderr,
# --version, --quiet, and outputs that cannot be written (a full disk, a closed pipe).
import argparse
import os
import subprocess
import sys

import pytest

import powerquality as pq
from conftest import cli, three_phase, write_three

FS = 3200.0
COMMAND = [sys.executable, "-m", "powerquality"]


@pytest.fixture(scope="module")
def noted(tmp_path_factory):
    """One second of 60 Hz in a file that says 50 Hz: analysed, with a note that says so."""
    folder = tmp_path_factory.mktemp("noted")
    return write_three(folder / "rec", three_phase(FS, 1.0, f=60.0), FS, frequency=50, file_type="FLOAT32")


def _full():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    return "/dev/full"


def _one_line(stderr):
    """The single line stderr holds; fails on a traceback, an 'Exception ignored' or a second line."""
    assert "Traceback" not in stderr and "Exception ignored" not in stderr, stderr
    lines = stderr.splitlines()
    assert len(lines) == 1, stderr
    return lines[0]


def test_the_summary_goes_to_stdout_and_the_notes_to_stderr(noted):
    run = cli("analyze", noted)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"recording   {noted}: 3 analog channels") and "note:" not in run.stdout
    assert run.stderr.splitlines() == [f"note: {noted}:6: the file declares 50 Hz, but VA runs at 60 Hz: analysed as "
                                       "60 Hz (give --nominal to overrule)"]


def test_version_says_the_version_first_then_how_it_was_built():
    run = cli("--version")
    assert run.returncode == 0 and run.stderr == ""
    first, built = run.stdout.splitlines()
    assert first == f"powerquality {pq.__version__}"
    assert built.startswith(f"libpowerquality {pq.__version__}") and f"Python {sys.version.split()[0]}" in built


def test_the_program_calls_itself_powerquality():
    run = cli("analyze")
    assert run.returncode == 2 and run.stderr.startswith("usage: powerquality analyze ")
    assert run.stderr.splitlines()[-1].startswith("powerquality analyze: error: ")


@pytest.mark.parametrize("where", ["before", "after"])
def test_quiet_prints_nothing_when_all_goes_well_and_only_the_error_when_not(noted, tmp_path, where):
    def quiet(*args):
        return cli(*(["--quiet", "analyze", *args] if where == "before" else ["analyze", *args, "--quiet"]))

    run = quiet(noted, "--out", tmp_path / "out")
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
    assert (tmp_path / "out" / "events.csv").is_file()
    run = quiet(noted, "--voltages", "X")  # the recording's notes are left out before the refusal too
    assert run.returncode == 1 and run.stdout == ""
    assert _one_line(run.stderr) == f"powerquality: {noted}: no channel named 'X' (channels: VA, VB, VC)"


def test_quiet_with_many_recordings_names_only_those_that_failed(noted, tmp_path):
    run = cli("analyze", noted, tmp_path / "missing.cfg", "--quiet")
    assert run.returncode == 1 and run.stdout == ""
    assert _one_line(run.stderr).startswith(f"powerquality: {tmp_path / 'missing.cfg'}: ")
    loud = cli("analyze", noted, tmp_path / "missing.cfg")
    assert loud.returncode == 1 and loud.stdout.splitlines()[-1] == "2 recording(s): 1 analysed, 1 failed, 0 event(s)"


@pytest.mark.parametrize("args", [["analyze", "{rec}"], ["--version"], ["--help"], ["analyze", "--help"]])
def test_a_full_disk_as_stdout_is_one_line_and_status_1(noted, args):
    with open(_full(), "w") as full:
        run = subprocess.run(COMMAND + [a.format(rec=noted) for a in args], stdout=full, stderr=subprocess.PIPE,
                             text=True)
    assert run.returncode == 1
    lines = run.stderr.splitlines()
    assert lines[-1] == "powerquality: standard output: cannot be written (No space left on device)"
    assert _one_line(lines[-1]) and all(line.startswith("note: ") for line in lines[:-1]), run.stderr


def test_a_pipe_closed_by_its_reader_is_one_line_and_status_1(noted):
    read, write = os.pipe()
    os.close(read)  # the reader is gone before the first line
    try:
        run = subprocess.run(COMMAND + ["analyze", noted, "--quiet"], stdout=write, stderr=subprocess.PIPE, text=True)
        assert (run.returncode, run.stderr) == (0, "")  # --quiet writes nothing to it
        run = subprocess.run(COMMAND + ["--version"], stdout=write, stderr=subprocess.PIPE, text=True)
    finally:
        os.close(write)
    assert run.returncode == 1
    assert _one_line(run.stderr) == "powerquality: standard output: cannot be written (Broken pipe)"


@pytest.mark.parametrize("option, name", [("--assessment", "a.json"), ("--report", "r.html"), ("--plot", "p.png"),
                                          ("--out", "events.csv")])
def test_an_output_file_on_a_full_disk_is_one_line_naming_it_and_status_1(noted, tmp_path, option, name):
    if option == "--plot":
        pytest.importorskip("matplotlib", reason="--plot draws with matplotlib (Debian python3-matplotlib)")
    # The file a link to the full disk (a picture's name needs its extension, or it would get one).
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / name).symlink_to(_full())
    target = tmp_path / "out" if option == "--out" else tmp_path / "out" / name
    run = cli("analyze", noted, option, target, "--nominal", "60")
    assert run.returncode == 1, run.stderr
    assert _one_line(run.stderr) == f"powerquality: {option} {target}: cannot be written (No space left on device)"
    assert run.stdout.startswith("recording   ") or option == "--out"


def test_a_full_disk_under_the_conformance_report_is_one_line_and_status_1(monkeypatch, capsys):
    from powerquality import conformance
    from powerquality.__main__ import main

    monkeypatch.setattr(conformance, "TESTS", [("unbalance", conformance.unbalance_tests)])
    assert main(["conformance", "--quick", "--quiet", "--report", _full()]) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert _one_line(err) == "powerquality: --report /dev/full: cannot be written (No space left on device)"


@pytest.mark.parametrize("columns", [None, "50", "200", "0", "-3", "wide", ""])
def test_help_is_as_wide_as_shutil_would_make_it_whatever_columns_says(monkeypatch, columns):
    import shutil

    from powerquality import __main__ as command

    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    assert command._columns() == shutil.get_terminal_size().columns
    assert command._Formatter("powerquality")._width == argparse.HelpFormatter("powerquality")._width


_NOT_FOR_ONE_RECORDING = ("powerquality.en50160", "powerquality.fleet", "powerquality.htmlreport",
                          "powerquality.csvfile", "powerquality.conformance", "pandas", "scipy", "xarray", "h5py",
                          "matplotlib", "distributed", "dask", "multiprocessing", "concurrent.futures")


def test_one_recording_into_tables_imports_neither_the_report_nor_the_fleet(noted, tmp_path):
    """``import powerquality`` and the command line's run of one recording into --out import only what they use:
    the EN 50160 report, the fleet, pandas, Dask and the rest wait until asked for."""
    script = ("import sys, powerquality\n"
              "from powerquality.__main__ import main\n"
              "before = set(sys.modules)\n"
              f"status = main(['analyze', {str(noted)!r}, '--quiet', '--out', {str(tmp_path)!r}])\n"
              "print(status, ' '.join(sorted(before)), '|', ' '.join(sorted(set(sys.modules))))\n"
              "print(powerquality.analyze_many.__module__, 'analyze_many' in dir(powerquality),\n"
              "      powerquality.fleet.PrivateCluster.__module__, powerquality.en50160.__name__)\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    status, imported = first.split(" ", 1)
    assert status == "0"
    at_import, after_run = (set(part.split()) for part in imported.split("|"))
    assert at_import <= after_run
    assert sorted(after_run & set(_NOT_FOR_ONE_RECORDING)) == []
    # The public names still there, imported when asked for: analyze_many, and the modules as attributes.
    assert second == "powerquality.fleet True powerquality.fleet powerquality.en50160"


def test_a_scheduler_that_cannot_be_reached_for_one_recording_is_one_line_and_status_2(noted, tmp_path):
    """fleet's refusal (imported only for --scheduler) is still told apart from a recording's: status 2."""
    run = cli("analyze", noted, "--quiet", "--scheduler", tmp_path / "no-such-scheduler.json")
    assert run.returncode == 2
    assert _one_line(run.stderr) == (f"powerquality: {tmp_path / 'no-such-scheduler.json'}: neither a scheduler "
                                     "address (tls://host:8786) nor a scheduler file")


def test_importing_the_command_line_takes_no_typing():
    """The annotations stay text: typing (some milliseconds of every start) is not imported."""
    run = subprocess.run([sys.executable, "-c", "import sys, powerquality.__main__; print('typing' in sys.modules)"],
                         capture_output=True, text=True)
    assert run.stdout.strip() == "False", run.stderr

"""Command line: ``powerquality analyze RECORDING [--out DIR [--detail]] [--plot FILE.png]
[--report FILE.html [--site TEXT] [--operator TEXT]] [--assessment FILE.json]``, and ``powerquality
conformance [--quick] [--report FILE.html]`` (the conformance battery, :mod:`powerquality.conformance`);
``powerquality --version``. ``powerquality`` is the script that installing the package puts on the path;
``python3 -m powerquality`` is the same command.

The recording is read and analysed block by block, the tables written as
the blocks pass, so a week takes the memory of a minute. Output paths are
checked before the analysis starts. ``--nominal`` sets the nominal
frequency (the tracker's centre and the window length); ``--fixed-frequency``
replaces the tracked frequency by a fixed one. A progress line shows on
stderr when it is a terminal (not with ``--quiet``). Harmonics are harmonic
subgroups and the distortion THDS, as IEC 61000-4-30 Class A measures voltage
harmonics.

One recording with ``--jobs N`` (N > 1, or 0 on a machine of several
processors) or ``--scheduler``, when it holds two spans or more (see
``spans``: an hour each at least), is cut into spans analysed side by side;
their results are joined span by span as the spans end and go to the same
consumers as the serial run's blocks (``spans.Joined``), the spans' own rows
of the 3-s, 10-second and signalling tables written by their workers and
copied into --out's tables in order, so the tables are written while later
spans run and the parent's memory does not grow with the recording. Of the
period values, cycles and windows the spans keep the ranges the summary
prints (and the EN 50160 assessment's 10-minute harmonics); --detail and
--plot, which take all of them, keep the recording on one core. A shorter
recording, or one whose spans cannot be joined, is analysed serially.

Several recordings, folders or patterns are analysed by ``fleet`` (on a TLS cluster with --tls-ca-file, --tls-cert and
--tls-key): one folder of tables each under --out, and
summary.csv and events.csv of them all. There --report and --assessment
need --out: each recording's report and assessment go to its folder under
the file name given, and the index page of the reports to the --report path
(into --out when it is a bare file name); --assessment takes a bare file
name.

EN 50160 (``--report``, ``--assessment``): Un and the level are stated with
their sources; the level is ``--level`` when given, else Un's (LV up to
1 kV, MV up to 36 kV), refused for a Un above that without it; each
observation week is judged and printed. ``--lamp`` chooses the
flickermeter's lamp (default: by Udin, see ``analysis._Flicker``).

Every option is checked before the analysis starts, and a refusal is one
line naming the option and the value: rates and frequencies against their
ranges (``recording.check_rate``), the ``--limits`` file against the
limits' shape (``en50160.check_limits``), output paths against what exists.

Exit status: 0 when the recording was analysed; 1 when it could not be
(read or analysed: the refusal names the cause and, where there is one, the
option that gets round it), after the recording's notes so far, or when
what it made could not all be written (a full disk, standard output closed);
2 when the command itself cannot start (a bad option, an output path that
cannot be written, a limits file that cannot be taken).

Where it prints: the summary (and the ``wrote PATH`` lines, the EN 50160
verdict) on standard output; the recording's notes (what was read
leniently, what the file contradicts), warnings, the progress line and
every refusal on standard error, each refusal one line beginning
``powerquality:``. ``--quiet`` prints nothing but the refusals. An output
that cannot be written (standard output on a full disk or into a closed
pipe, a table, the report) ends the command with one line naming it and
status 1, never a traceback.
"""

import argparse
import os
import sys
import warnings

from . import analysis, report, spans
from .recording import RecordingError, check_rate, is_many

# en50160 (the report and the assessment) and fleet (many recordings, a Dask cluster) are imported where they
# are needed: analysing one recording into tables takes neither.

BLOCK_SECONDS = 8  # seconds of samples per block: few passes through Python, a ring of 10 s


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value > 0 and value < float("inf")):
        raise argparse.ArgumentTypeError(f"{text}: give a positive number")
    return value


def _signalling(text):
    """An argparse type: comma-separated mains signalling frequencies, each 110 to 3000 Hz."""
    try:
        return analysis.check_signalling([part.strip() for part in text.split(",")])
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _text(value):
    """An argparse type: one line of text to show in the report (at most 200 characters, no control characters)."""
    value = value.strip()
    if not value or len(value) > 200 or any(ord(c) < 32 or ord(c) == 127 for c in value):
        raise argparse.ArgumentTypeError(f"{value[:40]!r}: give one line of 1 to 200 characters")
    return value


def _rate(kind):
    """An argparse type: a number within the range of `kind` ('sample rate' or 'line frequency')."""

    def rate(text):
        try:
            return check_rate(text, text, kind)
        except RecordingError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    return rate


def _start(text):
    """An argparse type: a date and time in ISO 8601 (2026-03-01T12:00:00, with a fraction of a second and
    an offset from UTC when given: 2026-03-01T12:00:00.25+01:00, ...Z)."""
    import re

    from .recording import read_clock

    try:
        clock = read_clock(text) if re.match(r"\s*\d{4}-", text) else None
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    if clock is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not a date and time in ISO 8601 such as "
                                         "2026-03-01T12:00:00 or 2026-03-01T12:00:00+01:00")
    return text.strip()


def _time_zone(text):
    """An argparse type: an offset from UTC (+02:00) or a time zone name (Europe/Paris)."""
    from .recording import check_time_zone

    try:
        return check_time_zone(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _check_outputs(args):
    """Refuses, before any analysis, output paths that cannot be written."""
    if args.detail and not args.out:
        raise ValueError("--detail writes detail.h5 into the --out folder: give --out DIR")
    if args.out:
        if os.path.exists(args.out) and not os.path.isdir(args.out):
            raise ValueError(f"--out {args.out}: exists and is not a folder")
        try:
            os.makedirs(args.out, exist_ok=True)
        except OSError as e:
            raise ValueError(f"--out {args.out}: cannot create the folder ({e.strerror})") from None
        if not os.access(args.out, os.W_OK | os.X_OK):
            raise ValueError(f"--out {args.out}: the folder is not writable")
    if args.detail:
        try:
            import h5py  # noqa: F401
        except ImportError:
            raise ValueError("--detail writes HDF5 through h5py: install Debian's python3-h5py") from None
    for option, path in (("--report", args.report), ("--assessment", args.assessment)):
        if path and (os.path.isdir(path) or not os.path.isdir(os.path.dirname(os.path.abspath(path)))):
            raise ValueError(f"{option} {path}: give a file name in a folder that exists")
    if args.plot:
        folder = os.path.dirname(os.path.abspath(args.plot))
        if os.path.isdir(args.plot):
            raise ValueError(f"--plot {args.plot}: is a folder; give a file name such as report.png")
        if not os.path.isdir(folder):
            raise ValueError(f"--plot {args.plot}: no folder {folder}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise ValueError(f"--plot {args.plot}: the folder {folder} is not writable")
        try:
            from matplotlib.backend_bases import FigureCanvasBase
        except ImportError:
            raise ValueError("--plot draws with matplotlib: install Debian's python3-matplotlib") from None
        # The picture's format is its name's ending; without one matplotlib would add .png to the name.
        if os.path.splitext(args.plot)[1][1:].lower() not in FigureCanvasBase.get_supported_filetypes():
            raise ValueError(f"--plot {args.plot}: give a file name that ends in .png (or .svg, .pdf)")


def version_text():
    """What ``--version`` prints: the version on the first line, then how the library and the extension were
    built (build type, compiler, shared or static library, the interpreter and numpy)."""
    import numpy

    from . import __version__, _build_info

    built = ", ".join(part for part in (
        getattr(_build_info, "BUILD_TYPE", "") or "",
        getattr(_build_info, "COMPILER", "").strip(),
        {"SHARED": "shared library", "STATIC": "static library"}.get(getattr(_build_info, "LIBRARY", ""), ""))
        if part)
    return (f"powerquality {__version__}\n"
            f"libpowerquality {__version__}" + (f" ({built})" if built else "") +
            f"; extension for Python {_build_info.PYTHON_VERSION} ({_build_info.PYTHON}), numpy {numpy.__version__}")


class _Version(argparse.Action):
    """--version: version_text() on stdout, as it is (argparse's own action would re-wrap it)."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(version_text() + "\n")  # one write, whole for a reader that takes only the first line
        parser.exit()


def _columns():
    """The width of the terminal as ``shutil.get_terminal_size`` finds it (COLUMNS when it is a positive
    number, else the terminal's, else 80), without importing shutil, which imports bz2 and lzma: some
    milliseconds of every run, for a width only help text uses."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns > 0:
        return columns
    try:
        size = os.get_terminal_size(sys.__stdout__.fileno())
    except (AttributeError, ValueError, OSError):
        return 80
    return size.columns or 80


class _Formatter(argparse.HelpFormatter):
    """argparse's formatter, its width from :func:`_columns`."""

    def __init__(self, prog, indent_increment=2, max_help_position=24, width=None):
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2 if width is None else width)


def _parser():
    parser = argparse.ArgumentParser(prog="powerquality", formatter_class=_Formatter,
                                     description="Power-quality analysis of recordings (harmonics as "
                                                 "subgroups, distortion as THDS: IEC 61000-4-30 Class A).")
    parser.add_argument("--version", action=_Version,
                        help="print the version of the package and the library, and how it was built")
    parser.add_argument("--quiet", action="store_true", help="print nothing but errors (before the command's name or after it)")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("analyze", formatter_class=_Formatter, help="analyse a COMTRADE (.cfg/.dat or .cff) or CSV recording",
                       description="Analyse one recording, or many (folders, patterns, --jobs, --scheduler).",
                       epilog="The manual: docs/command-line.md in the source tree.")
    p.add_argument("recording", nargs="+", help="COMTRADE .cfg/.dat (or their base name) or .cff, or a .csv file; "
                   "several, folders (searched at any depth) and glob patterns for many at once")
    p.add_argument("--out", metavar="DIR", help="write the tables there: events, rvc, frequency_10s, "
                   "aggregated_3s, aggregated_10min, aggregated_2h, flicker (.csv); many recordings: a folder each, "
                   "and summary.csv, events.csv of all")
    p.add_argument("--detail", action="store_true", help="also write every period value, tracked cycle and "
                   "window to DIR/detail.h5 (HDF5)")
    p.add_argument("--plot", metavar="FILE.png", help="draw a picture of one recording: RMS voltages with the "
                   "events, frequency, THD and the spectrum of the unflagged window with the highest THD (PNG)")
    p.add_argument("--rate", type=_rate("sample rate"), metavar="HZ",
                   help="sample rate of a CSV file without a time column")
    p.add_argument("--nominal", type=_rate("line frequency"), metavar="HZ",
                   help="nominal frequency (default: from the file or the spectrum)")
    p.add_argument("--fixed-frequency", type=_rate("line frequency"), metavar="HZ",
                   help="use this frequency instead of tracking it")
    p.add_argument("--frequency", help=argparse.SUPPRESS)
    p.add_argument("--udin", type=_positive, metavar="VOLTS", help="declared voltage for dips, swells, RVCs and "
                   "EN 50160's Un (default: the voltage channels' rating where the waveform agrees with it, else the "
                   "IEC 60038 nominal voltage nearest the level of the first 10 s, else that level; the summary "
                   "says which and why)")
    p.add_argument("--voltages", metavar="NAMES", help="voltage channel names, comma-separated (1 or 3)")
    p.add_argument("--currents", metavar="NAMES", help="current channel names, comma-separated")
    p.add_argument("--rvc-threshold", type=_positive, default=5.0, metavar="PERCENT",
                   help="RVC threshold (IEC 61000-4-30 Class A), %% of Udin; the hysteresis is half of it (default 5)")
    p.add_argument("--signalling", type=_signalling, metavar="F[,F...]",
                   help="mains signalling (ripple control) frequencies, 110 to 3000 Hz: their RMS voltage in every "
                   "10/12-cycle window to signalling.csv and their 150/180-cycle values to signalling_3s.csv (with "
                   "--out), and EN 50160's signalling rows in --report and --assessment; one recording")
    p.add_argument("--start", type=_start, metavar="ISO8601", help="the recording's start (its first sample) "
                   "on the recorder's clock, e.g. 2026-03-01T12:00:00 or with its offset 2026-03-01T12:00:00+01:00; "
                   "a CSV file gives none, a COMTRADE file's own is overruled; one recording")
    p.add_argument("--timezone", type=_time_zone, metavar="ZONE", help="the recorder's clock's offset from UTC "
                   "(+02:00, -05:30) or time zone (Europe/Paris: its offset at the start); default: the file's "
                   "(a COMTRADE 2013 time code), else not known: times on the recorder's clock without an offset")
    p.add_argument("--quiet", action="store_true", default=argparse.SUPPRESS,
                   help="print nothing but errors: no summary, notes, progress line or 'wrote' lines")
    p.add_argument("--report", metavar="FILE.html", help="write the EN 50160 report (one self-contained HTML file)")
    p.add_argument("--assessment", metavar="FILE.json", help="write the EN 50160 assessment as JSON")
    p.add_argument("--level", choices=("LV", "MV"), help="network level for EN 50160 (default: Un's, LV up to 1 kV "
                   "and MV up to 36 kV; a level given is applied even where Un says otherwise)")
    p.add_argument("--lamp", type=int, choices=(230, 120), metavar="230|120",
                   help="the flickermeter's lamp (default: 230 V when Udin phase to neutral is at least 200 V, "
                   "else 120 V, whatever the frequency)")
    p.add_argument("--system", choices=("synchronous", "island"), default="synchronous",
                   help="synchronous or island system for EN 50160 (default synchronous)")
    p.add_argument("--limits", metavar="FILE", help="an operator's limits (JSON or TOML) laid over EN 50160's")
    p.add_argument("--site", type=_text, metavar="TEXT", help="the site the report names (default: the "
                   "station a COMTRADE file names)")
    p.add_argument("--operator", type=_text, metavar="TEXT",
                   help="the network operator or customer the report names")
    p.add_argument("--jobs", type=int, metavar="N", help="many recordings on N local worker processes "
                   "(0: one per processor); one recording of two hours or more is cut into spans analysed side by "
                   "side, with the serial run's results")
    p.add_argument("--scheduler", metavar="ADDRESS", help="many recordings (or the spans of one long recording) "
                   "on a running Dask cluster: tls://host:8786, tcp://host:8786 or a scheduler file")
    # The length of a span of one recording (seconds, whole 10 minutes; default: the recording over the jobs,
    # or over twice the cluster's threads, an hour at least): for tests and trials.
    p.add_argument("--span-seconds", type=_positive, help=argparse.SUPPRESS)
    for option, what in (("--tls-ca-file", "the authority that signed the cluster's certificates"),
                         ("--tls-cert", "this client's certificate"), ("--tls-key", "its key")):
        p.add_argument(option, metavar="FILE.pem", help=f"with --scheduler: {what} (PEM; give all three for a TLS "
                       "cluster, unless a scheduler file has tls-ca.pem, tls-cert.pem, tls-key.pem beside it)")
    c = sub.add_parser("conformance", formatter_class=_Formatter, help="run the conformance battery: synthesised supplies through analyze, "
                       "one row per check against its Class A tolerance",
                       description="Synthesise test signals for every parameter measured, under the influence "
                       "quantities, analyse them and compare with the truth; exit status 1 when a check fails.",
                       epilog="The tolerances and their sources: docs/conformance.md in the source tree.")
    c.add_argument("--quick", action="store_true", help="a subset of each parameter on short signals (seconds)")
    c.add_argument("--report", metavar="FILE.html", help="also write the table as one HTML page")
    c.add_argument("--quiet", action="store_true", default=argparse.SUPPRESS,
                   help="print nothing but errors: no table, no progress lines; the failed checks on stderr")
    return parser, p, c


class _Stdout:
    """Standard output whose failures (a closed pipe, a full disk) are told apart from the other OSErrors: they
    raise _StdoutError."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        try:
            return self.stream.write(text)
        except OSError as e:
            raise _StdoutError(e.errno, e.strerror) from None

    def flush(self):
        try:
            self.stream.flush()
        except OSError as e:
            raise _StdoutError(e.errno, e.strerror) from None

    def __getattr__(self, name):
        return getattr(self.stream, name)


class _StdoutError(OSError):
    pass


def _say(line):
    """One line on stderr; nothing when stderr itself cannot take it."""
    try:
        print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _silence(stream):
    """stream's file descriptor pointed at the null device, so that the interpreter's last flush of what it
    still holds neither fails nor prints a second complaint."""
    try:
        fd = stream.fileno()
    except (OSError, ValueError, AttributeError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)


def _warning(message, category, filename, lineno, file=None, line=None):
    """A Python warning as one line on stderr, as the command line's notes are."""
    _say(f"powerquality: warning: {message}")


def main(argv=None):
    """The command line (``powerquality``, ``python3 -m powerquality``): returns the exit status.

    argparse's exits (``--help``, ``--version``, a usage error) raise SystemExit as usual. Standard output
    that cannot be written (a pipe closed by its reader, a full disk) ends the command with one line on stderr
    and status 1, whatever it was doing; so does any other output that fails, naming it; Ctrl-C ends it with
    status 130.
    """
    stdout = sys.stdout
    sys.stdout = _Stdout(stdout)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warning
            try:
                status = _main(argv)
            except SystemExit:
                sys.stdout.flush()
                raise
            sys.stdout.flush()
        return status
    except _StdoutError as e:
        _say(f"powerquality: standard output: cannot be written ({e.strerror or os.strerror(e.errno)})")
        _silence(stdout)
        return 1
    except KeyboardInterrupt:
        _say("powerquality: interrupted")
        return 130
    except OSError as e:  # an output not named above, or stderr itself closed or full
        _say(f"powerquality: {e}")
        return 1
    finally:
        sys.stdout = stdout


def _main(argv):
    parser, p, c = _parser()
    args = parser.parse_args(argv)
    if args.quiet:
        warnings.simplefilter("ignore")
    if args.command == "conformance":
        from . import conformance

        if args.report and (os.path.isdir(args.report) or
                            not os.path.isdir(os.path.dirname(os.path.abspath(args.report)))):
            c.error(f"--report {args.report}: give a file name in a folder that exists")
        return conformance.command(args)
    if args.frequency is not None:
        p.error("--frequency is gone: it meant the nominal frequency here and a fixed one in the demo; "
                     "say --nominal HZ or --fixed-frequency HZ")

    if args.start and args.timezone:
        from .recording import read_clock

        if read_clock(args.start)[1] is not None:
            p.error(f"--start {args.start} carries its offset from UTC; give --timezone only for a start without one")

    if any((args.tls_ca_file, args.tls_cert, args.tls_key)) and not \
            (all((args.tls_ca_file, args.tls_cert, args.tls_key)) and args.scheduler):
        p.error("--tls-ca-file, --tls-cert and --tls-key: give all three, with --scheduler")

    if args.limits is not None:
        from . import en50160

        # Checked whole before anything is analysed, whether one recording or many follow.
        try:
            en50160.limits_for(args.level or "LV", args.limits)
        except OSError as e:
            print(f"powerquality: --limits {args.limits}: cannot be read ({e.strerror or e})", file=sys.stderr)
            return 2
        except ValueError as e:
            print(f"powerquality: --limits {e}", file=sys.stderr)
            return 2

    if args.jobs is not None and (args.jobs < 0 or args.scheduler):
        p.error(f"--jobs {args.jobs}: a number of local processes, 0 or more, and not with --scheduler")
    if is_many(args.recording):
        if args.signalling:
            p.error("--signalling measures one recording at a time for now; give one recording")
        if args.start:
            p.error("--start sets the start of one recording; give one recording (--timezone applies to many)")
        if args.plot:
            p.error("--plot draws one recording; give one recording for it")
        if (args.report or args.assessment) and not args.out:
            p.error("--report and --assessment with several recordings write one of each into each "
                         "recording's folder: give --out DIR")
        if args.assessment and os.path.basename(args.assessment) != args.assessment:
            p.error("--assessment with several recordings: give a file name (each recording's goes to its "
                         "folder under --out)")
        try:
            _check_outputs(args)
            index = args.report and (args.report if os.path.dirname(args.report) else
                                     os.path.join(args.out, args.report))
            if index and os.path.isdir(index):
                raise ValueError(f"--report {index}: is a folder; give a file name such as report.html")
        except ValueError as e:
            print(f"powerquality: {e}", file=sys.stderr)
            return 2
        if args.lamp:
            p.error("--lamp with several recordings: give one recording (each takes the lamp of its own Udin)")
        args.level = args.level or "LV"  # the fleet applies one level to every recording
        from . import fleet

        return fleet.command(args)
    args.recording = args.recording[0]

    if args.report or args.assessment:
        from . import en50160
    try:
        _check_outputs(args)
        # The level (and so the limits) may wait for Un, known once the first block is read.
        limits = en50160.limits_for(args.level or "LV", args.limits) if args.report or args.assessment else None
    except (OSError, ValueError) as e:
        print(f"powerquality: {e}", file=sys.stderr)
        return 2
    recording = client = None
    try:
        if args.scheduler:
            client = _client(args)
        recording = analysis.open_recording(args.recording, sample_rate=args.rate, nominal_frequency=args.nominal,
                                            start=args.start, time_zone=args.timezone)
        recording.check_rates(args.nominal)  # before the block size is taken from the rate
        options = dict(
            nominal_frequency=args.nominal, declared_voltage=args.udin,
            voltage_channels=args.voltages.split(",") if args.voltages else None,
            current_channels=args.currents.split(",") if args.currents else None,
            fixed_frequency=args.fixed_frequency, rvc_threshold=args.rvc_threshold,
            block_size=int(BLOCK_SECONDS * recording.sample_rate), signalling_frequencies=args.signalling,
            flicker_lamp=args.lamp,
            arrays=True if args.detail else ("harmonicsVoltage",) if args.plot or limits else False)
        workers = spans.workers_of(1 if args.jobs is None else args.jobs, client)
        # --detail and --plot take every period value: joined from spans they would be held whole (some 26 GB
        # for a day at 3200 Hz), so with them the recording is streamed on one core.
        split = (client is not None or workers > 1) and \
            spans.splits(recording, workers, args.span_seconds, client is not None)
        if split and (args.detail or args.plot):
            split = False
            recording.notes.append("--detail and --plot keep the recording on one core (in spans, every period "
                                   "value would be held in memory)")
        joined = None
        if split:
            # One long recording in spans side by side: their results joined span by span as the spans end and
            # handed to the consumers below as the serial run's blocks would be (see spans.Joined), the spans'
            # own rows of the big tables written by their workers and copied into --out's tables in order.
            joined = spans.Joined(recording, jobs=args.jobs or 0, client=client, span_seconds=args.span_seconds,
                                  sample_rate=args.rate, **options)
        while True:
            if joined is not None:
                stream, ctx = joined, joined.ctx
            else:
                # The flagged cycles feed the summary and the plot alone.
                stream = analysis.stream(recording, cycles=not args.quiet or bool(args.plot or args.detail or limits),
                                         **options)
                ctx = stream.ctx
                if not args.quiet and sys.stderr.isatty():
                    stream.progress = report.Progress(recording.samples)
            consumers = []
            digest = report.Digest(ctx)
            tables = report.Tables(ctx, args.out) if args.out else None
            detail = report.Detail(ctx, os.path.join(args.out, "detail.h5")) if args.detail else None
            # What a write that fails (a full disk) names: the option and its value.
            writers = {id(c): name for c, name in ((tables, f"--out {args.out}"),
                                                   (detail, detail and f"--detail {detail.path}")) if c is not None}
            picture = gather = None
            if joined is not None:
                joined.tables, joined.assess = tables, bool(limits)
            try:
                for b in _blocks(stream, tables, args):
                    if not consumers:
                        picture = report.Picture(ctx) if args.plot else None
                        gather = en50160.Gather(ctx) if limits else None
                        if gather is not None:
                            # Un and the level, checked before the long work: LV limits on a Un above 1 kV (or MV
                            # limits below it) only when --level says so.
                            limits = _limits(args, gather)
                        # The summary is gathered only to be printed: --quiet prints none.
                        consumers = [c for c in (None if args.quiet else digest, tables, detail, picture, gather)
                                     if c is not None]
                    for c in consumers:
                        try:
                            c.process(b)
                        except OSError as e:
                            if id(c) not in writers:
                                raise
                            _close_quietly(tables)
                            raise OutputError(f"{writers[id(c)]}: cannot be written ({e.strerror or e})") from None
            except spans.Rerun:
                # The spans could not be joined into the serial run's results: the recording on one core, the
                # tables written again from their start.
                _close_quietly(tables)
                joined = None
                continue
            break
    except OutputError as e:
        print(f"powerquality: {e}", file=sys.stderr)
        return 1
    except _fleet_error() as e:
        print(f"powerquality: {e}", file=sys.stderr)
        return 2
    except (RecordingError, OSError, KeyError, ValueError, RuntimeError) as e:
        # The command started; the recording could not be analysed: what was
        # read leniently is said before the refusal, which may follow from it.
        for note in recording.notes if recording is not None and not args.quiet else []:
            print(f"note: {note}", file=sys.stderr)
        print(f"powerquality: {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print("\n".join(digest.lines()))
        for note in recording.notes:
            print(f"note: {note}", file=sys.stderr)
        for path in (tables.paths if tables else []) + ([detail.path] if detail else []):
            print(f"wrote {path}")
    try:
        if picture is not None:
            _written(args, _file("--plot", args.plot, picture.save))
        if gather is not None:
            _assessment(args, gather, limits, recording)
    except OutputError as e:
        print(f"powerquality: {e}", file=sys.stderr)
        return 1
    return 0


def _blocks(stream, tables, args):
    """The stream's blocks; a table that the spans' join could not write (spans.WriteError) an OutputError
    naming --out."""
    try:
        yield from stream
    except spans.WriteError as e:
        _close_quietly(tables)
        raise OutputError(f"--out {args.out}: cannot be written ({e.strerror or e})") from None


def _fleet_error():
    """fleet.FleetError, for an except clause, once fleet is imported (only its code raises one: --scheduler, the
    spans on a cluster); before that nothing can match it."""
    fleet = sys.modules.get(__package__ + ".fleet")
    return fleet.FleetError if fleet is not None else ()


def _client(args):
    """The Dask client of --scheduler (with its TLS files), for the spans of one recording."""
    from . import fleet

    credentials = dict(ca_file=args.tls_ca_file, cert=args.tls_cert, key=args.tls_key) if args.tls_cert else None
    return fleet.connect(args.scheduler, security=credentials, labels=fleet.TLS_OPTIONS)


class OutputError(OSError):
    """What the command made could not be written (a full disk, a closed pipe); the message names the output."""


def _file(option, path, write, *args):
    """write(path, *args), its OSError an OutputError naming the option and the path."""
    try:
        return write(path, *args)
    except OSError as e:
        raise OutputError(f"{option} {path}: cannot be written ({e.strerror or e})") from None


def _written(args, path):
    """Says that path was written, unless --quiet."""
    if not args.quiet:
        print(f"wrote {path}")


def _close_quietly(tables):
    """The tables' files closed after a write failed, so that none fails again when it is collected."""
    for table in getattr(tables, "files", {}).values():
        try:
            table.close()
        except OSError:
            pass


def _limits(args, gather):
    """The limits of the level given, else of Un's level (ValueError for a Un above MV without --level)."""
    from . import en50160

    ctx = gather.ctx
    un = en50160.reference_voltage(getattr(ctx, "inference", None), ctx.declared_voltage)
    system_un = un["system_un"] or (un["nominal_voltage"] * 3 ** 0.5 if un["nominal_voltage"] else None)
    try:
        level, _ = en50160._check_level(args.level, system_un, un["un_text"] or "unknown")
    except ValueError as e:
        raise ValueError(f"--level: {e}") from None
    args.level_used = level
    return en50160.limits_for(level, args.limits)


def _assessment(args, gather, limits, recording):
    """The EN 50160 verdict printed, and the report and assessment files written."""
    from . import htmlreport

    tables = gather.tables()
    level = getattr(args, "level_used", args.level)
    assessment = gather.assess(tables, level=args.level, system=args.system, limits=limits)
    s = assessment["settings"]
    un = f"{s['un']:.6g} V" if s["un"] is not None else "unknown"
    lines = [f"EN 50160    {assessment['verdict_text']} ({level}, {args.system}); {assessment['coverage']['text']}",
             f"            Un {un}" + (f" of {s['un_text']}" if s.get("un_text") and s["un_text"] != un else "")
             + f": {s['un_source']}; level {s['level']} ({s['level_source']})"]
    lines += [f"            {week['label']}: {week['verdict']}" + (f" ({', '.join(week['failing'])})"
                                                                    if week["failing"] else "")
              for week in assessment["weeks"]]
    if not args.quiet:
        print("\n".join(lines))
    if args.assessment:
        def write(path):
            with open(path, "w", encoding="utf-8") as f:
                f.write(htmlreport.to_json(_described(assessment, args, gather.ctx)))
            return path

        _written(args, _file("--assessment", args.assessment, write))
    if args.report:
        _written(args, _file("--report", args.report, htmlreport.write, _described(assessment, args, gather.ctx),
                             tables, gather.events(), f"EN 50160 report: {os.path.basename(recording.source)}"))


def _described(assessment, args, ctx):
    """The assessment with what its report says of the recording: site, operator, recorder, period, lamp."""
    from . import en50160

    assessment["recording"] = en50160.describe(ctx.recording, ctx.positions / ctx.sample_rate, site=args.site,
                                               operator=args.operator, lamp=getattr(ctx, "flicker_lamp", None))
    return assessment


if __name__ == "__main__":
    sys.exit(main())

"""Command line: ``python3 -m powerquality analyze RECORDING [--out DIR] [--plot FILE.png]``.

Several recordings, folders or patterns (or --jobs, --scheduler) are
analysed by ``fleet``: one folder of tables each under --out, and
summary.csv and events.csv of them all.
"""

import argparse
import sys
import time

from . import analysis, fleet, report
from .recording import RecordingError


def _progress(duration):
    """A progress reporter on stderr for recordings longer than a minute."""
    if duration < 60.0:
        return None
    state = {"last": 0.0}

    def show(fraction):
        now = time.monotonic()
        if now - state["last"] >= 0.5 or fraction >= 1.0:
            state["last"] = now
            sys.stderr.write(f"\ranalyze: {100 * fraction:5.1f} % of {duration:.0f} s")
            if fraction >= 1.0:
                sys.stderr.write("\n")
            sys.stderr.flush()

    return show


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m powerquality",
                                     description="Power-quality analysis of recordings.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("analyze", help="analyse a COMTRADE (.cfg/.dat or .cff) or CSV recording")
    p.add_argument("recording", nargs="+", help="COMTRADE .cfg/.dat (or their base name) or .cff, or a .csv file; "
                   "several, folders (searched at any depth) and glob patterns for many at once")
    p.add_argument("--out", metavar="DIR", help="write period.csv, frequency.csv, rvc.csv, events.csv there "
                   "(many recordings: a folder each, and summary.csv, events.csv of all)")
    p.add_argument("--plot", metavar="FILE.png", help="draw the report picture")
    p.add_argument("--rate", type=float, help="sample rate of a CSV file without a time column, Hz")
    p.add_argument("--frequency", type=float, help="nominal frequency, Hz (default: from the file or the spectrum)")
    p.add_argument("--fixed-frequency", type=float, metavar="HZ", help="use this frequency instead of tracking it")
    p.add_argument("--udin", type=float, metavar="VOLTS", help="declared voltage for dips and swells "
                   "(default: the median RMS voltage)")
    p.add_argument("--voltages", help="voltage channel names, comma-separated (1 or 3)")
    p.add_argument("--currents", help="current channel names, comma-separated")
    p.add_argument("--rvc-threshold", type=float, default=5.0, help="RVC threshold, %% of the mean (default 5)")
    p.add_argument("--jobs", type=int, metavar="N", help="many recordings on N local worker processes "
                   "(0: one per processor)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="many recordings on a running Dask cluster: "
                   "tcp://host:8786 or a scheduler file")
    args = parser.parse_args(argv)

    if fleet.is_many(args.recording, args.jobs, args.scheduler):
        if args.plot:
            parser.error("--plot draws one recording; give one recording for it")
        if args.jobs is not None and (args.jobs < 0 or args.scheduler):
            parser.error("--jobs: a number of local processes, 0 or more, and not with --scheduler")
        return fleet.command(args)
    args.recording = args.recording[0]
    try:
        recording = analysis.load(args.recording, sample_rate=args.rate, nominal_frequency=args.frequency)
        result = analysis.analyze(
            recording, nominal_frequency=args.frequency, declared_voltage=args.udin,
            voltage_channels=args.voltages.split(",") if args.voltages else None,
            current_channels=args.currents.split(",") if args.currents else None,
            fixed_frequency=args.fixed_frequency, rvc_threshold=args.rvc_threshold,
            progress=_progress(recording.duration))
    except (RecordingError, OSError, KeyError, ValueError) as e:
        print(f"powerquality: {e}", file=sys.stderr)
        return 2
    for note in recording.notes:
        print(f"note: {note}", file=sys.stderr)
    print("\n".join(report.summary(result)))
    if args.out:
        for path in report.write_tables(result, args.out):
            print(f"wrote {path}")
    if args.plot:
        print(f"wrote {report.plot(result, args.plot)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

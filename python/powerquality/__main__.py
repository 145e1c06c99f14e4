"""Command line: ``python3 -m powerquality analyze RECORDING [--out DIR] [--plot FILE.png]
[--report FILE.html] [--assessment FILE.json]``."""

import argparse
import sys
import time

from . import analysis, report
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
    p.add_argument("recording", help="COMTRADE .cfg/.dat (or their base name) or .cff, or a .csv file")
    p.add_argument("--out", metavar="DIR", help="write period.csv, frequency.csv, rvc.csv, events.csv there")
    p.add_argument("--plot", metavar="FILE.png", help="draw the report picture")
    p.add_argument("--rate", type=float, help="sample rate of a CSV file without a time column, Hz")
    p.add_argument("--frequency", type=float, help="nominal frequency, Hz (default: from the file or the spectrum)")
    p.add_argument("--fixed-frequency", type=float, metavar="HZ", help="use this frequency instead of tracking it")
    p.add_argument("--udin", type=float, metavar="VOLTS", help="declared voltage for dips and swells "
                   "(default: the median RMS voltage)")
    p.add_argument("--voltages", help="voltage channel names, comma-separated (1 or 3)")
    p.add_argument("--currents", help="current channel names, comma-separated")
    p.add_argument("--rvc-threshold", type=float, default=5.0, help="RVC threshold, %% of the mean (default 5)")
    p.add_argument("--report", metavar="FILE.html", help="write the EN 50160 report (one self-contained HTML file)")
    p.add_argument("--assessment", metavar="FILE.json", help="write the EN 50160 assessment as JSON")
    p.add_argument("--level", choices=("LV", "MV"), default="LV", help="network level for EN 50160 (default LV)")
    p.add_argument("--system", choices=("synchronous", "island"), default="synchronous",
                   help="synchronous or island system for EN 50160 (default synchronous)")
    p.add_argument("--limits", metavar="FILE", help="an operator's limits (JSON or TOML) laid over EN 50160's")
    args = parser.parse_args(argv)

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
    if args.report or args.assessment:
        from . import en50160, htmlreport

        try:
            limits = en50160.limits_for(args.level, args.limits)
        except (OSError, ValueError) as e:
            print(f"powerquality: {e}", file=sys.stderr)
            return 2
        tables = en50160.from_analysis(result)
        assessment = en50160.assess_analysis(result, level=args.level, system=args.system, limits=limits,
                                             tables=tables)
        print(f"EN 50160    {assessment['verdict']} ({args.level}, {args.system}); {assessment['coverage']['text']}")
        if args.assessment:
            with open(args.assessment, "w", encoding="utf-8") as f:
                f.write(htmlreport.to_json(assessment))
            print(f"wrote {args.assessment}")
        if args.report:
            import os

            htmlreport.write(args.report, assessment, tables, result.events,
                             title=f"EN 50160 report: {os.path.basename(recording.source)}")
            print(f"wrote {args.report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

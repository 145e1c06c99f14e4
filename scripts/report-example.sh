#!/usr/bin/env bash
# Makes the README's picture of an EN 50160 verdict table: generates the
# hour-long three-phase recording of the Python tests (a dip, a swell, 4 %
# fifth harmonic) as COMTRADE 2013 with a station, a recorder and a time
# code, writes its report with the command line (with --site and
# --operator), and has headless Chromium take the top of the page (the
# header, the method line, the verdict and the verdict table per phase).
#
#   scripts/report-example.sh [OUT.png]      (default docs/en50160-verdict.png)
#
# Needs the Python package in build/ (scripts/test.sh builds it) and Chromium
# (scripts/setup.sh browser). The report itself stays in a temporary folder,
# whose path is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/en50160-verdict.png}"
browser="$(command -v chromium || command -v chromium-browser || true)"
[ -n "$browser" ] || { echo "report-example: no Chromium (scripts/setup.sh browser)" >&2; exit 1; }
ls build/python/powerquality/_core*.so >/dev/null 2>&1 || { echo "report-example: build the package first (scripts/test.sh)" >&2; exit 1; }
work="$(mktemp -d)"
export PYTHONPATH="$PWD/build/python:$PWD/python/tests"
/usr/bin/python3 -c "import sys; from conftest import hour_recording; hour_recording(sys.argv[1], revision='2013', \
station='Substation North', device='PQ recorder 7', time_code='+1')" "$work/hour"
/usr/bin/python3 -m powerquality analyze "$work/hour.cfg" --report "$work/hour.html" --assessment "$work/hour.json" \
  --site "Feeder 4, Main Street" --operator "City Grid" 2>/dev/null
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run --user-data-dir="$work/profile" \
  --window-size=1200,1480 --screenshot="$PWD/$out" "file://$work/hour.html" 2>/dev/null
echo "wrote $out (report: $work/hour.html)"

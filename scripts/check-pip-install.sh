#!/usr/bin/env bash
# Installs the Python package as a Python user would, offline, and runs it
# from the installed copy:
#
# - a virtual environment in a temporary folder, created with
#   --system-site-packages (numpy, pybind11 and setuptools come from Debian);
# - pip install --no-build-isolation --no-index ./python: builds the library
#   and the extension with CMake (CMake tree python/build/, reused next time);
# - from another folder (so that the checkout is not on the path): the
#   package is imported from the environment and carries its own library;
#   the pytest suite runs against the installed package; `python3 -m
#   powerquality analyze` and the `powerquality` script analyse a shared
#   recording (skipped, saying so, when ../shared is absent); the script's
#   --version is the package's.
#
#   scripts/check-pip-install.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 -m venv --system-site-packages "$work/env"
python="$work/env/bin/python3"
"$python" -m pip install --quiet --no-build-isolation --no-index "$root/python"

cd "$work"
"$python" - "$work/env" <<'EOF'
import os, sys
import powerquality as pq
from powerquality import _core

env = os.path.realpath(sys.argv[1])
package = os.path.dirname(os.path.realpath(pq.__file__))
assert package.startswith(env + os.sep), f"powerquality imported from {package}, not from the environment {env}"
libraries = [name for name in os.listdir(package) if name.startswith("libpowerquality.so")]
assert len(libraries) == 1, f"the package holds {libraries}, not one library"
loaded = [line.split()[-1] for line in open("/proc/self/maps") if "libpowerquality.so" in line]
assert loaded and all(path.startswith(package) for path in loaded), f"library loaded from {set(loaded)}"
m = pq.Module(grid_config_type=pq.GridConfigType.SinglePhaseDefault, sample_rate=10000.0, buffer_length=1000)
print(f"check-pip-install: powerquality {pq.__version__} from {package} with {libraries[0]}")
EOF

# The script that the install puts on the path: its version is the package's.
version=$("$work/env/bin/powerquality" --version)
[ "${version%%$'\n'*}" = "powerquality $("$python" -c 'import powerquality; print(powerquality.__version__)')" ] ||
  { echo "check-pip-install: the powerquality script says '$version'" >&2; exit 1; }
echo "check-pip-install: ${version#*$'\n'}"

# The checkout's tests, against the installed package: neither this folder
# nor python/tests holds a package of that name.
if ! "$python" -m pytest -q -p no:cacheprovider "$root/python/tests" > "$work/pytest.txt" 2>&1; then
  cat "$work/pytest.txt" >&2
  exit 1
fi
echo "check-pip-install: pytest against the installed package: $(tail -n 1 "$work/pytest.txt")"

recording="$root/../shared/data/comtrade/test1.cfg"
if [ ! -f "$recording" ]; then
  echo "check-pip-install: $recording not found (the shared data folder is not beside the checkout): analysis skipped"
  exit 0
fi
"$python" -m powerquality analyze "$recording" --out "$work/out" > "$work/analyze.txt"
"$work/env/bin/powerquality" analyze "$recording" > "$work/script.txt"
for table in events.csv frequency_10s.csv aggregated_3s.csv; do
  [ -s "$work/out/$table" ] || { echo "check-pip-install: analyze wrote no $table" >&2; exit 1; }
done
echo "check-pip-install: python3 -m powerquality analyze $(basename "$recording"): $(wc -l < "$work/analyze.txt") lines, tables: $(cd "$work/out" && ls | paste -sd' ')"

#!/usr/bin/env bash
# Installs the Python project the way a user does, from a fresh copy of the source tree, and
# runs the Python tests against the installed packages from another directory:
#   python3 -m venv --system-site-packages VENV && VENV/bin/pip install --no-build-isolation COPY
# then builds a wheel with `pip wheel --no-build-isolation`.
#
#   bash scripts/test-python-install.sh                     # builds the copy's C++ once
#   bash scripts/test-python-install.sh --reuse-build build # uses a configured build of this tree
#
# The tests also run the command-line programs, which come from the same build the extension
# is taken from. The virtual environment is made with Debian's /usr/bin/python3 (KV_PYTHON
# names another), whose numpy, pandas, setuptools and wheel serve the install.
set -euo pipefail
python=${KV_PYTHON:-/usr/bin/python3}
cd "$(dirname "$0")/.."
root=$PWD
reuse=""
if [ "${1:-}" = "--reuse-build" ]; then
  [ -f "${2:-}/CMakeCache.txt" ] || { echo "test-python-install.sh: ${2:-} is no configured build directory" >&2; exit 2; }
  reuse=$(cd "$2" && pwd)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/source
mkdir -p "$copy"
# The files a clone would hold (with any uncommitted edits), nothing of the local builds.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    (cd "$root" && xargs -0 tar -cf - --ignore-failed-read 2>/dev/null) | tar -xf - -C "$copy"
else
  tar -C "$root" --exclude='./build*' --exclude='__pycache__' -cf - . | tar -xf - -C "$copy"
fi

if [ -n "$reuse" ]; then
  build=$reuse
else
  build=$copy/build
  cmake -S "$copy" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_PYTHON="$python" -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target kelvane-optimize kelvane-optimizer-demo

"$python" -m venv --system-site-packages "$work/venv"
KV_CMAKE_BUILD_DIR=$build "$work/venv/bin/pip" install -q --no-build-isolation "$copy"
KV_CMAKE_BUILD_DIR=$build "$work/venv/bin/pip" wheel -q --no-build-isolation --no-deps -w "$work/wheels" "$copy"
ls "$work"/wheels/kelvane_mod_optimizer-*.whl >/dev/null

# From elsewhere, nothing of the source tree on the path: the installed packages answer.
mkdir -p "$work/elsewhere"
cd "$work/elsewhere"
unset PYTHONPATH
"$work/venv/bin/python" - "$work/venv" <<'PY'
import os, sys
import dunlith, kelvane.environment, kelvane_mod_optimizer.optimizer as o
for module in (o, kelvane.environment, dunlith):
    assert os.path.realpath(module.__file__).startswith(os.path.realpath(sys.argv[1])), module.__file__
print("installed", o.__version__, "in", os.path.dirname(os.path.dirname(o.__file__)))
PY
HOME=$work/home "$work/venv/bin/python" -m kelvane_mod_optimizer.optimizer >"$work/demo.txt"
[ "$(grep -c '^[0-9]\. ' "$work/demo.txt")" -eq 5 ] || { cat "$work/demo.txt"; echo "demonstration: not five results" >&2; exit 1; }
KV_OPTIMIZE_TOOL=$build/bin/kelvane-optimize KV_SAMPLE_BUNDLE=$copy/data/sample_bundle \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$copy/tests/python"

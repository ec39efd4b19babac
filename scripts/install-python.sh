#!/usr/bin/env bash
# Installs the Python packages kelvane_mod_optimizer, kelvane and dunlith with pip, as the
# Python project of pyproject.toml, after installing the Debian packages needed:
#
#   bash scripts/install-python.sh              # for Debian's /usr/bin/python3 (/usr/local, sudo when not root)
#   bash scripts/install-python.sh --venv DIR   # into the virtual environment DIR (made when absent,
#                                               # with --system-site-packages for Debian's numpy and pandas)
#
# The extension is built in ./build, the project's usual build directory, and taken from there.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3
venv=""
if [ "${1:-}" = "--venv" ]; then
  [ -n "${2:-}" ] || { echo "usage: install-python.sh [--venv DIR]" >&2; exit 2; }
  venv=$2
elif [ $# -gt 0 ]; then
  echo "usage: install-python.sh [--venv DIR]" >&2; exit 2
fi

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
export KV_CMAKE_BUILD_DIR=$PWD/build

if [ -n "$venv" ]; then
  [ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
  "$venv/bin/pip" install --no-build-isolation .
  installed=$venv/bin/python
else
  # The wheel is built as the calling user; only its install needs root.
  rm -rf build/wheels
  "$python" -m pip wheel -q --no-build-isolation --no-deps -w build/wheels .
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  target=$("$python" -c 'import sys; print("/usr/local/lib/python%d.%d/dist-packages" % sys.version_info[:2])')
  # Trees copied there by hand before (no record pip knows of) would shadow parts of the install.
  if ! "$python" -m pip show -q kelvane-mod-optimizer >/dev/null 2>&1; then
    for package in kelvane_mod_optimizer kelvane dunlith; do $sudo_cmd rm -rf "${target:?}/$package"; done
  fi
  # numpy and pandas come from Debian (install-deps.sh): pip is not to replace them.
  $sudo_cmd "$python" -m pip install -q --no-deps --force-reinstall --break-system-packages build/wheels/*.whl
  installed=$python
fi
(cd / && "$installed" -c 'import kelvane_mod_optimizer.optimizer as o; print("Installed kelvane_mod_optimizer", o.__version__)') >&2

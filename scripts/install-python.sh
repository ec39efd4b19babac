#!/usr/bin/env bash
# Installs the Python packages kelvane_mod_optimizer, kelvane and dunlith for Debian's
# /usr/bin/python3: installs the Debian packages needed, builds the extension into build/python,
# then copies that tree into /usr/local/lib/python3.X/dist-packages (with sudo when not root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target kelvane_python

python=/usr/bin/python3
target=$("$python" -c 'import sys; print("/usr/local/lib/python%d.%d/dist-packages" % sys.version_info[:2])')
"$python" -c 'import sys; sys.exit(0 if sys.argv[1] in sys.path else 1)' "$target" ||
  { echo "install-python.sh: $target is not on $python's sys.path" >&2; exit 1; }

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd mkdir -p "$target"
for package in kelvane_mod_optimizer kelvane dunlith; do
  $sudo_cmd rm -rf "${target:?}/$package"
  $sudo_cmd cp -r "build/python/$package" "$target/$package"
done
(cd / && "$python" -c 'import kelvane_mod_optimizer.optimizer') && echo "Installed into $target" >&2

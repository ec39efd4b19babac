#!/usr/bin/env bash
# Installs what is needed, builds, and runs the demonstration on ~/.kelvane/bundle
# (the sample bundle is placed there first when none exists).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >&2
exec build/bin/kelvane-optimizer-demo

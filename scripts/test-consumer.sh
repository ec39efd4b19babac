#!/usr/bin/env bash
# Installs the C++ package from ./build into a scratch prefix, then configures, builds and runs
# the separate project examples/consumer against it (one optimisation over the sample bundle).
# Needs a finished build (scripts/build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install build --prefix "$scratch/prefix" >/dev/null
cmake -S examples/consumer -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build"
"$scratch/build/consumer" data/sample_bundle

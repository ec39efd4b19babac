#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with (skips what is present).
set -euo pipefail
packages=(g++ cmake make pkg-config libeigen3-dev libfmt-dev nlohmann-json3-dev libcli11-dev
          libgtest-dev libgmock-dev libbenchmark-dev liblbfgsb-dev python3 python3-numpy python3-scipy python3-sklearn python3-cvxopt
          pybind11-dev python3-dev python3-pandas python3-pytest python3-distributed
          python3-matplotlib)
# --fuzz: also clang and libFuzzer with its sanitizer runtimes, for scripts/fuzz.sh.
if [ "${1:-}" = "--fuzz" ]; then packages+=(clang libfuzzer-14-dev libclang-rt-14-dev); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "Installing: ${missing[*]}" >&2
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >&2
fi

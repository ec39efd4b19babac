#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for SECONDS (default 60), starting from the seed corpora in fuzz/corpus. Fails on the
# first crash, leak, slow input or broken check; the input is left in build-fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh --fuzz
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DKV_FUZZ=ON \
  -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCHMARKS=OFF -DKV_BUILD_PYTHON=OFF
cmake --build build-fuzz -j"$(nproc)" --target fuzz
mkdir -p build-fuzz/artifacts
for target in bundle protocol optimize; do
  mkdir -p "build-fuzz/corpus/$target"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "build-fuzz/bin/fuzz_$target" \
    -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$target-" "build-fuzz/corpus/$target" "fuzz/corpus/$target"
done

#!/usr/bin/env bash
# kelvane-optimize answering a year of daily requests (250 dates, 300 instruments, default
# method) on the large benchmark bundle, with 1 and 2 threads. Run bench_bundle once first:
# it writes the bundle.
set -euo pipefail
build=${1:-build}
bundle=${TMPDIR:-/tmp}/kv_bench_bundle_5000x2500
[ -f "$bundle/instruments.csv" ] || "$build/bench/bench_bundle" --benchmark_filter=OpenBundle >/dev/null
requests=$(mktemp)
tail -n 250 "$bundle/trading_dates.csv" | while read -r d; do
  ids=$(seq 0 16 4799 | awk '{printf "%s\"%06d.XSHG\"", (NR>1?",":""), 600000+$1}')
  echo "{\"order_book_ids\": [$ids], \"date\": \"$d\", \"quiet\": true}"
done > "$requests"
for threads in 1 2; do
  start=$(date +%s.%N)
  "$build/bin/kelvane-optimize" --bundle "$bundle" --requests "$requests" --threads "$threads" > "$requests.out"
  end=$(date +%s.%N)
  errors=$(grep -c '"error"' "$requests.out" || true)
  echo "threads=$threads requests=$(wc -l < "$requests.out") errors=$errors seconds=$(awk "BEGIN{print $end - $start}")"
done
rm -f "$requests" "$requests.out"

#!/usr/bin/env bash
# Runs each fuzz target (tests/fuzz) for SECONDS_EACH seconds (300 by
# default), starting from its seed corpus, and prints for each: the
# executions, the time, the coverage (edges, features), the corpus it grew
# and anything found (crash-, leak-, timeout- and oom- inputs, kept in the
# work folder with the log).
#
# Usage: bench/fuzz_bench.sh [TARGET...]   (SECONDS_EACH=300, WORK=build/fuzz-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${SECONDS_EACH:-300}
work=${WORK:-$root/build/fuzz-bench}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(png x11 kwin wayland)

"$root/scripts/install-deps"
(cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz)
printf '%-8s %12s %8s %9s %7s %7s %8s  %s\n' target executions seconds \
  exec/s edges features corpus found
for t in "${targets[@]}"; do
  dir=$work/$t
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  start=$(date +%s.%N)
  "$root/build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=5 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" \
    "$dir/corpus" "$root/tests/fuzz/corpus/$t" >"$dir/log" 2>&1 || true
  took=$(awk "BEGIN {print $(date +%s.%N) - $start}")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
  last=$(grep -E '^#[0-9]+' "$dir/log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  found=$(cd "$dir" && ls crash-* leak-* timeout-* oom-* 2>/dev/null | tr '\n' ' ' || true)
  printf '%-8s %12s %8.0f %9.0f %7s %7s %8s  %s\n' "$t" "${runs:-?}" \
    "$took" "$(awk "BEGIN {print ${runs:-0} / $took}")" "${cov:-?}" \
    "${ft:-?}" "$(ls "$dir/corpus" | wc -l)" "${found:-nothing}"
done

#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) and runs each one in turn
# for SECONDS (default 60), at low priority, one at a time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET ...]        (default: every target in fuzz/)
#
# Each target first runs every committed input of fuzz/corpus/<target> (seeds and the inputs
# of faults found earlier), then mutates from them and from what earlier runs found, kept in
# <build>/corpus/<target>. An input that breaks a checked property or trips a sanitizer is
# written to <build>/findings/<target>/. One line per target with its executions and
# libFuzzer's coverage figures, then "N passed, M failed".
# Environment: FUZZ_BUILD (default build/fuzz), JOBS (build jobs, 2), NICE (19).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${FUZZ_BUILD:-build/fuzz}
if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=(identity_fuzzer buslink_fuzzer surface_fuzzer update_fuzzer loader_fuzzer)
fi

mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DVRM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; echo "fuzz: configure failed"; exit 1; }
fi
if ! cmake --build "$build" -j"${JOBS:-2}" --target "${targets[@]}" >"$build/build.log" 2>&1; then
  tail -30 "$build/build.log"
  echo "fuzz: build failed (see $build/build.log)"
  echo "0 passed, ${#targets[@]} failed"
  exit 1
fi

passed=0
failed=0
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  log=$build/logs/$t.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  dict=()
  if [ -f "fuzz/dict/$t.dict" ]; then dict=(-dict="fuzz/dict/$t.dict"); fi
  before=$(find "$findings" -type f | wc -l)
  nice -n "${NICE:-19}" "$build/fuzz/$t" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dict[@]}" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  after=$(find "$findings" -type f | wc -l)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
  runs=$(sed -nE 's/^stat::number_of_executed_units:[[:space:]]+([0-9]+).*/\1/p' "$log" | tail -1)
  cov=$(sed -nE 's/.* cov: ([0-9]+) .*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+) .*/\1/p' <<<"$done_line")
  corp=$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$done_line")
  if [ "$rc" -eq 0 ] && [ "$after" -eq "$before" ]; then
    passed=$((passed + 1))
    printf 'PASS %-16s %9s runs in %ss, cov %s, ft %s, corpus %s\n' "$t" "${runs:-?}" "$seconds" \
      "${cov:-?}" "${ft:-?}" "${corp:-?}"
  else
    failed=$((failed + 1))
    printf 'FAIL %-16s exit %s after %s runs; see %s and %s\n' "$t" "$rc" "${runs:-?}" "$log" "$findings"
    grep -m1 -E 'property violated|ERROR: (AddressSanitizer|libFuzzer)|runtime error' "$log" | sed 's/^/     /'
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

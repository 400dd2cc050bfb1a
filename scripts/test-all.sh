#!/usr/bin/env bash
# Everything a change must pass: packages, both builds, the native unit tests, the checks of
# the Windows PE files and the Wine bench (under a virtual X display). Runs every test stage
# even when one fails, prints a summary and exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

logs=build/test-logs
start=$(date +%s)

bash scripts/setup.sh || { echo "test-all: setup failed"; exit 1; }
mkdir -p "$logs"

total_passed=0
total_failed=0
summary=()

# Adds a stage's counts from its closing line; a stage that failed without one counts as one
# failure.
count() {
  local name=$1 rc=$2 passed=$3 failed=$4
  if [ -z "$passed" ]; then
    passed=0
    failed=$(( rc == 0 ? 0 : 1 ))
  elif [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1
  fi
  total_passed=$(( total_passed + passed ))
  total_failed=$(( total_failed + failed ))
  summary+=("$(printf '%-22s %4d passed, %d failed (exit %d)' "$name" "$passed" "$failed" "$rc")")
}

# A tree that fails to build counts as one failure; whatever did build is still tested.
for tree in native win; do
  echo "== build $tree"
  KEEP_GOING=1 bash scripts/build.sh "$tree" 2>&1 | tee "$logs/build-$tree.log"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ]; then count "build $tree" "$rc" "" ""; fi
done

echo "== native unit tests"
(cd build/native && timeout -k 10 900 ctest --output-on-failure -j2) 2>&1 | tee "$logs/ctest.log"
rc=${PIPESTATUS[0]}
line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/ctest.log" | tail -1)
if [ -n "$line" ]; then
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  all=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  count "native unit tests" "$rc" $(( all - failed )) "$failed"
else
  count "native unit tests" "$rc" "" ""
fi

closing() {  # "N passed, M failed" of a log, as "N M"
  grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -1 | sed -E 's/^([0-9]+) passed, ([0-9]+) failed$/\1 \2/'
}

echo "== PE checks of the Windows build"
timeout -k 10 300 python3 tests/pe/check_pe.py build/win 2>&1 | tee "$logs/pe.log"
rc=${PIPESTATUS[0]}
read -r p f <<<"$(closing "$logs/pe.log")"
count "PE checks" "$rc" "${p:-}" "${f:-}"

echo "== Wine bench"
timeout -k 10 900 xvfb-run -a python3 tests/wine/bench.py --build build/win 2>&1 | tee "$logs/bench.log"
rc=${PIPESTATUS[0]}
read -r p f <<<"$(closing "$logs/bench.log")"
count "Wine bench" "$rc" "${p:-}" "${f:-}"

echo "== System bench (vrmset with the real cardtag.dll; cardtag.dll alone through cardhost.exe)"
timeout -k 10 600 xvfb-run -a python3 tests/wine/system_bench.py --build build/win 2>&1 | tee "$logs/system-bench.log"
rc=${PIPESTATUS[0]}
read -r p f <<<"$(closing "$logs/system-bench.log")"
count "System bench" "$rc" "${p:-}" "${f:-}"

echo "== Search-order bench (copies planted in the current directory and on PATH are never used)"
timeout -k 10 300 xvfb-run -a python3 tests/wine/planted_bench.py --build build/win 2>&1 | tee "$logs/planted-bench.log"
rc=${PIPESTATUS[0]}
read -r p f <<<"$(closing "$logs/planted-bench.log")"
count "Search-order bench" "$rc" "${p:-}" "${f:-}"

echo "== Fuzzing (each fuzz target for ${FUZZ_SECONDS:-30} s; scripts/fuzz.sh)"
timeout -k 10 900 bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}" 2>&1 | tee "$logs/fuzz.log"
rc=${PIPESTATUS[0]}
read -r p f <<<"$(closing "$logs/fuzz.log")"
count "Fuzzing" "$rc" "${p:-}" "${f:-}"

echo "== Release (two unsigned builds compared; a signed one verified and run on the Wine bench)"
timeout -k 10 600 python3 tests/release/test_release.py --bench-build build/win 2>&1 | tee "$logs/release.log"
rc=${PIPESTATUS[0]}
read -r p f <<<"$(closing "$logs/release.log")"
count "Release" "$rc" "${p:-}" "${f:-}"

echo
echo "== summary ($(( $(date +%s) - start )) s)"
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]

#!/usr/bin/env bash
# Benchmarks of what the user waits for, each beside its floor, printed as a short table of
# medians and ratios. Timings are only reported; the call counts behind them are checked by
# the unit tests (tests/perf).
#
#   native: the wrapper fast path, the identity call's ROM scan and load-time discovery, with
#           Google Benchmark in build/perf (32-bit, -O2, no sanitizers);
#   --wine: also the end-to-end figures under Wine: start to first message box against a
#           trivial program, and the programming sequence against its 2,200 ms of waits
#           (builds build/win; needs xvfb-run).
#
# Usage: scripts/bench.sh [--wine] [--repetitions N] [--rounds N] [--native-dir DIR] [--win-dir DIR]
#        (repetitions of each native benchmark, default 9; Wine rounds, default 7; build trees,
#        default build/perf and build/win)
set -euo pipefail
cd "$(dirname "$0")/.."

wine=0
reps=9
rounds=7
dir=build/perf
win_dir=build/win
while [ $# -gt 0 ]; do
  case "$1" in
    --wine) wine=1 ;;
    --repetitions) reps=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --native-dir) dir=$2; shift ;;
    --win-dir) win_dir=$2; shift ;;
    *) echo "usage: $0 [--wine] [--repetitions N] [--rounds N] [--native-dir DIR] [--win-dir DIR]" >&2
       exit 2 ;;
  esac
  shift
done

if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DVRM_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" -j"${JOBS:-2}" --target perf_bench >/dev/null
if [ ! -x "$dir/tests/perf/perf_bench" ]; then
  echo "bench: perf_bench was not built (no libbenchmark-dev:i386; scripts/setup.sh installs it)" >&2
  exit 1
fi

# Repetitions of different benchmarks are interleaved at random, so a change of load on the
# machine spreads over all of them; the paired benchmarks also alternate within a repetition.
"$dir/tests/perf/perf_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_out="$dir/bench.json" --benchmark_out_format=json >"$dir/bench.log" 2>&1
python3 tests/perf/perf_table.py "$dir/bench.json"

if [ "$wine" = 1 ]; then
  if [ ! -f "$win_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$win_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
  fi
  cmake --build "$win_dir" -j"${JOBS:-2}" >/dev/null
  echo
  xvfb-run -a python3 tests/perf/wine_perf.py --build "$win_dir" --rounds "$rounds"
fi

#!/usr/bin/env bash
# Configures (once) and builds the two trees of the same sources:
#   build/native  32-bit Linux build with the unit tests (ASan + UBSan)
#   build/win     MinGW-w64 i686 build: vrmset.exe, cardtag.dll, the simulated DLLs and the
#                 Win32 programs of the Wine bench
# Usage: scripts/build.sh [native|win|all]   (default all; JOBS=n sets the parallel jobs, 2;
#        KEEP_GOING=1 builds every target that can be built when another one fails)
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
jobs=${JOBS:-2}

build_tree() {
  local dir=$1
  shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@"
  fi
  local keep=()
  if [ "${KEEP_GOING:-0}" = 1 ]; then keep=(-- -k); fi
  cmake --build "$dir" -j"$jobs" "${keep[@]}"
}

case "$what" in
  native|all) build_tree build/native ;;&
  win|all) build_tree build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake ;;
  native) ;;
  *) echo "usage: $0 [native|win|all]" >&2; exit 2 ;;
esac

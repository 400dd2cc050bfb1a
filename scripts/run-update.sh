#!/usr/bin/env bash
# Shows the update on an eligible card: builds the Windows tree and runs the real vrmset.exe
# with the real cardtag.dll under Wine, against a simulated NVIDIA card (simulated HWAX.DLL
# beside the program, simulated nvapi.dll in the system directory), printing each message box
# as it appears, every I2C transaction to the power IC and the reboot request.
# Usage: scripts/run-update.sh [scenario]
#   default nv-eligible-update; any scenario of tests/wine/system_scenarios.json ("system"),
#   or of tests/wine/scenarios.json (vrmset with a stand-in cardtag.dll).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh win
name="${1:-nv-eligible-update}"
if python3 -c 'import json, sys; sys.exit(0 if sys.argv[1] in [s["name"] for s in json.load(open("tests/wine/system_scenarios.json"))["system"]] else 1)' "$name"; then
  exec xvfb-run -a python3 tests/wine/system_bench.py --build build/win --show "$name"
fi
exec xvfb-run -a python3 tests/wine/bench.py --build build/win --show "$name"

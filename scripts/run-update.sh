#!/usr/bin/env bash
# Shows the update on an eligible card: builds the Windows tree and runs vrmset.exe under
# Wine against the simulated driver library, printing each message box as it appears, every
# I2C transaction to the power IC and the reboot request.
# Usage: scripts/run-update.sh [scenario]   (default: eligible; see tests/wine/scenarios.json)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh win
exec xvfb-run -a python3 tests/wine/bench.py --build build/win --show "${1:-eligible}"

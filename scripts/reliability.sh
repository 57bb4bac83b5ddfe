#!/usr/bin/env bash
# Runs the load and fault scenarios against the real agent (normal build, loopback only) with the
# full 60-second soak, and writes their figures to docs/reliability.md. Takes about two minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests
build=${DRALMIN_BUILD_DIR:-build/default}
cmake --preset default -B "$build" >/dev/null
cmake --build "$build" -j2 --target dralmin-tray-agent dralmin-scale-simulator dralmin_twain_sim
python3 tests/load/agent_load.py \
  --agent "$build/app/dralmin-tray-agent" \
  --scale-simulator "$build/simulators/scale/dralmin-scale-simulator" \
  --twain-library "$build/simulators/twain/libdralmin_twain_sim.so" \
  --soak-seconds 60 --barrage-rounds 20 \
  --markdown docs/reliability.md all
echo "docs/reliability.md written"

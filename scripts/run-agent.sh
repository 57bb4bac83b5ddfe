#!/usr/bin/env bash
# Installs what building and running need when it is missing, builds the agent (without the tests,
# in build/run), and runs it (watchdog and agent) in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
cmake --preset run >/dev/null
cmake --build --preset run --target dralmin-tray-agent
exec build/run/app/dralmin-tray-agent

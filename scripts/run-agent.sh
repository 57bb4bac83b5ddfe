#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent (watchdog and agent) in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target dralmin-tray-agent  # only what runs, not the tests
exec build/default/app/dralmin-tray-agent

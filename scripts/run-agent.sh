#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent (watchdog and agent) in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default
exec build/default/app/dralmin-tray-agent

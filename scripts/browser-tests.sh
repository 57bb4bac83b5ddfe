#!/usr/bin/env bash
# The end-to-end suite in headless Chromium (tests/browser): builds the agent and the simulators
# in the normal build (or uses DRALMIN_BUILD_DIR as it is), installs the suite's npm packages
# from its lock file, and runs it. Needs the packages of scripts/setup.sh (chromium, nodejs).
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(dralmin-tray-agent dralmin-barcode-sim dralmin-scale-simulator dralmin-netscale-simulator
         quorvelsdk_sim dralmin_twain_sim)
if [[ -z ${DRALMIN_BUILD_DIR:-} ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target "${targets[@]}"
  export DRALMIN_BUILD_DIR=build/default
fi

cd tests/browser
npm ci --no-audit --no-fund --loglevel=error
exec node --test agent.test.mjs origins.test.mjs status.test.mjs

#!/usr/bin/env bash
# Measures the agent's speed against its targets and writes docs/performance.md: wrk against the
# real program (HTTP and HTTPS, 1 and 50 keep-alive connections, new connections), start-up, idle
# CPU and wake-ups, memory, the agent against a bare Beast server (wrk and callgrind), and the
# Google Benchmark programs. Takes about seven minutes; the figures are only as quiet as the
# machine, so run it when nothing else is busy (see `uptime`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests
build=${DRALMIN_BUILD_DIR:-build/default}
cmake --preset default -B "$build" -DDRALMIN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target dralmin-tray-agent scanning_bench sane_scan_bench scan_upload_bench \
    label_bench gateway_bench bare_beast_server
python3 bench/agent_figures.py --build "$build" --markdown docs/performance.md
echo "docs/performance.md written"

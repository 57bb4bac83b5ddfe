#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build (and after it the
# browser suite, scripts/browser-tests.sh), then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the threaded tests under
# ThreadSanitizer, then each fuzz target briefly (scripts/fuzz.sh). Set DRALMIN_PRESETS
# (e.g. "default") to run fewer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in ${DRALMIN_PRESETS:-default asan tsan fuzz}; do
  echo "== $preset"
  if [[ $preset == fuzz ]]; then
    scripts/fuzz.sh
    continue
  fi
  scripts/build.sh "$preset"
  ctest --preset "$preset" -j2
  if [[ $preset == default ]]; then
    echo "== browser"
    DRALMIN_BUILD_DIR=build/default scripts/browser-tests.sh
  fi
done

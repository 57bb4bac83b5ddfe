#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build (and after it the
# browser suite, scripts/browser-tests.sh), then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the threaded tests under
# ThreadSanitizer, then each fuzz target briefly (scripts/fuzz.sh), then the Debian packages: built
# and checked by lintian (scripts/package.sh), installed, run once and purged
# (scripts/package-check.sh), then the Windows build and its tests under Wine (scripts/windows.sh).
# Set DRALMIN_PRESETS (e.g. "default") to run fewer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# With a compiler cache, a second run over mostly the same sources compiles only what changed.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD
fi

passed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in ${DRALMIN_PRESETS:-default asan tsan fuzz package windows}; do
  echo "== $preset"
  if [[ $preset == fuzz ]]; then
    scripts/fuzz.sh
    continue
  fi
  if [[ $preset == package ]]; then
    scripts/package.sh
    scripts/package-check.sh
    continue
  fi
  if [[ $preset == windows ]]; then
    scripts/windows.sh | tee "$log"
  else
    scripts/build.sh "$preset"
    ctest --preset "$preset" -j2 | tee "$log"
  fi
  # "100% tests passed, 0 tests failed out of N": a failure has already stopped the script.
  # A preset without tests prints no count.
  count=$(sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
  passed=$((passed + ${count:-0}))
  if [[ $preset == default ]]; then
    echo "== browser"
    DRALMIN_BUILD_DIR=build/default scripts/browser-tests.sh
  fi
done

echo "ctest: $passed passed, 0 failed"

#!/usr/bin/env bash
# The Windows build: builds the libraries it needs when they are missing (scripts/windows-deps.sh),
# cross-builds the programs and their tests with mingw-w64 (the windows preset), and runs the tests
# under 64-bit Wine, in a Wine prefix of its own inside the build folder: the unit tests, then a
# smoke test of the real agent and its watchdog (tests/windows/agent_smoke.py) with the scale
# simulator of the Linux build; then builds the installer package (scripts/windows-package.sh) and checks it in a
# second prefix (tests/windows/installer_check.py).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/windows-deps.sh
DRALMIN_WINDOWS_PREFIX=$(scripts/windows-deps.sh --prefix)
export DRALMIN_WINDOWS_PREFIX

launchers=()
if command -v ccache >/dev/null; then
  launchers=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake --preset windows "${launchers[@]}" >/dev/null
cmake --build --preset windows -j2
# The 32-bit TWAIN worker: Win32 only, no library of scripts/windows-deps.sh.
cmake -S . -B build/worker32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DDRALMIN_WORKER_ONLY=ON -DDRALMIN_BUILD_TESTS=OFF -DDRALMIN_BUILD_BENCHMARKS=OFF \
  "${launchers[@]}" >/dev/null
cmake --build build/worker32 -j2

# Wine: the 64-bit loader by name (Debian's `wine` wrapper picks the 32-bit one once wine32 is
# installed), quiet, a 64-bit prefix of its own, without the offers to install Mono and Gecko, and
# one server for every test program (started afresh for each, it would cost seconds per program).
export WINELOADER=${DRALMIN_WINE_LOADER:-/usr/lib/wine/wine64}
export WINESERVER=${DRALMIN_WINE_SERVER:-/usr/lib/wine/wineserver64}
if ! "$WINELOADER" --version >/dev/null 2>&1; then
  echo "windows.sh: the 64-bit Wine loader $WINELOADER does not run (install wine64)" >&2
  exit 1
fi
export WINEPREFIX=$PWD/build/windows/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A prefix made by another Wine (another loader, architecture or version) fails in odd ways, e.g.
# "could not load kernel32.dll": such a prefix is made anew.
setup="loader=$WINELOADER arch=$WINEARCH version=$("$WINELOADER" --version)"
if [[ -d $WINEPREFIX && $(cat "$WINEPREFIX/.dralmin-setup" 2>/dev/null) != "$setup" ]]; then
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  "$WINELOADER" wineboot --init >/dev/null 2>&1
  "$WINESERVER" -w
  echo "$setup" >"$WINEPREFIX/.dralmin-setup"
fi
"$WINESERVER" -p 2>/dev/null || true  # fails only when this prefix's server already runs
trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
# The first program of a server's life starts the prefix's background services, and the first one
# that loads the window library starts the desktop process (explorer /desktop); both inherit its
# output: started by a test, they would hold ctest's pipe open, and that test's time, until they end.
"$WINELOADER" cmd /c exit >/dev/null 2>&1 </dev/null
"$WINELOADER" rundll32.exe user32.dll,MessageBeep >/dev/null 2>&1 </dev/null

# One line a step for the test command's closing summary (scripts/test.sh), when it asks.
summary() {
  if [[ -n ${DRALMIN_SUMMARY:-} ]]; then printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$DRALMIN_SUMMARY"; fi
}

started=$SECONDS
ctest --preset windows -j2 | tee build/windows/ctest.log
count=$(sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' build/windows/ctest.log | tail -n 1)
summary "windows: unit tests (64-bit Wine)" "${count:-0}" 0 0 $((SECONDS - started)) ""

# The 32-bit worker and a 32-bit simulated source behind Wine's 32-bit manager, on machines that run
# 32-bit programs (the prefix's 32-bit side; a kernel without IA-32 emulation runs none).
step=$SECONDS
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "== 32-bit TWAIN worker under Wine"
  mkdir -p "$WINEPREFIX/drive_c/windows/twain_32"
  cp build/worker32/bin/sane.ds "$WINEPREFIX/drive_c/windows/twain_32/sane.ds"
  DRALMIN_TWAIN_SIM_PAGES=24x850x1100,8x100x50 xvfb-run -a python3 tests/windows/worker_smoke.py \
    build/worker32/bin/dralmin-twain-worker32.exe
  summary "windows: 32-bit TWAIN worker" 1 0 0 $((SECONDS - step)) ""
else
  echo "windows.sh: NOT RUN the 32-bit TWAIN worker's test: this machine runs no 32-bit program" >&2
  summary "windows: 32-bit TWAIN worker" 0 0 1 0 \
    "this machine runs no 32-bit program (/usr/lib/wine/wine does not start)"
fi

# The scale simulator is a Linux program: its pseudo-terminal is the COM port Wine gives the agent.
simulator=build/default/simulators/scale/dralmin-scale-simulator
if [[ ! -x $simulator ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target dralmin-scale-simulator
fi
version=$(sed -n 's/.*DRALMIN_VERSION "\(.*\)".*/\1/p' build/windows/generated/DralminVersion.h)
echo "== agent smoke test under Wine"
step=$SECONDS
xvfb-run -a python3 tests/windows/agent_smoke.py build/windows/bin/dralmin-tray-agent.exe \
  "$simulator" "$version" build/windows/bin/dralmin-agent-control.exe
summary "windows: agent smoke test" 1 0 0 $((SECONDS - step)) ""
echo "== Windows tests under Wine took $((SECONDS - started)) s"

# The package of this version, one of a higher version for the upgrade, and one laid out as the
# 32-bit packages of earlier versions were, to upgrade from; a prefix of their own, so that what
# the uninstallation leaves is seen against a clean one.
scripts/windows-package.sh >/dev/null
newer=${version%.*}.$((${version##*.} + 1))
scripts/windows-package.sh --version "$newer" --output build/windows/installer-check/newer.msi >/dev/null
scripts/windows-package.sh --version 0.0.1 --layout-of-32-bit \
  --output build/windows/installer-check/old-32-bit.msi >/dev/null
echo "== installer check under Wine"
step=$SECONDS
# Its prefix is made afresh, as a user's would be: none of the settings above but the loader.
env -u WINEARCH xvfb-run -a python3 tests/windows/installer_check.py \
  "$PWD/build/windows/installer-check/wine" "build/windows/dralmin-tray-agent-$version.msi" \
  "$version" build/windows/installer-check/newer.msi "$newer" \
  build/windows/installer-check/old-32-bit.msi build/windows/bin/dralmin-agent-control.exe
summary "windows: installer check" 1 0 0 $((SECONDS - step)) ""

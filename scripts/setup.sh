#!/usr/bin/env bash
# Installs what the caller needs and is not there yet (Debian, as root or with sudo). Safe to run
# again: it only calls apt-get when a package is missing.
#
#   scripts/setup.sh [run] [tests] [windows] [packages]    (none: all of them)
#
#   run       build the agent and its simulators and run them (scripts/run-agent.sh, try-it.sh)
#   tests     run, and every test: unit, browser, sanitizer, fuzz and load tests, benchmarks
#   windows   the Windows cross build and its tests under Wine (scripts/windows-deps.sh)
#   packages  run, and build and check the Debian packages (scripts/package.sh)
set -euo pipefail

# Building the agent, its barcode driver and simulators, and running them: the libraries, Qt with
# its display plugins, the session bus, the keyboard layouts of keyboard scanners, SANE's test
# scanner (try-it.sh sane) and Python for the simulated printer and upload server.
run_packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libssl-dev libcurl4-openssl-dev libjpeg62-turbo-dev libpugixml-dev libcups2-dev
  libsane-dev libsane1
  qt6-base-dev libgl-dev qt6-qpa-plugins dbus dbus-user-session libxkbcommon-dev xkb-data
  python3
)
# The tests, fuzzers and benchmarks, the load and speed figures, the browser suite.
test_packages=(
  clang sane-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  curl openssl procps wrk valgrind ccache
  chromium nodejs
)
# scripts/windows-deps.sh and scripts/windows.sh: the 64-bit cross compilers (posix threads) and
# zlib for them, the 32-bit ones for the worker, the tools the source packages build with, 64-bit
# Wine for the agent and 32-bit Wine (from Debian's i386 side) for the worker, where this machine
# runs 32-bit programs, and a virtual display; wixl and msitools build and edit the Windows
# Installer package; widl (in mingw-w64-tools) builds the simulated barcode driver's type library.
windows_packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  gcc-mingw-w64-i686-posix libz-mingw-w64-dev mingw-w64-tools dpkg-dev nasm
  wine wine32:i386 wine64 xvfb xauth
  wixl msitools
)
# scripts/package.sh, and scripts/package-check.sh asking the installed agent; systemd for its
# systemd-analyze, which verifies the broker's units, and systemd-socket-activate, which passes
# the broker its sockets as the socket unit does (systemd need not be running).
package_packages=(devscripts debhelper lintian curl systemd)

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

# Installs those of the given packages that are not installed yet.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one list now and then; the lists it did fetch still serve,
  # unless the missing one holds the versions another architecture's packages must match (the
  # i386 side of Wine): then the install fails until the mirror has synced, so it is tried again.
  local try
  for try in 1 2 3; do
    $SUDO apt-get update -qq || true
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" && return 0
    ((try < 3)) && sleep $((try * 30))
  done
  return 1
}

purposes=("$@")
((${#purposes[@]})) || purposes=(run tests windows packages)
wanted=()
for purpose in "${purposes[@]}"; do
  case $purpose in
    run) wanted+=("${run_packages[@]}") ;;
    tests)
      wanted+=("${run_packages[@]}" "${test_packages[@]}")
      # Debian ships npm apart from nodejs; other builds of nodejs bring their own and conflict
      # with it.
      command -v npm >/dev/null || wanted+=(npm)
      ;;
    windows)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
      fi
      wanted+=("${windows_packages[@]}")
      ;;
    packages) wanted+=("${run_packages[@]}" "${package_packages[@]}") ;;
    *)
      echo "usage: scripts/setup.sh [run] [tests] [windows] [packages]" >&2
      exit 2
      ;;
  esac
done
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -u)
install_missing "${wanted[@]}"

# The fuzzers link the sanitizer runtime of the installed clang, whichever version that is.
if [[ " ${purposes[*]} " == *" tests "* ]]; then
  install_missing "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi

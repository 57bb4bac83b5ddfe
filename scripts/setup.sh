#!/usr/bin/env bash
# Installs whatever the build, the agent and the tests need and is not there yet (Debian, as root).
# Safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang
  libboost-dev libssl-dev libcurl4-openssl-dev libjpeg62-turbo-dev libpugixml-dev libcups2-dev
  libsane-dev libsane1 sane-utils
  qt6-base-dev libgl-dev qt6-qpa-plugins dbus dbus-user-session libxkbcommon-dev xkb-data
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 curl openssl procps wrk valgrind
  chromium nodejs
  # scripts/package.sh, and the installed package's session bus in its check
  devscripts debhelper lintian
)

# Installs those of the given packages that are not installed yet.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# scripts/windows-deps.sh and scripts/windows.sh: the cross compilers (posix threads), zlib for
# them, the tools the source packages build with, Wine and a virtual display.
windows_packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev dpkg-dev nasm
  wine wine64 xvfb xauth
)
if [[ ${1:-} == --windows ]]; then
  install_missing "${windows_packages[@]}"
  exit 0
fi
packages+=("${windows_packages[@]}")

# Debian ships npm apart from nodejs; other builds of nodejs bring their own and conflict with it.
command -v npm >/dev/null || packages+=(npm)
install_missing "${packages[@]}"

# The fuzzers link the sanitizer runtime of the installed clang, whichever version that is.
clang_major=$(clang -dumpversion | cut -d. -f1)
install_missing "libclang-rt-$clang_major-dev"

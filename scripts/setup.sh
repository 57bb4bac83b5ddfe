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
  python3 curl openssl procps wrk valgrind ccache
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
  # A mirror caught mid-sync fails one list now and then; the lists it did fetch still serve.
  $SUDO apt-get update -qq || { sleep 10; $SUDO apt-get update -qq; } || true
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# scripts/windows-deps.sh and scripts/windows.sh: the 32-bit cross compilers (posix threads), zlib
# for them, the tools the source packages build with, 32-bit Wine (from Debian's i386 side) and a
# virtual display; wixl and msitools build and edit the Windows Installer package.
windows_packages=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix libz-mingw-w64-dev dpkg-dev nasm
  wine wine32:i386 xvfb xauth
  wixl msitools
)
add_i386() {
  dpkg --print-foreign-architectures | grep -qx i386 && return 0
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO dpkg --add-architecture i386
}
if [[ ${1:-} == --windows ]]; then
  add_i386
  install_missing "${windows_packages[@]}"
  exit 0
fi
packages+=("${windows_packages[@]}")
add_i386

# Debian ships npm apart from nodejs; other builds of nodejs bring their own and conflict with it.
command -v npm >/dev/null || packages+=(npm)
install_missing "${packages[@]}"

# The fuzzers link the sanitizer runtime of the installed clang, whichever version that is.
clang_major=$(clang -dumpversion | cut -d. -f1)
install_missing "libclang-rt-$clang_major-dev"

#!/usr/bin/env bash
# Installs whatever the build, the agent and the tests need and is not there yet (Debian, as root).
# Safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libboost-dev libssl-dev libcurl4-openssl-dev libjpeg62-turbo-dev libpugixml-dev libcups2-dev
  libsane-dev libsane1 sane-utils
  qt6-base-dev libgl-dev qt6-qpa-plugins dbus
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 curl openssl procps wrk
  chromium nodejs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Debian ships npm apart from nodejs; other builds of nodejs bring their own and conflict with it.
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

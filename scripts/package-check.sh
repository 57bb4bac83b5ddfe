#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built in build/deb/ on this machine, as an
# administrator would use them: installs them, runs the installed agent once (on free ports, with
# its own folders) and asks it for "/barcode", purges them, and fails when anything is left behind.
# As root (or with sudo). Packages of the agent already installed are left alone: the check stops.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

packages=(dralmin-tray-agent libdralmin1 libdralmin-dev dralmin-tray-agent-simulators)
debs=()
for package in "${packages[@]}"; do
  found=(build/deb/"$package"_*.deb)
  if [[ ! -e ${found[0]} ]]; then
    echo "package-check: no build/deb/${package}_*.deb; run scripts/package.sh first" >&2
    exit 1
  fi
  debs+=("./${found[0]}")
  if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
    echo "package-check: $package is installed here already; remove it first" >&2
    exit 1
  fi
done

installed_packages() { dpkg-query -W -f='${Package} ${db:Status-Status}\n' | sed -n 's/ installed$//p' | sort; }
# Every name under the folders a package or its scripts may write to, less what dpkg and apt
# change on their own at each run.
file_names() {
  find /etc /usr /var/lib /opt -xdev 2>/dev/null |
    grep -Ev '^/var/lib/(apt/|dpkg/(triggers/|updates/|lock|[a-z]*-old$))' | sort
}

scratch=$(mktemp -d -t dralmin-package-check.XXXXXX)
agent=
cleanup() {
  if [[ -n $agent ]]; then kill -TERM "$agent" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

installed_packages >"$scratch/packages.before"
file_names >"$scratch/files.before"

echo "== install"
$SUDO apt-get install -y -qq -o Dpkg::Use-Pty=0 --no-install-recommends "${debs[@]}"
# What apt brought in for them goes again with them.
pulled=$(comm -13 "$scratch/packages.before" <(installed_packages) | grep -Fvx -f <(printf '%s\n' "${packages[@]}") || true)
if [[ -n $pulled ]]; then echo "Installed as dependencies for this check: $pulled"; fi

failed=0
fail() {
  echo "package-check: $*" >&2
  failed=1
}

# The user unit is enabled for every user, as debhelper does it.
[[ -L /etc/systemd/user/graphical-session.target.wants/dralmin-tray-agent.service ]] ||
  fail "the user unit is not enabled after installation"

echo "== run the installed agent"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
http_port=$(free_port)
https_port=$(free_port)
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
# A clean environment: no desktop or session bus of the caller, the system configuration as
# installed, the user's folders in the scratch folder.
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" \
  DRALMIN_HTTP_PORT="$http_port" DRALMIN_HTTPS_PORT="$https_port" \
  /usr/bin/dralmin-tray-agent >"$scratch/agent.log" 2>&1 &
agent=$!
status=
for _ in $(seq 200); do
  status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$http_port/barcode" || true)
  [[ $status == 200 ]] && break
  kill -0 "$agent" 2>/dev/null || break
  sleep 0.1
done
[[ $status == 200 ]] || fail "the installed agent did not answer /barcode with 200 (got '${status:-nothing}')"
# The shipped configuration must load without a complaint.
if grep -q 'agent\.conf' "$scratch/agent.log"; then fail "the installed configuration file has problems"; fi
kill -TERM "$agent" 2>/dev/null || true
code=0
wait "$agent" || code=$?
agent=
[[ $code == 0 ]] || fail "the installed agent ended with status $code when stopped"
if ((failed)); then
  echo "-- the agent's standard error:" >&2
  cat "$scratch/agent.log" >&2
fi

echo "== purge"
# shellcheck disable=SC2086  # the pulled packages are a list of words
$SUDO apt-get purge -y -qq -o Dpkg::Use-Pty=0 "${packages[@]}" $pulled
left=$(comm -13 "$scratch/files.before" <(file_names))
gone=$(comm -23 "$scratch/files.before" <(file_names))
[[ -z $left ]] || fail "left behind after purge:"$'\n'"$left"
[[ -z $gone ]] || fail "missing after purge, though there before installing:"$'\n'"$gone"
for package in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
    fail "$package is still known to dpkg after purge"
  fi
done

if ((failed)); then exit 1; fi
echo "package-check: installed, answered /barcode, purged without leftovers"

#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built in build/deb/ on this machine, as an
# administrator would use them: installs them, checks the port broker's system units, runs the
# installed broker as an unprivileged user and the installed agent behind it once (on free ports,
# with their own folders) and asks for "/barcode", purges them, and fails when anything is left
# behind. As root (or with sudo); systemd need not run. Packages of the agent already installed
# are left alone: the check stops.
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
# change on their own at each run: the units' enablement links in /etc/systemd and debhelper's
# record of them in /var/lib/systemd among them.
file_names() {
  find /etc /usr /var/lib /opt -xdev 2>/dev/null |
    grep -Ev '^/var/lib/(apt/|dpkg/(triggers/|updates/|lock|[a-z]*-old$))' | sort
}

scratch=$(mktemp -d -t dralmin-package-check.XXXXXX)
agent=
broker=
cleanup() {
  if [[ -n $agent ]]; then kill -TERM "$agent" 2>/dev/null || true; fi
  if [[ -n $broker ]]; then kill -TERM "$broker" 2>/dev/null || true; fi
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

echo "== the port broker's units"
units=/lib/systemd/system
for unit in dralmin-port-broker.socket dralmin-port-broker.service; do
  [[ -f $units/$unit ]] || fail "$units/$unit is not installed"
done
# The socket is enabled; the service is started by it, so nothing enables it.
[[ -L /etc/systemd/system/sockets.target.wants/dralmin-port-broker.socket ]] ||
  fail "the broker's socket is not enabled after installation"
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: the units are not verified"
elif ! systemd-analyze verify "$units/sockets.target" >/dev/null 2>&1; then
  echo "systemd-analyze does not work here: the units are not verified"
else
  # It warns of unknown or unreadable keys without failing; a warning fails here.
  man=no
  if command -v man >/dev/null; then man=yes; fi
  if ! verified=$(systemd-analyze verify --man="$man" "$units/dralmin-port-broker.socket" \
    "$units/dralmin-port-broker.service" 2>&1) || [[ -n $verified ]]; then
    fail "systemd-analyze verify finds fault with the broker's units:"$'\n'"$verified"
  fi
fi

echo "== run the installed broker and the agent behind it"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
http_port=$(free_port)
https_port=$(free_port)
mkdir -p "$scratch/home" "$scratch/runtime" "$scratch/run"
chmod 700 "$scratch/runtime"
# The rendezvous in a folder as the socket unit makes it: root's, written by nobody else.
chmod 755 "$scratch/run"
rendezvous=$scratch/run/broker.sock
# The ports and the rendezvous are opened by root and passed in, as the socket unit does, to the
# broker run as a user with no privilege, as the service does. ::1 where this machine has it.
listen=(-l "127.0.0.1:$http_port" -l "127.0.0.1:$https_port")
if python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
  listen+=(-l "[::1]:$http_port" -l "[::1]:$https_port")
fi
# At the first connection it becomes the broker (LISTEN_PID is its own), as systemd starts it then.
systemd-socket-activate "${listen[@]}" -l "$rendezvous" \
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
  /usr/libexec/dralmin-tray-agent/dralmin-port-broker --http-port "$http_port" \
  --https-port "$https_port" >"$scratch/broker.log" 2>&1 &
broker=$!
for _ in $(seq 100); do
  [[ -S $rendezvous ]] && break
  kill -0 "$broker" 2>/dev/null || break
  sleep 0.1
done
[[ -S $rendezvous ]] || fail "the broker's sockets were not opened"
# A clean environment: no desktop or session bus of the caller, the system configuration as
# installed, the user's folders in the scratch folder.
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" \
  DRALMIN_HTTP_PORT="$http_port" DRALMIN_HTTPS_PORT="$https_port" DRALMIN_PORT_BROKER="$rendezvous" \
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
grep -q "port $http_port is held by the port broker" "$scratch/agent.log" ||
  fail "the agent does not say that the port broker holds its port"
# The shipped configuration must load without a complaint.
if grep -q 'agent\.conf' "$scratch/agent.log"; then fail "the installed configuration file has problems"; fi
stop() {
  local name=$1 pid=$2 code=0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || code=$?
  [[ $code == 0 ]] || fail "the installed $name ended with status $code when stopped"
}
stop agent "$agent"
agent=
stop broker "$broker"
broker=
if ((failed)); then
  echo "-- the agent's standard error:" >&2
  cat "$scratch/agent.log" >&2
  echo "-- the broker's standard error:" >&2
  cat "$scratch/broker.log" >&2
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
echo "package-check: installed, answered /barcode through the port broker, purged without leftovers"

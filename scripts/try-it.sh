#!/usr/bin/env bash
# Tries the agent without any device: installs what is missing, builds, starts every simulator
# (serial and networked scale, fingerprint SDK, TWAIN manager, barcode driver, label printer, a
# server that receives scanned pages) and the agent under its watchdog, and serves an example page
# that uses them all. Lines typed here are scanned as barcodes. Ctrl-C stops everything.
#
#   scripts/try-it.sh          documents are scanned from the simulated TWAIN scanner
#   scripts/try-it.sh sane     ... from SANE's test scanner instead (a feeder of 10 pages), with
#                              the agent's scan dialog when there is a desktop
#   scripts/try-it.sh windows  the Windows agent under Wine instead (scripts/try-it-windows.sh)
#
# DRALMIN_BUILD_DIR=<dir>   use that build as it is instead of installing and building
# DRALMIN_HTTP_PORT         the agent's port (8081)
# DRALMIN_TRYIT_PAGE_PORT   the example page's port (default: a free one)
# DRALMIN_TRYIT_KEEP=1      keep the run folder (logs, printed labels, uploaded pages) at the end
# DRALMIN_TRYIT_SCANNER_DRIVER=1   the real barcode scanner driver instead of its simulator, reading
#                           a pseudo-terminal that plays a serial scanner (each typed line is a scan)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

scanner=${1:-twain}
[[ $scanner == windows ]] && exec scripts/try-it-windows.sh
if [[ $scanner != twain && $scanner != sane ]]; then
  echo "usage: scripts/try-it.sh [twain|sane|windows]" >&2
  exit 2
fi
scanner_text="the simulated TWAIN scanner (scripts/try-it.sh sane: SANE's test scanner)"
[[ $scanner == sane ]] && scanner_text="SANE's test scanner"

targets=(dralmin-tray-agent dralmin-scale-simulator dralmin-netscale-simulator dralmin-barcode-sim
  dralmin-scanner-driver quorvelsdk_sim dralmin_twain_sim)
if [[ -z ${DRALMIN_BUILD_DIR:-} ]]; then
  # Only what runs here: the build without the tests, in build/run.
  scripts/setup.sh run
  cmake --preset run >/dev/null
  cmake --build --preset run --target "${targets[@]}"
  build=$source/build/run
else
  build=$(cd "$DRALMIN_BUILD_DIR" && pwd)
fi

agent_port=${DRALMIN_HTTP_PORT:-8081}
page_port=${DRALMIN_TRYIT_PAGE_PORT:-0}

for program in app/dralmin-tray-agent simulators/scale/dralmin-scale-simulator \
  simulators/netscale/dralmin-netscale-simulator simulators/barcode/dralmin-barcode-sim \
  devices/barcode/driver/dralmin-scanner-driver simulators/fingerprint/libquorvelsdk.so simulators/twain/libdralmin_twain_sim.so; do
  if [[ ! -e $build/$program ]]; then
    echo "try-it: $build/$program is missing; build the run or default preset first" >&2
    exit 1
  fi
done

port_free() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' \
    "$1" 2>/dev/null
}
# On a shared machine the package's port broker holds the ports, and this agent registers with
# it like every user's; a one-user desk needs nothing set up: the agent holds the port itself.
broker_socket=/run/dralmin-tray-agent/broker.sock
if [[ ! -S $broker_socket ]] && ! port_free "$agent_port"; then
  echo "try-it: port $agent_port is taken, perhaps by an agent already running (stop it with" \
    "'systemctl --user stop dralmin-tray-agent') or choose another: DRALMIN_HTTP_PORT=18081" >&2
  exit 1
fi

run=$(mktemp -d -t dralmin-try-it.XXXXXX)
logs=$run/logs
site=$run/site
mkdir -p "$logs" "$site/uploads" "$site/printed" "$run/config/Dralmin" "$run/data" "$run/runtime"
chmod 700 "$run/runtime"

children=()
stopping=0
stop_all() {
  ((stopping)) && return
  stopping=1
  trap - INT TERM
  echo
  echo "Stopping..."
  # Newest first: the agent (through its watchdog) before the devices it uses.
  for ((i = ${#children[@]} - 1; i >= 0; i--)); do
    kill -TERM "${children[i]}" 2>/dev/null || true
  done
  for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ ${DRALMIN_TRYIT_KEEP:-0} == 1 ]]; then
    echo "Logs, printed labels and uploaded pages are kept in $run"
  else
    rm -rf "$run"
  fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 20 s for a file to have content; on failure shows the log of what should write it.
wait_for() {
  local file=$1 what=$2 log=$3
  for _ in $(seq 200); do
    [[ -s $file ]] && return 0
    sleep 0.1
  done
  echo "try-it: $what did not start; its log follows" >&2
  tail -n 20 "$log" >&2 || true
  exit 1
}

start() {
  local name=$1
  shift
  "$@" >"$logs/$name.out" 2>"$logs/$name.err" &
  children+=($!)
}

# A session bus for the barcode driver: the user's own when there is one, else a private one.
if [[ -z ${DBUS_SESSION_BUS_ADDRESS:-} ]] || ! dbus-send --session --dest=org.freedesktop.DBus \
  --type=method_call --print-reply / org.freedesktop.DBus.GetId >/dev/null 2>&1; then
  start dbus dbus-daemon --session --nofork --nopidfile --print-address=1
  wait_for "$logs/dbus.out" "the private session bus" "$logs/dbus.err"
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$logs/dbus.out")
  export DBUS_SESSION_BUS_ADDRESS
fi

start scale "$build/simulators/scale/dralmin-scale-simulator" --weight 1.250
wait_for "$logs/scale.out" "the scale simulator" "$logs/scale.err"
scale_device=$(head -n 1 "$logs/scale.out")

start netscale "$build/simulators/netscale/dralmin-netscale-simulator" --weight +00.512
wait_for "$logs/netscale.out" "the networked scale simulator" "$logs/netscale.err"
netscale_address=$(head -n 1 "$logs/netscale.out")/weight

start printer python3 simulators/printer/fake_label_printer.py --folder "$site/printed" --port 0
wait_for "$site/printed/port" "the label printer simulator" "$logs/printer.err"
printer_port=$(head -n 1 "$site/printed/port")
rm -f "$site/printed/port"
printf 'printerAddress=127.0.0.1:%s\ncodePage=1251\nforcePeeler=0\n' "$printer_port" \
  >"$run/config/Dralmin/printer.conf"

start receiver python3 simulators/receiver/upload_receiver.py --port 0 \
  --folder "$site/uploads" --port-file "$run/receiver.port"
wait_for "$run/receiver.port" "the upload receiver" "$logs/receiver.err"
receiver_address=127.0.0.1:$(cat "$run/receiver.port")/upload

# Scanned codes go through a FIFO, so that both this terminal and other programs can type them.
barcode_fifo=$run/barcode.fifo
mkfifo "$barcode_fifo"
if [[ ${DRALMIN_TRYIT_SCANNER_DRIVER:-0} == 1 ]]; then
  # A pseudo-terminal plays a serial scanner: each line from the FIFO goes down it ended by CR LF,
  # as scanners send codes, and the real driver reads it as it reads /dev/ttyACM0.
  start serial-scanner python3 -u -c '
import os, pty, sys, tty
master, slave = pty.openpty()
tty.setraw(slave)
print(os.ttyname(slave))
# Read and write, so the input never ends and a writer never waits for a reader.
with os.fdopen(os.open(sys.argv[1], os.O_RDWR), "rb") as fifo:
    for line in fifo:
        os.write(master, line.rstrip(b"\r\n") + b"\r\n")
' "$barcode_fifo"
  wait_for "$logs/serial-scanner.out" "the serial scanner's pseudo-terminal" "$logs/serial-scanner.err"
  scanner_device=$(head -n 1 "$logs/serial-scanner.out")
  start barcode env "XDG_CONFIG_HOME=$run/config" \
    "$build/devices/barcode/driver/dralmin-scanner-driver" --device "$scanner_device"
  wait_for "$logs/barcode.err" "the barcode scanner driver" "$logs/barcode.err"
  if ! grep -q "reading $scanner_device" "$logs/barcode.err"; then
    echo "try-it: the barcode scanner driver does not read $scanner_device; its log follows" >&2
    tail -n 20 "$logs/barcode.err" >&2 || true
    exit 1
  fi
else
  # Read and write, so the driver's input never ends and a writer never waits for a reader.
  "$build/simulators/barcode/dralmin-barcode-sim" <>"$barcode_fifo" >"$logs/barcode.out" \
    2>"$logs/barcode.err" &
  children+=($!)
  wait_for "$logs/barcode.out" "the barcode driver simulator" "$logs/barcode.err"
fi

# The simulated finger: off the scanner twice, then on it, then lifted.
cat >"$run/fingerprint.conf" <<'EOF'
quality=20,20,95,95,20
template=464d520020323000000001e80000013c016200c500c5010000
EOF

# SANE's own test scanner: a feeder of 10 pages of a colour pattern, and a flatbed.
if [[ $scanner == sane ]]; then
  if ! /sbin/ldconfig -p | grep -q 'libsane\.so\.1 '; then
    echo "try-it: SANE's test scanner needs libsane1 (scripts/setup.sh run installs it)" >&2
    exit 1
  fi
  mkdir -p "$run/sane"
  echo test >"$run/sane/dll.conf"
  printf '%s\n' 'number_of_devices 1' 'test-picture "Color pattern"' 'geometry_max 300.0' \
    'br_x 210.0' 'br_y 297.0' >"$run/sane/test.conf"
fi

# The agent's settings, certificate cache and single-instance lock live in the run folder, so an
# installed agent on another port is left alone.
runtime=${XDG_RUNTIME_DIR:-}
agent_env=(
  "DRALMIN_HTTP_PORT=$agent_port"
  "DRALMIN_SERIAL_PORTS=$scale_device"
  "DRALMIN_FINGERPRINT_SDK=$build/simulators/fingerprint/libquorvelsdk.so"
  "DRALMIN_FINGERPRINT_SIM_FILE=$run/fingerprint.conf"
  "DRALMIN_TWAIN_DSM=$build/simulators/twain/libdralmin_twain_sim.so"
  "DRALMIN_TWAIN_SIM_PAGES=24x850x1100,8x850x1100,1x850x1100"
  "XDG_CONFIG_HOME=$run/config"
  "XDG_DATA_HOME=$run/data"
  "XDG_RUNTIME_DIR=$run/runtime"
)
if [[ $scanner == sane ]]; then
  agent_env+=("DRALMIN_SCAN_BACKEND=sane" "DRALMIN_SCAN_RESOLUTION=150" "SANE_CONFIG_DIR=$run/sane")
fi
# Wayland finds its socket through the runtime folder, which is the run's own now.
if [[ -n ${WAYLAND_DISPLAY:-} && ${WAYLAND_DISPLAY} != /* && -n $runtime ]]; then
  agent_env+=("WAYLAND_DISPLAY=$runtime/$WAYLAND_DISPLAY")
fi
start agent env "${agent_env[@]}" "$build/app/dralmin-tray-agent"
agent_pid=${children[-1]}
for _ in $(seq 200); do
  port_free "$agent_port" || break
  if ! kill -0 "$agent_pid" 2>/dev/null; then
    echo "try-it: the agent ended at once; its log follows" >&2
    tail -n 20 "$logs/agent.err" >&2 || true
    exit 1
  fi
  sleep 0.1
done
if port_free "$agent_port"; then
  echo "try-it: the agent does not listen on port $agent_port; its log follows" >&2
  tail -n 20 "$logs/agent.err" >&2 || true
  exit 1
fi

ln -s "$source/examples/try-it/index.html" "$site/index.html"
ln -s "$source/clients/js/dralmin-agent.js" "$site/dralmin-agent.js"
cat >"$site/try-it-settings.js" <<EOF
// Written by scripts/try-it.sh: where this run's simulators listen.
window.TRY_IT = {
  agent: 'http://127.0.0.1:$agent_port',
  netscale: '$netscale_address',
  receiver: '$receiver_address',
  barcodeFifo: '$barcode_fifo',
};
EOF
start page python3 -u -m http.server --bind 127.0.0.1 --directory "$site" "$page_port"
for _ in $(seq 200); do
  grep -q 'port [0-9]' "$logs/page.out" 2>/dev/null && break
  sleep 0.1
done
page_port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$logs/page.out" | head -n 1)
if [[ -z $page_port ]]; then
  echo "try-it: the page server did not start; its log follows" >&2
  tail -n 20 "$logs/page.err" >&2 || true
  exit 1
fi

cat <<EOF

The agent answers on http://127.0.0.1:$agent_port with simulated devices$(
  [[ -S $broker_socket ]] && echo ", through this machine's port broker").

  Open the example page:  http://127.0.0.1:$page_port/

Documents are scanned from $scanner_text.
Type a code and press Enter to scan it as a barcode (from elsewhere: echo CODE > $barcode_fifo).
Logs are in $logs. Ctrl-C stops everything.

EOF

while IFS= read -r line; do
  printf '%s\n' "$line" >"$barcode_fifo"
  echo "scanned: $line"
done
# Waits for Ctrl-C, or for the agent's watchdog to end.
wait "$agent_pid" || true

#!/usr/bin/env bash
# scripts/try-it.sh windows: tries the 32-bit Windows agent under 32-bit Wine without any device.
# Builds what it needs, then starts, in a Wine prefix of its own (build/windows/tryit-wine): the
# simulated barcode driver (a COM server, registered for the run), the simulated TWAIN source
# behind Wine's own manager, and the agent with the simulated fingerprint SDK beside it; from the
# Linux build the serial scale (on COM5, through its pseudo-terminal), the networked scale, the
# label printer and the upload receiver. Serves the example page. Lines typed here are scanned as
# barcodes. Ctrl-C stops everything. DRALMIN_HTTP_PORT, DRALMIN_TRYIT_PAGE_PORT and
# DRALMIN_TRYIT_KEEP as for scripts/try-it.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

scripts/setup.sh run windows
scripts/windows-deps.sh
DRALMIN_WINDOWS_PREFIX=$(scripts/windows-deps.sh --prefix)
export DRALMIN_WINDOWS_PREFIX
cmake --preset windows >/dev/null
cmake --build --preset windows --target dralmin-tray-agent dralmin-barcode-sim \
  dralmin_twain_source quorvelsdk_sim
cmake --preset run >/dev/null
cmake --build --preset run --target dralmin-scale-simulator dralmin-netscale-simulator
bin=$source/build/windows/bin
linux=$source/build/run

agent_port=${DRALMIN_HTTP_PORT:-8081}
page_port=${DRALMIN_TRYIT_PAGE_PORT:-0}
port_free() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' \
    "$1" 2>/dev/null
}
if ! port_free "$agent_port"; then
  echo "try-it: port $agent_port is taken; choose another: DRALMIN_HTTP_PORT=18081" >&2
  exit 1
fi

# Wine as scripts/windows.sh runs it: the 32-bit loader by name and a 32-bit prefix of its own.
export WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
export WINEPREFIX=$source/build/windows/tryit-wine WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "Making the Wine prefix $WINEPREFIX ..."
  "$WINELOADER" wineboot --init >/dev/null 2>&1
  "$WINESERVER" -w
fi
"$WINESERVER" -p 2>/dev/null || true

run=$(mktemp -d -t dralmin-try-it-windows.XXXXXX)
logs=$run/logs
site=$run/site
mkdir -p "$logs" "$site/uploads" "$site/printed"
children=()
stop_all() {
  trap - INT TERM EXIT
  echo
  echo "Stopping..."
  "$WINELOADER" "$bin/dralmin-barcode-sim.exe" /UnregServer >/dev/null 2>&1 || true
  "$WINESERVER" -k 2>/dev/null || true  # the agent and the driver with the prefix's programs
  for ((i = ${#children[@]} - 1; i >= 0; i--)); do kill -TERM "${children[i]}" 2>/dev/null || true; done
  for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -f "$WINEPREFIX/dosdevices/com5"
  if [[ ${DRALMIN_TRYIT_KEEP:-0} == 1 ]]; then
    echo "Logs, printed labels and uploaded pages are kept in $run"
  else
    rm -rf "$run"
  fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 60 s (Wine's first start of a program is slow) for a file to have content.
wait_for() {
  local file=$1 what=$2 log=$3
  for _ in $(seq 600); do
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

# The scale's pseudo-terminal is the agent's COM5.
start scale "$linux/simulators/scale/dralmin-scale-simulator" --weight 1.250
wait_for "$logs/scale.out" "the scale simulator" "$logs/scale.err"
ln -sfn "$(head -n 1 "$logs/scale.out")" "$WINEPREFIX/dosdevices/com5"

start netscale "$linux/simulators/netscale/dralmin-netscale-simulator" --weight +00.512
wait_for "$logs/netscale.out" "the networked scale simulator" "$logs/netscale.err"
netscale_address=$(head -n 1 "$logs/netscale.out")/weight

start printer python3 simulators/printer/fake_label_printer.py --folder "$site/printed" --port 0
wait_for "$site/printed/port" "the label printer simulator" "$logs/printer.err"
printer_port=$(head -n 1 "$site/printed/port")
rm -f "$site/printed/port"
# The support library's settings in the Wine user's application data.
appdata=$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Roaming | cut -d' ' -f1)
mkdir -p "$appdata/Dralmin"
printf 'printerAddress=127.0.0.1:%s\r\ncodePage=1251\r\nforcePeeler=0\r\n' "$printer_port" \
  >"$appdata/Dralmin/printer.conf"

start receiver python3 simulators/receiver/upload_receiver.py --port 0 \
  --folder "$site/uploads" --port-file "$run/receiver.port"
wait_for "$run/receiver.port" "the upload receiver" "$logs/receiver.err"
receiver_address=127.0.0.1:$(cat "$run/receiver.port")/upload

# Wine's TWAIN manager loads sources by fixed names only, sane.ds among them.
mkdir -p "$WINEPREFIX/drive_c/windows/twain_32"
cp "$bin/sane.ds" "$WINEPREFIX/drive_c/windows/twain_32/sane.ds"

# The barcode driver before the agent, which connects to it once, at its start. Codes reach it
# through a FIFO (read and write, so its input never ends), from this terminal or elsewhere.
"$WINELOADER" "$bin/dralmin-barcode-sim.exe" /RegServer >"$logs/barcode-register.out" 2>&1
barcode_fifo=$run/barcode.fifo
mkfifo "$barcode_fifo"
"$WINELOADER" "$bin/dralmin-barcode-sim.exe" <>"$barcode_fifo" >"$logs/barcode.out" \
  2>"$logs/barcode.err" &
children+=($!)
wait_for "$logs/barcode.out" "the simulated barcode driver" "$logs/barcode.err"

# The simulated finger: off the scanner twice, then on it, then lifted.
cat >"$run/fingerprint.conf" <<'CONF'
quality=20,20,95,95,20
template=464d520020323000000001e80000013c016200c500c5010000
CONF

start agent env "DRALMIN_HTTP_PORT=$agent_port" "DRALMIN_SERIAL_PORTS=\\\\.\\COM5" \
  "DRALMIN_FINGERPRINT_SIM_FILE=$("$WINELOADER" winepath -w "$run/fingerprint.conf" 2>/dev/null)" \
  "DRALMIN_TWAIN_SIM_PAGES=24x850x1100,8x850x1100,1x850x1100" \
  "$WINELOADER" "$bin/dralmin-tray-agent.exe" run
agent_pid=${children[-1]}
for _ in $(seq 1200); do
  port_free "$agent_port" || break
  if ! kill -0 "$agent_pid" 2>/dev/null; then
    echo "try-it: the agent ended at once; its log follows" >&2
    tail -n 20 "$logs/agent.err" >&2 || true
    exit 1
  fi
  sleep 0.1
done

ln -s "$source/examples/try-it/index.html" "$site/index.html"
ln -s "$source/clients/js/dralmin-agent.js" "$site/dralmin-agent.js"
cat >"$site/try-it-settings.js" <<JS
// Written by scripts/try-it.sh windows: where this run's simulators listen.
window.TRY_IT = {
  agent: 'http://127.0.0.1:$agent_port',
  netscale: '$netscale_address',
  receiver: '$receiver_address',
  barcodeFifo: '$barcode_fifo',
};
JS
start page python3 -u -m http.server --bind 127.0.0.1 --directory "$site" "$page_port"
for _ in $(seq 200); do
  grep -q 'port [0-9]' "$logs/page.out" 2>/dev/null && break
  sleep 0.1
done
page_port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$logs/page.out" | head -n 1)

cat <<TEXT

The Windows agent answers under Wine on http://127.0.0.1:$agent_port with simulated devices.

  Open the example page:  http://127.0.0.1:$page_port/

Documents are scanned from the simulated TWAIN source behind Wine's own manager.
Type a code and press Enter to scan it as a barcode (from elsewhere: echo CODE > $barcode_fifo).
Logs are in $logs, the agent's own in $(dirname "$appdata")/Local/Dralmin/logs.
Ctrl-C stops everything.

TEXT

while IFS= read -r line; do
  printf '%s\n' "$line" >"$barcode_fifo"
  echo "scanned: $line"
done
wait "$agent_pid" || true

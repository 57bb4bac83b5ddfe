#!/usr/bin/env bash
# scripts/try-it.sh windows: the 64-bit Windows agent under 64-bit Wine with simulated devices:
# the scale simulator on COM5, the networked scale, the fingerprint SDK (quorvelsdk.dll), the TWAIN
# data source (sane.ds, through Wine's own manager), the barcode driver (a COM server), and the
# Linux label printer and upload receiver; serves the example page as scripts/try-it.sh does.
# Lines typed here are scanned as barcodes. Ctrl-C stops everything. Needs a display (on a
# machine without one: xvfb-run -a scripts/try-it.sh windows).
#
# DRALMIN_BUILD_DIR=<dir>           the Linux build with the scale simulators, as it is
# DRALMIN_WINDOWS_BUILD_DIR=<dir>   the Windows build, as it is (default: builds build/windows)
# DRALMIN_HTTP_PORT, DRALMIN_TRYIT_PAGE_PORT, DRALMIN_TRYIT_KEEP=1   as for scripts/try-it.sh
#
# The Wine prefix, build/windows/tryit-wine, is kept between runs (making one takes a minute).
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

if [[ -z ${DISPLAY:-} ]]; then
  echo "try-it: the agent under Wine needs a display; without one:" \
    "xvfb-run -a scripts/try-it.sh windows" >&2
  exit 1
fi

if [[ -z ${DRALMIN_BUILD_DIR:-} ]]; then
  scripts/setup.sh run
  cmake --preset run >/dev/null
  cmake --build --preset run --target dralmin-scale-simulator dralmin-netscale-simulator
  build=$source/build/run
else
  build=$(cd "$DRALMIN_BUILD_DIR" && pwd)
fi
if [[ -z ${DRALMIN_WINDOWS_BUILD_DIR:-} ]]; then
  scripts/windows-deps.sh
  DRALMIN_WINDOWS_PREFIX=$(scripts/windows-deps.sh --prefix) cmake --preset windows >/dev/null
  cmake --build --preset windows --target dralmin-tray-agent dralmin-barcode-sim quorvelsdk_sim \
    dralmin_twain_source
  bin=$source/build/windows/bin
else
  bin=$(cd "$DRALMIN_WINDOWS_BUILD_DIR" && pwd)/bin
fi
for program in "$build/simulators/scale/dralmin-scale-simulator" \
  "$build/simulators/netscale/dralmin-netscale-simulator" "$bin/dralmin-tray-agent.exe" \
  "$bin/quorvelsdk.dll" "$bin/sane.ds"; do
  if [[ ! -e $program ]]; then
    echo "try-it: $program is missing; build it first" >&2
    exit 1
  fi
done

# Wine as scripts/windows.sh runs it: the 32-bit loader by name, a 32-bit prefix of its own.
export WINELOADER=${DRALMIN_WINE_LOADER:-/usr/lib/wine/wine64}
export WINESERVER=${DRALMIN_WINE_SERVER:-/usr/lib/wine/wineserver64}
export WINEPREFIX=$source/build/windows/tryit-wine WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if ! "$WINELOADER" --version >/dev/null 2>&1; then
  echo "try-it: no 64-bit Wine runs here ($WINELOADER; scripts/setup.sh windows installs it)" >&2
  exit 1
fi
setup="loader=$WINELOADER arch=$WINEARCH version=$("$WINELOADER" --version)"
if [[ -d $WINEPREFIX && $(cat "$WINEPREFIX/.dralmin-setup" 2>/dev/null) != "$setup" ]]; then
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "try-it: making the Wine prefix $WINEPREFIX"
  "$WINELOADER" wineboot --init >/dev/null 2>&1
  "$WINESERVER" -w
  echo "$setup" >"$WINEPREFIX/.dralmin-setup"
fi
win_path() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }  # Wine's Z: is the root folder

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

run=$(mktemp -d -t dralmin-try-it.XXXXXX)
logs=$run/logs
site=$run/site
mkdir -p "$logs" "$site/uploads" "$site/printed"
user_folder=$WINEPREFIX/drive_c/users/$(id -un)/AppData
agent_log=$user_folder/Local/Dralmin/logs/agent.log
com=$WINEPREFIX/dosdevices/com5
barcode_sim=$bin/dralmin-barcode-sim.exe

children=()
driver_pid=
stopping=0
stop_all() {
  ((stopping)) && return
  stopping=1
  trap - INT TERM
  echo
  echo "Stopping..."
  # The agent and its watchdog through their stop events, then the driver at the end of its
  # input, then what is left of this prefix's Wine, then the Linux simulators.
  "$WINELOADER" "$bin/dralmin-tray-agent.exe" stop-all </dev/null >/dev/null 2>&1 || true
  if [[ -n $driver_pid ]]; then
    exec 9>&-
    for _ in $(seq 100); do kill -0 "$driver_pid" 2>/dev/null || break; sleep 0.2; done
    if kill -0 "$driver_pid" 2>/dev/null; then
      echo "try-it: the simulated barcode driver did not end with its input" >&2
    fi
    "$WINELOADER" "$barcode_sim" /UnregServer </dev/null >/dev/null 2>&1 || true
  fi
  "$WINESERVER" -k 2>/dev/null || true
  for ((i = ${#children[@]} - 1; i >= 0; i--)); do
    kill -TERM "${children[i]}" 2>/dev/null || true
  done
  for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -f "$com"
  if [[ ${DRALMIN_TRYIT_KEEP:-0} == 1 ]]; then
    cp "$agent_log" "$logs/agent.log" 2>/dev/null || true
    echo "Logs, printed labels and uploaded pages are kept in $run"
  else
    rm -rf "$run"
  fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits for a file to have content (seconds, default 20); on failure shows the writer's log.
wait_for() {
  local file=$1 what=$2 log=$3
  for _ in $(seq $((${4:-20} * 10))); do
    [[ -s $file ]] && return 0
    sleep 0.1
  done
  echo "try-it: $what did not start; its log follows" >&2
  tail -n 20 "$log" >&2 || true
  exit 1
}

# Wine programs run in a session of their own, so that Ctrl-C here reaches this script alone and
# the agent is stopped in order; none holds the barcode FIFO's writing end (9).
start() {
  local name=$1
  shift
  setsid "$@" >"$logs/$name.out" 2>"$logs/$name.err" 9>&- &
  children+=($!)
}

# This prefix's server and background services, and its desktop (for the tray), started apart
# from any program's output.
setsid "$WINESERVER" -p 2>/dev/null || true
setsid "$WINELOADER" cmd /c exit >/dev/null 2>&1 </dev/null
setsid "$WINELOADER" rundll32.exe user32.dll,MessageBeep >/dev/null 2>&1 </dev/null

start scale "$build/simulators/scale/dralmin-scale-simulator" --weight 1.250
wait_for "$logs/scale.out" "the scale simulator" "$logs/scale.err"
ln -sfn "$(head -n 1 "$logs/scale.out")" "$com"  # Wine opens COM5 through this link

start netscale "$build/simulators/netscale/dralmin-netscale-simulator" --weight +00.512
wait_for "$logs/netscale.out" "the networked scale simulator" "$logs/netscale.err"
netscale_address=$(head -n 1 "$logs/netscale.out")/weight

start printer python3 simulators/printer/fake_label_printer.py --folder "$site/printed" --port 0
wait_for "$site/printed/port" "the label printer simulator" "$logs/printer.err"
printer_port=$(head -n 1 "$site/printed/port")
rm -f "$site/printed/port"
mkdir -p "$user_folder/Roaming/Dralmin"
printf 'printerAddress=127.0.0.1:%s\ncodePage=1251\nforcePeeler=0\n' "$printer_port" \
  >"$user_folder/Roaming/Dralmin/printer.conf"

start receiver python3 simulators/receiver/upload_receiver.py --port 0 \
  --folder "$site/uploads" --port-file "$run/receiver.port"
wait_for "$run/receiver.port" "the upload receiver" "$logs/receiver.err"
receiver_address=127.0.0.1:$(cat "$run/receiver.port")/upload

# The barcode driver, registered and serving before the agent starts (the agent connects to it
# once, at its start). It reads the FIFO, whose writing end this script holds (9) so that the
# driver's input ends, and the driver with it, when the script closes it.
barcode_fifo=
if [[ -e $barcode_sim ]]; then
  barcode_fifo=$run/barcode.fifo
  mkfifo "$barcode_fifo"
  if ! "$WINELOADER" "$barcode_sim" /RegServer </dev/null >"$logs/barcode-register.log" 2>&1; then
    echo "try-it: the simulated barcode driver cannot register itself:" >&2
    cat "$logs/barcode-register.log" >&2
    exit 1
  fi
  exec 9<>"$barcode_fifo"
  setsid "$WINELOADER" "$barcode_sim" <"$barcode_fifo" >"$logs/barcode.out" \
    2>"$logs/barcode.err" 9>&- &
  driver_pid=$!
  wait_for "$logs/barcode.out" "the simulated barcode driver" "$logs/barcode.err" 120
else
  echo "try-it: no simulated barcode driver; barcodes off"
fi

mkdir -p "$WINEPREFIX/drive_c/windows/twain_64"
cp "$bin/sane.ds" "$WINEPREFIX/drive_c/windows/twain_64/sane.ds"
cat >"$run/fingerprint.conf" <<'EOF'
quality=20,20,95,95,20
template=464d520020323000000001e80000013c016200c500c5010000
EOF

rm -f "$agent_log" "$agent_log.1"
start agent env "DRALMIN_HTTP_PORT=$agent_port" 'DRALMIN_SERIAL_PORTS=\\.\COM5' \
  "DRALMIN_FINGERPRINT_SDK=$(win_path "$bin/quorvelsdk.dll")" \
  "DRALMIN_FINGERPRINT_SIM_FILE=$(win_path "$run/fingerprint.conf")" \
  "DRALMIN_TWAIN_SIM_PAGES=24x850x1100,8x850x1100,1x850x1100" \
  "$WINELOADER" "$bin/dralmin-tray-agent.exe"
agent_pid=${children[-1]}
for _ in $(seq 1200); do  # Wine's first start of a program is slow
  port_free "$agent_port" || break
  if ! kill -0 "$agent_pid" 2>/dev/null; then
    echo "try-it: the agent ended at once; its logs follow" >&2
    tail -n 20 "$logs/agent.err" "$agent_log" >&2 || true
    exit 1
  fi
  sleep 0.1
done
if port_free "$agent_port"; then
  echo "try-it: the agent does not listen on port $agent_port; its log follows" >&2
  tail -n 20 "$agent_log" >&2 || true
  exit 1
fi

ln -s "$source/examples/try-it/index.html" "$site/index.html"
ln -s "$source/clients/js/dralmin-agent.js" "$site/dralmin-agent.js"
cat >"$site/try-it-settings.js" <<EOF
// Written by scripts/try-it.sh windows: where this run's simulators listen.
window.TRY_IT = {
  agent: 'http://127.0.0.1:$agent_port',
  netscale: '$netscale_address',
  receiver: '$receiver_address',
  barcodeFifo: '${barcode_fifo:-nowhere: barcodes are off}',
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

barcodes="Type a code and press Enter to scan it as a barcode (from elsewhere: echo CODE >"
barcodes+=" $barcode_fifo)."
[[ -n $barcode_fifo ]] || barcodes="Barcodes are off: there is no simulated barcode driver."
cat <<EOF

The Windows agent answers under Wine on http://127.0.0.1:$agent_port with simulated devices.

  Open the example page:  http://127.0.0.1:$page_port/

Documents are scanned from the simulated TWAIN source behind Wine's own manager.
$barcodes
Logs are in $logs, the agent's in $agent_log. Ctrl-C stops everything.

EOF

while IFS= read -r line; do
  if [[ -z $barcode_fifo ]]; then
    echo "barcodes are off: no simulated barcode driver"
    continue
  fi
  printf '%s\n' "$line" >"$barcode_fifo"
  echo "scanned: $line"
done
wait "$agent_pid" || true

#!/usr/bin/env python3
"""The real dralmin-tray-agent.exe under Wine: exact reply bytes for /barcode and a preflight,
one weighing from the scale simulator through a COM port that Wine maps to its pseudo-terminal,
two scans through Wine's own TWAIN manager and the simulated data source (sane.ds, built beside
the agent) uploaded as JPEG pages to the upload receiver, all without a barcode scanner driver
registered (the log says so); then a code typed into the simulated driver, a COM server in its own
process, reaches "/barcode" byte for byte; then the watchdog: its agent answers, and both end once
the watchdog's stop event is set.

usage: agent_smoke.py AGENT_EXE SCALE_SIMULATOR VERSION AGENT_CONTROL_EXE
Wine's environment (WINEPREFIX, WINELOADER naming the loader, and the rest) and a display come
from the caller.
"""
import glob
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

WINE = os.environ.get("WINELOADER", "wine")
RECEIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "simulators",
                        "receiver", "upload_receiver.py")
PAGES = [(64, 48), (30, 20)]  # the simulated source's pages, as DRALMIN_TWAIN_SIM_PAGES below

HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\n"
        b"Content-Length: ")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_reply(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def exchange(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as conn:
        conn.sendall(request)
        return read_reply(conn)


def wait_listening(port, process, what):
    deadline = time.monotonic() + 120  # Wine's first start of a program is slow
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if process.poll() is not None:
                sys.exit(f"FAIL {what} ended with {process.returncode} before the agent listened")
            if time.monotonic() > deadline:
                sys.exit(f"FAIL {what}: the agent did not listen within 120 s")
            time.sleep(0.2)


def expect(what, got, wanted):
    if got != wanted:
        sys.exit(f"FAIL {what}:\n  got    {got!r}\n  wanted {wanted!r}")
    print(f"ok   {what}")


def main():
    agent_exe, simulator, version, control = sys.argv[1:5]
    prefix = os.environ["WINEPREFIX"]
    driver_exe = os.path.join(os.path.dirname(agent_exe), "dralmin-barcode-sim.exe")
    # Left registered by a run that broke off, the driver would be there for the first agent.
    subprocess.run([WINE, driver_exe, "/UnregServer"], capture_output=True, check=True)

    # The scale on a pseudo-terminal; Wine opens COM5 through the link in its dosdevices folder.
    scale = subprocess.Popen([simulator, "--weight", "12.5"], stdout=subprocess.PIPE, text=True)
    agent = None
    com = os.path.join(prefix, "dosdevices", "com5")
    try:
        device = scale.stdout.readline().strip()
        if not device.startswith("/dev/"):
            sys.exit(f"FAIL the scale simulator named no device: {device!r}")
        if os.path.lexists(com):
            os.remove(com)
        os.symlink(device, com)

        install_source(agent_exe, prefix)
        port = free_port()
        env = dict(os.environ, DRALMIN_HTTP_PORT=str(port), DRALMIN_HTTPS_PORT=str(free_port()),
                   DRALMIN_SERIAL_PORTS="\\\\.\\COM5",
                   DRALMIN_CERT_BASE_URL="http://127.0.0.1:9/dist/cert/",
                   DRALMIN_TWAIN_SIM_PAGES=",".join(f"24x{w}x{h}" for w, h in PAGES))
        agent = subprocess.Popen([WINE, agent_exe, "run"], env=env)
        wait_listening(port, agent, "the agent")

        expect("/barcode", exchange(port, b"GET /barcode HTTP/1.1\r\nHost: x\r\n\r\n"),
               HEAD + b"0\r\n\r\n")
        expect("preflight",
               exchange(port, b"OPTIONS /weight HTTP/1.1\r\nOrigin: https://shop.example\r\n\r\n"),
               b"HTTP/1.1 200 OK\r\n"
               b"Server: DralminTrayAgent/" + version.encode() + b"\r\n"
               b"Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
               b"Access-Control-Max-Age: 600\r\n"
               b"Access-Control-Allow-Origin: https://shop.example\r\n"
               b"Content-Length: 0\r\n\r\n")
        body = b"DralminWeighter__callback({value: 12.500000})"
        expect("/weight through COM5",
               exchange(port, b"GET /weight HTTP/1.1\r\nHost: x\r\n\r\n"),
               HEAD + str(len(body)).encode() + b"\r\n\r\n" + body)
        status = exchange(port, b"GET /agent/status HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port +
                                b"Accept: application/json\r\n\r\n")
        facts = json.loads(status.partition(b"\r\n\r\n")[2])
        scale_row = [row["value"] for row in facts["devices"] if row["name"] == "scale"]
        # COM5 is a device no file system lists: it must not be warned of as missing.
        expect("status page: platform, scale, no warnings",
               (facts["platform"], scale_row, facts["warnings"]),
               ("Windows", ["found on \\\\.\\COM5"], []))
        scans_upload_every_page(port)
        log_names_the_certificate(prefix)
    finally:
        if agent is not None and agent.poll() is None:
            agent.terminate()
            agent.wait(timeout=30)
        scale.send_signal(signal.SIGINT)
        scale.wait(timeout=10)
        if os.path.lexists(com):
            os.remove(com)
    barcode_through_com(agent_exe, driver_exe)
    watchdog_stops(agent_exe, control)


def install_source(agent_exe, prefix):
    """Wine's 64-bit manager loads data sources by fixed names from C:\\windows\\twain_64."""
    folder = os.path.join(prefix, "drive_c", "windows", "twain_64")
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(os.path.join(os.path.dirname(agent_exe), "sane.ds"),
                    os.path.join(folder, "sane.ds"))


def jpeg_size(data):
    """(width, height) from a JPEG's frame header, or None."""
    at = 2
    while at + 9 < len(data) and data[at] == 0xFF:
        marker, length = data[at + 1], int.from_bytes(data[at + 2:at + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            return (int.from_bytes(data[at + 7:at + 9], "big"),
                    int.from_bytes(data[at + 5:at + 7], "big"))
        at += 2 + length
    return None


def scans_upload_every_page(port):
    """Two scans, each uploading every page of the source in order, as a JPEG of its size."""
    folder = tempfile.mkdtemp(prefix="dralmin-pages-")
    port_file = os.path.join(folder, "port")
    receiver = subprocess.Popen([sys.executable, RECEIVER, "--port", "0", "--folder", folder,
                                 "--first-id", "7", "--port-file", port_file])
    try:
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if time.monotonic() > deadline:
                sys.exit("FAIL the upload receiver did not start")
            time.sleep(0.1)
        rest = f"/getscan/abc/file/127.0.0.1:{open(port_file).read().strip()}/upload"
        head = HEAD.split(b"Content-Length")[0]
        next_id = 7
        for scan in (1, 2):
            expect(f"/scan/ {scan}", exchange(port, b"GET /scan/abc HTTP/1.1\r\n\r\n"),
                   HEAD + b"0\r\n\r\n")
            ids = []
            deadline = time.monotonic() + 60
            while len(ids) < len(PAGES):
                reply = exchange(port, f"GET {rest} HTTP/1.1\r\n\r\n".encode())
                if not reply.startswith(head):
                    sys.exit(f"FAIL /getscan/ answered {reply!r}")
                body = reply.partition(b"\r\n\r\n")[2]
                listed = body.partition(b"ids:'")[2].partition(b"'")[0]
                ids += [int(n) for n in listed.split(b",") if n]
                if time.monotonic() > deadline:
                    sys.exit(f"FAIL scan {scan}: {len(ids)} of {len(PAGES)} pages in 60 s")
                time.sleep(0.2)
            expect(f"/getscan/ {scan} identifiers", ids,
                   list(range(next_id, next_id + len(PAGES))))
            sizes = [jpeg_size(open(os.path.join(folder, f"{n}.jpg"), "rb").read()) for n in ids]
            expect(f"/getscan/ {scan} JPEG page sizes", sizes, PAGES)
            next_id += len(PAGES)
    finally:
        receiver.terminate()
        receiver.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


def barcode_through_com(agent_exe, driver_exe):
    """The simulated driver, registered and serving before the agent starts (the agent connects
    once, at its start): a code typed into it, bytes above 0x7F included, is what "/barcode"
    answers, byte for byte."""
    subprocess.run([WINE, driver_exe, "/RegServer"], capture_output=True, check=True)
    driver = subprocess.Popen([WINE, driver_exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    calls = queue.Queue()  # the driver prints each call it takes, a line each
    threading.Thread(target=lambda: [calls.put(line) for line in driver.stdout],
                     daemon=True).start()
    agent = None
    try:
        first = calls.get(timeout=120)
        if first.strip() != b"ready":
            sys.exit(f"FAIL the simulated barcode driver said {first!r}, not ready")
        port = free_port()
        env = dict(os.environ, DRALMIN_HTTP_PORT=str(port), DRALMIN_HTTPS_PORT=str(free_port()),
                   DRALMIN_CERT_BASE_URL="http://127.0.0.1:9/dist/cert/")
        agent = subprocess.Popen([WINE, agent_exe, "run"], env=env)
        seen = []
        while not any(line.startswith(b"RunCommand 1001 ") for line in seen):
            try:
                seen.append(calls.get(timeout=120))
            except queue.Empty:
                sys.exit(f"FAIL the agent did not subscribe to the driver's events: {seen}")
        wait_listening(port, agent, "the agent")
        driver.stdin.write(b"4601\xc9A\n")
        driver.stdin.flush()
        deadline = time.monotonic() + 30
        while True:
            reply = exchange(port, b"GET /barcode HTTP/1.1\r\nHost: x\r\n\r\n")
            if not reply.endswith(b"\r\n\r\n") or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        body = b"DralminBarcode__callback({code:'4601\xc9A'})"
        expect("/barcode from the COM driver", reply,
               HEAD + str(len(body)).encode() + b"\r\n\r\n" + body)
    finally:
        if agent is not None and agent.poll() is None:
            agent.terminate()
            agent.wait(timeout=30)
        driver.stdin.close()  # the driver revokes its class and ends
        driver.wait(timeout=60)
        subprocess.run([WINE, driver_exe, "/UnregServer"], capture_output=True, check=True)


def log_names_the_certificate(prefix):
    """The agent's log file in the user's local application data holds its start-up lines: here
    that no certificate could be fetched (the distribution address leads nowhere), and that no
    barcode scanner driver is registered."""
    logs = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "Dralmin",
                                  "logs", "agent.log"))
    text = open(logs[0], "rb").read() if logs else b""
    if b"certificate" not in text:
        sys.exit(f"FAIL no certificate line in the agent's log file {logs}: {text[-500:]!r}")
    if b"no barcode scanner driver: its COM class is not registered" not in text:
        sys.exit(f"FAIL no line on the missing barcode driver in {logs}: {text[-500:]!r}")
    print("ok   the log file in the local application data")


def agent_processes(control):
    """(pid, parent) of each running dralmin-tray-agent.exe."""
    listed = subprocess.run([WINE, control, "pids"], capture_output=True, text=True, check=True)
    return [tuple(int(n) for n in line.split()) for line in listed.stdout.splitlines()]


def watchdog_stops(agent_exe, control):
    port = free_port()
    env = dict(os.environ, DRALMIN_HTTP_PORT=str(port), DRALMIN_HTTPS_PORT=str(free_port()),
               DRALMIN_CERT_BASE_URL="http://127.0.0.1:9/dist/cert/")
    watchdog = subprocess.Popen([WINE, agent_exe], env=env)
    try:
        wait_listening(port, watchdog, "the watchdog")
        expect("/barcode from the watchdog's agent",
               exchange(port, b"GET /barcode HTTP/1.1\r\nHost: x\r\n\r\n"), HEAD + b"0\r\n\r\n")
        running = agent_processes(control)
        ids = {pid for pid, _ in running}
        watchdogs = [pid for pid, parent in running if parent not in ids]
        agents = [pid for pid, parent in running if parent in ids]
        if len(watchdogs) != 1 or len(agents) != 1:
            sys.exit(f"FAIL not one watchdog and one agent (pid, parent): {running}")
        subprocess.run([WINE, control, "stop", str(watchdogs[0])], check=True)
        try:
            watchdog.wait(timeout=60)
        except subprocess.TimeoutExpired:
            sys.exit("FAIL the watchdog did not end within 60 s of its stop event")
        if watchdog.returncode != 0:
            sys.exit(f"FAIL the stopped watchdog ended with {watchdog.returncode}")
        deadline = time.monotonic() + 60
        while agent_processes(control):
            if time.monotonic() > deadline:
                sys.exit(f"FAIL still running after the watchdog: {agent_processes(control)}")
            time.sleep(0.2)
        print("ok   watchdog and agent end at the watchdog's stop event")
    finally:
        if watchdog.poll() is None:
            watchdog.terminate()
            watchdog.wait(timeout=30)


if __name__ == "__main__":
    main()

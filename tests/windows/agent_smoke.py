#!/usr/bin/env python3
"""The real dralmin-tray-agent.exe under Wine: exact reply bytes for /barcode and a preflight,
and one weighing from the scale simulator through a COM port that Wine maps to its pseudo-terminal.

usage: agent_smoke.py AGENT_EXE SCALE_SIMULATOR VERSION
Wine's environment (WINEPREFIX and the rest) and a display come from the caller.
"""
import os
import signal
import socket
import subprocess
import sys
import time

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


def expect(what, got, wanted):
    if got != wanted:
        sys.exit(f"FAIL {what}:\n  got    {got!r}\n  wanted {wanted!r}")
    print(f"ok   {what}")


def main():
    agent_exe, simulator, version = sys.argv[1:4]
    prefix = os.environ["WINEPREFIX"]

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

        port = free_port()
        env = dict(os.environ, DRALMIN_HTTP_PORT=str(port), DRALMIN_HTTPS_PORT=str(free_port()),
                   DRALMIN_SERIAL_PORTS="\\\\.\\COM5",
                   DRALMIN_CERT_BASE_URL="http://127.0.0.1:9/dist/cert/")
        agent = subprocess.Popen(["wine", agent_exe, "run"], env=env)
        deadline = time.monotonic() + 120  # Wine's first start of a program is slow
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if agent.poll() is not None:
                    sys.exit(f"FAIL the agent ended with {agent.returncode} before it listened")
                if time.monotonic() > deadline:
                    sys.exit("FAIL the agent did not listen within 120 s")
                time.sleep(0.2)

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
    finally:
        if agent is not None and agent.poll() is None:
            agent.terminate()
            agent.wait(timeout=30)
        scale.send_signal(signal.SIGINT)
        scale.wait(timeout=10)
        if os.path.lexists(com):
            os.remove(com)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The 32-bit TWAIN worker under 32-bit Wine, over its pipe: it lists the simulated source
(sane.ds in the prefix's C:\\windows\\twain_32), starts a scan and sends each page as a DIB.
Usage: worker_smoke.py WORKER.exe  (WINELOADER, WINEPREFIX set; sane.ds installed)."""
import os, struct, subprocess, sys, threading

def frame(kind, payload=b""):
    return struct.pack("<II", kind, len(payload)) + payload

def read_frame(out):
    head = out.read(8)
    if len(head) < 8:
        raise SystemExit("worker_smoke: the worker's pipe ended")
    kind, length = struct.unpack("<II", head)
    return kind, out.read(length)

def main():
    worker = subprocess.Popen([os.environ["WINELOADER"], sys.argv[1]], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    timer = threading.Timer(120, worker.kill)
    timer.start()
    def expect(*kinds):
        while True:
            kind, payload = read_frame(worker.stdout)
            if kind == 107:
                print("worker log:", payload[1:].decode(errors="replace"))
                continue
            if kind not in kinds:
                raise SystemExit(f"worker_smoke: frame {kind}, expected {kinds}")
            return kind, payload
    expect(100)
    worker.stdin.write(frame(1)); worker.stdin.flush()
    _, names = expect(101)
    print("sources:", names)
    worker.stdin.write(frame(3)); worker.stdin.flush()
    kind, _ = expect(103, 104)
    if kind != 103:
        raise SystemExit("worker_smoke: the scan did not start")
    pages = 0
    while True:
        kind, payload = expect(105, 106)
        if kind == 106:
            break
        pages += 1
        width, height, planes, bits = struct.unpack("<iiHH", payload[4:16])
        print(f"page {pages}: {len(payload)} bytes, {width}x{height}, {bits} bits")
        worker.stdin.write(frame(4, b"\x01")); worker.stdin.flush()
    worker.stdin.close()
    code = worker.wait(30)
    timer.cancel()
    print("pages:", pages, "exit:", code)
    return 0 if pages > 0 and code == 0 else 1

sys.exit(main())

#!/usr/bin/env python3
"""A network label printer stand-in: takes raw print jobs on a TCP port and saves each one.

Every connection is one job. Its bytes are saved as job-0001.prn, job-0002.prn, ... in the
folder, each file appearing (by rename) only once the sender has closed its side, and the
connection is then closed, as a raw-port printer does. Once listening, the port number is
written to the file "port" in the folder, so a caller that asked for port 0 can find it.

    fake_label_printer.py --folder DIR [--host 127.0.0.1] [--port 9100]

Runs until SIGTERM or SIGINT.
"""

import argparse
import os
import signal
import socket
import sys


def write_atomically(path, data):
    temporary = path + ".part"
    with open(temporary, "wb") as out:
        out.write(data)
    os.replace(temporary, path)


def serve(listener, folder):
    count = 0
    while True:
        connection, _ = listener.accept()
        with connection:
            chunks = []
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
            count += 1
            write_atomically(os.path.join(folder, "job-%04d.prn" % count), b"".join(chunks))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", required=True, help="where the jobs are saved")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9100, help="0 picks a free port")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    os.makedirs(args.folder, exist_ok=True)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.host, args.port))
    listener.listen(8)
    write_atomically(os.path.join(args.folder, "port"), b"%d\n" % listener.getsockname()[1])
    try:
        serve(listener, args.folder)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A web server that receives scanned pages the way a shop's back office would.

Every POST is parsed as multipart/form-data; the first file part is saved as <folder>/<id>.jpg and
the answer is the page's new identifier. A log line per page goes to <folder>/received.log:
"<id> <field name> <file name> <bytes>".

    upload_receiver.py --port 8090 --folder /tmp/pages [--first-id 7] [--fail-after N]
                       [--fail-status 500] [--port-file FILE]

--fail-after N answers --fail-status (500 by default) to every post after the first N.
--port 0 picks a free port; --port-file receives the port once the server listens.
"""
import argparse
import email.parser
import email.policy
import http.server
import os
import threading


def parse_multipart(content_type, body):
    """The parts of a multipart body as (name, filename, bytes) tuples."""
    # The agent sends one zero byte after the closing delimiter; it belongs to no part.
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    parts = []
    for part in message.iter_parts():
        parts.append((part.get_param("name", header="content-disposition"),
                      part.get_filename(), part.get_payload(decode=True) or b""))
    return parts


class Receiver(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        server = self.server
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with server.lock:
            server.posts += 1
            failing = server.fail_after is not None and server.posts > server.fail_after
            if not failing:
                page_id = server.next_id
                server.next_id += 1
        if failing:
            self.answer(server.fail_status, b"<html><body>refused</body></html>")
            return
        parts = parse_multipart(self.headers.get("Content-Type", ""), body)
        files = [p for p in parts if p[1] is not None]
        if not files:
            self.answer(400, b"no file part")
            return
        name, filename, data = files[0]
        with open(os.path.join(server.folder, f"{page_id}.jpg"), "wb") as out:
            out.write(data)
        with server.lock, open(os.path.join(server.folder, "received.log"), "a") as log:
            log.write(f"{page_id} {name} {filename} {len(data)}\n")
        self.answer(200, str(page_id).encode())

    def answer(self, status, text):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    def log_message(self, *args):
        pass


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--port", type=int, default=8090)
    options.add_argument("--folder", required=True)
    options.add_argument("--first-id", type=int, default=1)
    options.add_argument("--fail-after", type=int)
    options.add_argument("--fail-status", type=int, default=500)
    options.add_argument("--port-file")
    args = options.parse_args()

    os.makedirs(args.folder, exist_ok=True)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Receiver)
    server.folder = args.folder
    server.next_id = args.first_id
    server.fail_after = args.fail_after
    server.fail_status = args.fail_status
    server.posts = 0
    server.lock = threading.Lock()
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write(str(server.server_address[1]))
        os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()

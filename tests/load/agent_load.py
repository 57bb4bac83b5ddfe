#!/usr/bin/env python3
"""Load and fault tests of the running agent, over loopback only.

Each scenario starts the real program with a private home, free ports and a certificate server
that refuses, drives it, checks what it must keep doing, and prints its figures. Exit status 0
when every check held.

    agent_load.py --agent PATH [--scale-simulator PATH] [--twain-library PATH]
                  [--printer-simulator PATH]
                  [--soak-seconds N] [--json FILE] [--markdown FILE] SCENARIO...

SCENARIO is one of the names in SCENARIOS, or "all". --markdown writes the figures as a report.
"""

import argparse
import array
import json
import os
import random
import re
import resource
import selectors
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\nContent-Length: "
EMPTY_REPLY = HEAD + b"0\r\n\r\n"
WEIGHT_ZERO = b"DralminWeighter__callback({value: 0})"


def reply_with(body):
    return HEAD + str(len(body)).encode() + b"\r\n\r\n" + body


def project_version():
    """The version the build declares, which the agent names in its Server header."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../CMakeLists.txt")) as f:
        return re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1).encode()


def preflight(origin):
    return (b"HTTP/1.1 200 OK\r\nServer: DralminTrayAgent/" + project_version() + b"\r\n"
            b"Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
            b"Access-Control-Max-Age: 600\r\nAccess-Control-Allow-Origin: " + origin +
            b"\r\nContent-Length: 0\r\n\r\n")


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


class Figures:
    """Figures of the scenarios, in the order they were taken."""

    def __init__(self):
        self.rows = []

    def add(self, scenario, name, value, target="", ok=None):
        self.rows.append({"scenario": scenario, "figure": name, "value": value,
                          "target": target, "ok": ok})
        mark = "" if ok is None else ("  [met]" if ok else "  [MISSED]")
        print("  %-58s %s%s" % (name, value, mark), flush=True)


FIGURES = Figures()
OPTIONS = None  # the parsed command line
SANITIZED = False  # the agent is built with a sanitizer: slower, and memory is not its own
AGENTS = []  # every agent started, for their error output when a scenario fails


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def refusing_url():
    """A certificate server address where nothing listens, so start-up goes on at once."""
    return "http://127.0.0.1:%d/dist/cert/" % free_port()


def read_reply(sock, deadline=5.0):
    """One reply (head and Content-Length body) from a blocking socket; b"" when it closes."""
    sock.settimeout(deadline)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return b""
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return b""
        body += chunk
    return head + b"\r\n\r\n" + body


def exchange(port, raw, timeout=5.0):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(raw)
        return read_reply(s, timeout)


def get(port, path, timeout=5.0):
    return exchange(port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", timeout)


def body_of(reply):
    return reply.partition(b"\r\n\r\n")[2]


def wait_for(condition, timeout, pause=0.005):
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(pause)


def serves(port, origin=None):
    """The agent answers /barcode (from a page of `origin`, when given)."""
    request = b"GET /barcode HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    if origin:
        request += b"Origin: " + origin.encode() + b"\r\n"
    try:
        return exchange(port, request + b"\r\n", 1.0) == EMPTY_REPLY
    except OSError:
        return False


def children_of(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def proc_number(pid, name, prefix, column):
    """A number of the line starting with `prefix` of /proc/PID/NAME; 0 without one."""
    with open("/proc/%d/%s" % (pid, name)) as f:
        for line in f:
            if line.startswith(prefix):
                return int(line.split()[column])
    return 0


def rss_kib(pid):
    return proc_number(pid, "status", "VmRSS:", 1)


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class Agent:
    """The real program, as agent ("run") or as watchdog, headless, with a private home."""

    def __init__(self, role="agent", env=None, http_port=None, wait=True, nofile=None, home=None):
        self.home = home or tempfile.mkdtemp(prefix="dralmin-load-")
        self.port = http_port or free_port()
        self.https_port = free_port()
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        environment.update({
            "HOME": self.home, "XDG_RUNTIME_DIR": self.home,
            "XDG_CONFIG_HOME": self.home + "/config", "XDG_DATA_HOME": self.home + "/data",
            "DRALMIN_HTTP_PORT": str(self.port), "DRALMIN_HTTPS_PORT": str(self.https_port),
            "DRALMIN_CERT_BASE_URL": refusing_url(),
            "DRALMIN_SERIAL_PORTS": self.home + "/no-scale",
        })
        environment.update(env or {})
        argv = [OPTIONS.agent] + (["run"] if role == "agent" else [])

        def limits():
            if nofile:
                # A number for both limits, or (soft, hard).
                pair = nofile if isinstance(nofile, tuple) else (nofile, nofile)
                resource.setrlimit(resource.RLIMIT_NOFILE, pair)

        self.started = time.monotonic()
        self.process = subprocess.Popen(argv, env=environment, preexec_fn=limits,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.stderr = []
        threading.Thread(target=self._drain, daemon=True).start()
        AGENTS.append(self)
        if wait:
            origin = (env or {}).get("DRALMIN_ALLOWED_ORIGINS", "").split(",")[0] or None
            check(wait_for(lambda: serves(self.port, origin), 20), "the agent never served")

    def _drain(self):
        for line in self.process.stderr:
            self.stderr.append(line.decode(errors="replace").rstrip())

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        """SIGTERM and the exit code; agents of a watchdog are taken down by the watchdog."""
        if self.process.poll() is None:
            agents = children_of(self.pid)
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            for child in agents:
                if process_alive(child):
                    os.kill(child, signal.SIGKILL)
        subprocess.run(["rm", "-rf", self.home])
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


class Percentiles:
    def __init__(self, samples):
        self.samples = sorted(samples)

    def at(self, fraction):
        if not self.samples:
            return float("nan")
        return self.samples[min(len(self.samples) - 1, int(fraction * len(self.samples)))]


# ---------------------------------------------------------------------------------------------
# 100 keep-alive connections against cheap endpoints


def scenario_soak():
    name = "soak"
    seconds = OPTIONS.soak_seconds
    origin = b"https://shop.example"
    mix = [
        (b"GET /barcode HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", EMPTY_REPLY),
        (b"OPTIONS /weight HTTP/1.1\r\nOrigin: " + origin + b"\r\n\r\n", preflight(origin)),
        (b"GET /weight HTTP/1.1\r\n\r\n", reply_with(WEIGHT_ZERO)),
        (b"POST /barcode HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", EMPTY_REPLY),
    ]
    with Agent() as agent:
        selector = selectors.DefaultSelector()
        states = []
        for i in range(100):
            s = socket.create_connection(("127.0.0.1", agent.port))
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.setblocking(False)
            state = {"sock": s, "turn": i % len(mix), "buffer": b"", "sent": 0.0}
            states.append(state)
            selector.register(s, selectors.EVENT_READ, state)

        def send_next(state):
            request, _ = mix[state["turn"]]
            state["sent"] = time.perf_counter()
            state["sock"].send(request)  # small enough for an empty send buffer

        latencies = array.array("d")
        errors = []
        rss = []
        started = time.monotonic()
        deadline = started + seconds
        next_sample = started
        for state in states:
            send_next(state)
        while time.monotonic() < deadline:
            now = time.monotonic()
            if now >= next_sample:
                rss.append((now - started, rss_kib(agent.pid)))
                next_sample += 1.0
            for key, _ in selector.select(timeout=0.5):
                state = key.data
                chunk = state["sock"].recv(65536)
                if not chunk:
                    errors.append("connection closed by the agent")
                    selector.unregister(state["sock"])
                    continue
                state["buffer"] += chunk
                expected = mix[state["turn"]][1]
                if len(state["buffer"]) < len(expected):
                    continue
                if state["buffer"] != expected:
                    errors.append("unexpected reply %r" % state["buffer"][:120])
                latencies.append(time.perf_counter() - state["sent"])
                state["buffer"] = b""
                state["turn"] = (state["turn"] + 1) % len(mix)
                send_next(state)
            stalled = [s for s in states if time.perf_counter() - s["sent"] > 5]
            if stalled:
                errors.append("%d connections without a reply for 5 s" % len(stalled))
                break
        elapsed = time.monotonic() - started
        for state in states:
            state["sock"].close()
        rss.append((time.monotonic() - started, rss_kib(agent.pid)))
        still = serves(agent.port)

        p = Percentiles(latencies)
        FIGURES.add(name, "duration, connections", "%.0f s, 100 keep-alive" % elapsed)
        FIGURES.add(name, "requests answered", "%d (%.0f/s)" % (len(latencies),
                                                                  len(latencies) / elapsed))
        FIGURES.add(name, "errors (wrong reply, closed, stalled)", len(errors), "0", not errors)
        FIGURES.add(name, "latency p50 / p99 / max",
                    "%.2f / %.2f / %.2f ms" % (p.at(0.5) * 1e3, p.at(0.99) * 1e3,
                                               p.at(1.0) * 1e3))
        # Growth after the first fifth, when buffers and the allocator have settled.
        settled = [kib for t, kib in rss if t >= elapsed / 5] or [rss[-1][1]]
        growth = settled[-1] - settled[0]
        flat = SANITIZED or growth <= 1024
        FIGURES.add(name, "resident memory start / settled / end",
                    "%d / %d / %d KiB" % (rss[0][1], settled[0], settled[-1]))
        FIGURES.add(name, "memory growth after settling", "%+d KiB" % growth, "<= 1024 KiB (flat)",
                    flat)
        FIGURES.add(name, "serves after the load", still, "True", still)
        # A sanitizer's findings at exit (leaks included) make this non-zero.
        code = agent.stop()
        FIGURES.add(name, "exit on SIGTERM", code, "0", code == 0)
        check(not errors, "; ".join(errors[:5]))
        check(code == 0, "the agent ended with %s" % code)
        check(flat, "resident memory grew by %d KiB under a steady load" % growth)
        check(still, "the agent stopped serving")


# ---------------------------------------------------------------------------------------------
# 1000 idle connections while another client is served


def scenario_idle_crowd():
    name = "idle-crowd"
    limit = 50e-3 if not SANITIZED else 250e-3
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 1200:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    with Agent() as agent:
        idle = []
        for i in range(1000):
            s = socket.create_connection(("127.0.0.1", agent.port))
            if i % 2:  # half have had one reply and wait in keep-alive, half never spoke
                s.sendall(b"GET /barcode HTTP/1.1\r\n\r\n")
                check(read_reply(s) == EMPTY_REPLY, "an idle-to-be client was not served")
            idle.append(s)
        check(wait_for(lambda: open_fds(agent.pid) >= 1000, 5),
              "the agent holds %d descriptors, not the 1000 connections" % open_fds(agent.pid))
        fresh, kept = [], []
        with socket.create_connection(("127.0.0.1", agent.port)) as keeper:
            keeper.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for _ in range(50):
                t = time.perf_counter()
                check(get(agent.port, "/barcode") == EMPTY_REPLY, "a new client got a wrong reply")
                fresh.append(time.perf_counter() - t)
                t = time.perf_counter()
                keeper.sendall(b"GET /barcode HTTP/1.1\r\n\r\n")
                check(read_reply(keeper) == EMPTY_REPLY, "a kept client got a wrong reply")
                kept.append(time.perf_counter() - t)
        # The crowd is still connected: every one of them is answered.
        sample = idle[::50]
        for s in sample:
            s.sendall(b"GET /barcode HTTP/1.1\r\n\r\n")
        answered = sum(read_reply(s) == EMPTY_REPLY for s in sample)
        memory = rss_kib(agent.pid)
        for s in idle:
            s.close()
        worst = max(max(fresh), max(kept))
        FIGURES.add(name, "idle connections held", 1000)
        FIGURES.add(name, "new connection + reply p50 / max",
                    "%.2f / %.2f ms" % (Percentiles(fresh).at(0.5) * 1e3, max(fresh) * 1e3),
                    "< %.0f ms" % (limit * 1e3), max(fresh) < limit)
        FIGURES.add(name, "keep-alive reply p50 / max",
                    "%.2f / %.2f ms" % (Percentiles(kept).at(0.5) * 1e3, max(kept) * 1e3),
                    "< %.0f ms" % (limit * 1e3), max(kept) < limit)
        FIGURES.add(name, "idle clients answered afterwards", "%d of %d" % (answered, len(sample)),
                    "all", answered == len(sample))
        FIGURES.add(name, "resident memory with 1000 connections", "%d KiB" % memory)
        check(worst < limit, "a client waited %.1f ms" % (worst * 1e3))
        check(answered == len(sample), "idle clients lost their connection")


# ---------------------------------------------------------------------------------------------
# More clients than the agent has descriptors


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def scenario_descriptors_exhausted():
    name = "descriptors-exhausted"
    with Agent(nofile=64) as agent:
        # The sanitizers' own checks open a pipe, and with no descriptor left they report faults
        # that are not there: the crowd comes once the start-up certificate check is over.
        check(wait_for(lambda: any("HTTPS is off" in line for line in agent.stderr), 10),
              "the certificate check never ended")
        crowd = [socket.create_connection(("127.0.0.1", agent.port)) for _ in range(100)]
        # The connection cap leaves half of so small a limit free: the crowd fills the rest.
        check(wait_for(lambda: open_fds(agent.pid) >= 32, 5), "the crowd never got in")
        held = open_fds(agent.pid)
        # A client that got in before the limit is still served.
        served = False
        for s in crowd[:10]:
            s.sendall(b"GET /barcode HTTP/1.1\r\n\r\n")
            s.settimeout(2)
            try:
                served = read_reply(s, 2) == EMPTY_REPLY
            except socket.timeout:
                continue
            if served:
                break
        ticks = cpu_ticks(agent.pid)
        time.sleep(2)
        busy = (cpu_ticks(agent.pid) - ticks) / os.sysconf("SC_CLK_TCK") / 2 * 100
        for s in crowd:
            s.close()
        recovered = wait_for(lambda: serves(agent.port), 5)
        FIGURES.add(name, "descriptor limit, clients", "64, 100")
        FIGURES.add(name, "descriptors the agent holds with them", held, "< 64", held < 64)
        FIGURES.add(name, "a client already in is served", served, "True", served)
        FIGURES.add(name, "CPU while the crowd is held", "%.0f %% of a core" % busy, "< 5 %",
                    busy < 5)
        FIGURES.add(name, "serves once they are gone", recovered, "True", recovered)
        check(served, "an accepted client was not served")
        check(held < 64, "the agent used up its descriptors")
        check(busy < 5, "the agent spins at %.0f %% while out of descriptors" % busy)
        check(recovered, "no recovery after the crowd left")


# ---------------------------------------------------------------------------------------------
# Malformed and oversized requests, and TLS garbage


def make_certificates(folder):
    script = (
        "set -e; cd '%s'; "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=LoadCA -keyout ca.key -out ca.crt 2>/dev/null; "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
        "-keyout server.key -out server.csr 2>/dev/null; "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext; "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out server.crt 2>/dev/null; "
        "mkdir -p www/dist/cert; cp server.crt www/dist/cert/7.crt.txt; "
        "cp server.key www/dist/cert/7.key.txt; printf '7\\r\\n' > www/dist/cert/last" % folder)
    subprocess.run(["sh", "-c", script], check=True)


class CertificateServer:
    """The distribution server on loopback, serving the certificates made by make_certificates."""

    def __init__(self, folder):
        import functools
        import http.server

        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *_):
                pass

        handler = functools.partial(Quiet, directory=folder + "/www")
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.url = "http://127.0.0.1:%d/dist/cert/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def client_hello():
    """The first flight of a real TLS client, as bytes."""
    context = ssl.create_default_context()
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def https_serves(port, cafile):
    try:
        return https_get(port, cafile) == EMPTY_REPLY
    except (OSError, ssl.SSLError):
        return False


def https_get(port, cafile, path="/barcode"):
    context = ssl.create_default_context(cafile=cafile)
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        with context.wrap_socket(raw, server_hostname="localhost") as s:
            s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: localhost\r\n\r\n")
            return read_reply(s)


def complete_reply(data):
    """True when the bytes hold a whole HTTP reply (head and Content-Length body)."""
    head, found, body = data.partition(b"\r\n\r\n")
    if not found or not head.startswith(b"HTTP/"):
        return False
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return len(body) >= int(value)
    return True


def send_and_watch(port, payload, timeout, until_closed=False):
    """Sends the bytes and waits until the agent ends the connection or has answered in full;
    (what happened, seconds)."""
    started = time.monotonic()
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(payload)
            if payload.endswith(b"/barc"):  # the client gives up halfway
                return "closed by the client", time.monotonic() - started
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                if complete_reply(data) and not until_closed:
                    return ("answered %r, kept open" % data.split(b"\r\n", 1)[0].decode(),
                            time.monotonic() - started)
        except (ConnectionResetError, BrokenPipeError):
            return "reset", time.monotonic() - started
        except socket.timeout:
            return "still open", time.monotonic() - started
    if not data:
        kind = "closed"
    elif data.startswith(b"HTTP/"):
        kind = "answered %r, closed" % data.split(b"\r\n", 1)[0].decode()
    else:
        kind = "%d bytes of TLS handshake, closed" % len(data)
    return kind, time.monotonic() - started


def scenario_barrage():
    name = "barrage"
    rounds = OPTIONS.barrage_rounds
    hello = client_hello()
    rng = random.Random(11)
    http_cases = [
        ("not HTTP", b"GARBAGE GARBAGE\r\n\r\n"),
        ("binary noise", bytes(rng.randrange(256) for _ in range(4096))),
        ("NUL in the request line", b"GET /bar\x00code HTTP/1.1\r\n\r\n"),
        ("unknown version", b"GET /barcode HTTP/7.3\r\n\r\n"),
        ("header of 20 KB", b"GET / HTTP/1.1\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n"),
        ("request line of 100 KB", b"GET /" + b"b" * 100000 + b" HTTP/1.1\r\n\r\n"),
        ("2000 header lines", b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 2000 + b"\r\n"),
        ("body over the limit", b"POST /print HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n"),
        ("negative length", b"POST /print HTTP/1.1\r\nContent-Length: -1\r\n\r\n"),
        ("two lengths", b"POST /print HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"),
        ("bad chunk size", b"POST /print HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
        ("bare LF line ends", b"GET /barcode HTTP/1.1\nHost: x\n\n"),
        ("TLS hello on the plain port", hello),
        ("half a request, then close", b"GET /barc"),
        ("Connection: close", b"GET /barcode HTTP/1.1\r\nConnection: close\r\n\r\n"),
    ]
    tls_cases = [
        ("plain HTTP on the TLS port", b"GET /barcode HTTP/1.1\r\n\r\n"),
        ("noise on the TLS port", bytes(rng.randrange(256) for _ in range(4096))),
        ("TLS hello with noise after it", hello + bytes(rng.randrange(256) for _ in range(512))),
    ]
    # Handshakes that stall: the agent waits for the rest up to its handshake time-out (10 s),
    # so these are sent once and checked at the end.
    stalled_cases = [
        ("half a TLS hello, then silence", hello[: len(hello) // 2]),
        ("record header claiming 16 KB, then silence", b"\x16\x03\x01\x40\x00" + b"\x01" * 100),
    ]
    folder = tempfile.mkdtemp(prefix="dralmin-load-tls-")
    make_certificates(folder)
    certificates = CertificateServer(folder)
    cafile = folder + "/ca.crt"
    try:
        with Agent(env={"DRALMIN_CERT_BASE_URL": certificates.url}) as agent:
            check(wait_for(lambda: https_serves(agent.https_port, cafile), 20),
                  "HTTPS did not come up")
            before = rss_kib(agent.pid)
            slow = [socket.create_connection(("127.0.0.1", agent.port)) for _ in range(20)]
            for s in slow:
                s.sendall(b"GET /barcode HTTP/1.1\r\nX-Slow: ")  # and never more
            stalled = []
            for label, payload in stalled_cases:
                s = socket.create_connection(("127.0.0.1", agent.https_port))
                s.sendall(payload)
                stalled.append((label, s, time.monotonic()))
            outcomes = {}
            slowest = {}
            worst = 0.0
            count = 0
            lingering = []
            started = time.monotonic()
            for _ in range(rounds):
                for port, cases in ((agent.port, http_cases), (agent.https_port, tls_cases)):
                    for label, payload in cases:
                        kind, seconds = send_and_watch(port, payload, 10,
                                                       b"Connection: close" in payload)
                        outcomes[label] = kind
                        slowest[label] = max(slowest.get(label, 0), seconds)
                        worst = max(worst, seconds)
                        if kind == "still open":
                            lingering.append(label)
                        count += 1
                # One full TLS exchange with an oversized header in between.
                context = ssl.create_default_context(cafile=cafile)
                with socket.create_connection(("127.0.0.1", agent.https_port), timeout=5) as raw:
                    with context.wrap_socket(raw, server_hostname="localhost") as s:
                        s.sendall(b"GET / HTTP/1.1\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n")
                        try:
                            outcomes["header of 20 KB over TLS"] = (
                                "closed" if not s.recv(100) else "answered")
                        except (ssl.SSLError, ConnectionResetError):
                            outcomes["header of 20 KB over TLS"] = "reset"
                        count += 1
            elapsed = time.monotonic() - started
            for label, s, sent in stalled:
                s.settimeout(max(0.1, sent + 13 - time.monotonic()))
                try:
                    kind = "closed" if s.recv(100) == b"" else "answered"
                except ConnectionResetError:
                    kind = "reset"
                except socket.timeout:
                    kind = "still open"
                outcomes[label] = "%s after %.1f s" % (kind, time.monotonic() - sent)
                s.close()
                if kind == "still open":
                    lingering.append(label)
            plain_ok = get(agent.port, "/barcode") == EMPTY_REPLY
            tls_ok = https_get(agent.https_port, cafile) == EMPTY_REPLY
            alive = agent.process.poll() is None
            for s in slow:
                s.close()
            after = rss_kib(agent.pid)
            FIGURES.add(name, "hostile connections", "%d in %.1f s (%d kinds)" %
                        (count, elapsed, len(outcomes)))
            for label, kind in outcomes.items():
                took = slowest.get(label)
                FIGURES.add(name, "  " + label, kind if took is None else
                            "%s (%.0f ms)" % (kind, took * 1e3))
            FIGURES.add(name, "longest until the agent ended or answered one",
                        "%.0f ms" % (worst * 1e3), "< 1 s", worst < 1)
            FIGURES.add(name, "half-sent requests held meanwhile", len(slow))
            FIGURES.add(name, "serves HTTP / HTTPS afterwards", "%s / %s" % (plain_ok, tls_ok),
                        "True / True", plain_ok and tls_ok)
            FIGURES.add(name, "resident memory before / after", "%d / %d KiB" % (before, after))
            code = agent.stop()
            FIGURES.add(name, "exit on SIGTERM", code, "0", code == 0)
            check(alive and code == 0, "the agent died or ended with %s" % code)
            check(not lingering, "connections left open: %s" % lingering)
            check(plain_ok and tls_ok, "the agent stopped serving")
    finally:
        certificates.close()
        subprocess.run(["rm", "-rf", folder])


# ---------------------------------------------------------------------------------------------
# The watchdog: SIGKILL mid-request, and a crash loop


class HangingServer:
    """Accepts connections and never answers, like a networked scale that froze."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.accepted = threading.Event()
        self.held = []
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.held.append(connection)
            self.accepted.set()

    def close(self):
        self.listener.close()
        for c in self.held:
            c.close()


def scenario_sigkill():
    name = "sigkill"
    frozen = HangingServer()
    try:
        with Agent(role="watchdog") as watchdog:
            check(wait_for(lambda: len(children_of(watchdog.pid)) == 1, 5), "no agent")
            agent = children_of(watchdog.pid)[0]
            client = socket.create_connection(("127.0.0.1", watchdog.port))
            client.sendall(b"GET /ip_weight/127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % frozen.port)
            check(frozen.accepted.wait(5), "the agent never asked the frozen scale")
            os.kill(agent, signal.SIGKILL)
            killed = time.monotonic()
            client.settimeout(5)
            try:
                dropped = client.recv(100) == b""
            except ConnectionResetError:
                dropped = True
            check(wait_for(lambda: serves(watchdog.port), 5, 0.002), "never served again")
            back = time.monotonic() - killed
            successor = children_of(watchdog.pid)
            code = watchdog.stop()
            client.close()
            FIGURES.add(name, "client of the killed request", "connection closed" if dropped
                        else "no close seen", "closed, no reply", dropped)
            # A sanitized agent takes a few hundred milliseconds more to start.
            limit = 1.0 if not SANITIZED else 2.0
            FIGURES.add(name, "SIGKILL to serving again", "%.0f ms" % (back * 1e3),
                        "< %.0f ms" % (limit * 1e3), back < limit)
            FIGURES.add(name, "new agent process", successor != [agent] and len(successor) == 1)
            FIGURES.add(name, "watchdog exit on SIGTERM", code, "0", code == 0)
            check(back < limit, "serving again took %.0f ms" % (back * 1e3))
            check(code == 0, "the watchdog ended with %s" % code)
    finally:
        frozen.close()


def scenario_crash_loop():
    name = "crash-loop"
    window = OPTIONS.crash_loop_seconds
    holder = socket.create_server(("127.0.0.1", 0))
    port = holder.getsockname()[1]
    # Not shared: a port in use then fails every agent, which is what the watchdog is tried with.
    with Agent(role="watchdog", http_port=port, wait=False,
               env={"DRALMIN_SHARED_PORTS": "false"}) as watchdog:
        starts = []
        seen = set()
        started = time.monotonic()
        while time.monotonic() - started < window:
            for child in children_of(watchdog.pid):
                if child not in seen:
                    seen.add(child)
                    starts.append(time.monotonic() - started)
            time.sleep(0.002)
        holder.close()  # the port is free again: the next agent must take it and serve
        freed = time.monotonic()
        recovered = wait_for(lambda: serves(port), 35)
        recovery = time.monotonic() - freed
        gaps = [b - a for a, b in zip(starts, starts[1:])]
        # Each pause doubles from 0.5 s; the agent's own failing run adds a little to each gap.
        expected = [0.5 * 2 ** i for i in range(len(gaps))]
        backing_off = len(gaps) >= 2 and all(g >= 0.9 * e for g, e in zip(gaps, expected))
        code = watchdog.stop()
        FIGURES.add(name, "agent starts while the port was taken",
                    "%d in %.0f s" % (len(starts), window), "<= %d" % (len(expected) + 1),
                    backing_off)
        FIGURES.add(name, "gaps between starts",
                    ", ".join("%.2f s" % g for g in gaps), "0.5, 1, 2, 4 ... s", backing_off)
        FIGURES.add(name, "port freed to serving", "%.2f s" % recovery,
                    "within the next pause", recovered)
        FIGURES.add(name, "watchdog exit on SIGTERM", code, "0", code == 0)
        check(backing_off, "no back-off: starts at %s" % starts)
        check(recovered, "the agent never took the freed port")
        check(code == 0, "the watchdog ended with %s" % code)


# ---------------------------------------------------------------------------------------------
# Devices that vanish mid-operation


class VanishingScale:
    """A scale on a pseudo-terminal that acknowledges ENQ, then dies in the middle of its answer
    to DC1. The agent reaches it through a link, so a new scale can take the same name."""

    def __init__(self, link):
        import pty
        import tty
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(self.slave), link)
        self.vanished = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                data = os.read(self.master, 64)
            except OSError:
                return
            if b"\x05" in data:
                os.write(self.master, b"\x06")
            if b"\x11" in data:
                os.write(self.master, b"ST,  1.")  # and the cable is pulled
                os.close(self.slave)
                os.close(self.master)
                self.vanished.set()
                return


def start_scale_simulator(link):
    process = subprocess.Popen([OPTIONS.scale_simulator], stdout=subprocess.PIPE)
    path = process.stdout.readline().decode().strip()
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(path, link)
    return process


def timed_get(port, path, timeout=15):
    started = time.monotonic()
    reply = get(port, path, timeout)
    return body_of(reply), time.monotonic() - started


def scenario_scale_vanishes():
    name = "scale-vanishes"
    check(OPTIONS.scale_simulator, "--scale-simulator is needed")
    folder = tempfile.mkdtemp(prefix="dralmin-load-scale-")
    link = folder + "/scale"
    good = b"DralminWeighter__callback({value: 1.250000})"
    try:
        with Agent(env={"DRALMIN_SERIAL_PORTS": link}) as agent:
            scale = VanishingScale(link)
            body, vanish = timed_get(agent.port, "/weight")
            check(scale.vanished.is_set(), "the scale was never asked to weigh")
            FIGURES.add(name, "scale gone mid-answer: reply", body.decode(), WEIGHT_ZERO.decode(),
                        body == WEIGHT_ZERO)
            FIGURES.add(name, "scale gone mid-answer: reply time", "%.0f ms" % (vanish * 1e3),
                        "< 2500 ms (one read time-out)", vanish < 2.5)
            check(body == WEIGHT_ZERO, "reply %r" % body)

            simulator = start_scale_simulator(link)
            body, took = timed_get(agent.port, "/weight")
            FIGURES.add(name, "new scale on the same port: reply", body.decode(), good.decode(),
                        body == good)
            FIGURES.add(name, "new scale: search and weighing", "%.0f ms" % (took * 1e3))
            check(body == good, "the new scale was not found: %r" % body)

            simulator.kill()  # the scale's process dies between weighings
            simulator.wait()
            body, gone = timed_get(agent.port, "/weight")
            FIGURES.add(name, "scale process killed: reply", body.decode(), WEIGHT_ZERO.decode(),
                        body == WEIGHT_ZERO)
            FIGURES.add(name, "scale process killed: reply time", "%.0f ms" % (gone * 1e3))
            simulator = start_scale_simulator(link)
            body, _ = timed_get(agent.port, "/weight")
            simulator.terminate()
            simulator.wait()
            FIGURES.add(name, "restarted scale: reply", body.decode(), good.decode(), body == good)
            serving = serves(agent.port)
            FIGURES.add(name, "serves afterwards", serving, "True", serving)
            check(body == good and serving, "no recovery after the scale came back")
    finally:
        subprocess.run(["rm", "-rf", folder])


class VanishingPrinter:
    """Takes a little of a job through a small window, then resets the connection and is gone."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.received = 0
        self.done = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        connection, _ = self.listener.accept()
        self.listener.close()
        while self.received < 2000:
            self.received += len(connection.recv(1000))
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        connection.close()
        self.done.set()


def post_label(port, xml, timeout=30):
    boundary = b"----LoadBoundary7MA4YWxk"
    body = (b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"print_xml\"\r\n\r\n" +
            xml + b"\r\n--" + boundary + b"--\r\n")
    started = time.monotonic()
    reply = exchange(port, b"POST /print HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                     b"multipart/form-data; boundary=" + boundary + b"\r\nContent-Length: " +
                     str(len(body)).encode() + b"\r\n\r\n" + body, timeout)
    return body_of(reply), time.monotonic() - started


def use_printer(agent, address):
    folder = agent.home + "/config/Dralmin"
    os.makedirs(folder, exist_ok=True)
    with open(folder + "/printer.conf", "w") as f:
        f.write("printerAddress=%s\ncodePage=1251\nforcePeeler=0\n" % address)


def scenario_printer_vanishes():
    name = "printer-vanishes"
    folder = tempfile.mkdtemp(prefix="dralmin-load-printer-")
    # Bigger than the largest send buffer (4 MiB), so that the job is still being sent when the
    # printer goes.
    texts = b"".join(b"<text x=\"10\" y=\"%d\">%s</text>" % (i % 300, b"W" * 200)
                     for i in range(36000))
    big = b"<label width=\"58\" height=\"40\">" + texts + b"</label>"
    small = b"<label width=\"58\" height=\"40\"><text x=\"1\" y=\"1\">OK</text></label>"
    printer = None
    try:
        with Agent() as agent:
            vanishing = VanishingPrinter()
            use_printer(agent, "127.0.0.1:%d" % vanishing.port)
            body, took = post_label(agent.port, big)
            expected = b"DralminPrinter__callback({error:'printer 127.0.0.1:%d stopped taking " \
                       b"the job" % vanishing.port
            failed = body.startswith(expected)
            FIGURES.add(name, "job of %d KB, printer reset after %d bytes" %
                        (len(big) // 1024, vanishing.received), body.decode()[:90] + "...",
                        "an error form", failed)
            FIGURES.add(name, "reply time", "%.0f ms" % (took * 1e3))
            check(failed, "the vanished printer was reported as %r" % body[:200])

            printer = subprocess.Popen([sys.executable, OPTIONS.printer_simulator, "--folder",
                                        folder, "--port", "0"])
            check(wait_for(lambda: os.path.exists(folder + "/port"), 10), "printer never started")
            with open(folder + "/port") as f:
                use_printer(agent, "127.0.0.1:" + f.read().strip())
            body, _ = post_label(agent.port, small)
            printed = wait_for(lambda: os.path.exists(folder + "/job-0001.prn"), 10)
            ok = body == b"DralminPrinter__callback({result:'OK'})" and printed
            FIGURES.add(name, "next job to a printer that is there", body.decode(),
                        "result OK, job received", ok)
            serving = serves(agent.port)
            FIGURES.add(name, "serves afterwards", serving, "True", serving)
            check(ok and serving, "no recovery after the printer came back")
    finally:
        if printer:
            printer.terminate()
            printer.wait()
        subprocess.run(["rm", "-rf", folder])


class ReceivingServer:
    """Takes multipart page posts and answers each with an identifier "p1", "p2", ...; with
    `die_after` it reads that many bytes of the first post, resets the connection and is gone."""

    def __init__(self, die_after=None):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.die_after = die_after
        self.pages = []  # bodies received whole
        self.keys = []  # their Idempotency-Key headers
        self.connections = 0
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            with connection:
                self._serve(connection)
            if self.die_after is not None:
                self.listener.close()
                return

    def _serve(self, connection):
        connection.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            if not chunk:
                return
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        fields = {}
        for line in head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b":")
            fields[key.strip().lower()] = value.strip()
        if fields.get(b"expect", b"").lower() == b"100-continue":
            connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        length = int(fields.get(b"content-length", b"0"))
        limit = length if self.die_after is None else min(length, self.die_after)
        while len(body) < limit:
            chunk = connection.recv(65536)
            if not chunk:
                return
            body += chunk
        if self.die_after is not None:
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                  b"\x01\x00\x00\x00\x00\x00\x00\x00")
            return
        self.pages.append(body)
        self.keys.append(fields.get(b"idempotency-key", b""))
        answer = b"p%d" % len(self.pages)
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n"
                           b"\r\n%s" % (len(answer), answer))

    def close(self):
        # A thread blocked in accept() is not woken by close(); it would take the connections of
        # the next listener given the same descriptor, and answer them as this server.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()


def scenario_upload_server_dies():
    name = "upload-server-dies"
    check(OPTIONS.twain_library, "--twain-library is needed")
    pages = 3
    env = scan_env(pages)
    dying = ReceivingServer(die_after=20000)
    good = ReceivingServer()
    try:
        with Agent(env=env) as agent:
            check(body_of(get(agent.port, "/scan/k7")) == b"", "the scan start was answered")
            # Pages arrive on the agent's user-interface thread; ask until the first one is there.
            first = [b""]

            def upload_started():
                first[0] = body_of(get(agent.port, "/getscan/k7/file/127.0.0.1:%d/in" % dying.port,
                                       15))
                return dying.connections > 0

            started = time.monotonic()
            check(wait_for(upload_started, 15, 0.02),
                  "no page was ever uploaded: %r %s" % (first[0], agent.stderr[-3:]))
            failed_reply = first[0]
            took = time.monotonic() - started
            told = failed_reply.startswith(b"DralminScan__callback_k7(")
            FIGURES.add(name, "receiving server reset mid-page: reply", failed_reply.decode(
                errors="replace")[:100], "the callback, no identifier", told)
            FIGURES.add(name, "  until the reply", "%.0f ms" % (took * 1e3))

            # Every page must still be there for a server that stays.
            collected = []

            def all_uploaded():
                reply = body_of(get(agent.port, "/getscan/k7/file/127.0.0.1:%d/in" % good.port, 15))
                if reply:
                    collected.append(reply.decode(errors="replace"))
                return len(good.pages) >= pages

            kept = wait_for(all_uploaded, 15, 0.02)
            whole = all(b"\xff\xd8" in body and body.endswith(b"--\r\n\x00")
                        for body in good.pages)
            FIGURES.add(name, "pages uploaded afterwards to a working server",
                        "%d of %d (%s)" % (len(good.pages), pages, "; ".join(collected)),
                        "all %d" % pages, kept and len(good.pages) == pages)
            FIGURES.add(name, "  each a whole multipart JPEG post", whole, "True", whole)
            serving = serves(agent.port)
            FIGURES.add(name, "serves afterwards", serving, "True", serving)
            check(told, "reply %r" % failed_reply)
            check(kept and len(good.pages) == pages, "pages lost: %d of %d arrived" %
                  (len(good.pages), pages))
            check(whole and serving, "broken uploads or the agent stopped serving")
    finally:
        dying.close()
        good.close()


def scenario_scan_queue_kill():
    name = "scan-queue-kill"
    check(OPTIONS.twain_library, "--twain-library is needed")
    pages = 5
    env = scan_env(pages)
    receiver = ReceivingServer()
    first = Agent(env=env)
    folder = os.path.join(first.home, "data", "Dralmin", "scans")
    second = None
    try:
        check(body_of(get(first.port, "/scan/k7")) == b"", "the scan start was answered")

        def queued():
            return queued_pages(folder)

        check(wait_for(lambda: len(queued()) == pages, 30, 0.02),
              "pages never queued: %s %s" % (queued(), first.stderr[-3:]))
        before = queued()
        os.kill(first.pid, signal.SIGKILL)
        first.process.wait()
        killed = time.monotonic()
        second = Agent(env=env, home=first.home, http_port=first.port)
        back = time.monotonic() - killed
        FIGURES.add(name, "pages on the disk when the agent was killed", "%d of %d" %
                    (len(before), pages), "all %d" % pages, len(before) == pages)
        FIGURES.add(name, "  SIGKILL to the new agent serving", "%.0f ms" % (back * 1e3))
        address = "file/127.0.0.1:%d/in" % receiver.port
        other = body_of(get(second.port, "/getscan/k8/" + address, 15))
        FIGURES.add(name, "another key after the restart", other.decode(errors="replace") or
                    "empty", "empty", other == b"")
        replies = []

        def all_uploaded():
            reply = body_of(get(second.port, "/getscan/k7/" + address, 15))
            if reply:
                replies.append(reply.decode(errors="replace"))
            return len(receiver.pages) >= pages

        uploaded = wait_for(all_uploaded, 30, 0.05)
        time.sleep(0.2)
        extra = body_of(get(second.port, "/getscan/k7/" + address, 15))
        once = len(receiver.pages) == pages and extra == b""
        FIGURES.add(name, "pages uploaded by the new agent under the scan's key", "%d of %d (%s)" %
                    (len(receiver.pages), pages, "; ".join(replies)), "all %d, once each" % pages,
                    uploaded and once)
        keys = [key.decode() for key in receiver.keys]
        distinct = len(set(keys)) == pages and all(keys) and \
            sorted(keys) == sorted(n[:-4] for n in before)
        FIGURES.add(name, "  each with its page's Idempotency-Key (the file name)", distinct, "True",
                    distinct)
        whole = all(b"\xff\xd8" in body and body.endswith(b"--\r\n\x00") for body in receiver.pages)
        FIGURES.add(name, "  each a whole multipart JPEG post", whole, "True", whole)
        left = queued()
        FIGURES.add(name, "page files left afterwards", len(left), "0", not left)
        check(len(before) == pages and other == b"", "pages lost or the key not kept")
        check(uploaded and once and distinct and whole and not left,
              "uploads after the restart: %d pages, keys %s, left %s" %
              (len(receiver.pages), keys, left))
    finally:
        receiver.close()
        if second:
            second.stop()
        else:
            first.stop()


def scan_env(pages):
    # Absolute: the agent works in its program's folder.
    return {"DRALMIN_TWAIN_DSM": os.path.abspath(OPTIONS.twain_library),
            "DRALMIN_TWAIN_SIM_PAGES": ",".join(["24x850x1100"] * pages),
            "DRALMIN_TWAIN_SIM_CLOSE": "1"}


def queued_pages(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".jpg")) \
        if os.path.isdir(folder) else []


def scan_folder(agent):
    return os.path.join(agent.home, "data", "Dralmin", "scans")


def scan_pages(agent, pages, key="k7"):
    """Scans `pages` pages from the simulated source and waits until all are files."""
    check(body_of(get(agent.port, "/scan/" + key)) == b"", "the scan start was answered")
    check(wait_for(lambda: len(queued_pages(scan_folder(agent))) == pages, 30, 0.02),
          "pages never queued: %s %s" % (queued_pages(scan_folder(agent)), agent.stderr[-3:]))


def soft_descriptor_limit(pid):
    return proc_number(pid, "limits", "Max open files", 3)


def scenario_descriptors_getscan():
    name = "descriptors-getscan"
    check(OPTIONS.twain_library, "--twain-library is needed")
    pages = 5
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    # With room above the usual soft limit, the agent takes it.
    with Agent(nofile=(1024, 4096)) as raised:
        limit = soft_descriptor_limit(raised.pid)
    FIGURES.add(name, "soft descriptor limit started with 1024 (hard 4096)", limit, "4096",
                limit == 4096)
    check(limit == 4096, "the soft limit stayed at %d" % limit)
    # Without it, idle connections stop at the cap and leave the queue its files.
    receiver = ReceivingServer()
    try:
        with Agent(env=scan_env(pages), nofile=1024) as agent:
            scan_pages(agent, pages)
            crowd = []
            for _ in range(1100):
                try:
                    crowd.append(socket.create_connection(("127.0.0.1", agent.port), timeout=5))
                except OSError:
                    break
            check(wait_for(lambda: open_fds(agent.pid) >= 900, 10), "the crowd never got in")
            held = open_fds(agent.pid)
            replies = []
            for s in crowd[:20]:  # one that got in before the cap asks for the pages
                s.sendall(b"GET /getscan/k7/file/127.0.0.1:%d/in HTTP/1.1\r\nHost: x\r\n\r\n"
                          % receiver.port)
                s.settimeout(20)
                try:
                    replies.append(body_of(read_reply(s, 20)).decode(errors="replace"))
                    break
                except (socket.timeout, OSError):
                    continue
            refused = 0
            for s in crowd[-20:]:  # past the cap: answered 503, or closed when many are refused
                s.settimeout(5)
                try:
                    answer = s.recv(64)
                    refused += answer == b"" or answer.startswith(b"HTTP/1.1 503")
                except ConnectionResetError:
                    refused += 1
                except OSError:
                    pass
            for s in crowd:
                s.close()
            left = queued_pages(scan_folder(agent))
            FIGURES.add(name, "descriptor limit, idle connections", "1024, %d" % len(crowd))
            FIGURES.add(name, "agent descriptors with the crowd", held, "< 1024", held < 1024)
            FIGURES.add(name, "last 20 connections refused (503 or closed)", refused, "20",
                        refused == 20)
            FIGURES.add(name, "pages uploaded with the crowd in", "%d of %d (%s)" %
                        (len(receiver.pages), pages, "; ".join(replies)), "all %d" % pages,
                        len(receiver.pages) == pages)
            FIGURES.add(name, "page files left or lost", len(left), "0", not left)
            serving = wait_for(lambda: serves(agent.port), 10)
            FIGURES.add(name, "serves once they are gone", serving, "True", serving)
            check(len(receiver.pages) == pages and not left,
                  "pages: %d uploaded, %s left, replies %s" % (len(receiver.pages), left, replies))
            check(held < 1024 and refused == 20 and serving, "the cap did not hold")
    finally:
        receiver.close()


def scenario_read_only_disk():
    name = "read-only-disk"
    check(OPTIONS.twain_library, "--twain-library is needed")
    if os.geteuid() != 0:
        FIGURES.add(name, "skipped", "a read-only mount needs root", "", True)
        return
    pages = 3
    home = tempfile.mkdtemp(prefix="dralmin-load-")
    data = os.path.join(home, "data")
    os.makedirs(data, mode=0o700)
    check(subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0700,size=64m", "tmpfs", data]
                         ).returncode == 0, "no tmpfs for the queue")
    receiver = ReceivingServer()
    agents = []
    try:
        agents.append(Agent(env=scan_env(pages), home=home))
        scan_pages(agents[0], pages)
        subprocess.run(["mount", "-o", "remount,ro", data], check=True)
        address = "/getscan/k7/file/127.0.0.1:%d/in" % receiver.port
        first = body_of(get(agents[0].port, address, 30)).decode(errors="replace")
        said = [line for line in agents[0].stderr if "was sent but cannot be deleted" in line]
        # The agent ends and starts again on the same read-only disk.
        agents[0].process.send_signal(signal.SIGTERM)
        agents[0].process.wait(10)
        agents.append(Agent(env=scan_env(pages), home=home, http_port=agents[0].port))
        again = body_of(get(agents[1].port, address, 30))
        FIGURES.add(name, "pages uploaded from a read-only disk", "%d of %d (%s)" %
                    (len(receiver.pages), pages, first), "all %d" % pages,
                    len(receiver.pages) == pages)
        FIGURES.add(name, "lines: sent but not deletable, listed as sent", len(said),
                    str(pages), len(said) == pages)
        FIGURES.add(name, "after a restart: reply, pages sent again", "%s, %d" %
                    (again.decode(errors="replace") or "empty", len(receiver.pages) - pages),
                    "empty, 0", again == b"" and len(receiver.pages) == pages)
        check(len(receiver.pages) == pages and len(said) == pages and again == b"",
              "uploads %d, lines %d, after the restart %r" % (len(receiver.pages), len(said), again))
    finally:
        receiver.close()
        for agent in agents:
            if agent.process.poll() is None:
                agent.process.kill()
                agent.process.wait()
        subprocess.run(["umount", data])
        subprocess.run(["rm", "-rf", home])


def scenario_damaged_at_start():
    name = "damaged-at-start"
    home = tempfile.mkdtemp(prefix="dralmin-load-")
    folder = os.path.join(home, "data", "Dralmin", "scans")
    os.makedirs(folder, mode=0o700)
    os.chmod(os.path.join(home, "data"), 0o700)
    os.chmod(os.path.join(home, "data", "Dralmin"), 0o700)
    stamp = int(time.time() * 1000)

    def page(number, content=None, link=None):
        path = os.path.join(folder, "page-%010d-%013d-%016x.jpg" % (number, stamp, number))
        if link:
            os.symlink(link, path)
        else:
            with open(path, "wb") as f:
                f.write(content)
            os.chmod(path, 0o600)
        return path

    jpeg = b"\xff\xd8\xff\xe0" + b"an earlier version's page" * 100 + b"\xff\xd9"
    other = os.path.join(home, "another-users-document")
    with open(other, "wb") as f:
        f.write(b"\xff\xd8 not this agent's page \xff\xd9")
    page(1, jpeg)                                # queued by an earlier version: sent
    page(2, b"")                                 # empty
    page(3, jpeg[:len(jpeg) // 2])                # cut short
    page(4, os.urandom(4000))                    # other bytes
    page(5, link=other)                          # a link planted in a page's name
    with open(os.path.join(folder, "scan-key"), "w") as f:
        f.write("k7")
    os.chmod(os.path.join(folder, "scan-key"), 0o600)
    receiver = ReceivingServer()
    try:
        with Agent(home=home) as agent:
            status = exchange(agent.port, b"GET /agent/status HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                              b"Accept: application/json\r\n\r\n" % agent.port)
            warnings = json.loads(body_of(status))["warnings"]
            reply = body_of(get(agent.port, "/getscan/k7/file/127.0.0.1:%d/in" % receiver.port,
                                15)).decode(errors="replace")
            aside = sorted(os.listdir(os.path.join(folder, "damaged")))
            lines = [line for line in agent.stderr if " is damaged (" in line]
            sent_whole = receiver.pages and jpeg in receiver.pages[0]
            FIGURES.add(name, "pages of the earlier format uploaded", "%d of 1 (%s)" %
                        (len(receiver.pages), reply), "1", len(receiver.pages) == 1 and sent_whole)
            FIGURES.add(name, "damaged files moved to damaged/, one line each", "%d, %d" %
                        (len(aside), len(lines)), "4, 4", len(aside) == 4 and len(lines) == 4)
            warned = any("4 damaged scanned page(s)" in w for w in warnings)
            FIGURES.add(name, "status page warns of them", warned, "True", warned)
            untouched = os.path.exists(other) and not os.path.islink(other)
            FIGURES.add(name, "the linked file untouched and not sent", untouched, "True", untouched)
            check(len(receiver.pages) == 1 and sent_whole, "the page of the earlier format: %r" % reply)
            check(len(aside) == 4 and len(lines) == 4 and warned and untouched,
                  "aside %s, lines %s, warnings %s" % (aside, lines, warnings))
    finally:
        receiver.close()


# ---------------------------------------------------------------------------------------------
# Large bodies from many peers at once, and from a page that is refused


def send_body(port, head, size, replies, index):
    """Sends the head and `size` bytes of body (as far as the agent takes them) on a connection
    of its own, and puts the status line of the reply, or what happened, in replies[index]."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)

    def read():
        try:
            replies[index] = (read_reply(s, 30).split(b"\r\n", 1)[0] or b"closed").decode()
        except OSError:
            pass  # closed here while the agent still held the body

    reader = threading.Thread(target=read, daemon=True)
    replies[index] = "no reply"
    chunk = b"x" * (1 << 20)
    try:
        s.sendall(head)
        reader.start()
        sent = 0
        while sent < size:
            s.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass  # the agent stopped reading after its refusal
    return s, reader


def scenario_hostile_bodies():
    name = "hostile-bodies"
    allowed = "http://shop.example"
    with Agent(env={"DRALMIN_ALLOWED_ORIGINS": allowed}) as agent:
        before = rss_kib(agent.pid)
        peak = [before]
        sampling = threading.Event()

        def sample():
            while not sampling.is_set():
                peak[0] = max(peak[0], rss_kib(agent.pid))
                time.sleep(0.01)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        # Eight pages each announce just under the 64 MB limit of one body and send 60 MB of it.
        started = time.monotonic()
        head = (b"POST /print HTTP/1.1\r\nOrigin: " + allowed.encode() +
                b"\r\nContent-Length: 67108854\r\n\r\n")
        replies = [None] * 8
        senders = [threading.Thread(target=lambda i=i: held.append(
            send_body(agent.port, head, 60 << 20, replies, i))) for i in range(8)]
        held = []
        for t in senders:
            t.start()
        for t in senders:
            t.join(60)
        flood_seconds = time.monotonic() - started
        busy = sum(r == "HTTP/1.1 503 Service Unavailable" for r in replies if r)
        serving_meanwhile = serves(agent.port, allowed)
        with_bodies = peak[0]
        # A refused page with an 85 MB body: the refusal comes from the head alone.
        refused = [None]
        started = time.monotonic()
        s, reader = send_body(agent.port, b"POST /print HTTP/1.1\r\nOrigin: http://evil.example"
                              b"\r\nContent-Length: 89128960\r\n\r\n", 85 << 20, refused, 0)
        reader.join(30)
        refusal_seconds = time.monotonic() - started
        s.close()
        for connection, _ in held:
            connection.close()
        sampling.set()
        sampler.join()
        serving = serves(agent.port, allowed)
        bound = before + 128 * 1024
        FIGURES.add(name, "replies to eight bodies of 64 MB at once",
                    ", ".join(sorted(set(r or "none" for r in replies))))
        FIGURES.add(name, "of them refused as over the body budget (96 MB)", busy, "7", busy == 7)
        FIGURES.add(name, "flood sent in", "%.1f s" % flood_seconds)
        FIGURES.add(name, "served others meanwhile", serving_meanwhile, "True", serving_meanwhile)
        FIGURES.add(name, "refused origin, 85 MB body", "%s after %.2f s" %
                    (refused[0], refusal_seconds), "403", refused[0] == "HTTP/1.1 403 Forbidden")
        FIGURES.add(name, "resident memory before / peak", "%d / %d KiB (%d after the flood)" %
                    (before, peak[0], with_bodies), "< %d KiB" % bound,
                    None if SANITIZED else peak[0] < bound)
        FIGURES.add(name, "serves afterwards", serving, "True", serving)
        check(busy == 7, "replies to the eight: %s" % replies)
        check(refused[0] == "HTTP/1.1 403 Forbidden", "the refused page got %r" % refused[0])
        check(SANITIZED or peak[0] < bound, "resident memory reached %d KiB" % peak[0])
        check(serving_meanwhile and serving, "the agent stopped serving")


SCENARIOS = {
    "soak": scenario_soak,
    "idle-crowd": scenario_idle_crowd,
    "descriptors-exhausted": scenario_descriptors_exhausted,
    "barrage": scenario_barrage,
    "sigkill": scenario_sigkill,
    "crash-loop": scenario_crash_loop,
    "scale-vanishes": scenario_scale_vanishes,
    "printer-vanishes": scenario_printer_vanishes,
    "upload-server-dies": scenario_upload_server_dies,
    "scan-queue-kill": scenario_scan_queue_kill,
    "hostile-bodies": scenario_hostile_bodies,
    "descriptors-getscan": scenario_descriptors_getscan,
    "read-only-disk": scenario_read_only_disk,
    "damaged-at-start": scenario_damaged_at_start,
}


def write_markdown(path, results):
    import platform
    load = open("/proc/loadavg").read().split()[:3]
    commit = subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse",
                             "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    lines = [
        "# Reliability under load and faults",
        "",
        "Regenerated by `scripts/reliability.sh`. Every figure comes from the real agent program",
        "on loopback, started headless with a private home by `tests/load/agent_load.py`; CI runs",
        "the same scenarios (CTest label `load`) with a shorter soak.",
        "",
        "Conditions: %s, %d cores, load average %s at the start, commit %s, %s." %
        (platform.node() or "this machine", os.cpu_count(), " ".join(load), commit or "?",
         time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())),
        "",
    ]
    for scenario, passed in results:
        lines += ["## %s: %s" % (scenario, "passed" if passed else "FAILED"), "",
                  "| figure | value | target | |", "|---|---|---|---|"]
        for row in FIGURES.rows:
            if row["scenario"] != scenario:
                continue
            mark = "" if row["ok"] is None else ("met" if row["ok"] else "**missed**")
            value = str(row["value"]).replace("|", "\\|")
            lines.append("| %s | %s | %s | %s |" % (row["figure"].strip(), value,
                                                     row["target"], mark))
        lines.append("")
    marker = "<!-- notes -->"
    if os.path.exists(path):
        # Hand-written notes after the marker survive regeneration.
        with open(path) as f:
            old = f.read()
        if marker in old:
            lines += [marker + old.split(marker, 1)[1].rstrip("\n"), ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main():
    global OPTIONS, SANITIZED
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--agent", required=True)
    parser.add_argument("--scale-simulator")
    parser.add_argument("--twain-library", help="the simulated scanner manager library")
    parser.add_argument("--printer-simulator",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             "../../simulators/printer/fake_label_printer.py"))
    parser.add_argument("--soak-seconds", type=float, default=60)
    parser.add_argument("--barrage-rounds", type=int, default=20)
    parser.add_argument("--crash-loop-seconds", type=float, default=4)
    parser.add_argument("--sanitized", action="store_true",
                        help="the agent carries a sanitizer: no memory checks, looser timings")
    parser.add_argument("--json")
    parser.add_argument("--markdown")
    parser.add_argument("scenarios", nargs="+")
    OPTIONS = parser.parse_args()
    SANITIZED = OPTIONS.sanitized
    names = list(SCENARIOS) if OPTIONS.scenarios == ["all"] else OPTIONS.scenarios
    results = []
    for scenario in names:
        print("== %s" % scenario, flush=True)
        try:
            SCENARIOS[scenario]()
            results.append((scenario, True))
        except (CheckFailed, OSError, subprocess.SubprocessError) as error:
            print("FAILED: %s: %s" % (scenario, error), flush=True)
            for agent in AGENTS:
                for line in agent.stderr[-40:]:
                    print("  agent %d: %s" % (agent.pid, line), flush=True)
            results.append((scenario, False))
        AGENTS.clear()
    if OPTIONS.json:
        with open(OPTIONS.json, "w") as f:
            json.dump({"results": results, "figures": FIGURES.rows}, f, indent=1)
    if OPTIONS.markdown:
        write_markdown(OPTIONS.markdown, results)
    return 0 if all(passed for _, passed in results) else 1


if __name__ == "__main__":
    sys.exit(main())

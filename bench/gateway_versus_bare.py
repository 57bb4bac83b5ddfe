#!/usr/bin/env python3
"""The agent's server against a bare Beast server (bench/BareBeastServer.cpp), in one run.

Both serve "/barcode" with the same bytes on loopback. wrk measures them in turns, the order
swapped every round so that neither always runs first, at 1 and at 50 keep-alive connections;
the figure is the agent's rate over the bare server's. With --callgrind it also counts the
instructions each spends on a request under valgrind, which the machine's other work does not
move.

    gateway_versus_bare.py --build DIR [--rounds N] [--seconds S] [--callgrind]
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/load"))
import agent_load  # noqa: E402  (the agent runner)

CONNECTIONS = (1, 50)


class BareServer:
    """bench/BareBeastServer.cpp on a free port, optionally under a wrapper such as valgrind."""

    def __init__(self, program, prefix=()):
        self.process = subprocess.Popen([*prefix, program, "0"], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.port = int(self.process.stdout.readline())
        self.pid = self.process.pid
        agent_load.check(agent_load.wait_for(lambda: agent_load.serves(self.port), 60),
                         "the bare server never served")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(60)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.poll() is None:
            self.stop()


def wrk(port, connections, seconds):
    """Requests per second, and the number of requests."""
    out = subprocess.run(["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds,
                          "http://127.0.0.1:%d/barcode" % port],
                         capture_output=True, text=True, check=True).stdout
    agent_load.check("Non-2xx" not in out and "Socket errors" not in out, "wrk saw errors:\n" + out)
    return (float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
            int(re.search(r"(\d+) requests in", out).group(1)))


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def same_reply(agent_port, bare_port):
    raw = b"GET /barcode HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    ours, theirs = agent_load.exchange(agent_port, raw), agent_load.exchange(bare_port, raw)
    agent_load.check(ours == theirs == agent_load.EMPTY_REPLY,
                     "the replies differ: %r and %r" % (ours, theirs))


def rate_and_cpu(server, connections, seconds):
    """Requests per second, and the server's CPU time (user and system) a request in seconds."""
    ticks = agent_load.cpu_ticks(server.pid)
    rate, requests = wrk(server.port, connections, seconds)
    return rate, (agent_load.cpu_ticks(server.pid) - ticks) / os.sysconf("SC_CLK_TCK") / requests


def rates(agent_program, bare_program, rounds, seconds):
    """{connections: [((agent rate, agent CPU a request), (bare rate, bare CPU)), ...]} over
    alternating rounds."""
    result = {c: [] for c in CONNECTIONS}
    with agent_load.Agent() as agent, BareServer(bare_program) as bare:
        same_reply(agent.port, bare.port)
        for port in (agent.port, bare.port):  # warm both: first connections, page cache
            wrk(port, 50, 1)
        for round_ in range(rounds):
            for connections in CONNECTIONS:
                order = (agent, bare) if round_ % 2 == 0 else (bare, agent)
                measured = {server: rate_and_cpu(server, connections, seconds) for server in order}
                ours, theirs = measured[agent], measured[bare]
                result[connections].append((ours, theirs))
                print("  round %d, %2d connection%s: agent %.0f/s (%.1f us CPU a request), "
                      "bare %.0f/s (%.1f us), %.3fx" % (
                          round_ + 1, connections, "s" if connections > 1 else " ", ours[0],
                          ours[1] * 1e6, theirs[0], theirs[1] * 1e6, ours[0] / theirs[0]),
                      flush=True)
    return result


def summary(pairs):
    """The median of the rounds' rate ratios, every ratio, and the median CPU time a request
    of each server."""
    ratios = [ours[0] / theirs[0] for ours, theirs in pairs]
    return (statistics.median(ratios), ratios, statistics.median(ours[1] for ours, _ in pairs),
            statistics.median(theirs[1] for _, theirs in pairs))


def callgrind_total(start, seconds, connections):
    """Instructions of one whole run of a server under callgrind, with `connections` wrk
    connections for `seconds` (none when 0), and the number of requests wrk saw answered."""
    folder = tempfile.mkdtemp(prefix="dralmin-callgrind-")
    out = os.path.join(folder, "callgrind.out")
    prefix = ("valgrind", "--tool=callgrind", "--callgrind-out-file=" + out)
    server = start(prefix)
    requests = 0
    try:
        if seconds:
            requests = wrk(server.port, connections, seconds)[1]
    finally:
        server.stop()
    with open(out) as f:
        total = int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))
    subprocess.run(["rm", "-rf", folder])
    return total, requests


def instructions_per_request(start, connections, seconds):
    """Instructions a request costs: a run with load less a run without, over the requests."""
    idle, _ = callgrind_total(start, 0, connections)
    busy, requests = callgrind_total(start, seconds, connections)
    return (busy - idle) / requests, requests


def start_agent(prefix, program):
    """The agent under `prefix`, through a wrapper script, as agent_load starts it."""
    wrapper = tempfile.NamedTemporaryFile("w", suffix=".sh", delete=False)
    wrapper.write("#!/bin/sh\nexec %s %s \"$@\"\n" % (" ".join(prefix), program))
    wrapper.close()
    os.chmod(wrapper.name, 0o755)
    agent_load.OPTIONS.agent = wrapper.name
    try:
        agent = agent_load.Agent(wait=False)
        agent_load.check(agent_load.wait_for(lambda: agent_load.serves(agent.port), 120),
                         "the agent never served under valgrind")
    finally:
        agent_load.OPTIONS.agent = program
        os.unlink(wrapper.name)

    class Stoppable:
        port = agent.port

        @staticmethod
        def stop():
            agent.process.send_signal(signal.SIGTERM)
            agent.process.wait(60)
            agent.stop()
    return Stoppable


def callgrind(agent_program, bare_program, seconds=10):
    """{connections: (agent instructions, bare instructions, agent requests, bare requests)}."""
    result = {}
    for connections in CONNECTIONS:
        ours, ours_n = instructions_per_request(
            lambda prefix: start_agent(prefix, agent_program), connections, seconds)
        theirs, theirs_n = instructions_per_request(
            lambda prefix: BareServer(bare_program, prefix), connections, seconds)
        result[connections] = (ours, theirs, ours_n, theirs_n)
        print("  callgrind, %2d connection%s: agent %.0f, bare %.0f instructions a request "
              "(%.3f)" % (connections, "s" if connections > 1 else " ", ours, theirs,
                          ours / theirs), flush=True)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=6, help="0: callgrind only")
    parser.add_argument("--seconds", type=int, default=5, help="length of each wrk run")
    parser.add_argument("--callgrind", action="store_true")
    options = parser.parse_args()
    agent_program = os.path.join(options.build, "app/dralmin-tray-agent")
    bare_program = os.path.join(options.build, "bench/bare_beast_server")
    agent_load.OPTIONS = argparse.Namespace(agent=agent_program)
    if options.rounds:
        print("load average %s at the start" % load_average(), flush=True)
        measured = rates(agent_program, bare_program, options.rounds, options.seconds)
        for connections, pairs in measured.items():
            median, ratios, ours, theirs = summary(pairs)
            print("%2d connection%s: agent over bare, median %.3fx (%s); CPU a request, median: "
                  "agent %.1f us, bare %.1f us" % (
                      connections, "s" if connections > 1 else " ", median,
                      ", ".join("%.3f" % r for r in ratios), ours * 1e6, theirs * 1e6))
        print("load average %s at the end" % load_average(), flush=True)
    if options.callgrind:
        callgrind(agent_program, bare_program)
    return 0


if __name__ == "__main__":
    sys.exit(main())

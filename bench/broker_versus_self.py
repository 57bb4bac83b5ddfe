#!/usr/bin/env python3
"""Connections through the port broker against an agent that holds its ports itself, in one run.

Two real agents of this user serve "/barcode": one holds its own ports, the other is registered
with a port broker (broker/) that holds another pair of ports and passes it every connection.
wrk measures them in turns, the order swapped every round, with a new connection for every
request (where the broker's handover costs) and with keep-alive connections (where a connection,
once handed over, is the agent's own), at 1 and at 50 connections; the figure is the broker's
rate over the agent's own.

    broker_versus_self.py --build DIR [--rounds N] [--seconds S]
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/load"))
import agent_load  # noqa: E402  (the agent runner)

KINDS = (("new connections", True, 1), ("new connections", True, 50),
         ("keep-alive", False, 1), ("keep-alive", False, 50))


def wrk(port, connections, seconds, fresh):
    """Requests per second and requests; `fresh` asks for a new connection for every request."""
    argv = ["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds]
    if fresh:
        argv += ["-H", "Connection: close"]
    out = subprocess.run(argv + ["http://127.0.0.1:%d/barcode" % port], capture_output=True,
                         text=True, check=True).stdout
    agent_load.check("Non-2xx" not in out, "wrk saw errors:\n" + out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    # A server that closes after its reply shows as read errors to wrk; nothing else may fail.
    agent_load.check(not errors or (errors.group(1), errors.group(3), errors.group(4)) ==
                     ("0", "0", "0"), "wrk saw errors:\n" + out)
    return (float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
            int(re.search(r"(\d+) requests in", out).group(1)))


def measure(port, pids, connections, seconds, fresh):
    """Requests per second, and the CPU time (user and system) of the processes `pids` a
    request, in seconds: a figure the machine's other work moves far less than the rate."""
    ticks = sum(agent_load.cpu_ticks(pid) for pid in pids)
    rate, requests = wrk(port, connections, seconds, fresh)
    used = sum(agent_load.cpu_ticks(pid) for pid in pids) - ticks
    return rate, used / os.sysconf("SC_CLK_TCK") / requests


class Broker:
    def __init__(self, program, http_port, https_port):
        self.folder = tempfile.mkdtemp(prefix="dralmin-broker-")
        os.chmod(self.folder, 0o755)
        self.socket = os.path.join(self.folder, "broker.sock")
        self.process = subprocess.Popen(
            [program, "--http-port", str(http_port), "--https-port", str(https_port),
             "--socket", self.socket], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        agent_load.check(agent_load.wait_for(lambda: os.path.exists(self.socket), 10),
                         "the broker never opened its rendezvous")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        subprocess.run(["rm", "-rf", self.folder])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--seconds", type=int, default=3, help="length of each wrk run")
    options = parser.parse_args()
    agent_load.OPTIONS = argparse.Namespace(agent=os.path.join(options.build,
                                                               "app/dralmin-tray-agent"))
    http_port, https_port = agent_load.free_port(), agent_load.free_port()
    broker = Broker(os.path.join(options.build, "broker/dralmin-port-broker"), http_port,
                    https_port)
    results = {kind: [] for kind in KINDS}
    try:
        with agent_load.Agent(env={"DRALMIN_PORT_BROKER": "/nonexistent"}) as own, \
                agent_load.Agent(http_port=http_port,
                                 env={"DRALMIN_PORT_BROKER": broker.socket,
                                      "DRALMIN_HTTPS_PORT": str(https_port)}) as brokered:
            agent_load.check(agent_load.wait_for(lambda: any(
                "held by the port broker" in line for line in brokered.stderr), 10),
                "the second agent is not the broker's:\n" + "\n".join(brokered.stderr))
            for port in (own.port, http_port):
                wrk(port, 50, 1, False)
            pids = {own.port: [own.pid], http_port: [brokered.pid, broker.process.pid]}
            for round_ in range(options.rounds):
                for kind in KINDS:
                    name, fresh, connections = kind
                    ports = (own.port, http_port) if round_ % 2 == 0 else (http_port, own.port)
                    got = {port: measure(port, pids[port], connections, options.seconds, fresh)
                           for port in ports}
                    results[kind].append((got[http_port], got[own.port]))
                    print("  round %d, %s, %2d: broker %.0f/s (%.1f us CPU a request), own "
                          "%.0f/s (%.1f us), %.3fx" % (
                              round_ + 1, name, connections, got[http_port][0],
                              got[http_port][1] * 1e6, got[own.port][0], got[own.port][1] * 1e6,
                              got[http_port][0] / got[own.port][0]), flush=True)
    finally:
        broker.stop()
    for (name, _, connections), pairs in results.items():
        ratios = [b[0] / o[0] for b, o in pairs]
        print("%s, %2d connection%s: broker %.0f/s, own %.0f/s (medians), broker over own "
              "median %.3fx (%s); CPU a request, median: broker and its agent %.1f us, own "
              "%.1f us" % (
                  name, connections, "s" if connections > 1 else " ",
                  statistics.median(b[0] for b, _ in pairs),
                  statistics.median(o[0] for _, o in pairs), statistics.median(ratios),
                  ", ".join("%.3f" % r for r in ratios),
                  statistics.median(b[1] for b, _ in pairs) * 1e6,
                  statistics.median(o[1] for _, o in pairs) * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())

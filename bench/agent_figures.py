#!/usr/bin/env python3
"""Speed figures of the agent, each next to its target, written as docs/performance.md.

Runs wrk against the real program on loopback (plain and TLS, 1 and 50 keep-alive connections,
new connections), measures start-up, idle CPU, wake-ups and memory from /proc, and runs the
Google Benchmark programs of the build.

    agent_figures.py --build DIR --markdown FILE [--seconds N]
"""

import argparse
import json
import os
import platform
import re
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/load"))
import agent_load  # noqa: E402  (the agent runner and the certificate helpers)
import gateway_versus_bare  # noqa: E402

ROWS = []  # (section, figure, value, target, met or None)


def add(section, figure, value, target="", met=None):
    ROWS.append((section, figure, value, target, met))
    mark = "" if met is None else ("  [met]" if met else "  [MISSED]")
    print("  %-52s %s%s" % (figure, value, mark), flush=True)


def seconds_of(text):
    number, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
    return float(number) * {"us": 1e-6, "ms": 1e-3, "s": 1.0}[unit]


def wrk(url, connections, seconds, extra=()):
    """Requests per second and the 50/90/99 % latencies in seconds."""
    out = subprocess.run(["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds, "--latency",
                          *extra, url], capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    percentiles = {p: seconds_of(v) for p, v in re.findall(r"\s(50|90|99)%\s+([\d.]+\w+)", out)}
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rate, percentiles, (errors.group(1) if errors else "") + (
        " non-2xx %s" % non2xx.group(1) if non2xx else "")


def ms(value):
    return "%.3f ms" % (value * 1e3) if value < 0.01 else "%.1f ms" % (value * 1e3)


def thread_switches(pid):
    """Context switches per thread (a blocked thread that runs again is one wake-up)."""
    total = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
        except OSError:
            continue
        total["%s/%s" % (name, tid)] = (int(fields["voluntary_ctxt_switches"]) +
                                        int(fields["nonvoluntary_ctxt_switches"]))
    return total


def memory_split(pid):
    """Resident KiB split into the agent's own anonymous pages and its proportional share."""
    values = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                values[parts[0][:-1]] = int(parts[1])
    return "anonymous %.1f MiB, file-backed %.1f MiB, proportional %.1f MiB" % (
        values.get("Anonymous", 0) / 1024, (values["Rss"] - values.get("Anonymous", 0)) / 1024,
        values.get("Pss", 0) / 1024)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def server_figures(options):
    section = "Server (the real agent, headless)"
    seconds = options.seconds
    folder = tempfile.mkdtemp(prefix="dralmin-perf-")
    agent_load.make_certificates(folder)
    certificates = agent_load.CertificateServer(folder)
    try:
        with agent_load.Agent(env={"DRALMIN_CERT_BASE_URL": certificates.url}) as agent:
            cafile = folder + "/ca.crt"
            agent_load.check(agent_load.wait_for(
                lambda: agent_load.https_serves(agent.https_port, cafile), 20),
                "HTTPS did not come up")
            time.sleep(2)
            idle_rss = agent_load.rss_kib(agent.pid)
            idle_split = memory_split(agent.pid)

            # Idle: no request for 10 s.
            before_cpu, before_switches = cpu_seconds(agent.pid), thread_switches(agent.pid)
            time.sleep(10)
            after_cpu, after_switches = cpu_seconds(agent.pid), thread_switches(agent.pid)
            cpu = (after_cpu - before_cpu) / 10 * 100
            wakes = {k: after_switches[k] - before_switches.get(k, 0) for k in after_switches}
            per_second = sum(wakes.values()) / 10
            busiest = ", ".join("%s %d" % (k.split("/")[0], v) for k, v in
                                sorted(wakes.items(), key=lambda kv: -kv[1]) if v)
            add(section, "idle CPU over 10 s", "%.1f %%" % cpu, "0.0 %", cpu < 0.05)
            add(section, "idle wake-ups", "%.1f /s (%s)" % (per_second, busiest or "none"),
                "<= 1 /s", per_second <= 1.05)
            add(section, "resident memory idle", "%.1f MiB (%s)" % (idle_rss / 1024, idle_split),
                "< 20 MiB", idle_rss < 20 * 1024)

            plain = "http://127.0.0.1:%d/barcode" % agent.port
            secure = "https://127.0.0.1:%d/barcode" % agent.https_port
            for label, url in (("HTTP", plain), ("HTTPS", secure)):
                for connections, target in ((1, 13000), (50, 90000)):
                    rate, p, errors = wrk(url, connections, seconds)
                    goal = target if label == "HTTP" else None
                    add(section, "%s /barcode, %d keep-alive connection%s: requests/s" %
                        (label, connections, "s" if connections > 1 else ""),
                        "%.0f%s" % (rate, (" (" + errors.strip() + ")") if errors else ""),
                        ">= %d" % goal if goal else "", rate >= goal if goal else None)
                    p99_goal = label == "HTTP" and connections == 1
                    add(section, "  latency p50 / p90 / p99", "%s / %s / %s" %
                        (ms(p["50"]), ms(p["90"]), ms(p["99"])),
                        "p99 < 1 ms" if p99_goal else "",
                        p["99"] < 1e-3 if p99_goal else None)
            rate, p, errors = wrk(plain, 4, seconds, ("-H", "Connection: close"))
            add(section, "new HTTP connections (one request each, 4 at a time)",
                "%.0f /s, p50 %s" % (rate, ms(p["50"])))

            # A new TLS connection and its first reply, one after another.
            context = ssl.create_default_context(cafile=cafile)
            samples = []
            for _ in range(200):
                started = time.perf_counter()
                with socket.create_connection(("127.0.0.1", agent.https_port)) as raw:
                    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    with context.wrap_socket(raw, server_hostname="localhost") as s:
                        s.sendall(b"GET /barcode HTTP/1.1\r\nHost: localhost\r\n\r\n")
                        reply = agent_load.read_reply(s)
                samples.append(time.perf_counter() - started)
                agent_load.check(reply == agent_load.EMPTY_REPLY, "wrong TLS reply")
            median = statistics.median(samples)
            add(section, "new TLS connection + first reply (P-256, TLS 1.3)",
                "median %s, p90 %s" % (ms(median), ms(sorted(samples)[179])), "median < 3 ms",
                median < 3e-3)
            loaded_rss = agent_load.rss_kib(agent.pid)
            add(section, "resident memory after the load above", "%.1f MiB (%s)" %
                (loaded_rss / 1024, memory_split(agent.pid)), "< 30 MiB", loaded_rss < 30 * 1024)
    finally:
        certificates.close()
        subprocess.run(["rm", "-rf", folder])


def start_figures():
    section = "Start-up"
    samples = []
    stops = []
    for _ in range(7):
        agent = agent_load.Agent(wait=False)
        try:
            agent_load.check(agent_load.wait_for(lambda: agent_load.serves(agent.port), 10, 0.001),
                             "never served")
            samples.append(time.monotonic() - agent.started)
            # A keep-alive connection stays open while the agent is told to stop.
            with socket.create_connection(("127.0.0.1", agent.port)) as s:
                s.sendall(b"GET /barcode HTTP/1.1\r\n\r\n")
                agent_load.read_reply(s)
                stopping = time.monotonic()
                agent_load.check(agent.stop() == 0, "did not stop cleanly")
                stops.append(time.monotonic() - stopping)
        finally:
            agent.stop()
    median = statistics.median(samples)
    add(section, "start to first answer, certificate server refusing",
        "median %s (of %d; min %s, max %s)" % (ms(median), len(samples), ms(min(samples)),
                                                 ms(max(samples))), "< 100 ms", median < 0.1)
    median = statistics.median(stops)
    add(section, "SIGTERM to exit with a keep-alive connection open",
        "median %s (of %d; max %s)" % (ms(median), len(stops), ms(max(stops))), "< 500 ms",
        median < 0.5)


def benchmark(program, pattern, repetitions=1):
    argv = [program, "--benchmark_filter=" + pattern, "--benchmark_format=json",
            "--benchmark_min_time=1"]
    if repetitions > 1:
        argv += ["--benchmark_repetitions=%d" % repetitions,
                 "--benchmark_report_aggregates_only=true"]
    out = subprocess.run(argv, capture_output=True, text=True, check=True)
    runs = json.loads(out.stdout)["benchmarks"]
    if repetitions > 1:
        runs = [b for b in runs if b.get("aggregate_name") == "median"]
    # Names lose their "/real_time" and similar suffixes, so that callers can ask for the plain one.
    return {b["run_name"].replace("/real_time", ""): b for b in runs}


def in_process_figures(build):
    section = "In-process (Google Benchmark)"
    bench = os.path.join(build, "bench")
    # Medians of five: one run of each moves by several per cent on a shared machine.
    results = benchmark(os.path.join(bench, "scanning_bench"), "A4Colour", repetitions=5)
    # CPU time: on a shared machine the wall clock also counts the time spent waiting for a core.
    convert = results["BM_ConvertA4Colour"]["cpu_time"]
    bare = results["BM_BareEncodeA4Colour"]["cpu_time"]
    ratio = convert / bare
    add(section, "A4 300 dpi 24-bit page to JPEG (copy + encode), CPU time",
        "%.1f ms (%.0f kB; wall %.0f ms)" % (convert, results["BM_ConvertA4Colour"]["jpeg_kB"],
                                             results["BM_ConvertA4Colour"]["real_time"]))
    add(section, "  bare libjpeg-turbo encode of the same pixels, CPU time", "%.1f ms (wall %.0f ms)"
        % (bare, results["BM_BareEncodeA4Colour"]["real_time"]))
    add(section, "  conversion over the bare encode", "%+.1f %%" % ((ratio - 1) * 100),
        "<= +5 %", ratio <= 1.05)

    sane = benchmark(os.path.join(bench, "sane_scan_bench"), "TenA4FeederPages")
    agent = sane["BM_AgentTenA4FeederPages/iterations:3/manual_time"]
    scanimage = sane["BM_ScanimageTenA4FeederPages/iterations:3/manual_time"]
    ratio = agent["real_time"] / scanimage["real_time"]
    add(section, "10 feeder pages A4 300 dpi colour (SANE test backend) to the last page queued",
        "%.0f ms (%.0f kB a page)" % (agent["real_time"], agent["page_kB"]))
    add(section, "  scanimage --batch --format=jpeg, the same pages", "%.0f ms" %
        scanimage["real_time"])
    add(section, "  agent over scanimage", "%.2fx" % ratio, "<= 1.0x", ratio <= 1.0)

    upload = benchmark(os.path.join(bench, "scan_upload_bench"), "Upload")["BM_UploadTenA4Pages"]
    add(section, "upload of a 10-page scan to a loopback server", "%.0f ms (%.0f MB/s, %.0f kB a "
        "page)" % (upload["real_time"], upload["bytes_per_second"] / 1e6, upload["page_kB"]))

    labels = benchmark(os.path.join(bench, "label_bench"), "Shelf")
    for name, result in labels.items():
        add(section, "label rendering, shelf label (%s), CPU time" % name.split("/")[-1],
            "%.1f us a label (%d bytes of job)" % (result["cpu_time"], result["job_bytes"]))

    gateway = benchmark(os.path.join(bench, "gateway_bench"), "KeepAlive")
    one = gateway["BM_OneKeepAliveConnection"]["items_per_second"]
    fifty = gateway["BM_FiftyKeepAliveConnections"]["items_per_second"]
    add(section, "gateway alone, 1 keep-alive connection (blocking client)", "%.0f requests/s" % one)
    add(section, "gateway alone, 50 connections in lock-step", "%.0f requests/s" % fifty)


def versus_bare_figures(build, seconds):
    section = "Gateway against a bare Beast server (bench/BareBeastServer.cpp)"
    agent = os.path.join(build, "app/dralmin-tray-agent")
    bare = os.path.join(build, "bench/bare_beast_server")
    rounds = 4
    measured = gateway_versus_bare.rates(agent, bare, rounds, seconds)
    for connections, pairs in measured.items():
        median, ratios, ours, theirs = gateway_versus_bare.summary(pairs)
        add(section, "HTTP /barcode, %d keep-alive connection%s: agent over bare" % (
            connections, "s" if connections > 1 else ""),
            "%.2fx (median of %d alternating rounds: %s; agent %.0f/s, bare %.0f/s)" % (
                median, rounds, ", ".join("%.2f" % r for r in ratios),
                statistics.median(a[0] for a, _ in pairs),
                statistics.median(b[0] for _, b in pairs)),
            ">= 0.98x", median >= 0.98)
        add(section, "  CPU time a request (user and system)", "agent %.1f us, bare %.1f us" % (
            ours * 1e6, theirs * 1e6))
    for connections, (ours, theirs, _, _) in gateway_versus_bare.callgrind(agent, bare).items():
        add(section, "instructions a request (callgrind), %d connection%s" % (
            connections, "s" if connections > 1 else ""),
            "agent %.0f, bare %.0f (%.2fx)" % (ours, theirs, ours / theirs))


def write_markdown(path, conditions):
    lines = [
        "# Performance",
        "",
        "Regenerated by `scripts/performance.sh` (`bench/agent_figures.py`): wrk against the real",
        "agent on loopback, /proc for CPU, wake-ups and memory, and the Google Benchmark programs",
        "under `bench/`. wrk runs with one thread, so it and the agent share the machine's cores.",
        "",
        "Conditions: " + conditions,
        "",
    ]
    section = None
    for row_section, figure, value, target, met in ROWS:
        if row_section != section:
            section = row_section
            lines += ["", "## " + section, "", "| figure | value | target | |", "|---|---|---|---|"]
        mark = "" if met is None else ("met" if met else "**missed**")
        lines.append("| %s | %s | %s | %s |" % (figure.strip(), value, target, mark))
    if os.path.exists(path):
        # Hand-written notes (profiles, explanations) after the marker survive regeneration.
        with open(path) as f:
            old = f.read()
        marker = "<!-- notes -->"
        if marker in old:
            lines += ["", marker + old.split(marker, 1)[1].rstrip("\n")]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--seconds", type=int, default=10, help="length of each wrk run")
    options = parser.parse_args()
    agent_load.OPTIONS = argparse.Namespace(agent=os.path.join(options.build,
                                                                "app/dralmin-tray-agent"))
    load = open("/proc/loadavg").read().split()[:3]
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    conditions = "%s, %d cores, load average %s at the start, commit %s, %s." % (
        platform.node() or "this machine", os.cpu_count(), " ".join(load), commit,
        time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
    print("== start-up", flush=True)
    start_figures()
    print("== server", flush=True)
    server_figures(options)
    print("== against a bare Beast server", flush=True)
    versus_bare_figures(options.build, max(3, options.seconds // 2))
    print("== in-process", flush=True)
    in_process_figures(options.build)
    load_after = open("/proc/loadavg").read().split()[:3]
    write_markdown(options.markdown, conditions[:-1] + "; load average %s at the end." %
                   " ".join(load_after))
    return 0


if __name__ == "__main__":
    sys.exit(main())

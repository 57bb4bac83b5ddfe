#!/usr/bin/env python3
"""The Windows Installer package under Wine, in a prefix of its own: a silent installation with
properties over a package laid out as the earlier 32-bit ones (whose files and registry values it
removes, keeping their settings), the installed agent answering and refusing a page, a policy over
the installer's settings, an upgrade that keeps them, a refused downgrade, a repair, and an
uninstallation that leaves nothing the installations made (the prefix's files and registry compared
before and after).

usage: installer_check.py PREFIX PACKAGE VERSION NEWER_PACKAGE NEWER_VERSION OLD_32_BIT_PACKAGE
                          AGENT_CONTROL
PREFIX is created afresh; WINELOADER and WINESERVER name 64-bit Wine; a display comes from the
caller. AGENT_CONTROL is tests/windows/AgentControl.cpp's program, through which the pages'
requests are sent: the port broker service the package installs hands a connection to the agent
of the session at its other end, and under Wine only a Windows program has one.
"""
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import time

HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\n"
        b"Content-Length: ")
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"
FOLDER = "C:\\Program Files\\Dralmin\\TrayAgent"
WINE = os.environ.get("WINELOADER", "wine")
WINESERVER = os.environ.get("WINESERVER", "wineserver")
AGENT = FOLDER + "\\dralmin-tray-agent.exe"
SETTINGS = "HKLM\\SOFTWARE\\Dralmin\\TrayAgent"
POLICY = "HKLM\\SOFTWARE\\Policies\\Dralmin\\TrayAgent"
RUN = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
CHROME = "HKLM\\SOFTWARE\\Policies\\Google\\Chrome\\LocalNetworkAccessAllowedForUrls"
EDGE = "HKLM\\SOFTWARE\\Policies\\Microsoft\\Edge\\LoopbackNetworkAllowedForUrls"
UNINSTALL = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
BROKER = "dralmin-port-broker"
AGENT_CONTROL = None  # set from the command line

# What Windows Installer keeps of its own (its package cache and bookkeeping), and what Wine
# changes by itself while programs run: not the package's.
OWN_FILES = ("drive_c/windows/",)
OWN_KEYS = ("HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer",
            "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer",
            "HKEY_LOCAL_MACHINE\\System\\",
            "HKEY_LOCAL_MACHINE\\Software\\Wine",
            "HKEY_CURRENT_USER\\Software\\Wine")
# What the uninstallation leaves on purpose: each user's own data.
USER_DATA = ("/AppData/Roaming/Dralmin", "/AppData/Local/Dralmin", "/AppData/Roaming/Veltrana",
             "/AppData/Local/Veltrana", "HKEY_CURRENT_USER\\Software\\Veltrana")

started = time.monotonic()


def fail(what):
    sys.exit(f"FAIL {what}")


def ok(what):
    print(f"ok   {what} ({time.monotonic() - started:.0f} s)")


def wine(*args, check=True):
    done = subprocess.run([WINE, *args], capture_output=True, text=True, errors="replace",
                          stdin=subprocess.DEVNULL)
    if check and done.returncode != 0:
        fail(f"wine {' '.join(args)} ended with {done.returncode}: {done.stderr.strip()}")
    return done


def agent_environment():
    """No setting from the environment: the agent is to take the installed ones."""
    return {k: v for k, v in os.environ.items() if not k.startswith("DRALMIN_")}


def msiexec(*args, ui="/qn"):
    # Not through pipes: an agent the installer starts would hold them open.
    return subprocess.run([WINE, "msiexec", *args, ui], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          env=agent_environment()).returncode


def reg_value(key, name, view="64"):
    """The data of one registry value, or None."""
    done = wine("reg", "query", key, "/v", name, f"/reg:{view}", check=False)
    for line in done.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
            return parts[2] if len(parts) == 3 else ""
    return None


def expect(what, got, wanted):
    if got != wanted:
        fail(f"{what}:\n  got    {got!r}\n  wanted {wanted!r}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, request):
    """The reply, sent from a Windows program. Under Wine the system's TCP table names a socket's
    process only once it has sent, so a connection the broker looked up sooner is closed without
    a reply, and asked again."""
    for _ in range(20):
        done = subprocess.run([WINE, AGENT_CONTROL, "ask", str(port)], input=request,
                              capture_output=True, env=agent_environment())
        if done.stdout:
            return done.stdout
        time.sleep(0.2)
    return b""


def wait_for(condition, what, seconds=120):
    deadline = time.monotonic() + seconds  # Wine's first start of a program is slow
    while not condition():
        if time.monotonic() > deadline:
            fail(f"{what} within {seconds} s")
        time.sleep(0.2)


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def answering(port):
    """An agent answers on the port (the broker holds it whether one is registered or not)."""
    return exchange(port, b"GET /barcode HTTP/1.1\r\nHost: x\r\n\r\n").startswith(b"HTTP/1.1 ")


def service_state():
    """The broker service's state as `sc query` shows it, or None when there is no such service."""
    done = wine("sc", "query", BROKER, check=False)
    for line in done.stdout.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return None


def ports_holder(port):
    """What the status page says of who holds the plain port."""
    status = exchange(port, b"GET /agent/status HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port +
                            b"Accept: application/json\r\n\r\n")
    return b"held by the port broker" in status


def start_agent():
    """The watchdog as the Run key starts it."""
    return subprocess.Popen([WINE, AGENT], env=agent_environment(), stdin=subprocess.DEVNULL)


def stop_agents(watchdog):
    wine(AGENT, "stop-all")
    try:
        watchdog.wait(timeout=60)
    except subprocess.TimeoutExpired:
        fail("the watchdog did not end at stop-all")


def snapshot(prefix):
    wine("wineboot", "--shutdown", check=False)  # the registry files are written when it ends
    subprocess.run([WINESERVER, "-w"])
    files = set()
    for folder, _, names in os.walk(os.path.join(prefix, "drive_c")):
        relative = os.path.relpath(folder, prefix)
        files.add(relative)
        files.update(os.path.join(relative, name) for name in names)
    entries = set()
    for hive, root in (("system.reg", "HKEY_LOCAL_MACHINE\\"), ("user.reg", "HKEY_CURRENT_USER\\")):
        key = None
        with open(os.path.join(prefix, hive), encoding="utf-8", errors="replace") as file:
            for line in file:
                if line.startswith("["):
                    key = root + line[1:line.index("]")].replace("\\\\", "\\")
                    entries.add(key)
                elif key and line.startswith('"'):
                    entries.add(key + "\\" + line[1:line.index('"', 1)])
    return files | entries


def left_behind(before, after):
    return sorted(item for item in after - before
                  if not item.startswith(OWN_FILES + OWN_KEYS)
                  and not any(part.lower() in item.lower() for part in USER_DATA))


def barcode_driver(port):
    """The status page's line on the barcode scanner driver."""
    status = exchange(port, b"GET /agent/status HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port +
                            b"Accept: application/json\r\n\r\n")
    devices = json.loads(status.partition(b"\r\n\r\n")[2])["devices"]
    return [row["value"] for row in devices if row["name"] == "barcode: scanner driver"]


def main():
    global AGENT_CONTROL
    prefix, package, version, newer, newer_version, old_32_bit, AGENT_CONTROL = sys.argv[1:8]
    shutil.rmtree(prefix, ignore_errors=True)
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    wine("wineboot", "--init")
    before = snapshot(prefix)

    # What the 32-bit packages installed, with a setting of their own.
    expect("the 32-bit layout's installation status",
           msiexec("/i", old_32_bit, "LOG_LEVEL=debug", "ALLOWED_ORIGINS=https://old.example",
                   "ADDLOCAL=ALL"), 0)
    expect("log_level in the 32-bit view", reg_value(SETTINGS, "log_level", view="32"), "debug")
    old_folder = os.path.join(prefix, "drive_c/Program Files (x86)/Dralmin")
    if not os.path.isdir(old_folder):
        fail("the 32-bit layout installed nothing into Program Files (x86)")

    port, https_port = free_port(), free_port()
    status = msiexec("/i", package, "ALLOWED_ORIGINS=https://shop.example",
                     f"HTTP_PORT={port}", f"HTTPS_PORT={https_port}",
                     "CERT_BASE_URL=http://127.0.0.1:9/dist/cert/",
                     "SCAN_MODE=sepia",  # not a mode: the agent says so, the installation completes
                     "BROWSER_POLICIES=1", "ADDLOCAL=ALL")
    expect("silent installation's status", status, 0)
    if os.path.exists(old_folder):
        fail("the upgrade from the 32-bit layout left Program Files (x86)\\Dralmin")
    expect("the 32-bit view's settings after the upgrade",
           reg_value(SETTINGS, "log_level", view="32"), None)
    expect("log_level kept from the 32-bit layout", reg_value(SETTINGS, "log_level"), "debug")
    expect("Run entry", reg_value(RUN, "DralminTrayAgent"), f'"{AGENT}"')
    expect("allowed_origins given", reg_value(SETTINGS, "allowed_origins"), "https://shop.example")
    expect("scan_mode given", reg_value(SETTINGS, "scan_mode"), "sepia")
    expect("Chrome's policy", reg_value(CHROME, "1", view="64"), "https://shop.example")
    expect("Edge's policy", reg_value(EDGE, "1", view="64"), "https://shop.example")
    # The simulators, chosen: the simulated scanner where the TWAIN manager looks for sources (the
    # simulated barcode driver's registration shows below, when the agent finds it).
    if not os.path.exists(os.path.join(prefix, "drive_c/windows/twain_64/sane.ds")):
        fail("the Simulators feature put no sane.ds in C:\\windows\\twain_64")
    ok("silent installation with properties over the 32-bit layout: its files and registry "
       "values gone, its settings kept; files, Run entry, settings, browser policies, simulators")

    # The port broker, a service of the package, holds the ports given and hands each session's
    # connections to its agent.
    expect("the port broker service's state after the installation", service_state(), "RUNNING")
    watchdog = start_agent()
    wait_for(lambda: answering(port), "the installed agent answering on HTTP_PORT")
    expect("/barcode", exchange(port, b"GET /barcode HTTP/1.1\r\nHost: x\r\n"
                                      b"Origin: https://shop.example\r\n\r\n"), HEAD + b"0\r\n\r\n")
    expect("a page of another origin",
           exchange(port, b"GET /barcode HTTP/1.1\r\nHost: x\r\nOrigin: https://evil.example\r\n\r\n"),
           FORBIDDEN)
    # The agent serves while it connects to the driver, which COM starts first.
    wait_for(lambda: barcode_driver(port) != ["not tried yet"], "the agent trying the driver", 60)
    expect("the simulated barcode driver, which COM started for the agent", barcode_driver(port),
           ["connected"])
    if not ports_holder(port):
        fail("the status page does not say that the port broker holds the ports")
    ok("the port broker service runs; the installed agent, registered with it, answers /barcode "
       "through it, refuses another origin with 403 and has the simulated barcode driver")

    # The policy wins over the installer's value.
    policy_port = free_port()
    wine("reg", "add", POLICY, "/v", "http_port", "/t", "REG_DWORD", "/d", str(policy_port),
         "/f", "/reg:64")
    stop_agents(watchdog)
    watchdog = start_agent()
    # The broker holds the installer's ports, not the policy's: the agent holds its own.
    wait_for(lambda: listening(policy_port), "the agent listening on the policy's port")
    if answering(port):
        fail("the agent still answers on the installer's port under a policy")
    ok("a policy value overrides the installer's")

    # An upgrade with the agent running and no properties keeps every setting. With the installer's
    # own window (reduced, as there is no dialog to click), the agent starts again afterwards.
    wine("reg", "add", SETTINGS, "/v", "log_level", "/d", "warning", "/f", "/reg:64")
    expect("upgrade's status", msiexec("/i", newer, ui="/qr"), 0)
    try:
        watchdog.wait(timeout=60)
    except subprocess.TimeoutExpired:
        fail("the upgrade did not stop the running agent")
    wait_for(lambda: listening(policy_port), "the agent started again after the upgrade", 60)
    wine(AGENT, "stop-all")
    wait_for(lambda: not listening(policy_port), "the restarted agent ending at stop-all", 60)
    for name, value in (("allowed_origins", "https://shop.example"), ("http_port", str(port)),
                        ("https_port", str(https_port)), ("log_level", "warning")):
        expect(f"{name} after the upgrade", reg_value(SETTINGS, name), value)
    expect("Chrome's policy after the upgrade", reg_value(CHROME, "1", view="64"),
           "https://shop.example")
    installed = wine("reg", "query", UNINSTALL, "/s", "/reg:64").stdout
    if f"DisplayVersion    REG_SZ    {newer_version}" not in installed:
        fail(f"version {newer_version} not in Apps and features:\n{installed}")
    ok("an upgrade stops the agent, keeps the settings and the browser policies, and starts it again")

    if msiexec("/i", package) == 0:
        fail("the older package installed over the newer one")
    if f"DisplayVersion    REG_SZ    {newer_version}" not in wine(
            "reg", "query", UNINSTALL, "/s", "/reg:64").stdout:
        fail("the refused downgrade changed the installation")
    ok("a downgrade is refused")

    dll = os.path.join(prefix, "drive_c/Program Files/Dralmin/TrayAgent/dralmin.dll")
    os.remove(dll)
    # What "msiexec /fa" asks for; Wine's msiexec takes only this spelling of it.
    expect("repair's status", msiexec("/i", newer, "REINSTALL=ALL", "REINSTALLMODE=a"), 0)
    if not os.path.exists(dll):
        fail("the repair did not restore dralmin.dll")
    ok("a repair restores a deleted file")

    wine("reg", "delete", POLICY.rsplit("\\", 1)[0], "/f", "/reg:64")  # the test's own

    # A user's own data, which the uninstallation removes only when asked to.
    roaming = [p for p in glob.glob(os.path.join(prefix, "drive_c/users/*/AppData/Roaming"))
               if "/Public/" not in p][0]
    for name, text in (("Dralmin/agent.conf", "log_level = debug\n"), ("Veltrana/7.crt", "c"),
                       ("Veltrana/7.key", "k"), ("Veltrana/other.txt", "another program's")):
        os.makedirs(os.path.dirname(os.path.join(roaming, name)), exist_ok=True)
        with open(os.path.join(roaming, name), "w") as file:
            file.write(text)
    wine("reg", "add", "HKCU\\SOFTWARE\\Veltrana", "/v", "CertVersion", "/d", "7", "/f")
    expect("uninstallation's status", msiexec("/x", newer, "REMOVE_USER_DATA=1"), 0)
    expect("the user's data left",
           sorted(os.path.relpath(os.path.join(folder, name), roaming)
                  for folder, _, names in os.walk(roaming) for name in names
                  if "Dralmin" in folder or "Veltrana" in folder),
           ["Veltrana/other.txt"])
    expect("the user's certificate version", reg_value("HKCU\\SOFTWARE\\Veltrana", "CertVersion"),
           None)
    expect("the port broker service after the uninstallation", service_state(), None)
    remains = left_behind(before, snapshot(prefix))
    if remains:
        fail("left behind by the uninstallation:\n  " + "\n  ".join(remains))
    ok("the uninstallation with REMOVE_USER_DATA=1 leaves no file and no key that the "
       "installation made, and removes the user's own")
    shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    try:
        main()
    finally:
        if "WINEPREFIX" in os.environ:
            # Whatever still runs in the prefix (an agent left by a failed step) ends with it.
            subprocess.run([WINESERVER, "-k"], stderr=subprocess.DEVNULL)

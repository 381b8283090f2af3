#!/usr/bin/python3
"""A user's clicks, end to end on a headless X server and a private session bus:
the launcher starts the stand-in, which starts the agent with its real GTK tray;
every item chosen in the exported menu (through tray_probe, as a panel does)
must reach the stand-in as a command and its answer must show in the menu.

Usage: menu_click_test.py BUNDLE_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import tray_probe  # noqa: E402

PATIENCE = 20  # seconds; bounds every wait so that a fault fails instead of hanging
RELAY = "fra-wg-007"


def wait_for_text(path, text):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if text in f.read():
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    with open(path, encoding="utf-8", errors="replace") as f:
        raise AssertionError("no %r in %s:\n%s" % (text, path, f.read()))


def shown(menu):
    """What a user sees: the labels of the visible entries, separators left out."""
    return [e["label"] for e in menu if e["visible"] and e["type"] != "separator"]


def main():
    bundle = sys.argv[1]
    launcher = os.path.join(bundle, "Contents", "MacOS", "VeltoVpnLauncher")
    work = tempfile.mkdtemp(prefix="veltovpn-menu-")
    processes = []
    try:
        with tray_probe.HeadlessSession() as session:
            watcher = tray_probe.start_watcher(session.env)
            processes.append(watcher)
            env = dict(session.env)
            env.update(HOME=os.path.join(work, "home"), TMPDIR=os.path.join(work, "tmp"))
            for name in ("VELTOVPN_MENUBAR_SOCKET", "VELTOVPN_MENUBAR_ICON_DIR",
                         "XDG_RUNTIME_DIR", "XDG_DATA_HOME"):
                env.pop(name, None)
            os.makedirs(env["TMPDIR"], mode=0o700)  # private, or the programs pass it over
            out_path = os.path.join(work, "session.out")
            agent_log = os.path.join(env["TMPDIR"], "veltovpn-menubar.log")
            with open(out_path, "ab") as out:
                app = subprocess.Popen(
                    [launcher, "--ping-ms=250", "--connect-delay-ms=300",
                     "--helper-socket=" + os.path.join(work, "no-helper.sock")],
                    env=env, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
            processes.append(app)
            try:
                run_session(session, app, out_path, agent_log)
            except BaseException:
                for path in (out_path, agent_log):
                    if os.path.exists(path):
                        with open(path, encoding="utf-8", errors="replace") as f:
                            sys.stderr.write("----- %s\n%s" % (path, f.read()))
                raise
    finally:
        for process in reversed(processes):
            tray_probe.stop(process)
        shutil.rmtree(work, ignore_errors=True)
    print("PASS")


def run_session(session, app, out_path, agent_log):
    bus = tray_probe.connect(session.env)
    item = tray_probe.wait_for_item(bus, PATIENCE)
    wait_for_text(agent_log, "connected to bridge at")
    # The agent is the stand-in's own child, so that it ends with the application.
    with open(out_path, encoding="utf-8") as f:
        agent = re.search(r"started agent .* \(pid (\d+)\)", f.read())
    assert agent, "the stand-in did not start the agent"
    with open("/proc/%s/stat" % agent.group(1)) as f:
        assert int(f.read().rsplit(")", 1)[1].split()[1]) == app.pid, "the agent is not the stand-in's child"
    # The icons came from the bundle's Resources/menubar, found from the agent's own path.
    with open(agent_log, encoding="utf-8") as f:
        assert "icon load failed" not in f.read(), "the agent did not find the bundle's icons"

    def menu_showing(*labels):
        return tray_probe.wait_for_menu(
            bus, item, lambda m: all(label in shown(m) for label in labels), PATIENCE)

    menu = menu_showing("Not connected", "Connect", "Kill-switch: OFF")
    assert "Disconnect" not in shown(menu), shown(menu)

    # Each menu choice: the command the stand-in must get, and what the menu then shows.
    steps = [
        ("Connect", "agent -> command connect", ["Connected \u00b7 " + RELAY, "Disconnect"], ["Connect"]),
        ("Kill-switch: OFF", "agent -> command toggle-killswitch", ["Kill-switch: ON"], []),
        ("Show window", "show-window: the main window would come to the front now", [], []),
        ("Disconnect", "agent -> command disconnect", ["Not connected", "Connect"], ["Disconnect"]),
    ]
    for label, standin_line, present, absent in steps:
        tray_probe.click(bus, item, label)
        wait_for_text(out_path, standin_line)
        menu = menu_showing(*present)
        for gone in absent:
            menu = tray_probe.wait_for_menu(bus, item, lambda m, g=gone: g not in shown(m), PATIENCE)
    assert "Kill-switch: ON" in shown(menu), shown(menu)

    # The console reaches the agent too: hide-app is handled, not misread.
    app.stdin.write(b"hide\n")
    app.stdin.flush()
    wait_for_text(out_path, "-> hide-app")

    tray_probe.click(bus, item, "Quit veltoVpn")
    wait_for_text(out_path, "agent -> command quit")
    status = app.wait(PATIENCE)
    assert status == 0, "the stand-in exited with %d" % status
    wait_for_text(agent_log, "bridge socket EOF \u2014 parent .app exited")
    wait_for_text(out_path, "ended: exit status 0")
    deadline = time.monotonic() + PATIENCE
    while tray_probe.items(bus) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not tray_probe.items(bus), "the tray item outlived the agent"


if __name__ == "__main__":
    main()

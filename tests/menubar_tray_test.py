#!/usr/bin/python3
"""The real veltovpn-menubar with its GTK tray on a headless X server and a
private session bus: a minimal StatusNotifierWatcher (tray_probe.py) reads the
exported menu after status lines from a bridge played by this test, and clicks
items, which must reach the bridge as command lines.

Usage: menubar_tray_test.py AGENT_BINARY [unittest arguments, e.g. a case name]
With KEEP_TRAY_DIR=1 each case keeps its directory (agent log and stderr).
"""

import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tray_probe  # noqa: E402

AGENT = None
PATIENCE = 20  # seconds; bounds every wait so that a fault fails instead of hanging
EOF_LINE = "bridge socket EOF \u2014 parent .app exited"


def png_bytes():
    """A valid 2 x 2 transparent PNG."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", 2, 2, 8, 6, 0, 0, 0)
    pixels = zlib.compress(b"\x00" + b"\x00\x00\x00\xff" * 2 + b"\x00" + b"\x00\x00\x00\xff" * 2)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b"")


class Bridge:
    """The main application's end of the socket."""

    def __init__(self, path):
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        self.listener.settimeout(PATIENCE)
        self.peer = None
        self.reader = None

    def accept(self):
        self.peer, _ = self.listener.accept()
        self.peer.settimeout(PATIENCE)
        self.reader = self.peer.makefile("rb")

    def send(self, obj):
        self.peer.sendall(json.dumps(obj).encode() + b"\n")

    def read_command(self):
        line = self.reader.readline()
        if not line.endswith(b"\n"):
            raise AssertionError("no command line from the agent: %r" % line)
        return json.loads(line)

    def close(self):
        if self.reader:
            self.reader.close()
            self.reader = None
        if self.peer:
            self.peer.close()
            self.peer = None
        self.listener.close()


class TrayTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="menubar-tray-")
        self.session = tray_probe.HeadlessSession().__enter__()
        self.processes = []
        self.icons = os.path.join(self.dir, "icons")
        os.mkdir(self.icons)
        for name in ("menubar-connected@2x.png", "menubar-disconnected@2x.png"):
            with open(os.path.join(self.icons, name), "wb") as f:
                f.write(png_bytes())
        self.socket_path = os.path.join(self.dir, "bridge.sock")
        self.bridge = Bridge(self.socket_path)

    def tearDown(self):
        self.bridge.close()
        for process in reversed(self.processes):
            tray_probe.stop(process)
        self.session.close()
        if os.environ.get("KEEP_TRAY_DIR"):
            print("kept " + self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def start_watcher(self):
        watcher = tray_probe.start_watcher(self.session.env)
        self.processes.append(watcher)
        return watcher

    def start_agent(self):
        env = dict(self.session.env)
        env.update({
            "TMPDIR": self.dir,
            "VELTOVPN_MENUBAR_SOCKET": self.socket_path,
            "VELTOVPN_MENUBAR_ICON_DIR": self.icons,
        })
        env.pop("GDK_GL", None)
        env.pop("XDG_RUNTIME_DIR", None)  # would be preferred to TMPDIR
        with open(os.path.join(self.dir, "stderr"), "wb") as stderr:
            self.agent = subprocess.Popen([AGENT], env=env, stdout=subprocess.DEVNULL, stderr=stderr)
        self.processes.append(self.agent)
        self.bridge.accept()

    def log(self):
        with open(os.path.join(self.dir, "veltovpn-menubar.log"), encoding="utf-8") as f:
            return [line.rstrip("\n").split("] ", 1)[1] for line in f]

    def wait_for_log(self, message):
        deadline = time.monotonic() + PATIENCE
        while message not in self.log():
            if time.monotonic() > deadline:
                self.fail("never logged %r; log: %r" % (message, self.log()))
            time.sleep(0.05)

    def end_agent(self):
        """Closes the bridge; the agent must end by itself, with status 0."""
        self.bridge.close()
        status = self.agent.wait(PATIENCE)
        with open(os.path.join(self.dir, "stderr"), errors="replace") as f:
            stderr = f.read()
        self.assertEqual(status, 0, "agent's stderr (end):\n" + stderr[-3000:])
        self.assertEqual(self.log()[-1], EOF_LINE)

    def menu_where(self, bus, item, **expected):
        """Waits until each label given (as keyword: label=(visible, enabled))
        shows so; returns the menu."""
        def matches(menu):
            for label, (visible, enabled) in expected.items():
                entry = tray_probe.find(menu, label)
                if entry is None or (entry["visible"], entry["enabled"]) != (visible, enabled):
                    return False
            return True
        return tray_probe.wait_for_menu(bus, item, matches, PATIENCE)

    def test_menu_follows_status_and_clicks_send_commands(self):
        self.start_watcher()
        self.start_agent()
        bus = tray_probe.connect(self.session.env)
        item = tray_probe.wait_for_item(bus, PATIENCE)

        menu = self.menu_where(bus, item, **{
            "Not connected": (True, False), "Show window": (True, True), "Connect": (True, True),
            "Disconnect": (False, True), "Kill-switch: OFF": (True, True), "Quit veltoVpn": (True, True)})
        labels = [e["label"] for e in menu if e["type"] != "separator"]
        self.assertEqual(labels, ["Not connected", "Show window", "Connect", "Disconnect",
                                  "Kill-switch: OFF", "Quit veltoVpn"])
        self.assertEqual(tray_probe.item_property(bus, item, "IconName"),
                         os.path.join(self.icons, "menubar-disconnected@2x.png"))

        self.bridge.send({"type": "status", "status": "connected", "killSwitch": True, "relayId": "nl-ams-2"})
        self.menu_where(bus, item, **{"Connected \u00b7 nl-ams-2": (True, False), "Connect": (False, True),
                                      "Disconnect": (True, True), "Kill-switch: ON": (True, True)})
        self.assertEqual(tray_probe.item_property(bus, item, "IconName"),
                         os.path.join(self.icons, "menubar-connected@2x.png"))

        self.bridge.send({"type": "status", "status": "connecting"})
        self.menu_where(bus, item, **{"Connecting\u2026": (True, False), "Connect": (False, True),
                                      "Disconnect": (False, True)})

        self.bridge.send({"type": "status", "status": "idle", "killSwitch": False})
        self.menu_where(bus, item, **{"Not connected": (True, False), "Connect": (True, True),
                                      "Kill-switch: OFF": (True, True)})
        tray_probe.click(bus, item, "Connect")
        self.assertEqual(self.bridge.read_command(), {"type": "command", "action": "connect"})

        # As the main application does: it quits on the command, which closes
        # the bridge, and the agent ends at once. The click still gets its reply.
        commands = []

        def quit_on_command():
            commands.append(self.bridge.read_command())
            self.bridge.close()

        closer = threading.Thread(target=quit_on_command)
        closer.start()
        tray_probe.click(bus, item, "Quit veltoVpn")
        closer.join(PATIENCE)
        self.assertEqual(commands, [{"type": "command", "action": "quit"}])
        self.end_agent()

    def test_item_registers_when_the_watcher_comes_later(self):
        self.start_agent()
        self.wait_for_log("connected to bridge at " + self.socket_path)
        self.bridge.send({"type": "status", "status": "error"})
        self.wait_for_log("status: error ks=false rid=-")
        self.start_watcher()
        bus = tray_probe.connect(self.session.env)
        item = tray_probe.wait_for_item(bus, PATIENCE)
        self.menu_where(bus, item, **{"Error": (True, False), "Connect": (True, True),
                                      "Disconnect": (False, True)})
        tray_probe.click(bus, item, "Kill-switch: OFF")
        self.assertEqual(self.bridge.read_command(), {"type": "command", "action": "toggle-killswitch"})
        self.end_agent()


if __name__ == "__main__":
    AGENT = sys.argv.pop(1)
    unittest.main(verbosity=2)

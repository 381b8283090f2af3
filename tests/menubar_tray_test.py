#!/usr/bin/python3
"""The real veltovpn-menubar with its GTK tray on a headless X server and a
private session bus: a minimal StatusNotifierWatcher (tray_probe.py) reads the
exported menu after status lines from a bridge played by this test (clicks on
every item are the demo's, through the real application). PanelTest puts the agent
in a real panel (xfce4-panel's status tray) instead and looks at its pixels.

Usage: menubar_tray_test.py AGENT_BINARY [unittest arguments, e.g. a case name]
With KEEP_TRAY_DIR=1 each case keeps its directory (agent log and stderr).
PanelTest writes its screenshots to $TRAY_TEST_OUTPUT (default: the case's
directory): the screen without the agent, and with it in either state.
"""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import tray_probe  # noqa: E402

AGENT = None
PATIENCE = 20  # seconds; bounds every wait so that a fault fails instead of hanging
EOF_LINE = "bridge socket EOF \u2014 parent .app exited"
NO_HOST_LINE = "no tray host on this desktop: the menu-bar icon is not shown until one starts"
CHANGED = 24          # a channel difference above this is a changed pixel, not noise
MIN_STROKE_PIXELS = 12  # pixels that must stand out for the icon to be seen at all


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
        self.peer = self.reader = None

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
        for end in (self.reader, self.peer, self.listener):
            if end:
                end.close()


class AgentCase(unittest.TestCase):
    """A session, a bridge, and the agent started against it."""
    panel_theme = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="menubar-tray-")
        self.processes = []
        self.session = tray_probe.HeadlessSession(self.panel_theme)
        self.addCleanup(self.session.close)
        self.session.__enter__()
        self.icons = None  # the agent's own (its bundle's) icons
        self.socket_path = os.path.join(self.dir, "bridge.sock")
        self.bridge = Bridge(self.socket_path)

    def tearDown(self):
        self.bridge.close()
        for process in reversed(self.processes):
            tray_probe.stop(process)
        if os.environ.get("KEEP_TRAY_DIR"):
            print("kept " + self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def start_agent(self):
        env = dict(self.session.env)
        env.update({"TMPDIR": self.dir, "VELTOVPN_MENUBAR_SOCKET": self.socket_path})
        if self.icons:
            env["VELTOVPN_MENUBAR_ICON_DIR"] = self.icons
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


class TrayTest(AgentCase):
    def setUp(self):
        super().setUp()
        self.icons = os.path.join(self.dir, "icons")
        os.mkdir(self.icons)
        for name in ("menubar-connected@2x.png", "menubar-disconnected@2x.png"):
            with open(os.path.join(self.icons, name), "wb") as f:
                f.write(png_bytes())

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

    def test_late_watcher_then_menu_icon_and_description_follow_status(self):
        self.start_agent()
        self.wait_for_log("connected to bridge at " + self.socket_path)
        self.wait_for_log(NO_HOST_LINE)
        self.bridge.send({"type": "status", "status": "error"})
        self.wait_for_log("status: error ks=false rid=-")
        self.processes.append(tray_probe.start_watcher(self.session.env))
        bus = tray_probe.connect(self.session.env)
        item = tray_probe.wait_for_item(bus, PATIENCE)
        self.menu_where(bus, item, **{"Error": (True, False), "Connect": (True, True),
                                      "Disconnect": (False, True)})

        self.bridge.send({"type": "status", "status": "idle"})
        menu = self.menu_where(bus, item, **{
            "Not connected": (True, False), "Show window": (True, True), "Connect": (True, True),
            "Disconnect": (False, True), "Kill-switch: OFF": (True, True), "Quit veltoVpn": (True, True)})
        labels = [e["label"] for e in menu if e["type"] != "separator"]
        self.assertEqual(labels, ["Not connected", "Show window", "Connect", "Disconnect",
                                  "Kill-switch: OFF", "Quit veltoVpn"])
        self.assertEqual(tray_probe.item_property(bus, item, "IconName"),
                         os.path.join(self.icons, "menubar-disconnected@2x.png"))
        self.assertEqual(tray_probe.item_property(bus, item, "Title"), "veltoVpn")
        self.assertEqual(tray_probe.item_property(bus, item, "IconAccessibleDesc"), "veltoVpn: Not connected")

        self.bridge.send({"type": "status", "status": "connected", "killSwitch": True, "relayId": "nl-ams-2"})
        self.menu_where(bus, item, **{"Connected \u00b7 nl-ams-2": (True, False), "Connect": (False, True),
                                      "Disconnect": (True, True), "Kill-switch: ON": (True, True)})
        self.assertEqual(tray_probe.item_property(bus, item, "IconName"),
                         os.path.join(self.icons, "menubar-connected@2x.png"))
        self.assertEqual(tray_probe.item_property(bus, item, "IconAccessibleDesc"),
                         "veltoVpn: Connected \u00b7 nl-ams-2")
        tray_probe.click(bus, item, "Kill-switch: ON")
        self.assertEqual(self.bridge.read_command(), {"type": "command", "action": "toggle-killswitch"})
        self.end_agent()
        self.assertEqual(self.log().count(NO_HOST_LINE), 1)


# ---------------------------------------------------------------- pixels


class Picture:
    """An RGB screenshot, read through ImageMagick."""

    def __init__(self, path):
        self.path = path
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                              stdout=subprocess.PIPE).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        self.width, self.height = int(header.group(1)), int(header.group(2))
        self.data = data[header.end():]

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.data[i:i + 3])

    def changed(self, other):
        """Where the two pictures differ, as (x, y) pairs."""
        found = []
        row = 3 * self.width
        for y in range(self.height):
            if self.data[y * row:(y + 1) * row] == other.data[y * row:(y + 1) * row]:
                continue
            found += [(x, y) for x in range(self.width)
                      if max(abs(a - b) for a, b in zip(self.at(x, y), other.at(x, y))) > CHANGED]
        return found


def luminance(rgb):
    def linear(c):
        c /= 255.0
        return c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (linear(c) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


class PanelTest(AgentCase):
    """The agent's icon in xfce4-panel's status tray, dark and light: found
    as the pixels that change when the agent comes, it must stand out from the
    panel, and the two states must look different."""

    def setUp(self):
        missing = tray_probe.panel_missing()
        if missing:
            self.skipTest(missing)
        super().setUp()
        self.output = os.environ.get("TRAY_TEST_OUTPUT") or self.dir
        os.makedirs(self.output, exist_ok=True)
        self.prefix = self.panel_theme.replace(":", "-") + "-"
        for name in os.listdir(self.output):
            if name.startswith(self.prefix):
                os.remove(os.path.join(self.output, name))

    def settled_screen(self, name, until=lambda picture: True):
        """A screenshot once the screen holds still and `until` accepts it."""
        path = os.path.join(self.output, self.prefix + name + ".png")
        previous = None
        deadline = time.monotonic() + PATIENCE
        while True:
            tray_probe.screenshot(self.session.env, path)
            picture = Picture(path)
            if previous is not None and picture.data == previous.data and until(picture):
                return picture
            if time.monotonic() > deadline:
                self.fail("the screen never settled as expected; see " + path)
            previous = picture
            time.sleep(0.2)

    def check_icon(self, without, shot, state):
        changed = shot.changed(without)
        where = "%s (%s, compared with %s)" % (shot.path, state, without.path)
        self.assertTrue(changed, "no icon in the panel: " + where)
        self.assertLess(max(y for _x, y in changed), tray_probe.PANEL_HEIGHT, "icon outside the panel: " + where)
        # The panel around the icon: the commonest colour near it without the agent.
        xs = [x for x, _y in changed]
        around = {}
        for y in range(tray_probe.PANEL_HEIGHT):
            for x in range(max(0, min(xs) - 4), min(shot.width, max(xs) + 5)):
                colour = without.at(x, y)
                around[colour] = around.get(colour, 0) + 1
        panel = max(around, key=around.get)
        stroke = [p for p in changed if contrast(shot.at(*p), panel) >= 3.0]
        best = max(contrast(shot.at(*p), panel) for p in changed)
        self.assertGreaterEqual(
            len(stroke), MIN_STROKE_PIXELS,
            "the icon does not stand out from the panel %s: %d pixels reach 3:1 (best %.2f:1) in %s"
            % (panel, len(stroke), best, where))

    def check_panel(self):
        without = self.settled_screen("without-agent")
        self.start_agent()
        self.wait_for_log("connected to bridge at " + self.socket_path)
        disconnected = self.settled_screen("disconnected", lambda p: p.changed(without))
        self.check_icon(without, disconnected, "disconnected")

        self.bridge.send({"type": "status", "status": "connected", "relayId": "nl-ams-2"})
        connected = self.settled_screen("connected", lambda p: p.changed(disconnected))
        self.check_icon(without, connected, "connected")
        self.assertGreaterEqual(len(connected.changed(disconnected)), MIN_STROKE_PIXELS,
                                "the states look alike: %s, %s" % (disconnected.path, connected.path))

        self.bridge.send({"type": "status", "status": "idle"})
        self.settled_screen("disconnected-again", lambda p: not p.changed(disconnected))
        self.end_agent()
        self.assertNotIn(NO_HOST_LINE, self.log())


class DarkPanelTest(PanelTest):
    panel_theme = "Adwaita:dark"

    def test_icon_stands_out_in_both_states(self):
        self.check_panel()


class LightPanelTest(PanelTest):
    panel_theme = "Adwaita:light"

    def test_icon_stands_out_in_both_states(self):
        self.check_panel()



if __name__ == "__main__":
    AGENT = sys.argv.pop(1)
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""The real veltovpn-menubar with its GTK tray on a headless X server and a
private session bus: a minimal StatusNotifierWatcher (tray_probe.py) reads the
exported menu after status lines from a bridge played by this test. DesktopTest
puts the agent in a real desktop (xfce4-panel, GNOME Shell with AppIndicator,
Plasma), looks at its pixels and clicks it. Run as root, the cases run again as
an ordinary user (run_as_test_user).

Usage: menubar_tray_test.py AGENT_BINARY [unittest arguments, e.g. a case name]
KEEP_TRAY_DIR=1 keeps each case's directory; DesktopTest's screenshots go to
$TRAY_TEST_OUTPUT (default: the case's directory).
"""

import json
import os
import re
import shutil
import socket
import stat
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
INK = 3               # inside a menu (a flat colour), a channel difference above this is drawn
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
    desktop = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="menubar-tray-")
        self.processes = []
        self.session = tray_probe.HeadlessSession(self.panel_theme, self.desktop)
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
        """Waits until each label=(visible, enabled) shows so; returns the menu."""
        def matches(menu):
            for label, (visible, enabled) in expected.items():
                entry = tray_probe.find(menu, label)
                if entry is None or (entry["visible"], entry["enabled"]) != (visible, enabled):
                    return False
            return True
        return tray_probe.wait_for_menu(bus, item, matches, PATIENCE)

    def assert_item(self, bus, item, icon, status):
        self.assertEqual({name: tray_probe.item_property(bus, item, name)
                          for name in ("IconName", "Title", "IconAccessibleDesc")},
                         {"IconName": os.path.join(self.icons, "menubar-%s@2x.png" % icon),
                          "Title": "veltoVpn", "IconAccessibleDesc": "veltoVpn: " + status})

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
        self.assert_item(bus, item, "disconnected", "Not connected")

        self.bridge.send({"type": "status", "status": "connected", "killSwitch": True, "relayId": "nl-ams-2"})
        self.menu_where(bus, item, **{"Connected \u00b7 nl-ams-2": (True, False), "Connect": (False, True),
                                      "Disconnect": (True, True), "Kill-switch: ON": (True, True)})
        self.assert_item(bus, item, "connected", "Connected \u00b7 nl-ams-2")
        tray_probe.click(bus, item, "Kill-switch: ON")
        self.assertEqual(self.bridge.read_command(), {"type": "command", "action": "toggle-killswitch"})
        self.end_agent()
        self.assertEqual(self.log().count(NO_HOST_LINE), 1)


# ---------------------------------------------------------------- pixels


class Picture:
    """An RGB screenshot, read through ImageMagick."""

    def __init__(self, path, volatile=()):
        """`volatile`: boxes (left, top, right, bottom) painted black (a clock)."""
        self.path = path
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                              stdout=subprocess.PIPE).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        self.width, self.height = int(header.group(1)), int(header.group(2))
        pixels = bytearray(data[header.end():])
        for left, top, right, bottom in volatile:
            for y in range(top, bottom):
                pixels[3 * (y * self.width + left):3 * (y * self.width + right)] = bytes(3 * (right - left))
        self.data = bytes(pixels)

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


class DesktopTest(AgentCase):
    """The icon (the pixels that change when the agent comes) must stand out
    from the bar and differ between the states; a click opens the menu the
    status calls for, and a click on "Connect" there reaches the bridge."""
    desktop = None

    def setUp(self):
        missing = tray_probe.desktop_missing(self.desktop) or (
            "" if shutil.which("xdotool") else "xdotool is not installed")
        if missing:
            self.skipTest(missing)
        super().setUp()
        self.bar, self.volatile = self.session.bar, self.session.volatile
        self.output = os.environ.get("TRAY_TEST_OUTPUT") or self.dir
        os.makedirs(self.output, exist_ok=True)
        self.prefix = "-".join(filter(None, [self.desktop, (self.panel_theme or "").replace(":", "-")])) + "-"
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
            picture = Picture(path, self.volatile)
            if previous is not None and picture.data == previous.data and until(picture):
                return picture
            if time.monotonic() > deadline:
                self.fail("the screen never settled as expected; see " + path)
            previous = picture
            time.sleep(0.2)

    def in_bar(self, changed):
        top, bottom = self.bar
        return [(x, y) for x, y in changed if top <= y < bottom]

    def check_icon(self, without, shot, state, columns):
        """The icon's pixels in `shot`: those that changed since `without`
        within the run of changed columns that holds `columns` (the bar's
        other icons may have moved aside for it)."""
        changed = self.in_bar(shot.changed(without))
        where = "%s (%s, compared with %s)" % (shot.path, state, without.path)
        self.assertTrue(changed, "no icon in the bar: " + where)
        used = {x for x, _y in changed}
        left, right = min(columns), max(columns)
        while left - 1 in used or left - 2 in used:
            left -= 1
        while right + 1 in used or right + 2 in used:
            right += 1
        changed = [(x, y) for x, y in changed if left <= x <= right]
        # The bar around the icon: the commonest colour near it without the agent.
        xs = [x for x, _y in changed]
        around = {}
        for y in range(*self.bar):
            for x in range(max(0, min(xs) - 4), min(shot.width, max(xs) + 5)):
                colour = without.at(x, y)
                around[colour] = around.get(colour, 0) + 1
        bar = max(around, key=around.get)
        stroke = [p for p in changed if contrast(shot.at(*p), bar) >= 3.0]
        best = max(contrast(shot.at(*p), bar) for p in changed)
        self.assertGreaterEqual(
            len(stroke), MIN_STROKE_PIXELS,
            "the icon does not stand out from the bar %s: %d pixels reach 3:1 (best %.2f:1) in %s"
            % (bar, len(stroke), best, where))
        return changed

    def menu_rows(self, closed, opened):
        """The rows of the menu that opened between two screenshots, top down,
        as (kind, top, bottom, left, right) with kind "text" or "separator"."""
        top_bar, bottom_bar = self.bar
        box = [p for p in opened.changed(closed) if not top_bar <= p[1] < bottom_bar]
        self.assertTrue(box, "no menu opened: %s, compared with %s" % (opened.path, closed.path))
        left, right = min(x for x, _y in box), max(x for x, _y in box)
        top, bottom = min(y for _x, y in box), max(y for _x, y in box)
        counts = {}
        for y in range(top, bottom + 1):
            for x in range(left, right + 1):
                counts[opened.at(x, y)] = counts.get(opened.at(x, y), 0) + 1
        background = max(counts, key=counts.get)
        # Ink: what differs from the menu's background, away from its border.
        # Separators are faint lines, a little off the background.
        margin = 6
        ink = {}
        for y in range(top + margin, bottom - margin + 1):
            xs = [x for x in range(left + margin, right - margin + 1)
                  if max(abs(a - b) for a, b in zip(opened.at(x, y), background)) > INK]
            if xs:
                ink[y] = (min(xs), max(xs))
        rows = []
        for y in sorted(ink):
            if rows and rows[-1][2] == y - 1:
                kind, first, _last, x0, x1 = rows[-1]
                rows[-1] = (kind, first, y, min(x0, ink[y][0]), max(x1, ink[y][1]))
            else:
                rows.append(("text", y, y, ink[y][0], ink[y][1]))
        # A line that reaches the margin is the menu's rounded border.
        rows = [r for r in rows if r[2] - r[1] >= 2 or top + margin < r[1] and r[2] < bottom - margin]
        # A separator is a line one or two pixels high.
        return [("separator" if b - t < 2 else "text", t, b, x0, x1) for _k, t, b, x0, x1 in rows]

    def open_menu_and_connect(self, shown, closed, name):
        """Clicks the icon (pixels `shown` in `closed`), checks the menu that
        opens against the exported one, and clicks "Connect" in it."""
        bus = tray_probe.connect(self.session.env)
        item = tray_probe.wait_for_item(bus, PATIENCE)
        menu = tray_probe.wait_for_menu(
            bus, item, lambda m: (tray_probe.find(m, "Not connected") or {}).get("visible"), PATIENCE)
        visible = [e for e in menu if e["visible"]]
        self.assertEqual([e["label"] for e in visible if e["type"] != "separator"],
                         ["Not connected", "Show window", "Connect", "Kill-switch: OFF", "Quit veltoVpn"])
        xs, ys = [x for x, _y in shown], [y for _x, y in shown]
        tray_probe.pointer_click(self.session.env, (min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2)
        opened = self.settled_screen(name + "menu-open", lambda p: [q for q in p.changed(closed)
                                                             if not self.bar[0] <= q[1] < self.bar[1]])
        rows = self.menu_rows(closed, opened)
        kinds = ["separator" if e["type"] == "separator" else "text" for e in visible]
        self.assertEqual([r[0] for r in rows], kinds, "the menu on screen (%s) is not the exported one: %s"
                         % (opened.path, json.dumps(visible, ensure_ascii=False)))
        texts = [r for r in rows if r[0] == "text"]
        connect = texts[[e["label"] for e in visible if e["type"] != "separator"].index("Connect")]
        # "Connect" is the shortest title: its row must be the narrowest.
        self.assertEqual(min(texts, key=lambda r: r[4] - r[3]), connect,
                         "the shortest row is not where Connect belongs: %s" % opened.path)
        where = ((connect[3] + connect[4]) // 2, (connect[1] + connect[2]) // 2)
        tray_probe.pointer_click(self.session.env, *where)
        try:
            command = self.bridge.read_command()
        except TimeoutError:
            self.fail("the click on Connect at %s in %s never reached the bridge" % (where, opened.path))
        self.assertEqual(command, {"type": "command", "action": "connect"})
        bus.close_sync(None)

    def drawn(self, picture):
        """Whether the desktop has drawn its bar over the black screen."""
        top, bottom = self.bar
        row = 3 * picture.width
        return picture.data[top * row:bottom * row].strip(b"\0") != b""

    def check_desktop(self, click=True, name=""):
        without = self.settled_screen(name + "without-agent", self.drawn)
        self.start_agent()
        self.wait_for_log("connected to bridge at " + self.socket_path)
        disconnected = self.settled_screen(name + "disconnected", lambda p: self.in_bar(p.changed(without)))
        self.bridge.send({"type": "status", "status": "connected", "relayId": "nl-ams-2"})
        connected = self.settled_screen(name + "connected", lambda p: self.in_bar(p.changed(disconnected)))
        # Only the icon changes with the state: where it does is where the icon is.
        state_change = self.in_bar(connected.changed(disconnected))
        self.assertGreaterEqual(len(state_change), MIN_STROKE_PIXELS,
                                "the states look alike: %s, %s" % (disconnected.path, connected.path))
        columns = [x for x, _y in state_change]
        shown = self.check_icon(without, disconnected, "disconnected", columns)
        self.check_icon(without, connected, "connected", columns)

        self.bridge.send({"type": "status", "status": "idle"})
        again = self.settled_screen(name + "disconnected-again", lambda p: not self.in_bar(p.changed(disconnected)))
        if click:
            self.open_menu_and_connect(shown, again, name)
        self.end_agent()
        self.assertNotIn(NO_HOST_LINE, self.log())


class XfceDarkTest(DesktopTest):
    desktop = "xfce"
    panel_theme = "Adwaita:dark"

    def test_icon_stands_out_in_both_states(self):
        self.check_desktop()


class XfceLightTest(XfceDarkTest):
    panel_theme = "Adwaita:light"


class GnomeTest(DesktopTest):
    """GNOME Shell's top bar, where the AppIndicator extension shows items."""
    desktop = "gnome"

    def test_icon_stands_out_in_both_states(self):
        self.check_desktop()


class PlasmaTest(DesktopTest):
    """Plasma's bottom panel in Breeze light, then, in the same session, Breeze
    dark: the icons must follow the colour scheme."""
    desktop = "plasma"

    def test_icon_stands_out_in_both_states(self):
        self.check_desktop(name="light-")
        os.unlink(self.socket_path)
        self.bridge = Bridge(self.socket_path)
        self.session.plasma_colours("BreezeDark")
        self.check_desktop(click=False, name="dark-")


# ---------------------------------------------------------------- as a user


TEST_USER = 65534  # nobody: desktops are no place for root


def run_as_test_user(agent, arguments):
    """Runs this test again as TEST_USER on copies in a directory of that
    user's; brings the pictures back. Returns the test's exit status."""
    here = os.path.dirname(os.path.abspath(__file__))
    parent = tempfile.mkdtemp(prefix="desktop-")  # short: sockets are made below it
    os.chmod(parent, 0o711)
    stage = os.path.join(parent, "user")
    bundle = os.path.dirname(os.path.dirname(os.path.abspath(agent)))
    copies = [(os.path.abspath(__file__), "tests/"), (os.path.join(here, "..", "tools", "tray_probe.py"), "tools/"),
              (agent, "app/Contents/MacOS/"), (os.path.join(bundle, "Resources", "menubar"), "app/Contents/Resources/")]
    env = dict(os.environ, HOME=stage, TMPDIR=stage, TRAY_TEST_OUTPUT=os.path.join(stage, "output"))
    suppressions = re.search(r"suppressions=([^:]+)", env.get("LSAN_OPTIONS", ""))
    if suppressions:
        copies.append((suppressions.group(1), "."))
        env["LSAN_OPTIONS"] = env["LSAN_OPTIONS"].replace(
            suppressions.group(0), "suppressions=" + os.path.join(stage, os.path.basename(suppressions.group(1))))
    try:
        for source, target in copies:
            target = os.path.join(stage, target)
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(target, os.path.basename(source)))
            elif os.path.exists(source):
                os.makedirs(target, exist_ok=True)
                shutil.copy2(source, target)
        os.makedirs(env["TRAY_TEST_OUTPUT"])
        # The directory itself last: until then the user cannot enter it and
        # swap a file for a link that root would follow.
        for root, dirs, files in os.walk(stage, topdown=False):
            for name in dirs + files:
                os.chown(os.path.join(root, name), TEST_USER, TEST_USER, follow_symlinks=False)
        os.chmod(stage, 0o700)
        os.chown(stage, TEST_USER, TEST_USER)
        # Xvfb, run by a user, needs the shared socket directory to exist.
        if not os.path.isdir("/tmp/.X11-unix"):
            os.mkdir("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)
        command = ["setpriv", "--reuid=%d" % TEST_USER, "--regid=%d" % TEST_USER, "--clear-groups",
                   "/usr/bin/python3", os.path.join(stage, "tests", os.path.basename(__file__)),
                   os.path.join(stage, "app", "Contents", "MacOS", os.path.basename(agent))] + arguments
        status = subprocess.call(command, cwd=stage, env=env)
        bring_back_pictures(env["TRAY_TEST_OUTPUT"], os.environ.get("TRAY_TEST_OUTPUT"))
        return status
    finally:
        shutil.rmtree(parent, ignore_errors=True)


def bring_back_pictures(source, target):
    """Copies the user's PNG files from `source`, never through a link."""
    if not target:
        return
    os.makedirs(target, exist_ok=True)
    try:
        folder = os.open(source, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    except OSError:
        return
    for name in os.listdir(folder):
        if not name.endswith(".png"):
            continue
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=folder)
        except OSError:
            continue
        with os.fdopen(fd, "rb") as picture:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                continue
            with open(os.path.join(target, name), "wb") as copy:
                shutil.copyfileobj(picture, copy)
    os.close(folder)


if __name__ == "__main__":
    AGENT = sys.argv.pop(1)
    if os.geteuid() == 0 and shutil.which("setpriv"):
        sys.exit(run_as_test_user(AGENT, sys.argv[1:]))
    unittest.main(verbosity=2)

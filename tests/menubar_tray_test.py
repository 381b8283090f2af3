#!/usr/bin/python3
"""The real veltovpn-menubar with its GTK tray on a headless X server and a
private session bus: a minimal StatusNotifierWatcher (tray_probe.py) reads the
exported menu after status lines from a bridge played by this test. DesktopTest
puts the agent in a real desktop (xfce4-panel, GNOME Shell with AppIndicator,
Plasma; GNOME Shell and sway with waybar on Wayland, where the agent is a
Wayland client), looks at its pixels and clicks it. Run as root, the cases run
again as an ordinary user (run_as_test_user).

Usage: menubar_tray_test.py AGENT_BINARY [unittest arguments, e.g. a case name]
KEEP_TRAY_DIR=1 keeps each case's directory; DesktopTest's screenshots go to
$TRAY_TEST_OUTPUT (default: the case's directory).
"""

import base64
import json
import os
import pathlib
import re
import shutil
import socket
import stat
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import tray_probe  # noqa: E402

AGENT = None
PATIENCE = 20  # seconds; bounds every wait so that a fault fails instead of hanging
EOF_LINE = "bridge socket EOF \u2014 parent .app exited"
NO_HOST_LINE = "no tray host on this desktop: the menu-bar icon is not shown until one starts"
CHANGED = 24          # a channel difference above this is a changed pixel, not noise
INK = 3               # inside a menu (a flat colour), a channel difference above this is drawn
MIN_STROKE_PIXELS = 12  # pixels that must stand out for the icon to be seen at all
# A 1 x 1 transparent PNG: icon files the agent accepts, whose paths it exports.
PNG = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAAC0lEQVR42mNgAAIAAAUAAen63NgAAAAASUVORK5CYII=")


class AgentCase(unittest.TestCase):
    """A session, a bridge, and the agent started against it."""
    panel_theme = None
    desktop = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="menubar-tray-")
        if os.environ.get("KEEP_TRAY_DIR"):
            self.addCleanup(print, "kept " + self.dir)
        else:
            self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.session = self.enterContext(tray_probe.open_session(self.panel_theme, self.desktop))
        # The main application's end of the bridge socket.
        self.socket_path = os.path.join(self.dir, "bridge.sock")
        self.listener = socket.create_server(self.socket_path, family=socket.AF_UNIX)
        self.listener.settimeout(PATIENCE)
        self.addCleanup(self.listener.close)

    def start_agent(self, icons=None):
        """`icons`: a directory in place of the bundle's own icons."""
        env = dict(self.session.env, TMPDIR=self.dir, VELTOVPN_MENUBAR_SOCKET=self.socket_path)
        if icons:
            env["VELTOVPN_MENUBAR_ICON_DIR"] = icons
        env.pop("GDK_GL", None)
        # Preferred to TMPDIR for the private directory; GTK on Wayland will
        # not start without one, though WAYLAND_DISPLAY is a full path.
        env["XDG_RUNTIME_DIR"] = self.dir
        with open(os.path.join(self.dir, "stderr"), "wb") as stderr:
            self.agent = subprocess.Popen([AGENT], env=env, stdout=subprocess.DEVNULL, stderr=stderr)
        self.addCleanup(tray_probe.stop, self.agent)
        with self.listener.accept()[0] as peer:
            peer.settimeout(PATIENCE)
            self.bridge = peer.makefile("rwb")
        self.addCleanup(self.bridge.close)

    def send(self, obj):
        self.bridge.write(json.dumps(obj).encode() + b"\n")
        self.bridge.flush()

    def read_command(self):
        return json.loads(self.bridge.readline())

    def log(self):
        lines = pathlib.Path(self.dir, "veltovpn-menubar.log").read_text(encoding="utf-8").splitlines()
        return [line.split("] ", 1)[1] for line in lines]

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
        stderr = pathlib.Path(self.dir, "stderr").read_text(errors="replace")
        self.assertEqual(status, 0, "agent's stderr (end):\n" + stderr[-3000:])
        self.assertEqual(self.log()[-1], EOF_LINE)


class TrayTest(AgentCase):
    def test_late_watcher_then_menu_icon_and_description_follow_status(self):
        self.icons = os.path.join(self.dir, "icons")
        os.mkdir(self.icons)
        for state in ("connected", "disconnected"):
            pathlib.Path(self.icons, "menubar-%s@2x.png" % state).write_bytes(PNG)
        self.start_agent(self.icons)
        self.wait_for_log(NO_HOST_LINE)
        self.send({"type": "status", "status": "connected", "killSwitch": True, "relayId": "nl-ams-2"})
        self.wait_for_log("status: connected ks=true rid=nl-ams-2")
        self.addCleanup(tray_probe.stop, tray_probe.start_watcher(self.session.env))
        bus = tray_probe.connect(self.session.env)
        item = tray_probe.wait_for_item(bus, PATIENCE)
        self.assert_shown(bus, item, "connected", "Connected \u00b7 nl-ams-2", "Disconnect", "ON")
        self.send({"type": "status", "status": "idle", "killSwitch": False})
        self.assert_shown(bus, item, "disconnected", "Not connected", "Connect", "OFF")
        tray_probe.click(bus, item, "Kill-switch: OFF")
        self.assertEqual(self.read_command(), {"type": "command", "action": "toggle-killswitch"})
        self.end_agent()
        self.assertEqual(self.log().count(NO_HOST_LINE), 1)

    def assert_shown(self, bus, item, icon, title, offer, kill_switch):
        """Waits until the menu shows a state (its visible entries, "-" a separator, and
        only the status line disabled); the item's icon and description must show it too."""
        shown = [title, "-", "Show window", "-", offer, "Kill-switch: " + kill_switch, "-", "Quit veltoVpn"]
        tray_probe.wait_for_menu(bus, item, lambda menu: (
            [e["label"] or "-" for e in menu if e["visible"]] == shown
            and [e["label"] for e in menu if not e["enabled"]] == [title]), PATIENCE)
        self.assertEqual({name: tray_probe.item_property(bus, item, name)
                          for name in ("IconName", "Title", "IconAccessibleDesc")},
                         {"IconName": os.path.join(self.icons, "menubar-%s@2x.png" % icon),
                          "Title": "veltoVpn", "IconAccessibleDesc": "veltoVpn: " + title})


# ---------------------------------------------------------------- pixels


class Picture:
    """An RGB screenshot, read through ImageMagick."""

    def __init__(self, path, volatile=()):
        """`volatile`: boxes (left, top, right, bottom) painted black (a clock)."""
        self.path = path
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True, stdout=subprocess.PIPE).stdout
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

    def commonest(self, left, top, right, bottom):
        """The commonest colour in the box [left, right) x [top, bottom)."""
        return Counter(self.at(x, y) for y in range(top, bottom) for x in range(left, right)).most_common(1)[0][0]

    def lines(self, top, bottom):
        return self.data[3 * self.width * top:3 * self.width * bottom]

    def changed(self, other):
        """Where the two pictures differ, as (x, y) pairs."""
        found = []
        for y in range(self.height):
            if self.lines(y, y + 1) != other.lines(y, y + 1):
                found += [(x, y) for x in range(self.width)
                          if max(abs(a - b) for a, b in zip(self.at(x, y), other.at(x, y))) > CHANGED]
        return found


def contrast(a, b):
    """The contrast ratio of two sRGB colours, as WCAG defines it."""
    def luminance(rgb):
        r, g, b = (c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4 for c in (v / 255 for v in rgb))
        return 0.2126 * r + 0.7152 * g + 0.0722 * b
    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


class DesktopTest(AgentCase):
    """The icon (the pixels that change when the agent comes) must stand out
    from the bar and differ between the states; a click opens the menu the
    status calls for, and a click on "Connect" there reaches the bridge."""
    # Whether the bar behind the icon is drawn only once an icon is there (a
    # tray of its own colour that an empty bar leaves out): then the bar's
    # colour is taken around the icon in the shot itself.
    bar_comes_with_icon = False

    def setUp(self):
        missing = tray_probe.desktop_missing(self.desktop) if self.desktop else "a subclass names the desktop"
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

    def settled_screen(self, name, until):
        """A screenshot once the screen holds still and `until` accepts it."""
        path = os.path.join(self.output, self.prefix + name + ".png")
        previous = None
        deadline = time.monotonic() + PATIENCE
        while True:
            self.session.screenshot(path)
            picture = Picture(path, self.volatile)
            if previous is not None and picture.data == previous.data and until(picture):
                return picture
            if time.monotonic() > deadline:
                self.fail("the screen never settled as expected; see " + path)
            previous = picture
            time.sleep(0.2)

    def in_bar(self, changed, inside=True):
        return [(x, y) for x, y in changed if (self.bar[0] <= y < self.bar[1]) == inside]

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
        # The bar around the icon: the commonest colour near it without the
        # agent (or with it, where the bar comes with the icon).
        xs = [x for x, _y in changed]
        bar = (shot if self.bar_comes_with_icon else without).commonest(
            max(0, min(xs) - 4), self.bar[0], min(shot.width, max(xs) + 5), self.bar[1])
        stroke = [p for p in changed if contrast(shot.at(*p), bar) >= 3.0]
        best = max(contrast(shot.at(*p), bar) for p in changed)
        self.assertGreaterEqual(len(stroke), MIN_STROKE_PIXELS, "the icon does not stand out from the bar %s: "
                                "%d pixels reach 3:1 (best %.2f:1) in %s" % (bar, len(stroke), best, where))
        return changed

    def menu_rows(self, closed, opened):
        """The rows of the menu that opened between two screenshots, top down,
        as (kind, top, bottom, left, right) with kind "text" or "separator"."""
        box = self.in_bar(opened.changed(closed), inside=False)
        self.assertTrue(box, "no menu opened: %s, compared with %s" % (opened.path, closed.path))
        left, right = min(x for x, _y in box), max(x for x, _y in box)
        top, bottom = min(y for _x, y in box), max(y for _x, y in box)
        # A menu may open over the bar, even one of nearly its colour: its box
        # goes on up through the lines drawn anew across most of its width.
        while top > 0 and sum(max(abs(a - b) for a, b in zip(opened.at(x, top - 1), closed.at(x, top - 1))) > INK
                              for x in range(left, right + 1)) > (right - left) // 2:
            top -= 1
        background = opened.commonest(left, top, right + 1, bottom + 1)
        # Ink: what differs from the menu's background, away from its border.
        # Separators are faint lines, a little off the background.
        margin = 6
        ink = {}
        for y in range(top + margin, bottom - margin + 1):
            xs = [x for x in range(left + margin, right - margin + 1)
                  if max(abs(a - b) for a, b in zip(opened.at(x, y), background)) > INK]
            if xs:
                ink[y] = (min(xs), max(xs))
        rows = []  # [top, bottom, left, right] of each run of inked lines
        for y, (x0, x1) in sorted(ink.items()):
            if rows and rows[-1][1] == y - 1:
                rows[-1][1:] = [y, min(rows[-1][2], x0), max(rows[-1][3], x1)]
            else:
                rows.append([y, y, x0, x1])
        # A separator is a line one or two pixels high; one that reaches the
        # margin is the menu's rounded border.
        return [("separator" if b - t < 2 else "text", t, b, x0, x1) for t, b, x0, x1 in rows
                if b - t >= 2 or top + margin < t and b < bottom - margin]

    def open_menu_and_connect(self, shown, closed, name):
        """Clicks the icon (pixels `shown` in `closed`), checks the menu that
        opens against the exported one, and clicks "Connect" in it."""
        bus = tray_probe.connect(self.session.env)
        menu = tray_probe.wait_for_menu(bus, tray_probe.wait_for_item(bus, PATIENCE),
                                        lambda m: (tray_probe.find(m, "Not connected") or {}).get("visible"), PATIENCE)
        visible = [e for e in menu if e["visible"]]
        xs, ys = [x for x, _y in shown], [y for _x, y in shown]
        self.session.click((min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2)
        opened = self.settled_screen(name + "menu-open", lambda p: self.in_bar(p.changed(closed), inside=False))
        rows = self.menu_rows(closed, opened)
        kinds = ["separator" if e["type"] == "separator" else "text" for e in visible]
        self.assertEqual([r[0] for r in rows], kinds, "the menu on screen (%s) is not the exported one: %s"
                         % (opened.path, json.dumps(visible, ensure_ascii=False)))
        texts = [r for r in rows if r[0] == "text"]
        connect = texts[[e["label"] for e in visible if e["type"] != "separator"].index("Connect")]
        where = ((connect[3] + connect[4]) // 2, (connect[1] + connect[2]) // 2)
        self.session.click(*where)
        try:
            command = self.read_command()
        except TimeoutError:
            self.fail("the click on Connect at %s in %s never reached the bridge" % (where, opened.path))
        self.assertEqual(command, {"type": "command", "action": "connect"})
        bus.close_sync(None)

    def check_desktop(self, click=True, name=""):
        # Once the desktop has drawn its bar over the black screen.
        without = self.settled_screen(name + "without-agent", lambda p: p.lines(*self.bar).strip(b"\0"))
        self.start_agent()
        disconnected = self.settled_screen(name + "disconnected", lambda p: self.in_bar(p.changed(without)))
        self.send({"type": "status", "status": "connected", "relayId": "nl-ams-2"})
        connected = self.settled_screen(name + "connected", lambda p: self.in_bar(p.changed(disconnected)))
        # Only the icon changes with the state: where it does is where the icon is.
        state_change = self.in_bar(connected.changed(disconnected))
        self.assertGreaterEqual(len(state_change), MIN_STROKE_PIXELS,
                                "the states look alike: %s, %s" % (disconnected.path, connected.path))
        columns = [x for x, _y in state_change]
        shown = self.check_icon(without, disconnected, "disconnected", columns)
        self.check_icon(without, connected, "connected", columns)

        self.send({"type": "status", "status": "idle"})
        again = self.settled_screen(name + "disconnected-again", lambda p: not self.in_bar(p.changed(disconnected)))
        if click:
            self.open_menu_and_connect(shown, again, name)
        self.end_agent()
        self.assertNotIn(NO_HOST_LINE, self.log())

    def test_icon_stands_out_in_both_states(self):
        self.check_desktop()


class XfceDarkTest(DesktopTest):
    desktop, panel_theme = "xfce", "Adwaita:dark"


class XfceLightTest(DesktopTest):
    desktop, panel_theme = "xfce", "Adwaita:light"


class GnomeTest(DesktopTest):
    desktop = "gnome"


class PlasmaTest(DesktopTest):
    """Plasma's bottom panel in Breeze light, then, in the same session, Breeze
    dark: the icons must follow the colour scheme."""
    desktop = "plasma"

    def test_icon_stands_out_in_both_states(self):
        self.check_desktop(name="light-")
        self.session.plasma_colours("BreezeDark")
        self.check_desktop(click=False, name="dark-")


class WaylandGnomeTest(DesktopTest):
    """GNOME Shell as the Wayland compositor, the agent a Wayland client of it."""
    desktop = "gnome-wayland"


class WaylandWaybarTest(DesktopTest):
    """waybar in sway, in waybar's default style: it draws icons as they are,
    on its tray's own blue, which appears with the first icon."""
    desktop, bar_comes_with_icon = "sway", True


class WaylandWaybarDarkTest(WaylandWaybarTest):
    panel_theme = "dark"


class WaylandWaybarLightTest(WaylandWaybarTest):
    panel_theme = "light"


class WaylandPlasmaLightTest(DesktopTest):
    """Plasma 6 on Wayland, the agent a Wayland client of KWin."""
    desktop, panel_theme = "plasma-wayland", "BreezeLight"


class WaylandPlasmaDarkTest(WaylandPlasmaLightTest):
    panel_theme = "BreezeDark"


# ---------------------------------------------------------------- as a user


TEST_USER = 65534  # nobody: desktops are no place for root


def run_as_test_user(agent, arguments):
    """Runs this test again as TEST_USER on copies in a directory of that
    user's; brings the pictures back. Returns the test's exit status."""
    here = os.path.dirname(os.path.abspath(__file__))
    parent = tempfile.mkdtemp(prefix="desktop-")  # short: sockets are made below it
    os.chmod(parent, 0o711)
    stage = os.path.join(parent, "user")
    os.mkdir(stage, 0o700)
    os.chown(stage, TEST_USER, TEST_USER)
    bundle = os.path.dirname(os.path.dirname(os.path.abspath(agent)))
    agent_copy = "app/Contents/MacOS/" + os.path.basename(agent)
    # This test's folder comes whole: LSAN_OPTIONS names leak suppressions in it.
    copies = {here: "tests", tray_probe.__file__: "tools/tray_probe.py", agent: agent_copy,
              os.path.join(bundle, "Resources", "menubar"): "app/Contents/Resources/menubar"}
    env = dict(os.environ, HOME=stage, TMPDIR=stage, TRAY_TEST_OUTPUT=os.path.join(stage, "output"),
               LSAN_OPTIONS=os.environ.get("LSAN_OPTIONS", "").replace(here, os.path.join(stage, "tests")))
    as_user = ["setpriv", "--reuid=%d" % TEST_USER, "--regid=%d" % TEST_USER, "--clear-groups"]
    try:
        # Root only reads its own files; the user writes them into its own
        # folder, where root never writes.
        with (subprocess.Popen(as_user + ["tar", "-x"], cwd=stage, stdin=subprocess.PIPE) as unpack,
              tarfile.open(fileobj=unpack.stdin, mode="w|", dereference=True) as pack):
            for source, target in copies.items():
                if os.path.exists(source):
                    pack.add(source, target)
        # Xvfb, run by a user, needs the shared socket directory to exist.
        if not os.path.isdir("/tmp/.X11-unix"):
            os.mkdir("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)
        command = as_user + ["/usr/bin/python3", os.path.join(stage, "tests", os.path.basename(__file__)),
                             os.path.join(stage, agent_copy)] + arguments
        status = subprocess.call(command, cwd=stage, env=env)
        bring_back_pictures(env["TRAY_TEST_OUTPUT"], os.environ.get("TRAY_TEST_OUTPUT"))
        return status
    finally:
        shutil.rmtree(parent, ignore_errors=True)


def bring_back_pictures(source, target):
    """Copies the user's PNG files from `source`: plain files only, never
    through a link (a planted one fails the run)."""
    if not target or not os.path.lexists(source):
        return
    os.makedirs(target, exist_ok=True)
    folder = os.open(source, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    for name in [name for name in os.listdir(folder) if name.endswith(".png")]:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=folder)
        with os.fdopen(fd, "rb") as picture:
            if stat.S_ISREG(os.fstat(fd).st_mode):
                with open(os.path.join(target, name), "wb") as copy:
                    shutil.copyfileobj(picture, copy)
    os.close(folder)


if __name__ == "__main__":
    AGENT = sys.argv.pop(1)
    if os.geteuid() == 0 and shutil.which("setpriv"):
        sys.exit(run_as_test_user(AGENT, sys.argv[1:]))
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""Looks at tray icons the way a desktop panel does, for tests: a minimal
StatusNotifierWatcher, a reader of an item's exported menu
(com.canonical.dbusmenu), clicks on menu items, and a headless session (Xvfb
plus a private session bus) to run them in, optionally with a real desktop
whose pixels can be taken with screenshot() and clicked with pointer_click():
xfce4-panel with its status tray, GNOME Shell with the AppIndicator
extension, or KDE Plasma's panel, each of which hosts StatusNotifierItems.
Wayland sessions (WaylandSession: no X server at all) run GNOME Shell as a
headless compositor, or sway with waybar's tray; their sessions take the
screenshots and give the clicks (session.screenshot(), session.click()).

Needs GLib from python (python3-gi): run it with /usr/bin/python3, not a
python3 that lacks gi.

As a command (every command but `session` uses $DBUS_SESSION_BUS_ADDRESS):

    tray_probe.py session [--panel THEME | --desktop D] -- CMD ARGS...
                                           run CMD with DISPLAY, XAUTHORITY and
                                           DBUS_SESSION_BUS_ADDRESS of a fresh
                                           Xvfb (open only to holders of its
                                           cookie) and dbus-daemon; exit with its status.
                                           With --panel, xfce4-panel runs along with
                                           GTK_THEME=THEME (e.g. Adwaita:dark) and is
                                           the watcher; with --desktop, GNOME Shell
                                           (with its AppIndicator extension) or
                                           Plasma does. --desktop gnome-wayland, sway
                                           or plasma-wayland: a Wayland session
                                           (WAYLAND_DISPLAY, no DISPLAY) instead; for
                                           plasma-wayland --panel is the colour
                                           scheme (BreezeLight, BreezeDark)
    tray_probe.py screenshot PATH [--panel [--desktop xfce|gnome|plasma]]
                                           the screen (or only the bar's strip) as PNG
    tray_probe.py pointer                  a virtual pointer on the wlroots compositor of
                                           $WAYLAND_DISPLAY: prints "ready", then clicks
                                           at each line "click X Y BUTTON" it reads
    tray_probe.py hold NAME                own NAME, answering every call with an
                                           error, until killed; prints "ready"
    tray_probe.py watch                    be the StatusNotifierWatcher until
                                           killed; prints "ready" once it owns
                                           the name, then "registered ITEM" per item
    tray_probe.py items                    the registered items, one a line
    tray_probe.py menu [--item ITEM] [--wait SECONDS]
                                           the item's menu as JSON: a list of
                                           {"id", "label", "visible", "enabled",
                                           "type"}; waits for an item to register
    tray_probe.py click LABEL [--item ITEM] [--wait SECONDS]
                                           chooses the menu item labelled LABEL
    tray_probe.py wait-label LABEL [--item ITEM] [--wait SECONDS]
                                           waits until a visible item has LABEL

ITEM is a watcher entry "BUSNAME/OBJECT/PATH"; by default the only registered
item. Exit status 0 on success, 1 on failure (with a message on stderr).

As a module:

    import tray_probe
    with tray_probe.HeadlessSession() as session:      # session.env: DISPLAY, XAUTHORITY, bus
                                                      # (panel_theme="Adwaita:dark": a real panel)
                                                      # (desktop="gnome" or "plasma": one of those)
        watcher = tray_probe.start_watcher(session.env)  # a `watch` process, ready
        ...start the program with session.env...
        bus = tray_probe.connect(session.env)
        item = tray_probe.wait_for_item(bus)
        menu = tray_probe.wait_for_menu(bus, item, lambda m: tray_probe.find(m, "Quit"))
        tray_probe.click(bus, item, "Quit")
        tray_probe.stop(watcher)

Menu items are matched by label: their ids belong to the toolkit that
exports them. A missing "visible" or "enabled" property means true.
"""

import argparse
import json
import os
import secrets
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"
CALL_TIMEOUT_MS = 5000
SCREEN_WIDTH, SCREEN_HEIGHT = 640, 480
WAYLAND_WIDTH, WAYLAND_HEIGHT = 800, 600  # the Wayland compositors' one output
PANEL_HEIGHT = 26  # the panel is a strip this high along the top of the screen
GNOME_EXTENSION = "ubuntu-appindicators@ubuntu.com"  # Debian's AppIndicator extension

# Each desktop's bar as rows of the screen [top, bottom), and the parts of it
# that change by themselves (a clock) as boxes (left, top, right, bottom).
BARS = {
    "xfce": ((0, PANEL_HEIGHT), []),
    "gnome": ((0, 30), [(200, 0, 440, 30)]),
    "plasma": ((SCREEN_HEIGHT - 44, SCREEN_HEIGHT), [(495, SCREEN_HEIGHT - 44, 605, SCREEN_HEIGHT)]),
    "gnome-wayland": ((0, 32), [(300, 0, 500, 32)]),
    "sway": ((0, 30), []),
    # Plasma 6's panel floats a few pixels above the bottom edge.
    "plasma-wayland": ((SCREEN_HEIGHT - 48, SCREEN_HEIGHT), [(500, SCREEN_HEIGHT - 48, 600, SCREEN_HEIGHT)]),
}

# One panel along the top edge holding only the status tray, so that whatever
# changes in it is the tray's doing.
PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="false"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="%d"/>
      <property name="icon-size" type="uint" value="16"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
""" % PANEL_HEIGHT

WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


class ProbeError(Exception):
    pass


# ---------------------------------------------------------------- session


def xfconfd_path():
    """The settings daemon the panel reads its layout from; it lives in the
    multiarch library directory."""
    import glob
    found = sorted(glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd") + glob.glob("/usr/lib/xfce4/xfconf/xfconfd"))
    return found[0] if found else None


def _libexec(name):
    import glob
    found = sorted(glob.glob("/usr/lib/*/libexec/" + name) + glob.glob("/usr/libexec/" + name))
    return found[0] if found else None


def desktop_missing(desktop):
    """Why `desktop` (a key of BARS) cannot run here, or "" when it can."""
    tools = {"xfce": ["xfce4-panel", "import", "xdotool"], "gnome": ["gnome-shell", "import", "xdotool"],
             "plasma": ["plasmashell", "kded5", "import", "xdotool"], "gnome-wayland": ["gnome-shell"],
             "sway": ["sway", "waybar", "grim"],
             "plasma-wayland": ["kwin_wayland", "plasmashell", "kded6", "Xvfb", "import", "xdotool"]}[desktop]
    for tool in tools + ["convert"]:
        if not shutil.which(tool):
            return tool + " is not installed"
    if desktop == "xfce" and not xfconfd_path():
        return "xfconfd is not installed"
    if desktop.startswith("gnome") and not os.path.isdir("/usr/share/gnome-shell/extensions/" + GNOME_EXTENSION):
        return "the AppIndicator extension (gnome-shell-extension-appindicator) is not installed"
    if desktop.startswith("plasma") and not _libexec("kactivitymanagerd"):
        return "kactivitymanagerd is not installed"
    return ""


def write_xauthority(path):
    """A new Xauthority file at `path`, mode 0600, holding one fresh random
    MIT-MAGIC-COOKIE-1 for any display: the server reads it with -auth before it
    knows its display number, and clients take a wildcard entry for theirs.
    Without a cookie an X server admits every local user, who could then read
    the screen, send input, or hand GTK programs a module of theirs to load."""
    def field(data):
        return struct.pack(">H", len(data)) + data
    family_wild = 0xFFFF
    record = (struct.pack(">H", family_wild) + field(b"") + field(b"")
              + field(b"MIT-MAGIC-COOKIE-1") + field(secrets.token_bytes(16)))
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(record)


class HeadlessSession:
    """Xvfb on a free display and a private session bus; env holds the
    variables a program needs to use them. Only holders of the display's cookie
    (XAUTHORITY, in the session's private folder) may connect to it. With
    panel_theme, xfce4-panel runs on them too, in that GTK theme and with a
    private home, and owns the StatusNotifierWatcher name; with desktop="gnome"
    or "plasma", that desktop's shell does, in Adwaita dark or Breeze light. bar
    and volatile describe the desktop's bar (see BARS). All are stopped on
    exit."""

    def __init__(self, panel_theme=None, desktop=None):
        self.env = dict(os.environ)
        self.panel_theme = panel_theme
        self.desktop = desktop or ("xfce" if panel_theme else None)
        self.bar, self.volatile = BARS.get(self.desktop, ((0, 0), []))
        self.desktop_env = None
        self._processes = []
        self._dir = None

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        self._dir = tempfile.mkdtemp(prefix="tray-session-")  # mode 0700
        self._start_display()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self._start_bus("session")
        # No accessibility bus on the private session.
        self.env["NO_AT_BRIDGE"] = "1"
        self._start_desktop()

    def _start_desktop(self):
        if self.desktop == "xfce":
            self._start_panel()
        elif self.desktop == "gnome":
            self._start_gnome()
        elif self.desktop == "plasma":
            self._start_plasma()

    def _start_display(self):
        self.env["XAUTHORITY"] = os.path.join(self._dir, "Xauthority")
        write_xauthority(self.env["XAUTHORITY"])
        # Xvfb picks a free display and reports it on the descriptor.
        screen = "%dx%dx24" % (SCREEN_WIDTH, SCREEN_HEIGHT)
        display = self._spawn_reporting(
            lambda fd: ["Xvfb", "-displayfd", str(fd), "-auth", self.env["XAUTHORITY"], "-nolisten", "tcp",
                        "-screen", "0", screen])
        self.env["DISPLAY"] = ":" + display
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["GDK_BACKEND"] = "x11"

    def screenshot(self, path):
        """The whole screen as PNG at `path`."""
        screenshot(self.env, path)

    def click(self, x, y, button=1):
        """A pointer click at (x, y) of the screen, as a hand on a mouse would give it."""
        pointer_click(self.env, x, y, button)

    def _start_bus(self, kind):
        """A dbus-daemon of `kind` (session or system) that lets everyone who
        reaches its socket, in this session's private directory, do anything."""
        config = os.path.join(self._dir, kind + ".conf")
        with open(config, "w") as f:
            f.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{kind}</type>
  <listen>unix:dir={self._dir}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
        return self._spawn_reporting(
            lambda fd: ["dbus-daemon", "--nofork", "--config-file=" + config, "--print-address=" + str(fd)])

    def _home(self, name, **variables):
        """The environment of a desktop's own processes: a private home and
        runtime directory, and `variables`."""
        home = os.path.join(self._dir, name + "-home")
        # Sockets go into the runtime directory, and their paths have room
        # for about a hundred bytes: it stays near the top.
        runtime = os.path.join(self._dir, name + "-run")
        os.mkdir(runtime, 0o700)
        env = dict(self.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"), XDG_DATA_HOME=os.path.join(home, ".local/share"),
                   XDG_RUNTIME_DIR=runtime, **variables)
        for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME"):
            os.makedirs(env[key])
        self.desktop_env = env
        return env

    def _start_panel(self):
        env = self._home("panel", GTK_THEME=self.panel_theme)
        channels = os.path.join(env["XDG_CONFIG_HOME"], "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(channels)
        with open(os.path.join(channels, "xfce4-panel.xml"), "w") as f:
            f.write(PANEL_CONFIG)
        with self._desktop_log() as log:
            # The private bus starts no services: the panel's settings daemon
            # is started by hand, before the panel asks it for its layout.
            self._spawn_group([xfconfd_path()], env, log)
            self._wait_for(log, "org.xfce.Xfconf", "xfconfd")
            self._spawn_group(["xfce4-panel", "--disable-wm-check"], env, log)
            self._wait_for(log, WATCHER_NAME, "xfce4-panel's status tray")

    def _start_gnome(self):
        env = self._gnome_home()
        with self._desktop_log() as log:
            self._spawn_group(["gnome-shell", "--x11", "--replace"], env, log)
            self._wait_for(log, WATCHER_NAME, "GNOME Shell's AppIndicator extension", 60)

    def _gnome_home(self):
        """GNOME Shell's environment, with its AppIndicator extension enabled
        and a system bus of its own."""
        env = self._home("gnome", GSETTINGS_BACKEND="keyfile", LIBGL_ALWAYS_SOFTWARE="1",
                         XDG_SESSION_TYPE=self.env.get("XDG_SESSION_TYPE", "x11"), XDG_CURRENT_DESKTOP="GNOME")
        # Settings in a file, as there is no dconf service on the private bus.
        settings = os.path.join(env["XDG_CONFIG_HOME"], "glib-2.0", "settings")
        os.makedirs(settings)
        with open(os.path.join(settings, "keyfile"), "w") as f:
            f.write("[org/gnome/shell]\ndisable-user-extensions=false\nenabled-extensions=['%s']\n"
                    % GNOME_EXTENSION)
        # Without a display manager the shell says once, in a banner, that the
        # screen cannot lock; this file tells it that it has said so.
        shell_data = os.path.join(env["XDG_DATA_HOME"], "gnome-shell")
        os.makedirs(shell_data)
        open(os.path.join(shell_data, "lock-warning-shown"), "w").close()
        # The shell needs a system bus, and wherever systemd's seat directory
        # exists (installing systemd makes it, booted or not) it wants logind
        # on it. A private bus stands in, with logind's name held by a
        # process that answers every call with an error: the shell goes on
        # without what logind would have told it.
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self._start_bus("system")
        self._processes.append(start_name_holder(env["DBUS_SYSTEM_BUS_ADDRESS"], "org.freedesktop.login1"))
        return env

    def _start_plasma(self):
        env = self._home("plasma", LIBGL_ALWAYS_SOFTWARE="1", QT_QUICK_BACKEND="software", QT_QPA_PLATFORM="xcb",
                         XDG_SESSION_TYPE="x11", XDG_CURRENT_DESKTOP="KDE", KDE_FULL_SESSION="true")
        with self._desktop_log() as log:
            self._start_plasma_shell(env, log, "kded5")

    def _start_plasma_shell(self, env, log, kded):
        """Plasma's shell and the services it needs, on env's display: `kded`
        (kded5 or kded6) is the daemon whose module is the tray's watcher."""
        # The shell will not start without the activity manager, and
        # kded first waits for a settings update that waits for it.
        self._spawn_group([_libexec("kactivitymanagerd")], env, log)
        self._wait_for(log, "org.kde.ActivityManager", "kactivitymanagerd", 60)
        # The tray's watcher is a module of kded, loaded on request.
        self._spawn_group([kded], env, log)
        self._wait_for(log, "org.kde." + kded, kded, 60)
        bus = connect(env)
        try:
            _call(bus, "org.kde." + kded, "/kded", "org.kde." + kded, "loadModule",
                  GLib.Variant("(s)", ("statusnotifierwatcher",)), "(b)", 90000)
        finally:
            bus.close_sync(None)
        self._wait_for(log, WATCHER_NAME, kded + "'s status notifier watcher")
        self._spawn_group(["plasmashell", "--no-respawn"], env, log)
        # The panel's system tray registers itself as the watcher's host.
        bus = connect(env)
        try:
            if not _poll(lambda: _property(bus, WATCHER_NAME, WATCHER_PATH, WATCHER_NAME,
                                           "IsStatusNotifierHostRegistered"), 90):
                raise ProbeError("plasmashell's system tray did not start" + self._log_tail(log))
        finally:
            bus.close_sync(None)

    def plasma_colours(self, scheme):
        """Switches the running Plasma to a colour scheme (BreezeLight,
        BreezeDark), as its settings would."""
        result = subprocess.run(["plasma-apply-colorscheme", scheme], env=self.desktop_env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            raise ProbeError("plasma-apply-colorscheme failed: " + result.stderr.strip())

    def _desktop_log(self):
        return open(os.path.join(self._dir, "desktop.log"), "ab+")

    def _log_tail(self, log):
        log.flush()
        log.seek(0)
        return "; its log ends:\n" + log.read()[-3000:].decode(errors="replace")

    def _wait_for(self, log, name, what, seconds=20):
        bus = connect(self.env)
        try:
            if not _wait_for_owner(bus, name, seconds):
                raise ProbeError(what + " did not start" + self._log_tail(log))
        finally:
            bus.close_sync(None)

    def _spawn_group(self, argv, env, log):
        # In a process group of its own: the panel runs its tray plugin in a
        # wrapper process, which goes with it.
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
        process.group = True
        self._processes.append(process)

    def _spawn_reporting(self, make_argv):
        """Starts a server that writes one line (where to reach it) to the
        descriptor it is given; returns that line."""
        read_end, write_end = os.pipe()
        argv = make_argv(write_end)
        process = subprocess.Popen(argv, pass_fds=(write_end,),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._processes.append(process)
        os.close(write_end)
        line = _read_line(read_end, 20)
        os.close(read_end)
        if not line:
            raise ProbeError(argv[0] + " did not start")
        return line

    def close(self):
        for process in reversed(self._processes):
            stop(process)
        self._processes = []
        if self._dir:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None


class WaylandSession(HeadlessSession):
    """A Wayland compositor's session with no X server at all: DISPLAY and
    XAUTHORITY are gone from env, GTK and Qt clients speak Wayland, and
    WAYLAND_DISPLAY is the absolute path of the compositor's socket, so that
    a client needs no XDG_RUNTIME_DIR to find it. A subclass starts its
    compositor in _start_desktop() through _start_compositor(), and gives
    screenshot() and click() their means."""

    size = (WAYLAND_WIDTH, WAYLAND_HEIGHT)

    def _start_display(self):
        for name in ("DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_RUNTIME_DIR", "SWAYSOCK"):
            self.env.pop(name, None)
        self.env.update(GDK_BACKEND="wayland", QT_QPA_PLATFORM="wayland", XDG_SESSION_TYPE="wayland")

    def _start_desktop(self):
        raise NotImplementedError

    def _start_compositor(self, argv, env, log, seconds=60):
        """Starts the compositor `argv` in env (from _home()) and waits for its
        socket in env's runtime directory; sets WAYLAND_DISPLAY for both."""
        self._spawn_group(argv, env, log)
        runtime = env["XDG_RUNTIME_DIR"]

        def socket_path():
            for name in sorted(os.listdir(runtime)):
                path = os.path.join(runtime, name)
                if name.startswith("wayland-") and not name.endswith(".lock") and os.path.exists(path + ".lock"):
                    return path
            return None

        path = _poll(lambda: self._processes[-1].poll() is None and socket_path(), seconds)
        if not path:
            raise ProbeError(argv[0] + " made no Wayland socket" + self._log_tail(log))
        self.env["WAYLAND_DISPLAY"] = env["WAYLAND_DISPLAY"] = path

    def screenshot(self, path):
        raise NotImplementedError

    def click(self, x, y, button=1):
        raise NotImplementedError


class GnomeWaylandSession(WaylandSession):
    """GNOME Shell as a headless Wayland compositor (no Xwayland) with one
    virtual monitor, in unsafe mode: its own D-Bus calls take the
    screenshots, and a virtual pointer in its JavaScript gives the clicks."""

    def _start_desktop(self):
        env = self._gnome_home()
        with self._desktop_log() as log:
            self._start_compositor(["gnome-shell", "--headless", "--wayland", "--no-x11", "--unsafe-mode",
                                    "--virtual-monitor", "%dx%d" % self.size], env, log)
            self._wait_for(log, WATCHER_NAME, "GNOME Shell's AppIndicator extension", 60)
            # Exported on its own, at times after the extensions have started.
            self._wait_for(log, "org.gnome.Shell.Screenshot", "GNOME Shell's screenshot service", 60)
        self._bus = connect(self.env)

    def _shell(self, method, parameters, reply):
        return _call(self._bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", method, parameters,
                     reply)

    def screenshot(self, path):
        ok, _used = _call(self._bus, "org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                          "org.gnome.Shell.Screenshot", "Screenshot",
                          GLib.Variant("(bbs)", (False, False, os.path.abspath(path))), "(bs)", 30000)
        if not ok:
            raise ProbeError("GNOME Shell took no screenshot")

    def click(self, x, y, button=1):
        # One virtual pointer for the session, kept by the shell. The backend
        # is the stage's since GNOME 44, a global before.
        script = """
            const Clutter = imports.gi.Clutter;
            const backend = global.stage.context ? global.stage.context.get_backend()
                                                 : Clutter.get_default_backend();
            if (!globalThis.trayProbePointer)
                globalThis.trayProbePointer = backend.get_default_seat()
                    .create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
            const pointer = globalThis.trayProbePointer;
            pointer.notify_absolute_motion(Clutter.CURRENT_TIME, %d, %d);
            pointer.notify_button(Clutter.CURRENT_TIME, %d, Clutter.ButtonState.PRESSED);
            pointer.notify_button(Clutter.CURRENT_TIME, %d, Clutter.ButtonState.RELEASED);
            "clicked";
        """ % (x, y, button, button)
        ok, result = self._shell("Eval", GLib.Variant("(s)", (script,)), "(bs)")
        if not ok:
            raise ProbeError("GNOME Shell did not click: " + result)

    def close(self):
        if getattr(self, "_bus", None):
            self._bus.close_sync(None)
            self._bus = None
        super().close()


WAYBAR_CONFIG = """{"layer": "top", "position": "top", "height": 30, "modules-right": ["tray"]}"""
# Bars of one flat colour, dark and light, for waybar in place of its default
# style sheet.
WAYBAR_STYLES = {
    "dark": "window#waybar { background-color: #1e1e1e; } #tray { padding: 0 8px; }",
    "light": "window#waybar { background-color: #f6f5f4; } #tray { padding: 0 8px; }",
}


class SwaySession(WaylandSession):
    """sway with a headless output drawn in software (no Xwayland), and
    waybar with only its tray module, in waybar's default style (or
    panel_theme, a key of WAYBAR_STYLES): waybar is the StatusNotifierWatcher and its
    host. grim takes the screenshots; clicks come from a virtual pointer that
    lives as long as the session (run_pointer), so that clients bind their
    pointer once, at their start, as they would with a mouse plugged in."""

    def _start_desktop(self):
        env = self._home("sway", WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1",
                         WLR_HEADLESS_OUTPUTS="1", XDG_CURRENT_DESKTOP="sway")
        config = os.path.join(self._dir, "sway.conf")
        with open(config, "w") as f:
            f.write("xwayland disable\noutput * mode --custom %dx%d\n"
                    "default_border none\nfocus_follows_mouse no\n" % self.size)
        waybar_config = os.path.join(self._dir, "waybar.json")
        with open(waybar_config, "w") as f:
            f.write(WAYBAR_CONFIG)
        with self._desktop_log() as log:
            self._start_compositor(["sway", "--config", config], env, log)
            self._pointer = _start_ready([sys.executable, os.path.abspath(__file__), "pointer"], env, 20)
            self._processes.append(self._pointer)
            style = []
            if self.panel_theme:
                style = ["--style", os.path.join(self._dir, "waybar.css")]
                with open(style[1], "w") as f:
                    f.write(WAYBAR_STYLES[self.panel_theme])
            self._spawn_group(["waybar", "--config", waybar_config] + style, env, log)
            self._wait_for(log, WATCHER_NAME, "waybar's tray", 30)

    def screenshot(self, path):
        result = subprocess.run(["grim", "-t", "png", path], env=self.desktop_env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            raise ProbeError("grim failed: " + result.stderr.strip())

    def click(self, x, y, button=1):
        self._pointer.stdin.write("click %d %d %d\n" % (x, y, button))
        self._pointer.stdin.flush()
        if _read_line(self._pointer.stdout.fileno(), 10) != "clicked":
            raise ProbeError("the virtual pointer did not click")


class PlasmaWaylandSession(WaylandSession):
    """KWin as a Wayland compositor and Plasma's shell on it, in the colour
    scheme panel_theme (BreezeLight, BreezeDark), set before the shell starts:
    Plasma 6 recolours a running panel's text but not its background. KWin's output is a window on a
    private headless X server, which only KWin is told of: without a GPU,
    KWin composites in software, and then neither its virtual output nor its
    screenshot interface shows what it drew, while the X server's screen does.
    The pointer on that screen is KWin's mouse: its clicks go through KWin's
    input handling to the Wayland clients, as a hand's would."""

    size = (SCREEN_WIDTH, SCREEN_HEIGHT)

    def _start_display(self):
        HeadlessSession._start_display(self)
        self._x11 = {name: self.env[name] for name in ("DISPLAY", "XAUTHORITY")}
        super()._start_display()

    def _start_desktop(self):
        env = self._home("plasma", LIBGL_ALWAYS_SOFTWARE="1", QT_QUICK_BACKEND="software", XDG_CURRENT_DESKTOP="KDE",
                         KDE_FULL_SESSION="true", KDE_SESSION_VERSION="6")
        with self._desktop_log() as log:
            self._start_compositor(["kwin_wayland", "--x11-display", self._x11["DISPLAY"], "--no-lockscreen",
                                    "--socket", "wayland-0", "--width", str(self.size[0]),
                                    "--height", str(self.size[1])], dict(env, **self._x11), log)
            env["WAYLAND_DISPLAY"] = self.env["WAYLAND_DISPLAY"]
            if self.panel_theme:
                self.plasma_colours(self.panel_theme)
            self._start_plasma_shell(env, log, "kded6")

    def screenshot(self, path):
        screenshot(dict(self.env, **self._x11), path)

    def click(self, x, y, button=1):
        pointer_click(dict(self.env, **self._x11), x, y, button)


def run_pointer(width, height):
    """A virtual pointer on the wlroots compositor of $WAYLAND_DISPLAY
    (zwlr_virtual_pointer_v1, spoken on the socket by hand): prints "ready",
    then reads lines "click X Y BUTTON" (X button numbers: 1 left, 2 middle, 3
    right) and answers each with "clicked" once the compositor has handled it."""
    import socket as sockets
    display = os.environ.get("WAYLAND_DISPLAY", "wayland-0")
    if not display.startswith("/"):
        display = os.path.join(os.environ["XDG_RUNTIME_DIR"], display)
    wire = sockets.socket(sockets.AF_UNIX, sockets.SOCK_STREAM)
    wire.connect(display)
    state = {"next": 2, "buffer": b""}

    def new_id():
        state["next"] += 1
        return state["next"] - 1

    def text(value):
        data = value.encode() + b"\0"
        return struct.pack("=I", len(data)) + data + b"\0" * (-len(data) % 4)

    def send(target, opcode, *args):
        body = b"".join(a if isinstance(a, bytes) else struct.pack("=I", a) for a in args)
        wire.sendall(struct.pack("=II", target, (8 + len(body)) << 16 | opcode) + body)

    def events():
        while True:
            while len(state["buffer"]) >= 8:
                target, word = struct.unpack_from("=II", state["buffer"])
                size = word >> 16
                if len(state["buffer"]) < size:
                    break
                body, state["buffer"] = state["buffer"][8:size], state["buffer"][size:]
                yield target, word & 0xFFFF, body
            chunk = wire.recv(65536)
            if not chunk:
                raise ProbeError("the compositor closed the connection")
            state["buffer"] += chunk

    def roundtrip(on_event=lambda *event: None):
        callback = new_id()
        send(1, 0, callback)  # wl_display.sync
        for target, opcode, body in events():
            if target == 1 and opcode == 0:  # wl_display.error
                raise ProbeError("protocol error %d on object %d" % struct.unpack_from("=II", body)[1::-1])
            if target == callback:
                return
            on_event(target, opcode, body)

    registry = new_id()
    send(1, 1, registry)  # wl_display.get_registry
    globals_ = {}

    def on_global(target, opcode, body):
        if target == registry and opcode == 0:
            name, length = struct.unpack_from("=II", body)
            globals_[body[8:8 + length - 1].decode()] = name

    roundtrip(on_global)
    interface = "zwlr_virtual_pointer_manager_v1"
    if interface not in globals_:
        raise ProbeError("the compositor offers no " + interface)
    manager = new_id()
    send(registry, 0, globals_[interface], text(interface), 1, manager)  # wl_registry.bind
    pointer = new_id()
    send(manager, 0, 0, pointer)  # create_virtual_pointer on the default seat

    def move(x, y):
        send(pointer, 1, int(time.monotonic() * 1000) & 0xFFFFFFFF, x, y, width, height)  # motion_absolute
        send(pointer, 4)  # frame
        roundtrip()

    # Between clicks the pointer waits in the bottom left corner, where its
    # arrow is off the screen but for its tip and covers nothing of a bar or menu.
    move(0, height - 1)
    print("ready", flush=True)
    buttons = {1: 0x110, 2: 0x112, 3: 0x111}  # BTN_LEFT, BTN_MIDDLE, BTN_RIGHT
    for line in sys.stdin:
        _command, x, y, button = line.split()
        move(int(x), int(y))
        for pressed in (1, 0):
            send(pointer, 2, int(time.monotonic() * 1000) & 0xFFFFFFFF, buttons[int(button)], pressed)  # button
            send(pointer, 4)
        roundtrip()
        move(0, height - 1)
        print("clicked", flush=True)


def open_session(panel_theme=None, desktop=None):
    """The session that runs `desktop` (a key of BARS, or None for a bare X
    server), not yet started: use it in a with statement."""
    kinds = {"gnome-wayland": GnomeWaylandSession, "sway": SwaySession, "plasma-wayland": PlasmaWaylandSession}
    return kinds.get(desktop, HeadlessSession)(panel_theme, desktop)


def _read_line(fd, seconds):
    """The first line from a pipe, or "" when none comes within `seconds`.
    Whatever came with it in the same read is dropped."""
    import select
    data = b""
    deadline = time.monotonic() + seconds
    while b"\n" not in data:
        left = deadline - time.monotonic()
        if left <= 0:
            return ""
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            return ""
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        data += chunk
    return data.split(b"\n", 1)[0].decode().strip()


def stop(process, seconds=5):
    """Ends a child process (with its process group when it leads one):
    SIGTERM, then SIGKILL; always reaps it."""
    group = getattr(process, "group", False)

    def send(sig):
        try:
            if group:
                os.killpg(process.pid, sig)
            else:
                process.send_signal(sig)
        except ProcessLookupError:
            pass

    if process.poll() is None:
        send(signal.SIGTERM)
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            send(signal.SIGKILL)
            process.wait()
    if group:
        send(signal.SIGKILL)  # what the leader left behind
    for pipe in (process.stdin, process.stdout):
        if pipe:
            pipe.close()


def _wait_for_owner(bus, name, seconds):
    def owned():
        (has,) = _call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "NameHasOwner", GLib.Variant("(s)", (name,)), "(b)")
        return has
    return bool(_poll(owned, seconds))


def pointer_click(env, x, y, button=1):
    """Moves the pointer of env's display to (x, y) and clicks there with
    `button`, as a user's hand would."""
    result = subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button)], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise ProbeError("xdotool failed: " + result.stderr.strip())


def screenshot(env, path, panel_only=False, desktop="xfce"):
    """Writes the screen of env's display (or only the strip of the desktop's
    bar) to path as PNG."""
    (top, bottom), _volatile = BARS[desktop]
    crop = ["-crop", "%dx%d+0+%d" % (SCREEN_WIDTH, bottom - top, top), "+repage"] if panel_only else []
    result = subprocess.run(["import", "-window", "root"] + crop + ["png:" + path], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise ProbeError("import failed: " + result.stderr.strip())


# ---------------------------------------------------------------- watcher


def run_watcher(address=None, out=sys.stdout):
    """Owns the watcher name on the bus and serves it until killed."""
    bus = _bus(address)
    items = []
    node = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML)

    def emit(signal_name, entry):
        try:
            bus.emit_signal(None, WATCHER_PATH, WATCHER_NAME, signal_name, GLib.Variant("(s)", (entry,)))
        except GLib.Error:
            pass  # the bus is going away with the session

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierItem":
            (argument,) = parameters.unpack()
            if argument.startswith("/"):
                entry = sender + argument
            else:
                entry = argument + "/StatusNotifierItem"
            if entry not in items:
                items.append(entry)
                emit("StatusNotifierItemRegistered", entry)
                print("registered " + entry, file=out, flush=True)
            invocation.return_value(None)
        elif method == "RegisterStatusNotifierHost":
            invocation.return_value(None)
        else:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)

    def on_get(connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None

    def on_owner_changed(connection, sender, path, interface, signal_name, parameters):
        name, _old, new = parameters.unpack()
        if new:
            return
        for entry in [e for e in items if e.split("/", 1)[0] == name]:
            items.remove(entry)
            emit("StatusNotifierItemUnregistered", entry)
            print("unregistered " + entry, file=out, flush=True)

    bus.register_object(WATCHER_PATH, node.interfaces[0], on_call, on_get, None)
    bus.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                         "/org/freedesktop/DBus", None, Gio.DBusSignalFlags.NONE, on_owner_changed)
    loop = GLib.MainLoop()

    def on_acquired(connection, name):
        bus.emit_signal(None, WATCHER_PATH, WATCHER_NAME, "StatusNotifierHostRegistered", None)
        print("ready", file=out, flush=True)

    def on_lost(connection, name):
        # Called with no connection at all once the bus itself has gone.
        if connection is not None and not connection.is_closed():
            print("lost the watcher name", file=sys.stderr, flush=True)
        loop.quit()

    bus.connect("closed", lambda *args: loop.quit())
    Gio.bus_own_name_on_connection(bus, WATCHER_NAME, Gio.BusNameOwnerFlags.NONE, on_acquired, on_lost)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: loop.quit() or False)
    loop.run()


def run_name_holder(address, name):
    """Owns `name` on the bus at `address`, exporting nothing, until killed."""
    bus = _bus(address)
    loop = GLib.MainLoop()
    bus.connect("closed", lambda *args: loop.quit())
    Gio.bus_own_name_on_connection(bus, name, Gio.BusNameOwnerFlags.NONE,
                                   lambda *args: print("ready", flush=True), lambda *args: loop.quit())
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: loop.quit() or False)
    loop.run()


def start_name_holder(address, name, seconds=20):
    """Starts `tray_probe.py hold NAME` on the bus at `address`; returns the
    process once it owns the name."""
    return _start_ready([sys.executable, os.path.abspath(__file__), "hold", name],
                        dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address), seconds)


def start_watcher(env, seconds=20):
    """Starts `tray_probe.py watch` on env's bus; returns the process once it
    owns the watcher name."""
    return _start_ready([sys.executable, os.path.abspath(__file__), "watch"], env, seconds)


def _start_ready(argv, env, seconds):
    process = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = _read_line(process.stdout.fileno(), seconds) if process.stdout else ""
    if line != "ready":
        stop(process)
        raise ProbeError("%s did not start: %r" % (" ".join(argv[1:]), line))
    return process


# ---------------------------------------------------------------- items and menus


def connect(env=None):
    """A connection to the session bus of env (or of this process)."""
    address = (env or os.environ).get("DBUS_SESSION_BUS_ADDRESS")
    return _bus(address)


def _bus(address):
    if not address:
        raise ProbeError("DBUS_SESSION_BUS_ADDRESS is not set")
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)


def _call(bus, name, path, interface, method, parameters, reply_type=None, timeout_ms=CALL_TIMEOUT_MS):
    reply = bus.call_sync(name, path, interface, method, parameters,
                          GLib.VariantType.new(reply_type) if reply_type else None,
                          Gio.DBusCallFlags.NONE, timeout_ms, None)
    return reply.unpack() if reply is not None else None


def _property(bus, name, path, interface, prop):
    (value,) = _call(bus, name, path, "org.freedesktop.DBus.Properties", "Get",
                     GLib.Variant("(ss)", (interface, prop)), "(v)")
    return value


def items(bus):
    """The watcher's registered items ("BUSNAME/OBJECT/PATH")."""
    return list(_property(bus, WATCHER_NAME, WATCHER_PATH, WATCHER_NAME, "RegisteredStatusNotifierItems"))


def wait_for_item(bus, seconds=20):
    """The only registered item, once there is one."""
    found = _poll(lambda: items(bus), seconds)
    if not found:
        raise ProbeError("no item registered with the watcher")
    if len(found) > 1:
        raise ProbeError("more than one item: " + ", ".join(found))
    return found[0]


def item_of_process(bus, pid, seconds=15):
    """The registered item that process `pid` exported (a desktop may have
    many), once there is one; None if none comes."""
    def attempt():
        for item in items(bus):
            try:
                (owner,) = _call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                 GLib.Variant("(s)", (_split(item)[0],)), "(u)")
            except GLib.Error:
                continue  # its owner has left the bus
            if owner == pid:
                return item
        return None

    return _poll(attempt, seconds)


def item_property(bus, item, prop):
    service, path = _split(item)
    return _property(bus, service, path, ITEM_INTERFACE, prop)


def read_menu(bus, item):
    """The item's menu as a flat list of dicts, in menu order."""
    service, path = _split(item)
    menu_path = item_property(bus, item, "Menu")
    _revision, layout = _call(bus, service, menu_path, MENU_INTERFACE, "GetLayout",
                              GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
    entries = []

    def walk(node):
        node_id, props, children = node
        entries.append({
            "id": node_id,
            "label": props.get("label", ""),
            "visible": props.get("visible", True),
            "enabled": props.get("enabled", True),
            "type": props.get("type", "standard"),
        })
        for child in children:
            walk(child)

    for child in layout[2]:
        walk(child)
    return entries


def find(menu, label):
    """The entry labelled `label`, or None."""
    for entry in menu:
        if entry["label"] == label:
            return entry
    return None


def wait_for_menu(bus, item, predicate, seconds=20):
    """Reads the menu until predicate(menu) holds; returns that menu. The
    exported layout follows the toolkit's menu a moment later."""
    last = []

    def attempt():
        last[:] = read_menu(bus, item)
        return last if predicate(last) else None

    menu = _poll(attempt, seconds)
    if menu is None:
        raise ProbeError("menu never matched; last read: " + json.dumps(last, ensure_ascii=False))
    return menu


def click(bus, item, label):
    """Chooses the menu entry labelled `label`, as a click on it would."""
    entry = find(read_menu(bus, item), label)
    if entry is None:
        raise ProbeError("no menu entry labelled " + repr(label))
    service, _path = _split(item)
    menu_path = item_property(bus, item, "Menu")
    try:
        _call(bus, service, menu_path, MENU_INTERFACE, "Event",
              GLib.Variant("(isvu)", (entry["id"], "clicked", GLib.Variant("i", 0), 0)))
    except GLib.Error as error:
        # The bus reports NoReply when the item received the click but left the
        # bus before answering, as an agent does when the click ends it (Quit
        # closes the application, and with it the agent). The click was
        # delivered; what it caused is for the caller to check.
        if Gio.DBusError.get_remote_error(error) != "org.freedesktop.DBus.Error.NoReply":
            raise


def _split(item):
    # GNOME's AppIndicator extension lists its items as BUSNAME@/OBJECT/PATH.
    slash = item.index("/")
    return item[:slash].removesuffix("@"), item[slash:]


def _poll(attempt, seconds):
    deadline = time.monotonic() + seconds
    while True:
        try:
            result = attempt()
        except GLib.Error:
            result = None  # the item or its menu is not exported yet
        if result:
            return result
        if time.monotonic() > deadline:
            return None
        time.sleep(0.05)


# ---------------------------------------------------------------- command line


def main(argv):
    parser = argparse.ArgumentParser(description="StatusNotifier tray probe for tests")
    commands = parser.add_subparsers(dest="command", required=True)
    session = commands.add_parser("session")
    session.add_argument("--panel", metavar="THEME")
    session.add_argument("--desktop", choices=("gnome", "plasma", "gnome-wayland", "sway", "plasma-wayland"))
    session.add_argument("argv", nargs=argparse.REMAINDER)
    shot = commands.add_parser("screenshot")
    shot.add_argument("path")
    shot.add_argument("--panel", action="store_true")
    shot.add_argument("--desktop", choices=sorted(BARS), default="xfce")
    commands.add_parser("watch")
    commands.add_parser("pointer")
    commands.add_parser("hold").add_argument("name")
    commands.add_parser("items")
    for name in ("menu", "click", "wait-label"):
        sub = commands.add_parser(name)
        if name != "menu":
            sub.add_argument("label")
        sub.add_argument("--item")
        sub.add_argument("--wait", type=float, default=20)
    args = parser.parse_args(argv)

    try:
        if args.command == "session":
            command = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
            if not command:
                parser.error("session needs a command")
            with open_session(args.panel, args.desktop) as headless:
                return subprocess.call(command, env=headless.env)
        if args.command == "screenshot":
            screenshot(os.environ, args.path, args.panel, args.desktop)
            return 0
        if args.command == "pointer":
            run_pointer(WAYLAND_WIDTH, WAYLAND_HEIGHT)
            return 0
        if args.command == "watch":
            run_watcher(os.environ.get("DBUS_SESSION_BUS_ADDRESS"))
            return 0
        if args.command == "hold":
            run_name_holder(os.environ.get("DBUS_SESSION_BUS_ADDRESS"), args.name)
            return 0
        bus = connect()
        if args.command == "items":
            for entry in items(bus):
                print(entry)
            return 0
        item = args.item or wait_for_item(bus, args.wait)
        if args.command == "menu":
            menu = wait_for_menu(bus, item, lambda m: len(m) > 0, args.wait)
            print(json.dumps(menu, ensure_ascii=False, indent=1))
        elif args.command == "click":
            wait_for_menu(bus, item, lambda m: find(m, args.label) is not None, args.wait)
            click(bus, item, args.label)
        elif args.command == "wait-label":
            wait_for_menu(bus, item, lambda m: (find(m, args.label) or {}).get("visible", False), args.wait)
        return 0
    except (ProbeError, GLib.Error) as error:
        print("tray_probe: " + str(error), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

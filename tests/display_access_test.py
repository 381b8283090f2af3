#!/usr/bin/python3
"""The headless display that tests and the demo start (tools/tray_probe.py):
only holders of its cookie may connect. Another local user (nobody) is refused
by a real X client (xdpyinfo), and so is root without the cookie; the session's
own clients connect. Needs root (to be another user), Xvfb and xdpyinfo; exits
77 (skipped) without them.
"""

import os
import shutil
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import tray_probe  # noqa: E402

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def connects(env, as_user=()):
    """Whether xdpyinfo reaches the display in `env`; from / so that another
    user can start wherever this test runs."""
    result = subprocess.run([*as_user, "xdpyinfo"], env=env, cwd="/", timeout=60,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return result.returncode == 0, result.stderr.strip()


class DisplayAccessTest(unittest.TestCase):
    def test_only_cookie_holders_connect(self):
        with tray_probe.HeadlessSession() as session, tray_probe.HeadlessSession() as other:
            cookie = session.env["XAUTHORITY"]
            self.assertEqual(stat.S_IMODE(os.lstat(cookie).st_mode), 0o600)
            self.assertEqual(stat.S_IMODE(os.lstat(os.path.dirname(cookie)).st_mode), 0o700)
            self.assertEqual(connects(session.env)[0], True, "the session's own client was refused")
            # Each cookie is fresh: another session's is worth nothing here.
            foreign = dict(session.env, XAUTHORITY=other.env["XAUTHORITY"])
            without = {k: v for k, v in session.env.items() if k != "XAUTHORITY"}
            without["HOME"] = "/nonexistent"
            for who, env, as_user in (("another session's cookie", foreign, ()),
                                      ("root without the cookie", without, ()),
                                      ("nobody", without, NOBODY),
                                      ("nobody naming the cookie file", session.env, NOBODY)):
                ok, said = connects(env, as_user)
                self.assertFalse(ok, who + " reached the display")
                self.assertIn("unable to open display", said, who)


if __name__ == "__main__":
    missing = [tool for tool in ("Xvfb", "xdpyinfo", "setpriv", "dbus-daemon") if not shutil.which(tool)]
    if missing:
        print("SKIP: not installed (scripts/setup-debian installs them): " + " ".join(missing))
    elif os.geteuid() != 0:
        print("SKIP: needs root to connect as another user")
    else:
        unittest.main(argv=sys.argv[:1], verbosity=2)
    sys.exit(77)

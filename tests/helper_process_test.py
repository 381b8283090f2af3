"""The real veltovpn-helper binary, run as root on its fixed socket.

  helper_process_test.py HELPER CLIENT

Starts the daemon over a stale socket file, checks its start lines and the
socket's mode, serves the protocol's edge cases to raw clients and to the client
tool, has a client running as uid 65534 refused, then stops the daemon and
removes what it left. Exits 77 (skipped) when not root.
"""
import json
import os
import socket
import stat
import subprocess
import sys
import time
import unittest

SOCKET_PATH = "/var/run/veltovpn-helper.sock"
LOG_PATH = "/var/log/veltovpn-helper.log"
VERSION = "2.0.0-alpha.1"
INVALID = {"success": False, "error": "invalid request \u2014 expected JSON with action field"}
PONG = {"success": True, "message": "pong", "version": VERSION}

HELPER, CLIENT = sys.argv[1], sys.argv[2]

# A client for another user: raw socket, as the daemon's real clients speak.
OTHER_USER_CLIENT = r"""
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
try:
    s.sendall(sys.argv[2].encode())
    s.shutdown(socket.SHUT_WR)
except OSError:
    pass  # refused peers are answered before their request is read
data = b""
while True:
    try:
        chunk = s.recv(65536)
    except ConnectionResetError:
        break
    if not chunk:
        break
    data += chunk
sys.stdout.write(data.decode())
"""


def exchange(chunks, shut=True, pause=0.0):
    """Sends `chunks` (bytes) in separate writes, ends the sending side, returns
    the raw response bytes."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(60)
        s.connect(SOCKET_PATH)
        for chunk in chunks:
            s.sendall(chunk)
            if pause:
                time.sleep(pause)
        if shut:
            s.shutdown(socket.SHUT_WR)
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
        return data


def request(obj):
    return json.loads(exchange([json.dumps(obj).encode()]))


class HelperDaemonTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log_existed = os.path.exists(LOG_PATH)
        cls.log_offset = os.path.getsize(LOG_PATH) if cls.log_existed else 0
        # A socket file left by an earlier run that nobody listens on any more.
        if os.path.exists(SOCKET_PATH):
            os.unlink(SOCKET_PATH)
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(SOCKET_PATH)
        stale.close()
        # Started with its standard descriptors closed, as a careless parent might:
        # sockets and pipes must not land on them. Its log file tells what it says.
        cls.helper = subprocess.Popen(
            ["/bin/bash", "-c", 'exec 0<&- 1>&- 2>&-; exec "$0"', HELPER],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PATH="/nowhere"))
        deadline = time.monotonic() + 30
        while True:
            try:
                exchange([b'{"action":"ping"}'])
                break
            except OSError:
                if time.monotonic() > deadline or cls.helper.poll() is not None:
                    cls.tearDownClass()
                    raise RuntimeError("the helper did not start listening")
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        if cls.helper.poll() is None:
            cls.helper.terminate()
        cls.helper.wait(timeout=30)
        if os.path.exists(SOCKET_PATH):
            os.unlink(SOCKET_PATH)
        if not cls.log_existed and os.path.exists(LOG_PATH):
            os.unlink(LOG_PATH)

    def log_lines(self):
        with open(LOG_PATH, "rb") as f:
            f.seek(self.log_offset)
            return f.read().decode().splitlines()

    def test_start_lines_and_socket_mode(self):
        lines = self.log_lines()
        self.assertRegex(lines[0], r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] veltovpn-helper "
                         + VERSION.replace(".", r"\.") + r" starting\.\.\.$")
        self.assertRegex(lines[1], r"^\[[0-9TZ:-]{20}\] listening on /var/run/veltovpn-helper\.sock$")
        info = os.stat(SOCKET_PATH)
        self.assertTrue(stat.S_ISSOCK(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o666)

    def test_ping_and_scripts(self):
        raw = exchange([b'{"action":"ping"}'])
        self.assertEqual(json.loads(raw), PONG)
        self.assertFalse(raw.endswith(b"\n"))
        self.assertEqual(request({"action": "run-script",
                                  "script": "echo out; echo err >&2; echo \"$PATH\"; whoami; exit 3"}),
                         {"success": True, "exit": 3, "stderr": "",
                          "stdout": "out\nerr\n/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:"
                                    "/opt/homebrew/bin\nroot\n"})
        # The script never sees the daemon's sockets.
        fds = request({"action": "run-script",
                       "script": "for f in /proc/$$/fd/*; do readlink \"$f\"; done"})
        self.assertNotIn("socket:", fds["stdout"])
        self.assertIn("run-script exit=3 output=", "\n".join(self.log_lines()))

    def test_edge_cases(self):
        # The framing as the real daemon reads it; the protocol's own cases are
        # covered by the unit tests.
        cases = [
            ("empty", [], INVALID),
            ("not utf-8", [b'{"action":"ping","x":"\xff"}'], INVALID),
            ("capital ping", [b'{"action":"PING"}'],
             {"success": False, "error": "unknown action: PING"}),
            ("missing script", [b'{"action":"run-script"}'],
             {"success": False, "error": "run-script: missing or empty 'script' field"}),
            ("fragments", [b'{"act', b'ion":"pi', b'ng"}'], PONG),
            ("newline", [b'{"action":"ping"}\n'], PONG),
            ("long", [b'{"pad":"' + b"p" * 100000 + b'","action":"ping"}'], PONG),
        ]
        for name, chunks, expected in cases:
            with self.subTest(name):
                self.assertEqual(json.loads(exchange(chunks, pause=0.01)), expected)

    def test_too_large_and_early_hang_up(self):
        too_large = b'{"action":"ping","pad":"' + b"x" * (16 * 1024 * 1024) + b'"}'
        self.assertEqual(json.loads(exchange([too_large])),
                         {"success": False, "error": "request too large"})
        # A client gone before its answer does not stop the daemon.
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(SOCKET_PATH)
            s.sendall(json.dumps({"action": "run-script",
                                  "script": "sleep 0.2; head -c 1000000 /dev/zero"}).encode())
            s.shutdown(socket.SHUT_WR)
        self.assertEqual(request({"action": "ping"}), PONG)
        self.assertIsNone(self.helper.poll())

    def test_client_tool(self):
        result = subprocess.run([CLIENT, '{"action":"run-script","script":"echo hi"}'],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout),
                         {"success": True, "exit": 0, "stdout": "hi\n", "stderr": ""})

    def test_other_user_is_refused(self):
        result = subprocess.run(
            ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups",
             "/usr/bin/python3", "-c", OTHER_USER_CLIENT, SOCKET_PATH,
             json.dumps({"action": "run-script", "script": "touch /tmp/refused-peer-ran"})],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout),
                         {"success": False, "error": "unauthorized peer"})
        self.assertFalse(os.path.exists("/tmp/refused-peer-ran"))
        self.assertRegex("\n".join(self.log_lines()), r"refused peer uid=65534 pid=\d+")


def main():
    if os.geteuid() != 0:
        print("SKIP: the helper daemon must run as root on %s (uid is %d)"
              % (SOCKET_PATH, os.geteuid()))
        return 77
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            probe.connect(SOCKET_PATH)
        print("SKIP: a helper daemon already serves " + SOCKET_PATH)
        return 77
    except OSError:
        pass
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(HelperDaemonTest)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

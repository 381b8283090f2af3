"""The real veltovpn-helper binary, run as root on its fixed socket.

  helper_process_test.py HELPER TESTING_HELPER [--sanitized]

Starts the daemon over a stale socket file under a hostile parent; checks its
start lines, what a script is handed, refuses uid 65534 and a second daemon;
puts the testing build (own socket) under load, a full /tmp and a stop during a
script. Admission by group, framing and the protocol are the unit tests'.
--sanitized skips the memory figures, which a sanitizer's allocator distorts.
Exits 77 (skipped) when not root.
"""
import inspect
import json
import multiprocessing
import os
import random
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

SOCKET_PATH = os.environ["VELTOVPN_HELPER_SOCKET"]
LOG_PATH = os.environ["VELTOVPN_HELPER_LOG"]
VERSION = os.environ["VELTOVPN_VERSION"]
INVALID = {"success": False, "error": "invalid request \u2014 expected JSON with action field"}
PONG = {"success": True, "message": "pong", "version": VERSION}

HELPER, TESTING_HELPER = sys.argv[1], sys.argv[2]
SANITIZED = "--sanitized" in sys.argv[3:]
MAX_OUTPUT = 16 * 1024 * 1024
TRUNCATED = "\nhelper: output truncated after 16 MiB"


def read_all(s):
    data = b""
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


def exchange(chunks, path):
    """Sends `chunks` (bytes) in separate writes, ends the sending side, returns
    the raw response bytes."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        # A blocking connect waits for room in a full listen queue; with a time-out
        # set, Python would fail it with EAGAIN instead.
        s.connect(path)
        s.settimeout(60)
        try:
            for chunk in chunks:
                s.sendall(chunk)
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # refused peers are answered before their request is read
        return read_all(s)


# A client in a process of its own (another user's): `exchange` of one request.
CLIENT = ("import socket, sys\n" + inspect.getsource(read_all) + inspect.getsource(exchange)
          + "sys.stdout.write(exchange([sys.argv[2].encode()], sys.argv[1]).decode())\n")


def request(obj, path=SOCKET_PATH):
    return json.loads(exchange([json.dumps(obj).encode()], path))


def load_client(path, seed, count):
    """One of the load test's clients: `count` requests of every kind, mixed by
    a seeded generator, each checked. Returns how many were answered and what
    went wrong."""
    rng = random.Random(seed)
    answered, wrong = 0, []
    for i in range(count):
        kind = rng.randrange(100)
        tag = "%d-%d" % (seed, i)
        script = json.dumps({"action": "run-script", "script": "echo " + tag}).encode()
        if kind < 5:
            expected = {"success": True, "exit": 0, "stderr": "", "stdout": tag + "\n"}
            chunks = [script]
        elif kind < 15:
            expected = INVALID
            chunks = [rng.choice([b"", b"{", b"[1,2]", b'{"action":7}', bytes([0xff, 0x7b])])]
        elif kind < 20:
            # Hangs up before the answer, half the time in the middle of its request.
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(path)
                s.sendall(script[:rng.choice([5, 1000])])
            continue
        elif kind < 21 and i % 4 == 0:
            expected = {"success": False, "error": "request too large"}
            chunks = [b'{"action":"ping","pad":"' + b"x" * (16 * 1024 * 1024) + b'"}']
        else:
            expected, chunks = PONG, [b'{"action":"ping"}']
        try:
            got = json.loads(exchange(chunks, path))
        except (OSError, ValueError) as e:
            wrong.append("%s: %r" % (tag, e))
            continue
        if got == expected:
            answered += 1
        else:
            wrong.append("%s: %r" % (tag, got))
    return answered, wrong[:10]


def process_status(pid):
    """The fields of /proc/PID/status, by name."""
    with open("/proc/%d/status" % pid) as f:
        return dict(line.split(":", 1) for line in f)


def memory_kib(pid, field):
    return int(process_status(pid)[field].split()[0])


def wait_until(done, what):
    """Polls `done` until true; raises AssertionError(what) after 30 s."""
    deadline = time.monotonic() + 30
    while not done():
        if time.monotonic() > deadline:
            raise AssertionError(what)
        time.sleep(0.05)


def wait_until_serving(path, process):
    deadline = time.monotonic() + 30
    while True:
        try:
            exchange([b'{"action":"ping"}'], path)
            return
        except OSError:
            if time.monotonic() > deadline or process.poll() is not None:
                raise RuntimeError("the helper did not start listening on " + path)
            time.sleep(0.05)


def stop_helper(process):
    """SIGTERM, then SIGKILL for a helper that has not ended 30 s later, which
    fails the test. The status SIGTERM brought, or None when it had ended before."""
    if process.poll() is not None:
        return None
    process.terminate()
    try:
        return process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise AssertionError("the helper (pid %d) outlived SIGTERM by 30 s: killed" % process.pid)


# Signals a careless parent passes on ignored through exec: SIGCHLD (the kernel
# would reap every script), and what nohup or a shell's background job ignore.
INHERITED_IGNORED = (signal.SIGCHLD, signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT,
                     signal.SIGUSR1)


def hostile_parent():
    """Those signals ignored, and SIGTERM blocked as well."""
    for sig in INHERITED_IGNORED:
        signal.signal(sig, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})


def signals_in(mask):
    """The signal numbers set in a /proc/PID/status mask, of those a program may
    use: the two below SIGRTMIN belong to the C library, whose posix_spawn
    leaves them ignored in every child until its own code takes them over."""
    return {n for n in range(1, 65) if int(mask, 16) >> (n - 1) & 1
            and not 32 <= n < signal.SIGRTMIN}


class HelperDaemonTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log_existed = os.path.exists(LOG_PATH)
        cls.log_offset = os.path.getsize(LOG_PATH) if cls.log_existed else 0
        # A socket file left by an earlier run that nobody listens on any more.
        if os.path.exists(SOCKET_PATH):
            os.unlink(SOCKET_PATH)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as stale:
            stale.bind(SOCKET_PATH)
        # Standard descriptors closed (sockets and pipes must not land on them)
        # and a file left open at 3, the first number above them, which must
        # not reach the scripts.
        cls.inherited = tempfile.NamedTemporaryFile(prefix="helper-inherited-")
        cls.helper = subprocess.Popen(
            ["/bin/bash", "-c",
             'exec 3<&"$1"; [ "$1" = 3 ] || eval "exec $1<&-"; exec 0<&- 1>&- 2>&-; exec "$0"',
             HELPER, str(cls.inherited.fileno())],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PATH="/nowhere"), pass_fds=(cls.inherited.fileno(),),
            preexec_fn=hostile_parent)
        try:
            wait_until_serving(SOCKET_PATH, cls.helper)
        except RuntimeError:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        # SIGTERM ends it: the mask and dispositions it was started with are gone.
        try:
            status = stop_helper(cls.helper)
        finally:
            cls.inherited.close()
            if os.path.exists(SOCKET_PATH):
                os.unlink(SOCKET_PATH)
            if not cls.log_existed and os.path.exists(LOG_PATH):
                os.unlink(LOG_PATH)
        if status is not None and status != -signal.SIGTERM:
            raise AssertionError("the helper ended with status %d on SIGTERM" % status)

    def log_lines(self):
        with open(LOG_PATH, "rb") as f:
            f.seek(self.log_offset)
            return f.read().decode().splitlines()

    def test_start_lines(self):
        lines = self.log_lines()
        self.assertRegex(lines[0], r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] veltovpn-helper "
                         + VERSION.replace(".", r"\.") + r" starting\.\.\.$")
        self.assertRegex(lines[1], r"^\[[0-9TZ:-]{20}\] listening on /var/run/veltovpn-helper\.sock$")

    def test_what_the_parent_left_is_undone(self):
        status = process_status(self.helper.pid)
        self.assertEqual(signals_in(status["SigBlk"]), set())
        # Only what the daemon ignores for itself: a client hanging up early.
        self.assertEqual(signals_in(status["SigIgn"]), {signal.SIGPIPE})
        # The script's exit code comes back (reaped by its parent, not the
        # kernel); its programs have every signal at its default; its
        # descriptors are the standard three and bash's script file (255).
        script = ('ls /proc/$$/fd\n'
                  'grep -E "^Sig(Ign|Blk):" /proc/self/status\nexit 5')
        seen = request({"action": "run-script", "script": script})
        self.assertEqual(seen["exit"], 5)
        lines = seen["stdout"].splitlines()
        self.assertEqual(sorted(line for line in lines if not line.startswith("Sig")),
                         ["0", "1", "2", "255"])
        masks = dict(line.split(":\t") for line in lines if line.startswith("Sig"))
        self.assertEqual({name: signals_in(mask) for name, mask in masks.items()},
                         {"SigIgn": set(), "SigBlk": set()})

    def test_second_instance_is_refused(self):
        before = os.stat(SOCKET_PATH).st_ino
        second = subprocess.run([HELPER], capture_output=True, text=True, timeout=60)
        # Successful, so that launchd's KeepAlive does not start it again.
        self.assertEqual(second.returncode, 0)
        self.assertIn("another veltovpn-helper is serving " + SOCKET_PATH, second.stdout)
        self.assertEqual(os.stat(SOCKET_PATH).st_ino, before)
        self.assertEqual(request({"action": "ping"}), PONG)

    def test_other_user_is_refused(self):
        # Where only root can create the file: another user cannot fake a run.
        ran = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "ran")
        result = subprocess.run(
            ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups",
             "/usr/bin/python3", "-c", CLIENT, SOCKET_PATH,
             json.dumps({"action": "run-script", "script": "touch " + ran})],
            capture_output=True, text=True, timeout=60, cwd="/")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout),
                         {"success": False, "error": "unauthorized peer"})
        self.assertFalse(os.path.exists(ran))
        self.assertRegex("\n".join(self.log_lines()), r"refused peer uid=65534 pid=\d+")


class TestingHelperCase(unittest.TestCase):
    """Runs the testing build (the same daemon on a private socket, so that
    nothing else on the machine can meet it) for the tests of one class."""

    @classmethod
    def start_helper(cls, command, workdir_parent=None, env_extra=None, **popen_args):
        cls.workdir = tempfile.mkdtemp(prefix="helper-%s-" % cls.__name__, dir=workdir_parent)
        cls.path = os.path.join(cls.workdir, "helper.sock")
        cls.log = os.path.join(cls.workdir, "helper.log")
        cls.helper = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                      env=dict(os.environ, VELTOVPN_HELPER_SOCKET=cls.path,
                                               VELTOVPN_HELPER_LOG=cls.log, **(env_extra or {})),
                                      **popen_args)
        try:
            wait_until_serving(cls.path, cls.helper)
        except RuntimeError:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            stop_helper(cls.helper)
        finally:
            shutil.rmtree(cls.workdir)


class HelperLoadTest(TestingHelperCase):
    """The testing build under load and large output."""

    @classmethod
    def setUpClass(cls):
        # Started with no file-creation mask: the modes of the files it creates
        # are its own choice.
        cls.start_helper([TESTING_HELPER], preexec_fn=lambda: os.umask(0))
        cls.start_rss_kib = memory_kib(cls.helper.pid, "VmRSS")

    def test_load_and_faults(self):
        """4 clients x 1,000 mixed requests (ping, run-script, invalid, oversized,
        early hang-ups) and one silent client: every well-formed request answered,
        and the daemon back to its descriptors and memory. (That no script file
        is left on any path is script_runner_test's.)"""
        request({"action": "ping"}, self.path)
        fds_before = len(os.listdir("/proc/%d/fd" % self.helper.pid))
        rss_before = memory_kib(self.helper.pid, "VmRSS")
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        silent.connect(self.path)
        silent.settimeout(60)
        with multiprocessing.get_context("fork").Pool(4) as pool:
            results = pool.starmap(load_client,
                                   [(self.path, seed, 1000) for seed in range(1, 5)])
        # The silent client is answered at the request time-out, as an empty request.
        self.assertEqual(json.loads(read_all(silent)), INVALID)
        silent.close()
        for answered, wrong in results:
            self.assertEqual(wrong, [])
        self.assertGreater(sum(answered for answered, _ in results), 3000)

        request({"action": "ping"}, self.path)
        self.assertEqual(len(os.listdir("/proc/%d/fd" % self.helper.pid)), fds_before)
        if not SANITIZED:
            self.assertLess(memory_kib(self.helper.pid, "VmRSS"), rss_before + 8 * 1024)

    def test_log_file_it_creates_is_readable_by_its_group_only(self):
        info = os.lstat(self.log)
        self.assertTrue(stat.S_ISREG(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o640)
        self.assertEqual(info.st_uid, 0)

    def test_output_is_bounded(self):
        result = request({"action": "run-script",
                          "script": "head -c 67108864 /dev/zero | tr '\\0' y; exit 6"}, self.path)
        self.assertEqual(result["exit"], 6)
        self.assertEqual(result["stdout"], "y" * MAX_OUTPUT + TRUNCATED)
        if not SANITIZED:
            # The output, its JSON copy and the response text, not 64 MiB of each.
            peak = memory_kib(self.helper.pid, "VmHWM") - self.start_rss_kib
            self.assertLess(peak, 6 * MAX_OUTPUT // 1024)


def pids_in(path):
    with open(path) as f:
        return [int(p) for p in f.read().split()]


def alive(pid):
    """True while `pid` runs (a zombie has ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class HelperStopTest(TestingHelperCase):
    """Stopped while a script runs, the daemon asks that script's process group
    to end (its EXIT trap runs), answers its client, removes its file, logs one
    line and ends by the signal; a tunnel program an earlier script started in a
    session of its own runs on (the unit leaves both to the daemon)."""

    @classmethod
    def setUpClass(cls):
        cls.start_helper([TESTING_HELPER])

    def test_stop_ends_the_running_script_not_the_tunnel(self):
        tunnel_file, script_file, trapped = (os.path.join(self.workdir, n)
                                             for n in ("tunnel", "script", "trapped"))
        # What the scripts started goes at clean-up, however far the test got.
        self.addCleanup(lambda: [os.kill(p, signal.SIGKILL) for f in (tunnel_file, script_file)
                                 if os.path.exists(f) for p in pids_in(f) if alive(p)])
        # The tunnel keeps the script's output pipe open: the run ends with the
        # script's shell all the same, and leaves the tunnel alone.
        started = request({"action": "run-script", "script":
                           "setsid -f sh -c 'echo $$ >%s.tmp; mv %s.tmp %s; exec sleep 300'; echo up"
                           % ((tunnel_file,) * 3)}, self.path)
        self.assertEqual(started, {"success": True, "exit": 0, "stderr": "", "stdout": "up\n"})
        # The running script's trap records where its file was; its client gets
        # what the script wrote and the stop.
        script = ("# cut short\ntrap '[ $BASHPID != $$ ] || echo \"$0\" >%s' EXIT; trap exit TERM\n"
                  "echo working; sleep 300 & echo $$ $! >%s.tmp; mv %s.tmp %s; wait"
                  % ((trapped,) + (script_file,) * 3))
        client = subprocess.Popen([sys.executable, "-c", CLIENT, self.path,
                                   json.dumps({"action": "run-script", "script": script})],
                                  stdout=subprocess.PIPE)
        self.addCleanup(client.wait)
        wait_until(lambda: os.path.exists(script_file) and os.path.exists(tunnel_file),
                   "the scripts did not start")
        script_pids, (tunnel,) = pids_in(script_file), pids_in(tunnel_file)

        self.helper.terminate()
        self.assertEqual(self.helper.wait(timeout=30), -signal.SIGTERM)
        self.assertEqual(json.loads(client.communicate(timeout=30)[0]),
                         {"success": True, "exit": 143, "stderr": "", "stdout":
                          "working\nhelper: script stopped: the helper is shutting down"})
        wait_until(lambda: not any(alive(p) for p in script_pids), "the running script outlived the daemon")
        self.assertTrue(alive(tunnel), "the detached tunnel program was ended")
        self.assertTrue(os.path.exists(trapped), "the script's EXIT trap did not run")
        with open(trapped) as f:
            self.assertFalse(os.path.exists(f.read().strip()), "the script file was left")
        with open(self.log) as f:
            stops = [line for line in f if "stopped by" in line]
        self.assertEqual(len(stops), 1, stops)
        self.assertRegex(stops[0], r"^\[[0-9TZ:-]{20}\] stopped by SIGTERM; cut short: the script "
                         r"of %d bytes whose first line is \"# cut short\"$" % len(script))


SCRIPT_PREFIX = "veltovpn-helper-script-"


class HelperFullTmpTest(TestingHelperCase):
    """The testing build in a mount namespace of its own whose /tmp is a 64 KiB
    file system: a script larger than that cannot be written, and the run must
    answer with the failure and leave nothing behind. Its socket and log live
    under /run, which the namespace shares with this test."""

    @classmethod
    def setUpClass(cls):
        probe = subprocess.run(["unshare", "--mount", "--propagation", "private",
                                "mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", "/tmp"],
                               capture_output=True, text=True)
        if probe.returncode != 0:
            raise unittest.SkipTest("no private mount namespace here: " + probe.stderr.strip())
        # unshare and the shell exec in turn: the process is the daemon. The
        # build may itself lie under /tmp, which the new mount hides: the shell
        # opens the program first and runs it through that descriptor (which the
        # daemon closes at start, as it does every inherited one).
        cls.start_helper(["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                          'exec 3<"$0" && mount -t tmpfs -o size=64k,mode=1777 tmpfs /tmp'
                          ' && exec /proc/self/fd/3', TESTING_HELPER], workdir_parent="/run")
        # The daemon's /tmp, seen from outside its namespace.
        cls.tmp = "/proc/%d/root/tmp" % cls.helper.pid

    def run_script(self, script):
        return request({"action": "run-script", "script": script}, self.path)

    def test_script_larger_than_the_free_space(self):
        self.assertEqual(self.run_script("df -k /tmp | tail -n 1 | tr -s ' ' | cut -d ' ' -f 2"),
                         {"success": True, "exit": 0, "stderr": "", "stdout": "64\n"})
        vfs = os.statvfs(self.tmp)
        too_large = "#" + "x" * (vfs.f_bavail * vfs.f_frsize + 65536) + "\necho ran"
        self.assertEqual(self.run_script(too_large),
                         {"success": True, "exit": 1, "stderr": "",
                          "stdout": "helper: failed to write script tmpfile: "
                                    "No space left on device"})
        self.assertEqual([f for f in os.listdir(self.tmp) if f.startswith(SCRIPT_PREFIX)], [])
        # The space is back: the next script is written and runs.
        self.assertEqual(self.run_script("echo ran")["stdout"], "ran\n")


# Built at test time into the case's folder and preloaded into the testing
# build: one posix_spawn set-up call fails as a system out of memory would.
FAILING_SETUP_C = r"""
#include <errno.h>
#include <signal.h>
#include <spawn.h>
int posix_spawnattr_setsigmask(posix_spawnattr_t *attr, const sigset_t *mask) {
  (void)attr;
  (void)mask;
  return ENOMEM;
}
"""


class HelperSpawnSetupTest(TestingHelperCase):
    """A failed set-up of the shell's spawn is a failed run with the call and
    the system's text, and no script runs; the sanitizers' runtimes must come
    first in a process, so sanitized builds skip it."""

    @classmethod
    def setUpClass(cls):
        compiler = shutil.which("cc")
        if SANITIZED or not compiler:
            raise unittest.SkipTest("sanitized build" if SANITIZED else "no C compiler")
        cls.shim_dir = tempfile.mkdtemp(prefix="helper-spawn-setup-")
        source = os.path.join(cls.shim_dir, "failing_setup.c")
        with open(source, "w") as out:
            out.write(FAILING_SETUP_C)
        shim = os.path.join(cls.shim_dir, "failing_setup.so")
        subprocess.run([compiler, "-shared", "-fPIC", "-o", shim, source], check=True)
        cls.marker = os.path.join(cls.shim_dir, "ran")
        try:
            cls.start_helper([TESTING_HELPER], env_extra={"LD_PRELOAD": shim})
        except BaseException:
            shutil.rmtree(cls.shim_dir)
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            shutil.rmtree(cls.shim_dir)

    def test_failed_set_up_call_fails_the_run(self):
        answer = request({"action": "run-script", "script": "touch " + self.marker}, self.path)
        self.assertEqual(answer, {"success": True, "exit": 1, "stderr": "",
                                  "stdout": "helper: failed to launch /bin/bash: "
                                            "posix_spawnattr_setsigmask: Cannot allocate memory"})
        self.assertFalse(os.path.exists(self.marker), "the script ran")


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
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

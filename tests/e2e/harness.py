"""Test harness for end-to-end tests: real valtd and exchange-sim processes in a
sandbox root under /tmp, on loopback only, bounded in time, cleaned up after.

The sandbox root is passed to both processes as VALTD_ROOT; the daemon's log is
<root>/tmp/logs/valtd.log, the exchange link's sockets are in <root>/tmp/exlink/.
"""

import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BIN_DIR = os.environ.get("VALTD_BIN_DIR") or os.path.join(HERE, "..", "..", "build", "bin")
DEFAULT_TIMEOUT = 10.0


def wait_until(predicate, timeout=DEFAULT_TIMEOUT, interval=0.02, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


class Sim:
    """exchange-sim driven over its standard input and output."""

    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.lines = queue.Queue()
        self.stderr = open(os.path.join(sandbox.root, "sim.stderr"), "wb")
        self.proc = subprocess.Popen(
            [os.path.join(BIN_DIR, "exchange-sim")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr,
            env=sandbox.env, cwd=sandbox.root)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.expect(lambda m: m.get("ready") is True, what="exchange-sim ready")

    def _read(self):
        for raw in self.proc.stdout:
            try:
                self.lines.put(json.loads(raw))
            except ValueError:
                self.lines.put({"unparsed": raw.decode(errors="replace")})
        self.lines.put(None)

    def send(self, obj):
        self.proc.stdin.write((json.dumps(obj) + "\n").encode())
        self.proc.stdin.flush()

    def event(self, name, **fields):
        fields["event"] = name
        self.send(fields)

    def expect(self, predicate, timeout=DEFAULT_TIMEOUT, what="a line from exchange-sim"):
        """Returns the first line that satisfies predicate; lines before it are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for " + what)
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("exchange-sim ended while waiting for " + what)
            if predicate(line):
                return line

    def expect_cmd(self, name, timeout=DEFAULT_TIMEOUT, **match):
        def matches(line):
            return line.get("cmd") == name and all(line.get(k) == v for k, v in match.items())
        return self.expect(matches, timeout, what="command %s %r" % (name, match))

    def lines_until_sync(self, token="fence", timeout=DEFAULT_TIMEOUT):
        """Every line up to the acknowledgement of a sync fence sent now."""
        self.send({"control": "sync", "token": token})
        seen = []
        self.expect(lambda m: seen.append(m) or (m.get("ack") == "sync"
                                                 and m.get("token") == token),
                    timeout, what="sync %r" % token)
        return seen[:-1]

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=2)
        self.proc.stdout.close()
        self.stderr.close()


class Daemon:
    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.stdout = open(os.path.join(sandbox.root, "valtd.stdout"), "wb")
        self.stderr = open(os.path.join(sandbox.root, "valtd.stderr"), "wb")
        self.proc = subprocess.Popen(
            [os.path.join(BIN_DIR, "valtd")], stdin=subprocess.DEVNULL,
            stdout=self.stdout, stderr=self.stderr, env=sandbox.env, cwd=sandbox.root)

    def wait_ready(self, timeout=DEFAULT_TIMEOUT):
        """The daemon is ready once both of its queues accept messages."""
        link = os.path.join(self.sandbox.root, "tmp", "exlink")
        wait_until(lambda: all(os.path.exists(os.path.join(link, "q-bin_ping-%d.sock" % q))
                               for q in (12, 88)),
                   timeout, what="valtd's message queues")

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.stdout.close()
        self.stderr.close()


class Sandbox:
    def __init__(self):
        # Short path: Unix socket paths are limited to 108 bytes.
        self.root = tempfile.mkdtemp(prefix="vt", dir="/tmp")
        self.env = dict(os.environ)
        self.env["VALTD_ROOT"] = self.root
        self.env.pop("ORBA_PATH", None)
        # In sanitizer builds the daemon's own crash guard must see the crash
        # signals (and re-raise them with the default action), not the
        # sanitizer's handler.
        handlers = "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0"
        for name in ("ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"):
            self.env[name] = ":".join(filter(None, [self.env.get(name, ""), handlers]))
        self.sim = None
        self.daemon = None

    @property
    def log_path(self):
        return os.path.join(self.root, "tmp", "logs", "valtd.log")

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=DEFAULT_TIMEOUT):
        return wait_until(lambda: text in self.log(), timeout, what="log line %r" % text)

    def valtconf(self, *args):
        """Runs valtconf on the sandbox's databases; returns its standard output."""
        done = subprocess.run([os.path.join(BIN_DIR, "valtconf")] + [str(a) for a in args],
                              env=self.env, capture_output=True, check=True)
        return done.stdout.decode()

    def start_sim(self):
        self.sim = Sim(self)
        return self.sim

    def start_daemon(self):
        self.daemon = Daemon(self)
        self.daemon.wait_ready()
        return self.daemon

    def close(self):
        if self.daemon:
            self.daemon.stop()
        if self.sim:
            self.sim.stop()
        if os.environ.get("VALTD_KEEP_SANDBOX"):
            print("sandbox kept at", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


class SandboxTest(unittest.TestCase):
    """A test case with a fresh sandbox, simulator and daemon per test."""

    start_daemon = True

    def setUp(self):
        self.sandbox = Sandbox()
        self.addCleanup(self._close)
        self.sim = self.sandbox.start_sim()
        self.daemon = self.sandbox.start_daemon() if self.start_daemon else None

    def _close(self):
        if self._outcome_failed():
            print("\n--- valtd.log ---\n" + self.sandbox.log()[-6000:])
        self.sandbox.close()

    def _outcome_failed(self):
        outcome = getattr(self, "_outcome", None)
        result = getattr(outcome, "result", None)
        if result is None:
            return False
        return any(test is self for test, _ in result.failures + result.errors)

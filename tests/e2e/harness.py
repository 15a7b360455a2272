"""Test harness for end-to-end tests: real valtd and exchange-sim processes in a
sandbox root under /tmp, on loopback only, bounded in time, cleaned up after.

The sandbox root is passed to both processes as VALTD_ROOT; the daemon's log is
<root>/tmp/logs/valtd.log, the exchange link's sockets are in <root>/tmp/exlink/.
"""

import hashlib
import json
import os
import queue
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import xmlrpc.client

HERE = os.path.dirname(os.path.abspath(__file__))
BIN_DIR = os.environ.get("VALTD_BIN_DIR") or os.path.join(HERE, "..", "..", "build", "bin")
DEFAULT_TIMEOUT = 10.0
# How long a daemon may take to end after its forced alert (a sanitizer build
# checks for leaks then).
STOP_TIMEOUT = 30.0
# First lines of the reports that fail a test when the daemon writes them.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")


def wait_until(predicate, timeout=DEFAULT_TIMEOUT, interval=0.02, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def free_port():
    """A TCP port that was free a moment ago on loopback."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


METHOD_PREFIX = "Services.CallProcessingService."


class Client:
    """An XML-RPC control client of valtd: messages ended by CR LF CR LF, over
    TCP or TLS, requests and answers in both directions."""

    def __init__(self, port, tls=False, timeout=DEFAULT_TIMEOUT, rcvbuf=None):
        raw = socket.socket()
        if rcvbuf:  # a small receive buffer makes the daemon's writes back up
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        raw.settimeout(timeout)
        raw.connect(("127.0.0.1", port))
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            raw = context.wrap_socket(raw)
        self.sock = raw
        self.buffer = b""

    def send_raw(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    @staticmethod
    def request_text(method, *params):
        name = method if "." in method else METHOD_PREFIX + method
        return xmlrpc.client.dumps(tuple(params), name) + "\r\n\r\n"

    @staticmethod
    def response_text(*params):
        return xmlrpc.client.dumps(tuple(params), methodresponse=True) + "\r\n\r\n"

    def call(self, method, *params):
        self.send_raw(self.request_text(method, *params))

    def answer(self, *params):
        self.send_raw(self.response_text(*params))

    def _fill(self, enough, timeout, what):
        """Receives into the buffer until enough() holds; raises on time-out,
        EOFError on close."""
        deadline = time.monotonic() + timeout
        while not enough():
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %s from valtd within %.1fs" % (what, timeout))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise EOFError("valtd closed the connection")
            self.buffer += chunk

    def read_message(self, timeout=DEFAULT_TIMEOUT):
        """The next message as text; raises on time-out, EOFError on close."""
        self._fill(lambda: b"\r\n\r\n" in self.buffer, timeout, "message")
        message, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        return message.decode()

    def read_bytes(self, size, timeout=DEFAULT_TIMEOUT):
        """Exactly `size` raw bytes: those already buffered first, then the
        socket's. Raises on time-out, EOFError on close."""
        self._fill(lambda: len(self.buffer) >= size, timeout, "%d raw bytes" % size)
        data, self.buffer = self.buffer[:size], self.buffer[size:]
        return data

    def read(self, timeout=DEFAULT_TIMEOUT):
        """The next message parsed: (params, method name or None for an answer).
        A fault is returned as ({"faultCode":..., "faultString":...}, None)."""
        text = self.read_message(timeout)
        try:
            return xmlrpc.client.loads(text)
        except xmlrpc.client.Fault as fault:
            return ({"faultCode": fault.faultCode, "faultString": fault.faultString}, None)

    def expect_request(self, method, timeout=DEFAULT_TIMEOUT):
        params, name = self.read(timeout)
        if name != METHOD_PREFIX + method:
            raise AssertionError("expected %s, got %r %r" % (method, name, params))
        return params

    def closed_by_peer(self, timeout=DEFAULT_TIMEOUT):
        """True once the daemon has closed the connection (anything received
        before the close is dropped)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except (ConnectionResetError, ssl.SSLError, OSError):
                return True
            if not chunk:
                return True
        return False

    def authenticate(self, user, password):
        self.call("authenticate", user, password)
        return self.read()[0]

    def sauthenticate(self, user, secret, stamp):
        digest = hashlib.md5((user + secret + stamp).encode()).hexdigest()
        self.call("sauthenticate", user, stamp, digest)
        return self.read()[0]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


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

    def collect(self, seconds):
        """Every line that arrives within `seconds`."""
        lines = []
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return lines
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return lines
            if line is not None:
                lines.append(line)

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
    def __init__(self, sandbox, preexec_fn=None):
        self.sandbox = sandbox
        self.stdout = open(os.path.join(sandbox.root, "valtd.stdout"), "wb")
        self.stderr = open(os.path.join(sandbox.root, "valtd.stderr"), "wb")
        self.proc = subprocess.Popen(
            [os.path.join(BIN_DIR, "valtd")], stdin=subprocess.DEVNULL,
            stdout=self.stdout, stderr=self.stderr, env=sandbox.env, cwd=sandbox.root,
            preexec_fn=preexec_fn)

    def wait_ready(self, timeout=DEFAULT_TIMEOUT):
        """The daemon is ready once both of its queues accept messages."""
        link = os.path.join(self.sandbox.root, "tmp", "exlink")
        wait_until(lambda: all(os.path.exists(os.path.join(link, "q-bin_ping-%d.sock" % q))
                               for q in (12, 88)),
                   timeout, what="valtd's message queues")

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        """Ends the daemon through its normal way out (a forced alert on its
        poller's queue, so that main returns and a sanitizer build checks for
        leaks at exit), killing it when it does not end in time. Returns the
        sanitizer reports it wrote to standard error ("" for none)."""
        if self.proc.poll() is None:
            poller = os.path.join(self.sandbox.root, "tmp", "exlink", "poller-45.sock")
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
                    s.sendto(b"EXL1 ForcedAlert", poller)
                self.proc.wait(timeout=STOP_TIMEOUT)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.stdout.close()
        self.stderr.close()
        return sanitizer_reports(os.path.join(self.sandbox.root, "valtd.stderr"))


def sanitizer_reports(path):
    """The sanitizers' reports in a file (AddressSanitizer, LeakSanitizer,
    UBSan, ThreadSanitizer), from the first report line on."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""
    starts = [text.find(m) for m in SANITIZER_MARKS]
    starts = [i for i in starts if i >= 0]
    return text[min(starts):][:8000] if starts else ""


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
        self.reports = ""

    @property
    def log_path(self):
        return os.path.join(self.root, "tmp", "logs", "valtd.log")

    def log(self, rotated=False):
        """The log's text; with `rotated`, the older copy's before it (for
        tests that write more than the rotation limit)."""
        text = ""
        for path in ([self.log_path + ".1"] if rotated else []) + [self.log_path]:
            try:
                with open(path, "rb") as f:
                    text += f.read().decode(errors="replace")
            except FileNotFoundError:
                pass
        return text

    def wait_log(self, text, timeout=DEFAULT_TIMEOUT, rotated=False):
        return wait_until(lambda: text in self.log(rotated), timeout, what="log line %r" % text)

    def valtconf(self, *args):
        """Runs valtconf on the sandbox's databases; returns its standard output."""
        done = subprocess.run([os.path.join(BIN_DIR, "valtconf")] + [str(a) for a in args],
                              env=self.env, capture_output=True, check=True)
        return done.stdout.decode()

    def make_certificate(self, cert="/etc/ssl.crt/server.crt", key="/etc/ssl.key/server.key"):
        """A self-signed certificate and its key at the daemon's paths."""
        cert_path = self.path(cert)
        key_path = self.path(key)
        for p in (cert_path, key_path):
            os.makedirs(os.path.dirname(p), exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-subj", "/CN=valtd-test", "-days", "1",
                        "-keyout", key_path, "-out", cert_path],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def path(self, absolute):
        """A fixed path of the daemon under the sandbox root."""
        return os.path.join(self.root, absolute.lstrip("/"))

    def log_count(self, text):
        return self.log().count(text)

    def start_sim(self):
        self.stop_sim()
        self.sim = Sim(self)
        return self.sim

    def stop_sim(self):
        """Stops the simulator, if one runs, and keeps its sanitizer reports."""
        if self.sim:
            self.sim.stop()
            self.reports += sanitizer_reports(os.path.join(self.root, "sim.stderr"))
            self.sim = None

    def start_daemon(self, preexec_fn=None):
        if self.daemon:
            # A daemon that a test ended or replaces: its reports count too.
            self.reports += self.daemon.stop()
        self.daemon = Daemon(self, preexec_fn)
        self.daemon.wait_ready()
        return self.daemon

    def close(self):
        """Stops the processes and removes the sandbox; returns the sanitizer
        reports of the daemons and simulators started in it ("" for none)."""
        if self.daemon:
            self.reports += self.daemon.stop()
        self.stop_sim()
        if os.environ.get("VALTD_KEEP_SANDBOX"):
            print("sandbox kept at", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        return self.reports


class SandboxTest(unittest.TestCase):
    """A test case with a fresh sandbox, simulator and daemon per test.
    configure() runs before the daemon starts (settings, accounts)."""

    start_daemon = True

    def configure(self):
        pass

    def setUp(self):
        self.sandbox = Sandbox()
        self.addCleanup(self._close)
        self.configure()
        self.sim = self.sandbox.start_sim()
        self.daemon = self.sandbox.start_daemon() if self.start_daemon else None


    def _close(self):
        if self._outcome_failed():
            print("\n--- valtd.log ---\n" + self.sandbox.log()[-6000:])
        reports = self.sandbox.close()
        if reports:
            raise AssertionError("sanitizer reports of valtd or exchange-sim:\n" + reports)

    def _outcome_failed(self):
        outcome = getattr(self, "_outcome", None)
        result = getattr(outcome, "result", None)
        if result is None:
            return False
        return any(test is self for test, _ in result.failures + result.errors)


class ServerTest(SandboxTest):
    """A sandbox whose daemon listens on a free port, with one user
    extension (USER/PASSWORD) to authenticate with."""

    USER = "201"
    PASSWORD = "secret201"
    settings = {}

    def configure(self):
        self.port = configure_server(self.sandbox, self.settings)

    def wait_listening(self, port=None, timeout=DEFAULT_TIMEOUT):
        port = port or self.port
        wait_until(lambda: accepts_connection(port), timeout, what="valtd listening on %d" % port)

    def connect(self, authenticate=True, tls=False, port=None, rcvbuf=None):
        self.wait_listening(port)
        client = Client(port or self.port, tls=tls, rcvbuf=rcvbuf)
        self.addCleanup(client.close)
        if authenticate:
            answer = client.authenticate(self.USER, self.PASSWORD)
            self.assertEqual(answer, (True, "Authenticated."))
        return client

    def sync_sim(self):
        """Every event sent to the simulator so far has reached the daemon's queue."""
        token = str(time.monotonic())
        self.sim.send({"control": "sync", "token": token})
        self.sim.expect(lambda m: m.get("ack") == "sync" and m.get("token") == token)


# In sanitizer builds everything runs several times slower; bounds that must
# hold for a user ("answered within a second") are scaled by this factor.
SLOW = 5.0 if any(s in BIN_DIR for s in ("asan", "tsan")) else 1.0


class ProcessProbe:
    """Resources of a running process read from /proc: resident memory,
    open descriptors and CPU time."""

    def __init__(self, pid):
        self.pid = pid

    def rss_kb(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        # utime and stime are fields 14 and 15 of the whole line.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def reset(client):
    """Closes `client` with a TCP reset (SO_LINGER 0) instead of a FIN."""
    try:
        client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    client.close()


class SharedServerTest(unittest.TestCase):
    """One sandbox, simulator and daemon for every test of the class (like
    ServerTest, but started once), so that a long list of fault cases stays
    fast. Every test ends with check_healthy(): a fresh client is served at
    once and the daemon's memory and descriptors are back near where they
    were after start."""

    USER = ServerTest.USER
    PASSWORD = ServerTest.PASSWORD
    settings = {}
    RSS_SLACK_KB = 16 * 1024 * SLOW
    FD_SLACK = 4

    @classmethod
    def configure(cls, sandbox):
        pass

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox()
        # A small quarantine, so that freed memory shows in the resident size
        # under AddressSanitizer too.
        cls.sandbox.env["ASAN_OPTIONS"] += ":quarantine_size_mb=4"
        try:
            cls.port = configure_server(cls.sandbox, cls.settings)
            cls.configure(cls.sandbox)
            cls.sim = cls.sandbox.start_sim()
            cls.daemon = cls.sandbox.start_daemon()
            cls.probe = ProcessProbe(cls.daemon.proc.pid)
            # The baseline is taken once a client has been served, so that
            # what the first connection allocates for good is in it.
            first = cls._open(cls.port, True)
            first.call("getextension", "nobody")
            first.read()
            first.close()
            time.sleep(0.2)
            cls.base_rss = cls.probe.rss_kb()
            cls.base_fds = cls.probe.fds()
        except BaseException:
            cls.sandbox.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    @classmethod
    def _open(cls, port, authenticate):
        wait_until(lambda: accepts_connection(port), what="valtd listening on %d" % port)
        client = Client(port)
        if authenticate:
            answer = client.authenticate(cls.USER, cls.PASSWORD)
            if answer != (True, "Authenticated."):
                raise AssertionError("authentication refused: %r" % (answer,))
        return client

    def connect(self, authenticate=True):
        client = self._open(self.port, authenticate)
        self.addCleanup(client.close)
        return client

    def setUp(self):
        self.sandbox.log_mark = len(self.sandbox.log())

    def tearDown(self):
        failed = any(test is self for test, _ in
                     self._outcome.result.failures + self._outcome.result.errors)
        if failed:
            print("\n--- valtd.log ---\n" + self.sandbox.log()[-6000:])

    def new_log(self):
        """The daemon's log written since this test started."""
        return self.sandbox.log()[self.sandbox.log_mark:]

    def sync_sim(self):
        token = str(time.monotonic())
        self.sim.send({"control": "sync", "token": token})
        self.sim.expect(lambda m: m.get("ack") == "sync" and m.get("token") == token)

    def check_healthy(self):
        """The daemon runs, a fresh client authenticates and is answered within
        a second, and memory and descriptors are back near the start."""
        self.assertIsNone(self.daemon.proc.poll(), "valtd ended")
        limit = 1.0 * SLOW
        started = time.monotonic()
        client = Client(self.port, timeout=limit)
        try:
            client.call("authenticate", self.USER, self.PASSWORD)
            self.assertEqual(client.read(timeout=limit)[0], (True, "Authenticated."))
            client.call("closecall", "1")
            self.assertEqual(client.read(timeout=limit)[0]["faultString"], "No such call")
        finally:
            client.close()
        self.assertLess(time.monotonic() - started, limit, "a fresh client waited too long")
        wait_until(lambda: self.probe.fds() <= self.base_fds + self.FD_SLACK,
                   what="descriptors back near %d (now %d)" % (self.base_fds, self.probe.fds()))
        wait_until(lambda: self.probe.rss_kb() <= self.base_rss + self.RSS_SLACK_KB,
                   what="resident memory back near %d KB (now %d KB)"
                   % (self.base_rss, self.probe.rss_kb()))


def configure_server(sandbox, settings=None):
    """Sets a free listening port, the given settings and the test user
    (ServerTest.USER/PASSWORD) in the sandbox's databases; the port."""
    port = free_port()
    sandbox.valtconf("set", "listen-port", port)
    for name, value in (settings or {}).items():
        sandbox.valtconf("set", name, value)
    sandbox.valtconf("add-extension", ServerTest.USER, "--kind", "user",
                     "--password", ServerTest.PASSWORD)
    return port


def accepts_connection(port):
    """True when something accepts a TCP connection on the loopback port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False

"""End-to-end harness: real valtd and exchange-sim in a sandbox root under /tmp
(VALTD_ROOT), on loopback only, bounded in time, cleaned up after."""

import contextlib
import json
import os
import queue
import shutil
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
# A sanitizer build checks for leaks after the forced alert.
STOP_TIMEOUT = 30.0
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")
# Sanitizer builds run several times slower: user-facing bounds are scaled by this.
SLOW = 5.0 if any(s in BIN_DIR for s in ("asan", "tsan")) else 1.0
METHOD_PREFIX = "Services.CallProcessingService."
USER, PASSWORD = "201", "secret201"
# A caller and a call record for the simulator's events.
CALLER = {"user": "300", "host": "10.0.0.9", "port": "5060", "type": 1}
CDR = {"duration": 12, "callingUser": "201", "calledUser": "300", "startTime": 1700000000,
       "callGuid": "g-1"}


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
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts_connection(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    except OSError:
        return False
    return True


def make_certificate(cert, key, name="valtd-test", alt_name=None):
    for p in (cert, key):
        os.makedirs(os.path.dirname(p), exist_ok=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                    "/CN=" + name, "-days", "1", "-keyout", key, "-out", cert]
                   + (["-addext", "subjectAltName=" + alt_name] if alt_name else []),
                   check=True, capture_output=True)
    return cert, key


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Client:
    """A control client: XML-RPC messages ended by CR LF CR LF, both ways, over TCP or TLS."""

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

    def rpc(self, method, *params):
        self.call(method, *params)
        return self.read()[0]

    def answer(self, *params):
        self.send_raw(self.response_text(*params))

    def _fill(self, enough, timeout, what):
        """Receives until enough() holds; AssertionError on time-out, EOFError on close."""
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
        self._fill(lambda: b"\r\n\r\n" in self.buffer, timeout, "message")
        message, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        return message.decode()

    def read_bytes(self, size, timeout=DEFAULT_TIMEOUT):
        self._fill(lambda: len(self.buffer) >= size, timeout, "%d raw bytes" % size)
        data, self.buffer = self.buffer[:size], self.buffer[size:]
        return data

    def read(self, timeout=DEFAULT_TIMEOUT):
        """(params, method name or None); a fault as ({"faultCode", "faultString"}, None)."""
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
        """True once the daemon has closed the connection, False if open after `timeout`."""
        try:
            self._fill(lambda: False, timeout, "close")
        except AssertionError:
            return False
        except (EOFError, OSError):
            return True

    def authenticate(self, user, password):
        return self.rpc("authenticate", user, password)

    def close(self):
        self.sock.close()


def reset(client):
    """Closes `client` with a TCP reset (SO_LINGER 0) instead of a FIN."""
    with contextlib.suppress(OSError):
        client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    client.close()


class Sim:
    """exchange-sim driven over its standard input and output."""

    def __init__(self, sandbox):
        self.lines = queue.Queue()
        self.stderr = open(os.path.join(sandbox.root, "sim.stderr"), "wb")
        self.proc = subprocess.Popen([os.path.join(BIN_DIR, "exchange-sim")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.stderr, env=sandbox.env,
                                     cwd=sandbox.root)
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
        self.send(dict(fields, event=name))

    def control(self, name, value):
        self.send({"control": name, "value": value})
        self.expect(lambda m: m.get("ack") == name, what="%s acknowledged" % name)

    def call_arrived(self, call_id, caller="5551234", ext="201", type=3, **extra):
        """An incoming call from `caller` (a user name or a party) to `ext`."""
        caller = caller if isinstance(caller, dict) else {"user": caller}
        extra.update({"from": caller, "to": {"user": ext}})
        self.event("CallArrived", callId=str(call_id), type=type, ext=ext, **extra)

    def expect(self, predicate, timeout=DEFAULT_TIMEOUT, what="a line from exchange-sim"):
        """Returns the first line that satisfies predicate; lines before it are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("timed out waiting for " + what) from None
            if line is None:
                raise AssertionError("exchange-sim ended while waiting for " + what)
            if predicate(line):
                return line

    def expect_cmd(self, name, timeout=DEFAULT_TIMEOUT, **match):
        def matches(line):
            return line.get("cmd") == name and all(line.get(k) == v for k, v in match.items())
        return self.expect(matches, timeout, what="command %s %r" % (name, match))

    def sync(self, timeout=DEFAULT_TIMEOUT):
        """Every line before the acknowledgement of a fence: earlier events are then queued."""
        token = str(time.monotonic())
        self.send({"control": "sync", "token": token})
        seen = []
        self.expect(lambda m: seen.append(m) or (m.get("ack") == "sync"
                                                 and m.get("token") == token),
                    timeout, what="sync %r" % token)
        return seen[:-1]

    def stop(self, kill=False):
        try:
            self.proc.kill() if kill else self.proc.stdin.close()
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=2)
        for f in (self.proc.stdin, self.proc.stdout, self.stderr):
            f.close()


class Daemon:
    def __init__(self, sandbox, preexec_fn=None):
        self.sandbox, root = sandbox, sandbox.root
        self.out = [open(os.path.join(root, "valtd." + n), "wb") for n in ("stdout", "stderr")]
        self.proc = subprocess.Popen([os.path.join(BIN_DIR, "valtd")], stdin=subprocess.DEVNULL,
                                     stdout=self.out[0], stderr=self.out[1], env=sandbox.env,
                                     cwd=root, preexec_fn=preexec_fn)
        # Ready once both of its queues accept messages.
        wait_until(lambda: all(os.path.exists(sandbox.path("/tmp/exlink/q-bin_ping-%d.sock" % q))
                               for q in (12, 88)), what="valtd's message queues")

    def stop(self):
        """Ends the daemon by a forced alert (killed if that fails); returns its sanitizer
        reports, and a complaint unless it ended with 0 having cleaned up once."""
        complaint = ""
        if self.proc.poll() is None:
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
                    s.sendto(b"EXL1 ForcedAlert", self.sandbox.path("/tmp/exlink/poller-45.sock"))
                code = self.proc.wait(timeout=STOP_TIMEOUT)
                after = self.sandbox.log(True).rsplit("Received POLLER_FORCED_ALERT event!\n", 1)
                if code != 0 or len(after) != 2 or after[1].count("CCS: CleanUp...\n") != 1:
                    complaint = "valtd ended with %d after its forced alert\n" % code
            except (OSError, subprocess.TimeoutExpired):
                complaint = "valtd did not end after its forced alert\n"
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for f in self.out:
            f.close()
        return complaint + sanitizer_reports(os.path.join(self.sandbox.root, "valtd.stderr"))


def sanitizer_reports(path):
    text = read(path).decode(errors="replace") if os.path.exists(path) else ""
    starts = [i for i in (text.find(m) for m in SANITIZER_MARKS) if i >= 0]
    return text[min(starts):][:8000] if starts else ""


class Sandbox:
    def __init__(self):
        # Short path: Unix socket paths are limited to 108 bytes.
        self.root = tempfile.mkdtemp(prefix="vt", dir="/tmp")
        self.log_path = os.path.join(self.root, "tmp", "logs", "valtd.log")
        self.env = dict(os.environ, VALTD_ROOT=self.root)
        self.env.pop("ORBA_PATH", None)
        # The daemon's crash guard, not the sanitizer, must see the crash signals.
        handlers = "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0"
        for name in ("ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"):
            self.env[name] = ":".join(filter(None, [self.env.get(name, ""), handlers]))
        self.sim = None
        self.daemon = None
        self.reports = ""

    def log(self, rotated=False):
        """The log's text, with `rotated` the older copy's before it."""
        paths = [self.log_path + ".1"] * rotated + [self.log_path]
        return "".join(read(p).decode(errors="replace") for p in paths if os.path.exists(p))

    def wait_log(self, text, timeout=DEFAULT_TIMEOUT, rotated=False):
        return wait_until(lambda: text in self.log(rotated), timeout, what="log line %r" % text)

    def valtconf(self, *args):
        done = subprocess.run([os.path.join(BIN_DIR, "valtconf")] + [str(a) for a in args],
                              env=self.env, capture_output=True, check=True)
        return done.stdout.decode()

    def configure_server(self, settings=None, init=False):
        """Sets a free listening port, the settings and the test user (after `valtconf
        init`, as for a new installation, with `init`); returns the port."""
        if init:
            self.valtconf("init")
        port = free_port()
        for name, value in dict({"listen-port": port}, **(settings or {})).items():
            self.valtconf("set", name, value)
        self.valtconf("add-extension", USER, "--kind", "user", "--password", PASSWORD)
        return port

    def install_tool(self, text=None):
        """The configuration tool: the project's stand-in, or a script of the given text."""
        tool = self.path("/bin/fcgiclient")
        write(tool, text or read(os.path.join(HERE, "..", "..", "tools", "fcgiclient",
                                              "fcgiclient")))
        os.chmod(tool, 0o755)

    def path(self, absolute):
        return os.path.join(self.root, absolute.lstrip("/"))

    def start_sim(self):
        self.stop_sim()
        self.sim = Sim(self)
        return self.sim

    def stop_sim(self, kill=False):
        if self.sim:
            self.sim.stop(kill)
            self.reports += sanitizer_reports(os.path.join(self.root, "sim.stderr"))
            self.sim = None

    def start_daemon(self, preexec_fn=None):
        if self.daemon:  # ended or replaced: its reports count too
            self.reports += self.daemon.stop()
        self.daemon = Daemon(self, preexec_fn)
        return self.daemon

    def close(self):
        """Stops the processes, removes the sandbox; returns their reports ("" for none)."""
        if self.daemon:
            self.reports += self.daemon.stop()
        self.stop_sim()
        if os.environ.get("VALTD_KEEP_SANDBOX"):
            print("sandbox kept at", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        return self.reports


class ProcessProbe:
    """A running process's resident memory, open descriptors and CPU time, from /proc."""

    def __init__(self, pid):
        self.proc = "/proc/%d/" % pid

    def rss_kb(self):
        return int(read(self.proc + "statm").split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    def fds(self):
        return len(os.listdir(self.proc + "fd"))

    def cpu_seconds(self):
        utime, stime = read(self.proc + "stat").rsplit(b")", 1)[1].split()[11:13]
        return (int(utime) + int(stime)) / os.sysconf("SC_CLK_TCK")


class ServerTest(unittest.TestCase):
    """One sandbox, simulator and daemon per class, on a free port (TLS when `tls`),
    with the test user; configure() runs before the daemon starts."""

    USER, PASSWORD = USER, PASSWORD
    settings = {}
    init = False  # the configuration starts as `valtconf init` makes it
    preexec_fn = None  # run in the daemon's process before it starts
    tls = False
    RSS_SLACK_KB = 16 * 1024 * SLOW
    FD_SLACK = 4

    @classmethod
    def configure(cls, sandbox):
        pass

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox()
        # A small quarantine: freed memory shows in the resident size under ASan too.
        cls.sandbox.env["ASAN_OPTIONS"] += ":quarantine_size_mb=4"
        try:
            settings = dict(cls.settings, **({"secure-listen": "true"} if cls.tls else {}))
            cls.port = cls.sandbox.configure_server(settings, cls.init)
            if cls.tls:  # a self-signed certificate and its key at the daemon's paths
                make_certificate(*map(cls.sandbox.path, ("/etc/ssl.crt/server.crt",
                                                         "/etc/ssl.key/server.key")))
            cls.configure(cls.sandbox)
            cls.sim = cls.sandbox.start_sim()
            cls.daemon = cls.sandbox.start_daemon(cls.preexec_fn)
            cls.probe = ProcessProbe(cls.daemon.proc.pid)
            # The baseline includes what the first client allocates for good.
            first = cls._open(cls.port, True, cls.tls)
            first.rpc("getextension", "nobody")
            first.close()
            time.sleep(0.2)
            cls.base_rss = cls.probe.rss_kb()
            cls.base_fds = cls.probe.fds()
        except BaseException:
            cls.sandbox.close()
            raise

    @classmethod
    def tearDownClass(cls):
        reports = cls.sandbox.close()
        if reports:
            raise AssertionError("sanitizer reports of valtd or exchange-sim:\n" + reports)

    @classmethod
    def _open(cls, port, authenticate, tls=False, rcvbuf=None):
        wait_until(lambda: accepts_connection(port), what="valtd listening on %d" % port)
        client = Client(port, tls=tls, rcvbuf=rcvbuf)
        if authenticate:
            answer = client.authenticate(cls.USER, cls.PASSWORD)
            if answer != (True, "Authenticated."):
                client.close()
                raise AssertionError("authentication refused: %r" % (answer,))
        return client

    def connect(self, authenticate=True, tls=None, port=None, rcvbuf=None):
        client = self._open(port or self.port, authenticate,
                            self.tls if tls is None else tls, rcvbuf)
        self.addCleanup(client.close)
        return client

    def setUp(self):
        self.sandbox.log_mark = len(self.sandbox.log())

    def tearDown(self):
        result = getattr(getattr(self, "_outcome", None), "result", None)
        if result and any(test is self for test, _ in result.failures + result.errors):
            print("\n--- valtd.log ---\n" + self.sandbox.log()[-6000:])

    def new_log(self):
        """The daemon's log since this test started."""
        return self.sandbox.log()[self.sandbox.log_mark:]

    def valtctl(self, *command, wait=True, port=None, password=PASSWORD, options=()):
        """(exit code, output, errors) of valtctl, or with wait=False its process."""
        args = ["--port", port or self.port, "--timeout", 5, "--user", USER, "--password",
                password] + list(options) + list(command)
        proc = subprocess.Popen([os.path.join(BIN_DIR, "valtctl")] + [str(a) for a in args],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.sandbox.env)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.communicate()))
        if not wait:
            return proc
        out, err = proc.communicate(timeout=30)
        return proc.returncode, out, err

    def sync_sim(self):
        return self.sim.sync()

    def update_settings(self, **values):
        """Sets `values` (underscores for dashes) and waits until the daemon has read them."""
        for name, value in values.items():
            self.sandbox.valtconf("set", name.replace("_", "-"), value)
        done = self.sandbox.log(rotated=True).count("CCS: UpdateConfigs:\n")
        self.sim.event("UpdateConfig", updateType=4192)
        wait_until(lambda: self.sandbox.log(rotated=True).count("CCS: UpdateConfigs:\n") > done,
                   what="the settings update")

    def check_healthy(self):
        """The daemon runs, a fresh client is served within a second, and memory and
        descriptors are back near the start."""
        self.assertIsNone(self.daemon.proc.poll(), "valtd ended")
        limit, started = 1.0 * SLOW, time.monotonic()
        client = self.connect(authenticate=False)
        for request, answer in ((("authenticate", USER, PASSWORD), (True, "Authenticated.")),
                                (("closecall", "1"), {"faultCode": 0,
                                                      "faultString": "No such call"})):
            client.call(*request)
            self.assertEqual(client.read(timeout=limit)[0], answer)
        client.close()
        self.assertLess(time.monotonic() - started, limit, "a fresh client waited too long")
        wait_until(lambda: self.probe.fds() <= self.base_fds + self.FD_SLACK,
                   what="descriptors back near %d (now %d)" % (self.base_fds, self.probe.fds()))
        wait_until(lambda: self.probe.rss_kb() <= self.base_rss + self.RSS_SLACK_KB,
                   what="resident memory back near %d KB (now %d KB)"
                   % (self.base_rss, self.probe.rss_kb()))

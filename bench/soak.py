#!/usr/bin/env python3
"""Soak run of the daemon: many clients and a steady stream of exchange events
for a long time, watching the daemon's memory, descriptors and request
time-outs. Not a test: it prints figures (see docs/performance.md, "Soak").

    bench/soak.py [--minutes 30] [--clients 200] [--reconnecting 50] [--slow 20]
                  [--events 50] [--bin-dir build/bin]

Everything runs on loopback in a sandbox root (the end-to-end harness's), with
exchange-sim as the exchange and a policy server in this process:

- Every client authenticates and takes an extension of its own. Ordinary
  clients answer every request at once (offers: accept, decline or accept with
  remote control). Reconnecting clients close and connect again every 5 to 20
  seconds. Slow clients read only every 5 seconds and never answer, so the
  daemon's request time-out (2 s) must give up every request written to them.
- Events: CallArrived at the given rate, most for the clients' extensions,
  one in ten for an extension no client holds (the policy server decides),
  and CallStateChanged (disconnected) for earlier calls; presence events for
  subscriptions now and then.
- The policy server changes its behaviour every 20 seconds: answers, garbage,
  closes without answering, stays silent.
- Every 10 seconds a side client uploads a 20 KiB prompt and deletes it.

Figures: the daemon's resident memory (first, last, largest, and the growth
per hour fitted over the second half of the run), its open descriptors under
load and after every client has gone, and missed time-outs: offers that a slow client
has read (so the daemon had written them) and that the daemon did not give up
("CCS: Request failed... <id>") within the time-out and 5 s of slack.
"""

import argparse
import os
import random
import re
import selectors
import socket
import sys
import threading
import time
import xmlrpc.client

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

REQUEST_TIMEOUT = 2
SLOW_READ_INTERVAL = 5.0
USER, PASSWORD = "201", "secret201"
UPLOAD_EXT = "301"
CHUNK = 1024


class Conn:
    """One control client driven by the main loop."""

    slow_offers_read = {}  # call ID -> when a slow client read its offer

    def __init__(self, index, kind, port, sel, stats):
        self.index, self.kind, self.port, self.sel, self.stats = index, kind, port, sel, stats
        self.ext = "6%03d" % index
        self.sock = None
        self.buffer = b""
        self.connect()

    def connect(self):
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        self.buffer = b""
        self.next_read = time.monotonic() + SLOW_READ_INTERVAL
        self.reconnect_at = time.monotonic() + random.uniform(5, 20)
        self.send(xmlrpc.client.dumps((USER, PASSWORD), PREFIX + "authenticate"))
        self.send(xmlrpc.client.dumps((self.ext, True), PREFIX + "incomingcallhandling"))
        if self.kind != "slow":
            self.sel.register(self.sock, selectors.EVENT_READ, self)
        self.stats["connects"] += 1

    def close(self):
        if self.sock is not None:
            if self.kind != "slow":
                self.sel.unregister(self.sock)
            self.sock.close()
            self.sock = None

    def send(self, text):
        try:
            self.sock.sendall(text.encode() + b"\r\n\r\n")
        except OSError:
            self.stats["send_errors"] += 1

    def readable(self, nonblocking=False):
        try:
            if nonblocking:
                self.sock.setblocking(False)
            chunk = self.sock.recv(65536)
        except BlockingIOError:
            chunk = None
        except OSError:
            chunk = b""
        if nonblocking:
            self.sock.settimeout(5)
        if chunk is None:
            return
        if not chunk:
            self.stats["closed_by_daemon"] += 1
            self.close()
            self.connect()
            return
        self.buffer += chunk
        while b"\r\n\r\n" in self.buffer:
            message, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
            self.handle(message)

    def handle(self, message):
        try:
            params, name = xmlrpc.client.loads(message.decode(errors="replace"))
        except xmlrpc.client.Fault:
            self.stats["faults"] += 1
            return
        except Exception:
            self.stats["unreadable"] += 1
            return
        if name is None:
            self.stats["answers"] += 1
            return
        self.stats["requests"] += 1
        if self.kind == "slow":
            # Never answers: each offer it has read was written by then, and
            # the daemon must give it up after the request time-out.
            if name.endswith(".process") and len(params) >= 2:
                Conn.slow_offers_read.setdefault(str(params[1]), time.monotonic())
            return
        if name.endswith(".process") and len(params) >= 2:
            call_id = str(params[1])
            choice = random.random()
            if choice < 0.6:
                decision = {"CallID": call_id, "action": "accept"}
            elif choice < 0.8:
                decision = {"CallID": call_id, "action": "accept", "remotecontrol": True}
            else:
                decision = {"CallID": call_id, "action": "decline", "reason": ["busy"]}
            self.send(xmlrpc.client.dumps((decision,), methodresponse=True))
        else:
            self.send(xmlrpc.client.dumps((str(params[0]) if params else "0",),
                                          methodresponse=True))


PREFIX = "Services.CallProcessingService."
SYSTEM = "Services.SystemService."


class LogWatcher:
    """Follows valtd.log across rotations and collects the request time-outs."""

    def __init__(self, path):
        self.path = path
        self.file = None
        self.rest = b""
        self.failed = {}
        self.pattern = re.compile(rb"CCS: Request failed\.\.\. (\d+)")

    def poll(self):
        if self.file is None:
            try:
                self.file = open(self.path, "rb")
            except FileNotFoundError:
                return
        while True:
            data = self.file.read(1 << 20)
            if data:
                self.scan(data)
                continue
            try:
                if os.stat(self.path).st_ino != os.fstat(self.file.fileno()).st_ino:
                    self.file.close()
                    self.file = open(self.path, "rb")  # rotated: on to the new file
                    continue
            except FileNotFoundError:
                pass
            return

    def scan(self, data):
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        now = time.monotonic()
        for line in lines:
            m = self.pattern.search(line)
            if m:
                self.failed.setdefault(m.group(1).decode(), now)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def slope_per_hour(samples):
    """Least-squares growth of (seconds, KiB) samples, in KiB per hour."""
    if len(samples) < 2:
        return 0.0
    n = len(samples)
    mt = sum(t for t, _ in samples) / n
    mv = sum(v for _, v in samples) / n
    var = sum((t - mt) ** 2 for t, _ in samples)
    if var == 0:
        return 0.0
    return sum((t - mt) * (v - mv) for t, v in samples) / var * 3600


def uploader(port, stop, stats):
    """Uploads a prompt and deletes it again, every 10 seconds."""
    from harness import Client
    body = bytes(random.getrandbits(8) for _ in range(20 * 1024))
    while not stop.wait(10):
        try:
            c = Client(port)
            c.authenticate(USER, PASSWORD)
            name = "soak.wav"
            c.send_raw(c.request_text(SYSTEM + "beginfiletransfer", "1", 0, UPLOAD_EXT, name,
                                      len(body), True).encode() + body)
            c.read_bytes(2 * ((len(body) + CHUNK - 1) // CHUNK))
            c.read()
            c.call(SYSTEM + "deletefile", "9", 0, UPLOAD_EXT, name)
            c.read()
            c.close()
            stats["uploads"] += 1
        except Exception as error:  # counted, the run goes on
            stats["upload_errors"] += 1
            print("upload failed:", error, file=sys.stderr)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--minutes", type=float, default=30)
    ap.add_argument("--clients", type=int, default=200)
    ap.add_argument("--reconnecting", type=int, default=50)
    ap.add_argument("--slow", type=int, default=20)
    ap.add_argument("--events", type=float, default=50, help="CallArrived events per second")
    ap.add_argument("--bin-dir", default=os.path.join(HERE, "..", "build", "bin"))
    args = ap.parse_args()
    os.environ["VALTD_BIN_DIR"] = os.path.abspath(args.bin_dir)

    import harness
    from harness import Sandbox, free_port
    from policy_server import PolicyServer
    harness.BIN_DIR = os.environ["VALTD_BIN_DIR"]

    random.seed(1)
    policy = PolicyServer(user="pbx", password="secret")
    sandbox = Sandbox()
    port = free_port()
    conf = sandbox.valtconf
    for name, value in (("listen-port", port), ("request-timeout", REQUEST_TIMEOUT),
                        ("policy-server", "127.0.0.1"), ("policy-port", policy.port),
                        ("policy-user", "pbx"), ("policy-password", "secret"),
                        ("policy-secure", "false")):
        conf("set", name, value)
    conf("add-extension", USER, "--kind", "user", "--password", PASSWORD)
    prompts = sandbox.path("/prompts/" + UPLOAD_EXT)
    os.makedirs(prompts)
    conf("add-extension", UPLOAD_EXT, "--kind", "user", "--no-password", "--prompt-dir", prompts,
         "--prompt-share", 50)
    sim = sandbox.start_sim()
    daemon = sandbox.start_daemon()
    pid = daemon.proc.pid
    watcher = LogWatcher(sandbox.log_path)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)

    stats = dict.fromkeys(("connects", "send_errors", "closed_by_daemon", "faults", "unreadable",
                           "answers", "requests", "uploads", "upload_errors",
                           "calls", "policy_calls", "ends"), 0)
    sel = selectors.DefaultSelector()
    kinds = (["reconnecting"] * args.reconnecting + ["slow"] * args.slow)
    kinds += ["ordinary"] * (args.clients - len(kinds))
    conns = [Conn(i, kind, port, sel, stats) for i, kind in enumerate(kinds)]
    stop = threading.Event()
    up = threading.Thread(target=uploader, args=(port, stop, stats), daemon=True)
    up.start()

    start = time.monotonic()
    end = start + args.minutes * 60
    modes = ["answer", "garbage", "close", "silent"]
    next_event = start
    next_sample = start
    next_mode = start + 20
    next_report = start + 60
    open_calls = []
    samples = []
    fds_under_load = 0
    call_id = 10 ** 9
    while time.monotonic() < end:
        now = time.monotonic()
        # Events at the rate asked for, each CallArrived followed later by its end.
        while next_event <= now:
            call_id += 1
            if random.random() < 0.1:
                ext = "5999"
                stats["policy_calls"] += 1
            else:
                ext = random.choice(conns).ext
            sim.event("CallArrived", callId=str(call_id), type=1, ext=ext,
                      **{"from": {"user": "300", "host": "10.0.0.9", "port": "5060", "type": 1},
                         "to": {"user": ext}})
            stats["calls"] += 1
            open_calls.append(call_id)
            if len(open_calls) > 200:
                ended = open_calls.pop(random.randrange(100))
                sim.event("CallStateChanged", callId=str(ended), state=3)
                stats["ends"] += 1
            next_event += 1.0 / args.events
        for key, _ in sel.select(timeout=0.02):
            key.data.readable()
        for c in conns:
            if c.kind == "slow" and now >= c.next_read:
                c.next_read = now + SLOW_READ_INTERVAL
                c.readable(nonblocking=True)
            elif c.kind == "reconnecting" and now >= c.reconnect_at:
                c.close()
                c.connect()
        if now >= next_mode:
            policy.mode = modes[int((now - start) // 20) % len(modes)]
            next_mode += 20
        if now >= next_sample:
            watcher.poll()
            while not sim.lines.empty():
                sim.lines.get_nowait()
            samples.append((now - start, rss_kib(pid)))
            fds_under_load = descriptors(pid)
            next_sample += 10
        if now >= next_report:
            print("%5.0f s: rss %d KiB, fds %d, calls %d, requests %d, connects %d"
                  % (now - start, samples[-1][1], fds_under_load, stats["calls"],
                     stats["requests"], stats["connects"]), flush=True)
            next_report += 60

    stop.set()
    up.join(timeout=15)
    time.sleep(REQUEST_TIMEOUT + 5)
    watcher.poll()
    cutoff = time.monotonic() - REQUEST_TIMEOUT - 5
    read = Conn.slow_offers_read
    missed = [i for i, t in read.items() if t < cutoff and i not in watcher.failed]
    for c in conns:
        c.close()
    time.sleep(3)
    fds_idle = descriptors(pid)
    rss_end = rss_kib(pid)
    duration = time.monotonic() - start
    half = [s for s in samples if s[0] >= duration / 2]
    reports = sandbox.close()
    policy.stop()

    print("duration %.0f s, %d clients (%d reconnecting, %d slow), %.0f calls/s"
          % (duration, args.clients, args.reconnecting, args.slow, args.events))
    print("counts: " + ", ".join("%s %d" % kv for kv in sorted(stats.items())))
    print("rss: first %d KiB, last %d KiB, largest %d KiB, growth %.0f KiB/hour "
          "(fitted over the second half)"
          % (samples[0][1], rss_end, max(v for _, v in samples), slope_per_hour(half)))
    print("policy server: %d requests received; daemon gave up %d requests in all"
          % (len(policy.requests), len(watcher.failed)))
    print("descriptors: %d under load, %d after every client left" % (fds_under_load, fds_idle))
    print("offers read by slow clients: %d, given up by the daemon: %d, missed time-outs: %d"
          % (len(read), sum(1 for i in read if i in watcher.failed), len(missed)))
    if reports:
        print("sanitizer reports:\n" + reports)
    return 0


if __name__ == "__main__":
    sys.exit(main())

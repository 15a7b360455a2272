"""Benchmark suite of valtd beside its anchors (run by scripts/bench.sh).

Every scenario runs the Release daemon (pinned to core 0) against the load
driver valt_load (pinned to core 1), and the anchor of the same scenario in
the same run; one table prints our figure, the anchor's, the ratio and the
goal. The loopback floor probes (pingpong, fanout, tls_pingpong) and the
fixtures are taken from the shared anchors directory ($VALTD_ANCHORS, default
../shared/anchors beside the source tree); the library anchors are our own
(bench/anchors). Scenarios whose anchor is absent print "-" in its place.

    python3 bench/run_bench.py --bin build-release/bin [--static-bin build-static/bin] [--smoke]
"""

import argparse
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

DAEMON_CPU = os.environ.get("BENCH_DAEMON_CPUS", "0")
DRIVER_CPU = "1" if os.cpu_count() and os.cpu_count() > 1 else "0"
# The floor probes fork their own server: they get both cores, as the daemon
# and the driver do together.
ANCHOR_CPUS = "0,1" if DRIVER_CPU == "1" else "0"
FIXTURES = ("process.xml", "dlgarrived.xml", "cdrarrived.xml")


def results(text, name):
    """The key=value pairs of every "RESULT name ..." line of text."""
    found = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0] == "RESULT" and parts[1] == name:
            found.append({k: v for k, v in (p.split("=", 1) for p in parts[2:] if "=" in p)})
    return found


def run(cmd, cpus=DRIVER_CPU, cwd=None, timeout=300):
    """Runs cmd pinned to `cpus`; its standard output."""
    full = ["taskset", "-c", cpus] + cmd if shutil.which("taskset") else cmd
    done = subprocess.run(full, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), done.returncode, done.stderr[-2000:]))
    return done.stdout


def median(values):
    """The middle value (the upper middle of an even count)."""
    values = sorted(values)
    return values[len(values) // 2]


def probe(pattern, text):
    """Floats of the regular expression's groups in an anchor's output."""
    m = re.search(pattern, text)
    if not m:
        raise RuntimeError("unexpected anchor output: " + text)
    return [float(g) for g in m.groups()]


class Anchors:
    """Builds the anchors that are present into a scratch directory."""

    def __init__(self, shared, work):
        self.shared = shared
        self.work = work
        self.have = {}
        probes = {"pingpong": [], "fanout": [], "tls_pingpong": ["-lssl", "-lcrypto"]}
        for name, libs in probes.items():
            src = os.path.join(shared, name + ".c")
            if os.path.exists(src):
                self._cc(name, src, libs)
        self._cc("xmlrpcc", os.path.join(HERE, "anchors", "xmlrpcc_codec.c"),
                 subprocess.run(["xmlrpc-c-config", "--libs"], capture_output=True,
                                text=True).stdout.split() if shutil.which("xmlrpc-c-config") else None)
        self._cc("expat", os.path.join(HERE, "anchors", "expat_floor.c"), ["-lexpat"])
        if "tls_pingpong" in self.have:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                            "-keyout", "tls.key", "-out", "tls.crt"],
                           cwd=work, check=True, capture_output=True)

    def _cc(self, name, src, libs):
        if libs is None:
            return
        out = os.path.join(self.work, name)
        done = subprocess.run(["gcc", "-O2", "-o", out, src, "-lpthread"] + libs, capture_output=True,
                              text=True)
        if done.returncode == 0:
            self.have[name] = out
        else:
            print("anchor %s not built: %s" % (name, done.stderr[-500:]), file=sys.stderr)

    def get(self, name):
        return self.have.get(name)


class Table:
    def __init__(self):
        self.rows = []

    def add(self, number, scenario, measure, ours, anchor, goal, lower_is_better=False, fmt="{:,.0f}"):
        """goal: minimal ratio (or maximal with lower_is_better), or None."""
        ratio = ours / anchor if (ours is not None and anchor) else None
        met = ""
        if goal is not None and ratio is not None:
            met = "yes" if (ratio <= goal if lower_is_better else ratio >= goal) else "NO"
        goal_text = "" if goal is None else ("<= %gx" % goal if lower_is_better else ">= %gx" % goal)
        self.rows.append((str(number), scenario, measure, self._f(fmt, ours), self._f(fmt, anchor),
                          "-" if ratio is None else "%.2f" % ratio, goal_text, met))

    def absolute(self, number, scenario, measure, ours, limit, unit):
        met = "" if ours is None else ("yes" if ours <= limit else "NO")
        self.rows.append((str(number), scenario, measure, "-" if ours is None else "%.1f %s" % (ours, unit),
                          "-", "-", "<= %g %s" % (limit, unit), met))

    @staticmethod
    def _f(fmt, v):
        return "-" if v is None else fmt.format(v)

    def print(self):
        head = ("#", "Scenario", "Measure", "valtd", "Anchor (same run)", "Ratio", "Goal", "Met")
        rows = [head] + self.rows
        widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
        line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
        print(line(head))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print(line(r))


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


class Bench:
    def __init__(self, args):
        args.bin = os.path.abspath(args.bin)
        os.environ["VALTD_BIN_DIR"] = args.bin
        import harness  # noqa: E402  (after VALTD_BIN_DIR)
        self.harness = harness
        # The unit keeps /tmp (and so the log) in RAM: the sandboxes go to a
        # RAM file system when there is one ($VALTD_BENCH_TMP overrides).
        parent = os.environ.get("VALTD_BENCH_TMP") or ("/dev/shm" if os.access("/dev/shm", os.W_OK)
                                                        else "/tmp")

        class RamTemp:
            @staticmethod
            def mkdtemp(prefix="", dir=None):
                return tempfile.mkdtemp(prefix=prefix, dir=parent)

        harness.tempfile = RamTemp
        self.bin = args.bin
        self.static_bin = args.static_bin and os.path.abspath(args.static_bin)
        self.smoke = args.smoke
        self.seconds = 1.0 if args.smoke else 4.0
        self.work = tempfile.mkdtemp(prefix="vtbench")
        self.anchors = Anchors(args.anchors, self.work)
        self.fixtures = [os.path.join(args.anchors, f) for f in FIXTURES
                         if os.path.exists(os.path.join(args.anchors, f))]
        self.table = Table()
        self.load = os.path.join(args.bin, "valt_load")
        self.extra_settings = [s.split("=", 1) for s in args.set]

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    # --- sandboxes ---------------------------------------------------------

    def sandbox(self, settings=(), sim=True, tls=False):
        """A sandbox with user 201 and a free listening port; the simulator
        started when `sim`."""
        box = self.harness.Sandbox()
        box.port = self.harness.free_port()
        box.valtconf("set", "listen-port", box.port)
        box.valtconf("add-extension", "201", "--kind", "user", "--password", "secret201")
        for name, value in list(settings) + self.extra_settings:
            box.valtconf("set", name, value)
        if tls:
            for path in ("etc/ssl.crt", "etc/ssl.key"):
                os.makedirs(os.path.join(box.root, path), exist_ok=True)
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                            "-keyout", box.path("/etc/ssl.key/server.key"),
                            "-out", box.path("/etc/ssl.crt/server.crt")],
                           check=True, capture_output=True)
        if sim:
            box.start_sim()
        return box

    def start_daemon(self, box, program=None):
        """Starts valtd (or `program`) pinned to the daemon's core; the
        start-up time to a listening socket in milliseconds."""
        logs = [open(os.path.join(box.root, n), "wb") for n in ("valtd.stdout", "valtd.stderr")]
        start = time.monotonic()
        proc = subprocess.Popen(["taskset", "-c", DAEMON_CPU, program or os.path.join(self.bin, "valtd")],
                                stdin=subprocess.DEVNULL, stdout=logs[0], stderr=logs[1],
                                env=box.env, cwd=box.root)
        box.bench_proc = proc
        box.bench_logs = logs
        deadline = start + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", box.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or proc.poll() is not None:
                    raise RuntimeError("valtd did not listen: " + box.log()[-2000:])
                time.sleep(0.0005)
        listening = (time.monotonic() - start) * 1000
        link = os.path.join(box.root, "tmp", "exlink")
        self.harness.wait_until(lambda: all(os.path.exists(os.path.join(link, "q-bin_ping-%d.sock" % q))
                                            for q in (12, 88)), what="valtd's message queues")
        return listening

    def stop(self, box):
        proc = getattr(box, "bench_proc", None)
        if proc and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for f in getattr(box, "bench_logs", []):
            f.close()
        box.close()

    def static_idle_kib(self):
        """Resident memory of the statically linked daemon (the unit's link)
        0.3 s after it listens, in its own sandbox."""
        box = self.sandbox(settings=[("request-timeout", 0)])
        try:
            self.start_daemon(box, os.path.join(self.static_bin, "valtd"))
            time.sleep(0.3)
            return resident_kib(box.bench_proc.pid)
        finally:
            self.stop(box)

    # --- scenarios ---------------------------------------------------------

    def codec(self):
        if not self.fixtures:
            return
        s = str(self.seconds / 4)
        ours = {r["file"]: r for r in results(run([self.load, "codec", s] + self.fixtures), "codec")}
        xc = ex = {}
        if self.anchors.get("xmlrpcc"):
            xc = {r["file"]: r for r in results(run([self.anchors.get("xmlrpcc"), s] + self.fixtures),
                                                 "xmlrpcc")}
        if self.anchors.get("expat"):
            ex = {r["file"]: r for r in results(run([self.anchors.get("expat"), s] + self.fixtures), "expat")}
        py = {r["file"]: r for r in results(run([sys.executable, os.path.join(HERE, "anchors",
                                                                              "codec_python.py"), s]
                                                + self.fixtures), "python")}
        get = lambda d, f, k: float(d[f][k]) if f in d else None
        for path in self.fixtures:
            f = os.path.basename(path)
            name = "codec %s (%s B)" % (f, ours[f]["bytes"])
            self.table.add(1, name, "parse+build msgs/s vs xmlrpc-c", get(ours, f, "roundtrip"),
                           get(xc, f, "roundtrip"), 2.5)
            self.table.add(1, name, "parse+build msgs/s vs Python", get(ours, f, "roundtrip"),
                           get(py, f, "roundtrip"), 6.0)
            self.table.add(1, name, "parse msgs/s vs expat no-op", get(ours, f, "parse"),
                           get(ex, f, "parse"), 1.0)

    def plain(self):
        """Footprint, round trips, idle tax, fan-out and the slow subscriber,
        on one daemon."""
        box = self.sandbox(settings=[("request-timeout", 0)])
        try:
            startup = self.start_daemon(box)
            time.sleep(0.3)
            pid = box.bench_proc.pid
            idle_kib = resident_kib(pid)
            holder = subprocess.Popen(["taskset", "-c", DRIVER_CPU, self.load, "idle", str(box.port), "1000"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            holder.stdout.readline()
            time.sleep(0.5)
            full_kib = resident_kib(pid)
            holder.stdin.close()
            holder.wait(timeout=30)
            time.sleep(0.3)
            self.table.absolute(8, "footprint", "resident memory, idle", idle_kib / 1024, 8, "MiB")
            if self.static_bin:
                self.table.absolute(8, "footprint", "resident memory, idle, static link",
                                    self.static_idle_kib() / 1024, 8, "MiB")
            self.table.absolute(8, "footprint", "per idle connection (1,000 open)",
                                (full_kib - idle_kib) / 1000, 32, "KiB")
            self.table.absolute(8, "footprint", "start-up to listening socket", startup, 100, "ms")

            pp = self.anchors.get("pingpong")
            r = results(run([self.load, "rtt", str(box.port), str(self.seconds), "0"]), "rtt")[0]
            a = None
            if pp:
                a = probe(r"([\d.]+) round-trips/s\s+p50 ([\d.]+) us\s+p99 ([\d.]+) us",
                          run([pp, "rtt", "5000" if self.smoke else "40000", r["request"], "0", "select"],
                              cpus=ANCHOR_CPUS))
            name = "1 connection, %s B request" % r["request"]
            self.table.add(2, name, "round trips/s", float(r["rate"]), a and a[0], 0.5)
            self.table.add(2, name, "p50 us", float(r["p50"]), a and a[1], 2.0, True, "{:.1f}")
            self.table.add(2, name, "p99 us", float(r["p99"]), a and a[2], None, True, "{:.1f}")

            r = results(run([self.load, "rtt", str(box.port), str(self.seconds), "1000"]), "rtt")[0]
            # Against the echo server's select loop, and its epoll loop: what
            # the idle connections cost a loop that does not scan them.
            for mode, goal in (("select", 1.0), ("epoll", 0.5)):
                a = None
                if pp:
                    a = probe(r"([\d.]+) round-trips/s\s+p50 ([\d.]+) us",
                              run([pp, "rtt", "1000" if self.smoke else "8000", r["request"], "1000", mode],
                                  cpus=ANCHOR_CPUS))
                self.table.add(5, "1 active + 1,000 idle", "round trips/s vs " + mode, float(r["rate"]),
                               a and a[0], goal)
                if mode == "select":
                    self.table.add(5, "1 active + 1,000 idle", "p50 us vs select", float(r["p50"]),
                                   a and a[1], None, True, "{:.1f}")

            # Each K runs five rounds, the daemon's run and the floor's in
            # turn, and every figure is the median of its rounds: a moment the
            # machine gives to someone else lands in one round, not in the row.
            # With more than 100 events the p99 is not simply the slowest event.
            fo = self.anchors.get("fanout")
            rounds = 1 if self.smoke else 5
            for k, events in ((1, 5000), (10, 2000), (100, 300), (1000, 150)):
                if self.smoke:
                    events = max(events // 10, 10)
                ours, floor = [], []
                for _ in range(rounds):
                    r = results(run([self.load, "fanout", box.root, str(box.port), str(k), str(events), "0",
                                     str(pid)], timeout=600), "fanout")[0]
                    ours.append([float(r["deliveries"]), float(r["p50"]), float(r["p99"])])
                    if fo:
                        floor.append(probe(r"([\d.]+) deliveries/s\s+event p50 ([\d.]+) us\s+p99 ([\d.]+) us",
                                           run([fo, str(k), str(events), "select", r["request"], "120"],
                                               cpus=ANCHOR_CPUS)))
                    print("fan-out K=%d: %.0f/s p50 %.1f us p99 %.1f us; floor %s"
                          % tuple([k] + ours[-1] + [floor and "%.0f/s p50 %.1f us p99 %.1f us" % tuple(floor[-1])]),
                          file=sys.stderr)
                o = [median(f[i] for f in ours) for i in range(3)]
                a = [median(f[i] for f in floor) for i in range(3)] if floor else None
                name = "fan-out K=%d, %s B request" % (k, r["request"])
                self.table.add(4, name, "deliveries/s", o[0], a and a[0], 0.5)
                self.table.add(4, name, "event p50 us", o[1], a and a[1], None, True, "{:.1f}")
                self.table.add(4, name, "event p99 us", o[2], a and a[2], 2.0, True, "{:.1f}")

            events = "300" if self.smoke else "3000"
            base = results(run([self.load, "fanout", box.root, str(box.port), "10", events, "0", str(pid)]),
                           "fanout")[0]
            slow = results(run([self.load, "fanout", box.root, str(box.port), "10", events, "1", str(pid)]),
                           "fanout")[0]
            self.table.add(6, "10 subscribers, 1 stalled", "the other 9's p99 us", float(slow["p99"]),
                           float(base["p99"]), 1.5, True, "{:.1f}")
            grown = (int(slow["rss_after"]) - int(slow["rss_before"])) / 1024
            self.table.absolute(6, "10 subscribers, 1 stalled", "daemon memory growth over the run", grown,
                                8, "MiB")
        finally:
            self.stop(box)

    def tls(self):
        box = self.sandbox(settings=[("secure-listen", "true"), ("request-timeout", 0)], tls=True)
        try:
            self.start_daemon(box)
            r = results(run([self.load, "rtt", str(box.port), str(self.seconds), "0", "tls"]), "rtt")[0]
            h = results(run([self.load, "handshakes", str(box.port), str(self.seconds / 2)]), "handshakes")[0]
            tp = self.anchors.get("tls_pingpong")
            a = None
            if tp:
                out = run([tp, "5000" if self.smoke else "40000", r["request"], "200" if self.smoke else "1000"],
                          cpus=ANCHOR_CPUS, cwd=self.work)
                a = probe(r"p50 ([\d.]+) us\s+p99 ([\d.]+) us", out) + \
                    probe(r"sequential: ([\d.]+) /s", out)
            name = "TLS, %s B request" % r["request"]
            self.table.add(3, name, "p50 us", float(r["p50"]), a and a[0], 2.0, True, "{:.1f}")
            self.table.add(3, name, "p99 us", float(r["p99"]), a and a[1], None, True, "{:.1f}")
            self.table.add(3, "TLS", "full handshakes/s", float(h["rate"]), a and a[2], 0.8)
        finally:
            self.stop(box)

    def policy(self):
        process = [f for f in self.fixtures if f.endswith("process.xml")]
        if not process:
            return
        box = self.sandbox(sim=False)
        driver = None
        try:
            driver = subprocess.Popen(["taskset", "-c", DRIVER_CPU, self.load, "policy", box.root,
                                       str(self.seconds), "50", process[0]],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=box.env)
            port = driver.stdout.readline().split()[1]
            for name, value in (("policy-server", "127.0.0.1"), ("policy-port", port), ("policy-user", "pbx"),
                                ("policy-password", "secret"), ("policy-secure", "false")):
                box.valtconf("set", name, value)
            self.start_daemon(box)
            driver.stdin.write("go\n")
            driver.stdin.flush()
            out, _ = driver.communicate(timeout=120)
            if driver.returncode != 0:
                raise RuntimeError("valt_load policy failed")
            r = results(out, "policy")[0]
            self.table.add(7, "policy, 50 calls pending", "decisions/s vs direct exchanges/s",
                           float(r["rate"]), float(r["direct_rate"]), 0.5)
            self.table.add(7, "policy, 1 call at a time", "decision p50 us vs direct exchange",
                           float(r["p50"]), float(r["direct_p50"]), 3.0, True, "{:.1f}")
            self.table.add(7, "policy, 1 call at a time", "decision p99 us vs direct exchange",
                           float(r["p99"]), float(r["direct_p99"]), None, True, "{:.1f}")
        finally:
            if driver and driver.poll() is None:
                driver.kill()
                driver.wait()
            self.stop(box)

    def spool(self):
        """A burst of call-detail records to one subscriber, with "cdr-spool" beside
        the same daemon without it, in the same run."""
        events = "1000" if self.smoke else "8000"
        rates = {}
        for spooled in (False, True):
            box = self.sandbox(settings=[("request-timeout", 0)] +
                               ([("cdr-spool", "true")] if spooled else []), sim=False)
            try:
                self.start_daemon(box)
                r = results(run([self.load, "burst", box.root, str(box.port), events]), "burst")[0]
                if int(r["received"]) != int(events):
                    raise RuntimeError("burst: %s of %s records arrived" % (r["received"], events))
                rates[spooled] = float(r["rate"])
            finally:
                self.stop(box)
        self.table.add(10, "CDR burst to 1 subscriber, spooled", "records/s vs without spool",
                       rates[True], rates[False], 0.67)

    def metrics(self):
        """Round trips and fan-out with the metrics listener on and scraped,
        beside the same rows with it off, in the same run. Both daemons run
        side by side (the one not measured is idle) and are measured in turn,
        in short rounds in the order off, on, on, off, off, on, ... (one round
        each in a smoke run), so that both see the machine in the same state
        and neither always goes first; each figure is the median of its
        rounds. The listener is scraped at the start of each of its rounds and
        every second after, so never while the other daemon is measured."""
        figures = {False: [], True: []}
        rounds = 1 if self.smoke else 8
        order = []
        for i in range(rounds):
            order += [False, True] if i % 2 == 0 else [True, False]
        mport = self.harness.free_port()
        boxes = {}
        scrapes = [0]

        def scrape(stop):
            while True:
                with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % mport, timeout=5) as a:
                    a.read()
                scrapes[0] += 1
                if stop.wait(1.0):
                    return

        try:
            for scraped in (False, True):
                boxes[scraped] = self.sandbox(settings=[("request-timeout", 0)] +
                                              ([("metrics-listen", str(mport))] if scraped else []))
                self.start_daemon(boxes[scraped])
            for scraped in order:
                box = boxes[scraped]
                stop = threading.Event()
                scraper = threading.Thread(target=scrape, args=(stop,))
                if scraped:
                    scraper.start()
                try:
                    rtt = results(run([self.load, "rtt", str(box.port), str(self.seconds / 8), "0"]), "rtt")[0]
                    events = "200" if self.smoke else "1500"
                    fan = results(run([self.load, "fanout", box.root, str(box.port), "10", events, "0",
                                       str(box.bench_proc.pid)], timeout=600), "fanout")[0]
                finally:
                    stop.set()
                    if scraper.is_alive():
                        scraper.join()
                figures[scraped].append((rtt, fan))
                print("metrics %s: rtt %s/s p50 %s us, fan-out %s/s p50 %s us"
                      % ("scraped" if scraped else "off", rtt["rate"], rtt["p50"], fan["deliveries"], fan["p50"]),
                      file=sys.stderr)
        finally:
            for box in boxes.values():
                self.stop(box)
        if scrapes[0] == 0:
            raise RuntimeError("the metrics listener was never scraped")

        def figure(scraped, which, key):
            return median(float(f[which][key]) for f in figures[scraped])

        name = "metrics scraped 1/s vs off"
        for which, key, measure, goal, lower in ((0, "rate", "round trips/s", 0.95, False),
                                                 (0, "p50", "round trip p50 us", 1.05, True),
                                                 (1, "deliveries", "fan-out K=10 deliveries/s", 0.95, False),
                                                 (1, "p50", "fan-out K=10 event p50 us", 1.05, True)):
            self.table.add(10, name, measure, figure(True, which, key), figure(False, which, key), goal, lower,
                           "{:.1f}" if lower else "{:,.0f}")

    def link(self):
        """Commands through the exchange link to a peer that reads them, beside
        plain datagrams of the same size on a connected socket pair."""
        out = run([os.path.join(self.bin, "link_bench"), str(self.seconds / 2)], cpus=ANCHOR_CPUS)
        r = results(out, "link")[0]
        self.table.add(9, "exchange link, reading peer", "commands/s vs datagram floor",
                       float(r["rate"]), float(r["floor"]), 0.5)
        e = results(out, "events")[0]
        self.table.add(9, "exchange queue ring, reading poller", "events/s vs one datagram each",
                       float(e["ring"]), float(e["datagram"]), 1.0)
        self.table.add(9, "exchange queue ring, reading poller", "one event at a time p50 us",
                       float(e["ring_p50"]), float(e["datagram_p50"]), None, True, "{:.1f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(SOURCE, "build-release", "bin"))
    parser.add_argument("--anchors", default=os.environ.get("VALTD_ANCHORS")
                        or os.path.join(SOURCE, "..", "shared", "anchors"))
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--static-bin", help="folder of a statically linked valtd, for the footprint")
    parser.add_argument("--only", default="codec,plain,tls,policy,link,spool,metrics")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        help="a setting for every daemon (e.g. log-queue-lines=32)")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(4096, hard)), hard))
    bench = Bench(args)
    started = time.monotonic()
    try:
        for name in args.only.split(","):
            getattr(bench, name)()
    finally:
        bench.close()
    print()
    bench.table.print()
    print("\n(ratio = valtd / anchor; for latencies lower is better. %s; %.0f s)"
          % ("smoke run" if args.smoke else "full run", time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The call-detail record spool ("cdr-spool"): records survive subscriber disconnects and
daemon crashes, the administrator reads them back, and without the setting nothing is
spooled. VALTD_CDR_E2E_COUNT sets how many records the crash test sends (10,000 by
default, in every build)."""

import json
import os
import random
import signal
import subprocess
import threading
import time
import unittest
import xmlrpc.client

import harness

from harness import (BIN_DIR, CDR, PASSWORD, SLOW, USER, Client, Sandbox, ServerTest, accepts_connection,
                     wait_until)

ADMIN = ("admin", "adminpw")
GETCDRS = "Services.SystemService.getcdrs"
COUNT = int(os.environ.get("VALTD_CDR_E2E_COUNT") or 10000)
WINDOW = 256  # records one subscription may have unanswered (server/CdrDelivery.cpp)


def spooled(port):
    """Every record the daemon's spool holds, as (status, [record]), read as the administrator."""
    admin = Client(port)
    admin.authenticate(*ADMIN)
    records, since = [], 1
    while True:
        _, status, page = admin.rpc(GETCDRS, "1", str(since), 1000)
        records += page
        if len(page) < 1000:
            break
        since = int(page[-1]["Seq"]) + 1
    admin.close()
    return status, records


class Subscriber(threading.Thread):
    """One CDR subscription (ID 7001) that answers every cdrarrived, drops its connection
    after every `every` records, and reconnects whenever the daemon is gone."""

    def __init__(self, port, every):
        super().__init__(daemon=True)
        self.port, self.every = port, every
        self.guids, self.received, self.sessions = set(), 0, 0
        self.stop = threading.Event()

    def connect(self):
        while not self.stop.is_set():
            client = None
            try:
                client = Client(self.port, timeout=2)
                client.authenticate(USER, PASSWORD)
                if client.rpc("subscribe", "7001", 2) == ("7001", True, 0):
                    self.sessions += 1
                    return client
            except (OSError, EOFError, AssertionError):
                pass
            if client is not None:
                client.close()
            time.sleep(0.05)
        return None

    def run(self):
        client = self.connect()
        while client is not None:
            try:
                params, name = client.read(timeout=0.5)
            except AssertionError:  # nothing for now
                if self.stop.is_set():
                    break
                continue
            except (OSError, EOFError):  # the daemon was killed
                client.close()
                client = self.connect()
                continue
            if name and name.endswith("cdrarrived"):
                self.guids.add(params[2]["CallGUID"])
                self.received += 1
                try:
                    client.answer(params[0])
                except OSError:
                    pass
                if self.received % self.every == 0:
                    client.close()
                    client = self.connect()
        if client is not None:
            client.close()


class CrashTest(unittest.TestCase):
    def setUp(self):
        self.sandbox = Sandbox()
        self.port = self.sandbox.configure_server({"cdr-spool": "true", "admin-user": ADMIN[0],
                                                   "admin-password": ADMIN[1]})
        self.sim = self.sandbox.start_sim()
        self.sandbox.start_daemon()

    def tearDown(self):
        reports = self.sandbox.close()
        self.assertFalse(reports, reports)

    def restart_after_kill(self):
        daemon = self.sandbox.daemon
        daemon.proc.send_signal(signal.SIGKILL)
        daemon.proc.wait()
        for f in daemon.out:
            f.close()
        self.sandbox.reports += harness.sanitizer_reports(self.sandbox.path("/valtd.stderr"))
        self.sandbox.daemon = None
        # Stale queue sockets would look like a ready daemon.
        for q in (12, 88):
            os.unlink(self.sandbox.path("/tmp/exlink/q-bin_ping-%d.sock" % q))
        self.sim.sync()  # what was sent before the kill is in the queue's ring
        self.sandbox.start_daemon()
        wait_until(lambda: accepts_connection(self.port), what="the restarted daemon")

    def send(self, guid):
        self.sim.event("CDRArrived", cdrType=1, cdr=dict(CDR, callGuid=guid))

    def test_every_record_survives_disconnects_and_kills(self):
        # Each record is sent once: what the killed daemon had not committed waits in
        # the exchange's queue (its ring file) and is taken again by the next one.
        guids = ["cdr-%05d" % i for i in range(COUNT)]
        kills = set(random.sample(range(COUNT // 10, COUNT - COUNT // 10), 3))
        subscriber = Subscriber(self.port, 500)
        subscriber.start()
        try:
            for i, guid in enumerate(guids):
                self.send(guid)
                if i in kills:
                    self.restart_after_kill()
            wait_until(lambda: len(subscriber.guids) == COUNT, timeout=120 * SLOW,
                       interval=0.2, what="all %d records at the subscriber" % COUNT)
        finally:
            subscriber.stop.set()
            subscriber.join(timeout=10)
        self.assertEqual(subscriber.guids, set(guids))
        # Again only what was in flight at a disconnect or a kill.
        disconnects = subscriber.sessions + 3
        self.assertLessEqual(subscriber.received - COUNT, disconnects * WINDOW,
                             (subscriber.received, subscriber.sessions))
        status, records = spooled(self.port)
        self.assertEqual(status["State"], "ok")
        self.assertEqual({r["CallGUID"] for r in records}, set(guids))
        # Spooled twice only a batch whose commit was under way at a kill (it can reach
        # the file although the process died before it was released).
        self.assertLessEqual(len(records) - COUNT, 3 * 256, len(records))
        self.assertEqual(os.stat(self.sandbox.path("/var/spool/valtd/cdr.db")).st_mode & 0o777,
                         0o600)
        print("records %d, received %d, sessions %d, spooled %d" %
              (COUNT, subscriber.received, subscriber.sessions, len(records)))


class SpoolBehaviour(ServerTest):
    settings = {"cdr-spool": "true", "admin-user": ADMIN[0], "admin-password": ADMIN[1],
                "request-timeout": 2}

    def subscribe(self, sub):
        client = Client(self.port)
        client.authenticate(self.USER, self.PASSWORD)
        self.assertEqual(client.rpc("subscribe", sub, 2), (sub, True, 0))
        return client

    def test_records_before_any_subscriber_and_faults_retried(self):
        # No subscriber yet: the daemon subscribed at the call manager itself.
        self.sim.expect_cmd("SubscribeToCDR", subscribe=1)
        for n in range(3):
            self.sim.event("CDRArrived", cdrType=1, cdr=dict(CDR, callGuid="early-%d" % n))
        wait_until(lambda: len(spooled(self.port)[1]) >= 3, what="three records spooled")
        client = self.subscribe("8101")
        # A first-seen subscriber gets what nobody acknowledged, in order; a fault
        # leaves the record unacknowledged and it comes again after a back-off.
        first = client.expect_request("cdrarrived")
        self.assertEqual(first[2]["CallGUID"], "early-0")
        client.send_raw(xmlrpc.client.dumps(xmlrpc.client.Fault(1, "busy"), methodresponse=True)
                        + "\r\n\r\n")
        seen = []
        while seen.count("early-0") < 1 or len(set(seen)) < 3:
            params = client.expect_request("cdrarrived", timeout=10 * SLOW)
            seen.append(params[2]["CallGUID"])
            client.answer(params[0])
        self.assertIn("early-0", seen)
        self.sandbox.wait_log("CCS: CDR 1 not acknowledged by subscription 8101")
        # Garbage is no acknowledgement either: after the time-out it comes again.
        self.sim.event("CDRArrived", cdrType=1, cdr=dict(CDR, callGuid="late"))
        # (A slow answer above may have timed out: that record comes again first.)
        while client.expect_request("cdrarrived")[2]["CallGUID"] != "late":
            client.answer("8101")
        client.send_raw("garbage\r\n\r\n")
        again = client.expect_request("cdrarrived", timeout=10 * SLOW)
        self.assertEqual(again[2]["CallGUID"], "late")
        client.answer(again[0])
        client.close()
        # Acknowledged records are not sent again to the same consumer.
        client = self.subscribe("8101")
        with self.assertRaises(AssertionError):
            client.read_message(timeout=1.0)
        client.close()

class Export(ServerTest):
    settings = SpoolBehaviour.settings

    def valtctl(self, user, password, *args):
        done = subprocess.run([os.path.join(BIN_DIR, "valtctl"), "--port", str(self.port),
                               "--user", user, "--password", password] + list(args),
                              capture_output=True, timeout=30 * SLOW)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def test_export_is_the_administrators(self):
        code, _, err = self.valtctl(self.USER, self.PASSWORD, "cdr", "export")
        self.assertEqual(code, 1, err)
        self.assertIn("Not permitted: the administrator only", err)
        self.sim.event("CDRArrived", cdrType=2, cdr=dict(CDR, callGuid="x,1", details='say "hi"'))
        self.sim.event("CDRArrived", cdrType=1, cdr=dict(CDR, callGuid="x2"))
        wait_until(lambda: {"x,1", "x2"} <= {r["CallGUID"] for r in spooled(self.port)[1]},
                   what="two records spooled")
        code, out, err = self.valtctl(*ADMIN, "cdr", "export", "--format", "csv")
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "seq,arrived,kind,from,to,start,duration,guid,details,cirCaller")
        self.assertIn(',2,201,300,1700000000,12,"x,1","say ""hi""",false', out)
        last = int(lines[-1].split(",")[0])
        code, out, err = self.valtctl(*ADMIN, "cdr", "export", "--since", str(last),
                                      "--format", "json")
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["seq"], r["guid"]) for r in json.loads(out)], [(last, "x2")])


class WithoutSetting(ServerTest):
    def test_no_spool_without_the_setting(self):
        client = Client(self.port)
        client.authenticate(self.USER, self.PASSWORD)
        self.assertEqual(client.rpc("subscribe", "8201", 2), ("8201", True, 0))
        self.sim.event("CDRArrived", cdrType=1, cdr=CDR)
        params = client.expect_request("cdrarrived")
        client.answer(params[0])
        self.assertFalse(os.path.exists(self.sandbox.path("/var/spool/valtd/cdr.db")))
        client.close()


if __name__ == "__main__":
    unittest.main()

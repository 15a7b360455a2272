"""What an operator and a client writer see of the daemon: the /metrics
listener (checked by promtool on a scrape under load, the counters against the
load sent), the administrator's status through valtctl, and XML-RPC
introspection through Python's own ServerProxy over the daemon's framing."""

import json
import shutil
import socket
import subprocess
import threading
import urllib.error
import urllib.request
import xmlrpc.client

from harness import (CDR, METHOD_PREFIX, USER, PASSWORD, Client, ServerTest, free_port,
                     wait_until)

SVC = "Services.SystemService."


class FramedTransport(xmlrpc.client.Transport):
    """ServerProxy's transport over the daemon's framing: one connection per
    call, each message ended by CR LF CR LF, no HTTP; authenticates first when
    given an account."""

    def __init__(self, user=None, password=None):
        super().__init__()
        self.account = (user, password) if user else None

    def request(self, host, handler, request_body, verbose=False):
        name, port = host.rsplit(":", 1)
        with socket.create_connection((name, int(port)), timeout=10) as sock:
            pending = b""

            def exchange(body):
                nonlocal pending
                sock.sendall(body + b"\r\n\r\n")
                while b"\r\n\r\n" not in pending:
                    chunk = sock.recv(65536)
                    if not chunk:
                        raise EOFError("valtd closed the connection")
                    pending += chunk
                message, pending = pending.split(b"\r\n\r\n", 1)
                return message

            if self.account:
                exchange(xmlrpc.client.dumps(self.account, METHOD_PREFIX + "authenticate")
                         .encode())
            parser, unmarshaller = self.getparser()
            parser.feed(exchange(request_body))
            parser.close()
            return unmarshaller.close()


def parse_metrics(text):
    """{'name{labels}': value} of an exposition text."""
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            series, value = line.rsplit(" ", 1)
            values[series] = float(value)
    return values


def requests_of(method, outcome):
    return 'valtd_requests_total{method="%s",outcome="%s"}' % (method, outcome)


class Metrics(ServerTest):
    settings = {"require-auth": "true", "request-timeout": 2, "admin-user": "admin",
                "admin-password": "adminpw", "cdr-spool": "true"}

    @classmethod
    def configure(cls, sandbox):
        cls.metrics_port = free_port()
        sandbox.valtconf("set", "metrics-listen", cls.metrics_port)  # a bare port: loopback

    def http(self, request):
        with socket.create_connection(("127.0.0.1", self.metrics_port), timeout=10) as sock:
            sock.sendall(request)
            answer = b""
            while True:
                try:
                    chunk = sock.recv(65536)
                except ConnectionResetError:
                    chunk = b""
                if not chunk:
                    return answer.decode()
                answer += chunk

    def scrape(self):
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % self.metrics_port,
                                    timeout=10) as answer:
            self.assertIn("version=0.0.4", answer.headers["Content-Type"])
            return answer.read().decode()

    def proxy(self, user=None, password=None):
        return xmlrpc.client.ServerProxy("http://127.0.0.1:%d" % self.port,
                                         transport=FramedTransport(user, password))

    def test_scrape_under_load_passes_promtool_and_counts_the_load(self):
        before = parse_metrics(self.scrape())
        sent, stop = [0], threading.Event()

        def load():
            client = self.connect()
            while not stop.is_set():
                client.send_raw("".join(Client.request_text("closecall", str(n))
                                        for n in range(50)))
                for _ in range(50):
                    client.read()
                sent[0] += 50

        worker = threading.Thread(target=load)
        worker.start()
        try:
            # Three records no one has subscribed to: retained by the spool.
            for n in range(3):
                self.sim.event("CDRArrived", cdrType=1, cdr=dict(CDR, callGuid="m%d" % n))
            wait_until(lambda: sent[0] >= 500, what="the load under way")
            scrapes = [self.scrape() for _ in range(3)]
        finally:
            stop.set()
            worker.join()
        promtool = shutil.which("promtool")
        if promtool is None:
            self.skipTest("promtool not installed (scripts/install-deps.sh installs it)")
        for text in scrapes:
            checked = subprocess.run([promtool, "check", "metrics"], input=text.encode(),
                                     capture_output=True, timeout=30)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

        # A wrong password, and a daemon request the client leaves unanswered.
        refused = self.connect(authenticate=False)
        self.assertEqual(refused.authenticate(USER, "wrong"), (False, "Wrong password."))
        silent = self.connect()
        self.assertEqual(silent.rpc("createcall", "9100", "201", "pbx:301"), ("9100",))
        self.sim.event("CallStateChanged", callId="9100", state=1)
        self.assertEqual(silent.expect_request("callstatechanged"), ("9100", 1))
        wait_until(lambda: parse_metrics(self.scrape())["valtd_client_requests_timed_out_total"]
                   > before["valtd_client_requests_timed_out_total"], timeout=10,
                   what="the request time-out counted")

        after = parse_metrics(self.scrape())
        moved = {key: after[key] - before.get(key, 0) for key in after}
        closecall = METHOD_PREFIX + "closecall"
        self.assertEqual(moved[requests_of(closecall, "fault")], sent[0])
        self.assertEqual(moved[requests_of(METHOD_PREFIX + "createcall", "answered")], 1)
        self.assertEqual(moved['valtd_exchange_commands_total{peer="cm",kind="CreateCall"}'], 1)
        self.assertEqual(moved['valtd_auth_failures_total{reason="wrong_password"}'], 1)
        self.assertEqual(moved["valtd_client_requests_sent_total"], 1)
        self.assertEqual(moved["valtd_client_requests_timed_out_total"], 1)
        self.assertEqual((moved["valtd_cdr_spool_depth"], after["valtd_cdr_spool_failing"]), (3, 0))
        # The load's client and the silent one.
        self.assertEqual(after['valtd_connections{state="authenticated",transport="tcp"}'], 2)
        self.assertGreater(after["valtd_log_lines_total"], before["valtd_log_lines_total"])
        self.assertGreater(after["valtd_process_open_fds"], 0)

        # Nothing but GET /metrics is served; an endless head is cut off.
        self.assertTrue(self.http(b"GET /other HTTP/1.1\r\n\r\n").startswith("HTTP/1.1 404"))
        self.assertTrue(self.http(b"POST /metrics HTTP/1.1\r\n\r\n").startswith("HTTP/1.1 404"))
        self.assertEqual(self.http(b"GET /metrics HTTP/1.1\r\nX: " + b"x" * 10000), "")
        self.check_healthy()

    def test_slow_client_closed_once(self):
        before = parse_metrics(self.scrape())
        stalled = Client(self.port, timeout=10, rcvbuf=4096)
        self.addCleanup(stalled.close)
        self.assertEqual(stalled.authenticate(USER, PASSWORD), (True, "Authenticated."))
        self.assertEqual(stalled.rpc("createcall", "9200", "201", "pbx:301"), ("9200",))
        lines = "".join(json.dumps({"event": "CallStateChanged", "callId": "9200",
                                    "state": 1 + n % 3}) + "\n" for n in range(5000))
        self.sim.proc.stdin.write(lines.encode())
        self.sim.proc.stdin.flush()
        key = 'valtd_slow_clients_closed_total{reason="send_timeout"}'
        wait_until(lambda: parse_metrics(self.scrape())[key] > before[key], timeout=30,
                   what="the stalled client closed")
        after = parse_metrics(self.scrape())
        self.assertEqual(after[key] - before[key], 1)
        self.assertGreater(after["valtd_events_queued_total"], before["valtd_events_queued_total"])
        self.assertEqual(after["valtd_pending_output_bytes"], 0)

    def test_introspection_through_python_xmlrpc_client(self):
        anonymous = self.proxy()
        methods = anonymous.system.listMethods()
        self.assertIn(METHOD_PREFIX + "createcall", methods)
        self.assertIn("system.multicall", methods)
        self.assertNotIn(METHOD_PREFIX + "callstatechanged", methods)  # the daemon sends it
        # Before authentication, with require-auth, nothing else answers.
        with self.assertRaises(xmlrpc.client.Fault) as refused:
            anonymous.system.methodHelp("system.listMethods")
        self.assertEqual(refused.exception.faultString, "Not authorised")

        user = self.proxy(USER, PASSWORD)
        self.assertEqual(user.system.methodSignature(METHOD_PREFIX + "closecall"),
                         [["string", "string"]])
        calls = xmlrpc.client.MultiCall(user)
        calls.system.methodHelp("system.multicall")
        calls.Services.CallProcessingService.closecall("77")
        getattr(calls, SVC + "getstatus")("1")
        calls.system.listMethods()
        results = calls()
        self.assertIn("several calls", results[0])
        with self.assertRaises(xmlrpc.client.Fault) as no_call:
            results[1]
        self.assertEqual(no_call.exception.faultString, "No such call")
        # Each inner call under the rights of the account, the others unaffected.
        with self.assertRaises(xmlrpc.client.Fault) as not_admin:
            results[2]
        self.assertEqual(not_admin.exception.faultCode, 3)
        self.assertEqual(results[3], methods)

        admin = xmlrpc.client.MultiCall(self.proxy("admin", "adminpw"))
        getattr(admin, SVC + "getstatus")("1")
        admin.system.multicall([])
        results = admin()
        self.assertEqual(results[0], "1")  # the ID; the status struct follows it
        with self.assertRaises(xmlrpc.client.Fault) as too_many:
            user.system.multicall([{"methodName": "system.listMethods", "params": []}] * 257)
        self.assertEqual(too_many.exception.faultCode, 5)
        with self.assertRaises(xmlrpc.client.Fault) as nested:
            results[1]
        self.assertEqual(nested.exception.faultString, "Not allowed in system.multicall")

    def test_status_through_valtctl(self):
        user = self.connect()
        self.assertEqual(user.rpc("createcall", "9300", "201", "pbx:301"), ("9300",))
        code, out, err = self.valtctl("status", options=("--json",))
        self.assertEqual(code, 1, out + err)  # 201 is no administrator
        code, out, err = self.valtctl("status", options=("--user", "admin", "--password",
                                                         "adminpw"))
        self.assertEqual(code, 0, err)
        self.assertTrue(out.startswith("SERIAL  PEER"), out)
        self.assertIn("policy requests pending: 0", out)
        code, out, err = self.valtctl("status", options=("--json", "--user", "admin",
                                                         "--password", "adminpw"))
        self.assertEqual(code, 0, err)
        status = json.loads(out)["status"]
        mine = [c for c in status["connections"] if c["account"] == USER]
        self.assertEqual(len(mine), 1)
        self.assertEqual((mine[0]["calls"], mine[0]["authenticated"], mine[0]["tls"]),
                         (1, True, False))
        admins = [c for c in status["connections"] if c["account"] == "admin"]
        self.assertEqual(len(admins), 1)
        self.assertGreater(status["counters"]["valtd_uptime_seconds"], 0)

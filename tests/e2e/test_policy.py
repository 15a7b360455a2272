"""Unclaimed incoming calls decided by a policy server over HTTP and HTTPS: its
answers carried out, and every way it can fail ending in the fall-back (the
call accepted without caller ID or display name)."""

import base64
import ctypes
import json
import os
import re
import socket
import ssl
import struct
import threading
import time
import types
from errno import ECONNREFUSED
import unittest
import xmlrpc.client
from http.client import parse_headers

from harness import SLOW, ServerTest, free_port, make_certificate, wait_until


def http(status, body):
    return b"HTTP/1.0 %d X\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n%s" % (
        status, len(body), body)


class PolicyServer:
    """A call-policy server over HTTP/1.0 (HTTPS with a certificate): records each request
    with the check of its Basic credentials (401 when wrong) and answers decisions[call_id]
    (default accept; a tuple: the parameters; a text: the whole body) with `status`, in the
    way `mode` says, once `gate` is set."""

    def __init__(self, certificate=None, user="pbx", password="secret", host="127.0.0.1"):
        self.auth = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        self.context = None
        if certificate:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(*certificate)
        self.gate = threading.Event()
        self.closing = threading.Event()
        self._cond = threading.Condition()
        self.conns = []
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.listener = socket.create_server((host, 0), family=family, backlog=128)
        self.port = self.listener.getsockname()[1]
        self.reset()
        threading.Thread(target=self._accept, daemon=True).start()

    def reset(self):
        """Back to answering every request at once with the default decision."""
        self.decisions, self.requests = {}, []
        self.status, self.mode = 200, "answer"
        self.gate.set()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.conns.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            conn.settimeout(10)
            if self.context:  # the handshake runs on the request's own thread
                conn = self.context.wrap_socket(conn, server_side=True)
            elif conn.recv(4, socket.MSG_PEEK | socket.MSG_WAITALL) != b"POST":
                conn.sendall(http(400, b""))  # no HTTP: a TLS handshake, say
                return
            stream = conn.makefile("rb")
            if not stream.readline():
                return
            headers = parse_headers(stream)
            body = stream.read(int(headers.get("Content-Length", "0")))
            stream.close()  # the answer is written to conn
            try:
                params, method = xmlrpc.client.loads(body.decode())
            except Exception:
                params, method = (), None
            request = types.SimpleNamespace(method=method, params=params,
                                            auth_ok=headers.get("Authorization") == self.auth)
            with self._cond:
                self.requests.append(request)
                self._cond.notify_all()
            self._answer(conn, request, self.mode if request.auth_ok else "refuse")
        except OSError:
            pass  # the daemon gave up on the request
        finally:
            conn.close()

    def _answer(self, conn, request, mode):
        call_id = request.params[1] if len(request.params) > 1 else None
        decision = self.decisions.get(call_id, {"action": "accept"})
        # Two parameters (the decision, then the call ID): built around the
        # parameter list, as the library writes one-parameter answers only.
        answer = (decision if isinstance(decision, str) else
                  "<?xml version='1.0'?>\n<methodResponse>\n%s</methodResponse>\n" %
                  xmlrpc.client.dumps(decision if isinstance(decision, tuple)
                                      else (decision, call_id))).encode()
        if mode in ("silent", "stall"):
            if mode == "stall":
                conn.sendall(http(200, answer)[:-len(answer)])
            self.closing.wait()
            return
        if mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        self.gate.wait()
        text = {"answer": http(self.status, answer), "pieces": http(self.status, answer),
                "close": b"", "refuse": http(401, b""), "error": http(503, b""),
                "midbody": http(200, answer)[:-len(answer) // 2],
                "garbage": http(200, b"this is not an answer\r\n"),
                "huge": bytes(range(256)) * 4096 * 10}[mode]
        step = 40 if mode == "pieces" else len(text) or 1
        for i in range(0, len(text), step):
            conn.sendall(text[i:i + step])
            if mode == "pieces":
                time.sleep(0.05)

    def wait_requests(self, count, timeout=10.0):
        """Waits until `count` requests have arrived; returns them."""
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.requests) >= count, timeout):
                raise AssertionError("policy server got %d of %d requests"
                                     % (len(self.requests), count))
            return list(self.requests)

    def stop(self):
        self.closing.set()
        self.gate.set()
        self.listener.close()
        for conn in self.conns:
            conn.close()


DUAL_NAME = "valtd-dual.test"


def hosts_with_dual_name(hosts, marker):
    """A preexec function: the process gets a mount namespace of its own in which
    /etc/hosts is `hosts`, and writes `marker` once it holds (root only; nothing otherwise)."""
    def enter():
        libc = ctypes.CDLL(None, use_errno=True)
        ms_bind, ms_rec, ms_private = 4096, 16384, 1 << 18
        if (libc.unshare(0x20000) == 0 and  # CLONE_NEWNS
                libc.mount(b"none", b"/", None, ms_rec | ms_private, None) == 0 and
                libc.mount(hosts.encode(), b"/etc/hosts", None, ms_bind, None) == 0):
            with open(marker, "w"):
                pass
    return enter


DECIDING = ("AcceptCall", "RejectCall", "ForwardCall")
FALLBACK = {"cmd": "AcceptCall", "callerId": "", "displayName": "", "virtualAccept": 0}
SCHEMES = (("http", False), ("https", True))


class Policy(ServerTest):
    settings = {"mask-logged-secrets": "true", "admin-user": "admin", "admin-password": "adminpw"}

    @classmethod
    def configure(cls, sandbox):
        # A name with an IPv6 and an IPv4 address, in that order, for the daemon alone.
        with open("/etc/hosts") as system, open(sandbox.path("/hosts"), "w") as hosts:
            hosts.write(system.read() + "\n::1 %s\n127.0.0.1 %s\n" % (DUAL_NAME, DUAL_NAME))
        cls.preexec_fn = staticmethod(hosts_with_dual_name(sandbox.path("/hosts"),
                                                           sandbox.path("/hosts.in-use")))
        cert = make_certificate(sandbox.path("/policy.crt"), sandbox.path("/policy.key"),
                                "127.0.0.1", "IP:127.0.0.1")
        cls.servers = {False: PolicyServer(), True: PolicyServer(certificate=cert)}

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.stop()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        for server in self.servers.values():
            server.reset()
        self.use(False)

    def use(self, secure, port=None, host="127.0.0.1", timeout=2, password="secret",
            announce=True):
        """Points the daemon at a policy server; announced, the settings are
        read again at the pass that the next call starts."""
        for name, value in (("policy-server", host), ("policy-user", "pbx"),
                            ("policy-port", port or self.servers[secure].port),
                            ("policy-password", password), ("request-timeout", timeout),
                            ("policy-secure", "true" if secure else "false")):
            self.sandbox.valtconf("set", name, value)
        if announce:
            self.sim.event("UpdateConfig", updateType=4192)
        return self.servers[secure]

    def decided(self, call_id, timeout=10):
        return self.sim.expect(lambda m: m.get("cmd") in DECIDING and m.get("callId") == call_id,
                               timeout, what="the command deciding call %s" % call_id)

    def assertDecision(self, line, expected):
        got = {k: line.get(k) for k in expected}
        if "targets" in expected:
            got["targets"] = [(t["user"], t["msgTaker"]) for t in line["targets"]]
        self.assertEqual(got, expected)

    def test_answers_are_carried_out_once(self):
        cases = [  # decision, HTTP status, mode, the command expected
            ({"action": "accept", "callerid": "300", "displayname": "Front Desk",
              "remotecontrol": True}, 200, "answer",
             {"cmd": "AcceptCall", "callerId": "300", "displayName": "Front Desk",
              "virtualAccept": 1}),
            ({"action": "redirect", "callerid": "9",
              "target": ["pbx:300", 'pbx:301;actor="msg-taker"']}, 200, "answer",
             {"cmd": "ForwardCall", "callerId": "9", "targets": [("300", False), ("301", True)]}),
            # An answer in pieces, with an error status.
            ({"action": "decline"}, 403, "pieces", {"cmd": "RejectCall"}),
        ]
        for scheme, secure in SCHEMES:
            server = self.use(secure)
            for n, (decision, status, mode, expected) in enumerate(cases):
                with self.subTest(scheme, case=n):
                    call_id = "%d%02d" % (1 + secure, n)
                    server.decisions[call_id] = decision
                    server.status, server.mode = status, mode
                    self.sim.call_arrived(call_id)
                    self.assertDecision(self.decided(call_id), expected)
                    self.assertEqual([l for l in self.sim.sync() if l.get("callId") == call_id],
                                     [])
            request = server.requests[0]
            self.assertTrue(all(r.auth_ok for r in server.requests))
            self.assertEqual((request.method, request.params[0]["From"], request.params[0]["Ext"]),
                             ("Services.CallProcessingService.process", "tel:5551234", "201"))
        # The service and its call are gone once decided.
        wait_until(lambda: re.search(r"Call: Delete\. \(C:\d+\) 100\n", self.new_log()))
        self.assertIn("ssl_connect succeeded, sending request... 200\n", self.new_log())
        self.assertIn("Authorization: Basic ********\r\nHost: ", self.new_log())
        self.assertNotIn(server.auth.split()[1], self.new_log())

    def commands_deciding(self, call_id):
        """The deciding commands, up to the one for call_id and then queued, as (cmd, call)
        with "me" for call_id."""
        seen = []
        self.sim.expect(lambda m: seen.append(m) or (m.get("cmd") in DECIDING and
                                                     m.get("callId") == call_id))
        return [(m["cmd"], "me" if m["callId"] == call_id else m["callId"])
                for m in seen + self.sim.sync() if m.get("cmd") in DECIDING]

    def test_an_answer_decides_the_offered_call_exactly_once(self):
        decline, fell = {"action": "decline"}, ("AcceptCall", "me")
        cases = [  # answer, HTTP status, commands without and with strict-decisions
            ((decline,), 200, [("RejectCall", "0"), fell], [("RejectCall", "me")]),
            ((decline, "4242"), 200, [("RejectCall", "4242"), fell], [fell]),
            (xmlrpc.client.dumps(xmlrpc.client.Fault(4, "no"), methodresponse=True), 200,
             [fell], [fell]),
            (decline, 503, [("RejectCall", "me")], [fell])]
        self.addCleanup(self.sandbox.valtconf, "set", "strict-decisions", "false")
        for strict in (False, True):
            self.sandbox.valtconf("set", "strict-decisions", str(strict).lower())
            server = self.use(False)
            for n, (answer, status, *expected) in enumerate(cases):
                with self.subTest(strict=strict, case=n):
                    call_id = "7%d%d" % (strict, n)
                    server.decisions[call_id], server.status = answer, status
                    self.sim.call_arrived(call_id)
                    self.assertEqual(self.commands_deciding(call_id), expected[strict])
        self.assertIn("answer for call 4242 refused. Accepting Call. 711\n", self.new_log())

    def test_certificate_check_or_the_fallback(self):
        server, ca = self.servers[True], self.sandbox.path("/policy.crt")
        wrong = make_certificate(*map(self.sandbox.path, ("/wrong.crt", "/wrong.key")))[0]
        refused = "policy server certificate not accepted: "
        cases = [(ca, "127.0.0.1", None), (wrong, "127.0.0.1", refused + "self-signed"),
                 ("system", "127.0.0.1", refused + "self-signed"),
                 (ca, "localhost", refused + "hostname mismatch"),
                 (self.sandbox.path("/none.pem"), "127.0.0.1", "ssl initialization failed")]
        self.addCleanup(self.sandbox.valtconf, "set", "policy-ca-file", "")
        for n, (ca_file, host, text) in enumerate(cases):
            with self.subTest(ca_file=ca_file, host=host):
                self.sandbox.valtconf("set", "policy-ca-file", ca_file)
                self.use(True, host=host)
                server.decisions[str(800 + n)] = {"action": "decline"}
                self.sim.call_arrived(800 + n)
                self.assertEqual(self.commands_deciding(str(800 + n)),
                                 [("AcceptCall" if text else "RejectCall", "me")])
                if text:
                    self.assertRegex(self.new_log(), "%s.* Accepting Call. %d\n" % (text, 800 + n))

    def test_failures_end_in_the_fallback_by_the_deadline(self):
        client = self.connect()
        cases = [(secure, mode, {"password": "wrong"} if mode == "refuse" else {},
                  "Request timedout." if mode == "silent" else None)
                 for secure in (False, True)
                 for mode in ("close", "garbage", "silent", "stall", "midbody", "error", "huge",
                              "reset", "refuse")]
        cases += [  # secure, mode, settings, what the log says
            (False, "answer", {"port": free_port()}, "connect failed. 111."),
            # No server configured at all: no address, the connect fails at once.
            (False, "answer", {"host": ""}, "connect failed. 89."),
            # A server without TLS: the handshake fails.
            (True, "answer", {"port": self.servers[False].port},
             "serv state=connecting, connecting failed.")]
        for n, (secure, mode, settings, text) in enumerate(cases):
            with self.subTest(secure=secure, mode=mode, settings=settings):
                server = self.use(secure, **settings)
                server.mode = mode
                call_id = str(300 + n)
                started = time.monotonic()
                self.sim.call_arrived(call_id)
                # Meanwhile control clients are answered at once.
                client.call("closecall", "1")
                self.assertEqual(client.read(timeout=SLOW)[0]["faultString"], "No such call")
                self.assertDecision(self.decided(call_id, timeout=2 + 4 * SLOW), FALLBACK)
                if text:
                    self.assertIn("%s Accepting Call. %s\n" % (text, call_id), self.new_log())
                if mode == "silent":
                    # Whole seconds: the start second is counted, so at least one has passed.
                    self.assertGreaterEqual(time.monotonic() - started, 1.0)
                if mode == "refuse":  # wrong credentials
                    self.assertFalse(server.wait_requests(1)[-1].auth_ok)
        self.check_healthy()

    def test_call_ended_while_pending_is_withdrawn(self):
        for scheme, secure in SCHEMES:
            with self.subTest(scheme):
                server = self.use(secure)
                server.gate.clear()
                ended, other = "5%d1" % secure, "5%d2" % secure
                self.sim.call_arrived(ended)
                server.wait_requests(1)
                # The administrator's status shows the call waiting for its answer.
                code, out, err = self.valtctl("status", options=(
                    "--json", "--user", "admin", "--password", "adminpw"))
                self.assertEqual(code, 0, err)
                self.assertEqual([(r["call"], r["state"]) for r in
                                  json.loads(out)["status"]["policy_requests"]],
                                 [(ended, "receiving")])
                self.sim.event("CallStateChanged", callId=ended, state=3)
                self.sandbox.wait_log("CallPolicyService: Stopping Service. %s\n" % ended)
                server.gate.set()
                # The worker goes on serving other calls; nothing is done for the ended one.
                self.sim.call_arrived(other)
                self.decided(other)
                server.wait_requests(2)
                time.sleep(0.3)
                self.assertEqual([l for l in self.sim.sync() if l.get("callId") == ended], [])
                wait_until(lambda: re.search(r"Call: Delete\. \(C:\d+\) %s\n" % ended,
                                             self.new_log()))

    def test_fifty_pending_calls_each_decided_by_its_own_answer(self):
        server = self.use(False, timeout=10)
        server.gate.clear()
        for call_id in range(2000, 2050):
            server.decisions[str(call_id)] = {"action": ("accept", "decline")[call_id % 2],
                                              "callerid": "c%d" % call_id}
            self.sim.call_arrived(call_id)
        server.wait_requests(50)  # every request is in flight before the first answer
        server.gate.set()
        seen = [self.sim.expect(lambda m: m.get("cmd") in DECIDING) for _ in range(50)]
        self.assertEqual(sorted((l["callId"], l["cmd"], l["callerId"] if l["cmd"] == "AcceptCall"
                                 else None) for l in seen),
                         [(str(i), "RejectCall", None) if i % 2 else
                          (str(i), "AcceptCall", "c%d" % i) for i in range(2000, 2050)])

    def test_ipv6_literals_and_every_address_of_a_name(self):
        """An IPv6 literal is reached whatever policy-ipv6 says; a name gives its first IPv4
        address, or with policy-ipv6 every address in the resolver's order until one
        connects."""
        six = PolicyServer(host="::1")
        self.addCleanup(six.stop)
        self.addCleanup(self.sandbox.valtconf, "set", "policy-ipv6", "false")
        for n, host in enumerate(("[::1]", "::1")):
            self.use(False, port=six.port, host=host)
            six.decisions["81%d" % n] = {"action": "accept", "callerid": "six"}
            self.sim.call_arrived("81%d" % n)
            self.assertEqual(self.decided("81%d" % n)["callerId"], "six", host)
        # The IPv4 server behind a name whose first address is ::1: the same port there
        # refuses, and with policy-ipv6 the next address decides.
        if not os.path.exists(self.sandbox.path("/hosts.in-use")):
            self.skipTest("no mount namespace for a name with two addresses (needs root)")
        four = self.servers[False]
        for every in (False, True):
            self.sandbox.valtconf("set", "policy-ipv6", str(every).lower())
            self.use(False, host=DUAL_NAME)
            call_id = "82%d" % every
            four.decisions[call_id] = {"action": "accept", "callerid": "four"}
            self.sim.call_arrived(call_id)
            self.assertEqual(self.decided(call_id)["callerId"], "four")
            self.assertEqual("%d. Trying the next address. %s\n" % (ECONNREFUSED, call_id) in
                             self.new_log(), every)
        self.assertIn("Every address: true.\n", self.new_log())

    def test_settings_change_takes_effect_at_the_next_pass(self):
        first = self.use(False)
        first.decisions["601"] = {"action": "accept", "callerid": "first"}
        self.sim.call_arrived(601)
        self.assertEqual(self.decided("601")["callerId"], "first")
        # Written but not announced: the worker keeps its settings.
        other = self.use(True, announce=False)
        first.decisions["602"] = {"action": "accept", "callerid": "first"}
        self.sim.call_arrived(602)
        self.assertEqual(self.decided("602")["callerId"], "first")
        self.sim.event("UpdateConfig", updateType=4192)
        other.decisions["603"] = {"action": "accept", "callerid": "second"}
        self.sim.call_arrived(603)
        self.assertEqual(self.decided("603")["callerId"], "second")
        self.assertEqual(self.new_log().count("Thread: updatting server params.\n"), 2)


if __name__ == "__main__":
    unittest.main()

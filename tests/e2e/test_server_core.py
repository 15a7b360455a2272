"""The control server end to end: authentication, framing, call commands,
faults, request time-outs, and settings changed while it runs."""

import hashlib
import unittest

from harness import Client, ServerTest, free_port, wait_until

OK = (True, "Authenticated.")


class ControlServer(ServerTest):
    settings = {"request-timeout": 2, "mask-logged-secrets": "true"}

    @classmethod
    def configure(cls, sandbox):
        sandbox.valtconf("set", "admin-user", "admin")
        sandbox.valtconf("set", "admin-password", "adminpw")
        sandbox.valtconf("add-gateway", 7, "--type", 3)
        sandbox.valtconf("add-fxs-line", 7, 2, "--user", "ipuser", "--password", "ippw")
        sandbox.valtconf("add-cm-line", 7, 2, "--extension", "305")

    def update(self, **values):
        """Changes settings and announces them (type 4192); the class's own
        come back at the test's end."""
        self.update_settings(**values)
        self.addCleanup(self.update_settings, request_timeout=2, auth_timeout=0,
                        max_unauth_connections=0)

    def test_accepted_authentications_keep_the_connection(self):
        client = self.connect(authenticate=False)
        # A silent client stays connected (no limit is set).
        self.assertFalse(client.closed_by_peer(timeout=0.5))
        self.assertEqual(client.authenticate(self.USER, self.PASSWORD), OK)
        self.assertEqual(client.rpc("getextension", "ipuser"), (True, "305"))
        self.assertEqual(client.rpc("getextension", "nobody"), (False, "extension not founded"))
        self.assertEqual(self.valtctl("getext", "ipuser"), (0, "305\n", ""))
        self.assertEqual(self.valtctl("getext", "nobody"),
                         (1, "", "valtctl: getext: extension not founded\n"))
        self.assertEqual(client.authenticate("admin", "adminpw"), OK)
        # Digests of an extension and of an IP-line user; the same triple twice.
        secrets = [self.PASSWORD, "adminpw"]
        for user, secret, stamp in ((self.USER, self.PASSWORD, "1700000000"),
                                    ("ipuser", "ippw", "stamp-2"), ("ipuser", "ippw", "stamp-2")):
            secrets.append(hashlib.md5((user + secret + stamp).encode()).hexdigest())
            self.assertEqual(client.rpc("sauthenticate", user, stamp, secrets[-1]), OK)
        # Masked in the log: the messages, the digest logged and the one expected.
        log = self.sandbox.log(rotated=True)
        self.assertEqual([s for s in secrets if s in log], [])
        self.assertIn("authstring[********]", log)
        # A failed authentication ends even an authorised connection.
        self.assertEqual(client.authenticate("admin", "adminpwX"), (False, "Wrong username."))
        self.assertTrue(client.closed_by_peer())

    def test_refused_authentications_are_answered_then_closed(self):
        upper = hashlib.md5(b"201secret20142").hexdigest().upper()
        for method, params, text in (("authenticate", ("201", "bad"), "Wrong password."),
                                     ("authenticate", ("999", "x"), "Wrong username."),
                                     ("sauthenticate", ("201", "42", upper),
                                      "Wrong username or password.")):
            with self.subTest(text):
                client = self.connect(authenticate=False)
                self.assertEqual(client.rpc(method, *params), (False, text))
                self.assertTrue(client.closed_by_peer())
        self.sandbox.wait_log("CCS: Thread. Connection is not authorised, closing...\n")

    def test_requests_before_failed_authentication_run_first(self):
        client = self.connect(authenticate=False)
        client.send_raw(Client.request_text("createcall", "77", "201", "pbx:301") +
                        Client.request_text("authenticate", "201", "bad"))
        self.assertEqual(client.read()[0], ("77",))
        self.assertEqual(client.read()[0], (False, "Wrong password."))
        self.assertTrue(client.closed_by_peer())
        self.sim.expect_cmd("CreateCall", callId="77")
        # The connection's end closes its calls at the call manager.
        self.sim.expect_cmd("CloseCall", callId="77")

    def test_oversized_message_closes_the_connection(self):
        client = self.connect()
        try:
            client.send_raw(b"<" * (1024 * 1024 + 4096))
        except OSError:
            pass
        self.assertTrue(client.closed_by_peer())
        self.sandbox.wait_log("without a complete message, closing...\n")

    def test_unanswered_state_change_ends_control(self):
        client = self.connect()
        self.assertEqual(client.rpc("createcall", "900", "201", "pbx:301"), ("900",))
        self.sim.event("CallStateChanged", callId="900", state=1)
        self.sim.event("CallStateChanged", callId="900", state=2)
        self.assertEqual(client.expect_request("callstatechanged"), ("900", 1))
        self.assertEqual(client.expect_request("callstatechanged"), ("900", 2))
        # Neither is answered: both fail, one pass after the other.
        wait_until(lambda: self.new_log().count("CCS: Request failed... 900\n") == 2,
                   timeout=8, what="both requests to fail")
        self.sim.event("CallStateChanged", callId="900", state=4)
        self.sandbox.wait_log("ERROR. ExtCallControl. CallStateChanged. No such call...900\n")
        with self.assertRaises(AssertionError):
            client.read(timeout=0.5)
        # Nothing was sent to the call manager for the failed requests.
        self.sync_sim()
        self.assertNotIn("CloseCall", self.new_log())

    def test_silent_connection_is_closed_after_the_auth_timeout(self):
        self.update(auth_timeout=1)
        silent, authorised = self.connect(authenticate=False), self.connect()
        self.assertTrue(silent.closed_by_peer(timeout=5))
        self.sandbox.wait_log("CCS: Thread. Not authorised within 1 seconds, closing...\n")
        # An authorised connection has no such limit.
        self.assertEqual(authorised.rpc("closecall", "1")["faultString"], "No such call")

    def test_cap_on_connections_not_yet_authorised(self):
        self.update(max_unauth_connections=3)
        # No connection of an earlier test (nor a probe of the port) is left.
        wait_until(lambda: self.probe.fds() <= self.base_fds, what="connections gone")
        waiting = [Client(self.port) for _ in range(3)]
        self.addCleanup(lambda: [c.close() for c in waiting])  # no probe: it would count
        for client in waiting:
            self.assertFalse(client.closed_by_peer(timeout=0.2))
        # A newcomer past the cap closes the oldest of them, never itself.
        waiting.append(Client(self.port))
        self.assertTrue(waiting[0].closed_by_peer())
        self.sandbox.wait_log("CCS: Thread. Closed 1 connection(s) not yet authorised to make "
                              "room (too many not yet authorised).\n")
        self.assertEqual(waiting[3].authenticate(self.USER, self.PASSWORD), OK)
        # Authorised connections do not count.
        waiting.append(Client(self.port))
        self.assertFalse(waiting[1].closed_by_peer(timeout=0.2))
        self.assertEqual(waiting[-1].authenticate(self.USER, self.PASSWORD), OK)

    def test_timeout_change_keeps_connections_port_change_closes_them(self):
        client = self.connect()
        self.assertEqual(client.rpc("createcall", "61", "201", "pbx:301"), ("61",))
        self.sim.expect_cmd("CreateCall", callId="61")
        take = self.valtctl("take", "201", wait=False)
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=1)
        self.update(request_timeout=4)
        self.sandbox.wait_log("CCS: UpdateConfigs: Request Timeout: 4\n")
        self.assertFalse(client.closed_by_peer(timeout=0.3))
        self.assertEqual(client.rpc("injectdtmf", "61", "12"), ("61",))
        # Another update type changes nothing.
        new_port = free_port()
        self.sandbox.valtconf("set", "listen-port", new_port)
        self.sim.event("UpdateConfig", updateType=1)
        self.update()
        self.sandbox.wait_log("CCS: UpdateConfigs: ListenPort: %d\n" % new_port)
        type(self).port = new_port
        self.assertTrue(client.closed_by_peer())
        # The connection's calls are closed at the call manager.
        self.sim.expect_cmd("CloseCall", callId="61")
        self.assertEqual(self.connect().rpc("closecall", "61")["faultString"], "No such call")
        self.assertEqual(self.new_log().count("CCS: UpdateConfigs:\n"), 2)
        # valtctl tells of a connection the daemon closed.
        out, err = take.communicate(timeout=15)
        self.assertEqual(take.returncode, 4)
        self.assertIn("valtctl: take: the daemon closed the connection", err)


if __name__ == "__main__":
    unittest.main()

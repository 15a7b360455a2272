"""The control server end to end: authentication, framing, call commands,
faults, request time-outs and default settings."""

import hashlib
import socket
import time
import unittest

from harness import Client, ServerTest, wait_until


class Authentication(ServerTest):
    def configure(self):
        super().configure()
        self.sandbox.valtconf("set", "admin-user", "admin")
        self.sandbox.valtconf("set", "admin-password", "adminpw")
        self.sandbox.valtconf("add-gateway", 7, "--type", 3)
        self.sandbox.valtconf("add-fxs-line", 7, 2, "--user", "ipuser", "--password", "ippw")
        self.sandbox.valtconf("add-cm-line", 7, 2, "--extension", "305")

    def test_plain_password_keeps_the_connection(self):
        client = self.connect()
        client.call("getextension", "ipuser")
        self.assertEqual(client.read()[0], (True, "305"))
        client.call("getextension", "nobody")
        self.assertEqual(client.read()[0], (False, "extension not founded"))

    def test_wrong_password_and_user_are_answered_then_closed(self):
        for user, password, text in (("201", "bad", "Wrong password."),
                                     ("999", "x", "Wrong username.")):
            client = self.connect(authenticate=False)
            self.assertEqual(client.authenticate(user, password), (False, text))
            self.assertTrue(client.closed_by_peer())
        self.sandbox.wait_log("CCS: Thread. Connection is not authorised, closing...\n")

    def test_administrator_account(self):
        client = self.connect(authenticate=False)
        self.assertEqual(client.authenticate("admin", "adminpw"), (True, "Authenticated."))
        self.assertEqual(client.authenticate("admin", "adminpwX"), (False, "Wrong username."))
        self.assertTrue(client.closed_by_peer())

    def test_digest_for_extension_and_ip_line_user(self):
        client = self.connect(authenticate=False)
        self.assertEqual(client.sauthenticate(self.USER, self.PASSWORD, "1700000000"),
                         (True, "Authenticated."))
        self.assertEqual(client.sauthenticate("ipuser", "ippw", "stamp-2"),
                         (True, "Authenticated."))
        # The same triple authenticates again.
        self.assertEqual(client.sauthenticate("ipuser", "ippw", "stamp-2"),
                         (True, "Authenticated."))

    def test_uppercase_digest_is_refused(self):
        client = self.connect(authenticate=False)
        digest = hashlib.md5(b"201" + b"secret201" + b"42").hexdigest().upper()
        client.call("sauthenticate", self.USER, "42", digest)
        self.assertEqual(client.read()[0], (False, "Wrong username or password."))
        self.assertTrue(client.closed_by_peer())

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

    def test_silent_client_stays_connected(self):
        client = self.connect(authenticate=False)
        self.assertFalse(client.closed_by_peer(timeout=0.5))
        self.assertEqual(client.authenticate(self.USER, self.PASSWORD), (True, "Authenticated."))


class Framing(ServerTest):
    def test_two_requests_in_one_read_and_one_split_over_reads(self):
        client = self.connect()
        client.send_raw(Client.request_text("createcall", "11", "201", "pbx:301") +
                        Client.request_text("createcall", "12", "201", "pbx:302"))
        self.assertEqual(client.read()[0], ("11",))
        self.assertEqual(client.read()[0], ("12",))
        text = Client.request_text("closecall", "11")
        client.send_raw(text[:40])
        time.sleep(0.3)
        client.send_raw(text[40:-2])
        time.sleep(0.3)
        client.send_raw(text[-2:])
        self.assertEqual(client.read()[0], ("11",))
        self.sim.expect_cmd("CloseCall", callId="11")

    def test_oversized_message_closes_the_connection(self):
        client = self.connect()
        try:
            client.send_raw(b"<" * (1024 * 1024 + 4096))
        except OSError:
            pass
        self.assertTrue(client.closed_by_peer())
        self.sandbox.wait_log("without a complete message, closing...\n")

    def test_faults_and_ignored_text(self):
        client = self.connect()
        client.call("nosuchmethod", "1")
        self.assertEqual(client.read()[0],
                         {"faultCode": 1, "faultString": "Unknown XML RPC method"})
        # Text that is no method call is dropped without an answer.
        client.send_raw("hello there\r\n\r\n")
        client.call("closecall", "4242")
        self.assertEqual(client.read()[0], {"faultCode": 0, "faultString": "No such call"})


class CallCommands(ServerTest):
    def test_createcall_with_id_zero_gets_a_new_id(self):
        client = self.connect()
        client.call("createcall", "0", "201", "pbx:301", "Desk")
        (new_id,), _ = client.read()
        self.assertNotEqual(new_id, "0")
        command = self.sim.expect_cmd("CreateCall", callId=new_id)
        self.assertEqual(command["to"]["user"], "301")
        self.assertEqual(command["displayName"], "Desk")
        client.call("playmessage", new_id, "hello.wav", 2)
        self.assertEqual(client.read()[0], (new_id,))
        self.sim.expect_cmd("PlayMessage", callId=new_id, file="hello.wav", count=2)

    def test_closecall_of_another_connections_call(self):
        owner = self.connect()
        other = self.connect()
        owner.call("createcall", "555", "201", "pbx:301")
        self.assertEqual(owner.read()[0], ("555",))
        other.call("closecall", "555")
        self.assertEqual(other.read()[0], {"faultCode": 0, "faultString": "No such call"})
        owner.call("closecall", "555")
        self.assertEqual(owner.read()[0], ("555",))
        closes = self.sim.expect_cmd("CloseCall", callId="555")
        self.assertTrue(closes)
        self.assertEqual(self.sandbox.log_count("CCS: ProcessXmlRpcRequest. No such call: 555\n"), 1)


class RequestTimeout(ServerTest):
    settings = {"request-timeout": 2}

    def test_unanswered_state_change_ends_control(self):
        client = self.connect()
        client.call("createcall", "900", "201", "pbx:301")
        self.assertEqual(client.read()[0], ("900",))
        self.sim.event("CallStateChanged", callId="900", state=1)
        self.sim.event("CallStateChanged", callId="900", state=2)
        self.assertEqual(client.expect_request("callstatechanged"), ("900", 1))
        self.assertEqual(client.expect_request("callstatechanged"), ("900", 2))
        # Neither is answered: both fail, one pass after the other.
        wait_until(lambda: self.sandbox.log_count("CCS: Request failed... 900\n") == 2,
                   timeout=8, what="both requests to fail")
        self.sim.event("CallStateChanged", callId="900", state=4)
        self.sandbox.wait_log("ERROR. ExtCallControl. CallStateChanged. No such call...900\n")
        with self.assertRaises(AssertionError):
            client.read(timeout=0.5)
        # Nothing was sent to the call manager for the failed requests.
        self.sync_sim()
        self.assertNotIn("CloseCall", self.sandbox.log())


class Defaults(ServerTest):
    def configure(self):
        # No settings at all: the built-in port 4849, no TLS, 10 s time-out.
        try:
            with socket.socket() as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind(("0.0.0.0", 4849))
        except OSError:
            self.skipTest("port 4849 is in use on this machine")
        self.port = 4849

    def test_listens_on_4849_without_settings(self):
        client = self.connect(authenticate=False)
        log = self.sandbox.log()
        self.assertIn("CCS: ReadConfig:\n", log)
        self.assertNotIn("ListenPort:", log)
        # Nobody to authenticate as: the first read closes the connection.
        self.assertEqual(client.authenticate("201", "x"), (False, "Wrong username."))
        self.assertTrue(client.closed_by_peer())


if __name__ == "__main__":
    unittest.main()

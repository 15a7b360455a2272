"""Unclaimed incoming calls decided by a policy server over HTTPS."""

import tempfile
import unittest

from policy_server import PolicyServer, make_certificate
from test_policy import PolicyTest


class SecurePolicy(PolicyTest):
    secure = True

    @classmethod
    def setUpClass(cls):
        cls.certdir = tempfile.TemporaryDirectory(prefix="vtcert")
        cls.certificate = make_certificate(cls.certdir.name)

    @classmethod
    def tearDownClass(cls):
        cls.certdir.cleanup()

    def make_server(self):
        return PolicyServer(certificate=self.certificate)

    def test_decisions_over_tls_with_credentials_checked(self):
        self.server.decisions["3001"] = {"action": "accept", "callerid": "300",
                                         "displayname": "Front Desk", "remotecontrol": True}
        self.server.decisions["3002"] = {"action": "redirect", "target": ["pbx:400"]}
        self.arrive(3001)
        line = self.decided(3001)
        self.assertEqual((line["cmd"], line["callerId"], line["displayName"],
                          line["virtualAccept"]), ("AcceptCall", "300", "Front Desk", 1))
        self.arrive(3002)
        forward = self.decided(3002)
        self.assertEqual([t["user"] for t in forward["targets"]], ["400"])
        requests = self.server.wait_requests(2)
        self.assertTrue(all(r.auth_ok for r in requests))
        self.assertIn("ssl_connect succeeded, sending request... 3001\n", self.sandbox.log())

    def test_answer_in_pieces_with_error_status(self):
        self.server.mode = "pieces"
        self.server.status = 403
        self.server.decisions["3003"] = {"action": "decline"}
        self.arrive(3003)
        self.assertEqual(self.decided(3003)["cmd"], "RejectCall")

    def test_server_without_tls_fails_the_handshake_and_the_call_is_accepted(self):
        plain = PolicyServer()
        self.addCleanup(plain.stop)
        self.configure_policy(plain.port)
        self.arrive(3004)
        self.assertFallbackAccept(self.decided(3004))
        self.assertIn("CallPolicyService: Thread: serv state=connecting, connecting failed. "
                      "Accepting Call. 3004\n", self.sandbox.log())

    def test_call_ended_during_a_tls_request(self):
        self.server.gate.clear()
        self.arrive(3005)
        self.server.wait_requests(1)
        self.sim.event("CallStateChanged", callId="3005", state=3)
        self.sandbox.wait_log("CallPolicyService: Stopping Service. 3005\n")
        self.server.gate.set()
        self.arrive(3006)
        self.decided(3006)
        self.assertEqual([l for l in self.sim.lines_until_sync() if l.get("callId") == "3005"],
                         [])


if __name__ == "__main__":
    unittest.main()

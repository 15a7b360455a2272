"""The control server over TLS: a certificate made by the test, and a server
without a usable key."""

import socket
import ssl
import unittest
import warnings

from harness import Client, ServerTest


class TlsWithCertificate(ServerTest):
    settings = {"secure-listen": "true"}

    def configure(self):
        super().configure()
        self.sandbox.make_certificate()

    def test_requests_over_tls(self):
        client = self.connect(tls=True)
        client.send_raw(Client.request_text("createcall", "31", "201", "pbx:301") +
                        Client.request_text("nosuchmethod"))
        self.assertEqual(client.read()[0], ("31",))
        self.assertEqual(client.read()[0]["faultCode"], 1)
        self.sim.expect_cmd("CreateCall", callId="31")
        self.sim.event("CallStateChanged", callId="31", state=3)
        self.assertEqual(client.expect_request("callstatechanged"), ("31", 3))
        client.answer("31")
        log = self.sandbox.wait_log("CCS: SSL. Client does not have certificate.\n")
        self.assertIn("CCS: SSL. SSL connection using ", self.sandbox.log())
        self.assertTrue(log)

    def test_protocols_below_tls_1_2_are_refused(self):
        self.wait_listening()
        warnings.simplefilter("ignore", DeprecationWarning)  # the old versions' names
        for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
            with self.subTest(version=version):
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
                context.set_ciphers("ALL:@SECLEVEL=0")
                context.minimum_version = version
                context.maximum_version = version
                raw = socket.create_connection(("127.0.0.1", self.port), timeout=10)
                self.addCleanup(raw.close)
                with self.assertRaises(ssl.SSLError) as refused:
                    context.wrap_socket(raw)
                # Refused by the daemon for its version, not by this client.
                self.assertIn("ALERT_PROTOCOL_VERSION", str(refused.exception))
        self.sandbox.wait_log("CCS: SSL. Accept error: ")
        # TLS 1.2 itself is served.
        client = self.connect(tls=True)
        client.call("closecall", "1")
        self.assertEqual(client.read()[0]["faultString"], "No such call")

    def test_plain_client_on_tls_listener_is_dropped(self):
        self.wait_listening()
        client = Client(self.port)
        self.addCleanup(client.close)
        client.call("authenticate", self.USER, self.PASSWORD)
        self.assertTrue(client.closed_by_peer())
        self.sandbox.wait_log("CCS: SSL. Accept error: ")


class TlsWithoutKey(ServerTest):
    settings = {"secure-listen": "true"}

    def test_every_connection_dropped_after_accept(self):
        self.sandbox.wait_log("CCS: Start. Can't load cerificate file. Path:")
        self.assertIn("/etc/ssl.crt/server.crt", self.sandbox.log())
        for _ in range(2):
            self.wait_listening()
            with self.assertRaises(OSError):
                Client(self.port, tls=True)
        self.sandbox.wait_log("CCS: SSL. Accept error: ")


if __name__ == "__main__":
    unittest.main()

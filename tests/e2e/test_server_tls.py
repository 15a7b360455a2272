"""The control server over TLS with a certificate made by the test: requests,
events and uploads, old protocols and plain clients refused, and valtctl's
certificate check."""

import socket
import ssl
import unittest
import warnings

from harness import ServerTest
from test_services import Prompts


class Tls(Prompts, ServerTest):
    tls = True

    def test_old_protocols_and_plain_clients_are_refused(self):
        warnings.simplefilter("ignore", DeprecationWarning)  # the old versions' names
        for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
            with self.subTest(version=version):
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
                context.set_ciphers("ALL:@SECLEVEL=0")
                context.minimum_version = context.maximum_version = version
                raw = socket.create_connection(("127.0.0.1", self.port), timeout=10)
                self.addCleanup(raw.close)
                with self.assertRaises(ssl.SSLError) as refused:
                    context.wrap_socket(raw)
                # Refused by the daemon for its version, not by this client.
                self.assertIn("ALERT_PROTOCOL_VERSION", str(refused.exception))
        plain = self.connect(authenticate=False, tls=False)
        plain.call("authenticate", self.USER, self.PASSWORD)
        self.assertTrue(plain.closed_by_peer())
        self.sandbox.wait_log("CCS: SSL. Accept error: ")
        self.check_healthy()

    def test_valtctl_over_tls_and_its_certificate_check(self):
        proc = self.valtctl("create", "--id", "5", "--watch", "--count", "1", "pbx:201", "tel:300",
                            options=["--tls", "--insecure"], wait=False)
        self.sim.expect_cmd("CreateCall", callId="5")
        self.sim.event("CallStateChanged", callId="5", state=3)  # a request of the daemon's
        out, err = proc.communicate(timeout=15)
        self.assertEqual(out, "call 5 created\ncallstatechanged call=5 state=3 ended=true\n")
        self.assertIn("valtctl: warning: --insecure: the daemon's certificate is not checked", err)
        self.sandbox.wait_log("CCS: SSL. Client does not have certificate.\n")
        self.assertIn("CCS: SSL. SSL connection using ", self.new_log())
        # Checked by default: the self-signed certificate is not among the
        # system's trusted ones. Checked against itself, the host name it
        # names is not the one connected to. (A certificate that names it is
        # accepted in test_demo.py.)
        cert = self.sandbox.path("/etc/ssl.crt/server.crt")
        for options in (["--tls"], ["--tls", "--ca", cert]):
            with self.subTest(options=options):
                code, out, err = self.valtctl("sysinfo", options=options)
                self.assertEqual((code, out), (4, ""))
                self.assertIn("TLS handshake failed", err)
                self.assertNotIn("warning", err)


if __name__ == "__main__":
    unittest.main()

"""A call-policy server for the end-to-end tests, standard library only.

It answers "Services.CallProcessingService.process" requests (XML-RPC over
HTTP/1.0, or HTTPS with a certificate made by make_certificate) and checks
their Basic credentials. What it answers is set per test:

- decisions[call_id]: the decision struct for that call (default: accept);
- status: the HTTP status sent with a good answer (default 200);
- mode: "answer" (default), "close" (close without a byte), "silent" (keep the
  connection open and never answer), "garbage" (an answer that is no XML-RPC),
  "pieces" (the answer in small pieces with pauses between them);
- gate: answers wait until it is set (set by default).
"""

import base64
import http.server
import os
import socket
import ssl
import subprocess
import threading
import time
import xmlrpc.client

from harness import free_port  # noqa: F401  (re-exported for the tests)


def make_certificate(directory):
    """A self-signed certificate and key for 127.0.0.1; returns (cert, key) paths."""
    cert = os.path.join(directory, "policy.crt")
    key = os.path.join(directory, "policy.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"],
                   check=True, capture_output=True)
    return cert, key


class Request:
    def __init__(self, headers, method, params, auth_ok):
        self.headers = headers
        self.method = method
        self.params = params
        self.auth_ok = auth_ok

    @property
    def call_id(self):
        return self.params[1] if len(self.params) > 1 else None


class _Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        policy = self.server.policy
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        expected = "Basic " + base64.b64encode(
            ("%s:%s" % (policy.user, policy.password)).encode()).decode()
        auth_ok = self.headers.get("Authorization") == expected
        try:
            params, method = xmlrpc.client.loads(body.decode())
        except Exception:
            params, method = (), None
        request = Request(dict(self.headers), method, params, auth_ok)
        policy._record(request)
        if not auth_ok:
            self.send_error(401)
            return
        mode = policy.mode
        if mode == "close":
            return
        if mode == "silent":
            policy.closing.wait()
            return
        policy.gate.wait()
        if mode == "garbage":
            text = b"this is not an answer\r\n"
        else:
            decision = policy.decisions.get(request.call_id, {"action": "accept"})
            # Two parameters (the decision, then the call ID): built around the
            # parameter list, as the library writes one-parameter answers only.
            text = ("<?xml version='1.0'?>\n<methodResponse>\n%s</methodResponse>\n" %
                    xmlrpc.client.dumps((decision, request.call_id))).encode()
        try:
            self.send_response(policy.status)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(text)))
            self.end_headers()
            if mode == "pieces":
                for i in range(0, len(text), 40):
                    self.wfile.write(text[i:i + 40])
                    self.wfile.flush()
                    time.sleep(0.05)
            else:
                self.wfile.write(text)
        except OSError:
            pass  # the daemon gave up on the request


class PolicyServer:
    def __init__(self, user="pbx", password="secret", certificate=None):
        self.user = user
        self.password = password
        self.decisions = {}
        self.status = 200
        self.mode = "answer"
        self.gate = threading.Event()
        self.gate.set()
        self.closing = threading.Event()
        self.requests = []
        self._cond = threading.Condition()
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler,
                                                     bind_and_activate=False)
        self.httpd.request_queue_size = 128
        self.httpd.daemon_threads = True
        self.httpd.server_bind()
        self.httpd.server_activate()
        self.httpd.policy = self
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            # The handshake runs on the request's own thread.
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def _record(self, request):
        with self._cond:
            self.requests.append(request)
            self._cond.notify_all()

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
        self.httpd.shutdown()
        self.httpd.server_close()

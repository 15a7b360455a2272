"""A call-policy server for the end-to-end tests, standard library only.

It reads "Services.CallProcessingService.process" requests (XML-RPC over
HTTP/1.0, or HTTPS with a certificate), records them with the check of their
Basic credentials (refused with 401) and answers as the test sets it:

- decisions[call_id]: the decision struct for that call (default: accept);
- status: the HTTP status sent with a good answer (default 200);
- mode: "answer" (default), "pieces" (the answer in small pieces with pauses),
  "close" (close without a byte), "silent" (never answer), "stall" (the head,
  then nothing), "midbody" (half the body, then close), "garbage" (a body that
  is no XML-RPC), "error" (503 with no body), "huge" (10 MiB that is no HTTP),
  "reset" (a TCP reset);
- gate: answers wait until it is set (set by default).
"""

import base64
import socket
import ssl
import struct
import threading
import time
import xmlrpc.client


class Request:
    def __init__(self, headers, method, params, auth_ok):
        self.headers, self.method, self.params, self.auth_ok = headers, method, params, auth_ok


def http(status, body):
    return b"HTTP/1.0 %d X\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n%s" % (
        status, len(body), body)


class PolicyServer:
    def __init__(self, certificate=None, user="pbx", password="secret"):
        self.auth = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        self.context = None
        if certificate:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(*certificate)
        self.gate = threading.Event()
        self.closing = threading.Event()
        self._cond = threading.Condition()
        self.conns = []
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=128)
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
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                data += chunk
                if not b"POST".startswith(data[:4]):  # no HTTP: a TLS handshake, say
                    conn.sendall(http(400, b""))
                    return
            head, body = data.split(b"\r\n\r\n", 1)
            headers = dict(line.split(": ", 1) for line in head.decode().split("\r\n")[1:])
            while len(body) < int(headers.get("Content-Length", "0")):
                chunk = conn.recv(65536)
                if not chunk:
                    break
                body += chunk
            try:
                params, method = xmlrpc.client.loads(body.decode())
            except Exception:
                params, method = (), None
            request = Request(headers, method, params, headers.get("Authorization") == self.auth)
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
        answer = ("<?xml version='1.0'?>\n<methodResponse>\n%s</methodResponse>\n" %
                  xmlrpc.client.dumps((decision, call_id))).encode()
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

"""Faults around the daemon rather than in its clients: a policy server that
misbehaves, the exchange going away and coming back, a full disk during an
upload, and stop signals while clients are busy. After each case the daemon
must still serve a fresh client at once, with its memory and descriptors back
near where they started."""

import os
import resource
import shutil
import signal
import socket
import threading
import time
import unittest

from harness import (HERE, SLOW, Client, Sandbox, ServerTest, SharedServerTest,
                     accepts_connection, configure_server, reset, wait_until)

SVC = "Services.SystemService."
RECORD_TOOL = """#!/bin/sh
# Records its environment and open descriptors, then prints a result.
{ env; echo FDS; for f in /proc/$$/fd/*; do readlink "$f"; done; } > "$VALTD_ROOT/tmp/tool.env"
printf 'done\\n'
"""


class RawPolicyServer:
    """A policy server that misbehaves in a chosen way: after reading the
    request head it runs `behaviour(connection)`."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.behaviour = None
        self.stopping = threading.Event()
        self.held = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.listener.settimeout(0.2)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.held.append(conn)
            conn.settimeout(5)
            try:
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                if self.behaviour:
                    self.behaviour(conn)
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(timeout=2)
        for conn in self.held:
            conn.close()


def hang(conn):
    pass  # keeps the connection open and says nothing


def headers_then_stall(conn):
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 400\r\n\r\n")


def close_mid_body(conn):
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 400\r\n\r\n"
                 b"<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>")
    conn.close()


def server_error(conn):
    conn.sendall(b"HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")
    conn.close()


def ten_mib_of_garbage(conn):
    chunk = bytes(range(256)) * 4096
    try:
        for _ in range(10):
            conn.sendall(chunk)
    except OSError:
        pass
    conn.close()


def reset_at_once(conn):
    reset(type("C", (), {"sock": conn, "close": conn.close})())


class SystemFaults(SharedServerTest):
    settings = {"request-timeout": 2, "vm-total-space-kb": 10000}

    @classmethod
    def configure(cls, sandbox):
        cls.policy = RawPolicyServer()
        for name, value in (("policy-server", "127.0.0.1"), ("policy-port", cls.policy.port),
                            ("policy-user", "pbx"), ("policy-password", "secret"),
                            ("policy-secure", "false")):
            sandbox.valtconf("set", name, value)
        cls.prompts = sandbox.path("/prompts/301")
        os.makedirs(cls.prompts)
        sandbox.valtconf("add-extension", 301, "--kind", "user", "--prompt-dir", cls.prompts,
                         "--prompt-share", 50)
        tool = sandbox.path("/bin/fcgiclient")
        os.makedirs(os.path.dirname(tool))
        shutil.copy(os.path.join(HERE, "..", "..", "tools", "fcgiclient", "fcgiclient"), tool)

    @classmethod
    def tearDownClass(cls):
        cls.policy.stop()
        super().tearDownClass()

    def test_policy_server_faults_are_decided_by_the_fallback(self):
        client = self.connect()
        cases = [("hangs after accept", hang), ("headers then stall", headers_then_stall),
                 ("closes mid-body", close_mid_body), ("answers 503", server_error),
                 ("10 MiB of garbage", ten_mib_of_garbage), ("resets", reset_at_once)]
        for n, (what, behaviour) in enumerate(cases):
            with self.subTest(what):
                self.policy.behaviour = behaviour
                call_id = str(3000 + n)
                started = time.monotonic()
                self.sim.event("CallArrived", callId=call_id, type=3, ext="201",
                               **{"from": {"user": "5551234"}, "to": {"user": "201"}})
                # While the policy server misbehaves, control clients are
                # answered at once.
                client.call("closecall", "1")
                self.assertEqual(client.read(timeout=SLOW)[0]["faultString"], "No such call")
                line = self.sim.expect(lambda m: m.get("callId") == call_id and m.get("cmd") in (
                    "AcceptCall", "RejectCall", "ForwardCall"), timeout=10)
                # The fall-back: accepted without caller ID, by the deadline.
                self.assertEqual((line["cmd"], line["callerId"], line["virtualAccept"]),
                                 ("AcceptCall", "", 0))
                self.assertLess(time.monotonic() - started, 2 + 2 * SLOW)
        # A refused connection: no server listening on the port any more.
        self.policy.listener.close()
        self.sim.event("CallArrived", callId="3999", type=3, ext="201",
                       **{"from": {"user": "5551234"}, "to": {"user": "201"}})
        self.assertEqual(self.sim.expect_cmd("AcceptCall", callId="3999")["callerId"], "")
        self.check_healthy()

    def test_exchange_gone_and_back(self):
        cls = type(self)
        client = self.connect()
        client.call("createcall", "8001", "201", "pbx:301")
        self.assertEqual(client.read()[0], ("8001",))
        client.call("subscribe", "801", 2)
        self.assertEqual(client.read()[0], ("801", True, 0))
        self.sim.expect_cmd("SubscribeToCDR")

        self.sim.proc.kill()
        self.sim.proc.wait()
        self.sim.proc.stdin.close()
        self.sim.stop()
        # Commands fail cleanly while the exchange is gone: each is answered.
        client.call("createcall", "8002", "201", "pbx:302")
        answer = client.read()[0]
        client.call("injectdtmf", "8001", "1")
        client.read()
        # Waiting for the exchange costs no CPU.
        cpu = self.probe.cpu_seconds()
        time.sleep(1.0)
        self.assertLess(self.probe.cpu_seconds() - cpu, 0.3)

        cls.sim = self.sandbox.start_sim()
        self.sim.event("CallStateChanged", callId="8001", state=2)
        self.assertEqual(client.expect_request("callstatechanged"), ("8001", 2))
        client.answer("8001")
        self.sim.event("CDRArrived", cdrType=1, cdr={"duration": 1, "callingUser": "201",
                                                     "calledUser": "300",
                                                     "startTime": 1700000000,
                                                     "callGuid": "g-9"})
        self.assertEqual(client.expect_request("cdrarrived")[:2], ("801", 1))
        client.answer("801")
        client.call("closecall", "8001")
        self.assertEqual(client.read()[0], ("8001",))
        self.sim.expect_cmd("CloseCall", callId="8001")
        if answer != ("8002",):
            self.assertIn("faultCode", answer)
        self.check_healthy()

    def test_disk_full_during_uploads(self):
        pid = self.daemon.proc.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_FSIZE)
        self.addCleanup(resource.prlimit, pid, resource.RLIMIT_FSIZE, (soft, hard))
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (2048, hard))
        record = self.sandbox.path("/tmp/fcgiclient.record")
        c = self.connect()
        data = bytes(range(256)) * 20  # 5120 bytes: two chunks fit, the third does not
        for method, params, name in (
                ("beginfiletransfer", ("1", 0, "301"), "full.wav"),
                ("configurationupdate", ("4",), "full.cfg")):
            with self.subTest(method):
                c.call(SVC + method, *params, name, len(data), True)
                for start in (0, 1024):
                    c.send_raw(data[start:start + 1024])
                    self.assertEqual(c.read_bytes(2), b"OK")
                c.send_raw(data[2048:3072])
                # No "OK" for the chunk that was not stored: the answer instead.
                answer = list(c.read()[0])
                self.assertEqual(answer[-2:], [False, "Cannot write the file."])
                # The rest of the body is dropped as input that is no request.
                c.send_raw(data[3072:])
                c.send_raw(b"\r\n\r\n")
        self.assertEqual(os.listdir(self.prompts), [])
        self.assertFalse(os.path.exists(self.sandbox.path("/tmp/full.cfg")))
        self.assertFalse(os.path.exists(record))
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (soft, hard))
        c.call("closecall", "1")
        self.assertEqual(c.read()[0]["faultString"], "No such call")
        self.check_healthy()


class ConfigurationTool(ServerTest):
    """The tool runs without a shell, with only its CGI variables, the search
    path and the root prefix, descriptors 0 to 2, and a time limit."""

    def configure(self):
        super().configure()
        tool = self.sandbox.path("/bin/fcgiclient")
        os.makedirs(os.path.dirname(tool))
        with open(tool, "w") as f:
            f.write(RECORD_TOOL)
        os.chmod(tool, 0o755)
        self.sandbox.env.update(LD_PRELOAD="", http_proxy="http://proxy:1",
                                HTTPS_PROXY="http://proxy:2", SECRET_TOKEN="x")

    def upload(self, client, name, data=b"cfg"):
        client.send_raw(client.request_text(SVC + "configurationupdate", "4", name, len(data),
                                            True).encode() + data)
        client.read_bytes(2)
        return list(client.read(timeout=30)[0])

    def test_environment_descriptors_and_no_shell(self):
        c = self.connect()
        # A name that a shell would take for a command.
        name = "a;touch pwned;$(touch pwned2).cfg"
        self.assertEqual(self.upload(c, name)[2], True)
        with open(self.sandbox.path("/tmp/tool.env")) as f:
            env, fds = f.read().split("FDS\n")
        names = sorted(line.split("=", 1)[0] for line in env.splitlines() if "=" in line)
        # sh adds PWD (and perhaps SHLVL, _) itself.
        names = [n for n in names if n not in ("PWD", "SHLVL", "_", "OLDPWD")]
        self.assertEqual(names, ["CONTENT_TYPE", "PATH", "PATH_INFO", "QUERY_STRING",
                                 "REMOTE_ADDR", "REQUEST_METHOD", "VALTD_ROOT"])
        self.assertIn("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n", env)
        # Only what the tool was given (standard input, the output pipe, the
        # daemon's standard error) and what the shell opened itself (its
        # script, the record): none of the daemon's sockets, log or databases.
        for target in fds.split():
            self.assertTrue(target in ("/dev/null", self.sandbox.path("/tmp/tool.env"),
                                       self.sandbox.path("/bin/fcgiclient"),
                                       os.path.join(self.sandbox.root, "valtd.stderr"))
                            or target.startswith("pipe:"), target)
        self.assertFalse(os.path.exists(os.path.join(self.sandbox.root, "pwned")))
        self.assertFalse(os.path.exists(os.path.join(self.sandbox.root, "pwned2")))

    def test_tool_that_hangs_is_killed_at_its_time_limit(self):
        tool = self.sandbox.path("/bin/fcgiclient")
        with open(tool, "w") as f:
            f.write("#!/bin/sh\necho started > \"$VALTD_ROOT/tmp/tool.pid\"\nexec sleep 60\n")
        c = self.connect()
        started = time.monotonic()
        self.assertEqual(self.upload(c, "slow.cfg")[2], True)
        self.assertLess(time.monotonic() - started, 10 + 10 * SLOW)
        self.sandbox.wait_log("the configuration tool did not finish in 10 seconds, killed")
        self.assertFalse(os.path.exists(self.sandbox.path("/tmp/slow.cfg")))
        c.call("closecall", "1")
        self.assertEqual(c.read()[0]["faultString"], "No such call")


class StopSignals(unittest.TestCase):
    def test_sigterm_while_a_hundred_clients_are_busy(self):
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                self.stop_busy_daemon()

    def stop_busy_daemon(self):
        sandbox = Sandbox()
        self.addCleanup(sandbox.close)
        port = configure_server(sandbox)
        sandbox.start_sim()
        daemon = sandbox.start_daemon()
        wait_until(lambda: accepts_connection(port), what="valtd listening")
        clients = []
        for n in range(100):
            c = Client(port)
            clients.append(c)
            c.call("authenticate", ServerTest.USER, ServerTest.PASSWORD)
        burst = Client.request_text("closecall", "1") * 200
        for c in clients:
            c.send_raw(burst)
        daemon.proc.send_signal(signal.SIGTERM)
        daemon.proc.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait_exit(timeout=5), -signal.SIGTERM)
        # The stop report is written once, by the one run of the exit routine.
        # (Lines still queued for the log's writer thread when the process
        # ends, such as "CCS: CleanUp...", may be missing under this load.)
        text = sandbox.log()
        rotated = sandbox.log_path + ".1"
        if os.path.exists(rotated):
            with open(rotated, "rb") as f:
                text += f.read().decode(errors="replace")
        self.assertEqual(text.count("has been stopped by signal SIGTERM(15)"), 1)
        for c in clients:
            c.close()




if __name__ == "__main__":
    unittest.main()

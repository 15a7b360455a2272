"""The daemon's process frame, each case with a daemon of its own: built-in
settings, no exchange, no TLS key, and stop signals. (Its normal stop, the
forced alert, ends every other test's daemon with code 0; the crash report is
tested with the crash guard itself.)"""

import os
import signal
import socket
import subprocess
import unittest

from harness import (BIN_DIR, PASSWORD, USER, Client, Sandbox, accepts_connection, read,
                     wait_until)


class Process(unittest.TestCase):
    def start(self, settings=None, exchange=True, **daemon):
        sandbox = Sandbox()
        self.addCleanup(lambda: self.assertEqual(sandbox.close(), ""))
        port = sandbox.configure_server(settings) if settings is not None else 4849
        if exchange:
            sandbox.start_sim()
        sandbox.start_daemon(**daemon)
        sandbox.wait_log("CCS: ReadConfig:")
        return sandbox, port

    def test_built_in_settings_without_exchange_and_sigint(self):
        # Nothing plays the call manager and nothing is set: the daemon still
        # starts on the built-in port 4849, and stops cleanly on an interrupt,
        # also when started with SIGINT ignored, as a shell starts background jobs.
        try:
            with socket.socket() as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind(("0.0.0.0", 4849))
            port_free = True
        except OSError:
            port_free = False  # someone else's: the port is not checked
        sandbox, port = self.start(exchange=False, preexec_fn=lambda: signal.signal(
            signal.SIGINT, signal.SIG_IGN))
        self.assertNotIn("ListenPort:", sandbox.log())
        if port_free:
            wait_until(lambda: accepts_connection(port))
            client = Client(port)
            self.addCleanup(client.close)
            # Nobody to authenticate as.
            self.assertEqual(client.authenticate("201", "x"), (False, "Wrong username."))
            self.assertTrue(client.closed_by_peer())
        sandbox.daemon.proc.send_signal(signal.SIGINT)
        self.assertEqual(sandbox.daemon.proc.wait(timeout=10), -signal.SIGINT)
        self.assertIn("has been stopped by signal SIGINT(2)", sandbox.log())
        # What it said on start: where it runs, and that nothing is configured.
        said = read(os.path.join(sandbox.root, "valtd.stderr")).decode()
        self.assertIn("valtd: root %s, port 4849, TLS off, log %s" % (
            sandbox.root, sandbox.path("/tmp/logs/valtd.log")), said)
        self.assertIn("valtd: warning: no configuration database", said)

    def test_listen_address(self):
        try:
            with socket.socket(socket.AF_INET6) as probe:
                probe.bind(("::1", 0))
        except OSError:
            self.skipTest("no IPv6 loopback here")

        def served(host, port):
            with socket.create_connection((host, port), timeout=5) as s:
                s.sendall(Client.request_text("authenticate", USER, PASSWORD).encode())
                return b"Authenticated." in s.recv(4096)

        # Empty: every address, IPv4 and IPv6; a literal: that address only.
        for address, ipv6 in (("", True), ("127.0.0.1", False)):
            sandbox, port = self.start({"listen-address": address}, exchange=False)
            wait_until(lambda: accepts_connection(port))
            self.assertTrue(served("127.0.0.1", port))
            if ipv6:
                self.assertTrue(served("::1", port))
                valtctl = subprocess.run(
                    [os.path.join(BIN_DIR, "valtctl"), "--host", "::1", "--port", str(port),
                     "--user", USER, "--password", PASSWORD, "--timeout", "5", "sysinfo"],
                    capture_output=True, text=True, timeout=30)
                self.assertEqual(valtctl.returncode, 0, valtctl.stderr)
            else:
                self.assertRaises(ConnectionRefusedError, served, "::1", port)

    def test_command_line_touches_nothing(self):
        sandbox = Sandbox()
        self.addCleanup(sandbox.close)
        before = sorted(os.listdir(sandbox.root))
        valtd = os.path.join(BIN_DIR, "valtd")
        for args, code, out in ((["--help"], 0, "Usage: valtd"), (["--version"], 0, "valtd "),
                                (["--hepl"], 2, "unknown argument '--hepl'")):
            done = subprocess.run([valtd] + args, env=sandbox.env, capture_output=True,
                                  text=True, timeout=10)
            self.assertEqual(done.returncode, code, args)
            self.assertIn(out, done.stdout + done.stderr)
        self.assertEqual(sorted(os.listdir(sandbox.root)), before)

    def test_sigtstp_ends_the_daemon_whose_log_is_private(self):
        # Stopped after its exit routine, it would serve nobody once continued
        # (the setting a new installation gets).
        sandbox, port = self.start({"tstp-ends-process": "true"})
        self.assertEqual(os.stat(sandbox.log_path).st_mode & 0o777, 0o640)
        sandbox.daemon.proc.send_signal(signal.SIGTSTP)
        self.assertEqual(sandbox.daemon.proc.wait(timeout=10), 128 + signal.SIGTSTP)
        self.assertIn("has been stopped by signal SIGTSTP(20)", sandbox.log())

    def test_tls_without_key_drops_every_connection(self):
        sandbox, port = self.start({"secure-listen": "true"})
        sandbox.wait_log("CCS: Start. Can't load cerificate file. Path:")
        self.assertIn("/etc/ssl.crt/server.crt", sandbox.log())
        for _ in range(2):
            wait_until(lambda: accepts_connection(port))
            with self.assertRaises(OSError):
                Client(port, tls=True)
        sandbox.wait_log("CCS: SSL. Accept error: ")

    def test_sigterm_while_a_hundred_clients_are_busy(self):
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                sandbox, port = self.start({})
                wait_until(lambda: accepts_connection(port))
                clients = [Client(port) for _ in range(100)]
                self.addCleanup(lambda cs=clients: [c.close() for c in cs])
                burst = (Client.request_text("authenticate", USER, PASSWORD) +
                         Client.request_text("closecall", "1") * 200)
                for c in clients:
                    c.send_raw(burst)
                sandbox.daemon.proc.send_signal(signal.SIGTERM)
                sandbox.daemon.proc.send_signal(signal.SIGTERM)
                self.assertEqual(sandbox.daemon.proc.wait(timeout=5), -signal.SIGTERM)
                # The stop report is written once, by the one run of the exit
                # routine. (Lines still queued for the log's writer thread when
                # the process ends may be missing under this load.)
                self.assertEqual(sandbox.log(rotated=True).count(
                    "(Corvane) has been stopped by signal SIGTERM(15)"), 1)

    def test_queued_log_keeps_every_line_before_a_crash_or_stop(self):
        # With the log written by its own thread, the report still follows
        # every line logged before the signal, in order: here the text of each
        # request answered to one client, while another's burst is being logged.
        for sig in (signal.SIGSEGV, signal.SIGABRT, signal.SIGTERM):
            with self.subTest(signal=sig):
                sandbox, port = self.start({"log-queue-lines": "4"})
                wait_until(lambda: accepts_connection(port))
                busy, client = Client(port), Client(port)
                self.addCleanup(lambda: (busy.close(), client.close()))
                [c.authenticate(USER, PASSWORD) for c in (busy, client)]
                busy.send_raw("".join(Client.request_text("closecall", str(8000000 + n))
                                      for n in range(1000)))
                for n in range(50):  # logged before the answer went out
                    client.rpc("closecall", str(7000000 + n))
                sandbox.daemon.proc.send_signal(sig)
                self.assertEqual(sandbox.daemon.proc.wait(timeout=10), -sig)
                log = sandbox.log(rotated=True)
                report = log.index("\n======= ")
                answered = [log.find(">%d<" % (7000000 + n)) for n in range(50)]
                self.assertTrue(0 <= answered[0] and answered == sorted(answered) and
                                answered[-1] < report, answered)
                burst = [log.find(">%d<" % (8000000 + n)) for n in range(1000)]
                logged = [p for p in burst if p >= 0]
                self.assertEqual(burst[:len(logged)], sorted(logged))  # in order, none missing


if __name__ == "__main__":
    unittest.main()

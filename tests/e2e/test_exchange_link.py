"""The exchange link under a call manager that stops reading for a while or
restarts: the daemon's commands wait in the link's queue, arrive in each
client's order, and hold up no client meanwhile."""

import os
import signal
import time
import unittest

from harness import SLOW, Client, ServerTest


class ExchangeLink(ServerTest):
    def send_burst(self, client, first, count):
        """`count` createcall and playmessage pairs, each answered at once."""
        ids = [str(first + n) for n in range(count)]
        for call_id in ids:
            client.call("createcall", call_id, "201", "pbx:301")
            client.call("playmessage", call_id, "hello.wav", 1)
        for call_id in ids:
            self.assertEqual(client.read()[0], (call_id,))
            self.assertEqual(client.read()[0], (call_id,))
        return [(name, call_id) for call_id in ids for name in ("CreateCall", "PlayMessage")]

    def round_trip(self):
        started = time.monotonic()
        c = Client(self.port)
        try:
            self.assertEqual(c.authenticate(self.USER, self.PASSWORD), (True, "Authenticated."))
            c.call("Services.SystemService.getsysteminfo")
            c.read()
        finally:
            c.close()
        return time.monotonic() - started

    def test_stopped_call_manager_loses_nothing_and_holds_up_no_one(self):
        a, b = self.connect(), self.connect()
        pid = self.sim.proc.pid
        os.kill(pid, signal.SIGSTOP)
        stopped = time.monotonic()
        try:
            expected = {"a": self.send_burst(a, 1000, 20), "b": self.send_burst(b, 2000, 20)}
            # Meanwhile another client is served at once, again and again.
            times = sorted(self.round_trip() for _ in range(50))
            self.assertLess(times[-1], 0.1 * SLOW, times[-5:])
            time.sleep(max(0.0, 10 - (time.monotonic() - stopped)))
        finally:
            os.kill(pid, signal.SIGCONT)
        seen = {"a": [], "b": []}

        def note(m):
            if m.get("cmd") in ("CreateCall", "PlayMessage"):
                seen["a" if m["callId"].startswith("1") else "b"].append((m["cmd"], m["callId"]))
            return len(seen["a"]) + len(seen["b"]) == 80

        self.sim.expect(note, timeout=20, what="80 commands")
        self.assertEqual(seen, expected)

    def test_call_manager_killed_mid_burst_and_restarted(self):
        client = self.connect()
        os.kill(self.sim.proc.pid, signal.SIGSTOP)
        self.send_burst(client, 3000, 20)
        # Killed with commands still queued: they fail together, logged with
        # their count; a command while it is gone fails at once, logged too;
        # the client is answered throughout.
        self.sandbox.stop_sim(kill=True)
        self.sandbox.wait_log(" queued commands to ")
        self.assertEqual(client.rpc("createcall", "3100", "201", "pbx:301"), ("3100",))
        self.sandbox.wait_log("ExchangeLink: ERROR. Cannot send to ")
        # Commands sent once it is back arrive.
        type(self).sim = self.sandbox.start_sim()
        self.assertEqual(client.rpc("createcall", "3101", "201", "pbx:301"), ("3101",))
        self.assertEqual(self.sim.expect_cmd("CreateCall")["callId"], "3101")

if __name__ == "__main__":
    unittest.main()

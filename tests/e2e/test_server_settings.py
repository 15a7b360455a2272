"""Settings updates announced by the call manager (type 4192)."""

import unittest

from harness import Client, ServerTest, free_port


class SettingsUpdate(ServerTest):
    def test_timeout_change_keeps_connections_port_change_closes_them(self):
        client = self.connect()
        client.call("createcall", "61", "201", "pbx:301")
        self.assertEqual(client.read()[0], ("61",))
        self.sim.expect_cmd("CreateCall", callId="61")

        self.sandbox.valtconf("set", "request-timeout", 4)
        self.sim.event("UpdateConfig", updateType=4192)
        self.sandbox.wait_log("CCS: UpdateConfigs: Request Timeout: 4\n")
        self.assertFalse(client.closed_by_peer(timeout=0.3))
        client.call("injectdtmf", "61", "12")
        self.assertEqual(client.read()[0], ("61",))

        # Another update type changes nothing.
        new_port = free_port()
        self.sandbox.valtconf("set", "listen-port", new_port)
        self.sim.event("UpdateConfig", updateType=1)
        self.sim.event("UpdateConfig", updateType=4192)
        self.sandbox.wait_log("CCS: UpdateConfigs: ListenPort: %d\n" % new_port)
        self.assertTrue(client.closed_by_peer())
        # The connection's calls are closed at the call manager.
        self.sim.expect_cmd("CloseCall", callId="61")
        moved = self.connect(port=new_port)
        moved.call("closecall", "61")
        self.assertEqual(moved.read()[0]["faultString"], "No such call")
        self.assertEqual(self.sandbox.log_count("CCS: UpdateConfigs:\n"), 2)


class UnauthorisedConnectionLimits(ServerTest):
    settings = {"auth-timeout": 1}

    def test_silent_connection_is_closed_after_the_auth_timeout(self):
        silent = self.connect(authenticate=False)
        authorised = self.connect()
        self.assertTrue(silent.closed_by_peer(timeout=5))
        self.sandbox.wait_log("CCS: Thread. Not authorised within 1 seconds, closing...\n")
        # An authorised connection has no such limit.
        authorised.call("closecall", "1")
        self.assertEqual(authorised.read()[0]["faultString"], "No such call")

    def test_cap_on_connections_not_yet_authorised(self):
        self.sandbox.valtconf("set", "auth-timeout", 0)
        self.sandbox.valtconf("set", "max-unauth-connections", 3)
        self.sim.event("UpdateConfig", updateType=4192)
        self.sandbox.wait_log("CCS: UpdateConfigs:\n")
        self.sync_sim()
        self.wait_listening()
        self.sandbox.wait_log("recv ret: 0")  # the probe of wait_listening is gone
        waiting = []
        for _ in range(3):
            waiting.append(Client(self.port))
            self.addCleanup(waiting[-1].close)
            self.assertFalse(waiting[-1].closed_by_peer(timeout=0.2))
        # A newcomer past the cap closes the oldest of them, never itself.
        newcomer = Client(self.port)
        self.addCleanup(newcomer.close)
        self.assertTrue(waiting[0].closed_by_peer())
        self.sandbox.wait_log("CCS: Thread. Closed 1 connection(s) not yet authorised to make "
                              "room (too many not yet authorised).\n")
        self.assertEqual(newcomer.authenticate(self.USER, self.PASSWORD),
                         (True, "Authenticated."))
        # Authorised connections do not count.
        late = Client(self.port)
        self.addCleanup(late.close)
        self.assertFalse(waiting[1].closed_by_peer(timeout=0.2))
        self.assertEqual(late.authenticate(self.USER, self.PASSWORD), (True, "Authenticated."))


if __name__ == "__main__":
    unittest.main()

"""Settings updates announced by the call manager (type 4192)."""

import unittest

from harness import ServerTest, free_port


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


if __name__ == "__main__":
    unittest.main()

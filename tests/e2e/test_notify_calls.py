"""Incoming calls offered to the client that took their extension, its
answers, and the events of the calls it controls."""

import re
import unittest

from harness import ServerTest, wait_until

CALLER = {"user": "300", "host": "10.0.0.9", "port": "5060", "type": 1}
CALLED = {"user": "201"}


class IncomingCalls(ServerTest):
    settings = {"request-timeout": 2}

    def take_extension(self, client, ext="201"):
        client.call("incomingcallhandling", ext, True)
        self.assertEqual(client.read()[0], ("0",))
        return self.sim.expect_cmd("IncomingCallHandling", ext=ext, enable=1)["requester"]

    def offer(self, client, call_id, **extra):
        self.sim.event("CallArrived", callId=call_id, type=1, ext="201",
                       **dict({"from": CALLER, "to": CALLED}, **extra))
        (description, offered), _ = client.read()
        self.assertEqual(offered, call_id)
        return description

    def test_accept_with_and_without_remote_control(self):
        client = self.connect()
        self.take_extension(client)
        description = self.offer(client, "1001")
        self.assertEqual(description["Ext"], "201")
        self.assertEqual(description["From"], "<sip:300@10.0.0.9:5060>")
        client.answer({"CallID": "1001", "action": "accept", "remotecontrol": True})
        self.assertEqual(self.sim.expect_cmd("AcceptCall", callId="1001")["virtualAccept"], 1)
        # Controlled: the call's events reach the client, in order, one request each.
        self.sim.event("MessagePlayed", callId="1001")
        self.sim.event("DTMFInjected", callId="1001")
        self.sim.event("DtmfDigitDetected", callId="1001", digit="5")
        self.assertEqual(client.expect_request("messageplayed"), ("1001",))
        self.assertEqual(client.expect_request("dtmfinjected"), ("1001",))
        self.assertEqual(client.expect_request("dtmfdigitdetected"), ("1001", ord("5")))
        for _ in range(3):
            client.answer("1001")

        self.offer(client, "1002")
        client.answer({"CallID": "1002", "action": "accept"})
        self.assertEqual(self.sim.expect_cmd("AcceptCall", callId="1002")["virtualAccept"], 0)
        # The daemon lets go of the call right after accepting it.
        wait_until(lambda: re.search(r"Call: Delete\. \(C:\d+\) 1002\n", self.sandbox.log()),
                   what="call 1002 released")
        self.sim.event("CallStateChanged", callId="1002", state=2)
        self.sandbox.wait_log("ERROR. ExtCallControl. CallStateChanged. No such call...1002\n")
        self.sim.event("CallStateChanged", callId="1001", state=2)
        self.assertEqual(client.expect_request("callstatechanged"), ("1001", 2))

    def test_decline_and_redirects(self):
        client = self.connect()
        self.take_extension(client)
        self.offer(client, "1101")
        client.answer({"CallID": "1101", "action": "decline", "reason": ["busy"]})
        self.sim.expect_cmd("RejectCall", callId="1101")

        self.offer(client, "1102")
        client.answer({"CallID": "1102", "action": "redirect",
                       "target": ['pbx:300;actor="msg-taker"', "tel:5551"]})
        forward = self.sim.expect_cmd("ForwardCall", callId="1102")
        self.assertEqual([(t["user"], t["msgTaker"]) for t in forward["targets"]],
                         [("300", True), ("5551", False)])

        self.offer(client, "1103")
        client.answer({"CallID": "1103", "action": "redirect", "target": [""]})
        self.sim.expect_cmd("AcceptCall", callId="1103")

    def test_unanswered_offer_is_accepted(self):
        client = self.connect()
        self.take_extension(client)
        self.offer(client, "1201")
        self.sim.expect_cmd("AcceptCall", callId="1201", virtualAccept=0, timeout=6)
        self.assertIn("CCS: Accepting call... 1201\n", self.sandbox.log())

    def test_call_for_a_closed_connection_is_accepted_at_once(self):
        client = self.connect()
        requester = self.take_extension(client)
        client.close()
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=0)
        self.sim.event("CallArrived", callId="1301", type=1, ext="201", data=requester,
                       **{"from": CALLER, "to": CALLED})
        self.sim.expect_cmd("AcceptCall", callId="1301", timeout=3)
        self.assertIn("CCS: CallArrived. The connection is gone. 1301\n", self.sandbox.log())


if __name__ == "__main__":
    unittest.main()

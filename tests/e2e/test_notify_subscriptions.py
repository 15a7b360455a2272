"""Subscriptions end to end: shared routing (CR) and CDR subscriptions, dialog
and presence notifications, confirmations and errors."""

import unittest

from harness import ServerTest

CALLER = {"user": "300", "host": "10.0.0.9", "port": "5060", "type": 1}
STATISTICS = {"RTP_Tx_Pack": 100, "RTP_Tx_Codec": 0, "RTP_Rx_Pack": 90, "RTP_Rx_Codec": 18}


class RoutingSubscribers(ServerTest):
    def test_two_subscribers_first_acceptance_wins(self):
        first = self.connect()
        second = self.connect()
        first.call("subscribe", "501", 5)
        self.assertEqual(first.read()[0], ("501", True, 0))
        second.call("subscribe", "502", 5)
        self.assertEqual(second.read()[0], ("502", True, 0))
        self.assertEqual(self.sim.expect_cmd("SubscribeToCR")["subscribe"], 1)

        self.sim.event("OnCallOriginated", callId="2001", type=1, ext="201", pattern="2xx",
                       **{"from": CALLER, "to": {"user": "201"}})
        (offer_a, id_a), _ = first.read()
        (offer_b, id_b), _ = second.read()
        self.assertEqual((id_a, id_b), ("2001", "2001"))
        self.assertEqual(offer_a["Pattern"], "2xx")
        first.answer({"CallID": "2001", "action": "accept", "subscrid": "501"})
        self.sim.expect_cmd("AcceptCall", callId="2001")
        second.answer({"CallID": "2001", "action": "accept", "subscrid": "502"})
        self.sandbox.wait_log("ExtCallControl. AcceptCRCallReceived. SubscriberID: 502")
        later = self.sim.collect(0.5)
        self.assertFalse([l for l in later if l.get("cmd") == "AcceptCall"], later)
        # Only the first subscription was made at the call manager; only the
        # last one withdraws it.
        self.assertFalse([l for l in later if l.get("cmd") == "SubscribeToCR"])
        first.call("unsubscribe", "501")
        self.assertEqual(first.read()[0], ("501",))
        self.assertFalse([l for l in self.sim.collect(0.3) if l.get("cmd") == "SubscribeToCR"])
        second.call("unsubscribe", "502")
        self.assertEqual(second.read()[0], ("502",))
        self.assertEqual(self.sim.expect_cmd("SubscribeToCR")["subscribe"], 0)


class Notifications(ServerTest):
    def test_cdr_with_and_without_statistics(self):
        client = self.connect()
        client.call("subscribe", "601", 2)
        self.assertEqual(client.read()[0], ("601", True, 0))
        self.assertEqual(self.sim.expect_cmd("SubscribeToCDR")["subscribe"], 1)
        cdr = {"duration": 12, "callingUser": "201", "calledUser": "300", "startTime": 1700000000,
               "callGuid": "g-1"}
        self.sim.event("CDRArrived", cdrType=1, cdr=cdr, statistics=STATISTICS)
        self.sim.event("CDRArrived", cdrType=2, cdr=cdr,
                       statistics={"RTP_Tx_Pack": 0, "RTP_Rx_Pack": 0, "Fax_Tx_Pack": 3})
        self.sim.event("CDRArrived", cdrType=3, cdr=cdr)
        with_stats = client.expect_request("cdrarrived")
        self.assertEqual(with_stats[:2], ("601", 1))
        self.assertEqual(with_stats[3]["RTP_Tx_Codec"], "PCMU")
        self.assertEqual(with_stats[3]["RTP_Rx_Codec"], "G729")
        client.answer("601")
        self.assertEqual(len(client.expect_request("cdrarrived")), 3)
        client.answer("601")
        self.assertEqual(len(client.expect_request("cdrarrived")), 3)

    def test_dialogs_in_one_request(self):
        client = self.connect()
        client.call("subscribe", "701", 3, {"extension": "201"})
        self.assertEqual(self.sim.expect_cmd("ANSubscribe")["subscriptionId"], "701")
        self.assertEqual(client.read()[0], ("701", True, 0))
        dialogs = [{"callId": str(3000 + i), "direction": 1, "dialogState": 2, "event": 1,
                    "duration": 10 * i, "local": "<sip:201@10.0.0.5>",
                    "remote": '"Front Desk" <sip:30%d@10.0.0.6:5060>' % i}
                   for i in range(3)]
        self.sim.event("OnDialogNotify", subscriptionId="701", dialogs=dialogs)
        subscription, entries = client.expect_request("dlgarrived")
        self.assertEqual(subscription, "701")
        self.assertEqual([e["CallID"] for e in entries], ["3000", "3001", "3002"])
        self.assertIn("302@10.0.0.6", entries[2]["Remote"])

    def test_presence_confirm_then_error_ends_the_other(self):
        client = self.connect()
        client.call("subscribe", "801", 4, {"extension": "201"})
        self.assertEqual(client.read()[0], ("801", True, 0))
        self.sim.send({"control": "autoConfirm", "value": False})
        # The simulator reads commands and control lines on separate paths:
        # wait until it has taken the setting before subscribing again.
        self.sim.expect(lambda m: m.get("ack") == "autoConfirm", what="autoConfirm ack")
        client.call("subscribe", "802", 4, {"extension": "202"})
        self.sim.expect_cmd("ANSubscribe", subscriptionId="802")
        # A subscription ID already used on this connection is refused silently.
        client.call("subscribe", "801", 4, {"extension": "203"})
        self.sandbox.wait_log(
            "<ERROR> CCS: ProcessXmlRpcRequest. Subscription ID already exist. 801\n")
        self.sim.event("OnErrorConvey", subscriptionId="802", errorCode=7)
        self.assertEqual(client.read()[0], ("802", False, 7))
        self.sim.event("OnPresenceNotify", subscriptionId="802", state=1)
        self.sim.event("OnPresenceNotify", subscriptionId="801", state=1)
        self.assertEqual(client.expect_request("prsarrived"), ("801", True))
        self.assertIn("OnPresenceNotify", self.sandbox.log())
        client.call("unsubscribe", "802")
        self.sandbox.wait_log("CCS: ProcessXmlRpcResponse. No such subscription: 802\n")


if __name__ == "__main__":
    unittest.main()

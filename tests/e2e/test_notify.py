"""What the exchange tells the daemon, end to end: incoming calls offered to
the client that took their extension and its answers, the events of the calls
it controls, routing (CR), CDR and presence subscriptions, and the exchange
going away and coming back. (Dialogs and CDR statistics: test_valtctl.)"""

import time
import unittest

from harness import CALLER, CDR, ServerTest


class Notifications(ServerTest):
    settings = {"request-timeout": 2}

    def offer(self, client, call_id):
        self.sim.call_arrived(call_id, CALLER, type=1)
        (description, offered), _ = client.read()
        self.assertEqual(offered, call_id)
        return description

    def test_offers_answered_by_the_client(self):
        client = self.connect()
        self.assertEqual(client.rpc("incomingcallhandling", "201", True), ("0",))
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=1)
        description = self.offer(client, "1001")
        self.assertEqual((description["Ext"], description["From"]),
                         ("201", "<sip:300@10.0.0.9:5060>"))
        client.answer({"CallID": "1001", "action": "accept", "remotecontrol": True})
        self.assertEqual(self.sim.expect_cmd("AcceptCall", callId="1001")["virtualAccept"], 1)
        # Controlled: the call's events reach the client, in order, one request each.
        events = (("MessagePlayed", {}, "messageplayed", ("1001",)),
                  ("DTMFInjected", {}, "dtmfinjected", ("1001",)),
                  ("DtmfDigitDetected", {"digit": "5"}, "dtmfdigitdetected", ("1001", ord("5"))))
        for event, fields, _, _ in events:
            self.sim.event(event, callId="1001", **fields)
        for _, _, request, params in events:
            self.assertEqual(client.expect_request(request), params)
            client.answer("1001")
        for n, (answer, command) in enumerate((
                ({"action": "decline", "reason": ["busy"]}, "RejectCall"),
                ({"action": "redirect", "target": ['pbx:300;actor="msg-taker"', "tel:5551"]},
                 "ForwardCall"))):
            self.offer(client, "110%d" % n)
            client.answer(dict(answer, CallID="110%d" % n))
            line = self.sim.expect_cmd(command, callId="110%d" % n)
        self.assertEqual([(t["user"], t["msgTaker"]) for t in line["targets"]],
                         [("300", True), ("5551", False)])
        # The controlled call still has its events.
        self.sim.event("CallStateChanged", callId="1001", state=2)
        self.assertEqual(client.expect_request("callstatechanged"), ("1001", 2))
        client.answer("1001")
        # An offer left unanswered is accepted at the request time-out.
        self.offer(client, "1201")
        self.sim.expect_cmd("AcceptCall", callId="1201", virtualAccept=0, timeout=6)
        self.assertIn("CCS: Accepting call... 1201\n", self.new_log())

    def test_two_routing_subscribers_first_acceptance_wins(self):
        first, second = self.connect(), self.connect()
        self.assertEqual(first.rpc("subscribe", "501", 5), ("501", True, 0))
        self.assertEqual(second.rpc("subscribe", "502", 5), ("502", True, 0))
        self.assertEqual(self.sim.expect_cmd("SubscribeToCR")["subscribe"], 1)
        self.sim.event("OnCallOriginated", callId="2001", type=1, ext="201", pattern="2xx",
                       **{"from": CALLER, "to": {"user": "201"}})
        (offer_a, id_a), _ = first.read()
        (offer_b, id_b), _ = second.read()
        self.assertEqual((id_a, id_b, offer_a["Pattern"]), ("2001", "2001", "2xx"))
        first.answer({"CallID": "2001", "action": "accept", "subscrid": "501"})
        self.sim.expect_cmd("AcceptCall", callId="2001")
        second.answer({"CallID": "2001", "action": "accept", "subscrid": "502"})
        self.sandbox.wait_log("ExtCallControl. AcceptCRCallReceived. SubscriberID: 502")
        # Only the first subscription was made at the call manager; only the
        # last one withdraws it.
        self.assertEqual(first.rpc("unsubscribe", "501"), ("501",))
        later = self.sim.sync()
        self.assertFalse([l for l in later if l.get("cmd") in ("AcceptCall", "SubscribeToCR")],
                         later)
        self.assertEqual(second.rpc("unsubscribe", "502"), ("502",))
        self.assertEqual(self.sim.expect_cmd("SubscribeToCR")["subscribe"], 0)

    def test_cdr_without_statistics_or_packets(self):
        client = self.connect()
        self.assertEqual(client.rpc("subscribe", "601", 2), ("601", True, 0))
        self.assertEqual(self.sim.expect_cmd("SubscribeToCDR")["subscribe"], 1)
        self.sim.event("CDRArrived", cdrType=2, cdr=CDR,
                       statistics={"RTP_Tx_Pack": 0, "RTP_Rx_Pack": 0, "Fax_Tx_Pack": 3})
        self.sim.event("CDRArrived", cdrType=3, cdr=CDR)
        for _ in range(2):  # no statistics in either
            self.assertEqual(len(client.expect_request("cdrarrived")), 3)
            client.answer("601")

    def test_presence(self):
        client = self.connect()
        self.assertEqual(client.rpc("subscribe", "801", 4, {"extension": "201"}),
                         ("801", True, 0))
        self.sim.event("OnPresenceNotify", subscriptionId="801", state=1)
        self.assertEqual(client.expect_request("prsarrived"), ("801", True))

    def test_exchange_gone_and_back(self):
        client = self.connect()
        self.assertEqual(client.rpc("createcall", "8001", "201", "pbx:301"), ("8001",))
        self.assertEqual(client.rpc("subscribe", "901", 2), ("901", True, 0))
        self.sim.expect_cmd("SubscribeToCDR")
        self.sandbox.stop_sim(kill=True)
        # Commands fail cleanly while the exchange is gone: each is answered.
        answer = client.rpc("createcall", "8002", "201", "pbx:302")
        self.assertTrue(answer == ("8002",) or "faultCode" in answer, answer)
        client.rpc("injectdtmf", "8001", "1")
        # Waiting for the exchange costs no CPU.
        cpu = self.probe.cpu_seconds()
        time.sleep(1.0)
        self.assertLess(self.probe.cpu_seconds() - cpu, 0.3)
        type(self).sim = self.sandbox.start_sim()
        self.sim.event("CallStateChanged", callId="8001", state=2)
        self.assertEqual(client.expect_request("callstatechanged"), ("8001", 2))
        client.answer("8001")
        self.sim.event("CDRArrived", cdrType=1, cdr=CDR)
        self.assertEqual(client.expect_request("cdrarrived")[:2], ("901", 1))
        client.answer("901")
        self.assertEqual(client.rpc("closecall", "8001"), ("8001",))
        self.sim.expect_cmd("CloseCall", callId="8001")
        self.check_healthy()


class NotificationsWrittenByTheEventThread(Notifications):
    """The same with the exchange's events written by the thread that takes them."""
    settings = dict(Notifications.settings, **{"event-thread-writes": "true"})


if __name__ == "__main__":
    unittest.main()

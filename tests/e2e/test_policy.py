"""Unclaimed incoming calls decided by a policy server over plain HTTP."""

import time
import unittest

from harness import SandboxTest, wait_until
from policy_server import PolicyServer, free_port


def party(user, **extra):
    extra["user"] = user
    return extra


class PolicyTest(SandboxTest):
    """A sandbox whose daemon asks a policy server of the test's own."""

    secure = False
    timeout = 10

    def setUp(self):
        super().setUp()
        self.server = self.make_server()
        self.addCleanup(self.server.stop)
        self.configure_policy(self.server.port)

    def make_server(self):
        return PolicyServer()

    def configure_policy(self, port, timeout=None):
        conf = self.sandbox.valtconf
        conf("set", "policy-server", "127.0.0.1")
        conf("set", "policy-port", port)
        conf("set", "policy-user", "pbx")
        conf("set", "policy-password", "secret")
        conf("set", "policy-secure", "true" if self.secure else "false")
        conf("set", "request-timeout", self.timeout if timeout is None else timeout)

    def arrive(self, call_id, caller="5551234"):
        self.sim.event("CallArrived", callId=str(call_id), type=3, ext="201",
                       **{"from": party(caller), "to": party("201")})

    def decided(self, call_id, timeout=10):
        """The command that carried out the decision on the call."""
        return self.sim.expect(lambda m: m.get("cmd") in ("AcceptCall", "RejectCall",
                                                          "ForwardCall")
                               and m.get("callId") == str(call_id),
                               timeout, what="a decision on call %s" % call_id)

    def decided_all(self, call_ids, timeout=10):
        """The deciding command of each call, by call ID, in whatever order
        the calls were decided."""
        wanted = {str(c) for c in call_ids}
        found = {}

        def take(m):
            if m.get("cmd") in ("AcceptCall", "RejectCall", "ForwardCall") \
                    and m.get("callId") in wanted:
                found[m["callId"]] = m
            return set(found) == wanted

        self.sim.expect(take, timeout, what="decisions on calls %s" % sorted(wanted))
        return {int(k): v for k, v in found.items()}

    def assertFallbackAccept(self, line):
        self.assertEqual((line["cmd"], line["callerId"], line["displayName"],
                          line["virtualAccept"]), ("AcceptCall", "", "", 0))


class Decisions(PolicyTest):
    def test_accept_presents_caller_id_and_display_name(self):
        self.server.decisions["1001"] = {"action": "accept", "callerid": "300",
                                         "displayname": "Front Desk", "remotecontrol": True}
        self.arrive(1001)
        line = self.decided(1001)
        self.assertEqual((line["cmd"], line["callerId"], line["displayName"],
                          line["virtualAccept"]), ("AcceptCall", "300", "Front Desk", 1))
        request = self.server.wait_requests(1)[0]
        self.assertTrue(request.auth_ok)
        self.assertEqual(request.method, "Services.CallProcessingService.process")
        self.assertEqual(request.params[0]["From"], "tel:5551234")
        self.assertEqual(request.params[0]["Ext"], "201")
        self.assertEqual(request.headers["User-Agent"], "tovra xmlrpc client/1.0")
        self.assertEqual(request.headers["Host"], "127.0.0.1:%d" % self.server.port)
        # The service and its call are gone once decided.
        self.sandbox.wait_log("Call: Delete. (C:0) 1001\n")

    def test_decline_and_redirect(self):
        self.server.decisions["1002"] = {"action": "DECLINE", "reason": ["busy"]}
        self.server.decisions["1003"] = {"action": "redirect", "callerid": "9",
                                         "target": ["pbx:300", 'pbx:301;actor="msg-taker"']}
        # Redirect with no usable target: accepted with the answer's caller ID.
        self.server.decisions["1004"] = {"action": "redirect", "callerid": "77",
                                         "target": [""]}
        for call_id in (1002, 1003, 1004):
            self.arrive(call_id)
        decisions = self.decided_all((1002, 1003, 1004))
        self.assertEqual(decisions[1002]["cmd"], "RejectCall")
        forward = decisions[1003]
        self.assertEqual(forward["cmd"], "ForwardCall")
        self.assertEqual([(t["user"], t["msgTaker"]) for t in forward["targets"]],
                         [("300", False), ("301", True)])
        self.assertEqual(forward["callerId"], "9")
        accept = decisions[1004]
        self.assertEqual((accept["cmd"], accept["callerId"]), ("AcceptCall", "77"))

    def test_error_status_with_good_body_is_carried_out(self):
        self.server.status = 500
        self.server.decisions["1005"] = {"action": "decline"}
        self.arrive(1005)
        self.assertEqual(self.decided(1005)["cmd"], "RejectCall")

    def test_answer_in_pieces_is_carried_out_once(self):
        self.server.mode = "pieces"
        self.server.decisions["1006"] = {"action": "decline"}
        self.arrive(1006)
        self.assertEqual(self.decided(1006)["cmd"], "RejectCall")
        later = [l for l in self.sim.lines_until_sync() if l.get("callId") == "1006"]
        self.assertEqual(later, [])


class Failures(PolicyTest):
    def test_close_without_answer_accepts(self):
        self.server.mode = "close"
        self.arrive(1101)
        self.assertFallbackAccept(self.decided(1101))

    def test_unparsable_answer_accepts(self):
        self.server.mode = "garbage"
        self.arrive(1102)
        self.assertFallbackAccept(self.decided(1102))

    def test_wrong_credentials_are_refused_and_the_call_accepted(self):
        self.sandbox.valtconf("set", "policy-password", "wrong")
        self.arrive(1103)
        self.assertFallbackAccept(self.decided(1103))
        self.assertFalse(self.server.wait_requests(1)[0].auth_ok)

    def test_no_server_listening_accepts(self):
        self.configure_policy(free_port())
        self.arrive(1104)
        self.assertFallbackAccept(self.decided(1104))
        self.assertIn("CallPolicyService: Thread: connect failed. 111. Accepting Call. 1104\n",
                      self.sandbox.log())
        # No server configured at all: no address, the connect fails at once.
        self.sandbox.valtconf("set", "policy-server", "")
        self.sim.event("UpdateConfig", updateType=4192)
        self.arrive(1106)
        self.assertFallbackAccept(self.decided(1106))
        self.assertIn("CallPolicyService: Thread: connect failed. 89. Accepting Call. 1106\n",
                      self.sandbox.log())

    def test_silent_server_times_out(self):
        self.server.mode = "silent"
        self.configure_policy(self.server.port, timeout=2)
        started = time.monotonic()
        self.arrive(1105)
        self.assertFallbackAccept(self.decided(1105, timeout=8))
        # Whole seconds: the start second is counted, so at least one has passed.
        self.assertGreaterEqual(time.monotonic() - started, 1.0)
        self.assertIn("CallPolicyService: Thread: Request timedout. Accepting Call. 1105\n",
                      self.sandbox.log())


class Lifecycle(PolicyTest):
    def test_call_ended_while_pending_is_withdrawn(self):
        self.server.gate.clear()
        self.arrive(1201)
        self.server.wait_requests(1)
        self.sim.event("CallStateChanged", callId="1201", state=3)
        self.sandbox.wait_log("CallPolicyService: Stopping Service. 1201\n")
        self.server.gate.set()
        # The worker goes on serving other calls; nothing is done for the ended one.
        self.arrive(1202)
        self.decided(1202)
        self.server.wait_requests(2)
        time.sleep(0.3)
        lines = self.sim.lines_until_sync()
        self.assertEqual([l for l in lines if l.get("callId") == "1201"], [])
        self.assertIn("Call: Delete. (C:0) 1201\n", self.sandbox.log())

    def test_fifty_pending_calls_each_decided_by_its_own_answer(self):
        self.server.gate.clear()
        ids = list(range(2000, 2050))
        for call_id in ids:
            verdict = "decline" if call_id % 2 else "accept"
            self.server.decisions[str(call_id)] = {"action": verdict, "callerid": "c%d" % call_id}
            self.arrive(call_id)
        # Every request is in flight before the first answer.
        self.server.wait_requests(len(ids))
        self.server.gate.set()
        seen = {}
        while len(seen) < len(ids):
            line = self.sim.expect(lambda m: m.get("cmd") in ("AcceptCall", "RejectCall"),
                                   what="decisions (%d of %d)" % (len(seen), len(ids)))
            self.assertNotIn(line["callId"], seen)
            seen[line["callId"]] = line
        for call_id in ids:
            line = seen[str(call_id)]
            if call_id % 2:
                self.assertEqual(line["cmd"], "RejectCall")
            else:
                self.assertEqual((line["cmd"], line["callerId"]), ("AcceptCall", "c%d" % call_id))
        self.assertTrue(all(r.auth_ok for r in self.server.requests))

    def test_settings_change_takes_effect_at_the_next_pass(self):
        other = PolicyServer()
        self.addCleanup(other.stop)
        self.server.decisions["1301"] = {"action": "accept", "callerid": "first"}
        self.arrive(1301)
        self.assertEqual(self.decided(1301)["callerId"], "first")
        # Written but not announced: the worker keeps its settings.
        self.configure_policy(other.port)
        self.server.decisions["1302"] = {"action": "accept", "callerid": "first"}
        self.arrive(1302)
        self.assertEqual(self.decided(1302)["callerId"], "first")
        # Announced: read again at the pass that the next call starts.
        self.sim.event("UpdateConfig", updateType=4192)
        other.decisions["1303"] = {"action": "accept", "callerid": "second"}
        self.arrive(1303)
        self.assertEqual(self.decided(1303)["callerId"], "second")
        wait_until(lambda: self.sandbox.log().count(
            "CallPolicyService: Thread: updatting server params.\n") == 2)


if __name__ == "__main__":
    unittest.main()

"""With a new installation's settings every offered call ends decided by exactly
one command for it, and an account reaches only what is its own or granted."""

import unittest
from xmlrpc.client import Fault, dumps

from harness import CALLER, Client, ServerTest, read, write

DECIDING = ("AcceptCall", "RejectCall", "ForwardCall")
SVC = "Services.SystemService."


class StrictDecisions(ServerTest):
    settings = {"request-timeout": 30, "strict-decisions": "true"}

    def test_an_answer_decides_only_the_offered_call(self):
        client = self.connect()
        self.assertEqual(client.rpc("incomingcallhandling", "201", True), ("0",))
        self.assertEqual(client.rpc("createcall", "4242", "201", "pbx:301"), ("4242",))
        decline = Client.response_text({"action": "decline"})  # no ID: the offered call
        cases = ((CALLER, decline, "RejectCall"),
                 (CALLER, Client.response_text({"CallID": "4242", "action": "decline"}),
                  "AcceptCall"),
                 (CALLER, dumps(Fault(9, "busy"), methodresponse=True) + "\r\n\r\n",
                  "AcceptCall"), ({"user": "300", "type": 1}, decline, "RejectCall"))
        for n, (caller, answer, command) in enumerate(cases):
            call_id = "77%d" % n
            self.sim.call_arrived(call_id, caller, type=1)
            (offer, _), _ = client.read()
            client.send_raw(answer)
            line = self.sim.expect(lambda l: l.get("cmd") in DECIDING, what="a decision")
            self.assertEqual((line["cmd"], line["callId"]), (command, call_id))
        self.assertEqual(offer["From"], "tel:300")  # the SIP caller without a host
        self.assertIn("The answer names call 4242, not the offered call. 771\n", self.new_log())
        # Call 4242 was never decided; the client still controls it.
        self.assertEqual(client.rpc("closecall", "4242"), ("4242",))
        self.sim.expect_cmd("CloseCall", callId="4242")
        self.assertFalse([l for l in self.sim.sync() if l.get("cmd") in DECIDING])


def permitted(answer):
    return not isinstance(answer, dict) or answer["faultCode"] != 3


class AccountRights(ServerTest):
    settings = {"account-rights": "true"}

    @classmethod
    def configure(cls, sandbox):
        for args in (("set", "admin-user", "admin"), ("set", "admin-password", "adminpw"),
                     ("add-extension", "202", "--kind", "user", "--password", "pw202")):
            sandbox.valtconf(*args)

    def login(self, user, password):
        client = self.connect(authenticate=False)
        self.assertEqual(client.authenticate(user, password), (True, "Authenticated."))
        return client

    def test_each_right_refused_then_granted(self):
        checks = {  # each request and the right it needs from 201
            "any-extension": [("incomingcallhandling", "202", True),
                              ("subscribe", "11", 1, {"extension": "202"}),
                              ("createcall", "0", "pbx:202", "pbx:301"),
                              (SVC + "getwavfileslist", "1", 0, "202")],
            "cdr": [("subscribe", "12", 2)],
            "routing": [("subscribe", "13", 5)],
            "system-prompts": [(SVC + "getwavfileslist", "2", 1, "500"),
                               (SVC + "beginfiletransfer", "3", 0, "", "a.wav", 10, False)],
            "config-upload": [(SVC + "configurationupdate", "4", "a.cfg", 0, False)]}
        own = [("incomingcallhandling", "201", True), ("createcall", "0", "pbx:201", "pbx:301"),
               ("subscribe", "21", 1, {"extension": "201"}),
               ("subscribe", "22", 4, {"extension": "202"}),  # others' presence: readable
               (SVC + "getwavfileslist", "5", 0, "201")]
        client = self.connect()
        for right, request in ((r, q) for r, requests in checks.items() for q in requests):
            self.assertEqual(client.rpc(*request)["faultString"],
                             "Not permitted: right '%s' required" % right, request)
        for request in own:
            self.assertTrue(permitted(client.rpc(*request)), request)
        self.assertIn("Refused for account '201': Not permitted: right 'cdr' required. 12\n",
                      self.new_log())
        # The administrator needs no grant; 201 gets its grants at its next login.
        self.assertEqual(self.login("admin", "adminpw").rpc("subscribe", "31", 2),
                         ("31", True, 0))
        self.sandbox.valtconf("grant", "201", ",".join(checks))
        self.addCleanup(self.sandbox.valtconf, "revoke", "201", ",".join(checks))
        self.assertEqual(client.rpc("subscribe", "14", 2)["faultCode"], 3)
        client = self.connect()
        for request in sum(checks.values(), []):
            self.assertTrue(permitted(client.rpc(*request)), request)

    def test_ids_of_other_connections_are_not_taken_over(self):
        first, second = self.connect(), self.login("202", "pw202")
        for client, request in ((first, ("createcall", "555", "201", "pbx:301")),
                                (first, ("subscribe", "700", 4, {"extension": "201"})),
                                (second, ("createcall", "556", "202", "pbx:301"))):
            self.assertEqual(client.rpc(*request)[0], request[1])
        for request, text in ((("createcall", "555", "202", "pbx:301"), "Call ID in use"),
                              (("subscribe", "700", 4, {"extension": "202"}),
                               "Subscription ID in use"),
                              (("joincalls", "556", "555"),
                               "Not permitted: right 'any-extension' required")):
            self.assertEqual(second.rpc(*request)["faultString"], text)
        second.rpc(SVC + "getsysteminfo", "555")  # a request under the call's ID
        # The first connection keeps its call's events.
        self.sim.event("CallStateChanged", callId="555", state=2)
        self.assertEqual(first.expect_request("callstatechanged"), ("555", 2))


if __name__ == "__main__":
    unittest.main()


class NewInstallation(ServerTest):
    """A configuration made by `valtconf init` (and the test's port and user)."""
    init = True

    @classmethod
    def configure(cls, sandbox):
        cls.prompt = sandbox.path("/prompts/202/greeting.wav")
        write(cls.prompt, "RIFF")
        write(sandbox.path("/tmp/a.cfg"), "kept")
        sandbox.valtconf("add-extension", "202", "--kind", "user", "--password", "pw202",
                         "--prompt-dir", sandbox.path("/prompts/202/"))

    def test_a_strangers_first_packet_changes_nothing(self):
        client = self.connect(authenticate=False)
        packet = [("authenticate", "201", "wrong"), ("createcall", "9", "201", "tel:0900123"),
                  ("incomingcallhandling", "202", True),
                  (SVC + "deletefile", "5", 0, "202", "greeting.wav"),
                  (SVC + "configurationupdate", "6", "a.cfg", 0, False)]
        client.send_raw("".join(Client.request_text(*request) for request in packet))
        answers = [client.read()[0] for _ in packet]
        self.assertEqual(answers[0], (False, "Wrong password."))
        for answer in answers[1:]:
            self.assertEqual(answer["faultString"], "Not authorised")
        self.assertTrue(client.closed_by_peer())
        # (With cdr-spool, on for a new installation, the daemon subscribed to
        # call-detail records itself when it started.)
        started = {"cmd": "SubscribeToCDR", "subscribe": 1}
        self.assertFalse([l for l in self.sim.sync() if "cmd" in l and l != started])
        self.assertEqual(read(self.prompt), b"RIFF")
        self.assertEqual(read(self.sandbox.path("/tmp/a.cfg")), b"kept")


class SafeRetries(ServerTest):
    settings = {"safe-retries": "true"}

    def test_a_request_sent_again_is_answered_again_and_done_once(self):
        client = self.connect()
        for _ in range(2):
            self.assertEqual(client.rpc("createcall", "8101", "201", "pbx:301"), ("8101",))
            self.assertEqual(client.rpc("subscribe", "8102", 4, {"extension": "201"}),
                             ("8102", True, 0))
        # The same ID for another extension keeps its error, now answered.
        self.assertEqual(client.rpc("subscribe", "8102", 4, {"extension": "202"})["faultCode"], 4)
        commands = [l["cmd"] for l in self.sim.sync() if "cmd" in l]
        self.assertEqual((commands.count("CreateCall"), commands.count("ANSubscribe")), (1, 1))

"""valtctl against the real daemon: what the client itself does with the
daemon's answers and requests, its output formats, its failure messages and
exit codes, and the call commands that only valtctl sends end to end."""

import json
import os
import signal
import subprocess
import unittest

from harness import (BIN_DIR, CALLER, CDR, PASSWORD, USER, ServerTest, free_port, wait_until,
                     write)

STATISTICS = {"RTP_Tx_Pack": 100, "RTP_Tx_Codec": 0, "RTP_Rx_Pack": 90, "RTP_Rx_Codec": 18}


def json_lines(out):
    return [json.loads(line) for line in out.splitlines()]


class Valtctl(ServerTest):
    @classmethod
    def configure(cls, sandbox):
        write(sandbox.path("/etc/unique-id"), "  UNIT-42\r\n")
        write(sandbox.path("/etc/version.txt"), "Version: 2.1\nFlavour: beta\nComment: test\n")

    def test_failures_exit_codes_and_messages(self):
        other_call = json.loads(self.valtctl("create", "pbx:201", "tel:300",
                                             options=["--json"])[1])["call"]
        self.assertNotEqual(other_call, "0")  # the daemon's choice
        self.sim.expect_cmd("CreateCall", callId=other_call)
        cases = [  # the run, exit code, the message
            (self.valtctl("sysinfo", port=free_port()), 4,
             "cannot connect to the daemon at 127.0.0.1:"),
            (self.valtctl("sysinfo", password="nope"), 3,
             "authentication refused: Wrong password."),
            (self.valtctl("close", "abc"), 2, 'close: "abc" is not a call ID'),
            (self.valtctl("frobnicate"), 2, 'unknown command "frobnicate"'),
            # The call belonged to the connection that made it.
            (self.valtctl("close", other_call), 1, "close: No such call"),
            # A failing command stops the sequence.
            (self.valtctl("play", "99", "x.wav", ";", "create", "pbx:201", "tel:300"), 1,
             "play: No such call"),
        ]
        for (code, out, err), expected, message in cases:
            with self.subTest(message):
                self.assertEqual((code, out), (expected, ""), err)
                self.assertTrue(err.startswith("valtctl: ") and message in err, err)
        self.assertIn("Connection refused", cases[0][0][2])
        self.assertEqual(self.new_log().count(
            "CCS: ProcessXmlRpcRequest. No such call: %s\n" % other_call), 1)
        code, out, _ = self.valtctl("take", "--help")
        self.assertEqual(code, 0)
        self.assertIn("--answer accept | decline | redirect:TARGET", out)

    def test_shell_runs_typed_commands_on_one_connection(self):
        done = subprocess.run(
            [os.path.join(BIN_DIR, "valtctl"), "--port", str(self.port), "--user", USER,
             "--password", PASSWORD, "shell"],
            input="sysinfo\nhelp wait\nfrobnicate\n'sysinfo'\nquit\n", capture_output=True,
            text=True, timeout=30, env=self.sandbox.env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.count("unique ID: UNIT-42"), 2)
        self.assertIn("Usage: valtctl [OPTIONS] wait", done.stdout)
        self.assertIn('unknown command "frobnicate"', done.stderr)
        self.assertEqual(self.new_log().count("CCS: Authenticate:\n"), 1)

    def test_reload_is_the_administrators(self):
        self.sandbox.valtconf("set", "admin-user", "boss")
        self.sandbox.valtconf("set", "admin-password", "boss-secret")
        code, _, err = self.valtctl("reload")
        self.assertEqual(code, 1)
        self.assertIn("Not permitted: the administrator only", err)
        before = self.sandbox.log(rotated=True).count("CCS: UpdateConfigs:\n")
        code, out, err = self.valtctl("reload", options=["--user=boss", "--password=boss-secret"])
        self.assertEqual((code, out), (0, "the daemon reads its settings again\n"), err)
        wait_until(lambda: self.sandbox.log(rotated=True).count("CCS: UpdateConfigs:\n") > before,
                   what="the settings read again")

    def test_sysinfo_readable_and_json_with_digest(self):
        self.assertEqual(self.valtctl("sysinfo"),
                         (0, "unique ID: UNIT-42\nversion:    2.1 beta - test\n", ""))
        code, out, err = self.valtctl("sysinfo", options=["--digest", "--json"])
        self.assertEqual(json.loads(out), {"command": "sysinfo", "uniqueId": "UNIT-42",
                                           "version": " 2.1 beta - test"})
        # The second time the digest was checked.
        self.assertEqual(self.new_log().count("CCS: Verified!"), 1)

    def test_every_call_command_on_one_connection(self):
        code, out, err = self.valtctl(
            "create", "--id", "7", "pbx:201", "tel:0301234", "Front Desk", ";",
            "play", "7", "hello.wav", "2", ";", "dtmf", "7", "12#", ";",
            "detect-dtmf", "7", "on", ";", "transfer", "7", "sip:bob@example.org", ";",
            "join", "7", "8", ";", "unjoin", "7", "8", ";", "close", "7")
        self.assertEqual(code, 0, err)
        self.assertEqual(out.splitlines(), [
            "call 7 created", "call 7: playing hello.wav", "call 7: sent DTMF 12#",
            "call 7: DTMF detection on", "call 7: transferred to sip:bob@example.org",
            "call 7: joined with 8", "call 7: unjoined from 8", "call 7: closed"])
        create = self.sim.expect_cmd("CreateCall", callId="7")
        self.assertEqual((create["from"], create["to"]["user"], create["displayName"]),
                         ("pbx:201", "0301234", "Front Desk"))
        self.assertEqual(self.sim.expect_cmd("PlayMessage", callId="7")["count"], 2)
        self.assertEqual(self.sim.expect_cmd("InjectDTMF", callId="7")["digits"], "12#")
        self.assertEqual(self.sim.expect_cmd("EnableDtmfDetection", callId="7")["enable"], 1)
        self.assertEqual(self.sim.expect_cmd("TransferCall", callId="7")["to"]["host"],
                         "example.org")
        self.sim.expect_cmd("JoinCalls", callId="7", otherCallId="8")
        self.sim.expect_cmd("UnjoinCalls", callId="7", otherCallId="8")
        self.sim.expect_cmd("CloseCall", callId="7")

    def test_take_with_remote_control_then_until_interrupted(self):
        proc = self.valtctl("take", "--answer", "accept", "--remote-control", "--count", "2",
                            "201", options=["--json"], wait=False)
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=1)
        self.sim.call_arrived(1001, CALLER, type=1)
        self.assertEqual(self.sim.expect_cmd("AcceptCall", callId="1001")["virtualAccept"], 1)
        self.sim.event("CallStateChanged", callId="1001", state=3)
        out, err = proc.communicate(timeout=15)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(json_lines(out), [
            {"command": "take", "ext": "201", "ok": True},
            {"event": "process", "call": "1001", "ext": "201",
             "from": "<sip:300@10.0.0.9:5060>", "to": "tel:201", "origCall": "0",
             "answer": "accept (remote control)"},
            {"event": "callstatechanged", "call": "1001", "state": 3, "ended": True}])
        # Ctrl-C ends a long-running command normally.
        proc = self.valtctl("take", "201", wait=False)
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=1)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=15), 0)

    def test_subscription_output(self):
        for kind, command, event, fields, shown, expected in (
                (["cdr"], "SubscribeToCDR", "CDRArrived",
                 dict(cdrType=1, cdr=CDR, statistics=STATISTICS),
                 lambda e: (e["from"], e["to"], e["duration"], e["start"],
                            e["statistics"]["RTP_Rx_Codec"]),
                 ("201", "300", 12, 1700000000, "G729")),
                (["dialog", "201"], "ANSubscribe", "OnDialogNotify",
                 dict(subscriptionId="601", dialogs=[
                     {"callId": "1", "direction": 1, "local": "<sip:201@pbx>"},
                     {"callId": "2", "remote": "sip:300@pbx"}]),
                 lambda e: ([d["call"] for d in e["dialogs"]], e["dialogs"][0]["local"]),
                 (["1", "2"], "<sip:201@pbx>"))):
            with self.subTest(kind[0]):
                proc = self.valtctl("subscribe", "--id", "601", "--count", "1", *kind,
                                    options=["--json"], wait=False)
                self.sim.expect_cmd(command)
                self.sim.event(event, **fields)
                out, err = proc.communicate(timeout=15)
                self.assertEqual(proc.returncode, 0, err)
                lines = json_lines(out)
                self.assertEqual(lines[0], {"command": "subscribe", "kind": kind[0],
                                            "subscription": "601"})
                self.assertEqual((lines[1]["subscription"],) + shown(lines[1]),
                                 ("601",) + expected)
        # Refused by the exchange.
        self.sim.control("autoConfirm", False)
        self.addCleanup(self.sim.control, "autoConfirm", True)
        proc = self.valtctl("subscribe", "--id", "802", "presence", "201", wait=False)
        self.sim.expect_cmd("ANSubscribe", subscriptionId="802")
        self.sim.event("OnErrorConvey", subscriptionId="802", errorCode=7)
        out, err = proc.communicate(timeout=15)
        self.assertEqual((proc.returncode, err),
                         (1, "valtctl: subscribe: refused by the exchange (error 7)\n"))


if __name__ == "__main__":
    unittest.main()

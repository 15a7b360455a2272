"""valtctl against the real daemon: every command, its output, its failure
messages and exit codes."""

import json
import os
import signal
import subprocess
import unittest

from harness import BIN_DIR, ServerTest, free_port

VALTCTL = os.path.join(BIN_DIR, "valtctl")
CALLER = {"user": "300", "host": "10.0.0.9", "port": "5060", "type": 1}


class ValtctlTest(ServerTest):
    def args(self, *command, user=None, password=None, extra=()):
        return ([VALTCTL, "--port", str(self.port), "--timeout", "5",
                 "--user", user or self.USER, "--password",
                 self.PASSWORD if password is None else password] + list(extra) +
                [str(c) for c in command])

    def run_valtctl(self, *command, timeout=20, **kw):
        self.wait_listening()
        return subprocess.run(self.args(*command, **kw), capture_output=True, text=True,
                              timeout=timeout, env=self.sandbox.env)

    def start_valtctl(self, *command, **kw):
        """A long-running valtctl with --json; its output lines come from lines()."""
        self.wait_listening()
        proc = subprocess.Popen(self.args(*command, extra=["--json"], **kw),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.sandbox.env)

        def stop():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            proc.stdout.close()
            proc.stderr.close()
        self.addCleanup(stop)
        return proc

    @staticmethod
    def finish(proc, timeout=15):
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, [json.loads(l) for l in out.splitlines()], err

    def assertRefused(self, result, code, message):
        self.assertEqual(result.returncode, code, result.stderr + result.stdout)
        self.assertIn(message, result.stderr)
        self.assertTrue(result.stderr.startswith("valtctl: "), result.stderr)


class Authentication(ValtctlTest):
    def configure(self):
        super().configure()
        os.makedirs(self.sandbox.path("/etc"), exist_ok=True)
        with open(self.sandbox.path("/etc/unique-id"), "w") as f:
            f.write("  UNIT-42\r\n")
        with open(self.sandbox.path("/etc/version.txt"), "w") as f:
            f.write("Version: 2.1\nFlavour: beta\nComment: test\n")

    def test_plain_and_digest_authentication_then_sysinfo(self):
        result = self.run_valtctl("sysinfo")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "unique ID: UNIT-42\nversion:    2.1 beta - test\n")
        result = self.run_valtctl("sysinfo", extra=["--digest", "--json"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout),
                         {"command": "sysinfo", "uniqueId": "UNIT-42",
                          "version": " 2.1 beta - test"})
        # The second time the digest was checked.
        self.assertEqual(self.sandbox.log_count("CCS: Verified!"), 1)

    def test_refused_authentication(self):
        self.assertRefused(self.run_valtctl("sysinfo", password="nope"), 3,
                           "authentication refused: Wrong password.")
        self.assertRefused(self.run_valtctl("sysinfo", user="999"), 3,
                           "authentication refused: Wrong username.")
        self.assertRefused(self.run_valtctl("sysinfo", password="nope", extra=["--digest"]), 3,
                           "authentication refused: Wrong username or password.")

    def test_daemon_not_listening_and_bad_command_lines(self):
        result = subprocess.run([VALTCTL, "--port", str(free_port()), "--user", "201",
                                 "--password", "x", "sysinfo"],
                                capture_output=True, text=True, timeout=20)
        self.assertRefused(result, 4, "cannot connect to the daemon at 127.0.0.1:")
        self.assertIn("Connection refused", result.stderr)
        self.assertRefused(self.run_valtctl("close", "abc"), 2, 'close: "abc" is not a call ID')
        self.assertRefused(self.run_valtctl("frobnicate"), 2, 'unknown command "frobnicate"')
        result = subprocess.run([VALTCTL, "take", "--help"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        self.assertIn("--answer accept | decline | redirect:TARGET", result.stdout)


class SecureListener(ValtctlTest):
    settings = {"secure-listen": "true"}

    def configure(self):
        super().configure()
        self.sandbox.make_certificate()

    def test_tls_connection_and_certificate_check(self):
        result = self.run_valtctl("create", "--id", "5", "pbx:201", "tel:300", extra=["--tls"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "call 5 created\n")
        self.sim.expect_cmd("CreateCall", callId="5")
        # The self-signed certificate checked against itself; the host name
        # it names is not the one connected to.
        cert = self.sandbox.path("/etc/ssl.crt/server.crt")
        result = self.run_valtctl("sysinfo", extra=["--tls", "--ca", cert])
        self.assertRefused(result, 4, "TLS handshake failed")


class CallCommands(ValtctlTest):
    def test_every_call_command_on_one_connection(self):
        result = self.run_valtctl(
            "create", "--id", "7", "pbx:201", "tel:0301234", "Front Desk", ";",
            "play", "7", "hello.wav", "2", ";", "dtmf", "7", "12#", ";",
            "detect-dtmf", "7", "on", ";", "transfer", "7", "sip:bob@example.org", ";",
            "join", "7", "8", ";", "unjoin", "7", "8", ";", "close", "7")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
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

    def test_daemon_chosen_id_and_no_such_call(self):
        result = self.run_valtctl("create", "pbx:201", "tel:300", extra=["--json"])
        self.assertEqual(result.returncode, 0, result.stderr)
        call_id = json.loads(result.stdout)["call"]
        self.assertNotEqual(call_id, "0")
        self.sim.expect_cmd("CreateCall", callId=call_id)
        # The call belonged to the connection that made it.
        self.assertRefused(self.run_valtctl("close", call_id), 1, "close: No such call")
        # A failing command stops the sequence.
        result = self.run_valtctl("play", "99", "x.wav", ";", "create", "pbx:201", "tel:300")
        self.assertRefused(result, 1, "play: No such call")
        self.assertEqual(result.stdout, "")

    def test_watch_with_the_call_manager_simulation(self):
        self.sim.send({"control": "callManager", "value": True})
        self.sim.expect(lambda m: m.get("ack") == "callManager")
        result = self.run_valtctl(
            "create", "--id", "11", "--watch", "--count", "2", "pbx:201", "tel:300", ";",
            "play", "11", "hi.wav", ";", "dtmf", "11", "5", ";", "wait", "--count", "2",
            extra=["--json"])
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = [json.loads(l) for l in result.stdout.splitlines()]
        events = [l for l in lines if "event" in l]
        self.assertEqual(events[:2], [
            {"event": "callstatechanged", "call": "11", "state": 1},
            {"event": "callstatechanged", "call": "11", "state": 2}])
        self.assertEqual(sorted(e["event"] for e in events[2:]), ["dtmfinjected", "messageplayed"])
        self.assertEqual(lines[0], {"command": "create", "call": "11"})


class IncomingCalls(ValtctlTest):
    def offer(self, call_id):
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=1)
        self.sim.event("CallArrived", callId=call_id, type=1, ext="201",
                       **{"from": CALLER, "to": {"user": "201"}})

    def test_accept_with_remote_control_then_call_events(self):
        proc = self.start_valtctl("take", "--answer", "accept", "--remote-control", "--count",
                                  "2", "201")
        self.offer("1001")
        self.assertEqual(self.sim.expect_cmd("AcceptCall", callId="1001")["virtualAccept"], 1)
        self.sim.event("CallStateChanged", callId="1001", state=3)
        code, lines, err = self.finish(proc)
        self.assertEqual(code, 0, err)
        self.assertEqual(lines, [
            {"command": "take", "ext": "201", "ok": True},
            {"event": "process", "call": "1001", "ext": "201",
             "from": "<sip:300@10.0.0.9:5060>", "to": "tel:201", "origCall": "0",
             "answer": "accept (remote control)"},
            {"event": "callstatechanged", "call": "1001", "state": 3, "ended": True}])

    def test_decline_and_redirect(self):
        proc = self.start_valtctl("take", "--answer", "decline", "--count", "1", "201")
        self.offer("1101")
        self.sim.expect_cmd("RejectCall", callId="1101")
        self.assertEqual(self.finish(proc)[0], 0)

        proc = self.start_valtctl("take", "--answer", "redirect:pbx:202,tel:5551",
                                  "--seconds", "30", "201")
        self.offer("1102")
        forward = self.sim.expect_cmd("ForwardCall", callId="1102")
        self.assertEqual([t["user"] for t in forward["targets"]], ["202", "5551"])
        # Ctrl-C ends a long-running command normally.
        proc.send_signal(signal.SIGINT)
        code, lines, err = self.finish(proc)
        self.assertEqual(code, 0, err)
        self.assertEqual(lines[-1]["answer"], "redirect:pbx:202,tel:5551")

    def test_lost_connection(self):
        proc = self.start_valtctl("take", "201")
        self.sim.expect_cmd("IncomingCallHandling", ext="201", enable=1)
        self.daemon.proc.kill()
        code, _, err = self.finish(proc)
        self.assertEqual(code, 4)
        self.assertIn("valtctl: take: the daemon closed the connection", err)


class Subscriptions(ValtctlTest):
    def test_cdr_subscription(self):
        proc = self.start_valtctl("subscribe", "--id", "601", "--count", "1", "cdr")
        self.assertEqual(self.sim.expect_cmd("SubscribeToCDR")["subscribe"], 1)
        self.sim.event("CDRArrived", cdrType=1,
                       cdr={"duration": 12, "callingUser": "201", "calledUser": "300",
                            "startTime": 1700000000, "callGuid": "g-1"},
                       statistics={"RTP_Tx_Pack": 100, "RTP_Tx_Codec": 0, "RTP_Rx_Pack": 90,
                                   "RTP_Rx_Codec": 18})
        code, lines, err = self.finish(proc)
        self.assertEqual(code, 0, err)
        self.assertEqual(lines[0], {"command": "subscribe", "kind": "cdr",
                                    "subscription": "601"})
        cdr = lines[1]
        self.assertEqual((cdr["event"], cdr["subscription"], cdr["from"], cdr["to"],
                          cdr["duration"], cdr["start"]),
                         ("cdrarrived", "601", "201", "300", 12, 1700000000))
        self.assertEqual(cdr["statistics"]["RTP_Rx_Codec"], "G729")

    def test_routing_answers_and_dialogs(self):
        proc = self.start_valtctl("subscribe", "--id", "501", "--answer", "decline", "--count",
                                  "1", "routing")
        self.assertEqual(self.sim.expect_cmd("SubscribeToCR")["subscribe"], 1)
        self.sim.event("OnCallOriginated", callId="2001", type=1, ext="201", pattern="2xx",
                       **{"from": CALLER, "to": {"user": "201"}})
        self.sim.expect_cmd("RejectCall", callId="2001")
        code, lines, err = self.finish(proc)
        self.assertEqual(code, 0, err)
        self.assertEqual((lines[1]["event"], lines[1]["pattern"], lines[1]["answer"]),
                         ("calloriginated", "2xx", "decline"))

        proc = self.start_valtctl("subscribe", "--id", "701", "--count", "1", "dialog", "201")
        self.assertEqual(self.sim.expect_cmd("ANSubscribe", subscriptionId="701")["user"], "201")
        self.sim.event("OnDialogNotify", subscriptionId="701", dialogs=[
            {"callId": "1", "direction": 1, "local": "<sip:201@pbx>"},
            {"callId": "2", "remote": "sip:300@pbx"}])
        code, lines, err = self.finish(proc)
        self.assertEqual(code, 0, err)
        self.assertEqual([d["call"] for d in lines[1]["dialogs"]], ["1", "2"])
        self.assertEqual(lines[1]["dialogs"][0]["local"], "<sip:201@pbx>")

    def test_refused_subscription_and_readable_output(self):
        self.sim.send({"control": "autoConfirm", "value": False})
        self.sim.expect(lambda m: m.get("ack") == "autoConfirm")
        self.wait_listening()
        proc = subprocess.Popen(self.args("subscribe", "--id", "802", "presence", "201"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.sim.expect_cmd("ANSubscribe", subscriptionId="802")
        self.sim.event("OnErrorConvey", subscriptionId="802", errorCode=7)
        out, err = proc.communicate(timeout=15)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("subscribe: refused by the exchange (error 7)", err)

        self.sim.send({"control": "autoConfirm", "value": True})
        proc = subprocess.Popen(self.args("subscribe", "--id", "803", "--count", "1",
                                          "extlist"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.sim.expect_cmd("ANSubscribe", subscriptionId="803")
        self.sim.event("OnExtListNotify", subscriptionId="803", extensions=[
            {"ext": "201", "display": "Front Desk", "sipAddress": "sip:201@pbx", "type": 1}])
        out, err = proc.communicate(timeout=15)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(out, "subscribed to extlist (subscription 803)\n"
                              "extlistarrived subscription=803\n"
                              "  ext=201 display=\"Front Desk\" sip=sip:201@pbx type=1 line=0\n")


class SystemServices(ValtctlTest):
    def configure(self):
        super().configure()
        self.prompts = self.sandbox.path("/prompts/500/")
        os.makedirs(self.prompts)
        self.sandbox.valtconf("add-extension", "500", "--kind", "aa", "--prompt-dir",
                              self.prompts, "--prompt-share", "50")
        self.sandbox.valtconf("add-gateway", "3", "--type", "3")
        self.sandbox.valtconf("add-fxs-line", "3", "1", "--user", "ipuser", "--password", "pw")
        self.sandbox.valtconf("add-cm-line", "3", "1", "--extension", "205")

    def test_getext(self):
        result = self.run_valtctl("getext", "ipuser")
        self.assertEqual((result.returncode, result.stdout), (0, "205\n"), result.stderr)
        self.assertRefused(self.run_valtctl("getext", "nobody"), 1,
                           "getext: extension not founded")

    def test_prompt_upload_list_and_delete(self):
        local = os.path.join(self.sandbox.root, "intro.wav")
        body = os.urandom(2049)
        with open(local, "wb") as f:
            f.write(body)
        result = self.run_valtctl("prompts", "upload", 1, "500", local)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "File transfered successfully!\n")
        with open(os.path.join(self.prompts, "intro.wav"), "rb") as f:
            self.assertEqual(f.read(), body)
        # Stopped at the check the second time: nothing else is sent.
        self.assertRefused(self.run_valtctl("prompts", "upload", 1, "500", local), 1,
                           "prompts upload: This file already exist.")
        result = self.run_valtctl("prompts", "list", 1, "500", extra=["--json"])
        self.assertEqual(json.loads(result.stdout)["files"], ["intro.wav"])
        result = self.run_valtctl("prompts", "delete", 1, "500", "intro.wav")
        self.assertEqual((result.returncode, result.stdout), (0, "deleted intro.wav\n"))
        self.assertFalse(os.path.exists(os.path.join(self.prompts, "intro.wav")))
        self.assertRefused(self.run_valtctl("prompts", "delete", 1, "500", "intro.wav"), 1,
                           "prompts delete: cannot delete intro.wav")
        result = self.run_valtctl("prompts", "list", 1, "500")
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    def test_config_upload(self):
        tool = self.sandbox.path("/bin/fcgiclient")
        os.makedirs(os.path.dirname(tool), exist_ok=True)
        source = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "fcgiclient",
                              "fcgiclient")
        with open(source, "rb") as f, open(tool, "wb") as out:
            out.write(f.read())
        os.chmod(tool, 0o755)
        local = os.path.join(self.sandbox.root, "site.cfg")
        body = b"line=1\n" * 400
        with open(local, "wb") as f:
            f.write(body)
        result = self.run_valtctl("config-upload", local)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "Configuration uploaded successfully!\n")
        with open(self.sandbox.path("/tmp/fcgiclient.record"), "rb") as f:
            self.assertTrue(f.read().endswith(body))


if __name__ == "__main__":
    unittest.main()

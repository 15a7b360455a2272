"""The README's demonstration (scripts/demo.sh --tls) run as a newcomer runs
it: the scripted session shows every step, the daemon it leaves running
answers the valtctl command it prints, and a stop signal ends everything.
(The plain session's steps are what the other tests check one by one.)"""

import os
import shlex
import signal
import subprocess
import unittest

from harness import BIN_DIR, Sandbox, free_port, read, wait_until

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# What each step of the session shows: the valtctl results and events, and the
# commands exchange-sim receives, in this order.
SESSION = ["unique ID: SANDBOX-", "[cdr] subscribed to cdr", "call 7 created",
           "callstatechanged call=7 state=1", "callstatechanged call=7 state=2",
           "messageplayed call=7", "call 7: closed", "[cdr] cdrarrived", "guid=sim-7",
           "[take] process call=1001 ext=202", '"cmd":"AcceptCall","callId":"1001"',
           '"cmd":"AcceptCall","callId":"1002"', "The daemon keeps running"]


class Demo(unittest.TestCase):
    def test_tls_session_then_daemon_reachable_as_printed_until_stopped(self):
        # The sandbox supplies the root and the sanitizer options; the demo
        # starts its own simulator and daemon there.
        sandbox = Sandbox()
        self.addCleanup(sandbox.close)
        env = dict(sandbox.env, VALTD_PORT=str(free_port()),
                   VALTD_BUILD_DIR=os.path.dirname(os.path.abspath(BIN_DIR)))
        out_path = os.path.join(sandbox.root, "demo.out")
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(["bash", os.path.join(REPO, "scripts", "demo.sh"), "--tls"],
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env, cwd=REPO)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        output = lambda: read(out_path).decode(errors="replace")  # noqa: E731
        wait_until(lambda: SESSION[-1] in output() or proc.poll() is not None,
                   timeout=120, what="the end of the scripted session")
        text = output()
        self.assertIsNone(proc.poll(), text)
        positions = [text.find(step) for step in SESSION]
        self.assertNotIn(-1, positions, text)
        self.assertEqual(positions[3:6], sorted(positions[3:6]))  # events in their order
        # The printed command works as printed, from the project folder, with
        # the daemon's certificate checked.
        printed = [l.strip() for l in text.splitlines() if l.strip().endswith(" sysinfo")]
        self.assertIn(" --tls --ca ", printed[-1])
        done = subprocess.run(shlex.split(printed[-1]), cwd=REPO, env=env, capture_output=True,
                              timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"version:", done.stdout)
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        self.assertIn("valtd stopped.", output())
        # No process of the demo keeps running in the sandbox.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                environ = read("/proc/%s/environ" % pid).split(b"\0")
            except OSError:
                continue
            self.assertNotIn(b"VALTD_ROOT=" + sandbox.root.encode(), environ, pid)


if __name__ == "__main__":
    unittest.main()

"""The README's demonstration (scripts/demo.sh) run as a newcomer runs it:
the scripted session shows every step, the daemon it leaves running answers
the valtctl command it prints, and a stop signal ends everything."""

import os
import shlex
import signal
import subprocess
import unittest

from harness import BIN_DIR, Sandbox, free_port, wait_until

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# What each step of the session shows: the valtctl results and events, and the
# commands exchange-sim receives.
SESSION = [
    "unique ID: SANDBOX-",
    "[cdr] subscribed to cdr",
    "call 7 created",
    "callstatechanged call=7 state=1",
    "callstatechanged call=7 state=2",
    "messageplayed call=7",
    "call 7: closed",
    "[cdr] cdrarrived",
    "guid=sim-7",
    "[take] process call=1001 ext=202",
    '"cmd":"AcceptCall","callId":"1001"',
    '"cmd":"AcceptCall","callId":"1002"',
]


class Demo(unittest.TestCase):
    def setUp(self):
        # The sandbox supplies the root and the sanitizer options; the demo
        # starts its own simulator and daemon there.
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.close)
        self.env = dict(self.sandbox.env)
        self.env["VALTD_PORT"] = str(free_port())
        self.env["VALTD_BUILD_DIR"] = os.path.dirname(os.path.abspath(BIN_DIR))
        self.out_path = os.path.join(self.sandbox.root, "demo.out")

    def start(self, *args):
        out = open(self.out_path, "wb")
        self.addCleanup(out.close)
        proc = subprocess.Popen(["bash", os.path.join(REPO, "scripts", "demo.sh")] + list(args),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                env=self.env, cwd=REPO)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        return proc

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def assert_session_shown(self, out):
        for text in SESSION:
            self.assertIn(text, out)
        # Events appear in the order the exchange produced them.
        self.assertLess(out.index("state=1"), out.index("state=2"))
        self.assertLess(out.index("state=2"), out.index("messageplayed"))

    def assert_nothing_left(self):
        # No process of the demo keeps running in the sandbox.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            self.assertNotIn(b"VALTD_ROOT=" + self.sandbox.root.encode(), environ,
                             "process %s still runs" % pid)

    def test_session_then_daemon_reachable_as_printed_until_stopped(self):
        proc = self.start()
        wait_until(lambda: "The daemon keeps running" in self.output() or proc.poll() is not None,
                   timeout=120, what="the end of the scripted session")
        out = self.output()
        self.assertIsNone(proc.poll(), out)
        self.assert_session_shown(out)

        # The printed command works as printed, from the project folder.
        printed = [l.strip() for l in out.splitlines() if l.strip().endswith(" sysinfo")]
        self.assertTrue(printed, out)
        done = subprocess.run(shlex.split(printed[-1]), cwd=REPO, env=self.env,
                              capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"version:", done.stdout)

        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        self.assertIn("valtd stopped.", self.output())
        self.assert_nothing_left()

    def test_tls_session_once(self):
        proc = self.start("--tls", "--once")
        self.assertEqual(proc.wait(timeout=120), 0, self.output())
        out = self.output()
        self.assert_session_shown(out)
        self.assertIn("--tls --ca ", out)
        self.assert_nothing_left()


if __name__ == "__main__":
    unittest.main()

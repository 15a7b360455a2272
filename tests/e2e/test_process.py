"""The daemon's process frame: normal stop, stop by signal, crash report."""

import re
import signal
import unittest

from harness import SandboxTest


class ProcessLifecycle(SandboxTest):
    def test_forced_alert_ends_the_loop_with_code_zero(self):
        self.sim.event("ForcedAlert")
        self.assertEqual(self.daemon.wait_exit(), 0)
        log = self.sandbox.log()
        self.assertIn("Received POLLER_FORCED_ALERT event!\n", log)
        # The control server is stopped once, by the destructor.
        self.assertEqual(log.count("CCS: CleanUp...\n"), 1)

    def test_sigterm_runs_exit_routine_once_and_reraises(self):
        self.sandbox.wait_log("CCS: ReadConfig:")
        self.daemon.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.daemon.wait_exit(), -signal.SIGTERM)
        log = self.sandbox.log()
        self.assertEqual(log.count("CCS: CleanUp...\n"), 1)
        reports = re.findall(r"======= Process .* \(Corvane\) has been stopped by signal "
                             r"SIGTERM\(15\) at \d\d:\d\d:\d\d =======", log)
        self.assertEqual(len(reports), 1, log[-2000:])
        self.assertNotIn("Backtrace dump", log)

    def test_crash_signal_writes_backtrace_with_matching_footer(self):
        self.sandbox.wait_log("CCS: ReadConfig:")
        self.daemon.proc.send_signal(signal.SIGSEGV)
        self.assertEqual(self.daemon.wait_exit(), -signal.SIGSEGV)
        lines = self.sandbox.log().split("\n")
        headers = [l for l in lines if l.startswith("======= Backtrace dump of the process")]
        self.assertEqual(len(headers), 1)
        self.assertIn("(Corvane), got signal SIGSEGV(11) =======", headers[0])
        footers = [l for l in lines if " End of Backtace " in l]
        self.assertEqual(len(footers), 1)
        self.assertLessEqual(abs(len(footers[0]) - len(headers[0])), 2)
        self.assertEqual(self.sandbox.log().count("CCS: CleanUp...\n"), 1)


class WithoutExchange(SandboxTest):
    start_daemon = False

    def test_daemon_runs_without_exchange_and_stops_on_sigint(self):
        # Nothing plays the call manager: the daemon must still start, keep
        # running, and stop cleanly on an interrupt -- also when it was started
        # with SIGINT ignored, as a shell starts its background jobs.
        self.sim.stop()
        self.sandbox.sim = None
        daemon = self.sandbox.start_daemon(
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        self.sandbox.wait_log("CCS: ReadConfig:")
        daemon.proc.send_signal(signal.SIGINT)
        self.assertEqual(daemon.wait_exit(), -signal.SIGINT)
        self.assertIn("has been stopped by signal SIGINT(2)", self.sandbox.log())


if __name__ == "__main__":
    unittest.main()

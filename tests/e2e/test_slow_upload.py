"""A client that trickles an upload's body holds up no other client: their
round trips stay quick while it lasts, and the body ends at its deadline with
its file removed and the connection closed."""

import os
import threading
import time
import unittest

from harness import SLOW, ServerTest
from test_services import svc


class SlowUpload(ServerTest):
    # Each trickled byte comes well within the time-out of a piece.
    settings = {"request-timeout": 5}

    @classmethod
    def configure(cls, sandbox):
        cls.prompts = sandbox.path("/prompts/301/")
        os.makedirs(cls.prompts)
        sandbox.valtconf("add-extension", 301, "--kind", "user", "--no-password",
                         "--prompt-dir", cls.prompts)

    def test_trickled_body_holds_up_no_other_client(self):
        slow = self.connect()
        svc(slow, "beginfiletransfer", "1", 0, "301", "slow.wav", 100, True, data=b"")
        started, stop = time.monotonic(), threading.Event()

        def trickle():  # a byte every 1.5 s: 20 of the 100 by the 30 s deadline
            while not stop.wait(1.5):
                try:
                    slow.send_raw(b"x")
                except OSError:
                    return
        thread = threading.Thread(target=trickle)
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(stop.set)

        other, times, call = self.connect(), [], 9000
        while time.monotonic() - started < 31:
            call += 1
            for request, answer in ((("authenticate", self.USER, self.PASSWORD),
                                     (True, "Authenticated.")),
                                    (("createcall", str(call), "201", "pbx:301"), (str(call),))):
                sent = time.monotonic()
                self.assertEqual(other.rpc(*request), answer)
                times.append(time.monotonic() - sent)
            other.rpc("closecall", str(call))
            time.sleep(0.02)
        times.sort()
        p99 = times[len(times) * 99 // 100]
        print("\nround trips during a trickled upload: %d, p99 %.1f ms, max %.1f ms"
              % (len(times), p99 * 1000, times[-1] * 1000))
        self.assertLess(p99, 1.0 * SLOW)

        self.assertTrue(slow.closed_by_peer(timeout=5 * SLOW))
        self.sandbox.wait_log("ERROR. Upload body not complete by its deadline\n", rotated=True)
        self.assertEqual(os.listdir(self.prompts), [])
        self.check_healthy()


if __name__ == "__main__":
    unittest.main()

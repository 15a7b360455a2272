"""System services against the real daemon: voice prompt files, uploads, a
full disk, configuration upload through the stand-in tool, system information,
and valtctl's commands for them."""

import json
import os
import resource
import shutil
import time
import unittest

from harness import SLOW, ServerTest, read, wait_until, write

SVC = "Services.SystemService."
CHUNK = 1024
RECORD_TOOL = """#!/bin/sh
# Records its environment and open descriptors, then prints a result.
{ env; echo FDS; for f in /proc/$$/fd/*; do readlink "$f"; done; } > "$VALTD_ROOT/tmp/tool.env"
printf 'done\\n'
"""


def body(size):
    """`size` bytes that differ from chunk to chunk, so a lost, doubled or
    shifted chunk shows in the stored file."""
    return bytes((i * 7 + i // CHUNK) & 0xFF for i in range(size))


class Prompts:
    """User extension 301 and auto-attendant 500 with prompt directories in the
    sandbox, each allowed half of 10000 KB of voice storage (mixed into a
    ServerTest)."""

    settings = {"request-timeout": 2, "vm-total-space-kb": 10000}

    @classmethod
    def configure(cls, sandbox):
        cls.prompts, cls.aa = sandbox.path("/prompts/301"), sandbox.path("/prompts/aa/")
        os.makedirs(os.path.join(cls.aa, "custom"))
        os.makedirs(cls.prompts)
        for ext, kind, folder in ((301, "user", cls.prompts), (500, "aa", cls.aa)):
            sandbox.valtconf("add-extension", ext, "--kind", kind, "--prompt-dir", folder,
                             "--prompt-share", 50)

    def setUp(self):
        super().setUp()
        for folder in (self.prompts, os.path.join(self.aa, "custom")):
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))

    def rpc(self, c, method, *params):
        return list(c.rpc(SVC + method, *params))

    @staticmethod
    def send_with_body(c, method, *params, data=b""):
        """The request and `data` in one write."""
        c.send_raw(c.request_text(SVC + method, *params).encode() + data)

    def upload(self, c, name, data, together=False):
        """Checks, then uploads `data` as a prompt of 301, chunk by chunk or all
        of it right behind the request: one "OK" per chunk, then the answer,
        and the stored file equal to `data`."""
        oks = (len(data) + CHUNK - 1) // CHUNK
        check = self.rpc(c, "beginfiletransfer", "1", 0, "301", name, len(data), False)
        self.assertEqual(check, ["1", "301", name, True, "Space available for file upload."])
        if together:
            self.send_with_body(c, "beginfiletransfer", "1", 0, "301", name, len(data), True,
                                data=data)
            self.assertEqual(c.read_bytes(2 * oks), b"OK" * oks)
        else:
            c.call(SVC + "beginfiletransfer", "1", 0, "301", name, len(data), True)
            for start in range(0, len(data), CHUNK):
                c.send_raw(data[start:start + CHUNK])
                self.assertEqual(c.read_bytes(2), b"OK")
        self.assertEqual(list(c.read()[0]),
                         ["1", "301", name, True, "File transfered successfully!"])
        self.assertEqual(read(os.path.join(self.prompts, name)), data)

    def test_uploads_of_every_size(self):
        c = self.connect()
        for size in (0, 1024, 2049, 100000):
            with self.subTest(size=size):
                self.upload(c, "u%d.wav" % size, body(size))
        with self.subTest("body bytes in the request's write"):
            self.upload(c, "together.wav", body(5000), together=True)
        # A name that exists is refused by the check and by the upload.
        for transfer in (False, True):
            self.assertEqual(
                self.rpc(c, "beginfiletransfer", "1", 0, "301", "u1024.wav", 10, transfer),
                ["1", "301", "u1024.wav", False, "This file already exist."])
        self.assertEqual(read(os.path.join(self.prompts, "u1024.wav")), body(1024))


class Services(Prompts, ServerTest):
    @classmethod
    def configure(cls, sandbox):
        super().configure(sandbox)
        sandbox.install_tool()
        # The tool gets its own CGI variables, the search path and the root
        # prefix, not what the daemon inherited.
        sandbox.env.update(REQUEST_METHOD="POST", QUERY_STRING="cgiaction=other", LD_PRELOAD="",
                           http_proxy="http://proxy:1", HTTPS_PROXY="http://proxy:2",
                           SECRET_TOKEN="x")
        write(sandbox.path("/etc/unique-id"), "  ABC\r\n")
        write(sandbox.path("/etc/version.txt"), "# unit\nVersion:   2.1\nFlavour: beta\nComment: test\n")

    def test_list_and_delete(self):
        for name in ("intro.wav", "intro.wav.bak", "X.WAV", "notes.txt"):
            write(os.path.join(self.prompts, name), b"x")
        outside = self.sandbox.path("/prompts/outside.wav")
        write(outside, b"x")
        self.addCleanup(os.remove, outside)
        c = self.connect()
        self.assertEqual(self.rpc(c, "getwavfileslist", "7", 0, "301"),
                         ["7", "301", ["intro.wav", "intro.wav.bak"], True])
        self.assertEqual(self.rpc(c, "getwavfileslist", "8", 0, "999"), ["8", "999", [], False])
        self.sandbox.wait_log(
            "ERROR. GetWAVFilesResponseMethod. GetWAVList: failed to load extension 999\n")
        self.assertEqual(self.rpc(c, "deletefile", "9", 0, "301", "intro.wav"),
                         ["9", "intro.wav", True])
        self.assertFalse(os.path.exists(os.path.join(self.prompts, "intro.wav")))
        self.assertEqual(self.rpc(c, "deletefile", "9", 0, "301", "intro.wav"),
                         ["9", "intro.wav", False])
        self.assertEqual(self.rpc(c, "deletefile", "9", 0, "301", "../outside.wav")[2], False)
        self.assertTrue(os.path.exists(outside))

    def test_space_check_and_refused_names(self):
        write(os.path.join(self.aa, "custom", "used.wav"), b"u" * 2048)  # 2 KB used
        c = self.connect()
        # 10000 / 100 * 50 % = 5000 KB, 2 KB of it used by the "custom" file.
        self.assertEqual(
            self.rpc(c, "beginfiletransfer", "1", 2, "500", "n.wav", 4998 * 1024 + 1023, False),
            ["1", "500", "n.wav", True, "Space available for file upload."])
        self.assertEqual(
            self.rpc(c, "beginfiletransfer", "1", 2, "500", "n.wav", 4999 * 1024, False)[3:],
            [False, "There is not sufficient available space for file upload."])
        self.sandbox.wait_log("free space: 4998 Kb, file size: 4999 Kb\n")
        self.assertIn("CCS. FileTransfer: upload dir path: %scustom,\n" % self.aa, self.new_log())
        for name in ("../x.wav", "a/b.wav", ".."):
            answer = self.rpc(c, "beginfiletransfer", "1", 0, "301", name, 10, True)
            self.assertEqual(answer[3:], [False, "Invalid file name."], name)
        self.assertEqual(self.rpc(c, "configurationupdate", "5", "../a.cfg", 10, True),
                         ["5", "../a.cfg", False, "Invalid file name."])
        self.assertEqual(sorted(os.listdir(self.sandbox.path("/prompts"))), ["301", "aa"])
        # Nothing was taken for a body: the connection is still in step.
        self.assertEqual(self.rpc(c, "getwavfileslist", "2", 0, "301")[3], True)

    def test_client_leaving_or_stalling_mid_upload(self):
        c = self.connect()
        self.send_with_body(c, "beginfiletransfer", "1", 0, "301", "cut.wav", 3000, True,
                            data=body(1500))
        self.assertEqual(c.read_bytes(2), b"OK")
        c.close()
        self.sandbox.wait_log("ERROR. FileTransfer: connection lost during file receive")
        # A stalled upload ends after the request time-out with the connection
        # closed and no answer.
        stalled = self.connect()
        self.send_with_body(stalled, "beginfiletransfer", "1", 0, "301", "st.wav", 3000, True,
                            data=body(100))
        with self.assertRaises((EOFError, ConnectionResetError)):
            stalled.read_message()
        self.assertEqual(os.listdir(self.prompts), [])
        self.check_healthy()

    def test_disk_full_during_uploads(self):
        pid = self.daemon.proc.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_FSIZE)
        self.addCleanup(resource.prlimit, pid, resource.RLIMIT_FSIZE, (soft, hard))
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (2048, hard))
        record = self.sandbox.path("/tmp/fcgiclient.record")
        os.path.exists(record) and os.remove(record)
        c = self.connect()
        data = bytes(range(256)) * 20  # 5120 bytes: two chunks fit, the third does not
        for method, params, name in (("beginfiletransfer", ("1", 0, "301"), "full.wav"),
                                     ("configurationupdate", ("4",), "full.cfg")):
            with self.subTest(method):
                c.call(SVC + method, *params, name, len(data), True)
                for start in (0, 1024):
                    c.send_raw(data[start:start + 1024])
                    self.assertEqual(c.read_bytes(2), b"OK")
                c.send_raw(data[2048:3072])
                # No "OK" for the chunk that was not stored: the answer instead.
                self.assertEqual(list(c.read()[0])[-2:], [False, "Cannot write the file."])
                # The rest of the body is dropped as input that is no request.
                c.send_raw(data[3072:] + b"\r\n\r\n")
        self.assertEqual(os.listdir(self.prompts), [])
        self.assertFalse(os.path.exists(self.sandbox.path("/tmp/full.cfg")))
        self.assertFalse(os.path.exists(record))
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (soft, hard))
        self.assertEqual(c.rpc("closecall", "1")["faultString"], "No such call")
        self.check_healthy()

    def test_configuration_upload_reaches_the_tool(self):
        c = self.connect()
        data = body(3000)
        self.send_with_body(c, "configurationupdate", "4", "a.cfg", len(data), True, data=data)
        self.assertEqual(c.read_bytes(6), b"OKOKOK")
        self.assertEqual(list(c.read()[0]),
                         ["4", "a.cfg", True, "Configuration uploaded successfully!"])
        stored = self.sandbox.path("/tmp/a.cfg")
        self.assertEqual(read(self.sandbox.path("/tmp/fcgiclient.record")), (
            "REQUEST_METHOD=GET\nPATH_INFO=putconf.cgi\n"
            "QUERY_STRING=cgiaction=do_save&localHiddenFilename=%s\n"
            "REMOTE_ADDR=CGI2FastCGI\nCONTENT_TYPE=application/x-www-form-urlencoded\n"
            "FILE %s\n" % (stored, stored)).encode() + data)
        self.sandbox.wait_log("CCS. ConfigurationUpdate: deleted temporary file \n")
        self.assertFalse(os.path.exists(stored))
        stdout = os.path.join(self.sandbox.root, "valtd.stdout")
        wait_until(lambda: b"Configuration. saved=3000 bytes\n" in read(stdout),
                   what="the tool's rewritten output")

    def upload_config(self, client, name, data=b"cfg"):
        self.send_with_body(client, "configurationupdate", "4", name, len(data), True, data=data)
        client.read_bytes(2)
        return list(client.read(timeout=30)[0])

    def test_tool_runs_without_shell_with_its_environment_and_time_limit(self):
        self.addCleanup(self.sandbox.install_tool)
        self.sandbox.install_tool(RECORD_TOOL)
        c = self.connect()
        # A name that a shell would take for a command.
        self.assertEqual(self.upload_config(c, "a;touch pwned;$(touch pwned2).cfg")[2], True)
        env, fds = read(self.sandbox.path("/tmp/tool.env")).decode().split("FDS\n")
        names = sorted(line.split("=", 1)[0] for line in env.splitlines() if "=" in line)
        # sh adds PWD (and perhaps SHLVL, _) itself.
        self.assertEqual([n for n in names if n not in ("PWD", "SHLVL", "_", "OLDPWD")],
                         ["CONTENT_TYPE", "PATH", "PATH_INFO", "QUERY_STRING", "REMOTE_ADDR",
                          "REQUEST_METHOD", "VALTD_ROOT"])
        self.assertIn("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n", env)
        # Only what the tool was given (standard input, the output pipe, the
        # daemon's standard error) and what the shell opened itself (its
        # script, the record): none of the daemon's sockets, log or databases.
        for target in fds.split():
            self.assertTrue(target in ("/dev/null", self.sandbox.path("/tmp/tool.env"),
                                       self.sandbox.path("/bin/fcgiclient"),
                                       os.path.join(self.sandbox.root, "valtd.stderr"))
                            or target.startswith("pipe:"), target)
        self.assertEqual([n for n in os.listdir(self.sandbox.root) if "pwned" in n], [])
        # A tool that hangs is killed at its time limit.
        self.sandbox.install_tool("#!/bin/sh\nexec sleep 60\n")
        started = time.monotonic()
        self.assertEqual(self.upload_config(c, "slow.cfg")[2], True)
        self.assertLess(time.monotonic() - started, 10 + 10 * SLOW)
        self.sandbox.wait_log("the configuration tool did not finish in 10 seconds, killed")
        self.assertFalse(os.path.exists(self.sandbox.path("/tmp/slow.cfg")))
        self.assertEqual(c.rpc("closecall", "1")["faultString"], "No such call")

    def test_system_info(self):
        c = self.connect()
        self.assertEqual(self.rpc(c, "getsysteminfo", "77"), ["77", "ABC", "   2.1 beta - test"])
        self.sandbox.wait_log("CCS: GetSystemInfo. Sending response...\n")
        version = self.sandbox.path("/etc/version.txt")
        shutil.move(version, version + ".away")
        self.addCleanup(shutil.move, version + ".away", version)
        self.assertEqual(self.rpc(c, "getsysteminfo", "78"), ["78", "ABC", ""])
        wait_until(lambda: "\nERROR: " in self.new_log(), what="an error logged")

    def test_valtctl_prompts_and_configuration_upload(self):
        local = os.path.join(self.sandbox.root, "intro.wav")
        write(local, os.urandom(2049))
        self.assertEqual(self.valtctl("prompts", "upload", 1, "500", local),
                         (0, "File transfered successfully!\n", ""))
        self.assertEqual(read(os.path.join(self.aa, "intro.wav")), read(local))
        # Stopped at the check the second time: nothing else is sent.
        code, out, err = self.valtctl("prompts", "upload", 1, "500", local)
        self.assertEqual((code, err), (1, "valtctl: prompts upload: This file already exist.\n"))
        code, out, err = self.valtctl("prompts", "list", 1, "500", options=["--json"])
        self.assertEqual(json.loads(out)["files"], ["intro.wav"])
        self.assertEqual(self.valtctl("prompts", "delete", 1, "500", "intro.wav"),
                         (0, "deleted intro.wav\n", ""))
        code, out, err = self.valtctl("prompts", "delete", 1, "500", "intro.wav")
        self.assertEqual((code, err), (1, "valtctl: prompts delete: cannot delete intro.wav\n"))
        self.assertEqual(self.valtctl("prompts", "list", 1, "500"), (0, "", ""))
        local = os.path.join(self.sandbox.root, "site.cfg")
        write(local, b"line=1\n" * 400)
        self.assertEqual(self.valtctl("config-upload", local),
                         (0, "Configuration uploaded successfully!\n", ""))
        self.assertTrue(read(self.sandbox.path("/tmp/fcgiclient.record")).endswith(read(local)))


if __name__ == "__main__":
    unittest.main()

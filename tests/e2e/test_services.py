"""System services against the real daemon: voice prompt files, uploads, a
full disk, the configuration tool's confinement, and valtctl's commands for
them. (What the services do with the files is tested beside them.)"""

import os
import resource
import time
import unittest

from harness import SLOW, ServerTest, read, write

SVC = "Services.SystemService."
RECORD_TOOL = """#!/bin/sh
{ env; echo FDS; for f in /proc/$$/fd/*; do readlink "$f"; done; } > "$VALTD_ROOT/tmp/tool.env"
"""
SPACE_OK, DONE = "Space available for file upload.", "File transfered successfully!"


def body(size):
    """`size` bytes that differ from chunk to chunk, so a lost, doubled or
    shifted chunk shows in the stored file."""
    return bytes((i * 7 + i // 1024) & 0xFF for i in range(size))


def svc(c, method, *params, data=None):
    """A system-service request; with `data`, sent in one write with the
    request, the answer left to the caller."""
    if data is None:
        return c.rpc(SVC + method, *params)
    c.send_raw(c.request_text(SVC + method, *params).encode() + data)


class Prompts:
    """User extension 301 and auto-attendant 500 with prompt directories in the
    sandbox, each allowed half of 10000 KB of voice storage (mixed into a
    ServerTest)."""

    settings = {"request-timeout": 2, "vm-total-space-kb": 10000}

    @classmethod
    def configure(cls, sandbox):
        cls.prompts, cls.aa = sandbox.path("/prompts/301/"), sandbox.path("/prompts/aa/")
        for ext, kind, folder in ((301, "user", cls.prompts), (500, "aa", cls.aa)):
            os.makedirs(folder + "custom")
            sandbox.valtconf("add-extension", ext, "--kind", kind, "--no-password",
                             "--prompt-dir", folder, "--prompt-share", 50)

    def setUp(self):
        super().setUp()
        for folder in (self.prompts, self.aa + "custom/"):
            for name in os.listdir(folder):
                os.path.isfile(folder + name) and os.remove(folder + name)

    def test_uploads_of_every_size(self):
        c = self.connect()
        for size, together in ((0, False), (1024, False), (2049, False), (100000, False),
                               (5000, True)):  # with the body bytes in the request's write
            with self.subTest(size=size):
                name, data, oks = "u%d.wav" % size, body(size), (size + 1023) // 1024
                request = ("beginfiletransfer", "1", 0, "301", name, size)
                self.assertEqual(svc(c, *request, False), ("1", "301", name, True, SPACE_OK))
                svc(c, *request, True, data=data if together else b"")
                for start in range(0, 0 if together else size, 1024):
                    c.send_raw(data[start:start + 1024])
                    self.assertEqual(c.read_bytes(2), b"OK")
                self.assertEqual(c.read_bytes(2 * oks if together else 0), b"OK" * together * oks)
                self.assertEqual(c.read()[0], ("1", "301", name, True, DONE))
                self.assertEqual(read(self.prompts + name), data)
        # A name that exists is refused by the check and by the upload.
        for transfer in (False, True):
            self.assertEqual(svc(c, "beginfiletransfer", "1", 0, "301", "u1024.wav", 10, transfer),
                             ("1", "301", "u1024.wav", False, "This file already exist."))
        self.assertEqual(read(self.prompts + "u1024.wav"), body(1024))


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

    def test_file_answers_and_refusals(self):
        for name in ("intro.wav", "intro.wav.bak", "X.WAV"):
            write(self.prompts + name, b"x")
        write(self.aa + "custom/used.wav", b"u" * 2048)  # 2 KB of the 5000 KB allowed
        c = self.connect()
        no_room = "There is not sufficient available space for file upload."
        for request, answer in (
                (("getwavfileslist", "7", 0, "301"), ("7", "301", ["intro.wav", "intro.wav.bak"],
                                                      True)),
                (("getwavfileslist", "8", 0, "999"), ("8", "999", [], False)),
                (("deletefile", "9", 0, "301", "intro.wav"), ("9", "intro.wav", True)),
                (("deletefile", "9", 0, "301", "intro.wav"), ("9", "intro.wav", False)),
                (("beginfiletransfer", "1", 2, "500", "n.wav", 4998 * 1024 + 1023, False),
                 ("1", "500", "n.wav", True, SPACE_OK)),
                (("beginfiletransfer", "1", 2, "500", "n.wav", 4999 * 1024, False),
                 ("1", "500", "n.wav", False, no_room)),
                (("beginfiletransfer", "1", 0, "301", "../x.wav", 10, True),
                 ("1", "301", "../x.wav", False, "Invalid file name.")),
                (("configurationupdate", "5", "../a.cfg", 10, True),
                 ("5", "../a.cfg", False, "Invalid file name.")),
                # Nothing was taken for a body: the connection is still in step.
                (("getwavfileslist", "2", 0, "301"), ("2", "301", ["intro.wav.bak"], True))):
            self.assertEqual(svc(c, *request), answer, request)
        for line in ("GetWAVList: failed to load extension 999\n",
                     "free space: 4998 Kb, file size: 4999 Kb\n",
                     "CCS. FileTransfer: upload dir path: %scustom,\n" % self.aa):
            self.sandbox.wait_log(line)

    def test_stalled_upload_ends_at_the_request_timeout(self):
        c = self.connect()
        svc(c, "beginfiletransfer", "1", 0, "301", "cut.wav", 3000, True, data=body(1500))
        self.assertEqual(c.read_bytes(2), b"OK")
        # The connection closed with no answer, and no file left.
        self.assertRaises((EOFError, ConnectionResetError), c.read_message)
        self.assertEqual(os.listdir(self.prompts), ["custom"])
        self.check_healthy()

    def test_disk_full_during_uploads(self):
        pid, record = self.daemon.proc.pid, self.sandbox.path("/tmp/fcgiclient.record")
        os.path.exists(record) and os.remove(record)
        limits = resource.prlimit(pid, resource.RLIMIT_FSIZE)
        self.addCleanup(resource.prlimit, pid, resource.RLIMIT_FSIZE, limits)
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (2048, limits[1]))
        c = self.connect()
        data = bytes(range(256)) * 20  # 5120 bytes: two chunks fit, the third does not
        for request in (("beginfiletransfer", "1", 0, "301"), ("configurationupdate", "4")):
            with self.subTest(request[0]):
                svc(c, *request, "full", len(data), True, data=data[:1024])
                self.assertEqual(c.read_bytes(2), b"OK")
                c.send_raw(data[1024:2048])
                self.assertEqual(c.read_bytes(2), b"OK")
                c.send_raw(data[2048:3072])
                # No "OK" for the chunk that was not stored: the answer instead.
                self.assertEqual(c.read()[0][-2:], (False, "Cannot write the file."))
                # The rest of the body is dropped as input that is no request.
                c.send_raw(data[3072:] + b"\r\n\r\n")
        self.assertFalse([p for p in (self.prompts + "full", self.sandbox.path("/tmp/full"), record)
                          if os.path.exists(p)])
        resource.prlimit(pid, resource.RLIMIT_FSIZE, limits)
        self.assertEqual(c.rpc("closecall", "1")["faultString"], "No such call")
        self.check_healthy()

    def test_tool_runs_without_shell_with_its_environment_and_time_limit(self):
        def upload(name):
            svc(c, "configurationupdate", "4", name, 3, True, data=b"cfg")
            c.read_bytes(2)
            self.assertEqual(c.read(timeout=30)[0][2], True)
        self.addCleanup(self.sandbox.install_tool)
        self.sandbox.install_tool(RECORD_TOOL)
        c = self.connect()
        upload("a;touch pwned;$(touch pwned2).cfg")  # a name a shell would take for a command
        env, fds = read(self.sandbox.path("/tmp/tool.env")).decode().split("FDS\n")
        names = sorted(line.split("=", 1)[0] for line in env.splitlines() if "=" in line)
        # sh adds PWD (and perhaps SHLVL, _) itself.
        self.assertEqual([n for n in names if n not in ("PWD", "SHLVL", "_", "OLDPWD")],
                         ["CONTENT_TYPE", "PATH", "PATH_INFO", "QUERY_STRING", "REMOTE_ADDR",
                          "REQUEST_METHOD", "VALTD_ROOT"])
        self.assertIn("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n", env)
        self.assertIn("REQUEST_METHOD=GET\n", env)
        # Only what the tool was given (standard input, the output pipe, the
        # daemon's standard error) and what the shell opened itself (its
        # script, the record): none of the daemon's sockets, log or databases.
        given = ["/dev/null"] + [self.sandbox.path(p) for p in ("/tmp/tool.env", "/bin/fcgiclient",
                                                                "/valtd.stderr")]
        self.assertEqual([t for t in fds.split() if t not in given and "pipe:" not in t], [])
        self.assertEqual([n for n in os.listdir(self.sandbox.root) if "pwned" in n], [])
        # A tool that hangs is killed at its time limit; other clients are
        # served while it runs.
        self.sandbox.install_tool("#!/bin/sh\nexec sleep 60\n")
        started = time.monotonic()
        svc(c, "configurationupdate", "4", "slow.cfg", 3, True, data=b"cfg")
        self.assertEqual(c.read_bytes(2), b"OK")
        self.assertEqual(self.connect().rpc("closecall", "1")["faultString"], "No such call")
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(c.read(timeout=30)[0][2], True)
        self.assertLess(time.monotonic() - started, 10 + 10 * SLOW)
        self.sandbox.wait_log("the configuration tool did not finish in 10 seconds, killed")
        self.assertFalse(os.path.exists(self.sandbox.path("/tmp/slow.cfg")))
        self.assertEqual(c.rpc("closecall", "1")["faultString"], "No such call")

    def test_hostile_names_and_links_stay_inside_the_tree(self):
        def upload(name, data=b"cfg", refused=False):
            """The answer; a refused upload is sent without its body."""
            svc(c, "configurationupdate", "4", name, len(data), True, data=b"" if refused else data)
            c.read_bytes(0 if refused else 2 * ((len(data) + 1023) // 1024))
            return c.read(timeout=30)[0][2:]
        tmp, outside = self.sandbox.path("/tmp/"), self.sandbox.path("/outside/")
        write(self.sandbox.path("/stolen.txt"), b"stolen")
        write(tmp + "keep.txt", b"keep")
        c = self.connect()
        # A name that adds query parameters reaches the tool as one value.
        name = "a.cfg&cgiaction=do_restore&localHiddenFilename=stolen.txt"
        self.assertEqual(upload(name), (True, "Configuration uploaded successfully!"))
        record = read(tmp + "fcgiclient.record").decode()
        self.assertIn("QUERY_STRING=cgiaction=do_save&localHiddenFilename=%sa.cfg%%26cgiaction"
                      "%%3Ddo_restore%%26localHiddenFilename%%3Dstolen.txt\nREMOTE_ADDR" % tmp,
                      record)
        self.assertTrue(record.endswith("FILE %s%s\ncfg" % (tmp, name)))
        # A line break in a name cannot start a log line of its own.
        upload("b.cfg\n12:00:00.000  CCS: forged")
        self.sandbox.wait_log("file  b.cfg\\n12:00:00.000  CCS: forged")
        self.assertNotIn("\n12:00:00.000  CCS: forged", self.sandbox.log(rotated=True))
        # A file the upload did not create is neither replaced nor removed.
        for data in (b"", b"new"):
            self.assertEqual(upload("keep.txt", data, refused=True),
                             (False, "This file already exist."))
        self.assertEqual(read(tmp + "keep.txt"), b"keep")
        self.assertEqual([n for n in os.listdir(tmp) if ".cfg" in n], [])
        # A symbolic link as the auto-attendant's "custom" folder is not followed.
        os.makedirs(outside)
        write(outside + "old.wav", b"old")
        os.rename(self.aa + "custom", self.aa + "real")
        self.addCleanup(os.rename, self.aa + "real", self.aa + "custom")
        os.symlink(outside, self.aa + "custom")
        self.addCleanup(os.remove, self.aa + "custom")
        for request, answer in (
                (("getwavfileslist", "1", 2, "500"), ("1", "500", [], True)),
                (("deletefile", "1", 2, "500", "old.wav"), ("1", "old.wav", False)),
                (("beginfiletransfer", "1", 2, "500", "new.wav", 3, True),
                 ("1", "500", "new.wav", False, ""))):
            self.assertEqual(svc(c, *request), answer, request)
        self.assertEqual(os.listdir(outside), ["old.wav"])
        self.sandbox.wait_log("FileTransfer: %scustom is not a directory, refused\n" % self.aa)

    def test_valtctl_prompts_and_configuration_upload(self):
        local = os.path.join(self.sandbox.root, "intro.wav")
        write(local, os.urandom(2049))
        cases = [  # the command, exit code, output, errors
            (("prompts", "upload", 1, "500", local), 0, DONE + "\n", ""),
            # Stopped at the check the second time: nothing else is sent.
            (("prompts", "upload", 1, "500", local), 1, "",
             "valtctl: prompts upload: This file already exist.\n"),
            (("--json", "prompts", "list", 1, "500"), 0,
             '{"command":"prompts list","ext":"500","files":["intro.wav"]}\n', ""),
            (("prompts", "delete", 1, "500", "intro.wav"), 0, "deleted intro.wav\n", ""),
            (("prompts", "delete", 1, "500", "intro.wav"), 1, "",
             "valtctl: prompts delete: cannot delete intro.wav\n"),
            (("prompts", "list", 1, "500"), 0, "", ""),
        ]
        for n, (command, *expected) in enumerate(cases):
            if n == 1:
                self.assertEqual(read(self.aa + "intro.wav"), read(local))
            self.assertEqual(self.valtctl(*command), tuple(expected), command)
        write(local, b"line=1\n" * 400)
        self.assertEqual(self.valtctl("config-upload", local),
                         (0, "Configuration uploaded successfully!\n", ""))
        self.assertTrue(read(self.sandbox.path("/tmp/fcgiclient.record")).endswith(read(local)))


if __name__ == "__main__":
    unittest.main()

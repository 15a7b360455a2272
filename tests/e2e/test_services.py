"""System services against the real daemon: voice prompt files, uploads over
TCP and TLS, configuration upload through the stand-in tool, system information."""

import os
import shutil
import unittest

from harness import HERE, ServerTest, wait_until

SVC = "Services.SystemService."
CHUNK = 1024


def body(size):
    """`size` bytes that differ from chunk to chunk, so a lost, doubled or
    shifted chunk shows in the stored file."""
    return bytes((i * 7 + i // CHUNK) & 0xFF for i in range(size))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ServicesTest(ServerTest):
    """User extension 301 and auto-attendant 500 with prompt directories in the
    sandbox, each allowed half of 10000 KB of voice storage."""

    tls = False
    settings = {"request-timeout": 2, "vm-total-space-kb": 10000}

    def configure(self):
        sb = self.sandbox
        if self.tls:
            self.settings = dict(self.settings, **{"secure-listen": "true"})
            sb.make_certificate()
        super().configure()
        self.prompts = sb.path("/prompts/301")
        self.aa = sb.path("/prompts/aa/")
        os.makedirs(os.path.join(self.aa, "custom"))
        os.makedirs(self.prompts)
        sb.valtconf("add-extension", 301, "--kind", "user", "--prompt-dir", self.prompts,
                    "--prompt-share", 50)
        sb.valtconf("add-extension", 500, "--kind", "aa", "--prompt-dir", self.aa,
                    "--prompt-share", 50)

    def connect(self):
        return super().connect(tls=self.tls)

    @staticmethod
    def rpc(c, method, *params):
        c.call(SVC + method, *params)
        return list(c.read()[0])

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
        answer = list(c.read()[0])
        self.assertEqual(answer, ["1", "301", name, True, "File transfered successfully!"])
        self.assertEqual(read(os.path.join(self.prompts, name)), data)

    def uploads_of_every_size(self):
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


class PromptFiles(ServicesTest):
    def test_list_and_delete(self):
        for name in ("intro.wav", "intro.wav.bak", "X.WAV", "notes.txt"):
            write(os.path.join(self.prompts, name), b"x")
        outside = self.sandbox.path("/prompts/outside.wav")
        write(outside, b"x")
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
        self.assertIn("CCS. FileTransfer: upload dir path: %scustom,\n" % self.aa,
                      self.sandbox.log())
        for name in ("../x.wav", "a/b.wav", ".."):
            answer = self.rpc(c, "beginfiletransfer", "1", 0, "301", name, 10, True)
            self.assertEqual(answer[3:], [False, "Invalid file name."], name)
        self.assertEqual(sorted(os.listdir(self.sandbox.path("/prompts"))), ["301", "aa"])
        # Nothing was taken for a body: the connection is still in step.
        self.assertEqual(self.rpc(c, "getwavfileslist", "2", 0, "301")[3], True)

    def test_uploads_over_tcp(self):
        self.uploads_of_every_size()

    def test_client_leaving_or_stalling_mid_upload(self):
        c = self.connect()
        self.send_with_body(c, "beginfiletransfer", "1", 0, "301", "cut.wav", 3000, True,
                            data=body(1500))
        self.assertEqual(c.read_bytes(2), b"OK")
        c.close()
        self.sandbox.wait_log("ERROR. FileTransfer: connection lost during file receive")
        self.assertEqual(os.listdir(self.prompts), [])
        # A stalled upload ends after the request time-out with the connection
        # closed and no answer; then a fresh client is served.
        stalled = self.connect()
        self.send_with_body(stalled, "beginfiletransfer", "1", 0, "301", "st.wav", 3000, True,
                            data=body(100))
        with self.assertRaises((EOFError, ConnectionResetError)):
            stalled.read_message()
        self.assertEqual(os.listdir(self.prompts), [])
        other = self.connect()
        self.assertEqual(self.rpc(other, "getwavfileslist", "3", 0, "301"), ["3", "301", [], True])


class PromptFilesOverTls(ServicesTest):
    tls = True

    def test_uploads_over_tls(self):
        self.uploads_of_every_size()


class ConfigurationAndSystemInfo(ServicesTest):
    def configure(self):
        super().configure()
        sb = self.sandbox
        tool = sb.path("/bin/fcgiclient")
        os.makedirs(os.path.dirname(tool))
        shutil.copy(os.path.join(HERE, "..", "..", "tools", "fcgiclient", "fcgiclient"), tool)
        # The tool gets its own CGI variables, not ones the daemon inherited.
        sb.env.update(REQUEST_METHOD="POST", QUERY_STRING="cgiaction=other")
        write(sb.path("/etc/unique-id"), "  ABC\r\n")
        write(sb.path("/etc/version.txt"), "# unit\nVersion:   2.1\nFlavour: beta\nComment: test\n")

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
        self.assertEqual(self.rpc(c, "configurationupdate", "5", "../a.cfg", 10, True),
                         ["5", "../a.cfg", False, "Invalid file name."])

    def test_system_info(self):
        c = self.connect()
        self.assertEqual(self.rpc(c, "getsysteminfo", "77"), ["77", "ABC", "   2.1 beta - test"])
        self.sandbox.wait_log("CCS: GetSystemInfo. Sending response...\n")
        os.remove(self.sandbox.path("/etc/version.txt"))
        self.assertEqual(self.rpc(c, "getsysteminfo", "78"), ["78", "ABC", ""])
        self.sandbox.wait_log("\nERROR: ")


if __name__ == "__main__":
    unittest.main()

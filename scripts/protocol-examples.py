#!/usr/bin/env python3
"""Records the examples of docs/protocol.md from real traffic and writes them
into the document.

Starts exchange-sim (in call-manager mode) and valtd in a sandbox under /tmp,
puts a recording TCP proxy on loopback in front of the daemon, plays a set of
scenes through the proxy with valtctl and with a small client of its own, and
then replaces every example block of docs/protocol.md, i.e. the text between

    <!-- example SCENE|SELECTION -->   and   <!-- end example -->

with the recorded messages, byte for byte apart from the line ends (every line
of a message ends with CR LF on the wire; the document shows one line a line).
SELECTION picks messages of the scene (uploads' body bytes and `OK`s are not
counted): `2-3`, `6-`, `1,3-7`, `last2`, or a method name, which picks that
request and the answer that follows it on the same connection (`NAME:TEXT`:
the first such request containing TEXT, which cannot hold `>`). A marker
`<!-- example! ... -->` numbers the messages it shows. `<!-- body SCENE -->`
describes the upload body of a scene.

    scripts/protocol-examples.py [--doc PATH] [--bin DIR] [--dump FILE]

--bin defaults to build/bin (scripts/build.sh first). Review the result with
`git diff docs/protocol.md`: a generated call ID changes on every run.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

CP = "Services.CallProcessingService."
SS = "Services.SystemService."
USER = "201"
PASSWORD = "secret201"
CRLF2 = b"\r\n\r\n"


class Recorder:
    """A TCP proxy on loopback in front of the daemon that records, per
    connection and direction, every byte in the order it passed."""

    def __init__(self, target_port):
        self.target = target_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.events = []  # (connection number, "C" or "D", bytes or None at close)
        self.count = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.count += 1
            daemon = socket.create_connection(("127.0.0.1", self.target))
            for src, dst, d in ((client, daemon, "C"), (daemon, client, "D")):
                threading.Thread(target=self._pump, args=(src, dst, d, self.count),
                                 daemon=True).start()

    def _pump(self, src, dst, direction, n):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            with self.lock:
                self.events.append((n, direction, data or None))
            if not data:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                src.close()
                return
            try:
                dst.sendall(data)
            except OSError:
                pass

    def take(self):
        with self.lock:
            events, self.events = self.events, []
        return events

    def seen(self, text):
        with self.lock:
            return any(data and text.encode() in data for _, _, data in self.events)

    def close(self):
        self.listener.close()


def split(events):
    """The recorded bytes cut into items, in the order they passed: messages
    (cut after CR LF CR LF), upload body bytes and the daemon's `OK`s."""
    buffers = {}
    items = []
    for n, d, data in events:
        if data is None:
            continue
        b = buffers.get((n, d), b"") + data
        while b:
            if d == "D" and b.startswith(b"OK"):
                items.append({"conn": n, "dir": d, "kind": "ok", "bytes": 2})
                b = b[2:]
                continue
            if d == "C" and not b.startswith(b"<?xml"):
                start = b.find(b"<?xml")
                body, b = (b, b"") if start < 0 else (b[:start], b[start:])
                items.append({"conn": n, "dir": d, "kind": "body", "bytes": len(body)})
                continue
            end = b.find(CRLF2)
            if end < 0:
                break
            items.append({"conn": n, "dir": d, "kind": "msg",
                          "text": b[:end].decode("utf-8", "replace")})
            b = b[end + 4:]
        buffers[(n, d)] = b
    return items


# ----------------------------------------------------------------------------
# A client writing the daemon's own layout: one element a line, CR LF.

def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def value(v):
    if isinstance(v, bool):
        return "<value><boolean>%d</boolean></value>\r\n" % v
    if isinstance(v, int):
        return "<value><int>%d</int></value>\r\n" % v
    if isinstance(v, str):
        return "<value><string>%s</string></value>\r\n" % escape(v)
    if isinstance(v, dict):
        members = "".join("\r\n<member>\r\n<name>%s</name>\r\n%s</member>" % (k, value(x))
                          for k, x in v.items())
        return "<value><struct>%s\r\n</struct></value>\r\n" % members
    if isinstance(v, list):
        return "<value><array><data>\r\n%s</data></array></value>\r\n" % "".join(
            value(x) for x in v)
    raise TypeError(v)


def params(values):
    return "<params>\r\n%s</params>\r\n" % "".join(
        "<param>\r\n%s</param>\r\n" % value(v) for v in values)


def request(method, *values):
    name = method if "." in method else CP + method
    return ('<?xml version="1.0"?>\r\n<methodCall>\r\n<methodName>%s</methodName>\r\n%s'
            '</methodCall>\r\n\r\n' % (name, params(values)))


def response(*values):
    return ('<?xml version="1.0"?>\r\n<methodResponse>\r\n%s</methodResponse>\r\n\r\n'
            % params(values))


def fault(code, text):
    return ('<?xml version="1.0"?>\r\n<methodResponse>\r\n<fault>\r\n%s</fault>\r\n'
            '</methodResponse>\r\n\r\n' % value({"faultCode": code, "faultString": text}))


# ----------------------------------------------------------------------------

class Stage:
    """The sandbox, the simulator, the daemon and the proxy of one recording."""

    def __init__(self, harness, bin_dir):
        self.h = harness
        self.bin = bin_dir
        self.sb = harness.Sandbox()
        self.recorded = {}
        self.rec = None
        self.tmp = os.path.join(self.sb.root, "client-files")
        os.makedirs(self.tmp)

    def close(self):
        if self.rec:
            self.rec.close()
        self.sb.close()

    def setup(self):
        sb = self.sb
        self.port = self.h.free_port()
        sb.valtconf("set", "listen-port", self.port)
        sb.valtconf("set", "admin-user", "admin")
        sb.valtconf("set", "admin-password", "adminpw")
        sb.valtconf("set", "vm-total-space-kb", 10000)
        prompts = sb.path("/prompts/201/")
        os.makedirs(prompts)
        for name in ("welcome.wav", "busy.wav", "notes.txt"):
            with open(os.path.join(prompts, name), "wb") as f:
                f.write(b"RIFF" + bytes(40))
        sb.valtconf("add-extension", USER, "--kind", "user", "--password", PASSWORD,
                    "--prompt-dir", prompts, "--prompt-share", 50)
        sb.valtconf("add-extension", "202", "--kind", "user", "--password", "secret202")
        sb.valtconf("add-gateway", 1, "--type", 3)
        sb.valtconf("add-fxs-line", 1, 0, "--user", "ipline1", "--password", "pw1")
        sb.valtconf("add-cm-line", 1, 0, "--extension", USER)
        os.makedirs(sb.path("/etc"), exist_ok=True)
        with open(sb.path("/etc/version.txt"), "w") as f:
            f.write("Version: 2.1.4\nFlavour: -std\nComment: build 118\n")
        with open(sb.path("/etc/unique-id"), "w") as f:
            f.write("00:0E:A3:12:34:56\n")
        os.makedirs(sb.path("/bin"), exist_ok=True)
        shutil.copy(os.path.join(ROOT, "tools", "fcgiclient", "fcgiclient"),
                    sb.path("/bin/fcgiclient"))
        os.chmod(sb.path("/bin/fcgiclient"), 0o755)

        self.sim = sb.start_sim()
        sb.start_daemon()
        self.control("callManager", True)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                return False
        self.h.wait_until(listening, what="valtd listening")
        self.rec = Recorder(self.port)

    def control(self, name, on):
        self.sim.send({"control": name, "value": on})
        self.sim.expect(lambda m: m.get("ack") == name)

    def settle(self, token):
        """Every event sent so far has reached the daemon, and what the daemon
        sent back has had time to pass the proxy."""
        self.sim.lines_until_sync(token)
        time.sleep(0.3)

    def client(self, authenticate=True):
        c = self.h.Client(self.rec.port)
        if authenticate:
            c.send_raw(request("authenticate", USER, PASSWORD))
            c.read_message()
        return c

    def valtctl(self, *args, user=USER, password=PASSWORD, options=(), wait=True):
        cmd = [os.path.join(self.bin, "valtctl"), "--port", str(self.rec.port),
               "--user", user, "--password", password] + list(options) + list(args)
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if wait:
            finish(p)
        return p

    def scene(self, title, play):
        self.rec.take()
        play(self)
        time.sleep(0.3)
        self.recorded[title] = split(self.rec.take())


def finish(p):
    try:
        out = p.communicate(timeout=60)[0]
    except subprocess.TimeoutExpired:
        p.kill()
        out = p.communicate()[0]
    if p.returncode not in (0, 1):
        raise RuntimeError("valtctl failed: %s" % out.decode(errors="replace"))


# ----------------------------------------------------------------------------
# The scenes.

def s_sysinfo(st):
    st.valtctl("sysinfo")


def s_digest(st):
    """A fixed time stamp, so that the digest in the text stays the same."""
    stamp = "1733420000"
    digest = hashlib.md5(("ipline1" + "pw1" + stamp).encode()).hexdigest()
    c = st.client(authenticate=False)
    c.send_raw(request("sauthenticate", "ipline1", stamp, digest))
    c.read_message()
    c.send_raw(request("getextension", "ipline1"))
    c.read_message()
    c.close()


def s_getext_unknown(st):
    st.valtctl("getext", "nobody")


def s_auth_failures(st):
    for method, values in (("authenticate", ("201", "wrong")),
                           ("authenticate", ("999", "x")),
                           ("sauthenticate", ("201", "1733420000", "0" * 32))):
        c = st.client(authenticate=False)
        c.send_raw(request(method, *values))
        c.read_message()
        c.closed_by_peer()
        c.close()


def s_require_auth(st):
    st.sb.valtconf("set", "require-auth", "true")
    st.sim.event("UpdateConfig", updateType=4192)
    st.sb.wait_log("CCS: UpdateConfigs:")
    st.settle("require-auth")
    c = st.client(authenticate=False)
    c.send_raw(request(SS + "getsysteminfo", "0") + request("authenticate", USER, PASSWORD))
    c.read_message()
    c.read_message()
    c.close()
    st.sb.valtconf("set", "require-auth", "false")
    st.sim.event("UpdateConfig", updateType=4192)
    st.settle("require-auth-off")


def s_faults(st):
    c = st.client()
    for text in (request("hangup", "7"), request("closecall", "7", "extra"),
                 request("closecall", "99")):
        c.send_raw(text)
        c.read_message()
    c.close()


def s_calls(st):
    p = st.valtctl("create", "--id", "7", "pbx:201", "tel:0301234", "Front Desk", ";",
                   "create", "pbx:201", "pbx:202", ";",
                   "wait", "--seconds", "1", ";",
                   "play", "7", "welcome.wav", "2", ";",
                   "dtmf", "7", "123", ";",
                   "detect-dtmf", "7", "on", ";",
                   "wait", "--seconds", "2", ";",
                   "transfer", "7", "pbx:202", ";",
                   "close", "7", wait=False)
    st.h.wait_until(lambda: st.rec.seen("enabledtmfdetection"), what="enabledtmfdetection")
    st.sim.event("DtmfDigitDetected", callId="7", digit="5")
    finish(p)


def s_crossing(st):
    """Two calls made with the simulator's call manager switched off, so that
    the order of the messages depends on this client alone."""
    st.control("callManager", False)
    c = st.client()
    for call in ("11", "12"):
        c.send_raw(request("createcall", call, "pbx:201", "tel:030123" + call[-1]))
        c.read_message()
    st.sim.event("CallStateChanged", callId="11", state=1)
    c.read_message()  # the daemon's request for call 11, not answered yet
    c.send_raw(request("joincalls", "11", "12"))
    c.read_message()  # the answer to joincalls
    st.sim.event("CallStateChanged", callId="12", state=1)
    c.read_message()  # the daemon's request for call 12
    c.send_raw(response("11") + response("12"))
    c.send_raw(request("unjoincalls", "11", "12"))
    c.read_message()
    c.close()
    st.settle("crossing")
    st.control("callManager", True)


def take(st, answer, call, remote=False):
    options = ["--remote-control"] if remote else []
    p = st.valtctl("take", "--answer", answer, *options, "--count", "1", USER, wait=False)
    st.sim.expect_cmd("IncomingCallHandling", ext=USER, enable=1)
    st.sim.event("CallArrived", callId=call, type=3, ext=USER,
                 **{"from": {"user": "0301234"}, "to": {"user": USER}})
    finish(p)
    st.settle("take")


def register(st):
    c = st.client()
    c.send_raw(request("incomingcallhandling", USER, True))
    c.read_message()
    st.sim.expect_cmd("IncomingCallHandling", ext=USER, enable=1)
    return c


def s_take_sip(st):
    c = register(st)
    st.sim.event("CallArrived", callId="1004", type=1, ext=USER, origCallId="1000",
                 **{"from": {"user": "300", "sipName": "Front Desk", "host": "10.0.0.9",
                             "port": "5060", "type": 1},
                    "to": {"user": USER, "host": "10.0.0.5"}})
    c.read_message()
    c.send_raw(response({"action": "accept", "callerid": "0301234",
                         "displayname": "Reception", "remotecontrol": True}, "1004"))
    st.sim.expect_cmd("AcceptCall", callId="1004")
    st.sim.event("CallStateChanged", callId="1004", state=3)
    c.read_message()
    c.send_raw(response("1004"))
    c.send_raw(request("incomingcallhandling", USER, False))
    c.read_message()
    st.sim.expect_cmd("IncomingCallHandling", ext=USER, enable=0)
    c.close()


def s_timeout(st):
    st.sb.valtconf("set", "request-timeout", 2)
    st.sim.event("UpdateConfig", updateType=4192)
    st.sb.wait_log("CCS: UpdateConfigs: Request Timeout: 2")
    c = register(st)
    st.sim.event("CallArrived", callId="3001", type=3, ext=USER,
                 **{"from": {"user": "0301234"}, "to": {"user": USER}})
    c.read_message()
    st.sim.expect_cmd("AcceptCall", callId="3001", timeout=10)
    c.send_raw(request("closecall", "3001"))
    c.read_message()
    c.close()
    st.sb.valtconf("set", "request-timeout", 10)
    st.sim.event("UpdateConfig", updateType=4192)
    st.sb.wait_log("CCS: UpdateConfigs: Request Timeout: 10")


def subscribe(st, kind, sid, *rest, events=()):
    p = st.valtctl("subscribe", "--id", sid, "--count", str(len(events)), kind, *rest,
                   wait=False)
    answer = "<methodResponse>\r\n<params>\r\n<param>\r\n<value><string>%s</string>" % sid
    st.h.wait_until(lambda: st.rec.seen(answer), what="the answer to subscribe")
    for event in events:
        st.sim.send(event)
    finish(p)


def s_cdr(st):
    subscribe(st, "cdr", "9", events=[{
        "event": "CDRArrived", "cdrType": 1,
        "cdr": {"duration": 42, "calledUser": "0301234", "callingUser": "201",
                "startTime": 1733419800, "from": "pbx:201", "to": "tel:0301234",
                "callGuid": "sim-7", "details": "normal clearing", "cirCaller": False},
        "statistics": {"RTP_Tx_Pack": 2100, "RTP_Tx_Codec": 8, "RTP_Tx_Pack_sz": 160,
                       "RTP_Rx_Pack": 2095, "RTP_Rx_Codec": 8, "RTP_Rx_Pack_sz": 160,
                       "RTP_Rx_Lost": 5, "RTP_Rx_Jitter": 12, "RTP_Rx_max_delay": 40}}])


def s_mail(st):
    subscribe(st, "mail", "10", USER, events=[{
        "event": "OnMNNotify", "subscriptionId": "10",
        "mail": {"from": {"user": "0301234", "type": 3}, "arrival": 1733419800,
                 "duration": 17, "mailId": 3}}])


def s_dialog(st):
    subscribe(st, "dialog", "11", USER, events=[{
        "event": "OnDialogNotify", "subscriptionId": "11", "dialogs": [
            {"callId": "7", "direction": 1, "event": 2, "dialogState": 3, "duration": 12,
             "replacesId": "0", "local": "<sip:201@10.0.0.5>",
             "remote": "\"Bob\" <sip:bob@example.org:5060>", "callType": 1, "callState": 2},
            {"callId": "8", "direction": 2, "event": 7, "dialogState": 5, "duration": -1,
             "local": "<sip:201@10.0.0.5>", "remote": "<sip:0301234@10.0.0.1>",
             "callType": 3}]}])


def s_presence(st):
    subscribe(st, "presence", "12", USER, events=[
        {"event": "OnPresenceNotify", "subscriptionId": "12", "state": 1}])


def s_extlist(st):
    subscribe(st, "extlist", "13", events=[{
        "event": "OnExtListNotify", "subscriptionId": "13", "extensions": [
            {"ext": "201", "display": "Front Desk", "sipAddress": "sip:201@10.0.0.5",
             "type": 1, "line": 0},
            {"ext": "500", "display": "Main menu", "sipAddress": "sip:500@10.0.0.5",
             "type": 0, "line": 0}]}])


def s_routing(st):
    subscribe(st, "routing", "14", events=[{
        "event": "OnCallOriginated", "callId": "2001", "type": 3, "ext": USER,
        "pattern": "2xx", "from": {"user": "0301234"}, "to": {"user": USER}}])


def s_refused(st):
    st.control("autoConfirm", False)
    c = st.client()
    c.send_raw(request("subscribe", "15", 4, {"extension": "999"}))
    st.sim.expect_cmd("ANSubscribe")
    st.sim.event("OnErrorConvey", subscriptionId="15", errorCode=7)
    c.read_message()
    st.control("autoConfirm", True)
    c.send_raw(request("subscribe", "16", 3, {"extension": USER}))
    c.read_message()
    c.send_raw(request("unsubscribe", "16"))
    c.read_message()
    c.close()


def s_deferred(st):
    st.control("autoConfirm", False)
    c = st.client()
    c.send_raw(request("subscribe", "21", 4, {"extension": USER}))
    st.sim.expect_cmd("ANSubscribe")
    c.send_raw(request(SS + "getsysteminfo", "5"))
    c.read_message()
    st.sim.event("OnConfirm", subscriptionId="21")
    c.read_message()
    st.control("autoConfirm", True)
    c.close()


def s_no_answer(st):
    c = st.client()
    c.send_raw(request("subscribe", "31", 7) + request("subscribe", "32", 1) +
               request("unsubscribe", "99") + request(SS + "getsysteminfo", "6"))
    c.read_message()
    c.close()


def s_prompts(st):
    st.valtctl("prompts", "list", "0", USER)


def upload_file(st):
    path = os.path.join(st.tmp, "intro.wav")
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(b"RIFF\x24\x00\x00\x00WAVE" + bytes(range(256)) * 8 + b"tail")
    return path


def s_upload(st):
    st.valtctl("prompts", "upload", "0", USER, upload_file(st))


def s_upload_again(st):
    st.valtctl("prompts", "upload", "0", USER, upload_file(st))


def s_delete(st):
    st.valtctl("prompts", "delete", "0", USER, "busy.wav")


def s_config(st):
    path = os.path.join(st.tmp, "site.cfg")
    with open(path, "w") as f:
        f.write("[system]\nname=demo\n")
    st.valtctl("config-upload", path)


SCENES = [
    ("sysinfo", s_sysinfo), ("digest", s_digest), ("getext-unknown", s_getext_unknown),
    ("auth-failures", s_auth_failures), ("require-auth", s_require_auth),
    ("faults", s_faults), ("calls", s_calls), ("crossing", s_crossing),
    ("take-accept", lambda st: take(st, "accept", "1001", remote=True)),
    ("take-decline", lambda st: take(st, "decline", "1002")),
    ("take-redirect", lambda st: take(st, "redirect:pbx:202,vm:201;7", "1003")),
    ("take-sip", s_take_sip), ("timeout", s_timeout),
    ("cdr", s_cdr), ("mail", s_mail), ("dialog", s_dialog), ("presence", s_presence),
    ("extlist", s_extlist), ("routing", s_routing), ("refused", s_refused),
    ("deferred", s_deferred), ("no-answer", s_no_answer),
    ("prompts", s_prompts), ("upload", s_upload), ("upload-again", s_upload_again),
    ("delete", s_delete), ("config", s_config),
]


# ----------------------------------------------------------------------------
# Writing the document.

def select(items, wanted):
    msgs = [m for m in items if m["kind"] == "msg"]
    chosen = []
    for part in wanted.split(","):
        part = part.strip()
        if part.startswith("last"):
            chosen += msgs[-int(part[4:]):]
        elif re.fullmatch(r"\d+-\d*", part):
            a, b = part.split("-")
            chosen += msgs[int(a):int(b) + 1 if b else None]
        elif part.isdigit():
            chosen.append(msgs[int(part)])
        else:
            name, _, contains = part.partition(":")
            tag = "<methodName>%s%s</methodName>" % ("" if "." in name else CP, name)
            for i, m in enumerate(msgs):
                if tag in m["text"] and contains in m["text"]:
                    chosen.append(m)
                    chosen += [n for n in msgs[i + 1:]
                               if n["dir"] != m["dir"] and n["conn"] == m["conn"]
                               and "<methodResponse>" in n["text"]][:1]
                    break
            else:
                raise SystemExit("no %s recorded" % part)
    return chosen


def block(m, number=None):
    label = "client → daemon" if m["dir"] == "C" else "daemon → client"
    if number is not None:
        label = "(%d) %s" % (number, label)
    return "*%s:*\n\n```xml\n%s\n```\n" % (label, m["text"].replace("\r\n", "\n"))


def body_text(items):
    total = sum(m["bytes"] for m in items if m["kind"] == "body")
    oks = sum(1 for m in items if m["kind"] == "ok")
    chunks = [1024] * (total // 1024) + ([total % 1024] if total % 1024 else [])
    return ("*client → daemon: the %d bytes of the file, raw, in chunks of %s bytes; "
            "daemon → client: the two bytes `OK` after each chunk (%d in all, no line "
            "end).*\n" % (total, ", ".join(map(str, chunks)), oks))


MARKER = re.compile(r"<!-- (example!?|body) ([^|>]+?)(?:\|([^>]*?))? -->\n.*?"
                    r"<!-- end example -->", re.S)


def check_markers(doc):
    if len(re.findall(r"<!-- (?:example|body)", doc)) != len(MARKER.findall(doc)):
        raise SystemExit("a marker of the document is malformed or has no end")


def render(doc, recorded):
    def fill(match):
        kind, scene, wanted = match.group(1), match.group(2), match.group(3)
        items = recorded[scene]
        if kind == "body":
            text = body_text(items)
        else:
            msgs = select(items, wanted)
            text = "\n".join(block(m, i + 1 if kind == "example!" else None)
                             for i, m in enumerate(msgs))
        head = match.group(0).split("\n", 1)[0]
        return "%s\n\n%s\n<!-- end example -->" % (head, text)
    return MARKER.sub(fill, doc)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--doc", default=os.path.join(ROOT, "docs", "protocol.md"))
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"))
    parser.add_argument("--dump", help="also write the recorded items as JSON")
    args = parser.parse_args()
    with open(args.doc) as f:
        doc = f.read()
    check_markers(doc)
    os.environ["VALTD_BIN_DIR"] = os.path.abspath(args.bin)
    import harness  # reads VALTD_BIN_DIR

    stage = Stage(harness, os.path.abspath(args.bin))
    try:
        stage.setup()
        for title, play in SCENES:
            stage.scene(title, play)
    finally:
        stage.close()
    if args.dump:
        with open(args.dump, "w") as f:
            json.dump(stage.recorded, f, indent=1)
    text = render(doc, stage.recorded)
    with open(args.doc, "w") as f:
        f.write(text)
    print("examples written to", args.doc)


if __name__ == "__main__":
    main()

// Interoperability with an independent XML-RPC implementation: Python's
// standard-library xmlrpc.client writes a request or answer of every method
// (with text that needs escaping), our classes must read each to the same
// values and write it again so that Python reads back what it wrote. What the
// daemon's own builders write is read by Python in every end-to-end test.
#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "TempRoot.h"
#include "XmlRpcTestSupport.h"
#include "xmlrpc/CallProcessingMethods.h"

namespace {

// "write" writes Python's texts (in_NNN.xml, and in_NNN.meta naming the kind
// and the method); "check" reads each beside our text of it (out_NNN.xml):
// both must give the same method and values, compared as JSON so that a
// boolean never passes for an integer (a date as its text).
const char kPythonScript[] = R"PY(
import json, os, sys, xmlrpc.client as x

d = sys.argv[1]
S = 'Services.CallProcessingService.'
Y = 'Services.SystemService.'
dlg = [{'CallID': '900', 'Local': '"Desk" <sip:200@h:5060>', 'CallType': 1, 'Dir': 0},
       {'Remote': '<sip:5@gw>', 'CallType': 0, 'ReferredBy': '', 'Replaces': '12'}]
requests = [
    (S + 'createcall', ('42', 'pbx:100', '"A & B" <sip:201@10.0.0.5>', 'Ann <&> \u00e9')),
    (S + 'createcall', ('0', 'pbx:100', 'tel:5551234')),
    ('services.callprocessingservice.CLOSECALL', ('42',)),
    (S + 'transfercall', ('42', 'pstn:0049301234')),
    (S + 'joincalls', ('42', '43')),
    (S + 'unjoincalls', ('42', 'abc')),
    (S + 'callstatechanged', ('42', 3)),
    (S + 'playmessage', ('42', 'hello.wav', 2)),
    (S + 'playmessage', ('42', 'hello.wav')),
    (S + 'messageplayed', ('42',)),
    (S + 'injectdtmf', ('42', '12#*')),
    (S + 'dtmfinjected', ('42',)),
    (S + 'enabledtmfdetection', ('42', True)),
    (S + 'dtmfdigitdetected', ('42', 49)),
    (S + 'incomingcallhandling', ('201', False)),
    (S + 'process', ({'Ext': '201', 'From': '"A" <sip:a@h:5060>', 'To': 'tel:1',
                      'Contact': '"A" <sip:a@h:5060>', 'OrigCallID': '0'}, '77')),
    (S + 'authenticate', ('user', 'p<w>&d')),
    (S + 'sauthenticate', ('user', '1700000000', 'abcdef0123')),
    (S + 'subscribe', ('9', 1, {'extension': '201'})),
    (S + 'subscribe', ('9', 2)),
    (S + 'unsubscribe', ('9',)),
    (S + 'mailarrived', ('9', {'From': 'vm:201;3', 'Time': x.DateTime('2024-03-05 14:07:09'),
                               'Duration': 12, 'MailID': 4})),
    (S + 'cdrarrived', ('9', 1, {'From': '201', 'To': '555', 'Start Time': '1764945000',
                                 'Duration': 61, 'CallGUID': 'g', 'Details': 'a; b',
                                 'CIRCaller': True}, {'RTP_Tx_Pack': 3, 'RTP_Tx_Codec': 'PCMA'})),
    (S + 'cdrarrived', ('9', 1, {'From': '201'})),
    (S + 'dlgarrived', ('9', dlg)),
    (S + 'prsarrived', ('9', True)),
    (S + 'getextension', ('bob',)),
    (Y + 'getsysteminfo', ('5',)),
    (Y + 'reloadsettings', ('6',)),
    (Y + 'getcdrs', ('7', '12', 100)),
    (Y + 'getwavfileslist', ('5', 0, '201')),
    (Y + 'beginfiletransfer', ('5', 1, '201', 'a.wav', 2049, False)),
    (Y + 'deletefile', ('5', 2, '201', 'a.wav')),
    (S + 'calloriginated', ({'Ext': '201', 'From': 'tel:1', 'To': 'tel:2', 'Pattern': '9*'}, '78')),
    (S + 'extlistarrived', ('9', [{'Ext': '201', 'Display': 'D', 'SipAddress': 'sip:201@h',
                                   'Type': 1, 'Line': 2}])),
    (S + 'extlistarrived', ('9', [])),
    (Y + 'configurationupdate', ('5', 'a.cfg', 100, True)),
    (Y + 'getstatus', ('5',)),
    ('system.listMethods', ()),
    ('system.methodSignature', ('system.listMethods',)),
    ('system.methodHelp', ('system.listMethods',)),
    ('system.multicall', ([{'methodName': 'system.listMethods', 'params': []}],)),
]
responses = [
    (S + 'closecall', ('42',)),
    (S + 'getextension', (True, '201')),
    (S + 'sauthenticate', (False, 'denied')),
    (S + 'process', ({'action': 'redirect', 'target': ['pbx:300;actor="msg-taker"', 'tel:5'],
                      'callerid': '1', 'displayname': 'D'}, '7')),
    (S + 'process', ({'action': 'accept', 'remotecontrol': True},)),
    (S + 'calloriginated', ({'action': 'accept', 'subscrid': '99'}, '8')),
    (S + 'subscribe', ('9', True, 0)),
    (Y + 'getsysteminfo', ('5', 'ABC', '2.1 beta - test')),
    (Y + 'getwavfileslist', ('5', '201', ['a.wav', 'b.wav'], True)),
    (Y + 'deletefile', ('5', 'a.wav', False)),
    (Y + 'beginfiletransfer', ('5', '201', 'a.wav', True, 'Space available for file upload.')),
    (Y + 'configurationupdate', ('5', 'a.cfg', True, 'Configuration uploaded successfully!')),
    (Y + 'getcdrs', ('7', {'State': 'ok', 'Error': '', 'Last': '12', 'Depth': '1', 'Dropped': '0',
                           'Bytes': '90', 'Oldest Age': '3'},
                     [{'Seq': '12', 'Arrived': '1764945000', 'Kind': 1, 'From': '201', 'To': '555',
                       'Start Time': '1764945000', 'Duration': 61, 'CallGUID': 'g',
                       'Details': 'a, "b"', 'CIRCaller': False}])),
]

texts = [('request', n, x.dumps(ps, n)) for n, ps in requests]
texts += [('response', n, "<?xml version='1.0'?>\n<methodResponse>\n" +
           x.Marshaller('utf-8').dumps(ps) + "</methodResponse>\n") for n, ps in responses]
methods = sorted(set(n.lower() for n, _ in requests))
texts += [('fault', n, x.dumps(x.Fault(5, 'no such call & <more>'), methodresponse=True))
          for n in methods]

def read(text):
    try:
        ps, name = x.loads(text)
        return json.dumps([(name or '').lower(), ps], default=str)
    except x.Fault as e:
        return 'F%d:%s' % (e.faultCode, e.faultString)

bad = 0
for i, (kind, name, text) in enumerate(texts):
    base = os.path.join(d, '%s_%03d.' % ('in' if sys.argv[2] == 'write' else 'out', i))
    if sys.argv[2] == 'write':
        open(base + 'xml', 'wb').write(text.encode('utf-8') + b'\r\n\r\n')
        open(base + 'meta', 'w').write(kind + ' ' + name)
    elif read(open(base + 'xml', 'rb').read().decode('utf-8')) != read(text):
        print('%s %s read differently from our text' % (kind, name))
        bad += 1
sys.exit(1 if bad else 0)
)PY";

int MethodIndexOf(const std::string& name) {
    for (int i = 0; i < kMethodCount; ++i) {
        if (strcasecmp(name.c_str(), XmlRpcRequestMethod::_Methods[i]) == 0) {
            return i;
        }
    }
    return -1;
}

class Interop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("python3 -c 'import xmlrpc.client' >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "python3 with xmlrpc.client is not available";
        }
        WriteFile(mDir + "/interop.py", kPythonScript);
    }

    // Runs the script in `mode` ("write" or "check").
    void RunPython(const char* mode) {
        const std::string out = mDir + "/python.out";
        const std::string cmd =
            "python3 '" + mDir + "/interop.py' '" + mDir + "' " + mode + " >'" + out + "' 2>&1";
        ASSERT_EQ(0, std::system(cmd.c_str())) << ReadFile(out);
    }

    TempRoot mTemp{false};
    std::string mDir = mTemp.Path();
};

}  // namespace

// Python writes every request, answers, and a fault as the answer to every
// method; we parse each, write it again with our classes, and Python must read
// from our text what it wrote.
TEST_F(Interop, PythonTextsParseAndOurRewritesReadTheSame) {
    RunPython("write");
    int read = 0;
    std::vector<bool> parsed(kMethodCount, false);
    for (;; ++read) {
        char name[16];
        snprintf(name, sizeof name, "_%03d.", read);
        const std::string base = mDir + "/in" + name;
        if (!std::filesystem::exists(base + "xml")) {
            break;
        }
        const std::string text = ReadFile(base + "xml");
        const std::string meta = ReadFile(base + "meta");
        const std::string kind = meta.substr(0, meta.find(' '));
        const std::string method = meta.substr(meta.find(' ') + 1);
        const int index = MethodIndexOf(method);
        ASSERT_GE(index, 0) << method;
        std::string ours;
        if (kind == "request") {
            ParsedRequest r(text);
            ASSERT_TRUE(r.ok()) << text;
            ASSERT_EQ(index, r.raw->GetMethodIndex()) << text;
            parsed[index] = true;
            ASSERT_TRUE(r.raw->BuildXML(ours)) << text;
            // The name is written as the method table has it.
            EXPECT_NE(ours.find(std::string("<methodName>") + XmlRpcRequestMethod::_Methods[index] +
                                "</methodName>"),
                      std::string::npos);
        } else {
            std::unique_ptr<XmlRpcRequestMethod> request(
                XmlRpcRequestMethod::CreateMethod(XmlRpcValueString(method)));
            ASSERT_TRUE(request);
            std::unique_ptr<XmlRpcResponseMethod> r(request->CreateResponseFromXML(text.c_str()));
            ASSERT_TRUE(r) << text;
            ASSERT_EQ(kind == "fault", r->IsFault()) << text;
            if (r->IsFault()) {
                EXPECT_EQ(index, r->GetMethodIndex()) << text;  // the method it answers
            }
            ASSERT_TRUE(r->BuildXML(ours)) << text;
        }
        WriteFile(mDir + "/out" + name + "xml", ours);
    }
    std::vector<bool> named(kMethodCount);
    for (int i = 0; i < kMethodCount; ++i) {
        named[i] = XmlRpcRequestMethod::Info(i).name != nullptr;
    }
    // Requests, answers, a fault for every method.
    EXPECT_EQ(42 + 13 + std::count(named.begin(), named.end(), true), read);
    EXPECT_EQ(named, parsed) << "a request class is missing";
    RunPython("check");
}

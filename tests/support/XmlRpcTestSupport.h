// Helpers shared by the XML-RPC tests: a command target that records every
// call as a line of text, and short-hands for reading values and messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "xmlrpc/XmlRpcMethod.h"
#include "xmlrpc/XmlRpcValue.h"

// Records each IRpcCallback call as "Name(arg,arg,...)".
class RecordingCallback : public IRpcCallback {
  public:
    std::vector<std::string> calls;

    static std::string Party(const CallParams& p) {
        std::ostringstream o;
        o << "{" << p.type << "|" << p.user << "|" << p.userSuffix << "|" << p.sipName << "|"
          << p.host << "|" << p.port << "}";
        return o.str();
    }

    static std::string Parties(const std::list<CallParams>& ps) {
        std::string out;
        for (const CallParams& p : ps) {
            out += Party(p);
        }
        return out;
    }
    template <typename... A>
    void Add(const char* name, const A&... args) {
        std::ostringstream o;
        o << name << "(";
        const char* sep = "";
        ((o << sep << args, sep = ","), ...);
        o << ")";
        calls.push_back(o.str());
    }

// One override that records its arguments under `name`.
#define VALTD_RECORD(signature, name, ...) \
    void signature override {              \
        Add(name, __VA_ARGS__);            \
    }

    using S = std::string;
    using Id = unsigned long long;
    VALTD_RECORD(AuthenticateCB(const S& u, const S& p), "Authenticate", u, p)
    VALTD_RECORD(SecureAuthenticateCB(const S& u, const S& t, const S& d), "SecureAuthenticate", u,
                 t, d)
    VALTD_RECORD(GetExtensionCB(const S& u), "GetExtension", u)
    VALTD_RECORD(IncomingCallHandlingCB(const S& e, long en), "IncomingCallHandling", e, en)
    VALTD_RECORD(CallArrivedCB(const Id& id, ExtCallType t, const S& e, const CallParams& f,
                               const CallParams& to, const Id& o),
                 "CallArrived", id, static_cast<int>(t), e, Party(f), Party(to), o)
    VALTD_RECORD(CallOriginatedCB(const Id& id, ExtCallType t, const S& e, const CallParams& f,
                                  const CallParams& to, const S& p),
                 "CallOriginated", id, static_cast<int>(t), e, Party(f), Party(to), p)
    VALTD_RECORD(AcceptCB(const Id& id, const S& c, const S& d, long v), "Accept", id, c, d, v)
    VALTD_RECORD(ForwardCB(const Id& id, const std::list<CallParams>& ts, const S& c, const S& d),
                 "Forward", id, Parties(ts), c, d)
    VALTD_RECORD(RejectCB(const Id& id), "Reject", id)
    VALTD_RECORD(CreateCB(const Id& id, const S& f, const CallParams& to, const S& d), "Create", id,
                 f, Party(to), d)
    VALTD_RECORD(TransferCB(const Id& id, const CallParams& to), "Transfer", id, Party(to))
    VALTD_RECORD(JoinCB(const Id& id, const Id& o), "Join", id, o)
    VALTD_RECORD(UnjoinCB(const Id& id, const Id& o), "Unjoin", id, o)
    VALTD_RECORD(PlayMessageCB(const Id& id, const S& f, int c), "PlayMessage", id, f, c)
    VALTD_RECORD(InjectDTMFCB(const Id& id, const S& k), "InjectDTMF", id, k)
    VALTD_RECORD(EnableDtmfDetectionCB(const Id& id, long e), "EnableDtmfDetection", id, e)
    VALTD_RECORD(CallStateChangedCB(const Id& id, int s), "CallStateChanged", id, s)
    VALTD_RECORD(DtmfDigitDetectedCB(const Id& id, char d), "DtmfDigitDetected", id, d)
    VALTD_RECORD(SubscribeMNCB(const Id& id, const S& e), "SubscribeMN", id, e)
    VALTD_RECORD(SubscribePresenceCB(const Id& id, const S& e), "SubscribePresence", id, e)
    VALTD_RECORD(SubscribeCDRCB(const Id& id), "SubscribeCDR", id)
    VALTD_RECORD(UnsubscribeCB(const Id& id, int t), "Unsubscribe", id, t)
    VALTD_RECORD(SubscribeResponseCB(const Id& id, bool s, int k), "SubscribeResponse", id, s, k)
    VALTD_RECORD(SubscribeExtListCB(const Id& id), "SubscribeExtList", id)
    VALTD_RECORD(MailArrivedCB(const Id& id, const MailSettings& m), "MailArrived", id,
                 Party(m.from), m.arrival, m.duration, m.mailId)
    VALTD_RECORD(FaultCB(const Id& id, int c, const S& t), "Fault", id, c, t)
#undef VALTD_RECORD

    void DialogArrivedCB(const Id& id, const std::list<DialogParams>& d) override {
        lastDialogs = d;
        Add("DialogArrived", id, d.size());
    }
    std::list<DialogParams> lastDialogs;
};

// Owns what CreateFromXML returns, leaving the two markers alone.
struct ParsedRequest {
    explicit ParsedRequest(const std::string& text)
        : raw(XmlRpcRequestMethod::CreateFromXML(text.c_str())) {}
    ~ParsedRequest() {
        if (raw != nullptr && raw != XmlRpcRequestMethod::_UnknownMethod) {
            delete raw;
        }
    }
    ParsedRequest(const ParsedRequest&) = delete;
    ParsedRequest& operator=(const ParsedRequest&) = delete;
    bool ok() const { return raw != nullptr && raw != XmlRpcRequestMethod::_UnknownMethod; }
    bool unknown() const { return raw == XmlRpcRequestMethod::_UnknownMethod; }
    XmlRpcRequestMethod* raw;
};

using Calls = std::vector<std::string>;

// Parses a request text (which must be served) and executes it against `cb`.
inline Calls Exec(const std::string& text, RecordingCallback& cb) {
    ParsedRequest r(text);
    EXPECT_TRUE(r.ok()) << text;
    if (r.ok()) {
        r.raw->Execute(cb);
    }
    return cb.calls;
}

inline Calls Exec(const std::string& text) {
    RecordingCallback cb;
    return Exec(text, cb);
}

// A request text as a client writes it: params given as ready value texts.
inline std::string RequestText(const std::string& name, const std::vector<std::string>& params) {
    std::string t = "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>" + name +
                    "</methodName>\r\n<params>\r\n";
    for (const std::string& p : params) {
        t += "<param>\r\n" + p + "</param>\r\n";
    }
    return t + "</params>\r\n</methodCall>\r\n\r\n";
}

inline std::string Str(const std::string& s) {
    return "<value><string>" + s + "</string></value>";
}
inline std::string Int(int v) {
    return "<value><int>" + std::to_string(v) + "</int></value>";
}
inline std::string Bool(bool v) {
    return std::string("<value><boolean>") + (v ? "1" : "0") + "</boolean></value>";
}

inline std::string Method(const char* tail) {
    return std::string("Services.CallProcessingService.") + tail;
}

// Parses one value text ("<value>...</value>"); null when it does not parse.
inline std::unique_ptr<XmlRpcValue> ParseValueText(const std::string& text) {
    XMLNavigator nav;
    nav.SetXMLSource(text.data(), text.size());
    std::unique_ptr<XmlRpcValue> v(XmlRpcValue::GetParamValue(nav));
    if (!v || !v->Parse(nav)) {
        return nullptr;
    }
    return v;
}

inline std::string Built(const XmlRpcValue& v) {
    std::string out;
    v.Build(out);
    return out;
}

inline std::string Built(XmlRpcMethod& m) {
    std::string out;
    return m.BuildXML(out) ? out : "<failed>";
}

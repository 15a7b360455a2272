// Helpers shared by the XML-RPC tests: a command target that records every
// call as a line of text, and short-hands for reading values and messages.
#pragma once

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
    int wavResult = 1;
    std::list<std::string> wavNames;
    std::string transferMessage = "ok";

    static std::string Party(const CallParams& p) {
        std::ostringstream o;
        o << "{" << p.type << "|" << p.user << "|" << p.userSuffix << "|" << p.sipName << "|"
          << p.host << "|" << p.port << "}";
        return o.str();
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

    void AuthenticateCB(const std::string& u, const std::string& p) override {
        Add("Authenticate", u, p);
    }
    void SecureAuthenticateCB(const std::string& u, const std::string& t,
                              const std::string& d) override {
        Add("SecureAuthenticate", u, t, d);
    }
    void GetExtensionCB(const std::string& u) override { Add("GetExtension", u); }
    void GetExtensionResponseCB(bool f, const std::string& t) override {
        Add("GetExtensionResponse", f, t);
    }
    void IncomingCallHandlingCB(const std::string& e, long en) override {
        Add("IncomingCallHandling", e, en);
    }
    void CallArrivedCB(const unsigned long long& id, ExtCallType t, const std::string& e,
                       const CallParams& f, const CallParams& to,
                       const unsigned long long& o) override {
        Add("CallArrived", id, static_cast<int>(t), e, Party(f), Party(to), o);
    }
    void CallOriginatedCB(const unsigned long long& id, ExtCallType t, const std::string& e,
                          const CallParams& f, const CallParams& to,
                          const std::string& p) override {
        Add("CallOriginated", id, static_cast<int>(t), e, Party(f), Party(to), p);
    }
    void AcceptCB(const unsigned long long& id, const std::string& c, const std::string& d,
                  long v) override {
        Add("Accept", id, c, d, v);
    }
    void AcceptCRCB(const unsigned long long& id, const unsigned long long& s) override {
        Add("AcceptCR", id, s);
    }
    void ForwardCB(const unsigned long long& id, const std::list<CallParams>& ts,
                   const std::string& c, const std::string& d) override {
        std::string list;
        for (const CallParams& t : ts) {
            list += Party(t);
        }
        Add("Forward", id, list, c, d);
    }
    void RejectCB(const unsigned long long& id) override { Add("Reject", id); }
    void CreateCB(const unsigned long long& id, const std::string& f, const CallParams& to,
                  const std::string& d) override {
        Add("Create", id, f, Party(to), d);
    }
    void CloseCB(const unsigned long long& id) override { Add("Close", id); }
    void TransferCB(const unsigned long long& id, const CallParams& to) override {
        Add("Transfer", id, Party(to));
    }
    void JoinCB(const unsigned long long& id, const unsigned long long& o) override {
        Add("Join", id, o);
    }
    void UnjoinCB(const unsigned long long& id, const unsigned long long& o) override {
        Add("Unjoin", id, o);
    }
    void PlayMessageCB(const unsigned long long& id, const std::string& f, int c) override {
        Add("PlayMessage", id, f, c);
    }
    void InjectDTMFCB(const unsigned long long& id, const std::string& k) override {
        Add("InjectDTMF", id, k);
    }
    void EnableDtmfDetectionCB(const unsigned long long& id, long e) override {
        Add("EnableDtmfDetection", id, e);
    }
    void CallStateChangedCB(const unsigned long long& id, int s) override {
        Add("CallStateChanged", id, s);
    }
    void MessagePlayedCB(const unsigned long long& id) override { Add("MessagePlayed", id); }
    void DTMFInjectedCB(const unsigned long long& id) override { Add("DTMFInjected", id); }
    void DtmfDigitDetectedCB(const unsigned long long& id, char d) override {
        Add("DtmfDigitDetected", id, d);
    }
    void SubscribeMNCB(const unsigned long long& id, const std::string& e) override {
        Add("SubscribeMN", id, e);
    }
    void SubscribeDialogCB(const unsigned long long& id, const std::string& e) override {
        Add("SubscribeDialog", id, e);
    }
    void SubscribePresenceCB(const unsigned long long& id, const std::string& e) override {
        Add("SubscribePresence", id, e);
    }
    void SubscribeCDRCB(const unsigned long long& id) override { Add("SubscribeCDR", id); }
    void SubscribeCRCB(const unsigned long long& id) override { Add("SubscribeCR", id); }
    void UnsubscribeCB(const unsigned long long& id, int t) override { Add("Unsubscribe", id, t); }
    void SubscribeResponseCB(const unsigned long long& id, bool s, int k) override {
        Add("SubscribeResponse", id, s, k);
    }
    void SubscribeExtListCB(const unsigned long long& id) override { Add("SubscribeExtList", id); }
    void ExtListArrivedCB(const unsigned long long& id, const std::list<Ext>& l) override {
        std::string list;
        for (const Ext& e : l) {
            list += "{" + e.ext + "|" + e.display + "|" + e.sipAddress + "|" +
                    std::to_string(e.type) + "|" + std::to_string(e.line) + "}";
        }
        Add("ExtListArrived", id, list);
    }
    void MailArrivedCB(const unsigned long long& id, const MailSettings& m) override {
        Add("MailArrived", id, Party(m.from), m.arrival, m.duration, m.mailId);
    }
    void CDRArrivedCB(const unsigned long long& id, int k, const RcCDR& c,
                      const CallStatistics* s) override {
        lastCdr = c;
        hadStatistics = s != nullptr;
        if (s != nullptr) {
            lastStatistics = *s;
        }
        Add("CDRArrived", id, k);
    }
    void DialogArrivedCB(const unsigned long long& id, const std::list<DialogParams>& d) override {
        lastDialogs = d;
        Add("DialogArrived", id, d.size());
    }
    void PresenceArrivedCB(const unsigned long long& id, bool d) override {
        Add("PresenceArrived", id, d);
    }
    void GetSystemInfoCB(const unsigned long long& id) override { Add("GetSystemInfo", id); }
    void FaultCB(const unsigned long long& id, int c, const std::string& t) override {
        Add("Fault", id, c, t);
    }
    int GetWAVListCB(int t, const std::string& e, std::list<std::string>* n) override {
        Add("GetWAVList", t, e);
        *n = wavNames;
        return wavResult;
    }
    int WAVFileDeleteCB(int t, const std::string& e, const std::string& f) override {
        Add("WAVFileDelete", t, e, f);
        return 1;
    }
    int FileTransferCB(int t, const std::string& e, const std::string& f, const int& s, bool tr,
                       std::string& m) override {
        Add("FileTransfer", t, e, f, s, tr);
        m = transferMessage;
        return 1;
    }
    int ConfigurationUpdateCB(const std::string& f, int& s, bool fl, std::string& m) override {
        Add("ConfigurationUpdate", f, s, fl);
        m = "done";
        return 1;
    }

    RcCDR lastCdr;
    CallStatistics lastStatistics;
    bool hadStatistics = false;
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
    XMLBuffer b(256);
    b.Set(text.c_str(), static_cast<unsigned>(text.size()));
    XMLNavigator nav;
    nav.SetXMLSource(b);
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
    if (!m.BuildXML(out)) {
        return "<failed>";
    }
    return out;
}

#include "Events.h"

#include <cstdio>
#include <ctime>
#include <list>

#include "base/NumberString.h"
#include "exchange/MediaControl.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SipAddress.h"
#include "xmlrpc/SubscriptionMethods.h"

namespace {

std::string Id(unsigned long long id) {
    return NumberToString(id);
}

std::string PartyText(const CallParams& party) {
    std::string text;
    return XmlRpcMethod::CallParamsToString(party, text) ? text : std::string();
}

std::string NameAddrText(const NameAddr& a) {
    if (a.user.empty() && a.host.empty()) {
        return std::string();
    }
    std::string text;
    return MergeSIPAddress(text, a.name, a.user, a.host, a.port, true) ? text : std::string();
}

std::string MemberText(const XmlRpcValueStruct& s, const char* name) {
    const XmlRpcValue* v = s.GetMemberValue(name);
    return v != nullptr && v->IsType(XmlRpcValue::TypeString)
               ? static_cast<const XmlRpcValueString*>(v)->mstrValue
               : std::string();
}

// Fills the event through the request's own Execute, which hands the decoded
// fields to the command interface.
class Decoder : public IRpcCallback {
  public:
    explicit Decoder(Event& event) : mEvent(event) {}

    void CallStateChangedCB(const unsigned long long& callId, int state) override {
        mEvent["call"] = Id(callId);
        mEvent["state"] = state;
        if (state == ExtCallState_Disconnected) {
            mEvent["ended"] = true;
        } else if (state == ExtCallState_Failed) {
            mEvent["failed"] = true;
        }
    }
    void MessagePlayedCB(const unsigned long long& callId) override { mEvent["call"] = Id(callId); }
    void DTMFInjectedCB(const unsigned long long& callId) override { mEvent["call"] = Id(callId); }
    void DtmfDigitDetectedCB(const unsigned long long& callId, char digit) override {
        mEvent["call"] = Id(callId);
        mEvent["digit"] = std::string(1, digit);
    }
    void MailArrivedCB(const unsigned long long& id, const MailSettings& mail) override {
        mEvent["subscription"] = Id(id);
        mEvent["from"] = PartyText(mail.from);
        char when[32] = "";
        time_t arrival = static_cast<time_t>(mail.arrival);
        struct tm local;
        if (mail.arrival != 0 && localtime_r(&arrival, &local) != nullptr) {
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
        }
        mEvent["time"] = when;
        mEvent["duration"] = mail.duration;
        mEvent["mailId"] = mail.mailId;
    }
    void CDRArrivedCB(const unsigned long long& id, int kind, const RcCDR& cdr,
                      const CallStatistics* st) override {
        mEvent["subscription"] = Id(id);
        mEvent["kind"] = kind;
        mEvent["from"] = cdr.callingUser;
        mEvent["to"] = cdr.calledUser;
        mEvent["start"] = cdr.startTime;
        mEvent["duration"] = cdr.duration;
        mEvent["guid"] = cdr.callGuid;
        mEvent["details"] = cdr.details;
        mEvent["cirCaller"] = cdr.cirCaller;
        if (st != nullptr) {
            mEvent["statistics"] = {
                {"RTP_Tx_Pack", st->rtpTxPack},
                {"RTP_Tx_Codec", GetNameByDspCodec(st->rtpTxCodec)},
                {"RTP_Tx_Pack_sz", st->rtpTxPackSz},
                {"RTP_Rx_Pack", st->rtpRxPack},
                {"RTP_Rx_Codec", GetNameByDspCodec(st->rtpRxCodec)},
                {"RTP_Rx_Pack_sz", st->rtpRxPackSz},
                {"RTP_Rx_Lost", st->rtpRxLost},
                {"RTP_Rx_Jitter", st->rtpRxJitter},
                {"RTP_Rx_max_delay", st->rtpRxMaxDelay},
                {"RTP_Delay_Inc_Count", st->rtpDelayIncCount},
                {"RTP_Delay_Dec_Count", st->rtpDelayDecCount},
                {"Fax_Tx_Pack", st->faxTxPack},
                {"Fax_Tx_Duble_Pack", st->faxTxDublePack},
                {"Fax_Rx_Pack", st->faxRxPack},
                {"Fax_Rx_Lost", st->faxRxLost},
                {"Fax_Rx_Bad", st->faxRxBad},
                {"Fax_Rx_Duble_Pack", st->faxRxDublePack},
            };
        }
    }
    void DialogArrivedCB(const unsigned long long& id,
                         const std::list<DialogParams>& dialogs) override {
        mEvent["subscription"] = Id(id);
        Event list = Event::array();
        for (const DialogParams& d : dialogs) {
            list.push_back({{"call", Id(d.callId)},
                            {"direction", d.direction},
                            {"state", d.dialogState},
                            {"event", d.event},
                            {"duration", d.duration},
                            {"replaces", Id(d.replacesId)},
                            {"callState", d.callState},
                            {"callType", d.callType},
                            {"local", NameAddrText(d.local)},
                            {"remote", NameAddrText(d.remote)},
                            {"referredBy", NameAddrText(d.referredBy)}});
        }
        mEvent["dialogs"] = list;
    }
    void PresenceArrivedCB(const unsigned long long& id, bool dnd) override {
        mEvent["subscription"] = Id(id);
        mEvent["dnd"] = dnd;
    }
    void ExtListArrivedCB(const unsigned long long& id, const std::list<Ext>& extensions) override {
        mEvent["subscription"] = Id(id);
        Event list = Event::array();
        for (const Ext& e : extensions) {
            list.push_back({{"ext", e.ext},
                            {"display", e.display},
                            {"sip", e.sipAddress},
                            {"type", e.type},
                            {"line", e.line}});
        }
        mEvent["extensions"] = list;
    }

  private:
    Event& mEvent;
};

// "process" and "calloriginated": the description struct as sent.
void DescribeOffer(const XmlRpcRequestMethod& offer, Event& event) {
    event["call"] = Id(offer.GetCallID());
    const XmlRpcValue* v = offer.GetParam(0);
    if (v == nullptr || !v->IsType(XmlRpcValue::TypeStruct)) {
        return;
    }
    const auto& s = static_cast<const XmlRpcValueStruct&>(*v);
    event["ext"] = MemberText(s, "Ext");
    event["from"] = MemberText(s, "From");
    event["to"] = MemberText(s, "To");
    if (offer.IsMethod(kMethodProcess)) {
        event["origCall"] = MemberText(s, "OrigCallID");
    } else {
        event["pattern"] = MemberText(s, "Pattern");
    }
}

bool NeedsQuotes(const std::string& text) {
    if (text.empty()) {
        return true;
    }
    for (char c : text) {
        if (c == ' ' || c == '"' || c == '=' || c == '\t' || c == '\n') {
            return true;
        }
    }
    return false;
}

std::string ValueText(const Event& value) {
    if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        return NeedsQuotes(s) ? Event(s).dump() : s;
    }
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Fields(const Event& object, const char* skip) {
    std::string text;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() == skip || (it->is_array() && !it->empty() && it->front().is_object())) {
            continue;
        }
        if (!text.empty()) {
            text += ' ';
        }
        text += it.key() + "=" + ValueText(*it);
    }
    return text;
}

}  // namespace

Event DescribeRequest(XmlRpcRequestMethod& request) {
    Event event;
    const int index = request.GetMethodIndex();
    std::string name =
        index >= 0 && index < kMethodCount ? XmlRpcRequestMethod::_Methods[index] : "unknown";
    event["event"] = name.substr(name.rfind('.') + 1);
    if (request.IsMethod(kMethodProcess) || request.IsMethod(kMethodCallOriginated)) {
        DescribeOffer(request, event);
        return event;
    }
    Decoder decoder(event);
    request.Execute(decoder);
    if (event.size() == 1) {
        // A request the tool has no decoder for: its ID at least.
        event["id"] = Id(request.GetCallID());
    }
    return event;
}

std::unique_ptr<XmlRpcResponseMethod> BuildOfferAnswer(const XmlRpcRequestMethod& offer,
                                                       const AnswerPolicy& policy,
                                                       unsigned long long subscriptionId,
                                                       std::string& decision) {
    const unsigned long long id = offer.GetCallID();
    if (offer.IsMethod(kMethodCallOriginated)) {
        auto answer = std::make_unique<CallOriginatedResponseMethod>();
        if (policy.kind == AnswerPolicy::kDecline) {
            answer->SetDeclineParams(id);
            decision = "decline";
        } else {
            answer->SetAcceptParams(id, subscriptionId);
            decision = "accept";
        }
        return answer;
    }
    if (!offer.IsMethod(kMethodProcess)) {
        return nullptr;
    }
    auto answer = std::make_unique<CallArrivedResponseMethod>();
    if (policy.kind == AnswerPolicy::kDecline) {
        answer->SetParams(id, std::string("declined"));
        decision = "decline";
        return answer;
    }
    if (policy.kind == AnswerPolicy::kRedirect) {
        std::list<CallParams> targets;
        for (const std::string& text : policy.targets) {
            CallParams party;
            if (XmlRpcMethod::CallParamsFromString(text, party)) {
                targets.push_back(party);
            }
        }
        if (!targets.empty() && answer->SetParams(id, targets, "", "")) {
            decision = "redirect";
            for (const std::string& text : policy.targets) {
                decision += (decision.size() == 8 ? ":" : ",") + text;
            }
            return answer;
        }
    }
    answer->SetParams(id, "", "", policy.remoteControl);
    decision = policy.remoteControl ? "accept (remote control)" : "accept";
    return answer;
}

std::string FormatEvent(const Event& event) {
    std::string text = event.value("event", std::string("event"));
    std::string fields = Fields(event, "event");
    if (!fields.empty()) {
        text += " " + fields;
    }
    for (auto it = event.begin(); it != event.end(); ++it) {
        if (it->is_array() && !it->empty() && it->front().is_object()) {
            for (const Event& entry : *it) {
                text += "\n  " + Fields(entry, "");
            }
        }
    }
    return text;
}

std::string EventLine(const Event& event, bool json) {
    return json ? event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                : FormatEvent(event);
}

void ReportError(bool json, int exitCode, const std::string& text) {
    std::fflush(stdout);
    if (json) {
        Event error;
        error["error"] = text;
        error["exit"] = exitCode;
        std::printf("%s\n", error.dump().c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "valtctl: %s\n", text.c_str());
    }
}

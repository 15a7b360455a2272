// The call methods the daemon sends about a call (state changes, played
// messages, injected and detected digits, offered calls) and the clients'
// decisions on offered calls. Declared in CallProcessingMethods.h.
#include "xmlrpc/CallProcessingMethods.h"

#include "xmlrpc/SipAddress.h"
#include "xmlrpc/XmlRpcMembers.h"

namespace m = xmlrpc_members;

namespace {

using V = XmlRpcValue;

const int kIdTypes[] = {V::TypeString};
const XmlRpcParamLayout kIdOnly = {kIdTypes, 1, 1, 0};
const int kIdIntTypes[] = {V::TypeString, V::TypeInt};
const XmlRpcParamLayout kIdInt = {kIdIntTypes, 2, 2, 0};
const int kOfferTypes[] = {V::TypeStruct, V::TypeString};
const XmlRpcParamLayout kOfferLayout = {kOfferTypes, 2, 2, 1};
const XmlRpcParamLayout kDecisionLayout = {kOfferTypes, 2, 1, 1};

const char kMsgTakerMark[] = "actor=\"msg-taker\"";

// A SIP party as SIP text; one that has no address to write (no host, a port
// that is not a number) as "tel:" with its user alone, so that the call is
// still offered and decided.
std::string SipOrUserText(const CallParams& p) {
    std::string text;
    if (p.host.empty() || !MergeSIPAddressEx(text, p.sipName, p.user, p.host, p.port)) {
        text = "tel:" + p.user;
    }
    return text;
}

// The calling party of an offer, written by the call type of the call.
bool PartyTextByCallType(int callType, const CallParams& p, std::string& text) {
    switch (callType) {
        case ExtCallType_PBX:
            text = "pbx:" + p.user;
            return true;
        case ExtCallType_SIP:
            text = SipOrUserText(p);
            return true;
        case ExtCallType_PSTN:
            text = "pstn:" + p.user;
            return true;
        case ExtCallType_AR:
            text = "ar:" + p.user;
            return true;
        case ExtCallType_VM:
            text = "vm:" + p.user;
            if (!p.userSuffix.empty()) {
                text += ";" + p.userSuffix;
            }
            return true;
        default:
            text = "tel:" + p.user;
            return true;
    }
}

// The called party of an offer: SIP text when it has a host, else "tel:".
bool CalledPartyText(const CallParams& p, std::string& text) {
    text = SipOrUserText(p);
    return true;
}

// Fills `party` (reset first) from a struct member holding party text.
void PartyFromMember(const XmlRpcValueStruct& s, const char* name, CallParams& party) {
    party.Reset();
    if (!XmlRpcMethod::CallParamsFromString(m::String(s, name), party)) {
        party.Reset();
    }
}

}  // namespace

// ---- daemon requests about a call ------------------------------------------

CallStateChangedMethod::CallStateChangedMethod()
    : XmlRpcRequestMethod(kMethodCallStateChanged, kIdInt) {}

bool CallStateChangedMethod::SetParams(const unsigned long long& id, int state) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = state;
    return true;
}

void CallStateChangedMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.CallStateChangedCB(GetCallID(), *IntParam(1));
    }
}

MessagePlayedMethod::MessagePlayedMethod() : XmlRpcRequestMethod(kMethodMessagePlayed, kIdOnly) {}

bool MessagePlayedMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

void MessagePlayedMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.MessagePlayedCB(GetCallID());
    }
}

DTMFInjectedMethod::DTMFInjectedMethod() : XmlRpcRequestMethod(kMethodDTMFInjected, kIdOnly) {}

bool DTMFInjectedMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

void DTMFInjectedMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.DTMFInjectedCB(GetCallID());
    }
}

DtmfDigitReceivedMethod::DtmfDigitReceivedMethod()
    : XmlRpcRequestMethod(kMethodDtmfDigitDetected, kIdInt) {}

bool DtmfDigitReceivedMethod::SetParams(const unsigned long long& id, int digit) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = digit;
    return true;
}

void DtmfDigitReceivedMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.DtmfDigitDetectedCB(GetCallID(), static_cast<char>(*IntParam(1) & 0xff));
    }
}

CallArrivedMethod::CallArrivedMethod() : XmlRpcRequestMethod(kMethodProcess, kOfferLayout) {}

namespace {

// The members an offered call (arrived or originated) starts with: the
// extension and the two parties as text; null when a party cannot be written.
std::unique_ptr<XmlRpcValueStruct> OfferStruct(ExtCallType type, const std::string& ext,
                                               const CallParams& from, const CallParams& to) {
    std::string fromText;
    std::string toText;
    if (!PartyTextByCallType(type, from, fromText) || !CalledPartyText(to, toText)) {
        return nullptr;
    }
    auto s = std::make_unique<XmlRpcValueStruct>();
    s->SetMemberValue("Ext", new XmlRpcValueString(ext));
    s->SetMemberValue("From", new XmlRpcValueString(fromText));
    s->SetMemberValue("To", new XmlRpcValueString(toText));
    return s;
}

// Reads the parties of an offer back; the call type is the caller's.
ExtCallType ReadOffer(const XmlRpcValueStruct& s, CallParams& from, CallParams& to) {
    PartyFromMember(s, "From", from);
    PartyFromMember(s, "To", to);
    return static_cast<ExtCallType>(from.type & ~kCallParamsMsgTakerBit);
}

}  // namespace

bool CallArrivedMethod::SetParams(const unsigned long long& id, ExtCallType type,
                                  const std::string& ext, const CallParams& from,
                                  const CallParams& to, const unsigned long long& origCallId) {
    std::unique_ptr<XmlRpcValueStruct> s = OfferStruct(type, ext, from, to);
    if (s == nullptr) {
        return false;
    }
    s->SetMemberValue("Contact", new XmlRpcValueString(m::String(*s, "From")));
    s->SetMemberValue("OrigCallID", new XmlRpcValueString(NumberToString(origCallId)));
    SetParam(0, s.release());
    SetIdParam(id);
    return true;
}

void CallArrivedMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    const XmlRpcValueStruct& s = *StructParam(0);
    CallParams from;
    CallParams to;
    const ExtCallType type = ReadOffer(s, from, to);
    target.CallArrivedCB(GetCallID(), type, m::String(s, "Ext"), from, to,
                         m::Id(m::String(s, "OrigCallID")));
}

XmlRpcResponseMethod* CallArrivedMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new CallArrivedResponseMethod();
}

CallOriginatedMethod::CallOriginatedMethod()
    : XmlRpcRequestMethod(kMethodCallOriginated, kOfferLayout) {}

bool CallOriginatedMethod::SetParams(const unsigned long long& id, ExtCallType type,
                                     const std::string& ext, const CallParams& from,
                                     const CallParams& to, const std::string& pattern) {
    std::unique_ptr<XmlRpcValueStruct> s = OfferStruct(type, ext, from, to);
    if (s == nullptr) {
        return false;
    }
    s->SetMemberValue("Pattern", new XmlRpcValueString(pattern));
    SetParam(0, s.release());
    SetIdParam(id);
    return true;
}

void CallOriginatedMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    const XmlRpcValueStruct& s = *StructParam(0);
    CallParams from;
    CallParams to;
    const ExtCallType type = ReadOffer(s, from, to);
    target.CallOriginatedCB(GetCallID(), type, m::String(s, "Ext"), from, to,
                            m::String(s, "Pattern"));
}

XmlRpcResponseMethod* CallOriginatedMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new CallOriginatedResponseMethod();
}

// ---- decisions on offered calls --------------------------------------------

namespace {

// A "CallID" member of the decision becomes the ID unless a second parameter
// already carries one.
void TakeCallIdMember(const XmlRpcValueStruct* decision, std::unique_ptr<XmlRpcValue>& first) {
    if (decision == nullptr || first) {
        return;
    }
    const XmlRpcValueString* id = m::Get<XmlRpcValueString>(*decision, "CallID");
    if (id != nullptr) {
        first.reset(new XmlRpcValueString(id->mstrValue));
    }
}

}  // namespace

CallArrivedResponseMethod::CallArrivedResponseMethod()
    : XmlRpcResponseMethod(kMethodProcess, kDecisionLayout) {}

bool CallArrivedResponseMethod::SetParams(const unsigned long long& id, const std::string& callerId,
                                          const std::string& displayName, bool remoteControl) {
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("action", new XmlRpcValueString("accept"));
    s->SetMemberValue("callerid", new XmlRpcValueString(callerId));
    s->SetMemberValue("displayname", new XmlRpcValueString(displayName));
    s->SetMemberValue("remotecontrol", new XmlRpcValueBool(remoteControl));
    SetParam(0, s);
    SetIdParam(id);
    return true;
}

bool CallArrivedResponseMethod::SetParams(const unsigned long long& id,
                                          const std::list<CallParams>& targets,
                                          const std::string& callerId,
                                          const std::string& displayName) {
    auto list = std::make_unique<XmlRpcValueArray>();
    for (const CallParams& t : targets) {
        std::string text;
        if (!CallParamsToString(t, text)) {
            return false;
        }
        if (t.type & kCallParamsMsgTakerBit) {
            text += ";";
            text += kMsgTakerMark;
        }
        list->Append(new XmlRpcValueString(text));
    }
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("action", new XmlRpcValueString("redirect"));
    s->SetMemberValue("target", list.release());
    s->SetMemberValue("callerid", new XmlRpcValueString(callerId));
    s->SetMemberValue("displayname", new XmlRpcValueString(displayName));
    SetParam(0, s);
    SetIdParam(id);
    return true;
}

bool CallArrivedResponseMethod::SetParams(const unsigned long long& id, const std::string& reason) {
    auto* reasons = new XmlRpcValueArray();
    reasons->Append(new XmlRpcValueString(reason));
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("action", new XmlRpcValueString("decline"));
    s->SetMemberValue("reason", reasons);
    SetParam(0, s);
    SetIdParam(id);
    return true;
}

bool CallArrivedResponseMethod::Parse(XMLNavigator& nav) {
    if (!ParseParams(nav, false)) {
        return false;
    }
    TakeCallIdMember(StructParam(0), mpFirstParam);
    return true;
}

int CallArrivedResponseMethod::GetAction() const {
    const XmlRpcValueStruct* s = StructParam(0);
    if (s == nullptr) {
        return ActionAccept;
    }
    const XmlRpcValueString* action = m::Get<XmlRpcValueString>(*s, "action");
    if (action == nullptr) {
        return ActionAccept;
    }
    XMLBuffer word;
    word.Set(action->mstrValue.data(), static_cast<unsigned>(action->mstrValue.size()));
    if (!action->mstrValue.empty() && word.EqualsNoCase("decline")) {
        return ActionDecline;
    }
    if (!action->mstrValue.empty() && word.EqualsNoCase("redirect")) {
        return ActionRedirect;
    }
    return ActionAccept;
}

void CallArrivedResponseMethod::Execute(IRpcCallback& target) {
    const XmlRpcValueStruct* s = StructParam(0);
    if (s == nullptr) {
        return;
    }
    const unsigned long long id = GetCallID();
    const std::string callerId = m::String(*s, "callerid");
    const std::string displayName = m::String(*s, "displayname");
    const int action = GetAction();
    if (action == ActionDecline) {
        target.RejectCB(id);
        return;
    }
    if (action == ActionRedirect) {
        std::list<CallParams> targets;
        const XmlRpcValueArray* list = m::Get<XmlRpcValueArray>(*s, "target");
        for (size_t i = 0; list != nullptr && i < list->mvValues.size(); ++i) {
            const XmlRpcValue* v = list->mvValues[i].get();
            if (!v->IsType(XmlRpcValue::TypeString)) {
                continue;
            }
            std::string text = static_cast<const XmlRpcValueString*>(v)->mstrValue;
            CallParams party;
            size_t mark = text.find(kMsgTakerMark);
            if (mark != std::string::npos) {
                party.type |= kCallParamsMsgTakerBit;
                size_t from = mark > 0 ? mark - 1 : 0;
                text.erase(from, mark - from + sizeof kMsgTakerMark - 1);
            }
            if (CallParamsFromString(text, party)) {
                targets.push_back(party);
            }
        }
        if (!targets.empty()) {
            target.ForwardCB(id, targets, callerId, displayName);
            return;
        }
    }
    target.AcceptCB(id, callerId, displayName, m::Bool(*s, "remotecontrol") ? 1 : 0);
}

CallOriginatedResponseMethod::CallOriginatedResponseMethod()
    : XmlRpcResponseMethod(kMethodCallOriginated, kDecisionLayout) {}

bool CallOriginatedResponseMethod::SetAcceptParams(const unsigned long long& id,
                                                   const unsigned long long& subscrId) {
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("action", new XmlRpcValueString("accept"));
    s->SetMemberValue("subscrid", new XmlRpcValueString(NumberToString(subscrId)));
    SetParam(0, s);
    SetIdParam(id);
    return true;
}

bool CallOriginatedResponseMethod::SetDeclineParams(const unsigned long long& id) {
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("action", new XmlRpcValueString("decline"));
    SetParam(0, s);
    SetIdParam(id);
    return true;
}

bool CallOriginatedResponseMethod::Parse(XMLNavigator& nav) {
    if (!ParseParams(nav, false)) {
        return false;
    }
    TakeCallIdMember(StructParam(0), mpFirstParam);
    return true;
}

int CallOriginatedResponseMethod::GetAction() const {
    const XmlRpcValueStruct* s = StructParam(0);
    const XmlRpcValueString* action =
        s != nullptr ? m::Get<XmlRpcValueString>(*s, "action") : nullptr;
    if (action == nullptr) {
        return 0;
    }
    XMLBuffer word;
    word.Set(action->mstrValue.data(), static_cast<unsigned>(action->mstrValue.size()));
    return (!action->mstrValue.empty() && word.EqualsNoCase("decline")) ? 1 : 0;
}

void CallOriginatedResponseMethod::Execute(IRpcCallback& target) {
    const XmlRpcValueStruct* s = StructParam(0);
    if (s == nullptr) {
        return;
    }
    if (GetAction() == 0) {
        target.AcceptCRCB(GetCallID(), m::Id(m::String(*s, "subscrid")));
    } else {
        target.RejectCB(GetCallID());
    }
}

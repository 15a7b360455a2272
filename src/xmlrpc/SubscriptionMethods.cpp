#include "xmlrpc/SubscriptionMethods.h"

#include <cstdlib>
#include <cstring>

#include "exchange/MediaControl.h"
#include "xmlrpc/SipAddress.h"
#include "xmlrpc/SubscriptionType.h"
#include "xmlrpc/XmlRpcMembers.h"

namespace m = xmlrpc_members;

namespace {

using V = XmlRpcValue;

const int kIdTypes[] = {V::TypeString};
const XmlRpcParamLayout kIdOnly = {kIdTypes, 1, 1, 0};
const int kSubscribeTypes[] = {V::TypeString, V::TypeInt, V::TypeStruct};
const XmlRpcParamLayout kSubscribeLayout = {kSubscribeTypes, 3, 2, 0};
const int kAnswerTypes[] = {V::TypeString, V::TypeBool, V::TypeInt};
const XmlRpcParamLayout kAnswerLayout = {kAnswerTypes, 3, 3, 0};
const int kIdStructTypes[] = {V::TypeString, V::TypeStruct};
const XmlRpcParamLayout kMailLayout = {kIdStructTypes, 2, 2, 0};
const int kIdArrayTypes[] = {V::TypeString, V::TypeArray};
const XmlRpcParamLayout kListLayout = {kIdArrayTypes, 2, 2, 0};
const int kIdBoolTypes[] = {V::TypeString, V::TypeBool};
const XmlRpcParamLayout kPresenceLayout = {kIdBoolTypes, 2, 2, 0};
const int kCdrTypes[] = {V::TypeString, V::TypeInt, V::TypeStruct, V::TypeStruct};
const XmlRpcParamLayout kCdrLayout = {kCdrTypes, 4, 3, 0};

const char kMailTimeFormat[] = "%Y-%m-%d %H:%M:%S";

// Members of the dialog struct and the values that leave them out.
constexpr int kDefaultDir = 2;
constexpr int kDefaultDlgState = 5;
constexpr int kDefaultEvent = 7;
constexpr int kDefaultDur = -1;
constexpr int kDefaultCallState = 0;

// Members of the statistics struct, in the order written.
const char* const kStatisticsMembers[17] = {
    "RTP_Tx_Pack",       "RTP_Tx_Codec",        "RTP_Tx_Pack_sz",      "RTP_Rx_Pack",
    "RTP_Rx_Codec",      "RTP_Rx_Pack_sz",      "RTP_Rx_Lost",         "RTP_Rx_Jitter",
    "RTP_Rx_max_delay",  "RTP_Delay_Inc_Count", "RTP_Delay_Dec_Count", "Fax_Tx_Pack",
    "Fax_Tx_Duble_Pack", "Fax_Rx_Pack",         "Fax_Rx_Lost",         "Fax_Rx_Bad",
    "Fax_Rx_Duble_Pack",
};

void ReadNameAddr(const XmlRpcValueStruct& s, const char* member, NameAddr& out) {
    std::string text = m::String(s, member);
    if (text.empty() || !ParseSIPAddress(text, out.name, out.user, out.host, out.port, true)) {
        out = NameAddr();
    }
}

}  // namespace

// ---- subscribe / unsubscribe -----------------------------------------------

SubscribeMethod::SubscribeMethod() : XmlRpcRequestMethod(kMethodSubscribe, kSubscribeLayout) {}

bool SubscribeMethod::SetKind(const unsigned long long& id, int kind, const std::string* ext) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = kind;
    if (ext != nullptr) {
        auto* options = new XmlRpcValueStruct();
        options->SetMemberValue("extension", new XmlRpcValueString(*ext));
        SetParam(2, options);
    } else {
        SetParam(2, nullptr);
    }
    return true;
}

bool SubscribeMethod::SetParamsMN(const unsigned long long& id, const std::string& ext) {
    return SetKind(id, SubscriptionType_MN, &ext);
}
bool SubscribeMethod::SetParamsCDR(const unsigned long long& id) {
    return SetKind(id, SubscriptionType_CDR, nullptr);
}
bool SubscribeMethod::SetParamsDialog(const unsigned long long& id, const std::string& ext) {
    return SetKind(id, SubscriptionType_Dialog, &ext);
}
bool SubscribeMethod::SetParamsPresence(const unsigned long long& id, const std::string& ext) {
    return SetKind(id, SubscriptionType_Presence, &ext);
}
bool SubscribeMethod::SetParamsCR(const unsigned long long& id) {
    return SetKind(id, SubscriptionType_CR, nullptr);
}
bool SubscribeMethod::SetParamsExtList(const unsigned long long& id) {
    return SetKind(id, SubscriptionType_ExtList, nullptr);
}

int SubscribeMethod::GetSubType() const {
    const int* kind = IntParam(1);
    return kind != nullptr ? *kind : 0;
}

std::string SubscribeMethod::GetExtension() const {
    const XmlRpcValueStruct* options = StructParam(2);
    const XmlRpcValueString* ext =
        options != nullptr ? m::Get<XmlRpcValueString>(*options, "extension") : nullptr;
    return ext != nullptr ? ext->mstrValue : std::string();
}

void SubscribeMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    const unsigned long long id = GetCallID();
    const XmlRpcValueStruct* options = StructParam(2);
    const XmlRpcValueString* ext =
        options != nullptr ? m::Get<XmlRpcValueString>(*options, "extension") : nullptr;
    switch (GetSubType()) {
        case SubscriptionType_MN:
            if (ext != nullptr) {
                target.SubscribeMNCB(id, ext->mstrValue);
            }
            break;
        case SubscriptionType_CDR:
            target.SubscribeCDRCB(id);
            break;
        case SubscriptionType_Dialog:
            if (ext != nullptr) {
                target.SubscribeDialogCB(id, ext->mstrValue);
            }
            break;
        case SubscriptionType_Presence:
            if (ext != nullptr) {
                target.SubscribePresenceCB(id, ext->mstrValue);
            }
            break;
        case SubscriptionType_CR:
            target.SubscribeCRCB(id);
            break;
        case SubscriptionType_ExtList:
            target.SubscribeExtListCB(id);
            break;
        default:
            break;
    }
}

XmlRpcResponseMethod* SubscribeMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new SubscribeResponseMethod();
}

UnsubscribeMethod::UnsubscribeMethod() : XmlRpcRequestMethod(kMethodUnsubscribe, kIdOnly) {}

bool UnsubscribeMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

void UnsubscribeMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.UnsubscribeCB(GetCallID(), mnSubType);
    }
}

SubscribeResponseMethod::SubscribeResponseMethod()
    : XmlRpcResponseMethod(kMethodSubscribe, kAnswerLayout) {}

bool SubscribeResponseMethod::SetParams(const unsigned long long& id, bool success, int kind) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueBool>(1).mbValue = success;
    EnsureParam<XmlRpcValueInt>(2).mnValue = kind;
    return true;
}

void SubscribeResponseMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.SubscribeResponseCB(GetCallID(), *BoolParam(1), *IntParam(2));
    }
}

// ---- notifications ---------------------------------------------------------

MailArrivedMethod::MailArrivedMethod() : XmlRpcRequestMethod(kMethodMailArrived, kMailLayout) {}

bool MailArrivedMethod::SetParams(const unsigned long long& id, const CallParams& from,
                                  time_t arrival, int duration, int mailId) {
    std::string fromText;
    if (!CallParamsToString(from, fromText)) {
        return false;
    }
    char when[64] = "";
    struct tm local;
    if (localtime_r(&arrival, &local) != nullptr) {
        std::strftime(when, sizeof when, kMailTimeFormat, &local);
    }
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("From", new XmlRpcValueString(fromText));
    s->SetMemberValue("Time", new XmlRpcValueDateTime(when));
    s->SetMemberValue("Duration", new XmlRpcValueInt(duration));
    s->SetMemberValue("MailID", new XmlRpcValueInt(mailId));
    SetParam(1, s);
    SetIdParam(id);
    return true;
}

void MailArrivedMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    const XmlRpcValueStruct& s = *StructParam(1);
    MailSettings mail;
    if (!CallParamsFromString(m::String(s, "From"), mail.from)) {
        mail.from.Reset();
    }
    const XmlRpcValueDateTime* when = m::Get<XmlRpcValueDateTime>(s, "Time");
    if (when != nullptr) {
        struct tm local;
        std::memset(&local, 0, sizeof local);
        const char* end = strptime(when->mstrValue.c_str(), kMailTimeFormat, &local);
        if (end != nullptr) {
            local.tm_isdst = -1;
            mail.arrival = static_cast<long long>(mktime(&local));
        }
    }
    mail.duration = m::Int(s, "Duration", 0);
    mail.mailId = static_cast<unsigned long>(static_cast<unsigned int>(m::Int(s, "MailID", 0)));
    target.MailArrivedCB(GetCallID(), mail);
}

DialogArrivedMethod::DialogArrivedMethod() : XmlRpcRequestMethod(kMethodDlgArrived, kListLayout) {}

bool DialogArrivedMethod::SetParams(const unsigned long long& id, const std::string& callId,
                                    int direction, int dialogState, int event, int duration,
                                    const std::string& replaces, int callState,
                                    const std::string& referredBy, const std::string& local,
                                    const std::string& remote, int callType) {
    SetIdParam(id);
    XmlRpcValueArray& list = EnsureParam<XmlRpcValueArray>(1);
    auto* s = new XmlRpcValueStruct();
    if (callId != "0") {
        s->SetMemberValue("CallID", new XmlRpcValueString(callId));
    }
    if (!local.empty()) {
        s->SetMemberValue("Local", new XmlRpcValueString(local));
    }
    if (!remote.empty()) {
        s->SetMemberValue("Remote", new XmlRpcValueString(remote));
    }
    s->SetMemberValue("CallType", new XmlRpcValueInt(callType));
    if (direction != kDefaultDir) {
        s->SetMemberValue("Dir", new XmlRpcValueInt(direction));
    }
    if (dialogState != kDefaultDlgState) {
        s->SetMemberValue("DlgState", new XmlRpcValueInt(dialogState));
    }
    if (event != kDefaultEvent) {
        s->SetMemberValue("Event", new XmlRpcValueInt(event));
    }
    if (duration != kDefaultDur) {
        s->SetMemberValue("Dur", new XmlRpcValueInt(duration));
    }
    if (replaces != "0") {
        s->SetMemberValue("Replaces", new XmlRpcValueString(replaces));
    }
    if (callState != kDefaultCallState) {
        s->SetMemberValue("CallState", new XmlRpcValueInt(callState));
    }
    if (!referredBy.empty()) {
        s->SetMemberValue("ReferredBy", new XmlRpcValueString(referredBy));
    }
    list.Append(s);
    return true;
}

void DialogArrivedMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    std::list<DialogParams> dialogs;
    for (const auto& v : ArrayParam(1)->mvValues) {
        if (!v->IsType(XmlRpcValue::TypeStruct)) {
            continue;
        }
        const auto& s = static_cast<const XmlRpcValueStruct&>(*v);
        DialogParams d;
        d.callId = m::Id(m::String(s, "CallID"));
        d.direction = m::Int(s, "Dir", kDefaultDir);
        d.dialogState = m::Int(s, "DlgState", kDefaultDlgState);
        d.event = m::Int(s, "Event", kDefaultEvent);
        d.duration = m::Int(s, "Dur", kDefaultDur);
        d.replacesId = m::Id(m::String(s, "Replaces"));
        d.callState = m::Int(s, "CallState", kDefaultCallState);
        d.callType = m::Int(s, "CallType", 0);
        ReadNameAddr(s, "ReferredBy", d.referredBy);
        ReadNameAddr(s, "Local", d.local);
        ReadNameAddr(s, "Remote", d.remote);
        dialogs.push_back(d);
    }
    target.DialogArrivedCB(GetCallID(), dialogs);
}

PresenceArrivedMethod::PresenceArrivedMethod()
    : XmlRpcRequestMethod(kMethodPrsArrived, kPresenceLayout) {}

bool PresenceArrivedMethod::SetParams(const unsigned long long& id, bool dnd) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueBool>(1).mbValue = dnd;
    return true;
}

void PresenceArrivedMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.PresenceArrivedCB(GetCallID(), *BoolParam(1));
    }
}

ExtListArrivedMethod::ExtListArrivedMethod()
    : XmlRpcRequestMethod(kMethodExtListArrived, kListLayout) {}

bool ExtListArrivedMethod::SetParams(const unsigned long long& id,
                                     const std::list<Ext>& extensions) {
    SetIdParam(id);
    auto* list = new XmlRpcValueArray();
    for (const Ext& e : extensions) {
        auto* s = new XmlRpcValueStruct();
        s->SetMemberValue("Ext", new XmlRpcValueString(e.ext));
        s->SetMemberValue("Display", new XmlRpcValueString(e.display));
        s->SetMemberValue("SipAddress", new XmlRpcValueString(e.sipAddress));
        s->SetMemberValue("Type", new XmlRpcValueInt(e.type));
        s->SetMemberValue("Line", new XmlRpcValueInt(e.line));
        list->Append(s);
    }
    SetParam(1, list);
    return true;
}

void ExtListArrivedMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    std::list<Ext> extensions;
    for (const auto& v : ArrayParam(1)->mvValues) {
        if (!v->IsType(XmlRpcValue::TypeStruct)) {
            continue;
        }
        const auto& s = static_cast<const XmlRpcValueStruct&>(*v);
        Ext e;
        e.ext = m::String(s, "Ext");
        e.display = m::String(s, "Display");
        e.sipAddress = m::String(s, "SipAddress");
        e.type = m::Int(s, "Type", 0);
        e.line = m::Int(s, "Line", 0);
        extensions.push_back(e);
    }
    target.ExtListArrivedCB(GetCallID(), extensions);
}

CDRArrivedMethod::CDRArrivedMethod() : XmlRpcRequestMethod(kMethodCDRArrived, kCdrLayout) {}

bool CDRArrivedMethod::SetParams(const unsigned long long& id, int kind, const RcCDR& cdr) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = kind;
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("From", new XmlRpcValueString(cdr.callingUser));
    s->SetMemberValue("To", new XmlRpcValueString(cdr.calledUser));
    s->SetMemberValue("Start Time", new XmlRpcValueString(NumberToString(cdr.startTime)));
    s->SetMemberValue("Duration", new XmlRpcValueInt(cdr.duration));
    s->SetMemberValue("CallGUID", new XmlRpcValueString(cdr.callGuid));
    s->SetMemberValue("Details", new XmlRpcValueString(cdr.details));
    s->SetMemberValue("CIRCaller", new XmlRpcValueBool(cdr.cirCaller));
    SetParam(2, s);
    return true;
}

bool CDRArrivedMethod::SetStatistics(int rtpTxPack, const std::string& rtpTxCodec, int rtpTxPackSz,
                                     int rtpRxPack, const std::string& rtpRxCodec, int rtpRxPackSz,
                                     int rtpRxLost, int rtpRxJitter, int rtpRxMaxDelay,
                                     int rtpDelayIncCount, int rtpDelayDecCount, int faxTxPack,
                                     int faxTxDublePack, int faxRxPack, int faxRxLost, int faxRxBad,
                                     int faxRxDublePack) {
    const int numbers[17] = {
        rtpTxPack,      rtpTxPack,   rtpTxPackSz,   rtpRxPack,        rtpRxPack,        rtpRxPackSz,
        rtpRxLost,      rtpRxJitter, rtpRxMaxDelay, rtpDelayIncCount, rtpDelayDecCount, faxTxPack,
        faxTxDublePack, faxRxPack,   faxRxLost,     faxRxBad,         faxRxDublePack};
    auto* s = new XmlRpcValueStruct();
    for (int i = 0; i < 17; ++i) {
        if (i == 1) {
            s->SetMemberValue(kStatisticsMembers[i], new XmlRpcValueString(rtpTxCodec));
        } else if (i == 4) {
            s->SetMemberValue(kStatisticsMembers[i], new XmlRpcValueString(rtpRxCodec));
        } else {
            s->SetMemberValue(kStatisticsMembers[i], new XmlRpcValueInt(numbers[i]));
        }
    }
    SetParam(3, s);
    return true;
}

bool CDRArrivedMethod::SetStatistics(const CallStatistics& st) {
    return SetStatistics(st.rtpTxPack, GetNameByDspCodec(st.rtpTxCodec), st.rtpTxPackSz,
                         st.rtpRxPack, GetNameByDspCodec(st.rtpRxCodec), st.rtpRxPackSz,
                         st.rtpRxLost, st.rtpRxJitter, st.rtpRxMaxDelay, st.rtpDelayIncCount,
                         st.rtpDelayDecCount, st.faxTxPack, st.faxTxDublePack, st.faxRxPack,
                         st.faxRxLost, st.faxRxBad, st.faxRxDublePack);
}

void CDRArrivedMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    const XmlRpcValueStruct& s = *StructParam(2);
    RcCDR cdr;
    cdr.callingUser = m::String(s, "From");
    cdr.calledUser = m::String(s, "To");
    cdr.startTime = std::strtoll(m::String(s, "Start Time").c_str(), nullptr, 10);
    cdr.duration = m::Int(s, "Duration", 0);
    cdr.callGuid = m::String(s, "CallGUID");
    cdr.details = m::String(s, "Details");
    cdr.cirCaller = m::Bool(s, "CIRCaller");
    const XmlRpcValueStruct* stats = StructParam(3);
    CallStatistics st;
    if (stats != nullptr) {
        int* fields[17] = {&st.rtpTxPack,        &st.rtpTxCodec,       &st.rtpTxPackSz,
                           &st.rtpRxPack,        &st.rtpRxCodec,       &st.rtpRxPackSz,
                           &st.rtpRxLost,        &st.rtpRxJitter,      &st.rtpRxMaxDelay,
                           &st.rtpDelayIncCount, &st.rtpDelayDecCount, &st.faxTxPack,
                           &st.faxTxDublePack,   &st.faxRxPack,        &st.faxRxLost,
                           &st.faxRxBad,         &st.faxRxDublePack};
        for (int i = 0; i < 17; ++i) {
            if (i == 1 || i == 4) {
                *fields[i] = GetDspCodecByName(m::String(*stats, kStatisticsMembers[i]));
            } else {
                *fields[i] = m::Int(*stats, kStatisticsMembers[i], 0);
            }
        }
    }
    target.CDRArrivedCB(GetCallID(), *IntParam(1), cdr, stats != nullptr ? &st : nullptr);
}

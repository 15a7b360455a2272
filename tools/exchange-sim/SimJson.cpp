#include "SimJson.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <type_traits>

using nlohmann::json;
using nlohmann::ordered_json;
using namespace exlink;

namespace sim {
namespace {

[[noreturn]] void Bad(const std::string& what) {
    throw std::runtime_error(what);
}

const json* Member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

long long I64Member(const json& object, const char* key) {
    const json* value = Member(object, key);
    if (value == nullptr) {
        return 0;
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1 : 0;
    }
    if (value->is_number_integer()) {
        return value->get<long long>();
    }
    if (value->is_string()) {
        const std::string text = value->get<std::string>();
        char* end = nullptr;
        errno = 0;
        long long n = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE) {
            Bad(std::string("\"") + key + "\" is not a decimal number");
        }
        return n;
    }
    Bad(std::string("\"") + key + "\" must be a number");
}

int IntMember(const json& object, const char* key) {
    long long n = I64Member(object, key);
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max()) {
        Bad(std::string("\"") + key + "\" is out of range");
    }
    return static_cast<int>(n);
}

std::string StrMember(const json& object, const char* key) {
    const json* value = Member(object, key);
    if (value == nullptr) {
        return "";
    }
    if (!value->is_string()) {
        Bad(std::string("\"") + key + "\" must be a string");
    }
    return value->get<std::string>();
}

bool BoolMember(const json& object, const char* key) {
    return I64Member(object, key) != 0;
}

const json& ObjectMember(const json& object, const char* key) {
    static const json empty = json::object();
    const json* value = Member(object, key);
    if (value == nullptr) {
        return empty;
    }
    if (!value->is_object()) {
        Bad(std::string("\"") + key + "\" must be an object");
    }
    return *value;
}

const json& ArrayMember(const json& object, const char* key) {
    static const json empty = json::array();
    const json* value = Member(object, key);
    if (value == nullptr) {
        return empty;
    }
    if (!value->is_array()) {
        Bad(std::string("\"") + key + "\" must be an array");
    }
    return *value;
}

const char* const kPartyTexts[] = {"user", "userSuffix", "sipName", "displayName", "host",
                                   "port", "transport",  "tag",     "contact",     "extra"};

std::string* PartyText(CallParams& p, int i) {
    std::string* fields[] = {&p.user, &p.userSuffix, &p.sipName, &p.displayName, &p.host,
                             &p.port, &p.transport,  &p.tag,     &p.contact,     &p.extra};
    return fields[i];
}

CallParams PartyFromJson(const json& object) {
    if (!object.is_object()) {
        Bad("a call party must be an object");
    }
    CallParams p;
    for (int i = 0; i < 10; ++i) {
        *PartyText(p, i) = StrMember(object, kPartyTexts[i]);
    }
    long long type = I64Member(object, "type");
    if (type < 0 || type > std::numeric_limits<unsigned int>::max()) {
        Bad("\"type\" is out of range");
    }
    p.type = static_cast<unsigned int>(type);
    return p;
}

// The six fields the daemon sets always, the other four when they are not empty.
ordered_json PartyToJson(const CallParams& p, bool withMsgTaker = false) {
    ordered_json out;
    CallParams copy = p;
    for (int i = 0; i < 10; ++i) {
        bool alwaysShown = i != 3 && i < 6;
        if (alwaysShown || !PartyText(copy, i)->empty()) {
            out[kPartyTexts[i]] = *PartyText(copy, i);
        }
    }
    if (withMsgTaker) {
        out["type"] = p.type & ~kCallParamsMsgTakerBit;
        out["msgTaker"] = (p.type & kCallParamsMsgTakerBit) != 0;
    } else {
        out["type"] = p.type;
    }
    return out;
}

std::string Id(unsigned long long id) {
    return std::to_string(id);
}

RcCDR CdrFromJson(const json& o) {
    RcCDR cdr;
    cdr.duration = IntMember(o, "duration");
    cdr.calledUser = StrMember(o, "calledUser");
    cdr.callingUser = StrMember(o, "callingUser");
    cdr.startTime = I64Member(o, "startTime");
    cdr.from = StrMember(o, "from");
    cdr.to = StrMember(o, "to");
    cdr.callGuid = StrMember(o, "callGuid");
    cdr.details = StrMember(o, "details");
    cdr.cirCaller = BoolMember(o, "cirCaller");
    return cdr;
}

CallStatistics StatisticsFromJson(const json& o) {
    CallStatistics s;
    int* fields[] = {&s.rtpTxPack,      &s.rtpTxCodec,       &s.rtpTxPackSz,      &s.rtpRxPack,
                     &s.rtpRxCodec,     &s.rtpRxPackSz,      &s.rtpRxLost,        &s.rtpRxJitter,
                     &s.rtpRxMaxDelay,  &s.rtpDelayIncCount, &s.rtpDelayDecCount, &s.faxTxPack,
                     &s.faxTxDublePack, &s.faxRxPack,        &s.faxRxLost,        &s.faxRxBad,
                     &s.faxRxDublePack};
    const char* names[] = {"RTP_Tx_Pack",         "RTP_Tx_Codec",        "RTP_Tx_Pack_sz",
                           "RTP_Rx_Pack",         "RTP_Rx_Codec",        "RTP_Rx_Pack_sz",
                           "RTP_Rx_Lost",         "RTP_Rx_Jitter",       "RTP_Rx_max_delay",
                           "RTP_Delay_Inc_Count", "RTP_Delay_Dec_Count", "Fax_Tx_Pack",
                           "Fax_Tx_Duble_Pack",   "Fax_Rx_Pack",         "Fax_Rx_Lost",
                           "Fax_Rx_Bad",          "Fax_Rx_Duble_Pack"};
    for (int i = 0; i < 17; ++i) {
        *fields[i] = IntMember(o, names[i]);
    }
    return s;
}

NameAddr NameAddrMember(const json& o, const char* key) {
    return ParseNameAddr(StrMember(o, key));
}

std::string Trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return "";
    }
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

unsigned long long U64Member(const json& object, const char* key) {
    const json* value = Member(object, key);
    if (value == nullptr) {
        return 0;
    }
    if (value->is_number_unsigned()) {
        return value->get<unsigned long long>();
    }
    if (value->is_number_integer()) {
        Bad(std::string("\"") + key + "\" must not be negative");
    }
    if (value->is_string()) {
        const std::string text = value->get<std::string>();
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
            Bad(std::string("\"") + key + "\" is not a decimal number");
        }
        errno = 0;
        unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == ERANGE) {
            Bad(std::string("\"") + key + "\" is out of range");
        }
        return n;
    }
    Bad(std::string("\"") + key + "\" must be a decimal string or a number");
}

NameAddr ParseNameAddr(const std::string& input) {
    NameAddr out;
    std::string text = Trim(input);
    std::string uri;
    if (!text.empty() && text[0] == '"') {
        std::size_t i = 1;
        for (; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                ++i;
            }
            out.name += text[i];
        }
        if (i >= text.size()) {
            Bad("unterminated display name in \"" + input + "\"");
        }
        text = Trim(text.substr(i + 1));
    }
    std::size_t open = text.find('<');
    if (open != std::string::npos) {
        std::size_t close = text.find('>', open);
        if (close == std::string::npos) {
            Bad("missing '>' in \"" + input + "\"");
        }
        if (out.name.empty()) {
            out.name = Trim(text.substr(0, open));
        }
        uri = text.substr(open + 1, close - open - 1);
    } else {
        uri = text;
    }
    if (uri.compare(0, 4, "sip:") == 0) {
        uri.erase(0, 4);
    } else if (uri.compare(0, 5, "sips:") == 0) {
        uri.erase(0, 5);
    }
    uri = uri.substr(0, uri.find(';'));
    std::size_t at = uri.find('@');
    std::string hostPort = uri;
    if (at != std::string::npos) {
        out.user = uri.substr(0, at);
        hostPort = uri.substr(at + 1);
    }
    std::size_t colon = hostPort.rfind(':');
    if (colon != std::string::npos) {
        out.port = hostPort.substr(colon + 1);
        hostPort.erase(colon);
    }
    out.host = hostPort;
    return out;
}

ExchangeMessage EventFromJson(const json& o, EventTarget& target) {
    const std::string name = StrMember(o, "event");
    target = EventTarget::kCallManagerQueue;
    if (name == CallArrivedEv::kName) {
        return CallArrivedEv{U64Member(o, "callId"),
                             IntMember(o, "type"),
                             StrMember(o, "ext"),
                             PartyFromJson(ObjectMember(o, "from")),
                             PartyFromJson(ObjectMember(o, "to")),
                             U64Member(o, "origCallId"),
                             I64Member(o, "data")};
    }
    if (name == CallOriginatedEv::kName) {
        return CallOriginatedEv{U64Member(o, "callId"),
                                IntMember(o, "type"),
                                StrMember(o, "ext"),
                                PartyFromJson(ObjectMember(o, "from")),
                                PartyFromJson(ObjectMember(o, "to")),
                                StrMember(o, "pattern"),
                                I64Member(o, "data")};
    }
    if (name == CallStateChangedEv::kName) {
        return CallStateChangedEv{U64Member(o, "callId"), IntMember(o, "state")};
    }
    if (name == MessagePlayedEv::kName) {
        return MessagePlayedEv{U64Member(o, "callId")};
    }
    if (name == DTMFInjectedEv::kName) {
        return DTMFInjectedEv{U64Member(o, "callId")};
    }
    if (name == DtmfDigitDetectedEv::kName) {
        std::string digit = StrMember(o, "digit");
        if (digit.size() != 1) {
            Bad("\"digit\" must be one character");
        }
        return DtmfDigitDetectedEv{U64Member(o, "callId"), digit[0]};
    }
    if (name == CDRArrivedEv::kName) {
        CDRArrivedEv event{IntMember(o, "cdrType"), CdrFromJson(ObjectMember(o, "cdr")),
                           std::nullopt};
        if (Member(o, "statistics") != nullptr) {
            event.statistics = StatisticsFromJson(ObjectMember(o, "statistics"));
        }
        return event;
    }
    if (name == UpdateConfigEv::kName) {
        return UpdateConfigEv{IntMember(o, "updateType")};
    }

    target = EventTarget::kNotificationQueue;
    const unsigned long long subscriptionId = U64Member(o, "subscriptionId");
    if (name == ANSubscribeResultEv::kName) {
        return ANSubscribeResultEv{subscriptionId, IntMember(o, "result")};
    }
    if (name == ANUnsubscribeResultEv::kName) {
        return ANUnsubscribeResultEv{subscriptionId, IntMember(o, "result")};
    }
    if (name == MNNotifyEv::kName) {
        const json& mail = ObjectMember(o, "mail");
        MailSettings settings;
        settings.from = PartyFromJson(ObjectMember(mail, "from"));
        settings.arrival = I64Member(mail, "arrival");
        settings.duration = IntMember(mail, "duration");
        settings.mailId = static_cast<unsigned long>(U64Member(mail, "mailId"));
        return MNNotifyEv{subscriptionId, settings};
    }
    if (name == DialogNotifyEv::kName) {
        DialogNotifyEv event{subscriptionId, {}};
        for (const json& d : ArrayMember(o, "dialogs")) {
            if (!d.is_object()) {
                Bad("each dialog must be an object");
            }
            DialogParams p;
            p.callId = U64Member(d, "callId");
            p.direction = IntMember(d, "direction");
            p.event = IntMember(d, "event");
            p.dialogState = IntMember(d, "dialogState");
            p.duration = IntMember(d, "duration");
            p.replacesId = U64Member(d, "replacesId");
            p.referredBy = NameAddrMember(d, "referredBy");
            p.local = NameAddrMember(d, "local");
            p.remote = NameAddrMember(d, "remote");
            p.callType = IntMember(d, "callType");
            p.callState = IntMember(d, "callState");
            event.dialogs.push_back(p);
        }
        return event;
    }
    if (name == ExtListNotifyEv::kName) {
        ExtListNotifyEv event{subscriptionId, {}};
        for (const json& e : ArrayMember(o, "extensions")) {
            if (!e.is_object()) {
                Bad("each extension must be an object");
            }
            event.extensions.push_back(Ext{StrMember(e, "ext"), StrMember(e, "display"),
                                           StrMember(e, "sipAddress"), IntMember(e, "type"),
                                           IntMember(e, "line")});
        }
        return event;
    }
    if (name == PresenceNotifyEv::kName) {
        return PresenceNotifyEv{subscriptionId, I64Member(o, "state")};
    }
    if (name == ConfirmEv::kName) {
        return ConfirmEv{subscriptionId};
    }
    if (name == ErrorConveyEv::kName) {
        return ErrorConveyEv{subscriptionId, PUAErrorCode{IntMember(o, "errorCode")}};
    }
    if (name == ANPartyStateChangedEv::kName) {
        return ANPartyStateChangedEv{BoolMember(o, "connected")};
    }

    target = EventTarget::kPoller;
    if (name == ForcedAlertEv::kName) {
        return ForcedAlertEv{};
    }
    Bad("unknown event \"" + name + "\"");
}

ordered_json CommandToJson(const ExchangeMessage& command) {
    ordered_json out;
    out["cmd"] = MessageName(command);
    std::visit(
        [&out](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, IncomingCallHandlingCmd>) {
                out["ext"] = m.ext;
                out["enable"] = m.enable;
                out["requester"] = Id(m.requester);
            } else if constexpr (std::is_same_v<T, AcceptCallCmd>) {
                out["callId"] = Id(m.callId);
                out["callerId"] = m.callerId;
                out["displayName"] = m.displayName;
                out["virtualAccept"] = m.virtualAccept;
            } else if constexpr (std::is_same_v<T, ForwardCallCmd>) {
                out["callId"] = Id(m.callId);
                out["targets"] = ordered_json::array();
                for (const CallParams& target : m.targets) {
                    out["targets"].push_back(PartyToJson(target, true));
                }
                out["callerId"] = m.callerId;
                out["displayName"] = m.displayName;
            } else if constexpr (std::is_same_v<T, RejectCallCmd> ||
                                 std::is_same_v<T, CloseCallCmd>) {
                out["callId"] = Id(m.callId);
            } else if constexpr (std::is_same_v<T, CreateCallCmd>) {
                out["callId"] = Id(m.callId);
                out["from"] = m.from;
                out["to"] = PartyToJson(m.to);
                out["displayName"] = m.displayName;
            } else if constexpr (std::is_same_v<T, TransferCallCmd>) {
                out["callId"] = Id(m.callId);
                out["to"] = PartyToJson(m.to);
            } else if constexpr (std::is_same_v<T, JoinCallsCmd> ||
                                 std::is_same_v<T, UnjoinCallsCmd>) {
                out["callId"] = Id(m.callId);
                out["otherCallId"] = Id(m.otherCallId);
            } else if constexpr (std::is_same_v<T, PlayMessageCmd>) {
                out["callId"] = Id(m.callId);
                out["file"] = m.file;
                out["count"] = m.count;
            } else if constexpr (std::is_same_v<T, InjectDTMFCmd>) {
                out["callId"] = Id(m.callId);
                out["digits"] = m.digits;
            } else if constexpr (std::is_same_v<T, EnableDtmfDetectionCmd>) {
                out["callId"] = Id(m.callId);
                out["enable"] = m.enable;
            } else if constexpr (std::is_same_v<T, SubscribeToCDRCmd> ||
                                 std::is_same_v<T, SubscribeToCRCmd>) {
                out["subscribe"] = m.subscribe;
            } else if constexpr (std::is_same_v<T, ANSubscribeCmd>) {
                out["package"] = m.package;
                out["user"] = m.from.user;
                out["subscriptionId"] = Id(m.subscriptionId);
            } else if constexpr (std::is_same_v<T, ANUnsubscribeCmd>) {
                out["subscriptionId"] = Id(m.subscriptionId);
            } else {
                Bad(std::string("\"") + T::kName + "\" is not a command");
            }
        },
        command);
    return out;
}

}  // namespace sim

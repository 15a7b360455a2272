// Text codec of the exchange link: every command the daemon sends to the call
// manager or the notification service, and every event they send back, as one
// struct each, gathered in the variant ExchangeMessage. Shared by the daemon's
// messengers and by the exchange simulator. The format is in docs/exchange-link.md.
//
// Threads: plain functions over values, no shared state; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <variant>

#include "exchange/MessagingTypes.h"

namespace exlink {

// Version word that begins every datagram.
constexpr const char* kVersionTag = "EXL1";

// Commands to the call manager.
struct IncomingCallHandlingCmd {
    static constexpr const char* kName = "IncomingCallHandling";
    std::string ext;
    long long enable = 0;
    unsigned long long requester = 0;
};
struct AcceptCallCmd {
    static constexpr const char* kName = "AcceptCall";
    unsigned long long callId = 0;
    std::string callerId;
    std::string displayName;
    long long virtualAccept = 0;
};
struct ForwardCallCmd {
    static constexpr const char* kName = "ForwardCall";
    unsigned long long callId = 0;
    std::list<CallParams> targets;
    std::string callerId;
    std::string displayName;
};
struct RejectCallCmd {
    static constexpr const char* kName = "RejectCall";
    unsigned long long callId = 0;
};
struct CloseCallCmd {
    static constexpr const char* kName = "CloseCall";
    unsigned long long callId = 0;
};
struct CreateCallCmd {
    static constexpr const char* kName = "CreateCall";
    unsigned long long callId = 0;
    std::string from;
    CallParams to;
    std::string displayName;
};
struct TransferCallCmd {
    static constexpr const char* kName = "TransferCall";
    unsigned long long callId = 0;
    CallParams to;
};
struct JoinCallsCmd {
    static constexpr const char* kName = "JoinCalls";
    unsigned long long callId = 0;
    unsigned long long otherCallId = 0;
};
struct UnjoinCallsCmd {
    static constexpr const char* kName = "UnjoinCalls";
    unsigned long long callId = 0;
    unsigned long long otherCallId = 0;
};
struct PlayMessageCmd {
    static constexpr const char* kName = "PlayMessage";
    unsigned long long callId = 0;
    std::string file;
    int count = 0;
};
struct InjectDTMFCmd {
    static constexpr const char* kName = "InjectDTMF";
    unsigned long long callId = 0;
    std::string digits;
};
struct EnableDtmfDetectionCmd {
    static constexpr const char* kName = "EnableDtmfDetection";
    unsigned long long callId = 0;
    long long enable = 0;
};
struct SubscribeToCDRCmd {
    static constexpr const char* kName = "SubscribeToCDR";
    int subscribe = 0;
};
struct SubscribeToCRCmd {
    static constexpr const char* kName = "SubscribeToCR";
    int subscribe = 0;
};

// Commands to the notification service.
struct ANSubscribeCmd {
    static constexpr const char* kName = "ANSubscribe";
    int package = 0;
    CallParams from;
    CallParams to;
    unsigned long long subscriptionId = 0;
};
struct ANUnsubscribeCmd {
    static constexpr const char* kName = "ANUnsubscribe";
    unsigned long long subscriptionId = 0;
};

// Events of the call manager (queue 12).
struct CallArrivedEv {
    static constexpr const char* kName = "CallArrived";
    unsigned long long callId = 0;
    int type = 0;
    std::string ext;
    CallParams from;
    CallParams to;
    unsigned long long origCallId = 0;
    long long data = 0;
};
struct CallOriginatedEv {
    static constexpr const char* kName = "OnCallOriginated";
    unsigned long long callId = 0;
    int type = 0;
    std::string ext;
    CallParams from;
    CallParams to;
    std::string pattern;
    long long data = 0;
};
struct CallStateChangedEv {
    static constexpr const char* kName = "CallStateChanged";
    unsigned long long callId = 0;
    int state = 0;
};
struct MessagePlayedEv {
    static constexpr const char* kName = "MessagePlayed";
    unsigned long long callId = 0;
};
struct DTMFInjectedEv {
    static constexpr const char* kName = "DTMFInjected";
    unsigned long long callId = 0;
};
struct DtmfDigitDetectedEv {
    static constexpr const char* kName = "DtmfDigitDetected";
    unsigned long long callId = 0;
    char digit = 0;
};
struct CDRArrivedEv {
    static constexpr const char* kName = "CDRArrived";
    int cdrType = 0;
    RcCDR cdr;
    std::optional<CallStatistics> statistics;
};
struct UpdateConfigEv {
    static constexpr const char* kName = "UpdateConfig";
    int updateType = 0;
};

// Events of the notification service (queue 88).
struct ANSubscribeResultEv {
    static constexpr const char* kName = "OnANSubscribe";
    unsigned long long subscriptionId = 0;
    int result = 0;
};
struct ANUnsubscribeResultEv {
    static constexpr const char* kName = "OnANUnsubscribe";
    unsigned long long subscriptionId = 0;
    int result = 0;
};
struct MNNotifyEv {
    static constexpr const char* kName = "OnMNNotify";
    unsigned long long subscriptionId = 0;
    MailSettings mail;
};
struct DialogNotifyEv {
    static constexpr const char* kName = "OnDialogNotify";
    unsigned long long subscriptionId = 0;
    std::list<DialogParams> dialogs;
};
struct ExtListNotifyEv {
    static constexpr const char* kName = "OnExtListNotify";
    unsigned long long subscriptionId = 0;
    std::list<Ext> extensions;
};
struct PresenceNotifyEv {
    static constexpr const char* kName = "OnPresenceNotify";
    unsigned long long subscriptionId = 0;
    long long state = 0;
};
struct ConfirmEv {
    static constexpr const char* kName = "OnConfirm";
    unsigned long long subscriptionId = 0;
};
struct ErrorConveyEv {
    static constexpr const char* kName = "OnErrorConvey";
    unsigned long long subscriptionId = 0;
    PUAErrorCode error;
};
struct ANPartyStateChangedEv {
    static constexpr const char* kName = "OnANPartyStateChanged";
    bool connected = false;
};

// The poller's own alert: makes WaitForEvents return -1.
struct ForcedAlertEv {
    static constexpr const char* kName = "ForcedAlert";
};

using ExchangeMessage =
    std::variant<IncomingCallHandlingCmd, AcceptCallCmd, ForwardCallCmd, RejectCallCmd,
                 CloseCallCmd, CreateCallCmd, TransferCallCmd, JoinCallsCmd, UnjoinCallsCmd,
                 PlayMessageCmd, InjectDTMFCmd, EnableDtmfDetectionCmd, SubscribeToCDRCmd,
                 SubscribeToCRCmd, ANSubscribeCmd, ANUnsubscribeCmd, CallArrivedEv,
                 CallOriginatedEv, CallStateChangedEv, MessagePlayedEv, DTMFInjectedEv,
                 DtmfDigitDetectedEv, CDRArrivedEv, UpdateConfigEv, ANSubscribeResultEv,
                 ANUnsubscribeResultEv, MNNotifyEv, DialogNotifyEv, ExtListNotifyEv,
                 PresenceNotifyEv, ConfirmEv, ErrorConveyEv, ANPartyStateChangedEv, ForcedAlertEv>;

// The message's name on the wire ("CallArrived", "AcceptCall", ...).
const char* MessageName(const ExchangeMessage& message);

// One datagram's text for `message`.
std::string EncodeMessage(const ExchangeMessage& message);

// Parses one datagram. On failure returns false and says why in `error` (for
// the log); `message` is then not to be used.
bool DecodeMessage(const char* data, std::size_t size, ExchangeMessage& message,
                   std::string& error);

}  // namespace exlink

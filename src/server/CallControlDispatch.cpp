// The request dispatch of a connection: cutting messages out of the receive
// buffer, carrying out the client's requests and the client's answers to the
// daemon's own requests. Runs on the connection thread with mServMutex held.
#include <memory>
#include <random>

#include "config/AccountRights.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"
#include "server/ServerMetrics.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SubscriptionMethods.h"
#include "xmlrpc/SystemMethods.h"
#include "xmlrpc/XmlRpcLog.h"

namespace {

// The CR (or CDR) subscriptions of every connection, this one's included; the
// first one of its kind subscribes at the call manager, the last one cancels.
size_t CountSharedSubscriptions(bool cr) {
    std::list<unsigned long long> ids;
    const bool any =
        cr ? Subscription::GetCRSubscriptions(ids) : Subscription::GetCDRSubscriptions(ids);
    if (!any) {
        ExtCallControl::TRACEX(cr ? "CCS: ProcessXmlRpcResponse. Warning. No CR subscription\n"
                                  : "CCS: ProcessXmlRpcResponse. Warning. No CDR subscription\n");
    }
    return ids.size();
}

using TR = ExtCallControl;

// Fault codes of refusals with "account-rights" (0 to 2: docs/protocol.md).
const int kFaultNotPermitted = 3;
const int kFaultIdInUse = 4;

const char* const kDelimiter = "\r\n\r\n";

// A new call ID: non-zero and not registered.
unsigned long long GenerateUniqueNumber() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    for (;;) {
        const unsigned long long id = engine();
        if (id == 0) {
            continue;
        }
        ThreadMutexLock registry(Call::mMapMutex);
        if (Call::mmapCalls.count(id) == 0) {
            return id;
        }
    }
}

// Sends `r` and destroys it.
void SendResponse(CallControlService& c, std::unique_ptr<XmlRpcResponseMethod> r,
                  const char* logLine) {
    TR::TRACEX("%s", logLine);
    c.BuildAndSendXml(r.get());
}

const std::string* StringAt(const XmlRpcMethod& m, int pos) {
    const XmlRpcValue* v = m.GetParam(pos);
    return v != nullptr && v->IsType(XmlRpcValueString::kType)
               ? &static_cast<const XmlRpcValueString*>(v)->mstrValue
               : nullptr;
}

// What CreateCallMethod::Execute does, with the call's own ID.
void CreateWithId(const XmlRpcMethod& m, Call& call) {
    const std::string* from = StringAt(m, 1);
    const std::string* toText = StringAt(m, 2);
    const std::string* display = StringAt(m, 3);
    CallParams to;
    if (from == nullptr || toText == nullptr || !XmlRpcMethod::CallParamsFromString(*toText, to)) {
        return;
    }
    call.CreateCB(call.GetID(), *from, to, display != nullptr ? *display : std::string());
}

bool EndsControl(const XmlRpcMethod& m) {
    const XmlRpcValue* state = m.GetParam(1);
    if (state == nullptr || !state->IsType(XmlRpcValueInt::kType)) {
        return false;
    }
    const int code = static_cast<const XmlRpcValueInt*>(state)->mnValue;
    return code == ExtCallState_Disconnected || code == ExtCallState_Failed;
}

}  // namespace

bool CallControlService::ProcessIncomingXmlRpc() {
    const size_t end = mRecvBuffer.find(kDelimiter);
    if (mRecvBuffer.empty() || end == std::string::npos) {
        return false;
    }
    const std::string message = mRecvBuffer.substr(0, end);
    mRecvBuffer.erase(0, end + 4);
    TR::TRACEX("CCS: ProcessIncomingXmlRpc. Received data...\n");
    // Secrets masked (when set) and control characters in the data escaped;
    // the line breaks between the XML's tags stay.
    TR::TRACEX("\n%s\n", MessageForLog(message).c_str());

    XmlRpcRequestMethod* m = XmlRpcRequestMethod::CreateFromXML(message.c_str());
    if (m == XmlRpcRequestMethod::_UnknownMethod) {
        TR::TRACEX("CCS: Received data is not an XML RPC method.\n");
        FaultResponseMethod fault(-1);  // answers no known method
        fault.SetParams(1, "Unknown XML RPC method");
        server_metrics::CountRequest(-1, server_metrics::kFault);
        TR::TRACEX("CCS: ProcessIncomingXmlRpc. Sending failure response...\n");
        BuildAndSendXml(&fault);
        return true;
    }
    if (m != nullptr) {
        return DispatchCounted(m);
    }
    if (!mlistSentRequests.empty() && mlistSentRequests.front().mpMethod != nullptr) {
        XmlRpcResponseMethod* r =
            mlistSentRequests.front().mpMethod->CreateResponseFromXML(message.c_str());
        if (r != nullptr) {
            return ProcessXmlRpcResponse(mlistSentRequests.front(), r);
        }
    }
    return true;
}

bool CallControlService::ProcessXmlRpcRequest(XmlRpcRequestMethod* request) {
    std::unique_ptr<XmlRpcRequestMethod> m(request);
    const unsigned long long id = m->GetCallID();
    const int index = m->GetMethodIndex();
    TR::TRACEX("CCS: ProcessXmlRpcRequest\n");

    if (mbRequireAuth && !mbAuthorised && index != kMethodAuthenticate &&
        index != kMethodSAuthenticate && index != kMethodListMethods) {
        TR::TRACEX("CCS: ProcessXmlRpcRequest. Not authorised, request refused. %llu\n", id);
        NoteRefused();
        server_metrics::CountAuthFailure(server_metrics::kNotAuthorised);
        std::unique_ptr<XmlRpcResponseMethod> f(m->CreateResponse(true));
        if (auto* fault = dynamic_cast<FaultResponseMethod*>(f.get())) {
            fault->SetParams(2, "Not authorised");
        }
        SendResponse(*this, std::move(f),
                     "CCS: ProcessXmlRpcRequest. Sending failure response...\n");
        return true;
    }
    if (mbSafeRetries && AnsweredAgain(*m)) {
        return true;
    }
    if (mbAccountRights) {
        if (const char* right = MissingRight(*m)) {
            Refuse(*m, kFaultNotPermitted,
                   std::string("Not permitted: right '") + right + "' required");
            return true;
        }
        if ((index == kMethodCreateCall && CallIdTaken(id)) ||
            (index == kMethodSubscribe && SubscriptionIdTaken(id))) {
            // A second object under the ID would take the first one's events.
            Refuse(*m, kFaultIdInUse,
                   index == kMethodCreateCall ? "Call ID in use" : "Subscription ID in use");
            return true;
        }
    }

    switch (index) {
        case kMethodGetStatus:
        case kMethodListMethods:
        case kMethodMethodSignature:
        case kMethodMethodHelp:
        case kMethodMulticall:
            ProcessIntrospection(*m);
            return true;
        case kMethodIncomingCallHandling: {
            Call carrier(id, Call::Carrier{});
            carrier.SetListener(this);
            std::unique_ptr<XmlRpcResponseMethod> r(m->CreateResponse(false));
            r->SetParams(id);
            SendResponse(*this, std::move(r), "CCS: ProcessXmlRpcRequest. Sending response...\n");
            m->Execute(carrier);
            return true;
        }
        case kMethodReloadSettings: {
            // The administrator's only: it reaches every client's service.
            if (!mbAuthorised || !IsAdminAccount(mAccount)) {
                Refuse(*m, kFaultNotPermitted, "Not permitted: the administrator only");
                return true;
            }
            TR::TRACEX("CCS: ProcessXmlRpcRequest. Settings reload asked by '%s'. %llu\n",
                       mAccount.c_str(), id);
            if (!ExtCallControl::RequestSettingsReload()) {
                Refuse(*m, kFaultNotPermitted, "The reload could not be requested");
                return true;
            }
            std::unique_ptr<XmlRpcResponseMethod> r(m->CreateResponse(false));
            r->SetParams(id);
            SendResponse(*this, std::move(r), "CCS: ProcessXmlRpcRequest. Sending response...\n");
            return true;
        }
        case kMethodGetCdrs:
            if (!mbAuthorised || !IsAdminAccount(mAccount)) {
                Refuse(*m, kFaultNotPermitted, "Not permitted: the administrator only");
            } else {
                AnswerGetCdrs(*m);
            }
            return true;
        case kMethodAuthenticate:
        case kMethodSAuthenticate:
        case kMethodGetExtension:
        case kMethodGetSystemInfo: {
            Call carrier(id, Call::Carrier{});
            carrier.SetListener(this);
            m->Execute(carrier);
            return true;
        }
        case kMethodGetWAVFilesList:
        case kMethodBeginFileTransfer:
        case kMethodDeleteFile:
        case kMethodConfigurationUpdate: {
            std::unique_ptr<XmlRpcResponseMethod> r(m->CreateResponse(false));
            r->SetParams(id);
            if (auto* q = dynamic_cast<GetWAVFilesMethod*>(m.get())) {
                if (auto* a = dynamic_cast<GetWAVFilesResponseMethod*>(r.get())) {
                    a->SetExt(q->GetType(), q->GetExt());
                }
            } else if (auto* q = dynamic_cast<FileDeleteMethod*>(m.get())) {
                if (auto* a = dynamic_cast<FileDeleteResponseMethod*>(r.get())) {
                    a->SetExt(q->GetType(), q->GetExt(), q->GetFile());
                }
            } else if (auto* q = dynamic_cast<FileTransferMethod*>(m.get())) {
                if (auto* a = dynamic_cast<FileTransferResponseMethod*>(r.get())) {
                    a->SetExt(q->GetType(), q->GetExt(), q->GetFile(), q->GetSize(),
                              q->GetTransfer());
                }
            } else if (auto* q = dynamic_cast<ConfigurationUpdateMethod*>(m.get())) {
                if (auto* a = dynamic_cast<ConfigurationUpdateResponseMethod*>(r.get())) {
                    a->SetConfigFile(q->GetFile(), q->GetSize(), q->GetFlag());
                }
            }
            {
                Call carrier(id, Call::Carrier{});
                carrier.SetListener(this);
                r->Execute(carrier);
            }
            if (mpUpload != nullptr) {
                // A body follows: the answer waits for it (ContinueUpload).
                mpUploadAnswer = std::move(r);
                return true;
            }
            SendResponse(*this, std::move(r),
                         index == kMethodGetWAVFilesList
                             ? "CCS: ProcessXmlRpcRequest. Sending GetWAVFilesList response...\n"
                             : "CCS: ProcessXmlRpcRequest. Sending response...\n");
            return true;
        }
        case kMethodSubscribe: {
            ThreadMutexLock registry(Subscription::mMapLock);
            if (GetSubscription(id) != nullptr) {
                TR::TRACEX(
                    "<ERROR> CCS: ProcessXmlRpcRequest. Subscription ID already exist. %llu\n", id);
                return true;
            }
            auto* subscribe = static_cast<SubscribeMethod*>(m.get());
            const int type = subscribe->GetSubType();
            TR::TRACEX("CCS: ProcessXmlRpcRequest. Processing subscription... type[%d]. %llu\n",
                       type, id);
            auto* s = new Subscription(id, static_cast<SubscriptionType>(type), this);
            TR::TRACEX("CCS: ProcessXmlRpcRequest. Processing subscription... Success \n");
            mlistSubscriptions.push_back(s);
            if (type == SubscriptionType_CDR) {
                StartCdrConsumer(id);
            }
            if (mbSafeRetries) {
                mmapSubscribed[id] = std::to_string(type) + ":" + subscribe->GetExtension();
            }
            if (type == SubscriptionType_CR || type == SubscriptionType_CDR) {
                const bool cr = type == SubscriptionType_CR;
                TR::TRACEX(cr ? "CCS: ProcessXmlRpcRequest. We have subscription to CR. Sending "
                                "confirm... %llu\n"
                              : "CCS: ProcessXmlRpcRequest. We have subscription to CDR. Sending "
                                "confirm... %llu\n",
                           id);
                const size_t count = CountSharedSubscriptions(cr);
                TR::TRACEX(cr ? "CCS: ProcessXmlRpcResponse. (Subscribe case) CR subscription "
                                "count: %d\n"
                              : "CCS: ProcessXmlRpcResponse. (Subscribe case) CDR subscription "
                                "count: %d\n",
                           static_cast<int>(count));
                Confirm(s);
                if (count == 1) {
                    m->Execute(*s);
                }
            } else {
                TR::TRACEX("CCS: ProcessXmlRpcResponse. (Subscribe case else\n");
                // An error of the notification service may end `s` in here.
                m->Execute(*s);
            }
            return true;
        }
        case kMethodUnsubscribe: {
            ThreadMutexLock registry(Subscription::mMapLock);
            Subscription* s = GetSubscription(id);
            if (s == nullptr) {
                TR::TRACEX("CCS: ProcessXmlRpcResponse. No such subscription: %llu\n", id);
                return true;
            }
            TR::TRACEX("CCS: ProcessXmlRpcRequest. Processing unsubscribe... %llu\n", id);
            std::unique_ptr<XmlRpcResponseMethod> r(m->CreateResponse(false));
            r->SetParams(id);
            SendResponse(*this, std::move(r), "CCS: ProcessXmlRpcRequest. Sending response...\n");
            const int type = s->GetType();
            static_cast<UnsubscribeMethod*>(m.get())->SetSubType(type);
            // Out of the list first: an error reported while withdrawing it
            // must not find it here again.
            mlistSubscriptions.remove(s);
            StopCdrConsumer(id);
            if (type == SubscriptionType_CR || type == SubscriptionType_CDR) {
                const bool cr = type == SubscriptionType_CR;
                const size_t count = CountSharedSubscriptions(cr);
                TR::TRACEX(cr ? "CCS: ProcessXmlRpcResponse. (Unsubscribe case) CR subscription "
                                "count: %d\n"
                              : "CCS: ProcessXmlRpcResponse. (Unsubscribe case) CDR subscription "
                                "count: %d\n",
                           static_cast<int>(count));
                if (count == 1) {
                    m->Execute(*s);
                }
            } else {
                m->Execute(*s);
            }
            delete s;
            return true;
        }
        default:
            break;
    }

    // The call commands, and the daemon's own requests when a client sends them.
    Call* call = nullptr;
    if (index == kMethodCreateCall) {
        call = new Call(id != 0 ? id : GenerateUniqueNumber());
        call->SetListener(this);
        ThreadMutexLock lock(mMutex);
        mlistCalls.push_back(call);
    } else {
        call = GetCall(id);
    }
    if (call == nullptr) {
        TR::TRACEX("CCS: ProcessXmlRpcRequest. No such call: %llu\n", id);
        std::unique_ptr<XmlRpcResponseMethod> f(m->CreateResponse(true));
        if (auto* fault = dynamic_cast<FaultResponseMethod*>(f.get())) {
            fault->SetParams(0, "No such call");
        }
        SendResponse(*this, std::move(f),
                     "CCS: ProcessXmlRpcRequest. Sending failure response...\n");
        return true;
    }
    TR::TRACEX("CCS: ProcessXmlRpcRequest. Processing call... %llu\n", call->GetID());
    std::unique_ptr<XmlRpcResponseMethod> r(m->CreateResponse(false));
    r->SetParams(call->GetID());
    SendResponse(*this, std::move(r), "CCS: ProcessXmlRpcRequest. Sending response...\n");
    if (index == kMethodCreateCall && id == 0) {
        // The call manager must learn the ID the call is known under here, not
        // the 0 of the request.
        CreateWithId(*m, *call);
    } else {
        m->Execute(*call);
    }
    if (index == kMethodCloseCall || (index == kMethodCallStateChanged && EndsControl(*m))) {
        RemoveCall(call);
    }
    return true;
}

bool CallControlService::AnsweredAgain(XmlRpcRequestMethod& m) {
    const unsigned long long id = m.GetCallID();
    if (m.IsMethod(kMethodCreateCall)) {
        if (id == 0 || GetCall(id) == nullptr) {
            return false;
        }
        // The client did not see the answer: the call is there, answered again.
        TR::TRACEX("CCS: ProcessXmlRpcRequest. Call already created here, answered again. %llu\n",
                   id);
        std::unique_ptr<XmlRpcResponseMethod> r(m.CreateResponse(false));
        r->SetParams(id);
        SendResponse(*this, std::move(r), "CCS: ProcessXmlRpcRequest. Sending response...\n");
        return true;
    }
    if (!m.IsMethod(kMethodSubscribe)) {
        return false;
    }
    ThreadMutexLock registry(Subscription::mMapLock);
    Subscription* s = GetSubscription(id);
    if (s == nullptr) {
        return false;
    }
    const auto& subscribe = static_cast<const SubscribeMethod&>(m);
    const auto made = mmapSubscribed.find(id);
    if (made != mmapSubscribed.end() &&
        made->second == std::to_string(subscribe.GetSubType()) + ":" + subscribe.GetExtension()) {
        TR::TRACEX(
            "CCS: ProcessXmlRpcRequest. Subscription already made here, confirmed again. "
            "%llu\n",
            id);
        Confirm(s);
        return true;
    }
    TR::TRACEX("<ERROR> CCS: ProcessXmlRpcRequest. Subscription ID already exist. %llu\n", id);
    Refuse(m, kFaultIdInUse, "Subscription ID in use for another kind or extension");
    return true;
}

void CallControlService::Refuse(XmlRpcRequestMethod& m, int code, const std::string& text) {
    TR::TRACEX("CCS: ProcessXmlRpcRequest. Refused for account '%s': %s. %llu\n", mAccount.c_str(),
               text.c_str(), m.GetCallID());
    NoteRefused();
    std::unique_ptr<XmlRpcResponseMethod> f(m.CreateResponse(true));
    if (auto* fault = dynamic_cast<FaultResponseMethod*>(f.get())) {
        fault->SetParams(code, text);
    }
    SendResponse(*this, std::move(f), "CCS: ProcessXmlRpcRequest. Sending failure response...\n");
}

bool CallControlService::DecisionFits(const XmlRpcRequestMethod& sent,
                                      XmlRpcResponseMethod& answer) {
    const unsigned long long offered = sent.GetCallID();
    const bool decision = answer.IsMethod(sent.GetMethodIndex()) &&
                          (dynamic_cast<CallArrivedResponseMethod*>(&answer) != nullptr ||
                           dynamic_cast<CallOriginatedResponseMethod*>(&answer) != nullptr);
    if (answer.IsFault() || !decision) {
        TR::TRACEX("CCS: ProcessXmlRpcResponse. The answer to the offer is no decision. %llu\n",
                   offered);
        return false;
    }
    const unsigned long long named = answer.GetCallID();
    if (named == 0) {
        answer.SetCallID(offered);  // an answer without an ID is about the offered call
    } else if (named != offered) {
        TR::TRACEX(
            "CCS: ProcessXmlRpcResponse. The answer names call %llu, not the offered "
            "call. %llu\n",
            named, offered);
        return false;
    }
    return true;
}

bool CallControlService::ProcessXmlRpcResponse(XmlRpcRequest& sent, XmlRpcResponseMethod* answer) {
    std::unique_ptr<XmlRpcResponseMethod> r(answer);
    SettleCdr(*sent.mpMethod, !r->IsFault());
    server_metrics::Get().clientRequestsAnswered.Add();
    const unsigned long long id = sent.mpMethod->GetCallID();
    Call* call = GetCall(id);
    const bool offer =
        sent.mpMethod->IsMethod(kMethodProcess) || sent.mpMethod->IsMethod(kMethodCallOriginated);
    if (call == nullptr) {
        TR::TRACEX("CCS: ProcessXmlRpcResponse. No such call: %llu\n", id);
    } else if (offer && mbStrictDecisions && !DecisionFits(*sent.mpMethod, *r)) {
        // Decided as if the client had not answered; the entry goes with it.
        FailRequest();
        return true;
    } else {
        TR::TRACEX("CCS: ProcessXmlRpcResponse. Processing call... %llu\n", id);
        r->Execute(*call);
        bool release = false;
        if (sent.mpMethod->IsMethod(kMethodProcess) && r->IsMethod(kMethodProcess)) {
            auto* decision = dynamic_cast<CallArrivedResponseMethod*>(r.get());
            const XmlRpcValue* control = nullptr;
            if (decision != nullptr && !r->IsFault()) {
                const XmlRpcValue* first = r->GetParam(0);
                if (first != nullptr && first->IsType(XmlRpcValueStruct::kType)) {
                    control = static_cast<const XmlRpcValueStruct*>(first)->GetMemberValue(
                        "remotecontrol");
                }
            }
            const bool remote = control != nullptr && control->IsType(XmlRpcValueBool::kType) &&
                                static_cast<const XmlRpcValueBool*>(control)->mbValue;
            release = decision == nullptr || r->IsFault() || !decision->IsAccept() || !remote;
        } else if (sent.mpMethod->IsMethod(kMethodCallOriginated) &&
                   r->IsMethod(kMethodCallOriginated)) {
            auto* decision = dynamic_cast<CallOriginatedResponseMethod*>(r.get());
            release = decision == nullptr || r->IsFault() || !decision->IsAccept();
        } else if (sent.mpMethod->IsMethod(kMethodCallStateChanged)) {
            release = EndsControl(*sent.mpMethod);
        }
        if (release) {
            RemoveCall(call);
        }
    }
    r.reset();
    mlistSentRequests.pop_front();
    return true;
}

// Events sent to the client of a connection: call events of its calls,
// arriving and originated calls, subscription notifications and the answers
// to its subscribe requests; and the taking of an extension's incoming calls.
// Call and subscription events run on the main thread under a registry lock;
// they only queue (under mMutex) and wake the connection thread, except
// Confirm and ErrorConvey, which write at once under the channel's I/O lock.
#include <memory>

#include "base/NumberString.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SipAddress.h"
#include "xmlrpc/SubscriptionMethods.h"

namespace {

using TR = ExtCallControl;

// The last CDR delivered on this thread (the main thread fans them out) and
// its text: the next subscriber of an equal record gets the same text, with
// its own subscription ID.
struct LastCdr {
    int kind = 0;
    RcCDR cdr;
    bool withStatistics = false;
    CallStatistics statistics;
    std::shared_ptr<const CallControlService::EventText> text;
};
thread_local LastCdr tLastCdr;

std::string NameAddrText(const NameAddr& party) {
    std::string text;
    MergeSIPAddress(text, party.name, party.user, party.host, party.port, true);
    return text;
}

}  // namespace

bool CallControlService::CallArrived(const CallControlService* target, Call* call, ExtCallType type,
                                     const std::string& ext, const CallParams& from,
                                     const CallParams& to, const unsigned long long& origCallId) {
    // `target` carries the connection's serial number, not its address: an
    // address may be reused by a later connection, a serial never is.
    const unsigned long serial = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(target));
    ThreadMutexLock lock(mServMutex);
    for (CallControlService* c : mlistServicesInProgress) {
        if (c->mnSerial != serial || c->mState != 2) {
            continue;
        }
        {
            ThreadMutexLock queue(c->mMutex);
            if (c->mlistRequests.size() >= kMaxQueuedRequests) {
                TR::TRACEX("CCS: CallArrived. ERROR. Request queue full, call not offered. %llu\n",
                           call->GetID());
                return false;
            }
        }
        c->CallArrived(call, type, ext, from, to, origCallId);
        return true;
    }
    TR::TRACEX("CCS: CallArrived. The connection is gone. %llu\n", call->GetID());
    return false;
}

void CallControlService::CallArrived(Call* call, ExtCallType type, const std::string& ext,
                                     const CallParams& from, const CallParams& to,
                                     const unsigned long long& origCallId) {
    call->SetListener(this);
    {
        ThreadMutexLock lock(mMutex);
        mlistCalls.push_back(call);
    }
    auto m = std::make_unique<CallArrivedMethod>();
    m->SetParams(call->GetID(), type, ext, from, to, origCallId);
    QueueRequest(m.release());
}

void CallControlService::CallStateChanged(Call* call, ExtCallState state) {
    auto m = std::make_unique<CallStateChangedMethod>();
    m->SetParams(call->GetID(), state);
    QueueRequest(m.release());
}

void CallControlService::MessagePlayed(Call* call) {
    auto m = std::make_unique<MessagePlayedMethod>();
    m->SetParams(call->GetID());
    QueueRequest(m.release());
}

void CallControlService::DTMFInjected(Call* call) {
    auto m = std::make_unique<DTMFInjectedMethod>();
    m->SetParams(call->GetID());
    QueueRequest(m.release());
}

void CallControlService::DtmfDigit(Call* call, char digit) {
    auto m = std::make_unique<DtmfDigitReceivedMethod>();
    m->SetParams(call->GetID(), static_cast<unsigned char>(digit));
    QueueRequest(m.release());
}

void CallControlService::IncomingCallHandling(Call* /*carrier*/, const std::string& ext,
                                              long enable) {
    if (enable != 0) {
        mlistExtensions.push_back(ext);
        mlistExtensions.unique();
    } else {
        mlistExtensions.remove(ext);
    }
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->IncomingCallHandlingReceived(ext, enable, mnSerial);
    }
}

void CallControlService::MailArrived(Subscription* s, const MailSettings& mail) {
    auto m = std::make_unique<MailArrivedMethod>();
    m->SetParams(s->GetID(), mail.from, static_cast<time_t>(mail.arrival), mail.duration,
                 static_cast<int>(mail.mailId));
    QueueRequest(m.release());
}

void CallControlService::CDRArrived(Subscription* s, int kind, const RcCDR& cdr,
                                    const CallStatistics* statistics) {
    const bool withStatistics =
        statistics != nullptr && (statistics->rtpTxPack != 0 || statistics->rtpRxPack != 0);
    LastCdr& last = tLastCdr;
    auto m = std::make_unique<CDRArrivedMethod>();
    if (last.text && last.kind == kind && last.withStatistics == withStatistics &&
        last.cdr == cdr && (!withStatistics || last.statistics == *statistics)) {
        m->SetCallID(s->GetID());  // the ID is all that the answer needs of it
        QueueRequest(m.release(), last.text);
        return;
    }
    m->SetParams(s->GetID(), kind, cdr);
    if (withStatistics) {
        m->SetStatistics(*statistics);
    }
    last = LastCdr{kind, cdr, withStatistics, withStatistics ? *statistics : CallStatistics{},
                   EventText::Cut(*m, s->GetID())};
    QueueRequest(m.release(), last.text);
}

void CallControlService::CallOriginated(const unsigned long long& callId, ExtCallType type,
                                        const std::string& ext, const CallParams& from,
                                        const CallParams& to, const std::string& pattern) {
    auto call = std::make_unique<Call>(callId);
    call->SetListener(this);
    auto m = std::make_unique<CallOriginatedMethod>();
    m->SetParams(callId, type, ext, from, to, pattern);
    XmlRpcRequest request(m.release());
    {
        ThreadMutexLock lock(mMutex);
        if (mlistRequests.size() >= kMaxQueuedRequests) {
            TR::TRACEX("CCS: CallOriginated. ERROR. Request queue full, call not offered. %llu\n",
                       callId);
            return;
        }
        mlistCalls.push_back(call.release());
        mlistRequests.push_back(request);
        mnQueued.store(mlistRequests.size(), std::memory_order_release);
    }
    Wake();
}

void CallControlService::DialogArrived(Subscription* s, const std::list<DialogParams>& dialogs) {
    TR::TRACEX("CallControlService::DialogArrived\n");
    auto m = std::make_unique<DialogArrivedMethod>();
    for (const DialogParams& d : dialogs) {
        m->SetParams(s->GetID(), NumberToString(d.callId), d.direction, d.dialogState, d.event,
                     d.duration, NumberToString(d.replacesId), d.callState,
                     NameAddrText(d.referredBy), NameAddrText(d.local), NameAddrText(d.remote),
                     d.callType);
    }
    QueueRequest(m.release());
}

void CallControlService::PresenceArrived(Subscription* s, long state) {
    auto m = std::make_unique<PresenceArrivedMethod>();
    m->SetParams(s->GetID(), state != 0);
    QueueRequest(m.release());
}

void CallControlService::ExtListArrived(Subscription* s, const std::list<Ext>& extensions) {
    TR::TRACEX("CallControlService::ExtListArrived\n");
    auto m = std::make_unique<ExtListArrivedMethod>();
    m->SetParams(s->GetID(), extensions);
    QueueRequest(m.release());
}

void CallControlService::Confirm(Subscription* s) {
    SubscribeResponseMethod r;
    r.SetParams(s->GetID(), true, 0);
    TR::TRACEX("CCS: Confirm. Sending confirm response for subscribe...\n");
    BuildAndSendXml(&r);
}

void CallControlService::ErrorConvey(Subscription* s, const PUAErrorCode& error) {
    SubscribeResponseMethod r;
    r.SetParams(s->GetID(), false, error.errorCode);
    TR::TRACEX("CCS: ErrorConvey. Sending error response for subscribe...\n");
    BuildAndSendXml(&r);
    // The caller holds the registry lock, which guards mlistSubscriptions. A
    // subscription no longer listed is being withdrawn by its owner, who
    // deletes it.
    ThreadMutexLock registry(Subscription::mMapLock);
    const size_t before = mlistSubscriptions.size();
    mlistSubscriptions.remove(s);
    if (mlistSubscriptions.size() != before) {
        delete s;
    }
}

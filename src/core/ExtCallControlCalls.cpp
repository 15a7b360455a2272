// The call half of ExtCallControl: call-manager events routed to calls and to
// CDR and CR subscribers, and client call commands sent to the call manager.
#include <string>

#include <cstdlib>
#include <map>
#include <vector>

#include "base/StringUtils.h"
#include "config/CdrSpool.h"
#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"

namespace {

// A party in log lines: its user, then "@" and the host when there is one.
std::string PartyText(const CallParams& party) {
    return party.host.empty() ? party.user : party.user + "@" + party.host;
}

// Records taken before a commit even when the queues do not run dry, so
// that a steady stream is committed in bounded groups.
const int kCdrBatchMax = 256;
thread_local int tTakenSinceFlush = 0;

void SpoolLogSink(const char* line) {
    ExtCallControl::TRACEX("%s", line);
}

const char* CdrTypeName(int cdrType) {
    switch (cdrType) {
        case 1:
            return "STATED_CDR";
        case 2:
            return "MISSED_CDR";
        default:
            return "FAILED_CDR";
    }
}

}  // namespace

void ExtCallControl::CallArrived(const unsigned long long& callId, ExtCallType type,
                                 const std::string& ext, const CallParams& from,
                                 const CallParams& to, const unsigned long long& origCallId,
                                 long data) {
    TRACEX("ExtCallControl: CallArrived. Type: %d, Ext: %s, From: %s, To: %s. Data: %ld\n",
           static_cast<int>(type), StringUtils::EscapeControl(ext).c_str(),
           StringUtils::EscapeControl(PartyText(from)).c_str(),
           StringUtils::EscapeControl(PartyText(to)).c_str(), data);
    auto call = std::make_unique<Call>(callId);
    if (data != 0) {
        // `data` is the connection that asked for the extension's incoming calls.
        if (Clients().CallArrived(data, call.get(), type, ext, from, to, origCallId)) {
            call.release();  // the connection owns it now
            return;
        }
        call.reset();
        AcceptCall(callId, "", "", 0);
        return;
    }
    // No client claims the call: the policy client decides it and owns the Call.
    Policy().Decide(call.release(), type, ext, from, to, origCallId);
}

void ExtCallControl::OnCallOriginated(const unsigned long long& callId, ExtCallType type,
                                      const std::string& ext, const CallParams& from,
                                      const CallParams& to, const std::string& pattern, long data) {
    TRACEX(
        "ExtCallControl: OnCallOriginated. CallID: %llu, Type: %d, Ext: %s, From: %s, To: %s. "
        "Data: %ld. Pattern: %s\n",
        callId, static_cast<int>(type), StringUtils::EscapeControl(ext).c_str(),
        StringUtils::EscapeControl(PartyText(from)).c_str(),
        StringUtils::EscapeControl(PartyText(to)).c_str(), data,
        StringUtils::EscapeControl(pattern).c_str());
    TRACEX("ExtCallControl. OnCallOriginated. Trying to get subscr-n list...\n");
    std::list<unsigned long long> ids;
    if (!Subscription::GetCRSubscriptions(ids)) {
        TRACEX("ERROR. ExtCallControl. OnCallOriginated. No CR subscription\n");
        return;
    }
    TRACEX("ExtCallControl. OnCallOriginated. Subscr-n list. Size: %d\n",
           static_cast<int>(ids.size()));
    for (unsigned long long id : ids) {
        if (SubscriptionRef s(id); s) {
            s->SendCallOriginated(callId, type, ext, from, to, pattern);
        }
    }
}

void ExtCallControl::CallStateChanged(const unsigned long long& callId, ExtCallState state) {
    if (CallRef call(callId); call) {
        TRACEX("ExtCallControl. CallStateChanged. callState: %d. %llu\n", static_cast<int>(state),
               callId);
        call->SendStateChanged(state);
    } else {
        TRACEX("ERROR. ExtCallControl. CallStateChanged. No such call...%llu\n", callId);
    }
}

void ExtCallControl::MessagePlayed(const unsigned long long& callId) {
    if (CallRef call(callId); call) {
        TRACEX("ExtCallControl. MessagePlayed. %llu\n", callId);
        call->SendMessagePlayed();
    } else {
        TRACEX("ERROR. ExtCallControl. MessagePlayed. No such call...%llu\n", callId);
    }
}

void ExtCallControl::DTMFInjected(const unsigned long long& callId) {
    if (CallRef call(callId); call) {
        TRACEX("ExtCallControl. DTMFInjected. %llu\n", callId);
        call->SendDTMFInjected();
    } else {
        TRACEX("ERROR. ExtCallControl. DTMFInjected. No such call...%llu\n", callId);
    }
}

void ExtCallControl::DtmfDigitDetected(const unsigned long long& callId, char digit) {
    if (CallRef call(callId); call) {
        TRACEX("ExtCallControl. DtmfDigitDetected. dtmfdigit: %c. %llu\n", digit, callId);
        call->SendDtmfDigit(digit);
    } else {
        TRACEX("ERROR. ExtCallControl. DtmfDigitDetected. No such call...%llu\n", callId);
    }
}

void ExtCallControl::CDRArrived(int cdrType, const RcCDR& cdr, const CallStatistics* statistics) {
    TRACEX("ExtCallControl. CDRArrived. type[%s], called user[%s], caller user[%s], dur[%d].\n",
           CdrTypeName(cdrType), StringUtils::EscapeControl(cdr.calledUser).c_str(),
           StringUtils::EscapeControl(cdr.callingUser).c_str(), cdr.duration);
    CdrSpool& spool = CdrSpool::Instance();
    if (spool.Enabled()) {
        spool.Append(cdrType, cdr, statistics, static_cast<long long>(GetCurTime()));
        // Kept in the exchange's queue until committed: a crash before the
        // commit has the next start take it again.
        HoldCurrentMessage();
        if (++tTakenSinceFlush >= kCdrBatchMax) {
            FlushCdrSpool();
        }
        return;
    }
    DeliverCdrLive(cdrType, cdr, statistics);
}

void ExtCallControl::DeliverCdrLive(int cdrType, const RcCDR& cdr,
                                    const CallStatistics* statistics) {
    std::list<unsigned long long> ids;
    if (!Subscription::GetCDRSubscriptions(ids)) {
        TRACEX("ERROR. ExtCallControl. CDRArrived. No CDR subscription\n");
        return;
    }
    for (unsigned long long id : ids) {
        if (SubscriptionRef s(id); s) {
            s->SendCDRArrived(cdrType, cdr, statistics);
        }
    }
}

void ExtCallControl::FlushCdrSpool() {
    tTakenSinceFlush = 0;
    const std::vector<SpooledCdr> live =
        CdrSpool::Instance().Flush(static_cast<long long>(GetCurTime()));
    // Committed, or (the spool failing) delivered live: nothing to keep either way.
    if (mpCallControl != nullptr) {
        mpCallControl->ReleaseHeld();
    }
    for (const SpooledCdr& r : live) {
        DeliverCdrLive(r.kind, r.cdr, r.statistics ? &*r.statistics : nullptr);
    }
}

void ExtCallControl::ConfigureCdrSpool() {
    std::map<std::string, std::string> values;
    CdrSpool& spool = CdrSpool::Instance();
    if (!ReadSettings(SystemDbPath(), values)) {
        return;  // kept as it is until the settings can be read
    }
    const bool on = ParseFlag(values["cdr-spool"]);
    CdrSpoolLimits limits;
    limits.maxAgeSeconds = std::atoll(values["cdr-spool-max-days"].c_str()) * 24 * 3600;
    limits.maxRecords = std::atoll(values["cdr-spool-max-records"].c_str());
    limits.maxBytes = std::atoll(values["cdr-spool-max-bytes"].c_str());
    if (on && !spool.Enabled()) {
        CdrSpool::SetLogSink(&SpoolLogSink);
        spool.Open(CdrSpool::DefaultPath(), limits);
        // Every record is taken, whether or not a client subscribes.
        mpCallControl->SubscribeToCDR(1);
    } else if (on) {
        spool.SetLimits(limits);
    } else if (spool.Enabled()) {
        FlushCdrSpool();
        spool.Close();
        TRACEX("ExtCallControl. CDR spool closed.\n");
    }
}

void ExtCallControl::UpdateConfig(int updateType) {
    if (updateType != UpdateType_CallPolicy) {
        return;
    }
    TRACEX("ExtCallControl: UpdateConfig received. UpdateType = UpdateType_CallPolicy\n");
    ConfigureCdrSpool();
    Policy().UpdateConfigs();
    Clients().UpdateConfigs();
}

int ExtCallControl::IncomingCallHandlingReceived(const std::string& ext, long enable,
                                                 unsigned long requester) {
    TRACEX("ExtCallControl. IncomingCallHandlingReceived. extension: %s, enable: %ld\n",
           StringUtils::EscapeControl(ext).c_str(), enable);
    return IncomingCallHandling(ext, enable, requester);
}

int ExtCallControl::AcceptCallReceived(const unsigned long long& callId,
                                       const std::string& callerId, const std::string& displayName,
                                       long virtualAccept) {
    TRACEX(
        "ExtCallControl. AcceptCallReceived. CallerID: %s, CallerDisplayName: %s, VirtualAccept: "
        "%ld. %llu\n",
        StringUtils::EscapeControl(callerId).c_str(),
        StringUtils::EscapeControl(displayName).c_str(), virtualAccept, callId);
    return AcceptCall(callId, callerId, displayName, virtualAccept);
}

int ExtCallControl::ForwardCallReceived(const unsigned long long& callId,
                                        const std::list<CallParams>& targets,
                                        const std::string& callerId,
                                        const std::string& displayName) {
    TRACEX("ExtCallControl. ForwardCallReceived. CallerID: %s, CallerDisplayName: %s. %llu\n",
           StringUtils::EscapeControl(callerId).c_str(),
           StringUtils::EscapeControl(displayName).c_str(), callId);
    return ForwardCall(callId, targets, callerId, displayName);
}

int ExtCallControl::RejectCallReceived(const unsigned long long& callId) {
    TRACEX("ExtCallControl. RejectCallReceived. %llu\n", callId);
    return RejectCall(callId);
}

int ExtCallControl::CreateCallReceived(const unsigned long long& callId, const std::string& from,
                                       const CallParams& to, const std::string& displayName) {
    TRACEX("ExtCallControl. CreateCallReceived. from: %s, to:%s@%s:%s. display name: %s. %llu\n",
           StringUtils::EscapeControl(from).c_str(), StringUtils::EscapeControl(to.user).c_str(),
           StringUtils::EscapeControl(to.host).c_str(), StringUtils::EscapeControl(to.port).c_str(),
           StringUtils::EscapeControl(displayName).c_str(), callId);
    return CreateCall(callId, from, to, displayName);
}

int ExtCallControl::CloseCallReceived(const unsigned long long& callId) {
    TRACEX("ExtCallControl. CloseCallReceived. %llu\n", callId);
    return CloseCall(callId);
}

int ExtCallControl::TransferCallReceived(const unsigned long long& callId, const CallParams& to) {
    TRACEX("ExtCallControl. TransferCallReceived. to:%s@%s:%s. %llu\n",
           StringUtils::EscapeControl(to.user).c_str(), StringUtils::EscapeControl(to.host).c_str(),
           StringUtils::EscapeControl(to.port).c_str(), callId);
    return TransferCall(callId, to);
}

int ExtCallControl::JoinCallsReceived(const unsigned long long& callId,
                                      const unsigned long long& otherCallId) {
    TRACEX("ExtCallControl. JoinCallsReceived. %llu, %llu\n", callId, otherCallId);
    return JoinCalls(callId, otherCallId);
}

int ExtCallControl::UnjoinCallsReceived(const unsigned long long& callId,
                                        const unsigned long long& otherCallId) {
    TRACEX("ExtCallControl. UnjoinCallsReceived. %llu, %llu\n", callId, otherCallId);
    return UnjoinCalls(callId, otherCallId);
}

int ExtCallControl::PlayMessageReceived(const unsigned long long& callId, const std::string& file,
                                        int count) {
    TRACEX("ExtCallControl. PlayMessageReceived. messageFileName: %s, playCount: %d. %llu\n",
           StringUtils::EscapeControl(file).c_str(), count, callId);
    return PlayMessage(callId, file, count);
}

int ExtCallControl::InjectDTMFReceived(const unsigned long long& callId,
                                       const std::string& digits) {
    TRACEX("ExtCallControl. InjectDTMFReceived. DTMFstring: [%s]. %llu\n",
           StringUtils::EscapeControl(digits).c_str(), callId);
    return InjectDTMF(callId, digits);
}

int ExtCallControl::EnableDtmfDetectionReceived(const unsigned long long& callId, long enable) {
    TRACEX("ExtCallControl. EnableDtmfDetectionReceived. enable: %ld. %llu\n", enable, callId);
    return EnableDtmfDetection(callId, enable);
}

int ExtCallControl::AcceptCRCallReceived(const unsigned long long& callId,
                                         const unsigned long long& subscriberId) {
    TRACEX("ExtCallControl. AcceptCRCallReceived. SubscriberID: %llu, CallID: %llu\n", subscriberId,
           callId);
    if (subscriberId == 0) {
        TRACEX("ERROR. ExtCallControl. AcceptCRCallReceived. Incoming subscription ID is 0.\n");
        return 0;
    }
    {
        // The check and the mark are one step under the registry lock, so two
        // acceptances of the same call cannot both pass.
        ThreadMutexLock lock(Subscription::mMapLock);
        std::list<unsigned long long> ids;
        if (!Subscription::GetCRSubscriptions(ids)) {
            TRACEX("ERROR. ExtCallControl. AcceptCRCallReceived. No CR subscription\n");
            return 0;
        }
        // First acceptance wins: once a subscriber has taken this call, later
        // acceptances end here.
        for (unsigned long long id : ids) {
            if (SubscriptionRef s(id); s && s->acceptedCallID == callId) {
                return 0;
            }
        }
        if (SubscriptionRef accepting(subscriberId); accepting) {
            accepting->acceptedCallID = callId;
        }
    }
    return AcceptCall(callId, "", "", 0);
}

// Delivery of spooled call-detail records to the CDR subscriptions of a
// connection, and the administrator's read of the spool. With "cdr-spool"
// each CDR subscription is a consumer of the spool (its account and ID): every
// pass sends it a bounded number of the records it has not acknowledged, in
// sequence order, at most kCdrWindow of them unanswered; its answer to
// cdrarrived acknowledges one, and a fault or no answer has what is left sent
// again after a back-off. Connection thread, mServMutex held.
#include <algorithm>
#include <memory>

#include "config/AccountRights.h"
#include "config/CdrSpool.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"
#include "xmlrpc/CdrQueryMethods.h"
#include "xmlrpc/SubscriptionMethods.h"

namespace {

using TR = ExtCallControl;

// Records one consumer may have queued or written and unanswered.
const size_t kCdrWindow = 256;
// Records queued for one consumer in one pass: a backlog goes out
// interleaved with everything else the connections have to send.
const size_t kCdrPerPass = 64;
// Longest wait before unanswered records are sent again, in seconds.
const unsigned kCdrMaxBackoff = 60;

}  // namespace

void CallControlService::StartCdrConsumer(const unsigned long long& id) {
    CdrSpool& spool = CdrSpool::Instance();
    if (!spool.Enabled()) {
        return;
    }
    CdrCursor& c = mmapCdrCursors[id];
    c = CdrCursor{};
    c.account = mAccount;
    c.next = spool.OpenConsumer(mAccount, id);
    TR::TRACEX("CCS: CDR subscription %llu of '%s' resumes at record %llu\n", id, mAccount.c_str(),
               c.next);
}

void CallControlService::StopCdrConsumer(const unsigned long long& id) {
    auto found = mmapCdrCursors.find(id);
    if (found != mmapCdrCursors.end()) {
        // Its last answers are written now: the consumer may not come back soon.
        CdrSpool::Instance().Ack(found->second.account, id, found->second.acks);
        CdrSpool::Instance().FlushAcks(true);
        mmapCdrCursors.erase(found);
    }
}

bool CallControlService::QueueCdr(XmlRpcRequestMethod* method) {
    XmlRpcRequest request(method);
    ThreadMutexLock lock(mMutex);
    if (mlistRequests.size() >= kMaxQueuedRequests) {
        return false;
    }
    mlistRequests.push_back(request);
    mnQueued.store(mlistRequests.size(), std::memory_order_release);
    return true;
}

void CallControlService::PullCdrs(unsigned long now) {
    CdrSpool& spool = CdrSpool::Instance();
    if (const unsigned generation = spool.Generation(); generation != mnCdrGeneration) {
        // The spool was switched on: the CDR subscriptions made before become
        // consumers.
        mnCdrGeneration = generation;
        ThreadMutexLock registry(Subscription::mMapLock);
        for (Subscription* s : mlistSubscriptions) {
            if (s->GetType() == SubscriptionType_CDR && mmapCdrCursors.count(s->GetID()) == 0) {
                StartCdrConsumer(s->GetID());
            }
        }
    }
    if (mmapCdrCursors.empty()) {
        return;
    }
    const unsigned long long last = spool.LastSeq();
    for (auto& [id, c] : mmapCdrCursors) {
        if (!c.acks.empty()) {
            spool.Ack(c.account, id, c.acks);
            c.acks.clear();
        }
        if (c.retryAt != 0) {
            if (now < c.retryAt || c.inflight != 0) {
                continue;
            }
            c.next = std::min(c.next, c.retryFrom);
            c.retryAt = 0;
        }
        if (c.inflight >= kCdrWindow || c.next > last) {
            continue;
        }
        const size_t room = std::min(kCdrPerPass, kCdrWindow - c.inflight);
        for (const SpooledCdr& r : spool.Next(c.account, id, c.next, room)) {
            auto m = std::make_unique<CDRArrivedMethod>();
            m->SetParams(id, r.kind, r.cdr);
            if (r.statistics && (r.statistics->rtpTxPack != 0 || r.statistics->rtpRxPack != 0)) {
                m->SetStatistics(*r.statistics);
            }
            m->SetSpoolSeq(r.seq);
            if (!QueueCdr(m.release())) {
                break;  // the queue is full: the rest waits in the spool
            }
            c.next = r.seq + 1;
            ++c.inflight;
        }
    }
    spool.FlushAcks();
}

long CallControlService::CdrDue(unsigned long now) const {
    if (mmapCdrCursors.empty()) {
        return -1;
    }
    // Acknowledgements held back by FlushAcks are written within a second.
    long due = CdrSpool::Instance().AcksPending() ? 1 : -1;
    for (const auto& entry : mmapCdrCursors) {
        const CdrCursor& c = entry.second;
        if (c.retryAt != 0 && c.inflight == 0) {
            const long left = c.retryAt > now ? static_cast<long>(c.retryAt - now) : 0;
            due = due < 0 ? left : std::min(due, left);
        }
    }
    return due;
}

void CallControlService::SettleCdr(const XmlRpcRequestMethod& sent, bool acknowledged) {
    if (!sent.IsMethod(kMethodCDRArrived)) {
        return;
    }
    const unsigned long long seq = static_cast<const CDRArrivedMethod&>(sent).SpoolSeq();
    if (seq == 0) {
        return;
    }
    const unsigned long long id = sent.GetCallID();
    auto found = mmapCdrCursors.find(id);
    if (found == mmapCdrCursors.end()) {
        if (acknowledged) {  // unsubscribed meanwhile: the consumer has it all the same
            CdrSpool::Instance().Ack(mAccount, id, {seq});
        }
        return;
    }
    CdrCursor& c = found->second;
    c.inflight -= c.inflight != 0 ? 1 : 0;
    if (acknowledged) {
        c.acks.push_back(seq);
        c.backoff = 0;
        return;
    }
    c.backoff = c.backoff == 0 ? 1 : std::min(c.backoff * 2, kCdrMaxBackoff);
    c.retryFrom = c.retryAt != 0 ? std::min(c.retryFrom, seq) : seq;
    c.retryAt = ExtCallControl::GetMonotonicTime() + c.backoff;
    TR::TRACEX("CCS: CDR %llu not acknowledged by subscription %llu; sent again in %u s\n", seq, id,
               c.backoff);
}

void CallControlService::AnswerGetCdrs(XmlRpcRequestMethod& m) {
    auto& query = static_cast<GetCdrsMethod&>(m);
    CdrSpool& spool = CdrSpool::Instance();
    CdrQueryStatus status;
    status.state = !spool.Enabled() ? "off" : spool.Healthy() ? "ok" : "failed";
    status.error = spool.LastError();
    status.last = spool.LastSeq();
    status.depth = spool.Depth();
    status.dropped = spool.DroppedCount();
    status.bytes = spool.RetainedBytes();
    status.oldestAge = spool.OldestAge(static_cast<long long>(ExtCallControl::GetCurTime()));
    std::unique_ptr<XmlRpcResponseMethod> r(query.CreateResponse(false));
    auto* answer = static_cast<GetCdrsResponseMethod*>(r.get());
    answer->SetParams(query.GetCallID());
    answer->SetStatus(status);
    for (const SpooledCdr& record :
         spool.Range(query.Since(), static_cast<size_t>(query.Count()))) {
        answer->AddRecord(CdrQueryRow{record.seq, record.arrived, record.kind, record.cdr});
    }
    TR::TRACEX("CCS: ProcessXmlRpcRequest. Sending getcdrs response...\n");
    BuildAndSendXml(r.get());
}

// A client connection: its calls and subscriptions, its queue of requests to
// write and its writes.
#include "server/CallControlService.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "base/NumberString.h"

#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/ServerMetrics.h"
#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"

namespace {

using TR = ExtCallControl;

std::atomic<unsigned long> gNextSerial{1};

}  // namespace

// ---------------------------------------------------------------------------
// XmlRpcRequest

CallControlService::XmlRpcRequest::XmlRpcRequest(XmlRpcRequestMethod* method,
                                                 std::shared_ptr<const EventText> text)
    : mpMethod(method), mpText(std::move(text)) {}

CallControlService::XmlRpcRequest::XmlRpcRequest(const XmlRpcRequest& other)
    : mpMethod(other.mpMethod), mnSendTime(other.mnSendTime), mpText(other.mpText) {
    other.mpMethod = nullptr;
}

CallControlService::XmlRpcRequest& CallControlService::XmlRpcRequest::operator=(
    const XmlRpcRequest& other) {
    if (this != &other) {
        delete mpMethod;
        mpMethod = other.mpMethod;
        mnSendTime = other.mnSendTime;
        mpText = other.mpText;
        other.mpMethod = nullptr;
    }
    return *this;
}

CallControlService::XmlRpcRequest::~XmlRpcRequest() {
    delete mpMethod;
}

// ---------------------------------------------------------------------------
// Connection objects

CallControlService::CallControlService()
    : mChannel(&CallControlService::WakeUnlessLoopThread), mnSerial(gNextSerial++) {
    TR::TRACEX("CCS: Create. (C:%u)\n", static_cast<unsigned>(mlistServicesInProgress.size()));
}

CallControlService::~CallControlService() {
    SetMetricState(server_metrics::kNoState);
    // Closed first: nothing withdrawn below reaches the client any more.
    mChannel.Close();
    while (!mmapCdrCursors.empty()) {
        StopCdrConsumer(mmapCdrCursors.begin()->first);  // its answers reach the spool
    }
    if (UploadReceiving()) {
        mpUpload->Interrupt();  // its partial file goes
    }
    CloseAllCalls();
    {
        ThreadMutexLock registry(Subscription::mMapLock);
        while (!mlistSubscriptions.empty()) {
            // Out of the list first: an error reported while withdrawing it
            // must not find it here again.
            Subscription* s = mlistSubscriptions.front();
            mlistSubscriptions.pop_front();
            const int type = s->GetType();
            bool withdraw = true;
            if (type == SubscriptionType_CDR || type == SubscriptionType_CR) {
                // Shared at the call manager: withdrawn with the last one only.
                std::list<unsigned long long> ids;
                if (type == SubscriptionType_CDR) {
                    Subscription::GetCDRSubscriptions(ids);
                } else {
                    Subscription::GetCRSubscriptions(ids);
                }
                withdraw = ids.size() == 1;
            }
            if (withdraw) {
                s->UnsubscribeCB(s->GetID(), type);
            }
            delete s;
        }
    }
    // Calls offered to a routing subscription while it was being withdrawn.
    CloseAllCalls();
    for (const std::string& ext : mlistExtensions) {
        if (ExtCallControl::mpCallControl != nullptr) {
            ExtCallControl::mpCallControl->IncomingCallHandlingReceived(ext, 0, 0);
        }
    }
    mlistExtensions.clear();
    TR::TRACEX("CCS: Delete. (C:%u)\n", static_cast<unsigned>(mlistServicesInProgress.size()));
}

void CallControlService::CloseAllCalls() {
    std::list<Call*> calls;
    {
        ThreadMutexLock lock(mMutex);
        calls.swap(mlistCalls);
    }
    for (Call* call : calls) {
        call->CloseCB(call->GetID());
        delete call;
    }
}

Call* CallControlService::GetCall(const unsigned long long& id) {
    ThreadMutexLock lock(mMutex);
    for (Call* call : mlistCalls) {
        if (call->GetID() == id) {
            return call;
        }
    }
    return nullptr;
}

Subscription* CallControlService::GetSubscription(const unsigned long long& id) {
    ThreadMutexLock registry(Subscription::mMapLock);
    for (Subscription* s : mlistSubscriptions) {
        if (s->GetID() == id) {
            return s;
        }
    }
    return nullptr;
}

void CallControlService::RemoveCall(Call* call) {
    {
        ThreadMutexLock lock(mMutex);
        mlistCalls.remove(call);
    }
    delete call;
}

std::shared_ptr<const CallControlService::EventText> CallControlService::EventText::Cut(
    XmlRpcMethod& m, unsigned long long id) {
    std::string text;
    const std::string value = "<string>" + NumberToString(id) + "</string>";
    const size_t at = m.BuildXML(text) ? text.find(value) : std::string::npos;
    if (at == std::string::npos || text.find("<string>") != at) {
        return nullptr;
    }
    auto cut = std::make_shared<EventText>();
    cut->prefix.assign(text, 0, at + 8);
    cut->suffix.assign(text, at + value.size() - 9, std::string::npos);
    cut->loggedAsIs = MessageForLog(text) == text;
    return cut;
}

bool CallControlService::QueueRequest(XmlRpcRequestMethod* method,
                                      std::shared_ptr<const EventText> text) {
    XmlRpcRequest request(method, std::move(text));
    {
        ThreadMutexLock lock(mMutex);
        if (mlistRequests.size() >= kMaxQueuedRequests) {
            TR::TRACEX("CCS: ERROR. Request queue full (%u), request dropped. %llu\n",
                       static_cast<unsigned>(mlistRequests.size()), method->GetCallID());
            server_metrics::Get().eventsDropped.Add();
            return false;
        }
        mlistRequests.push_back(request);
        mnQueued.store(mlistRequests.size(), std::memory_order_release);
    }
    server_metrics::Get().eventsQueued.Add();
    Wake();
    return true;
}

std::unique_ptr<CallControlService> CallControlService::Accept(BsdSocket& listener) {
    auto c = std::make_unique<CallControlService>();
    if (!c->mChannel.AcceptFrom(listener)) {
        return nullptr;
    }
    c->mChannel.Configure();
    c->mState = 2;
    return c;
}

size_t CallControlService::SubscriptionCount() const {
    ThreadMutexLock registry(Subscription::mMapLock);
    return mlistSubscriptions.size();
}

bool CallControlService::ContinueHandshake() {
    const int r = mChannel.ContinueHandshake();
    if (r > 0) {
        mState = 2;
        if (mnMetricState != server_metrics::kNoState) {
            SetMetricState(server_metrics::kUnauthenticated);
        }
    } else if (r < 0) {
        server_metrics::CountAuthFailure(server_metrics::kTlsHandshake);
    }
    return r >= 0;
}

void CallControlService::SetMetricState(int state) {
    if (state == mnMetricState) {
        return;
    }
    server_metrics::MoveConnection(mnMetricState, state, mbMetricTls);
    mnMetricState = state;
}

// ---------------------------------------------------------------------------
// Writing and the upload body

bool CallControlService::BuildAndSendXml(XmlRpcMethod* method) {
    std::string text;
    if (!AppendXml(method, nullptr, text)) {
        return false;
    }
    WriteXml(text, 1);
    return true;
}

bool CallControlService::AppendXml(XmlRpcMethod* method, const EventText* shared,
                                   std::string& out) {
    std::string text;
    if (method == nullptr) {
        return false;
    }
    if (shared != nullptr) {
        text.reserve(shared->prefix.size() + 20 + shared->suffix.size());
        text.append(shared->prefix).append(NumberToString(method->GetCallID()));
        text.append(shared->suffix);
    } else if (!method->BuildXML(text)) {
        return false;
    }
    Dispatching* const dispatching = CurrentDispatch();
    if (dispatching != nullptr && dispatching->connection == this) {
        if (method->GetKind() == XmlRpcMethod::KindResponse &&
            static_cast<XmlRpcResponseMethod*>(method)->IsFault() &&
            dispatching->outcome == server_metrics::kAnswered) {
            dispatching->outcome = server_metrics::kFault;
        }
        if (dispatching->capture != nullptr) {
            dispatching->capture->push_back(std::move(text));
            return true;
        }
    }
    TR::TRACEX("CCS: BuildAndSendXml. Sending data (%d bytes)...\n", static_cast<int>(text.size()));
    // A response echoes client text (a file name): escaped as received messages are.
    if (shared != nullptr && shared->loggedAsIs) {
        TR::TRACEX("\n%s\n", text.c_str());
    } else {
        TR::TRACEX("\n%s\n", MessageForLog(text).c_str());
    }
    if (mChannel.IsTls()) {
        TR::TRACEX("CCS: BuildAndSendXml. SSL. Sending request...\n");
    }
    if (out.empty()) {
        out.swap(text);  // the usual single request: no second copy
    } else {
        out.append(text);
    }
    return true;
}

void CallControlService::WriteXml(const std::string& out, int count) {
    mChannel.Write(out.data(), out.size());
    for (int i = 0; i < count && !mChannel.IsTls(); ++i) {
        TR::TRACEX("CCS: BuildAndSendXml. Sent...\n");
    }
}

// ---------------------------------------------------------------------------
// Queue, time-outs

bool CallControlService::SendRequest() {
    if (mnQueued.load(std::memory_order_acquire) == 0) {
        return false;  // the usual case on an idle connection: no lock taken
    }
    if (mChannel.OutputPending()) {
        return false;  // the client has not taken the last one yet: it stays queued
    }
    std::list<XmlRpcRequest> batch;
    {
        ThreadMutexLock lock(mMutex);
        if (mlistRequests.empty()) {
            return false;
        }
        auto end =
            std::next(mlistRequests.begin(),
                      mbWriteAllQueued ? std::min(mlistRequests.size(), kMaxRequestsPerWrite) : 1);
        batch.splice(batch.end(), mlistRequests, mlistRequests.begin(), end);
        mnQueued.store(mlistRequests.size(), std::memory_order_release);
    }
    // Written outside mMutex, so the main thread can go on queueing while a
    // slow client is being written to; one write for the whole batch.
    std::string text;
    int count = 0;
    const unsigned long now = ExtCallControl::GetMonotonicTime();
    for (auto it = batch.begin(); it != batch.end();) {
        auto next = std::next(it);
        if (AppendXml(it->mpMethod, it->mpText.get(), text)) {
            it->mnSendTime = now;
            mlistSentRequests.splice(mlistSentRequests.end(), batch, it);
            ++count;
            server_metrics::Get().clientRequestsSent.Add();
        }
        it = next;
    }
    if (count > 0) {
        WriteXml(text, count);
    }
    return true;
}

void CallControlService::FailRequest() {
    if (mlistSentRequests.empty()) {
        return;
    }
    XmlRpcRequestMethod* method = mlistSentRequests.front().mpMethod;
    const unsigned long long id = method != nullptr ? method->GetCallID() : 0;
    TR::TRACEX("CCS: Request failed... %llu\n", id);
    if (method != nullptr) {
        SettleCdr(*method, false);
    }
    Call* call = GetCall(id);
    if (call == nullptr) {
        mlistSentRequests.pop_front();
        return;
    }
    if (method->IsMethod(kMethodProcess)) {
        TR::TRACEX("CCS: Accepting call... %llu\n", id);
        call->AcceptCB(call->GetID(), "", "", 0);
    } else if (method->IsMethod(kMethodCallOriginated)) {
        TR::TRACEX("CCS: Accepting call... %llu\n", id);
        call->AcceptCRCB(call->GetID(), 1ULL);
    } else {
        call->FaultCB(call->GetID(), 100, "Request timeout");
    }
    RemoveCall(call);
    mlistSentRequests.pop_front();
}

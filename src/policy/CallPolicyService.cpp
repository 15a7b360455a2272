#include "policy/CallPolicyService.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "base/NumberString.h"
#include "config/CallPolicyAccessor.h"
#include "core/ExtCallControl.h"
#include "net/BsdSocket.h"
#include "net/EventLoop.h"
#include "policy/Base64.h"
#include "policy/PolicyMetrics.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/XmlRpcLog.h"

namespace {

const char kRequestHead[] =
    "POST /RPC2 HTTP/1.0\r\n"
    "Accept: text/xml\r\n"
    "Content-Type: text/xml\r\n"
    "User-Agent: tovra xmlrpc client/1.0\r\n"
    "Cache-Control: no-cache\r\n"
    "Authorization: Basic ";

// True when `text` begins with an HTTP status line of a 2xx status.
bool IsSuccessStatus(const char* text) {
    const char* p = text;
    if (std::strncmp(p, "HTTP/", 5) != 0) {
        return false;
    }
    p += 5;
    while (*p != '\0' && *p != ' ' && *p != '\r' && *p != '\n') {
        ++p;
    }
    return p[0] == ' ' && p[1] == '2' && std::isdigit(static_cast<unsigned char>(p[2])) &&
           std::isdigit(static_cast<unsigned char>(p[3]));
}

// Stands between a parsed answer and the offered call: passes its decision on
// to the call and notes whether the offered call got one. Strict, it passes on
// only a decision for the offered call (a decision without an ID is taken as
// one) and at most one; otherwise every decision goes to the call as named.
// Used by the worker, for one answer.
class DecisionGate : public IRpcCallback {
  public:
    DecisionGate(Call& call, bool strict) : mCall(call), mbStrict(strict) {}

    void AcceptCB(const unsigned long long& callId, const std::string& callerId,
                  const std::string& displayName, long virtualAccept) override {
        unsigned long long id = callId;
        if (Admit(id)) {
            mCall.AcceptCB(id, callerId, displayName, virtualAccept);
        }
    }
    void ForwardCB(const unsigned long long& callId, const std::list<CallParams>& targets,
                   const std::string& callerId, const std::string& displayName) override {
        unsigned long long id = callId;
        if (Admit(id)) {
            mCall.ForwardCB(id, targets, callerId, displayName);
        }
    }
    void RejectCB(const unsigned long long& callId) override {
        unsigned long long id = callId;
        if (Admit(id)) {
            mCall.RejectCB(id);
        }
    }

    bool Decided() const { return mbDecided; }
    // The other call a strict gate refused a decision for; 0 when none.
    unsigned long long Refused() const { return mRefused; }

  private:
    bool Admit(unsigned long long& id) {
        const unsigned long long offered = mCall.GetID();
        if (mbStrict) {
            if (id == 0) {
                id = offered;
            }
            if (id != offered) {
                mRefused = id;
                return false;
            }
            if (mbDecided) {
                return false;
            }
        }
        mbDecided = mbDecided || id == offered;
        return true;
    }

    Call& mCall;
    const bool mbStrict;
    bool mbDecided = false;
    unsigned long long mRefused = 0;
};

}  // namespace

Thread::ThreadProc CallPolicyService::mpThread = nullptr;
std::atomic<int> CallPolicyService::mbUpdateServerParams{1};
std::string& CallPolicyService::mServerAddr = *new std::string;
unsigned short CallPolicyService::mServerPort = 0;
std::string& CallPolicyService::mUserName = *new std::string;
std::string& CallPolicyService::mPassword = *new std::string;
int CallPolicyService::mnReqTimeout = 0;
int CallPolicyService::mbSecure = 1;
bool CallPolicyService::mbStrictDecisions = false;
bool CallPolicyService::mbEveryAddress = false;
std::string& CallPolicyService::mPolicyCaFile = *new std::string;
std::list<std::unique_ptr<CallPolicyService>>& CallPolicyService::mlistServicesInProgress =
    *new std::list<std::unique_ptr<CallPolicyService>>;
std::vector<exlink::UniqueFd>& CallPolicyService::mvRetiredSockets =
    *new std::vector<exlink::UniqueFd>;
ThreadMutex& CallPolicyService::mListMutex = *new ThreadMutex;
EventLoop* CallPolicyService::mpLoop = nullptr;

CallPolicyService::CallPolicyService(Call* call) : mpCall(call) {
    unsigned count;
    {
        ThreadMutexLock lock(mListMutex);
        count = static_cast<unsigned>(mlistServicesInProgress.size());
    }
    ExtCallControl::TRACEX("CallPolicyService: Create. %llu. (C:%u)\n", mpCall->GetID(), count);
    policy_metrics::Pending().Add(1);
    mpCall->SetListener(this);
}

CallPolicyService::~CallPolicyService() {
    mTls.Close();
    mSocket.Reset();
    mpCall.reset();
    unsigned count;
    {
        ThreadMutexLock lock(mListMutex);
        mpRequest.reset();
        mlistRequests.clear();
        count = static_cast<unsigned>(mlistServicesInProgress.size());
    }
    ExtCallControl::TRACEX("CallPolicyService: Delete. (C:%u)\n", count);
    policy_metrics::Pending().Add(-1);
}

void CallPolicyService::CallArrived(Call* call, ExtCallType type, const std::string& ext,
                                    const CallParams& from, const CallParams& to,
                                    const unsigned long long& origCallId) {
    auto request = std::make_unique<CallArrivedMethod>();
    // A party that cannot be written leaves the request incomplete; it is then
    // never sent and the call is accepted (see ComposeXmlRpcHttpRequest).
    request->SetParams(call->GetID(), type, ext, from, to, origCallId);
    {
        ThreadMutexLock lock(mListMutex);
        mlistRequests.push_back(std::move(request));
    }
    Start();
}

void CallPolicyService::CallStateChanged(Call* /*call*/, ExtCallState state) {
    if (state == ExtCallState_Disconnected) {
        Stop();
    }
}

bool CallPolicyService::Start() {
    const unsigned long long id = mpCall->GetID();
    ExtCallControl::TRACEX("CallPolicyService: Starting Service. %llu\n", id);
    // Made non-blocking at once (one system call instead of two).
    mSocket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
    if (!mSocket.Valid()) {
        ExtCallControl::TRACEX("ERROR. CallPolicyService: no usable socket. %d. %llu\n", errno, id);
        mSocket.Reset();
        return false;
    }
    EventLoop* loop;
    {
        ThreadMutexLock lock(mListMutex);
        InitWorkerLoop();
        // From here the worker owns the service.
        mlistServicesInProgress.emplace_back(this);
        if (mpThread == nullptr) {
            ExtCallControl::TRACEX("CallPolicyService: Starting working thread. %llu\n", id);
            if (Thread::BeginThread(HttpProcessingProc, nullptr)) {
                mpThread = HttpProcessingProc;
            } else {
                ExtCallControl::TRACEX(
                    "ERROR. CallPolicyService: the working thread did not start. %llu\n", id);
            }
        }
        loop = mpLoop;
    }
    // Nothing of this service is touched once the lock is released: the worker
    // may decide the call and destroy the service at once. The worker is woken
    // after the release: woken under the lock, it took the processor only to
    // wait for the lock. The line goes first, so that it still precedes the
    // worker's lines for this call.
    ExtCallControl::TRACEX("CallPolicyService: Waking up the thread. %llu\n", id);
    if (loop != nullptr) {
        loop->Wake();
    }
    return true;
}

bool CallPolicyService::Stop() {
    const unsigned long long id = mpCall->GetID();
    ExtCallControl::TRACEX("CallPolicyService: Stopping Service. %llu\n", id);
    std::unique_ptr<CallPolicyService> self;
    {
        ThreadMutexLock lock(mListMutex);
        if (mbFinishing) {
            // Already decided: the worker destroys it once the caller releases
            // the call registry.
            return true;
        }
        auto it = std::find_if(
            mlistServicesInProgress.begin(), mlistServicesInProgress.end(),
            [this](const std::unique_ptr<CallPolicyService>& s) { return s.get() == this; });
        if (it != mlistServicesInProgress.end()) {
            self = std::move(*it);
            mlistServicesInProgress.erase(it);
            // The TLS session is closed while the socket is still ours; the
            // socket itself is closed by the worker once it is out of its
            // loop, so that the loop never holds a closed descriptor.
            mTls.Close();
            if (mSocket.Valid()) {
                mvRetiredSockets.push_back(std::move(mSocket));
            }
        }
        WakeWorker();
        ExtCallControl::TRACEX("CallPolicyService: Waking up the thread. %llu\n", id);
    }
    if (!self) {
        // Never handed to the worker (Start failed): it owns itself.
        self.reset(this);
    }
    return true;
}

std::vector<PendingDecision> CallPolicyService::Pending() {
    static const char* const kStates[] = {"new", "connecting", "receiving"};
    const long now = static_cast<long>(ExtCallControl::GetMonotonicTime());
    std::vector<PendingDecision> out;
    // The worker changes a service's state and start time only in its pass,
    // under mListMutex.
    ThreadMutexLock lock(mListMutex);
    for (const std::unique_ptr<CallPolicyService>& s : mlistServicesInProgress) {
        PendingDecision d;
        d.callId = s->mpCall->GetID();
        d.state = s->mState >= 0 && s->mState <= StateReceiving ? kStates[s->mState] : "";
        d.waitedSeconds = s->mnReqStartTime != 0 ? now - s->mnReqStartTime : 0;
        out.push_back(d);
    }
    return out;
}

void CallPolicyService::UpdateConfigs() {
    mbUpdateServerParams = 1;
}

void CallPolicyService::ReadConfigs() {
    CallPolicyAccessor* settings = CallPolicyAccessor::GetInstance(false);
    if (settings == nullptr) {
        return;
    }
    if (settings->load() == 0) {
        CallPolicyAccessor::CloseInstance();
        return;
    }
    mServerAddr = settings->GetServerAddress();
    mServerPort = StringToNumber<unsigned short>(settings->GetServerPort());
    mUserName = settings->GetUserName();
    mPassword = settings->GetPassword();
    mnReqTimeout = StringToNumber<int>(settings->GetRequestTimeout());
    mbSecure = settings->IsSecure() ? 1 : 0;
    mbStrictDecisions = settings->IsStrictDecisions();
    mbEveryAddress = settings->IsPolicyIpv6();
    mPolicyCaFile = settings->GetPolicyCaFile();
    ExtCallControl::TRACEX("Server: %s.\n", mServerAddr.c_str());
    ExtCallControl::TRACEX("Port: %u.\n", static_cast<unsigned>(mServerPort));
    ExtCallControl::TRACEX("Username: %s.\n", mUserName.c_str());
    ExtCallControl::TRACEX("Request Timeout: %d.\n", mnReqTimeout);
    ExtCallControl::TRACEX("Secure: %s.\n", mbSecure != 0 ? "true" : "false");
    ExtCallControl::TRACEX("Certificate check: %s.\n",
                           mPolicyCaFile.empty() ? "none" : mPolicyCaFile.c_str());
    ExtCallControl::TRACEX("Strict decisions: %s.\n", mbStrictDecisions ? "true" : "false");
    ExtCallControl::TRACEX("Every address: %s.\n", mbEveryAddress ? "true" : "false");
    CallPolicyAccessor::CloseInstance();
}

void CallPolicyService::InitWorkerLoop() {
    if (mpLoop != nullptr) {
        return;
    }
    // Owned by no one on purpose: the worker may use it after main returns.
    mpLoop = new EventLoop;
    if (!mpLoop->IsOpen()) {
        ExtCallControl::TRACEX("ERROR. CallPolicyService: no control socket. %d.\n", errno);
        return;
    }
    ExtCallControl::TRACEX("CallPolicyService: Thread: creating control socket. socket = %d.\n",
                           mpLoop->WakeDescriptor());
}

void CallPolicyService::WakeWorker() {
    if (mpLoop != nullptr) {
        mpLoop->Wake();
    }
}

std::string CallPolicyService::ComposeXmlRpcHttpRequest() {
    {
        ThreadMutexLock lock(mListMutex);
        if (mlistRequests.empty()) {
            return "";
        }
        mpRequest = std::move(mlistRequests.front());
        mlistRequests.pop_front();
    }
    const unsigned long long id = mpCall->GetID();
    std::string body;
    if (!mpRequest->BuildXML(body)) {
        ExtCallControl::TRACEX("ERROR. CallPolicyService: request cannot be written. %llu\n", id);
        return "";
    }
    std::string credentials;
    const std::string plain = mUserName + ":" + mPassword;
    if (!EncodeBase64(plain, credentials)) {
        ExtCallControl::TRACEX(
            "ERROR. CallPolicyService: credentials of %lu bytes too long to encode. %llu\n",
            static_cast<unsigned long>(plain.size()), id);
        return "";
    }
    std::string tail = "\r\nHost: ";
    tail += mServerAddr;
    tail += ":";
    tail += NumberToString(mServerPort);
    tail += "\r\nContent-Length: ";
    tail += NumberToString(body.size());
    tail += "\r\n\r\n";
    tail += body;
    // Base64 hides nothing: with "mask-logged-secrets" the log gets the
    // request with its credentials masked.
    ExtCallControl::TRACEX("CallPolicyService: Composing XML-RPC Request:\n%s%s%s\n", kRequestHead,
                           SecretForLog(credentials).c_str(), tail.c_str());
    return kRequestHead + credentials + tail;
}

bool CallPolicyService::ProcessXmlRpcHttpResponse(const char* text) {
    ExtCallControl::TRACEX("CallPolicyService: Processing XML-RPC response:\n%s\n", text);
    ThreadMutexLock lock(mListMutex);
    if (!mpRequest) {
        return false;
    }
    const unsigned long long id = mpCall->GetID();
    // Without strict-decisions the status line and header fields are not
    // examined: the parser finds the methodResponse element in the whole text.
    if (mbStrictDecisions && !IsSuccessStatus(text)) {
        ExtCallControl::TRACEX(
            "ERROR. CallPolicyService: Thread: answer without a 2xx status. Accepting Call. %llu\n",
            id);
        AcceptByFallback();
        return false;
    }
    std::unique_ptr<XmlRpcResponseMethod> response(mpRequest->CreateResponse(false));
    if (!response || !response->Parse(text)) {
        AcceptByFallback();
        return false;
    }
    DecisionGate gate(*mpCall, mbStrictDecisions);
    response->Execute(gate);
    response.reset();
    mpRequest.reset();
    if (gate.Decided()) {
        policy_metrics::CountDecision(policy_metrics::kDecided, mCreated);
        return true;
    }
    // An answer that named another call, or carried out nothing, leaves the
    // offered call to the fall-back: it must not stay undecided.
    if (gate.Refused() != 0) {
        ExtCallControl::TRACEX(
            "ERROR. CallPolicyService: Thread: answer for call %llu refused. Accepting Call. "
            "%llu\n",
            gate.Refused(), id);
    } else {
        ExtCallControl::TRACEX(
            "ERROR. CallPolicyService: Thread: answer did not decide the call. Accepting Call. "
            "%llu\n",
            id);
    }
    AcceptByFallback();
    return false;
}

void CallPolicyService::AcceptByFallback(bool timedOut) {
    policy_metrics::CountDecision(timedOut ? policy_metrics::kTimeout : policy_metrics::kError,
                                  mCreated);
    mpCall->AcceptCB(mpCall->GetID(), "", "", 0);
}

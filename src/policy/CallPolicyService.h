// The client of the call-policy server. One CallPolicyService exists per
// arriving call that no client connection claimed: it asks the policy server
// ("Services.CallProcessingService.process" over HTTP/1.0, plain or TLS, with
// Basic credentials) what to do with the call and carries out the answer.
// Every failure, and a server that does not answer within the request time-out,
// ends in accepting the call.
//
// Threads: the main thread constructs the service and runs CallArrived,
// CallStateChanged, Start, Stop and UpdateConfigs (the call notifications
// arrive under the call registry lock). One shared worker thread
// (HttpProcessingProc, started by the first Start, runs for the life of the
// process) works every started service: connects, handshakes, sends, reads,
// carries out decisions and destroys finished services. It waits on one
// EventLoop, which Start and Stop wake from the main thread.
// Locks: mListMutex guards mlistServicesInProgress, mvRetiredSockets, mpLoop
// (made once, by the first Start) and every service's mlistRequests,
// mpRequest and mbFinishing. The worker holds it for
// its pass (never taking a registry lock meanwhile) and destroys finished
// services after releasing it, under Call::mMapMutex, which keeps the order
// registry lock -> mListMutex. The socket, TLS objects, response text, state
// start time and awaited events of a started service are touched by the worker
// only (Stop closes the TLS session of a service it takes back, under
// mListMutex); the settings statics are written by the worker only.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/Thread.h"
#include "base/ThreadMutex.h"
#include "core/Call.h"
#include "core/FrontEnds.h"
#include "core/ICallNotify.h"
#include "exchange/ExchangeLink.h"
#include "net/TlsStream.h"
#include "policy/Service.h"
#include "xmlrpc/XmlRpcMethod.h"

class EventLoop;

class CallPolicyService : public Service, public ICallNotify {
  public:
    // Takes ownership of `call` and becomes its listener.
    explicit CallPolicyService(Call* call);
    ~CallPolicyService() override;
    CallPolicyService(const CallPolicyService&) = delete;
    CallPolicyService& operator=(const CallPolicyService&) = delete;

    // ICallNotify: the arrival queues the "process" question and starts the
    // service; the end of the call (state 3) withdraws it.
    void CallArrived(Call* call, ExtCallType type, const std::string& ext, const CallParams& from,
                     const CallParams& to, const unsigned long long& origCallId) override;
    void CallStateChanged(Call* call, ExtCallState state) override;

    // Makes the socket and hands the service to the worker (starting it the
    // first time). False when no non-blocking socket can be made: the
    // service then stays idle until its call ends.
    bool Start() override;
    // Takes the service from the worker and destroys it, unless the worker has
    // already finished it and destroys it itself. Always true.
    bool Stop() override;

    // The services the worker holds, for the status view; takes mListMutex
    // (innermost: the caller may hold the control server's locks).
    static std::vector<PendingDecision> Pending();
    // Marks the settings to be re-read at the worker's next pass.
    static void UpdateConfigs();
    // Reads the settings; keeps the current values when they cannot be loaded.
    static void ReadConfigs();
    // The HTTP request for the next queued request (which becomes mpRequest),
    // or "" when none is queued or the credentials cannot be encoded.
    std::string ComposeXmlRpcHttpRequest();
    // Parses the whole received text as the answer to mpRequest and carries it
    // out on the call; on failure, and when the answer decided no command for
    // the call, accepts the call. True when the answer decided the call. With
    // strict-decisions, an answer acts only on the offered call (one without
    // an ID means it) and needs a 2xx status.
    bool ProcessXmlRpcHttpResponse(const char* text);
    // The worker's procedure; never returns.
    static unsigned long HttpProcessingProc(void* arg);

    // Largest answer kept: a longer one is cut off and the call accepted.
    static constexpr std::size_t kMaxResponseBytes = 64 * 1024;

  private:
    friend struct CallPolicyServiceTestAccess;

    enum State { StateNew = 0, StateConnecting = 1, StateReceiving = 2 };

    // One visit of the worker's pass; each returns true when the service is
    // finished (decided, accepted by the fall-back, or timed out).
    bool TimeoutStep(long now, int& nextCheckTimeout);
    bool StateStep(long now);
    bool ConnectStep(long now);
    // After a failed connect to the current address: moves to the next one
    // (its socket out of the loop and closed) and returns true, or false
    // when none is left.
    bool NextAddress(int error);
    bool ConnectingStep();
    bool SendPlain();
    bool HandshakeStep();
    bool ReceiveStep();
    // Has `loop` watch the socket for mnWaitFor.
    bool WatchStep(EventLoop& loop);
    // Accepts the call; counted as a time-out or as an error.
    void AcceptByFallback(bool timedOut = false);
    // Makes the worker's loop, once; called with mListMutex held.
    static void InitWorkerLoop();
    // Wakes the worker; called with mListMutex held.
    static void WakeWorker();
    // One pass of the worker over the services, under mListMutex; the finished
    // services leave `loop` and are moved into `finished`.
    static int VisitServices(EventLoop& loop,
                             std::vector<std::unique_ptr<CallPolicyService>>& finished);

    std::unique_ptr<Call> mpCall;
    std::list<std::unique_ptr<XmlRpcRequestMethod>> mlistRequests;
    std::unique_ptr<XmlRpcRequestMethod> mpRequest;
    std::string mResponse;
    exlink::UniqueFd mSocket;
    TlsStream mTls;  // open from the start of the handshake (TLS mode only)
    long mnReqStartTime = 0;
    std::chrono::steady_clock::time_point mCreated = std::chrono::steady_clock::now();
    int mState = StateNew;
    // Which of the server's addresses the connect is at.
    std::size_t mnAddressIndex = 0;
    // What the socket waits for at the next wait (EventLoop::kRead, kWrite, or 0).
    unsigned mnWaitFor = 0;
    // Connecting: the TCP connection is up (the rest is the TLS handshake),
    // and the readiness the step waits for (read, else write).
    bool mbConnected = false;
    bool mbWaitRead = false;
    // TLS or plain: the mode in force when the connect began.
    bool mbUseSsl = false;
    // Taken off the list by the worker, which destroys it.
    bool mbFinishing = false;

    // The worker procedure, once it runs (null before the first Start).
    static Thread::ThreadProc mpThread;
    static std::atomic<int> mbUpdateServerParams;
    static std::string& mServerAddr;
    static unsigned short mServerPort;
    static std::string& mUserName;
    static std::string& mPassword;
    static int mnReqTimeout;
    static int mbSecure;
    static bool mbStrictDecisions;
    // A policy-server name resolves to every IPv6 and IPv4 address (policy-ipv6).
    static bool mbEveryAddress;
    // Trusted certificates of the policy server ("" = not checked, "system",
    // or a PEM file).
    static std::string& mPolicyCaFile;
    // The started services; owned. Never destroyed (the worker outlives main).
    static std::list<std::unique_ptr<CallPolicyService>>& mlistServicesInProgress;
    // Sockets of services withdrawn by Stop: the worker takes them out of its
    // loop and then closes them.
    static std::vector<exlink::UniqueFd>& mvRetiredSockets;
    static ThreadMutex& mListMutex;
    // The worker's loop; never destroyed (the worker outlives main).
    static EventLoop* mpLoop;
};

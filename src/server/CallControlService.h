// The XML-RPC control server.
//
// Two layers. The static layer holds the settings, the TLS context, the
// listener, the wake-up socket, the connection thread and the list of live
// connections; ReadConfigs, UpdateConfigs, Start and CleanUp run on the main
// thread. Each accepted client connection is one CallControlService object,
// owned by mlistServicesInProgress: it owns its byte stream (ClientChannel:
// socket, TLS, pending output), its two request queues with their methods, and
// the Call and Subscription objects its client created or was handed, and the
// upload in progress on it; it is their ICallNotify / ISubscriptionNotify
// listener.
//
// The code is split by concern: CallControlSettings.cpp (settings, start,
// stop), ConnectionListener.cpp (accepting, and the room kept for clients
// that authorise), ConnectionThread.cpp (the thread's loop, wake-ups and one
// connection's pass), CallControlService.cpp (the connection's queues and
// writes), CallControlDispatch.cpp (what a client sends), CallControlNotify.cpp
// (events sent to clients), CallControlAuth.cpp and CallControlSystem.cpp
// (the handlers of the system services), ConnectionUpload.cpp (an upload's
// body, received over the connection's passes), CallControlRights.cpp (what
// the account of a connection may reach, with "account-rights").
//
// Threads and locks (outermost first):
// - mServMutex guards mlistServicesInProgress and, per connection, mState,
//   mlistExtensions, mlistSentRequests, mRecvBuffer and the upload in progress
//   (mpUpload, mpUploadAnswer). The connection thread
//   holds it for a whole pass (accept, read, dispatch, time-outs, writes); the
//   main thread takes it in the static CallArrived to hand over a call and,
//   with "event-thread-writes", tries it at the end of an event to write what
//   the event queued (WriteQueuedNow).
// - Subscription::mMapLock guards every connection's mlistSubscriptions: the
//   main thread already holds it when a subscription event removes one
//   (ErrorConvey), and the connection thread holds it while it looks up, uses,
//   adds or removes a subscription of the list.
// - a connection's mMutex guards mlistRequests (the queue of requests to write)
//   and mlistCalls. The main thread appends to both under it (under a registry
//   lock or mServMutex); the connection thread reads and removes under it and
//   deletes a Call only after releasing it. Only the connection thread (or
//   CleanUp once the thread is gone) deletes a connection's Calls, so a pointer
//   from GetCall stays valid on that thread. Never held while a registry lock is
//   taken.
// - the channel's I/O lock (ClientChannel) makes every write a whole message;
//   innermost but for the log's lock.
// - the account of a connection (mAccount, mOwnExtension, mGrants) is set at
//   authentication and read by the dispatch, both on the connection thread;
//   no lock.
// The settings are atomics: written by the main thread, read by the
// connection thread.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Thread.h"
#include "base/ThreadMutex.h"
#include "config/AccountRights.h"
#include "core/ICallNotify.h"
#include "core/ISubscriptionNotify.h"
#include "exchange/MessagingTypes.h"
#include "net/BsdSocket.h"
#include "server/ClientChannel.h"
#include "services/SystemServices.h"

class Call;
class EventLoop;
class Subscription;
class XmlRpcMethod;
class XmlRpcRequestMethod;
class XmlRpcResponseMethod;
class XmlRpcValueStruct;

class CallControlService : public ICallNotify, public ISubscriptionNotify, public IUploadChannel {
  public:
    // A request sent (or to be sent) to the client, with the time it was written.
    // Copying hands the method on: the copy holds it and the source is left
    // empty, so an entry copied into another list and erased from the first
    // moves its method.
    // The text of an event for every subscriber: it differs only in the
    // subscription ID, written between the two parts. Cut on the main thread,
    // never changed after, read by the connection thread through shared_ptr.
    struct EventText {
        std::string prefix, suffix;
        // The log shows the text as it is (no control character to escape, no
        // secret to mask): the ID put between, digits only, changes nothing.
        bool loggedAsIs = false;
        // The text of `m`, cut around its ID `id`; null when the ID is not the
        // first string of the text (then each request builds its own).
        static std::shared_ptr<const EventText> Cut(XmlRpcMethod& m, unsigned long long id);
    };

    struct XmlRpcRequest {
        explicit XmlRpcRequest(XmlRpcRequestMethod* method = nullptr,
                               std::shared_ptr<const EventText> text = nullptr);
        XmlRpcRequest(const XmlRpcRequest& other);
        XmlRpcRequest& operator=(const XmlRpcRequest& other);
        ~XmlRpcRequest();

        mutable XmlRpcRequestMethod* mpMethod;    // owned
        unsigned long mnSendTime = 0;             // GetMonotonicTime() when written; 0 before
        std::shared_ptr<const EventText> mpText;  // shared text, or null: built from mpMethod
    };

    // Bounds of what one connection may hold (see docs/server.md).
    static constexpr size_t kMaxRecvBuffer = 1024 * 1024;  // bytes without a complete message
    static constexpr size_t kMaxQueuedRequests = 10000;    // requests waiting to be written
    static constexpr size_t kMaxRequestsPerWrite = 64;     // with "write-all-queued"
    // Connections the main thread writes to itself at the end of an event;
    // more, and the connection thread writes them all: for a fan-out to
    // 1,000 the main thread would hold mServMutex through every write while
    // the answers wait (measured slower than the connection thread's passes,
    // which take answers between writes).
    static constexpr int kEventWritesMax = 128;
    static constexpr int kSendTimeout = ClientChannel::kSendTimeout;
    static constexpr int kHandshakeTimeout = 10;  // seconds for a TLS handshake

    // ---- process-wide layer (main thread) ----
    static void ReadConfigs();
    static void UpdateConfigs();
    static void Start();
    static void CleanUp();

    // Hands an arriving call to the connection whose serial number `target`
    // carries (the requester token given to the call manager), under
    // mServMutex; false when that connection is gone or cannot take it (the
    // caller then accepts the call itself).
    static bool CallArrived(const CallControlService* target, Call* call, ExtCallType type,
                            const std::string& ext, const CallParams& from, const CallParams& to,
                            const unsigned long long& origCallId);

    // The connection thread's body.
    static unsigned long RPCProcessingProc(void* arg);

    // Writes the 16 digest bytes as 32 lowercase hexadecimal digits and a zero.
    static void CvtHex(const unsigned char* digest, unsigned char* text);

    // Holds back this thread's wake-ups until the outermost batch ends, so
    // that the main thread queues everything one exchange event brings (an
    // event for 1,000 subscribers: 1,000 requests) before the connection
    // thread runs, instead of the two taking turns at the locks they share
    // (the log's among them) request by request. Main thread, around the
    // handling of one message from a queue.
    static void BeginWakeBatch();
    static void EndWakeBatch();
    // With "event-thread-writes", at the end of a batch: writes the requests
    // queued for at most kEventWritesMax connections that have nothing else
    // waiting (no output, no upload), under mServMutex if it is free at once;
    // true when the connection thread need not look (nothing left queued or
    // waiting, no new request time-out to keep).
    static bool WriteQueuedNow();

    // ---- one client connection ----
    CallControlService();
    virtual ~CallControlService();
    CallControlService(const CallControlService&) = delete;
    CallControlService& operator=(const CallControlService&) = delete;

    // A plain (not TLS), non-blocking connection accepted from `listener`;
    // null when there was none to accept (errno set).
    static std::unique_ptr<CallControlService> Accept(BsdSocket& listener);

    Call* GetCall(const unsigned long long& id);
    Subscription* GetSubscription(const unsigned long long& id);
    // The requester token of this connection: a serial number never reused.
    unsigned long GetSerial() const { return mnSerial; }

    // Connection thread.
    // Serves one connection in a pass (mServMutex held); false when it must
    // be closed.
    bool Serve(bool readable, bool writable, unsigned long now);
    // Takes bytes that arrived from the client and dispatches every complete
    // message among them (mServMutex held); false when the connection must be
    // closed (logged).
    bool TakeInput(const char* data, size_t length);
    // Writes the next queued request (with "write-all-queued": every queued
    // one, up to kMaxRequestsPerWrite, in one write) unless the client has not
    // taken the last one; false when nothing was written.
    bool SendRequest();
    bool BuildAndSendXml(XmlRpcMethod* method);
    // Appends the text of `method` (or `shared` around its ID) to `out` and
    // logs it as sent; false when there is none.
    bool AppendXml(XmlRpcMethod* method, const EventText* shared, std::string& out);
    // Writes texts appended by AppendXml and logs each as sent.
    void WriteXml(const std::string& out, int count);
    ClientChannel& Channel() { return mChannel; }

    // What the connection holds: requests queued for writing, requests
    // written and awaiting the client's answer, subscriptions.
    size_t QueuedRequests() const { return mnQueued.load(std::memory_order_acquire); }
    size_t AwaitingAnswers() const { return mlistSentRequests.size(); }
    size_t SubscriptionCount() const;

    // ICallNotify: system services (connection thread, inside the dispatch).
    void Authenticate(const std::string& user, const std::string& password) override;
    void SecureAuthenticate(const std::string& user, const std::string& timeStamp,
                            const std::string& digest) override;
    void GetExtension(const std::string& user) override;
    void IncomingCallHandling(Call* carrier, const std::string& ext, long enable) override;
    void GetSystemInfo(Call* call) override;
    int GetWAVList(int type, const std::string& ext, std::list<std::string>* names) override;
    int WAVFileDelete(int type, const std::string& ext, const std::string& file) override;
    int FileTransfer(int type, const std::string& ext, const std::string& file, const int& size,
                     bool transfer, std::string& message) override;
    int ConfigurationUpdate(const std::string& file, int& size, bool flag,
                            std::string& message) override;

    // ICallNotify: call events (main thread, under the call registry lock or,
    // for CallArrived, under mServMutex).
    void CallArrived(Call* call, ExtCallType type, const std::string& ext, const CallParams& from,
                     const CallParams& to, const unsigned long long& origCallId) override;
    void CallStateChanged(Call* call, ExtCallState state) override;
    void MessagePlayed(Call* call) override;
    void DTMFInjected(Call* call) override;
    void DtmfDigit(Call* call, char digit) override;

    // ISubscriptionNotify (main thread under the subscription registry lock;
    // Confirm and ErrorConvey also on the connection thread).
    void MailArrived(Subscription* s, const MailSettings& mail) override;
    void CDRArrived(Subscription* s, int kind, const RcCDR& cdr,
                    const CallStatistics* statistics) override;
    void CallOriginated(const unsigned long long& callId, ExtCallType type, const std::string& ext,
                        const CallParams& from, const CallParams& to,
                        const std::string& pattern) override;
    void DialogArrived(Subscription* s, const std::list<DialogParams>& dialogs) override;
    void PresenceArrived(Subscription* s, long state) override;
    void ExtListArrived(Subscription* s, const std::list<Ext>& extensions) override;
    void Confirm(Subscription* s) override;
    void ErrorConvey(Subscription* s, const PUAErrorCode& error) override;

    // IUploadChannel: the "OK" for each chunk of an upload's body on this
    // connection (connection thread, from ContinueUpload).
    bool SendOk() override;

    // ---- settings and process-wide state ----
    static std::atomic<unsigned short> mListenPort;  // 4849
    static std::atomic<int> mnReqTimeout;            // seconds; 10; <= 0: never
    static std::atomic<bool> mbSecureListen;         // false
    static std::atomic<bool> mbRequireAuth;          // false: refuse until authorised
    static std::atomic<int> mnAuthTimeout;           // seconds unauthorised; <= 0: no limit
    static std::atomic<int> mnMaxUnauth;             // unauthorised connections; <= 0: any
    static std::atomic<int> mnMaxUnauthPerPeer;      // the same from one address; 64; <= 0: any
    static std::atomic<bool> mbAccountRights;        // false: every account reaches everything
    static std::atomic<bool> mbStrictDecisions;      // false: an answer decides the call it names
    static std::atomic<bool> mbSafeRetries;     // false: a request sent again is carried out again
    static std::atomic<bool> mbWriteAllQueued;  // false: one request per connection per pass
    static std::atomic<bool>
        mbEventThreadWrites;  // false: only the connection thread writes requests
    // Where the listener binds ("0.0.0.0": every IPv4 address; empty: every
    // address; else one literal). Written by the main thread only while the
    // connection thread is stopped (ReadConfigs, UpdateConfigs), read by it.
    static const std::string& ListenAddress();
    static SSL_CTX* mpCTX;                             // made by Start
    static std::unique_ptr<BsdSocket> mpListenerSock;  // connection thread
    static Thread::Handle mhThread;                    // valid while mbThreadStarted
    static std::atomic<bool> mbThreadStarted;
    static std::atomic<bool> mbRunning;  // the thread's loop condition; CleanUp clears it
    static std::list<CallControlService*> mlistServicesInProgress;  // owned
    static ThreadMutex mServMutex;

  private:
    friend class ConnectionListener;

    // With "cdr-spool": where a CDR subscription of this connection stands
    // in the spool (CdrDelivery.cpp; connection thread only).
    struct CdrCursor {
        std::string account;                   // the consumer is (account, ID)
        unsigned long long next = 0;           // the next record to look at
        size_t inflight = 0;                   // queued or written, unanswered
        unsigned long retryAt = 0;             // monotonic seconds; 0: no back-off
        unsigned long long retryFrom = 0;      // the first record to send again
        unsigned backoff = 0;                  // seconds of the last back-off
        std::vector<unsigned long long> acks;  // answered; to the spool at the next pass
    };
    std::map<unsigned long long, CdrCursor> mmapCdrCursors;
    unsigned mnCdrGeneration = 0;  // CdrSpool::Generation() last seen
    void StartCdrConsumer(const unsigned long long& id);
    void StopCdrConsumer(const unsigned long long& id);
    // Queues the next records of each CDR subscription, within its window.
    void PullCdrs(unsigned long now);
    // Seconds until a backed-off subscription is due again; -1: none.
    long CdrDue(unsigned long now) const;
    // The answer to a spooled cdrarrived (acknowledged unless a fault), or
    // its failure (no answer in time).
    void SettleCdr(const XmlRpcRequestMethod& sent, bool acknowledged);
    void AnswerGetCdrs(XmlRpcRequestMethod& m);
    // Queues a record's request without waking the connection thread (it
    // runs in the thread's pass, whose end looks at the queue).
    bool QueueCdr(XmlRpcRequestMethod* method);

    // ---- fields of a connection ----
    std::list<XmlRpcRequest> mlistSentRequests;  // written, awaiting the answer
    ThreadMutex mMutex;
    std::list<XmlRpcRequest> mlistRequests;  // queued for writing (mMutex)
    // mlistRequests' length, changed under mMutex with it, so that a pass can
    // see an empty queue without taking the lock.
    std::atomic<size_t> mnQueued{0};
    std::list<Call*> mlistCalls;                  // owned (mMutex)
    std::list<Subscription*> mlistSubscriptions;  // owned (Subscription::mMapLock)
    // With "safe-retries": the kind and extension each subscription was made
    // with, "KIND:EXT", by ID (Subscription::mMapLock; an entry outlives its
    // subscription until the ID is used again).
    std::map<unsigned long long, std::string> mmapSubscribed;
    std::list<std::string> mlistExtensions;
    std::string mRecvBuffer;
    int mState = 0;  // 1 while the TLS handshake runs, 2 once connected
    std::atomic<bool> mbAuthorised{false};
    // The account that authenticated last (empty before) and whether it did
    // so by digest (an IP-line user may); with "account-rights", the
    // extension it owns (its own number, or an IP-line user's line
    // extension) and its grants, read once (LoadAccount).
    std::string mAccount;
    bool mbDigestAccount = false;
    bool mbAccountLoaded = false;
    std::string mOwnExtension;
    AccountGrants mGrants;
    ClientChannel mChannel;
    // The upload in progress: from the request that begins it until its
    // answer is sent, its body is taken from the input and nothing else the
    // client sends is carried out, nor is any queued request written (the
    // client reads "OK"s and then the answer). mpUploadAnswer is that answer,
    // completed from the upload's result.
    std::unique_ptr<SystemServices::UploadJob> mpUpload;
    std::unique_ptr<XmlRpcResponseMethod> mpUploadAnswer;

    // Queues `method` (taking ownership) and wakes the connection thread;
    // false (the method destroyed) when the queue is full.
    bool QueueRequest(XmlRpcRequestMethod* method, std::shared_ptr<const EventText> text = nullptr);
    // Removes `call` from mlistCalls and deletes it.
    void RemoveCall(Call* call);
    // Closes at the call manager and deletes every Call of mlistCalls.
    void CloseAllCalls();
    void FailRequest();
    bool ProcessIncomingXmlRpc();
    // Carries out the complete messages of mRecvBuffer in order, an upload's
    // body included (ContinueUpload), until one is incomplete or an upload
    // waits for more (mServMutex held).
    void DispatchInput(unsigned long now);
    // Advances the upload in progress at `now`: feeds it the body bytes of
    // mRecvBuffer, ends it when it is overdue, and sends its answer once it is
    // done. True while it still lasts.
    bool ContinueUpload(unsigned long now);
    // Ends a body that will not be complete: logged with `error` (errno),
    // the file removed and the connection marked broken.
    void StopUpload(int error);
    // Whether an upload's body is being received.
    bool UploadReceiving() const { return mpUpload != nullptr && mpUpload->Receiving(); }
    // GetMonotonicTime() when the body being received becomes overdue; 0: none.
    unsigned long UploadDue() const;
    bool ProcessXmlRpcRequest(XmlRpcRequestMethod* m);
    // Carries out a client's request and counts it by method and outcome
    // (CallControlIntrospect.cpp).
    bool DispatchCounted(XmlRpcRequestMethod* m);
    // The status and introspection methods, system.multicall among them
    // (CallControlIntrospect.cpp).
    void ProcessIntrospection(XmlRpcRequestMethod& m);
    void ProcessMulticall(XmlRpcRequestMethod& m);
    // Every connection, the pending policy requests and the counters
    // (mServMutex held).
    static void FillStatus(XmlRpcValueStruct& out, unsigned long now);
    // The request being carried out on this thread: its connection, how it
    // ended so far (server_metrics::Outcome), and, inside a system.multicall,
    // where its answers go instead of to the client.
    struct Dispatching {
        const CallControlService* connection;
        int outcome;
        std::vector<std::string>* capture;
    };
    // This thread's record (null outside a request), made in one file.
    static Dispatching*& CurrentDispatch();
    // Marks the request being carried out as refused (rights, authorisation).
    static void NoteRefused();
    // Counts the connection in state `state` (server_metrics::ConnState).
    void SetMetricState(int state);
    bool ProcessXmlRpcResponse(XmlRpcRequest& sent, XmlRpcResponseMethod* r);
    // Advances the TLS handshake; false when it failed.
    bool ContinueHandshake();
    // Sends an authentication answer and records the result; an accepted one
    // makes `user` the connection's account.
    void SendAuthenticateResponse(bool accepted, const char* text, const char* logLine,
                                  const std::string& user = std::string(), bool digest = false);
    // Reads the account's own extension and its grants (once per
    // authentication; CallControlRights.cpp).
    void LoadAccount();
    // With "account-rights": the right `m` needs that the account lacks, or
    // null when it may be carried out (CallControlRights.cpp).
    const char* MissingRight(const XmlRpcRequestMethod& m);
    // With "account-rights": whether a new call or subscription with `id`
    // would take over the registry entry of one that exists (any call; a
    // subscription of another connection).
    static bool CallIdTaken(const unsigned long long& id);
    bool SubscriptionIdTaken(const unsigned long long& id);
    // With "safe-retries": answers `m` again when it repeats a createcall or
    // subscribe this connection carried out already; true when it did (or
    // refused a subscribe whose ID this connection uses otherwise).
    bool AnsweredAgain(XmlRpcRequestMethod& m);
    // Answers `m` with the fault (`code`, `text`) and logs it with the
    // account and the request's ID; the connection stays open.
    void Refuse(XmlRpcRequestMethod& m, int code, const std::string& text);
    // With "strict-decisions": whether `answer` may decide the call offered
    // by `sent`; an answer without an ID is made to name it. False (logged)
    // for a fault, an answer that is no decision and one that names another
    // call: the offer is then failed as on a time-out.
    bool DecisionFits(const XmlRpcRequestMethod& sent, XmlRpcResponseMethod& answer);
    // Wakes the connection thread, or, inside a wake batch on this thread,
    // once the batch ends.
    static void Wake();
    // Wakes the connection thread now, whatever batch this thread is in.
    static void WakeNow();
    // Wakes the connection thread unless this is it (a channel's output
    // needs watching).
    static void WakeUnlessLoopThread();
    // The connection thread's event loop: made once, for the life of the
    // process, so that a wake-up from any thread always finds it; each run
    // of the thread forgets what it watched before it ends.
    static EventLoop& Loop();
    // Deletes the listener, every connection and the TLS context (the
    // connection thread on its way out, or CleanUp when it never ran).
    static void ReleaseAll();
    const unsigned long mnSerial;
    unsigned long mnAcceptTime = 0;
    unsigned long mnLastActivity = 0;  // GetMonotonicTime() of the last bytes read
    int mnMetricState = -1;            // as counted by the connection gauges
    bool mbMetricTls = false;
    std::string mPeerAddress;  // the client's address as text; set at accept
};

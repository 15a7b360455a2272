// The exchange's messaging library as the daemon uses it: the call-manager
// messenger, the notification-service messenger and the queue poller.
//
// Threads: commands may be sent from any thread at once (each is one datagram
// on a shared socket; nothing is locked). ProcessMessageFromQueue, the
// callbacks it calls, HoldCurrentMessage and ReleaseHeld run on the thread of
// the event loop (the main thread).
// The transport, encoding and file layout are described in docs/exchange-link.md.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "base/CyclicQueue.h"
#include "exchange/MessagingTypes.h"

// The two queues of the daemon, named by the pair (path, number).
constexpr const char* kQueuePath = "/bin/ping";
constexpr int kCallManagerQueue = 12;
constexpr int kNotificationQueue = 88;

// Client of the call manager: commands out, call events in (queue 12).
class CmRemControlMessenger {
  public:
    CmRemControlMessenger();
    virtual ~CmRemControlMessenger();
    CmRemControlMessenger(const CmRemControlMessenger&) = delete;
    CmRemControlMessenger& operator=(const CmRemControlMessenger&) = delete;

    // Commands. Each returns 1 when the command was handed to the call manager
    // and 0 when it could not be (the call manager is absent or not reachable);
    // none of them blocks.
    int IncomingCallHandling(const std::string& ext, long enable, unsigned long requester);
    int AcceptCall(const unsigned long long& callId, const std::string& callerId,
                   const std::string& displayName, long virtualAccept);
    int ForwardCall(const unsigned long long& callId, const std::list<CallParams>& targets,
                    const std::string& callerId, const std::string& displayName);
    int RejectCall(const unsigned long long& callId);
    int CloseCall(const unsigned long long& callId);
    int CreateCall(const unsigned long long& callId, const std::string& from, const CallParams& to,
                   const std::string& displayName);
    int TransferCall(const unsigned long long& callId, const CallParams& to);
    int JoinCalls(const unsigned long long& callId, const unsigned long long& otherCallId);
    int UnjoinCalls(const unsigned long long& callId, const unsigned long long& otherCallId);
    int PlayMessage(const unsigned long long& callId, const std::string& file, int count);
    int InjectDTMF(const unsigned long long& callId, const std::string& digits);
    int EnableDtmfDetection(const unsigned long long& callId, long enable);
    int SubscribeToCDR(int subscribe);
    int SubscribeToCR(int subscribe);

    // Takes one message from queue 12, if one is waiting, and calls the matching
    // callback before returning. A malformed or unknown message is logged and
    // dropped. Returns 1 when a message was taken, 0 otherwise.
    int ProcessMessageFromQueue(int wait);

    // Deferred release. Called from a callback, HoldCurrentMessage keeps the
    // message being processed in the queue's ring: it is not released when the
    // callback returns, and a reader attaching after a crash processes it
    // again. ReleaseHeld lets every held message go (for example once what they
    // carried is on disk), the one being processed included. Main thread.
    // Queue 12 only.
    void HoldCurrentMessage();
    void ReleaseHeld();

    // Callbacks, main thread. The defaults do nothing.
    virtual void CallArrived(const unsigned long long& callId, ExtCallType type,
                             const std::string& ext, const CallParams& from, const CallParams& to,
                             const unsigned long long& origCallId, long data);
    virtual void OnCallOriginated(const unsigned long long& callId, ExtCallType type,
                                  const std::string& ext, const CallParams& from,
                                  const CallParams& to, const std::string& pattern, long data);
    virtual void CallStateChanged(const unsigned long long& callId, ExtCallState state);
    virtual void MessagePlayed(const unsigned long long& callId);
    virtual void DTMFInjected(const unsigned long long& callId);
    virtual void DtmfDigitDetected(const unsigned long long& callId, char digit);
    virtual void CDRArrived(int cdrType, const RcCDR& cdr, const CallStatistics* statistics);
    virtual void UpdateConfig(int updateType);
};

// Opaque link argument of the notification messenger; the daemon passes null.
class Link;

// Client of the notification service: subscriptions out, notifications in (queue 88).
class AppNotificationMessenger {
  public:
    explicit AppNotificationMessenger(Link* link);
    virtual ~AppNotificationMessenger();
    AppNotificationMessenger(const AppNotificationMessenger&) = delete;
    AppNotificationMessenger& operator=(const AppNotificationMessenger&) = delete;

    // Commands; 0 means the link to the notification service failed.
    int ANSubscribe(PUAPackageType package, const CallParams& from, const CallParams& to,
                    const unsigned long long& subscriptionId);
    int ANUnsubscribe(const unsigned long long& subscriptionId);

    // Callbacks, main thread. Each returns 1 when it delivered the notification.
    virtual int OnANSubscribe(const unsigned long long& subscriptionId, int result);
    virtual int OnANUnsubscribe(const unsigned long long& subscriptionId, int result);
    virtual int OnMNNotify(const unsigned long long& subscriptionId, const MailSettings& mail);
    virtual int OnDialogNotify(const unsigned long long& subscriptionId,
                               const std::list<DialogParams>& dialogs);
    virtual int OnExtListNotify(const unsigned long long& subscriptionId,
                                const std::list<Ext>& extensions);
    virtual int OnPresenceNotify(const unsigned long long& subscriptionId, long state);
    virtual int OnConfirm(const unsigned long long& subscriptionId);
    virtual int OnErrorConvey(const unsigned long long& subscriptionId, const PUAErrorCode& error);

    // Not used by the daemon's loop (it drives the poller itself); kept for the
    // library's own clients. BeginMessageLoop processes messages until the queue
    // is closed; IsPartyOnline reports whether the notification service's socket exists.
    int BeginMessageLoop();
    int ProcessMessageFromQueue(int wait);
    bool IsPartyOnline() const;

    virtual int OnANPartyStateChanged(bool connected);
};

// Waits on the daemon's message queues. WaitForEvents returns the number of a
// queue with a waiting message, 0 when the wait failed, and -1 for the forced
// alert (a "ForcedAlert" datagram on the poller's own socket, or ForceAlert());
// with a time-out (milliseconds, >= 0), kTimedOut when nothing came in time.
class CyclicQueuePoller {
  public:
    explicit CyclicQueuePoller(int id);
    ~CyclicQueuePoller();
    CyclicQueuePoller(const CyclicQueuePoller&) = delete;
    CyclicQueuePoller& operator=(const CyclicQueuePoller&) = delete;

    // Creates or attaches the queue named by (path, number) and watches it.
    bool SelectQueue(int queue, const char* path, bool create, bool watch);
    static constexpr int kTimedOut = -2;
    int WaitForEvents(int timeoutMs = -1);
    // Makes the next (or the current) WaitForEvents return -1. Any thread.
    void ForceAlert();

  private:
    struct Impl;
    std::unique_ptr<Impl> mpImpl;
};

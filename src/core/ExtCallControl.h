// The daemon's single core object: client of the call manager and of the
// notification service, owner of the log and of the queue poller, and the
// event loop of the main thread.
//
// Threads: constructed, run and destroyed on the main thread; every callback
// (the call-manager and notification-service events) runs on the main thread
// inside Run(). The ...Received command operations run on the caller's thread
// (normally the connection thread) and take no lock of their own. TRACEX and
// GetCurTime are safe from any thread.
#pragma once

#include <cstdarg>
#include <list>
#include <memory>
#include <string>

#include "core/FrontEnds.h"
#include "exchange/Messaging.h"

class LogManager;

class ExtCallControl : public CmRemControlMessenger, public AppNotificationMessenger {
  public:
    ExtCallControl();
    ~ExtCallControl() override;

    // The event loop over queues 12 and 88; returns after the poller's forced alert.
    void Run();
    // Stops the control server; what the crash guard's exit routine calls.
    void Stop();

    // The one logging entry point (printf style; formats end in "\n").
    static void TRACEX(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Whole seconds since the epoch (the system clock).
    static unsigned long GetCurTime();
    // Whole seconds of the monotonic clock: the clock of every deadline (request,
    // authentication, handshake and send time-outs), which a step of the
    // system clock does not move.
    static unsigned long GetMonotonicTime();

    // Call-manager callbacks.
    void CallArrived(const unsigned long long& callId, ExtCallType type, const std::string& ext,
                     const CallParams& from, const CallParams& to,
                     const unsigned long long& origCallId, long data) override;
    void OnCallOriginated(const unsigned long long& callId, ExtCallType type,
                          const std::string& ext, const CallParams& from, const CallParams& to,
                          const std::string& pattern, long data) override;
    void CallStateChanged(const unsigned long long& callId, ExtCallState state) override;
    void MessagePlayed(const unsigned long long& callId) override;
    void DTMFInjected(const unsigned long long& callId) override;
    void DtmfDigitDetected(const unsigned long long& callId, char digit) override;
    void CDRArrived(int cdrType, const RcCDR& cdr, const CallStatistics* statistics) override;
    void UpdateConfig(int updateType) override;
    // Has the main thread read the settings again as when the call manager
    // announces a configuration update: the same event, posted to the
    // daemon's own call-manager queue. Any thread; false when it could not
    // be posted.
    static bool RequestSettingsReload();

    // Notification-service callbacks; each returns 1 when it delivered.
    int OnANSubscribe(const unsigned long long& subscriptionId, int result) override;
    int OnANUnsubscribe(const unsigned long long& subscriptionId, int result) override;
    int OnMNNotify(const unsigned long long& subscriptionId, const MailSettings& mail) override;
    int OnDialogNotify(const unsigned long long& subscriptionId,
                       const std::list<DialogParams>& dialogs) override;
    int OnExtListNotify(const unsigned long long& subscriptionId,
                        const std::list<Ext>& extensions) override;
    int OnPresenceNotify(const unsigned long long& subscriptionId, long state) override;
    int OnConfirm(const unsigned long long& subscriptionId) override;
    int OnErrorConvey(const unsigned long long& subscriptionId, const PUAErrorCode& error) override;
    int OnANPartyStateChanged(bool connected) override;

    // Call commands from clients (through Call); each logs and forwards.
    int IncomingCallHandlingReceived(const std::string& ext, long enable, unsigned long requester);
    int AcceptCallReceived(const unsigned long long& callId, const std::string& callerId,
                           const std::string& displayName, long virtualAccept);
    int ForwardCallReceived(const unsigned long long& callId, const std::list<CallParams>& targets,
                            const std::string& callerId, const std::string& displayName);
    int RejectCallReceived(const unsigned long long& callId);
    int CreateCallReceived(const unsigned long long& callId, const std::string& from,
                           const CallParams& to, const std::string& displayName);
    int CloseCallReceived(const unsigned long long& callId);
    int TransferCallReceived(const unsigned long long& callId, const CallParams& to);
    int JoinCallsReceived(const unsigned long long& callId, const unsigned long long& otherCallId);
    int UnjoinCallsReceived(const unsigned long long& callId,
                            const unsigned long long& otherCallId);
    int PlayMessageReceived(const unsigned long long& callId, const std::string& file, int count);
    int InjectDTMFReceived(const unsigned long long& callId, const std::string& digits);
    int EnableDtmfDetectionReceived(const unsigned long long& callId, long enable);
    int AcceptCRCallReceived(const unsigned long long& callId,
                             const unsigned long long& subscriberId);

    // Subscription commands from clients (through Subscription).
    void SubscribeCDRReceived();
    void SubscribeCRReceived();
    void SubscribeMNReceived(const unsigned long long& id, const std::string& ext);
    void SubscribeDialogReceived(const unsigned long long& id, const std::string& ext);
    void SubscribePresenceReceived(const unsigned long long& id, const std::string& ext);
    void SubscribeExtListReceived(const unsigned long long& id);
    void UnsubscribeReceived(const unsigned long long& id, int type);

    // The control server and the policy client. Set by the application before
    // it builds ExtCallControl; without them (tests of the core alone) no
    // server runs and an unclaimed call is forgotten.
    static void SetFrontEnds(IClientFront* clients, IPolicyFront* policy);
    static IClientFront& Clients();
    static IPolicyFront& Policy();

    // Groups the handling of one exchange event (IClientFront::BeginBatch).
    class EventBatch {
      public:
        EventBatch() { Clients().BeginBatch(); }
        ~EventBatch() { Clients().EndBatch(); }
        EventBatch(const EventBatch&) = delete;
        EventBatch& operator=(const EventBatch&) = delete;
    };

    // The single instance; set by the constructor, never cleared.
    static ExtCallControl* mpCallControl;
    // The process log; owned, created by the constructor, destroyed by the destructor.
    static LogManager* mpLogger;
    // Lines of the log's write queue (0: synchronous writes, the default);
    // set before the constructor runs. At most kMaxLogQueueLines.
    static void SetLogQueueLines(long lines);
    static constexpr long kMaxLogQueueLines = 512;

    // With "cdr-spool": opens, closes or re-limits the spool from the
    // settings (at start and on a configuration update).
    static void ConfigureCdrSpool();
    // Commits the records taken since the last commit (main thread, when the
    // queues are drained or a batch is full); what cannot be spooled goes to
    // the subscribers live.
    static void FlushCdrSpool();

  private:
    // Hands a record to every CDR subscription as it is, without the spool.
    static void DeliverCdrLive(int cdrType, const RcCDR& cdr, const CallStatistics* statistics);

    std::unique_ptr<CyclicQueuePoller> poller;
};

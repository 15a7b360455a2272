// The messengers and the poller over the exchange link (ExchangeLink.h for the
// transport, ExchangeCodec.h for the messages).
//
// The daemon's queues (a ring file for the messages, QueueRing.h, and a
// socket for the wake-ups) are opened by CyclicQueuePoller::SelectQueue and
// published in a process-wide registry keyed by (path, number), where the
// messengers find them. The registry is guarded by its own mutex; a messenger
// holds a shared reference to a queue only while it reads from it.
#include "exchange/Messaging.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/Metrics.h"
#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/LinkOutbox.h"
#include "exchange/QueueRing.h"

using namespace exlink;
using Clock = std::chrono::steady_clock;

namespace {

// A queue of the daemon: its messages are in `ring`, and `fd` (the queue's
// bound socket) only carries the writers' wake-ups. Owned by the poller that
// selected it; the registry and a reading messenger share it. Main thread,
// but for the registry's references.
struct QueueSocket {
    int number = 0;
    std::string path;
    UniqueFd fd;
    std::unique_ptr<QueueRing> ring;
    bool holdCurrent = false;  // set by HoldCurrentMessage during a callback

    // Takes one wake-up datagram (more of them, from several writers, make the
    // next poll return at once and are taken then); anything longer than a
    // byte is no wake-up and is dropped, logged.
    void TakeWake() {
        char buffer[16];
        ssize_t n;
        do {
            n = ::recv(fd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT | MSG_TRUNC);
        } while (n < 0 && errno == EINTR);
        if (n > 1) {
            LinkLog(
                "ExchangeLink: ERROR. Dropped a datagram of %zd bytes on queue %d (messages go "
                "through its ring file)",
                n, number);
        }
    }
};

using QueueKey = std::pair<std::string, int>;

class QueueRegistry {
  public:
    static QueueRegistry& Instance() {
        static QueueRegistry registry;
        return registry;
    }
    void Put(const QueueKey& key, const std::shared_ptr<QueueSocket>& queue) {
        std::lock_guard<std::mutex> lock(mMutex);
        mQueues[key] = queue;
    }
    std::shared_ptr<QueueSocket> Find(const QueueKey& key) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mQueues.find(key);
        return it != mQueues.end() ? it->second : nullptr;
    }
    // Removes the entry only when it is still `queue` (a later SelectQueue may have replaced
    // it); returns whether it did, so that only the current owner unlinks the socket file.
    bool Remove(const QueueKey& key, const std::shared_ptr<QueueSocket>& queue) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mQueues.find(key);
        if (it == mQueues.end() || it->second != queue) {
            return false;
        }
        mQueues.erase(it);
        return true;
    }

  private:
    std::mutex mMutex;
    std::map<QueueKey, std::shared_ptr<QueueSocket>> mQueues;
};

// The command counter of the message's kind, made at its first use; then one
// atomic load and one add per command.
metrics::Counter& CommandCounter(const char* socketName, const ExchangeMessage& message) {
    static std::array<std::atomic<metrics::Counter*>, std::variant_size_v<ExchangeMessage>>
        counters{};
    std::atomic<metrics::Counter*>& slot = counters[message.index()];
    metrics::Counter* counter = slot.load(std::memory_order_acquire);
    if (counter == nullptr) {
        const char* peer = std::strcmp(socketName, kCallManagerSocketName) == 0 ? "cm" : "ns";
        counter = &metrics::Registry::Instance().GetCounter(
            "valtd_exchange_commands_total",
            "Commands sent or queued to the exchange, by peer (cm: call manager, ns: "
            "notification service) and kind.",
            metrics::Label("peer", peer) + "," + metrics::Label("kind", MessageName(message)));
        slot.store(counter, std::memory_order_release);
    }
    return *counter;
}

int SendTo(const char* socketName, const ExchangeMessage& message) {
    CommandCounter(socketName, message).Add();
    return LinkOutbox::Instance().Send(LinkSocketPath(socketName), EncodeMessage(message)) ? 1 : 0;
}

int SendToCallManager(const ExchangeMessage& message) {
    return SendTo(kCallManagerSocketName, message);
}

int SendToNotificationService(const ExchangeMessage& message) {
    return SendTo(kNotificationSocketName, message);
}

// One message taken from a queue's ring, completed (released or held) by its destructor once
// its callback has run.
struct TakenMessage {
    std::shared_ptr<QueueSocket> queue;
    QueueRing::Message message;
    TakenMessage() = default;
    TakenMessage(const TakenMessage&) = delete;
    TakenMessage& operator=(const TakenMessage&) = delete;
    ~TakenMessage() {
        if (queue) {
            queue->ring->Complete(message, queue->holdCurrent);
            queue->holdCurrent = false;
        }
    }
};

// Takes one message from the daemon's queue `number` and decodes it. Returns 0 when nothing
// was waiting (or the queue was never selected), 1 when a message was taken; `decoded` then
// says whether `message` holds it (a malformed one is logged and dropped).
int TakeFromQueue(int number, ExchangeMessage& message, bool& decoded, TakenMessage& taken) {
    decoded = false;
    std::shared_ptr<QueueSocket> queue = QueueRegistry::Instance().Find({kQueuePath, number});
    if (!queue || !queue->ring->TryTake(taken.message)) {
        return 0;
    }
    queue->holdCurrent = false;
    taken.queue = queue;
    std::string error;
    decoded = DecodeMessage(taken.message.data, taken.message.size, message, error);
    if (!decoded) {
        LinkLog("ExchangeLink: ERROR. Dropped a malformed message on queue %d: %s", number,
                error.c_str());
    }
    return 1;
}

void LogUnexpected(int number, const ExchangeMessage& message) {
    LinkLog("ExchangeLink: ERROR. Dropped an unexpected %s message on queue %d",
            MessageName(message), number);
}

}  // namespace

// ---- CmRemControlMessenger ----

CmRemControlMessenger::CmRemControlMessenger() = default;
CmRemControlMessenger::~CmRemControlMessenger() = default;

int CmRemControlMessenger::IncomingCallHandling(const std::string& ext, long enable,
                                                unsigned long requester) {
    return SendToCallManager(IncomingCallHandlingCmd{ext, enable, requester});
}

int CmRemControlMessenger::AcceptCall(const unsigned long long& callId, const std::string& callerId,
                                      const std::string& displayName, long virtualAccept) {
    return SendToCallManager(AcceptCallCmd{callId, callerId, displayName, virtualAccept});
}

int CmRemControlMessenger::ForwardCall(const unsigned long long& callId,
                                       const std::list<CallParams>& targets,
                                       const std::string& callerId,
                                       const std::string& displayName) {
    return SendToCallManager(ForwardCallCmd{callId, targets, callerId, displayName});
}

int CmRemControlMessenger::RejectCall(const unsigned long long& callId) {
    return SendToCallManager(RejectCallCmd{callId});
}

int CmRemControlMessenger::CloseCall(const unsigned long long& callId) {
    return SendToCallManager(CloseCallCmd{callId});
}

int CmRemControlMessenger::CreateCall(const unsigned long long& callId, const std::string& from,
                                      const CallParams& to, const std::string& displayName) {
    return SendToCallManager(CreateCallCmd{callId, from, to, displayName});
}

int CmRemControlMessenger::TransferCall(const unsigned long long& callId, const CallParams& to) {
    return SendToCallManager(TransferCallCmd{callId, to});
}

int CmRemControlMessenger::JoinCalls(const unsigned long long& callId,
                                     const unsigned long long& otherCallId) {
    return SendToCallManager(JoinCallsCmd{callId, otherCallId});
}

int CmRemControlMessenger::UnjoinCalls(const unsigned long long& callId,
                                       const unsigned long long& otherCallId) {
    return SendToCallManager(UnjoinCallsCmd{callId, otherCallId});
}

int CmRemControlMessenger::PlayMessage(const unsigned long long& callId, const std::string& file,
                                       int count) {
    return SendToCallManager(PlayMessageCmd{callId, file, count});
}

int CmRemControlMessenger::InjectDTMF(const unsigned long long& callId, const std::string& digits) {
    return SendToCallManager(InjectDTMFCmd{callId, digits});
}

int CmRemControlMessenger::EnableDtmfDetection(const unsigned long long& callId, long enable) {
    return SendToCallManager(EnableDtmfDetectionCmd{callId, enable});
}

int CmRemControlMessenger::SubscribeToCDR(int subscribe) {
    return SendToCallManager(SubscribeToCDRCmd{subscribe});
}

int CmRemControlMessenger::SubscribeToCR(int subscribe) {
    return SendToCallManager(SubscribeToCRCmd{subscribe});
}

int CmRemControlMessenger::ProcessMessageFromQueue(int /*wait*/) {
    ExchangeMessage message;
    bool decoded = false;
    TakenMessage completion;
    int taken = TakeFromQueue(kCallManagerQueue, message, decoded, completion);
    if (!decoded) {
        return taken;
    }
    std::visit(
        [this](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, CallArrivedEv>) {
                CallArrived(m.callId, static_cast<ExtCallType>(m.type), m.ext, m.from, m.to,
                            m.origCallId, static_cast<long>(m.data));
            } else if constexpr (std::is_same_v<T, CallOriginatedEv>) {
                OnCallOriginated(m.callId, static_cast<ExtCallType>(m.type), m.ext, m.from, m.to,
                                 m.pattern, static_cast<long>(m.data));
            } else if constexpr (std::is_same_v<T, CallStateChangedEv>) {
                CallStateChanged(m.callId, static_cast<ExtCallState>(m.state));
            } else if constexpr (std::is_same_v<T, MessagePlayedEv>) {
                MessagePlayed(m.callId);
            } else if constexpr (std::is_same_v<T, DTMFInjectedEv>) {
                DTMFInjected(m.callId);
            } else if constexpr (std::is_same_v<T, DtmfDigitDetectedEv>) {
                DtmfDigitDetected(m.callId, m.digit);
            } else if constexpr (std::is_same_v<T, CDRArrivedEv>) {
                CDRArrived(m.cdrType, m.cdr, m.statistics ? &*m.statistics : nullptr);
            } else if constexpr (std::is_same_v<T, UpdateConfigEv>) {
                UpdateConfig(m.updateType);
            } else {
                LogUnexpected(kCallManagerQueue, m);
            }
        },
        message);
    return 1;
}

void CmRemControlMessenger::HoldCurrentMessage() {
    if (std::shared_ptr<QueueSocket> queue =
            QueueRegistry::Instance().Find({kQueuePath, kCallManagerQueue})) {
        queue->holdCurrent = true;
    }
}

void CmRemControlMessenger::ReleaseHeld() {
    if (std::shared_ptr<QueueSocket> queue =
            QueueRegistry::Instance().Find({kQueuePath, kCallManagerQueue})) {
        queue->holdCurrent = false;  // the message being processed, if it asked to be held
        queue->ring->ReleaseHeld();
    }
}

void CmRemControlMessenger::CallArrived(const unsigned long long&, ExtCallType, const std::string&,
                                        const CallParams&, const CallParams&,
                                        const unsigned long long&, long) {}
void CmRemControlMessenger::OnCallOriginated(const unsigned long long&, ExtCallType,
                                             const std::string&, const CallParams&,
                                             const CallParams&, const std::string&, long) {}
void CmRemControlMessenger::CallStateChanged(const unsigned long long&, ExtCallState) {}
void CmRemControlMessenger::MessagePlayed(const unsigned long long&) {}
void CmRemControlMessenger::DTMFInjected(const unsigned long long&) {}
void CmRemControlMessenger::DtmfDigitDetected(const unsigned long long&, char) {}
void CmRemControlMessenger::CDRArrived(int, const RcCDR&, const CallStatistics*) {}
void CmRemControlMessenger::UpdateConfig(int) {}

// ---- AppNotificationMessenger ----

AppNotificationMessenger::AppNotificationMessenger(Link* /*link*/) {}
AppNotificationMessenger::~AppNotificationMessenger() = default;

int AppNotificationMessenger::ANSubscribe(PUAPackageType package, const CallParams& from,
                                          const CallParams& to,
                                          const unsigned long long& subscriptionId) {
    return SendToNotificationService(ANSubscribeCmd{package, from, to, subscriptionId});
}

int AppNotificationMessenger::ANUnsubscribe(const unsigned long long& subscriptionId) {
    return SendToNotificationService(ANUnsubscribeCmd{subscriptionId});
}

int AppNotificationMessenger::ProcessMessageFromQueue(int /*wait*/) {
    ExchangeMessage message;
    bool decoded = false;
    TakenMessage completion;
    int taken = TakeFromQueue(kNotificationQueue, message, decoded, completion);
    if (!decoded) {
        return taken;
    }
    std::visit(
        [this](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, ANSubscribeResultEv>) {
                OnANSubscribe(m.subscriptionId, m.result);
            } else if constexpr (std::is_same_v<T, ANUnsubscribeResultEv>) {
                OnANUnsubscribe(m.subscriptionId, m.result);
            } else if constexpr (std::is_same_v<T, MNNotifyEv>) {
                OnMNNotify(m.subscriptionId, m.mail);
            } else if constexpr (std::is_same_v<T, DialogNotifyEv>) {
                OnDialogNotify(m.subscriptionId, m.dialogs);
            } else if constexpr (std::is_same_v<T, ExtListNotifyEv>) {
                OnExtListNotify(m.subscriptionId, m.extensions);
            } else if constexpr (std::is_same_v<T, PresenceNotifyEv>) {
                OnPresenceNotify(m.subscriptionId, static_cast<long>(m.state));
            } else if constexpr (std::is_same_v<T, ConfirmEv>) {
                OnConfirm(m.subscriptionId);
            } else if constexpr (std::is_same_v<T, ErrorConveyEv>) {
                OnErrorConvey(m.subscriptionId, m.error);
            } else if constexpr (std::is_same_v<T, ANPartyStateChangedEv>) {
                OnANPartyStateChanged(m.connected);
            } else {
                LogUnexpected(kNotificationQueue, m);
            }
        },
        message);
    return 1;
}

int AppNotificationMessenger::BeginMessageLoop() {
    // Runs while the notification queue stays selected; returns once it is released.
    for (;;) {
        std::shared_ptr<QueueSocket> queue =
            QueueRegistry::Instance().Find({kQueuePath, kNotificationQueue});
        if (!queue) {
            return 0;
        }
        if (queue->ring->PrepareSleep()) {
            pollfd pfd{queue->fd.Get(), POLLIN, 0};
            int ready = ::poll(&pfd, 1, 100);
            queue->ring->EndSleep();
            if (ready < 0 && errno != EINTR) {
                LinkLog("ExchangeLink: ERROR. poll(): %s", std::strerror(errno));
                return 0;
            }
            queue->TakeWake();
        }
        queue.reset();
        while (ProcessMessageFromQueue(1) == 1) {
        }
    }
}

bool AppNotificationMessenger::IsPartyOnline() const {
    struct stat st {};
    return ::stat(LinkSocketPath(kNotificationSocketName).c_str(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

int AppNotificationMessenger::OnANSubscribe(const unsigned long long&, int) {
    return 0;
}
int AppNotificationMessenger::OnANUnsubscribe(const unsigned long long&, int) {
    return 0;
}
int AppNotificationMessenger::OnMNNotify(const unsigned long long&, const MailSettings&) {
    return 0;
}
int AppNotificationMessenger::OnDialogNotify(const unsigned long long&,
                                             const std::list<DialogParams>&) {
    return 0;
}
int AppNotificationMessenger::OnExtListNotify(const unsigned long long&, const std::list<Ext>&) {
    return 0;
}
int AppNotificationMessenger::OnPresenceNotify(const unsigned long long&, long) {
    return 0;
}
int AppNotificationMessenger::OnConfirm(const unsigned long long&) {
    return 0;
}
int AppNotificationMessenger::OnErrorConvey(const unsigned long long&, const PUAErrorCode&) {
    return 0;
}
int AppNotificationMessenger::OnANPartyStateChanged(bool) {
    return 0;
}

// ---- CyclicQueuePoller ----

// Main thread: SelectQueue, WaitForEvents, construction and destruction. Any thread:
// ForceAlert, which touches only the atomic flag and the eventfd.
struct CyclicQueuePoller::Impl {
    int id = 0;
    std::string alertPath;
    UniqueFd alert;  // the poller's own socket; may stay invalid (path too long)
    UniqueFd wake;   // eventfd written by ForceAlert
    std::atomic<bool> forced{false};
    std::vector<std::pair<QueueKey, std::shared_ptr<QueueSocket>>> created;
    std::vector<std::shared_ptr<QueueSocket>> watched;
    std::size_t next = 0;  // where the next scan of `watched` starts, for fairness

    // The number of a watched queue with a message not yet taken, scanning
    // from where the last scan stopped so that neither queue starves; 0 when none.
    int ReadyQueue() {
        const std::size_t count = watched.size();
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index = (next + i) % count;
            if (watched[index]->ring->HasUntaken()) {
                next = index + 1;
                return watched[index]->number;
            }
        }
        return 0;
    }
    void EndSleep(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            watched[i]->ring->EndSleep();
        }
    }

    // Drains the alert socket; true when a forced alert was among the datagrams.
    bool DrainAlerts() {
        bool alerted = false;
        std::string payload;
        while (ReceiveDatagram(alert.Get(), payload) == ReceiveResult::kMessage) {
            ExchangeMessage message;
            std::string error;
            if (payload == ForcedAlertEv::kName ||
                (DecodeMessage(payload.data(), payload.size(), message, error) &&
                 std::holds_alternative<ForcedAlertEv>(message))) {
                alerted = true;
            } else {
                LinkLog(
                    "ExchangeLink: ERROR. Dropped a datagram on poller %d that is not a "
                    "forced alert%s%s",
                    id, error.empty() ? "" : ": ", error.c_str());
            }
        }
        return alerted;
    }
};

CyclicQueuePoller::CyclicQueuePoller(int id) : mpImpl(new Impl) {
    mpImpl->id = id;
    mpImpl->wake.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!mpImpl->wake.Valid()) {
        LinkLog("ExchangeLink: ERROR. eventfd(): %s", std::strerror(errno));
    }
    if (EnsureLinkDirectory()) {
        mpImpl->alertPath = LinkSocketPath(PollerSocketName(id));
        mpImpl->alert = BindDatagramSocket(mpImpl->alertPath);
    }
}

CyclicQueuePoller::~CyclicQueuePoller() {
    for (auto& entry : mpImpl->created) {
        if (QueueRegistry::Instance().Remove(entry.first, entry.second)) {
            ::unlink(entry.second->path.c_str());
        }
    }
    if (mpImpl->alert.Valid()) {
        ::unlink(mpImpl->alertPath.c_str());
    }
}

bool CyclicQueuePoller::SelectQueue(int queue, const char* path, bool create, bool watch) {
    QueueKey key(path != nullptr ? path : "", queue);
    std::shared_ptr<QueueSocket> socket;
    if (create) {
        if (!EnsureLinkDirectory()) {
            return false;
        }
        auto fresh = std::make_shared<QueueSocket>();
        fresh->number = queue;
        fresh->path = LinkSocketPath(QueueSocketName(key.first, queue));
        fresh->fd = BindDatagramSocket(fresh->path);
        if (!fresh->fd.Valid()) {
            return false;
        }
        fresh->ring = std::make_unique<QueueRing>(LinkSocketPath(QueueRingName(key.first, queue)));
        if (!fresh->ring->Valid()) {
            ::unlink(fresh->path.c_str());
            return false;
        }
        QueueRegistry::Instance().Put(key, fresh);
        mpImpl->created.emplace_back(key, fresh);
        socket = fresh;
    } else {
        socket = QueueRegistry::Instance().Find(key);
        if (!socket) {
            LinkLog("ExchangeLink: ERROR. Queue %s/%d does not exist", key.first.c_str(), queue);
            return false;
        }
    }
    if (watch) {
        mpImpl->watched.push_back(socket);
    }
    return true;
}

int CyclicQueuePoller::WaitForEvents(int timeoutMs) {
    Impl& impl = *mpImpl;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (impl.forced.exchange(false)) {
            return -1;
        }
        if (int number = impl.ReadyQueue()) {
            return number;
        }
        // Tell the writers that we sleep, then look once more: a message
        // appended before the flag was seen is found here, one after it
        // comes with a wake-up datagram.
        std::size_t asleep = 0;
        while (asleep < impl.watched.size() && impl.watched[asleep]->ring->PrepareSleep()) {
            ++asleep;
        }
        if (asleep < impl.watched.size()) {
            impl.EndSleep(asleep);
            continue;
        }
        std::vector<pollfd> fds;
        fds.push_back({impl.wake.Get(), POLLIN, 0});
        fds.push_back({impl.alert.Get(), POLLIN, 0});  // a negative fd is ignored by poll
        for (const auto& queue : impl.watched) {
            fds.push_back({queue->fd.Get(), POLLIN, 0});
        }
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        int ready = ::poll(fds.data(), fds.size(), wait);
        impl.EndSleep(impl.watched.size());
        if (ready == 0) {
            if (impl.ReadyQueue() == 0 && !impl.forced.load()) {
                return kTimedOut;
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            LinkLog("ExchangeLink: ERROR. poll(): %s", std::strerror(errno));
            return 0;
        }
        if (fds[0].revents & POLLIN) {
            eventfd_t value = 0;
            ::eventfd_read(impl.wake.Get(), &value);
        }
        if ((fds[1].revents & POLLIN) && impl.DrainAlerts()) {
            impl.forced.store(false);
            return -1;
        }
        for (std::size_t i = 0; i < impl.watched.size(); ++i) {
            if (fds[2 + i].revents & POLLIN) {
                impl.watched[i]->TakeWake();
            }
        }
    }
}

void CyclicQueuePoller::ForceAlert() {
    mpImpl->forced.store(true);
    if (mpImpl->wake.Valid()) {
        ::eventfd_write(mpImpl->wake.Get(), 1);
    }
}

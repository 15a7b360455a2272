#include "core/ExtCallControl.h"

#include <sys/time.h>

#include "base/LogManager.h"
#include "base/ThreadMutex.h"
#include "config/CdrSpool.h"
#include "core/Call.h"
#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/QueueRing.h"
#include "xmlrpc/XmlRpcLog.h"

ExtCallControl* ExtCallControl::mpCallControl = nullptr;
LogManager* ExtCallControl::mpLogger = nullptr;

namespace {
unsigned gLogQueueLines = 0;
}

void ExtCallControl::SetLogQueueLines(long lines) {
    gLogQueueLines = static_cast<unsigned>(lines <= 0                  ? 0
                                           : lines > kMaxLogQueueLines ? kMaxLogQueueLines
                                                                       : lines);
}

namespace {

// Stand-ins while the application has set no front ends.
struct NoClients : IClientFront {
    void Start() override {}
    void Stop() override {}
    void UpdateConfigs() override {}
    void BeginBatch() override {}
    void EndBatch() override {}
    bool CallArrived(long, Call*, ExtCallType, const std::string&, const CallParams&,
                     const CallParams&, const unsigned long long&) override {
        return false;
    }
};
struct NoPolicy : IPolicyFront {
    std::vector<PendingDecision> Pending() const override { return {}; }
    void UpdateConfigs() override {}
    void Decide(Call* call, ExtCallType, const std::string&, const CallParams&, const CallParams&,
                const unsigned long long&) override;
};
NoClients gNoClients;
NoPolicy gNoPolicy;
IClientFront* gClients = &gNoClients;
IPolicyFront* gPolicy = &gNoPolicy;

// Guards the logger pointer against a thread that logs while the frame deletes
// the logger at the end of the process (the policy worker runs for the life of
// the process). Taken only inside TRACEX and around the deletion: innermost but
// for the log's own lock. Re-entrant, so a signal handler that logs on a thread
// already inside TRACEX does not deadlock.
ThreadMutex& LoggerPointerMutex() {
    static ThreadMutex mutex;
    return mutex;
}

// The platform and XML-RPC layers log through hooks; their lines end in "\n".
void LayerLogSink(const char* line) {
    ExtCallControl::TRACEX("%s", line);
}

// How long the main loop waits for more records before it commits those it
// took: a stream at full speed is committed in groups, at the price of this
// much delay for a record alone.
const int kCdrGatherMs = 2;

}  // namespace

void NoPolicy::Decide(Call* call, ExtCallType, const std::string&, const CallParams&,
                      const CallParams&, const unsigned long long&) {
    ExtCallControl::TRACEX("ExtCallControl: no policy client; the call is left undecided.\n");
    delete call;
}

void ExtCallControl::SetFrontEnds(IClientFront* clients, IPolicyFront* policy) {
    gClients = clients != nullptr ? clients : &gNoClients;
    gPolicy = policy != nullptr ? policy : &gNoPolicy;
}

IClientFront& ExtCallControl::Clients() {
    return *gClients;
}

IPolicyFront& ExtCallControl::Policy() {
    return *gPolicy;
}

ExtCallControl::ExtCallControl() : CmRemControlMessenger(), AppNotificationMessenger(nullptr) {
    {
        ThreadMutexLock lock(LoggerPointerMutex());
        mpLogger = new LogManager("valtd.log", true, true, gLogQueueLines, 8192);
    }
    SetMessagingLog(LayerLogSink);
    SetXmlRpcLogSink(LayerLogSink);
    poller = std::make_unique<CyclicQueuePoller>(45);
    mpCallControl = this;
    Clients().Start();
}

ExtCallControl::~ExtCallControl() {
    Clients().Stop();
    CdrSpool::Instance().Close();
    poller.reset();
    SetMessagingLog(nullptr);
    SetXmlRpcLogSink(nullptr);
    ThreadMutexLock lock(LoggerPointerMutex());
    delete mpLogger;
    mpLogger = nullptr;
}

void ExtCallControl::Run() {
    poller->SelectQueue(kCallManagerQueue, kQueuePath, true, true);
    poller->SelectQueue(kNotificationQueue, kQueuePath, true, true);
    ConfigureCdrSpool();
    CdrSpool& spool = CdrSpool::Instance();
    for (;;) {
        // Records taken are committed once the queues have been quiet for
        // kCdrGatherMs (or 256 were taken): one commit for a burst. An idle
        // spool is looked at once a minute (a failing one is opened again).
        const bool pending = spool.HasPending();
        const int event = poller->WaitForEvents(pending           ? kCdrGatherMs
                                                : spool.Enabled() ? 60000
                                                                  : -1);
        switch (event) {
            case CyclicQueuePoller::kTimedOut:
                FlushCdrSpool();
                break;
            case kNotificationQueue: {
                EventBatch batch;
                AppNotificationMessenger::ProcessMessageFromQueue(1);
                break;
            }
            case kCallManagerQueue: {
                EventBatch batch;
                CmRemControlMessenger::ProcessMessageFromQueue(1);
                break;
            }
            case 0:
                TRACEX("Failed to get event from message queue!\n");
                break;
            case -1:
                TRACEX("Received POLLER_FORCED_ALERT event!\n");
                FlushCdrSpool();
                return;
            default:
                TRACEX("Unknown event from message queue!\n");
                break;
        }
    }
}

void ExtCallControl::Stop() {
    Clients().Stop();
}

void ExtCallControl::TRACEX(const char* format, ...) {
    ThreadMutexLock lock(LoggerPointerMutex());
    if (mpLogger == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    mpLogger->TRACE(format, args);
    va_end(args);
}

unsigned long ExtCallControl::GetCurTime() {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    return static_cast<unsigned long>(now.tv_sec);
}

unsigned long ExtCallControl::GetMonotonicTime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long>(now.tv_sec);
}

bool ExtCallControl::RequestSettingsReload() {
    const exlink::ExchangeMessage update = exlink::UpdateConfigEv{UpdateType_CallPolicy};
    return exlink::AppendToQueue(kQueuePath, kCallManagerQueue, exlink::EncodeMessage(update));
}

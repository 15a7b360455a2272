#include "core/ExtCallControl.h"

#include <sys/time.h>

#include "platform/ExchangeLink.h"
#include "platform/ThreadMutex.h"
#include "runtime/LogManager.h"
#include "server/CallControlService.h"
#include "xmlrpc/XmlRpcLog.h"

ExtCallControl* ExtCallControl::mpCallControl = nullptr;
LogManager* ExtCallControl::mpLogger = nullptr;

namespace {

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

}  // namespace

ExtCallControl::ExtCallControl() : CmRemControlMessenger(), AppNotificationMessenger(nullptr) {
    {
        ThreadMutexLock lock(LoggerPointerMutex());
        mpLogger = new LogManager("valtd.log", true, true, 0, 8192);
    }
    SetMessagingLog(LayerLogSink);
    SetXmlRpcLogSink(LayerLogSink);
    poller = std::make_unique<CyclicQueuePoller>(45);
    mpCallControl = this;
    CallControlService::ReadConfigs();
    CallControlService::Start();
}

ExtCallControl::~ExtCallControl() {
    CallControlService::CleanUp();
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
    for (;;) {
        const int event = poller->WaitForEvents();
        switch (event) {
            case kNotificationQueue: {
                CallControlService::WakeBatch batch;
                AppNotificationMessenger::ProcessMessageFromQueue(1);
                break;
            }
            case kCallManagerQueue: {
                CallControlService::WakeBatch batch;
                CmRemControlMessenger::ProcessMessageFromQueue(1);
                break;
            }
            case 0:
                TRACEX("Failed to get event from message queue!\n");
                break;
            case -1:
                TRACEX("Received POLLER_FORCED_ALERT event!\n");
                return;
            default:
                TRACEX("Unknown event from message queue!\n");
                break;
        }
    }
}

void ExtCallControl::Stop() {
    CallControlService::CleanUp();
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

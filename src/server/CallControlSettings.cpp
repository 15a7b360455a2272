// The control server's process-wide layer: its settings, and starting and
// stopping the connection thread (main thread).
#include <openssl/err.h>

#include <ctime>

#include "base/NumberString.h"
#include "base/RootPath.h"
#include "config/CallPolicyAccessor.h"
#include "config/CdrSpool.h"
#include "config/ConfigSettings.h"
#include "core/ExtCallControl.h"
#include "net/EventLoop.h"
#include "server/CallControlService.h"
#include "server/MetricsListener.h"
#include "server/ServerMetrics.h"

std::atomic<unsigned short> CallControlService::mListenPort{4849};
std::atomic<int> CallControlService::mnReqTimeout{10};
std::atomic<bool> CallControlService::mbSecureListen{false};
std::atomic<bool> CallControlService::mbRequireAuth{false};
std::atomic<int> CallControlService::mnAuthTimeout{0};
std::atomic<int> CallControlService::mnMaxUnauth{0};
std::atomic<int> CallControlService::mnMaxUnauthPerPeer{64};
std::atomic<bool> CallControlService::mbAccountRights{false};
std::atomic<bool> CallControlService::mbStrictDecisions{false};
std::atomic<bool> CallControlService::mbSafeRetries{false};
std::atomic<bool> CallControlService::mbWriteAllQueued{false};
std::atomic<bool> CallControlService::mbEventThreadWrites{false};

namespace {
std::string& ListenAddressSetting() {
    static std::string& address = *new std::string("0.0.0.0");
    return address;
}

std::string& MetricsListenValue() {
    static std::string& value = *new std::string();
    return value;
}
}  // namespace

const std::string& CallControlService::ListenAddress() {
    return ListenAddressSetting();
}

const std::string& MetricsListenSetting() {
    return MetricsListenValue();
}

SSL_CTX* CallControlService::mpCTX = nullptr;
std::unique_ptr<BsdSocket> CallControlService::mpListenerSock;
Thread::Handle CallControlService::mhThread{};
std::atomic<bool> CallControlService::mbThreadStarted{false};
std::atomic<bool> CallControlService::mbRunning{false};
std::list<CallControlService*> CallControlService::mlistServicesInProgress;
ThreadMutex CallControlService::mServMutex;

namespace {

using TR = ExtCallControl;

// How long CleanUp waits for the connection thread before it gives up on it
// (a stop signal that interrupted a thread holding mServMutex).
const int kJoinTimeoutSeconds = 5;

const char* BoolText(bool value) {
    return value ? "true" : "false";
}

// Stores a flag read by an update, logging a change.
void UpdateFlag(std::atomic<bool>& flag, bool value, const char* name) {
    if (flag.exchange(value) != value) {
        TR::TRACEX("CCS: UpdateConfigs: %s: %s.\n", name, BoolText(value));
    }
}

}  // namespace

void CallControlService::ReadConfigs() {
    TR::TRACEX("CCS: ReadConfig:\n");
    CallPolicyAccessor* accessor = CallPolicyAccessor::GetInstance(true);
    if (accessor == nullptr) {
        return;
    }
    if (accessor->load() != 0) {
        mListenPort = StringToNumber<unsigned short>(accessor->GetListenPort());
        mnReqTimeout = StringToNumber<int>(accessor->GetRequestTimeout());
        mbSecureListen = accessor->IsSecureListen();
        mbRequireAuth = accessor->IsRequireAuth();
        mnAuthTimeout = StringToNumber<int>(accessor->GetAuthTimeout());
        mnMaxUnauth = StringToNumber<int>(accessor->GetMaxUnauthConnections());
        mnMaxUnauthPerPeer = StringToNumber<int>(accessor->GetMaxUnauthPerPeer());
        mbAccountRights = accessor->IsAccountRights();
        mbStrictDecisions = accessor->IsStrictDecisions();
        mbSafeRetries = accessor->IsSafeRetries();
        mbWriteAllQueued = accessor->IsWriteAllQueued();
        mbEventThreadWrites = accessor->IsEventThreadWrites();
        if (!mbThreadStarted) {
            ListenAddressSetting() = accessor->GetListenAddress();
            MetricsListenValue() = accessor->GetMetricsListen();
        }
        TR::TRACEX("ListenPort: %u\n", static_cast<unsigned>(mListenPort.load()));
        TR::TRACEX("Request Timeout: %u\n", static_cast<unsigned>(mnReqTimeout.load()));
        TR::TRACEX("Secure Listen: %s.\n", BoolText(mbSecureListen));
        if (mbRequireAuth) {
            TR::TRACEX("Require Authentication: true.\n");
        }
        if (mnAuthTimeout > 0) {
            TR::TRACEX("Authentication Timeout: %d\n", mnAuthTimeout.load());
        }
        if (mnMaxUnauth > 0) {
            TR::TRACEX("Max Unauthorised Connections: %d\n", mnMaxUnauth.load());
        }
        if (mbAccountRights) {
            TR::TRACEX("Account Rights: true.\n");
        }
        if (mbStrictDecisions) {
            TR::TRACEX("Strict Decisions: true.\n");
        }
        if (mbSafeRetries) {
            TR::TRACEX("Safe Retries: true.\n");
        }
        if (mbWriteAllQueued) {
            TR::TRACEX("Write All Queued: true.\n");
        }
        if (mbEventThreadWrites) {
            TR::TRACEX("Event Thread Writes: true.\n");
        }
    }
    CallPolicyAccessor::CloseInstance();
}

void CallControlService::UpdateConfigs() {
    unsigned short port = mListenPort;
    int timeout = mnReqTimeout;
    bool secure = mbSecureListen;
    bool requireAuth = mbRequireAuth;
    std::string address = ListenAddressSetting();
    std::string metricsListen = MetricsListenValue();
    TR::TRACEX("CCS: UpdateConfigs:\n");
    CallPolicyAccessor* accessor = CallPolicyAccessor::GetInstance(true);
    if (accessor != nullptr) {
        if (accessor->load() != 0) {
            port = StringToNumber<unsigned short>(accessor->GetListenPort());
            timeout = StringToNumber<int>(accessor->GetRequestTimeout());
            secure = accessor->IsSecureListen();
            requireAuth = accessor->IsRequireAuth();
            address = accessor->GetListenAddress();
            metricsListen = accessor->GetMetricsListen();
            mnAuthTimeout = StringToNumber<int>(accessor->GetAuthTimeout());
            mnMaxUnauth = StringToNumber<int>(accessor->GetMaxUnauthConnections());
            mnMaxUnauthPerPeer = StringToNumber<int>(accessor->GetMaxUnauthPerPeer());
            UpdateFlag(mbAccountRights, accessor->IsAccountRights(), "Account Rights");
            UpdateFlag(mbStrictDecisions, accessor->IsStrictDecisions(), "Strict Decisions");
            UpdateFlag(mbSafeRetries, accessor->IsSafeRetries(), "Safe Retries");
            UpdateFlag(mbWriteAllQueued, accessor->IsWriteAllQueued(), "Write All Queued");
            UpdateFlag(mbEventThreadWrites, accessor->IsEventThreadWrites(), "Event Thread Writes");
        }
        CallPolicyAccessor::CloseInstance();
    }
    if (timeout != mnReqTimeout) {
        mnReqTimeout = timeout;
        TR::TRACEX("CCS: UpdateConfigs: Request Timeout: %u\n", static_cast<unsigned>(timeout));
    }
    if (secure != mbSecureListen) {
        mbSecureListen = secure;
        TR::TRACEX("CCS: UpdateConfigs: Secure Listen: %s.\n", BoolText(secure));
    }
    if (requireAuth != mbRequireAuth) {
        mbRequireAuth = requireAuth;
        TR::TRACEX("CCS: UpdateConfigs: Require Authentication: %s.\n", BoolText(requireAuth));
    }
    if (port != mListenPort || address != ListenAddressSetting() ||
        metricsListen != MetricsListenValue()) {
        CleanUp();
        if (metricsListen != MetricsListenValue()) {
            MetricsListenValue() = metricsListen;
            TR::TRACEX("CCS: UpdateConfigs: Metrics Listen: [%s]\n", metricsListen.c_str());
        }
        if (port != mListenPort) {
            mListenPort = port;
            TR::TRACEX("CCS: UpdateConfigs: ListenPort: %u\n", static_cast<unsigned>(port));
        }
        if (address != ListenAddressSetting()) {
            ListenAddressSetting() = address;
            TR::TRACEX("CCS: UpdateConfigs: Listen Address: [%s]\n", address.c_str());
        }
        Start();
    }
    // A changed time-out shortens or lengthens the thread's current wait.
    if (mbThreadStarted) {
        WakeNow();
    }
}

void CallControlService::Start() {
    if (mbThreadStarted) {
        return;
    }
    // Records newly spooled are picked up by the connection thread's next pass.
    CdrSpool::SetCommitHook(&CallControlService::WakeNow);
    TR::TRACEX("CCS: Initializing SSL...\n");
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    mpCTX = SSL_CTX_new(TLS_server_method());
    if (mpCTX == nullptr) {
        TR::TRACEX("CCS: Start. Can't create SSL_CTX.\n");
    } else {
        const std::string cert = ServerCertificatePath();
        const std::string key = ServerKeyPath();
        if (SSL_CTX_use_certificate_file(mpCTX, cert.c_str(), SSL_FILETYPE_PEM) <= 0) {
            TR::TRACEX("CCS: Start. Can't load cerificate file. Path:%s\n", cert.c_str());
        }
        if (SSL_CTX_use_PrivateKey_file(mpCTX, key.c_str(), SSL_FILETYPE_PEM) <= 0) {
            TR::TRACEX("CCS: Start. Can't load key file. Path:%s\n", key.c_str());
        }
        if (SSL_CTX_check_private_key(mpCTX) == 0) {
            TR::TRACEX("CCS: Start. Private key does not match the certificate public key.\n");
        }
        SSL_CTX_set_mode(mpCTX, SSL_MODE_AUTO_RETRY);
        // Writes never wait for a slow client: what a record write leaves is
        // written later from the connection's pending output.
        SSL_CTX_set_mode(mpCTX,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Whatever the system's OpenSSL configuration allows: nothing older.
        SSL_CTX_set_min_proto_version(mpCTX, TLS1_2_VERSION);
        ERR_clear_error();
    }
    server_metrics::Register();
    TR::TRACEX("CCS: Starting server thread...\n");
    if (!Loop().IsOpen()) {
        TR::TRACEX("CCS: Start. ERROR. Can't create the wake-up socket.\n");
    }
    mbRunning = true;
    if (Thread::BeginThread(RPCProcessingProc, nullptr, &mhThread)) {
        mbThreadStarted = true;
    } else {
        TR::TRACEX("CCS: Start. ERROR. Can't start the server thread.\n");
    }
}

void CallControlService::CleanUp() {
    TR::TRACEX("CCS: CleanUp...\n");
    bool threadGone = true;
    if (mbThreadStarted) {
        mbRunning = false;
        if (pthread_equal(mhThread, pthread_self()) != 0) {
            // A signal on the connection thread itself: it cannot be joined
            // here, and what it holds cannot be released under it.
            threadGone = false;
        } else {
            WakeNow();
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += kJoinTimeoutSeconds;
            if (pthread_timedjoin_np(mhThread, nullptr, &deadline) != 0) {
                TR::TRACEX("CCS: CleanUp. ERROR. The server thread did not stop.\n");
                threadGone = false;
            }
        }
        mbThreadStarted = false;
    }
    if (!threadGone) {
        // The thread may still use the connections, the sockets and the TLS
        // context; the process is ending, so they are left to it.
        return;
    }
    // A thread that ran has released everything on its way out; this is for
    // a thread that never started.
    ReleaseAll();
}

void CallControlService::ReleaseAll() {
    mpListenerSock.reset();
    while (!mlistServicesInProgress.empty()) {
        CallControlService* c = mlistServicesInProgress.front();
        mlistServicesInProgress.pop_front();
        delete c;
    }
    if (mpCTX != nullptr) {
        SSL_CTX_free(mpCTX);
        mpCTX = nullptr;
    }
}

// The control server's static layer (settings, start, stop), the connection
// objects and the connection thread. The dispatch of what a client sends is in
// CallControlDispatch.cpp, the events sent to clients in
// CallControlNotify.cpp.
#include "server/CallControlService.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "base/NumberString.h"
#include "base/RootPath.h"
#include "config/CallPolicyAccessor.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "net/Poller.h"
#include "xmlrpc/XmlRpcMethod.h"

std::atomic<unsigned short> CallControlService::mListenPort{4849};
std::atomic<int> CallControlService::mnReqTimeout{10};
std::atomic<bool> CallControlService::mbSecureListen{false};
std::atomic<bool> CallControlService::mbRequireAuth{false};
std::atomic<int> CallControlService::mnAuthTimeout{0};
std::atomic<int> CallControlService::mnMaxUnauth{0};
std::atomic<int> CallControlService::mnMaxUnauthPerPeer{64};
SSL_CTX* CallControlService::mpCTX = nullptr;
std::unique_ptr<BsdSocket> CallControlService::mpListenerSock;
Thread::Handle CallControlService::mhThread{};
std::atomic<bool> CallControlService::mbThreadStarted{false};
std::atomic<bool> CallControlService::mbRunning{false};
BsdSocket CallControlService::mControlSocket(false);
std::atomic<bool> CallControlService::mbWakePending{false};
std::list<CallControlService*> CallControlService::mlistServicesInProgress;
ThreadMutex CallControlService::mServMutex;

namespace {

using TR = ExtCallControl;

const char* const kCertificatePath = "/etc/ssl.crt/server.crt";
const char* const kKeyPath = "/etc/ssl.key/server.key";
const int kListenAttempts = 30;
const int kListenPauseMs = 10000;
const int kReadSize = 16384;
// Connections taken from the listener's backlog in one pass: a burst of
// clients is accepted quickly, and the others are still served between.
const int kAcceptsPerPass = 32;
// How long CleanUp waits for the connection thread before it gives up on it
// (a stop signal that interrupted a thread holding mServMutex).
const int kJoinTimeoutSeconds = 5;

std::atomic<unsigned long> gNextSerial{1};

// A descriptor held in reserve by the connection thread. When the process has
// no descriptor left, a waiting connection cannot be accepted and the listener
// stays readable, so select would return at once pass after pass; the reserve
// is then given up for a moment to accept that connection and close it, which
// refuses the client at once and empties the backlog.
class SpareDescriptor {
  public:
    SpareDescriptor() { Take(); }
    ~SpareDescriptor() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    // Accepts one waiting connection of `listenFd` in the reserve's place and
    // closes it. False when there was no reserve or nothing to accept.
    bool RefuseOne(int listenFd) {
        if (mFd < 0) {
            Take();
            return false;
        }
        close(mFd);
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        }
        Take();
        return fd >= 0;
    }

  private:
    void Take() { mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
    int mFd = -1;
};

// Connection thread only.
SpareDescriptor gSpareDescriptor;

// Descriptors kept free for the daemon's own files and sockets (databases,
// log rotation, the policy server, the exchange link): past that, connections
// not yet authorised make room for a newcomer.
const long kDescriptorReserve = 32;
// Descriptors open when the connection thread started, none of them a
// client's (connection thread only).
long gOtherDescriptors = 0;

long CountOpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 16;  // no /proc: a guess the reserve covers
    }
    long count = 0;
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count - 1;  // the listing's own descriptor
}

// Whether `connections` clients leave less than the reserve free.
bool DescriptorsShort(size_t connections) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
        return false;
    }
    const unsigned long long used = static_cast<unsigned long long>(gOtherDescriptors) +
                                    connections +
                                    static_cast<unsigned long long>(kDescriptorReserve);
    return used >= static_cast<unsigned long long>(files.rlim_cur);
}

// Why a connection not yet authorised was closed to make room. Each reason
// is logged once a second at most, with how many there were (connection
// thread only).
enum { kOutOfDescriptors, kTooManyFromPeer, kTooManyUnauthorised };
const char* const kEvictionReasons[] = {"out of descriptors", "too many from one address",
                                        "too many not yet authorised"};
unsigned long gEvictionLogTime[3] = {0, 0, 0};
unsigned gEvictionsUnlogged[3] = {0, 0, 0};

// The address of the peer of connected socket `fd`, as text ("" if unknown).
std::string PeerAddress(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "";
    }
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof(text));
    } else if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text,
                  sizeof(text));
    }
    return text;
}

const char* BoolText(bool value) {
    return value ? "true" : "false";
}

// The text OpenSSL gives an error code, without its shared static buffer.
std::string SslErrorText(unsigned long code) {
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// XmlRpcRequest

CallControlService::XmlRpcRequest::XmlRpcRequest(XmlRpcRequestMethod* method) : mpMethod(method) {}

CallControlService::XmlRpcRequest::XmlRpcRequest(const XmlRpcRequest& other)
    : mpMethod(other.mpMethod), mnSendTime(other.mnSendTime) {
    other.mpMethod = nullptr;
}

CallControlService::XmlRpcRequest& CallControlService::XmlRpcRequest::operator=(
    const XmlRpcRequest& other) {
    if (this != &other) {
        delete mpMethod;
        mpMethod = other.mpMethod;
        mnSendTime = other.mnSendTime;
        other.mpMethod = nullptr;
    }
    return *this;
}

CallControlService::XmlRpcRequest::~XmlRpcRequest() {
    delete mpMethod;
}

// ---------------------------------------------------------------------------
// Settings, start and stop

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
    }
    CallPolicyAccessor::CloseInstance();
}

void CallControlService::UpdateConfigs() {
    unsigned short port = mListenPort;
    int timeout = mnReqTimeout;
    bool secure = mbSecureListen;
    bool requireAuth = mbRequireAuth;
    TR::TRACEX("CCS: UpdateConfigs:\n");
    CallPolicyAccessor* accessor = CallPolicyAccessor::GetInstance(true);
    if (accessor != nullptr) {
        if (accessor->load() != 0) {
            port = StringToNumber<unsigned short>(accessor->GetListenPort());
            timeout = StringToNumber<int>(accessor->GetRequestTimeout());
            secure = accessor->IsSecureListen();
            requireAuth = accessor->IsRequireAuth();
            mnAuthTimeout = StringToNumber<int>(accessor->GetAuthTimeout());
            mnMaxUnauth = StringToNumber<int>(accessor->GetMaxUnauthConnections());
            mnMaxUnauthPerPeer = StringToNumber<int>(accessor->GetMaxUnauthPerPeer());
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
    if (port != mListenPort) {
        CleanUp();
        mListenPort = port;
        TR::TRACEX("CCS: UpdateConfigs: ListenPort: %u\n", static_cast<unsigned>(port));
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
    TR::TRACEX("CCS: Initializing SSL...\n");
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    mpCTX = SSL_CTX_new(TLS_server_method());
    if (mpCTX == nullptr) {
        TR::TRACEX("CCS: Start. Can't create SSL_CTX.\n");
    } else {
        const std::string cert = RootPath(kCertificatePath);
        const std::string key = RootPath(kKeyPath);
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
    TR::TRACEX("CCS: Starting server thread...\n");
    SockAddr address(0, 0, false);
    address.Native().sin_addr.s_addr = inet_addr("127.0.0.1");
    if (mControlSocket.CreateUDPSocket(&address)) {
        mControlSocket.ChangeMode(0);
        socklen_t length = sizeof(sockaddr_in);
        sockaddr* raw = reinterpret_cast<sockaddr*>(&address.Native());
        getsockname(mControlSocket.GetDescriptor(), raw, &length);
        connect(mControlSocket.GetDescriptor(), raw, sizeof(sockaddr_in));
    } else {
        TR::TRACEX("CCS: Start. ERROR. Can't create the wake-up socket.\n");
    }
    // A wake-up noted before the thread ran (a write with no thread yet) must
    // not stand in for the ones the thread will need.
    mbWakePending = false;
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
            // Sent even when one is noted as pending: the thread may be
            // pausing before its first pass, where none is drained.
            mbWakePending = false;
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
    mControlSocket.Close();
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

namespace {
thread_local int tWakeBatchDepth = 0;
thread_local bool tWakeHeld = false;
}  // namespace

void CallControlService::BeginWakeBatch() {
    ++tWakeBatchDepth;
}

void CallControlService::EndWakeBatch() {
    if (--tWakeBatchDepth == 0 && tWakeHeld) {
        tWakeHeld = false;
        WakeNow();
    }
}

void CallControlService::Wake() {
    if (tWakeBatchDepth > 0) {
        tWakeHeld = true;
        return;
    }
    WakeNow();
}

void CallControlService::WakeNow() {
    // One datagram until the thread has drained it: whatever is queued before
    // the thread clears the flag is seen by the pass that follows.
    if (mbWakePending.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    const char zero = 0;
    const int fd = mControlSocket.GetDescriptor();
    if (fd >= 0) {
        // Never blocks: a full socket buffer already holds a wake-up.
        send(fd, &zero, 1, MSG_DONTWAIT);
    }
}

// ---------------------------------------------------------------------------
// Connection objects

CallControlService::CallControlService() : mSocket(false), mnSerial(gNextSerial++) {
    TR::TRACEX("CCS: Create. (C:%u)\n", static_cast<unsigned>(mlistServicesInProgress.size()));
}

CallControlService::~CallControlService() {
    {
        ThreadMutexLock io(mIoMutex);
        if (mpSSL != nullptr) {
            if (mState == 2 && SSL_shutdown(mpSSL) == 0) {
                SSL_shutdown(mpSSL);
            }
            SSL_free(mpSSL);
            mpSSL = nullptr;
            ERR_clear_error();
        }
        mSocket.Close();
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

bool CallControlService::QueueRequest(XmlRpcRequestMethod* method) {
    XmlRpcRequest request(method);
    {
        ThreadMutexLock lock(mMutex);
        if (mlistRequests.size() >= kMaxQueuedRequests) {
            TR::TRACEX("CCS: ERROR. Request queue full (%u), request dropped. %llu\n",
                       static_cast<unsigned>(mlistRequests.size()), method->GetCallID());
            return false;
        }
        mlistRequests.push_back(request);
        mnQueued.store(mlistRequests.size(), std::memory_order_release);
    }
    Wake();
    return true;
}

// ---------------------------------------------------------------------------
// Writing and reading

bool CallControlService::WaitReady(bool forWrite, int timeoutMs) {
    pollfd p{mSocket.GetDescriptor(), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    if (p.fd < 0) {
        return false;
    }
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

bool CallControlService::WriteAll(const char* data, size_t length) {
    mIoMutex.AssertHeld("WriteAll");
    // mIoMutex held by the caller. A connection that failed (a write, or an
    // upload whose client left or stalled) gets nothing more: it is closed
    // after the current dispatch, and a stalled client must not take an
    // answer for a finished upload.
    if (mSocket.GetDescriptor() < 0 || mbBroken) {
        return false;
    }
    if (!mOutput.empty()) {
        // Behind what waits already, so that messages leave whole and in order.
        if (mOutput.size() - mnOutputDone + length > kMaxPendingOutput) {
            TR::TRACEX(
                "CCS: BuildAndSendXml. Write error: more than %u bytes wait for the client\n",
                static_cast<unsigned>(kMaxPendingOutput));
            mbBroken = true;
            return false;
        }
        mOutput.append(data, length);
        return true;
    }
    size_t done = 0;
    if (!WriteSome(data, length, done)) {
        return false;
    }
    if (done < length) {
        mOutput.assign(data + done, length - done);
        mnOutputDone = 0;
        mbOutputPending = true;
        if (!mbThreadStarted || pthread_equal(mhThread, pthread_self()) == 0) {
            Wake();  // the connection thread must watch for room to write
        }
    }
    return true;
}

bool CallControlService::WriteSome(const char* data, size_t length, size_t& done) {
    done = 0;
    const unsigned long long before = BytesWritten();
    if (mpSSL == nullptr) {
        while (done < length) {
            const ssize_t n = send(mSocket.GetDescriptor(), data + done, length - done,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                mnWritten += static_cast<unsigned long long>(n);
                WatchTaking(before);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            } else {
                TR::TRACEX("CCS: BuildAndSendXml. Write error: %d of %u bytes, errno %d\n",
                           static_cast<int>(done), static_cast<unsigned>(length), errno);
                mbBroken = true;
                return false;
            }
        }
        return true;
    }
    // The TLS object may take part of the text (partial writes are on) and
    // is given the same bytes again after a "want" (moving buffers are on).
    while (done < length) {
        ERR_clear_error();
        const int n = SSL_write(mpSSL, data + done, static_cast<int>(length - done));
        if (n > 0) {
            done += static_cast<size_t>(n);
            WatchTaking(before);
            continue;
        }
        const int error = SSL_get_error(mpSSL, n);
        if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
            return true;
        }
        TR::TRACEX("CCS: BuildAndSendXml. SSL. Write error: %s\n",
                   SslErrorText(static_cast<unsigned long>(error)).c_str());
        mbBroken = true;
        return false;
    }
    return true;
}

bool CallControlService::FlushOutput() {
    mIoMutex.AssertHeld("FlushOutput");
    if (mOutput.empty()) {
        return true;
    }
    if (mSocket.GetDescriptor() < 0 || mbBroken) {
        return false;
    }
    size_t done = 0;
    if (!WriteSome(mOutput.data() + mnOutputDone, mOutput.size() - mnOutputDone, done)) {
        return false;
    }
    mnOutputDone += done;
    if (mnOutputDone == mOutput.size()) {
        std::string().swap(mOutput);  // a stalled client's megabyte is given back
        mnOutputDone = 0;
        mbOutputPending = false;
    }
    return true;
}

unsigned long long CallControlService::BytesWritten() const {
    // Over TLS, what the socket was given: records, handshake included.
    return mpSSL != nullptr ? BIO_number_written(SSL_get_wbio(mpSSL)) : mnWritten;
}

void CallControlService::WatchTaking(unsigned long long before) {
    mIoMutex.AssertHeld("WatchTaking");
    if (mnLookDue.load(std::memory_order_relaxed) != 0) {
        return;
    }
    // Not watched: the last look found everything written taken (or nothing
    // was written yet), so what was written before this write counts as taken.
    const unsigned long now = ExtCallControl::GetMonotonicTime();
    mnTaken = std::max(mnTaken, before);
    mnTakenAt = now;
    mnLookDue.store(now + 1, std::memory_order_release);
    if (!mbThreadStarted || pthread_equal(mhThread, pthread_self()) == 0) {
        Wake();  // the connection thread must look, however long it sleeps
    }
}

bool CallControlService::ClientTakes(unsigned long now) {
    ThreadMutexLock io(mIoMutex);
    int queued = 0;  // written, not yet acknowledged by the client
    if (ioctl(mSocket.GetDescriptor(), SIOCOUTQ, &queued) != 0 || queued < 0) {
        queued = 0;  // the socket failed: its next read or write says so
    }
    const unsigned long long written = BytesWritten();
    const unsigned long long taken =
        written - std::min(written, static_cast<unsigned long long>(queued));
    if (taken > mnTaken) {
        mnTaken = taken;
        mnTakenAt = now;
    }
    if (queued == 0 && mOutput.empty()) {
        mnLookDue.store(0, std::memory_order_release);  // all taken: nothing to watch
        return true;
    }
    if (now - mnTakenAt >= static_cast<unsigned long>(kSendTimeout)) {
        return false;
    }
    mnLookDue.store(now + 1, std::memory_order_release);
    return true;
}

bool CallControlService::DrainOutput() {
    const long deadline = static_cast<long>(ExtCallControl::GetMonotonicTime()) + kSendTimeout;
    while (FlushOutput() && !mOutput.empty()) {
        const long left = deadline - static_cast<long>(ExtCallControl::GetMonotonicTime());
        if (left <= 0 || !WaitReady(true, static_cast<int>(left * 1000))) {
            TR::TRACEX(
                "CCS: BuildAndSendXml. Write error: the client took nothing for %d "
                "seconds\n",
                kSendTimeout);
            mbBroken = true;
            return false;
        }
    }
    return !mbBroken;
}

bool CallControlService::BuildAndSendXml(XmlRpcMethod* method) {
    std::string text;
    if (method == nullptr || !method->BuildXML(text)) {
        return false;
    }
    TR::TRACEX("CCS: BuildAndSendXml. Sending data (%d bytes)...\n", static_cast<int>(text.size()));
    TR::TRACEX("\n%s\n", text.c_str());
    ThreadMutexLock io(mIoMutex);
    if (mpSSL != nullptr) {
        TR::TRACEX("CCS: BuildAndSendXml. SSL. Sending request...\n");
        WriteAll(text.data(), text.size());
    } else {
        WriteAll(text.data(), text.size());
        TR::TRACEX("CCS: BuildAndSendXml. Sent...\n");
    }
    return true;
}

int CallControlService::ReadSome(char* buffer, int length) {
    ThreadMutexLock io(mIoMutex);
    if (mpSSL == nullptr) {
        const ssize_t n = recv(mSocket.GetDescriptor(), buffer, static_cast<size_t>(length), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return -2;
        }
        return n < 0 ? -1 : static_cast<int>(n);
    }
    ERR_clear_error();
    errno = 0;
    const int n = SSL_read(mpSSL, buffer, length);
    if (n > 0) {
        mbTlsPending = SSL_pending(mpSSL) > 0;
        return n;
    }
    mbTlsPending = false;
    switch (SSL_get_error(mpSSL, n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            return -2;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL:
            return errno == 0 ? 0 : -1;
        default:
            return -1;
    }
}

bool CallControlService::ReceiveChunk(char* buffer, int length, unsigned long deadline) {
    int got = 0;
    if (length <= 0) {
        return length == 0;
    }
    const size_t buffered = std::min(mRecvBuffer.size(), static_cast<size_t>(length));
    if (buffered > 0) {
        mRecvBuffer.copy(buffer, buffered);
        mRecvBuffer.erase(0, buffered);
        got = static_cast<int>(buffered);
    }
    const long timeout = mnReqTimeout > 0 ? mnReqTimeout.load() : kSendTimeout;
    while (got < length) {
        const int n = ReadSome(buffer + got, length - got);
        if (n > 0) {
            got += n;
            continue;
        }
        // Each piece may take the request time-out, the whole body no longer
        // than its deadline.
        long wait = timeout;
        if (deadline != 0) {
            wait = std::min(wait, static_cast<long>(deadline) -
                                      static_cast<long>(ExtCallControl::GetMonotonicTime()));
        }
        if (n == -2 && wait > 0 &&
            (mbTlsPending || WaitReady(false, static_cast<int>(wait * 1000)))) {
            continue;
        }
        if (n == -2 && wait <= 0) {
            TR::TRACEX("CCS: ReceiveChunk. ERROR. Upload body not complete by its deadline\n");
        }
        TR::TRACEX("CCS: ReceiveChunk. ERROR. Upload stopped after %d of %d bytes, errno %d\n", got,
                   length, errno);
        mbBroken = true;
        return false;
    }
    return true;
}

bool CallControlService::SendOk() {
    // The client sends the next chunk only once it has this "OK": it must
    // leave now, with whatever waits before it.
    ThreadMutexLock io(mIoMutex);
    return WriteAll("OK", 2) && DrainOutput();
}

// ---------------------------------------------------------------------------
// Queue, time-outs

bool CallControlService::SendRequest() {
    if (mnQueued.load(std::memory_order_acquire) == 0) {
        return false;  // the usual case on an idle connection: no lock taken
    }
    if (mbOutputPending) {
        return false;  // the client has not taken the last one yet: it stays queued
    }
    XmlRpcRequest request;
    {
        ThreadMutexLock lock(mMutex);
        if (mlistRequests.empty()) {
            return false;
        }
        request = mlistRequests.front();
        mlistRequests.pop_front();
        mnQueued.store(mlistRequests.size(), std::memory_order_release);
    }
    // Written outside mMutex, so the main thread can go on queueing while a
    // slow client is being written to.
    if (BuildAndSendXml(request.mpMethod)) {
        request.mnSendTime = ExtCallControl::GetMonotonicTime();
        mlistSentRequests.push_back(request);
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

// ---------------------------------------------------------------------------
// TLS handshake

int CallControlService::ContinueHandshake() {
    ThreadMutexLock io(mIoMutex);
    ERR_clear_error();
    const int r = SSL_accept(mpSSL);
    if (r > 0) {
        mState = 2;
        mbWantWrite = false;
        TR::TRACEX("CCS: SSL. SSL connection using %s\n",
                   SSL_CIPHER_get_name(SSL_get_current_cipher(mpSSL)));
        X509* cert = SSL_get1_peer_certificate(mpSSL);
        if (cert != nullptr) {
            printf("Client certificate:\n");
            if (char* subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0)) {
                TR::TRACEX("CCS: SSL. client cert-t subject: %s\n", subject);
                OPENSSL_free(subject);
            }
            if (char* issuer = X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0)) {
                TR::TRACEX("CCS: SSL. client cert-t issuer: %s\n", issuer);
                OPENSSL_free(issuer);
            }
            X509_free(cert);
        } else {
            TR::TRACEX("CCS: SSL. Client does not have certificate.\n");
        }
        return 1;
    }
    const int error = SSL_get_error(mpSSL, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        mbWantWrite = error == SSL_ERROR_WANT_WRITE;
        return 0;
    }
    TR::TRACEX("CCS: SSL. Accept error: %s\n",
               SslErrorText(static_cast<unsigned long>(error)).c_str());
    ERR_clear_error();
    return -1;
}

// ---------------------------------------------------------------------------
// The connection thread

bool CallControlService::OpenListener() {
    mpListenerSock.reset();
    for (int attempt = 1; attempt <= kListenAttempts; ++attempt) {
        if (!mbRunning) {
            return false;
        }
        auto listener = std::make_unique<BsdSocket>(false);
        if (listener->Open(1, SockAddr(0, mListenPort, false), 0, 0) != 0) {
            const int one = 1;
            listener->ChangeMode(1);
            listener->SetSocketOption(SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            mpListenerSock = std::move(listener);
            return true;
        }
        TR::TRACEX("CCS: Thread. ERROR. Failed to bind listener socket.\n");
        listener.reset();
        // The pause ends early when CleanUp wakes the thread.
        pollfd p{mControlSocket.GetDescriptor(), POLLIN, 0};
        if (p.fd >= 0) {
            poll(&p, 1, kListenPauseMs);
        } else {
            Thread::Sleep(kListenPauseMs);
        }
    }
    TR::TRACEX("CCS: Thread. FATAL ERROR. Failed to bind listener socket at all.\n");
    TR::TRACEX("!!! Exiting RPC Processing Thread !!!\n");
    return false;
}

bool CallControlService::EvictOldestUnauthorised(const std::string& peer, int why, Poller& poller) {
    mServMutex.AssertHeld("EvictOldestUnauthorised");
    for (auto it = mlistServicesInProgress.begin(); it != mlistServicesInProgress.end(); ++it) {
        CallControlService* c = *it;
        if (c->mbAuthorised || (!peer.empty() && c->mPeerAddress != peer)) {
            continue;
        }
        ++gEvictionsUnlogged[why];
        const unsigned long now = ExtCallControl::GetMonotonicTime();
        if (now != gEvictionLogTime[why]) {
            TR::TRACEX(
                "CCS: Thread. Closed %u connection(s) not yet authorised to make room (%s).\n",
                gEvictionsUnlogged[why], kEvictionReasons[why]);
            gEvictionLogTime[why] = now;
            gEvictionsUnlogged[why] = 0;
        }
        mlistServicesInProgress.erase(it);
        poller.Forget(c->mSocket.GetDescriptor());
        delete c;
        return true;
    }
    return false;
}

bool CallControlService::AcceptConnection(Poller& poller) {
    mServMutex.AssertHeld("AcceptConnection");
    auto c = std::make_unique<CallControlService>();
    if (mpListenerSock->Accept(c->mSocket) != 1) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE) {
            // Out of descriptors: the oldest connection that has not
            // authorised makes room, so silent ones cannot lock others out.
            if (EvictOldestUnauthorised("", kOutOfDescriptors, poller) &&
                mpListenerSock->Accept(c->mSocket) == 1) {
                return SetUpConnection(std::move(c), poller);
            }
            if (gSpareDescriptor.RefuseOne(mpListenerSock->GetDescriptor())) {
                TR::TRACEX("CCS: Thread. Out of descriptors (errno %d), connection refused.\n",
                           error);
                return false;
            }
        }
        TR::TRACEX("CCS: Thread. Error accepting connection.\n");
        return false;
    }
    return SetUpConnection(std::move(c), poller);
}

bool CallControlService::SetUpConnection(std::unique_ptr<CallControlService> c, Poller& poller) {
    const int fd = c->mSocket.GetDescriptor();
    c->mPeerAddress = PeerAddress(fd);
    while (DescriptorsShort(mlistServicesInProgress.size() + 1)) {
        if (!EvictOldestUnauthorised("", kOutOfDescriptors, poller)) {
            // Every client has authorised: the reserve stays the daemon's.
            TR::TRACEX("CCS: Thread. Out of descriptors (errno %d), connection refused.\n", EMFILE);
            return true;
        }
    }
    const int perPeer = mnMaxUnauthPerPeer;
    if (perPeer > 0) {
        const std::string& peer = c->mPeerAddress;
        const long fromPeer =
            std::count_if(mlistServicesInProgress.begin(), mlistServicesInProgress.end(),
                          [&peer](const CallControlService* o) {
                              return !o->mbAuthorised && o->mPeerAddress == peer;
                          });
        if (fromPeer >= perPeer) {
            EvictOldestUnauthorised(peer, kTooManyFromPeer, poller);
        }
    }
    const int maxUnauth = mnMaxUnauth;
    if (maxUnauth > 0) {
        const long waiting =
            std::count_if(mlistServicesInProgress.begin(), mlistServicesInProgress.end(),
                          [](const CallControlService* other) { return !other->mbAuthorised; });
        if (waiting >= maxUnauth) {
            EvictOldestUnauthorised("", kTooManyUnauthorised, poller);
        }
    }
    const int one = 1;
    c->mSocket.SetSocketOption(SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
    c->mSocket.ChangeMode(1);
    c->mSocket.SetSocketOption(SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    c->mnAcceptTime = ExtCallControl::GetMonotonicTime();
    if (mbSecureListen) {
        c->mpSSL = mpCTX != nullptr ? SSL_new(mpCTX) : nullptr;
        if (c->mpSSL == nullptr) {
            TR::TRACEX("CCS: SSL. Can't create SSL object.\n");
            return true;
        }
        SSL_set_accept_state(c->mpSSL);
        SSL_set_fd(c->mpSSL, fd);
        c->mState = 1;
        if (c->ContinueHandshake() < 0) {
            return true;
        }
    } else {
        c->mState = 2;
    }
    mlistServicesInProgress.push_back(c.release());
    return true;
}

bool CallControlService::Serve(bool readable, bool writable, unsigned long now) {
    if (mState == 1) {
        if (now - mnAcceptTime >= static_cast<unsigned long>(kHandshakeTimeout)) {
            TR::TRACEX("CCS: SSL. Handshake not completed in %d seconds, closing...\n",
                       kHandshakeTimeout);
            return false;
        }
        return !(readable || writable) || ContinueHandshake() >= 0;
    }
    const int authTimeout = mnAuthTimeout;
    if (authTimeout > 0 && !mbAuthorised &&
        now - mnAcceptTime >= static_cast<unsigned long>(authTimeout)) {
        TR::TRACEX("CCS: Thread. Not authorised within %d seconds, closing...\n", authTimeout);
        return false;
    }
    if (mbOutputPending && writable) {
        ThreadMutexLock io(mIoMutex);
        if (!FlushOutput()) {
            TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
            return false;
        }
    }
    const unsigned long lookDue = mnLookDue.load(std::memory_order_acquire);
    if (lookDue != 0 && now >= lookDue && !ClientTakes(now)) {
        TR::TRACEX("CCS: Thread. The client took nothing for %d seconds, closing...\n",
                   kSendTimeout);
        return false;
    }
    const int timeout = mnReqTimeout;
    if (timeout > 0 && !mlistSentRequests.empty() && mlistSentRequests.front().mnSendTime != 0 &&
        now - mlistSentRequests.front().mnSendTime >= static_cast<unsigned long>(timeout)) {
        FailRequest();
    }
    if (readable || mbTlsPending) {
        char buffer[kReadSize];
        // At most 16384 bytes a pass, 16383 over TLS.
        const int n = ReadSome(buffer, mpSSL != nullptr ? kReadSize - 1 : kReadSize);
        if (n > 0) {
            mRecvBuffer.append(buffer, static_cast<size_t>(n));
            while (!mbBroken && ProcessIncomingXmlRpc()) {
            }
            if (mbBroken) {
                TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
                return false;
            }
            if (mRecvBuffer.size() > kMaxRecvBuffer) {
                TR::TRACEX(
                    "CCS: Thread. More than %u bytes received without a complete message, "
                    "closing...\n",
                    static_cast<unsigned>(kMaxRecvBuffer));
                return false;
            }
            if (!mbAuthorised) {
                TR::TRACEX("CCS: Thread. Connection is not authorised, closing...\n");
                return false;
            }
        } else if (n == 0) {
            TR::TRACEX("CCS: Thread. recv ret: 0, rcverr: %d\n", errno);
            return false;
        } else if (n == -1) {
            TR::TRACEX("CCS: Thread. recv ret: -1, rcverr: %d\n", errno);
            return false;
        }
    }
    SendRequest();
    if (mbBroken) {
        TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
        return false;
    }
    return true;
}

unsigned long CallControlService::RPCProcessingProc(void* /*arg*/) {
    if (!OpenListener()) {
        ReleaseAll();
        return 1;
    }
    TR::TRACEX("CCS: Thread. RPC Processing Thread started (pid:%d).\n",
               static_cast<int>(getpid()));
    gOtherDescriptors = CountOpenDescriptors();
    Poller poller;
    if (!poller.IsOpen()) {
        TR::TRACEX("CCS: Thread. ERROR. Can't create the poller (errno %d).\n", errno);
    }
    const int controlFd = mControlSocket.GetDescriptor();
    poller.Watch(controlFd, Poller::kRead);
    while (mbRunning) {
        if (controlFd >= 0 && (poller.Ready(controlFd) & Poller::kRead) != 0) {
            // Every pending wake-up at once (one system call for up to 16,
            // and wake-ups are coalesced, so usually one); what they
            // announced is checked below.
            constexpr unsigned kBatch = 16;
            char drain[kBatch];
            iovec parts[kBatch];
            mmsghdr messages[kBatch];
            for (unsigned i = 0; i < kBatch; ++i) {
                parts[i] = iovec{&drain[i], 1};
                messages[i] = mmsghdr{};
                messages[i].msg_hdr.msg_iov = &parts[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            while (recvmmsg(controlFd, messages, kBatch, MSG_DONTWAIT, nullptr) ==
                   static_cast<int>(kBatch)) {
            }
        }
        // After the drain: a Wake from now on sends a datagram that the next
        // wait sees; what was queued before the Wake that set the flag is
        // seen by this pass's walk (the exchange reads that Wake's write).
        mbWakePending.exchange(false, std::memory_order_acq_rel);
        long wait = -1;  // seconds until the nearest deadline; -1: none
        bool again = false;
        int count = 0;
        {
            ThreadMutexLock lock(mServMutex);
            const int listenFd = mpListenerSock->GetDescriptor();
            if ((poller.Ready(listenFd) & Poller::kRead) != 0) {
                // The first from the backlog because the listener was ready,
                // more while it still is.
                for (int n = 0; n < kAcceptsPerPass && AcceptConnection(poller); ++n) {
                    pollfd p{listenFd, POLLIN, 0};
                    if (poll(&p, 1, 0) != 1) {
                        break;
                    }
                }
            }
            poller.Watch(listenFd, Poller::kRead);
            const unsigned long now = ExtCallControl::GetMonotonicTime();
            const int timeout = mnReqTimeout;
            const int authTimeout = mnAuthTimeout;
            for (auto it = mlistServicesInProgress.begin(); it != mlistServicesInProgress.end();) {
                CallControlService* c = *it;
                const int fd = c->mSocket.GetDescriptor();
                const unsigned ready = poller.Ready(fd);
                if (!c->Serve((ready & Poller::kRead) != 0, (ready & Poller::kWrite) != 0, now)) {
                    it = mlistServicesInProgress.erase(it);
                    poller.Forget(fd);
                    delete c;
                    continue;
                }
                ++it;
                long due = 0;  // seconds since the epoch; 0: no deadline
                if (c->mState == 1) {
                    due = static_cast<long>(c->mnAcceptTime) + kHandshakeTimeout;
                } else if (timeout > 0 && !c->mlistSentRequests.empty()) {
                    due = static_cast<long>(c->mlistSentRequests.front().mnSendTime) + timeout;
                }
                if (authTimeout > 0 && !c->mbAuthorised) {
                    const long authDue = static_cast<long>(c->mnAcceptTime) + authTimeout;
                    due = due == 0 ? authDue : std::min(due, authDue);
                }
                const bool output = c->mbOutputPending;
                const long lookDue =
                    static_cast<long>(c->mnLookDue.load(std::memory_order_acquire));
                if (lookDue != 0) {
                    due = due == 0 ? lookDue : std::min(due, lookDue);
                }
                if (due != 0) {
                    const long left = std::max(due - static_cast<long>(now), 0L);
                    wait = wait < 0 ? left : std::min(wait, left);
                }
                // A connection whose client has not taken the last message
                // waits for room to write, not for its turn.
                again = again || (!output && c->mnQueued.load(std::memory_order_acquire) != 0);
                again = again || c->mbTlsPending;
                if (c->mState == 1 && c->mbWantWrite) {
                    poller.Watch(fd, Poller::kWrite);
                } else {
                    poller.Watch(fd, output ? Poller::kRead | Poller::kWrite : Poller::kRead);
                }
            }
            count = static_cast<int>(mlistServicesInProgress.size());
        }
        if (again) {
            wait = 0;
        }
        TR::TRACEX("CCS: Thread. Entering to select count = %d, timeout = %d.\n", count,
                   static_cast<int>(wait < 0 ? 0 : wait));
        const int r = poller.Wait(wait < 0 ? -1 : static_cast<int>(wait * 1000));
        TR::TRACEX("CCS: Thread. Leaving from select. ret = %d, sockerror %d.\n", r,
                   r < 0 ? errno : 0);
        if (r < 0) {
            // Nothing to wait on (no poller): a pause instead of a busy loop.
            Thread::Sleep(100);
        }
    }
    TR::TRACEX("CCS: Thread. RPC Processing Thread stopped.\n");
    {
        // The connections are deleted here rather than by CleanUp, which may
        // run inside a signal handler, where memory must not be freed.
        ThreadMutexLock lock(mServMutex);
        ReleaseAll();
    }
    return 0;
}

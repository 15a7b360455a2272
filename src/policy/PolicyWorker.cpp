// The policy worker: its thread, its event loop and the steps that take each
// pending request from connecting to the decided answer.
#include "policy/CallPolicyService.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/ExtCallControl.h"
#include "net/BsdSocket.h"
#include "net/EventLoop.h"

namespace {

// What the worker's last wait reported for each watched socket (EventLoop::kRead
// and kWrite bits), by descriptor: set by the loop's handlers, read by the
// socket's step in the pass that follows and cleared after it. Kept apart from
// the services because Stop may destroy a service whose socket is still in the
// loop. Worker thread only.
std::vector<unsigned char>& Reported() {
    static std::vector<unsigned char>& reported = *new std::vector<unsigned char>;
    return reported;
}

void Report(int fd, unsigned ready) {
    std::vector<unsigned char>& reported = Reported();
    const auto index = static_cast<std::size_t>(fd);
    if (index >= reported.size()) {
        reported.resize(index + 1, 0);
    }
    reported[index] = static_cast<unsigned char>(reported[index] | ready);
}

unsigned ReportedFor(int fd) {
    const auto index = static_cast<std::size_t>(fd);
    return fd >= 0 && index < Reported().size() ? Reported()[index] : 0;
}

void ClearReported(int fd) {
    const auto index = static_cast<std::size_t>(fd);
    if (fd >= 0 && index < Reported().size()) {
        Reported()[index] = 0;
    }
}

// Takes `fd` out of the worker's loop before it is closed.
void Unwatch(EventLoop& loop, int fd) {
    loop.Forget(fd);
    ClearReported(fd);
}

// The context of every TLS request, made at the first and kept until the
// trusted certificates `caFile` change: with "" the server is not checked,
// otherwise its chain must verify against them. Null when it cannot be made
// (or the certificates cannot be loaded: a request then never goes unchecked).
// Worker thread only (the sessions made from it keep their own reference).
SSL_CTX* ClientContext(const std::string& caFile) {
    static TlsContext& context = *new TlsContext;
    static std::string& contextCaFile = *new std::string;
    if (context && contextCaFile == caFile) {
        return context.get();
    }
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    context.reset(SSL_CTX_new(TLS_client_method()));
    contextCaFile = caFile;
    if (!context) {
        return nullptr;
    }
    // HTTP/1.0 ends the answer by closing the connection; a server that
    // closes without a TLS close alert still ends the stream.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    if (!caFile.empty() && !TlsRequirePeerCertificate(context.get(), caFile)) {
        ExtCallControl::TRACEX(
            "ERROR. CallPolicyService: Thread: trusted certificates %s cannot be loaded.\n",
            caFile.c_str());
        context.reset();
    }
    return context.get();
}

// The policy server's addresses, in the order they are tried. Worker thread only.
std::vector<StreamAddress>& ServerAddresses() {
    static std::vector<StreamAddress>& addresses = *new std::vector<StreamAddress>;
    return addresses;
}

// Resolving a name may wait on the network, so the addresses are kept: they
// are resolved again when the settings change, when they are older than
// kResolvedLifetime (a name's address may move), and, after a name that did
// not resolve, at most every kUnresolvedRetry seconds. Worker thread only.
constexpr unsigned long kResolvedLifetime = 60;
constexpr unsigned long kUnresolvedRetry = 5;
unsigned long gResolvedAt = 0;  // GetMonotonicTime() of the last resolution; 0: none

void ResolveServer(const std::string& name, unsigned short port, bool everyAddress,
                   bool settingsChanged) {
    const unsigned long now = ExtCallControl::GetMonotonicTime();
    const unsigned long lifetime = ServerAddresses().empty() ? kUnresolvedRetry : kResolvedLifetime;
    if (!settingsChanged && gResolvedAt != 0 && now - gResolvedAt < lifetime) {
        return;
    }
    // A name that does not resolve leaves no address: the connect fails.
    ServerAddresses() = BsdSocket::ResolveStream(name, port, everyAddress);
    gResolvedAt = now;
}

}  // namespace

bool CallPolicyService::TimeoutStep(long now, int& nextCheckTimeout) {
    if (mnReqTimeout <= 0) {
        return false;
    }
    const unsigned long long id = mpCall->GetID();
    int wait = mnReqTimeout;
    if (mnReqStartTime != 0) {
        if (now - mnReqStartTime >= mnReqTimeout) {
            ExtCallControl::TRACEX(
                "CallPolicyService: Thread: Request timedout. Accepting Call. %llu\n", id);
            AcceptByFallback(true);
            return true;
        }
        wait = static_cast<int>(mnReqStartTime + mnReqTimeout - now);
    }
    nextCheckTimeout = nextCheckTimeout == 0 ? wait : std::min(nextCheckTimeout, wait);
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: Checking timeout. req start time: %ld, curr time: %ld, "
        "nextCheckTimeout: %d. %llu\n",
        mnReqStartTime, now, nextCheckTimeout, id);
    return false;
}

bool CallPolicyService::StateStep(long now) {
    switch (mState) {
        case StateNew:
            return ConnectStep(now);
        case StateConnecting:
            return ConnectingStep();
        case StateReceiving:
            return ReceiveStep();
        default:
            return false;
    }
}

bool CallPolicyService::NextAddress(int error) {
    const std::vector<StreamAddress>& addresses = ServerAddresses();
    if (mnAddressIndex + 1 >= addresses.size()) {
        return false;
    }
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: connect to %s failed. %d. Trying the next address. %llu\n",
        addresses[mnAddressIndex].Text().c_str(), error, mpCall->GetID());
    ++mnAddressIndex;
    // The socket that failed leaves the loop before it is closed; the next
    // address gets a socket of its own family.
    if (mSocket.Valid() && mpLoop != nullptr) {
        Unwatch(*mpLoop, mSocket.Get());
    }
    mSocket.Reset();
    return true;
}

bool CallPolicyService::ConnectStep(long now) {
    const unsigned long long id = mpCall->GetID();
    ExtCallControl::TRACEX("CallPolicyService: Thread: serv state=new, connecting... %llu\n", id);
    int rc = -1;
    // No address (the name did not resolve): connect() would take the empty
    // family as "dissolve the association" and succeed.
    int error = EDESTADDRREQ;
    for (;;) {
        const std::vector<StreamAddress>& addresses = ServerAddresses();
        if (mnAddressIndex >= addresses.size()) {
            break;
        }
        const StreamAddress& address = addresses[mnAddressIndex];
        // Start made an IPv4 socket; another family, or another attempt,
        // takes a new one.
        if (!mSocket.Valid() || address.Family() != AF_INET) {
            mSocket.Reset(::socket(address.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                   IPPROTO_TCP));
        }
        rc = mSocket.Valid() ? ::connect(mSocket.Get(), address.Native(), address.length) : -1;
        error = errno;
        if (rc == 0 || error == EINPROGRESS || error == EAGAIN || !NextAddress(error)) {
            break;
        }
    }
    if (rc == 0 || error == EINPROGRESS || error == EAGAIN) {
        mnWaitFor = EventLoop::kWrite;
        // The time-out counts from the first address tried.
        if (mnReqStartTime == 0) {
            mnReqStartTime = now;
        }
        mState = StateConnecting;
        mbConnected = false;
        mbWaitRead = false;
        mbUseSsl = mbSecure != 0;
        return false;
    }
    ExtCallControl::TRACEX("CallPolicyService: Thread: connect failed. %d. Accepting Call. %llu\n",
                           error, id);
    AcceptByFallback();
    return true;
}

bool CallPolicyService::ConnectingStep() {
    const unsigned long long id = mpCall->GetID();
    const int fd = mSocket.Get();
    const unsigned waitFor = mbWaitRead ? EventLoop::kRead : EventLoop::kWrite;
    if ((ReportedFor(fd) & waitFor) == 0) {
        // Still in progress: wait for the socket instead of failing on it.
        mnWaitFor = waitFor;
        return false;
    }
    mnWaitFor = 0;
    if (!mbConnected) {
        int error = 0;
        socklen_t length = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error != 0 && NextAddress(error)) {
            mState = StateNew;
            return ConnectStep(mnReqStartTime);
        }
        if (error != 0) {
            ExtCallControl::TRACEX(
                "CallPolicyService: Thread: connect failed. %d. Accepting Call. %llu\n", error, id);
            AcceptByFallback();
            return true;
        }
        mbConnected = true;
    }
    return mbUseSsl ? HandshakeStep() : SendPlain();
}

bool CallPolicyService::SendPlain() {
    const unsigned long long id = mpCall->GetID();
    const int fd = mSocket.Get();
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: serv state=connecting, sending request... %llu\n", id);
    const std::string request = ComposeXmlRpcHttpRequest();
    // A send that writes only part of the request counts as sent.
    const ssize_t sent =
        request.empty() ? -1 : ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
        mnWaitFor = EventLoop::kRead;
        mState = StateReceiving;
        return false;
    }
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: serv state=connecting, connecting failed. Accepting Call. "
        "%llu\n",
        id);
    AcceptByFallback();
    return true;
}

bool CallPolicyService::HandshakeStep() {
    const unsigned long long id = mpCall->GetID();
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: serv state=connecting, doing ssl handshake... %llu\n", id);
    if (!mTls.IsOpen()) {
        SSL_CTX* context = ClientContext(mPolicyCaFile);
        // A checked server must name itself as configured (policy-server).
        if (context == nullptr || !mTls.Open(context, mSocket.Get(), true) ||
            (!mPolicyCaFile.empty() && !mTls.ExpectPeerName(mServerAddr))) {
            ExtCallControl::TRACEX(
                "CallPolicyService: Thread: ssl initialization failed. Accepting Call. %llu\n", id);
            AcceptByFallback();
            return true;
        }
    }
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: serv state=connecting, Performing SSL_connect. %llu\n", id);
    const TlsStream::Result handshake = mTls.Handshake();
    if (handshake != TlsStream::Result::kDone) {
        ExtCallControl::TRACEX(
            "CallPolicyService: Thread: serv state=connecting, ssl_connect failed. error = %d. "
            "%llu\n",
            mTls.LastError(), id);
        if (handshake == TlsStream::Result::kWantWrite ||
            handshake == TlsStream::Result::kWantRead) {
            mbWaitRead = handshake == TlsStream::Result::kWantRead;
            mnWaitFor = mbWaitRead ? EventLoop::kRead : EventLoop::kWrite;
            return false;
        }
        const std::string rejection = mTls.PeerRejection();
        if (!rejection.empty()) {
            ExtCallControl::TRACEX(
                "ERROR. CallPolicyService: Thread: policy server certificate not accepted: %s. "
                "Accepting Call. %llu\n",
                rejection.c_str(), id);
        } else {
            ExtCallControl::TRACEX(
                "CallPolicyService: Thread: serv state=connecting, connecting failed. Accepting "
                "Call. %llu\n",
                id);
        }
        AcceptByFallback();
        return true;
    }
    ExtCallControl::TRACEX(
        "CallPolicyService: Thread: serv state=connecting, ssl_connect succeeded, sending "
        "request... %llu\n",
        id);
    const std::string request = ComposeXmlRpcHttpRequest();
    int written = 0;
    if (!request.empty() && mTls.Write(request.data(), static_cast<int>(request.size()), written) ==
                                TlsStream::Result::kDone) {
        mnWaitFor = EventLoop::kRead;
        mState = StateReceiving;
        return false;
    }
    ExtCallControl::TRACEX("CallPolicyService: Thread: ssl_write failed. Accepting Call. %llu\n",
                           id);
    AcceptByFallback();
    return true;
}

bool CallPolicyService::ReceiveStep() {
    const unsigned long long id = mpCall->GetID();
    const int fd = mSocket.Get();
    if ((ReportedFor(fd) & EventLoop::kRead) == 0) {
        mnWaitFor = EventLoop::kRead;
        return false;
    }
    ExtCallControl::TRACEX("CallPolicyService: Thread: serv state=receiving data... %llu\n", id);
    mnWaitFor = 0;
    const bool tls = mTls.IsOpen();
    char buffer[2048];
    for (;;) {
        int got = 0;
        const TlsStream::Result result =
            tls ? mTls.Read(buffer, sizeof(buffer), got) : TlsStream::Result::kDone;
        if (!tls) {
            got = static_cast<int>(::recv(fd, buffer, sizeof(buffer), 0));
        }
        const int error = errno;
        ExtCallControl::TRACEX("CallPolicyService: Thread: recv. ret = %d. %llu\n", got, id);
        if (got > 0) {
            if (mResponse.size() + static_cast<std::size_t>(got) > kMaxResponseBytes) {
                ExtCallControl::TRACEX(
                    "ERROR. CallPolicyService: Thread: answer longer than %lu bytes. Accepting "
                    "Call. %llu\n",
                    static_cast<unsigned long>(kMaxResponseBytes), id);
                AcceptByFallback();
                return true;
            }
            mResponse.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (tls ? result == TlsStream::Result::kClosed : got == 0) {
            // End of stream: the answer is complete.
            if (!mResponse.empty()) {
                ProcessXmlRpcHttpResponse(mResponse.c_str());
            } else {
                AcceptByFallback();
            }
            return true;
        }
        if (tls) {
            ExtCallControl::TRACEX("CallPolicyService: Thread: recv error. sslerr = %d. %llu\n",
                                   mTls.LastError(), id);
            if (result == TlsStream::Result::kWantRead) {
                mnWaitFor = EventLoop::kRead;
                return false;
            }
            AcceptByFallback();
            return true;
        }
        ExtCallControl::TRACEX("CallPolicyService: Thread: recv error. rcverr = %d. %llu\n", error,
                               id);
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // Nothing more for now: the answer is carried out at end of stream,
            // once complete.
            mnWaitFor = EventLoop::kRead;
            return false;
        }
        AcceptByFallback();
        return true;
    }
}

bool CallPolicyService::WatchStep(EventLoop& loop) {
    const int fd = mSocket.Get();
    const bool watched =
        loop.IsWatched(fd) ? loop.SetEvents(fd, mnWaitFor)
                           : loop.Watch(fd, mnWaitFor, [fd](unsigned ready) { Report(fd, ready); });
    if (watched) {
        return false;
    }
    ExtCallControl::TRACEX(
        "ERROR. CallPolicyService: Thread: socket %d cannot be watched. %d. Accepting Call. "
        "%llu\n",
        fd, errno, mpCall->GetID());
    AcceptByFallback();
    return true;
}

int CallPolicyService::VisitServices(EventLoop& loop,
                                     std::vector<std::unique_ptr<CallPolicyService>>& finished) {
    int nextCheckTimeout = 0;
    const long now = static_cast<long>(ExtCallControl::GetMonotonicTime());
    for (auto it = mlistServicesInProgress.begin(); it != mlistServicesInProgress.end();) {
        CallPolicyService& service = **it;
        const bool done = service.TimeoutStep(now, nextCheckTimeout) || service.StateStep(now) ||
                          service.WatchStep(loop);
        // Read after the steps: trying another address replaces the socket.
        const int fd = service.mSocket.Get();
        // What the last wait reported has been looked at.
        ClearReported(fd);
        if (done) {
            // Its descriptor leaves the loop before the destructor closes it.
            Unwatch(loop, fd);
            service.mbFinishing = true;
            finished.push_back(std::move(*it));
            it = mlistServicesInProgress.erase(it);
        } else {
            ++it;
        }
    }
    return nextCheckTimeout;
}

unsigned long CallPolicyService::HttpProcessingProc(void* /*arg*/) {
    // A write on a connection the server dropped fails with EPIPE here instead
    // of raising SIGPIPE (TLS writes cannot ask for MSG_NOSIGNAL).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    EventLoop* loop;
    {
        ThreadMutexLock lock(mListMutex);
        InitWorkerLoop();
        loop = mpLoop;
    }
    for (;;) {
        const bool settingsChanged = mbUpdateServerParams.exchange(0) != 0;
        if (settingsChanged) {
            ExtCallControl::TRACEX("CallPolicyService: Thread: updatting server params.\n");
            ReadConfigs();
        }
        ResolveServer(mServerAddr, mServerPort, mbEveryAddress, settingsChanged);

        std::vector<std::unique_ptr<CallPolicyService>> finished;
        int nextCheckTimeout;
        int count;
        {
            ThreadMutexLock lock(mListMutex);
            for (exlink::UniqueFd& fd : mvRetiredSockets) {
                Unwatch(*loop, fd.Get());
            }
            mvRetiredSockets.clear();
            nextCheckTimeout = VisitServices(*loop, finished);
            count = static_cast<int>(mlistServicesInProgress.size());
        }
        // Destroying a service destroys its Call, which takes the call registry
        // lock: done outside mListMutex, and under the registry lock so that a
        // notification of the main thread never runs into a service being
        // destroyed here.
        for (std::unique_ptr<CallPolicyService>& service : finished) {
            ThreadMutexLock registry(Call::mMapMutex);
            service.reset();
        }

        ExtCallControl::TRACEX("Thread: entering to select. count = %d, timeout = %d secs.\n",
                               count, nextCheckTimeout);
        // The wait ends at a wake-up (drained by the loop), a socket ready for
        // what it waits for, or the nearest request time-out.
        const int ret = loop->RunOnce(nextCheckTimeout > 0 ? nextCheckTimeout * 1000 : -1);
        const int error = errno;
        ExtCallControl::TRACEX("Thread: leaving from select. select ret = %d, sockerror = %d.\n",
                               ret, error);
        if (ret < 0) {
            // No wait possible (the loop has no epoll or wake-up descriptor): a
            // pause instead of a busy loop.
            Thread::Sleep(100);
        }
    }
    return 0;
}

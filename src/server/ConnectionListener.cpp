// Accepting clients, and the room kept for clients that authorise: silent
// connections cannot lock others out, because the oldest connection that has
// not authorised makes room when descriptors or the budgets run short.
#include "server/ConnectionListener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "core/ExtCallControl.h"
#include "net/EventLoop.h"
#include "server/CallControlService.h"
#include "server/ServerMetrics.h"

namespace {

using TR = ExtCallControl;
using CCS = CallControlService;

const int kListenAttempts = 30;
// The listen address that means the classic listener: every IPv4 address.
const char kEveryIpv4Address[] = "0.0.0.0";
const int kListenPauseMs = 10000;

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

}  // namespace

void ConnectionListener::NoteThreadStart() {
    gOtherDescriptors = CountOpenDescriptors();
}

bool ConnectionListener::Open(EventLoop& loop) {
    CCS::mpListenerSock.reset();
    for (int attempt = 1; attempt <= kListenAttempts; ++attempt) {
        if (!CCS::mbRunning) {
            return false;
        }
        auto listener = std::make_unique<BsdSocket>(false);
        const std::string& address = CCS::ListenAddress();
        const bool everyIpv4 = address == kEveryIpv4Address;
        if (everyIpv4 ? listener->Open(1, SockAddr(0, CCS::mListenPort, false), 0, 0) != 0
                      : listener->OpenListener(address, CCS::mListenPort)) {
            if (!everyIpv4) {
                TR::TRACEX("CCS: Thread. Listening on [%s]:%u.\n",
                           address.empty() ? "every address" : address.c_str(),
                           static_cast<unsigned>(CCS::mListenPort));
            }
            const int one = 1;
            listener->ChangeMode(1);
            listener->SetSocketOption(SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            CCS::mpListenerSock = std::move(listener);
            return true;
        }
        TR::TRACEX("CCS: Thread. ERROR. Failed to bind listener socket.\n");
        listener.reset();
        // The pause ends early when CleanUp stops the thread; other
        // wake-ups are taken and the pause goes on.
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenPauseMs);
        while (CCS::mbRunning) {
            const long left =
                static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      until - std::chrono::steady_clock::now())
                                      .count());
            if (left <= 0) {
                break;
            }
            if (loop.RunOnce(static_cast<int>(left)) < 0) {
                Thread::Sleep(static_cast<int>(std::min(left, 100L)));
            }
        }
    }
    TR::TRACEX("CCS: Thread. FATAL ERROR. Failed to bind listener socket at all.\n");
    TR::TRACEX("!!! Exiting RPC Processing Thread !!!\n");
    return false;
}

bool ConnectionListener::EvictOldestUnauthorised(const std::string& peer, int why,
                                                 EventLoop& loop) {
    CCS::mServMutex.AssertHeld("EvictOldestUnauthorised");
    for (auto it = CCS::mlistServicesInProgress.begin(); it != CCS::mlistServicesInProgress.end();
         ++it) {
        CallControlService* c = *it;
        if (c->mbAuthorised || (!peer.empty() && c->mPeerAddress != peer)) {
            continue;
        }
        ++gEvictionsUnlogged[why];
        server_metrics::CountEviction(why);
        const unsigned long now = ExtCallControl::GetMonotonicTime();
        if (now != gEvictionLogTime[why]) {
            TR::TRACEX(
                "CCS: Thread. Closed %u connection(s) not yet authorised to make room (%s).\n",
                gEvictionsUnlogged[why], kEvictionReasons[why]);
            gEvictionLogTime[why] = now;
            gEvictionsUnlogged[why] = 0;
        }
        CCS::mlistServicesInProgress.erase(it);
        loop.Forget(c->mChannel.Descriptor());
        delete c;
        return true;
    }
    return false;
}

bool ConnectionListener::AcceptOne(EventLoop& loop) {
    CCS::mServMutex.AssertHeld("AcceptConnection");
    auto c = std::make_unique<CallControlService>();
    if (!c->mChannel.AcceptFrom(*CCS::mpListenerSock)) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE) {
            // Out of descriptors: the oldest connection that has not
            // authorised makes room, so silent ones cannot lock others out.
            if (EvictOldestUnauthorised("", kOutOfDescriptors, loop) &&
                c->mChannel.AcceptFrom(*CCS::mpListenerSock)) {
                return SetUp(std::move(c), loop);
            }
            if (gSpareDescriptor.RefuseOne(CCS::mpListenerSock->GetDescriptor())) {
                TR::TRACEX("CCS: Thread. Out of descriptors (errno %d), connection refused.\n",
                           error);
                return false;
            }
        }
        TR::TRACEX("CCS: Thread. Error accepting connection.\n");
        return false;
    }
    return SetUp(std::move(c), loop);
}

bool ConnectionListener::SetUp(std::unique_ptr<CallControlService> c, EventLoop& loop) {
    const int fd = c->mChannel.Descriptor();
    c->mPeerAddress = PeerAddress(fd);
    while (DescriptorsShort(CCS::mlistServicesInProgress.size() + 1)) {
        if (!EvictOldestUnauthorised("", kOutOfDescriptors, loop)) {
            // Every client has authorised: the reserve stays the daemon's.
            TR::TRACEX("CCS: Thread. Out of descriptors (errno %d), connection refused.\n", EMFILE);
            return true;
        }
    }
    const int perPeer = CCS::mnMaxUnauthPerPeer;
    if (perPeer > 0) {
        const std::string& peer = c->mPeerAddress;
        const long fromPeer =
            std::count_if(CCS::mlistServicesInProgress.begin(), CCS::mlistServicesInProgress.end(),
                          [&peer](const CallControlService* o) {
                              return !o->mbAuthorised && o->mPeerAddress == peer;
                          });
        if (fromPeer >= perPeer) {
            EvictOldestUnauthorised(peer, kTooManyFromPeer, loop);
        }
    }
    const int maxUnauth = CCS::mnMaxUnauth;
    if (maxUnauth > 0) {
        const long waiting =
            std::count_if(CCS::mlistServicesInProgress.begin(), CCS::mlistServicesInProgress.end(),
                          [](const CallControlService* other) { return !other->mbAuthorised; });
        if (waiting >= maxUnauth) {
            EvictOldestUnauthorised("", kTooManyUnauthorised, loop);
        }
    }
    c->mChannel.Configure();
    c->mnAcceptTime = ExtCallControl::GetMonotonicTime();
    if (CCS::mbSecureListen) {
        if (!c->mChannel.StartTls(CCS::mpCTX)) {
            TR::TRACEX("CCS: SSL. Can't create SSL object.\n");
            return true;
        }
        c->mState = 1;
        if (!c->ContinueHandshake()) {
            return true;
        }
    } else {
        c->mState = 2;
    }
    c->mbMetricTls = CCS::mbSecureListen;
    c->mnLastActivity = c->mnAcceptTime;
    server_metrics::CountAccepted(c->mbMetricTls);
    c->SetMetricState(c->mState == 1 ? server_metrics::kHandshaking
                                     : server_metrics::kUnauthenticated);
    CCS::mlistServicesInProgress.push_back(c.release());
    return true;
}

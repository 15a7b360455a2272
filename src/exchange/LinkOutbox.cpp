#include "exchange/LinkOutbox.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/Metrics.h"

namespace exlink {
namespace {

// The failure counter of the peer whose socket is at `path` (the commands
// themselves are counted by kind where they are made, in Messaging.cpp).
metrics::Counter& Failures(const std::string& path) {
    auto make = [](const char* peer) -> metrics::Counter& {
        return metrics::Registry::Instance().GetCounter(
            "valtd_exchange_command_failures_total",
            "Commands the exchange link could not send or queue, by peer.",
            metrics::Label("peer", peer));
    };
    static metrics::Counter& cm = make("cm");
    static metrics::Counter& ns = make("ns");
    static metrics::Counter& other = make("other");
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return name == kCallManagerSocketName ? cm : name == kNotificationSocketName ? ns : other;
}

// How long the sender sleeps in one wait when no peer has room: it also
// looks at stalled peers and new commands this often.
constexpr int kWaitMs = 200;
// How long the process's end waits for queued commands to leave.
constexpr auto kFinalFlush = std::chrono::seconds(2);

bool PeerGone(int error) {
    return error == ECONNREFUSED || error == ENOENT || error == ENOTCONN || error == EPIPE ||
           error == ECONNRESET || error == EDESTADDRREQ;
}

}  // namespace

LinkOutbox& LinkOutbox::Instance() {
    static LinkOutbox outbox;
    return outbox;
}

LinkOutbox::LinkOutbox() = default;

void LinkOutbox::RegisterMetrics() {
    Failures(kCallManagerSocketName);
    Failures(kNotificationSocketName);
}

LinkOutbox::~LinkOutbox() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mbStop = true;
    }
    mWork.notify_all();
    if (mSender.joinable()) {
        mSender.join();
    }
}

bool LinkOutbox::Connect(const std::string& path, Peer& peer, int& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        error = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid() ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = errno;
        peer.fd.Reset();
        return false;
    }
    peer.fd = std::move(fd);
    return true;
}

LinkOutbox::Write LinkOutbox::WriteOne(const std::string& path, Peer& peer,
                                       const std::string& payload, int& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!peer.fd.Valid() && !Connect(path, peer, error)) {
            return Write::kGone;
        }
        for (;;) {
            if (::send(peer.fd.Get(), payload.data(), payload.size(),
                       MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
                peer.progress = Clock::now();
                return Write::kDone;
            }
            error = errno;
            if (error != EINTR) {
                break;
            }
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return Write::kWait;
        }
        if (!PeerGone(error)) {
            return Write::kFailed;
        }
        // The peer's socket is gone (a restart binds a new one): connect anew.
        peer.fd.Reset();
    }
    return Write::kGone;
}

void LinkOutbox::FailQueue(const std::string& path, Peer& peer, const char* why) {
    if (peer.queue.empty()) {
        return;
    }
    LinkLog("ExchangeLink: ERROR. %zu queued commands to %s failed: %s", peer.queue.size(),
            path.c_str(), why);
    peer.queue.clear();
    peer.bytes = 0;
}

bool LinkOutbox::Send(const std::string& path, const std::string& payload) {
    const bool sent = SendCommand(path, payload);
    if (!sent) {
        Failures(path).Add();
    }
    return sent;
}

bool LinkOutbox::SendCommand(const std::string& path, const std::string& payload) {
    std::unique_lock<std::mutex> lock(mMutex);
    Peer& peer = mPeers[path];
    int error = 0;
    if (peer.queue.empty()) {
        switch (WriteOne(path, peer, payload, error)) {
            case Write::kDone:
                return true;
            case Write::kWait:
                break;  // queued below
            case Write::kGone:
            case Write::kFailed:
                LinkLog("ExchangeLink: ERROR. Cannot send to %s: %s", path.c_str(),
                        std::strerror(error));
                return false;
        }
        peer.progress = Clock::now();
    }
    if (peer.queue.size() >= kMaxQueuedCommands || peer.bytes + payload.size() > kMaxQueuedBytes) {
        ++peer.refused;
        const Clock::time_point now = Clock::now();
        if (now - peer.refusedLog >= std::chrono::seconds(1)) {
            LinkLog("ExchangeLink: ERROR. Cannot send to %s: queue full (%zu commands refused)",
                    path.c_str(), peer.refused);
            peer.refused = 0;
            peer.refusedLog = now;
        }
        return false;
    }
    peer.queue.push_back(payload);
    peer.bytes += payload.size();
    StartSender();
    lock.unlock();
    mWork.notify_one();
    return true;
}

void LinkOutbox::StartSender() {
    if (!mbStarted) {
        mbStarted = true;
        mSender = std::thread([this] { Run(); });
    }
}

void LinkOutbox::Run() {
    std::unique_lock<std::mutex> lock(mMutex);
    Clock::time_point stopBy{};
    for (;;) {
        // Write every queue as far as its peer takes it; note who must wait.
        std::vector<pollfd> waiting;
        const Clock::time_point now = Clock::now();
        for (auto& [path, peer] : mPeers) {
            int error = 0;
            while (!peer.queue.empty()) {
                const Write result = WriteOne(path, peer, peer.queue.front(), error);
                if (result == Write::kWait) {
                    break;
                }
                if (result == Write::kGone) {
                    FailQueue(path, peer, std::strerror(error));
                    break;
                }
                if (result == Write::kFailed) {
                    LinkLog("ExchangeLink: ERROR. Cannot send to %s: %s", path.c_str(),
                            std::strerror(error));
                }
                peer.bytes -= peer.queue.front().size();
                peer.queue.pop_front();
            }
            if (peer.queue.empty()) {
                continue;
            }
            if (now - peer.progress >= std::chrono::seconds(kStallSeconds)) {
                FailQueue(path, peer, "the peer took nothing for 30 seconds");
                continue;
            }
            waiting.push_back(pollfd{peer.fd.Get(), POLLOUT, 0});
        }
        if (mbStop) {
            if (waiting.empty()) {
                return;
            }
            if (stopBy == Clock::time_point{}) {
                stopBy = now + kFinalFlush;
            } else if (now >= stopBy) {
                for (auto& [path, peer] : mPeers) {
                    FailQueue(path, peer, "the process ends");
                }
                return;
            }
        }
        if (waiting.empty()) {
            mWork.wait(lock);
            continue;
        }
        // A peer's socket becomes writable when the peer has read; new
        // commands for a peer with room are written on the next round.
        lock.unlock();
        ::poll(waiting.data(), waiting.size(), kWaitMs);
        lock.lock();
    }
}

}  // namespace exlink

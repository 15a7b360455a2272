#include "exchange/ExchangeLink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "base/RootPath.h"

namespace exlink {
namespace {

// How long a send keeps retrying while the peer's queue is full.
constexpr auto kFullQueueRetry = std::chrono::milliseconds(1000);

void DefaultLog(const char* line) {
    std::fputs(line, stderr);
}

using LogHook = void (*)(const char* line);
std::atomic<LogHook> gLogHook{&DefaultLog};

// Fills `addr` for `path`; false when the path does not fit sun_path with its NUL.
bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset(other.Release());
    }
    return *this;
}

int UniqueFd::Release() {
    int fd = mnFd;
    mnFd = -1;
    return fd;
}

void UniqueFd::Reset(int fd) {
    if (mnFd >= 0) {
        ::close(mnFd);
    }
    mnFd = fd;
}

void LinkLog(const char* format, ...) {
    char line[1024];
    std::va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    std::size_t length = std::strlen(line);
    if (length == 0 || line[length - 1] != '\n') {
        line[length] = '\n';
        line[length + 1] = '\0';
    }
    gLogHook.load()(line);
}

std::string LinkDirectory() {
    return RootPath("/tmp/exlink/");
}

bool EnsureLinkDirectory() {
    std::string dir = LinkDirectory();
    if (!MakeDirectories(dir)) {
        LinkLog("ExchangeLink: ERROR. Cannot create the directory %s: %s", dir.c_str(),
                std::strerror(errno));
        return false;
    }
    return true;
}

std::string QueueSocketName(const std::string& queuePath, int number) {
    std::string flat;
    for (std::size_t i = 0; i < queuePath.size(); ++i) {
        char c = queuePath[i];
        if (i == 0 && c == '/') {
            continue;
        }
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '-';
        flat += plain ? c : '_';
    }
    return "q-" + flat + "-" + std::to_string(number) + ".sock";
}

std::string PollerSocketName(int pollerId) {
    return "poller-" + std::to_string(pollerId) + ".sock";
}

std::string LinkSocketPath(const std::string& name) {
    return LinkDirectory() + name;
}

UniqueFd BindDatagramSocket(const std::string& path) {
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) {
        LinkLog("ExchangeLink: ERROR. Socket path too long (%zu bytes, limit %zu): %s", path.size(),
                sizeof(addr.sun_path) - 1, path.c_str());
        return UniqueFd();
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        LinkLog("ExchangeLink: ERROR. socket(): %s", std::strerror(errno));
        return fd;
    }
    ::unlink(path.c_str());
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        LinkLog("ExchangeLink: ERROR. Cannot bind %s: %s", path.c_str(), std::strerror(errno));
        return UniqueFd();
    }
    return fd;
}

bool SendDatagram(const std::string& path, const std::string& payload, bool quiet) {
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) {
        if (!quiet) {
            LinkLog("ExchangeLink: ERROR. Socket path too long (%zu bytes, limit %zu): %s",
                    path.size(), sizeof(addr.sun_path) - 1, path.c_str());
        }
        return false;
    }
    // A socket per send: commands come from any thread and nothing is shared.
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        if (!quiet) {
            LinkLog("ExchangeLink: ERROR. socket(): %s", std::strerror(errno));
        }
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kFullQueueRetry;
    for (;;) {
        ssize_t n = ::sendto(fd.Get(), payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
        if (n >= 0) {
            return true;
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        if ((err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) &&
            std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!quiet) {
            LinkLog("ExchangeLink: ERROR. Cannot send to %s: %s", path.c_str(),
                    err == EAGAIN || err == EWOULDBLOCK ? "peer queue full" : std::strerror(err));
        }
        return false;
    }
}

ReceiveResult ReceiveDatagram(int fd, std::string& payload) {
    // One buffer per thread, so that a small datagram does not cost a large fill.
    thread_local std::vector<char> buffer(kMaxDatagram);
    payload.clear();
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n >= 0) {
            if (static_cast<std::size_t>(n) > kMaxDatagram) {
                LinkLog("ExchangeLink: ERROR. Dropped a datagram of %zd bytes (limit %zu)", n,
                        kMaxDatagram);
                return ReceiveResult::kError;
            }
            payload.assign(buffer.data(), static_cast<std::size_t>(n));
            return ReceiveResult::kMessage;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return ReceiveResult::kEmpty;
        }
        LinkLog("ExchangeLink: ERROR. recv(): %s", std::strerror(errno));
        return ReceiveResult::kError;
    }
}

}  // namespace exlink

void SetMessagingLog(void (*hook)(const char* line)) {
    exlink::gLogHook.store(hook != nullptr ? hook : &exlink::DefaultLog);
}

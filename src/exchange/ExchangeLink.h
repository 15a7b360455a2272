// Transport of the exchange link: Unix-domain datagram sockets in one runtime
// directory under the root prefix, one encoded message per datagram (events
// to the daemon go through its queue rings instead, QueueRing.h). Shared by
// the daemon's messengers and poller and by the exchange simulator.
//
// Threads: every function is safe from any thread. The log hook is an atomic
// pointer; sending uses a socket per call; nothing else is shared.
#pragma once

#include <cstddef>
#include <string>

namespace exlink {

// Owns one file descriptor and closes it on destruction. Not copyable; movable.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : mnFd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : mnFd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return mnFd; }
    bool Valid() const { return mnFd >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int mnFd = -1;
};

// Largest datagram either side sends or accepts.
constexpr std::size_t kMaxDatagram = 256 * 1024;

// The runtime directory (RootPath("/tmp/exlink/")), with a trailing slash.
std::string LinkDirectory();
// Creates the runtime directory when missing; false (logged) when it cannot.
bool EnsureLinkDirectory();

// Socket file names inside the runtime directory.
std::string QueueSocketName(const std::string& queuePath, int number);  // "q-bin_ping-12.sock"
std::string PollerSocketName(int pollerId);                             // "poller-45.sock"
constexpr const char* kCallManagerSocketName = "cm.sock";
constexpr const char* kNotificationSocketName = "ns.sock";
// Full path of a socket file name.
std::string LinkSocketPath(const std::string& name);

// Creates a non-blocking datagram socket bound to `path`, replacing a stale file
// there. Returns an invalid fd (and logs why) when the path is too long for a
// Unix socket address or the socket cannot be bound.
UniqueFd BindDatagramSocket(const std::string& path);

// Sends one datagram to the socket at `path` without blocking: returns true when
// it was queued there. An absent peer fails at once; a full peer queue is retried
// for a short bounded time and then fails. Failures are logged unless `quiet`.
bool SendDatagram(const std::string& path, const std::string& payload, bool quiet = false);

// Takes one datagram from `fd` without blocking.
enum class ReceiveResult { kMessage, kEmpty, kError };
ReceiveResult ReceiveDatagram(int fd, std::string& payload);

// Writes one diagnostic line through the hook set by SetMessagingLog.
void LinkLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace exlink

// Diagnostics of the link (malformed datagrams, socket errors). Each line is
// handed to the hook with a trailing "\n"; the default hook writes to stderr.
// Passing null restores the default. Any thread.
void SetMessagingLog(void (*hook)(const char* line));

// The daemon's commands to the exchange's peers (the call manager's cm.sock,
// the notification service's ns.sock), queued per peer and written in order
// by one sender thread, so that a peer that is busy for a while neither holds
// up the thread that sends a command nor loses it.
//
// A Unix datagram socket takes only a few messages (ten by default on Linux)
// before its sender must wait. Each peer therefore has a queue of its own in
// front of a connected datagram socket: a command goes straight to the socket
// when nothing waits before it, and joins the queue otherwise; the sender
// thread writes the queue as fast as the peer takes it (poll tells it when
// the peer has read). A peer that is absent (nothing bound at its path) fails
// a command at once, as does a full queue; a peer that takes nothing for
// kStallSeconds has its queued commands failed and logged.
//
// Threads: Send from any thread. The sender thread is started by the first
// command that has to wait, and stopped (after a last bounded flush) when the
// process ends. mMutex guards every peer and its queue; the sender never
// holds it across a wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "exchange/ExchangeLink.h"

namespace exlink {

class LinkOutbox {
  public:
    // Bounds of one peer's queue: minutes of a busy unit's commands.
    static constexpr std::size_t kMaxQueuedCommands = 65536;
    static constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
    // A peer that takes nothing for this long has its queued commands failed.
    static constexpr int kStallSeconds = 30;

    static LinkOutbox& Instance();

    LinkOutbox();
    ~LinkOutbox();
    LinkOutbox(const LinkOutbox&) = delete;
    LinkOutbox& operator=(const LinkOutbox&) = delete;

    // Sends `payload` to the peer socket at `path`, or queues it behind what
    // waits for that peer. False (logged) when the peer is absent or its
    // queue is full.
    bool Send(const std::string& path, const std::string& payload);
    // Registers the failure counters, so that a scrape shows them from the start.
    static void RegisterMetrics();

  private:
    using Clock = std::chrono::steady_clock;
    struct Peer {
        UniqueFd fd;  // connected to the peer's socket; invalid until connected
        std::deque<std::string> queue;
        std::size_t bytes = 0;         // of the queue
        Clock::time_point progress;    // last time the peer took a command
        std::size_t refused = 0;       // commands refused since the last log line
        Clock::time_point refusedLog;  // when that line was written
    };
    enum class Write { kDone, kWait, kGone, kFailed };

    bool SendCommand(const std::string& path, const std::string& payload);
    // Connects `peer` to `path` (mMutex held); false when nothing is bound there.
    static bool Connect(const std::string& path, Peer& peer, int& error);
    // Writes one message to the peer's socket without waiting (mMutex held),
    // reconnecting once when the peer's socket was replaced (a restart).
    static Write WriteOne(const std::string& path, Peer& peer, const std::string& payload,
                          int& error);
    // Fails every queued command of `peer` with a log line (mMutex held).
    static void FailQueue(const std::string& path, Peer& peer, const char* why);
    void Run();
    void StartSender();  // mMutex held

    std::mutex mMutex;
    std::condition_variable mWork;       // a queue became non-empty, or stop
    std::map<std::string, Peer> mPeers;  // by socket path
    bool mbStop = false;
    bool mbStarted = false;
    std::thread mSender;
};

}  // namespace exlink

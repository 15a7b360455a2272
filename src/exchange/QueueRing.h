// A message queue of the exchange link that outlives its reader: a file in the
// runtime directory ("q-bin_ping-12.ring"), mapped shared by every writer and
// by the one reader, created or attached by either side. Writers append under
// flock(LOCK_EX); the reader takes messages in order, marks each done and
// moves the release offset over done messages, so that space is reused. A
// message the reader holds (QueueRing::Complete with hold) keeps the release
// offset in front of it: after a crash the next reader processes it again. A
// writer wakes a sleeping reader with a one-byte datagram on the queue's
// socket (docs/exchange-link.md, "Queues").
//
// Threads: a QueueRing used as a reader (TryTake, Complete, ReleaseHeld,
// PrepareSleep, EndSleep) belongs to one thread. AppendToQueue is safe from
// any thread: each writer handle has its own mutex, taken with the file lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exchange/ExchangeLink.h"

namespace exlink {

// Size of a ring's data area: 4 MiB, a power of two (thousands of call-detail
// records while no reader runs; the unit's /tmp is in memory).
constexpr std::uint32_t kRingDataSize = 4u * 1024 * 1024;

class QueueRing {
  public:
    // Opens or creates the ring file at `path` (0600) with a data area of
    // `dataSize` bytes (a power of two, at least 64 KiB), initialising it when
    // new or when its header does not match (logged). Check Valid().
    explicit QueueRing(const std::string& path, std::uint32_t dataSize = kRingDataSize);
    ~QueueRing();
    QueueRing(const QueueRing&) = delete;
    QueueRing& operator=(const QueueRing&) = delete;

    bool Valid() const { return mpBase != nullptr; }
    const std::string& Path() const { return mPath; }
    // Whether the file at Path() is still this ring's (false once it was removed).
    bool Linked() const;

    // Writer: appends one message; false when it does not fit now (`full`
    // set) or is larger than kMaxDatagram. Returns with `wake` set when the
    // reader sleeps and must be woken. The caller serialises writers of this
    // process; the file lock serialises processes.
    bool Append(const char* data, std::size_t size, bool& full, bool& wake);

    // Reader: the next message not yet taken. Messages marked done by an
    // earlier reader are skipped. Returns false when none is waiting.
    struct Message {
        const char* data = nullptr;  // in the mapping; valid until Complete
        std::size_t size = 0;
        std::uint32_t offset = 0;
    };
    bool TryTake(Message& message);
    bool HasUntaken() const;
    // Marks a taken message done, or with `hold` keeps it held until
    // ReleaseHeld, then moves the release offset over done messages.
    void Complete(const Message& message, bool hold);
    void ReleaseHeld();
    std::size_t HeldCount() const { return mHeld.size(); }

    // Reader, before it sleeps: sets the sleeping flag and looks again; false
    // (flag cleared) when a message came in between. EndSleep clears it.
    bool PrepareSleep();
    void EndSleep();

  private:
    struct Header;
    Header* Head() const;
    char* Data() const { return mpBase + kHeaderSize; }
    bool CheckOrInitialise(bool fresh);
    void AdvanceRelease();
    void Reset(const char* why);  // drops everything queued (a corrupt record)

    static constexpr std::size_t kHeaderSize = 64;
    std::string mPath;
    std::uint32_t mDataSize = 0;
    UniqueFd mFd;
    char* mpBase = nullptr;
    std::size_t mMapSize = 0;
    // Reader only.
    std::uint32_t mTake = 0;
    std::vector<std::uint32_t> mHeld;
};

// The ring file's name in the runtime directory: "q-bin_ping-12.ring".
std::string QueueRingName(const std::string& queuePath, int number);

// Appends `payload` to the queue (path, number), creating its ring file when
// missing, and wakes its reader when it sleeps. A full ring is retried for up
// to `retryMs` milliseconds; then (or when the message is larger than
// kMaxDatagram) the send fails, logged unless `quiet`. Any thread.
bool AppendToQueue(const std::string& queuePath, int number, const std::string& payload,
                   bool quiet = false, int retryMs = 1000);

}  // namespace exlink

// The bounded in-memory message queue of the log's queued mode; also part of
// the messaging library's surface (exchange/Messaging.h includes it).
#pragma once

#include <memory>

// Bounded queue of messages in one block of memory (the log's queued mode).
// Any thread; SendMessage never blocks, GetMessage blocks until a message arrives.
class CyclicQueue {
  public:
    explicit CyclicQueue(unsigned long capacity);
    ~CyclicQueue();
    CyclicQueue(const CyclicQueue&) = delete;
    CyclicQueue& operator=(const CyclicQueue&) = delete;

    // Non-zero when stored, 0 when the queue is full.
    int SendMessage(long id, const char* data, unsigned long length);
    // Copies the oldest message into `buffer` (cut to `size`), returns its length.
    unsigned long GetMessage(long* id, char* buffer, unsigned long size);

  private:
    struct Impl;
    std::unique_ptr<Impl> mpImpl;
};

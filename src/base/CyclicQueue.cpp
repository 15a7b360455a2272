// Bounded message queue of the log's queued mode. The capacity counts the bytes
// of the stored messages; a message is stored whole or not at all.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "base/CyclicQueue.h"

struct CyclicQueue::Impl {
    struct Message {
        long id;
        std::vector<char> data;
    };

    unsigned long capacity;
    std::mutex mutex;                 // guards everything below
    std::condition_variable arrived;  // signalled when a message is stored
    std::deque<Message> messages;
    unsigned long usedBytes = 0;
};

CyclicQueue::CyclicQueue(unsigned long capacity) : mpImpl(std::make_unique<Impl>()) {
    mpImpl->capacity = capacity;
}

CyclicQueue::~CyclicQueue() = default;

int CyclicQueue::SendMessage(long id, const char* data, unsigned long length) {
    if (data == nullptr) {
        length = 0;
    }
    {
        std::lock_guard<std::mutex> guard(mpImpl->mutex);
        if (length > mpImpl->capacity - mpImpl->usedBytes) {
            return 0;
        }
        mpImpl->messages.push_back(Impl::Message{id, std::vector<char>(data, data + length)});
        mpImpl->usedBytes += length;
    }
    mpImpl->arrived.notify_one();
    return 1;
}

unsigned long CyclicQueue::GetMessage(long* id, char* buffer, unsigned long size) {
    std::unique_lock<std::mutex> lock(mpImpl->mutex);
    mpImpl->arrived.wait(lock, [this] { return !mpImpl->messages.empty(); });
    Impl::Message message = std::move(mpImpl->messages.front());
    mpImpl->messages.pop_front();
    mpImpl->usedBytes -= message.data.size();
    lock.unlock();

    if (id != nullptr) {
        *id = message.id;
    }
    unsigned long copied = std::min<unsigned long>(size, message.data.size());
    if (copied > 0 && buffer != nullptr) {
        std::memcpy(buffer, message.data.data(), copied);
    }
    return buffer != nullptr ? copied : 0;
}

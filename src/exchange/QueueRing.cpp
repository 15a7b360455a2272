#include "exchange/QueueRing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace exlink {

// The header at the start of the file. Every field is 32 bits: the unit's
// 32-bit processor has no lock-free 64-bit atomics, and these are shared
// between processes. Offsets count bytes modulo 2^32; the data area's size
// is a power of two, so an offset's place in it is offset & (size - 1).
struct QueueRing::Header {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t dataSize;
    std::uint32_t headerSize;
    std::uint32_t write;     // end of the last complete message (writers, under the file lock)
    std::uint32_t release;   // everything before it is done and may be overwritten (reader)
    std::uint32_t sleeping;  // 1 while the reader waits on its socket
    std::uint32_t reserved[9];
};

namespace {

constexpr std::uint32_t kMagic = 0x51524c58;  // "XLRQ" in little-endian memory
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kMinDataSize = 64 * 1024;

// Each message: a record header (length of the bytes, state), the bytes, then
// padding to a multiple of 8. A message never wraps: when it does not fit
// before the end, a padding record fills the rest and it starts at 0.
constexpr std::uint32_t kRecordHeader = 8;
enum RecordState : std::uint32_t { kReady = 1, kPad = 2, kDone = 3 };

std::uint32_t RecordSize(std::uint32_t length) {
    return kRecordHeader + ((length + 7u) & ~7u);
}

std::uint32_t Load(const std::uint32_t* p, int order = __ATOMIC_ACQUIRE) {
    return __atomic_load_n(p, order);
}
void Store(std::uint32_t* p, std::uint32_t v, int order = __ATOMIC_RELEASE) {
    __atomic_store_n(p, v, order);
}

// Holds the ring file's lock for a scope.
class FileLock {
  public:
    explicit FileLock(int fd) : mnFd(fd) {
        while (::flock(mnFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(mnFd, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int mnFd;
};

}  // namespace

QueueRing::QueueRing(const std::string& path, std::uint32_t dataSize)
    : mPath(path), mDataSize(dataSize) {
    static_assert(sizeof(Header) <= kHeaderSize, "the header fits its place");
    if (dataSize < kMinDataSize || (dataSize & (dataSize - 1)) != 0) {
        LinkLog("ExchangeLink: ERROR. Ring size %u is not a power of two of at least %u", dataSize,
                kMinDataSize);
        return;
    }
    mFd.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!mFd.Valid()) {
        LinkLog("ExchangeLink: ERROR. Cannot open %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    FileLock lock(mFd.Get());
    struct stat st {};
    mMapSize = kHeaderSize + dataSize;
    if (::fstat(mFd.Get(), &st) != 0) {
        LinkLog("ExchangeLink: ERROR. Cannot stat %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    const bool fresh = st.st_size == 0;
    if (static_cast<std::size_t>(st.st_size) != mMapSize &&
        ::ftruncate(mFd.Get(), static_cast<off_t>(mMapSize)) != 0) {
        LinkLog("ExchangeLink: ERROR. Cannot size %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    void* base = ::mmap(nullptr, mMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, mFd.Get(), 0);
    if (base == MAP_FAILED) {
        LinkLog("ExchangeLink: ERROR. Cannot map %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    mpBase = static_cast<char*>(base);
    CheckOrInitialise(fresh);
    mTake = Load(&Head()->release);
}

QueueRing::~QueueRing() {
    if (mpBase != nullptr) {
        ::munmap(mpBase, mMapSize);
    }
}

QueueRing::Header* QueueRing::Head() const {
    return reinterpret_cast<Header*>(mpBase);
}

bool QueueRing::CheckOrInitialise(bool fresh) {
    Header* h = Head();
    const std::uint32_t w = Load(&h->write), r = Load(&h->release);
    if (h->magic == kMagic && h->version == kVersion && h->dataSize == mDataSize &&
        h->headerSize == kHeaderSize && w - r <= mDataSize && w % 8 == 0 && r % 8 == 0) {
        return true;
    }
    if (!fresh) {
        LinkLog(
            "ExchangeLink: ERROR. %s had no valid queue header (magic %08x, version %u, size %u); "
            "initialised, anything in it is lost",
            mPath.c_str(), h->magic, h->version, h->dataSize);
    }
    Store(&h->magic, 0);
    Store(&h->write, 0);
    Store(&h->release, 0);
    Store(&h->sleeping, 0);
    h->version = kVersion;
    h->dataSize = mDataSize;
    h->headerSize = kHeaderSize;
    Store(&h->magic, kMagic, __ATOMIC_SEQ_CST);
    return false;
}

bool QueueRing::Linked() const {
    struct stat st {};
    return mFd.Valid() && ::fstat(mFd.Get(), &st) == 0 && st.st_nlink > 0;
}

bool QueueRing::Append(const char* data, std::size_t size, bool& full, bool& wake) {
    full = wake = false;
    if (!Valid() || size > kMaxDatagram) {
        return false;
    }
    const std::uint32_t need = RecordSize(static_cast<std::uint32_t>(size));
    FileLock lock(mFd.Get());
    Header* h = Head();
    std::uint32_t w = Load(&h->write, __ATOMIC_RELAXED);
    const std::uint32_t r = Load(&h->release);
    std::uint32_t index = w & (mDataSize - 1);
    const std::uint32_t pad = index + need > mDataSize ? mDataSize - index : 0;
    if (w - r > mDataSize || (w - r) + pad + need > mDataSize) {
        full = true;
        return false;
    }
    if (pad != 0) {
        auto* rec = reinterpret_cast<std::uint32_t*>(Data() + index);
        Store(&rec[0], 0, __ATOMIC_RELAXED);
        Store(&rec[1], kPad, __ATOMIC_RELAXED);
        w += pad;
        index = 0;
    }
    auto* rec = reinterpret_cast<std::uint32_t*>(Data() + index);
    Store(&rec[0], static_cast<std::uint32_t>(size), __ATOMIC_RELAXED);
    Store(&rec[1], kReady, __ATOMIC_RELAXED);
    std::memcpy(Data() + index + kRecordHeader, data, size);
    // Published, then the flag read: with the reader's store of the flag and
    // read of the offset (both sequentially consistent) one of the two sees
    // the other, so a reader never sleeps on a message it did not see.
    Store(&h->write, w + need, __ATOMIC_SEQ_CST);
    wake = Load(&h->sleeping, __ATOMIC_SEQ_CST) != 0;
    return true;
}

bool QueueRing::HasUntaken() const {
    return Valid() && Load(&Head()->write, __ATOMIC_SEQ_CST) != mTake;
}

bool QueueRing::TryTake(Message& message) {
    if (!Valid()) {
        return false;
    }
    bool skipped = false;
    for (;;) {
        const std::uint32_t w = Load(&Head()->write);
        if (w == mTake) {
            break;
        }
        const std::uint32_t index = mTake & (mDataSize - 1);
        const std::uint32_t left = w - mTake;
        const auto* rec = reinterpret_cast<const std::uint32_t*>(Data() + index);
        const std::uint32_t length = Load(&rec[0], __ATOMIC_RELAXED);
        const std::uint32_t state = Load(&rec[1]);
        if (left > mDataSize || left < kRecordHeader) {
            Reset("offsets out of range");
            return false;
        }
        if (state == kPad) {
            if (left < mDataSize - index) {
                Reset("a padding record past the end");
                return false;
            }
            mTake += mDataSize - index;
            skipped = true;
            continue;
        }
        const std::uint32_t size = RecordSize(length);
        if (length > kMaxDatagram || index + size > mDataSize || size > left ||
            (state != kReady && state != kDone)) {
            Reset("a malformed record");
            return false;
        }
        if (state == kDone) {  // processed by an earlier reader, held back by a message before it
            mTake += size;
            skipped = true;
            continue;
        }
        message.data = Data() + index + kRecordHeader;
        message.size = length;
        message.offset = mTake;
        mTake += size;
        if (skipped) {
            AdvanceRelease();
        }
        return true;
    }
    if (skipped) {
        AdvanceRelease();
    }
    return false;
}

void QueueRing::Complete(const Message& message, bool hold) {
    if (hold) {
        mHeld.push_back(message.offset);
        return;
    }
    auto* rec = reinterpret_cast<std::uint32_t*>(Data() + (message.offset & (mDataSize - 1)));
    Store(&rec[1], kDone);
    AdvanceRelease();
}

void QueueRing::ReleaseHeld() {
    if (mHeld.empty()) {
        return;
    }
    for (std::uint32_t offset : mHeld) {
        Store(&reinterpret_cast<std::uint32_t*>(Data() + (offset & (mDataSize - 1)))[1], kDone);
    }
    mHeld.clear();
    AdvanceRelease();
}

void QueueRing::AdvanceRelease() {
    Header* h = Head();
    const std::uint32_t start = Load(&h->release, __ATOMIC_RELAXED);
    std::uint32_t r = start;
    while (r != mTake) {
        const std::uint32_t index = r & (mDataSize - 1);
        const auto* rec = reinterpret_cast<const std::uint32_t*>(Data() + index);
        const std::uint32_t state = Load(&rec[1]);
        if (state == kPad) {
            r += mDataSize - index;
        } else if (state == kDone) {
            r += RecordSize(Load(&rec[0], __ATOMIC_RELAXED));
        } else {
            break;  // held, or being processed
        }
    }
    if (r != start) {
        // The bytes before `r` were read: a writer that sees the new offset may overwrite them.
        Store(&h->release, r);
    }
}

void QueueRing::Reset(const char* why) {
    FileLock lock(mFd.Get());
    const std::uint32_t w = Load(&Head()->write);
    LinkLog("ExchangeLink: ERROR. %s: %s; %u bytes of messages dropped", mPath.c_str(), why,
            w - Load(&Head()->release));
    mTake = w;
    mHeld.clear();
    Store(&Head()->release, w);
}

bool QueueRing::PrepareSleep() {
    if (!Valid()) {
        return true;
    }
    Store(&Head()->sleeping, 1, __ATOMIC_SEQ_CST);
    if (HasUntaken()) {
        EndSleep();
        return false;
    }
    return true;
}

void QueueRing::EndSleep() {
    if (Valid()) {
        Store(&Head()->sleeping, 0, __ATOMIC_SEQ_CST);
    }
}

std::string QueueRingName(const std::string& queuePath, int number) {
    std::string name = QueueSocketName(queuePath, number);
    return name.substr(0, name.size() - 5) + ".ring";
}

namespace {

// A process's handle on one queue for writing: the mapped ring and a socket
// for the wake-ups. Made at the first message and kept for the process's life
// (opened again when the file was removed).
struct QueueWriter {
    std::mutex mutex;  // serialises this process's writers; the file lock serialises processes
    std::string ringPath;
    std::string socketPath;
    std::unique_ptr<QueueRing> ring;
    UniqueFd wakeFd;
};

QueueWriter& WriterFor(const std::string& queuePath, int number) {
    static std::mutex mapMutex;
    static std::map<std::pair<std::string, int>, std::unique_ptr<QueueWriter>> writers;
    std::lock_guard<std::mutex> lock(mapMutex);
    // Keyed by the root too: tests change it between cases.
    const std::string ringPath = LinkSocketPath(QueueRingName(queuePath, number));
    std::unique_ptr<QueueWriter>& writer = writers[{ringPath, number}];
    if (!writer) {
        writer = std::make_unique<QueueWriter>();
        writer->ringPath = ringPath;
        writer->socketPath = LinkSocketPath(QueueSocketName(queuePath, number));
    }
    return *writer;
}

void Wake(QueueWriter& writer) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (writer.socketPath.size() >= sizeof(addr.sun_path)) {
        return;  // no reader can have bound it either
    }
    std::memcpy(addr.sun_path, writer.socketPath.c_str(), writer.socketPath.size() + 1);
    if (!writer.wakeFd.Valid()) {
        writer.wakeFd.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    }
    // EAGAIN: a wake-up is already waiting; no socket or nobody bound: no
    // reader runs, and the message waits in the ring for the next one.
    const char byte = 'W';
    (void)::sendto(writer.wakeFd.Get(), &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
}

}  // namespace

bool AppendToQueue(const std::string& queuePath, int number, const std::string& payload, bool quiet,
                   int retryMs) {
    if (payload.size() > kMaxDatagram) {
        if (!quiet) {
            LinkLog("ExchangeLink: ERROR. Message of %zu bytes to queue %d refused (limit %zu)",
                    payload.size(), number, kMaxDatagram);
        }
        return false;
    }
    QueueWriter& writer = WriterFor(queuePath, number);
    std::lock_guard<std::mutex> lock(writer.mutex);
    if (!writer.ring || !writer.ring->Linked()) {
        writer.ring.reset();
        if (!EnsureLinkDirectory()) {
            return false;
        }
        auto ring = std::make_unique<QueueRing>(writer.ringPath);
        if (!ring->Valid()) {
            return false;  // logged
        }
        writer.ring = std::move(ring);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
    for (;;) {
        bool full = false, wake = false;
        if (writer.ring->Append(payload.data(), payload.size(), full, wake)) {
            if (wake) {
                Wake(writer);
            }
            return true;
        }
        if (!full || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!quiet) {
        LinkLog("ExchangeLink: ERROR. Cannot queue a message to %s: the queue is full",
                writer.ringPath.c_str());
    }
    return false;
}

}  // namespace exlink

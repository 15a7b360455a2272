// Re-entrant mutex of the platform utility library.
//
// Any thread may lock it; the owning thread may lock it again and must unlock it
// as often. The owner and depth are tracked so that code can assert that it runs
// with the lock held (AssertHeld; checked where VALTD_CHECK_LOCKS is defined: the
// sanitizer and debug builds). ThreadMutexLock is the RAII guard.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

class ThreadMutex {
  public:
    ThreadMutex() = default;
    ThreadMutex(const ThreadMutex&) = delete;
    ThreadMutex& operator=(const ThreadMutex&) = delete;

    void Lock() {
        mMutex.lock();
        mOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        ++mnDepth;
    }
    void Unlock() {
        if (--mnDepth == 0) {
            mOwner.store(std::thread::id(), std::memory_order_relaxed);
        }
        mMutex.unlock();
    }
    bool TryLock() {
        if (!mMutex.try_lock()) {
            return false;
        }
        mOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        ++mnDepth;
        return true;
    }
    bool IsHeldByCurrentThread() const {
        return mOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }
    // For a function that requires the lock: aborts, naming `where`, when the
    // calling thread does not hold it (checking builds only).
    void AssertHeld(const char* where) const {
#ifdef VALTD_CHECK_LOCKS
        if (!IsHeldByCurrentThread()) {
            std::fprintf(stderr, "%s: required lock not held by this thread\n", where);
            std::abort();
        }
#else
        (void)where;
#endif
    }

    // BasicLockable, so that std::lock_guard and std::unique_lock work too.
    void lock() {
        Lock();
    }
    void unlock() {
        Unlock();
    }
    // Lockable too, for std::unique_lock with std::try_to_lock.
    bool try_lock() {
        return TryLock();
    }

  private:
    std::recursive_mutex mMutex;
    std::atomic<std::thread::id> mOwner{};
    unsigned mnDepth = 0;  // guarded by mMutex
};

class ThreadMutexLock {
  public:
    explicit ThreadMutexLock(ThreadMutex& m) : mMutex(m) { mMutex.Lock(); }
    ~ThreadMutexLock() { mMutex.Unlock(); }
    ThreadMutexLock(const ThreadMutexLock&) = delete;
    ThreadMutexLock& operator=(const ThreadMutexLock&) = delete;

  private:
    ThreadMutex& mMutex;
};

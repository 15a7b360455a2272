#include "base/Thread.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>

namespace {

struct StartInfo {
    Thread::ThreadProc proc;
    void* arg;
};

void* ThreadEntry(void* raw) {
    std::unique_ptr<StartInfo> info(static_cast<StartInfo*>(raw));
    unsigned long code = info->proc(info->arg);
    return reinterpret_cast<void*>(code);
}

}  // namespace

bool Thread::BeginThread(ThreadProc proc, void* arg, Handle* joinHandle) {
    if (proc == nullptr) {
        return false;
    }
    auto info = std::make_unique<StartInfo>(StartInfo{proc, arg});
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ThreadEntry, info.get()) != 0) {
        return false;
    }
    info.release();  // the thread owns it now
    if (joinHandle != nullptr) {
        *joinHandle = thread;
    } else {
        pthread_detach(thread);
    }
    return true;
}

bool Thread::Join(Handle handle, unsigned long* exitCode) {
    void* result = nullptr;
    if (pthread_join(handle, &result) != 0) {
        return false;
    }
    if (exitCode != nullptr) {
        *exitCode = reinterpret_cast<unsigned long>(result);
    }
    return true;
}

void Thread::Sleep(unsigned long milliseconds) {
    struct timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int Thread::GetCommandLine(char* buf, int size) {
    if (buf == nullptr || size <= 0) {
        return -1;
    }
    buf[0] = '\0';
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int length = 0;
    while (length < size - 1) {
        ssize_t got = read(fd, buf + length, static_cast<size_t>(size - 1 - length));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        length += static_cast<int>(got);
    }
    close(fd);
    // Arguments are separated by zeros; the last one ends with one.
    for (int i = 0; i < length; ++i) {
        if (buf[i] == '\0') {
            buf[i] = ' ';
        }
    }
    while (length > 0 && buf[length - 1] == ' ') {
        --length;
    }
    buf[length] = '\0';
    return length;
}

#include "base/LogStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Metrics.h"
#include "base/RootPath.h"
#include "base/WriteAll.h"

namespace {

std::string LogFilePath(const char* name) {
    std::string file = name != nullptr ? name : "";
    if (!file.empty() && file[0] == '/') {
        return file;
    }
    return RootPath("/tmp/logs/") + file;
}

}  // namespace

LogStream::LogStream(const char* name, bool append, bool createDir, long maxFileSize,
                     int keepCopies, unsigned lineSize, bool echoToStderr)
    : mPath(LogFilePath(name)),
      mnMaxFileSize(maxFileSize > 0 ? std::min<unsigned long>(maxFileSize, kMaxFileSize)
                                    : kMaxFileSize),
      mnKeepCopies(std::max(keepCopies, 0)),
      mbEchoToStderr(echoToStderr),
      mDropPath(mPath + ".drop"),
      mFormatBuf(std::max(lineSize, 2u)) {
    if (createDir) {
        std::string::size_type slash = mPath.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            MakeDirectories(mPath.substr(0, slash), kDirectoryMode);
        }
    }
    unlink(mDropPath.c_str());  // left by a process that ended before removing it
    ThreadMutexLock guard(mMutex);
    OpenLocked(!append);
}

LogStream::~LogStream() {
    if (mFd >= 0) {
        close(mFd);
    }
    if (mDropFd >= 0) {
        close(mDropFd);
        unlink(mDropPath.c_str());
    }
}

std::atomic<unsigned> LogStream::msOutsideAppends{0};

void LogStream::NoteOutsideAppend() {
    msOutsideAppends.fetch_add(1, std::memory_order_release);
}

void LogStream::OpenLocked(bool truncate) {
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    mFd = open(mPath.c_str(), flags, kFileMode);
    mbSizeKnown = false;
}

void LogStream::RotateLocked() {
    metrics::LogMetrics().rotations.Add();
    close(mFd);
    mFd = -1;
    if (mnKeepCopies > 0) {
        // The oldest copy is set aside first, so that no rename below
        // replaces a file (which would remove it on this thread).
        const std::string oldest = mPath + "." + std::to_string(mnKeepCopies);
        ThreadMutexLock drop(mDropMutex);
        if (mDropFd >= 0) {
            // The last one is not gone yet (rotations in quick succession).
            close(mDropFd);
            mDropFd = -1;
            unlink(mDropPath.c_str());
        }
        if (rename(oldest.c_str(), mDropPath.c_str()) == 0) {
            mDropFd = mbDeferDrops ? open(mDropPath.c_str(), O_WRONLY | O_CLOEXEC) : -1;
            if (mDropFd < 0) {
                unlink(mDropPath.c_str());
            }
            mbDropPending.store(mDropFd >= 0, std::memory_order_release);
        }
        for (int copy = mnKeepCopies; copy > 1; --copy) {
            std::string older = mPath + "." + std::to_string(copy);
            std::string newer = mPath + "." + std::to_string(copy - 1);
            rename(newer.c_str(), older.c_str());
        }
        rename(mPath.c_str(), (mPath + ".1").c_str());
    }
    OpenLocked(mnKeepCopies == 0);
}

void LogStream::DropSetAside(unsigned long pace) {
    if (!mbDropPending.load(std::memory_order_acquire)) {
        return;
    }
    ThreadMutexLock drop(mDropMutex);
    if (mDropFd < 0) {
        return;
    }
    struct stat st {};
    if (fstat(mDropFd, &st) == 0 && static_cast<unsigned long>(st.st_size) > kDropStep) {
        // Short system calls: the kernel finishes one before a woken thread
        // of this process gets the processor.
        unsigned long size = static_cast<unsigned long>(st.st_size);
        for (unsigned long dropped = 0; size > kDropStep && dropped < std::max(pace, kDropStep);
             dropped += kDropStep) {
            size = (size - 1) / kDropStep * kDropStep;
            if (ftruncate(mDropFd, static_cast<off_t>(size)) != 0) {
                size = 0;  // removed below
                break;
            }
        }
        if (size > kDropStep) {
            return;  // the rest at the next call
        }
    }
    close(mDropFd);
    mDropFd = -1;
    unlink(mDropPath.c_str());
    mbDropPending.store(false, std::memory_order_release);
}

bool LogStream::ReadyLocked() {
    if (mFd < 0) {
        OpenLocked(false);  // the directory may have appeared since
        if (mFd < 0) {
            return false;
        }
    }
    // The size is counted, which spares a system call per line; it is read
    // from the file again after an open and whenever someone else appended
    // (the crash guard says so), so that their bytes count too.
    const unsigned outside = msOutsideAppends.load(std::memory_order_acquire);
    if (!mbSizeKnown || outside != mnSeenOutsideAppends) {
        struct stat st {};
        mnSize = fstat(mFd, &st) == 0 ? static_cast<unsigned long>(st.st_size) : 0;
        mbSizeKnown = true;
        mnSeenOutsideAppends = outside;
    }
    return true;
}

void LogStream::WriteLocked(const char* data, size_t length) {
    if (length == 0 || !ReadyLocked()) {
        return;
    }
    if (mnSize > 0 && mnSize + length > mnMaxFileSize) {
        RotateLocked();
        if (mFd < 0) {
            return;
        }
        struct stat st {};
        mnSize = fstat(mFd, &st) == 0 ? static_cast<unsigned long>(st.st_size) : 0;
        mbSizeKnown = true;
    }
    if (WriteAll(mFd, data, length)) {
        metrics::LogMetrics().bytes.Add(length);
        mnSize += length;
    } else {
        mbSizeKnown = false;  // a short write: count again from the file
    }
    if (mbEchoToStderr) {
        WriteAll(STDERR_FILENO, data, length);
    }
}

void LogStream::WriteLines(const char* first, size_t firstLength, const char* second,
                           size_t secondLength) {
    ThreadMutexLock guard(mMutex);
    const size_t length = firstLength + secondLength;
    if (length == 0 || !ReadyLocked()) {
        return;
    }
    if (mnSize > 0 && mnSize + length > mnMaxFileSize) {
        // Rare: the limit falls inside. The file rotates before the first
        // line that does not fit, as with one write per line; the lines on
        // either side of it go in one write each.
        std::string all(first, firstLength);
        all.append(second, secondLength);
        for (size_t at = 0; at < all.size();) {
            const size_t room = mnSize < mnMaxFileSize ? mnMaxFileSize - mnSize : 0;
            size_t end = at;
            while (end < all.size()) {
                const char* nl =
                    static_cast<const char*>(std::memchr(all.data() + end, '\n', all.size() - end));
                const size_t next = nl != nullptr ? nl - all.data() + 1 : all.size();
                if (end > at && next - at > room) {
                    break;
                }
                end = next;
            }
            WriteLocked(all.data() + at,
                        end - at);  // rotates first when its first line does not fit
            at = end;
        }
        return;
    }
    struct iovec parts[2] = {{const_cast<char*>(first), firstLength},
                             {const_cast<char*>(second), secondLength}};
    if (WriteAllV(mFd, parts, secondLength > 0 ? 2 : 1)) {
        metrics::LogMetrics().bytes.Add(length);
        mnSize += length;
    } else {
        mbSizeKnown = false;
    }
    if (mbEchoToStderr) {
        WriteAll(STDERR_FILENO, first, firstLength);
        WriteAll(STDERR_FILENO, second, secondLength);
    }
}

void LogStream::TRACE(const char* line, unsigned char /*level*/, unsigned char /*flags*/) {
    if (line == nullptr) {
        return;
    }
    ThreadMutexLock guard(mMutex);
    WriteLocked(line, std::strlen(line));
}

void LogStream::TRACE(unsigned char /*level*/, const char* format, va_list& args,
                      unsigned char /*flags*/) {
    if (format == nullptr) {
        return;
    }
    ThreadMutexLock guard(mMutex);
    int length = vsnprintf(mFormatBuf.data(), mFormatBuf.size(), format, args);
    if (length <= 0) {
        return;
    }
    WriteLocked(mFormatBuf.data(),
                std::min<size_t>(static_cast<size_t>(length), mFormatBuf.size() - 1));
}

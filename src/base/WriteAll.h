// Writes a whole buffer to a descriptor, retrying interrupted and partial
// writes; gives up on an error and returns false. Async-signal-safe (write(2) only), so
// the crash guard's handler may use it.
#pragma once

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

inline bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t done = ::write(fd, data, length);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

// The same for the parts of a gathered write (writev); `parts` is consumed.
inline bool WriteAllV(int fd, struct iovec* parts, int count) {
    while (count > 0) {
        ssize_t done = ::writev(fd, parts, count);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 || (done == 0 && parts[0].iov_len > 0)) {
            return false;
        }
        for (; count > 0 && static_cast<size_t>(done) >= parts[0].iov_len; ++parts, --count) {
            done -= static_cast<ssize_t>(parts[0].iov_len);
        }
        if (count > 0) {
            parts[0].iov_base = static_cast<char*>(parts[0].iov_base) + done;
            parts[0].iov_len -= static_cast<size_t>(done);
        }
    }
    return true;
}

// Writes a whole buffer to a descriptor, retrying interrupted and partial
// writes; gives up on an error and returns false. Async-signal-safe (write(2) only), so
// the crash guard's handler may use it.
#pragma once

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

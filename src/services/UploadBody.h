// Pieces shared by the two upload handlers (voice prompt files and configuration
// files): checks of the client's file name and declared size, the owning FILE
// handle, and the receive loop of the raw body.
//
// Free functions without state; called on the connection thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

class IUploadChannel;

namespace SystemServices {

// Bytes of one body chunk; the last chunk of a body may be shorter.
constexpr int kUploadChunkSize = 1024;

// The longest file name a file system takes (NAME_MAX).
constexpr size_t kMaxFileNameBytes = 255;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// A name that stays inside the directory it is joined to: not empty, not ".",
// without "/", ".." or NUL bytes, and at most kMaxFileNameBytes long.
bool IsSafeFileName(const std::string& name);

// The largest body a client may upload ("upload-max-bytes" of the settings; the
// built-in default when the settings cannot be read).
int UploadMaxBytes();

// Creates `path` for writing with `flags` added to O_WRONLY | O_CREAT |
// O_NOFOLLOW | O_CLOEXEC (O_EXCL: never overwrite; O_TRUNC: replace). Null when
// it cannot be created.
FileHandle CreateUploadFile(const std::string& path, int flags, int mode);

enum class BodyResult {
    kReceived,       // every byte arrived and was written
    kChannelFailed,  // the connection failed or closed before the end
    kWriteFailed,    // a chunk could not be written (disk full, file too large)
};

// Seconds a whole body of `size` bytes may take: at least kUploadFloorSeconds,
// and kUploadFloorSeconds plus one second per kUploadMinRate bytes, so that a
// client trickling a body cannot hold its connection for ever.
constexpr int kUploadFloorSeconds = 30;
constexpr int kUploadMinRate = 4096;  // bytes per second, on average
int UploadDeadlineSeconds(int size);

// Receives `size` bytes from `channel` in chunks of kUploadChunkSize, by the
// body's deadline (UploadDeadlineSeconds), writes
// each chunk to `file` and then answers it with "OK"; `file` is closed
// afterwards. A chunk that cannot be written gets no "OK": the reception stops
// there, and the rest of the client's body, if it sent more, arrives as
// ordinary input (it is no method call and is dropped).
BodyResult ReceiveBody(FileHandle file, int size, IUploadChannel& channel);

}  // namespace SystemServices

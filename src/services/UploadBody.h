// Pieces shared by the two upload handlers (voice prompt files and configuration
// files): checks of the client's file name and declared size, the owning FILE
// handle, and the upload in progress (UploadJob), which takes the raw body as
// its bytes arrive.
//
// The free functions keep no state; the connection thread calls them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

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

// An owned file descriptor (-1: none), closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : mFd(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : mFd(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            Reset();
            mFd = other.Release();
        }
        return *this;
    }
    int Get() const { return mFd; }
    int Release() {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }
    void Reset() {
        if (mFd >= 0) {
            close(mFd);
        }
        mFd = -1;
    }

  private:
    int mFd;
};

// Opens the directory `name` inside the directory `dir` (AT_FDCWD: `name` is a
// path, whose symbolic links are followed) for lookups in it. With `noFollow`
// a symbolic link in place of the directory is refused (O_NOFOLLOW): used for
// every component a client's request reaches below a directory the
// configuration names. -1 when it cannot be opened.
Descriptor OpenDirectoryAt(int dir, const std::string& name, bool noFollow);

// A name that stays inside the directory it is joined to: not empty, not ".",
// without "/", ".." or NUL bytes, and at most kMaxFileNameBytes long.
bool IsSafeFileName(const std::string& name);

// The largest body a client may upload ("upload-max-bytes" of the settings; the
// built-in default when the settings cannot be read).
int UploadMaxBytes();

// Creates the new file `name` (a safe file name) in the directory `dir` for
// writing, with O_EXCL | O_NOFOLLOW: an upload never replaces or truncates a
// file it did not create, even one made meanwhile, and never writes through a
// symbolic link. Null when it cannot be created (errno tells why).
FileHandle CreateUploadFile(int dir, const std::string& name, int mode);

enum class BodyResult {
    kReceived,       // every byte arrived and was written
    kChannelFailed,  // the connection failed, closed or was too slow before the end
    kWriteFailed,    // a chunk could not be written (disk full, file too large)
};

// Seconds a whole body of `size` bytes may take: at least kUploadFloorSeconds,
// and kUploadFloorSeconds plus one second per kUploadMinRate bytes, so that a
// client trickling a body cannot hold its connection for ever.
constexpr int kUploadFloorSeconds = 30;
constexpr int kUploadMinRate = 4096;  // bytes per second, on average
int UploadDeadlineSeconds(int size);

// An upload whose body is being received on a client connection: the open
// file, the bytes still expected, the chunk being assembled and the body's
// deadline; then, once the body has ended, the answer for the client (and for a
// configuration file, the run of the configuration tool that comes first).
//
// The connection keeps one while the upload lasts and hands it whatever body
// bytes arrive on each pass, so that it never waits for the client and every
// other connection is served between the pieces of a slow body.
//
// Threads: owned by the connection thread, which makes every call. A
// configuration upload's tool runs on a worker thread of its own (see
// ConfigUpload.cpp); Done reads what that thread reports through an atomic.
class UploadJob {
  public:
    // Why a body is overdue.
    enum class Stall { kNone, kDeadline, kPieceTimeOut };

    // Receives `size` bytes into `file` (the entry `name` of the directory
    // `dir`, known as `path` in the log; removed from that directory, never by
    // its path, if the body is not stored whole), by UploadDeadlineSeconds(size)
    // after `now` (ExtCallControl::GetMonotonicTime seconds).
    UploadJob(FileHandle file, Descriptor dir, std::string name, std::string path, int size,
              unsigned long now);
    // The same for a file known by its path only (AT_FDCWD).
    UploadJob(FileHandle file, std::string path, int size, unsigned long now)
        : UploadJob(std::move(file), Descriptor(), path, path, size, now) {}
    // A body still being received leaves no partial file.
    virtual ~UploadJob();
    UploadJob(const UploadJob&) = delete;
    UploadJob& operator=(const UploadJob&) = delete;

    // Takes what the body still needs from the front of `input` (the bytes
    // after the body stay there), received at `now`. Each complete chunk is
    // written to the file and then answered with "OK" through `channel`. A
    // chunk that cannot be written gets no "OK": the body ends there, and the
    // rest of the client's body, if it sends more, arrives as ordinary input
    // (it is no method call and is dropped). The body also ends when the last
    // chunk is stored or an "OK" cannot be sent. Nothing once it has ended.
    void Feed(std::string& input, unsigned long now, IUploadChannel& channel);

    // The body will not be complete (the connection closed, failed, or the
    // body is overdue): the partial file is removed and the answer says so.
    void Interrupt();

    // Whether body bytes are still expected.
    bool Receiving() const { return mnRemaining >= 0; }
    // Whether the body is overdue at `now`: past its deadline, or no byte for
    // `pieceTimeout` seconds (the request time-out of the connection).
    Stall Overdue(unsigned long now, long pieceTimeout) const;
    // When it becomes overdue (GetMonotonicTime seconds).
    unsigned long DueAt(long pieceTimeout) const;
    // Bytes of the chunk being assembled, and that chunk's length.
    int ChunkReceived() const { return static_cast<int>(mChunk.size()); }
    int ChunkLength() const;

    // Whether the answer is final: the body ended and what follows it (the
    // configuration tool) finished.
    virtual bool Done() const { return !Receiving(); }
    bool Result() const { return mbResult; }
    const std::string& Message() const { return mMessage; }

  protected:
    // The whole body is stored and the file closed.
    virtual void Received() = 0;
    // The body ended without being stored; the file is removed already.
    virtual void Failed(BodyResult why) = 0;
    // Sets the answer's result and text.
    void Answer(bool result, std::string message);
    const std::string& Path() const { return mPath; }

  private:
    // Ends the body: Received, or Failed after the file is removed.
    void End(BodyResult result);
    // Removes the partial file: its entry in mDir, a directory never.
    void RemoveFile();

    FileHandle mFile;
    const Descriptor mDir;  // -1: mName is a path
    const std::string mName;
    const std::string mPath;
    int mnRemaining;  // body bytes not yet written; -1 once the body ended
    std::string mChunk;
    const unsigned long mnDeadline;
    unsigned long mnLastBytes;  // when bytes last arrived (or the body began)
    bool mbResult = false;
    std::string mMessage;
};

}  // namespace SystemServices

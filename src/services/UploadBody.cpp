#include "services/UploadBody.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"
#include "services/SystemServices.h"

namespace SystemServices {

bool IsSafeFileName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxFileNameBytes && name != "." &&
           name.find('/') == std::string::npos && name.find("..") == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int UploadMaxBytes() {
    std::map<std::string, std::string> values;
    if (!ReadSettings(SystemDbPath(), values)) {
        values["upload-max-bytes"] = FindSetting("upload-max-bytes")->defaultValue;
    }
    return std::atoi(values["upload-max-bytes"].c_str());
}

Descriptor OpenDirectoryAt(int dir, const std::string& name, bool noFollow) {
    return Descriptor(openat(dir, name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0)));
}

FileHandle CreateUploadFile(int dir, const std::string& name, int mode) {
    const int fd =
        openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        return nullptr;
    }
    FileHandle file(fdopen(fd, "wb"));
    if (!file) {
        close(fd);
    }
    return file;
}

int UploadDeadlineSeconds(int size) {
    return kUploadFloorSeconds + (size > 0 ? size / kUploadMinRate : 0);
}

UploadJob::UploadJob(FileHandle file, Descriptor dir, std::string name, std::string path, int size,
                     unsigned long now)
    : mFile(std::move(file)),
      mDir(std::move(dir)),
      mName(std::move(name)),
      mPath(std::move(path)),
      mnRemaining(size > 0 ? size : 0),
      mnDeadline(now + static_cast<unsigned long>(UploadDeadlineSeconds(size))),
      mnLastBytes(now) {}

UploadJob::~UploadJob() {
    if (Receiving()) {
        mFile.reset();
        RemoveFile();
    }
}

void UploadJob::RemoveFile() {
    unlinkat(mDir.Get() >= 0 ? mDir.Get() : AT_FDCWD, mName.c_str(), 0);
}

int UploadJob::ChunkLength() const {
    return mnRemaining < kUploadChunkSize ? mnRemaining : kUploadChunkSize;
}

void UploadJob::Feed(std::string& input, unsigned long now, IUploadChannel& channel) {
    size_t used = 0;
    while (mnRemaining > 0 && used < input.size()) {
        const size_t length = static_cast<size_t>(ChunkLength());
        const size_t take = std::min(length - mChunk.size(), input.size() - used);
        mChunk.append(input, used, take);
        used += take;
        mnLastBytes = now;
        if (mChunk.size() < length) {
            break;
        }
        // A chunk is acknowledged only once it is in the file.
        if (fwrite(mChunk.data(), 1, length, mFile.get()) != length || fflush(mFile.get()) != 0) {
            input.erase(0, used);
            End(BodyResult::kWriteFailed);
            return;
        }
        mnRemaining -= static_cast<int>(length);
        mChunk.clear();
        if (!channel.SendOk()) {
            input.erase(0, used);
            End(BodyResult::kChannelFailed);
            return;
        }
    }
    input.erase(0, used);
    if (mnRemaining == 0) {
        End(fclose(mFile.release()) == 0 ? BodyResult::kReceived : BodyResult::kWriteFailed);
    }
}

void UploadJob::Interrupt() {
    if (Receiving()) {
        End(BodyResult::kChannelFailed);
    }
}

UploadJob::Stall UploadJob::Overdue(unsigned long now, long pieceTimeout) const {
    if (!Receiving()) {
        return Stall::kNone;
    }
    if (now >= mnDeadline) {
        return Stall::kDeadline;
    }
    return now >= mnLastBytes + static_cast<unsigned long>(pieceTimeout) ? Stall::kPieceTimeOut
                                                                         : Stall::kNone;
}

unsigned long UploadJob::DueAt(long pieceTimeout) const {
    return std::min(mnDeadline, mnLastBytes + static_cast<unsigned long>(pieceTimeout));
}

void UploadJob::Answer(bool result, std::string message) {
    mbResult = result;
    mMessage = std::move(message);
}

void UploadJob::End(BodyResult result) {
    mnRemaining = -1;
    mChunk.clear();
    mFile.reset();
    if (result == BodyResult::kReceived) {
        Received();
        return;
    }
    RemoveFile();
    Answer(false, result == BodyResult::kChannelFailed ? "File transfer interrupted."
                                                       : "Cannot write the file.");
    Failed(result);
}

}  // namespace SystemServices

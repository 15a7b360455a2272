#include "services/UploadBody.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"
#include "core/ExtCallControl.h"
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

FileHandle CreateUploadFile(const std::string& path, int flags, int mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, mode);
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

BodyResult ReceiveBody(FileHandle file, int size, IUploadChannel& channel) {
    const unsigned long deadline = ExtCallControl::GetMonotonicTime() +
                                   static_cast<unsigned long>(UploadDeadlineSeconds(size));
    char chunk[kUploadChunkSize];
    for (int remaining = size; remaining > 0; remaining -= kUploadChunkSize) {
        const int length = remaining < kUploadChunkSize ? remaining : kUploadChunkSize;
        if (!channel.ReceiveChunk(chunk, length, deadline)) {
            return BodyResult::kChannelFailed;
        }
        // A chunk is acknowledged only once it is in the file.
        if (fwrite(chunk, 1, static_cast<size_t>(length), file.get()) !=
                static_cast<size_t>(length) ||
            fflush(file.get()) != 0) {
            return BodyResult::kWriteFailed;
        }
        if (!channel.SendOk()) {
            return BodyResult::kChannelFailed;
        }
    }
    return fclose(file.release()) == 0 ? BodyResult::kReceived : BodyResult::kWriteFailed;
}

}  // namespace SystemServices

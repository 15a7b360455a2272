// Voice prompt files (list, delete, upload) and system information.
//
// Runs on the connection thread; each call opens and closes its own extension
// database connection, so nothing is shared between calls.
#include "services/SystemServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/FileUtility.h"
#include "base/RootPath.h"
#include "base/SmartBuffer.h"
#include "base/StringUtils.h"
#include "base/UniqueId.h"
#include "config/ConfigFile.h"
#include "config/ConfigSqlite.h"
#include "config/ExtVMBox.h"
#include "config/ExtensionManager.h"
#include "core/ExtCallControl.h"
#include "services/UploadBody.h"

namespace SystemServices {

namespace {

using StringUtils::EscapeControl;

// Which lookup of the prompt directory failed; each handler logs its own text.
enum class Missing { kNone, kSystem, kUser, kAA };

struct PromptLocation {
    Missing missing = Missing::kNone;
    std::string dir;      // where the files are ("custom" added for type 2)
    std::string baseDir;  // the extension's prompt directory: what the space check counts
    // `dir` split where the configured path ends: `parent` is opened as
    // configured, `leaf` ("custom" for type 2, else empty) below it without
    // following a symbolic link.
    std::string parent;
    std::string leaf;
    double share = 0.0;  // percent of the total voice storage
};

// A prompt type that names a directory: any type without an extension (the
// system extension), 0, 1 or 2 with one.
bool IsKnownType(int type, const std::string& ext) {
    return ext.empty() || type == 0 || type == 1 || type == 2;
}

// Resolves the prompt directory of `ext` for `type` (IsKnownType must hold).
PromptLocation LocatePrompts(int type, const std::string& ext) {
    PromptLocation location;
    ExtensionManager manager(ExtensionDbPath(), false);
    std::unique_ptr<ExtensionBase> extension;
    if (ext.empty()) {
        extension = manager.GetSystemExtension(false);
        location.missing = Missing::kSystem;
    } else if (type == 0) {
        extension = manager.GetExtension(ExtType_User, ext, false);
        location.missing = Missing::kUser;
    } else {
        extension = manager.GetExtension(ExtType_AA, ext, false);
        location.missing = Missing::kAA;
    }
    if (!extension) {
        return location;
    }
    location.missing = Missing::kNone;
    // A user extension keeps its prompt settings in their own part; reading
    // it again for the others is harmless.
    extension->load(ExtensionBase::kPartPrompts);
    location.baseDir = extension->GetPromptDir();
    location.share = extension->GetPromptShare();
    location.dir = location.baseDir;
    location.parent = location.dir;
    if (!ext.empty() && type == 2) {
        location.dir += "custom";
        // The directory is configured with a trailing "/", else "custom"
        // lengthens its last component (as the path has always read).
        const std::string::size_type slash = location.dir.rfind('/');
        location.parent = location.dir.substr(0, slash + 1);
        location.leaf = location.dir.substr(slash + 1);
    }
    return location;
}

// The directory the prompt files are in, opened: the configured path as it is
// (the administrator's, symbolic links in it allowed), then for type 2 its
// "custom" entry, which must be a directory and not a symbolic link, so that a
// link placed there cannot lead a listing, deletion or upload out of the
// prompt tree. -1 when it cannot be opened; a refused link is logged.
Descriptor OpenPromptDir(const PromptLocation& location, const char* handler) {
    Descriptor parent = OpenDirectoryAt(AT_FDCWD, location.parent, false);
    if (location.leaf.empty() || parent.Get() < 0) {
        return parent;
    }
    Descriptor dir = OpenDirectoryAt(parent.Get(), location.leaf, true);
    if (dir.Get() < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        ExtCallControl::TRACEX("ERROR. %s: %s is not a directory, refused\n", handler,
                               location.dir.c_str());
    }
    return dir;
}

// Whether the open directory `dir` has an entry `name` (of any kind), and
// whether it is a directory.
bool HasEntry(int dir, const std::string& name, bool* isDir) {
    struct stat st {};
    if (dir < 0 || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    *isDir = S_ISDIR(st.st_mode);
    return true;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Appends the names of the regular files directly in the open directory
// `dir`, sorted; directories (such as "custom"), symbolic links and other
// entries are left out.
void ListRegularFiles(int dir, std::list<std::string>& names) {
    Descriptor copy(fcntl(dir, F_DUPFD_CLOEXEC, 0));
    std::unique_ptr<DIR, DirCloser> listing(copy.Get() >= 0 ? fdopendir(copy.Get()) : nullptr);
    if (!listing) {
        return;
    }
    copy.Release();  // the listing owns it now
    std::list<std::string> found;
    while (const dirent* entry = readdir(listing.get())) {
        struct stat st {};
        if (fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            found.push_back(entry->d_name);
        }
    }
    found.sort();
    names.splice(names.end(), found);
}

// Only an absolute prompt directory is used: an empty one would put the
// files at the file system's root or in the daemon's working directory.
bool HasDirectory(const PromptLocation& location) {
    return !location.baseDir.empty() && location.baseDir[0] == '/';
}

// The body of a new prompt file.
class PromptUpload : public UploadJob {
  public:
    PromptUpload(FileHandle file, Descriptor dir, const std::string& name, const std::string& path,
                 int size)
        : UploadJob(std::move(file), std::move(dir), name, path, size,
                    ExtCallControl::GetMonotonicTime()) {}

  private:
    void Received() override {
        ExtCallControl::TRACEX("CCS. FileTransfer: End file receive. Close file.\n");
        Answer(true, "File transfered successfully!");
    }
    void Failed(BodyResult why) override {
        if (why == BodyResult::kChannelFailed) {
            ExtCallControl::TRACEX(
                "ERROR. FileTransfer: connection lost during file receive, removed %s\n",
                EscapeControl(Path()).c_str());
        } else {
            ExtCallControl::TRACEX("ERROR. FileTransfer: cannot write %s, removed\n",
                                   EscapeControl(Path()).c_str());
        }
    }
};

}  // namespace

bool GetWAVList(int type, const std::string& ext, std::list<std::string>* names) {
    if (!IsKnownType(type, ext)) {
        ExtCallControl::TRACEX(
            "ERROR. GetWAVFilesResponseMethod. GetWAVList: unknown prompt type %d for %s\n", type,
            EscapeControl(ext).c_str());
        return false;
    }
    const PromptLocation location = LocatePrompts(type, ext);
    switch (location.missing) {
        case Missing::kSystem:
            ExtCallControl::TRACEX(
                "ERROR. GetWAVFilesResponseMethod. GetWAVList: failed to load system "
                "extension.\n");
            return false;
        case Missing::kUser:
            ExtCallControl::TRACEX(
                "ERROR. GetWAVFilesResponseMethod. GetWAVList: failed to load extension %s\n",
                EscapeControl(ext).c_str());
            return false;
        case Missing::kAA:
            ExtCallControl::TRACEX(
                "ERROR. GetWAVFilesResponseMethod. GetWAVList: failed to load AA extension %s\n",
                EscapeControl(ext).c_str());
            return false;
        case Missing::kNone:
            break;
    }
    ExtCallControl::TRACEX("GetWAVFilesResponseMethod. GetWAVList: WAV-s Path: %s\n",
                           location.dir.c_str());
    if (HasDirectory(location) && names != nullptr) {
        const Descriptor dir = OpenPromptDir(location, "GetWAVList");
        if (dir.Get() >= 0) {
            ListRegularFiles(dir.Get(), *names);
        }
    }
    return true;
}

bool WAVFileDelete(int type, const std::string& ext, const std::string& file) {
    if (!IsKnownType(type, ext) || !IsSafeFileName(file)) {
        ExtCallControl::TRACEX("ERROR. WAVFileDelete: refused type %d, file name %s\n", type,
                               EscapeControl(file).c_str());
        return false;
    }
    const PromptLocation location = LocatePrompts(type, ext);
    switch (location.missing) {
        case Missing::kSystem:
            ExtCallControl::TRACEX("ERROR. CCS. WAVFileDelete: failed to load system extension.\n");
            return false;
        case Missing::kUser:
            ExtCallControl::TRACEX("ERROR. WAVFileDelete: failed to load extension %s\n",
                                   EscapeControl(ext).c_str());
            return false;
        case Missing::kAA:
            ExtCallControl::TRACEX("ERROR. WAVFileDelete: failed to load AA extension %s\n",
                                   EscapeControl(ext).c_str());
            return false;
        case Missing::kNone:
            break;
    }
    if (!HasDirectory(location)) {
        return false;
    }
    const Descriptor dir = OpenPromptDir(location, "WAVFileDelete");
    // Prompt files only: a subdirectory such as "custom" is not removed this way.
    bool isDir = false;
    if (!HasEntry(dir.Get(), file, &isDir) || isDir) {
        return false;
    }
    return unlinkat(dir.Get(), file.c_str(), 0) == 0;
}

bool FileTransfer(int type, const std::string& ext, const std::string& file, int size,
                  bool transfer, std::string& message, std::unique_ptr<UploadJob>& job) {
    if (!IsKnownType(type, ext)) {
        ExtCallControl::TRACEX("ERROR. FileTransfer: unknown prompt type %d for %s\n", type,
                               EscapeControl(ext).c_str());
        message = "Unknown prompt type.";
        return false;
    }
    if (!IsSafeFileName(file)) {
        ExtCallControl::TRACEX("ERROR. FileTransfer: refused file name %s\n",
                               EscapeControl(file).c_str());
        message = "Invalid file name.";
        return false;
    }
    const int maxBytes = UploadMaxBytes();
    if (size < 0 || size > maxBytes) {
        ExtCallControl::TRACEX("ERROR. FileTransfer: file size %d out of range (0 to %d)\n", size,
                               maxBytes);
        message = "File size out of range.";
        return false;
    }
    const PromptLocation location = LocatePrompts(type, ext);
    switch (location.missing) {
        case Missing::kSystem:
            ExtCallControl::TRACEX("ERROR. FileTransfer: failed to load system extension.\n");
            message = "Cannot load universal extension.";
            return false;
        case Missing::kUser:
            ExtCallControl::TRACEX("Error. CCS. FileTransfer: failed to load extension %s.\n",
                                   EscapeControl(ext).c_str());
            message = "Failed to load extension.";
            return false;
        case Missing::kAA:
            if (type == 2) {
                ExtCallControl::TRACEX("ERROR. FileTransfer: failed to load AA extension %s\n",
                                       EscapeControl(ext).c_str());
            } else {
                ExtCallControl::TRACEX(
                    "Error. CCS. FileTransfer: failed to load AA extension %s.\n",
                    EscapeControl(ext).c_str());
            }
            message = "Failed to load AA extension.";
            return false;
        case Missing::kNone:
            break;
    }
    if (!HasDirectory(location)) {
        ExtCallControl::TRACEX("ERROR. FileTransfer: no prompt directory for %s\n",
                               EscapeControl(ext).c_str());
        message = "No prompt directory.";
        return false;
    }

    const std::string path = location.dir + "/" + file;
    Descriptor dir = OpenPromptDir(location, "FileTransfer");
    bool isDir = false;
    if (HasEntry(dir.Get(), file, &isDir)) {
        ExtCallControl::TRACEX("CCS. FileTransfer: This file already exist.\n");
        message = "This file already exist.";
        return false;
    }

    if (!transfer) {
        const long usedKb = FileUtility::GetDirSizeKb(location.baseDir, true);
        const long allowedKb =
            static_cast<long>((ExtVMBox::mnsVMTotalSpace / 100) * location.share);
        const long freeKb = allowedKb - usedKb;
        const int sizeKb = size / 1024;
        ExtCallControl::TRACEX(
            "CCS. FileTransfer: upload dir path: %s,\n\t\t file name: %s, free space: %ld Kb, "
            "file size: %d Kb\n",
            location.dir.c_str(), EscapeControl(file).c_str(), freeKb, sizeKb);
        if (freeKb < sizeKb) {
            ExtCallControl::TRACEX(
                "CCS. FileTransfer: There is not sufficient available space for file upload.\n");
            message = "There is not sufficient available space for file upload.";
            return false;
        }
        ExtCallControl::TRACEX("CCS. FileTransfer: Space available for file upload.\n");
        message = "Space available for file upload.";
        return true;
    }

    // O_EXCL: an upload never replaces a file, even one created meanwhile.
    FileHandle out = CreateUploadFile(dir.Get(), file, 0644);
    if (!out) {
        return false;
    }
    ExtCallControl::TRACEX(
        "CCS. FileTransfer: created wav file path: %s,\n\t\tBegin file receive and write "
        "process...\n",
        EscapeControl(path).c_str());
    job = std::make_unique<PromptUpload>(std::move(out), std::move(dir), file, path, size);
    return true;
}

void ReadSystemInfo(std::string& uniqueId, std::string& version) {
    static const char kBlanks[] = " \t\r\n";
    uniqueId.clear();
    version.clear();
    std::string id;
    if (GetUniqueID(id)) {
        const std::string::size_type first = id.find_first_not_of(kBlanks);
        if (first != std::string::npos) {
            uniqueId = id.substr(first, id.find_last_not_of(kBlanks) - first + 1);
        }
    }
    try {
        const Configuration::ConfigFile file(RootPath("/etc/version.txt"), false, true, false, ":",
                                             "#", nullptr);
        SmartBuffer buffer(1024);
        file.GetEntry("Version", buffer.Get(), buffer.Size());
        version = buffer.Get();
        file.GetEntry("Flavour", buffer.Get(), buffer.Size());
        version += buffer.Get();
        file.GetEntry("Comment", buffer.Get(), buffer.Size());
        version += std::string(" -") + buffer.Get();
    } catch (const ConfigException& e) {
        version.clear();
        ExtCallControl::TRACEX("\nERROR: %s\n", e.what());
    }
}

}  // namespace SystemServices

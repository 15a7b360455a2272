#include "base/FileUtility.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace FileUtility {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The names in `dir` other than "." and "..". False when it cannot be opened.
bool ReadNames(const std::string& dir, std::vector<std::string>& names) {
    DirHandle handle(opendir(dir.c_str()));
    if (!handle) {
        return false;
    }
    while (const dirent* entry = readdir(handle.get())) {
        if (!IsDotEntry(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    return true;
}

// Total bytes of the regular files under `dir`.
unsigned long long DirBytes(const std::string& dir, bool recursive) {
    std::vector<std::string> names;
    if (!ReadNames(dir, names)) {
        return 0;
    }
    unsigned long long total = 0;
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            total += static_cast<unsigned long long>(st.st_size);
        } else if (recursive && S_ISDIR(st.st_mode)) {
            total += DirBytes(path, true);
        }
    }
    return total;
}

}  // namespace

bool GetDirContent(const std::string& dir, std::list<std::string>& names, const char* filter) {
    std::vector<std::string> all;
    if (!ReadNames(dir, all)) {
        return false;
    }
    std::list<std::string> found;
    for (const std::string& name : all) {
        struct stat st {};
        if (lstat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        if (filter == nullptr || name.find(filter) != std::string::npos) {
            found.push_back(name);
        }
    }
    found.sort();
    names.splice(names.end(), found);
    return true;
}

bool IsFileExist(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int RemoveDirOrFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return errno;
    }
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        if (!ReadNames(path, names)) {
            return errno != 0 ? errno : EIO;
        }
        for (const std::string& name : names) {
            const int rc = RemoveDirOrFile(path + "/" + name);
            if (rc != 0) {
                return rc;
            }
        }
        return rmdir(path.c_str()) == 0 ? 0 : errno;
    }
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

long GetDirSizeKb(const std::string& dir, bool recursive) {
    return static_cast<long>((DirBytes(dir, recursive) + 1023) / 1024);
}

}  // namespace FileUtility

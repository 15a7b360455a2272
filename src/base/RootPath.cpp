#include "base/RootPath.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

std::string RootPrefix() {
    const char* root = std::getenv("VALTD_ROOT");
    std::string prefix = root != nullptr ? root : "";
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    return prefix;
}

std::string RootPath(const std::string& absolutePath) {
    if (absolutePath.empty() || absolutePath[0] != '/') {
        return RootPrefix() + "/" + absolutePath;
    }
    return RootPrefix() + absolutePath;
}

bool MakeDirectories(const std::string& dir, mode_t mode) {
    if (dir.empty()) {
        return false;
    }
    for (std::string::size_type pos = 1;; ++pos) {
        pos = dir.find('/', pos);
        std::string part = dir.substr(0, pos);
        if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

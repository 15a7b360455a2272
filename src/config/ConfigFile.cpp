#include "config/ConfigFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace Configuration {

namespace {

constexpr const char* kBlanks = " \t";

std::string Trim(const std::string& text) {
    const std::string::size_type first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

ConfigFile::ConfigFile(const std::string& path, bool createIfMissing, bool readOnly,
                       bool trimValues, const char* separator, const char* commentMark,
                       const ConfigFile* defaults)
    : mpDefaults(defaults) {
    if (separator == nullptr || *separator == '\0') {
        throw ConfigException("ConfigFile: empty key separator for " + path);
    }
    const std::string sep(separator);
    const std::string comment(commentMark != nullptr ? commentMark : "");

    std::ifstream in(path);
    if (!in && createIfMissing && !readOnly) {
        std::ofstream create(path, std::ios::app);
        in.open(path);
    }
    if (!in) {
        throw ConfigException("ConfigFile: cannot open " + path + ": " + std::strerror(errno));
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string::size_type start = line.find_first_not_of(kBlanks);
        if (start == std::string::npos ||
            (!comment.empty() && line.compare(start, comment.size(), comment) == 0)) {
            continue;
        }
        const std::string::size_type at = line.find(sep);
        if (at == std::string::npos) {
            continue;
        }
        std::string value = line.substr(at + sep.size());
        mEntries.emplace(Trim(line.substr(0, at)), trimValues ? Trim(value) : value);
    }
    if (in.bad()) {
        throw ConfigException("ConfigFile: read error in " + path);
    }
}

const std::string* ConfigFile::Find(const std::string& key) const {
    const auto it = mEntries.find(key);
    if (it != mEntries.end()) {
        return &it->second;
    }
    return mpDefaults != nullptr ? mpDefaults->Find(key) : nullptr;
}

bool ConfigFile::GetEntry(const char* key, char* buffer, size_t size) const {
    const std::string* value = key != nullptr ? Find(key) : nullptr;
    if (buffer != nullptr && size > 0) {
        const size_t n = value != nullptr ? std::min(value->size(), size - 1) : 0;
        if (n > 0) {
            std::memcpy(buffer, value->data(), n);
        }
        buffer[n] = '\0';
    }
    return value != nullptr;
}

std::string ConfigFile::GetEntry(const std::string& key) const {
    const std::string* value = Find(key);
    return value != nullptr ? *value : std::string();
}

}  // namespace Configuration

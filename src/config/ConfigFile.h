// Plain-text "key<separator>value" files of the configuration library, such as
// "/etc/version.txt" ("Version: 2.1"). Lines whose first non-blank text is the
// comment mark, and lines without the separator, are skipped.
//
// Threads: a ConfigFile is read completely by its constructor and is immutable
// afterwards; any number of threads may call GetEntry on it at once.
#pragma once

#include <map>
#include <stdexcept>
#include <string>

namespace Configuration {

class ConfigException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ConfigFile {
  public:
    // Reads `path` (taken as given, not under the root prefix). A missing file
    // is created empty when `createIfMissing` and not `readOnly`; otherwise a
    // file that cannot be read throws ConfigException, as does an empty
    // separator. Keys are trimmed of blanks and tabs; values are kept exactly as
    // written after the separator (so "Version: 2.1" gives " 2.1") unless
    // `trimValues`. The first line of a key wins. Keys this file lacks are
    // looked up in `defaults` when it is not null; it must outlive this object.
    ConfigFile(const std::string& path, bool createIfMissing, bool readOnly, bool trimValues,
               const char* separator, const char* commentMark, const ConfigFile* defaults);

    // Copies the value of `key` into `buffer` (cut to size - 1 bytes, always
    // terminated when size > 0). A missing key gives "" and false.
    bool GetEntry(const char* key, char* buffer, size_t size) const;

    // The value of `key`; "" when missing.
    std::string GetEntry(const std::string& key) const;

  private:
    const std::string* Find(const std::string& key) const;

    std::map<std::string, std::string> mEntries;
    const ConfigFile* mpDefaults;
};

}  // namespace Configuration

using Configuration::ConfigException;

// A throw-away directory for one test, removed with its contents at the end;
// while it lives VALTD_ROOT names it (unless asked not to), so the daemon's
// paths (logs, the exchange link's sockets, prompts) fall inside it. Also the
// whole-file reads and writes the tests use on it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempRoot {
  public:
    explicit TempRoot(bool asValtdRoot = true) : mAsValtdRoot(asValtdRoot) {
        char pattern[] = "/tmp/valt-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            abort();
        }
        mPath = pattern;
        if (mAsValtdRoot) {
            setenv("VALTD_ROOT", mPath.c_str(), 1);
        }
    }
    ~TempRoot() {
        if (mAsValtdRoot) {
            unsetenv("VALTD_ROOT");
        }
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& Path() const { return mPath; }
    // The path of `relative` inside the directory.
    std::string operator/(const std::string& relative) const { return mPath + "/" + relative; }

  private:
    std::string mPath;
    bool mAsValtdRoot;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// A fresh VALTD_ROOT for a fuzz target whose code under test touches the
// daemon's paths (the exchange link's socket directory); removed at exit.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

inline void MakeFuzzRoot() {
    static std::string root;
    char pattern[] = "/tmp/valtd-fuzz-root-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    root = pattern;
    setenv("VALTD_ROOT", root.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
}

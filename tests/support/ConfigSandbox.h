// Helpers for the configuration tests: a throw-away telephony directory named by
// ORBA_PATH, and a runner for the built valtconf.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "TempRoot.h"

#ifndef VALTCONF_BIN
#error "VALTCONF_BIN must name the valtconf executable"
#endif

struct ValtconfResult {
    int exitCode;
    std::string out;
    std::string err;
};

// Makes a fresh directory, points ORBA_PATH at it and removes both afterwards.
class ConfigSandbox {
  public:
    ConfigSandbox() : mDir(false), mRoot(mDir.Path()) {
        setenv("ORBA_PATH", (mRoot + "/").c_str(), 1);
        unsetenv("VALTD_ROOT");
    }
    ~ConfigSandbox() { unsetenv("ORBA_PATH"); }
    ConfigSandbox(const ConfigSandbox&) = delete;
    ConfigSandbox& operator=(const ConfigSandbox&) = delete;

    const std::string& Root() const { return mRoot; }
    std::string Db(const std::string& name) const { return mRoot + "/telephony/" + name; }

    // Replaces a database with bytes that are not a database.
    void Corrupt(const std::string& name) const {
        std::ofstream(Db(name), std::ios::trunc) << std::string(4096, 'x');
    }

    // Runs valtconf with `args` in the sandbox's environment.
    ValtconfResult Run(std::initializer_list<std::string> args) const {
        std::string command = VALTCONF_BIN;
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        const int status =
            std::system((command + " >" + mRoot + "/out 2>" + mRoot + "/err").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(mRoot + "/out"),
                ReadFile(mRoot + "/err")};
    }

    // Runs valtconf and expects success (reported through the returned text).
    std::string Ok(std::initializer_list<std::string> args) const {
        const ValtconfResult r = Run(args);
        return r.exitCode == 0 ? r.out : "FAILED(" + std::to_string(r.exitCode) + "): " + r.err;
    }

  private:
    TempRoot mDir;
    std::string mRoot;
};

// Resolution of the daemon's fixed file paths under the root prefix.
//
// Every fixed path ("/etc/version.txt", "/tmp/logs/", ...) is resolved under
// $VALTD_ROOT, so that the daemon, its tools and the tests run unprivileged in a
// sandbox directory. Unset or empty means "/". Paths that come from the
// configuration (prompt directories) and ORBA_PATH are taken unchanged.
// Thread-safe: reads the environment on every call and keeps no state.
#pragma once

#include <sys/types.h>

#include <string>

// The root prefix without a trailing slash ("" for "/").
std::string RootPrefix();

// `absolutePath` (beginning with "/") under the root prefix.
std::string RootPath(const std::string& absolutePath);

// Creates `dir` and its missing parents with `mode` (less the umask); the mode
// of a directory that exists already is left alone. True when it exists
// afterwards.
bool MakeDirectories(const std::string& dir, mode_t mode = 0755);

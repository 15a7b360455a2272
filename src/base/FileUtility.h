// File-system helpers of the utility library: directory listing, existence,
// removal and directory size.
//
// Stateless free functions; any thread may call them. Paths are used as given
// (callers resolve fixed paths under the root prefix themselves).
#pragma once

#include <list>
#include <string>

namespace FileUtility {

// Appends to `names` the names of the regular files directly in `dir`, sorted by
// name (symbolic links, directories and other entries are left out). `filter`,
// when not null, keeps only names that contain it. False when `dir` cannot be
// opened; `names` is then unchanged.
bool GetDirContent(const std::string& dir, std::list<std::string>& names, const char* filter);

// True when something exists at `path` (a dangling symbolic link counts).
bool IsFileExist(const std::string& path);

// Removes a file, a symbolic link (not its target) or a directory with
// everything in it. 0 on success, else the errno of the first failure.
int RemoveDirOrFile(const std::string& path);

// The sizes of the regular files in `dir` (and, with `recursive`, in its
// subdirectories; symbolic links are not followed) added up, in KB rounded up.
// 0 for a missing or unreadable directory.
long GetDirSizeKb(const std::string& dir, bool recursive);

}  // namespace FileUtility

// SQLite plumbing shared by the configuration readers: owning handles, the
// read-only open with a busy timeout, and the paths of the databases.
//
// Free functions and handle types only; a handle is used by one thread at a time
// (its owner's). The path functions read the environment on every call.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// How long a reader waits for a writer (valtconf) to finish before giving up.
constexpr int kConfigBusyTimeoutMs = 3000;

// Opens an existing database file; null when it is missing or cannot be opened.
// The file is not checked here: a file that is not a database fails at the first
// statement.
SqliteHandle OpenConfigDb(const std::string& path, bool readOnly);

// Null (and nothing else) when the statement does not compile, e.g. because the
// file is not a database or lacks the table.
SqliteStatement PrepareConfigStatement(sqlite3* db, const char* sql);

// Column text, "" for NULL.
std::string ConfigColumnText(sqlite3_stmt* stmt, int column);

// "$ORBA_PATH" (unchanged; an empty value counts as unset) or
// "<root>/etc/orba-conf/", followed by "telephony/".
std::string ConfigDbDirectory();

// The three database files in ConfigDbDirectory().
std::string ExtensionDbPath();  // ".../telephony/extensiondb"
std::string LineDbPath();       // ".../telephony/linedb"
std::string SystemDbPath();     // ".../telephony/systemdb": settings, gateways

// The directory part of `path` including its trailing "/" ("" when none).
std::string ConfigDirectoryOf(const std::string& path);

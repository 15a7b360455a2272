#include "config/ConfigSqlite.h"

#include <cstdlib>

#include "base/RootPath.h"

SqliteHandle OpenConfigDb(const std::string& path, bool readOnly) {
    sqlite3* raw = nullptr;
    const int flags =
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    SqliteHandle db(raw);  // sqlite3_open_v2 may allocate a handle even on failure
    if (rc != SQLITE_OK) {
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), kConfigBusyTimeoutMs);
    return db;
}

SqliteStatement PrepareConfigStatement(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    return SqliteStatement(raw);
}

std::string ConfigColumnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

std::string ConfigDbDirectory() {
    const char* orba = std::getenv("ORBA_PATH");
    const std::string base =
        (orba != nullptr && *orba != '\0') ? std::string(orba) : RootPath("/etc/orba-conf/");
    return base + "telephony/";
}

std::string ExtensionDbPath() {
    return ConfigDbDirectory() + "extensiondb";
}
std::string LineDbPath() {
    return ConfigDbDirectory() + "linedb";
}
std::string SystemDbPath() {
    return ConfigDbDirectory() + "systemdb";
}

std::string ConfigDirectoryOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

#include "ConfigStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ConfigSchema.h"
#include "base/RootPath.h"
#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"
#include "net/BsdSocket.h"

namespace {

constexpr int kWriterBusyTimeoutMs = 5000;
constexpr const char* kSectionMark = "-- @database ";

// The statements of the schema file that belong to database `name`.
std::string SchemaSection(const std::string& name) {
    const std::string schema(kConfigSchema);
    const std::string mark = kSectionMark + name + "\n";
    std::string::size_type begin = schema.find(mark);
    if (begin == std::string::npos) {
        throw ConfigStoreError("schema has no section for " + name);
    }
    begin += mark.size();
    const std::string::size_type end = schema.find(kSectionMark, begin);
    return schema.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

class Database {
  public:
    Database(const std::string& directory, const std::string& name) : mPath(directory + name) {
        if (!MakeDirectories(directory.substr(0, directory.find_last_not_of('/') + 1))) {
            throw ConfigStoreError("cannot create directory " + directory + ": " +
                                   std::strerror(errno));
        }
        // Create the file ourselves so that it is never readable by others: it
        // holds passwords in clear.
        const int fd = ::open(mPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw ConfigStoreError("cannot open " + mPath + ": " + std::strerror(errno));
        }
        ::close(fd);
        ::chmod(mPath.c_str(), 0600);
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(mPath.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        mDb.reset(raw);
        if (rc != SQLITE_OK) {
            Fail();
        }
        sqlite3_busy_timeout(mDb.get(), kWriterBusyTimeoutMs);
        Exec(SchemaSection(name));
    }

    void Exec(const std::string& sql) {
        if (sqlite3_exec(mDb.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            Fail();
        }
    }

    SqliteStatement Prepare(const char* sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(mDb.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
            sqlite3_finalize(raw);
            Fail();
        }
        return SqliteStatement(raw);
    }

    // Steps `stmt`; true on a row, false when done.
    bool Step(const SqliteStatement& stmt) {
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            Fail();
        }
        return false;
    }

    int Changes() { return sqlite3_changes(mDb.get()); }

    [[noreturn]] void Fail() {
        throw ConfigStoreError(mPath + ": " +
                               (mDb ? sqlite3_errmsg(mDb.get()) : "cannot open database"));
    }

  private:
    std::string mPath;
    SqliteHandle mDb;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception.
class Transaction {
  public:
    explicit Transaction(Database& db) : mDb(db) { mDb.Exec("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!mbDone) {
            try {
                mDb.Exec("ROLLBACK");
            } catch (const ConfigStoreError&) {
            }
        }
    }
    void Commit() {
        mDb.Exec("COMMIT");
        mbDone = true;
    }

  private:
    Database& mDb;
    bool mbDone = false;
};

void BindText(const SqliteStatement& stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt.get(), index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

void BindId(const SqliteStatement& stmt, int index, unsigned long id) {
    sqlite3_bind_int64(stmt.get(), index, static_cast<sqlite3_int64>(id));
}

bool IsDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Decimal integer text within [low, high].
bool ParseInteger(const std::string& text, long long low, long long high, long long& out) {
    const std::string digits = (!text.empty() && text[0] == '-') ? text.substr(1) : text;
    if (!IsDigits(digits) || digits.size() > 18) {
        return false;
    }
    out = std::strtoll(text.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

const char* KindName(ExtType kind) {
    switch (kind) {
        case ExtType_AA:
            return "aa";
        case ExtType_User:
            return "user";
        case ExtType_System:
            return "system";
    }
    return "?";
}

void InsertExtension(Database& db, const ExtensionRow& row) {
    SqliteStatement insert = db.Prepare(
        "INSERT INTO extensions (kind, number, password, prompt_dir, prompt_share) "
        "VALUES (?1, ?2, ?3, ?4, ?5)");
    sqlite3_bind_int(insert.get(), 1, row.kind);
    BindText(insert, 2, row.number);
    BindText(insert, 3, row.password);
    BindText(insert, 4, row.promptDir);
    sqlite3_bind_double(insert.get(), 5, row.promptShare);
    db.Step(insert);
}

}  // namespace

std::string NormalizeSetting(const std::string& name, const std::string& value) {
    const SettingInfo* info = FindSetting(name);
    if (info == nullptr) {
        throw ConfigStoreError("unknown setting '" + name + "'");
    }
    long long number = 0;
    switch (info->kind) {
        case SettingKind::Text:
        case SettingKind::Secret:
            return value;
        case SettingKind::Port:
            if (!ParseInteger(value, 0, 65535, number) || value[0] == '-') {
                throw ConfigStoreError(name + " must be a port number from 0 to 65535, not '" +
                                       value + "'");
            }
            return std::to_string(number);
        case SettingKind::Integer:
            if (!ParseInteger(value, INT_MIN, INT_MAX, number)) {
                throw ConfigStoreError(name + " must be a whole number of seconds, not '" + value +
                                       "'");
            }
            return std::to_string(number);
        case SettingKind::Size:
            if (!ParseInteger(value, 0, INT_MAX, number) || value[0] == '-') {
                throw ConfigStoreError(name + " must be a whole number from 0 to " +
                                       std::to_string(INT_MAX) + ", not '" + value + "'");
            }
            return std::to_string(number);
        case SettingKind::Address:
            if (!value.empty() && !BsdSocket::IsAddressLiteral(value)) {
                throw ConfigStoreError(name + " must be empty or an IPv4 or IPv6 address, not '" +
                                       value + "'");
            }
            return value;
        case SettingKind::Endpoint: {
            std::string host;
            unsigned short port = 0;
            if (!value.empty() && (!BsdSocket::ParseEndpoint(value, "", host, port) ||
                                   (!host.empty() && !BsdSocket::IsAddressLiteral(host)))) {
                throw ConfigStoreError(name +
                                       " must be empty, PORT, ADDRESS:PORT or [IPV6]:PORT, not '" +
                                       value + "'");
            }
            return value;
        }
        case SettingKind::Flag:
            for (const char* yes : {"true", "1", "yes", "on"}) {
                if (value == yes) {
                    return "true";
                }
            }
            for (const char* no : {"false", "0", "no", "off"}) {
                if (value == no) {
                    return "false";
                }
            }
            throw ConfigStoreError(name + " must be true or false, not '" + value + "'");
    }
    return value;
}

void ConfigStore::Init() {
    bool fresh = true;
    for (const char* name : {"extensiondb", "linedb", "systemdb"}) {
        struct stat st {};
        fresh = fresh && ::stat((mDirectory + name).c_str(), &st) != 0 && errno == ENOENT;
    }
    for (const char* name : {"extensiondb", "linedb", "systemdb"}) {
        Database db(mDirectory, name);
    }
    if (fresh) {
        Database db(mDirectory, "systemdb");
        Transaction tx(db);
        for (const auto& setting : NewInstallationSettings()) {
            SqliteStatement stmt =
                db.Prepare("INSERT OR REPLACE INTO settings (name, value) VALUES (?1, ?2)");
            BindText(stmt, 1, setting.first);
            BindText(stmt, 2, setting.second);
            db.Step(stmt);
        }
        tx.Commit();
    }
}

void ConfigStore::SetSetting(const std::string& name, const std::string& value) {
    Database db(mDirectory, "systemdb");
    SqliteStatement stmt =
        db.Prepare("INSERT OR REPLACE INTO settings (name, value) VALUES (?1, ?2)");
    BindText(stmt, 1, name);
    BindText(stmt, 2, value);
    db.Step(stmt);
}

std::string ConfigStore::GetSetting(const std::string& name) {
    const SettingInfo* info = FindSetting(name);
    if (info == nullptr) {
        throw ConfigStoreError("unknown setting '" + name + "'");
    }
    Database db(mDirectory, "systemdb");
    SqliteStatement stmt = db.Prepare("SELECT value FROM settings WHERE name = ?1");
    BindText(stmt, 1, name);
    return db.Step(stmt) ? ConfigColumnText(stmt.get(), 0) : std::string(info->defaultValue);
}

std::vector<std::pair<std::string, std::string>> ConfigStore::ListSettings() {
    std::vector<std::pair<std::string, std::string>> result;
    for (const SettingInfo& info : AllSettings()) {
        result.emplace_back(info.name, GetSetting(info.name));
    }
    return result;
}

void ConfigStore::AddExtension(const ExtensionRow& row, bool allowDuplicate) {
    Database db(mDirectory, "extensiondb");
    Transaction tx(db);
    SqliteStatement clash =
        db.Prepare(row.kind == ExtType_System
                       ? "SELECT number FROM extensions WHERE kind = ?1"
                       : "SELECT number FROM extensions WHERE kind = ?1 AND number = ?2");
    sqlite3_bind_int(clash.get(), 1, row.kind);
    if (row.kind != ExtType_System) {
        BindText(clash, 2, row.number);
    }
    if (db.Step(clash)) {
        if (row.kind == ExtType_System) {
            throw ConfigStoreError("there is already a system extension (" +
                                   ConfigColumnText(clash.get(), 0) + ")");
        }
        if (!allowDuplicate) {
            throw ConfigStoreError(std::string("a ") + KindName(row.kind) + " extension " +
                                   row.number + " already exists");
        }
    }
    InsertExtension(db, row);
    tx.Commit();
}

void ConfigStore::AddExtensions(const std::vector<ExtensionRow>& rows) {
    Database db(mDirectory, "extensiondb");
    Transaction tx(db);
    for (const ExtensionRow& row : rows) {
        InsertExtension(db, row);
    }
    tx.Commit();
}

void ConfigStore::RemoveExtension(ExtType kind, const std::string& number) {
    Database db(mDirectory, "extensiondb");
    SqliteStatement stmt = db.Prepare("DELETE FROM extensions WHERE kind = ?1 AND number = ?2");
    sqlite3_bind_int(stmt.get(), 1, kind);
    BindText(stmt, 2, number);
    db.Step(stmt);
    if (db.Changes() == 0) {
        throw ConfigStoreError(std::string("no ") + KindName(kind) + " extension " + number);
    }
}

std::vector<ExtensionRow> ConfigStore::ListExtensions() {
    Database db(mDirectory, "extensiondb");
    SqliteStatement stmt = db.Prepare(
        "SELECT kind, number, password, prompt_dir, prompt_share FROM extensions ORDER BY id");
    std::vector<ExtensionRow> rows;
    while (db.Step(stmt)) {
        rows.push_back(
            ExtensionRow{static_cast<ExtType>(sqlite3_column_int(stmt.get(), 0)),
                         ConfigColumnText(stmt.get(), 1), ConfigColumnText(stmt.get(), 2),
                         ConfigColumnText(stmt.get(), 3), sqlite3_column_double(stmt.get(), 4)});
    }
    return rows;
}

void ConfigStore::AddGateway(unsigned long id, int type) {
    Database db(mDirectory, "systemdb");
    Transaction tx(db);
    SqliteStatement clash = db.Prepare("SELECT 1 FROM gateways WHERE id = ?1");
    BindId(clash, 1, id);
    if (db.Step(clash)) {
        throw ConfigStoreError("gateway " + std::to_string(id) + " already exists");
    }
    SqliteStatement stmt = db.Prepare("INSERT INTO gateways (id, type) VALUES (?1, ?2)");
    BindId(stmt, 1, id);
    sqlite3_bind_int(stmt.get(), 2, type);
    db.Step(stmt);
    tx.Commit();
}

void ConfigStore::RemoveGateway(unsigned long id) {
    Database db(mDirectory, "systemdb");
    SqliteStatement stmt = db.Prepare("DELETE FROM gateways WHERE id = ?1");
    BindId(stmt, 1, id);
    db.Step(stmt);
    if (db.Changes() == 0) {
        throw ConfigStoreError("no gateway " + std::to_string(id));
    }
}

std::vector<std::pair<unsigned long, int>> ConfigStore::ListGateways() {
    Database db(mDirectory, "systemdb");
    SqliteStatement stmt = db.Prepare("SELECT id, type FROM gateways ORDER BY id");
    std::vector<std::pair<unsigned long, int>> rows;
    while (db.Step(stmt)) {
        rows.emplace_back(static_cast<unsigned long>(sqlite3_column_int64(stmt.get(), 0)),
                          sqlite3_column_int(stmt.get(), 1));
    }
    return rows;
}

namespace {

void RequireGateway(const std::string& directory, unsigned long gateway) {
    Database db(directory, "systemdb");
    SqliteStatement stmt = db.Prepare("SELECT 1 FROM gateways WHERE id = ?1");
    BindId(stmt, 1, gateway);
    if (!db.Step(stmt)) {
        throw ConfigStoreError("no gateway " + std::to_string(gateway) +
                               " (add it first with add-gateway)");
    }
}

void InsertLine(const std::string& directory, const char* table, unsigned long gateway,
                unsigned long line, const std::vector<std::string>& values) {
    RequireGateway(directory, gateway);
    Database db(directory, "linedb");
    Transaction tx(db);
    const std::string exists =
        std::string("SELECT 1 FROM ") + table + " WHERE gateway_id = ?1 AND line_id = ?2";
    SqliteStatement clash = db.Prepare(exists.c_str());
    BindId(clash, 1, gateway);
    BindId(clash, 2, line);
    if (db.Step(clash)) {
        throw ConfigStoreError("line " + std::to_string(line) + " of gateway " +
                               std::to_string(gateway) + " already exists");
    }
    const std::string sql =
        std::string("INSERT INTO ") + table +
        (values.size() == 2 ? " VALUES (?1, ?2, ?3, ?4)" : " VALUES (?1, ?2, ?3)");
    SqliteStatement stmt = db.Prepare(sql.c_str());
    BindId(stmt, 1, gateway);
    BindId(stmt, 2, line);
    for (size_t i = 0; i < values.size(); ++i) {
        BindText(stmt, static_cast<int>(i) + 3, values[i]);
    }
    db.Step(stmt);
    tx.Commit();
}

const char* CheckedLineTable(const std::string& table) {
    if (table == "fxs_lines") {
        return "fxs_lines";
    }
    if (table == "cm_lines") {
        return "cm_lines";
    }
    throw ConfigStoreError("unknown line table " + table);
}

}  // namespace

void ConfigStore::AddFxsLine(unsigned long gateway, unsigned long line, const std::string& user,
                             const std::string& password) {
    InsertLine(mDirectory, "fxs_lines", gateway, line, {user, password});
}

void ConfigStore::AddCmLine(unsigned long gateway, unsigned long line,
                            const std::string& extension) {
    InsertLine(mDirectory, "cm_lines", gateway, line, {extension});
}

void ConfigStore::RemoveLine(const std::string& table, unsigned long gateway, unsigned long line) {
    Database db(mDirectory, "linedb");
    const std::string sql = std::string("DELETE FROM ") + CheckedLineTable(table) +
                            " WHERE gateway_id = ?1 AND line_id = ?2";
    SqliteStatement stmt = db.Prepare(sql.c_str());
    BindId(stmt, 1, gateway);
    BindId(stmt, 2, line);
    db.Step(stmt);
    if (db.Changes() == 0) {
        throw ConfigStoreError("no line " + std::to_string(line) + " of gateway " +
                               std::to_string(gateway));
    }
}

std::vector<std::vector<std::string>> ConfigStore::ListLines(const std::string& table) {
    Database db(mDirectory, "linedb");
    const std::string column = table == "fxs_lines" ? "user_name" : "extension";
    const std::string sql = "SELECT gateway_id, line_id, " + column + " FROM " +
                            CheckedLineTable(table) + " ORDER BY gateway_id, line_id";
    SqliteStatement stmt = db.Prepare(sql.c_str());
    std::vector<std::vector<std::string>> rows;
    while (db.Step(stmt)) {
        rows.push_back({ConfigColumnText(stmt.get(), 0), ConfigColumnText(stmt.get(), 1),
                        ConfigColumnText(stmt.get(), 2)});
    }
    return rows;
}

std::vector<std::string> ConfigStore::LineUsersWithoutPassword() {
    Database db(mDirectory, "linedb");
    SqliteStatement stmt = db.Prepare(
        "SELECT user_name FROM fxs_lines WHERE password IS NULL OR password = '' "
        "ORDER BY gateway_id, line_id");
    std::vector<std::string> users;
    while (db.Step(stmt)) {
        users.push_back(ConfigColumnText(stmt.get(), 0));
    }
    return users;
}

void ConfigStore::Grant(const std::string& account, const std::vector<std::string>& rights) {
    Database db(mDirectory, "systemdb");
    Transaction tx(db);
    for (const std::string& right : rights) {
        SqliteStatement stmt =
            db.Prepare("INSERT OR IGNORE INTO account_rights (account, name) VALUES (?1, ?2)");
        BindText(stmt, 1, account);
        BindText(stmt, 2, right);
        db.Step(stmt);
    }
    tx.Commit();
}

void ConfigStore::Revoke(const std::string& account, const std::vector<std::string>& rights) {
    Database db(mDirectory, "systemdb");
    Transaction tx(db);
    int removed = 0;
    if (rights.empty()) {
        SqliteStatement stmt = db.Prepare("DELETE FROM account_rights WHERE account = ?1");
        BindText(stmt, 1, account);
        db.Step(stmt);
        removed = db.Changes();
    }
    for (const std::string& right : rights) {
        SqliteStatement stmt =
            db.Prepare("DELETE FROM account_rights WHERE account = ?1 AND name = ?2");
        BindText(stmt, 1, account);
        BindText(stmt, 2, right);
        db.Step(stmt);
        removed += db.Changes();
    }
    if (removed == 0) {
        throw ConfigStoreError("account " + account + " holds none of the rights named");
    }
    tx.Commit();
}

std::vector<std::pair<std::string, std::string>> ConfigStore::ListGrants() {
    Database db(mDirectory, "systemdb");
    SqliteStatement stmt =
        db.Prepare("SELECT account, name FROM account_rights ORDER BY account, name");
    std::vector<std::pair<std::string, std::string>> rows;
    while (db.Step(stmt)) {
        rows.emplace_back(ConfigColumnText(stmt.get(), 0), ConfigColumnText(stmt.get(), 1));
    }
    return rows;
}

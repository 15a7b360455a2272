#include "config/ExtensionManager.h"

#include "config/ConfigSqlite.h"
#include "config/ExtVMBox.h"

namespace {

// Columns 0..4 are the base record; 5 is the password (full query only).
std::string Query(bool full, const char* where) {
    return std::string(full ? "SELECT id, kind, number, prompt_dir, prompt_share, password"
                            : "SELECT id, kind, number, prompt_dir, prompt_share") +
           " FROM extensions WHERE " + where + " ORDER BY id";
}

}  // namespace

ExtensionBase::ExtensionBase(std::shared_ptr<sqlite3> db, long long rowId, ExtType type,
                             std::string number)
    : mDb(std::move(db)), mnRowId(rowId), mType(type), mNumber(std::move(number)) {}

bool ExtensionBase::load(unsigned long parts) {
    SqliteStatement stmt = PrepareConfigStatement(
        mDb.get(), "SELECT password, prompt_dir, prompt_share FROM extensions WHERE id = ?1");
    if (!stmt) {
        return false;
    }
    sqlite3_bind_int64(stmt.get(), 1, mnRowId);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        return false;
    }
    if ((parts & kPartUserSettings) != 0) {
        mPassword = ConfigColumnText(stmt.get(), 0);
        mnLoadedParts |= kPartUserSettings;
    }
    if ((parts & kPartPrompts) != 0) {
        mPromptDir = ConfigColumnText(stmt.get(), 1);
        mPromptShare = sqlite3_column_double(stmt.get(), 2);
        mnLoadedParts |= kPartPrompts;
    }
    return true;
}

ExtensionManager::ExtensionManager(const std::string& path, bool loadAllParts)
    : mDb(OpenConfigDb(path, true)), mbLoadAllParts(loadAllParts) {
    ExtVMBox::Load(ConfigDirectoryOf(path) + "systemdb");
}

ExtensionManager::~ExtensionManager() = default;

std::unique_ptr<ExtensionBase> ExtensionManager::MakeFromRow(sqlite3_stmt* stmt, bool full) const {
    const ExtType type = static_cast<ExtType>(sqlite3_column_int(stmt, 1));
    std::unique_ptr<ExtensionBase> ext(
        new ExtensionBase(mDb, sqlite3_column_int64(stmt, 0), type, ConfigColumnText(stmt, 2)));
    if (full || type != ExtType_User) {
        ext->mPromptDir = ConfigColumnText(stmt, 3);
        ext->mPromptShare = sqlite3_column_double(stmt, 4);
        ext->mnLoadedParts |= ExtensionBase::kPartPrompts;
    }
    if (full) {
        ext->mPassword = ConfigColumnText(stmt, 5);
        ext->mnLoadedParts |= ExtensionBase::kPartUserSettings;
    }
    return ext;
}

ExtensionList ExtensionManager::GetExtensions(int type, bool loadAllParts) {
    ExtensionList result;
    const bool full = loadAllParts || mbLoadAllParts;
    SqliteStatement stmt = PrepareConfigStatement(mDb.get(), Query(full, "kind = ?1").c_str());
    if (!stmt) {
        return result;
    }
    sqlite3_bind_int(stmt.get(), 1, type);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        result.push_back(MakeFromRow(stmt.get(), full));
    }
    if (rc != SQLITE_DONE) {
        result.clear();  // a partial list would silently hide extensions
    }
    return result;
}

std::unique_ptr<ExtensionBase> ExtensionManager::FindFirst(int kind, const std::string* number,
                                                           bool full) {
    const std::string sql =
        Query(full, number != nullptr ? "kind = ?1 AND number = ?2" : "kind = ?1") + " LIMIT 1";
    SqliteStatement stmt = PrepareConfigStatement(mDb.get(), sql.c_str());
    if (!stmt) {
        return nullptr;
    }
    sqlite3_bind_int(stmt.get(), 1, kind);
    if (number != nullptr) {
        sqlite3_bind_text(stmt.get(), 2, number->data(), static_cast<int>(number->size()),
                          SQLITE_TRANSIENT);
    }
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        return nullptr;
    }
    return MakeFromRow(stmt.get(), full);
}

std::unique_ptr<ExtensionBase> ExtensionManager::GetExtension(ExtType type,
                                                              const std::string& number,
                                                              bool loadAllParts) {
    return FindFirst(type, &number, loadAllParts || mbLoadAllParts);
}

std::unique_ptr<ExtensionBase> ExtensionManager::GetSystemExtension(bool loadAllParts) {
    return FindFirst(ExtType_System, nullptr, loadAllParts || mbLoadAllParts);
}

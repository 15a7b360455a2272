#include "config/AccountRights.h"

#include <algorithm>
#include <map>

#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"

const std::vector<std::string>& AllRights() {
    static const std::vector<std::string> rights = {Right::kCdr, Right::kRouting,
                                                    Right::kAnyExtension, Right::kSystemPrompts,
                                                    Right::kConfigUpload};
    return rights;
}

bool IsKnownRight(const std::string& name) {
    const std::vector<std::string>& rights = AllRights();
    return std::find(rights.begin(), rights.end(), name) != rights.end();
}

bool AccountGrants::Load(const std::string& systemDbPath) {
    std::map<std::string, std::string> settings;
    if (!ReadSettings(systemDbPath, settings)) {
        return false;
    }
    std::set<std::pair<std::string, std::string>> grants;
    SqliteHandle db = OpenConfigDb(systemDbPath, true);
    SqliteStatement stmt =
        PrepareConfigStatement(db.get(), "SELECT account, name FROM account_rights");
    // Without the table (an older database) there are no grants.
    if (stmt) {
        int rc;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            grants.emplace(ConfigColumnText(stmt.get(), 0), ConfigColumnText(stmt.get(), 1));
        }
        if (rc != SQLITE_DONE) {
            return false;
        }
    }
    mAdmin = settings["admin-user"];
    mGrants.swap(grants);
    return true;
}

bool AccountGrants::IsAdmin(const std::string& account) const {
    return !mAdmin.empty() && account == mAdmin;
}

bool AccountGrants::Has(const std::string& account, const std::string& right) const {
    return IsAdmin(account) || mGrants.count({account, right}) != 0;
}

bool AccountHasRight(const std::string& account, const char* right) {
    AccountGrants grants;
    return right != nullptr && grants.Load(SystemDbPath()) && grants.Has(account, right);
}

bool IsAdminAccount(const std::string& account) {
    AccountGrants grants;
    return grants.Load(SystemDbPath()) && grants.IsAdmin(account);
}

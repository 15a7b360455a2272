// Rights an account may be granted beyond what is its own (its extension, its
// calls, its prompts), as stored in systemdb's "account_rights" table and
// written by `valtconf grant`. The control server consults them when the
// "account-rights" setting is on; the administrator account (the "admin-user"
// setting) holds every right without a grant.
//
// Stateless free functions and a value type; any thread may call them (each
// load opens its own read-only connection).
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

// The right names, as stored and as valtconf takes them.
namespace Right {
constexpr const char kCdr[] = "cdr";                       // call records of every extension
constexpr const char kRouting[] = "routing";               // routing of incoming calls
constexpr const char kAnyExtension[] = "any-extension";    // act for any extension
constexpr const char kSystemPrompts[] = "system-prompts";  // prompts of system and AA
constexpr const char kConfigUpload[] = "config-upload";    // configuration uploads
}  // namespace Right

// Every right name, in documentation order.
const std::vector<std::string>& AllRights();
bool IsKnownRight(const std::string& name);

// The administrator account and the grants of one systemdb, read at once, so
// that a caller checking many requests reads the database once per update.
class AccountGrants {
  public:
    // Reads the administrator account and every grant; false (and nothing
    // changed) when the database cannot be read. A database without the
    // grants table (made before there were grants) reads as no grants.
    bool Load(const std::string& systemDbPath);

    // True for the non-empty administrator account.
    bool IsAdmin(const std::string& account) const;
    // True when `account` was granted `right`, or is the administrator.
    bool Has(const std::string& account, const std::string& right) const;

  private:
    std::string mAdmin;
    std::set<std::pair<std::string, std::string>> mGrants;  // (account, right)
};

// One-off checks against SystemDbPath(); false when it cannot be read.
bool AccountHasRight(const std::string& account, const char* right);
bool IsAdminAccount(const std::string& account);

// Writer of the configuration databases (extensiondb, linedb, systemdb in one
// telephony directory), used by valtconf and by the benchmarks to build them.
//
// Threads: one ConfigStore per thread. Each operation opens the database it
// needs, creating the directory, the file (mode 0600) and the tables when
// missing, and writes in one transaction; a reader that runs at the same time
// waits through its busy time-out. Failures throw ConfigStoreError.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "config/ExtensionManager.h"

class ConfigStoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ExtensionRow {
    ExtType kind;
    std::string number;
    std::string password;
    std::string promptDir;
    double promptShare;
};

class ConfigStore {
  public:
    // `directory` is the telephony directory, ending in "/".
    explicit ConfigStore(std::string directory) : mDirectory(std::move(directory)) {}

    const std::string& Directory() const { return mDirectory; }

    // Creates whatever of the directory, databases and tables is missing. When
    // none of the three databases existed (a new installation) it also stores
    // NewInstallationSettings(); an existing configuration is left as it is.
    void Init();

    // `value` must already be in its stored form (see NormalizeSetting).
    void SetSetting(const std::string& name, const std::string& value);
    // The stored value, or the default when there is no row.
    std::string GetSetting(const std::string& name);
    // Every known setting as (name, value or default), in documentation order.
    std::vector<std::pair<std::string, std::string>> ListSettings();

    // Adds an extension at the end of the list. Refuses a second system
    // extension, and a number already used by the same kind unless
    // `allowDuplicate`.
    void AddExtension(const ExtensionRow& row, bool allowDuplicate);
    // Adds many extensions in one transaction (no duplicate checks).
    void AddExtensions(const std::vector<ExtensionRow>& rows);
    // Removes every extension of `kind` numbered `number`; throws when none.
    void RemoveExtension(ExtType kind, const std::string& number);
    std::vector<ExtensionRow> ListExtensions();

    void AddGateway(unsigned long id, int type);
    void RemoveGateway(unsigned long id);
    std::vector<std::pair<unsigned long, int>> ListGateways();

    // The gateway must exist; (gateway, line) must be new.
    void AddFxsLine(unsigned long gateway, unsigned long line, const std::string& user,
                    const std::string& password);
    void AddCmLine(unsigned long gateway, unsigned long line, const std::string& extension);
    // `table` is "fxs_lines" or "cm_lines".
    void RemoveLine(const std::string& table, unsigned long gateway, unsigned long line);
    // Rows of `table` as (gateway, line, user name or extension), ordered.
    std::vector<std::vector<std::string>> ListLines(const std::string& table);
    // The user names of the FXS lines whose password is empty.
    std::vector<std::string> LineUsersWithoutPassword();

    // Grants `rights` (names checked by the caller, see AllRights()) to
    // `account`; granting a right it holds changes nothing.
    void Grant(const std::string& account, const std::vector<std::string>& rights);
    // Withdraws `rights` from `account`, every right when `rights` is empty;
    // throws when the account held none of them.
    void Revoke(const std::string& account, const std::vector<std::string>& rights);
    // Every grant as (account, right), ordered by account then right.
    std::vector<std::pair<std::string, std::string>> ListGrants();

  private:
    std::string mDirectory;
};

// Checks `value` against the kind of setting `name` and returns its stored
// form (flags become "true" or "false"). Throws ConfigStoreError with a
// message for the operator when the name is unknown or the value unfit.
std::string NormalizeSetting(const std::string& name, const std::string& value);

// The named settings of the "settings" table of systemdb: their names, kinds and
// built-in defaults, and the reader of the table.
//
// Stateless; any thread may call these functions (each read opens its own
// connection).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

enum class SettingKind {
    Text,      // any text
    Port,      // 0..65535
    Integer,   // any int (a time-out of 0 or less means none)
    Flag,      // "true" or "false"
    Size,      // non-negative int
    Secret,    // any text, a password: listings hide it
    Address,   // empty, or an IPv4 or IPv6 literal
    Endpoint,  // empty, or PORT, HOST:PORT, [IPV6]:PORT or :PORT
};

struct SettingInfo {
    const char* name;
    const char* defaultValue;
    SettingKind kind;
    const char* description;
};

// Every setting, in documentation order.
const std::vector<SettingInfo>& AllSettings();

// The entry named `name`, or null.
const SettingInfo* FindSetting(const std::string& name);

// The values `valtconf init` stores when it creates a configuration from
// nothing: the safe choices for a new installation. A configuration without
// these rows keeps the built-in defaults, which are what older versions did.
const std::vector<std::pair<const char*, const char*>>& NewInstallationSettings();

// A flag text is true when it is "true", "1", "yes" or "on" in any case.
bool ParseFlag(const std::string& text);

// Reads every known setting from the systemdb at `path`, with the default for a
// name that has no row. False (and `out` untouched) when the database is missing,
// unreadable, locked for longer than the busy time-out, or has no settings table.
bool ReadSettings(const std::string& path, std::map<std::string, std::string>& out);

// The control server's TLS certificate and key (PEM), under the root prefix.
std::string ServerCertificatePath();
std::string ServerKeyPath();

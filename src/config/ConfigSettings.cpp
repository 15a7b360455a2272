#include "config/ConfigSettings.h"

#include <algorithm>
#include <cctype>

#include "base/RootPath.h"
#include "config/ConfigSqlite.h"

const std::vector<SettingInfo>& AllSettings() {
    static const std::vector<SettingInfo> settings = {
        {"listen-port", "4849", SettingKind::Port, "TCP port of the XML-RPC control server"},
        {"listen-address", "0.0.0.0", SettingKind::Address,
         "address the control server listens on: an IPv4 or IPv6 literal; empty: every "
         "address, IPv4 and IPv6"},
        {"metrics-listen", "", SettingKind::Endpoint,
         "address and port of the metrics listener (plain HTTP, GET /metrics): HOST:PORT, "
         "[IPV6]:PORT, a bare PORT for loopback, :PORT for every address; empty: off"},
        {"request-timeout", "10", SettingKind::Integer,
         "seconds a request to a client or to the policy server waits for its answer; "
         "0 or less: no time-out"},
        {"secure-listen", "false", SettingKind::Flag, "the control server speaks TLS"},
        {"require-auth", "false", SettingKind::Flag,
         "the control server refuses every request but authentication until the connection "
         "is authorised"},
        {"auth-timeout", "0", SettingKind::Integer,
         "seconds a control connection may stay unauthorised before it is closed; "
         "0 or less: no limit"},
        {"max-unauth-connections", "0", SettingKind::Integer,
         "most control connections that are not yet authorised at one time (a newcomer past "
         "it closes the oldest of them); 0 or less: no limit"},
        {"max-unauth-per-peer", "64", SettingKind::Integer,
         "most control connections not yet authorised from one address (a newcomer past it "
         "closes that address's oldest); 0 or less: no limit"},
        {"account-rights", "false", SettingKind::Flag,
         "an account reaches only its own extension, calls and prompts unless granted a right "
         "(valtconf grant); the administrator reaches everything"},
        {"policy-server", "", SettingKind::Text, "host name or address of the policy server"},
        {"policy-port", "443", SettingKind::Port, "TCP port of the policy server"},
        {"policy-user", "", SettingKind::Text, "Basic-authentication user for the policy server"},
        {"policy-password", "", SettingKind::Secret,
         "Basic-authentication password for the policy server"},
        {"policy-secure", "true", SettingKind::Flag, "the policy server is reached over TLS"},
        {"policy-ca-file", "", SettingKind::Text,
         "CA certificates (PEM file) the policy server's certificate and host name are checked "
         "against; \"system\": the system's store; empty: no check"},
        {"policy-ipv6", "false", SettingKind::Flag,
         "a policy-server name resolves to its IPv6 and IPv4 addresses, tried in the "
         "resolver's order until one connects; false: its first IPv4 address only (an IPv6 "
         "literal is used either way)"},
        {"admin-user", "", SettingKind::Text, "administrator account name (empty: none)"},
        {"admin-password", "", SettingKind::Secret, "administrator account password"},
        {"strict-decisions", "false", SettingKind::Flag,
         "an answer to an offered call decides only that call: an answer naming another call, "
         "a fault or a failed HTTP status falls back to accepting the offered call"},
        {"safe-retries", "false", SettingKind::Flag,
         "a createcall or subscribe sent again on the same connection (same ID, same kind and "
         "extension) is answered again and does nothing new at the exchange"},
        {"tstp-ends-process", "false", SettingKind::Flag,
         "SIGTSTP ends the daemon (exit status 148) after it has stopped its service, instead "
         "of stopping the process, so that a supervisor restarts it"},
        {"mask-logged-secrets", "false", SettingKind::Flag,
         "the log shows the password of authenticate, the digest of sauthenticate and the "
         "digest expected for it as ********; read at start"},
        {"cdr-spool", "false", SettingKind::Flag,
         "call-detail records are committed to a durable spool (var/spool/valtd/cdr.db) "
         "before delivery, acknowledged by each CDR subscriber and sent again after a "
         "disconnect or restart"},
        {"cdr-spool-max-days", "31", SettingKind::Size,
         "days a spooled call-detail record is kept; 0: no age limit"},
        {"cdr-spool-max-records", "1000000", SettingKind::Size,
         "most call-detail records the spool keeps (the oldest go first); 0: no limit"},
        {"cdr-spool-max-bytes", "536870912", SettingKind::Size,
         "most bytes of call-detail records the spool keeps (the oldest go first); 0: no "
         "limit"},
        {"write-all-queued", "false", SettingKind::Flag,
         "each pass of the connection thread writes every request queued for a connection "
         "(up to 64) in one write, instead of one request per connection per pass"},
        {"event-thread-writes", "false", SettingKind::Flag,
         "the thread that handles an exchange event writes the requests it brings to at most "
         "128 connections itself, instead of waking the connection thread to write them"},
        {"log-queue-lines", "0", SettingKind::Integer,
         "the log's lines go through a queue of this many longest lines (8 KiB each) that a "
         "writer thread writes in groups; 0: each line written at once by the thread that logs "
         "it; read at start"},
        {"vm-total-space-kb", "102400", SettingKind::Size, "total voice storage in KB"},
        {"upload-max-bytes", "67108864", SettingKind::Size,
         "largest file body a client may upload (voice prompt or configuration file), in bytes"},
    };
    return settings;
}

const SettingInfo* FindSetting(const std::string& name) {
    for (const SettingInfo& info : AllSettings()) {
        if (name == info.name) {
            return &info;
        }
    }
    return nullptr;
}

const std::vector<std::pair<const char*, const char*>>& NewInstallationSettings() {
    static const std::vector<std::pair<const char*, const char*>> values = {
        // clang-format off
        {"require-auth", "true"},
        {"account-rights", "true"},
        {"tstp-ends-process", "true"},
        {"strict-decisions", "true"},
        {"mask-logged-secrets", "true"},
        {"policy-ca-file", "system"},
        {"safe-retries", "true"},
        {"listen-address", ""},
        {"policy-ipv6", "true"},
        {"cdr-spool", "true"},
        {"log-queue-lines", "32"},
        {"write-all-queued", "true"},
        {"event-thread-writes", "true"},
        // clang-format on
    };
    return values;
}

bool ParseFlag(const std::string& text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "true" || lower == "1" || lower == "yes" || lower == "on";
}

bool ReadSettings(const std::string& path, std::map<std::string, std::string>& out) {
    SqliteHandle db = OpenConfigDb(path, true);
    SqliteStatement stmt = PrepareConfigStatement(db.get(), "SELECT name, value FROM settings");
    if (!stmt) {
        return false;
    }
    std::map<std::string, std::string> values;
    for (const SettingInfo& info : AllSettings()) {
        values[info.name] = info.defaultValue;
    }
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        const std::string name = ConfigColumnText(stmt.get(), 0);
        if (FindSetting(name) != nullptr) {
            values[name] = ConfigColumnText(stmt.get(), 1);
        }
    }
    if (rc != SQLITE_DONE) {
        return false;
    }
    out.swap(values);
    return true;
}

std::string ServerCertificatePath() {
    return RootPath("/etc/ssl.crt/server.crt");
}

std::string ServerKeyPath() {
    return RootPath("/etc/ssl.key/server.key");
}

// valtconf: creates and edits the exchange's configuration databases.
//
// Exit codes: 0 success, 1 the operation failed (database error, unknown or
// duplicate record), 2 bad command line.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "Check.h"
#include "ConfigStore.h"
#include "config/AccountRights.h"
#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"

namespace {

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The arguments of one command: positionals in order, and --name value options.
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool help = false;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    std::string Get(const std::string& name, const std::string& fallback = "") const {
        const auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
    std::string Require(const std::string& name) const {
        if (!Has(name)) {
            throw UsageError("missing --" + name);
        }
        return Get(name);
    }
};

struct Command {
    const char* name;
    const char* usage;
    std::vector<std::string> valueOptions;  // options that take a value
    std::vector<std::string> flagOptions;   // options without a value
    size_t minPositional;
    size_t maxPositional;
    std::function<void(ConfigStore&, const Args&)> run;
};

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    for (const std::string& entry : list) {
        if (entry == item) {
            return true;
        }
    }
    return false;
}

Args ParseArgs(const Command& command, int argc, char** argv, int first) {
    Args args;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            args.help = true;
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            std::string value;
            const std::string::size_type eq = name.find('=');
            const bool inlineValue = eq != std::string::npos;
            if (inlineValue) {
                value = name.substr(eq + 1);
                name.resize(eq);
            }
            if (Contains(command.flagOptions, name) && !inlineValue) {
                args.options[name] = "";
            } else if (Contains(command.valueOptions, name)) {
                if (!inlineValue) {
                    if (i + 1 >= argc) {
                        throw UsageError("--" + name + " needs a value");
                    }
                    value = argv[++i];
                }
                args.options[name] = value;
            } else {
                throw UsageError("unknown option --" + name);
            }
            continue;
        }
        args.positional.push_back(arg);
    }
    if (args.help) {
        return args;
    }
    if (args.positional.size() < command.minPositional) {
        throw UsageError("missing arguments");
    }
    if (args.positional.size() > command.maxPositional) {
        throw UsageError("unexpected argument '" + args.positional[command.maxPositional] + "'");
    }
    return args;
}

// Gateway and line IDs: decimal, 0 to 4294967295 (an unsigned long on the unit).
unsigned long ParseId(const std::string& what, const std::string& text) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoull(text.c_str(), nullptr, 10) > 4294967295ull) {
        throw UsageError(what + " must be a number from 0 to 4294967295, not '" + text + "'");
    }
    return static_cast<unsigned long>(std::strtoull(text.c_str(), nullptr, 10));
}

ExtType ParseKind(const std::string& text) {
    if (text == "user") {
        return ExtType_User;
    }
    if (text == "aa") {
        return ExtType_AA;
    }
    if (text == "system") {
        return ExtType_System;
    }
    throw UsageError("--kind must be user, aa or system, not '" + text + "'");
}

const char* KindName(ExtType kind) {
    return kind == ExtType_User ? "user" : kind == ExtType_AA ? "aa" : "system";
}

double ParseShare(const std::string& text) {
    char* end = nullptr;
    const double share = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(share >= 0.0 && share <= 100.0)) {
        throw UsageError("--prompt-share must be a percentage from 0 to 100, not '" + text + "'");
    }
    return share;
}

std::string SettingNames() {
    std::string names;
    for (const SettingInfo& info : AllSettings()) {
        names += std::string(names.empty() ? "" : ", ") + info.name;
    }
    return names;
}

// The rights named by `args.positional` from `first` on, each argument one name
// or several separated by commas.
std::vector<std::string> ParseRights(const Args& args, size_t first) {
    std::vector<std::string> rights;
    for (size_t i = first; i < args.positional.size(); ++i) {
        const std::string& text = args.positional[i];
        std::string::size_type begin = 0;
        for (;;) {
            const std::string::size_type comma = text.find(',', begin);
            const std::string name = text.substr(begin, comma - begin);
            if (!IsKnownRight(name)) {
                std::string names;
                for (const std::string& known : AllRights()) {
                    names += (names.empty() ? "" : ", ") + known;
                }
                throw UsageError("unknown right '" + name + "' (rights: " + names + ")");
            }
            rights.push_back(name);
            if (comma == std::string::npos) {
                break;
            }
            begin = comma + 1;
        }
    }
    return rights;
}

std::string CheckedAccount(const std::string& account) {
    if (account.empty()) {
        throw UsageError("the account must not be empty");
    }
    return account;
}

// The password of an account being made: --password P, not empty, unless the
// operator says with --no-password that the account is to have none (it then
// logs in with an empty password).
std::string AccountPassword(const Args& args) {
    if (args.Has("no-password")) {
        if (args.Has("password")) {
            throw UsageError("--password and --no-password exclude each other");
        }
        return "";
    }
    if (args.Get("password").empty()) {
        throw UsageError(
            std::string(args.Has("password") ? "--password is empty" : "missing --password") +
            ": the account could log in with an empty password (--no-password "
            "makes it so on purpose)");
    }
    return args.Get("password");
}

std::string FormatShare(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", share);
    return text;
}

void RemoveCommand(ConfigStore& store, const Args& args) {
    const std::string& what = args.positional[0];
    const size_t count = args.positional.size();
    if (what == "extension" && count == 2) {
        store.RemoveExtension(ParseKind(args.Get("kind", "user")), args.positional[1]);
    } else if (what == "gateway" && count == 2) {
        store.RemoveGateway(ParseId("gateway ID", args.positional[1]));
    } else if ((what == "fxs-line" || what == "cm-line") && count == 3) {
        store.RemoveLine(what == "fxs-line" ? "fxs_lines" : "cm_lines",
                         ParseId("gateway ID", args.positional[1]),
                         ParseId("line ID", args.positional[2]));
    } else {
        throw UsageError("cannot remove '" + what + "' with " + std::to_string(count - 1) +
                         " argument(s)");
    }
}

void ListCommand(ConfigStore& store, const Args& args) {
    const std::string& what = args.positional[0];
    if (what != "settings" && args.Has("show-secrets")) {
        throw UsageError("--show-secrets goes with 'list settings' only");
    }
    if (what == "settings") {
        for (const auto& entry : store.ListSettings()) {
            const bool hide = FindSetting(entry.first)->kind == SettingKind::Secret &&
                              !entry.second.empty() && !args.Has("show-secrets");
            std::cout << entry.first << '\t' << (hide ? "(hidden)" : entry.second) << '\n';
        }
    } else if (what == "rights") {
        for (const auto& grant : store.ListGrants()) {
            std::cout << grant.first << '\t' << grant.second << '\n';
        }
    } else if (what == "extensions") {
        for (const ExtensionRow& row : store.ListExtensions()) {
            std::cout << row.number << '\t' << KindName(row.kind) << '\t' << row.promptDir << '\t'
                      << FormatShare(row.promptShare) << '\n';
        }
    } else if (what == "gateways") {
        for (const auto& gateway : store.ListGateways()) {
            std::cout << gateway.first << '\t' << gateway.second << '\n';
        }
    } else if (what == "fxs-lines" || what == "cm-lines") {
        for (const auto& row : store.ListLines(what == "fxs-lines" ? "fxs_lines" : "cm_lines")) {
            std::cout << row[0] << '\t' << row[1] << '\t' << row[2] << '\n';
        }
    } else {
        throw UsageError("cannot list '" + what + "'");
    }
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"init",
         "valtconf init\n"
         "  Creates the configuration directory and databases where missing.\n"
         "  A new configuration (no database existed) gets the safe settings\n"
         "  require-auth, account-rights, strict-decisions, mask-logged-secrets,\n"
         "  safe-retries, policy-ipv6, tstp-ends-process, cdr-spool,\n"
         "  write-all-queued and event-thread-writes true, policy-ca-file system,\n"
         "  an empty listen-address\n"
         "  (every address, IPv4 and IPv6) and log-queue-lines 32 (the log\n"
         "  written by its own thread).\n"
         "  Running it again, or on an existing configuration, changes no\n"
         "  setting.\n",
         {},
         {},
         0,
         0,
         [](ConfigStore& store, const Args&) { store.Init(); }},
        {"set",
         "valtconf set NAME VALUE\n"
         "  Stores a setting. Names: see 'valtconf list settings'.\n",
         {},
         {},
         2,
         2,
         [](ConfigStore& store, const Args& args) {
             if (FindSetting(args.positional[0]) == nullptr) {
                 throw UsageError("unknown setting '" + args.positional[0] +
                                  "' (settings: " + SettingNames() + ")");
             }
             std::string value;
             try {
                 value = NormalizeSetting(args.positional[0], args.positional[1]);
             } catch (const ConfigStoreError& e) {
                 throw UsageError(e.what());
             }
             store.SetSetting(args.positional[0], value);
         }},
        {"check",
         "valtconf check\n"
         "  Checks the configuration as the daemon would meet it: every setting in\n"
         "  its range, no account without a password, the TLS certificate and key\n"
         "  present and matching when secure-listen is on, the policy CA file\n"
         "  present, every prompt folder present. One line a problem; exit 1 when\n"
         "  there is one, 0 when there is none.\n",
         {},
         {},
         0,
         0,
         [](ConfigStore& store, const Args&) {
             const int problems = CheckConfiguration(store, std::cout);
             if (problems > 0) {
                 throw ConfigStoreError(std::to_string(problems) + " problem(s) found");
             }
             std::cout << "configuration OK\n";
         }},
        {"get",
         "valtconf get NAME\n"
         "  Prints a setting (its default when it was never set).\n",
         {},
         {},
         1,
         1,
         [](ConfigStore& store, const Args& args) {
             if (FindSetting(args.positional[0]) == nullptr) {
                 throw UsageError("unknown setting '" + args.positional[0] +
                                  "' (settings: " + SettingNames() + ")");
             }
             std::cout << store.GetSetting(args.positional[0]) << '\n';
         }},
        {"add-extension",
         "valtconf add-extension NUMBER --kind user|aa|system [--password P | --no-password]\n"
         "                      [--prompt-dir D] [--prompt-share PERCENT] [--allow-duplicate]\n"
         "  Adds an extension at the end of the list. A number may be used once per\n"
         "  kind unless --allow-duplicate; there is at most one system extension.\n"
         "  A user extension is an account: it needs a password, or --no-password.\n",
         {"kind", "password", "prompt-dir", "prompt-share"},
         {"allow-duplicate", "no-password"},
         1,
         1,
         [](ConfigStore& store, const Args& args) {
             if (args.positional[0].empty()) {
                 throw UsageError("the extension number must not be empty");
             }
             const ExtType kind = ParseKind(args.Require("kind"));
             ExtensionRow row{kind, args.positional[0],
                              kind == ExtType_User ? AccountPassword(args) : args.Get("password"),
                              args.Get("prompt-dir"), ParseShare(args.Get("prompt-share", "0"))};
             store.AddExtension(row, args.Has("allow-duplicate"));
         }},
        {"add-gateway",
         "valtconf add-gateway ID --type N\n"
         "  Adds a gateway; type 3 is a REREV gateway.\n",
         {"type"},
         {},
         1,
         1,
         [](ConfigStore& store, const Args& args) {
             const std::string type = args.Require("type");
             if (type.empty() || type.size() > 9 ||
                 type.find_first_not_of("0123456789") != std::string::npos) {
                 throw UsageError("--type must be a non-negative number, not '" + type + "'");
             }
             store.AddGateway(ParseId("gateway ID", args.positional[0]), std::atoi(type.c_str()));
         }},
        {"add-fxs-line",
         "valtconf add-fxs-line GATEWAY LINE --user U --password P | --no-password\n"
         "  Adds the IP-line user of an FXS port of an existing gateway.\n",
         {"user", "password"},
         {"no-password"},
         2,
         2,
         [](ConfigStore& store, const Args& args) {
             const unsigned long gateway = ParseId("gateway ID", args.positional[0]);
             const unsigned long line = ParseId("line ID", args.positional[1]);
             const std::string user = args.Require("user");
             if (user.empty()) {
                 throw UsageError("--user must not be empty");
             }
             store.AddFxsLine(gateway, line, user, AccountPassword(args));
         }},
        {"add-cm-line",
         "valtconf add-cm-line GATEWAY LINE --extension N\n"
         "  Adds the call-manager line of a port of an existing gateway.\n",
         {"extension"},
         {},
         2,
         2,
         [](ConfigStore& store, const Args& args) {
             const unsigned long gateway = ParseId("gateway ID", args.positional[0]);
             const unsigned long line = ParseId("line ID", args.positional[1]);
             const std::string extension = args.Require("extension");
             if (extension.empty()) {
                 throw UsageError("--extension must not be empty");
             }
             store.AddCmLine(gateway, line, extension);
         }},
        {"remove",
         "valtconf remove extension NUMBER [--kind user|aa|system]   (default kind: user)\n"
         "valtconf remove gateway ID\n"
         "valtconf remove fxs-line GATEWAY LINE\n"
         "valtconf remove cm-line GATEWAY LINE\n",
         {"kind"},
         {},
         2,
         3,
         RemoveCommand},
        {"grant",
         "valtconf grant ACCOUNT RIGHT[,RIGHT...] [RIGHT...]\n"
         "  Grants rights to an account (an extension number or an IP-line user)\n"
         "  beyond what is its own; they count when account-rights is true.\n"
         "  Rights: cdr, routing, any-extension, system-prompts, config-upload.\n",
         {},
         {},
         2,
         99,
         [](ConfigStore& store, const Args& args) {
             store.Grant(CheckedAccount(args.positional[0]), ParseRights(args, 1));
         }},
        {"revoke",
         "valtconf revoke ACCOUNT RIGHT[,RIGHT...] [RIGHT...]\n"
         "valtconf revoke ACCOUNT --all\n"
         "  Withdraws rights from an account.\n",
         {},
         {"all"},
         1,
         99,
         [](ConfigStore& store, const Args& args) {
             const std::vector<std::string> rights = ParseRights(args, 1);
             if (rights.empty() == !args.Has("all")) {
                 throw UsageError("name the rights to withdraw, or --all");
             }
             store.Revoke(CheckedAccount(args.positional[0]), rights);
         }},
        {"list",
         "valtconf list settings [--show-secrets]\n"
         "valtconf list extensions|gateways|fxs-lines|cm-lines|rights\n"
         "  Prints one tab-separated record a line:\n"
         "    settings:   NAME VALUE (a password set shows as \"(hidden)\"\n"
         "                unless --show-secrets)\n"
         "    extensions: NUMBER KIND PROMPT-DIR PROMPT-SHARE (in list order)\n"
         "    gateways:   ID TYPE\n"
         "    fxs-lines:  GATEWAY LINE USER\n"
         "    cm-lines:   GATEWAY LINE EXTENSION\n"
         "    rights:     ACCOUNT RIGHT\n",
         {},
         {"show-secrets"},
         1,
         1,
         ListCommand},
    };
    return commands;
}

void PrintUsage(std::ostream& out) {
    out << "usage: valtconf COMMAND [ARGUMENTS]\n"
           "Creates and edits the configuration databases in $ORBA_PATH/telephony/\n"
           "(default $VALTD_ROOT/etc/orba-conf/telephony/).\n\nCommands:\n";
    for (const Command& command : Commands()) {
        out << "  " << command.name << '\n';
    }
    out << "\n'valtconf COMMAND --help' describes a command.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(std::cerr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintUsage(std::cout);
        return 0;
    }
    if (name == "--version") {
        std::cout << "valtconf " << VALTD_VERSION << '\n';
        return 0;
    }
    const Command* command = nullptr;
    for (const Command& candidate : Commands()) {
        if (name == candidate.name) {
            command = &candidate;
        }
    }
    if (command == nullptr) {
        std::cerr << "valtconf: unknown command '" << name << "'\n";
        PrintUsage(std::cerr);
        return 2;
    }
    try {
        const Args args = ParseArgs(*command, argc, argv, 2);
        if (args.help) {
            std::cout << "usage: " << command->usage;
            return 0;
        }
        ConfigStore store(ConfigDbDirectory());
        if (name == "get" || name == "list" || name == "check") {
            // Reading creates nothing: a missing database is the answer.
            const std::string what = args.positional.empty() ? "" : args.positional[0];
            std::vector<const char*> needed = {"systemdb"};
            if (name == "check") {
                needed = {"extensiondb", "linedb", "systemdb"};
            } else if (name == "list" && what == "extensions") {
                needed = {"extensiondb"};
            } else if (name == "list" && (what == "fxs-lines" || what == "cm-lines")) {
                needed = {"linedb"};
            }
            for (const char* db : needed) {
                struct stat st {};
                const std::string path = store.Directory() + db;
                if (stat(path.c_str(), &st) != 0) {
                    throw ConfigStoreError("no configuration database " + path +
                                           " (valtconf init makes one)");
                }
            }
        }
        command->run(store, args);
        return 0;
    } catch (const UsageError& e) {
        std::cerr << "valtconf " << name << ": " << e.what() << "\nusage: " << command->usage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "valtconf " << name << ": " << e.what() << '\n';
        return 1;
    }
}

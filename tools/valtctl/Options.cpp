#include "Options.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "xmlrpc/XmlRpcMethod.h"

namespace {

const char kBoundsHelp[] =
    "  --count N     stop after N events from the daemon\n"
    "  --seconds S   stop after S seconds\n"
    "Without either it runs until Ctrl-C.\n";

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

long long ParseNumber(const std::string& text, const std::string& what) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 18) {
        throw UsageError(what + " must be a whole number, not \"" + text + "\"");
    }
    return std::strtoll(text.c_str(), nullptr, 10);
}

bool IsCallId(const std::string& text) {
    // Up to 20 digits and no more than 18446744073709551615.
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
           (text.size() < 20 || (text.size() == 20 && text <= "18446744073709551615"));
}

// The call IDs of the call commands, and the switch of detect-dtmf.
void CheckCallIds(const CommandArgs& c) {
    static const char* const kCallCommands[] = {"close", "transfer", "join",       "unjoin",
                                                "play",  "dtmf",     "detect-dtmf"};
    if (std::find(std::begin(kCallCommands), std::end(kCallCommands), c.name) ==
        std::end(kCallCommands)) {
        return;
    }
    const size_t ids = c.name == "join" || c.name == "unjoin" ? 2 : 1;
    for (size_t i = 0; i < ids; ++i) {
        if (!IsCallId(c.positional[i])) {
            throw UsageError(c.name + ": \"" + c.positional[i] + "\" is not a call ID");
        }
    }
    if (c.name == "detect-dtmf" && c.positional[1] != "on" && c.positional[1] != "off") {
        throw UsageError("detect-dtmf: say on or off, not \"" + c.positional[1] + "\"");
    }
}

}  // namespace

std::string CommandArgs::Get(const std::string& option, const std::string& fallback) const {
    auto it = options.find(option);
    return it == options.end() ? fallback : it->second;
}

long long CommandArgs::GetNumber(const std::string& option, long long fallback) const {
    return Has(option) ? ParseNumber(Get(option), "--" + option) : fallback;
}

const std::vector<CommandSpec>& CommandSpecs() {
    static const std::vector<CommandSpec> specs = {
        {"create",
         "[--id N] [--watch] FROM TO [DISPLAYNAME]",
         "create a call",
         "Creates a call from FROM to TO (call-party text: pbx:201, tel:0301234,\n"
         "sip:bob@example.org, ...) and prints its call ID. --id chooses the ID\n"
         "(default: the daemon chooses one). The daemon ends the call when this\n"
         "connection closes; --watch keeps it open and prints the call's events\n"
         "until the call ends, or combine commands with ';' (see valtctl --help).\n" +
             std::string(kBoundsHelp),
         {"id", "count", "seconds"},
         {"watch"},
         2,
         3},
        {"close",
         "ID",
         "close a call",
         "Closes call ID (a call created on this connection).\n",
         {},
         {},
         1,
         1},
        {"transfer",
         "ID TARGET",
         "transfer a call",
         "Transfers call ID to TARGET (call-party text).\n",
         {},
         {},
         2,
         2},
        {"join", "ID OTHER", "join two calls", "Joins call ID with call OTHER.\n", {}, {}, 2, 2},
        {"unjoin",
         "ID OTHER",
         "unjoin two calls",
         "Separates call ID from call OTHER.\n",
         {},
         {},
         2,
         2},
        {"play",
         "ID FILE [COUNT]",
         "play a message into a call",
         "Plays the prompt FILE into call ID, COUNT times when given.\n",
         {},
         {},
         2,
         3},
        {"dtmf",
         "ID DIGITS",
         "send DTMF digits",
         "Injects the DTMF DIGITS into call ID.\n",
         {},
         {},
         2,
         2},
        {"detect-dtmf",
         "ID on|off",
         "switch DTMF detection",
         "Switches the detection of DTMF digits in call ID on or off; detected\n"
         "digits arrive as dtmfdigitdetected events.\n",
         {},
         {},
         2,
         2},
        {"take",
         "[--answer A] [--remote-control] EXT",
         "take the incoming calls of an extension",
         "Takes the incoming calls of extension EXT and answers every offered call:\n"
         "  --answer accept | decline | redirect:TARGET[,TARGET...]\n"
         "  --remote-control   keep control of accepted calls (their events follow)\n"
         "Without --answer it asks on the terminal for each call when standard\n"
         "input is a terminal, and accepts otherwise.\n" +
             std::string(kBoundsHelp),
         {"answer", "count", "seconds"},
         {"remote-control"},
         1,
         1},
        {"subscribe",
         "[--id N] [--answer accept|decline] KIND [EXT]",
         "subscribe to notifications",
         "Subscribes and prints every notification as it arrives. KIND is one of\n"
         "  mail EXT, dialog EXT, presence EXT   (mailbox, dialog, presence of EXT)\n"
         "  cdr, routing, extlist                (call-detail records, routing of\n"
         "                                        originated calls, extension list)\n"
         "For routing, each originated call is accepted or declined per --answer\n"
         "(default accept). --id chooses the subscription ID.\n" +
             std::string(kBoundsHelp),
         {"id", "answer", "count", "seconds"},
         {},
         1,
         2},
        {"getext",
         "USER",
         "look up the extension of an IP-line user",
         "Prints the extension number of the IP-line user USER.\n",
         {},
         {},
         1,
         1},
        {"sysinfo",
         "",
         "show the unit's ID and version",
         "Prints the unit's unique ID and its version text.\n",
         {},
         {},
         0,
         0},
        {"status",
         "",
         "show connections, pending policy requests and counters (administrator)",
         "Prints every connection of the daemon (peer, account, TLS, state, age and\n"
         "seconds since it last sent, calls, subscriptions, requests queued and\n"
         "awaiting an answer, bytes waiting for the client to read), the calls\n"
         "waiting for the policy server, and every counter that is not zero; with\n"
         "--json the whole status as one object. Only the administrator may.\n",
         {},
         {},
         0,
         0},
        {"reload",
         "",
         "have the daemon read its settings again (administrator)",
         "Has the daemon read its settings again, as when the exchange announces a\n"
         "configuration update (a changed port restarts the control server, and\n"
         "this connection with it). Only the administrator may.\n",
         {},
         {},
         0,
         0},
        {"cdr",
         "export [--since N] [--format csv|json]",
         "print spooled call-detail records (administrator)",
         "Prints the call-detail records the daemon's spool holds (setting\n"
         "cdr-spool), from sequence number N on (default 1), in sequence order: CSV\n"
         "with a header line (default), or one JSON array. Only the administrator\n"
         "may.\n",
         {"since", "format"},
         {},
         1,
         1},
        {"prompts",
         "list|delete|upload TYPE EXT [FILE]",
         "manage voice prompt files",
         "  prompts list TYPE EXT          the prompt files of EXT\n"
         "  prompts delete TYPE EXT FILE   delete one\n"
         "  prompts upload TYPE EXT FILE   upload a local file (after a space check)\n"
         "TYPE: 0 user extension, 1 auto attendant, 2 auto attendant's custom\n"
         "prompts. An empty EXT ('') means the system extension.\n",
         {},
         {},
         3,
         4},
        {"config-upload",
         "FILE",
         "upload a configuration file",
         "Uploads FILE; the exchange's configuration tool then applies it.\n",
         {},
         {},
         1,
         1},
        {"shell",
         "",
         "type commands one line at a time on one connection",
         "Reads commands as they are given on the command line, one a line, and\n"
         "runs each on the one connection, printing the daemon's events as they\n"
         "arrive between them. On a terminal a line can be edited, earlier lines\n"
         "come back with the arrow keys and Tab completes command names; \"help\"\n"
         "lists the commands, \"quit\" or Ctrl-D ends. Ctrl-C ends the running\n"
         "command, not the shell.\n",
         {},
         {},
         0,
         0},
        {"wait",
         "",
         "print events for a while",
         "Prints the daemon's events (of the calls and subscriptions made by earlier\n"
         "commands on the command line).\n" +
             std::string(kBoundsHelp),
         {"count", "seconds"},
         {},
         0,
         0},
    };
    return specs;
}

const CommandSpec* FindCommand(const std::string& name) {
    for (const CommandSpec& entry : CommandSpecs()) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

std::string OverviewHelp() {
    std::string text =
        "Usage: valtctl [OPTIONS] COMMAND [ARGS] [';' COMMAND [ARGS]...]\n"
        "\n"
        "Talks to the valtd call-control daemon.\n"
        "\n"
        "Options:\n"
        "  --host H          daemon host (default 127.0.0.1)\n"
        "  --port P          daemon port (default 4849)\n"
        "  --tls             connect with TLS; the daemon's certificate and host name\n"
        "                    are checked against the system's trusted certificates\n"
        "  --ca FILE         with --tls: check them against the CA certificates in FILE\n"
        "  --insecure        with --tls: check nothing (a warning says so)\n"
        "  --user U          user name (an extension or the administrator)\n"
        "  --password P      password (default: $VALTCTL_PASSWORD)\n"
        "  --digest          send an MD5 digest of the password instead of the password\n"
        "  --json            print events and results as one JSON object a line\n"
        "  --timeout S       seconds to wait for each answer (default 15)\n"
        "  --help, -h        this text; COMMAND --help for a command\n"
        "  --version         the version of valtctl\n"
        "\n"
        "Commands:\n";
    for (const CommandSpec& entry : CommandSpecs()) {
        std::string name = entry.name;
        name.resize(std::max<size_t>(name.size() + 1, 15), ' ');
        text += "  " + name + entry.summary + "\n";
    }
    text +=
        "\n"
        "Commands separated by a ';' argument run one after the other on one\n"
        "connection (calls belong to the connection that made them):\n"
        "  valtctl --user 201 --password x create --id 7 pbx:201 tel:300 ';' \\\n"
        "          play 7 hello.wav ';' wait --seconds 5 ';' close 7\n"
        "\n"
        "Exit codes: 0 done, 1 refused by the daemon, 2 bad command line,\n"
        "3 authentication refused, 4 connection failure.\n";
    return text;
}

std::string CommandHelp(const CommandSpec& entry) {
    std::string text = std::string("Usage: valtctl [OPTIONS] ") + entry.name;
    if (entry.usage[0] != '\0') {
        text += std::string(" ") + entry.usage;
    }
    return text + "\n\n" + entry.help;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    GlobalOptions& g = line.global;
    size_t i = 0;
    // An option's value: after its "=" ("--port=4849") or the next argument.
    auto value = [&](const std::string& option) -> std::string {
        const size_t equals = option.find('=');
        if (equals != std::string::npos) {
            return option.substr(equals + 1);
        }
        if (i + 1 >= args.size()) {
            throw UsageError(option + " needs a value");
        }
        return args[++i];
    };
    auto number = [&](const std::string& option, long long low, long long high) {
        const std::string name = option.substr(0, option.find('='));
        const long long n = ParseNumber(value(option), name);
        if (n < low || n > high) {
            throw UsageError(name + " must be from " + std::to_string(low) + " to " +
                             std::to_string(high));
        }
        return n;
    };
    // Takes `a` when it is a global option; they may stand before or after the
    // command, in either form.
    auto takeGlobal = [&](const std::string& a) {
        const std::string name = a.substr(0, a.find('='));
        if (name == "--host") {
            g.host = value(a);
        } else if (name == "--port") {
            g.port = std::to_string(number(a, 1, 65535));
        } else if (a == "--tls") {
            g.tls = true;
        } else if (name == "--ca") {
            g.caFile = value(a);
        } else if (a == "--insecure") {
            g.insecure = true;
        } else if (name == "--user") {
            g.user = value(a);
        } else if (name == "--password") {
            g.password = value(a);
            g.passwordGiven = true;
        } else if (a == "--digest") {
            g.digest = true;
        } else if (a == "--json") {
            g.json = true;
        } else if (name == "--timeout") {
            g.timeoutSec = static_cast<int>(number(a, 1, 86400));
        } else if (a == "--help" || a == "-h") {
            g.help = true;
        } else if (a == "--version") {
            g.version = true;
        } else {
            return false;
        }
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.compare(0, 2, "--") != 0 && a != "-h") {
            break;
        }
        if (!takeGlobal(a)) {
            throw UsageError("unknown option " + a);
        }
    }

    // Commands, separated by ";".
    while (i < args.size()) {
        CommandArgs command;
        command.name = args[i++];
        const CommandSpec* entry = FindCommand(command.name);
        if (entry == nullptr) {
            if (command.name == "help" && !g.help) {
                g.help = true;
                continue;  // "help COMMAND" is "COMMAND --help"
            }
            throw UsageError("unknown command \"" + command.name + "\"");
        }
        bool optionsEnded = false;
        for (; i < args.size() && args[i] != ";"; ++i) {
            const std::string& a = args[i];
            if (!optionsEnded && a == "--") {
                optionsEnded = true;
            } else if (!optionsEnded && a == "--help") {
                command.help = true;
            } else if (!optionsEnded && a.size() > 2 && a.compare(0, 2, "--") == 0) {
                const std::string name = a.substr(2, a.find('=') - 2);
                if (Contains(entry->valueOptions, name)) {
                    command.options[name] = value(a);
                } else if (Contains(entry->flagOptions, name) && a.find('=') == std::string::npos) {
                    command.options[name] = "";
                } else if (!takeGlobal(a)) {
                    throw UsageError(command.name + ": unknown option " + a);
                }
            } else {
                command.positional.push_back(a);
            }
        }
        if (i < args.size()) {
            ++i;  // the ";"
        }
        if (g.help) {
            command.help = true;
        }
        if (!command.help) {
            if (command.positional.size() < entry->minArgs) {
                throw UsageError(command.name + ": missing arguments (usage: " + command.name +
                                 " " + entry->usage + ")");
            }
            if (command.positional.size() > entry->maxArgs) {
                throw UsageError(command.name + ": too many arguments (usage: " + command.name +
                                 " " + entry->usage + ")");
            }
            // Numbers are checked before anything is sent.
            command.GetNumber("count", 0);
            command.GetNumber("seconds", 0);
            command.GetNumber("id", 0);
            command.GetNumber("since", 0);
            CheckCallIds(command);
            if (command.name == "prompts" && command.positional.size() > 1 &&
                command.positional[1] != "0" && command.positional[1] != "1" &&
                command.positional[1] != "2") {
                throw UsageError("prompts: TYPE must be 0, 1 or 2, not \"" + command.positional[1] +
                                 "\"");
            }
        }
        line.commands.push_back(std::move(command));
    }
    if (!g.passwordGiven) {
        const char* env = std::getenv("VALTCTL_PASSWORD");
        g.password = env != nullptr ? env : "";
        g.passwordGiven = env != nullptr;
    }
    if (line.commands.empty() && !g.help && !g.version) {
        throw UsageError("no command given (valtctl --help lists them)");
    }
    if (!g.help && !g.version) {
        bool any = false;
        for (const CommandArgs& c : line.commands) {
            any = any || c.help;
        }
        if (!any && g.user.empty()) {
            throw UsageError("--user is required");
        }
        if ((!g.caFile.empty() || g.insecure) && !g.tls) {
            throw UsageError(std::string(g.insecure ? "--insecure" : "--ca") + " needs --tls");
        }
        if (!g.caFile.empty() && g.insecure) {
            throw UsageError("--ca and --insecure exclude each other");
        }
    }
    return line;
}

bool ParseAnswer(const std::string& text, AnswerPolicy& policy, std::string& error) {
    AnswerPolicy result;
    result.remoteControl = policy.remoteControl;
    std::string targets;
    if (text == "accept" || text == "a") {
        result.kind = AnswerPolicy::kAccept;
    } else if (text == "decline" || text == "d") {
        result.kind = AnswerPolicy::kDecline;
    } else if (text.compare(0, 9, "redirect:") == 0) {
        result.kind = AnswerPolicy::kRedirect;
        targets = text.substr(9);
    } else if (text.compare(0, 2, "r ") == 0) {
        result.kind = AnswerPolicy::kRedirect;
        targets = text.substr(2);
    } else {
        error = "the answer must be accept, decline or redirect:TARGET[,TARGET...], not \"" + text +
                "\"";
        return false;
    }
    if (result.kind == AnswerPolicy::kRedirect) {
        size_t start = 0;
        for (;;) {
            size_t comma = targets.find(',', start);
            std::string target = targets.substr(start, comma - start);
            CallParams party;
            if (target.empty() || !XmlRpcMethod::CallParamsFromString(target, party)) {
                error = "cannot read the redirect target \"" + target + "\" as a call party";
                return false;
            }
            result.targets.push_back(target);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
    }
    policy = result;
    return true;
}

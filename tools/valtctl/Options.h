// valtctl's command line: connection options, then one or more commands
// separated by a ";" argument, each with its own positionals and options.
// The table of commands (names, usage, options, help texts) lives here; what
// each command does is in Commands.cpp.
//
// Threads: plain values and functions.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// Exit codes of the tool.
enum ExitCode {
    kExitOk = 0,
    kExitRefused = 1,     // the daemon answered with a fault or a negative result
    kExitUsage = 2,       // bad command line or file
    kExitAuth = 3,        // authentication refused
    kExitConnection = 4,  // cannot connect, connection lost, no answer in time
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string host = "127.0.0.1";
    std::string port = "4849";
    bool tls = false;
    std::string caFile;     // with tls: the CA to check against (empty: the system's)
    bool insecure = false;  // with tls: no certificate check
    std::string user;
    std::string password;
    bool passwordGiven = false;  // by --password or $VALTCTL_PASSWORD
    bool digest = false;
    bool json = false;
    int timeoutSec = 15;  // how long to wait for each answer
    bool help = false;
    bool version = false;
};

struct CommandArgs {
    std::string name;
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // flags map to ""
    bool help = false;

    bool Has(const std::string& option) const { return options.count(option) != 0; }
    std::string Get(const std::string& option, const std::string& fallback = "") const;
    // A whole non-negative number option; UsageError when it is not one.
    long long GetNumber(const std::string& option, long long fallback) const;
};

struct CommandLine {
    GlobalOptions global;
    std::vector<CommandArgs> commands;
};

struct CommandSpec {
    const char* name;
    const char* usage;    // arguments after the name
    const char* summary;  // one line for the overview
    std::string help;     // what it does, options, output
    std::vector<std::string> valueOptions;
    std::vector<std::string> flagOptions;
    size_t minArgs;
    size_t maxArgs;
};

const std::vector<CommandSpec>& CommandSpecs();
const CommandSpec* FindCommand(const std::string& name);

// Parses the arguments after the program name. Throws UsageError. A command
// line with --help (global, or after a command) parses without checking the
// positionals of the command the help is for.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string OverviewHelp();
std::string CommandHelp(const CommandSpec& entry);

// What to do with an offered call: "accept", "decline" or
// "redirect:TARGET[,TARGET...]" (targets in call-party text).
struct AnswerPolicy {
    enum Kind { kAccept, kDecline, kRedirect, kAsk };
    Kind kind = kAccept;
    std::vector<std::string> targets;
    bool remoteControl = false;
};

// False with `error` set when the text is not one of the forms above (or a
// target cannot be read as a call party). "a", "d" and "r TARGET" are
// accepted as short forms for the terminal prompt.
bool ParseAnswer(const std::string& text, AnswerPolicy& policy, std::string& error);

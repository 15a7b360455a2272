// `valtctl shell`: the commands of the command line, typed one line at a time
// on the one authenticated connection, with the daemon's events printed as
// they arrive between them. On a terminal, with libedit, the line can be
// edited, earlier lines are recalled and command names are completed with
// Tab; without a terminal (or libedit) lines are read as they come.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Client.h"

#ifdef VALTCTL_LIBEDIT
#include <editline/readline.h>
#endif

namespace {

// The line split into words; quotes ('...' or "...") keep blanks in a word.
std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

#ifdef VALTCTL_LIBEDIT
std::optional<std::string> gTyped;  // the line the editor finished, if any
bool gTypedEnd = false;             // the editor met the end of input

void OnLine(char* line) {
    if (line == nullptr) {
        gTypedEnd = true;
        return;
    }
    gTyped = line;
    if (*line != '\0') {
        add_history(line);
    }
    std::free(line);
}

char* CommandName(const char* text, int state) {
    static size_t next;
    if (state == 0) {
        next = 0;
    }
    const std::vector<CommandSpec>& specs = CommandSpecs();
    const size_t length = std::strlen(text);
    while (next < specs.size() + 2) {
        const size_t at = next++;
        const char* name = at < specs.size()    ? specs[at].name
                           : at == specs.size() ? "help"
                                                : "quit";
        if (std::strncmp(name, text, length) == 0) {
            return strdup(name);
        }
    }
    return nullptr;
}

char** Complete(const char* text, int start, int /*end*/) {
    rl_attempted_completion_over = 1;  // no file names
    return start == 0 ? rl_completion_matches(text, CommandName) : nullptr;
}
#endif

}  // namespace

int Client::Shell(const CommandArgs& /*c*/) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    if (terminal) {
        std::cerr << "Connected as " << mOptions.user << ". Commands as on the command line "
                  << "(help lists them); quit or Ctrl-D ends.\n";
    }
#ifdef VALTCTL_LIBEDIT
    if (terminal) {
        rl_attempted_completion_function = Complete;
        rl_callback_handler_install("valtctl> ", OnLine);
    }
#endif
    int last = kExitOk;
    for (;;) {
        // Events first, then a line when one is there.
        const Session::Status status = mSession.Serve(0);
        if (status != Session::Status::kTimeout && status != Session::Status::kOk) {
            last = WaitFailed(status, "shell");
            break;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 100) <= 0) {
            continue;
        }
        std::string line;
#ifdef VALTCTL_LIBEDIT
        if (terminal) {
            rl_callback_read_char();
            if (gTypedEnd) {
                break;
            }
            if (!gTyped) {
                continue;
            }
            line = *gTyped;
            gTyped.reset();
        } else if (!std::getline(std::cin, line)) {
            break;
        }
#else
        if (!std::getline(std::cin, line)) {
            break;
        }
#endif
        std::vector<std::string> words = SplitWords(line);
        if (words.empty()) {
            continue;
        }
        if (words[0] == "quit" || words[0] == "exit") {
            break;
        }
        if (words[0] == "help") {
            words.erase(words.begin());
            words.push_back("--help");
            if (words.size() == 1) {
                std::cout << OverviewHelp();
                continue;
            }
        }
        try {
            words.insert(words.begin(), {"--user", mOptions.user});
            for (const CommandArgs& command : ParseCommandLine(words).commands) {
                if (command.help) {
                    std::cout << CommandHelp(*FindCommand(command.name));
                } else if (command.name == "shell") {
                    std::cerr << "valtctl: already in the shell\n";
                } else {
                    gStopRequested = 0;  // Ctrl-C ends a command, not the shell
                    last = RunCommand(command);
                }
            }
        } catch (const UsageError& e) {
            ReportError(mOptions.json, kExitUsage, e.what());
            last = kExitUsage;
        }
        std::fflush(stdout);
    }
#ifdef VALTCTL_LIBEDIT
    if (terminal) {
        rl_callback_handler_remove();
        std::cerr << '\n';
    }
#endif
    return last == kExitConnection ? last : kExitOk;
}

// valtctl: command-line client of the valtd call-control daemon.
// See docs/valtctl.md; exit codes in Options.h.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Client.h"
#include "Events.h"
#include "Options.h"

namespace {

// Asks the terminal for the password without echoing it; false when there
// is no terminal to ask.
bool PromptPassword(const std::string& user, std::string& password) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0 || !::isatty(STDIN_FILENO)) {
        if (tty >= 0) {
            ::close(tty);
        }
        return false;
    }
    const std::string prompt = "Password for " + user + ": ";
    (void)!::write(tty, prompt.data(), prompt.size());
    termios saved{};
    const bool quiet = ::tcgetattr(tty, &saved) == 0;
    if (quiet) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &noEcho);
    }
    password.clear();
    char c = 0;
    while (::read(tty, &c, 1) == 1 && c != '\n') {
        password += c;
    }
    if (quiet) {
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    }
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    return true;
}

void OnStopSignal(int) {
    gStopRequested = 1;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait returns at once
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line;
    try {
        line = ParseCommandLine(args);
    } catch (const UsageError& e) {
        const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
        ReportError(json, kExitUsage, e.what());
        return kExitUsage;
    }
    if (line.global.version) {
        std::cout << "valtctl " << VALTD_VERSION << '\n';
        return kExitOk;
    }
    bool help = line.global.help;
    for (const CommandArgs& c : line.commands) {
        if (c.help) {
            std::cout << CommandHelp(*FindCommand(c.name));
            help = true;
        }
    }
    if (help) {
        if (line.commands.empty()) {
            std::cout << OverviewHelp();
        }
        return kExitOk;
    }
    if (!line.global.user.empty() && !line.global.passwordGiven) {
        PromptPassword(line.global.user, line.global.password);
    }
    InstallSignals();
    Client client(line.global);
    return client.Run(line.commands);
}

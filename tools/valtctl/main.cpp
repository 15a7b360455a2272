// valtctl: command-line client of the valtd call-control daemon.
// See docs/valtctl.md; exit codes in Options.h.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Client.h"
#include "Options.h"

namespace {

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
        std::fprintf(stderr, "valtctl: %s\n", e.what());
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
    InstallSignals();
    Client client(line.global);
    return client.Run(line.commands);
}

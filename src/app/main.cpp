// valtd: the call-control daemon. Started without arguments it runs; the
// first argument only names the program in crash reports. "--help" and
// "--version" print and exit 0; any other argument prints the usage and exits
// 2, so that a mistyped option never starts a daemon on the real system. Exit
// code 0 after a normal stop (the poller's forced alert), 1 after an exception
// caught here; otherwise the effect of the stop or crash signal, re-raised by
// the crash guard.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "app/Wiring.h"
#include "base/CrashGuard.h"
#include "base/LogStream.h"
#include "base/NumberString.h"
#include "base/RootPath.h"
#include "config/CallPolicyAccessor.h"
#include "config/ConfigSqlite.h"
#include "core/ExtCallControl.h"
#include "xmlrpc/XmlRpcLog.h"

namespace {

int StopOnSignal(bool crashed, int signal, void* data) {
    (void)crashed, (void)signal;
    static_cast<ExtCallControl*>(data)->Stop();
    return 0;
}

const char kUsage[] =
    "Usage: valtd [--help | --version]\n"
    "The call-control daemon of the exchange: serves XML-RPC clients on the\n"
    "control port and has unclaimed calls decided by the policy server.\n"
    "Started without arguments it runs in the foreground until a stop signal.\n"
    "Every fixed path lies under $VALTD_ROOT (unset: /); the settings are read\n"
    "from the configuration databases (valtconf). See valtd(8).\n";

// Handles the command line; returns -1 to run, else the exit code.
int CommandLine(int argc, char** argv) {
    if (argc <= 1) {
        return -1;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("valtd %s\n", VALTD_VERSION);
        return 0;
    }
    std::fprintf(stderr, "valtd: unknown argument '%s'\n%s", argv[1], kUsage);
    return 2;
}

// One line on standard error that says what this start uses, and a warning
// when there is no configuration: the daemon still runs on built-in defaults.
void AnnounceStart(const std::string& logFile) {
    const char* root = std::getenv("VALTD_ROOT");
    const std::string systemDb = SystemDbPath();
    std::string port = "4849";
    bool tls = false;
    if (CallPolicyAccessor* settings = CallPolicyAccessor::GetInstance(true)) {
        port = settings->GetListenPort();
        tls = settings->IsSecureListen();
        CallPolicyAccessor::CloseInstance();
    }
    std::fprintf(stderr, "valtd: root %s, port %s, TLS %s, log %s, configuration %s\n",
                 root != nullptr && *root != '\0' ? root : "/", port.c_str(), tls ? "on" : "off",
                 logFile.c_str(), ConfigDirectoryOf(systemDb).c_str());
    struct stat st {};
    if (stat(systemDb.c_str(), &st) != 0) {
        std::fprintf(stderr,
                     "valtd: warning: no configuration database (%s); running on the built-in "
                     "defaults (valtconf init makes one)\n",
                     systemDb.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (const int code = CommandLine(argc, argv); code >= 0) {
        return code;
    }
    // A client or policy server that closes its end must not end the daemon: a
    // write to a closed socket fails with EPIPE instead of raising SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // Likewise a write past the file-size limit fails with EFBIG (an upload
    // is then refused) instead of raising SIGXFSZ, which would end the daemon.
    std::signal(SIGXFSZ, SIG_IGN);
    // Every client holds a descriptor: take as many as the system allows, so
    // that a small default soft limit is not what silent connections exhaust.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    const std::string reportFile = RootPath("/tmp/logs/") + "valtd.log";
    MakeDirectories(RootPath("/tmp/logs"), LogStream::kDirectoryMode);
    AnnounceStart(reportFile);
    auto guard = std::make_unique<CrashGuard>(reportFile.c_str(), "Corvane",
                                              argc > 0 ? argv[0] : "", true, false);
    if (CallPolicyAccessor* settings = CallPolicyAccessor::GetInstance(true)) {
        CrashGuard::SetEndOnTerminalStop(settings->IsTstpEndsProcess());
        SetLogSecretsMasked(settings->IsMaskLoggedSecrets());
        ExtCallControl::SetLogQueueLines(StringToNumber<long>(settings->GetLogQueueLines()));
        CallPolicyAccessor::CloseInstance();
    }
    InstallFrontEnds();
    try {
        {
            ExtCallControl callControl;
            CrashGuard::AddExitRoutine(StopOnSignal, &callControl);
            callControl.Run();
            // From here a signal must not reach the object being destroyed.
            CrashGuard::AddExitRoutine(nullptr, nullptr);
        }
        guard.reset();
        return 0;
    } catch (const std::exception& e) {
        CrashGuard::Abort(e.what());
    } catch (...) {
        CrashGuard::Abort("Unknown exception in main");
    }
    return 1;
}

// valtd: the call-control daemon. No command-line options; the first argument
// only names the program in crash reports. Exit code 0 after a normal stop
// (the poller's forced alert), 1 after an exception caught here; otherwise the
// effect of the stop or crash signal, re-raised by the crash guard.
#include <sys/resource.h>

#include <csignal>
#include <exception>
#include <memory>
#include <string>

#include "app/Wiring.h"
#include "base/CrashGuard.h"
#include "base/LogStream.h"
#include "base/RootPath.h"
#include "config/CallPolicyAccessor.h"
#include "core/ExtCallControl.h"
#include "xmlrpc/XmlRpcLog.h"

namespace {

int StopOnSignal(bool crashed, int signal, void* data) {
    (void)crashed, (void)signal;
    static_cast<ExtCallControl*>(data)->Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
    auto guard = std::make_unique<CrashGuard>(reportFile.c_str(), "Corvane",
                                              argc > 0 ? argv[0] : "", true, false);
    if (CallPolicyAccessor* settings = CallPolicyAccessor::GetInstance(true)) {
        CrashGuard::SetEndOnTerminalStop(settings->IsTstpEndsProcess());
        SetLogSecretsMasked(settings->IsMaskLoggedSecrets());
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

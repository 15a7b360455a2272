// valtctl's commands on one authenticated connection: the client connects,
// authenticates, runs the commands of the command line in order, and answers
// every request of the daemon meanwhile (offers per the answer policy, the
// rest with a plain response), printing each as an event.
//
// Threads: the main thread only; a signal handler sets the stop flag.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Events.h"
#include "Options.h"
#include "Session.h"
#include "Transport.h"

// Set by SIGINT or SIGTERM: long-running commands end, waits give up.
extern volatile std::sig_atomic_t gStopRequested;

// The MD5 digest of user, password and time stamp (in that order, nothing
// between them) as 32 lowercase hexadecimal digits.
std::string SecureDigest(const std::string& user, const std::string& password,
                         const std::string& timeStamp);

class Client {
  public:
    explicit Client(const GlobalOptions& options);
    // Connects, authenticates and runs the commands; returns the exit code.
    int Run(const std::vector<CommandArgs>& commands);

  private:
    int Connect();
    int Authenticate();
    int RunCommand(const CommandArgs& command);

    int Create(const CommandArgs& c);
    int CallCommand(const CommandArgs& c);
    int Take(const CommandArgs& c);
    int Subscribe(const CommandArgs& c);
    int GetExtension(const CommandArgs& c);
    int SystemInfo(const CommandArgs& c);
    int Status(const CommandArgs& c);  // Status.cpp
    int Reload(const CommandArgs& c);
    // Prints spooled call-detail records (CdrExport.cpp).
    int Cdr(const CommandArgs& c);
    int Prompts(const CommandArgs& c);
    int ConfigUpload(const CommandArgs& c);
    int Wait(const CommandArgs& c);
    // Commands typed one line at a time on this connection (Shell.cpp).
    int Shell(const CommandArgs& c);

    // Sends the request and waits for its answer; an exit code (kExitOk when
    // an answer, possibly a fault, arrived). `what` names the command in messages.
    int Ask(std::unique_ptr<XmlRpcRequestMethod> request,
            std::unique_ptr<XmlRpcResponseMethod>& answer, const std::string& what);
    // The exit code and message of a wait that did not end with an answer.
    int WaitFailed(Session::Status status, const std::string& what);
    // Exit code for a fault answer (kExitOk when `answer` is not a fault).
    int CheckFault(const XmlRpcResponseMethod& answer, const std::string& what);
    // Ask, then CheckFault on the answer.
    int AskAnswered(std::unique_ptr<XmlRpcRequestMethod> request,
                    std::unique_ptr<XmlRpcResponseMethod>& answer, const std::string& what);
    // Sends the body after an upload request; reports progress on a terminal.
    int SendBody(uint64_t ticket, const std::string& body, const std::string& what,
                 std::unique_ptr<XmlRpcResponseMethod>& answer);
    // Serves events until --count/--seconds, Ctrl-C, or `done` says so.
    int ServeEvents(const CommandArgs& c, const std::function<bool(const Event&)>& done);

    std::unique_ptr<XmlRpcResponseMethod> OnRequest(XmlRpcRequestMethod& request);
    AnswerPolicy AskOnTerminal(const Event& offer);

    void PrintResult(const Event& result, const std::string& text);
    int Fail(int code, const std::string& message);
    // The hint for a connection cut off during `what`, when that looks like
    // a plain client on a TLS port; empty otherwise.
    std::string TlsHint(const std::string& what) const;

    unsigned long long NextRequestId() { return mNextRequestId++; }

    GlobalOptions mOptions;
    SocketTransport mTransport;
    Session mSession;
    AnswerPolicy mPolicy;               // for offered calls
    unsigned long long mRoutingId = 0;  // the routing subscription, if any
    uint64_t mEvents = 0;               // requests of the daemon so far
    std::function<void(const Event&)> mWatcher;
    unsigned long long mNextRequestId = 1;
};

// The core's two front ends as the core sees them: the control server, which
// serves the client connections, and the policy client, which decides the calls
// no client claims. Both live in layers above the core; the application hands
// them over (ExtCallControl::SetFrontEnds) before it builds ExtCallControl, so
// the core never includes them.
//
// Threads: every operation is called on the main thread.
#pragma once

#include <string>
#include <vector>

#include "exchange/MessagingTypes.h"

class Call;

class IClientFront {
  public:
    // Reads the server's settings and starts it.
    virtual void Start() = 0;
    // Stops the server and closes every connection; safe to repeat.
    virtual void Stop() = 0;
    // The configuration changed: the server reads its settings again.
    virtual void UpdateConfigs() = 0;
    // A batch of exchange events: wake-ups of the connection thread asked for
    // between the two calls are sent once, at the end.
    virtual void BeginBatch() = 0;
    virtual void EndBatch() = 0;
    // Hands an arrived call to the connection whose requester token is
    // `requester`; false when that connection is gone (the call stays the
    // caller's).
    virtual bool CallArrived(long requester, Call* call, ExtCallType type, const std::string& ext,
                             const CallParams& from, const CallParams& to,
                             const unsigned long long& origCallId) = 0;

  protected:
    ~IClientFront() = default;
};

// One call waiting for the policy server's decision.
struct PendingDecision {
    unsigned long long callId = 0;
    const char* state = "";  // "new", "connecting" or "receiving"
    long waitedSeconds = 0;  // since its request started (0 before the connect)
};

class IPolicyFront {
  public:
    // The calls waiting for a decision; any thread.
    virtual std::vector<PendingDecision> Pending() const = 0;
    // The configuration changed: the policy client reads its settings again.
    virtual void UpdateConfigs() = 0;
    // Takes over an unclaimed call (and its ownership) and has it decided; the
    // arguments are those of the call's arrival.
    virtual void Decide(Call* call, ExtCallType type, const std::string& ext,
                        const CallParams& from, const CallParams& to,
                        const unsigned long long& origCallId) = 0;

  protected:
    ~IPolicyFront() = default;
};

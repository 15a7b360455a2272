// The XML-RPC control server. Until the server lands this is only its
// process-wide surface: start and stop (main thread) and the hand-over of an
// arriving call to the connection that takes the extension's incoming calls.
#pragma once

#include <string>

#include "platform/MessagingTypes.h"

class Call;

class CallControlService {
  public:
    static void ReadConfigs();
    static void UpdateConfigs();
    static void Start();
    static void CleanUp();

    // Hands an arriving call to `target`; false when that connection is gone.
    static bool CallArrived(const CallControlService* target, Call* call, ExtCallType type,
                            const std::string& ext, const CallParams& from, const CallParams& to,
                            const unsigned long long& origCallId);
};

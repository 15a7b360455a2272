#include "server/CallControlService.h"

#include "core/ExtCallControl.h"

// Thin until the control server lands: the daemon starts and stops without a
// listener, and no connection can take an arriving call.
void CallControlService::ReadConfigs() {
    ExtCallControl::TRACEX("CCS: ReadConfig:\n");
}
void CallControlService::UpdateConfigs() {
    ExtCallControl::TRACEX("CCS: UpdateConfigs:\n");
}
void CallControlService::Start() {}
void CallControlService::CleanUp() {
    ExtCallControl::TRACEX("CCS: CleanUp...\n");
}

bool CallControlService::CallArrived(const CallControlService* /*target*/, Call* /*call*/,
                                     ExtCallType /*type*/, const std::string& /*ext*/,
                                     const CallParams& /*from*/, const CallParams& /*to*/,
                                     const unsigned long long& /*origCallId*/) {
    return false;
}

#include "server/CallControlService.h"

// Thin until the control server lands: the daemon starts and stops without a listener.
void CallControlService::ReadConfigs() {}
void CallControlService::UpdateConfigs() {}
void CallControlService::Start() {}
void CallControlService::CleanUp() {}

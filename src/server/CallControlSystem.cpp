// The connection's system-service handlers: thin wrappers that hand the work
// to SystemServices; an upload's job is kept by the connection
// (ConnectionUpload.cpp). Connection thread, inside the dispatch.
#include <string>

#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "server/CallControlService.h"
#include "services/SystemServices.h"
#include "xmlrpc/SystemMethods.h"

void CallControlService::GetSystemInfo(Call* call) {
    std::string uniqueId;
    std::string version;
    SystemServices::ReadSystemInfo(uniqueId, version);
    GetSystemInfoResponseMethod r;
    r.SetParams(call->GetID(), uniqueId, version);
    ExtCallControl::TRACEX("CCS: GetSystemInfo. Sending response...\n");
    BuildAndSendXml(&r);
}

int CallControlService::GetWAVList(int type, const std::string& ext,
                                   std::list<std::string>* names) {
    return SystemServices::GetWAVList(type, ext, names) ? 1 : 0;
}

int CallControlService::WAVFileDelete(int type, const std::string& ext, const std::string& file) {
    return SystemServices::WAVFileDelete(type, ext, file) ? 1 : 0;
}

int CallControlService::FileTransfer(int type, const std::string& ext, const std::string& file,
                                     const int& size, bool transfer, std::string& message) {
    return SystemServices::FileTransfer(type, ext, file, size, transfer, message, mpUpload) ? 1 : 0;
}

int CallControlService::ConfigurationUpdate(const std::string& file, int& size, bool flag,
                                            std::string& message) {
    // The tool's end wakes the connection thread, which then sends the answer.
    return SystemServices::ConfigurationUpdate(file, size, flag, message, mpUpload,
                                               &CallControlService::Wake)
               ? 1
               : 0;
}

// Temporary stand-ins for the system services until their implementation is
// merged: every operation fails and reads nothing.
#include "services/SystemServices.h"

namespace SystemServices {

bool GetWAVList(int, const std::string&, std::list<std::string>*) {
    return false;
}

bool WAVFileDelete(int, const std::string&, const std::string&) {
    return false;
}

bool FileTransfer(int, const std::string&, const std::string&, int, bool, std::string& message,
                  IUploadChannel&) {
    message = "not available";
    return false;
}

bool ConfigurationUpdate(const std::string&, int, bool, std::string& message, IUploadChannel&) {
    message = "not available";
    return false;
}

void UpdateConfig(const std::string&) {}

void ReadSystemInfo(std::string& uniqueId, std::string& version) {
    uniqueId.clear();
    version.clear();
}

}  // namespace SystemServices
